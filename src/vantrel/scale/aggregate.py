"""`feols` on data that stays where it is: every pass over the rows is an aggregation run by
an engine (DuckDB, Dask), and only coefficient-sized work happens here.

The estimate is the in-memory one, computed from aggregates:

1. sample: rows with a missing or non-finite used value out, then observations alone in a
   fixed-effect group, repeatedly; dense level ids per effect (engine);
2. absorption: per effect the weighted level counts and level sums of the centred and
   scaled columns [y, X], per pair of effects the cells of their cross-tabulation, and the
   columns' sums of squares (engine); the solve in coefficient space from those alone
   (`COEF_PCG_cells`, the kernel). Where the cells would outnumber what the rows take
   (panels, groups of a few rows: about one cell per row), the engine hands over instead
   the rows' level ids sorted by one effect, 2 or 4 bytes per row and effect, and the
   kernel applies D'WD by passes over them (`COEF_PCG_rows`);
3. least squares: the coefficients are joined back to the rows and the residualised columns'
   cross products X~'WX~, X~'Wy~ aggregated (engine). Forming them from the aggregates
   instead (X'WX less the fixed effects' part) would subtract large, nearly equal
   numbers whenever a regressor varies little within its groups; the residual route
   keeps the precision of the in-memory path;
4. covariance and fit: the residual sum of squares, the HC meat, per-cluster score sums
   and cluster counts per subset of the cluster variables (engine), combined with the
   same small-sample factors as in memory.

The engine returns numbers and small tables only: the residuals are never collected, so
``resid()`` and ``fitted()`` of such a result refuse, while coefficients, every
covariance, fit statistics, ``fixef()`` and ``predict(newdata)`` are available.
"""

from __future__ import annotations

import math
import warnings

import numpy as np
import pandas as pd

from vantrel.backend.morlisk import powerset
from vantrel.backend.quarnet import COEF_PCG_cells, COEF_PCG_rows
from vantrel.core.absorption import demeaning_scale
from vantrel.model.estimate import build_result, check_options, fe_records, fit_statistics, notice
from vantrel.model.formula import FormulaError, ParsedFormula, check_columns, is_intercept, parse_formula
from vantrel.model.frame import build_design
from vantrel.model.progress import Progress
from vantrel.model.result import FeolsResult, Sample
from vantrel.model.ssc import adjustment, df_k, parse_vcov, resolve_ssc
from vantrel.model.vcov import Covariance, cluster_covariance, subset_factors, symmetric
from vantrel.scale.terms import SUPPORTED_TERMS, Column, UnsupportedTerm, parse_expression, term_expression
from vantrel.tolvane.partial_out import solve_normal_equations

# Rows of the caller's data read to learn the coefficient names formulaic gives the terms
# (and the model choice that `predict(newdata)` codes new rows with).
_HEAD_ROWS = 1000


def estimate(
    engine, fml: str, vcov, weights, ssc, fixef_tol: float, fixef_maxiter: int, n_threads: int, progress
) -> FeolsResult:
    """The `feols` estimate with the row passes run by `engine` (see the module text)."""
    formula = parse_formula(fml)
    choice = parse_vcov(vcov)
    corrections = resolve_ssc(ssc)
    check_options(weights, fixef_tol, fixef_maxiter, n_threads, progress)
    clock = Progress(progress)
    if corrections.k_fixef == "names":
        raise ValueError(
            f"ssc = {ssc!r}: k_fixef='names' (the driver's name-based count of fixed-effect "
            "parameters) needs the data in memory; use another convention for data out of memory"
        )
    messages: list[str] = []
    effects = formula.fixed_effects

    argument_of = {name: "vcov" for name in choice.clusters}
    if weights is not None:
        argument_of[weights] = "weights"
    argument_of.update({name: "fml" for name in formula.columns})
    schema = engine.schema()
    for name in dict.fromkeys(formula.columns + list(choice.clusters) + ([weights] if weights else [])):
        check_columns([name], list(schema), argument_of[name])
    numeric = {name for name, kind in schema.items() if kind in ("float", "int", "bool")}
    if weights is not None and weights not in numeric:
        raise TypeError(f"weights: column {weights!r} must be numeric, got {schema[weights]}")
    names, model = _model_columns(formula, numeric, schema, bool(effects))
    # formulaic's names for the same terms (and its choice, for predictions on new data)
    head = engine.head(list(dict.fromkeys(formula.columns)), _HEAD_ROWS)
    design = build_design(head, formula, absorb_intercept=bool(effects))
    if design.names != names[1:]:
        raise FormulaError(f"fml = {fml!r}: the terms make the columns {design.names}; " + SUPPORTED_TERMS)
    if len(names) == 1:
        raise ValueError(f"fml = {fml!r} has no regressor to estimate")

    # Sample.
    clock.stage(f"reading the rows on {engine.name}")
    variables = list(dict.fromkeys([name for effect in effects for name in effect] + list(choice.clusters)))
    counted = engine.build_sample(
        model,
        effects,
        variables,
        list(choice.clusters),
        weights,
        {name for name in variables if schema[name] == "float"},
    )
    dropped = {"missing": counted["read"] - counted["kept"], "singletons": 0}
    if dropped["missing"]:
        notice(f"{dropped['missing']:,} observation(s) dropped for missing or non-finite values", messages)
    if counted["kept"] == 0:
        raise ValueError(f"No observations left for fml = {fml!r} after dropping missing and non-finite values")
    if effects:
        dropped["singletons"] = engine.drop_singletons()
        if dropped["singletons"]:
            notice(f"{dropped['singletons']:,} singleton observation(s) dropped", messages)
    k_fe = engine.level_counts()
    clock.done("sample")
    clock.stage(f"sample ready: {counted['kept'] - dropped['singletons']:,} rows")

    # Centre and scale as the in-memory path does (`stack_standardised`): the solve's
    # convergence measure then means the same for both.
    moments = engine.moments(len(model))
    N = moments["N"]
    if N == 0:
        raise ValueError(f"No observations left for fml = {fml!r} after dropping singletons")
    centres = np.array(
        [0.0 if node is None or not effects else total / N for node, total in zip(model, moments["sums"], strict=True)]
    )
    centres[~np.isfinite(centres)] = 0.0
    y_mean = moments["wy"] / moments["w"]
    spread = engine.spread(centres, y_mean)
    scale = np.ones(len(model))
    for j, node in enumerate(model):
        if node is not None:
            size = math.sqrt(spread["ss"][j] / N)
            scale[j] = demeaning_scale(size, lambda j=j: spread["largest"][j])

    alphas = []
    absorption = {"method": "none", "iterations": 0}
    if effects:
        parts = engine.effect_aggregates(centres, 1.0 / scale)
        clock.done("aggregates")
        clock.stage(f"absorbing {len(effects)} fixed effect(s) from {len(model)} column(s)")
        if "rows" in parts:  # the pairs' cells would outweigh the rows: D'WD by passes over them
            rows = parts["rows"]
            with engine.set_aside(), clock.kernel_output():
                alphas, report = COEF_PCG_rows(
                    parts["counts"],
                    parts["sums"],
                    parts["sumsq"],
                    rows["segment"],
                    rows["segment_rows"],
                    rows["levels"],
                    rows["w"],
                    fixef_tol,
                    0,
                    fixef_maxiter,
                    clock.kernel_verbosity,
                    n_threads,
                )
            del parts, rows
            absorption = {"method": "coefficients from aggregates and sorted rows", **report}
        else:
            with clock.kernel_output():
                alphas, report = COEF_PCG_cells(
                    parts["counts"],
                    parts["sums"],
                    parts["pairs"],
                    parts["sumsq"],
                    N,
                    fixef_tol,
                    0,
                    fixef_maxiter,
                    clock.kernel_verbosity,
                    n_threads,
                )
            absorption = {"method": "coefficients from aggregates", **report}
        clock.done("absorption")
    clock.stage("residualised cross products")
    gram = engine.residualise(alphas, centres, 1.0 / scale) * np.outer(scale, scale)
    clock.done("residualised cross products")

    sizes = scale if weights is None else scale * math.sqrt(moments["w"] / N)
    notes: list[str] = []
    keep, beta, kept_gram = solve_normal_equations(gram, names[1:], sizes, N, notes)
    XX = kept_gram[1:, 1:]
    for text in notes:
        warnings.warn(text, UserWarning, stacklevel=3)
    messages += notes
    kept = [name for name, ok in zip(names[1:], keep, strict=True) if ok]
    K = len(kept)
    collinear = [name for name, ok in zip(names[1:], keep, strict=True) if not ok]
    # residual e = y~ - X~ beta in the columns' units, as weights on the scaled columns
    combination = np.zeros(len(model))
    combination[0] = scale[0]
    combination[1:][keep] = -beta * scale[1:][keep]
    subsets = powerset(list(choice.clusters)) if choice.type == "CRV1" else []
    nested = []
    if choice.type == "CRV1" and corrections.k_fixef == "nonnested":
        nested = [any(engine.nested(f, name) for name in choice.clusters) for f in range(len(effects))]
    clock.stage("covariance sums")
    stats = engine.residual_statistics(combination, scale, keep, choice.type == "hetero", subsets)
    clock.done("covariance sums")

    cov = _covariance(choice, corrections, XX, stats, N, K, k_fe, nested)
    messages += cov.notes or []
    records, names_count = fe_records(corrections, choice, effects, formula.fe_labels, None, None, k_fe)
    fit = fit_statistics(None, None, stats["rss"], spread["tss"], float(gram[0, 0]) if effects else None, N, K, k_fe)
    fixef = _fixed_effects(engine, formula, alphas, combination, centres, beta, keep, N) if effects else None
    clock.done("result")
    clock.stage("done")

    sample = Sample(head.iloc[:0], None, pd.RangeIndex(0), None, None, [], [list(e) for e in effects], design)
    return build_result(
        fml,
        formula,
        kept,
        beta,
        cov,
        choice.type,
        corrections,
        N,
        dropped,
        fit,
        k_fe,
        absorption={**absorption, "engine": engine.name},
        timings=clock.timings,
        collinear=collinear,
        messages=messages,
        weights=weights,
        _resid=None,
        _sample=sample,
        _fe_records=records,
        _fixef_cache=fixef,
    )


def _model_columns(formula: ParsedFormula, numeric: set[str], schema: dict[str, str], absorbed: bool):
    """Names and expressions of [y, regressors...]; None stands for the intercept's ones."""
    if formula.depvar_is_column:
        if formula.depvar not in numeric:
            raise TypeError(
                f"fml: the dependent variable {formula.depvar!r} must be numeric, got {schema[formula.depvar]}"
            )
        depvar = Column(formula.depvar)
    else:
        try:
            depvar = parse_expression(formula.depvar, numeric)
        except UnsupportedTerm as error:
            raise FormulaError(f"fml = {formula.text!r}: the dependent variable {error}; {SUPPORTED_TERMS}") from None
    names, model = [formula.depvar], [depvar]
    for term in formula.terms:
        if is_intercept(term):
            if not absorbed:
                names.append("Intercept")
                model.append(None)
            continue
        try:
            model.append(term_expression(term, numeric))
        except UnsupportedTerm as error:
            raise FormulaError(
                f"fml = {formula.text!r}: term {str(term)!r} cannot be computed out of memory "
                f"({error}); {SUPPORTED_TERMS}"
            ) from None
        names.append(str(term))
    return names, model


def _covariance(choice, ssc, XX, stats, N, K, k_fe, nested) -> Covariance:
    """`vantrel.model.vcov.covariance` from the aggregated pieces: the residual sum of
    squares (iid), the HC meat (hetero), or each cluster subset's meat and count."""
    bread = np.linalg.inv(XX)
    if choice.type == "CRV1":
        dfk = df_k(ssc, "CRV1", K, k_fe, nested or [False] * len(k_fe), None)
        k_factor = adjustment(ssc, "CRV1", N, dfk)
        names = list(choice.clusters)
        G = stats["cluster_counts"]
        factors = subset_factors(ssc, k_factor, names, powerset(names), G)
        meat = np.zeros((K, K))
        for factor, part in zip(factors, stats["cluster_meats"], strict=True):
            meat += factor * part
        return cluster_covariance(np.linalg.multi_dot([bread, meat, bread]), dfk, names, G, stacklevel=5)
    dfk = df_k(ssc, choice.type, K, k_fe, [False] * len(k_fe), None)
    factor = adjustment(ssc, choice.type, N, dfk)
    if choice.type == "iid":
        matrix = stats["rss"] / ((N - 1) / factor) * bread
    else:
        matrix = np.linalg.multi_dot([bread, stats["meat"], bread]) * factor
    return Covariance(symmetric(matrix), N - dfk, dfk, {})


def _fixed_effects(engine, formula, alphas, combination, centres, beta, keep, N):
    """Per effect the values of its levels: the solved coefficients of y less those of the
    regressors times their slopes, in the columns' units. As in memory, the first effect
    carries the constant and every other one has mean zero over the sample's rows."""
    values = [alpha @ combination for alpha in alphas]
    rows = engine.level_rows()
    constant = centres[0] - float(centres[1:][keep] @ beta)
    for f in range(1, len(values)):
        mean = float(rows[f] @ values[f]) / N
        values[f] = values[f] - mean
        constant += mean
    values[0] = values[0] + constant
    out = {}
    for f, (label, effect) in enumerate(zip(formula.fe_labels, formula.fixed_effects, strict=True)):
        keys = engine.level_keys(f)
        if len(effect) == 1:
            index = pd.Index(keys.iloc[:, 0].to_numpy(), name=effect[0])
        else:
            index = pd.MultiIndex.from_arrays([keys.iloc[:, i].to_numpy() for i in range(len(effect))], names=effect)
        out[label] = pd.Series(values[f], index=index, name=label)
    return out
