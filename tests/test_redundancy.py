"""calculate_fe_redundancies: name-based nesting rules, cluster nesting, key order."""

import numpy as np
import pandas as pd
import pytest

from vantrel import calculate_fe_redundancies


@pytest.fixture
def trade():
    rng = np.random.default_rng(40)
    n = 600
    return pd.DataFrame(
        {
            "importer": rng.integers(0, 9, n),
            "exporter": rng.integers(0, 7, n),
            "year": rng.integers(2000, 2006, n),
            "firm": rng.integers(0, 40, n),
        }
    )


def count(df, *names):
    """Distinct value combinations, counted without groupby."""
    return len(df[list(names)].drop_duplicates())


def record(categories, redundant):
    return {"categories": categories, "redundant": redundant, "num_coefs": max(categories - redundant, 0)}


def test_single_effect(trade):
    out = calculate_fe_redundancies(trade, ["firm"], ["fe_A"])
    assert out == {"firm": record(count(trade, "firm"), 0)}
    assert list(out["firm"]) == ["categories", "redundant", "num_coefs"]


@pytest.mark.parametrize(
    "setype, clustvars, nested",
    [
        pytest.param("cluster", ["firm"], True, id="cluster_nests"),
        pytest.param("cluster", ("year", "firm"), True, id="cluster_tuple"),
        pytest.param("heteroskedastic", ["firm"], False, id="not_cluster_type"),
        pytest.param("cluster", None, False, id="cluster_without_names"),
        pytest.param("clu", ["firm"], False, id="unnormalised_text_ignored"),
    ],
)
def test_cluster_nesting_needs_the_exact_cluster_type(trade, setype, clustvars, nested):
    out = calculate_fe_redundancies(trade, ["firm", "importer"], None, setype=setype, clustvars=clustvars)
    n_firm = count(trade, "firm")
    assert out["firm"] == record(n_firm, n_firm if nested else 0)
    assert out["importer"] == record(count(trade, "importer"), 0)


def test_cluster_nested_interaction_then_overlap(trade):
    out = calculate_fe_redundancies(
        trade, ["firm#year", "year"], ["fe_A", "fe_B"], setype="cluster", clustvars=["firm"]
    )
    n_fy, n_year = count(trade, "firm", "year"), count(trade, "year")
    assert out == {"firm#year": record(n_fy, n_fy), "year": record(n_year, n_year)}


def test_later_effects_take_the_largest_overlap(trade):
    terms = ["importer#year", "exporter#year", "importer#exporter"]
    out = calculate_fe_redundancies(trade, terms, ["fe_A", "fe_B", "fe_C"])
    assert list(out) == terms
    assert out["importer#year"] == record(count(trade, "importer", "year"), 0)
    assert out["exporter#year"] == record(count(trade, "exporter", "year"), count(trade, "year"))
    assert out["importer#exporter"] == record(
        count(trade, "importer", "exporter"), max(count(trade, "importer"), count(trade, "exporter"))
    )


def test_no_shared_names_means_no_redundancy(trade):
    # year is in fact constant within firm here, but only names are compared
    nested = trade.assign(year=trade["firm"] % 5)
    out = calculate_fe_redundancies(nested, ["firm", "year"], ["fe_A", "fe_B"])
    assert out["year"] == record(5, 0)


def test_contained_effect_has_no_coefficients(trade):
    out = calculate_fe_redundancies(trade, ["firm#year", "firm"], ["fe_A", "fe_B"])
    n_firm = count(trade, "firm")
    assert out["firm"] == record(n_firm, n_firm)


def test_repeated_key_keeps_position_and_takes_last_values(trade):
    out = calculate_fe_redundancies(trade, ["year", "importer", "year"], "ignored")
    assert list(out) == ["year", "importer"]
    # at its last occurrence year overlaps with the first "year": fully redundant
    n_year = count(trade, "year")
    assert out["year"] == record(n_year, n_year)


def test_missing_values_clamp_at_zero():
    df = pd.DataFrame({"a": [1, 1, 2, 2, np.nan], "b": [1.0, np.nan, np.nan, np.nan, 3.0]})
    # "a#b" has only the complete row (1, 1); the overlap count over "a" alone is 2
    out = calculate_fe_redundancies(df, ["a", "a#b"], None)
    assert out["a#b"] == {"categories": 1, "redundant": 2, "num_coefs": 0}


def test_arguments_are_not_modified_and_errors_pass_through(trade):
    terms, clus = ["firm", "year"], ["firm"]
    before = trade.copy()
    calculate_fe_redundancies(trade, terms, ["fe_A", "fe_B"], "cluster", clus)
    assert terms == ["firm", "year"] and clus == ["firm"]
    pd.testing.assert_frame_equal(trade, before)
    with pytest.raises(KeyError):
        calculate_fe_redundancies(trade, ["nope"], None)
    with pytest.raises(AttributeError):
        calculate_fe_redundancies(trade, [3], None)
    with pytest.raises(TypeError):
        calculate_fe_redundancies(trade, ["firm"])
