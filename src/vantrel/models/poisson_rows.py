"""`fepois` on data out of memory: the reweighted least squares as passes of a row engine.

Each iteration of the reweighted least squares is a weighted least squares of the working
variable z on the regressors with the fixed effects, under the working weights W times the
prior weights: what the aggregated stages of `feols` out of memory
(`vantrel.engines.aggregated`) compute when the outcome column is z and the weight column
is that product. So the row engine keeps the sample with its current linear predictor eta
and, in one pass per iteration, writes the working columns at eta into the table the
stages read; the absorption and the least squares run on it unchanged. The new linear
predictor is the coefficients joined back to the rows: the constant, the regressors times
their slopes, each effect's value at its level (the solved coefficients of z less those of
the regressors, as `fixef()` reads them) and the offset, with its deviance summed in the
same engine. A step whose deviance is not finite or grew is halved, and the iterations stop
on the relative change of the deviance, as in memory (`vantrel.core.irls`); the covariance
is that of the working least squares at the estimate's mean, with the in-memory factors.

Separation: "fe" (levels whose outcome is zero in every row) is an aggregate and runs
where the rows are. "simplex" and "relu" need the rows themselves (a linear programme over
the rows with a zero outcome, a least squares iterated over every row's fitted value), so
out of memory they are refused when asked for; the default runs "fe" alone and says so in
the result's messages.

The engine keeps no value per row: ``resid()`` and ``fitted()`` refuse, as for `feols`;
``fixef()`` and ``predict(newdata)`` read the solved fixed effects.
"""

from __future__ import annotations

import warnings

import numpy as np

from vantrel.core.blas import ONE_BLAS_THREAD
from vantrel.core.irls import FIRST_INNER_TOL, NotConverged, check_halvings, relative_change, step_rejected
from vantrel.core.least_squares import solve_normal_equations
from vantrel.core.options import notice, residual_dof_named
from vantrel.core.separation import check_separation
from vantrel.engines.aggregated import fixed_effect_series
from vantrel.inference.vcov import covariance, empty_covariance
from vantrel.results.poisson import FepoisResult, report_separated

# The engines whose row passes rewrite the working columns.
ENGINES_WITH_REWEIGHTING = ("duckdb", "dask")
# The separation methods that run out of memory: aggregates only.
METHODS_OUT_OF_MEMORY = ("fe",)


class FepoisRowsResult(FepoisResult):
    """A Poisson fit out of memory: no value per row is kept."""

    def _refuse(self, method: str):
        raise ValueError(
            f"{method}(): the estimate ran on {self.absorption.get('engine')!r} and keeps no value per row; "
            "predict(newdata) computes fitted values for rows you pass"
        )

    def fitted(self, type: str = "response"):
        """Refused: the estimate out of memory keeps no value per row (see ``predict``)."""
        self._refuse("fitted")

    def resid(self, type: str = "response"):
        """Refused: the estimate out of memory keeps no value per row."""
        self._refuse("resid")

    def predict(self, newdata: object = None, type: str = "response"):
        """Predictions for the rows of `newdata` (required out of memory); see
        `vantrel.results.poisson.FepoisResult.predict`."""
        if newdata is None:
            self._refuse("predict")
        return super().predict(newdata, type)


def count_dropped(dropped: dict, counts: dict, singletons: int, messages: list[str]) -> None:
    """Add the separation checks' drops (`counts`, by method) and the singletons they left
    to `dropped`, and say what the sample lost to missing values and singletons: one
    wording for the fit in memory and the one over the rows."""
    dropped["singletons"] += singletons
    dropped.update({f"separation ({method})": count for method, count in counts.items()})
    if dropped["missing"]:
        notice(f"{dropped['missing']:,} observation(s) dropped for missing or non-finite values", messages)
    if dropped["singletons"]:
        notice(f"{dropped['singletons']:,} singleton observation(s) dropped", messages)


def out_of_memory_methods(separation, path: str, default: bool) -> tuple[str, ...]:
    """The separation methods to run on the `path` engine: those asked for, when each runs
    there (the default: those of them that do); raises naming the others."""
    if path not in ENGINES_WITH_REWEIGHTING:
        raise ValueError(
            f"engine = {path!r}: fepois runs out of memory on {ENGINES_WITH_REWEIGHTING} only (the {path!r} engine "
            "has no pass that rewrites the working columns yet); use a Parquet path or a DuckDB relation, "
            "or data in memory"
        )
    if default:
        return tuple(m for m in separation if m in METHODS_OUT_OF_MEMORY)
    refused = [m for m in separation if m not in METHODS_OUT_OF_MEMORY]
    if refused:
        raise ValueError(
            f"separation = {separation!r}: {refused} need(s) every row in memory (a linear programme or an "
            f"iterated least squares over the rows); on the {path!r} engine only {METHODS_OUT_OF_MEMORY} runs "
            "(from aggregates); pass separation='fe' or None, or read the data into memory"
        )
    return tuple(separation)


def _drop_separated(rows, methods, messages) -> tuple[dict, int]:
    counts = dict.fromkeys(methods, 0)
    singletons = 0
    if "fe" in methods:
        while True:
            found = rows.separate_fe()
            if not found:
                break
            counts["fe"] += found
            if rows.outcome_counts()["positive"] == 0:
                raise ValueError("fml: every observation is separated (the outcome is zero in every row that is left)")
            singletons += rows.drop_singletons()
    report_separated(counts, messages)
    return counts, singletons


def estimate_rows(
    engine,
    formula,
    choice,
    corrections,
    weights,
    offset,
    separation,
    tol,
    maxiter,
    fixef_tol,
    fixef_maxiter,
    collin_tol,
    report,
    shared=None,
    default_separation=False,
) -> FepoisResult:
    """The Poisson estimate of `formula` on an `AggregatedEngine` (`engine`), the arguments
    as `vantrel.models.poisson.estimate` takes them; `default_separation`: whether
    `separation` is fepois' default (then the methods that need the rows are left out,
    with a notice)."""
    rows = engine.rows
    fml = formula.text
    effects = formula.fixed_effects
    messages: list[str] = []
    asked = check_separation(separation)
    methods = out_of_memory_methods(asked, rows.name, default_separation)
    if asked != methods:
        notice(
            f"separation: {[m for m in asked if m not in methods]} not run on {rows.name!r} (they need the "
            f"rows in memory); ran {methods}",
            messages,
        )
    report.done("read")
    report.stage(f"reading the rows on {engine.name}")
    extra = {offset: "offset"} if offset is not None else None
    sample = engine.sample(formula, choice, weights, extra=extra)
    names, dropped = sample["names"], dict(sample["dropped"])
    outcome = rows.outcome_counts()
    if outcome["negative"]:
        raise ValueError(
            f"fml: the dependent variable {formula.depvar!r} must be non-negative for a Poisson model; "
            f"{outcome['negative']:,} row(s) are below zero (the smallest: {outcome['smallest']!r})"
        )
    if not outcome["positive"]:
        raise ValueError(
            f"fml: the dependent variable {formula.depvar!r} is zero in every row of the sample; a Poisson model "
            "needs some positive outcome"
        )
    counts, singletons = _drop_separated(rows, methods, messages)
    count_dropped(dropped, counts, singletons, messages)
    k_fe = rows.level_counts()
    n_model = len(engine.model)
    offset_column = n_model if offset is not None else None
    report.done("sample")

    deviance_old = rows.glm_start(offset_column)
    engine.weights = "w"  # the stages now read the working weights
    N = engine.N = rows.moments(n_model)["N"]
    report.stage(f"sample ready: {N:,} rows")
    notes: list[str] = []
    keep = np.ones(len(names), dtype=bool)
    inner_tol = max(fixef_tol, FIRST_INNER_TOL)
    inner: list[int] = []
    state = None  # (values per effect, constant, slopes) of the current eta, when it is linear
    change = float("nan")
    with ONE_BLAS_THREAD:
        for iteration in range(1, maxiter + 1):
            engine.moments = rows.moments(n_model)
            absorbed = engine.absorb(inner_tol, fixef_maxiter, report)
            inner.append(int(absorbed["absorption"].get("iterations", 0)))
            gram = absorbed["gram"]
            beta = _solve(gram, names, keep, absorbed["sizes"], N, notes, collin_tol, fixef_tol, effects, iteration)
            proposal = _linear_predictor(engine, beta, keep)
            deviance = rows.glm_propose(*proposal)
            halvings = 0
            while step_rejected(deviance, deviance_old, iteration, tol):
                check_halvings(halvings, iteration, deviance_old)
                deviance = rows.glm_halve()
                proposal = None if state is None else _halfway(proposal, state)
                halvings += 1
            change = relative_change(deviance, deviance_old)
            report.stage(
                f"IRLS iteration {iteration}: deviance {deviance:.10g}, relative change {change:.3g}"
                + (f", absorption {inner[-1]} iteration(s) at tol {inner_tol:.0e}" if effects else "")
            )
            rows.glm_accept()
            state, deviance_old = proposal, deviance
            if change < tol and inner_tol <= fixef_tol:
                break
            inner_tol = max(fixef_tol, min(inner_tol, 0.1 * change))
        else:
            raise NotConverged(
                f"maxiter = {maxiter}: the reweighted least squares did not converge in {maxiter} iterations "
                f"(the deviance's relative change is still {change:.3g}, tol = {tol:g}); raise maxiter, or check "
                "the data for separation"
            )
        for text in notes:
            warnings.warn(text, UserWarning, stacklevel=3)
        messages += notes
        report.done("reweighted least squares")
        kept = [name for name, ok in zip(names, keep, strict=True) if ok]
        collinear = [name for name, ok in zip(names, keep, strict=True) if not ok]

        # the covariance is that of the estimate itself: the working columns at the final
        # mean (written by the last accept), absorbed once more
        report.stage("covariance")
        engine.moments = rows.moments(n_model)
        absorbed = engine.absorb(fixef_tol, fixef_maxiter, report)
        inner.append(int(absorbed["absorption"].get("iterations", 0)))
        columns = np.concatenate(([True], keep))
        kept_gram = absorbed["gram"][np.ix_(columns, columns)]
        records, names_count = engine.fe_records(corrections, choice, k_fe)
        cluster_names = list(choice.clusters)
        nested = []
        if choice.type == "CRV1" and corrections.k_fixef == "nonnested":
            nested = engine.nested(cluster_names)
        pieces = engine.residual_statistics(beta, keep, choice.type, cluster_names)
        if choice.type == "iid":
            # the Poisson variance is the mean: the least-squares scale RSS / (N - 1) is one
            pieces = {**pieces, "rss": float(N - 1)}
        with residual_dof_named(fml):
            cov = (
                empty_covariance(N, k_fe)
                if not kept
                else covariance(
                    choice.type,
                    corrections,
                    kept_gram[1:, 1:],
                    pieces,
                    N,
                    k_fe,
                    nested,
                    names_count,
                    cluster_names,
                    pieces.get("subsets", []),
                )
            )
        messages += cov.notes or []
        fields = engine.result_fields()
        if effects and state is not None:
            # the fixed effects of the estimate's own linear predictor
            values, constant, _ = state
            fields["_fixef_cache"] = fixed_effect_series(rows, formula, values, constant, N)
        sums = rows.glm_fit_sums()
    report.done("covariance, fit")
    report.stage("done")
    loglik, loglik_null = sums["loglik"], sums["loglik_null"]
    return FepoisRowsResult(
        formula=fml,
        depvar=formula.depvar,
        coefnames=kept,
        beta=beta,
        vcov_matrix=cov.matrix,
        vcov_type=choice.type,
        ssc=corrections,
        clusters=cov.cluster_counts,
        df_t=cov.df_t,
        df_k=cov.df_k,
        nobs=N,
        nobs_dropped=dropped,
        fixef_labels=list(formula.fe_labels),
        fixef_levels=dict(zip(formula.fe_labels, k_fe, strict=True)),
        absorption={
            "method": "coefficients from aggregates" if effects else "none",
            "iterations": int(sum(inner)),
            "engine": rows.name,
        },
        timings=report.timings,
        collinear=collinear,
        messages=messages,
        weights=weights,
        deviance=deviance_old,
        null_deviance=sums["null_deviance"],
        loglik=loglik,
        loglik_null=loglik_null,
        pseudo_r2=1.0 - loglik / loglik_null if loglik_null != 0 else float("nan"),
        iterations={"outer": iteration, "inner": inner},
        separated=counts,
        separated_index=None,
        offset=offset,
        _eta=None,
        _offset_values=None,
        _working_resid=None,
        _sample=fields["_sample"],
        _fe_records=records,
        _fixef_cache=fields["_fixef_cache"],
    )


def _solve(gram, names, keep, sizes, N, notes, collin_tol, fixef_tol, effects, iteration) -> np.ndarray:
    """The slopes of the kept regressors: at the first iteration the collinearity rule
    chooses them (as in memory, at the first iteration's weights), later the same ones."""
    if not names or not keep.any():
        return np.empty(0)
    if iteration == 1:
        chosen, beta, _ = solve_normal_equations(
            gram, names, sizes, N, notes, collin_tol, fixef_tol if effects else None, none_left=effects
        )
        keep[:] = chosen
        return beta
    columns = np.concatenate(([True], keep))
    kept_names = [name for name, ok in zip(names, keep, strict=True) if ok]
    _, beta, _ = solve_normal_equations(
        gram[np.ix_(columns, columns)], kept_names, np.ones(1 + len(kept_names)), N, [], collin_tol, None
    )
    return beta


def _linear_predictor(engine, beta, keep):
    """The linear predictor of the working least squares just solved, as the row engine
    joins it back: each effect's value by level (its solved coefficients of z less those of
    the regressors times their slopes, in the columns' units), the constant and the slopes
    by model column. z less its working residual is exactly this sum (the centring of the
    columns goes into the constant)."""
    scale, centres = engine.scale, engine.centres
    combination = np.zeros(len(engine.model))
    combination[0] = scale[0]
    combination[1:][keep] = -beta * scale[1:][keep]
    values = [alpha @ combination for alpha in engine.alphas]
    constant = float(centres[0] - centres[1:][keep] @ beta)
    slopes = {}
    for j, b in zip(np.flatnonzero(keep) + 1, beta, strict=True):
        if engine.model[j] is None:
            constant += float(b)  # the intercept's column of ones
        else:
            slopes[int(j)] = float(b)
    return values, constant, slopes


def _halfway(proposal, state):
    """The coefficients halfway between a proposal and the current ones (the linear
    predictor is linear in them)."""
    values = [(a + b) / 2.0 for a, b in zip(proposal[0], state[0], strict=True)]
    slopes = {j: (proposal[2].get(j, 0.0) + state[2].get(j, 0.0)) / 2.0 for j in set(proposal[2]) | set(state[2])}
    return values, (proposal[1] + state[1]) / 2.0, slopes
