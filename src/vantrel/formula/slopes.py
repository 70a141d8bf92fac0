"""Varying slopes in the fixed-effect part of a formula, in fixest's syntax.

``fe[x]``: every level of ``fe`` has its intercept and a slope on ``x``; ``fe[[x]]``: the
slope alone; ``fe[x1, x2]`` (or ``fe[[x1, x2]]``): several slopes. ``fe`` may be an
interacted effect (``a^b[x]``). The slope coefficients are named as fixest names them,
``fe[[x]]``.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

_BRACKETS = re.compile(r"^(?P<effect>[^\[\]]+)\[(?P<inner>.*)\]$", re.DOTALL)

SLOPE_SYNTAX = (
    "varying slopes are written fe[x] (an intercept and a slope on x per level of fe), fe[[x]] (the "
    "slope alone) or fe[x1, x2] (several slopes), each variable a numeric column"
)


@dataclass(frozen=True)
class Slopes:
    """What an effect carries per level: its intercept (or not) and slopes on `variables`."""

    intercept: bool = True
    variables: tuple[str, ...] = ()


PLAIN = Slopes()


def split_slopes(term: str, fml: str, error: type[Exception]) -> tuple[str, Slopes]:
    """The effect part of a fixed-effect term and its slopes: ``"fe[x]"`` -> ``("fe",
    Slopes(True, ("x",)))``; a term without brackets comes back with `PLAIN`. `error`: the
    exception class to raise (with `fml` named) for brackets not written as supported."""
    if "[" not in term and "]" not in term:
        return term, PLAIN
    match = _BRACKETS.match(term.strip())
    if match is None:
        raise error(f"fml = {fml!r}: fixed effect {term.strip()!r} has misplaced brackets; " + SLOPE_SYNTAX)
    inner = match.group("inner").strip()
    intercept = True
    if inner.startswith("[") and inner.endswith("]"):
        intercept, inner = False, inner[1:-1].strip()
    names = [name.strip() for name in inner.split(",")]
    if not inner or not all(name.isidentifier() or _is_quoted(name) for name in names):
        raise error(
            f"fml = {fml!r}: fixed effect {term.strip()!r} has {inner!r} in brackets where column names "
            "belong; " + SLOPE_SYNTAX
        )
    names = list(dict.fromkeys(name.strip("`") for name in names))
    return match.group("effect").strip(), Slopes(intercept, tuple(names))


def _is_quoted(name: str) -> bool:
    return len(name) > 2 and name.startswith("`") and name.endswith("`")


def slope_label(effect_label: str, slopes: Slopes) -> str:
    """The effect as written back: ``fe``, ``fe[x]``, ``fe[[x1, x2]]``."""
    if not slopes.variables:
        return effect_label
    inner = ", ".join(slopes.variables)
    return f"{effect_label}[{inner}]" if slopes.intercept else f"{effect_label}[[{inner}]]"


def slope_names(effect_label: str, slopes: Slopes) -> list[str]:
    """fixest's names of an effect's per-level values: the effect's own for its intercept,
    ``fe[[x]]`` for the slope on x."""
    names = [effect_label] if slopes.intercept else []
    return names + [f"{effect_label}[[{variable}]]" for variable in slopes.variables]
