#include "rowpasses.hpp"

#include <omp.h>

#include <algorithm>
#include <limits>
#include <utility>

namespace quarnet {

int team_size(int threads, int64_t n) {
    if (n < parallel_rows) return 1;
    return threads > 0 ? threads : omp_get_max_threads();
}

namespace {

// Rows [begin, end) of thread t in a team of nt: contiguous ranges of equal length (to one row).
std::pair<int64_t, int64_t> rows_of(int64_t n, int t, int nt) {
    const int64_t q = n / nt, r = n % nt;
    const int64_t begin = q * t + std::min<int64_t>(t, r);
    return {begin, begin + q + (t < r ? 1 : 0)};
}

template <class V, class Out, class Count>
bool dense_codes_with(const IntegerColumn<V> &column, Out *out, std::vector<int64_t> &counts, int threads) {
    const int64_t n = column.n;
    const int T = team_size(threads, n);
    int64_t low = std::numeric_limits<int64_t>::max(), high = std::numeric_limits<int64_t>::min();
#pragma omp parallel for schedule(static) num_threads(T) reduction(min : low) reduction(max : high)
    for (int64_t i = 0; i < n; ++i) {
        const int64_t v = column.value(i);
        low = std::min(low, v);
        high = std::max(high, v);
    }
    // In unsigned arithmetic: the difference of two int64 values can exceed int64's range.
    const uint64_t span = static_cast<uint64_t>(high) - static_cast<uint64_t>(low);
    if (span > 4 * static_cast<uint64_t>(n)) return false;
    const int64_t R = static_cast<int64_t>(span) + 1;  // table entries, one per value in [low, high]

    // The counts of each thread's rows in a table of its own, and in the same pass the code
    // value - low, which is final when no value in [low, high] is missing (the usual case of
    // level numbers) and is otherwise renumbered below. The tables beyond the first may take
    // at most as many entries as there are rows: for a range of many values per row one
    // thread counts. Codes that do not fit Out (2^31 and more in int32) are not written
    // here; their values are read again instead.
    const int Tc = R * (T - 1) <= n ? T : 1;
    const bool fused = span <= static_cast<uint64_t>(std::numeric_limits<Out>::max());
    std::vector<std::vector<Count>> tables(static_cast<size_t>(Tc));
#pragma omp parallel num_threads(Tc)
    {
        const int t = omp_get_thread_num();
        const auto [begin, end] = rows_of(n, t, omp_get_num_threads());
        std::vector<Count> &table = tables[static_cast<size_t>(t)];
        table.assign(static_cast<size_t>(R), 0);  // touched by the thread that counts into it
        Count *c = table.data();
        if (fused) {
            for (int64_t i = begin; i < end; ++i) {
                const int64_t k = column.value(i) - low;
                ++c[k];
                out[i] = static_cast<Out>(k);
            }
        } else {
            for (int64_t i = begin; i < end; ++i) ++c[column.value(i) - low];
        }
    }
    std::vector<int64_t> code(static_cast<size_t>(R));  // the rows per value, then its code
    int64_t G = 0;
#pragma omp parallel for schedule(static) num_threads(T) reduction(+ : G)
    for (int64_t k = 0; k < R; ++k) {
        int64_t rows = 0;
        for (const std::vector<Count> &table : tables)
            if (!table.empty()) rows += static_cast<int64_t>(table[k]);
        code[k] = rows;
        G += rows > 0;
    }
    tables.clear();
    if (G == R && fused) {  // no value missing: the counts are the table, the codes written
        counts = std::move(code);
        return true;
    }
    // The counts of the present values, and the code of each: the present values below it.
    counts.resize(static_cast<size_t>(G));
    for (int64_t k = 0, next = 0; k < R; ++k)
        if (code[k] > 0) {
            counts[static_cast<size_t>(next)] = code[k];
            code[k] = next++;
        }
    const int64_t *to = code.data();
#pragma omp parallel for schedule(static) num_threads(T)
    for (int64_t i = 0; i < n; ++i)
        out[i] = static_cast<Out>(to[fused ? static_cast<int64_t>(out[i]) : column.value(i) - low]);
    return true;
}

}  // namespace

template <class V, class Out>
bool dense_codes(const IntegerColumn<V> &column, Out *out, std::vector<int64_t> &counts, int threads) {
    if (column.n == 0) {
        counts.clear();
        return true;
    }
    // 32-bit counts while no thread can count 2^32 rows: half the table of 64-bit ones
    if (column.n < (int64_t{1} << 32)) return dense_codes_with<V, Out, uint32_t>(column, out, counts, threads);
    return dense_codes_with<V, Out, uint64_t>(column, out, counts, threads);
}

template bool dense_codes(const IntegerColumn<int64_t> &, int64_t *, std::vector<int64_t> &, int);
template bool dense_codes(const IntegerColumn<int64_t> &, int32_t *, std::vector<int64_t> &, int);
template bool dense_codes(const IntegerColumn<int32_t> &, int64_t *, std::vector<int64_t> &, int);
template bool dense_codes(const IntegerColumn<int32_t> &, int32_t *, std::vector<int64_t> &, int);

void fill_standardised(double *out, int64_t N, const DoubleColumns &columns, const double *centre,
                       const double *inverse, int threads) {
    const int64_t K = static_cast<int64_t>(columns.data.size());
    // Rows in blocks that stay in cache: each column is read along a block and written into
    // the block's rows at stride K, so the block's cache lines are complete when it is done.
    constexpr int64_t block = 4096;
#pragma omp parallel num_threads(team_size(threads, N))
    {
        const auto [begin, end] = rows_of(N, omp_get_thread_num(), omp_get_num_threads());
        for (int64_t a = begin; a < end; a += block) {
            const int64_t b = std::min(end, a + block);
            for (int64_t j = 0; j < K; ++j) {
                const double *v = columns.data[static_cast<size_t>(j)];
                const int64_t s = columns.stride[static_cast<size_t>(j)];
                double *o = out + j;
                if (v == nullptr) {
                    for (int64_t i = a; i < b; ++i) o[i * K] = 1.0;
                } else if (columns.rows != nullptr) {
                    for (int64_t i = a; i < b; ++i) o[i * K] = (v[columns.rows[i] * s] - centre[j]) * inverse[j];
                } else {
                    for (int64_t i = a; i < b; ++i) o[i * K] = (v[i * s] - centre[j]) * inverse[j];
                }
            }
        }
    }
}

template <class Id>
void cluster_meat(const Strided2D<double> &result, const Strided2D<const double> &x, const Strided2D<const double> &u,
                  const Id *ids, int64_t G, int64_t K) {
    const int64_t N = x.rows;
    if (G == 0 || K == 0) return;
    const int64_t width = std::min(G, std::max<int64_t>(1, std::max<int64_t>(N / 2, int64_t{1} << 16) / K));
    std::vector<long double> table(static_cast<size_t>(width * K)), sum(static_cast<size_t>(K * K), 0.0L);
    // rows ahead whose table entry is fetched early: the entries of a large table are scattered
    constexpr int64_t ahead = 16;
    for (int64_t g0 = 0; g0 < G; g0 += width) {
        const int64_t g1 = std::min(G, g0 + width);
        std::fill(table.begin(), table.begin() + (g1 - g0) * K, 0.0L);
        long double *t = table.data();  // t + (g - g0) * K: the row of cluster g
        for (int64_t i = 0; i < N; ++i) {
            if (i + ahead < N) {
                const int64_t h = static_cast<int64_t>(ids[i + ahead]);
                if (h >= g0 && h < g1) __builtin_prefetch(t + (h - g0) * K, 1);
            }
            const int64_t g = static_cast<int64_t>(ids[i]);
            if (g < g0 || g >= g1) continue;
            const long double ui = u(i, 0);  // the product is formed in long double, as in calc_B
            long double *row = t + (g - g0) * K;
            for (int64_t j = 0; j < K; ++j) row[j] += ui * x(i, j + 1);
        }
        for (int64_t g = 0; g < g1 - g0; ++g) {
            const long double *xu = t + g * K;
            // the same product added to both halves, as in calc_B, so the sum stays symmetric
            for (int64_t j = 0; j < K; ++j)
                for (int64_t k = j; k < K; ++k) {
                    const long double xuux = xu[j] * xu[k];
                    sum[j * K + k] += xuux;
                    if (k != j) sum[k * K + j] += xuux;
                }
        }
    }
    for (int64_t j = 0; j < K; ++j)
        for (int64_t k = 0; k < K; ++k) result(j, k) = static_cast<double>(sum[j * K + k]);
}

template void cluster_meat(const Strided2D<double> &, const Strided2D<const double> &, const Strided2D<const double> &,
                           const int64_t *, int64_t, int64_t);
template void cluster_meat(const Strided2D<double> &, const Strided2D<const double> &, const Strided2D<const double> &,
                           const int32_t *, int64_t, int64_t);

}  // namespace quarnet
