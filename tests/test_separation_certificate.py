"""The certificate that no observation can be separated, which lets fepois skip the
iterative rectifier: it must never claim a design is free of separation when some row is
separated, and skipping the rectifier must leave every fit as the rectifier leaves it.

Oracles: a linear programme over the regressors and the fixed effects' dummy variables
(scipy's HiGHS on the full design: the separated rows exactly, independent of the
absorption), the rectifier itself run without the certificate, the standard separation
suite's marked rows, and invariances (permuting rows, rescaling regressors)."""

import pathlib
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy.optimize import linprog

import vantrel
from vantrel.core import separation

SUITE = sorted((pathlib.Path(__file__).parent / "data" / "separation").glob("[0-9][0-9].csv"))


def dense_ids(df, effects):
    ids = np.empty((len(df), len(effects)), dtype=np.int32, order="F")
    for j, name in enumerate(effects):
        ids[:, j] = pd.factorize(df[name], sort=True)[0]
    return ids if effects else None


def _programme_once(y, A):
    zero = y == 0
    A0, A1 = A[zero], A[~zero]
    out = linprog(
        -A0.sum(axis=0),
        A_ub=np.vstack([A0, -A0]),
        b_ub=np.concatenate([np.ones(len(A0)), np.zeros(len(A0))]),
        A_eq=A1,
        b_eq=np.zeros(len(A1)),
        bounds=[(None, None)] * A.shape[1],
        method="highs",
    )
    assert out.status == 0, out.message
    found = np.zeros(len(y), dtype=bool)
    found[np.flatnonzero(zero)] = A0 @ out.x > 1e-7
    return found


def separated_by_programme(y, X, ids):
    """The rows separated by the regressors and the effects' dummies together: maximise the
    sum of z = [X D] c over the rows with y = 0, with z = 0 where y > 0 and 0 <= z <= 1
    where y = 0; the rows with z > 0 at the optimum are separated. The optimum need not
    reach every separated row (the cap of 1 can hold some at zero), so the programme runs
    again on the rest until it finds none (dropping separated rows separates no other)."""
    parts = [X]
    if ids is not None:
        for j in range(ids.shape[1]):
            parts.append(np.eye(int(ids[:, j].max()) + 1)[ids[:, j]])
    A = np.hstack(parts)
    separated = np.zeros(len(y), dtype=bool)
    while (y[~separated] == 0).any():
        rest = np.flatnonzero(~separated)
        found = _programme_once(y[rest], A[rest])
        if not found.any():
            break
        separated[rest[found]] = True
    return separated


def panel(seed, n, effects, planted):
    """Counts on two regressors and `effects` random fixed effects. `planted`: "none"
    (zeros at random), "regressor" (x2 is zero wherever y > 0 and positive on some zero
    rows), "effects" (the rows with y > 0 fall in two blocks of fe1 and fe2 levels, and
    rows with y = 0 join them one way only: separated by the effects alone), "both" (the
    two together)."""
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n)})
    for j in range(effects):
        df[f"fe{j + 1}"] = rng.integers(0, 8 - j, size=n)
    df["y"] = rng.poisson(np.exp(0.3 * df["x1"])).astype(float)
    if planted in ("effects", "both"):
        # the blocks: fe1 below 4 with fe2 below 3, and the rest of each; rows with fe1 in
        # the first and fe2 in the second join them, with a zero outcome, and none the
        # other way round
        joining, other_way = (df["fe1"] < 4) & (df["fe2"] >= 3), (df["fe1"] >= 4) & (df["fe2"] < 3)
        keep = ~other_way & (~joining | (rng.uniform(size=n) < 0.2))
        df.loc[joining, "y"] = 0.0
        df = df[keep].reset_index(drop=True)
    if planted in ("regressor", "both"):
        size = len(df)
        df["x2"] = np.where(df["y"] > 0, 0.0, np.abs(rng.normal(size=size)) * (rng.uniform(size=size) < 0.3))
    return df


CASES = [
    (seed, effects, planted)
    for planted in ("none", "regressor", "effects", "both")
    for effects in (1, 2, 3)
    for seed in (0, 1)
    if not (planted in ("effects", "both") and effects < 2)
]


def _arrays(df, effects):
    names = [f"fe{j + 1}" for j in range(effects)]
    return df["y"].to_numpy(), df[["x1", "x2"]].to_numpy(), dense_ids(df, names)


def _options():
    return {"tol": 1e-10, "maxiter": 10_000, "n_threads": 1}


@pytest.mark.parametrize(("seed", "effects", "planted"), CASES, ids=[f"{p}-{k}fe-{s}" for s, k, p in CASES])
def test_certificate_never_hides_separated_rows(seed, effects, planted):
    df = panel(seed, 300, effects, planted)
    y, X, ids = _arrays(df, effects)
    truth = separated_by_programme(y, X, ids)
    certified = separation.nothing_separable(y, X, ids, **_options())
    if certified:
        assert not truth.any()
    if planted == "none":
        # the common case the certificate is for: random zeros in well-filled groups
        assert certified and not truth.any()
    else:
        assert truth.any() and not certified
    # with or without the certificate the rectifier's answer is the programme's
    with_certificate, _ = separation.relu_separated(y, X, ids, **_options())
    without, _ = separation.relu_separated(y, X, ids, **_options(), certify=False)
    np.testing.assert_array_equal(with_certificate, truth)
    np.testing.assert_array_equal(without, truth)


@pytest.mark.parametrize(("seed", "effects", "planted"), CASES, ids=[f"{p}-{k}fe-{s}" for s, k, p in CASES])
def test_certificate_is_invariant(seed, effects, planted):
    df = panel(seed, 300, effects, planted)
    y, X, ids = _arrays(df, effects)
    decided = separation.nothing_separable(y, X, ids, **_options())
    order = np.random.default_rng(seed + 7).permutation(len(y))
    permuted = separation.nothing_separable(y[order], X[order], np.asfortranarray(ids[order]), **_options())
    rescaled = separation.nothing_separable(y, X * np.array([1e-6, 3e5]), ids, **_options())
    assert permuted == decided
    assert rescaled == decided


def _fit_both_ways(monkeypatch, fml, df, method):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fast = vantrel.fepois(fml, df, separation=method)
        with monkeypatch.context() as patched:
            # the rectifier on every design, as before the certificate
            patched.setattr(separation, "nothing_separable", lambda *a, **k: False)
            slow = vantrel.fepois(fml, df, separation=method)
    return fast, slow


def _assert_same_fit(fast, slow):
    assert fast.separated == slow.separated
    assert list(fast.separated_index) == list(slow.separated_index)
    assert fast.nobs == slow.nobs
    np.testing.assert_array_equal(fast.coef().to_numpy(), slow.coef().to_numpy())
    np.testing.assert_array_equal(fast.se().to_numpy(), slow.se().to_numpy())


@pytest.mark.parametrize("method", [("fe", "simplex", "relu"), "relu"], ids=["all three", "relu alone"])
@pytest.mark.parametrize("path", SUITE, ids=[p.stem for p in SUITE])
def test_suite_fits_equal_the_rectifier_run(monkeypatch, path, method):
    df = pd.read_csv(path)
    regressors = [c for c in df if c.startswith("x")]
    effects = [c for c in df if c.startswith("id")]
    fml = "y ~ " + (" + ".join(regressors) or "1") + (" | " + " + ".join(effects) if effects else "")
    fast, slow = _fit_both_ways(monkeypatch, fml, df.drop(columns="separated"), method)
    _assert_same_fit(fast, slow)
    # and the certificate is silent on every suite case with a separated row
    y, X = df["y"].to_numpy(), df[regressors].to_numpy(dtype=float)
    if not effects:
        X = np.column_stack([np.ones(len(y)), X])  # the model's intercept
    if (df["separated"] == 1).any():
        assert not separation.nothing_separable(y, X, dense_ids(df, effects), **_options())


@pytest.mark.parametrize(("seed", "effects", "planted"), CASES, ids=[f"{p}-{k}fe-{s}" for s, k, p in CASES])
def test_random_fits_equal_the_rectifier_run(monkeypatch, seed, effects, planted):
    df = panel(seed, 400, effects, planted)
    fml = "y ~ x1 + x2 | " + " + ".join(f"fe{j + 1}" for j in range(effects))
    fast, slow = _fit_both_ways(monkeypatch, fml, df, ("fe", "simplex", "relu"))
    _assert_same_fit(fast, slow)
    y, X, ids = _arrays(df, effects)
    assert sum(fast.separated.values()) == int(separated_by_programme(y, X, ids).sum())


@pytest.mark.parametrize(("seed", "effects", "planted"), CASES, ids=[f"{p}-{k}fe-{s}" for s, k, p in CASES])
def test_rows_left_out_equal_rows_dropped(seed, effects, planted):
    # the rectifier's certificate after another method: the rows it found left out of the
    # design decide as the design without those rows
    df = panel(seed, 300, effects, planted)
    y, X, ids = _arrays(df, effects)
    left_out = separated_by_programme(y, X, ids) & (np.random.default_rng(seed).uniform(size=len(y)) < 0.5)
    left_out |= (y == 0) & (np.random.default_rng(seed + 1).uniform(size=len(y)) < 0.05)
    kept = ~left_out
    assert separation.nothing_separable(y, X, ids, **_options(), left_out=left_out) == separation.nothing_separable(
        y[kept], X[kept], np.asfortranarray(ids[kept]), **_options()
    )


@pytest.mark.parametrize(("seed", "effects", "planted"), CASES, ids=[f"{p}-{k}fe-{s}" for s, k, p in CASES])
def test_rank_on_a_subset_decides_as_on_every_row(monkeypatch, seed, effects, planted):
    # on large samples the regressors' rank is tried on the rows of a few levels first; a
    # subset so small here that the test runs it
    df = panel(seed, 600, effects, planted)
    y, X, ids = _arrays(df, effects)
    everywhere = separation.nothing_separable(y, X, ids, **_options())
    monkeypatch.setattr(separation, "_RANK_SUBSET", 40)
    assert separation.nothing_separable(y, X, ids, **_options()) == everywhere
    if everywhere:
        assert not separated_by_programme(y, X, ids).any()
