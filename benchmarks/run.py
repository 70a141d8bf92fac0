"""vantrel against its peers: `make bench` (1e5 and 1e6 rows) and `make bench-large`
(adds 1e7).  See benchmarks/README.md for the scenarios and what each column means.

Sections, in the order they run (--only picks some):
  kernel-sweep  bench_kernel.py: vantrel's own sweep / CG / memory-floor benchmark
  kernel        demeaning the same matrix with vantrel's kernel, pyfixest and pyhdfe
  e2e           whole estimations: tolvane, pyfixest feols, linearmodels AbsorbingLS
  stages        stage_profile.py: where the time of whole tolvane calls goes, standard
                errors and table included, on bench_driver.py's design and on the
                simple design with 3 effects; then bench_driver.py's own stage timing
                (all 1e7 rows unless --stage-rows)

Every timed case runs in a fresh subprocess (harness.py); nothing here asserts on
times.  Tables go to stdout as they fill, and with --output to a Markdown file.
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

SECTIONS = ("kernel-sweep", "kernel", "e2e", "stages")
KERNEL_ESTIMATORS = ["vantrel-kernel", "pyfixest-map-kernel", "pyfixest-within-kernel", "pyhdfe-kernel"]
E2E_ESTIMATORS = ["vantrel", "pyfixest", "pyfixest-within", "linearmodels"]
# Peers too slow for the large sizes: pyhdfe is pure NumPy, AbsorbingLS builds sparse
# dummy matrices (100 s already for the difficult 3-effect case at 1e5 rows).
MAX_ROWS = {"pyhdfe-kernel": 1_000_000, "linearmodels": 100_000}
# The kernel section also demeans bench_kernel.py's own matrix (rows sorted by the
# effect with ~10-row groups, ~10,000-row groups scattered over all rows).
KERNEL_DESIGNS = {**MODELS, "bench_kernel": [("2 FE", ["x1", "x2"], ["fe_small", "fe_large"])]}
PEERS = ["numpy", "pandas", "scipy", "pyfixest", "pyhdfe", "linearmodels", "vantrel"]


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--large", action="store_true", help="add 1e7 rows to the sizes")
    p.add_argument("--sizes", type=lambda s: [int(float(v)) for v in s.split(",")],
                   default=[100_000, 1_000_000], help="comma-separated row counts (default 1e5,1e6)")
    p.add_argument("--only", type=lambda s: s.split(","), default=list(SECTIONS),
                   help="comma-separated sections among " + ", ".join(SECTIONS))
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1,
                   help="threads for every package (OMP/RAYON/NUMBA/BLAS variables); default nproc")
    p.add_argument("--repeat", type=int, default=None,
                   help="timed calls per case, the fastest kept (default 3 below 1e6 rows, else 1)")
    p.add_argument("--timeout", type=float, default=1800, help="seconds before a case is abandoned")
    p.add_argument("--designs", type=lambda s: s.split(","), default=None,
                   help="comma-separated data designs among simple, difficult, bench_kernel (default all)")
    p.add_argument("--stage-rows", default="1e7", help="rows of the stage profile (default 1e7)")
    p.add_argument("--output", type=Path, help="also write the report as Markdown to this file")
    args = p.parse_args(argv)
    unknown = set(args.only) - set(SECTIONS)
    if unknown:
        p.error(f"unknown section(s) {sorted(unknown)}; choose from {', '.join(SECTIONS)}")
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
    env = dict(os.environ)
    for var in harness.THREAD_ENV:
        env[var] = str(threads)
    t0 = time.perf_counter()
    proc = subprocess.run([sys.executable, str(path), *extra_args], env=env, text=True,
                          capture_output=True, timeout=timeout)
    fence = "" if markdown else "```"
    report(fence)
    report(proc.stdout.rstrip())
    if proc.returncode != 0:
        report(proc.stderr.rstrip()[-2000:])
    report(fence)
    report(f"({name} {' '.join(extra_args)}: exit {proc.returncode}, "
           f"{time.perf_counter() - t0:.0f} s)\n")


def run_grid(report, estimators, designs, sizes, args, datadir):
    rows_all = []
    for design, models in designs.items():
        if args.designs is not None and design not in args.designs:
            continue
        for n in sizes:
            path = harness.write_dataset(design, n, datadir)
            for label, x, fes in models:
                rows = []
                for est in estimators:
                    if n > MAX_ROWS.get(est, float("inf")):
                        continue
                    case = {"estimator": est, "data": str(path), "x": x, "fes": fes,
                            "repeat": args.repeat or (3 if n < 1_000_000 else 1),
                            # each extra tolvane run at 1e7 costs as much as the timed one
                            "iterations": "exact" if n <= 1_000_000 else "bracket"}
                    r = harness.run_case(case, args.threads, args.timeout)
                    r.update(estimator=est, data=f"{design} n={n:.0e}", model=label)
                    rows.append(r)
                    status = r.get("error") or f"{r['wall']:.3f} s"
                    print(f"  {design} n={n:.0e} {label} {est}: {status}", file=sys.stderr, flush=True)
                harness.compare(rows, reference=estimators[0])
                rows_all.extend(rows)
    report(harness.markdown_table(rows_all))
    report()


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
    repeats = args.repeat or "3 below 1e6 rows, else 1"
    report(f"- sizes: {', '.join(f'{n:.0e}' for n in args.sizes)}; timed calls per case: {repeats}\n")

    t_start = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="vantrel-bench-") as tmp:
        datadir = Path(tmp)
        if "kernel-sweep" in args.only:
            report("## Kernel sweep (bench_kernel.py)\n")
            run_script(report, "bench_kernel.py", [], args.threads, args.timeout)
        if "kernel" in args.only:
            report("## Demeaning kernels on the same matrix\n")
            report("Matrix [y, x...] of each scenario, demeaned by its fixed effects (no "
                   "singleton removal); coefficients by least squares on the result. "
                   "bench_kernel is the matrix of bench_kernel.py at the same sizes.\n")
            run_grid(report, KERNEL_ESTIMATORS, KERNEL_DESIGNS, args.sizes, args, datadir)
        if "e2e" in args.only:
            report("## End to end (iid standard errors)\n")
            run_grid(report, E2E_ESTIMATORS, MODELS, args.sizes, args, datadir)
        if "stages" in args.only:
            report("## Stage profile of one estimate\n")
            for design in ("driver", "simple"):
                run_script(report, "stage_profile.py", ["--n", args.stage_rows, "--design", design],
                           args.threads, args.timeout, markdown=True)
            report("bench_driver.py, the driver owner's stage timing of the same scenario:\n")
            run_script(report, "bench_driver.py", ["--n", str(int(float(args.stage_rows)))],
                       args.threads, args.timeout)

    report(f"Total {time.perf_counter() - t_start:.0f} s; "
           f"load average at end: {harness.load_text()}")
    if args.output:
        args.output.write_text(report.buf.getvalue())


if __name__ == "__main__":
    main()
