"""Least squares on the demeaned system through its cross-product matrix.

One pass over the N x (1+K) block gives [y X]'[y X]; the collinearity test, the
coefficients (normal equations of the equilibrated columns, as fixest and pyfixest
solve them) and the bread of every covariance matrix are read from that small matrix,
and one more pass forms the residuals. At ten million rows an SVD-based solve of the
block itself costs a large share of the absorption's time.
"""

from __future__ import annotations

import numpy as np

from vantrel.tolvane.partial_out import _DEMEAN_SIZE_EXPONENT, _remove_redundancy

RANK_NOTE = "Least squares problem does not have full rank; parameter estimates may be misleading"
# Reciprocal condition number of the equilibrated X'X below which the solve is reported as
# rank deficient (its square root is the usual cutoff on singular values of X).
_RCOND = 1e-24
# Rows per chunk of the row-wise passes: the temporaries stay small and are reused.
CHUNK = 1 << 16


def collinear_columns(XX: np.ndarray) -> np.ndarray:
    """Which regressors to keep, from their cross-product matrix measured in units where
    each has a sum of squares near 1: a regressor is kept when its row survives the
    redundancy routine (one regressor per surviving row, so of two identical ones one
    goes)."""
    K = XX.shape[0]
    XX = XX.copy()
    # columns the fixed effects absorb demean to rounding noise: exact zeros instead
    XX[np.abs(XX) < np.finfo(np.float64).eps] = 0
    rows = _remove_redundancy(XX, np.zeros((K, 1)))[0] if np.any(XX) else XX[:0]
    keep = np.zeros(K, dtype=bool)
    for row in rows:
        matches = np.flatnonzero(np.all(XX == row, axis=1) & ~keep)
        keep[matches[:1]] = True
    return keep


def least_squares_normal(yX: np.ndarray, names: list[str], sizes: np.ndarray, notes: list[str],
                         units: np.ndarray | None = None):
    """Drop collinear regressors and solve; returns (yX, kept names, beta K x 1,
    resid N x 1, X'X of the kept columns, y'y, the residual sum of squares). Column 0 of the returned yX holds the
    residuals afterwards; resid is a view of it.

    sizes: each column's size before the absorption (a power of two), against which a
    demeaned regressor is judged absorbed; units: powers of two the block's columns are
    still divided by (the cross products are scaled exactly, the rows while they are in
    cache for the residuals: one pass over the block less); `yX` is narrowed (copied)
    only when a regressor goes.
    """
    N = yX.shape[0]
    units = np.ones(yX.shape[1]) if units is None else np.asarray(units, dtype=np.float64)
    gram = (yX.T @ yX) * np.outer(units, units)
    if not np.all(np.isfinite(gram)):  # any non-finite value of the block ends up here
        raise FloatingPointError("The demeaned data hold non-finite values (the absorption diverged)")
    unit = np.asarray(sizes[1:]) * 2.0**_DEMEAN_SIZE_EXPONENT
    keep = collinear_columns(gram[1:, 1:] / np.outer(unit, unit) / max(N, 1))
    dropped = [name for name, ok in zip(names, keep) if not ok]
    if dropped:
        notes.append("The variables " + ", ".join(dropped) + " are omitted due to collinearity")
        if not keep.any():
            raise ValueError("No regressor left: " + ", ".join(dropped) + " are collinear with the fixed effects")
        columns = np.concatenate(([True], keep))
        yX = np.ascontiguousarray(yX[:, columns])
        gram = gram[np.ix_(columns, columns)]
        units = units[columns]
    XX, Xy = gram[1:, 1:], gram[1:, 0].copy()
    d = np.sqrt(np.diag(XX))
    d[d == 0] = 1.0
    scaled = XX / np.outer(d, d)
    if np.linalg.cond(scaled) > 1 / _RCOND:
        notes.append(RANK_NOTE)
    beta = (np.linalg.lstsq(scaled, Xy / d, rcond=None)[0] / d)[:, np.newaxis]
    if not np.all(np.isfinite(beta)):
        raise FloatingPointError("Least squares gave non-finite coefficients")
    # the residuals replace the demeaned dependent variable in place (its sum of squares
    # stays in the cross-product matrix); rows in chunks, so no temporary of N rows
    # (einsum rather than BLAS for the small products: BLAS would wake its own threads
    # for every chunk, beside the kernel's)
    rss = 0.0
    for start in range(0, N, CHUNK):
        part = yX[start:start + CHUNK]
        part *= units
        part[:, 0] -= np.einsum("ij,j->i", part[:, 1:], beta[:, 0])
        rss += float(np.einsum("i,i->", part[:, 0], part[:, 0]))
    kept = [name for name, ok in zip(names, keep) if ok]
    return yX, kept, beta, yX[:, :1], gram[1:, 1:], float(gram[0, 0]), rss
