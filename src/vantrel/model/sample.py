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
from vantrel.backend.quarnet import drop_singletons
from vantrel.tolvane.dense_ids import column_ids, combine_ids, compact_codes


def finite_rows(columns: list[np.ndarray], n: int) -> np.ndarray | None:
    """Mask of the rows where every column is finite, or None when all are (the usual
    case, found by one summation per column without a temporary)."""
    valid = None
    for values in columns:
        with np.errstate(over="ignore", invalid="ignore"):
            total = np.add.reduce(values)
        if np.isfinite(total):
            continue  # no NaN or infinity (a sum of finite values that overflows is checked below)
        finite = np.isfinite(values)
        valid = finite if valid is None else valid & finite
    return valid


def present_rows(column: pd.Series) -> np.ndarray | None:
    """Mask of the rows where `column` has a value, or None when every row has one."""
    if isinstance(column.dtype, np.dtype) and column.dtype.kind in "iub":
        return None
    mask = column.notna().to_numpy()
    return None if mask.all() else mask


def _dense_into(out: np.ndarray, column: pd.Series, rows: np.ndarray | None) -> bool:
    """Write the dense ids (sorted value order) of an integer column into `out`;
    False when the column is of another kind."""
    if not (isinstance(column.dtype, np.dtype) and column.dtype.kind == "i" and len(column)):
        return False
    values = column.to_numpy()
    if rows is not None:
        values = values[rows]
    low, high = int(values.min()), int(values.max())
    if high - low > 4 * len(values):
        return False
    np.subtract(values, np.int64(low), out=out, dtype=np.int64, casting="unsafe")
    present = np.bincount(out, minlength=high - low + 1) > 0
    if not present.all():
        np.take(np.cumsum(present, dtype=np.int64) - 1, out, out=out)
    return True


def variable_ids(frame: pd.DataFrame, name: str, rows: np.ndarray | None) -> np.ndarray:
    """Dense ids 0 .. G-1 of one column over the rows, in sorted value order."""
    column = frame[name]
    out = np.empty(len(column) if rows is None else len(rows), dtype=np.int64)
    if _dense_into(out, column, rows):
        return out
    if rows is not None:
        column = column.take(rows)
    return column_ids(pd.DataFrame({name: column.reset_index(drop=True)}, copy=False), name)


def effect_ids(frame: pd.DataFrame, effects: list[list[str]], rows: np.ndarray | None) -> np.ndarray:
    """The N x F column-major matrix of dense ids, one column per effect (interacted
    effects number the observed combinations of their columns' ids)."""
    n = len(frame) if rows is None else len(rows)
    ids = np.empty((n, len(effects)), dtype=np.int64, order="F")
    for j, effect in enumerate(effects):
        if len(effect) == 1 and _dense_into(ids[:, j], frame[effect[0]], rows):
            continue
        ids[:, j] = combine_ids([variable_ids(frame, name, rows) for name in effect])
    return ids


def group_index(ids: np.ndarray, threads: int):
    return make_pointer(ids, threads=threads)


def without_singletons(ids: np.ndarray, A, threads: int):
    """Drop observations alone in a group of some effect (repeatedly, in the kernel).

    Returns (kept mask or None, ids, A): the ids renumbered densely and the group index
    rebuilt when rows went.
    """
    if not any(np.any(A[j, 1][:, 0] == A[j, 1][:, 1]) for j in range(ids.shape[1])):
        return None, ids, A
    # the screening reads only the length of its first argument: no need to fill it
    keep = drop_singletons(np.empty(len(ids)), A, np.ones(len(ids), dtype=np.int64)).astype(bool)
    kept = np.empty((int(np.count_nonzero(keep)), ids.shape[1]), dtype=np.int64, order="F")
    for j in range(ids.shape[1]):
        kept[:, j] = compact_codes(ids[keep, j])
    return keep, kept, make_pointer(kept, threads=threads)
