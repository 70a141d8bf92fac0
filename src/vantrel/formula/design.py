"""From the caller's table to the columns of the model.

Any table narwhals reads (pandas, polars, pyarrow, DuckDB relations and the rest) is
narrowed to the columns the model uses before anything is materialised; a lazy table
(DuckDB) is collected with only those columns. The result is a pandas frame of those
columns: for pandas input a selection that shares the caller's memory (copy-on-write
keeps it unchanged if the caller later edits their frame), for other input one
conversion of the used columns.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import formulaic
import narwhals.stable.v2 as nw
import numpy as np
import pandas as pd

from vantrel.core.sample import rows_with_values
from vantrel.formula.parse import (
    IndicatorCall,
    ParsedFormula,
    check_columns,
    is_intercept,
    is_plain,
    term_columns,
)
from vantrel.formula.sunab import SunabCall, SunabTerms, code_sunab


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
    """A pandas frame of `columns` only, labelled by those names. `argument_of` names, for
    the error of a missing column, the argument that asked for it."""
    frame, names = table_columns(data)
    for name in columns:
        check_columns([name], names, argument_of.get(name, "fml"))
    if isinstance(frame, pd.DataFrame):
        # a formula names a column by text: a label 7 is read as `7`, unless another label
        # reads the same
        read_as = pd.Index(names)
        if read_as.duplicated().any():
            repeated = [name for name in columns if (read_as == name).sum() > 1]
            if repeated:
                raise ValueError(f"data: column(s) {repeated} appear more than once (or as labels that read the same)")
        out = frame.iloc[:, [read_as.get_loc(name) for name in columns]]
        # a row-label level named like a used column would make that name ambiguous to pandas
        out = out.set_axis(columns, axis=1).set_axis(out.index.set_names([None] * out.index.nlevels), axis=0)
    else:
        selected = frame.select(columns)
        if isinstance(selected, nw.LazyFrame):
            selected = selected.collect()
        out = _from_arrow(selected.to_arrow())
    return _dictionaries_as_categoricals(out)


def _from_arrow(table) -> pd.DataFrame:
    """The columns of an Arrow table as pandas columns, one by one.

    Not `Table.to_pandas()`: a table made by `pa.Table.from_pandas` carries pandas' dtype
    names, which pandas cannot always read back (an Arrow dictionary column's, even one the
    model does not use), and would turn its index columns into the index. Integers and
    booleans with nulls become pandas' nullable types, not float64 (which would merge
    integer ids beyond 2**53) and objects (which formulaic reads as categories named
    ``b[T.True]``); decimals become float64, as numbers.
    """
    import pyarrow as pa

    out = {}
    for name, values in zip(table.column_names, table.columns, strict=True):
        kind = values.type
        if pa.types.is_decimal(kind):
            values = values.cast(pa.float64())
        if values.null_count and pa.types.is_boolean(kind):
            out[name] = pd.Series(pd.BooleanDtype().__from_arrow__(values), copy=False)
        elif values.null_count and pa.types.is_integer(kind):
            nullable = pd.api.types.pandas_dtype(
                ("UInt" if pa.types.is_unsigned_integer(kind) else "Int") + str(kind.bit_width)
            )
            out[name] = pd.Series(nullable.__from_arrow__(values), copy=False)
        else:
            out[name] = values.to_pandas()
    return pd.DataFrame(out, copy=False)


def _dictionaries_as_categoricals(frame: pd.DataFrame) -> pd.DataFrame:
    """Arrow dictionary columns as pandas categoricals (their categories the dictionary):
    pandas' own operations on an Arrow dictionary with nulls raise ArrowInvalid."""
    arrow = [name for name in frame.columns if _is_dictionary(frame[name].dtype)]
    if not arrow:
        return frame
    import pyarrow as pa

    return frame.assign(
        **{name: pd.Series(pa.array(frame[name].array).to_pandas().array, index=frame.index) for name in arrow}
    )


def _is_dictionary(dtype) -> bool:
    if not isinstance(dtype, pd.ArrowDtype):
        return False
    import pyarrow as pa

    return pa.types.is_dictionary(dtype.pyarrow_dtype)


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
    from columns; present: the rows where every column an evaluated term reads has a
    value (None: every row), the only rows formulaic evaluates (NaN in `columns` elsewhere);
    indicators: the event-study terms with the levels they were coded with.
    """

    names: list[str]
    columns: list[np.ndarray | None]
    coding: object | None
    plain: list[str]
    present: np.ndarray | None = None
    indicators: list[Indicators | SunabTerms] = field(default_factory=list)


def _level_name(level) -> str:
    """A level as fixest writes it in a coefficient name: a whole number without a decimal
    point (a year column that pandas holds as float64 because of a gap is still
    ``year::1980``), everything else as its text."""
    if isinstance(level, np.generic):
        level = level.item()
    if isinstance(level, float) and level.is_integer():
        return str(int(level))
    return str(level)


@dataclass(frozen=True)
class Indicators:
    """An event-study term ``i(var)`` or ``i(var, x)`` coded over a table: one column per
    level of `var` but the references, in the order of the levels (sorted values, or a
    categorical's order), the indicator of the level times `x` when there is one. Named
    as fixest names them, ``var::level`` and ``var::level:x``. A row missing `var` or `x`
    is NaN in every column (the sample drops it); `levels` (references included) are the
    values the fit saw, so that new data with another value predicts NaN."""

    call: IndicatorCall
    levels: tuple
    kept: tuple

    @property
    def names(self) -> list[str]:
        suffix = f":{self.call.interacted}" if self.call.interacted else ""
        return [f"{self.call.variable}::{_level_name(level)}{suffix}" for level in self.kept]

    @property
    def variables(self) -> list[str]:
        return [self.call.variable] + ([self.call.interacted] if self.call.interacted else [])

    def columns(self, frame: pd.DataFrame, argument: str = "fml") -> list[np.ndarray]:
        values = frame[self.call.variable]
        codes = _level_codes(values, self.levels)
        missing = values.isna().to_numpy()
        factor = np.where(missing, np.nan, 1.0)
        if self.call.interacted:
            x = frame[self.call.interacted]
            if not is_numeric(x):
                raise TypeError(
                    f"{argument}: column {self.call.interacted!r} that {self.call.text!r} interacts must be numeric "
                    f"or boolean, got {x.dtype}; for one coefficient per pair of levels write i() of a column "
                    "combining both"
                )
            factor = factor * float_values(x)
        out = []
        for level in self.kept:
            j = self.levels.index(level)
            # 0 * factor: the other rows are 0 where the term has its values, NaN where not
            out.append(np.where(codes == j, factor, 0.0 * factor))
        return out

    def unseen(self, frame: pd.DataFrame) -> np.ndarray:
        """Rows whose value of `var` is none of the levels of the fit."""
        values = frame[self.call.variable]
        return (_level_codes(values, self.levels) < 0) & values.notna().to_numpy()


def _level_codes(values: pd.Series, levels: tuple) -> np.ndarray:
    """The position of each value among `levels` (-1: not among them, or missing)."""
    # pandas matches by value across dtypes (1980 and 1980.0, a categorical's categories)
    # without turning a long column into Python objects
    return pd.Index(list(levels)).get_indexer(values)


def code_indicators(frame: pd.DataFrame, call: IndicatorCall, fml: str) -> Indicators:
    """The levels of an i() term in `frame` (over the rows with a value of every column it
    reads) and the ones it keeps; ValueError for a reference that is not a level."""
    values = frame[call.variable]
    present = values.notna()
    if call.interacted:
        present &= frame[call.interacted].notna()
    seen = values[present]
    if isinstance(values.dtype, pd.CategoricalDtype):
        observed = set(seen.unique())
        levels = tuple(level for level in values.dtype.categories if level in observed)
    else:
        try:
            levels = tuple(sorted(pd.unique(seen).tolist()))
        except TypeError as error:
            raise TypeError(
                f"fml: column {call.variable!r} of {call.text!r} mixes values that cannot be ordered ({error}); "
                "convert it to one type"
            ) from None
    levels = tuple(level.item() if isinstance(level, np.generic) else level for level in levels)
    missing = [ref for ref in call.references if not any(_same_level(ref, level) for level in levels)]
    if missing:
        shown = ", ".join(_level_name(level) for level in levels[:10]) + (", ..." if len(levels) > 10 else "")
        raise ValueError(
            f"fml = {fml!r}: ref={missing[0]!r} of {call.text!r} is not a value of column {call.variable!r} "
            f"(its values: {shown})"
        )
    kept = tuple(level for level in levels if not any(_same_level(ref, level) for ref in call.references))
    if not kept:
        raise ValueError(
            f"fml = {fml!r}: {call.text!r} leaves out every level of {call.variable!r}; nothing to estimate"
        )
    return Indicators(call, levels, kept)


def _same_level(ref, level) -> bool:
    # a number matches the same number of another type (1980 and 1980.0), never a text
    # (nor True the level 1)
    if isinstance(ref, bool) != isinstance(level, bool):
        return False
    return bool(ref == level)


def _code_event_term(frame: pd.DataFrame, call, fml: str) -> Indicators | SunabTerms:
    if isinstance(call, SunabCall):
        return code_sunab(frame, call, fml)
    return code_indicators(frame, call, fml)


def _formulaic_formula(terms, intercept: bool) -> str:
    return " + ".join(["1" if intercept else "0"] + [str(term) for term in terms])


_CONTEXT = {"np": np}


def build_design(frame: pd.DataFrame, formula: ParsedFormula, absorb_intercept: bool) -> Design:
    """The regressors of `formula` over the rows of `frame` (absorbing the intercept when
    there are fixed effects)."""
    plain = {str(term) for term in formula.terms if is_plain(term) and is_numeric(frame[term.factors[0].expr])}
    indicators = {
        str(term): _code_event_term(frame, formula.indicators[str(term)], formula.text)
        for term in formula.terms
        if str(term) in formula.indicators
    }
    evaluated = [
        term
        for term in formula.terms
        if str(term) not in plain and str(term) not in indicators and not is_intercept(term)
    ]
    shared = {name for term in evaluated for name in term_columns(term)}
    evaluated = [
        term for term in formula.terms if (term in evaluated) or (str(term) in plain and term.factors[0].expr in shared)
    ]
    matrix, coding, present = None, None, None
    if evaluated:
        read = list(dict.fromkeys(name for term in evaluated for name in term_columns(term)))
        _check_bare_columns(frame, evaluated)
        present = rows_with_values(frame, read)
        try:
            matrix = formulaic.model_matrix(
                _formulaic_formula(evaluated, formula.intercept),
                formulaic_frame(frame, read, present),
                na_action="ignore",
                context=_CONTEXT,
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
        elif str(term) in indicators:
            coded = indicators[str(term)]
            names += coded.names
            columns += coded.columns(frame)
        elif term in evaluated:
            block = matrix.iloc[:, coding.term_slices[term]]
            _check_real(block, f"fml: the regressor {str(term)!r}", term_columns(term))
            for name in block.columns:
                names.append(str(name))
                columns.append(over_rows(float_values(block[name]), present, len(frame)))
        else:
            name = term.factors[0].expr
            names.append(name)
            columns.append(float_values(frame[name]))
            direct.append(name)
    if indicators:
        # two i() terms of the same columns with other references make some of the same
        # indicators: one name would stand for two coefficients
        counts = pd.Series(names).value_counts()
        twice = [name for name in names if counts[name] > 1]
        if twice:
            raise ValueError(
                f"fml = {formula.text!r}: the column {twice[0]!r} is made by more than one term "
                f"({', '.join(repr(text) for text in indicators)}); write each i() of the same columns once"
            )
    return Design(names, columns, coding, direct, present, list(indicators.values()))


def formulaic_frame(frame: pd.DataFrame, names: list[str], rows: np.ndarray | None) -> pd.DataFrame:
    """The columns `names` over the rows `rows` (a mask; None: all) as formulaic is given
    them: text of pandas' and Arrow's string types as objects. formulaic reads only object,
    "str" and categorical columns as categories and would take the others for numbers
    ("could not convert string to float")."""
    view = frame[names] if rows is None else frame.loc[rows, names]
    text = [name for name in names if _is_text(view[name].dtype) and view[name].dtype != "str"]
    return view.assign(**{name: view[name].astype(object) for name in text}) if text else view


def over_rows(values: np.ndarray, rows: np.ndarray | None, n: int) -> np.ndarray:
    """`values`, computed over the rows of the mask `rows`, spread over all n rows (NaN on
    the others, which the sample drops)."""
    if rows is None:
        return values
    out = np.full(n, np.nan)
    out[rows] = values
    return out


def _is_text(dtype) -> bool:
    if isinstance(dtype, pd.StringDtype):
        return True
    if not isinstance(dtype, pd.ArrowDtype):
        return False
    import pyarrow as pa

    kind = dtype.pyarrow_dtype
    return pa.types.is_string(kind) or pa.types.is_large_string(kind) or str(kind) == "string_view"


# what formulaic reads from an object column as categories: text (or True/False, as
# pyfixest does); None for a column with no value at all, whose rows the sample drops
_OBJECT_CATEGORIES = {"string", "bytes", "boolean", "empty"}


def _check_bare_columns(frame: pd.DataFrame, terms) -> None:
    """TypeError for an object column of numbers (or of mixed values) that a term reads as
    it is: formulaic would make a category of every value, while the column looks like a
    number to whoever wrote the formula; inside C() categories are what was asked for."""
    seen = set()
    for term in terms:
        for factor in term.factors:
            name = factor.expr
            if factor.eval_method.value != "lookup" or name in seen or frame[name].dtype != object:
                continue
            seen.add(name)
            kind = pd.api.types.infer_dtype(frame[name], skipna=True)
            if kind not in _OBJECT_CATEGORIES:
                raise TypeError(
                    f"fml: column {name!r} has dtype object and holds {kind} values; an object column is read "
                    f"as categories only when it holds text or True/False: convert it (e.g. "
                    f"data[{name!r}].astype(float)) to use it as a number, or write C({name}) for one "
                    "coefficient per value"
                )


def _check_real(block: pd.DataFrame, what: str, read: list[str]) -> None:
    """TypeError for complex values, of which float64 would keep only the real part."""
    complex_ = [str(block[name].dtype) for name in block.columns if block[name].dtype.kind == "c"]
    if complex_:
        raise TypeError(f"{what} is complex (column(s) {read}: {complex_[0]}); only real-valued columns can be used")


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
    read = sorted(str(variable) for variable in matrix.model_spec.variables_by_source.get("data", set()))
    _check_real(matrix, f"fml: the dependent variable {formula.depvar!r}", read)
    return float_values(matrix.iloc[:, 0])
