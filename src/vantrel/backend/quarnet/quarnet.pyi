"""Absorption kernel: group indexes, demeaning, screening and cluster cross-products.

Every array argument must have exactly the stated element type, dimension and layout and be
writable (except the arrays that are only read: ``w``, which may also be None, and the
inputs of the row passes ``dense_codes``, ``fill_standardised`` and ``cluster_meat``); nothing
is converted or copied. ``A`` is a
writable F x 2 numpy object array whose row n holds ``sortvec`` (contiguous int64, a
permutation of the rows) and ``panelmat`` (C-contiguous int64 G x 2 inclusive [start, end]
positions in ``sortvec``) of fixed effect n. Index ranges and sizes are checked once per call
(ValueError naming the argument) before any array is touched.
"""

from typing import Literal

import numpy as np
import numpy.typing as npt

np = np

_F64 = npt.NDArray[np.float64]
_I64 = npt.NDArray[np.int64]
_Table = npt.NDArray[np.object_]

def panelsetup(result: _I64, x: _I64, N: int, N2: int) -> None:
    """Fill the zero-filled N2 x 2 table ``result`` with the [start, end] positions of the
    runs of equal ids in the sorted x[0:N]."""

def drop_singletons(x: _F64, A: _Table, touse: _I64) -> _I64:
    """Drop observations that can be fully explained by fixed effects, that is a single
    observation per group. Returns ``touse`` itself; ValueError("All obs can be explained
    by fe") when none is left."""

def sep(x: _F64, A: _Table, touse: _I64) -> _I64:
    """Drop separated values, that is groups without variation in the dependent variable.
    Returns ``touse`` itself."""

def calc_B(result: _F64, x: _F64, u: _F64, sortvec: _I64, panelmat: _I64, N_panelmat: int, K: int) -> None:
    """Write into ``result`` the "meat" of the cluster robust covariance sandwich estimate,
    given by \\sum_{g=1}^{G} X_g' u_g u_g' X_g (X: columns 1..K of x, u: column 0 of u).
    Any strides."""

def MAP_NH_noaccel(
    x: _F64, w: _F64 | None, A: _Table, tol: float, miniter: int, maxiter: int, verbose: int, n_threads: int
) -> _F64:
    """Partial the fixed effects out of the columns of ``x`` in place by alternating
    projections; returns ``x`` itself. ValueError("demeaning did not converge")."""

def MAP_NH_CG_accel(
    x: _F64, w: _F64 | None, A: _Table, tol: float, miniter: int, maxiter: int, verbose: int, n_threads: int
) -> _F64:
    """Partial the fixed effects out of the columns of ``x`` in place by conjugate gradients
    on the symmetric sweep; returns ``x`` itself. ValueError("demeaning did not converge")."""

def COEF_PCG_demean(
    x: _F64,
    w: _F64 | None,
    A: _Table | _I64 | npt.NDArray[np.int32],
    tol: float,
    miniter: int,
    maxiter: int,
    verbose: int,
    n_threads: int,
    preconditioner: Literal["auto", "jacobi", "exact", "approx", "pairs", "full"] = "auto",
) -> dict[str, int | str]:
    """Partial the fixed effects out of the columns of ``x`` in place by preconditioned
    conjugate gradients on the normal equations of the fixed-effect coefficients, with the
    convergence measure of ``MAP_NH_CG_accel``. ``A``: the group index of ``make_pointer``,
    or the N x F int64/int32 array of dense level ids itself (any layout; no group index is
    then needed, and rows in any order are read sequentially). ``w``: None or finite
    non-negative weights.
    ``preconditioner``: "auto" starts from the level counts (Jacobi) and, when the measured
    rate predicts a slow solve, switches to the block of the two fixed effects with most
    levels, inverted exactly (Schur complement, envelope Cholesky) within a size budget and
    approximately (randomised elimination) beyond it; with three or more fixed effects, when
    that block's own rate still predicts a slow solve, to the exact factor of the whole
    normal equations within a size budget ("exact full": the levels of every effect meet only
    neighbouring levels of the others) or to the sum of every pair's block inverted
    ("additive pairs"). "jacobi", "exact" and "approx" fix the choice of the pair block,
    "pairs" of additive pairs, "full" of the whole factor (additive pairs over its budget);
    with two fixed effects the last two are the pair block. Returns {"iterations",
    "preconditioner" ("closed form", "jacobi", "exact pair", "approximate pair", "additive
    pairs", "exact full"), "reason"}. ValueError("demeaning did not converge"), with ``x``
    unchanged, when ``maxiter`` iterations do not reach ``tol``."""

class CoefSession:
    """One sample's fixed effects held for many solves of ``COEF_PCG_demean``. ``A``: the N x F
    int64/int32 array of dense level ids (any layout), checked once and kept (it must not
    change while the session is used). The first ``demean`` lays the rows out by the effect
    with most levels (the other effects' ids by position in 16 or 32 bits); for the weights of
    the last call the session keeps the rows' weights in that order, the level counts and every
    preconditioner a solve built (the pair block and its factor, the whole factor, additive
    pairs, or the finding that none could be built), which a later call with the same weights
    takes when it reaches the same decision. Weights are recognised by a fingerprint of their
    values (one pass), so a copy is the same weights and an array changed in place is not;
    other weights keep the layout and rebuild the rest. The layout also keeps the row of each
    position (4 bytes a row), from which a wide block's first pass forms the segment effect's
    sums. Ids changed in place are recognised by the fingerprint the first pass forms as it
    reads them: nothing is written, and the ids are checked and laid out afresh. Each
    ``demean`` gives the bits of ``COEF_PCG_demean(x, w, A, ...)`` with the same arguments."""

    def __init__(self, A: _I64 | npt.NDArray[np.int32]) -> None: ...
    def demean(
        self,
        x: _F64,
        w: _F64 | None,
        tol: float,
        miniter: int,
        maxiter: int,
        verbose: int,
        n_threads: int,
        preconditioner: Literal["auto", "jacobi", "exact", "approx", "pairs", "full"] = "auto",
    ) -> dict[str, int | str | float | list[str]]:
        """``COEF_PCG_demean`` on the session's ids; its report adds "reused" (what this call
        took from earlier ones: "layout", "weights", "level counts", a preconditioner's name,
        or "no pair block (as decided before)"), "setup_seconds" (layout and weights by
        position), "build_seconds" (preconditioners) and "solve_seconds" (the rest). A
        positive ``n_threads`` holds for this call alone: unlike ``COEF_PCG_demean``, the
        session leaves the process's OpenMP default as it found it."""
    @property
    def n_rows(self) -> int: ...
    @property
    def levels(self) -> list[int]:
        """G_f of every column of ``A``."""

def COEF_PCG_slopes(
    x: _F64,
    w: _F64 | None,
    A: _I64,
    intercepts: list[bool],
    slopes: list[_F64 | None],
    tol: float,
    miniter: int,
    maxiter: int,
    verbose: int,
    n_threads: int,
) -> tuple[list[_F64], dict[str, int | str | list[int]]]:
    """Partial fixed effects with varying slopes out of the columns of ``x`` in place: the
    design of effect f has, per level, its intercept (``intercepts[f]``) and one column per
    variable of ``slopes[f]`` (an N x S_f C-contiguous float64 array, or None), each that
    variable on the level's rows and 0 elsewhere. ``A``: the N x F int64 dense level ids.
    Conjugate gradients on the normal equations, preconditioned by the exact inverse of every
    level's block (closed form for one effect). Returns the coefficients of every effect
    (G_f x (intercept + S_f) x K; a coefficient whose column its level's earlier columns
    span is 0 and counted in ``dropped``) and {"iterations", "preconditioner" ("closed form",
    "level blocks"), "reason", "dropped"}. ValueError("demeaning did not converge"), with
    ``x`` unchanged, when ``maxiter`` iterations do not reach ``tol``."""

def COEF_PCG_cells(
    counts: list[_F64],
    sums: list[_F64],
    pairs: list[tuple[int, int, _I64, _I64, _F64]],
    sumsq: _F64,
    N: int,
    tol: float,
    miniter: int,
    maxiter: int,
    verbose: int,
    n_threads: int,
    preconditioner: Literal["auto", "jacobi", "exact", "approx", "pairs", "full"] = "auto",
) -> tuple[list[_F64], dict[str, int | str]]:
    """The solve of ``COEF_PCG_demean`` from aggregates instead of rows, for data aggregated
    elsewhere (a database, a cluster). Per fixed effect f: ``counts[f]``, its G_f weighted
    level counts, and ``sums[f]``, the G_f x K weighted level sums of the columns; per pair
    f < g (every pair once): ``(f, g, level_f, level_g, weight)``, the cells of their
    cross-tabulation (a cell may repeat); ``sumsq``: the columns' weighted sums of squares
    (they start the convergence measure); ``N``: the rows behind the aggregates (it sizes the
    pair block's budget). Returns the G_f x K coefficients of every fixed effect, so that
    the demeaned columns are v - sum_f alpha[f][level_f], and the report of
    ``COEF_PCG_demean``. Everything is checked before the solve (ValueError or TypeError
    naming the argument); ValueError("demeaning did not converge") as for rows."""

def COEF_PCG_rows(
    counts: list[_F64],
    sums: list[_F64],
    sumsq: _F64,
    segment: int,
    segment_rows: _I64,
    levels: list[np.ndarray | None],
    w: _F64 | None,
    tol: float,
    miniter: int,
    maxiter: int,
    verbose: int,
    n_threads: int,
    preconditioner: Literal["auto", "jacobi", "exact", "approx", "pairs", "full"] = "auto",
) -> tuple[list[_F64], dict[str, int | str]]:
    """``COEF_PCG_cells`` for aggregates whose pairs have too many cells to hold (about one
    per row when a fixed effect has few rows per level): D'WD is applied by passes over the
    rows instead. The rows come sorted by the levels of fixed effect ``segment``:
    ``segment_rows``, its number of rows per level (they sum to N); ``levels[f]``, the level
    of each row of every other effect in that order, all uint16 or all uint32
    (``levels[segment]`` is not read: pass None); ``w``, the rows' weights in that order, or
    None. ``counts``, ``sums`` and ``sumsq`` as for ``COEF_PCG_cells``. Same result, report,
    checks and errors."""

def counting_sort(keys: _I64, n_groups: int) -> _I64:
    """Row positions ordered by the dense keys in [0, n_groups), stable, in O(N + n_groups):
    ``np.argsort(keys, kind="stable")`` in linear time. Releases the GIL while it sorts.
    ValueError naming the first key out of range."""

def pair_ranks(a: _I64, G_a: int, b: _I64, G_b: int) -> tuple[_I64, _I64]:
    """Dense lexicographic ids of the pairs (a, b) of dense ids in [0, G_a) x [0, G_b), and
    the rows sorted by pair (stably): ``(np.unique(a * G_b + b, return_inverse=True)[1],
    np.lexsort((b, a)))`` by two counting sorts, in O(N + G_a + G_b). Releases the GIL while
    it sorts."""

def dense_codes(
    values: _I64 | npt.NDArray[np.int32],
    rows: _I64 | None,
    out: _I64 | npt.NDArray[np.int32],
    n_threads: int,
) -> _I64 | None:
    """Dense codes 0 .. G-1, in ascending value order, of the integers ``values[rows]`` (all
    of ``values`` for None; any stride) into ``out`` (contiguous, one entry per row read),
    and the rows per code: ``np.unique(values[rows], return_inverse=True,
    return_counts=True)`` by counting in a table of max - min + 1 entries, on ``n_threads``
    OpenMP threads (0: the default). None, with ``out`` untouched, when the values span more
    than 4 per row (max - min > 4 len(out)). Releases the GIL while it counts. ValueError
    naming the argument for a row out of range, a length that differs, int32 codes for 2^31
    rows or more, or ``out`` sharing memory with an input."""

def fill_standardised(
    out: _F64,
    columns: list[_F64 | None],
    rows: _I64 | None,
    centre: _F64,
    inverse: _F64,
    n_threads: int,
) -> None:
    """Fill the C-contiguous N x K block ``out`` with ``(columns[j][rows] - centre[j]) *
    inverse[j]`` (column j over all N rows when ``rows`` is None; ones for a None column),
    the two roundings of NumPy's expression, on ``n_threads`` OpenMP threads (0: the
    default), each writing a contiguous range of rows. The columns are 1-D float64 of any
    stride and one length. Releases the GIL. ValueError naming the argument for a length
    that differs, a row out of range or ``out`` sharing memory with an input."""

def cluster_meat(result: _F64, x: _F64, u: _F64, ids: _I64 | npt.NDArray[np.int32], G: int) -> None:
    """Write into the K x K ``result`` the meat \\sum_g X_g' u_g u_g' X_g (X: columns 1..K of
    x, u: column 0 of u) of the clusters of the dense ``ids`` in [0, G): the same bits as
    ``calc_B`` over the group index of a stable sort of the ids, computed without sorting by
    adding each row's scores into its cluster's sums in row order (long double). x and u may
    have any strides and be read-only. Releases the GIL. ValueError naming the argument for
    an id outside [0, G), shapes that do not fit, or ``result`` sharing memory with an
    input."""

def log_link_predict(
    eta: _F64,
    mu: _F64,
    block: _F64,
    coef: _F64,
    z: _F64,
    offset: _F64 | None,
    wy: _F64,
    w: _F64 | None,
    n_threads: int,
) -> tuple[float, float]:
    """Write ``eta = block @ coef + z (+ offset)`` and ``mu = exp(eta)`` (``block`` row-major
    N x K, the others contiguous of N entries) and return ``(wy @ eta, sum of w * mu)``
    (``w`` None: ones), summed by fixed chunks of rows so the same for any ``n_threads``."""

def log_link_rework(
    z: _F64, block: _F64, y: _F64, eta: _F64, mu: _F64, offset: _F64 | None, inverse_size: float, n_threads: int
) -> None:
    """Replace ``z`` in place by ``(y - mu) / mu + (eta - offset)`` and add its change times
    ``inverse_size`` to column 0 of the row-major ``block``: the NumPy expressions' bits."""

widest_cross_products: int  # the most columns weighted_cross_products takes

def weighted_cross_products(gram: _F64, x: _F64, w: _F64 | None, n_threads: int) -> None:
    """Write ``x' diag(w) x`` (``w`` None: ``x' x``) of the N x K view ``x`` (any strides,
    K <= 16) into the K x K ``gram``, symmetric to the bit and the same for any ``n_threads``."""

def bipartite_components(
    heads: _I64 | npt.NDArray[np.int32],
    tails: _I64,
    levels: int,
    keys: int,
    mask: npt.NDArray[np.bool_] | None = None,
) -> _I64:
    """The connected components of the bipartite graph on ``levels + keys`` nodes with an
    edge from level ``heads[i]`` to key ``levels + tails[i]`` for each row ``i`` (where
    ``mask``; None: every row): a label per node, the levels' first, each the smallest node
    of its component (union-find over the rows, no graph built)."""

def zero_groups(y: _F64, ids: _I64 | npt.NDArray[np.int32], n_threads: int) -> npt.NDArray[np.bool_]:
    """The rows in a fixed-effect group whose outcome is zero in every row: True where, for
    some column of the N x F dense level ``ids`` (any strides), no row of the level has
    ``y > 0`` (``y`` non-negative)."""
