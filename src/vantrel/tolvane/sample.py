"""Estimation sample: from the caller's frame to dense fixed-effect ids and the group index.

The steps work on a private frame; the caller's frame, lists and dtypes are never
touched. Row-level work is left to vectorised pandas/NumPy calls, to the column-wise
row gathers (`row_gathers`) and to the kernel's screening.
"""

import numpy as np
import pandas as pd

from vantrel.backend.morlisk import make_pointer
from vantrel.core.dense_ids import compact_codes, group_ids, sorted_codes
from vantrel.core.messages import note
from vantrel.core.rows import finite_rows, present_rows, rows_without_singletons, valid_rows
from vantrel.tolvane.row_gathers import keep_rows, take_rows

RECAST_NOTICE = "Some variables are not double, recasting"
IGNORED_CLUSTERS_NOTICE = "Cluster variables found but SEtype is not cluster; ignoring"


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
        fe_vars = np.unique([part for term in fixedeffects for part in term.split("#")]).tolist()
        missing_fe = _not_in(fe_vars, data)
        if missing_fe:
            raise ValueError("Fixed effects variable(s) not in data: " + str(missing_fe))
        keepvars += fe_vars
    if setype == "cluster":
        if not clustvars:  # an empty list defines no cluster either
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


def working_frame(data, keepvars, y, x, setype, clustvars, msg, fixedeffects=None):
    """Private copy of the used columns, dependent variable and regressors as float64.

    The copy is taken column by column so that every column keeps its own dtype: one
    shared array would round 64-bit integer ids above 2**53 to doubles whenever a float
    column is kept too (merging distinct groups), and turn everything into Python objects
    as soon as one text column is kept. For the same reason an integer (or boolean) column
    that is also a fixed-effect or cluster variable keeps its dtype here, and the model
    reads it as float64 where it stacks the regressors. The caller's index labels are
    kept, but not the index's names: a level named like a used column would make that
    name ambiguous to pandas' grouping.
    """
    index = data.index.set_names([None] * data.index.nlevels)
    data = pd.DataFrame({name: data[name].array.copy() for name in keepvars}, index=index, copy=False)
    numeric = list(dict.fromkeys(y + x))
    for name in numeric:
        if data[name].dtype.kind == "c":
            role = "Dependent variable" if name in y else "Regressor"
            raise TypeError(
                role
                + " "
                + repr(name)
                + " is complex ("
                + str(data[name].dtype)
                + "); only real-valued columns can be used"
            )
    id_vars = {part for term in fixedeffects or [] for part in term.split("#")}
    if setype == "cluster":
        id_vars.update(clustvars)
    recast = {name: np.float64 for name in numeric if data[name].dtype != np.float64}
    if recast:
        msg.append(RECAST_NOTICE)
        print(RECAST_NOTICE)
        kept = [name for name in recast if name in id_vars and _is_integer(data[name])]
        data = data.astype({name: dtype for name, dtype in recast.items() if name not in kept})
    if clustvars is not None and setype != "cluster":
        msg.append(IGNORED_CLUSTERS_NOTICE)
        print(IGNORED_CLUSTERS_NOTICE)
    if setype == "cluster":
        msg.append("Standard errors clustered on " + ", ".join(clustvars))
    return data


def _is_integer(column):
    """Integer or boolean, NumPy's or pandas' nullable types."""
    return pd.api.types.is_integer_dtype(column.dtype) or pd.api.types.is_bool_dtype(column.dtype)


def drop_invalid_rows(data, y, x, verb, msg, threads=1):
    """Drop rows with a missing value anywhere, or a non-finite dependent variable or regressor."""
    N = len(data)
    # missing anywhere (dropna's rule), then +-inf in the model columns; one selection
    # (integer columns kept for their ids are finite)
    keep = valid_rows(
        [present_rows(data[name]) for name in data.columns]
        + [finite_rows([data[name].to_numpy() for name in dict.fromkeys(y + x) if data[name].dtype.kind == "f"])],
        N,
    )
    if keep is not None:
        data = keep_rows(data, keep, threads)
    if len(data) != N:
        note(str(N - len(data)) + " observation(s) have been excluded due to non-valid values", verb, msg)
    if len(data) == 0:
        raise ValueError("No observations left after removing missing and non-finite values")
    return data


def unique_specifications(fixedeffects):
    """Drop repeated fixed-effect terms, keeping first occurrences in order."""
    kept = []
    for term in fixedeffects or []:
        if term in kept:
            print('Fixed effect "' + term + '" is duplicate and ignored')
        else:
            kept.append(term)
    return kept


def add_fe_ids(data, fixedeffects, fenames, verb):
    """Add one dense int64 id column per term (or the constant group); return N_FE."""
    if not fixedeffects:
        data[fenames[0]] = np.zeros(len(data), dtype=np.int64)
        return data, 1
    N_FE = 0
    for term, name in zip(fixedeffects, fenames, strict=True):
        ids = group_ids(data, term.split("#"))
        data[name] = ids
        G = int(ids.max()) + 1
        N_FE += G
        if verb > 0:
            print("Created", term.replace("#", "-"), "fixed effects with", G, "groups")
    return data, N_FE


def group_index(data, fenames, threads=1):
    """The kernel's group index of the id columns `fenames` of `data`."""
    # column-major, so that make_pointer reads every id column in place
    ids = np.empty((len(data), len(fenames)), dtype=np.int64, order="F")
    for j, name in enumerate(fenames):
        ids[:, j] = data[name].to_numpy()
    return make_pointer(ids, threads=threads)


def singleton_free_rows(data, y, A, verb, msg):
    """Boolean mask of the rows of `data` that survive singleton removal.

    The kernel drops observations alone in a group of some effect and repeats until none
    is left; the rows that survive do not depend on the row order, so this runs on the
    rows as they stand and the selection joins the sort's single gather.
    """
    N_all = len(data)
    keep = rows_without_singletons(A, N_all)
    N = int(np.count_nonzero(keep))
    if N == 0:
        raise Exception("All observations can be explained by the fixed effects")
    if N != N_all:
        note(str(N_all - N) + " observation(s) have been excluded due to missing within group variation", verb, msg)
    return keep


def drop_singletons_and_sort_by_largest_effect(data, fenames, A, keep, threads=1, fixedeffects=()):
    """The rows where `keep` (the mask of `singleton_free_rows`) is true, sorted by the id
    column with the most groups; the index keeps the caller's row labels.

    Dropping the singletons and sorting are one step: `A` is the group index of `data`
    in its current row order. Its permutation for the sort column is a stable counting
    sort by id, so the rows come out sorted in linear time, rows of equal id in the
    caller's order, and one gather of every column both selects and sorts them. The
    gather reads each column in random order, so columns that follow from the sorted ids
    are rebuilt instead: the sort column itself, and each integer variable that is a
    fixed effect on its own (`fixedeffects`).
    """
    # the group counts (largest id + 1) are the lengths of the group tables
    n_groups = [len(A[j, 1]) for j in range(len(fenames))]
    maxindex = int(np.argmax(n_groups))
    key, columns = fenames[maxindex], list(data.columns)
    ids = data[key].to_numpy(dtype=np.int64)
    order = A[maxindex, 0]
    if not keep.all():
        order = order[keep[order]]
        ids = ids[keep]
    levels = _fe_variable_levels(data, fenames, A, fixedeffects)
    data = take_rows(data.drop(columns=[key, *levels]), order, threads)
    data[key] = sorted_codes(ids, n_groups[maxindex])
    for name, (id_name, values) in levels.items():
        data[name] = values[data[id_name].to_numpy()]
    return data[columns]


def _fe_variable_levels(data, fenames, A, fixedeffects):
    """For each integer variable that is a fixed effect on its own: its id column and
    the value of each id, read at the first row of the id's group.

    The ids number the distinct values in order, one id per value, so the table holds
    every row's value exactly. Other types stay gathered: text and categoricals keep
    their own take, and grouping merges float values that differ in their bits
    (0.0 and -0.0).
    """
    levels = {}
    for j, term in enumerate(fixedeffects):
        if "#" in term:
            continue
        column = data[term]
        if isinstance(column.dtype, np.dtype) and column.dtype.kind in "iu":
            sortvec, panelmat = A[j, 0], A[j, 1]
            levels[term] = (fenames[j], column.to_numpy()[sortvec[panelmat[:, 0]]])
    return levels


def renumber_fe_ids(data, fixedeffects, fenames):
    """Make the ids consecutive again after singleton removal, keeping their order; return N_FE."""
    if not fixedeffects:
        return data, 1
    N_FE = 0
    for name in fenames:
        # Same numbering as grouping by the column (order kept, gaps closed), in linear time.
        ids = compact_codes(data[name].to_numpy(dtype=np.int64))
        data[name] = ids
        N_FE += int(ids.max()) + 1
    return data, N_FE
