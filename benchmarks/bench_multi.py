"""Multiple estimation: `y ~ csw(x1, ..., x5) | fe1 + fe2 + fe3` against the single model with
all five regressors, five outcomes against one, and both against pyfixest's multiple
estimation of the same models, on the simple design (generators.py) with three extra
regressors and four extra outcomes. Targets: csw <= 1.5x the single model, five outcomes
<= 1.5x one, vantrel >= 5x faster than pyfixest. After one warm-up call of the single model
in this process each case is timed `--repeat` times in turn (the cases interleaved, so a
burst of load on the shared machine falls on all of them); the table has each case's first
call and its best, the ratios from the best. Prints a Markdown table (nothing asserts), and
with `--stages` the seconds of each stage of vantrel's last call of each case, summed over
its models (the shared stack and absorption appear once, in the first model of a group)."""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from generators import simple  # noqa: E402

import vantrel  # noqa: E402

CSW = "y ~ csw(x1, x2, x3, x4, x5) | fe1 + fe2 + fe3"
SINGLE = "y ~ x1 + x2 + x3 + x4 + x5 | fe1 + fe2 + fe3"
OUTCOMES = "y + y2 + y3 + y4 + y5 ~ x1 + x2 + x3 + x4 + x5 | fe1 + fe2 + fe3"


def frame(n: int) -> pd.DataFrame:
    data = pd.DataFrame(simple(n))
    rng = np.random.default_rng(11)
    for k in (3, 4, 5):
        data[f"x{k}"] = rng.standard_normal(n) + 0.1 * data["x1"]
    for k in (2, 3, 4, 5):
        data[f"y{k}"] = data["y"] + rng.standard_normal(n)
    return data


LAST: dict = {}  # each case's last result


def timed(name, call) -> float:
    start = time.perf_counter()
    LAST[name] = call()
    return time.perf_counter() - start


def first_and_best(calls: dict, repeat: int) -> dict:
    """Each call's first time and its best of `repeat`, the calls taken in turn."""
    times: dict = {name: [] for name in calls}
    for _ in range(repeat):
        for name, call in calls.items():
            times[name].append(timed(name, call))
    return {name: (seconds[0], min(seconds)) for name, seconds in times.items()}


def stages(result) -> dict:
    """The seconds of each stage, summed over the models of `result` (a fit or Models)."""
    fits = [result] if hasattr(result, "timings") else list(result)
    out: dict = {}
    for fit in fits:
        for stage, seconds in fit.timings.items():
            out[stage] = out.get(stage, 0.0) + seconds
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", type=float, default=1e6)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-pyfixest", action="store_true")
    parser.add_argument("--stages", action="store_true", help="the stages of vantrel's last call of each case")
    args = parser.parse_args()
    n = int(args.rows)
    data = frame(n)
    vantrel.feols(SINGLE, data)  # warm-up: imports, thread pool
    rows = first_and_best(
        {
            "single model, five regressors": lambda: vantrel.feols(SINGLE, data),
            "csw(x1..x5): five models": lambda: vantrel.feols(CSW, data),
            "five outcomes": lambda: vantrel.feols(OUTCOMES, data),
        },
        args.repeat,
    )
    vantrel_stages = {name: stages(LAST[name]) for name in rows}
    peers = {}
    if not args.no_pyfixest:
        import warnings

        import pyfixest as pf

        warnings.simplefilter("ignore")
        pf.feols(SINGLE, data)
        peers = first_and_best(
            {
                "csw(x1..x5): five models": lambda: pf.feols(CSW, data),
                "five outcomes": lambda: pf.feols(OUTCOMES, data),
            },
            args.repeat,
        )
    uptime = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    print(
        f"rows {n:,}, threads {os.environ.get('OMP_NUM_THREADS', 'default')}, best of {args.repeat}, uptime: {uptime}\n"
    )
    print("| case | vantrel first s | vantrel best s | / single model | pyfixest best s | pyfixest / vantrel |")
    print("|---|---:|---:|---:|---:|---:|")
    single = rows["single model, five regressors"][1]
    for name, (first, best) in rows.items():
        peer = peers.get(name)
        print(
            f"| {name} | {first:.2f} | {best:.2f} | {best / single:.2f} | "
            + (f"{peer[1]:.2f} | {peer[1] / best:.1f} |" if peer is not None else " | |")
        )
    if args.stages:
        names = list(dict.fromkeys(stage for times in vantrel_stages.values() for stage in times))
        print("\n| case (last call) | " + " | ".join(f"{stage} s" for stage in names) + " |")
        print("|---|" + "---:|" * len(names))
        for name, times in vantrel_stages.items():
            print(f"| {name} | " + " | ".join(f"{times.get(stage, 0.0):.3f}" for stage in names) + " |")


if __name__ == "__main__":
    main()
