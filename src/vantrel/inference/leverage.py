"""Leverages of the full model, fixed effects included, and the HC2 and HC3 covariances.

The hat matrix of [D X] (D the fixed effects' dummies) is the sum of two projections,
onto D and onto the absorbed regressors M_D X, which are orthogonal: the leverage of a
row is h_D + h_X. The regressors' part is exact, x_i'(X'X)^-1 x_i on the absorbed system.
The fixed effects' part is

- for one effect, closed: w_i / (sum of the weights of i's level);
- for several effects with few levels in all (`EXACT_LEVELS`), exact: w_i times the
  entries of (D'WD)^+ at i's levels;
- otherwise estimated (Johnson-Lindenstrauss): with r a vector of random signs,
  E[((P_D r)_i)^2] = (P_D^2)_ii = h_D,i, and P_D r = r - M_D r is what the sample's
  absorption leaves of r. `DEFAULT_DRAWS` such vectors are absorbed as blocks of columns;
  each estimate has a standard deviation of at most sqrt(2 / draws) times h_D,i (the
  variance of a mean of squares of Rademacher sums: 2 (h^2 - sum_j P_ij^4) / draws).

The weighted system is the unweighted one after multiplying the rows by the square roots
of the weights: P = W^1/2 D (D'WD)^-1 D'W^1/2, whose diagonal is w_i [D (D'WD)^-1 D']_ii.
"""

from __future__ import annotations

import numpy as np

from vantrel.core.absorption import demeaning_scale
from vantrel.core.progress import Progress
from vantrel.inference import ssc as small_sample
from vantrel.inference.vcov import Covariance

# Draws of the random estimate: each fixed-effect leverage within sqrt(2/400) = 7.1% of
# itself (one standard deviation, at most); HC3 then moves by about twice that relative
# error times h / (1 - h) per row, far less than the leverages themselves.
DEFAULT_DRAWS = 400
# Levels of all effects together up to which (D'WD)^+ is formed exactly (dense, L x L)
EXACT_LEVELS = 1500
# Bytes of one block of random columns absorbed at once
_BLOCK_BYTES = 1 << 27
# A leverage this close to 1 leaves no residual to rescale: HC2 and HC3 are undefined
_ONE = 1e-10


def within_leverage(X: np.ndarray, bread: np.ndarray) -> np.ndarray:
    """x_i'(X'X)^-1 x_i of each row of the absorbed (weighted) regressors."""
    return np.einsum("ij,ij->i", X @ bread, X)


def fixed_effect_leverage(system, method: str = "auto", draws: int | None = None, seed: int = 0):
    """The fixed effects' part of each row's leverage and how it was found ("none", "one
    effect", "exact", "random (draws)")."""
    codes, w, N = system.fe_codes, system.weights, system.N
    if not codes:
        return np.zeros(N), "none"
    weights = np.ones(N) if w is None else w
    if len(codes) == 1 and method != "random":
        totals = np.bincount(codes[0], weights=weights)
        return weights / totals[codes[0]], "one effect"
    if method == "exact" or (method == "auto" and sum(system.k_fe) <= EXACT_LEVELS):
        return _exact(codes, system.k_fe, weights), "exact"
    draws = DEFAULT_DRAWS if draws is None else int(draws)
    return _random(system, draws, seed), f"random ({draws} draws)"


def _exact(codes, k_fe, weights):
    offsets = np.concatenate(([0], np.cumsum(k_fe)))
    L = int(offsets[-1])
    DWD = np.zeros((L, L))
    columns = [c.astype(np.int64) + offsets[j] for j, c in enumerate(codes)]
    for a in columns:
        for b in columns:
            np.add.at(DWD, (a, b), weights)
    # D'WD is singular by one dimension per effect after the first (the constant each
    # shares): its pseudo-inverse gives the same projection
    values, vectors = np.linalg.eigh(DWD)
    keep = values > values.max() * 1e-12
    inverse = (vectors[:, keep] / values[keep]) @ vectors[:, keep].T
    h = np.zeros(len(weights))
    for a in columns:
        for b in columns:
            h += inverse[a, b]
    return weights * h


def _random(system, draws: int, seed: int) -> np.ndarray:
    absorber, N, w = system.absorber, system.N, system.weights
    rng = np.random.default_rng(seed)
    root = None if w is None else np.sqrt(w)
    # r / sqrt(w) is what the weighted absorption projects; its columns share one size
    size = 1.0 if w is None else float(np.sqrt(np.mean(1.0 / w)))
    scale = demeaning_scale(size, lambda: 1.0 if w is None else float(np.max(1.0 / root)))
    width = max(1, min(draws, _BLOCK_BYTES // (8 * max(N, 1))))
    total = np.zeros(N)
    report = Progress(None)
    done = 0
    while done < draws:
        m = min(width, draws - done)
        signs = rng.integers(0, 2, size=(N, m)).astype(np.float64) * 2.0 - 1.0
        v = signs if root is None else signs / root[:, np.newaxis]
        block = np.ascontiguousarray(v / scale)
        absorber.absorb(block)
        projected = v - block * scale  # P_D applied to v, in the weighted metric
        if root is not None:
            projected *= root[:, np.newaxis]
        total += np.einsum("ij,ij->i", projected, projected)
        done += m
        report.stage(f"fixed-effect leverages: {done} of {draws} random draws absorbed")
    return total / draws


def leverages(system, bread, options) -> tuple[np.ndarray, str]:
    """The full model's leverage of each row and how the fixed effects' part was found."""
    fe, how = fixed_effect_leverage(
        system, options.get("leverage", "auto"), options.get("draws"), options.get("seed", 0)
    )
    return within_leverage(system.X, bread) + fe, how


def leverage_covariance(system, kind: str, options: dict, corrections, bread, names_count) -> Covariance:
    """HC2 (scores over sqrt(1 - h)) or HC3 (over 1 - h) with the full model's leverages h;
    the k factor N/(N-k) only when the corrections ask for it (see `resolve_ssc`)."""
    h, how = leverages(system, bread, options)
    high = np.flatnonzero(h >= 1.0 - _ONE)
    if len(high):
        first = system.labels[high[0]]
        first = first.item() if hasattr(first, "item") else first
        estimated = how.startswith("random")
        raise ValueError(
            f"vcov = {kind!r}: {len(high):,} observation(s) have leverage 1 (the first: row "
            f"{first!r}{', estimated' if estimated else ''}): the model fits them exactly and "
            f"{kind} divides their residual by 1 - leverage; use 'hetero'"
            + (f", or vcov = {{{kind!r}: {{'leverage': 'exact'}}}}" if estimated else ", or drop them")
        )
    X, u = system.X, system.u
    power = 1.0 if kind == "HC2" else 2.0
    omega = u**2 / (1.0 - h) ** power
    meat = (X * omega[:, np.newaxis]).T @ X
    K, N = X.shape[1], system.N
    dfk = small_sample.df_k(corrections, "hetero", K, system.k_fe, [False] * len(system.k_fe), names_count)
    factor = small_sample.adjustment(corrections, "hetero", N, dfk)
    matrix = np.linalg.multi_dot([bread, meat, bread]) * factor
    return Covariance((matrix + matrix.T) / 2, N - dfk, dfk, {}, [f"{kind}: fixed-effect leverages {how}"])
