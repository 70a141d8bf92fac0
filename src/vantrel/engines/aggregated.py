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

import numpy as np
import pandas as pd

from vantrel.backend.morlisk import powerset
from vantrel.backend.quarnet import COEF_PCG_cells, COEF_PCG_rows
from vantrel.core.absorption import demeaning_scale
from vantrel.core.least_squares import column_sizes
from vantrel.core.options import arguments_of
from vantrel.engines.terms import SUPPORTED_TERMS, Column, UnsupportedTerm, parse_expression, term_expression
from vantrel.formula.design import build_design
from vantrel.formula.parse import FormulaError, ParsedFormula, check_columns, is_intercept
from vantrel.inference.ssc import fe_records
from vantrel.results.fit import Sample

# Rows of the caller's data read to learn the coefficient names formulaic gives the terms
# (and the model choice that `predict(newdata)` codes new rows with).
_HEAD_ROWS = 1000


class AggregatedEngine:
    """The estimate's stages over an engine that aggregates where the rows are (`rows`: a
    `DuckDBEngine` or `DaskEngine`); the estimators call it as they call the in-memory
    engine (see `vantrel.engines`)."""

    def __init__(self, rows, n_threads: int):
        self.rows = rows
        self.name = rows.name
        self.n_threads = n_threads

    def close(self) -> None:
        self.rows.close()

    # -- sample ---------------------------------------------------------------------
    def sample(self, formula, choice, weights: str | None, extra: dict | None = None) -> dict:
        """`extra`: numeric columns (name -> the argument that named it) carried into the
        sample after the model's (as v<K+1>, ...; a missing or non-finite value drops the
        row), which no stage reads."""
        engine, fml = self.rows, formula.text
        effects = formula.fixed_effects
        argument_of = arguments_of(formula, choice, weights)
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
        if len(names) == 1 and not effects:
            raise ValueError(f"fml = {fml!r} has no regressor to estimate")

        variables = list(dict.fromkeys([name for effect in effects for name in effect] + list(choice.clusters)))
        carried = []
        for name, argument in (extra or {}).items():
            check_columns([name], list(schema), argument)
            if name not in numeric:
                raise TypeError(f"{argument}: column {name!r} must be numeric, got {schema[name]}")
            carried.append(Column(name))
        counted = engine.build_sample(
            model + carried,
            effects,
            variables,
            list(choice.clusters),
            weights,
            {name for name in variables if schema[name] == "float"},
        )
        dropped = {"missing": counted["read"] - counted["kept"], "singletons": 0}
        if counted["kept"] == 0:
            raise ValueError(f"No observations left for fml = {fml!r} after dropping missing and non-finite values")
        if effects:
            dropped["singletons"] = engine.drop_singletons()
        k_fe = engine.level_counts()
        # Centre and scale as the in-memory engine does (`stack_standardised`): the solve's
        # convergence measure then means the same for both.
        moments = engine.moments(len(model))
        N = moments["N"]
        if N == 0:
            raise ValueError(f"No observations left for fml = {fml!r} after dropping singletons")
        self.formula, self.effects, self.model, self.head, self.design = formula, effects, model, head, design
        self.weights, self.moments, self.N = weights, moments, N
        return {"names": names[1:], "dropped": dropped, "k_fe": k_fe, "N": N}

    # -- absorption -----------------------------------------------------------------
    def absorb(self, fixef_tol: float, fixef_maxiter: int, report) -> dict:
        engine, model, moments, N, effects = self.rows, self.model, self.moments, self.N, self.effects
        centres = np.array(
            [
                0.0 if node is None or not effects else total / N
                for node, total in zip(model, moments["sums"], strict=True)
            ]
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
            report.done("aggregates")
            report.stage(f"absorbing {len(effects)} fixed effect(s) from {len(model)} column(s)")
            if "rows" in parts:  # the pairs' cells would outweigh the rows: D'WD by passes over them
                rows = parts["rows"]
                with engine.set_aside(), report.kernel_output():
                    alphas, outcome = COEF_PCG_rows(
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
                        report.kernel_verbosity,
                        self.n_threads,
                    )
                del parts, rows
                absorption = {"method": "coefficients from aggregates and sorted rows", **outcome}
            else:
                with report.kernel_output():
                    alphas, outcome = COEF_PCG_cells(
                        parts["counts"],
                        parts["sums"],
                        parts["pairs"],
                        parts["sumsq"],
                        N,
                        fixef_tol,
                        0,
                        fixef_maxiter,
                        report.kernel_verbosity,
                        self.n_threads,
                    )
                absorption = {"method": "coefficients from aggregates", **outcome}
            report.done("absorption")
        report.stage("residualised cross products")
        gram = engine.residualise(alphas, centres, 1.0 / scale) * np.outer(scale, scale)
        report.done("residualised cross products")
        # the columns' sizes before the absorption, against which the collinearity rule
        # judges what the absorption left of them, as in memory
        ones = [node is None for node in model]
        mean_weight = 1.0 if self.weights is None else moments["w"] / N
        sizes = column_sizes(scale, ones, demeaning_scale(1.0, lambda: 1.0), mean_weight)
        self.alphas, self.centres, self.scale = alphas, centres, scale
        return {"gram": gram, "sizes": sizes, "absorption": {**absorption, "engine": engine.name}, "tss": spread["tss"]}

    # -- after the least squares ------------------------------------------------------
    def fe_records(self, corrections, choice, k_fe):
        # the driver's name-based count needs the rows; feols refuses it out of memory
        return fe_records(corrections, choice, self.effects, self.formula.fe_labels, None, None, k_fe)

    def nested(self, cluster_names: list[str]) -> list[bool]:
        return [any(self.rows.nested(f, name) for name in cluster_names) for f in range(len(self.effects))]

    def residual_statistics(self, beta, keep, vcov_type: str, cluster_names: list[str]) -> dict:
        scale = self.scale
        # residual e = y~ - X~ beta in the columns' units, as weights on the scaled columns
        combination = np.zeros(len(self.model))
        combination[0] = scale[0]
        combination[1:][keep] = -beta * scale[1:][keep]
        subsets = powerset(cluster_names) if vcov_type == "CRV1" else []
        stats = self.rows.residual_statistics(combination, scale, keep, vcov_type == "hetero", subsets)
        self.combination, self.beta, self.keep = combination, beta, keep
        return {**stats, "subsets": subsets}

    def residual_scores(self, combinations, keep, vcov_type: str, cluster_names: list[str]) -> dict:
        """Several residuals' sums (see the in-memory engine's `residual_scores`), one pass
        of the engine per residual: the cross products of two residuals and, for "hetero",
        the meat blocks between them from the passes over their sums (the products
        x x' of one row are symmetric, so the sum's meat less the two meats is twice the
        block). Between two residuals' cluster scores the products are not symmetric:
        "cluster_meats" holds the blocks of each residual with itself only, and
        "cross_blocks" is False where the joint meat is incomplete. No value per row."""
        combinations = np.asarray(combinations, dtype=np.float64)
        R, k = combinations.shape[1], int(np.count_nonzero(keep))
        hetero = vcov_type == "hetero"
        subsets = powerset(cluster_names) if vcov_type == "CRV1" else []

        def sums(c):
            return self.rows.residual_statistics(c * self.scale, self.scale, keep, hetero, subsets)

        own = [sums(combinations[:, r]) for r in range(R)]
        rss = np.diag([part["rss"] for part in own])
        meat = np.zeros((R * k, R * k)) if hetero else None
        for a in range(R):
            if hetero:
                meat[a * k : (a + 1) * k, a * k : (a + 1) * k] = own[a]["meat"]
            for b in range(a + 1, R):
                both = sums(combinations[:, a] + combinations[:, b])
                rss[a, b] = rss[b, a] = (both["rss"] - own[a]["rss"] - own[b]["rss"]) / 2
                if hetero:
                    block = (both["meat"] - own[a]["meat"] - own[b]["meat"]) / 2
                    meat[a * k : (a + 1) * k, b * k : (b + 1) * k] = block
                    meat[b * k : (b + 1) * k, a * k : (a + 1) * k] = block.T
        out = {"rss": rss, "resid": None}
        if hetero:
            out["meat"] = meat
        if subsets:
            joint = []
            for s in range(len(subsets)):
                part = np.zeros((R * k, R * k))
                for a in range(R):
                    part[a * k : (a + 1) * k, a * k : (a + 1) * k] = own[a]["cluster_meats"][s]
                joint.append(part)
            out.update(cluster_meats=joint, cluster_counts=own[0]["cluster_counts"], subsets=subsets)
            out["cross_blocks"] = R == 1
        return out

    def result_fields(self) -> dict:
        """No value per row: the fixed effects from the solved coefficients instead."""
        effects = self.effects
        fixef = None
        if effects:
            fixef = _fixed_effects(
                self.rows, self.formula, self.alphas, self.combination, self.centres, self.beta, self.keep, self.N
            )
        head = self.head
        sample = Sample(head.iloc[:0], None, pd.RangeIndex(0), None, None, [], [list(e) for e in effects], self.design)
        return {"_resid": None, "_sample": sample, "_fixef_cache": fixef}


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


def _fixed_effects(engine, formula, alphas, combination, centres, beta, keep, N):
    """Per effect the values of its levels: the solved coefficients of y less those of the
    regressors times their slopes, in the columns' units. As in memory, the first effect
    carries the constant and every other one has mean zero over the sample's rows."""
    values = [alpha @ combination for alpha in alphas]
    return fixed_effect_series(engine, formula, values, centres[0] - float(centres[1:][keep] @ beta), N)


def fixed_effect_series(engine, formula, values, constant, N):
    """Per effect a Series of its levels' values (`values`: one array per effect, by level
    id; `constant`: what the regressors' part leaves over), the first effect carrying the
    constant and every other one of mean zero over the sample's N rows."""
    values = list(values)
    rows = engine.level_rows()
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
