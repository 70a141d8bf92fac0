"""Two-stage least squares out of memory: DuckDB (a relation, Parquet files) and Dask give the
in-memory estimate, its first stages and its diagnostics, from the same estimator."""

import warnings

import duckdb
import numpy as np
import pytest
from test_iv import make_iv_data
from test_scale_duckdb import assert_same_estimate

import vantrel

dd = pytest.importorskip("dask.dataframe")

RTOL = 1e-10


@pytest.fixture(scope="module")
def data():
    df = make_iv_data(seed=5, n=1200)
    df.loc[[3, 30], "z2"] = np.nan  # rows dropped alike everywhere
    return df


MODELS = {
    "two_endo_iid": ("y ~ x | f1 + f2 | d1 + d2 ~ z1 + z2 + z3", {}),
    "one_endo_hetero_weighted": ("y ~ x | f1 | d1 ~ z1 + z2 + z4", dict(vcov="hetero", weights="w")),
    "two_endo_hetero_overid": ("y ~ x | f1 + f2 | d1 + d2 ~ z1 + z2 + z3 + z4", dict(vcov="hetero")),
    "one_endo_twoway_clusters": ("y ~ x | f1 + f2 | d1 ~ z1 + z2", dict(vcov={"CRV1": "g+f2"})),
    "no_fixed_effects": ("y ~ x | d1 ~ z1 + z2 + z3", dict(vcov={"CRV1": "g"}, weights="w")),
    "two_endo_no_fixed_effects": ("y ~ x | d1 + d2 ~ z1 + z2 + z3", dict(vcov="hetero", weights="w")),
}


def as_engine(data, engine, tmp_path):
    if engine == "duckdb":
        return duckdb.from_df(data)
    if engine == "parquet":
        path = tmp_path / "iv.parquet"
        data.to_parquet(path)
        return str(path)
    return dd.from_pandas(data, npartitions=3)


def assert_same_iv(got, expected):
    assert_same_estimate(got, expected, rtol=RTOL)
    a, b = got.iv_diagnostics(), expected.iv_diagnostics()
    assert list(a.index) == list(b.index)
    np.testing.assert_allclose(a.to_numpy(), b.to_numpy(), rtol=1e-8)
    for first, reference in zip(got.first_stage, expected.first_stage, strict=True):
        assert first.coefnames == reference.coefnames
        np.testing.assert_allclose(first.beta, reference.beta, rtol=RTOL)
        np.testing.assert_allclose(first.se(), reference.se(), rtol=RTOL)
        np.testing.assert_allclose(first.within_r2, reference.within_r2, rtol=1e-10)


@pytest.mark.parametrize("engine", ["duckdb", "parquet", "dask"])
@pytest.mark.parametrize("model", list(MODELS))
def test_out_of_memory_gives_the_in_memory_estimate(data, tmp_path, model, engine):
    fml, options = MODELS[model]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        expected = vantrel.feols(fml, data, fixef_tol=1e-12, **options)
        got = vantrel.feols(fml, as_engine(data, engine, tmp_path), fixef_tol=1e-12, **options)
    assert got.absorption["engine"] == ("dask" if engine == "dask" else "duckdb")
    assert_same_iv(got, expected)


@pytest.mark.parametrize("engine", ["duckdb", "dask"])
def test_out_of_memory_fixed_effects_of_the_structural_equation(data, tmp_path, engine):
    fml = "y ~ x | f1 + f2 | d1 ~ z1 + z2"
    expected = vantrel.feols(fml, data, fixef_tol=1e-12)
    got = vantrel.feols(fml, as_engine(data, engine, tmp_path), fixef_tol=1e-12)
    for label, values in expected.fixef().items():
        np.testing.assert_allclose(
            got.fixef()[label].sort_index().to_numpy(), values.sort_index().to_numpy(), atol=1e-8
        )
    new = data.iloc[:50]
    np.testing.assert_allclose(got.predict(new).to_numpy(), expected.predict(new).to_numpy(), atol=1e-8)


def test_what_out_of_memory_does_not_keep_is_refused_by_name(data):
    with pytest.warns(UserWarning, match="Kleibergen-Paap statistic not computed.*duckdb"):
        fit = vantrel.feols("y ~ x | f1 | d1 + d2 ~ z1 + z2 + z3", duckdb.from_df(data), vcov={"CRV1": "g"})
    # the joint covariance of two first stages' cluster scores is not summed by the engine
    assert np.isnan(fit.iv_diagnostics()["kleibergen_paap_F"])
    assert any("Kleibergen-Paap statistic not computed" in text for text in fit.messages)
    with pytest.raises(ValueError, match=r"fixef\(\): the first stage 'd1 ~ x \+ z1 \+ z2 \+ z3 \| f1'"):
        fit.first_stage[0].fixef()
    with pytest.raises(ValueError, match="keeps no value per row"):
        fit.first_stage[0].resid()
