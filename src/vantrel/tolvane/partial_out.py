"""Partialling the fixed effects out, dropping collinear regressors, least squares."""

import numpy as np

from vantrel.backend.morlisk import map_columns
from vantrel.backend.quarnet import fill_standardised
from vantrel.tolvane.messages import note

try:
    from scipy.optimize._remove_redundancy import _remove_redundancy_svd as _remove_redundancy
except ImportError:  # older SciPy: the routine had no method suffix
    from scipy.optimize._remove_redundancy import _remove_redundancy

RANK_WARNING = "Least squares problem does not have full rank; parameter estimates may be misleading"

# Root mean square (to a factor of 2) of every column the demeaning sees. The plain
# iteration's convergence measure, |change| / (|x| + 1) averaged over the rows, is a
# relative change once values are well above 1: at this size the +1 guard matters only
# for values near zero, so eps_MAP asks the same relative accuracy of every column.
_DEMEAN_SIZE_EXPONENT = 10


def _column_sizes(M):
    """A power of two near the root mean square of each column of `M` (1 for a column of
    zeros), kept where it and its inverse are normal doubles."""
    with np.errstate(over="ignore", under="ignore"):
        size = np.sqrt(np.einsum("ij,ij->j", M, M) / max(len(M), 1))
    return _powers_of_two(size, lambda j: np.abs(M[:, j]).max())


def _powers_of_two(size, largest):
    """Powers of two near `size` (1 where it is 0); where the root mean square left the
    range of doubles, near `largest(j)`, the largest magnitude of column j."""
    # Squares of values beyond 1e154 overflow, those below 1e-154 underflow: for such
    # columns the largest magnitude is as good a size.
    size = np.array(size, dtype=np.float64)
    for j in np.flatnonzero(~np.isfinite(size) | (size < 2.0**-500)):
        size[j] = largest(j)
    exponent = np.clip(np.frexp(size)[1], -1000, 1000)
    return np.where(size > 0, np.ldexp(1.0, exponent), 1.0)


def demeaning_scale(size, largest):
    """The power of two a centred column of root mean square `size` is divided by before the
    demeaning, which brings that to about 2**10; `largest()`, the column's largest
    magnitude, stands in where the root mean square left the range of doubles."""
    return _powers_of_two([size], lambda _: largest())[0] * 2.0**-_DEMEAN_SIZE_EXPONENT


# Rows per chunk of the row-wise passes: their temporaries stay small (in cache, and
# reused rather than fresh pages), and a chunk of a row-major block is written at once.
CHUNK = 1 << 16


def stack_standardised(columns, rows=None, centre=True, threads=1):
    """Fresh row-major float64 matrix of the columns, each centred on its mean and divided
    by a power of two that brings its root mean square near 2**10; returns the matrix,
    those powers of two and the sum of squares of the first column about its mean.

    columns: float64 arrays over all rows (None: the intercept's column of ones, left as
    it is); rows: the positions to take (None: every row); centre: False leaves the means
    in (a model without fixed effects keeps its constant); threads: the columns' means and
    sizes are measured side by side, and the kernel fills the matrix on as many threads.

    Adding a constant to a column or changing its unit cannot change a fixed-effect
    regression (every row is in some group, so the constant is absorbed), but it changes
    what the demeaning sees: an offset of 1e7 leaves the within variation in the last
    digits, and the convergence measure depends on the unit. Powers of two scale without
    rounding, so the scale is undone exactly. Each column's mean and size come from the
    contiguous column (its sum of squares by chunks, with no temporary of N rows); the
    kernel then writes each row of the block once, from the columns as they are, each
    thread a contiguous range of rows (and the first touch of its pages).
    """
    N = len(columns[0]) if rows is None else len(rows)

    def centre_and_size(column):
        if column is None:
            return 0.0, 1.0, 0.0
        values = column if rows is None else column[rows]
        with np.errstate(over="ignore", invalid="ignore"):
            mean = np.add.reduce(values) / N if N and centre else 0.0
        # the sum of values near the largest double overflows: such a column stays put
        mean = mean if np.isfinite(mean) else 0.0
        ss = 0.0
        with np.errstate(over="ignore", under="ignore"):
            for start in range(0, N, CHUNK):
                part = values[start : start + CHUNK] - mean
                ss += float(np.einsum("i,i->", part, part))
        size = np.sqrt(ss / max(N, 1))
        return mean, demeaning_scale(size, lambda: np.abs(values - mean).max()), ss

    measured = map_columns(centre_and_size, columns, threads, N)
    centres = np.array([m[0] for m in measured], dtype=np.float64)
    scale = np.array([m[1] for m in measured], dtype=np.float64)
    out = np.empty((N, len(columns)), dtype=np.float64, order="C")
    fill_standardised(out, list(columns), rows, centres, 1.0 / scale, threads)
    return out, scale, measured[0][2]


def absorb(yX, w, A, accelfunc, eps_MAP, minsubiter, maxsubiter, verb, nt, check_finite=True):
    """Partial the fixed effects of `A` (group index or level ids) out of the block `yX`
    with the kernel routine `accelfunc`; returns the demeaned block and the kernel's
    report: None for the sweep routines, which return the matrix itself; the coefficient
    solver demeans the same matrix in place and returns a dict of its iterations and
    preconditioner. `check_finite`: a non-finite result raises the divergence error here
    (a caller that forms X'X anyway can find it there instead, without a pass)."""
    out = accelfunc(yX, w, A, eps_MAP, minsubiter, maxsubiter, verb, nt)
    report = out if isinstance(out, dict) else None
    yXtilde = yX if report is not None else out
    if check_finite and not np.isfinite(np.max(yXtilde)):
        raise Exception(accelfunc.__name__ + "(y,X) diverged")
    return yXtilde, report


def demean(data, y, x, A, accelfunc, eps_MAP, minsubiter, maxsubiter, verb, nt, scale=None):
    """Demean [y, x...] over all fixed effects in one kernel call.

    Returns yXtilde and the kernel's report (see `absorb`). The kernel works on the
    centred columns at a common size (`stack_standardised`); yXtilde is back in the
    columns' own units. `scale`, when given, receives each column's factor (1 + len(x)
    values), the size that `drop_collinear` measures a regressor against.
    """
    yX, factors, _ = stack_standardised([data[name].to_numpy(dtype=np.float64) for name in y + x])
    yXtilde, report = absorb(yX, None, A, accelfunc, eps_MAP, minsubiter, maxsubiter, verb, nt)
    yXtilde *= factors
    if scale is not None:
        scale[:] = factors
    return yXtilde, report


def collinear_columns(XX):
    """Which regressors to keep, from their cross-product matrix measured in units where
    each has a sum of squares near 1 (it is modified): a regressor is kept exactly when
    its row of XX survives the redundancy routine unchanged (one regressor per surviving
    row, so of two identical regressors one goes)."""
    K_all = XX.shape[0]
    # Columns that the fixed effects absorb demean to rounding noise; clear it so that
    # their rows are exactly zero and the routine discards them.
    XX[np.abs(XX) < np.finfo(np.float64).eps] = 0
    if np.any(XX):
        XX_ok = _remove_redundancy(XX, np.zeros((K_all, 1)))[0]
    else:  # every regressor absorbed; the routine cannot take an all-zero matrix
        XX_ok = XX[:0]
    var_ok = np.zeros(K_all, dtype=bool)
    for i in range(XX_ok.shape[0]):
        # Each kept row stands for one regressor: identical regressors have identical rows,
        # so a row matches the first regressor of its value not yet taken, and a copy whose
        # row the routine deleted is dropped rather than kept beside the original.
        matches = np.flatnonzero(np.all(XX == XX_ok[i], axis=1) & ~var_ok)
        var_ok[matches[:1]] = True
    return var_ok


def drop_collinear(yXtilde, x, verb, msg, scale=None):
    """Drop regressors whose demeaned column is linearly dependent on the others.

    Dependence is found on the small K x K cross-product matrix: a regressor is kept
    exactly when its row of XX survives the redundancy routine unchanged (one regressor
    per surviving row, so of two identical regressors one goes). With `scale` (the
    columns' sizes from `demean`) every regressor is measured against its own size
    before the absorption, so the verdict does not depend on units. Returns the
    (possibly narrowed) yXtilde, the kept names and their count K.
    """
    Xtilde = yXtilde[:, 1:]
    if scale is None:
        XX = Xtilde.T @ Xtilde
    else:
        # In units where each centred regressor has a sum of squares near 1. Dividing by
        # powers of two is exact, so the order does not matter, unless products leave the
        # range of doubles: then the columns are scaled first (in place, and back).
        unit = np.asarray(scale[1:]) * 2.0**_DEMEAN_SIZE_EXPONENT
        if np.all((unit > 2.0**-250) & (unit < 2.0**250)):
            XX = (Xtilde.T @ Xtilde) / np.outer(unit, unit)
        else:
            Xtilde *= 1.0 / unit
            XX = Xtilde.T @ Xtilde
            Xtilde *= unit
        XX /= max(len(Xtilde), 1)
    var_ok = collinear_columns(XX)
    dropped = [name for name, ok in zip(x, var_ok, strict=True) if not ok]
    if dropped:
        yXtilde = np.ascontiguousarray(yXtilde[:, np.concatenate(([True], var_ok))])
        note("The variables " + ", ".join(dropped) + " are omitted due to colliearity", verb, msg)
    x = [name for name, ok in zip(x, var_ok, strict=True) if ok]
    if not x:
        # Nothing to estimate; the later stages need at least one coefficient.
        raise Exception("No regressor left: the variables " + ", ".join(dropped) + " are omitted due to colliearity")
    return yXtilde, x, len(x)


def least_squares(yXtilde, K, accelfunc, msg):
    """Solve the demeaned least-squares problem; returns beta (K x 1) and resid (N x 1).

    The solver sees every column at unit size (scaled in place by powers of two and
    restored exactly): its cutoff for small singular values is relative to the largest,
    so a regressor measured in small units beside one in large units would be cut away.
    """
    size = _column_sizes(yXtilde)
    yXtilde *= 1.0 / size
    try:
        regression = np.linalg.lstsq(yXtilde[:, 1:], yXtilde[:, 0:1], None)
    finally:
        yXtilde *= size
    beta = regression[0] * (size[0] / size[1:, np.newaxis])
    rank = regression[2]
    if rank < K:
        msg.append(RANK_WARNING)
        print(RANK_WARNING)
    if not np.all(np.isfinite(beta)):
        raise Exception(accelfunc.__name__ + "(z,X) diverged")
    resid = yXtilde[:, 0:1] - yXtilde[:, 1:] @ beta
    return beta, resid
