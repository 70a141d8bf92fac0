"""Partialling the fixed effects out, dropping collinear regressors, least squares."""

import numpy as np

from vantrel.core.absorption import _DEMEAN_SIZE_EXPONENT, _column_sizes, absorb, stack_standardised
from vantrel.core.messages import note

try:
    from scipy.optimize._remove_redundancy import _remove_redundancy_svd as _remove_redundancy
except ImportError:  # older SciPy: the routine had no method suffix
    from scipy.optimize._remove_redundancy import _remove_redundancy

RANK_WARNING = "Least squares problem does not have full rank; parameter estimates may be misleading"


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
