"""Native absorption kernel (quarnet) and its index helpers (morlisk)."""

import os

# The kernel's OpenMP threads meet at a barrier several times per iteration. By default the
# OpenMP runtime lets a waiting thread spin for a while before it sleeps; when other
# processes keep the cores busy, the spinning threads take the time slices the working ones
# need, and two threads ran 1.4-2 times slower than one. A passive wait (sleep at once)
# removes that; what it costs on an idle machine is measured in benchmarks/RESULTS.md. The
# runtime reads the setting once, when it is loaded, which is when the kernel module is
# imported below (unless another library loaded it first). A choice the user made in the
# environment is kept.
if "OMP_WAIT_POLICY" not in os.environ and "GOMP_SPINCOUNT" not in os.environ:
    os.environ["OMP_WAIT_POLICY"] = "PASSIVE"
