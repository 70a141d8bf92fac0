"""The distribution families of generalised linear models: a link and a variance function.

The reweighted least squares (`vantrel.core.irls`) reads nothing else of a model, so logit
and probit with fixed effects need only their own family here. Each family gives, for the
linear predictor eta and the mean mu = linkinv(eta): the derivative d mu / d eta, the
variance function V(mu), the deviance and the log-likelihood, and the starting values.
The working weights are w (d mu / d eta)^2 / V(mu) and the working variable
eta + (y - mu) / (d mu / d eta), the same for every family.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from scipy.special import gammaln, xlogy

from vantrel.backend import quarnet


class Family:
    """A family: its name, its link's name and the functions the reweighting reads."""

    name = "family"
    link_name = "link"

    def link(self, mu: np.ndarray) -> np.ndarray:
        raise NotImplementedError

    def linkinv(self, eta: np.ndarray) -> np.ndarray:
        raise NotImplementedError

    def mu_eta(self, eta: np.ndarray, mu: np.ndarray) -> np.ndarray:
        """d mu / d eta at eta (mu: linkinv(eta), which some links reuse)."""
        raise NotImplementedError

    def variance(self, mu: np.ndarray) -> np.ndarray:
        raise NotImplementedError

    def deviance(self, y: np.ndarray, mu: np.ndarray, w: np.ndarray | None) -> float:
        raise NotImplementedError

    def loglik(self, y: np.ndarray, mu: np.ndarray, w: np.ndarray | None) -> float:
        raise NotImplementedError

    def saturated(self, y: np.ndarray, w: np.ndarray | None):
        """What `deviance_at` reuses across iterations (the parts of the deviance that
        depend on y alone); None when the family has none."""
        return None

    def deviance_at(self, y, eta, mu, w, saturated) -> float:
        """The deviance at the linear predictor eta (offset included; mu = linkinv(eta)),
        which a family may form faster from eta and `saturated`; the iterations compare
        it, the result reports `deviance`."""
        return self.deviance(y, mu, w)

    def initial_mu(self, y: np.ndarray, w: np.ndarray | None) -> np.ndarray:
        raise NotImplementedError

    def reported_deviance(self, y, eta, mu, w, saturated) -> float:
        """The deviance the fit reports at its estimate (eta, mu = linkinv(eta)): summed
        row by row, where a faster `deviance_at` may have traded digits for speed."""
        return self.deviance(y, mu, w)

    def likelihoods(self, y, eta, mu, w, saturated) -> tuple[float, float, float]:
        """The log-likelihood at mu, and the log-likelihood and deviance of the model of a
        constant mean (the weighted mean of y): what the fit reports beside its deviance."""
        null = np.full(len(y), float(np.average(y, weights=w)))
        return self.loglik(y, mu, w), self.loglik(y, null, w), self.deviance(y, null, w)

    def check_outcome(self, y: np.ndarray, name: str) -> None:
        """Raise when the dependent variable holds values the family does not take."""

    def working(self, y, eta, mu, w):
        """The working weights and the working variable (without the offset) at eta."""
        d = self.mu_eta(eta, mu)
        weights = d * d / self.variance(mu)
        if w is not None:
            weights = weights * w
        return weights, eta + (y - mu) / d

    def predict(self, y, z, block, coef, off, w, saturated, threads, out=None):
        """The step of an iteration: the linear predictor eta = block @ coef + z (+ off),
        the mean there and its deviance (`deviance_at`). `out`: a pair of arrays of N
        entries that nothing else reads, to write eta and mu into (None: fresh ones)."""
        eta = block @ coef
        eta += z
        if off is not None:
            eta += off
        mu = self.linkinv(eta)
        return eta, mu, self.deviance_at(y, eta, mu, w, saturated)

    def rework(self, y, eta, mu, off, w, z, block, size, threads):
        """The working weights at the new eta and the new working variable, its change
        from z (divided by `size`) added to column 0 of `block`, the absorbed working
        variable (see `vantrel.core.irls`): returns (W, z'); z itself is not read again,
        and its memory may be z'."""
        W, z_new = self.working(y, eta if off is None else eta - off, mu, w)
        change = np.subtract(z_new, z, out=z)
        change *= 1.0 / size  # a power of two: exact
        block[:, 0] += change
        return W, z_new


class Poisson(Family):
    """Poisson with the log link: mu = exp(eta), V(mu) = mu, d mu / d eta = mu."""

    name = "Poisson"
    link_name = "log"

    def link(self, mu):
        return np.log(mu)

    def linkinv(self, eta):
        with np.errstate(over="ignore"):
            return np.exp(eta)

    def mu_eta(self, eta, mu):
        return mu

    def variance(self, mu):
        return mu

    def working(self, y, eta, mu, w):
        # (d mu / d eta)^2 / V(mu) is mu itself: the weights are the mean (no pass over
        # the rows, and no rounding of mu * mu / mu), and the working variable takes one
        # temporary instead of three
        weights = mu if w is None else w * mu
        z = np.subtract(y, mu)
        z /= mu
        z += eta
        return weights, z

    def predict(self, y, z, block, coef, off, w, saturated, threads, out=None):
        # one parallel pass over the rows for the predictor, its exponential and the two
        # sums of `deviance_at` (NumPy took seven, on one thread, with a temporary each)
        eta, mu = out if out is not None else (np.empty(len(z)), np.empty(len(z)))
        wy_eta, w_mu = quarnet.log_link_predict(eta, mu, block, coef, z, off, saturated.wy, w, threads)
        return eta, mu, 2.0 * (saturated.constant - wy_eta + w_mu)

    def rework(self, y, eta, mu, off, w, z, block, size, threads):
        # `working` and the change into the block in one pass, z replaced in place: the
        # same roundings, so the same bits
        quarnet.log_link_rework(z, block, y, eta, mu, off, 1.0 / size, threads)
        return (mu if w is None else w * mu), z

    def deviance(self, y, mu, w):
        # y log(y / mu) is 0 at y = 0 (xlogy), which is where the saturated model's mean is 0
        with np.errstate(divide="ignore", invalid="ignore"):
            unit = 2.0 * (xlogy(y, y) - xlogy(y, mu) - (y - mu))
        return float(np.sum(unit if w is None else w * unit))

    def saturated(self, y, w):
        # log(mu) is eta: the deviance 2 sum w (y log y - y - y eta + mu) takes two dot
        # products per iteration instead of the logarithms of every row
        wy = y if w is None else w * y
        values = _count_values(y)
        if values is None:
            return PoissonSaturated(wy, float(np.sum(xlogy(wy, y) - wy)), None)
        # a count outcome: the terms of y alone are sums over its distinct values, each
        # term once times its (weighted) number of rows, in place of a logarithm and a
        # log-gamma per row
        counts = np.bincount(values, weights=w)
        v = np.arange(len(counts), dtype=np.float64)
        return PoissonSaturated(wy, float(counts @ (xlogy(v, v) - v)), float(counts @ gammaln(v + 1.0)))

    def deviance_at(self, y, eta, mu, w, saturated):
        wy, constant = saturated.wy, saturated.constant
        with np.errstate(invalid="ignore", over="ignore"):
            return 2.0 * (constant - float(wy @ eta) + float(np.sum(mu) if w is None else w @ mu))

    def reported_deviance(self, y, eta, mu, w, saturated):
        # row by row, y log(y / mu) - (y - mu): each row's terms cancel first, so the sum
        # keeps the digits the two large sums of `deviance_at` lose, and y log(y / mu)
        # keeps those that y log y - y log mu loses where the counts are large (a ratio
        # near one has an exact logarithm near zero). By chunks of rows: their temporaries
        # stay in cache.
        total = 0.0
        with np.errstate(invalid="ignore", over="ignore", divide="ignore"):
            for start in range(0, len(y), _ROWS):
                part = slice(start, start + _ROWS)
                yp, mp = y[part], mu[part]
                unit = np.divide(yp, mp)
                # 0 log 0 is 0: a zero ratio (y = 0) is raised to the smallest double, whose
                # finite logarithm y = 0 then cancels (a mask of the rows costs three times more)
                np.maximum(unit, _TINY, out=unit)
                np.log(unit, out=unit)
                unit *= yp
                unit += mp
                unit -= yp
                total += float(np.sum(unit) if w is None else w[part] @ unit)
        return 2.0 * total

    def likelihoods(self, y, eta, mu, w, saturated):
        # the same sums as term by term, with log(mu) = eta and the constant mean's terms
        # in closed form: one pass of log-gamma (none for a count outcome) instead of three
        # of logarithms
        wy, constant = saturated.wy, saturated.constant
        total_w = float(len(y) if w is None else np.sum(w))
        total_wy = float(np.sum(wy))
        mean = total_wy / total_w
        log_gamma = saturated.log_gamma
        if log_gamma is None:
            log_gamma = float(np.sum(gammaln(y + 1.0) if w is None else w * gammaln(y + 1.0)))
        with np.errstate(invalid="ignore", over="ignore"):
            loglik = float(wy @ eta) - float(np.sum(mu) if w is None else w @ mu) - log_gamma
        loglik_null = total_wy * np.log(mean) - mean * total_w - log_gamma
        null_deviance = 2.0 * (constant - total_wy * np.log(mean) + mean * total_w)
        return loglik, float(loglik_null), float(null_deviance)

    def loglik(self, y, mu, w):
        with np.errstate(divide="ignore", invalid="ignore"):
            unit = xlogy(y, mu) - mu - gammaln(y + 1.0)
        return float(np.sum(unit if w is None else w * unit))

    def initial_mu(self, y, w):
        # halfway between each outcome and the mean: positive where y is 0, as fixest and
        # pyfixest start
        mean = float(np.average(y, weights=w))
        return (y + mean) / 2.0

    def check_outcome(self, y, name):
        negative = y < 0
        if negative.any():
            first = y[np.flatnonzero(negative)[0]]
            raise ValueError(
                f"fml: the dependent variable {name!r} must be non-negative for a Poisson model; "
                f"{int(negative.sum()):,} row(s) are below zero (the first: {first!r})"
            )
        if not (y > 0).any():
            raise ValueError(
                f"fml: the dependent variable {name!r} is zero in every row of the sample; a Poisson model needs "
                "some positive outcome"
            )


class PoissonSaturated(NamedTuple):
    """What the Poisson deviance and likelihoods reuse of the outcome: wy (the prior
    weights times y, or y itself), the constant sum w (y log y - y) and the sum w log(y!)
    (None: formed when asked for)."""

    wy: np.ndarray
    constant: float
    log_gamma: float | None


# A count outcome's terms are tabled by value up to this largest count (or the number of
# rows, if more): a table of that size costs less than a pass of logarithms over the rows.
_TABLED_COUNTS = 1 << 16
# Rows per chunk of the deviance summed row by row.
_ROWS = 1 << 14
_TINY = float(np.finfo(np.float64).tiny)


def _count_values(y: np.ndarray) -> np.ndarray | None:
    """y as indices when it holds whole numbers no larger than the table's bound (see
    `_TABLED_COUNTS`), else None."""
    if len(y) == 0:
        return None
    top = float(y.max())
    if not (0 <= float(y.min()) and top <= max(_TABLED_COUNTS, len(y))):
        return None
    values = y.astype(np.intp)
    return values if np.array_equal(values, y) else None


POISSON = Poisson()
