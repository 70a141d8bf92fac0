"""vantrel against its peers: `make bench` (1e5 and 1e6 rows) and `make bench-large`
(adds 1e7).  See benchmarks/README.md for the scenarios and what each column means.

Sections, in the order they run (--only picks some):
  kernel-sweep  bench_kernel.py: vantrel's own sweep / CG / memory-floor benchmark
  kernel        demeaning the same matrix with vantrel's two kernels (sweeps with CG,
                and the coefficient-space solver), pyfixest and pyhdfe
  e2e           whole estimations: tolvane (both solvers), pyfixest feols,
                linearmodels AbsorbingLS
  absorption    bench_absorption.py: one sample absorbed block after block, the first
                block (set-up and solve) against later blocks through the same
                Absorption and fresh ones (1e6 rows; 1e7 with --large)
  iv            bench_iv.py: two-stage least squares (one endogenous regressor, two
                instruments, 2 and 3 effects, simple and difficult designs) against
                pyfixest's IV, fresh and warm, with the 5x target, and the time of
                a clustered covariance after the fit (1e6 rows; 1e6 and 1e7 with
                --large)
  poisson       bench_poisson.py: fepois on a count outcome (2 and 3 effects, simple and
                difficult designs) against pyfixest's fepois, with vantrel's default
                separation checks and with pyfixest's ("fe"), fresh and warm (1e6 rows;
                1e7 with --large)
  bootstrap     bench_bootstrap.py: the wild cluster bootstrap, B=9999 at 1e6 rows, 50
                clusters, 3 fixed effects, and against pyfixest's wildboottest at 1e5
                rows with one 50-level fixed effect
  multi         bench_multi.py: y ~ csw(x1..x5) | fe1 + fe2 + fe3 and five outcomes
                against the single model, and pyfixest's multiple estimation of the same
                models (1e6 rows; 1e7 with --large)
  slopes        bench_slopes.py: feols with varying slopes (1e4 firms carrying a slope
                on z) against the same model without them, one and two effects
                (1e6 rows; 1e7 with --large), with the ratio and its target (3x)
  contention    contention.py: nt=1 against nt=2 for vantrel's two kernels with two
                busy competitor processes and without, OMP_WAIT_POLICY unset,
                passive and active (difficult design at 1e5 rows, simple at 1e6,
                3 effects)
  stages        stage_profile.py: where the time of whole tolvane calls goes, standard
                errors and table included, on bench_driver.py's design and on the
                simple design with 3 effects; then bench_driver.py's own stage timing
                (all 1e7 rows unless --stage-rows)
  inference     bench_inference.py: CRV3 with fixed effects not nested in the clusters,
                vantrel against pyfixest's refit per cluster (1e5 rows, 50 clusters)
  scale         bench_scale.py: feols from Parquet files on DuckDB and on a local Dask
                cluster of 2 workers (from the files and from rows persisted on the
                workers) against the in-memory path in the same run, fresh and warm, with
                the ratios and their targets (1e6 rows; 1e7 with --large); then DuckDB
                alone out of core under a 4 GB limit (2e8 rows with --large, or
                --scale-rows)
  poisson-scale bench_poisson_rows.py: fepois from Parquet files on DuckDB under a 4 GB
                limit against the in-memory fepois (1e6 rows; 1e7 with --large), then
                DuckDB alone out of core (1e8 rows with --large), time and peak memory

Every timed case runs in a fresh subprocess (harness.py), timed fresh (the first call
in that process) and warm (the best of --warm further calls); nothing here asserts on
times.  The kernel and e2e sections end with the speed-ups of the coefficient-space
solver over its peers, from the rows of the same run.  Tables go to stdout as they
fill, and with --output to a Markdown file.
"""

from __future__ import annotations

import argparse
import io
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402
from generators import MODELS  # noqa: E402

SECTIONS = (
    "kernel-sweep",
    "kernel",
    "e2e",
    "absorption",
    "iv",
    "poisson",
    "bootstrap",
    "multi",
    "slopes",
    "contention",
    "stages",
    "inference",
    "scale",
    "poisson-scale",
)
KERNEL_ESTIMATORS = [
    "vantrel-kernel",
    "vantrel-coef-kernel",
    "pyfixest-map-kernel",
    "pyfixest-within-kernel",
    "pyhdfe-kernel",
]
E2E_ESTIMATORS = ["vantrel", "vantrel-coef", "vantrel-feols", "pyfixest", "pyfixest-within", "linearmodels"]
# Peers too slow for the large sizes: pyhdfe is pure NumPy, AbsorbingLS builds sparse
# dummy matrices (100 s already for the difficult 3-effect case at 1e5 rows).  On the
# grid design pyhdfe already takes 25-30 s a call at 1e5 rows (it runs the method of
# vantrel's accelerated kernel, whose row shows the same at the larger sizes), and
# AbsorbingLS had not finished the 2-effect case at 1e5 rows after 5 minutes.
MAX_ROWS = {
    "pyhdfe-kernel": 1_000_000,
    "linearmodels": 100_000,
    ("pyhdfe-kernel", "grid"): 100_000,
    ("linearmodels", "grid"): 0,
    # The banded design's chains take alternating projections tens of thousands of sweeps:
    # vantrel's accelerated sweeps and pyfixest's MAP do not converge (in 1,000 iterations,
    # or at all) already at 1e5 rows, where they are shown once; pyhdfe runs the method of
    # the former in NumPy, and AbsorbingLS had not finished at 1e5 rows after 5 minutes.
    ("vantrel-kernel", "banded3"): 100_000,
    ("pyfixest-map-kernel", "banded3"): 100_000,
    ("pyhdfe-kernel", "banded3"): 0,
    ("vantrel", "banded3"): 100_000,
    ("pyfixest", "banded3"): 100_000,
    ("linearmodels", "banded3"): 0,
}
# The kernel section also demeans bench_kernel.py's own matrix (rows sorted by the
# effect with ~10-row groups, ~10,000-row groups scattered over all rows).
KERNEL_DESIGNS = {**MODELS, "bench_kernel": [("2 FE", ["x1", "x2"], ["fe_small", "fe_large"])]}
DESIGNS = list(KERNEL_DESIGNS)
PEERS = ["numpy", "pandas", "scipy", "pyfixest", "pyhdfe", "linearmodels", "vantrel"]

# What the coefficient-space solver is measured against, per section: its row, then
# each peer with the cases where a minimum speed-up is asked of it, as (design, sizes
# or None for all, models or None for all, minimum).  Peers without such cases are
# shown for information.
SPEEDUPS = {
    "kernel": (
        "vantrel-coef-kernel",
        [
            ("pyfixest-map-kernel", [("simple", {10_000_000}, {"3 FE"}, 2.0)]),
            (
                "pyfixest-within-kernel",
                [
                    ("difficult", {1_000_000, 10_000_000}, None, 5.0),
                    ("grid", None, None, 1.0),
                    ("banded3", {1_000_000, 10_000_000}, None, 5.0),
                ],
            ),
            ("vantrel-kernel", []),
        ],
    ),
    "e2e": (
        "vantrel-coef",
        [
            ("pyfixest-within", [("difficult", {10_000_000}, None, 3.0)]),
            ("pyfixest", []),
            ("vantrel", []),
        ],
    ),
    # the formula front door against pyfixest's own: 5x on every size from 1e6, and never
    # more memory (peak over the peer's, at most 1)
    "e2e-feols": (
        "vantrel-feols",
        [
            ("pyfixest", [("simple", {1_000_000, 10_000_000}, None, 5.0)]),
            (
                "pyfixest-within",
                [("difficult", {1_000_000, 10_000_000}, None, 5.0), ("banded3", {1_000_000, 10_000_000}, None, 5.0)],
            ),
            ("vantrel-coef", []),
        ],
    ),
}
# the most conjugate-gradient iterations the coefficient-space solver may take, by design
ITERATION_LIMITS = {"banded3": 60}
# sections whose subject's peak memory is held against every peer's
PEAK_NOT_ABOVE_PEERS = {"e2e-feols"}
# the solver's own peak memory over the size of the matrix it demeans, at most
SOLVER_MEMORY_LIMIT = 0.5


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--large", action="store_true", help="add 1e7 rows to the sizes")
    p.add_argument(
        "--sizes",
        type=lambda s: [int(float(v)) for v in s.split(",")],
        default=[100_000, 1_000_000],
        help="comma-separated row counts (default 1e5,1e6)",
    )
    p.add_argument(
        "--only",
        type=lambda s: s.split(","),
        default=list(SECTIONS),
        help="comma-separated sections among " + ", ".join(SECTIONS),
    )
    p.add_argument(
        "--threads",
        type=int,
        default=os.cpu_count() or 1,
        help="threads for every package (OMP/RAYON/NUMBA/BLAS variables); default nproc",
    )
    p.add_argument(
        "--warm",
        type=int,
        default=3,
        help="timed calls per case after the fresh one, the fastest kept as the warm time (default 3)",
    )
    p.add_argument(
        "--warm-limit",
        type=float,
        default=60,
        help="no warm calls for a case whose fresh call took longer than this many seconds "
        "(default 60: the peers that fail to converge at 1e6-1e7 rows run for minutes)",
    )
    p.add_argument("--timeout", type=float, default=1800, help="seconds before a case is abandoned")
    p.add_argument(
        "--sorted",
        action="store_true",
        help="kernel section: rows sorted by the effect with most levels (as tolvane "
        "hands them to the kernel) instead of in the generator's scattered order",
    )
    p.add_argument(
        "--skip",
        type=lambda s: s.split(","),
        default=[],
        help="comma-separated estimators to leave out, each optionally as "
        "ESTIMATOR@DESIGN (e.g. vantrel-kernel@difficult: the sweeps that do not "
        "converge at 1e7 rows)",
    )
    p.add_argument(
        "--designs",
        type=lambda s: s.split(","),
        default=None,
        help="comma-separated data designs among " + ", ".join(DESIGNS) + " (default all)",
    )
    p.add_argument(
        "--contention-sizes",
        type=lambda s: [int(float(v)) for v in s.split(",")],
        default=[100_000, 1_000_000],
        help="rows of the contention section's difficult and simple data (default 1e5,1e6)",
    )
    p.add_argument("--stage-rows", default="1e7", help="rows of the stage profile (default 1e7)")
    p.add_argument(
        "--scale-rows",
        type=float,
        default=None,
        help="rows of the out-of-core DuckDB case (default: 2e8 with --large, none without)",
    )
    p.add_argument("--output", type=Path, help="also write the report as Markdown to this file")
    args = p.parse_args(argv)
    unknown = set(args.only) - set(SECTIONS)
    if unknown:
        p.error(f"unknown section(s) {sorted(unknown)}; choose from {', '.join(SECTIONS)}")
    if args.designs is not None and set(args.designs) - set(DESIGNS):
        p.error(f"unknown design(s) {sorted(set(args.designs) - set(DESIGNS))}; choose from {', '.join(DESIGNS)}")
    if len(args.contention_sizes) != 2:
        p.error("--contention-sizes takes two row counts: difficult,simple")
    if args.large and 10_000_000 not in args.sizes:
        args.sizes.append(10_000_000)
    return args


class Report:
    """Prints as it goes and keeps the Markdown for --output."""

    def __init__(self):
        self.buf = io.StringIO()

    def __call__(self, text=""):
        print(text, flush=True)
        self.buf.write(text + "\n")


def run_script(report, name, extra_args, threads, timeout, markdown=False):
    """Run a sibling benchmark script with the same thread settings and copy its output
    into the report (inside a code block unless it prints Markdown itself)."""
    path = HERE / name
    if not path.exists():
        report(f"{name} is not in the tree: section skipped.\n")
        return
    t0 = time.perf_counter()
    proc = subprocess.run(
        [sys.executable, str(path), *extra_args],
        env=harness.child_env(threads),
        text=True,
        capture_output=True,
        timeout=timeout,
    )
    fence = "" if markdown else "```"
    report(fence)
    report(proc.stdout.rstrip())
    if proc.returncode != 0:
        report(proc.stderr.rstrip()[-2000:])
    report(fence)
    report(f"({name} {' '.join(extra_args)}: exit {proc.returncode}, {time.perf_counter() - t0:.0f} s)\n")


def run_grid(report, estimators, designs, sizes, args, datadir, kernel=False):
    rows_all = []
    for design, models in designs.items():
        if args.designs is not None and design not in args.designs:
            continue
        for n in sizes:
            path = harness.write_dataset(design, n, datadir)
            for label, x, fes in models:
                rows = []
                for est in estimators:
                    if n > MAX_ROWS.get((est, design), MAX_ROWS.get(est, float("inf"))):
                        continue
                    if est in args.skip or f"{est}@{design}" in args.skip:
                        continue
                    case = {
                        "estimator": est,
                        "data": str(path),
                        "x": x,
                        "fes": fes,
                        "sorted": args.sorted,
                        "warm": args.warm,
                        "warm_limit": args.warm_limit,
                        # each extra tolvane run at 1e7 costs as much as the timed one
                        "iterations": "exact" if n <= 1_000_000 else "bracket",
                    }
                    r = harness.run_case(case, args.threads, args.timeout)
                    r.update(estimator=est, design=design, n=n, data=f"{design} n={n:.0e}", model=label)
                    rows.append(r)
                    status = r.get("error") or (
                        f"{r['fresh']:.3f} s fresh, {harness.fmt(r['warm'], '.3f', 'no')} s warm"
                    )
                    print(f"  {design} n={n:.0e} {label} {est}: {status}", file=sys.stderr, flush=True)
                harness.compare(rows, estimators)
                rows_all.extend(rows)
    report(harness.markdown_table(rows_all, kernel=kernel))
    report()
    return rows_all


def _target(rules, row):
    for design, sizes, models, minimum in rules:
        if (
            design == row["design"]
            and (sizes is None or row["n"] in sizes)
            and (models is None or row["model"] in models)
        ):
            return minimum
    return None


def _verdict(values, ok):
    """met when every measured value passes; which timing missed otherwise."""
    missed = [name for name, v in values.items() if v is not None and not ok(v)]
    if not any(v is not None for v in values.values()):
        return "not measured"
    return "missed (" + ", ".join(missed) + ")" if missed else "met"


def _iterations_made(text):
    """The count at the head of a coefficient-space solver's iterations column ("12 (exact
    full)"), or None."""
    head = str(text).split(" ", 1)[0] if text is not None else ""
    return int(head) if head.isdigit() else None


def speedup_table(rows, section):
    """The coefficient-space solver's speed-ups over its peers, case by case: the
    peer's time over the solver's, fresh and warm, from the rows of this run, with the
    minimum asked where there is one (and, for kernels, its peak memory over the
    input matrix's size)."""
    subject, peers = SPEEDUPS[section]
    name = harness.label(subject)
    lines = [
        f"Speed-ups of {name}: the other estimator's time over its time, in the same run "
        f"(above 1: {name} is faster).\n",
        "| data | model | over | fresh | warm | target | verdict |",
        "|" + "---|" * 7,
    ]
    cases = {}
    for r in rows:
        cases.setdefault((r["data"], r["model"]), {})[r["estimator"]] = r
    for (data, model), by_est in cases.items():
        own = by_est.get(subject)
        if own is None:
            continue
        if "error" in own:
            lines.append(f"| {data} | {model} | (failed: {own['error']}) | | | converges | missed |")
            continue
        for peer, rules in peers:
            other = by_est.get(peer)
            if other is None:
                continue
            minimum = _target(rules, own)
            target = "" if minimum is None else f"≥ {minimum:g}"
            if "error" in other:
                lines.append(f"| {data} | {model} | {harness.label(peer)} (failed) | | | {target} | |")
                continue
            fresh = other["fresh"] / own["fresh"]
            warm = harness.ratio(other["warm"], own["warm"])
            note = " (not converged)" if other.get("iterations") == "not converged" else ""
            verdict = "" if minimum is None else _verdict({"fresh": fresh, "warm": warm}, lambda v, m=minimum: v >= m)
            lines.append(
                f"| {data} | {model} | {harness.label(peer)}{note} | {fresh:.2f} | "
                f"{harness.fmt(warm, '.2f', '-')} | {target} | {verdict} |"
            )
            if section in PEAK_NOT_ABOVE_PEERS and not peer.startswith("vantrel"):
                over = own["peak_mib"] / other["peak_mib"]
                lines.append(
                    f"| {data} | {model} | peak memory over {harness.label(peer)} | {over:.2f} | | ≤ 1 | "
                    f"{_verdict({'peak': over}, lambda v: v <= 1)} |"
                )
        limit = ITERATION_LIMITS.get(own["design"])
        made = _iterations_made(own.get("iterations"))
        if limit is not None and made is not None:
            verdict = "met" if made <= limit else "missed"
            lines.append(f"| {data} | {model} | iterations | {made} | | ≤ {limit} | {verdict} |")
        if section == "kernel" and own.get("solve_mibs"):
            per_call = [m / own["input_mib"] for m in own["solve_mibs"]]
            values = {"fresh": per_call[0], "warm": max(per_call[1:]) if len(per_call) > 1 else None}
            lines.append(
                f"| {data} | {model} | solver peak / input matrix | {values['fresh']:.2f} | "
                f"{harness.fmt(values['warm'], '.2f', '-')} | ≤ {SOLVER_MEMORY_LIMIT:g} | "
                f"{_verdict(values, lambda v: v <= SOLVER_MEMORY_LIMIT)} |"
            )
    return "\n".join(lines)


def main(argv=None):
    args = parse_args(argv)
    report = Report()
    info = harness.machine_info(args.threads)
    report("# vantrel benchmarks\n")
    report(f"- date: {info['date']}")
    report(f"- machine: {info['cpu']}, nproc {info['nproc']}, python {info['python']}")
    report(f"- threads given to every package: {info['threads']}")
    report(f"- load average at start (1, 5, 15 min): {info['load']}")
    versions = harness.package_versions(PEERS)
    report("- versions: " + ", ".join(f"{k} {v}" for k, v in versions.items()))
    report(
        f"- sizes: {', '.join(f'{n:.0e}' for n in args.sizes)}; timed calls per case: one fresh, "
        f"then {args.warm} warm (none where the fresh call took over {args.warm_limit:g} s)\n"
    )

    t_start = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="vantrel-bench-") as tmp:
        datadir = Path(tmp)
        if "kernel-sweep" in args.only:
            report("## Kernel sweep (bench_kernel.py)\n")
            run_script(report, "bench_kernel.py", [], args.threads, args.timeout)
        if "kernel" in args.only:
            report("## Demeaning kernels on the same matrix\n")
            report(
                "Matrix [y, x...] of each scenario, demeaned by its fixed effects (no "
                "singleton removal); coefficients by least squares on the result. "
                "bench_kernel is the matrix of bench_kernel.py at the same sizes.\n"
            )
            rows = run_grid(report, KERNEL_ESTIMATORS, KERNEL_DESIGNS, args.sizes, args, datadir, kernel=True)
            report(speedup_table(rows, "kernel") + "\n")
        if "e2e" in args.only:
            report("## End to end (iid standard errors)\n")
            rows = run_grid(report, E2E_ESTIMATORS, MODELS, args.sizes, args, datadir)
            report(speedup_table(rows, "e2e") + "\n")
            report(speedup_table(rows, "e2e-feols") + "\n")
        if "absorption" in args.only:
            report("## One sample, block after block: the reusable absorption\n")
            rows = "1e7" if args.large else "1e6"
            run_script(report, "bench_absorption.py", ["--rows", rows], args.threads, args.timeout, markdown=True)
        if "inference" in args.only:
            report("## Inference after the fit: CRV3 with fixed effects\n")
            run_script(
                report,
                "bench_inference.py",
                ["--rows", "1e5", "--clusters", "50"],
                args.threads,
                args.timeout,
                markdown=True,
            )
        if "bootstrap" in args.only:
            report("## Wild cluster bootstrap\n")
            run_script(
                report,
                "bench_bootstrap.py",
                ["--rows", "1e6", "--peer-rows", "1e5"],
                args.threads,
                args.timeout,
                markdown=True,
            )
        if "iv" in args.only:
            report("## Two-stage least squares: vantrel.feols against pyfixest's IV\n")
            rows = "1e6,1e7" if args.large else "1e6"
            run_script(
                report,
                "bench_iv.py",
                ["--rows", rows, "--warm", str(args.warm)],
                args.threads,
                args.timeout * 4,
                markdown=True,
            )
        if "poisson" in args.only:
            report("## Poisson regression: vantrel.fepois against pyfixest's fepois\n")
            rows = "1e6,1e7" if args.large else "1e6"
            run_script(
                report,
                "bench_poisson.py",
                ["--rows", rows, "--warm", str(args.warm), "--timeout", str(args.timeout)],
                args.threads,
                args.timeout * 16,
                markdown=True,
            )
        if "multi" in args.only:
            report("## Multiple estimation: csw() and five outcomes against one model, and pyfixest\n")
            rows = "1e7" if args.large else "1e6"
            options = ["--rows", rows, "--fresh", "3"]
            run_script(report, "bench_multi.py", options, args.threads, args.timeout * 4, markdown=True)
        if "slopes" in args.only:
            report("## Varying slopes against the same model without them\n")
            rows = "1e7" if args.large else "1e6"
            run_script(report, "bench_slopes.py", ["--rows", rows], args.threads, args.timeout, markdown=True)
        if "contention" in args.only:
            report("## Contention: nt=1 against nt=2 beside busy processes\n")
            run_script(
                report,
                "contention.py",
                ["--difficult-rows", str(args.contention_sizes[0]), "--simple-rows", str(args.contention_sizes[1])],
                args.threads,
                args.timeout * 4,
                markdown=True,
            )
        if "stages" in args.only:
            report("## Stage profile of one estimate\n")
            for design in ("driver", "simple"):
                run_script(
                    report,
                    "stage_profile.py",
                    ["--n", args.stage_rows, "--design", design],
                    args.threads,
                    args.timeout,
                    markdown=True,
                )
            run_script(
                report,
                "stage_profile.py",
                ["--n", args.stage_rows, "--design", "simple", "--estimator", "feols"],
                args.threads,
                args.timeout,
                markdown=True,
            )
            report("bench_driver.py, the driver owner's stage timing of the same scenario:\n")
            run_script(report, "bench_driver.py", ["--n", str(int(float(args.stage_rows)))], args.threads, args.timeout)

        if "scale" in args.only:
            report("## Data larger than memory: DuckDB and Dask\n")
            # 2e8 rows from Parquet under DuckDB's 4 GB limit: about 6 minutes on 2 cores, a
            # peak below 6 GiB (the solve holds 2 bytes per row and effect, not the cells).
            rows = args.scale_rows if args.scale_rows is not None else (2e8 if args.large else 0)
            compare = "1e7" if args.large else "1e6"
            run_script(
                report,
                "bench_scale.py",
                [
                    "--rows",
                    str(rows),
                    "--compare-rows",
                    compare,
                    "--dask-rows",
                    "1e6,1e7" if args.large else "1e6",
                    "--warm",
                    str(args.warm),
                    "--datadir",
                    str(datadir),
                ],
                args.threads,
                args.timeout * 12,
                markdown=True,
            )

        if "poisson-scale" in args.only:
            report("## Poisson on data larger than memory: DuckDB\n")
            # 1e8 rows from Parquet under DuckDB's 4 GB limit; the target is a process peak
            # below 6 GiB (the solve holds 2 bytes per row and effect, as for feols)
            run_script(
                report,
                "bench_poisson_rows.py",
                [
                    "--rows",
                    "1e8" if args.large else "0",
                    "--compare-rows",
                    "1e7" if args.large else "1e6",
                    "--datadir",
                    str(datadir / "poisson"),
                ],
                args.threads,
                args.timeout * 12,
                markdown=True,
            )

    report(f"Total {time.perf_counter() - t_start:.0f} s; load average at end: {harness.load_text()}")
    if args.output:
        args.output.write_text(report.buf.getvalue())


if __name__ == "__main__":
    main()
