"""Stage profile of whole tolvane calls, standard errors and summary table included.

Every stage function that the driver module calls by name is wrapped with a timer for
the duration of one real tolvane call, so the profile is of the call itself (no
re-implementation of the pipeline, no profiler overhead).  Functions are grouped into
the stages below; time inside tolvane outside all of them is shown as "driver body".
The demeaning stage is the kernel's share; the check reported is that all other stages
together take at most a quarter of the wall time.

Designs (--design, fixed seeds):
- driver (default): bench_driver.py's scenario, y ~ x1 + x2 absorbing fe1 (~10-row groups)
  and fe2 (1,000 large groups), random ids. Well connected: the demeaning converges in
  about 6 iterations, so this is the hardest case for the quarter budget.
- simple: the "simple" generator of generators.py (fixest's benchmark design), y ~ x1
  absorbing fe1 + fe2 + fe3.
- difficult: the "difficult" generator, y ~ x1 + x2 absorbing indiv + firm (weakly
  connected; hundreds of iterations, and at 1e7 rows more than the default limit).
Standard errors: iid, and two-way clustered by the first two fixed effects (the most
expensive covariance: three cluster subsets, one of them with nearly N groups); the
regression table is printed (to /dev/null) in both.

Before each profiled call the memory the call will use is touched once (warm_heap in
bench_driver.py): on this virtual machine memory not touched recently costs about two
seconds per GiB on first touch, which would otherwise be charged to whichever stage grows
the heap first. --cold skips it.

Then one small estimate of the same kind runs (the first 100,000 rows, the fixed effect
with fewest levels there), as the harness warms up before its timings: what a process
does once, on its first estimate (the first formula parse, pandas' first column lookup
in the frame, threadpoolctl's first listing of the loaded libraries, lazy imports), is not
a stage of every call. Without it the first call showed up to 0.1 s "outside the stages"
in some runs, and never in later calls. The warm-up touches a few megabytes, so --cold
still measures the first touch of the call's own memory.

    .venv/bin/python benchmarks/stage_profile.py [--n 1e7] [--design driver] [--threads 0] [--cold]
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
    "sample building": [
        "check_variables",
        "working_frame",
        "drop_invalid_rows",
        "unique_specifications",
        "fe_names",
        "driver_threads",
        "add_fe_ids",
        "drop_singletons_and_sort_by_largest_effect",
    ],
    "group index": ["group_index"],
    "singletons": ["singleton_free_rows", "renumber_fe_ids"],
    "demeaning": ["demean"],
    "least squares": ["drop_collinear", "least_squares"],
    "covariance": ["count_nonredundant_fe", "compute_covariance"],
    "inference and fit": [
        "coefficient_inference",
        "constant_term",
        "likelihood_stats",
        "fit_measures",
        "fe_category_counts",
    ],
    "result": ["coefficient_attributes", "model_attributes"],
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
        if (
            callable(obj)
            and getattr(obj, "__module__", "").startswith("vantrel.tolvane.")
            and obj.__module__ != module.__name__
        ):
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


def profile(df, model, setype, clustvars, nt):
    from vantrel.tolvane import _tolvane

    y, x, fixedeffects = model
    with timed_stages(_tolvane) as seconds, open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        start = time.perf_counter()
        result = _tolvane.tolvane(
            y, x, fixedeffects, data=df, setype=setype, clustvars=clustvars, nt=nt, print_stata_style_summary=True
        )
        wall = time.perf_counter() - start
    seconds["driver body"] = wall - sum(seconds.values())
    return wall, seconds, result


def profile_feols(df, model, setype, clustvars, nt):
    """The same for `vantrel.feols`, from the seconds per stage it reports on its result."""
    import vantrel

    y, x, fixedeffects = model
    vcov = "iid" if setype == "iid" else {"CRV1": "+".join(clustvars)}
    start = time.perf_counter()
    result = vantrel.feols(
        f"{y[0]} ~ {' + '.join(x)} | {' + '.join(fixedeffects)}", df, vcov=vcov, n_threads=nt, progress=False
    )
    wall = time.perf_counter() - start
    seconds = {("demeaning" if stage == "absorption" else stage): value for stage, value in result.timings.items()}
    seconds["outside the stages"] = wall - sum(seconds.values())
    return wall, seconds, result


WARM_UP_ROWS = 100_000


def warm_up(df, model, setype, clustvars, nt, estimator):
    """One small estimate of the same kind (see the module text); its errors do not matter."""
    y, x, fixedeffects = model
    part = df.iloc[: min(WARM_UP_ROWS, len(df))]
    coarsest = min(fixedeffects, key=lambda name: part[name].nunique())
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink), contextlib.suppress(Exception):
        if estimator == "feols":
            import vantrel

            vcov = "iid" if setype == "iid" else {"CRV1": "+".join(clustvars)}
            vantrel.feols(f"{y[0]} ~ {' + '.join(x)} | {coarsest}", part, vcov=vcov, n_threads=nt, progress=False)
        else:
            from vantrel.tolvane import _tolvane

            _tolvane.tolvane(
                y, x, [coarsest], data=part, setype=setype, clustvars=clustvars, nt=nt, print_stata_style_summary=True
            )


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
    lines.append(
        f"All stages but demeaning: {outside / wall:.1%} of the wall time, {verdict} the "
        f"{QUARTER:.0%} budget" + ("" if verdict == "within" else f" by {outside - QUARTER * wall:.2f} s")
    )
    if verdict == "OVER":
        # the stages that, beyond an even share of the budget, push it over
        others = {s: v for s, v in seconds.items() if s != "demeaning"}
        worst = max(others, key=others.get)
        lines.append(
            f"Largest stage outside the demeaning: {worst}, {others[worst]:.2f} s "
            f"({others[worst] / wall:.1%} of the wall time)."
        )
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=lambda s: int(float(s)), default=10_000_000)
    parser.add_argument("--threads", type=int, default=0, help="kernel threads (0: the OpenMP default)")
    parser.add_argument(
        "--cold",
        action="store_true",
        help="do not touch the call's memory beforehand (see warm_heap in bench_driver.py)",
    )
    parser.add_argument("--design", choices=["driver", "simple", "difficult"], default="driver")
    parser.add_argument(
        "--estimator",
        choices=["tolvane", "feols"],
        default="tolvane",
        help="the driver (its stage functions timed) or feols (its own stage seconds)",
    )
    args = parser.parse_args(argv)
    df, model = make_design(args.design, args.n)
    from bench_driver import warm_heap

    y, x, fixedeffects = model
    print(
        f"{args.estimator}, N = {args.n:,} rows, design {args.design}: "
        f"{y[0]} ~ {' + '.join(x)} | {' + '.join(fixedeffects)}; "
        f"kernel threads {args.threads or 'default'}, "
        f"{'cold memory' if args.cold else 'memory touched just before each call'}\n"
    )
    out = {}
    pair = fixedeffects[:2]
    for label, setype, clustvars in [("iid", "iid", None), (f"two-way cluster {', '.join(pair)}", "cluster", pair)]:
        if not args.cold:
            warm_heap(args.n)
        warm_up(df, model, setype, clustvars, args.threads, args.estimator)
        try:
            run = profile_feols if args.estimator == "feols" else profile
            wall, seconds, result = run(df, model, setype, clustvars, args.threads)
        except Exception as error:  # e.g. a demeaning that does not converge: report, go on
            print(f"### {label}: failed: {type(error).__name__}: {error}\n", flush=True)
            continue
        print(report(label, wall, seconds))
        params = result.coef() if args.estimator == "feols" else result.params
        print(f"coefficients {params.round(6).tolist()}\n", flush=True)
        out[label] = {"wall": wall, "stages": seconds}
    return out


def make_design(design, n):
    """The data frame and the model (y, x, fixed effects) of one design."""
    import pandas as pd

    if design == "driver":
        from bench_driver import make_data

        return make_data(n), (["y"], ["x1", "x2"], ["fe1", "fe2"])
    from generators import GENERATORS, MODELS

    label, x, fixedeffects = {"simple": MODELS["simple"][2], "difficult": MODELS["difficult"][0]}[design]
    return pd.DataFrame(GENERATORS[design](n)), (["y"], list(x), list(fixedeffects))


if __name__ == "__main__":
    main()
