"""Group index construction and cluster-variable subsets.

``make_pointer`` builds the fixed-effect table ``A`` that the kernel functions of
``vantrel.backend.quarnet`` consume; ``powerset`` lists the cluster-variable subsets of
the multiway cluster-robust covariance. ``map_columns``, the column-parallel loop of
``make_pointer``, also runs the driver's row gathers.
"""

from concurrent.futures import ThreadPoolExecutor
from itertools import combinations

import numpy as np

from vantrel.backend import quarnet

__all__ = ["make_pointer", "powerset", "map_columns"]

# Below this many rows a pass over a column takes less time than starting a thread for it.
_PARALLEL_ROWS = 200_000
# Dense ids leave at most a few ids without rows (after singleton removal, say); more
# than this many per row can only be ids that were never numbered densely.
_MAX_GROUPS_PER_ROW = 4


def map_columns(fn, items, threads, n_rows):
    """``[fn(item) for item in items]``, on up to ``threads`` threads when the columns
    are long; ``fn`` must release the GIL for its work (NumPy gathers, the kernel's sorts)."""
    if threads > 1 and len(items) > 1 and n_rows >= _PARALLEL_ROWS:
        with ThreadPoolExecutor(max_workers=min(threads, len(items))) as pool:
            return list(pool.map(fn, items))  # list(): re-raises a worker's error
    return [fn(item) for item in items]


def make_pointer(ids, threads=1):
    """Group index of every id column of ``ids``.

    ``ids`` is an N x F integer array with one column per fixed effect, each holding dense
    ids 0 .. G-1. Returns a writable F x 2 object array ``A``: ``A[j, 0]`` is ``sortvec``,
    the row positions ordered by ascending id of column j (stably, so rows keep their order
    within a group), and ``A[j, 1]`` is ``panelmat``, the G x 2 table of inclusive
    [start, end] positions in ``sortvec`` of each id's rows; an id without rows gets
    start = end + 1. Linear in N (counting sort). ``ids`` is not modified; a column-major
    ``ids`` is read without copying. With ``threads`` > 1 that many columns are indexed at
    once (the counting sort runs without the GIL).
    """
    ids = _checked_ids(ids)
    n_rows, n_columns = ids.shape
    A = np.empty((n_columns, 2), dtype=object)

    def index_column(j):
        column = np.ascontiguousarray(ids[:, j], dtype=np.int64)
        n_groups = int(column.max()) + 1 if n_rows else 0
        counts = np.bincount(column, minlength=n_groups)
        ends = np.cumsum(counts, dtype=np.int64) - 1
        panelmat = np.empty((n_groups, 2), dtype=np.int64)
        panelmat[:, 0] = ends - counts + 1
        panelmat[:, 1] = ends
        A[j, 0] = quarnet.counting_sort(column, n_groups)
        A[j, 1] = panelmat

    map_columns(index_column, range(n_columns), threads, n_rows)
    return A


def _checked_ids(ids):
    if not isinstance(ids, np.ndarray):
        raise ValueError(f"ids must be a two-dimensional integer numpy array, got {type(ids).__name__}")
    if ids.ndim != 2:
        raise ValueError(f"ids must be two-dimensional (rows x id columns), got shape {ids.shape}")
    if not np.issubdtype(ids.dtype, np.integer):
        raise ValueError(f"ids must hold integers, got dtype {ids.dtype}")
    if ids.size:
        low, high = ids.min(), ids.max()
        if low < 0:
            raise ValueError(f"ids must be dense ids 0 .. G-1, got the negative id {low}")
        if high > np.iinfo(np.int64).max:
            raise ValueError(f"ids must fit in int64, got the id {high}")
        # The group table has a row per id up to the largest, so sparse ids (firm numbers
        # like 1e12, say) would ask for terabytes before anything else fails.
        if high >= _MAX_GROUPS_PER_ROW * ids.shape[0]:
            raise ValueError(
                f"ids must be dense ids 0 .. G-1, got the id {high} for {ids.shape[0]} rows "
                f"(at most {_MAX_GROUPS_PER_ROW} ids per row; number them densely first)"
            )
    return ids


def powerset(clustvars):
    """All 2^m - 1 non-empty subsets of the m cluster variables, each a list of names.

    Subsets come by increasing size, each size in the order of ``clustvars``; the empty
    subset is never among them.
    """
    clustvars = list(clustvars)
    return [list(subset) for size in range(1, len(clustvars) + 1) for subset in combinations(clustvars, size)]
