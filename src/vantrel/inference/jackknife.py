"""The cluster jackknife (CRV3) with fixed effects, and the clusters' leverage summary.

CRV3 is sum_g (b_-g - b)(b_-g - b)' over the clusters g, b_-g the estimate without g's
rows, with the corrections of CRV1 (as pyfixest; MacKinnon, Nielsen and Webb's CV3 is
(G-1)/G times the plain sum, ``ssc="none"``), one term per subset of the cluster
variables with the signs of the multiway sum.

When every fixed effect is nested in the clusters, leaving a cluster out removes whole
levels and leaves the absorbed rows of the others as they are: b_-g - b is then
-(X'X - X_g'X_g)^-1 X_g'u_g on the absorbed system, closed.

Otherwise the other rows' absorbed values change. The change is found in the space of
the fixed effects (with one or two effects always, with more while their levels are few),
without a pass of the solver over the rows. Let Z be the full fit's absorbed [y X] and D
the effects' dummies. Absorbing the rows outside g again from Z (not from the raw
columns) gives the same result, as the difference is the full fit's fixed-effect values,
which those rows' own effects absorb.
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

With three or more fixed effects the same holds with the Schur complement on every effect
but the largest; its singular directions (the effects' common constants) have no pattern
known beforehand, so a pivoted Cholesky factor holds the levels of its negligible pivots
at zero, while the dense work per cluster stays small against an absorption of the rows.
Every cluster's solution is checked to solve its system to rounding, which makes it exact
whatever levels were held.

Otherwise (more levels, or a solution that does not check) each b_-g is a fit of its own:
the fit's absorbed block (its rows outside g) is absorbed again on those rows' fixed
effects, starting from the full fit's absorbed values (exact, as above) and from the
preconditioner the full fit settled on. Its tolerance is relative to the columns, so a
refit still takes the fit's iterations: what the refits save is the formula, the sample
and the stacking, not the solve.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from scipy import sparse
from scipy.linalg import cho_factor, cho_solve, lapack, solve_triangular
from scipy.sparse.csgraph import connected_components
from scipy.sparse.linalg import splu

from vantrel.core.absorption import Absorption, demeaning_scale
from vantrel.core.blas import ONE_BLAS_THREAD
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


# Order of the Schur complement (the levels of every effect but the largest) up to which the
# leave-one-out systems in the space of the fixed effects are dense matrices, factored per
# cluster, with their cross block of at most _DENSE_ENTRIES entries; beyond either, two
# effects are sparse and factored by SuperLU, and three or more are refitted.
_DENSE_LEVELS = 1000
_DENSE_ENTRIES = 1 << 22
# With three or more effects a cluster's dense work (forming and factoring the Schur
# complement, about kp m^2 + m^3 / 3 flops for kp levels of the largest effect and m of the
# others) is taken while it stays below this many flops per entry of the block and effect,
# less than an absorption of the rows outside the cluster (its iterations pass over every
# entry once per effect, each pass several flops per entry).
_DENSE_FLOPS_PER_ENTRY = 64
# Pivots of the pivoted Cholesky factor below this part of the largest diagonal entry are
# taken as the effects' common constants (rounding leaves them near 1e-13 and less).
_PIVOT_TOLERANCE = 1e-10
# A solution of the leave-one-out system is accepted when its residual is below this part
# of the system's scale; otherwise the clusters are refitted.
_CERTIFIED = 1e-9


class _Uncertified(Exception):
    """A leave-one-out system whose solution could not be certified (see `_certified`)."""


def _level_sums(codes, k, weights, rows, values):
    """Per level of `codes` (k levels) over `rows`: the count, the sum of `weights` (None:
    the count) and the column sums of `values`."""
    c = codes[rows]
    counts = np.bincount(c, minlength=k)
    mass = counts.astype(np.float64) if weights is None else np.bincount(c, weights=weights[rows], minlength=k)
    sums = np.column_stack([np.bincount(c, weights=values[rows, j], minlength=k) for j in range(values.shape[1])])
    return counts, mass, sums


def _without(full, rows_sums):
    """A level's count, weight and r = -D_-g'WZ_-g on the rows outside the cluster; a level
    with no row left is exactly zero (the difference of two sums in different orders would
    leave rounding, divided later by a weight that is rounding too)."""
    counts, mass, sums = full[0] - rows_sums[0], full[1] - rows_sums[1], rows_sums[2] - full[2]
    gone = counts == 0
    mass[gone] = 0.0
    sums[gone] = 0.0
    return counts, mass, sums


class _Pairs:
    """The pairs of levels of two effects that share rows in the full sample, with their
    rows and weight: the cross block of D'WD, its pattern fixed by the full sample so that
    every cluster's block lines up with it."""

    def __init__(self, a, b, kb, w):
        pairs, inverse = np.unique(a * kb + b, return_inverse=True)
        self.first, self.second = pairs // kb, pairs % kb
        self.inverse = inverse.ravel()
        self.n = len(pairs)
        self.count = np.bincount(self.inverse, minlength=self.n)
        self.mass = (
            self.count.astype(np.float64) if w is None else np.bincount(self.inverse, weights=w, minlength=self.n)
        )

    def without(self, rows, w):
        """Each pair's rows left outside the cluster and their weight (exactly 0 with none)."""
        ids = self.inverse[rows]
        taken = np.bincount(ids, minlength=self.n)
        left = self.count - taken
        mass = self.mass - (taken if w is None else np.bincount(ids, weights=w[rows], minlength=self.n))
        mass[left == 0] = 0.0
        return left, mass


class _EffectSpace:
    """The full sample's sums the leave-one-out projections start from: per level of each
    effect its rows, their weight and the weighted sums of the absorbed [y X], and per pair
    of effects the cross blocks of D'WD. The largest effect is eliminated (its block of
    D'WD is diagonal) and the Schur complement on the others solved per cluster."""

    def __init__(self, fe_codes, w, WZ):
        self.w, self.WZ = w, WZ
        levels = [int(f.max()) + 1 for f in fe_codes]
        order = sorted(range(len(fe_codes)), key=lambda f: -levels[f])
        self.codes = [fe_codes[f].astype(np.int64) for f in order]
        self.k = [levels[f] for f in order]
        every = slice(None)
        self.full = [_level_sums(c, k, w, every, WZ) for c, k in zip(self.codes, self.k, strict=True)]
        self.offsets = np.concatenate(([0], np.cumsum(self.k[1:]))).astype(np.int64)
        self.m = int(self.offsets[-1])
        kp = self.k[0]
        self.dense = len(self.codes) > 2 or (self.m <= _DENSE_LEVELS and kp * self.m <= _DENSE_ENTRIES)
        # the cross blocks: largest effect with each other (into C), the others among
        # themselves (into E); their entries' places in the dense matrices
        self.cross = []  # (pairs, flat index into C) for the largest effect with each other
        for i in range(1, len(self.codes)):
            pairs = _Pairs(self.codes[0], self.codes[i], self.k[i], w)
            self.cross.append((pairs, pairs.first * self.m + self.offsets[i - 1] + pairs.second))
        self.among = []  # (pairs, rows and columns in E) for two effects other than the largest
        for i in range(1, len(self.codes)):
            for j in range(i + 1, len(self.codes)):
                pairs = _Pairs(self.codes[i], self.codes[j], self.k[j], w)
                self.among.append((pairs, self.offsets[i - 1] + pairs.first, self.offsets[j - 1] + pairs.second))
        if not self.dense:  # two effects, sparse: the cross block in compressed rows
            pairs = self.cross[0][0]
            self.indptr = np.concatenate(([0], np.cumsum(np.bincount(pairs.first, minlength=kp))))

    @staticmethod
    def applies(fe_codes, N, K):
        """Whether the leave-one-out fits go through the effects' space: one or two effects
        always, more while the dense work per cluster is small (see _DENSE_FLOPS_PER_ENTRY)."""
        if len(fe_codes) <= 2:
            return True
        levels = sorted((int(f.max()) + 1 for f in fe_codes), reverse=True)
        kp, m = levels[0], sum(levels[1:])
        flops = kp * m * m + m**3 / 3
        budget = _DENSE_FLOPS_PER_ENTRY * N * (K + 1) * len(fe_codes)
        return m <= _DENSE_LEVELS and kp * m <= _DENSE_ENTRIES and flops <= budget

    def correction(self, rows):
        """r'(D_-g'WD_-g)^+ r for the cluster's `rows` (see the module text): what the
        fixed effects of the rows outside the cluster take from their Gram matrix."""
        w, WZ = self.w, self.WZ
        n_p, d_p, r_p = _without(self.full[0], _level_sums(self.codes[0], self.k[0], w, rows, WZ))
        inv_p = np.zeros(self.k[0])
        np.divide(1.0, d_p, out=inv_p, where=n_p > 0)
        taken = r_p.T @ (inv_p[:, np.newaxis] * r_p)
        if len(self.codes) == 1:
            return taken
        others = [
            _without(full, _level_sums(c, k, w, rows, WZ))
            for full, c, k in zip(self.full[1:], self.codes[1:], self.k[1:], strict=True)
        ]
        n_q = np.concatenate([o[0] for o in others])
        d_q = np.concatenate([o[1] for o in others])
        r_q = np.concatenate([o[2] for o in others])
        # Schur complement on the smaller effects: S = E - C'D_p^-1 C, s = r_q - C'D_p^-1 r_p,
        # C the cross blocks of the largest effect with the others, E the others' block
        if self.dense:
            C = np.zeros(self.k[0] * self.m)
            for pairs, at in self.cross:
                C[at] = pairs.without(rows, w)[1]
            C = C.reshape(self.k[0], self.m)
            scaled = inv_p[:, np.newaxis] * C
            S = np.diag(d_q) - C.T @ scaled
            for pairs, at_row, at_column in self.among:
                mass = pairs.without(rows, w)[1]
                S[at_row, at_column] += mass
                S[at_column, at_row] += mass
        else:
            mass = self.cross[0][0].without(rows, w)[1]
            C = sparse.csr_matrix((mass, self.cross[0][0].second, self.indptr), shape=(self.k[0], self.m))
            scaled = sparse.diags(inv_p) @ C
            S = (sparse.diags(d_q) - C.T @ scaled).tocsr()
        s = r_q - scaled.T @ r_p
        present = np.flatnonzero(n_q > 0)
        if len(present) == 0:
            return taken
        if len(self.codes) > 2:
            a = _pivoted_solve(S[np.ix_(present, present)], s[present])
        else:
            keep = _one_level_held(S, present, self.dense)
            if len(keep) == 0:
                return taken
            if self.dense:
                a = cho_solve(cho_factor(S[np.ix_(keep, keep)]), s[keep])
            else:
                a = splu(S[keep][:, keep].tocsc()).solve(np.asfortranarray(s[keep]))
            present = keep
        _certified(S[np.ix_(present, present)] if self.dense else S[present][:, present], a, s[present])
        return taken + s[present].T @ a


def _one_level_held(S, present, dense):
    """The levels of the smaller effect solved for, with two effects: S is singular once
    per connected set of levels (the two effects' common constant), so the first level of
    each set is held at zero. Two levels are connected where S has an entry between them:
    a sum of products of positive weights with no cancellation, zero only where they share
    no level of the larger effect."""
    linked = S[np.ix_(present, present)] if dense else S[present][:, present]
    if dense:
        linked = linked != 0
    else:
        linked.eliminate_zeros()
    _, labels = connected_components(linked, directed=False)
    _, first = np.unique(labels, return_index=True)
    return np.delete(present, first)


def _pivoted_solve(S, s):
    """A solution of S a = s, S positive semidefinite and s in its range, with three or more
    effects (whose common constants have no known pattern): the pivoted Cholesky factor
    stops at the pivots rounding leaves of the singular directions, and those levels are
    held at zero."""
    c, piv, rank, info = lapack.dpstrf(S, tol=_PIVOT_TOLERANCE * float(np.max(np.diag(S))), lower=0)
    if info < 0:
        raise _Uncertified
    order = piv[:rank] - 1
    U = np.triu(c[:rank, :rank])
    a = np.zeros_like(s)
    a[order] = solve_triangular(U, solve_triangular(U, s[order], trans="T"))
    return a


def _certified(S, a, s):
    """Raise `_Uncertified` unless S a = s to rounding: the solution then gives the exact
    correction whatever levels were held at zero."""
    residual = S @ a - s
    size = float(abs(S).max()) if sparse.issparse(S) else float(np.abs(S).max(initial=0.0))
    scale = float(np.abs(s).max(initial=0.0)) + size * float(np.abs(a).max(initial=0.0))
    if not np.abs(residual).max(initial=0.0) <= _CERTIFIED * scale:
        raise _Uncertified


def _projected_deltas(system, codes, G, label):
    """b_-g - b without a solve over the rows (see the module text): each cluster's Gram
    matrix of the block re-absorbed on the rows outside it, from the full fit's block and
    sums per level. Raises `_Uncertified` when a cluster's system is not solved to rounding."""
    X, u, beta, w = system.X, system.u, system.beta, system.weights
    B = np.empty((system.N, 1 + X.shape[1]))
    B[:, 0] = u + X @ beta
    B[:, 1:] = X
    # the block carries the weights' roots: B'B is Z'WZ, and W Z is B times the roots again
    WZ = B if w is None else B * np.sqrt(w)[:, np.newaxis]
    space = _EffectSpace(system.fe_codes, None if w is None else np.asarray(w, dtype=np.float64), WZ)
    full = B.T @ B
    deltas = np.empty((G, X.shape[1]))
    # every product per cluster is small: more BLAS threads only wait on each other (and on
    # the kernel's), 40 ms for a 30 x 1000 by 1000 x 30 product on two busy cores
    with ONE_BLAS_THREAD:
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
    if _EffectSpace.applies(system.fe_codes, system.N, system.X.shape[1]):
        try:
            return _projected_deltas(system, codes, G, label), "projected"
        except _Uncertified:
            pass
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
