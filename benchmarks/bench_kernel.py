"""Kernel benchmark: one demeaning sweep against the memory floor, and a full CG demeaning.

Scenario: N rows (default 10,000,000), K = 3 columns, two fixed effects with random ids
(fixed seed): one with N/10 groups of about 10 rows, by which the rows are sorted (as the
driver sorts them), and one with N/10,000 groups of about 10,000 rows scattered over the
whole matrix. The difficulty lever is memory access: the first effect walks the rows in
order, the second visits them in random order.

The memory floor is a pass that loads and stores every row exactly as the 2F - 1 group
demeanings of a sweep do (same sortvec order, the same two passes per group) with no
arithmetic. The sweep's time as a multiple of it shows what the long double arithmetic
adds on top of the unavoidable memory traffic. The CG demeaning runs to tol 1e-9; its time
per iteration covers one sweep plus the streaming passes of the method.

    .venv/bin/python benchmarks/bench_kernel.py [--rows N] [--threads 1 2] [--repeat 3]

main(argv) returns the measurements as a list of dicts, one per thread count.
"""

import argparse
import time

import numpy as np

from vantrel.backend import _bench_hooks
from vantrel.backend.morlisk import make_pointer

SEED = 20240611
TOL = 1e-9


def make_problem(n_rows, n_columns=3):
    """Data matrix and group index, rows sorted by the fixed effect with small groups."""
    rng = np.random.default_rng(SEED)
    small_groups = rng.integers(0, max(n_rows // 10, 1), size=n_rows)
    large_groups = rng.integers(0, max(n_rows // 10_000, 1), size=n_rows)
    order = np.argsort(small_groups, kind="stable")
    ids = np.column_stack([small_groups[order], large_groups[order]])
    x = rng.normal(size=(n_rows, n_columns)) + (ids % 97) @ rng.normal(size=(2, n_columns))
    return np.ascontiguousarray(x), make_pointer(ids)


def best_time(function, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def measure(x, A, n_threads, repeat):
    """Seconds per sweep and per floor pass, net of the once-per-call index checks, which
    are timed on their own (a call that checks and then makes no pass)."""
    work = x.copy()
    checks = best_time(lambda: _bench_hooks.touch_sweep(work, A, n_threads, 0), repeat)
    floor = (best_time(lambda: _bench_hooks.touch_sweep(work, A, n_threads, repeat), repeat) - checks) / repeat
    sweep = (best_time(lambda: _bench_hooks.sweep(work, None, A, n_threads, repeat), repeat) - checks) / repeat
    work = x.copy()
    start = time.perf_counter()
    iterations = _bench_hooks.demean_count(work, None, A, TOL, 0, 100_000, n_threads, True)
    cg = time.perf_counter() - start
    return {
        "threads": n_threads,
        "checks_s": checks,
        "floor_s": floor,
        "sweep_s": sweep,
        "sweep_over_floor": sweep / floor,
        "cg_s": cg,
        "cg_iterations": iterations,
        "cg_s_per_iteration": cg / iterations,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000_000, help="number of rows N (default 10,000,000)")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2], help="thread counts to time")
    parser.add_argument("--repeat", type=int, default=3, help="passes per timed call, and best of this many calls")
    args = parser.parse_args(argv)

    x, A = make_problem(args.rows)
    print(
        f"N = {args.rows:,} rows, K = {x.shape[1]}; fixed effects: {len(A[0, 1]):,} groups (rows sorted by them),"
        f" {len(A[1, 1]):,} groups (random rows)"
    )
    header = (
        f"{'threads':>7} {'checks s':>9} {'floor s':>9} {'sweep s':>9} {'sweep/floor':>11}"
        f" {'CG iter':>7} {'CG s':>8} {'CG s/iter':>9}"
    )
    print(header)
    results = []
    for n_threads in args.threads:
        r = measure(x, A, n_threads, args.repeat)
        results.append(r)
        print(
            f"{r['threads']:>7} {r['checks_s']:>9.3f} {r['floor_s']:>9.3f} {r['sweep_s']:>9.3f}"
            f" {r['sweep_over_floor']:>10.2f}x"
            f" {r['cg_iterations']:>7} {r['cg_s']:>8.2f} {r['cg_s_per_iteration']:>9.3f}"
        )
    return results


if __name__ == "__main__":
    main()
