"""Benchmark hooks of the absorption kernel (private; for benchmarks/ and the tests).

Arguments as for ``vantrel.backend.quarnet``'s demeaning functions: exact element types and
layouts, checked once per call, nothing converted or copied.
"""

import numpy as np
import numpy.typing as npt

_F64 = npt.NDArray[np.float64]
_Table = npt.NDArray[np.object_]

def sweep(x: _F64, w: _F64 | None, A: _Table, n_threads: int, repeat: int = 1) -> _F64:
    """One symmetric sweep of group demeanings over the fixed effects of A, in place
    (``repeat`` times after one validation); returns ``x`` itself."""

def demean_count(
    x: _F64, w: _F64 | None, A: _Table, tol: float, miniter: int, maxiter: int, n_threads: int, accelerated: bool
) -> int:
    """Demean ``x`` in place like ``MAP_NH_CG_accel`` (accelerated) or ``MAP_NH_noaccel``,
    silently, and return the number of iterations made."""

def touch_sweep(x: _F64, A: _Table, n_threads: int, repeat: int = 1) -> None:
    """The memory traffic of one sweep (loads and stores through sortvec) without arithmetic
    (``repeat`` times after one validation; 0 times the validation alone)."""
