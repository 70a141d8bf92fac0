"""The out-of-core DuckDB engine's cheaper passes against the ones they replace.

Oracles: the rows in the order of DuckDB's ORDER BY of every column (the sort NumPy's sort
of one key per row replaces, taken when the memory budget is zero) must be the same arrays
to the last element, and the estimates built on them the same bits; the nesting test and
the per-level row counts against pandas on the same sample; the residual passes (now a
view) against the in-memory estimate.
"""

import numpy as np
import pandas as pd
import pytest

import vantrel
from vantrel.core.options import arguments_of, columns_read
from vantrel.engines import open_engine
from vantrel.engines.duckdb import BUDGET_VARIABLE
from vantrel.formula.parse import parse_formula
from vantrel.inference.ssc import parse_vcov


@pytest.fixture(scope="module")
def data():
    from conftest import make_panel

    df = make_panel(seed=8, n=3000, groups=(400, 70, 9), n_x=2)
    rng = np.random.default_rng(4)
    # a few values repeated, so that equal keys with different weights meet in the sort
    df["w"] = rng.choice([0.5, 1.0, 2.5, 4.0], len(df))
    df["cl"] = df["a"] % 17
    return df


@pytest.fixture(scope="module")
def wide():
    """70,000 levels of two rows each in `big`: more than 16 bits hold."""
    rng = np.random.default_rng(6)
    n = 140_000
    return pd.DataFrame(
        {
            "big": np.repeat(np.arange(70_000), 2)[rng.permutation(n)],
            "a": rng.integers(0, 50, n),
            "b": rng.integers(0, 7, n),
            "w": rng.choice([0.5, 2.0], n),
            "x1": rng.normal(size=n),
            "y": rng.normal(size=n),
        }
    )


def _sorted_rows(path, fml, weights, monkeypatch, budget):
    monkeypatch.setenv(BUDGET_VARIABLE, budget)
    formula, choice = parse_formula(fml), parse_vcov("iid")
    columns = columns_read(formula, choice, weights)
    engine = open_engine("duckdb", path, columns, arguments_of(formula, choice, weights), 1)
    try:
        engine.sample(formula, choice, weights)
        G = engine.rows.level_counts()
        return engine.rows.sorted_rows(G)
    finally:
        engine.close()


@pytest.mark.parametrize(
    "fml, weights",
    [
        ("y ~ x1 | a + b", None),
        ("y ~ x1 | a + b + c", None),
        ("y ~ x1 | a + b + c", "w"),
        ("y ~ x1 | a + big + b", "w"),
        ("y ~ x1 | a + big", None),
    ],
    ids=["two effects", "three effects", "weighted", "weighted, 32-bit levels", "32-bit levels"],
)
def test_numpy_sort_gives_duckdbs_order(data, wide, tmp_path, monkeypatch, fml, weights):
    path = tmp_path / "panel.parquet"
    (wide if "big" in fml else data).to_parquet(path)
    by_duckdb = _sorted_rows(str(path), fml, weights, monkeypatch, "0")
    by_numpy = _sorted_rows(str(path), fml, weights, monkeypatch, "1GB")
    assert by_numpy["segment"] == by_duckdb["segment"]
    assert np.array_equal(by_numpy["segment_rows"], by_duckdb["segment_rows"])
    for ours, theirs in zip(by_numpy["levels"], by_duckdb["levels"], strict=True):
        if theirs is None:
            assert ours is None
        else:
            assert ours.dtype == theirs.dtype and np.array_equal(ours, theirs)
    if weights is None:
        assert by_numpy["w"] is None and by_duckdb["w"] is None
    else:
        assert np.array_equal(by_numpy["w"], by_duckdb["w"])


@pytest.mark.parametrize(
    "fml, options",
    [
        ("y ~ x1 + x2 | a + b + c", dict(vcov={"CRV1": "a"})),
        ("y ~ x1 + x2 | a + b", dict(vcov={"CRV1": "a+cl"}, weights="w")),
        ("y ~ x1 + x2 | a + b + c", dict(vcov="hetero", weights="w")),
    ],
    ids=["cluster is an effect", "twoway clusters weighted", "hetero weighted"],
)
def test_out_of_core_estimate_with_the_cheaper_passes(data, tmp_path, monkeypatch, fml, options):
    """The sorted-rows solve with NumPy's order, the residual view, the counted levels and
    the nesting shortcut: the same bits as with DuckDB's order, and the in-memory estimate
    to 1e-10 (coefficients, standard errors)."""
    from vantrel.engines import duckdb as duckdb_engine

    monkeypatch.setattr(duckdb_engine, "_rows_beat_cells", lambda *_: True)
    path = tmp_path / "panel.parquet"
    data.to_parquet(path)
    monkeypatch.setenv(BUDGET_VARIABLE, "0")
    reference = vantrel.feols(fml, str(path), engine="duckdb", **options)
    monkeypatch.setenv(BUDGET_VARIABLE, "1GB")
    got = vantrel.feols(fml, str(path), engine="duckdb", **options)
    assert got.absorption["method"].endswith("sorted rows")
    assert np.array_equal(got.beta, reference.beta)
    np.testing.assert_allclose(got.se(), reference.se(), rtol=1e-13, atol=0)
    expected = vantrel.feols(fml, data, **options)
    np.testing.assert_allclose(got.beta, expected.beta, rtol=1e-10, atol=0)
    np.testing.assert_allclose(got.se(), expected.se(), rtol=1e-10, atol=0)
    assert got.df_t == expected.df_t and got.clusters == expected.clusters
    # the fixed effects: the same as from DuckDB's order, and the in-memory ones to what a
    # solve at fixef_tol 1e-8 leaves of them
    for label, values in reference.fixef().items():
        pd.testing.assert_series_equal(got.fixef()[label], values, check_exact=True)
    for label, values in expected.fixef().items():
        pd.testing.assert_series_equal(got.fixef()[label].sort_index(), values.sort_index(), rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("cluster", ["a", "cl", "b"], ids=["the effect itself", "coarser", "crossed"])
def test_nesting_against_pandas(data, tmp_path, cluster):
    """Whether each effect's levels fall in one cluster each, against pandas' count of
    clusters per level on the estimation sample."""
    path = tmp_path / "panel.parquet"
    data.to_parquet(path)
    fml = "y ~ x1 | a + c"
    formula, choice = parse_formula(fml), parse_vcov({"CRV1": cluster})
    columns = columns_read(formula, choice, None)
    engine = open_engine("duckdb", str(path), columns, arguments_of(formula, choice, None), 1)
    try:
        engine.sample(formula, choice, None)
        nested = engine.nested([cluster])
        rows = engine.rows.level_rows()
    finally:
        engine.close()
    from conftest import drop_singletons_reference

    kept = drop_singletons_reference(data, ["a", "c"])
    expected = [bool((kept.groupby(effect)[cluster].nunique() == 1).all()) for effect in ["a", "c"]]
    assert nested == expected
    assert [sorted(r[r > 0].astype(int).tolist()) for r in rows] == [
        sorted(kept.groupby(effect).size().tolist()) for effect in ["a", "c"]
    ]
