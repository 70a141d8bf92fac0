"""Absorbing fixed effects from a block of columns: the block standardised once (centre and a
power-of-two size per column), then the kernel's demeaning in place."""

import numpy as np

from vantrel.backend.morlisk import map_columns
from vantrel.backend.quarnet import fill_standardised

# Root mean square (to a factor of 2) of every column the demeaning sees. The plain
# iteration's convergence measure, |change| / (|x| + 1) averaged over the rows, is a
# relative change once values are well above 1: at this size the +1 guard matters only
# for values near zero, so eps_MAP asks the same relative accuracy of every column.
_DEMEAN_SIZE_EXPONENT = 10


def _column_sizes(M):
    """A power of two near the root mean square of each column of `M` (1 for a column of
    zeros), kept where it and its inverse are normal doubles."""
    with np.errstate(over="ignore", under="ignore"):
        size = np.sqrt(np.einsum("ij,ij->j", M, M) / max(len(M), 1))
    return _powers_of_two(size, lambda j: np.abs(M[:, j]).max())


def _powers_of_two(size, largest):
    """Powers of two near `size` (1 where it is 0); where the root mean square left the
    range of doubles, near `largest(j)`, the largest magnitude of column j."""
    # Squares of values beyond 1e154 overflow, those below 1e-154 underflow: for such
    # columns the largest magnitude is as good a size.
    size = np.array(size, dtype=np.float64)
    for j in np.flatnonzero(~np.isfinite(size) | (size < 2.0**-500)):
        size[j] = largest(j)
    exponent = np.clip(np.frexp(size)[1], -1000, 1000)
    return np.where(size > 0, np.ldexp(1.0, exponent), 1.0)


def demeaning_scale(size, largest):
    """The power of two a centred column of root mean square `size` is divided by before the
    demeaning, which brings that to about 2**10; `largest()`, the column's largest
    magnitude, stands in where the root mean square left the range of doubles."""
    return _powers_of_two([size], lambda _: largest())[0] * 2.0**-_DEMEAN_SIZE_EXPONENT


# Rows per chunk of the row-wise passes: their temporaries stay small (in cache, and
# reused rather than fresh pages), and a chunk of a row-major block is written at once.
CHUNK = 1 << 16


def stack_standardised(columns, rows=None, centre=True, threads=1):
    """Fresh row-major float64 matrix of the columns, each centred on its mean and divided
    by a power of two that brings its root mean square near 2**10; returns the matrix,
    those powers of two and the sum of squares of the first column about its mean.

    columns: float64 arrays over all rows (None: the intercept's column of ones, left as
    it is); rows: the positions to take (None: every row); centre: False leaves the means
    in (a model without fixed effects keeps its constant); threads: the columns' means and
    sizes are measured side by side, and the kernel fills the matrix on as many threads.

    Adding a constant to a column or changing its unit cannot change a fixed-effect
    regression (every row is in some group, so the constant is absorbed), but it changes
    what the demeaning sees: an offset of 1e7 leaves the within variation in the last
    digits, and the convergence measure depends on the unit. Powers of two scale without
    rounding, so the scale is undone exactly. Each column's mean and size come from the
    contiguous column (its sum of squares by chunks, with no temporary of N rows); the
    kernel then writes each row of the block once, from the columns as they are, each
    thread a contiguous range of rows (and the first touch of its pages).
    """
    N = len(columns[0]) if rows is None else len(rows)

    def centre_and_size(column):
        if column is None:
            return 0.0, 1.0, 0.0
        values = column if rows is None else column[rows]
        with np.errstate(over="ignore", invalid="ignore"):
            mean = np.add.reduce(values) / N if N and centre else 0.0
        # the sum of values near the largest double overflows: such a column stays put
        mean = mean if np.isfinite(mean) else 0.0
        ss = 0.0
        with np.errstate(over="ignore", under="ignore"):
            for start in range(0, N, CHUNK):
                part = values[start : start + CHUNK] - mean
                ss += float(np.einsum("i,i->", part, part))
        size = np.sqrt(ss / max(N, 1))
        return mean, demeaning_scale(size, lambda: np.abs(values - mean).max()), ss

    measured = map_columns(centre_and_size, columns, threads, N)
    centres = np.array([m[0] for m in measured], dtype=np.float64)
    scale = np.array([m[1] for m in measured], dtype=np.float64)
    out = np.empty((N, len(columns)), dtype=np.float64, order="C")
    fill_standardised(out, list(columns), rows, centres, 1.0 / scale, threads)
    return out, scale, measured[0][2]


def absorb(yX, w, A, accelfunc, eps_MAP, minsubiter, maxsubiter, verb, nt, check_finite=True):
    """Partial the fixed effects of `A` (group index or level ids) out of the block `yX`
    with the kernel routine `accelfunc`; returns the demeaned block and the kernel's
    report: None for the sweep routines, which return the matrix itself; the coefficient
    solver demeans the same matrix in place and returns a dict of its iterations and
    preconditioner. `check_finite`: a non-finite result raises the divergence error here
    (a caller that forms X'X anyway can find it there instead, without a pass)."""
    out = accelfunc(yX, w, A, eps_MAP, minsubiter, maxsubiter, verb, nt)
    report = out if isinstance(out, dict) else None
    yXtilde = yX if report is not None else out
    if check_finite and not np.isfinite(np.max(yXtilde)):
        raise Exception(accelfunc.__name__ + "(y,X) diverged")
    return yXtilde, report
