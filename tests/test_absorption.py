"""The reusable absorption: one sample's fixed effects absorbed from block after block.

Oracles: the same columns absorbed together and one by one, a fresh absorption of each
block, and the dummy-variable least squares of the demeaned column."""

import sys
from pathlib import Path

import numpy as np
import pytest

from vantrel.core.absorption import Absorption, stack_standardised

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
from generators import difficult  # noqa: E402


def _ids(data, names):
    return np.asfortranarray(
        np.column_stack([np.unique(data[name], return_inverse=True)[1] for name in names]).astype(np.int64)
    )


@pytest.fixture(scope="module")
def panel():
    data = difficult(30_000)
    ids = _ids(data, ["indiv", "firm", "year"])
    rng = np.random.default_rng(4)
    weights = rng.uniform(0.2, 5.0, len(ids))
    block, _, _ = stack_standardised([data["y"], data["x1"], data["x2"]])
    return ids, weights, block


def _absorbed(ids, weights, block, **options):
    out = block.copy()
    Absorption(ids, weights, tol=1e-13, maxiter=10_000, n_threads=1, **options).absorb(out)
    return out


def _relative(a, b):
    return np.abs(a - b).max() / np.abs(b).max()


@pytest.mark.parametrize("effects", [2, 3], ids=["worker_firm", "worker_firm_year"])
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_columns_one_by_one_equal_the_block(panel, effects, weighted):
    ids, weights, block = panel
    ids, w = np.asfortranarray(ids[:, :effects]), weights if weighted else None
    together = _absorbed(ids, w, block)
    for j in range(block.shape[1]):
        alone = _absorbed(ids, w, np.ascontiguousarray(block[:, j : j + 1]))
        assert _relative(alone[:, 0], together[:, j]) < 1e-12


def test_a_later_block_starts_with_the_upgrade_the_first_needed(panel):
    ids, weights, block = panel
    ids = np.asfortranarray(ids[:, :2])
    absorption = Absorption(ids, None, tol=1e-13, maxiter=10_000, n_threads=1)
    first = block[:, :1].copy()
    report = absorption.absorb(first)
    assert report["preconditioner"] == "exact pair" and "Jacobi rate" in report["reason"]
    later = np.ascontiguousarray(block[:, 1:])
    again = absorption.absorb(later)
    assert again["preconditioner"] == "exact pair" and again["reason"].startswith("requested")
    assert again["iterations"] < report["iterations"]
    assert _relative(later, _absorbed(ids, None, np.ascontiguousarray(block[:, 1:]))) < 1e-10
    # other weights for one block: the same as a fresh absorption under them
    reweighted = np.ascontiguousarray(block[:, 1:])
    absorption.absorb(reweighted, weights=weights)
    assert _relative(reweighted, _absorbed(ids, weights, np.ascontiguousarray(block[:, 1:]))) < 1e-10


def test_absorbed_column_is_the_dummy_regression_residual():
    rng = np.random.default_rng(0)
    n = 400
    a, b = rng.integers(0, 30, n), rng.integers(0, 12, n)
    v = rng.normal(size=n) + a * 0.1 - b * 0.3
    w = rng.uniform(0.5, 2.0, n)
    ids = _ids({"a": a, "b": b}, ["a", "b"])
    block = np.ascontiguousarray(v[:, None])
    Absorption(ids, w, tol=1e-14, maxiter=10_000).absorb(block)
    D = np.column_stack([np.eye(30)[a], np.eye(12)[b]])
    root = np.sqrt(w)
    coef = np.linalg.lstsq(D * root[:, None], v * root, rcond=None)[0]
    np.testing.assert_allclose(block[:, 0], v - D @ coef, atol=1e-9)
