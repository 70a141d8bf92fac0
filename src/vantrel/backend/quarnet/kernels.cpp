// Parallel column kernels. See kernels.hpp for the buffer conventions.
#include "kernels.hpp"

#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <type_traits>

#include "common.hpp"

namespace {

void apply_thread_count(int n_threads) {
    if (n_threads > 0) omp_set_num_threads(n_threads);
}

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

template <int W>
using Width = std::integral_constant<int, W>;

// Runs body(Width<W>{}, c) for the chunks of up to four columns c .. c+W-1 of K columns.
// The compile-time width keeps a chunk's long double accumulators in registers (a loop over
// a run-time K measured 1.5x slower).
template <class Body>
void for_each_column_chunk(int64_t K, const Body &body) {
    for (int64_t c = 0; c < K; c += 4) {
        switch (std::min<int64_t>(K - c, 4)) {
            case 4: body(Width<4>{}, c); break;
            case 3: body(Width<3>{}, c); break;
            case 2: body(Width<2>{}, c); break;
            default: body(Width<1>{}, c); break;
        }
    }
}

// Runs body(Width<W>{}, a, b, c) for every non-empty group [a, b] and every column chunk,
// groups spread over the threads by a guided schedule with chunks of one group. Handling a
// chunk of columns in one pass over the group's rows reads each row once per chunk instead
// of once per column. Within a column the order of operations is that of a column-by-column
// loop, so results are bit-identical to it.
template <class Body>
void for_each_group_chunk(const int64_t *panelmat, int64_t K, int64_t N_panelmat, const Body &body) {
#pragma omp parallel for schedule(guided, 1)
    for (int64_t g = 0; g < N_panelmat; ++g) {
        const int64_t a = panelmat[2 * g], b = panelmat[2 * g + 1];
        if (a > b) continue;
        for_each_column_chunk(K, [&](auto width, int64_t c) { body(width, a, b, c); });
    }
}

// When the rows are not sorted by a fixed effect its groups' rows lie scattered over the
// matrix; asking for the row this many positions ahead in sortvec hides most of the memory
// latency (the scattered demeaning of the kernel benchmark ran about 1.5x faster). Only
// inside the group's own range [a, b], so sortvec is never read past what was checked.
constexpr int64_t prefetch_distance = 24;

inline void prefetch_row(const double *x, const int64_t *sortvec, int64_t k, int64_t b, int64_t K, int64_t c) {
    if (k + prefetch_distance <= b) __builtin_prefetch(x + sortvec[k + prefetch_distance] * K + c);
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

// Keeps a loaded value alive (and a stored one from being elided) without any arithmetic.
inline void opaque(double &v) {
#if defined(__x86_64__)
    asm volatile("" : "+x"(v));
#else
    asm volatile("" : "+m"(v));
#endif
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

void touch_rows(double *x, const int64_t *sortvec, const int64_t *panelmat, int64_t K,
                int64_t N_panelmat, int n_threads) {
    apply_thread_count(n_threads);
    for_each_group_chunk(panelmat, K, N_panelmat, [&](auto width, int64_t a, int64_t b, int64_t c) {
        constexpr int W = decltype(width)::value;
        for (int64_t k = a; k <= b; ++k) {  // the summing pass: loads only
            prefetch_row(x, sortvec, k, b, K, c);
            const double *row = x + sortvec[k] * K + c;
            for (int j = 0; j < W; ++j) {
                double v = row[j];
                opaque(v);
            }
        }
        for (int64_t k = a; k <= b; ++k) {  // the subtracting pass: load and store
            double *row = x + sortvec[k] * K + c;
            for (int j = 0; j < W; ++j) {
                double v = row[j];
                opaque(v);
                row[j] = v;
            }
        }
    });
}

}  // namespace quarnet
