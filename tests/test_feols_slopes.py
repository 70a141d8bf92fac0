"""Varying slopes in feols (``fe[x]``, ``fe[[x]]``, ``fe[x1, x2]``) against the dummy-variable
regression with the interactions written out in statsmodels, and against pyfixest with the
slopes as regressors ``i(fe, x)`` (its own ``fe[x]`` syntax is not available)."""

import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf

import vantrel
from vantrel.formula.parse import FormulaError, parse_formula
from vantrel.formula.slopes import Slopes


@pytest.fixture(scope="module")
def panel():
    rng = np.random.default_rng(42)
    N = 600
    df = pd.DataFrame(
        {
            "f": rng.integers(0, 15, N),
            "g": rng.integers(0, 6, N),
            "c": rng.integers(0, 25, N),
            "x": rng.normal(size=N),
            "z": rng.normal(size=N) + 1.0,
            "z2": rng.uniform(-1, 2, N),
            "w": rng.uniform(0.3, 3.0, N),
        }
    )
    df["y"] = 0.7 * df.x + df.z * (df.f - 7) * 0.2 + 0.5 * df.z2 * df.g + df.g + rng.normal(size=N)
    return df


# (vantrel formula, the same model as a dummy-variable regression in statsmodels, the slopes
# by effect: {fixef() name: (effect column, slope variable)})
MODELS = {
    "intercept_and_slope": ("y ~ x | f[z]", "y ~ x + C(f) + C(f):z", {"f[[z]]": ("f", "z")}),
    "slope_only": ("y ~ x | f[[z]]", "y ~ x + C(f):z", {"f[[z]]": ("f", "z")}),
    "two_slopes": (
        "y ~ x | f[z, z2]",
        "y ~ x + C(f) + C(f):z + C(f):z2",
        {"f[[z]]": ("f", "z"), "f[[z2]]": ("f", "z2")},
    ),
    "plain_and_slope": ("y ~ x | g + f[z]", "y ~ x + C(g) + C(f) + C(f):z", {"f[[z]]": ("f", "z")}),
    "two_slope_effects": (
        "y ~ x | f[z] + g[[z2]]",
        "y ~ x + C(f) + C(f):z + C(g):z2",
        {"f[[z]]": ("f", "z"), "g[[z2]]": ("g", "z2")},
    ),
}

VCOVS = {
    "iid": ("iid", {}),
    "hetero": ("hetero", {"cov_type": "HC1"}),
    "cluster": ({"CRV1": "c"}, {"cov_type": "cluster"}),
}


def _statsmodels(df, formula, weighted, vcov):
    kwargs = dict(VCOVS[vcov][1])
    if vcov == "cluster":
        kwargs["cov_kwds"] = {"groups": df["c"]}
    model = smf.wls(formula, df, weights=df["w"]) if weighted else smf.ols(formula, df)
    return model.fit(**kwargs)


@pytest.mark.parametrize("vcov", list(VCOVS), ids=list(VCOVS))
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("model", list(MODELS.values()), ids=list(MODELS))
def test_coefficients_and_standard_errors_equal_dummy_regression(panel, model, weighted, vcov):
    fml, dummies, _ = model
    fit = vantrel.feols(fml, panel, vcov=VCOVS[vcov][0], weights="w" if weighted else None)
    oracle = _statsmodels(panel, dummies, weighted, vcov)
    np.testing.assert_allclose(fit.coef()["x"], oracle.params["x"], rtol=1e-9)
    np.testing.assert_allclose(fit.se()["x"], oracle.bse["x"], rtol=1e-8)
    assert fit.nobs == len(panel)


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("model", list(MODELS.values()), ids=list(MODELS))
def test_fixef_slopes_and_fitted_values_equal_dummy_regression(panel, model, weighted):
    fml, dummies, slopes = model
    fit = vantrel.feols(fml, panel, weights="w" if weighted else None)
    oracle = _statsmodels(panel, dummies, weighted, "iid")
    effects = fit.fixef()
    for name, (effect, variable) in slopes.items():
        expected = pd.Series(
            {level: oracle.params[f"C({effect})[{level}]:{variable}"] for level in effects[name].index}
        )
        np.testing.assert_allclose(effects[name].to_numpy(), expected.to_numpy(), rtol=1e-7, atol=1e-9)
    # the values of every effect, intercepts included, add up to the fitted values
    total = fit.coef()["x"] * panel["x"].to_numpy()
    if "Intercept" in fit.coef().index:
        total = total + fit.coef()["Intercept"]
    for name, values in effects.items():
        effect = name.split("[")[0]
        level_value = values.reindex(panel[effect]).to_numpy()
        variable = name[len(effect) + 2 : -2] if "[[" in name else None
        total = total + level_value * (panel[variable].to_numpy() if variable else 1.0)
    np.testing.assert_allclose(total, oracle.fittedvalues.to_numpy(), rtol=1e-8, atol=1e-8)
    # the fit's own residuals are those of the absorption, converged to fixef_tol = 1e-8
    # of the columns' size (fixef() solves again, to rounding)
    np.testing.assert_allclose(fit.fitted().to_numpy(), oracle.fittedvalues.to_numpy(), rtol=0, atol=1e-7)


def test_one_effect_intercepts_equal_dummy_regression(panel):
    """With one effect the intercepts are identified too: each level's is statsmodels'
    constant plus that level's contrast."""
    fit = vantrel.feols("y ~ x | f[z]", panel)
    oracle = smf.ols("y ~ x + C(f) + C(f):z", panel).fit()
    intercepts = fit.fixef()["f"]
    expected = [oracle.params["Intercept"] + oracle.params.get(f"C(f)[T.{level}]", 0.0) for level in intercepts.index]
    np.testing.assert_allclose(intercepts.to_numpy(), expected, rtol=1e-8, atol=1e-9)


@pytest.mark.parametrize("vcov", list(VCOVS), ids=list(VCOVS))
def test_equals_pyfixest_with_the_slopes_as_regressors(panel, vcov):
    """pyfixest's i(f, z) puts a slope on z per level of f among the regressors: with f
    absorbed it is the model f[z], the same coefficient and standard error on x."""
    pf = pytest.importorskip("pyfixest")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = pf.feols("y ~ x + i(f, z) | f", panel, vcov=VCOVS[vcov][0])
    fit = vantrel.feols("y ~ x | f[z]", panel, vcov=VCOVS[vcov][0])
    np.testing.assert_allclose(fit.coef()["x"], peer.coef()["x"], rtol=1e-9)
    np.testing.assert_allclose(fit.se()["x"], peer.se()["x"], rtol=1e-8)


@pytest.mark.parametrize(
    ("shift", "scale"),
    [pytest.param(0.0, 1e4, id="rescaled"), pytest.param(1e3, 1.0, id="shifted"), pytest.param(-5.0, 1e-3, id="both")],
)
def test_slope_variable_rescaled_or_shifted_leaves_x_unchanged(panel, shift, scale):
    """With its intercept, a level's slope on a*z + b spans what the slope on z spans: the
    estimate on x does not move, and the slopes scale by 1/a."""
    moved = panel.assign(z=panel.z * scale + shift)
    base, fit = vantrel.feols("y ~ x | g + f[z]", panel), vantrel.feols("y ~ x | g + f[z]", moved)
    np.testing.assert_allclose(fit.coef()["x"], base.coef()["x"], rtol=1e-9)
    np.testing.assert_allclose(fit.se()["x"], base.se()["x"], rtol=1e-9)
    np.testing.assert_allclose(fit.fixef()["f[[z]]"] * scale, base.fixef()["f[[z]]"], rtol=1e-7)


def test_multiple_estimation_equals_each_model_alone(panel):
    models = vantrel.feols("y ~ csw(x, z2) | f[z]", panel)
    for fml, fitted in zip(["y ~ x | f[z]", "y ~ x + z2 | f[z]"], models, strict=True):
        alone = vantrel.feols(fml, panel)
        np.testing.assert_allclose(fitted.coef().to_numpy(), alone.coef().to_numpy(), rtol=1e-10)
        np.testing.assert_allclose(fitted.se().to_numpy(), alone.se().to_numpy(), rtol=1e-10)


def test_same_effect_with_and_without_slopes_are_not_shared(panel):
    models = vantrel.feols("y ~ x | sw(f, f[z])", panel)
    for fml, fitted in zip(["y ~ x | f", "y ~ x | f[z]"], models, strict=True):
        np.testing.assert_allclose(fitted.coef()["x"], vantrel.feols(fml, panel).coef()["x"], rtol=1e-10)


@pytest.mark.parametrize(
    ("text", "effects", "slopes"),
    [
        pytest.param("y ~ x | f[z]", [["f"]], [Slopes(True, ("z",))], id="slope"),
        pytest.param("y ~ x | f[[z]]", [["f"]], [Slopes(False, ("z",))], id="slope_only"),
        pytest.param("y ~ x | f[z, z2]", [["f"]], [Slopes(True, ("z", "z2"))], id="two"),
        pytest.param("y ~ x | g + a^b[[z]]", [["g"], ["a", "b"]], [Slopes(), Slopes(False, ("z",))], id="interacted"),
        pytest.param("y ~ x | g + f", [["g"], ["f"]], [], id="none"),
    ],
)
def test_parse(text, effects, slopes):
    parsed = parse_formula(text)
    assert parsed.fixed_effects == effects
    assert parsed.fe_slopes == slopes


@pytest.mark.parametrize(
    ("text", "match"),
    [
        pytest.param("y ~ x | f[]", "in brackets where column names belong", id="empty"),
        pytest.param("y ~ x | f[z", "misplaced brackets", id="unclosed"),
        pytest.param("y ~ x | f[z + 1]", "column names belong|misplaced", id="expression"),
        pytest.param("y ~ x | f[z]w", "misplaced brackets", id="trailing"),
    ],
)
def test_malformed_slopes_are_refused_by_name(text, match):
    with pytest.raises(FormulaError, match=match):
        parse_formula(text)


def test_text_slope_variable_is_refused(panel):
    with pytest.raises(TypeError, match="slope variable 'name' of 'f\\[name\\]' must be numeric"):
        vantrel.feols("y ~ x | f[name]", panel.assign(name="a"))


def test_missing_slope_value_drops_the_row(panel):
    holed = panel.assign(z=panel.z.where(panel.index % 50 != 0))
    fit = vantrel.feols("y ~ x | f[z]", holed)
    oracle = smf.ols("y ~ x + C(f) + C(f):z", holed.dropna()).fit()
    assert fit.nobs == len(holed.dropna())
    np.testing.assert_allclose(fit.coef()["x"], oracle.params["x"], rtol=1e-9)


def test_duckdb_refuses_slopes_naming_engine_and_term(panel):
    pytest.importorskip("duckdb")
    with pytest.raises(ValueError, match=r"f\[z\].*engine = 'duckdb'"):
        vantrel.feols("y ~ x | f[z]", panel, engine="duckdb")


@pytest.mark.parametrize("model", ["intercept_and_slope", "plain_and_slope"], ids=str)
def test_clustered_by_the_slope_effect_with_every_parameter_counted(panel, model):
    """Clustered by the effect that carries the slopes, with k_fixef='full' every level's
    intercept and slope is counted, as statsmodels counts the dummy regression's columns."""
    fml, dummies, _ = MODELS[model]
    fit = vantrel.feols(fml, panel, vcov={"CRV1": "f"}, ssc=vantrel.ssc(k_fixef="full"))
    oracle = smf.ols(dummies, panel).fit(cov_type="cluster", cov_kwds={"groups": panel["f"]})
    np.testing.assert_allclose(fit.se()["x"], oracle.bse["x"], rtol=1e-8)


@pytest.mark.parametrize("k_fixef", ["none", "full", "nonnested"])
def test_slope_coefficients_enter_the_parameter_count(panel, k_fixef):
    """The slopes are fixed-effect parameters: counted unless k_fixef='none', and kept under
    'nonnested' when their effect is nested in the cluster variable (only its intercepts,
    implied by the clusters, leave the count). The oracle is the same model with the
    slopes written as regressors (i(f, z)), whose count is known, and the standard error
    scaled by the two counts' ratio of (N - 1) / (N - k)."""
    N = len(panel)
    levels = panel["f"].nunique()
    slopes = vantrel.feols("y ~ x | f[z]", panel, vcov={"CRV1": "f"}, ssc=vantrel.ssc(k_fixef=k_fixef))
    expected_k = {"none": 1, "full": 1 + 2 * levels, "nonnested": 1 + levels + 1}[k_fixef]
    assert slopes.df_k == expected_k
    oracle = smf.ols("y ~ x + C(f) + C(f):z", panel).fit(cov_type="cluster", cov_kwds={"groups": panel["f"]})
    full_k = 1 + 2 * levels
    rescale = np.sqrt((N - full_k) / (N - expected_k))
    np.testing.assert_allclose(slopes.se()["x"], oracle.bse["x"] * rescale, rtol=1e-8)


@pytest.mark.parametrize("vcov", ["HC2", {"CRV3": "g"}])
def test_covariances_that_ignore_slopes_are_refused_not_misapplied(panel, vcov):
    # the leverages and the jackknife project on fixed effects without slopes: refused at
    # the fit and after it rather than returned with a wrong parameter count
    with pytest.raises(ValueError, match="not available with varying slopes"):
        vantrel.feols("y ~ x | f[z]", panel, vcov=vcov)
    fit = vantrel.feols("y ~ x | f[z]", panel)
    with pytest.raises(ValueError, match="not available for (feols with )?varying slopes"):
        fit.with_vcov(vcov)
    with pytest.raises(ValueError, match="not available for varying slopes"):
        fit.wildboottest("x", cluster="g", B=99, seed=1)


@pytest.mark.parametrize("fml", ["y ~ x | f[z]", "y ~ x | g + f[[z]]"], ids=["with intercepts", "slopes alone"])
@pytest.mark.parametrize(
    "vcov", ["iid", "hetero", {"CRV1": "g"}, {"CRV1": "f"}, {"CRV1": "f+g"}], ids=["iid", "hetero", "g", "f", "f+g"]
)
def test_covariance_after_the_fit_counts_the_slopes_as_the_fit_does(panel, fml, vcov):
    # the slope coefficients and the effects without their intercept enter the parameter
    # count after the fit as at it (the fit's own covariance is tested against the dummy
    # regressions above)
    direct = vantrel.feols(fml, panel, vcov=vcov)
    after = vantrel.feols(fml, panel).with_vcov(vcov)
    np.testing.assert_allclose(after.vcov.to_numpy(), direct.vcov.to_numpy(), rtol=1e-12, atol=0)
    assert (after.df_t, after.df_k) == (direct.df_t, direct.df_k)


@pytest.mark.parametrize(
    "vcov",
    [{"DK": {"time": "g", "lag": 1}}, {"NW": {"time": "t", "lag": 3}}],
    ids=["DK", "NW time series"],
)
@pytest.mark.parametrize(
    "fml, explicit",
    [("y ~ x | f[z]", "y ~ x + C(f):z | f"), ("y ~ x | g + f[[z]]", "y ~ x + C(f):z | g")],
    ids=["with intercepts", "slopes alone"],
)
def test_hac_with_slopes_equals_the_slopes_written_as_regressors(panel, fml, explicit, vcov):
    # the slopes' coefficients are regressors of the explicit model: the scores of x after
    # partialling them out are the same rows, so its HAC standard error, with the same count
    # of parameters, must be the same, at the fit and after it
    data = panel.assign(
        y=panel["x"] * 0.5 + panel["z"] * panel["f"] * 0.1 + np.sin(panel["c"]) + panel["x"] ** 2,
        t=np.arange(len(panel)),
    )
    oracle = vantrel.feols(explicit, data, vcov=vcov)
    at_fit = vantrel.feols(fml, data, vcov=vcov)
    after = vantrel.feols(fml, data).with_vcov(vcov)
    np.testing.assert_allclose(at_fit.coef()["x"], oracle.coef()["x"], rtol=1e-8)
    np.testing.assert_allclose(at_fit.se()["x"], oracle.se()["x"], rtol=1e-7)
    np.testing.assert_allclose(after.se()["x"], oracle.se()["x"], rtol=1e-7)
