"""The row engines stage by stage: the same sample, the same absorbed cross products and the
same residual sums from the rows in memory, in DuckDB and on a Dask cluster. Each engine
computes them its own way (NumPy and the kernel's row solve; aggregates and the solve from
cells or sorted rows), so every stage is an oracle for the others."""

import numpy as np
import pytest

from vantrel.core.options import arguments_of, columns_read
from vantrel.core.progress import Progress
from vantrel.engines import open_engine
from vantrel.formula.parse import parse_formula
from vantrel.inference.ssc import parse_vcov

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pytest.importorskip("duckdb")

# a local cluster of two worker processes, shared with the Dask engine's own tests
from test_scale_dask import client  # noqa: E402, F401


@pytest.fixture(scope="module")
def data():
    from conftest import make_panel

    df = make_panel(seed=21, n=900, groups=(60, 25, 6), n_x=2)
    rng = np.random.default_rng(5)
    df["w"] = rng.uniform(0.3, 4.0, len(df))
    df["cl"] = df["a"] % 9
    df.loc[[3, 30, 300], "x1"] = np.nan
    return df


def _stages(path, frame, fml, vcov, weights):
    formula, choice = parse_formula(fml), parse_vcov(vcov)
    columns = columns_read(formula, choice, weights)
    engine = open_engine(path, frame, columns, arguments_of(formula, choice, weights), 1)
    try:
        sample = engine.sample(formula, choice, weights)
        absorbed = engine.absorb(1e-11, 10_000, Progress(False))
        K = len(sample["names"])
        keep = np.ones(K, dtype=bool)
        # any slopes will do: the residual sums are linear in them and every engine must
        # form the same ones
        beta = np.linspace(0.3, -0.7, K)
        clusters = list(choice.clusters)
        nested = engine.nested(clusters) if clusters else []
        pieces = engine.residual_statistics(beta, keep, choice.type, clusters)
    finally:
        engine.close()
    return sample, absorbed, nested, pieces


def _close(a, b, rtol=1e-9):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    scale = max(np.abs(b).max(), 1e-300)
    np.testing.assert_allclose(a, b, rtol=0, atol=rtol * scale)


@pytest.mark.filterwarnings("ignore:Port .* is already in use")
@pytest.mark.usefixtures("client")
@pytest.mark.parametrize(
    "fml, vcov, weights",
    [
        pytest.param("y ~ x1 + x2 | a + b + c", "iid", None, id="three_effects_iid"),
        pytest.param("y ~ x1 + x2 | a + b", "hetero", "w", id="weighted_hetero"),
        pytest.param("y ~ x1 + x2 + x1:x2 | a^c + b", {"CRV1": "a+cl"}, None, id="interacted_twoway_clusters"),
        pytest.param("y ~ x1 + x2", {"CRV1": "cl"}, "w", id="no_effects_weighted_cluster"),
    ],
)
def test_every_stage_is_the_same_on_every_engine(data, fml, vcov, weights):
    expected = _stages("memory", data, fml, vcov, weights)
    for path, frame in [("duckdb", data), ("dask", dd.from_pandas(data, npartitions=3))]:
        sample, absorbed, nested, pieces = _stages(path, frame, fml, vcov, weights)
        e_sample, e_absorbed, e_nested, e_pieces = expected
        assert sample == e_sample, path
        # powers of two, times the root of the mean weight with weights
        np.testing.assert_allclose(absorbed["sizes"], e_absorbed["sizes"], rtol=1e-12)
        _close(absorbed["gram"], e_absorbed["gram"])
        _close(absorbed["tss"], e_absorbed["tss"])
        assert nested == e_nested
        _close(pieces["rss"], e_pieces["rss"])
        for name in ("meat",):
            if name in e_pieces:
                _close(pieces[name], e_pieces[name])
        if "cluster_meats" in e_pieces:
            assert list(pieces["cluster_counts"]) == list(e_pieces["cluster_counts"])
            assert [list(s) for s in pieces["subsets"]] == [list(s) for s in e_pieces["subsets"]]
            for got, want in zip(pieces["cluster_meats"], e_pieces["cluster_meats"], strict=True):
                _close(got, want)
