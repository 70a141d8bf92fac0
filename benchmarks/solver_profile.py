"""Where the coefficient-space solver's time goes on one design: the automatic choice
against each preconditioner named, with one column and with the whole matrix [y, x1, x2],
so that the set-up (independent of the columns) and the solve (per column) separate:
with T(K) the time for K columns, per column (T(3) - T(1)) / 2, set-up T(1) - that.

    .venv/bin/python benchmarks/solver_profile.py --design banded3 --rows 1e7

One process; the data are generated once; every timing is the best of --repeat after a
first call (shown too: its memory not touched yet). The kernel is called as the kernel
section calls it (level ids, rows as generated). Nothing asserts on times.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402
from generators import GENERATORS, MODELS  # noqa: E402


def main(argv=None) -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--design", default="banded3")
    p.add_argument("--rows", type=float, default=1e7)
    p.add_argument("--modes", default="auto,full,pairs,exact")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--threads", type=int, default=0)
    args = p.parse_args(argv)
    from vantrel.backend.quarnet import COEF_PCG_demean

    n = int(args.rows)
    raw = GENERATORS[args.design](n)
    print(f"- {args.design}, {n:,} rows; load average at start {harness.load_text()}")
    print(f"- seconds: first call / best of {args.repeat}; K: columns demeaned\n")
    print("| model | preconditioner asked | K | first s | best s | iterations | chosen | reason |")
    print("|---|---|---|---|---|---|---|---|")
    summary = []
    for label, x, fes in MODELS[args.design]:
        ids = np.ascontiguousarray(
            np.column_stack([np.unique(raw[f], return_inverse=True)[1] for f in fes]), dtype=np.int64
        )
        M = np.ascontiguousarray(np.column_stack([raw[c] for c in ["y", *x]]))
        for mode in args.modes.split(","):
            best = {}
            for K in (1, M.shape[1]):
                times, report = [], None
                for _ in range(1 + args.repeat):
                    work = np.array(M[:, :K], order="C")
                    start = time.perf_counter()
                    try:
                        report = COEF_PCG_demean(work, None, ids, 1e-9, 0, 1000, 0, args.threads, mode)
                    except ValueError as err:
                        report = {"iterations": "-", "preconditioner": "failed", "reason": str(err)}
                    times.append(time.perf_counter() - start)
                    del work
                best[K] = min(times[1:])
                print(
                    f"| {label} | {mode} | {K} | {times[0]:.3f} | {best[K]:.3f} | {report['iterations']} | "
                    f"{report['preconditioner']} | {report.get('reason', '')[:140]} |",
                    flush=True,
                )
            K = M.shape[1]
            per_column = (best[K] - best[1]) / (K - 1)
            summary.append(f"| {label} | {mode} | {best[1] - per_column:.3f} | {per_column:.3f} | {best[K]:.3f} |")
    print("\n| model | preconditioner asked | set-up s (T(1) - per column) | per column s | whole matrix s |")
    print("|---|---|---|---|---|")
    print("\n".join(summary))
    print(f"\n- load average at end {harness.load_text()}")


if __name__ == "__main__":
    main()
