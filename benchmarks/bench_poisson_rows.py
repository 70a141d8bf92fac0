"""fepois on data larger than memory: Parquet files on DuckDB under a memory limit.

    .venv/bin/python benchmarks/bench_poisson_rows.py --rows 1e8 --compare-rows 1e6

1. writes a count outcome on two regressors and three fixed effects (levels n/20,
   sqrt(n), n^0.33, as bench_scale.py's simple design; y Poisson with the log of its mean
   linear in them) as Parquet files, a chunk of rows at a time, so the data set is never
   whole in memory;
2. at --compare-rows: the in-memory fepois (the files read into pandas inside the timed
   call) and fepois from the files on DuckDB, each in its own fresh process, with the
   largest relative difference of coefficients and standard errors between them;
3. at --rows: the out-of-core case alone, one call.

Each DuckDB call runs under --memory-limit with a temporary directory of its own; the
process's peak resident memory (VmHWM) is reported with the time, the iterations and the
deviance. Prints Markdown; nothing asserts on times.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402

FML = "y ~ x1 + x2 | fe1 + fe2 + fe3"
VCOV = {"CRV1": "fe1"}
CHUNK = 5_000_000


def write_counts(n: int, directory: Path) -> str:
    """The count design at n rows as Parquet files of CHUNK rows; returns their glob."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    directory.mkdir(parents=True, exist_ok=True)
    levels = (n // 20, int(np.floor(np.sqrt(n))), int(np.floor(n**0.33)))
    effects = [0.5 * np.random.default_rng([20261209, n, 7, f]).standard_normal(g + 1) for f, g in enumerate(levels)]
    for i, start in enumerate(range(0, n, CHUNK)):
        size = min(CHUNK, n - start)
        rng = np.random.default_rng([20261209, n, i])
        fes = [rng.integers(1, g + 1, size=size, dtype=np.int64) for g in levels]
        x1 = rng.standard_normal(size)
        x2 = rng.standard_normal(size)
        eta = 0.3 * x1 - 0.2 * x2
        for fe, effect in zip(fes, effects, strict=True):
            eta += effect[fe]
        y = rng.poisson(np.exp(eta)).astype(np.float64)
        table = pa.table({"y": y, "x1": x1, "x2": x2, "fe1": fes[0], "fe2": fes[1], "fe3": fes[2]})
        pq.write_table(table, directory / f"part-{i:05d}.parquet", row_group_size=1_000_000)
    return str(directory / "part-*.parquet")


def child(args) -> None:
    """One call in this process; prints JSON with the time, the peak and the estimates."""
    import warnings

    import pandas as pd

    import vantrel

    options = {}
    if args.child == "duckdb":
        options = {"memory_limit": args.memory_limit, "temp_directory": tempfile.mkdtemp(dir=args.temp)}
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if args.child == "memory":
            frame = pd.read_parquet(os.path.dirname(args.source))
            fit = vantrel.fepois(FML, frame, vcov=VCOV)
        else:
            fit = vantrel.fepois(FML, args.source, vcov=VCOV, **options)
    seconds = time.perf_counter() - start
    print(
        json.dumps(
            {
                "seconds": seconds,
                "peak_mib": harness._peak_kib() / 1024,
                "nobs": fit.nobs,
                "beta": fit.beta.tolist(),
                "se": fit.se().tolist(),
                "deviance": fit.deviance,
                "iterations": fit.iterations["outer"],
                "inner": int(sum(fit.iterations["inner"])),
            }
        )
    )


def run(kind: str, source: str, args) -> dict:
    command = [sys.executable, __file__, "--child", kind, "--source", source]
    command += ["--memory-limit", args.memory_limit, "--temp", args.temp]
    done = subprocess.run(command, capture_output=True, text=True, timeout=args.timeout)
    if done.returncode:
        return {"error": done.stderr.strip().splitlines()[-1] if done.stderr.strip() else f"exit {done.returncode}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def _row(name: str, n: float, result: dict, reference: dict | None = None) -> str:
    if "error" in result:
        return f"| {name} | {n:.0e} | failed: {result['error']} | | | | | |"
    versus = "ref."
    if reference is not None and "error" not in reference:
        rel = max(np.max(np.abs(np.array(result[k]) / np.array(reference[k]) - 1)) for k in ("beta", "se"))
        versus = f"{rel:.1e}"
    return (
        f"| {name} | {n:.0e} | {result['seconds']:.1f} | {result['peak_mib']:,.0f} | {result['iterations']} "
        f"({result['inner']}) | {result['deviance']:.10g} | {result['nobs']:,} | {versus} |"
    )


def main(argv=None) -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=float, default=0, help="rows of the out-of-core case (0: none)")
    p.add_argument("--compare-rows", default="1e6", help="comma-separated sizes run in memory and on DuckDB")
    p.add_argument("--memory-limit", default="4GB", help="DuckDB's memory_limit")
    p.add_argument("--datadir", type=Path, default=None, help="where the Parquet files go (default: a temp dir)")
    p.add_argument("--temp", default=None, help="DuckDB's temporary directories go under this")
    p.add_argument("--timeout", type=float, default=7200)
    p.add_argument("--child", default=None, help=argparse.SUPPRESS)
    p.add_argument("--source", default=None, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.child:
        child(args)
        return
    base = args.datadir or Path(tempfile.mkdtemp(prefix="vantrel-poisson-"))
    args.temp = args.temp or str(base)
    print(
        f"- fepois {FML}, CRV1 by fe1; DuckDB's memory_limit {args.memory_limit}; {os.cpu_count()} cores; "
        f"load average at start {harness.load_text()}\n"
    )
    print(
        "| case | rows | seconds | process peak MiB | iterations (absorption's) | deviance | N | "
        "max rel. diff. of coef and SE to memory |"
    )
    print("|---|---|---|---|---|---|---|---|")
    sizes = [float(s) for s in args.compare_rows.split(",") if s]
    for n in sizes:
        source = write_counts(int(n), base / f"counts-{int(n)}")
        memory = run("memory", source, args)
        print(_row("in memory (reading the files included)", n, memory), flush=True)
        print(
            _row(f"DuckDB from Parquet, memory_limit {args.memory_limit}", n, run("duckdb", source, args), memory),
            flush=True,
        )
    if args.rows:
        source = write_counts(int(args.rows), base / f"counts-{int(args.rows)}")
        print(
            _row(f"DuckDB from Parquet, memory_limit {args.memory_limit}", args.rows, run("duckdb", source, args)),
            flush=True,
        )
    print(f"\nload average at end {harness.load_text()}")


if __name__ == "__main__":
    main()
