"""Fit statistics from sums of squares."""

from types import SimpleNamespace

import numpy as np


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
