"""Progress of long estimates on standard error.

Stage lines and the absorption's iterations (the kernel prints every tenth iteration and
its convergence measure through Python's print) go to stderr, prefixed, when progress is
on. By default it is on when stderr is a terminal, and then only for long estimates: the
lines start once an estimate has run for a few seconds, so short ones stay silent.
"""

from __future__ import annotations

import contextlib
import io
import sys
import time

# Seconds after which an estimate shows its progress unless asked for it from the start.
QUIET_SECONDS = 3.0


class Progress:
    def __init__(self, enabled: bool | None, name: str = "feols"):
        self.name = name  # the estimator's, at the head of each line
        self.after = 0.0 if enabled else QUIET_SECONDS
        if enabled is None:
            enabled = bool(getattr(sys.stderr, "isatty", lambda: False)())
        self.enabled = bool(enabled)
        self.start = self.last = time.perf_counter()
        self.timings: dict[str, float] = {}

    def done(self, name: str) -> None:
        """Record the seconds since the previous `done` under `name` (the stage profile
        of the result)."""
        now = time.perf_counter()
        self.timings[name] = self.timings.get(name, 0.0) + now - self.last
        self.last = now

    def stage(self, text: str) -> None:
        if self.enabled and time.perf_counter() - self.start >= self.after:
            print(
                f"vantrel.{self.name} [{time.perf_counter() - self.start:6.1f} s] {text}", file=sys.stderr, flush=True
            )

    @property
    def kernel_verbosity(self) -> int:
        return 2 if self.enabled else 0

    def kernel_output(self):
        """Context in which the kernel's progress lines go to stderr as readable lines."""
        if not self.enabled:
            return contextlib.nullcontext()
        return contextlib.redirect_stdout(_KernelLines(self))


class _KernelLines(io.TextIOBase):
    """A stdout stand-in that turns the kernel's "count measure" lines into stage lines."""

    def __init__(self, progress: Progress):
        self.progress = progress
        self.pending = ""

    def write(self, text: str) -> int:
        self.pending += text
        while "\n" in self.pending:
            line, self.pending = self.pending.split("\n", 1)
            parts = line.split()
            if len(parts) == 2 and parts[0].isdigit():
                self.progress.stage(f"absorption: iteration {parts[0]}, convergence measure {float(parts[1]):.3g}")
            elif line.strip():
                self.progress.stage("absorption: " + line.strip())
        return len(text)
