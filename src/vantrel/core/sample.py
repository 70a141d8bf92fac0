"""Estimation sample of `feols`: which rows are used, and the dense ids of the effects.

Written to allocate as little as possible at ten million rows: every fresh N-sized array
is a pass over memory (and on a fresh machine the first touch of its pages costs more
than the pass), so the checks run on the caller's columns in place, integer effects are
coded straight into the column-major id matrix the group index reads, and the singleton
screening runs only when some group has one row.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from vantrel.backend.morlisk import make_pointer
from vantrel.core.dense_ids import column_ids, combine_ids, compact_codes, integer_ids_into
from vantrel.core.options import notice
from vantrel.core.rows import present_rows, rows_without_singletons, valid_rows


def rows_with_values(frame: pd.DataFrame, names: list[str]) -> np.ndarray | None:
    """Mask of the rows where every column of `names` has a value (None: every row), in
    every dtype: NaN in NumPy floats, NA, None or NaN in pandas' nullable, Arrow-backed,
    categorical and object columns."""
    return valid_rows([_present(frame[name]) for name in names], len(frame))


def _present(column: pd.Series) -> np.ndarray | None:
    if isinstance(column.dtype, np.dtype) and column.dtype.kind == "f":
        values = column.to_numpy()
        # one summation without a temporary finds the usual column without NaN
        with np.errstate(over="ignore", invalid="ignore"):
            if not np.isnan(np.add.reduce(values)):
                return None
        mask = ~np.isnan(values)
        return None if mask.all() else mask
    return present_rows(column)


def _dense_into(out: np.ndarray, column: pd.Series, rows: np.ndarray | None, threads: int) -> np.ndarray | None:
    """Write the dense ids (sorted value order) of a signed integer column over the rows
    into `out` and return the rows per id; None when the column is of another kind."""
    if not (isinstance(column.dtype, np.dtype) and column.dtype.kind == "i" and len(out)):
        return None
    # the kernel reads the rows out of the caller's column: no gathered copy
    return integer_ids_into(out, column.to_numpy(), rows, threads)


def variable_ids(frame: pd.DataFrame, name: str, rows: np.ndarray | None, threads: int = 1) -> np.ndarray:
    """Dense ids 0 .. G-1 of one column over the rows, in sorted value order."""
    column = frame[name]
    out = np.empty(len(column) if rows is None else len(rows), dtype=np.int64)
    if _dense_into(out, column, rows, threads) is not None:
        return out
    if rows is not None:
        column = column.take(rows)
    return column_ids(pd.DataFrame({name: column.reset_index(drop=True)}, copy=False), name)


def effect_ids(frame: pd.DataFrame, effects: list[list[str]], rows: np.ndarray | None, threads: int = 1):
    """The N x F column-major matrix of dense ids, one column per effect (interacted
    effects number the observed combinations of their columns' ids), which the
    absorption reads as it is, and the rows per id of each effect. `threads`: of the
    kernel's coding of integer columns, which also share the first touch of the matrix's
    fresh pages."""
    n = len(frame) if rows is None else len(rows)
    # 32-bit ids while they fit: half the memory (and of its first touch) of 64-bit ones
    ids = np.empty((n, len(effects)), dtype=np.int32 if n < 2**31 else np.int64, order="F")
    counts = []
    for j, effect in enumerate(effects):
        found = _dense_into(ids[:, j], frame[effect[0]], rows, threads) if len(effect) == 1 else None
        if found is None:
            ids[:, j] = combine_ids([variable_ids(frame, name, rows, threads) for name in effect])
            found = np.bincount(ids[:, j])
        counts.append(found)
    return ids, counts


def without_singletons(ids: np.ndarray, counts: list[np.ndarray], threads: int):
    """Drop observations alone in a group of some effect, repeatedly (the kernel's
    screening over a group index, built only when some group has a single row).

    Returns (kept mask or None, ids, levels per effect), the ids renumbered densely when
    rows went.
    """
    if not any(np.any(c == 1) for c in counts):
        return None, ids, [len(c) for c in counts]
    keep = rows_without_singletons(make_pointer(ids.astype(np.int64, order="F"), threads=threads), len(ids))
    kept = np.empty((int(np.count_nonzero(keep)), ids.shape[1]), dtype=ids.dtype, order="F")
    for j in range(ids.shape[1]):
        kept[:, j] = compact_codes(ids[keep, j])
    return keep, kept, [int(kept[:, j].max()) + 1 for j in range(kept.shape[1])]


def no_rows_left(fml: str, frame: pd.DataFrame, names: list[str], numbers: dict[str, np.ndarray]) -> str:
    """The error text of a sample without rows, naming what removed every row: the columns
    of `names` without a value in any row, else the model's columns in `numbers` (the
    dependent variable, the regressors, the weights by name) without a finite value in
    any row, else the lack of a row complete in all of them at once."""
    text = f"No observations left for fml = {fml!r} after dropping missing and non-finite values"
    empty = [name for name in names if not _has_value(frame[name], numbers.get(name))]
    if empty:
        return text + f": column(s) {empty} have no usable value (missing or non-finite in every row)"
    empty = [name for name, values in numbers.items() if not np.isfinite(values).any()]
    if empty:
        return text + f": {empty} have no finite value in any row"
    return text + f": every column has values, but no row has one in all of {names} at once"


def _has_value(column: pd.Series, values: np.ndarray | None) -> bool:
    if values is not None:
        return bool(np.isfinite(values).any())
    present = _present(column)
    return present is None or bool(present.any())


def read_sample(engine, formula, choice, weights, report, messages: list[str]) -> dict:
    """The estimation sample of `formula` on `engine` (its `sample` pass), with the rows it
    dropped noticed into `messages` and the stage shown on `report`: the first step every
    estimator takes."""
    report.done("read")
    report.stage(f"reading the rows on {engine.name}")
    sample = engine.sample(formula, choice, weights)
    dropped = sample["dropped"]
    if dropped["missing"]:
        notice(f"{dropped['missing']:,} observation(s) dropped for missing or non-finite values", messages)
    if dropped["singletons"]:
        notice(f"{dropped['singletons']:,} singleton observation(s) dropped", messages)
    report.done("sample")
    report.stage(f"sample ready: {sample['N']:,} rows")
    return sample
