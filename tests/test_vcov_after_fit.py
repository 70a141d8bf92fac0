"""Covariances recomputed from a fit without estimating again: each must equal the estimate
made with that covariance, pyfixest's own recomputation, and be refused where the fit
keeps no rows."""

import duckdb
import numpy as np
import pandas as pd
import pyfixest as pf
import pytest
from conftest import make_panel

import vantrel

# pyfixest 0.60 calls pandas methods with inplace=True, which pandas 3.1 deprecates.
pytestmark = pytest.mark.filterwarnings("ignore:The inplace keyword")


@pytest.fixture(scope="module")
def data():
    df = make_panel(seed=11, n=600, groups=(25, 12, 6))
    rng = np.random.default_rng(3)
    df["w"] = rng.uniform(0.5, 3.0, len(df))
    df["g"] = rng.integers(0, 15, len(df))  # a cluster variable the models do not read
    df["t"] = np.arange(len(df)) % 20
    df["u"] = np.arange(len(df)) // 20
    df["h"] = rng.integers(0, 3, len(df))  # a balanced panel of units u over periods t
    return df


MODELS = [
    pytest.param("y ~ x1 + x2", None, id="no_fe"),
    pytest.param("y ~ x1 + x2 | a", None, id="one_fe"),
    pytest.param("y ~ x1 + x2 | a + b", None, id="two_fe"),
    pytest.param("y ~ x1 + x2 | a + b", "w", id="two_fe_weights"),
    pytest.param("y ~ x1 | a^c + b", "w", id="interacted_weights"),
]

VCOVS = [
    pytest.param("iid", id="iid"),
    pytest.param("hetero", id="hetero"),
    pytest.param("HC1", id="HC1"),
    pytest.param({"CRV1": "a"}, id="crv1_fe"),
    pytest.param({"CRV1": "g"}, id="crv1_other"),
    pytest.param({"CRV1": "a+b"}, id="crv1_twoway"),
    pytest.param({"CRV1": "g+c+b"}, id="crv1_threeway"),
    pytest.param("HC2", id="HC2"),
    pytest.param("HC3", id="HC3"),
    pytest.param({"CRV3": "c"}, id="crv3"),
    pytest.param({"CRV3": "h+c"}, id="crv3_twoway"),
    pytest.param({"NW": {"time": "t", "panel": "u", "lag": 2}}, id="nw_panel"),
    pytest.param({"DK": {"time": "t", "lag": 2}}, id="dk"),
]

SSCS = [
    pytest.param(vantrel.ssc(k_fixef="full", G_df="conventional"), id="full_conventional"),
    pytest.param("none", id="none"),
]


def _same(a, b, rtol=1e-10):
    np.testing.assert_allclose(a.vcov_matrix, b.vcov_matrix, rtol=rtol, atol=1e-14 * np.abs(a.vcov_matrix).max())
    assert (a.df_t, a.df_k, a.clusters, a.vcov_type, a.ssc) == (b.df_t, b.df_k, b.clusters, b.vcov_type, b.ssc)
    assert a.nobs == b.nobs


@pytest.mark.parametrize("vcov", VCOVS)
@pytest.mark.parametrize("fml, weights", MODELS)
def test_with_vcov_equals_estimating_with_it(data, fml, weights, vcov):
    fitted = vantrel.feols(fml, data, vcov=vcov, weights=weights)
    recomputed = vantrel.feols(fml, data, weights=weights).with_vcov(vcov)
    _same(recomputed, fitted)
    np.testing.assert_array_equal(recomputed.beta, fitted.beta)


@pytest.mark.parametrize("ssc", SSCS)
@pytest.mark.parametrize("vcov", VCOVS)
def test_with_vcov_equals_estimating_with_it_under_other_corrections(data, vcov, ssc):
    fml, weights = "y ~ x1 + x2 | a + b", "w"
    fitted = vantrel.feols(fml, data, vcov=vcov, weights=weights, ssc=ssc)
    recomputed = vantrel.feols(fml, data, weights=weights).with_vcov(vcov, ssc)
    _same(recomputed, fitted)
    np.testing.assert_array_equal(recomputed.beta, fitted.beta)


@pytest.mark.parametrize(
    "vcov",
    [
        pytest.param("hetero", id="hetero"),
        pytest.param({"CRV1": "g"}, id="crv1_other"),
        pytest.param({"CRV1": "b+g"}, id="crv1_twoway"),  # positive definite: no repair to differ in
        pytest.param({"CRV3": "c"}, id="crv3"),
    ],
)
@pytest.mark.parametrize("fml, weights", MODELS[:4])
def test_with_vcov_agrees_with_pyfixest_recomputing(data, fml, weights, vcov):
    """pyfixest recomputes from its own stored data (`Feols.vcov`); CRV3 it refits per cluster."""
    theirs = pf.feols(fml, data, weights=weights).vcov(vcov)
    ours = vantrel.feols(fml, data, weights=weights).with_vcov(vcov)
    names = ours.coefnames
    np.testing.assert_allclose(ours.se().to_numpy(), theirs.se()[names].to_numpy(), rtol=1e-7)
    # pyfixest's p = 2 (1 - F(|t|)) is accurate to ~1e-16 absolutely, not relatively
    np.testing.assert_allclose(ours.pvalue().to_numpy(), theirs.pvalue()[names].to_numpy(), rtol=1e-6, atol=1e-14)


@pytest.mark.parametrize(
    "method",
    [
        pytest.param(lambda fit, v: fit.se(vcov=v), id="se"),
        pytest.param(lambda fit, v: fit.tidy(vcov=v), id="tidy"),
        pytest.param(lambda fit, v: fit.summary(vcov=v), id="summary"),
        pytest.param(lambda fit, v: vantrel.etable([fit, fit], vcov=v), id="etable"),
        pytest.param(lambda fit, v: vantrel.etable([fit, fit], vcov=[v, v]), id="etable_list"),
    ],
)
@pytest.mark.parametrize("vcov", [pytest.param({"CRV1": "g"}, id="crv1"), pytest.param("HC3", id="HC3")])
def test_display_methods_take_the_covariance(data, method, vcov, capsys):
    fml = "y ~ x1 + x2 | a"
    expected = method(vantrel.feols(fml, data, vcov=vcov), None)
    got = method(vantrel.feols(fml, data), vcov)
    if isinstance(got, pd.Series):
        pd.testing.assert_series_equal(got, expected, rtol=1e-10)
    else:
        pd.testing.assert_frame_equal(got, expected, rtol=1e-10)
    # and the default fit's own table differs from it (the option is not ignored)
    own = method(vantrel.feols(fml, data), None)
    assert not own.equals(expected)


def test_with_vcov_leaves_the_fit_alone(data):
    fit = vantrel.feols("y ~ x1 + x2 | a", data)
    before = fit.vcov_matrix.copy()
    other = fit.with_vcov({"CRV1": "g"})
    np.testing.assert_array_equal(fit.vcov_matrix, before)
    assert fit.vcov_type == "iid" and other.vcov_type == "CRV1" and other.clusters == {"g": 15}
    assert type(other) is type(fit)
    pd.testing.assert_series_equal(other.fixef()["a"], fit.fixef()["a"])


@pytest.mark.parametrize(
    "vcov, message",
    [
        pytest.param({"CRV1": "gap"}, "column 'gap' has no value in 3 row", id="crv1"),
        pytest.param({"CRV3": "gap"}, "column 'gap' has no value in 3 row", id="crv3"),
        pytest.param({"CRV1": "nosuch"}, "nosuch", id="unknown_column"),
        pytest.param("HC4", "vcov = 'HC4' is not supported", id="unknown_type"),
        pytest.param({"NW": {"lag": 1}}, r"NW needs the option\(s\) \['time'\]", id="nw_no_time"),
        pytest.param({"NW": {"time": "t", "lags": 1}}, r"unknown option\(s\) \['lags'\]", id="nw_option"),
        pytest.param({"DK": {"time": "t", "lag": -1}}, "option 'lag' of DK must be a non-negative", id="dk_lag"),
        pytest.param({"HC3": {"draws": 0}}, "option 'draws' of HC3 must be a positive", id="hc3_draws"),
    ],
)
def test_with_vcov_errors_name_the_argument(data, vcov, message):
    frame = data.copy()
    frame["gap"] = frame["g"].astype(float)
    frame.loc[[3, 50, 70], "gap"] = np.nan
    fit = vantrel.feols("y ~ x1 | a", frame)
    with pytest.raises((ValueError, TypeError), match=message):
        fit.with_vcov(vcov)


def test_missing_values_of_a_new_cluster_column_drop_rows_when_estimating(data):
    frame = data.copy()
    frame["gap"] = frame["g"].astype(float)
    frame.loc[[3, 50, 70], "gap"] = np.nan
    fitted = vantrel.feols("y ~ x1 | a", frame, vcov={"CRV3": "gap"})
    assert fitted.nobs == vantrel.feols("y ~ x1 | a", frame).nobs - 3
    _same(fitted, vantrel.feols("y ~ x1 | a", frame.dropna(subset=["gap"])).with_vcov({"CRV3": "gap"}))


@pytest.mark.parametrize("vcov", [pytest.param("HC3", id="HC3"), pytest.param({"CRV3": "a"}, id="crv3")])
def test_out_of_memory_fits_refuse_covariances_after_the_fit(data, vcov):
    relation = duckdb.from_df(data[["y", "x1", "a", "b"]])
    fit = vantrel.feols("y ~ x1 | a", relation)
    with pytest.raises(ValueError, match="keeps no value per row"):
        fit.with_vcov("hetero")
    with pytest.raises(ValueError, match="does not keep; read the data into memory"):
        vantrel.feols("y ~ x1 | a", relation, vcov=vcov)


@pytest.mark.parametrize(
    "vcov",
    [
        pytest.param("hetero", id="hetero"),
        pytest.param("HC3", id="HC3"),
        pytest.param({"CRV1": "c"}, id="crv1"),
        pytest.param({"CRV3": "c"}, id="crv3"),
    ],
)
@pytest.mark.parametrize(
    "fml, split",
    [
        pytest.param("y + x2 ~ csw(x1, w) | a + b", None, id="shared_absorption"),
        pytest.param("y ~ x1 + x2 | a", "h", id="split"),
    ],
)
def test_models_of_one_absorption_each_keep_their_own_rows(data, fml, split, vcov):
    """Several models share one absorbed block: each fit's covariance after the fit is still
    the one of that model estimated alone, and so is estimating them all with `vcov`."""
    if split is not None and "c" in str(vcov):
        # a split's fits keep the columns the estimate read: a new cluster column is named at the fit
        with pytest.raises(ValueError, match="column 'c' is not in the data this fit kept"):
            vantrel.feols(fml, data, split=split)[0].with_vcov(vcov)
        vcov = {kind: "a" for kind in vcov}
    models = vantrel.feols(fml, data, split=split, vcov={"CRV1": "c"} if split is not None else None)
    at_fit = vantrel.feols(fml, data, split=split, vcov=vcov)
    for position, (fit, fitted) in enumerate(zip(models, at_fit, strict=True)):
        rows = data if split is None else data[data[split] == sorted(data[split].unique())[position]]
        alone = vantrel.feols(fit.formula, rows, vcov=vcov)
        np.testing.assert_allclose(fit.with_vcov(vcov).vcov_matrix, alone.vcov_matrix, rtol=1e-10)
        np.testing.assert_allclose(fitted.vcov_matrix, alone.vcov_matrix, rtol=1e-10)
