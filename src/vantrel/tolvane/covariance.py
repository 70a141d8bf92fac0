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

from types import SimpleNamespace

import numpy as np
import pandas as pd

from vantrel.core.dense_ids import column_ids
from vantrel.inference.covariance import (
    cluster_sandwich,
    cluster_subset_ids,
    eigenvalue_fix,
    heteroskedastic,
    homoskedastic,
)
from vantrel.inference.stats import RESIDUAL_DOF_TYPES, charged_fe, residual_dof


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
