"""Models of a multiple estimation that read their columns out of one shared absorbed block
(their cross products a part of the block's, the residual sum of squares under iid from
them, the residuals formed only when a method asks) equal the models estimated alone.

Oracles: the same model estimated alone by feols, which forms and sums its own residuals
(every number of the fit, residuals and fitted values row by row, predictions, fixed
effects, covariances after the fit, the wild bootstrap); statsmodels' dummy-variable
regression on the model's rows; the order in which a fit's methods are called (which
cannot change what they return)."""

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf

import vantrel


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(71)
    n = 600
    frame = pd.DataFrame(
        {
            "x1": rng.normal(size=n),
            "x2": rng.normal(size=n),
            "f": rng.integers(0, 12, n),
            "h": rng.integers(0, 7, n),
            "c": rng.integers(0, 20, n),
            "w": rng.uniform(0.5, 2.0, n),
        }
    )
    frame["x3"] = 2.0 * frame["x1"] - frame["x2"]  # collinear with x1 and x2
    effect = rng.normal(size=12)[frame["f"]] + rng.normal(size=7)[frame["h"]]
    for k in range(1, 5):
        frame[f"y{k}"] = (0.3 * k) * frame["x1"] - 0.2 * frame["x2"] + effect + rng.normal(size=n)
    # an outcome the model fits to about 1e-7: its residual sum of squares is far below
    # the outcome's, where the cross products would leave few exact digits of it
    frame["close"] = frame["x1"] - 0.5 * frame["x2"] + effect + 1e-7 * rng.normal(size=n)
    # and one whose residual sum of squares is just above the share (1e-4 of the outcome's)
    # below which the residuals are summed instead
    frame["tight"] = frame["x1"] - 0.5 * frame["x2"] + effect + 0.015 * rng.normal(size=n)
    # outcomes and a cluster variable missing on different rows
    frame.loc[rng.choice(n, 25, replace=False), "y2"] = np.nan
    frame.loc[rng.choice(n, 40, replace=False), "y3"] = np.nan
    frame["c_gaps"] = frame["c"].astype("float64")
    frame.loc[rng.choice(n, 15, replace=False), "c_gaps"] = np.nan
    frame["g"] = rng.choice(["p", "q"], n)
    return frame


def _numbers(fit):
    return {
        "beta": np.asarray(fit.beta),
        "se": fit.se().to_numpy(),
        "stats": np.array([fit.r2, fit.adj_r2, fit.within_r2, fit.rmse]),
        "resid": fit.resid().to_numpy(),
        "fitted": fit.fitted().to_numpy(),
        "predict": fit.predict().to_numpy(),
    }


def _assert_alone(fit, alone, tol=1e-10):
    assert fit.coefnames == alone.coefnames and fit.nobs == alone.nobs and fit.collinear == alone.collinear
    pd.testing.assert_index_equal(fit.resid().index, alone.resid().index)
    ours, theirs = _numbers(fit), _numbers(alone)
    for name in ours:
        np.testing.assert_allclose(ours[name], theirs[name], rtol=tol, atol=tol, err_msg=name)


CASES = {
    "five-outcomes-iid": ("y1 + y2 + y3 + y4 + close ~ x1 + x2 | f + h", {}),
    "outcomes-hetero": ("y1 + y2 + y3 ~ x1 + x2 | f + h", {"vcov": "hetero"}),
    "outcomes-clustered-gaps": ("y1 + y3 ~ x1 + x2 | f", {"vcov": {"CRV1": "c_gaps"}}),
    "outcomes-weights-iid": ("y1 + y2 + y3 ~ csw(x1, x2) | f + h", {"weights": "w"}),
    "outcomes-weights-crv1": ("y2 + y4 ~ x1 + x2 | f", {"weights": "w", "vcov": {"CRV1": "c"}}),
    "collinear-regressor": ("y1 + y2 ~ x1 + x2 + x3 | f", {}),
    "csw0-effects-alone": ("y1 + y3 ~ csw0(x1, x2) | f + h", {}),
    "tight-fit": ("tight + y4 ~ x1 + x2 | f + h", {}),
    "close-fit-weights": ("close + y1 ~ x1 + x2 | f + h", {"weights": "w"}),
    "split-weights": ("y1 + y2 ~ x1 + x2 | f", {"split": "g", "weights": "w"}),
    "varying-slopes": ("y1 + y2 ~ x1 | f[x2] + h", {}),
}


@pytest.mark.parametrize("fml, kwargs", list(CASES.values()), ids=list(CASES))
def test_each_model_viewing_the_shared_block_is_the_model_alone(data, fml, kwargs):
    models = vantrel.feols(fml, data, fixef_tol=1e-12, **kwargs)
    own = {key: value for key, value in kwargs.items() if key != "split"}
    for key, fit in zip(models.keys, models, strict=True):
        part = data if key.sample == "Full sample" else data[data["g"] == key.sample.split(" = ", 1)[1]]
        _assert_alone(fit, vantrel.feols(fit.formula, part, fixef_tol=1e-12, **own))


@pytest.mark.parametrize(
    "vcov",
    ["iid", "hetero", "HC3", {"CRV1": "c"}, {"CRV3": "c"}, {"CRV1": "c+h"}],
    ids=["iid", "hetero", "hc3", "crv1", "crv3", "twoway"],
)
def test_covariances_after_the_fit_of_an_iid_model_are_the_model_alones(data, vcov):
    # estimated under iid, the models formed no residuals; a covariance after the fit forms them
    models = vantrel.feols("y1 + y2 + y4 ~ x1 + x2 | f + h", data, fixef_tol=1e-12)
    for fit in models:
        alone = vantrel.feols(fit.formula, data, fixef_tol=1e-12)
        np.testing.assert_allclose(fit.se(vcov=vcov).to_numpy(), alone.se(vcov=vcov).to_numpy(), rtol=1e-10)
        np.testing.assert_allclose(
            fit.with_vcov(vcov).vcov.to_numpy(), alone.with_vcov(vcov).vcov.to_numpy(), rtol=1e-10, atol=1e-14
        )


def test_the_order_of_a_fits_methods_changes_nothing(data):
    # the residuals are formed by whichever method asks first: a covariance after the fit,
    # or resid(); either way every model returns the same numbers
    fml = "y1 + y2 + y4 ~ x1 + x2 | f + h"
    first, second = vantrel.feols(fml, data), vantrel.feols(fml, data)
    for a, b in zip(first, second, strict=True):
        hc3 = a.se(vcov="HC3").to_numpy()
        resid = a.resid().to_numpy()
        np.testing.assert_array_equal(b.resid().to_numpy(), resid)
        np.testing.assert_array_equal(b.se(vcov="HC3").to_numpy(), hc3)
    # the later models' residuals asked for first, in reverse order
    third = vantrel.feols(fml, data)
    for a, c in zip(reversed(list(first)), reversed(list(third)), strict=True):
        np.testing.assert_array_equal(c.fitted().to_numpy(), a.fitted().to_numpy())


def test_the_wild_bootstrap_reads_each_models_own_residuals(data):
    models = vantrel.feols("y1 + y4 ~ x1 + x2 | f", data, vcov={"CRV1": "c"}, fixef_tol=1e-12)
    for fit in models:
        alone = vantrel.feols(fit.formula, data, vcov={"CRV1": "c"}, fixef_tol=1e-12)
        ours = fit.wildboottest("x1", B=199, seed=3)
        theirs = alone.wildboottest("x1", B=199, seed=3)
        assert ours.G == theirs.G == 20
        np.testing.assert_allclose(
            [ours.t, ours.pvalue, *ours.confint], [theirs.t, theirs.pvalue, *theirs.confint], rtol=1e-8
        )
        np.testing.assert_allclose(ours.t_boot, theirs.t_boot, rtol=1e-8)


@pytest.mark.parametrize("weights", [None, "w"], ids=["unweighted", "weighted"])
def test_five_outcomes_are_the_dummy_variable_regressions(data, weights):
    models = vantrel.feols("y1 + y2 + y3 + y4 + close ~ x1 + x2 | f + h", data, weights=weights, fixef_tol=1e-13)
    assert len(models) == 5
    for fit in models:
        rows = data.loc[fit.resid().index]
        dummy = f"{fit.depvar} ~ x1 + x2 + C(f) + C(h)"
        peer = (smf.wls(dummy, rows, weights=rows["w"]) if weights else smf.ols(dummy, rows)).fit()
        np.testing.assert_allclose(fit.coef().to_numpy(), peer.params[fit.coefnames].to_numpy(), rtol=1e-7)
        np.testing.assert_allclose(fit.se().to_numpy(), peer.bse[fit.coefnames].to_numpy(), rtol=1e-6)
        np.testing.assert_allclose(fit.r2, peer.rsquared, rtol=1e-8)
        np.testing.assert_allclose(fit.resid().to_numpy(), peer.resid.to_numpy(), atol=1e-7)


def test_fixed_effects_of_models_that_formed_no_residuals(data):
    for fit in vantrel.feols("y1 + y2 ~ x1 + x2 | f + h", data, fixef_tol=1e-13):
        alone = vantrel.feols(fit.formula, data, fixef_tol=1e-13)
        for name, values in fit.fixef().items():
            pd.testing.assert_series_equal(values, alone.fixef()[name], rtol=1e-8, atol=1e-8)


def test_iv_models_with_several_outcomes_take_their_own_copies(data):
    # two-stage least squares reads its columns from a copy of the shared block; least
    # squares models of the same estimation are unaffected
    fml = "y1 + y4 ~ x2 | f | x1 ~ c"
    models = vantrel.feols(fml, data, vcov="hetero", fixef_tol=1e-12)
    for fit in models:
        alone = vantrel.feols(fit.formula, data, vcov="hetero", fixef_tol=1e-12)
        np.testing.assert_allclose(fit.coef().to_numpy(), alone.coef().to_numpy(), rtol=1e-10)
        np.testing.assert_allclose(fit.se().to_numpy(), alone.se().to_numpy(), rtol=1e-10)
        np.testing.assert_allclose(fit.resid().to_numpy(), alone.resid().to_numpy(), rtol=1e-10, atol=1e-10)
