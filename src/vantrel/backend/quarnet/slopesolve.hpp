// Partialling out fixed effects with varying slopes, in coefficient space.
//
// A fixed effect f with levels g may carry, besides (or instead of) its intercept, slopes on
// S_f variables: its design has one column per level and per carried variable, z_j(i) on the
// rows i of level g and 0 elsewhere (z_0 = 1 for the intercept). The columns v of an N x K
// matrix are replaced by the residuals v - D alpha of the weighted least squares of v on all
// those columns, with alpha from conjugate gradients on the normal equations (D'WD) alpha =
// D'W v. Each level of each effect contributes one small block of D'WD (its intercept and
// slopes, p_f = intercept + S_f unknowns): the preconditioner is the exact inverse of every
// such block (block Jacobi), factored once by a Cholesky decomposition that leaves out a
// column the block's earlier ones already span (a slope on a variable that is constant
// within the level, next to its intercept; a level whose slope variable is zero
// throughout). With a single effect the preconditioner is D'WD itself and the solve is
// closed-form.
//
// The solver of coefsolve.hpp serves effects without slopes; this one is called only when a
// slope is present, so the paths without slopes are untouched by it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "coefsolve.hpp"
#include "demean.hpp"

namespace quarnet {

// Effect f: level ids by row at ids[i * row_stride + f * col_stride], in [0, G[f]); whether
// it has an intercept; S[f] slope variables as an N x S[f] row-major array (null when
// S[f] == 0). An effect has an intercept or at least one slope.
struct SlopeEffects {
    const int64_t *ids = nullptr;
    int64_t row_stride = 0, col_stride = 0;
    std::vector<int64_t> G;
    std::vector<bool> intercept;
    std::vector<int64_t> S;
    std::vector<const double *> slopes;

    int64_t effects() const { return static_cast<int64_t>(G.size()); }
    int64_t width(int64_t f) const { return (intercept[f] ? 1 : 0) + S[f]; }
};

struct SlopeOutcome {
    CoefOutcome solve;
    // level coefficients left out of the preconditioner's factor (their column within the
    // level is spanned by the level's earlier columns), by effect
    std::vector<int64_t> dropped;
};

// x: N x K row-major, replaced by its residuals (K >= 1); w: N non-negative weights or
// null; alpha: receives the coefficients, effect after effect, each G[f] x width(f) x K
// row-major (a dropped coefficient is 0). Convergence: the largest over the columns of
// the root of (decrease of the weighted residual sum of squares in the last iteration) /
// (the column's weighted sum of squares) below opt.tol, after more than opt.miniter
// iterations; not converged after opt.maxiter iterations leaves x untouched.
SlopeOutcome COEF_PCG_slopes(double *x, int64_t N, int64_t K, const double *w, const SlopeEffects &fe,
                             double *alpha, const DemeanOptions &opt, const ProgressFn &progress);

}  // namespace quarnet
