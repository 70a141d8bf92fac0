"""Aggregates of Sun and Abraham's cohort x relative-period estimates (``sunab()`` terms).

Each cell's estimate is the effect on one cohort at one relative period. An aggregate is a
weighted mean of cells, the weights each cell's share of the aggregate's observations in the
estimation sample (their weights' sum in a weighted estimate), and its variance s'Vs with V the
covariance of the cells' estimates under the fit's own vcov; t and p use the fit's degrees of
freedom. As in fixest, the sample shares stand for the population shares (Sun and Abraham
also account for the shares' estimation error), and a cell dropped as collinear is left out of
its aggregate.

- by relative period (``"period"``): one aggregate per relative period, ``year::-3``;
- the ATT (``"ATT"``): every cell from the treatment on (relative period >= 0);
- by cohort (``"cohort"``): each cohort's cells from the treatment on, ``cohort::1985``.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
import scipy.stats

from vantrel.formula.sunab import SunabTerms
from vantrel.inference.stats import two_sided_p

AGGREGATES = ("period", "ATT", "cohort")


def sunab_terms(fit) -> list[SunabTerms]:
    """The fit's sunab() terms (none for a fit without, or without a design)."""
    design = getattr(getattr(fit, "_sample", None), "design", None)
    if design is None:
        return []
    return [term for term in design.indicators if isinstance(term, SunabTerms)]


def cell_shares(fit, term: SunabTerms) -> pd.Series:
    """Observations (or their weights' sum) of each estimated cell of `term` in the
    estimation sample, by coefficient name."""
    sample = fit._sample
    design = sample.design
    out = {}
    for name in term.names:
        if name not in fit.coefnames:
            continue  # dropped as collinear
        inside = sample.take(design.columns[design.names.index(name)]) != 0
        out[name] = float(inside.sum() if sample.weights is None else sample.weights[inside].sum())
    return pd.Series(out, dtype=float)


def _groups(term: SunabTerms, agg: str) -> dict[str, list[str]]:
    """The aggregates' names and, for each, the names of its cells."""
    groups: dict[str, list[str]] = {}
    for (rel, _), name in zip(term.cells, term.names, strict=True):
        if agg == "period":
            key = name.split(":cohort::")[0]
        elif rel < 0:
            continue
        elif agg == "ATT":
            key = "ATT"
        else:
            key = "cohort::" + name.split(":cohort::")[1]
        groups.setdefault(key, []).append(name)
    if agg == "cohort":
        groups = dict(sorted(groups.items(), key=lambda item: float(item[0].split("::")[1])))
    return groups


def aggregate(fit, agg: str = "period", level: float = 0.95) -> pd.DataFrame:
    """The aggregates `agg` of the fit's sunab() cells (module text), one row each, with
    the columns of ``tidy()``: Estimate, Std. Error, t value, Pr(>|t|) and the confidence
    interval at `level`; ``attrs["weights"]`` holds each aggregate's weights by cell."""
    if not isinstance(agg, str) or agg.lower() not in {a.lower() for a in AGGREGATES}:
        raise ValueError(f"agg must be one of {', '.join(map(repr, AGGREGATES))}, got {agg!r}")
    agg = {a.lower(): a for a in AGGREGATES}[agg.lower()]
    bounds = fit.confint(level)  # checks `level` as every interval does
    terms = sunab_terms(fit)
    if not terms:
        raise ValueError(
            f"aggregate(): the fit of {fit.formula!r} has no sunab() term; aggregates are of Sun and Abraham's "
            "cohort x relative-period estimates (y ~ sunab(cohort, period) | unit + period)"
        )
    beta, vcov = fit.coef(), fit.vcov
    rows, weights = {}, {}
    for term in terms:
        shares = cell_shares(fit, term)
        for key, names in _groups(term, agg).items():
            names = [name for name in names if name in shares.index]
            if not names:
                continue
            s = shares[names] / shares[names].sum()
            estimate = float(s @ beta[names])
            variance = float(s @ vcov.loc[names, names] @ s)
            rows[key] = (estimate, np.sqrt(variance))
            weights[key] = s
    if not rows:
        raise ValueError(f"aggregate(): no estimated cell of the fit of {fit.formula!r} enters the {agg!r} aggregate")
    table = pd.DataFrame.from_dict(rows, orient="index", columns=["Estimate", "Std. Error"])
    table["t value"] = table["Estimate"] / table["Std. Error"]
    table["Pr(>|t|)"] = two_sided_p(table["t value"].to_numpy(), fit.df_t)
    half = scipy.stats.t.ppf((1 + level) / 2, fit.df_t) * table["Std. Error"]
    lower, upper = bounds.columns
    table[lower] = table["Estimate"] - half
    table[upper] = table["Estimate"] + half
    table.index.name = "Coefficient"
    table.attrs["weights"] = weights
    return table
