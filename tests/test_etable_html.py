"""etable(type="html") rendered by great_tables: the numbers read back from the HTML cells
must be statsmodels' estimates of the same models (fixed effects as dummies); without
great_tables the error names the extra to install."""

import re
import sys

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf

import vantrel


@pytest.fixture(scope="module")
def frame():
    rng = np.random.default_rng(5)
    n = 240
    data = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n), "f": rng.integers(0, 8, n)})
    data["y"] = 0.8 * data["x1"] + 0.3 * data["x2"] + 0.1 * data["f"] + rng.normal(size=n)
    return data


def _cells(html):
    """The text of every body cell, row by row (row label first)."""
    rows = re.findall(r"<tr>(.*?)</tr>", html, flags=re.S)
    out = []
    for row in rows:
        cells = [re.sub(r"<[^>]+>", "", cell).strip() for cell in re.findall(r"<t[hd][^>]*>(.*?)</t[hd]>", row, re.S)]
        if cells:
            out.append(cells)
    return out


@pytest.mark.parametrize("digits", [3, 5], ids=["3_digits", "5_digits"])
def test_html_numbers_are_the_dummy_regression(frame, digits):
    fits = [vantrel.feols("y ~ x1 | f", frame), vantrel.feols("y ~ x1 + x2 | f", frame)]
    oracles = [smf.ols("y ~ x1 + C(f)", frame).fit(), smf.ols("y ~ x1 + x2 + C(f)", frame).fit()]
    html = vantrel.etable(fits, type="html", digits=digits)
    assert html.lstrip().startswith("<div") and "</table>" in html
    rows = _cells(html)
    labels = [row[0] for row in rows]
    for name in ("x1", "x2"):
        at = labels.index(name)
        estimates, errors = rows[at][1:], rows[at + 1][1:]
        for estimate, error, oracle in zip(estimates, errors, oracles, strict=True):
            if name not in oracle.params:
                assert estimate == "" and error == ""
                continue
            assert float(estimate.rstrip("*")) == pytest.approx(round(oracle.params[name], digits), abs=10**-digits)
            assert float(error.strip("()")) == pytest.approx(round(oracle.bse[name], digits), abs=10**-digits)
    observations = rows[labels.index("Observations")][1:]
    assert [int(v.replace(",", "")) for v in observations] == [int(o.nobs) for o in oracles]
    assert rows[labels.index("f")][1:] == ["Yes", "Yes"]


def test_html_without_great_tables_names_the_extra(frame, monkeypatch):
    monkeypatch.setitem(sys.modules, "great_tables", None)
    fit = vantrel.feols("y ~ x1 | f", frame)
    with pytest.raises(ImportError, match=r"vantrel\[tables\]"):
        vantrel.etable(fit, type="html")
