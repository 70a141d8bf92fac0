"""What `feols` accepts: tables of several libraries, formula syntax, and arguments it
must refuse with a message that names the argument and the offending value."""

import duckdb
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import vantrel


@pytest.fixture
def frame(panel):
    """A seeded panel with a text effect, an interacted pair and gaps in a regressor."""
    df = panel(seed=3, n=300, groups=(25, 6, 4), n_x=2)
    df["firm"] = np.array(["f" + str(v) for v in df["a"]], dtype=object)
    df["w"] = np.linspace(0.5, 2.0, len(df))
    df.loc[[5, 17], "x2"] = np.nan
    return df


FML = "y ~ x1 + x2 + x1:x2 | firm + b^c"


def _as(kind, df):
    if kind == "pandas":
        return df
    table = pa.Table.from_pandas(df, preserve_index=False)
    if kind == "pyarrow":
        return table
    if kind == "polars":
        return pl.from_arrow(table)
    return duckdb.from_arrow(table)


# the small panel's two-way sum needs the eigenvalue repair, on every input alike
@pytest.mark.filterwarnings("ignore:Covariance matrix not positive-semidefinite")
@pytest.mark.parametrize("kind", ["polars", "pyarrow", "duckdb"])
@pytest.mark.parametrize("vcov", ["hetero", {"CRV1": "a+b"}])
def test_other_tables_give_the_pandas_numbers(frame, kind, vcov):
    expected = vantrel.feols(FML, frame, vcov=vcov, weights="w")
    # a DuckDB relation goes out of memory by default (no residuals there): read it in
    got = vantrel.feols(FML, _as(kind, frame.reset_index(drop=True)), vcov=vcov, weights="w", engine="memory")
    assert got.nobs == expected.nobs and got.nobs_dropped == expected.nobs_dropped
    pd.testing.assert_series_equal(got.coef(), expected.coef(), rtol=1e-13)
    pd.testing.assert_series_equal(got.se(), expected.se(), rtol=1e-13)
    np.testing.assert_allclose(got.resid().to_numpy(), expected.resid().to_numpy(), rtol=1e-12, atol=1e-12)


def test_lazy_table_reads_only_the_used_columns(frame):
    """A DuckDB column that fails when computed is never computed: only the model's
    columns are collected."""
    source = frame[["y", "x1", "x2", "firm", "b", "c"]]  # noqa: F841 - read by the SQL below
    relation = duckdb.sql("select *, cast('x' || y as integer) as broken from source")
    with pytest.raises(duckdb.Error):
        relation.select("broken").fetchall()
    fit = vantrel.feols("y ~ x1 + x2 | firm", relation)
    assert fit.nobs == vantrel.feols("y ~ x1 + x2 | firm", frame).nobs


def test_caret_and_hash_interact_alike(frame):
    caret = vantrel.feols("y ~ x1 | a^b", frame)
    hashed = vantrel.feols("y ~ x1 | a#b", frame)
    pd.testing.assert_series_equal(caret.coef(), hashed.coef(), rtol=1e-13)


def test_fixed_effects_equal_their_dummies(frame):
    """An effect absorbed or entered as C() dummies gives the same slopes (the dummy
    version has no singletons to drop, so the frame is cut to the rows the absorbed
    fit keeps)."""
    absorbed = vantrel.feols("y ~ x1 + x2 | firm", frame, fixef_tol=1e-12)
    kept = frame.loc[absorbed.resid().index]
    dummies = vantrel.feols("y ~ x1 + x2 + C(firm)", kept)
    pd.testing.assert_series_equal(absorbed.coef(), dummies.coef()[["x1", "x2"]], rtol=1e-9)
    np.testing.assert_allclose(absorbed.resid(), dummies.resid(), atol=1e-9)


ERRORS = [
    pytest.param(
        dict(fml="y ~ x3 | firm"),
        ValueError,
        r"fml: column 'x3' is not in data; the closest column is 'x[123]'",
        id="unknown_regressor",
    ),
    pytest.param(
        dict(fml="y ~ x1 | frim"),
        ValueError,
        "column 'frim' is not in data; the closest column is 'firm'",
        id="unknown_effect",
    ),
    pytest.param(dict(fml="y ~ C(fimr) | a"), ValueError, "'fimr'.*closest column is 'firm'", id="unknown_in_C"),
    pytest.param(dict(fml="y ~ x1", vcov={"CRV1": "frm"}), ValueError, "vcov: column 'frm'", id="unknown_cluster"),
    pytest.param(
        dict(fml="y ~ x1", weights="ww"),
        ValueError,
        "weights: column 'ww'.*closest column is 'w'",
        id="unknown_weights",
    ),
    # instrumental variables are estimated (tests/test_iv.py); misplaced, their part is refused
    pytest.param(dict(fml="y ~ x1 | x2 ~ b | a"), ValueError, "must be the last part.*; supported:", id="instruments"),
    # several outcomes joined by "+" are a multiple estimation (tests/test_multiple_estimation.py)
    pytest.param(dict(fml="y:x2 ~ x1"), ValueError, "one dependent variable", id="interacted_outcome"),
    pytest.param(dict(fml="y ~ x1 | a*b"), ValueError, "fixed effect 'a\\*b'.*supported:", id="bad_effect"),
    pytest.param(dict(fml="y x1"), ValueError, "exactly one '~'", id="no_tilde"),
    # without fixed effects (with them, "y ~ 1 | a" is the model of the effects alone)
    pytest.param(dict(fml="y ~ 0"), ValueError, "no regressor", id="no_regressor"),
    pytest.param(dict(fml="y ~ x1", vcov="HC4"), ValueError, "vcov = 'HC4' is not supported; supported:", id="hc4"),
    pytest.param(dict(fml="y ~ x1", vcov={"CRV1": "a+b+c+firm+w"}), ValueError, "at most 4", id="five_way"),
    pytest.param(dict(fml="y ~ x1", ssc="stata9"), ValueError, "ssc = 'stata9' is not a preset", id="ssc_name"),
    pytest.param(dict(fml="y ~ x1", ssc={"k_adj": 1}), TypeError, "k_adj must be True or False", id="ssc_field"),
    pytest.param(dict(fml="y ~ x1", ssc={"G_df": "max"}), ValueError, "G_df must be one of", id="ssc_value"),
    pytest.param(dict(fml="y ~ x1", fixef_tol=0), ValueError, "fixef_tol must be a positive", id="tol"),
    pytest.param(dict(fml="y ~ x1", weights="firm"), TypeError, "weights: column 'firm' must be numeric", id="text_w"),
    pytest.param(dict(fml="firm ~ x1"), TypeError, "dependent variable 'firm' must be numeric", id="text_y"),
]


@pytest.mark.parametrize("kwargs, error, message", ERRORS)
def test_bad_arguments_are_named(frame, kwargs, error, message):
    with pytest.raises(error, match=message):
        vantrel.feols(data=frame, **kwargs)


@pytest.mark.parametrize("value", [0.0, -1.0, np.inf])
def test_non_positive_weights_are_refused_as_pyfixest_does(frame, value):
    frame.loc[7, "w"] = value
    with pytest.raises(ValueError, match=r"weights: column 'w' must hold positive finite values; 1 row\(s\) do not"):
        vantrel.feols("y ~ x1 | a", frame, weights="w")


def test_missing_weight_drops_its_row(frame):
    with_gap = frame.copy()
    with_gap.loc[9, "w"] = np.nan
    fit = vantrel.feols("y ~ x1 | a", with_gap, weights="w")
    dropped = vantrel.feols("y ~ x1 | a", frame.drop(index=9), weights="w")
    assert 9 not in fit.resid().index
    pd.testing.assert_series_equal(fit.se(), dropped.se(), rtol=1e-12)


def test_unsupported_data_is_named():
    with pytest.raises(TypeError, match="data must be a pandas, polars or pyarrow table.*got list"):
        vantrel.feols("y ~ x", [[1.0, 2.0]])


def _integer_ids_frame(layout):
    """100,000 rows (long enough for the kernel to code on two threads): effect f with gaps,
    negative values and a few singletons, effect g, cluster variable c (not an effect), and
    gaps in x1 (so only some rows are read)."""
    rng = np.random.default_rng(21)
    n = 100_000
    f = rng.integers(-3000, 3000, n) * 2
    f[rng.choice(n, 40, replace=False)] = np.arange(40) * 2 + 1  # odd: alone in their group
    g = rng.integers(0, 300, n)
    c = rng.integers(10, 510, n)
    ids = np.column_stack([f, g, c])  # row-major: a frame over it has strided columns
    if layout == "one_block":
        df = pd.DataFrame(ids, columns=["f", "g", "c"], copy=False)
        assert df["f"].to_numpy().strides == (24,)
    else:
        df = pd.DataFrame({"f": f, "c": c})
    if layout == "columns":
        df["g"] = g.astype(np.int32)
    df["x1"] = rng.normal(size=n)
    df["y"] = 0.5 * df["x1"] + rng.normal(size=3000 * 2 * 2)[f + 6000] + rng.normal(size=n)
    df.loc[rng.choice(n, 500, replace=False), "x1"] = np.nan
    return df


@pytest.mark.parametrize("layout", ["columns", "one_block"])
@pytest.mark.parametrize("vcov", ["iid", {"CRV1": "c+f"}])
def test_integer_ids_number_the_levels_as_grouping_does(layout, vcov):
    """Integer effects and clusters are coded by counting in the kernel; the same variables
    as floats go through pandas' grouping. Both number the levels alike, so every number
    of the estimate is the same to the last bit."""
    df = _integer_ids_frame(layout)
    as_floats = df.astype({"f": np.float64, "g": np.float64, "c": np.float64})
    counted = vantrel.feols("y ~ x1 | f + g", df, vcov=vcov, n_threads=2)
    grouped = vantrel.feols("y ~ x1 | f + g", as_floats, vcov=vcov, n_threads=2)
    assert counted.nobs_dropped == grouped.nobs_dropped and counted.nobs_dropped["singletons"] == 40
    assert counted.fixef_levels == grouped.fixef_levels and counted.clusters == grouped.clusters
    np.testing.assert_array_equal(counted.coef(), grouped.coef())
    np.testing.assert_array_equal(counted.se(), grouped.se())
    np.testing.assert_array_equal(counted.resid(), grouped.resid())
