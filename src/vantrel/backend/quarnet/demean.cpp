#include "demean.hpp"

#include <cmath>
#include <cstring>
#include <memory>

#include "common.hpp"
#include "kernels.hpp"

namespace quarnet {

namespace {

std::unique_ptr<double[]> matrix_buffer(int64_t N, int64_t K) {
    return std::unique_ptr<double[]>(new double[static_cast<size_t>(N * K)]);
}

void copy_matrix(double *dst, const double *src, int64_t N, int64_t K) {
    std::memcpy(dst, src, static_cast<size_t>(N * K) * sizeof(double));
}

enum class Next { iterate, converged, exhausted };

// The end of every iteration, shared by both methods: report, test for convergence (only
// once count > miniter), then count the iteration against maxiter.
Next end_of_iteration(int64_t &count, double update_error, const DemeanOptions &opt,
                      const ProgressFn &progress) {
    if (opt.verbose > 1 && count % 10 == 0) progress(ProgressEvent::line, count, update_error);
    if (update_error < opt.tol && count > opt.miniter) {
        if (opt.verbose > 0) progress(ProgressEvent::converged, count, update_error);
        ++count;
        return Next::converged;
    }
    ++count;
    return count == opt.maxiter ? Next::exhausted : Next::iterate;
}

}  // namespace

void MAP_NH_iter(double *x, int64_t N, int64_t K, const double *w, const std::vector<GroupIndex> &fes,
                 int n_threads, double *projection) {
    double *x2 = x;
    if (projection != nullptr) {
        copy_matrix(projection, x, N, K);
        x2 = projection;
    }
    in_sweep_order(fes, [&](const GroupIndex &fe) {
        if (w == nullptr)
            demean_array_inplace(x2, fe.sortvec, fe.panelmat, K, fe.N_panelmat, n_threads);
        else
            weighted_demean_array_inplace(x2, w, fe.sortvec, fe.panelmat, K, fe.N_panelmat, n_threads);
    });
    if (projection != nullptr) subtract_arrays_inplace(projection, x, N * K, n_threads);
}

DemeanOutcome MAP_NH_noaccel(double *x, int64_t N, int64_t K, const double *w,
                             const std::vector<GroupIndex> &fes, const DemeanOptions &opt,
                             const ProgressFn &progress) {
    if (opt.maxiter <= 0) return {0, false};
    std::vector<double> update_error2(static_cast<size_t>(K));
    auto x_old = matrix_buffer(N, K);  // one buffer, refilled before every sweep
    int64_t count = 0;
    for (;;) {
        progress(ProgressEvent::poll, count, 0.0);
        copy_matrix(x_old.get(), x, N, K);
        MAP_NH_iter(x, N, K, w, fes, opt.n_threads);

        // Mean relative change per column, in double and in exactly this order:
        // difference, absolute value, divide by |old| + 1, times the weight, add.
        std::fill(update_error2.begin(), update_error2.end(), 0.0);
        double sum_w = 0.0;
        for (int64_t i = 0; i < N; ++i) {
            for (int64_t j = 0; j < K; ++j) {
                const double old = x_old[i * K + j];
                const double rel = std::fabs(x[i * K + j] - old) / (std::fabs(old) + 1);
                update_error2[j] += w == nullptr ? rel : rel * w[i];
            }
            if (w != nullptr) sum_w += w[i];
        }
        if (w == nullptr) sum_w = static_cast<double>(N);

        double update_error = 0.0;
        for (int64_t j = 0; j < K; ++j) {
            const double q = update_error2[j] / sum_w;
            if (q > update_error) update_error = q;  // a NaN q never replaces the running value
        }
        switch (end_of_iteration(count, update_error, opt, progress)) {
            case Next::converged: return {count, true};
            case Next::exhausted: return {count, false};
            case Next::iterate: break;
        }
    }
}

DemeanOutcome MAP_NH_CG_accel(double *x, int64_t N, int64_t K, const double *w,
                              const std::vector<GroupIndex> &fes, const DemeanOptions &opt,
                              const ProgressFn &progress) {
    if (K < 1) reject("x has no column: the accelerated demeaning needs K >= 1");
    // Raising here, before the first sweep, is indistinguishable from raising after it:
    // that sweep works on copies and leaves x alone.
    if (opt.maxiter <= 0) return {0, false};
    const int n_threads = opt.n_threads;
    auto inner = [&](const double *p, const double *q) { return quadcolsum(p, q, w, N, K, n_threads); };

    std::vector<double> recent_ssr(static_cast<size_t>(K), 0.0);
    std::vector<double> improvement_potential = inner(x, x);
    auto r = matrix_buffer(N, K);
    MAP_NH_iter(x, N, K, w, fes, n_threads, r.get());
    std::vector<double> ssr = inner(r.get(), r.get());
    auto u = matrix_buffer(N, K);
    copy_matrix(u.get(), r.get(), N, K);
    // v = (I - S) u is recomputed each iteration into this one buffer.
    auto v = matrix_buffer(N, K);

    // Guards of the convergence measure: improvements below 1e-15 count as none, and the
    // remaining potential is never taken below the machine epsilon (nor NaN).
    constexpr double min_improvement = 1e-15;
    constexpr double min_potential = machine_epsilon;
    int64_t count = 0;
    for (;;) {
        progress(ProgressEvent::poll, count, 0.0);
        MAP_NH_iter(u.get(), N, K, w, fes, n_threads, v.get());
        const std::vector<double> alpha = safe_divide(ssr, inner(u.get(), v.get()));
        for (int64_t k = 0; k < K; ++k) {
            recent_ssr[k] = ssr[k] * alpha[k];
            improvement_potential[k] -= recent_ssr[k];
        }
        transform_1(alpha.data(), x, r.get(), u.get(), v.get(), N, K, n_threads);
        const std::vector<double> ssr_old = ssr;
        ssr = inner(r.get(), r.get());
        const std::vector<double> beta = safe_divide(ssr, ssr_old);
        transform_2(beta.data(), u.get(), r.get(), N, K, n_threads);

        double m = 0.0;
        for (int64_t k = 0; k < K; ++k) {
            const double numerator = recent_ssr[k] < min_improvement ? 0.0 : recent_ssr[k];  // NaN stays
            const double ip = improvement_potential[k];
            const double denominator = ip >= min_potential ? ip : min_potential;
            const double q = numerator / denominator;
            if (q > m) m = q;  // a NaN q never replaces m
        }
        switch (end_of_iteration(count, std::sqrt(m), opt, progress)) {
            case Next::converged: return {count, true};
            case Next::exhausted: return {count, false};
            case Next::iterate: break;
        }
    }
}

}  // namespace quarnet
