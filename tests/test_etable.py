"""Regression tables: the printed numbers read back equal each fit's estimates and standard
errors at the printed precision, the stars follow the p-values from scipy's t distribution,
the fixed-effect rows follow each fit's formula, and each output's markup is well formed."""

import re

import numpy as np
import pandas as pd
import pytest
import scipy.stats

import vantrel


@pytest.fixture(scope="module")
def fits():
    rng = np.random.default_rng(3)
    n = 400
    d = pd.DataFrame({"x": rng.normal(size=n), "z": rng.normal(size=n), "f": rng.integers(0, 9, n)})
    d["h"] = rng.integers(0, 4, n)
    d["y"] = 0.3 * d["x"] + 0.02 * d["z"] + 0.2 * d["f"] + rng.normal(size=n)
    return [
        vantrel.feols("y ~ x + z | f", d, vcov={"CRV1": "f"}),
        vantrel.feols("y ~ x", d, vcov="hetero"),
        vantrel.feols("y ~ x | f + h", d, vcov="iid"),
    ]


def _cell_number(text):
    return float(re.sub(r"[()*]", "", text))


def test_numbers_and_stars_read_back(fits):
    table = vantrel.etable(fits, type="df", digits=4)
    labels = list(table.index)
    for j, fit in enumerate(fits):
        column = table.iloc[:, j]
        for name in fit.coefnames:
            i = labels.index(name)
            b, se = fit.coef()[name], fit.se()[name]
            assert _cell_number(column.iloc[i]) == pytest.approx(b, abs=0.5e-4)
            assert _cell_number(column.iloc[i + 1]) == pytest.approx(se, abs=0.5e-4)
            # the oracle p-value: Student's t with the fit's degrees of freedom
            p = 2 * scipy.stats.t.sf(abs(b / se), fit.df_t)
            stars = "***" if p < 0.001 else "**" if p < 0.01 else "*" if p < 0.05 else ""
            assert column.iloc[i].count("*") == len(stars)
        assert column["Observations"] == f"{fit.nobs:,}"
    assert list(table.loc["S.E. type"]) == ["by: f", "hetero", "iid"]
    assert list(table.loc["f"]) == ["Yes", "-", "Yes"] and list(table.loc["h"]) == ["-", "-", "Yes"]
    assert [c[0] for c in table.columns] == ["y", "y", "y"]


def test_keep_drop_labels_and_single_fit(fits):
    table = vantrel.etable(fits, keep=["z", "x"], drop="^z$", labels={"x": "Slope"})
    assert "Slope" in table.index and "z" not in table.index and "Intercept" not in table.index
    one = vantrel.etable(fits[0])
    assert one.shape[1] == 1 and "R2 Within" in one.index


def test_models_collection():
    rng = np.random.default_rng(4)
    d = pd.DataFrame({"x": rng.normal(size=200), "f": rng.integers(0, 5, 200)})
    d["y1"], d["y2"] = d["x"] + rng.normal(size=200), rng.normal(size=200)
    models = vantrel.feols("y1 + y2 ~ x | f", d)
    table = vantrel.etable(models)
    assert [c[0] for c in table.columns] == ["y1", "y2"]
    assert _cell_number(table.iloc[0, 1]) == pytest.approx(models[1].coef()["x"], abs=0.5e-3)


def test_markdown_and_latex(fits):
    md = vantrel.etable(fits, type="md")
    rows = [line for line in md.splitlines() if line.startswith("|")]
    assert len({line.count("|") for line in rows}) == 1 and rows[0].count("|") == len(fits) + 2
    tex = vantrel.etable(fits, type="tex")
    assert tex.count(r"\begin{tabular}") == tex.count(r"\end{tabular}") == 1
    for rule in (r"\toprule", r"\midrule", r"\bottomrule"):
        assert rule in tex
    body = tex[tex.index(r"\toprule") : tex.index(r"\bottomrule")]
    assert {line.count("&") for line in body.splitlines() if line.endswith(r"\\")} == {len(fits)}


def test_html_escapes_names(fits):
    out = vantrel.etable(fits, type="html", labels={"x": "C(g)[T.a]<b>"})
    assert "C(g)[T.a]&lt;b&gt;" in out and "<b>" not in out


@pytest.mark.parametrize(
    ("kwargs", "word"),
    [
        ({"models_or_fits": "y ~ x"}, "models_or_fits"),
        ({"models_or_fits": [1]}, "models_or_fits"),
        ({"models_or_fits": []}, "models_or_fits"),
        ({"type": "xlsx"}, "type"),
        ({"signif_code": [0.05, 0.01, 0.001]}, "signif_code"),
        ({"keep": 3}, "keep"),
    ],
    ids=["string", "list-of-int", "empty", "type", "signif-order", "keep-type"],
)
def test_errors_name_the_argument(fits, kwargs, word):
    kwargs = {"models_or_fits": fits, **kwargs}
    with pytest.raises((TypeError, ValueError), match=word):
        vantrel.etable(**kwargs)
