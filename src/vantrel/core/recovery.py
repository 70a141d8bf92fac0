"""Fixed-effect values from the residuals of the fixed effects' part: alternating projections,
then Krylov on what is left."""

import numpy as np
import scipy.sparse
import scipy.sparse.linalg

# Backfitting stops when no observation's value moved by this much in a sweep.
_TOL = 1e-10


_MAX_SWEEPS = 200


# Backfitting crawls when the groups of two effects are weakly connected (workers who
# rarely change firms): after _MAX_SWEEPS the rest is solved by a Krylov method.
_KRYLOV_TOL = 1e-14


# LSMR needs tens to hundreds of iterations on weakly connected panels (a few hundred at
# 200,000 rows of a worker-firm chain); this many means it is not getting there.
_KRYLOV_MAX_ITERATIONS = 10_000


NOT_CONVERGED = "Fixed effects did not converge; the recovered values may be inaccurate"


def _solve_remaining(coded, counts, residuals, fe_values, weights=None):
    """Finish the backfitting by least squares on the dummy columns (LSMR).

    Solves for the correction that the sweeps still lack, `residuals` minus the current
    sum of the effects, with every dummy column scaled to unit length (the sweeps' own
    scaling by group size; with `weights`, rows and groups weighted). Updates `fe_values`
    in place; returns whether LSMR met its tolerance.
    """
    N = len(residuals)
    root_w = np.ones(N) if weights is None else np.sqrt(weights)
    rows = np.tile(np.arange(N), len(coded))
    columns, entries, offsets, start = [], [], [], 0
    for (codes, n_levels), count in zip(coded, counts, strict=True):
        columns.append(codes + start)
        entries.append(1.0 / np.sqrt(count[codes]) if weights is None else root_w / np.sqrt(count[codes]))
        offsets.append(start)
        start += n_levels
    D = scipy.sparse.csr_matrix((np.concatenate(entries), (rows, np.concatenate(columns))), shape=(N, start))
    gap = residuals - fe_values.sum(axis=1)
    if weights is not None:
        gap = root_w * gap
    solution = scipy.sparse.linalg.lsmr(
        D, gap, atol=_KRYLOV_TOL, btol=_KRYLOV_TOL, conlim=0, maxiter=_KRYLOV_MAX_ITERATIONS
    )
    for i, ((codes, n_levels), count) in enumerate(zip(coded, counts, strict=True)):
        alpha = solution[0][offsets[i] : offsets[i] + n_levels] / np.sqrt(count)
        fe_values[:, i] += alpha[codes]
    return solution[1] in (0, 1, 2, 4, 5)


def backfit(residuals, coded, weights=None, verb=0):
    """The values of every effect per observation (N x F, not normalised) whose sum fits
    `residuals` in (weighted) least squares, and whether they converged.

    coded: per effect (dense codes of the observations, number of levels). At most 200
    sweeps of group means in Gauss-Seidel order (each dimension sees the values already
    updated in the same sweep), stopping once no value moved by 1e-10 or more; what 200
    sweeps leave is solved by LSMR.
    """
    N, fedim = len(residuals), len(coded)
    counts = [np.bincount(codes, weights=weights, minlength=n_levels) for codes, n_levels in coded]
    # Column-major so each dimension's column is one contiguous vector.
    fe_values = np.zeros((N, fedim), order="F")
    for iteration in range(_MAX_SWEEPS):
        old = fe_values.copy(order="F")
        for i, (codes, n_levels) in enumerate(coded):
            if fedim == 1:
                target = residuals
            else:
                others = [j for j in range(fedim) if j != i]
                target = residuals - fe_values[:, others].sum(axis=1)
            sums = np.bincount(codes, weights=target if weights is None else target * weights, minlength=n_levels)
            fe_values[:, i] = (sums / counts[i])[codes]
        if np.max(np.abs(old - fe_values)) < _TOL:
            if verb > 0:
                print(f"Fixed effects converged in {iteration + 1} iterations")
            return fe_values, True
    return fe_values, _solve_remaining(coded, counts, residuals, fe_values, weights)
