"""Least squares with fixed effects absorbed, written once over a row engine.

The stages: the sample (engine), the absorption of the fixed effects from [y, X] and the
cross products of the absorbed columns (engine), the collinearity rule and the normal
equations on that small matrix, the residuals' sums the covariance needs (engine), the
covariance and the fit statistics. Whether the rows are in memory, in DuckDB or on a Dask
cluster decides only which engine runs the passes over them.
"""

from __future__ import annotations

import warnings

from vantrel.core.blas import ONE_BLAS_THREAD
from vantrel.core.fit import fit_statistics
from vantrel.model.least_squares import solve_normal_equations
from vantrel.model.options import notice, residual_dof_named
from vantrel.model.vcov import covariance
from vantrel.results.ols import FeolsResult, build_result


def estimate(
    engine, formula, choice, corrections, weights, fixef_tol: float, fixef_maxiter: int, collin_tol: float, report
) -> FeolsResult:
    """The least-squares estimate of `formula` (parsed) on `engine` under the covariance
    `choice` and the small-sample `corrections`; `report`: the run's `Progress`."""
    fml = formula.text
    effects = formula.fixed_effects
    messages: list[str] = []
    report.done("read")
    sample = engine.sample(formula, choice, weights)
    names, dropped, k_fe, N = sample["names"], sample["dropped"], sample["k_fe"], sample["N"]
    if dropped["missing"]:
        notice(f"{dropped['missing']:,} observation(s) dropped for missing or non-finite values", messages)
    if dropped["singletons"]:
        notice(f"{dropped['singletons']:,} singleton observation(s) dropped", messages)
    report.done("sample")
    report.stage(f"sample ready: {N:,} rows")

    absorbed = engine.absorb(fixef_tol, fixef_maxiter, report)
    report.stage("least squares")
    gram = absorbed["gram"]

    # Least squares, covariance and fit statistics on one BLAS thread: their products are
    # bound by memory, not arithmetic, and OpenBLAS's own threads keep spinning after a
    # call, taking the cores from the absorption's threads in the next estimate (a
    # one-effect fit at 1e6 rows ran twice as long after the first).
    with ONE_BLAS_THREAD:
        notes: list[str] = []
        keep, beta, kept_gram = solve_normal_equations(
            gram, names, absorbed["sizes"], N, notes, collin_tol, fixef_tol if effects else None
        )
        for text in notes:
            warnings.warn(text, UserWarning, stacklevel=3)
        messages += notes
        kept = [name for name, ok in zip(names, keep, strict=True) if ok]
        collinear = [name for name, ok in zip(names, keep, strict=True) if not ok]

        records, names_count = engine.fe_records(corrections, choice, k_fe)
        cluster_names = list(choice.clusters)
        nested = []
        if choice.type == "CRV1" and corrections.k_fixef == "nonnested":
            nested = engine.nested(cluster_names)
        pieces = engine.residual_statistics(beta, keep, choice.type, cluster_names)
        with residual_dof_named(fml):
            cov = covariance(
                choice.type,
                corrections,
                kept_gram[1:, 1:],
                pieces,
                N,
                k_fe,
                nested,
                names_count,
                cluster_names,
                pieces.get("subsets", []),
            )
        messages += cov.notes or []
        fit = fit_statistics(
            None, None, pieces["rss"], absorbed["tss"], float(gram[0, 0]) if effects else None, N, len(kept), k_fe
        )
        fields = engine.result_fields()
    report.done("least squares, covariance, fit")
    report.stage("done")
    return build_result(
        fml,
        formula,
        kept,
        beta,
        cov,
        choice.type,
        corrections,
        N,
        dropped,
        fit,
        k_fe,
        absorption=absorbed["absorption"],
        timings=report.timings,
        collinear=collinear,
        messages=messages,
        weights=weights,
        _fe_records=records,
        **fields,
    )
