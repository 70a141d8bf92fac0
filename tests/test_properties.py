"""Property tests: small random frames of every column type the estimation accepts.

Each example of the driver `tolvane` draws the column types of the regressors, of the fixed-effect and cluster
ids, where values are missing, the fixed-effect terms, the standard-error type and the
absorption solver. Every
typed column is an encoding of plain numbers the test keeps aside (ids 0 .. G-1, float
values, a missing mask), so the oracle is the same model on the plain numbers: the
dummy-variable least squares of conftest for the coefficients and, for the standard
errors, the estimate on the frame holding float64 values and integer codes. The caller's
frame must come back unchanged.

The `feols` examples draw categorical, text and boolean columns with gaps in every dtype
(pandas object, "str", nullable "string", "boolean" and "Int64", Arrow-backed, categorical,
polars and pyarrow tables) and formulas of C() terms, text terms and products: the sample
must be the rows with every column the formula reads present, and the coefficients the
least squares on the dummy and product columns formed from the plain codes.
"""

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from conftest import drop_singletons_reference, dummy_ols
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vantrel
from vantrel.tolvane._tolvane import tolvane

# The examples run the kernel on one thread (nt=1: a few hundred tiny demeanings would
# mostly wait at thread barriers); nt persists process-wide, so the count is put back.
pytestmark = [pytest.mark.filterwarnings("ignore::RuntimeWarning"), pytest.mark.usefixtures("restore_thread_count")]


REGRESSOR_TYPES = [
    "float64",
    "float32",
    "int64",
    "int8",
    "uint16",
    "bool",
    "Int64",
    "Float64",
    "float64_inf",
    "offset",
    "small_unit",
]
ID_TYPES = [
    "int64",
    "int8",
    "uint64",
    "beyond_2_53",
    "negative",
    "float",
    "str",
    "categorical",
    "arrow_dictionary",
    "arrow_string",
    "Int64",
]
NUMERIC_IDS = {"int64", "int8", "uint64", "beyond_2_53", "negative", "float", "Int64"}
# id types that can hold a missing value
ID_TYPES_WITH_NA = {"float", "str", "categorical", "arrow_dictionary", "arrow_string", "Int64"}


def _regressor(kind, rng, n, missing):
    """(typed column, its values as float64 with NaN where missing or dropped)."""
    if kind in ("int64", "int8", "uint16", "Int64"):
        values = rng.integers(0 if kind == "uint16" else -40, 40, n).astype(float)
    elif kind == "bool":
        values = (rng.random(n) < 0.5).astype(float)
    else:
        values = rng.normal(size=n) * {"small_unit": 1e-7}.get(kind, 1.0) + {"offset": 1e7}.get(kind, 0.0)
        if kind == "float32":
            values = values.astype(np.float32).astype(float)
    if kind == "bool":
        typed = pd.Series(values.astype(bool))
    elif kind in ("int64", "int8", "uint16", "float32", "float64", "offset", "small_unit"):
        typed = pd.Series(values.astype(kind if kind in ("int64", "int8", "uint16", "float32") else float))
    elif kind in ("Int64", "Float64"):
        typed = pd.Series(pd.array(np.where(missing, None, values).tolist(), dtype=kind))
        values = np.where(missing, np.nan, values)
    else:  # float64 with NaN and infinities: both drop the row
        values = np.where(missing, np.where(np.arange(n) % 2 == 0, np.nan, np.inf), values)
        typed = pd.Series(values)
    return typed, values


def _ids(kind, codes, missing):
    """Typed column encoding the ids `codes` one to one (None where `missing`)."""
    labels = ["g" + str(c).zfill(2) for c in codes]  # sorted like the codes
    if kind == "int64":
        return pd.Series(codes.astype(np.int64))
    if kind == "int8":
        return pd.Series((codes * 3 - 100).astype(np.int8))
    if kind == "uint64":
        return pd.Series(codes.astype(np.uint64) + np.uint64(2**63))
    if kind == "beyond_2_53":
        return pd.Series(2**53 + codes.astype(np.int64))
    if kind == "negative":
        return pd.Series(-7 * codes.astype(np.int64))
    if kind == "float":
        return pd.Series(np.where(missing, np.nan, codes + 0.5))
    texts = [None if m else t for t, m in zip(labels, missing, strict=True)]
    if kind == "str":
        return pd.Series(texts, dtype=object)
    if kind == "categorical":
        # categories in reverse order, one never used
        return pd.Series(pd.Categorical(texts, categories=sorted(set(labels) | {"a_unused"}, reverse=True)))
    if kind == "arrow_dictionary":
        # an entry without rows, first in sorted order
        encoded = pa.array(["a_unused"] + texts, pa.string()).dictionary_encode()[1:]
        return pd.Series(pd.arrays.ArrowExtensionArray(encoded))
    if kind == "arrow_string":
        return pd.Series(pd.array(texts, dtype="string[pyarrow]"))
    return pd.Series(pd.array(np.where(missing, None, codes).tolist(), dtype="Int64"))


@st.composite
def models(draw):
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    n = draw(st.integers(30, 70))
    x_kinds = draw(st.lists(st.sampled_from(REGRESSOR_TYPES), min_size=1, max_size=3))
    n_fe = draw(st.integers(0, 2))
    id_kinds = [draw(st.sampled_from(ID_TYPES)) for _ in range(n_fe + 1)]  # the last is the cluster
    groups = [draw(st.integers(2, 7)) for _ in range(n_fe + 1)]
    interact = n_fe == 2 and draw(st.booleans())
    setype = draw(st.sampled_from(["none", "iid", "HC1", "cluster"]))
    cluster_on_fe = n_fe > 0 and draw(st.booleans())
    missing_share = draw(st.sampled_from([0.0, 0.05]))
    solver = draw(st.sampled_from(["sweeps", "coefficients"]))

    typed, plain = {}, {}
    plain["y"] = rng.normal(size=n)
    if missing_share:
        plain["y"][rng.random(n) < missing_share] = np.nan
    typed["y"] = pd.Series(plain["y"])
    ids = {}
    for j, (kind, G) in enumerate(zip(id_kinds, groups, strict=True)):
        name = "c" if j == n_fe else "f" + str(j)
        codes = rng.integers(0, G, n)
        missing = (rng.random(n) < missing_share) & (kind in ID_TYPES_WITH_NA)
        typed[name] = _ids(kind, codes, missing)
        plain[name] = np.where(missing, -1, codes)
        ids[name] = codes
    names = ["x" + str(j) for j in range(len(x_kinds))]
    for name, kind in zip(names, x_kinds, strict=True):
        typed[name], plain[name] = _regressor(kind, rng, n, rng.random(n) < missing_share)
        # the effects and the regressors all enter y
        finite = np.isfinite(plain[name])
        plain["y"] = plain["y"] + 0.7 * np.where(finite, plain[name] - plain[name][finite].mean(), 0.0)
    if draw(st.booleans()):  # the same regressor under a second name
        typed["x_copy"], plain["x_copy"] = typed["x0"].copy(), plain["x0"].copy()
        names.append("x_copy")
    if n_fe and id_kinds[0] in NUMERIC_IDS and draw(st.booleans()):
        # a numeric fixed-effect variable that is a regressor too (the effect absorbs it)
        names.append("f0")
    for name in ids:
        plain["y"] = plain["y"] + rng.normal(size=groups[0] + 8)[ids[name]]
    typed["y"] = pd.Series(plain["y"])
    fes = [] if n_fe == 0 else (["f0#f1"] if interact else ["f" + str(j) for j in range(n_fe)])
    clustvars = ["f0" if cluster_on_fe else "c"] if setype == "cluster" else None
    frame = pd.DataFrame(typed)
    # labels that are not positions, under a name that may be a column's
    frame.index = pd.Index(rng.permutation(n) * 2 + 1, name=draw(st.sampled_from([None, "f0", "c", "x0"])))
    reference = pd.DataFrame(plain, index=frame.index.rename(None))
    return frame, reference, names, fes, setype, clustvars, solver


def _reference_sample(reference, names, fes, clustvars):
    """The plain rows the model uses: complete, finite, and without singletons."""
    used = reference[np.isfinite(reference[["y"] + names]).all(axis=1)]
    for name in {part for term in fes for part in term.split("#")} | set(clustvars or []):
        used = used[used[name] >= 0]
    return drop_singletons_reference(used, fes) if fes else used


@settings(
    max_examples=250,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(models())
def test_random_frames_against_the_dummy_regression(model):
    frame, reference, names, fes, setype, clustvars, solver = model
    before = frame.copy()
    used = _reference_sample(reference, names, fes, clustvars)
    kw = dict(
        fixedeffects=fes, setype=setype, clustvars=clustvars, nt=1, print_stata_style_summary=False, solver=solver
    )
    try:
        out = tolvane(["y"], names, data=frame, **kw)
    except Exception as error:
        text = str(error)
        if "No regressor left" in text:
            expected_error = np.linalg.matrix_rank(_within(used, names, fes), tol=1e-9) == 0
        elif "explained" in text or "No observations left" in text:
            expected_error = len(used) == 0
        elif "single category" in text:
            expected_error = used[clustvars[0]].nunique() == 1
        else:
            expected_error = isinstance(error, ZeroDivisionError) and f"{len(used)} observations" in text
        assert expected_error, f"unexpected {error!r}"
        return
    finally:
        pd.testing.assert_frame_equal(frame, before, check_exact=True)

    kept = out.model.exog_names
    assert out.nobs == len(used)
    # centred regressors, which the effects absorb the mean of, keep the dummy design
    # well conditioned when a regressor carries a large offset
    used = used.assign(**{name: used[name] - used[name].mean() for name in dict.fromkeys(names)})
    assert sorted(out.resid.index) == sorted(used.index)
    # dropped regressors are those the kept ones and the effects explain
    within = _within(used, names, fes)
    rank = np.linalg.matrix_rank(within, tol=1e-9)
    assert len(kept) == rank == np.linalg.matrix_rank(within[:, [names.index(k) for k in kept]], tol=1e-9)
    coef, _ = dummy_ols(used, "y", kept, fes, drop_singletons=False)
    np.testing.assert_allclose(np.ravel(out.params), coef, rtol=1e-6, atol=1e-9)
    if setype != "none":
        plain = tolvane(["y"], names, data=used, **kw)
        # The repair of a cluster matrix that is not positive semidefinite tests eigenvalues
        # against a fixed -1e-12: with fewer clusters than regressors the matrix is singular
        # and whether rounding crosses that line depends on the units.
        if not hasattr(out, "eigenvalue_fix") and not hasattr(plain, "eigenvalue_fix"):
            np.testing.assert_allclose(out.bse.to_numpy(), plain.bse.to_numpy(), rtol=1e-8)


def _within(used, names, fes):
    """The regressors with the effects (or the constant) partialled out by least squares,
    each measured in units of its own size (so a rank tolerance is relative to it)."""
    X = used[names].to_numpy(dtype=float)
    X = X / np.where(np.abs(X).max(axis=0) > 0, np.abs(X).max(axis=0), 1.0)
    dummies = [np.ones((len(used), 1))] + [
        np.eye(codes.max() + 1)[codes] for codes in (used.groupby(term.split("#")).ngroup().to_numpy() for term in fes)
    ]
    D = np.column_stack(dummies)
    return X - D @ np.linalg.lstsq(D, X, rcond=None)[0]


# -- feols: categorical, text and boolean terms with missing values, every dtype -------

TEXT_KINDS = ["object", "str", "string", "string[pyarrow]", "arrow_string", "arrow_dictionary", "categorical"]
BOOLEAN_KINDS = ["boolean", "bool[pyarrow]"]
INTEGER_KINDS = ["Int64", "float", "int64[pyarrow]", "object"]
OPTIONAL_TERMS = ["C(g)", "g", "x:g", "b", "x:b", "C(k)"]


def _pandas_column(kind, values):
    """`values` (Python objects, None where missing) in a pandas dtype."""
    if kind == "object":
        return pd.Series(values, dtype=object)
    if kind == "categorical":
        return pd.Series(pd.Categorical(values))
    if kind == "arrow_dictionary":
        return pd.Series(pd.arrays.ArrowExtensionArray(pa.array(values).dictionary_encode()))
    if kind == "float":
        return pd.Series([np.nan if v is None else float(v) for v in values])
    dtype = {"arrow_string": pd.ArrowDtype(pa.large_string())}.get(kind, kind)
    return pd.Series(pd.array(values, dtype=dtype))


@st.composite
def feols_models(draw):
    """(table, plain codes, formula, effect) with gaps in every column."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = draw(st.integers(40, 80))
    share = draw(st.sampled_from([0.0, 0.05, 0.15]))
    library = draw(st.sampled_from(["pandas", "polars", "pyarrow"]))
    terms = ["x"] + draw(st.lists(st.sampled_from(OPTIONAL_TERMS), min_size=1, max_size=3, unique=True))
    terms = [term for term in terms if not (term == "g" and "C(g)" in terms)]
    effect = draw(st.sampled_from([None, "f"] + ([] if {"C(g)", "g"} & set(terms) else ["f^g"])))
    codes = {"g": rng.integers(0, draw(st.integers(2, 4)), n), "b": rng.integers(0, 2, n)}
    codes |= {"k": rng.integers(0, 3, n), "f": rng.integers(0, draw(st.integers(2, 6)), n)}
    for name in codes:
        codes[name][rng.random(n) < share] = -1
    values = {
        "g": [None if c < 0 else "g" + str(c) for c in codes["g"]],
        "b": [None if c < 0 else bool(c) for c in codes["b"]],
        "k": [None if c < 0 else int(c) for c in codes["k"]],
        "f": [None if c < 0 else int(c) * 3 for c in codes["f"]],
    }
    plain = pd.DataFrame({"x": rng.normal(size=n), **codes})
    plain.loc[rng.random(n) < share, "x"] = np.nan
    y = 0.5 * plain["x"] + (plain["g"] == 1) - (plain["k"] == 2) + 0.3 * plain["b"] * plain["x"] + plain["f"] % 3
    plain["y"] = np.where(rng.random(n) < share, np.nan, y + rng.normal(size=n))
    if library == "pandas":
        # dtypes from the seed: evenly spread over a few dozen examples
        kinds = {"g": TEXT_KINDS, "b": BOOLEAN_KINDS, "k": INTEGER_KINDS, "f": INTEGER_KINDS}
        table = pd.DataFrame({"y": plain["y"], "x": plain["x"]})
        for name, kind in kinds.items():
            table[name] = _pandas_column(kind[rng.integers(len(kind))], values[name])
    else:
        g = pa.array(values["g"])
        columns = {"y": pa.array(plain["y"]), "x": pa.array(plain["x"]), "b": pa.array(values["b"], pa.bool_())}
        columns |= {"k": pa.array(values["k"], pa.int64()), "f": pa.array(values["f"], pa.int64())}
        table = pa.table(columns | {"g": g.dictionary_encode() if rng.random() < 0.5 else g})
        table = pl.from_arrow(table) if library == "polars" else table
    fml = "y ~ " + " + ".join(terms) + (f" | {effect}" if effect else "")
    return table, plain, fml, effect


def _oracle_column(name, used):
    """The regressor a coefficient name stands for, from the plain codes."""
    level = name.rsplit("[", 1)[-1].rstrip("]").removeprefix("T.")
    parts = {
        "Intercept": lambda: np.ones(len(used)),
        "x": lambda: used["x"],
        "b": lambda: used["b"],
        "x:b": lambda: used["x"] * used["b"],
    }
    if name in parts:
        return np.asarray(parts[name](), dtype=float)
    if name.startswith(("C(g)[", "g[", "x:g[")):
        dummy = (used["g"] == int(level.removeprefix("g"))).to_numpy(dtype=float)
        return dummy * used["x"].to_numpy() if name.startswith("x:") else dummy
    assert name.startswith("C(k)["), name
    return (used["k"] == int(float(level))).to_numpy(dtype=float)


@pytest.mark.filterwarnings("ignore:The variables .* are omitted due to collinearity")
@settings(
    max_examples=60,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(feols_models())
def test_feols_missing_categories_against_the_dummy_regression(model):
    """The sample is the rows with every column the formula reads present (and finite),
    less singletons; on it the coefficients, named as formulaic codes the terms, are the
    least squares of y on those dummy and product columns (and the effect's dummies)."""
    table, plain, fml, effect = model
    before = table.copy() if isinstance(table, pd.DataFrame) else None
    read = [name for name in ("x", "g", "b", "k", "f") if name in fml.replace("C(", "").replace("^", " ")]
    used = plain[plain["y"].notna() & plain["x"].notna() & (plain[[c for c in read if c != "x"]] >= 0).all(axis=1)]
    if effect:
        used = drop_singletons_reference(used, [effect.replace("^", "#")])
    try:
        fit = vantrel.feols(fml, table)
    except ValueError as error:
        assert len(used) == 0 and "No observations left" in str(error), error
        return
    except ZeroDivisionError as error:  # no residual degree of freedom
        assert "No residual degrees of freedom" in str(error)
        return
    assert fit.nobs == len(used)
    assert sorted(fit.resid().index) == sorted(used.index)
    design = np.column_stack([_oracle_column(name, used) for name in fit.coefnames])
    if effect:
        ids = used.groupby(effect.split("^")).ngroup().to_numpy()
        design = np.column_stack([design, np.eye(ids.max() + 1)[ids]])
    assert np.linalg.matrix_rank(design) == design.shape[1]  # the collinear columns went
    coef, *_ = np.linalg.lstsq(design, used["y"].to_numpy(), rcond=None)
    np.testing.assert_allclose(fit.coef().to_numpy(), coef[: len(fit.coefnames)], rtol=1e-6, atol=1e-8)
    resid = used["y"].to_numpy() - design @ coef
    np.testing.assert_allclose(fit.resid().sort_index().to_numpy(), resid, atol=1e-8)
    # a missing value in any column a term (or the effect) reads predicts NaN
    prediction = fit.predict(table)
    missing = plain["x"].isna() | (plain[[c for c in read if c != "x"]] < 0).any(axis=1)
    assert prediction[missing.to_numpy()].isna().all()
    np.testing.assert_allclose(prediction.to_numpy()[used.index], fit.fitted().sort_index(), atol=1e-8)
    if before is not None:
        pd.testing.assert_frame_equal(table, before)
