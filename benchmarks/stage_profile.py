"""Stage profile of whole tolvane calls, standard errors and summary table included.

Every stage function that the driver module calls by name is wrapped with a timer for
the duration of one real tolvane call, so the profile is of the call itself (no
re-implementation of the pipeline, no profiler overhead).  Functions are grouped into
the stages below; time inside tolvane outside all of them is shown as "driver body".
The demeaning stage is the kernel's share; the check reported is that all other stages
together take at most a quarter of the wall time.

Data: bench_driver.py's scenario (two regressors; ~10-row groups next to 1,000 large
groups, random ids), fixed seed.  Standard errors: iid, and two-way clustered by both
fixed effects (the most expensive covariance: three cluster subsets, one of them with
nearly N groups); the regression table is printed (to /dev/null) in both.

    .venv/bin/python benchmarks/stage_profile.py [--n 10000000] [--threads 0]
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

STAGES = {
    "sample building": ["check_variables", "working_frame", "drop_invalid_rows", "unique_specifications",
                        "fe_names", "gather_threads", "add_fe_ids", "sort_by_largest_effect"],
    "group index": ["group_index"],
    "singletons": ["singleton_free_rows", "renumber_fe_ids"],
    "demeaning": ["demean"],
    "least squares": ["drop_collinear", "least_squares"],
    "covariance": ["count_nonredundant_fe", "compute_covariance"],
    "inference and fit": ["coefficient_inference", "constant_term", "likelihood_stats", "fit_measures",
                          "fe_category_counts"],
    "summary": ["stata_style_summary"],
}
QUARTER = 0.25


@contextlib.contextmanager
def timed_stages(module):
    """Wrap the driver's stage functions (names bound in `module` that come from the
    vantrel.tolvane package) with timers; yields the dict of accumulated seconds."""
    stage_of = {fn: stage for stage, fns in STAGES.items() for fn in fns}
    seconds: dict[str, float] = {}
    originals = {}
    for name, obj in vars(module).items():
        if callable(obj) and getattr(obj, "__module__", "").startswith("vantrel.tolvane.") \
                and obj.__module__ != module.__name__:
            stage = stage_of.get(name, name)  # an unknown stage function shows under its name

            def wrapper(*args, _fn=obj, _stage=stage, **kwargs):
                start = time.perf_counter()
                try:
                    return _fn(*args, **kwargs)
                finally:
                    seconds[_stage] = seconds.get(_stage, 0.0) + time.perf_counter() - start

            originals[name] = obj
            setattr(module, name, functools.wraps(obj)(wrapper))
    try:
        yield seconds
    finally:
        for name, obj in originals.items():
            setattr(module, name, obj)


def profile(df, setype, clustvars, nt):
    from vantrel.tolvane import _tolvane

    with timed_stages(_tolvane) as seconds, open(os.devnull, "w") as sink, \
            contextlib.redirect_stdout(sink):
        start = time.perf_counter()
        result = _tolvane.tolvane(["y"], ["x1", "x2"], ["fe1", "fe2"], data=df, setype=setype,
                                  clustvars=clustvars, nt=nt, print_stata_style_summary=True)
        wall = time.perf_counter() - start
    seconds["driver body"] = wall - sum(seconds.values())
    return wall, seconds, result


def report(label, wall, seconds):
    lines = [f"### {label}: {wall:.2f} s wall", "", "| stage | seconds | share of wall |", "|---|---|---|"]
    order = list(STAGES) + [s for s in seconds if s not in STAGES]
    for stage in order:
        if stage in seconds:
            lines.append(f"| {stage} | {seconds[stage]:.3f} | {seconds[stage] / wall:.1%} |")
    outside = wall - seconds.get("demeaning", 0.0)
    verdict = "within" if outside <= QUARTER * wall else "OVER"
    lines.append(f"| all but demeaning | {outside:.3f} | {outside / wall:.1%} |")
    lines.append("")
    lines.append(f"All stages but demeaning: {outside / wall:.1%} of the wall time, {verdict} the "
                 f"{QUARTER:.0%} budget" + ("" if verdict == "within" else
                                            f" by {outside - QUARTER * wall:.2f} s"))
    if verdict == "OVER":
        # the stages that, beyond an even share of the budget, push it over
        others = {s: v for s, v in seconds.items() if s != "demeaning"}
        worst = max(others, key=others.get)
        lines.append(f"Largest stage outside the demeaning: {worst}, {others[worst]:.2f} s "
                     f"({others[worst] / wall:.1%} of the wall time).")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=lambda s: int(float(s)), default=10_000_000)
    parser.add_argument("--threads", type=int, default=0, help="kernel threads (0: the OpenMP default)")
    parser.add_argument("--cold", action="store_true",
                        help="do not touch the call's memory beforehand (see warm_heap in bench_driver.py)")
    args = parser.parse_args(argv)
    from bench_driver import make_data, warm_heap

    df = make_data(args.n)
    print(f"N = {args.n:,} rows, kernel threads {args.threads or 'default'}, "
          f"{'cold memory' if args.cold else 'memory touched just before each call'}\n")
    out = {}
    for label, setype, clustvars in [("iid", "iid", None),
                                     ("two-way cluster fe1, fe2", "cluster", ["fe1", "fe2"])]:
        if not args.cold:
            warm_heap(args.n)
        wall, seconds, result = profile(df, setype, clustvars, args.threads)
        print(report(label, wall, seconds))
        print(f"coefficients {result.params.round(6).tolist()}\n", flush=True)
        out[label] = {"wall": wall, "stages": seconds}
    return out


if __name__ == "__main__":
    main()
