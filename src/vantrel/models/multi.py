"""Multiple estimation: the models one formula stands for (`vantrel.formula.multiple`), on
the whole sample and on each part of a split, each estimated by the single-model estimator
it is handed, and returned together as `vantrel.Models`.

The data are read once per sample: in memory one engine holds the union of the models'
columns, so each model's rows, missing values and singletons are found exactly as if it
were estimated alone (models with different regressors may have different samples).

The absorption is the expensive part, and in memory the models share it as fixest does:
models whose estimation samples (the rows left after missing values and singletons) and
fixed effects are the same have the union of their columns absorbed once, in one block.
A least-squares model reads its columns there in place: its cross products are a part of
the block's one cross product, its residual sum of squares under iid comes from them, and
its residuals (for hetero and CRV1 at once, for resid(), fitted values and covariances
after the fit when first asked for) from the block's columns; the block stays as long as
a model's result may read it, one block for all of them. Two-stage least squares takes a
copy of its columns instead (a group with such a model copies for every model, and lets
the block go when the last has taken its columns). A column is demeaned on its own in that
block (each column is centred and scaled by itself, and the solver works column by column), so
a model's estimate is the one it has alone; the solver stops once every column of the
block has converged, so a column may get a few more iterations than alone, which changes
it only within the tolerance fixef_tol.
"""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd

from vantrel.backend.morlisk import map_columns
from vantrel.core.absorption import Absorption, stack_standardised
from vantrel.core.blas import ONE_BLAS_THREAD
from vantrel.core.fit import total_sum_of_squares
from vantrel.core.options import arguments_of, columns_read
from vantrel.core.progress import Progress
from vantrel.core.slopes import absorbs_constant, check_slopes_supported
from vantrel.engines import open_engine
from vantrel.engines.memory import SharedView, columns_of, scale_rows
from vantrel.formula.design import used_columns
from vantrel.formula.multiple import expand_formula
from vantrel.formula.parse import check_columns, parse_formula
from vantrel.results.models import ModelKey, Models

FULL_SAMPLE = "Full sample"


def check_split(split, fsplit) -> tuple[str | None, bool]:
    """The split column and whether the full sample comes first; errors name the argument."""
    if split is not None and fsplit is not None:
        raise ValueError(
            f"split = {split!r} and fsplit = {fsplit!r}: give one of them (fsplit is split with the full sample first)"
        )
    name = "split" if split is not None else "fsplit"
    column = split if split is not None else fsplit
    if column is not None and not isinstance(column, str):
        raise TypeError(f"{name} must be a column name (str) or None, got {column!r} ({type(column).__name__})")
    return column, fsplit is not None


def _split_values(values: pd.Series, argument: str, column: str) -> list:
    """The distinct values of the split column, sorted (in order of appearance when they do
    not sort); rows without a value belong to no part, with a warning."""
    present = values.dropna()
    missing = len(values) - len(present)
    if missing:
        warnings.warn(
            f"{argument} = {column!r}: {missing:,} row(s) have no value in {column!r} and belong to no "
            "part of the split (the full sample of fsplit keeps them)",
            UserWarning,
            stacklevel=4,
        )
    distinct = list(pd.unique(present))
    try:
        return sorted(distinct)
    except TypeError:
        return distinct


class _Group:
    """The models of one sample and one set of fixed effects: their columns' union."""

    def __init__(self, effects, rows):
        self.effects, self.rows = effects, rows
        self.keys: list = []
        self.columns: list = []
        self.models = 0
        self.served = 0
        self.block = self.scale = self.report = self.solver = None
        # whether every model of the group reads its columns from the block in place (least
        # squares does; two-stage least squares takes a copy of its columns)
        self.views = True
        self.gram = self.root_w = self.mean_weight = None
        self.tss: dict[int, float] = {}


def _same_rows(a, b) -> bool:
    if a is None or b is None:
        return a is None and b is None
    return len(a) == len(b) and np.array_equal(a, b)


def _same_memory(a, b) -> bool:
    """Whether two arrays are views of the same values: the same first element, shape,
    strides and type (a regressor read straight from a column is a view of that column in
    every model, and then no pass over its rows is needed to know the columns are equal)."""
    return (
        a.__array_interface__["data"][0] == b.__array_interface__["data"][0]
        and a.shape == b.shape
        and a.strides == b.strides
        and a.dtype == b.dtype
    )


def _same_column(a, b, rows) -> bool:
    if a is None or b is None:
        return a is None and b is None
    if a is b or _same_memory(a, b):
        return True
    return np.array_equal(a if rows is None else a[rows], b if rows is None else b[rows], equal_nan=True)


def _cross_products(block: np.ndarray, threads: int) -> np.ndarray:
    """block'block, each thread the product of a contiguous range of rows: the models' least
    squares run on one BLAS thread (see estimate_models), and this one product over every
    row of the shared block is the only large one."""
    N, k = len(block), max(threads, 1)
    bounds = [N * t // k for t in range(k + 1)]

    def rows_product(t):
        part = block[bounds[t] : bounds[t + 1]]
        return part.T @ part

    parts = map_columns(rows_product, list(range(k)), threads, N)
    out = parts[0]
    for part in parts[1:]:
        out = out + part
    return out


class SharedAbsorption:
    """The absorption the models of one in-memory engine share: per estimation sample and
    set of fixed effects, the union of the models' columns, absorbed once when the first of
    them asks.

    `add(engine)` after the engine has formed a model's sample notes that model's columns;
    the engine's absorb then calls `view(engine, report)`, the model's columns in the
    absorbed block in place (least squares), or, where that gives None, `absorbed(engine,
    report)`, a copy of them (the block released when the last model has taken its)."""

    def __init__(self, tol: float, maxiter: int, n_threads: int):
        self.tol, self.maxiter, self.n_threads = tol, maxiter, n_threads
        self.groups: list[_Group] = []
        # per model (its parsed formula), the group and columns `add` found: the model's
        # own estimate samples the same rows again, and need not compare them again
        self._found: dict[int, tuple] = {}

    def _group(self, engine, create: bool = False) -> _Group:
        # effects with varying slopes are other columns of the fixed-effect design
        effects = [tuple(effect) for effect in engine.effects] + [tuple(engine.formula.fe_slopes)]
        for group in self.groups:
            if group.effects == effects and _same_rows(group.rows, engine.rows):
                return group
        if not create:
            raise RuntimeError("SharedAbsorption: a model's sample was not added before its absorption")
        self.groups.append(_Group(effects, engine.rows))
        return self.groups[-1]

    def _positions(self, group: _Group, engine, add: bool) -> list[int]:
        positions = []
        for key, column in zip(*engine.absorbed_columns(), strict=True):
            found = [
                j
                for j, (k, c) in enumerate(zip(group.keys, group.columns, strict=True))
                if k == key and _same_column(c, column, group.rows)
            ]
            if not found:
                if not add:
                    raise RuntimeError(f"SharedAbsorption: column {key[1]!r} was not added")
                group.keys.append(key)
                group.columns.append(column)
                found = [len(group.columns) - 1]
            positions.append(found[0])
        return positions

    def add(self, engine) -> None:
        if not engine.effects:
            return  # nothing is absorbed without fixed effects
        group = self._group(engine, create=True)
        positions = self._positions(group, engine, add=True)
        group.models += 1
        group.views = group.views and not engine.formula.endogenous
        self._found[id(engine.formula)] = (engine.formula, group, positions)

    def _lookup(self, engine) -> tuple[_Group, list[int]]:
        found = self._found.get(id(engine.formula))
        if found is not None and found[0] is engine.formula:
            return found[1], found[2]
        group = self._group(engine)
        return group, self._positions(group, engine, add=False)

    def _absorb(self, group: _Group, engine, report) -> None:
        """The group's block stacked and absorbed, once."""
        if group.block is not None:
            return
        centre = absorbs_constant(engine.formula)
        block, group.scale, _ = stack_standardised(group.columns, group.rows, centre=centre, threads=engine.threads)
        report.done("stack")
        report.stage(
            f"absorbing {len(engine.effects)} fixed effect(s) from {block.shape[1]} column(s) "
            f"shared by {group.models} model(s)"
        )
        group.solver = Absorption(
            engine.ids, engine.w, tol=self.tol, maxiter=self.maxiter, n_threads=self.n_threads, slopes=engine.slopes
        )
        with report.kernel_output():
            group.report = group.solver.absorb(block, verbosity=report.kernel_verbosity)
        group.block = block
        report.done("absorption")

    def view(self, engine, report) -> SharedView | None:
        """This model's columns as a view of the block its group absorbed (see
        `vantrel.engines.memory.SharedView`), or None when a model of the group takes
        copies (`absorbed`). The block's cross products are formed once for every model of
        the group; the block stays while a model's result may still read its columns."""
        group, positions = self._lookup(engine)
        if not group.views:
            return None
        self._absorb(group, engine, report)
        if group.gram is None:
            if engine.w is not None:
                # the units back and the weights in, once for every model, as a model
                # alone does to its own block (the same product for every value)
                group.root_w, group.mean_weight = np.sqrt(engine.w), float(np.mean(engine.w))
                scale_rows(group.block, group.scale, group.root_w)
            group.gram = _cross_products(group.block, engine.threads)
        if positions[0] not in group.tss:
            # the same sum in the same order as the model alone takes it (see the engine's absorb)
            group.tss[positions[0]] = total_sum_of_squares(engine.y, engine.w)
        group.served += 1
        outcome = {**group.report, "shared_columns": len(group.scale)}
        return SharedView(
            group.block,
            group.gram,
            positions,
            group.scale,
            group.root_w,
            group.tss[positions[0]],
            group.mean_weight,
            outcome,
            group.solver,
            engine.threads,
        )

    def absorbed(self, engine, report):
        """This model's [y, X] absorbed (a fresh row-major block), the powers of two its
        columns were divided by, the solver's report and the `Absorption`."""
        group, positions = self._lookup(engine)
        self._absorb(group, engine, report)
        scale, width = group.scale[positions], len(group.columns)
        group.served += 1
        last = group.served == group.models
        if last and positions == list(range(width)):
            out = group.block  # the last model takes every column in order: the block itself
        else:
            out = columns_of(group.block, positions, engine.threads)
        if last:
            # the last model of the sample has its columns: the block and the columns it
            # was stacked from go
            group.block, group.columns = None, []
        return out, scale, {**group.report, "shared_columns": width}, group.solver


class _SampledOnce:
    """An in-memory engine whose sample of each model is formed once: `sample_ahead` forms
    it (before any model is estimated, to know which models share an absorption) and keeps
    what the engine set; the model's own `sample` call puts that back instead of reading,
    masking and coding the effects' ids over the rows again. Everything else is the
    engine's.

    What is kept is what the engine's `sample` set on it (the sample's rows, ids, design,
    outcome, weights, clusters), which the model's result holds afterwards anyway; a model
    not sampled ahead is sampled as usual."""

    def __init__(self, engine):
        self.engine = engine
        self._ahead: dict[int, tuple] = {}

    def __getattr__(self, name):
        return getattr(self.engine, name)

    def __setattr__(self, name, value):
        # an estimator that sets the engine's state (Poisson hands its working block to the
        # residual pass) sets the engine's, not the wrapper's
        if name in ("engine", "_ahead"):
            object.__setattr__(self, name, value)
        else:
            setattr(self.engine, name, value)

    def sample_ahead(self, formula, choice, weights) -> dict:
        out = self.engine.sample(formula, choice, weights)
        self._ahead[id(formula)] = (formula, choice, weights, dict(vars(self.engine)), out)
        return out

    def sample(self, formula, choice, weights) -> dict:
        ahead = self._ahead.pop(id(formula), None)
        if ahead is None or ahead[0] is not formula or ahead[1] is not choice or ahead[2] != weights:
            return self.engine.sample(formula, choice, weights)
        vars(self.engine).update(ahead[3])
        out = ahead[4]
        return {**out, "names": list(out["names"]), "dropped": dict(out["dropped"]), "k_fe": list(out["k_fe"])}


def estimate_models(
    estimate,
    fml,
    data,
    path,
    choice,
    corrections,
    weights,
    split,
    fsplit,
    options,
    progress,
    open_options,
    extra_columns=None,
    name="feols",
) -> Models:
    """Every model of `fml` on every sample `split`/`fsplit` ask for, by `estimate`
    (the single-model estimator: engine, parsed formula, choice, corrections, weights,
    fixef_tol, fixef_maxiter, collin_tol, report); `options`: (fixef_tol, fixef_maxiter,
    collin_tol); `open_options`: (n_threads, memory_limit, temp_directory); `extra_columns`:
    columns the estimator reads beyond the formula's, cluster variables and weights (column ->
    the argument that named it, such as fepois's offset); `name`: the estimator's, for the
    progress lines."""
    column, full_first = check_split(split, fsplit)
    argument = "fsplit" if full_first else "split"
    models = expand_formula(fml)
    parsed = [parse_formula(model.fml) for model in models]
    for formula in parsed:
        check_slopes_supported(formula, path, corrections)
    columns = list(dict.fromkeys(name for formula in parsed for name in columns_read(formula, choice, weights)))
    named = {}
    for formula in parsed:
        named.update(arguments_of(formula, choice, weights))
    for column_name, by in (extra_columns or {}).items():
        columns = list(dict.fromkeys(columns + [column_name]))
        named.setdefault(column_name, by)

    samples: list[tuple[str, object]] = []  # (label, data of that sample)
    if column is None:
        samples.append((FULL_SAMPLE, data))
    else:
        if path != "memory":
            raise ValueError(
                f"{argument} = {column!r}: splitting the sample needs the data in memory (engine {path!r}); "
                "estimate each part with a filter of the data instead"
            )
        frame = used_columns(data, list(dict.fromkeys(columns + [column])), {**named, column: argument})
        check_columns([column], list(frame.columns), argument)
        if full_first:
            samples.append((FULL_SAMPLE, frame))
        for value in _split_values(frame[column], argument, column):
            mask = (frame[column] == value).to_numpy(dtype=bool, na_value=False)
            samples.append((f"{column} = {value}", frame.iloc[np.flatnonzero(mask)]))

    n_threads, memory_limit, temp_directory = open_options
    fits, keys = [], []
    for label, part in samples:
        if path == "memory":
            rows = _SampledOnce(open_engine(path, part, columns, named, n_threads))
            try:
                # every model's sample first, to know which models share an absorption;
                # each model's estimate then finds its sample formed
                shared = SharedAbsorption(options[0], options[1], n_threads)
                for formula in parsed:
                    rows.sample_ahead(formula, choice, weights)
                    shared.add(rows.engine)
                # one BLAS thread across the models: each estimate's least squares asks for
                # it, and setting it once spares every further model threadpoolctl's scan
                # of the process's libraries (a few milliseconds a model)
                with ONE_BLAS_THREAD:
                    for formula in parsed:
                        report = Progress(progress, name)
                        fits.append(
                            estimate(rows, formula, choice, corrections, weights, *options, report, shared=shared)
                        )
            finally:
                rows.close()
        else:
            # out of memory each model reads its own columns: the engines' samples are their own
            for formula in parsed:
                own = columns_read(formula, choice, weights)
                rows = open_engine(path, part, own, named, n_threads, memory_limit, temp_directory)
                try:
                    fits.append(
                        estimate(rows, formula, choice, corrections, weights, *options, Progress(progress, name))
                    )
                finally:
                    rows.close()
        for model in models:
            keys.append(ModelKey(label, model.fixef, model.lhs, model.rhs, model.fml, column is not None))
    return Models(fits, keys)
