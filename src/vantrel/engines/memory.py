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

from vantrel.backend.quarnet import fill_standardised
from vantrel.core.absorption import CHUNK, Absorption, demeaning_scale, stack_standardised
from vantrel.core.dense_ids import compact_codes, integer_ids_into
from vantrel.core.fit import total_sum_of_squares
from vantrel.core.least_squares import column_sizes, cross_products, residual_pass, unit_factors, weighted_gram
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
        frame = self.frame
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
        masks = [self._finite_rows([y_all] + [c for c in design.columns if c is not None]), design.present]
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
            keep, ids, k_fe = self._effect_ids(effects, rows)
            if keep is not None:
                dropped["singletons"] = int(len(keep) - np.count_nonzero(keep))
                rows = np.flatnonzero(keep) if rows is None else rows[keep]
        fe_codes = [] if ids is None else [ids[:, j] for j in range(ids.shape[1])]
        self.k_fe = k_fe
        clusters = {}
        for name in choice.clusters:
            # a cluster variable that is an effect on its own has that effect's ids already
            own = [j for j, effect in enumerate(effects) if effect == [name]]
            clusters[name] = fe_codes[own[0]].astype(np.int64) if own else self._cluster_ids(name, rows)
        self.formula, self.design, self.effects = formula, design, effects
        self.y_all, self.w_all, self.rows, self.ids = y_all, w_all, rows, ids
        self.fe_codes, self.clusters = fe_codes, clusters
        self.slopes = slope_blocks(formula, slope_values, rows) if slope_values else None
        self.y, self.w = _take(y_all, rows), _take(w_all, rows)
        return {"names": list(design.names), "dropped": dropped, "k_fe": k_fe, "N": len(self.y)}

    # Several models of one table (a multiple estimation) often have the same rows: what
    # the sample reads of the rows is kept for the next model, keyed by what it depends on
    # (the ids are not written to afterwards; a narrowed sample forms fresh ones).
    def _finite_rows(self, columns: list) -> np.ndarray | None:
        """`finite_rows` of the columns, each column's mask found once per column in memory
        (a regressor read from the table is a view of the same values in every model)."""
        known = self.__dict__.setdefault("_finite_of", {})
        valid = None
        for values in columns:
            key = (values.__array_interface__["data"][0], values.shape, values.strides, values.dtype.str)
            if key not in known:
                # the array is kept with its mask: its memory cannot be another column's
                known[key] = (values, finite_rows([values]))
            mask = known[key][1]
            if mask is not None:
                valid = mask if valid is None else valid & mask
        return valid

    def _effect_ids(self, effects: list[list[str]], rows: np.ndarray | None):
        """The effects' ids over `rows` less the singletons (see `without_singletons`),
        coded again only when the effects or the rows differ from the previous model's."""
        last = self.__dict__.get("_ids_of")
        if last is not None and last[0] == effects and _same_positions(last[1], rows):
            return last[2]
        ids, counts = effect_ids(self.frame, effects, rows, self.threads)
        out = without_singletons(ids, counts, self.threads)
        self._ids_of = ([list(effect) for effect in effects], rows, out)
        return out

    def _cluster_ids(self, name: str, rows: np.ndarray | None) -> np.ndarray:
        """The dense ids of cluster variable `name` over `rows`, kept for the next model."""
        known = self.__dict__.setdefault("_clusters_of", {})
        last = known.get(name)
        if last is None or not _same_positions(last[0], rows):
            known[name] = last = (rows, variable_ids(self.frame, name, rows, self.threads))
        return last[1]

    def restrict(self, keep: np.ndarray) -> int:
        """Narrow the sample to the rows where the mask `keep` (over the current sample) is
        True, for an estimator's own reasons (a missing offset, separated observations),
        then drop the observations that leaves alone in a fixed-effect group, repeatedly;
        ids and cluster ids are renumbered densely. Returns how many singletons went."""
        rows = np.flatnonzero(keep) if self.rows is None else self.rows[keep]
        singletons = 0
        if self.ids is not None:
            ids = np.empty((len(rows), self.ids.shape[1]), dtype=self.ids.dtype, order="F")
            kept = np.flatnonzero(keep)
            counts = []
            for j in range(ids.shape[1]):
                # the kept rows' ids renumbered in the kernel, read in place (no gathered copy)
                found = integer_ids_into(ids[:, j], self.ids[:, j], kept, self.threads)
                if found is None:
                    ids[:, j] = compact_codes(self.ids[keep, j].astype(np.int64))
                    found = np.bincount(ids[:, j])
                counts.append(found)
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

        shared: for multiple estimation, an object whose ``view(engine, report)`` gives
        this model's columns in place in a block absorbed once for every model of the same
        sample and fixed effects (a `SharedView`), or None, and then ``absorbed(engine,
        report)`` a copy of them, their scale, the solver's report and the `Absorption`
        (see `vantrel.models.multi`)."""
        effects, design, w = self.effects, self.design, self.w
        self._view = shared.view(self, report) if effects and shared is not None else None
        if self._view is not None:
            return self._absorbed_view(self._view)
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
        sizes = self._sizes(scale, None if w is None else float(np.mean(w)))
        self.root_w = None
        if w is not None:
            self.root_w = np.sqrt(w)
            scale_rows(yX, scale, self.root_w)
            units = None
        report.done("stack")
        self.yX, self.units = yX, unit_factors(yX, units)
        gram = cross_products(yX, self.units)
        tss = ssy if w is None and effects else total_sum_of_squares(self.y, w)
        return {"gram": gram, "sizes": sizes, "absorption": absorption, "tss": tss}

    def _sizes(self, scale, mean_weight: float | None) -> np.ndarray:
        """Each column's size before the absorption, from the powers of two it was divided by."""
        ones = [False] + [column is None for column in self.design.columns]
        per_unit = demeaning_scale(1.0, lambda: 1.0)
        if mean_weight is None:
            return column_sizes(scale, ones, per_unit)
        return column_sizes(scale, ones, per_unit, mean_weight)

    def _absorbed_view(self, view: SharedView) -> dict:
        """`absorb`'s answer for a model whose columns are a view of a shared block: its
        cross products are a part of the block's, and no pass over the rows is made."""
        self.absorption, self.root_w, self.units, self.yX = view.solver, view.root_w, view.units, None
        return {
            "gram": view.cross_products(),
            "sizes": self._sizes(view.scale, view.mean_weight),
            "absorption": {"method": "coefficients", **view.outcome},
            "tss": view.tss,
        }

    # -- after the least squares ------------------------------------------------------
    def fe_records(self, corrections, choice, k_fe):
        return fe_records(corrections, choice, self.effects, self.formula.fe_labels, self.frame, self.rows, k_fe)

    def nested(self, cluster_names: list[str]) -> list[bool]:
        return nested_in_clusters(self.fe_codes, [self.clusters[name] for name in cluster_names])

    def residual_statistics(self, beta, keep, vcov_type: str, cluster_names: list[str]) -> dict:
        """The residuals in place of y in the block, their sum of squares and the meat of
        `vcov_type`'s sandwich: the HC0 meat, or each cluster subset's meat and count.

        A model viewing a shared block (see `SharedView`) under iid needs no pass over the
        rows: its residual sum of squares comes from its cross products, and its residuals
        are formed when first asked for."""
        view = getattr(self, "_view", None)
        if view is not None:
            view.fix(beta, keep)
            rss = view.sum_of_squares() if vcov_type == "iid" else None
            if rss is not None:
                return {"rss": rss}
            self.yX = view.working()
            rss = view.rss
        else:
            self.yX, rss = residual_pass(self.yX, keep, beta, self.units, self.threads)
        resid = self.yX[:, :1]
        pieces = {"rss": rss}
        if vcov_type == "hetero":
            # X' diag(u^2) X by chunks of rows, without an N x K temporary
            pieces["meat"] = weighted_gram(self.yX[:, 1:], np.square(self.yX[:, 0]))
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
        view = getattr(self, "_view", None)
        later = view is not None and self.yX is None
        frame, rows = self.frame, self.rows
        sample = (LazySample if later else Sample)(
            frame, rows, self.labels(), self.y, self.w, self.fe_codes, [list(e) for e in self.effects], self.design
        )
        # covariances after the fit read the block (residuals in column 0) and the absorption
        sample.data, sample.absorber = self.data, getattr(self, "absorption", None)
        if self.slopes is not None:
            sample.slopes = list(zip(self.formula.fe_slopes, [values for _, values in self.slopes], strict=True))
        if later:
            # a model viewing a shared block forms its residuals when a method asks for them
            sample.later = view.working
            return {"_resid": None, "_resid_later": view.resid, "_sample": sample}
        sample.working = self.yX
        u = self.yX[:, 0]
        return {"_resid": u if self.w is None else u / self.root_w, "_sample": sample}


def scale_rows(block: np.ndarray, scale: np.ndarray, root_w: np.ndarray) -> None:
    """The units back (`scale`, per column) and the roots of the weights in (per row), in
    place, by chunks of rows."""
    for start in range(0, len(block), CHUNK):
        block[start : start + CHUNK] *= scale * root_w[start : start + CHUNK, np.newaxis]


def columns_of(block: np.ndarray, positions: list[int], threads: int) -> np.ndarray:
    """A fresh row-major copy of the columns `positions` of the row-major `block`: the
    kernel's writer of row-major blocks, each column read in place (a strided view) and
    taken as it is (centre 0 and factor 1 change no bit), each thread a contiguous range
    of rows (and the first touch of its pages). One pass, where a column gather followed by
    a copy into row-major order made two."""
    k = len(positions)
    out = np.empty((len(block), k), dtype=np.float64)
    fill_standardised(out, [block[:, p] for p in positions], None, np.zeros(k), np.ones(k), threads)
    return out


# Below this fraction of the absorbed outcome's sum of squares, a residual sum of squares
# from the cross products (y'y - 2 b'X'y + b'X'X b) would keep too few exact digits (their
# rounding is about 1e-16 of y'y): the residuals are formed and summed instead.
_CLOSE_FIT = 1e-4


class SharedView:
    """One model's columns in a block absorbed once for the models of one sample and set of
    fixed effects (`vantrel.models.multi.SharedAbsorption.view`): what the model alone
    would form from its own copy of them, without that copy.

    block: the shared absorbed block (row-major; its columns divided by `scale`, or with
    weights back in their units and times the roots of the weights `root_w`); gram: the
    block's cross products as they are; positions: the model's [y, X] in the block; tss,
    mean_weight: the outcome's total sum of squares and the weights' mean over the sample;
    outcome, solver: the solver's report and the `Absorption`; threads: of the row passes.

    After the least squares (`fix`), `sum_of_squares` gives the residual sum of squares
    from the cross products, and `working` the model's block [u, X] (residuals in column 0,
    its kept regressors, in their units and times the roots of the weights), formed once,
    exactly as the model alone forms it from its own block."""

    def __init__(self, block, gram, positions, scale, root_w, tss, mean_weight, outcome, solver, threads):
        self.block, self.block_gram, self.positions = block, gram, list(positions)
        self.scale = scale[self.positions]
        self.root_w, self.tss, self.mean_weight = root_w, tss, mean_weight
        self.outcome, self.solver, self.threads = outcome, solver, threads
        # the powers of two the block's columns are still divided by (none with weights)
        self.units = np.ones(len(self.positions)) if root_w is not None else self.scale
        self.beta = self.keep = self.rss = self._working = None

    def cross_products(self) -> np.ndarray:
        """[y X]'[y X] of the model's columns in their units: a part of the block's."""
        p = self.positions
        return self.block_gram[np.ix_(p, p)] * np.outer(self.units, self.units)

    def fix(self, beta, keep) -> None:
        """The slopes of the kept regressors (`keep`, a mask over X) the residuals are of."""
        self.beta, self.keep = np.asarray(beta, dtype=np.float64), np.asarray(keep, dtype=bool)

    def _kept(self) -> np.ndarray:
        return np.concatenate(([True], self.keep))

    def sum_of_squares(self) -> float | None:
        """The residual sum of squares from the cross products, or None when too few of its
        digits would be exact there (a close fit, see `_CLOSE_FIT`)."""
        kept = self._kept()
        G = self.cross_products()[np.ix_(kept, kept)]
        c = np.concatenate(([1.0], -self.beta))
        rss = float(c @ G @ c)
        if not np.isfinite(rss) or rss <= _CLOSE_FIT * G[0, 0]:
            return None
        return rss

    def working(self) -> np.ndarray:
        """The model's block [u, X_kept] (formed on the first call, then kept)."""
        if self._working is None:
            kept = self._kept()
            positions = [p for p, ok in zip(self.positions, kept, strict=True) if ok]
            yX = columns_of(self.block, positions, self.threads)
            every = np.ones(len(positions) - 1, dtype=bool)
            self._working, self.rss = residual_pass(yX, every, self.beta, self.units[kept], self.threads)
            self.block = None  # this model reads the shared block no more
        return self._working

    def resid(self) -> np.ndarray:
        """The residuals in the data's units."""
        u = self.working()[:, 0]
        return u if self.root_w is None else u / self.root_w


class LazySample(Sample):
    """A `Sample` whose working block is formed when first read (by `later()`)."""

    later = None

    @property
    def working(self):
        if self.__dict__.get("_working") is None and self.later is not None:
            self._working, self.later = self.later(), None
        return self.__dict__.get("_working")

    @working.setter
    def working(self, value):
        self.__dict__["_working"] = value


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


def _same_positions(a: np.ndarray | None, b: np.ndarray | None) -> bool:
    if a is None or b is None:
        return a is None and b is None
    return a is b or (len(a) == len(b) and np.array_equal(a, b))


def _take(values, rows):
    if values is None or rows is None:
        return values
    return values[rows]
