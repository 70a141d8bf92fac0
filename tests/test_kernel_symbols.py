"""The exported native kernels, called as plain C functions through ctypes."""

import ctypes
import re

import numpy as np
import pytest

from vantrel.backend import quarnet
from vantrel.backend.morlisk import make_pointer

LIB = ctypes.CDLL(quarnet.__file__)
GOMP = ctypes.CDLL("libgomp.so.1")  # the runtime the module is linked against, already loaded
I64, INT = ctypes.c_int64, ctypes.c_int


def ptr(a):
    return a.ctypes.data_as(ctypes.c_void_p)


@pytest.fixture
def restore_thread_count():
    before = GOMP.omp_get_max_threads()
    yield
    GOMP.omp_set_num_threads(before)


def test_subtract_arrays_inplace_is_b_minus_a():
    a, b = np.array([1.0, 2.0]), np.array([5.0, 5.0])
    LIB.subtract_arrays_inplace(ptr(a), ptr(b), I64(2), INT(0))
    assert a.tolist() == [4.0, 3.0]


@pytest.mark.parametrize(
    "w, expected",
    [pytest.param(None, [35.0, 56.0], id="unweighted"), pytest.param([1.0, 0.0, 2.0], [51.0, 76.0], id="weighted")],
)
def test_quadcolsum_examples(w, expected):
    a = np.array([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]])
    res = np.zeros(2)
    if w is None:
        LIB.quadcolsum_inplace(ptr(res), ptr(a), ptr(a), I64(3), I64(2), INT(0))
    else:
        w = np.array(w)
        LIB.weighted_quadcolsum_inplace(ptr(res), ptr(a), ptr(a), ptr(w), I64(3), I64(2), INT(0))
    assert res.tolist() == expected


def test_quadcolsum_accumulates_rounded_products_in_long_double(restore_thread_count):
    rng = np.random.default_rng(5)
    a = rng.normal(size=(1000, 2)) * 10.0 ** rng.integers(-8, 9, size=(1000, 2))
    b = rng.normal(size=(1000, 2))
    res = np.zeros(2)
    LIB.quadcolsum_inplace(ptr(res), ptr(a), ptr(b), I64(1000), I64(2), INT(1))
    products = (a * b).astype(np.longdouble)  # rounded to double first, then widened
    expected = np.cumsum(products, axis=0)[-1].astype(np.float64)  # sequential long double sum
    assert np.array_equal(res, expected)
    assert not np.array_equal(expected, np.cumsum(a * b, axis=0)[-1])  # double summing would differ


def test_transforms():
    rng = np.random.default_rng(6)
    x, r, u, v = (rng.normal(size=(5, 2)) for _ in range(4))
    alpha, beta = np.array([0.5, -2.0]), np.zeros(2)
    x_expected, r_expected = x - alpha * u, r - alpha * v
    LIB.transform_1(ptr(alpha), ptr(x), ptr(r), ptr(u), ptr(v), I64(5), I64(2), INT(0))
    assert np.array_equal(x, x_expected) and np.array_equal(r, r_expected)
    LIB.transform_2(ptr(beta), ptr(u), ptr(r), I64(5), I64(2), INT(0))
    assert np.array_equal(u, r)


def test_demean_kernels_on_edge_groups():
    x = np.array([[1.0, 10.0], [3.0, 20.0], [5.0, 30.0], [8.0, 40.0]])
    sortvec = np.array([0, 1, 2, 3])
    panelmat = np.array([[0, 1], [2, 2], [3, 2]])  # a pair, a single row, an empty group
    LIB.demean_array_inplace(ptr(x), ptr(sortvec), ptr(panelmat), I64(2), I64(3), INT(0))
    assert x.tolist() == [[-1.0, -5.0], [1.0, 5.0], [0.0, 0.0], [8.0, 40.0]]


def test_weighted_demean_with_unit_weights_equals_unweighted():
    rng = np.random.default_rng(7)
    x = rng.normal(size=(300, 5)) + 1e6
    A = make_pointer(rng.integers(0, 20, size=(300, 1)))
    sortvec, panelmat = A[0, 0], A[0, 1]
    y, w = x.copy(), np.ones(300)
    LIB.demean_array_inplace(ptr(x), ptr(sortvec), ptr(panelmat), I64(5), I64(len(panelmat)), INT(0))
    LIB.weighted_demean_array_inplace(ptr(y), ptr(w), ptr(sortvec), ptr(panelmat), I64(5), I64(len(panelmat)), INT(0))
    assert np.array_equal(x, y)


def hello_lines(out):
    return re.findall(r"^Hello world from omp thread (\d+)$", out, flags=re.M)


def test_test_omp_output(capfd, restore_thread_count):
    LIB.test_omp(INT(2))
    out = capfd.readouterr().out
    assert out.startswith("\nInput is 2\n\nomp_get_max_threads() is ")
    assert out.count(">>> omp_get_num_threads() is now 2\n") == 2
    threads = hello_lines(out)
    assert len(threads) == 50 and threads.count("0") == 25 and threads.count("1") == 25


def test_thread_count_persists_across_calls(capfd, restore_thread_count):
    x = np.random.default_rng(8).normal(size=(40, 2))
    A = make_pointer(np.arange(40).reshape(-1, 1) % 4)
    quarnet.MAP_NH_noaccel(x, None, A, 1e-8, 0, 10, 0, 3)
    quarnet.MAP_NH_CG_accel(x, None, A, 1e-8, 0, 10, 0, 0)  # 0 leaves the count of 3 in force
    LIB.test_omp(INT(0))
    out = capfd.readouterr().out
    assert "omp_get_max_threads() is 3\n" in out
    assert out.count(">>> omp_get_num_threads() is now 3\n") == 3
    assert len(hello_lines(out)) == 50
    quarnet.MAP_NH_noaccel(x, None, A, 1e-8, 0, 10, 0, -1)
    assert GOMP.omp_get_max_threads() == 3
