"""HC2/HC3 with fixed effects against statsmodels on the dummy-variable regression, the
random estimate of the fixed effects' leverages against the exact ones within its stated
error, and CRV3 against a brute-force leave-one-cluster-out jackknife with dummies and
against pyfixest."""

import numpy as np
import pandas as pd
import pyfixest as pf
import pytest
import statsmodels.api as sm
from conftest import drop_singletons_reference, make_panel

import vantrel
from vantrel.inference.leverage import fixed_effect_leverage

pytestmark = pytest.mark.filterwarnings("ignore:The inplace keyword")


@pytest.fixture(scope="module")
def data():
    df = make_panel(seed=5, n=500, groups=(30, 10, 8))
    rng = np.random.default_rng(9)
    df["w"] = rng.uniform(0.3, 4.0, len(df))
    df["g"] = rng.integers(0, 12, len(df))
    df["h"] = rng.integers(0, 3, len(df))
    df["x2"] += 0.5 * df["x1"] ** 2  # some rows with larger leverage
    return df


def _dummy_design(df, x, effects):
    columns = [df[x].to_numpy(dtype=float)]
    for effect in effects:
        ids = df.groupby(effect.split("^")).ngroup().to_numpy()
        columns.append(np.eye(ids.max() + 1)[ids])
    if not effects:
        columns.append(np.ones((len(df), 1)))
    return np.column_stack(columns)


def _sample(df, effects):
    return drop_singletons_reference(df, [e.replace("^", "#") for e in effects]) if effects else df


MODELS = [
    pytest.param([], None, id="no_fe"),
    pytest.param(["a"], None, id="one_fe"),
    pytest.param(["a", "b"], None, id="two_fe"),
    pytest.param(["a", "b", "c"], "w", id="three_fe_weights"),
    pytest.param(["a"], "w", id="one_fe_weights"),
    pytest.param(["a^c"], None, id="interacted"),
]


def _fml(effects, x=("x1", "x2")):
    return "y ~ " + " + ".join(x) + (" | " + " + ".join(effects) if effects else "")


@pytest.mark.parametrize("leverage", ["auto", "exact"])
@pytest.mark.parametrize("kind", ["HC2", "HC3"])
@pytest.mark.parametrize("effects, weights", MODELS)
def test_hc2_hc3_equal_statsmodels_with_dummies(data, effects, weights, kind, leverage):
    sample = _sample(data, effects)
    design = _dummy_design(sample, ["x1", "x2"], effects)
    y = sample["y"].to_numpy()
    if weights:
        model = sm.WLS(y, design, weights=sample[weights].to_numpy())
    else:
        model = sm.OLS(y, design)
    theirs = model.fit(cov_type=kind)
    fit = vantrel.feols(_fml(effects), data, weights=weights, vcov={kind: {"leverage": leverage}})
    assert fit.nobs == len(sample)
    xs = _xs(fit)
    np.testing.assert_allclose(fit.beta[xs], theirs.params[:2], rtol=1e-8)
    np.testing.assert_allclose(fit.vcov_matrix[np.ix_(xs, xs)], theirs.cov_params()[:2, :2], rtol=1e-7)
    # the k factor only on request, N/(N-k) as for HC1
    adjusted = vantrel.feols(_fml(effects), data, weights=weights).with_vcov(kind, vantrel.ssc(k_fixef="full"))
    np.testing.assert_allclose(adjusted.vcov_matrix, fit.vcov_matrix * fit.nobs / (fit.nobs - adjusted.df_k))


def _xs(fit):
    return [fit.coefnames.index(name) for name in ("x1", "x2")]


def _exact_fe_leverage(sample, effects, weights):
    D = np.column_stack(
        [np.eye(ids.max() + 1)[ids] for ids in (sample.groupby(e.split("^")).ngroup().to_numpy() for e in effects)]
    )
    w = np.ones(len(sample)) if weights is None else sample[weights].to_numpy()
    Dw = D * np.sqrt(w)[:, None]
    return np.einsum("ij,ij->i", Dw @ np.linalg.pinv(Dw.T @ Dw), Dw)


@pytest.mark.parametrize("draws", [100, 400])
@pytest.mark.parametrize(
    "effects, weights",
    [
        pytest.param(["a", "b"], None, id="two_fe"),
        pytest.param(["a", "b", "c"], "w", id="three_fe_weights"),
        pytest.param(["a"], None, id="one_fe"),
    ],
)
def test_random_fixed_effect_leverages_are_within_their_stated_error(data, effects, weights, draws):
    sample = _sample(data, effects)
    exact = _exact_fe_leverage(sample, effects, weights)
    fit = vantrel.feols(_fml(effects), data, weights=weights)
    system = fit._inference_system("test")
    estimate, how = fixed_effect_leverage(system, "random", draws, seed=1)
    assert how == f"random ({draws} draws)"
    sd = np.sqrt(2.0 / draws) * exact  # the stated bound on each estimate's deviation
    z = (estimate - exact) / sd
    assert np.abs(z).max() < 5.0
    # the same bound holds for their sum, the rank of the dummies (the rows share the draws)
    assert abs(estimate.sum() - exact.sum()) < 5.0 * np.sqrt(2.0 / draws) * exact.sum()
    # and the exact routes agree with the dummies to rounding
    np.testing.assert_allclose(fixed_effect_leverage(system, "exact")[0], exact, rtol=1e-8, atol=1e-12)


def test_random_leverages_move_hc3_little(data):
    fit = vantrel.feols(_fml(["a", "b"]), data)
    exact = fit.with_vcov({"HC3": {"leverage": "exact"}}).se()
    rough = fit.with_vcov({"HC3": {"leverage": "random", "draws": 400, "seed": 2}}).se()
    np.testing.assert_allclose(rough, exact, rtol=0.02)
    assert not np.allclose(rough, exact, rtol=1e-10)  # a different route, not the same numbers


@pytest.mark.parametrize("kind", ["HC2", "HC3"])
def test_leverage_one_is_an_error_naming_the_row(data, kind):
    frame = data.copy()
    frame["lone"] = 0.0
    frame.loc[7, "lone"] = 1.0  # a regressor only row 7 has: that row is fit exactly
    with pytest.raises(ValueError, match=rf"vcov = '{kind}': 1 observation\(s\) have leverage 1 \(the first: row 7"):
        vantrel.feols("y ~ x1 + lone | a", frame, vcov=kind)


def _brute_jackknife(sample, effects, cluster, weights):
    """sum_g (b_-g - b)(b_-g - b)' by fitting the dummy regression without each cluster."""
    X = _dummy_design(sample, ["x1", "x2"], effects)
    y = sample["y"].to_numpy()
    w = np.ones(len(sample)) if weights is None else sample[weights].to_numpy()
    root = np.sqrt(w)

    def coef(rows):
        return np.linalg.lstsq(X[rows] * root[rows, None], y[rows] * root[rows], rcond=None)[0][:2]

    b = coef(np.ones(len(y), dtype=bool))
    codes = sample.groupby(cluster.split("^")).ngroup().to_numpy()
    deltas = np.array([coef(codes != g) - b for g in range(codes.max() + 1)])
    return deltas.T @ deltas, codes.max() + 1


CLUSTERED = [
    pytest.param([], "g", None, id="no_fe"),
    pytest.param(["a"], "a", None, id="nested"),
    pytest.param(["a", "b"], "a", "w", id="partly_nested_weights"),
    pytest.param(["a", "b"], "c", None, id="not_nested"),
    pytest.param(["a", "b"], "g", "w", id="not_nested_weights"),
    pytest.param(["a^c"], "a", None, id="interacted_in_cluster"),
]


@pytest.mark.parametrize("effects, cluster, weights", CLUSTERED)
def test_crv3_equals_the_brute_force_jackknife(data, effects, cluster, weights):
    sample = _sample(data, effects)
    expected, G = _brute_jackknife(sample, effects, cluster, weights)
    fit = vantrel.feols(_fml(effects), data, weights=weights, vcov={"CRV3": cluster}, ssc="none")
    xs = _xs(fit)
    np.testing.assert_allclose(fit.vcov_matrix[np.ix_(xs, xs)], expected, rtol=1e-6)
    assert fit.clusters == {cluster: G} and fit.df_t == G - 1


@pytest.mark.parametrize(
    "effects, weights",
    [pytest.param(["a"], None, id="one_fe"), pytest.param(["a", "b"], "w", id="two_fe_weights")],
)
def test_twoway_crv3_is_the_sum_over_cluster_subsets(data, effects, weights):
    sample = _sample(data, effects).copy()
    sample["ch"] = sample["c"].astype(str) + "_" + sample["h"].astype(str)
    V_c, G_c = _brute_jackknife(sample, effects, "c", weights)
    V_h, G_h = _brute_jackknife(sample, effects, "h", weights)
    V_ch, _ = _brute_jackknife(sample, effects, "ch", weights)
    G = min(G_c, G_h)
    fit = vantrel.feols(_fml(effects), data, weights=weights, vcov={"CRV3": "c+h"}, ssc=vantrel.ssc(k_adj=False))
    # G/(G-1) with the smallest G on every term, as CRV1's default
    xs = _xs(fit)
    np.testing.assert_allclose(fit.vcov_matrix[np.ix_(xs, xs)], G / (G - 1) * (V_c + V_h - V_ch), rtol=1e-6)


@pytest.mark.parametrize(
    "fml, cluster, weights",
    [
        pytest.param("y ~ x1 + x2 | a", "a", None, id="nested"),
        pytest.param("y ~ x1 + x2 | a + b", "c", "w", id="not_nested_weights"),
        pytest.param("y ~ x1 + x2", "g", "w", id="no_fe_weights"),
    ],
)
def test_crv3_equals_pyfixest(data, fml, cluster, weights):
    theirs = pf.feols(fml, data, weights=weights, vcov={"CRV3": cluster})
    ours = vantrel.feols(fml, data, weights=weights, vcov={"CRV3": cluster})
    np.testing.assert_allclose(ours.vcov_matrix, theirs._vcov, rtol=1e-6)
    assert ours.df_t == theirs._df_t


@pytest.mark.parametrize("scale", [1e-3, 1e4])
def test_crv3_refits_scale_with_the_outcome_and_ignore_row_order(data, scale):
    fml, vcov = "y ~ x1 + x2 | a + b", {"CRV3": "c"}
    base = vantrel.feols(fml, data, vcov=vcov)
    frame = data.sample(frac=1.0, random_state=4).assign(y=lambda d: d.y * scale)
    moved = vantrel.feols(fml, frame, vcov=vcov)
    np.testing.assert_allclose(moved.vcov_matrix, base.vcov_matrix * scale**2, rtol=1e-6)


@pytest.mark.parametrize(
    "effects, cluster",
    [pytest.param(["a"], "a", id="nested"), pytest.param(["a", "b"], "g", id="not_nested")],
)
def test_cluster_leverage_against_dummies(data, effects, cluster):
    sample = _sample(data, effects)
    fit = vantrel.feols(_fml(effects), data)
    table = fit.cluster_leverage(cluster)
    assert table["nobs"].sum() == fit.nobs
    # the clusters' leverages of the absorbed regressors add up to their number
    np.testing.assert_allclose(table["leverage"].sum(), len(fit.coefnames))
    X = _dummy_design(sample, ["x1", "x2"], effects)
    y = sample["y"].to_numpy()
    for value in table.index[:4]:
        rows = (sample[cluster] != value).to_numpy()
        b = np.linalg.lstsq(X[rows], y[rows], rcond=None)[0][:2]
        np.testing.assert_allclose(table.loc[value, ["beta_no_g[x1]", "beta_no_g[x2]"]].to_numpy(), b, rtol=1e-6)
    assert isinstance(table.describe(), pd.DataFrame)


# Leave-one-cluster-out fits of effects not nested in the clusters, found in the space of
# the fixed effects (one or two effects) rather than by absorbing each subsample again.

PROJECTED = [
    pytest.param(["a"], "g", None, id="one_fe"),
    pytest.param(["a"], "c", "w", id="one_fe_weights"),
    pytest.param(["a", "b"], "h", "w", id="two_fe_three_clusters_weights"),
    pytest.param(["b", "a"], "g", None, id="two_fe_smaller_first"),
    pytest.param(["a^c", "b"], "g", "w", id="interacted_and_one_weights"),
    pytest.param(["a", "b^h"], "c", None, id="one_and_interacted"),
]


@pytest.mark.parametrize("effects, cluster, weights", PROJECTED)
def test_projected_crv3_equals_the_brute_force_jackknife(data, effects, cluster, weights):
    sample = _sample(data, effects)
    expected, G = _brute_jackknife(sample, effects, cluster, weights)
    fit = vantrel.feols(_fml(effects), data, weights=weights, vcov={"CRV3": cluster}, ssc="none")
    xs = _xs(fit)
    np.testing.assert_allclose(fit.vcov_matrix[np.ix_(xs, xs)], expected, rtol=1e-8)


def _split_panel(weights):
    """Two blocks of firms and years joined only by the rows of cluster 0, a cluster that
    also holds every row of firm 0: leaving it out drops a level and splits the rest in
    two sets of levels, each with its own constant."""
    rng = np.random.default_rng(3)
    n = 240
    block = rng.integers(0, 2, n)
    frame = pd.DataFrame(
        {
            "firm": 1 + block * 6 + rng.integers(0, 6, n),
            "year": block * 4 + rng.integers(0, 4, n),
            "cl": 1 + rng.integers(0, 5, n),
        }
    )
    bridge = pd.DataFrame({"firm": [0, 0, 0, 1, 7, 2, 9], "year": [0, 5, 6, 4, 1, 6, 2], "cl": 0})
    frame = pd.concat([frame, bridge], ignore_index=True)
    frame["x1"] = rng.normal(size=len(frame)) + 0.2 * frame.firm
    frame["x2"] = rng.normal(size=len(frame)) + 0.1 * frame.year**2
    frame["y"] = frame.x1 - frame.x2 + rng.normal(size=13)[frame.firm] + rng.normal(size=len(frame))
    frame["w"] = rng.uniform(0.5, 2.0, len(frame)) if weights else 1.0
    return frame


@pytest.mark.parametrize("weights", [pytest.param(False, id="unweighted"), pytest.param(True, id="weights")])
def test_projected_crv3_when_a_cluster_joins_the_levels(weights):
    frame = _split_panel(weights)
    fit = vantrel.feols("y ~ x1 + x2 | firm + year", frame, weights="w", vcov={"CRV3": "cl"}, ssc="none")
    assert fit.nobs == len(frame)
    expected, _ = _brute_jackknife(frame, ["firm", "year"], "cl", "w")
    np.testing.assert_allclose(fit.vcov_matrix, expected, rtol=1e-8)
    table = fit.cluster_leverage("cl")
    X = _dummy_design(frame, ["x1", "x2"], ["firm", "year"])
    root = np.sqrt(frame.w.to_numpy())
    rows = (frame.cl != 0).to_numpy()
    alone = np.linalg.lstsq(X[rows] * root[rows, None], frame.y.to_numpy()[rows] * root[rows], rcond=None)[0][:2]
    np.testing.assert_allclose(table.loc[0, ["beta_no_g[x1]", "beta_no_g[x2]"]].to_numpy(), alone, rtol=1e-8)


@pytest.mark.parametrize(
    "effects, cluster, weights",
    [
        pytest.param(["a", "b"], "c", None, id="two_fe"),
        pytest.param(["a", "b"], "g", "w", id="two_fe_weights"),
        pytest.param(["a"], "g", "w", id="one_fe_weights"),
    ],
)
def test_projected_deltas_equal_the_refits_and_the_sparse_route(data, effects, cluster, weights, monkeypatch):
    from vantrel.inference import jackknife

    fit = vantrel.feols(_fml(effects), data, weights=weights)
    system = fit._inference_system("test")
    codes = system.ids(cluster)
    G = int(codes.max()) + 1
    refits = jackknife._refit_deltas(system, codes, G, cluster)
    projected, how = jackknife.leave_one_out_deltas(system, codes, G, cluster)
    assert how == "projected"
    np.testing.assert_allclose(projected, refits, rtol=1e-7, atol=1e-9 * np.abs(refits).max())
    monkeypatch.setattr(jackknife, "_DENSE_LEVELS", 0)
    np.testing.assert_allclose(jackknife.leave_one_out_deltas(system, codes, G, cluster)[0], projected, rtol=1e-10)


@pytest.mark.parametrize(
    "fml, cluster, weights",
    [
        pytest.param("y ~ x1 + x2 | a", "g", "w", id="one_fe_weights"),
        pytest.param("y ~ x1 + x2 | a + b", "g", None, id="two_fe"),
        pytest.param("y ~ x1 | a + c", "h", "w", id="two_fe_three_clusters_weights"),
    ],
)
def test_projected_crv3_equals_pyfixest(data, fml, cluster, weights):
    theirs = pf.feols(fml, data, weights=weights, vcov={"CRV3": cluster})
    ours = vantrel.feols(fml, data, weights=weights, vcov={"CRV3": cluster})
    np.testing.assert_allclose(ours.vcov_matrix, theirs._vcov, rtol=1e-8)
    np.testing.assert_allclose(ours.se().to_numpy(), theirs.se().to_numpy(), rtol=1e-8)


@pytest.mark.parametrize("weights", [pytest.param(None, id="unweighted"), pytest.param("w", id="weights")])
def test_twoway_projected_crv3_is_the_sum_over_cluster_subsets(data, weights):
    effects = ["a", "b"]
    sample = _sample(data, effects).copy()
    sample["gh"] = sample["g"].astype(str) + "_" + sample["h"].astype(str)
    V_g, G_g = _brute_jackknife(sample, effects, "g", weights)
    V_h, G_h = _brute_jackknife(sample, effects, "h", weights)
    V_gh, _ = _brute_jackknife(sample, effects, "gh", weights)
    fit = vantrel.feols(_fml(effects), data, weights=weights, vcov={"CRV3": "g+h"}, ssc=vantrel.ssc(k_adj=False))
    G = min(G_g, G_h)
    xs = _xs(fit)
    np.testing.assert_allclose(fit.vcov_matrix[np.ix_(xs, xs)], G / (G - 1) * (V_g + V_h - V_gh), rtol=1e-8)


THREE_WAY = [
    pytest.param(["a", "b", "c"], "g", None, id="three_fe"),
    pytest.param(["a", "b", "c"], "h", "w", id="three_fe_three_clusters_weights"),
    pytest.param(["a", "b", "c"], "b", "w", id="three_fe_one_nested_weights"),
    pytest.param(["a", "b^h", "c"], "g", None, id="three_fe_interacted"),
]


@pytest.mark.parametrize("effects, cluster, weights", THREE_WAY)
def test_three_effects_through_their_space_equal_the_brute_force_jackknife(data, effects, cluster, weights):
    from vantrel.inference import jackknife

    sample = _sample(data, effects)
    expected, _ = _brute_jackknife(sample, effects, cluster, weights)
    fit = vantrel.feols(_fml(effects), data, weights=weights, vcov={"CRV3": cluster}, ssc="none")
    xs = _xs(fit)
    np.testing.assert_allclose(fit.vcov_matrix[np.ix_(xs, xs)], expected, rtol=1e-8)
    system = fit._inference_system("test")
    codes = system.ids(cluster)
    assert jackknife.leave_one_out_deltas(system, codes, int(codes.max()) + 1, cluster)[1] == "projected"


@pytest.mark.parametrize(
    "setting, value",
    [
        pytest.param("_CERTIFIED", -1.0, id="no_solution_certified"),
        pytest.param("_DENSE_FLOPS_PER_ENTRY", 0, id="too_many_levels"),
    ],
)
def test_three_effects_fall_back_to_the_refits(data, setting, value, monkeypatch):
    from vantrel.inference import jackknife

    fit = vantrel.feols(_fml(["a", "b", "c"]), data, weights="w")
    system = fit._inference_system("test")
    codes = system.ids("g")
    G = int(codes.max()) + 1
    projected, how = jackknife.leave_one_out_deltas(system, codes, G, "g")
    assert how == "projected"
    monkeypatch.setattr(jackknife, setting, value)
    refits, how = jackknife.leave_one_out_deltas(system, codes, G, "g")
    assert how == "refits"
    np.testing.assert_allclose(projected, refits, rtol=1e-7, atol=1e-9 * np.abs(refits).max())
