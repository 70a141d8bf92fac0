#include "glmpasses.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "rowpasses.hpp"

namespace quarnet {

namespace {

// Rows per chunk of a sum: the unit whose partial sums are added in row order.
constexpr int64_t chunk_rows = int64_t{1} << 13;

int64_t chunks_of(int64_t n) { return (n + chunk_rows - 1) / chunk_rows; }

// The predictor pass with the block's width fixed at compile time (Kc > 0) or read at run
// time (Kc == 0): the coefficients then stay in registers.
template <int64_t Kc>
std::pair<double, double> predict_with(double *eta, double *mu, int64_t N, const LogLinkRows &r, int threads) {
    const int64_t K = Kc > 0 ? Kc : r.K;
    const int64_t C = chunks_of(N);
    std::vector<double> sums(static_cast<size_t>(2 * C));
#pragma omp parallel for schedule(static) num_threads(team_size(threads, N))
    for (int64_t c = 0; c < C; ++c) {
        const int64_t a = c * chunk_rows, b = std::min(N, a + chunk_rows);
        double s_eta = 0.0, s_mu = 0.0;
        for (int64_t i = a; i < b; ++i) {
            const double *row = r.block + i * K;
            double e = 0.0;
            for (int64_t j = 0; j < K; ++j) e += row[j] * r.coef[j];
            e += r.z[i];
            if (r.offset != nullptr) e += r.offset[i];
            const double m = std::exp(e);
            eta[i] = e;
            mu[i] = m;
            s_eta += r.wy[i] * e;
            s_mu += r.w != nullptr ? r.w[i] * m : m;
        }
        sums[static_cast<size_t>(2 * c)] = s_eta;
        sums[static_cast<size_t>(2 * c + 1)] = s_mu;
    }
    double s_eta = 0.0, s_mu = 0.0;
    for (int64_t c = 0; c < C; ++c) {
        s_eta += sums[static_cast<size_t>(2 * c)];
        s_mu += sums[static_cast<size_t>(2 * c + 1)];
    }
    return {s_eta, s_mu};
}

// The upper triangle of one chunk's cross products, in row order, into t (K x K).
template <int64_t Kc>
void chunk_products(double *t, const Strided2D<const double> &x, const double *w, int64_t a, int64_t b, int64_t Kr) {
    const int64_t K = Kc > 0 ? Kc : Kr;
    for (int64_t i = a; i < b; ++i) {
        double v[Kc > 0 ? Kc : widest_cross_products];
        for (int64_t j = 0; j < K; ++j) v[j] = x(i, j);
        const double wi = w != nullptr ? w[i] : 1.0;
        for (int64_t j = 0; j < K; ++j) {
            const double wv = w != nullptr ? v[j] * wi : v[j];
            for (int64_t k = j; k < K; ++k) t[j * K + k] += wv * v[k];
        }
    }
}

}  // namespace

std::pair<double, double> log_link_predict(double *eta, double *mu, int64_t N, const LogLinkRows &rows, int threads) {
    switch (rows.K) {
        case 1: return predict_with<1>(eta, mu, N, rows, threads);
        case 2: return predict_with<2>(eta, mu, N, rows, threads);
        case 3: return predict_with<3>(eta, mu, N, rows, threads);
        case 4: return predict_with<4>(eta, mu, N, rows, threads);
        case 5: return predict_with<5>(eta, mu, N, rows, threads);
        case 6: return predict_with<6>(eta, mu, N, rows, threads);
        default: return predict_with<0>(eta, mu, N, rows, threads);
    }
}

void log_link_rework(double *z, double *block, int64_t K, int64_t N, const double *y, const double *eta,
                     const double *mu, const double *offset, double inverse_size, int threads) {
#pragma omp parallel for schedule(static) num_threads(team_size(threads, N))
    for (int64_t i = 0; i < N; ++i) {
        // the roundings of (y - mu) / mu + eta, then of (z' - z) * inverse_size, then of the sum
        double next = y[i] - mu[i];
        next /= mu[i];
        next += offset != nullptr ? eta[i] - offset[i] : eta[i];
        double change = next - z[i];
        change *= inverse_size;
        block[i * K] += change;
        z[i] = next;
    }
}

void weighted_cross_products(double *gram, const Strided2D<const double> &x, const double *w, int threads) {
    const int64_t N = x.rows, K = x.cols;
    std::fill(gram, gram + K * K, 0.0);
    if (K == 0) return;
    const int64_t C = chunks_of(N);
    std::vector<double> parts(static_cast<size_t>(C * K * K), 0.0);
#pragma omp parallel for schedule(static) num_threads(team_size(threads, N))
    for (int64_t c = 0; c < C; ++c) {
        const int64_t a = c * chunk_rows, b = std::min(N, a + chunk_rows);
        double *t = parts.data() + c * K * K;
        switch (K) {
            case 1: chunk_products<1>(t, x, w, a, b, K); break;
            case 2: chunk_products<2>(t, x, w, a, b, K); break;
            case 3: chunk_products<3>(t, x, w, a, b, K); break;
            case 4: chunk_products<4>(t, x, w, a, b, K); break;
            case 5: chunk_products<5>(t, x, w, a, b, K); break;
            case 6: chunk_products<6>(t, x, w, a, b, K); break;
            default: chunk_products<0>(t, x, w, a, b, K); break;
        }
    }
    for (int64_t c = 0; c < C; ++c) {
        const double *t = parts.data() + c * K * K;
        for (int64_t j = 0; j < K; ++j)
            for (int64_t k = j; k < K; ++k) gram[j * K + k] += t[j * K + k];
    }
    for (int64_t j = 0; j < K; ++j)
        for (int64_t k = 0; k < j; ++k) gram[j * K + k] = gram[k * K + j];
}

template <class Id>
void zero_groups(uint8_t *out, const double *y, const Strided2D<const Id> &ids, const int64_t *G, int threads) {
    const int64_t N = ids.rows, F = ids.cols;
    // y > 0 once, as 0 or 1: the scatter below ORs it in without a branch (a third of the
    // outcomes zero at random mispredicted a branch on every other row)
    std::vector<uint8_t> row_positive(static_cast<size_t>(N));
#pragma omp parallel for schedule(static) num_threads(team_size(threads, N))
    for (int64_t i = 0; i < N; ++i) {
        row_positive[static_cast<size_t>(i)] = static_cast<uint8_t>(y[i] > 0.0);
        out[i] = 0;
    }
    std::vector<uint8_t> positive;
    for (int64_t f = 0; f < F; ++f) {
        // the levels with a positive outcome: one thread (a scatter), then the rows of the
        // others marked in parallel
        positive.assign(static_cast<size_t>(G[f]), 0);
        uint8_t *level = positive.data();
        for (int64_t i = 0; i < N; ++i) level[static_cast<size_t>(ids(i, f))] |= row_positive[static_cast<size_t>(i)];
        const uint8_t *has = positive.data();
#pragma omp parallel for schedule(static) num_threads(team_size(threads, N))
        for (int64_t i = 0; i < N; ++i) out[i] |= static_cast<uint8_t>(has[static_cast<size_t>(ids(i, f))] == 0);
    }
}

template void zero_groups(uint8_t *, const double *, const Strided2D<const int64_t> &, const int64_t *, int);
template void zero_groups(uint8_t *, const double *, const Strided2D<const int32_t> &, const int64_t *, int);

}  // namespace quarnet
