"""Result object of tolvane: GLM-like classes, formula texts, observation-level series."""

import numpy as np
import pandas as pd
import pytest

from vantrel.tolvane._tolvane import tolvane


@pytest.fixture
def trade():
    rng = np.random.default_rng(50)
    n = 500
    df = pd.DataFrame(
        {
            "importer": rng.integers(0, 8, n),
            "exporter": rng.integers(0, 8, n),
            "year": rng.integers(0, 4, n),
            "dist": rng.normal(size=n),
            "contig": rng.integers(0, 2, n).astype(float),
        }
    )
    df["pair"] = df["importer"] * 10 + df["exporter"]
    df["ln_trade"] = -0.8 * df["dist"] + 0.4 * df["contig"] + rng.normal(size=n)
    return df


@pytest.mark.parametrize(
    "fixedeffects, setype, clustvars, formula_R, formula_Stata",
    [
        pytest.param(
            ["importer#year", "exporter"],
            "cluster",
            ["pair"],
            "alpaca::feglm(ln_trade ~ dist + contig <<interatction(importer, year)>> + exporter pair, "
            "family = gaussian())",
            "tolvane ln_trade dist contig, absorb(importer#year exporter) vce(cluster pair)",
            id="interacted_clustered",
        ),
        pytest.param(
            ["importer#exporter#year"],
            "hetero",
            ["pair"],
            "alpaca::feglm(ln_trade ~ dist + contig <<interatction(importer, exporter, year)>>, family = gaussian())",
            "tolvane ln_trade dist contig, absorb(importer#exporter#year)",
            id="triple_interaction_cluster_names_ignored",
        ),
        pytest.param(
            None,
            "none",
            None,
            "alpaca::feglm(ln_trade ~ dist + contig , family = gaussian())",
            "tolvane ln_trade dist contig, absorb()",
            id="no_fixed_effects",
        ),
    ],
)
def test_formula_texts(trade, fixedeffects, setype, clustvars, formula_R, formula_Stata):
    out = tolvane(
        ["ln_trade"],
        ["dist", "contig"],
        fixedeffects,
        trade,
        setype=setype,
        clustvars=clustvars,
        print_stata_style_summary=False,
    )
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


_INFERENCE_ROWS = ["cons", "cons_se", "cons_tvalue", "cons_pvalue", "params", "bse", "covmat", "cov_type"]
_MODEL_ROWS = [
    "family",
    "model",
    "df_model",
    "df_resid",
    "formula_R",
    "formula_Stata",
    "aic",
    "bic",
    "llf",
    "deviance",
    "pearson_chi2",
    "family_name",
    "family_link",
    "scale",
    "nobs",
    "method",
    "fit_history",
    "fittedvalues",
    "resid",
    "msg",
]


@pytest.mark.parametrize(
    "setype, FEgen, printed, expected",
    [
        pytest.param("none", False, True, ["params"] + _MODEL_ROWS, id="none"),
        pytest.param(
            "iid",
            True,
            True,
            _INFERENCE_ROWS + ["tvalues", "pvalues", "fe_rowsum"] + _MODEL_ROWS + ["fixed_effects", "summary_df"],
            id="homoskedastic_fegen",
        ),
        pytest.param(
            "cluster",
            "yes",
            False,
            _INFERENCE_ROWS + ["clustvars", "df_resid_inference", "use_t", "tvalues", "pvalues"] + _MODEL_ROWS,
            id="cluster_truthy_fegen_is_not_true",
        ),
    ],
)
def test_attributes_in_order(trade, capsys, setype, FEgen, printed, expected):
    out = tolvane(
        ["ln_trade"],
        ["dist", "contig"],
        ["importer", "exporter"],
        trade,
        setype=setype,
        clustvars=["pair"] if setype == "cluster" else None,
        FEgen=FEgen,
        print_stata_style_summary=printed,
    )
    assert list(vars(out)) == expected
    table = capsys.readouterr().out
    assert ("dist" in table) == ("summary_df" in expected)


def test_eigenvalue_repair_is_recorded_first_on_the_result():
    # Two-way clusters on a 2 x 2 grid, three rows a cell: the intersection term
    # outweighs the one-way terms in one direction, so the multiway sum is indefinite.
    rng = np.random.default_rng(1)
    df = pd.DataFrame(
        {
            "r": np.repeat([0, 0, 1, 1], 3),
            "c": np.repeat([0, 1, 0, 1], 3),
            "x1": rng.normal(size=12).round(2),
            "x2": rng.normal(size=12).round(2),
            "y": rng.normal(size=12).round(2),
        }
    )
    out = tolvane(
        ["y"], ["x1", "x2"], None, df, setype="cluster", clustvars=["r", "c"], print_stata_style_summary=False
    )
    assert list(vars(out))[:3] == ["eigenvalue_fix", "covmat_nofix", "cons"]
    assert out.eigenvalue_fix is True
    assert "Covariance matrix not positive-semidefinite; applying Eigenvalue fix" in out.msg
    # The unrepaired matrix: the inclusion-exclusion sum written out over the cells.
    X = df[["x1", "x2"]].to_numpy() - df[["x1", "x2"]].to_numpy().mean(axis=0)
    design = np.column_stack([np.ones(12), df[["x1", "x2"]].to_numpy()])
    u = df["y"].to_numpy() - design @ np.linalg.lstsq(design, df["y"].to_numpy(), rcond=None)[0]
    meat = np.zeros((2, 2))
    for sign, key in ((1, ["r"]), (1, ["c"]), (-1, ["r", "c"])):
        for _, rows in df.groupby(key).indices.items():
            score = X[rows].T @ u[rows]
            meat += sign * np.outer(score, score)
    bread = np.linalg.inv(X.T @ X)
    expected = bread @ (2 * meat) @ bread  # G/(G-1) = 2 with two rows and two columns
    np.testing.assert_allclose(out.covmat_nofix, expected, rtol=1e-10)
    eig, vec = np.linalg.eigh(expected)
    assert eig[0] < -0.1 < 0.1 < eig[1]
    np.testing.assert_allclose(out.covmat, eig[1] * np.outer(vec[:, 1], vec[:, 1]), rtol=1e-10, atol=1e-14)


def test_degrees_of_freedom_follow_the_type(trade):
    # importer is named inside importer#year, so its categories are all redundant
    kwargs = dict(
        y=["ln_trade"],
        x=["dist", "contig"],
        fixedeffects=["importer#year", "importer"],
        data=trade,
        print_stata_style_summary=False,
    )
    homo = tolvane(setype="homo", **kwargs)
    n_iy, n_i = trade.groupby(["importer", "year"]).ngroups, trade["importer"].nunique()
    assert homo.df_model == 2 + n_iy + n_i
    assert homo.df_resid == homo.nobs - 2 - n_iy != homo.nobs - homo.df_model
    clus = tolvane(setype="cl", clustvars=["pair", "year"], **kwargs)
    assert clus.df_resid == clus.nobs - clus.df_model
    assert clus.df_resid_inference == trade["year"].nunique() - 1 and clus.use_t is True


@pytest.mark.parametrize("setype, cov_type", [("iid", "nonrobust"), ("HC1", "HC1")])
def test_one_effect_standard_errors_match_dummy_regression(trade, setype, cov_type):
    sm = pytest.importorskip("statsmodels.api")
    out = tolvane(["ln_trade"], ["dist", "contig"], ["pair"], trade, setype=setype, print_stata_style_summary=False)
    kept = trade.loc[out.resid.index]
    design = np.column_stack([kept[["dist", "contig"]], pd.get_dummies(kept["pair"]).to_numpy(float)])
    ref = sm.OLS(kept["ln_trade"].to_numpy(), design).fit(cov_type=cov_type, use_t=True)
    np.testing.assert_allclose(out.params.to_numpy(), ref.params[:2], rtol=1e-8)
    np.testing.assert_allclose(out.bse.to_numpy(), ref.bse[:2], rtol=1e-7)
    np.testing.assert_allclose(out.pvalues.to_numpy(), ref.pvalues[:2], rtol=1e-6)


def test_summary_frame_and_recovered_effects(trade, capsys):
    out = tolvane(["ln_trade"], ["dist", "contig"], ["importer", "exporter"], trade, setype="robust", FEgen=True)
    assert list(out.summary_df.index) == ["dist", "contig", "_cons"]
    np.testing.assert_allclose(out.summary_df["coef"].to_numpy(), [*out.params, out.cons])
    assert "importer" in capsys.readouterr().out
    kept = trade.loc[out.resid.index]
    explained = kept[["dist", "contig"]].to_numpy() @ out.params.to_numpy() + out.fe_rowsum.to_numpy()
    np.testing.assert_allclose(explained + out.resid.to_numpy(), kept["ln_trade"].to_numpy(), atol=1e-10)
    recovered = out.fixed_effects["_cons"] + out.fixed_effects["__hdfe_sum__"]
    np.testing.assert_allclose(recovered.to_numpy(), out.fe_rowsum.to_numpy(), atol=1e-6)
