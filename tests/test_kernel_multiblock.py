"""The coefficient-space solver on three and four large, weakly connected fixed effects: the
exact factor of the whole normal equations ("exact full") and the sum of every pair's block
inverted ("additive pairs"), against least squares on the dummy matrix, with the path taken
asserted by the name the solver reports."""

import ctypes
import os
import re
import signal
import subprocess

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_kernel_coefficients import (
    aggregates,
    compact,
    dense_residuals,
    level_ids,
    small_panels,
    sorted_rows,
    weighted_error,
)

from vantrel.backend import quarnet
from vantrel.backend.morlisk import make_pointer

GOMP = ctypes.CDLL("libgomp.so.1")


@pytest.fixture(autouse=True)
def restore_thread_count():
    before = GOMP.omp_get_max_threads()
    yield
    GOMP.omp_set_num_threads(before)


def banded(n, n_fe, rng):
    """The benchmark's banded design: over a random order i of the rows a = i // 20 and the
    k-th further effect (i // 20 + U{0..k}) // (k + 1): every level meets only neighbouring
    levels of the other effects, so every pair, and the whole graph, is a long chain."""
    base = rng.permutation(n) // 20
    return np.column_stack([base] + [(base + rng.integers(0, k + 1, n)) // (k + 1) for k in range(1, n_fe)])


def lattice_panel(side, rng):
    """The banded design on a 2-D lattice of side x side cells (20 rows per cell): the exact
    factor of any pair's block is over its budget, and the pair block alone crawls."""
    n = side * side * 20
    u, v = rng.integers(0, side, n), rng.integers(0, side, n)
    cols = [u * side + v]
    for width in (2, 3):
        cols.append(
            (u + rng.integers(0, width, n)) // width * (side // width + 2) + (v + rng.integers(0, width, n)) // width
        )
    return compact(np.column_stack(cols))


def graph(name, rng):
    """Id columns of three or more effects whose slow modes pass through more than one pair."""
    if name == "banded":
        return banded(1200, 4, rng)
    if name == "elsewhere":  # a large and well mixed, b and c a chain of their own
        i = rng.permutation(1600)
        return np.column_stack([rng.integers(0, 80, 1600), i // 40, (i // 40 + rng.integers(0, 2, 1600)) // 2])
    if name == "two_chains":  # a-b one chain, c-d another, the two mixed at random
        i, j = rng.permutation(1600), rng.permutation(1600)
        return np.column_stack([i // 20, (i // 20 + rng.integers(0, 2, 1600)) // 2, j // 30,
                                (j // 30 + rng.integers(0, 2, 1600)) // 2])  # fmt: skip
    if name == "lattice":
        return lattice_panel(10, rng)
    if name == "nested":  # c nested in a and d the same as b: more null directions than F - 1
        ids = banded(1200, 2, rng)
        return np.column_stack([ids, ids[:, 0] // 4, ids[:, 1]])
    if name == "blocks":  # three banded blocks that share no level, a year effect across them
        parts = [banded(500, 3, rng) + 1000 * k for k in range(3)]
        return np.column_stack([np.vstack(parts), rng.integers(0, 5, 1500)])
    if name == "expander":  # three effects of 250 levels at random: the whole factor fills in
        return rng.integers(0, 250, size=(3000, 3))
    raise ValueError(name)


CASES = [
    # (graph, effects used, preconditioner requested, preconditioner expected)
    ("banded", 3, "auto", "exact full"),  # the pair block's own rate is too slow; the whole factor fits
    ("banded", 4, "auto", "exact full"),
    ("banded", 3, "pairs", "additive pairs"),
    ("banded", 4, "pairs", "additive pairs"),
    ("banded", 4, "full", "exact full"),
    ("banded", 2, "pairs", "exact pair"),  # two effects: the pairs are the pair block
    ("banded", 2, "full", "exact pair"),
    ("elsewhere", 3, "pairs", "additive pairs"),
    ("elsewhere", 3, "full", "exact full"),
    ("two_chains", 4, "pairs", "additive pairs"),
    ("two_chains", 4, "auto", "exact full"),
    ("lattice", 3, "pairs", "additive pairs"),
    ("lattice", 3, "full", "exact full"),
    ("nested", 4, "full", "exact full"),
    ("nested", 4, "pairs", "additive pairs"),
    ("blocks", 4, "full", "exact full"),
    ("blocks", 4, "pairs", "additive pairs"),
    ("expander", 3, "full", "additive pairs"),  # the whole factor is over its budget
]

WEIGHTS = ["unweighted", "zeros", "spread"]


def weights(kind, n, rng):
    if kind == "unweighted":
        return None
    if kind == "zeros":  # rows that count for nothing
        return rng.uniform(0.2, 3.0, n) * (rng.random(n) > 0.1)
    return 10.0 ** rng.uniform(-4, 4, n)  # eight decades


@pytest.mark.parametrize("form", ["group index", "int64 ids"])
@pytest.mark.parametrize("weighting", WEIGHTS)
@pytest.mark.parametrize("name, n_fe, requested, expected", CASES, ids=[f"{c[0]}{c[1]}-{c[2]}" for c in CASES])
def test_residuals_equal_dense_least_squares(name, n_fe, requested, expected, weighting, form):
    rng = np.random.default_rng(sum(map(ord, name)) + n_fe)
    ids = compact(graph(name, rng)[:, :n_fe])
    n = len(ids)
    w = weights(weighting, n, rng)
    # Columns of size ~100 with offsets, and one the effects absorb entirely.
    x = 100 * rng.normal(size=(n, 3)) + np.array([0.0, 5e3, -3e4]) + 10 * ids[:, :1]
    x[:, 2] = sum(rng.normal(size=c.max() + 1)[c] for c in ids.T) * 50
    demeaned = x.copy()
    report = quarnet.COEF_PCG_demean(demeaned, w, level_ids(ids, form), 1e-12, 0, 5000, 0, 0, requested)
    assert report["preconditioner"] == expected
    assert weighted_error(x, demeaned, dense_residuals(x, ids, w), w).max() < 1e-9


def test_the_automatic_choice_reports_its_reason():
    """auto: Jacobi, and when Jacobi's rate is slow, the whole factor if it fits (the pair
    block is exact and the cells are few); the reason names the rate and the factor."""
    rng = np.random.default_rng(1)
    ids = banded(3000, 3, rng)
    x = rng.normal(size=(3000, 2))
    report = quarnet.COEF_PCG_demean(x, None, ids, 1e-9, 0, 1000, 0, 0)
    assert report["preconditioner"] == "exact full"
    levels = int((ids.max(axis=0) + 1).sum())
    cells = sum(len(np.unique(ids[:, [f, g]], axis=0)) for f, g in ((0, 1), (0, 2), (1, 2)))
    assert re.fullmatch(
        rf"Jacobi rate 0\.\d{{4}} per iteration predicts \d+ more iterations; "
        rf"exact factor of the normal equations on {levels} levels, {cells} cells",
        report["reason"],
    )
    # The pair block alone, forced: the slow solve that the automatic choice avoids.
    alone = quarnet.COEF_PCG_demean(rng.normal(size=(3000, 2)), None, ids, 1e-9, 0, 5000, 0, 0, "exact")
    assert alone["iterations"] > 5 * report["iterations"]


def test_the_pair_block_stays_where_the_whole_factor_is_over_budget():
    """Three effects, the third with few levels met by every level of the others (a year):
    the whole factor would fill in, so the pair block serves, and the reason says why."""
    rng = np.random.default_rng(3)
    ids = banded(30_000, 2, rng)
    ids = np.column_stack([ids, rng.integers(0, 40, len(ids))])
    report = quarnet.COEF_PCG_demean(rng.normal(size=(len(ids), 2)), None, ids, 1e-9, 0, 1000, 0, 0)
    assert report["preconditioner"] == "exact pair"
    not_built = r"\(exact full factor not built: the (whole|exact) factor would hold .* over the budget"
    assert re.search(not_built, report["reason"])


def test_additive_pairs_when_no_exact_factor_fits_and_the_same_bits_on_1_2_3_threads():
    """288,000 rows on a lattice: the pair block is approximate and slow, so additive pairs
    take over (about 50 iterations where the pair block alone needs several hundred); the
    residuals satisfy every effect's normal equations (each level's weighted residual sum
    is zero) and are the same, bit for bit, on 1, 2 and 3 threads."""
    rng = np.random.default_rng(6)
    ids = lattice_panel(120, rng)
    n = len(ids)
    w = rng.uniform(0.5, 2.0, n)
    w[rng.random(n) < 0.05] = 0.0
    x = rng.normal(size=(n, 2)) + np.sin(ids[:, :1])
    runs = []
    for threads in (1, 2, 3):
        run = x.copy()
        report = quarnet.COEF_PCG_demean(run, w, ids, 1e-10, 0, 2000, 0, threads)
        assert report["preconditioner"] == "additive pairs"
        assert "then the approximate pair's rate" in report["reason"] and "3 pair blocks" in report["reason"]
        assert report["iterations"] < 150
        runs.append(run)
    assert all(np.array_equal(runs[0], run) for run in runs[1:])
    scale = np.abs(x).max()
    for col in ids.T:
        sums = np.stack([np.bincount(col, weights=w * runs[0][:, j]) for j in range(2)], axis=1)
        mass = np.bincount(col, weights=w)[:, None] * scale
        assert (np.abs(sums) / np.maximum(mass, 1e-300)).max() < 1e-8


@pytest.mark.parametrize("requested", ["auto", "full", "pairs"])
@pytest.mark.parametrize("layout", ["scattered", "sorted"])
def test_the_same_bits_on_1_2_and_3_threads(requested, layout):
    rng = np.random.default_rng(8)
    ids = banded(40_000, 4, rng)
    if layout == "sorted":
        ids = ids[np.argsort(ids[:, 0], kind="stable")]
    w = 10.0 ** rng.uniform(-2, 2, len(ids))
    x = rng.normal(size=(len(ids), 3)) + ids[:, 1:2] % 5
    runs, names = [], set()
    for threads, A in ((1, ids), (2, ids), (3, ids), (1, make_pointer(ids)), (2, make_pointer(ids))):
        run = x.copy()
        names.add(quarnet.COEF_PCG_demean(run, w, A, 1e-10, 0, 2000, 0, threads, requested)["preconditioner"])
        runs.append(run)
    assert names == {"additive pairs" if requested == "pairs" else "exact full"}
    assert all(np.array_equal(runs[0], run) for run in runs[1:3])
    assert np.array_equal(runs[3], runs[4])  # the group index orders the rows as its own
    assert np.abs(runs[0] - runs[3]).max() < 1e-9 * np.abs(x).max()


@pytest.mark.parametrize("entry", ["cells", "rows uint16", "rows uint32, smaller segment"])
@pytest.mark.parametrize("name, n_fe, requested, expected", [c for c in CASES if c[1] >= 3 and c[2] != "auto"],
                         ids=[f"{c[0]}{c[1]}-{c[2]}" for c in CASES if c[1] >= 3 and c[2] != "auto"])  # fmt: skip
def test_aggregated_entries_give_the_dummy_residuals(name, n_fe, requested, expected, entry):
    """From counts and every pair's cells, or from counts and the rows sorted by one effect
    (the largest, or the last, whatever its size): v minus the returned coefficients of each
    row's levels is the least-squares residual."""
    rng = np.random.default_rng(sum(map(ord, name)))
    ids = compact(graph(name, rng)[:, :n_fe])
    x = 100 * rng.normal(size=(len(ids), 2)) + 10 * ids[:, :1]
    w = rng.uniform(0.2, 3.0, len(ids))
    counts, sums, pairs, sumsq = aggregates(x, ids, w)
    if entry == "cells":
        alphas, report = quarnet.COEF_PCG_cells(counts, sums, pairs, sumsq, len(ids), 1e-12, 0, 5000, 0, 0, requested)
    else:
        segment = int(np.argmax(ids.max(axis=0))) if "uint16" in entry else n_fe - 1
        rows = sorted_rows(ids, w, segment, np.uint16 if "uint16" in entry else np.uint32)
        alphas, report = quarnet.COEF_PCG_rows(counts, sums, sumsq, segment, *rows, 1e-12, 0, 5000, 0, 0, requested)
    assert report["preconditioner"] == expected
    residuals = x - sum(alpha[ids[:, f]] for f, alpha in enumerate(alphas))
    assert weighted_error(x, residuals, dense_residuals(x, ids, w), w).max() < 1e-9


def test_rows_outside_every_group():
    """Group-index tables without some groups: those rows keep that effect's part at zero (no
    dummy), as in the sweeps; the whole factor drops the pivots of the empty levels."""
    rng = np.random.default_rng(9)
    ids = compact(banded(1500, 3, rng))
    x = rng.normal(size=(len(ids), 2))
    A = make_pointer(ids)
    A[0, 1] = A[0, 1][1:].copy()  # the first level of effect 0 is no group
    A[2, 1] = A[2, 1][:-1].copy()  # nor the last of effect 2
    keep = [ids[:, 0] != 0, np.ones(len(ids), bool), ids[:, 2] != ids[:, 2].max()]
    D = np.hstack([np.eye(c.max() + 1)[c] * k[:, None] for c, k in zip(ids.T, keep, strict=True)])
    reference = x - D @ np.linalg.lstsq(D, x, rcond=None)[0]
    for requested in ("full", "pairs"):
        demeaned = x.copy()
        quarnet.COEF_PCG_demean(demeaned, None, A, 1e-12, 0, 5000, 0, 0, requested)
        assert np.abs(demeaned - reference).max() < 1e-10 * np.abs(reference).max()


@settings(max_examples=300, deadline=None, derandomize=True, database=None, suppress_health_check=list(HealthCheck))
@given(small_panels(), st.sampled_from(["pairs", "full"]),
       st.sampled_from(["group index", "int64 ids", "int32 ids"]), st.integers(1, 3))  # fmt: skip
def test_random_small_panels_against_dense_least_squares(panel, requested, form, threads):
    """The awkward panels of the pair block's tests (nested, repeated, chained, disconnected,
    constant and one-level-per-row effects; zero, integer and widely spread weights)."""
    ids, w, x = panel
    demeaned = x.copy()
    quarnet.COEF_PCG_demean(demeaned, w, level_ids(ids, form), 1e-11, 0, 20000, 0, threads, requested)
    assert weighted_error(x, demeaned, dense_residuals(x, ids, w), w).max() < 1e-8


@settings(max_examples=150, deadline=None, derandomize=True, database=None, suppress_health_check=list(HealthCheck))
@given(small_panels(), st.sampled_from(["pairs", "full"]), st.sampled_from(["cells", "rows"]))
def test_random_small_panels_through_the_aggregated_entries(panel, requested, entry):
    ids, w, x = panel
    counts, sums, pairs, sumsq = aggregates(x, ids, w)
    if entry == "cells":
        alphas, _ = quarnet.COEF_PCG_cells(counts, sums, pairs, sumsq, len(ids), 1e-11, 0, 20000, 0, 1, requested)
    else:
        segment = ids.shape[1] - 1
        rows = sorted_rows(ids, w, segment, np.uint32)
        alphas, _ = quarnet.COEF_PCG_rows(counts, sums, sumsq, segment, *rows, 1e-11, 0, 20000, 0, 1, requested)
    residuals = x - sum(alpha[ids[:, f]] for f, alpha in enumerate(alphas))
    assert weighted_error(x, residuals, dense_residuals(x, ids, w), w).max() < 1e-6


@pytest.mark.parametrize("requested", ["auto", "full", "pairs"])
def test_ctrl_c_interrupts_between_iterations_and_leaves_x_untouched(requested):
    rng = np.random.default_rng(10)
    ids = banded(20_000, 3, rng)
    x = rng.normal(size=(len(ids), 2))
    before = x.copy()
    # As in the sweeps' test: Python's own handler for the test's duration (a suite started in
    # the background inherits SIGINT ignored), the signal from outside the process.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    killer = subprocess.Popen(["/bin/sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
    try:
        with pytest.raises(KeyboardInterrupt):
            # tol 0 is never reached: only the signal ends the call
            quarnet.COEF_PCG_demean(x, None, ids, 0.0, 0, 2**62, 0, 0, requested)
    finally:
        killer.kill()
        killer.wait()
        signal.signal(signal.SIGINT, previous)
    assert np.array_equal(x, before)


@pytest.mark.parametrize("entry", ["COEF_PCG_demean", "COEF_PCG_cells"])
@pytest.mark.parametrize("bad", ["pair", "Full", "additive pairs", ""])
def test_an_unknown_preconditioner_is_refused_before_any_work(entry, bad):
    rng = np.random.default_rng(2)
    ids = banded(400, 3, rng)
    x = rng.normal(size=(400, 2))
    before = x.copy()
    message = f"preconditioner must be one of 'auto', 'jacobi', 'exact', 'approx', 'pairs', 'full', got '{bad}'"
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(") + "$"):
        if entry == "COEF_PCG_demean":
            quarnet.COEF_PCG_demean(x, None, ids, 1e-9, 0, 100, 0, 0, bad)
        else:
            counts, sums, pairs, sumsq = aggregates(x, ids)
            quarnet.COEF_PCG_cells(counts, sums, pairs, sumsq, 400, 1e-9, 0, 100, 0, 0, bad)
    assert np.array_equal(x, before)
