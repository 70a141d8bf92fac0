"""Plots read back from their artists: each drawn point and interval must be the fit's
estimate and confidence bounds, the reference period must sit at 0, several models must be
one series each; and without matplotlib the error must name the extra to install."""

import sys

import matplotlib
import numpy as np
import pandas as pd
import pytest

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.collections import LineCollection, PolyCollection  # noqa: E402

import vantrel  # noqa: E402


@pytest.fixture(scope="module")
def panel():
    rng = np.random.default_rng(7)
    units, years = 60, np.arange(1980, 1986)
    frame = pd.DataFrame(
        {"unit": np.repeat(np.arange(units), len(years)), "year": np.tile(years, units)},
    )
    frame["treat"] = (frame["unit"] % 2).astype(float)
    frame["x"] = rng.normal(size=len(frame))
    effect = np.where(frame["year"] >= 1983, 1.5, 0.0) * frame["treat"]
    frame["y"] = 0.5 * frame["x"] + effect + frame["unit"] * 0.1 + rng.normal(size=len(frame))
    frame["z"] = frame["y"] + rng.normal(size=len(frame))
    return frame


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    plt.close("all")


def _errorbar_series(ax):
    """(x, y, lower, upper) per labelled errorbar container."""
    out = {}
    for container in ax.containers:
        line, _, (bars,) = container.lines[0], container.lines[1], container.lines[2]
        x, y = (np.asarray(v, dtype=float) for v in line.get_data())
        segments = bars.get_segments()
        lower = np.array([min(s[0][1], s[1][1]) for s in segments])
        upper = np.array([max(s[0][1], s[1][1]) for s in segments])
        assert np.allclose([s[0][0] for s in segments], x)
        out[container.get_label()] = (x, y, lower, upper)
    return out


@pytest.mark.parametrize("level", [0.95, 0.9], ids=["95", "90"])
def test_coefplot_draws_estimates_and_confint(panel, level):
    fit = vantrel.feols("y ~ x + treat | year", panel)
    fig = fit.coefplot(level=level)
    ax = fig.axes[0]
    ((x, y, lower, upper),) = _errorbar_series(ax).values()
    bounds = fit.confint(level)
    np.testing.assert_allclose(y, fit.coef().to_numpy())
    np.testing.assert_allclose(lower, bounds.iloc[:, 0].to_numpy())
    np.testing.assert_allclose(upper, bounds.iloc[:, 1].to_numpy())
    assert [t.get_text() for t in ax.get_xticklabels()] == fit.coefnames
    # the zero line
    assert any(np.allclose(line.get_ydata(), 0) for line in ax.lines)


@pytest.mark.parametrize(
    ("keep", "drop", "expected"),
    [
        ("^year::", None, ["year::1980", "year::1981", "year::1983", "year::1984", "year::1985"]),
        (None, "year", ["x"]),
        (["^x$", "1985"], None, ["x", "year::1985"]),
        ("^year::", "198[01]", ["year::1983", "year::1984", "year::1985"]),
    ],
    ids=["keep", "drop", "keep-list", "keep-and-drop"],
)
def test_coefplot_keep_drop(panel, keep, drop, expected):
    fit = vantrel.feols("y ~ x + i(year, ref=1982) | unit", panel)
    ax = vantrel.coefplot(fit, keep=keep, drop=drop).axes[0]
    assert [t.get_text() for t in ax.get_xticklabels()] == expected
    ((_, y, *_),) = _errorbar_series(ax).values()
    np.testing.assert_allclose(y, fit.coef()[expected].to_numpy())


def test_coefplot_keep_nothing_is_an_error(panel):
    fit = vantrel.feols("y ~ x | unit", panel)
    with pytest.raises(ValueError, match="keep = 'nothing'"):
        fit.coefplot(keep="nothing")


@pytest.mark.parametrize("as_list", [False, True], ids=["Models", "list"])
def test_coefplot_several_models_one_series_each(panel, as_list):
    models = vantrel.feols("y + z ~ x + treat | year", panel)
    fits = list(models) if as_list else models
    ax = vantrel.coefplot(fits).axes[0]
    series = _errorbar_series(ax)
    assert len(series) == 2
    assert ax.get_legend() is not None
    for (label, (_, y, lower, upper)), fit in zip(series.items(), models, strict=True):
        assert fit.formula in label
        np.testing.assert_allclose(y, fit.coef().to_numpy())
        np.testing.assert_allclose(lower, fit.confint().iloc[:, 0].to_numpy())
        np.testing.assert_allclose(upper, fit.confint().iloc[:, 1].to_numpy())


@pytest.mark.parametrize(
    ("fml", "periods", "references"),
    [
        ("y ~ i(year, treat, ref=1982) | unit + year", [1980, 1981, 1983, 1984, 1985], [1982]),
        ("y ~ x + i(year, ref=[1980, 1982]) | unit", [1981, 1983, 1984, 1985], [1980, 1982]),
    ],
    ids=["interacted", "two-references"],
)
def test_iplot_draws_periods_estimates_and_reference(panel, fml, periods, references):
    fit = vantrel.feols(fml, panel)
    ax = fit.iplot().axes[0]
    ((x, y, lower, upper),) = _errorbar_series(ax).values()
    names = [n for n in fit.coefnames if "::" in n]
    est, bounds = fit.coef()[names], fit.confint().loc[names]
    expected = {p: (est.iloc[i], bounds.iloc[i, 0], bounds.iloc[i, 1]) for i, p in enumerate(periods)}
    expected.update({r: (0.0, 0.0, 0.0) for r in references})
    order = sorted(expected)
    np.testing.assert_allclose(x, order)
    np.testing.assert_allclose(y, [expected[p][0] for p in order])
    np.testing.assert_allclose(lower, [expected[p][1] for p in order])
    np.testing.assert_allclose(upper, [expected[p][2] for p in order])
    # the zero line
    assert any(np.allclose(line.get_ydata(), 0) and len(set(line.get_xdata())) == 2 for line in ax.lines)


def test_iplot_band(panel):
    fit = vantrel.feols("y ~ i(year, treat, ref=1982) | unit + year", panel)
    ax = fit.iplot(ci="band", level=0.9).axes[0]
    (band,) = [c for c in ax.collections if isinstance(c, PolyCollection)]
    vertices = band.get_paths()[0].vertices
    names = fit.coefnames
    bounds = fit.confint(0.9).loc[names]
    lower = np.insert(bounds.iloc[:, 0].to_numpy(), 2, 0.0)  # 1982, the reference, at 0
    upper = np.insert(bounds.iloc[:, 1].to_numpy(), 2, 0.0)
    years = np.arange(1980, 1986)
    for year, lo, hi in zip(years, lower, upper, strict=True):
        at = vertices[np.isclose(vertices[:, 0], year), 1]
        assert np.isclose(at.min(), lo) and np.isclose(at.max(), hi)
    (line,) = [ln for ln in ax.lines if ln.get_label() == fit.formula]
    np.testing.assert_allclose(line.get_xdata(), years)
    np.testing.assert_allclose(line.get_ydata(), np.insert(fit.coef().to_numpy(), 2, 0.0))


def test_iplot_several_models_side_by_side(panel):
    models = vantrel.feols("y + z ~ i(year, treat, ref=1982) | unit + year", panel)
    ax = vantrel.iplot(models).axes[0]
    series = _errorbar_series(ax)
    assert len(series) == 2 and ax.get_legend() is not None
    shifts = []
    for (_, (x, y, _, _)), fit in zip(series.items(), models, strict=True):
        shift = x - np.arange(1980, 1986)
        assert np.allclose(shift, shift[0]) and abs(shift[0]) < 0.5  # each at the periods, set apart
        shifts.append(shift[0])
        np.testing.assert_allclose(y, np.insert(fit.coef().to_numpy(), 2, 0.0))
    assert shifts[0] != shifts[1]


def test_iplot_text_levels_are_positions(panel):
    frame = panel.assign(period=panel["year"].map(lambda y: f"p{y - 1980}"))
    fit = vantrel.feols("y ~ i(period, treat, ref='p2') | unit + year", frame)
    ax = fit.iplot().axes[0]
    ((x, y, _, _),) = _errorbar_series(ax).values()
    np.testing.assert_allclose(x, np.arange(6))
    assert [t.get_text() for t in ax.get_xticklabels()] == [f"p{i}" for i in (0, 1, 3, 4, 5, 2)]
    # positions follow first appearance (kept levels, then the reference); 'p2' is at 5
    np.testing.assert_allclose(y[5], 0.0)


def test_iplot_reference_inferred_without_design(panel):
    fit = vantrel.feols("y ~ i(year, treat, ref=1983) | unit + year", panel)
    fit._sample = None  # a fit that kept no design: the reference is read off the gap
    with pytest.warns(UserWarning, match="taking the one missing level 1983"):
        ax = fit.iplot().axes[0]
    ((x, y, _, _),) = _errorbar_series(ax).values()
    np.testing.assert_allclose(x, np.arange(1980, 1986))
    assert y[3] == 0.0


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        (lambda fit: fit.iplot(term="nope"), ValueError, "term = 'nope'"),
        (lambda fit: fit.iplot(ci="ribbon"), ValueError, "ci must be one of"),
        (lambda fit: vantrel.coefplot([fit, "x"]), TypeError, "list holding str"),
        (lambda fit: vantrel.coefplot(fit, keep="("), ValueError, r"keep = '\(' is not a regular expression"),
    ],
    ids=["term", "ci", "list", "regex"],
)
def test_plot_argument_errors(panel, call, error, match):
    fit = vantrel.feols("y ~ i(year, treat, ref=1982) | unit + year", panel)
    with pytest.raises(error, match=match):
        call(fit)


def test_iplot_without_i_term_is_an_error(panel):
    fit = vantrel.feols("y ~ x | unit", panel)
    with pytest.raises(ValueError, match="no model has an i\\(\\) term"):
        fit.iplot()


@pytest.mark.parametrize("method", ["coefplot", "iplot"])
def test_missing_matplotlib_names_the_extra(panel, monkeypatch, method):
    fit = vantrel.feols("y ~ i(year, treat, ref=1982) | unit + year", panel)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install 'vantrel\[plots\]'"):
        getattr(fit, method)()


def test_coefplot_collinear_free_line_collection_type(panel):
    # the error bars of coefplot are a LineCollection: what the other tests read back
    fit = vantrel.feols("y ~ x | unit", panel)
    ax = fit.coefplot().axes[0]
    assert any(isinstance(c, LineCollection) for c in ax.collections)
