import numpy as np
import pytest

from vantrel.backend.morlisk import make_pointer
from vantrel.backend.quarnet import drop_singletons, sep


def screen(function, ids, y=None, touse=None):
    ids = np.asarray(ids).reshape(len(ids), -1)
    y = np.zeros(len(ids)) if y is None else np.asarray(y, dtype=np.float64)
    touse = np.ones(len(ids), np.int64) if touse is None else np.asarray(touse, dtype=np.int64)
    returned = function(y, make_pointer(ids), touse)
    assert returned is touse
    return touse.tolist()


@pytest.mark.parametrize(
    "ids, touse, expected",
    [
        pytest.param([0, 0, 1], None, [1, 1, 0], id="one_singleton"),
        pytest.param([0, 0, 1, 2, 2], [1, 1, 1, 0, 1], [1, 1, 0, 0, 0], id="singleton_among_rows_in_use"),
        pytest.param(
            [[0, 0], [0, 1], [1, 1], [1, 2], [2, 2], [2, 3], [3, 3], [3, 3]],
            None,
            [0, 0, 0, 0, 0, 0, 1, 1],
            id="cascade_across_fixed_effects",
        ),  # fmt: skip
        pytest.param([[0, 1], [0, 1], [1, 0], [2, 0]], None, [1, 1, 0, 0], id="cascade_back_to_first_fe"),
        pytest.param(
            [[0, 0], [0, 0], [1, 1], [1, 1], [2, 1]], [7, 1, 1, 1, 1], [7, 0, 1, 1, 0], id="other_values_untouched"
        ),
    ],
)
def test_drop_singletons(ids, touse, expected):
    assert screen(drop_singletons, ids, touse=touse) == expected


def reference_drop_singletons(ids):
    """Drop rows alone in a group until none is left alone (a fixpoint, order-free)."""
    keep = np.ones(len(ids), bool)
    while True:
        alone = np.zeros(len(ids), bool)
        for j in range(ids.shape[1]):
            counts = np.bincount(ids[keep, j], minlength=ids[:, j].max() + 1)
            alone |= keep & (counts[ids[:, j]] == 1)
        if not alone.any():
            return keep
        keep &= ~alone


def test_drop_singletons_reaches_the_fixpoint():
    rng = np.random.default_rng(11)
    ids = np.column_stack([rng.integers(0, 60, 200), rng.integers(0, 90, 200), rng.integers(0, 40, 200)])
    touse = np.array(screen(drop_singletons, ids))
    keep = reference_drop_singletons(ids)
    assert 0 < keep.sum() < len(ids)
    assert np.array_equal(touse == 1, keep)


@pytest.mark.parametrize("function", [drop_singletons, sep])
def test_nothing_left_raises_with_zeros_written(function):
    touse = np.ones(3, np.int64)
    with pytest.raises(ValueError, match="^All obs can be explained by fe$"):
        function(np.array([0.0, 1.0, 2.0]), make_pointer(np.array([[0], [1], [2]])), touse)
    assert touse.tolist() == [0, 0, 0]


def test_no_fixed_effect_only_checks_for_rows_in_use():
    A = np.empty((0, 2), dtype=object)
    assert drop_singletons(np.zeros(2), A, np.array([0, 1])).tolist() == [0, 1]
    with pytest.raises(ValueError, match="All obs"):
        sep(np.zeros(2), A, np.array([0, 2]))


@pytest.mark.parametrize(
    "y, touse, expected",
    [
        pytest.param([0, 0, 0, 5, 6], None, [0, 0, 0, 1, 1], id="all_zero_group"),
        pytest.param([2, 2, 2, 5, 6], None, [1, 1, 1, 1, 1], id="constant_nonzero_group"),
        pytest.param([0, 1, 3, 5, 6], None, [1, 1, 1, 1, 1], id="varying_group"),
        pytest.param([4, 1, 3, 5, 6], [0, 0, 1, 1, 1], [0, 0, 0, 1, 1], id="single_row_in_use"),
        pytest.param([np.nan, 0, 3, 5, 6], [1, 1, 0, 1, 1], [0, 0, 0, 1, 1], id="nan_then_zero"),
        pytest.param([0, np.nan, 0, 5, 6], None, [1, 1, 1, 1, 1], id="zero_then_nan_varies"),
    ],
)
def test_sep(y, touse, expected):
    ids = [0, 0, 0, 1, 1]
    assert screen(sep, ids, y=y, touse=touse) == expected
