"""The row passes of `vantrel.engines.aggregated` on a Dask DataFrame, partition by partition.

Every pass is a function of one partition (NumPy and the kernel) whose result is small
next to the rows: a few sums, a level's sums indexed by its dense id, a cluster's scores.
The partitions' results are added up by a tree reduction on the workers, so each pass
reads the rows where they are, every worker reads its own, and nothing is shuffled or
gathered into one partition. Only those partial results, the level tables, the solved
coefficients and (for one route of the solve) the rows' level ids travel between the
client and the workers. Within a partition every pass runs a block of rows at a time.

- Sample: the used columns are read once from the source and persisted on the workers
  (the model's columns as one float64 array, the weights, each id variable's values). The
  distinct values of every id variable are collected once (each block's, united up the
  tree), sorted on the client into the level table, and sent back; each block then codes
  its rows into dense ids in sorted value order (a table lookup for integers of modest
  span, a hash lookup otherwise) and the persisted sample keeps the int32 ids in place of
  the values.
- Singletons: per round every block counts its remaining rows per level (bincount); a
  level with one row in all loses its row for every later round. Only counts travel; the
  rows are filtered and the ids renumbered once, after the last round.
- Absorption: level counts and sums are bincounts over the ids. The pairs of effects come
  as cells (a bincount over the pair's code when its table is small, sorted codes merged
  up the tree otherwise) or, where the cells would take more memory than the rows (the
  rule DuckDB's engine follows too), as the rows' ids sorted by the effect with most
  levels: each block sorts its own rows (the kernel's counting sort), and the client
  places each block's runs where a stable sort of all rows would put them.
- Residuals: formed once from the solved coefficients (sent to the workers once) and kept
  with the rows for the covariance's pass.
"""

from __future__ import annotations

import contextlib
import math
import uuid

import numpy as np
import pandas as pd

from vantrel.backend.quarnet import counting_sort
from vantrel.core.family import POISSON
from vantrel.core.rows import finite_rows, present_rows, valid_rows
from vantrel.engines import duckdb as duckdb_engine
from vantrel.engines.terms import columns_of, evaluate

# Partial results merged by one node of the reduction tree.
_FAN_IN = 8
# Rows of one block of a partition: every pass works a block at a time, so that its
# temporaries stay a few MB (reused by the allocator and in cache) however large the
# partitions: arrays beyond the allocator's mapping threshold (32 MiB at most) are fresh pages on
# each call, and on this project's machines a fresh page costs more than the pass.
_BLOCK_ROWS = 1 << 21
# Rows whose sorted ids one gathering round brings to the client (the rows route).
_GATHER_ROWS = 1 << 24
# Rows, in expectation, whose pair codes are sampled (by their hash) to estimate a pair's cells.
_CELL_SAMPLE = 1 << 17
# A table indexed by value (or by code) is used while it has at most this many entries per row.
_SPAN_PER_ROW = 4


def require_dask():
    try:
        import dask
        import dask.dataframe as dd
    except ImportError as error:
        raise ImportError("data on Dask needs the dask package: pip install 'vantrel[dask]'") from error
    return dask, dd


def _kind(dtype) -> str:
    if pd.api.types.is_bool_dtype(dtype):
        return "bool"
    if isinstance(dtype, pd.CategoricalDtype) or dtype.kind == "c":
        return "other"
    if pd.api.types.is_float_dtype(dtype):
        return "float"
    if pd.api.types.is_integer_dtype(dtype):
        return "int"
    return "other"


class DaskEngine:
    name = "dask"

    def __init__(self, data):
        self.dask, self.dd = require_dask()
        self.data = data

    def schema(self) -> dict[str, str]:
        return {str(name): _kind(dtype) for name, dtype in self.data.dtypes.items()}

    def head(self, columns: list[str], n: int) -> pd.DataFrame:
        # Not Dask's head(), which warns (on the worker) when the first partition is
        # shorter. The partition is read whole either way: it is kept on its worker for the
        # sample, which then reads only the columns it lacks.
        first = self.data[columns].to_delayed()[0]
        self._first = (list(columns), self.dask.persist(first)[0])
        return self.dask.delayed(_head)(self._first[1], n).compute()

    # -- passes over the partitions -------------------------------------------------------------
    def _reduce(self, leaf, *args):
        """The delayed merge (`_merge`) over the partitions' blocks of `leaf(block, *args)`;
        the tree is fixed by the partitions and their blocks, so the sums come out the same
        each run."""
        delayed = self.dask.delayed
        level = [delayed(_over_blocks)(part, leaf, *args, dask_key_name=_key(leaf)) for part in self.parts]
        while len(level) > 1:
            level = [delayed(_merge, pure=False)(*level[i : i + _FAN_IN]) for i in range(0, len(level), _FAN_IN)]
        return level[0]

    def _map(self, function, *args, rows_change: bool = False):
        """Replace every block of the persisted partitions by `function(block, *args)`,
        persisted (`rows_change`: it drops rows)."""
        delayed = self.dask.delayed
        self.parts = list(
            self.dask.persist(
                *[delayed(_map_blocks)(part, function, *args, dask_key_name=_key(function)) for part in self.parts]
            )
        )
        if rows_change:
            self._part_rows = None

    def _share(self, value):
        """`value` for the tasks of later passes: scattered to every worker once when a
        distributed client runs them, else handed to the tasks as it is."""
        client = _client(self.dask)
        if client is None:
            return value
        return client.scatter([value], broadcast=True, hash=False)[0]

    # -- sample ---------------------------------------------------------------------------------
    def build_sample(self, model, effects, variables, clusters, weights, float_keys) -> dict[str, int]:
        self.n_columns = len(model)
        self.n_effects = len(effects)
        self.weighted = weights is not None
        self.intercept = [node is None for node in model]
        self.variables = list(variables)
        self.clusters = list(dict.fromkeys(clusters))
        self.effects = [list(effect) for effect in effects]
        model_columns = [name for node in model if node is not None for name in columns_of(node)]
        used = list(dict.fromkeys(variables + model_columns + ([weights] if weights else [])))
        delayed = self.dask.delayed
        sources = self.data[used].to_delayed()
        first = getattr(self, "_first", None)
        if first is not None:
            # the first partition as head() kept it, with the columns it lacks read now
            missing = [name for name in used if name not in first[0]]
            extra = self.data[missing].to_delayed()[0] if missing else None
            sources[0] = delayed(_joined, pure=False)(first[1], extra, used)
        self._first = None
        self.parts = list(
            self.dask.persist(*[delayed(_prepare, pure=False)(p, self.variables, model, weights) for p in sources])
        )
        self._part_rows = None
        counted, distinct, bad = self.dask.compute(
            self._reduce(_row_counts),
            self._reduce(_distinct),
            self._reduce(_bad_weights) if weights is not None else None,
        )
        read, kept = int(counted[0]), int(counted[1])
        if bad is not None and bad[0][0] > 0:
            raise ValueError(
                f"weights: column {weights!r} must hold positive finite values; {int(bad[0][0]):,} "
                f"row(s) do not (for example: {float(bad[1].values[0])!r})"
            )
        # every variable's levels in sorted value order, and how a partition codes its rows
        self.tables = [pd.Index(values.values).sort_values() for values in distinct]
        coders = [_coder(table, kept) for table in self.tables]
        position = {name: i for i, name in enumerate(self.variables)}
        self.G_variables = [len(table) for table in self.tables]
        # an interacted effect numbers its combinations of the variables' ids (row-major
        # codes, so sorted codes are the combinations in sorted order)
        self.effect_vars = [[position[name] for name in effect] for effect in effects]
        strides = []
        for effect, members in zip(effects, self.effect_vars, strict=True):
            sizes = [self.G_variables[v] for v in members]
            if math.prod(sizes) >= 2**62:
                raise ValueError(
                    f"fml: the fixed effect {'^'.join(effect)!r} has {' x '.join(map(str, sizes))} possible "
                    "combinations, too many to number on Dask"
                )
            strides.append([math.prod(sizes[i + 1 :]) for i in range(len(sizes))])
        cluster_vars = [position[name] for name in self.clusters]
        self._map(_code_ids, self._share(coders), self.effect_vars, strides, cluster_vars)
        self.G = [self.G_variables[members[0]] for members in self.effect_vars]
        self.codes = [None] * self.n_effects  # sorted codes of an interacted effect's combinations
        self.kept_levels = [None] * self.n_effects  # a lone variable's levels left after singletons
        interacted = [f for f, members in enumerate(self.effect_vars) if len(members) > 1]
        if interacted:
            found = self.dask.compute(*[self._reduce(_distinct_effect, f) for f in interacted])
            dense = [None] * self.n_effects
            for f, union in zip(interacted, found, strict=True):
                self.codes[f] = np.sort(np.asarray(union.values, dtype=np.int64))
                self.G[f] = len(self.codes[f])
                dense[f] = _coder(pd.Index(self.codes[f]), kept)
            self._map(_dense_effects, self._share(dense))
        self.effect_strides = strides
        self.N = kept
        return {"read": read, "kept": kept}

    def drop_singletons(self) -> int:
        dead = None
        while True:
            # one pass a round: every effect's rows per level among the rows still in
            counts = self._reduce(_level_rows, self._share(dead) if dead is not None else None, self.G).compute()
            alone = [c == 1 for c in counts]
            if not any(a.any() for a in alone):
                break
            dead = alone if dead is None else [d | a for d, a in zip(dead, alone, strict=True)]
        self._rows_per_level = counts
        if dead is None:
            return 0
        return self._drop_levels(dead, counts)

    def _drop_levels(self, dead, counts) -> int:
        """Remove the rows in a `dead` level of any effect (`counts`: each effect's rows per
        level among the rows left) and number the levels left densely in the same order;
        returns the rows removed."""
        self._rows_per_level = counts
        # the rows left, their ids renumbered densely in the same order
        present = [c > 0 for c in counts]
        renumber = [(np.cumsum(p, dtype=np.int64) - 1).astype(np.int32) for p in present]
        self._map(_without, self._share(dead), renumber, rows_change=True)
        for f, keep in enumerate(present):
            self.G[f] = int(np.count_nonzero(keep))
            self._rows_per_level[f] = counts[f][keep]
            if self.codes[f] is not None:
                self.codes[f] = self.codes[f][keep]
            else:
                self.kept_levels[f] = np.flatnonzero(keep)
        dropped = self.N - int(counts[0].sum()) if self.n_effects else 0
        self.N -= dropped
        return dropped

    def level_counts(self) -> list[int]:
        return list(self.G)

    def level_keys(self, f: int) -> pd.DataFrame:
        members = self.effect_vars[f]
        if self.codes[f] is None:
            table = self.tables[members[0]]
            kept = self.kept_levels[f]
            values = table if kept is None else table[kept]
            return pd.DataFrame({self.effects[f][0]: np.asarray(values)})
        out = {}
        rest = self.codes[f]
        for name, v, stride in zip(self.effects[f], members, self.effect_strides[f], strict=True):
            ids, rest = np.divmod(rest, stride)
            out[name] = np.asarray(self.tables[v][ids])
        return pd.DataFrame(out)

    def level_rows(self) -> list[np.ndarray]:
        if not hasattr(self, "_rows_per_level"):
            self._rows_per_level = self._reduce(_level_rows, None, self.G).compute()
        return [np.asarray(c, dtype=np.float64) for c in self._rows_per_level]

    # -- moments --------------------------------------------------------------------------------
    def moments(self, n_columns: int) -> dict:
        totals = self._reduce(_moments, self.intercept).compute()
        return {
            "N": int(totals[0]),
            "sums": totals[1 : 1 + n_columns],
            "w": float(totals[-2]),
            "wy": float(totals[-1]),
        }

    def spread(self, centres, y_mean) -> dict:
        sums, largest = self._reduce(_spread, self.intercept, np.asarray(centres, dtype=np.float64), y_mean).compute()
        n = len(centres)
        return {"ss": sums[:n], "largest": largest.values, "tss": float(sums[n])}

    def effect_aggregates(self, centres, inverse) -> dict:
        F, G = self.n_effects, self.G
        pairs_of = [(f, g) for f in range(F) for g in range(f + 1, F)]
        # the route first (it needs only the levels, or a sample of the cells), so that the
        # level sums and the pairs' cells or sorted rows are one pass
        rows = F >= 2 and self._rows_beat_cells(pairs_of)
        level_sums = self._reduce(_effect_sums, self.intercept, _f64(centres), _f64(inverse), G)
        if rows:
            sorted_rows, (counts, sums, sumsq) = self._sorted_rows(level_sums)
        elif F >= 2:
            dense = [G[f] * G[g] <= max(65536, _SPAN_PER_ROW * self._largest_part()) for f, g in pairs_of]
            (counts, sums, sumsq), found = self.dask.compute(level_sums, self._reduce(_cells, G, pairs_of, dense))
        else:
            counts, sums, sumsq = level_sums.compute()
        out = {
            "counts": [np.asarray(c, dtype=np.float64) for c in counts],
            "sums": [np.ascontiguousarray(s) for s in sums],
            "sumsq": sumsq,
        }
        if rows:
            out["rows"] = sorted_rows
            return out
        if F < 2:
            out["pairs"] = []
            return out
        pairs = []
        for (f, g), table in zip(pairs_of, found, strict=True):
            if isinstance(table, _Sparse):
                codes, weight = table.codes, table.sums
            else:
                codes = np.flatnonzero(table)
                weight = table[codes]
            a, b = np.divmod(codes.astype(np.int64, copy=False), G[g])
            pairs.append((f, g, a, b, np.ascontiguousarray(weight, dtype=np.float64)))
        out["pairs"] = pairs
        return out

    def _rows_beat_cells(self, pairs_of) -> bool:
        """DuckDB's engine's rule, from bounds on the pairs' cells where they settle it (a
        pair has at least as many cells as either effect has levels, at most the rows or
        the product of the levels), else from an estimate: the distinct pair codes among
        those whose hash falls below a threshold, a sample of the cells at a known rate."""
        G, N, rule = self.G, self.N, duckdb_engine._rows_beat_cells
        if rule((N, sum(max(G[f], G[g]) for f, g in pairs_of)), G, self.weighted):
            return True
        if not rule((N, sum(min(N, G[f] * G[g]) for f, g in pairs_of)), G, self.weighted):
            return False
        threshold = None if N <= _CELL_SAMPLE else int(2**64 * (_CELL_SAMPLE / N))
        samples = self._reduce(_cell_sample, G, pairs_of, threshold).compute()
        rate = 1.0 if threshold is None else threshold / 2**64
        return rule((N, int(round(sum(len(s.values) for s in samples) / rate))), G, self.weighted)

    def _sizes(self) -> list[int]:
        """The rows of each persisted partition."""
        if self._part_rows is None:
            self._part_rows = [
                int(sum(rows))
                for rows in self.dask.compute(*[self.dask.delayed(_map_blocks)(part, _rows_of) for part in self.parts])
            ]
        return self._part_rows

    def _largest_part(self) -> int:
        return max(self._sizes(), default=0)

    def _sorted_rows(self, alongside):
        """The rows as `COEF_PCG_rows` takes them: sorted by the levels of the effect with
        most levels, in the stable order (block by block, each block's rows in their
        order). Each block sorts its rows by counting; the client writes each block's run
        of a level after the runs of the blocks before it. The partitions come a batch of
        about _GATHER_ROWS rows at a time; `alongside` (a delayed result) is computed with
        the first batch. Returns (the rows, the value of `alongside`)."""
        G, F = self.G, self.n_effects
        segment = int(np.argmax(G))
        others = [f for f in range(F) if f != segment]
        dtype = np.uint16 if all(G[f] <= 65535 for f in others) else np.uint32
        segment_rows = np.asarray(self.level_rows()[segment], dtype=np.int64)
        N = int(segment_rows.sum())
        filled = np.concatenate([[0], np.cumsum(segment_rows)[:-1]])  # where each level's next row goes
        levels = [None if f == segment else np.empty(N, dtype=dtype) for f in range(F)]
        w = np.empty(N) if self.weighted else None
        batches, rows = [[]], 0
        for part, size in zip(self.parts, self._sizes(), strict=True):
            if rows >= _GATHER_ROWS:
                batches.append([])
                rows = 0
            batches[-1].append(part)
            rows += size
        computed = None
        for i, batch in enumerate(batches):
            runs = [
                self.dask.delayed(_map_blocks)(
                    part,
                    _sorted_part,
                    segment,
                    others,
                    np.dtype(dtype).str,
                    G[segment],
                    dask_key_name=_key(_sorted_part),
                )
                for part in batch
            ]
            if i == 0:
                computed, *found = self.dask.compute(alongside, *runs)
            else:
                found = self.dask.compute(*runs)
            for counts, ids, weights in (run for blocks in found for run in blocks):
                m = int(counts.sum())
                if m == 0:
                    continue
                # row i of the block's sorted run goes to filled[level] + (i - run start)
                run_start = np.concatenate([[0], np.cumsum(counts)[:-1]])
                target = np.repeat(filled - run_start, counts)
                target += np.arange(m)
                for f, values in zip(others, ids, strict=True):
                    levels[f][target] = values
                if w is not None:
                    w[target] = weights
                filled += counts
        return {"segment": segment, "segment_rows": segment_rows, "levels": levels, "w": w}, computed

    # -- residuals ------------------------------------------------------------------------------
    def residualise(self, alphas, centres, inverse) -> np.ndarray:
        # the residualised columns are kept with the rows: the covariance's pass reads them
        alphas = self._share([np.ascontiguousarray(np.asarray(a).T) for a in alphas])  # a column contiguous
        self._map(_with_residuals, self.intercept, alphas, _f64(centres), _f64(inverse))
        gram = self._reduce(_gram).compute()
        upper = np.triu(gram)
        return upper + np.triu(upper, 1).T

    def nested(self, f: int, cluster: str) -> bool:
        if cluster in self.effects[f]:
            return True  # the cluster variable is part of the level
        if [cluster] in self.effects and self.G[f] < self.G[self.effects.index([cluster])]:
            return False  # nested, every cluster would hold a level of its own
        found = self._reduce(_cluster_of_levels, f, self.clusters.index(cluster), self.G[f]).compute()
        return not found.split.any()

    def residual_statistics(self, combination, scale, keep, hetero, subsets) -> dict:
        kept = np.flatnonzero(keep) + 1
        K = len(kept)
        plans = []
        for subset in subsets:
            members = [self.clusters.index(name) for name in subset]
            sizes = [self.G_variables[self.variables.index(name)] for name in subset]
            if math.prod(sizes) >= 2**62:
                raise ValueError(
                    f"vcov: the clusters {'^'.join(subset)!r} have {' x '.join(map(str, sizes))} possible "
                    "combinations, too many to number on Dask"
                )
            strides = [math.prod(sizes[i + 1 :]) for i in range(len(sizes))]
            size = math.prod(sizes)
            plans.append((members, strides, size if size <= max(65536, 2 * self._largest_part()) else None))
        found = self._reduce(_residual_sums, _f64(combination), kept, _f64(scale)[kept], hetero, plans).compute()
        out = {"rss": float(found[0][0])}
        if hetero:
            out["meat"] = _symmetric(found[1])
        meats, counts = [], []
        for scores in found[2:]:
            if isinstance(scores, _Sparse):
                S, G = scores.sums.reshape(-1, K), len(scores.codes)
            else:
                rows, S = scores[0], scores[1]
                present = rows > 0
                S, G = S[present], int(np.count_nonzero(present))
            meats.append(_symmetric(S.T @ S))
            counts.append(G)
        out["cluster_meats"], out["cluster_counts"] = meats, counts
        return out

    # -- reweighted least squares ----------------------------------------------------------------
    # The Poisson estimate's passes (`vantrel.models.poisson_rows`): every block keeps the
    # outcome y, the prior weight pw, the offset off and the current linear predictor eta,
    # and every iteration maps the persisted blocks to the working variable as the model's
    # first column and the working weight times pw as w, which the aggregated stages then
    # absorb as any weighted least squares.

    def outcome_counts(self) -> dict:
        """The outcome's count of negative values, the smallest value and the count of
        positive values."""
        counts, smallest = self._reduce(_outcome_counts).compute()
        return {"negative": int(counts[0]), "smallest": float(smallest.values[0]), "positive": int(counts[1])}

    def separate_fe(self) -> int:
        """Remove the rows of every level (of any effect) whose outcome is zero in all its
        rows, the levels numbered densely again; returns the count."""
        if not self.n_effects:
            return 0
        rows, positive = self._reduce(_positive_rows, self.G).compute()
        dead = [(r > 0) & (p == 0) for r, p in zip(rows, positive, strict=True)]
        if not any(d.any() for d in dead):
            return 0
        counts = self._reduce(_level_rows, self._share(dead), self.G).compute()
        return self._drop_levels(dead, counts)

    def _column(self, j: int) -> int:
        """The position among the blocks' columns of model column j (the intercept has none)."""
        return sum(not constant for constant in self.intercept[:j])

    def glm_start(self, offset: int | None) -> float:
        """The blocks with the starting mean (y + mean) / 2 and the working columns at it
        (`offset`: the model column holding the offset, moved out of the model's columns;
        None: none); returns the deviance at the start."""
        totals = self._reduce(_moments, self.intercept).compute()
        mean = float(totals[-1]) / float(totals[-2])
        k_off = None if offset is None else self._column(offset)
        if offset is not None:
            self.intercept = self.intercept[:offset]
        self._map(_glm_start, k_off, mean)
        self.weighted = True  # from here on w is the working weight times the prior weight
        return float(self._reduce(_glm_deviance, "eta").compute()[0])

    def glm_propose(self, values: list[np.ndarray], constant: float, slopes: dict[int, float]) -> float:
        """The linear predictor of the coefficients (`values`: each effect's by level id,
        `slopes`: model column -> coefficient, `constant`) and the offset beside the
        current one; returns its deviance."""
        columns = [(self._column(j), float(b)) for j, b in slopes.items()]
        self._map(_glm_propose, self._share([_f64(v) for v in values]), float(constant), columns)
        return float(self._reduce(_glm_deviance, "eta_new").compute()[0])

    def glm_halve(self) -> float:
        """Halve the step: the proposed linear predictor halfway back; returns its deviance."""
        self._map(_glm_halve)
        return float(self._reduce(_glm_deviance, "eta_new").compute()[0])

    def glm_accept(self) -> None:
        """The proposed linear predictor becomes the current one, with its working columns."""
        self._map(_glm_accept)

    def glm_fit_sums(self) -> dict:
        """The log-likelihood at the current mean and at the constant mean, the deviance at
        the constant mean, and that mean (all under the prior weights)."""
        totals = self._reduce(_prior_totals).compute()
        mean = float(totals[1]) / float(totals[0])
        loglik, loglik_null, null_deviance = self._reduce(_glm_fit_sums, mean).compute()
        return {"loglik": loglik, "loglik_null": loglik_null, "null_deviance": null_deviance, "mean": mean}

    def set_aside(self):
        """Nothing to hand over: the workers' memory is not this process's."""
        return contextlib.nullcontext()

    def close(self) -> None:
        for name in ("parts", "_first"):
            if hasattr(self, name):
                delattr(self, name)  # the persisted partitions are released on the workers


def _key(function) -> str:
    """A task's name: the function it runs on the blocks, as the dashboard shows it."""
    return f"{function.__name__.lstrip('_')}-{uuid.uuid4().hex}"


def _client(dask):
    """The distributed client that runs this process's Dask computations, or None."""
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        client = default_client()
    except ValueError:
        return None
    return client if getattr(dask.base.get_scheduler(), "__self__", None) is client else None


def _f64(values) -> np.ndarray:
    return np.ascontiguousarray(values, dtype=np.float64)


def _symmetric(upper_or_full: np.ndarray) -> np.ndarray:
    upper = np.triu(upper_or_full)
    return upper + np.triu(upper, 1).T


# -- partial results and their merge ----------------------------------------------------------
class _Max:
    """Merged by the elementwise maximum."""

    def __init__(self, values):
        self.values = values


class _Min:
    """Merged by the elementwise minimum."""

    def __init__(self, values):
        self.values = values


class _Union:
    """Distinct values, merged by their union (first occurrences in order)."""

    def __init__(self, values):
        self.values = values


class _Nesting:
    """Per level a cluster of its rows (-1: no row) and whether its rows are in several;
    merged level by level."""

    def __init__(self, cluster, split):
        self.cluster, self.split = cluster, split


class _Sparse:
    """Sums per integer code (sorted codes; sums one row per code), merged code by code."""

    def __init__(self, codes, sums):
        self.codes, self.sums = codes, sums


def _merge(*values):
    first = values[0]
    if first is None:
        return None
    if isinstance(first, (list, tuple)):
        return [_merge(*items) for items in zip(*values, strict=True)]
    if isinstance(first, _Max):
        return _Max(np.maximum.reduce([v.values for v in values]))
    if isinstance(first, _Min):
        return _Min(np.minimum.reduce([v.values for v in values]))
    if isinstance(first, _Union):
        return _Union(pd.concat([pd.Series(v.values, copy=False) for v in values], ignore_index=True).unique())
    if isinstance(first, _Nesting):
        cluster, split = first.cluster.copy(), first.split.copy()
        for value in values[1:]:
            both = (cluster >= 0) & (value.cluster >= 0)
            split |= value.split | (both & (cluster != value.cluster))
            cluster = np.where(cluster >= 0, cluster, value.cluster)
        return _Nesting(cluster, split)
    if isinstance(first, _Sparse):
        return _sparse_sums(np.concatenate([v.codes for v in values]), np.concatenate([v.sums for v in values]))
    total = np.array(first, copy=True)
    for value in values[1:]:
        total += value
    return total


def _sparse_sums(codes: np.ndarray, sums: np.ndarray) -> _Sparse:
    """The sums of equal codes added (in row order), one row per distinct code, sorted."""
    unique, inverse = np.unique(codes, return_inverse=True)
    if sums.ndim == 1:
        return _Sparse(unique, np.bincount(inverse, weights=sums, minlength=len(unique)))
    out = np.empty((len(unique), sums.shape[1]))
    for j in range(sums.shape[1]):
        out[:, j] = np.bincount(inverse, weights=sums[:, j], minlength=len(unique))
    return _Sparse(unique, out)


# -- the functions of one partition (run on the workers) --------------------------------------
def _over_blocks(blocks, leaf, *args):
    return _merge(*[leaf(block, *args) for block in blocks])


def _map_blocks(blocks, function, *args) -> list:
    return [function(block, *args) for block in blocks]


def _head(p: pd.DataFrame, n: int) -> pd.DataFrame:
    return p.head(n)


def _joined(first: pd.DataFrame, extra: pd.DataFrame | None, used) -> pd.DataFrame:
    """The first partition's columns `used`, from head()'s read and the columns read after
    it (the same rows in the same order)."""
    if extra is None:
        return first[used]
    if len(extra) != len(first):
        raise RuntimeError(f"the first partition read again has {len(extra):,} rows, not {len(first):,}")
    out = first.copy(deep=False)
    for name in extra.columns:
        out[name] = extra[name].to_numpy() if isinstance(extra[name].dtype, np.dtype) else extra[name].array
    return out[used]


def _prepare(p: pd.DataFrame, variables, model, weights) -> list:
    """The partition's rows with every used value present (and finite, for the model's
    columns), in blocks of at most _BLOCK_ROWS rows: the id variables' values, the model's
    columns as one column-major array, the weights."""
    pieces = [p.iloc[start : start + _BLOCK_ROWS] for start in range(0, len(p), _BLOCK_ROWS)]
    return [_prepare_block(piece, variables, model, weights) for piece in pieces or [p]]


def _prepare_block(p: pd.DataFrame, variables, model, weights) -> dict:
    # the model's columns as they come (a plain column is a view of the partition's memory,
    # not a copy) unless rows go
    columns = [evaluate(node, p) for node in model if node is not None]
    w = None if weights is None else _float_values(p[weights])
    masks = [present_rows(p[name]) for name in variables] + [finite_rows(columns)]
    if w is not None:
        masks.append(~np.isnan(w))
    valid = valid_rows(masks, len(p))
    rows = None if valid is None else np.flatnonzero(valid)
    return {
        "read": len(p),
        "n": len(p) if rows is None else len(rows),
        "keys": [_key_values(p[name], rows) for name in variables],
        "v": [values if rows is None else values[rows] for values in columns],
        "w": None if w is None else (w if rows is None else w[rows]),
    }


def _float_values(column: pd.Series) -> np.ndarray:
    if isinstance(column.dtype, np.dtype):
        return column.to_numpy(dtype=np.float64)
    return column.to_numpy(dtype=np.float64, na_value=np.nan)


def _key_values(column: pd.Series, rows):
    """An id variable's values over the kept rows: a NumPy array for NumPy types and for
    nullable numbers (no missing value is left), the pandas array otherwise (text,
    categories)."""
    if rows is not None:
        column = column.iloc[rows]
    if isinstance(column.dtype, np.dtype):
        return column.to_numpy()
    numpy_dtype = getattr(column.dtype, "numpy_dtype", None)
    if numpy_dtype is not None and numpy_dtype.kind in "iufb":
        return column.to_numpy(dtype=numpy_dtype)
    if isinstance(column.dtype, pd.CategoricalDtype):
        return np.asarray(column)  # the categories' values: levels in value order
    return column.array


def _rows_of(part) -> int:
    return part["n"]


def _row_counts(part) -> np.ndarray:
    return np.array([part["read"], part["n"]], dtype=np.int64)


def _distinct(part) -> list:
    return [_Union(_distinct_values(values)) for values in part["keys"]]


def _distinct_values(values):
    """The distinct values of one partition's column: integers of modest span by marking
    them in a table (linear, no hashing), the rest by pandas' hash table."""
    if isinstance(values, np.ndarray) and values.dtype.kind in "iu" and len(values):
        low, high = values.min(), values.max()
        if int(high) - int(low) < _SPAN_PER_ROW * len(values) + 65536:
            present = np.zeros(int(high) - int(low) + 1, dtype=bool)
            present[_offsets(values, low)] = True
            return np.flatnonzero(present).astype(values.dtype) + low
    return pd.unique(values)


def _bad_weights(part) -> list:
    w = part["w"]
    bad = ~(np.isfinite(w) & (w > 0))
    return [np.array([np.count_nonzero(bad)]), _Min(np.array([w[bad].min() if bad.any() else np.inf]))]


def _coder(table: pd.Index, rows: int):
    """How a partition finds its values' positions in the sorted level table: a lookup
    table over [smallest, largest] for integers spanning at most a few entries per row,
    the table itself (a hash lookup) otherwise."""
    values = table.to_numpy() if isinstance(table.dtype, np.dtype) else None
    if values is not None and values.dtype.kind in "iu" and len(values):
        low, high = int(values[0]), int(values[-1])
        if high - low < _SPAN_PER_ROW * max(rows, 1) + 65536:
            lookup = np.full(high - low + 1, -1, dtype=np.int32)
            lookup[_offsets(values, values[0])] = np.arange(len(values), dtype=np.int32)
            return ("lookup", values[0], lookup)
    return ("index", table)


def _offsets(values: np.ndarray, low) -> np.ndarray:
    """values - low as int64 indexes (unsigned values subtracted in their own type, so
    that those above 2**63 do not wrap)."""
    if values.dtype.kind == "u":
        return (values - low).astype(np.int64, copy=False)
    return values.astype(np.int64, copy=False) - np.int64(low)


def _positions(coder, values) -> np.ndarray:
    if coder[0] == "lookup":
        _, low, lookup = coder
        return lookup[_offsets(values, low)]
    return coder[1].get_indexer(values).astype(np.int32, copy=False)


def _code_ids(part, coders, effect_vars, strides, cluster_vars) -> dict:
    """The sample with level ids in place of the values: int32 ids per effect (int64
    row-major codes of the variables' ids for an interacted effect, numbered densely
    next) and per cluster variable."""
    ids = [_positions(coder, values) for coder, values in zip(coders, part["keys"], strict=True)]
    effects = []
    for members, stride in zip(effect_vars, strides, strict=True):
        if len(members) == 1:
            effects.append(ids[members[0]])
            continue
        code = np.zeros(part["n"], dtype=np.int64)
        for v, s in zip(members, stride, strict=True):
            code += ids[v].astype(np.int64) * s
        effects.append(code)
    return {"e": effects, "c": [ids[v] for v in cluster_vars], "n": part["n"], "v": part["v"], "w": part["w"]}


def _distinct_effect(part, f) -> _Union:
    return _Union(pd.unique(part["e"][f]))


def _dense_effects(part, coders) -> dict:
    effects = [e if coder is None else _positions(coder, e) for coder, e in zip(coders, part["e"], strict=True)]
    return {**part, "e": effects}


def _alive(part, dead):
    """Mask of the rows in no level that lost its last row (None: all of them)."""
    if dead is None:
        return None
    alive = np.ones(part["n"], dtype=bool)
    for d, e in zip(dead, part["e"], strict=True):
        alive &= ~d[e]
    return alive


def _level_rows(part, dead, G) -> list:
    alive = _alive(part, dead)
    return [np.bincount(e if alive is None else e[alive], minlength=g) for e, g in zip(part["e"], G, strict=True)]


def _without(part, dead, renumber) -> dict:
    alive = _alive(part, dead)
    return {
        "e": [new[e[alive]] for new, e in zip(renumber, part["e"], strict=True)],
        "c": [c[alive] for c in part["c"]],
        "n": int(np.count_nonzero(alive)),
        "v": [values[alive] for values in part["v"]],
        "w": None if part["w"] is None else part["w"][alive],
    }


def _weights_of(part) -> np.ndarray:
    return np.ones(part["n"]) if part["w"] is None else part["w"]


def _columns(part, intercept) -> list:
    """The model's columns, None for the intercept's ones."""
    out, k = [], 0
    for constant in intercept:
        if constant:
            out.append(None)
        else:
            out.append(part["v"][k])
            k += 1
    return out


def _standardised(column, n: int, centre: float, inverse: float) -> np.ndarray:
    """(column - centre) * inverse, the two roundings of the in-memory path's stack (a
    constant for the intercept's ones)."""
    if column is None:
        return np.full(n, (1.0 - centre) * inverse)
    out = column - centre
    out *= inverse
    return out


def _residuals(part, intercept, alphas, centres, inverse) -> list:
    """The residualised columns z_j - sum_f alpha_f[level, j], one contiguous array each
    (`alphas`: per effect its coefficients column by column)."""
    n = part["n"]
    looked_up = np.empty(n)
    out = []
    for j, column in enumerate(_columns(part, intercept)):
        r = _standardised(column, n, centres[j], inverse[j])
        for alpha, e in zip(alphas, part["e"], strict=True):
            np.take(alpha[j], e, out=looked_up, mode="clip")  # ids in range: no buffered copy
            r -= looked_up
        out.append(r)
    return out


def _moments(part, intercept) -> np.ndarray:
    n = part["n"]
    w = _weights_of(part)
    sums = [float(n) if column is None else np.sum(column) for column in _columns(part, intercept)]
    return np.array([n, *sums, np.sum(w), np.dot(w, part["v"][0])], dtype=np.float64)


def _spread(part, intercept, centres, y_mean) -> list:
    squares, largest = [], []
    n = part["n"]
    for j, column in enumerate(_columns(part, intercept)):
        d = np.full(n, 1.0 - centres[j]) if column is None else column - centres[j]
        squares.append(np.dot(d, d))
        largest.append(max(np.max(d, initial=0.0), -np.min(d, initial=0.0)))
    y = part["v"][0] - y_mean
    squares.append(np.dot(y if part["w"] is None else part["w"] * y, y))
    return [np.array(squares), _Max(np.array(largest))]


def _effect_sums(part, intercept, centres, inverse, G) -> list:
    w = part["w"]
    counts = [
        np.bincount(e, weights=w, minlength=g).astype(np.float64, copy=False) for e, g in zip(part["e"], G, strict=True)
    ]
    sums = [np.empty((g, len(intercept))) for g in G]
    sumsq = np.empty(len(intercept))
    n = part["n"]
    for j, column in enumerate(_columns(part, intercept)):
        z = _standardised(column, n, centres[j], inverse[j])
        wz = z if w is None else w * z
        sumsq[j] = np.dot(wz, z)
        for level_sums, e, g in zip(sums, part["e"], G, strict=True):
            level_sums[:, j] = np.bincount(e, weights=wz, minlength=g)
    return [counts, sums, sumsq]


def _cell_sample(part, G, pairs_of, threshold) -> list:
    """Per pair of effects its distinct codes (level of one times the other's levels plus
    level of the other) whose hash is below `threshold` (all of them for None)."""
    samples = []
    for f, g in pairs_of:
        code = part["e"][f].astype(np.int64) * G[g] + part["e"][g]
        if threshold is not None:
            code = code[_hashed(code) < np.uint64(threshold)]
        samples.append(_Union(np.unique(code)))
    return samples


def _hashed(code: np.ndarray) -> np.ndarray:
    """A multiplicative (Fibonacci) hash of each code: the codes whose hash falls below a
    threshold are a sample of the distinct codes, at the threshold's rate, that does not
    depend on the rows' order; the golden ratio's multiples spread any arithmetic run of
    codes (a level's cells) evenly over the range."""
    with np.errstate(over="ignore"):
        return code.view(np.uint64) * np.uint64(0x9E3779B97F4A7C15)


def _cells(part, G, pairs_of, dense) -> list:
    w = part["w"]
    out = []
    for (f, g), small in zip(pairs_of, dense, strict=True):
        code = part["e"][f].astype(np.int64) * G[g] + part["e"][g]
        if small:
            out.append(np.bincount(code, weights=w, minlength=G[f] * G[g]).astype(np.float64, copy=False))
        else:
            out.append(_sparse_sums(code, _weights_of(part)))
    return out


def _sorted_part(part, segment, others, dtype, G_segment):
    """The partition's rows sorted stably by the segment effect's level: the rows per
    level, the other effects' levels and the weights in that order."""
    e = part["e"][segment].astype(np.int64)
    order = counting_sort(e, G_segment)
    counts = np.bincount(e, minlength=G_segment)
    ids = [part["e"][f][order].astype(dtype) for f in others]
    return counts, ids, None if part["w"] is None else part["w"][order]


def _with_residuals(part, intercept, alphas, centres, inverse) -> dict:
    return {**part, "r": _residuals(part, intercept, alphas, centres, inverse)}


def _gram(part) -> np.ndarray:
    r, w = part["r"], part["w"]
    out = np.empty((len(r), len(r)))
    for i in range(len(r)):
        wr = r[i] if w is None else w * r[i]
        for j in range(i, len(r)):
            out[i, j] = out[j, i] = np.dot(wr, r[j])
    return out


def _cluster_of_levels(part, f, k, G) -> _Nesting:
    """Per level of effect f one cluster (of variable k) of its rows, and whether its rows
    fall in more than one."""
    e, c = part["e"][f], part["c"][k]
    cluster = np.full(G, -1, dtype=np.int64)
    cluster[e] = c  # any row's cluster will do: the rows are then compared with it
    split = np.zeros(G, dtype=bool)
    split[e[c != cluster[e]]] = True
    return _Nesting(cluster, split)


def _residual_sums(part, combination, kept, scale, hetero, plans) -> list:
    """The weighted residual sum of squares, the HC meat, and per subset of the cluster
    variables the per-cluster score sums (dense by cluster code, or sparse)."""
    r = part["r"]
    e = np.zeros(part["n"])
    term = np.empty_like(e)
    for j, c in enumerate(combination):
        if c != 0.0:
            np.multiply(r[j], c, out=term)
            e += term
    u = e if part["w"] is None else part["w"] * e  # the scores' weight and residual
    out = [np.array([np.dot(u, e)])]
    # column by column, contiguous: x~_k w e
    scores = np.empty((len(e), len(kept)), order="F")
    for a, (k, size) in enumerate(zip(kept, scale, strict=True)):
        np.multiply(r[k], size, out=scores[:, a])
        scores[:, a] *= u
    if hetero:
        out.append(scores.T @ scores)
    else:
        out.append(np.zeros(0))
    for members, strides, size in plans:
        code = part["c"][members[0]]
        if len(members) > 1:
            code = np.zeros(len(e), dtype=np.int64)
            for k, s in zip(members, strides, strict=True):
                code += part["c"][k].astype(np.int64) * s
        if size is None:
            out.append(_sparse_sums(code, scores))
            continue
        S = np.empty((size, scores.shape[1]))
        for a in range(scores.shape[1]):
            S[:, a] = np.bincount(code, weights=scores[:, a], minlength=size)
        out.append([np.bincount(code, minlength=size), S])
    return out


# -- the reweighted least squares' blocks -------------------------------------------------------
def _outcome_counts(part) -> list:
    y = part["v"][0]
    smallest = np.min(y, initial=np.inf)
    return [np.array([np.count_nonzero(y < 0), np.count_nonzero(y > 0)], dtype=np.float64), _Min(np.array([smallest]))]


def _positive_rows(part, G) -> list:
    positive = (part["v"][0] > 0).astype(np.float64)
    rows = [np.bincount(e, minlength=g).astype(np.float64) for e, g in zip(part["e"], G, strict=True)]
    return [rows, [np.bincount(e, weights=positive, minlength=g) for e, g in zip(part["e"], G, strict=True)]]


def _glm_working(part) -> dict:
    mu = POISSON.linkinv(part["eta"])
    W, z = POISSON.working(part["y"], part["eta"] - part["off"], mu, part["pw"])
    return {**part, "v": [z, *part["v"][1:]], "w": W}


def _glm_start(part, k_off, mean) -> dict:
    columns = list(part["v"])
    off = np.zeros(part["n"]) if k_off is None else columns.pop(k_off)
    y = columns[0]
    eta = POISSON.link((y + mean) / 2.0)
    return _glm_working({**part, "v": columns, "y": y, "pw": _weights_of(part), "off": off, "eta": eta})


def _glm_deviance(part, key) -> np.ndarray:
    return np.array([POISSON.deviance(part["y"], POISSON.linkinv(part[key]), part["pw"])])


def _glm_propose(part, values, constant, columns) -> dict:
    eta = constant + part["off"]
    for k, b in columns:
        eta = eta + b * part["v"][k]
    for value, e in zip(values, part["e"], strict=True):
        eta = eta + value[e]
    return {**part, "eta_new": eta}


def _glm_halve(part) -> dict:
    return {**part, "eta_new": (part["eta_new"] + part["eta"]) / 2.0}


def _glm_accept(part) -> dict:
    out = {key: value for key, value in part.items() if key not in ("eta_new", "r")}
    return _glm_working({**out, "eta": part["eta_new"]})


def _prior_totals(part) -> np.ndarray:
    return np.array([np.sum(part["pw"]), np.dot(part["pw"], part["y"])])


def _glm_fit_sums(part, mean) -> list:
    y, pw = part["y"], part["pw"]
    mu, null = POISSON.linkinv(part["eta"]), np.full(len(y), mean)
    return [
        np.array(POISSON.loglik(y, mu, pw)),
        np.array(POISSON.loglik(y, null, pw)),
        np.array(POISSON.deviance(y, null, pw)),
    ]
