// Partialling fixed effects out in coefficient space.
//
// Demeaning the columns v of an N x K matrix by fixed effects D (N x G dummies, G levels in
// all) is taking the residual e = v - D alpha of weighted least squares, where alpha solves
// the normal equations (D'WD) alpha = D'W v. This solver iterates on those G x K unknowns by
// preconditioned conjugate gradients instead of sweeping the N x K matrix: D'WD is never
// formed, each product with it is one pass over the id columns, and only the closing pass
// writes the caller's matrix. The preconditioner starts as the diagonal (level counts) and,
// when the measured rate predicts a slow solve, is upgraded to the exact (or, over a size
// budget, approximate) inverse of the block of the two fixed effects with most levels.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "demean.hpp"
#include "groupindex.hpp"

namespace quarnet {

enum class PairMode {
    automatic,    // Jacobi, upgraded to the pair block when the rate predicts a slow solve
    jacobi,       // never upgrade
    exact,        // pair block from the start, exact factor (approximate if over budget)
    approximate,  // pair block from the start, approximate factor
};

struct CoefOutcome {
    int64_t iterations = 0;  // conjugate-gradient iterations made
    bool converged = false;
    std::string preconditioner;  // "closed form", "jacobi", "exact pair", "approximate pair"
    std::string reason;          // why that preconditioner
};

using NoteFn = std::function<void(const std::string &)>;

// x: N x K row-major, demeaned in place (K >= 1); w: N non-negative weights or null; fes:
// group indexes that passed check_disjoint_groups. The convergence measure, miniter,
// maxiter and the progress events are those of MAP_NH_CG_accel; `note` receives the
// preconditioner decisions when verbose > 0.
CoefOutcome COEF_PCG_demean(double *x, int64_t N, int64_t K, const double *w, const std::vector<GroupIndex> &fes,
                            const DemeanOptions &opt, PairMode mode, const ProgressFn &progress, const NoteFn &note);

}  // namespace quarnet
