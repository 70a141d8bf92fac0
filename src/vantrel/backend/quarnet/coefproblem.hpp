// The layout the coefficient-space solver and its preconditioners share (internal to the
// kernel; see coefsolve.cpp for how the rows are laid out and coefsolve.hpp for the method).
#pragma once

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "coefsolve.hpp"
#include "workmem.hpp"

namespace quarnet::coef {

struct Problem {
    int64_t N = 0, K = 0;
    int64_t slots = 0;            // fixed effects; slot 0 is the segment effect
    std::vector<int> fe_of_slot;  // the caller's index of each slot's fixed effect
    std::vector<int64_t> G;       // levels of each slot (without its "no level")
    std::vector<int64_t> off;     // first coefficient row of each slot; off[slots] = all rows
    const int64_t *rows = nullptr;   // position -> row of the caller's matrix
    work_vector<int64_t> rows_own;   // when the segment effect's sortvec cannot serve
    work_vector<int64_t> seg_off;    // segment s = positions [seg_off[s], seg_off[s+1]), s <= G[0]
    // Slot >= 1: level of each position, in 16 bits when every other effect has fewer than
    // 65535 levels (half the memory and memory traffic of the passes), else in 32 bits.
    // The passes read them through id16/id32 (by slot; slot 0 unused), which point into
    // ids16/ids32 or, for rows given in position order (COEF_PCG_rows), into the caller's
    // arrays.
    bool narrow = false;
    std::vector<work_vector<uint16_t>> ids16;
    std::vector<work_vector<uint32_t>> ids32;
    std::vector<const uint16_t *> id16;
    std::vector<const uint32_t *> id32;
    int64_t id(int64_t s, int64_t k) const { return narrow ? id16[s][k] : id32[s][k]; }
    void view_own_ids() {
        id16.assign(static_cast<size_t>(slots), nullptr);
        id32.assign(static_cast<size_t>(slots), nullptr);
        for (int64_t s = 1; s < slots; ++s)
            if (narrow)
                id16[s] = ids16[s].data();
            else
                id32[s] = ids32[s].data();
    }
    const double *w = nullptr;       // weights by position, or null
    work_vector<double> w_own;
    int threads = 1;
    // The caller's level ids by row, when given instead of group indexes: the first and the
    // closing pass then run in row order (see setup_rows), w_rows are the weights by row.
    const IdColumns *by_row = nullptr;
    const double *w_rows = nullptr;
    // A session's first pass over those ids (setup_rows): its level sums' buffers, kept
    // between solves (when small, see setup_rows) and left all zero by each (no allocation,
    // no zero-filling per solve), and the fingerprint of the ids it reads, which tells whether the caller changed them
    // in place since the layout was made (ids out of range are then counted into the "no
    // level" entry instead of being followed, and the solve ends before writing anything).
    struct SessionPass {
        std::vector<work_vector<double>> parts;
        work_vector<uint32_t> rows;  // the row of each position (fewer than 2^32 - 1 rows)
        uint64_t ids_key = 0;        // the fingerprint the ids had when laid out
        bool ids_changed = false;    // set by the first pass
    };
    SessionPass *session = nullptr;
    template <class T>
    int64_t row_id(int64_t s, int64_t i) const {
        return static_cast<const T *>(by_row->data)[i * by_row->row_stride + fe_of_slot[s] * by_row->col_stride];
    }

    // Aggregated input (COEF_PCG_cells): no rows; each pair's cells by the levels of either
    // effect, and the level counts.
    struct Pair {
        int64_t s1 = 0, s2 = 0;  // slots
        work_vector<int64_t> ptr1, ptr2;
        work_vector<uint32_t> to2, to1;  // the other effect's level of each cell
        work_vector<double> w1, w2;
    };
    const CellInput *cells = nullptr;
    std::vector<Pair> pairs;
    // COEF_PCG_rows: aggregates as above for the first and the last pass, but D'WD (and the
    // pair block's cells) from the rows, given in position order instead of the pairs' cells.
    bool rows_given = false;
    bool from_cells() const { return cells != nullptr && !rows_given; }
    std::vector<double *> alpha_out;  // the caller's coefficient arrays, by fixed effect

    int64_t n_segments() const { return G[0] + 1; }
    int64_t others_begin() const { return off[1]; }  // coefficient rows of slots >= 1
    int64_t total() const { return off[slots]; }
};

// Rows not sorted by the segment effect are visited in scattered order; asking for the row
// this many positions ahead hides most of the memory latency (as in the sweep kernels).
inline constexpr int64_t prefetch_distance = 16;

// Asks for every cache line of the `count` doubles from `p`. A row of a block of 8 or more
// columns (or a level's K sums and its count) spans two lines or more: asking for its first
// line alone left the second a miss on every scattered row (at 1e7 rows the passes into and
// out of a block of 10 columns took 0.5 s more than those of a block of 8).
template <int Write = 0>
inline void prefetch_doubles(const double *p, int64_t count) {
    constexpr uintptr_t line = 64;
    const uintptr_t first = reinterpret_cast<uintptr_t>(p) & ~(line - 1);
    const uintptr_t last = reinterpret_cast<uintptr_t>(p + count) - 1;
    for (uintptr_t at = first; at <= last; at += line) __builtin_prefetch(reinterpret_cast<const void *>(at), Write);
}

inline void prefetch_row(const Problem &P, const double *x, int64_t k) {
    if (k + prefetch_distance < P.N) prefetch_doubles(x + P.rows[k + prefetch_distance] * P.K, P.K);
}

// A row of KC doubles (KC fixed at compile time) held as pairs in SSE2 registers (GCC's
// vector extension: every x86-64 has SSE2, other targets get scalar code), plus the odd
// column. The operations are element-wise, so each column sees the same additions and
// products in the same order as a scalar loop over the columns: the same bits. The passes
// over the rows need it because GCC left their scattered read-modify-writes (a row's K sums
// added into a level's K entries) scalar, each column's address kept in a register of its
// own and spilled: a session's solve of 10 columns at 1e7 rows (three effects, 9
// iterations) took 1.01-1.17 s, and 0.74-0.81 s with the pairs.
template <int KC>
struct PairedRow {
    typedef double pair __attribute__((vector_size(16), aligned(8)));
    static constexpr int n = KC / 2;
    static constexpr bool odd = KC % 2 != 0;
    pair v[n > 0 ? n : 1];
    double last;

    static pair load_pair(const double *p) {
        pair out;
        std::memcpy(&out, p, sizeof out);
        return out;
    }
    static void store_pair(double *p, pair value) { std::memcpy(p, &value, sizeof value); }

    void zero() {
        for (int j = 0; j < n; ++j) v[j] = pair{0.0, 0.0};
        last = 0.0;
    }
    void load(const double *p) {
        for (int j = 0; j < n; ++j) v[j] = load_pair(p + 2 * j);
        last = odd ? p[KC - 1] : 0.0;
    }
    void store(double *p) const {
        for (int j = 0; j < n; ++j) store_pair(p + 2 * j, v[j]);
        if (odd) p[KC - 1] = last;
    }
    // this += p[0 .. KC)
    void add(const double *p) {
        for (int j = 0; j < n; ++j) v[j] += load_pair(p + 2 * j);
        if (odd) last += p[KC - 1];
    }
    void add(const PairedRow &o) {
        for (int j = 0; j < n; ++j) v[j] += o.v[j];
        if (odd) last += o.last;
    }
    void multiply(const PairedRow &o) {
        for (int j = 0; j < n; ++j) v[j] *= o.v[j];
        if (odd) last *= o.last;
    }
    void scale(double c) {
        for (int j = 0; j < n; ++j) v[j] *= c;
        if (odd) last *= c;
    }
    // p[0 .. KC) += this
    void add_into(double *p) const {
        for (int j = 0; j < n; ++j) store_pair(p + 2 * j, load_pair(p + 2 * j) + v[j]);
        if (odd) p[KC - 1] += last;
    }
    // p[0 .. KC) -= this
    void subtract_from(double *p) const {
        for (int j = 0; j < n; ++j) store_pair(p + 2 * j, load_pair(p + 2 * j) - v[j]);
        if (odd) p[KC - 1] -= last;
    }
};

// Segments of thread t out of nt: split at positions t * N / nt, so each thread sweeps about
// the same number of rows whatever the group sizes.
inline std::pair<int64_t, int64_t> my_segments(const Problem &P, int t, int nt) {
    auto cut = [&](int u) -> int64_t {
        if (u <= 0) return 0;
        if (u >= nt) return P.n_segments();
        const int64_t target = P.N * u / nt;
        return std::lower_bound(P.seg_off.begin(), P.seg_off.begin() + P.n_segments(), target) - P.seg_off.begin();
    };
    return {cut(t), cut(t + 1)};
}

// Sums by level over the rows are formed per block of rows and the blocks' sums added in
// block order. The blocks are fixed: 4 for up to 4 threads (8 for up to 8, ...), so the
// result is the same, to the last bit, for 1, 2, 3 and 4 threads. The accumulators of all
// blocks are held at once unless they would take more than a quarter of the data's size;
// then there are only as many as threads, and the blocks are taken in rounds, each round's
// sums added to the running total in block order, which gives the same bits.
inline int64_t row_blocks(int threads) { return 4 * ((static_cast<int64_t>(threads) + 3) / 4); }

struct Rounds {
    int64_t blocks, buffers;
    Rounds(const Problem &P, int64_t entries_per_block) : blocks(row_blocks(P.threads)) {
        const bool short_of_memory = blocks * entries_per_block > std::max<int64_t>(P.N * P.K / 4, 1 << 20);
        buffers = short_of_memory ? std::min<int64_t>(P.threads, blocks) : blocks;
    }
    int64_t count() const { return (blocks + buffers - 1) / buffers; }
    int64_t first(int64_t round) const { return round * buffers; }
    int64_t size(int64_t round) const { return std::min(buffers, blocks - first(round)); }
};

inline std::string fe_name(const Problem &P, int64_t slot) { return "fixed effect " + std::to_string(P.fe_of_slot[slot]); }

}  // namespace quarnet::coef
