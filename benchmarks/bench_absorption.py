"""One sample absorbed block after block: what the first block costs (the solver measures its
rate, chooses and builds its preconditioner) against each later block of the same sample
through the same `Absorption` (it starts with the preconditioner the first block needed),
and against a fresh absorption of that later block. Each figure is shown as the first call
of its kind in the process ("fresh": memory not yet touched by that kind of call) and the
best of --repeat ("warm", the first call included). What a second call through the same
object saves is the later block's fresh absorption minus its absorption through the same
object. Run by `benchmarks/run.py` (section "absorption") or on its own:

    python benchmarks/bench_absorption.py --rows 1e6 --designs difficult,simple

A second table (--reuse, on by default) splits what the object keeps from what each call
costs: the first call (the kernel's layout of the rows, counts, preconditioner built), a
later call with the same weights, later calls with new weights each time (the layout kept,
the weighted parts rebuilt: Poisson's reweighting, the bootstrap), and a fresh object given
the request the object makes (what each later call cost before the object kept the
kernel's set-up: the same arithmetic, to the bit). The set-up and preconditioner seconds
come from the kernel's report (`setup_seconds`, `build_seconds`).

A third table (--reweighted) times the calls a Poisson fit makes, each with new weights:
fepois `y ~ x1 + x2 | fe1 + fe2` on bench_poisson's simple count design, every absorption
of the fit timed with its report's set-up and solve seconds and iterations (the fit of
--repeat with the least absorption time):

    python benchmarks/bench_absorption.py --rows 1e6 --reweighted --no-blocks --no-reuse
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
    p.add_argument("--no-reuse", dest="reuse", action="store_false", help="leave out the set-up table")
    p.add_argument("--no-blocks", dest="blocks", action="store_false", help="leave out the first table")
    p.add_argument("--reweighted", action="store_true", help="the calls of a Poisson fit (new weights each)")
    args = p.parse_args(argv)
    n = int(float(args.rows))
    load = " ".join(Path("/proc/loadavg").read_text().split()[:3]) if os.path.exists("/proc/loadavg") else "?"
    print(f"{n:,} rows, 3 fixed effects; block [y, x1, x2] first, then [x1, x2]; load average at start {load}")
    print(f"seconds, first call / best of {args.repeat}\n")
    rows = {"blocks": [], "reuse": []}
    for design in args.designs.split(",") if args.blocks or args.reuse else []:
        data = getattr(generators, design)(n)
        ids, columns = _ids(data, EFFECTS[design]), [data["y"], data["x1"], data["x2"]]
        del data
        if args.blocks:
            rows["blocks"].append(_case(design, ids, columns, args))
            print(rows["blocks"][-1], flush=True)
        if args.reuse:
            rows["reuse"].append(_reuse_case(design, ids, columns, args))
            print(rows["reuse"][-1], flush=True)
    if args.blocks:
        columns = ["design", "first block (set-up and solve)", "later block, same Absorption", "later block, fresh"]
        columns += ["saved by the same Absorption (fresh - same)", "iterations first / later / fresh"]
        _table(columns + ["preconditioner"], rows["blocks"])
    if args.reuse:
        columns = ["design", "first call", "set-up / preconditioner of the first", "later, same weights"]
        columns += ["set-up of a later call (fingerprints of ids and weights)"]
        columns += ["later, new weights", "set-up / preconditioner with new weights", "fresh object, same request"]
        columns += ["saved per later call (fresh - same weights)", "iterations first / later", "reused by a later call"]
        _table(columns, rows["reuse"])
    if args.reweighted:
        _reweighted(n, args.repeat)
    load = " ".join(Path("/proc/loadavg").read_text().split()[:3]) if os.path.exists("/proc/loadavg") else "?"
    print(f"\nload average at end {load}")


def _reweighted(n, repeat):
    """The absorptions of a Poisson fit, one row per call: its block, wall seconds, the
    report's set-up / preconditioner / solve seconds, iterations and what it reused."""
    import warnings

    from bench_poisson import count_data

    import vantrel

    data = count_data("simple", n)
    calls: list = []
    absorb = Absorption.absorb

    def timed_absorb(self, block, weights=None, verbosity=0):
        start = time.perf_counter()
        report = absorb(self, block, weights, verbosity)
        calls.append((block.shape, time.perf_counter() - start, report))
        return report

    fits = []
    Absorption.absorb = timed_absorb
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # separation notices
            for _ in range(repeat):
                calls.clear()
                start = time.perf_counter()
                vantrel.fepois("y ~ x1 + x2 | fe1 + fe2", data, vcov="hetero")
                fits.append((sum(c[1] for c in calls), time.perf_counter() - start, list(calls)))
    finally:
        Absorption.absorb = absorb
    total, fit_seconds, best = min(fits, key=lambda fit: fit[0])
    print(f"\nfepois y ~ x1 + x2 | fe1 + fe2, simple design, {n:,} rows: fit {fit_seconds:.3f} s, ", end="")
    print(f"{len(best)} absorptions {total:.3f} s (the fit of {repeat} with the least absorption time)")
    ms = "{:.1f}".format
    _table(
        ["call", "block", "ms", "set-up ms", "preconditioner ms", "solve ms", "iterations", "reused"],
        [
            f"| {k + 1} | {shape[0]:,} x {shape[1]} | {ms(1e3 * seconds)} | {ms(1e3 * r.get('setup_seconds', 0))} | "
            f"{ms(1e3 * r.get('build_seconds', 0))} | {ms(1e3 * r.get('solve_seconds', 0))} | {r['iterations']} | "
            f"{', '.join(r.get('reused', []))} |"
            for k, (shape, seconds, r) in enumerate(best)
        ],
    )


def _table(columns, rows):
    print("\n| " + " | ".join(columns) + " |")
    print("|" + "---|" * len(columns))
    for row in rows:
        print(row)


def _reuse_case(design, ids, columns, args) -> str:
    """One row of the set-up table: the kernel's set-up kept by the object against each
    later call's cost (unweighted first call and later calls; then new weights each call)."""
    block, _, _ = stack_standardised(columns)
    later = np.ascontiguousarray(block[:, 1:])
    rng = np.random.default_rng(7)
    new_weights = [rng.uniform(0.5, 2.0, len(ids)) for _ in range(2)]
    made = []

    def first():
        made[:] = [Absorption(ids, None, tol=1e-8, maxiter=10_000, n_threads=args.threads)]
        return made[-1].absorb(block.copy())

    f_first, w_first, r_first = _timed(first, args.repeat)
    absorption = made[-1]
    f_same, w_same, r_same = _timed(lambda: absorption.absorb(later.copy()), args.repeat)
    turn = iter(range(10 * args.repeat))
    f_new, w_new, r_new = _timed(
        lambda: absorption.absorb(later.copy(), weights=new_weights[next(turn) % 2]), args.repeat
    )
    request = absorption.mode

    def fresh():
        other = Absorption(ids, None, tol=1e-8, maxiter=10_000, n_threads=args.threads)
        other.mode = request
        return other.absorb(later.copy())

    f_fresh, w_fresh, _ = _timed(fresh, args.repeat)
    split = "{:.3f} / {:.3f}".format
    return (
        f"| {design} | {f_first:.3f} / {w_first:.3f} | {split(r_first['setup_seconds'], r_first['build_seconds'])} | "
        f"{f_same:.3f} / {w_same:.3f} | {r_same['setup_seconds']:.3f} | {f_new:.3f} / {w_new:.3f} | "
        f"{split(r_new['setup_seconds'], r_new['build_seconds'])} | {f_fresh:.3f} / {w_fresh:.3f} | "
        f"{f_fresh - f_same:.3f} / {w_fresh - w_same:.3f} | {r_first['iterations']} / {r_same['iterations']} | "
        f"{', '.join(r_same['reused'])} |"
    )


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
