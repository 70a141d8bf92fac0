"""Where the time of one estimation goes: the driver's stages next to the kernel's.

Scenario (lever: many small groups next to few large ones): N rows (10 million by
default), two regressors, two fixed effects with random ids -- 1,000,000 groups of
about 10 rows and 1,000 groups of about 10,000 rows -- fixed seed, no standard
errors. The stage functions of the driver are timed one by one, in the order the
driver runs them, followed by one full call of tolvane for the total:

    sample building   column checks, private frame, invalid rows, ids, sort
    group index       make_pointer on the sorted ids
    singletons        kernel screening, renumbering, final group index
    demeaning         one kernel call for y and both regressors
    least squares     collinearity check, lstsq, residuals

Run `python benchmarks/bench_driver.py --n 1000000` for a smaller case; other
harnesses can call `main([...])`, which returns the timings as a dict.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

from vantrel.core.threads import driver_threads
from vantrel.tolvane import partial_out, sample
from vantrel.tolvane._tolvane import MAP_NH_CG_accel, tolvane

SEED = 20240607
SMALL_GROUP_ROWS = 10  # the first effect: N / 10 groups
LARGE_GROUPS = 1_000  # the second effect


def make_data(n: int, seed: int = SEED) -> pd.DataFrame:
    rng = np.random.default_rng([seed, n])
    n_small = max(n // SMALL_GROUP_ROWS, 1)
    fe1 = rng.integers(0, n_small, size=n, dtype=np.int64)
    fe2 = rng.integers(0, LARGE_GROUPS, size=n, dtype=np.int64)
    x1 = rng.standard_normal(n)
    x2 = rng.standard_normal(n) + 0.5 * x1
    y = 1.0 * x1 - 0.5 * x2 + rng.standard_normal(n_small)[fe1] + rng.standard_normal(LARGE_GROUPS)[fe2]
    y += rng.standard_normal(n)
    return pd.DataFrame({"y": y, "x1": x1, "x2": x2, "fe1": fe1, "fe2": fe2})


class _Stages:
    def __init__(self):
        self.times = {}
        self._start = time.perf_counter()

    def lap(self, name):
        now = time.perf_counter()
        self.times[name] = now - self._start
        self._start = now


def time_stages(df, nt=0, verb=0):
    """Run the driver's stages in its order, timing each; returns (times, beta)."""
    y, x, fixedeffects, msg = ["y"], ["x1", "x2"], ["fe1", "fe2"], []
    clock = _Stages()
    keepvars = sample.check_variables(df, y, x, fixedeffects, "none", None)
    data = sample.working_frame(df, keepvars, y, x, "none", None, msg)
    threads = driver_threads(nt)
    data = sample.drop_invalid_rows(data, y, x, verb, msg, threads)
    fenames = sample.fe_names(len(fixedeffects))
    data, _ = sample.add_fe_ids(data, fixedeffects, fenames, verb)
    clock.lap("sample building")
    A = sample.group_index(data, fenames, threads)
    clock.lap("group index")
    keep = sample.singleton_free_rows(data, y, A, verb, msg)
    clock.lap("singletons")
    data = sample.drop_singletons_and_sort_by_largest_effect(data, fenames, A, keep, threads, fixedeffects)
    data["initial_index"] = data.index
    clock.lap("sort and selection")
    data, _ = sample.renumber_fe_ids(data, fixedeffects, fenames)
    A = sample.group_index(data, fenames, threads)
    clock.lap("renumbering, group index")
    yXtilde, _ = partial_out.demean(data, y, x, A, MAP_NH_CG_accel, 1e-9, 0, 1000, verb, nt)
    clock.lap("demeaning")
    yXtilde, x, K = partial_out.drop_collinear(yXtilde, x, verb, msg)
    beta, _ = partial_out.least_squares(yXtilde, K, MAP_NH_CG_accel, msg)
    clock.lap("least squares")
    return clock.times, beta


def warm_heap(n):
    """Touch about as much memory as one estimation of n rows will use, then free it.

    In a fresh process (and markedly so in a virtual machine) the first touch of every
    new page is expensive; without this the cost lands on whichever stage first grows
    the heap and makes the early driver stages look slower than they are.
    """
    block = np.ones(n * 50)  # 400 bytes per row
    del block


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10_000_000, help="number of rows (default 10,000,000)")
    parser.add_argument("--threads", type=int, default=0, help="kernel threads (0: the OpenMP default)")
    parser.add_argument("--seed", type=int, default=SEED)
    args = parser.parse_args(argv)

    print(f"generating N={args.n:,} rows (seed {args.seed}) ...", flush=True)
    df = make_data(args.n, args.seed)
    warm_heap(args.n)
    times, beta = time_stages(df, nt=args.threads)
    staged = sum(times.values())
    driver = staged - times["demeaning"]
    print(f"{'stage':<26}{'seconds':>10}{'share':>8}")
    for name, seconds in times.items():
        print(f"{name:<26}{seconds:>10.3f}{seconds / staged:>8.1%}")
    print(f"{'sum of stages':<26}{staged:>10.3f}")
    print(f"{'driver outside the demeaning':<30}{driver:>6.3f} s ({driver / staged:.1%})")

    start = time.perf_counter()
    result = tolvane(["y"], ["x1", "x2"], ["fe1", "fe2"], df, nt=args.threads)
    total = time.perf_counter() - start
    print(
        f"{'full tolvane call':<18}{total:>10.3f}  (results and fit statistics after least squares: "
        f"{max(total - staged, 0.0):.3f})"
    )
    assert np.allclose(result.params, beta, rtol=1e-10, atol=0)
    print("coefficients:", np.round(result.params.ravel(), 6).tolist(), "(true 1.0, -0.5)")
    return {"n": args.n, "stages": times, "sum_of_stages": staged, "tolvane": total}


if __name__ == "__main__":
    main()
