"""Data larger than memory: the row passes as queries of an engine (DuckDB, embedded and out
of core; Dask, on a cluster), each aggregating where the rows are (`duckdb_engine`,
`dask_engine`), and `aggregate.AggregatedEngine`, the stages an estimator calls, over them.
The engines are imported only when used, so neither duckdb nor dask is needed for data in
memory.
"""
