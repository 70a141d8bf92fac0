"""The wild cluster bootstrap: B = 9999 draws at 1e6 rows, 50 clusters and 3 fixed effects
absorbed (seconds), and against pyfixest's wildboottest (the wildboottest package on the
fixed effect as dummy columns) on a model both run: 1e5 rows, one 50-level fixed effect.
Each figure is the best of --repeat calls after a first one (pyfixest's first call compiles
its numba kernel). Run by `benchmarks/run.py` (section "bootstrap") or on its own:

    python benchmarks/bench_bootstrap.py --rows 1e6 --peer-rows 1e5
"""

from __future__ import annotations

import argparse
import time
import warnings

import numpy as np
import pandas as pd

import vantrel


def data(n: int, clusters: int, levels: list[int], seed: int = 1) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    frame = {"g": rng.integers(0, clusters, n)}
    y = rng.normal(size=n) + rng.normal(size=clusters)[frame["g"]]
    for j, count in enumerate(levels):
        frame[f"fe{j + 1}"] = rng.integers(0, count, n)
        y += rng.normal(size=count)[frame[f"fe{j + 1}"]]
    frame["x1"] = rng.normal(size=n)
    frame["x2"] = rng.normal(size=n)
    frame["y"] = y + 0.02 * frame["x1"] + 0.5 * frame["x2"]
    return pd.DataFrame(frame)


def best(function, repeat):
    out = function()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        out = function()
        times.append(time.perf_counter() - start)
    return min(times), out


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", default="1e6")
    p.add_argument("--peer-rows", default="1e5")
    p.add_argument("--B", type=int, default=9999)
    p.add_argument("--repeat", type=int, default=2)
    args = p.parse_args(argv)
    n, n_peer, B = int(float(args.rows)), int(float(args.peer_rows)), args.B

    print("| case | rows | fixed effects | B | fit (s) | bootstrap (s) | p-value |\n|---|---|---|---|---|---|---|")
    df = data(n, 50, [100_000, 1_000, 50])
    start = time.perf_counter()
    fit = vantrel.feols("y ~ x1 + x2 | fe1 + fe2 + fe3", df, vcov={"CRV1": "g"})
    fitted = time.perf_counter() - start
    seconds, res = best(lambda: fit.wildboottest("x1", B=B, seed=1), args.repeat)
    print(
        f"| vantrel WCR, 50 clusters | {n:,} | 3 (1e5, 1e3, 50 levels) | {res.B} | {fitted:.2f} "
        f"| {seconds:.2f} | {res.pvalue:.4f} |"
    )

    df = data(n_peer, 50, [50])
    fml = "y ~ x1 + x2 | fe1"
    fit = vantrel.feols(fml, df, vcov={"CRV1": "g"})
    ours, res = best(lambda: fit.wildboottest("x1", B=B, seed=1), args.repeat)
    print(f"| vantrel WCR, 50 clusters | {n_peer:,} | 1 (50 levels) | {res.B} | | {ours:.3f} | {res.pvalue:.4f} |")
    import pyfixest as pf

    peer_fit = pf.feols(fml, df, vcov={"CRV1": "g"})

    def peer():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return peer_fit.wildboottest(param="x1", reps=B, seed=1)

    theirs, table = best(peer, args.repeat)
    print(
        f"| pyfixest wildboottest, 50 clusters | {n_peer:,} | 1 (50 levels, dummies) | {B} | | {theirs:.3f} "
        f"| {float(table['Pr(>|t|)']):.4f} |"
    )
    print(f"\nvantrel against pyfixest at {n_peer:,} rows: {theirs / ours:.1f}x faster (target >= 10x)")


if __name__ == "__main__":
    main()
