"""Model formulas: ``"y ~ x1 + C(g) + x1:x2 | f1 + f2^f3"``.

The part before ``|`` is a Wilkinson formula that formulaic parses (and, for terms that
need it, evaluates); the part after it lists the fixed effects, each a column or columns
joined by ``^`` (or ``#``, the driver's own spelling) for an interacted effect.

Terms are split in two kinds. A *plain* term is one column looked up by name: it is read
straight into the matrix the absorption works on, with no intermediate frame (at ten
million rows formulaic's own model matrix costs several times the copy the estimation
needs). Every other term (categoricals, interactions, transforms) is evaluated by formulaic,
together with the plain terms whose columns it shares, so that formulaic's choice of
reduced-rank codings (which depends on the lower-order terms present) is the same as for
the whole formula.
"""

from __future__ import annotations

import difflib
import re
from dataclasses import dataclass

import formulaic
from formulaic.parser.types import Term
from formulaic.utils.variables import get_expression_variables

SUPPORTED_SYNTAX = (
    "supported: 'y ~ x1 + x2 + C(g) + x1:x2 + np.log(z) | f1 + f2^f3' (one dependent variable; "
    "regressors as formulaic terms; after '|' fixed effects joined by '+', interacted with '^' or '#'; "
    "'- 1' or '0 +' to leave the intercept out)"
)

# Names the python terms may use besides the columns: formulaic's transforms (C, center,
# scale, poly, bs, lag, ...) and NumPy as np.
_BUILTIN_NAMES = {"np", "numpy"}


class FormulaError(ValueError):
    """A formula this estimator cannot read; the message says what is supported."""


# formulaic marks the offending token of a parse error in bold red for a terminal; in an
# exception's text (logs, notebooks, files) the escape codes are noise
_TERMINAL_CODES = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


def formulaic_message(error: Exception) -> str:
    """The text of an error of formulaic, without its terminal colour codes."""
    return _TERMINAL_CODES.sub("", str(error))


@dataclass
class ParsedFormula:
    """The pieces of a formula.

    depvar: the left-hand side text (a column, or an expression formulaic evaluates);
    terms: the right-hand side terms in formulaic's order, intercept included when present;
    intercept: whether the formula keeps the intercept (it is absorbed when there are fixed
    effects); fixed_effects: one list of column names per effect; fe_labels: each effect as
    written with "^" (the names results are labelled with).
    """

    text: str
    depvar: str
    depvar_is_column: bool
    terms: list[Term]
    intercept: bool
    fixed_effects: list[list[str]]
    fe_labels: list[str]

    @property
    def columns(self) -> list[str]:
        """Every column the formula reads, in first-use order."""
        names = [self.depvar] if self.depvar_is_column else _expression_columns(self.depvar)
        for term in self.terms:
            names += term_columns(term)
        for effect in self.fixed_effects:
            names += effect
        return list(dict.fromkeys(names))


def _expression_columns(expr: str) -> list[str]:
    # value-role variables are the names the expression reads; callables (np.log, C) and
    # dotted names (contr.treatment) are functions, not columns
    found = []
    for variable in get_expression_variables(expr, {}):
        if "value" in {role.value for role in variable.roles} and "." not in str(variable):
            if str(variable) not in _BUILTIN_NAMES:
                found.append(str(variable))
    return sorted(found)


def term_columns(term: Term) -> list[str]:
    """Columns a term reads."""
    names = []
    for factor in term.factors:
        method = factor.eval_method.value
        if method == "lookup":
            names.append(factor.expr)
        elif method == "python":
            names += _expression_columns(factor.expr)
    return names


def is_plain(term: Term) -> bool:
    """A term that is one column looked up by name."""
    return len(term.factors) == 1 and term.factors[0].eval_method.value == "lookup"


def is_intercept(term: Term) -> bool:
    return len(term.factors) == 1 and term.factors[0].eval_method.value == "literal" and term.factors[0].expr == "1"


def parse_formula(fml: str) -> ParsedFormula:
    """Split and parse `fml`; FormulaError for what is not supported."""
    if not isinstance(fml, str):
        raise TypeError("fml must be a formula string such as 'y ~ x1 + x2 | f1', got " + type(fml).__name__)
    parts = fml.split("|")
    if len(parts) > 2:
        raise FormulaError(
            f"fml = {fml!r} has {len(parts) - 1} '|'; instrumental variables and further parts "
            "are not supported; " + SUPPORTED_SYNTAX
        )
    main = parts[0]
    if main.count("~") != 1:
        raise FormulaError(
            f"fml = {fml!r} needs exactly one '~' between the dependent variable and the "
            "regressors; " + SUPPORTED_SYNTAX
        )
    lhs, rhs = (side.strip() for side in main.split("~"))
    if not lhs:
        raise FormulaError(f"fml = {fml!r} has no dependent variable; " + SUPPORTED_SYNTAX)
    # an empty side is a slip (a term left out, a "|" left over), not a request for the
    # intercept alone or for no fixed effects: both are written out when meant
    if not rhs:
        raise FormulaError(
            f"fml = {fml!r} has nothing after '~'; write the regressors there ('y ~ 1' for the "
            "intercept alone); " + SUPPORTED_SYNTAX
        )
    if len(parts) == 2 and not parts[1].strip():
        raise FormulaError(
            f"fml = {fml!r} has nothing after '|'; list the fixed effects there, or leave the '|' "
            "out for a model without fixed effects; " + SUPPORTED_SYNTAX
        )
    try:
        parsed = formulaic.Formula(lhs + " ~ " + rhs)
    except Exception as error:  # formulaic's parser errors have several types
        raise FormulaError(
            f"fml = {fml!r} could not be parsed ({formulaic_message(error)}); " + SUPPORTED_SYNTAX
        ) from error
    lhs_terms = list(parsed.lhs)
    if len(lhs_terms) != 1 or len(lhs_terms[0].factors) != 1:
        raise FormulaError(
            f"fml = {fml!r}: the left-hand side {lhs!r} must be one dependent variable; " + SUPPORTED_SYNTAX
        )
    depvar_factor = lhs_terms[0].factors[0]
    terms = list(parsed.rhs)
    intercept = any(is_intercept(term) for term in terms)
    fixed_effects, fe_labels = _parse_fixed_effects(parts[1] if len(parts) == 2 else "", fml)
    return ParsedFormula(
        text=fml,
        depvar=depvar_factor.expr,
        depvar_is_column=depvar_factor.eval_method.value == "lookup",
        terms=terms,
        intercept=intercept,
        fixed_effects=fixed_effects,
        fe_labels=fe_labels,
    )


def _parse_fixed_effects(text: str, fml: str) -> tuple[list[list[str]], list[str]]:
    text = text.strip()
    if not text:
        return [], []
    effects, labels = [], []
    for raw in text.split("+"):
        term = raw.strip()
        names = [name.strip() for name in term.replace("#", "^").split("^")]
        if not term or not all(name.isidentifier() or _is_quoted(name) for name in names):
            raise FormulaError(
                f"fml = {fml!r}: fixed effect {term!r} is not a column name or columns joined by "
                "'^'; " + SUPPORTED_SYNTAX
            )
        names = [name.strip("`") for name in names]
        label = "^".join(names)
        if label in labels:
            continue  # a repeated effect adds nothing
        effects.append(names)
        labels.append(label)
    return effects, labels


def _is_quoted(name: str) -> bool:
    return len(name) > 2 and name.startswith("`") and name.endswith("`")


# How alike a missing name and a column must be for the column to be suggested, as
# difflib's ratio (twice the matched characters over both lengths, case ignored): 0.5 keeps
# one slip in a two-character name ('x3' for 'x1') and transposed letters ('frim' for
# 'firm'), and leaves names with nothing in common ('zzzz', 'year') without a suggestion.
_SIMILAR_NAMES = 0.5


def check_columns(names: list[str], available: list[str], argument: str) -> None:
    """ValueError naming the first of `names` that is not among `available`, with the
    closest existing name when one is close. `argument`: the argument that asked for the
    column ("newdata" names the table it should be in too)."""
    present = set(available)
    table = "newdata" if argument == "newdata" else "data"
    for name in names:
        if name not in present:
            by_folded = {str(column).lower(): str(column) for column in reversed(available)}
            close = difflib.get_close_matches(str(name).lower(), list(by_folded), n=1, cutoff=_SIMILAR_NAMES)
            hint = f"; the closest column is {by_folded[close[0]]!r}" if close else ""
            raise ValueError(f"{argument}: column {name!r} is not in {table}{hint}")
