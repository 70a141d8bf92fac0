"""The passes of a Poisson fit that reuse what the reweighted least squares already has,
against independent computations: the reported deviance, log-likelihoods and pseudo R2
against statsmodels' Poisson GLM with the effects as dummy variables, and against the
per-row formulas at the fitted means (count outcomes of every width of the values' table,
large counts whose deviance is small beside the sums it is the difference of, counts
beyond the table, outcomes that are not whole numbers, weights); the cross products by
chunks against NumPy's product of the whole matrix; the certificate's components against
scipy's connected components of the same graph built from a coordinate list, and its
links against the rank of the effects' dummy variables; a sample narrowed by separation
to a few of its levels against the GLM on the rows that are left."""

import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import connected_components
from scipy.special import gammaln, xlogy

import vantrel
from vantrel.backend import quarnet
from vantrel.core import least_squares, separation


def _panel(seed, n, mean, groups=(15, 6), weights=False, offset=False, whole=True):
    """Counts of mean about `mean` on two regressors and two effects, every group with
    some positive outcome; `whole`: False scales the outcome to values that are not whole
    numbers."""
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n)})
    eta = np.log(mean) + 0.3 * df["x1"] - 0.2 * df["x2"]
    for j, G in enumerate(groups):
        df[f"f{j + 1}"] = rng.integers(0, G, size=n)
        eta = eta + rng.normal(scale=0.3, size=G)[df[f"f{j + 1}"]]
    if offset:
        df["off"] = rng.normal(scale=0.2, size=n)
        eta = eta + df["off"]
    if weights:
        df["w"] = rng.uniform(0.5, 2.0, size=n)
    df["y"] = rng.poisson(np.exp(eta)).astype(float) * (1.0 if whole else 0.37)
    return df


def _glm(df, weights=None, offset=None):
    dummies = [
        pd.get_dummies(df[name].astype(str), prefix=name, drop_first=True).astype(float) for name in ("f1", "f2")
    ]
    X = sm.add_constant(pd.concat([df[["x1", "x2"]]] + dummies, axis=1))
    model = sm.GLM(
        df["y"],
        X,
        family=sm.families.Poisson(),
        var_weights=None if weights is None else df[weights],
        offset=None if offset is None else df[offset],
    )
    return model.fit(tol=1e-14, maxiter=200)


GLM_CASES = {
    # (mean, weights, offset, whole numbers)
    "counts": (1.0, False, False, True),
    "counts, weights": (1.0, True, False, True),
    "counts, offset": (1.0, False, True, True),
    # the deviance (about one per row) is 1e-4 of the sums of y log y and mu it is the
    # difference of
    "counts in the thousands": (2e3, False, False, True),
    "counts in the thousands, weights": (2e3, True, False, True),
    "not whole numbers": (3.0, False, False, False),
    "not whole numbers, weights": (3.0, True, False, False),
}


@pytest.mark.parametrize("case", list(GLM_CASES), ids=list(GLM_CASES))
def test_deviance_and_likelihoods_equal_the_dummy_glm(case):
    mean, weighted, with_offset, whole = GLM_CASES[case]
    df = _panel(len(case), 500, mean, weights=weighted, offset=with_offset, whole=whole)
    weights, offset = ("w" if weighted else None), ("off" if with_offset else None)
    oracle = _glm(df, weights, offset)
    fit = vantrel.fepois("y ~ x1 + x2 | f1 + f2", df, weights=weights, offset=offset, tol=1e-12, fixef_tol=1e-12)
    assert fit.nobs == len(df)
    np.testing.assert_allclose(fit.coef().to_numpy(), oracle.params[["x1", "x2"]].to_numpy(), rtol=0, atol=1e-8)
    assert fit.deviance == pytest.approx(oracle.deviance, rel=1e-11)
    assert fit.loglik == pytest.approx(oracle.llf, rel=1e-11)
    if not with_offset:  # statsmodels' null model keeps the offset; fepois' is a constant mean
        assert fit.loglik_null == pytest.approx(oracle.llnull, rel=1e-11)
        assert fit.null_deviance == pytest.approx(oracle.null_deviance, rel=1e-11)
        assert fit.pseudo_r2 == pytest.approx(1.0 - oracle.llf / oracle.llnull, rel=1e-9)


ROW_CASES = {
    # (rows, mean of the counts, weights, whole numbers)
    "small counts": (3_000, 4.0, False, True),
    "counts in the thousands, weights": (3_000, 3e3, True, True),
    # tabled up to the number of rows when that is above 65,536
    "counts up to the rows": (80_000, 6.8e3, False, True),
    # the deviance is 1e-5 of y log y: summed as the difference of sums it keeps about
    # nine digits, y log y - y log mu per row about eleven
    "large counts beyond the table": (3_000, 2e4, True, True),
    "not whole numbers": (3_000, 4.0, True, False),
}


@pytest.mark.parametrize("case", list(ROW_CASES), ids=list(ROW_CASES))
def test_deviance_and_loglik_equal_the_row_formulas_at_the_fitted_means(case):
    n, mean, weighted, whole = ROW_CASES[case]
    df = _panel(7, n, mean, groups=(40, 9), weights=weighted, whole=whole)
    fit = vantrel.fepois("y ~ x1 + x2 | f1 + f2", df, weights="w" if weighted else None, vcov="hetero")
    y, mu = df["y"].to_numpy(), fit.fitted().to_numpy()
    w = df["w"].to_numpy() if weighted else np.ones(n)
    # the textbook terms, each row on its own
    deviance = 2.0 * np.sum(w * (xlogy(y, y / mu) - (y - mu)))
    loglik = np.sum(w * (xlogy(y, mu) - mu - gammaln(y + 1.0)))
    mean_y = np.average(y, weights=w)
    loglik_null = np.sum(w * (xlogy(y, mean_y) - mean_y - gammaln(y + 1.0)))
    assert fit.deviance == pytest.approx(deviance, rel=1e-11)
    assert fit.loglik == pytest.approx(loglik, rel=1e-11)
    assert fit.loglik_null == pytest.approx(loglik_null, rel=1e-11)
    assert fit.pseudo_r2 == pytest.approx(1.0 - loglik / loglik_null, rel=1e-9)


GRAM_CASES = [
    (rows, columns, weighted)
    for rows in (1, 8191, 8193, 20_000)
    for columns in (1, 3, 6, 7, 12)
    for weighted in (False, True)
]


@pytest.mark.parametrize(
    ("rows", "columns", "weighted"), GRAM_CASES, ids=[f"{r}x{k}-{'W' if w else 'plain'}" for r, k, w in GRAM_CASES]
)
def test_chunked_cross_products_equal_numpy(rows, columns, weighted):
    rng = np.random.default_rng(rows + columns)
    block = rng.normal(size=(rows, columns)) * rng.uniform(0.1, 10.0, size=columns)
    W = rng.uniform(0.0, 3.0, size=rows) if weighted else None
    gram = least_squares.weighted_gram(block, W)
    expected = block.T @ (block if W is None else block * W[:, np.newaxis])
    scale = np.sqrt(np.outer(np.diag(expected), np.diag(expected)))
    np.testing.assert_array_less(np.abs(gram - expected), 1e-13 * scale + 1e-300)
    assert np.array_equal(gram, gram.T)  # the factorisation reads one triangle as the other


@pytest.mark.parametrize("layout", ["row-major", "a view of its columns"], ids=["row-major", "strided view"])
def test_cross_products_with_rows_scaled_in_place_equal_numpy(layout):
    rng = np.random.default_rng(3)
    full = rng.normal(size=(20_001, 5))
    block = full if layout == "row-major" else full[:, 1:4]
    before = block.copy()
    scale = 2.0 ** rng.integers(-8, 8, size=block.shape[1])  # powers of two, as the fit's
    root = np.sqrt(rng.uniform(0.1, 4.0, size=len(block)))
    gram = least_squares.weighted_gram(block, None, scale_rows=(scale, root))
    scaled = before * scale * root[:, np.newaxis]
    assert np.array_equal(block, scaled)  # the same two roundings as the product written out
    np.testing.assert_allclose(gram, scaled.T @ scaled, rtol=1e-13)
    if layout != "row-major":
        np.testing.assert_array_equal(full[:, [0, 4]], np.delete(full, [1, 2, 3], axis=1))


def _same_partition(a, b) -> bool:
    """Whether two labellings of the same nodes split them alike."""
    pairs = np.unique(np.stack([a, b]), axis=1)
    return len(np.unique(pairs[0])) == pairs.shape[1] == len(np.unique(pairs[1]))


COMPONENT_CASES = [
    # (levels, keys, edges): sparse graphs (many components and isolated nodes), dense
    # ones (one component), repeated edges, a single edge
    (levels, keys, edges, seed)
    for levels, keys, edges in [(50, 40, 30), (300, 20, 2_000), (1_000, 1_000, 700), (5, 3, 1), (200, 150, 180)]
    for seed in (0, 1)
]


@pytest.mark.parametrize(
    ("levels", "keys", "edges", "seed"),
    COMPONENT_CASES,
    ids=[f"{a}x{b}-{e}edges-{s}" for a, b, e, s in COMPONENT_CASES],
)
def test_certificate_components_equal_scipy_from_a_coordinate_list(levels, keys, edges, seed):
    rng = np.random.default_rng(seed)
    heads = rng.integers(0, levels, size=edges)
    tails = rng.integers(0, keys, size=edges)
    heads[: edges // 3] = heads[0]  # repeated edges and a level of high degree
    mask = rng.uniform(size=edges) < 0.7  # the rows already shown are the edges
    for dtype in (np.int32, np.int64):
        found = quarnet.bipartite_components(heads.astype(dtype), tails, levels, keys, mask)
        graph = coo_matrix(
            (np.ones(int(mask.sum())), (heads[mask], levels + tails[mask])), shape=(levels + keys, levels + keys)
        )
        expected = connected_components(graph, directed=False)[1]
        assert len(found) == levels + keys
        assert _same_partition(found, expected)
        # each node labelled by the smallest node of its component
        assert all(found[v] == np.flatnonzero(found == found[v])[0] for v in range(levels + keys))


def test_certificate_components_reject_ids_out_of_range():
    heads, tails = np.array([0, 3, 1]), np.array([0, 1, 2])
    with pytest.raises(ValueError, match=r"heads\[1\] = 3 is not in \[0, 3\)"):
        quarnet.bipartite_components(heads, tails, 3, 3)
    with pytest.raises(ValueError, match=r"tails\[2\] = 2 is not in \[0, 2\)"):
        quarnet.bipartite_components(np.array([0, 1, 2]), tails, 3, 2)
    # a row outside the mask is not an edge, and is not read
    labels = quarnet.bipartite_components(heads, tails, 3, 2, np.array([True, False, False]))
    assert list(labels) == [0, 1, 2, 0, 4]


def _dummies(ids) -> np.ndarray:
    return np.hstack([np.eye(int(ids[:, j].max()) + 1)[ids[:, j]] for j in range(ids.shape[1])])


LINK_CASES = [
    (effects, rows, share, seed)
    for effects in (2, 3)
    for rows, share in [(40, 0.3), (80, 0.6), (120, 0.8)]
    for seed in range(4)
]


@pytest.mark.parametrize(
    ("effects", "rows", "zero_share", "seed"),
    LINK_CASES,
    ids=[f"{f}fe-{n}rows-{z}zero-{s}" for f, n, z, s in LINK_CASES],
)
def test_certificate_links_agree_with_the_rank_of_the_dummies(effects, rows, zero_share, seed):
    """The rows with y = 0 lie in the row space of the dummies of the rows with y > 0 when
    the certificate's links say so; with two effects exactly when (the graph of the
    levels is all there is to their row space)."""
    rng = np.random.default_rng(seed)
    sizes = [int(rng.integers(3, 12)) for _ in range(effects)]
    ids = np.empty((rows, effects), dtype=np.int32, order="F")
    for j, G in enumerate(sizes):
        ids[:, j] = pd.factorize(rng.integers(0, G, size=rows), sort=True)[0]
    zero = rng.uniform(size=rows) < zero_share
    linked = separation._linked_to_positive(zero, ~zero, ids)
    D = _dummies(ids)
    rank_positive = np.linalg.matrix_rank(D[~zero]) if (~zero).any() else 0
    in_row_space = np.linalg.matrix_rank(D) == rank_positive
    if effects == 2:
        assert linked == in_row_space
    elif linked:
        assert in_row_space


def test_sample_narrowed_to_a_few_levels_equals_the_glm_on_the_rows_left():
    """Separation leaves five of 1,000 levels of f1, whose ids span more than four per row
    left (the ids are then renumbered by ranking, not by a table of the span); the
    estimate is the GLM's on the rows left."""
    rng = np.random.default_rng(8)
    kept_levels = [3, 250, 500, 750, 990]
    rows = []
    for level in range(1_000):
        n = 20 if level in kept_levels else 3
        rows.append(pd.DataFrame({"f1": level, "f2": rng.integers(0, 4, size=n), "x1": rng.normal(size=n)}))
    df = pd.concat(rows, ignore_index=True)
    df["y"] = np.where(df["f1"].isin(kept_levels), rng.poisson(np.exp(0.4 * df["x1"])), 0).astype(float)
    df["x2"] = rng.normal(size=len(df))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit = vantrel.fepois("y ~ x1 + x2 | f1 + f2", df, vcov="hetero", tol=1e-13, fixef_tol=1e-12)
    left = df[df["f1"].isin(kept_levels)].reset_index(drop=True)
    assert fit.nobs == len(left)
    assert fit.separated["fe"] == len(df) - len(left)
    oracle = _glm(left)
    np.testing.assert_allclose(fit.coef().to_numpy(), oracle.params[["x1", "x2"]].to_numpy(), rtol=0, atol=1e-8)
    assert fit.deviance == pytest.approx(oracle.deviance, rel=1e-10)
    assert fit.loglik == pytest.approx(oracle.llf, rel=1e-10)
