"""Which rows an estimate uses: missing and non-finite values, and singletons."""

import numpy as np

from vantrel.backend.quarnet import drop_singletons


def finite_rows(columns):
    """Mask of the rows where every float column is finite, or None when all are (the
    usual case, found by one summation per column without a temporary)."""
    valid = None
    for values in columns:
        with np.errstate(over="ignore", invalid="ignore"):
            total = np.add.reduce(values)
        if np.isfinite(total):
            continue  # no NaN or infinity (a sum of finite values that overflows is checked below)
        finite = np.isfinite(values)
        valid = finite if valid is None else valid & finite
    return valid


def present_rows(column):
    """Mask of the rows where `column` has a value, or None when every row has one."""
    if isinstance(column.dtype, np.dtype) and column.dtype.kind in "iub":
        return None
    mask = column.notna().to_numpy()
    return None if mask.all() else mask


def valid_rows(masks, N):
    """The rows every mask keeps (None for a mask: all rows), or None when that is all N."""
    keep = None
    for mask in masks:
        if mask is not None:
            keep = mask if keep is None else keep & mask
    return None if keep is None or keep.all() else keep


def rows_without_singletons(A, N):
    """Boolean mask of the N rows left once the kernel has dropped, repeatedly, every
    observation alone in a group of some effect of the group index `A`."""
    # the screening reads only the length of its first argument: no need to fill it
    return drop_singletons(np.empty(N), A, np.ones(N, dtype=np.int64)).astype(bool)
