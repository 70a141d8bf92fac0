"""Degrees of freedom and p-values shared by every covariance type."""

import numpy as np
import scipy.stats

# The types whose variance estimate divides by the residual degrees of freedom. They
# charge only the non-redundant fixed-effect parameters: an effect implied by another
# one (or nested in it) costs no degree of freedom.
RESIDUAL_DOF_TYPES = ("homoskedastic", "heteroskedastic")


def charged_fe(setype, N_FE, total_nonredundant_fe):
    """Fixed-effect parameters that a residual degree-of-freedom count charges under ``setype``.

    The homoskedastic and heteroskedastic types charge the non-redundant ones; the cluster
    type (whose inference rests on the cluster count) and "none" charge every group, ``N_FE``,
    in the fit measures that still need a count.
    """
    return total_nonredundant_fe if setype in RESIDUAL_DOF_TYPES else N_FE


def residual_dof(N, K, charged):
    """``N - K - charged``, the residual degrees of freedom a variance is divided by.

    Zero raises ZeroDivisionError, the error the bare division gave, but with the
    counts that used the observations up.
    """
    dof = N - K - charged
    if dof == 0:
        raise ZeroDivisionError(
            f"No residual degrees of freedom left: {N} observations, {K} regressors "
            f"and {charged} fixed-effect parameters"
        )
    return dof


def two_sided_p(tstat, df):
    """Two-sided p-values of t statistics with `df` degrees of freedom (accurate in the tail)."""
    return scipy.stats.t.cdf(-np.abs(tstat), df) * 2
