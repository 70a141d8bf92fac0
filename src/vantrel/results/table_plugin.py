"""The attributes through which other packages' regression tables read a fit, without
vantrel depending on them.

`maketables` (the table package of pyfixest's ecosystem) finds any result object that has
``__maketables_coef_table__`` and reads the rest through the ``__maketables_*__`` attributes
below: ``maketables.ETable([vantrel_fit, statsmodels_fit])`` then renders a vantrel fit beside
other packages' models. Nothing here imports maketables.
"""

from __future__ import annotations

import math

import pandas as pd

# the statistics a fit answers for, by maketables' key
_STATS = {
    "N": lambda fit: fit.nobs,
    "r2": lambda fit: getattr(fit, "r2", None),
    "adj_r2": lambda fit: getattr(fit, "adj_r2", None),
    "r2_within": lambda fit: getattr(fit, "within_r2", None),
    "rmse": lambda fit: getattr(fit, "rmse", None),
    "se_type": lambda fit: fit.vcov_type if not fit.clusters else "by: " + "+".join(fit.clusters),
    "df_t": lambda fit: fit.df_t,
}


class TablePlugin:
    """What a fit shows to `maketables` (module text); mixed into `vantrel.results.fit.Fit`."""

    @property
    def __maketables_coef_table__(self) -> pd.DataFrame:
        """b, se, t, p and the 95% interval per coefficient, indexed by name."""
        bounds = self.confint(0.95)
        table = pd.DataFrame(
            {
                "b": self.coef(),
                "se": self.se(),
                "t": self.tstat(),
                "p": self.pvalue(),
                "ci95l": bounds.iloc[:, 0],
                "ci95u": bounds.iloc[:, 1],
            }
        )
        table.index.name = "Coefficient"
        return table

    def __maketables_stat__(self, key: str):
        """The statistic `key` ("N", "r2", "adj_r2", "r2_within", "rmse", "se_type",
        "df_t"), None for one the fit does not have (a within R-squared without fixed
        effects)."""
        reader = _STATS.get(key)
        if reader is None:
            return None
        value = reader(self)
        if isinstance(value, float) and math.isnan(value):
            return None
        return value

    @property
    def __maketables_depvar__(self) -> str:
        return self.depvar

    @property
    def __maketables_fixef_string__(self) -> str | None:
        return "+".join(self.fixef_labels) if self.fixef_labels else None

    @property
    def __maketables_vcov_info__(self) -> dict:
        return {"vcov_type": self.vcov_type, "clustervar": list(self.clusters) or None}

    @property
    def __maketables_default_stat_keys__(self) -> list[str]:
        return ["N", "r2", "r2_within"] if self.fixef_labels else ["N", "r2"]
