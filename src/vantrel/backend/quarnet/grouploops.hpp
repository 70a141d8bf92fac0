// The loops that every pass over groups shares: a parallel loop over the groups of one fixed
// effect, the chunking of the columns, the prefetch of scattered rows, and the thread-count
// rule. Included by kernels.cpp (the group demeanings) and by the benchmark hooks' memory
// floor (bench/touch.cpp), which must visit the rows in exactly the same way.
#pragma once

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace quarnet {

// The thread-count rule of every kernel (see kernels.hpp).
inline void apply_thread_count(int n_threads) {
    if (n_threads > 0) omp_set_num_threads(n_threads);
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

}  // namespace quarnet
