"""Models of a multiple estimation that share a sample, its fixed effects and one absorption
are the models estimated alone, in everything a fit returns.

Oracles: the same model estimated alone by feols (every number of the fit, the residuals
and fitted values row by row, the fixed effects, covariances computed after the fit from
the rows it keeps); the dummy-variable regression of statsmodels on the model's own rows;
pyfixest's multiple estimation of the same formula in the same run; the row order of the
data (a permutation of the rows cannot change any model)."""

import numpy as np
import pandas as pd
import pyfixest as pf
import pytest
import statsmodels.formula.api as smf

import vantrel


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(23)
    n = 800
    frame = pd.DataFrame(
        {
            "x1": rng.normal(size=n),
            "x2": rng.normal(size=n),
            "x3": rng.normal(size=n),
            "f": rng.integers(0, 15, n),
            "h": rng.integers(0, 9, n),
            "c": rng.integers(0, 25, n),
            "g": rng.choice(["b", "a", "c"], n),
            "w": rng.uniform(0.5, 2.0, n),
        }
    )
    effect = rng.normal(size=15)[frame["f"]] + rng.normal(size=9)[frame["h"]]
    for k, (a, b) in enumerate([(0.5, -0.3), (0.2, 0.7), (-0.4, 0.1)], start=1):
        frame[f"y{k}"] = a * frame["x1"] + b * frame["x2"] + 0.3 * frame["x3"] + effect + rng.normal(size=n)
    # outcomes missing on different rows: y2 and y3 each have a sample of their own
    frame.loc[rng.choice(n, 30, replace=False), "y2"] = np.nan
    frame.loc[rng.choice(n, 12, replace=False), "y3"] = np.nan
    # a level of h with one row: a singleton the models drop
    frame.loc[0, "h"] = 99
    return frame


def _fit_numbers(fit):
    return {
        "beta": np.asarray(fit.beta),
        "se": fit.se().to_numpy(),
        "vcov": fit.vcov.to_numpy(),
        "stats": np.array([fit.r2, fit.adj_r2, fit.within_r2, fit.rmse], dtype=np.float64),
        "resid": fit.resid().to_numpy(),
        "fitted": fit.fitted().to_numpy(),
    }


def _assert_same(got, alone, tol=1e-10):
    assert got.formula == alone.formula
    assert got.nobs == alone.nobs and got.coefnames == alone.coefnames
    assert got.nobs_dropped == alone.nobs_dropped
    pd.testing.assert_index_equal(got.resid().index, alone.resid().index)
    ours, theirs = _fit_numbers(got), _fit_numbers(alone)
    for name in ours:
        np.testing.assert_allclose(ours[name], theirs[name], rtol=tol, atol=tol, err_msg=name)


CASES = {
    "csw": ("y1 ~ csw(x1, x2, x3) | f + h", {}),
    "csw-last-takes-every-column": ("y1 ~ x3 + csw(x1, x2) | f", {}),
    "sw0": ("y1 ~ x1 + sw0(x2, x3) | f + h", {}),
    "outcomes-missing-apart": ("y1 + y2 + y3 ~ x1 + x2 | f + h", {}),
    "outcomes-csw-hetero": ("y1 + y2 ~ x1 + csw(x2, x3) | f", {"vcov": "hetero"}),
    "outcomes-twoway-clusters": ("y1 + y3 ~ x1 + sw(x2, x3) | f + h", {"vcov": {"CRV1": "f+c"}}),
    "weights": ("y1 + y2 ~ csw(x1, x2) | f + h", {"weights": "w"}),
    "weights-clustered": ("y3 ~ x1 + sw(x2, x3) | f", {"weights": "w", "vcov": {"CRV1": "c"}}),
    "derived-terms": ("y1 + y2 ~ x1 + sw(x1:x3, C(g), np.log(w)) | f", {}),
    "split": ("y1 + y2 ~ x1 + csw(x2, x3) | f", {"split": "g"}),
    "fsplit-clustered": ("y1 ~ csw(x1, x2) | sw(f, h)", {"fsplit": "g", "vcov": {"CRV1": "c"}}),
}


@pytest.mark.parametrize("fml, kwargs", list(CASES.values()), ids=list(CASES))
def test_every_number_of_each_model_is_the_model_alone(data, fml, kwargs):
    models = vantrel.feols(fml, data, fixef_tol=1e-12, **kwargs)
    assert len(models) > 1
    split = kwargs.get("split") or kwargs.get("fsplit")
    own = {key: value for key, value in kwargs.items() if key not in ("split", "fsplit")}
    for key, fit in zip(models.keys, models, strict=True):
        part = data
        if key.sample != "Full sample":
            part = data[data[split] == key.sample.split(" = ", 1)[1]]
        _assert_same(fit, vantrel.feols(fit.formula, part, fixef_tol=1e-12, **own))


@pytest.mark.parametrize(
    "fml, vcov",
    [
        pytest.param("y1 + y2 ~ x1 + csw(x2, x3) | f + h", "HC3", id="hc3"),
        pytest.param("y1 ~ csw(x1, x2, x3) | f", {"CRV3": "c"}, id="crv3"),
        pytest.param("y1 + y3 ~ x1 + x2 | f", "HC2", id="hc2-outcomes"),
    ],
)
def test_covariances_after_the_fit_read_each_models_own_rows(data, fml, vcov):
    # HC2/HC3 and CRV3 are computed after the fit from the block the model keeps (its
    # residuals and regressors): a model handed another model's columns would differ here
    models = vantrel.feols(fml, data, fixef_tol=1e-12)
    for fit in models:
        alone = vantrel.feols(fit.formula, data, fixef_tol=1e-12)
        np.testing.assert_allclose(fit.se(vcov=vcov).to_numpy(), alone.se(vcov=vcov).to_numpy(), rtol=1e-10)


@pytest.mark.parametrize(
    "fml", ["y1 ~ csw(x1, x2) | f + h", "y1 + y2 ~ x1 + x2 | f"], ids=["csw", "outcomes-missing-apart"]
)
def test_fixed_effects_of_each_model_are_the_model_alone(data, fml):
    for fit in vantrel.feols(fml, data, fixef_tol=1e-13):
        alone = vantrel.feols(fit.formula, data, fixef_tol=1e-13)
        ours, theirs = fit.fixef(), alone.fixef()
        assert list(ours) == list(theirs)
        for name in ours:
            pd.testing.assert_series_equal(ours[name], theirs[name], rtol=1e-8, atol=1e-8)


@pytest.mark.parametrize(
    "fml, kwargs",
    [
        pytest.param("y1 + y2 ~ x1 + csw(x2, x3) | f + h", {}, id="outcomes-csw"),
        pytest.param("y3 ~ x1 + sw0(x2, x3) | f", {"weights": "w"}, id="weights-sw0"),
    ],
)
def test_each_model_is_the_dummy_variable_regression_on_its_rows(data, fml, kwargs):
    weights = kwargs.get("weights")
    for fit in vantrel.feols(fml, data, fixef_tol=1e-13, **kwargs):
        rows = data.loc[fit.resid().index]
        lhs, rhs = fit.formula.split(" | ")[0].split(" ~ ")
        effects = " + ".join(f"C({name})" for name in fit.formula.split(" | ")[1].split(" + "))
        dummy_fml = f"{lhs} ~ {rhs} + {effects}"
        if weights:
            peer = smf.wls(dummy_fml, rows, weights=rows[weights]).fit()
        else:
            peer = smf.ols(dummy_fml, rows).fit()
        np.testing.assert_allclose(fit.coef().to_numpy(), peer.params[fit.coefnames].to_numpy(), rtol=1e-8)
        np.testing.assert_allclose(fit.resid().to_numpy(), peer.resid.to_numpy(), atol=1e-8)
        # iid: pyfixest's default counts the fixed effects as statsmodels' dummies do
        np.testing.assert_allclose(fit.se().to_numpy(), peer.bse[fit.coefnames].to_numpy(), rtol=1e-8)


def test_models_match_pyfixest_with_outcomes_missing_apart(data):
    fml = "y1 + y2 + y3 ~ x1 + csw(x2, x3) | f + h"
    ours = vantrel.feols(fml, data, vcov={"CRV1": "c"}, fixef_tol=1e-12)
    theirs = list(
        pf.feols(fml, data, vcov={"CRV1": "c"}, demeaner=pf.MapDemeaner(fixef_tol=1e-12)).all_fitted_models.values()
    )
    assert len(ours) == len(theirs) == 6
    for fit, peer in zip(ours, theirs, strict=True):
        assert fit.nobs == peer._N
        np.testing.assert_allclose(fit.coef().to_numpy(), peer.coef().to_numpy(), rtol=1e-8)
        np.testing.assert_allclose(fit.se().to_numpy(), peer.se().to_numpy(), rtol=1e-6)


def test_a_permutation_of_the_rows_changes_no_model(data):
    fml = "y1 + y2 ~ x1 + csw(x2, x3) | f + h"
    order = np.random.default_rng(5).permutation(len(data))
    for fit, moved in zip(vantrel.feols(fml, data), vantrel.feols(fml, data.iloc[order]), strict=True):
        np.testing.assert_allclose(fit.beta, moved.beta, rtol=1e-8)
        np.testing.assert_allclose(fit.se().to_numpy(), moved.se().to_numpy(), rtol=1e-8)
        pd.testing.assert_series_equal(fit.resid(), moved.resid().loc[fit.resid().index], rtol=1e-7, atol=1e-9)


def test_equal_columns_built_apart_share_one_column_of_the_block(data):
    # C(g) and np.log(w) are built afresh by every model's design (not views of one
    # column): compared by value they are still one column of the shared block
    models = vantrel.feols("y1 ~ C(g) + csw(x1, np.log(w)) | f", data)
    assert [fit.absorption["shared_columns"] for fit in models] == [5, 5]
