"""Varying slopes against the same model without them: feols of ``y ~ x1 + x2 | firm[z]``
(every one of 1e4 firms has its intercept and a slope on z) against ``y ~ x1 + x2 | firm``,
and the same with a second effect (``year + firm[z]`` against ``year + firm``), on the same
rows in the same process; each figure is the best of --repeat warm calls after one fresh
call. The target: a model with slopes within 3 times the time of the model without. Run by
`benchmarks/run.py` (section "slopes") or on its own:

    python benchmarks/bench_slopes.py --rows 1e6 --levels 1e4
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

import vantrel

TARGET = 3.0


def data(n: int, levels: int, seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    firm = rng.integers(0, levels, n)
    year = rng.integers(0, 20, n)
    z = rng.normal(size=n) + 1.0
    x1, x2 = rng.normal(size=n) + 0.1 * z, rng.normal(size=n)
    firm_slope = rng.normal(size=levels)
    y = x1 - 0.5 * x2 + firm_slope[firm] * z + rng.normal(size=levels)[firm] + 0.1 * year + rng.normal(size=n)
    return pd.DataFrame({"y": y, "x1": x1, "x2": x2, "z": z, "firm": firm, "year": year})


def timed(fml: str, df: pd.DataFrame, repeat: int, threads: int):
    start = time.perf_counter()
    fit = vantrel.feols(fml, df, n_threads=threads)
    fresh = time.perf_counter() - start
    warm = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fit = vantrel.feols(fml, df, n_threads=threads)
        warm = min(warm, time.perf_counter() - start)
    return fresh, warm, fit


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", default="1e6")
    p.add_argument("--levels", default="1e4")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--threads", type=int, default=0)
    args = p.parse_args(argv)
    n, levels = int(float(args.rows)), int(float(args.levels))
    df = data(n, levels)
    print(f"{n:,} rows, {levels:,} firms; seconds, fresh call and best of {args.repeat} warm calls\n")
    print(
        "| model | without slopes (fresh / warm) | with slopes (fresh / warm) | ratio (warm) | target | iterations | "
        "preconditioner |"
    )
    print("|---|---|---|---|---|---|---|")
    for plain, sloped in [
        ("y ~ x1 + x2 | firm", "y ~ x1 + x2 | firm[z]"),
        ("y ~ x1 + x2 | year + firm", "y ~ x1 + x2 | year + firm[z]"),
    ]:
        p_fresh, p_warm, _ = timed(plain, df, args.repeat, args.threads)
        s_fresh, s_warm, fit = timed(sloped, df, args.repeat, args.threads)
        ratio = s_warm / p_warm
        verdict = "met" if ratio <= TARGET else "missed"
        absorption = fit.absorption
        shown = sloped.replace("|", "\\|")  # a bare "|" would end the table cell
        print(
            f"| `{shown}` | {p_fresh:.3f} / {p_warm:.3f} | {s_fresh:.3f} / {s_warm:.3f} | {ratio:.2f} | "
            f"<= {TARGET:g} ({verdict}) | {absorption.get('iterations')} | {absorption.get('preconditioner')} |"
        )


if __name__ == "__main__":
    main()
