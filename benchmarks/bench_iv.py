"""Two-stage least squares with fixed effects: `vantrel.feols` against pyfixest's IV on the
same data, one endogenous regressor, two instruments and one exogenous regressor, 2 and 3
fixed effects of the simple and difficult designs (generators.py). Each case runs in a
fresh process, timed fresh (the first call there) and warm (the best of --warm more calls);
the table gives seconds and pyfixest's time over vantrel's. Run by `benchmarks/run.py`
(section "iv") or on its own:

    python benchmarks/bench_iv.py --rows 1e6 --designs simple,difficult
"""

from __future__ import annotations

import argparse
import json
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generators  # noqa: E402
import harness  # noqa: E402
from harness import fmt_or_dash, timed_calls  # noqa: E402

EFFECTS = {"simple": ["fe1", "fe2", "fe3"], "difficult": ["indiv", "firm", "year"]}
# how many times faster than pyfixest's IV vantrel's is to be, fresh and warm
TARGET = 5.0


def iv_data(design: str, n: int) -> pd.DataFrame:
    """The design's fixed effects and x1, with an endogenous regressor d (its error
    correlated with y's) driven by two instruments and the fixed effects."""
    base = getattr(generators, design)(n)
    rng = np.random.default_rng([generators.SEED, n, 77])
    z1, z2, u, v = rng.standard_normal((4, n))
    names = EFFECTS[design]
    shift = sum(np.cos(base[name] * (k + 1.0)) for k, name in enumerate(names))
    d = 0.6 * z1 + 0.4 * z2 + 0.3 * base["x1"] + shift + v + 0.5 * u
    y = base["y"] + 1.5 * d + u
    frame = {"y": y, "x1": base["x1"], "d": d, "z1": z1, "z2": z2}
    frame.update({name: base[name] for name in names})
    return pd.DataFrame(frame)


def child(design: str, n: int, k: int, estimator: str, warm: int) -> dict:
    data = iv_data(design, n)
    effects = " + ".join(EFFECTS[design][:k])
    fml = f"y ~ x1 | {effects} | d ~ z1 + z2"
    if estimator == "vantrel":
        import vantrel

        fresh, best, fit = timed_calls(lambda: vantrel.feols(fml, data, vcov="hetero"), warm)
        coef, se = float(fit.coef()["d"]), float(fit.se()["d"])
        extra = {"first_stage_F": float(fit.iv_diagnostics()["first_stage_F[d]"])}
        # a covariance after the fit: the second stage's block formed from the kept rows
        # and the cluster sums, without estimating again
        start = time.perf_counter()
        fit.with_vcov({"CRV1": EFFECTS[design][0]})
        extra["with_vcov"] = time.perf_counter() - start
    else:
        import pyfixest as pf

        # pyfixest's default demeaner (alternating projections) and its LSMR "within" one,
        # which converges where the former stops at its iteration limit (difficult design)
        kw = {"demeaner": pf.LsmrDemeaner(backend="within")} if estimator == "pyfixest-within" else {}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fresh, best, fit = timed_calls(lambda: pf.feols(fml, data, vcov="hetero", **kw), warm)
        coef, se = float(fit.coef()["d"]), float(fit.se()["d"])
        extra = {}
    return {"fresh": fresh, "warm": best, "coef": coef, "se": se, **extra}


def run_child(design, n, k, estimator, warm, timeout):
    return harness.run_case_child(__file__, design, n, k, estimator, warm, timeout)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", default="1e6", help="comma-separated sizes")
    p.add_argument("--designs", default="simple,difficult")
    p.add_argument("--effects", default="2,3")
    p.add_argument("--warm", type=int, default=2)
    p.add_argument("--peers", default="pyfixest,pyfixest-within")
    p.add_argument("--timeout", type=float, default=1800)
    p.add_argument("--child", default=None, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.child:
        design, n, k, estimator = args.child.split(",")
        print(json.dumps(child(design, int(n), int(k), estimator, args.warm)))
        return
    print(
        "2SLS, y ~ x1 | fixed effects | d ~ z1 + z2, vcov hetero; seconds, fresh process, "
        f"fresh call then best of {args.warm} warm; ratio = peer / vantrel (target: {TARGET:g}x); "
        "with_vcov: vantrel's covariance clustered by the first effect after the fit"
    )
    print("| design | rows | effects | vantrel fresh | vantrel warm | with_vcov | peer | peer fresh | peer warm | "
          "ratio fresh | ratio warm | target | coef d (vantrel - peer) |")  # fmt: skip
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for rows in args.rows.split(","):
        n = int(float(rows))
        for design in args.designs.split(","):
            for k in (int(v) for v in args.effects.split(",")):
                own = run_child(design, n, k, "vantrel", args.warm, args.timeout)
                head = f"| {design} | {n:.0e} | {k} | "
                if "error" in own:
                    print(head + f"(failed: {own['error']}) | | | | | | | | | |", flush=True)
                    continue
                head += f"{own['fresh']:.2f} | {fmt_or_dash(own['warm'])} | {own['with_vcov']:.2f} | "
                for peer_name in args.peers.split(","):
                    peer = run_child(design, n, k, peer_name, args.warm, args.timeout)
                    if "error" in peer:
                        print(head + f"{peer_name} | (failed: {peer['error']}) | | | | | |", flush=True)
                        continue
                    fresh = peer["fresh"] / own["fresh"]
                    warm = None if own["warm"] is None else peer["warm"] / own["warm"]
                    met = "met" if min(fresh, fresh if warm is None else warm) >= TARGET else "missed"
                    print(
                        head + f"{peer_name} | {peer['fresh']:.2f} | {fmt_or_dash(peer['warm'])} | {fresh:.2f} | "
                        f"{fmt_or_dash(warm)} | {met} | {own['coef'] - peer['coef']:.1e} |",
                        flush=True,
                    )


if __name__ == "__main__":
    main()
