import numpy as np
import pytest

from vantrel.backend.quarnet import calc_B, cluster_meat, panelsetup

RNG = np.random.default_rng(20240611)


def run_panelsetup(ids, N=None, N2=None):
    ids = np.asarray(ids, dtype=np.int64)
    N = len(ids) if N is None else N
    N2 = len(np.unique(ids[:N])) if N2 is None else N2
    result = np.zeros((N2, 2), dtype=np.int64)
    assert panelsetup(result, ids, N, N2) is None
    return result


@pytest.mark.parametrize(
    "ids, N, expected",
    [
        pytest.param([5, 5, 7, 7, 7, 9], 6, [[0, 1], [2, 4], [5, 5]], id="three_runs"),
        pytest.param([4, 4, 4, 4], 4, [[0, 3]], id="all_equal"),
        pytest.param([8], 1, [[0, 0]], id="one_entry"),
        pytest.param([9, 9, 2, 2, 2, 7, 1], 5, [[0, 1], [2, 4]], id="prefix_only_unsorted_labels"),
    ],
)
def test_panelsetup_examples(ids, N, expected):
    assert run_panelsetup(ids, N).tolist() == expected


def test_panelsetup_matches_numpy_runs():
    ids = np.sort(RNG.integers(0, 300, size=5000))
    _, first, counts = np.unique(ids, return_index=True, return_counts=True)
    result = run_panelsetup(ids)
    assert np.array_equal(result[:, 0], first)
    assert np.array_equal(result[:, 1], first + counts - 1)


def explicit_meat(x, u, sortvec, panelmat, K):
    """B = sum_g s_g s_g' in long double, s_g the score sum of cluster g in sortvec order."""
    B = np.zeros((K, K), dtype=np.longdouble)
    for start, end in panelmat:
        s = np.zeros(K, dtype=np.longdouble)
        for i in range(start, end + 1):
            row = sortvec[i]
            s += np.longdouble(u[row, 0]) * x[row, 1 : K + 1].astype(np.longdouble)
        B += np.outer(s, s)
    return B.astype(np.float64)


def clusters(n_rows, n_clusters):
    ids = RNG.integers(0, n_clusters, size=n_rows)
    sortvec = np.argsort(ids, kind="stable").astype(np.int64)
    result = run_panelsetup(ids[sortvec])
    return sortvec, result


def test_calc_B_small_example():
    B = np.zeros((1, 1))
    x = np.array([[7.0, 1.0], [7.0, 2.0], [7.0, 3.0]])
    u = np.array([[1.0], [1.0], [-1.0]])
    calc_B(B, x, u, np.arange(3), np.array([[0, 1], [2, 2]]), 2, 1)
    assert B[0, 0] == 18.0


@pytest.mark.parametrize(
    "layout",
    [
        pytest.param("contiguous", id="contiguous"),
        pytest.param("strided", id="fortran_reversed_and_sliced"),
    ],
)
def test_calc_B_matches_explicit_sum(layout):
    n_rows, K = 400, 3
    x = RNG.normal(size=(n_rows, K + 1)) * 1e3
    u = RNG.normal(size=(n_rows, 1))
    sortvec, panelmat = clusters(n_rows, 17)
    panelmat = np.vstack([panelmat, [[5, 4]]])  # an empty cluster contributes nothing
    expected = explicit_meat(x, u, sortvec, panelmat, K)
    B = np.zeros((K, K))
    if layout == "strided":
        x, u = np.asfortranarray(x), np.ascontiguousarray(u[::-1])[::-1]
        sortvec = np.repeat(sortvec, 2)[::2]
        panelmat = np.asfortranarray(panelmat)
        B = np.zeros((2 * K, K))[::2]
    calc_B(B, x, u, sortvec, panelmat, len(panelmat), K)
    assert np.array_equal(B, expected)
    assert np.array_equal(B, B.T)


def test_calc_B_special_clusterings():
    n_rows, K = 60, 2
    x = RNG.normal(size=(n_rows, K + 1))
    u = RNG.normal(size=(n_rows, 2))  # only column 0 is read
    X, e = x[:, 1:], u[:, 0]
    one = np.zeros((K, K))
    calc_B(one, x, u, np.arange(n_rows), np.array([[0, n_rows - 1]]), 1, K)
    np.testing.assert_allclose(one, np.outer(X.T @ e, X.T @ e), rtol=1e-12)
    each = np.zeros((K, K))
    calc_B(each, x, u, np.arange(n_rows), np.repeat(np.arange(n_rows), 2).reshape(-1, 2), n_rows, K)
    np.testing.assert_allclose(each, (X * e[:, None] ** 2).T @ X, rtol=1e-12)


@pytest.mark.parametrize("N_panelmat, K", [pytest.param(0, 2, id="no_cluster"), pytest.param(2, 0, id="no_regressor")])
def test_calc_B_without_work_leaves_result(N_panelmat, K):
    result = np.full((2, 2), 7.0)
    calc_B(result, np.ones((4, 3)), np.ones((4, 1)), np.arange(4), np.array([[0, 1], [2, 3]]), N_panelmat, K)
    assert np.all(result == 7.0)


def calc_B_args():
    return dict(
        result=np.zeros((2, 2)),
        x=np.ones((4, 3)),
        u=np.ones((4, 1)),
        sortvec=np.arange(4),
        panelmat=np.array([[0, 1], [2, 3]]),
        N_panelmat=2,
        K=2,
    )


@pytest.mark.parametrize(
    "change, name",
    [
        pytest.param({"sortvec": np.array([0, 1, 4, 2])}, "sortvec", id="sortvec_past_rows"),
        pytest.param({"sortvec": np.array([0, -1, 2, 3])}, "sortvec", id="sortvec_negative"),
        pytest.param({"panelmat": np.array([[0, 1], [2, 4]])}, "panelmat", id="panelmat_past_sortvec"),
        pytest.param({"panelmat": np.array([[-1, 1], [2, 3]])}, "panelmat", id="panelmat_negative_start"),
        pytest.param({"panelmat": np.array([[0, 1, 0], [2, 3, 0]])}, "panelmat", id="panelmat_three_columns"),
        pytest.param({"N_panelmat": 3}, "N_panelmat", id="N_panelmat_above_rows"),
        pytest.param({"N_panelmat": -1}, "N_panelmat", id="N_panelmat_negative"),
        pytest.param({"K": 3}, "x", id="x_too_narrow"),
        pytest.param({"K": -1}, "K", id="K_negative"),
        pytest.param({"result": np.zeros((2, 1))}, "result", id="result_too_small"),
        pytest.param({"u": np.ones((3, 1))}, "u", id="u_other_rows"),
        pytest.param({"u": np.ones((4, 0))}, "u", id="u_no_column"),
    ],
)
def test_calc_B_bounds_checks(change, name):
    args = calc_B_args() | change
    before = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
    with pytest.raises(ValueError, match=name):
        calc_B(**args)
    for k, v in before.items():
        assert np.array_equal(args[k], v)


@pytest.mark.parametrize(
    "ids, N, N2, rows, name",
    [
        pytest.param([1, 1, 2], 0, 2, 2, "N", id="N_zero"),
        pytest.param([1, 1, 2], 4, 2, 2, "N", id="N_past_x"),
        pytest.param([1, 1, 2], 3, 3, 2, "N2", id="N2_not_rows"),
        pytest.param([1, 2, 1], 3, 2, 2, "N2", id="more_runs_than_rows"),
    ],
)
def test_panelsetup_bounds_checks(ids, N, N2, rows, name):
    x = np.array(ids, dtype=np.int64)
    result = np.zeros((rows, 2), dtype=np.int64)
    with pytest.raises(ValueError, match=rf"\b{name}\b"):
        panelsetup(result, x, N, N2)
    assert not result.any() and x.tolist() == ids


def test_panelsetup_rejects_result_aliasing_x():
    buf = np.zeros(8, dtype=np.int64)
    buf[:4] = [0, 1, 2, 3]
    with pytest.raises(ValueError, match="result shares memory with x"):
        panelsetup(buf.reshape(4, 2), buf[:4], 4, 4)


def test_sort_helpers_match_numpy():
    # The driver's row sorts and pair ids: stable counting sort, lexicographic pair ranks.
    from vantrel.backend.quarnet import counting_sort, pair_ranks

    a, b = RNG.integers(0, 40, 3000), RNG.integers(0, 70, 3000)
    assert np.array_equal(counting_sort(a, 40), np.argsort(a, kind="stable"))
    ranks, order = pair_ranks(a, 40, b, 70)
    assert np.array_equal(order, np.lexsort((b, a)))
    assert np.array_equal(ranks, np.unique(a * 70 + b, return_inverse=True)[1])


@pytest.mark.parametrize(
    "a, G_a, b, G_b, text",
    [
        pytest.param([0, 1, 2], 2, [0, 0, 0], 1, "a: entry 2 = 2", id="a_out_of_range"),
        pytest.param([0, 1], 2, [0, -1], 1, "keys: entry 1 = -1", id="b_negative"),
        pytest.param([0, 1], 2, [0], 1, "differ in length", id="length_mismatch"),
        pytest.param([0], -1, [0], 1, "must not be negative", id="negative_group_count"),
    ],
)
def test_pair_ranks_rejects_bad_ids(a, G_a, b, G_b, text):
    from vantrel.backend.quarnet import pair_ranks

    with pytest.raises(ValueError, match=text):
        pair_ranks(np.array(a, dtype=np.int64), G_a, np.array(b, dtype=np.int64), G_b)


def meat_by_sorting(x, u, ids, G, K):
    """calc_B over the group index of a stable sort of the ids."""
    sortvec = np.argsort(ids, kind="stable").astype(np.int64)
    panelmat = run_panelsetup(ids[sortvec], N2=G)
    B = np.zeros((K, K))
    calc_B(B, x, u, sortvec, panelmat, G, K)
    return B


@pytest.mark.parametrize(
    "n_rows, G, K",
    [
        pytest.param(2000, 37, 3, id="few_clusters"),
        pytest.param(2000, 1900, 1, id="nearly_one_row_each"),
        # a table of 250,000 x 3 long doubles is past the kernel's budget: clusters in ranges
        pytest.param(300_000, 250_000, 3, id="clusters_in_ranges"),
    ],
)
@pytest.mark.parametrize("id_type", [np.int64, np.int32])
def test_cluster_meat_is_calc_B_over_the_sorted_ids_bit_for_bit(n_rows, G, K, id_type):
    x = RNG.normal(size=(n_rows, K + 1)) * 10.0 ** RNG.integers(-3, 4, size=(n_rows, 1))
    u = RNG.normal(size=(n_rows, 1))
    ids = np.concatenate([np.arange(G), RNG.integers(0, G, n_rows - G)])  # every cluster has a row
    RNG.shuffle(ids)
    expected = meat_by_sorting(x, u, ids, G, K)
    B = np.zeros((K, K))
    cluster_meat(B, x, u, ids.astype(id_type), G)
    assert np.array_equal(B, expected)
    scores = x[:, 1:] * u
    sums = np.stack([np.bincount(ids, weights=scores[:, j], minlength=G) for j in range(K)], axis=1)
    np.testing.assert_allclose(B, sums.T @ sums, rtol=1e-10)


def test_cluster_meat_reads_any_layout():
    n_rows, K, G = 500, 2, 40
    block = RNG.normal(size=(n_rows, K + 1))
    ids = RNG.integers(0, G, n_rows)
    expected = np.zeros((K, K))
    cluster_meat(expected, block, np.ascontiguousarray(block[:, :1]), ids, G)
    # the residuals as column 0 of the block itself (as the least squares leaves them), x in
    # Fortran order and read-only
    x = np.asfortranarray(block)
    x.flags.writeable = False
    B = np.zeros((K, K))
    cluster_meat(B, x, block[:, :1], ids, G)
    assert np.array_equal(B, expected)
