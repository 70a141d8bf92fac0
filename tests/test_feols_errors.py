"""Reliability of `vantrel.feols` and the driver's thread count: errors that name the argument
and say what is wrong, estimates that leave the process as they found it (BLAS thread
counts, DuckDB's temporary directories), and dropped observations a user sees.

Oracles: the serial estimate (concurrent and out-of-memory runs), statsmodels' dummy
regression and pyfixest (standard errors, observation counts), the pandas singleton screen
of conftest, the driver's own default-thread result, pyproject.toml."""

import ctypes
import os
import re
import tempfile
import threading
import tomllib
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf
from threadpoolctl import threadpool_info

import vantrel
from vantrel.backend import quarnet
from vantrel.backend.morlisk import make_pointer
from vantrel.formula.parse import FormulaError
from vantrel.models import ols
from vantrel.tolvane._tolvane import tolvane

duckdb = pytest.importorskip("duckdb")


@pytest.fixture
def frame(panel):
    df = panel(seed=3, n=300, groups=(25, 6), n_x=2)
    return df.assign(year=df["b"] + 2000, w=np.linspace(0.5, 2.0, len(df)))


# -- the driver's thread count ----------------------------------------------------------


@pytest.mark.parametrize("nt", [pytest.param(-1, id="minus_one"), pytest.param(-(2**40), id="below_c_int")])
def test_negative_nt_runs_on_the_default_thread_count(panel, nt, restore_thread_count):
    """0 or negative: the current default thread count (the driver's documented contract);
    a negative count neither fails nor sets the OpenMP default, and gives nt=0's bits."""
    df = panel(seed=5, n=400, groups=(20, 7))
    gomp = ctypes.CDLL("libgomp.so.1")
    default = tolvane(["y"], ["x1", "x2"], ["a", "b"], df, setype="hetero", nt=0, print_stata_style_summary=False)
    before = gomp.omp_get_max_threads()
    out = tolvane(["y"], ["x1", "x2"], ["a", "b"], df, setype="hetero", nt=nt, print_stata_style_summary=False)
    assert gomp.omp_get_max_threads() == before
    for name in ("params", "bse", "resid"):
        assert np.array_equal(np.asarray(getattr(out, name)), np.asarray(getattr(default, name))), name


@pytest.mark.parametrize("function", ["MAP_NH_noaccel", "MAP_NH_CG_accel", "COEF_PCG_demean"])
def test_the_kernel_takes_a_negative_thread_count_as_the_default(function, restore_thread_count):
    rng = np.random.default_rng(4)
    ids = np.column_stack([rng.integers(0, 12, 500), rng.integers(0, 5, 500)])
    x = rng.normal(size=(500, 2))
    results = []
    for n_threads in (0, -1):
        block = x.copy()
        getattr(quarnet, function)(block, None, make_pointer(ids), 1e-10, 0, 1000, 0, n_threads)
        results.append(block)
    assert np.array_equal(results[0], results[1])


# -- BLAS thread counts of concurrent estimates ---------------------------------------------


def _blas_threads():
    return [(info["filepath"], info["num_threads"]) for info in threadpool_info() if info["user_api"] == "blas"]


MODELS = [
    ("y ~ x1 + x2 | a", dict()),
    ("y ~ x1 | a + b", dict(vcov="hetero")),
    ("y ~ x1 + x2 | a", dict(vcov={"CRV1": "b"}, weights="w")),
    ("y ~ x1 + x2", dict()),
]


def _same_bits(got, expected):
    for method in ("coef", "se", "resid"):
        assert np.array_equal(getattr(got, method)().to_numpy(), getattr(expected, method)().to_numpy()), method


def _concurrently(frame):
    """Every model of MODELS estimated at once, one thread each."""
    results, errors = [None] * len(MODELS), []

    def run(i):
        try:
            results[i] = vantrel.feols(MODELS[i][0], frame, **MODELS[i][1])
        except BaseException as error:  # reported by the calling thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(MODELS))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    return results


@pytest.mark.parametrize("forced", [pytest.param(True, id="overlapping"), pytest.param(False, id="free")])
def test_concurrent_estimates_give_the_serial_bits_and_keep_the_blas_settings(frame, monkeypatch, forced):
    """Threads calling feols at once: each gets the serial result bit for bit, the BLAS
    libraries run one thread inside every least-squares stage, and afterwards the process's
    BLAS thread counts are those from before. `forced` holds every call inside that stage
    until all have arrived, so that the stages overlap (the case that once left the process
    on one BLAS thread for good)."""
    inside = []
    real_covariance = ols.covariance
    barrier = [None]

    def covariance(*args, **kwargs):
        if barrier[0] is not None:
            try:
                barrier[0].wait(timeout=20)
            except threading.BrokenBarrierError:
                pass  # a guard that ran the stages one after another would get here
        inside.append({n for _, n in _blas_threads()})
        return real_covariance(*args, **kwargs)

    monkeypatch.setattr(ols, "covariance", covariance)
    serial = [vantrel.feols(fml, frame, **kw) for fml, kw in MODELS]
    before = _blas_threads()
    for _ in range(3):
        barrier[0] = threading.Barrier(len(MODELS)) if forced else None
        for got, expected in zip(_concurrently(frame), serial, strict=True):
            _same_bits(got, expected)
        assert _blas_threads() == before
    assert len(inside) == 4 * len(MODELS) and all(counts == {1} for counts in inside), inside


# -- DuckDB: temporary directories and the columns it reads ---------------------------------


def _unreadable_frame(frame):
    """The panel with columns DuckDB cannot read (complex numbers, periods)."""
    return frame.assign(z=frame["x1"] * 1j, p=pd.period_range("2001-01", periods=len(frame), freq="D"))


@pytest.fixture
def tmp_dir(tmp_path, monkeypatch):
    """Python's temporary directory pointed at an empty one, to list afterwards."""
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp))
    return tmp


def _interrupted(*args, **kwargs):
    raise KeyboardInterrupt


@pytest.mark.parametrize(
    "case, error, message",
    [
        pytest.param("corrupt", ValueError, r"data: DuckDB could not read '.*bad\.parquet' as Parquet", id="corrupt"),
        pytest.param("directory", ValueError, r"data: '.*parts' is a directory; give its files as a glob", id="dir"),
        pytest.param("unreadable", TypeError, r"data: column 'z' cannot be read by DuckDB: .*complex", id="type"),
        pytest.param("interrupted", KeyboardInterrupt, "", id="ctrl_c_while_opening"),
        pytest.param("bad_weights", ValueError, r"weights: column 'x1' must hold positive", id="after_opening"),
        pytest.param("fine", None, "", id="success"),
    ],
)
def test_duckdb_leaves_no_temporary_directory(frame, tmp_path, tmp_dir, monkeypatch, case, error, message):
    (tmp_path / "bad.parquet").write_bytes(b"not a parquet file")
    (tmp_path / "parts").mkdir()
    frame.to_parquet(tmp_path / "parts" / "part0.parquet")
    fml, kw = "y ~ x1 | a", {}
    data = {"corrupt": str(tmp_path / "bad.parquet"), "directory": str(tmp_path / "parts")}.get(case)
    if data is None:
        data, kw = _unreadable_frame(frame), dict(engine="duckdb")
    if case == "unreadable":
        fml = "y ~ x1 + z | a"
    if case == "interrupted":
        monkeypatch.setattr("vantrel.engines.duckdb.table_columns", _interrupted)
    if case == "bad_weights":
        kw["weights"] = "x1"
    if error is None:
        vantrel.feols(fml, data, **kw)
    else:
        with pytest.raises(error, match=message):
            vantrel.feols(fml, data, **kw)
    assert os.listdir(tmp_dir) == []


@pytest.mark.parametrize(
    "fml, vcov",
    [pytest.param("y ~ x1 + x2 | a + b", "iid", id="two_effects"), pytest.param("y ~ x1 | a", {"CRV1": "b"}, id="cl")],
)
def test_duckdb_reads_only_the_used_columns_of_a_table(frame, fml, vcov):
    """Columns of types DuckDB cannot read that the model leaves alone change nothing: the
    estimate is the in-memory one."""
    data = _unreadable_frame(frame)
    got = vantrel.feols(fml, data, vcov=vcov, engine="duckdb")
    expected = vantrel.feols(fml, frame, vcov=vcov)
    pd.testing.assert_series_equal(got.coef(), expected.coef(), rtol=1e-9)
    pd.testing.assert_series_equal(got.se(), expected.se(), rtol=1e-9)
    assert got.nobs == expected.nobs


# -- errors that name the argument ---------------------------------------------------------


def _exact_fit_data(n):
    """Two groups, two regressors: with four rows nothing is left for the residuals."""
    rng = np.random.default_rng(9)
    return pd.DataFrame(
        {"y": rng.normal(size=n), "x1": rng.normal(size=n), "x2": rng.normal(size=n), "a": [0, 0, 1, 1, 1][:n]}
    )


@pytest.mark.parametrize("vcov", ["iid", "hetero"])
@pytest.mark.parametrize("where", ["memory", "duckdb"])
def test_no_residual_degrees_of_freedom_is_a_clear_error(vcov, where):
    data = _exact_fit_data(4)
    with pytest.raises(
        ValueError,
        match=r"^fml = 'y ~ x1 \+ x2 \| a': No residual degrees of freedom left: 4 observations and 4 parameters; "
        "the model fits every observation exactly",
    ):
        vantrel.feols("y ~ x1 + x2 | a", data if where == "memory" else duckdb.from_df(data), vcov=vcov)


def test_one_residual_degree_of_freedom_gives_the_dummy_regression():
    """The boundary of that error: with one row more the estimate is defined, and equals
    statsmodels' regression on the dummies."""
    data = _exact_fit_data(5)
    fit = vantrel.feols("y ~ x1 + x2 | a", data)
    reference = smf.ols("y ~ x1 + x2 + C(a)", data).fit()
    np.testing.assert_allclose(fit.coef(), reference.params[["x1", "x2"]], rtol=1e-9)
    np.testing.assert_allclose(fit.se(), reference.bse[["x1", "x2"]], rtol=1e-9)


@pytest.fixture
def fit(frame):
    return vantrel.feols("y ~ x1 + x2 | a", frame)


@pytest.mark.parametrize(
    "call, error, message",
    [
        pytest.param(
            lambda f: f.confint(level="0.9"),
            TypeError,
            r"^level must be a number between 0 and 1 such as 0.95, got '0.9' \(str\)$",
            id="confint_text",
        ),
        pytest.param(lambda f: f.tidy(level=True), TypeError, r"^level must be a number .* got True", id="tidy_bool"),
        pytest.param(lambda f: f.confint(level=95), ValueError, r"^level must be between 0 and 1, got 95$", id="95"),
        pytest.param(
            lambda f: f.predict(pd.DataFrame({"x2": [1.0], "a": [0]})),
            ValueError,
            r"^newdata: column 'x1' is not in newdata; the closest column is 'x2'$",
            id="predict_column",
        ),
    ],
)
def test_result_methods_name_the_argument(fit, call, error, message):
    with pytest.raises(error, match=message):
        call(fit)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        pytest.param(dict(fml="y ~ "), FormulaError, r"^fml = 'y ~ ' has nothing after '~'", id="empty_rhs"),
        pytest.param(dict(fml="y ~ | a"), FormulaError, r"^fml = 'y ~ \| a' has nothing after '~'", id="only_fe"),
        pytest.param(dict(fml="y ~ x1 |"), FormulaError, r"^fml = 'y ~ x1 \|' has nothing after '\|'", id="bar"),
        pytest.param(dict(fml="y ~ x1 |  "), FormulaError, r"has nothing after '\|'; list the fixed", id="bar_space"),
        pytest.param(dict(fml="y ~ zzzz"), ValueError, r"^fml: column 'zzzz' is not in data$", id="nothing_close"),
        pytest.param(dict(fml="y ~ yaer"), ValueError, r"'yaer' is not in data; the closest column is 'year'$",
                     id="close"),  # fmt: skip
        pytest.param(dict(fml="y ~ X1 | a"), ValueError, r"'X1' is not in data; the closest column is 'x1'$",
                     id="case"),  # fmt: skip
        pytest.param(dict(fml="y ~ x1", memory_limit="-5GB"), ValueError,
                     r"^memory_limit = '-5GB' is not a positive size; give one such as '4GB'", id="negative_size"),
        pytest.param(dict(fml="y ~ x1", memory_limit="0MB"), ValueError, r"memory_limit = '0MB' is not a positive",
                     id="zero_size"),
        pytest.param(dict(fml="y ~ x1", memory_limit="80%"), ValueError, r"memory_limit = '80%' is not a positive",
                     id="percent"),
        pytest.param(dict(fml="y ~ x1", memory_limit="4"), ValueError, r"memory_limit = '4' is not a positive",
                     id="no_unit"),
        pytest.param(dict(fml="y ~ x1", memory_limit=4), TypeError,
                     r"^memory_limit must be a size as text such as '4GB' or None, got 4 \(int\)$", id="size_int"),
        pytest.param(dict(fml="y ~ x1", temp_directory=3), TypeError,
                     r"^temp_directory must be a directory path or None, got 3 \(int\)$", id="temp_int"),
    ],
)  # fmt: skip
def test_bad_arguments_are_named(frame, kwargs, error, message):
    with pytest.raises(error, match=message):
        vantrel.feols(data=frame, **kwargs)


@pytest.mark.parametrize("fml", ["y ~ x1 + (", "y ~ x1 + C(a"])
def test_formulaic_errors_come_without_terminal_colours(frame, fml):
    with pytest.raises(FormulaError, match=re.escape(f"fml = {fml!r} could not be parsed (")) as info:
        vantrel.feols(fml, frame)
    assert "\x1b" not in str(info.value) and "⧛" in str(info.value)  # the token is still marked


@pytest.mark.parametrize("limit", ["4GB", "500MB", "1.5GiB", "2 gb"])
def test_positive_memory_sizes_are_accepted(frame, limit):
    got = vantrel.feols("y ~ x1 | a", duckdb.from_df(frame), memory_limit=limit)
    pd.testing.assert_series_equal(got.se(), vantrel.feols("y ~ x1 | a", frame).se(), rtol=1e-9)


PEER_KEYWORDS = [
    ("fixef_rm", "none", "always dropped, repeatedly"),
    ("drop_singletons", False, "always dropped, repeatedly"),
    ("weights_type", "fweights", "analytic .* frequency weights are not supported"),
    ("lean", True, "not needed: feols never copies"),
    ("copy_data", False, "not needed: feols never copies"),
    ("store_data", False, "not needed: feols never copies"),
    ("i_ref1", 2, r"i\(var, ref=level\) .*C\(g, contr.treatment\(base=level\)\)"),
    ("solver", "np.linalg.lstsq", "no choice of solver"),
    ("demeaner_backend", "rust", "fixef_tol, fixef_maxiter and n_threads"),
    ("context", {"f": abs}, "compute other columns in data"),
    ("use_compression", True, "engine='duckdb'"),
    ("reps", 999, "no bootstrap"),
    ("seed", 1, "no bootstrap"),
]


@pytest.mark.parametrize("name, value, advice", [pytest.param(*case, id=case[0]) for case in PEER_KEYWORDS])
def test_keywords_of_pyfixest_say_what_vantrel_offers(frame, name, value, advice):
    with pytest.raises(TypeError, match=rf"^feols\(\) got unexpected keyword argument\(s\): {name} \(a keyword of "
                                        rf"pyfixest\): .*{advice}") as info:  # fmt: skip
        vantrel.feols("y ~ x1 | a", frame, **{name: value})
    assert "feols takes" not in str(info.value)


def test_other_unknown_keywords_are_named_with_feols_keywords(frame):
    with pytest.raises(TypeError, match=r"^feols\(\) got unexpected keyword argument\(s\): 'fixef_tolerance'\. "
                                        r"feols takes: ") as info:  # fmt: skip
        vantrel.feols("y ~ x1 | a", frame, fixef_tolerance=1e-9)
    listed = set(str(info.value).split("feols takes: ")[1].split(", "))
    documented = {"fml", "data", "vcov", "weights", "ssc", "fixef_tol", "fixef_maxiter", "n_threads", "progress"}
    assert documented | {"engine", "memory_limit", "temp_directory", "split", "fsplit"} <= listed


# -- dropped observations a user sees ---------------------------------------------------------


@pytest.mark.parametrize("where", ["memory", "duckdb"])
def test_dropped_observations_show_in_repr_summary_and_tidy(frame, singleton_reference, capsys, where):
    """The counts come from pandas (missing values) and the singleton screen of conftest;
    the observations left are pyfixest's."""
    import pyfixest as pf

    data = frame.copy()
    data.loc[[4, 40, 99], "y"] = np.nan
    complete = data.dropna(subset=["y"])
    singletons = len(complete) - len(singleton_reference(complete, ["a", "b"]))
    assert singletons > 1  # the panel's skewed groups leave some alone
    fit = vantrel.feols("y ~ x1 | a + b", data if where == "memory" else duckdb.from_df(data))
    assert fit.nobs == pf.feols("y ~ x1 | a + b", data)._N == len(complete) - singletons
    note = (
        f"NOTE: 3 observations dropped for missing or non-finite values; {singletons} singleton observations "
        "dropped (alone in a fixed-effect group)"
    )
    assert repr(fit).splitlines()[2] == note
    assert note in fit._repr_html_()
    assert fit.tidy().attrs == {"nobs": fit.nobs, "nobs_dropped": {"missing": 3, "singletons": singletons}}
    fit.summary()
    assert capsys.readouterr().out.splitlines()[0] == note


def test_nothing_dropped_adds_no_note(frame, capsys):
    fit = vantrel.feols("y ~ x1 + x2", frame)
    assert "NOTE" not in repr(fit)
    fit.summary()
    assert "NOTE" not in capsys.readouterr().out
    assert fit.tidy().attrs["nobs_dropped"] == {"missing": 0, "singletons": 0}


def test_one_dropped_observation_is_singular(frame):
    data = frame.copy()
    data.loc[7, "x1"] = np.inf
    assert "NOTE: 1 observation dropped for missing or non-finite values" in repr(vantrel.feols("y ~ x1 + x2", data))


def test_version_is_the_package_version():
    pyproject = tomllib.loads((Path(__file__).parents[1] / "pyproject.toml").read_text())
    assert vantrel.__version__ == pyproject["project"]["version"]
