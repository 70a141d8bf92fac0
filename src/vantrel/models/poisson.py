"""`fepois`: Poisson pseudo-maximum likelihood with fixed effects absorbed, from a formula.

The stages of `feols` with the least squares replaced by reweighted least squares: the
sample (the row engine, then the rows an offset leaves without a value and the separated
observations, each removal followed by the singletons it leaves), the reweighted least
squares of `vantrel.core.irls` on the sample's `Absorption`, and the covariance of its
last weighted least squares, by the same estimators and small-sample factors as `feols`
(the Poisson dispersion fixed at one). The family is the only Poisson-specific piece the
loop reads (`vantrel.core.family`).
"""

from __future__ import annotations

import functools
import warnings

import numpy as np

from vantrel.core.blas import ONE_BLAS_THREAD
from vantrel.core.family import POISSON
from vantrel.core.irls import irls
from vantrel.core.least_squares import COLLIN_TOL, check_collin_tol
from vantrel.core.options import arguments_of, check_options, columns_read, keywords_of, residual_dof_named
from vantrel.core.progress import Progress
from vantrel.core.separation import check_separation, separated_rows
from vantrel.engines import engine_for, open_engine
from vantrel.formula.design import float_values, is_numeric
from vantrel.formula.multiple import is_multiple
from vantrel.formula.parse import parse_formula
from vantrel.inference import ssc as small_sample
from vantrel.inference.vcov import covariance, empty_covariance
from vantrel.models.multi import check_split, estimate_models
from vantrel.models.poisson_rows import count_dropped, estimate_rows, out_of_memory_methods
from vantrel.results.models import Models
from vantrel.results.poisson import FepoisResult, report_separated

# What fepois offers for the keywords of pyfixest's fepois it names otherwise.
_PEER_KEYWORDS = {
    "iwls_tol": "tol",
    "iwls_maxiter": "maxiter",
    "separation_check": "separation",
    "fixef_rm": "(observations alone in a fixed-effect group are always dropped)",
}


def _unknown_keywords(unknown: dict) -> str:
    parts = [
        f"{name} (pyfixest's; here: {_PEER_KEYWORDS[name]})" if name in _PEER_KEYWORDS else repr(name)
        for name in unknown
    ]
    return f"fepois() got unexpected keyword argument(s): {'; '.join(parts)}. fepois takes: " + ", ".join(
        keywords_of(fepois)
    )


def _check_iterations(tol, maxiter) -> None:
    if isinstance(tol, bool) or not isinstance(tol, (int, float)) or not 0 < tol < 1:
        raise ValueError(f"tol must be a number strictly between 0 and 1, got {tol!r}")
    if isinstance(maxiter, bool) or not isinstance(maxiter, (int, np.integer)) or maxiter < 1:
        raise ValueError(f"maxiter must be a positive integer, got {maxiter!r}")


def _offset_values(engine, offset: str) -> np.ndarray:
    column = engine.frame[offset]
    if not is_numeric(column):
        raise TypeError(f"offset: column {offset!r} must be numeric, got {column.dtype}")
    return float_values(column)


def _regressors(engine) -> np.ndarray:
    """The regressors over the current sample as an N x K matrix (ones for the intercept)."""
    N = len(engine.y)
    columns = [
        np.ones(N) if column is None else (column if engine.rows is None else column[engine.rows])
        for column in engine.design.columns
    ]
    return np.column_stack(columns) if columns else np.empty((N, 0))


def _drop_separated(engine, methods, fixef_tol, fixef_maxiter, n_threads, report, messages) -> tuple[dict, int]:
    """Drop the separated observations (each method's, in turn) and the singletons that
    leaves, until no method finds any; returns the count per method, the singletons and
    the labels of the separated rows."""
    counts = dict.fromkeys(methods, 0)
    singletons = 0
    labels = []
    while methods:
        report.stage(f"separation: {', '.join(methods)} on {len(engine.y):,} rows")
        found = separated_rows(
            engine.y,
            # the regressors only for the methods that read them ("fe" reads the ids)
            _regressors(engine) if set(methods) - {"fe"} else np.empty((len(engine.y), 0)),
            engine.ids,
            methods,
            tol=fixef_tol,
            maxiter=fixef_maxiter,
            n_threads=n_threads,
        )
        drop = np.zeros(len(engine.y), dtype=bool)
        for method, mask in found.items():
            counts[method] += int(mask.sum())
            drop |= mask
        if not drop.any():
            break
        if drop.all():
            raise ValueError("fml: every observation is separated (the outcome is zero in every row that is left)")
        labels.append(engine.labels(drop))
        singletons += engine.restrict(~drop)
        if "relu" in methods:
            # the rectifier finds every separated row, and dropping separated rows or the
            # singletons they leave (whose own level absorbs any value) separates no other:
            # a second round would find nothing. The others see only part of the structure
            # (a singleton's row held the regressors' combination at zero), so they repeat.
            break
    report_separated(counts, messages)
    report.done("separation")
    return counts, singletons, (labels[0].append(labels[1:]) if labels else engine.labels()[:0])


def estimate(
    engine,
    formula,
    choice,
    corrections,
    weights,
    offset,
    separation,
    tol,
    maxiter,
    fixef_tol,
    fixef_maxiter,
    collin_tol,
    report,
    shared=None,
) -> FepoisResult:
    """The Poisson estimate of `formula` (parsed) on the in-memory `engine`; `shared` (the
    absorption of multiple estimation) is not read: each iteration's weights are the
    model's own."""
    fml = formula.text
    effects = formula.fixed_effects
    messages: list[str] = []
    report.done("read")
    report.stage(f"reading the rows on {engine.name}")
    sample = engine.sample(formula, choice, weights)
    names, dropped = sample["names"], dict(sample["dropped"])
    POISSON.check_outcome(engine.y, formula.depvar)
    offset_all = None
    if offset is not None:
        offset_all = _offset_values(engine, offset)
        present = np.isfinite(offset_all if engine.rows is None else offset_all[engine.rows])
        if not present.all():
            dropped["missing"] += int((~present).sum())
            dropped["singletons"] += engine.restrict(present)
    # the separation checks, the fit and its covariance on one BLAS thread: their products are
    # small and bound by memory (and a dot product on several threads waits for them)
    with ONE_BLAS_THREAD:
        counts, singletons, separated_labels = _drop_separated(
            engine, check_separation(separation), fixef_tol, fixef_maxiter, engine.n_threads, report, messages
        )
        count_dropped(dropped, counts, singletons, messages)
        y, w, N, k_fe = engine.y, engine.w, len(engine.y), engine.k_fe
        offset_values = None if offset_all is None else (offset_all if engine.rows is None else offset_all[engine.rows])
        report.done("sample")
        report.stage(f"sample ready: {N:,} rows")

        notes: list[str] = []
        fit = irls(
            y,
            list(engine.design.columns),
            engine.rows,
            engine.ids,
            POISSON,
            w,
            offset_values,
            names=names,
            tol=tol,
            maxiter=maxiter,
            fixef_tol=fixef_tol,
            fixef_maxiter=fixef_maxiter,
            collin_tol=collin_tol,
            n_threads=engine.n_threads,
            threads=engine.threads,
            report=report,
            notes=notes,
        )
        for text in notes:
            warnings.warn(text, UserWarning, stacklevel=3)
        messages += notes
        report.done("reweighted least squares")
        kept = [name for name, ok in zip(names, fit.keep, strict=True) if ok]
        collinear = [name for name, ok in zip(names, fit.keep, strict=True) if not ok]

        report.stage("covariance")
        records, names_count = engine.fe_records(corrections, choice, k_fe)
        cluster_names = list(choice.clusters)
        nested = []
        if choice.type == "CRV1" and corrections.k_fixef == "nonnested":
            nested = engine.nested(cluster_names)
        # the engine's residual pass over the last weighted least squares: column 0 the
        # weighted working variable, the rest the weighted absorbed regressors
        engine.yX, engine.units, engine.root_w = fit.system, np.ones(fit.system.shape[1]), fit.root_weights
        pieces = engine.residual_statistics(fit.beta, np.ones(len(kept), dtype=bool), choice.type, cluster_names)
        if choice.type == "iid":
            # the Poisson variance is the mean: the least-squares scale RSS / (N - 1) is one
            pieces = {**pieces, "rss": float(N - 1)}
        with residual_dof_named(fml):
            cov = (
                empty_covariance(N, k_fe)
                if not kept
                else covariance(
                    choice.type,
                    corrections,
                    fit.gram[1:, 1:],
                    pieces,
                    N,
                    k_fe,
                    nested,
                    names_count,
                    cluster_names,
                    pieces.get("subsets", []),
                )
            )
        messages += cov.notes or []
        fields = engine.result_fields()
        loglik, loglik_null, null_deviance = POISSON.likelihoods(y, fit.eta, fit.mu, w, fit.saturated)
    report.done("covariance, fit")
    report.stage("done")
    absorption = {
        "method": "coefficients" if effects else "none",
        "iterations": int(sum(fit.inner)),
        "preconditioner": (fit.absorption.reports[-1].get("preconditioner") if fit.absorption else None),
    }
    result = FepoisResult(
        formula=fml,
        depvar=formula.depvar,
        coefnames=kept,
        beta=fit.beta,
        vcov_matrix=cov.matrix,
        vcov_type=choice.type,
        ssc=corrections,
        clusters=cov.cluster_counts,
        df_t=cov.df_t,
        df_k=cov.df_k,
        nobs=N,
        nobs_dropped=dropped,
        fixef_labels=list(formula.fe_labels),
        fixef_levels=dict(zip(formula.fe_labels, k_fe, strict=True)),
        absorption=absorption,
        timings=report.timings,
        collinear=collinear,
        messages=messages,
        weights=weights,
        deviance=fit.deviance,
        null_deviance=null_deviance,
        loglik=loglik,
        loglik_null=loglik_null,
        pseudo_r2=1.0 - loglik / loglik_null if loglik_null != 0 else float("nan"),
        iterations={"outer": fit.iterations, "inner": list(fit.inner)},
        separated=counts,
        separated_index=separated_labels,
        offset=offset,
        _eta=fit.eta,
        _offset_values=offset_values,
        _working_resid=fields["_resid"],
        _sample=fields["_sample"],
        _fe_records=records,
    )
    if choice.after is None:
        return result
    # HAC from the scores at the estimate, as with_vcov computes it later (which refuses the
    # kinds that are least squares' only, naming them)
    report.stage(f"covariance {choice.after.kind}")
    return result.with_vcov(choice.after.vcov, corrections)


def fepois(
    fml: str,
    data: object,
    vcov: str | dict[str, str] | None = None,
    weights: str | None = None,
    ssc: str | small_sample.SSC | dict | None = None,
    offset: str | None = None,
    *,
    separation: str | tuple[str, ...] | None = ("fe", "simplex", "relu"),
    tol: float = 1e-8,
    maxiter: int = 50,
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
) -> FepoisResult | Models:
    """Estimate a Poisson model with fixed effects by pseudo-maximum likelihood.

    The mean of the non-negative outcome y is exp(X b + fixed effects + offset); y need not
    be a count (trade flows, shares). The estimate is the reweighted least squares of
    `vantrel.core.irls`, each iteration's working variable and regressors absorbed under
    its weights through the sample's one `Absorption`, warm from the previous iteration.

    Parameters
    ----------
    fml : str
        As in `vantrel.feols`: ``"y ~ x1 + x2 | f1 + f2^f3"``, multiple estimation
        included; ``"y ~ 1 | f1 + f2"`` (fixed effects and no regressor) is allowed.
    data : table
        As in `vantrel.feols`: a pandas, polars or pyarrow table (anything narwhals reads),
        a DuckDB relation, a Dask DataFrame, or a path or glob of Parquet or CSV files.
    vcov : str or dict, optional
        ``"iid"`` (default), ``"hetero"`` / ``"HC1"``, ``{"CRV1": "a"}`` or ``{"CRV1": "a+b"}``:
        the estimators of `feols` on the last weighted least squares (the sandwich of the
        Poisson scores), with the same small-sample factors.
    weights : str, optional
        A column of positive prior weights.
    ssc : optional
        Small-sample corrections, as in `vantrel.feols`.
    offset : str, optional
        A numeric column added to the linear predictor with coefficient one (``np.log(exposure)``
        computed beforehand); a missing value drops its row.
    separation : str, sequence of str or None
        The methods that find separated observations before the estimate (see
        `vantrel.core.separation`): "fe", "simplex", "relu", any of them in order, or None.
        The rows each drops are counted in ``separated``, ``nobs_dropped`` and ``messages``.
    tol, maxiter : float, int
        Convergence on the relative change of the deviance, and the iteration limit.
    fixef_tol, fixef_maxiter : float, int
        The absorption's final tolerance and iteration limit.
    collin_tol : float
        The collinearity rule of `feols`, applied at the first iteration's weights.
    n_threads, progress : int, bool or None
        As in `vantrel.feols`; the progress lines show every iteration's deviance.
    engine : str, optional
        ``"memory"``, ``"duckdb"``, ``"dask"`` or None (picked from `data`: a Parquet or CSV
        path or glob, or a DuckDB relation, runs on DuckDB; a Dask DataFrame on Dask). Out of
        memory every iteration rewrites the working columns where the rows are (a table
        DuckDB spills beyond its memory limit, or the persisted Dask partitions) and absorbs
        them from aggregates (`vantrel.models.poisson_rows`): the same estimate and
        covariances, no value per row (``resid()`` and ``fitted()`` refuse; ``fixef()`` and
        ``predict(newdata)`` work). Out of memory the separation runs "fe" only: the default
        leaves out "simplex" and "relu" (with a notice in ``messages``), asking for them is
        an error naming the engine.
    memory_limit, temp_directory : str or None
        DuckDB's memory limit (such as ``"4GB"``) beyond which its tables spill to
        `temp_directory`, as in `vantrel.feols`.
    split, fsplit : str, optional
        Sample splits, as in `vantrel.feols`.

    Returns
    -------
    FepoisResult or Models
        One fit, or `vantrel.Models` for multiple estimation.

    Raises
    ------
    ValueError
        A negative outcome, an outcome zero in every row, an unknown separation method, a
        method that needs every row asked for out of memory, or no convergence within
        `maxiter` (naming it).

    Examples
    --------
    >>> import numpy as np, pandas as pd, vantrel
    >>> rng = np.random.default_rng(0)
    >>> df = pd.DataFrame({"x": rng.normal(size=500), "f": rng.integers(0, 20, 500)})
    >>> df["y"] = rng.poisson(np.exp(0.5 * df["x"] + df["f"] / 20))
    >>> fit = vantrel.fepois("y ~ x | f", df, vcov={"CRV1": "f"})
    >>> round(float(fit.coef()["x"]), 2)
    0.56
    """
    if unknown:
        raise TypeError(_unknown_keywords(unknown))
    path = engine_for(data, engine)
    check_collin_tol(collin_tol)
    check_split(split, fsplit)
    _check_iterations(tol, maxiter)
    check_separation(separation)
    if offset is not None and not isinstance(offset, str):
        raise TypeError(f"offset must be a column name or None, got {offset!r}")
    choice = small_sample.parse_vcov(vcov)
    corrections = small_sample.resolve_ssc(ssc)
    check_options(weights, fixef_tol, fixef_maxiter, n_threads, progress, memory_limit, temp_directory)
    single = estimate
    if path != "memory":  # the reweighting as passes of the row engine
        default = separation is fepois.__kwdefaults__["separation"]
        out_of_memory_methods(check_separation(separation), path, default)
        single = functools.partial(estimate_rows, default_separation=default)
    options = (offset, separation, tol, maxiter, fixef_tol, fixef_maxiter, collin_tol)
    if is_multiple(fml) or split is not None or fsplit is not None:
        extra = {offset: "offset"} if offset else None
        return estimate_models(
            single,
            fml,
            data,
            path,
            choice,
            corrections,
            weights,
            split,
            fsplit,
            options,
            progress,
            (n_threads, memory_limit, temp_directory),
            extra_columns=extra,
            name="fepois",
        )
    formula = parse_formula(fml)
    columns = columns_read(formula, choice, weights) + ([offset] if offset and offset not in formula.columns else [])
    named = arguments_of(formula, choice, weights)
    if offset:
        named.setdefault(offset, "offset")
    rows = open_engine(path, data, list(dict.fromkeys(columns)), named, n_threads, memory_limit, temp_directory)
    try:
        return single(rows, formula, choice, corrections, weights, *options, Progress(progress, "fepois"))
    finally:
        rows.close()
