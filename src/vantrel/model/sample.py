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
from vantrel.core.rows import rows_without_singletons


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
