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

import ast
import difflib
import re
from dataclasses import dataclass, field

import formulaic
from formulaic.parser.types import Term
from formulaic.utils.variables import get_expression_variables

from vantrel.formula.slopes import Slopes, slope_label, split_slopes
from vantrel.formula.sunab import SUNAB_SYNTAX, SunabCall, calls_sunab, read_sunab

SUPPORTED_SYNTAX = (
    "supported: 'y ~ x1 + x2 + C(g) + x1:x2 + np.log(z) + i(year, treat, ref=2000) | f1 + f2^f3' (one "
    "dependent variable; regressors as formulaic terms or event-study terms i(var), i(var, ref=r), "
    "i(var, x, ref=[r1, r2]), Sun and Abraham's sunab(cohort, period); after '|' fixed effects joined by "
    "'+', interacted with '^' or '#'; varying slopes fe[x], fe[[x]], fe[x1, x2]; '- 1' or '0 +' to leave "
    "the intercept out; instrumental variables as a last part '| endo1 + endo2 ~ z1 + z2 + z3')"
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
    written with "^" (the names results are labelled with); indicators: the event-study
    terms ``i(...)`` by their text; fe_slopes: per effect its intercept and varying slopes
    (``fe[x]``, ``fe[[x]]``; see `vantrel.formula.slopes`), empty when no effect has slopes.
    """

    text: str
    depvar: str
    depvar_is_column: bool
    terms: list[Term]
    intercept: bool
    fixed_effects: list[list[str]]
    fe_labels: list[str]
    indicators: dict[str, IndicatorCall | SunabCall] = field(default_factory=dict)
    fe_slopes: list[Slopes] = field(default_factory=list)
    # instrumental variables: the endogenous regressors and the excluded instruments (their
    # terms' names, which are also in `terms`, after the exogenous ones); empty for OLS
    endogenous: list[str] = field(default_factory=list)
    instruments: list[str] = field(default_factory=list)

    @property
    def columns(self) -> list[str]:
        """Every column the formula reads, in first-use order."""
        names = [self.depvar] if self.depvar_is_column else _expression_columns(self.depvar)
        for term in self.terms:
            names += term_columns(term)
        for effect in self.fixed_effects:
            names += effect
        for slopes in self.fe_slopes:
            names += slopes.variables
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
    # a part with '~' after the first '|' is the instrumental-variable part, and comes last
    iv_part = parts.pop() if len(parts) > 1 and "~" in parts[-1] else None
    if any("~" in part for part in parts[1:]):
        raise FormulaError(
            f"fml = {fml!r}: the instrumental-variable part ('endo ~ instruments') must be the last "
            "part, after the fixed effects; " + SUPPORTED_SYNTAX
        )
    if len(parts) > 2:
        raise FormulaError(
            f"fml = {fml!r} has {len(parts) - 1} '|' before the instruments; the parts are the "
            "model, the fixed effects and the instrumental variables; " + SUPPORTED_SYNTAX
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
    endogenous, instruments = _parse_instruments(iv_part, fml) if iv_part is not None else ([], [])
    full_rhs = " + ".join([rhs] + endogenous + instruments)
    try:
        parsed = formulaic.Formula(lhs + " ~ " + full_rhs)
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
    if endogenous:
        _check_excluded(lhs, rhs, endogenous + instruments, fml)
    intercept = any(is_intercept(term) for term in terms)
    indicators = _indicator_terms(terms, fml)
    fixed_effects, fe_labels, fe_slopes = _parse_fixed_effects(parts[1] if len(parts) == 2 else "", fml)
    return ParsedFormula(
        text=fml,
        depvar=depvar_factor.expr,
        depvar_is_column=depvar_factor.eval_method.value == "lookup",
        terms=terms,
        intercept=intercept,
        fixed_effects=fixed_effects,
        fe_labels=fe_labels,
        indicators=indicators,
        endogenous=endogenous,
        instruments=instruments,
        fe_slopes=fe_slopes if any(slopes.variables for slopes in fe_slopes) else [],
    )


def _check_excluded(lhs: str, rhs: str, names: list[str], fml: str) -> None:
    """An endogenous regressor or instrument that is also an exogenous regressor (or the
    dependent variable) would be read twice under one name."""
    exogenous = {str(term) for term in formulaic.Formula(lhs + " ~ " + rhs).rhs} | {lhs}
    for name in names:
        if name in exogenous:
            raise FormulaError(
                f"fml = {fml!r}: {name!r} is in the instrumental-variable part and also before the first "
                "'|' (or the dependent variable); list each variable once, endogenous regressors and "
                "excluded instruments only after '|'"
            )


def _parse_instruments(text: str, fml: str) -> tuple[list[str], list[str]]:
    """The endogenous regressors and the excluded instruments of the part
    ``endo1 + endo2 ~ z1 + z2``: each a term of its own that makes one column (a numeric
    column, or a transform such as ``np.log(z)``), by its name."""
    sides = text.split("~")
    if len(sides) != 2 or not sides[0].strip() or not sides[1].strip():
        raise FormulaError(
            f"fml = {fml!r}: the instrumental-variable part {text.strip()!r} must be "
            "'endogenous regressors ~ instruments', both sides non-empty; " + SUPPORTED_SYNTAX
        )
    found = []
    for side, role in zip(sides, ("endogenous regressors", "instruments"), strict=True):
        try:
            terms = list(formulaic.Formula("0 + " + side.strip()))
        except Exception as error:  # formulaic's parser errors have several types
            raise FormulaError(
                f"fml = {fml!r}: the {role} {side.strip()!r} could not be parsed "
                f"({formulaic_message(error)}); " + SUPPORTED_SYNTAX
            ) from error
        names = []
        for term in terms:
            if len(term.factors) != 1 or term.factors[0].eval_method.value == "literal":
                raise FormulaError(
                    f"fml = {fml!r}: {str(term)!r} among the {role} is not a column or a transform of "
                    "one; interactions, intercepts and constants are not accepted there; " + SUPPORTED_SYNTAX
                )
            if any(_calls_i(node) for node in ast.walk(ast.parse(term.factors[0].expr, mode="eval"))):
                raise FormulaError(f"fml = {fml!r}: i() terms are not accepted among the {role}; " + SUPPORTED_SYNTAX)
            names.append(str(term))
        if not names:
            raise FormulaError(f"fml = {fml!r}: no {role} in {text.strip()!r}; " + SUPPORTED_SYNTAX)
        found.append(names)
    endogenous, instruments = found
    both = [name for name in endogenous if name in instruments]
    if both:
        raise FormulaError(
            f"fml = {fml!r}: {both[0]!r} is both an endogenous regressor and an instrument; an "
            "exogenous regressor belongs before the first '|'"
        )
    return endogenous, instruments


@dataclass(frozen=True)
class IndicatorCall:
    """An event-study term as written: ``i(variable)``, ``i(variable, interacted)``, with
    ``ref=`` one level or a list of levels left out (a third positional argument, as
    fixest's ``i(var, x, ref)`` allows, is the same)."""

    text: str
    variable: str
    interacted: str | None
    references: tuple


# fixest's options of i() that are not implemented: each is refused by name rather than ignored
_INDICATOR_OPTIONS_LEFT_OUT = ("keep", "bin", "ref2", "keep2", "bin2")
_INDICATOR_SYNTAX = (
    "i() takes a column, optionally a numeric or boolean column to interact, and ref= a level or a "
    "list of levels: i(year), i(year, ref=1980), i(year, treat, ref=[1980, 1981])"
)


def _calls_i(node: ast.AST) -> bool:
    return isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "i"


def _indicator_terms(terms: list[Term], fml: str) -> dict[str, IndicatorCall | SunabCall]:
    """The i() and sunab() terms by their text; FormulaError for an i() that is not a term
    of its own (formulaic cannot evaluate it inside a product or a function) or not written
    as supported."""
    found = {}
    for term in terms:
        for factor in term.factors:
            if factor.eval_method.value != "python":
                continue
            try:
                tree = ast.parse(factor.expr, mode="eval").body
            except SyntaxError:
                continue  # formulaic reports it when it evaluates the term
            if _calls_i(tree) and len(term.factors) == 1:
                found[factor.expr] = _indicator_call(tree, factor.expr, fml)
            elif calls_sunab(tree) and len(term.factors) == 1:
                try:
                    found[factor.expr] = read_sunab(tree, factor.expr)
                except ValueError as error:
                    raise FormulaError(f"fml = {fml!r}: {error}") from None
            elif any(calls_sunab(node) for node in ast.walk(tree)):
                raise FormulaError(
                    f"fml = {fml!r}: {str(term)!r} uses sunab() inside another term; write sunab(...) as a term "
                    "of its own; " + SUNAB_SYNTAX
                )
            elif any(_calls_i(node) for node in ast.walk(tree)) or _calls_i(tree):
                raise FormulaError(
                    f"fml = {fml!r}: {str(term)!r} uses i() inside another term; write i(...) as a term of its "
                    "own (interact a variable as its second argument: i(year, treat)); " + _INDICATOR_SYNTAX
                )
    return found


def _indicator_call(call: ast.Call, text: str, fml: str) -> IndicatorCall:
    def refuse(what: str):
        raise FormulaError(f"fml = {fml!r}: the term {text!r} {what}; " + _INDICATOR_SYNTAX)

    positional = list(call.args)
    if not 1 <= len(positional) <= 3:
        refuse(f"has {len(positional)} positional argument(s)")
    names = []
    for node in positional[:2]:
        if not isinstance(node, ast.Name):
            refuse(f"has {ast.unparse(node)!r} where a column name belongs")
        names.append(node.id)
    reference = positional[2] if len(positional) == 3 else None
    for keyword in call.keywords:
        if keyword.arg in _INDICATOR_OPTIONS_LEFT_OUT:
            refuse(f"uses {keyword.arg}=, which is not supported (select or group the levels in data beforehand)")
        if keyword.arg != "ref":
            refuse(f"has the argument {ast.unparse(keyword)!r}; ref= is the only keyword accepted")
        if reference is not None:
            refuse("gives the reference levels twice (as its third argument and as ref=)")
        reference = keyword.value
    references: tuple = ()
    if reference is not None:
        try:
            value = ast.literal_eval(reference)
        except ValueError:
            refuse(f"has ref={ast.unparse(reference)}, which is not a literal level (a number, a text in quotes, ...)")
        references = tuple(value) if isinstance(value, list | tuple) else (value,)
    return IndicatorCall(text, names[0], names[1] if len(names) == 2 else None, references)


def _parse_fixed_effects(text: str, fml: str) -> tuple[list[list[str]], list[str], list[Slopes]]:
    text = text.strip()
    if not text:
        return [], [], []
    effects, labels, slopes = [], [], []
    for raw in text.split("+"):
        term, carried = split_slopes(raw.strip(), fml, FormulaError)
        names = [name.strip() for name in term.replace("#", "^").split("^")]
        if not term or not all(name.isidentifier() or _is_quoted(name) for name in names):
            raise FormulaError(
                f"fml = {fml!r}: fixed effect {term!r} is not a column name or columns joined by "
                "'^'; " + SUPPORTED_SYNTAX
            )
        names = [name.strip("`") for name in names]
        label = slope_label("^".join(names), carried)
        if label in labels:
            continue  # a repeated effect adds nothing
        effects.append(names)
        labels.append(label)
        slopes.append(carried)
    return effects, labels, slopes


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
