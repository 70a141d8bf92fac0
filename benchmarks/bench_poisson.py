"""Poisson regression with fixed effects: `vantrel.fepois` against pyfixest's `fepois` on
the same count data, 2 and 3 fixed effects of the simple and difficult designs
(generators.py: their regressors and effects, with a Poisson outcome drawn from them). Each
case runs in a fresh process, timed fresh (the first call there) and warm (the best of
--warm more calls); the table gives seconds, the reweighting's iterations and pyfixest's
time over vantrel's, for vantrel with its default separation checks (all three methods) and
with pyfixest's default check only ("fe": `vantrel-fe`). Run by `benchmarks/run.py` (section "poisson") or on its own:

    python benchmarks/bench_poisson.py --rows 1e6 --designs simple,difficult

`--outside` times vantrel alone in one process, splitting its warm calls into the fit's
absorptions and everything else (separation checks, the reweighting's own passes, the
covariance): `python benchmarks/bench_poisson.py --outside --designs simple --warm 5`.
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


def count_data(design: str, n: int) -> pd.DataFrame:
    """The design's effects and x1 with a count y ~ Poisson(exp(0.3 x1 - 0.2 x2 + effects)),
    x2 standard normal, each effect a smooth function of its ids (0.3 in size): counts of
    mean about 1, a third of them zero, as trade or patent panels have."""
    base = getattr(generators, design)(n)
    rng = np.random.default_rng([generators.SEED, n, 91])
    x2 = rng.standard_normal(n)
    names = EFFECTS[design]
    eta = 0.3 * base["x1"] - 0.2 * x2 + sum(0.3 * np.cos(base[name] * (k + 1.0)) for k, name in enumerate(names))
    frame = {"y": rng.poisson(np.exp(eta)).astype(np.float64), "x1": base["x1"], "x2": x2}
    frame.update({name: base[name] for name in names})
    return pd.DataFrame(frame)


def child(design: str, n: int, k: int, estimator: str, warm: int) -> dict:
    import resource

    data = count_data(design, n)
    fml = "y ~ x1 + x2 | " + " + ".join(EFFECTS[design][:k])
    if estimator.startswith("vantrel"):
        import vantrel

        # vantrel's default checks all three separation methods; "vantrel-fe" only the
        # all-zero groups, pyfixest's default check
        separation = "fe" if estimator == "vantrel-fe" else ("fe", "simplex", "relu")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # separation notices of rare all-zero groups
            fresh, best, fit = timed_calls(
                lambda: vantrel.fepois(fml, data, vcov="hetero", separation=separation), warm
            )
        iterations = fit.iterations["outer"]
    else:
        import pyfixest as pf

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fresh, best, fit = timed_calls(lambda: pf.fepois(fml, data, vcov="hetero"), warm)
        iterations = None
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20  # GiB (Linux: KiB)
    return {
        "fresh": fresh,
        "warm": best,
        "coef": float(fit.coef()["x1"]),
        "se": float(fit.se()["x1"]),
        "iterations": iterations,
        "peak": peak,
    }


def outside_absorptions(design: str, n: int, k: int, warm: int) -> dict:
    """vantrel's warm calls (default separation) split into the fit's absorptions (the
    calls of `Absorption.absorb` on blocks of the whole sample, timed by a wrapper) and
    everything else: the separation checks, the reweighting's own passes, the covariance.
    The smallest of each over `warm` calls after a first, in this process."""
    import vantrel
    from vantrel.core import absorption

    inside = [0.0]
    absorb = absorption.Absorption.absorb

    def timed(self, block, *args, **kwargs):
        start = time.perf_counter()
        try:
            return absorb(self, block, *args, **kwargs)
        finally:
            if len(block) >= 0.9 * n:  # the fit's, not the separation check's subset
                inside[0] += time.perf_counter() - start

    data = count_data(design, n)
    fml = "y ~ x1 + x2 | " + " + ".join(EFFECTS[design][:k])
    absorption.Absorption.absorb = timed
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            vantrel.fepois(fml, data, vcov="hetero")
            calls = []
            for _ in range(warm):
                inside[0] = 0.0
                start = time.perf_counter()
                vantrel.fepois(fml, data, vcov="hetero")
                total = time.perf_counter() - start
                calls.append((total, inside[0]))
    finally:
        absorption.Absorption.absorb = absorb
    return {
        "warm": min(c[0] for c in calls),
        "absorptions": min(c[1] for c in calls),
        "outside": min(c[0] - c[1] for c in calls),
    }


def run_child(design, n, k, estimator, warm, timeout):
    return harness.run_case_child(__file__, design, n, k, estimator, warm, timeout)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", default="1e6", help="comma-separated sizes")
    p.add_argument("--designs", default="simple,difficult")
    p.add_argument("--effects", default="2,3")
    p.add_argument("--warm", type=int, default=2)
    p.add_argument("--peers", default="pyfixest")
    p.add_argument("--own", default="vantrel,vantrel-fe", help="vantrel's variants, each against every peer")
    p.add_argument("--timeout", type=float, default=1800)
    p.add_argument("--child", default=None, help=argparse.SUPPRESS)
    p.add_argument(
        "--outside",
        action="store_true",
        help="vantrel alone, in this process: the warm calls' seconds in the fit's absorptions and outside them",
    )
    args = p.parse_args(argv)
    if args.outside:
        print(f"vantrel fepois (all three separation checks), best of {args.warm} warm calls; seconds")
        print("| design | rows | effects | warm | in the fit's absorptions | outside them |")
        print("|---|---|---|---|---|---|")
        for rows in args.rows.split(","):
            n = int(float(rows))
            for design in args.designs.split(","):
                for k in (int(v) for v in args.effects.split(",")):
                    out = outside_absorptions(design, n, k, args.warm)
                    print(
                        f"| {design} | {n:.0e} | {k} | {out['warm']:.3f} | {out['absorptions']:.3f} | "
                        f"{out['outside']:.3f} |",
                        flush=True,
                    )
        return
    if args.child:
        design, n, k, estimator = args.child.split(",")
        print(json.dumps(child(design, int(n), int(k), estimator, args.warm)))
        return
    print(
        "Poisson, y ~ x1 + x2 | fixed effects, vcov hetero; seconds, fresh process, fresh call then "
        f"best of {args.warm} warm; ratio = peer / vantrel; peak = the process's peak resident memory"
    )
    columns = (
        "design | rows | effects | variant | vantrel fresh | vantrel warm | IRLS iterations | vantrel peak GiB | "
        "peer | peer fresh | peer warm | peer peak GiB | ratio fresh | ratio warm | coef x1 (vantrel - peer)"
    )
    print(f"| {columns} |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for rows in args.rows.split(","):
        n = int(float(rows))
        for design in args.designs.split(","):
            for k in (int(v) for v in args.effects.split(",")):
                peers = {name: run_child(design, n, k, name, args.warm, args.timeout) for name in args.peers.split(",")}
                for variant in args.own.split(","):
                    own = run_child(design, n, k, variant, args.warm, args.timeout)
                    head = f"| {design} | {n:.0e} | {k} | {variant} | "
                    if "error" in own:
                        print(head + f"(failed: {own['error']}) | | | | | | | | | | |", flush=True)
                        continue
                    head += (
                        f"{own['fresh']:.2f} | {fmt_or_dash(own['warm'])} | {own['iterations']} | {own['peak']:.2f} | "
                    )
                    for peer_name, peer in peers.items():
                        if "error" in peer:
                            print(head + f"{peer_name} | (failed: {peer['error']}) | | | | | |", flush=True)
                            continue
                        fresh = peer["fresh"] / own["fresh"]
                        warm = None if own["warm"] is None or peer["warm"] is None else peer["warm"] / own["warm"]
                        print(
                            head
                            + f"{peer_name} | {peer['fresh']:.2f} | {fmt_or_dash(peer['warm'])} | {peer['peak']:.2f} | "
                            f"{fresh:.2f} | {fmt_or_dash(warm)} | {own['coef'] - peer['coef']:.1e} |",
                            flush=True,
                        )


if __name__ == "__main__":
    main()
