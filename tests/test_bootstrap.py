"""The wild cluster bootstrap and the Wald test against outside oracles: pyfixest's
wildboottest (the wildboottest package on the dummy-variable regression) with the same
weights and seed, the same bootstrap on the fixed effects as dummy columns (the draws'
t statistics equal), the test inversion's own p-values at the interval's ends, and
statsmodels' F and chi2 tests on the dummy regression."""

import warnings

import numpy as np
import pandas as pd
import pytest

import vantrel

pf = pytest.importorskip("pyfixest")
sm = pytest.importorskip("statsmodels.api")
pytest.importorskip("wildboottest")


def panel(N=300, G=12, seed=0):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame(
        {
            "g": rng.integers(0, G, N),
            "f": rng.integers(0, 6, N),
            "h": rng.integers(0, 4, N),
            "x1": rng.normal(size=N),
            "x2": rng.normal(size=N),
        }
    )
    df["y"] = 0.1 * df.x1 + 0.5 * df.x2 + 0.3 * df.f - 0.2 * df.h + rng.normal(size=N) + rng.normal(size=G)[df.g]
    return df


def pyfixest_boot(fml, df, B, weights, impose_null, seed):
    fit = pf.feols(fml, df, vcov={"CRV1": "g"})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        table, draws = fit.wildboottest(
            param="x1",
            reps=B,
            weights_type={"normal": "norm"}.get(weights, weights),
            seed=seed,
            impose_null=impose_null,
            return_bootstrapped_t_stats=True,
        )
    return table, np.asarray(draws, dtype=float).ravel()


WEIGHTS = ["rademacher", "webb", "mammen", "normal"]


@pytest.mark.parametrize("impose_null", [True, False], ids=["WCR", "WCU"])
@pytest.mark.parametrize("weights", WEIGHTS)
@pytest.mark.parametrize("fml", ["y ~ x1 + x2 | f", "y ~ x1 + x2"], ids=["fixed-effect", "none"])
def test_draws_equal_pyfixest(fml, weights, impose_null):
    df = panel(G=15)
    ours = vantrel.feols(fml, df, vcov={"CRV1": "g"}).wildboottest(
        "x1", B=499, weights=weights, impose_null=impose_null, seed=7
    )
    table, draws = pyfixest_boot(fml, df, 499, weights, impose_null, 7)
    assert not ours.enumerated
    np.testing.assert_allclose(ours.t_boot, draws, rtol=1e-9, atol=1e-9)
    assert ours.t == pytest.approx(float(table["t value"]), rel=1e-9)
    # a draw equal to |t| (the sign vectors +-1 under Rademacher enumeration, or all
    # clusters drawing the same Mammen value under the null) reproduces the fit's own
    # statistic: a tie, which rounding decides in pyfixest and which here never exceeds
    ties = np.isclose(np.abs(draws), abs(ours.t), rtol=1e-10, atol=0)
    assert ours.pvalue == pytest.approx(np.mean((np.abs(draws) > abs(ours.t)) & ~ties), abs=1e-12)
    assert abs(ours.pvalue - float(table["Pr(>|t|)"])) <= np.mean(ties) + 1e-12


@pytest.mark.parametrize("impose_null", [True, False], ids=["WCR", "WCU"])
def test_enumeration_equals_pyfixest(impose_null):
    # 2**8 = 256 sign vectors < B: both list every one, deterministically
    df = panel(G=8)
    ours = vantrel.feols("y ~ x1 + x2 | f", df, vcov={"CRV1": "g"}).wildboottest("x1", B=999, impose_null=impose_null)
    table, draws = pyfixest_boot("y ~ x1 + x2 | f", df, 999, "rademacher", impose_null, 1)
    assert ours.enumerated and ours.B == 256 == len(draws)
    np.testing.assert_allclose(ours.t_boot, draws, rtol=1e-9, atol=1e-9)
    # under the null the sign vectors +-1 reproduce the fit's own |t|: a tie, which
    # rounding decides in pyfixest; here a tie never exceeds
    t = float(table["t value"])
    assert ours.pvalue == pytest.approx(np.mean(np.abs(draws) > abs(t) * (1 + 1e-10)), abs=1e-12)


@pytest.mark.parametrize("impose_null", [True, False], ids=["WCR", "WCU"])
@pytest.mark.parametrize(
    ("absorbed", "dummies"),
    [
        ("y ~ x1 + x2 | f", "y ~ x1 + x2 + C(f)"),
        ("y ~ x1 + x2 | f + h", "y ~ x1 + x2 + C(f) + C(h)"),
        ("y ~ x1 + x2 | f + h", "y ~ x1 + x2 + C(h) | f"),
        ("y ~ x1 + x2 | g + f", "y ~ x1 + x2 + C(f) | g"),
    ],
    ids=["one", "two", "two-one-as-dummies", "nested-cluster-effect"],
)
def test_absorbing_equals_dummies(absorbed, dummies, impose_null):
    df = panel()
    runs = [
        vantrel.feols(fml, df, vcov={"CRV1": "g"}).wildboottest(
            "x1", r=0.05, B=299, weights="webb", impose_null=impose_null, seed=3
        )
        for fml in (absorbed, dummies)
    ]
    np.testing.assert_allclose(runs[0].t_boot, runs[1].t_boot, rtol=1e-7, atol=1e-9)
    assert runs[0].t == pytest.approx(runs[1].t, rel=1e-9)
    assert runs[0].pvalue == runs[1].pvalue
    np.testing.assert_allclose(runs[0].confint, runs[1].confint, rtol=1e-6)


@pytest.mark.parametrize("impose_null", [True, False], ids=["WCR", "WCU"])
@pytest.mark.parametrize("weights", ["rademacher", "normal"])
def test_interval_ends_are_where_the_test_rejects(weights, impose_null):
    df = panel(G=20)
    fit = vantrel.feols("y ~ x1 + x2 | f + h", df, vcov={"CRV1": "g"})
    res = fit.wildboottest("x1", B=399, weights=weights, impose_null=impose_null, seed=11, level=0.9)
    lower, upper = res.confint
    assert lower < fit.coef()["x1"] < upper
    width = upper - lower

    def p(r):
        return fit.wildboottest("x1", r=r, B=399, weights=weights, impose_null=impose_null, seed=11).pvalue

    for end, inward in ((lower, 1), (upper, -1)):
        assert p(end + inward * 1e-6 * width) >= 0.1
        assert p(end - inward * 1e-6 * width) < 0.1


def test_seed_and_generator_give_the_same_draws():
    fit = vantrel.feols("y ~ x1 + x2 | f", panel(G=20), vcov={"CRV1": "g"})
    a = fit.wildboottest("x1", B=199, seed=5)
    b = fit.wildboottest("x1", B=199, seed=np.random.default_rng(5))
    np.testing.assert_array_equal(a.t_boot, b.t_boot)
    assert a.to_series()["Pr(>|t|)"] == a.pvalue


@pytest.mark.parametrize(
    ("kwargs", "error", "match"),
    [
        ({"param": "x9"}, ValueError, "param = 'x9'"),
        ({"weights": "gamma"}, ValueError, "weights = 'gamma'"),
        ({"B": 0}, ValueError, "B must be a positive integer"),
        ({"cluster": "x3"}, ValueError, "cluster = 'x3'"),
        ({"r": float("nan")}, ValueError, "r must be a finite number"),
        ({"impose_null": "yes"}, TypeError, "impose_null"),
        ({"level": 1.5}, ValueError, "level must be"),
    ],
    ids=["param", "weights", "B", "cluster", "r", "impose_null", "level"],
)
def test_errors_name_the_argument(kwargs, error, match):
    fit = vantrel.feols("y ~ x1 + x2 | f", panel(), vcov={"CRV1": "g"})
    arguments = {"param": "x1", **kwargs}
    with pytest.raises(error, match=match):
        fit.wildboottest(**arguments)


def test_fit_without_a_cluster_asks_for_one():
    fit = vantrel.feols("y ~ x1 + x2 | f", panel())
    with pytest.raises(ValueError, match="cluster = None"):
        fit.wildboottest("x1")
    # a column the fit read serves as the cluster variable
    assert fit.wildboottest("x1", cluster="f", B=99, seed=1).G == 6


def dummy_regression(df):
    X = pd.get_dummies(df[["x1", "x2", "f"]].astype({"f": "category"}), drop_first=True, dtype=float)
    return sm.OLS(df["y"], sm.add_constant(X))


@pytest.mark.parametrize(
    ("vcov", "statsmodels_fit"),
    [
        ("iid", {}),
        ({"CRV1": "g"}, {"cov_type": "cluster", "use_t": True}),
    ],
    ids=["iid", "cluster"],
)
@pytest.mark.parametrize(
    ("R", "q"),
    [([[1.0, 0.0], [0.0, 1.0]], [0.0, 0.0]), ([[1.0, -1.0]], [0.2]), ([0.0, 1.0], 0.5)],
    ids=["joint", "difference", "one-row"],
)
def test_wald_test_equals_statsmodels(vcov, statsmodels_fit, R, q):
    df = panel()
    ours = vantrel.feols("y ~ x1 + x2 | f", df, vcov=vcov).wald_test(R, q)
    # the same test under the covariance recomputed after an iid fit
    after = vantrel.feols("y ~ x1 + x2 | f", df).wald_test(R, q, vcov=vcov)
    pd.testing.assert_series_equal(after, ours, rtol=1e-12)
    if statsmodels_fit:
        statsmodels_fit = {**statsmodels_fit, "cov_kwds": {"groups": df["g"]}}
    model = dummy_regression(df)
    result = model.fit(**statsmodels_fit)
    full = np.zeros((np.atleast_2d(R).shape[0], len(result.params)))
    full[:, 1:3] = np.atleast_2d(R)
    F = result.f_test((full, np.atleast_1d(q)))
    assert ours["F"] == pytest.approx(float(F.fvalue), rel=1e-8)
    assert ours["Pr(>F)"] == pytest.approx(float(F.pvalue), rel=1e-6)
    assert ours["df2"] == F.df_denom
    W = result.wald_test((full, np.atleast_1d(q)), use_f=False, scalar=True)
    assert ours["chi2"] == pytest.approx(float(W.statistic), rel=1e-8)
    assert ours["Pr(>chi2)"] == pytest.approx(float(W.pvalue), rel=1e-6)


@pytest.mark.parametrize(
    ("R", "q", "match"),
    [
        ([1.0, 0.0, 0.0], 0.0, "R must be a finite J x 2"),
        ([[1.0, 0.0], [2.0, 0.0]], 0.0, "not linearly"),
        ([[1.0, 0.0]], [0.0, 1.0], "q must be"),
    ],
    ids=["shape", "dependent", "q"],
)
def test_wald_test_errors(R, q, match):
    fit = vantrel.feols("y ~ x1 + x2 | f", panel())
    with pytest.raises(ValueError, match=match):
        fit.wald_test(R, q)


@pytest.mark.parametrize("impose_null", [True, False], ids=["WCR", "WCU"])
def test_weighted_absorbing_equals_dummies(impose_null):
    df = panel()
    df["w"] = np.random.default_rng(4).uniform(0.5, 2.0, len(df))
    runs = [
        vantrel.feols(fml, df, vcov={"CRV1": "g"}, weights="w").wildboottest(
            "x2", B=199, impose_null=impose_null, seed=2
        )
        for fml in ("y ~ x1 + x2 | f + h", "y ~ x1 + x2 + C(f) + C(h)")
    ]
    np.testing.assert_allclose(runs[0].t_boot, runs[1].t_boot, rtol=1e-7, atol=1e-9)
    # the fit's own CRV1 t statistic, whose correction counts the same parameters
    fit = vantrel.feols("y ~ x1 + x2 + C(f) + C(h)", df, vcov={"CRV1": "g"}, weights="w")
    assert runs[1].t == pytest.approx(fit.tstat()["x2"], rel=1e-8)


def test_fit_out_of_memory_says_why():
    duckdb = pytest.importorskip("duckdb")
    relation = duckdb.from_df(panel())
    fit = vantrel.feols("y ~ x1 + x2 | f", relation, vcov={"CRV1": "g"})
    with pytest.raises(ValueError, match="keeps no absorbed regressors"):
        fit.wildboottest("x1")
