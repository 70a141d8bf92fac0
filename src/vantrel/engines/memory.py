"""The row engine of data in memory: NumPy and the kernel over the columns the model reads.

Written to allocate as little as possible at ten million rows: the used columns are read
once (a selection sharing the caller's memory for pandas input), the regressors stacked
into the one row-major block the coefficient solver demeans in place, and the residuals
then replace the dependent variable in that block, so every covariance reads its scores
from it without another N-sized array.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from vantrel.core.absorption import CHUNK, Absorption, demeaning_scale, stack_standardised
from vantrel.core.dense_ids import compact_codes
from vantrel.core.fit import total_sum_of_squares
from vantrel.core.least_squares import column_sizes, cross_products, residual_pass, unit_factors
from vantrel.core.rows import finite_rows, present_rows, valid_rows
from vantrel.core.sample import effect_ids, no_rows_left, variable_ids, without_singletons
from vantrel.core.slopes import absorbs_constant, slope_blocks, slope_variables
from vantrel.core.threads import driver_threads
from vantrel.formula.design import build_design, dependent_values, float_values, is_numeric, used_columns
from vantrel.inference.covariance import cluster_meats, cluster_subset_ids, row_order_meat
from vantrel.inference.ssc import fe_records
from vantrel.inference.vcov import nested_in_clusters
from vantrel.results.fit import Sample


class MemoryEngine:
    """The estimate's passes over a table in memory (pandas, polars, pyarrow, anything
    narwhals reads); see `vantrel.engines` for the stages an estimator calls."""

    name = "memory"

    def __init__(self, data, columns: list[str], argument_of: dict[str, str], n_threads: int):
        self.data = data
        self.frame = used_columns(data, columns, argument_of)
        self.columns = columns
        self.n_threads = n_threads
        self.threads = driver_threads(n_threads)

    def close(self) -> None:
        pass

    # -- sample ---------------------------------------------------------------------
    def sample(self, formula, choice, weights: str | None) -> dict:
        """The estimation sample: the rows with a value in every column a term, effect,
        cluster or weight reads, less the observations alone in a fixed-effect group;
        dense level ids per effect and per cluster variable. Returns the coefficient names
        of the design, the rows dropped by reason and the levels per effect."""
        frame, threads = self.frame, self.threads
        fml = formula.text
        if len(frame) == 0:
            raise ValueError(f"data has no rows to estimate fml = {fml!r} on")
        effects = formula.fixed_effects
        y_all = dependent_values(frame, formula)
        design = build_design(frame, formula, absorb_intercept=absorbs_constant(formula))
        if not design.names and not effects:
            # with fixed effects and no regressor (y ~ 1 | f1 + f2) the effects are the estimate
            raise ValueError(f"fml = {fml!r} has no regressor to estimate")
        # A missing value in any column a term reads drops the row: NaN in the columns read
        # as numbers, and `design.present` for those formulaic reads (which would code a
        # missing category as the reference level).
        masks = [finite_rows([y_all] + [c for c in design.columns if c is not None]), design.present]
        id_variables = list(dict.fromkeys([name for effect in effects for name in effect] + list(choice.clusters)))
        masks += [present_rows(frame[name]) for name in id_variables]
        slope_values = slope_variables(frame, formula)
        if slope_values:
            masks.append(finite_rows(list(slope_values.values())))
        w_all = _weights(frame, weights) if weights else None
        if w_all is not None:
            masks.append(~np.isnan(w_all))
        valid = valid_rows(masks, len(frame))
        rows = None if valid is None else np.flatnonzero(valid)
        if rows is not None and len(rows) == 0:
            numbers = {formula.depvar: y_all, weights: w_all}
            numbers.update(zip(design.names, design.columns, strict=True))
            raise ValueError(
                no_rows_left(fml, frame, self.columns, {name: v for name, v in numbers.items() if v is not None})
            )
        if w_all is not None:
            _check_weights(weights, _take(w_all, rows))
        dropped = {"missing": 0 if rows is None else len(frame) - len(rows), "singletons": 0}

        ids, k_fe = None, []
        if effects:
            ids, counts = effect_ids(frame, effects, rows, threads)
            keep, ids, k_fe = without_singletons(ids, counts, threads)
            if keep is not None:
                dropped["singletons"] = int(len(keep) - np.count_nonzero(keep))
                rows = np.flatnonzero(keep) if rows is None else rows[keep]
        fe_codes = [] if ids is None else [ids[:, j] for j in range(ids.shape[1])]
        self.k_fe = k_fe
        clusters = {}
        for name in choice.clusters:
            # a cluster variable that is an effect on its own has that effect's ids already
            own = [j for j, effect in enumerate(effects) if effect == [name]]
            clusters[name] = fe_codes[own[0]].astype(np.int64) if own else variable_ids(frame, name, rows, threads)
        self.formula, self.design, self.effects = formula, design, effects
        self.y_all, self.w_all, self.rows, self.ids = y_all, w_all, rows, ids
        self.fe_codes, self.clusters = fe_codes, clusters
        self.slopes = slope_blocks(formula, slope_values, rows) if slope_values else None
        self.y, self.w = _take(y_all, rows), _take(w_all, rows)
        return {"names": list(design.names), "dropped": dropped, "k_fe": k_fe, "N": len(self.y)}

    def restrict(self, keep: np.ndarray) -> int:
        """Narrow the sample to the rows where the mask `keep` (over the current sample) is
        True, for an estimator's own reasons (a missing offset, separated observations),
        then drop the observations that leaves alone in a fixed-effect group, repeatedly;
        ids and cluster ids are renumbered densely. Returns how many singletons went."""
        rows = np.flatnonzero(keep) if self.rows is None else self.rows[keep]
        singletons = 0
        if self.ids is not None:
            ids = np.empty((len(rows), self.ids.shape[1]), dtype=self.ids.dtype, order="F")
            for j in range(ids.shape[1]):
                ids[:, j] = compact_codes(self.ids[keep, j].astype(np.int64))
            counts = [np.bincount(ids[:, j]) for j in range(ids.shape[1])]
            again, ids, self.k_fe = without_singletons(ids, counts, self.threads)
            if again is not None:
                singletons = int(len(again) - np.count_nonzero(again))
                rows, keep = rows[again], np.flatnonzero(keep)[again]
            self.ids = ids
        positions = np.flatnonzero(keep) if keep.dtype == bool else keep
        self.fe_codes = [] if self.ids is None else [self.ids[:, j] for j in range(self.ids.shape[1])]
        for name, codes in self.clusters.items():
            own = [j for j, effect in enumerate(self.effects) if effect == [name]]
            self.clusters[name] = self.fe_codes[own[0]].astype(np.int64) if own else compact_codes(codes[positions])
        self.rows = rows
        self.y, self.w = _take(self.y_all, rows), _take(self.w_all, rows)
        return singletons

    # -- absorption -----------------------------------------------------------------
    def absorbed_columns(self) -> tuple[list[tuple[str, str]], list]:
        """The columns of the block the current model absorbs, [y, X], each with a key
        naming it (("y", outcome) or ("x", coefficient)), over all rows (None: ones)."""
        keys = [("y", self.formula.depvar)] + [("x", name) for name in self.design.names]
        return keys, [self.y_all] + list(self.design.columns)

    def absorb(self, fixef_tol: float, fixef_maxiter: int, report, shared=None) -> dict:
        """Absorb the fixed effects from [y, X] in one block (centred, each column at a
        common size); returns the block's cross products in the columns' units, each
        column's size before the absorption (for the collinearity rule), the solver's
        report and the sums of squares the fit statistics need.

        shared: for multiple estimation, an object whose ``absorbed(engine, report)``
        returns this model's columns out of a block absorbed once for every model of
        the same sample and fixed effects, their scale, the solver's report and the
        `Absorption` (see `vantrel.models.multi`)."""
        effects, design, w = self.effects, self.design, self.w
        N = len(self.y)
        if effects and shared is not None:
            yX, scale, outcome, self.absorption = shared.absorbed(self, report)
            # the same sum in the same order as the stacking takes it
            ssy = total_sum_of_squares(self.y)
            absorption = {"method": "coefficients", **outcome}
        else:
            yX, scale, ssy = stack_standardised(
                [self.y_all] + design.columns, self.rows, centre=absorbs_constant(self.formula), threads=self.threads
            )
            absorption = {"method": "none", "iterations": 0}
        if effects and shared is None:
            report.done("stack")
            report.stage(f"absorbing {len(effects)} fixed effect(s) from {yX.shape[1]} column(s)")
            self.absorption = Absorption(
                self.ids, w, tol=fixef_tol, maxiter=fixef_maxiter, n_threads=self.n_threads, slopes=self.slopes
            )
            with report.kernel_output():
                # in place; non-finite results show in the cross products of the least squares
                outcome = self.absorption.absorb(yX, verbosity=report.kernel_verbosity)
            absorption = {"method": "coefficients", **outcome}
            report.done("absorption")
        units = scale  # the least squares puts the units back
        ones = [False] + [column is None for column in design.columns]
        per_unit = demeaning_scale(1.0, lambda: 1.0)
        sizes = column_sizes(scale, ones, per_unit)
        self.root_w = None
        if w is not None:
            self.root_w = np.sqrt(w)
            for start in range(0, N, CHUNK):  # units back and weights in one pass
                yX[start : start + CHUNK] *= scale * self.root_w[start : start + CHUNK, np.newaxis]
            sizes, units = column_sizes(scale, ones, per_unit, float(np.mean(w))), None
        report.done("stack")
        self.yX, self.units = yX, unit_factors(yX, units)
        gram = cross_products(yX, self.units)
        tss = ssy if w is None and effects else total_sum_of_squares(self.y, w)
        return {"gram": gram, "sizes": sizes, "absorption": absorption, "tss": tss}

    # -- after the least squares ------------------------------------------------------
    def fe_records(self, corrections, choice, k_fe):
        return fe_records(corrections, choice, self.effects, self.formula.fe_labels, self.frame, self.rows, k_fe)

    def nested(self, cluster_names: list[str]) -> list[bool]:
        return nested_in_clusters(self.fe_codes, [self.clusters[name] for name in cluster_names])

    def residual_statistics(self, beta, keep, vcov_type: str, cluster_names: list[str]) -> dict:
        """The residuals in place of y in the block, their sum of squares and the meat of
        `vcov_type`'s sandwich: the HC0 meat, or each cluster subset's meat and count."""
        self.yX, rss = residual_pass(self.yX, keep, beta, self.units, self.threads)
        resid = self.yX[:, :1]
        pieces = {"rss": rss}
        if vcov_type == "hetero":
            X = self.yX[:, 1:]
            pieces["meat"] = (X * resid**2).T @ X
        elif vcov_type == "CRV1":
            _, subsets, ids = cluster_subset_ids(self.clusters, cluster_names)
            G = [int(codes.max()) + 1 for codes in ids]
            pieces["cluster_meats"] = cluster_meats(self.yX, resid, ids, G, threads=self.threads, meat=row_order_meat)
            pieces["cluster_counts"] = G
            pieces["subsets"] = subsets
        return pieces

    def residual_scores(self, combinations, keep, vcov_type: str, cluster_names: list[str]) -> dict:
        """For several residuals at once, before `residual_statistics` (which overwrites the
        block): each column r of `combinations` ((1 + K) x R, in the columns' units, row 0
        for y) is the residual e_r = [y X] c_r. Returns their cross products "rss" (R x R),
        the residuals per row in the data's units ("resid", N x R), and the joint meat of
        the scores e_r x over the regressors `keep` selects (k of them; blocks of k in the
        order of the residuals): "meat" (R k x R k) for "hetero", per cluster subset
        "cluster_meats" and "cluster_counts" for "CRV1" (iid: none)."""
        block, units = self.yX, self.units
        E = block @ (units[:, np.newaxis] * np.asarray(combinations, dtype=np.float64))
        out = {"rss": E.T @ E, "resid": E if self.w is None else E / self.root_w[:, np.newaxis]}
        if vcov_type not in ("hetero", "CRV1"):
            return out
        columns = np.flatnonzero(keep) + 1
        X = block[:, columns] * units[columns]
        N, R, k = len(E), E.shape[1], len(columns)
        scores = np.empty((N, 1 + R * k))
        scores[:, 0] = 0.0
        for r in range(R):
            scores[:, 1 + r * k : 1 + (r + 1) * k] = X * E[:, r : r + 1]
        if vcov_type == "hetero":
            out["meat"] = scores[:, 1:].T @ scores[:, 1:]
        else:
            _, subsets, ids = cluster_subset_ids(self.clusters, cluster_names)
            G = [int(codes.max()) + 1 for codes in ids]
            # the meat of scores with a residual of one is the sum over clusters of their scores' products
            ones = np.ones((N, 1))
            out["cluster_meats"] = cluster_meats(scores, ones, ids, G, threads=self.threads, meat=row_order_meat)
            out["cluster_counts"] = G
            out["subsets"] = subsets
        return out

    def labels(self, mask: np.ndarray | None = None) -> pd.Index:
        """The labels of the sample's rows (those where `mask` over the sample is True): the
        caller's index for a pandas frame, the row positions for any other table."""
        rows = self.rows if mask is None else (np.flatnonzero(mask) if self.rows is None else self.rows[mask])
        if not isinstance(self.data, pd.DataFrame):
            return pd.RangeIndex(len(self.frame)) if rows is None else pd.Index(rows)
        return self.frame.index if rows is None else self.frame.index[rows]

    def result_fields(self) -> dict:
        """What the result keeps of the rows: the residuals in the data's units and the
        sample post-estimation methods read again (fixed effects, predictions)."""
        u = self.yX[:, 0]
        raw_resid = u if self.w is None else u / self.root_w
        frame, rows = self.frame, self.rows
        sample = Sample(
            frame, rows, self.labels(), self.y, self.w, self.fe_codes, [list(e) for e in self.effects], self.design
        )
        # covariances after the fit read the block (residuals in column 0) and the absorption
        sample.data, sample.working, sample.absorber = self.data, self.yX, getattr(self, "absorption", None)
        if self.slopes is not None:
            sample.slopes = list(zip(self.formula.fe_slopes, [values for _, values in self.slopes], strict=True))
        return {"_resid": raw_resid, "_sample": sample}


def _weights(frame: pd.DataFrame, name: str) -> np.ndarray:
    """The weight column as float64 (NaN where missing)."""
    column = frame[name]
    if not is_numeric(column):
        raise TypeError(f"weights: column {name!r} must be numeric, got {column.dtype}")
    return float_values(column)


def _check_weights(name: str, w: np.ndarray) -> None:
    """Zero, negative or infinite weights on otherwise usable rows are an error, as in pyfixest."""
    bad = ~(np.isfinite(w) & (w > 0))
    if bad.any():
        first = w[np.flatnonzero(bad)[0]]
        raise ValueError(
            f"weights: column {name!r} must hold positive finite values; {int(bad.sum()):,} row(s) "
            f"do not (the first: {first!r})"
        )


def _take(values, rows):
    if values is None or rows is None:
        return values
    return values[rows]
