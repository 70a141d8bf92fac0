"""Data generators of the benchmark scenarios (fixed seeds, plain NumPy).

Both follow the two designs of fixest's published OLS benchmarks, so timings
are comparable in kind with the figures other packages publish:

``simple``
    Fixed effects drawn uniformly at random, so every fixed effect is well
    connected to every other one and alternating projections converge in a
    handful of sweeps.  The lever is the number of fixed effects (1, 2, 3) and
    their group sizes: ``fe1`` has n/20 levels (about 20 rows each), ``fe2``
    floor(sqrt(n)) levels and ``fe3`` floor(n**0.33) levels.

``difficult``
    Individuals (n/20 of them, drawn uniformly at random per row) are matched
    to firms in a narrow moving band: individual i only ever meets the ~21
    firms starting at max(1, i // 8 - 10).  The individual-firm graph is
    therefore a long chain with weak connectivity, the textbook slow case for
    alternating projections; the lever is that connectivity (band width 21
    firms for 8 new individuals per firm step).  Years (round(n**0.3)) are
    uniform and add a third, well-connected effect.

Ids are 1-based like in the original R code, because the regressors of the
difficult design are trigonometric functions of the ids themselves.
"""

from __future__ import annotations

import numpy as np

SEED = 20240521  # one fixed seed for every scenario; n is mixed in below


def _rng(n: int, which: str) -> np.random.Generator:
    # The seed sequence mixes the design and the size, so the 1e5 data set is
    # not a prefix of the 1e6 one and each (design, n) pair is reproducible.
    return np.random.default_rng([SEED, int(n), {"simple": 1, "difficult": 2}[which]])


def simple(n: int) -> dict[str, np.ndarray]:
    """y = log(1 + NegBin(mean exp(mu), theta=0.5)), x1 ~ N(0,1), x2 = x1**2,
    mu = x1 + 0.05*x2 + an N(0,1) effect per level of fe1, fe2 and fe3."""
    n = int(n)
    rng = _rng(n, "simple")
    levels = (n // 20, int(np.floor(np.sqrt(n))), int(np.floor(n**0.33)))
    fes = [rng.integers(1, g + 1, size=n, dtype=np.int64) for g in levels]
    x1 = rng.standard_normal(n)
    x2 = x1**2
    mu = x1 + 0.05 * x2
    for fe, g in zip(fes, levels):
        effect = rng.standard_normal(g + 1)  # index 0 unused: ids are 1-based
        mu += effect[fe]
    theta = 0.5
    # NumPy parametrises the negative binomial by (size, p); mean m gives
    # p = size / (size + m).
    p = theta / (theta + np.exp(mu))
    counts = rng.negative_binomial(theta, p)
    y = np.log1p(counts.astype(np.float64))
    return {"y": y, "x1": x1, "x2": x2, "fe1": fes[0], "fe2": fes[1], "fe3": fes[2]}


def difficult(n: int) -> dict[str, np.ndarray]:
    """Banded individual-firm design; y = 3*x1 + 5*x2 + cos(indiv) +
    cos(firm)**2 + sin(year) + N(0,1)."""
    n = int(n)
    rng = _rng(n, "difficult")
    n_indiv = n // 20
    n_firm = int(round(n / 160))
    n_year = int(round(n**0.3))
    indiv = rng.integers(1, n_indiv + 1, size=n, dtype=np.int64)
    band_start = np.maximum(1, indiv // 8 - 10)
    firm = np.minimum(rng.integers(0, 21, size=n, dtype=np.int64) + band_start, n_firm)
    year = rng.integers(1, n_year + 1, size=n, dtype=np.int64)
    x1 = 5 * np.cos(indiv) + 5 * np.sin(firm) + 5 * np.sin(year) + rng.uniform(0, 1, n)
    x2 = np.cos(indiv) + np.sin(firm) + np.sin(year) + rng.standard_normal(n)
    y = (
        3 * x1
        + 5 * x2
        + np.cos(indiv)
        + np.cos(firm) ** 2
        + np.sin(year)
        + rng.standard_normal(n)
    )
    return {"y": y, "x1": x1, "x2": x2, "indiv": indiv, "firm": firm, "year": year}


GENERATORS = {"simple": simple, "difficult": difficult}

# The models timed on each design: (label, regressors, fixed effects).
MODELS = {
    "simple": [
        ("1 FE", ["x1"], ["fe1"]),
        ("2 FE", ["x1"], ["fe1", "fe2"]),
        ("3 FE", ["x1"], ["fe1", "fe2", "fe3"]),
    ],
    "difficult": [
        ("2 FE", ["x1", "x2"], ["indiv", "firm"]),
        ("3 FE", ["x1", "x2"], ["indiv", "firm", "year"]),
    ],
}
