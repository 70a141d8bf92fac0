"""The result of `vantrel.feols`: the shared surface of every fit (`vantrel.results.fit.Fit`)
plus least squares' own: R-squared, RMSE, residuals and fitted values, and the regression
table in the layout of Stata's."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from vantrel.results.fit import Fit
from vantrel.results.summary import stata_style_summary

_SETYPE = {"iid": "homoskedastic", "hetero": "heteroskedastic", "CRV1": "cluster"}
# the covariances after the fit in the table's three kinds (its F test and notes)
_SETYPE.update(HC2="heteroskedastic", HC3="heteroskedastic", CRV3="cluster")
_SETYPE.update(NW="heteroskedastic", DK="heteroskedastic", conley="heteroskedastic")


@dataclass(repr=False, kw_only=True)
class FeolsResult(Fit):
    """An estimated linear model with fixed effects absorbed, as `vantrel.feols` returns it.

    The methods of every fit (`vantrel.results.fit.Fit`: ``coef()``, ``se()``, ``tidy()``,
    ``fixef()``, ``predict()``, ...) plus least squares' own: the fit statistics, the
    residuals and fitted values, and the regression table in the layout of Stata's.

    Attributes
    ----------
    formula : str
        The formula as given.
    depvar : str
        The dependent variable.
    coefnames : list of str
        The regressors kept, in the order of the estimates.
    beta : numpy.ndarray
        The estimates (``coef()`` labels them).
    vcov_type : str
        ``"iid"``, ``"hetero"`` or ``"CRV1"``.
    ssc : SSC
        The small-sample corrections applied.
    clusters : dict of str to int
        The number of clusters of each cluster variable (empty without clustering).
    df_t : int
        The degrees of freedom of the t statistics, p-values and intervals.
    df_k : int
        The parameters counted in the small-sample correction.
    nobs : int
        The observations used.
    nobs_dropped : dict of str to int
        The observations left out, by reason (``"missing"``, ``"singletons"``).
    fixef_labels : list of str
        The fixed effects as written (``"f2^f3"`` for an interaction).
    fixef_levels : dict of str to int
        The levels of each fixed effect in the estimation sample.
    absorption : dict
        What the absorption did: ``method``, ``iterations``, ``preconditioner`` and why
        (``reason``), and the engine for data out of memory.
    timings : dict of str to float
        Seconds spent in each stage.
    collinear : list of str
        The regressors dropped as collinear.
    messages : list of str
        The notices of the run (rows dropped, collinear regressors, ...).
    weights : str or None
        The weight column, or None.
    r2 : float
        R-squared.
    adj_r2 : float
        Adjusted R-squared.
    within_r2 : float
        R-squared of the absorbed (within) regression; NaN without fixed effects.
    rmse : float
        The root of the (weighted) mean squared residual.
    """

    estimator = "feols"

    r2: float
    adj_r2: float
    within_r2: float
    rmse: float
    _resid: np.ndarray | None = field(repr=False)
    # a model of a multiple estimation that shares its absorbed block forms its residuals
    # when first asked for: what gives them (None once they are formed, or for the rest)
    _resid_later: Callable[[], np.ndarray] | None = field(default=None, repr=False)

    def summary(self, vcov: object = None, ssc: object = None) -> pd.DataFrame:
        """Print the regression table in the layout of Stata's and return its coefficients.

        A line on the observations dropped comes first when some were.

        Parameters
        ----------
        vcov : str, dict or None, default None
            Another covariance, recomputed from the fit (see `with_vcov`); None: the fit's.
        ssc : str, SSC, dict or None, default None
            Its small-sample corrections (None: the type's defaults).

        Returns
        -------
        pandas.DataFrame
            One row per regressor: ``coef``, ``std_err``, ``t``, ``P>|t|`` and the 95%
            interval (``[0.025``, ``0.975]``).
        """
        if vcov is not None:
            return self.with_vcov(vcov, ssc).summary()
        for note in self._dropped_notes():
            print(note)
        K = len(self.coefnames)
        se = self.se().to_numpy()[:, np.newaxis]
        beta = self.beta[:, np.newaxis]
        setype = _SETYPE[self.vcov_type]
        labels = [label.replace("^", "#") for label in self.fixef_labels]
        records = None
        if self._fe_records is not None:
            records = {label.replace("^", "#"): record for label, record in self._fe_records.items()}
        clustvars = list(self.clusters) or None
        return stata_style_summary(
            None,
            self.coefnames,
            beta,
            se,
            beta / se,
            self.pvalue().to_numpy()[:, np.newaxis],
            self.df_t,
            self.nobs,
            K,
            sum(self.fixef_levels.values()) or 1,
            setype,
            fixedeffects=labels,
            clustvars=clustvars,
            N_cluster=list(self.clusters.values()) if clustvars else None,
            r_squared=self.r2,
            adj_r_squared=self.adj_r2,
            within_r_squared=None if np.isnan(self.within_r2) else self.within_r2,
            root_mse=self.rmse,
            fe_counts={label.replace("^", "#"): count for label, count in self.fixef_levels.items()},
            covmat=self.vcov_matrix,
            df_resid=self.df_t if setype != "cluster" else None,
            fe_redundancies=records,
            p_header="P>|t|",
        )

    # -- observations ---------------------------------------------------------------
    def resid(self) -> pd.Series:
        """Residuals y - fitted over the estimation sample.

        Returns
        -------
        pandas.Series
            One value per row of the estimation sample, labelled by the rows of the data.

        Raises
        ------
        ValueError
            When the estimate ran out of memory (DuckDB, Dask) and kept no per-row values.
        """
        self._require_rows("resid")
        return pd.Series(self._residuals(), index=self._sample.labels, name="resid")

    def fitted(self) -> pd.Series:
        """Fitted values (regressors and fixed effects) over the estimation sample.

        Returns
        -------
        pandas.Series
            One value per row of the estimation sample, labelled by the rows of the data.

        Raises
        ------
        ValueError
            When the estimate ran out of memory (DuckDB, Dask) and kept no per-row values.
        """
        self._require_rows("fitted")
        return pd.Series(self._sample.y - self._residuals(), index=self._sample.labels, name="fitted")

    def _residuals(self) -> np.ndarray | None:
        if self._resid is None and self._resid_later is not None:
            self._resid, self._resid_later = self._resid_later(), None
        return self._resid

    def _require_rows(self, method: str) -> None:
        # an estimate from data out of memory keeps no value per row
        if self._resid is None and self._resid_later is None:
            raise ValueError(
                f"{method}(): the estimate ran on {self.absorption.get('engine')!r} and keeps no value "
                "per row; predict(newdata) computes fitted values for rows you pass"
            )

    def _fit_line(self) -> str:
        return f"R2 = {self.r2:.4f}" + ("" if np.isnan(self.within_r2) else f", within R2 = {self.within_r2:.4f}")


def build_result(fml, formula, names, beta, cov, vcov_type, corrections, N, dropped, fit, k_fe, **rest):
    """The result of an estimate from its pieces, whichever engine formed them: the
    coefficients, the covariance stage's matrix and degrees of freedom, the fit statistics,
    and `rest`, the fields that differ between engines (per-row values, timings, ...)."""
    return FeolsResult(
        formula=fml,
        depvar=formula.depvar,
        coefnames=names,
        beta=beta,
        vcov_matrix=cov.matrix,
        vcov_type=vcov_type,
        ssc=corrections,
        clusters=cov.cluster_counts,
        df_t=cov.df_t,
        df_k=cov.df_k,
        nobs=N,
        nobs_dropped=dropped,
        r2=fit["r2"],
        adj_r2=fit["adj_r2"],
        within_r2=fit["within_r2"],
        rmse=fit["rmse"],
        fixef_labels=list(formula.fe_labels),
        fixef_levels=dict(zip(formula.fe_labels, k_fe, strict=True)),
        **rest,
    )
