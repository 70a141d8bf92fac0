"""Separation in Poisson models: observations whose mean goes to zero at the maximum.

An observation with y = 0 is separated when some combination of the regressors and the
fixed effects, z = X b + D a, is zero at every observation with y > 0 and non-negative at
every observation with y = 0, positive at it: along that direction the likelihood rises
forever and its mean tends to zero. The estimate of the rest exists once such observations
are dropped (and the combination's coefficients are then not identified, so they go as
collinear). Three methods find them, each catching what the others may not:

- "fe": the groups of a fixed effect whose outcome is zero in every row (z is that group's
  indicator);
- "simplex": a linear programme on the regressors alone, for separation without fixed
  effects (maximise the sum of X b over y = 0, with X b = 0 where y > 0 and 0 <= X b <= 1
  where y = 0; the rows with X b > 0 are separated);
- "relu": the iterative rectifier, for separation that involves the fixed effects and the
  regressors together: a least squares of u (1 where y = 0 at the start) on the regressors
  and fixed effects, the rows with y > 0 weighted heavily so that the fit is held at zero
  there; the negative fitted values of y = 0 rows are set to zero in u and the fit repeated,
  until no fitted value is negative; the rows with a positive fit are then separated.

Before the rectifier runs, a cheap certificate may show that nothing can be separated.
With A = [X D] the design and A1 its rows with y > 0, a combination z = A c that is zero on
every row with y > 0 has c in the null space of A1; if A1 has the rank of A, that null
space is A's own and z is zero on every row: no observation is separated. The rank is
shown in two steps. The fixed effects: the row of D of an observation with y = 0 lies in
the row space of D1 when it differs from a row with y > 0 in one effect only, at a level
linked to that row's level (two levels of an effect are linked when rows with y > 0 share
every other effect's level across them, and so on transitively: the difference of their
indicators is then a difference of rows of D1); linked levels are then one level, and the
next effect is linked (`_linked_to_positive`). Then rank(D1) = rank(D), and rank(A1) =
rank(D1) + rank(M1 X1) (M1: the absorption over the rows with y > 0), which is rank(A)
when the absorbed regressors keep full column rank. The certificate is sufficient, not
necessary: when it fails the rectifier decides.
"""

from __future__ import annotations

import numpy as np

from vantrel.backend.quarnet import bipartite_components, zero_groups
from vantrel.core.absorption import Absorption
from vantrel.core.dense_ids import combine_ids, compact_codes
from vantrel.core.least_squares import weighted_gram

METHODS = ("fe", "simplex", "relu")

# The weight of the rows with y > 0 relative to those with y = 0 in the rectifier's least
# squares: large enough that their fitted values are zero to well below the threshold.
_RELU_WEIGHT = 1e8
# A fitted value of the rectifier (whose values start at 1 and stay of that order) counts
# as zero below this; a row is separated when its settled fitted value is above _POSITIVE
# times the largest one, and so is one of the programme's (values in [0, 1]) above
# _POSITIVE.
_ZERO = 1e-9
_POSITIVE = 1e-6
_RELU_MAXITER = 10_000
# The certificate's rank test: the smallest eigenvalue of the absorbed regressors' cross
# products per row, each regressor first scaled to a root mean square of one over the rows
# with y > 0, must exceed this. A regressor in the span of the effects leaves about the
# solver's tolerance squared (1e-16); a well-determined one is of order one. A design in
# between fails the certificate and goes to the rectifier, which decides it.
_CERTIFIED_RANK = 1e-8


def check_separation(separation) -> tuple[str, ...]:
    """The methods of the `separation` argument: a name of METHODS, a sequence of them, or
    None / () for none."""
    if separation is None:
        return ()
    if isinstance(separation, str):
        separation = (separation,)
    try:
        methods = tuple(separation)
    except TypeError:
        raise TypeError(
            f"separation must be one of {METHODS}, a sequence of them or None, got {separation!r}"
        ) from None
    for method in methods:
        if method not in METHODS:
            raise ValueError(f"separation = {separation!r}: {method!r} is not a method; use any of {METHODS} (or None)")
    return tuple(dict.fromkeys(methods))


def fe_separated(y: np.ndarray, ids) -> np.ndarray:
    """Rows in a fixed-effect group whose outcome is zero in every row (`ids`: N x F dense
    level ids; the outcome is non-negative, so a zero sum is an all-zero group)."""
    if ids is None:
        return np.zeros(len(y), dtype=bool)
    # one pass per effect in the kernel marks its levels with a positive outcome, another the
    # rows of the rest (in NumPy a sum per level, its gather and a comparison: four passes)
    if ids.dtype not in (np.int32, np.int64):
        ids = ids.astype(np.int64)
    return zero_groups(np.ascontiguousarray(y, dtype=np.float64), ids, 0)


def _standardised(X: np.ndarray) -> np.ndarray:
    size = np.sqrt(np.mean(X * X, axis=0)) if len(X) else np.ones(X.shape[1])
    return X / np.where(size > 0, size, 1.0)


def simplex_separated(y: np.ndarray, X: np.ndarray) -> np.ndarray:
    """Rows separated by the regressors `X` (N x K, the intercept's ones among them when
    the model has one) alone: the linear programme of the module text, by HiGHS."""
    from scipy.optimize import linprog

    separated = np.zeros(len(y), dtype=bool)
    zero = y == 0
    if X.shape[1] == 0 or not zero.any():
        return separated
    k = X.shape[1]
    size = np.sqrt(np.einsum("ij,ij->j", X, X) / len(X))
    size = np.where(size > 0, size, 1.0)
    positive = ~zero
    if np.count_nonzero(positive) >= k:
        # X b = 0 on the rows with y > 0 leaves only b = 0 when the standardised columns
        # there are independent: nothing can be separated, and the programme (a constraint
        # per row) need not run. The common case, decided by the K x K cross products over
        # those rows (those of the standardised columns, formed without a standardised
        # copy, nor a copy of the rows: a weight of one on them, zero elsewhere).
        gram = weighted_gram(X, positive.astype(np.float64))
        eigenvalues = np.linalg.eigvalsh(gram / np.outer(size, size))
        if eigenvalues[0] > 1e-12 * eigenvalues[-1]:
            return separated
    Xs = X / size
    X0, X1 = Xs[zero], Xs[~zero]
    outcome = linprog(
        -X0.sum(axis=0),
        A_ub=np.vstack([X0, -X0]),
        b_ub=np.concatenate([np.ones(len(X0)), np.zeros(len(X0))]),
        A_eq=X1 if len(X1) else None,
        b_eq=np.zeros(len(X1)) if len(X1) else None,
        bounds=[(None, None)] * k,
        method="highs",
    )
    if outcome.status != 0:  # the programme is feasible (b = 0) and bounded: only a solver failure
        raise RuntimeError(f"separation: the linear programme of the simplex method failed ({outcome.message})")
    separated[np.flatnonzero(zero)] = X0 @ outcome.x > _POSITIVE
    return separated


def _linked_to_positive(zero: np.ndarray, positive: np.ndarray, ids) -> bool:
    """Whether the row of the fixed effects' indicators of every observation in `zero` (a
    mask of rows with y = 0) lies in the row space of those in `positive` (the rows with
    y > 0; rows in neither are left out), by the links of the module text. For each effect
    in turn: a graph whose nodes are its levels and the combinations of the other effects'
    levels, an edge per row already in the row space (at first those with y > 0); a row is
    in it when its level and its combination are connected. The levels one component links
    differ by a vector of the row space, so the effect's levels are then merged into their
    components (a row's indicators and the merged ones differ by a vector of the row
    space) before the next effect is linked: on three effects the first effect's links
    make it nearly one class, and the second's then reach the rest."""
    F = ids.shape[1]
    # the sample's dense ids as they are (a level without rows is an isolated node); the
    # combinations of two or more effects are ranked from 64-bit ids
    codes = [np.ascontiguousarray(ids[:, j] if F < 3 else np.asarray(ids[:, j], dtype=np.int64)) for j in range(F)]
    shown = positive.copy()
    rest = np.flatnonzero(zero & ~shown)  # the rows of `zero` not yet shown
    stalled = 0  # effects linked in a row that neither showed a row nor merged a level
    j = 0
    while len(rest) and stalled < F:
        others = [codes[i] for i in range(F) if i != j]
        key = combine_ids(others) if others else np.zeros(len(zero), dtype=np.int64)
        levels, keys = int(codes[j].max()) + 1, int(key.max()) + 1
        # the components of the graph whose edges are the shown rows, by union-find over
        # the rows in the kernel (no graph built: sorting the edges into one cost more than
        # the search)
        component = bipartite_components(codes[j], np.ascontiguousarray(key, dtype=np.int64), levels, keys, shown)
        now = component[codes[j][rest]] == component[levels + key[rest]]
        shown[rest[now]] = True
        rest = rest[~now]
        if not len(rest):
            break  # every row shown: no merge needed
        merged = compact_codes(component[:levels].astype(np.int64))[codes[j]]
        progress = now.any() or int(merged.max()) + 1 < levels
        codes[j] = merged
        stalled = 0 if progress else stalled + 1
        j = (j + 1) % F
    return not len(rest)


# The rows with y > 0 of the regressors' rank test, tried first: the rows of the first
# effect's first levels, about this many (a subset whose absorbed regressors have full
# rank shows it for all the rows: a combination in the effects' span there is one on the
# subset too). The kernel's set-up grows with the rows, so a small subset decides the
# common case at a fraction of an absorption of every row.
_RANK_SUBSET = 1 << 16


def _absorbed_full_rank(X: np.ndarray, ids, rows: np.ndarray, *, tol, maxiter, n_threads) -> bool:
    """Whether the regressors `X` over `rows`, absorbed of the effects of `ids` there,
    keep full column rank (the test of `_CERTIFIED_RANK`)."""
    if len(rows) <= X.shape[1]:
        return False
    X1 = np.ascontiguousarray(X[rows], dtype=np.float64)
    size = np.sqrt(np.einsum("ij,ij->j", X1, X1) / len(X1))
    if not (size > 0).all():
        return False
    X1 /= size
    if ids is not None:
        # dense ids over the rows: the kernel reads every level 0 .. G-1 as present
        ids1 = np.empty((len(rows), ids.shape[1]), dtype=ids.dtype, order="F")
        for j in range(ids.shape[1]):
            ids1[:, j] = compact_codes(np.asarray(ids[rows, j], dtype=np.int64))
        Absorption(ids1, None, tol=tol, maxiter=maxiter, n_threads=n_threads).absorb(X1)
    eigenvalues = np.linalg.eigvalsh(X1.T @ X1 / len(X1))
    return bool(eigenvalues[0] > _CERTIFIED_RANK)


def nothing_separable(
    y: np.ndarray, X: np.ndarray, ids, *, tol: float, maxiter: int, n_threads: int, left_out=None
) -> bool:
    """Whether the certificate of the module text shows that no observation can be
    separated by the regressors `X` (N x K) and the fixed effects of `ids` (None: none):
    the rows with y > 0 have the rank of the whole design. False leaves the question open.
    `tol`, `maxiter`, `n_threads`: the absorption of the regressors over the rows with
    y > 0; `left_out`: a mask of rows with y = 0 that are not part of the design (those
    an earlier method found separated), or None."""
    zero = y == 0
    if left_out is not None:
        zero &= ~left_out
    if not zero.any():
        return True
    if ids is not None and not _linked_to_positive(zero, y != 0, ids):
        return False
    if X.shape[1] == 0:
        return True
    positive = np.flatnonzero(y != 0)
    options = {"tol": tol, "maxiter": maxiter, "n_threads": n_threads}
    if ids is not None and len(positive) > 4 * _RANK_SUBSET:
        first = np.asarray(ids[positive, 0], dtype=np.int64)
        cut = int(np.searchsorted(np.cumsum(np.bincount(first)), _RANK_SUBSET)) + 1
        # on one thread: a problem this small gains nothing from a second, whose
        # synchronisation beside busy processes costs more than the solve (0.2 s for 0.01)
        if _absorbed_full_rank(X, ids, positive[first < cut], **{**options, "n_threads": 1}):
            return True
    return _absorbed_full_rank(X, ids, positive, **options)


def relu_separated(
    y: np.ndarray, X: np.ndarray, ids, *, tol: float, maxiter: int, n_threads: int, certify: bool = True
) -> tuple[np.ndarray, int]:
    """Rows separated by the regressors `X` (N x K) and the fixed effects of `ids` (None:
    none) together, by the iterative rectifier of the module text; returns the mask and
    the rectifier's iterations (0 when the certificate showed that nothing is separated,
    or no outcome is zero). `tol`, `maxiter`: the absorption's; `certify`: False runs the
    rectifier without the certificate."""
    N = len(y)
    zero = y == 0
    if not zero.any():
        return np.zeros(N, dtype=bool), 0
    if certify and nothing_separable(y, X, ids, tol=tol, maxiter=maxiter, n_threads=n_threads):
        return np.zeros(N, dtype=bool), 0
    weights = np.where(zero, 1.0, _RELU_WEIGHT)
    Xs = _standardised(X) if X.shape[1] else X
    absorption = None
    if ids is not None:
        absorption = Absorption(ids, weights, tol=tol, maxiter=maxiter, n_threads=n_threads)
        if Xs.shape[1]:
            Xs = np.ascontiguousarray(Xs, dtype=np.float64)
            absorption.absorb(Xs)
    root = np.sqrt(weights)
    WX = Xs * root[:, np.newaxis]
    u = zero.astype(np.float64)
    absorbed = u[:, np.newaxis].copy()  # absorbed in place; u stays
    for iteration in range(1, _RELU_MAXITER + 1):
        if absorption is not None:
            absorption.absorb(absorbed)
        resid = absorbed[:, 0].copy()
        if Xs.shape[1]:
            b = np.linalg.lstsq(WX, resid * root, rcond=None)[0]
            resid -= Xs @ b
        fitted = u - resid
        fitted[np.abs(fitted) < _ZERO] = 0.0
        u_new = np.where(zero, np.maximum(fitted, 0.0), 0.0)
        # Once no fitted value is negative the positive ones still shrink towards their
        # limit (a few 1e-6 left on rows that are not separated, on ppmlhdfe's hardest
        # case): the rectifier runs on until u no longer changes.
        settled = np.max(np.abs(u_new - u)) <= _ZERO * max(1.0, float(u_new.max()))
        if not (fitted[zero] < 0).any() and settled:
            largest = float(fitted.max())
            return zero & (fitted > _POSITIVE * max(largest, 1.0)), iteration
        # the absorbed column carried over with u's change (the fixed effects' part of u
        # is annihilated whichever the start)
        if absorption is not None:
            absorbed[:, 0] += u_new - u
        else:
            absorbed[:, 0] = u_new
        u = u_new
    raise RuntimeError(
        f"separation = 'relu': the rectifier did not settle in {_RELU_MAXITER} iterations; "
        "try separation=('fe', 'simplex')"
    )


def separated_rows(y, X, ids, methods, *, tol: float, maxiter: int, n_threads: int) -> dict[str, np.ndarray]:
    """Each method's separated rows (masks over the rows of `y`, in the order of `methods`;
    a row found by an earlier method is not counted again)."""
    found: dict[str, np.ndarray] = {}
    already = np.zeros(len(y), dtype=bool)
    for method in methods:
        if method == "fe":
            mask = fe_separated(y, ids)
        elif method == "simplex":
            mask = simplex_separated(y, X)
        else:
            # the rows an earlier method found are separated, and dropping separated rows
            # separates no other (nor un-separates one): when the certificate shows the rest
            # has none, the rectifier would find those rows alone
            if nothing_separable(
                y, X, ids, tol=tol, maxiter=maxiter, n_threads=n_threads, left_out=already if already.any() else None
            ):
                mask = np.zeros(len(y), dtype=bool)
            else:
                mask, _ = relu_separated(y, X, ids, tol=tol, maxiter=maxiter, n_threads=n_threads, certify=False)
        found[method] = mask & ~already
        already |= mask
    return found
