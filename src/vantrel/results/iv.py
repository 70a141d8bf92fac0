"""The result of two-stage least squares (`vantrel.feols` with ``"... | endo ~ inst"``): a
least-squares fit (`FeolsResult`) whose coefficients are the second stage's, with the
first stages as fits of their own and the instruments' diagnostics."""

from __future__ import annotations

from dataclasses import dataclass, field, fields

import numpy as np
import pandas as pd

from vantrel.inference.kinds import read_after_fit
from vantrel.results.models import Models
from vantrel.results.ols import FeolsResult, build_result

# What every covariance after the fit of two-stage least squares can read: the sandwich of
# least squares on the second stage's regressors [exogenous, fitted endogenous] with the
# structural residuals, the same one the estimate forms. These covariances are something
# else for two-stage least squares (the leverages and leave-one-cluster-out fits of both
# stages, the bootstrap that redraws both), so they are refused rather than computed on
# the second stage alone.
_AVAILABLE = "'iid', 'hetero', {'CRV1': ...} (one or more ways), {'NW': ...}, {'DK': ...} and {'conley': ...}"
_NOT_TWO_STAGE = {
    "HC2": "HC2 of two-stage least squares needs the leverages of both stages, not those of its second stage alone",
    "HC3": "HC3 of two-stage least squares needs the leverages of both stages, not those of its second stage alone",
    "CRV3": "CRV3 of two-stage least squares is the jackknife that estimates both stages again without each cluster",
    "wildboottest": (
        "the wild bootstrap of two-stage least squares is the wild restricted efficient (WRE) bootstrap, which "
        "redraws both stages (the least-squares bootstrap of the second stage alone would not be it)"
    ),
    "cluster_leverage": (
        "the clusters' leverages and leave-one-cluster-out estimates of two-stage least squares estimate both "
        "stages again without each cluster"
    ),
}


def _refusal(what: str, kind: str) -> str:
    return (
        f"{what}: {_NOT_TWO_STAGE[kind]}; it is not available for two-stage least squares. The covariances after "
        f"the fit of two-stage least squares are {_AVAILABLE}; the first stages (fit.first_stage) are "
        "least-squares fits and take every covariance and the wild bootstrap"
    )


def _vcov_label(fit) -> str:
    """The covariance a fit's statistics are under, as the display names it."""
    return fit.vcov_type + (f" ({' + '.join(fit.clusters)})" if fit.clusters else "")


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
    ``iv_diagnostics()``. Covariances after the fit (`with_vcov`, and ``vcov=`` of
    ``se``, ``tidy``, ``summary``, ``wald_test`` and `vantrel.etable`) are the second
    stage's sandwich with the structural residuals, as at the estimate.
    """

    estimator = "feols (2SLS)"

    endogenous: list[str] = field(default_factory=list)
    instruments: list[str] = field(default_factory=list)
    dropped_instruments: list[str] = field(default_factory=list)
    first_stage: Models | None = field(default=None, repr=False)
    _diagnostics: dict = field(default_factory=dict, repr=False)
    # the covariance the diagnostics were computed under (with_vcov leaves them as estimated)
    _diagnostics_vcov: str = field(default="", repr=False)
    # how the second stage's regressors are formed from the working block [u, columns...]:
    # the block's columns of the exogenous regressors and instruments Z, and Pi (Z Pi)
    _second_stage: tuple | None = field(default=None, repr=False)

    @classmethod
    def from_ols(
        cls,
        result: FeolsResult,
        *,
        endogenous,
        instruments,
        dropped_instruments,
        first_stage,
        diagnostics,
        second_stage=None,
    ):
        values = {f.name: getattr(result, f.name) for f in fields(result)}
        return cls(
            **values,
            endogenous=list(endogenous),
            instruments=list(instruments),
            dropped_instruments=list(dropped_instruments),
            first_stage=first_stage,
            _diagnostics=dict(diagnostics),
            _diagnostics_vcov=_vcov_label(result),
            _second_stage=second_stage,
        )

    def with_vcov(self, vcov: object, ssc: object = None) -> IVResult:
        """A copy of the fit with the covariance `vcov`, recomputed from what the fit keeps:
        the same numbers as estimating with ``vcov=vcov`` (see `FeolsResult.with_vcov` for
        the corrections' defaults).

        The covariance is the sandwich of least squares on the second stage's regressors
        (the exogenous ones and the fitted endogenous ones) with the structural residuals
        y - X b (the actual endogenous regressors), as at the estimate.

        Parameters
        ----------
        vcov : str or dict
            ``"iid"``, ``"hetero"`` (``"HC1"``), ``{"CRV1": "a+b"}``,
            ``{"NW": {"time": t, "panel": p, "lag": L}}``, ``{"DK": {"time": t, "lag": L}}``
            or ``{"conley": {"lat": a, "lon": b, "cutoff": km}}``.
        ssc : None, str, SSC or dict
            Small-sample corrections; None takes the type's defaults.

        Returns
        -------
        IVResult
            Estimates unchanged, with the covariance, degrees of freedom and corrections
            of `vcov`. ``iv_diagnostics()`` and the first stages stay as estimated (the
            summary's first-stage line then names the covariance they are under).

        Raises
        ------
        ValueError
            For ``"HC2"``, ``"HC3"`` and ``{"CRV3": ...}``, which are not the least-squares
            formula on the second stage for two-stage least squares (not available), and
            as `FeolsResult.with_vcov`.

        Examples
        --------
        >>> fit = vantrel.feols("y ~ x | firm | d ~ z1 + z2", data)  # doctest: +SKIP
        >>> fit.with_vcov({"CRV1": "firm"}).se()  # doctest: +SKIP
        """
        after = read_after_fit(vcov)
        if after is not None and after.kind in _NOT_TWO_STAGE:
            raise ValueError(_refusal(f"vcov = {vcov!r}", after.kind))
        return super().with_vcov(vcov, ssc)

    def _inference_system(self, method: str):
        if method in _NOT_TWO_STAGE:
            raise ValueError(_refusal(f"{method}()", method))
        return super()._inference_system(method)

    def _working_block(self) -> np.ndarray:
        # [u, Z Pi]: the structural residuals and the second stage's regressors, from the
        # absorbed (and weighted) columns the estimate kept
        if self._second_stage is None:
            return super()._working_block()
        columns, Pi = self._second_stage
        working = self._sample.working
        block = np.empty((working.shape[0], 1 + Pi.shape[1]))
        block[:, 0] = working[:, 0]
        block[:, 1:] = working[:, columns] @ Pi
        return block

    def iv_diagnostics(self) -> pd.Series:
        """The instruments' diagnostics, computed with the estimate under its covariance
        (a fit from `with_vcov` keeps them as estimated; estimate with ``vcov=`` for the
        diagnostics under another covariance).

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
        line = "First-stage F (" + ", ".join(parts) + f"); instruments: {', '.join(self.instruments)}"
        if self._diagnostics_vcov and self._diagnostics_vcov != _vcov_label(self):
            line += f"; the diagnostics are under the estimate's vcov {self._diagnostics_vcov}"
        return line

    def summary(self, vcov: object = None, ssc: object = None) -> pd.DataFrame:
        """Print the regression table (see `FeolsResult.summary`) followed by the
        first-stage F statistics, and return the coefficient table.

        Parameters
        ----------
        vcov : str, dict or None, default None
            Another covariance, recomputed from the fit (see `with_vcov`); None: the fit's.
        ssc : str, SSC, dict or None, default None
            Its small-sample corrections (None: the type's defaults).

        Returns
        -------
        pandas.DataFrame
            The coefficient table of `FeolsResult.summary`.
        """
        if vcov is not None:
            return self.with_vcov(vcov, ssc).summary()
        table = super().summary()
        print(self._first_stage_line())
        return table

    def _fit_line(self) -> str:
        return super()._fit_line() + "\n" + self._first_stage_line()


@dataclass(repr=False, kw_only=True)
class FirstStageResult(FeolsResult):
    """A first stage of two-stage least squares (a least-squares fit). In memory it takes
    every covariance after the fit and the wild bootstrap, as the same regression estimated
    with `vantrel.feols` does; out of memory it keeps neither values per row nor fixed
    effects."""

    estimator = "feols (first stage)"

    # its columns in the working block the two-stage estimate kept (shared, not copied):
    # the endogenous regressor's and those of its regressors Z
    _block_columns: tuple | None = field(default=None, repr=False)

    def _working_block(self) -> np.ndarray:
        # [d - Z pi, Z], formed when a covariance asks for it
        if self._block_columns is None:
            return super()._working_block()
        own, columns = self._block_columns
        working = self._sample.working
        block = np.empty((working.shape[0], 1 + len(columns)))
        block[:, 1:] = working[:, columns]
        block[:, 0] = working[:, own] - block[:, 1:] @ self.beta
        return block

    def fixef(self) -> dict[str, pd.Series]:
        if self._resid is None and self.fixef_labels:
            raise ValueError(
                f"fixef(): the first stage {self.formula!r} ran on {self.absorption.get('engine')!r}, out of "
                "memory, where the first stages' fixed effects are not recovered; estimate it with feols to get them"
            )
        return super().fixef()


def first_stage_result(fml, depvar, names, beta, cov, vcov_type, corrections, N, dropped, fit, formula, k_fe, **rest):
    """A first stage's fit from its pieces (see `vantrel.results.ols.build_result`)."""
    block_columns = rest.pop("_block_columns", None)
    ols = build_result(
        fml, formula, names, np.asarray(beta), cov, vcov_type, corrections, N, dropped, fit, k_fe, **rest
    )
    values = {f.name: getattr(ols, f.name) for f in fields(ols)}
    values["depvar"] = depvar
    return FirstStageResult(**values, _block_columns=block_columns)
