"""Coefficients and residuals against explicit dummy-variable least squares; collinearity."""

import numpy as np
import pandas as pd
import pytest

from vantrel.tolvane import _tolvane
from vantrel.tolvane._tolvane import tolvane

RANK_WARNING = "Least squares problem does not have full rank; parameter estimates may be misleading"


def model_messages(out):
    """The messages of a run other than the singleton count (which depends on the draw)."""
    return [m for m in out.msg if "missing within group variation" not in m]


@pytest.mark.parametrize(
    "groups, fixedeffects, seed",
    [
        pytest.param((25,), ["a"], 20, id="one_fe"),
        pytest.param((30, 8), ["a", "b"], 21, id="two_fe"),
        pytest.param((30, 8, 5), ["a", "b", "c"], 22, id="three_fe"),
        pytest.param((12, 6, 9), ["a#b", "c"], 23, id="two_fe_interacted"),
        pytest.param((10, 4, 7), ["a#b", "b#c", "a"], 24, id="three_fe_overlapping_interactions"),
    ],
)
@pytest.mark.parametrize("solver", ["sweeps", "coefficients"])
def test_against_dummy_ols(panel, ols_oracle, groups, fixedeffects, seed, solver):
    df = panel(seed=seed, n=500, groups=groups, n_x=3)
    out = tolvane(["y"], ["x1", "x2", "x3"], fixedeffects, df, solver=solver)
    expected, n_used = ols_oracle(df, "y", ["x1", "x2", "x3"], fixedeffects)
    assert out.nobs == n_used
    np.testing.assert_allclose(out.params.ravel(), expected, rtol=1e-8)
    # residuals of the absorbed model are the residuals of the dummy regression
    kept = df.loc[out.resid.index]
    design = np.column_stack(
        [kept[["x1", "x2", "x3"]]]
        + [np.eye(g.max() + 1)[g] for g in (kept.groupby(s.split("#")).ngroup().to_numpy() for s in fixedeffects)]
    )
    full = np.linalg.lstsq(design, kept["y"].to_numpy(), rcond=None)[0]
    np.testing.assert_allclose(out.resid.to_numpy(), kept["y"].to_numpy() - design @ full, atol=1e-8)


def test_collinear_regressor_is_dropped(panel, ols_oracle):
    df = panel(seed=27, n=300, groups=(20, 6))
    df["x3"] = 2.0 * df["x1"] - df["x2"]
    out = tolvane(["y"], ["x1", "x2", "x3"], ["a", "b"], df)
    kept = out.model.exog_names
    assert len(kept) == 2 and out.params.shape == (2, 1)
    dropped = [name for name in ["x1", "x2", "x3"] if name not in kept]
    assert model_messages(out) == ["The variables " + dropped[0] + " are omitted due to colliearity"]
    expected, _ = ols_oracle(df, "y", kept, ["a", "b"])
    np.testing.assert_allclose(out.params.ravel(), expected, rtol=1e-8)
    assert "x3" in out.formula_R and out.formula_Stata.startswith("tolvane y x1 x2 x3, absorb(a b)")


def test_regressor_constant_within_groups_is_dropped(panel, ols_oracle, capsys):
    df = panel(seed=28, n=300, groups=(20, 6))
    df["xc"] = (df["a"] * 0.37).round(1)  # one value per group of a
    out = tolvane(["y"], ["xc", "x1", "x2"], ["a", "b"], df, verb=1)
    text = "The variables xc are omitted due to colliearity"
    assert model_messages(out) == [text] and text in capsys.readouterr().out
    assert out.model.exog_names == ["x1", "x2"]
    np.testing.assert_allclose(out.params.ravel(), ols_oracle(df, "y", ["x1", "x2"], ["a", "b"])[0], rtol=1e-8)


@pytest.mark.parametrize(
    "x, copies, dropped",
    [
        pytest.param(["x1", "x1_copy", "x2"], {"x1_copy": "x1"}, ["x1_copy"], id="copy_after"),
        pytest.param(["x2", "x1_copy", "x1"], {"x1_copy": "x1"}, ["x1"], id="copy_before"),
        pytest.param(["x1", "x1_b", "x1_c", "x2"], {"x1_b": "x1", "x1_c": "x1"}, ["x1_b", "x1_c"], id="three_copies"),
    ],
)
@pytest.mark.parametrize("setype", ["none", "iid", "HC1"])
def test_identical_regressors_one_is_dropped(panel, ols_oracle, capsys, x, copies, dropped, setype):
    """Identical regressors under several names: the first stays, the others are dropped as
    collinear, and the kept one carries the whole effect with its usual standard error."""
    df = panel(seed=29, n=300, groups=(20,))
    for copy, source in copies.items():
        df[copy] = df[source]
    out = tolvane(["y"], x, ["a"], df, setype=setype, verb=0, print_stata_style_summary=False)
    kept = [name for name in x if name not in dropped]
    assert out.model.exog_names == kept
    text = "The variables " + ", ".join(dropped) + " are omitted due to colliearity"
    assert model_messages(out) == [text] and RANK_WARNING not in capsys.readouterr().out
    b = ols_oracle(df, "y", kept, ["a"])[0]
    np.testing.assert_allclose(np.ravel(out.params), b, rtol=1e-7)
    if setype != "none":
        alone = tolvane(["y"], kept, ["a"], df, setype=setype, print_stata_style_summary=False)
        np.testing.assert_allclose(out.bse.to_numpy(), alone.bse.to_numpy(), rtol=1e-12)


def test_every_regressor_absorbed_raises(panel):
    df = panel(seed=30, n=200, groups=(10,))
    df["xc"] = df["a"] * 2.0
    with pytest.raises(Exception, match="No regressor left: the variables xc are omitted due to colliearity"):
        tolvane(["y"], ["xc"], ["a"], df)


@pytest.mark.parametrize("accel, name", [(True, "MAP_NH_CG_accel"), (False, "MAP_NH_noaccel")])
def test_divergence_is_reported_with_the_routine_name(panel, monkeypatch, accel, name):
    real = getattr(_tolvane, name)

    def diverging(x, *args):
        out = real(x, *args)
        out[3, 1] = np.nan
        return out

    diverging.__name__ = real.__name__
    monkeypatch.setattr(_tolvane, name, diverging)
    df = panel(seed=31, n=200, groups=(10,))
    with pytest.raises(Exception, match=r"^" + name + r"\(y,X\) diverged$"):
        tolvane(["y"], ["x1"], ["a"], df, accel=accel)


def test_coefficient_solver_on_a_weakly_connected_panel(ols_oracle):
    """Workers who only ever meet the next firm along a chain: the sweeps need hundreds of
    iterations, the coefficient solver a few once it has the exact worker-firm block."""
    rng = np.random.default_rng(31)
    worker = np.repeat(np.arange(200), 5)
    firm = worker // 2 + rng.integers(0, 2, worker.size)
    df = pd.DataFrame({"worker": worker, "firm": firm, "x1": rng.normal(size=worker.size) + np.cos(firm)})
    df["y"] = 0.5 * df["x1"] + np.sin(worker) + np.cos(firm) ** 2 + rng.normal(size=worker.size)
    with pytest.raises(ValueError, match="demeaning did not converge"):
        tolvane(["y"], ["x1"], ["worker", "firm"], df, setype="iid", maxsubiter=40)
    out = tolvane(["y"], ["x1"], ["worker", "firm"], df, setype="iid", maxsubiter=40, solver="coefficients")
    assert out.absorption["preconditioner"] == "exact pair" and out.absorption["iterations"] < 40
    reference = tolvane(["y"], ["x1"], ["worker", "firm"], df, setype="iid", maxsubiter=5000)
    np.testing.assert_allclose(out.params, ols_oracle(df, "y", ["x1"], ["worker", "firm"])[0], rtol=1e-9)
    np.testing.assert_allclose(out.bse, reference.bse, rtol=1e-9)
    assert not hasattr(reference, "absorption")


def test_unknown_solver_is_rejected(panel):
    with pytest.raises(ValueError, match="solver must be 'sweeps' or 'coefficients', got 'lsmr'"):
        tolvane(["y"], ["x1"], ["a"], panel(seed=1, n=50, groups=(5,)), solver="lsmr")
