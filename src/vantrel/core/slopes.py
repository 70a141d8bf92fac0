"""Fixed effects with varying slopes (``fe[x]``, ``fe[[x]]``): their variables over the
sample, the parameters they add, and their per-level values recovered after the fit.

A slope is one more column of the fixed-effect design (the variable on the rows of a level,
0 elsewhere); the kernel's `COEF_PCG_slopes` absorbs them with every level's block exact.
"""

from __future__ import annotations

import numpy as np

from vantrel.formula.design import float_values, is_numeric

# The recovery solves the fixed effects' part of the fit to this accuracy (the kernel's
# convergence measure, a relative root of the sum of squares).
_RECOVERY_TOL = 1e-13
_RECOVERY_MAXITER = 100_000


def has_slopes(formula) -> bool:
    return bool(formula.fe_slopes)


def absorbs_constant(formula) -> bool:
    """Whether the fixed effects absorb the constant: some effect keeps its intercept (a
    model whose every effect carries slopes alone keeps its own intercept)."""
    if not formula.fixed_effects:
        return False
    return not formula.fe_slopes or any(slopes.intercept for slopes in formula.fe_slopes)


def slope_variables(frame, formula) -> dict[str, np.ndarray]:
    """Every slope variable over all rows, float64 (NaN where missing); TypeError naming a
    column that is not numeric."""
    values = {}
    if not formula.fe_slopes:
        return values
    for label, slopes in zip(formula.fe_labels, formula.fe_slopes, strict=True):
        for name in slopes.variables:
            if name in values:
                continue
            column = frame[name]
            if not is_numeric(column):
                raise TypeError(
                    f"fml = {formula.text!r}: the slope variable {name!r} of {label!r} must be numeric, "
                    f"got {column.dtype}"
                )
            values[name] = float_values(column)
    return values


def slope_blocks(formula, values: dict[str, np.ndarray], rows) -> list[tuple[bool, np.ndarray | None]]:
    """Per effect its intercept flag and its N x S row-major slope variables over the
    sample `rows` (None: every row), or None for an effect without slopes."""
    out = []
    for slopes in formula.fe_slopes:
        if not slopes.variables:
            out.append((slopes.intercept, None))
            continue
        columns = [values[name] if rows is None else values[name][rows] for name in slopes.variables]
        out.append((slopes.intercept, np.ascontiguousarray(np.column_stack(columns), dtype=np.float64)))
    return out


def slope_parameters(formula, k_fe: list[int]) -> tuple[list[bool], int]:
    """Which effects count as intercept effects in the degrees of freedom, and the number of
    slope coefficients: as in fixest, every level of an effect carrying a slope adds one
    parameter per slope variable, and only the effects with their intercept enter the
    count of intercept levels (each after the first sharing the constant)."""
    if not formula.fe_slopes:
        return [True] * len(k_fe), 0
    intercepts = [slopes.intercept for slopes in formula.fe_slopes]
    extra = sum(g * len(slopes.variables) for g, slopes in zip(k_fe, formula.fe_slopes, strict=True))
    return intercepts, extra


def recover_values(target, codes: list[np.ndarray], levels: list[int], blocks, weights):
    """Per effect the G x (intercept + slopes) values whose fixed-effect part fits `target`
    in (weighted) least squares, normalised as the effects without slopes: for every
    column kind (the intercept, or one slope variable) the effects after the first that
    carry it have values of mean zero over the sample, the first takes their means.
    `blocks`: `slope_blocks` of the sample. Returns the arrays and per effect the column
    kinds are those of `normalise`."""
    from vantrel.backend.quarnet import COEF_PCG_slopes

    N = len(target)
    ids = np.empty((N, len(codes)), dtype=np.int64)
    for j, c in enumerate(codes):
        ids[:, j] = c
    x = np.ascontiguousarray(np.asarray(target, dtype=np.float64).reshape(N, 1).copy())
    alphas, _ = COEF_PCG_slopes(
        x,
        weights,
        ids,
        [intercept for intercept, _ in blocks],
        [values for _, values in blocks],
        _RECOVERY_TOL,
        0,
        _RECOVERY_MAXITER,
        0,
        0,
    )
    values = [alpha[:, :, 0].copy() for alpha in alphas]
    return values


def normalise(values, kinds: list[list[str]], codes: list[np.ndarray]):
    """Shift the values of every column kind carried by several effects so that the later
    effects' parts have mean zero over the sample and the first carries the rest (the
    fitted part is unchanged: a kind's column is the same in every effect that carries
    it)."""
    by_kind: dict[str, list[tuple[int, int]]] = {}
    for f, names in enumerate(kinds):
        for j, kind in enumerate(names):
            by_kind.setdefault(kind, []).append((f, j))
    for carriers in by_kind.values():
        if len(carriers) < 2:
            continue
        first_f, first_j = carriers[0]
        for f, j in carriers[1:]:
            mean = float(np.mean(values[f][codes[f], j]))
            values[f][:, j] -= mean
            values[first_f][:, first_j] += mean
    return values


def check_slopes_supported(formula, engine: str, corrections) -> None:
    """ValueError for varying slopes where they are not estimated: out of memory (the
    aggregated engines have no slope columns) and under the driver's name-based count of
    fixed-effect parameters."""
    if not formula.fe_slopes:
        return
    written = [label for label, slopes in zip(formula.fe_labels, formula.fe_slopes, strict=True) if slopes.variables]
    if engine != "memory":
        raise ValueError(
            f"fml = {formula.text!r}: varying slopes ({', '.join(written)}) are estimated with the data in "
            f"memory only, not on engine = {engine!r}; pass the rows as a pandas, polars or pyarrow table"
        )
    if corrections.k_fixef == "names":
        raise ValueError(
            f"fml = {formula.text!r}: k_fixef='names' (the driver's name-based count) does not count varying "
            f"slopes ({', '.join(written)}); use k_fixef='nonnested', 'full' or 'none'"
        )
