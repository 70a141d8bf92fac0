"""`feols`'s least squares: which regressors the data identify, and the coefficients of those.

Both paths, in memory and out of it, reach this point with the same small matrix, the cross
products [y X]'[y X] of the columns with the fixed effects absorbed, and each column's size
before the absorption; everything here is read from that matrix.

The collinearity rule. The regressors are taken in formula order, and what is left of each
after the fixed effects and the regressors kept before it (the square of its pivot in the
unpivoted Cholesky factorisation of the cross products) decides:

- below ``collin_tol`` (1e-10, fixest's ``collin.tol``) times the regressor's own sum of
  squares after the absorption, it is a combination of the regressors before it within the
  fixed effects' groups; the factorisation runs on the cross products scaled to unit
  diagonal, where that fraction is the squared pivot itself;
- below ``fixef_tol**2`` times its sum of squares before the absorption (about its mean),
  it is what the fixed effects explain: the absorption resolves a column to about
  ``fixef_tol`` of its size, and what it leaves of a column the effects absorb, on their own
  or together with other regressors, is that error (about 1e-3 of ``fixef_tol**2`` on the
  panels tried, where the solve stops short). A regressor whose sum of squares after the
  absorption is already below this line goes before the factorisation.

Of regressors that are dependent, together with the fixed effects, the later ones go, one
per dependency: of two equal columns the second; for a worker-constant treatment interacted
with every year beside worker and year effects, the last year's interaction.

fixest and pyfixest compare the pivot with ``collin.tol`` in the data's own units, so a
regressor measured in small units is judged collinear and one in large units never is,
however the data are. Both fractions here are invariant to a column's unit and to an
offset the fixed effects absorb. Rounding leaves about 1e-15 of a dependent column's sum of
squares after the absorption, far below ``collin_tol``; a regressor that keeps a millionth
of its root mean square within its groups (a fraction 1e-12 of its sum of squares before
the absorption) is still kept at the default ``fixef_tol`` of 1e-8. The sizes before the
absorption are the demeaning's powers of two, so that fraction is read to a factor of 4.

Without fixed effects nothing is absorbed and the sizes are about zero, not the mean: a
regressor whose offset is a million times its spread is collinear with the intercept here
(1e-12 of its sum of squares is left beside it), as the normal equations see it.
"""

from __future__ import annotations

import math

import numpy as np
from scipy.linalg.lapack import dpotrf

from vantrel.backend import quarnet
from vantrel.backend.morlisk import map_columns

# fixest's and pyfixest's default collin.tol, here relative to each regressor's own size
# within the fixed effects' groups.
COLLIN_TOL = 1e-10

# Condition number of the equilibrated X'X above which the normal equations are reported
# rank deficient (its square root is the usual cutoff on the singular values of X). The
# collinearity rule removes dependent regressors first; this is the last guard.
_MAX_CONDITION = 1e24
RANK_NOTICE = (
    "The regressors' cross-product matrix is numerically singular (condition number above 1e24 with "
    "its columns at unit size); the coefficients may be misleading"
)

# Rows per chunk of the residual pass, as in the passes that stack the block: the chunk's
# temporaries stay in cache and each chunk of the row-major block is read once.
_CHUNK = 1 << 16


def check_collin_tol(collin_tol: object) -> None:
    """The `collin_tol` argument: a number strictly between 0 and 1."""
    if isinstance(collin_tol, bool) or not isinstance(collin_tol, (int, float, np.integer, np.floating)):
        raise TypeError(f"collin_tol must be a number between 0 and 1, got {collin_tol!r}")
    if not 0 < collin_tol < 1:
        raise ValueError(f"collin_tol must be a number strictly between 0 and 1, got {collin_tol!r}")


def column_sizes(factors, ones, per_unit: float, mean_weight: float = 1.0) -> np.ndarray:
    """Each column's root mean square before the absorption, to a factor of 2, from the
    powers of two the columns were divided by for the demeaning (`factors`; `per_unit`, the
    factor of a column of root mean square 1: `demeaning_scale(1.0, ...)`); `ones` marks
    the columns of ones (the intercept), left as they are, of size 1; with weights, the
    weighted root mean square (`mean_weight`: the weights' mean, the weighted size of a
    column of ones)."""
    size = np.asarray(factors, dtype=np.float64) / per_unit
    size = np.where(np.asarray(ones, dtype=bool), 1.0, size)
    return size * math.sqrt(mean_weight)


def independent_columns(
    XX: np.ndarray, sizes: np.ndarray, N: int, collin_tol: float = COLLIN_TOL, fixef_tol: float | None = None
) -> np.ndarray:
    """Which regressors to keep (a mask, in formula order) from their cross products `XX`
    after the absorption, their root mean squares `sizes` before it and the absorption's
    tolerance (None: nothing was absorbed); see the module text.

    The factorisation is LAPACK's, of the kept columns; at the first pivot below its
    threshold (or where the factorisation stops at a pivot that is not positive) that column
    goes and the rest is factorised again without it. The columns before it are factorised
    alike each time, so their pivots stand; a model without a dependency is one
    factorisation."""
    within = np.diag(XX).astype(np.float64)
    with np.errstate(over="ignore", under="ignore", invalid="ignore"):
        before = np.asarray(sizes, dtype=np.float64) ** 2 * max(N, 1)
        resolved = 0.0 if fixef_tol is None else fixef_tol**2
        keep = np.isfinite(within) & (within > resolved * before) & (within > 0)
        # the fraction of what is left after the absorption that stands for the absorption's
        # error: the threshold of that column's squared pivot, where it exceeds collin_tol
        threshold = np.maximum(collin_tol, resolved * before / np.where(keep, within, 1.0))
        unit = 1.0 / np.sqrt(np.where(keep, within, 1.0))
        scaled = XX * unit[:, np.newaxis] * unit[np.newaxis, :]
    while keep.any():
        columns = np.flatnonzero(keep)
        factor, info = dpotrf(scaled[np.ix_(columns, columns)], lower=1, clean=0)
        valid = len(columns) if info == 0 else info - 1
        pivots = np.diag(factor)[:valid] ** 2
        below = np.flatnonzero(~(pivots >= threshold[columns[:valid]]))  # NaN counts as below
        first = below[0] if len(below) else valid
        if first == len(columns):
            break
        keep[columns[first]] = False
    return keep


def collinearity_notice(dropped: list[str], collin_tol: float, effects: bool) -> str:
    others = "the fixed effects and the regressors before them" if effects else "the regressors before them"
    names = ", ".join(dropped)
    return f"The variables {names} are omitted due to collinearity with {others} (collin_tol = {collin_tol:g})"


def solve_normal_equations(
    gram, names, sizes, N, notes, collin_tol: float = COLLIN_TOL, fixef_tol=None, none_left: bool = False
):
    """The least squares of the cross-product matrix [y X]'[y X] of N demeaned rows: the
    collinearity rule (the module text; `sizes`, each column's root mean square before the
    absorption, see `column_sizes`; entry 0, the dependent variable's, is not read; fixef_tol:
    the absorption's tolerance, None without fixed effects), then the normal equations of
    the equilibrated columns. Returns (kept mask, beta of the kept regressors, the
    cross-product matrix of y and the kept regressors); notes receives the collinearity and
    rank notices. Needs no row, so data aggregated elsewhere are solved the same way.
    `none_left`: every regressor collinear is a model of the fixed effects alone (an
    estimator whose fixed effects are the estimate), not an error."""
    if not np.all(np.isfinite(gram)):  # any non-finite value of the block ends up here
        raise FloatingPointError("The demeaned data hold non-finite values (the absorption diverged)")
    keep = independent_columns(gram[1:, 1:], np.asarray(sizes)[1:], N, collin_tol, fixef_tol)
    dropped = [name for name, ok in zip(names, keep, strict=True) if not ok]
    if dropped:
        notes.append(collinearity_notice(dropped, collin_tol, fixef_tol is not None))
        if not keep.any() and none_left:
            return keep, np.empty(0), gram[:1, :1]
        if not keep.any():
            raise ValueError("No regressor left: " + ", ".join(dropped) + " are collinear with the fixed effects")
        columns = np.concatenate(([True], keep))
        gram = gram[np.ix_(columns, columns)]
    XX, Xy = gram[1:, 1:], gram[1:, 0].copy()
    d = np.sqrt(np.diag(XX))
    d[d == 0] = 1.0
    scaled = XX / np.outer(d, d)
    if np.linalg.cond(scaled) > _MAX_CONDITION:
        notes.append(RANK_NOTICE)
    beta = np.linalg.lstsq(scaled, Xy / d, rcond=None)[0] / d
    if not np.all(np.isfinite(beta)):
        raise FloatingPointError("Least squares gave non-finite coefficients")
    return keep, beta, gram


def least_squares_normal(
    yX, names, sizes, notes, units=None, threads=1, collin_tol: float = COLLIN_TOL, fixef_tol: float | None = None
):
    """Least squares through the cross-product matrix of the block: drop collinear
    regressors and solve; returns (yX, kept names, beta K x 1, resid N x 1, X'X of the kept
    columns, y'y, the residual sum of squares). Column 0 of the returned yX holds the
    residuals afterwards; resid is a view of it.

    One pass over the N x (1+K) block gives [y X]'[y X]; the collinearity rule, the
    coefficients (normal equations of the equilibrated columns, as fixest and pyfixest
    solve them) and the bread of every covariance matrix are read from that small matrix,
    and one more pass forms the residuals. At ten million rows an SVD-based solve of the
    block itself costs a large share of the absorption's time.

    sizes: each column's root mean square before the absorption (`column_sizes`), against
    which a demeaned regressor is judged; units: powers of two the block's columns are still
    divided by (the cross products are scaled exactly, the rows while they are in cache for
    the residuals: one pass over the block less); notes: receives the collinearity and rank
    notices; threads: chunks of rows formed side by side; collin_tol, fixef_tol: the
    collinearity rule's tolerance and the absorption's (None: no fixed effects). `yX` is
    narrowed (copied) only when a regressor goes.
    """
    units = unit_factors(yX, units)
    keep, beta, gram = solve_normal_equations(
        cross_products(yX, units), names, sizes, len(yX), notes, collin_tol, fixef_tol
    )
    yX, rss = residual_pass(yX, keep, beta, units, threads)
    beta = beta[:, np.newaxis]
    kept = [name for name, ok in zip(names, keep, strict=True) if ok]
    return yX, kept, beta, yX[:, :1], gram[1:, 1:], float(gram[0, 0]), rss


def unit_factors(yX, units=None) -> np.ndarray:
    """The powers of two the block's columns are still divided by (None: none)."""
    return np.ones(yX.shape[1]) if units is None else np.asarray(units, dtype=np.float64)


def cross_products(yX, units) -> np.ndarray:
    """[y X]'[y X] of the block in the columns' own units: one pass over the rows, scaled
    exactly afterwards by the powers of two `units`."""
    return (yX.T @ yX) * np.outer(units, units)


def residual_pass(yX, keep, beta, units, threads=1):
    """The residuals y - X beta of the kept regressors (`keep`, a mask; `beta`, their
    slopes) in place of the block's column 0, the columns put back in their units on the
    way; returns the block (narrowed, a copy, only when a regressor went) and the residual
    sum of squares."""
    N = yX.shape[0]
    if not keep.all():
        columns = np.concatenate(([True], keep))
        yX = np.ascontiguousarray(yX[:, columns])
        units = units[columns]
    beta = beta[:, np.newaxis]
    # the units as one flat row pattern: a chunk of rows is contiguous, and multiplying it
    # flat runs several times faster than broadcasting a row of 1 + K factors
    pattern = np.tile(units, min(N, _CHUNK))

    # the residuals replace the demeaned dependent variable in place (its sum of squares
    # stays in the cross-product matrix), a chunk of rows at a time while it is in cache;
    # each thread takes a contiguous run of chunks
    def residuals(starts):
        sums = []
        for start in starts:
            part = yX[start : start + _CHUNK]
            flat = part.reshape(-1)
            flat *= pattern[: flat.size]
            # one regressor: its product with the slope, which is what the matrix-vector
            # product of one column gives, without that product's per-row loop (three times
            # the pass)
            part[:, 0] -= part[:, 1] * beta[0, 0] if len(beta) == 1 else part[:, 1:] @ beta[:, 0]
            sums.append(float(np.dot(part[:, 0], part[:, 0])))
        return sums

    starts, k = range(0, N, _CHUNK), max(threads, 1)
    runs = [starts[len(starts) * t // k : len(starts) * (t + 1) // k] for t in range(k)]
    # the chunks' sums of squares are added in row order whichever thread formed them, so
    # the sum does not depend on the threads
    rss = 0.0
    for sums in map_columns(residuals, runs, threads, N):
        for ss in sums:
            rss += ss
    return yX, rss


# Rows per chunk of the cross products: a chunk's transposed copy and its weighted copy
# (8192 rows of a few columns) stay in the core's cache while every product of its columns
# reads them. Below 10,000 entries OpenBLAS computes a dot product on the calling thread
# alone; above, on all of its threads, whose start and wait per call tripled the time of
# these products at 1e6 rows (and more beside busy processes) wherever the caller had not
# limited BLAS to one thread.
_GRAM_CHUNK = 1 << 13
# Up to this many columns the products are one contiguous dot product per pair of
# columns (two to three times faster than a matrix product of a chunk this narrow); beyond
# it the pairs' calls cost more than the matrix product.
_DOT_COLUMNS = 6


def weighted_gram(block: np.ndarray, W: np.ndarray | None = None, scale_rows=None, threads: int = 0) -> np.ndarray:
    """The cross products block' W block (W None: block' block) of an N x K block (a view
    of any strides), symmetric to the last bit as the normal equations' factorisation reads
    it. By chunks of rows, each copied once into a K x chunk buffer whose contiguous
    columns the products read: no temporary of N rows.

    scale_rows: (scale, root), to scale the block in place first, each column by `scale`
    and each row by `root` (the block's own pass: each chunk is scaled while in cache).
    threads: of the kernel's pass for a narrow block (0: OpenMP's default)."""
    N, K = block.shape
    if scale_rows is None and 0 < K <= quarnet.widest_cross_products and block.dtype == np.float64:
        # one parallel pass of the kernel's, a row at a time in registers: the chunks'
        # copies and products below cost more calls than arithmetic at these widths
        gram = np.empty((K, K))
        weights = None if W is None else np.ascontiguousarray(W, dtype=np.float64)
        quarnet.weighted_cross_products(gram, block, weights, threads)
        return gram
    gram = np.zeros((K, K))
    size = max(min(_GRAM_CHUNK, N), 1)
    T = np.empty((K, size))
    TW = T if W is None else np.empty((K, size))
    pairs = [(i, j) for i in range(K) for j in range(i, K)] if K <= _DOT_COLUMNS else None
    for start in range(0, N, size):
        rows = block[start : start + size]
        n = len(rows)
        t = T[:, :n]
        t[...] = rows.T
        if scale_rows is not None:
            # in the transposed copy, whose rows are contiguous (a row-major chunk times a
            # column of roots broadcasts over rows of a few entries, three times slower),
            # then written back
            t *= scale_rows[1][start : start + n]
            t *= scale_rows[0][:, np.newaxis]
            rows[...] = t.T
        tw = t if W is None else np.multiply(t, W[start : start + n], out=TW[:, :n])
        if pairs is None:
            gram += tw @ t.T
        else:
            for i, j in pairs:
                gram[i, j] += np.dot(tw[i], t[j])
    if pairs is not None:
        return np.triu(gram) + np.triu(gram, 1).T
    return (gram + gram.T) / 2.0
