"""Native absorption kernel (quarnet) and its index helpers (morlisk)."""

import os

# The kernel's OpenMP threads meet at a barrier several times per iteration. By default the
# OpenMP runtime lets a waiting thread spin for a while (300,000 rounds) before it sleeps;
# when other processes keep the cores busy, the spinning threads take the time slices the
# working ones need, and two threads ran 1.4-2 times slower than one. A passive wait (sleep
# at once) costs a wake-up at every barrier instead: 7% of a solve of 1e6 rows on an idle
# machine, and beside two busy processes the coefficient solver's two threads were still
# slower than one in five of seven trials. A short spin of 10,000 rounds (a fraction of a
# millisecond), then sleep, was within 2% of endless spinning on the idle machine and kept
# the coefficient solver's two threads ahead of one in all seven trials beside busy
# processes; the sweep kernel's result there depended on where the scheduler put its
# threads, whatever the wait (benchmarks/RESULTS.md, runs R-W).
# The runtime (GCC's libgomp, which the kernel is built with) reads the setting once, when it
# is loaded, which is when the kernel module is imported below (unless another library loaded
# it first). A choice the user made in the environment is kept.
if "OMP_WAIT_POLICY" not in os.environ and "GOMP_SPINCOUNT" not in os.environ:
    os.environ["GOMP_SPINCOUNT"] = "10000"
