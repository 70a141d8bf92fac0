"""Fixed-effect values from an estimated model.

The absorption never forms the fixed-effect coefficients. Given the slopes, they solve
the least-squares problem of ``y - X beta`` on the dummy sets, (weighted) group means
backfitted in Gauss-Seidel order; what a fixed number of sweeps leaves (weakly connected
effects converge slowly) is finished by LSMR on the dummy columns scaled to unit length.
"""

from __future__ import annotations

import numpy as np
import scipy.sparse
import scipy.sparse.linalg

SWEEP_TOL = 1e-10
MAX_SWEEPS = 200
KRYLOV_TOL = 1e-14
KRYLOV_MAX_ITERATIONS = 10_000


def fixed_effect_values(target: np.ndarray, codes: list[np.ndarray], weights: np.ndarray | None = None
                        ) -> tuple[np.ndarray, bool]:
    """Values of every effect per observation (N x F, not normalised) whose sum fits
    `target` in (weighted) least squares, and whether they converged.

    codes: per effect dense ids 0 .. G-1 of the observations.
    """
    N, F = len(target), len(codes)
    counts = [np.bincount(c, weights=weights) for c in codes]
    values = np.zeros((N, F), order="F")
    for _ in range(MAX_SWEEPS):
        change = 0.0
        for i, c in enumerate(codes):
            rest = target if F == 1 else target - (values.sum(axis=1) - values[:, i])
            sums = np.bincount(c, weights=rest if weights is None else rest * weights, minlength=len(counts[i]))
            new = (sums / counts[i])[c]
            change = max(change, float(np.max(np.abs(new - values[:, i]))) if N else 0.0)
            values[:, i] = new
        if change < SWEEP_TOL:
            return values, True
    return values, _finish_by_lsmr(target, codes, counts, weights, values)


def _finish_by_lsmr(target, codes, counts, weights, values) -> bool:
    """Solve for the correction the sweeps still lack; updates `values`; whether LSMR met
    its tolerance."""
    N = len(target)
    root_w = np.ones(N) if weights is None else np.sqrt(weights)
    rows = np.tile(np.arange(N), len(codes))
    columns, entries, offsets, start = [], [], [], 0
    for c, count in zip(codes, counts):
        columns.append(c + start)
        entries.append(root_w / np.sqrt(count[c]))
        offsets.append(start)
        start += len(count)
    D = scipy.sparse.csr_matrix((np.concatenate(entries), (rows, np.concatenate(columns))), shape=(N, start))
    gap = root_w * (target - values.sum(axis=1))
    solution = scipy.sparse.linalg.lsmr(D, gap, atol=KRYLOV_TOL, btol=KRYLOV_TOL, conlim=0,
                                        maxiter=KRYLOV_MAX_ITERATIONS)
    for i, (c, count) in enumerate(zip(codes, counts)):
        alpha = solution[0][offsets[i]:offsets[i] + len(count)] / np.sqrt(count)
        values[:, i] += alpha[c]
    return solution[1] in (0, 1, 2, 4, 5)
