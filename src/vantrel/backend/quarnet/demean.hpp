// Partialling fixed effects out of the columns of an N x K row-major matrix: the symmetric
// sweep S, the plain alternating-projection iteration and its conjugate-gradient
// acceleration. Works on raw buffers and group indexes that have passed
// check_disjoint_groups; all parallel work goes through the kernels of kernels.hpp.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "groupindex.hpp"

namespace quarnet {

struct DemeanOptions {
    double tol;
    int64_t miniter;  // convergence is accepted only once count > miniter
    int64_t maxiter;  // at most this many iterations; <= 0 makes none
    int64_t verbose;  // > 1: a progress line every 10th iteration; > 0: the convergence notice
    int n_threads;    // the kernels' thread-count rule
};

enum class ProgressEvent {
    poll,       // between iterations: a chance to abort (the matrix holds the last iterate)
    line,       // count and update_error of this iteration (every 10th, verbose > 1)
    converged,  // the iteration converged (verbose > 0)
};

// Called outside any parallel region; it may throw to abort the iteration.
using ProgressFn = std::function<void(ProgressEvent, int64_t count, double update_error)>;

struct DemeanOutcome {
    int64_t iterations;  // sweeps made by the iteration loop
    bool converged;
};

// One symmetric sweep S: demean by fixed effect 0, 1, ..., F-1, F-2, ..., 0 (w null:
// unweighted). In place when projection is null; otherwise x is left alone and the
// N x K buffer `projection` receives x - S(x), the part a sweep removes.
void MAP_NH_iter(double *x, int64_t N, int64_t K, const double *w, const std::vector<GroupIndex> &fes,
                 int n_threads, double *projection = nullptr);

// Calls fn(fe) for the fixed effects in the order of a symmetric sweep: 0, 1, ..., F-1,
// F-2, ..., 0. The last fixed effect comes once, every other one twice; this order makes the
// sweep operator symmetric, which the conjugate-gradient method relies on.
template <class Fn>
void in_sweep_order(const std::vector<GroupIndex> &fes, const Fn &fn) {
    const int64_t F = static_cast<int64_t>(fes.size());
    for (int64_t n = 0; n < F; ++n) fn(fes[n]);
    for (int64_t n = F - 2; n >= 0; --n) fn(fes[n]);
}

// Repeats in-place sweeps until the largest column mean of |change| / (|old| + 1) falls
// below tol.
DemeanOutcome MAP_NH_noaccel(double *x, int64_t N, int64_t K, const double *w,
                             const std::vector<GroupIndex> &fes, const DemeanOptions &opt,
                             const ProgressFn &progress);

// Conjugate gradients on I - S, one problem per column, all columns advancing together
// (one sweep per iteration). K >= 1.
DemeanOutcome MAP_NH_CG_accel(double *x, int64_t N, int64_t K, const double *w,
                              const std::vector<GroupIndex> &fes, const DemeanOptions &opt,
                              const ProgressFn &progress);

}  // namespace quarnet
