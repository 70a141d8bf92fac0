// The memory floor of a sweep, for the kernel benchmark only (benchmarks/bench_kernel.py):
// exactly the loads and stores of the group demeanings, without their arithmetic, to judge
// how close the demeaning kernel gets to memory speed. Not part of the shipped kernel.
#pragma once

#include <cstdint>
#include <vector>

#include "../groupindex.hpp"

namespace quarnet::bench {

// The loads and stores of demean_array_inplace on one fixed effect (same group loop, same
// column chunks, same prefetch, the same two passes per group), without the arithmetic.
void touch_rows(double *x, const int64_t *sortvec, const int64_t *panelmat, int64_t K, int64_t N_panelmat,
                int n_threads);

// touch_rows over the fixed effects in the order of a symmetric sweep (MAP_NH_iter's).
void touch_sweep(double *x, int64_t K, const std::vector<GroupIndex> &fes, int n_threads);

}  // namespace quarnet::bench
