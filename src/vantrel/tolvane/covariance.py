"""Covariance matrices of the slope coefficients.

Three estimators over the demeaned data ``yXtilde`` (column 0 the dependent
variable, columns 1..K the regressors) and the residuals:

* homoskedastic: ``RSS / (N - K - total_nonredundant_fe) * (X'X)^-1``;
* heteroskedastic (HC1): ``N / (N - K - total_nonredundant_fe)`` times the
  HC0 sandwich ``(X'X)^-1 (sum_i r_i^2 x_i x_i') (X'X)^-1``;
* multiway cluster (Cameron, Gelbach and Miller): the inclusion-exclusion
  sum over all non-empty subsets of the cluster variables, each subset's
  meat weighted by +1 (odd size) or -1 (even size) and by ``G/(G-1)`` with
  G the smallest cluster count over all subsets. The meats come from the
  kernel (``calc_B``) over group tables built with ``panelsetup``.

Absorbed fixed effects are charged in the first two as ``charged_fe`` (in
inference) rules: the non-redundant ones, ``total_nonredundant_fe``. Only the multiway sum can lose positive
semidefiniteness, so only it is followed by the eigenvalue repair.

The estimators are functions of their correction factors (``homoskedastic`` of the
divisor of RSS, ``heteroskedastic`` of the factor on the sandwich, ``cluster_sandwich``
of one factor per subset), so `vantrel.feols` computes its small-sample conventions
with the same functions.
"""

from concurrent.futures import ThreadPoolExecutor
from types import SimpleNamespace

import numpy as np
import pandas as pd

from vantrel.backend.morlisk import powerset
from vantrel.backend.quarnet import calc_B, cluster_meat, counting_sort, panelsetup
from vantrel.tolvane.dense_ids import column_ids, combine_ids, sorted_codes
from vantrel.tolvane.inference import RESIDUAL_DOF_TYPES, charged_fe, residual_dof
from vantrel.tolvane.messages import note

# Eigenvalues below this are taken as a genuine loss of semidefiniteness
# rather than rounding noise of an (almost) singular matrix.
_EIGEN_TOL = -1e-12
_EIGENVALUE_FIX_MSG = "Covariance matrix not positive-semidefinite; applying Eigenvalue fix"


def homoskedastic(xx_inv, resid, N, K, N_FE, total_nonredundant_fe, dof, verb, rss=None):
    """``RSS / dof`` times ``xx_inv``, and that variance; `N`, `K` and the counts are
    printed with it when `verb` > 0. `rss`: the residual sum of squares when the caller
    has it (a pass over the residuals less)."""
    if rss is None:
        rss = np.dot(resid.T, resid).item()
    s2 = rss / dof
    if verb > 0:
        print("[Homoskedastic diagnostics]")
        print(f"N={N:,}, K={K}, N_FE={N_FE}, total_nonredundant_fe={total_nonredundant_fe}")
        print(f"RSS={rss:.6f}")
        print(f"s2_denominator={dof}")
        print(f"s2={s2:.6f}")
    return s2 * xx_inv, s2


def heteroskedastic(X, xx_inv, resid, factor):
    """HC1 over the within regression: the HC0 sandwich times `factor` (the driver's
    N / dof, dof = N - K - FE charge).

    The sandwich equals the slope block of HC0 on the dummy-variable
    regression; the factor differs from a dummy regression's own HC1, whose
    N / (N - p) counts every dummy in p rather than the non-redundant ones.
    """
    xox = (X * resid**2).T @ X
    return np.linalg.multi_dot([xx_inv, xox, xx_inv]) * factor


def _cluster_ids(data, clustvars):
    """One dense identifier column per non-empty subset of ``clustvars``.

    Returns ``(clust_df, clustvars_all, cluster_intersections)``; column
    ``clu_<letter>`` numbers the distinct value combinations of subset i in
    sorted-key order. The identifiers are built from the cluster columns of
    ``data`` into a fresh frame, so a cluster variable that happens to be
    called ``clu_A`` is not overwritten before the later subsets read it.
    """
    single = {}
    for name in dict.fromkeys(clustvars):
        if data[name].isna().any():
            # such a row would have no group, hence no place in the group table
            raise ValueError(f"Cluster variable(s) {[name]} contain missing values")
        single[name] = column_ids(data, name)
    clustvars_all, cluster_intersections, ids = cluster_subset_ids(single, clustvars)
    clust_df = pd.DataFrame(dict(zip(clustvars_all, ids, strict=True)), index=data.index)
    return clust_df, clustvars_all, cluster_intersections


def cluster_subset_ids(single, clustvars):
    """Dense ids of every non-empty subset of ``clustvars`` from each variable's own
    (``single``: name -> dense ids); returns the subsets' names ("clu_A", ...), the
    subsets (lists of names) and their ids."""
    n_cluster = int(2.0 ** len(clustvars) - 1.0)
    clustvars_all = ["clu_" + chr(65 + i) for i in range(n_cluster)]
    cluster_intersections = powerset(clustvars)
    # Each subset's ids are combined from the variables': grouping every subset by its raw
    # values would hash the large intersections as tuples. A name given twice combines
    # with itself to its own ids; the subsets then cancel down to the one-way estimator,
    # as they should.
    ids = [combine_ids([single[name] for name in subset]) for subset in cluster_intersections]
    return clustvars_all, cluster_intersections, ids


def group_table_meat(ids, G, yXtilde, resid, K):
    """The kernel's meat sum_g (X_g'u_g)(X_g'u_g)' over the groups of dense ``ids``: the
    driver's route, a group table (``panelsetup``) over the rows sorted by id and ``calc_B``
    over it."""
    N = yXtilde.shape[0]
    # The ids are dense, so a counting sort orders them in linear time (argsort of a
    # near-unique intersection at ten million rows takes seconds).
    sortvec = counting_sort(ids, G)
    panelmat = np.zeros((G, 2), dtype=np.int64)
    panelsetup(panelmat, sorted_codes(ids, G), int(N), G)
    B = np.zeros((K, K), dtype=np.float64)
    calc_B(B, yXtilde, resid, sortvec, panelmat, G, K)
    return B


def row_order_meat(ids, G, yXtilde, resid, K):
    """The same meat, to the same bits, without the sort and the group table: the kernel
    adds each row's scores into its group's sums in row order, which is the order of the
    sorted group table (the sort is stable), so it skips sorting the rows and gathering
    them in that order (seconds for a near-unique intersection at ten million rows)."""
    B = np.zeros((K, K), dtype=np.float64)
    cluster_meat(B, yXtilde, resid, np.ascontiguousarray(ids), G)
    return B


def _cluster(yXtilde, resid, xx_inv, N, K, data, clustvars, verb, threads):
    clust_df, clustvars_all, cluster_intersections = _cluster_ids(data, clustvars)
    n_cluster = len(clustvars_all)
    N_cluster = [int(clust_df[var].max()) + 1 for var in clustvars_all]
    if np.min(N_cluster) == 1:
        raise RuntimeError("Cluster with a single category deteced")
    pm = [1 if len(subset) % 2 == 1 else -1 for subset in cluster_intersections]
    min_G = min(N_cluster)
    correction = min_G / (min_G - 1)
    covmat = cluster_sandwich(
        yXtilde,
        resid,
        xx_inv,
        [clust_df[var].to_numpy() for var in clustvars_all],
        N_cluster,
        [p * correction for p in pm],
        verb,
        threads,
    )
    return covmat, SimpleNamespace(
        clust_df=clust_df,
        n_cluster=n_cluster,
        clustvars_all=clustvars_all,
        cluster_intersections=cluster_intersections,
        pm=pm,
        correction=correction,
        N_cluster=N_cluster,
    )


def cluster_sandwich(yXtilde, resid, xx_inv, subset_ids, N_cluster, weights, verb=0, threads=1, meat=group_table_meat):
    """``xx_inv (sum_s weights[s] meat_s) xx_inv`` over the cluster subsets: their dense
    ids, cluster counts and signed correction factors (the inclusion-exclusion sign times
    the subset's G/(G-1), or whatever the convention asks). ``meat`` forms each subset's
    meat: the driver's group tables by default, ``row_order_meat`` for the same sums
    without them."""
    K = yXtilde.shape[1] - 1
    covmat = np.zeros((K, K), dtype=np.float64)
    n_cluster = len(subset_ids)
    # The subsets' meats are independent and the kernel computes them without the GIL,
    # so with threads they run side by side; they are summed in subset order all the same.
    with ThreadPoolExecutor(max_workers=max(1, min(threads, n_cluster))) as pool:
        meats = []
        for i, ids in enumerate(subset_ids):
            if verb > 0:
                print("calculating covmat", i + 1, "of", n_cluster)
            meats.append(pool.submit(meat, ids, N_cluster[i], yXtilde, resid, K))
        for i, meat in enumerate(meats):
            covmat += weights[i] * meat.result()
    return np.linalg.multi_dot([xx_inv, covmat, xx_inv])


def eigenvalue_fix(covmat, verb, msg):
    """Clip negative eigenvalues of a multiway covariance matrix to zero.

    The inclusion-exclusion sum subtracts the intersection terms and can end
    up indefinite. Below -1e-12 the message is recorded and the matrix
    repaired: the nearest positive semidefinite one in the Frobenius norm,
    symmetrised against rounding. Returns the matrix to use and a copy of the
    unrepaired one, or None when it needed no repair.
    """
    if verb > 0:
        print("Eigenvalue check")
    Eval, Evec = np.linalg.eigh(covmat)
    if not np.any(Eval < _EIGEN_TOL):
        return covmat, None
    note(_EIGENVALUE_FIX_MSG, verb, msg)
    covmat_nofix = covmat.copy()
    Eval = np.maximum(Eval, 0)
    covmat = (Evec * Eval) @ Evec.T
    return (covmat + covmat.T) / 2, covmat_nofix


def compute_covariance(
    setype, yXtilde, resid, N, K, N_FE, total_nonredundant_fe, data, clustvars, verb, msg, threads=1
):
    """The K x K covariance matrix of the slopes for the normalised ``setype``.

    ``yXtilde`` is the N x (K+1) C-contiguous demeaned matrix, ``resid`` the
    N x 1 residuals, ``data`` the estimation sample in the same row order
    (holding the ``clustvars`` columns under "cluster").

    Returns ``SimpleNamespace(covmat, xx_inv, s2, clust_df, n_cluster,
    clustvars_all, cluster_intersections, pm, correction, N_cluster,
    covmat_nofix)``; every field is None for "none", ``s2`` is set only on the
    homoskedastic path and the cluster bookkeeping only on the cluster path.
    Under "cluster" a repair of a not positive-semidefinite matrix appends its
    message to ``msg`` and leaves the unrepaired matrix in ``covmat_nofix``
    (None when no repair ran). ``threads``: how many cluster subsets to
    compute at once.
    """
    out = SimpleNamespace(
        covmat=None,
        xx_inv=None,
        s2=None,
        clust_df=None,
        n_cluster=None,
        clustvars_all=None,
        cluster_intersections=None,
        pm=None,
        correction=None,
        N_cluster=None,
        covmat_nofix=None,
    )
    if setype == "none":
        return out

    if setype in RESIDUAL_DOF_TYPES:
        # a count of zero fails here, before any work, naming the counts
        dof = residual_dof(N, K, charged_fe(setype, N_FE, total_nonredundant_fe))
    X = yXtilde[:, 1:]
    out.xx_inv = np.linalg.inv(X.T @ X)
    if setype == "homoskedastic":
        out.covmat, out.s2 = homoskedastic(out.xx_inv, resid, N, K, N_FE, total_nonredundant_fe, dof, verb)
    elif setype == "heteroskedastic":
        out.covmat = heteroskedastic(X, out.xx_inv, resid, N / dof)
    elif setype == "cluster":
        covmat, bookkeeping = _cluster(yXtilde, resid, out.xx_inv, N, K, data, clustvars, verb, threads)
        out.covmat, out.covmat_nofix = eigenvalue_fix(covmat, verb, msg)
        vars(out).update(vars(bookkeeping))
    else:
        raise Exception("You should not be able to reach that point; Invalid SE type")
    return out
