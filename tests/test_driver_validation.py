"""Argument contract of tolvane: signature, defaults, validation order and texts, synonyms."""

import inspect
import math

import numpy as np
import pandas as pd
import pytest
import scipy.optimize._remove_redundancy as scipy_redundancy

import vantrel
from vantrel.tolvane import _tolvane
from vantrel.tolvane._tolvane import tolvane


@pytest.fixture
def df(panel):
    return panel(seed=1, n=120, groups=(6, 4))


def test_signature_and_defaults():
    params = list(inspect.signature(tolvane).parameters)
    assert params == [
        "y",
        "x",
        "fixedeffects",
        "data",
        "setype",
        "clustvars",
        "FEgen",
        "verb",
        "eps_MAP",
        "minsubiter",
        "maxsubiter",
        "accel",
        "nt",
        "print_stata_style_summary",
        "solver",
    ]
    assert tolvane.__defaults__ == (None, None, "none", None, False, 0, 1e-9, 0, 1000, True, 0, True)
    assert tolvane.__kwdefaults__ == {"solver": "sweeps"}  # keyword only: positional calls unchanged
    assert type(tolvane.__defaults__[6]) is float and tolvane.__defaults__[6] != 1e-8


def test_module_bindings():
    from vantrel.backend import morlisk, quarnet

    assert _tolvane.np is np and _tolvane.pd is pd
    assert _tolvane.scipy.stats.t is not None
    for name in ("MAP_NH_CG_accel", "MAP_NH_noaccel", "calc_B", "drop_singletons", "panelsetup"):
        assert getattr(_tolvane, name) is getattr(quarnet, name)
    assert _tolvane.make_pointer is morlisk.make_pointer and _tolvane.powerset is morlisk.powerset
    assert _tolvane._remove_redundancy is scipy_redundancy._remove_redundancy_svd
    assert callable(_tolvane.tabulate) and _tolvane.SimpleNamespace is not None
    assert vantrel.tolvane is tolvane
    assert vantrel.calculate_fe_redundancies is _tolvane.calculate_fe_redundancies
    from vantrel.results import summary

    assert vantrel.stata_style_summary is _tolvane.stata_style_summary is summary.stata_style_summary


_ALL_BAD = dict(eps_MAP=float("nan"), minsubiter=1.0, maxsubiter=0, setype="bogus")


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        pytest.param(dict(data=None, **_ALL_BAD), RuntimeError, "data must not be empty", id="data_none_first"),
        pytest.param(
            dict(eps_MAP=0.0, minsubiter=1.0, setype="bogus"),
            ValueError,
            "Invalid value for eps_MAP; must be in (0, inf)",
            id="eps_zero_before_types",
        ),
        pytest.param(
            dict(eps_MAP=-1.0), ValueError, "Invalid value for eps_MAP; must be in (0, inf)", id="eps_negative"
        ),
        pytest.param(
            dict(eps_MAP=float("nan")), ValueError, "Invalid value for eps_MAP; must be in (0, inf)", id="eps_nan"
        ),
        pytest.param(
            dict(eps_MAP=math.inf), ValueError, "Invalid value for eps_MAP; must be in (0, inf)", id="eps_inf"
        ),
        pytest.param(
            dict(minsubiter=0.0, maxsubiter=0),
            TypeError,
            "Number of iterations must be integer values",
            id="min_float_before_max_value",
        ),
        pytest.param(dict(maxsubiter=1000.0), TypeError, "Number of iterations must be integer values", id="max_float"),
        pytest.param(
            dict(maxsubiter=np.int64(10)), TypeError, "Number of iterations must be integer values", id="max_numpy_int"
        ),
        pytest.param(
            dict(maxsubiter=0, minsubiter=5, setype="bogus"),
            ValueError,
            "Need at least one iteration",
            id="max_zero_before_min_max",
        ),
        pytest.param(
            dict(minsubiter=5, maxsubiter=3, setype="bogus"),
            ValueError,
            "Minimum number of iterations cannot exceed maximum number of iterations",
            id="min_above_max",
        ),
        pytest.param(dict(setype="Robust"), ValueError, "Invalid standard error type", id="setype_case"),
        pytest.param(dict(setype="hc1"), ValueError, "Invalid standard error type", id="setype_hc1_lower"),
        pytest.param(dict(data={"y": [1.0]}), TypeError, "data must be a pandas DataFrame, got dict", id="data_dict"),
        pytest.param(dict(y="y"), TypeError, "y must be a list of column names, got 'y'", id="y_bare_string"),
        pytest.param(dict(y=["y", "x1"]), ValueError, "y must hold exactly one column name", id="y_two_names"),
        pytest.param(dict(x=[]), ValueError, "x must hold at least one regressor name", id="x_empty"),
        pytest.param(
            dict(fixedeffects="a"),
            TypeError,
            "fixedeffects must be a list of column names, got 'a'",
            id="fe_bare_string",
        ),
        pytest.param(
            dict(y=["nope"], x=["nix"]),
            ValueError,
            "Dependent variable(s) not in data: ['nope']",
            id="missing_y_before_x",
        ),
        pytest.param(
            dict(x=["x1", "nix", "nax"], fixedeffects=["zz"]),
            ValueError,
            "Independent variable(s) not in data: ['nix', 'nax']",
            id="missing_x_before_fe",
        ),
        pytest.param(
            dict(fixedeffects=["a#zz", "qq"], setype="cluster", clustvars=["ww"]),
            ValueError,
            "Fixed effects variable(s) not in data: ['qq', 'zz']",
            id="missing_fe_sorted",
        ),
        pytest.param(dict(setype="cl"), ValueError, "No cluster defined", id="cluster_without_names"),
        pytest.param(
            dict(setype="cluster", clustvars=["q1", "q2", "q3", "q4", "q5"]),
            ValueError,
            "At most 4 cluster dimensions allowed",
            id="five_clusters_before_lookup",
        ),
        pytest.param(
            dict(setype="clus", clustvars=["a", "ww"]),
            ValueError,
            "Cluster variable(s) not in data: ['ww']",
            id="missing_cluster",
        ),
    ],
)
def test_bad_arguments(df, kwargs, error, text):
    call = dict(y=["y"], x=["x1"], fixedeffects=["a"], data=df)
    call.update(kwargs)
    with pytest.raises(error) as info:
        tolvane(**call)
    assert str(info.value).startswith(text)


@pytest.mark.parametrize(
    "kwargs",
    [
        pytest.param(dict(minsubiter=-5), id="negative_min"),
        pytest.param(dict(setype=None), id="setype_none_value"),
        pytest.param(dict(clustvars=["missing_but_unused"]), id="clusters_ignored_without_cluster_type"),
    ],
)
def test_accepted_edge_arguments(df, ols_oracle, kwargs):
    out = tolvane(["y"], ["x1"], ["a"], df, **kwargs)
    expected, _ = ols_oracle(df, "y", ["x1"], ["a"])
    np.testing.assert_allclose(out.params.ravel(), expected, rtol=1e-6)


@pytest.mark.parametrize("accel, routine", [(True, "MAP_NH_CG_accel"), (0, "MAP_NH_noaccel")])
def test_demeaning_call_receives_the_arguments(df, monkeypatch, accel, routine):
    real = getattr(_tolvane, routine)
    calls = []

    def spy(*args):
        calls.append(args)
        x, w, A, tol, miniter, maxiter, verbose, n_threads = args
        assert x.flags.c_contiguous and x.dtype == np.float64 and x.shape[1] == 3
        return real(x, w, A, 1e-9, miniter, maxiter, verbose, n_threads)

    monkeypatch.setattr(_tolvane, routine, spy)
    tolvane(["y"], ["x1", "x2"], ["a", "b"], df, eps_MAP=1e-300, minsubiter=-5, maxsubiter=77, accel=accel, nt=1)
    assert len(calls) == 1
    assert calls[0][1] is None and calls[0][3:] == (1e-300, -5, 77, 0, 1)


def test_boolean_iteration_count_means_one_iteration(df):
    # True passes the integer test and is one iteration: too few for the demeaning to converge.
    with pytest.raises(ValueError, match="demeaning did not converge"):
        tolvane(["y"], ["x1"], ["a", "b"], df, maxsubiter=True, minsubiter=False)


@pytest.mark.parametrize(
    "given, normalised",
    [
        *[pytest.param(s, "homoskedastic", id=s) for s in ("homoskedastic", "homo", "iid")],
        *[pytest.param(s, "heteroskedastic", id=s) for s in ("r", "robust", "heteroskedastic", "hetero", "HC1")],
        *[pytest.param(s, "cluster", id=s) for s in ("cluster", "clus", "clu", "multiway", "c", "cl")],
        pytest.param("none", "none", id="none"),
        pytest.param(None, "none", id="None"),
    ],
)
def test_standard_error_synonyms(df, given, normalised):
    out = tolvane(["y"], ["x1"], ["a"], df, setype=given, clustvars=["b"], print_stata_style_summary=False)
    # the Stata line names the cluster option exactly when the type became "cluster"
    assert out.formula_Stata.endswith("vce(cluster b)") == (normalised == "cluster")
    assert ("Cluster variables found but SEtype is not cluster; ignoring" in out.msg) == (normalised != "cluster")
    assert getattr(out, "cov_type", "none") == normalised


def test_redundancy_routine_falls_back_on_older_scipy(monkeypatch):
    import importlib.util
    import sys
    import types

    from vantrel.tolvane import partial_out

    def older(A, b):
        return A, b, 0, ""

    fake = types.ModuleType("scipy.optimize._remove_redundancy")
    fake._remove_redundancy = older  # the name before SciPy added the method suffix
    monkeypatch.setitem(sys.modules, "scipy.optimize._remove_redundancy", fake)
    found = importlib.util.spec_from_file_location("partial_out_on_older_scipy", partial_out.__file__)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    assert module._remove_redundancy is older
