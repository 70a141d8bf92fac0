"""Where an out-of-memory feols call spends its time: every pass of the DuckDB or Dask engine
timed inside the real call, and for DuckDB every query, beside the in-memory estimate of the
same files (read inside its call, and read before).

    .venv/bin/python benchmarks/engine_profile.py --rows 1e7 --engine duckdb
    .venv/bin/python benchmarks/engine_profile.py --rows 1e7 --engine dask

The data and model are bench_scale.py's (the simple design, 3 effects, clustered by fe1,
as Parquet files). Each engine runs in its own fresh process: a warm-up estimate on a
20,000-row file, then one fresh call and --warm warm calls, each profiled; the tables show
the fresh call and the fastest warm call. The engine's methods are wrapped by timers from
outside (the engine's code is not changed); a pass's time includes the queries it runs.
Nothing asserts on times.
"""

from __future__ import annotations

import argparse
import functools
import json
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402
from bench_scale import FML, VCOV, WARMUP_ROWS, write_simple  # noqa: E402

# the engine's passes over the rows, in the order an estimate calls them
PASSES = {
    "duckdb": [
        "build_sample",
        "drop_singletons",
        "level_counts",
        "level_rows",
        "moments",
        "spread",
        "effect_aggregates",
        "sorted_rows",
        "set_aside",
        "residualise",
        "nested",
        "residual_statistics",
        "close",
    ],
    "dask": [
        "build_sample",
        "drop_singletons",
        "level_counts",
        "level_rows",
        "moments",
        "spread",
        "effect_aggregates",
        "sorted_rows",
        "set_aside",
        "residualise",
        "nested",
        "residual_statistics",
        "close",
    ],
}


class Profile:
    """Seconds and calls per pass (outermost timer only: a pass calling another is counted
    once, in the outer one) and, for DuckDB, per query."""

    def __init__(self):
        self.passes = defaultdict(lambda: [0, 0.0])
        self.queries = defaultdict(lambda: [0, 0.0])
        self.depth = 0

    def reset(self):
        self.passes.clear()
        self.queries.clear()

    def wrap_pass(self, cls, name):
        original = getattr(cls, name, None)
        if original is None:
            return

        @functools.wraps(original)
        def timed(engine, *a, **k):
            self.depth += 1
            start = time.perf_counter()
            try:
                return original(engine, *a, **k)
            finally:
                self.depth -= 1
                if self.depth == 0:
                    entry = self.passes[name]
                    entry[0] += 1
                    entry[1] += time.perf_counter() - start

        setattr(cls, name, timed)

    def wrap_query(self, cls, name):
        original = getattr(cls, name)

        @functools.wraps(original)
        def timed(engine, sql, *a, **k):
            start = time.perf_counter()
            try:
                return original(engine, sql, *a, **k)
            finally:
                entry = self.queries[" ".join(sql.split())[:110]]
                entry[0] += 1
                entry[1] += time.perf_counter() - start

        setattr(cls, name, timed)

    def snapshot(self):
        return {
            "passes": {k: list(v) for k, v in self.passes.items()},
            "queries": {k: list(v) for k, v in self.queries.items()},
        }


def child(args) -> None:
    import gc

    import pandas as pd

    import vantrel

    profile = Profile()
    client = cluster = cls = None
    if args.engine == "duckdb":
        from vantrel.engines.duckdb import DuckDBEngine as cls

        for name in ("_run", "_arrays"):
            profile.wrap_query(cls, name)
    elif args.engine == "dask":
        import dask.dataframe as dd
        from distributed import Client, LocalCluster

        from vantrel.engines.dask import DaskEngine as cls

        cluster = LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
        )
        client = Client(cluster)
    if cls is not None:
        for name in PASSES[args.engine]:
            profile.wrap_pass(cls, name)

    def estimate(source):
        if args.engine == "memory":
            start = time.perf_counter()
            data = pd.read_parquet(Path(source).parent)
            read = time.perf_counter() - start
            fit = vantrel.feols(FML, data, vcov=VCOV)
            profile.passes["pandas.read_parquet (inside the call)"] = [1, read]
            return fit
        if args.engine == "dask":
            return vantrel.feols(FML, dd.read_parquet(source), vcov=VCOV)
        return vantrel.feols(FML, source, vcov=VCOV, memory_limit=args.memory_limit, temp_directory=args.temp)

    estimate(args.warmup)
    calls = []
    for _ in range(1 + args.warm):
        gc.collect()
        profile.reset()
        start = time.perf_counter()
        fit = estimate(args.source)
        wall = time.perf_counter() - start
        calls.append({"wall": wall, "timings": dict(fit.timings), **profile.snapshot()})
    if client is not None:
        client.close()
        cluster.close()
    print(json.dumps(calls))


def _table(calls, key, title, top=None) -> str:
    fresh = calls[0]
    warm = min(calls[1:], key=lambda c: c["wall"]) if len(calls) > 1 else None
    names = sorted(fresh[key], key=lambda k: -fresh[key][k][1])
    if top:
        names = names[:top]
    lines = [f"| {title} | calls | fresh s | share of fresh call | warm s |", "|---|---|---|---|---|"]
    for name in names:
        count, seconds = fresh[key][name]
        w = warm[key].get(name, [0, None])[1] if warm else None
        lines.append(
            f"| {name.replace('|', '/')} | {count} | {seconds:.3f} | {seconds / fresh['wall']:.0%} | "
            f"{harness.fmt(w, '.3f', '-')} |"
        )
    return "\n".join(lines)


def main(argv=None) -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=float, default=1e7)
    p.add_argument("--engine", default="duckdb", help="duckdb, dask, or both (comma separated); memory runs too")
    p.add_argument("--warm", type=int, default=2)
    p.add_argument("--memory-limit", default="4GB")
    p.add_argument("--datadir", type=Path)
    p.add_argument("--top", type=int, default=15, help="queries shown (the slowest)")
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--source", help=argparse.SUPPRESS)
    p.add_argument("--warmup", help=argparse.SUPPRESS)
    p.add_argument("--temp", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.child:
        child(args)
        return
    n = int(args.rows)
    with tempfile.TemporaryDirectory(prefix="vantrel-profile-", dir=args.datadir) as tmp:
        root = Path(tmp)
        warmup = write_simple(WARMUP_ROWS, root / "warmup")
        source = write_simple(n, root / f"simple-{n}")
        print(f"- {n:,} rows, {FML}, CRV1 by fe1; load average at start {harness.load_text()}")
        print(f"- one fresh call and the fastest of {args.warm} warm calls, each in the engine's own process\n")
        for engine in ["memory", *args.engine.split(",")]:
            command = [sys.executable, __file__, "--child", "--engine", engine, "--source", source]
            command += ["--warmup", warmup, "--warm", str(args.warm), "--memory-limit", args.memory_limit]
            command += ["--temp", str(root / "spill"), "--rows", str(args.rows)]
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode:
                print(f"{engine}: failed: {done.stderr.strip().splitlines()[-1:]}\n")
                continue
            calls = json.loads(done.stdout.strip().splitlines()[-1])
            walls = ", ".join(f"{c['wall']:.2f}" for c in calls)
            print(f"### {engine}: calls {walls} s (fresh first); load average {harness.load_text()}\n")
            stages = " | ".join(
                f"{k} {calls[0]['timings'][k]:.2f} / "
                f"{min(calls[1:], key=lambda c: c['wall'])['timings'].get(k, float('nan')):.2f}"
                if len(calls) > 1
                else f"{k} {calls[0]['timings'][k]:.2f}"
                for k in calls[0]["timings"]
            )
            print(f"feols stages (s, fresh / warm): {stages}\n")
            if calls[0]["passes"]:
                print(_table(calls, "passes", "engine pass") + "\n")
            if calls[0]["queries"]:
                print(_table(calls, "queries", "query (first 110 characters)", args.top) + "\n")
        print(f"- load average at end {harness.load_text()}")


if __name__ == "__main__":
    main()
