"""Covariance matrices of the slopes under a small-sample convention.

All estimators work on the system the least squares solved: demeaned, and with weights
multiplied by their square roots, so the weighted estimators are the unweighted formulas
on that system (X'WX, scores w x u). The raw matrix of each type is multiplied by the
factors of `SSC` (vantrel.model.ssc).
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np

from vantrel.backend.morlisk import powerset
from vantrel.model import ssc as small_sample
from vantrel.tolvane.partial_out import CHUNK
from vantrel.tolvane.covariance import _subset_meat
from vantrel.tolvane.dense_ids import combine_ids

_EIGEN_TOL = -1e-12


@dataclass
class Covariance:
    """The covariance matrix and what inference needs from it."""

    matrix: np.ndarray
    df_t: int
    df_k: int
    cluster_counts: dict[str, int]
    eigenvalue_fix: bool = False


def nested_in_clusters(fe_codes: list[np.ndarray], cluster_codes: list[np.ndarray]) -> list[bool]:
    """Whether each fixed effect is nested in one of the cluster variables: every level
    of it falls in a single cluster."""
    flags = []
    for f in fe_codes:
        nested = False
        for c in cluster_codes:
            first = np.empty(int(f.max()) + 1 if len(f) else 0, dtype=np.int64)
            first[f] = c  # the cluster of some row of each level
            if np.array_equal(first[f], c):
                nested = True
                break
        flags.append(nested)
    return flags


def covariance(vcov_type: str, yX: np.ndarray, resid: np.ndarray, ssc: small_sample.SSC, k_fe: list[int],
               names_count: int | None, fe_codes: list[np.ndarray], clusters: dict[str, np.ndarray],
               threads: int = 1, XX: np.ndarray | None = None) -> Covariance:
    """The K x K covariance matrix for `vcov_type` ("iid", "hetero", "CRV1").

    yX: the N x (1+K) system of the least squares (column 0 the dependent variable),
    resid: its N x 1 residuals; k_fe: levels per fixed effect; names_count: the driver's
    name-based count (``k_fixef="names"``); fe_codes: dense ids per effect (for nesting);
    clusters: dense ids per cluster variable over the rows; XX: X'X when the caller has it.
    """
    N, K = yX.shape[0], yX.shape[1] - 1
    X = yX[:, 1:]
    bread = np.linalg.inv(X.T @ X if XX is None else XX)
    if vcov_type == "CRV1":
        nested = nested_in_clusters(fe_codes, list(clusters.values())) if ssc.k_fixef == "nonnested" else []
        dfk = small_sample.df_k(ssc, vcov_type, K, k_fe, nested or [False] * len(k_fe), names_count)
        matrix, counts = _cluster(yX, resid, bread, clusters, ssc, small_sample.adjustment(ssc, vcov_type, N, dfk),
                                  threads)
        matrix, fixed = _eigenvalue_fix(_symmetric(matrix))
        return Covariance(matrix, min(counts.values()) - 1, dfk, counts, fixed)
    dfk = small_sample.df_k(ssc, vcov_type, K, k_fe, [False] * len(k_fe), names_count)
    factor = small_sample.adjustment(ssc, vcov_type, N, dfk)
    u = resid[:, 0]
    if vcov_type == "iid":
        matrix = factor * float(np.einsum("i,i->", u, u)) / (N - 1) * bread
    else:
        meat = np.zeros((K, K))
        for start in range(0, N, CHUNK):  # no temporary of N rows
            scores = X[start:start + CHUNK] * u[start:start + CHUNK, np.newaxis]
            meat += scores.T @ scores
        matrix = factor * (bread @ meat @ bread)
    return Covariance(_symmetric(matrix), N - dfk, dfk, {})


def _symmetric(matrix):
    # the products of the sandwich leave the two triangles apart in the last bits
    return (matrix + matrix.T) / 2


def _cluster(yX, resid, bread, clusters, ssc, k_factor, threads):
    """Inclusion-exclusion over the non-empty subsets of the cluster variables (CGM)."""
    N, K = yX.shape[0], yX.shape[1] - 1
    names = list(clusters)
    subsets = powerset(names)
    ids = [combine_ids([clusters[name] for name in subset]) for subset in subsets]
    G = [int(codes.max()) + 1 for codes in ids]
    counts = {name: G[i] for i, name in enumerate(names)}
    if min(G) < 2:
        name = names[int(np.argmin(G[:len(names)]))]
        raise ValueError(f"vcov: cluster variable {name!r} has a single cluster in the estimation sample")
    factors = small_sample.cluster_factors(ssc, G)
    meat = np.zeros((K, K))
    for subset, codes, g, factor in zip(subsets, ids, G, factors):
        sign = 1.0 if len(subset) % 2 == 1 else -1.0
        meat += (sign * factor) * _subset_meat(codes, g, yX, resid, N, K)
    return k_factor * (bread @ meat @ bread), counts


def _eigenvalue_fix(matrix):
    """A multiway sum can lose positive semidefiniteness: clip negative eigenvalues."""
    if matrix.shape[0] == 0:
        return matrix, False
    values, vectors = np.linalg.eigh(matrix)
    if not np.any(values < _EIGEN_TOL * max(1.0, float(np.max(np.abs(values))))):
        return matrix, False
    warnings.warn("The multiway cluster covariance matrix is not positive semidefinite; negative eigenvalues "
                  "were set to zero", UserWarning, stacklevel=4)
    fixed = (vectors * np.maximum(values, 0)) @ vectors.T
    return (fixed + fixed.T) / 2, True
