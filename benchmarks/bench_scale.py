"""feols on data larger than memory: DuckDB (out of core, under a memory limit) and Dask.

    .venv/bin/python benchmarks/bench_scale.py --rows 2e8 --compare-rows 1e7 --dask-rows 1e6,1e7

1. writes the simple design (3 effects, benchmarks/generators.py's distributions) as
   Parquet files, a chunk of rows at a time, so the data set is never whole in memory;
2. at each --compare-rows / --dask-rows size, every case in its own fresh process, timed
   as harness.py times the other sections: a warm-up estimate on a small file of the same
   shape, the first timed call ("fresh"), then the best of --warm further calls ("warm"):
   - in memory: the files read into pandas before the timing, and the same with the
     reading inside the timed call;
   - DuckDB from the files (reading them is part of every call) under --memory-limit: as
     feols picks without an engine named (in memory when the used columns fit the budget,
     here the memory limit), and out of core (engine="duckdb");
   - Dask on a local cluster of two worker processes (one thread each), started before
     the timing: from the files (dd.read_parquet inside every call), and from the same
     frame persisted on the workers before the timing (the rows already in the cluster's
     memory, as the in-memory path's are in the process's);
   each with its time over the in-memory estimate's in the same run (fresh over fresh,
   warm over warm), and the largest relative difference of coefficients and standard
   errors to it;
3. at --rows: the out-of-core case alone, DuckDB under its memory limit, one call.

The result's first message (where a call on the files ran, and why) is printed with the
stages.

Prints Markdown tables; nothing asserts on times.
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
WARMUP_ROWS = 20_000
# the times over an in-memory estimate's asked at 1e7 rows, (fresh, warm) alike: Dask's
# against the frame read before the timing; DuckDB's against the in-memory path with the
# reading of the same files inside its call, as DuckDB's call reads them (its time over the
# frame read before is shown too, with the same bound, as runs Y0-Y2 held it)
TARGETS = {"dask": ("memory", 3.0), "duckdb": ("memory-read", 1.5)}
CASES = {
    "memory": "in memory (pandas, read before)",
    "memory-read": "in memory, reading the files included",
    "duckdb": "DuckDB from Parquet (no engine named: in memory within the budget)",
    "duckdb-ooc": "DuckDB from Parquet, out of core (engine='duckdb')",
    "dask": "Dask from Parquet, 2 workers",
    "dask-persisted": "Dask, rows persisted on 2 workers",
}


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


def _worker_reset() -> None:
    # runs in each Dask worker process (defined in the script, so shipped by value)
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
    except OSError:
        pass


def _worker_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def _workers_start(client) -> int:
    client.run(_worker_reset)
    return sum(client.run(_worker_kib, "VmRSS").values())


def _workers_peak_mib(client, start_kib: int) -> float:
    return max(0, sum(client.run(_worker_kib, "VmHWM").values()) - start_kib) / 1024


def child(args) -> None:
    """One case in this process: a warm-up estimate on the small file, one fresh call,
    then up to --warm warm calls; prints JSON with the times, peak memory and the last
    call's estimates."""
    import gc

    import pandas as pd

    import vantrel

    kind = args.child
    client = cluster = None
    if kind.startswith("dask"):
        import dask.dataframe as dd
        from distributed import Client, LocalCluster, wait

        cluster = LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
        )
        client = Client(cluster)

    def prepare(source: str):
        """What a call starts from, made before the timing."""
        if kind == "memory":
            return pd.read_parquet(Path(source).parent)
        if kind == "dask-persisted":
            frame = dd.read_parquet(source).persist()
            wait(frame)
            return frame
        return source

    def estimate(prepared):
        if kind == "memory-read":
            prepared = pd.read_parquet(Path(prepared).parent)
        elif kind == "dask":
            prepared = dd.read_parquet(prepared)
        options = dict(memory_limit=args.memory_limit, temp_directory=args.temp) if kind.startswith("duckdb") else {}
        if kind == "duckdb-ooc":
            options["engine"] = "duckdb"
        return vantrel.feols(FML, prepared, vcov=VCOV, **options)

    if args.warmup:
        estimate(prepare(args.warmup))
    data = prepare(args.source)
    seconds, peaks, worker_peaks = [], [], []
    for i in range(1 + args.warm):
        gc.collect()
        probe = harness._PeakProbe()
        workers = _workers_start(client) if client is not None else None
        start = time.perf_counter()
        fit = estimate(data)
        seconds.append(time.perf_counter() - start)
        peaks.append(probe.finish()[0])
        if client is not None:
            worker_peaks.append(_workers_peak_mib(client, workers))
        if i == 0 and seconds[0] > args.warm_limit:
            break
    out = {
        "fresh": seconds[0],
        "warm": min(seconds[1:]) if len(seconds) > 1 else None,
        "peak_mib": max(peaks),
        "hwm_mib": harness._peak_kib() / 1024,
        "workers_peak_mib": max(worker_peaks) if worker_peaks else None,
        "nobs": fit.nobs,
        "beta": fit.beta.tolist(),
        "se": fit.se().tolist(),
        "timings": fit.timings,
        "absorption": {k: v for k, v in fit.absorption.items() if isinstance(v, (str, int, float))},
        "where": fit.messages[0] if fit.messages and fit.messages[0].startswith("estimated") else "",
    }
    if client is not None:
        client.close()
        cluster.close()
    print(json.dumps(out))


def run(kind: str, source: str, args, warmup: str | None, warm: int) -> dict:
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
        "--warm",
        str(warm),
        "--warm-limit",
        str(args.warm_limit),
    ]
    if warmup:
        command += ["--warmup", warmup]
    done = subprocess.run(command, capture_output=True, text=True, timeout=args.timeout)
    if done.returncode:
        return {"error": done.stderr.strip().splitlines()[-1] if done.stderr.strip() else f"exit {done.returncode}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def _difference(a: dict, b: dict) -> str:
    if "error" in a or "error" in b:
        return "-"
    rel = max(np.max(np.abs(np.array(a[k]) / np.array(b[k]) - 1)) for k in ("beta", "se"))
    return f"{rel:.1e}"


def _mib(value) -> str:
    return "" if value is None else f"{value:,.0f}"


def _row(kind: str, n: int, result: dict, reference: dict | None, name: str | None = None, limit=None) -> str:
    """One table line: `result` against `reference` (the in-memory estimate, or None for
    the reference itself), with the bound `limit` on both ratios (None: no target)."""
    name = name or CASES[kind]
    if "error" in result:
        return f"| {name} | {n:.0e} | failed: {result['error']} | | | | | | | |"
    fresh, warm = result["fresh"], result["warm"]
    ratios = target = verdict = ""
    if reference is not None and "error" not in reference and kind != "memory":
        values = {"fresh": fresh / reference["fresh"], "warm": harness.ratio(warm, reference["warm"])}
        ratios = f"{values['fresh']:.2f}, {harness.fmt(values['warm'], '.2f', '-')}"
        if limit is not None and n >= 10_000_000:
            target = f"≤ {limit:g}"
            missed = [name for name, v in values.items() if v is not None and v > limit]
            verdict = "met" if not missed else "missed (" + ", ".join(missed) + ")"
    versus = _difference(result, reference) if reference is not None and kind != "memory" else "ref."
    return (
        f"| {name} | {n:.0e} | {fresh:.2f} | {harness.fmt(warm, '.2f', '-')} | {_mib(result['peak_mib'])} | "
        f"{_mib(result.get('workers_peak_mib'))} | {ratios or 'ref.'} | {target} | {verdict} | {versus} |"
    )


def _rows(kind: str, n: int, result: dict, done: dict) -> list[str]:
    """The lines of one case: against the frame read before the timing and, where the
    target is held against the in-memory path reading the files too, against that."""
    base = kind.split("-")[0]
    against, limit = TARGETS.get(base, (None, None))
    if kind == "memory":
        return [_row(kind, n, result, None)]
    if against == "memory-read":
        return [
            _row(kind, n, result, done.get("memory"), limit=limit),
            _row(kind, n, result, done.get("memory-read"), f"{CASES[kind]}, over {CASES['memory-read']}", limit),
        ]
    return [_row(kind, n, result, done.get("memory"), limit=limit if against == "memory" else None)]


def _stages(kind: str, result: dict) -> str:
    if "timings" not in result:
        return ""
    stages = ", ".join(f"{k} {v:.2f}" for k, v in result["timings"].items())
    method = result.get("absorption", {}).get("method", "")
    where = f"; {result['where']}" if result.get("where") else ""
    return f"- {CASES[kind]}: {stages} ({method}{where})"


def main(argv=None) -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=float, default=2e8, help="rows of the out-of-core case (0: none)")
    p.add_argument("--compare-rows", type=float, default=1e7, help="rows of DuckDB against in memory (0: none)")
    p.add_argument("--dask-rows", default="1e6,1e7", help="rows of the Dask cases, comma separated ('' : none)")
    p.add_argument("--memory-limit", default="4GB", help="DuckDB's memory_limit")
    p.add_argument("--warm", type=int, default=3, help="warm calls after the fresh one (the best is shown)")
    p.add_argument("--warm-limit", type=float, default=120.0, help="no warm calls after a fresh call this long (s)")
    p.add_argument("--cases", default=",".join(CASES), help="cases to run, among " + ", ".join(CASES))
    p.add_argument("--datadir", type=Path, help="where the Parquet files go (default: a temporary directory)")
    p.add_argument("--timeout", type=float, default=6 * 3600)
    p.add_argument("--child", help=argparse.SUPPRESS)
    p.add_argument("--source", help=argparse.SUPPRESS)
    p.add_argument("--warmup", help=argparse.SUPPRESS)
    p.add_argument("--temp", default=None, help="DuckDB's temp_directory (default: under the data directory)")
    args = p.parse_args(argv)
    if args.child:
        child(args)
        return
    cases = [c for c in CASES if c in args.cases.split(",")]
    with tempfile.TemporaryDirectory(prefix="vantrel-scale-", dir=args.datadir) as tmp:
        root = Path(tmp)
        args.temp = args.temp or str(root / "spill")
        warmup = write_simple(WARMUP_ROWS, root / "warmup")
        print(f"- load average at start (1, 5, 15 min): {harness.load_text()}")
        print(f"- {FML}, CRV1 by fe1; DuckDB's memory_limit {args.memory_limit}; {os.cpu_count()} cores")
        print(f"- timed calls per case: one fresh, then the best of {args.warm} warm\n")
        print(
            "| case | rows | fresh s | warm s | peak MiB | workers' peak MiB | time / in memory (fresh, warm) "
            "| target | verdict | max rel. diff. of coef and se vs in memory |"
        )
        print("|---|---|---|---|---|---|---|---|---|---|")
        dask_sizes = {int(float(v)) for v in args.dask_rows.split(",") if v}
        sizes = sorted(dask_sizes | {int(args.compare_rows)} - {0})
        stages = []
        for n in sizes:
            t = time.perf_counter()
            source = write_simple(n, root / f"simple-{n}")
            print(f"| writing the Parquet files | {n:.0e} | {time.perf_counter() - t:.1f} | | | | | | | |", flush=True)
            here = [c for c in cases if not c.startswith(("dask", "duckdb"))]
            here += [c for c in cases if c.startswith("duckdb") and n == int(args.compare_rows)]
            here += [c for c in cases if c.startswith("dask") and n in dask_sizes]
            done = {}
            for kind in here:
                result = run(kind, source, args, warmup, args.warm)
                done[kind] = result
                print("\n".join(_rows(kind, n, result, done)), flush=True)
                stages.append(f"{_stages(kind, result)} at {n:.0e}")
            for path in Path(source).parent.glob("*.parquet"):
                path.unlink()
        print("\nstages of the last call (s):\n" + "\n".join(s for s in stages if not s.startswith(" at")))
        if args.rows:
            n = int(args.rows)
            t = time.perf_counter()
            source = write_simple(n, root / f"simple-{n}")
            print(f"\n| writing the Parquet files | {n:.0e} | {time.perf_counter() - t:.1f} |", flush=True)
            duck = run("duckdb-ooc", source, args, None, 0)
            if "error" in duck:
                print(f"| DuckDB from Parquet, memory_limit {args.memory_limit} | {n:.0e} | failed: {duck['error']} |")
            else:
                print(
                    f"| DuckDB from Parquet, memory_limit {args.memory_limit} | {n:.0e} | {duck['fresh']:.1f} | "
                    f"process peak {duck['hwm_mib']:,.0f} MiB |"
                )
                print("\nstages (s): " + ", ".join(f"{k} {v:.1f}" for k, v in duck["timings"].items()))
        print(f"\n- load average at end: {harness.load_text()}")


if __name__ == "__main__":
    main()
