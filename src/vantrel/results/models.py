"""The result of a multiple estimation: a sequence of fits, each named by its sample,
fixed effects, outcome and right-hand side, with their tables side by side."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import pandas as pd


@dataclass(frozen=True)
class ModelKey:
    """What distinguishes one model of a multiple estimation from the others.

    sample: "Full sample" or "column = value"; fixef: the fixed effects as written ("" for
    none); lhs: the outcome; rhs: the right-hand side."""

    sample: str
    fixef: str
    lhs: str
    rhs: str
    fml: str
    split: bool  # whether the estimation split the sample (the name then says which part)

    @property
    def name(self) -> str:
        return f"{self.fml} (sample: {self.sample})" if self.split else self.fml


class Models(Sequence):
    """The fits of a multiple estimation (see `vantrel.feols`), in fixest's order: by
    sample, then fixed effects, then outcome, then right-hand side.

    A sequence: ``len(models)``, ``models[i]`` (a `FeolsResult`; a slice gives `Models`),
    iteration. ``keys``: each model's `ModelKey`; ``names``: each model's name (its
    formula, and its sample when the estimation split the data). ``coef()``, ``se()`` and
    ``tidy()`` stack every model's, under an index level ``model`` holding the name.
    """

    def __init__(self, fits: list, keys: list[ModelKey]):
        if len(fits) != len(keys):
            raise ValueError(f"Models: {len(fits)} fit(s) but {len(keys)} key(s)")
        self._fits = list(fits)
        self.keys = list(keys)

    def __len__(self) -> int:
        return len(self._fits)

    def __getitem__(self, index):
        if isinstance(index, slice):
            return Models(self._fits[index], self.keys[index])
        return self._fits[index]

    @property
    def names(self) -> list[str]:
        return [key.name for key in self.keys]

    def _stacked(self, pieces: list) -> pd.Series | pd.DataFrame:
        return pd.concat(pieces, keys=self.names, names=["model"])

    def coef(self) -> pd.Series:
        """Every model's estimates, indexed by (model, Coefficient)."""
        out = self._stacked([fit.coef().rename_axis("Coefficient") for fit in self._fits])
        return out.rename("Estimate")

    def se(self) -> pd.Series:
        """Every model's standard errors, indexed by (model, Coefficient)."""
        out = self._stacked([fit.se().rename_axis("Coefficient") for fit in self._fits])
        return out.rename("Std. Error")

    def tidy(self, level: float = 0.95) -> pd.DataFrame:
        """Every model's `tidy()` table, indexed by (model, Coefficient)."""
        return self._stacked([fit.tidy(level) for fit in self._fits])

    def __repr__(self) -> str:
        lines = [f"Models: {len(self)} estimate(s)"]
        for i, (key, fit) in enumerate(zip(self.keys, self._fits, strict=True)):
            lines.append(f"[{i}] {key.name}  (nobs = {fit.nobs:,})")
        return "\n".join(lines)
