import numpy as np
import pytest

from vantrel.backend.morlisk import make_pointer, powerset


def reference_pointer(column):
    """Group index of one dense id column built with a stable comparison sort."""
    sortvec = np.argsort(column, kind="stable")
    n_groups = column.max() + 1 if column.size else 0
    rows = [np.flatnonzero(column[sortvec] == g) for g in range(n_groups)]
    panelmat = [[r[0], r[-1]] if r.size else None for r in rows]
    return sortvec, panelmat


@pytest.mark.parametrize(
    "ids",
    [
        pytest.param(np.random.default_rng(1).integers(0, 7, size=(200, 3)), id="three_columns"),
        pytest.param(np.array([[0], [0], [0], [0]]), id="one_group"),
        pytest.param(np.array([[3, 0], [0, 1], [3, 1], [1, 0], [3, 4]]), id="ids_without_rows"),
        pytest.param(np.zeros((0, 2), dtype=np.int64), id="no_rows"),
        pytest.param(np.random.default_rng(2).integers(0, 5, size=(50, 2)).astype(np.int32), id="int32"),
    ],
)
def test_make_pointer_matches_stable_argsort(ids):
    before = ids.copy()
    A = make_pointer(ids)
    assert np.array_equal(ids, before)
    assert A.dtype == object and A.shape == (ids.shape[1], 2) and A.flags.writeable
    for j in range(ids.shape[1]):
        sortvec, panelmat = A[j, 0], A[j, 1]
        assert sortvec.dtype == np.int64 and sortvec.flags.c_contiguous and sortvec.shape == (ids.shape[0],)
        assert panelmat.dtype == np.int64 and panelmat.flags.c_contiguous and panelmat.shape[1] == 2
        ref_sortvec, ref_panelmat = reference_pointer(ids[:, j])
        assert np.array_equal(sortvec, ref_sortvec)
        assert len(panelmat) == len(ref_panelmat)
        for (start, end), ref in zip(panelmat, ref_panelmat, strict=True):
            if ref is None:
                assert start > end
            else:
                assert [start, end] == ref


def test_make_pointer_uses_no_comparison_sort(monkeypatch):
    def no_sorting(*args, **kwargs):
        raise AssertionError("make_pointer must build the index by counting, not by sorting")

    for name in ("argsort", "sort", "lexsort", "unique"):
        monkeypatch.setattr(np, name, no_sorting)
    ids = np.random.default_rng(3).integers(0, 1000, size=(10_000, 2))
    A = make_pointer(ids)
    monkeypatch.undo()
    assert np.array_equal(A[0, 0], np.argsort(ids[:, 0], kind="stable"))


@pytest.mark.parametrize(
    "ids, match",
    [
        pytest.param(np.array([0, 1, 2]), "two-dimensional", id="one_dimensional"),
        pytest.param(np.array([[0.0], [1.0]]), "integers", id="float"),
        pytest.param(np.array([[0], [-1]]), "negative", id="negative"),
        pytest.param([[0], [1]], "numpy array", id="list"),
    ],
)
def test_make_pointer_rejects_bad_ids(ids, match):
    with pytest.raises(ValueError, match=match) as info:
        make_pointer(ids)
    assert "ids" in str(info.value)


@pytest.mark.parametrize("m", [1, 2, 3, 4])
def test_powerset_lists_each_nonempty_subset_once(m):
    names = ["a", "b", "c", "d"][:m]
    subsets = powerset(names)
    assert len(subsets) == 2**m - 1
    assert all(isinstance(s, list) and len(s) > 0 for s in subsets)
    assert len({frozenset(s) for s in subsets}) == 2**m - 1
    assert all(set(s) <= set(names) for s in subsets)
