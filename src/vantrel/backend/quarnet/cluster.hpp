// Group tables of sorted ids, and the cluster score cross-products.
// Each function checks its arguments first (std::invalid_argument naming the argument)
// and only then touches any array.
#pragma once

#include <cstdint>

#include "groupindex.hpp"

namespace quarnet {

// A two-dimensional view with strides in elements (any layout NumPy can produce).
template <class T>
struct Strided2D {
    T *data;
    int64_t rows, cols, row_stride, col_stride;
    T &operator()(int64_t i, int64_t j) const { return data[i * row_stride + j * col_stride]; }
};

// Fills the [start, end] table of the ids x[0:N], sorted so that equal ids are adjacent;
// groups are numbered in the order their ids first occur. result (N2 x 2, row-major) must
// arrive zero-filled: the first group's start is never written.
void panelsetup(int64_t *result, int64_t result_rows, int64_t result_cols, const int64_t *x,
                int64_t x_len, int64_t N, int64_t N2);

// B = sum over clusters g of (X_g' u_g)(X_g' u_g)', with X the columns 1..K of x and u the
// column 0 of u; clusters are given by `index`. Scores and B are accumulated in long
// double; result (K x K) is overwritten only if at least one cluster and one regressor.
void calc_B(const Strided2D<double> &result, const Strided2D<const double> &x,
            const Strided2D<const double> &u, const GroupIndex &index, int64_t K);

}  // namespace quarnet
