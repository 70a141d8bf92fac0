"""The cluster jackknife (CRV3) with fixed effects, and the clusters' leverage summary.

CRV3 is sum_g (b_-g - b)(b_-g - b)' over the clusters g, b_-g the estimate without g's
rows, with the corrections of CRV1 (as pyfixest; MacKinnon, Nielsen and Webb's CV3 is
(G-1)/G times the plain sum, ``ssc="none"``), one term per subset of the cluster
variables with the signs of the multiway sum.

When every fixed effect is nested in the clusters, leaving a cluster out removes whole
levels and leaves the absorbed rows of the others as they are: b_-g - b is then
-(X'X - X_g'X_g)^-1 X_g'u_g on the absorbed system, closed.

Otherwise the other rows' absorbed values change. With one or two fixed effects the
change is found in the space of the fixed effects, without a pass of the solver over the
rows. Let Z be the full fit's absorbed [y X] and D the effects' dummies. Absorbing the
rows outside g again from Z (not from the raw columns) gives the same result, as the
difference is the full fit's fixed-effect values, which those rows' own effects absorb.
Z is orthogonal to D over all rows but not over the rows outside g: there
D_-g'W Z_-g = -r with r = D_g'W Z_g - D'W Z (the second term is the full fit's rounding,
kept so that the projection is of the Z at hand). Projecting D_-g out of Z_-g leaves the
Gram matrix

    Z_-g'W Z_-g - r'(D_-g'W D_-g)^+ r,

and b_-g solves its normal equations. D_-g'W D_-g is diagonal per effect; with two, the
larger effect is eliminated and the Schur complement on the smaller one (of the order of
its levels, e.g. 20 years beside 1,000 firms) is factored per cluster, one level held at
zero per connected set of levels (the effects' common constant: a level of either with no
row left drops out, and a cluster can split the rest). Each cluster costs passes over its
own rows and the effects' levels, not over N.

With three or more fixed effects the Schur complement has no such known null space, and
each b_-g is a fit of its own: the fit's absorbed block (its rows outside g) is absorbed
again on those rows' fixed effects, starting from the full fit's absorbed values (exact,
as above) and from the preconditioner the full fit settled on. Its tolerance is relative
to the columns, so a refit still takes the fit's iterations: what the refits save is the
formula, the sample and the stacking, not the solve.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from scipy import sparse
from scipy.linalg import cho_factor, cho_solve
from scipy.sparse.csgraph import connected_components
from scipy.sparse.linalg import splu

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


# Levels of the smaller effect up to which the leave-one-out systems in the space of the
# fixed effects are solved as dense matrices (a Cholesky factor of at most this order per
# cluster), with their cross block of at most _DENSE_ENTRIES entries; beyond either they
# are sparse and factored by SuperLU.
_DENSE_LEVELS = 1000
_DENSE_ENTRIES = 1 << 22


def _level_sums(codes, k, weights, rows, values):
    """Per level of `codes` (k levels) over `rows`: the count, the sum of `weights` (None:
    the count) and the column sums of `values`."""
    c = codes[rows]
    counts = np.bincount(c, minlength=k)
    mass = counts.astype(np.float64) if weights is None else np.bincount(c, weights=weights[rows], minlength=k)
    sums = np.column_stack([np.bincount(c, weights=values[rows, j], minlength=k) for j in range(values.shape[1])])
    return counts, mass, sums


class _EffectSpace:
    """The full sample's sums the leave-one-out projections start from, for one or two
    fixed effects: per level the rows, their weight and the weighted sums of the absorbed
    [y X]; with two, the same per pair of levels that share rows (the cross block of D'WD,
    its pattern fixed by the full sample, so that every cluster's block lines up with it)."""

    def __init__(self, fe_codes, w, WZ):
        self.w, self.WZ = w, WZ
        levels = [int(f.max()) + 1 for f in fe_codes]
        # the larger effect is eliminated (its block of D'WD is diagonal), the smaller kept
        order = sorted(range(len(fe_codes)), key=lambda f: -levels[f])
        self.p = fe_codes[order[0]].astype(np.int64)
        self.kp = levels[order[0]]
        every = slice(None)
        self.full_p = _level_sums(self.p, self.kp, w, every, WZ)
        self.q = None
        if len(fe_codes) == 2:
            self.q = fe_codes[order[1]].astype(np.int64)
            self.kq = levels[order[1]]
            self.full_q = _level_sums(self.q, self.kq, w, every, WZ)
            pairs, self.pair = np.unique(self.p * self.kq + self.q, return_inverse=True)
            self.pairs = pairs
            self.dense = self.kq <= _DENSE_LEVELS and self.kp * self.kq <= _DENSE_ENTRIES
            self.pair = self.pair.ravel()
            self.pair_p, self.pair_q = pairs // self.kq, pairs % self.kq
            self.indptr = np.concatenate(([0], np.cumsum(np.bincount(self.pair_p, minlength=self.kp))))
            self.npairs = len(pairs)
            self.pair_count = np.bincount(self.pair, minlength=self.npairs)
            self.pair_mass = (
                self.pair_count.astype(np.float64)
                if w is None
                else np.bincount(self.pair, weights=w, minlength=self.npairs)
            )

    @staticmethod
    def _without(full, rows_sums):
        """A level's count, weight and r = -D_-g'WZ_-g on the rows outside the cluster; a
        level with no row left is exactly zero (the difference of two sums in different
        orders would leave rounding, divided later by a weight that is rounding too)."""
        counts, mass, sums = full[0] - rows_sums[0], full[1] - rows_sums[1], rows_sums[2] - full[2]
        gone = counts == 0
        mass[gone] = 0.0
        sums[gone] = 0.0
        return counts, mass, sums

    def correction(self, rows):
        """r'(D_-g'WD_-g)^+ r for the cluster's `rows` (see the module text): what the
        fixed effects of the rows outside the cluster take from their Gram matrix."""
        n_p, d_p, r_p = self._without(self.full_p, _level_sums(self.p, self.kp, self.w, rows, self.WZ))
        inv_p = np.zeros(self.kp)
        np.divide(1.0, d_p, out=inv_p, where=n_p > 0)
        taken = r_p.T @ (inv_p[:, np.newaxis] * r_p)
        if self.q is None:
            return taken
        n_q, d_q, r_q = self._without(self.full_q, _level_sums(self.q, self.kq, self.w, rows, self.WZ))
        pair_rows = self.pair[rows]
        left = self.pair_count - np.bincount(pair_rows, minlength=self.npairs)
        mass = self.pair_mass - (
            np.bincount(pair_rows, minlength=self.npairs)
            if self.w is None
            else np.bincount(pair_rows, weights=self.w[rows], minlength=self.npairs)
        )
        mass[left == 0] = 0.0
        # Schur complement on the smaller effect: S = D_q - C'D_p^-1 C, s = r_q - C'D_p^-1 r_p,
        # C the cross block; dense while it is small, else sparse
        if self.dense:
            C = np.zeros(self.kp * self.kq)
            C[self.pairs] = mass
            C = C.reshape(self.kp, self.kq)
            scaled = inv_p[:, np.newaxis] * C
            S = np.diag(d_q) - C.T @ scaled
        else:
            C = sparse.csr_matrix((mass, self.pair_q, self.indptr), shape=(self.kp, self.kq))
            scaled = sparse.diags(inv_p) @ C
            S = (sparse.diags(d_q) - C.T @ scaled).tocsr()
        s = r_q - scaled.T @ r_p
        present = np.flatnonzero(n_q > 0)
        keep = _one_level_held(S, present, self.dense)
        if len(keep) == 0:
            return taken
        if self.dense:
            a = cho_solve(cho_factor(S[np.ix_(keep, keep)]), s[keep])
        else:
            a = splu(S[keep][:, keep].tocsc()).solve(np.asfortranarray(s[keep]))
        return taken + s[keep].T @ a


def _one_level_held(S, present, dense):
    """The levels of the smaller effect solved for: S is singular once per connected set of
    levels (the two effects' common constant), so the first level of each set is held at
    zero. Two levels are connected where S has an entry between them: a sum of products of
    positive weights with no cancellation, zero only where they share no level of the
    larger effect."""
    linked = S[np.ix_(present, present)] if dense else S[present][:, present]
    if dense:
        linked = linked != 0
    else:
        linked.eliminate_zeros()
    _, labels = connected_components(linked, directed=False)
    _, first = np.unique(labels, return_index=True)
    return np.delete(present, first)


def _projected_deltas(system, codes, G, label):
    """b_-g - b without a solve over the rows (see the module text): each cluster's Gram
    matrix of the block re-absorbed on the rows outside it, from the full fit's block and
    sums per level."""
    X, u, beta, w = system.X, system.u, system.beta, system.weights
    B = np.empty((system.N, 1 + X.shape[1]))
    B[:, 0] = u + X @ beta
    B[:, 1:] = X
    # the block carries the weights' roots: B'B is Z'WZ, and W Z is B times the roots again
    WZ = B if w is None else B * np.sqrt(w)[:, np.newaxis]
    space = _EffectSpace(system.fe_codes, None if w is None else np.asarray(w, dtype=np.float64), WZ)
    full = B.T @ B
    deltas = np.empty((G, X.shape[1]))
    for g, rows in enumerate(_slices(codes, G)):
        Bg = B[rows]
        gram = full - Bg.T @ Bg - space.correction(rows)
        try:
            deltas[g] = np.linalg.solve(gram[1:, 1:], gram[1:, 0]) - beta
        except np.linalg.LinAlgError:
            raise _singular(label, g) from None
    return deltas


def leave_one_out_deltas(system, codes: np.ndarray, G: int, label: str) -> tuple[np.ndarray, str]:
    """b_-g - b for each cluster g of `codes` (dense ids, G clusters), and how they were
    found ("closed", "projected" or "refits")."""
    if not system.fe_codes or all(nested_in_clusters(system.fe_codes, [codes])):
        return _closed_deltas(system, codes, G, label), "closed"
    if len(system.fe_codes) <= 2:
        return _projected_deltas(system, codes, G, label), "projected"
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
