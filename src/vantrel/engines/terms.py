"""Model columns as expressions an engine evaluates next to the data.

Out of memory, a regressor has to be computed where the rows are: as SQL in DuckDB, or
by NumPy on each partition of a Dask DataFrame. Formula terms are therefore translated
into a small expression tree (columns, numbers, arithmetic, a few NumPy functions and
products for interactions) that both engines can evaluate. Terms that expand into several
columns (``C(g)``, splines, a text column) need the levels of the whole column before a
row can be coded; they are refused with a message saying what is supported.
"""

from __future__ import annotations

import ast
from dataclasses import dataclass

import numpy as np

SUPPORTED_TERMS = (
    "data out of memory (DuckDB, Parquet or CSV files, Dask) supports numeric or boolean columns, their "
    "products (x1:x2) and arithmetic (+ - * / **) and np.log, np.log2, np.log10, np.exp, np.sqrt, np.abs "
    "of them, also inside I(...); categorical terms such as C(g) or text columns need the data in memory"
)

# NumPy function -> (SQL function, NumPy function)
_FUNCTIONS = {
    "log": ("ln", np.log),
    "log2": ("log2", np.log2),
    "log10": ("log10", np.log10),
    "exp": ("exp", np.exp),
    "sqrt": ("sqrt", np.sqrt),
    "abs": ("abs", np.abs),
}
_OPERATORS = {ast.Add: "+", ast.Sub: "-", ast.Mult: "*", ast.Div: "/", ast.Pow: "**"}


class UnsupportedTerm(ValueError):
    """A term the engines cannot compute row by row."""


@dataclass(frozen=True)
class Column:
    name: str


@dataclass(frozen=True)
class Number:
    value: float


@dataclass(frozen=True)
class Apply:
    function: str  # a key of _FUNCTIONS
    argument: object


@dataclass(frozen=True)
class Binary:
    operator: str  # "+", "-", "*", "/", "**"
    left: object
    right: object


@dataclass(frozen=True)
class Negate:
    operand: object


def quote(name: str) -> str:
    """A SQL identifier for a column name (double quotes, doubled inside)."""
    return '"' + name.replace('"', '""') + '"'


def columns_of(node) -> list[str]:
    if isinstance(node, Column):
        return [node.name]
    if isinstance(node, Apply):
        return columns_of(node.argument)
    if isinstance(node, Binary):
        return columns_of(node.left) + columns_of(node.right)
    if isinstance(node, Negate):
        return columns_of(node.operand)
    return []


def to_sql(node) -> str:
    """DuckDB SQL for the expression, in double precision. DuckDB's functions return NaN or
    infinities where NumPy's do (ln of a negative number, exp overflowing), so the
    finiteness screen drops the same rows as in memory."""
    if isinstance(node, Column):
        return f"CAST({quote(node.name)} AS DOUBLE)"
    if isinstance(node, Number):
        return f"CAST({node.value:.17e} AS DOUBLE)"
    if isinstance(node, Apply):
        return f"{_FUNCTIONS[node.function][0]}({to_sql(node.argument)})"
    if isinstance(node, Negate):
        return f"(-{to_sql(node.operand)})"
    if node.operator == "**":
        return f"power({to_sql(node.left)}, {to_sql(node.right)})"
    return f"({to_sql(node.left)} {node.operator} {to_sql(node.right)})"


def evaluate(node, frame) -> np.ndarray:
    """The expression over the rows of a pandas frame, as float64 (missing values NaN)."""
    if isinstance(node, Column):
        column = frame[node.name]
        if isinstance(column.dtype, np.dtype):
            return column.to_numpy(dtype=np.float64)
        return column.to_numpy(dtype=np.float64, na_value=np.nan)
    if isinstance(node, Number):
        return np.full(len(frame), node.value)
    with np.errstate(all="ignore"):
        if isinstance(node, Apply):
            return _FUNCTIONS[node.function][1](evaluate(node.argument, frame))
        if isinstance(node, Negate):
            return -evaluate(node.operand, frame)
        left, right = evaluate(node.left, frame), evaluate(node.right, frame)
        return {"+": np.add, "-": np.subtract, "*": np.multiply, "/": np.divide, "**": np.power}[node.operator](
            left, right
        )


def parse_expression(text: str, columns: set[str]):
    """The tree of a Python expression over `columns`; UnsupportedTerm otherwise."""
    try:
        tree = ast.parse(text, mode="eval").body
    except SyntaxError as error:
        raise UnsupportedTerm(f"{text!r} is not an expression") from error
    return _convert(tree, text, columns)


def _convert(node, text, columns):
    if isinstance(node, ast.Name) and node.id in columns:
        return Column(node.id)
    if isinstance(node, ast.Constant) and isinstance(node.value, (int, float)) and not isinstance(node.value, bool):
        return Number(float(node.value))
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
        operand = _convert(node.operand, text, columns)
        return Negate(operand) if isinstance(node.op, ast.USub) else operand
    if isinstance(node, ast.BinOp) and type(node.op) in _OPERATORS:
        return Binary(
            _OPERATORS[type(node.op)], _convert(node.left, text, columns), _convert(node.right, text, columns)
        )
    if isinstance(node, ast.Call) and len(node.args) == 1 and not node.keywords:
        function = node.func
        if isinstance(function, ast.Name) and function.id == "I":
            return _convert(node.args[0], text, columns)
        if (
            isinstance(function, ast.Attribute)
            and isinstance(function.value, ast.Name)
            and function.value.id in ("np", "numpy")
            and function.attr in _FUNCTIONS
        ):
            return Apply(function.attr, _convert(node.args[0], text, columns))
    raise UnsupportedTerm(f"{ast.unparse(node)!r} in {text!r}")


def term_expression(term, numeric: set[str]):
    """The expression of one formula term (a product of its factors) over the numeric
    columns; UnsupportedTerm when a factor is not computable row by row."""
    node = None
    for factor in term.factors:
        method = factor.eval_method.value
        if method == "lookup":
            if factor.expr not in numeric:
                raise UnsupportedTerm(f"column {factor.expr!r} is not numeric")
            part = Column(factor.expr)
        elif method == "python":
            part = parse_expression(factor.expr, numeric)
        else:
            raise UnsupportedTerm(f"{factor.expr!r}")
        node = part if node is None else Binary("*", node, part)
    return node
