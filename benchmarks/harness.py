"""Measure one benchmark case in a fresh interpreter, and tabulate the results.

Every case (one estimator on one data set and one model) runs in its own
subprocess, so that

* peak memory is the case's own: the child resets the kernel's resident-set
  high-water mark (``/proc/self/clear_refs``) right before each timed call and
  reads ``VmHWM`` after it; the figure reported is that peak minus the resident
  size just before the call, i.e. what the estimator allocated on top of the
  data it was given (native allocations included, which tracemalloc misses);
  kernels also mark where their solver proper starts, so the solver's own peak
  can be set against the size of the matrix it demeans;
* no estimator profits from caches, pools or JIT code another one left behind.

Each child first runs the estimator once on a small data set of the same shape
(so lazy imports, JIT compilation and first-touch page faults of the code are
not timed), then times one call, the "fresh" one, whose memory the process has
never touched, and then ``warm`` more calls in the same process, of which the
fastest is the "warm" time.  On this virtual machine memory first touched costs
about 2 s per GiB, so the two can differ by seconds at 1e7 rows.

The child reads the data from an ``.npz`` file written once per data set by the
parent and writes its result as JSON to a file named by the parent; its stdout
is left to the estimators.
"""

from __future__ import annotations

import contextlib
import datetime
import gc
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
WARMUP_ROWS = 20_000
THREAD_ENV = ("OMP_NUM_THREADS", "NUMBA_NUM_THREADS", "RAYON_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")

# --------------------------------------------------------------------------
# machine description


def machine_info(threads: int) -> dict[str, str]:
    cpu = "unknown"
    with contextlib.suppress(OSError):
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return {
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "cpu": cpu,
        "nproc": str(os.cpu_count()),
        "threads": str(threads),
        "python": platform.python_version(),
        "load": load_text(),
    }


def load_text() -> str:
    with contextlib.suppress(OSError):
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    return "unknown"


def package_versions(names) -> dict[str, str]:
    from importlib.metadata import PackageNotFoundError, version

    out = {}
    for name in names:
        try:
            out[name] = version(name)
        except PackageNotFoundError:
            out[name] = "not installed"
    return out


# --------------------------------------------------------------------------
# memory probes (Linux /proc; ru_maxrss as the fallback, which cannot be reset)


def _status_kib(field: str) -> int | None:
    with contextlib.suppress(OSError):
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def _peak_kib() -> int:
    hwm = _status_kib("VmHWM")
    if hwm is not None:
        return hwm
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


# --------------------------------------------------------------------------
# estimators.  "kernel" estimators demean the matrix [y, x...] by the id matrix:
# fn(M, ids, case, solve_starts) returns (demeaned matrix, iterations) and calls
# solve_starts() right before the solver proper, after whatever it prepares
# (group index, the in-place copy, id conversions), so that the solver's own peak
# memory is measured too; the coefficients are taken afterwards, untimed, by least
# squares on the demeaned columns.  "model" estimators are the packages'
# estimation functions on a DataFrame: fn(frame, case) returns (coefficients,
# iterations).  iterations is None, or a function iterations(mode) giving the text
# of the iterations column: for vantrel's accelerated kernel it counts, by running
# the demeaning again after the timing, the iterations made; the coefficient-space
# solver reports them (and its preconditioner) itself; for pyfixest's demeaners
# it reports failure.


def _not_converged(mode):
    # pyfixest's low-level demeaners return a success flag instead of raising; the
    # iterations column carries it, so a timing of an unfinished demeaning is marked.
    return "not converged"


def _lstsq_coefs(demeaned: np.ndarray) -> np.ndarray:
    return np.linalg.lstsq(demeaned[:, 1:], demeaned[:, 0], rcond=None)[0]


def _vantrel_inputs(M, ids):
    """The group index and a copy of the matrix, which vantrel's kernels demean in place."""
    from vantrel.backend.morlisk import make_pointer

    return make_pointer(ids), np.array(M, order="C")


def _kernel_vantrel(M, ids, case, solve_starts):
    from vantrel.backend import quarnet

    def run(verbose=0, maxiter=1000):
        A, work = _vantrel_inputs(M, ids)
        return quarnet.MAP_NH_CG_accel(work, None, A, 1e-9, 0, maxiter, verbose, 0)

    def iterations(mode):
        try:  # the kernel's own silent counter, in the benchmark hooks built with it
            from vantrel.backend import _bench_hooks
        except ImportError:  # a build from before the hooks module
            return count_iterations(run, mode)
        A, work = _vantrel_inputs(M, ids)
        return str(_bench_hooks.demean_count(work, None, A, 1e-9, 0, 1000, 0, True))

    A, work = _vantrel_inputs(M, ids)
    solve_starts()
    return quarnet.MAP_NH_CG_accel(work, None, A, 1e-9, 0, 1000, 0, 0), iterations


def _coef_report_text(report) -> str:
    return f"{report['iterations']} ({report['preconditioner']})"


def _kernel_vantrel_coef(M, ids, case, solve_starts):
    from vantrel.backend import quarnet

    # The level ids themselves, as the other kernels get them: the solver needs no group index.
    work = np.array(M, order="C")
    solve_starts()
    report = quarnet.COEF_PCG_demean(work, None, ids, 1e-9, 0, 1000, 0, 0)
    return work, lambda mode: _coef_report_text(report)


def _kernel_pyfixest_rust(M, ids, case, solve_starts):
    from pyfixest.estimation import demean

    flist, weights = ids.astype(np.uint64), np.ones(len(M))
    solve_starts()
    out, ok = demean(M, flist, weights)
    return out, None if ok else _not_converged


def _kernel_pyfixest_within(M, ids, case, solve_starts):
    from pyfixest.core.demean import demean_within

    flist = ids.astype(np.uint32)
    solve_starts()
    out, ok, _ = demean_within(M, flist)
    return out, None if ok else _not_converged


def _kernel_pyhdfe(M, ids, case, solve_starts):
    import pyhdfe

    # Symmetric sweeps with conjugate-gradient acceleration: the same method as
    # vantrel's accelerated kernel, so the comparison is of implementations.
    # create() builds the group structures, residualize() is the solver.
    alg = pyhdfe.create(
        ids,
        drop_singletons=False,
        compute_degrees=False,
        residualize_method="map",
        options={"transform": "symmetric", "acceleration": "cg"},
    )
    solve_starts()
    return alg.residualize(M), None


def _tolvane_call(frame, case, **kw):
    from vantrel import tolvane

    return tolvane(["y"], case["x"], case["fes"], data=frame, setype="iid", print_stata_style_summary=False, **kw)


def _model_vantrel(frame, case):
    res = _tolvane_call(frame, case)

    def run(verbose=0, maxiter=1000):
        return _tolvane_call(frame, case, verb=verbose, maxsubiter=maxiter)

    return np.asarray(res.params, dtype=float).ravel(), lambda mode: count_iterations(run, mode)


def _model_vantrel_coef(frame, case):
    res = _tolvane_call(frame, case, solver="coefficients")
    # the driver passes the solver's report on; without a fixed effect there is none
    report = getattr(res, "absorption", None)
    text = "n/a" if report is None else _coef_report_text(report)
    return np.asarray(res.params, dtype=float).ravel(), lambda mode: text


def _model_vantrel_feols(frame, case):
    import vantrel

    fml = "y ~ " + " + ".join(case["x"]) + " | " + " + ".join(case["fes"])
    fit = vantrel.feols(fml, frame, vcov="iid", progress=False)
    text = _coef_report_text(fit.absorption) if "preconditioner" in fit.absorption else "n/a"
    return fit.coef()[case["x"]].to_numpy(), lambda mode: text


def count_iterations(run, mode: str = "exact") -> str:
    """Iterations of vantrel's accelerated demeaning, found without timing.

    With verbose=2 the kernel prints its iteration counter every 10th
    iteration, which brackets the count; a maximum below the true count raises
    "demeaning did not converge", so a bisection inside the bracket finds it
    exactly (at most four more runs).  mode "bracket" skips the bisection."""
    printed = _capture_fd1(lambda: run(verbose=2))
    counts = [int(m.group(1)) for m in re.finditer(r"^(\d+) \S+$", printed, re.M)]
    if not counts:
        return "?"
    # the run converged in an iteration whose counter lies in [last, last + 10)
    lo, hi = max(counts) + 1, max(counts) + 10
    if mode == "bracket":
        return f"{lo}-{hi}"

    def converges_within(maxiter):
        try:
            _capture_fd1(lambda: run(maxiter=maxiter))
            return True
        except ValueError as err:
            if "demeaning did not converge" not in str(err):
                raise
            return False

    while lo < hi:  # smallest maximum that converges = iterations made
        mid = (lo + hi) // 2
        if converges_within(mid):
            hi = mid
        else:
            lo = mid + 1
    return str(lo)


def _feols(frame, case, demeaner):
    import pyfixest as pf

    fml = "y ~ " + " + ".join(case["x"]) + " | " + " + ".join(case["fes"])
    kw = {} if demeaner is None else {"demeaner": demeaner}
    fit = pf.feols(fml, data=frame, vcov="iid", **kw)
    return fit.coef()[case["x"]].to_numpy(), None


def _model_pyfixest_default(frame, case):
    return _feols(frame, case, None)


def _model_pyfixest_within(frame, case):
    import pyfixest as pf

    return _feols(frame, case, pf.LsmrDemeaner(backend="within"))


def _model_linearmodels(frame, case):
    from linearmodels.iv.absorbing import AbsorbingLS

    absorb = frame[case["fes"]].astype("category")
    fit = AbsorbingLS(frame["y"], frame[case["x"]], absorb=absorb).fit(cov_type="unadjusted")
    return fit.params[case["x"]].to_numpy(), None


ESTIMATORS = {
    # name: (kind, function, label for the tables)
    "vantrel-kernel": ("kernel", _kernel_vantrel, "vantrel MAP_NH_CG_accel"),
    "vantrel-coef-kernel": ("kernel", _kernel_vantrel_coef, "vantrel COEF_PCG_demean"),
    "pyfixest-map-kernel": ("kernel", _kernel_pyfixest_rust, "pyfixest demean (rust MAP)"),
    "pyfixest-within-kernel": ("kernel", _kernel_pyfixest_within, "pyfixest demean_within (rust LSMR)"),
    "pyhdfe-kernel": ("kernel", _kernel_pyhdfe, "pyhdfe map+cg symmetric"),
    "vantrel": ("model", _model_vantrel, "vantrel tolvane"),
    "vantrel-coef": ("model", _model_vantrel_coef, "vantrel tolvane solver=coefficients"),
    "vantrel-feols": ("model", _model_vantrel_feols, "vantrel feols"),
    "pyfixest": ("model", _model_pyfixest_default, "pyfixest feols (default: rust MAP)"),
    "pyfixest-within": ("model", _model_pyfixest_within, "pyfixest feols (rust LSMR within)"),
    "linearmodels": ("model", _model_linearmodels, "linearmodels AbsorbingLS"),
}


# --------------------------------------------------------------------------
# the child


def _capture_fd1(fn):
    """Run fn with file descriptor 1 redirected to a temporary file (catches
    both Python prints and native printf) and return what it printed."""
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile(mode="w+b") as tmp:
        os.dup2(tmp.fileno(), 1)
        try:
            fn()
        finally:
            sys.stdout.flush()
            os.dup2(saved, 1)
            os.close(saved)
        tmp.seek(0)
        return tmp.read().decode(errors="replace")


def _load(case):
    import pandas as pd

    raw = np.load(case["data"])
    cols = ["y"] + case["x"] + case["fes"]
    kind = ESTIMATORS[case["estimator"]][0]
    if kind == "kernel":
        M = np.column_stack([raw[c] for c in ["y"] + case["x"]])
        # 0-based dense ids, as every kernel expects
        ids = np.column_stack([np.unique(raw[f], return_inverse=True)[1] for f in case["fes"]])
        if case.get("sorted"):
            # Rows in the order of the effect with most levels, as tolvane hands them to the
            # kernel; every estimator gets the same reordered matrix.
            order = np.argsort(ids[:, np.argmax(ids.max(axis=0))], kind="stable")
            M, ids = M[order], ids[order]
        return np.ascontiguousarray(M), np.ascontiguousarray(ids, dtype=np.int64)
    return (pd.DataFrame({c: raw[c] for c in cols}),)


def _warmup_data(case, kind):
    """A small data set of the case's shape with 100 levels per fixed effect.  (The
    first rows of the real data would not do: at 1e7 rows the 500,000-level effect of
    the simple design leaves nearly every one of 20,000 rows a singleton.)"""
    rng = np.random.default_rng(0)
    cols = {c: rng.standard_normal(WARMUP_ROWS) for c in ["y"] + case["x"]}
    ids = rng.integers(0, 100, size=(WARMUP_ROWS, len(case["fes"])), dtype=np.int64)
    if kind == "kernel":
        return np.column_stack(list(cols.values())), ids
    import pandas as pd

    return (pd.DataFrame({**cols, **{f: ids[:, j] for j, f in enumerate(case["fes"])}}),)


class _PeakProbe:
    """Extra resident memory of one call: its high-water mark minus the resident
    size when it started.  solve_starts() (called by kernels) begins a second count
    for the solver proper, from the resident size at that point; the first count
    keeps the whole call's peak."""

    def __init__(self):
        self.exact = _reset_peak()
        # without clear_refs the mark cannot be reset: count from the peak so far
        self.start = (_status_kib("VmRSS") if self.exact else None) or _peak_kib()
        self.prepared_peak = 0
        self.solve_start = None

    def solve_starts(self):
        self.prepared_peak = _peak_kib()
        if self.exact and _reset_peak():
            self.solve_start = _status_kib("VmRSS")

    def finish(self) -> tuple[float, float | None]:
        """(whole call, solver alone or None) in MiB."""
        peak = _peak_kib()
        whole = max(0, max(peak, self.prepared_peak) - self.start) / 1024
        solve = None if self.solve_start is None else max(0, peak - self.solve_start) / 1024
        return whole, solve


def _call(fn, kind, args, case, solve_starts):
    if kind == "kernel":
        return fn(*args, case, solve_starts)
    return fn(*args, case)


def child_main(case_path: str, result_path: str) -> None:
    case = json.loads(Path(case_path).read_text())
    kind, fn, _ = ESTIMATORS[case["estimator"]]
    args = _load(case)
    _capture_fd1(lambda: _call(fn, kind, _warmup_data(case, kind), case, lambda: None))
    walls, wholes, solves = [], [], []
    coefs, count, warm_note = None, None, None
    for i in range(1 + case.get("warm", 3)):
        if i == 1 and walls[0] > case.get("warm_limit", float("inf")):
            warm_note = f"skipped: fresh > {case['warm_limit']:.0f} s"
            break
        gc.collect()
        probe = _PeakProbe()
        t0 = time.perf_counter()
        out, count = _call(fn, kind, args, case, probe.solve_starts)
        walls.append(time.perf_counter() - t0)
        whole, solve = probe.finish()
        wholes.append(whole)
        if solve is not None:
            solves.append(solve)
        if coefs is None:  # every call computes the same; the first one's are kept
            coefs = _lstsq_coefs(out) if kind == "kernel" else out
        del out
    iterations = None
    if count is not None and case.get("iterations", "exact") != "off":
        iterations = count(case.get("iterations", "exact"))
    Path(result_path).write_text(
        json.dumps(
            {
                "fresh": walls[0],
                "warm": min(walls[1:]) if len(walls) > 1 else None,
                "warm_note": warm_note,
                "walls": walls,
                "peak_mib": max(wholes),
                "solve_mib": max(solves) if solves else None,
                "solve_mibs": solves,
                "input_mib": args[0].nbytes / 2**20 if kind == "kernel" else None,
                "iterations": iterations,
                "coefs": [float(c) for c in coefs],
            }
        )
    )


# --------------------------------------------------------------------------
# the parent


def write_dataset(design: str, n: int, directory: Path) -> Path:
    from generators import GENERATORS

    path = directory / f"{design}_{n}.npz"
    if not path.exists():
        make = _bench_kernel_problem if design == "bench_kernel" else GENERATORS[design]
        np.savez(path, **make(n))
    return path


def _bench_kernel_problem(n: int) -> dict[str, np.ndarray]:
    """The matrix and fixed effects of bench_kernel.py, so the peers demean exactly what
    vantrel's sweep benchmark demeans; the ids are read back from its group index."""
    from bench_kernel import make_problem

    x, A = make_problem(n)
    data = {"y": x[:, 0], "x1": x[:, 1], "x2": x[:, 2]}
    for j, name in enumerate(["fe_small", "fe_large"]):
        sortvec, panelmat = A[j, 0], A[j, 1]
        ids = np.empty(n, dtype=np.int64)
        ids[sortvec] = np.repeat(np.arange(len(panelmat)), panelmat[:, 1] - panelmat[:, 0] + 1)
        data[name] = ids
    return data


def child_env(threads: int, overrides: dict[str, str | None] | None = None) -> dict[str, str]:
    """This process's environment with every package's thread variables set to
    `threads`; overrides set (a value) or remove (None) further variables."""
    env = dict(os.environ)
    for var in THREAD_ENV:
        env[var] = str(threads)
    for var, value in (overrides or {}).items():
        if value is None:
            env.pop(var, None)
        else:
            env[var] = value
    return env


def run_case(case: dict, threads: int, timeout: float, env: dict[str, str | None] | None = None) -> dict:
    with tempfile.TemporaryDirectory() as tmp:
        case_path, result_path = Path(tmp) / "case.json", Path(tmp) / "result.json"
        case_path.write_text(json.dumps(case))
        try:
            proc = subprocess.run(
                [sys.executable, str(HERE / "harness.py"), str(case_path), str(result_path)],
                env=child_env(threads, env),
                capture_output=True,
                text=True,
                timeout=timeout,
            )
        except subprocess.TimeoutExpired:
            return {"error": f"timeout after {timeout:.0f} s"}
        if proc.returncode != 0 or not result_path.exists():
            last = (proc.stderr.strip().splitlines() or ["no output"])[-1]
            return {"error": last[:160]}
        return json.loads(result_path.read_text())


def ratio(a, b):
    return None if a is None or b is None else a / b


def compare(rows: list[dict], estimators: list[str]) -> None:
    """Add, to every row of one (data set, model), its fresh and warm times over the
    reference's and its largest relative coefficient difference to the reference:
    the first of `estimators` that succeeded (vantrel's accelerated kernel or
    tolvane, unless they failed, as they do where the sweeps do not converge)."""
    done = {r["estimator"]: r for r in rows if "error" not in r}
    ref = next((done[e] for e in estimators if e in done), None)
    for r in rows:
        r["reference"] = None if ref is None else ref["estimator"]
        if ref is None or "error" in r:
            r["ratio_fresh"] = r["ratio_warm"] = r["max_rel_diff"] = None
            continue
        a, b = np.asarray(r["coefs"]), np.asarray(ref["coefs"])
        r["ratio_fresh"] = ratio(r["fresh"], ref["fresh"])
        r["ratio_warm"] = ratio(r["warm"], ref["warm"])
        r["max_rel_diff"] = float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1e-300)))


def label(estimator: str) -> str:
    return ESTIMATORS[estimator][2]


def fmt(value, pattern: str, missing: str = "") -> str:
    return missing if value is None else format(value, pattern)


def markdown_table(rows: list[dict], kernel: bool = False) -> str:
    """One line per case.  Kernel tables add the solver's own peak over the size of
    the matrix it demeans (the in-place copy, group index and id conversions made
    before the solver starts are in "peak MiB" but not in this ratio)."""
    cols = ["data", "model", "estimator", "fresh s", "warm s", "iterations", "peak MiB"]
    if kernel:
        cols.append("solver peak / input")
    cols += ["time / ref. (fresh, warm)", "max rel. coef. diff vs ref."]
    lines = ["| " + " | ".join(cols) + " |", "|" + "---|" * len(cols)]
    for r in rows:
        if "error" in r:
            cells = [r["data"], r["model"], label(r["estimator"]), f"failed: {r['error']}"]
            lines.append("| " + " | ".join(cells + [""] * (len(cols) - len(cells))) + " |")
            continue
        is_ref = r["estimator"] == r["reference"]
        cells = [
            r["data"],
            r["model"],
            label(r["estimator"]),
            f"{r['fresh']:.3f}",
            fmt(r["warm"], ".3f", r.get("warm_note") or ""),
            "n/a" if r["iterations"] is None else r["iterations"],
            f"{r['peak_mib']:.0f}",
        ]
        if kernel:
            cells.append(fmt(ratio(r["solve_mib"], r["input_mib"]), ".2f"))
        times = f"{fmt(r['ratio_fresh'], '.2f', '-')}, {fmt(r['ratio_warm'], '.2f', '-')}"
        cells += ["ref." if is_ref else times, "ref." if is_ref else fmt(r["max_rel_diff"], ".1e")]
        lines.append("| " + " | ".join(cells) + " |")
    refs = sorted({label(r["reference"]) for r in rows if r.get("reference")})
    if refs:
        lines += ["", "ref.: " + "; ".join(refs) + " (the first of the vantrel rows that succeeded)."]
    return "\n".join(lines)


if __name__ == "__main__":
    child_main(sys.argv[1], sys.argv[2])


def timed_calls(call, warm: int):
    """(fresh, best warm, last result) seconds of `call` run once and then `warm` times."""
    start = time.perf_counter()
    out = call()
    fresh = time.perf_counter() - start
    best = None
    for _ in range(warm):
        start = time.perf_counter()
        out = call()
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return fresh, best, out


def run_case_child(script: str, design, n, k, estimator, warm, timeout) -> dict:
    """One case of `script` (its --child mode) in a fresh process: its last stdout line as
    JSON, or {"error": ...} when it timed out or failed."""
    command = [sys.executable, script, "--child", f"{design},{n},{k},{estimator}", "--warm", str(warm)]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=os.environ.copy())
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout:g} s"}
    if done.returncode != 0:
        return {"error": (done.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def fmt_or_dash(value, pattern=".2f") -> str:
    """`value` formatted, or "-" when it is missing."""
    return "-" if value is None else format(value, pattern)
