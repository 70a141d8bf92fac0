"""`feols`: least squares with high-dimensional fixed effects from a formula.

The stages are those of the driver (sample, absorption, least squares, covariance,
inference), without its prescribed copies of the data: rows keep the caller's order (the
coefficient-space solver does not need them sorted), every used column is read once into
the matrix the absorption demeans in place, and fixed effects are coded once.
"""

from __future__ import annotations

import contextlib
import inspect
import logging
import math
import os
import threading
import warnings

import numpy as np
import pandas as pd
import threadpoolctl
from threadpoolctl import threadpool_limits

from vantrel.backend.quarnet import COEF_PCG_demean
from vantrel.core.absorption import CHUNK, absorb, demeaning_scale, stack_standardised
from vantrel.core.fit import fit_from_sums
from vantrel.core.redundancy import calculate_fe_redundancies
from vantrel.core.rows import finite_rows, present_rows, valid_rows
from vantrel.core.threads import driver_threads
from vantrel.model import ssc as small_sample
from vantrel.model.formula import parse_formula
from vantrel.model.frame import build_design, dependent_values, float_values, is_numeric, used_columns
from vantrel.model.least_squares import COLLIN_TOL, check_collin_tol, column_sizes, least_squares_normal
from vantrel.model.progress import Progress
from vantrel.model.sample import effect_ids, no_rows_left, variable_ids, without_singletons
from vantrel.model.vcov import covariance
from vantrel.results.fit import Sample
from vantrel.results.ols import FeolsResult
from vantrel.scale import engine_for, estimate_out_of_core
from vantrel.scale.duckdb_engine import memory_size

logger = logging.getLogger("vantrel")

_MAX_THREADS = 256


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
        raise TypeError(unknown_keywords_text(unknown))
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


def build_result(fml, formula, names, beta, cov, vcov_type, corrections, N, dropped, fit, k_fe, **rest):
    """The result of an estimate from its pieces, whichever engine formed them: the
    coefficients, the covariance stage's matrix and degrees of freedom, the fit statistics,
    and `rest`, the fields that differ between engines (per-row values, timings, ...)."""
    return FeolsResult(
        formula=fml,
        depvar=formula.depvar,
        coefnames=names,
        beta=beta,
        vcov_matrix=cov.matrix,
        vcov_type=vcov_type,
        ssc=corrections,
        clusters=cov.cluster_counts,
        df_t=cov.df_t,
        df_k=cov.df_k,
        nobs=N,
        nobs_dropped=dropped,
        r2=fit["r2"],
        adj_r2=fit["adj_r2"],
        within_r2=fit["within_r2"],
        rmse=fit["rmse"],
        fixef_labels=list(formula.fe_labels),
        fixef_levels=dict(zip(formula.fe_labels, k_fe, strict=True)),
        **rest,
    )


def columns_read(formula, choice, weights) -> list[str]:
    """The columns an estimate reads, in first-use order: the formula's, the cluster
    variables, the weights."""
    return list(dict.fromkeys(formula.columns + list(choice.clusters) + ([weights] if weights else [])))


def check_options(weights, fixef_tol, fixef_maxiter, n_threads, progress, memory_limit=None, temp_directory=None):
    if weights is not None and not isinstance(weights, str):
        raise TypeError(f"weights must be a column name or None, got {weights!r}")
    if isinstance(fixef_tol, bool) or not isinstance(fixef_tol, (int, float)) or not 0 < fixef_tol < math.inf:
        raise ValueError(f"fixef_tol must be a positive finite number, got {fixef_tol!r}")
    if isinstance(fixef_maxiter, bool) or not isinstance(fixef_maxiter, (int, np.integer)) or fixef_maxiter < 1:
        raise ValueError(f"fixef_maxiter must be a positive integer, got {fixef_maxiter!r}")
    if (
        isinstance(n_threads, bool)
        or not isinstance(n_threads, (int, np.integer))
        or not 0 <= n_threads <= _MAX_THREADS
    ):
        raise ValueError(f"n_threads must be an integer between 0 and {_MAX_THREADS}, got {n_threads!r}")
    if progress is not None and not isinstance(progress, bool):
        raise TypeError(f"progress must be True, False or None, got {progress!r}")
    if memory_limit is not None:
        if not isinstance(memory_limit, str):
            raise TypeError(
                f"memory_limit must be a size as text such as '4GB' or None, got {memory_limit!r} "
                f"({type(memory_limit).__name__})"
            )
        if not (memory_size(memory_limit) or 0) > 0:
            # DuckDB itself takes a negative size (and others) for its default without a word
            raise ValueError(
                f"memory_limit = {memory_limit!r} is not a positive size; give one such as '4GB', '500MB' or "
                "'1.5GiB' (units B, KB, MB, GB, TB or KiB, MiB, GiB, TiB), or None for DuckDB's default"
            )
    if temp_directory is not None and not isinstance(temp_directory, (str, os.PathLike)):
        raise TypeError(
            f"temp_directory must be a directory path or None, got {temp_directory!r} ({type(temp_directory).__name__})"
        )


# What feols offers for the keywords of pyfixest's feols (and of older pyfixest releases)
# that it does not take: a switching user's call fails with the way to get the same here.
_SINGLETONS = (
    "observations alone in a fixed-effect group are always dropped, repeatedly until none is left, as pyfixest's "
    "default fixef_rm='singleton' and fixest's fixef.rm='singleton' do (no point estimate changes), and counted in "
    "nobs_dropped['singletons']; keeping them is not supported"
)
_DATA_KEPT = (
    "not needed: feols never copies or modifies the caller's table (it reads only the model's columns, a pandas "
    "frame's without a copy), and the result keeps those columns and the per-row values that resid(), fitted(), "
    "fixef() and predict() read; engine='duckdb' keeps no per-row values"
)
_SPLIT = (
    "estimation on subsamples is not yet supported; estimate each subsample, e.g. "
    "{{value: vantrel.feols(fml, part) for value, part in data.groupby({column!r})}}{full}"
)
PEER_KEYWORDS = {
    "fixef_rm": _SINGLETONS,
    "drop_singletons": _SINGLETONS,
    "weights_type": (
        "weights are analytic (precision) weights, pyfixest's weights_type='aweights'; frequency weights are "
        "not supported"
    ),
    "split": _SPLIT,
    "fsplit": _SPLIT,
    "lean": _DATA_KEPT,
    "copy_data": _DATA_KEPT,
    "store_data": _DATA_KEPT,
    "i_ref1": (
        "i() terms are not supported; a categorical with a chosen reference level is "
        "C(g, contr.treatment(base=level)) in fml"
    ),
    "drop_intercept": "write '- 1' or '0 +' in fml to leave the intercept out (fixed effects absorb it anyway)",
    "vcov_kwargs": "vcov takes no options: 'iid', 'hetero' (or 'HC1') and {'CRV1': 'a+b'} are supported",
    "solver": (
        "feols has one least-squares solver (normal equations of equilibrated columns, collinear regressors "
        "dropped and listed in collinear); there is no choice of solver"
    ),
    "demeaner_backend": (
        "fixed effects are absorbed by vantrel's own C++/OpenMP kernel (conjugate gradients on the "
        "fixed-effect coefficients); its settings are fixef_tol, fixef_maxiter and n_threads"
    ),
    "context": (
        "fml is evaluated with NumPy as np and formulaic's transforms (C, center, scale, ...); compute other "
        "columns in data before the call"
    ),
    "use_compression": (
        "for data larger than memory pass a Parquet or CSV path, a DuckDB relation or engine='duckdb', or a "
        "Dask DataFrame: every pass over the rows runs there, on all rows, without compression"
    ),
    "reps": "there is no bootstrap (pyfixest's goes with use_compression): standard errors are analytic (vcov)",
    "seed": "there is no bootstrap (pyfixest's goes with use_compression): standard errors are analytic (vcov)",
}
PEER_KEYWORDS["demeaner"] = PEER_KEYWORDS["demeaner_backend"]


def unknown_keywords_text(unknown: dict) -> str:
    """The TypeError text for keywords feols does not take: for pyfixest's, what vantrel
    offers instead; for the rest, feols's own keywords."""
    parts = []
    for name, value in unknown.items():
        if name in PEER_KEYWORDS:
            advice = PEER_KEYWORDS[name]
            if name in ("split", "fsplit"):
                full = "; fsplit's full sample is vantrel.feols(fml, data)" if name == "fsplit" else ""
                advice = advice.format(column=value if isinstance(value, str) else "column", full=full)
            parts.append(f"{name} (a keyword of pyfixest): {advice}")
        else:
            parts.append(repr(name))
    accepted = [p.name for p in inspect.signature(feols).parameters.values() if p.kind is not p.VAR_KEYWORD]
    text = "feols() got unexpected keyword argument(s): " + "; ".join(parts)
    if any(name not in PEER_KEYWORDS for name in unknown):
        text += f". feols takes: {', '.join(accepted)}"
    return text


class _OneBlasThread:
    """One BLAS thread while any estimate is in its least-squares stage, in any thread.

    BLAS thread counts belong to the process. threadpoolctl's ``threadpool_limits`` block
    saves the count it finds and restores it on exit, so two estimates whose blocks overlap
    restore each other's value and leave the process at one thread. Here the first estimate
    to enter saves the counts and sets one thread, the others only count themselves in, and
    the last to leave restores what the first saved; the lock makes the count and the switch
    one step. Process-wide settings need this one piece of process-wide state.

    threadpoolctl (from 3.8) lets only the thread that set OpenBLAS's count change it again,
    ignoring the others without a word, until that thread lets go; the first to enter and
    the last to leave may be different threads, so each lets go at once after its change.
    While another thread of the caller's holds that control, the estimates leave the count
    alone (their changes are ignored, the restore as well)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._inside = 0
        self._limiter = None

    def __enter__(self):
        with self._lock:
            if self._inside == 0:
                self._limiter = threadpool_limits(limits=1, user_api="blas")
                _let_go_of_blas()
            self._inside += 1
        return self

    def __exit__(self, *exc_info):
        with self._lock:
            self._inside -= 1
            if self._inside == 0:
                limiter, self._limiter = self._limiter, None
                limiter.restore_original_limits()
                _let_go_of_blas()
        return False


def _let_go_of_blas() -> None:
    # threadpoolctl < 3.8 has no controlling thread: nothing to let go of
    controller = getattr(threadpoolctl, "OpenBLASController", None)
    if hasattr(controller, "clear_controlling_thread"):
        controller.clear_controlling_thread()  # only when this thread holds the control


ONE_BLAS_THREAD = _OneBlasThread()


@contextlib.contextmanager
def residual_dof_named(fml):
    """The small-sample factor's refusal of a model without residual degrees of freedom
    (`ssc.adjustment`, a ZeroDivisionError) as an error naming fml.

    Such a model fits every observation exactly: the coefficients solve the equations, but
    residuals that are zero by construction say nothing about their variance. A clear error
    rather than NaN standard errors with a warning (R's lm prints NaN; pyfixest fails inside
    NumPy): t, p, intervals and tables would all be NaN, and nobody asks for them knowingly."""
    try:
        yield
    except ZeroDivisionError as error:
        raise ValueError(
            f"fml = {fml!r}: {error}; the model fits every observation exactly, so no standard error can be "
            "estimated; use fewer regressors or fixed effects, or more observations"
        ) from error


def notice(text: str, messages: list[str]) -> None:
    messages.append(text)
    logger.info(text)


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


def fe_records(corrections, choice, effects, labels, frame, rows, k_fe):
    """Per effect: categories, those not charged, those charged (for the table), and the
    driver's name-based count when the corrections ask for it."""
    if not effects:
        return None, None
    if corrections.k_fixef == "names":
        variables = sorted({name for effect in effects for name in effect})
        table = pd.DataFrame({name: variable_ids(frame, name, rows) for name in variables}, copy=False)
        driver_terms = ["#".join(effect) for effect in effects]
        by_term = calculate_fe_redundancies(
            table, driver_terms, None, setype=_driver_setype(choice), clustvars=list(choice.clusters)
        )
        records = {label: by_term[term] for label, term in zip(labels, driver_terms, strict=True)}
        return records, sum(record["num_coefs"] for record in records.values())
    records = {}
    for i, (label, G) in enumerate(zip(labels, k_fe, strict=True)):
        redundant = G if corrections.k_fixef == "none" else (0 if i == 0 else 1)
        records[label] = {"categories": G, "redundant": redundant, "num_coefs": G - redundant}
    return records, None


def _driver_setype(choice):
    return {"iid": "homoskedastic", "hetero": "heteroskedastic", "CRV1": "cluster"}[choice.type]


def fit_statistics(y, w, ssu, ssy, ssy_within, N, K, k_fe):
    """R-squared (weighted), adjusted and within R-squared and RMSE, as pyfixest defines
    them; `ssy`, the total sum of squares, when the caller has it. As in pyfixest, the
    total sum of squares is taken about the mean and the adjusted R-squared charges one
    degree of freedom for it, also for a formula without intercept."""
    if ssy is None:
        mean = np.add.reduce(y) / N if w is None else np.einsum("i,i->", w, y) / np.add.reduce(w)
        ssy = 0.0
        for start in range(0, N, CHUNK):  # no temporary of N rows
            d = y[start : start + CHUNK] - mean
            ssy += float(
                np.einsum("i,i->", d, d) if w is None else np.einsum("i,i,i->", w[start : start + CHUNK], d, d)
            )
    # pyfixest's degrees of freedom: every level but one per effect after the first, and
    # the root mean square of the residuals without any charge
    charged = sum(g - 1 for g in k_fe) + 1 if k_fe else 0
    with np.errstate(divide="ignore", invalid="ignore"):
        fit = fit_from_sums(
            np.float64(ssu),
            np.float64(ssy),
            ssy_within if ssy_within is not None else 0.0,
            ssu,
            N,
            N - K - charged if N - K - charged > 0 else math.nan,
            N,
            within_if_constant=math.nan,
        )
    return {
        "r2": fit.r_squared,
        "adj_r2": fit.adj_r_squared,
        "within_r2": fit.within_r_squared if ssy_within is not None else math.nan,
        "rmse": fit.root_mse,
    }
