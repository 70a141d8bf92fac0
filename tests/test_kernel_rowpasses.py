"""The kernel's row passes: dense codes of integer columns against NumPy's unique, and the
standardised block against NumPy's own expression, bit for bit, on one and two threads."""

import numpy as np
import pytest

from vantrel.backend import quarnet
from vantrel.core.absorption import stack_standardised
from vantrel.core.least_squares import least_squares_normal

# above the kernel's threshold for a second thread, so that the two-thread runs split rows
LONG = 100_003


def _values(case):
    rng = np.random.default_rng(3)
    if case == "level_numbers":  # 1 .. G, every level present
        return rng.integers(1, 41, LONG)
    if case == "half_distinct":  # a level per two rows: a table per thread
        return rng.integers(0, LONG // 2, LONG)
    if case == "sparse":  # two values per row: one table (the threads' own would outgrow the codes)
        return rng.integers(0, 2 * LONG, LONG)
    if case == "gaps":
        return rng.integers(-20, 20, LONG) * 3
    if case == "int32":
        return rng.integers(-(2**31), -(2**31) + 5000, LONG).astype(np.int32)
    if case == "near_int64_limits":  # a small range at the top of int64: no overflow of max - min
        return np.iinfo(np.int64).max - rng.integers(0, 7, 500)
    if case == "strided":
        return rng.integers(0, 1000, 3 * LONG)[::3]
    if case == "reversed":
        return rng.integers(0, 1000, LONG)[::-1]
    if case == "one_value":
        return np.full(7, -5)
    raise AssertionError(case)


CASES = [
    "level_numbers",
    "half_distinct",
    "sparse",
    "gaps",
    "int32",
    "near_int64_limits",
    "strided",
    "reversed",
    "one_value",
]


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("subset", [None, "sorted", "shuffled"])
@pytest.mark.parametrize("out_type", [np.int32, np.int64])
@pytest.mark.parametrize("threads", [1, 2])
def test_dense_codes_are_the_ranks_among_the_distinct_values(case, subset, out_type, threads):
    values = _values(case)
    rng = np.random.default_rng(4)
    rows = None
    if subset is not None:
        rows = np.flatnonzero(rng.random(len(values)) < 0.6)
        if subset == "shuffled":
            rows = rng.permutation(rows)
    read = values if rows is None else values[rows]
    distinct, codes, counts = np.unique(read, return_inverse=True, return_counts=True)
    out = np.full(len(read), -1, dtype=out_type)
    found = quarnet.dense_codes(values, rows, out, threads)
    np.testing.assert_array_equal(out, codes)
    np.testing.assert_array_equal(found, counts)


@pytest.mark.parametrize("span, coded", [(40, True), (41, False)])
def test_dense_codes_code_up_to_four_values_per_row(span, coded):
    values = np.array([0, span, 5, 7, 9, 3, 1, 2, 2, 0]) - 17  # 10 rows: a span of 40 is the limit
    out = np.full(10, 99, dtype=np.int64)
    found = quarnet.dense_codes(values, None, out, 1)
    if coded:
        np.testing.assert_array_equal(out, np.unique(values, return_inverse=True)[1])
    else:
        assert found is None
        assert (out == 99).all()  # untouched: the caller factorises such values instead


def _columns(rng, n):
    wide = rng.normal(size=(n, 3)) * 1e6 + 12345.678
    return [rng.normal(size=n), None, wide[:, 1], rng.normal(size=2 * n)[::2] * 1e-9]


@pytest.mark.parametrize("n", [5, LONG])
@pytest.mark.parametrize("with_rows", [False, True])
@pytest.mark.parametrize("threads", [1, 2])
def test_standardised_block_is_numpys_bit_for_bit(n, with_rows, threads):
    rng = np.random.default_rng(6)
    columns = _columns(rng, n)
    rows = rng.permutation(n)[: n - 2] if with_rows else None
    centre = np.array([0.25, 0.0, 12345.678, -3e-10])
    inverse = np.array([2.0**-3, 1.0, 2.0**-20, 2.0**35])
    out = np.empty((n if rows is None else len(rows), len(columns)))
    quarnet.fill_standardised(out, columns, rows, centre, inverse, threads)
    for j, column in enumerate(columns):
        if column is None:
            expected = np.ones(len(out))
        else:
            expected = ((column if rows is None else column[rows]) - centre[j]) * inverse[j]
        np.testing.assert_array_equal(out[:, j], expected)


def test_row_passes_refuse_to_write_over_their_input():
    memory = np.arange(17)
    for values in (memory[0:11:2], memory[10::-2]):  # six values, either direction, spanning 0 .. 10
        with pytest.raises(ValueError, match="out shares memory with values"):
            quarnet.dense_codes(values, None, memory[10:16], 1)
        assert quarnet.dense_codes(values, None, memory[11:17], 1) is not None  # the next element on is free
    block = np.zeros((6, 2))
    with pytest.raises(ValueError, match=r"out shares memory with columns\[0\]"):
        quarnet.fill_standardised(block, [block[:, 1], None], None, np.zeros(2), np.ones(2), 1)
    with pytest.raises(TypeError, match=r"columns\[1\] must be None or a 1-D float64 array"):
        quarnet.fill_standardised(block, [np.ones(6), np.ones(6, np.float32)], None, np.zeros(2), np.ones(2), 1)


# The stages built on the row passes: the stacking of the block the absorption demeans, and
# the least squares' pass that forms the residuals. Both split rows (or columns) among
# threads above 200,000 rows.
@pytest.mark.parametrize("with_rows", [False, True])
def test_stacked_block_is_each_column_centred_and_scaled_by_a_power_of_two(with_rows):
    rng = np.random.default_rng(12)
    n = 250_000
    columns = [rng.normal(size=n) * 1e4 + 3e7, rng.normal(size=n) * 1e-6, None]
    rows = np.flatnonzero(rng.random(n) < 0.8) if with_rows else None
    one, scale, ss0 = stack_standardised(columns, rows, threads=1)
    two, scale_two, ss0_two = stack_standardised(columns, rows, threads=2)
    np.testing.assert_array_equal(one, two)
    np.testing.assert_array_equal(scale, scale_two)
    assert ss0 == ss0_two
    for j, column in enumerate(columns[:2]):
        values = column if rows is None else column[rows]
        np.testing.assert_array_equal(one[:, j], (values - np.mean(values)) * (1.0 / scale[j]))
        assert np.frexp(scale[j])[0] == 0.5  # a power of two: the scale is undone exactly
        assert 2**9 <= np.sqrt(np.mean(one[:, j] ** 2)) <= 2**11
    assert (one[:, 2] == 1.0).all() and scale[2] == 1.0
    y = columns[0] if rows is None else columns[0][rows]
    np.testing.assert_allclose(ss0, np.sum((y - np.mean(y)) ** 2), rtol=1e-12)


@pytest.mark.parametrize("k", [1, 3])
def test_residual_pass_forms_y_less_x_beta_on_any_threads(k):
    rng = np.random.default_rng(13)
    n = 250_000
    X = rng.normal(size=(n, k))
    y = X @ np.arange(1.0, k + 1) + rng.normal(size=n)
    units = np.array([2.0**-3] + [2.0**j for j in range(k)])
    block = np.column_stack([y, X]) / units  # the columns still divided by their units
    names = [f"x{j}" for j in range(k)]
    results = [least_squares_normal(block.copy(), names, np.ones(k + 1), [], units, threads) for threads in (1, 2)]
    (yX, kept, beta, resid, XX, yy, rss), other = results[0], results[1]
    np.testing.assert_array_equal(yX, other[0])
    assert rss == other[6]
    np.testing.assert_allclose(beta[:, 0], np.linalg.lstsq(X, y, rcond=None)[0], rtol=1e-12)
    np.testing.assert_allclose(resid[:, 0], y - X @ beta[:, 0], rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(yX[:, 1:], X, rtol=0, atol=0)  # the regressors back in their units
    np.testing.assert_allclose(rss, np.sum(resid**2), rtol=1e-12)
    assert kept == names
    np.testing.assert_allclose(XX, X.T @ X, rtol=1e-12)  # in the columns' units
    np.testing.assert_allclose(yy, y @ y, rtol=1e-12)
