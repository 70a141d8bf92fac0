"""Demeaning: extended precision, fixed points, iteration counts, progress, Ctrl-C."""

import ctypes
import os
import signal
import subprocess

import numpy as np
import pytest

from vantrel.backend import _bench_hooks, quarnet
from vantrel.backend.morlisk import make_pointer

ROUTINES = [
    pytest.param(quarnet.MAP_NH_noaccel, id="noaccel"),
    pytest.param(quarnet.MAP_NH_CG_accel, id="cg"),
]
EPS = 2.0**-52


GOMP = ctypes.CDLL("libgomp.so.1")  # the OpenMP runtime the kernel uses, already loaded


@pytest.fixture(autouse=True)
def restore_thread_count():
    """A positive n_threads persists process-wide: put the default back after each test."""
    before = GOMP.omp_get_max_threads()
    yield
    GOMP.omp_set_num_threads(before)


@pytest.fixture
def one_thread():
    """Runs the kernels on one thread so that column sums are plain sequential sums."""
    GOMP.omp_set_num_threads(1)


def slow_problem(seed=0, n_rows=120, weighted=False):
    """Two overlapping fixed effects, so that the iterations take many sweeps."""
    rng = np.random.default_rng(seed)
    first = rng.integers(0, 12, size=n_rows)
    second = np.where(rng.random(n_rows) < 0.8, first, rng.integers(0, 12, size=n_rows))
    A = make_pointer(np.column_stack([first, second]))
    x = rng.normal(size=(n_rows, 3)) + np.array([0.0, 100.0, -3e4])
    w = rng.uniform(0.5, 2.0, size=n_rows) if weighted else None
    return x, w, A


# ---- NumPy references with the kernels' rounding points --------------------------------


def ref_demean(x, w, sortvec, panelmat):
    for start, end in panelmat:
        if start > end:
            continue
        rows = sortvec[start : end + 1]
        block = x[rows]
        if w is None:
            total = np.cumsum(block.astype(np.longdouble), axis=0)[-1]  # sequential long double
            weight = np.longdouble(len(rows))
        else:
            total = np.cumsum((block * w[rows, None]).astype(np.longdouble), axis=0)[-1]
            weight = np.cumsum(w[rows].astype(np.longdouble))[-1]
        x[rows] = (block.astype(np.longdouble) - total / weight).astype(np.float64)


def ref_sweep(x, w, A):
    F = A.shape[0]
    for n in [*range(F), *range(F - 2, -1, -1)]:
        ref_demean(x, w, A[n, 0], A[n, 1])


def ref_quadcolsum(a, b, w):
    products = a * b if w is None else (a * w[:, None]) * b
    return np.cumsum(products.astype(np.longdouble), axis=0)[-1].astype(np.float64)


def ref_safe_divide(num, denom):
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(denom < EPS, num / EPS, num / denom)


def ref_noaccel(x, w, A, sweeps):
    """x after the given number of sweeps, and the update_error of each sweep."""
    x, errors = x.copy(), []
    for _ in range(sweeps):
        old = x.copy()
        ref_sweep(x, w, A)
        rel = np.abs(x - old) / (np.abs(old) + 1)
        if w is None:
            sum_w = float(len(x))
        else:
            rel, sum_w = rel * w[:, None], np.cumsum(w)[-1]
        errors.append(float(np.max(np.cumsum(rel, axis=0)[-1] / sum_w)))
    return x, errors


def ref_cg(x, w, A, iterations):
    """x after the given number of conjugate-gradient iterations, and each update_error."""
    x, errors = x.copy(), []

    def project(z):
        swept = z.copy()
        ref_sweep(swept, w, A)
        return z - swept

    improvement_potential = ref_quadcolsum(x, x, w)
    r = project(x)
    ssr = ref_quadcolsum(r, r, w)
    u = r.copy()
    for _ in range(iterations):
        v = project(u)
        alpha = ref_safe_divide(ssr, ref_quadcolsum(u, v, w))
        recent_ssr = ssr * alpha
        improvement_potential = improvement_potential - recent_ssr
        x, r = x - alpha * u, r - alpha * v
        ssr_old, ssr = ssr, ref_quadcolsum(r, r, w)
        u = ref_safe_divide(ssr, ssr_old) * u + r
        numerator = np.where(recent_ssr < 1e-15, 0.0, recent_ssr)
        denominator = np.where(improvement_potential >= EPS, improvement_potential, EPS)
        q = numerator / denominator
        errors.append(float(np.sqrt(max([0.0, *q[~np.isnan(q)]]))))
    return x, errors


REFERENCES = {quarnet.MAP_NH_noaccel: ref_noaccel, quarnet.MAP_NH_CG_accel: ref_cg}

# ---- extended precision -----------------------------------------------------------------


@pytest.mark.parametrize("weighted", [pytest.param(False, id="unweighted"), pytest.param(True, id="weighted")])
def test_group_demeaning_is_bit_exact_long_double(weighted):
    rng = np.random.default_rng(1)
    n_rows = 2000
    # Huge offsets next to small values: a double running sum loses the small parts.
    x = rng.normal(size=(n_rows, 6)) + rng.choice([1e16, -1e16, 3e15], size=(n_rows, 6))
    w = rng.uniform(0.1, 3.0, size=n_rows) if weighted else None
    A = make_pointer(rng.integers(0, 7, size=(n_rows, 1)))
    expected = x.copy()
    ref_demean(expected, w, A[0, 0], A[0, 1])
    in_double = x.copy()  # the same demeaning with double sums: must differ, or the test has no teeth
    for start, end in A[0, 1]:
        rows = A[0, 0][start : end + 1]
        in_double[rows] -= np.cumsum(in_double[rows], axis=0)[-1] / len(rows)
    assert not np.allclose(in_double, expected, rtol=0, atol=1e-3)

    result = _bench_hooks.sweep(x, w, A, 2)
    assert result is x
    assert np.array_equal(x, expected)


def test_sweep_order_is_forward_then_backward():
    rng = np.random.default_rng(2)
    ids = rng.integers(0, 9, size=(150, 3))
    A = make_pointer(ids)
    x = rng.normal(size=(150, 2))
    expected = x.copy()
    for n in [0, 1, 2, 1, 0]:
        single = np.empty((1, 2), dtype=object)
        single[0, 0], single[0, 1] = A[n, 0], A[n, 1]
        _bench_hooks.sweep(expected, None, single, 0)
    _bench_hooks.sweep(x, None, A, 0)
    assert np.array_equal(x, expected)


# ---- fixed point: residuals of least squares on all group dummies ----------------------


def dummy_residuals(x, w, ids):
    D = np.hstack([np.eye(ids[:, j].max() + 1)[ids[:, j]] for j in range(ids.shape[1])])
    sw = np.sqrt(np.ones(len(x)) if w is None else w)
    coef = np.linalg.lstsq(D * sw[:, None], x * sw[:, None], rcond=None)[0]
    return x - D @ coef


@pytest.mark.parametrize("routine", ROUTINES)
@pytest.mark.parametrize(
    "n_fe, weighted",
    [
        pytest.param(1, False, id="one_fe"),
        pytest.param(2, False, id="two_fe"),
        pytest.param(3, False, id="three_fe"),
        pytest.param(2, True, id="two_fe_weighted"),
    ],
)
def test_demeaning_matches_dummy_regression(routine, n_fe, weighted):
    rng = np.random.default_rng(10 + n_fe)
    n_rows = 300
    ids = np.column_stack([rng.integers(0, g, size=n_rows) for g in (25, 8, 5)[:n_fe]])
    x = rng.normal(size=(n_rows, 3)) * [1.0, 10.0, 0.1] + ids @ rng.normal(size=(n_fe, 3))
    w = rng.uniform(0.2, 5.0, size=n_rows) if weighted else None
    expected = dummy_residuals(x, w, ids)
    result = routine(x, w, make_pointer(ids), 1e-12, 0, 100_000, 0, 2)
    assert result is x
    np.testing.assert_allclose(x, expected, atol=1e-8)


def test_noaccel_is_independent_of_the_thread_count():
    x1, w, A = slow_problem(3, weighted=True)
    x2 = x1.copy()
    quarnet.MAP_NH_noaccel(x1, w, A, 1e-6, 0, 10_000, 0, 1)
    quarnet.MAP_NH_noaccel(x2, w, A, 1e-6, 0, 10_000, 0, 2)
    assert np.array_equal(x1, x2)


# ---- iteration counts and convergence measure ------------------------------------------


@pytest.mark.parametrize("routine", ROUTINES)
@pytest.mark.parametrize("weighted", [pytest.param(False, id="unweighted"), pytest.param(True, id="weighted")])
@pytest.mark.parametrize(
    "tol, miniter, maxiter, iterations, converges",
    [
        pytest.param(np.inf, 0, 50, 2, True, id="earliest_at_count_1"),
        pytest.param(np.inf, 5, 50, 7, True, id="miniter_5"),
        pytest.param(np.inf, -1, 50, 1, True, id="negative_miniter"),
        pytest.param(np.inf, 0, 1, 1, False, id="maxiter_1"),
        pytest.param(np.inf, 3, 4, 4, False, id="maxiter_before_miniter_passed"),
        pytest.param(np.inf, 3, 5, 5, True, id="converges_in_last_iteration"),
        pytest.param(0.0, 0, 6, 6, False, id="exhausted"),
    ],
)
def test_iterations_match_reference(one_thread, routine, weighted, tol, miniter, maxiter, iterations, converges):
    x, w, A = slow_problem(4, weighted=weighted)
    expected, errors = REFERENCES[routine](x, w, A, iterations)
    if converges:
        assert routine(x, w, A, tol, miniter, maxiter, 0, 0) is x
    else:
        with pytest.raises(ValueError, match="^demeaning did not converge$"):
            routine(x, w, A, tol, miniter, maxiter, 0, 0)
    assert np.array_equal(x, expected)
    assert len(set(errors)) == len(errors)  # every iteration really moved


@pytest.mark.parametrize("routine", ROUTINES)
def test_verbose_output_reports_the_reference_errors(one_thread, routine, capsys):
    x, w, A = slow_problem(5)
    _, errors = REFERENCES[routine](x, w, A, 23)
    routine(x, w, A, np.inf, 21, 1000, 2, 0)
    lines = capsys.readouterr().out.splitlines()
    assert lines == [f"0 {errors[0]!r}", f"10 {errors[10]!r}", f"20 {errors[20]!r}", "demeaning converged"]
    routine(x, w, A, np.inf, 0, 1000, 1, 0)
    assert capsys.readouterr().out == "demeaning converged\n"


@pytest.mark.parametrize("routine", ROUTINES)
@pytest.mark.parametrize("maxiter", [0, -2])
def test_maxiter_not_positive_raises_without_touching_x(routine, maxiter):
    x, w, A = slow_problem(6)
    before = x.copy()
    with pytest.raises(ValueError, match="^demeaning did not converge$"):
        routine(x, w, A, 1e-8, 0, maxiter, 2, 0)
    assert np.array_equal(x, before)


def test_cg_on_demeaned_data_returns_x_unchanged(one_thread, capsys):
    rng = np.random.default_rng(7)
    ids = np.repeat(np.arange(10), 5).reshape(-1, 1)
    x = rng.normal(size=(50, 2))
    x[:, 0] = 0.0  # exactly zero group means, so r = 0 and every step is 0
    x[:, 1] = np.tile([-2.0, -1.0, 0.0, 1.0, 2.0], 10)
    before = x.copy()
    quarnet.MAP_NH_CG_accel(x, None, make_pointer(ids), 1e-9, 3, 100, 2, 0)
    assert np.array_equal(x, before)
    assert capsys.readouterr().out == "0 0.0\ndemeaning converged\n"  # converged at count 4


def test_nan_column_does_not_block_convergence():
    x, w, A = slow_problem(8)
    x[3, 1] = np.nan
    quarnet.MAP_NH_noaccel(x, w, A, 1e-6, 0, 10_000, 0, 0)
    assert np.isnan(x[:, 1]).any() and np.isfinite(x[:, [0, 2]]).all()


# ---- Ctrl-C ----------------------------------------------------------------------------


@pytest.mark.parametrize("routine", ROUTINES)
def test_ctrl_c_interrupts_a_long_demeaning(routine):
    x, w, A = slow_problem(9, n_rows=60)
    before = x.copy()
    # A process started in the background of a shell without job control inherits SIGINT
    # ignored, and Python then raises no KeyboardInterrupt: the call below would never end.
    # The test takes Python's own handler for its duration.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    # The routines hold the GIL, so no Python thread of this process could send the signal
    # while they run: it comes from outside, as a terminal's Ctrl-C does.
    killer = subprocess.Popen(["/bin/sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
    try:
        with pytest.raises(KeyboardInterrupt):
            # Neither way out but the signal: an error below tol 0 is impossible, and no
            # machine, however loaded, sweeps 2**62 times before the signal arrives.
            routine(x, w, A, 0.0, 0, 2**62, 0, 0)
    finally:
        killer.kill()
        killer.wait()
        signal.signal(signal.SIGINT, previous)
    assert not np.array_equal(x, before) and np.isfinite(x).all()


def _unweighted_errors(x, w, A, sweeps):
    """The plain iteration's measure on the weighted iterates, but with every row counted alike."""
    x, errors = x.copy(), []
    for _ in range(sweeps):
        old = x.copy()
        ref_sweep(x, w, A)
        errors.append(float(np.max(np.mean(np.abs(x - old) / (np.abs(old) + 1), axis=0))))
    return errors


def _iterations_to(errors, tol):
    """Iterations the routines make at miniter 0: they stop at the first count >= 1 below tol."""
    return next(count for count in range(1, len(errors)) if errors[count] < tol) + 1


def test_weighted_plain_iteration_stops_on_the_weighted_measure(one_thread):
    x, w, A = slow_problem(4, weighted=True)
    _, errors = ref_noaccel(x, w, A, 60)
    unweighted = _unweighted_errors(x, w, A, 60)
    # a finite tolerance at which the two measures stop at different counts
    candidates = sorted(set(errors[2:40]) | set(unweighted[2:40]))
    tol = next(
        t * (1 + 1e-9)
        for t in candidates
        if _iterations_to(errors, t * (1 + 1e-9)) != _iterations_to(unweighted, t * (1 + 1e-9))
    )
    iterations = _iterations_to(errors, tol)
    expected, _ = ref_noaccel(x, w, A, iterations)
    assert quarnet.MAP_NH_noaccel(x, w, A, tol, 0, 1000, 0, 0) is x
    assert np.array_equal(x, expected)
