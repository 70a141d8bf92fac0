"""Where the rows are: one interface, three implementations.

An estimator (`vantrel.models`) never reads a row itself. It asks a row engine for the
stages every estimate needs, in this order:

- ``sample(formula, choice, weights)``: the estimation sample (rows with a value in every
  column the model reads, less the singletons), dense level ids; returns the coefficient
  names, the rows dropped by reason, the levels per effect and N;
- ``absorb(fixef_tol, fixef_maxiter, report)``: the fixed effects absorbed from [y, X];
  returns the cross products of the absorbed columns in their units ("gram"), each
  column's size before the absorption ("sizes"), the solver's report ("absorption") and
  the total sum of squares ("tss");
- ``fe_records``, ``nested``: the fixed effects' parameter counts of the small-sample
  corrections;
- ``residual_statistics(beta, keep, vcov_type, cluster_names)``: the residual sum of
  squares and the meat of the covariance's sandwich (HC0, or each cluster subset's);
- ``result_fields()``: what the result keeps (residuals per row, or the solved fixed
  effects), and ``close()``.

`memory.MemoryEngine` runs them with NumPy and the kernel; out of memory,
`vantrel.engines.aggregated.AggregatedEngine` runs them as aggregations on DuckDB or Dask.
`engine_for` picks the engine from the data, `open_engine` opens it.

Files and DuckDB relations go to DuckDB, and then, unless the caller forces a place
(``engine="duckdb"``: out of core; ``engine="memory"``: in memory), their size decides
(`open_engine`'s `auto`): when the used columns fit the memory budget
(`vantrel.engines.duckdb.memory_budget`) DuckDB only reads them and the in-memory engine
estimates (its speed, its bits, per-row results); beyond it every pass stays a DuckDB query.
The engine opened says which ran, and why, in its ``read_note``.
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
        if engine not in (None, "duckdb", "memory"):
            raise ValueError(
                f"engine = {engine!r} cannot read the files {os.fspath(data)!r}; use engine='duckdb', "
                "'memory' (DuckDB reads them into memory) or None"
            )
        return engine or "duckdb"
    if engine == "dask":
        raise TypeError(f"engine = 'dask' needs a Dask DataFrame as data, got {type(data).__name__}")
    if engine is None:
        return "duckdb" if _is_duckdb_relation(data) else "memory"
    return engine


def open_engine(
    path: str,
    data,
    columns,
    argument_of,
    n_threads: int,
    memory_limit=None,
    temp_directory=None,
    *,
    auto: bool = False,
    report=None,
):
    """The row engine `path` ("memory", "duckdb", "dask", from `engine_for`) over `data`,
    reading `columns` only (`argument_of`: the argument that named each, for errors).

    Files (a path or glob) in memory are read by DuckDB. With `auto` (the caller named no
    engine), files and DuckDB relations bound for "duckdb" are read into memory instead
    when their used columns fit the memory budget; `report` (a `Progress`) shows that read.
    Either way the engine's ``read_note`` says where the estimate runs and why (None for
    data given in memory)."""
    if path == "memory":
        from vantrel.engines.memory import MemoryEngine

        if isinstance(data, (str, os.PathLike)):
            from vantrel.engines.duckdb import read_in_memory

            table, note = read_in_memory(data, columns, memory_limit, n_threads, always=True, report=report)
            return _read_in(table, note, columns, argument_of, n_threads)
        engine = MemoryEngine(data, columns, argument_of, n_threads)
        engine.read_note = None
        return engine
    from vantrel.engines.aggregated import AggregatedEngine

    if path == "duckdb":
        from vantrel.engines.duckdb import DuckDBEngine, read_in_memory

        note = None
        if auto and (isinstance(data, (str, os.PathLike)) or _is_duckdb_relation(data)):
            table, note = read_in_memory(data, columns, memory_limit, n_threads, report=report)
            if table is not None:
                return _read_in(table, note, columns, argument_of, n_threads)
        # the engine removes what it made (its temporary directory) itself when opening fails
        engine = AggregatedEngine(
            DuckDBEngine(data, memory_limit, temp_directory, n_threads, columns=columns), n_threads
        )
        engine.read_note = note
        return engine
    if memory_limit is not None or temp_directory is not None:
        raise ValueError(
            "memory_limit and temp_directory are DuckDB settings; a Dask cluster's workers have "
            f"their own (got memory_limit = {memory_limit!r}, temp_directory = {temp_directory!r})"
        )
    from vantrel.engines.dask import DaskEngine

    return AggregatedEngine(DaskEngine(data), n_threads)


def _read_in(table, note, columns, argument_of, n_threads: int):
    """The in-memory engine over the Arrow `table` DuckDB read: its columns as pandas ones
    (the conversion the engine makes of any Arrow table), the table itself let go, so the
    estimate holds one copy of the rows."""
    from vantrel.engines.memory import MemoryEngine
    from vantrel.formula.design import used_columns

    frame = used_columns(table, columns, argument_of)
    del table
    engine = MemoryEngine(frame, columns, argument_of, n_threads)
    engine.read_note = note
    return engine
