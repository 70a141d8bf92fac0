"""Sun and Abraham's interaction-weighted event study: the term ``sunab(cohort, period)``.

The term makes one indicator per cell of a treated cohort and a relative period (the period
less the cohort, the period at which the unit is treated), in fixest's conventions:

- never treated: a cohort whose value is none of the values of `period` (10000, 0, inf, ...),
  or one observed only before its treatment (negative relative periods only); its rows are
  the controls, 0 in every indicator;
- always treated: a cohort observed only from its treatment on (no negative relative
  period); nothing identifies its effects against the controls, so its rows are left out
  (with a warning);
- the relative periods in `ref_p` (by default -1, the period before the treatment) and the
  cohorts in `ref_c` get no indicator, their rows stay in the sample;
- when `period` is already relative (numeric, holding 0, negative and positive values) it is
  taken as it is.

The cells are named ``period::rel:cohort::c`` (``year::-3:cohort::1985``), ordered by relative
period and then cohort; `vantrel.results.event_study` aggregates them by relative period
(``year::-3``, weights the cells' shares of the sample) and into the ATT.

This module reads the call (plain `ast`, no formula machinery) and codes the term over a
table; `vantrel.formula.parse` finds the term in a formula, `vantrel.formula.design` builds its
columns.
"""

from __future__ import annotations

import ast
import warnings
from dataclasses import dataclass

import numpy as np
import pandas as pd

SUNAB_SYNTAX = (
    "sunab() takes the cohort column (the period of treatment) and the period column, and optionally "
    "ref_p= a relative period or a list of them (default -1) and ref_c= cohorts without indicators: "
    "sunab(year_treated, year), sunab(year_treated, year, ref_p=[-1, -5])"
)

# fixest's options of sunab() that are not implemented: each is refused by name, not ignored
_LEFT_OUT = ("bin", "bin_rel", "bin_c", "bin_p", "att", "no_agg")


def calls_sunab(node: ast.AST) -> bool:
    """Whether `node` is a call of ``sunab``."""
    return isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "sunab"


@dataclass(frozen=True)
class SunabCall:
    """A ``sunab(cohort, period, ref_p=..., ref_c=...)`` term as written."""

    text: str
    cohort: str
    period: str
    ref_p: tuple = (-1,)
    ref_c: tuple = ()

    # the attribute names the event-study terms share (predictions and plots read them)
    @property
    def variable(self) -> str:
        return self.period

    @property
    def interacted(self) -> None:
        return None


def read_sunab(call: ast.Call, text: str) -> SunabCall:
    """The call's arguments; ValueError saying what is wrong (the parser adds the formula)."""

    def refuse(what: str):
        raise ValueError(f"the term {text!r} {what}; " + SUNAB_SYNTAX)

    if len(call.args) != 2:
        refuse(f"has {len(call.args)} positional argument(s), two columns (cohort, period) are needed")
    names = []
    for node in call.args:
        if not isinstance(node, ast.Name):
            refuse(f"has {ast.unparse(node)!r} where a column name belongs")
        names.append(node.id)
    options = {"ref_p": (-1,), "ref_c": ()}
    for keyword in call.keywords:
        if keyword.arg in _LEFT_OUT:
            refuse(f"uses {keyword.arg}=, which is not supported (group the periods or cohorts in data beforehand)")
        if keyword.arg not in options:
            refuse(f"has the argument {ast.unparse(keyword)!r}; ref_p= and ref_c= are the keywords accepted")
        try:
            value = ast.literal_eval(keyword.value)
        except ValueError:
            refuse(f"has {keyword.arg}={ast.unparse(keyword.value)}, which is not a literal number or list of numbers")
        values = tuple(value) if isinstance(value, list | tuple) else (value,)
        if not all(isinstance(v, int | float) and not isinstance(v, bool) for v in values):
            refuse(f"has {keyword.arg}={value!r}; it takes a number or a list of numbers")
        options[keyword.arg] = values
    return SunabCall(text, names[0], names[1], options["ref_p"], options["ref_c"])


def _numbers(frame: pd.DataFrame, name: str, call: SunabCall, argument: str) -> np.ndarray:
    column = frame[name]
    dtype = column.dtype
    if isinstance(dtype, pd.CategoricalDtype) or not (
        pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_bool_dtype(dtype)
    ):
        raise TypeError(
            f"{argument}: column {name!r} of {call.text!r} must hold numbers (periods), got {dtype}; "
            "convert it (e.g. to the year as an integer)"
        )
    return column.to_numpy(dtype=np.float64, na_value=np.nan)


def _number_name(value: float) -> str:
    # as fixest writes the levels of numbers: whole numbers without a decimal point
    return str(int(value)) if float(value).is_integer() else str(value)


@dataclass(frozen=True)
class SunabTerms:
    """A ``sunab()`` term coded over the estimation table: the cells (relative period,
    cohort) that get an indicator, and the cohorts that are controls and left out."""

    call: SunabCall
    relative: bool  # whether `period` is already the relative period
    cells: tuple  # ((rel, cohort), ...) in the order of the columns
    never: tuple  # cohorts used as controls
    always: tuple  # cohorts left out of the sample

    @property
    def names(self) -> list[str]:
        return [f"{self.call.period}::{_number_name(e)}:cohort::{_number_name(c)}" for e, c in self.cells]

    @property
    def variables(self) -> list[str]:
        return [self.call.cohort, self.call.period]

    # what predictions on new data compare a column's kind with: the periods are numbers
    @property
    def levels(self) -> tuple:
        return tuple(sorted({e for e, _ in self.cells}))

    @property
    def kept(self) -> tuple:
        return tuple(self.cells)

    def relative_periods(self, frame: pd.DataFrame, argument: str = "fml") -> tuple[np.ndarray, np.ndarray]:
        """The cohort and relative period of every row (NaN where either is missing)."""
        cohort = _numbers(frame, self.call.cohort, self.call, argument)
        period = _numbers(frame, self.call.period, self.call, argument)
        return cohort, period if self.relative else period - cohort

    def columns(self, frame: pd.DataFrame, argument: str = "fml") -> list[np.ndarray]:
        cohort, rel = self.relative_periods(frame, argument)
        # NaN on the rows the term cannot place (a missing value, an always-treated cohort):
        # the sample drops them; 0 elsewhere but in the row's own cell
        base = np.where(np.isnan(cohort) | np.isnan(rel) | np.isin(cohort, self.always), np.nan, 0.0)
        out = []
        for e, c in self.cells:
            out.append(np.where((cohort == c) & (rel == e), 1.0, base))
        return out

    def unseen(self, frame: pd.DataFrame) -> np.ndarray:
        """Rows of treated cohorts in a cell the estimation had no indicator for (a relative
        period or cohort it never saw), which it cannot predict."""
        cohort, rel = self.relative_periods(frame, "newdata")
        known = np.zeros(len(frame), dtype=bool)
        for e, c in self.cells:
            known |= (cohort == c) & (rel == e)
        controls = np.isin(cohort, self.never) | np.isin(cohort, self.call.ref_c) | np.isin(rel, self.call.ref_p)
        return ~known & ~controls & ~np.isnan(cohort) & ~np.isnan(rel)


def code_sunab(frame: pd.DataFrame, call: SunabCall, fml: str) -> SunabTerms:
    """The cells of a ``sunab()`` term over the rows of `frame` with both columns; the
    never- and always-treated cohorts are found as fixest finds them (module text). A
    warning names the always-treated cohorts whose rows are left out."""
    cohort = _numbers(frame, call.cohort, call, "fml")
    period = _numbers(frame, call.period, call, "fml")
    present = ~np.isnan(cohort) & ~np.isnan(period)
    cohort, period = cohort[present], period[present]
    if len(cohort) == 0:
        raise ValueError(f"fml = {fml!r}: {call.text!r} has no row with both {call.cohort!r} and {call.period!r}")
    periods = np.unique(period)
    relative = bool(0 in periods and periods.min() < 0 and periods.max() > 0)
    if relative:
        rel = period
        outside = np.zeros(len(cohort), dtype=bool)
    else:
        outside = ~np.isin(cohort, periods)
        if outside.all():
            raise ValueError(
                f"fml = {fml!r}: no value of the cohort column {call.cohort!r} of {call.text!r} is a value of "
                f"{call.period!r}; the cohort must be the period at which a unit is treated (and a value outside "
                "the periods, such as 10000, marks the never treated)"
            )
        # the never treated: rel -1 keeps them out of the always treated below
        rel = np.where(outside, -1.0, period - cohort)
    table = pd.DataFrame({"cohort": cohort, "rel": rel})
    spans = table.groupby("cohort")["rel"].agg(["min", "max"])
    never = tuple(spans.index[spans["max"] < 0].tolist())
    always = tuple(spans.index[spans["min"] >= 0].tolist())
    if always:
        rows = int(np.isin(cohort, always).sum())
        warnings.warn(
            f"sunab: cohort(s) {[_number_name(c) for c in always]} of {call.cohort!r} are treated in every period "
            f"they are observed (always treated): nothing compares them with the controls, so their {rows:,} "
            "row(s) are left out of the estimation",
            UserWarning,
            stacklevel=5,
        )
    treated = ~np.isin(cohort, never) & ~np.isin(cohort, always) & ~np.isin(cohort, call.ref_c)
    treated &= ~np.isin(rel, call.ref_p)
    cells = table[treated].drop_duplicates().sort_values(["rel", "cohort"])
    if cells.empty:
        raise ValueError(
            f"fml = {fml!r}: {call.text!r} leaves no cell of a treated cohort and a relative period to estimate "
            f"(never treated: {list(never)}, always treated: {list(always)}, ref_p={list(call.ref_p)})"
        )
    return SunabTerms(
        call, relative, tuple(zip(cells["rel"].tolist(), cells["cohort"].tolist(), strict=True)), never, always
    )
