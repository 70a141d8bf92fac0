"""One BLAS thread for the small dense products of an estimate, however many estimates run at once."""

import threading

import threadpoolctl
from threadpoolctl import threadpool_limits


class _OneBlasThread:
    """One BLAS thread while any estimate is in its least-squares stage, in any thread.

    BLAS thread counts belong to the process. threadpoolctl's ``threadpool_limits`` block
    saves the count it finds and restores it on exit, so two estimates whose blocks overlap
    restore each other's value and leave the process at one thread. Here the first estimate
    to enter saves the counts and sets one thread, the others only count themselves in, and
    the last to leave restores what the first saved; the lock makes the count and the switch
    one step. Process-wide settings need this one piece of process-wide state.

    threadpoolctl (from 3.8) lets only the thread that set OpenBLAS's count change it again,
    ignoring the others without a word, until that thread lets go; the first to enter and
    the last to leave may be different threads, so each lets go at once after its change.
    While another thread of the caller's holds that control, the estimates leave the count
    alone (their changes are ignored, the restore as well)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._inside = 0
        self._limiter = None

    def __enter__(self):
        with self._lock:
            if self._inside == 0:
                self._limiter = threadpool_limits(limits=1, user_api="blas")
                _let_go_of_blas()
            self._inside += 1
        return self

    def __exit__(self, *exc_info):
        with self._lock:
            self._inside -= 1
            if self._inside == 0:
                limiter, self._limiter = self._limiter, None
                limiter.restore_original_limits()
                _let_go_of_blas()
        return False


def _let_go_of_blas() -> None:
    # threadpoolctl < 3.8 has no controlling thread: nothing to let go of
    controller = getattr(threadpoolctl, "OpenBLASController", None)
    if hasattr(controller, "clear_controlling_thread"):
        controller.clear_controlling_thread()  # only when this thread holds the control


ONE_BLAS_THREAD = _OneBlasThread()
