#include "cluster.hpp"

#include <vector>

#include "common.hpp"

namespace quarnet {

namespace {

// Groups of x[0:N]: one plus the number of places where the id changes.
int64_t count_runs(const int64_t *x, int64_t N) {
    int64_t runs = 1;
    for (int64_t i = 1; i < N; ++i) runs += x[i] != x[i - 1];
    return runs;
}

}  // namespace

void panelsetup(int64_t *result, int64_t result_rows, int64_t result_cols, const int64_t *x,
                int64_t x_len, int64_t N, int64_t N2) {
    if (result_cols != 2) reject("result has " + num(result_cols) + " columns, a [start, end] table has 2");
    if (N < 1 || N > x_len)
        reject("N = " + num(N) + " must lie in [1, len(x)] = [1, " + num(x_len) + "]");
    if (N2 != result_rows)
        reject("N2 = " + num(N2) + " differs from the number of rows of result (" + num(result_rows) + ")");
    check_no_overlap(result, static_cast<size_t>(result_rows) * 2 * sizeof(int64_t), "result", x,
                     static_cast<size_t>(N) * sizeof(int64_t), "x");
    // Count before filling: every group found below needs a row of result.
    const int64_t runs = count_runs(x, N);
    // Fewer groups than rows would leave the last rows without bounds and stretch the last
    // group over them (a cluster lost, another spanning all rows): N2 must be exact.
    if (runs != N2)
        reject("N2 = " + num(N2) + " differs from the number of groups in x[0:N] (" + num(runs) + ")");

    int64_t curid = x[0], row = 1;
    for (int64_t i = 0; i < N; ++i) {
        if (x[i] != curid) {
            result[2 * row] = i;
            result[2 * (row - 1) + 1] = i - 1;
            ++row;
            curid = x[i];
        }
    }
    result[2 * (N2 - 1) + 1] = N - 1;
}

void calc_B(const Strided2D<double> &result, const Strided2D<const double> &x,
            const Strided2D<const double> &u, const GroupIndex &index, int64_t K) {
    if (K < 0) reject("K = " + num(K) + " must not be negative");
    if (K >= x.cols) reject("x has " + num(x.cols) + " columns, K + 1 = " + num(K + 1) + " are needed");
    if (u.cols < 1) reject("u has no column");
    if (u.rows != x.rows)
        reject("u has " + num(u.rows) + " rows, x has " + num(x.rows));
    if (result.rows < K || result.cols < K)
        reject("result is " + num(result.rows) + " x " + num(result.cols) + ", K x K = " + num(K) +
               " x " + num(K) + " is needed");
    check_index_ranges(index, x.rows);

    const size_t k_ = static_cast<size_t>(K);
    std::vector<long double> xu(k_), sum_xuux(k_ * k_, 0.0L);
    for (int64_t g = 0; g < index.N_panelmat; ++g) {
        std::fill(xu.begin(), xu.end(), 0.0L);
        for (int64_t i = index.start(g); i <= index.end(g); ++i) {
            const int64_t row = index.row(i);
            const long double ui = u(row, 0);  // the product is formed in long double too
            for (int64_t j = 0; j < K; ++j) xu[j] += ui * x(row, j + 1);
        }
        // Add the same product to both halves so that B stays exactly symmetric.
        for (int64_t j = 0; j < K; ++j)
            for (int64_t k = j; k < K; ++k) {
                const long double xuux = xu[j] * xu[k];
                sum_xuux[j * K + k] += xuux;
                if (k != j) sum_xuux[k * K + j] += xuux;
            }
    }
    if (index.N_panelmat > 0 && K >= 1)
        for (int64_t j = 0; j < K; ++j)
            for (int64_t k = 0; k < K; ++k) result(j, k) = static_cast<double>(sum_xuux[j * K + k]);
}

}  // namespace quarnet
