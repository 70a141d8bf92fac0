"""vantrel fits in maketables' regression tables, through its plug-in attributes.

Oracles: the numbers read back from the rendered table (the DataFrame maketables builds and
its Great Tables HTML) against statsmodels' estimate of the same model with the fixed
effects as dummies, rendered in the same table beside the vantrel fit; and the fits' own
N, R-squared and covariance type.
"""

import re

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf

import vantrel

mt = pytest.importorskip("maketables")

NUMBER = re.compile(r"-?\d+\.\d+")


@pytest.fixture(scope="module")
def frame():
    rng = np.random.default_rng(3)
    n = 300
    data = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n), "f": rng.integers(0, 12, n)})
    data["y"] = 1.5 * data["x1"] - 0.7 * data["x2"] + 0.2 * data["f"] + rng.normal(size=n)
    return data


CASES = {
    "iid": ({}, {}),
    "hetero": ({"vcov": "hetero"}, {"cov_type": "HC1"}),
}


def _cell_numbers(table, row_label, column):
    cell = table.df.loc[table.df.index.get_level_values(-1) == row_label].iloc[0, column]
    return [float(v) for v in NUMBER.findall(str(cell))]


@pytest.mark.parametrize("case", list(CASES), ids=list(CASES))
def test_etable_of_vantrel_and_statsmodels_reads_back_the_same_numbers(frame, case):
    ours, theirs = CASES[case]
    fit = vantrel.feols("y ~ x1 + x2 | f", frame, **ours)
    oracle = smf.ols("y ~ x1 + x2 + C(f)", frame).fit(**theirs)
    table = mt.ETable([fit, oracle], coef_fmt="b:.6f \n (se:.6f)", model_stats=["N", "r2"])
    for name in ("x1", "x2"):
        b_ours, se_ours = _cell_numbers(table, name, 0)
        b_theirs, se_theirs = _cell_numbers(table, name, 1)
        assert b_ours == pytest.approx(round(fit.coef()[name], 6), abs=1e-6)
        assert se_ours == pytest.approx(round(fit.se()[name], 6), abs=1e-6)
        # the dummy regression beside it prints the same estimate and error (fixest's
        # hetero correction, (N-1)/(N-K) times N/(N-1), is statsmodels' HC1 N/(N-K))
        assert b_ours == pytest.approx(b_theirs, abs=2e-6)
        assert se_ours == pytest.approx(se_theirs, abs=2e-6)
    stats = table.df.loc[table.df.index.get_level_values(-1) == "Observations"].iloc[0]
    assert [int(str(v).replace(",", "")) for v in stats] == [fit.nobs, int(oracle.nobs)]
    r2 = table.df.loc[table.df.index.get_level_values(-1) == "R²"].iloc[0]
    assert float(r2.iloc[0]) == pytest.approx(fit.r2, abs=1e-3)
    assert float(r2.iloc[1]) == pytest.approx(oracle.rsquared, abs=1e-3)


def test_rendered_html_holds_the_fit_numbers_and_fixed_effects(frame):
    fit = vantrel.feols("y ~ x1 + x2 | f", frame, vcov={"CRV1": "f"})
    html = mt.ETable([fit], coef_fmt="b:.4f \n (se:.4f)").make(type="gt").as_raw_html()
    for name in ("x1", "x2"):
        assert f"{fit.coef()[name]:.4f}" in html
        assert f"{fit.se()[name]:.4f}" in html
    assert ">f<" in html  # the fixed-effect row


@pytest.mark.parametrize(
    ("key", "expected"),
    [("N", "nobs"), ("r2", "r2"), ("adj_r2", "adj_r2"), ("r2_within", "within_r2"), ("rmse", "rmse")],
    ids=["N", "r2", "adj_r2", "r2_within", "rmse"],
)
def test_plugin_statistics_are_the_fit_attributes(frame, key, expected):
    fit = vantrel.feols("y ~ x1 | f", frame)
    assert fit.__maketables_stat__(key) == getattr(fit, expected)


def test_within_r2_is_absent_without_fixed_effects(frame):
    fit = vantrel.feols("y ~ x1", frame)
    assert fit.__maketables_stat__("r2_within") is None
    assert fit.__maketables_fixef_string__ is None
    assert fit.__maketables_stat__("not_a_statistic") is None
