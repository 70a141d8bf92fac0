"""The arguments every estimator shares, checked once before any work, and the notices of a run."""

import contextlib
import inspect
import logging
import math
import os
import re

import numpy as np

logger = logging.getLogger("vantrel")


_MAX_THREADS = 256


def columns_read(formula, choice, weights) -> list[str]:
    """The columns an estimate reads, in first-use order: the formula's, the cluster
    variables, the weights."""
    return list(dict.fromkeys(formula.columns + list(choice.clusters) + ([weights] if weights else [])))


def arguments_of(formula, choice, weights) -> dict[str, str]:
    """For each column an estimate reads, the argument that named it (for errors)."""
    named = {name: "vcov" for name in choice.clusters}
    if weights is not None:
        named[weights] = "weights"
    named.update({name: "fml" for name in formula.columns})
    return named


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


PEER_KEYWORDS = {
    "fixef_rm": _SINGLETONS,
    "drop_singletons": _SINGLETONS,
    "weights_type": (
        "weights are analytic (precision) weights, pyfixest's weights_type='aweights'; frequency weights are "
        "not supported"
    ),
    "lean": _DATA_KEPT,
    "copy_data": _DATA_KEPT,
    "store_data": _DATA_KEPT,
    "i_ref1": (
        "the reference level goes into the term: i(var, ref=level) or i(var, x, ref=level) in fml "
        "(or C(g, contr.treatment(base=level)) for a categorical regressor)"
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


def keywords_of(function) -> list[str]:
    """The keyword arguments `function` takes, in order."""
    return [p.name for p in inspect.signature(function).parameters.values() if p.kind is not p.VAR_KEYWORD]


def unknown_keywords_text(unknown: dict, accepted: list[str]) -> str:
    """The TypeError text for keywords feols does not take: for pyfixest's, what vantrel
    offers instead; for the rest, feols's own keywords."""
    parts = []
    for name in unknown:
        if name in PEER_KEYWORDS:
            parts.append(f"{name} (a keyword of pyfixest): {PEER_KEYWORDS[name]}")
        else:
            parts.append(repr(name))
    text = "feols() got unexpected keyword argument(s): " + "; ".join(parts)
    if any(name not in PEER_KEYWORDS for name in unknown):
        text += f". feols takes: {', '.join(accepted)}"
    return text


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


def memory_size(text) -> float | None:
    """A memory size in bytes from the text of one ("4GB", "512 MiB", "1.5gb": a number and
    one of DuckDB's units, either case), or None for any other form (DuckDB reads some
    other forms, a negative size among them, as its default)."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d*)?)\s*([A-Za-z]+)\s*", str(text))
    if match is None or match.group(2).upper() not in _UNITS:
        return None
    return float(match.group(1)) * _UNITS[match.group(2).upper()]


_UNITS = {"B": 1, "KB": 10**3, "MB": 10**6, "GB": 10**9, "TB": 10**12, "KIB": 2**10, "MIB": 2**20,
          "GIB": 2**30, "TIB": 2**40}  # fmt: skip
