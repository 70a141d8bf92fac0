"""Two-stage least squares with fixed effects (``"y ~ x | fe | endo ~ inst"``).

Oracles: linearmodels' IV2SLS and IVGMM on the same model with the fixed effects as dummy
columns (coefficients, standard errors under the same corrections, first-stage Wald
statistics, Wu-Hausman, Sargan, Hansen's J), pyfixest's IV in the same run (one
endogenous regressor), the first stages as ordinary feols fits, a dummy-variable NumPy
computation of the Cragg-Donald statistic, and invariances: instruments equal to the
endogenous regressors give OLS, the Kleibergen-Paap statistic under iid errors is Cragg
and Donald's, with one endogenous regressor it is the first-stage F; permuting the rows
or rescaling an instrument changes nothing.
"""

import warnings

import numpy as np
import pandas as pd
import pyfixest as pf
import pytest
from linearmodels.iv import IV2SLS, IVGMM

import vantrel
from vantrel.formula.parse import FormulaError

pytestmark = pytest.mark.filterwarnings("ignore:The inplace keyword")


def make_iv_data(seed=0, n=1500, groups=(40, 12)):
    """Two fixed effects, one exogenous regressor, two endogenous regressors (errors
    correlated with y's), four instruments, a weight and a cluster variable that does
    not nest the effects."""
    rng = np.random.default_rng(seed)
    f1 = rng.integers(0, groups[0], n)
    f2 = rng.integers(0, groups[1], n)
    a1, a2 = rng.normal(size=groups[0]), rng.normal(size=groups[1])
    z1, z2, z3, z4 = rng.normal(size=(4, n))
    x = rng.normal(size=n) + 0.3 * a1[f1]
    u = rng.normal(size=n)
    d1 = 0.8 * z1 + 0.4 * z2 + 0.2 * z4 + 0.3 * x + a1[f1] + rng.normal(size=n) + 0.6 * u
    d2 = 0.7 * z2 - 0.5 * z3 + 0.1 * z1 + a2[f2] + rng.normal(size=n) - 0.4 * u
    y = 1.0 + 1.5 * d1 - 0.7 * d2 + 0.5 * x + a1[f1] - a2[f2] + u
    return pd.DataFrame(
        {
            "y": y,
            "x": x,
            "d1": d1,
            "d2": d2,
            "z1": z1,
            "z2": z2,
            "z3": z3,
            "z4": z4,
            "f1": f1,
            "f2": f2,
            "w": rng.uniform(0.5, 2.0, n),
            "g": rng.integers(0, 60, n),
        }
    )


@pytest.fixture(scope="module")
def data():
    return make_iv_data()


def dummies(df, effects):
    """An intercept and the effects' dummy columns (first level of each left out)."""
    parts = [pd.Series(1.0, index=df.index, name="const")]
    for name in effects:
        parts.append(pd.get_dummies(df[name].astype(str), prefix=name, drop_first=True).astype(float))
    return pd.concat(parts, axis=1)


def linearmodels_fit(df, exog, endog, instruments, effects, cov, weights=None, gmm=False):
    exog_frame = pd.concat([dummies(df, effects), df[exog]], axis=1)
    model = (IVGMM if gmm else IV2SLS)(
        df["y"], exog_frame, df[endog], df[instruments], weights=None if weights is None else df[weights]
    )
    if cov == "iid":
        return model.fit(cov_type="unadjusted", debiased=True)
    if cov == "hetero":
        return model.fit(cov_type="robust", debiased=True)
    return model.fit(cov_type="clustered", clusters=df["g"], debiased=True)


MODELS = {
    "one_endo_two_fe": (["x"], ["d1"], ["z1", "z2"], ["f1", "f2"]),
    "two_endo_two_fe": (["x"], ["d1", "d2"], ["z1", "z2", "z3"], ["f1", "f2"]),
    "two_endo_overid": (["x"], ["d1", "d2"], ["z1", "z2", "z3", "z4"], ["f1"]),
    "no_exog_one_fe": ([], ["d1"], ["z1", "z2", "z4"], ["f1"]),
    "no_fixed_effects": (["x"], ["d1", "d2"], ["z1", "z2", "z3"], []),
}
VCOVS = {"iid": "iid", "hetero": "hetero", "cluster": {"CRV1": "g"}}


def formula(exog, endog, instruments, effects):
    text = "y ~ " + (" + ".join(exog) if exog else "1")
    if effects:
        text += " | " + " + ".join(effects)
    return text + " | " + " + ".join(endog) + " ~ " + " + ".join(instruments)


@pytest.mark.parametrize("weights", [None, "w"], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("cov", list(VCOVS))
@pytest.mark.parametrize("model", list(MODELS))
def test_matches_linearmodels_with_dummies(data, model, cov, weights):
    """Coefficients to 1e-8 and standard errors under the same corrections (every
    fixed-effect dummy counted: k_fixef="full"; the cluster variable nests no effect)."""
    exog, endog, instruments, effects = MODELS[model]
    fit = vantrel.feols(
        formula(exog, endog, instruments, effects),
        data,
        vcov=VCOVS[cov],
        weights=weights,
        ssc=vantrel.ssc(k_fixef="full"),
        fixef_tol=1e-12,
    )
    ref = linearmodels_fit(data, exog, endog, instruments, effects, cov, weights)
    names = exog + endog
    if not effects:
        names = ["Intercept"] + names
        ref_names = ["const"] + exog + endog
    else:
        ref_names = names
    assert fit.coefnames == names
    np.testing.assert_allclose(fit.coef().to_numpy(), ref.params[ref_names].to_numpy(), rtol=0, atol=1e-8)
    np.testing.assert_allclose(fit.se().to_numpy(), ref.std_errors[ref_names].to_numpy(), rtol=1e-7)
    # the first-stage statistics of the excluded instruments: linearmodels' F under iid
    # errors, its Wald chi-squared (L times the F) under robust ones
    diag = fit.iv_diagnostics()
    first = ref.first_stage.diagnostics
    for name in endog:
        is_f = str(first.loc[name, "f.dist"]).startswith("F")
        expected = first.loc[name, "f.stat"] / (1 if is_f else len(instruments))
        np.testing.assert_allclose(diag[f"first_stage_F[{name}]"], expected, rtol=1e-7)
        if is_f:
            np.testing.assert_allclose(diag[f"first_stage_p[{name}]"], first.loc[name, "f.pval"], rtol=1e-6)


@pytest.mark.parametrize("weights", [None, "w"], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("model", list(MODELS))
def test_iid_tests_match_linearmodels(data, model, weights):
    """Wu-Hausman (F) and, when overidentified, Sargan's statistic."""
    exog, endog, instruments, effects = MODELS[model]
    fit = vantrel.feols(
        formula(exog, endog, instruments, effects),
        data,
        weights=weights,
        ssc=vantrel.ssc(k_fixef="full"),
        fixef_tol=1e-12,
    )
    ref = linearmodels_fit(data, exog, endog, instruments, effects, "iid", weights)
    diag = fit.iv_diagnostics()
    wu = ref.wu_hausman()
    np.testing.assert_allclose(diag["wu_hausman"], wu.stat, rtol=1e-7)
    np.testing.assert_allclose(diag["wu_hausman_p"], wu.pval, rtol=1e-6, atol=1e-300)
    if len(instruments) > len(endog):
        np.testing.assert_allclose(diag["sargan"], ref.sargan.stat, rtol=1e-7)
        np.testing.assert_allclose(diag["sargan_p"], ref.sargan.pval, rtol=1e-6)
        assert diag["sargan_df"] == len(instruments) - len(endog)
    else:
        assert "sargan" not in diag.index


@pytest.mark.parametrize("cov", ["hetero", "cluster"])
@pytest.mark.parametrize("model", [m for m, parts in MODELS.items() if len(parts[2]) > len(parts[1])])
def test_hansen_j_matches_linearmodels_gmm(data, model, cov):
    """Hansen's J: the two-step GMM criterion with the weight from the 2SLS residuals."""
    exog, endog, instruments, effects = MODELS[model]
    fit = vantrel.feols(formula(exog, endog, instruments, effects), data, vcov=VCOVS[cov], fixef_tol=1e-12)
    exog_frame = pd.concat([dummies(data, effects), data[exog]], axis=1)
    gmm = IVGMM(data["y"], exog_frame, data[endog], data[instruments], **_gmm_weight(data, cov))
    ref = gmm.fit(**({"cov_type": "robust"} if cov == "hetero" else {"cov_type": "clustered", "clusters": data["g"]}))
    diag = fit.iv_diagnostics()
    np.testing.assert_allclose(diag["hansen_j"], ref.j_stat.stat, rtol=1e-6)
    assert "sargan" not in diag.index


def _gmm_weight(df, cov):
    if cov == "hetero":
        return {"weight_type": "robust"}
    return {"weight_type": "clustered", "clusters": df["g"]}


PYFIXEST_MODELS = {
    "two_fe_exog": "y ~ x | f1 + f2 | d1 ~ z1 + z2",
    "one_fe_three_inst": "y ~ x | f1 | d1 ~ z1 + z2 + z4",
    "no_fe": "y ~ x | d1 ~ z1 + z2",
    "intercept_only": "y ~ 1 | d1 ~ z1",
}


@pytest.mark.parametrize("vcov", ["iid", "hetero", {"CRV1": "g"}], ids=["iid", "hetero", "cluster"])
@pytest.mark.parametrize("fml", list(PYFIXEST_MODELS.values()), ids=list(PYFIXEST_MODELS))
def test_matches_pyfixest_iv(data, fml, vcov):
    """pyfixest's IV (one endogenous regressor) under its and vantrel's default corrections:
    coefficients, standard errors and the first-stage F."""
    fit = vantrel.feols(fml, data, vcov=vcov, fixef_tol=1e-12)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ref = pf.feols(fml, data, vcov=vcov, fixef_tol=1e-12)
        ref.IV_Diag()
    np.testing.assert_allclose(fit.coef().to_numpy(), ref.coef().to_numpy(), rtol=1e-6, atol=1e-10)
    np.testing.assert_allclose(fit.se().to_numpy(), ref.se().to_numpy(), rtol=1e-6)
    name = fit.endogenous[0]
    np.testing.assert_allclose(fit.iv_diagnostics()[f"first_stage_F[{name}]"], ref._f_stat_1st_stage, rtol=1e-6)


@pytest.mark.parametrize(
    "fml",
    ["y ~ 1 | f1 | d1 ~ z1 + z2", "y ~ 1 | f1 + f2 | d1 ~ z1 + z2 + z4"],
    ids=["one_fe", "two_fe"],
)
def test_effective_f_matches_pyfixest_without_exogenous_regressors(data, fml):
    """Montiel Olea and Pflueger's effective F under heteroskedasticity. pyfixest's cross
    products of the instruments have only the fixed effects partialled out, not the
    exogenous regressors, so the two agree where there are none."""
    fit = vantrel.feols(fml, data, vcov="hetero", fixef_tol=1e-12)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ref = pf.feols(fml, data, vcov="hetero", fixef_tol=1e-12)
        ref.IV_Diag()
    np.testing.assert_allclose(fit.iv_diagnostics()["effective_F"], ref._eff_F, rtol=1e-6)


@pytest.mark.parametrize("vcov", ["iid", "hetero", {"CRV1": "g"}], ids=["iid", "hetero", "cluster"])
@pytest.mark.parametrize("weights", [None, "w"], ids=["unweighted", "weighted"])
def test_instruments_equal_to_endogenous_give_ols(data, vcov, weights):
    """2SLS with each endogenous regressor instrumented by itself is OLS."""
    df = data.assign(c1=data["d1"], c2=data["d2"])
    iv = vantrel.feols("y ~ x | f1 + f2 | d1 + d2 ~ c1 + c2", df, vcov=vcov, weights=weights, fixef_tol=1e-12)
    ols = vantrel.feols("y ~ x + d1 + d2 | f1 + f2", df, vcov=vcov, weights=weights, fixef_tol=1e-12)
    np.testing.assert_allclose(iv.coef().to_numpy(), ols.coef().to_numpy(), rtol=1e-10)
    np.testing.assert_allclose(iv.se().to_numpy(), ols.se().to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(iv.resid().to_numpy(), ols.resid().to_numpy(), rtol=1e-8, atol=1e-10)
    assert iv.r2 == pytest.approx(ols.r2, rel=1e-10)


@pytest.mark.parametrize("vcov", ["iid", "hetero", {"CRV1": "g"}], ids=["iid", "hetero", "cluster"])
@pytest.mark.parametrize("model", ["one_endo_two_fe", "two_endo_overid"])
def test_first_stages_are_ols_fits(data, model, vcov):
    """Each first stage is the least-squares fit of its endogenous regressor on the
    exogenous regressors and the instruments (same sample, effects, vcov)."""
    exog, endog, instruments, effects = MODELS[model]
    fit = vantrel.feols(formula(exog, endog, instruments, effects), data, vcov=vcov, fixef_tol=1e-12)
    assert isinstance(fit.first_stage, vantrel.Models)
    assert len(fit.first_stage) == len(endog)
    for name, first in zip(endog, fit.first_stage, strict=True):
        ols = vantrel.feols(
            f"{name} ~ {' + '.join(exog + instruments)} | {' + '.join(effects)}", data, vcov=vcov, fixef_tol=1e-12
        )
        assert first.coefnames == ols.coefnames
        np.testing.assert_allclose(first.coef().to_numpy(), ols.coef().to_numpy(), rtol=1e-9)
        np.testing.assert_allclose(first.se().to_numpy(), ols.se().to_numpy(), rtol=1e-9)
        np.testing.assert_allclose(first.resid().to_numpy(), ols.resid().to_numpy(), atol=1e-9)
        for attribute in ("r2", "adj_r2", "within_r2", "rmse"):
            assert getattr(first, attribute) == pytest.approx(getattr(ols, attribute), rel=1e-9)
        for label, values in ols.fixef().items():
            np.testing.assert_allclose(first.fixef()[label].to_numpy(), values.to_numpy(), atol=1e-7)
    table = vantrel.etable(fit.first_stage)
    assert all(name in " ".join(map(str, table.columns)) or name in table.to_string() for name in endog)


def cragg_donald_by_dummies(df, exog, endog, instruments, effects):
    """Cragg and Donald's F by brute force: every regressor partialled of the exogenous
    columns and the dummies by NumPy least squares, the eigenvalue problem on the result."""
    W = np.column_stack([dummies(df, effects).to_numpy()] + [df[exog].to_numpy()] if exog else [dummies(df, effects)])
    W = np.asarray(W, dtype=float)

    def partial(M):
        return M - W @ np.linalg.lstsq(W, M, rcond=None)[0]

    Z, D = partial(df[instruments].to_numpy(float)), partial(df[endog].to_numpy(float))
    fitted = Z @ np.linalg.lstsq(Z, D, rcond=None)[0]
    V = D - fitted
    N, L = len(df), len(instruments)
    k = W.shape[1] + L
    S = V.T @ V / (N - k)
    eig = np.linalg.eigvals(np.linalg.solve(S, fitted.T @ fitted))
    return float(np.min(eig.real)) / L


@pytest.mark.parametrize("model", list(MODELS))
def test_cragg_donald_and_kleibergen_paap_under_iid(data, model):
    exog, endog, instruments, effects = MODELS[model]
    fit = vantrel.feols(
        formula(exog, endog, instruments, effects), data, ssc=vantrel.ssc(k_fixef="full"), fixef_tol=1e-12
    )
    diag = fit.iv_diagnostics()
    expected = cragg_donald_by_dummies(data, exog, endog, instruments, effects)
    np.testing.assert_allclose(diag["cragg_donald_F"], expected, rtol=1e-7)
    # Kleibergen-Paap's statistic with the iid covariance is Cragg and Donald's
    np.testing.assert_allclose(diag["kleibergen_paap_F"], diag["cragg_donald_F"], rtol=1e-8)
    if len(endog) == 1:
        # and with one endogenous regressor both are the first-stage F, which is the
        # effective F under iid errors
        np.testing.assert_allclose(diag["cragg_donald_F"], diag[f"first_stage_F[{endog[0]}]"], rtol=1e-9)
        np.testing.assert_allclose(diag["effective_F"], diag[f"first_stage_F[{endog[0]}]"], rtol=1e-9)
    else:
        assert "effective_F" not in diag.index


@pytest.mark.parametrize("vcov", ["hetero", {"CRV1": "g"}, {"CRV1": "g+f2"}], ids=["hetero", "cluster", "twoway"])
def test_kleibergen_paap_with_one_endogenous_is_the_robust_first_stage_f(data, vcov):
    fit = vantrel.feols("y ~ x | f1 + f2 | d1 ~ z1 + z2 + z4", data, vcov=vcov)
    diag = fit.iv_diagnostics()
    np.testing.assert_allclose(diag["kleibergen_paap_F"], diag["first_stage_F[d1]"], rtol=1e-9)
    assert diag["kleibergen_paap_F"] != pytest.approx(diag["cragg_donald_F"], rel=1e-3)


@pytest.mark.parametrize("vcov", ["hetero", {"CRV1": "g"}], ids=["hetero", "cluster"])
def test_kleibergen_paap_invariances(data, vcov):
    """The rank statistic does not change when an instrument or an endogenous regressor
    is rescaled, nor when the endogenous regressors are listed in the other order."""
    base = vantrel.feols("y ~ x | f1 | d1 + d2 ~ z1 + z2 + z3", data, vcov=vcov).iv_diagnostics()
    df = data.assign(z2=data["z2"] * 1000.0, d1=data["d1"] * 0.01)
    scaled = vantrel.feols("y ~ x | f1 | d1 + d2 ~ z1 + z2 + z3", df, vcov=vcov).iv_diagnostics()
    swapped = vantrel.feols("y ~ x | f1 | d2 + d1 ~ z1 + z2 + z3", data, vcov=vcov).iv_diagnostics()
    for other in (scaled, swapped):
        for key in ("kleibergen_paap_F", "cragg_donald_F", "wu_hausman", "hansen_j"):
            np.testing.assert_allclose(other[key], base[key], rtol=1e-7)


@pytest.mark.parametrize("vcov", ["iid", "hetero", {"CRV1": "g"}], ids=["iid", "hetero", "cluster"])
def test_row_order_and_instrument_units_leave_the_estimate(data, vcov):
    fml = "y ~ x | f1 + f2 | d1 + d2 ~ z1 + z2 + z3"
    base = vantrel.feols(fml, data, vcov=vcov, fixef_tol=1e-12)
    permuted = data.sample(frac=1.0, random_state=3)
    rescaled = data.assign(z1=data["z1"] * 1e6 + 5.0)
    for df in (permuted, rescaled):
        other = vantrel.feols(fml, df, vcov=vcov, fixef_tol=1e-12)
        np.testing.assert_allclose(other.coef().to_numpy(), base.coef().to_numpy(), rtol=1e-8)
        np.testing.assert_allclose(other.se().to_numpy(), base.se().to_numpy(), rtol=1e-7)
        np.testing.assert_allclose(other.iv_diagnostics().to_numpy(), base.iv_diagnostics().to_numpy(), rtol=1e-6)


def test_collinear_instrument_dropped_with_warning(data):
    df = data.assign(z5=data["z1"] + 2 * data["z2"])
    with pytest.warns(UserWarning, match="instruments z5 are dropped"):
        fit = vantrel.feols("y ~ x | f1 | d1 ~ z1 + z2 + z5", df)
    assert fit.instruments == ["z1", "z2"]
    assert fit.dropped_instruments == ["z5"]
    assert any("z5" in text for text in fit.messages)
    ref = vantrel.feols("y ~ x | f1 | d1 ~ z1 + z2", data)
    np.testing.assert_allclose(fit.coef().to_numpy(), ref.coef().to_numpy(), rtol=1e-10)


def test_absorbed_instrument_dropped_and_underidentified_refused(data):
    df = data.assign(zf=data["f1"] * 0.5 + 1.0)  # constant within f1's groups
    with pytest.warns(UserWarning, match="zf"):
        fit = vantrel.feols("y ~ x | f1 | d1 ~ z1 + zf", df)
    assert fit.dropped_instruments == ["zf"]
    with pytest.raises(ValueError, match=r"underidentified.*d1, d2.*z1.*zf"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        vantrel.feols("y ~ x | f1 | d1 + d2 ~ z1 + zf", df)


@pytest.mark.parametrize(
    ("fml", "message"),
    [
        ("y ~ x | f1 | d1 ~ ", "both sides non-empty"),
        ("y ~ x | f1 |  ~ z1", "both sides non-empty"),
        ("y ~ x | d1 ~ z1 | f1", "must be the last"),
        ("y ~ x + d1 | f1 | d1 ~ z1", "'d1' is in the instrumental-variable part and also"),
        ("y ~ x | f1 | d1 ~ x", "'x' is in the instrumental-variable part and also"),
        ("y ~ x | f1 | d1 ~ d1", "both an endogenous regressor and an instrument"),
        ("y ~ x | f1 | d1:d2 ~ z1", "not a column or a transform"),
        ("y ~ x | f1 | d1 ~ z1:z2", "not a column or a transform"),
        ("y ~ x | f1 | d1 ~ 1", "not a column or a transform"),
        ("y ~ x | f1 | f2 | d1 ~ z1", "2 '|' before the instruments"),
        ("y ~ x | f1 | d1 ~ z1 ~ z2", "endogenous regressors ~ instruments"),
        ("y ~ x | f1 | d1 ~ sw(z1, z2)", "stepwise operators are not accepted"),
        ("y ~ x | f1 | d1 ~ C(f2)", "does not make one numeric column"),
    ],
    ids=[
        "no_instruments",
        "no_endogenous",
        "iv_not_last",
        "endogenous_also_exogenous",
        "instrument_also_exogenous",
        "endogenous_is_instrument",
        "interaction_endogenous",
        "interaction_instrument",
        "constant_instrument",
        "too_many_parts",
        "two_tildes",
        "stepwise_in_iv",
        "categorical_instrument",
    ],
)
def test_malformed_iv_parts_are_refused(data, fml, message):
    with pytest.raises(FormulaError, match=message):
        vantrel.feols(fml, data)


def test_multiple_estimation_carries_the_iv_part(data):
    """Several outcomes and stepwise terms: each model is the one estimated alone."""
    df = data.assign(y2=data["y"] * 0.5 + data["x"])
    models = vantrel.feols("y + y2 ~ csw(x, z4) | sw(f1, f2) | d1 ~ z1 + z2", df, vcov="hetero")
    assert len(models) == 8
    for key, fit in zip(models.keys, models, strict=True):
        alone = vantrel.feols(key.fml, df, vcov="hetero")
        assert key.fml.endswith("| d1 ~ z1 + z2")
        np.testing.assert_allclose(fit.coef().to_numpy(), alone.coef().to_numpy(), rtol=1e-7)
        np.testing.assert_allclose(fit.se().to_numpy(), alone.se().to_numpy(), rtol=1e-6)
        np.testing.assert_allclose(fit.iv_diagnostics().to_numpy(), alone.iv_diagnostics().to_numpy(), rtol=1e-5)


def test_summary_and_display_show_the_first_stage_f(data, capsys):
    fit = vantrel.feols("y ~ x | f1 | d1 + d2 ~ z1 + z2 + z3", data)
    fit.summary()
    out = capsys.readouterr().out
    F1, F2 = fit.iv_diagnostics()[["first_stage_F[d1]", "first_stage_F[d2]"]]
    assert f"First-stage F (d1: {F1:.4g}, d2: {F2:.4g})" in out
    assert "First-stage F" in repr(fit)


def test_missing_values_in_instruments_drop_the_rows(data):
    df = data.copy()
    df.loc[df.index[:25], "z2"] = np.nan
    df.loc[df.index[30:40], "d1"] = np.nan
    fit = vantrel.feols("y ~ x | f1 | d1 ~ z1 + z2", df, vcov="hetero")
    ref = vantrel.feols("y ~ x | f1 | d1 ~ z1 + z2", df.dropna(subset=["z2", "d1"]), vcov="hetero")
    assert fit.nobs == ref.nobs == len(df) - 35
    assert fit.nobs_dropped["missing"] == 35
    np.testing.assert_allclose(fit.coef().to_numpy(), ref.coef().to_numpy(), rtol=1e-10)
    np.testing.assert_allclose(fit.se().to_numpy(), ref.se().to_numpy(), rtol=1e-10)


@pytest.mark.parametrize("vcov", ["HC3", {"CRV3": "g"}, {"NW": {"time": "t", "panel": "f1", "lag": 1}}])
def test_covariances_of_ols_rows_are_refused_not_misapplied(data, vcov):
    # the leverages and the jackknife of least squares would not be two-stage least
    # squares' covariance: refused at the fit and after it, never returned with other
    # numbers; Newey-West is the second stage's sandwich at the fit as after it (tested
    # in test_iv_after_fit.py, as are the first stages, which are least-squares fits)
    fml = "y ~ x | f1 | d1 ~ z1 + z2"
    data = data.assign(t=data.groupby("f1").cumcount())  # one row per unit and period
    fit = vantrel.feols(fml, data)
    if "NW" in vcov:
        at_fit = vantrel.feols(fml, data, vcov=vcov)
        np.testing.assert_allclose(at_fit.vcov.to_numpy(), fit.with_vcov(vcov).vcov.to_numpy(), rtol=1e-12)
        assert at_fit.vcov_type == "NW"
    else:
        with pytest.raises(ValueError, match="not available for"):
            vantrel.feols(fml, data, vcov=vcov)
    if "NW" not in vcov:
        with pytest.raises(ValueError, match="not available for"):
            fit.with_vcov(vcov)
        with pytest.raises(ValueError, match="not available for"):
            fit.se(vcov=vcov)
