"""`vantrel.fepois` out of memory against the in-memory estimate (itself checked against
statsmodels' GLM and pyfixest in tests/test_fepois.py) and against pyfixest in the same run:
the same sample, coefficients, covariances, deviance and fixed effects from the row
engine's passes."""

import warnings

import dask.dataframe as dd
import duckdb
import numpy as np
import pandas as pd
import pyfixest as pf
import pytest
from test_fepois import count_panel

import vantrel

SOURCES = ["duckdb", "parquet", "relation", "dask"]

CASES = {
    "one-effect": dict(fml="y ~ x1 + x2 | f1", groups=(12,)),
    "two-effects-weights": dict(fml="y ~ x1 + x2 | f1 + f2", groups=(12, 6), weights=True),
    "three-effects-offset": dict(fml="y ~ x1 + x2 | f1 + f2 + f3", groups=(12, 6, 4), offset=True),
    "two-effects-weights-offset": dict(fml="y ~ x1 + x2 | f1 + f2", groups=(12, 6), weights=True, offset=True),
    "interacted-effect": dict(fml="y ~ x1 | f1^f2", groups=(8, 3)),
    "no-effect": dict(fml="y ~ x1 + x2", groups=(5,)),
}

VCOVS = {"iid": "iid", "hetero": "hetero", "CRV1-one-way": {"CRV1": "g"}, "CRV1-two-way": {"CRV1": "g+f1"}}


def _data(source, df, tmp_path):
    """The table as each out-of-memory source takes it, and the engine argument."""
    if source == "duckdb":
        return df, "duckdb"
    if source == "parquet":
        path = tmp_path / "panel.parquet"
        df.to_parquet(path)
        return str(path), None
    if source == "dask":
        return dd.from_pandas(df, npartitions=3), None
    con = duckdb.connect()
    return con.from_df(df), None


def _fit(fml, data, engine=None, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return vantrel.fepois(fml, data, engine=engine, **kwargs)


def _options(case):
    return {
        "weights": "w" if case.get("weights") else None,
        "offset": "off" if case.get("offset") else None,
    }


# Every covariance on each of the two engines (DuckDB through Parquet, Dask); the other
# ways into DuckDB (a DataFrame with engine="duckdb", a relation) differ only in how the
# rows are read, so they run the multiway covariance, which reads the most of them.
GRID = [(vcov_id, source) for vcov_id in VCOVS for source in ("parquet", "dask")] + [
    ("CRV1-two-way", source) for source in SOURCES if source not in ("parquet", "dask")
]


@pytest.mark.parametrize("vcov_id, source", GRID, ids=[f"{v}-{s}" for v, s in GRID])
@pytest.mark.parametrize("case", list(CASES.values()), ids=list(CASES))
def test_out_of_memory_equals_memory(case, vcov_id, source, tmp_path):
    vcov = VCOVS[vcov_id]
    df = count_panel(
        seed=3, n=500, groups=case["groups"], weights=case.get("weights", False), offset=case.get("offset", False)
    )
    options = _options(case)
    memory = _fit(case["fml"], df, vcov=vcov, **options)
    data, engine = _data(source, df, tmp_path)
    rows = _fit(case["fml"], data, engine, vcov=vcov, **options)
    assert rows.coefnames == memory.coefnames
    assert rows.nobs == memory.nobs
    np.testing.assert_allclose(rows.coef().to_numpy(), memory.coef().to_numpy(), rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(rows.se().to_numpy(), memory.se().to_numpy(), rtol=1e-8)
    np.testing.assert_allclose(rows.deviance, memory.deviance, rtol=1e-10)
    np.testing.assert_allclose(rows.null_deviance, memory.null_deviance, rtol=1e-10)
    np.testing.assert_allclose(rows.loglik, memory.loglik, rtol=1e-10)
    np.testing.assert_allclose(rows.pseudo_r2, memory.pseudo_r2, rtol=1e-9)
    assert rows.iterations["outer"] == memory.iterations["outer"]


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize(
    "case", [CASES["two-effects-weights-offset"], CASES["three-effects-offset"]], ids=["two-effects", "three-effects"]
)
def test_fixed_effects_and_predictions_equal_memory(case, source, tmp_path):
    df = count_panel(seed=5, n=500, groups=case["groups"], weights=case.get("weights", False), offset=True)
    options = _options(case)
    memory = _fit(case["fml"], df, **options)
    data, engine = _data(source, df, tmp_path)
    rows = _fit(case["fml"], data, engine, **options)
    for label, values in memory.fixef().items():
        other = rows.fixef()[label]
        np.testing.assert_allclose(other.sort_index().to_numpy(), values.sort_index().to_numpy(), atol=1e-8)
    new = df.sample(40, random_state=1)
    for kind in ("response", "link"):
        # the fixed effects' values are the solver's, each to its tolerance: absolute on eta
        np.testing.assert_allclose(
            rows.predict(new, type=kind).to_numpy(), memory.predict(new, type=kind).to_numpy(), rtol=1e-8, atol=1e-8
        )


def _with_zero_groups(seed=11):
    """A panel where two levels of f1 and one of f2 have a zero outcome in every row."""
    df = count_panel(seed=seed, n=600, groups=(15, 8))
    df.loc[df["f1"].isin([2, 7]), "y"] = 0.0
    df.loc[df["f2"] == 5, "y"] = 0.0
    return df


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("vcov", ["iid", {"CRV1": "f1"}], ids=["iid", "CRV1"])
def test_separation_fe_drops_the_memory_rows(vcov, source, tmp_path):
    df = _with_zero_groups()
    memory = _fit("y ~ x1 + x2 | f1 + f2", df, vcov=vcov, separation="fe")
    data, engine = _data(source, df, tmp_path)
    rows = _fit("y ~ x1 + x2 | f1 + f2", data, engine, vcov=vcov, separation="fe")
    expected = int((df["f1"].isin([2, 7]) | (df["f2"] == 5)).sum())
    assert memory.separated["fe"] == expected  # the oracle: the rows of the all-zero groups
    assert rows.separated == memory.separated
    assert rows.nobs == memory.nobs == len(df) - expected
    assert rows.fixef_levels == memory.fixef_levels
    np.testing.assert_allclose(rows.coef().to_numpy(), memory.coef().to_numpy(), rtol=1e-8)
    np.testing.assert_allclose(rows.se().to_numpy(), memory.se().to_numpy(), rtol=1e-8)


@pytest.mark.parametrize("source", SOURCES)
def test_default_separation_runs_fe_and_says_so(source, tmp_path):
    df = _with_zero_groups(seed=12)
    memory = _fit("y ~ x1 + x2 | f1 + f2", df, separation="fe")
    data, engine = _data(source, df, tmp_path)
    rows = _fit("y ~ x1 + x2 | f1 + f2", data, engine)
    assert rows.separated == {"fe": memory.separated["fe"]}
    assert any("simplex" in text and "relu" in text for text in rows.messages)
    np.testing.assert_allclose(rows.coef().to_numpy(), memory.coef().to_numpy(), rtol=1e-8)


@pytest.mark.parametrize("vcov", [{"CRV1": "f1"}, "hetero"], ids=["CRV1", "hetero"])
def test_parquet_equals_pyfixest(vcov, tmp_path):
    df = count_panel(seed=8, n=800, groups=(20, 10))
    path = tmp_path / "panel.parquet"
    df.to_parquet(path)
    rows = _fit("y ~ x1 + x2 | f1 + f2", str(path), vcov=vcov)
    peer = pf.fepois("y ~ x1 + x2 | f1 + f2", df, vcov=vcov, iwls_tol=1e-10)
    np.testing.assert_allclose(rows.coef().to_numpy(), peer.coef().to_numpy(), rtol=1e-6)
    np.testing.assert_allclose(rows.se().to_numpy(), peer.se().to_numpy(), rtol=1e-5)


@pytest.mark.parametrize(
    "separation, named",
    [("simplex", "simplex"), (("fe", "relu"), "relu"), (("fe", "simplex", "relu"), "simplex")],
    ids=["simplex", "fe-relu", "all-three-asked"],
)
@pytest.mark.parametrize("source", SOURCES)
def test_separation_needing_rows_is_refused(separation, named, source, tmp_path):
    df = count_panel(seed=1, n=200, groups=(6,))
    data, engine = _data(source, df, tmp_path)
    name = "dask" if source == "dask" else "duckdb"
    with pytest.raises(ValueError, match=r"separation = .*" + named + r".*'" + name + "' engine"):
        vantrel.fepois("y ~ x1 | f1", data, engine=engine, separation=separation)


@pytest.mark.parametrize("source", ["duckdb", "dask"])
@pytest.mark.parametrize("method", ["resid", "fitted", "predict"])
def test_per_row_values_are_refused(method, source, tmp_path):
    df = count_panel(seed=2, n=200, groups=(6,))
    data, engine = _data(source, df, tmp_path)
    fit = _fit("y ~ x1 | f1", data, engine)
    with pytest.raises(ValueError, match=rf"{method}\(\).*'{source}'"):
        getattr(fit, method)()


@pytest.mark.parametrize(
    "change, match",
    [
        (lambda df: df.assign(y=df["y"] - 3.0), r"'y' must be non-negative"),
        (lambda df: df.assign(y=0.0), r"'y' is zero in every row"),
        (lambda df: df.assign(off="a"), r"offset.*'off'.*numeric"),
    ],
    ids=["negative-outcome", "zero-outcome", "text-offset"],
)
def test_data_errors_name_the_argument(change, match):
    df = change(count_panel(seed=4, n=200, groups=(6,), offset=True))
    with pytest.raises((ValueError, TypeError), match=match):
        vantrel.fepois("y ~ x1 | f1", df, engine="duckdb", offset="off", separation=None)


@pytest.mark.parametrize("source", SOURCES)
def test_missing_offset_drops_the_same_rows(source, tmp_path):
    df = count_panel(seed=6, n=400, groups=(10, 5), offset=True)
    df.loc[df.index[::37], "off"] = np.nan
    memory = _fit("y ~ x1 + x2 | f1 + f2", df, offset="off")
    data, engine = _data(source, df, tmp_path)
    rows = _fit("y ~ x1 + x2 | f1 + f2", data, engine, offset="off")
    assert rows.nobs == memory.nobs
    assert rows.nobs_dropped["missing"] == memory.nobs_dropped["missing"] == int(df["off"].isna().sum())
    np.testing.assert_allclose(rows.coef().to_numpy(), memory.coef().to_numpy(), rtol=1e-8)
    assert isinstance(rows.coef(), pd.Series)


@pytest.mark.parametrize("source", ["parquet", "dask"])
@pytest.mark.parametrize("fml", ["y ~ x1 + csw0(x2) | f1 + f2", "y ~ x1 | sw(f1, f2)"], ids=["csw0", "sw-effects"])
def test_multiple_estimation_equals_memory(fml, source, tmp_path):
    df = count_panel(seed=9, n=400, groups=(10, 5))
    memory = _fit(fml, df, vcov={"CRV1": "g"})
    data, engine = _data(source, df, tmp_path)
    rows = _fit(fml, data, engine, vcov={"CRV1": "g"})
    assert len(list(rows)) == len(list(memory)) == 2
    for a, b in zip(rows, memory, strict=True):
        assert a.coefnames == b.coefnames
        np.testing.assert_allclose(a.coef().to_numpy(), b.coef().to_numpy(), rtol=1e-8)
        np.testing.assert_allclose(a.se().to_numpy(), b.se().to_numpy(), rtol=1e-8)
