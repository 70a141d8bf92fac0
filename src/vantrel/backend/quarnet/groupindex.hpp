// The group index of one fixed effect as the kernels see it, and the checks that make
// following it safe.
//
// The native kernels follow sortvec and panelmat without bounds checks. Every
// Python-callable function therefore checks, once per call and in O(N + G), every index it
// will follow, and only then hands plain views to the loops. The checks throw
// std::invalid_argument (ValueError in Python) with a message naming the argument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quarnet {

// Strides are in elements. The demeaning and screening functions take only contiguous
// arrays (the defaults); the cluster cross-products accept any strides.
struct GroupIndex {
    const int64_t *sortvec;
    int64_t sortvec_len;
    const int64_t *panelmat;  // N_panelmat rows of inclusive [start, end] positions in sortvec
    int64_t N_panelmat;
    std::string sortvec_name;  // how the caller named the two arrays, for error messages
    std::string panelmat_name;
    int64_t sortvec_stride = 1;
    int64_t panelmat_row_stride = 2;
    int64_t panelmat_col_stride = 1;

    int64_t row(int64_t k) const { return sortvec[k * sortvec_stride]; }
    int64_t start(int64_t g) const { return panelmat[g * panelmat_row_stride]; }
    int64_t end(int64_t g) const { return panelmat[g * panelmat_row_stride + panelmat_col_stride]; }
};

// panelmat has two columns and N_panelmat of its rows are used (0 <= N_panelmat <= rows).
void check_panelmat_shape(int64_t rows, int64_t cols, int64_t N_panelmat, const std::string &panelmat_name,
                          const std::string &n_panelmat_name);

// Every sortvec entry lies in [0, n_rows) and every non-empty panelmat row
// (start <= end) lies in [0, sortvec_len).
void check_index_ranges(const GroupIndex &g, int64_t n_rows);

// For the parallel demeaning, where each group's rows are written by one thread: sortvec
// is a permutation of 0 .. n_rows-1 and the non-empty panelmat ranges do not overlap, so
// no row belongs to two groups. Implies check_index_ranges.
void check_disjoint_groups(const GroupIndex &g, int64_t n_rows);

// Rejects an array that is written while another one is read from the same memory.
void check_no_overlap(const void *written, size_t written_bytes, const std::string &written_name,
                      const void *read, size_t read_bytes, const std::string &read_name);

// Rejects a written array that shares memory with the (contiguous) group index.
void check_index_not_written(const GroupIndex &g, const void *written, size_t written_bytes,
                             const std::string &written_name);

}  // namespace quarnet
