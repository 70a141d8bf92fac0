"""Estimation sample: from the caller's frame to dense fixed-effect ids and the group index.

The steps work on a private frame; the caller's frame, lists and dtypes are never
touched. Row-level work is left to vectorised pandas/NumPy calls and to the kernel's
screening.

Row selections and the sort build the new frame column by column (`_take_rows`):
pandas' own row take first consolidates the frame into 2-D blocks and then gathers
them with a generic loop, which at ten million rows costs several times the gather
itself and would make the driver slower than the demeaning.
"""

import numpy as np
import pandas as pd

from vantrel.backend.morlisk import make_pointer
from vantrel.backend.quarnet import _counting_sort, drop_singletons

RECAST_NOTICE = "Some variables are not double, recasting"
IGNORED_CLUSTERS_NOTICE = "Cluster variables found but SEtype is not cluster; ignoring"


def _take_rows(data, positions):
    """New frame with the rows at `positions`, every column keeping its dtype."""
    columns = {name: _take(data[name], positions) for name in data.columns}
    return pd.DataFrame(columns, index=_take(data.index, positions), copy=False)


def _take(values, positions):
    # NumPy's fancy indexing gathers several times faster than `take` (which checks every
    # index on a slow path) or pandas' array take; extension types (text, categoricals,
    # nullable integers) keep their own take so their dtype survives.
    if isinstance(values.dtype, np.dtype):
        gathered = values.to_numpy()[positions]
        return pd.Index(gathered, dtype=values.dtype) if isinstance(values, pd.Index) else gathered
    return values.take(positions) if isinstance(values, pd.Index) else values.array.take(positions)


def _keep_rows(data, keep):
    """`data` restricted to the rows where the boolean array `keep` is true (a new frame)."""
    return _take_rows(data, np.flatnonzero(keep))


def fe_names(count):
    """Id column names "fe_A", "fe_B", ... for `count` effects (at least one: the constant group)."""
    return ["fe_" + chr(65 + i) for i in range(max(count, 1))]


def _not_in(names, data):
    return [name for name in names if name not in data.columns]


def check_variables(data, y, x, fixedeffects, setype, clustvars):
    """Check that every named column exists; return the sorted distinct columns to keep."""
    keepvars = list(x) + list(y)
    missing_y = _not_in(y, data)
    if missing_y:
        raise ValueError("Dependent variable(s) not in data: " + str(missing_y))
    missing_x = _not_in(x, data)
    if missing_x:
        raise ValueError("Independent variable(s) not in data: " + str(missing_x))
    if fixedeffects:
        fe_vars = np.unique([part for spec in fixedeffects for part in spec.split("#")]).tolist()
        missing_fe = _not_in(fe_vars, data)
        if missing_fe:
            raise ValueError("Fixed effects variable(s) not in data: " + str(missing_fe))
        keepvars += fe_vars
    if setype == "cluster":
        if clustvars is None:
            raise ValueError("No cluster defined")
        if len(clustvars) > 4:
            raise ValueError("At most 4 cluster dimensions allowed")
        missing_cl = _not_in(clustvars, data)
        if missing_cl:
            raise ValueError("Cluster variable(s) not in data: " + str(missing_cl))
        keepvars += np.unique(list(clustvars)).tolist()
    keepvars = np.unique(keepvars).tolist()

    # The working frame gets id columns and "initial_index" added under fixed names; a used
    # column of the same name would be overwritten by them and silently change the model.
    n_specs = len(dict.fromkeys(fixedeffects)) if fixedeffects else 0
    reserved = [name for name in keepvars if name in fe_names(n_specs) + ["initial_index"]]
    if reserved:
        raise ValueError("Column name(s) reserved for the estimation's own columns: " + str(reserved))
    repeated = set(data.columns[data.columns.duplicated()])
    duplicated = [name for name in keepvars if name in repeated]
    if duplicated:
        raise ValueError("Column name(s) appear more than once in data: " + str(duplicated))
    return keepvars


def working_frame(data, keepvars, y, x, setype, clustvars, msg):
    """Private copy of the used columns, dependent variable and regressors as float64.

    The copy is taken column by column so that every column keeps its own dtype: one
    shared array would round 64-bit integer ids above 2**53 to doubles whenever a float
    column is kept too (merging distinct groups), and turn everything into Python objects
    as soon as one text column is kept.
    """
    data = pd.DataFrame({name: data[name].array.copy() for name in keepvars}, index=data.index, copy=False)
    numeric = list(dict.fromkeys(y + x))
    recast = {name: np.float64 for name in numeric if data[name].dtype != np.float64}
    if recast:
        msg.append(RECAST_NOTICE)
        print(RECAST_NOTICE)
        data = data.astype(recast)
    if clustvars is not None and setype != "cluster":
        msg.append(IGNORED_CLUSTERS_NOTICE)
        print(IGNORED_CLUSTERS_NOTICE)
    if setype == "cluster":
        msg.append("Standard errors clustered on " + ", ".join(clustvars))
    return data


def _note(text, verb, msg):
    msg.append(text)
    if verb > 0:
        print(text)


def drop_invalid_rows(data, y, x, verb, msg):
    """Drop rows with a missing value anywhere, or a non-finite dependent variable or regressor."""
    N = len(data)
    # missing anywhere (dropna's rule), then +-inf in the model columns; one selection
    keep = data.notna().all(axis=1).to_numpy()
    for name in dict.fromkeys(y + x):
        keep = keep & np.isfinite(data[name].to_numpy())
    if not keep.all():
        data = _keep_rows(data, keep)
    if len(data) != N:
        _note(str(N - len(data)) + " observation(s) have been excluded due to non-valid values", verb, msg)
    if len(data) == 0:
        raise ValueError("No observations left after removing missing and non-finite values")
    return data


def unique_specifications(fixedeffects):
    """Drop repeated fixed-effect specifications, keeping first occurrences in order."""
    kept = []
    for spec in fixedeffects or []:
        if spec in kept:
            print('Fixed effect "' + spec + '" is duplicate and ignored')
        else:
            kept.append(spec)
    return kept


def add_fe_ids(data, fixedeffects, fenames, verb):
    """Add one dense int64 id column per specification (or the constant group); return N_FE."""
    if not fixedeffects:
        data[fenames[0]] = np.zeros(len(data), dtype=np.int64)
        return data, 1
    N_FE = 0
    for spec, name in zip(fixedeffects, fenames):
        ids = _group_ids(data, spec.split("#"))
        data[name] = ids
        G = int(ids.max()) + 1
        N_FE += G
        if verb > 0:
            print("Created", spec.replace("#", "-"), "fixed effects with", G, "groups")
    return data, N_FE


def _group_ids(data, names):
    """Dense ids 0 .. G-1 of the value combinations of `names`, in sorted key order."""
    column = data[names[0]]
    if len(names) == 1 and isinstance(column.dtype, np.dtype) and column.dtype.kind in "iu":
        values = column.to_numpy()
        low, high = int(values.min()), int(values.max())
        # Integer codes spanning a range not much wider than the sample (the usual firm,
        # worker or year numbers): rank them by counting, in linear time, instead of hashing.
        if high - low <= 4 * len(values):
            return _dense_ranks(values - values.dtype.type(low))
    # observed=True keeps ids dense for categoricals with unused categories.
    return data.groupby(names, observed=True).ngroup().to_numpy(dtype=np.int64)


def _dense_ranks(codes):
    """Map non-negative integer codes to 0 .. G-1 keeping their order (gaps closed)."""
    present = np.bincount(codes) > 0
    return (np.cumsum(present, dtype=np.int64) - 1)[codes]


def sort_by_largest_effect(data, fenames):
    """Sort rows by the id column with the most groups; record the caller's row labels."""
    maxima = data[fenames].max().to_numpy()
    maxindex = int(np.argmax(maxima))
    # The ids are dense 0 .. G-1, so a counting sort orders the rows in linear time; the
    # order of rows with equal ids is free (this one keeps the caller's order).
    key, columns = fenames[maxindex], list(data.columns)
    ids = data[key].to_numpy(dtype=np.int64)
    G = int(maxima[maxindex]) + 1
    data = _take_rows(data.drop(columns=key), _counting_sort(ids, G))
    # the sorted key itself needs no gather: G runs of known lengths
    data[key] = np.repeat(np.arange(G, dtype=np.int64), np.bincount(ids, minlength=G))
    data = data[columns]
    data["initial_index"] = data.index
    return data


def group_index(data, fenames):
    return make_pointer(data[fenames].to_numpy(dtype=np.int64))


def drop_singleton_rows(data, y, A, verb, msg):
    """Remove observations alone in a group of some effect (the kernel repeats until none is left)."""
    N_all = len(data)
    touse = np.ones(N_all, dtype=np.int64)
    touse = drop_singletons(data[y[0]].to_numpy(dtype=np.float64, copy=True), A, touse)
    if not touse.all():
        data = _keep_rows(data, touse.astype(bool))
    N = len(data)
    if N == 0:
        raise Exception("All observations can be explained by the fixed effects")
    if N != N_all:
        _note(str(N_all - N) + " observation(s) have been excluded due to missing within group variation", verb, msg)
    return data


def renumber_fe_ids(data, fixedeffects, fenames):
    """Make the ids consecutive again after singleton removal, keeping their order; return N_FE."""
    if not fixedeffects:
        return data, 1
    N_FE = 0
    for name in fenames:
        # Same numbering as grouping by the column (order kept, gaps closed), in linear time.
        ids = _dense_ranks(data[name].to_numpy(dtype=np.int64))
        data[name] = ids
        N_FE += int(ids.max()) + 1
    return data, N_FE
