"""Threads under contention: vantrel's kernels with nt=1 and nt=2 beside busy processes.

On a 2-core machine shared with two other busy processes, an OpenMP kernel with two
threads gets about one core's worth of time, in slices: at every barrier a thread that
arrives first spins (libgomp's default wait policy, "active") while its partner may not
be running at all, and a kernel with many barriers per iteration can end up slower than
with one thread.  A passive wait makes waiting threads sleep instead, which removes the
spinning but costs a wake-up at every barrier, so it may slow the quiet case.  vantrel's
backend asks for a short spin (GOMP_SPINCOUNT=10000) when the environment sets neither, so
"unset" measures what a user gets by default, "active" what the runtime would do with
endless spinning.  This script
measures all three, for the coefficient-space solver (COEF_PCG_demean) and the
accelerated sweeps (MAP_NH_CG_accel), on

- the difficult design at 1e5 rows (many cheap iterations: barrier-bound),
- the simple design at 1e6 rows (few iterations over a larger matrix),

both with 3 fixed effects, in every combination of: two competitors (each a Python
process spinning on one core, started before the timings and killed after them) or
none; OMP_WAIT_POLICY unset, passive or active in the child's environment; nt = 1 or 2
(the child's OMP_NUM_THREADS, which the kernels take as their default thread count).
Every timing runs in a fresh subprocess (harness.py: warm-up on a small data set,
one fresh call, then the best of --repeat calls, which is the figure shown).

    .venv/bin/python benchmarks/contention.py [--difficult-rows 1e5] [--simple-rows 1e6]
"""

from __future__ import annotations

import argparse
import contextlib
import itertools
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from generators import MODELS  # noqa: E402

KERNELS = ["vantrel-coef-kernel", "vantrel-kernel"]
# None: OMP_WAIT_POLICY removed from the child's environment (vantrel then sets a short spin)
POLICIES = [None, "passive", "active"]
THREADS = [1, 2]
MODEL = "3 FE"

# A competitor: one busy loop, pinned to its own core where the system allows, so that
# each of the kernel's two threads shares a core with exactly one of them.
SPINNER = """
import os, sys
try:
    os.sched_setaffinity(0, {int(sys.argv[1])})
except (AttributeError, OSError):
    pass
while True:
    pass
"""


@contextlib.contextmanager
def competitors(count: int):
    """Start `count` busy processes and stop them (by their own handles) on exit."""
    cpus = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else [0]
    procs = [subprocess.Popen([sys.executable, "-c", SPINNER, str(cpus[i % len(cpus)])]) for i in range(count)]
    try:
        time.sleep(0.5)  # let them reach their loops before the first timing
        yield procs
    finally:
        for proc in procs:
            proc.kill()
        for proc in procs:
            proc.wait()


def time_case(path: Path, design: str, kernel: str, nt: int, policy, repeat: int, timeout: float) -> dict:
    label, x, fes = next(m for m in MODELS[design] if m[0] == MODEL)
    case = {"estimator": kernel, "data": str(path), "x": x, "fes": fes, "warm": repeat, "iterations": "off"}
    # GOMP_SPINCOUNT would also override the policy, and stop vantrel choosing one
    return harness.run_case(case, nt, timeout, env={"OMP_WAIT_POLICY": policy, "GOMP_SPINCOUNT": None})


def seconds(r: dict) -> float | None:
    return None if "error" in r else r["warm"]


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--difficult-rows", type=lambda s: int(float(s)), default=100_000)
    p.add_argument("--simple-rows", type=lambda s: int(float(s)), default=1_000_000)
    p.add_argument("--competitors", type=int, default=2, help="busy processes beside the kernel (default 2)")
    p.add_argument("--repeat", type=int, default=3, help="timed calls after the fresh one, the best kept")
    p.add_argument("--timeout", type=float, default=1800, help="seconds before a timing is abandoned")
    args = p.parse_args(argv)

    scenarios = [("difficult", args.difficult_rows), ("simple", args.simple_rows)]
    print(
        f"{MODEL}; best of {args.repeat} calls per timing, each timing in a fresh process; "
        f"{args.competitors} competitors (busy Python loops, one per core); "
        f"load average at start {harness.load_text()}\n",
        flush=True,
    )
    results = {}  # (design, kernel, busy, policy, nt) -> seconds or error text
    loads = {}  # competitors -> load average before and after their timings
    with tempfile.TemporaryDirectory(prefix="vantrel-contention-") as tmp:
        paths = {design: harness.write_dataset(design, n, Path(tmp)) for design, n in scenarios}
        for busy in (0, args.competitors):
            with competitors(busy):
                # the "none" rows are only quiet if nothing else ran: the load shows it
                loads[busy] = [harness.load_text()]
                for (design, n), kernel, policy, nt in itertools.product(scenarios, KERNELS, POLICIES, THREADS):
                    r = time_case(paths[design], design, kernel, nt, policy, args.repeat, args.timeout)
                    results[(design, kernel, busy, policy, nt)] = r.get("error") or r["warm"]
                    print(
                        f"  {design} n={n:.0e} {kernel} competitors={busy} "
                        f"OMP_WAIT_POLICY={policy or 'unset'} nt={nt}: "
                        f"{r.get('error') or format(r['warm'], '.3f') + ' s'}",
                        file=sys.stderr,
                        flush=True,
                    )
                loads[busy].append(harness.load_text())

    def cell(key):
        v = results[key]
        return f"{v:.3f}" if isinstance(v, float) else f"failed: {v[:60]}"

    def quotient(a, b):
        a, b = results[a], results[b]
        return f"{a / b:.2f}" if isinstance(a, float) and isinstance(b, float) else ""

    lines = ["| data | kernel | competitors | OMP_WAIT_POLICY | nt=1 s | nt=2 s | nt=2 / nt=1 |", "|" + "---|" * 7]
    for design, n in scenarios:
        for kernel in KERNELS:
            for busy in (0, args.competitors):
                for policy in POLICIES:
                    k1, k2 = (design, kernel, busy, policy, 1), (design, kernel, busy, policy, 2)
                    lines.append(
                        f"| {design} n={n:.0e} | {harness.label(kernel)} | {busy or 'none'} | "
                        f"{policy or 'unset'} | {cell(k1)} | {cell(k2)} | {quotient(k2, k1)} |"
                    )
    lines += [
        "",
        "What a passive wait costs or saves against spinning: time with OMP_WAIT_POLICY=passive, "
        "and with it unset (vantrel's default), over time with it active (below 1: faster than "
        "spinning).",
        "",
        "| data | kernel | nt | passive, no competitors | passive, with competitors | "
        "unset, no competitors | unset, with competitors |",
        "|" + "---|" * 7,
    ]
    for design, n in scenarios:
        for kernel in KERNELS:
            for nt in THREADS:
                cells = [
                    quotient((design, kernel, b, policy, nt), (design, kernel, b, "active", nt))
                    for policy in ("passive", None)
                    for b in (0, args.competitors)
                ]
                lines.append(f"| {design} n={n:.0e} | {harness.label(kernel)} | {nt} | " + " | ".join(cells) + " |")
    lines += [
        "",
        "Load average (1, 5, 15 min) before and after the timings: "
        + "; ".join(f"{busy or 'no'} competitors {before} / {after}" for busy, (before, after) in loads.items()),
    ]
    print("\n".join(lines))
    print(f"\nLoad average at end: {harness.load_text()}")
    return results


if __name__ == "__main__":
    main()
