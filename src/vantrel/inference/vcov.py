"""Covariance matrices of the slopes under a small-sample convention.

All estimators work on the system the least squares solved: demeaned, and with weights
multiplied by their square roots, so the weighted estimators are the unweighted formulas
on that system (X'WX, scores w x u). The raw matrix of each type is multiplied by the
factors of `SSC` (vantrel.inference.ssc).
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np

from vantrel.inference import ssc as small_sample
from vantrel.inference.covariance import (
    eigenvalue_fix,
)


@dataclass
class Covariance:
    """The covariance matrix and what inference needs from it."""

    matrix: np.ndarray
    df_t: int
    df_k: int
    cluster_counts: dict[str, int]
    notes: list[str] | None = None


def empty_covariance(N: int, k_fe: list[int]) -> Covariance:
    """The covariance of a fit without coefficients (the fixed effects are its estimate):
    nothing to estimate, so it stands even where the fit leaves no degree of freedom."""
    return Covariance(np.empty((0, 0)), N - sum(k_fe), sum(k_fe), {})


# Rows of the first look at whether an effect is nested in a cluster variable.
_FIRST_ROWS = 1 << 16


def nested_in_clusters(fe_codes: list[np.ndarray], cluster_codes: list[np.ndarray]) -> list[bool]:
    """Whether each fixed effect is nested in one of the cluster variables: every level
    of it falls in a single cluster."""
    flags = []
    for f in fe_codes:
        G = int(f.max()) + 1 if len(f) else 0
        # A level that meets two clusters as a rule shows within the first rows, so a look
        # there settles most pairs without the passes over all rows; an effect that is the
        # cluster variable itself has the same ids, found by one comparison.
        flags.append(
            any(
                _levels_in_single_clusters(f[:_FIRST_ROWS], c[:_FIRST_ROWS], G)
                and (np.array_equal(f, c) or _levels_in_single_clusters(f, c, G))
                for c in cluster_codes
            )
        )
    return flags


def _levels_in_single_clusters(f: np.ndarray, c: np.ndarray, G: int) -> bool:
    first = np.empty(G, dtype=np.int64)
    first[f] = c  # the cluster of some row of each level
    return np.array_equal(first[f], c)


def subset_factors(ssc, k_factor, names, subsets, G):
    """The signed factor of each cluster subset's meat (inclusion-exclusion: + for odd
    subsets, - for even ones) with its small-sample correction; G: the clusters of each
    subset, the variables' first. A variable with one cluster has no variance to estimate."""
    if min(G) < 2:
        name = names[int(np.argmin(G[: len(names)]))]
        raise ValueError(f"vcov: cluster variable {name!r} has a single cluster in the estimation sample")
    signs = [1.0 if len(subset) % 2 == 1 else -1.0 for subset in subsets]
    return [k_factor * sign * g for sign, g in zip(signs, small_sample.cluster_factors(ssc, G), strict=True)]


# The inclusion-exclusion sum of a multiway clustered matrix can be indefinite. Its
# eigenvalues are judged on the matrix scaled by the bread's diagonal, S V S with
# S = diag(bread)^(-1/2): that matrix does not change when a regressor changes its unit, and
# scales with the dependent variable's unit squared, so a threshold relative to its largest
# eigenvalue gives the same verdict in any units. Rounding of a positive semidefinite sum
# (a singular one, with fewer clusters than regressors, included) leaves eigenvalues of a
# few 1e-16 of the largest; a genuinely indefinite sum is far beyond this line.
_NEGATIVE_EIGENVALUE = 1e-12

PSD_REPAIR_NOTICE = (
    "Covariance matrix not positive-semidefinite: its eigenvalues below zero (smallest {ratio:.3g} times the "
    "largest, on the matrix scaled by the inverse square roots of the bread's diagonal) were set to zero and "
    "the matrix scaled back"
)


def psd_repair(matrix: np.ndarray, bread: np.ndarray) -> tuple[np.ndarray, str | None]:
    """The positive semidefinite matrix W nearest to `matrix` V in the Frobenius norm of
    S (V - W) S, when `matrix` is not positive semidefinite there (see _NEGATIVE_EIGENVALUE),
    with the notice of what was done; otherwise `matrix` itself and None. The repair clips
    the negative eigenvalues of S V S to zero and returns S^-1 (S V S)+ S^-1: the repaired
    matrix is the same in any units of y and of the regressors (the driver's repair clips the
    matrix as it is, against a fixed -1e-12, and so depends on both)."""
    root = np.sqrt(np.diag(bread))  # the bread is the inverse of a positive definite X'X
    scaled = matrix / np.outer(root, root)
    values, vectors = np.linalg.eigh(symmetric(scaled))
    largest = float(np.max(np.abs(values))) if len(values) else 0.0
    if not len(values) or values[0] >= -_NEGATIVE_EIGENVALUE * largest:
        return matrix, None
    repaired = (vectors * np.maximum(values, 0.0)) @ vectors.T
    return symmetric(repaired) * np.outer(root, root), PSD_REPAIR_NOTICE.format(ratio=values[0] / largest)


def cluster_covariance(matrix, dfk, names, G, stacklevel, bread, ssc):
    """The clustered result from its sandwich: the repair of a multiway sum that is not
    positive semidefinite (`psd_repair`, on the scale of `bread`; under the driver's own
    conventions, ``ssc="tolvane"``, the driver's repair, as the driver makes it), with its
    warning, and t's degrees of freedom min(G) - 1."""
    messages: list[str] = []
    if ssc == small_sample.PRESETS["tolvane"]:
        matrix, _ = eigenvalue_fix(symmetric(matrix), 0, messages)
    else:
        matrix, text = psd_repair(symmetric(matrix), bread)
        messages += [text] if text else []
    for text in messages:
        warnings.warn(text, UserWarning, stacklevel=stacklevel)
    # G counts the variables' clusters first, then those of their intersections
    return Covariance(matrix, min(G) - 1, dfk, dict(zip(names, G, strict=False)), messages)


def covariance(
    vcov_type: str,
    ssc: small_sample.SSC,
    XX: np.ndarray,
    pieces: dict,
    N: int,
    k_fe: list[int],
    nested: list[bool],
    names_count: int | None,
    cluster_names: list[str],
    subsets: list,
    stacklevel: int = 4,
    n_coef: int | None = None,
    k_slopes: int = 0,
) -> Covariance:
    """The K x K covariance matrix for `vcov_type` ("iid", "hetero", "CRV1") with the
    factors of `ssc`, from what a row engine summed over the residuals (`pieces`: "rss";
    "meat", the HC0 meat X'diag(u^2)X; or per subset of the cluster variables its meat,
    "cluster_meats", and its cluster count, "cluster_counts", in the order of `subsets`).

    XX: X'X of the kept regressors (the bread is its inverse); k_fe: levels per fixed
    effect; nested: per effect, whether it is nested in a cluster variable (read by
    ``k_fixef="nonnested"`` under clustering); names_count: the driver's name-based count
    (``k_fixef="names"``); n_coef: the coefficients of one equation the correction counts
    when XX stacks several equations' (None: all of XX's); k_slopes: coefficients of varying
    slopes (see `df_k`)."""
    K = XX.shape[0]
    counted = K if n_coef is None else n_coef
    bread = np.linalg.inv(XX)
    if vcov_type == "CRV1":
        dfk = small_sample.df_k(ssc, vcov_type, counted, k_fe, nested or [False] * len(k_fe), names_count, k_slopes)
        k_factor = small_sample.adjustment(ssc, vcov_type, N, dfk)
        G = pieces["cluster_counts"]
        factors = subset_factors(ssc, k_factor, cluster_names, subsets, G)
        meat = np.zeros((K, K), dtype=np.float64)
        for factor, part in zip(factors, pieces["cluster_meats"], strict=True):
            meat += factor * part
        matrix = np.linalg.multi_dot([bread, meat, bread])
        return cluster_covariance(matrix, dfk, cluster_names, G, stacklevel=stacklevel + 1, bread=bread, ssc=ssc)
    dfk = small_sample.df_k(ssc, vcov_type, counted, k_fe, [False] * len(k_fe), names_count, k_slopes)
    factor = small_sample.adjustment(ssc, vcov_type, N, dfk)
    if vcov_type == "iid":
        # the driver's RSS / dof with the divisor of fixest's (N-1)/(N-k) RSS/(N-1)
        matrix = pieces["rss"] / ((N - 1) / factor) * bread
    else:
        matrix = np.linalg.multi_dot([bread, pieces["meat"], bread]) * factor
    return Covariance(symmetric(matrix), N - dfk, dfk, {})


def symmetric(matrix):
    # the products of the sandwich leave the two triangles apart in the last bits
    return (matrix + matrix.T) / 2
