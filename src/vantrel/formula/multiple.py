"""Multiple estimation: one formula that stands for several models, in fixest's syntax.

``"y1 + y2 ~ x1 + csw(x2, x3) | sw0(f1, f2)"`` is twelve models: two outcomes, two
right-hand sides and three sets of fixed effects. The stepwise operators are

- ``sw(a, b)``: a, then b; ``sw0(a, b)``: nothing, then a, then b;
- ``csw(a, b)``: a, then a + b; ``csw0(a, b)``: nothing, then a, then a + b.

Each is a whole term of the right-hand side or of the fixed-effect part (several of them
multiply: the first written varies slowest, as in pyfixest). The models come in the order
fixest and pyfixest print them: by fixed effects, then outcome, then right-hand side; a
split of the sample (`vantrel.models.multi`) is the outermost level. Each expanded model is
an ordinary formula that `vantrel.formula.parse.parse_formula` reads.
"""

from __future__ import annotations

import itertools
import re
from dataclasses import dataclass

from vantrel.formula.parse import SUPPORTED_SYNTAX, FormulaError

STEPWISE = ("sw", "csw", "sw0", "csw0")

_OPERATOR = re.compile(r"\b(csw0|sw0|csw|sw)\s*\(")

MULTIPLE_SYNTAX = (
    "multiple estimation: 'y1 + y2 ~ x1 + csw(x2, x3) | sw0(f1, f2)' (several outcomes joined by '+'; "
    "sw(), csw(), sw0(), csw0() each a whole term after '~' or after '|', with at least two arguments, "
    "sw0() and csw0() at least one)"
)


@dataclass(frozen=True)
class ModelFormula:
    """One model of a multiple estimation: its formula and the parts that name it."""

    fml: str
    lhs: str
    rhs: str
    fixef: str  # "" without fixed effects


def _split_top(text: str, separator: str) -> list[str]:
    """`text` split at `separator` where it is outside every parenthesis or bracket."""
    parts, depth, start = [], 0, 0
    for i, char in enumerate(text):
        if char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
        elif char == separator and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return [part.strip() for part in parts]


def _closing(text: str, start: int) -> int:
    """The position of the parenthesis that closes the one at `start` (-1: none)."""
    depth = 0
    for i in range(start, len(text)):
        depth += {"(": 1, ")": -1}.get(text[i], 0)
        if depth == 0:
            return i
    return -1


def is_multiple(fml: str) -> bool:
    """Whether `fml` stands for more than one model: a stepwise operator anywhere, or
    several outcomes joined by '+' before '~'."""
    if not isinstance(fml, str):
        return False
    if _OPERATOR.search(fml):
        return True
    main = fml.split("|")[0]
    if main.count("~") != 1:
        return False
    return len(_split_top(main.split("~")[0], "+")) > 1


def _alternatives(term: str, fml: str) -> list[list[str]] | None:
    """The choices a stepwise term stands for (lists of terms), None for a plain term."""
    match = _OPERATOR.match(term)
    if match is None:
        if _OPERATOR.search(term):
            raise FormulaError(
                f"fml = {fml!r}: the stepwise operator in {term!r} must be a whole term (joined to the "
                "others by '+'), not part of one; " + MULTIPLE_SYNTAX
            )
        return None
    name = match.group(1)
    if _closing(term, match.end() - 1) != len(term) - 1:
        raise FormulaError(f"fml = {fml!r}: {term!r} is not a complete {name}(...) term; " + MULTIPLE_SYNTAX)
    inner = term[match.end() : -1]
    args = _split_top(inner, ",")
    # sw0(a) and csw0(a) are two models (without a, with it), as in fixest; sw(a) is one, a slip
    least = 1 if name.endswith("0") else 2
    if len(args) < least or not all(args):
        raise FormulaError(
            f"fml = {fml!r}: {name}() takes at least {('one', 'two')[least - 1]} non-empty argument(s) "
            f"separated by ',', got {term!r}; " + MULTIPLE_SYNTAX
        )
    if any(_OPERATOR.search(arg) for arg in args):
        raise FormulaError(f"fml = {fml!r}: stepwise operators cannot be nested, got {term!r}; " + MULTIPLE_SYNTAX)
    if name.startswith("csw"):
        choices = [args[: i + 1] for i in range(len(args))]
    else:
        choices = [[arg] for arg in args]
    return ([[]] if name.endswith("0") else []) + choices


def _expand_terms(text: str, fml: str) -> list[list[str]]:
    """Each term list `text` (terms joined by '+') stands for, in order."""
    terms = _split_top(text, "+")
    options = []
    for term in terms:
        choices = _alternatives(term, fml)
        options.append([[term]] if choices is None else choices)
    return [[t for part in combination for t in part] for combination in itertools.product(*options)]


def expand_formula(fml: str) -> list[ModelFormula]:
    """The models `fml` stands for, by fixed effects, then outcome, then right-hand side."""
    parts = fml.split("|")
    # the instrumental-variable part (the last, with '~') is the same in every model
    iv_part = parts.pop() if len(parts) > 1 and "~" in parts[-1] else None
    if iv_part is not None and _OPERATOR.search(iv_part):
        raise FormulaError(
            f"fml = {fml!r}: stepwise operators are not accepted in the instrumental-variable part "
            f"{iv_part.strip()!r}; " + MULTIPLE_SYNTAX
        )
    if len(parts) > 2 or parts[0].count("~") != 1 or any("~" in part for part in parts[1:]):
        # the single-model reader says what is wrong with the shape
        from vantrel.formula.parse import parse_formula

        parse_formula(fml)
    lhs, rhs = (side.strip() for side in parts[0].split("~"))
    if _OPERATOR.search(lhs):
        raise FormulaError(
            f"fml = {fml!r}: several outcomes are joined by '+' ('y1 + y2 ~ x'), not written with "
            "sw()/csw() before '~'; " + MULTIPLE_SYNTAX
        )
    outcomes = _split_top(lhs, "+")
    if not all(outcomes) or not rhs:
        raise FormulaError(f"fml = {fml!r} has an empty outcome or right-hand side; " + SUPPORTED_SYNTAX)
    if len(set(outcomes)) < len(outcomes):
        raise FormulaError(f"fml = {fml!r} repeats an outcome among {outcomes}; " + MULTIPLE_SYNTAX)
    right_sides = [" + ".join(terms) if terms else "1" for terms in _expand_terms(rhs, fml)]
    if len(parts) == 2 and parts[1].strip():
        effect_sets = [" + ".join(terms) for terms in _expand_terms(parts[1].strip(), fml)]
    else:
        effect_sets = [parts[1]] if len(parts) == 2 else [""]  # an empty '|' is the reader's error
    models = []
    for effects in effect_sets:
        for outcome in outcomes:
            for right in right_sides:
                text = f"{outcome} ~ {right}" + (f" | {effects}" if effects.strip() else "")
                if len(parts) == 2 and not effects.strip() and len(effect_sets) == 1:
                    text += " |"  # keep the slip for the reader to name
                if iv_part is not None:
                    text += f" | {iv_part.strip()}"
                models.append(ModelFormula(text, outcome, right, effects.strip()))
    return models
