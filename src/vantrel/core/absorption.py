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


# The preconditioner a later block of the same sample starts with, by the one the solver
# reported for the first: the exact pair block the measured rate called for is built from
# the start (the Jacobi phase that measured it is not repeated: 14 iterations to 9 on the
# difficult design at 1e6 rows). Jacobi stays "auto", so a later block that converges more
# slowly can still be upgraded; so does the approximate pair block, whose factor costs
# most of its solve either way (grid design at 1e6 rows: no faster from the start). The
# factors themselves are not rebuilt: the kernel's session keeps each one for the weights it
# was built with, and a later block that comes to the same decision takes it.
_REUSED_MODE = {"exact pair": "exact"}


class Absorption:
    """One sample's fixed effects, absorbed from any block of columns.

    The object keeps what the solver learned and built for the sample, so that multiple
    estimation, reweighted iterations, instrumental-variable stages and the bootstrap absorb
    many blocks of one sample without rebuilding it: the kernel's session
    (``quarnet.CoefSession``) holds the layout of the rows (ordered by the effect with most
    levels, the other effects' ids in 16 or 32 bits), and for the weights of the last call the
    level counts and every preconditioner built (the pair block and its factor, the whole
    factor, additive pairs). A call with other weights keeps the layout and rebuilds the rest.
    Every call gives the same numbers, to the last bit, as a fresh solve with the same
    preconditioner request; the first block that needed the exact pair block has it requested
    for every later block, so the Jacobi phase that found it is not repeated.

    Parameters
    ----------
    ids : numpy.ndarray or object
        The N x F level ids of the effects (int64 or int32, dense ids 0 .. G-1 per column),
        which must not change while the object is used; or the kernel's group index (then
        every call is a fresh solve).
    weights : numpy.ndarray, optional
        The rows' weights for every block whose call gives none (None: unweighted).
    tol : float
        The solver's convergence tolerance.
    maxiter : int
        Its iteration limit.
    n_threads : int, default 0
        Its threads (0: the OpenMP default).
    slopes : list of tuple, optional
        Varying slopes: per effect (intercept, N x S slope variables or None), absorbed by the
        kernel's solver for them (which keeps nothing between calls).

    Examples
    --------
    >>> import numpy as np
    >>> ids = np.asfortranarray(np.array([[0, 0], [0, 1], [1, 0], [1, 1]]))
    >>> absorption = Absorption(ids, None, tol=1e-10, maxiter=100)
    >>> block = np.array([[1.0], [2.0], [3.0], [5.0]])
    >>> report = absorption.absorb(block)
    >>> np.round(block.ravel(), 6).tolist()
    [0.25, -0.25, -0.25, 0.25]
    >>> report = absorption.absorb(np.array([[1.0], [0.0], [0.0], [0.0]]))
    >>> report["reused"]
    ['layout', 'level counts']
    """

    def __init__(self, ids, weights=None, *, tol: float, maxiter: int, n_threads: int = 0, slopes=None):
        self.ids = ids
        # varying slopes: per effect (intercept, N x S slope variables or None), absorbed by
        # the kernel's solver for them; None leaves every block to the solver without slopes
        self.slopes = slopes
        self._ids64 = None
        self.weights = weights
        self.tol = tol
        self.maxiter = maxiter
        self.n_threads = n_threads
        self.mode = "auto"
        self.reports: list[dict] = []

    @property
    def ids(self):
        """The level ids (or group index) of the effects."""
        return self._ids

    @ids.setter
    def ids(self, ids):
        # other ids are another sample: nothing the session kept of the former holds
        self._ids = ids
        self._session = None

    def __getstate__(self):
        # the kernel's session holds pointers into the ids: a copy or a pickle makes its own
        state = self.__dict__.copy()
        state["_session"] = None
        return state

    def _kernel_session(self):
        """The kernel's session over the level ids, made by the first call (None for a group
        index, which the session does not take)."""
        if self._session is None and _level_ids(self._ids):
            from vantrel.backend.quarnet import CoefSession

            self._session = CoefSession(self._ids)
        return self._session

    def absorb(self, block: np.ndarray, weights=None, verbosity: int = 0) -> dict:
        """Demean a block of columns in place.

        Parameters
        ----------
        block : numpy.ndarray
            N x K row-major float64, the columns at a common size (see
            `stack_standardised`); demeaned in place.
        weights : numpy.ndarray, optional
            This block's weights (None: the object's).
        verbosity : int, default 0
            The kernel's progress output (0: none).

        Returns
        -------
        dict
            The solver's report: iterations, preconditioner and why; for level ids also
            ``reused`` (what this call took from earlier ones: the rows' layout, the
            weights by position, the level counts, a preconditioner) and the seconds of
            ``setup_seconds`` (layout and weights), ``build_seconds`` (preconditioners)
            and ``solve_seconds`` (the passes and iterations).

        Raises
        ------
        ValueError
            When the block, weights or ids do not fit together, a weight is negative or not
            finite, or the solver does not converge within ``maxiter``.
        """
        from vantrel.backend.quarnet import COEF_PCG_demean

        w = self.weights if weights is None else weights
        if self.slopes is not None:
            return self._absorb_slopes(block, w, verbosity)
        session = self._kernel_session()
        if session is None:
            report = COEF_PCG_demean(
                block, w, self._ids, self.tol, 0, self.maxiter, verbosity, self.n_threads, self.mode
            )
        else:
            report = session.demean(block, w, self.tol, 0, self.maxiter, verbosity, self.n_threads, self.mode)
        if self.mode == "auto":
            self.mode = _REUSED_MODE.get(report.get("preconditioner"), "auto")
        self.reports.append(report)
        return report

    def _absorb_slopes(self, block, w, verbosity):
        from vantrel.backend.quarnet import COEF_PCG_slopes

        if self._ids64 is None:  # the solver for slopes reads 64-bit ids, converted once
            self._ids64 = np.ascontiguousarray(self.ids, dtype=np.int64)
        intercepts = [intercept for intercept, _ in self.slopes]
        variables = [values for _, values in self.slopes]
        _, report = COEF_PCG_slopes(
            block, w, self._ids64, intercepts, variables, self.tol, 0, self.maxiter, verbosity, self.n_threads
        )
        self.reports.append(report)
        return report


def _level_ids(ids) -> bool:
    """Whether `ids` are level ids the kernel's session takes (a 2-D int64 or int32 array)."""
    return isinstance(ids, np.ndarray) and ids.ndim == 2 and ids.dtype in (np.int64, np.int32)
