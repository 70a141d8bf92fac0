"""The printed regression report in the layout of Stata's regression output.

An 80-column header block with the model statistics on the right, the
coefficient table, and the table of absorbed fixed effects with their
redundancy counts. Everything printed is formatted from the values passed
in; the only statistic computed here is the overall F test (a Wald test of
all slopes) and the 95 % confidence bounds.
"""

import numpy as np
import pandas as pd
from scipy import stats
from tabulate import tabulate

from vantrel.inference.stats import RESIDUAL_DOF_TYPES

_WIDTH = 80

_STATS_MSG = {
    "cluster": "Statistics robust to heteroskedasticity",
    "heteroskedastic": "Robust standard errors",
    "homoskedastic": "Homoskedastic standard errors",
}
_COEF_FLOATFMT = ["", "12.7f", "10.7f", "6.2f", "6.3f", ""]
_FE_HEADERS = ["", "Categories", "-  Redundant", "=  Num. Coefs", ""]
_FOOTNOTE_UNCERTAIN = "? = number of redundant parameters may be higher"
_FOOTNOTE_NESTED = "* = FE nested within cluster; treated as redundant for DoF computation"


def _line(left, right=""):
    """``left`` and ``right`` with blanks between so the line ends at column 80.

    When both parts together are 80 characters or longer no blank is put
    between them and the line simply runs long.
    """
    return left + " " * (_WIDTH - len(left) - len(right)) + right


def _overall_f(beta, t, covmat, K):
    """F statistic of all slopes: the Wald statistic over K.

    Falls back to the mean of the squared t statistics when there is no
    covariance matrix or it is singular.
    """
    if covmat is not None:
        try:
            wald_stat = beta.T @ np.linalg.solve(covmat, beta)
            return wald_stat.item() / K
        except np.linalg.LinAlgError:
            pass
    return float(np.sum(t**2)) / K


def _f_test(beta, t, covmat, N, K, setype, N_cluster, df_resid):
    """``(f_stat, f_df1, f_df2, f_pval)``, all None when there is nothing to test."""
    if K == 0:
        return None, None, None, None
    if N_cluster is not None and setype == "cluster":
        f_df2 = min(N_cluster) - 1
    elif setype in RESIDUAL_DOF_TYPES:
        f_df2 = df_resid if df_resid is not None else N - K - 1
    else:
        return None, None, None, None
    f_stat = _overall_f(beta, t, covmat, K)
    f_pval = 1 - stats.f.cdf(f_stat, K, f_df2)
    return f_stat, K, f_df2, f_pval


def _header_lines(
    N,
    setype,
    fixedeffects,
    clustvars,
    N_cluster,
    r_squared,
    adj_r_squared,
    within_r_squared,
    root_mse,
    f_stat,
    f_df1,
    f_df2,
    f_pval,
):
    """Yield the header block line by line.

    A generator, so that the lines already printed stay printed when a later
    one fails (for example a cluster variable without a count).
    """
    n_hdfe = len(fixedeffects) if fixedeffects else 1
    absorbing = f"Absorbing {n_hdfe} HDFE group" + ("s" if n_hdfe != 1 else "")
    f_part = "" if f_stat is None else f"F({f_df1:>4},{f_df2:>7}) =  {f_stat:>7.2f}"

    yield "=" * _WIDTH
    yield _line("HDFE Linear regression", f"Number of obs   =   {N:>6,}")
    yield _line(absorbing, f_part)
    stats_msg = _STATS_MSG.get(setype, "")
    if stats_msg:
        if f_pval is not None:
            yield _line(stats_msg, f"Prob > F    =   {f_pval:.4f}")
        else:
            yield stats_msg
    if r_squared is not None:
        yield _line("", f"R-squared     =   {r_squared:.4f}")

    fit_lines = [
        ("Adj R-squared   =   ", adj_r_squared),
        ("Within R-sq.  =   ", within_r_squared),
        ("Root MSE    =   ", root_mse),
    ]
    if setype in ("homoskedastic", "heteroskedastic"):
        for label, value in fit_lines:
            if value is not None:
                yield _line("", f"{label}{value:.4f}")
    elif setype == "cluster" and clustvars and N_cluster:
        # The fit measures ride on the right of the cluster-count lines, one
        # per line; a third line is added when there is a root MSE to show.
        lines_to_show = len(clustvars)
        if root_mse is not None:
            lines_to_show = max(lines_to_show, 3)
        for i in range(lines_to_show):
            left = ""
            if i < len(clustvars):
                left = f"Number of clusters ({clustvars[i]:>8}) =   {N_cluster[i]:>6}"
            right = ""
            if i < len(fit_lines) and fit_lines[i][1] is not None:
                right = f"{fit_lines[i][0]}{fit_lines[i][1]:.4f}"
            yield _line(left, right)
        yield _line("", f"(Std. err. adjusted for {min(N_cluster)} clusters in {' '.join(clustvars)})")
    yield ""


def _interval_text(lower, upper):
    return f"{lower:>12.7f}  {upper:>10.7f}"


def _fe_block(setype, fixedeffects, clustvars, fe_counts, fe_redundancies):
    """The absorbed-fixed-effects table and its footnotes, as printable texts."""
    rows = []
    last = len(fixedeffects) - 1
    for i, fe_spec in enumerate(fixedeffects):
        if fe_redundancies and fe_spec in fe_redundancies:
            record = fe_redundancies[fe_spec]
            n_categories = record["categories"]
            redundant = record["redundant"]
            num_coefs = record["num_coefs"]
        elif fe_counts and fe_spec in fe_counts:
            n_categories = fe_counts[fe_spec]
            if setype == "cluster":
                redundant, num_coefs = n_categories, 0
            else:
                redundant, num_coefs = 0, n_categories
        else:
            continue
        nested = setype == "cluster" and bool(clustvars) and any(var in clustvars for var in fe_spec.split("#"))
        uncertain = redundant > 0 and i == last and setype != "cluster"
        marker = "*" if nested else ("?" if uncertain else "")
        rows.append([fe_spec, n_categories, redundant, num_coefs, marker])

    texts = [tabulate(rows, _FE_HEADERS)]
    last_spec = fixedeffects[-1]
    if (
        fe_redundancies
        and setype != "cluster"
        and last_spec in fe_redundancies
        and fe_redundancies[last_spec]["redundant"] > 0
    ):
        texts.append(_FOOTNOTE_UNCERTAIN)
    if setype == "cluster":
        texts.append(_FOOTNOTE_NESTED)
    return texts


def stata_style_summary(
    result,
    x,
    beta,
    se,
    t,
    p,
    df,
    N,
    K,
    N_FE,
    setype,
    fixedeffects=None,
    clustvars=None,
    N_cluster=None,
    r_squared=None,
    adj_r_squared=None,
    within_r_squared=None,
    root_mse=None,
    fe_counts=None,
    covmat=None,
    df_resid=None,
    fe_redundancies=None,
    cons_stats=None,
    *,
    p_header="P>|z|",
):
    """Print the regression report and return the coefficient table.

    The overall F test uses ``min(N_cluster) - 1`` denominator degrees of freedom under
    "cluster", otherwise ``df_resid`` (or ``N - K - 1`` when it is not given); it is absent
    without regressors and for "none".

    Parameters
    ----------
    result, N_FE : object
        Accepted for the caller's convenience; not read.
    x : list of str
        The regressors' names.
    beta, se, t, p : numpy.ndarray
        K x 1 arrays in the order of `x`.
    df : int
        The degrees of freedom of the t distribution of the 95 % intervals.
    N, K : int
        Observations and regressors.
    setype : str
        The covariance type.
    fixedeffects, clustvars, N_cluster : optional
        The fixed-effect terms, cluster variables and cluster counts shown in the header.
    r_squared, adj_r_squared, within_r_squared, root_mse : float, optional
        The fit statistics shown in the header.
    fe_counts, fe_redundancies : optional
        The fixed effects' categories and redundant coefficients for the closing table.
    covmat : numpy.ndarray, optional
        The covariance matrix (the overall F test reads it).
    df_resid : int, optional
        The residual degrees of freedom.
    cons_stats : tuple, optional
        (estimate, std. err., t, p) of the intercept: adds a "_cons" row.
    p_header : str, default "P>|z|"
        The p-value column's header. The default is the report's fixed layout; `feols`
        passes "P>|t|", since its p-values are Student's t, as its intervals are.

    Returns
    -------
    pandas.DataFrame
        Indexed by the regressor names, with the columns "coef", "std_err", "t", "P>|t|",
        "[0.025", "0.975]".
    """
    f_stat, f_df1, f_df2, f_pval = _f_test(beta, t, covmat, N, K, setype, N_cluster, df_resid)
    for line in _header_lines(
        N,
        setype,
        fixedeffects,
        clustvars,
        N_cluster,
        r_squared,
        adj_r_squared,
        within_r_squared,
        root_mse,
        f_stat,
        f_df1,
        f_df2,
        f_pval,
    ):
        print(line)

    critical_val = stats.t.ppf(0.975, df)
    rows = []
    for i, varname in enumerate(x):
        coef, err = beta[i, 0], se[i, 0]
        rows.append(
            [varname, coef, err, t[i, 0], p[i, 0], _interval_text(coef - critical_val * err, coef + critical_val * err)]
        )
    if cons_stats is not None:
        cons, cons_se, cons_t, cons_p = cons_stats
        rows.append(
            [
                "_cons",
                cons,
                cons_se,
                cons_t,
                cons_p,
                _interval_text(cons - critical_val * cons_se, cons + critical_val * cons_se),
            ]
        )
    se_label = "Robust" if setype in ("cluster", "heteroskedastic") else "Std. Err."
    headers = ["", "\nCoefficient", "\nStd. Err.", se_label + "\nt", "\n" + p_header, "\n[95% conf. interval]"]
    print(tabulate(rows, headers, stralign="right", floatfmt=_COEF_FLOATFMT))
    print("")

    if fixedeffects:
        for text in _fe_block(setype, fixedeffects, clustvars, fe_counts, fe_redundancies):
            print(text)
    print("")

    results_df = pd.DataFrame(
        {
            "coef": beta.flatten(),
            "std_err": se.flatten(),
            "t": t.flatten(),
            "P>|t|": p.flatten(),
            "[0.025": (beta - critical_val * se).flatten(),
            "0.975]": (beta + critical_val * se).flatten(),
        },
        index=list(x),
    )
    if cons_stats is not None:
        results_df.loc["_cons"] = [
            cons,
            cons_se,
            cons_t,
            cons_p,
            cons - critical_val * cons_se,
            cons + critical_val * cons_se,
        ]
    return results_df
