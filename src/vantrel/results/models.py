"""The result of a multiple estimation: a sequence of fits, each named by its sample,
fixed effects, outcome and right-hand side, with their tables side by side."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import pandas as pd


@dataclass(frozen=True)
class ModelKey:
    """What distinguishes one model of a multiple estimation from the others.

    Attributes
    ----------
    sample : str
        ``"Full sample"`` or ``"column = value"``.
    fixef : str
        The fixed effects as written (``""`` for none).
    lhs : str
        The outcome.
    rhs : str
        The right-hand side.
    fml : str
        The model's formula.
    split : bool
        Whether the estimation split the sample (the name then says which part).
    """

    sample: str
    fixef: str
    lhs: str
    rhs: str
    fml: str
    split: bool  # whether the estimation split the sample (the name then says which part)

    @property
    def name(self) -> str:
        """The model's formula, and its sample when the estimation split the data."""
        return f"{self.fml} (sample: {self.sample})" if self.split else self.fml


class Models(Sequence):
    """The fits of a multiple estimation, as `vantrel.feols` returns them.

    The fits are in fixest's order: by sample, then fixed effects, then outcome, then
    right-hand side. `Models` is a sequence: ``len(models)``, ``models[i]`` (a
    `FeolsResult`; a slice gives `Models`) and iteration. ``coef()``, ``se()`` and
    ``tidy()`` stack every model's, under an index level ``model`` holding its name.

    Parameters
    ----------
    fits : list of FeolsResult
        The fits.
    keys : list of ModelKey
        What distinguishes each fit, in the same order.

    Attributes
    ----------
    keys : list of ModelKey
        Each model's sample, fixed effects, outcome and right-hand side.

    Raises
    ------
    ValueError
        When `fits` and `keys` differ in length.
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
        """Each model's name: its formula, and its sample when the estimation split the data."""
        return [key.name for key in self.keys]

    def _stacked(self, pieces: list) -> pd.Series | pd.DataFrame:
        return pd.concat(pieces, keys=self.names, names=["model"])

    def coef(self) -> pd.Series:
        """Every model's estimates.

        Returns
        -------
        pandas.Series
            Indexed by (model, Coefficient).
        """
        out = self._stacked([fit.coef().rename_axis("Coefficient") for fit in self._fits])
        return out.rename("Estimate")

    def se(self) -> pd.Series:
        """Every model's standard errors.

        Returns
        -------
        pandas.Series
            Indexed by (model, Coefficient).
        """
        out = self._stacked([fit.se().rename_axis("Coefficient") for fit in self._fits])
        return out.rename("Std. Error")

    def tidy(self, level: float = 0.95) -> pd.DataFrame:
        """Every model's `tidy()` table, one under the other.

        Parameters
        ----------
        level : float, default 0.95
            The coverage of the confidence intervals.

        Returns
        -------
        pandas.DataFrame
            Indexed by (model, Coefficient).
        """
        return self._stacked([fit.tidy(level) for fit in self._fits])

    def __repr__(self) -> str:
        lines = [f"Models: {len(self)} estimate(s)"]
        for i, (key, fit) in enumerate(zip(self.keys, self._fits, strict=True)):
            lines.append(f"[{i}] {key.name}  (nobs = {fit.nobs:,})")
        return "\n".join(lines)
