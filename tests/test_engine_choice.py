"""Where an estimate on files or a DuckDB relation runs: in memory when the used columns fit
the memory budget (DuckDB only reads them), out of core beyond it, or where the caller says.

Oracles: the same table read by pandas (or pyarrow) and estimated in memory, which the
in-memory route must equal to the bit (coefficients, covariance, residuals); the
out-of-core engine forced on the same files, which must agree to 1e-10; and the budget's
rule (rows x used columns x 8 bytes) computed here from the row count pandas reads.
"""

import duckdb
import numpy as np
import pandas as pd
import pytest

import vantrel
from vantrel.engines.duckdb import BUDGET_VARIABLE, memory_budget

MODELS = [
    ("y ~ x1 + x2 | a + b + c", {}),
    ("y ~ x1 + x2 | a + b", dict(vcov="hetero", weights="w")),
    ("y ~ x1 + x2 + x1:x2 + np.log(z) | firm + b^c", dict(vcov={"CRV1": "firm"}, weights="w")),
    ("y ~ x1 + x2 | a + b + c", dict(vcov={"CRV1": "a+cl"})),
    ("y ~ x1 + np.exp(x2 / 4)", dict(vcov="iid")),
]


@pytest.fixture(scope="module")
def data():
    from conftest import make_panel

    df = make_panel(seed=21, n=1200, groups=(90, 25, 6), n_x=2)
    rng = np.random.default_rng(3)
    df["w"] = rng.uniform(0.2, 3.0, len(df))
    df["cl"] = df["a"] % 11
    df["firm"] = np.array(["f" + str(v) for v in df["a"]], dtype=object)
    df["z"] = rng.uniform(0.5, 2.0, len(df))
    df["unused"] = rng.normal(size=len(df))
    df.loc[[5, 50, 500], "x2"] = np.nan
    df.loc[[9], "w"] = np.nan
    return df


@pytest.fixture
def roomy(monkeypatch):
    """A budget every test table fits in (the suite's own is zero: out of core always)."""
    monkeypatch.setenv(BUDGET_VARIABLE, "1GB")


def sources(df, folder):
    """(data for feols, the same rows as pandas reads them) for each way into DuckDB."""
    one = folder / "one.parquet"
    df.to_parquet(one)
    parts = folder / "parts"
    parts.mkdir()
    halves = [df.iloc[: len(df) // 2], df.iloc[len(df) // 2 :]]
    for i, half in enumerate(halves):
        half.to_parquet(parts / f"part-{i}.parquet")
    csv = folder / "one.csv"
    df.to_csv(csv, index=False)
    return {
        "parquet": (str(one), pd.read_parquet(one)),
        "glob": (str(parts / "part-*.parquet"), pd.concat([pd.read_parquet(p) for p in sorted(parts.iterdir())])),
        "csv": (str(csv), pd.read_csv(csv)),
        "relation": (duckdb.read_parquet(str(one)), pd.read_parquet(one)),
    }


def assert_bits(got, expected):
    assert got.coefnames == expected.coefnames
    assert (got.nobs, got.nobs_dropped, got.fixef_levels) == (
        expected.nobs,
        expected.nobs_dropped,
        expected.fixef_levels,
    )
    assert np.array_equal(got.beta, expected.beta)
    assert np.array_equal(got.vcov_matrix, expected.vcov_matrix)
    assert np.array_equal(got.resid(), expected.resid(), equal_nan=True)
    assert got.r2 == expected.r2 and got.rmse == expected.rmse


@pytest.mark.filterwarnings("ignore:Covariance matrix not positive-semidefinite")
@pytest.mark.parametrize("source", ["parquet", "glob", "csv", "relation"])
@pytest.mark.parametrize("fml, options", MODELS, ids=[f"model{i}" for i in range(len(MODELS))])
def test_within_the_budget_the_estimate_is_the_in_memory_one(data, tmp_path, roomy, source, fml, options):
    given, read = sources(data, tmp_path)[source]
    got = vantrel.feols(fml, given, **options)
    expected = vantrel.feols(fml, read, **options)
    assert got.messages[0].startswith("estimated in memory, read by DuckDB")
    assert got.messages[1:] == expected.messages
    assert "engine" not in got.absorption  # the in-memory engine's report, not DuckDB's
    assert_bits(got, expected)
    # the out-of-core engine forced on the same rows agrees to 1e-10
    forced = vantrel.feols(fml, given, engine="duckdb", **options)
    assert forced.absorption["engine"] == "duckdb"
    np.testing.assert_allclose(forced.beta, expected.beta, rtol=1e-10, atol=0)
    np.testing.assert_allclose(forced.se(), expected.se(), rtol=1e-10, atol=0)


@pytest.mark.parametrize("extra", [0, -1], ids=["at the budget", "one byte short"])
def test_the_budget_is_rows_times_columns_times_eight_bytes(data, tmp_path, monkeypatch, extra):
    path = tmp_path / "panel.parquet"
    data.to_parquet(path)
    fml, used = "y ~ x1 + x2 | a + b", ["y", "x1", "x2", "a", "b", "cl"]
    need = 8 * len(pd.read_parquet(path)) * len(used)
    monkeypatch.setenv(BUDGET_VARIABLE, f"{need + extra}B")
    fit = vantrel.feols(fml, str(path), vcov={"CRV1": "cl"})
    in_memory = extra == 0
    assert fit.messages[0].startswith("estimated in memory" if in_memory else "estimated out of core on DuckDB")
    assert f"{len(data):,} rows x {len(used)} column(s)" in fit.messages[0]
    assert BUDGET_VARIABLE in fit.messages[0]
    assert ("engine" in fit.absorption) is not in_memory
    expected = vantrel.feols(fml, data, vcov={"CRV1": "cl"})
    np.testing.assert_allclose(fit.beta, expected.beta, rtol=1e-10, atol=0)
    np.testing.assert_allclose(fit.se(), expected.se(), rtol=1e-10, atol=0)


def test_memory_limit_is_the_budget_when_given(data, tmp_path, roomy):
    """The caller's DuckDB limit bounds the in-memory route too: a limit the columns
    exceed keeps the estimate out of core (under that limit), one they fit takes it."""
    path = tmp_path / "panel.parquet"
    data.to_parquet(path)
    assert memory_budget("64MB") == (64e6, "memory_limit = '64MB'")
    fit = vantrel.feols("y ~ x1 | a", str(path), memory_limit="64MB")
    assert "memory_limit = '64MB'" in fit.messages[0] and fit.messages[0].startswith("estimated in memory")


@pytest.mark.parametrize("engine", ["memory", "duckdb"])
def test_an_engine_named_is_the_engine_that_runs(data, tmp_path, monkeypatch, engine):
    """engine='memory' reads files into memory whatever the budget (zero here), and
    engine='duckdb' stays out of core whatever the budget (a terabyte here)."""
    path = tmp_path / "panel.parquet"
    data.to_parquet(path)
    monkeypatch.setenv(BUDGET_VARIABLE, "0" if engine == "memory" else "1TB")
    fit = vantrel.feols("y ~ x1 + x2 | a + b", str(path), vcov="hetero", engine=engine)
    expected = vantrel.feols("y ~ x1 + x2 | a + b", data, vcov="hetero")
    if engine == "memory":
        assert "as asked (engine='memory')" in fit.messages[0]
        assert_bits(fit, expected)
    else:
        assert fit.absorption["engine"] == "duckdb"
        assert not fit.messages[0].startswith("estimated")
        with pytest.raises(ValueError, match="resid"):
            fit.resid()


@pytest.mark.parametrize(
    "setting, call, error, message",
    [
        ("lots", dict(), ValueError, "VANTREL_MEMORY_BUDGET = 'lots' is not a memory size"),
        ("1GB", dict(fml="y ~ nothere | a"), ValueError, "nothere"),
        ("1GB", dict(engine="dask"), ValueError, "engine = 'dask' cannot read the files"),
    ],
    ids=["budget not a size", "missing column", "dask on files"],
)
def test_errors_name_the_setting(data, tmp_path, monkeypatch, setting, call, error, message):
    path = tmp_path / "panel.parquet"
    data.to_parquet(path)
    monkeypatch.setenv(BUDGET_VARIABLE, setting)
    fml = call.pop("fml", "y ~ x1 | a")
    with pytest.raises(error, match=message):
        vantrel.feols(fml, str(path), **call)
