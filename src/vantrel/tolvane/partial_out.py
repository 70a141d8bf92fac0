"""Partialling the fixed effects out, dropping collinear regressors, least squares."""

import numpy as np

try:
    from scipy.optimize._remove_redundancy import _remove_redundancy_svd as _remove_redundancy
except ImportError:  # older SciPy: the routine had no method suffix
    from scipy.optimize._remove_redundancy import _remove_redundancy

RANK_WARNING = "Least squares problem does not have full rank; parameter estimates may be misleading"


def _stack_columns(data, names):
    """Fresh row-major float64 matrix of the named columns, filled column by column.

    Filling a preallocated block avoids the intermediate copies that selecting the
    columns as a frame and converting it would make (two extra N x (1+K) arrays).
    """
    out = np.empty((len(data), len(names)), dtype=np.float64, order="C")
    for j, name in enumerate(names):
        out[:, j] = data[name].to_numpy(dtype=np.float64)
    return out


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
    # Squares of values beyond 1e154 overflow, those below 1e-154 underflow: for such
    # columns the largest magnitude is as good a size.
    out_of_range = ~np.isfinite(size) | (size < 2.0**-500)
    if out_of_range.any():
        size[out_of_range] = np.abs(M[:, out_of_range]).max(axis=0)
    exponent = np.clip(np.frexp(size)[1], -1000, 1000)
    return np.where(size > 0, np.ldexp(1.0, exponent), 1.0)


def _standardise(yX):
    """Centre every column of `yX` on its mean and divide it by a power of two so that its
    root mean square is near 2**10, in place; returns those powers of two.

    Adding a constant to a column or changing its unit cannot change a fixed-effect
    regression (every row is in some group, so the constant is absorbed), but it changes
    what the demeaning sees: an offset of 1e7 leaves the within variation in the last
    digits, and the convergence measure depends on the unit. Powers of two scale without
    rounding, so the scale is undone exactly.
    """
    with np.errstate(over="ignore", invalid="ignore"):
        centre = yX.mean(axis=0)
    yX -= np.where(np.isfinite(centre), centre, 0.0)  # the sum of values near the largest double overflows
    scale = _column_sizes(yX) * 2.0**-_DEMEAN_SIZE_EXPONENT
    yX *= 1.0 / scale
    return scale


def demean(data, y, x, A, accelfunc, eps_MAP, minsubiter, maxsubiter, verb, nt, scale=None):
    """Demean [y, x...] over all fixed effects in one kernel call.

    Returns yXtilde and the kernel's report: None for the sweep routines, which return the
    matrix itself; the coefficient solver demeans the same matrix in place and returns a
    dict of its iterations and preconditioner.

    The kernel works on the centred columns at unit size (`_standardise`); yXtilde is
    back in the columns' own units. `scale`, when given, receives each column's factor
    (1 + len(x) values), the size that `drop_collinear` measures a regressor against.
    """
    yX = _stack_columns(data, y + x)
    factors = _standardise(yX)
    out = accelfunc(yX, None, A, eps_MAP, minsubiter, maxsubiter, verb, nt)
    report = out if isinstance(out, dict) else None
    yXtilde = yX if report is not None else out
    if not np.isfinite(np.max(yXtilde)):
        raise Exception(accelfunc.__name__ + "(y,X) diverged")
    yXtilde *= factors
    if scale is not None:
        scale[:] = factors
    return yXtilde, report


def drop_collinear(yXtilde, x, verb, msg, scale=None):
    """Drop regressors whose demeaned column is linearly dependent on the others.

    Dependence is found on the small K x K cross-product matrix: a regressor is kept
    exactly when its row of XX survives the redundancy routine unchanged (one regressor
    per surviving row, so of two identical regressors one goes). With `scale` (the
    columns' sizes from `demean`) every regressor is measured against its own size
    before the absorption, so the verdict does not depend on units. Returns the
    (possibly narrowed) yXtilde, the kept names and their count K.
    """
    K_all = len(x)
    Xtilde = yXtilde[:, 1:]
    if scale is None:
        XX = Xtilde.T @ Xtilde
    else:
        # In units where each centred regressor has a sum of squares near 1; the columns
        # are scaled in place by powers of two (and back, exactly) so that no product
        # leaves the range of doubles.
        unit = np.asarray(scale[1:]) * 2.0**_DEMEAN_SIZE_EXPONENT
        Xtilde *= 1.0 / unit
        XX = (Xtilde.T @ Xtilde) / max(len(Xtilde), 1)
        Xtilde *= unit
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
    dropped = [name for name, ok in zip(x, var_ok) if not ok]
    if dropped:
        yXtilde = np.ascontiguousarray(yXtilde[:, np.concatenate(([True], var_ok))])
        text = "The variables " + ", ".join(dropped) + " are omitted due to colliearity"
        msg.append(text)
        if verb > 0:
            print(text)
    x = [name for name, ok in zip(x, var_ok) if ok]
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
    scale = _column_sizes(yXtilde)
    yXtilde *= 1.0 / scale
    try:
        regression = np.linalg.lstsq(yXtilde[:, 1:], yXtilde[:, 0:1], None)
    finally:
        yXtilde *= scale
    beta = regression[0] * (scale[0] / scale[1:, np.newaxis])
    rank = regression[2]
    if rank < K:
        msg.append(RANK_WARNING)
        print(RANK_WARNING)
    if not np.all(np.isfinite(beta)):
        raise Exception(accelfunc.__name__ + "(z,X) diverged")
    resid = yXtilde[:, 0:1] - yXtilde[:, 1:] @ beta
    return beta, resid
