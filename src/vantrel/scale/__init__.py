"""`feols` on data larger than memory: the row passes as queries of an engine (DuckDB,
embedded and out of core; Dask, on a cluster), the solve in coefficient space here.

`engine_for` picks the path from the input; the engines are imported only when used, so
neither duckdb nor dask is needed for data in memory.
"""

from __future__ import annotations

import os

ENGINES = ("memory", "duckdb", "dask")


def _is_dask_frame(data) -> bool:
    module = type(data).__module__
    return module.startswith("dask") and type(data).__name__ == "DataFrame"


def _is_duckdb_relation(data) -> bool:
    return type(data).__module__.startswith("duckdb") and type(data).__name__ == "DuckDBPyRelation"


def engine_for(data, engine: str | None) -> str:
    """ "memory", "duckdb" or "dask" for `data`: paths, globs and DuckDB relations go to
    DuckDB, Dask DataFrames to Dask, everything else is read into memory; `engine`
    overrides the choice (None: pick)."""
    if engine is not None and engine not in ENGINES:
        raise ValueError(f"engine must be None or one of {ENGINES}, got {engine!r}")
    if _is_dask_frame(data):
        if engine not in (None, "dask"):
            raise ValueError(f"engine = {engine!r} cannot read a Dask DataFrame; use engine='dask' (or None)")
        return "dask"
    if isinstance(data, (str, os.PathLike)):
        if engine not in (None, "duckdb"):
            raise ValueError(
                f"engine = {engine!r} cannot read the files {os.fspath(data)!r}; use engine='duckdb' (or None)"
            )
        return "duckdb"
    if engine == "dask":
        raise TypeError(f"engine = 'dask' needs a Dask DataFrame as data, got {type(data).__name__}")
    if engine is None:
        return "duckdb" if _is_duckdb_relation(data) else "memory"
    return engine


def estimate_out_of_core(
    engine: str,
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
    columns=None,
    collin_tol=None,
):
    """The `feols` estimate with the row passes on `engine` ("duckdb" or "dask").
    `columns`: those the model reads (None: any), the only ones DuckDB reads from a table in
    memory; collin_tol: the collinearity rule's tolerance (None: its default)."""
    from vantrel.scale.aggregate import estimate

    if engine == "duckdb":
        from vantrel.scale.duckdb_engine import DuckDBEngine

        # the engine removes what it made (its temporary directory) itself when opening fails
        runner = DuckDBEngine(data, memory_limit, temp_directory, n_threads, columns=columns)
    else:
        if memory_limit is not None or temp_directory is not None:
            raise ValueError(
                "memory_limit and temp_directory are DuckDB settings; a Dask cluster's workers have "
                f"their own (got memory_limit = {memory_limit!r}, temp_directory = {temp_directory!r})"
            )
        from vantrel.scale.dask_engine import DaskEngine

        runner = DaskEngine(data)
    try:
        return estimate(runner, fml, vcov, weights, ssc, fixef_tol, fixef_maxiter, n_threads, progress, collin_tol)
    finally:
        runner.close()
