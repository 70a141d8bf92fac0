"""Sun and Abraham's event study, sunab(cohort, period), and its aggregates.

Oracles: the cohort x relative-period indicators written out by hand from the estimator's
definition and regressed with statsmodels on unit and period dummies (coefficients and iid
covariance), the aggregates computed by hand from that regression with each cell's share of
the sample (weights and the variance s'Vs); pyfixest's saturated event study on its own
staggered panel (the same cells under clustered errors, and its Sun and Abraham weights);
invariances (an always-treated cohort left out equals the data without it; a relative period
given directly equals the one computed from the calendar period); the rank of the dummy design
for the cells dropped as collinear; the plotted points read back from the figure.
"""

import os
import re
import warnings

import matplotlib
import numpy as np
import pandas as pd
import pyfixest as pf
import pytest
import statsmodels.api as sm

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import vantrel  # noqa: E402

pytestmark = [
    # pyfixest 0.60 calls pandas methods with inplace=True, which pandas 3.1 deprecates
    pytest.mark.filterwarnings("ignore:The inplace keyword"),
]

NEVER = 1000


def staggered_panel(seed=0, units=60, periods=8, cohorts=(3, 5, 6, NEVER), unbalanced=False):
    """A panel of units treated at their cohort's period (NEVER: never), with effects that
    differ by cohort and relative period."""
    rng = np.random.default_rng(seed)
    cohort = rng.choice(cohorts, size=units)
    frame = pd.DataFrame(
        {"id": np.repeat(np.arange(units), periods), "year": np.tile(np.arange(1, periods + 1), units)}
    )
    frame["cohort"] = np.repeat(cohort, periods)
    rel = frame["year"] - frame["cohort"]
    treated = (frame["cohort"] != NEVER) & (rel >= 0)
    effect = np.where(treated, 0.5 + 0.2 * rel + 0.4 * (frame["cohort"] == 5), 0.0)
    frame["x"] = rng.normal(size=len(frame))
    frame["w"] = rng.uniform(0.5, 2.0, size=len(frame))
    frame["y"] = effect + 0.3 * (frame["id"] % 4) + 0.1 * frame["year"] + 0.5 * frame["x"] + rng.normal(size=len(frame))
    if unbalanced:  # gaps inside the panel, first and last period kept (no unit alone)
        inside = (frame["year"] > 1) & (frame["year"] < periods)
        frame = frame[~(inside & (rng.uniform(size=len(frame)) < 0.15))].reset_index(drop=True)
    return frame


def hand_cells(frame, ref_p=(-1,)):
    """The indicators of Sun and Abraham's cells by their definition: each treated cohort at
    each relative period but the references, named as fixest names them."""
    rel = frame["year"] - frame["cohort"]
    treated = frame["cohort"] != NEVER
    cells = sorted({(e, c) for e, c in zip(rel[treated], frame["cohort"][treated], strict=True) if e not in ref_p})
    return pd.DataFrame(
        {f"year::{e}:cohort::{c}": ((rel == e) & (frame["cohort"] == c)).astype(float) for e, c in cells},
        index=frame.index,
    )


def dummy_regression(frame, cells, covariates=(), weights=None):
    """statsmodels on the cells, covariates and unit and period dummies."""
    dummies = pd.get_dummies(frame[["id", "year"]].astype(str), drop_first=True, dtype=float)
    design = pd.concat([cells, frame[list(covariates)], dummies], axis=1).assign(const=1.0)
    if weights is None:
        return sm.OLS(frame["y"], design).fit()
    return sm.WLS(frame["y"], design, weights=frame[weights]).fit()


def hand_aggregates(params, cov, cells, agg, weights=None):
    """Each aggregate as the cells' estimates weighted by their share of its observations,
    with the variance s'Vs."""
    sizes = cells.sum() if weights is None else cells.mul(weights, axis=0).sum()
    groups = {}
    for name in cells.columns:
        e, c = (int(v) for v in re.match(r"year::(-?\d+):cohort::(\d+)", name).groups())
        if agg == "period":
            groups.setdefault(f"year::{e}", []).append(name)
        elif e >= 0:
            groups.setdefault("ATT" if agg == "ATT" else f"cohort::{c}", []).append(name)
    out = {}
    for key, names in groups.items():
        s = (sizes[names] / sizes[names].sum()).to_numpy()
        out[key] = (s @ params[names].to_numpy(), np.sqrt(s @ cov.loc[names, names].to_numpy() @ s))
    return pd.DataFrame.from_dict(out, orient="index", columns=["Estimate", "Std. Error"])


DESIGNS = {
    "balanced": dict(panel={}, fml="y ~ sunab(cohort, year) | id + year", covariates=(), ref_p=(-1,)),
    "unbalanced": dict(
        panel={"unbalanced": True}, fml="y ~ sunab(cohort, year) | id + year", covariates=(), ref_p=(-1,)
    ),
    "covariate": dict(panel={"seed": 3}, fml="y ~ x + sunab(cohort, year) | id + year", covariates=("x",), ref_p=(-1,)),
    "two_references": dict(
        panel={"seed": 4}, fml="y ~ sunab(cohort, year, ref_p=[-1, -4]) | id + year", covariates=(), ref_p=(-1, -4)
    ),
}


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("design", list(DESIGNS), ids=list(DESIGNS))
def test_cells_equal_the_dummy_regression(design, weighted):
    case = DESIGNS[design]
    frame = staggered_panel(**case["panel"])
    cells = hand_cells(frame, case["ref_p"])
    oracle = dummy_regression(frame, cells, case["covariates"], "w" if weighted else None)
    fit = vantrel.feols(case["fml"], frame, weights="w" if weighted else None)
    names = list(case["covariates"]) + list(cells.columns)
    assert fit.coefnames == names
    np.testing.assert_allclose(fit.coef()[names], oracle.params[names], rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(fit.vcov.loc[names, names], oracle.cov_params().loc[names, names], rtol=1e-6, atol=1e-12)


@pytest.mark.parametrize("agg", ["period", "ATT", "cohort"], ids=["period", "att", "cohort"])
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("design", ["balanced", "unbalanced"], ids=["balanced", "unbalanced"])
def test_aggregates_equal_the_shares_of_the_dummy_regression(design, weighted, agg):
    case = DESIGNS[design]
    frame = staggered_panel(**case["panel"])
    cells = hand_cells(frame)
    oracle = dummy_regression(frame, cells, (), "w" if weighted else None)
    expected = hand_aggregates(oracle.params, oracle.cov_params(), cells, agg, frame["w"] if weighted else None)
    fit = vantrel.feols(case["fml"], frame, weights="w" if weighted else None)
    table = fit.aggregate(agg)
    assert list(table.index) == list(expected.index)
    np.testing.assert_allclose(table["Estimate"], expected["Estimate"], rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(table["Std. Error"], expected["Std. Error"], rtol=1e-6)
    # t, p and the interval from the estimate and its error with the fit's degrees of freedom
    t = expected["Estimate"] / expected["Std. Error"]
    np.testing.assert_allclose(table["t value"], t, rtol=1e-6)
    half = table["97.5%"] - table["Estimate"]
    np.testing.assert_allclose(half, 1.959964 * expected["Std. Error"], rtol=0.05)


@pytest.fixture(scope="module")
def pyfixest_panel():
    """pyfixest's staggered panel (never treated: g = 0), every fifth unit."""
    path = os.path.join(os.path.dirname(pf.__file__), "did", "data", "df_het.csv")
    frame = pd.read_csv(path)
    return frame[frame["unit"] % 5 == 0].reset_index(drop=True)


def test_cells_and_period_aggregates_equal_pyfixest_saturated_event_study(pyfixest_panel):
    from pyfixest.did.saturated_twfe import SaturatedEventStudy, compute_period_weights

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        study = SaturatedEventStudy(
            pyfixest_panel, yname="dep_var", idname="unit", tname="year", gname="g", cluster="unit"
        )
        model = study.estimate()
    fit = vantrel.feols("dep_var ~ sunab(g, year) | unit + year", pyfixest_panel, vcov={"CRV1": "unit"})

    def ours(name):
        e, c = re.match(r"rel_time::(-?[\d.]+):first_treated_period::(\d+)", name).groups()
        return f"year::{int(float(e))}:cohort::{c}"

    theirs = model.coef()
    mapped = [ours(name) for name in theirs.index]
    assert sorted(mapped) == sorted(fit.coefnames)
    np.testing.assert_allclose(fit.coef()[mapped], theirs.to_numpy(), rtol=1e-6, atol=1e-9)
    np.testing.assert_allclose(fit.se()[mapped], model.se().to_numpy(), rtol=1e-6)

    shares = compute_period_weights(study._data, cohort="g", period="rel_time", treatment="is_treated")
    shares = shares[(shares["weight"] > 0) & (shares["rel_time"] != -1)]  # -1: the reference, no cell
    vcov = pd.DataFrame(model._vcov, index=mapped, columns=mapped)
    table = fit.aggregate("period")
    for period, group in shares.groupby("rel_time"):
        names = [f"year::{int(period)}:cohort::{c}" for c in group["g"]]
        s = group["weight"].to_numpy()
        row = table.loc[f"year::{int(period)}"]
        np.testing.assert_allclose(row["Estimate"], s @ fit.coef()[names].to_numpy(), rtol=1e-6)
        np.testing.assert_allclose(row["Std. Error"], np.sqrt(s @ vcov.loc[names, names].to_numpy() @ s), rtol=1e-6)


def test_always_treated_cohort_is_left_out_with_a_warning():
    frame = staggered_panel(seed=5, cohorts=(1, 3, 5, NEVER))
    always = frame["cohort"] == 1
    assert always.any()
    with pytest.warns(UserWarning, match=r"cohort\(s\) \['1'\] of 'cohort' are treated in every period"):
        fit = vantrel.feols("y ~ sunab(cohort, year) | id + year", frame)
    alone = vantrel.feols("y ~ sunab(cohort, year) | id + year", frame[~always])
    assert fit.nobs == alone.nobs == (~always).sum()
    assert fit.coefnames == alone.coefnames
    np.testing.assert_allclose(fit.coef(), alone.coef(), rtol=1e-10)
    np.testing.assert_allclose(fit.se(), alone.se(), rtol=1e-10)


@pytest.mark.parametrize("never", [NEVER, 0, np.inf], ids=["beyond", "zero", "inf"])
def test_never_treated_codes_and_relative_periods_give_the_same_estimate(never):
    frame = staggered_panel(seed=6)
    reference = vantrel.feols("y ~ sunab(cohort, year) | id + year", frame)
    recoded = frame.assign(cohort=frame["cohort"].replace(NEVER, never).astype(float))
    fit = vantrel.feols("y ~ sunab(cohort, year) | id + year", recoded)
    np.testing.assert_allclose(fit.coef().to_numpy(), reference.coef().to_numpy(), rtol=1e-10)
    assert fit.coefnames == reference.coefnames
    # the period given already relative (the never treated at negative periods only)
    relative = frame.assign(rel=frame["year"] - frame["cohort"])
    given = vantrel.feols("y ~ sunab(cohort, rel) | id + year", relative)
    assert [name.replace("rel::", "year::") for name in given.coefnames] == reference.coefnames
    np.testing.assert_allclose(given.coef().to_numpy(), reference.coef().to_numpy(), rtol=1e-10)


def test_collinear_cells_are_dropped_with_a_warning_naming_them():
    # without never-treated units the unit and period effects absorb two relative-period
    # trends: some cells are not identified
    frame = staggered_panel(seed=8, cohorts=(3, 5, 6))
    cells = hand_cells(frame)
    with pytest.warns(UserWarning, match="omitted due to collinearity") as caught:
        fit = vantrel.feols("y ~ sunab(cohort, year) | id + year", frame)
    assert fit.collinear
    message = next(str(w.message) for w in caught if "collinearity" in str(w.message))
    assert all(name in message for name in fit.collinear)
    dummies = pd.get_dummies(frame[["id", "year"]].astype(str), drop_first=True, dtype=float).assign(const=1.0)
    kept = np.column_stack([cells[fit.coefnames].to_numpy(), dummies.to_numpy()])
    assert np.linalg.matrix_rank(kept) == kept.shape[1]
    for name in fit.collinear:  # each dropped cell adds nothing to the kept columns' span
        assert np.linalg.matrix_rank(np.column_stack([kept, cells[name].to_numpy()])) == kept.shape[1]


def test_predictions_on_the_data_equal_the_fitted_values():
    frame = staggered_panel(seed=9, unbalanced=True)
    fit = vantrel.feols("y ~ x + sunab(cohort, year) | id + year", frame)
    np.testing.assert_allclose(fit.predict(frame)[fit.fitted().index], fit.fitted(), rtol=1e-9, atol=1e-9)


def test_iplot_draws_the_period_aggregates_against_the_relative_period():
    frame = staggered_panel(seed=10)
    cells = hand_cells(frame)
    oracle = dummy_regression(frame, cells)
    expected = hand_aggregates(oracle.params, oracle.cov_params(), cells, "period")
    fit = vantrel.feols("y ~ sunab(cohort, year) | id + year", frame)
    ax = fit.iplot().axes[0]
    ((line, _, (bars,)),) = [container.lines for container in ax.containers]
    x, y = (np.asarray(v, dtype=float) for v in line.get_data())
    periods = sorted([int(name.split("::")[1]) for name in expected.index] + [-1])
    np.testing.assert_allclose(x, periods)
    values = expected["Estimate"].to_dict() | {"year::-1": 0.0}
    np.testing.assert_allclose(y, [values[f"year::{p}"] for p in periods], rtol=1e-7, atol=1e-9)
    segments = bars.get_segments()
    half = np.array([abs(s[1][1] - s[0][1]) / 2 for s in segments])
    errors = expected["Std. Error"].to_dict() | {"year::-1": 0.0}
    scale = half[np.array(periods) != -1] / np.array([errors[f"year::{p}"] for p in periods if p != -1])
    np.testing.assert_allclose(scale, scale[0], rtol=1e-6)  # one t quantile for every period
    assert "relative to the treatment" in ax.get_xlabel()
    plt.close("all")


@pytest.mark.parametrize(
    ("fml", "error", "match"),
    [
        ("y ~ sunab(cohort) | id", ValueError, r"1 positional argument"),
        ("y ~ sunab(cohort, year, bin=2) | id", ValueError, r"uses bin=, which is not supported"),
        ("y ~ sunab(cohort, year, ref=1) | id", ValueError, r"ref_p= and ref_c= are the keywords"),
        ("y ~ sunab(cohort, year, ref_p='a') | id", ValueError, r"ref_p='a'; it takes a number"),
        ("y ~ x:sunab(cohort, year) | id", ValueError, r"uses sunab\(\) inside another term"),
        ("y ~ sunab(label, year) | id", TypeError, r"column 'label' of 'sunab\(label, year\)' must hold numbers"),
        pytest.param(
            "y ~ sunab(year, year) | id",
            ValueError,
            r"leaves no cell",
            # every cohort is then treated from its first period on, which is warned of first
            marks=pytest.mark.filterwarnings("ignore:sunab. cohort"),
        ),
    ],
    ids=["one_column", "bin", "unknown_keyword", "text_reference", "inside_product", "text_cohort", "no_cell"],
)
def test_sunab_errors_name_the_term(fml, error, match):
    frame = staggered_panel(seed=11).assign(label=lambda f: f["cohort"].astype(str))
    with pytest.raises(error, match=match):
        vantrel.feols(fml, frame)


def test_no_cohort_among_the_periods_is_an_error():
    frame = staggered_panel(seed=12).assign(cohort=5000)
    with pytest.raises(ValueError, match=r"no value of the cohort column 'cohort'"):
        vantrel.feols("y ~ sunab(cohort, year) | id + year", frame)


@pytest.mark.parametrize(
    ("fml", "agg", "match"),
    [
        ("y ~ x | id + year", "ATT", r"has no sunab\(\) term"),
        ("y ~ sunab(cohort, year) | id + year", "mean", r"agg must be one of 'period', 'ATT', 'cohort', got 'mean'"),
    ],
    ids=["no_sunab_term", "unknown_aggregate"],
)
def test_aggregate_errors(fml, agg, match):
    fit = vantrel.feols(fml, staggered_panel(seed=13))
    with pytest.raises(ValueError, match=match):
        fit.aggregate(agg)
