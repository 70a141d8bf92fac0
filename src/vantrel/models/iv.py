"""Two-stage least squares with fixed effects absorbed: ``"y ~ exog | fe | endo ~ inst"``.

Everything is read from one absorption. The engine absorbs the fixed effects from the block
[y, exogenous, endogenous, instruments] once and returns its cross products; the first
stages (each endogenous regressor on the exogenous regressors and the excluded
instruments) and the second stage (y on the exogenous regressors and the fitted
endogenous ones) are normal equations on that small matrix, and so are most diagnostics.
The rows are read again only for sums of residuals: the first stages' residuals and their
scores (their covariances, and the joint one of the Kleibergen-Paap statistic), then the
structural residuals y - X b with the actual, not the fitted, endogenous regressors (the
fit's covariance, its residuals and fixed effects). Whether the rows are in memory, in
DuckDB or on Dask decides only which engine runs those passes.

The covariance of the slopes is the sandwich of OLS on the regressors [exogenous, fitted
endogenous] = Z Pi (Z: the exogenous regressors and the instruments; Pi: the first stages'
coefficients) with the structural residuals: its bread is (Pi' Z'Z Pi)^-1, its meat
Pi' M_Z Pi where M_Z is the meat of the instruments' scores, so every vcov type and
small-sample correction of OLS applies unchanged (`vantrel.inference.vcov.covariance`), with
the regressors of the second stage counted.
"""

from __future__ import annotations

import math
import warnings

import numpy as np
import scipy.linalg
import scipy.stats

from vantrel.core.blas import ONE_BLAS_THREAD
from vantrel.core.fit import fit_statistics
from vantrel.core.least_squares import collinearity_notice, independent_columns, solve_normal_equations
from vantrel.core.options import residual_dof_named
from vantrel.core.sample import read_sample
from vantrel.formula.parse import FormulaError
from vantrel.inference.vcov import covariance
from vantrel.results.fit import Sample
from vantrel.results.iv import IVResult, first_stage_result
from vantrel.results.models import ModelKey, Models
from vantrel.results.ols import build_result

_SIGNS_NOTE = (
    "Kleibergen-Paap statistic not computed: with several endogenous regressors it needs the joint covariance "
    "of the first stages' cluster scores, which the {engine} engine does not sum (in memory it is computed)"
)


def estimate_iv(
    engine,
    formula,
    choice,
    corrections,
    weights,
    fixef_tol: float,
    fixef_maxiter: int,
    collin_tol: float,
    report,
    shared=None,
) -> IVResult:
    """The two-stage least-squares estimate of `formula` (parsed, with its instrumental-
    variable part) on `engine`; the arguments are those of `vantrel.models.ols.estimate`."""
    fml = formula.text
    effects = formula.fixed_effects
    messages: list[str] = []
    sample = read_sample(engine, formula, choice, weights, report, messages)
    names, dropped, k_fe, N = sample["names"], sample["dropped"], sample["k_fe"], sample["N"]
    for name in formula.endogenous + formula.instruments:
        if name not in names:
            raise FormulaError(
                f"fml = {fml!r}: {name!r} in the instrumental-variable part does not make one numeric column "
                f"of that name (the columns made: {names}); endogenous regressors and instruments are "
                "numeric columns or transforms of one"
            )
    absorbed = (
        engine.absorb(fixef_tol, fixef_maxiter, report)
        if shared is None
        else engine.absorb(fixef_tol, fixef_maxiter, report, shared=shared)
    )
    report.stage("two-stage least squares")
    gram, sizes = absorbed["gram"], np.asarray(absorbed["sizes"])
    if not np.all(np.isfinite(gram)):
        raise FloatingPointError("The demeaned data hold non-finite values (the absorption diverged)")
    tol = fixef_tol if effects else None
    position = {name: j + 1 for j, name in enumerate(names)}  # in the cross products
    endogenous, instruments = list(formula.endogenous), list(formula.instruments)
    exogenous = [name for name in names if name not in endogenous and name not in instruments]

    with ONE_BLAS_THREAD:
        notes: list[str] = []

        def independent(columns):
            index = [position[name] for name in columns]
            keep = independent_columns(gram[np.ix_(index, index)], sizes[index], N, collin_tol, tol)
            return [name for name, ok in zip(columns, keep, strict=True) if ok]

        # exogenous regressors first in both orders, so both keep the same ones
        Z = independent(exogenous + instruments)
        X = independent([name for name in exogenous if name in Z] + endogenous)
        lost_exog = [name for name in exogenous if name not in Z]
        lost_endo = [name for name in endogenous if name not in X]
        lost_inst = [name for name in instruments if name not in Z]
        if lost_exog or lost_endo:
            notes.append(collinearity_notice(lost_exog + lost_endo, collin_tol, bool(effects)))
        if lost_inst:
            notes.append(
                f"The instruments {', '.join(lost_inst)} are dropped: collinear with the fixed effects, the "
                f"exogenous regressors and the instruments before them (collin_tol = {collin_tol:g})"
            )
        for text in notes:
            warnings.warn(text, UserWarning, stacklevel=4)
        messages += notes
        endo = [name for name in endogenous if name in X]
        excluded = [name for name in instruments if name in Z]
        if not endo:
            raise ValueError(
                f"fml = {fml!r}: no endogenous regressor left ({', '.join(endogenous)} collinear with the "
                "fixed effects and the exogenous regressors)"
            )
        if len(excluded) < len(endo):
            raise ValueError(
                f"fml = {fml!r} is underidentified: {len(endo)} endogenous regressor(s) ({', '.join(endo)}) "
                f"but {len(excluded)} excluded instrument(s) left ({', '.join(excluded) or 'none'}"
                + (f"; dropped as collinear: {', '.join(lost_inst)}" if lost_inst else "")
                + "); at least as many instruments as endogenous regressors are needed"
            )
        zi = [position[name] for name in Z]
        xi = [position[name] for name in X]
        ZZ = gram[np.ix_(zi, zi)]

        # first stages: each endogenous regressor on Z, from the cross products
        Pi = np.zeros((len(Z), len(X)))
        for j, name in enumerate(X):
            if name in Z:
                Pi[Z.index(name), j] = 1.0
        first_coefs = []
        for name in endo:
            index = [position[name]] + zi
            _, pi, _ = solve_normal_equations(gram[np.ix_(index, index)], Z, sizes[index], N, [], collin_tol, tol)
            Pi[:, X.index(name)] = pi
            first_coefs.append(pi)

        # second stage: y on Z Pi
        T = np.zeros((1 + len(Z), 1 + len(X)))
        T[0, 0] = 1.0
        T[1:, 1:] = Pi
        yz = [0] + zi
        gram2 = T.T @ gram[np.ix_(yz, yz)] @ T
        keep2, beta, kept2 = solve_normal_equations(gram2, X, sizes[[0] + xi], N, [], collin_tol, tol)
        if not keep2.all():
            lost = [name for name, ok in zip(X, keep2, strict=True) if not ok]
            raise ValueError(
                f"fml = {fml!r}: the instruments do not identify the coefficients of {', '.join(lost)} (the fitted "
                "regressors of the second stage are collinear); the model is underidentified"
            )

        records, names_count = engine.fe_records(corrections, choice, k_fe)
        cluster_names = list(choice.clusters)
        nested = engine.nested(cluster_names) if choice.type == "CRV1" and corrections.k_fixef == "nonnested" else []
        report.stage("residual sums")
        # the first stages' residuals d - Z pi, as combinations of the block's columns
        combinations = np.zeros((1 + len(names), len(endo)))
        for r, (name, pi) in enumerate(zip(endo, first_coefs, strict=True)):
            combinations[position[name], r] = 1.0
            combinations[zi, r] -= pi
        z_mask = np.array([name in Z for name in names])
        first = engine.residual_scores(combinations, z_mask, choice.type, cluster_names)
        # then the structural residuals y - X b (the block's dependent column is overwritten)
        kept_mask = np.array([name in X or name in Z for name in names])
        kept_names = [name for name in names if name in X or name in Z]
        beta_full = np.array([beta[X.index(name)] if name in X else 0.0 for name in kept_names])
        pieces = engine.residual_statistics(beta_full, kept_mask, choice.type, cluster_names)
        in_z = [kept_names.index(name) for name in Z]
        second = {"rss": pieces["rss"]}
        if "meat" in pieces:
            second["meat"] = Pi.T @ pieces["meat"][np.ix_(in_z, in_z)] @ Pi
        if "cluster_meats" in pieces:
            second["cluster_meats"] = [Pi.T @ m[np.ix_(in_z, in_z)] @ Pi for m in pieces["cluster_meats"]]
            second["cluster_counts"] = pieces["cluster_counts"]
        subsets = pieces.get("subsets", [])

        def vcov_of(XX, parts, n_coef=None):
            return covariance(
                choice.type,
                corrections,
                XX,
                parts,
                N,
                k_fe,
                nested,
                names_count,
                cluster_names,
                subsets,
                n_coef=n_coef,
            )

        with residual_dof_named(fml):
            cov = vcov_of(kept2[1:, 1:], second)
        messages += cov.notes or []
        fit = fit_statistics(
            None, None, pieces["rss"], absorbed["tss"], float(gram[0, 0]) if effects else None, N, len(X), k_fe
        )
        fields = engine.result_fields()

        # the first stages' fits, each with the fit's covariance type and corrections
        k = len(Z)
        first_covs, first_fits = [], []
        for r in range(len(endo)):
            parts = {"rss": float(first["rss"][r, r])}
            block = slice(r * k, (r + 1) * k)
            if "meat" in first:
                parts["meat"] = first["meat"][block, block]
            if "cluster_meats" in first:
                parts["cluster_meats"] = [m[block, block] for m in first["cluster_meats"]]
                parts["cluster_counts"] = first["cluster_counts"]
            with residual_dof_named(fml):
                first_covs.append(vcov_of(ZZ, parts))
        for r, name in enumerate(endo):
            first_fits.append(
                _first_stage_fit(
                    fml,
                    formula,
                    name,
                    Z,
                    first_coefs[r],
                    first_covs[r],
                    choice,
                    corrections,
                    N,
                    dropped,
                    k_fe,
                    first,
                    r,
                    gram[position[name], position[name]] if effects else None,
                    fields,
                    absorbed,
                    report,
                    records,
                    weights,
                    (1 + kept_names.index(name), [1 + kept_names.index(z) for z in Z]),
                )
            )

        diagnostics, diag_notes = _diagnostics(
            engine,
            gram,
            position,
            N,
            Z,
            X,
            endo,
            excluded,
            first_coefs,
            first,
            first_covs,
            pieces,
            in_z,
            beta,
            choice,
            corrections,
            k_fe,
            nested,
            names_count,
            cluster_names,
            subsets,
            vcov_of,
        )
        for text in diag_notes:
            warnings.warn(text, UserWarning, stacklevel=4)
        messages += diag_notes
    report.done("two-stage least squares, covariance, fit")
    report.stage("done")
    keys = [
        ModelKey("Full sample", " + ".join(formula.fe_labels), name, " + ".join(Z), fit_.formula, False)
        for name, fit_ in zip(endo, first_fits, strict=True)
    ]
    result = build_result(
        fml,
        formula,
        X,
        beta,
        cov,
        choice.type,
        corrections,
        N,
        dropped,
        fit,
        k_fe,
        absorption=absorbed["absorption"],
        timings=report.timings,
        collinear=lost_exog + lost_endo,
        messages=messages,
        weights=weights,
        _fe_records=records,
        **fields,
    )
    return IVResult.from_ols(
        result,
        endogenous=endo,
        instruments=excluded,
        dropped_instruments=lost_inst,
        first_stage=Models(first_fits, keys),
        diagnostics=diagnostics,
        # the working block keeps [u, kept columns]; the second stage's regressors are Z Pi
        second_stage=([1 + kept_names.index(name) for name in Z], Pi),
    )


def _first_stage_fit(
    fml,
    formula,
    name,
    Z,
    pi,
    cov,
    choice,
    corrections,
    N,
    dropped,
    k_fe,
    first,
    r,
    within_ss,
    fields,
    absorbed,
    report,
    records,
    weights,
    block_columns,
):
    """The first stage of the endogenous regressor `name` as a least-squares fit of its own;
    `block_columns`: its dependent variable's and its regressors' columns in the two-stage
    working block."""
    rss = float(first["rss"][r, r])
    sample, tss = fields["_sample"], None
    resid = None if first["resid"] is None else first["resid"][:, r].copy()
    own_sample = sample
    if resid is not None:
        design = sample.design
        column = design.columns[design.names.index(name)]
        values = sample.take(column)
        w = sample.weights
        mean = float(np.average(values, weights=w))
        tss = float(np.sum((values - mean) ** 2 if w is None else w * (values - mean) ** 2))
        own_sample = Sample(
            sample.frame, sample.rows, sample.labels, values, w, sample.fe_codes, sample.fe_variables, design
        )
        # the same rows, fixed effects and weights: its working system is formed from the
        # two-stage block when a covariance after the fit asks for it
        own_sample.data, own_sample.working, own_sample.absorber = sample.data, sample.working, sample.absorber
    fit = fit_statistics(None, None, rss, tss if tss is not None else math.nan, within_ss, N, len(Z), k_fe)
    effects = " + ".join(formula.fe_labels)
    text = f"{name} ~ {' + '.join(Z) or '1'}" + (f" | {effects}" if effects else "")
    return first_stage_result(
        text,
        name,
        Z,
        pi,
        cov,
        choice.type,
        corrections,
        N,
        dropped,
        fit,
        formula,
        k_fe,
        absorption=absorbed["absorption"],
        timings={},
        messages=[],
        weights=weights,
        _fe_records=records,
        _resid=resid,
        _sample=own_sample,
        collinear=[],
        _fixef_cache=None,
        _block_columns=block_columns,
    )


def _square_root(matrix):
    values, vectors = np.linalg.eigh((matrix + matrix.T) / 2)
    return (vectors * np.sqrt(np.maximum(values, 0.0))) @ vectors.T


def _diagnostics(
    engine,
    gram,
    position,
    N,
    Z,
    X,
    endo,
    excluded,
    first_coefs,
    first,
    first_covs,
    pieces,
    in_z,
    beta,
    choice,
    corrections,
    k_fe,
    nested,
    names_count,
    cluster_names,
    subsets,
    vcov_of,
):
    """The first-stage, identification and overidentification statistics (see
    `IVResult.iv_diagnostics`)."""
    notes: list[str] = []
    out: dict[str, float] = {}
    R, L, k = len(endo), len(excluded), len(Z)
    ex = [Z.index(name) for name in excluded]
    zi = [position[name] for name in Z]
    ZZ = gram[np.ix_(zi, zi)]
    Pi_ex = np.column_stack([pi[ex] for pi in first_coefs])  # L x R
    # the excluded instruments' cross products with the exogenous regressors and the fixed
    # effects partialled out: the inverse of the excluded block of (Z'Z)^-1
    ZZ_ex = np.linalg.inv(np.linalg.inv(ZZ)[np.ix_(ex, ex)])

    # first-stage F: the Wald statistic of the excluded instruments over L, under the fit's
    # covariance of each first stage (its corrections count the fixed effects as the
    # second stage's do), with the first stage's degrees of freedom
    for r, name in enumerate(endo):
        V = first_covs[r].matrix[np.ix_(ex, ex)]
        F = _wald(Pi_ex[:, r], V) / L
        if math.isnan(F):
            notes.append(_singular_note(f"first-stage F of {name}", choice.type, cluster_names))
        out[f"first_stage_F[{name}]"] = F
        out[f"first_stage_p[{name}]"] = float(scipy.stats.f.sf(F, L, first_covs[r].df_t))

    # the iid variance per unit of residual sum of squares under the fit's corrections
    # (1 / (N - k - fixed effects) for fixest's), the scale of the first stages' errors
    unit = covariance("iid", corrections, np.eye(k), {"rss": 1.0}, N, k_fe, [], names_count, [], [])
    sigma_vv = first["rss"] * unit.matrix[0, 0]
    M = Pi_ex.T @ ZZ_ex @ Pi_ex
    cragg_donald = float(scipy.linalg.eigh(M, sigma_vv, eigvals_only=True)[0]) / L
    out["cragg_donald_F"] = cragg_donald

    # the joint covariance of the first stages' excluded coefficients under the fit's vcov
    if choice.type == "iid":
        joint = np.kron(sigma_vv, np.linalg.inv(ZZ))
    elif not first.get("cross_blocks", True):
        joint = None
        notes.append(_SIGNS_NOTE.format(engine=engine.name))
    else:
        parts = {"rss": 0.0}
        for key in ("meat", "cluster_meats", "cluster_counts"):
            if key in first:
                parts[key] = first[key]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # each first stage's own covariance has shown its notices
            joint = vcov_of(np.kron(np.eye(R), ZZ), parts, n_coef=k).matrix
    out["kleibergen_paap_F"] = math.nan
    if joint is not None:
        select = [r * k + j for r in range(R) for j in ex]
        out["kleibergen_paap_F"] = _rank_wald(Pi_ex, ZZ_ex, sigma_vv, joint[np.ix_(select, select)]) / L
        if math.isnan(out["kleibergen_paap_F"]):
            notes.append(_singular_note("Kleibergen-Paap statistic", choice.type, cluster_names))
    if R == 1:
        V = first_covs[0].matrix[np.ix_(ex, ex)]
        out["effective_F"] = float(Pi_ex[:, 0] @ ZZ_ex @ Pi_ex[:, 0]) / float(np.trace(V @ ZZ_ex))

    # Wu-Hausman: y on [X, first-stage residuals] against y on X, an F test under iid
    xi = [position[name] for name in X]
    basis = np.zeros((gram.shape[0], 1 + len(X) + R))
    basis[0, 0] = 1.0
    for j, index in enumerate(xi):
        basis[index, 1 + j] = 1.0
    for r, name in enumerate(endo):
        basis[position[name], 1 + len(X) + r] = 1.0
        basis[zi, 1 + len(X) + r] -= first_coefs[r]
    augmented = basis.T @ gram @ basis
    restricted = _rss(augmented[: 1 + len(X), : 1 + len(X)])
    unrestricted = _rss(augmented)
    dfk = covariance("iid", corrections, np.eye(len(X)), {"rss": 1.0}, N, k_fe, [], names_count, [], []).df_k
    df_denom = N - dfk - R
    wu = ((restricted - unrestricted) / R) / (unrestricted / df_denom)
    out["wu_hausman"] = float(wu)
    out["wu_hausman_p"] = float(scipy.stats.f.sf(wu, R, df_denom))

    # overidentification: Sargan (iid) or Hansen's J (hetero, clusters) of L - R restrictions
    if L > R:
        yi = [0]
        Zu = (gram[np.ix_(zi, yi)] - gram[np.ix_(zi, xi)] @ beta[:, np.newaxis])[:, 0]
        df = L - R
        if choice.type == "iid":
            stat = N * float(Zu @ np.linalg.solve(ZZ, Zu)) / pieces["rss"]
            name = "sargan"
        else:
            S = _raw_meat(pieces, in_z, subsets)
            ZX, Zy = gram[np.ix_(zi, xi)], gram[np.ix_(zi, yi)][:, 0]
            W_ZX = np.linalg.solve(S, ZX)
            b = np.linalg.solve(ZX.T @ W_ZX, W_ZX.T @ Zy)
            g = Zy - ZX @ b
            stat = float(g @ np.linalg.solve(S, g))
            name = "hansen_j"
        out[name] = stat
        out[name + "_df"] = df
        out[name + "_p"] = float(scipy.stats.chi2.sf(stat, df))
    return out, notes


def _rss(gram) -> float:
    """The residual sum of squares of column 0 on the others, from their cross products."""
    XX, Xy = gram[1:, 1:], gram[1:, 0]
    d = np.sqrt(np.diag(XX))
    b = np.linalg.solve(XX / np.outer(d, d), Xy / d) / d
    return float(gram[0, 0] - Xy @ b)


def _raw_meat(pieces, in_z, subsets):
    """The instruments' meat of the structural residuals without small-sample factors (the
    inclusion-exclusion sum over the cluster subsets)."""
    if "meat" in pieces:
        return pieces["meat"][np.ix_(in_z, in_z)]
    total = 0.0
    for subset, meat in zip(subsets, pieces["cluster_meats"], strict=True):
        total = total + (1.0 if len(subset) % 2 == 1 else -1.0) * meat[np.ix_(in_z, in_z)]
    return total


def _rank_wald(Pi, ZZ, sigma_vv, V):
    """Kleibergen and Paap's rk Wald statistic of rank(Pi) = R - 1 for the L x R first-stage
    coefficients `Pi` with covariance `V` of vec(Pi) (columns stacked): Theta = F Pi G' with
    F'F = ZZ and G'G = sigma_vv^-1, its singular vectors beyond the first R - 1, and the
    Wald statistic of Theta's projection on them. Under iid errors (V = sigma_vv (x) ZZ^-1)
    it is the smallest eigenvalue of Cragg and Donald's statistic; for R = 1 the Wald
    statistic of Pi = 0."""
    L, R = Pi.shape
    q = R - 1
    F = np.linalg.cholesky(ZZ).T
    G = np.linalg.cholesky(np.linalg.inv(sigma_vv)).T
    theta = F @ Pi @ G.T
    U, _, Vh = np.linalg.svd(theta, full_matrices=True)
    Vm = Vh.T
    U22, V22 = U[q:, q:], Vm[q:, q:]
    A = U[:, q:] @ np.linalg.inv(U22) @ _square_root(U22 @ U22.T)
    B = _square_root(V22 @ V22.T) @ np.linalg.inv(V22.T) @ Vm[:, q:].T
    P = np.kron(B, A.T)
    GF = np.kron(G, F)
    lam = P @ theta.reshape(-1, order="F")
    omega = P @ GF @ V @ GF.T @ P.T
    return _wald(lam, omega)


# the smallest eigenvalue, relative to the largest, of a covariance scaled to unit diagonal
# below which it is taken as singular: a multiway cluster sum made positive semi-definite
# has eigenvalues set to zero, and solving with it gives numbers of rounding, not a Wald
# statistic (-3e16 for a first-stage F)
_SINGULAR = 1e-10


def _wald(b, V) -> float:
    """b' V^-1 b, NaN when V is singular."""
    d = np.sqrt(np.abs(np.diag(V)))
    if not np.all(d > 0):
        return math.nan
    scaled = V / np.outer(d, d)
    values = np.linalg.eigvalsh((scaled + scaled.T) / 2)
    if values[0] <= _SINGULAR * values[-1]:
        return math.nan
    return float((b / d) @ np.linalg.solve(scaled, b / d))


def _singular_note(what, vcov_type, cluster_names) -> str:
    clusters = f" ({' + '.join(cluster_names)})" if cluster_names else ""
    return (
        f"{what} not computed (NaN): the covariance of the first stages' coefficients of the excluded "
        f"instruments under vcov {vcov_type}{clusters} is singular (a multiway cluster sum made positive "
        "semi-definite, or fewer clusters than instruments)"
    )
