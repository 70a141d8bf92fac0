"""Newey-West, Driscoll-Kraay and Conley against statsmodels' HAC estimators, linearmodels'
kernel covariance, pyfixest, and a direct computation over every pair of rows."""

import numpy as np
import pandas as pd
import pyfixest as pf
import pytest
import statsmodels.api as sm
from linearmodels.panel import PanelOLS

import vantrel

pytestmark = pytest.mark.filterwarnings("ignore:The inplace keyword")

UNITS, PERIODS = 30, 20


@pytest.fixture(scope="module")
def panel():
    rng = np.random.default_rng(21)
    n = UNITS * PERIODS
    d = pd.DataFrame({"u": np.repeat(np.arange(UNITS), PERIODS), "t": np.tile(np.arange(PERIODS), UNITS)})
    shock = rng.normal(size=PERIODS)[d.t]
    d["x1"] = rng.normal(size=n) + np.sin(d.t) + 0.5 * shock
    d["x2"] = rng.normal(size=n)
    ar = np.zeros(n)
    for i in range(1, n):  # serial correlation within the units
        ar[i] = 0.6 * ar[i - 1] * (d.u[i] == d.u[i - 1]) + rng.normal()
    d["y"] = d.x1 - 0.5 * d.x2 + ar + shock + rng.normal(size=UNITS)[d.u]
    d["w"] = rng.uniform(0.5, 2.0, n)
    d["lat"] = rng.uniform(40.0, 50.0, n)
    d["lon"] = rng.uniform(-5.0, 10.0, n)
    d["f"] = rng.integers(0, 8, n)
    return d


LAGS = [pytest.param(0, id="lag0"), pytest.param(1, id="lag1"), pytest.param(4, id="lag4")]


@pytest.mark.parametrize("lag", LAGS)
@pytest.mark.parametrize(
    "fml, effects",
    [pytest.param("y ~ x1 + x2 | u", True, id="entity_fe"), pytest.param("y ~ x1 + x2", False, id="pooled")],
)
def test_driscoll_kraay_equals_linearmodels_kernel(panel, fml, effects, lag):
    """linearmodels' kernel covariance (debiased=False) is Driscoll-Kraay with N/(N - e), e the
    entity effects it absorbs (T/(T-1) here, the panel being balanced)."""
    p = panel.set_index(["u", "t"])
    exog = p[["x1", "x2"]] if effects else sm.add_constant(p[["x1", "x2"]])
    theirs = PanelOLS(p.y, exog, entity_effects=effects).fit(
        cov_type="kernel", kernel="bartlett", bandwidth=lag, debiased=False
    )
    ours = vantrel.feols(fml, panel, vcov={"DK": {"time": "t", "lag": lag}}, ssc="none")
    factor = len(panel) / (len(panel) - UNITS) if effects else 1.0
    names = ours.coefnames
    exog_names = ["const" if name == "Intercept" else name for name in names]
    np.testing.assert_allclose(ours.beta, theirs.params[exog_names].to_numpy(), rtol=1e-8)
    np.testing.assert_allclose(
        ours.se().to_numpy() * np.sqrt(factor), theirs.std_errors[exog_names].to_numpy(), rtol=1e-8
    )


@pytest.mark.parametrize("lag", LAGS)
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_time_series_newey_west_equals_statsmodels(panel, lag, weighted):
    ts = panel[panel.u == 3].sample(frac=1.0, random_state=1)  # rows out of time order
    ordered = ts.sort_values("t")  # statsmodels reads the rows in their order
    X = sm.add_constant(ordered[["x1", "x2"]])
    model = sm.WLS(ordered.y, X, weights=ordered.w) if weighted else sm.OLS(ordered.y, X)
    theirs = model.fit(cov_type="HAC", cov_kwds={"maxlags": lag, "use_correction": False})
    ours = vantrel.feols(
        "y ~ x1 + x2", ts, weights="w" if weighted else None, vcov={"NW": {"time": "t", "lag": lag}}, ssc="none"
    )
    np.testing.assert_allclose(ours.se().to_numpy(), theirs.bse.to_numpy(), rtol=1e-8)


@pytest.mark.parametrize("lag", LAGS)
@pytest.mark.parametrize("unbalanced", [False, True], ids=["balanced", "unbalanced"])
def test_panel_newey_west_equals_statsmodels_hac_panel(panel, lag, unbalanced):
    data = panel
    if unbalanced:  # units end at different periods (no gaps inside a unit)
        data = panel[panel.t < PERIODS - (panel.u % 5)]
    theirs = sm.OLS(data.y, sm.add_constant(data[["x1", "x2"]])).fit(
        cov_type="hac-panel", cov_kwds={"maxlags": lag, "groups": data.u, "use_correction": False}
    )
    shuffled = data.sample(frac=1.0, random_state=2)
    ours = vantrel.feols("y ~ x1 + x2", shuffled, vcov={"NW": {"time": "t", "panel": "u", "lag": lag}}, ssc="none")
    np.testing.assert_allclose(ours.se().to_numpy(), theirs.bse.to_numpy(), rtol=1e-8)


@pytest.mark.parametrize(
    "vcov, ssc, kwargs",
    [
        pytest.param(
            {"NW": {"time": "t", "panel": "u", "lag": 3}},
            vantrel.ssc(k_fixef="full"),  # pyfixest does not leave nested effects out for HAC
            {"vcov": "NW", "vcov_kwargs": {"time_id": "t", "panel_id": "u", "lag": 3}},
            id="nw_panel",
        ),
        pytest.param(
            {"DK": {"time": "t", "lag": 2}},
            None,
            {"vcov": "DK", "vcov_kwargs": {"time_id": "t", "panel_id": "u", "lag": 2}},
            id="dk",
        ),
        pytest.param(
            {"DK": {"time": "t"}},
            None,
            {"vcov": "DK", "vcov_kwargs": {"time_id": "t", "panel_id": "u"}},
            id="dk_default_lag",
        ),
    ],
)
@pytest.mark.parametrize("fml", ["y ~ x1 + x2 | u", "y ~ x1 + x2 | f", "y ~ x1 + x2"])
def test_hac_equals_pyfixest(panel, fml, vcov, ssc, kwargs):
    theirs = pf.feols(fml, panel, **kwargs)
    ours = vantrel.feols(fml, panel, vcov=vcov, ssc=ssc)
    names = ours.coefnames
    np.testing.assert_allclose(ours.se().to_numpy(), theirs.se()[names].to_numpy(), rtol=1e-8)
    assert ours.df_t == theirs._df_t == PERIODS - 1


def test_default_lag_and_the_nesting_rule(panel):
    fit = vantrel.feols("y ~ x1 + x2 | u", panel)
    # floor(T^(1/4)) periods
    default = fit.with_vcov({"NW": {"time": "t", "panel": "u"}})
    np.testing.assert_allclose(
        default.vcov_matrix, fit.with_vcov({"NW": {"time": "t", "panel": "u", "lag": 2}}).vcov_matrix
    )
    # the unit effect is nested in the panel variable: one parameter, not UNITS
    assert default.df_k == 2 + 1
    full = fit.with_vcov({"NW": {"time": "t", "panel": "u"}}, vantrel.ssc(k_fixef="full"))
    assert full.df_k == 2 + UNITS
    N = fit.nobs
    np.testing.assert_allclose(full.vcov_matrix / default.vcov_matrix, (N - 3) / (N - 2 - UNITS))


@pytest.mark.parametrize(
    "vcov, message",
    [
        pytest.param({"NW": {"time": "t"}}, "time-series Newey-West needs a lag", id="nw_ts_lag"),
        pytest.param({"NW": {"time": "t", "lag": 1}}, "a period has several rows", id="nw_ts_duplicates"),
        pytest.param({"NW": {"time": "t", "panel": "f", "lag": 1}}, "two rows in one period", id="nw_duplicates"),
        pytest.param({"DK": {"time": "name"}}, "time column 'name' must hold numbers or dates", id="dk_text"),
        pytest.param(
            {"conley": {"lat": "lon", "lon": "lat", "cutoff": 50}}, r"'lon' must hold degrees in \[-90", id="lat"
        ),
        pytest.param({"conley": {"lat": "lat", "lon": "lon", "cutoff": -1}}, "option 'cutoff'", id="cutoff"),
        pytest.param({"conley": {"lat": "lat", "lon": "lon", "cutoff": 9, "kernel": "tri"}}, "'kernel'", id="kernel"),
    ],
)
def test_hac_errors_name_the_argument(panel, vcov, message):
    frame = panel.assign(name="p" + panel.t.astype(str), lon=panel.lon + 100.0)
    fit = vantrel.feols("y ~ x1 + x2", frame)
    with pytest.raises((ValueError, TypeError), match=message):
        fit.with_vcov(vcov)


def _haversine(lat, lon):
    lat, lon = np.radians(lat), np.radians(lon)
    a = (
        np.sin((lat[:, None] - lat[None]) / 2) ** 2
        + np.cos(lat[:, None]) * np.cos(lat[None]) * np.sin((lon[:, None] - lon[None]) / 2) ** 2
    )
    return 2 * 6371.0 * np.arcsin(np.sqrt(np.minimum(a, 1.0)))


def _flat(lat, lon):
    lat, lon = np.radians(lat), np.radians(lon)
    east = (lon[:, None] - lon[None]) * np.cos((lat[:, None] + lat[None]) / 2)
    return 6371.0 * np.sqrt((lat[:, None] - lat[None]) ** 2 + east**2)


@pytest.mark.parametrize("cutoff", [50.0, 200.0, 400.0])
@pytest.mark.parametrize("kernel", ["uniform", "bartlett"])
@pytest.mark.parametrize("distance", ["spherical", "triangular"])
def test_conley_equals_the_direct_sum_over_all_pairs(panel, cutoff, kernel, distance):
    fml = "y ~ x1 + x2 | f"
    fit = vantrel.feols(fml, panel)
    vcov = {"conley": {"lat": "lat", "lon": "lon", "cutoff": cutoff, "kernel": kernel, "distance": distance}}
    ours = fit.with_vcov(vcov, "none")
    system = fit._inference_system("test")
    X, u = system.X, system.u
    S = X * u[:, None]
    d = (_haversine if distance == "spherical" else _flat)(panel.lat.to_numpy(), panel.lon.to_numpy())
    weight = (d <= cutoff).astype(float) if kernel == "uniform" else np.maximum(0.0, 1 - d / cutoff)
    bread = np.linalg.inv(X.T @ X)
    expected = bread @ (S.T @ weight @ S) @ bread
    np.testing.assert_allclose(ours.vcov_matrix, expected, rtol=1e-9)
    # the default is fixest's: uniform, triangular, (N-1)/(N-k), t with N - k
    if kernel == "uniform" and distance == "triangular":
        default = fit.with_vcov({"conley": {"lat": "lat", "lon": "lon", "cutoff": cutoff}})
        N, k = fit.nobs, default.df_k
        np.testing.assert_allclose(default.vcov_matrix, expected * (N - 1) / (N - k), rtol=1e-9)
        assert default.df_t == N - k


def test_conley_below_every_distance_is_hc0(panel):
    fit = vantrel.feols("y ~ x1 + x2 | f", panel)
    near = fit.with_vcov({"conley": {"lat": "lat", "lon": "lon", "cutoff": 1e-6}}, "none")
    np.testing.assert_allclose(near.vcov_matrix, fit.with_vcov("hetero", "none").vcov_matrix, rtol=1e-12)


def test_an_indefinite_conley_sum_is_repaired_with_a_warning(panel):
    """The uniform kernel's sum can be indefinite (here at 600 km); as fixest's vcov_fix, the
    negative eigenvalues go, with a warning saying so."""
    fit = vantrel.feols("y ~ x1 + x2 | f", panel)
    with pytest.warns(UserWarning, match="not positive-semidefinite"):
        wide = fit.with_vcov({"conley": {"lat": "lat", "lon": "lon", "cutoff": 600.0}}, "none")
    assert np.linalg.eigvalsh(wide.vcov_matrix).min() >= -1e-12 * np.abs(wide.vcov_matrix).max()
    assert wide.messages[-1].startswith("Covariance matrix not positive-semidefinite")
