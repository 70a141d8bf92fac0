"""One sample absorbed block after block: what the first block costs (the solver measures its
rate, chooses and builds its preconditioner) against each later block of the same sample
through the same `Absorption` (it starts with the preconditioner the first block needed),
and against a fresh absorption of that later block. Each figure is shown as the first call
of its kind in the process ("fresh": memory not yet touched by that kind of call) and the
best of --repeat ("warm", the first call included). What a second call through the same
object saves is the later block's fresh absorption minus its absorption through the same
object. Run by `benchmarks/run.py` (section "absorption") or on its own:

    python benchmarks/bench_absorption.py --rows 1e6 --designs difficult,simple
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import generators  # noqa: E402

from vantrel.core.absorption import Absorption, stack_standardised  # noqa: E402

EFFECTS = {
    "simple": ["fe1", "fe2", "fe3"],
    "difficult": ["indiv", "firm", "year"],
    "grid": ["worker", "firm", "year"],
    "banded3": ["a", "b", "c"],
}


def _ids(data, names):
    return np.asfortranarray(
        np.column_stack([np.unique(data[name], return_inverse=True)[1] for name in names]).astype(np.int32)
    )


def _timed(function, repeat):
    """(first call's seconds, best of `repeat` calls' seconds, the last call's result)."""
    times, out = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        out = function()
        times.append(time.perf_counter() - start)
    return times[0], min(times), out


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", default="1e6")
    p.add_argument("--designs", default="simple,difficult,grid,banded3")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--threads", type=int, default=0)
    args = p.parse_args(argv)
    n = int(float(args.rows))
    load = " ".join(Path("/proc/loadavg").read_text().split()[:3]) if os.path.exists("/proc/loadavg") else "?"
    print(f"{n:,} rows, 3 fixed effects; block [y, x1, x2] first, then [x1, x2]; load average at start {load}")
    print(f"seconds, first call / best of {args.repeat}\n")
    columns = ["design", "first block (set-up and solve)", "later block, same Absorption", "later block, fresh"]
    columns += ["saved by the same Absorption (fresh - same)", "iterations first / later / fresh", "preconditioner"]
    print("| " + " | ".join(columns) + " |")
    print("|" + "---|" * len(columns))
    for design in args.designs.split(","):
        data = getattr(generators, design)(n)
        print(_case(design, _ids(data, EFFECTS[design]), [data["y"], data["x1"], data["x2"]], args), flush=True)
        del data
    load = " ".join(Path("/proc/loadavg").read_text().split()[:3]) if os.path.exists("/proc/loadavg") else "?"
    print(f"\nload average at end {load}")


def _case(design, ids, columns, args) -> str:
    block, _, _ = stack_standardised(columns)
    later = np.ascontiguousarray(block[:, 1:])

    def fresh():
        return Absorption(ids, None, tol=1e-8, maxiter=10_000, n_threads=args.threads)

    def first():
        absorption = fresh()
        return absorption, absorption.absorb(block.copy())

    f_first, w_first, (absorption, r_first) = _timed(first, args.repeat)
    f_later, w_later, r_later = _timed(lambda: absorption.absorb(later.copy()), args.repeat)
    f_fresh, w_fresh, r_fresh = _timed(lambda: fresh().absorb(later.copy()), args.repeat)
    later_mode = r_later["preconditioner"]
    mode = r_first["preconditioner"] + ("" if later_mode == r_first["preconditioner"] else f"; later {later_mode}")
    return (
        f"| {design} | {f_first:.3f} / {w_first:.3f} | {f_later:.3f} / {w_later:.3f} | "
        f"{f_fresh:.3f} / {w_fresh:.3f} | {f_fresh - f_later:.3f} / {w_fresh - w_later:.3f} | "
        f"{r_first['iterations']} / {r_later['iterations']} / {r_fresh['iterations']} | {mode} |"
    )


if __name__ == "__main__":
    main()
