"""Covariance estimators against oracles that share no code with the package.

* iid and HC1: statsmodels OLS of y on the regressors plus full dummy sets.
  statsmodels charges its own residual degrees of freedom (N minus the rank
  of the dummy design); the package charges ``N - K - total_nonredundant_fe``.
  The tests convert explicitly: the iid matrix is rescaled by
  ``df_resid_sm / (N - K - total_nonredundant_fe)``, and HC1 is built from
  statsmodels' HC0 sandwich times ``N / (N - K - total_nonredundant_fe)``
  (statsmodels' own HC1 factor ``N / (N - p)`` counts the dummies in p).
* cluster: the Cameron-Gelbach-Miller sum written out as a loop over the
  clusters of every subset, G/(G-1) with the smallest G over the subsets.

The demeaned matrix is built here by projecting y and X on the full dummy
sets with lstsq, so nothing depends on the package's demeaning.
"""

from itertools import combinations
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

from vantrel.inference import covariance
from vantrel.tolvane.covariance import compute_covariance

FIX_MSG = "Covariance matrix not positive-semidefinite; applying Eigenvalue fix"


def _within(df, fe_columns, y="y", x=("x1", "x2")):
    """yXtilde, beta, resid and the full dummy design of the model y ~ x | fe."""
    dummies = np.column_stack([np.eye(df[f].nunique())[pd.factorize(df[f], sort=True)[0]] for f in fe_columns])
    Z = df[[y, *x]].to_numpy(dtype=float)
    yXtilde = np.ascontiguousarray(Z - dummies @ np.linalg.lstsq(dummies, Z, rcond=None)[0])
    beta = np.linalg.lstsq(yXtilde[:, 1:], yXtilde[:, :1], rcond=None)[0]
    resid = yXtilde[:, :1] - yXtilde[:, 1:] @ beta
    design = np.column_stack([df[list(x)].to_numpy(dtype=float), dummies])
    return SimpleNamespace(yXtilde=yXtilde, beta=beta, resid=resid, design=design, N=len(df), K=len(x))


def _cgm(Xt, u, cluster_columns):
    """Multiway cluster sandwich, one explicit loop per cluster of each subset."""
    meats, signs, counts = [], [], []
    m = len(cluster_columns)
    for size in range(1, m + 1):
        for subset in combinations(range(m), size):
            keys = list(zip(*(cluster_columns[j] for j in subset), strict=True))
            meat = np.zeros((Xt.shape[1], Xt.shape[1]))
            distinct = sorted(set(keys))
            for key in distinct:
                rows = np.array([k == key for k in keys])
                score = Xt[rows].T @ u[rows]
                meat += np.outer(score, score)
            meats.append(meat)
            signs.append(1 if size % 2 else -1)
            counts.append(len(distinct))
    G = min(counts)
    total = sum(s * meat for s, meat in zip(signs, meats, strict=True)) * G / (G - 1)
    bread = np.linalg.inv(Xt.T @ Xt)
    return bread @ total @ bread


@pytest.fixture
def data(panel):
    df = panel(seed=7, n=300, groups=(12, 6), n_x=2)
    rng = np.random.default_rng(2)
    df["region"] = rng.choice(["north", "south", "east", "west", "centre"], size=len(df))
    df["year"] = rng.integers(2000, 2009, size=len(df)).astype(float)
    df["plant"] = rng.integers(0, 40, size=len(df))
    # The caller's labels: duplicated and out of order, as a user's frame may be.
    df.index = np.repeat(np.arange(len(df) // 2)[::-1], 2)
    return df


@pytest.fixture
def fit(data):
    out = _within(data, ["a", "b"])
    # What the redundancy count charges for a then b (no shared variable):
    # every level of both, one more than the rank of the two dummy sets.
    out.N_FE = data["a"].nunique() + data["b"].nunique()
    return out


def _call(setype, fit, data, tnfe, clustvars=None, verb=0, msg=None):
    msg = [] if msg is None else msg
    return compute_covariance(setype, fit.yXtilde, fit.resid, fit.N, fit.K, fit.N_FE, tnfe, data, clustvars, verb, msg)


@pytest.mark.filterwarnings("ignore:The design matrix is rank-deficient")
def test_homoskedastic_matches_dummy_ols(fit, data):
    tnfe = fit.N_FE
    out = _call("homoskedastic", fit, data, tnfe)
    ols = sm.OLS(data["y"].to_numpy(), fit.design).fit()
    assert ols.df_resid == fit.N - fit.K - (tnfe - 1)
    expected = ols.cov_params()[:2, :2] * ols.df_resid / (fit.N - fit.K - tnfe)
    np.testing.assert_allclose(out.covmat, expected, rtol=1e-8)
    rss = float(np.sum(ols.resid**2))
    assert out.s2 == pytest.approx(rss / (fit.N - fit.K - tnfe), rel=1e-10)
    np.testing.assert_allclose(out.xx_inv @ (fit.yXtilde[:, 1:].T @ fit.yXtilde[:, 1:]), np.eye(2), atol=1e-10)
    assert out.clust_df is None and out.N_cluster is None and out.pm is None


@pytest.mark.filterwarnings("ignore:The design matrix is rank-deficient")
def test_heteroskedastic_matches_dummy_ols_hc0_rescaled(fit, data):
    tnfe = fit.N_FE - 1
    out = _call("heteroskedastic", fit, data, tnfe)
    hc0 = sm.OLS(data["y"].to_numpy(), fit.design).fit(cov_type="HC0").cov_params()[:2, :2]
    expected = hc0 * fit.N / (fit.N - fit.K - tnfe)
    np.testing.assert_allclose(out.covmat, expected, rtol=1e-8)
    assert out.s2 is None and out.clust_df is None


def test_heteroskedastic_with_equal_residual_magnitudes(fit, data):
    signs = np.where(np.arange(fit.N) % 3 == 0, -1.0, 1.0)[:, None]
    flat = SimpleNamespace(**{**vars(fit), "resid": 0.7 * signs})
    out = _call("heteroskedastic", flat, data, fit.N_FE)
    X = fit.yXtilde[:, 1:]
    expected = 0.49 * np.linalg.inv(X.T @ X) * fit.N / (fit.N - fit.K - fit.N_FE)
    np.testing.assert_allclose(out.covmat, expected, rtol=1e-10)


@pytest.mark.parametrize(
    "clustvars",
    [
        pytest.param(["plant"], id="one_way"),
        pytest.param(["region"], id="one_way_text_ids"),
        pytest.param(["plant", "year"], id="two_way"),
        pytest.param(["region", "year", "plant"], id="three_way"),
    ],
)
def test_cluster_matches_explicit_cgm(fit, data, clustvars):
    msg = []
    out = _call("cluster", fit, data, 0, clustvars=clustvars, msg=msg)
    columns = [data[c].to_numpy() for c in clustvars]
    expected = _cgm(fit.yXtilde[:, 1:], fit.resid.ravel(), columns)
    np.testing.assert_allclose(out.covmat, expected, rtol=1e-8)
    m = len(clustvars)
    assert out.n_cluster == 2**m - 1
    assert out.clustvars_all == ["clu_" + chr(65 + i) for i in range(2**m - 1)]
    assert list(out.clust_df.columns) == out.clustvars_all
    assert len(out.clust_df) == fit.N
    # Each subset's ids number its distinct value combinations densely.
    for subset, var, G in zip(out.cluster_intersections, out.clustvars_all, out.N_cluster, strict=True):
        combos = data[subset].drop_duplicates()
        assert G == len(combos) == out.clust_df[var].nunique()
    assert out.pm == [1 if len(s) % 2 else -1 for s in out.cluster_intersections]
    assert out.correction == min(out.N_cluster) / (min(out.N_cluster) - 1)
    assert msg == [] and out.covmat_nofix is None


@pytest.mark.filterwarnings("ignore:The design matrix is rank-deficient")
def test_one_way_cluster_agrees_with_statsmodels(fit, data):
    from statsmodels.stats.sandwich_covariance import cov_cluster

    out = _call("cluster", fit, data, 0, clustvars=["plant"])
    ols = sm.OLS(data["y"].to_numpy(), fit.design).fit()
    G = data["plant"].nunique()
    expected = cov_cluster(ols, data["plant"].to_numpy(), use_correction=False)[:2, :2]
    np.testing.assert_allclose(out.covmat, expected * G / (G - 1), rtol=1e-8)


def test_cluster_invariant_to_row_order_and_relabelling(fit, data):
    out = _call("cluster", fit, data, 0, clustvars=["plant", "region"])
    order = np.random.default_rng(4).permutation(fit.N)
    shuffled = SimpleNamespace(
        **{**vars(fit), "yXtilde": np.ascontiguousarray(fit.yXtilde[order]), "resid": fit.resid[order]}
    )
    relabelled = data.iloc[order].assign(plant=lambda d: d["plant"] * -3 + 1000, region=lambda d: "r_" + d["region"])
    out2 = _call("cluster", shuffled, relabelled, 0, clustvars=["plant", "region"])
    np.testing.assert_allclose(out2.covmat, out.covmat, rtol=1e-12)


def test_repeated_cluster_name_reduces_to_one_way(fit, data):
    once = _call("cluster", fit, data, 0, clustvars=["plant"])
    twice = _call("cluster", fit, data, 0, clustvars=["plant", "plant"])
    np.testing.assert_allclose(twice.covmat, once.covmat, rtol=1e-12)


def test_none_returns_all_none(fit, data):
    out = _call("none", fit, data, fit.N_FE)
    assert all(value is None for value in vars(out).values())
    assert list(vars(out)) == [
        "covmat",
        "xx_inv",
        "s2",
        "clust_df",
        "n_cluster",
        "clustvars_all",
        "cluster_intersections",
        "pm",
        "correction",
        "N_cluster",
        "covmat_nofix",
    ]


@pytest.mark.parametrize(
    "setype, clustvars, exc, text",
    [
        pytest.param(
            "cluster", ["constant"], RuntimeError, "Cluster with a single category deteced", id="single_category"
        ),
        pytest.param(
            "cluster",
            ["plant", "constant"],
            RuntimeError,
            "Cluster with a single category deteced",
            id="single_category_second",
        ),
        pytest.param(
            "robust",
            None,
            Exception,
            "You should not be able to reach that point; Invalid SE type",
            id="invalid_setype",
        ),
        pytest.param("cluster", ["gappy"], ValueError, "contain missing values", id="missing_cluster_value"),
    ],
)
def test_errors(fit, data, monkeypatch, setype, clustvars, exc, text):
    def no_kernel(*args):
        raise AssertionError("kernel called")

    monkeypatch.setattr(covariance, "calc_B", no_kernel)
    monkeypatch.setattr(covariance, "panelsetup", no_kernel)
    monkeypatch.setattr(covariance, "cluster_meat", no_kernel)
    frame = data.assign(constant=5, gappy=np.where(np.arange(len(data)) == 3, np.nan, 1.0))
    with pytest.raises(exc, match=text):
        _call(setype, fit, frame, fit.N_FE, clustvars=clustvars)


def test_homoskedastic_diagnostics(panel, capsys):
    df = panel(seed=1, n=1234, groups=(20,), n_x=2)
    f = _within(df, ["a"])
    compute_covariance("homoskedastic", f.yXtilde, f.resid, 1234, 2, 40, 39, df, None, 1, [])
    rss = float(np.sum(f.resid**2))
    assert capsys.readouterr().out.split("\n") == [
        "[Homoskedastic diagnostics]",
        "N=1,234, K=2, N_FE=40, total_nonredundant_fe=39",
        f"RSS={rss:.6f}",
        "s2_denominator=1193",
        f"s2={rss / 1193:.6f}",
        "",
    ]


def test_cluster_progress_lines(fit, data, capsys):
    _call("cluster", fit, data, 0, clustvars=["plant", "year"], verb=1)
    assert capsys.readouterr().out.split("\n") == [
        "calculating covmat 1 of 3",
        "calculating covmat 2 of 3",
        "calculating covmat 3 of 3",
        "Eigenvalue check",
        "",
    ]


def _grid_case(scale, x2=None):
    """Four-row 2 x 2 grid whose residual scores cancel within every row and column.

    The one-way meats vanish for the constant regressor, so the inclusion-
    exclusion sum is minus the intersection meat: an indefinite matrix.
    """
    frame = pd.DataFrame({"r": [0, 0, 1, 1], "c": [0, 1, 0, 1]})
    columns = [np.ones(4)] if x2 is None else [np.ones(4), np.asarray(x2, dtype=float)]
    yXtilde = np.ascontiguousarray(np.column_stack([np.zeros(4)] + columns))
    resid = scale * np.array([[1.0], [-1.0], [-1.0], [1.0]])
    return frame, yXtilde, resid


@pytest.mark.parametrize(
    "target, repaired",
    [pytest.param(-1e-6, True, id="minus_1e-6_repaired"), pytest.param(-1e-13, False, id="minus_1e-13_untouched")],
)
def test_eigenvalue_threshold(target, repaired):
    # covmat = 2 * (0 + 0 - 4 s^2) / 4^2 = -s^2 / 2 for residual scale s.
    frame, yXtilde, resid = _grid_case(np.sqrt(-2 * target))
    msg = []
    out = compute_covariance("cluster", yXtilde, resid, 4, 1, 1, 1, frame, ["r", "c"], 0, msg)
    if repaired:
        assert msg == [FIX_MSG]
        np.testing.assert_allclose(out.covmat_nofix, [[target]], rtol=1e-10)
        assert out.covmat[0, 0] == 0.0
    else:
        assert msg == [] and out.covmat_nofix is None
        np.testing.assert_allclose(out.covmat, [[target]], rtol=1e-10)


def test_eigenvalue_repair_projects_onto_psd(capsys):
    frame, yXtilde, resid = _grid_case(1.0, x2=[0.3, 2.0, -1.0, 0.5])
    expected_nofix = _cgm(yXtilde[:, 1:], resid.ravel(), [frame["r"], frame["c"]])
    eig, vec = np.linalg.eigh(expected_nofix)
    assert eig[0] < -1e-3 and eig[-1] > 1e-3  # indefinite, so the repair has work to do
    msg = ["earlier notice"]
    out = compute_covariance("cluster", yXtilde, resid, 4, 2, 1, 1, frame, ["r", "c"], 1, msg)
    assert capsys.readouterr().out.endswith("Eigenvalue check\n" + FIX_MSG + "\n")
    assert msg == ["earlier notice", FIX_MSG]
    np.testing.assert_allclose(out.covmat_nofix, expected_nofix, rtol=1e-10)
    assert out.covmat_nofix is not out.covmat
    np.testing.assert_array_equal(out.covmat, out.covmat.T)
    # Nearest PSD matrix: the negative direction is removed, the positive one kept.
    np.testing.assert_allclose(out.covmat @ vec[:, 0], 0, atol=1e-12)
    np.testing.assert_allclose(out.covmat @ vec[:, 1], eig[1] * vec[:, 1], rtol=1e-10)
    assert np.linalg.eigvalsh(out.covmat).min() >= -1e-12


@pytest.mark.parametrize("setype", ["homoskedastic", "heteroskedastic"])
def test_no_repair_outside_cluster(fit, data, setype):
    # A degrees-of-freedom charge beyond N makes the homoskedastic matrix
    # negative definite; only the multiway sum is ever repaired.
    msg = []
    out = compute_covariance(setype, fit.yXtilde, fit.resid, fit.N, fit.K, fit.N_FE, fit.N, data, None, 0, msg)
    assert np.linalg.eigvalsh(out.covmat).max() < 0
    assert msg == [] and out.covmat_nofix is None


def _nesting_case(case):
    rng = np.random.default_rng(31)
    n = 150_000  # past the first rows the nesting check looks at before all of them
    c = rng.integers(0, 400, n)
    f = c * 3 + rng.integers(0, 3, n)  # three levels inside every cluster
    if case == "crossed_late":  # one level meets a second cluster, only in the last row
        f[-1] = f[0] if c[-1] != c[0] else f[1]
    if case == "crossed":
        f = rng.integers(0, 50, n)
    if case == "same_ids":
        f = c.copy()
    return np.unique(f, return_inverse=True)[1], c


@pytest.mark.parametrize("case", ["nested", "crossed_late", "crossed", "same_ids"])
def test_nesting_of_effects_in_clusters_is_one_cluster_per_level(case):
    from vantrel.inference.vcov import nested_in_clusters

    f, c = _nesting_case(case)
    other = np.random.default_rng(32).integers(0, 7, len(c))  # a cluster variable nothing is nested in
    expected = bool((pd.DataFrame({"f": f, "c": c}).groupby("f")["c"].nunique() == 1).all())
    assert expected == (case in ("nested", "same_ids"))
    assert nested_in_clusters([f], [other, c]) == [expected]
    assert nested_in_clusters([f, other], [c]) == [expected, False]


# -- feols's repair of a multiway clustered matrix -------------------------------------------
# The oracle is the explicit Cameron-Gelbach-Miller loop above (`_cgm`) where the sum is
# positive semidefinite, and invariance where it is not: scaled by the bread's diagonal the
# matrix does not change with the units of a regressor, and scales with those of y squared,
# so the verdict and the repaired standard errors follow the units exactly.

CGM_SSC = {"k_adj": False, "k_fixef": "none"}  # G/(G-1) with the smallest G, as `_cgm`


def _small_two_way(seed, n=40):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame(
        {
            "x1": rng.normal(size=n),
            "x2": 50.0 * rng.normal(size=n),
            "g": rng.integers(0, 5, n),
            "h": rng.integers(0, 4, n),
            "f": rng.integers(0, 3, n),
        }
    )
    df["y"] = df["x1"] + 0.01 * df["x2"] + rng.normal(size=n)
    return df


def _feols_quiet(fml, df, **options):
    import warnings

    import vantrel

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = vantrel.feols(fml, df, **options)
    return fit, [str(w.message) for w in caught]


@pytest.mark.parametrize("seed", [1, 4, 6, 9])  # seeds whose sums are indefinite under both models
@pytest.mark.parametrize("fml", ["y ~ x1 + x2", "y ~ x1 + x2 | f"], ids=["intercept", "effect"])
@pytest.mark.parametrize(
    "column, factor",
    [("y", 1e-6), ("y", 1e6), ("x1", 1e-6), ("x2", 1e6)],
    ids=["y_small", "y_large", "x1_small", "x2_large"],
)
def test_feols_multiway_repair_does_not_depend_on_units(seed, fml, column, factor):
    """Two-way clustering on 40 rows with 5 and 4 clusters: the inclusion-exclusion sum is
    indefinite, and the driver's fixed -1e-12 made the units of y decide whether it was
    repaired (one standard error NaN, another 5% off at y * 1e-6). Repaired on the scale of
    the bread, every standard error follows the units exactly."""
    df = _small_two_way(seed)
    vcov = {"CRV1": "g+h"}
    base, texts = _feols_quiet(fml, df, vcov=vcov)
    changed, changed_texts = _feols_quiet(fml, df.assign(**{column: df[column] * factor}), vcov=vcov)
    repaired = [text for text in texts if text.startswith("Covariance matrix not positive-semidefinite")]
    assert len(repaired) == 1 and "set to zero" in repaired[0] and repaired[0] in base.messages
    assert len([text for text in changed_texts if text.startswith("Covariance matrix not")]) == 1
    expected = base.se().copy()
    if column == "y":
        expected *= factor
    else:
        expected[column] /= factor
    assert np.all(np.isfinite(changed.se()))
    np.testing.assert_allclose(changed.se(), expected, rtol=1e-10)
    eigenvalues = np.linalg.eigvalsh(changed.vcov_matrix / np.outer(changed.se(), changed.se()))
    assert eigenvalues.min() >= -1e-12


@pytest.mark.parametrize("fes", [(), ("f",)], ids=["intercept", "effect"])
@pytest.mark.parametrize("clusters", [("g", "h"), ("g", "h", "f")], ids=["two_way", "three_way"])
def test_feols_multiway_matrix_is_the_cgm_sum_when_psd(fes, clusters):
    """With many clusters the sum is positive definite: no repair, no notice, and the matrix
    is the explicit loop's in any units of y (where the driver's absolute threshold saw
    eigenvalues of y * 1e-9 squared as rounding either way)."""
    rng = np.random.default_rng(4)
    n = 600
    df = pd.DataFrame(
        {
            "x1": rng.normal(size=n),
            "x2": rng.normal(size=n),
            "g": rng.integers(0, 30, n),
            "h": rng.integers(0, 25, n),
            "f": rng.integers(0, 12, n),
        }
    )
    df["y"] = df["x1"] - df["x2"] + rng.normal(size=30)[df["g"]] + rng.normal(size=n)
    for factor in (1.0, 1e-9, 1e9):
        scaled = df.assign(y=df["y"] * factor)
        if fes:
            within = _within(scaled, list(fes))
            Xt, u = within.yXtilde[:, 1:], within.resid.ravel()
        else:
            Xt = np.column_stack([np.ones(n), scaled[["x1", "x2"]].to_numpy()])
            u = scaled["y"].to_numpy() - Xt @ np.linalg.lstsq(Xt, scaled["y"].to_numpy(), rcond=None)[0]
        expected = _cgm(Xt, u, [scaled[c].to_numpy() for c in clusters])
        s = 1.0 / np.sqrt(np.diag(np.linalg.inv(Xt.T @ Xt)))
        assert np.linalg.eigvalsh(expected * np.outer(s, s)).min() > 0  # the oracle's sum is PSD
        fml = "y ~ x1 + x2" + (" | " + " + ".join(fes) if fes else "")
        fit, texts = _feols_quiet(fml, scaled, vcov={"CRV1": "+".join(clusters)}, ssc=CGM_SSC, fixef_tol=1e-12)
        assert not any("positive-semidefinite" in text for text in texts + fit.messages)
        np.testing.assert_allclose(fit.vcov_matrix, expected, rtol=1e-10, atol=0)


def test_feols_repair_removes_only_the_negative_directions():
    """Against the explicit loop's indefinite sum: in the metric of the bread's diagonal the
    repaired matrix keeps every eigenvector of nonnegative eigenvalue with its eigenvalue,
    and has none below zero."""
    df = _small_two_way(0)
    fit, _ = _feols_quiet("y ~ x1 + x2", df, vcov={"CRV1": "g+h"}, ssc=CGM_SSC)
    X = np.column_stack([np.ones(len(df)), df[["x1", "x2"]].to_numpy()])
    u = df["y"].to_numpy() - X @ np.linalg.lstsq(X, df["y"].to_numpy(), rcond=None)[0]
    s = 1.0 / np.sqrt(np.diag(np.linalg.inv(X.T @ X)))
    values, vectors = np.linalg.eigh(_cgm(X, u, [df["g"].to_numpy(), df["h"].to_numpy()]) * np.outer(s, s))
    assert values[0] < -1e-3 * values[-1]  # indefinite beyond any rounding
    repaired = fit.vcov_matrix * np.outer(s, s)
    for value, vector in zip(values, vectors.T, strict=True):
        np.testing.assert_allclose(repaired @ vector, max(value, 0.0) * vector, atol=1e-12 * values[-1])
