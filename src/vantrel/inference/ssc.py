"""Small-sample corrections of the covariance matrix and the vcov argument.

Every covariance estimator here is a raw matrix (iid: RSS/(N-1) times the bread; hetero:
the HC0 sandwich; cluster: the sandwich of each term of the inclusion-exclusion sum)
multiplied by factors that conventions disagree on. `SSC` names the choices the way fixest
and pyfixest do:

- ``k_adj``: (N-1)/(N-k) for iid and cluster, N/(N-k) for hetero (fixest applies its
  G/(G-1) with G = N to the heteroskedastic estimator, which turns (N-1)/(N-k) into
  N/(N-k)); k counts the regressors and, by ``k_fixef``, the fixed-effect parameters:
  "none" (not at all), "full" (all levels, minus one for every effect after the first),
  "nonnested" (as "full" but without effects nested in a cluster variable, each of which
  keeps one parameter) or "names" (the driver's count: levels of every effect, less the
  levels of the largest overlap in variable names with an earlier effect, and nothing for
  an effect containing a cluster variable under clustering);
- ``G_adj``: G/(G-1) on every cluster term, with G the term's own cluster count
  (``G_df="conventional"``) or the smallest over all terms (``G_df="min"``), which also
  gives min(G) - 1 degrees of freedom to t and p under clustering;
- ``cluster_k_adj``: whether the (N-1)/(N-k) factor applies under clustering too (None:
  as ``k_adj``); the driver leaves it out there.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import asdict, dataclass, replace
from typing import Literal

import pandas as pd

from vantrel.core.redundancy import calculate_fe_redundancies
from vantrel.core.sample import variable_ids
from vantrel.inference.kinds import AfterFit, cluster_columns, read_after_fit

K_FIXEF = ("none", "full", "nonnested", "names")
G_DF = ("conventional", "min")


@dataclass(frozen=True)
class SSC:
    """Small-sample correction choices, named as fixest and pyfixest name them.

    Build one with `vantrel.ssc`; the fields are checked when it is made.

    Attributes
    ----------
    k_adj : bool
        Whether to multiply by (N-1)/(N-k) (iid, cluster) or N/(N-k) (hetero).
    k_fixef : {"none", "full", "nonnested", "names"}
        How k counts the fixed-effect parameters: not at all; all levels, minus one for
        every effect after the first; as "full" but without the effects nested in a
        cluster variable (each keeps one parameter); or the driver's name-based count.
    G_adj : bool
        Whether to multiply every cluster term by G/(G-1).
    G_df : {"conventional", "min"}
        G in G/(G-1): each term's own cluster count, or the smallest over all terms (which
        also gives min(G) - 1 degrees of freedom to t and p under clustering).
    cluster_k_adj : bool or None
        Whether the k factor applies under clustering too (None: as `k_adj`).

    Raises
    ------
    TypeError
        When `k_adj`, `G_adj` or `cluster_k_adj` is not a bool (or None for the last).
    ValueError
        When `k_fixef` or `G_df` is not one of its choices.
    """

    k_adj: bool = True
    k_fixef: Literal["none", "full", "nonnested", "names"] = "nonnested"
    G_adj: bool = True
    G_df: Literal["conventional", "min"] = "min"
    cluster_k_adj: bool | None = None

    def __post_init__(self):
        for name in ("k_adj", "G_adj"):
            if not isinstance(getattr(self, name), bool):
                raise TypeError(f"ssc: {name} must be True or False, got {getattr(self, name)!r}")
        if self.cluster_k_adj is not None and not isinstance(self.cluster_k_adj, bool):
            raise TypeError(f"ssc: cluster_k_adj must be True, False or None, got {self.cluster_k_adj!r}")
        if self.k_fixef not in K_FIXEF:
            raise ValueError(f"ssc: k_fixef must be one of {K_FIXEF}, got {self.k_fixef!r}")
        if self.G_df not in G_DF:
            raise ValueError(f"ssc: G_df must be one of {G_DF}, got {self.G_df!r}")

    def k_adj_for(self, vcov_type: str) -> bool:
        if vcov_type == "CRV1" and self.cluster_k_adj is not None:
            return self.cluster_k_adj
        return self.k_adj


def ssc(
    k_adj: bool = True,
    k_fixef: str = "nonnested",
    G_adj: bool = True,
    G_df: str = "min",
    cluster_k_adj: bool | None = None,
) -> SSC:
    """Small-sample corrections for the ``ssc=`` of `vantrel.feols`.

    The defaults are fixest's and pyfixest's.

    Parameters
    ----------
    k_adj : bool, default True
        Multiply by (N-1)/(N-k) (iid, cluster) or N/(N-k) (hetero).
    k_fixef : {"nonnested", "full", "none", "names"}, default "nonnested"
        How k counts the fixed-effect parameters: "full" counts all levels, minus one for
        every effect after the first; "nonnested" as "full" but without the effects nested
        in a cluster variable (each keeps one parameter); "none" not at all; "names" the
        driver's name-based count (data in memory only).
    G_adj : bool, default True
        Multiply every cluster term by G/(G-1).
    G_df : {"min", "conventional"}, default "min"
        G in G/(G-1): the smallest cluster count over the terms of a multiway sum (which
        also gives min(G) - 1 degrees of freedom to t and p), or each term's own.
    cluster_k_adj : bool or None, default None
        Whether the k factor applies under clustering too (None: as `k_adj`).

    Returns
    -------
    SSC
        The choices, checked.

    Raises
    ------
    TypeError
        When a flag is not a bool.
    ValueError
        When `k_fixef` or `G_df` is not one of its choices.

    Examples
    --------
    >>> import vantrel
    >>> vantrel.ssc(G_df="conventional")
    SSC(k_adj=True, k_fixef='nonnested', G_adj=True, G_df='conventional', cluster_k_adj=None)
    """
    return SSC(k_adj, k_fixef, G_adj, G_df, cluster_k_adj)  # type: ignore[arg-type]


PRESETS: dict[str, SSC] = {
    # fixest's and pyfixest's defaults; on the Cigar panel they also reproduce reghdfe's
    # published cluster-robust figures ((N-1)/(N-K) G/(G-1) with nested effects left out)
    "fixest": SSC(),
    # the driver's own conventions: iid RSS/(N-K-FE) and HC1 N/(N-K-FE) with the name-based
    # count of fixed-effect parameters, cluster G/(G-1) with the smallest G and no k factor
    "tolvane": SSC(k_adj=True, k_fixef="names", G_adj=True, G_df="min", cluster_k_adj=False),
    # fixest's cluster.df = "conventional": every term of a multiway sum its own G/(G-1)
    "conventional": SSC(G_df="conventional"),
    # the plain sandwich, no correction at all
    "none": SSC(k_adj=False, k_fixef="none", G_adj=False),
}


# HC2 and HC3 correct each score by its leverage in place of the k factor: by default they
# are the sandwich as statsmodels and R's sandwich compute it, without N/(N-k)
_LEVERAGE_DEFAULT = SSC(k_adj=False)


def resolve_ssc(value: object, kind: str | None = None) -> SSC:
    """An SSC from None (the default of the covariance `kind`, see the table of
    `vantrel.results.fit.Fit.with_vcov`), a preset name, an SSC or a mapping of its fields
    (pyfixest's ``pf.ssc(...)`` dictionaries included)."""
    if value is None:
        return _LEVERAGE_DEFAULT if kind in ("HC2", "HC3") else PRESETS["fixest"]
    if isinstance(value, SSC):
        return value
    if isinstance(value, str):
        if value not in PRESETS:
            raise ValueError(f"ssc = {value!r} is not a preset; presets: {sorted(PRESETS)}, or vantrel.ssc(...)")
        return PRESETS[value]
    if isinstance(value, Mapping):
        unknown = set(value) - set(asdict(SSC()))
        if unknown:
            raise ValueError(f"ssc: unknown field(s) {sorted(unknown)}; fields: {list(asdict(SSC()))}")
        return replace(SSC(), **dict(value))
    raise TypeError(f"ssc must be None, a preset name, vantrel.ssc(...) or a dict, got {type(value).__name__}")


@dataclass(frozen=True)
class VcovChoice:
    """A parsed vcov argument: type "iid", "hetero" or "CRV1", and the cluster columns.
    A covariance computed after the fit (`after`, see `vantrel.inference.kinds`) has the
    type of the engines' pass it starts from, "iid", and its columns as `clusters`: the
    sample drops the rows without a value in them."""

    type: Literal["iid", "hetero", "CRV1"]
    clusters: tuple[str, ...] = ()
    label: str = "iid"
    after: AfterFit | None = None


def parse_vcov(vcov: object) -> VcovChoice:
    """None (iid, as pyfixest), "iid", "hetero"/"HC1", {"CRV1": "a"} or {"CRV1": "a+b"},
    and the kinds computed after the fit (`vantrel.inference.kinds`)."""
    after = read_after_fit(vcov)
    if after is not None:
        return VcovChoice("iid", after.columns, label=after.kind, after=after)
    if vcov is None or vcov == "iid":
        return VcovChoice("iid")
    if vcov in ("hetero", "HC1"):
        return VcovChoice("hetero", label=str(vcov))
    if isinstance(vcov, Mapping) and len(vcov) == 1:
        kind, value = next(iter(vcov.items()))
        if kind == "CRV1" and isinstance(value, str):
            return VcovChoice("CRV1", cluster_columns(vcov, value), label="CRV1")
    raise ValueError(
        f"vcov = {vcov!r} is not supported; supported: None or 'iid', 'hetero' (or 'HC1'), 'HC2', 'HC3', "
        "{'CRV1': 'a'} and {'CRV1': 'a+b'} (up to four variables), {'CRV3': 'a'} (or 'a+b'), "
        "{'NW': {'time': t, 'panel': p, 'lag': L}}, {'DK': {'time': t, 'lag': L}}, "
        "{'conley': {'lat': a, 'lon': b, 'cutoff': km}}"
    )


def df_k(
    ssc: SSC, vcov_type: str, k: int, k_fe: list[int], nested: list[bool], names_count: int | None, k_slopes: int = 0
) -> int:
    """The number of parameters k in (N-1)/(N-k).

    k: regressors (with the intercept when there is one); k_fe: levels of each fixed
    effect in the sample; nested: whether each effect is nested in a cluster variable
    (only read under clustering); names_count: the driver's name-based count for
    ``k_fixef="names"``; k_slopes: the coefficients of varying slopes (k_fe then counts
    only the effects with their intercept), charged as fixest charges them unless
    ``k_fixef="none"``.
    """
    n_fe = len(k_fe)
    if ssc.k_fixef == "none":
        return k
    k += k_slopes
    if n_fe == 0:
        return k
    if ssc.k_fixef == "names":
        return k + int(names_count)
    # each effect after the first shares the constant with the first
    full = sum(k_fe) - (n_fe - 1)
    if ssc.k_fixef == "full" or vcov_type != "CRV1" or not any(nested):
        return k + full
    # nonnested: a nested effect's levels are implied by the clusters; one parameter stays
    return k + full - sum(g for g, flag in zip(k_fe, nested, strict=True) if flag) + sum(nested)


def adjustment(ssc: SSC, vcov_type: str, N: int, dfk: int) -> float:
    """The k factor: (N-1)/(N-k) (iid, cluster) or N/(N-k) (hetero), or 1."""
    if not ssc.k_adj_for(vcov_type):
        return 1.0
    if N - dfk <= 0:
        raise ZeroDivisionError(f"No residual degrees of freedom left: {N} observations and {dfk} parameters")
    return (N if vcov_type == "hetero" else N - 1) / (N - dfk)


def cluster_factors(ssc: SSC, G: list[int]) -> list[float]:
    """G/(G-1) for each term of the inclusion-exclusion sum (or 1 without G_adj)."""
    if not ssc.G_adj:
        return [1.0] * len(G)
    if ssc.G_df == "min":
        G = [min(G)] * len(G)
    return [g / (g - 1) for g in G]


def fe_records(corrections, choice, effects, labels, frame, rows, k_fe):
    """Per effect: categories, those not charged, those charged (for the table), and the
    driver's name-based count when the corrections ask for it."""
    if not effects:
        return None, None
    if corrections.k_fixef == "names":
        variables = sorted({name for effect in effects for name in effect})
        table = pd.DataFrame({name: variable_ids(frame, name, rows) for name in variables}, copy=False)
        driver_terms = ["#".join(effect) for effect in effects]
        by_term = calculate_fe_redundancies(
            table, driver_terms, None, setype=_driver_setype(choice), clustvars=list(choice.clusters)
        )
        records = {label: by_term[term] for label, term in zip(labels, driver_terms, strict=True)}
        return records, sum(record["num_coefs"] for record in records.values())
    records = {}
    for i, (label, G) in enumerate(zip(labels, k_fe, strict=True)):
        redundant = G if corrections.k_fixef == "none" else (0 if i == 0 else 1)
        records[label] = {"categories": G, "redundant": redundant, "num_coefs": G - redundant}
    return records, None


def _driver_setype(choice):
    return {"iid": "homoskedastic", "hetero": "heteroskedastic", "CRV1": "cluster"}[choice.type]
