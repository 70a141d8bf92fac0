"""CRV3 (the cluster jackknife) with fixed effects not nested in the clusters: vantrel's
leave-one-cluster-out absorptions against pyfixest's refit per cluster, on the same data in
the same process, with the standard errors compared. "fresh" is each side's first call in
the process (its compilation and caches included, the imports not); "warm" the best of
--repeat calls after it. Run by
`benchmarks/run.py` (section "inference") or on its own:

    python benchmarks/bench_inference.py --rows 1e5 --clusters 50
"""

from __future__ import annotations

import argparse
import time
import warnings

import numpy as np
import pandas as pd


def make_data(rows: int, clusters: int, seed: int = 0) -> pd.DataFrame:
    """Workers' firms (rows/100 of them) and years, and states drawn apart from the firms,
    so that neither effect nests in the clusters."""
    rng = np.random.default_rng(seed)
    firms = max(rows // 100, 2)
    d = pd.DataFrame(
        {
            "firm": rng.integers(0, firms, rows),
            "year": rng.integers(0, 20, rows),
            "state": rng.integers(0, clusters, rows),
        }
    )
    d["x1"] = rng.normal(size=rows) + 0.1 * d.firm / firms
    d["x2"] = rng.normal(size=rows)
    d["y"] = d.x1 - 0.5 * d.x2 + rng.normal(size=firms)[d.firm] + rng.normal(size=clusters)[d.state]
    d["y"] += rng.normal(size=rows)
    # a third effect for --effects firm+year+region (no part of y), drawn after the rest, which
    # stay as they were
    d["region"] = rng.integers(0, 10, rows)
    return d


def _best(function, repeat):
    best, out = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        out = function()
        best = min(best, time.perf_counter() - start)
    return best, out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", default="1e5")
    parser.add_argument("--clusters", type=int, default=50)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--effects", default="firm+year", help="the fixed effects, e.g. firm+year+region")
    args = parser.parse_args(argv)
    rows = int(float(args.rows))
    import pyfixest as pf

    import vantrel

    data = make_data(rows, args.clusters)
    effects = " + ".join(args.effects.split("+"))
    fml, vcov = f"y ~ x1 + x2 | {effects}", {"CRV3": "state"}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours_fresh, _ = _best(lambda: vantrel.feols(fml, data, vcov=vcov), 1)
        theirs_fresh, _ = _best(lambda: pf.feols(fml, data, vcov=vcov), 1)
        ours_s, ours = _best(lambda: vantrel.feols(fml, data, vcov=vcov), args.repeat)
        fit = vantrel.feols(fml, data)
        after_s, _ = _best(lambda: fit.with_vcov(vcov), args.repeat)
        theirs_s, theirs = _best(lambda: pf.feols(fml, data, vcov=vcov), args.repeat)
    difference = float(np.max(np.abs(ours.se().to_numpy() / theirs.se()[ours.coefnames].to_numpy() - 1)))
    print(
        f"CRV3 by state ({args.clusters} clusters), {rows:,} rows, {fml} "
        f"({data.firm.nunique():,} firms, 20 years, 10 regions; none nested in the states)\n"
    )
    print(f"| estimate | fresh, seconds | warm, seconds (best of {args.repeat}) |")
    print("|---|---:|---:|")
    print(f"| vantrel.feols(..., vcov=CRV3) | {ours_fresh:.3f} | {ours_s:.3f} |")
    print(f"| fit.with_vcov(CRV3), the fit already made | | {after_s:.3f} |")
    print(f"| pyfixest feols(..., vcov=CRV3) | {theirs_fresh:.3f} | {theirs_s:.3f} |")
    print(
        f"\nspeed-up of vantrel.feols over pyfixest: fresh {theirs_fresh / ours_fresh:.1f}x, "
        f"warm {theirs_s / ours_s:.1f}x (target 10x); "
        f"largest relative difference of the standard errors: {difference:.1e}"
    )


if __name__ == "__main__":
    main()
