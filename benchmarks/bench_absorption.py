"""One sample absorbed block after block: what the first block costs (the solver measures its
rate, chooses and builds its preconditioner) against each later block of the same sample
through the same `Absorption` (it starts with the preconditioner the first block needed),
and against a fresh absorption of that later block. Fresh process; each figure is the best of
--repeat. Run by `benchmarks/run.py` (section "absorption") or on its own:

    python benchmarks/bench_absorption.py --rows 1e6 --designs difficult,simple
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import generators  # noqa: E402

from vantrel.core.absorption import Absorption, stack_standardised  # noqa: E402

EFFECTS = {"simple": ["fe1", "fe2", "fe3"], "difficult": ["indiv", "firm", "year"], "grid": ["worker", "firm", "year"]}


def _ids(data, names):
    return np.asfortranarray(
        np.column_stack([np.unique(data[name], return_inverse=True)[1] for name in names]).astype(np.int32)
    )


def _best(function, repeat):
    best, out = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        out = function()
        best = min(best, time.perf_counter() - start)
    return best, out


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", default="1e6")
    p.add_argument("--designs", default="simple,difficult,grid")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--threads", type=int, default=0)
    args = p.parse_args(argv)
    n = int(float(args.rows))
    print(f"{n:,} rows, 3 fixed effects; block [y, x1, x2] first, then [x1, x2]; seconds (best of {args.repeat})")
    columns = ["design", "first block (set-up and solve)", "later block, same Absorption", "later block, fresh"]
    columns += ["iterations first / later / fresh", "preconditioner"]
    print("| " + " | ".join(columns) + " |")
    print("|---|---|---|---|---|---|")
    for design in args.designs.split(","):
        data = getattr(generators, design)(n)
        print(_case(design, _ids(data, EFFECTS[design]), [data["y"], data["x1"], data["x2"]], args))


def _case(design, ids, columns, args) -> str:
    block, _, _ = stack_standardised(columns)
    later = np.ascontiguousarray(block[:, 1:])

    def fresh():
        return Absorption(ids, None, tol=1e-8, maxiter=10_000, n_threads=args.threads)

    def first():
        absorption = fresh()
        return absorption, absorption.absorb(block.copy())

    t_first, (absorption, r_first) = _best(first, args.repeat)
    t_later, r_later = _best(lambda: absorption.absorb(later.copy()), args.repeat)
    t_fresh, r_fresh = _best(lambda: fresh().absorb(later.copy()), args.repeat)
    return (
        f"| {design} | {t_first:.3f} | {t_later:.3f} | {t_fresh:.3f} | {r_first['iterations']} / "
        f"{r_later['iterations']} / {r_fresh['iterations']} | {r_first['preconditioner']} |"
    )


if __name__ == "__main__":
    main()
