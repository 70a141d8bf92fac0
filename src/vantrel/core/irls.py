"""Iteratively reweighted least squares with fixed effects absorbed, for any `Family`.

Each iteration is a weighted least squares of the working variable z on the regressors
with the fixed effects, under the working weights W of the current mean. Nothing is
demeaned from scratch after the first iteration. The absorbed column of a variable v is
v - D a for some fixed-effect coefficients a (D: the effects' indicators), whatever the
accuracy of the solve; the demeaning under any weights annihilates D a, so

    demean_W'(z') = demean_W'(demean_W(z) + (z' - z)),  demean_W'(X) = demean_W'(demean_W(X)).

The previous iteration's absorbed block, with the change of the working variable added to
its first column, is absorbed again under the new weights: exactly the same result, from
columns that are already nearly free of the fixed effects, which the solver finishes in a
few iterations (the warm start the fastest Poisson programs use). The solver's tolerance
starts loose (1e-2) and follows the deviance down to `fixef_tol`: early iterations need
only the direction. The iterations stop once the relative change of the deviance,
|dev - dev_old| / (0.1 + |dev|) (fixest's and pyfixest's criterion), is below `tol` with
the absorption at its final tolerance.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from vantrel.core.absorption import Absorption, demeaning_scale, stack_standardised
from vantrel.core.least_squares import column_sizes, solve_normal_equations, weighted_gram

# The absorption's tolerance in the first iteration; it follows the deviance down. The
# first steps need only a direction: at 1e-2 rather than 1e-4 the solver takes 21 instead
# of 26 iterations in all on the simple design at 1e6 rows (2 effects), 22 instead of 28
# (3 effects), as many outer iterations, and the estimate moves by rounding (1e-15 in the
# coefficients, 1e-11 relative in their standard errors).
FIRST_INNER_TOL = 1e-2
# Halvings of a step whose deviance is not finite or grew, before giving up.
MAX_HALVINGS = 30


class NotConverged(ValueError):
    """The reweighted least squares did not converge within its iteration limit."""


def relative_change(deviance: float, deviance_old: float) -> float:
    """The convergence measure of the iterations: |dev - dev_old| / (0.1 + |dev|)."""
    return abs(deviance - deviance_old) / (0.1 + abs(deviance))


def step_rejected(deviance: float, deviance_old: float, iteration: int, tol: float) -> bool:
    """Whether a step is halved: its deviance is not finite, or (after the first, whose
    start is not a fit) it grew by more than the tolerance."""
    return not np.isfinite(deviance) or (
        iteration > 1 and (deviance - deviance_old) / (0.1 + abs(deviance_old)) > max(tol, 1e-10)
    )


def check_halvings(halvings: int, iteration: int, deviance_old: float) -> None:
    """Raise once a step has been halved the most times without decreasing the deviance."""
    if halvings == MAX_HALVINGS:
        raise NotConverged(
            f"the reweighted least squares could not decrease the deviance at iteration {iteration} "
            f"(deviance {deviance_old:.10g}) after {MAX_HALVINGS} halvings of the step"
        )


@dataclass
class IrlsFit:
    """The converged reweighted least squares.

    keep: the regressors kept (a mask in formula order); beta: their coefficients; eta:
    the linear predictor with the offset; mu: the mean; weights: the working weights at
    that mean; system: the N x (1+K) block sqrt(W) [z~, X~] of the last weighted
    least squares (z~, the absorbed working variable; X~, the absorbed kept regressors), in
    the data's units, from which every covariance reads its bread and scores (the working
    residuals z~ - X~ beta); gram: its cross products;
    deviance (the family's `reported_deviance`); iterations (outer) and inner (the absorption's iterations in each, and
    in the final absorption under the weights at the estimate)."""

    keep: np.ndarray
    beta: np.ndarray
    eta: np.ndarray
    mu: np.ndarray
    weights: np.ndarray
    system: np.ndarray
    gram: np.ndarray
    deviance: float
    iterations: int
    inner: list[int] = field(default_factory=list)
    absorption: Absorption | None = None
    saturated: object = None  # the family's parts of the deviance that depend on y alone
    root_weights: np.ndarray | None = None  # the roots of `weights`, which scale the system's rows


def _absorbed_scale(column: np.ndarray) -> float:
    rms = float(np.sqrt(np.mean(column * column))) if len(column) else 1.0
    return demeaning_scale(rms, lambda: float(np.abs(column).max()))


def irls(
    y: np.ndarray,
    columns: list,
    rows,
    ids,
    family,
    weights: np.ndarray | None,
    offset: np.ndarray | None,
    *,
    names: list[str],
    tol: float,
    maxiter: int,
    fixef_tol: float,
    fixef_maxiter: int,
    collin_tol: float,
    n_threads: int,
    threads: int,
    report,
    notes: list[str],
) -> IrlsFit:
    """The fit of `family` to `y` (over the sample) on the regressors `columns` (arrays over
    all rows, None for the intercept's ones; `rows`: the sample's positions, None: every
    row) with the fixed effects of `ids` (None: none) absorbed; `weights`: the prior weights
    (None: ones); `offset`: added to the linear predictor (None: zero). `notes` receives
    the collinearity notices; `report`: the run's `Progress`. Raises `NotConverged` after
    `maxiter` iterations."""
    N = len(y)
    effects = ids is not None
    # contiguous, as the family's passes over the rows read them
    y = np.ascontiguousarray(y, dtype=np.float64)
    weights = None if weights is None else np.ascontiguousarray(weights, dtype=np.float64)
    off = None if offset is None else np.ascontiguousarray(offset, dtype=np.float64)  # None: no pass over zeros
    mu = family.initial_mu(y, weights)
    eta = family.link(mu) + 0.0
    W, z = family.working(y, eta if off is None else eta - off, mu, weights)
    saturated = family.saturated(y, weights)
    deviance_old = family.deviance_at(y, eta, mu, weights, saturated)

    # the regressors at a common size, once; the working variable at its own. One stacking
    # writes the block [z, X]: its first column, a None (ones) there, is then overwritten
    # by the working variable, so the regressors are written once, into the block itself
    # (no N x K matrix of them to copy in). The stacking reads the sample's length off its
    # first column, which the None does not have: the rows are named.
    z_scale = _absorbed_scale(z)
    at = np.arange(N) if rows is None else rows
    block, scale, _ = stack_standardised([None] + list(columns), at, centre=effects, threads=threads)
    np.divide(z, z_scale, out=block[:, 0])
    scale[0] = z_scale
    ones = [False] + [column is None for column in columns]
    per_unit = demeaning_scale(1.0, lambda: 1.0)
    keep = np.ones(len(columns), dtype=bool)
    kept_names = list(names)

    absorption = None
    if effects:
        absorption = Absorption(ids, None, tol=FIRST_INNER_TOL, maxiter=fixef_maxiter, n_threads=n_threads)
    inner_tol = max(fixef_tol, FIRST_INNER_TOL)
    inner: list[int] = []
    spare = None  # the eta and mu of two iterations back, which nothing reads any more
    for iteration in range(1, maxiter + 1):
        if effects:
            absorption.tol = inner_tol
            with report.kernel_output():
                outcome = absorption.absorb(block, weights=W, verbosity=report.kernel_verbosity)
            inner.append(int(outcome.get("iterations", 0)))
        gram = weighted_gram(block, W, threads=threads) * np.outer(scale, scale)
        if not kept_names:
            beta = np.empty(0)  # the fixed effects alone: the working variable's residual is the fit
        elif iteration == 1:
            sizes = column_sizes(scale, [False] + [o for o, k in zip(ones[1:], keep, strict=True)], per_unit)
            sizes = sizes * np.sqrt(float(np.mean(W)))
            chosen, beta, gram = solve_normal_equations(
                gram, kept_names, sizes, N, notes, collin_tol, fixef_tol if effects else None, none_left=effects
            )
            if not chosen.all():
                keep[np.flatnonzero(keep)[~chosen]] = False
                columns_kept = np.concatenate(([True], chosen))
                block = np.ascontiguousarray(block[:, columns_kept])
                scale = scale[columns_kept]
                kept_names = [name for name, ok in zip(kept_names, chosen, strict=True) if ok]
        else:
            _, beta, gram = solve_normal_equations(gram, kept_names, np.ones(len(scale)), N, [], collin_tol, None)
        # the linear predictor z less the working residual z~ - X~ beta, with the offset:
        # the block times (-size of z~, beta in the columns' units), plus z
        coef = np.concatenate(([-scale[0]], beta * scale[1:]))
        eta_new, mu_new, deviance = family.predict(y, z, block, coef, off, weights, saturated, threads, out=spare)
        halvings = 0
        while step_rejected(deviance, deviance_old, iteration, tol):
            check_halvings(halvings, iteration, deviance_old)
            eta_new = (eta_new + eta) / 2.0
            mu_new = family.linkinv(eta_new)
            deviance = family.deviance_at(y, eta_new, mu_new, weights, saturated)
            halvings += 1
        change = relative_change(deviance, deviance_old)
        report.stage(
            f"IRLS iteration {iteration}: deviance {deviance:.10g}, relative change {change:.3g}"
            + (f", absorption {inner[-1]} iteration(s) at tol {inner_tol:.0e}" if effects else "")
        )
        if change < tol and inner_tol <= fixef_tol:
            # the covariance is that of the estimate itself: the working weights and
            # variable at the final mean, absorbed once more (warm, a few iterations)
            if effects:
                W, z_final = family.rework(y, eta_new, mu_new, off, weights, z, block, scale[0], threads)
                with report.kernel_output():
                    outcome = absorption.absorb(block, weights=W, verbosity=report.kernel_verbosity)
                inner.append(int(outcome.get("iterations", 0)))
            else:
                W, z_final = family.working(y, eta_new if off is None else eta_new - off, mu_new, weights)
                block[:, 0] = z_final / scale[0]
            # the block is not read again: it becomes the system in place (no second copy
            # of N x (1 + K)), scaled chunk by chunk as its cross products are formed
            system, root = block, np.sqrt(W)
            gram = weighted_gram(system, None, scale_rows=(scale, root))
            deviance = family.reported_deviance(y, eta_new, mu_new, weights, saturated)
            return IrlsFit(
                keep, beta, eta_new, mu_new, W, system, gram, deviance, iteration, inner, absorption, saturated, root
            )
        # the next iteration: new weights and working variable, and the absorbed block
        # carried over with the working variable's change added (see the module text)
        spare = (eta, mu)
        eta, mu, deviance_old = eta_new, mu_new, deviance
        if effects:
            W, z = family.rework(y, eta, mu, off, weights, z, block, scale[0], threads)
        else:
            # without fixed effects the block holds the columns themselves
            W, z = family.working(y, eta if off is None else eta - off, mu, weights)
            block[:, 0] = z / scale[0]
        inner_tol = max(fixef_tol, min(inner_tol, 0.1 * change))
    raise NotConverged(
        f"maxiter = {maxiter}: the reweighted least squares did not converge in {maxiter} iterations "
        f"(the deviance's relative change is still {change:.3g}, tol = {tol:g}); raise maxiter, or check "
        "the data for separation"
    )
