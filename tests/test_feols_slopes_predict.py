"""predict(newdata=...) with varying slopes against statsmodels' prediction from the
dummy-variable regression with the interactions ``C(fe):x`` written out, on rows the fit
never saw (new regressor and slope values, and levels the estimation did not have)."""

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf

import vantrel


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    N = 700
    df = pd.DataFrame(
        {
            "f": rng.integers(0, 16, N),
            "g": rng.integers(0, 5, N),
            "x": rng.normal(size=N),
            "z": rng.normal(size=N) + 1.0,
            "z2": rng.uniform(-1, 2, N),
            "w": rng.uniform(0.3, 3.0, N),
        }
    )
    df["y"] = 0.7 * df.x + df.z * (df.f - 7) * 0.2 + 0.5 * df.z2 * df.g + df.g + rng.normal(size=N)
    df["fg"] = df.f * 10 + df.g  # the interacted effect f^g as one column, for statsmodels
    # the estimation leaves out level 15 of f (and with it every cell 15^g)
    train = df[df.f != 15].reset_index(drop=True)
    new = df.assign(x=rng.normal(size=N), z=rng.normal(size=N) * 2.0, z2=rng.uniform(-3, 3, N))
    new.index = pd.RangeIndex(1000, 1000 + N)  # predictions keep the caller's index
    return train, new


# (vantrel formula, the dummy-variable regression, the effect columns whose levels must
# have been seen for a prediction)
MODELS = {
    "intercept_and_slope": ("y ~ x | f[z]", "y ~ x + C(f) + C(f):z", ["f"]),
    "slope_only": ("y ~ x | f[[z]]", "y ~ x + C(f):z", ["f"]),
    "two_slopes": ("y ~ x | f[z, z2]", "y ~ x + C(f) + C(f):z + C(f):z2", ["f"]),
    "plain_and_slope": ("y ~ x | g + f[z]", "y ~ x + C(g) + C(f) + C(f):z", ["g", "f"]),
    "plain_and_slope_only": ("y ~ x | g + f[[z]]", "y ~ x + C(g) + C(f):z", ["g", "f"]),
    "two_slope_effects": ("y ~ x | f[z] + g[[z2]]", "y ~ x + C(f) + C(f):z + C(g):z2", ["f", "g"]),
    "interacted": ("y ~ x | g + f^g[[z]]", "y ~ x + C(g) + C(fg):z", ["g", "fg"]),
}


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("model", list(MODELS.values()), ids=list(MODELS))
def test_new_rows_equal_dummy_regression_prediction(data, model, weighted):
    train, new = data
    fml, dummies, effects = model
    fit = vantrel.feols(fml, train, weights="w" if weighted else None)
    oracle = (smf.wls(dummies, train, weights=train["w"]) if weighted else smf.ols(dummies, train)).fit()
    predicted = fit.predict(new)
    assert predicted.index.equals(new.index)
    seen = np.ones(len(new), dtype=bool)
    for effect in effects:
        seen &= new[effect].isin(train[effect]).to_numpy()
    assert 0 < seen.sum() < len(new)
    expected = oracle.predict(new[seen])
    np.testing.assert_allclose(predicted[seen].to_numpy(), expected.to_numpy(), rtol=1e-7, atol=1e-7)
    # a level the estimation never had has no intercept nor slope: no prediction
    assert predicted[~seen].isna().all()


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("model", list(MODELS.values()), ids=list(MODELS))
def test_estimation_rows_predict_the_fitted_values(data, model, weighted):
    train, _ = data
    fit = vantrel.feols(model[0], train, weights="w" if weighted else None)
    # the fitted values come from the absorption (converged to fixef_tol = 1e-8 of the
    # columns' size), the prediction from the recovered effects
    np.testing.assert_allclose(fit.predict(train).to_numpy(), fit.fitted().to_numpy(), rtol=0, atol=1e-7)


def test_slope_variable_missing_in_a_new_row_predicts_nan(data):
    train, new = data
    fit = vantrel.feols("y ~ x | g + f[z]", train)
    holed = new.assign(z=new.z.where(np.arange(len(new)) % 3 != 0))
    predicted, full = fit.predict(holed), fit.predict(new)
    missing = holed.z.isna().to_numpy()
    assert predicted[missing].isna().all()
    np.testing.assert_allclose(predicted[~missing].to_numpy(), full[~missing].to_numpy(), rtol=0, atol=0)


def test_slope_variable_as_text_in_new_rows_is_refused_by_name(data):
    train, new = data
    fit = vantrel.feols("y ~ x | f[z]", train)
    with pytest.raises(TypeError, match="slope variable 'z' must be numeric"):
        fit.predict(new.assign(z="a"))


def test_prediction_moves_with_the_slope_variable_by_the_level_slope(data):
    """An invariance of the linear predictor: raising z by 1 on a row moves its prediction
    by its level's slope on z, which fixef() reports."""
    train, new = data
    fit = vantrel.feols("y ~ x | g + f[z]", train)
    moved = fit.predict(new.assign(z=new.z + 1.0)) - fit.predict(new)
    slopes = fit.fixef()["f[[z]]"].reindex(new.f).to_numpy()
    np.testing.assert_allclose(moved.to_numpy(), slopes, rtol=1e-10, atol=1e-12)
