"""How many threads the driver's own parallel work uses."""

import os


def driver_threads(nt):
    """Threads of the driver's parallel work: the row gathers of the sample, the group
    indexes (one id column per thread) and the cluster subsets' meats (one subset per
    thread). `nt` when given, the kernel's thread count; else every CPU this process may
    run on."""
    if nt > 0:
        return nt
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not every platform can tell the affinity
        return os.cpu_count() or 1
