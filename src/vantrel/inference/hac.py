"""Covariances robust to correlation in time and space: Newey-West (a time series or a
panel), Driscoll-Kraay and Conley.

Periods are the sorted distinct values of the time column, and a lag is a step between
consecutive ones. Lagged products are weighted by Bartlett's kernel, 1 - l / (L + 1). The
default lag is fixest's: floor(T^(1/4)) with T periods for the panel Newey-West and for
Driscoll-Kraay; for the time-series Newey-West the floor of Newey and West's (1994)
bandwidth for Bartlett's kernel, computed from the scores in period order (those of the
intercept left out) after a VAR(1) prewhitening (`newey_west_bandwidth`).

- NW, panel: the scores' products within each panel unit between periods up to L apart;
  time series (no panel): the same over all rows, one row per period.
- DK: the scores summed per period, then the time-series Newey-West of those sums.
- Conley: the products of every pair of rows within `cutoff` km, weighted by the uniform
  kernel (fixest's) or Bartlett's 1 - d / cutoff. Distances: "triangular" (the default,
  the flat approximation: the north-south leg and the east-west leg at the pair's mean
  latitude, by Pythagoras) or "spherical" (great circle, haversine), on a sphere of
  radius 6371 km. Pairs are found in bands of latitude, which bound either distance from
  below, so the work grows with the pairs within the cutoff rather than with N^2.

Corrections (``ssc=None``): (N-1)/(N-k), fixed effects nested in the panel or the time
variable left out of k (the nesting rule of clusters); for NW and DK also T/(T-1) and t
with T - 1 degrees of freedom, for Conley N - k.
"""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd

from vantrel.core.progress import Progress
from vantrel.inference import ssc as small_sample
from vantrel.inference.vcov import Covariance, nested_in_clusters, psd_repair

EARTH_RADIUS_KM = 6371.0
# entries of one block of pairwise distances
_PAIR_BLOCK = 1 << 22


def default_lag(T: int) -> int:
    return int(np.floor(T**0.25))


def newey_west_bandwidth(S: np.ndarray, weights: np.ndarray | None = None, prewhite: bool = True) -> float:
    """Newey and West's (1994) bandwidth for Bartlett's kernel from the n x k scores `S` in
    period order, as R's sandwich::bwNeweyWest computes it.

    The scores' combination h = U w (`weights` w, None: ones) is summarised by its
    autocovariances s_j up to m = floor(c (n/100)^(2/9)), c = 3 after prewhitening and 4
    without; with S0 = s_0 + 2 sum_j s_j and S1 = 2 sum_j j s_j the bandwidth is
    1.1447 ((S1/S0)^2 n)^(1/3). Prewhitening (the default) takes U as the residuals of the
    scores' VAR(1) by least squares without a constant (n - 1 rows; n stays the number of
    periods in m and in the rate).

    Parameters
    ----------
    S : numpy.ndarray
        The scores, one row per period in time order.
    weights : numpy.ndarray, optional
        A weight per column (sandwich gives the intercept's column 0).
    prewhite : bool
        Whether to prewhiten by a VAR(1).

    Returns
    -------
    float
        The bandwidth; its floor is the lag.

    Raises
    ------
    ValueError
        When the combined scores have no variance (nothing to choose a lag from).

    Examples
    --------
    >>> import numpy as np
    >>> S = np.random.default_rng(0).normal(size=(200, 2))
    >>> bool(newey_west_bandwidth(S) >= 0)
    True
    """
    n, k = S.shape
    m = int(np.floor((3.0 if prewhite else 4.0) * (n / 100.0) ** (2.0 / 9.0)))
    U = S
    if prewhite and n > 2:
        A = np.linalg.lstsq(S[:-1], S[1:], rcond=None)[0]
        U = S[1:] - S[:-1] @ A
    h = U @ (np.ones(k) if weights is None else np.asarray(weights, dtype=np.float64))
    m = min(m, len(h) - 1)
    sigma = np.array([h[: len(h) - j] @ h[j:] for j in range(m + 1)])
    s0 = sigma[0] + 2.0 * sigma[1:].sum()
    if not s0 > 0:
        raise ValueError(
            f"Newey and West's bandwidth needs scores of a positive long-run variance, got {s0!r}; give the lag"
        )
    s1 = 2.0 * (np.arange(1, m + 1) * sigma[1:]).sum()
    return float(1.1447 * ((s1 / s0) ** 2 * n) ** (1.0 / 3.0))


def _time_series_lag(system, ordered: np.ndarray, label: str) -> int:
    """fixest's default lag of the time-series Newey-West: the floor of the bandwidth from
    the scores in period order, the intercept's column left out when there are others.
    Without fixed effects the intercept's column of the working system is the weights'
    square roots (ones without weights), exactly."""
    keep = np.ones(ordered.shape[1], dtype=bool)
    if not system.fe_codes and ordered.shape[1] > 1:
        root = np.ones(system.N) if system.weights is None else np.sqrt(system.weights)
        for j in range(system.X.shape[1]):
            if np.array_equal(system.X[:, j], root):
                keep[j] = False
                break
    try:
        return int(np.floor(newey_west_bandwidth(ordered[:, keep])))
    except ValueError as error:
        raise ValueError(f"vcov = {label}: the default lag: {error} as 'lag'") from None


def _periods(system, name: str, kind: str) -> tuple[np.ndarray, int]:
    values = system.column(name)
    if not (pd.api.types.is_numeric_dtype(values) or pd.api.types.is_datetime64_any_dtype(values)):
        raise TypeError(
            f"vcov: {kind}'s time column {name!r} must hold numbers or dates to order by, got {values.dtype}"
        )
    codes, uniques = pd.factorize(values, sort=True)
    return codes.astype(np.int64), len(uniques)


def _time_series_meat(S: np.ndarray, L: int) -> np.ndarray:
    """sum_t s_t s_t' + sum_l w_l sum_t (s_t s_{t-l}' + s_{t-l} s_t') of rows in period order."""
    meat = S.T @ S
    for lag in range(1, min(L, len(S) - 1) + 1):
        product = S[lag:].T @ S[:-lag]
        meat += (1.0 - lag / (L + 1.0)) * (product + product.T)
    return meat


def _panel_meat(S: np.ndarray, panel: np.ndarray, period: np.ndarray, T: int, L: int, label: str) -> np.ndarray:
    key = panel * T + period
    order = np.argsort(key, kind="stable")
    key, period, S = key[order], period[order], S[order]
    if len(key) > 1 and np.any(key[1:] == key[:-1]):
        raise ValueError(
            f"vcov = {label}: a panel unit has two rows in one period; NW needs one row per unit and period"
        )
    meat = S.T @ S
    for lag in range(1, L + 1):
        target = key - lag
        at = np.minimum(np.searchsorted(key, target), len(key) - 1)
        pairs = (key[at] == target) & (period >= lag)  # the same unit: its period is at least the lag
        product = S[pairs].T @ S[at[pairs]]
        meat += (1.0 - lag / (L + 1.0)) * (product + product.T)
    return meat


def _corrections(system, corrections, names_count, nested_in: list[np.ndarray]):
    nested: list[bool] = []
    if corrections.k_fixef == "nonnested" and system.fe_codes and nested_in:
        nested = nested_in_clusters(system.fe_codes, nested_in)
    K = system.X.shape[1]
    as_type = "CRV1" if any(nested) else "iid"
    k_fe = system.k_fe
    if system.with_intercept is not None:  # varying slopes: only effects with their intercept count levels
        k_fe = [g for g, flag in zip(k_fe, system.with_intercept, strict=True) if flag]
        nested = [n for n, flag in zip(nested, system.with_intercept, strict=True) if flag] if nested else nested
    dfk = small_sample.df_k(
        corrections, as_type, K, k_fe, nested or [False] * len(k_fe), names_count, k_slopes=system.k_slopes
    )
    return dfk, small_sample.adjustment(corrections, "iid", system.N, dfk)


def hac_covariance(system, kind: str, options: dict, corrections, bread, names_count) -> Covariance:
    """NW, DK or conley (`kind`) with `options` as `vantrel.inference.kinds` checked them."""
    S = system.X * system.u[:, np.newaxis]
    label = repr({kind: options})
    if kind == "conley":
        meat = conley_meat(S, system.column(options["lat"]), system.column(options["lon"]), options, label)
        dfk, factor = _corrections(system, corrections, names_count, [])
        df_t, counts = system.N - dfk, {}
    else:
        period, T = _periods(system, options["time"], kind)
        lag = options.get("lag")
        panel_name = options.get("panel") if kind == "NW" else None
        time_series = kind == "NW" and panel_name is None
        if lag is None and not time_series:
            lag = default_lag(T)
        nested_in = [period]
        if kind == "DK":
            sums = np.zeros((T, S.shape[1]))
            np.add.at(sums, period, S)
            meat = _time_series_meat(sums, lag)
        elif panel_name is None:
            if T != system.N:
                raise ValueError(f"vcov = {label}: a period has several rows; give the panel unit as 'panel'")
            ordered = S[np.argsort(period)]
            if lag is None:
                lag = _time_series_lag(system, ordered, label)
            meat = _time_series_meat(ordered, lag)
        else:
            panel = system.ids(panel_name)
            nested_in = [panel, period]
            meat = _panel_meat(S, panel, period, T, lag, label)
        dfk, factor = _corrections(system, corrections, names_count, nested_in)
        if corrections.G_adj:
            factor *= T / (T - 1)
        # no clusters to show (the display would call the periods clusters): T sets df_t
        df_t, counts = T - 1, {}
    matrix = np.linalg.multi_dot([bread, meat, bread]) * factor
    matrix, text = psd_repair((matrix + matrix.T) / 2, bread)
    if text:
        warnings.warn(text, UserWarning, stacklevel=6)
    return Covariance(matrix, int(df_t), int(dfk), counts, [text] if text else None)


def _coordinates(values: pd.Series, name: str, low: float, high: float, label: str) -> np.ndarray:
    if not pd.api.types.is_numeric_dtype(values):
        raise TypeError(f"vcov = {label}: coordinate column {name!r} must be numeric degrees, got {values.dtype}")
    x = values.to_numpy(dtype=np.float64)
    if np.any(~np.isfinite(x)) or x.min() < low or x.max() > high:
        raise ValueError(f"vcov = {label}: column {name!r} must hold degrees in [{low:g}, {high:g}]")
    return np.radians(x)


def distances(lat1, lon1, lat2, lon2, method: str) -> np.ndarray:
    """Distances in km between points (radians), by broadcasting: "triangular" or "spherical"."""
    dlon = np.abs(lon1 - lon2)
    dlon = np.minimum(dlon, 2 * np.pi - dlon)
    if method == "spherical":
        a = np.sin((lat1 - lat2) / 2) ** 2 + np.cos(lat1) * np.cos(lat2) * np.sin(dlon / 2) ** 2
        return 2 * EARTH_RADIUS_KM * np.arcsin(np.sqrt(np.minimum(a, 1.0)))
    east = dlon * np.cos((lat1 + lat2) / 2)
    return EARTH_RADIUS_KM * np.sqrt((lat1 - lat2) ** 2 + east**2)


def conley_meat(S, lat_values, lon_values, options: dict, label: str) -> np.ndarray:
    lat = _coordinates(lat_values, options["lat"], -90.0, 90.0, label)
    lon = _coordinates(lon_values, options["lon"], -360.0, 360.0, label)
    cutoff, kernel, method = float(options["cutoff"]), options["kernel"], options["distance"]
    order = np.argsort(lat, kind="stable")
    lat, lon, S = lat[order], lon[order], S[order]
    band = cutoff / EARTH_RADIUS_KM  # either distance is at least R |dlat|
    N = len(lat)
    meat = np.zeros((S.shape[1], S.shape[1]))
    report = Progress(None)
    start = 0
    while start < N:
        # as many rows as keep their block of pairs within _PAIR_BLOCK entries
        m = min(N - start, 4096)
        while True:
            stop = start + m
            first = int(np.searchsorted(lat, lat[start] - band, side="left"))
            last = int(np.searchsorted(lat, lat[stop - 1] + band, side="right"))
            if m == 1 or m * (last - first) <= _PAIR_BLOCK:
                break
            m //= 2
        d = distances(
            lat[start:stop, None], lon[start:stop, None], lat[None, first:last], lon[None, first:last], method
        )
        weight = (d <= cutoff).astype(np.float64) if kernel == "uniform" else np.maximum(0.0, 1.0 - d / cutoff)
        meat += S[start:stop].T @ (weight @ S[first:last])
        start = stop
        report.stage(f"Conley: {start:,} of {N:,} rows")
    return meat
