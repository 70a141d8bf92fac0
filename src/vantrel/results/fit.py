"""What every estimate returns, whichever estimator made it: estimates labelled by regressor
name, inference under the chosen covariance, the fixed effects, prediction on new data, and
the display. Each estimator's result class (`vantrel.results.ols.FeolsResult`, ...) adds what
is its own: its fit statistics, per-row values and regression table."""

from __future__ import annotations

import dataclasses
import html
import numbers
import warnings
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd
import scipy.stats

from vantrel.core.recovery import NOT_CONVERGED, backfit
from vantrel.core.sample import rows_with_values
from vantrel.core.slopes import normalise, recover_values
from vantrel.formula.design import Design, float_values, formulaic_frame, is_numeric, over_rows, used_columns
from vantrel.formula.slopes import slope_names
from vantrel.inference.after_fit import InferenceSystem, recompute
from vantrel.inference.stats import two_sided_p
from vantrel.results.event_study import aggregate as aggregate_cells
from vantrel.results.table_plugin import TablePlugin


@dataclass
class Sample:
    """What post-estimation methods read again: the used columns of the caller's table and
    the positions of the estimation sample among its rows."""

    frame: pd.DataFrame
    rows: np.ndarray | None  # None: every row
    labels: pd.Index
    y: np.ndarray  # dependent variable over the sample
    weights: np.ndarray | None
    fe_codes: list[np.ndarray]
    fe_variables: list[list[str]]
    design: Design
    # what covariances after the fit read (None out of memory): the caller's table (for
    # columns the model did not read, such as another cluster variable), the working
    # block of the estimate (see `vantrel.inference.after_fit.InferenceSystem`) and the
    # sample's absorption of the fixed effects
    data: object = None
    working: np.ndarray | None = None
    absorber: object = None
    slopes: list | None = None  # varying slopes: per effect (intercept, slope variables or None)

    def take(self, values):
        return values if self.rows is None else values[self.rows]


@dataclass(repr=False, kw_only=True)
class Fit(TablePlugin):
    """An estimate with fixed effects absorbed.

    Attributes: ``formula``, ``depvar``, ``coefnames``, ``nobs`` (observations used),
    ``nobs_dropped`` (by reason), ``vcov_type``, ``ssc`` (the corrections applied),
    ``clusters`` (cluster counts), ``df_t`` (degrees of freedom of t and p), ``df_k``
    (parameters counted in the correction), ``fixef_levels`` (levels per effect),
    ``absorption`` (iterations and method of the absorption), ``timings`` (seconds per
    stage), ``collinear`` (regressors dropped), ``messages`` (notices of the run),
    ``weights`` (the weight column or None).
    """

    # the estimator's name, at the head of the display
    estimator = "fit"

    formula: str
    depvar: str
    coefnames: list[str]
    beta: np.ndarray
    vcov_matrix: np.ndarray
    vcov_type: str
    ssc: Any
    clusters: dict[str, int]
    df_t: int
    df_k: int
    nobs: int
    nobs_dropped: dict[str, int]
    fixef_labels: list[str]
    fixef_levels: dict[str, int]
    absorption: dict[str, Any]
    timings: dict[str, float]
    collinear: list[str]
    messages: list[str]
    weights: str | None
    _sample: Sample = field(repr=False)
    _fe_records: dict | None = field(default=None, repr=False)
    _fixef_cache: dict | None = field(default=None, repr=False)

    # -- coefficients and inference ------------------------------------------------
    def coef(self) -> pd.Series:
        """The estimates.

        Returns
        -------
        pandas.Series
            One estimate per regressor, labelled by its name.
        """
        return pd.Series(self.beta, index=self.coefnames, name="Estimate")

    def se(self, vcov: object = None, ssc: object = None) -> pd.Series:
        """Standard errors under ``vcov_type`` and ``ssc``, or under `vcov`.

        Parameters
        ----------
        vcov : str, dict or None, default None
            Another covariance, recomputed from the fit (see `with_vcov`); None: the fit's.
        ssc : str, SSC, dict or None, default None
            Its small-sample corrections (None: the type's defaults).

        Returns
        -------
        pandas.Series
            One standard error per regressor, labelled by its name.
        """
        if vcov is not None:
            return self.with_vcov(vcov, ssc).se()
        return pd.Series(np.sqrt(np.diag(self.vcov_matrix)), index=self.coefnames, name="Std. Error")

    def tstat(self) -> pd.Series:
        """t statistics: the estimates over their standard errors.

        Returns
        -------
        pandas.Series
            One t statistic per regressor, labelled by its name.
        """
        return pd.Series(self.beta / self.se().to_numpy(), index=self.coefnames, name="t value")

    def pvalue(self) -> pd.Series:
        """Two-sided p-values from Student's t with ``df_t`` degrees of freedom.

        Returns
        -------
        pandas.Series
            One p-value per regressor, labelled by its name.
        """
        return pd.Series(two_sided_p(self.tstat().to_numpy(), self.df_t), index=self.coefnames, name="Pr(>|t|)")

    def confint(self, level: float = 0.95) -> pd.DataFrame:
        """Confidence intervals from Student's t with ``df_t`` degrees of freedom.

        Parameters
        ----------
        level : float, default 0.95
            The coverage, a number between 0 and 1.

        Returns
        -------
        pandas.DataFrame
            One row per regressor; the columns are the bounds, named by their quantile
            (``"2.5%"``, ``"97.5%"`` at 0.95).

        Raises
        ------
        TypeError
            When `level` is not a number.
        ValueError
            When `level` is not between 0 and 1.
        """
        if isinstance(level, bool) or not isinstance(level, numbers.Real):
            raise TypeError(
                f"level must be a number between 0 and 1 such as 0.95, got {level!r} ({type(level).__name__})"
            )
        if not 0 < level < 1:
            raise ValueError(f"level must be between 0 and 1, got {level!r}")
        half = scipy.stats.t.ppf((1 + level) / 2, self.df_t) * self.se().to_numpy()
        lower, upper = f"{(1 - level) / 2 * 100:.1f}%", f"{(1 + level) / 2 * 100:.1f}%"
        return pd.DataFrame({lower: self.beta - half, upper: self.beta + half}, index=self.coefnames)

    @property
    def vcov(self) -> pd.DataFrame:
        """The covariance matrix of the estimates under ``vcov_type`` and ``ssc``.

        Returns
        -------
        pandas.DataFrame
            K x K, rows and columns labelled by regressor name.
        """
        return pd.DataFrame(self.vcov_matrix, index=self.coefnames, columns=self.coefnames)

    def tidy(self, level: float = 0.95, vcov: object = None, ssc: object = None) -> pd.DataFrame:
        """The coefficient table: estimate, standard error, t, p and confidence interval.

        Parameters
        ----------
        level : float, default 0.95
            The coverage of the interval.
        vcov : str, dict or None, default None
            Another covariance, recomputed from the fit (see `with_vcov`); None: the fit's.
        ssc : str, SSC, dict or None, default None
            Its small-sample corrections (None: the type's defaults).

        Returns
        -------
        pandas.DataFrame
            One row per regressor (index ``Coefficient``). Its ``attrs`` hold the
            observations used (``nobs``) and those dropped, by reason (``nobs_dropped``).
        """
        if vcov is not None:
            return self.with_vcov(vcov, ssc).tidy(level)
        table = pd.concat([self.coef(), self.se(), self.tstat(), self.pvalue(), self.confint(level)], axis=1)
        table.index.name = "Coefficient"
        table.attrs.update(nobs=self.nobs, nobs_dropped=dict(self.nobs_dropped))
        return table

    def with_vcov(self, vcov: object, ssc: object = None) -> Fit:
        """A copy of the fit with the covariance `vcov`, recomputed from what the fit keeps
        (no estimate runs again): the same numbers as estimating with ``vcov=vcov``.

        Parameters
        ----------
        vcov : str or dict
            Any covariance the estimator takes: ``"iid"``, ``"hetero"`` (``"HC1"``),
            ``"HC2"``, ``"HC3"`` (or ``{"HC3": {"leverage": "random", "draws": 512}}``),
            ``{"CRV1": "a+b"}``, ``{"CRV3": "a+b"}``,
            ``{"NW": {"time": t, "panel": p, "lag": L}}``, ``{"DK": {"time": t, "lag": L}}``,
            ``{"conley": {"lat": a, "lon": b, "cutoff": km}}``. Columns the model did not
            read (a new cluster variable) are read from the estimation's data.
        ssc : None, str, SSC or dict
            Small-sample corrections; None takes the type's defaults (table below).

        Returns
        -------
        Fit
            A fit of the same class, estimates unchanged, with ``vcov``, ``se()``,
            ``pvalue()``, ``confint()``, ``vcov_type``, ``ssc``, ``clusters``, ``df_t``
            and ``df_k`` of `vcov`.

        Raises
        ------
        ValueError
            For an estimate out of memory (which keeps no rows), a column with no value in
            rows of the sample (the estimate would have dropped them), an argument that is
            not a covariance.

        Notes
        -----
        Defaults of the corrections and of t's degrees of freedom (fixest's where fixest
        has the type):

        ==========  =================================  ===================
        vcov        factor                             t's df
        ==========  =================================  ===================
        iid         (N-1)/(N-k)                        N - k
        hetero/HC1  N/(N-k)                            N - k
        HC2, HC3    none (the leverages correct)       N - k
        CRV1        (N-1)/(N-k) G/(G-1), G = min       min(G) - 1
        CRV3        (N-1)/(N-k) G/(G-1), as pyfixest  min(G) - 1
        NW, DK      (N-1)/(N-k) T/(T-1), T periods     T - 1
        conley      (N-1)/(N-k)                        N - k
        ==========  =================================  ===================

        k counts the regressors and the fixed-effect parameters, less those of effects
        nested in a cluster (the panel or time variable for NW and DK). Estimators other
        than least squares get every type through `_inference_system`.

        Examples
        --------
        >>> fit = vantrel.feols("y ~ x | firm", data)  # doctest: +SKIP
        >>> fit.with_vcov({"CRV3": "firm"}).se()  # doctest: +SKIP
        """
        cov, vcov_type, corrections = recompute(self._inference_system("with_vcov"), vcov, ssc)
        return dataclasses.replace(
            self,
            vcov_matrix=cov.matrix,
            vcov_type=vcov_type,
            ssc=corrections,
            clusters=cov.cluster_counts,
            df_t=cov.df_t,
            df_k=cov.df_k,
            messages=self.messages + list(cov.notes or []),
        )

    def cluster_leverage(self, cluster: str) -> pd.DataFrame:
        """The clusters' influence, as summclust reports it.

        Parameters
        ----------
        cluster : str
            The cluster column (read from the estimation's data when the model did not).

        Returns
        -------
        pandas.DataFrame
            One row per cluster value: ``nobs``, ``leverage`` (trace of X_g (X'X)^-1 X_g'
            on the absorbed regressors; the leverages sum to the number of regressors)
            and ``beta_no_g[name]``, each estimate without the cluster's rows (the
            leave-one-out fits of CRV3). ``describe()`` gives summclust's summary.

        Raises
        ------
        ValueError
            As `with_vcov`, and where leaving a cluster out leaves the regressors
            collinear.
        """
        from vantrel.inference.jackknife import cluster_leverage

        system = self._inference_system("cluster_leverage")
        return cluster_leverage(system, cluster, self.coefnames, np.linalg.inv(system.X.T @ system.X))

    def wald_test(self, R, q=0.0, vcov: object = None, ssc: object = None) -> pd.Series:
        """Joint Wald test of ``R @ beta = q`` under the fit's covariance (or `vcov`).

        Parameters
        ----------
        R : array_like or DataFrame
            J x K restrictions (one column per coefficient, in ``coefnames`` order; a 1-D
            array is one restriction; a DataFrame's columns name the coefficients).
        q : float or array_like
            The restricted values (one per row of R).
        vcov : str, dict or None, default None
            Another covariance, recomputed from the fit (see `with_vcov`); None: the fit's.
        ssc : str, SSC, dict or None, default None
            Its small-sample corrections (None: the type's defaults).

        Returns
        -------
        pandas.Series
            ``F`` (W / J) and ``Pr(>F)`` from F(J, ``df_t``), ``chi2`` (W) and ``Pr(>chi2)``,
            ``df1`` (J) and ``df2`` (``df_t``).

        Raises
        ------
        ValueError
            When R or q has the wrong shape or R's rows are dependent.

        Examples
        --------
        >>> fit.wald_test([[1, 0], [0, 1]])  # doctest: +SKIP
        """
        from vantrel.inference.wald import wald_test

        if vcov is not None:
            return self.with_vcov(vcov, ssc).wald_test(R, q)
        return wald_test(self.beta, self.vcov_matrix, self.coefnames, self.df_t, R, q)

    def wildboottest(
        self,
        param,
        r=0.0,
        cluster=None,
        B=9999,
        weights="rademacher",
        impose_null=True,
        seed=None,
        level=0.95,
        progress=None,
    ):
        """Wild cluster bootstrap test of ``param = r``, every fixed effect absorbed.

        Parameters
        ----------
        param : str
            The coefficient tested.
        r : float
            Its value under the null.
        cluster : str, optional
            The cluster variable (a column the fit read); None: the fit's own one-way cluster.
        B : int
            Draws; with Rademacher weights and 2**G <= B every sign vector once instead.
        weights : {"rademacher", "webb", "mammen", "normal"}
            The distribution of the cluster weights.
        impose_null : bool
            True: restricted residuals (WCR); False: unrestricted (WCU).
        seed : int or numpy.random.Generator, optional
            Seed of the draws (numpy's default_rng).
        level : float
            Level of the confidence interval.
        progress : bool, optional
            Stage lines on stderr, as in `vantrel.feols`.

        Returns
        -------
        vantrel.inference.bootstrap.WildBootstrap
            t, p-value, the confidence interval by test inversion and the draws.

        Raises
        ------
        ValueError
            For an unknown param, weights or cluster, or a fit out of memory.

        Examples
        --------
        >>> fit.wildboottest("x1", cluster="firm", seed=1)  # doctest: +SKIP
        """
        from vantrel.inference.bootstrap import wild_bootstrap

        return wild_bootstrap(self, param, r, cluster, B, weights, impose_null, seed, level, progress)

    def aggregate(self, agg: str = "period", level: float = 0.95) -> pd.DataFrame:
        """Sun and Abraham's aggregates of the cells of a ``sunab()`` term: ``"period"``
        (one per relative period), ``"ATT"`` (every cell from the treatment on) or
        ``"cohort"``; see `vantrel.results.event_study`.

        Parameters
        ----------
        agg : {"period", "ATT", "cohort"}
            Which aggregate (case ignored).
        level : float
            Level of the confidence intervals.

        Returns
        -------
        pandas.DataFrame
            One row per aggregate, with the columns of `tidy`.

        Raises
        ------
        ValueError
            For another `agg`, or a fit without a sunab() term.

        Examples
        --------
        >>> fit = vantrel.feols("y ~ sunab(year_treated, year) | id + year", data)  # doctest: +SKIP
        >>> fit.aggregate("ATT")  # doctest: +SKIP
        """
        return aggregate_cells(self, agg, level)

    def _inference_system(self, method: str) -> InferenceSystem:
        """The hook every covariance after the fit reads: the estimator's working system
        (`vantrel.inference.after_fit.InferenceSystem`), whose bread is (X'X)^-1 and whose
        scores are the rows of X times u. Least squares keeps the block of its absorbed
        regressors and residuals; an estimator whose last step is another weighted least
        squares (Poisson's IRLS, IV's second stage) keeps that step's block as
        ``_sample.working``, or the block it forms that step from and `_working_block`."""
        sample = self._sample
        if sample.slopes is not None and method in ("wildboottest", "cluster_leverage"):
            raise ValueError(
                f"{method}(): not available for varying slopes yet (the bootstrap's and the leverages' "
                "projections count fixed effects without slopes); with_vcov / se(vcov=...) take 'iid', "
                "'hetero' and {'CRV1': ...}"
            )
        if sample.working is None:
            raise ValueError(
                f"{method}(): the estimate ran on {self.absorption.get('engine', 'an engine out of memory')!r} "
                "and keeps no value per row, which every covariance after the fit reads; estimate again "
                f"with {self.estimator.split()[0]}(..., vcov=...) for the covariance you want"
            )

        def fe_records(corrections, choice):
            from vantrel.inference.ssc import fe_records as records

            k_fe = [self.fixef_levels[label] for label in self.fixef_labels]
            return records(corrections, choice, sample.fe_variables, self.fixef_labels, sample.frame, sample.rows, k_fe)

        return InferenceSystem(
            block=self._working_block(),
            beta=self.beta,
            weights=sample.weights,
            fe_codes=sample.fe_codes,
            k_fe=[self.fixef_levels[label] for label in self.fixef_labels],
            column=self._sample_column,
            fe_records=fe_records,
            absorber=sample.absorber,
            labels=sample.labels,
            **self._slope_counts(),
        )

    def _slope_counts(self) -> dict:
        """With varying slopes: the kinds after the fit that count their parameters as the
        fit does (the leverages and the jackknife project on fixed effects without slopes,
        so those are refused), which effects keep their intercept and how many slope
        coefficients there are."""
        slopes = self._sample.slopes
        if slopes is None:
            return {}
        k_fe = [self.fixef_levels[label] for label in self.fixef_labels]
        return {
            "kinds": ("iid", "hetero", "CRV1", "NW", "DK", "conley"),
            "estimator": "feols with varying slopes",
            "with_intercept": [term.intercept for term, _ in slopes],
            "k_slopes": sum(g * len(term.variables) for g, (term, _) in zip(k_fe, slopes, strict=True)),
        }

    def _working_block(self) -> np.ndarray:
        """The block [u, X] of the working system; an estimator that keeps a larger block
        as ``_sample.working`` forms its own from it."""
        return self._sample.working

    def _sample_column(self, name: str) -> pd.Series:
        """Column `name` of the estimation's data over the sample; an error when a row of
        the sample has no value in it (estimating with it would drop that row)."""
        sample = self._sample
        if name in sample.frame.columns:
            frame = sample.frame
        else:
            try:
                frame = used_columns(sample.data, [name], {name: "vcov"})
            except (ValueError, TypeError) as error:
                # a split's fits keep the columns their estimate read, not the caller's table
                raise ValueError(
                    f"vcov: column {name!r} is not in the data this fit kept ({error}); estimate with "
                    "vcov=... naming it, so the estimate reads it"
                ) from None
        values = frame[name]
        values = values.iloc[sample.rows] if sample.rows is not None else values
        missing = int(values.isna().sum())
        if missing:
            raise ValueError(
                f"vcov: column {name!r} has no value in {missing:,} row(s) of the estimation sample; a covariance "
                "after the fit cannot drop rows: estimate again with vcov=... so the sample leaves them out"
            )
        return values.reset_index(drop=True)

    # -- plots (matplotlib, the optional extra vantrel[plots]) ---------------------
    def coefplot(self, level: float = 0.95, keep=None, drop=None, **kwargs):
        """Estimates with their confidence intervals; see `vantrel.coefplot`.

        Parameters
        ----------
        level : float, default 0.95
            The coverage of the intervals.
        keep : str, list of str or None, default None
            Regular expressions of the coefficients to show.
        drop : str, list of str or None, default None
            Regular expressions of the coefficients to leave out.
        **kwargs
            ``figsize`` and ``title``, as `vantrel.coefplot` takes them.

        Returns
        -------
        matplotlib.figure.Figure
            The figure.
        """
        from vantrel.results.plots import coefplot

        return coefplot(self, level=level, keep=keep, drop=drop, **kwargs)

    def iplot(self, level: float = 0.95, term: str | None = None, **kwargs):
        """The event-study coefficients of an i() term against their period; see `vantrel.iplot`.

        Parameters
        ----------
        level : float, default 0.95
            The coverage of the intervals.
        term : str or None, default None
            The i() term's column (``"year"``, or ``"year:treat"`` for an interacted
            one); needed only when the fit has several i() terms.
        **kwargs
            ``ci``, ``figsize`` and ``title``, as `vantrel.iplot` takes them.

        Returns
        -------
        matplotlib.figure.Figure
            The figure.
        """
        from vantrel.results.plots import iplot

        return iplot(self, level=level, term=term, **kwargs)

    def _xb_sample(self) -> np.ndarray:
        design = self._sample.design
        xb = np.zeros(self.nobs)
        for name, b in zip(self.coefnames, self.beta, strict=True):
            column = design.columns[design.names.index(name)]
            xb += b if column is None else b * self._sample.take(column)
        return xb

    def _fixef_target(self) -> np.ndarray:
        """What the fixed effects explain over the sample, the values they are recovered
        from: for least squares the dependent variable less the regressors' part."""
        return self._sample.y - self._xb_sample()

    def fixef(self) -> dict[str, pd.Series]:
        """The fixed-effect values per level.

        The first effect carries the constant; every other one has mean zero over the
        estimation sample, so the sum of the effects of an observation is its fitted value
        less the regressors' part. A warning says so when the recovery of the values does
        not converge.

        Returns
        -------
        dict of str to pandas.Series
            One Series per fixed effect, keyed by its label, indexed by its levels (a
            MultiIndex for interacted effects); an empty dict without fixed effects.
        """
        if not self.fixef_labels:
            return {}
        if self._fixef_cache is None and self._sample.slopes is not None:
            self._fixef_cache = self._slope_fixef()
        if self._fixef_cache is None:
            sample = self._sample
            coded = [
                (codes, self.fixef_levels[label])
                for codes, label in zip(sample.fe_codes, self.fixef_labels, strict=True)
            ]
            values, converged = backfit(self._fixef_target(), coded, sample.weights)
            if not converged:
                warnings.warn(NOT_CONVERGED, UserWarning, stacklevel=2)
                self.messages.append(NOT_CONVERGED)
            means = values[:, 1:].mean(axis=0)
            values[:, 1:] -= means
            values[:, 0] += means.sum()
            self._fixef_cache = {}
            for i, label in enumerate(self.fixef_labels):
                codes = sample.fe_codes[i]
                first = _first_rows(codes)
                variables = sample.fe_variables[i]
                level_values = [_values_at(sample, name, first) for name in variables]
                if len(variables) == 1:
                    index = pd.Index(level_values[0], name=variables[0])
                else:
                    index = pd.MultiIndex.from_arrays(level_values, names=variables)
                self._fixef_cache[label] = pd.Series(values[first, i], index=index, name=label)
        return {label: series.copy() for label, series in self._fixef_cache.items()}

    def _slope_fixef(self) -> dict[str, pd.Series]:
        """fixef() with varying slopes: per effect its intercepts under the effect's name
        and each slope under fixest's ``fe[[x]]``, by level."""
        sample = self._sample
        carried = [slopes for slopes, _ in sample.slopes]
        blocks = [(slopes.intercept, values) for slopes, values in sample.slopes]
        levels = [self.fixef_levels[label] for label in self.fixef_labels]
        values = recover_values(self._fixef_target(), sample.fe_codes, levels, blocks, sample.weights)
        kinds = [([""] if slopes.intercept else []) + list(slopes.variables) for slopes in carried]
        values = normalise(values, kinds, sample.fe_codes)
        out = {}
        for i, slopes in enumerate(carried):
            codes, variables = sample.fe_codes[i], sample.fe_variables[i]
            first = _first_rows(codes)
            level_values = [_values_at(sample, name, first) for name in variables]
            if len(variables) == 1:
                index = pd.Index(level_values[0], name=variables[0])
            else:
                index = pd.MultiIndex.from_arrays(level_values, names=variables)
            for j, name in enumerate(slope_names("^".join(variables), slopes)):
                out[name] = pd.Series(values[i][codes[first], j], index=index, name=name)
        return out

    def predict(self, newdata: object = None) -> pd.Series:
        """Predictions: the fitted values, or the linear predictor of new rows.

        Parameters
        ----------
        newdata : DataFrame or None, default None
            Rows to predict (any table narwhals reads); None for the fitted values of the
            estimation sample.

        Returns
        -------
        pandas.Series
            Without `newdata`, ``fitted()``; with it, the regressors' part plus the fixed
            effects of each row's levels (with varying slopes, a level's intercept if it
            keeps one plus its slopes times the row's slope variables), indexed as
            `newdata`. NaN for a row with a missing value in any column a term or fixed
            effect reads, or with a level not in the estimation sample. A warning names a
            column whose values are of another kind than the estimation's (text for
            numbers or the reverse), as none of them can match.

        Raises
        ------
        TypeError
            When a regressor's or slope variable's column of `newdata` is not numeric.
        """
        if newdata is None:
            return self.fitted()
        return self._linear_predictor(newdata)

    def fitted(self) -> pd.Series:
        """Fitted values over the estimation sample (each estimator defines its own).

        Returns
        -------
        pandas.Series
            One value per row of the estimation sample.
        """
        raise NotImplementedError(f"{type(self).__name__} defines no fitted values")

    def _linear_predictor(self, newdata: object) -> pd.Series:
        """The regressors' part plus the fixed effects of each row of `newdata` (see
        `predict`)."""
        design = self._sample.design
        coded = _coded_columns(design.coding)
        indicator_variables = [name for term in design.indicators for name in term.variables]
        read = list(dict.fromkeys(design.plain + coded + indicator_variables))
        variables = [name for names in self._sample.fe_variables for name in names]
        variables += [name for term, _ in self._sample.slopes or [] for name in term.variables]
        needed = sorted(set(read) | set(variables))
        frame = used_columns(newdata, needed, dict.fromkeys(needed, "newdata"))
        n = len(frame)
        present = rows_with_values(frame, read)
        xb = np.zeros(n)
        evaluated = None
        if design.coding is not None:
            for name, categories in _categories(design.coding).items():
                _warn_other_kind(name, categories, frame[name])
            with warnings.catch_warnings():
                # levels the fit never saw are set to NaN below, not coded as the reference level
                warnings.filterwarnings("ignore", message="Data has categories outside of the nominated levels")
                warnings.filterwarnings("ignore", message="Constructing a Categorical with a dtype and values")
                evaluated = design.coding.get_model_matrix(formulaic_frame(frame, coded, present), na_action="ignore")
        # the event-study terms code new data with the levels of the fit; a value the fit
        # never saw has no coefficient and predicts NaN
        indicator_values, unseen = {}, _unseen_categories(design.coding, frame)
        for term in design.indicators:
            _warn_other_kind(term.call.variable, term.levels, frame[term.call.variable])
            indicator_values.update(zip(term.names, term.columns(frame, "newdata"), strict=True))
            unseen |= term.unseen(frame)
        for name, b in zip(self.coefnames, self.beta, strict=True):
            if name == "Intercept" and design.columns[design.names.index(name)] is None:
                xb += b
            elif name in indicator_values:
                xb += b * indicator_values[name]
            elif name in design.plain:
                if not is_numeric(frame[name]):
                    raise TypeError(
                        f"newdata: column {name!r} must be numeric, as in the estimation data, got {frame[name].dtype}"
                    )
                xb += b * float_values(frame[name])
            else:
                xb += b * over_rows(float_values(evaluated[name]), present, n)
        xb[unseen] = np.nan
        if present is not None:
            xb[~present] = np.nan
        effects = self.fixef()
        for i, names in enumerate(self._sample.fe_variables):
            # an effect's values by level: its intercepts, then (with varying slopes) one
            # Series per slope variable, each multiplying the row's value of that variable
            if self._sample.slopes is None:
                parts = [(effects[self.fixef_labels[i]], None)]
            else:
                term = self._sample.slopes[i][0]
                carried = [None] * term.intercept + list(term.variables)
                parts = list(zip([effects[n] for n in slope_names("^".join(names), term)], carried, strict=True))
            index = parts[0][0].index
            for name in names:
                _warn_other_kind(name, index.get_level_values(name), frame[name])
            if len(names) == 1:
                positions = index.get_indexer(frame[names[0]])
            else:
                positions = index.get_indexer(pd.MultiIndex.from_arrays([frame[v] for v in names]))
            for levels, variable in parts:
                effect = levels.to_numpy()[positions]
                effect[positions < 0] = np.nan
                if variable is not None:
                    if not is_numeric(frame[variable]):
                        raise TypeError(
                            f"newdata: slope variable {variable!r} must be numeric, as in the estimation data, "
                            f"got {frame[variable].dtype}"
                        )
                    effect = effect * float_values(frame[variable])
                xb = xb + effect
        index = frame.index if isinstance(newdata, pd.DataFrame) else pd.RangeIndex(n)
        return pd.Series(xb, index=index, name="prediction")

    # -- display --------------------------------------------------------------------
    def _header(self) -> str:
        vcov = self.vcov_type
        if self.clusters:
            vcov += " (" + ", ".join(f"{name}: {G:,} clusters" for name, G in self.clusters.items()) + ")"
        text = f"{self.estimator}: {self.formula}\nN = {self.nobs:,}, vcov = {vcov}"
        if self.weights:
            text += f", weights = {self.weights}"
        if self.fixef_labels:
            text += ", fixed effects: " + ", ".join(f"{k} ({v:,})" for k, v in self.fixef_levels.items())
        return "\n".join([text, *self._dropped_notes()])

    def _dropped_notes(self, counts: dict | None = None) -> list[str]:
        """The observations the estimate left out, as fixest's NOTE lines show them: N
        changes with the data's gaps and singletons, and the count belongs beside it.
        `counts`: the reasons to show (None: every one of ``nobs_dropped``)."""
        reasons = {
            "missing": ("observation", "for missing or non-finite values"),
            "singletons": ("singleton observation", "(alone in a fixed-effect group)"),
        }
        parts = []
        for reason, count in (self.nobs_dropped if counts is None else counts).items():
            if count:
                noun, why = reasons.get(reason, ("observation", f"({reason})"))
                parts.append(f"{count:,} {noun}{'' if count == 1 else 's'} dropped {why}")
        return ["NOTE: " + "; ".join(parts)] if parts else []

    def _fit_line(self) -> str:
        """The fit statistics under the coefficient table (each estimator its own)."""
        return ""

    def __repr__(self) -> str:
        table = self.tidy().iloc[:10, :4]
        more = f"\n... {len(self.coefnames) - 10} more" if len(self.coefnames) > 10 else ""
        fit = self._fit_line()
        return f"{self._header()}\n{table.to_string(float_format=lambda v: f'{v:.6g}')}{more}" + (
            f"\n{fit}" if fit else ""
        )

    def _repr_html_(self) -> str:
        header = "<br>".join(html.escape(line) for line in self._header().splitlines())
        return f"<p>{header}</p>" + self.tidy().to_html(float_format=lambda v: f"{v:.6g}")


def _categories(coding) -> dict[str, list]:
    """The categories of the estimation sample per column that a categorical term (``C(g)``,
    or a text column) reads alone."""
    found = {}
    if coding is None:
        return found
    data = set(_coded_columns(coding))
    for factor, (kind, state) in coding.encoder_state.items():
        variables = [name for name in map(str, coding.factor_variables.get(factor, ())) if name in data]
        if getattr(kind, "value", kind) == "categorical" and len(variables) == 1 and "categories" in state:
            found[variables[0]] = state["categories"]
    return found


def _unseen_categories(coding, frame: pd.DataFrame) -> np.ndarray:
    """Rows of `frame` whose value of a categorical term is not among the categories of the
    estimation sample: formulaic codes such a value as the reference level, which would
    predict with a coefficient of another level."""
    unseen = np.zeros(len(frame), dtype=bool)
    for name, categories in _categories(coding).items():
        values = frame[name]
        unseen |= (values.notna() & ~values.isin(categories)).to_numpy()
    return unseen


_KIND = {
    "integer": "numbers",
    "floating": "numbers",
    "mixed-integer-float": "numbers",
    "decimal": "numbers",
    "boolean": "numbers",
    "string": "text",
    "bytes": "text",
}


def _kind(values) -> str | None:
    """What the values of a column can equal: "numbers", "text" or None (other values)."""
    if isinstance(values.dtype, pd.CategoricalDtype):
        values = values.dtype.categories
    return _KIND.get(pd.api.types.infer_dtype(values, skipna=True))


def _warn_other_kind(name: str, levels, column: pd.Series) -> None:
    """Warn when the levels of the estimation are numbers and the new values text, or the
    reverse: no value equals a level, and every such row predicts NaN."""
    fitted, new = _kind(pd.Index(levels)), _kind(column)
    if fitted and new and fitted != new:
        warnings.warn(
            f"predict: column {name!r} of newdata holds {new} ({column.dtype}) where the estimation's levels "
            f"are {fitted}: no value matches a level, so its rows predict NaN; convert the column to the "
            "estimation's type",
            UserWarning,
            stacklevel=3,
        )


def _first_rows(codes: np.ndarray) -> np.ndarray:
    """For each id 0 .. G-1 of `codes`, a row holding it (the first)."""
    first = np.empty(int(codes.max()) + 1, dtype=np.int64)
    rows = np.arange(len(codes), dtype=np.int64)
    first[codes[::-1]] = rows[::-1]
    return first


def _values_at(sample: Sample, name: str, positions: np.ndarray) -> np.ndarray:
    column = sample.frame[name]
    rows = positions if sample.rows is None else sample.rows[positions]
    return column.array.take(rows)


def _coded_columns(coding) -> list[str]:
    if coding is None:
        return []
    return sorted(str(variable) for variable in coding.variables_by_source.get("data", set()))
