"""Shared seeded data and an independent least-squares oracle for the tests.

`panel` builds small random panels; `dummy_ols` estimates the same model the slow and
obvious way (full dummy sets, NumPy lstsq) after an iterative singleton screen written
with plain pandas, so it shares no code with the package.
"""

import ctypes
import os

import numpy as np
import pandas as pd
import pytest

# Files and DuckDB relations small enough are estimated in memory unless an engine is named;
# the suite's tests of the out-of-core engine pass them without one, so the budget is zero
# here (out of core always) and the tests of the choice itself set their own.
os.environ["VANTREL_MEMORY_BUDGET"] = "0"


def make_panel(seed=0, n=400, groups=(30, 8, 5), n_x=2, noise=1.0):
    """Random panel: columns y, x1..x<n_x>, and id columns a, b, c, ... with the given group counts.

    Group sizes are uneven (ids drawn from a skewed distribution) so that some groups are
    singletons, and the fixed effects enter y with random values.
    """
    rng = np.random.default_rng(seed)
    df = pd.DataFrame(index=pd.RangeIndex(n))
    y = np.zeros(n)
    for i, n_groups in enumerate(groups):
        name = chr(ord("a") + i)
        weights = rng.gamma(0.7, size=n_groups)
        ids = rng.choice(n_groups, size=n, p=weights / weights.sum())
        df[name] = ids
        y += rng.normal(size=n_groups)[ids]
    for j in range(1, n_x + 1):
        df["x" + str(j)] = rng.normal(size=n) + 0.3 * y
        y += (0.5 * j - 1.2) * df["x" + str(j)].to_numpy()
    df["y"] = y + noise * rng.normal(size=n)
    return df


def drop_singletons_reference(df, fe_specs):
    """Repeat removing rows alone in a group of some effect until none is left."""
    keys = [term.split("#") for term in fe_specs]
    while True:
        single = np.zeros(len(df), dtype=bool)
        for key in keys:
            single |= df.groupby(key)[key[0]].transform("size").to_numpy() == 1
        if not single.any():
            return df
        df = df[~single]


def dummy_ols(df, y, x, fe_specs, drop_singletons=True):
    """Coefficients of x from OLS of y on x plus a full dummy set of every effect."""
    if drop_singletons and fe_specs:
        df = drop_singletons_reference(df, fe_specs)
    columns = [df[x].to_numpy(dtype=float)]
    for term in fe_specs:
        ids = df.groupby(term.split("#")).ngroup().to_numpy()
        columns.append(np.eye(ids.max() + 1)[ids])
    if not fe_specs:
        columns.append(np.ones((len(df), 1)))
    design = np.column_stack(columns)
    coef = np.linalg.lstsq(design, df[y].to_numpy(dtype=float), rcond=None)[0]
    return coef[: len(x)], len(df)


@pytest.fixture
def panel():
    """The panel factory (seeded; call with seed=, n=, groups=, n_x=)."""
    return make_panel


@pytest.fixture
def singleton_reference():
    """The pandas singleton screen: (df, fe_specs) -> df without singletons."""
    return drop_singletons_reference


@pytest.fixture
def ols_oracle():
    """The dummy-variable least-squares oracle: (df, y, x, fe_specs) -> (coef, n_used)."""
    return dummy_ols


@pytest.fixture
def restore_thread_count():
    """A positive nt sets the OpenMP runtime's default thread count for the whole process:
    put back the count from before the test."""
    gomp = ctypes.CDLL("libgomp.so.1")  # the OpenMP runtime the kernel uses, already loaded
    before = gomp.omp_get_max_threads()
    yield
    gomp.omp_set_num_threads(before)
