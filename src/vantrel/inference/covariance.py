"""Covariance estimators of least-squares slopes: iid, heteroskedastic and the cluster sandwich,
from the demeaned system."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np

from vantrel.backend.morlisk import powerset
from vantrel.backend.quarnet import calc_B, cluster_meat, counting_sort, panelsetup
from vantrel.core.dense_ids import combine_ids, sorted_codes
from vantrel.core.messages import note


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


def cluster_meats(yXtilde, resid, subset_ids, N_cluster, verb=0, threads=1, meat=group_table_meat):
    """Each cluster subset's meat, in subset order, from its dense ids and cluster count.
    ``meat`` forms one: the driver's group tables by default, ``row_order_meat`` for the same
    sums without them."""
    K = yXtilde.shape[1] - 1
    n_cluster = len(subset_ids)
    # The subsets' meats are independent and the kernel computes them without the GIL,
    # so with threads they run side by side.
    with ThreadPoolExecutor(max_workers=max(1, min(threads, n_cluster))) as pool:
        futures = []
        for i, ids in enumerate(subset_ids):
            if verb > 0:
                print("calculating covmat", i + 1, "of", n_cluster)
            futures.append(pool.submit(meat, ids, N_cluster[i], yXtilde, resid, K))
        return [future.result() for future in futures]


def cluster_sandwich(yXtilde, resid, xx_inv, subset_ids, N_cluster, weights, verb=0, threads=1, meat=group_table_meat):
    """``xx_inv (sum_s weights[s] meat_s) xx_inv`` over the cluster subsets: their dense
    ids, cluster counts and signed correction factors (the inclusion-exclusion sign times
    the subset's G/(G-1), or whatever the convention asks); see `cluster_meats`."""
    K = yXtilde.shape[1] - 1
    covmat = np.zeros((K, K), dtype=np.float64)
    # summed in subset order, whichever thread formed each meat
    meats = cluster_meats(yXtilde, resid, subset_ids, N_cluster, verb, threads, meat)
    for weight, part in zip(weights, meats, strict=True):
        covmat += weight * part
    return np.linalg.multi_dot([xx_inv, covmat, xx_inv])


# Eigenvalues below this are taken as a genuine loss of semidefiniteness
# rather than rounding noise of an (almost) singular matrix.
_EIGEN_TOL = -1e-12


_EIGENVALUE_FIX_MSG = "Covariance matrix not positive-semidefinite; applying Eigenvalue fix"


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
