"""The row passes of `vantrel.scale.aggregate` on a Dask DataFrame.

The same aggregations as on DuckDB, through Dask: level counts, level sums and the cells
of pairs of effects are groupby sums; everything else (the model's columns, the
residualised columns with the solved coefficients looked up by level id, the sums of
products) is NumPy on each partition, with the partitions' partial sums added up. The
sample is persisted on the workers after each change, so every later pass reads it from
there instead of recomputing it from the source. Only aggregates, level tables and the
coefficients travel between the client and the workers.
"""

from __future__ import annotations

import contextlib

import numpy as np
import pandas as pd

from vantrel.scale.terms import columns_of, evaluate


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


def _present(column: pd.Series) -> np.ndarray:
    return column.notna().to_numpy()


class DaskEngine:
    name = "dask"

    def __init__(self, data):
        self.dask, self.dd = require_dask()
        self.data = data

    def schema(self) -> dict[str, str]:
        return {str(name): _kind(dtype) for name, dtype in self.data.dtypes.items()}

    def head(self, columns: list[str], n: int) -> pd.DataFrame:
        # not Dask's head(), which warns (on the worker) when the first partition is shorter
        first = self.data[columns].partitions[0]
        return first.map_partitions(lambda p: p.head(n), meta=first._meta).compute()

    # -- partial sums over partitions ---------------------------------------------------------
    def _sums(self, frame, function, n: int, how: str = "sum") -> np.ndarray:
        """`function(partition)` (a vector of n numbers) added (or maximised) over partitions."""
        names = [f"s{i}" for i in range(n)]

        def part(p):
            return pd.DataFrame([np.asarray(function(p), dtype=np.float64)], columns=names)

        meta = pd.DataFrame({name: pd.Series(dtype=np.float64) for name in names})
        parts = frame.map_partitions(part, meta=meta)
        reduced = parts.sum() if how == "sum" else parts.max()
        return reduced.compute().to_numpy(dtype=np.float64)

    # -- sample ---------------------------------------------------------------------------------
    def build_sample(self, model, effects, variables, clusters, weights, float_keys) -> dict[str, int]:
        self.n_columns = len(model)
        self.n_effects = len(effects)
        self.key = {name: f"k{i}" for i, name in enumerate(variables)}
        self.cluster_keys = list(dict.fromkeys(self.key[name] for name in clusters))
        self.weighted = weights is not None
        self.intercept = [node is None for node in model]
        model_columns = [name for node in model if node is not None for name in columns_of(node)]
        used = list(dict.fromkeys(variables + model_columns + ([weights] if weights else [])))
        key = self.key

        def prepare(p: pd.DataFrame) -> pd.DataFrame:
            out = {}
            ok = np.ones(len(p), dtype=bool)
            for name in variables:
                ok &= _present(p[name])
                out[key[name]] = p[name].to_numpy()
            for j, node in enumerate(model):
                if node is not None:
                    out[f"v{j}"] = evaluate(node, p)
                    ok &= np.isfinite(out[f"v{j}"])
            if weights is not None:
                w = evaluate_column(p[weights])
                ok &= ~np.isnan(w)
                out["w"] = w
            frame = pd.DataFrame(out, index=p.index)
            return frame[ok]

        meta = prepare(self.data[used]._meta)
        raw = self.data[used].map_partitions(prepare, meta=meta)
        read = int(self.data.map_partitions(len).sum().compute())
        raw = raw.persist()
        if weights is not None:
            bad = self._sums(raw, lambda p: [_bad_weights(p["w"].to_numpy())[0]], 1)[0]
            example = -self._sums(raw, lambda p: [-_bad_weights(p["w"].to_numpy())[1]], 1, how="max")[0]
            if bad:
                raise ValueError(
                    f"weights: column {weights!r} must hold positive finite values; {int(bad):,} "
                    f"row(s) do not (for example: {example!r})"
                )
        self.effect_keys = [[key[name] for name in effect] for effect in effects]
        self.levels = []
        for keys in self.effect_keys:
            table = raw[keys].drop_duplicates(split_out=1).compute().sort_values(keys).reset_index(drop=True)
            self.levels.append(table)
        levels = self.dask.delayed(self.levels, pure=True)
        effect_keys = self.effect_keys
        keep_keys = self.cluster_keys

        def with_ids(p: pd.DataFrame, tables) -> pd.DataFrame:
            out = {}
            for f, keys in enumerate(effect_keys):
                out[f"e{f}"] = _lookup(tables[f], keys, p).astype(np.int64)
            for k in keep_keys:
                out[k] = p[k].to_numpy()
            for column in p.columns:
                if column.startswith("v") or column == "w":
                    out[column] = p[column].to_numpy()
            return pd.DataFrame(out, index=p.index)

        meta = with_ids(raw._meta, [table.iloc[:0] for table in self.levels])
        self.rows = raw.map_partitions(with_ids, levels, meta=meta).persist()
        del raw
        return {"read": read, "kept": self._count()}

    def _count(self) -> int:
        return int(self.rows.map_partitions(len).sum().compute())

    def drop_singletons(self) -> int:
        before = self._count()
        n_effects = self.n_effects
        while True:
            # one round trip per round: every effect's group sizes in one computation
            alone = [
                np.sort(sizes.index.to_numpy()[sizes.to_numpy() == 1])
                for sizes in self.dask.compute(
                    *[self.rows.groupby(f"e{f}").size(split_out=1) for f in range(n_effects)]
                )
            ]
            if not any(len(a) for a in alone):
                break

            def without(p: pd.DataFrame, alone) -> pd.DataFrame:
                drop = np.zeros(len(p), dtype=bool)
                for f, ids in enumerate(alone):
                    drop |= np.isin(p[f"e{f}"].to_numpy(), ids)
                return p[~drop]

            self.rows = self.rows.map_partitions(
                without, self.dask.delayed(alone, pure=True), meta=self.rows._meta
            ).persist()
        dropped = before - self._count()
        if dropped:
            # renumber the ids that are left densely, in the same order
            mapping = []
            for f in range(n_effects):
                present = np.sort(self.rows.groupby(f"e{f}").size(split_out=1).compute().index.to_numpy())
                new = np.full(len(self.levels[f]), -1, dtype=np.int64)
                new[present] = np.arange(len(present))
                mapping.append(new)
                self.levels[f] = self.levels[f].iloc[present].reset_index(drop=True)

            def renumber(p: pd.DataFrame, mapping) -> pd.DataFrame:
                p = p.copy()
                for f, new in enumerate(mapping):
                    p[f"e{f}"] = new[p[f"e{f}"].to_numpy()]
                return p

            self.rows = self.rows.map_partitions(
                renumber, self.dask.delayed(mapping, pure=True), meta=self.rows._meta
            ).persist()
        return dropped

    def level_counts(self) -> list[int]:
        return [len(table) for table in self.levels]

    def level_keys(self, f: int) -> pd.DataFrame:
        return self.levels[f]

    def level_rows(self) -> list[np.ndarray]:
        out = []
        for f, G in enumerate(self.level_counts()):
            sizes = self.rows.groupby(f"e{f}").size(split_out=1).compute()
            rows = np.zeros(G)
            rows[sizes.index.to_numpy()] = sizes.to_numpy()
            out.append(rows)
        return out

    # -- moments --------------------------------------------------------------------------------
    def moments(self, n_columns: int) -> dict:
        # plain values only in what runs on the workers (not the engine, which holds collections)
        intercept, weighted = self.intercept, self.weighted

        def part(p):
            w = _weights(p, weighted)
            return (
                [len(p)]
                + [np.sum(_column(p, j, intercept)) for j in range(n_columns)]
                + [np.sum(w), np.dot(w, p["v0"].to_numpy())]
            )

        totals = self._sums(self.rows, part, n_columns + 3)
        return {"N": int(totals[0]), "sums": totals[1 : 1 + n_columns], "w": float(totals[-2]), "wy": float(totals[-1])}

    def spread(self, centres, y_mean) -> dict:
        # plain values only in what runs on the workers (not the engine, which holds collections)
        intercept, weighted = self.intercept, self.weighted
        n = len(centres)

        def squares(p):
            d = [_column(p, j, intercept) - centres[j] for j in range(n)]
            y = p["v0"].to_numpy() - y_mean
            return [np.dot(v, v) for v in d] + [np.dot(_weights(p, weighted) * y, y)]

        def largest(p):
            return [np.max(np.abs(_column(p, j, intercept) - centres[j]), initial=0.0) for j in range(n)]

        totals = self._sums(self.rows, squares, n + 1)
        return {"ss": totals[:n], "largest": self._sums(self.rows, largest, n, how="max"), "tss": float(totals[-1])}

    def effect_aggregates(self, centres, inverse) -> dict:
        # plain values only in what runs on the workers (not the engine, which holds collections)
        intercept, weighted = self.intercept, self.weighted
        n = len(centres)
        n_effects = self.n_effects

        def weighted_values(p):
            w = _weights(p, weighted)
            z = _scaled(p, centres, inverse, intercept)
            out = {f"e{f}": p[f"e{f}"].to_numpy() for f in range(n_effects)}
            out["w"] = w
            for j in range(n):
                out[f"wz{j}"] = w * z[:, j]
            return pd.DataFrame(out, index=p.index)

        frame = self.rows.map_partitions(weighted_values, meta=weighted_values(self.rows._meta))
        counts, sums = [], []
        value_columns = ["w"] + [f"wz{j}" for j in range(n)]
        pairs_of = [(f, g) for f in range(n_effects) for g in range(f + 1, n_effects)]
        tables = self.dask.compute(
            *[frame.groupby(f"e{f}")[value_columns].sum(split_out=1) for f in range(n_effects)],
            *[frame.groupby([f"e{f}", f"e{g}"])["w"].sum(split_out=1) for f, g in pairs_of],
        )
        for f, G in enumerate(self.level_counts()):
            table = tables[f]
            ids = table.index.to_numpy().astype(np.int64)
            count = np.zeros(G)
            count[ids] = table["w"].to_numpy()
            level_sums = np.zeros((G, n))
            level_sums[ids] = table[value_columns[1:]].to_numpy()
            counts.append(count)
            sums.append(np.ascontiguousarray(level_sums))
        pairs = []
        for (f, g), cells in zip(pairs_of, tables[n_effects:], strict=True):
            a = cells.index.get_level_values(0).to_numpy().astype(np.int64)
            b = cells.index.get_level_values(1).to_numpy().astype(np.int64)
            pairs.append((f, g, a, b, cells.to_numpy().astype(np.float64)))

        def squares(p):
            z = _scaled(p, centres, inverse, intercept)
            return np.einsum("i,ij,ij->j", _weights(p, weighted), z, z)

        return {"counts": counts, "sums": sums, "pairs": pairs, "sumsq": self._sums(self.rows, squares, n)}

    # -- residuals ------------------------------------------------------------------------------
    def residualise(self, alphas, centres, inverse) -> np.ndarray:
        # plain values only in what runs on the workers (not the engine, which holds collections)
        intercept, weighted = self.intercept, self.weighted
        n = len(centres)
        n_effects = len(alphas)
        cluster_keys = self.cluster_keys

        def residuals(p, alphas):
            r = _scaled(p, centres, inverse, intercept)
            for f in range(n_effects):
                r -= alphas[f][p[f"e{f}"].to_numpy()]
            out = {f"r{j}": r[:, j] for j in range(n)}
            for k in cluster_keys:
                out[k] = p[k].to_numpy()
            if weighted:
                out["w"] = p["w"].to_numpy()
            return pd.DataFrame(out, index=p.index)

        meta = residuals(self.rows._meta, [np.zeros((0, n)) for _ in range(n_effects)])
        self.resid = self.rows.map_partitions(
            residuals, self.dask.delayed(list(alphas), pure=True), meta=meta
        ).persist()
        upper = np.triu_indices(n)

        def products(p):
            r = p[[f"r{j}" for j in range(n)]].to_numpy()
            return ((r * _weights(p, weighted)[:, None]).T @ r)[upper]

        gram = np.zeros((n, n))
        gram[upper] = self._sums(self.resid, products, len(upper[0]))
        return gram + np.triu(gram, 1).T

    def nested(self, f: int, cluster: str) -> bool:
        k = self.key[cluster]
        table = self.rows[[f"e{f}", k]].drop_duplicates(split_out=1)
        per_level = table.groupby(f"e{f}").size(split_out=1).compute()
        return bool((per_level == 1).all())

    def residual_statistics(self, combination, scale, keep, hetero, subsets) -> dict:
        # plain values only in what runs on the workers (not the engine, which holds collections)
        weighted = self.weighted
        n = len(combination)
        kept = [j + 1 for j in np.flatnonzero(keep)]
        K = len(kept)
        upper = np.triu_indices(K)
        key = self.key

        def pieces(p):
            r = p[[f"r{j}" for j in range(n)]].to_numpy()
            return r @ combination, r[:, kept] * scale[kept], _weights(p, weighted)

        def sums(p):
            e, x, w = pieces(p)
            out = [np.dot(w * e, e)]
            if hetero:
                u = w * e
                out += list(((x * (u * u)[:, None]).T @ x)[upper])
            return out

        totals = self._sums(self.resid, sums, 1 + (len(upper[0]) if hetero else 0))
        out = {"rss": float(totals[0])}
        if hetero:
            meat = np.zeros((K, K))
            meat[upper] = totals[1:]
            out["meat"] = meat + np.triu(meat, 1).T
        meats, counts = [], []
        for subset in subsets:
            keys = [key[name] for name in subset]

            def scores(p, keys=keys):
                e, x, w = pieces(p)
                frame = pd.DataFrame(x * (w * e)[:, None], columns=[f"s{a}" for a in range(K)], index=p.index)
                for k in keys:
                    frame[k] = p[k].to_numpy()
                return frame

            per_cluster = self.resid.map_partitions(scores, meta=scores(self.resid._meta))
            grouped = per_cluster.groupby(keys)[[f"s{a}" for a in range(K)]].sum(split_out=1)

            def outer(p):
                s = p.to_numpy()
                return [len(p)] + list((s.T @ s)[upper])

            totals = self._sums(grouped, outer, 1 + len(upper[0]))
            counts.append(int(totals[0]))
            meat = np.zeros((K, K))
            meat[upper] = totals[1:]
            meats.append(meat + np.triu(meat, 1).T)
        out["cluster_meats"], out["cluster_counts"] = meats, counts
        return out

    def set_aside(self):
        """Nothing to hand over: the workers' memory is not this process's."""
        return contextlib.nullcontext()

    def close(self) -> None:
        for name in ("rows", "resid"):
            if hasattr(self, name):
                delattr(self, name)  # the persisted partitions are released on the workers


def _column(p, j, intercept) -> np.ndarray:
    return np.ones(len(p)) if intercept[j] else p[f"v{j}"].to_numpy()


def _weights(p, weighted) -> np.ndarray:
    return p["w"].to_numpy() if weighted else np.ones(len(p))


def _scaled(p, centres, inverse, intercept) -> np.ndarray:
    return np.column_stack([(_column(p, j, intercept) - centres[j]) * inverse[j] for j in range(len(centres))])


def evaluate_column(column: pd.Series) -> np.ndarray:
    if isinstance(column.dtype, np.dtype):
        return column.to_numpy(dtype=np.float64)
    return column.to_numpy(dtype=np.float64, na_value=np.nan)


def _bad_weights(w: np.ndarray):
    bad = ~(np.isfinite(w) & (w > 0))
    return np.count_nonzero(bad), (w[bad].min() if bad.any() else np.inf)


def _lookup(table: pd.DataFrame, keys: list[str], p: pd.DataFrame) -> np.ndarray:
    """Positions in the level table of each row's keys."""
    if len(keys) == 1:
        return pd.Index(table[keys[0]]).get_indexer(p[keys[0]])
    return pd.MultiIndex.from_frame(table[keys]).get_indexer(pd.MultiIndex.from_frame(p[keys]))
