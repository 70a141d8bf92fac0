// Coefficient-space solver: see coefsolve.hpp for the method.
//
// Layout. The fixed effect with most levels (the "segment" effect) orders the rows: position
// k runs through its groups one after another, so its part of every pass is a segment sum
// that one thread owns. The other effects' level of each position is stored once, in 16 or
// 32 bits, in position order, so the passes read them sequentially even when the caller's
// rows are not sorted. Given group indexes, the first and the closing pass, which read and
// write the caller's matrix, then visit its rows in scattered order; given the level ids by
// row, those two passes run in row order instead, reading the caller's matrix sequentially
// and scattering into the (much smaller) level sums. Coefficient arrays are (levels x K)
// row-major, the segment effect's levels first; every effect has one extra level at the end
// that stands for "no level" (rows outside every group of that effect) and whose
// coefficient stays 0.
#include "coefsolve.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <type_traits>

#include "common.hpp"
#include "laplacian.hpp"
#include "workmem.hpp"

namespace quarnet {

namespace {

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
constexpr int64_t prefetch_distance = 16;

inline void prefetch_row(const Problem &P, const double *x, int64_t k) {
    if (k + prefetch_distance < P.N) __builtin_prefetch(x + P.rows[k + prefetch_distance] * P.K);
}

// Segments of thread t out of nt: split at positions t * N / nt, so each thread sweeps about
// the same number of rows whatever the group sizes.
std::pair<int64_t, int64_t> my_segments(const Problem &P, int t, int nt) {
    auto cut = [&](int u) -> int64_t {
        if (u <= 0) return 0;
        if (u >= nt) return P.n_segments();
        const int64_t target = P.N * u / nt;
        return std::lower_bound(P.seg_off.begin(), P.seg_off.begin() + P.n_segments(), target) - P.seg_off.begin();
    };
    return {cut(t), cut(t + 1)};
}

// The level of each position of one fixed effect, from its group index: through the inverse
// of the positions unless the positions are the rows themselves.
template <class IdT>
void fill_ids(const Problem &P, const GroupIndex &fe, int64_t G, bool identity, const uint32_t *inv,
              work_vector<IdT> &ids) {
    ids.assign(static_cast<size_t>(P.N), static_cast<IdT>(G));  // rows in no group keep "no level"
    IdT *out = ids.data();
#pragma omp parallel for schedule(guided, 64) num_threads(P.threads)
    for (int64_t g = 0; g < fe.N_panelmat; ++g)
        for (int64_t k = fe.start(g); k <= fe.end(g); ++k) {
            const int64_t row = fe.row(k);
            if (identity) {
                out[row] = static_cast<IdT>(g);
            } else {
                // Two dependent scattered accesses per row: fetch the inverse ahead.
                if (k + prefetch_distance <= fe.end(g)) __builtin_prefetch(inv + fe.row(k + prefetch_distance));
                out[inv[row]] = static_cast<IdT>(g);
            }
        }
}

// The slots from the level counts: slot 0, the segment effect, has most levels unless the
// caller's rows are already sorted by another one (`segment`).
void assign_slots(Problem &P, const std::vector<int64_t> &G, const std::vector<std::string> &names,
                  int segment = -1) {
    int seg = 0;
    for (size_t f = 1; f < G.size(); ++f)
        if (G[f] > G[seg]) seg = static_cast<int>(f);
    if (segment >= 0) seg = segment;
    P.fe_of_slot.push_back(seg);
    for (size_t f = 0; f < G.size(); ++f)
        if (static_cast<int>(f) != seg) P.fe_of_slot.push_back(static_cast<int>(f));
    P.off.push_back(0);
    for (int f : P.fe_of_slot) {
        if (G[f] >= static_cast<int64_t>(std::numeric_limits<uint32_t>::max()))
            reject(names[f] + " has " + std::to_string(G[f]) + " groups; the coefficient solver takes fewer than 2^32 - 1");
        P.G.push_back(G[f]);
        P.off.push_back(P.off.back() + G[f] + 1);
    }
}

Problem build_problem(int64_t N, int64_t K, const double *w, const std::vector<GroupIndex> &fes, int threads) {
    Problem P;
    P.N = N;
    P.K = K;
    P.slots = static_cast<int64_t>(fes.size());
    P.threads = threads;
    std::vector<int64_t> G;
    std::vector<std::string> names;
    for (const GroupIndex &fe : fes) {
        G.push_back(fe.N_panelmat);
        names.push_back(fe.panelmat_name);
    }
    assign_slots(P, G, names);
    const int seg = P.fe_of_slot[0];

    // Positions: the segment effect's groups in order. Its own sortvec serves when its groups
    // tile it from position 0 to N - 1 in order (make_pointer's tables do); otherwise the
    // positions are copied out, rows in no group last (the "no level" segment).
    const GroupIndex &S = fes[seg];
    P.seg_off.assign(static_cast<size_t>(P.G[0] + 2), 0);
    int64_t next = 0;
    bool tiles = true;
    for (int64_t g = 0; g < S.N_panelmat; ++g) {
        P.seg_off[g] = next;
        if (S.start(g) > S.end(g)) continue;
        if (S.start(g) != next) tiles = false;
        next += S.end(g) - S.start(g) + 1;
    }
    tiles = tiles && next == N;
    if (tiles) {
        P.rows = S.sortvec;
    } else {
        P.rows_own.reserve(static_cast<size_t>(N));
        work_vector<char> covered(static_cast<size_t>(N), 0);
        for (int64_t g = 0; g < S.N_panelmat; ++g) {
            P.seg_off[g] = static_cast<int64_t>(P.rows_own.size());
            for (int64_t k = S.start(g); k <= S.end(g); ++k) {
                P.rows_own.push_back(S.row(k));
                covered[S.row(k)] = 1;
            }
        }
        P.seg_off[S.N_panelmat] = static_cast<int64_t>(P.rows_own.size());
        for (int64_t i = 0; i < N; ++i)
            if (!covered[i]) P.rows_own.push_back(i);
        P.rows = P.rows_own.data();
    }
    if (tiles) P.seg_off[P.G[0]] = N;  // otherwise set above, before the rows in no group
    P.seg_off[P.G[0] + 1] = N;

    bool identity = true;
    for (int64_t k = 0; k < N && identity; ++k) identity = P.rows[k] == k;

    // Levels of the other effects by position: through the inverse of the positions unless
    // the positions are the rows themselves (rows sorted by the segment effect).
    std::unique_ptr<uint32_t[]> inverse;
    if (!identity && P.slots > 1) {
        inverse.reset(new uint32_t[static_cast<size_t>(N)]);
        uint32_t *inv = inverse.get();
#pragma omp parallel for schedule(static) num_threads(threads)
        for (int64_t k = 0; k < N; ++k) {
            if (k + prefetch_distance < N) __builtin_prefetch(inv + P.rows[k + prefetch_distance], 1);
            inv[P.rows[k]] = static_cast<uint32_t>(k);
        }
    }
    P.narrow = true;
    for (int64_t s = 1; s < P.slots; ++s) P.narrow = P.narrow && P.G[s] < 65535;
    if (P.narrow)
        P.ids16.resize(static_cast<size_t>(P.slots));
    else
        P.ids32.resize(static_cast<size_t>(P.slots));
    for (int64_t s = 1; s < P.slots; ++s)
        if (P.narrow)
            fill_ids(P, fes[P.fe_of_slot[s]], P.G[s], identity, inverse.get(), P.ids16[s]);
        else
            fill_ids(P, fes[P.fe_of_slot[s]], P.G[s], identity, inverse.get(), P.ids32[s]);
    P.view_own_ids();
    if (w != nullptr) {
        if (identity) {
            P.w = w;
        } else {
            P.w_own.resize(static_cast<size_t>(N));
            for (int64_t k = 0; k < N; ++k) P.w_own[k] = w[P.rows[k]];
            P.w = P.w_own.data();
        }
    }
    if (N >= static_cast<int64_t>(std::numeric_limits<uint32_t>::max()) && !identity && P.slots > 1)
        reject("x has " + std::to_string(N) + " rows; the coefficient solver takes fewer than 2^32 - 1 "
               "unless the rows are sorted by the fixed effect with most levels");
    return P;
}

// From level ids by row: a stable counting sort of the segment effect's ids gives each row its
// position, and the row's other levels (and weight) are written there as it is placed, so no
// table of positions is kept (the first and the closing pass run in row order).
template <class T, class IdT>
void order_by_segments(Problem &P, const double *w, int threads, std::vector<work_vector<IdT>> &by_position) {
    const int64_t N = P.N;
    // One chunk of rows per thread: each chunk counts its levels, the chunks' places follow
    // one another within a level, so the order is the same for every thread count.
    const int64_t G0 = P.G[0];
    const int64_t chunks = threads;
    work_vector<int64_t> next(static_cast<size_t>(chunks * G0), 0);
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int64_t c = 0; c < chunks; ++c) {
        int64_t *mine = next.data() + c * G0;
        for (int64_t i = N * c / chunks, end = N * (c + 1) / chunks; i < end; ++i) ++mine[P.row_id<T>(0, i)];
    }
    P.seg_off.assign(static_cast<size_t>(G0 + 2), 0);
    int64_t place = 0;
    for (int64_t g = 0; g < G0; ++g) {
        P.seg_off[g] = place;
        for (int64_t c = 0; c < chunks; ++c) {
            const int64_t n = next[c * G0 + g];
            next[c * G0 + g] = place;
            place += n;
        }
    }
    P.seg_off[G0] = N;
    P.seg_off[G0 + 1] = N;  // the "no level" segment is empty: every row has a level
    by_position.resize(static_cast<size_t>(P.slots));
    for (int64_t s = 1; s < P.slots; ++s) by_position[s].resize(static_cast<size_t>(N));
    if (w != nullptr) P.w_own.resize(static_cast<size_t>(N));
    const int64_t others = P.slots - 1;
    IdT *out[8];
    for (int64_t o = 0; o < others; ++o) out[o] = by_position[o + 1].data();
    double *w_out = P.w_own.data();
    // each position is written once, by the thread that places its row
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int64_t c = 0; c < chunks; ++c) {
        int64_t *mine = next.data() + c * G0;
        for (int64_t i = N * c / chunks, end = N * (c + 1) / chunks; i < end; ++i) {
            const int64_t k = mine[P.row_id<T>(0, i)]++;
            for (int64_t o = 0; o < others; ++o) out[o][k] = static_cast<IdT>(P.row_id<T>(o + 1, i));
            if (w_out) w_out[k] = w[i];
        }
    }
    if (w != nullptr) P.w = P.w_own.data();
}

template <class T>
Problem build_problem_ids(int64_t N, int64_t K, const double *w, const IdColumns &ids, int threads) {
    Problem P;
    P.N = N;
    P.K = K;
    P.slots = ids.columns();
    P.threads = threads;
    P.by_row = &ids;
    P.w_rows = w;
    std::vector<std::string> names;
    for (int64_t f = 0; f < P.slots; ++f) names.push_back("A[:, " + std::to_string(f) + "]");
    assign_slots(P, ids.G, names);
    P.narrow = true;
    for (int64_t s = 1; s < P.slots; ++s) P.narrow = P.narrow && P.G[s] < 65535;
    if (P.narrow)
        order_by_segments<T>(P, w, threads, P.ids16);
    else
        order_by_segments<T>(P, w, threads, P.ids32);
    P.view_own_ids();
    return P;
}

// Sums by level over the rows are formed per block of rows and the blocks' sums added in
// block order. The blocks are fixed: 4 for up to 4 threads (8 for up to 8, ...), so the
// result is the same, to the last bit, for 1, 2, 3 and 4 threads. The accumulators of all
// blocks are held at once unless they would take more than a quarter of the data's size;
// then there are only as many as threads, and the blocks are taken in rounds, each round's
// sums added to the running total in block order, which gives the same bits.
int64_t row_blocks(int threads) { return 4 * ((static_cast<int64_t>(threads) + 3) / 4); }

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

// Accumulators of the levels of slots >= 1, one per block of rows, reused by every pass.
struct Scratch : Rounds {
    int64_t len;  // entries per block
    std::vector<work_vector<double>> own;
    Scratch(const Problem &P, int64_t width)
        : Rounds(P, (P.total() - P.others_begin()) * width), len((P.total() - P.others_begin()) * width) {
        own.assign(static_cast<size_t>(buffers), work_vector<double>(static_cast<size_t>(len), 0.0));
    }
};

// The buffers of one round summed into out (onto what earlier rounds left there) in block
// order, and cleared for the next. Called inside the parallel region, after the blocks' loop.
void reduce_scratch(Scratch &sc, int64_t round, double *out, int64_t stride, int64_t width) {
    const int64_t used = sc.size(round);
#pragma omp for schedule(static)
    for (int64_t l = 0; l < sc.len; ++l) {
        double &dst = out[l / width * stride + l % width];
        double s = round == 0 ? 0.0 : dst;
        for (int64_t b = 0; b < used; ++b) {
            s += sc.own[b][l];
            sc.own[b][l] = 0.0;
        }
        dst = s;
    }
}

// counts = D'W 1 and b = D'W v per level, sumsq[k] = sum_i w_i v_ik^2.
void setup_pass(const Problem &P, const double *x, work_vector<double> &counts, work_vector<double> &b,
                std::vector<long double> &sumsq) {
    const int64_t K = P.K, ob = P.others_begin();
    counts.assign(static_cast<size_t>(P.total()), 0.0);
    b.assign(static_cast<size_t>(P.total() * K), 0.0);
    sumsq.assign(static_cast<size_t>(K), 0.0L);
    // Per level of the other effects, K sums and the count; reduced into b and counts below.
    Scratch sc(P, K + 1);
    work_vector<double> sums(static_cast<size_t>((P.total() - ob) * (K + 1)));
    std::vector<std::vector<long double>> sq(static_cast<size_t>(sc.blocks), std::vector<long double>(K, 0.0L));
    for (int64_t round = 0; round < sc.count(); ++round)
#pragma omp parallel num_threads(P.threads)
    {
        std::vector<double> seg_sq(static_cast<size_t>(K));
#pragma omp for schedule(static)
        for (int64_t u = 0; u < sc.size(round); ++u) {
            const int64_t blk = sc.first(round) + u;
            double *mine = sc.own[u].data();
            const auto [lo, hi] = my_segments(P, static_cast<int>(blk), static_cast<int>(sc.blocks));
            for (int64_t s = lo; s < hi; ++s) {
                double *bs = b.data() + s * K;
                double cs = 0.0;
                std::fill(seg_sq.begin(), seg_sq.end(), 0.0);
                const int64_t end = P.seg_off[s + 1];
                for (int64_t k = P.seg_off[s]; k < end; ++k) {
                    prefetch_row(P, x, k);
                    const double wk = P.w ? P.w[k] : 1.0;
                    const double *v = x + P.rows[k] * K;
                    cs += wk;
                    for (int64_t j = 0; j < K; ++j) {
                        const double wv = wk * v[j];
                        bs[j] += wv;
                        seg_sq[j] += wv * v[j];
                    }
                    for (int64_t o = 1; o < P.slots; ++o) {
                        double *m = mine + (P.off[o] - ob + P.id(o, k)) * (K + 1);
                        for (int64_t j = 0; j < K; ++j) m[j] += wk * v[j];
                        m[K] += wk;
                    }
                }
                counts[s] = cs;
                for (int64_t j = 0; j < K; ++j) sq[blk][j] += seg_sq[j];  // extended precision across segments
            }
        }
        reduce_scratch(sc, round, sums.data(), K + 1, K + 1);
    }
    for (int64_t l = 0; l < P.total() - ob; ++l) {
        for (int64_t j = 0; j < K; ++j) b[(ob + l) * K + j] = sums[l * (K + 1) + j];
        counts[ob + l] = sums[l * (K + 1) + K];
    }
    for (const auto &part : sq)
        for (int64_t j = 0; j < K; ++j) sumsq[j] += part[j];
    // The "no level" entries take no part in the solve.
    for (int64_t s = 0; s < P.slots; ++s) {
        const int64_t l = P.off[s] + P.G[s];
        counts[l] = 0.0;
        for (int64_t j = 0; j < K; ++j) b[l * K + j] = 0.0;
    }
}

// The rows of segments [lo, hi) in apply_pass, with KC columns (0: K at run time) and NO
// other fixed effects (0: at run time); compile-time counts keep a row's sums in registers.
template <class IdT>
const IdT *ids_of(const Problem &P, int64_t s);
template <>
const uint16_t *ids_of<uint16_t>(const Problem &P, int64_t s) { return P.id16[s]; }
template <>
const uint32_t *ids_of<uint32_t>(const Problem &P, int64_t s) { return P.id32[s]; }

template <int KC, int NO, class IdT>
void apply_segments(const Problem &P, const double *p, double *q, double *mine, int64_t lo, int64_t hi) {
    const int64_t K = KC ? KC : P.K;
    const int64_t no = NO ? NO : P.slots - 1;
    constexpr int64_t kmax = KC ? KC : 16;
    constexpr int64_t omax = NO ? NO : 8;
    const IdT *id[omax];
    const double *from[omax];
    double *to[omax];
    for (int64_t o = 0; o < no; ++o) {
        id[o] = ids_of<IdT>(P, o + 1);
        from[o] = p + P.off[o + 1] * K;
        to[o] = mine + (P.off[o + 1] - P.others_begin()) * K;
    }
    const double *w = P.w;
    double v[kmax], acc[kmax];
    for (int64_t c0 = 0; c0 < K; c0 += kmax) {  // more than 16 columns: in blocks of 16
        const int64_t kw = KC ? KC : std::min<int64_t>(kmax, K - c0);
        for (int64_t s = lo; s < hi; ++s) {
            const double *ps = p + s * K + c0;
            for (int64_t j = 0; j < kw; ++j) acc[j] = 0.0;
            for (int64_t k = P.seg_off[s], end = P.seg_off[s + 1]; k < end; ++k) {
                for (int64_t j = 0; j < kw; ++j) v[j] = ps[j];
                for (int64_t o = 0; o < no; ++o) {
                    const double *po = from[o] + static_cast<int64_t>(id[o][k]) * K + c0;
                    for (int64_t j = 0; j < kw; ++j) v[j] += po[j];
                }
                if (w) {
                    const double wk = w[k];
                    for (int64_t j = 0; j < kw; ++j) v[j] *= wk;
                }
                for (int64_t j = 0; j < kw; ++j) acc[j] += v[j];
                for (int64_t o = 0; o < no; ++o) {
                    double *m = to[o] + static_cast<int64_t>(id[o][k]) * K + c0;
                    for (int64_t j = 0; j < kw; ++j) m[j] += v[j];
                }
            }
            for (int64_t j = 0; j < kw; ++j) q[s * K + c0 + j] = acc[j];
        }
    }
}

template <int KC, class IdT>
void apply_segments_f(const Problem &P, const double *p, double *q, double *mine, int64_t lo, int64_t hi) {
    switch (P.slots - 1) {
        case 1: apply_segments<KC, 1, IdT>(P, p, q, mine, lo, hi); break;
        case 2: apply_segments<KC, 2, IdT>(P, p, q, mine, lo, hi); break;
        case 3: apply_segments<KC, 3, IdT>(P, p, q, mine, lo, hi); break;
        default: apply_segments<KC, 0, IdT>(P, p, q, mine, lo, hi); break;
    }
}

template <int KC>
void apply_segments_k(const Problem &P, const double *p, double *q, double *mine, int64_t lo, int64_t hi) {
    if (P.narrow)
        apply_segments_f<KC, uint16_t>(P, p, q, mine, lo, hi);
    else
        apply_segments_f<KC, uint32_t>(P, p, q, mine, lo, hi);
}

// q = D'W D p: per row, the sum of its levels' coefficients, weighted, added back to each of
// its levels.
void apply_pass(const Problem &P, const double *p, double *q, Scratch &sc) {
    const int64_t K = P.K;
    for (int64_t round = 0; round < sc.count(); ++round)
#pragma omp parallel num_threads(P.threads)
    {
#pragma omp for schedule(static)
        for (int64_t u = 0; u < sc.size(round); ++u) {
            const int64_t blk = sc.first(round) + u;
            double *mine = sc.own[u].data();
            const auto [lo, hi] = my_segments(P, static_cast<int>(blk), static_cast<int>(sc.blocks));
            switch (K) {
                case 1: apply_segments_k<1>(P, p, q, mine, lo, hi); break;
                case 2: apply_segments_k<2>(P, p, q, mine, lo, hi); break;
                case 3: apply_segments_k<3>(P, p, q, mine, lo, hi); break;
                case 4: apply_segments_k<4>(P, p, q, mine, lo, hi); break;
                default: apply_segments_k<0>(P, p, q, mine, lo, hi); break;
            }
        }
        reduce_scratch(sc, round, q + P.others_begin() * K, K, K);
    }
    for (int64_t s = 0; s < P.slots; ++s)
        std::fill(q + (P.off[s] + P.G[s]) * K, q + (P.off[s] + P.G[s] + 1) * K, 0.0);
}

// x -= D alpha, the closing pass into the caller's matrix.
void closing_pass(const Problem &P, double *x, const double *alpha) {
    const int64_t K = P.K;
#pragma omp parallel num_threads(P.threads)
    {
        const auto [lo, hi] = my_segments(P, omp_get_thread_num(), omp_get_num_threads());
        for (int64_t s = lo; s < hi; ++s)
            for (int64_t k = P.seg_off[s], end = P.seg_off[s + 1]; k < end; ++k) {
                prefetch_row(P, x, k);
                double *row = x + P.rows[k] * K;
                const double *as = alpha + s * K;
                for (int64_t j = 0; j < K; ++j) {
                    double fit = as[j];
                    for (int64_t o = 1; o < P.slots; ++o) fit += alpha[(P.off[o] + P.id(o, k)) * K + j];
                    row[j] -= fit;
                }
            }
    }
}

// Work over the coefficient rows (levels) in fixed chunks, on the threads. Sums over levels
// are formed per chunk in double and the chunks' sums added in chunk order in long double,
// so they do not depend on the number of threads.
constexpr int64_t level_chunk = 2048;

template <class Fn>
void for_level_chunks(int64_t L, int threads, const Fn &fn) {
    const int64_t chunks = (L + level_chunk - 1) / level_chunk;
#pragma omp parallel for schedule(static) num_threads(threads) if (chunks > 1)
    for (int64_t c = 0; c < chunks; ++c) fn(c, c * level_chunk, std::min(L, (c + 1) * level_chunk));
}

// Column sums over the levels of term(l, j), in the chunked order above.
template <class Term>
std::vector<double> level_sums(int64_t L, int64_t K, int threads, const Term &term) {
    const int64_t chunks = (L + level_chunk - 1) / level_chunk;
    std::vector<double> part(static_cast<size_t>(chunks * K), 0.0);
    for_level_chunks(L, threads, [&](int64_t c, int64_t l0, int64_t l1) {
        double *mine = part.data() + c * K;
        for (int64_t l = l0; l < l1; ++l)
            for (int64_t j = 0; j < K; ++j) mine[j] += term(l, j);
    });
    std::vector<long double> total(static_cast<size_t>(K), 0.0L);
    for (int64_t c = 0; c < chunks; ++c)
        for (int64_t j = 0; j < K; ++j) total[j] += part[c * K + j];
    return std::vector<double>(total.begin(), total.end());
}

// Cells of one pair by the levels of one of its effects (a stable counting sort).
void cells_by_level(int64_t G, const int64_t *from, const int64_t *to, const double *w, int64_t n,
                    work_vector<int64_t> &ptr, work_vector<uint32_t> &other, work_vector<double> &weight) {
    ptr.assign(static_cast<size_t>(G + 1), 0);
    for (int64_t e = 0; e < n; ++e) ++ptr[from[e] + 1];
    for (int64_t l = 0; l < G; ++l) ptr[l + 1] += ptr[l];
    other.resize(static_cast<size_t>(n));
    weight.resize(static_cast<size_t>(n));
    work_vector<int64_t> next(ptr.begin(), ptr.end() - 1);
    for (int64_t e = 0; e < n; ++e) {
        const int64_t at = next[from[e]]++;
        other[at] = static_cast<uint32_t>(to[e]);
        weight[at] = w[e];
    }
}

// q = D'W D p from the aggregates: the level counts times p, plus, through every pair's
// cells, the other effect's coefficients. Each entry of q is summed by one thread in a fixed
// order, so the result does not depend on the thread count.
void apply_cells(const Problem &P, const work_vector<double> &counts, const double *p, double *q) {
    const int64_t K = P.K;
    for_level_chunks(P.total(), P.threads, [&](int64_t, int64_t l0, int64_t l1) {
        for (int64_t l = l0; l < l1; ++l)
            for (int64_t j = 0; j < K; ++j) q[l * K + j] = counts[l] * p[l * K + j];
    });
    for (const Problem::Pair &pr : P.pairs) {
        auto add = [&](int64_t s, int64_t t, const work_vector<int64_t> &ptr, const work_vector<uint32_t> &other,
                       const work_vector<double> &w) {
            const double *pt = p + P.off[t] * K;
            double *qs = q + P.off[s] * K;
            for_level_chunks(P.G[s], P.threads, [&](int64_t, int64_t l0, int64_t l1) {
                for (int64_t l = l0; l < l1; ++l)
                    for (int64_t e = ptr[l]; e < ptr[l + 1]; ++e)
                        for (int64_t j = 0; j < K; ++j) qs[l * K + j] += w[e] * pt[other[e] * K + j];
            });
        };
        add(pr.s1, pr.s2, pr.ptr1, pr.to2, pr.w1);
        add(pr.s2, pr.s1, pr.ptr2, pr.to1, pr.w2);
    }
}

// setup_pass in row order, from the caller's level ids: the caller's matrix is read
// sequentially and every level's sums are accumulated per fixed block of rows, added in
// block order (in rounds, as Scratch's).
template <class T>
void setup_rows(const Problem &P, const double *x, work_vector<double> &counts, work_vector<double> &b,
                std::vector<long double> &sumsq) {
    const int64_t K = P.K, W = K + 1, L = P.total(), N = P.N;
    const Rounds rounds(P, L * W);
    const int64_t blocks = rounds.blocks;
    std::vector<work_vector<double>> part(static_cast<size_t>(rounds.buffers));
    std::vector<std::vector<long double>> sq(static_cast<size_t>(blocks), std::vector<long double>(K, 0.0L));
    // Squares are summed in double over runs of this many rows, the runs in long double.
    constexpr int64_t run = 4096;
    for (int64_t round = 0; round < rounds.count(); ++round) {
        const int64_t used = rounds.size(round);
#pragma omp parallel for schedule(static) num_threads(P.threads)
        for (int64_t u = 0; u < used; ++u) {
            const int64_t blk = rounds.first(round) + u;
            part[u].assign(static_cast<size_t>(L * W), 0.0);
            double *mine = part[u].data();
            std::vector<double> run_sq(static_cast<size_t>(K), 0.0);
            const int64_t lo = N * blk / blocks, hi = N * (blk + 1) / blocks;
            for (int64_t i = lo; i < hi; ++i) {
                // The segment effect's sums are the scattered ones (most levels): ask for them ahead.
                if (i + prefetch_distance < hi)
                    __builtin_prefetch(mine + (P.row_id<T>(0, i + prefetch_distance)) * W, 1);
                const double wi = P.w_rows ? P.w_rows[i] : 1.0;
                const double *v = x + i * K;
                for (int64_t j = 0; j < K; ++j) run_sq[j] += wi * v[j] * v[j];
                for (int64_t s = 0; s < P.slots; ++s) {
                    double *m = mine + (P.off[s] + P.row_id<T>(s, i)) * W;
                    for (int64_t j = 0; j < K; ++j) m[j] += wi * v[j];
                    m[K] += wi;
                }
                if ((i - lo) % run == run - 1 || i == hi - 1)
                    for (int64_t j = 0; j < K; ++j) {
                        sq[blk][j] += run_sq[j];
                        run_sq[j] = 0.0;
                    }
            }
        }
        for_level_chunks(L, P.threads, [&](int64_t, int64_t l0, int64_t l1) {
            for (int64_t l = l0; l < l1; ++l)
                for (int64_t j = 0; j <= K; ++j) {
                    double &dst = j < K ? b[l * K + j] : counts[l];
                    double t = round == 0 ? 0.0 : dst;
                    for (int64_t u = 0; u < used; ++u) t += part[u][l * W + j];
                    dst = t;
                }
        });
    }
    for (const auto &one : sq)
        for (int64_t j = 0; j < K; ++j) sumsq[j] += one[j];
}

// closing_pass in row order: x_i -= the sum of its levels' coefficients.
template <class T>
void closing_rows(const Problem &P, double *x, const double *alpha) {
    const int64_t K = P.K;
#pragma omp parallel for schedule(static) num_threads(P.threads)
    for (int64_t i = 0; i < P.N; ++i) {
        if (i + prefetch_distance < P.N) __builtin_prefetch(alpha + P.row_id<T>(0, i + prefetch_distance) * K);
        double *row = x + i * K;
        const double *level[9];
        for (int64_t s = 0; s < P.slots; ++s) level[s] = alpha + (P.off[s] + P.row_id<T>(s, i)) * K;
        for (int64_t j = 0; j < K; ++j) {
            double fit = 0.0;
            for (int64_t s = 0; s < P.slots; ++s) fit += level[s][j];
            row[j] -= fit;
        }
    }
}

// ---- The pair block -------------------------------------------------------------------

// The block of D'WD that belongs to the segment effect a (slot 0) and the effect b with most
// levels among the others, inverted through the Schur complement on b's levels:
//   x_b = S^+ (r_b - C' Da^-1 r_a),  x_a = Da^-1 (r_a - C x_b),  S = Db - C' Da^-1 C,
// where C = Da'W Db holds the weighted counts of the (a, b) cells. S is a weighted graph
// Laplacian, singular once per connected component of the a-b graph; its solver grounds one
// level there. That leaves the preconditioner singular only along the components' null
// directions n (1 on the a levels, -1 on the b levels), and every row has its a and b level
// in one component, so D n = 0: the residuals of the normal equations never point along n,
// and on everything they can point along the preconditioner is positive definite, whatever
// the other fixed effects. (Giving n a weight of its own amplified the rounding noise of
// residuals that are already at rounding level: a column the fixed effects absorb.)
struct PairBlock {
    int64_t sb = 1;                    // slot of b
    work_vector<int64_t> cell_ptr;     // cells of a level: [cell_ptr[a], cell_ptr[a+1])
    work_vector<uint32_t> cell_b;
    work_vector<double> cell_w;
    // Exact: a solver of S on b's levels. Approximate: a solver of the whole pair block with
    // b's sign flipped (then a graph Laplacian on the a and b levels), vertices a then Ga + b.
    std::unique_ptr<SchurSolver> solver;
    bool bipartite = false;
    std::string kind;  // "exact pair" or "approximate pair"
};

// Cells of each a level (the segments), in a order, written straight into their final
// place: a first pass counts each segment's cells, a second fills them. slot[b] remembers
// where b's cell of the current segment is; a slot below the segment's first cell belongs to
// an earlier segment, so it needs no clearing.
void build_cells(const Problem &P, PairBlock &pb) {
    const int64_t Ga = P.G[0], Gb = P.G[pb.sb];
    pb.cell_ptr.assign(static_cast<size_t>(Ga + 1), 0);
    auto scan = [&](bool fill) {
#pragma omp parallel num_threads(P.threads)
        {
            std::vector<int64_t> slot(static_cast<size_t>(Gb), -1);
            auto [lo, hi] = my_segments(P, omp_get_thread_num(), omp_get_num_threads());
            hi = std::max(lo, std::min(hi, Ga));  // the "no level" segment has no cells
            int64_t used = fill ? pb.cell_ptr[lo] : 0;
            for (int64_t s = lo; s < hi; ++s) {
                const int64_t first = used;
                for (int64_t k = P.seg_off[s]; k < P.seg_off[s + 1]; ++k) {
                    const int64_t lb = P.id(pb.sb, k);
                    const double wk = P.w ? P.w[k] : 1.0;
                    if (lb == Gb || !(wk > 0)) continue;
                    int64_t at = slot[lb];
                    if (at < first) {
                        at = slot[lb] = used++;
                        if (fill) {
                            pb.cell_b[at] = static_cast<uint32_t>(lb);
                            pb.cell_w[at] = 0.0;
                        }
                    }
                    if (fill) pb.cell_w[at] += wk;
                }
                if (!fill) pb.cell_ptr[s + 1] = used - first;
            }
        }
    };
    scan(false);
    for (int64_t a = 0; a < Ga; ++a) pb.cell_ptr[a + 1] += pb.cell_ptr[a];
    pb.cell_b.resize(static_cast<size_t>(pb.cell_ptr[Ga]));
    pb.cell_w.resize(static_cast<size_t>(pb.cell_ptr[Ga]));
    scan(true);
}

// S = Db - C' Da^-1 C on b's levels, rows in parallel: row b1 gathers, over the a levels of
// its cells, those levels' cells scaled by c(a, b1) / d_a.
SparseSym schur_complement(const Problem &P, const PairBlock &pb, const work_vector<double> &counts) {
    const int64_t Ga = P.G[0], Gb = P.G[pb.sb];
    const double *da = counts.data() + P.off[0], *db = counts.data() + P.off[pb.sb];
    // Each b level's cells by a level: the a level and where among its cells the cell is (6
    // bytes, not the 12 of a copy of the weights; the gather below reads the a level's cells
    // anyway). An a level with 65,536 cells or more has its place searched instead.
    work_vector<int64_t> tptr(static_cast<size_t>(Gb + 1), 0);
    for (uint32_t b : pb.cell_b) ++tptr[b + 1];
    for (int64_t b = 0; b < Gb; ++b) tptr[b + 1] += tptr[b];
    work_vector<uint32_t> ta(pb.cell_b.size());
    work_vector<uint16_t> tplace(pb.cell_b.size());
    {
        work_vector<int64_t> fill(tptr.begin(), tptr.end() - 1);
        for (int64_t a = 0; a < Ga; ++a)
            for (int64_t e = pb.cell_ptr[a]; e < pb.cell_ptr[a + 1]; ++e) {
                const int64_t at = fill[pb.cell_b[e]]++;
                ta[at] = static_cast<uint32_t>(a);
                tplace[at] = static_cast<uint16_t>(std::min<int64_t>(e - pb.cell_ptr[a], 65535));
            }
    }
    SparseSym S;
    S.n = Gb;
    S.diag.assign(static_cast<size_t>(Gb), 0.0);
    S.scale.assign(db, db + Gb);
    std::vector<work_vector<int32_t>> part_idx(static_cast<size_t>(P.threads));
    std::vector<work_vector<double>> part_val(static_cast<size_t>(P.threads));
    work_vector<int64_t> row_len(static_cast<size_t>(Gb), 0);
#pragma omp parallel num_threads(P.threads)
    {
        const int t = omp_get_thread_num(), nt = omp_get_num_threads();
        std::vector<double> acc(static_cast<size_t>(Gb), 0.0);
        std::vector<int32_t> touched;
        const int64_t lo = Gb * t / nt, hi = Gb * (t + 1) / nt;
        for (int64_t b1 = lo; b1 < hi; ++b1) {
            touched.clear();
            for (int64_t e = tptr[b1]; e < tptr[b1 + 1]; ++e) {
                const int64_t a = ta[e];
                if (!(da[a] > 0)) continue;
                const int64_t first = pb.cell_ptr[a], end = pb.cell_ptr[a + 1];
                int64_t own = first + tplace[e];
                while (pb.cell_b[own] != b1) ++own;  // from the 65,536th cell of a on
                const double f = pb.cell_w[own] / da[a];
                for (int64_t e2 = first; e2 < end; ++e2) {
                    const uint32_t b2 = pb.cell_b[e2];
                    if (acc[b2] == 0.0) touched.push_back(static_cast<int32_t>(b2));
                    acc[b2] += f * pb.cell_w[e2];
                }
            }
            std::sort(touched.begin(), touched.end());
            int64_t len = 0;
            S.diag[b1] = db[b1];
            for (int32_t b2 : touched) {
                if (b2 == b1) {
                    S.diag[b1] -= acc[b2];
                } else {
                    part_idx[t].push_back(b2);
                    part_val[t].push_back(-acc[b2]);
                    ++len;
                }
                acc[b2] = 0.0;
            }
            row_len[b1] = len;
        }
    }
    // The transposed cells are done with, and each thread's rows once copied: freed as soon
    // as they are.
    work_vector<uint32_t>().swap(ta);
    work_vector<uint16_t>().swap(tplace);
    S.ptr.assign(static_cast<size_t>(Gb + 1), 0);
    for (int64_t b = 0; b < Gb; ++b) S.ptr[b + 1] = S.ptr[b] + row_len[b];
    S.idx.reserve(static_cast<size_t>(S.ptr[Gb]));
    S.val.reserve(static_cast<size_t>(S.ptr[Gb]));
    for (int t = 0; t < P.threads; ++t) {
        S.idx.insert(S.idx.end(), part_idx[t].begin(), part_idx[t].end());
        S.val.insert(S.val.end(), part_val[t].begin(), part_val[t].end());
        work_vector<int32_t>().swap(part_idx[t]);
        work_vector<double>().swap(part_val[t]);
    }
    return S;
}

// z = M^-1 r for the pair block; the other slots are left alone. `parts` holds buffers of b's
// levels for blocks of a levels (fixed blocks, taken in rounds as in Scratch).
void apply_pair(const Problem &P, const PairBlock &pb, const work_vector<double> &counts, const double *r, double *z,
                std::vector<work_vector<double>> &parts) {
    const int64_t K = P.K, Ga = P.G[0], Gb = P.G[pb.sb];
    const Rounds rounds(P, Gb * K);
    const int64_t blocks = rounds.blocks;
    if (static_cast<int64_t>(parts.size()) < rounds.buffers) parts.resize(static_cast<size_t>(rounds.buffers));
    const double *da = counts.data() + P.off[0];
    const int64_t ob = P.off[pb.sb];
    double *za = z, *zb = z + ob * K;
    const double *ra = r, *rb = r + ob * K;
    if (pb.bipartite) {
        // [Da -C; -C' Db] [za; -zb] = [ra; -rb]
        work_vector<double> &t = parts[0];
        t.resize(static_cast<size_t>((Ga + Gb) * K));
        std::copy(ra, ra + Ga * K, t.begin());
        for (int64_t l = 0; l < Gb * K; ++l) t[Ga * K + l] = -rb[l];
        pb.solver->solve(t.data(), K);
        std::copy(t.begin(), t.begin() + Ga * K, za);
        for (int64_t l = 0; l < Gb * K; ++l) zb[l] = -t[Ga * K + l];
    } else {
        // za = Da^-1 ra for now; rhs_b = rb - C' za, per block then summed in block order.
        for (int64_t round = 0; round < rounds.count(); ++round)
#pragma omp parallel num_threads(P.threads)
        {
            const int64_t used = rounds.size(round);
#pragma omp for schedule(static)
            for (int64_t u = 0; u < used; ++u) {
                const int64_t blk = rounds.first(round) + u;
                work_vector<double> &part = parts[u];
                part.assign(static_cast<size_t>(Gb * K), 0.0);
                const int64_t lo = Ga * blk / blocks, hi = Ga * (blk + 1) / blocks;
                for (int64_t a = lo; a < hi; ++a) {
                    for (int64_t j = 0; j < K; ++j) za[a * K + j] = da[a] > 0 ? ra[a * K + j] / da[a] : 0.0;
                    for (int64_t e = pb.cell_ptr[a]; e < pb.cell_ptr[a + 1]; ++e) {
                        double *dst = part.data() + static_cast<int64_t>(pb.cell_b[e]) * K;
                        for (int64_t j = 0; j < K; ++j) dst[j] += pb.cell_w[e] * za[a * K + j];
                    }
                }
            }
#pragma omp for schedule(static)
            for (int64_t l = 0; l < Gb * K; ++l) {
                double s = round == 0 ? rb[l] : zb[l];
                for (int64_t u = 0; u < used; ++u) s -= parts[u][l];
                zb[l] = s;
            }
        }
        pb.solver->solve(zb, K);
#pragma omp parallel for schedule(static) num_threads(P.threads)
        for (int64_t a = 0; a < Ga; ++a) {
            double *out = za + a * K;
            for (int64_t j = 0; j < K; ++j) out[j] = ra[a * K + j];
            for (int64_t e = pb.cell_ptr[a]; e < pb.cell_ptr[a + 1]; ++e) {
                const double *src = zb + static_cast<int64_t>(pb.cell_b[e]) * K;
                for (int64_t j = 0; j < K; ++j) out[j] -= pb.cell_w[e] * src[j];
            }
            for (int64_t j = 0; j < K; ++j) out[j] = da[a] > 0 ? out[j] / da[a] : 0.0;
        }
    }
}

std::string fe_name(const Problem &P, int64_t slot) { return "fixed effect " + std::to_string(P.fe_of_slot[slot]); }

// S's graph links two b levels that share an a level. Linking only consecutive cells of each
// a level gives a subgraph with fewer edges than cells; if even its exact factor is over
// budget, forming S (whose cost is the sum of squared cell counts) is skipped. On a 2-D
// lattice of firms this saved most of a second per million rows. The subgraph repeats most
// of its links (many a levels share the same b levels), so a fixed pseudo-random share of
// the a levels, about 8 links per b level, shows the same structure: on the lattice it is
// still over budget, and where S fits (the worker-firm design: 1.2 million path entries on
// 6,250 firms per million rows) the check costs a tenth of what it did.
bool exact_may_fit(const PairBlock &pb, int64_t Gb, const FactorBudget &budget, std::string *why) {
    const int64_t Ga = static_cast<int64_t>(pb.cell_ptr.size()) - 1;
    int64_t links = 0;
    for (int64_t a = 0; a < Ga; ++a) links += std::max<int64_t>(pb.cell_ptr[a + 1] - pb.cell_ptr[a] - 1, 0);
    const uint64_t keep_one_in = static_cast<uint64_t>(std::max<int64_t>(1, links / std::max<int64_t>(8 * Gb, 1)));
    auto kept = [&](int64_t a) {
        return keep_one_in == 1 || ((static_cast<uint64_t>(a) * 0x9e3779b97f4a7c15ULL) >> 32) % keep_one_in == 0;
    };
    SparseSym path;
    path.n = Gb;
    path.ptr.assign(static_cast<size_t>(Gb + 1), 0);
    for (int64_t a = 0; a < Ga; ++a)
        if (kept(a))
            for (int64_t e = pb.cell_ptr[a] + 1; e < pb.cell_ptr[a + 1]; ++e) {
                ++path.ptr[pb.cell_b[e - 1] + 1];
                ++path.ptr[pb.cell_b[e] + 1];
            }
    for (int64_t b = 0; b < Gb; ++b) path.ptr[b + 1] += path.ptr[b];
    path.idx.resize(static_cast<size_t>(path.ptr[Gb]));
    work_vector<int64_t> fill(path.ptr.begin(), path.ptr.end() - 1);
    for (int64_t a = 0; a < Ga; ++a)
        if (kept(a))
            for (int64_t e = pb.cell_ptr[a] + 1; e < pb.cell_ptr[a + 1]; ++e) {
                const uint32_t u = pb.cell_b[e - 1], v = pb.cell_b[e];
                path.idx[fill[u]++] = static_cast<int32_t>(v);
                path.idx[fill[v]++] = static_cast<int32_t>(u);
            }
    const bool fits = envelope_fits(path, budget, why);
    return fits;
}

// Builds the pair block, or returns null with the reason in *why.
std::unique_ptr<PairBlock> build_pair(const Problem &P, const work_vector<double> &counts, bool want_exact,
                                      std::string *why) {
    auto pb = std::make_unique<PairBlock>();
    for (int64_t s = 2; s < P.slots; ++s)
        if (P.G[s] > P.G[pb->sb]) pb->sb = s;
    if (!P.from_cells()) {
    build_cells(P, *pb);
    } else {  // the pair's cells by the segment effect's levels, as build_cells leaves them
        for (const Problem::Pair &pr : P.pairs) {
            if (pr.s1 == 0 && pr.s2 == pb->sb) {
                pb->cell_ptr = pr.ptr1;
                pb->cell_b = pr.to2;
                pb->cell_w = pr.w1;
            } else if (pr.s2 == 0 && pr.s1 == pb->sb) {
                pb->cell_ptr = pr.ptr2;
                pb->cell_b = pr.to1;
                pb->cell_w = pr.w2;
            }
        }
    }
    const int64_t Ga = P.G[0], Gb = P.G[pb->sb];
    const int64_t n_cells = pb->cell_ptr[Ga];
    // Forming S costs the sum over a levels of their cell count squared; it also bounds S's
    // entries. Within 64 per row of the data it costs less than a few passes.
    double work = 0.0;
    for (int64_t a = 0; a < Ga; ++a) {
        const double d = static_cast<double>(pb->cell_ptr[a + 1] - pb->cell_ptr[a]);
        work += d * d;
    }
    const double work_budget = std::max(64.0 * static_cast<double>(P.N), 1e7);
    if (work > work_budget) {
        *why = "the Schur complement of " + fe_name(P, 0) + " on " + fe_name(P, pb->sb) + " would take " +
               std::to_string(static_cast<int64_t>(work)) + " multiply-adds, over the budget of " +
               std::to_string(static_cast<int64_t>(work_budget));
        return nullptr;
    }
    // The exact factor may hold about as many numbers as the cells (so its memory stays
    // within the cells'), and take up to 50 multiply-adds per cell; small problems always fit.
    const FactorBudget budget{std::max<int64_t>(n_cells + 4 * Gb, 200000),
                              std::max(50.0 * static_cast<double>(n_cells), 2e7)};
    std::string exact_why;
    if (want_exact && exact_may_fit(*pb, Gb, budget, &exact_why)) {
        const SparseSym S = schur_complement(P, *pb, counts);
        pb->solver = envelope_cholesky(S, budget, &exact_why);
        if (pb->solver) {
            pb->kind = "exact pair";
            *why = fe_name(P, 0) + " x " + fe_name(P, pb->sb) + ": " + std::to_string(n_cells) + " cells, exact factor on " +
                   std::to_string(Gb) + " levels";
            return pb;
        }
    }
    // What the cells do not account for (rows without a level of the other effect) stays on
    // the diagonal; differences at rounding level are no excess.
    const double *da = counts.data() + P.off[0], *db = counts.data() + P.off[pb->sb];
    work_vector<double> ea(da, da + Ga), eb(db, db + Gb);
    for (int64_t a = 0; a < Ga; ++a)
        for (int64_t e = pb->cell_ptr[a]; e < pb->cell_ptr[a + 1]; ++e) {
            ea[a] -= pb->cell_w[e];
            eb[pb->cell_b[e]] -= pb->cell_w[e];
        }
    for (int64_t a = 0; a < Ga; ++a) ea[a] = ea[a] > 1e-10 * da[a] ? ea[a] : 0.0;
    for (int64_t b = 0; b < Gb; ++b) eb[b] = eb[b] > 1e-10 * db[b] ? eb[b] : 0.0;
    pb->solver = approximate_cholesky_bipartite(Ga, Gb, pb->cell_ptr.data(), pb->cell_b.data(), pb->cell_w.data(),
                                                ea.data(), eb.data(), 0x9e3779b97f4a7c15ULL);
    pb->bipartite = true;
    pb->kind = "approximate pair";
    *why = fe_name(P, 0) + " x " + fe_name(P, pb->sb) + ": " + std::to_string(n_cells) +
           " cells, approximate factor on " + std::to_string(Ga + Gb) + " levels" +
           (exact_why.empty() ? std::string() : " (" + exact_why + ")");
    return pb;
}

void check_sizes(int64_t K, int64_t F) {
    if (K < 1) reject("x has no column: the coefficient solver needs K >= 1");
    if (F < 1) reject("A has no fixed effect: the coefficient solver needs at least one");
    if (F > 9) reject("A has " + std::to_string(F) + " fixed effects; the coefficient solver takes at most 9");
}

int solver_threads(const DemeanOptions &opt) {
    if (opt.n_threads > 0) omp_set_num_threads(opt.n_threads);
    return std::max(1, omp_get_max_threads());
}

void first_pass(const Problem &P, const double *x, work_vector<double> &counts, work_vector<double> &b,
                std::vector<long double> &sumsq) {
    if (P.cells != nullptr) {  // the aggregates as given, "no level" entries at zero
        const CellInput &in = *P.cells;
        counts.assign(static_cast<size_t>(P.total()), 0.0);
        b.assign(static_cast<size_t>(P.total() * P.K), 0.0);
        for (int64_t s = 0; s < P.slots; ++s) {
            const int f = P.fe_of_slot[s];
            std::copy(in.counts[f], in.counts[f] + P.G[s], counts.begin() + P.off[s]);
            std::copy(in.sums[f], in.sums[f] + P.G[s] * P.K, b.begin() + P.off[s] * P.K);
        }
        sumsq.assign(in.sumsq, in.sumsq + P.K);
        return;
    }
    if (P.by_row == nullptr) return setup_pass(P, x, counts, b, sumsq);
    counts.assign(static_cast<size_t>(P.total()), 0.0);
    b.assign(static_cast<size_t>(P.total() * P.K), 0.0);
    sumsq.assign(static_cast<size_t>(P.K), 0.0L);
    if (P.by_row->wide)
        setup_rows<int64_t>(P, x, counts, b, sumsq);
    else
        setup_rows<int32_t>(P, x, counts, b, sumsq);
}

void last_pass(const Problem &P, double *x, const double *alpha) {
    if (P.cells != nullptr) {
        for (int64_t s = 0; s < P.slots; ++s)
            std::copy(alpha + P.off[s] * P.K, alpha + (P.off[s] + P.G[s]) * P.K, P.alpha_out[P.fe_of_slot[s]]);
        return;
    }
    if (P.by_row == nullptr) return closing_pass(P, x, alpha);
    if (P.by_row->wide)
        closing_rows<int64_t>(P, x, alpha);
    else
        closing_rows<int32_t>(P, x, alpha);
}

CoefOutcome solve(Problem &P, double *x, const DemeanOptions &opt, PairMode mode, const ProgressFn &progress,
                  const NoteFn &note) {
    const int64_t K = P.K;
    const int threads = P.threads;
    CoefOutcome out;
    auto say = [&](const std::string &text) {
        if (opt.verbose > 0) note(text);
    };
    work_vector<double> counts, r;
    std::vector<long double> sumsq;
    first_pass(P, x, counts, r, sumsq);  // r = b - A 0 = D'W v
    const int64_t L = P.total();
    // D'W v, for a fresh residual when the preconditioner changes. Aggregated input keeps it
    // in the caller's sums; only rows need a copy (at 2e8 rows out of memory, 10 million
    // levels of three columns, a copy would be 240 MB).
    work_vector<double> b_copy;
    if (P.cells == nullptr) b_copy = r;
    auto fresh_residual = [&](const work_vector<double> &Aalpha) {
        if (P.cells == nullptr) {
            for_level_chunks(L, threads, [&](int64_t, int64_t l0, int64_t l1) {
                for (int64_t l = l0 * K; l < l1 * K; ++l) r[l] = b_copy[l] - Aalpha[l];
            });
            return;
        }
        for (int64_t s = 0; s < P.slots; ++s) {
            const double *sums = P.cells->sums[P.fe_of_slot[s]];
            for (int64_t l = 0; l <= P.G[s]; ++l)  // the "no level" entry last: b = 0 there
                for (int64_t j = 0; j < K; ++j) {
                    const int64_t at = (P.off[s] + l) * K + j;
                    r[at] = (l < P.G[s] ? sums[l * K + j] : 0.0) - Aalpha[at];
                }
        }
    };
    work_vector<double> alpha(static_cast<size_t>(L * K), 0.0);

    if (P.slots == 1) {
        // One fixed effect: D'WD is diagonal, alpha = b / counts.
        for (int64_t l = 0; l < L; ++l)
            for (int64_t j = 0; j < K; ++j) alpha[l * K + j] = counts[l] > 0 ? r[l * K + j] / counts[l] : 0.0;
        last_pass(P, x, alpha.data());
        out.converged = true;
        out.preconditioner = "closed form";
        out.reason = "one fixed effect: group means";
        say("preconditioner: closed form (" + out.reason + ")");
        if (opt.verbose > 0) progress(ProgressEvent::converged, 0, 0.0);
        return out;
    }

    Scratch sc(P, P.from_cells() ? 0 : K);
    auto apply = [&](const double *from, double *to) {
        if (P.from_cells())
            apply_cells(P, counts, from, to);
        else
            apply_pass(P, from, to, sc);
    };
    std::vector<work_vector<double>> rhs_parts;
    std::unique_ptr<PairBlock> pair;
    out.preconditioner = "jacobi";
    out.reason = "diagonal of the normal equations (level counts)";
    if (mode == PairMode::exact || mode == PairMode::approximate) {
        std::string why;
        pair = build_pair(P, counts, mode == PairMode::exact, &why);
        if (pair) {
            out.preconditioner = pair->kind;
            out.reason = "requested; " + why;
        } else {
            out.reason = "requested pair block not built: " + why;
        }
    }
    say("preconditioner: " + out.preconditioner + " (" + out.reason + ")");

    // z = M^-1 r shares q's buffer: q is used up by the step before z is formed, and the next
    // product overwrites it only after p has taken z in.
    work_vector<double> q(static_cast<size_t>(L * K)), p;
    work_vector<double> &z = q;
    // z = M^-1 r; returns r'z per column.
    auto precondition = [&] {
        for_level_chunks(L, threads, [&](int64_t, int64_t l0, int64_t l1) {
            for (int64_t l = l0; l < l1; ++l)
                for (int64_t j = 0; j < K; ++j) z[l * K + j] = counts[l] > 0 ? r[l * K + j] / counts[l] : 0.0;
        });
        if (pair) apply_pair(P, *pair, counts, r.data(), z.data(), rhs_parts);
        return level_sums(L, K, threads, [&](int64_t l, int64_t j) { return r[l * K + j] * z[l * K + j]; });
    };
    std::vector<double> rho = precondition();
    const std::vector<double> rho_first = rho;
    p = z;

    std::vector<double> improvement_potential(sumsq.begin(), sumsq.end());
    std::vector<double> recent(static_cast<size_t>(K), 0.0);
    // Improvements below 1e-15 count as none, as in the sweeps, and below that also those at
    // the rounding level of the column itself (100 eps^2 times its sum of squares): a column
    // the fixed effects absorb has no remaining potential, so only this floor ends its
    // iterations, and it must end them at rounding level. One sweep by the absorbing effect
    // leaves such a column at rounding level; the conjugate gradients approach it step by
    // step, and stopped at 1e-15 they left it at about 1e-8 of its size, enough for least
    // squares to keep it as a regressor (and the other slopes to go wrong).
    // A column is done, and stays as it is, once a step improves it by less than that floor
    // or once r'z has fallen to the rounding level of its first value (100 eps^2 of it): its
    // residual is then rounding noise, which drifts into the null space of D'WD, where p'Ap
    // vanishes while r'z does not, so further steps are ratios of noise. On a converged
    // column waiting for the others they grew to 1e26 and ruined it.
    constexpr double min_potential = machine_epsilon;
    std::vector<char> done(static_cast<size_t>(K), 0);
    std::vector<double> min_improvement(static_cast<size_t>(K));
    const double noise_level = 8.0 * static_cast<double>(P.slots) * machine_epsilon;
    for (int64_t j = 0; j < K; ++j)
        min_improvement[j] = std::min(1e-15, 100.0 * machine_epsilon * machine_epsilon * static_cast<double>(sumsq[j]));
    // The rate is judged after `judge_first` iterations and then every `judge_every`, from
    // the larger measure of the last two iterations against that of the two before.
    // Conjugate gradients converge unevenly: the first few iterations are fast on any data
    // (on weakly connected data the measure then stalls; on the benchmark designs with two
    // effects the stall shows from the sixth iteration on, with a third effect it shows
    // already at the fourth), and single steps come in bumps. A solve predicted to need
    // more than `slow_solve` further iterations gets the pair block. Judging from the
    // fourth iteration on, every second, took the difficult design with three effects from
    // 18-19 iterations to 11-12 (13-15% less time at 1e6 and 1e7 rows) and the grid from
    // 27-35 to 20-30, and left the well-connected designs on Jacobi at tolerances down to
    // 1e-12.
    constexpr int64_t judge_first = 4, judge_every = 2;
    constexpr double slow_solve = 30.0;
    std::vector<double> history;
    bool judged = mode != PairMode::automatic;  // the pair block is tried at most once

    int64_t count = 0;
    for (;;) {
        progress(ProgressEvent::poll, count, 0.0);
        apply(p.data(), q.data());
        // p'Ap and p'Dp per column, in one pass over the levels
        const std::vector<double> pq = level_sums(L, 2 * K, threads, [&](int64_t l, int64_t j) {
            return j < K ? p[l * K + j] * q[l * K + j] : counts[l] * p[l * K + j - K] * p[l * K + j - K];
        });
        std::vector<double> step(static_cast<size_t>(K));
        for (int64_t j = 0; j < K; ++j) {
            // p'Ap carries the rounding of the rows' sums D p, up to about F eps p'Dp (D the
            // level counts): below a few times that it is noise, p lies (numerically) where
            // the fixed effects do not separate, and rho / p'Ap is a ratio of noise. Taken,
            // such a step threw the coefficients to 1e16 on a small panel whose weights span
            // eight decades (its residual at rounding level, amplified by the pair block).
            // The column has then reached what double precision can give: it is done.
            const bool noise = !(pq[j] > noise_level * pq[K + j]);
            step[j] = !done[j] && !noise ? rho[j] / pq[j] : 0.0;
            if (noise) done[j] = 1;
        }
        for_level_chunks(L, threads, [&](int64_t, int64_t l0, int64_t l1) {
            for (int64_t l = l0; l < l1; ++l)
                for (int64_t j = 0; j < K; ++j) {
                    alpha[l * K + j] += step[j] * p[l * K + j];
                    r[l * K + j] -= step[j] * q[l * K + j];
                }
        });
        // A step of length a along p lowers the weighted sum of squared residuals of the rows
        // by a^2 p'Ap = a rho: the squared change of the observation residual.
        double m = 0.0;
        for (int64_t j = 0; j < K; ++j) {
            recent[j] = step[j] * rho[j];
            improvement_potential[j] -= recent[j];
            if (recent[j] < min_improvement[j]) done[j] = 1;
            const double numerator = done[j] ? 0.0 : recent[j];  // NaN stays
            const double ip = improvement_potential[j];
            const double denominator = ip >= min_potential ? ip : min_potential;
            const double qj = numerator / denominator;
            if (qj > m) m = qj;  // a NaN never replaces m
        }
        const double update_error = std::sqrt(m);
        history.push_back(update_error);
        if (opt.verbose > 1 && count % 10 == 0) progress(ProgressEvent::line, count, update_error);
        if (update_error < opt.tol && count > opt.miniter) {
            ++count;
            break;
        }
        ++count;
        if (count == opt.maxiter) {
            out.iterations = count;
            return out;  // not converged; x untouched
        }

        bool restart = false;
        if (!judged && count >= judge_first && (count - judge_first) % judge_every == 0) {
            auto window_max = [&](int64_t from) { return std::max(history[from], history[from + 1]); };
            const int64_t older = count - 4, newer = count - 2;
            const double e_past = window_max(older), e_recent = window_max(newer);
            const double rate = std::pow(e_recent / e_past, 1.0 / static_cast<double>(newer - older));
            const double more = rate < 1 ? std::log(opt.tol / e_recent) / std::log(rate) : HUGE_VAL;
            if (e_recent > 0 && e_past > 0 && !(more <= slow_solve)) {
                std::string why;
                char buf[160];
                std::snprintf(buf, sizeof buf, "Jacobi rate %.4f per iteration predicts %s more iterations", rate,
                              std::isfinite(more) ? std::to_string(static_cast<int64_t>(more)).c_str() : "unbounded");
                pair = build_pair(P, counts, true, &why);
                judged = true;
                if (pair) {
                    out.preconditioner = pair->kind;
                    out.reason = std::string(buf) + "; " + why;
                    restart = true;
                    // The updated residual has drifted from b - A alpha by the rounding of
                    // every step so far; the new preconditioner would solve for that drift
                    // too, so start it from the true residual.
                    apply(alpha.data(), q.data());
                    fresh_residual(q);
                } else {
                    out.reason = std::string(buf) + "; pair block not built: " + why;
                }
                say("preconditioner: " + out.preconditioner + " (" + out.reason + ")");
            }
        }
        std::vector<double> rho_new = precondition();
        for (int64_t j = 0; j < K; ++j)
            if (rho_new[j] <= 100.0 * machine_epsilon * machine_epsilon * rho_first[j]) done[j] = 1;
        std::vector<double> beta(static_cast<size_t>(K));
        for (int64_t j = 0; j < K; ++j) beta[j] = restart || !(rho[j] > 0) ? 0.0 : rho_new[j] / rho[j];
        for_level_chunks(L, threads, [&](int64_t, int64_t l0, int64_t l1) {
            for (int64_t l = l0; l < l1; ++l)
                for (int64_t j = 0; j < K; ++j) p[l * K + j] = z[l * K + j] + beta[j] * p[l * K + j];
        });
        rho.swap(rho_new);
    }
    last_pass(P, x, alpha.data());
    if (opt.verbose > 0) progress(ProgressEvent::converged, count, 0.0);
    out.iterations = count;
    out.converged = true;
    return out;
}

}  // namespace

CoefOutcome COEF_PCG_demean(double *x, int64_t N, int64_t K, const double *w, const std::vector<GroupIndex> &fes,
                            const DemeanOptions &opt, PairMode mode, const ProgressFn &progress, const NoteFn &note) {
    check_sizes(K, static_cast<int64_t>(fes.size()));
    if (opt.maxiter <= 0) return CoefOutcome{};
    Problem P = build_problem(N, K, w, fes, solver_threads(opt));
    return solve(P, x, opt, mode, progress, note);
}

namespace {

// The problem of the aggregated entry points: counts and sums as given, no rows yet.
Problem aggregate_problem(const CellInput &in, int64_t K, const std::vector<double *> &alpha, int threads,
                          int segment) {
    Problem P;
    P.N = in.N;
    P.K = K;
    P.slots = static_cast<int64_t>(in.G.size());
    P.threads = threads;
    P.cells = &in;
    P.alpha_out = alpha;
    std::vector<std::string> names;
    for (int64_t f = 0; f < P.slots; ++f) names.push_back("fixed effect " + std::to_string(f));
    assign_slots(P, in.G, names, segment);
    return P;
}

}  // namespace

CoefOutcome COEF_PCG_cells(const CellInput &in, int64_t K, const std::vector<double *> &alpha, const DemeanOptions &opt,
                           PairMode mode, const ProgressFn &progress, const NoteFn &note) {
    check_sizes(K, static_cast<int64_t>(in.G.size()));
    if (opt.maxiter <= 0) return CoefOutcome{};
    Problem P = aggregate_problem(in, K, alpha, solver_threads(opt), -1);
    std::vector<int64_t> slot_of(static_cast<size_t>(P.slots));
    for (int64_t s = 0; s < P.slots; ++s) slot_of[P.fe_of_slot[s]] = s;
    for (const CellPair &cp : in.pairs) {
        Problem::Pair pr;
        pr.s1 = slot_of[cp.f];
        pr.s2 = slot_of[cp.g];
        cells_by_level(P.G[pr.s1], cp.level_f, cp.level_g, cp.weight, cp.n, pr.ptr1, pr.to2, pr.w1);
        cells_by_level(P.G[pr.s2], cp.level_g, cp.level_f, cp.weight, cp.n, pr.ptr2, pr.to1, pr.w2);
        P.pairs.push_back(std::move(pr));
    }
    return solve(P, nullptr, opt, mode, progress, note);
}

CoefOutcome COEF_PCG_rows(const CellInput &in, const RowInput &rows, int64_t K, const std::vector<double *> &alpha,
                          const DemeanOptions &opt, PairMode mode, const ProgressFn &progress, const NoteFn &note) {
    check_sizes(K, static_cast<int64_t>(in.G.size()));
    if (opt.maxiter <= 0) return CoefOutcome{};
    Problem P = aggregate_problem(in, K, alpha, solver_threads(opt), rows.segment);
    P.rows_given = true;
    const int64_t G0 = P.G[0];
    P.seg_off.assign(static_cast<size_t>(G0 + 2), 0);
    for (int64_t g = 0; g < G0; ++g) P.seg_off[g + 1] = P.seg_off[g] + rows.segment_rows[g];
    P.seg_off[G0 + 1] = P.seg_off[G0];  // every row has a level: the "no level" segment is empty
    P.narrow = rows.narrow;
    P.id16.assign(static_cast<size_t>(P.slots), nullptr);
    P.id32.assign(static_cast<size_t>(P.slots), nullptr);
    for (int64_t s = 1; s < P.slots; ++s) {
        const void *ids = rows.levels[P.fe_of_slot[s]];
        if (P.narrow)
            P.id16[s] = static_cast<const uint16_t *>(ids);
        else
            P.id32[s] = static_cast<const uint32_t *>(ids);
    }
    P.w = rows.w;
    return solve(P, nullptr, opt, mode, progress, note);
}

CoefOutcome COEF_PCG_demean(double *x, int64_t N, int64_t K, const double *w, const IdColumns &ids,
                            const DemeanOptions &opt, PairMode mode, const ProgressFn &progress, const NoteFn &note) {
    check_sizes(K, ids.columns());
    if (opt.maxiter <= 0) return CoefOutcome{};
    const int threads = solver_threads(opt);
    Problem P = ids.wide ? build_problem_ids<int64_t>(N, K, w, ids, threads)
                         : build_problem_ids<int32_t>(N, K, w, ids, threads);
    return solve(P, x, opt, mode, progress, note);
}

}  // namespace quarnet
