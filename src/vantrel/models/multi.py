"""Multiple estimation: the models one formula stands for (`vantrel.formula.multiple`), on
the whole sample and on each part of a split, each estimated by the single-model estimator
it is handed, and returned together as `vantrel.Models`.

The data are read once per sample: in memory one engine holds the union of the models'
columns, so each model's rows, missing values and singletons are found exactly as if it
were estimated alone (models with different regressors may have different samples).
"""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd

from vantrel.core.options import arguments_of, columns_read
from vantrel.core.progress import Progress
from vantrel.engines import open_engine
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


def estimate_models(
    estimate, fml, data, path, choice, corrections, weights, split, fsplit, options, progress, open_options
) -> Models:
    """Every model of `fml` on every sample `split`/`fsplit` ask for, by `estimate`
    (the single-model estimator: engine, parsed formula, choice, corrections, weights,
    fixef_tol, fixef_maxiter, collin_tol, report); `options`: (fixef_tol, fixef_maxiter,
    collin_tol); `open_options`: (n_threads, memory_limit, temp_directory)."""
    column, full_first = check_split(split, fsplit)
    argument = "fsplit" if full_first else "split"
    models = expand_formula(fml)
    parsed = [parse_formula(model.fml) for model in models]
    columns = list(dict.fromkeys(name for formula in parsed for name in columns_read(formula, choice, weights)))
    named = {}
    for formula in parsed:
        named.update(arguments_of(formula, choice, weights))

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
            rows = open_engine(path, part, columns, named, n_threads)
            try:
                for formula in parsed:
                    fits.append(estimate(rows, formula, choice, corrections, weights, *options, Progress(progress)))
            finally:
                rows.close()
        else:
            # out of memory each model reads its own columns: the engines' samples are their own
            for formula in parsed:
                own = columns_read(formula, choice, weights)
                rows = open_engine(path, part, own, named, n_threads, memory_limit, temp_directory)
                try:
                    fits.append(estimate(rows, formula, choice, corrections, weights, *options, Progress(progress)))
                finally:
                    rows.close()
        for model in models:
            keys.append(ModelKey(label, model.fixef, model.lhs, model.rhs, model.fml, column is not None))
    return Models(fits, keys)
