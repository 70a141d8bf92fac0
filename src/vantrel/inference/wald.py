"""The Wald test of linear restrictions R beta = q under a fit's covariance."""

from __future__ import annotations

import numbers

import numpy as np
import pandas as pd
import scipy.stats


def wald_test(beta: np.ndarray, vcov: np.ndarray, names: list[str], df: int, R, q=0.0) -> pd.Series:
    """W = (R b - q)' (R V R')^-1 (R b - q) for the estimates `beta` with covariance
    `vcov` (labelled by `names`); F = W / J against F(J, `df`) and W against chi2(J), J
    the number of rows of R. Returns a Series of F, its p-value, W, its p-value, J and df."""
    K = len(names)
    if isinstance(R, pd.DataFrame):
        missing = [name for name in R.columns if name not in names]
        if missing:
            raise ValueError(f"R: columns {missing} are not coefficients of the fit; it has {names}")
        R = R.reindex(columns=names, fill_value=0.0).to_numpy(dtype=np.float64)
    try:
        R = np.array(R, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"R must be a numeric matrix with one column per coefficient ({K}), got {R!r}") from error
    if R.ndim == 1:
        R = R[np.newaxis, :]
    if R.ndim != 2 or R.shape[1] != K or R.shape[0] == 0 or not np.isfinite(R).all():
        raise ValueError(
            f"R must be a finite J x {K} matrix (one column per coefficient: {names}), got shape {R.shape}"
        )
    J = R.shape[0]
    if isinstance(q, numbers.Real) and not isinstance(q, bool):
        q = np.full(J, float(q))
    else:
        q = np.array(q, dtype=np.float64).reshape(-1)
        if q.shape != (J,) or not np.isfinite(q).all():
            raise ValueError(f"q must be a finite number or {J} finite numbers (one per row of R), got {q!r}")
    middle = R @ vcov @ R.T
    if np.linalg.matrix_rank(middle) < J:
        raise ValueError(
            f"R: its {J} restrictions are not linearly independent under the covariance (R V R' has rank "
            f"{np.linalg.matrix_rank(middle)}); drop the redundant rows"
        )
    gap = R @ beta - q
    W = float(gap @ np.linalg.solve(middle, gap))
    return pd.Series(
        {
            "F": W / J,
            "Pr(>F)": float(scipy.stats.f.sf(W / J, J, df)),
            "chi2": W,
            "Pr(>chi2)": float(scipy.stats.chi2.sf(W, J)),
            "df1": J,
            "df2": df,
        },
        name="Wald test",
    )
