"""feols on data larger than memory: DuckDB (out of core, under a memory limit) and Dask.

    .venv/bin/python benchmarks/bench_scale.py --rows 2e8 --compare-rows 1e7 --dask-rows 1e6,1e7

1. writes the simple design (3 effects, benchmarks/generators.py's distributions) as
   Parquet files, a chunk of rows at a time, so the data set is never whole in memory;
2. estimates it from the files with DuckDB's memory limit (default 4GB) in a fresh
   process, and reports wall time and that process's peak resident memory;
3. at --compare-rows: the same from the files against the in-memory path (the columns
   read into pandas), times and the largest relative difference of coefficients and
   standard errors;
4. at each --dask-rows: a local Dask cluster of two worker processes reads the files,
   estimates, and is compared with the in-memory path.

Prints a Markdown table; nothing asserts on times.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

FML = "y ~ x1 + x2 | fe1 + fe2 + fe3"
CHUNK = 5_000_000


def write_simple(n: int, directory: Path) -> str:
    """The simple design at n rows as Parquet files of CHUNK rows; returns their glob.
    Levels per effect follow the whole size (n/20, sqrt(n), n^0.33), each chunk draws
    its rows from its own seed."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    directory.mkdir(parents=True, exist_ok=True)
    levels = (n // 20, int(np.floor(np.sqrt(n))), int(np.floor(n**0.33)))
    effects = [np.random.default_rng([20240521, n, 99, f]).standard_normal(g + 1) for f, g in enumerate(levels)]
    for i, start in enumerate(range(0, n, CHUNK)):
        size = min(CHUNK, n - start)
        rng = np.random.default_rng([20240521, n, i])
        fes = [rng.integers(1, g + 1, size=size, dtype=np.int64) for g in levels]
        x1 = rng.standard_normal(size)
        x2 = x1**2
        mu = x1 + 0.05 * x2
        for fe, effect in zip(fes, effects, strict=True):
            mu += effect[fe]
        counts = rng.negative_binomial(0.5, 0.5 / (0.5 + np.exp(mu)))
        table = pa.table(
            {"y": np.log1p(counts.astype(np.float64)), "x1": x1, "x2": x2, "fe1": fes[0], "fe2": fes[1], "fe3": fes[2]}
        )
        pq.write_table(table, directory / f"part-{i:05d}.parquet", row_group_size=1_000_000)
    return str(directory / "part-*.parquet")


def _peak_mib() -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def child(args) -> None:
    """One estimate in this process; prints JSON with the time, peak memory and estimates."""
    import vantrel

    start = time.perf_counter()
    if args.child == "duckdb":
        fit = vantrel.feols(
            FML, args.source, vcov={"CRV1": "fe1"}, memory_limit=args.memory_limit, temp_directory=args.temp
        )
    elif args.child == "memory":
        import pandas as pd

        frame = pd.read_parquet(Path(args.source).parent)
        start = time.perf_counter()  # the estimate, not the reading
        fit = vantrel.feols(FML, frame, vcov={"CRV1": "fe1"})
    else:
        import dask.dataframe as dd
        from distributed import Client, LocalCluster

        with (
            LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
            ) as cluster,
            Client(cluster),
        ):
            start = time.perf_counter()  # the estimate, not the cluster's start
            fit = vantrel.feols(FML, dd.read_parquet(args.source), vcov={"CRV1": "fe1"})
    seconds = time.perf_counter() - start
    print(
        json.dumps(
            {
                "seconds": seconds,
                "peak_mib": _peak_mib(),
                "nobs": fit.nobs,
                "beta": fit.beta.tolist(),
                "se": fit.se().tolist(),
                "timings": fit.timings,
            }
        )
    )


def run(kind: str, source: str, args) -> dict:
    command = [
        sys.executable,
        __file__,
        "--child",
        kind,
        "--source",
        source,
        "--memory-limit",
        args.memory_limit,
        "--temp",
        args.temp,
    ]
    done = subprocess.run(command, capture_output=True, text=True, timeout=args.timeout)
    if done.returncode:
        return {"error": done.stderr.strip().splitlines()[-1] if done.stderr.strip() else f"exit {done.returncode}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def _difference(a: dict, b: dict) -> str:
    if "error" in a or "error" in b:
        return "-"
    rel = max(np.max(np.abs(np.array(a[k]) / np.array(b[k]) - 1)) for k in ("beta", "se"))
    return f"{rel:.1e}"


def _row(case: str, n: int, result: dict, versus: str = "-") -> str:
    if "error" in result:
        return f"| {case} | {n:.0e} | failed: {result['error']} | | |"
    return f"| {case} | {n:.0e} | {result['seconds']:.1f} | {result['peak_mib']:,.0f} | {versus} |"


def main(argv=None) -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=float, default=2e8, help="rows of the out-of-core case (0: none)")
    p.add_argument("--compare-rows", type=float, default=1e7, help="rows of DuckDB against in memory (0: none)")
    p.add_argument("--dask-rows", default="1e6,1e7", help="rows of the Dask cases, comma separated ('' : none)")
    p.add_argument("--memory-limit", default="4GB", help="DuckDB's memory_limit")
    p.add_argument("--datadir", type=Path, help="where the Parquet files go (default: a temporary directory)")
    p.add_argument("--timeout", type=float, default=6 * 3600)
    p.add_argument("--child", help=argparse.SUPPRESS)
    p.add_argument("--source", help=argparse.SUPPRESS)
    p.add_argument("--temp", default=None, help="DuckDB's temp_directory (default: under the data directory)")
    args = p.parse_args(argv)
    if args.child:
        child(args)
        return
    with tempfile.TemporaryDirectory(prefix="vantrel-scale-", dir=args.datadir) as tmp:
        root = Path(tmp)
        args.temp = args.temp or str(root / "spill")
        print(f"memory_limit {args.memory_limit}; {FML}, CRV1 by fe1\n")
        print("| case | rows | seconds | peak MiB | max rel. diff. of coef and se vs in memory |")
        print("|---|---|---|---|---|")
        sizes = sorted({int(float(v)) for v in args.dask_rows.split(",") if v} | {int(args.compare_rows)} - {0})
        for n in sizes:
            t = time.perf_counter()
            source = write_simple(n, root / f"simple-{n}")
            print(f"| writing the Parquet files | {n:.0e} | {time.perf_counter() - t:.1f} | | |", flush=True)
            memory = run("memory", source, args)
            print(_row("in memory (pandas)", n, memory), flush=True)
            if n == int(args.compare_rows):
                duck = run("duckdb", source, args)
                print(
                    _row(f"DuckDB from Parquet, memory_limit {args.memory_limit}", n, duck, _difference(duck, memory)),
                    flush=True,
                )
            if str(n) in {str(int(float(v))) for v in args.dask_rows.split(",") if v}:
                dask = run("dask", source, args)
                print(_row("Dask, local cluster of 2 workers", n, dask, _difference(dask, memory)), flush=True)
            for path in Path(source).parent.glob("*.parquet"):
                path.unlink()
        if args.rows:
            n = int(args.rows)
            t = time.perf_counter()
            source = write_simple(n, root / f"simple-{n}")
            print(f"| writing the Parquet files | {n:.0e} | {time.perf_counter() - t:.1f} | | |", flush=True)
            duck = run("duckdb", source, args)
            print(_row(f"DuckDB from Parquet, memory_limit {args.memory_limit}", n, duck), flush=True)
            if "timings" in duck:
                print("\nstages (s): " + ", ".join(f"{k} {v:.1f}" for k, v in duck["timings"].items()))


if __name__ == "__main__":
    main()
