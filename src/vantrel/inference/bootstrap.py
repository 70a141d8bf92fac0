"""The wild cluster bootstrap of one coefficient, in the space of clusters.

The fixed effects are never turned into dummies: by Frisch-Waugh-Lovell every bootstrap
regression on the absorbed regressors X (N x K) gives the same slopes and residuals as on
the dummies, so the absorbed block the fit keeps is all it needs. The draws never touch
the rows either (Roodman, Nielsen, MacKinnon and Webb 2019, "Fast and wild"): with
a = (X'X)^-1 e_k and z = X a, one pass over the rows forms per cluster g

    S_g = X_g' u_g   (the unrestricted scores)     P_g = X_g' z_g = (X_g' X_g) a

and everything after is G x K. The restricted residuals of beta_k = r are u + d(r) z with
d(r) = (beta_k - r) / A_kk, so the scores of either bootstrap are S + d P (d = 0: WCU).
For the weights v (G x B) the bootstrap numerator and CRV1 variance are

    num = c'v,  s*_g = c_g v_g - (P A (S + d P)' v)_g,  var = ssc * sum_g s*_g^2,

c = (S + d P) a: O(G K B) for a draw set. Both are polynomials in d (of degree 1 and 2),
so their coefficients are formed once and every further null r (the confidence interval
by test inversion) costs O(B).
"""

from __future__ import annotations

import itertools
import math
import numbers
import warnings
from dataclasses import dataclass, field

import numpy as np
import pandas as pd
import scipy.sparse

from vantrel.core.absorption import Absorption, demeaning_scale
from vantrel.core.progress import Progress
from vantrel.core.sample import variable_ids
from vantrel.inference.vcov import nested_in_clusters

WEIGHTS = ("rademacher", "webb", "mammen", "normal")

# Weights drawn at once up to this many (128 MB as doubles), cluster by cluster as the
# wildboottest package lays them out, so one seed gives both the same draws; beyond, a
# block of draws at a time (the same distribution, another order of the stream).
_DRAWN_AT_ONCE = 1 << 24
# Draws per block of the G x b temporaries of the draw set.
_BLOCK = 4096
_BISECTIONS = 60
# The fixed effects' projections of the clusters' columns: the solver's tolerance and
# limit of feols's defaults, and cells (rows x clusters) per absorbed block (128 MB).
_FIXEF_TOL = 1e-10
_FIXEF_MAXITER = 10_000
_ABSORBED_CELLS = 1 << 24


@dataclass(repr=False)
class WildBootstrap:
    """The wild cluster bootstrap test of ``param = r`` (see `vantrel.results.fit.Fit.wildboottest`).

    Attributes: ``param``, ``r``, ``t`` (the CRV1 t statistic of the fit), ``pvalue``
    (the share of bootstrap draws with ``|t*| > |t|``), ``confint`` (lower, upper: the
    values of r the test at ``1 - level`` does not reject, by test inversion),
    ``level``, ``kind`` ("WCR": the null imposed; "WCU"), ``weights``, ``B`` (draws
    used), ``G`` (clusters), ``cluster``, ``enumerated`` (every Rademacher sign vector
    once, as 2**G <= B), ``ssc`` (the factor of the variances, (N-1)/(N-k) G/(G-1)),
    ``t_boot`` (the draws' t statistics).
    """

    param: str
    r: float
    t: float
    pvalue: float
    confint: tuple[float, float]
    level: float
    kind: str
    weights: str
    B: int
    G: int
    cluster: str
    enumerated: bool
    ssc: float
    t_boot: np.ndarray = field(repr=False)

    def to_series(self) -> pd.Series:
        """The results as one labelled Series."""
        lower, upper = f"{(1 - self.level) / 2 * 100:.1f}%", f"{(1 + self.level) / 2 * 100:.1f}%"
        return pd.Series(
            {
                "param": self.param,
                "r": self.r,
                "t value": self.t,
                "Pr(>|t|)": self.pvalue,
                lower: self.confint[0],
                upper: self.confint[1],
                "bootstrap": self.kind,
                "weights": self.weights,
                "B": self.B,
                "clusters": self.G,
                "cluster": self.cluster,
                "enumerated": self.enumerated,
            },
            name="wild cluster bootstrap",
        )

    def __repr__(self) -> str:
        lower, upper = self.confint
        how = "every sign vector" if self.enumerated else f"{self.weights} weights"
        return (
            f"wild cluster bootstrap ({self.kind}, {self.B:,} draws, {how}; {self.cluster}: {self.G:,} clusters)\n"
            f"H0: {self.param} = {self.r:g}   t = {self.t:.6g}   p = {self.pvalue:.6g}\n"
            f"{self.level:.0%} interval: [{lower:.6g}, {upper:.6g}]"
        )


def wild_bootstrap(
    fit,
    param: str,
    r: float = 0.0,
    cluster=None,
    B: int = 9999,
    weights: str = "rademacher",
    impose_null: bool = True,
    seed=None,
    level: float = 0.95,
    progress: bool | None = None,
) -> WildBootstrap:
    """The wild cluster bootstrap of `fit` (a least-squares `Fit`); see
    `vantrel.results.fit.Fit.wildboottest` for the arguments."""
    report = Progress(progress)
    k, r, B, level = _checked(fit, param, r, B, weights, impose_null, level)
    block = fit._sample.working
    if block is None:
        engine = fit.absorption.get("engine", "an engine out of memory")
        raise ValueError(
            f"wildboottest(): the estimate ran on {engine!r} and keeps no absorbed regressors per row, which the "
            "bootstrap reads; estimate with engine='memory' (the data in memory) to bootstrap it"
        )
    # an estimator whose rows are not least squares' (IV) refuses here
    block = fit._inference_system("wildboottest").block
    name, codes = _cluster_codes(fit, cluster)
    G = int(codes.max()) + 1
    if G < 2:
        raise ValueError(f"cluster = {name!r}: the bootstrap needs at least 2 clusters, the sample has {G}")
    rng = seed if isinstance(seed, np.random.Generator) else np.random.default_rng(seed)

    report.stage(f"wild bootstrap: scores of {G:,} clusters")
    u, X = block[:, 0], block[:, 1:]
    N, K = X.shape
    A = np.linalg.inv(X.T @ X)
    a = A[:, k]
    z = X @ a
    indicator = scipy.sparse.csr_matrix((np.ones(N), (codes, np.arange(N))), shape=(G, N))
    S = indicator @ (X * u[:, np.newaxis])  # G x K
    P = indicator @ (X * z[:, np.newaxis])  # G x K
    c0, c1 = S @ a, P @ a
    M = P @ A
    Q0, Q1 = _fixed_effect_terms(fit, codes, G, u, z, indicator, report)

    fe = list(fit.fixef_levels.values())
    k_all = K + (sum(fe) - (len(fe) - 1) if fe else 0)
    ssc = (N - 1) / (N - k_all) * G / (G - 1)
    beta_k = float(fit.beta[k])
    se = math.sqrt(ssc * float(c0 @ c0))

    enumerated = weights == "rademacher" and G < 63 and 2**G <= B
    if enumerated:
        B = 2**G
    report.stage(f"wild bootstrap: {B:,} draws")
    n0, n1, q0, q1, q2 = (np.empty(B) for _ in range(5))
    for start, v in _draws(rng, weights, G, B, enumerated):
        part = slice(start, start + v.shape[1])
        e0 = c0[:, np.newaxis] * v - M @ (S.T @ v)
        if Q0 is not None:
            e0 -= Q0 @ v
        n0[part] = c0 @ v
        q0[part] = np.einsum("gb,gb->b", e0, e0)
        if impose_null:
            e1 = c1[:, np.newaxis] * v - M @ (P.T @ v)
            if Q1 is not None:
                e1 -= Q1 @ v
            n1[part] = c1 @ v
            q1[part] = np.einsum("gb,gb->b", e0, e1)
            q2[part] = np.einsum("gb,gb->b", e1, e1)
        report.stage(f"wild bootstrap: {start + v.shape[1]:,} of {B:,} draws")

    def draws_t(value):
        if not impose_null:
            return n0 / np.sqrt(ssc * q0)
        d = (beta_k - value) / A[k, k]
        with np.errstate(invalid="ignore", divide="ignore"):
            return (n0 + d * n1) / np.sqrt(ssc * np.maximum(q0 + 2 * d * q1 + d * d * q2, 0.0))

    def p_value(value):
        t_value = (beta_k - value) / se
        # a draw whose |t*| equals |t| up to rounding (under the null the sign vectors +-1
        # reproduce the fit itself) does not exceed it
        return float(np.mean(np.abs(draws_t(value)) > abs(t_value) * (1 + 1e-10)))

    t_boot = draws_t(r)
    pvalue = p_value(r)
    report.stage("wild bootstrap: confidence interval by test inversion")
    alpha = 1 - level
    confint = (_bound(p_value, beta_k, -se, alpha, name), _bound(p_value, beta_k, se, alpha, name))
    report.stage("wild bootstrap: done")
    return WildBootstrap(
        param=param,
        r=r,
        t=(beta_k - r) / se,
        pvalue=pvalue,
        confint=confint,
        level=level,
        kind="WCR" if impose_null else "WCU",
        weights=weights,
        B=B,
        G=G,
        cluster=name,
        enumerated=enumerated,
        ssc=ssc,
        t_boot=t_boot,
    )


def _fixed_effect_terms(fit, codes, G, u, z, indicator, report):
    """The part of the bootstrap scores the fixed effects take: the weighted residuals
    u v are not orthogonal to the fixed effects (unless every effect is nested in the
    clusters, then None), and the bootstrap regression's residuals are M_D (u v) - X A S v.
    Their cluster scores lose sum_h v_h Q_gh with Q_gh = sum_{i in h} u_i W_ig, W the
    projection of z 1_g on the fixed effects; the restricted residuals u + d z make it
    Q0 + d Q1. W comes from the fit's fixed effects absorbed from the G columns z 1_g, a
    block of clusters at a time."""
    sample = fit._sample
    if not sample.fe_codes or all(nested_in_clusters(sample.fe_codes, [codes])):
        return None, None
    ids = np.asfortranarray(np.column_stack(sample.fe_codes))
    w = sample.weights
    root_w = None if w is None else np.sqrt(w)
    absorption = Absorption(ids, w, tol=_FIXEF_TOL, maxiter=_FIXEF_MAXITER)
    values = z if root_w is None else z / root_w
    scale = demeaning_scale(float(np.sqrt(np.mean(values**2))) or 1.0, lambda: float(np.abs(values).max()) or 1.0)
    rows = np.arange(len(z))
    Q0, Q1 = np.empty((G, G)), np.empty((G, G))
    step = max(1, min(G, _ABSORBED_CELLS // max(len(z), 1)))
    for first in range(0, G, step):
        block_clusters = np.arange(first, min(G, first + step))
        inside = (codes >= first) & (codes < first + len(block_clusters))
        Z = np.zeros((len(z), len(block_clusters)))
        Z[rows[inside], codes[inside] - first] = values[inside] / scale
        original = Z.copy()
        report.stage(
            f"wild bootstrap: fixed effects of clusters {first + 1:,}-{first + len(block_clusters):,} of {G:,}"
        )
        absorption.absorb(Z)
        W = (original - Z) * scale
        if root_w is not None:
            W *= root_w[:, np.newaxis]
        Q0[block_clusters] = (indicator @ (u[:, np.newaxis] * W)).T
        Q1[block_clusters] = (indicator @ (z[:, np.newaxis] * W)).T
    return Q0, Q1


def _bound(p_value, centre: float, step: float, alpha: float, cluster: str) -> float:
    """The value of r beyond `centre` in the direction of `step` where the bootstrap
    p-value falls below `alpha`: steps doubled until it does, then bisection."""
    inner, outer = centre, centre + step
    doublings = 0
    while p_value(outer) >= alpha:
        inner, outer = outer, centre + (outer - centre) * 2
        doublings += 1
        if doublings > 60:
            warnings.warn(
                f"wildboottest(): with these clusters ({cluster}) and draws no value of r on this side is "
                f"rejected at {alpha:g}; the interval is unbounded",
                UserWarning,
                stacklevel=4,
            )
            return math.copysign(math.inf, step)
    for _ in range(_BISECTIONS):
        middle = (inner + outer) / 2
        if middle in (inner, outer):
            break
        if p_value(middle) >= alpha:
            inner = middle
        else:
            outer = middle
    return (inner + outer) / 2


def _draws(rng: np.random.Generator, weights: str, G: int, B: int, enumerated: bool):
    """Blocks (first draw, G x b weights) of the B draws."""
    if enumerated:
        # every sign vector once, in itertools.product's order as wildboottest lists them
        signs = np.array(list(itertools.product([-1.0, 1.0], repeat=G))).T if G <= 16 else None
        for start in range(0, B, _BLOCK):
            stop = min(B, start + _BLOCK)
            if signs is not None:
                yield start, signs[:, start:stop]
            else:
                bits = (np.arange(start, stop)[np.newaxis, :] >> np.arange(G - 1, -1, -1)[:, np.newaxis]) & 1
                yield start, 2.0 * bits - 1.0
        return
    if G * B <= _DRAWN_AT_ONCE:
        v = _weights(rng, weights, G * B).reshape(G, B)
        for start in range(0, B, _BLOCK):
            yield start, v[:, start : start + _BLOCK]
        return
    for start in range(0, B, _BLOCK):
        b = min(_BLOCK, B - start)
        yield start, _weights(rng, weights, G * b).reshape(G, b)


def _weights(rng: np.random.Generator, weights: str, n: int) -> np.ndarray:
    """n draws of the weights' distribution, with the generator calls wildboottest makes."""
    if weights == "rademacher":
        return rng.choice([-1, 1], size=n, replace=True).astype(np.float64)
    if weights == "webb":
        values = np.concatenate([-np.sqrt(np.array([3, 2, 1]) / 2), np.sqrt(np.array([1, 2, 3]) / 2)])
        return rng.choice(values, size=n, replace=True)
    if weights == "mammen":
        root5 = np.sqrt(5)
        values = np.array([-1, 1]) * (root5 + np.array([-1, 1])) / 2
        return rng.choice(values, size=n, replace=True, p=(root5 + np.array([1, -1])) / (2 * root5))
    return rng.normal(size=n)


def _checked(fit, param, r, B, weights, impose_null, level):
    if not isinstance(param, str) or param not in fit.coefnames:
        raise ValueError(f"param = {param!r} is not a coefficient of the fit; it has {fit.coefnames}")
    if isinstance(r, bool) or not isinstance(r, numbers.Real) or not math.isfinite(r):
        raise ValueError(f"r must be a finite number (the value of {param} under the null), got {r!r}")
    if isinstance(B, bool) or not isinstance(B, numbers.Integral) or B < 1:
        raise ValueError(f"B must be a positive integer (the number of draws), got {B!r}")
    if weights not in WEIGHTS:
        raise ValueError(f"weights = {weights!r} is not one of {list(WEIGHTS)}")
    if not isinstance(impose_null, bool):
        raise TypeError(f"impose_null must be True (WCR) or False (WCU), got {impose_null!r}")
    if isinstance(level, bool) or not isinstance(level, numbers.Real) or not 0 < level < 1:
        raise ValueError(f"level must be a number between 0 and 1 such as 0.95, got {level!r}")
    return fit.coefnames.index(param), float(r), int(B), float(level)


def _cluster_codes(fit, cluster) -> tuple[str, np.ndarray]:
    """The cluster variable's name and dense ids over the estimation sample (in sorted
    value order): `cluster`, a column of the fit's data, or the fit's own one-way cluster."""
    sample = fit._sample
    if cluster is None:
        if len(fit.clusters) != 1:
            raise ValueError(
                f"cluster = None: the fit's covariance is {fit.vcov_type!r} with cluster variables "
                f"{list(fit.clusters)}; name the one variable to bootstrap by (a column the fit read)"
            )
        cluster = next(iter(fit.clusters))
    if not isinstance(cluster, str):
        raise TypeError(f"cluster must be a column name or None, got {cluster!r} ({type(cluster).__name__})")
    if cluster not in sample.frame.columns:
        raise ValueError(
            f"cluster = {cluster!r} is not among the columns the fit read ({list(sample.frame.columns)}); "
            f"estimate with vcov={{'CRV1': {cluster!r}}} so the fit keeps it"
        )
    values = sample.take(sample.frame[cluster].to_numpy())
    if pd.isna(values).any():
        raise ValueError(
            f"cluster = {cluster!r} has {int(pd.isna(values).sum()):,} missing value(s) in the estimation sample; "
            f"estimate with vcov={{'CRV1': {cluster!r}}}, which drops those rows"
        )
    return cluster, variable_ids(sample.frame, cluster, sample.rows)
