// Parallel column kernels of the absorption kernel.
//
// The extern "C" functions below are exported from the extension module under their
// own names, so any native code (or ctypes) can call them on raw buffers. They check
// nothing: sizes, index ranges and buffer lengths are the caller's obligation. The
// Python-callable functions validate everything once before they call them.
//
// Layout conventions shared by every kernel:
//   x, a, b, r, u, v   N x K doubles, row-major: element (i, k) at i*K + k
//   w                  N weights
//   sortvec            permutation of the rows; the rows of a group are adjacent in it
//   panelmat           G x 2 inclusive [start, end] positions in sortvec, read as the
//                      pairs (2g, 2g+1); a row with start > end is an empty group
//   alpha, beta, res   K per-column factors or results
//   n_threads          > 0 sets the process-wide OpenMP default thread count (the
//                      setting persists); <= 0 keeps the current default
//
// Every sum is accumulated in x87 80-bit long double. Products that enter a sum are
// formed in double and rounded before they are added; a group mean is formed and
// subtracted in long double; only the final stores round to double.
#pragma once

#include <cstdint>
#include <vector>

// nanobind compiles the module with hidden visibility; these symbols must stay visible.
#define QUARNET_EXPORT extern "C" __attribute__((visibility("default")))

QUARNET_EXPORT void demean_array_inplace(double *x, const int64_t *sortvec, const int64_t *panelmat,
                                         int64_t K, int64_t N_panelmat, int n_threads);
QUARNET_EXPORT void weighted_demean_array_inplace(double *x, const double *w, const int64_t *sortvec,
                                                  const int64_t *panelmat, int64_t K,
                                                  int64_t N_panelmat, int n_threads);
// a[i] = b[i] - a[i]
QUARNET_EXPORT void subtract_arrays_inplace(double *a, const double *b, int64_t size, int n_threads);
// res[k] = sum_i a[i,k] * b[i,k]; K >= 1
QUARNET_EXPORT void quadcolsum_inplace(double *res, const double *a, const double *b, int64_t N,
                                       int64_t K, int n_threads);
// res[k] = sum_i (a[i,k] * w[i]) * b[i,k]; K >= 1
QUARNET_EXPORT void weighted_quadcolsum_inplace(double *res, const double *a, const double *b,
                                                const double *w, int64_t N, int64_t K,
                                                int n_threads);
// x -= alpha o u; r -= alpha o v (column-wise factors)
QUARNET_EXPORT void transform_1(const double *alpha, double *x, double *r, const double *u,
                                const double *v, int64_t N, int64_t K, int n_threads);
// u = r + beta o u
QUARNET_EXPORT void transform_2(const double *beta, double *u, const double *r, int64_t N, int64_t K,
                                int n_threads);
// Prints which thread counts the OpenMP runtime uses (a diagnostic).
QUARNET_EXPORT void test_omp(int n_threads);

namespace quarnet {

// Column sums of products of two N x K matrices, optionally weighted (w may be null).
std::vector<double> quadcolsum(const double *x, const double *y, const double *w, int64_t N,
                               int64_t K, int n_threads);

// num / denom elementwise; a denominator below 2^-52 (zero, negative, tiny) is replaced by
// 2^-52, a NaN denominator divides normally.
std::vector<double> safe_divide(const std::vector<double> &num, const std::vector<double> &denom);

}  // namespace quarnet
