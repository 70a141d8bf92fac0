"""From the caller's table to the columns of the model.

Any table narwhals reads (pandas, polars, pyarrow, DuckDB relations and the rest) is
narrowed to the columns the model uses before anything is materialised; a lazy table
(DuckDB) is collected with only those columns. The result is a pandas frame of those
columns: for pandas input a selection that shares the caller's memory (copy-on-write
keeps it unchanged if the caller later edits their frame), for other input one
conversion of the used columns.
"""

from __future__ import annotations

from dataclasses import dataclass

import formulaic
import narwhals.stable.v2 as nw
import numpy as np
import pandas as pd

from vantrel.model.formula import ParsedFormula, check_columns, is_intercept, is_plain, term_columns


def table_columns(data: object) -> tuple[object, list[str]]:
    """The narwhals view of `data` and its column names; TypeError for anything else."""
    if isinstance(data, pd.DataFrame):
        return data, [str(name) for name in data.columns]
    try:
        frame = nw.from_native(data)
    except TypeError as error:
        raise TypeError(
            "data must be a pandas, polars or pyarrow table or a DuckDB relation (anything narwhals "
            f"reads), got {type(data).__name__}"
        ) from error
    if isinstance(frame, nw.LazyFrame):
        return frame, list(frame.collect_schema().names())
    return frame, list(frame.columns)


def used_columns(data: object, columns: list[str], argument_of: dict[str, str]) -> pd.DataFrame:
    """A pandas frame of `columns` only. `argument_of` names, for the error of a missing
    column, the argument that asked for it."""
    frame, names = table_columns(data)
    for name in columns:
        check_columns([name], names, argument_of.get(name, "fml"))
    if isinstance(frame, pd.DataFrame):
        if frame.columns.duplicated().any():
            repeated = [name for name in columns if (frame.columns == name).sum() > 1]
            if repeated:
                raise ValueError(f"data: column(s) {repeated} appear more than once")
        out = frame[columns]
        # a row-label level named like a used column would make that name ambiguous to pandas
        return out.set_axis(out.index.set_names([None] * out.index.nlevels), axis=0)
    selected = frame.select(columns)
    if isinstance(selected, nw.LazyFrame):
        selected = selected.collect()
    return selected.to_pandas()


def is_numeric(column: pd.Series) -> bool:
    """Numbers or booleans, which enter the model as they are (formulaic codes the rest)."""
    dtype = column.dtype
    return (
        (pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype))
        and not isinstance(dtype, pd.CategoricalDtype)
        and dtype.kind != "c"
    )


def float_values(column: pd.Series) -> np.ndarray:
    """The column as float64, missing values as NaN (nullable types included)."""
    if isinstance(column.dtype, np.dtype):
        return column.to_numpy(dtype=np.float64)
    return column.to_numpy(dtype=np.float64, na_value=np.nan)


@dataclass
class Design:
    """The right-hand side of a model over the rows of the caller's table.

    names: coefficient names in order; columns: for each name a float64 array over all
    rows (None for the intercept's ones); coding: formulaic's coding of the evaluated
    terms (to code new data the same way), or None; plain: the names read straight
    from columns.
    """

    names: list[str]
    columns: list[np.ndarray | None]
    coding: object | None
    plain: list[str]


def _formulaic_formula(terms, intercept: bool) -> str:
    return " + ".join(["1" if intercept else "0"] + [str(term) for term in terms])


_CONTEXT = {"np": np}


def build_design(frame: pd.DataFrame, formula: ParsedFormula, absorb_intercept: bool) -> Design:
    """The regressors of `formula` over the rows of `frame` (absorbing the intercept when
    there are fixed effects)."""
    plain = {str(term) for term in formula.terms if is_plain(term) and is_numeric(frame[term.factors[0].expr])}
    evaluated = [term for term in formula.terms if str(term) not in plain and not is_intercept(term)]
    shared = {name for term in evaluated for name in term_columns(term)}
    evaluated = [
        term for term in formula.terms if (term in evaluated) or (str(term) in plain and term.factors[0].expr in shared)
    ]
    matrix, coding = None, None
    if evaluated:
        try:
            matrix = formulaic.model_matrix(
                _formulaic_formula(evaluated, formula.intercept), frame, na_action="ignore", context=_CONTEXT
            )
        except Exception as error:
            raise ValueError(
                f"fml = {formula.text!r}: formulaic could not evaluate the terms "
                f"{[str(term) for term in evaluated]}: {error}"
            ) from error
        coding = matrix.model_spec
    names, columns, direct = [], [], []
    for term in formula.terms:
        if is_intercept(term):
            if not absorb_intercept:
                names.append("Intercept")
                columns.append(None)
        elif term in evaluated:
            block = matrix.iloc[:, coding.term_slices[term]]
            for name in block.columns:
                names.append(str(name))
                columns.append(float_values(block[name]))
        else:
            name = term.factors[0].expr
            names.append(name)
            columns.append(float_values(frame[name]))
            direct.append(name)
    return Design(names, columns, coding, direct)


def dependent_values(frame: pd.DataFrame, formula: ParsedFormula) -> np.ndarray:
    """The dependent variable over all rows, as float64."""
    if formula.depvar_is_column:
        column = frame[formula.depvar]
        if not is_numeric(column):
            raise TypeError(f"fml: the dependent variable {formula.depvar!r} must be numeric, got {column.dtype}")
        return float_values(column)
    try:
        matrix = formulaic.model_matrix("0 + " + formula.depvar, frame, na_action="ignore", context=_CONTEXT)
    except Exception as error:
        raise ValueError(
            f"fml = {formula.text!r}: the dependent variable {formula.depvar!r} could not be evaluated: {error}"
        ) from error
    if matrix.shape[1] != 1:
        raise ValueError(
            f"fml = {formula.text!r}: the dependent variable {formula.depvar!r} must be one numeric "
            f"column, it makes {matrix.shape[1]}"
        )
    return float_values(matrix.iloc[:, 0])
