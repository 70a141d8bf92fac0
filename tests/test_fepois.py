"""`vantrel.fepois` against independent programs: statsmodels' GLM Poisson with the fixed
effects as dummy variables (and the sandwich formed here from its fitted means), pyfixest's
fepois in the same run, and invariances of the Poisson model."""

import pathlib
import warnings

import numpy as np
import pandas as pd
import pyfixest as pf
import pytest
import statsmodels.api as sm

import vantrel

NONE = vantrel.ssc(k_adj=False, k_fixef="none", G_adj=False)


def count_panel(seed=0, n=600, groups=(12, 6, 4), weights=False, offset=False):
    """A count outcome on two regressors and up to three fixed effects; every group holds
    many rows and some positive outcome, so nothing is a singleton or separated."""
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n)})
    eta = 0.4 * df["x1"] - 0.3 * df["x2"]
    for i, G in enumerate(groups):
        name = "f" + str(i + 1)
        df[name] = rng.integers(0, G, size=n)
        eta = eta + rng.normal(scale=0.5, size=G)[df[name]]
    if weights:
        df["w"] = rng.uniform(0.5, 2.0, size=n)
    if offset:
        df["off"] = rng.normal(scale=0.3, size=n)
        eta = eta + df["off"]
    df["y"] = rng.poisson(np.exp(eta)).astype(float)
    df["g"] = rng.integers(0, 25, size=n)  # a cluster variable of its own
    return df


def glm_oracle(df, regressors, effects, weights=None, offset=None, clusters=()):
    """statsmodels' Poisson GLM on the regressors and the effects' dummies; the slopes, and
    the iid, HC0 and cluster sandwiches of the slopes formed from its fitted means."""
    parts = [df[regressors]] if regressors else []
    for name in effects:
        parts.append(pd.get_dummies(df[name].astype(str), prefix=name, drop_first=True).astype(float))
    X = sm.add_constant(pd.concat(parts, axis=1) if parts else pd.DataFrame(index=df.index))
    w = None if weights is None else df[weights].to_numpy()
    model = sm.GLM(
        df["y"],
        X,
        family=sm.families.Poisson(),
        var_weights=w,
        offset=None if offset is None else df[offset],
    )
    fit = model.fit(tol=1e-14, maxiter=200)
    mu = fit.fittedvalues.to_numpy()
    wi = np.ones(len(df)) if w is None else w
    Xa = X.to_numpy()
    bread = np.linalg.inv((Xa * (wi * mu)[:, None]).T @ Xa)
    scores = Xa * (wi * (df["y"].to_numpy() - mu))[:, None]
    # without fixed effects the constant is a coefficient too
    names = regressors if effects else ["const"] + regressors
    slope = slice(1, 1 + len(regressors)) if effects else slice(0, 1 + len(regressors))
    out = {
        "coef": fit.params[names].to_numpy(),
        "iid": bread[slope, slope],
        "hetero": (bread @ scores.T @ scores @ bread)[slope, slope],
        "deviance": fit.deviance,
        "loglik": fit.llf,
        "loglik_null": fit.llnull,
        "null_deviance": fit.null_deviance,
        "mu": mu,
    }
    for name in clusters:
        sums = pd.DataFrame(scores).groupby(df[name].to_numpy()).sum().to_numpy()
        out[name] = (bread @ sums.T @ sums @ bread)[slope, slope]
    return out


DESIGNS = {
    "no effects": [],
    "one effect": ["f1"],
    "two effects": ["f1", "f2"],
    "three effects": ["f1", "f2", "f3"],
}


def _fml(regressors, effects):
    rhs = " + ".join(regressors) if regressors else "1"
    return f"y ~ {rhs}" + (" | " + " + ".join(effects) if effects else "")


@pytest.mark.parametrize("design", list(DESIGNS), ids=list(DESIGNS))
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("with_offset", [False, True], ids=["no offset", "offset"])
def test_coefficients_and_sandwiches_equal_the_dummy_glm(design, weighted, with_offset):
    effects = DESIGNS[design]
    df = count_panel(seed=len(effects) + 3 * weighted + 7 * with_offset, weights=weighted, offset=with_offset)
    regressors = ["x1", "x2"]
    weights, offset = ("w" if weighted else None), ("off" if with_offset else None)
    oracle = glm_oracle(df, regressors, effects, weights, offset, clusters=["g"])
    fml = _fml(regressors, effects)
    for vcov, key in [("iid", "iid"), ("hetero", "hetero"), ({"CRV1": "g"}, "g")]:
        fit = vantrel.fepois(fml, df, vcov=vcov, weights=weights, offset=offset, ssc=NONE, tol=1e-12)
        assert fit.nobs == len(df)
        np.testing.assert_allclose(fit.coef().to_numpy(), oracle["coef"], rtol=0, atol=1e-8)
        # relative to the variances: an off-diagonal covariance may be near zero
        scale = np.sqrt(np.outer(np.diag(oracle[key]), np.diag(oracle[key])))
        np.testing.assert_array_less(np.abs(fit.vcov.to_numpy() - oracle[key]), 1e-7 * scale)
    assert fit.deviance == pytest.approx(oracle["deviance"], rel=1e-10)
    assert fit.loglik == pytest.approx(oracle["loglik"], rel=1e-10)
    if not with_offset:  # the null model of a constant mean (statsmodels' keeps the offset in it)
        assert fit.loglik_null == pytest.approx(oracle["loglik_null"], rel=1e-10)
        assert fit.null_deviance == pytest.approx(oracle["null_deviance"], rel=1e-10)
    np.testing.assert_allclose(fit.fitted().to_numpy(), oracle["mu"], rtol=1e-7)


def test_model_of_fixed_effects_alone_equals_the_dummy_glm():
    df = count_panel(seed=11)
    oracle = glm_oracle(df, [], ["f1", "f2"])
    fit = vantrel.fepois("y ~ 1 | f1 + f2", df, tol=1e-12)
    assert fit.coefnames == []
    assert fit.deviance == pytest.approx(oracle["deviance"], rel=1e-10)
    np.testing.assert_allclose(fit.predict().to_numpy(), oracle["mu"], rtol=1e-7)
    # the fixed effects are the estimate: their sum per row is the log of the fitted mean
    fe = fit.fixef()
    total = fe["f1"].reindex(df["f1"]).to_numpy() + fe["f2"].reindex(df["f2"]).to_numpy()
    np.testing.assert_allclose(total, np.log(oracle["mu"]), atol=1e-7)


def _quiet_pyfixest(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pf.fepois(*args, **kwargs)


PEER_CASES = {
    "iid, two effects": ("y ~ x1 + x2 | f1 + f2", "iid", None, None),
    "hetero, three effects": ("y ~ x1 + x2 | f1 + f2 + f3", "hetero", None, None),
    "cluster, one effect": ("y ~ x1 + x2 | f1", {"CRV1": "g"}, None, None),
    "cluster by an effect": ("y ~ x1 + x2 | f1 + f2", {"CRV1": "f1"}, None, None),
    "twoway cluster": ("y ~ x1 + x2 | f1 + f2", {"CRV1": "g+f2"}, None, None),
    "weights": ("y ~ x1 + x2 | f1 + f2", "hetero", "w", None),
    "offset": ("y ~ x1 + x2 | f1 + f2", {"CRV1": "g"}, None, "off"),
    "no effects": ("y ~ x1 + x2", "hetero", None, None),
}


@pytest.mark.parametrize("case", list(PEER_CASES), ids=list(PEER_CASES))
def test_estimates_equal_pyfixest(case):
    fml, vcov, weights, offset = PEER_CASES[case]
    df = count_panel(seed=len(case), weights=True, offset=True)
    fit = vantrel.fepois(fml, df, vcov=vcov, weights=weights, offset=offset)
    peer = _quiet_pyfixest(fml, df, vcov=vcov, weights=weights, offset=offset, iwls_tol=1e-12, fixef_tol=1e-12)
    assert fit.nobs == peer._N
    np.testing.assert_allclose(fit.coef().to_numpy(), peer.coef().to_numpy(), rtol=1e-6, atol=1e-9)
    np.testing.assert_allclose(fit.se().to_numpy(), peer.se().to_numpy(), rtol=1e-6)
    # pyfixest forms p = 2 (1 - Phi(|z|)), exact to about 1e-16 absolutely
    np.testing.assert_allclose(fit.pvalue().to_numpy(), peer.pvalue().to_numpy(), rtol=1e-5, atol=1e-14)
    np.testing.assert_allclose(fit.confint().to_numpy(), peer.confint().to_numpy(), rtol=1e-6, atol=1e-9)
    assert fit.deviance == pytest.approx(float(peer.deviance), rel=1e-8)


INVARIANCES = {
    "outcome scaled": lambda df: df.assign(y=df["y"] * 7.5),
    "rows permuted": lambda df: df.sample(frac=1.0, random_state=3),
    "regressor rescaled": lambda df: df.assign(x1=df["x1"] * 1e3),
}


@pytest.mark.parametrize("change", list(INVARIANCES), ids=list(INVARIANCES))
def test_invariances(change):
    df = count_panel(seed=5)
    fml = "y ~ x1 + x2 | f1 + f2"
    base = vantrel.fepois(fml, df, vcov={"CRV1": "g"}, tol=1e-12)
    other = vantrel.fepois(fml, INVARIANCES[change](df), vcov={"CRV1": "g"}, tol=1e-12)
    factor = np.array([1e-3, 1.0]) if change == "regressor rescaled" else 1.0
    np.testing.assert_allclose(other.coef().to_numpy(), base.coef().to_numpy() * factor, rtol=1e-8)
    np.testing.assert_allclose(other.se().to_numpy(), base.se().to_numpy() * factor, rtol=1e-6)
    if change == "outcome scaled":
        # only the intercept-like part moves: the first effect by log(7.5), the rest not at all
        np.testing.assert_allclose(
            other.fixef()["f1"].to_numpy(), base.fixef()["f1"].to_numpy() + np.log(7.5), atol=1e-7
        )
        np.testing.assert_allclose(other.fixef()["f2"].to_numpy(), base.fixef()["f2"].to_numpy(), atol=1e-7)


def test_offset_of_a_constant_moves_only_the_effects():
    df = count_panel(seed=8)
    fml = "y ~ x1 + x2 | f1"
    base = vantrel.fepois(fml, df, tol=1e-12)
    shifted = vantrel.fepois(fml, df.assign(off=2.0), offset="off", tol=1e-12)
    np.testing.assert_allclose(shifted.coef().to_numpy(), base.coef().to_numpy(), rtol=1e-8)
    np.testing.assert_allclose(shifted.fitted().to_numpy(), base.fitted().to_numpy(), rtol=1e-8)


def test_predictions_on_new_data():
    df = count_panel(seed=9, offset=True)
    fit = vantrel.fepois("y ~ x1 + x2 | f1 + f2", df, offset="off", tol=1e-12)
    np.testing.assert_allclose(fit.predict(df).to_numpy(), fit.fitted().to_numpy(), rtol=1e-7)
    link = fit.predict(df, type="link").to_numpy()
    np.testing.assert_allclose(np.exp(link), fit.predict(df).to_numpy(), rtol=1e-12)
    np.testing.assert_allclose(fit.predict(type="link").to_numpy(), np.log(fit.fitted().to_numpy()), rtol=1e-12)
    new = df.head(3).copy()
    new.loc[new.index[1], "f1"] = 999  # a level the fit never saw
    predicted = fit.predict(new).to_numpy()
    assert np.isnan(predicted[1]) and np.isfinite(predicted[[0, 2]]).all()


def test_multiple_estimation_equals_each_model_alone():
    df = count_panel(seed=10, offset=True)
    df["y2"] = np.random.default_rng(1).poisson(np.exp(0.2 * df["x2"]))
    models = vantrel.fepois("y + y2 ~ x1 + csw0(x2) | f1", df, offset="off", tol=1e-12)
    alone = [
        vantrel.fepois(fml, df, offset="off", tol=1e-12)
        for fml in ["y ~ x1 | f1", "y ~ x1 + x2 | f1", "y2 ~ x1 | f1", "y2 ~ x1 + x2 | f1"]
    ]
    fits = list(models.to_list()) if hasattr(models, "to_list") else list(models)
    assert len(fits) == 4
    got = sorted((fit.formula, tuple(np.round(fit.coef().to_numpy(), 10))) for fit in fits)
    want = sorted((fit.formula, tuple(np.round(fit.coef().to_numpy(), 10))) for fit in alone)
    assert got == want


def test_result_surface():
    df = count_panel(seed=12)
    fit = vantrel.fepois("y ~ x1 + x2 | f1 + f2", df, vcov="hetero")
    assert list(fit.tidy().index) == ["x1", "x2"]
    assert fit.confint().shape == (2, 2)
    assert set(fit.fixef()) == {"f1", "f2"}
    # one absorption per iteration and one more under the weights at the estimate
    assert len(fit.iterations["inner"]) == fit.iterations["outer"] + 1 >= 3
    assert 0 < fit.pseudo_r2 < 1
    assert fit.separated == {"fe": 0, "simplex": 0, "relu": 0}
    ols = vantrel.feols("y ~ x1 + x2 | f1 + f2", df, vcov="hetero")
    table = vantrel.etable([ols, fit])
    assert "x1" in table.index
    # the likelihood's statistics in the Poisson column only, least squares' R2 in the other
    assert table.loc["Pseudo R2"].tolist() == ["-", f"{fit.pseudo_r2:.3f}"]
    assert table.loc["R2"].iloc[1] == "-"
    pytest.importorskip("matplotlib")
    figure = vantrel.coefplot([ols, fit])
    labels = [text.get_text() for axis in figure.axes for text in axis.get_legend().get_texts()]
    assert len(labels) == 2
    assert "fepois" in repr(fit)


ERRORS = {
    "negative outcome": (lambda df: df.assign(y=df["y"] - 1), {}, ValueError, "non-negative"),
    "outcome all zero": (lambda df: df.assign(y=0.0), {}, ValueError, "zero in every row"),
    "unknown separation": (lambda df: df, {"separation": "lp"}, ValueError, "'lp' is not a method"),
    "bad tol": (lambda df: df, {"tol": 0}, ValueError, "tol must be"),
    "bad maxiter": (lambda df: df, {"maxiter": 0}, ValueError, "maxiter must be"),
    "pyfixest keyword": (lambda df: df, {"iwls_tol": 1e-8}, TypeError, "here: tol"),
    "text offset": (lambda df: df.assign(off="a"), {"offset": "off"}, TypeError, "offset: column 'off'"),
    "no convergence": (lambda df: df, {"maxiter": 1}, ValueError, "maxiter = 1"),
    # out of memory the methods that need every row are refused when asked for by name
    "relu out of memory": (lambda df: df, {"engine": "duckdb", "separation": "relu"}, ValueError, "'duckdb' engine"),
    "memory limit": (lambda df: df, {"memory_limit": "-5GB"}, ValueError, "memory_limit"),
}


@pytest.mark.parametrize("case", list(ERRORS), ids=list(ERRORS))
def test_errors_name_the_argument(case):
    change, keywords, error, text = ERRORS[case]
    df = change(count_panel(seed=13))
    with pytest.raises(error, match=text):
        vantrel.fepois("y ~ x1 + x2 | f1", df, **keywords)


def test_predict_type_is_checked():
    fit = vantrel.fepois("y ~ x1 | f1", count_panel(seed=14))
    with pytest.raises(ValueError, match="type must be one of"):
        fit.predict(type="mean")


# the standard suite of Poisson separation cases, each row marked with the true answer
# (copied with its licence and README into tests/data/separation)
SEPARATION = sorted((pathlib.Path(__file__).parent / "data" / "separation").glob("[0-9][0-9].csv"))


def _suite_model(df):
    regressors = [c for c in df if c.startswith("x")]
    effects = [c for c in df if c.startswith("id")]
    return _fml(regressors, effects)


@pytest.mark.parametrize("method", [("fe", "simplex", "relu"), "relu"], ids=["all three", "relu alone"])
@pytest.mark.parametrize("path", SEPARATION, ids=[p.stem for p in SEPARATION])
def test_separation_suite_drops_exactly_the_marked_rows(path, method):
    assert len(SEPARATION) == 18
    df = pd.read_csv(path)
    marked = set(df.index[df["separated"] == 1])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit = vantrel.fepois(_suite_model(df), df.drop(columns="separated"), separation=method)
    found = set(fit.separated_index)
    assert sum(fit.separated.values()) == len(found)
    # the suite's answer keeps singletons; here a marked row may leave as a singleton first
    # (when its partner goes as separated), but never stays, and nothing unmarked is separated
    assert found <= marked
    assert not marked & set(fit.fitted().index)
    assert marked - found <= set(df.index) - set(fit.fitted().index)
    assert np.isfinite(fit.deviance)


AFTER_FIT = {"iid": "iid", "hetero": "hetero", "cluster": {"CRV1": "g"}, "twoway": {"CRV1": "g+f2"}}


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("vcov", list(AFTER_FIT), ids=list(AFTER_FIT))
def test_covariance_after_the_fit_equals_fitting_with_it(vcov, weighted):
    df = count_panel(seed=21, weights=True, offset=True)
    kw = {"weights": "w" if weighted else None, "offset": "off"}
    fml = "y ~ x1 + x2 | f1 + f2"
    direct = vantrel.fepois(fml, df, vcov=AFTER_FIT[vcov], **kw)
    after = vantrel.fepois(fml, df, **kw).with_vcov(AFTER_FIT[vcov])
    np.testing.assert_allclose(after.vcov.to_numpy(), direct.vcov.to_numpy(), rtol=1e-12, atol=0)
    np.testing.assert_allclose(after.pvalue().to_numpy(), direct.pvalue().to_numpy(), rtol=1e-10)


@pytest.mark.parametrize(
    "call",
    [
        lambda fit: fit.with_vcov("HC3"),
        lambda fit: fit.se(vcov={"CRV3": "g"}),
        lambda fit: fit.wildboottest("x1", cluster="g"),
        lambda fit: fit.cluster_leverage("g"),
    ],
    ids=["HC3", "CRV3", "wild bootstrap", "cluster leverage"],
)
def test_least_squares_only_inference_is_refused(call):
    fit = vantrel.fepois("y ~ x1 + x2 | f1", count_panel(seed=22))
    with pytest.raises(ValueError, match="not available"):
        call(fit)


@pytest.mark.parametrize("engine", ["memory", "duckdb"])
def test_feols_of_fixed_effects_alone_equals_the_dummy_regression(engine):
    import duckdb
    import statsmodels.formula.api as smf

    df = count_panel(seed=23)
    oracle = smf.ols("y ~ C(f1) + C(f2)", df).fit()
    data = df if engine == "memory" else duckdb.from_df(df)
    fit = vantrel.feols("y ~ 1 | f1 + f2", data)
    assert fit.coefnames == [] and fit.nobs == len(df)
    assert fit.r2 == pytest.approx(oracle.rsquared, rel=1e-10)
    assert fit.adj_r2 == pytest.approx(oracle.rsquared_adj, rel=1e-10)
    if engine == "memory":
        np.testing.assert_allclose(fit.resid().to_numpy(), oracle.resid.to_numpy(), atol=1e-9)


@pytest.mark.parametrize(
    "vcov",
    [{"NW": {"time": "t", "panel": "f1", "lag": 2}}, {"DK": {"time": "t", "lag": 1}}],
    ids=["NW panel", "DK"],
)
def test_hac_at_the_fit_equals_hac_after_it(vcov):
    # the kinds computed from the rows are the same call at the fit as after it, not the
    # fit's iid covariance under another label
    df = count_panel(seed=24)
    df["t"] = df.groupby("f1").cumcount()
    direct = vantrel.fepois("y ~ x1 + x2 | f2", df, vcov=vcov)
    base = vantrel.fepois("y ~ x1 + x2 | f2", df)
    after = base.with_vcov(vcov)
    np.testing.assert_allclose(direct.vcov.to_numpy(), after.vcov.to_numpy(), rtol=1e-12)
    assert not np.allclose(direct.se().to_numpy(), base.se().to_numpy(), rtol=1e-3)
    assert direct.vcov_type == after.vcov_type != "iid"


def test_least_squares_only_kind_is_refused_at_the_fit():
    with pytest.raises(ValueError, match="HC3 is not available for fepois fits"):
        vantrel.fepois("y ~ x1 | f1", count_panel(seed=25), vcov="HC3")


def test_multiple_estimation_with_separation_differing_between_outcomes():
    # each outcome's separated rows are its own: the second outcome is zero in a whole
    # group, the first is not, and the models share one engine
    df = count_panel(seed=26)
    df["y2"] = df["y"].where(df["f1"] != 3, 0.0)
    models = vantrel.fepois("y + y2 ~ x1 + x2 | f1 + f2", df, vcov={"CRV1": "g"}, tol=1e-12)
    for fit, outcome in zip(models, ["y", "y2"], strict=True):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            alone = vantrel.fepois(f"{outcome} ~ x1 + x2 | f1 + f2", df, vcov={"CRV1": "g"}, tol=1e-12)
        assert fit.nobs == alone.nobs and fit.separated == alone.separated
        np.testing.assert_allclose(fit.coef().to_numpy(), alone.coef().to_numpy(), rtol=1e-10)
        np.testing.assert_allclose(fit.se().to_numpy(), alone.se().to_numpy(), rtol=1e-10)
    assert models[1].separated["fe"] == int((df["f1"] == 3).sum()) and models[0].separated["fe"] == 0


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_poisson_working_values_equal_the_glm_definition(weighted):
    # the Poisson family forms its working weights and variable in fewer passes; they must
    # be the generic definition w (d mu / d eta)^2 / V(mu) and eta + (y - mu) / (d mu / d eta)
    from vantrel.core.family import POISSON, Family

    rng = np.random.default_rng(21)
    eta = rng.normal(scale=2.0, size=500)
    mu = POISSON.linkinv(eta)
    y = rng.poisson(mu).astype(float)
    w = rng.uniform(0.5, 2.0, size=500) if weighted else None
    weights, z = POISSON.working(y, eta, mu, w)
    weights_glm, z_glm = Family.working(POISSON, y, eta, mu, w)
    np.testing.assert_allclose(weights, weights_glm, rtol=1e-15)
    np.testing.assert_allclose(z, z_glm, rtol=1e-14, atol=1e-14)


@pytest.mark.parametrize(
    "fml", ["y ~ x1 + x2 | f1 + f2", "y ~ x1 + x2", "y ~ 1 | f1 + f2 + f3"], ids=["effects", "none", "effects alone"]
)
def test_offset_of_zeros_equals_no_offset(fml):
    df = count_panel(seed=22)
    base = vantrel.fepois(fml, df, vcov="hetero", tol=1e-12)
    zeros = vantrel.fepois(fml, df.assign(off=0.0), vcov="hetero", offset="off", tol=1e-12)
    np.testing.assert_allclose(zeros.coef().to_numpy(), base.coef().to_numpy(), rtol=1e-10)
    np.testing.assert_allclose(zeros.se().to_numpy(), base.se().to_numpy(), rtol=1e-8)
    assert zeros.deviance == pytest.approx(base.deviance, rel=1e-12)
