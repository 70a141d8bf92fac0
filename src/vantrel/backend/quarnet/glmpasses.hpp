// Passes over the rows of the reweighted least squares of a generalised linear model
// (vantrel.core.irls): the linear predictor, mean and deviance sums of a log link in one
// pass, the next working variable carried into the absorbed block in another, and the
// weighted cross products of a narrow block; and the rows of the groups whose outcome is
// zero throughout (the "fe" separation check).
//
// Between two absorptions these are all the iterations do with N entries; in NumPy each is
// a chain of whole-array operations on one thread with temporaries of N entries. Here
// each is one parallel pass.
//
// Sums are formed by fixed chunks of rows and the chunks' sums added in row order, so the
// result is the same for any number of threads. Elementwise results are rounded at the
// same points as the NumPy expressions they replace (the build does not contract a * b + c
// into one rounding), so the working variable and the absorbed block get the same bits;
// the exponential is the C library's, which may differ from NumPy's in the last bit.
//
// The arguments are checked by the bindings (module.cpp); these functions trust them.
#pragma once

#include <cstdint>
#include <utility>

#include "cluster.hpp"

namespace quarnet {

// What the log link's predictor pass reads: a row-major N x K block, its K coefficients,
// the working variable z, an optional offset, y times the prior weights (wy) and the prior
// weights (null: ones).
struct LogLinkRows {
    const double *block;
    int64_t K;
    const double *coef;
    const double *z;
    const double *offset;  // null: none
    const double *wy;
    const double *w;  // null: ones
};

// eta[i] = sum_j block[i, j] coef[j] + z[i] (+ offset[i]) and mu[i] = exp(eta[i]) for the
// N rows; returns (sum_i wy[i] eta[i], sum_i w[i] mu[i]), the two sums of the Poisson
// deviance that depend on the fit.
std::pair<double, double> log_link_predict(double *eta, double *mu, int64_t N, const LogLinkRows &rows, int threads);

// The log link's next working variable, carried into the absorbed block: for each row,
// z' = (y - mu) / mu + (eta - offset), then block[i, 0] += (z' - z[i]) * inverse_size and
// z[i] = z' (block row-major, K columns).
void log_link_rework(double *z, double *block, int64_t K, int64_t N, const double *y, const double *eta,
                     const double *mu, const double *offset, double inverse_size, int threads);

// The rows in a fixed-effect group whose outcome is zero in every row: out[i] = 1 when, for
// some effect f, no row of the level ids(i, f) has y > 0 (y non-negative). ids: N x F dense
// level ids of any strides, G[f] levels each; out: N entries, written whole.
template <class Id>
void zero_groups(uint8_t *out, const double *y, const Strided2D<const Id> &ids, const int64_t *G, int threads);

// The widest block weighted_cross_products takes (a row is held in a buffer of this many);
// wider blocks are a matrix product's work.
constexpr int64_t widest_cross_products = 16;

// x' W x (w null: x' x) of an N x K view of any strides, K <= widest_cross_products, into
// gram (K x K, row-major, both triangles the same bits).
void weighted_cross_products(double *gram, const Strided2D<const double> &x, const double *w, int threads);

}  // namespace quarnet
