"""The reweighted least squares' passes over the rows in the kernel, against what they
replace: the linear predictor, mean and deviance sums against NumPy's expressions, the
next working variable carried into the absorbed block against the family's NumPy
`working` and the change written out (the same bits), the cross products against NumPy's
product (any strides, every width up to the widest); each the same bits on one thread and
on two; and whole Poisson fits through the kernel's passes against the same fits through
the NumPy ones."""

import ctypes

import numpy as np
import pandas as pd
import pytest

import vantrel
from vantrel.backend import quarnet
from vantrel.core import least_squares, separation
from vantrel.core.family import POISSON, Family, Poisson
from vantrel.models import poisson as poisson_model

# rows below and above the size at which a pass takes a second thread, and across chunks
ROWS = (7, 8193, 200_003)


def _rows(seed, n, K, offset, weighted):
    rng = np.random.default_rng([seed, n, K])
    block = np.ascontiguousarray(rng.normal(size=(n, K)) * rng.uniform(0.1, 2.0, size=K))
    coef = rng.normal(scale=0.3, size=K)
    z = rng.normal(scale=0.5, size=n)
    off = rng.normal(scale=0.2, size=n) if offset else None
    w = rng.uniform(0.2, 3.0, size=n) if weighted else None
    y = rng.poisson(1.0, size=n).astype(np.float64)
    return block, coef, z, off, w, y


PREDICT_CASES = [
    (n, K, offset, weighted)
    for n in ROWS
    for K in (1, 3, 6, 7, 11)  # widths fixed at compile time and read at run time
    for offset, weighted in ((False, False), (True, False), (False, True), (True, True))
]


@pytest.mark.parametrize(
    ("n", "K", "offset", "weighted"),
    PREDICT_CASES,
    ids=[f"{n}x{K}{'-off' if o else ''}{'-w' if w else ''}" for n, K, o, w in PREDICT_CASES],
)
def test_log_link_predict_equals_numpy_on_any_number_of_threads(n, K, offset, weighted):
    block, coef, z, off, w, y = _rows(1, n, K, offset, weighted)
    wy = y if w is None else w * y
    out = {}
    for threads in (1, 2):
        eta, mu = np.full(n, np.nan), np.full(n, np.nan)
        sums = quarnet.log_link_predict(eta, mu, block, coef, z, off, wy, w, threads)
        out[threads] = (eta, mu, sums)
    eta, mu, (wy_eta, w_mu) = out[1]
    expected = block @ coef + z + (0.0 if off is None else off)
    np.testing.assert_allclose(eta, expected, rtol=1e-14, atol=1e-14)
    np.testing.assert_allclose(mu, np.exp(eta), rtol=4e-16)  # the C library's exponential
    np.testing.assert_allclose(wy_eta, float(wy @ eta), rtol=1e-12, atol=1e-9)
    np.testing.assert_allclose(w_mu, float(np.sum(mu if w is None else w * mu)), rtol=1e-13)
    # the chunks' sums are added in row order whichever thread formed them
    assert np.array_equal(out[2][0], eta) and np.array_equal(out[2][1], mu) and out[2][2] == out[1][2]


@pytest.mark.parametrize("n", ROWS)
@pytest.mark.parametrize("offset", [False, True], ids=["no offset", "offset"])
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_rework_has_the_bits_of_the_numpy_working_variable(n, offset, weighted):
    block, coef, z, off, w, y = _rows(2, n, 4, offset, weighted)
    eta = block @ coef + z + (0.0 if off is None else off)
    mu = np.exp(eta)
    size = 0.25
    expected_block, expected_z = block.copy(), z.copy()
    W_expected, z_expected = Family.rework(POISSON, y, eta, mu, off, w, expected_z, expected_block, size, 1)
    for threads in (1, 2):
        got_block, got_z = block.copy(), z.copy()
        W, z_new = POISSON.rework(y, eta, mu, off, w, got_z, got_block, size, threads)
        assert z_new is got_z  # in place
        assert np.array_equal(z_new, z_expected)
        assert np.array_equal(got_block, expected_block)
        assert np.array_equal(W, W_expected)


GRAM_CASES = [
    (n, K, layout, weighted)
    for n in ROWS
    for K in (1, 2, 5, 6, 9, 16)
    for layout in ("row-major", "column-major", "columns of a wider block")
    for weighted in (False, True)
]


def _laid_out(block, layout):
    if layout == "column-major":
        return np.asfortranarray(block)
    if layout == "row-major":
        return block
    wide = np.zeros((len(block), block.shape[1] + 3))
    wide[:, 2 : 2 + block.shape[1]] = block
    return wide[:, 2 : 2 + block.shape[1]]


@pytest.mark.parametrize(
    ("n", "K", "layout", "weighted"),
    GRAM_CASES,
    ids=[f"{n}x{K}-{lay.split()[0]}{'-W' if w else ''}" for n, K, lay, w in GRAM_CASES],
)
def test_kernel_cross_products_equal_numpy_for_any_layout_and_threads(n, K, layout, weighted):
    rng = np.random.default_rng([3, n, K])
    block = rng.normal(size=(n, K)) * rng.uniform(0.1, 10.0, size=K)
    W = rng.uniform(0.0, 3.0, size=n) if weighted else None
    view = _laid_out(block, layout)
    grams = [least_squares.weighted_gram(view, W, threads=t) for t in (1, 2)]
    expected = block.T @ (block if W is None else block * W[:, np.newaxis])
    scale = np.sqrt(np.outer(np.diag(expected), np.diag(expected)))
    np.testing.assert_array_less(np.abs(grams[0] - expected), 1e-13 * scale + 1e-300)
    assert np.array_equal(grams[0], grams[0].T)
    assert np.array_equal(grams[0], grams[1])


def test_cross_products_wider_than_the_kernel_take_the_matrix_product():
    rng = np.random.default_rng(4)
    block = rng.normal(size=(10_000, 17))
    with pytest.raises(ValueError, match="x has 17 columns; at most 16"):
        quarnet.weighted_cross_products(np.empty((17, 17)), block, None, 1)
    np.testing.assert_allclose(least_squares.weighted_gram(block), block.T @ block, rtol=1e-12, atol=1e-10)


def test_passes_reject_mismatched_and_aliased_arrays():
    block, coef, z, off, w, y = _rows(5, 100, 3, True, True)
    eta, mu = np.empty(100), np.empty(100)
    with pytest.raises(ValueError, match="coef has 2 entries, the block 3"):
        quarnet.log_link_predict(eta, mu, block, coef[:2], z, off, y, w, 1)
    with pytest.raises(ValueError, match="offset has 99 entries, the block 100 rows"):
        quarnet.log_link_predict(eta, mu, block, coef, z, off[:99], y, w, 1)
    with pytest.raises(ValueError, match="eta"):
        quarnet.log_link_predict(z, mu, block, coef, z, off, y, w, 1)  # writes what it reads
    with pytest.raises(ValueError, match="mu has 99 entries"):
        quarnet.log_link_rework(z, block, y, eta, mu[:99], off, 1.0, 1)
    with pytest.raises(ValueError, match="gram is 2 x 2, x has 3 columns"):
        quarnet.weighted_cross_products(np.empty((2, 2)), block, None, 1)


# Every array a pass writes against every other array of the call: (function, written,
# other). An alias would let the pass read values it has already overwritten.
_PREDICT = ("eta", "mu", "block", "coef", "z", "offset", "wy", "w")
_REWORK = ("z", "block", "y", "eta", "mu", "offset")
ALIAS_CASES = [("predict", a, b) for a in ("eta", "mu") for b in _PREDICT if b != a and (a, b) != ("mu", "eta")] + [
    ("rework", a, b) for a in ("z", "block") for b in _REWORK if b != a and (a, b) != ("block", "z")
]


@pytest.mark.parametrize(("function", "written", "other"), ALIAS_CASES, ids=["-".join(c) for c in ALIAS_CASES])
def test_passes_reject_a_written_array_sharing_memory_with_another(function, written, other):
    n, K = 100, 3
    block, coef, z, off, w, y = _rows(5, n, K, True, True)
    args = {"eta": np.empty(n), "mu": np.empty(n), "block": block, "coef": coef, "z": z, "offset": off}
    args.update({"wy": y, "w": w} if function == "predict" else {"y": y})
    # both arrays laid over the start of one buffer: they share their first entries
    shared = np.ones(n * K + n)
    for name in (written, other):
        shape = args[name].shape
        args[name] = shared[: int(np.prod(shape))].reshape(shape)
    names = _PREDICT if function == "predict" else _REWORK
    call = quarnet.log_link_predict if function == "predict" else quarnet.log_link_rework
    extra = (1,) if function == "predict" else (1.0, 1)
    message = f"^(?:{written} shares memory with {other}|{other} shares memory with {written})$"
    with pytest.raises(ValueError, match=message):
        call(*(args[name] for name in names), *extra)


class _NumpyPoisson(Poisson):
    """Poisson through the family's NumPy step and working variable."""

    predict = Family.predict
    rework = Family.rework


def _panel(seed, n, groups):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n)})
    eta = 0.3 * df["x1"] - 0.2 * df["x2"]
    for j, G in enumerate(groups):
        df[f"f{j + 1}"] = rng.integers(0, G, size=n)
        eta = eta + rng.normal(scale=0.4, size=G)[df[f"f{j + 1}"]]
    df["off"] = rng.normal(scale=0.2, size=n)
    df["w"] = rng.uniform(0.5, 2.0, size=n)
    df["y"] = rng.poisson(np.exp(eta + df["off"])).astype(float)
    return df


FIT_CASES = {
    "two effects": ("y ~ x1 + x2 | f1 + f2", {}),
    "three effects, weights": ("y ~ x1 + x2 | f1 + f2 + f3", {"weights": "w"}),
    "offset, clustered": ("y ~ x1 | f1 + f2", {"offset": "off", "vcov": {"CRV1": "f1"}}),
    "no fixed effect": ("y ~ x1 + x2", {"weights": "w", "offset": "off"}),
}


@pytest.mark.parametrize("case", list(FIT_CASES), ids=list(FIT_CASES))
def test_fits_through_the_kernel_passes_equal_those_through_numpy(case, monkeypatch):
    fml, options = FIT_CASES[case]
    df = _panel(7, 150_000, (300, 40, 12))
    kernel = vantrel.fepois(fml, df, **options)
    monkeypatch.setattr(poisson_model, "POISSON", _NumpyPoisson())
    numpy_fit = vantrel.fepois(fml, df, **options)
    assert kernel.iterations == numpy_fit.iterations
    np.testing.assert_allclose(kernel.coef(), numpy_fit.coef(), rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(kernel.se(), numpy_fit.se(), rtol=1e-10)
    assert kernel.deviance == pytest.approx(numpy_fit.deviance, rel=1e-13)


GOMP = ctypes.CDLL("libgomp.so.1")  # the OpenMP runtime the kernel uses, already loaded


@pytest.fixture
def two_threads_default():
    before = GOMP.omp_get_max_threads()
    GOMP.omp_set_num_threads(2)
    yield
    GOMP.omp_set_num_threads(before)


@pytest.mark.parametrize("n_threads", [1, 3])
def test_a_session_solve_leaves_the_openmp_default_as_it_found_it(n_threads, two_threads_default):
    """A session's thread count holds for its call alone: the Poisson fit's separation
    certificate solves a small problem on one thread, and left in force that count put
    every later absorption of the fit on one thread as well."""
    rng = np.random.default_rng(6)
    ids = np.column_stack([rng.integers(0, 40, 2_000), rng.integers(0, 9, 2_000)])
    x = rng.normal(size=(2_000, 2))
    expected = x.copy()
    quarnet.CoefSession(ids).demean(expected, None, 1e-10, 0, 1_000, 0, 0)
    got = x.copy()
    quarnet.CoefSession(ids).demean(got, None, 1e-10, 0, 1_000, 0, n_threads)
    assert GOMP.omp_get_max_threads() == 2
    assert np.array_equal(got, expected)  # the same bits on any number of threads


def test_the_separation_certificate_keeps_the_openmp_default(two_threads_default, monkeypatch):
    # its first rank test, on one thread, runs on a subset of the rows with y > 0 once they
    # are more than four subsets: a small subset here
    monkeypatch.setattr(separation, "_RANK_SUBSET", 1_000)
    df = _panel(8, 20_000, (50, 8))
    ids = np.column_stack([df["f1"], df["f2"]])
    X = df[["x1", "x2"]].to_numpy()
    assert separation.nothing_separable(df["y"].to_numpy(), X, ids, tol=1e-8, maxiter=1_000, n_threads=0)
    assert GOMP.omp_get_max_threads() == 2


ZERO_GROUP_CASES = [
    (n, F, dtype, order)
    for n in (1, 500, 100_003)
    for F in (1, 3)
    for dtype in (np.int32, np.int64)
    for order in ("C", "F")
]


@pytest.mark.parametrize(
    ("n", "F", "dtype", "order"),
    ZERO_GROUP_CASES,
    ids=[f"{n}x{F}-{np.dtype(d).name}-{o}" for n, F, d, o in ZERO_GROUP_CASES],
)
def test_zero_groups_equal_the_groups_whose_outcome_sums_to_zero(n, F, dtype, order):
    rng = np.random.default_rng([9, n, F])
    ids = np.empty((n, F), dtype=dtype, order=order)
    for j in range(F):
        ids[:, j] = rng.integers(0, max(2, n // (5 * (j + 1))), size=n)
    y = rng.poisson(0.4, size=n).astype(np.float64)
    y[ids[:, 0] % 7 == 3] = 0.0  # whole groups of zeros
    expected = np.zeros(n, dtype=bool)
    for j in range(F):
        expected |= np.bincount(ids[:, j], weights=y)[ids[:, j]] == 0
    assert np.array_equal(separation.fe_separated(y, ids), expected)


def test_zero_groups_reject_negative_ids():
    with pytest.raises(ValueError, match=r"ids\[1, 0\] = -2: level ids must be non-negative"):
        quarnet.zero_groups(np.ones(3), np.array([[0], [-2], [1]]), 1)
