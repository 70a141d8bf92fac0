"""Dense integer ids: the numbering that grouping by some variables gives, without grouping.

The fixed-effect ids of the sample and the cluster ids of the covariance stage are
dense, 0 .. G-1 numbered in sorted key order, as pandas' `groupby(...).ngroup()` would
number them. Integer variables are ranked by counting (other types are grouped once
per variable) and combinations of variables by their tuples of ranks, so no tuples of
values are hashed.
"""

import numpy as np
import pandas as pd

from vantrel.backend.quarnet import dense_codes, pair_ranks


def group_ids(data, names):
    """Dense ids 0 .. G-1 of the value combinations of `names`, in sorted key order."""
    return combine_ids([column_ids(data, name) for name in names])


def combine_ids(id_columns):
    """Dense ids of the combinations of several dense id columns, in lexicographic order.

    A combination's id is the rank of its tuple of ids, so with each column numbered in
    its own sorted order this is the numbering that grouping by all the variables gives,
    without hashing tuples of Python objects.
    """
    ids = id_columns[0]
    for codes in id_columns[1:]:
        if len(codes) == 0:
            break
        G_ids, G = int(ids.max()) + 1, int(codes.max()) + 1
        if G_ids * G <= 4 * len(codes):
            ids = compact_codes(ids * G + codes)
        else:
            # two counting sorts in the kernel: hashing nearly N distinct pairs (a
            # worker-by-firm intersection, say) costs several times as much
            ids = pair_ranks(ids, G_ids, codes, G)[0]
    return ids


def column_ids(data, name):
    """Dense ids 0 .. G-1 of the values of column `name`, in sorted order."""
    column = data[name]
    if isinstance(column.dtype, np.dtype) and column.dtype.kind == "i" and len(column):
        # a fresh array: the id column must not share memory with the variable
        ids = np.empty(len(column), dtype=np.int64)
        if integer_ids_into(ids, column.to_numpy()) is not None:
            return ids
        return pd.factorize(column.to_numpy(), sort=True)[0].astype(np.int64, copy=False)
    if isinstance(column.dtype, np.dtype) and column.dtype.kind == "u" and len(column):
        values = column.to_numpy()
        low, high = values.min(), values.max()
        if int(high) - int(low) <= 4 * len(values):
            # uint64 codes above 2**63 do not fit in int64, their differences do
            return compact_codes((values - low).astype(np.int64, copy=False))
        return pd.factorize(values, sort=True)[0].astype(np.int64, copy=False)
    # observed=True keeps ids dense for categoricals with unused categories, but not for
    # every key type (Arrow dictionaries leave a gap for theirs): close the gaps.
    return compact_codes(data.groupby([name], observed=True).ngroup().to_numpy(dtype=np.int64))


def integer_ids_into(out, values, rows=None, threads=1):
    """Write the dense ids (sorted value order) of the signed integers `values` (those at
    the positions `rows`, or all) into `out` (int64, or int32 when the ids fit) and return
    the rows per id; None, with `out` untouched, when the values span more than 4 per row
    (sparse codes: factorise them).

    Ranked by counting in the kernel, in linear time and without a copy of the values: a
    table indexed by value less the smallest holds the rows per value, and the ids are
    the values less the smallest unless some value in between is missing (the usual firm,
    worker or year numbers have none). `threads`: the kernel's threads (0: the OpenMP
    default).
    """
    if values.dtype.itemsize < 4 or not values.dtype.isnative:
        values = values.astype(np.int32 if values.dtype.itemsize <= 4 else np.int64)  # the widths the kernel reads
    return dense_codes(values, rows, out, threads)


def compact_codes(codes):
    """Map non-negative int64 codes to 0 .. G-1 keeping their order (gaps closed).

    Ranks by counting, in linear time: the callers pass codes below a small multiple of
    their number (the usual firm, worker or year numbers, ids after singleton removal).
    """
    if len(codes) == 0:
        return codes
    present = np.bincount(codes) > 0
    if present.all():  # already dense
        return codes
    return (np.cumsum(present, dtype=np.int64) - 1)[codes]


def sorted_codes(codes, G):
    """``codes`` (dense, 0 .. G-1) in ascending order: G runs of known lengths, no sort."""
    return np.repeat(np.arange(G, dtype=np.int64), np.bincount(codes, minlength=G))
