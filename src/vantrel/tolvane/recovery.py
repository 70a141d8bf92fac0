"""Recovery of the individual fixed-effect values after estimation.

The estimation only sweeps the fixed effects out; their values are recovered
afterwards from the raw data and the slopes by backfitting group means
(Gauss-Seidel alternating projections) on ``y - X beta``. Each sweep is a
handful of vectorised passes: group ids are coded densely once, so a group
mean is ``bincount(ids, target) / bincount(ids)`` and the broadcast back to
the observations is a gather ``means[ids]``.
"""

import numpy as np
import pandas as pd

from vantrel.core.recovery import NOT_CONVERGED, backfit


def _raw_fe_part(data, y, x, beta):
    """``y - X beta`` in the raw (not demeaned) data, as a flat vector."""
    y_values = data[y].to_numpy(dtype=np.float64).ravel()
    X = data[x].to_numpy(dtype=np.float64)
    return y_values - (X @ beta).ravel()


def fe_rowsum(data, y, x, beta, resid):
    """Observation-wise sum of all fixed effects plus the intercept.

    That is the fitted value minus the regressor part:
    ``(y - resid) - X beta``, as a Series indexed by ``data["initial_index"]``.
    """
    fitted = data[y].to_numpy(dtype=np.float64) - resid
    X = data[x].to_numpy(dtype=np.float64)
    return pd.Series((fitted - X @ beta).ravel(), index=data["initial_index"])


def _group_codes(data, fixedeffects, fenames, i):
    """Dense codes 0..G-1 of dimension ``i`` and the group id each code stands for."""
    if fenames[i] in data.columns:
        ids = data[fenames[i]].to_numpy()
    else:
        ids = data.groupby(fixedeffects[i].split("#")).ngroup().to_numpy()
    # Sorted factorisation keeps the ids' own order, so code g is the g-th
    # smallest id present; with dense ids it is the identity.
    codes, uniques = pd.factorize(ids, sort=True)
    return codes, uniques


def recover_fixed_effects(data, y, x, beta, resid, N, fixedeffects, fenames, fedim, verb, msg=None):
    """Recover the fixed-effect values of every dimension.

    Backfitting of group means on ``residuals = y - X beta``: at most 200
    sweeps in Gauss-Seidel order (each dimension sees the values already
    updated in the same sweep), stopping once no value moved by 1e-10 or
    more; what 200 sweeps leave is solved by LSMR, and if that misses its
    tolerance too the warning NOT_CONVERGED is printed and appended to
    ``msg``. Each dimension is then centred to mean zero over the observations;
    the sum of the removed means is the intercept ``_cons``.

    Returns a dict with, in order: ``"_cons"`` (float); for each
    term ``fespec`` its centred observation-level Series (named
    ``__hdfe<i+1>__``, indexed by ``data["initial_index"]``) and
    ``fespec + "__levels"`` (one centred value per group id present, indexed
    by id, index named ``fespec``); ``"__hdfe_sum__"`` (row sums of the
    centred values) and ``"__hdfe_sum_python__"`` (row sums of the uncentred
    values, i.e. ``_cons`` + ``__hdfe_sum__``).

    Without fixed effects (``fedim`` 0) the model absorbed a single constant
    group, which is then the only effect: ``"_cons"`` is the mean of
    ``y - X beta``, ``"__hdfe_sum__"`` is zero on every row,
    ``"__hdfe_sum_python__"`` holds ``_cons`` on every row, and there are no
    per-dimension entries.
    """
    if verb > 0:
        print("Recovering fixed effects...")
    residuals = _raw_fe_part(data, y, x, beta)
    index = data["initial_index"]

    if fedim == 0:
        _cons = float(np.mean(residuals))
        return {
            "_cons": _cons,
            "__hdfe_sum__": pd.Series(np.zeros(N), index=index, name="__hdfe_sum__"),
            "__hdfe_sum_python__": pd.Series(np.full(N, _cons), index=index, name="__hdfe_sum_python__"),
        }

    coded = [_group_codes(data, fixedeffects, fenames, i) for i in range(fedim)]
    fe_values, converged = backfit(residuals, [(codes, len(uniques)) for codes, uniques in coded], verb=verb)
    if not converged:
        if msg is not None:
            msg.append(NOT_CONVERGED)
        print(NOT_CONVERGED)

    fe_means = fe_values.mean(axis=0)
    _cons = float(fe_means.sum())
    fe_centered = fe_values - fe_means
    fe_sum_original = fe_values.sum(axis=1)
    fe_sum_centered = fe_centered.sum(axis=1)

    fe_dict = {"_cons": _cons}
    for i, fespec in enumerate(fixedeffects):
        codes, uniques = coded[i]
        fe_dict[fespec] = pd.Series(fe_centered[:, i], index=index, name=f"__hdfe{i + 1}__")
        # Every row of a group carries the same value, so scattering the rows
        # onto their codes leaves exactly that value per group.
        levels = np.empty(len(uniques))
        levels[codes] = fe_centered[:, i]
        fe_dict[fespec + "__levels"] = pd.Series(levels, index=pd.Index(uniques, name=fespec), name="fe_value")
    fe_dict["__hdfe_sum__"] = pd.Series(fe_sum_centered, index=index, name="__hdfe_sum__")
    fe_dict["__hdfe_sum_python__"] = pd.Series(fe_sum_original, index=index, name="__hdfe_sum_python__")
    return fe_dict
