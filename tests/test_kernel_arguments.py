"""Argument checks of the Python-callable kernel functions: every rejection happens before
any work and leaves every array as it was."""

import numpy as np
import pytest

from vantrel.backend import quarnet
from vantrel.backend.morlisk import make_pointer

IDS = np.array([[0, 0], [0, 1], [1, 1], [1, 0], [1, 2], [2, 2]])


def good_args(function):
    rng = np.random.default_rng(0)
    A = make_pointer(IDS)
    demean = dict(x=rng.normal(size=(6, 2)), w=rng.uniform(1, 2, 6), A=A, tol=1e-8, miniter=0, maxiter=50,
                  verbose=0, n_threads=0)  # fmt: skip
    return {
        "panelsetup": dict(result=np.zeros((3, 2), np.int64), x=np.array([5, 5, 7, 7, 7, 9]), N=6, N2=3),
        "drop_singletons": dict(x=rng.normal(size=6), A=A, touse=np.ones(6, np.int64)),
        "sep": dict(x=rng.normal(size=6), A=A, touse=np.ones(6, np.int64)),
        "calc_B": dict(
            result=np.zeros((1, 1)),
            x=rng.normal(size=(6, 2)),
            u=rng.normal(size=(6, 1)),
            sortvec=np.arange(6),
            panelmat=np.array([[0, 2], [3, 5]]),
            N_panelmat=2,
            K=1,
        ),  # fmt: skip
        "MAP_NH_noaccel": demean,
        "MAP_NH_CG_accel": demean,
        "COEF_PCG_demean": demean,
        "dense_codes": dict(
            values=np.array([3, 1, 2, 3, 9, 4]), rows=np.arange(6), out=np.zeros(6, np.int64), n_threads=1
        ),
        "cluster_meat": dict(
            result=np.zeros((1, 1)), x=rng.normal(size=(6, 2)), u=rng.normal(size=(6, 1)), ids=IDS[:, 0].copy(), G=3
        ),
        "fill_standardised": dict(
            out=np.zeros((6, 2)),
            columns=[rng.normal(size=6), None],
            rows=np.arange(6),
            centre=np.zeros(2),
            inverse=np.ones(2),
            n_threads=1,
        ),
    }[function]


DEMEANING = ["MAP_NH_noaccel", "MAP_NH_CG_accel", "COEF_PCG_demean"]
ROW_PASSES = ["dense_codes", "fill_standardised", "cluster_meat"]
FUNCTIONS = ["panelsetup", "drop_singletons", "sep", "calc_B", *DEMEANING, *ROW_PASSES]


def snapshot(args):
    arrays = [v for v in args.values() if isinstance(v, np.ndarray) and v.dtype != object]
    arrays += [cell for v in args.values() if isinstance(v, np.ndarray) and v.dtype == object for cell in v.flat]
    return [(a, a.copy()) for a in arrays]


def assert_untouched(saved):
    for array, copy in saved:
        assert np.array_equal(array, copy, equal_nan=True)


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


BAD_BUFFERS = {
    "wrong_dtype": lambda a: a.astype(np.float32 if a.dtype == np.float64 else np.int32),
    "fortran_order": lambda a: np.asfortranarray(np.repeat(a, 2, axis=-1)) if a.ndim == 2 else np.repeat(a, 2)[::2],
    "read_only": read_only,
    "wrong_ndim": lambda a: a[None],
    "list": lambda a: a.tolist(),
    "none": lambda a: None,
}
# Layouts that are legitimately accepted: calc_B takes any strides, w may be read-only or None.
ACCEPTED = {("calc_B", "fortran_order")}
ACCEPTED |= {(f, "w", "read_only") for f in DEMEANING} | {(f, "w", "none") for f in DEMEANING}
# The row passes only read their inputs; dense_codes reads values of either integer width at
# any stride and writes codes of either width.
ACCEPTED |= {(f, "rows", bad) for f in ROW_PASSES for bad in ("read_only", "none")}
ACCEPTED |= {("dense_codes", "values", bad) for bad in ("wrong_dtype", "fortran_order", "read_only")}
ACCEPTED |= {("dense_codes", "out", "wrong_dtype")}
ACCEPTED |= {("fill_standardised", name, "read_only") for name in ("centre", "inverse")}
# cluster_meat reads x and u at any strides, and ids of either width
ACCEPTED |= {("cluster_meat", name, bad) for name in ("x", "u") for bad in ("fortran_order", "read_only")}
ACCEPTED |= {("cluster_meat", "ids", bad) for bad in ("wrong_dtype", "read_only")}

CASES = [
    pytest.param(function, name, bad, id=f"{function}-{name}-{bad}")
    for function in FUNCTIONS
    for name, value in good_args(function).items()
    if isinstance(value, np.ndarray) and value.dtype != object
    for bad in BAD_BUFFERS
    if (function, bad) not in ACCEPTED and (function, name, bad) not in ACCEPTED
]


@pytest.mark.parametrize("function, name, bad", CASES)
def test_bad_buffer_is_rejected_before_any_work(function, name, bad):
    args = good_args(function)
    args[name] = BAD_BUFFERS[bad](args[name])
    saved = snapshot(args)
    with pytest.raises((TypeError, ValueError)):
        getattr(quarnet, function)(**args)
    assert_untouched(saved)


def table_variant(variant):
    A = make_pointer(IDS)
    if variant == "list_of_tuples":
        return [tuple(row) for row in A]
    if variant == "read_only_table":
        A.flags.writeable = False
    elif variant == "float_sortvec":
        A[1, 0] = A[1, 0].astype(np.float64)
    elif variant == "int32_panelmat":
        A[0, 1] = A[0, 1].astype(np.int32)
    elif variant == "read_only_sortvec":
        A[0, 0] = read_only(A[0, 0])
    elif variant == "fortran_panelmat":
        A[0, 1] = np.asfortranarray(A[0, 1])
    elif variant == "float_table":
        return np.zeros((2, 2))
    return A


@pytest.mark.parametrize("function", ["drop_singletons", "sep", *DEMEANING])
@pytest.mark.parametrize(
    "variant",
    [
        "list_of_tuples",
        "read_only_table",
        "float_sortvec",
        "int32_panelmat",
        "read_only_sortvec",
        "fortran_panelmat",
        "float_table",
    ],  # fmt: skip
)
def test_bad_fixed_effect_table_is_rejected(function, variant):
    args = good_args(function)
    args["A"] = table_variant(variant)
    saved = snapshot(args)
    with pytest.raises(TypeError, match=r"\bA\b"):
        getattr(quarnet, function)(**args)
    assert_untouched(saved)


def with_cell(n, col, value):
    A = make_pointer(IDS)
    A[n, col] = np.array(value, dtype=np.int64)
    return A


INDEX_FAULTS = [
    # (A, argument named in the message, also rejected by the screening functions)
    pytest.param(with_cell(0, 0, [0, 1, 3, 6, 2, 5]), r"A\[0, 0\]", True, id="sortvec_entry_past_rows"),
    pytest.param(with_cell(1, 0, [0, 3, -1, 2, 4, 5]), r"A\[1, 0\]", True, id="sortvec_entry_negative"),
    pytest.param(with_cell(1, 1, [[0, 1], [2, 3], [4, 6]]), r"A\[1, 1\]", True, id="group_end_past_sortvec"),
    pytest.param(with_cell(0, 1, [[-1, 1], [2, 3], [4, 5]]), r"A\[0, 1\]", True, id="group_start_negative"),
    pytest.param(with_cell(0, 1, [[0, 1, 0], [2, 3, 0]]), r"A\[0, 1\]", True, id="three_column_panelmat"),
    pytest.param(with_cell(0, 0, [0, 1, 2, 2, 4, 5]), r"A\[0, 0\]", False, id="sortvec_repeats_a_row"),
    pytest.param(with_cell(0, 0, [0, 1, 2, 3, 4]), r"A\[0, [01]\]", True, id="sortvec_too_short"),
    pytest.param(with_cell(1, 1, [[0, 2], [2, 3], [4, 5]]), r"A\[1, 1\]", False, id="groups_overlap"),
]


@pytest.mark.parametrize("function", ["drop_singletons", "sep", *DEMEANING])
@pytest.mark.parametrize("A, name, for_screening", INDEX_FAULTS)
def test_group_index_faults_are_rejected(function, A, name, for_screening):
    args = good_args(function)
    args["A"] = A
    if function in ("drop_singletons", "sep") and not for_screening:
        getattr(quarnet, function)(**args)  # in range: the single-threaded screening may follow it
        return
    saved = snapshot(args)
    with pytest.raises(ValueError, match=name):
        getattr(quarnet, function)(**args)
    assert_untouched(saved)


def test_screening_and_demeaning_size_checks():
    args = good_args("drop_singletons") | {"touse": np.ones(5, np.int64)}
    with pytest.raises(ValueError, match="touse has length 5"):
        quarnet.drop_singletons(**args)
    args = good_args("MAP_NH_noaccel") | {"w": np.ones(7)}
    with pytest.raises(ValueError, match="w has length 7"):
        quarnet.MAP_NH_noaccel(**args)
    for function in ("MAP_NH_CG_accel", "COEF_PCG_demean"):
        args = good_args(function) | {"x": np.zeros((6, 0))}
        with pytest.raises(ValueError, match="x has no column"):
            getattr(quarnet, function)(**args)


@pytest.mark.parametrize(
    "function, change, message",
    [
        *[pytest.param(f, {"n_threads": 100_000}, "n_threads = 100000 exceeds", id=f + "-threads") for f in DEMEANING],
        pytest.param("COEF_PCG_demean", {"w": np.array([1.0, 2, -1, 1, 1, 1])}, r"w\[2\] = -1", id="negative_weight"),
        pytest.param("COEF_PCG_demean", {"w": np.array([1.0, 2, 1, np.nan, 1, 1])}, r"w\[3\] = nan", id="nan_weight"),
        pytest.param(
            "COEF_PCG_demean", {"preconditioner": "cholesky"}, "preconditioner must be one of", id="unknown_mode"
        ),
        *[
            pytest.param(f, {"n_threads": 100_000}, "n_threads = 100000 exceeds", id=f + "-threads")
            for f in ROW_PASSES[:2]
        ],
        pytest.param(
            "dense_codes", {"rows": np.array([0, 6, 1, 2, 3, 4])}, r"rows\[1\] = 6 is not a row", id="row_past_end"
        ),
        pytest.param("dense_codes", {"rows": np.array([0, -1, 1, 2, 3, 4])}, r"rows\[1\] = -1", id="negative_row"),
        pytest.param("dense_codes", {"out": np.zeros(5, np.int64)}, "out has 5 entries for 6 rows", id="short_out"),
        pytest.param("fill_standardised", {"rows": np.array([0, 1, 2, 3, 4, 6])}, r"rows\[5\] = 6", id="fill_row"),
        pytest.param("fill_standardised", {"rows": np.arange(5)}, "rows has 5 entries, out 6 rows", id="fill_rows"),
        pytest.param("fill_standardised", {"centre": np.zeros(3)}, "centre 3", id="fill_centre_length"),
        pytest.param(
            "fill_standardised",
            {"columns": [np.ones(7), None], "rows": None},
            r"columns\[0\] has 7 rows, out 6",
            id="fill_column_length",
        ),
        pytest.param(
            "fill_standardised",
            {"columns": [np.ones(7), np.ones(5)]},
            r"columns\[1\] has 5 rows, the columns before",
            id="fill_lengths_differ",
        ),
        pytest.param(
            "cluster_meat", {"ids": np.array([0, 1, 3, 1, 1, 2])}, r"ids\[2\] = 3 is not in \[0, 3\)", id="id_past_G"
        ),
        pytest.param("cluster_meat", {"ids": np.array([0, -1, 1, 1, 1, 2])}, r"ids\[1\] = -1", id="negative_id"),
        pytest.param("cluster_meat", {"ids": np.array([0, 1, 1, 1, 2])}, "and ids 5", id="ids_other_rows"),
        pytest.param("cluster_meat", {"u": np.ones((6, 0))}, "u has no column", id="u_no_column"),
        pytest.param("cluster_meat", {"result": np.zeros((2, 2))}, r"x has 2 columns, K \+ 1 = 3", id="x_too_narrow"),
        pytest.param("cluster_meat", {"result": np.zeros((2, 1))}, "a K x K matrix", id="result_not_square"),
        pytest.param("cluster_meat", {"G": -1}, "G = -1 must not be negative", id="negative_G"),
    ],
)
def test_bad_values_are_rejected_before_any_work(function, change, message):
    args = good_args(function) | change
    saved = snapshot(args)
    with pytest.raises(ValueError, match=message):
        getattr(quarnet, function)(**args)
    assert_untouched(saved)


def test_aliased_buffers_are_rejected():
    args = good_args("MAP_NH_noaccel")
    x = np.ones((6, 1))
    with pytest.raises(ValueError, match="x shares memory with w"):
        quarnet.MAP_NH_noaccel(**(args | {"x": x, "w": x.ravel()}))
    A = make_pointer(IDS)
    touse = A[0, 0]
    with pytest.raises(ValueError, match=r"touse shares memory with A\[0, 0\]"):
        quarnet.drop_singletons(np.zeros(6), A, touse)
    memory = np.ones(12)
    with pytest.raises(ValueError, match="result shares memory with x"):
        quarnet.cluster_meat(memory[8:].reshape(2, 2), memory.reshape(4, 3), np.ones((4, 1)), np.zeros(4, np.int64), 1)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_argument_names_order_and_count(function):
    args = good_args(function)
    getattr(quarnet, function)(*args.values())
    getattr(quarnet, function)(**good_args(function))
    with pytest.raises(TypeError):
        getattr(quarnet, function)(*list(args.values())[:-1])


@pytest.mark.parametrize("function", DEMEANING)
def test_python_code_between_iterations_cannot_rewrite_the_index(function, monkeypatch):
    """A progress line goes through sys.stdout, which may be any Python object: writing to
    the checked group index from there is refused (the index is read-only during the call)
    instead of sending the next pass out of bounds; afterwards the index is writable again."""
    import io
    import sys

    args = good_args(function) | {"verbose": 2}
    A = args["A"]

    class Rewriting(io.StringIO):
        def write(self, text):
            A[0, 0][0] = 10**12
            return super().write(text)

    monkeypatch.setattr(sys, "stdout", Rewriting())
    with pytest.raises(ValueError, match="read-only"):
        getattr(quarnet, function)(**args)
    assert all(a.flags.writeable for a in A.flat) and A[0, 0][0] != 10**12


def test_panelsetup_refuses_more_groups_than_the_ids_hold():
    result = np.zeros((4, 2), np.int64)
    with pytest.raises(ValueError, match=r"N2 = 4 differs from the number of groups in x\[0:N\] \(3\)"):
        quarnet.panelsetup(result, np.array([5, 5, 7, 7, 7, 9]), 6, 4)
    assert not result.any()
