"""The result of `feols` against oracles that can disagree with it: the weighted
dummy-variable regression, row duplication for integer weights, invariances, and the
fitted values that fixed effects and predictions must rebuild."""

import logging

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vantrel


def _weighted_dummy_ols(df, y, x, terms, w):
    blocks = [df[x].to_numpy(float)] + [np.eye(df.groupby(t).ngroup().max() + 1)[df.groupby(t).ngroup()] for t in terms]
    root = np.sqrt(df[w].to_numpy(float))[:, None]
    design = np.column_stack(blocks) * root
    coef = np.linalg.lstsq(design, df[y].to_numpy(float) * root.ravel(), rcond=None)[0]
    return coef[: len(x)]


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 10_000), n=st.integers(40, 160), two=st.booleans())
def test_weighted_slopes_equal_weighted_dummy_regression(panel, singleton_reference, seed, n, two):
    df = panel(seed=seed, n=n, groups=(8, 5), n_x=2)
    df["w"] = np.random.default_rng(seed).uniform(0.1, 5.0, len(df))
    terms = [["a"], ["b"]] if two else [["a"]]
    fml = "y ~ x1 + x2 | " + " + ".join(t[0] for t in terms)
    fit = vantrel.feols(fml, df, weights="w", fixef_tol=1e-13)
    kept = singleton_reference(df, ["#".join(t) for t in terms])
    np.testing.assert_allclose(
        fit.coef().to_numpy(), _weighted_dummy_ols(kept, "y", ["x1", "x2"], terms, "w"), rtol=1e-7, atol=1e-9
    )


@pytest.fixture
def balanced(panel, singleton_reference):
    df = singleton_reference(panel(seed=11, n=400, groups=(20, 6), n_x=2), ["a", "b"])
    df["k"] = np.random.default_rng(1).integers(1, 4, len(df))
    return df.reset_index(drop=True)


def test_integer_weights_equal_repeated_rows(balanced):
    weighted = vantrel.feols("y ~ x1 + x2 | a + b", balanced, weights="k", fixef_tol=1e-13)
    repeated = vantrel.feols("y ~ x1 + x2 | a + b", balanced.loc[balanced.index.repeat(balanced["k"])], fixef_tol=1e-13)
    pd.testing.assert_series_equal(weighted.coef(), repeated.coef(), rtol=1e-9)
    np.testing.assert_allclose(weighted.r2, repeated.r2, rtol=1e-9)


@pytest.mark.parametrize("vcov", ["iid", "hetero", {"CRV1": "a"}])
def test_scaling_the_weights_changes_no_inference(balanced, vcov):
    fit = vantrel.feols("y ~ x1 + x2 | a + b", balanced, vcov=vcov, weights="k", fixef_tol=1e-13)
    scaled = vantrel.feols(
        "y ~ x1 + x2 | a + b", balanced.assign(k=balanced["k"] * 37.5), vcov=vcov, weights="k", fixef_tol=1e-13
    )
    pd.testing.assert_frame_equal(fit.tidy(), scaled.tidy(), rtol=1e-9)


def test_row_order_changes_nothing(balanced):
    fml, vcov = "y ~ x1 + x2 | a + b", {"CRV1": "a"}
    fit = vantrel.feols(fml, balanced, vcov=vcov)
    shuffled = vantrel.feols(fml, balanced.sample(frac=1.0, random_state=4), vcov=vcov)
    pd.testing.assert_frame_equal(fit.tidy(), shuffled.tidy(), rtol=1e-9)
    pd.testing.assert_series_equal(fit.resid(), shuffled.resid().sort_index(), rtol=1e-7, atol=1e-9)


@pytest.mark.parametrize("weighted", [False, True])
def test_fixed_effects_rebuild_the_fitted_values(balanced, weighted):
    fit = vantrel.feols(
        "y ~ x1 + x2 | a + b^c",
        balanced.assign(c=balanced["a"] % 3),
        weights="k" if weighted else None,
        fixef_tol=1e-13,
    )
    effects = fit.fixef()
    assert set(effects) == {"a", "b^c"} and effects["b^c"].index.names == ["b", "c"]
    data = balanced.assign(c=balanced["a"] % 3).loc[fit.resid().index]
    total = effects["a"].reindex(data["a"]).to_numpy()
    total = total + effects["b^c"].reindex(pd.MultiIndex.from_arrays([data["b"], data["c"]])).to_numpy()
    xb = data[["x1", "x2"]].to_numpy() @ fit.coef().to_numpy()
    np.testing.assert_allclose(xb + total, fit.fitted().to_numpy(), atol=1e-8)
    pd.testing.assert_series_equal(fit.predict(data), fit.fitted().rename("prediction"), atol=1e-8)


@pytest.mark.parametrize("column, fml", [("a", "y ~ x1 | a"), ("k", "y ~ x1 + C(k) | a")], ids=["effect", "C_term"])
def test_prediction_of_an_unseen_level_is_missing(balanced, column, fml):
    """A level the fit never saw has no coefficient: NaN, not the reference level's value;
    the rows with seen levels keep their fitted values."""
    fit = vantrel.feols(fml, balanced)
    new = balanced.head(3).copy()
    new[column] = new[column].astype(np.int64)
    new.loc[1, column] = 10_000
    prediction = fit.predict(new)
    assert np.isnan(prediction.iloc[1])
    np.testing.assert_allclose(prediction.iloc[[0, 2]], fit.fitted().iloc[[0, 2]], rtol=1e-10)


def test_notices_use_logging_and_warnings_not_print(panel, capsys, caplog):
    df = panel(seed=2, n=200, groups=(40, 5), n_x=1)
    df["x_copy"] = df["x1"] * 2.0
    df.loc[3, "x1"] = np.nan
    with caplog.at_level(logging.INFO, logger="vantrel"), pytest.warns(UserWarning, match="x_copy"):
        fit = vantrel.feols("y ~ x1 + x_copy | a", df.assign(a=df["a"].astype(np.int32)))
    assert capsys.readouterr().out == ""
    assert fit.nobs_dropped["missing"] == 1 and fit.nobs_dropped["singletons"] > 0
    assert any("singleton" in record.message for record in caplog.records)
    assert fit.collinear == ["x_copy"] and len(fit.messages) == 3


@pytest.mark.parametrize("progress", [True, False, None])
def test_progress_goes_to_stderr_on_request(balanced, capsys, monkeypatch, progress):
    """On request from the start; by default, in a terminal, only for estimates that run
    for seconds (this one does not)."""
    import sys

    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    vantrel.feols("y ~ x1 | a + b", balanced, progress=progress)
    captured = capsys.readouterr()
    assert captured.out == ""
    assert ("absorbing 2 fixed effect(s)" in captured.err) == bool(progress)


def test_display_and_labels(balanced):
    fit = vantrel.feols("y ~ x1 + x2 | a", balanced, vcov={"CRV1": "b"})
    text, page = repr(fit), fit._repr_html_()
    for name in ("x1", "x2", "CRV1", "b: 6 clusters"):
        assert name in text and name in page
    assert list(fit.vcov.index) == ["x1", "x2"] and fit.vcov.loc["x1", "x2"] == fit.vcov.loc["x2", "x1"]
    interval = fit.confint(0.9)
    assert list(interval.columns) == ["5.0%", "95.0%"]
    assert (interval["5.0%"] < fit.coef()).all() and (fit.coef() < interval["95.0%"]).all()


@pytest.mark.parametrize(
    "fml",
    [
        pytest.param("y ~ x1 + np.exp(x2) + x1:x2", id="no_effects_transform"),
        pytest.param("y ~ x1 + C(b) | a", id="categorical"),
        pytest.param("y ~ x1 + x2 - 1", id="no_intercept"),
    ],
)
def test_predictions_on_the_estimation_rows_are_the_fitted_values(balanced, fml):
    """predict() codes new data through formulaic's coding of the fit: on the rows of the
    fit it must give back the fitted values (y less the residuals)."""
    fit = vantrel.feols(fml, balanced, weights="k")
    np.testing.assert_allclose(fit.predict(balanced).loc[fit.resid().index], fit.fitted(), rtol=1e-10, atol=1e-10)
