"""`feols` on a Dask DataFrame, run by a local cluster of two worker processes, against the
in-memory path on the same rows: coefficients and standard errors to 1e-8 relative with
weights, multiway clustering, interactions and singletons that go in rounds; the same for
every partitioning (one, many, sorted so that partitions lack levels, empty ones), both
solve routes, every kind of id, blocks within partitions and Dask's own scheduler."""

import numpy as np
import pandas as pd
import pytest

import vantrel

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from test_scale_duckdb import assert_same_estimate, chained  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
    )
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


@pytest.fixture(scope="module")
def data():
    from conftest import make_panel

    df = chained(make_panel(seed=12, n=1500, groups=(120, 30, 7), n_x=2))
    rng = np.random.default_rng(3)
    df["w"] = rng.uniform(0.2, 3.0, len(df))
    df["cl"] = df["a"] % 11
    df["firm"] = np.array(["f" + str(v) for v in df["a"]], dtype=object)
    df.loc[[4, 40], "x2"] = np.nan
    return df


@pytest.mark.filterwarnings("ignore:Covariance matrix not positive-semidefinite")
@pytest.mark.parametrize("fml, options", [
    ("y ~ x1 + x2 | a + b + c", dict(vcov={"CRV1": "a+cl"}, weights="w")),
    ("y ~ x1 + x2 + x1:x2 | firm + b^c", dict(vcov="hetero")),
    ("y ~ x1 + x2 | a + b", dict(vcov={"CRV1": "firm+b+c"})),
], ids=["weighted_twoway", "hetero_interactions", "threeway"])  # fmt: skip
def test_dask_gives_the_in_memory_estimate(client, data, fml, options):
    expected = vantrel.feols(fml, data, **options)
    got = vantrel.feols(fml, dd.from_pandas(data, npartitions=3), **options)
    assert got.absorption["engine"] == "dask"
    assert got.nobs_dropped["singletons"] >= 24  # the whole chain, round after round
    assert_same_estimate(got, expected)


def test_dask_options_are_checked(data):
    frame = dd.from_pandas(data, npartitions=2)
    with pytest.raises(ValueError, match=r"memory_limit and temp_directory are DuckDB settings.*'4GB'"):
        vantrel.feols("y ~ x1 | a", frame, memory_limit="4GB")
    with pytest.raises(ValueError, match=r"engine = 'duckdb' cannot read a Dask DataFrame"):
        vantrel.feols("y ~ x1 | a", frame, engine="duckdb")
    with pytest.raises(TypeError, match=r"engine = 'dask' needs a Dask DataFrame as data, got DataFrame"):
        vantrel.feols("y ~ x1 | a", data, engine="dask")


# -- the partition-by-partition passes ---------------------------------------------------------
def partitioned(df, sizes):
    """A Dask DataFrame whose partitions are the consecutive pieces of `df` of these sizes,
    empty ones kept."""
    import dask

    bounds = np.concatenate([[0], np.cumsum(sizes)])
    assert bounds[-1] == len(df)
    pieces = [df.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:], strict=True)]
    return dd.from_delayed([dask.delayed(piece) for piece in pieces], meta=df.iloc[:0], verify_meta=False)


@pytest.fixture(scope="module")
def wide():
    """A panel with more levels than the tests above (pairs and cluster intersections past
    the size where the engine counts them in a table), the chain of singletons, rows in a
    scrambled order (a level's rows, and the chain's, fall in different partitions)."""
    from conftest import make_panel

    df = chained(make_panel(seed=21, n=4000, groups=(400, 300, 6), n_x=2))
    rng = np.random.default_rng(8)
    df = df.iloc[rng.permutation(len(df))].reset_index(drop=True)
    df["w"] = rng.uniform(0.2, 3.0, len(df))
    df["cl"] = df["a"] % 17
    df.loc[[5, 50, 500], "x1"] = np.nan
    return df


@pytest.fixture(params=["cells", "sorted rows"])
def route(request, monkeypatch):
    """The solve from the pairs' cells or from the rows sorted by one effect, whichever the
    rule the engines share would choose."""
    from vantrel.engines import duckdb as duckdb_engine

    monkeypatch.setattr(duckdb_engine, "_rows_beat_cells", lambda *_: request.param == "sorted rows")
    return request.param


PARTITIONINGS = {
    "one": lambda df: dd.from_pandas(df, npartitions=1),
    "many": lambda df: dd.from_pandas(df, npartitions=41),
    # sorted by a: each partition holds a few of a's levels and none of the others
    "levels_apart": lambda df: dd.from_pandas(df.sort_values("a", kind="stable").reset_index(drop=True), npartitions=9),
    "empty_ones": lambda df: partitioned(df, [0, 900, 0, 0, 1500, len(df) - 2400, 0]),
}


@pytest.mark.filterwarnings("ignore:Covariance matrix not positive-semidefinite")
@pytest.mark.parametrize("split", list(PARTITIONINGS))
@pytest.mark.parametrize("fml, options", [
    ("y ~ x1 + x2 | a + b + c", dict(vcov={"CRV1": "a+b"}, weights="w")),
    ("y ~ x1 + x2 | a^c + b", dict(vcov={"CRV1": "cl+c"})),
], ids=["weighted_twoway", "interacted"])  # fmt: skip
def test_any_partitioning_gives_the_in_memory_estimate(client, wide, split, fml, options, route):
    expected = vantrel.feols(fml, wide, **options)
    got = vantrel.feols(fml, PARTITIONINGS[split](wide), **options)
    assert got.nobs_dropped["singletons"] >= 24
    assert got.absorption["method"].endswith("sorted rows") == (route == "sorted rows")
    assert_same_estimate(got, expected)


def _ids(column, kind):
    if kind == "text":
        return np.array([f"id{v:05d}" for v in column], dtype=object)
    if kind == "sparse_int":  # far more than a few values per row apart: no table by value
        return column.to_numpy().astype(np.int64) * 10**12 - 7
    if kind == "negative_int":
        return -column.to_numpy().astype(np.int32)
    if kind == "uint64":
        return column.to_numpy().astype(np.uint64) + np.uint64(2**63)
    if kind == "nullable_int":
        return pd.array(column.to_numpy(), dtype="Int64")
    if kind == "float":
        return column.to_numpy() / 4.0
    return pd.Categorical(np.array([f"c{v}" for v in column]))


@pytest.mark.filterwarnings("ignore:Covariance matrix not positive-semidefinite")
@pytest.mark.parametrize("kind", ["text", "sparse_int", "negative_int", "uint64", "nullable_int", "float", "category"])
def test_id_types(client, wide, kind):
    """Effects and clusters coded from every kind of id; the same numbering as in memory
    shows in fixef(), keyed by the original values."""
    df = wide.assign(a=_ids(wide["a"], kind), b=_ids(wide["b"], kind))
    fml, options = "y ~ x1 + x2 | a + b^c", dict(vcov={"CRV1": "a+c"})
    expected = vantrel.feols(fml, df, fixef_tol=1e-12, **options)
    got = vantrel.feols(fml, dd.from_pandas(df, npartitions=5), fixef_tol=1e-12, **options)
    assert_same_estimate(got, expected)
    for label, values in expected.fixef().items():
        mine = dict(zip(got.fixef()[label].index.to_list(), got.fixef()[label].to_numpy(), strict=True))
        assert set(mine) == set(values.index.to_list())
        np.testing.assert_allclose(
            [mine[key] for key in values.index.to_list()], values.to_numpy(), rtol=1e-6, atol=1e-8
        )


def test_the_first_partition_read_once_keeps_its_rows(client, wide):
    """head() keeps the first partition for the sample, which adds the columns the formula
    does not name (weights, clusters): same rows as reading everything afresh."""
    fml = "y ~ x1 | a + b"
    expected = vantrel.feols(fml, wide, vcov={"CRV1": "cl"}, weights="w")
    got = vantrel.feols(fml, dd.from_pandas(wide, npartitions=3), vcov={"CRV1": "cl"}, weights="w")
    assert_same_estimate(got, expected)


@pytest.mark.filterwarnings("ignore:Covariance matrix not positive-semidefinite")
@pytest.mark.parametrize("lookup", ["as_chosen", "by_hash"])
def test_blocks_and_the_tree_without_a_cluster(wide, monkeypatch, lookup):
    """Dask's own scheduler in this process, partitions cut into blocks of 50 rows, merges
    of two partial results, the sorted rows gathered a few partitions at a time, and every
    value found by hashing (not in a table by value): the same estimate. The sums come in
    another order than on the cluster, the result is the same."""
    import dask

    from vantrel.engines import dask as dask_engine

    if lookup == "by_hash":
        monkeypatch.setattr(dask_engine, "_coder", lambda table, rows: ("index", table))
    monkeypatch.setattr(dask_engine, "_BLOCK_ROWS", 50)
    monkeypatch.setattr(dask_engine, "_FAN_IN", 2)
    monkeypatch.setattr(dask_engine, "_GATHER_ROWS", 600)
    fml, options = "y ~ x1 + x2 | a + b + c", dict(vcov={"CRV1": "a+cl"}, weights="w")
    expected = vantrel.feols(fml, wide, **options)
    with dask.config.set(scheduler="sync"):
        got = vantrel.feols(fml, PARTITIONINGS["empty_ones"](wide), **options)
        hetero = vantrel.feols("y ~ x1 + x2 | a + b^c", dd.from_pandas(wide, npartitions=7), vcov="hetero")
    assert got.absorption["method"].endswith("sorted rows")
    assert_same_estimate(got, expected)
    assert_same_estimate(hetero, vantrel.feols("y ~ x1 + x2 | a + b^c", wide, vcov="hetero"))


@pytest.mark.parametrize("spread_out", [True, False], ids=["every_pair", "few_cells"])
def test_the_cells_or_the_rows_as_duckdb_chooses(spread_out, monkeypatch):
    """Where the levels alone do not settle it, the engine estimates the pairs' cells from
    a hashed sample of them (here a small one, so that the estimate is put to work) and
    takes the cells or the sorted rows as DuckDB does from its own count."""
    import dask
    import duckdb

    from vantrel.engines import dask as dask_engine

    rng = np.random.default_rng(4)
    n = 20_000
    a = rng.integers(0, 50, n)
    b = rng.integers(0, 40, n) if spread_out else (2 * a + rng.integers(0, 2, n)) % 40
    df = pd.DataFrame({"a": a, "b": b, "x": rng.normal(size=n)})
    df["y"] = df["x"] + rng.normal(size=50)[a] + rng.normal(size=40)[b] + rng.normal(size=n)
    monkeypatch.setattr(dask_engine, "_CELL_SAMPLE", 256)
    with dask.config.set(scheduler="sync"):
        got = vantrel.feols("y ~ x | a + b", dd.from_pandas(df, npartitions=4))
    reference = vantrel.feols("y ~ x | a + b", duckdb.from_df(df))
    assert got.absorption["method"] == reference.absorption["method"]
    assert got.absorption["method"].endswith("sorted rows") == spread_out
    assert_same_estimate(got, vantrel.feols("y ~ x | a + b", df))


def test_progress_lines(client, wide, capsys):
    """progress=True: the stages and the kernel's iterations on stderr, as in memory."""
    vantrel.feols("y ~ x1 + x2 | a + b", dd.from_pandas(wide, npartitions=2), progress=True, fixef_tol=1e-12)
    lines = capsys.readouterr().err.splitlines()
    stages = [line for line in lines if line.startswith("vantrel.feols [")]
    assert any("reading the rows on dask" in line for line in stages)
    assert any("absorption: iteration" in line for line in stages)
    assert stages[-1].endswith("done")


def test_weights_are_checked_on_the_workers(client, wide):
    frame = dd.from_pandas(wide.assign(w=np.where(np.arange(len(wide)) == 77, -2.5, wide["w"])), npartitions=4)
    with pytest.raises(ValueError, match=r"weights: column 'w' must hold positive finite values; 1 row\(s\) do not "
                                         r"\(for example: -2.5\)"):  # fmt: skip
        vantrel.feols("y ~ x1 | a", frame, weights="w")
