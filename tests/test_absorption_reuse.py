"""The absorption keeps the kernel's set-up between calls (the rows' layout, the level counts
and the preconditioners of the last weights): what it skips must not change a bit.

Oracles: a fresh kernel solve of the same block with the same preconditioner request (the
same bits), the same columns absorbed together (to 1e-12), and the residuals of the
dummy-variable least squares (numpy's lstsq on a small panel)."""

import copy
import pickle
import sys
from pathlib import Path

import numpy as np
import pytest
from test_kernel_multiblock import banded, lattice_panel

from vantrel.backend import quarnet
from vantrel.backend.morlisk import make_pointer
from vantrel.core.absorption import Absorption, stack_standardised

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
import generators  # noqa: E402

TOL, MAXITER = 1e-13, 10_000


def _dense(ids):
    return np.asfortranarray(np.column_stack([np.unique(c, return_inverse=True)[1] for c in ids.T]).astype(np.int64))


def _design(name):
    """(ids, block) of a panel on which the first call's solver ends with a known
    preconditioner: the Jacobi iteration, the exact pair block (the banded worker-firm
    design), the whole factor (three chained effects), additive pairs (three effects on a
    2-D lattice) and the closed form of one effect."""
    rng = np.random.default_rng(11)
    if name in ("simple", "difficult"):
        data = getattr(generators, name)(20_000)
        names = ["fe1", "fe2", "fe3"] if name == "simple" else ["indiv", "firm"]
        ids = _dense(np.column_stack([data[n] for n in names]))
        columns = [data["y"], data["x1"], data["x2"]]
    else:
        ids = {"chain": lambda: banded(12_000, 3, rng), "lattice": lambda: lattice_panel(40, rng)}.get(
            name, lambda: rng.integers(0, 300, size=(6_000, 1))
        )()
        ids = _dense(ids)
        columns = [np.sin(ids[:, 0]) + rng.normal(size=len(ids)) for _ in range(3)]
    block, _, _ = stack_standardised(columns)
    return ids, block


# (design, the first call's preconditioner, what a later call takes of the preconditioners
# built: additive pairs come after the exact pair block, and are built from it)
DESIGNS = [
    ("simple", "jacobi", set()),
    ("difficult", "exact pair", {"exact pair"}),
    ("chain", "exact full", {"exact full"}),
    ("lattice", "additive pairs", {"exact pair", "additive pairs"}),
    ("one", "closed form", set()),
]


@pytest.fixture(scope="module", params=DESIGNS, ids=[d[0] for d in DESIGNS])
def design(request):
    name, preconditioner, built = request.param
    ids, block = _design(name)
    return ids, block, preconditioner, built


def _weights(ids, weighted, seed=3):
    return np.random.default_rng(seed).uniform(0.2, 5.0, len(ids)) if weighted else None


def _fresh(block, w, ids, mode, n_threads=0):
    out = block.copy()
    report = quarnet.COEF_PCG_demean(out, w, ids, TOL, 0, MAXITER, 0, n_threads, mode)
    return out, report


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_one_by_one_through_one_object_is_the_fresh_solve_and_the_block(design, weighted):
    """Block first, then each column alone through the same object: every call has the bits
    of a fresh solve asked for the same preconditioner, the columns alone equal the block to
    1e-12, and from the second call on the layout, counts and preconditioner are reused."""
    ids, block, preconditioner, built = design
    w = _weights(ids, weighted)
    absorption = Absorption(ids, w, tol=TOL, maxiter=MAXITER)
    together = block.copy()
    report = absorption.absorb(together)
    expected, fresh_report = _fresh(block, w, ids, "auto")
    assert report["preconditioner"] == preconditioner == fresh_report["preconditioner"]
    assert report["reused"] == []
    assert np.array_equal(together, expected)
    scale = np.abs(together).max(axis=0)
    for j in range(block.shape[1]):
        mode = absorption.mode
        alone = np.ascontiguousarray(block[:, j : j + 1])
        report = absorption.absorb(alone)
        expected, fresh_report = _fresh(block[:, j : j + 1], w, ids, mode)
        assert np.array_equal(alone, expected)
        assert report["iterations"] == fresh_report["iterations"]
        assert report["preconditioner"] == fresh_report["preconditioner"]
        assert np.abs(alone[:, 0] - together[:, j]).max() <= 1e-12 * scale[j]
        reused = {"layout", "level counts"} | ({"weights"} if weighted else set()) | built
        assert set(report["reused"]) == reused


def test_new_weights_keep_the_layout_and_rebuild_the_rest(design):
    """Poisson's reweighting and the bootstrap change the weights between calls: each call
    has the bits of a fresh solve with its weights; the same values again (a copy) are
    recognised, values changed in place are not."""
    ids, block, _, _ = design
    w1, w2 = _weights(ids, True, 1), _weights(ids, True, 2)
    absorption = Absorption(ids, w1, tol=TOL, maxiter=MAXITER)
    absorption.absorb(block.copy())
    for w, reused in [
        (w2, ["layout"]),
        (w2.copy(), ["layout", "weights", "level counts"]),
        (None, ["layout"]),
        (w2, ["layout"]),
    ]:
        mode = absorption.mode
        out = block.copy()
        report = absorption.absorb(out, weights=w)
        assert report["reused"][:3] == reused
        assert np.array_equal(out, _fresh(block, w1 if w is None else w, ids, mode)[0])
    w2[::7] *= 3.0  # in place: the same array, other weights
    out = block.copy()
    report = absorption.absorb(out, weights=w2)
    assert report["reused"] == ["layout"]
    assert np.array_equal(out, _fresh(block, w2, ids, absorption.mode)[0])


REQUESTS = [("approx", "lattice"), ("exact", "difficult"), ("pairs", "chain"), ("full", "chain"), ("jacobi", "simple")]


@pytest.mark.parametrize("requested, name", REQUESTS, ids=[r[0] for r in REQUESTS])
def test_every_requested_preconditioner_gives_the_fresh_bits_on_later_calls(requested, name):
    """A preconditioner requested from the start (the jackknife copies the object's mode):
    the first and the later calls have the bits of fresh solves with that request."""
    ids, block = _design(name)
    w = _weights(ids, True)
    absorption = Absorption(ids, w, tol=TOL, maxiter=MAXITER)
    absorption.mode = requested
    for call in range(3):
        out = np.ascontiguousarray(block[:, call:])
        fresh = _fresh(out, w, ids, requested)
        report = absorption.absorb(out)
        assert np.array_equal(out, fresh[0])
        assert report["preconditioner"] == fresh[1]["preconditioner"]
        assert ("level counts" in report["reused"]) == (call > 0)


@pytest.mark.parametrize("threads", [[1, 2], [2, 1, 3]], ids=["1-2", "2-1-3"])
def test_a_change_of_threads_gives_the_fresh_bits(threads):
    ids, block = _design("difficult")
    absorption = Absorption(ids, None, tol=TOL, maxiter=MAXITER)
    for n in threads:
        absorption.n_threads = n
        mode = absorption.mode
        out = block.copy()
        absorption.absorb(out)
        assert np.array_equal(out, _fresh(block, None, ids, mode, n)[0])


def _dummy_residuals(ids, w, y):
    """The residuals of weighted least squares of y on every effect's dummies."""
    D = np.hstack([np.eye(col.max() + 1)[col] for col in ids.T])
    root = np.sqrt(w)
    coef = np.linalg.lstsq(D * root[:, None], y * root, rcond=None)[0]
    return y - D @ coef


@pytest.mark.parametrize("effects", [1, 2, 3], ids=["one", "two", "three"])
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_every_call_is_the_dummy_variable_regression(effects, weighted):
    """A small panel (two chained effects and a third at random): the block, then each
    column, then the block with new weights, against lstsq on the dummy matrix."""
    rng = np.random.default_rng(21)
    n = 600
    ids = _dense(np.column_stack([banded(n, 2, rng), rng.integers(0, 7, n)])[:, :effects])
    y = rng.normal(size=(n, 3)) + np.cos(ids[:, :1])
    w = _weights(ids, weighted)
    absorption = Absorption(ids, w, tol=TOL, maxiter=MAXITER)
    calls = [(y, None), (y[:, :1], None), (y[:, 1:], None), (y, rng.uniform(0.5, 2.0, n))]
    for values, new_w in calls:
        out = np.ascontiguousarray(values)
        absorption.absorb(out, weights=new_w)
        weights = new_w if new_w is not None else (w if w is not None else np.ones(n))
        for j in range(out.shape[1]):
            expected = _dummy_residuals(ids, weights, values[:, j])
            assert np.abs(out[:, j] - expected).max() <= 1e-9 * np.abs(values[:, j]).max()


def test_a_group_index_is_solved_afresh_each_call():
    ids, block = _design("difficult")
    index = make_pointer(ids)
    absorption = Absorption(index, None, tol=TOL, maxiter=MAXITER)
    for _ in range(2):
        out, expected = block.copy(), block.copy()
        mode = absorption.mode
        report = absorption.absorb(out)
        quarnet.COEF_PCG_demean(expected, None, index, TOL, 0, MAXITER, 0, 0, mode)
        assert np.array_equal(out, expected)
        assert "reused" not in report


@pytest.mark.parametrize(
    "duplicate", [copy.deepcopy, lambda a: pickle.loads(pickle.dumps(a))], ids=["deepcopy", "pickle"]
)
def test_a_copy_continues_where_the_original_stands(duplicate):
    """A copied (or pickled) object makes its own kernel session and gives the bits the
    original gives next."""
    ids, block = _design("difficult")
    absorption = Absorption(ids, None, tol=TOL, maxiter=MAXITER)
    absorption.absorb(block.copy())
    twin = duplicate(absorption)
    out, expected = block.copy(), block.copy()
    assert twin.absorb(out)["reused"] == []
    absorption.absorb(expected)
    assert np.array_equal(out, expected)


def test_ids_changed_in_place_are_checked_and_laid_out_again():
    """The session recognises its ids by a fingerprint of their values: ids rewritten in
    place give the fresh solve's bits on them, and an id out of range is an error naming
    it (the passes follow the ids without bounds checks)."""
    ids, block = _design("difficult")
    ids = ids.copy(order="F")
    absorption = Absorption(ids, None, tol=TOL, maxiter=MAXITER)
    absorption.absorb(block.copy())
    ids[:, 1] = ids[::-1, 1]
    out = block.copy()
    report = absorption.absorb(out)
    assert "layout" not in report["reused"]
    assert np.array_equal(out, _fresh(block, None, ids, absorption.mode)[0])
    ids[5, 0] = -1
    with pytest.raises(ValueError, match=r"A\[5, 0\] = -1: level ids must be dense ids"):
        absorption.absorb(block.copy())


def test_other_ids_are_another_sample():
    ids, block = _design("difficult")
    absorption = Absorption(ids, None, tol=TOL, maxiter=MAXITER)
    absorption.absorb(block.copy())
    other = np.asfortranarray(ids[::-1])
    absorption.ids = other
    absorption.mode = "auto"
    out = block.copy()
    report = absorption.absorb(out)
    assert report["reused"] == []
    assert np.array_equal(out, _fresh(block, None, other, "auto")[0])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s, x, w: s.demean(x[:-1].copy(), None, TOL, 0, MAXITER, 0, 0), "x has 99 rows, the session's ids 100"),
        (lambda s, x, w: s.demean(x, w[:-1].copy(), TOL, 0, MAXITER, 0, 0), "w has length 99, x has 100 rows"),
        (lambda s, x, w: s.demean(x, -w, TOL, 0, MAXITER, 0, 0), r"w\[0\] = -[0-9.]+: weights must be finite"),
        (lambda s, x, w: s.demean(x, w, TOL, 0, MAXITER, 0, 0, "best"), "preconditioner must be one of"),
    ],
    ids=["rows", "weights_length", "negative_weight", "preconditioner"],
)
def test_errors_name_the_argument_and_value(call, message):
    rng = np.random.default_rng(2)
    ids = np.asfortranarray(rng.integers(0, 10, size=(100, 2)))
    session = quarnet.CoefSession(ids)
    with pytest.raises(ValueError, match=message):
        call(session, rng.normal(size=(100, 2)), rng.uniform(0.5, 1.0, 100))


@pytest.mark.parametrize(
    "ids, error, message",
    [
        (np.array([[0, 1], [-2, 0]]), ValueError, r"A\[1, 0\] = -2: level ids must be dense ids"),
        (np.zeros((3, 2)), TypeError, "A must be a 2-D int64 or int32 array of level ids"),
        (np.zeros((3, 0), dtype=np.int64), ValueError, "A has no fixed effect"),
    ],
    ids=["negative", "floats", "no_effect"],
)
def test_the_session_checks_its_ids_once(ids, error, message):
    with pytest.raises(error, match=message):
        quarnet.CoefSession(ids)


def test_the_ids_are_read_only_during_a_call_only():
    """The ids are frozen while a call reads them and given back writable after it."""
    ids = np.asfortranarray(np.random.default_rng(0).integers(0, 10, size=(50, 2)))
    session = quarnet.CoefSession(ids)
    session.demean(np.ones((50, 1)), None, TOL, 0, MAXITER, 0, 0)
    assert ids.flags.writeable
    assert (session.n_rows, session.levels) == (50, [10, 10])
