"""Estimation sample: column handling, removals and their messages, fixed-effect ids."""

import numpy as np
import pandas as pd
import pytest

from vantrel.tolvane._tolvane import tolvane

SINGLETON_TEXT = " observation(s) have been excluded due to missing within group variation"
INVALID_TEXT = " observation(s) have been excluded due to non-valid values"
RECAST = "Some variables are not double, recasting"


def test_caller_objects_untouched_with_text_categorical_and_nullable_columns(panel):
    df = panel(seed=3, n=300, groups=(12, 5))
    df["a"] = "firm_" + df["a"].astype(str)  # default string dtype
    df["b"] = pd.Categorical(df["b"], categories=[9, 4, 3, 2, 1, 0])  # unused category 9
    df["x2"] = pd.array(np.round(df["x2"] * 3), dtype="Int64")  # nullable integer regressor
    df.loc[[5, 7], "x2"] = pd.NA
    df.loc[11, "a"] = None
    df = df[["x2", "b", "y", "a", "x1"]]
    before = df.copy(deep=True)
    x, fes, clus = ["x1", "x2"], ["a", "b#a", "a"], ["b"]
    out = tolvane(["y"], x, fes, df, setype="none", clustvars=clus)
    pd.testing.assert_frame_equal(df, before)
    assert list(df.dtypes) == list(before.dtypes)
    assert x == ["x1", "x2"] and fes == ["a", "b#a", "a"] and clus == ["b"]
    assert RECAST in out.msg and "3" + INVALID_TEXT in out.msg


def test_text_and_categorical_ids_match_integer_ids(panel):
    df = panel(seed=4, n=300, groups=(12, 5))
    relabelled = df.copy()
    relabelled["a"] = "id" + (df["a"] * 7 % 13).astype(str)
    relabelled["b"] = pd.Categorical(df["b"].map(lambda v: f"cat{v}"))
    expected = tolvane(["y"], ["x1", "x2"], ["a", "b"], df)
    got = tolvane(["y"], ["x1", "x2"], ["a", "b"], relabelled)
    np.testing.assert_allclose(got.params, expected.params, rtol=1e-10)
    assert got.nobs == expected.nobs


def test_int64_ids_beyond_2_pow_53_stay_distinct(panel, ols_oracle, capsys):
    # As doubles, 2**53 + 1 rounds onto 2**53: copying the ids through a float array would
    # merge these firms into one fixed-effect group.
    df = panel(seed=5, n=240, groups=(20,))
    n_groups = df["a"].nunique()
    big = df.copy()
    big["a"] = np.int64(2**53) + df["a"].to_numpy(dtype=np.int64)
    assert np.unique(big["a"].to_numpy(dtype=np.float64)).size < n_groups
    out = tolvane(["y"], ["x1", "x2"], ["a"], big, verb=1)
    assert f"Created a fixed effects with {n_groups} groups" in capsys.readouterr().out
    expected, n_used = ols_oracle(df, "y", ["x1", "x2"], ["a"])
    np.testing.assert_allclose(out.params.ravel(), expected, rtol=1e-8)
    assert out.nobs == n_used


def test_recast_notice_only_for_non_double_model_columns(panel, capsys):
    df = panel(seed=6, n=200, groups=(10,))
    df["a"] = "g" + df["a"].astype(str)
    clean = tolvane(["y"], ["x1"], ["a"], df)
    assert RECAST not in clean.msg and RECAST not in capsys.readouterr().out
    df["xi"] = np.arange(len(df)) % 7
    recast = tolvane(["y"], ["x1", "xi"], ["a"], df, verb=0)
    assert recast.msg.count(RECAST) == 1
    assert capsys.readouterr().out.splitlines() == [RECAST]


def test_missing_and_non_finite_rows_are_counted_once(panel, ols_oracle):
    df = panel(seed=7, n=300, groups=(10, 6))
    df[["a", "b"]] = df[["a", "b"]].astype(float)
    df.loc[3, "a"] = np.nan  # missing fixed-effect value
    df.loc[8, "x1"] = np.inf  # infinite regressor
    df.loc[9, "y"] = -np.inf  # infinite dependent variable
    df.loc[10, "x2"] = np.nan
    df.loc[[20, 21, 22], "b"] = np.inf  # infinity in a fixed-effect variable is a valid group
    out = tolvane(["y"], ["x1", "x2"], ["a", "b"], df)
    assert out.msg[0] == "4" + INVALID_TEXT
    kept = df.drop(index=[3, 8, 9, 10])
    expected, n_used = ols_oracle(kept, "y", ["x1", "x2"], ["a", "b"])
    assert out.nobs == n_used and {20, 21, 22} <= set(out.resid.index)
    np.testing.assert_allclose(out.params.ravel(), expected, rtol=1e-8)


def test_single_singleton_is_counted(panel):
    df = panel(seed=8, n=100, groups=(4,))
    df = pd.concat([df, df.iloc[[0]].assign(a=99)], ignore_index=True)
    out = tolvane(["y"], ["x1"], ["a"], df, verb=0)
    assert out.msg == ["1" + SINGLETON_TEXT]
    assert len(df) - 1 not in out.resid.index


def test_cascading_singletons_are_all_counted(panel, singleton_reference, capsys):
    # rows 0-3 form a chain: dropping row 0 (alone in a) leaves row 1 alone in b, and so on.
    df = panel(seed=9, n=200, groups=(15, 15))
    chain = pd.DataFrame(
        {
            "a": [100, 101, 101, 102],
            "b": [200, 200, 201, 201],
            "x1": [0.1, 0.2, 0.3, 0.4],
            "x2": [1.0, 2.0, 3.0, 5.0],
            "y": [1.0, 2.0, 0.0, 1.0],
        }
    )
    df = pd.concat([df, chain], ignore_index=True)
    expected = len(df) - len(singleton_reference(df, ["a", "b"]))
    assert expected >= 4
    out = tolvane(["y"], ["x1", "x2"], ["a", "b"], df, verb=1)
    assert out.msg == [str(expected) + SINGLETON_TEXT]
    assert str(expected) + SINGLETON_TEXT in capsys.readouterr().out
    assert out.nobs == len(df) - expected


def test_all_rows_singletons_raises():
    df = pd.DataFrame({"y": [1.0, 2.0, 3.0], "x1": [0.5, 0.1, 0.3], "a": [1, 2, 3]})
    with pytest.raises(ValueError, match="All obs can be explained by fe"):
        tolvane(["y"], ["x1"], ["a"], df)


def test_no_valid_rows_raises():
    df = pd.DataFrame({"y": [1.0, np.nan], "x1": [np.inf, 0.1], "a": [1, 1]})
    with pytest.raises(ValueError, match="No observations left"):
        tolvane(["y"], ["x1"], ["a"], df)


def test_duplicate_specification_notice_is_printed_not_stored(panel, capsys):
    df = panel(seed=10, n=200, groups=(10, 5))
    once = tolvane(["y"], ["x1"], ["a", "b"], df)
    capsys.readouterr()
    twice = tolvane(["y"], ["x1"], ["a", "b", "a"], df)
    out = capsys.readouterr().out
    assert out.splitlines() == ['Fixed effect "a" is duplicate and ignored']
    assert not any("duplicate" in m for m in twice.msg)
    np.testing.assert_array_equal(twice.params, once.params)
    assert twice.formula_Stata.endswith("absorb(a b)")


def test_created_lines_under_verbosity(capsys):
    rng = np.random.default_rng(11)
    state, year = np.meshgrid(np.arange(10), np.arange(1990, 1995))
    df = pd.DataFrame({"state": np.repeat(state.ravel(), 3), "year": np.repeat(year.ravel(), 3)})
    df["x1"] = rng.normal(size=len(df))
    df["y"] = df["x1"] + rng.normal(size=len(df))
    tolvane(["y"], ["x1"], ["state#year"], df, verb=0)
    assert "Created" not in capsys.readouterr().out
    tolvane(["y"], ["x1"], ["state#year", "state"], df, verb=1)
    lines = capsys.readouterr().out.splitlines()
    assert "Created state-year fixed effects with 50 groups" in lines
    assert "Created state fixed effects with 10 groups" in lines


@pytest.mark.parametrize("fixedeffects", [pytest.param(None, id="None"), pytest.param([], id="empty_list")])
def test_model_without_fixed_effects_is_ols_with_constant(panel, ols_oracle, fixedeffects):
    df = panel(seed=12, n=150, groups=(3,))
    out = tolvane(["y"], ["x1", "x2"], fixedeffects, df)
    expected, _ = ols_oracle(df, "y", ["x1", "x2"], [])
    np.testing.assert_allclose(out.params.ravel(), expected, rtol=1e-10)
    assert out.nobs == len(df) and out.msg == []
    design = np.column_stack([np.ones(len(df)), df[["x1", "x2"]]])
    fitted = design @ np.linalg.lstsq(design, df["y"], rcond=None)[0]
    np.testing.assert_allclose(out.fittedvalues.sort_index().to_numpy(), fitted, rtol=1e-10)


def test_cluster_messages(panel, capsys):
    df = panel(seed=13, n=200, groups=(10, 5))
    ignored = tolvane(["y"], ["x1"], ["a"], df, clustvars=["zz"])
    assert ignored.msg == ["Cluster variables found but SEtype is not cluster; ignoring"]
    assert capsys.readouterr().out.splitlines() == ignored.msg


def test_reserved_column_names_are_rejected(panel):
    df = panel(seed=14, n=100, groups=(5,)).rename(columns={"x1": "fe_A"})
    with pytest.raises(ValueError, match="reserved"):
        tolvane(["y"], ["fe_A"], ["a"], df)


def test_row_labels_and_row_order(panel):
    df = panel(seed=15, n=250, groups=(12, 6))
    df.index = [f"r{i:03d}" for i in range(len(df))]
    out = tolvane(["y"], ["x1", "x2"], ["a", "b"], df)
    shuffled = df.sample(frac=1.0, random_state=0)
    again = tolvane(["y"], ["x1", "x2"], ["b", "a"], shuffled)
    np.testing.assert_allclose(again.params, out.params, rtol=1e-9)
    assert out.resid.index.name == "initial_index"
    pd.testing.assert_series_equal(
        (out.fittedvalues + out.resid).sort_index(),
        df.loc[out.resid.index, "y"].sort_index(),
        check_names=False,
        check_index_type=False,
        rtol=1e-12,
    )
    pd.testing.assert_series_equal(again.resid.sort_index(), out.resid.sort_index(), atol=1e-9, rtol=0)


@pytest.mark.parametrize(
    "encode",
    [
        pytest.param(lambda ids: ids - 50, id="negative_codes"),
        pytest.param(lambda ids: ids.astype(np.uint64) + np.uint64(2**63), id="uint64_above_int64"),
        pytest.param(lambda ids: ids.astype(np.int32), id="int32"),
        pytest.param(lambda ids: (ids * 8 - 100).astype(np.int8), id="int8_range_wider_than_int8"),
        pytest.param(lambda ids: ids * 1_000_003, id="sparse_codes"),
    ],
)
def test_integer_id_codes_give_the_same_groups_in_the_same_order(panel, encode):
    # Integer codes are ranked by counting when their range is narrow and by hashing
    # otherwise; both must number the groups densely in ascending code order. Every
    # encoding here keeps the order of the codes, so the recovered levels line up.
    df = panel(seed=12, n=400, groups=(25, 6))
    coded = df.assign(a=encode(df["a"].to_numpy()))
    kwargs = dict(setype="iid", FEgen=True, print_stata_style_summary=False)
    expected = tolvane(["y"], ["x1", "x2"], ["a", "b"], df, **kwargs)
    got = tolvane(["y"], ["x1", "x2"], ["a", "b"], coded, **kwargs)
    np.testing.assert_allclose(got.bse, expected.bse, rtol=1e-12)
    np.testing.assert_allclose(
        got.fixed_effects["a__levels"].to_numpy(), expected.fixed_effects["a__levels"].to_numpy(), atol=1e-9
    )


def _id_columns(seed):
    rng = np.random.default_rng(seed)
    n = 1_000
    return (
        rng,
        n,
        {
            "few": rng.integers(0, 7, n),
            "many": rng.integers(0, 600, n),
            "wide": rng.integers(-(10**12), 10**12, n) // 10**9 * 10**9,
            "text": rng.choice(["b", "a", "zz", "c"], n),
            "categorical": pd.Categorical(rng.choice(["lo", "hi"], n), categories=["unused", "lo", "hi"]),
            "float": rng.choice([0.5, -2.0, 3.25], n),
            "uint64_high": rng.integers(0, 5, n).astype(np.uint64) + np.uint64(2**63),
        },
    )


@pytest.mark.parametrize(
    "names",
    [
        pytest.param(["few", "float"], id="narrow_product"),
        pytest.param(["many", "many2"], id="wide_product_pair_ranks"),
        pytest.param(["many", "few", "many2"], id="three_wide"),
        pytest.param(["text", "wide"], id="text_and_sparse_codes"),
        pytest.param(["categorical", "uint64_high", "many"], id="categorical_uint64"),
        pytest.param(["many", "many"], id="same_column_twice"),
    ],
)
def test_combined_ids_number_groups_like_groupby(names):
    # Interacted effects and cluster intersections combine per-variable ranks instead
    # of grouping by the raw tuples; the numbering must be the grouping's own.
    from vantrel.core.dense_ids import group_ids

    rng, n, columns = _id_columns(5)
    columns["many2"] = rng.integers(0, 600, n)
    df = pd.DataFrame(columns)
    expected = df.groupby(list(dict.fromkeys(names)), observed=True).ngroup().to_numpy()
    np.testing.assert_array_equal(group_ids(df, names), expected)


@pytest.mark.parametrize(
    "index",
    [
        pytest.param(None, id="range_index"),
        pytest.param(pd.RangeIndex(1000, 7000, 6), id="range_index_with_step"),
        pytest.param(pd.Index([f"r{i:04d}" for i in range(1000)]), id="text_labels"),
    ],
)
@pytest.mark.parametrize("threads", [1, 2])
def test_sorted_sample_rows_are_the_callers_rows(index, threads, monkeypatch):
    # The sort rebuilds some columns from the sorted ids instead of gathering them, and
    # the default labels from the positions; every value must still be the caller's.
    from vantrel.backend import morlisk
    from vantrel.tolvane import sample

    # small enough a sample for the threaded gathers and column indexing too
    monkeypatch.setattr(morlisk, "_PARALLEL_ROWS", 0)
    rng = np.random.default_rng(8)
    n = 1000
    df = pd.DataFrame(
        {
            "y": rng.normal(size=n),
            "x": rng.normal(size=n),
            "big": rng.integers(0, 300, n) * 10**15,
            "small": rng.integers(0, 5, n).astype(np.uint64) + np.uint64(2**63),
            "narrow": rng.integers(-40, 40, n).astype(np.int32),
            "text": rng.choice(["p", "q", "r"], n),
        }
    )
    if index is not None:
        df.index = index
    terms = ["big", "small#text", "narrow", "text"]
    fenames = sample.fe_names(len(terms))
    keepvars = sample.check_variables(df, ["y"], ["x"], terms, "none", None)
    data = sample.working_frame(df, keepvars, ["y"], ["x"], "none", None, [])
    data, _ = sample.add_fe_ids(data, terms, fenames, verb=0)
    A = sample.group_index(data, fenames, threads=threads)
    keep = sample.singleton_free_rows(data, ["y"], A, 0, [])
    assert not keep.all()  # some of the 300 "big" groups are singletons
    out = sample.drop_singletons_and_sort_by_largest_effect(data, fenames, A, keep, threads, terms)
    assert list(out.columns) == list(data.columns)
    expected = df.loc[out.index]
    for name in df.columns:
        assert out[name].dtype == df[name].dtype
        np.testing.assert_array_equal(out[name].to_numpy(), expected[name].to_numpy())
    assert np.all(np.diff(out["fe_A"].to_numpy()) >= 0)  # "big" has the most groups
    for name in fenames:
        np.testing.assert_array_equal(
            out[name].to_numpy(), data[name].to_numpy()[keep][np.argsort(data["fe_A"].to_numpy()[keep], kind="stable")]
        )
