"""The result of `vantrel.fepois`: the shared surface of every fit (`vantrel.results.fit.Fit`)
plus the Poisson model's own: deviance, log-likelihood, pseudo R-squared, the reweighted
least squares' iterations, the separated observations, and predictions on the scale of the
response or of the linear predictor."""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field

import numpy as np
import pandas as pd
import scipy.stats

from vantrel.core.options import notice
from vantrel.formula.design import float_values, is_numeric, used_columns
from vantrel.results.fit import Fit

_TYPES = ("response", "link")

SEPARATION_NAMES = {
    "fe": "in a fixed-effect group whose outcome is zero in every row",
    "simplex": "separated by the regressors (simplex)",
    "relu": "separated by the regressors and fixed effects together (rectifier)",
}


def separation_note(method: str, count: int) -> str:
    """The notice of `count` observations dropped as separated by `method`."""
    noun = "observation" if count == 1 else "observations"
    return f"{count:,} {noun} dropped as separated: {SEPARATION_NAMES[method]} (separation = {method!r})"


def report_separated(counts: dict[str, int], messages: list[str]) -> None:
    """Warn of each method's separated observations (at fepois's caller) and keep the
    notice in the fit's `messages`."""
    for method, count in counts.items():
        if count:
            text = separation_note(method, count)
            # at the line that called fepois: here, the separation stage, estimate, fepois
            warnings.warn(text, UserWarning, stacklevel=5)
            notice(text, messages)


def _check_type(type: str) -> str:
    if type not in _TYPES:
        raise ValueError(f"type must be one of {_TYPES}, got {type!r}")
    return type


@dataclass(repr=False, kw_only=True)
class FepoisResult(Fit):
    """An estimated Poisson model with fixed effects absorbed (see `vantrel.fepois`).

    Besides the attributes of every fit (`vantrel.results.fit.Fit`): ``deviance``,
    ``null_deviance`` and ``loglik``, ``loglik_null`` (of the model with a constant only),
    ``pseudo_r2`` (McFadden's, 1 - loglik / loglik_null), ``iterations`` (outer: the
    reweighted least squares; inner: the absorption's in each), ``separated`` (the
    observations each separation method dropped), ``separated_index`` (their labels: the
    data's index for a pandas frame, row positions otherwise) and ``offset`` (the offset
    column or None).

    Covariances after the fit (``with_vcov``, ``se(vcov=...)``, ``wald_test``) take
    "iid", "hetero", CRV1 and the HAC kinds: each is a function of the scores and the
    information matrix at the estimate, the sandwich of the last weighted least squares with
    the dispersion fixed at one. HC2/HC3, CRV3 and the wild bootstrap are refused: their
    leverages and refits are not those of that least-squares step.
    """

    estimator = "fepois"

    deviance: float
    null_deviance: float
    loglik: float
    loglik_null: float
    pseudo_r2: float
    iterations: dict
    separated: dict[str, int]
    separated_index: pd.Index
    offset: str | None
    _eta: np.ndarray = field(repr=False)
    _offset_values: np.ndarray | None = field(repr=False)
    _working_resid: np.ndarray = field(repr=False)

    _AFTER_FIT_KINDS = ("iid", "hetero", "CRV1", "NW", "DK", "conley")

    def _inference_system(self, method: str):
        if method in ("wildboottest", "cluster_leverage"):
            raise ValueError(
                f"{method}(): not available for Poisson fits (the wild bootstrap and the cluster leverages are "
                "those of least squares); use with_vcov / se(vcov=...) with 'hetero' or {'CRV1': ...}"
            )
        system = super()._inference_system(method)
        system.dispersion, system.kinds, system.estimator = 1.0, self._AFTER_FIT_KINDS, "fepois"
        return system

    # -- inference: z statistics, as fixest and pyfixest read a likelihood's -----------
    def tstat(self) -> pd.Series:
        """z statistics: the estimates over their standard errors."""
        return super().tstat().rename("z value")

    def pvalue(self) -> pd.Series:
        """Two-sided p-values from the standard normal distribution (the asymptotics of a
        maximum-likelihood estimate; fixest and pyfixest do the same for Poisson)."""
        z = self.tstat().to_numpy()
        return pd.Series(2.0 * scipy.stats.norm.sf(np.abs(z)), index=self.coefnames, name="Pr(>|z|)")

    def confint(self, level: float = 0.95) -> pd.DataFrame:
        """Confidence intervals at `level` from the standard normal distribution."""
        table = super().confint(level)  # the level's checks and the columns' labels
        half = scipy.stats.norm.ppf((1 + level) / 2) * self.se().to_numpy()
        table.iloc[:, 0], table.iloc[:, 1] = self.beta - half, self.beta + half
        return table

    # -- observations ---------------------------------------------------------------
    def fitted(self, type: str = "response") -> pd.Series:
        """Fitted values over the estimation sample: the mean exp(eta) (``type="response"``)
        or the linear predictor eta, the offset included (``type="link"``)."""
        eta = self._eta if _check_type(type) == "link" else np.exp(self._eta)
        return pd.Series(eta, index=self._sample.labels, name="fitted")

    def resid(self, type: str = "response") -> pd.Series:
        """Residuals over the estimation sample: y - mu (``type="response"``) or the
        working residuals of the last weighted least squares (``type="working"``)."""
        if type == "working":
            values = self._working_resid
        elif type == "response":
            values = self._sample.y - np.exp(self._eta)
        else:
            raise ValueError(f"type must be 'response' or 'working', got {type!r}")
        return pd.Series(values, index=self._sample.labels, name="resid")

    def predict(self, newdata: object = None, type: str = "response") -> pd.Series:
        """Predictions: without `newdata` the fitted values; with it, the regressors' part
        plus the fixed effects of each row's levels (and the offset column of `newdata`,
        when the model has one), exponentiated for ``type="response"``. NaN for a row with
        a missing value in a column the model reads or with a level not in the estimation
        sample."""
        _check_type(type)
        if newdata is None:
            return self.fitted(type)
        eta = self._linear_predictor(newdata)
        if self.offset is not None:
            frame = used_columns(newdata, [self.offset], {self.offset: "newdata"})
            if not is_numeric(frame[self.offset]):
                raise TypeError(
                    f"newdata: offset column {self.offset!r} must be numeric, got {frame[self.offset].dtype}"
                )
            eta = eta + float_values(frame[self.offset])
        return eta if type == "link" else np.exp(eta).rename("prediction")

    def _fixef_target(self) -> np.ndarray:
        # what the fixed effects explain: the linear predictor less the offset and the regressors
        eta = self._eta if self._offset_values is None else self._eta - self._offset_values
        return eta - self._xb_sample()

    # -- display --------------------------------------------------------------------
    def _header(self) -> str:
        text = super()._header()
        if self.offset:
            text += f"\noffset = {self.offset}"
        return text

    def _dropped_notes(self, counts=None) -> list[str]:
        # the separated rows get a line each, naming the method, instead of the common
        # line's "(separation (fe))"
        others = {k: v for k, v in self.nobs_dropped.items() if not k.startswith("separation")}
        notes = super()._dropped_notes(others)
        return notes + ["NOTE: " + separation_note(m, n) for m, n in self.separated.items() if n]

    def _fit_line(self) -> str:
        return (
            f"Deviance = {self.deviance:.6g}, log-likelihood = {self.loglik:.6g}, pseudo R2 = {self.pseudo_r2:.4f}, "
            f"iterations = {self.iterations['outer']}"
        )

    def summary(self, vcov: object = None, ssc: object = None) -> pd.DataFrame:
        """Print the header (model, sample, covariance, fixed effects and the observations
        dropped, by reason), the coefficient table and the fit statistics; return the
        coefficient table.

        Parameters
        ----------
        vcov : str, dict or None, default None
            Another covariance, recomputed from the fit (see `with_vcov`); None: the fit's.
        ssc : str, SSC, dict or None, default None
            Its small-sample corrections (None: the type's defaults).

        Returns
        -------
        pandas.DataFrame
            The coefficient table of `tidy`.
        """
        if vcov is not None:
            return self.with_vcov(vcov, ssc).summary()
        table = self.tidy()
        print(self._header())
        print(table.to_string(float_format=lambda v: f"{v:.6g}"))
        print(self._fit_line())
        return table
