"""The cluster jackknife (CRV3) with fixed effects, and the clusters' leverage summary.

CRV3 is sum_g (b_-g - b)(b_-g - b)' over the clusters g, b_-g the estimate without g's
rows, with the corrections of CRV1 (as pyfixest; MacKinnon, Nielsen and Webb's CV3 is
(G-1)/G times the plain sum, ``ssc="none"``), one term per subset of the cluster
variables with the signs of the multiway sum.

When every fixed effect is nested in the clusters, leaving a cluster out removes whole
levels and leaves the absorbed rows of the others as they are: b_-g - b is then
-(X'X - X_g'X_g)^-1 X_g'u_g on the absorbed system, closed. Otherwise the other rows'
absorbed values change, and each b_-g is a fit of its own: the fit's absorbed block (its
rows outside g) is absorbed again on those rows' fixed effects. Starting from the full
fit's absorbed values (a warm start) is exact: they differ from the raw columns by the
full fit's fixed-effect values, which the rows' own fixed effects absorb; only the change
the missing cluster makes is left, and the solver starts from the preconditioner the full
fit settled on. Its tolerance is relative to the columns, so on the designs measured
(benchmarks/bench_inference.py) a refit still takes the fit's iterations: what the refits
save is the formula, the sample and the stacking, not the solve.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from vantrel.core.absorption import Absorption, demeaning_scale
from vantrel.core.progress import Progress
from vantrel.inference import ssc as small_sample
from vantrel.inference.covariance import cluster_subset_ids
from vantrel.inference.vcov import cluster_covariance, nested_in_clusters, subset_factors


def _slices(codes: np.ndarray, G: int):
    order = np.argsort(codes, kind="stable")
    bounds = np.concatenate(([0], np.cumsum(np.bincount(codes, minlength=G))))
    return [order[bounds[g] : bounds[g + 1]] for g in range(G)]


def _closed_deltas(system, codes, G, label):
    X, u = system.X, system.u
    XX = X.T @ X
    deltas = np.empty((G, X.shape[1]))
    for g, rows in enumerate(_slices(codes, G)):
        Xg = X[rows]
        try:
            deltas[g] = -np.linalg.solve(XX - Xg.T @ Xg, Xg.T @ u[rows])
        except np.linalg.LinAlgError:
            raise _singular(label, g) from None
    return deltas


def _singular(label, g):
    return ValueError(
        f"vcov: CRV3 by {label!r}: without cluster {g} (in sorted order) the regressors are collinear, "
        "so its leave-one-out estimate does not exist; use CRV1"
    )


def _refit_deltas(system, codes, G, label):
    """b_-g - b by absorbing the block again without each cluster (see the module text).
    The rows are put in cluster order once, so that the rows without a cluster are two
    contiguous runs, copied as they are; the ids keep their numbers (a level with no row
    left has nothing to absorb)."""
    absorber, w, beta = system.absorber, system.weights, system.beta
    X, u, N = system.X, system.u, system.N
    order = np.argsort(codes, kind="stable")
    bounds = np.concatenate(([0], np.cumsum(np.bincount(codes, minlength=G))))
    # the absorbed [y X] in the data's units: the working block less the weights' roots
    Z = np.empty((N, 1 + X.shape[1]))
    Z[:, 0] = u + X @ beta
    Z[:, 1:] = X
    if w is not None:
        Z /= np.sqrt(w)[:, np.newaxis]
    sizes = np.sqrt(np.einsum("ij,ij->j", Z, Z) / N)
    scale = np.array([demeaning_scale(s, lambda j=j: float(np.abs(Z[:, j]).max())) for j, s in enumerate(sizes)])
    Z = (Z / scale)[order]
    ids = np.asarray(absorber.ids)[order]
    ws = None if w is None else np.asarray(w, dtype=np.float64)[order]
    deltas = np.empty((G, X.shape[1]))
    report = Progress(None)
    for g in range(G):
        a, b = bounds[g], bounds[g + 1]
        block = np.concatenate((Z[:a], Z[b:]))
        sub_ids = np.asfortranarray(np.concatenate((ids[:a], ids[b:])))
        sub_w = None if ws is None else np.concatenate((ws[:a], ws[b:]))
        refit = Absorption(sub_ids, sub_w, tol=absorber.tol, maxiter=absorber.maxiter, n_threads=absorber.n_threads)
        refit.mode = absorber.mode
        refit.absorb(block)
        weighted = block if sub_w is None else block * sub_w[:, np.newaxis]
        gram = (weighted.T @ block) * np.outer(scale, scale)
        try:
            deltas[g] = np.linalg.solve(gram[1:, 1:], gram[1:, 0]) - beta
        except np.linalg.LinAlgError:
            raise _singular(label, g) from None
        report.stage(f"CRV3 by {label}: leave-one-cluster-out fit {g + 1} of {G}")
    return deltas


def leave_one_out_deltas(system, codes: np.ndarray, G: int, label: str) -> tuple[np.ndarray, str]:
    """b_-g - b for each cluster g of `codes` (dense ids, G clusters), and how they were
    found ("closed" or "refits")."""
    if not system.fe_codes or all(nested_in_clusters(system.fe_codes, [codes])):
        return _closed_deltas(system, codes, G, label), "closed"
    return _refit_deltas(system, codes, G, label), "refits"


def jackknife_covariance(system, names: list[str], corrections, bread, names_count):
    """CRV3 by the cluster variables `names` (multiway: the sum over their subsets)."""
    single = {name: system.ids(name) for name in names}
    _, subsets, ids = cluster_subset_ids(single, names)
    G = [int(codes.max()) + 1 for codes in ids]
    nested: list[bool] = []
    if corrections.k_fixef == "nonnested" and system.fe_codes:
        nested = nested_in_clusters(system.fe_codes, [single[name] for name in names])
    K, N = system.X.shape[1], system.N
    dfk = small_sample.df_k(corrections, "CRV1", K, system.k_fe, nested or [False] * len(system.k_fe), names_count)
    factors = subset_factors(corrections, small_sample.adjustment(corrections, "CRV1", N, dfk), names, subsets, G)
    matrix = np.zeros((K, K))
    for factor, codes, subset, count in zip(factors, ids, subsets, G, strict=True):
        deltas, _ = leave_one_out_deltas(system, codes, count, "+".join(subset))
        matrix += factor * (deltas.T @ deltas)
    return cluster_covariance(matrix, dfk, names, G, stacklevel=6, bread=bread, ssc=corrections)


def cluster_leverage(system, name: str, coefnames: list[str], bread) -> pd.DataFrame:
    """Per cluster of `name`: its observations, its leverage trace(X_g (X'X)^-1 X_g') on
    the absorbed system, and each estimate without it (as summclust reports them)."""
    values = system.column(name)
    codes, levels = pd.factorize(values, sort=True)
    G = len(levels)
    X = system.X
    per_row = np.einsum("ij,ij->i", X @ bread, X)
    deltas, _ = leave_one_out_deltas(system, codes.astype(np.int64), G, name)
    table = pd.DataFrame(
        {"nobs": np.bincount(codes, minlength=G), "leverage": np.bincount(codes, weights=per_row, minlength=G)},
        index=pd.Index(levels, name=name),
    )
    for j, coef in enumerate(coefnames):
        table[f"beta_no_g[{coef}]"] = system.beta[j] + deltas[:, j]
    return table
