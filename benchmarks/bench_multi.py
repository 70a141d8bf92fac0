"""Multiple estimation: `y ~ csw(x1, ..., x5) | fe1 + fe2 + fe3` against the single model with
all five regressors, five outcomes against one, and both against pyfixest's multiple
estimation of the same models, on the simple design (generators.py) with three extra
regressors and four extra outcomes. Targets: csw <= 1.5x the single model, five outcomes
<= 1.5x one, vantrel >= 5x faster than pyfixest. After one warm-up call of the single model
in this process each case is timed `--repeat` times, in two orders: in turn (the cases
interleaved, so a burst of load on the shared machine falls on all of them) and back to back
(a case's calls one after another, the usual warm best of k); the table has each case's first
call and its best, the ratios from the best; a call's result is let go once it is timed
(`--keep-results` keeps each case's last one alive, as the sessions before 2026-12-09
evening did). Prints a Markdown table (nothing asserts), and
with `--stages` the seconds of each stage of vantrel's last call of each case, summed over
its models (the shared stack and absorption appear once, in the first model of a group).

`--fresh K` also times each of vantrel's cases K times in fresh processes of their own (the
cases taken in turn), one call after the data are made, and prints the best and the median.
Why both: this machine is a virtual machine that hands memory freed for a few seconds back to
its host (free page reporting), and touching such memory again costs about 2.5 s per GiB. In
one process the case with the largest footprint (five outcomes: 1.5x the single model's)
touches more such memory than the calls before it freed, and pays for it in its time when the
cases are taken in turn; back to back, its later calls find what its first one freed; in a
fresh process every case starts from the same state. `--memory-held` runs the one-process
table with glibc's heap keeping what it frees (MALLOC_MMAP_MAX_=0, MALLOC_TRIM_THRESHOLD_), so
that no call pays for another's returned memory: a diagnosis of that effect, not a setting
users have.

pyfixest runs each of its cases once, in a fresh process of its own (after a warm-up on 1e4
rows for its compilation), so that one case's memory does not weigh on the next: at 1e7 rows its
five outcomes peak at about 18 GiB, and beside this process's own results the system killed
it. Its process peak is in the table."""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from generators import simple  # noqa: E402

import vantrel  # noqa: E402

CSW = "y ~ csw(x1, x2, x3, x4, x5) | fe1 + fe2 + fe3"
SINGLE = "y ~ x1 + x2 + x3 + x4 + x5 | fe1 + fe2 + fe3"
OUTCOMES = "y + y2 + y3 + y4 + y5 ~ x1 + x2 + x3 + x4 + x5 | fe1 + fe2 + fe3"


def frame(n: int) -> pd.DataFrame:
    data = pd.DataFrame(simple(n))
    rng = np.random.default_rng(11)
    for k in (3, 4, 5):
        data[f"x{k}"] = rng.standard_normal(n) + 0.1 * data["x1"]
    for k in (2, 3, 4, 5):
        data[f"y{k}"] = data["y"] + rng.standard_normal(n)
    return data


LAST: dict = {}  # each case's last result (--keep-results) or its stages
KEEP_RESULTS = False
PEER_CASES = {"csw(x1..x5): five models": CSW, "five outcomes": OUTCOMES}


def peer_child(formula: str, n: int) -> dict:
    """pyfixest's multiple estimation of `formula` in this (fresh) process: one call after a
    warm-up on 1e4 rows, and the process's peak memory. One call: at 1e7 rows a second one
    beside the memory the first left behind was killed by the system (24 GiB)."""
    import warnings

    import pyfixest as pf

    warnings.simplefilter("ignore")
    pf.feols(formula, frame(10_000))  # its compilation, not part of the timing
    data = frame(n)
    start = time.perf_counter()
    pf.feols(formula, data)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20  # GiB (Linux: KiB)
    return {"seconds": seconds, "peak": peak}


def in_child(flag: str, formula: str, n: int, timeout: float) -> subprocess.CompletedProcess:
    """This script run with `flag` (`--peer-child` or `--vantrel-child`): one case in a fresh
    process, which prints its result as the last line (`child_result`)."""
    command = [sys.executable, __file__, flag, formula, "--rows", str(n)]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout)


def child_result(done: subprocess.CompletedProcess) -> dict:
    return json.loads(done.stdout.strip().splitlines()[-1])


def peer_in_child(formula: str, n: int, timeout: float) -> dict:
    """`peer_child` in a fresh process: its result, or {"error": ...}."""
    try:
        done = in_child("--peer-child", formula, n, timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout:g} s"}
    if done.returncode != 0:
        reason = "killed (out of memory?)" if done.returncode in (-9, 137) else "failed"
        return {"error": (done.stderr.strip().splitlines() or [reason])[-1] if done.returncode > 0 else reason}
    return child_result(done)


def vantrel_child(formula: str, n: int) -> dict:
    """One vantrel call of `formula` in this (fresh) process, after the data are made."""
    data = frame(n)
    start = time.perf_counter()
    vantrel.feols(formula, data)
    return {"seconds": time.perf_counter() - start}


def fresh_runs(cases: dict, n: int, runs: int, timeout: float) -> dict:
    """Each case's seconds in `runs` fresh processes (`vantrel_child`), the cases in turn."""
    seconds: dict = {name: [] for name in cases}
    for _ in range(runs):
        for name, formula in cases.items():
            done = in_child("--vantrel-child", formula, n, timeout)
            done.check_returncode()
            seconds[name].append(child_result(done)["seconds"])
    return seconds


# glibc's heap keeps what it frees: no large block is mapped on its own and returned
HELD_MEMORY = {"MALLOC_MMAP_MAX_": "0", "MALLOC_TRIM_THRESHOLD_": str(2**62)}


def timed(name, call) -> float:
    """One call's seconds. Its result is let go after the clock stops (only its stages are
    kept), unless --keep-results: then each case's last result stays alive while the other
    cases run, and the call that replaces it frees it inside its own time. Held results
    weigh on this machine: memory the virtual machine's guest has not touched before costs
    several seconds per GiB at its first touch, and each held multiple estimation holds
    its absorbed block (800 MB for five outcomes at 1e7 rows)."""
    start = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - start
    LAST[name] = result if KEEP_RESULTS else stages(result)
    return seconds


def first_and_best(calls: dict, repeat: int, back_to_back: bool = False) -> dict:
    """Each call's first time and its best of `repeat`, the calls taken in turn (or each
    call's `repeat` back to back)."""
    times: dict = {name: [] for name in calls}
    if back_to_back:
        for name, call in calls.items():
            times[name] = [timed(name, call) for _ in range(repeat)]
    else:
        for _ in range(repeat):
            for name, call in calls.items():
                times[name].append(timed(name, call))
    return {name: (seconds[0], min(seconds)) for name, seconds in times.items()}


def stages(result) -> dict:
    """The seconds of each stage, summed over the models of `result` (a fit or Models)."""
    fits = [result] if hasattr(result, "timings") else list(result)
    out: dict = {}
    for fit in fits:
        for stage, seconds in fit.timings.items():
            out[stage] = out.get(stage, 0.0) + seconds
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", type=float, default=1e6)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-pyfixest", action="store_true")
    parser.add_argument("--stages", action="store_true", help="the stages of vantrel's last call of each case")
    parser.add_argument(
        "--keep-results", action="store_true", help="keep each case's last result alive while the others run"
    )
    parser.add_argument("--peer-timeout", type=float, default=3600.0, help="seconds for each pyfixest process")
    parser.add_argument("--fresh", type=int, default=0, help="also time each case this many times in fresh processes")
    parser.add_argument(
        "--memory-held", action="store_true", help="the one-process table with glibc's heap keeping what it frees"
    )
    parser.add_argument("--peer-child", help=argparse.SUPPRESS)  # formula: one pyfixest case, in this process
    parser.add_argument("--vantrel-child", help=argparse.SUPPRESS)  # formula: one vantrel case, in this process
    args = parser.parse_args()
    if args.peer_child:
        print(json.dumps(peer_child(args.peer_child, int(args.rows))))
        return
    if args.vantrel_child:
        print(json.dumps(vantrel_child(args.vantrel_child, int(args.rows))))
        return
    if args.memory_held and any(os.environ.get(k) != v for k, v in HELD_MEMORY.items()):
        # the allocator reads these when the process starts: run again with them
        os.execve(sys.executable, [sys.executable, *sys.argv], {**os.environ, **HELD_MEMORY})
    global KEEP_RESULTS
    KEEP_RESULTS = args.keep_results
    n = int(args.rows)
    data = frame(n)
    vantrel.feols(SINGLE, data)  # warm-up: imports, thread pool
    calls = {
        "single model, five regressors": lambda: vantrel.feols(SINGLE, data),
        "csw(x1..x5): five models": lambda: vantrel.feols(CSW, data),
        "five outcomes": lambda: vantrel.feols(OUTCOMES, data),
    }
    back_to_back = first_and_best(calls, args.repeat, back_to_back=True)
    rows = first_and_best(calls, args.repeat)  # in turn: the stages and the peer's ratios are these
    vantrel_stages = {name: stages(LAST[name]) if KEEP_RESULTS else LAST[name] for name in rows}
    LAST.clear()  # the results' blocks are not needed while the peer runs
    data = None  # the peer builds its own frame in its own process
    peers = {}
    if not args.no_pyfixest:
        for name, formula in PEER_CASES.items():
            peers[name] = peer_in_child(formula, n, args.peer_timeout)
    fresh = {}
    if args.fresh:
        fresh = fresh_runs({"single model, five regressors": SINGLE, **PEER_CASES}, n, args.fresh, args.peer_timeout)
    uptime = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    held = ", glibc's heap keeping what it frees" if args.memory_held else ""
    print(
        f"rows {n:,}, threads {os.environ.get('OMP_NUM_THREADS', 'default')}, best of {args.repeat}{held}, "
        f"uptime: {uptime}\n"
    )
    print(f"The cases in turn ({args.repeat} rounds, in this process):\n")
    print(
        "| case | vantrel first s | vantrel best s | / single model | pyfixest s (one call) "
        "| pyfixest peak GiB | pyfixest / vantrel best |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|")
    single = rows["single model, five regressors"][1]
    for name, (first, best) in rows.items():
        peer = peers.get(name)
        if peer is None:
            cells = " | | |"
        elif "error" in peer:
            cells = f" {peer['error']} | | |"
        else:
            cells = f" {peer['seconds']:.2f} | {peer['peak']:.2f} | {peer['seconds'] / best:.1f} |"
        print(f"| {name} | {first:.2f} | {best:.2f} | {best / single:.2f} |" + cells)
    print(f"\nThe same calls back to back ({args.repeat} of each case in a row, in this process):\n")
    print("| case | vantrel first s | vantrel best s | / single model |")
    print("|---|---:|---:|---:|")
    single = back_to_back["single model, five regressors"][1]
    for name, (first, best) in back_to_back.items():
        print(f"| {name} | {first:.2f} | {best:.2f} | {best / single:.2f} |")
    if fresh:
        print(f"\nvantrel in fresh processes ({args.fresh} each, the cases in turn; seconds of the call):\n")
        print("| case | best s | median s | best / single's best | median / single's median |")
        print("|---|---:|---:|---:|---:|")
        base = fresh["single model, five regressors"]
        base_best, base_median = min(base), float(np.median(base))
        for name, seconds in fresh.items():
            best, median = min(seconds), float(np.median(seconds))
            print(f"| {name} | {best:.2f} | {median:.2f} | {best / base_best:.2f} | {median / base_median:.2f} |")
    if args.stages:
        names = list(dict.fromkeys(stage for times in vantrel_stages.values() for stage in times))
        print("\n| case (last call) | " + " | ".join(f"{stage} s" for stage in names) + " |")
        print("|---|" + "---:|" * len(names))
        for name, times in vantrel_stages.items():
            print(f"| {name} | " + " | ".join(f"{times.get(stage, 0.0):.3f}" for stage in names) + " |")


if __name__ == "__main__":
    main()
