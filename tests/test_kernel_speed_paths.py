"""The coefficient solver's faster passes must not move a bit.

Its passes over the rows and D'WD's pass have loops with compile-time column counts for 1 to
16 columns (a run-time loop beyond), and a session checks its ids and weights inside the
passes that read them anyway. Oracles: the run-time loop itself (a block wider than 16
columns made of copies of a narrower one: each column's arithmetic does not depend on the
others', and copies keep the convergence measure, so the copies must come out to the bit as
the narrow block does), a permutation of the columns, the serial solve (2 threads), a fresh
solve of the same request (same bits), and numpy's dummy-variable least squares (to 1e-9).
"""

import pickle

import numpy as np
import pytest

from vantrel.backend import quarnet

TOL, MAXITER = 1e-12, 10_000
N = 3_000


def _panel(effects, seed=4, levels=(40, 25, 7)):
    """N rows of `effects` crossed effects (`levels` levels), columns that load on them."""
    rng = np.random.default_rng(seed)
    ids = np.asfortranarray(np.column_stack([rng.integers(0, g, N) for g in levels[:effects]]))
    return ids, rng


def _block(rng, ids, K):
    signal = sum(np.cos(ids[:, f][:, None] * (f + 1.0) * np.arange(1, K + 1)) for f in range(ids.shape[1]))
    return np.ascontiguousarray(rng.standard_normal((N, K)) + 3.0 * signal)


def _solve(block, w, ids, threads=0, mode="auto"):
    out = block.copy()
    report = quarnet.COEF_PCG_demean(out, w, ids, TOL, 0, MAXITER, 0, threads, mode)
    return out, report


def _session_solve(block, w, ids, threads=0):
    out = block.copy()
    report = quarnet.CoefSession(ids).demean(out, w, TOL, 0, MAXITER, 0, threads, "auto")
    return out, report


SOLVERS = {"ids": _solve, "session": _session_solve}
# (narrow block's columns, copies): the wide block runs the run-time loop (more than 16
# columns) or another compile-time count than the narrow block
COPIES = [(5, 2), (6, 2), (8, 2), (10, 2), (9, 2), (3, 6), (4, 5), (2, 8), (7, 3), (1, 17)]


# the last: a first effect with a level per 2.5 rows, whose sums a session forms by position
# (its buffers by block of rows would outgrow the rows)
LEVELS = {"two": (40, 25), "three": (40, 25, 7), "three-many": (1200, 25, 7)}


@pytest.mark.parametrize("solver", list(SOLVERS), ids=list(SOLVERS))
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("effects", list(LEVELS), ids=list(LEVELS))
@pytest.mark.parametrize("K, copies", COPIES, ids=[f"{k}x{c}" for k, c in COPIES])
def test_copies_of_a_block_come_out_as_the_block(K, copies, effects, weighted, solver):
    ids, rng = _panel(len(LEVELS[effects]), levels=LEVELS[effects])
    block = _block(rng, ids, K)
    w = rng.uniform(0.2, 3.0, N) if weighted else None
    narrow, narrow_report = SOLVERS[solver](block, w, ids)
    wide, wide_report = SOLVERS[solver](np.ascontiguousarray(np.tile(block, copies)), w, ids)
    assert wide_report["iterations"] == narrow_report["iterations"]
    assert wide_report["preconditioner"] == narrow_report["preconditioner"]
    for c in range(copies):
        assert np.array_equal(wide[:, c * K : (c + 1) * K], narrow), c


@pytest.mark.parametrize("K", [5, 6, 10, 12, 16, 18], ids=lambda k: f"K{k}")
def test_permuted_columns_come_out_permuted(K):
    ids, rng = _panel(3, seed=8)
    block = _block(rng, ids, K)
    order = np.random.default_rng(K).permutation(K)
    out, _ = _solve(block, None, ids)
    permuted, _ = _solve(np.ascontiguousarray(block[:, order]), None, ids)
    assert np.array_equal(permuted, out[:, order])


@pytest.mark.parametrize("solver", list(SOLVERS), ids=list(SOLVERS))
@pytest.mark.parametrize("K", [1, 4, 5, 8, 11, 16, 20], ids=lambda k: f"K{k}")
def test_threads_do_not_change_a_bit(K, solver):
    ids, rng = _panel(3, seed=9)
    block = _block(rng, ids, K)
    w = rng.uniform(0.5, 2.0, N)
    serial, _ = SOLVERS[solver](block, w, ids, threads=1)
    parallel, _ = SOLVERS[solver](block, w, ids, threads=2)
    assert np.array_equal(serial, parallel)


def _dummy_residuals(block, w, ids):
    """Residuals of the weighted least squares of each column on every effect's dummies."""
    D = np.column_stack([np.eye(ids[:, f].max() + 1)[ids[:, f]] for f in range(ids.shape[1])])
    root = np.sqrt(w)[:, None]
    coef = np.linalg.lstsq(D * root, block * root, rcond=None)[0]
    return block - D @ coef


@pytest.mark.parametrize("solver", list(SOLVERS), ids=list(SOLVERS))
@pytest.mark.parametrize("K", [5, 6, 10, 13], ids=lambda k: f"K{k}")
def test_wide_blocks_are_the_dummy_variable_regression(K, solver):
    ids, rng = _panel(3, seed=10)
    block = _block(rng, ids, K)
    w = rng.uniform(0.2, 3.0, N)
    out, _ = SOLVERS[solver](block, w, ids)
    np.testing.assert_allclose(out, _dummy_residuals(block, w, ids), rtol=0, atol=1e-9 * np.abs(block).max())


def test_reweighted_calls_of_a_session_are_fresh_solves():
    """As the reweighted iterations call it: new weights every call, then the same weights
    again (their counts kept); every call gives a fresh solve's bits."""
    ids, rng = _panel(2, seed=12)
    block = _block(rng, ids, 3)
    session = quarnet.CoefSession(ids)
    base = rng.uniform(0.5, 2.0, N)
    for call, scale in enumerate([1.0, 1.3, 0.7, 0.7]):
        w = base * scale ** (np.arange(N) % 3)
        out = block.copy()
        report = session.demean(out, w, TOL, 0, MAXITER, 0, 0, "auto")
        assert np.array_equal(out, _solve(block, w, ids)[0]), call
        assert ("level counts" in report["reused"]) == (call == 3), report["reused"]
        assert ("weights" in report["reused"]) == (call == 3)


@pytest.mark.parametrize(
    "change",
    [
        lambda ids: ids.__setitem__((slice(None), 0), ids[::-1, 0].copy()),
        lambda ids: ids.__setitem__((7, 1), (ids[7, 1] + 1) % 25),
    ],
    ids=["reversed_column", "one_id"],
)
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_ids_changed_in_place_give_the_fresh_solve(change, weighted):
    """The session's first pass forms the ids' fingerprint as it reads them: a change, even
    of one id, is caught there, the block left as it was, and solved on a fresh layout."""
    ids, rng = _panel(2, seed=13)
    ids = ids.copy(order="F")
    block = _block(rng, ids, 4)
    w = rng.uniform(0.5, 2.0, N) if weighted else None
    session = quarnet.CoefSession(ids)
    session.demean(block.copy(), w, TOL, 0, MAXITER, 0, 0, "auto")
    change(ids)
    out = block.copy()
    report = session.demean(out, w, TOL, 0, MAXITER, 0, 0, "auto")
    assert report["reused"] == []
    assert np.array_equal(out, _solve(block, w, ids)[0])


def test_an_id_changed_out_of_range_is_an_error_and_leaves_the_block():
    """Out of range, the changed id is not followed (counted as no level) and the fresh
    check of the ids names it."""
    ids, rng = _panel(2, seed=14)
    ids = ids.copy(order="F")
    block = _block(rng, ids, 3)
    session = quarnet.CoefSession(ids)
    session.demean(block.copy(), None, TOL, 0, MAXITER, 0, 0, "auto")
    ids[11, 0] = -1
    out = block.copy()
    with pytest.raises(ValueError, match=r"A\[11, 0\] = -1: level ids must be dense ids"):
        session.demean(out, None, TOL, 0, MAXITER, 0, 0, "auto")
    assert np.array_equal(out, block)


def test_an_id_changed_to_a_new_level_is_another_layout():
    """One id past the former levels (valid ids with one level more) is caught as a change
    of the ids and solved as a fresh solve on them."""
    ids, rng = _panel(2, seed=14)
    ids = ids.copy(order="F")
    block = _block(rng, ids, 3)
    session = quarnet.CoefSession(ids)
    session.demean(block.copy(), None, TOL, 0, MAXITER, 0, 0, "auto")
    ids[11, 0] = 40
    out = block.copy()
    session.demean(out, None, TOL, 0, MAXITER, 0, 0, "auto")
    assert session.levels == [41, 25]
    assert np.array_equal(out, _solve(block, None, ids)[0])


@pytest.mark.parametrize(
    "weight, shown",
    [(-0.5, r"w\[9\] = -0.500000"), (np.inf, r"w\[9\] = inf"), (np.nan, r"w\[9\] = nan")],
    ids=["negative", "infinite", "nan"],
)
def test_a_bad_weight_is_an_error_and_the_session_goes_on(weight, shown):
    """The weights are checked as they are placed: a bad one is named, the block is left as
    it was, and the next call (with the former weights) is a fresh solve's bits."""
    ids, rng = _panel(3, seed=15)
    block = _block(rng, ids, 5)
    w = rng.uniform(0.5, 2.0, N)
    session = quarnet.CoefSession(ids)
    session.demean(block.copy(), w, TOL, 0, MAXITER, 0, 0, "auto")
    bad = w.copy()
    bad[9] = weight
    out = block.copy()
    with pytest.raises(ValueError, match=shown + ": weights must be finite and non-negative"):
        session.demean(out, bad, TOL, 0, MAXITER, 0, 0, "auto")
    assert np.array_equal(out, block)
    session.demean(out, w, TOL, 0, MAXITER, 0, 0, "auto")
    assert np.array_equal(out, _solve(block, w, ids)[0])


def _read_only_kinds(ids):
    """The ids as arrays numpy will not let a call freeze and thaw as it likes: unpickled
    from bytes by the older protocols (writable, over an immutable bytes object), and
    read-only views of a buffer."""
    return {
        "pickle_2": pickle.loads(pickle.dumps(ids, protocol=2)),
        "pickle_4": pickle.loads(pickle.dumps(ids, protocol=4)),
        "frombuffer": np.frombuffer(ids.tobytes(), dtype=ids.dtype).reshape(ids.shape),
        "frombuffer_int32": np.frombuffer(ids.astype(np.int32).tobytes(), dtype=np.int32).reshape(ids.shape),
    }


KINDS = ["pickle_2", "pickle_4", "frombuffer", "frombuffer_int32"]
ENTRIES = [(e, k) for e in ("COEF_PCG_demean", "CoefSession") for k in KINDS] + [
    ("COEF_PCG_slopes", k)
    for k in KINDS
    if k != "frombuffer_int32"  # the slope solver takes int64 ids
]


@pytest.mark.parametrize("entry, kind", ENTRIES, ids=[f"{e}-{k}" for e, k in ENTRIES])
def test_ids_that_cannot_be_frozen_and_thawed_are_taken(entry, kind):
    """Such ids once ended the process (the call froze them and could not thaw them): they
    give the bits of a writable copy and keep their flags."""
    ids, rng = _panel(2, seed=16)
    ids = np.ascontiguousarray(ids)
    block = _block(rng, ids, 2)
    given = _read_only_kinds(ids)[kind]
    flags = given.flags.writeable

    def run(A, out):
        if entry == "COEF_PCG_slopes":
            return quarnet.COEF_PCG_slopes(out, None, A, [True, True], [None, None], TOL, 0, MAXITER, 0, 0)
        if entry == "CoefSession":
            return quarnet.CoefSession(A).demean(out, None, TOL, 0, MAXITER, 0, 0, "auto")
        return quarnet.COEF_PCG_demean(out, None, A, TOL, 0, MAXITER, 0, 0, "auto")

    out, expected = block.copy(), block.copy()
    run(given, out)
    run(np.array(given), expected)
    assert np.array_equal(out, expected)
    assert given.flags.writeable == flags
