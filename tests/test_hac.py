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
        # without a lag the time series takes Newey and West's bandwidth, still of one row per period
        pytest.param({"NW": {"time": "t"}}, "a period has several rows", id="nw_ts_lag"),
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


# The time-series Newey-West's default lag: fixest takes the floor of sandwich's
# bwNeweyWest of the scores in period order (the intercept's left out), prewhitened by a
# VAR(1). The reference below computes that bandwidth with statsmodels' least squares for
# the VAR and is checked first against the figure sandwich publishes for R's `cars` data:
# bwNeweyWest(lm(dist ~ speed, data = cars)) = 3.032204 (intercept weighted 0).

CARS_SPEED = [4, 4, 7, 7, 8, 9, 10, 10, 10, 11, 11, 12, 12, 12, 12, 13, 13, 13, 13, 14, 14, 14, 14, 15, 15]
CARS_SPEED += [15, 16, 16, 17, 17, 17, 18, 18, 18, 18, 19, 19, 19, 20, 20, 20, 20, 20, 22, 23, 24, 24, 24, 24, 25]
CARS_DIST = [2, 10, 4, 22, 16, 10, 18, 26, 34, 17, 28, 14, 20, 24, 28, 26, 34, 34, 46, 26, 36, 60, 80, 20, 26]
CARS_DIST += [54, 32, 40, 32, 40, 50, 42, 56, 76, 84, 36, 46, 68, 32, 48, 52, 56, 64, 66, 54, 70, 92, 93, 120, 85]


def _reference_bandwidth(S, weights):
    n = len(S)
    # the VAR(1) equation by equation, no constant
    U = np.column_stack([sm.OLS(S[1:, j], S[:-1]).fit().resid for j in range(S.shape[1])])
    h = U @ weights
    m = int(3 * (n / 100) ** (2 / 9))
    gamma = [np.sum(h[j:] * h[: len(h) - j]) for j in range(m + 1)]
    s0 = gamma[0] + 2 * sum(gamma[1:])
    s1 = 2 * sum(j * gamma[j] for j in range(1, m + 1))
    return 1.1447 * (n * (s1 / s0) ** 2) ** (1 / 3)


@pytest.fixture(scope="module")
def cars():
    frame = pd.DataFrame({"speed": CARS_SPEED, "dist": CARS_DIST}, dtype=float)
    frame["t"] = np.arange(len(frame))
    return frame


def test_bandwidth_equals_the_published_figure(cars):
    from vantrel.inference.hac import newey_west_bandwidth

    theirs = sm.OLS(cars.dist, sm.add_constant(cars.speed)).fit()
    assert np.allclose(theirs.params, [-17.579095, 3.932409], atol=1e-6)  # the data as published
    S = theirs.model.exog * theirs.resid.to_numpy()[:, None]
    np.testing.assert_allclose(_reference_bandwidth(S, np.array([0.0, 1.0])), 3.032204, atol=5e-7)
    np.testing.assert_allclose(newey_west_bandwidth(S, np.array([0.0, 1.0])), 3.032204, atol=5e-7)


def _serial_series(seed, n, rho):
    rng = np.random.default_rng(seed)
    e = np.zeros(n)
    x = np.zeros(n)
    for i in range(1, n):
        e[i] = rho * e[i - 1] + rng.normal()
        x[i] = 0.7 * x[i - 1] + rng.normal()
    frame = pd.DataFrame({"t": 2000 + 3 * np.arange(n), "x1": x, "x2": rng.normal(size=n)})
    frame["regime"] = np.repeat(np.arange(4), -(-n // 4))[:n]
    frame["y"] = 1.0 + frame.x1 - 0.5 * frame.x2 + e + frame.regime
    frame["w"] = rng.uniform(0.5, 2.0, n)
    return frame


SERIES = [
    pytest.param(60, 0.5, "y ~ x1 + x2", None, id="intercept"),
    pytest.param(150, 0.8, "y ~ x1 + x2", "w", id="intercept_weights"),
    pytest.param(120, 0.6, "y ~ x1 + x2 | regime", None, id="fixed_effect"),
    pytest.param(300, 0.3, "y ~ x1", None, id="one_slope"),
]


@pytest.mark.parametrize("n, rho, fml, weights", SERIES)
def test_time_series_default_lag_is_the_bandwidth_and_equals_statsmodels(n, rho, fml, weights):
    frame = _serial_series(n, n, rho)
    fit = vantrel.feols(fml, frame.sample(frac=1.0, random_state=3), weights=weights)
    order = np.argsort(frame.t.to_numpy())
    reference = vantrel.feols(fml, frame, weights=weights)
    system = reference._inference_system("test")
    S = (system.X * system.u[:, None])[order]
    names = reference.coefnames
    keep = [j for j, name in enumerate(names) if name != "Intercept" or len(names) == 1]
    lag = int(np.floor(_reference_bandwidth(S[:, keep], np.ones(len(keep)))))
    ours = fit.with_vcov({"NW": {"time": "t"}}, ssc="none")
    if "|" not in fml:  # statsmodels' HAC at that lag, on the same rows in time order
        X = sm.add_constant(frame[[c for c in ("x1", "x2") if c in fml]])
        model = sm.WLS(frame.y, X, weights=frame[weights]) if weights else sm.OLS(frame.y, X)
        theirs = model.fit(cov_type="HAC", cov_kwds={"maxlags": lag, "use_correction": False})
        np.testing.assert_allclose(ours.se().to_numpy(), theirs.bse.to_numpy(), rtol=1e-8)
    explicit = fit.with_vcov({"NW": {"time": "t", "lag": lag}}, ssc="none")
    np.testing.assert_allclose(ours.vcov_matrix, explicit.vcov_matrix, rtol=1e-12)
    assert lag >= 1  # the serial correlation shows


@pytest.mark.parametrize("scale", [1e-4, 1e5])
def test_time_series_default_lag_ignores_the_outcomes_unit(scale):
    # every score scales with y, so the bandwidth does not move (a regressor's unit does
    # move it: the scores are summed with weight 1, as fixest asks of sandwich)
    frame = _serial_series(7, 120, 0.7)
    base = vantrel.feols("y ~ x1 + x2", frame, vcov={"NW": {"time": "t"}})
    moved = vantrel.feols("y ~ x1 + x2", frame.assign(y=frame.y * scale), vcov={"NW": {"time": "t"}})
    np.testing.assert_allclose(moved.vcov_matrix, base.vcov_matrix * scale**2, rtol=1e-7)


@pytest.mark.parametrize(
    "vcov, kwargs",
    [
        pytest.param(
            {"NW": {"time": "t", "panel": "u"}},
            {"vcov": "NW", "vcov_kwargs": {"time_id": "t", "panel_id": "u"}},
            id="nw_panel_default_lag",
        ),
        pytest.param(
            {"DK": {"time": "t"}},
            {"vcov": "DK", "vcov_kwargs": {"time_id": "t", "panel_id": "u"}},
            id="dk_default_lag",
        ),
    ],
)
@pytest.mark.parametrize("weights", [None, "w"], ids=["unweighted", "weights"])
def test_panel_default_lags_equal_pyfixest(panel, vcov, kwargs, weights):
    theirs = pf.feols("y ~ x1 + x2", panel, weights=weights, **kwargs)
    ours = vantrel.feols("y ~ x1 + x2", panel, weights=weights, vcov=vcov, ssc=vantrel.ssc(k_fixef="full"))
    np.testing.assert_allclose(ours.se().to_numpy(), theirs.se()[ours.coefnames].to_numpy(), rtol=1e-8)
