"""Fit statistics from sums of squares."""

import math
from types import SimpleNamespace

import numpy as np

from vantrel.core.absorption import CHUNK


def fit_from_sums(RSS, TSS, TSS_within, RSS_within, N, adj_dof, mse_dof, within_if_constant=0):
    """R-squared, adjusted R-squared (charging ``N - adj_dof`` of N - 1), root MSE
    (RSS / mse_dof) and within R-squared (`within_if_constant` when the demeaned dependent
    variable is constant) from the sums of squares; conventions differ only in the
    degrees of freedom, which the caller passes."""
    # A constant dependent variable gives NumPy's inf/NaN here, not an error.
    r_squared = float(1 - RSS / TSS)
    adj_r_squared = 1 - (1 - r_squared) * (N - 1) / adj_dof
    root_mse = float(np.sqrt(float(RSS) / mse_dof))
    within_r_squared = 1 - RSS_within / TSS_within if TSS_within > 0 else within_if_constant
    return SimpleNamespace(
        r_squared=r_squared, adj_r_squared=adj_r_squared, root_mse=root_mse, within_r_squared=within_r_squared
    )


def total_sum_of_squares(y, w=None) -> float:
    """The (weighted) sum of squares of `y` about its (weighted) mean, by chunks of rows
    (no temporary of N rows)."""
    N = len(y)
    mean = np.add.reduce(y) / N if w is None else np.einsum("i,i->", w, y) / np.add.reduce(w)
    ssy = 0.0
    for start in range(0, N, CHUNK):
        d = y[start : start + CHUNK] - mean
        ssy += float(np.einsum("i,i->", d, d) if w is None else np.einsum("i,i,i->", w[start : start + CHUNK], d, d))
    return ssy


def fit_statistics(y, w, ssu, ssy, ssy_within, N, K, k_fe):
    """R-squared (weighted), adjusted and within R-squared and RMSE, as pyfixest defines
    them; `ssy`, the total sum of squares, when the caller has it. As in pyfixest, the
    total sum of squares is taken about the mean and the adjusted R-squared charges one
    degree of freedom for it, also for a formula without intercept."""
    if ssy is None:
        ssy = total_sum_of_squares(y, w)
    # pyfixest's degrees of freedom: every level but one per effect after the first, and
    # the root mean square of the residuals without any charge
    charged = sum(g - 1 for g in k_fe) + 1 if k_fe else 0
    with np.errstate(divide="ignore", invalid="ignore"):
        fit = fit_from_sums(
            np.float64(ssu),
            np.float64(ssy),
            ssy_within if ssy_within is not None else 0.0,
            ssu,
            N,
            N - K - charged if N - K - charged > 0 else math.nan,
            N,
            within_if_constant=math.nan,
        )
    return {
        "r2": fit.r_squared,
        "adj_r2": fit.adj_r_squared,
        "within_r2": fit.within_r_squared if ssy_within is not None else math.nan,
        "rmse": fit.root_mse,
    }
