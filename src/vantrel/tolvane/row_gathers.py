"""Row selections of a frame, gathered column by column and, for long columns, in threads.

Row selections and the sort of the estimation sample build the new frame column by
column: pandas' own row take first consolidates the frame into 2-D blocks and then
gathers them with a generic loop, which at ten million rows costs several times the
gather itself and would make the driver slower than the demeaning. The sort's gather
reads every column in a random order, so it is bound by memory latency, not bandwidth:
gathering two columns at once on two threads nearly halves it.
"""

import numpy as np
import pandas as pd

from vantrel.backend.morlisk import map_columns


def take_rows(data, positions, threads=1):
    """New frame with the rows at `positions`, every column keeping its dtype."""
    names = list(data.columns)
    # Columns and index are picked here, in the calling thread: only the gathers run in the pool.
    sources = [data[name] for name in names] + [data.index]
    taken = map_columns(lambda values: _take(values, positions), sources, threads, len(positions))
    return pd.DataFrame(dict(zip(names, taken[:-1], strict=True)), index=taken[-1], copy=False)


def _take(values, positions):
    # NumPy's fancy indexing gathers several times faster than `take` (which checks every
    # index on a slow path) or pandas' array take, and releases the GIL while it runs;
    # extension types (text, categoricals, nullable integers) keep their own take so
    # their dtype survives.
    if isinstance(values, pd.RangeIndex):  # the caller's default labels: no need to read them
        return pd.Index(values.start + values.step * positions.astype(np.int64), dtype=np.int64)
    if isinstance(values.dtype, np.dtype):
        gathered = values.to_numpy()[positions]
        return pd.Index(gathered, dtype=values.dtype) if isinstance(values, pd.Index) else gathered
    return values.take(positions) if isinstance(values, pd.Index) else values.array.take(positions)


def keep_rows(data, keep, threads=1):
    """`data` restricted to the rows where the boolean array `keep` is true (a new frame)."""
    return take_rows(data, np.flatnonzero(keep), threads)
