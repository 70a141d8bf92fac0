// Parallel column kernels. See kernels.hpp for the buffer conventions.
#include "kernels.hpp"

#include <omp.h>

#include <algorithm>
#include <cstdio>

#include "common.hpp"
#include "grouploops.hpp"

using quarnet::apply_thread_count;
using quarnet::for_each_column_chunk;
using quarnet::for_each_group_chunk;
using quarnet::prefetch_row;

namespace {

// Static block split of n rows over the threads of the current region: thread t gets
// floor(n/T) rows, the first n mod T threads one more, as contiguous blocks in thread order.
struct RowBlock {
    int64_t begin, end;
};

RowBlock my_row_block(int64_t n) {
    const int64_t T = omp_get_num_threads(), t = omp_get_thread_num();
    const int64_t q = n / T, rem = n % T;
    const int64_t begin = t * q + std::min(t, rem);
    return {begin, begin + q + (t < rem ? 1 : 0)};
}

// Subtracts the long double means from the chunk's columns, rounding only on the store.
template <int W>
void subtract_group_means(double *x, const int64_t *sortvec, int64_t a, int64_t b, int64_t K,
                          int64_t c, const long double (&mean)[W]) {
    for (int64_t k = a; k <= b; ++k) {
        double *row = x + sortvec[k] * K + c;
        for (int j = 0; j < W; ++j) row[j] = static_cast<double>(row[j] - mean[j]);
    }
}

}  // namespace

QUARNET_EXPORT void demean_array_inplace(double *x, const int64_t *sortvec, const int64_t *panelmat,
                                         int64_t K, int64_t N_panelmat, int n_threads) {
    apply_thread_count(n_threads);
    for_each_group_chunk(panelmat, K, N_panelmat, [&](auto width, int64_t a, int64_t b, int64_t c) {
        constexpr int W = decltype(width)::value;
        long double sum[W] = {};
        for (int64_t k = a; k <= b; ++k) {
            prefetch_row(x, sortvec, k, b, K, c);
            const double *row = x + sortvec[k] * K + c;
            for (int j = 0; j < W; ++j) sum[j] += row[j];
        }
        const long double n = static_cast<long double>(b - a + 1);
        long double mean[W];
        for (int j = 0; j < W; ++j) mean[j] = sum[j] / n;
        subtract_group_means<W>(x, sortvec, a, b, K, c, mean);
    });
}

QUARNET_EXPORT void weighted_demean_array_inplace(double *x, const double *w, const int64_t *sortvec,
                                                  const int64_t *panelmat, int64_t K,
                                                  int64_t N_panelmat, int n_threads) {
    apply_thread_count(n_threads);
    for_each_group_chunk(panelmat, K, N_panelmat, [&](auto width, int64_t a, int64_t b, int64_t c) {
        constexpr int W = decltype(width)::value;
        long double sum[W] = {};
        long double sumw = 0;
        for (int64_t k = a; k <= b; ++k) {
            prefetch_row(x, sortvec, k, b, K, c);
            const int64_t i = sortvec[k];
            const double *row = x + i * K + c;
            for (int j = 0; j < W; ++j) {
                const double xw = row[j] * w[i];  // rounded to double before it is added
                sum[j] += xw;
            }
            sumw += w[i];
        }
        // A group whose weights sum to zero gets a NaN or infinite mean: no guard, by design.
        long double mean[W];
        for (int j = 0; j < W; ++j) mean[j] = sum[j] / sumw;
        subtract_group_means<W>(x, sortvec, a, b, K, c, mean);
    });
}

QUARNET_EXPORT void subtract_arrays_inplace(double *a, const double *b, int64_t size, int n_threads) {
    apply_thread_count(n_threads);
#pragma omp parallel
    {
        const RowBlock blk = my_row_block(size);
        for (int64_t i = blk.begin; i < blk.end; ++i) a[i] = b[i] - a[i];
    }
}

namespace {

// Each thread sums its own block of rows into private long double accumulators and merges
// them into the shared total once, under the lock; the last bits of the result therefore
// depend on the thread count and on the order in which threads take the lock. The block is
// walked in tiles of rows, each tile once per column chunk (from cache when K > 4), which
// keeps every column's additions in row order.
template <class Product>
void quadcolsum_impl(double *res, int64_t N, int64_t K, const Product &product) {
    constexpr int64_t tile = 256;
    std::vector<long double> temp(static_cast<size_t>(K), 0.0L);
#pragma omp parallel
    {
        std::vector<long double> mine(static_cast<size_t>(K), 0.0L);
        const RowBlock blk = my_row_block(N);
        for (int64_t i0 = blk.begin; i0 < blk.end; i0 += tile) {
            const int64_t i1 = std::min(i0 + tile, blk.end);
            for_each_column_chunk(K, [&](auto width, int64_t c) {
                constexpr int W = decltype(width)::value;
                long double acc[W];
                for (int j = 0; j < W; ++j) acc[j] = mine[c + j];
                for (int64_t i = i0; i < i1; ++i)
                    for (int j = 0; j < W; ++j) acc[j] += product(i, c + j);
                for (int j = 0; j < W; ++j) mine[c + j] = acc[j];
            });
        }
#pragma omp critical(quarnet_quadcolsum_merge)
        for (int64_t k = 0; k < K; ++k) temp[k] += mine[k];
    }
    for (int64_t k = 0; k < K; ++k) res[k] = static_cast<double>(temp[k]);
}

}  // namespace

QUARNET_EXPORT void quadcolsum_inplace(double *res, const double *a, const double *b, int64_t N,
                                       int64_t K, int n_threads) {
    apply_thread_count(n_threads);
    quadcolsum_impl(res, N, K, [&](int64_t i, int64_t k) -> double {
        return a[i * K + k] * b[i * K + k];
    });
}

QUARNET_EXPORT void weighted_quadcolsum_inplace(double *res, const double *a, const double *b,
                                                const double *w, int64_t N, int64_t K,
                                                int n_threads) {
    apply_thread_count(n_threads);
    quadcolsum_impl(res, N, K, [&](int64_t i, int64_t k) -> double {
        return (a[i * K + k] * w[i]) * b[i * K + k];
    });
}

QUARNET_EXPORT void transform_1(const double *alpha, double *x, double *r, const double *u,
                                const double *v, int64_t N, int64_t K, int n_threads) {
    apply_thread_count(n_threads);
#pragma omp parallel
    {
        const RowBlock blk = my_row_block(N);
        for (int64_t i = blk.begin; i < blk.end; ++i)
            for (int64_t k = 0; k < K; ++k) {
                x[i * K + k] = x[i * K + k] - alpha[k] * u[i * K + k];
                r[i * K + k] = r[i * K + k] - alpha[k] * v[i * K + k];
            }
    }
}

QUARNET_EXPORT void transform_2(const double *beta, double *u, const double *r, int64_t N, int64_t K,
                                int n_threads) {
    apply_thread_count(n_threads);
#pragma omp parallel
    {
        const RowBlock blk = my_row_block(N);
        for (int64_t i = blk.begin; i < blk.end; ++i)
            for (int64_t k = 0; k < K; ++k) u[i * K + k] = beta[k] * u[i * K + k] + r[i * K + k];
    }
}

QUARNET_EXPORT void test_omp(int n_threads) {
    const int max_threads = omp_get_max_threads();
    std::printf("\nInput is %d\n\n", n_threads);
    std::printf("omp_get_max_threads() is %d\n", max_threads);
    apply_thread_count(n_threads);
#pragma omp parallel
    {
        std::printf(">>> omp_get_num_threads() is now %d\n", omp_get_num_threads());
#pragma omp for schedule(static)
        for (int i = 0; i < 50; ++i) std::printf("Hello world from omp thread %d\n", omp_get_thread_num());
    }
    // Python's own stdout is a separate buffer: flush ours so the lines appear in order.
    std::fflush(stdout);
}

namespace quarnet {

std::vector<double> quadcolsum(const double *x, const double *y, const double *w, int64_t N,
                               int64_t K, int n_threads) {
    std::vector<double> res(static_cast<size_t>(K), 0.0);
    if (w == nullptr)
        quadcolsum_inplace(res.data(), x, y, N, K, n_threads);
    else
        weighted_quadcolsum_inplace(res.data(), x, y, w, N, K, n_threads);
    return res;
}

std::vector<double> safe_divide(const std::vector<double> &num, const std::vector<double> &denom) {
    // The machine epsilon is the smallest denominator a step may use.
    std::vector<double> res(num.size(), 0.0);
    for (size_t i = 0; i < num.size(); ++i)
        res[i] = denom[i] < machine_epsilon ? num[i] / machine_epsilon : num[i] / denom[i];
    return res;
}

}  // namespace quarnet
