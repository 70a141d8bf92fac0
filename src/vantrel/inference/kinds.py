"""The covariances computed after the fit from what it keeps, as the vcov argument names them:
"HC2" and "HC3" (the leverages of the full model), {"CRV3": "a+b"} (the cluster jackknife),
{"NW": {...}}, {"DK": {...}} (Newey-West and Driscoll-Kraay) and {"conley": {...}}.

The row engines sum iid, HC1 and CRV1 themselves while they run; these need more than one
pass of sums (leverages, leave-one-cluster-out fits, pairs of rows in time or space), so a
fit asked for one runs the engines' iid pass and recomputes its covariance at the end, the
same computation `Fit.with_vcov` makes later. This module only reads the argument; the
estimators are in `vantrel.inference.leverage`, `jackknife` and `hac`.
"""

from __future__ import annotations

import numbers
from collections.abc import Mapping
from dataclasses import dataclass, field

# options each kind takes (name -> what it accepts, for the errors)
_OPTIONS = {
    "HC2": {"leverage": "'auto', 'exact' or 'random'", "draws": "a positive integer", "seed": "an integer"},
    "HC3": {"leverage": "'auto', 'exact' or 'random'", "draws": "a positive integer", "seed": "an integer"},
    "NW": {"time": "a column name", "panel": "a column name or None", "lag": "a non-negative integer or None"},
    "DK": {"time": "a column name", "lag": "a non-negative integer or None"},
    "conley": {
        "lat": "a column name",
        "lon": "a column name",
        "cutoff": "a positive distance in km",
        "kernel": "'uniform' or 'bartlett'",
        "distance": "'triangular' or 'spherical'",
    },
}
_REQUIRED = {"NW": ("time",), "DK": ("time",), "conley": ("lat", "lon", "cutoff")}
# the columns an option names: the estimate reads them, and drops rows without a value
_COLUMN_OPTIONS = ("time", "panel", "lat", "lon")
LEVERAGE_METHODS = ("auto", "exact", "random")
CONLEY_KERNELS = ("uniform", "bartlett")
CONLEY_DISTANCES = ("triangular", "spherical")
MAX_CLUSTER_WAYS = 4


@dataclass(frozen=True)
class AfterFit:
    """A covariance computed after the fit: its kind ("HC2", "HC3", "CRV3", "NW", "DK",
    "conley"), the columns it reads (cluster variables, time, panel, coordinates), its
    options, and the argument as given."""

    kind: str
    columns: tuple[str, ...]
    options: dict = field(default_factory=dict, hash=False, compare=False)
    vcov: object = field(default=None, hash=False, compare=False)


def cluster_columns(vcov: object, value: str) -> tuple[str, ...]:
    """The cluster variables of ``{"CRV1": "a+b"}`` or ``{"CRV3": "a+b"}`` (`value`, the text
    joining them by '+'), checked: named, at most four, none twice."""
    names = tuple(name.strip() for name in value.split("+"))
    if not all(names):
        raise ValueError(f"vcov = {vcov!r}: cluster variables are column names joined by '+'")
    if len(names) > MAX_CLUSTER_WAYS:
        raise ValueError(f"vcov = {vcov!r}: at most {MAX_CLUSTER_WAYS} cluster variables, got {len(names)}")
    if len(set(names)) != len(names):
        raise ValueError(f"vcov = {vcov!r} names a cluster variable twice")
    return names


def read_after_fit(vcov: object) -> AfterFit | None:
    """The `AfterFit` of `vcov`, or None when it is none of these kinds (iid, HC1, CRV1 or
    something unsupported, which `parse_vcov` answers)."""
    if vcov in ("HC2", "HC3"):
        return AfterFit(str(vcov), (), {"leverage": "auto", "draws": None, "seed": 0}, vcov)
    if not isinstance(vcov, Mapping) or len(vcov) != 1:
        return None
    kind, value = next(iter(vcov.items()))
    if kind == "CRV3":
        if not isinstance(value, str):
            raise TypeError(f"vcov = {vcov!r}: CRV3 takes the cluster columns joined by '+', such as 'a+b'")
        return AfterFit("CRV3", cluster_columns(vcov, value), {}, vcov)
    if kind not in _OPTIONS:
        return None
    if not isinstance(value, Mapping):
        raise TypeError(f"vcov = {vcov!r}: {kind} takes a dict of options ({', '.join(_OPTIONS[kind])}), got {value!r}")
    unknown = sorted(set(value) - set(_OPTIONS[kind]))
    if unknown:
        raise ValueError(f"vcov = {vcov!r}: unknown option(s) {unknown} of {kind}; options: {list(_OPTIONS[kind])}")
    missing = [name for name in _REQUIRED.get(kind, ()) if value.get(name) is None]
    if missing:
        raise ValueError(f"vcov = {vcov!r}: {kind} needs the option(s) {missing}")
    options = dict(value)
    _check_options(kind, options, vcov)
    columns = tuple(dict.fromkeys(options[name] for name in _COLUMN_OPTIONS if options.get(name) is not None))
    return AfterFit(kind, columns, options, vcov)


def _check_options(kind: str, options: dict, vcov: object) -> None:
    def wrong(name):
        return ValueError(
            f"vcov = {vcov!r}: option {name!r} of {kind} must be {_OPTIONS[kind][name]}, got {options[name]!r}"
        )

    for name in _COLUMN_OPTIONS:
        if name in options and options[name] is not None and not isinstance(options[name], str):
            raise wrong(name)
    if kind in ("HC2", "HC3"):
        options.setdefault("leverage", "auto")
        options.setdefault("draws", None)
        options.setdefault("seed", 0)
        if options["leverage"] not in LEVERAGE_METHODS:
            raise wrong("leverage")
        if options["draws"] is not None and (not _is_integer(options["draws"]) or options["draws"] < 1):
            raise wrong("draws")
        if not _is_integer(options["seed"]):
            raise wrong("seed")
    if "lag" in options and options["lag"] is not None and (not _is_integer(options["lag"]) or options["lag"] < 0):
        raise wrong("lag")
    if kind == "conley":
        cutoff = options["cutoff"]
        if isinstance(cutoff, bool) or not isinstance(cutoff, numbers.Real) or not 0 < cutoff < float("inf"):
            raise wrong("cutoff")
        options.setdefault("kernel", "uniform")
        options.setdefault("distance", "triangular")
        if options["kernel"] not in CONLEY_KERNELS:
            raise wrong("kernel")
        if options["distance"] not in CONLEY_DISTANCES:
            raise wrong("distance")


def _is_integer(value) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)
