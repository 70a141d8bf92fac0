"""The result object's attributes, named as a Gaussian GLM result names them.

Each function returns a dict of attributes in the order they are set on the result;
`tolvane` sets them, so that the attributes it sets itself in between (the fixed-effect
row sums, the recovered effects) keep their places. The classes of `family` and `model`
are made by `tolvane` on every call and come in here as instances.
"""

import numpy as np
import pandas as pd


def coefficient_attributes(setype, beta, covmat, inference, cons_stats, clustvars, N_cluster):
    """The constant, the coefficients and their tests.

    For "none" only `params`, the K x 1 array itself; otherwise the constant's four
    statistics, Series of the coefficients, standard errors, t and p values, the
    covariance matrix and its type, and under "cluster" the cluster variables, the
    inference degrees of freedom min(N_cluster) - 1 and `use_t`.
    """
    if setype == "none":
        return {"params": beta}
    cons, cons_se, cons_tvalue, cons_pvalue = cons_stats
    attributes = {
        "cons": cons,
        "cons_se": cons_se,
        "cons_tvalue": cons_tvalue,
        "cons_pvalue": cons_pvalue,
        "params": pd.Series(beta.flatten()),
        "bse": pd.Series(inference.se.flatten()),
        "covmat": covmat,
        "cov_type": setype,
    }
    if setype == "cluster":
        attributes["clustvars"] = clustvars
        attributes["df_resid_inference"] = np.min(N_cluster) - 1
        attributes["use_t"] = True
    attributes["tvalues"] = pd.Series(inference.t.flatten())
    attributes["pvalues"] = pd.Series(inference.p.flatten())
    return attributes


def model_attributes(
    family, model, df_model, likelihood, N, y, x_all, fixedeffects, setype, clustvars, data, resid, msg, absorption=None
):
    """Family and model, degrees of freedom, formula texts, likelihood, fit, the
    observation-level series and the messages of the run (the same list object).

    `absorption`, the coefficient solver's report, comes last when there is one.
    """
    initial_index = data["initial_index"]
    attributes = {
        "family": family,
        "model": model,
        "df_model": df_model,
        # A GLM's residual degrees of freedom, nobs - df_model. The types that divide
        # their variance by N - K - charge overwrite it with that count once the fit
        # measures are done (tolvane, after the fixed effects are recovered); an attribute
        # keeps the place where it was first set, so the order is the same for every type.
        "df_resid": N - df_model,
        "formula_R": _formula_R(y, x_all, fixedeffects, setype, clustvars),
        "formula_Stata": _formula_Stata(y, x_all, fixedeffects, setype, clustvars),
        "aic": likelihood.aic,
        "bic": likelihood.bic,
        "llf": likelihood.ll,
        "deviance": likelihood.deviance,
        "pearson_chi2": likelihood.pearson_chi2,
        "family_name": "Gaussian",
        "family_link": "identity",
        "scale": likelihood.s2,
        "nobs": N,
        "method": "OLS",
        "fit_history": {"iteration": 1},
        "fittedvalues": pd.Series((data[y].to_numpy(dtype=np.float64) - resid).ravel(), index=initial_index),
        "resid": pd.Series(resid.flatten(), index=initial_index),
        "msg": msg,
    }
    if absorption is not None:
        attributes["absorption"] = absorption
    return attributes


def _fe_term_R(term):
    if "#" not in term:
        return term
    return "<<interatction(" + term.replace("#", ", ") + ")>>"


def _formula_R(y, x_all, fixedeffects, setype, clustvars):
    text = "alpaca::feglm(" + "".join(y) + " ~ " + " + ".join(x_all) + " "
    text += " + ".join(_fe_term_R(term) for term in fixedeffects)
    if setype == "cluster":
        text += " " + " + ".join(clustvars)
    return text + ", family = gaussian())"


def _formula_Stata(y, x_all, fixedeffects, setype, clustvars):
    text = "tolvane " + "".join(y) + " " + " ".join(x_all) + ", absorb(" + " ".join(fixedeffects) + ")"
    if setype == "cluster":
        text += " vce(cluster " + " ".join(clustvars) + ")"
    return text
