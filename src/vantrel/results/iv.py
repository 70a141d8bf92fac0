"""The result of two-stage least squares (`vantrel.feols` with ``"... | endo ~ inst"``): a
least-squares fit (`FeolsResult`) whose coefficients are the second stage's, with the
first stages as fits of their own and the instruments' diagnostics."""

from __future__ import annotations

from dataclasses import dataclass, field, fields

import numpy as np
import pandas as pd

from vantrel.results.models import Models
from vantrel.results.ols import FeolsResult, build_result


@dataclass(repr=False, kw_only=True)
class IVResult(FeolsResult):
    """A two-stage least-squares estimate with fixed effects absorbed.

    Besides the attributes of `FeolsResult` (coefficients, covariance, R-squared of the
    structural residuals y - X b, which may be negative): ``endogenous`` (the endogenous
    regressors), ``instruments`` (the excluded instruments used), ``dropped_instruments``
    (those dropped as collinear, with a warning), ``first_stage`` (a `vantrel.Models` of
    the first stages, one least-squares fit per endogenous regressor on the exogenous
    regressors and the instruments, with the fit's fixed effects, covariance type and
    corrections: ``vantrel.etable(fit.first_stage)`` tabulates them) and
    ``iv_diagnostics()``.
    """

    estimator = "feols (2SLS)"

    endogenous: list[str] = field(default_factory=list)
    instruments: list[str] = field(default_factory=list)
    dropped_instruments: list[str] = field(default_factory=list)
    first_stage: Models | None = field(default=None, repr=False)
    _diagnostics: dict = field(default_factory=dict, repr=False)

    @classmethod
    def from_ols(cls, result: FeolsResult, *, endogenous, instruments, dropped_instruments, first_stage, diagnostics):
        values = {f.name: getattr(result, f.name) for f in fields(result)}
        return cls(
            **values,
            endogenous=list(endogenous),
            instruments=list(instruments),
            dropped_instruments=list(dropped_instruments),
            first_stage=first_stage,
            _diagnostics=dict(diagnostics),
        )

    def _inference_system(self, method: str):
        # The rows a covariance after the fit reads would be the second stage's (its fitted
        # endogenous regressors with the structural residuals); they are not kept yet, and the
        # least-squares block would give a covariance that is not two-stage least squares'.
        raise ValueError(
            f"{method}(): a covariance after the fit is not available for two-stage least squares yet; "
            "estimate again with feols(..., vcov=...) and vcov 'iid', 'hetero' or {'CRV1': ...}"
        )

    def iv_diagnostics(self) -> pd.Series:
        """The instruments' diagnostics, computed with the estimate.

        Returns
        -------
        pandas.Series
            Indexed by statistic:

            - ``first_stage_F[d]``, ``first_stage_p[d]``: per endogenous regressor d, the F
              statistic of its excluded instruments in its first stage (the Wald
              statistic over the number of instruments L) under the fit's covariance type
              and small-sample corrections, and its p-value from F(L, the first stage's
              degrees of freedom of t). The fixed effects are counted as in the second
              stage: the first stage's correction charges the same fixed-effect
              parameters (``ssc``'s ``k_fixef``) besides its own regressors, so under iid
              the statistic is the classical F with N - k - (fixed-effect parameters)
              degrees of freedom, k the regressors of the first stage.
            - ``cragg_donald_F``: the smallest eigenvalue of
              S^(-1/2) Pi' Z~'Z~ Pi S^(-1/2) over L, Pi the first stages' coefficients of
              the excluded instruments, Z~ those instruments with the fixed effects and
              exogenous regressors partialled out, and S the first stages' iid error
              covariance under the same corrections (for fixest's, V'V / (N - k - fixed
              effects)); with one endogenous regressor, the iid first-stage F.
            - ``kleibergen_paap_F``: Kleibergen and Paap's rk Wald statistic of
              rank(Pi) = R - 1 over L, with the covariance of Pi of the fit's vcov type
              and corrections (the joint covariance of all first stages). Under iid it
              equals ``cragg_donald_F``; with one endogenous regressor it is the
              first-stage F. NaN (with a warning) out of memory with several endogenous
              regressors and clustered errors.
            - ``effective_F`` (one endogenous regressor): Montiel Olea and Pflueger's
              pi' Z~'Z~ pi / trace(V Z~'Z~), V the covariance of pi under the fit's vcov
              (under iid errors, the first-stage F). pyfixest partials only the fixed
              effects out of Z~, not the exogenous regressors, and always takes the
              heteroskedastic V: the two agree under "hetero" without exogenous regressors.
            - ``wu_hausman``, ``wu_hausman_p``: the F test of the first stages' residuals
              added to the structural equation (the regression form of the Durbin-Wu-
              Hausman test of exogeneity, iid), with N - k - (fixed-effect parameters) - R
              denominator degrees of freedom.
            - when overidentified (L > R): ``sargan`` (iid: N u'P_Z u / u'u) or
              ``hansen_j`` (hetero, clusters: the two-step GMM criterion with the
              instruments' meat of the 2SLS residuals, no small-sample factor), with
              ``_df`` (L - R) and ``_p`` (chi-squared).

        Examples
        --------
        >>> fit = vantrel.feols("y ~ x | firm | d ~ z1 + z2", data)  # doctest: +SKIP
        >>> fit.iv_diagnostics()["effective_F"]  # doctest: +SKIP
        """
        return pd.Series(self._diagnostics, name="IV diagnostics", dtype=float)

    def _first_stage_line(self) -> str:
        parts = [f"{name}: {self._diagnostics[f'first_stage_F[{name}]']:.4g}" for name in self.endogenous]
        return "First-stage F (" + ", ".join(parts) + f"); instruments: {', '.join(self.instruments)}"

    def summary(self) -> pd.DataFrame:
        """Print the regression table (see `FeolsResult.summary`) followed by the
        first-stage F statistics, and return the coefficient table."""
        table = super().summary()
        print(self._first_stage_line())
        return table

    def _fit_line(self) -> str:
        return super()._fit_line() + "\n" + self._first_stage_line()


@dataclass(repr=False, kw_only=True)
class FirstStageResult(FeolsResult):
    """A first stage of two-stage least squares (a least-squares fit). Out of memory it keeps
    neither values per row nor fixed effects."""

    estimator = "feols (first stage)"

    def _inference_system(self, method: str):
        # The rows a covariance after the fit reads would be the second stage's (its fitted
        # endogenous regressors with the structural residuals); they are not kept yet, and the
        # least-squares block would give a covariance that is not two-stage least squares'.
        raise ValueError(
            f"{method}(): a covariance after the fit is not available for the first stages of two-stage "
            "least squares yet; "
            "estimate again with feols(..., vcov=...) and vcov 'iid', 'hetero' or {'CRV1': ...}"
        )

    def fixef(self) -> dict[str, pd.Series]:
        if self._resid is None and self.fixef_labels:
            raise ValueError(
                f"fixef(): the first stage {self.formula!r} ran on {self.absorption.get('engine')!r}, out of "
                "memory, where the first stages' fixed effects are not recovered; estimate it with feols to get them"
            )
        return super().fixef()


def first_stage_result(fml, depvar, names, beta, cov, vcov_type, corrections, N, dropped, fit, formula, k_fe, **rest):
    """A first stage's fit from its pieces (see `vantrel.results.ols.build_result`)."""
    ols = build_result(
        fml, formula, names, np.asarray(beta), cov, vcov_type, corrections, N, dropped, fit, k_fe, **rest
    )
    values = {f.name: getattr(ols, f.name) for f in fields(ols)}
    values["depvar"] = depvar
    return FirstStageResult(**values)
