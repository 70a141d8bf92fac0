"""`feols` on a Dask DataFrame, run by a local cluster of two worker processes, against the
in-memory path on the same rows: coefficients and standard errors to 1e-8 relative with
weights, multiway clustering, interactions and singletons that go in rounds."""

import numpy as np
import pytest

import vantrel

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from test_scale_duckdb import assert_same_estimate, chained  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
    )
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


@pytest.fixture(scope="module")
def data():
    from conftest import make_panel

    df = chained(make_panel(seed=12, n=1500, groups=(120, 30, 7), n_x=2))
    rng = np.random.default_rng(3)
    df["w"] = rng.uniform(0.2, 3.0, len(df))
    df["cl"] = df["a"] % 11
    df["firm"] = np.array(["f" + str(v) for v in df["a"]], dtype=object)
    df.loc[[4, 40], "x2"] = np.nan
    return df


@pytest.mark.filterwarnings("ignore:Covariance matrix not positive-semidefinite")
@pytest.mark.parametrize("fml, options", [
    ("y ~ x1 + x2 | a + b + c", dict(vcov={"CRV1": "a+cl"}, weights="w")),
    ("y ~ x1 + x2 + x1:x2 | firm + b^c", dict(vcov="hetero")),
    ("y ~ x1 + x2 | a + b", dict(vcov={"CRV1": "firm+b+c"})),
], ids=["weighted_twoway", "hetero_interactions", "threeway"])  # fmt: skip
def test_dask_gives_the_in_memory_estimate(client, data, fml, options):
    expected = vantrel.feols(fml, data, **options)
    got = vantrel.feols(fml, dd.from_pandas(data, npartitions=3), **options)
    assert got.absorption["engine"] == "dask"
    assert got.nobs_dropped["singletons"] >= 24  # the whole chain, round after round
    assert_same_estimate(got, expected)


def test_dask_options_are_checked(data):
    frame = dd.from_pandas(data, npartitions=2)
    with pytest.raises(ValueError, match=r"memory_limit and temp_directory are DuckDB settings.*'4GB'"):
        vantrel.feols("y ~ x1 | a", frame, memory_limit="4GB")
    with pytest.raises(ValueError, match=r"engine = 'duckdb' cannot read a Dask DataFrame"):
        vantrel.feols("y ~ x1 | a", frame, engine="duckdb")
    with pytest.raises(TypeError, match=r"engine = 'dask' needs a Dask DataFrame as data, got DataFrame"):
        vantrel.feols("y ~ x1 | a", data, engine="dask")
