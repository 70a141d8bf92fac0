"""The kernel's solver for fixed effects with varying slopes against dense least squares on
the explicit design (level dummies and dummies times the slope variables), weighted and
unweighted; and against the solver without slopes where both apply."""

import numpy as np
import pytest

from vantrel.backend.quarnet import COEF_PCG_demean, COEF_PCG_slopes

TOL = 1e-12


def _panel(seed, N=600, G=(25, 12)):
    rng = np.random.default_rng(seed)
    ids = np.column_stack([rng.integers(0, g, N) for g in G]).astype(np.int64)
    # every level present, so the ids are dense
    for f, g in enumerate(G):
        ids[:g, f] = np.arange(g)
    variables = rng.normal(size=(N, 3)) + 1.5
    x = np.column_stack([rng.normal(size=N) + 0.3 * variables[:, 0] * ids[:, 0], rng.normal(size=N)])
    w = rng.uniform(0.2, 3.0, N)
    return ids, variables, x, w


def _design(ids, variables, effects):
    """Dense design: per effect (column of ids, intercept, slope variables) the level
    dummies and the dummies times each slope variable."""
    blocks = []
    for f, intercept, slopes in effects:
        dummies = np.eye(ids[:, f].max() + 1)[ids[:, f]]
        if intercept:
            blocks.append(dummies)
        for s in slopes:
            blocks.append(dummies * variables[:, [s]])
    return np.hstack(blocks)


def _lstsq_residuals(D, x, w):
    root = np.ones(len(x)) if w is None else np.sqrt(w)
    beta = np.linalg.lstsq(D * root[:, None], x * root[:, None], rcond=None)[0]
    return x - D @ beta


def _solve(ids, variables, x, w, effects, tol=1e-14, maxiter=10_000):
    A = np.ascontiguousarray(ids[:, [f for f, _, _ in effects]])
    intercepts = [intercept for _, intercept, _ in effects]
    slopes = [np.ascontiguousarray(variables[:, list(s)]) if s else None for _, _, s in effects]
    out = np.ascontiguousarray(x.copy())
    alphas, report = COEF_PCG_slopes(out, w, A, intercepts, slopes, tol, 0, maxiter, 0, 1)
    return out, alphas, report


EFFECTS = {
    "intercept_and_slope": [(0, True, (0,))],
    "slope_only": [(0, False, (0,))],
    "two_slopes": [(0, True, (0, 1))],
    "two_slopes_no_intercept": [(0, False, (0, 1))],
    "plain_and_slope": [(1, True, ()), (0, True, (0,))],
    "slope_and_slope_only": [(0, True, (0,)), (1, False, (2,))],
    "two_effects_two_slopes": [(0, True, (0, 1)), (1, True, (2,))],
}


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("effects", list(EFFECTS.values()), ids=list(EFFECTS))
def test_residuals_equal_dense_least_squares(effects, weighted):
    ids, variables, x, w = _panel(3)
    w = w if weighted else None
    out, alphas, report = _solve(ids, variables, x, w, effects)
    expected = _lstsq_residuals(_design(ids, variables, effects), x, w)
    np.testing.assert_allclose(out, expected, atol=TOL * 100, rtol=0)
    # the coefficients returned reproduce the fitted part
    fitted = np.zeros_like(x)
    for (f, intercept, slopes), alpha in zip(effects, alphas, strict=True):
        columns = ([np.ones(len(x))] if intercept else []) + [variables[:, s] for s in slopes]
        for j, column in enumerate(columns):
            fitted += column[:, None] * alpha[ids[:, f], j, :]
    np.testing.assert_allclose(fitted, x - out, atol=1e-10, rtol=0)
    assert report["preconditioner"] == ("closed form" if len(effects) == 1 else "level blocks")


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("effects", [EFFECTS["two_slopes"], EFFECTS["slope_only"]], ids=["two_slopes", "slope_only"])
def test_one_effect_coefficients_equal_dense_least_squares(effects, weighted):
    """With one effect every level's intercept and slopes are identified: the returned
    coefficients are the dense regression's, level by level."""
    ids, variables, x, w = _panel(5)
    w = w if weighted else None
    _, alphas, _ = _solve(ids, variables, x, w, effects)
    D = _design(ids, variables, effects)
    root = np.ones(len(x)) if w is None else np.sqrt(w)
    beta = np.linalg.lstsq(D * root[:, None], x * root[:, None], rcond=None)[0]
    G = ids[:, 0].max() + 1
    p = alphas[0].shape[1]
    # the dense design is ordered by column kind, then level
    expected = beta.reshape(p, G, x.shape[1]).transpose(1, 0, 2)
    np.testing.assert_allclose(alphas[0], expected, rtol=1e-9, atol=1e-11)


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_intercepts_alone_equal_the_solver_without_slopes(weighted):
    ids, variables, x, w = _panel(7)
    w = w if weighted else None
    out, _, _ = _solve(ids, variables, x, w, [(0, True, ()), (1, True, ())])
    plain = np.ascontiguousarray(x.copy())
    COEF_PCG_demean(plain, w, np.ascontiguousarray(ids), 1e-14, 0, 10_000, 0, 1)
    np.testing.assert_allclose(out, plain, atol=1e-11, rtol=0)


@pytest.mark.parametrize("intercept", [True, False], ids=["with_intercept", "slope_only"])
def test_level_without_slope_variation_is_dropped_and_fit_unchanged(intercept):
    """A slope variable constant within a level (zero within it, for a slope alone) adds
    nothing the level's other columns do not span: its coefficient is left out, counted in
    `dropped`, and the residuals are still the dense regression's."""
    ids, variables, x, w = _panel(11)
    level = ids[:, 0] == 4
    variables[level, 0] = 2.5 if intercept else 0.0
    effects = [(0, intercept, (0,)), (1, True, ())]
    out, alphas, report = _solve(ids, variables, x, w, effects)
    expected = _lstsq_residuals(_design(ids, variables, effects), x, w)
    np.testing.assert_allclose(out, expected, atol=1e-10, rtol=0)
    assert report["dropped"] == [1, 0]
    assert np.all(alphas[0][4, -1, :] == 0.0)


def test_same_bits_for_one_and_two_threads():
    ids, variables, x, w = _panel(13, N=2000)
    effects = EFFECTS["two_effects_two_slopes"]
    A = np.ascontiguousarray(ids[:, [0, 1]])
    slopes = [np.ascontiguousarray(variables[:, [0, 1]]), np.ascontiguousarray(variables[:, [2]])]
    assert effects == [(0, True, (0, 1)), (1, True, (2,))]
    results = []
    for threads in (1, 2):
        out = np.ascontiguousarray(x.copy())
        COEF_PCG_slopes(out, w, A, [True, True], slopes, 1e-12, 0, 10_000, 0, threads)
        results.append(out)
    np.testing.assert_array_equal(results[0], results[1])


@pytest.mark.parametrize(
    ("change", "message"),
    [
        pytest.param({"intercepts": [True, True]}, "one entry per fixed effect", id="intercepts_length"),
        pytest.param({"slopes": [np.ones((3, 1))], "intercepts": [True]}, r"slopes\[0\] has 3 rows", id="slope_rows"),
        pytest.param({"intercepts": [False], "slopes": [None]}, "neither an intercept nor a slope", id="empty_effect"),
        pytest.param({"nan": True}, r"slopes\[0\] has the non-finite value", id="nan_slope"),
    ],
)
def test_arguments_are_checked_by_name(change, message):
    ids, variables, x, _ = _panel(17, N=50, G=(5,))
    slope = np.ascontiguousarray(variables[:, [0]])
    if change.get("nan"):
        slope[3, 0] = np.nan
    intercepts = change.get("intercepts", [True])
    slopes = change.get("slopes", [slope])
    with pytest.raises(ValueError, match=message):
        COEF_PCG_slopes(np.ascontiguousarray(x.copy()), None, ids, intercepts, slopes, 1e-10, 0, 100, 0, 1)


# effects over three id columns of 25, 12 and 7 levels: the rows are sorted by the effect
# with most levels whichever it is, and its level width (1, 2 or more unknowns) and the
# number of columns select different compiled passes
SORTED_CASES = {
    "slopes_on_the_smaller_effect": [(0, True, ()), (1, True, (0,))],
    "slope_alone_on_the_largest": [(1, True, ()), (0, False, (1,))],
    "largest_with_two_slopes": [(0, True, (0, 1)), (1, True, ())],
    "three_effects": [(2, True, (2,)), (0, True, (0,)), (1, False, (1,))],
}


@pytest.mark.parametrize("columns", [1, 3, 5], ids=["K1", "K3", "K5"])
@pytest.mark.parametrize("effects", list(SORTED_CASES.values()), ids=list(SORTED_CASES))
def test_residuals_equal_dense_least_squares_for_any_columns(effects, columns):
    ids, variables, x, w = _panel(17, N=900, G=(25, 12, 7))
    rng = np.random.default_rng(columns)
    x = np.column_stack([x, rng.normal(size=(len(x), 3)) * variables[:, [2]]])[:, :columns]
    out, _, _ = _solve(ids, variables, x, w, effects)
    expected = _lstsq_residuals(_design(ids, variables, effects), x, w)
    np.testing.assert_allclose(out, expected, atol=TOL * 100, rtol=0)
