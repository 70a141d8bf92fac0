"""Pictures of estimates: coefficients with their confidence intervals (`coefplot`) and the
event-study coefficients of i() terms against their period (`iplot`), for one fit or several
side by side. matplotlib is an optional extra, imported only when a plot is drawn, so that
estimation never pays for it."""

from __future__ import annotations

import re
import warnings
from dataclasses import dataclass

import numpy as np

from vantrel.formula.sunab import SunabTerms
from vantrel.results.models import Models

_EXTRA_HINT = "pip install 'vantrel[plots]'"
_CI_KINDS = ("errorbar", "band")


def _pyplot():
    # imported here, not at the top: most users never plot, and matplotlib is not a dependency
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError(f"plots need matplotlib, an optional extra of vantrel: {_EXTRA_HINT}") from error
    return plt


def _is_fit(value) -> bool:
    # what a plot reads of a fit; not isinstance(Fit): results.fit imports this module for
    # its plot methods, and this module importing it back would make a circle
    return all(hasattr(value, name) for name in ("formula", "coefnames", "coef", "confint"))


def _named_fits(models) -> list[tuple[str, object]]:
    """(name, fit) for a fit, a `Models` collection or a list / tuple of fits."""
    if _is_fit(models):
        return [(models.formula, models)]
    if isinstance(models, Models):
        return list(zip(models.names, models, strict=True))
    if isinstance(models, list | tuple):
        bad = [type(fit).__name__ for fit in models if not _is_fit(fit)]
        if not models or bad:
            raise TypeError(
                "models must be a fit, a vantrel.Models or a non-empty list of fits, got "
                + (f"a list holding {bad[0]}" if bad else "an empty list")
            )
        names = [fit.formula for fit in models]
        if len(set(names)) < len(names):  # the same formula twice (other samples, vcov): number them
            names = [f"({i + 1}) {name}" for i, name in enumerate(names)]
        return list(zip(names, models, strict=True))
    raise TypeError(f"models must be a fit, a vantrel.Models or a list of fits, got {type(models).__name__}")


def _check_ci(ci: str) -> None:
    if ci not in _CI_KINDS:
        raise ValueError(f"ci must be one of {_CI_KINDS}, got {ci!r}")


def _patterns(argument: str, value) -> list[re.Pattern]:
    if value is None:
        return []
    values = [value] if isinstance(value, str) else list(value)
    out = []
    for pattern in values:
        if not isinstance(pattern, str):
            raise TypeError(f"{argument} must be a regular expression or a list of them, got {pattern!r}")
        try:
            out.append(re.compile(pattern))
        except re.error as error:
            raise ValueError(f"{argument} = {pattern!r} is not a regular expression: {error}") from None
    return out


def _selected(names: list[str], keep, drop) -> list[str]:
    """Names matching any `keep` pattern (all when none is given) and no `drop` pattern."""
    keep_p, drop_p = _patterns("keep", keep), _patterns("drop", drop)
    return [
        name
        for name in names
        if (not keep_p or any(p.search(name) for p in keep_p)) and not any(p.search(name) for p in drop_p)
    ]


def _dodge(n_series: int, width: float) -> np.ndarray:
    """Offsets that set several models' points beside each other around each position."""
    if n_series == 1:
        return np.zeros(1)
    return np.linspace(-width / 2, width / 2, n_series)


def _zero_line(ax) -> None:
    ax.axhline(0.0, color="0.4", linewidth=0.8, linestyle="--", zorder=0)


def _finish(fig, ax, n_series: int, title: str | None) -> None:
    if n_series > 1:
        ax.legend(fontsize="small", loc="best")
    if title:
        ax.set_title(title)
    ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()


def coefplot(models, level: float = 0.95, keep=None, drop=None, figsize=None, title: str | None = None):
    """Each coefficient's estimate with its confidence interval.

    Several models (a `vantrel.Models` or a list of fits) are one series each, set beside
    each other at each coefficient. matplotlib comes with the extra ``vantrel[plots]``.

    Parameters
    ----------
    models : FeolsResult, Models or list of FeolsResult
        The fit or fits to draw.
    level : float, default 0.95
        The coverage of the intervals.
    keep : str, list of str or None, default None
        Regular expressions matched anywhere in the name (``re.search``): only the
        coefficients matching one of them are drawn (None: all).
    drop : str, list of str or None, default None
        Regular expressions: the coefficients matching one of them are left out.
    figsize : tuple of float or None, default None
        The figure's size in inches (None: wide enough for the coefficients).
    title : str or None, default None
        The title of the plot.

    Returns
    -------
    matplotlib.figure.Figure
        The figure.

    Raises
    ------
    ImportError
        When matplotlib is not installed.
    TypeError
        When `models` is not a fit, a `Models` or a non-empty list of fits, or a `keep` /
        `drop` pattern is not text.
    ValueError
        When a pattern is not a regular expression, or `keep` and `drop` leave no
        coefficient.
    """
    plt = _pyplot()
    fits = _named_fits(models)
    tables = [(name, fit.coef(), fit.confint(level)) for name, fit in fits]
    every = list(dict.fromkeys(coef for _, estimates, _ in tables for coef in estimates.index))
    names = _selected(every, keep, drop)
    if not names:
        raise ValueError(f"keep = {keep!r}, drop = {drop!r} leave no coefficient to plot (the coefficients: {every})")
    position = {name: i for i, name in enumerate(names)}
    offsets = _dodge(len(tables), 0.5)
    width = max(6.0, 0.6 * len(names) + 2.0)
    fig, ax = plt.subplots(figsize=figsize or (min(width, 16.0), 4.5))
    for (name, estimates, bounds), offset in zip(tables, offsets, strict=True):
        shown = [coef for coef in names if coef in estimates.index]
        est = estimates[shown].to_numpy()
        lower, upper = bounds.loc[shown].iloc[:, 0].to_numpy(), bounds.loc[shown].iloc[:, 1].to_numpy()
        x = np.array([position[coef] for coef in shown], dtype=float) + offset
        ax.errorbar(x, est, yerr=[est - lower, upper - est], fmt="o", capsize=3, label=name)
    _zero_line(ax)
    ax.set_xticks(range(len(names)))
    long = max(len(name) for name in names) > 6 or len(names) > 8
    ax.set_xticklabels(names, rotation=45 if long else 0, ha="right" if long else "center")
    ax.set_xlabel("Coefficient")
    ax.set_ylabel(f"Estimate and {level * 100:g}% confidence interval")
    _finish(fig, ax, len(tables), title)
    return fig


@dataclass(frozen=True)
class _EventTerm:
    """One fit's i() term: its coefficient names and levels (the kept ones), and the
    reference levels left out of the regression."""

    variable: str
    interacted: str | None
    names: list[str]
    levels: list
    references: list
    # a sunab() term: `names` are its aggregates by relative period, read from fit.aggregate
    aggregated: bool = False


def _event_terms(fit) -> list[_EventTerm]:
    """The fit's i() terms, with their references read from the design the fit kept;
    from the coefficient names when a fit has no design (see `_terms_from_names`)."""
    design = getattr(getattr(fit, "_sample", None), "design", None)
    if design is None:
        return _terms_from_names(fit.coefnames)
    terms = []
    for term in design.indicators:
        if isinstance(term, SunabTerms):
            terms.append(_sunab_event(fit, term))
            continue
        pairs = [(name, level) for name, level in zip(term.names, term.kept, strict=True) if name in fit.coefnames]
        references = [level for level in term.levels if level not in term.kept]
        terms.append(
            _EventTerm(
                term.call.variable,
                term.call.interacted,
                [name for name, _ in pairs],
                [level for _, level in pairs],
                references,
            )
        )
    return terms


def _sunab_event(fit, term: SunabTerms) -> _EventTerm:
    """A sunab() term as iplot draws it: Sun and Abraham's aggregate of each relative
    period against that period, the reference periods at 0."""
    table = fit.aggregate("period")
    levels = [_number(name.split("::")[1]) for name in table.index]
    references = [_number(str(ref)) for ref in term.call.ref_p if min(levels) <= ref <= max(levels)]
    return _EventTerm(term.call.period, None, list(table.index), levels, references, aggregated=True)


def _estimates(fit, event: _EventTerm, level: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The estimates of an event term and the bounds of their intervals at `level`."""
    if event.aggregated:
        table = fit.aggregate("period", level).loc[event.names]
        bounds = table.iloc[:, -2:]
        return table["Estimate"].to_numpy(), bounds.iloc[:, 0].to_numpy(), bounds.iloc[:, 1].to_numpy()
    bounds = fit.confint(level).loc[event.names]
    est = fit.coef()[event.names].to_numpy()
    return est, bounds.iloc[:, 0].to_numpy(), bounds.iloc[:, 1].to_numpy()


_INDICATOR_NAME = re.compile(r"^(?P<variable>.+?)::(?P<level>[^:]+)(?::(?P<interacted>.+))?$")


def _number(text: str):
    try:
        value = float(text)
    except ValueError:
        return text
    return int(value) if value.is_integer() else value


def _terms_from_names(coefnames: list[str]) -> list[_EventTerm]:
    """i() terms read from names ``var::level`` / ``var::level:x`` alone. The reference is
    then not known: when the levels are numbers evenly spaced but for one gap of a single
    missing step, that missing level is taken as the reference (a warning says so);
    otherwise no reference is drawn, with a warning."""
    groups: dict[tuple, list[tuple[str, object]]] = {}
    for name in coefnames:
        match = _INDICATOR_NAME.match(name)
        if match:
            key = (match["variable"], match["interacted"])
            groups.setdefault(key, []).append((name, _number(match["level"])))
    terms = []
    for (variable, interacted), pairs in groups.items():
        levels = [level for _, level in pairs]
        references = []
        if all(isinstance(level, int | float) for level in levels) and len(levels) >= 2:
            ordered = np.sort(np.asarray(levels, dtype=float))
            steps = np.diff(ordered)
            step = steps.min()
            gaps = np.flatnonzero(~np.isclose(steps, step))
            if step > 0 and len(gaps) == 1 and np.isclose(steps[gaps[0]], 2 * step):
                references = [_number(str(ordered[gaps[0]] + step))]
        shown = f"{variable}:{interacted}" if interacted else variable
        warnings.warn(
            f"iplot: the fit keeps no record of the reference level of i({shown}); "
            + (
                f"taking the one missing level {references[0]!r} as the reference"
                if references
                else "no reference period is drawn"
            ),
            stacklevel=3,
        )
        terms.append(_EventTerm(variable, interacted, [n for n, _ in pairs], levels, references))
    return terms


def _term_key(term: _EventTerm) -> str:
    return f"{term.variable}:{term.interacted}" if term.interacted else term.variable


def _choose_term(fits: list[tuple[str, object]], term: str | None) -> list[_EventTerm | None]:
    """Each fit's i() term to plot: the one named by `term` (its column, or ``var:x`` for
    an interacted one), or the only one there is."""
    found = [(name, _event_terms(fit)) for name, fit in fits]
    keys = list(dict.fromkeys(_term_key(t) for _, terms in found for t in terms))
    if not keys:
        raise ValueError("iplot: no model has an i() term (event-study coefficients such as year::1981)")
    if term is None:
        if len(keys) > 1:
            raise ValueError(f"term = None, but the models have several i() terms: {keys}; choose one with term=")
        term = keys[0]
    chosen = []
    for _, terms in found:
        matches = [t for t in terms if term in (_term_key(t), t.variable)]
        if len(matches) > 1:
            raise ValueError(f"term = {term!r} names several i() terms {[_term_key(t) for t in matches]}; give one")
        chosen.append(matches[0] if matches else None)
    if all(t is None for t in chosen):
        raise ValueError(f"term = {term!r} is none of the models' i() terms: {keys}")
    return chosen


def _is_number(level) -> bool:
    return isinstance(level, int | float | np.integer | np.floating) and not isinstance(level, bool | np.bool_)


def iplot(models, level: float = 0.95, term: str | None = None, ci: str = "errorbar", figsize=None, title=None):
    """The event-study coefficients of an i() term against their period.

    The coefficients of an i() term (``year::1981`` or ``year::1981:treat``) are drawn
    with their confidence intervals, a line at zero, and each reference period at 0 with a
    hollow marker (its estimate is 0 by construction, its interval empty). The periods are
    the levels themselves when every level is a number, else evenly spaced positions
    labelled by level. The reference levels are the ones the fit's design recorded as left
    out. Several models (a `vantrel.Models` or a list of fits) are one series each, set
    slightly beside each other; a model without the term is left out with a warning.
    For a ``sunab()`` term the points are Sun and Abraham's aggregate of each relative
    period (``fit.aggregate("period")``) against the relative period.
    matplotlib comes with the extra ``vantrel[plots]``.

    Parameters
    ----------
    models : FeolsResult, Models or list of FeolsResult
        The fit or fits to draw.
    level : float, default 0.95
        The coverage of the intervals.
    term : str or None, default None
        The i() term's column (``"year"``) or ``"year:treat"`` for an interacted one,
        needed only when the models have several i() terms.
    ci : {"errorbar", "band"}, default "errorbar"
        The intervals as error bars or as a shaded band.
    figsize : tuple of float or None, default None
        The figure's size in inches (None: 8 x 4.5).
    title : str or None, default None
        The title (None: ``"Event study: i(term)"``).

    Returns
    -------
    matplotlib.figure.Figure
        The figure.

    Raises
    ------
    ImportError
        When matplotlib is not installed.
    TypeError
        When `models` is not a fit, a `Models` or a non-empty list of fits.
    ValueError
        When `ci` is neither choice, no model has an i() term, `term` names none (or
        several) of them, or `term` is None and the models have several.
    """
    _check_ci(ci)
    plt = _pyplot()
    fits = _named_fits(models)
    chosen = _choose_term(fits, term)
    series = []
    for (name, fit), event in zip(fits, chosen, strict=True):
        if event is None:
            warnings.warn(f"iplot: model {name!r} has no i() term {term!r}; left out of the plot", stacklevel=2)
            continue
        est, lower, upper = _estimates(fit, event, level)
        levels = list(event.levels) + list(event.references)
        est = np.concatenate([est, np.zeros(len(event.references))])
        lower = np.concatenate([lower, np.zeros(len(event.references))])
        upper = np.concatenate([upper, np.zeros(len(event.references))])
        series.append((name, levels, est, lower, upper, event))
    every = [lv for _, levels, *_ in series for lv in levels]
    numeric = all(_is_number(lv) for lv in every)
    if numeric:
        where = {lv: float(lv) for lv in every}
    else:  # texts (or a mix): positions in the order of first appearance, labelled by level
        labels = list(dict.fromkeys(every))
        where = {lv: float(i) for i, lv in enumerate(labels)}
    spots = np.unique(list(where.values()))
    spacing = np.diff(spots).min() if len(spots) > 1 else 1.0
    offsets = _dodge(len(series), 0.3 * spacing)
    fig, ax = plt.subplots(figsize=figsize or (8.0, 4.5))
    for (name, levels, est, lower, upper, event), offset in zip(series, offsets, strict=True):
        x = np.array([where[lv] for lv in levels])
        order = np.argsort(x, kind="stable")
        x, est, lower, upper = x[order] + offset, est[order], lower[order], upper[order]
        if ci == "band":
            (line,) = ax.plot(x, est, marker="o", label=name)
            ax.fill_between(x, lower, upper, alpha=0.2, color=line.get_color())
        else:
            ax.errorbar(x, est, yerr=[est - lower, upper - est], fmt="o-", capsize=3, label=name)
        for ref in event.references:  # the reference period: hollow marker at 0
            ax.plot([where[ref] + offset], [0.0], marker="o", markerfacecolor="white", color="0.2", zorder=3)
    _zero_line(ax)
    if not numeric:
        ax.set_xticks(range(len(labels)))
        ax.set_xticklabels([str(lv) for lv in labels], rotation=45, ha="right")
    first = next(event for *_, event in series)
    shown = _term_key(first)
    if first.aggregated:
        ax.set_xlabel(f"{shown} relative to the treatment (reference period at 0, hollow marker)")
        default_title = f"Event study: Sun and Abraham, {shown} relative to the treatment"
    else:
        ax.set_xlabel(f"{shown.split(':')[0]} (reference period at 0, hollow marker)")
        default_title = f"Event study: i({shown.replace(':', ', ')})"
    ax.set_ylabel(f"Estimate and {level * 100:g}% confidence interval")
    _finish(fig, ax, len(series), title or default_title)
    return fig
