"""Multiple estimation: several outcomes, stepwise terms, split samples.

Oracles: each model estimated alone by feols; pyfixest's multiple estimation of the same
formula in the same run; the order fixest documents (its multiple-estimation vignette);
the split parts estimated by hand on the subsets of the data."""

import re

import numpy as np
import pandas as pd
import pyfixest as pf
import pytest

import vantrel
from vantrel.formula.parse import FormulaError


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    n = 600
    frame = pd.DataFrame(
        {
            "x1": rng.normal(size=n),
            "x2": rng.normal(size=n),
            "x3": rng.normal(size=n),
            "f": rng.integers(0, 12, n),
            "h": rng.integers(0, 7, n),
            "g": rng.choice(["c", "a", "b"], n),
            "w": rng.uniform(0.5, 2.0, n),
        }
    )
    effect = rng.normal(size=12)[frame["f"]] + rng.normal(size=7)[frame["h"]]
    frame["y1"] = 1 + 0.5 * frame["x1"] - 0.3 * frame["x2"] + effect + rng.normal(size=n)
    frame["y2"] = -2 + 0.2 * frame["x1"] + 0.7 * frame["x3"] + effect + rng.normal(size=n)
    # missing values in different columns give models with different samples
    frame.loc[rng.choice(n, 25, replace=False), "x2"] = np.nan
    frame.loc[rng.choice(n, 10, replace=False), "y2"] = np.nan
    return frame


def _same_fit(got, alone, tol=1e-10):
    assert got.formula == alone.formula
    assert got.nobs == alone.nobs and got.coefnames == alone.coefnames
    np.testing.assert_allclose(got.beta, alone.beta, rtol=tol, atol=tol)
    np.testing.assert_allclose(got.se().to_numpy(), alone.se().to_numpy(), rtol=tol, atol=tol)


MULTIPLE = {
    "outcomes": "y1 + y2 ~ x1 + x2 | f",
    "sw-rhs": "y1 ~ x1 + sw(x2, x3) | f",
    "csw0-rhs-two-effects": "y2 ~ x1 + csw0(x2, x3) | f + h",
    "csw0-rhs-alone": "y2 ~ csw0(x1, x2)",
    "sw0-fixef": "y1 + y2 ~ x1 + x2 | sw0(f, h)",
    "csw-fixef": "y1 ~ x1 + csw(x2, x3) | csw(f, h)",
    "csw0-fixef-interacted": "y1 ~ x1 | csw0(f, f^h)",
    "two-stepwise-rhs": "y1 ~ sw(x1, x2) + csw(x3, C(g))",
    "formulaic-terms": "y1 + y2 ~ sw(x1 + x1:x3, C(g)) | f",
}


@pytest.mark.parametrize("vcov", [None, "hetero", {"CRV1": "f"}], ids=["iid", "hetero", "crv1"])
@pytest.mark.parametrize("fml", list(MULTIPLE.values()), ids=list(MULTIPLE))
def test_each_model_equals_the_model_estimated_alone(data, fml, vcov):
    models = vantrel.feols(fml, data, vcov=vcov, fixef_tol=1e-12)
    assert isinstance(models, vantrel.Models) and len(models) > 1
    for fit in models:
        _same_fit(fit, vantrel.feols(fit.formula, data, vcov=vcov, fixef_tol=1e-12))


def test_weights_apply_to_every_model(data):
    models = vantrel.feols("y1 + y2 ~ x1 + csw(x2, x3) | f", data, weights="w", fixef_tol=1e-12)
    for fit in models:
        _same_fit(fit, vantrel.feols(fit.formula, data, weights="w", fixef_tol=1e-12))
        assert fit.weights == "w"


def _pyfixest_models(fml, data, **kwargs):
    return list(pf.feols(fml, data, **kwargs).all_fitted_models.values())


@pytest.mark.parametrize(
    "fml, kwargs",
    [
        pytest.param("y1 + y2 ~ x1 + csw0(x2, x3) | sw0(f, h)", {}, id="outcomes-csw0-sw0"),
        pytest.param("y1 ~ sw(x1, x2) + csw(x3, x2)", {}, id="two-stepwise"),
        pytest.param("y1 + y2 ~ x1 + x2 | csw(f, h)", {"vcov": {"CRV1": "f"}}, id="csw-fixef-clustered"),
        pytest.param("y1 ~ x1 + sw(x2, x3) | f", {"split": "g"}, id="split"),
        pytest.param("y1 + y2 ~ x1 | sw0(f, h)", {"fsplit": "g"}, id="fsplit"),
    ],
)
def test_models_match_pyfixest_in_its_order(data, fml, kwargs):
    ours = vantrel.feols(fml, data, fixef_tol=1e-12, **kwargs)
    theirs = _pyfixest_models(fml, data, demeaner=pf.MapDemeaner(fixef_tol=1e-12), **kwargs)
    assert len(ours) == len(theirs)
    for fit, peer in zip(ours, theirs, strict=True):
        assert fit.nobs == peer._N
        peer_coef = peer.coef().rename({"Intercept": "Intercept"})
        assert sorted(fit.coefnames) == sorted(peer_coef.index)
        np.testing.assert_allclose(fit.coef()[peer_coef.index].to_numpy(), peer_coef.to_numpy(), rtol=1e-8, atol=1e-10)
        np.testing.assert_allclose(fit.se()[peer_coef.index].to_numpy(), peer.se().to_numpy(), rtol=1e-6)


def test_order_is_fixests_documented_order():
    # fixest's vignette on multiple estimations: feols(c(y1, y2) ~ x1 + csw(x2, x2^2) |
    # sw0(species), base, fsplit = ~species) is 32 models, listed by sample (the full sample
    # first), then fixed effects, then outcome, then right-hand side
    rng = np.random.default_rng(3)
    n = 150
    base = pd.DataFrame(rng.normal(size=(n, 4)), columns=["y1", "y2", "x1", "x2"])
    base["species"] = np.repeat(["setosa", "versicolor", "virginica"], 50)
    models = vantrel.feols("y1 + y2 ~ x1 + csw(x2, I(x2**2)) | sw0(species)", base, fsplit="species")
    assert len(models) == 32
    got = [(key.sample, key.fixef or "1", key.lhs, key.rhs) for key in models.keys]
    samples = ["Full sample", "species = setosa", "species = versicolor", "species = virginica"]
    expected = [
        (sample, fixef, lhs, rhs)
        for sample in samples
        for fixef in ["1", "species"]
        for lhs in ["y1", "y2"]
        for rhs in ["x1 + x2", "x1 + x2 + I(x2**2)"]
    ]
    assert got == expected
    # the vignette's first rows, as printed there
    assert got[:3] == [
        ("Full sample", "1", "y1", "x1 + x2"),
        ("Full sample", "1", "y1", "x1 + x2 + I(x2**2)"),
        ("Full sample", "1", "y2", "x1 + x2"),
    ]
    assert got[4] == ("Full sample", "species", "y1", "x1 + x2")


@pytest.mark.parametrize("argument", ["split", "fsplit"])
def test_split_parts_equal_the_subsets_by_hand(data, argument):
    models = vantrel.feols("y1 ~ x1 + x2 | f", data, vcov={"CRV1": "h"}, **{argument: "g"})
    by_hand = [("Full sample", data)] if argument == "fsplit" else []
    by_hand += [(f"g = {value}", data[data["g"] == value]) for value in ["a", "b", "c"]]
    assert [key.sample for key in models.keys] == [label for label, _ in by_hand]
    for fit, (_, part) in zip(models, by_hand, strict=True):
        alone = vantrel.feols("y1 ~ x1 + x2 | f", part, vcov={"CRV1": "h"})
        _same_fit(fit, alone)
        # the residuals keep the rows' labels of the caller's table
        pd.testing.assert_index_equal(fit.resid().index, alone.resid().index)
    assert models.names[-1] == "y1 ~ x1 + x2 | f (sample: g = c)"


def test_split_rows_without_a_value_belong_to_no_part(data):
    frame = data.assign(g=data["g"].where(data.index % 10 != 0))
    with pytest.warns(UserWarning, match=r"split = 'g': 60 row\(s\) have no value in 'g'"):
        models = vantrel.feols("y1 ~ x1", frame, split="g")
    assert sum(fit.nobs for fit in models) == frame["g"].notna().sum()


def test_a_single_model_is_a_single_result(data):
    fit = vantrel.feols("y1 ~ x1 + x2 | f", data)
    assert isinstance(fit, vantrel.FeolsResult)


def test_models_sequence_and_tables(data):
    models = vantrel.feols("y1 + y2 ~ x1 + csw(x2, x3) | f", data)
    assert len(models) == 4 and len(list(models)) == 4
    assert isinstance(models[1:3], vantrel.Models) and models[1:3].names == models.names[1:3]
    assert models.names == ["y1 ~ x1 + x2 | f", "y1 ~ x1 + x2 + x3 | f", "y2 ~ x1 + x2 | f", "y2 ~ x1 + x2 + x3 | f"]
    coef, se, tidy = models.coef(), models.se(), models.tidy()
    assert list(coef.index.names) == ["model", "Coefficient"] and list(tidy.index.names) == ["model", "Coefficient"]
    for name, fit in zip(models.names, models, strict=True):
        pd.testing.assert_series_equal(coef[name], fit.coef().rename_axis("Coefficient"), check_names=False)
        pd.testing.assert_series_equal(se[name], fit.se().rename_axis("Coefficient"), check_names=False)
        pd.testing.assert_frame_equal(tidy.loc[name], fit.tidy(), check_names=False)
    assert repr(models).splitlines()[1].startswith("[0] y1 ~ x1 + x2 | f")


ERRORS = [
    ("y ~ x1:sw(x2, x3)", {}, FormulaError, "must be a whole term"),
    ("y1 ~ sw(x2)", {}, FormulaError, r"sw\(\) takes at least two non-empty argument"),
    ("y1 ~ csw0(x2, )", {}, FormulaError, r"csw0\(\) takes at least one non-empty argument"),
    ("y1 ~ sw(x1, csw(x2, x3))", {}, FormulaError, "cannot be nested"),
    ("sw(y1, y2) ~ x1", {}, FormulaError, "several outcomes are joined by '\\+'"),
    ("y1 + y1 ~ x1", {}, FormulaError, "repeats an outcome"),
    ("y1 ~ x1", {"split": "g", "fsplit": "g"}, ValueError, "give one of them"),
    ("y1 ~ x1", {"split": ["g"]}, TypeError, r"split must be a column name \(str\) or None, got \['g'\]"),
    ("y1 ~ x1", {"fsplit": "gg"}, ValueError, "fsplit: column 'gg' is not in data; the closest column is 'g'"),
]


@pytest.mark.parametrize(
    "fml, kwargs, error, text", [pytest.param(*case, id=f"{case[0]}-{case[1]}") for case in ERRORS]
)
def test_unsupported_combinations_are_named(data, fml, kwargs, error, text):
    with pytest.raises(error, match=text) as info:
        vantrel.feols(fml, data, **kwargs)
    if error is FormulaError:
        assert str(info.value).startswith(f"fml = {fml!r}")


def test_csw0_with_fixed_effects_starts_with_the_effects_alone(data):
    # the first model absorbs the intercept and has no coefficient: the effects are the fit
    models = vantrel.feols("y1 ~ csw0(x1, x2) | f", data)
    alone = vantrel.feols("y1 ~ 1 | f", data)
    assert models[0].coefnames == [] and models[0].nobs == alone.nobs
    assert models[0].r2 == pytest.approx(alone.r2, rel=1e-12)
    np.testing.assert_allclose(models[0].resid().to_numpy(), alone.resid().to_numpy(), atol=1e-12)


def test_split_out_of_memory_is_refused_with_the_argument(data):
    duckdb = pytest.importorskip("duckdb")
    with pytest.raises(ValueError, match=re.escape("split = 'g': splitting the sample needs the data in memory")):
        vantrel.feols("y1 ~ x1", duckdb.from_df(data), split="g")


def test_multiple_formula_out_of_memory_equals_memory(data):
    duckdb = pytest.importorskip("duckdb")
    frame = data.dropna()
    far = vantrel.feols("y1 + y2 ~ x1 + csw(x2, x3) | f", duckdb.from_df(frame))
    near = vantrel.feols("y1 + y2 ~ x1 + csw(x2, x3) | f", frame)
    assert far.names == near.names
    for a, b in zip(far, near, strict=True):
        _same_fit(a, b, tol=1e-8)


def test_models_of_one_sample_and_effects_share_one_absorption(data):
    # x3 has no missing values, x2 has: the models with x2 have fewer rows, and share
    # their absorption only among themselves; y2's missing values make a sample of its own
    frame = data.assign(y2=data["y2"].fillna(0.0))
    models = vantrel.feols("y1 + y2 ~ x1 + sw(x3, x2) | f", frame)
    shared = [fit.absorption["shared_columns"] for fit in models]
    # [y1, y2, x1, x3] on every row; [y1, y2, x1, x2] on the rows with x2
    assert shared == [4, 4, 4, 4]
    assert [fit.nobs for fit in models] == [600, 575, 600, 575]
    # every model of a group reports the one run of the solver
    assert models[0].absorption == models[2].absorption and models[1].absorption == models[3].absorption
    for fit in models:
        _same_fit(fit, vantrel.feols(fit.formula, frame), tol=1e-10)


def test_models_with_different_effects_do_not_share(data):
    models = vantrel.feols("y1 ~ x1 + x3 | sw(f, h)", data)
    assert [fit.absorption["shared_columns"] for fit in models] == [3, 3]
    assert [fit.fixef_labels for fit in models] == [["f"], ["h"]]
    for fit in models:
        _same_fit(fit, vantrel.feols(fit.formula, data))
