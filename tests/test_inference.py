"""Inference and fit statistics against a dummy-variable regression.

The oracle is statsmodels OLS of y on an intercept, the regressors and
column-centred dummy sets (one level dropped per effect). Centring the
dummies makes that intercept equal to mean(y) - mean(X) beta, the constant
the package reports, so its variance under every covariance type is an
entry of statsmodels' (or an explicit NumPy) sandwich.
"""

from itertools import combinations
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
import scipy.stats
import statsmodels.api as sm

from vantrel.tolvane.inference import (
    coefficient_inference,
    constant_term,
    fe_category_counts,
    fit_measures,
    likelihood_stats,
)

X_NAMES = ["x1", "x2"]


@pytest.fixture
def model(panel):
    """A two-way panel with its within regression and the dummy-variable oracle."""
    df = panel(seed=3, n=300, groups=(15, 8), n_x=2)
    df["a"] = df.groupby("a").ngroup()
    df["b"] = df.groupby("b").ngroup()
    df["initial_index"] = df.index
    N = len(df)
    G = [df["a"].max() + 1, df["b"].max() + 1]

    full = np.column_stack([np.eye(g)[df[f]] for f, g in zip("ab", G, strict=True)])
    Z = df[["y"] + X_NAMES].to_numpy()
    yXtilde = np.ascontiguousarray(Z - full @ np.linalg.lstsq(full, Z, rcond=None)[0])
    beta = np.linalg.lstsq(yXtilde[:, 1:], yXtilde[:, :1], rcond=None)[0]
    resid = yXtilde[:, :1] - yXtilde[:, 1:] @ beta

    centred = [np.eye(g)[df[f]][:, 1:] for f, g in zip("ab", G, strict=True)]
    centred = np.column_stack([d - d.mean(axis=0) for d in centred])
    design = np.column_stack([np.ones(N), df[X_NAMES].to_numpy(), centred])
    ols = sm.OLS(df["y"].to_numpy(), design).fit()
    # The dummies have full column rank, so this is the exact parameter count
    # the fixed effects cost; passing it makes our DoF match statsmodels'.
    exact_fe = design.shape[1] - len(X_NAMES)
    return SimpleNamespace(
        df=df,
        N=N,
        K=2,
        N_FE=sum(G),
        G=G,
        yXtilde=yXtilde,
        beta=beta,
        resid=resid,
        ols=ols,
        design=design,
        exact_fe=exact_fe,
    )


def _cov_namespace(m, setype, **extra):
    X = m.yXtilde[:, 1:]
    xx_inv = np.linalg.inv(X.T @ X)
    s2 = None
    if setype == "homoskedastic":
        s2 = (m.resid.T @ m.resid).item() / (m.N - m.K - m.exact_fe)
    return SimpleNamespace(xx_inv=xx_inv, s2=s2, **extra)


def _cgm_intercept_variance(design, u, id_columns):
    """Explicit multiway sandwich entry of the intercept, loop over clusters."""
    bread = np.linalg.inv(design.T @ design)[0]
    w = design @ bread
    counts, sums = [], []
    for r in range(1, len(id_columns) + 1):
        for subset in combinations(range(len(id_columns)), r):
            keys = [tuple(id_columns[j][i] for j in subset) for i in range(len(u))]
            total = 0.0
            for key in set(keys):
                rows = [i for i, k in enumerate(keys) if k == key]
                total += np.sum(w[rows] * u[rows]) ** 2
            counts.append(len(set(keys)))
            sums.append((1 if r % 2 else -1) * total)
    G = min(counts)
    return G / (G - 1) * sum(sums)


@pytest.mark.parametrize("setype", ["homoskedastic", "heteroskedastic"])
def test_coefficient_inference_matches_dummy_regression(model, setype):
    ols = model.ols if setype == "homoskedastic" else model.ols.get_robustcov_results("HC1")
    covmat = ols.cov_params()[1:3, 1:3]
    out = coefficient_inference(setype, model.beta, covmat, model.N, model.K, model.N_FE, model.exact_fe, None, 0)
    np.testing.assert_allclose(out.se.ravel(), ols.bse[1:3], rtol=1e-10)
    np.testing.assert_allclose(out.t.ravel(), ols.tvalues[1:3], rtol=1e-8)
    np.testing.assert_allclose(out.p.ravel(), ols.pvalues[1:3], rtol=1e-8)
    assert out.df == out.df_resid == ols.df_resid
    assert out.df_model == model.K + model.N_FE
    assert out.se.shape == out.t.shape == out.p.shape == (2, 1)


def test_cluster_df_uses_smallest_cluster_count(model):
    covmat = np.diag([0.04, 0.09])
    out = coefficient_inference(
        "cluster", model.beta, covmat, model.N, model.K, model.N_FE, model.exact_fe, [12, 30, 200], 0
    )
    assert out.df == 11
    assert out.df_resid is None  # no residual count: the cluster count rules
    expected = 2 * scipy.stats.t.sf(np.abs(model.beta.ravel()) / [0.2, 0.3], 11)
    np.testing.assert_allclose(out.p.ravel(), expected, rtol=1e-10)


@pytest.mark.parametrize(
    "setype, N_FE, expected_df_model",
    [
        pytest.param("none", 1, 2, id="single_group_none"),
        pytest.param("homoskedastic", 1, 2, id="single_group_homoskedastic"),
        pytest.param("none", 23, 25, id="many_groups"),
    ],
)
def test_df_model_and_none(model, setype, N_FE, expected_df_model):
    covmat = None if setype == "none" else np.eye(2)
    out = coefficient_inference(setype, model.beta, covmat, model.N, model.K, N_FE, N_FE, None, 0)
    assert out.df_model == expected_df_model
    if setype == "none":
        assert out.se is None and out.t is None and out.p is None and out.df is None


def test_f_from_t_printed_only_for_homoskedastic_verbose(model, capsys):
    covmat = np.diag([0.25, 1.0])
    coefficient_inference("homoskedastic", model.beta, covmat, model.N, model.K, model.N_FE, model.exact_fe, None, 1)
    b = model.beta.ravel()
    F = ((b[0] / 0.5) ** 2 + b[1] ** 2) / 2
    assert capsys.readouterr().out == f"F_from_t={F:.6f} using K=2\n"
    coefficient_inference("heteroskedastic", model.beta, covmat, model.N, model.K, model.N_FE, model.exact_fe, None, 1)
    coefficient_inference("homoskedastic", model.beta, covmat, model.N, model.K, model.N_FE, model.exact_fe, None, 0)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("setype", ["homoskedastic", "heteroskedastic"])
def test_constant_matches_centred_dummy_intercept(model, setype):
    ols = model.ols if setype == "homoskedastic" else model.ols.get_robustcov_results("HC1")
    cons, cons_se, cons_t, cons_p = constant_term(
        setype,
        model.df,
        ["y"],
        X_NAMES,
        model.beta,
        model.yXtilde,
        model.resid,
        model.N,
        model.K,
        model.N_FE,
        model.exact_fe,
        _cov_namespace(model, setype),
        ols.df_resid,
    )
    np.testing.assert_allclose(cons, ols.params[0], rtol=1e-9)
    np.testing.assert_allclose(cons_se, ols.bse[0], rtol=1e-8)
    np.testing.assert_allclose(cons_t, ols.tvalues[0], rtol=1e-8)
    np.testing.assert_allclose(cons_p, ols.pvalues[0], rtol=1e-7)


@pytest.mark.parametrize("n_way", [pytest.param(1, id="one_way"), pytest.param(2, id="two_way")])
def test_constant_cluster_matches_explicit_sandwich(model, n_way):
    rng = np.random.default_rng(11)
    raw = [rng.integers(0, 10, size=model.N), rng.integers(0, 12, size=model.N)][:n_way]
    if n_way == 1:
        id_frames = {"clu_A": raw[0]}
        pm = [1]
    else:
        inter = pd.DataFrame({"p": raw[0], "q": raw[1]}).groupby(["p", "q"]).ngroup()
        id_frames = {"clu_A": raw[0], "clu_B": raw[1], "clu_C": inter.to_numpy()}
        pm = [1, 1, -1]
    clust_df = pd.DataFrame(id_frames)
    N_cluster = [int(clust_df[c].max()) + 1 for c in clust_df]
    min_G = min(N_cluster)
    cov = _cov_namespace(
        model, "cluster", clust_df=clust_df, clustvars_all=list(id_frames), pm=pm, correction=min_G / (min_G - 1)
    )
    cons, cons_se, cons_t, cons_p = constant_term(
        "cluster",
        model.df,
        ["y"],
        X_NAMES,
        model.beta,
        model.yXtilde,
        model.resid,
        model.N,
        model.K,
        model.N_FE,
        model.exact_fe,
        cov,
        min_G - 1,
    )
    u = model.resid.ravel()
    expected_var = _cgm_intercept_variance(model.design, u, raw)
    np.testing.assert_allclose(cons_se**2, expected_var, rtol=1e-8)
    assert cons_p == pytest.approx(2 * scipy.stats.t.sf(abs(cons / cons_se), min_G - 1), rel=1e-10)
    if n_way == 1:
        # Second opinion from statsmodels' one-way cluster sandwich.
        from statsmodels.stats.sandwich_covariance import cov_cluster

        sm_var = cov_cluster(model.ols, raw[0], use_correction=False)[0, 0]
        np.testing.assert_allclose(cons_se**2, sm_var * min_G / (min_G - 1), rtol=1e-8)


def test_constant_without_regressors_is_mean_of_y(model):
    N = model.N
    yXtilde = np.ascontiguousarray(model.yXtilde[:, :1])
    resid = yXtilde.copy()
    cov = SimpleNamespace(xx_inv=np.zeros((0, 0)), s2=2.0)
    cons, cons_se, _, _ = constant_term(
        "homoskedastic",
        model.df,
        ["y"],
        [],
        np.zeros((0, 1)),
        yXtilde,
        resid,
        N,
        0,
        model.N_FE,
        model.exact_fe,
        cov,
        100,
    )
    assert cons == pytest.approx(model.df["y"].mean(), rel=1e-12)
    # w is 1/N everywhere, so the variance is s2 * N / N^2.
    assert cons_se == pytest.approx(np.sqrt(2.0 / N), rel=1e-12)


def test_constant_nonpositive_variance_gives_nan(model):
    # A two-way sum whose intersection term outweighs the one-way terms.
    clust_df = pd.DataFrame({"clu_A": np.zeros(model.N, dtype=np.int64), "clu_B": np.arange(model.N)})
    cov = _cov_namespace(
        model, "cluster", clust_df=clust_df, clustvars_all=["clu_A", "clu_B"], pm=[-1, -1], correction=2.0
    )
    cons, cons_se, cons_t, cons_p = constant_term(
        "cluster",
        model.df,
        ["y"],
        X_NAMES,
        model.beta,
        model.yXtilde,
        model.resid,
        model.N,
        model.K,
        model.N_FE,
        model.exact_fe,
        cov,
        10,
    )
    assert np.isfinite(cons)
    assert np.isnan(cons_se) and np.isnan(cons_t) and np.isnan(cons_p)


def test_likelihood_matches_ols_and_charges_all_groups(model):
    out = likelihood_stats(model.resid, model.N, model.N_FE, model.K)
    ols = model.ols
    assert out.ll == pytest.approx(ols.llf, rel=1e-10)
    assert out.pearson_chi2 == pytest.approx(ols.ssr, rel=1e-10)
    assert out.deviance == pytest.approx(ols.ssr, rel=1e-10)
    assert out.s2 == pytest.approx(ols.ssr / model.N, rel=1e-10)
    # statsmodels charges its exact parameter count; we charge N_FE + K.
    extra = (model.N_FE + model.K) - ols.df_model - 1
    assert out.aic == pytest.approx(ols.aic + 2 * extra, rel=1e-10)
    assert out.bic == pytest.approx(ols.bic + np.log(model.N) * extra, rel=1e-10)


@pytest.mark.parametrize(
    "setype, charged",
    [
        pytest.param("homoskedastic", "exact", id="homoskedastic_charges_nonredundant"),
        pytest.param("heteroskedastic", "exact", id="heteroskedastic_charges_nonredundant"),
        pytest.param("cluster", "N_FE", id="cluster_charges_all_groups"),
        pytest.param("none", "N_FE", id="none_charges_all_groups"),
    ],
)
def test_fit_measures(model, setype, charged):
    out = fit_measures(
        setype, model.df, ["y"], model.resid, model.yXtilde, model.N, model.K, model.N_FE, model.exact_fe
    )
    ols = model.ols
    assert out.r_squared == pytest.approx(ols.rsquared, rel=1e-10)
    within = sm.OLS(model.yXtilde[:, 0], model.yXtilde[:, 1:]).fit()
    assert out.within_r_squared == pytest.approx(within.rsquared, rel=1e-10)
    if charged == "exact":
        assert out.adj_r_squared == pytest.approx(ols.rsquared_adj, rel=1e-10)
        assert out.root_mse == pytest.approx(np.sqrt(ols.scale), rel=1e-10)
    else:
        dof = model.N - model.K - model.N_FE
        assert dof == ols.df_resid - 1  # N_FE counts one level too many here
        assert out.root_mse == pytest.approx(np.sqrt(ols.ssr / dof), rel=1e-12)
        assert out.adj_r_squared == pytest.approx(1 - (1 - ols.rsquared) * (model.N - 1) / dof, rel=1e-12)


def test_within_r_squared_zero_on_perfect_fe_fit(model):
    zero = np.zeros((model.N, 1))
    out = fit_measures("none", model.df, ["y"], zero, np.zeros((model.N, 1)), model.N, 0, model.N_FE, model.N_FE)
    assert out.within_r_squared == 0
    assert out.r_squared == 1.0


def _category_counts_by_grouping(df, fixedeffects):
    """The oracle: pandas' grouping by the term's variables, missing values in none."""
    return {
        fe_spec: df.groupby(fe_spec.split("#")).ngroups if "#" in fe_spec else df[fe_spec].nunique()
        for fe_spec in fixedeffects
    }


def test_fe_category_counts():
    df = pd.DataFrame({"s": ["a", "a", "b", "b", None], "t": [1, 2, 1, 1, 3], "u": [0, 0, 0, 1, 1]})
    counts = _category_counts_by_grouping(df, ["s", "s#t", "t#u", "u"])
    # Missing values form no category; combinations count as observed.
    assert counts == {"s": 2, "s#t": 3, "t#u": 4, "u": 2}
    assert list(counts) == ["s", "s#t", "t#u", "u"]
    assert fe_category_counts(df.assign(fe_A=0), None, ["fe_A"]) == {}


def test_fe_category_counts_from_renumbered_ids_match_counting_values():
    # The driver reads the counts off its id columns; after rows are removed and the
    # ids renumbered they must still equal the distinct values in the sample.
    from vantrel.tolvane.sample import add_fe_ids, renumber_fe_ids

    rng = np.random.default_rng(3)
    df = pd.DataFrame(
        {"s": rng.choice(["x", "y", "z", "w"], 60), "t": rng.integers(0, 9, 60), "u": rng.normal(size=60).round(1)}
    )
    terms, fenames = ["s", "s#t", "u"], ["fe_A", "fe_B", "fe_C"]
    data, _ = add_fe_ids(df.copy(), terms, fenames, verb=0)
    data = data[(data["t"] != 4) & (data["s"] != "w")].copy()  # whole groups vanish
    data, _ = renumber_fe_ids(data, terms, fenames)
    counts = fe_category_counts(data, terms, fenames)
    assert counts == _category_counts_by_grouping(data, terms)
    assert list(counts) == terms
