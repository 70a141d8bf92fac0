"""The row passes of `vantrel.engines.aggregated` as DuckDB queries.

DuckDB runs them out of core: the estimation sample is materialised once as a temporary
table (level ids and the model's columns, nothing else) that spills to ``temp_directory``
beyond ``memory_limit``, and every later pass is a scan or a GROUP BY over it. The
solved coefficients come back as small registered tables joined to the rows.

Input: a path or glob of Parquet files (or CSV files, by their suffix), a DuckDB relation
(read once, as a stream of Arrow batches, into this engine's own connection, so the
memory limit applies whatever connection the relation lives on), or, when asked for with
``engine="duckdb"``, any table DuckDB scans (pandas, polars, pyarrow), of which DuckDB sees
only the model's columns, as in memory.

The engine owns a connection and, unless given one, a temporary directory: `close` ends
both, and so does a failure while the engine is being opened.
"""

from __future__ import annotations

import contextlib
import glob
import math
import os
import shutil
import tempfile

import narwhals.stable.v2 as nw
import numpy as np
import pandas as pd

from vantrel.core.options import memory_size
from vantrel.engines.terms import columns_of, quote, to_sql
from vantrel.formula.design import table_columns

_CSV_SUFFIXES = (".csv", ".csv.gz", ".tsv", ".tsv.gz", ".txt")
_FLOAT_TYPES = {"DOUBLE", "FLOAT", "REAL"}
_INT_TYPES = {
    "TINYINT",
    "SMALLINT",
    "INTEGER",
    "BIGINT",
    "HUGEINT",
    "UTINYINT",
    "USMALLINT",
    "UINTEGER",
    "UBIGINT",
    "UHUGEINT",
}
_BATCH_ROWS = 1 << 20
# DuckDB's memory limit while the kernel solves (the engine runs no query then): the first
# of these that DuckDB can free memory down to.
_SOLVE_MEMORY = ("256MB", "1GB", "2GB")


def require_duckdb():
    try:
        import duckdb
    except ImportError as error:
        raise ImportError(
            "data out of memory on DuckDB needs the duckdb package: pip install 'vantrel[duckdb]'"
        ) from error
    return duckdb


# The share of the machine's available memory the sample's columns may take for an estimate
# on files or a DuckDB relation to run in memory (`memory_budget`): the in-memory estimate
# holds the columns, their stacked and demeaned copy and the residuals, about three to four
# times the columns, and the machine has other work.
MEMORY_SHARE = 0.25
# An environment variable that sets that budget instead (a size such as "8GB"; "0": always
# out of core), for a machine whose available memory says little about what one estimate
# may take (a shared server, a container).
BUDGET_VARIABLE = "VANTREL_MEMORY_BUDGET"


def available_memory() -> int | None:
    """The bytes of memory the system can give without swapping (Linux's MemAvailable, else
    the free physical pages), or None where neither is known."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    try:
        return int(os.sysconf("SC_AVPHYS_PAGES")) * int(os.sysconf("SC_PAGE_SIZE"))
    except (ValueError, OSError, AttributeError):
        return None


def memory_budget(memory_limit=None) -> tuple[float, str]:
    """The bytes the sample's columns may take to be estimated in memory, and where that
    figure comes from: the caller's `memory_limit`, else the environment variable
    ``VANTREL_MEMORY_BUDGET``, else `MEMORY_SHARE` of the available memory."""
    if memory_limit is not None:
        size = memory_size(memory_limit)
        if size is not None:
            return size, f"memory_limit = {memory_limit!r}"
    text = os.environ.get(BUDGET_VARIABLE)
    if text is not None and text.strip():
        size = 0.0 if text.strip() == "0" else memory_size(text)
        if size is None:
            raise ValueError(
                f"the environment variable {BUDGET_VARIABLE} = {text!r} is not a memory size; "
                "give one such as '8GB' or '500MB', or '0' to estimate out of core always"
            )
        return size, f"{BUDGET_VARIABLE} = {text!r}"
    available = available_memory()
    if available is None:
        return 0.0, "the machine's available memory, which is unknown here"
    return MEMORY_SHARE * available, f"{MEMORY_SHARE:.0%} of the available memory ({available / 2**30:.1f} GiB)"


def file_source(data) -> str:
    """DuckDB's table function reading the files of the path or glob `data` (CSV by the
    suffix, else Parquet); a path matching no file or naming a directory is refused."""
    path = os.fspath(data)
    if not glob.glob(path) and "://" not in path:
        raise FileNotFoundError(f"data: no file matches {path!r}")
    if os.path.isdir(path):
        raise ValueError(
            f"data: {path!r} is a directory; give its files as a glob, such as {os.path.join(path, '*.parquet')!r}"
        )
    reader = "read_csv" if path.lower().endswith(_CSV_SUFFIXES) else "read_parquet"
    return f"{reader}('{path.replace(chr(39), chr(39) * 2)}')"


def described_files(duckdb, con, data, source: str) -> list:
    """DuckDB's DESCRIBE of the files' columns (name, type, ...), or a ValueError naming the
    files DuckDB could not read."""
    try:
        return con.sql(f"DESCRIBE SELECT * FROM {source}").fetchall()
    except duckdb.Error as error:
        kind = "CSV" if source.startswith("read_csv") else "Parquet"
        raise ValueError(f"data: DuckDB could not read {os.fspath(data)!r} as {kind}: {error}") from error


def read_in_memory(data, columns, memory_limit=None, threads: int = 0, *, always: bool = False, report=None):
    """The columns among `columns` of the files (a path or glob) or the DuckDB relation
    `data` as one Arrow table in the rows' order, read, projected and converted by DuckDB,
    when they fit the memory budget (`memory_budget`; `always`: whatever their size).

    The size is the rows (one count, which Parquet's metadata answers without reading the
    rows) times the columns times 8 bytes. The rows are fetched in batches of a million,
    shown on `report` (a `Progress`). Rows with missing values are left to the in-memory
    engine, so that its sample, its messages and its result are those of the same table
    read by any other means.

    Returns ``(table, note)``: the table, or None when the columns exceed the budget (the
    estimate then stays out of core), and a sentence saying which and why.
    """
    import pyarrow as pa

    duckdb = require_duckdb()
    con = None
    try:
        if isinstance(data, (str, os.PathLike)):
            config = {} if memory_limit is None else {"memory_limit": str(memory_limit)}
            if threads:
                config["threads"] = int(threads)
            try:
                con = duckdb.connect(":memory:", config=config)
            except duckdb.Error as error:
                raise ValueError(f"memory_limit = {memory_limit!r} was refused by DuckDB: {error}") from error
            source = file_source(data)
            names = [row[0] for row in described_files(duckdb, con, data, source)]
            relation = con.sql(f"SELECT * FROM {source}")
        else:
            relation, names = data, list(data.columns)
        # a column the table lacks is for the in-memory engine to name in its error
        present = [name for name in dict.fromkeys(columns) if name in set(names)]
        n = int(relation.aggregate("count(*)").fetchall()[0][0])
        need = 8 * n * len(present)
        budget, origin = memory_budget(memory_limit)
        size = f"{n:,} rows x {len(present)} column(s), {need / 2**20:,.1f} MiB"
        if not always and need > budget:
            return (
                None,
                f"estimated out of core on DuckDB: {size} exceed the budget of {budget / 2**20:,.1f} MiB ({origin})",
            )
        if always:
            note = f"estimated in memory, read by DuckDB as asked (engine='memory'): {size}"
        else:
            note = (
                f"estimated in memory, read by DuckDB: {size} within the budget of {budget / 2**20:,.1f} MiB ({origin})"
            )
        if not present:
            return pa.table({}), note
        if report is not None:
            report.stage(f"reading {size} with DuckDB")
        reader = relation.select(", ".join(quote(name) for name in present)).to_arrow_reader(_BATCH_ROWS)
        batches, read = [], 0
        for batch in reader:
            batches.append(batch)
            read += batch.num_rows
            if report is not None and len(batches) % 10 == 0:
                report.stage(f"read {read:,} of {n:,} rows")
        return pa.Table.from_batches(batches, schema=reader.schema), note
    finally:
        if con is not None:
            con.close()


def _kind(type_name: str) -> str:
    name = type_name.upper()
    if name in _FLOAT_TYPES or name.startswith("DECIMAL"):
        return "float" if name in _FLOAT_TYPES else "int"  # decimals cannot hold NaN
    if name in _INT_TYPES:
        return "int"
    if name == "BOOLEAN":
        return "bool"
    return "other"


# The kind of a column of a table in memory that the model does not read: DuckDB never sees
# it, so nothing about its type is known (and none is needed).
UNREAD = "unread"


class DuckDBEngine:
    name = "duckdb"

    def __init__(
        self,
        data,
        memory_limit: str | None = None,
        temp_directory: str | None = None,
        threads: int = 0,
        columns: list[str] | None = None,
    ):
        """`columns`: those the model reads (None: all); of a table in memory only these
        are handed to DuckDB."""
        duckdb = require_duckdb()
        self.con = None
        self._own_temp = None
        try:
            self._open(duckdb, data, memory_limit, temp_directory, threads, columns)
        except BaseException:
            # an exception (or Ctrl-C) while opening leaves neither the connection nor the
            # temporary directory behind: the caller never gets an engine to close
            self.close()
            raise

    def _open(self, duckdb, data, memory_limit, temp_directory, threads, columns) -> None:
        if temp_directory is None:
            self._own_temp = tempfile.mkdtemp(prefix="vantrel-duckdb-")
            temp_directory = self._own_temp
        config = {
            "temp_directory": str(temp_directory),
            # results of these queries are sums: the rows' order never matters, and
            # keeping it costs memory in every materialisation
            "preserve_insertion_order": False,
        }
        self._memory_limit = memory_limit
        if memory_limit is not None:
            config["memory_limit"] = str(memory_limit)
        if threads:
            config["threads"] = int(threads)
        try:
            self.con = duckdb.connect(":memory:", config=config)
        except duckdb.Error as error:
            raise ValueError(
                f"memory_limit = {memory_limit!r} or temp_directory = {temp_directory!r} was refused by DuckDB: {error}"
            ) from error
        self._relation = None
        if isinstance(data, (str, os.PathLike)):
            self.source = file_source(data)
            described = described_files(duckdb, self.con, data, self.source)
            self._schema = {row[0]: _kind(row[1]) for row in described}
        elif isinstance(data, duckdb.DuckDBPyRelation):
            self._relation = data
            self.source = "vt_source"
            self._schema = {name: _kind(str(t)) for name, t in zip(data.columns, data.types, strict=True)}
        else:
            self.source = "vt_source"
            self._schema = self._register_table(duckdb, data, columns)

    def _register_table(self, duckdb, data, columns) -> dict[str, str]:
        """Hand DuckDB the used columns of a table in memory and return the schema: every
        column's name (for the message about a missing one), the kind of the used ones.
        DuckDB cannot read every type pandas holds (complex numbers, periods, intervals),
        and a column the model leaves alone must not fail it."""
        try:
            frame, names = table_columns(data)
        except TypeError:
            frame, names = None, None  # not a table narwhals reads: DuckDB may still scan it whole
        if frame is None or columns is None:
            chosen, table = None, data
        else:
            chosen = [name for name in dict.fromkeys(columns) if name in set(names)]
            table = frame[chosen] if isinstance(frame, pd.DataFrame) else frame.select(chosen).to_native()
        if chosen == []:
            return dict.fromkeys(names, UNREAD)  # nothing to read: the check of the names fails first
        try:
            self.con.register("vt_source", table)
            described = self.con.sql("DESCRIBE SELECT * FROM vt_source").fetchall()
        except duckdb.Error as error:
            raise TypeError(
                f"data: {self._unreadable(duckdb, table, chosen)} cannot be read by DuckDB: {error}"
            ) from error
        kinds = {row[0]: _kind(row[1]) for row in described}
        return kinds if names is None else {name: kinds.get(name, UNREAD) for name in names}

    def _unreadable(self, duckdb, table, chosen) -> str:
        """Which of the chosen columns DuckDB refuses, found one at a time (only on the way
        to an error)."""
        if chosen is None:
            return "the table"
        for name in chosen:
            one = table[[name]] if isinstance(table, pd.DataFrame) else nw.from_native(table).select([name]).to_native()
            try:
                self.con.register("vt_probe", one)
                self.con.sql("DESCRIBE SELECT * FROM vt_probe").fetchall()
            except duckdb.Error:
                return f"column {name!r}"
            finally:
                with contextlib.suppress(duckdb.Error):
                    self.con.unregister("vt_probe")
        return f"columns {chosen}"

    # -- reading ------------------------------------------------------------------------
    def schema(self) -> dict[str, str]:
        return dict(self._schema)

    def head(self, columns: list[str], n: int) -> pd.DataFrame:
        listed = ", ".join(quote(c) for c in columns)
        if self._relation is not None:
            return self._relation.select(listed).limit(n).df()
        return self.con.sql(f"SELECT {listed} FROM {self.source} LIMIT {int(n)}").df()

    def _one(self, sql: str):
        return self._run(sql)[0]

    def _run(self, sql: str) -> list:
        # every result is fetched to its end: the connection takes no other work until it is
        return self.con.execute(sql).fetchall()

    # -- sample -------------------------------------------------------------------------
    def build_sample(self, model, effects, variables, clusters, weights, float_keys) -> dict[str, int]:
        """The sample table vt_rows: level ids e0.. per effect, keys k<i> of the cluster
        variables, the model's columns v0.. and the weights w, over the rows with every
        used value present (and finite, for the model's columns)."""
        self.n_columns = len(model)
        self.n_effects = len(effects)
        self.key = {name: f"k{i}" for i, name in enumerate(variables)}
        self.cluster_keys = [self.key[name] for name in clusters]
        self.weighted = weights is not None
        selected, conditions = [], []
        for name in variables:
            selected.append(f"{quote(name)} AS {self.key[name]}")
            conditions.append(f"{quote(name)} IS NOT NULL")
            if name in float_keys:
                conditions.append(f"NOT isnan({quote(name)})")
        for j, node in enumerate(model):
            if node is None:
                continue  # the intercept's ones are a constant of the queries
            expression = to_sql(node)
            selected.append(f"{expression} AS v{j}")
            conditions.append(f"isfinite({expression})")
        if weights is not None:
            selected.append(f"CAST({quote(weights)} AS DOUBLE) AS w")
            conditions.append(f"{quote(weights)} IS NOT NULL AND NOT isnan(CAST({quote(weights)} AS DOUBLE))")
        where = " AND ".join(conditions) if conditions else "true"
        model_columns = [name for node in model if node is not None for name in columns_of(node)]
        used = ", ".join(quote(c) for c in dict.fromkeys(variables + model_columns + ([weights] if weights else [])))
        if self._relation is not None:
            read = int(self._relation.aggregate("count(*)").fetchall()[0][0])
            self.con.register("vt_source", self._relation.select(used).to_arrow_reader(_BATCH_ROWS))
        else:
            read = int(self._one(f"SELECT count(*) FROM {self.source}")[0])
        self._run(f"CREATE TEMP TABLE vt_raw AS SELECT {', '.join(selected)} FROM {self.source} WHERE {where}")
        if self._relation is not None:
            self.con.unregister("vt_source")
        if weights is not None:
            bad, example = self._one("SELECT count(*), min(w) FROM vt_raw WHERE NOT (isfinite(w) AND w > 0)")
            if bad:
                raise ValueError(
                    f"weights: column {weights!r} must hold positive finite values; {bad:,} row(s) "
                    f"do not (for example: {example!r})"
                )
        self.effect_keys = [[self.key[name] for name in effect] for effect in effects]
        for f, keys in enumerate(self.effect_keys):
            listed = ", ".join(keys)
            self._run(
                f"CREATE TEMP TABLE vt_level{f} AS SELECT {listed}, "
                f"(row_number() OVER (ORDER BY {listed}) - 1)::INTEGER AS id "
                f"FROM (SELECT DISTINCT {listed} FROM vt_raw)"
            )
        joins = " ".join(
            f"JOIN vt_level{f} l{f} ON " + " AND ".join(f"r.{k} = l{f}.{k}" for k in keys)
            for f, keys in enumerate(self.effect_keys)
        )
        kept = (
            [f"l{f}.id AS e{f}" for f in range(self.n_effects)]
            + [f"r.{k}" for k in dict.fromkeys(self.cluster_keys)]
            + [f"r.v{j}" for j, node in enumerate(model) if node is not None]
        )
        if weights is not None:
            kept.append("r.w")
        self._run(f"CREATE TEMP TABLE vt_rows AS SELECT {', '.join(kept)} FROM vt_raw r {joins}")
        self._run("DROP TABLE vt_raw")
        self.model = model
        self._level_rows = None
        return {"read": read, "kept": int(self._one("SELECT count(*) FROM vt_rows")[0])}

    def drop_singletons(self) -> int:
        """Delete rows alone in a level of some effect until none is; the ids are then
        renumbered densely in the same order."""
        dropped = 0
        while True:
            alone = " OR ".join(
                f"e{f} IN (SELECT e{f} FROM vt_rows GROUP BY e{f} HAVING count(*) = 1)" for f in range(self.n_effects)
            )
            deleted = int(self._one(f"DELETE FROM vt_rows WHERE {alone}")[0])
            if not deleted:
                break
            dropped += deleted
        if dropped:
            self.renumber()
        return dropped

    def renumber(self) -> None:
        """Number each effect's levels densely again, in the same order, after rows were
        deleted from vt_rows."""
        self._level_rows = None
        for f, keys in enumerate(self.effect_keys):
            self._run(
                f"CREATE TEMP TABLE vt_map{f} AS SELECT e{f} AS old, "
                f"(row_number() OVER (ORDER BY e{f}) - 1)::INTEGER AS id "
                f"FROM (SELECT DISTINCT e{f} FROM vt_rows)"
            )
            self._run(
                f"CREATE OR REPLACE TEMP TABLE vt_level{f} AS SELECT {', '.join(keys)}, m.id "
                f"FROM vt_level{f} l JOIN vt_map{f} m ON l.id = m.old"
            )
        joins = " ".join(f"JOIN vt_map{f} m{f} ON r.e{f} = m{f}.old" for f in range(self.n_effects))
        others = [c for c in self._columns_of("vt_rows") if not (c.startswith("e") and c[1:].isdigit())]
        ids = [f"m{f}.id AS e{f}" for f in range(self.n_effects)]
        self._run(
            f"CREATE OR REPLACE TEMP TABLE vt_rows AS SELECT {', '.join(ids + ['r.' + c for c in others])} "
            f"FROM vt_rows r {joins}"
        )
        for f in range(self.n_effects):
            self._run(f"DROP TABLE vt_map{f}")

    def _columns_of(self, table: str) -> list[str]:
        return [row[0] for row in self._run(f"DESCRIBE {table}")]

    def level_counts(self) -> list[int]:
        return [int(self._one(f"SELECT count(*) FROM vt_level{f}")[0]) for f in range(self.n_effects)]

    def level_keys(self, f: int) -> pd.DataFrame:
        return self.con.sql(f"SELECT {', '.join(self.effect_keys[f])} FROM vt_level{f} ORDER BY id").df()

    def level_rows(self) -> list[np.ndarray]:
        """Per effect the rows of each level, counted once per sample (the sorted rows and
        the fixed effects' recovery both ask; `renumber` forgets them)."""
        if getattr(self, "_level_rows", None) is None:
            out = []
            for f, G in enumerate(self.level_counts()):
                ids, n = self._arrays(f"SELECT e{f}, count(*) FROM vt_rows GROUP BY e{f}", 2)
                rows = np.zeros(G)
                rows[ids.astype(np.int64)] = n
                out.append(rows)
            self._level_rows = out
        return [rows.copy() for rows in self._level_rows]

    # -- moments ------------------------------------------------------------------------
    def _v(self, j: int) -> str:
        return "1.0" if self.model[j] is None else f"v{j}"

    @property
    def _w(self) -> str:
        return "w" if self.weighted else "1.0"

    def moments(self, n_columns: int) -> dict:
        sums = ", ".join(f"sum({self._v(j)})" for j in range(n_columns))
        row = self._one(f"SELECT count(*), {sums}, sum({self._w}), sum({self._w} * v0) FROM vt_rows")
        return {
            "N": int(row[0]),
            "sums": np.array(row[1 : 1 + n_columns], dtype=np.float64),
            "w": float(row[-2] or 0.0),
            "wy": float(row[-1] or 0.0),
        }

    def spread(self, centres, y_mean) -> dict:
        """Sums of squares and largest magnitudes of the centred columns, and the (weighted)
        total sum of squares of y about its (weighted) mean."""
        n = len(centres)
        parts = []
        for j in range(n):
            d = f"({self._v(j)} - {_lit(centres[j])})"
            parts += [f"sum({d} * {d})", f"max(abs({d}))"]
        row = self._one(
            f"SELECT {', '.join(parts)}, sum({self._w} * (v0 - {_lit(y_mean)}) * (v0 - {_lit(y_mean)})) FROM vt_rows"
        )
        return {
            "ss": np.array(row[0 : 2 * n : 2], dtype=np.float64),
            "largest": np.array(row[1 : 2 * n : 2], dtype=np.float64),
            "tss": float(row[-1]),
        }

    def _scaled(self, j, centres, inverse) -> str:
        return f"(({self._v(j)} - {_lit(centres[j])}) * {_lit(inverse[j])})"

    def effect_aggregates(self, centres, inverse) -> dict:
        """Per effect the weighted level counts and level sums of the scaled columns, per
        pair of effects the weighted cells, and the columns' weighted sums of squares."""
        n = len(centres)
        w = self._w
        z = [self._scaled(j, centres, inverse) for j in range(n)]
        counts, sums = [], []
        for f, G in enumerate(self.level_counts()):
            columns = ", ".join(f"sum({w} * {z[j]})" for j in range(n))
            arrays = self._arrays(f"SELECT e{f}, sum({w}), {columns} FROM vt_rows GROUP BY e{f}", n + 2)
            ids = arrays[0].astype(np.int64)
            count = np.zeros(G)
            count[ids] = arrays[1]
            level_sums = np.zeros((G, n))
            level_sums[ids] = np.column_stack(arrays[2:])
            counts.append(count)
            sums.append(np.ascontiguousarray(level_sums))
        row = self._one("SELECT " + ", ".join(f"sum({w} * {z[j]} * {z[j]})" for j in range(n)) + " FROM vt_rows")
        out = {"counts": counts, "sums": sums, "sumsq": np.array(row, dtype=np.float64)}
        G = [len(c) for c in counts]
        if self.n_effects > 1 and _rows_beat_cells(self._cell_estimate(G), G, self.weighted):
            out["rows"] = self.sorted_rows(G)
            return out
        pairs = []
        for f in range(self.n_effects):
            for g in range(f + 1, self.n_effects):
                a, b, cell = self._arrays(f"SELECT e{f}, e{g}, sum({w}) FROM vt_rows GROUP BY e{f}, e{g}", 3)
                pairs.append(
                    (
                        f,
                        g,
                        a.astype(np.int64, copy=False),
                        b.astype(np.int64, copy=False),
                        cell.astype(np.float64, copy=False),
                    )
                )
        out["pairs"] = pairs
        return out

    def _cell_estimate(self, G: list[int]) -> tuple[int, int]:
        """The rows, and the cells of all pairs of effects, counted approximately (one pass,
        a few percent off): enough to choose between cells and rows."""
        F = self.n_effects
        keys = [f"approx_count_distinct(e{f}::BIGINT * {G[g]} + e{g})" for f in range(F) for g in range(f + 1, F)]
        row = self._one(f"SELECT count(*), {', '.join(keys)} FROM vt_rows")
        return int(row[0]), int(sum(row[1:]))

    def sorted_rows(self, G: list[int]) -> dict:
        """The rows as `COEF_PCG_rows` takes them: sorted by the levels of the effect with
        most levels (the segment), that effect's rows per level, every other effect's
        levels in that order in 16 bits when they all fit (else 32), and the weights. The
        order is complete (every column a key), so the solve's sums come out the same on
        every run; the arrays are filled a batch at a time from DuckDB's sorted stream."""
        F = self.n_effects
        segment = int(np.argmax(G))
        others = [f for f in range(F) if f != segment]
        narrow = all(G[f] <= 65535 for f in others)
        dtype, sql_type = (np.uint16, "USMALLINT") if narrow else (np.uint32, "UINTEGER")
        segment_rows = self.level_rows()[segment].astype(np.int64)
        N = int(segment_rows.sum())
        levels = [None if f == segment else np.empty(N, dtype=dtype) for f in range(F)]
        w = np.empty(N) if self.weighted else None
        if self._sort_in_numpy(G, N):
            self._sorted_by_key(segment, others, G, levels, w)
            return {"segment": segment, "segment_rows": segment_rows, "levels": levels, "w": w}
        columns = [f"e{f}::{sql_type}" for f in others] + (["w"] if self.weighted else [])
        keys = [f"e{f}" for f in [segment, *others]] + (["w"] if self.weighted else [])
        reader = self.con.sql(f"SELECT {', '.join(columns)} FROM vt_rows ORDER BY {', '.join(keys)}").to_arrow_reader(
            _BATCH_ROWS
        )
        at = 0
        for batch in reader:
            m = batch.num_rows
            for c, f in enumerate(others):
                levels[f][at : at + m] = batch.column(c).to_numpy()
            if w is not None:
                w[at : at + m] = batch.column(len(others)).to_numpy()
            at += m
        if at != N:
            raise RuntimeError(f"DuckDB returned {at:,} sorted rows of {N:,}")
        return {"segment": segment, "segment_rows": segment_rows, "levels": levels, "w": w}

    def _sort_in_numpy(self, G: list[int], N: int) -> bool:
        """Whether the rows' order comes from NumPy's sort of one key per row (the levels
        of every effect in mixed radix) rather than DuckDB's ORDER BY of all rows, which
        writes a sorted copy of the sample. The key and its sorting take 16 bytes a row
        beyond DuckDB's own memory: allowed when that is at most a quarter of the memory
        budget (`memory_budget`: memory_limit, VANTREL_MEMORY_BUDGET, else a share of
        the available memory), and when the key fits 63 bits."""
        return math.prod(G) < 2**63 and 16 * N <= memory_budget(self._memory_limit)[0] / 4

    def _sorted_by_key(self, segment: int, others: list[int], G: list[int], levels, w) -> None:
        """Fill `levels` (and `w`) in the complete order of (segment, others..., w) from
        one 64-bit key per row, sorted in place by NumPy (by the key, then the weight):
        the same arrays as DuckDB's ORDER BY, at a fraction of its cost."""
        key_sql = f"e{segment}::UBIGINT"
        for f in others:
            key_sql = f"({key_sql} * {G[f]} + e{f})"
        N = len(levels[others[0]])
        key = np.empty(N, dtype=np.uint64)
        listed = f"({key_sql})::UBIGINT" + (", w" if w is not None else "")
        at = 0
        for batch in self.con.sql(f"SELECT {listed} FROM vt_rows").to_arrow_reader(_BATCH_ROWS):
            m = batch.num_rows
            key[at : at + m] = batch.column(0).to_numpy()
            if w is not None:
                w[at : at + m] = batch.column(1).to_numpy()
            at += m
        if at != N:
            raise RuntimeError(f"DuckDB returned {at:,} rows of {N:,}")
        if w is None:
            key.sort()
        else:
            order = np.lexsort((w, key))
            key[:] = key[order]
            w[:] = w[order]
            del order
        # the levels from the key, a chunk at a time (no second N-sized key)
        for start in range(0, N, _BATCH_ROWS):
            part = key[start : start + _BATCH_ROWS].copy()
            for f in reversed(others):
                levels[f][start : start + len(part)] = part % G[f]
                part //= G[f]

    @contextlib.contextmanager
    def set_aside(self):
        """Hand the engine's memory to the solve while it runs: DuckDB keeps the sample's
        blocks in memory up to its limit, so the limit is lowered for the solve (the blocks
        go to temp_directory) and restored after it. The process's peak is then about the
        larger of the engine's limit and the solve's own arrays, not their sum."""
        import duckdb

        given = None if self._memory_limit is None else memory_size(self._memory_limit)
        for limit in _SOLVE_MEMORY:
            if self._memory_limit is not None and (given is None or given <= memory_size(limit)):
                break  # never raise the caller's limit (nor guess at one it gave as text DuckDB reads alone)
            try:
                self._run(f"SET memory_limit = '{limit}'")
                break
            except duckdb.OutOfMemoryException:
                continue  # some of what DuckDB holds cannot be spilled: try a higher limit
        try:
            yield
        finally:
            if self._memory_limit is None:
                self._run("RESET memory_limit")
            else:
                self._run(f"SET memory_limit = '{self._memory_limit}'")

    def _arrays(self, sql: str, n: int) -> list[np.ndarray]:
        result = self.con.execute(sql).fetchnumpy()
        return [np.asarray(result[key]) for key in list(result)[:n]]

    # -- residuals ----------------------------------------------------------------------
    def residualise(self, alphas, centres, inverse) -> np.ndarray:
        """The residualised scaled columns r<j> = z<j> - sum_f alpha_f[level] with the
        weights and cluster keys (view vt_resid); returns their weighted cross products.

        A view, not a table: writing the residuals of every row (and reading them back)
        cost more than joining the rows to the solved coefficients again in each of the
        few passes that read them (the cross products, the covariance's sums)."""
        n = len(centres)
        for f, alpha in enumerate(alphas):
            frame = pd.DataFrame(alpha, columns=[f"a{j}" for j in range(n)])
            frame.insert(0, "id", np.arange(len(alpha), dtype=np.int64))
            self.con.register("vt_alpha_frame", frame)
            self._run(f"CREATE OR REPLACE TEMP TABLE vt_alpha{f} AS SELECT * FROM vt_alpha_frame")
            self.con.unregister("vt_alpha_frame")
        residual = []
        for j in range(n):
            terms = "".join(f" - a{f}.a{j}" for f in range(len(alphas)))
            residual.append(f"{self._scaled(j, centres, inverse)}{terms} AS r{j}")
        joins = " ".join(f"JOIN vt_alpha{f} a{f} ON t.e{f} = a{f}.id" for f in range(len(alphas)))
        extra = [f"t.{k}" for k in dict.fromkeys(self.cluster_keys)] + (["t.w"] if self.weighted else [])
        self._run(
            f"CREATE OR REPLACE TEMP VIEW vt_resid AS SELECT {', '.join(residual + extra)} FROM vt_rows t {joins}"
        )
        products = [f"sum({self._w} * r{i} * r{j})" for i in range(n) for j in range(i, n)]
        row = self._one(f"SELECT {', '.join(products)} FROM vt_resid")
        gram = np.zeros((n, n))
        gram[np.triu_indices(n)] = row
        return gram + np.triu(gram, 1).T

    def nested(self, f: int, cluster: str) -> bool:
        """Whether every level of effect f falls in a single cluster."""
        k = self.key[cluster]
        if self.effect_keys[f] == [k]:
            return True  # the effect is the cluster variable: each level is one cluster
        row = self._one(
            f"SELECT bool_and(lo = hi) FROM (SELECT min({k}) AS lo, max({k}) AS hi FROM vt_rows GROUP BY e{f})"
        )
        return bool(row[0])

    def residual_statistics(self, combination, scale, keep, hetero, subsets) -> dict:
        """The residual e = sum_j combination_j r_j and the regressors x~_k = scale_k r_k:
        the weighted residual sum of squares, the HC meat sum w^2 e^2 x~ x~', and per
        subset of the cluster variables the meat of the per-cluster score sums
        sum_g (sum_i w e x~)(sum_i w e x~)' and the number of clusters."""
        e = "(" + " + ".join(f"{_lit(c)} * r{j}" for j, c in enumerate(combination) if c != 0.0) + ")"
        kept = [j + 1 for j in np.flatnonzero(keep)]
        x = [f"({_lit(scale[j])} * r{j})" for j in kept]
        K = len(kept)
        w = self._w
        parts = [f"sum({w} * {e} * {e})"]
        if hetero:
            parts += [f"sum({w} * {w} * {e} * {e} * {x[a]} * {x[b]})" for a in range(K) for b in range(a, K)]
        row = self._one(f"SELECT {', '.join(parts)} FROM vt_resid")
        out = {"rss": float(row[0])}
        if hetero:
            out["meat"] = _symmetric_from_upper(row[1:], K)
        meats, counts = [], []
        for subset in subsets:
            keys = ", ".join(self.key[name] for name in subset)
            scores = ", ".join(f"sum({w} * {e} * {x[a]}) AS s{a}" for a in range(K))
            products = ", ".join(f"sum(s{a} * s{b})" for a in range(K) for b in range(a, K))
            row = self._one(f"SELECT count(*), {products} FROM (SELECT {scores} FROM vt_resid GROUP BY {keys})")
            counts.append(int(row[0]))
            meats.append(_symmetric_from_upper(row[1:], K))
        out["cluster_meats"], out["cluster_counts"] = meats, counts
        return out

    # -- reweighted least squares -------------------------------------------------------
    # The Poisson estimate's passes (`vantrel.models.poisson_rows`): the sample is kept in
    # vt_glm (ids, cluster keys, regressors, the outcome y, the prior weight pw, the offset
    # off and the current linear predictor eta), and every iteration writes vt_rows anew
    # with the working variable as column v0 and the working weight times pw as w, which
    # the aggregated stages then absorb as any weighted least squares. Both are tables
    # DuckDB spills to temp_directory beyond its memory limit.

    def outcome_counts(self) -> dict:
        """The outcome v0's count of negative values, the smallest value and the count of
        positive values."""
        negative, smallest, positive = self._one(
            "SELECT count(*) FILTER (WHERE v0 < 0), min(v0), count(*) FILTER (WHERE v0 > 0) FROM vt_rows"
        )
        return {"negative": int(negative), "smallest": smallest, "positive": int(positive)}

    def glm_start(self, offset: int | None) -> float:
        """Move the sample into vt_glm with the starting mean (y + mean) / 2 (`offset`: the
        model column holding the offset, None: none) and write the working columns at it;
        returns the deviance at the start."""
        total_w, total_wy = self._one(f"SELECT sum({self._w}), sum({self._w} * v0) FROM vt_rows")
        mean = float(total_wy) / float(total_w)
        keys = [f"e{f}" for f in range(self.n_effects)] + list(dict.fromkeys(self.cluster_keys))
        self._glm_columns = keys + [f"v{j}" for j in range(1, len(self.model)) if self.model[j] is not None]
        off = "0.0" if offset is None else f"v{offset}"
        self._run(
            f"CREATE TEMP TABLE vt_glm AS SELECT {', '.join(self._glm_columns)}, v0 AS y, {self._w} AS pw, "
            f"{off} AS off, ln((v0 + {_lit(mean)}) / 2) AS eta FROM vt_rows"
        )
        self.weighted = True  # from here on w is the working weight times the prior weight
        self._glm_working()
        return self._glm_deviance("vt_glm", "eta")

    def _glm_working(self) -> None:
        listed = ", ".join(self._glm_columns)
        self._run(
            f"CREATE OR REPLACE TEMP TABLE vt_rows AS SELECT {listed}, "
            "(eta - off) + (y - exp(eta)) / exp(eta) AS v0, pw * exp(eta) AS w FROM vt_glm"
        )

    def _glm_deviance(self, table: str, eta: str) -> float:
        # y log(y / mu) is zero at y = 0, where the saturated model's mean is zero
        unit = f"(CASE WHEN y > 0 THEN y * (ln(y) - {eta}) ELSE 0.0 END - (y - exp({eta})))"
        return float(self._one(f"SELECT sum(pw * 2.0 * {unit}) FROM {table}")[0])

    def glm_propose(self, values: list[np.ndarray], constant: float, slopes: dict[int, float]) -> float:
        """The linear predictor of the coefficients (`values`: each effect's by level id,
        `slopes`: model column -> coefficient, `constant`) and the offset, as column eta_new
        of vt_next beside the current eta; returns its deviance."""
        for f, value in enumerate(values):
            frame = pd.DataFrame({"id": np.arange(len(value), dtype=np.int64), "a": np.asarray(value, np.float64)})
            self.con.register(f"vt_fe{f}", frame)
        terms = [_lit(constant)] + [f"{_lit(b)} * g.v{j}" for j, b in slopes.items()]
        terms += [f"a{f}.a" for f in range(len(values))] + ["g.off"]
        joins = " ".join(f"JOIN vt_fe{f} a{f} ON g.e{f} = a{f}.id" for f in range(len(values)))
        self._run(
            f"CREATE OR REPLACE TEMP TABLE vt_next AS SELECT g.*, {' + '.join(terms)} AS eta_new FROM vt_glm g {joins}"
        )
        for f in range(len(values)):
            self.con.unregister(f"vt_fe{f}")
        return self._glm_deviance("vt_next", "eta_new")

    def glm_halve(self) -> float:
        """Halve the step: eta_new halfway back to eta; returns its deviance."""
        self._run(
            "CREATE OR REPLACE TEMP TABLE vt_next AS "
            "SELECT * EXCLUDE (eta_new), (eta_new + eta) / 2 AS eta_new FROM vt_next"
        )
        return self._glm_deviance("vt_next", "eta_new")

    def glm_accept(self) -> None:
        """eta_new becomes the linear predictor, and vt_rows the working columns at it."""
        self._run("CREATE OR REPLACE TEMP TABLE vt_glm AS SELECT * EXCLUDE (eta, eta_new), eta_new AS eta FROM vt_next")
        self._run("DROP TABLE vt_next")
        self._glm_working()

    def glm_fit_sums(self) -> dict:
        """The log-likelihood at the current mean and at the constant mean, the deviance at
        the constant mean, and that mean (all under the prior weights)."""
        total_w, total_wy = self._one("SELECT sum(pw), sum(pw * y) FROM vt_glm")
        mean = float(total_wy) / float(total_w)
        m = _lit(mean)
        xlogy = "CASE WHEN y > 0 THEN y * {} ELSE 0.0 END"
        row = self._one(
            f"SELECT sum(pw * ({xlogy.format('eta')} - exp(eta) - lgamma(y + 1))), "
            f"sum(pw * ({xlogy.format('ln(' + m + ')')} - {m} - lgamma(y + 1))), "
            f"sum(pw * 2.0 * (CASE WHEN y > 0 THEN y * (ln(y) - ln({m})) ELSE 0.0 END - (y - {m}))) FROM vt_glm"
        )
        return {"loglik": float(row[0]), "loglik_null": float(row[1]), "null_deviance": float(row[2]), "mean": mean}

    def separate_fe(self) -> int:
        """Delete the rows of every level (of any effect) whose outcome v0 is zero in all its
        rows (the outcome is non-negative: its largest value is zero), the levels then
        numbered densely again; returns the count."""
        if not self.n_effects:
            return 0
        zero = " OR ".join(
            f"e{f} IN (SELECT e{f} FROM vt_rows GROUP BY e{f} HAVING max(v0) = 0)" for f in range(self.n_effects)
        )
        deleted = int(self._one(f"DELETE FROM vt_rows WHERE {zero}")[0])
        if deleted:
            self.renumber()
        return deleted

    def close(self) -> None:
        """End the connection and remove the engine's own temporary directory (also after a
        failed `close` of the connection); closing twice does nothing."""
        con, self.con = getattr(self, "con", None), None
        try:
            if con is not None:
                con.close()
        finally:
            if self._own_temp is not None:
                shutil.rmtree(self._own_temp, ignore_errors=True)
                self._own_temp = None


def _rows_beat_cells(counted: tuple[int, int], G, weighted: bool) -> bool:
    """Whether the solve should take the rows sorted by one effect rather than the pairs'
    cells: when the cells would take more memory. A cell costs about 48 bytes here (24 as
    fetched, 24 in the solver's two orders), a row 2 or 4 bytes per other effect plus 8 for
    its weight; panels (a worker's or a firm's years) and designs with many small groups
    have about one cell per row in some pair, and there the rows take a fraction of it."""
    N, cells = counted
    per_row = (2 if max(sorted(G)[:-1]) <= 65535 else 4) * (len(G) - 1) + (8 if weighted else 0)
    return 48 * cells > per_row * N


def _lit(value) -> str:
    """A double literal that DuckDB reads back to the same double (an exponent makes it a
    DOUBLE, not a DECIMAL; 17 digits round-trip)."""
    return f"{float(value):.17e}"


def _symmetric_from_upper(values, K: int) -> np.ndarray:
    out = np.zeros((K, K))
    out[np.triu_indices(K)] = values
    return out + np.triu(out, 1).T
