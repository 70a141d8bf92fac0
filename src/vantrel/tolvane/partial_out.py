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
        out[:, j] = data[name].to_numpy()
    return out


def demean(data, y, x, A, accelfunc, eps_MAP, minsubiter, maxsubiter, verb, nt):
    """Demean [y, x...] over all fixed effects in one kernel call.

    Returns yXtilde and the kernel's report: None for the sweep routines, which return the
    matrix itself; the coefficient solver demeans the same matrix in place and returns a
    dict of its iterations and preconditioner.
    """
    yX = _stack_columns(data, y + x)
    out = accelfunc(yX, None, A, eps_MAP, minsubiter, maxsubiter, verb, nt)
    report = out if isinstance(out, dict) else None
    yXtilde = yX if report is not None else out
    if not np.isfinite(np.max(yXtilde)):
        raise Exception(accelfunc.__name__ + "(y,X) diverged")
    return yXtilde, report


def drop_collinear(yXtilde, x, verb, msg):
    """Drop regressors whose demeaned column is linearly dependent on the others.

    Dependence is found on the small K x K cross-product matrix: a regressor is kept
    exactly when its row of XX survives the redundancy routine unchanged (one regressor
    per surviving row, so of two identical regressors one goes). Returns the
    (possibly narrowed) yXtilde, the kept names and their count K.
    """
    K_all = len(x)
    Xtilde = yXtilde[:, 1:]
    XX = Xtilde.T @ Xtilde
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
    """Solve the demeaned least-squares problem; returns beta (K x 1) and resid (N x 1)."""
    regression = np.linalg.lstsq(yXtilde[:, 1:], yXtilde[:, 0:1], None)
    beta = regression[0]
    rank = regression[2]
    if rank < K:
        msg.append(RANK_WARNING)
        print(RANK_WARNING)
    if not np.all(np.isfinite(beta)):
        raise Exception(accelfunc.__name__ + "(z,X) diverged")
    resid = yXtilde[:, 0:1] - yXtilde[:, 1:] @ beta
    return beta, resid
