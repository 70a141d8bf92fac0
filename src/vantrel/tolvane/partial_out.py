"""Partialling the fixed effects out, dropping collinear regressors, least squares."""

import numpy as np

from vantrel.backend.morlisk import map_columns
from vantrel.core.absorption import _DEMEAN_SIZE_EXPONENT, CHUNK, _column_sizes, absorb, stack_standardised
from vantrel.tolvane.messages import note

try:
    from scipy.optimize._remove_redundancy import _remove_redundancy_svd as _remove_redundancy
except ImportError:  # older SciPy: the routine had no method suffix
    from scipy.optimize._remove_redundancy import _remove_redundancy

RANK_WARNING = "Least squares problem does not have full rank; parameter estimates may be misleading"

# Condition number of the equilibrated X'X above which the normal equations are reported
# rank deficient (its square root is the usual cutoff on the singular values of X).
_MAX_CONDITION = 1e24


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
