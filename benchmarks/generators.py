"""Data generators of the benchmark scenarios (fixed seeds, plain NumPy).

The first two follow the two designs of fixest's published OLS benchmarks, so
timings are comparable in kind with the figures other packages publish:

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

A third design is our own:

``grid``
    Workers (n/10) move among neighbouring firms of a 250 x 250 lattice: each
    worker has a home firm drawn uniformly from the lattice, and each of its
    rows picks a firm within Chebyshev distance 2 of home (a 5 x 5 window,
    clipped at the lattice's edges).  The worker-firm graph is then as
    connected as a 2-D lattice: its spectral gap shrinks with the square of the
    lattice's side over the window's reach, so sweeps crawl (information moves
    one window per sweep), and whichever of the two effects is eliminated, the
    Schur complement on the other is the Laplacian of a 2-D lattice graph,
    whose exact Cholesky factor fills in (in a profile ordering about g times
    the lattice's width in entries for g levels; nested dissection does better
    but still grows faster than g).  At 1e5 rows the firms outnumber the
    workers and the lattice falls into a few dozen components.
    Years (round(n**0.3)) are uniform, as in ``difficult``.

Ids are 1-based like in the original R code, because the regressors of the
difficult design are trigonometric functions of the ids themselves.
"""

from __future__ import annotations

import numpy as np

SEED = 20240521  # one fixed seed for every scenario; n is mixed in below


def _rng(n: int, which: str) -> np.random.Generator:
    # The seed sequence mixes the design and the size, so the 1e5 data set is
    # not a prefix of the 1e6 one and each (design, n) pair is reproducible.
    return np.random.default_rng([SEED, int(n), {"simple": 1, "difficult": 2, "grid": 3, "banded3": 4}[which]])


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
    for fe, g in zip(fes, levels, strict=True):
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
    return {**_person_firm_outcomes(rng, indiv, firm, year), "indiv": indiv, "firm": firm, "year": year}


def _person_firm_outcomes(rng, person, firm, year) -> dict[str, np.ndarray]:
    """x1, x2 and y of the person-firm-year designs, functions of the 1-based ids plus
    noise: y = 3*x1 + 5*x2 + cos(person) + cos(firm)**2 + sin(year) + N(0,1)."""
    n = len(person)
    x1 = 5 * np.cos(person) + 5 * np.sin(firm) + 5 * np.sin(year) + rng.uniform(0, 1, n)
    x2 = np.cos(person) + np.sin(firm) + np.sin(year) + rng.standard_normal(n)
    y = 3 * x1 + 5 * x2 + np.cos(person) + np.cos(firm) ** 2 + np.sin(year) + rng.standard_normal(n)
    return {"y": y, "x1": x1, "x2": x2}


GRID_SIDE = 250  # firms per side of the lattice
GRID_REACH = 2  # Chebyshev distance of a worker's firms from its home firm


def grid(n: int) -> dict[str, np.ndarray]:
    """Workers moving among neighbouring firms of a 2-D lattice; regressors and y
    as in the difficult design, with worker and firm in place of indiv and firm:
    y = 3*x1 + 5*x2 + cos(worker) + cos(firm)**2 + sin(year) + N(0,1)."""
    n = int(n)
    rng = _rng(n, "grid")
    n_worker = max(n // 10, 1)
    n_year = int(round(n**0.3))
    home = rng.integers(0, GRID_SIDE, size=(n_worker + 1, 2), dtype=np.int64)  # row 0 unused
    worker = rng.integers(1, n_worker + 1, size=n, dtype=np.int64)
    step = rng.integers(-GRID_REACH, GRID_REACH + 1, size=(n, 2), dtype=np.int64)
    cell = np.clip(home[worker] + step, 0, GRID_SIDE - 1)
    firm = cell[:, 0] * GRID_SIDE + cell[:, 1] + 1
    year = rng.integers(1, n_year + 1, size=n, dtype=np.int64)
    return {**_person_firm_outcomes(rng, worker, firm, year), "worker": worker, "firm": firm, "year": year}


def banded3(n: int) -> dict[str, np.ndarray]:
    """Three (and a fourth) large effects, each of whose levels meets only neighbouring
    levels of the others: over a random order i of the rows, a = i // 20,
    b = (i // 20 + U{0,1}) // 2, c = (i // 20 + U{0,1,2}) // 3 and
    d = (i // 20 + U{0..3}) // 4.  Every pair of them is a long thin chain, and so is the
    whole graph: a preconditioner exact on one pair leaves the smooth modes that pass
    through the others; y = 3*x1 + 5*x2 + cos(a) + cos(b)**2 + sin(c) + sin(d) + N(0,1)."""
    n = int(n)
    rng = _rng(n, "banded3")
    base = rng.permutation(n) // 20
    ids = {"a": base + 1}
    for name, width in (("b", 2), ("c", 3), ("d", 4)):
        ids[name] = (base + rng.integers(0, width, size=n)) // width + 1
    a, b, c, d = ids["a"], ids["b"], ids["c"], ids["d"]
    x1 = 5 * np.cos(a) + 5 * np.sin(b) + 5 * np.sin(c) + 5 * np.cos(d) + rng.uniform(0, 1, n)
    x2 = np.cos(a) + np.sin(b) + np.sin(c) + np.cos(d) + rng.standard_normal(n)
    y = 3 * x1 + 5 * x2 + np.cos(a) + np.cos(b) ** 2 + np.sin(c) + np.sin(d) + rng.standard_normal(n)
    return {"y": y, "x1": x1, "x2": x2, **ids}


GENERATORS = {"simple": simple, "difficult": difficult, "grid": grid, "banded3": banded3}

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
    "grid": [
        ("2 FE", ["x1", "x2"], ["worker", "firm"]),
        ("3 FE", ["x1", "x2"], ["worker", "firm", "year"]),
    ],
    "banded3": [
        ("3 FE", ["x1", "x2"], ["a", "b", "c"]),
        ("4 FE", ["x1", "x2"], ["a", "b", "c", "d"]),
    ],
}
