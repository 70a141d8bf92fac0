"""Result object of tolvane: GLM-like classes, formula texts, observation-level series."""

import numpy as np
import pandas as pd
import pytest

from vantrel.tolvane._tolvane import tolvane


@pytest.fixture
def trade():
    rng = np.random.default_rng(50)
    n = 500
    df = pd.DataFrame({
        "importer": rng.integers(0, 8, n),
        "exporter": rng.integers(0, 8, n),
        "year": rng.integers(0, 4, n),
        "dist": rng.normal(size=n),
        "contig": rng.integers(0, 2, n).astype(float),
    })
    df["pair"] = df["importer"] * 10 + df["exporter"]
    df["ln_trade"] = -0.8 * df["dist"] + 0.4 * df["contig"] + rng.normal(size=n)
    return df


@pytest.mark.parametrize(
    "fixedeffects, setype, clustvars, formula_R, formula_Stata",
    [
        pytest.param(
            ["importer#year", "exporter"], "cluster", ["pair"],
            "alpaca::feglm(ln_trade ~ dist + contig <<interatction(importer, year)>> + exporter pair, "
            "family = gaussian())",
            "tolvane ln_trade dist contig, absorb(importer#year exporter) vce(cluster pair)",
            id="interacted_clustered",
        ),
        pytest.param(
            ["importer#exporter#year"], "hetero", ["pair"],
            "alpaca::feglm(ln_trade ~ dist + contig <<interatction(importer, exporter, year)>>, family = gaussian())",
            "tolvane ln_trade dist contig, absorb(importer#exporter#year)",
            id="triple_interaction_cluster_names_ignored",
        ),
        pytest.param(
            None, "none", None,
            "alpaca::feglm(ln_trade ~ dist + contig , family = gaussian())",
            "tolvane ln_trade dist contig, absorb()",
            id="no_fixed_effects",
        ),
    ],
)
def test_formula_texts(trade, fixedeffects, setype, clustvars, formula_R, formula_Stata):
    out = tolvane(["ln_trade"], ["dist", "contig"], fixedeffects, trade, setype=setype, clustvars=clustvars,
                  print_stata_style_summary=False)
    assert out.formula_R == formula_R
    assert out.formula_Stata == formula_Stata


def test_local_classes_are_made_per_call(trade):
    first = tolvane(["ln_trade"], ["dist", "contig"], ["importer"], trade)
    second = tolvane(["ln_trade"], ["dist", "contig"], ["importer"], trade)
    for obj, name in ((first.family, "Gaussian"), (first.model, "GLM"), (first.family.link, "identity")):
        cls = type(obj)
        assert cls.__qualname__ == "tolvane.<locals>." + name
        assert cls.__module__ == "vantrel.tolvane._tolvane"
        assert cls.__bases__ == (object,)
    assert type(second.family) is not type(first.family) and type(second.model) is not type(first.model)
    assert type(second.family.link) is not type(first.family.link)
    assert first.model.endog_names == "ln_trade"


def test_exog_names_list_kept_regressors_formulas_all(trade):
    trade = trade.assign(dup_dist=3.0 * trade["dist"] + 1.0)
    out = tolvane(["ln_trade"], ["dist", "dup_dist", "contig"], ["importer"], trade)
    assert len(out.model.exog_names) == 2 and "contig" in out.model.exog_names
    assert out.formula_Stata == "tolvane ln_trade dist dup_dist contig, absorb(importer)"


def test_none_type_result(trade):
    out = tolvane(["ln_trade"], ["dist", "contig"], ["importer", "exporter"], trade, print_stata_style_summary=True)
    assert isinstance(out.params, np.ndarray) and out.params.shape == (2, 1)
    for absent in ("bse", "tvalues", "pvalues", "covmat", "cov_type", "cons", "summary_df", "clustvars"):
        assert not hasattr(out, absent)
    assert out.nobs == len(out.resid) == len(out.fittedvalues)
    assert isinstance(out.msg, list)
    # residuals are orthogonal to the regressors and sum to zero within every importer
    kept = trade.loc[out.resid.index]
    np.testing.assert_allclose(kept[["dist", "contig"]].to_numpy().T @ out.resid.to_numpy(), 0, atol=1e-8)
    np.testing.assert_allclose(out.resid.groupby(kept["importer"].to_numpy()).sum(), 0, atol=1e-8)
