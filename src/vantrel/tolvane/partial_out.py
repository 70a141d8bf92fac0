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
# Condition number of the equilibrated X'X above which the normal equations are reported
# rank deficient (its square root is the usual cutoff on the singular values of X).
_MAX_CONDITION = 1e24


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


def solve_normal_equations(gram, names, sizes, N, notes):
    """The least squares of the cross-product matrix [y X]'[y X] of N demeaned rows: the
    collinearity test of each regressor against its size before the absorption (`sizes`,
    powers of two, as in `drop_collinear`), then the normal equations of the equilibrated
    columns. Returns (kept mask, beta of the kept regressors, the cross-product matrix of
    y and the kept regressors); notes receives the collinearity and rank notices. Needs no
    row, so data aggregated elsewhere are solved the same way."""
    if not np.all(np.isfinite(gram)):  # any non-finite value of the block ends up here
        raise FloatingPointError("The demeaned data hold non-finite values (the absorption diverged)")
    unit = np.asarray(sizes[1:]) * 2.0**_DEMEAN_SIZE_EXPONENT
    keep = collinear_columns(gram[1:, 1:] / np.outer(unit, unit) / max(N, 1))
    dropped = [name for name, ok in zip(names, keep, strict=True) if not ok]
    if dropped:
        notes.append("The variables " + ", ".join(dropped) + " are omitted due to collinearity")
        if not keep.any():
            raise ValueError("No regressor left: " + ", ".join(dropped) + " are collinear with the fixed effects")
        columns = np.concatenate(([True], keep))
        gram = gram[np.ix_(columns, columns)]
    XX, Xy = gram[1:, 1:], gram[1:, 0].copy()
    d = np.sqrt(np.diag(XX))
    d[d == 0] = 1.0
    scaled = XX / np.outer(d, d)
    if np.linalg.cond(scaled) > _MAX_CONDITION:
        notes.append(RANK_WARNING)
    beta = np.linalg.lstsq(scaled, Xy / d, rcond=None)[0] / d
    if not np.all(np.isfinite(beta)):
        raise FloatingPointError("Least squares gave non-finite coefficients")
    return keep, beta, gram


def least_squares_normal(yX, names, sizes, notes, units=None, threads=1):
    """Least squares through the cross-product matrix of the block: drop collinear
    regressors and solve; returns (yX, kept names, beta K x 1, resid N x 1, X'X of the kept
    columns, y'y, the residual sum of squares). Column 0 of the returned yX holds the
    residuals afterwards; resid is a view of it.

    One pass over the N x (1+K) block gives [y X]'[y X]; the collinearity test, the
    coefficients (normal equations of the equilibrated columns, as fixest and pyfixest
    solve them) and the bread of every covariance matrix are read from that small matrix,
    and one more pass forms the residuals. At ten million rows an SVD-based solve of the
    block itself (`least_squares`) costs a large share of the absorption's time.

    sizes: each column's size before the absorption (a power of two), against which a
    demeaned regressor is judged absorbed (as in `drop_collinear`); units: powers of two
    the block's columns are still divided by (the cross products are scaled exactly, the
    rows while they are in cache for the residuals: one pass over the block less); notes:
    receives the collinearity and rank notices; threads: chunks of rows formed side by
    side. `yX` is narrowed (copied) only when a regressor goes.
    """
    N = yX.shape[0]
    units = np.ones(yX.shape[1]) if units is None else np.asarray(units, dtype=np.float64)
    gram = (yX.T @ yX) * np.outer(units, units)
    keep, beta, gram = solve_normal_equations(gram, names, sizes, N, notes)
    if not keep.all():
        columns = np.concatenate(([True], keep))
        yX = np.ascontiguousarray(yX[:, columns])
        units = units[columns]
    beta = beta[:, np.newaxis]
    # the units as one flat row pattern: a chunk of rows is contiguous, and multiplying it
    # flat runs several times faster than broadcasting a row of 1 + K factors
    pattern = np.tile(units, min(N, CHUNK))

    # the residuals replace the demeaned dependent variable in place (its sum of squares
    # stays in the cross-product matrix), a chunk of rows at a time while it is in cache;
    # each thread takes a contiguous run of chunks
    def residuals(starts):
        sums = []
        for start in starts:
            part = yX[start : start + CHUNK]
            flat = part.reshape(-1)
            flat *= pattern[: flat.size]
            # one regressor: its product with the slope, which is what the matrix-vector
            # product of one column gives, without that product's per-row loop (three times
            # the pass)
            part[:, 0] -= part[:, 1] * beta[0, 0] if len(beta) == 1 else part[:, 1:] @ beta[:, 0]
            sums.append(float(np.dot(part[:, 0], part[:, 0])))
        return sums

    starts, k = range(0, N, CHUNK), max(threads, 1)
    runs = [starts[len(starts) * t // k : len(starts) * (t + 1) // k] for t in range(k)]
    # the chunks' sums of squares are added in row order whichever thread formed them, so
    # the sum does not depend on the threads
    rss = 0.0
    for sums in map_columns(residuals, runs, threads, N):
        for ss in sums:
            rss += ss
    kept = [name for name, ok in zip(names, keep, strict=True) if ok]
    return yX, kept, beta, yX[:, :1], gram[1:, 1:], float(gram[0, 0]), rss
