"""Any covariance of a fit from what the fit keeps, without estimating it again.

A fit keeps its working system: the rows of the estimator's last least-squares step with
the fixed effects absorbed and the weights' square roots multiplied in (`InferenceSystem`).
Every covariance here is a function of that system, its sample's ids and columns: the
bread is (X'X)^-1 and the scores are the rows of X times u. Least squares keeps the block
its absorption formed (residuals in column 0); another estimator (Poisson's last IRLS step,
the second stage of IV) hands over its own block through `Fit._inference_system` and gets
every covariance here.

The defaults of the small-sample corrections and of t's degrees of freedom per type are
tabled in `vantrel.results.fit.Fit.with_vcov` (fixest's where fixest has the type).
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import pandas as pd

from vantrel.inference import ssc as small_sample
from vantrel.inference.covariance import cluster_meats, cluster_subset_ids, row_order_meat
from vantrel.inference.vcov import covariance, nested_in_clusters

VCOV_TYPE = {"iid": "iid", "hetero": "hetero", "CRV1": "CRV1"}


@dataclass
class InferenceSystem:
    """What every covariance of a fit reads.

    block: N x (1 + K) C-contiguous float64, column 0 the weighted residuals u (the
    estimator's working residuals times the square roots of its weights), columns 1..K the
    regressors with the fixed effects absorbed, times the same roots: the bread is
    (X'X)^-1, the scores are the rows of X times u. beta: the K estimates. weights: the
    rows' weights (None: none), those the absorption used. fe_codes, k_fe: the dense ids
    of each fixed effect and its levels. column(name): the values of a column of the data
    over the sample (raises when a row of the sample has none). fe_records(ssc, choice):
    the records and the name-based count of `vantrel.inference.ssc.fe_records`. absorber:
    the sample's `vantrel.core.absorption.Absorption` (None without fixed effects), for
    blocks the fixed effects are absorbed from after the fit. labels: the rows' labels.
    dispersion: the variance scale of "iid" (None: estimated from the residuals, as least
    squares does; a likelihood whose variance is its mean, Poisson's, fixes it at 1).
    kinds: the covariance kinds that are this estimator's on the block (None: all), with
    `estimator` naming it in the refusal of the others.
    """

    block: np.ndarray
    beta: np.ndarray
    weights: np.ndarray | None
    fe_codes: list[np.ndarray]
    k_fe: list[int]
    column: Callable[[str], pd.Series]
    fe_records: Callable
    absorber: object
    labels: pd.Index
    dispersion: float | None = None
    kinds: tuple[str, ...] | None = None
    estimator: str = "feols"
    # varying slopes: which effects carry their intercept (only those count levels) and the
    # slope coefficients, counted as in the fit's own covariance
    with_intercept: list[bool] | None = None
    k_slopes: int = 0

    @property
    def X(self) -> np.ndarray:
        return self.block[:, 1:]

    @property
    def u(self) -> np.ndarray:
        return self.block[:, 0]

    @property
    def N(self) -> int:
        return self.block.shape[0]

    def ids(self, name: str) -> np.ndarray:
        """Dense ids 0 .. G-1 of column `name` over the sample."""
        return pd.factorize(self.column(name), sort=True)[0].astype(np.int64)


def recompute(system: InferenceSystem, vcov: object, ssc: object = None):
    """The covariance `vcov` of the system under the corrections `ssc` (None: the type's
    default, see the module's table); returns the `Covariance`, the fit's vcov_type and
    the corrections applied."""
    choice = small_sample.parse_vcov(vcov)
    corrections = small_sample.resolve_ssc(ssc, choice.label)
    kind = choice.after.kind if choice.after is not None else choice.type
    if system.kinds is not None and kind not in system.kinds:
        # the leverages and the jackknife of a likelihood are not those of its last
        # least-squares step: refuse rather than return the step's
        raise ValueError(
            f"vcov = {vcov!r}: {kind} is not available for {system.estimator} fits; "
            f"available: {', '.join(system.kinds)}"
        )
    names_count = None
    if corrections.k_fixef == "names":
        _, names_count = system.fe_records(corrections, choice)
    X, N = system.X, system.N
    XX = X.T @ X
    if kind in ("iid", "hetero", "CRV1"):
        rss = float(system.u @ system.u) if system.dispersion is None else system.dispersion * (N - 1)
        pieces = {"rss": rss}
        names: list[str] = list(choice.clusters)
        nested: list[bool] = []
        if kind == "hetero":
            pieces["meat"] = (X * system.u[:, np.newaxis] ** 2).T @ X
        elif kind == "CRV1":
            single = {name: system.ids(name) for name in names}
            _, subsets, ids = cluster_subset_ids(single, names)
            G = [int(codes.max()) + 1 for codes in ids]
            pieces.update(
                cluster_meats=cluster_meats(system.block, system.block[:, :1], ids, G, meat=row_order_meat),
                cluster_counts=G,
                subsets=subsets,
            )
            if corrections.k_fixef == "nonnested":
                nested = nested_in_clusters(system.fe_codes, [single[name] for name in names])
        k_fe = system.k_fe
        if system.with_intercept is not None:
            k_fe = [g for g, flag in zip(k_fe, system.with_intercept, strict=True) if flag]
            nested = [n for n, flag in zip(nested, system.with_intercept, strict=True) if flag] if nested else nested
        cov = covariance(
            kind,
            corrections,
            XX,
            pieces,
            N,
            k_fe,
            nested,
            names_count,
            names,
            pieces.get("subsets", []),
            k_slopes=system.k_slopes,
        )
        return cov, kind, corrections
    bread = np.linalg.inv(XX)
    if kind in ("HC2", "HC3"):
        from vantrel.inference.leverage import leverage_covariance

        cov = leverage_covariance(system, kind, choice.after.options, corrections, bread, names_count)
    elif kind == "CRV3":
        from vantrel.inference.jackknife import jackknife_covariance

        cov = jackknife_covariance(system, list(choice.clusters), corrections, bread, names_count)
    else:
        from vantrel.inference.hac import hac_covariance

        cov = hac_covariance(system, kind, choice.after.options, corrections, bread, names_count)
    return cov, kind, corrections
