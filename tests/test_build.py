import importlib

import numpy as np
import pytest

from vantrel.backend.morlisk import make_pointer

# What users call: the shipped kernel module holds these and nothing else (the benchmark
# hooks live in vantrel.backend._bench_hooks).
KERNEL_API = {
    "panelsetup", "drop_singletons", "sep", "calc_B", "MAP_NH_noaccel", "MAP_NH_CG_accel", "COEF_PCG_demean",
    "COEF_PCG_cells", "COEF_PCG_rows", "COEF_PCG_slopes", "CoefSession",
    "counting_sort", "pair_ranks", "dense_codes", "fill_standardised", "cluster_meat",
    "log_link_predict", "log_link_rework", "weighted_cross_products", "bipartite_components", "zero_groups",
    "widest_cross_products",  # the widest block weighted_cross_products takes
    "np",  # numpy, as the module's attribute
}  # fmt: skip


@pytest.mark.parametrize("name", ["quarnet", "_bench_hooks"])
def test_kernel_module_is_the_installed_extension(name):
    module = importlib.import_module(f"vantrel.backend.{name}")
    assert module.__file__.endswith(".so")
    assert "site-packages" in module.__file__


def test_kernel_module_holds_only_what_users_call():
    quarnet = importlib.import_module("vantrel.backend.quarnet")
    assert {name for name in vars(quarnet) if not name.startswith("__")} == KERNEL_API


def test_bench_hooks_hold_the_hooks():
    hooks = importlib.import_module("vantrel.backend._bench_hooks")
    assert {name for name in vars(hooks) if not name.startswith("__")} == {"sweep", "demean_count", "touch_sweep"}


@pytest.mark.parametrize("accelerated", [False, True])
def test_bench_hooks_run_the_shipped_kernel(accelerated):
    # The hooks module compiles the demeaning sources a second time; the tests that use its
    # single sweeps as an oracle of quarnet's kernel rely on both computing the same bits.
    quarnet = importlib.import_module("vantrel.backend.quarnet")
    hooks = importlib.import_module("vantrel.backend._bench_hooks")
    rng = np.random.default_rng(11)
    ids = rng.integers(0, 30, size=(500, 2))
    x = rng.normal(size=(500, 3)) + 1e3 * rng.normal(size=3)
    w = rng.uniform(0.5, 2.0, size=500)
    shipped, hooked = x.copy(), x.copy()
    demean = quarnet.MAP_NH_CG_accel if accelerated else quarnet.MAP_NH_noaccel
    demean(shipped, w, make_pointer(ids), 1e-9, 0, 10_000, 0, 0)
    iterations = hooks.demean_count(hooked, w, make_pointer(ids), 1e-9, 0, 10_000, 0, accelerated)
    assert iterations > 1
    assert np.array_equal(shipped, hooked)
