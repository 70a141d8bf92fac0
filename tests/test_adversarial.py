"""Inputs an adversarial caller may send: each ends as the right answer or as an error that
names the argument and says what is wrong, never as a crash, a silently wrong number or an
unrelated library error."""

import os

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from vantrel.backend.morlisk import make_pointer
from vantrel.tolvane._tolvane import tolvane


@pytest.fixture
def df(panel):
    return panel(seed=1, n=120, groups=(6, 4))


def _fit(data, x=("x1",), fes=("a",), **kw):
    kw.setdefault("print_stata_style_summary", False)
    return tolvane(["y"], list(x), list(fes), data, **kw)


THREAD_LIMIT = max(256, 4 * os.cpu_count())


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        pytest.param(dict(nt=1.5), TypeError, "nt must be an integer, got 1.5", id="nt_float"),
        pytest.param(dict(nt=True), TypeError, "nt must be an integer, got True", id="nt_bool"),
        pytest.param(
            dict(nt=100_000), ValueError, f"nt must be between 0 and {THREAD_LIMIT}, got 100000", id="nt_too_many"
        ),
        pytest.param(dict(nt=2**31 - 1), ValueError, "nt must be between 0", id="nt_int_max"),
        pytest.param(dict(verb=0.5), TypeError, "verb must be an integer, got 0.5", id="verb_float"),
        pytest.param(dict(maxsubiter=2**63), ValueError, "maxsubiter must be between", id="maxsubiter_over_int64"),
        pytest.param(
            dict(minsubiter=-(2**63) - 1), ValueError, "minsubiter must be between", id="minsubiter_under_int64"
        ),
        pytest.param(dict(setype="cluster", clustvars=[]), ValueError, "No cluster defined", id="clustvars_empty"),
        pytest.param(
            dict(fes=[1]), TypeError, "column labels must be strings: fixedeffects holds 1 (int)", id="fe_term_int"
        ),
        pytest.param(dict(x=[0]), TypeError, "column labels must be strings: x holds 0 (int)", id="x_int_label"),
        pytest.param(
            dict(x=[("x", 1)]), TypeError, "column labels must be strings: x holds ('x', 1)", id="x_tuple_label"
        ),
        pytest.param(dict(x=[None]), TypeError, "column labels must be strings: x holds None", id="x_none_label"),
        pytest.param(
            dict(setype="cl", clustvars=[2.0]),
            TypeError,
            "column labels must be strings: clustvars",
            id="cluster_float_label",
        ),
    ],
)
def test_bad_arguments_are_named(df, kwargs, error, text):
    with pytest.raises(error) as info:
        _fit(df, **kwargs)
    assert str(info.value).startswith(text)


@pytest.mark.parametrize(
    "nt",
    [
        pytest.param(np.int64(1), id="numpy_int"),
        pytest.param(THREAD_LIMIT, id="limit"),
        # the documented contract: 0 or negative uses the current default thread count
        pytest.param(-1, id="negative"),
    ],
)
def test_thread_counts_within_the_limit_are_accepted(df, ols_oracle, nt, restore_thread_count):
    out = _fit(df, nt=nt)
    np.testing.assert_allclose(out.params.ravel(), ols_oracle(df, "y", ["x1"], ["a"])[0], rtol=1e-8)


def test_cluster_labels_are_not_read_without_the_cluster_type(df, ols_oracle):
    out = _fit(df, setype="iid", clustvars=[2.0])
    assert "Cluster variables found but SEtype is not cluster; ignoring" in out.msg
    np.testing.assert_allclose(out.params.to_numpy(), ols_oracle(df, "y", ["x1"], ["a"])[0], rtol=1e-8)


def test_multiindex_columns_are_rejected(df):
    wide = pd.concat({"v": df}, axis=1)
    with pytest.raises(TypeError, match="^data must have one level of column labels, got 2 levels$"):
        tolvane([("v", "y")], [("v", "x1")], None, wide)


@pytest.mark.parametrize("setype", ["iid", "HC1", "none"])
def test_no_residual_degrees_of_freedom_is_named(setype):
    # two groups of two rows, two regressors: N - K - N_FE = 0
    data = pd.DataFrame(
        {"y": [1.0, 2.0, 3.0, 4.0], "x1": [1.0, 0.0, 3.0, 1.0], "x2": [0.5, 2.0, 1.0, 7.0], "a": [0, 0, 1, 1]}
    )
    with pytest.raises(
        ZeroDivisionError,
        match="^No residual degrees of freedom left: 4 observations, 2 regressors and 2 fixed-effect parameters$",
    ):
        _fit(data, x=["x1", "x2"], setype=setype)


def test_read_only_frame_gives_the_writable_result(df, ols_oracle):
    frozen = {}
    for name in df.columns:
        values = df[name].to_numpy().copy()
        values.flags.writeable = False
        frozen[name] = values
    out = _fit(pd.DataFrame(frozen, copy=False), x=["x1", "x2"], fes=["a", "b"])
    np.testing.assert_allclose(out.params.ravel(), ols_oracle(df, "y", ["x1", "x2"], ["a", "b"])[0], rtol=1e-7)


@pytest.mark.parametrize(
    "ids, accepted",
    [
        pytest.param(np.array([[0], [10**12]]), False, id="sparse_1e12"),
        pytest.param(np.array([[0], [8]]), False, id="four_ids_per_row_exceeded"),
        pytest.param(np.array([[0], [7]]), True, id="four_ids_per_row"),
    ],
)
def test_make_pointer_checks_density_before_allocating(ids, accepted):
    if accepted:
        assert len(make_pointer(ids)[0, 1]) == ids.max() + 1
    else:
        with pytest.raises(ValueError, match=f"^ids must be dense ids 0 .. G-1, got the id {ids.max()} for 2 rows"):
            make_pointer(ids)


@pytest.mark.parametrize("dtype", ["int64", "uint64", "Int64"])
@pytest.mark.parametrize("x", [pytest.param(["x"], id="id_only"), pytest.param(["x", "firm"], id="id_and_regressor")])
def test_integer_ids_beyond_double_precision_stay_distinct(ols_oracle, x, dtype):
    rng = np.random.default_rng(0)
    k = rng.integers(0, 10, 400)
    data = pd.DataFrame(
        {"y": rng.normal(size=400) + 5 * k, "x": rng.normal(size=400), "firm": pd.Series(2**53 + k).astype(dtype)}
    )
    out = _fit(data, x=x, fes=["firm"], setype="cluster", clustvars=["firm"])
    # the same model with ids that doubles hold exactly
    expected, n_used = ols_oracle(data.assign(firm=k), "y", ["x"], ["firm"])
    assert out.model.exog_names == ["x"] and out.nobs == n_used
    np.testing.assert_allclose(out.params.to_numpy(), expected, rtol=1e-9)
    assert out.df_resid_inference == 9
    assert data["firm"].dtype == dtype and data["firm"].min() == 2**53


@pytest.mark.parametrize("column, role", [("y", "Dependent variable"), ("x1", "Regressor")])
@pytest.mark.parametrize("dtype", [np.complex128, np.complex64])
def test_complex_columns_are_rejected_by_name(df, column, role, dtype):
    data = df.assign(**{column: df[column].to_numpy() + 0j}).astype({column: dtype})
    with pytest.raises(TypeError, match=f"^{role} '{column}' is complex"):
        _fit(data)


@pytest.mark.parametrize(
    "names",
    [
        pytest.param(["a"], id="fixed_effect"),
        pytest.param(["b"], id="cluster"),
        pytest.param(["x1"], id="regressor"),
        pytest.param(["y", "a"], id="multiindex"),
    ],
)
def test_index_names_do_not_enter_the_model(df, names):
    plain = _fit(df, setype="cluster", clustvars=["b"])
    labelled = df.set_index([df.index, df.index * 2]) if len(names) == 2 else df
    out = _fit(labelled.rename_axis(names), setype="cluster", clustvars=["b"])
    np.testing.assert_array_equal(out.params.to_numpy(), plain.params.to_numpy())
    np.testing.assert_array_equal(out.bse.to_numpy(), plain.bse.to_numpy())
    # the labels still travel with the rows (df has the default labels 0 .. N-1)
    assert list(out.resid.index) == list(labelled.index[plain.resid.index.to_numpy()])


def _arrow_dictionary(values, categories):
    return pd.arrays.ArrowExtensionArray(
        pa.array(values, pa.string()).dictionary_encode()
        if categories is None
        else pa.DictionaryArray.from_arrays(
            pa.array([categories.index(v) for v in values], pa.int32()), pa.array(categories)
        )
    )


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda v, cats: _arrow_dictionary(v, cats), id="arrow_dictionary"),
        pytest.param(lambda v, cats: _arrow_dictionary(v, None), id="arrow_dictionary_encoded"),
        pytest.param(lambda v, cats: pd.Categorical(v, categories=cats), id="categorical"),
        pytest.param(lambda v, cats: pd.array(v, dtype="string[pyarrow]"), id="arrow_string"),
    ],
)
@pytest.mark.parametrize("setype", ["iid", "cluster"])
def test_unused_categories_are_neither_groups_nor_clusters(make, setype):
    """A category whose only row is dropped (missing y) must not count: the estimate equals
    the one with the same labels as plain Python strings."""
    rng = np.random.default_rng(3)
    n = 90
    labels = list(rng.choice(["d", "b", "c"], n - 1)) + ["a"]
    data = pd.DataFrame({"y": rng.normal(size=n), "x1": rng.normal(size=n), "g": pd.Series(labels, dtype=object)})
    data.loc[n - 1, "y"] = np.nan  # the only row of "a"
    typed = data.assign(g=make(labels, ["b", "a", "c", "d"]))
    kw = dict(x=["x1"], fes=["g"], setype=setype, clustvars=["g"] if setype == "cluster" else None)
    out, expected = _fit(typed, **kw), _fit(data, **kw)
    np.testing.assert_allclose(out.params.to_numpy(), expected.params.to_numpy(), rtol=1e-12)
    np.testing.assert_allclose(out.bse.to_numpy(), expected.bse.to_numpy(), rtol=1e-12)
    assert out.df_resid == expected.df_resid == (n - 1) - 1 - 3
    assert getattr(out, "df_resid_inference", 2) == 2


# ---- units and offsets -------------------------------------------------------------------


@pytest.fixture
def integer_panel(panel):
    """Two-way panel whose columns hold small integers, so that adding 1e12 is exact."""
    df = panel(seed=41, n=300, groups=(25, 8), n_x=2)
    for name in ("y", "x1", "x2"):
        df[name] = np.round(df[name] * 8)
    return df


@pytest.mark.parametrize("accel", [pytest.param(True, id="cg"), pytest.param(False, id="plain")])
@pytest.mark.parametrize(
    "column, factor, offset",
    [
        *[
            pytest.param(c, f, 0.0, id=f"{c}_times_{f:g}")
            for c, f in [("y", 1e-9), ("y", 1e9), ("x1", 1e-9), ("x1", 1e-6), ("x1", 1e9)]
        ],
        *[
            pytest.param(c, 1.0, o, id=f"{c}_plus_{o:g}")
            for c, o in [("y", 1e12), ("x1", 1e7), ("x2", -1e9), ("x2", 1e12)]
        ],
        pytest.param("x2", 1e3, 1e12, id="x2_rescaled_and_shifted"),
    ],
)
def test_units_and_offsets_do_not_change_the_fit(integer_panel, accel, column, factor, offset):
    df = integer_panel
    kw = dict(x=["x1", "x2"], fes=["a", "b"], setype="HC1", accel=accel, maxsubiter=100_000)
    base = _fit(df, **kw)
    out = _fit(df.assign(**{column: df[column] * factor + offset}), **kw)
    # slopes and their errors scale with the unit of y and inversely with their regressor's
    ratio = np.full(2, factor) if column == "y" else np.where(np.array(["x1", "x2"]) == column, 1 / factor, 1.0)
    np.testing.assert_allclose(out.params.to_numpy(), base.params.to_numpy() * ratio, rtol=1e-9, atol=0)
    np.testing.assert_allclose(out.bse.to_numpy(), base.bse.to_numpy() * ratio, rtol=1e-9, atol=0)
    assert out.model.exog_names == ["x1", "x2"]


def test_huge_integer_offset_with_one_fixed_effect(ols_oracle):
    rng = np.random.default_rng(6)
    k = rng.integers(0, 50, 400)
    data = pd.DataFrame({"a": rng.integers(0, 20, 400), "x1": 2.0**62 + 1024.0 * k})
    data["y"] = 3.0 * k + rng.normal(size=400) + data["a"] * 0.1
    out = _fit(data, fes=["a"])
    expected = ols_oracle(data.assign(x1=1024.0 * k), "y", ["x1"], ["a"])[0]
    np.testing.assert_allclose(out.params.ravel(), expected, rtol=1e-10)


@pytest.mark.parametrize(
    "size",
    [
        pytest.param(1.0, id="unit"),
        pytest.param(1e6, id="1e6"),
        pytest.param(1e-8, id="1e-8"),
        pytest.param(1e-200, id="1e-200"),
    ],
)
def test_collinearity_is_judged_against_each_columns_own_size(integer_panel, ols_oracle, size):
    """A regressor the two fixed effects explain exactly is dropped, and one that is merely
    measured in small or large units is kept, whatever the unit."""
    df = integer_panel.copy()
    rng = np.random.default_rng(2)
    df["xc"] = size * (rng.normal(size=25)[df["a"]] + rng.normal(size=8)[df["b"]])
    df["xs"] = size * df["x2"]
    out = _fit(df, x=["x1", "xc", "xs"], fes=["a", "b"])
    assert out.model.exog_names == ["x1", "xs"]
    assert "The variables xc are omitted due to colliearity" in out.msg
    # the oracle in unit size: dummy least squares cannot take a column at 1e-200
    expected = ols_oracle(df.assign(xs=df["x2"]), "y", ["x1", "xs"], ["a", "b"])[0] / [1.0, size]
    np.testing.assert_allclose(out.params.ravel(), expected, rtol=1e-8)


# ---- fixed-effect recovery ----------------------------------------------------------------


def _chain(seed, n=600, n_indiv=60):
    """Workers who only meet a narrow band of firms: a long, weakly connected chain of
    groups, on which backfitting needs thousands of sweeps."""
    rng = np.random.default_rng(seed)
    indiv = rng.integers(0, n_indiv, n)
    firm = np.minimum(indiv // 4 + rng.integers(0, 3, n), n_indiv // 4 + 1)
    x1 = rng.normal(size=n) + np.cos(indiv)
    y = 0.5 * x1 + np.sin(indiv) + 3 * np.cos(firm) + rng.normal(size=n)
    return pd.DataFrame({"y": y, "x1": x1, "i": indiv, "f": firm})


@pytest.mark.parametrize("seed", [0, 1])
def test_recovered_effects_of_a_weakly_connected_design(seed):
    data = _chain(seed)
    out = _fit(data, fes=["i", "f"], FEgen=True)
    used = data.loc[out.fixed_effects["i"].index]
    dummies = [np.eye(used[t].max() + 1)[used[t]] for t in ("i", "f")]
    coef = np.linalg.lstsq(np.column_stack([used[["x1"]].to_numpy()] + dummies), used["y"].to_numpy(), rcond=None)[0]
    start = 1
    for term, d in zip(("i", "f"), dummies, strict=True):
        effect = d @ coef[start : start + d.shape[1]]
        start += d.shape[1]
        np.testing.assert_allclose(out.fixed_effects[term].to_numpy(), effect - effect.mean(), rtol=0, atol=1e-9)
    assert all("did not converge" not in m for m in out.msg)


def test_recovery_that_misses_its_tolerance_warns(monkeypatch, capsys):
    import scipy.sparse.linalg

    from vantrel.core import recovery

    lsmr = scipy.sparse.linalg.lsmr
    monkeypatch.setattr(recovery, "_MAX_SWEEPS", 2)
    monkeypatch.setattr(scipy.sparse.linalg, "lsmr", lambda *args, **kw: lsmr(*args, **{**kw, "maxiter": 2}))
    out = _fit(_chain(0), fes=["i", "f"], FEgen=True)
    text = "Fixed effects did not converge; the recovered values may be inaccurate"
    assert out.msg[-1] == text and capsys.readouterr().out.splitlines()[-1] == text


# ---- faults the earlier suite let through ----------------------------------------------------


@pytest.mark.parametrize("accel", [pytest.param(True, id="cg"), pytest.param(False, id="plain")])
def test_regressor_absorbed_by_two_effects_together_is_dropped(panel, accel):
    """xc = f(a) + g(b) is constant within no single group, so only the two effects together
    absorb it and it demeans to rounding noise rather than to exact zeros."""
    df = panel(seed=43, n=300, groups=(20, 6))
    rng = np.random.default_rng(4)
    df["xc"] = rng.normal(size=20)[df["a"]] + rng.normal(size=6)[df["b"]]
    with pytest.raises(Exception, match="^No regressor left: the variables xc are omitted due to colliearity$"):
        _fit(df, x=["xc"], fes=["a", "b"], accel=accel)


@pytest.mark.parametrize("setype", ["iid", "HC1", "cluster"])
def test_missing_cluster_value_drops_the_row(df, setype):
    clustered = df.assign(b=df["b"].astype(float))
    clustered.loc[7, "b"] = np.nan
    kw = dict(x=["x1", "x2"], setype=setype, clustvars=["b"] if setype == "cluster" else None)
    out = _fit(clustered, **kw)
    if setype == "cluster":
        expected = _fit(clustered.drop(index=7), **kw)
        assert "1 observation(s) have been excluded due to non-valid values" in out.msg
        assert 7 not in out.resid.index and out.nobs == expected.nobs
    else:  # the cluster variable is not part of the model then: the row stays
        expected = _fit(df, **kw)
        assert 7 in out.resid.index and out.nobs == expected.nobs
    np.testing.assert_array_equal(out.params.to_numpy(), expected.params.to_numpy())
    np.testing.assert_array_equal(out.bse.to_numpy(), expected.bse.to_numpy())


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # the fit statistics over- and underflow
@pytest.mark.parametrize("factor", [pytest.param(1e300, id="1e300"), pytest.param(1e-300, id="1e-300")])
@pytest.mark.parametrize("accel", [pytest.param(True, id="cg"), pytest.param(False, id="plain")])
def test_coefficients_at_the_ends_of_the_double_range(integer_panel, factor, accel):
    """Squares of such values overflow or underflow; the slopes must scale all the same."""
    kw = dict(x=["x1", "x2"], fes=["a", "b"], accel=accel, maxsubiter=100_000)
    base = _fit(integer_panel, **kw)
    out = _fit(integer_panel.assign(y=integer_panel["y"] * factor), **kw)
    np.testing.assert_allclose(out.params.ravel(), base.params.ravel() * factor, rtol=1e-9, atol=0)


def test_coefficient_solver_with_a_regressor_the_effects_absorb(panel, ols_oracle):
    """Such a column once left the coefficient solver's other columns wrong (or unconverged)."""
    bad = []
    for seed in range(10):
        df = panel(seed=seed, n=200, groups=(8, 6), n_x=1)
        df["xc"] = df["a"] * 1.0
        try:
            out = _fit(df, x=["x1", "xc"], fes=["a", "b"], solver="coefficients")
            expected = ols_oracle(df, "y", ["x1"], ["a", "b"])[0]
            if out.model.exog_names != ["x1"] or not np.allclose(np.ravel(out.params), expected, rtol=1e-6):
                bad.append(seed)
        except ValueError:  # "demeaning did not converge"
            bad.append(seed)
    assert bad == []


def test_coefficient_solver_on_two_binary_effects_with_a_regressor_they_absorb(ols_oracle):
    """On such draws the solver's exact pair preconditioner once left the absorbed column
    unabsorbed and the other slopes off by 1e-3."""
    bad = []
    for seed in range(30):
        rng = np.random.default_rng(seed)
        df = pd.DataFrame({"f0": rng.integers(0, 2, 52), "f1": rng.integers(0, 2, 52), "x1": rng.normal(size=52)})
        df["y"] = 0.8 * df["x1"] + df["f0"] - 0.5 * df["f1"] + rng.normal(size=52)
        out = _fit(df, x=["x1", "f0"], fes=["f0", "f1"], solver="coefficients")
        expected = ols_oracle(df, "y", ["x1"], ["f0", "f1"])[0]
        if out.model.exog_names != ["x1"] or not np.allclose(np.ravel(out.params), expected, rtol=1e-6):
            bad.append(seed)
    assert bad == []


def test_make_pointer_reads_read_only_ids():
    ids = np.random.default_rng(8).integers(0, 6, size=(50, 2))
    frozen = np.asfortranarray(ids)  # column-major: each id column is read in place
    frozen.flags.writeable = False
    A, expected = make_pointer(frozen), make_pointer(ids)
    for j in range(2):
        np.testing.assert_array_equal(A[j, 0], expected[j, 0])
        np.testing.assert_array_equal(A[j, 1], expected[j, 1])
