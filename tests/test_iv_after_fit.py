"""Covariances after the fit of two-stage least squares (``fit.with_vcov`` and the methods
taking ``vcov=``) and of its first stages.

Oracles: the same model estimated with ``vcov=`` (the identity with_vcov(v) == feols(...,
vcov=v)), linearmodels' IV2SLS with the fixed effects as dummies (unadjusted, robust, one-
and two-way clustered, the Bartlett kernel of a time series, its Wald test), pyfixest's IV
under its default corrections, and the invariance that instruments equal to the endogenous
regressors give OLS, whose Newey-West, Driscoll-Kraay and Conley covariances are tested
against statsmodels and linearmodels elsewhere. The first stages against the same
regressions estimated with feols (and statsmodels' HC3 with dummies). The kinds that are not
the second stage's sandwich for two-stage least squares are refused by name.
"""

import warnings

import duckdb
import numpy as np
import pandas as pd
import pyfixest as pf
import pytest
import statsmodels.api as sm
from linearmodels.iv import IV2SLS
from test_iv import MODELS, dummies, formula, make_iv_data

import vantrel

pytestmark = pytest.mark.filterwarnings("ignore:The inplace keyword")

EXACT = 1e-12


@pytest.fixture(scope="module")
def data():
    df = make_iv_data(seed=11, n=1200)
    df["t"] = np.arange(len(df))  # a time series: one row per period, in period order
    return df


@pytest.fixture(scope="module")
def panel():
    """50 units over 16 periods with errors correlated within a unit over time, and
    coordinates per unit for Conley's covariance."""
    rng = np.random.default_rng(3)
    U, T = 50, 16
    unit, period = np.repeat(np.arange(U), T), np.tile(np.arange(T), U)
    n = U * T
    a, b = rng.normal(size=U)[unit], rng.normal(size=T)[period]
    z1, z2 = rng.normal(size=(2, n))
    x = rng.normal(size=n) + 0.3 * a
    shocks, e = rng.normal(size=n), np.zeros(n)
    for i in range(n):
        e[i] = shocks[i] + (0.5 * e[i - 1] if period[i] > 0 else 0.0)
    d = 0.7 * z1 + 0.4 * z2 + a + rng.normal(size=n) + 0.5 * e
    y = 1.0 + 1.2 * d + 0.5 * x + a + b + e
    lat, lon = rng.uniform(40, 50, U)[unit], rng.uniform(0, 15, U)[unit]
    return pd.DataFrame(
        dict(y=y, x=x, d=d, c=d, z1=z1, z2=z2, unit=unit, t=period, lat=lat, lon=lon, w=rng.uniform(0.5, 2, n))
    )


def assert_same_covariance(got, expected, rtol=EXACT):
    np.testing.assert_allclose(got.vcov_matrix, expected.vcov_matrix, rtol=rtol, atol=0)
    assert got.vcov_type == expected.vcov_type
    assert (got.df_t, got.df_k, got.clusters) == (expected.df_t, expected.df_k, expected.clusters)
    assert got.ssc == expected.ssc


VCOVS = {
    "iid": "iid",
    "hetero": "hetero",
    "one_way": {"CRV1": "g"},
    "two_way": {"CRV1": "g+f2"},  # f2 is also a fixed effect: nested in the second way
}
SSCS = {"default": None, "full_conventional": vantrel.ssc(k_fixef="full", G_df="conventional")}


@pytest.mark.parametrize("ssc", list(SSCS))
@pytest.mark.parametrize("weights", [None, "w"], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("vcov", list(VCOVS))
@pytest.mark.parametrize("model", list(MODELS))
def test_with_vcov_equals_estimating_with_vcov(data, model, vcov, weights, ssc):
    """From a fit under another covariance, every method taking vcov= gives the numbers
    of the model estimated with it, to rounding."""
    fml = formula(*MODELS[model])
    v, corrections = VCOVS[vcov], SSCS[ssc]
    start = "hetero" if vcov == "iid" else "iid"
    fit = vantrel.feols(fml, data, vcov=start, weights=weights)
    expected = vantrel.feols(fml, data, vcov=v, weights=weights, ssc=corrections)
    got = fit.with_vcov(v, corrections)
    assert type(got) is vantrel.IVResult
    assert_same_covariance(got, expected)
    np.testing.assert_array_equal(got.beta, fit.beta)
    np.testing.assert_allclose(fit.se(vcov=v, ssc=corrections), expected.se(), rtol=EXACT)
    np.testing.assert_allclose(fit.tidy(vcov=v, ssc=corrections), expected.tidy(), rtol=1e-10)
    # the first stages are least-squares fits on the same rows
    for first, reference in zip(fit.first_stage, expected.first_stage, strict=True):
        assert_same_covariance(first.with_vcov(v, corrections), reference, rtol=1e-11)


def linearmodels_model(df, exog, endog, instruments, effects, weights=None):
    exog_frame = pd.concat([dummies(df, effects), df[exog]], axis=1)
    w = None if weights is None else df[weights]
    return IV2SLS(df["y"], exog_frame, df[endog], df[instruments], weights=w)


LINEARMODELS = {
    "iid": ("iid", dict(cov_type="unadjusted")),
    "hetero": ("hetero", dict(cov_type="robust")),
    "one_way": ({"CRV1": "g"}, dict(cov_type="clustered", clusters=["g"])),
    # linearmodels adjusts each term of the two-way sum by its own count of clusters
    "two_way": ({"CRV1": "g+f1"}, dict(cov_type="clustered", clusters=["g", "f1"])),
}


@pytest.mark.parametrize("weights", [None, "w"], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("cov", list(LINEARMODELS))
@pytest.mark.parametrize("model", list(MODELS))
def test_with_vcov_matches_linearmodels_with_dummies(data, model, cov, weights):
    """Every fixed-effect dummy counted (k_fixef="full") and each cluster term by its own
    count (G_df="conventional"): linearmodels' debiased covariances."""
    exog, endog, instruments, effects = MODELS[model]
    vcov, options = LINEARMODELS[cov]
    if "clusters" in options:
        options = dict(options, clusters=data[options["clusters"]])
    fit = vantrel.feols(formula(exog, endog, instruments, effects), data, weights=weights, fixef_tol=1e-12)
    got = fit.with_vcov(vcov, vantrel.ssc(k_fixef="full", G_df="conventional"))
    ref = linearmodels_model(data, exog, endog, instruments, effects, weights).fit(debiased=True, **options)
    names = got.coefnames
    ref_names = [("const" if name == "Intercept" else name) for name in names]
    np.testing.assert_allclose(got.vcov.to_numpy(), ref.cov.loc[ref_names, ref_names].to_numpy(), rtol=1e-7)


@pytest.mark.parametrize("weights", [None, "w"], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("lag", [1, 4])
@pytest.mark.parametrize("model", ["one_endo_two_fe", "two_endo_overid", "no_fixed_effects"])
def test_time_series_newey_west_matches_linearmodels_kernel(data, model, lag, weights):
    """linearmodels' Bartlett kernel over the rows in time order is the time-series
    Newey-West of the second stage's scores: without corrections (debiased=False) and with
    its N/(N - k), which is (N-1)/(N-k) T/(T-1) with one row per period and every dummy
    counted."""
    exog, endog, instruments, effects = MODELS[model]
    fit = vantrel.feols(formula(exog, endog, instruments, effects), data, weights=weights, fixef_tol=1e-12)
    nw = {"NW": {"time": "t", "lag": lag}}
    model_ = linearmodels_model(data, exog, endog, instruments, effects, weights)
    names = [("const" if name == "Intercept" else name) for name in fit.coefnames]
    cases = [
        (vantrel.ssc(k_adj=False, G_adj=False), False),
        (vantrel.ssc(k_fixef="full"), True),
    ]
    for corrections, debiased in cases:
        got = fit.with_vcov(nw, corrections)
        ref = model_.fit(cov_type="kernel", kernel="bartlett", bandwidth=lag, debiased=debiased)
        np.testing.assert_allclose(got.vcov.to_numpy(), ref.cov.loc[names, names].to_numpy(), rtol=1e-7)
        assert got.df_t == len(data) - 1


PANEL_KINDS = {
    "nw_panel": {"NW": {"time": "t", "panel": "unit", "lag": 2}},
    "nw_default_lag": {"NW": {"time": "t", "panel": "unit"}},
    "dk": {"DK": {"time": "t", "lag": 3}},
    "conley": {"conley": {"lat": "lat", "lon": "lon", "cutoff": 300}},
    "conley_bartlett": {"conley": {"lat": "lat", "lon": "lon", "cutoff": 500, "kernel": "bartlett"}},
}


@pytest.mark.parametrize("weights", [None, "w"], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("kind", list(PANEL_KINDS))
def test_hac_with_instruments_equal_to_endogenous_is_ols(panel, kind, weights):
    """Instrumented by itself, the endogenous regressor's fitted values are itself: the
    covariances after the fit are those of the least-squares fit of the same model."""
    vcov = PANEL_KINDS[kind]
    iv = vantrel.feols("y ~ x | unit + t | d ~ c", panel, weights=weights, fixef_tol=1e-12)
    ols = vantrel.feols("y ~ x + d | unit + t", panel, weights=weights, fixef_tol=1e-12)
    assert_same_covariance(iv.with_vcov(vcov), ols.with_vcov(vcov), rtol=1e-8)


@pytest.mark.parametrize("kind", ["nw_panel", "dk", "conley"])
def test_hac_of_iv_differs_from_the_ols_rows_and_equals_the_second_stage_sandwich(panel, kind):
    """With real instruments the HAC covariance is the one of the second stage's
    regressors (Z Pi) with the structural residuals: the same sandwich linearmodels forms
    (x-hat times the residuals of the actual regressors), here checked with the NumPy
    dummy-variable second stage under the same kernel; it is not least squares' of y on
    [x, d]."""
    vcov = PANEL_KINDS[kind]
    fit = vantrel.feols("y ~ x | unit + t | d ~ z1 + z2", panel, fixef_tol=1e-12)
    D = dummies(panel, ["unit", "t"]).to_numpy()
    Z = np.column_stack([D, panel[["x", "z1", "z2"]].to_numpy()])
    X = np.column_stack([D, panel[["x", "d"]].to_numpy()])
    X_hat = Z @ np.linalg.lstsq(Z, X, rcond=None)[0]
    b = np.linalg.lstsq(X_hat, panel["y"].to_numpy(), rcond=None)[0]
    u = panel["y"].to_numpy() - X @ b
    np.testing.assert_allclose(b[-2:], fit.beta, rtol=1e-8)
    # the covariance of least squares on the dummy-variable second stage, under the same
    # kind, from an OLS fit whose residuals are the structural ones: y* = X_hat b + u
    stand_in = pd.DataFrame({"ystar": X_hat[:, -2:] @ b[-2:] + u, "xh": X_hat[:, -2], "dh": X_hat[:, -1]})
    stand_in = pd.concat([stand_in, panel[["unit", "t", "lat", "lon"]]], axis=1)
    # the fixed effects' part of X_hat b is absorbed with the effects themselves
    ref = vantrel.feols("ystar ~ xh + dh | unit + t", stand_in, fixef_tol=1e-12).with_vcov(vcov)
    np.testing.assert_allclose(ref.beta, fit.beta, rtol=1e-8)
    np.testing.assert_allclose(fit.with_vcov(vcov).vcov_matrix, ref.vcov_matrix, rtol=1e-7)
    ols = vantrel.feols("y ~ x + d | unit + t", panel).with_vcov(vcov)
    assert not np.allclose(fit.with_vcov(vcov).se(), ols.se(), rtol=1e-2)


PYFIXEST_VCOVS = {"hetero": "hetero", "one_way": {"CRV1": "g"}, "two_way": {"CRV1": "g+f1"}}


@pytest.mark.parametrize("vcov", list(PYFIXEST_VCOVS))
@pytest.mark.parametrize(
    "fml", ["y ~ x | f1 + f2 | d1 ~ z1 + z2", "y ~ 1 | f1 | d1 ~ z1 + z2 + z4", "y ~ x | d1 ~ z1 + z2"]
)
def test_with_vcov_matches_pyfixest_iv(data, fml, vcov):
    """pyfixest's IV estimated under the covariance, both with their default corrections."""
    v = PYFIXEST_VCOVS[vcov]
    got = vantrel.feols(fml, data, fixef_tol=1e-12).with_vcov(v)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ref = pf.feols(fml, data, vcov=v, fixef_tol=1e-12)
    np.testing.assert_allclose(got.se().to_numpy(), ref.se().to_numpy(), rtol=1e-6)
    np.testing.assert_allclose(got.pvalue().to_numpy(), ref.pvalue().to_numpy(), rtol=1e-5, atol=1e-12)


@pytest.mark.parametrize("cov", ["hetero", "one_way"])
@pytest.mark.parametrize("model", ["two_endo_two_fe", "two_endo_overid"])
def test_wald_test_under_vcov_matches_linearmodels(data, model, cov):
    """The joint test of both endogenous coefficients under a covariance recomputed after
    the fit: linearmodels' Wald statistic under the same (debiased) covariance."""
    exog, endog, instruments, effects = MODELS[model]
    vcov, options = LINEARMODELS[cov]
    if "clusters" in options:
        options = dict(options, clusters=data[options["clusters"]])
    fit = vantrel.feols(formula(exog, endog, instruments, effects), data, fixef_tol=1e-12)
    R = pd.DataFrame([[1.0, 0.0], [0.0, 1.0]], columns=endog)
    q = [1.4, -0.6]
    got = fit.wald_test(R, q, vcov=vcov, ssc=vantrel.ssc(k_fixef="full"))
    ref = linearmodels_model(data, exog, endog, instruments, effects).fit(debiased=True, **options)
    restriction = pd.DataFrame(0.0, index=range(2), columns=ref.params.index)
    restriction[endog] = R.to_numpy()
    expected = ref.wald_test(restriction.to_numpy(), np.array(q))
    np.testing.assert_allclose(got["chi2"], expected.stat, rtol=1e-7)


def test_summary_and_etable_under_vcov_show_the_recomputed_covariance(data, capsys):
    fml = "y ~ x | f1 + f2 | d1 + d2 ~ z1 + z2 + z3"
    fit = vantrel.feols(fml, data)
    expected = vantrel.feols(fml, data, vcov={"CRV1": "g"})
    table = fit.summary(vcov={"CRV1": "g"})
    out = capsys.readouterr().out
    reference = expected.summary()
    np.testing.assert_allclose(table.to_numpy(dtype=float), reference.to_numpy(dtype=float), rtol=1e-10)
    # the instruments' diagnostics stay those of the estimate, and the line says so
    assert "the diagnostics are under the estimate's vcov iid" in out
    assert vantrel.etable(fit, vcov={"CRV1": "g"}, type="md") == vantrel.etable(expected, type="md")
    tables = vantrel.etable(fit.first_stage, vcov="hetero", type="md")
    assert tables == vantrel.etable(vantrel.feols(fml, data, vcov="hetero").first_stage, type="md")


FIRST_STAGE_VCOVS = {
    "hc2": "HC2",
    "hc3": "HC3",
    "crv3": {"CRV3": "g"},
    "crv3_two_way": {"CRV3": "g+f1"},
    "two_way": {"CRV1": "g+f1"},
    "dk": {"DK": {"time": "f2", "lag": 1}},
}


@pytest.mark.parametrize("weights", [None, "w"], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("vcov", list(FIRST_STAGE_VCOVS))
@pytest.mark.parametrize("model", ["one_endo_two_fe", "two_endo_overid"])
def test_first_stages_take_every_covariance_after_the_fit(data, model, vcov, weights):
    """Each first stage under a covariance after the fit is the same regression estimated
    with feols under it."""
    exog, endog, instruments, effects = MODELS[model]
    v = FIRST_STAGE_VCOVS[vcov]
    fit = vantrel.feols(formula(exog, endog, instruments, effects), data, weights=weights, fixef_tol=1e-12)
    for first, name in zip(fit.first_stage, endog, strict=True):
        text = f"{name} ~ {' + '.join(exog + instruments)}" + (f" | {' + '.join(effects)}" if effects else "")
        ols = vantrel.feols(text, data, weights=weights, fixef_tol=1e-12, vcov=v)
        np.testing.assert_allclose(first.beta, ols.beta, rtol=1e-9)
        assert_same_covariance(first.with_vcov(v), ols, rtol=1e-8)


def test_first_stage_hc3_matches_statsmodels_with_dummies(data):
    fit = vantrel.feols("y ~ x | f1 + f2 | d1 ~ z1 + z2", data)
    X = pd.concat([dummies(data, ["f1", "f2"]), data[["x", "z1", "z2"]]], axis=1)
    ref = sm.OLS(data["d1"], X).fit(cov_type="HC3")
    got = fit.first_stage[0].se(vcov="HC3")
    np.testing.assert_allclose(got.to_numpy(), ref.bse[["x", "z1", "z2"]].to_numpy(), rtol=1e-8)


@pytest.mark.parametrize("impose_null", [True, False], ids=["WCR", "WCU"])
def test_first_stage_wild_bootstrap_is_the_least_squares_one(data, impose_null):
    fml = "y ~ x | f1 + f2 | d1 ~ z1 + z2"
    fit = vantrel.feols(fml, data, vcov={"CRV1": "g"})
    ols = vantrel.feols("d1 ~ x + z1 + z2 | f1 + f2", data, vcov={"CRV1": "g"})
    got = fit.first_stage[0].wildboottest("z1", B=999, seed=7, impose_null=impose_null)
    expected = ols.wildboottest("z1", B=999, seed=7, impose_null=impose_null)
    assert got.t == pytest.approx(expected.t, rel=1e-9)
    assert got.pvalue == pytest.approx(expected.pvalue, rel=1e-12)


REFUSED = {"HC2": "HC2", "HC3": "HC3", "CRV3": {"CRV3": "g"}, "CRV3_two_way": {"CRV3": "g+f1"}}
METHODS = {
    "with_vcov": lambda fit, v: fit.with_vcov(v),
    "se": lambda fit, v: fit.se(vcov=v),
    "tidy": lambda fit, v: fit.tidy(vcov=v),
    "summary": lambda fit, v: fit.summary(vcov=v),
    "wald_test": lambda fit, v: fit.wald_test([1.0, 0.0], vcov=v),
    "etable": lambda fit, v: vantrel.etable(fit, vcov=v),
}


@pytest.mark.parametrize("method", list(METHODS))
@pytest.mark.parametrize("kind", list(REFUSED))
def test_covariances_that_are_not_the_second_stage_sandwich_are_refused_by_name(data, kind, method):
    fit = vantrel.feols("y ~ x | f1 | d1 ~ z1 + z2", data)
    name = kind.split("_")[0]
    with pytest.raises(ValueError, match=rf"{name} of two-stage least squares .* not available") as error:
        METHODS[method](fit, REFUSED[kind])
    assert "'hetero'" in str(error.value) and "fit.first_stage" in str(error.value)


def test_wild_bootstrap_and_cluster_leverage_of_iv_are_refused(data):
    fit = vantrel.feols("y ~ x | f1 | d1 ~ z1 + z2", data, vcov={"CRV1": "g"})
    with pytest.raises(ValueError, match=r"wildboottest\(\).*wild restricted efficient \(WRE\)"):
        fit.wildboottest("d1", seed=1)
    with pytest.raises(ValueError, match=r"cluster_leverage\(\).*not available for two-stage least squares"):
        fit.cluster_leverage("g")


def test_out_of_memory_iv_fits_say_they_keep_no_rows(data):
    relation = duckdb.from_df(data)
    fit = vantrel.feols("y ~ x | f1 | d1 ~ z1 + z2", relation)
    for target in (fit, fit.first_stage[0]):
        with pytest.raises(ValueError, match="keeps no value per row"):
            target.with_vcov("hetero")


def test_first_stage_statistics_under_a_singular_covariance_are_nan_with_a_warning(data):
    """A two-way cluster sum made positive semi-definite here has a zero eigenvalue (seen on
    the first stage's own covariance): the Wald statistics of the excluded instruments do
    not exist and are NaN with a warning, not the numbers of rounding a solve returns."""
    fml = "y ~ 1 | f1 | d1 ~ z1 + z2 + z4"
    with pytest.warns(UserWarning, match=r"first-stage F of d1 not computed \(NaN\).*singular"):
        fit = vantrel.feols(fml, data, vcov={"CRV1": "g+f2"}, weights="w")
    values = np.linalg.eigvalsh(fit.first_stage[0].vcov_matrix)
    assert values[0] < 1e-12 * values[-1]
    diag = fit.iv_diagnostics()
    assert np.isnan(diag["first_stage_F[d1]"]) and np.isnan(diag["kleibergen_paap_F"])
    assert np.isfinite(diag["cragg_donald_F"]) and np.isfinite(diag["effective_F"])
    # one way of clusters: a covariance of full rank and the statistics
    one_way = vantrel.feols(fml, data, vcov={"CRV1": "g"}, weights="w").iv_diagnostics()
    assert one_way["first_stage_F[d1]"] == pytest.approx(one_way["kleibergen_paap_F"], rel=1e-8)


@pytest.mark.parametrize(
    ("fml", "vcov"),
    [("y ~ csw(x, z3) | f1 | d1 ~ z1 + z2", {"CRV1": "g"}), ("y + x ~ z3 | f1 + f2 | d1 ~ z1 + z2", "hetero")],
    ids=["stepwise", "two_outcomes"],
)
def test_multiple_estimation_fits_keep_their_own_rows(data, fml, vcov):
    """Fits of one absorption shared by several models: each one's covariance after the
    fit is that of the model estimated alone with vcov=."""
    for fit in vantrel.feols(fml, data):
        alone = vantrel.feols(fit.formula, data, vcov=vcov)
        assert_same_covariance(fit.with_vcov(vcov), alone, rtol=1e-10)
