"""Missing values and column types in `feols`: a row with a missing value in any column a
term reads is dropped, whatever the column's dtype or library; text of every type is read
as categories; what cannot be estimated is refused naming the column. Oracles, in the
same run: statsmodels' least squares on the complete rows of a plain copy (object text,
float64 numbers) and pyfixest."""

import decimal
import warnings

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pyfixest as pf
import pytest
import statsmodels.formula.api as smf

import vantrel

# pyfixest 0.60 calls pandas methods with inplace=True, which pandas 3.1 deprecates.
pytestmark = pytest.mark.filterwarnings("ignore:The inplace keyword")


@pytest.fixture
def plain():
    """y, x, a text column g (first rows a, b, c: every dictionary lists them in that
    order), a boolean b and an integer k, each with gaps (None), and an effect f."""
    rng = np.random.default_rng(5)
    n = 120
    g = np.array(["a", "b", "c"], dtype=object)[np.r_[0, 1, 2, rng.integers(0, 3, n - 3)]]
    b = (rng.random(n) < 0.5).astype(object)
    k = rng.integers(0, 3, n).astype(object)
    for column in (g, b, k):
        column[rng.choice(np.arange(3, n), 12, replace=False)] = None
    x = rng.normal(size=n)
    y = x + (g == "b") - 2 * (g == "c") + 0.5 * (b == True) * x + (k == 2) + rng.normal(size=n)  # noqa: E712
    objects = {name: pd.Series(values, dtype=object) for name, values in {"g": g, "b": b, "k": k}.items()}
    return pd.DataFrame({"y": y, "x": x, **objects, "f": rng.integers(0, 5, n)})


def _typed(plain, column, kind):
    """`plain` with `column` in the dtype `kind`, as a pandas, polars or pyarrow table."""
    values = plain[column].tolist()
    frame = plain.drop(columns=["g", "b", "k"])
    if kind.startswith(("polars", "pyarrow")):
        library, arrow_type = kind.split("_", 1)
        array = pa.array(values, {"string": pa.string(), "bool": pa.bool_(), "int": pa.int64()}.get(arrow_type))
        if arrow_type == "dictionary":
            array = array.dictionary_encode()
        table = pa.Table.from_pandas(frame, preserve_index=False).append_column(column, array)
        return table if library == "pyarrow" else pl.from_arrow(table)
    if kind == "arrow_dictionary":
        typed = pd.arrays.ArrowExtensionArray(pa.array(values).dictionary_encode())
    elif kind == "categorical":
        typed = pd.Categorical(values)
    elif kind == "float":
        typed = np.array([np.nan if v is None else v for v in values], dtype=float)
    else:
        typed = pd.array(values, dtype={"arrow_string": pd.ArrowDtype(pa.large_string())}.get(kind, kind))
    return frame.assign(**{column: typed})


def _statsmodels(plain, fml, column, as_type=None):
    """statsmodels on the complete rows, the column in `as_type`; coefficients by name."""
    complete = plain[plain[column].notna()].astype({column: as_type or plain[column].dtype})
    rhs, _, effect = fml.partition("|")
    fit = smf.ols(rhs + (f" + C({effect.strip()})" if effect else ""), complete).fit()
    return fit.params.drop(index=[name for name in fit.params.index if "C(f)" in name]), len(complete)


TEXT = ["object", "str", "string", "string[pyarrow]", "arrow_string", "arrow_dictionary", "categorical"]
TEXT += ["polars_string", "polars_dictionary", "pyarrow_string", "pyarrow_dictionary"]


@pytest.mark.parametrize("fml", ["y ~ x + C(g)", "y ~ x + g", "y ~ x + x:g | f"])
@pytest.mark.parametrize("kind", TEXT)
def test_missing_text_drops_the_row(plain, kind, fml):
    fit = vantrel.feols(fml, _typed(plain, "g", kind))
    expected, n = _statsmodels(plain, fml, "g")
    assert fit.nobs == n and fit.nobs_dropped["missing"] == 12
    pd.testing.assert_series_equal(fit.coef(), expected[fit.coefnames], check_names=False, rtol=1e-9)
    reference = pf.feols(fml, plain[["y", "x", "f"]].assign(g=plain["g"]), vcov="iid")
    np.testing.assert_allclose(fit.coef(), reference.coef()[fit.coefnames], rtol=1e-9)


@pytest.mark.parametrize("fml", ["y ~ x + b", "y ~ x * b", "y ~ x + C(b) | f"])
@pytest.mark.parametrize("kind", ["boolean", "bool[pyarrow]", "polars_bool", "pyarrow_bool"])
def test_missing_boolean_drops_the_row(plain, kind, fml):
    """Read as a number named b (not a category b[T.True]), NA in a product included."""
    fit = vantrel.feols(fml, _typed(plain, "b", kind))
    expected, n = _statsmodels(plain, fml, "b", bool if "C(b)" in fml else float)
    assert fit.nobs == n
    pd.testing.assert_series_equal(fit.coef(), expected[fit.coefnames], check_names=False, rtol=1e-9)


@pytest.mark.parametrize("kind", ["float", "Int64", "int64[pyarrow]", "polars_int", "pyarrow_int", "object"])
def test_missing_number_in_a_categorical_term_drops_the_row(plain, kind):
    fit = vantrel.feols("y ~ x + C(k) | f", _typed(plain, "k", kind))
    expected, n = _statsmodels(plain, "y ~ x + C(k) | f", "k", float if kind == "float" else int)
    assert fit.nobs == n
    pd.testing.assert_series_equal(fit.coef(), expected[fit.coefnames], check_names=False, rtol=1e-9)


def test_pyfixest_quickstart_data():
    """One missing f1 (and Y, X1) in pyfixest's own example data."""
    data = pf.get_data()
    assert vantrel.feols("Y ~ X1 + C(f1)", data).nobs == 997
    for fml in ("Y ~ X1 + C(f1)", "Y ~ X1 + C(f1) | f2", "Y ~ X1:C(f1) | f2 + f3"):
        fit, reference = vantrel.feols(fml, data), pf.feols(fml, data, vcov="iid")
        assert fit.nobs == reference._N
        np.testing.assert_allclose(fit.coef(), reference.coef()[fit.coefnames], rtol=1e-8)
        np.testing.assert_allclose(fit.se(), reference.se()[fit.coefnames], rtol=1e-8)


@pytest.mark.parametrize(
    "column, kind, fml",
    [
        ("g", "string", "y ~ x + g | f"),
        ("g", "arrow_dictionary", "y ~ x | f^g"),
        ("b", "boolean", "y ~ x * b"),
        ("k", "Int64", "y ~ x + C(k)"),
    ],
)
def test_prediction_is_missing_where_a_term_reads_a_missing_value(plain, column, kind, fml):
    data = _typed(plain, column, kind)
    fit = vantrel.feols(fml, data)
    prediction = fit.predict(data)
    assert prediction[plain[column].isna()].isna().all()
    np.testing.assert_allclose(prediction.loc[fit.resid().index], fit.fitted(), rtol=1e-10)


ERRORS = [
    pytest.param(
        {"z": np.arange(6) + 1j}, "y ~ x + z", r"regressor 'z' is complex \(column\(s\) \['z'\]", id="complex"
    ),
    pytest.param(
        {"z": np.arange(6) * 1j}, "y ~ x:z", r"regressor 'x:z' is complex \(column\(s\) \['x', 'z'\]", id="cx_x"
    ),
    pytest.param(
        {"z": pd.array([1, 2, 3] * 2, dtype=object)},
        "y ~ z",
        "column 'z' has dtype object and holds integer values.*C",
        id="object_numbers",
    ),
    pytest.param(
        {"z": pd.array([1, "a"] * 3, dtype=object)},
        "y ~ x:z",
        "column 'z' has dtype object and holds mixed-integer",
        id="mixed",
    ),
    pytest.param({"z": np.nan}, "y ~ x + z", r"column\(s\) \['z'\] have no usable value", id="all_nan"),
    pytest.param(
        {"g": pd.array([None] * 6, dtype="string")}, "y ~ x + C(g)", r"column\(s\) \['g'\] have", id="all_na_text"
    ),
    pytest.param(
        {"z": [1.0, 1, 1, np.nan, np.nan, np.nan]},
        "y ~ np.log(z - 1)",
        r"\['np.log\(z - 1\)'\] have no finite",
        id="log",
        marks=pytest.mark.filterwarnings("ignore:divide by zero"),
    ),
    pytest.param(
        {"z": [np.nan] * 3 + [1.0] * 3, "x": [1.0] * 3 + [np.nan] * 3},
        "y ~ x + z",
        "no row has one in all of",
        id="apart",
    ),
]


@pytest.mark.parametrize("columns, fml, message", ERRORS)
def test_unusable_columns_are_named(columns, fml, message):
    data = pd.DataFrame({"y": np.arange(6.0), "x": [0.5, 2, 1, 4, 3, 7]}).assign(**columns)
    with pytest.raises((TypeError, ValueError), match=message):
        vantrel.feols(fml, data)


def test_object_numbers_inside_c_are_categories(plain):
    as_objects = vantrel.feols("y ~ x + C(k)", plain.assign(k=plain["k"].fillna(0)))
    as_integers = vantrel.feols("y ~ x + C(k)", plain.assign(k=plain["k"].fillna(0).astype(int)))
    pd.testing.assert_series_equal(as_objects.coef(), as_integers.coef(), rtol=1e-12)


@pytest.mark.parametrize("empty", [pd.DataFrame({"y": [], "x": []}), pl.DataFrame({"y": [], "x": []})])
def test_empty_data_is_named(empty):
    with pytest.raises(ValueError, match="data has no rows to estimate fml = 'y ~ x' on"):
        vantrel.feols("y ~ x", empty)


def test_tables_that_pandas_cannot_rebuild_and_integer_labels(plain):
    """An Arrow dictionary column (used or not) in a table from pa.Table.from_pandas, and a
    pandas column labelled 7 written `7` in the formula."""
    data = _typed(plain, "g", "arrow_dictionary").assign(
        d=pd.arrays.ArrowExtensionArray(pa.array(["u", None] * 60).dictionary_encode())
    )
    expected = vantrel.feols("y ~ x + C(g)", data)
    table = pa.Table.from_pandas(data)
    pd.testing.assert_series_equal(vantrel.feols("y ~ x + C(g)", table).coef(), expected.coef(), rtol=1e-12)
    assert vantrel.feols("y ~ x", table).nobs == 120
    labelled = vantrel.feols("y ~ `7` + C(g)", data.rename(columns={"x": 7}))
    np.testing.assert_array_equal(labelled.coef(), expected.coef())
    assert labelled.coefnames[1] == "7" and labelled.predict(data.rename(columns={"x": 7})).notna().sum() == 108
    with pytest.raises(ValueError, match=r"data: column\(s\) \['7'\] appear more than once"):
        vantrel.feols("y ~ `7`", data.assign(**{"7": 1.0}).rename(columns={"x": 7}))


def test_nullable_integer_ids_and_decimals_from_arrow(plain):
    """Integer ids with nulls beyond 2**53 stay apart (float64 would merge 2**60 and
    2**60 + 1) and decimals are numbers."""
    ids = [None if v is None else 2**60 + v for v in plain["k"]]
    table = pa.Table.from_pandas(plain[["y", "x"]]).append_column("k", pa.array(ids, pa.int64()))
    table = table.append_column("dx", pa.array([decimal.Decimal(str(round(v, 6))) for v in plain["x"]]))
    fit = vantrel.feols("y ~ dx | k", pl.from_arrow(table))
    expected = vantrel.feols("y ~ x | k", plain.assign(x=plain["x"].round(6)))
    assert fit.fixef_levels == {"k": 3} and fit.nobs == expected.nobs == 108
    np.testing.assert_allclose(fit.coef(), expected.coef(), rtol=1e-12)


@pytest.mark.parametrize(
    "fml, column, fitted_as, new_as",
    [("y ~ x | f", "f", int, str), ("y ~ x | g", "g", str, lambda v: ord(v) - 97), ("y ~ x + C(f)", "f", int, str)],
    ids=["effect_text_for_integers", "effect_integers_for_text", "categorical_text_for_integers"],
)
def test_prediction_warns_when_a_column_changes_kind(plain, fml, column, fitted_as, new_as):
    data = plain.assign(g=plain["g"].fillna("a"))
    fit = vantrel.feols(fml, data.assign(**{column: data[column].map(fitted_as)}))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the same kind in another dtype predicts without a notice
        assert fit.predict(data.assign(**{column: data[column].map(fitted_as).astype("category")})).notna().all()
    with pytest.warns(UserWarning, match=f"predict: column '{column}' of newdata holds"):
        assert fit.predict(data.assign(**{column: data[column].map(new_as)})).isna().all()


def test_prediction_refuses_text_for_a_numeric_regressor(plain):
    fit = vantrel.feols("y ~ x", plain)
    with pytest.raises(TypeError, match="newdata: column 'x' must be numeric, as in the estimation data, got str"):
        fit.predict(plain.assign(x=plain["x"].astype(str)))
    with pytest.raises(ValueError, match="newdata: column 'x' is not in newdata"):
        fit.predict(plain.drop(columns="x"))
