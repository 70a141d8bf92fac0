// Passes over the rows of the estimation sample: the dense codes of an integer column and
// the row-major block of standardised columns that the absorption demeans (both in
// parallel), and the cluster score cross-products of the covariance (one cluster variable
// per call; the caller runs several at once).
//
// Both write arrays of N entries that are usually fresh memory: on a virtual machine the
// first touch of a page costs more than the pass itself, and two threads touching the pages
// of their halves take about half the time of one. Each thread handles one contiguous range
// of rows, so it writes whole cache lines and pages of its own.
//
// The arguments are checked by the bindings (module.cpp); these functions trust them.
#pragma once

#include <cstdint>
#include <vector>

#include "cluster.hpp"

namespace quarnet {

// Below this many rows a pass takes less time than waking a second thread.
constexpr int64_t parallel_rows = int64_t{1} << 16;

// The threads of a pass over n rows: one below parallel_rows, else `threads` (0: OpenMP's default).
int team_size(int threads, int64_t n);

// An integer column as the passes read it: value(i) = values[rows[i] * stride] with rows,
// values[i * stride] without.
template <class V>
struct IntegerColumn {
    const V *values;
    int64_t stride;
    const int64_t *rows;  // null: every row in order
    int64_t n;            // rows read

    int64_t value(int64_t i) const {
        return static_cast<int64_t>(values[(rows != nullptr ? rows[i] : i) * stride]);
    }
};

// Dense codes 0 .. G-1 of the n values of `column` in ascending value order into out[0:n],
// and the rows per code in `counts` (G entries), when the values span at most 4 per row
// (max - min <= 4n): counted in a table indexed by value - min, no sort. Returns false,
// writing nothing, when they span more. Out must hold n - 1 (the largest code possible).
template <class V, class Out>
bool dense_codes(const IntegerColumn<V> &column, Out *out, std::vector<int64_t> &counts, int threads);

// One row-major N x K block from K columns: out[i * K + j] = (column_j(i) - centre[j]) *
// inverse[j], or 1 where a column is null (the intercept's ones); column_j(i) reads row
// rows[i] (or i) at that column's stride. The same two roundings as NumPy's
// (values - centre) * inverse, so the block is bit for bit the one NumPy would build.
struct DoubleColumns {
    std::vector<const double *> data;  // null: a column of ones
    std::vector<int64_t> stride;
    const int64_t *rows = nullptr;
};
void fill_standardised(double *out, int64_t N, const DoubleColumns &columns, const double *centre,
                       const double *inverse, int threads);

// The meat sum_g (X_g' u_g)(X_g' u_g)' of the clusters of the dense ids[0:N] in [0, G), X the
// columns 1..K of x and u the column 0 of u, into result (K x K): the sums of calc_B over the
// group index of a stable counting sort of the ids, in the same order and in long double, so
// the same bits. No sort: the rows are read in order, each adding its scores into its
// cluster's row of a table (so a cluster's rows in increasing order, as in the sorted
// index), and the outer products of the table's rows are added in cluster order. Reading x
// and u in row order instead of gathering them by cluster is most of the gain. The table
// holds at most about N / 2 long doubles; beyond that the clusters are taken in ranges, the
// ids read once per range and the outer products added range after range.
template <class Id>
void cluster_meat(const Strided2D<double> &result, const Strided2D<const double> &x, const Strided2D<const double> &u,
                  const Id *ids, int64_t G, int64_t K);

}  // namespace quarnet
