"""`feols`: least squares with high-dimensional fixed effects from a formula.

The stages are those of the driver (sample, absorption, least squares, covariance,
inference), without its prescribed copies of the data: rows keep the caller's order (the
coefficient-space solver does not need them sorted), every used column is read once into
the matrix the absorption demeans in place, and fixed effects are coded once.
"""

from __future__ import annotations

import logging
import warnings

import numpy as np
import pandas as pd

from vantrel.backend.quarnet import COEF_PCG_demean
from vantrel.core.absorption import CHUNK, absorb, demeaning_scale, stack_standardised
from vantrel.core.blas import ONE_BLAS_THREAD
from vantrel.core.fit import fit_statistics
from vantrel.core.rows import finite_rows, present_rows, valid_rows
from vantrel.core.threads import driver_threads
from vantrel.model import ssc as small_sample
from vantrel.model.formula import parse_formula
from vantrel.model.frame import build_design, dependent_values, float_values, is_numeric, used_columns
from vantrel.model.least_squares import COLLIN_TOL, check_collin_tol, column_sizes, least_squares_normal
from vantrel.model.options import (
    check_options,
    columns_read,
    keywords_of,
    notice,
    residual_dof_named,
    unknown_keywords_text,
)
from vantrel.model.progress import Progress
from vantrel.model.sample import effect_ids, no_rows_left, variable_ids, without_singletons
from vantrel.model.ssc import fe_records
from vantrel.model.vcov import covariance
from vantrel.results.fit import Sample
from vantrel.results.ols import FeolsResult, build_result
from vantrel.scale import engine_for, estimate_out_of_core

logger = logging.getLogger("vantrel")


def feols(
    fml: str,
    data: object,
    vcov: str | dict[str, str] | None = None,
    weights: str | None = None,
    ssc: str | small_sample.SSC | dict | None = None,
    *,
    fixef_tol: float = 1e-8,
    fixef_maxiter: int = 10_000,
    collin_tol: float = COLLIN_TOL,
    n_threads: int = 0,
    progress: bool | None = None,
    engine: str | None = None,
    memory_limit: str | None = None,
    temp_directory: str | None = None,
    **unknown: object,
) -> FeolsResult:
    """Estimate a linear model with fixed effects by least squares.

    fml: ``"y ~ x1 + x2 + C(g) + x1:x2 + np.log(z) | f1 + f2^f3"``: the dependent variable,
      regressors as formulaic terms, and after ``|`` the fixed effects (columns joined by
      ``^`` or ``#`` are interacted). The intercept is absorbed when there are fixed effects.
    data: a pandas, polars or pyarrow table or a DuckDB relation (anything narwhals reads);
      only the columns the model uses are read.
    vcov: ``"iid"`` (the default, as in pyfixest; fixest clusters by the first fixed effect
      instead), ``"hetero"`` or ``"HC1"``, ``{"CRV1": "a"}`` or multiway ``{"CRV1": "a+b"}``
      (up to four variables, Cameron-Gelbach-Miller).
    weights: a column of analytic weights, used throughout (absorption, least squares,
      every covariance, R-squared, RMSE). As in pyfixest, a missing weight drops its row
      and a zero, negative or infinite weight is an error.
    ssc: small-sample corrections: None for fixest's and pyfixest's defaults
      (``vantrel.ssc()``), a preset ("fixest", "tolvane" for the driver's own conventions,
      "conventional", "none"), ``vantrel.ssc(...)`` or a dict of its fields.
    fixef_tol, fixef_maxiter: the absorption's convergence tolerance and iteration limit.
    collin_tol: a regressor is dropped (with a warning naming it, and listed in
      ``collinear``) when the fixed effects and the regressors before it in the formula
      leave less than this fraction of its sum of squares within the effects' groups, or
      less than ``fixef_tol**2`` of its sum of squares before the absorption (a number in
      (0, 1); 1e-10 as fixest's ``collin.tol``, which fixest compares with the sum itself,
      in the data's units; see `vantrel.model.least_squares`).
    n_threads: threads of the absorption (0: the OpenMP default).
    progress: stage and iteration lines on stderr (True from the start, False never); None
      shows them when stderr is a terminal once an estimate has run for a few seconds.

    engine: where the rows are read: None picks from `data` ("duckdb" for a path or glob of
      Parquet or CSV files and for a DuckDB relation, "dask" for a Dask DataFrame, "memory"
      for the rest); "duckdb" also takes any table DuckDB scans. Out of memory every pass
      over the rows is a query of the engine (see `vantrel.scale`); the result has no
      per-row values (resid, fitted).
    memory_limit, temp_directory: DuckDB's settings of the same names (a positive size such
      as "4GB", "500MB" or "1.5GiB"; a path): beyond the limit its tables spill to the
      directory (None: DuckDB's limit, a fresh directory, removed afterwards).

    Rows with a missing value in any used column (or a non-finite dependent variable or
    regressor) are dropped, and so are observations alone in a fixed-effect group, which
    the fixed effects fit exactly; both are reported in ``messages``, through the "vantrel"
    logger and in the result's display (repr, summary(), tidy().attrs). Returns a
    `FeolsResult`.

    Keywords of pyfixest's feols that vantrel does not take are refused with what it offers
    instead (fixef_rm, split, lean, ...), any other unknown keyword with feols's own.
    """
    if unknown:
        raise TypeError(unknown_keywords_text(unknown, keywords_of(feols)))
    path = engine_for(data, engine)
    check_collin_tol(collin_tol)
    formula = parse_formula(fml)
    choice = small_sample.parse_vcov(vcov)
    corrections = small_sample.resolve_ssc(ssc)
    check_options(weights, fixef_tol, fixef_maxiter, n_threads, progress, memory_limit, temp_directory)
    columns = columns_read(formula, choice, weights)
    if path != "memory":
        with residual_dof_named(fml):
            return estimate_out_of_core(
                path,
                data,
                fml,
                vcov,
                weights,
                ssc,
                fixef_tol,
                fixef_maxiter,
                n_threads,
                progress,
                memory_limit,
                temp_directory,
                columns=columns,
                collin_tol=collin_tol,
            )
    messages: list[str] = []

    # Sample: the used columns only, rows with a value in every one of them.
    argument_of = {name: "vcov" for name in choice.clusters}
    if weights is not None:
        argument_of[weights] = "weights"
    argument_of.update({name: "fml" for name in formula.columns})
    frame = used_columns(data, columns, argument_of)
    if len(frame) == 0:
        raise ValueError(f"data has no rows to estimate fml = {fml!r} on")
    report = Progress(progress)
    report.done("read")
    report.stage(f"{len(frame):,} rows read")
    effects = formula.fixed_effects
    y_all = dependent_values(frame, formula)
    design = build_design(frame, formula, absorb_intercept=bool(effects))
    if not design.names:
        raise ValueError(f"fml = {fml!r} has no regressor to estimate")
    # A missing value in any column a term reads drops the row: NaN in the columns read
    # as numbers, and `design.present` for those formulaic reads (which would code a
    # missing category as the reference level).
    masks = [finite_rows([y_all] + [c for c in design.columns if c is not None]), design.present]
    id_variables = list(dict.fromkeys([name for effect in effects for name in effect] + list(choice.clusters)))
    masks += [present_rows(frame[name]) for name in id_variables]
    w_all = _weights(frame, weights) if weights else None
    if w_all is not None:
        masks.append(~np.isnan(w_all))
    valid = valid_rows(masks, len(frame))
    rows = None if valid is None else np.flatnonzero(valid)
    if rows is not None and len(rows) == 0:
        numbers = {formula.depvar: y_all, weights: w_all}
        numbers.update(zip(design.names, design.columns, strict=True))
        raise ValueError(no_rows_left(fml, frame, columns, {name: v for name, v in numbers.items() if v is not None}))
    if w_all is not None:
        _check_weights(weights, _take(w_all, rows))
    dropped = {"missing": 0 if rows is None else len(frame) - len(rows), "singletons": 0}
    if dropped["missing"]:
        notice(f"{dropped['missing']:,} observation(s) dropped for missing or non-finite values", messages)

    threads = driver_threads(n_threads)
    ids, k_fe = None, []
    if effects:
        ids, counts = effect_ids(frame, effects, rows, threads)
        keep, ids, k_fe = without_singletons(ids, counts, threads)
        if keep is not None:
            dropped["singletons"] = int(len(keep) - np.count_nonzero(keep))
            notice(f"{dropped['singletons']:,} singleton observation(s) dropped", messages)
            rows = np.flatnonzero(keep) if rows is None else rows[keep]
    fe_codes = [] if ids is None else [ids[:, j] for j in range(ids.shape[1])]
    clusters = {}
    for name in choice.clusters:
        # a cluster variable that is an effect on its own has that effect's ids already
        own = [j for j, effect in enumerate(effects) if effect == [name]]
        clusters[name] = fe_codes[own[0]].astype(np.int64) if own else variable_ids(frame, name, rows, threads)
    report.done("sample")
    report.stage("sample ready")

    # Absorption of the fixed effects from [y, X] in one block.
    y = _take(y_all, rows)
    w = _take(w_all, rows)
    N = len(y)
    yX, scale, ssy = stack_standardised([y_all] + design.columns, rows, centre=bool(effects), threads=threads)
    absorption = {"method": "none", "iterations": 0}
    if effects:
        report.done("stack")
        report.stage(f"absorbing {len(effects)} fixed effect(s) from {yX.shape[1]} column(s)")
        with report.kernel_output():
            # non-finite results show in the cross products of the least squares
            yX, outcome = absorb(
                yX,
                w,
                ids,
                COEF_PCG_demean,
                fixef_tol,
                0,
                fixef_maxiter,
                report.kernel_verbosity,
                n_threads,
                check_finite=False,
            )
        absorption = {"method": "coefficients", **outcome}
        report.done("absorption")
    units = scale  # the least squares puts the units back
    ones = [False] + [column is None for column in design.columns]
    per_unit = demeaning_scale(1.0, lambda: 1.0)
    sizes = column_sizes(scale, ones, per_unit)
    if w is not None:
        root_w = np.sqrt(w)
        for start in range(0, N, CHUNK):  # units back and weights in one pass
            yX[start : start + CHUNK] *= scale * root_w[start : start + CHUNK, np.newaxis]
        sizes, units = column_sizes(scale, ones, per_unit, float(np.mean(w))), None
    report.done("stack")
    report.stage("least squares")

    # Least squares, covariance and fit statistics on one BLAS thread: their products are
    # bound by memory, not arithmetic, and OpenBLAS's own threads keep spinning after a
    # call, taking the cores from the absorption's threads in the next estimate (a
    # one-effect fit at 1e6 rows ran twice as long after the first).
    with ONE_BLAS_THREAD:
        notes: list[str] = []
        yX, names, beta, resid, XX, yy, rss = least_squares_normal(
            yX, list(design.names), sizes, notes, units, threads, collin_tol, fixef_tol if effects else None
        )
        K = len(names)
        collinear = [name for name in design.names if name not in names]
        for text in notes:
            warnings.warn(text, UserWarning, stacklevel=2)
        messages += notes

        # Covariance and fit.
        records, names_count = fe_records(corrections, choice, effects, formula.fe_labels, frame, rows, k_fe)
        with residual_dof_named(fml):
            cov = covariance(
                choice.type, yX, resid, corrections, k_fe, names_count, fe_codes, clusters, threads, XX=XX, rss=rss
            )
        messages += cov.notes or []
        u = resid[:, 0]
        fit = fit_statistics(y, w, rss, ssy if w is None and effects else None, yy if effects else None, N, K, k_fe)
    report.done("least squares, covariance, fit")
    report.stage("done")

    raw_resid = u if w is None else u / root_w
    labels = frame.index if rows is None else frame.index[rows]
    if not isinstance(data, pd.DataFrame):
        labels = pd.RangeIndex(len(frame)) if rows is None else pd.Index(rows)
    return build_result(
        fml,
        formula,
        names,
        beta.ravel(),
        cov,
        choice.type,
        corrections,
        N,
        dropped,
        fit,
        k_fe,
        absorption=absorption,
        timings=report.timings,
        collinear=collinear,
        messages=messages,
        weights=weights,
        _resid=raw_resid,
        _sample=Sample(frame, rows, labels, y, w, fe_codes, [list(e) for e in effects], design),
        _fe_records=records,
    )


def _weights(frame: pd.DataFrame, name: str) -> np.ndarray:
    """The weight column as float64 (NaN where missing)."""
    column = frame[name]
    if not is_numeric(column):
        raise TypeError(f"weights: column {name!r} must be numeric, got {column.dtype}")
    return float_values(column)


def _check_weights(name: str, w: np.ndarray) -> None:
    """Zero, negative or infinite weights on otherwise usable rows are an error, as in pyfixest."""
    bad = ~(np.isfinite(w) & (w > 0))
    if bad.any():
        first = w[np.flatnonzero(bad)[0]]
        raise ValueError(
            f"weights: column {name!r} must hold positive finite values; {int(bad.sum()):,} row(s) "
            f"do not (the first: {first!r})"
        )


def _take(values, rows):
    if values is None or rows is None:
        return values
    return values[rows]
