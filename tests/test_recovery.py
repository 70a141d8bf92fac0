"""Fixed-effect recovery against a full dummy-variable regression.

Once each dimension is centred to mean zero over the observations, the
fixed effects of a connected panel are unique, so they can be compared with
the dummy coefficients of a least-squares fit centred the same way.
"""

from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from vantrel.tolvane.recovery import fe_rowsum, recover_fixed_effects

X_NAMES = ["x1", "x2"]


def _dummy_fit(df, terms):
    """Slopes, residuals and per-dimension centred effects from one big lstsq."""
    dummies = [np.eye(df[s].max() + 1)[df[s]] for s in terms]
    design = np.column_stack([df[X_NAMES].to_numpy()] + dummies)
    coef = np.linalg.lstsq(design, df["y"].to_numpy(), rcond=None)[0]
    beta = coef[:2].reshape(-1, 1)
    resid = (df["y"].to_numpy() - design @ coef).reshape(-1, 1)
    effects, cons, start = [], 0.0, 2
    for d in dummies:
        e = d @ coef[start : start + d.shape[1]]
        effects.append(e - e.mean())
        cons += e.mean()
        start += d.shape[1]
    return SimpleNamespace(beta=beta, resid=resid, effects=effects, cons=cons)


@pytest.fixture
def two_way(panel):
    df = panel(seed=5, n=400, groups=(25, 10), n_x=2)
    df["fe_A"] = df.groupby("a").ngroup()
    df["fe_B"] = df.groupby("b").ngroup()
    # Caller's labels: shuffled and not 0..N-1, to see they are carried through.
    df.index = np.random.default_rng(0).permutation(len(df)) * 3 + 100
    df["initial_index"] = df.index
    return df


def test_two_way_reproduces_fitted_values_and_dummy_effects(two_way):
    df = two_way
    fit = _dummy_fit(df, ["fe_A", "fe_B"])
    fe = recover_fixed_effects(df, ["y"], X_NAMES, fit.beta, fit.resid, len(df), ["a", "b"], ["fe_A", "fe_B"], 2, 0)
    assert list(fe) == ["_cons", "a", "a__levels", "b", "b__levels", "__hdfe_sum__", "__hdfe_sum_python__"]
    xb = df[X_NAMES].to_numpy() @ fit.beta.ravel()
    fitted = df["y"].to_numpy() - fit.resid.ravel()
    np.testing.assert_allclose(fe["_cons"] + fe["a"] + fe["b"] + xb, fitted, rtol=0, atol=1e-8)
    np.testing.assert_allclose(fe["__hdfe_sum_python__"] + xb, fitted, rtol=0, atol=1e-8)
    np.testing.assert_allclose(fe["a"], fit.effects[0], rtol=0, atol=1e-7)
    np.testing.assert_allclose(fe["b"], fit.effects[1], rtol=0, atol=1e-7)
    assert fe["_cons"] == pytest.approx(fit.cons, abs=1e-7)
    for term, name in [("a", "__hdfe1__"), ("b", "__hdfe2__")]:
        series = fe[term]
        assert series.name == name
        assert series.mean() == pytest.approx(0, abs=1e-12)
        assert list(series.index) == list(df.index)
    np.testing.assert_allclose(fe["__hdfe_sum__"], fe["a"] + fe["b"], rtol=0, atol=1e-14)
    assert fe["__hdfe_sum__"].name == "__hdfe_sum__"
    assert fe["__hdfe_sum_python__"].name == "__hdfe_sum_python__"


def test_levels_match_groupby_first_with_sparse_ids(two_way):
    """Group ids need not be dense; each present id gets its own centred value."""
    df = two_way.copy()
    df["fe_A"] = df["fe_A"] * 7 + 3
    fit = _dummy_fit(two_way, ["fe_A", "fe_B"])
    fe = recover_fixed_effects(df, ["y"], X_NAMES, fit.beta, fit.resid, len(df), ["a", "b"], ["fe_A", "fe_B"], 2, 0)
    expected = (
        pd.DataFrame({"fe_id": df["fe_A"].to_numpy(), "fe_value": fe["a"].to_numpy()})
        .groupby("fe_id")["fe_value"]
        .first()
    )
    levels = fe["a__levels"]
    assert levels.index.name == "a"
    assert list(levels.index) == sorted(df["fe_A"].unique())
    np.testing.assert_array_equal(levels.to_numpy(), expected.to_numpy())
    # Every observation carries its group's level.
    np.testing.assert_array_equal(levels.loc[df["fe_A"]].to_numpy(), fe["a"].to_numpy())


def test_interacted_spec_without_id_column_groups_by_its_variables(two_way):
    df = two_way.drop(columns=["fe_A", "fe_B"])
    df["c"] = np.arange(len(df)) % 3
    fit = _dummy_fit(two_way.assign(fe_A=two_way.groupby(["a", "b"]).ngroup()), ["fe_A"])
    fe = recover_fixed_effects(df, ["y"], X_NAMES, fit.beta, fit.resid, len(df), ["a#b"], ["fe_A"], 1, 0)
    np.testing.assert_allclose(fe["a#b"], fit.effects[0], rtol=0, atol=1e-9)
    assert fe["a#b__levels"].index.name == "a#b"
    assert len(fe["a#b__levels"]) == df.groupby(["a", "b"]).ngroups


def test_one_dimension_converges_in_two_sweeps(two_way, capsys):
    fit = _dummy_fit(two_way, ["fe_A"])
    fe = recover_fixed_effects(two_way, ["y"], X_NAMES, fit.beta, fit.resid, len(two_way), ["a"], ["fe_A"], 1, 1)
    assert capsys.readouterr().out == ("Recovering fixed effects...\nFixed effects converged in 2 iterations\n")
    np.testing.assert_allclose(fe["a"], fit.effects[0], rtol=0, atol=1e-9)


def test_invariant_to_row_order(two_way):
    fit = _dummy_fit(two_way, ["fe_A", "fe_B"])
    order = np.random.default_rng(1).permutation(len(two_way))
    args = (["y"], X_NAMES, fit.beta)
    tail = (len(two_way), ["a", "b"], ["fe_A", "fe_B"], 2, 0)
    fe = recover_fixed_effects(two_way, *args, fit.resid, *tail)
    fe_perm = recover_fixed_effects(two_way.iloc[order], *args, fit.resid[order], *tail)
    pd.testing.assert_series_equal(fe_perm["a"].sort_index(), fe["a"].sort_index(), check_exact=False, atol=1e-9)
    pd.testing.assert_series_equal(fe_perm["b__levels"], fe["b__levels"], check_exact=False, atol=1e-9)


def test_without_fixed_effects_the_constant_is_the_only_effect(two_way, capsys):
    df = two_way.drop(columns=["fe_B"]).assign(fe_A=0)
    design = np.column_stack([df[X_NAMES].to_numpy(), np.ones(len(df))])
    coef = np.linalg.lstsq(design, df["y"].to_numpy(), rcond=None)[0]
    beta = coef[:2].reshape(-1, 1)
    resid = (df["y"].to_numpy() - design @ coef).reshape(-1, 1)
    fe = recover_fixed_effects(df, ["y"], X_NAMES, beta, resid, len(df), [], ["fe_A"], 0, 1)
    assert capsys.readouterr().out == "Recovering fixed effects...\n"
    assert list(fe) == ["_cons", "__hdfe_sum__", "__hdfe_sum_python__"]
    assert fe["_cons"] == pytest.approx(coef[2], rel=1e-10)
    assert (fe["__hdfe_sum__"] == 0).all()
    np.testing.assert_allclose(fe["__hdfe_sum_python__"], coef[2], rtol=1e-10)
    assert list(fe["__hdfe_sum_python__"].index) == list(df.index)
    assert fe["__hdfe_sum__"].name == "__hdfe_sum__"


def test_fe_rowsum_is_intercept_plus_effects(two_way):
    fit = _dummy_fit(two_way, ["fe_A", "fe_B"])
    rowsum = fe_rowsum(two_way, ["y"], X_NAMES, fit.beta, fit.resid)
    expected = fit.cons + fit.effects[0] + fit.effects[1]
    np.testing.assert_allclose(rowsum.to_numpy(), expected, rtol=0, atol=1e-9)
    assert list(rowsum.index) == list(two_way.index)
