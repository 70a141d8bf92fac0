"""Inference and fit statistics derived from an estimated model.

Every function here is a pure computation over the arrays the estimation
produced (coefficients, residuals, the demeaned matrix, the covariance
namespace); nothing is stored and the inputs are never modified.

Degrees of freedom are the subtle part, and they differ on purpose:

* the homoskedastic and heteroskedastic types charge the absorbed fixed
  effects through ``total_nonredundant_fe`` (parameters that are not already
  implied by another effect);
* the cluster type draws inference from ``min(N_cluster) - 1`` degrees of
  freedom, the usual small-G choice;
* adjusted R-squared and root MSE under "cluster" and "none" charge the full
  count ``N_FE``;
* AIC and BIC always charge ``N_FE + K``.

The fixed-effect charge of a residual count is ``charged_fe`` and the count itself
``residual_dof``; every stage that divides by ``N - K - charge`` (the covariance
matrices, the constant, the t distribution, the fit measures, the result's
``df_resid``) takes it from these two.
"""

from types import SimpleNamespace

import numpy as np

from vantrel.core.fit import fit_from_sums
from vantrel.inference.stats import charged_fe, residual_dof, two_sided_p


def coefficient_inference(setype, beta, covmat, N, K, N_FE, total_nonredundant_fe, N_cluster, verb):
    """Standard errors, t statistics, p-values and degrees of freedom.

    Returns ``SimpleNamespace(se, t, df, p, df_model, df_resid)``; ``se``, ``t`` (K x 1),
    ``df`` and ``p`` (K x 1) are None for ``setype`` "none". ``df_model`` is
    ``K + N_FE``, or ``K`` alone when the model absorbed a single group. ``df_resid`` is
    the residual degrees of freedom the variance was divided by, ``N - K - charged_fe``,
    for the types that have one (``RESIDUAL_DOF_TYPES``), else None; it is also their ``df``.
    """
    df_model = K if N_FE == 1 else K + N_FE
    if setype == "none":
        return SimpleNamespace(se=None, t=None, df=None, p=None, df_model=df_model, df_resid=None)

    se = np.sqrt(np.diag(covmat))[:, np.newaxis]
    t = beta / se
    if verb > 0 and setype == "homoskedastic":
        # A quick overall statistic for eyeballing; without regressors there is
        # nothing to average, so report NaN instead of dividing by zero.
        F_from_t = float(np.sum(t**2)) / K if K > 0 else float("nan")
        print(f"F_from_t={F_from_t:.6f} using K={K}")

    if setype == "cluster":
        df_resid = None
        df = int(np.min(N_cluster)) - 1
    else:
        df_resid = residual_dof(N, K, charged_fe(setype, N_FE, total_nonredundant_fe))
        df = df_resid
    p = two_sided_p(t, df)
    return SimpleNamespace(se=se, t=t, df=df, p=p, df_model=df_model, df_resid=df_resid)


def constant_term(setype, data, y, x, beta, yXtilde, resid, N, K, N_FE, total_nonredundant_fe, cov, df):
    """Intercept of the model in the raw regressors, with its inference.

    The fixed effects absorb the intercept; the reported constant is
    ``mean(y) - mean(X) beta``. Its sampling error is linear in the residuals,
    ``cons - E[cons] = sum_i w_i u_i`` with ``w = 1/N - X~ (X~'X~)^-1 Xbar``, so
    the variance follows from the same estimator as the slopes (``cov`` is the
    namespace of ``compute_covariance``). Returns the tuple
    ``(cons, cons_se, cons_t, cons_p)``, with NaN where the variance is not
    positive, or None for ``setype`` "none".
    """
    if setype == "none":
        return None

    y_values = data[y].to_numpy(dtype=np.float64)
    if K > 0:
        Xbar = np.mean(data[x].to_numpy(dtype=np.float64), axis=0)
        cons = float(np.mean(y_values) - beta.flatten() @ Xbar)
    else:
        Xbar = np.empty(0, dtype=np.float64)
        cons = float(np.mean(y_values))

    w = np.full(N, 1.0 / N)
    if K > 0:
        w = w - yXtilde[:, 1:] @ (cov.xx_inv @ Xbar)
    s_vec = w * resid.ravel()

    if setype == "homoskedastic":
        cons_var = cov.s2 * float(np.sum(w**2))
    elif setype == "heteroskedastic":
        dof = residual_dof(N, K, charged_fe(setype, N_FE, total_nonredundant_fe))
        cons_var = (N / dof) * float(np.sum(s_vec**2))
    elif setype == "cluster":
        cons_var = 0.0
        for sign, var in zip(cov.pm, cov.clustvars_all, strict=True):
            # Identifier columns are dense 0..G-1, so a weighted bincount is
            # the per-cluster sum of the constant's scores.
            grp_sums = np.bincount(cov.clust_df[var].to_numpy(), weights=s_vec)
            cons_var += (sign * cov.correction) * float(np.sum(grp_sums**2))
    else:
        raise Exception("You should not be able to reach that point; Invalid SE type")

    cons_se = float(np.sqrt(cons_var)) if cons_var > 0 else float("nan")
    cons_t = cons / cons_se if cons_se > 0 else float("nan")
    cons_p = float(two_sided_p(cons_t, df)) if np.isfinite(cons_t) else float("nan")
    return (cons, cons_se, cons_t, cons_p)


def likelihood_stats(resid, N, N_FE, K):
    """Gaussian log-likelihood at the ML variance, AIC, BIC and deviance.

    The criteria charge ``N_FE + K`` parameters whatever ``df_model`` says.
    Returns ``SimpleNamespace(s2, ll, aic, bic, deviance, pearson_chi2)``.
    """
    rss = np.dot(resid.T, resid).item()
    s2 = rss / N
    ll = float(np.sum(-0.5 * np.log(2 * np.pi * s2) - resid**2 / (2 * s2)))
    n_params = N_FE + K
    return SimpleNamespace(
        s2=s2,
        ll=ll,
        aic=-2 * ll + 2 * n_params,
        bic=-2 * ll + float(np.log(N)) * n_params,
        deviance=N * s2,
        pearson_chi2=rss,
    )


def fit_measures(setype, data, y, resid, yXtilde, N, K, N_FE, total_nonredundant_fe):
    """R-squared, adjusted R-squared, root MSE and within R-squared.

    R-squared is measured on the raw dependent variable (the fixed effects
    count as explained variation); the within R-squared on the demeaned one.
    The adjusted R-squared and root MSE charge what ``charged_fe`` says (the
    non-redundant parameters for the homoskedastic and heteroskedastic types,
    ``N_FE`` otherwise); a zero residual degree of freedom there raises
    ZeroDivisionError.
    """
    y_original = data[y].to_numpy(dtype=np.float64).ravel()
    residuals = resid.ravel()
    TSS = np.sum((y_original - np.mean(y_original)) ** 2)
    RSS = np.sum(residuals**2)
    dof = residual_dof(N, K, charged_fe(setype, N_FE, total_nonredundant_fe))
    return fit_from_sums(RSS, TSS, float(np.sum(yXtilde[:, 0] ** 2)), float(np.sum(resid**2)), N, dof, dof)


def fe_category_counts(data, fixedeffects, fenames):
    """Number of categories of each fixed-effect term in ``data``.

    An interacted term ("state#year") counts the observed combinations; a plain one
    counts the distinct values. The counts are read off the id columns ``fenames``:
    after the renumbering each holds 0 .. G-1 for the G distinct values (combinations)
    of its term in the sample, so no hashing of ten million values is needed.
    """
    fe_counts = {}
    if fixedeffects is None:
        return fe_counts
    for i, fe_spec in enumerate(fixedeffects):
        fe_counts[fe_spec] = int(data[fenames[i]].max()) + 1
    return fe_counts
