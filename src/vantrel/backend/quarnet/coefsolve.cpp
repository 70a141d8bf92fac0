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
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <type_traits>

#include "coefproblem.hpp"
#include "common.hpp"
#include "pairblock.hpp"
#include "workmem.hpp"

namespace quarnet {

namespace {

using namespace coef;

// splitmix64's finaliser: the fingerprints sum it over every value's bits and place (a sum,
// so the threads may take the values in any order)
uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// The step between the places of two values in the fingerprints.
constexpr uint64_t place_step = 0x9e3779b97f4a7c15ULL;

// Calls fn with the number of columns K as a compile-time constant for 1 .. 16 (0: K at run
// time beyond that). The passes' loops over a row's columns then have fixed trip counts:
// their sums stay in registers and the compiler vectorises them across the columns. Each
// column's arithmetic is the same elementwise operations in the same order either way, so
// every count gives the bits of the run-time loop.
constexpr int max_fixed_columns = 16;

template <int KC = 1, class Fn>
void with_columns(int64_t K, const Fn &fn) {
    if constexpr (KC > max_fixed_columns) {
        fn(std::integral_constant<int, 0>{});
    } else {
        if (K == KC)
            fn(std::integral_constant<int, KC>{});
        else
            with_columns<KC + 1>(K, fn);
    }
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
// The first position of each chunk's rows of each segment (chunks x G[0]); sets seg_off.
template <class T>
work_vector<int64_t> segment_places(Problem &P, int threads) {
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
    return next;
}

template <class T, class IdT>
void order_by_segments(Problem &P, const double *w, int threads, std::vector<work_vector<IdT>> &by_position) {
    const int64_t N = P.N, G0 = P.G[0], chunks = threads;
    work_vector<int64_t> next = segment_places<T>(P, threads);
    by_position.resize(static_cast<size_t>(P.slots));
    for (int64_t s = 1; s < P.slots; ++s) by_position[s].resize(static_cast<size_t>(N));
    if (w != nullptr) P.w_own.resize(static_cast<size_t>(N));
    const int64_t others = P.slots - 1;
    IdT *out[8];
    for (int64_t o = 0; o < others; ++o) out[o] = by_position[o + 1].data();
    double *w_out = w != nullptr ? P.w_own.data() : nullptr;
    // a session's layout keeps the row of each position (see segment_sums)
    const bool keep_rows = P.session != nullptr && N < static_cast<int64_t>(std::numeric_limits<uint32_t>::max());
    if (keep_rows) P.session->rows.resize(static_cast<size_t>(N));
    uint32_t *row_of = keep_rows ? P.session->rows.data() : nullptr;
    // each position is written once, by the thread that places its row
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int64_t c = 0; c < chunks; ++c) {
        int64_t *mine = next.data() + c * G0;
        for (int64_t i = N * c / chunks, end = N * (c + 1) / chunks; i < end; ++i) {
            const int64_t k = mine[P.row_id<T>(0, i)]++;
            if (row_of) row_of[k] = static_cast<uint32_t>(i);
            for (int64_t o = 0; o < others; ++o) out[o][k] = static_cast<IdT>(P.row_id<T>(o + 1, i));
            if (w_out) w_out[k] = w[i];
        }
    }
    if (w != nullptr) P.w = P.w_own.data();
}

// The layout from level ids (the weights by position too, unless w is null).
template <class T>
void lay_out(Problem &P, int64_t N, const double *w, const IdColumns &ids, int threads) {
    P.N = N;
    P.slots = ids.columns();
    P.threads = threads;
    P.by_row = &ids;
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
}

template <class T>
Problem build_problem_ids(int64_t N, int64_t K, const double *w, const IdColumns &ids, int threads) {
    Problem P;
    P.K = K;
    P.w_rows = w;
    lay_out<T>(P, N, w, ids, threads);
    return P;
}

// The rows' weights by position for a layout made without them: the places of the same
// counting sort (P.w_own, P.w).
template <class T>
void place_weights(Problem &P, const double *w, int threads) {
    const int64_t N = P.N, G0 = P.G[0], chunks = threads;
    work_vector<int64_t> next = segment_places<T>(P, threads);
    P.w_own.resize(static_cast<size_t>(N));
    double *w_out = P.w_own.data();
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int64_t c = 0; c < chunks; ++c) {
        int64_t *mine = next.data() + c * G0;
        for (int64_t i = N * c / chunks, end = N * (c + 1) / chunks; i < end; ++i) w_out[mine[P.row_id<T>(0, i)]++] = w[i];
    }
    P.w = w_out;
}

// For a session: the first place of each chunk's rows of each segment (chunks x G0), as
// segment_places finds them, kept so that every later set of weights is placed in one pass.
// Ids out of range (changed in place since the layout) are counted as level 0: the table is
// then wrong but safe to follow, and the solve that uses it is abandoned (see SessionPass).
template <class T>
work_vector<int64_t> segment_starts(const Problem &P, int threads) {
    const int64_t N = P.N, G0 = P.G[0], chunks = threads;
    work_vector<int64_t> next(static_cast<size_t>(chunks * G0), 0);
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int64_t c = 0; c < chunks; ++c) {
        int64_t *mine = next.data() + c * G0;
        for (int64_t i = N * c / chunks, end = N * (c + 1) / chunks; i < end; ++i) {
            const uint64_t id = static_cast<uint64_t>(static_cast<int64_t>(P.row_id<T>(0, i)));
            ++mine[id < static_cast<uint64_t>(G0) ? id : 0];
        }
    }
    int64_t place = 0;
    for (int64_t g = 0; g < G0; ++g)
        for (int64_t c = 0; c < chunks; ++c) {
            const int64_t n = next[c * G0 + g];
            next[c * G0 + g] = place;
            place += n;
        }
    return next;
}

// place_weights from the kept starts, in the same pass the weights' fingerprint (that of
// weights_fingerprint) and their check (finite, non-negative): the weights are read once.
// Returns false when some weight fails the check (P.w_own then holds no valid weights).
template <class T>
bool place_weights_checked(Problem &P, const double *w, const work_vector<int64_t> &starts, int threads,
                           uint64_t *key) {
    const int64_t N = P.N, G0 = P.G[0], chunks = threads;
    work_vector<int64_t> next(starts);
    if (static_cast<int64_t>(P.w_own.size()) != N) P.w_own.resize(static_cast<size_t>(N));
    double *w_out = P.w_own.data();
    uint64_t h = 0;
    int bad = 0;
#pragma omp parallel for schedule(static) reduction(+ : h) reduction(| : bad) num_threads(threads)
    for (int64_t c = 0; c < chunks; ++c) {
        int64_t *mine = next.data() + c * G0;
        for (int64_t i = N * c / chunks, end = N * (c + 1) / chunks; i < end; ++i) {
            const uint64_t id = static_cast<uint64_t>(static_cast<int64_t>(P.row_id<T>(0, i)));
            const int64_t k = mine[id < static_cast<uint64_t>(G0) ? id : 0]++;
            const double wi = w[i];
            w_out[k < N ? k : N - 1] = wi;
            uint64_t bits;
            std::memcpy(&bits, &wi, sizeof bits);
            h += mix(bits + static_cast<uint64_t>(i) * place_step);
            bad |= !(wi >= 0.0) || !std::isfinite(wi);
        }
    }
    *key = mix(h ^ static_cast<uint64_t>(N));
    P.w = w_out;
    return bad == 0;
}


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
    if constexpr (KC != 0 && NO != 0) {
        // Both counts fixed: each row's sums as pairs in registers (see PairedRow).
        for (int64_t s = lo; s < hi; ++s) {
            PairedRow<KC> own, acc;
            own.load(p + s * KC);
            acc.zero();
            for (int64_t k = P.seg_off[s], end = P.seg_off[s + 1]; k < end; ++k) {
                PairedRow<KC> v = own;
                for (int64_t o = 0; o < NO; ++o) v.add(from[o] + static_cast<int64_t>(id[o][k]) * KC);
                if (w) v.scale(w[k]);
                acc.add(v);
                for (int64_t o = 0; o < NO; ++o) v.add_into(to[o] + static_cast<int64_t>(id[o][k]) * KC);
            }
            acc.store(q + s * KC);
        }
        return;
    }
    // Otherwise the counts known at compile time, the rest at run time.
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
            with_columns(K, [&](auto kc) { apply_segments_k<decltype(kc)::value>(P, p, q, mine, lo, hi); });
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

// The segment effect's sums of setup_rows by position, with the bits of the sums by block of
// rows: a segment's positions hold its rows in row order, so the rows of each block of
// setup_rows are a run of them. Each block's run is summed from 0 and the blocks' sums are
// added in block order (an empty block adds 0), as setup_rows' reduction does; each segment
// is one thread's, in position order. The rows' sums stay sequential in the level arrays
// instead of being scattered over a buffer per block of rows as large as the segment
// effect's levels times the columns (176 MB at 1e7 rows and 10 columns).
template <bool Counts, int KC>
void segment_sums(const Problem &P, const double *x, work_vector<double> &counts, work_vector<double> &b,
                  int64_t blocks) {
    const int64_t K = KC ? KC : P.K, N = P.N;
    const uint32_t *rows = P.session->rows.data();
    std::vector<int64_t> bound(static_cast<size_t>(blocks));
    for (int64_t u = 0; u < blocks; ++u) bound[u] = N * (u + 1) / blocks;  // end of block u
#pragma omp parallel num_threads(P.threads)
    {
        const auto [lo, hi] = my_segments(P, omp_get_thread_num(), omp_get_num_threads());
        std::vector<double> total_v(static_cast<size_t>(2 * K));
        double *total = total_v.data(), *part = total + K;
        for (int64_t s = lo; s < hi; ++s) {
            for (int64_t j = 0; j < K; ++j) total[j] = part[j] = 0.0;
            double count = 0.0, count_part = 0.0;
            int64_t u = 0;
            for (int64_t k = P.seg_off[s], end = P.seg_off[s + 1]; k < end; ++k) {
                if (k + prefetch_distance < N) prefetch_doubles(x + static_cast<int64_t>(rows[k + prefetch_distance]) * K, K);
                const int64_t i = rows[k];
                while (i >= bound[u]) {  // the rows of block u are done
                    for (int64_t j = 0; j < K; ++j) {
                        total[j] += part[j];
                        part[j] = 0.0;
                    }
                    count += count_part;
                    count_part = 0.0;
                    ++u;
                }
                const double wi = P.w ? P.w[k] : 1.0;  // the row's weight, by position
                const double *v = x + i * K;
                if constexpr (KC != 0) {
                    PairedRow<KC> wv;
                    wv.load(v);
                    wv.scale(wi);
                    wv.add_into(part);
                } else {
                    for (int64_t j = 0; j < K; ++j) part[j] += wi * v[j];
                }
                if constexpr (Counts) count_part += wi;
            }
            for (; u < blocks; ++u) {
                for (int64_t j = 0; j < K; ++j) {
                    total[j] += part[j];
                    part[j] = 0.0;
                }
                count += count_part;
                count_part = 0.0;
            }
            for (int64_t j = 0; j < K; ++j) b[s * K + j] = total[j];
            if constexpr (Counts) counts[s] = count;
        }
    }
}

// setup_pass in row order, from the caller's level ids: the caller's matrix is read
// sequentially and every level's sums are accumulated per fixed block of rows, added in
// block order (in rounds, as Scratch's). Counts false: the level counts are known (a
// session's, from an earlier solve with the same weights) and only b and sumsq are formed;
// each sum is accumulated on its own, so b's bits are the same either way. Session: the
// buffers are the session's (P.session, all zero on entry and left so) and the ids'
// fingerprint is formed on the way (see Problem::SessionPass). KC: the columns (0: P.K).
template <class T, bool Counts, bool Session, bool Keep, bool Split, int KC>
void setup_rows_k(const Problem &P, const double *x, work_vector<double> &counts, work_vector<double> &b,
                  std::vector<long double> &sumsq) {
    const int64_t K = KC ? KC : P.K, W = K + 1, L = P.total(), N = P.N, F = P.slots;
    // Split: the segment effect's sums are formed by position (segment_sums), the buffers
    // hold the other effects' levels only, from level `first` on.
    const int64_t first = Split ? P.others_begin() : 0, S0 = Split ? 1 : 0;
    const Rounds rounds(P, (L - first) * W);
    const int64_t blocks = rounds.blocks;
    std::vector<work_vector<double>> own;
    std::vector<work_vector<double>> &part = Keep ? P.session->parts : own;
    if (part.size() < static_cast<size_t>(rounds.buffers)) part.resize(static_cast<size_t>(rounds.buffers));
    if constexpr (Keep)
        for (int64_t u = 0; u < rounds.buffers; ++u)
            if (part[u].size() < static_cast<size_t>((L - first) * W))
                part[u].resize(static_cast<size_t>((L - first) * W), 0.0);
    std::vector<std::vector<long double>> sq(static_cast<size_t>(blocks), std::vector<long double>(K, 0.0L));
    std::vector<uint64_t> key_part(static_cast<size_t>(blocks), 0);
    std::vector<char> out_of_range(static_cast<size_t>(blocks), 0);
    int64_t off[9], G[9], f_of[9];
    for (int64_t s = 0; s < F; ++s) {
        off[s] = P.off[s];
        G[s] = P.G[s];
        f_of[s] = P.fe_of_slot[s];
    }
    // Squares are summed in double over runs of this many rows, the runs in long double.
    constexpr int64_t run = 4096;
    for (int64_t round = 0; round < rounds.count(); ++round) {
        const int64_t used = rounds.size(round);
#pragma omp parallel for schedule(static) num_threads(P.threads)
        for (int64_t u = 0; u < used; ++u) {
            const int64_t blk = rounds.first(round) + u;
            if constexpr (!Keep) part[u].assign(static_cast<size_t>((L - first) * W), 0.0);
            double *mine = part[u].data();
            double run_sq[KC ? KC : 1];
            std::vector<double> run_sq_v(KC ? 0 : static_cast<size_t>(K), 0.0);
            double *rs = KC ? run_sq : run_sq_v.data();
            for (int64_t j = 0; j < K; ++j) rs[j] = 0.0;
            uint64_t key = 0;
            bool wild = false;
            const int64_t lo = N * blk / blocks, hi = N * (blk + 1) / blocks;
            for (int64_t i = lo; i < hi; ++i) {
                // The segment effect's sums are the scattered ones (most levels): ask for them ahead.
                if (!Split && i + prefetch_distance < hi) {
                    int64_t ahead = P.row_id<T>(0, i + prefetch_distance);
                    if constexpr (Session) ahead = static_cast<uint64_t>(ahead) < static_cast<uint64_t>(G[0]) ? ahead : 0;
                    prefetch_doubles<1>(mine + (ahead - first) * W, W);
                }
                const double wi = P.w_rows ? P.w_rows[i] : 1.0;
                const double *v = x + i * K;
                // the row times its weight, as pairs when K is fixed (see PairedRow)
                PairedRow<KC ? KC : 1> wv;
                if constexpr (KC != 0) {
                    PairedRow<KC> row;
                    row.load(v);
                    wv = row;
                    wv.scale(wi);
                    PairedRow<KC> square = wv;  // (w v) v, the scalar loop's order
                    square.multiply(row);
                    square.add_into(rs);
                } else {
                    for (int64_t j = 0; j < K; ++j) rs[j] += wi * v[j] * v[j];
                }
                if constexpr (Split) {  // the segment effect's id: only checked here
                    const int64_t id = P.row_id<T>(0, i);
                    key += mix(static_cast<uint64_t>(id) + static_cast<uint64_t>(i * F + f_of[0]) * place_step);
                    wild = wild || static_cast<uint64_t>(id) >= static_cast<uint64_t>(G[0]);
                }
                for (int64_t s = S0; s < F; ++s) {
                    int64_t id = P.row_id<T>(s, i);
                    if constexpr (Session) {
                        key += mix(static_cast<uint64_t>(id) + static_cast<uint64_t>(i * F + f_of[s]) * place_step);
                        if (static_cast<uint64_t>(id) >= static_cast<uint64_t>(G[s])) {
                            wild = true;
                            id = G[s];  // the "no level" entry: inside the buffer
                        }
                    }
                    double *m = mine + (off[s] - first + id) * W;
                    if constexpr (KC != 0)
                        wv.add_into(m);
                    else
                        for (int64_t j = 0; j < K; ++j) m[j] += wi * v[j];
                    if constexpr (Counts) m[K] += wi;
                }
                if ((i - lo) % run == run - 1 || i == hi - 1)
                    for (int64_t j = 0; j < K; ++j) {
                        sq[blk][j] += rs[j];
                        rs[j] = 0.0;
                    }
            }
            key_part[blk] = key;
            out_of_range[blk] = wild;
        }
        // Kept buffers: each entry read is cleared here, which leaves them all zero.
        for_level_chunks(L - first, P.threads, [&](int64_t, int64_t l0, int64_t l1) {
            for (int64_t e = l0; e < l1; ++e) {  // entry e of the buffers, level first + e
                const int64_t l = first + e;
                for (int64_t j = 0; j < K; ++j) {
                    double t = round == 0 ? 0.0 : b[l * K + j];
                    for (int64_t u = 0; u < used; ++u) t += part[u][e * W + j];
                    b[l * K + j] = t;
                }
                if constexpr (Counts) {
                    double t = round == 0 ? 0.0 : counts[l];
                    for (int64_t u = 0; u < used; ++u) t += part[u][e * W + K];
                    counts[l] = t;
                }
                if constexpr (Keep)
                    for (int64_t u = 0; u < used; ++u) std::fill(part[u].data() + e * W, part[u].data() + e * W + W, 0.0);
            }
        });
    }
    for (const auto &one : sq)
        for (int64_t j = 0; j < K; ++j) sumsq[j] += one[j];
    if constexpr (Split) segment_sums<Counts, KC>(P, x, counts, b, blocks);
    if constexpr (Session) {
        uint64_t h = 0;
        bool wild = false;
        for (int64_t blk = 0; blk < blocks; ++blk) {
            h += key_part[blk];
            wild = wild || out_of_range[blk];
        }
        const uint64_t key = mix(h ^ static_cast<uint64_t>(N) ^ (static_cast<uint64_t>(F) << 40));
        P.session->ids_changed = wild || key != P.session->ids_key;
    }
}

template <class T, bool Counts>
void setup_rows(const Problem &P, const double *x, work_vector<double> &counts, work_vector<double> &b,
                std::vector<long double> &sumsq) {
    // A session keeps the buffers when they are no larger than one column of the rows (a
    // solve of the reweighted iterations, a few columns on many rows, whose fixed cost they
    // would otherwise dominate); larger ones (many columns on an effect with many levels,
    // mostly a single solve) are allocated for the solve and freed after it, as without a
    // session.
    // A session's layout keeps the row of each position: the segment effect's sums are then
    // formed by position (segment_sums) when its buffers would be larger than one column of
    // the rows (too large to keep, as said above). Smaller ones stay in cache, and the
    // rows' scattered reads of the position order cost more than they save (a Poisson fit's
    // 3 columns on 1e6 rows and 5e4 levels: its solve went from 33 to 35 ms).
    const bool by_position = P.session != nullptr && !P.session->rows.empty();
    const int64_t all = P.total() * (P.K + 1);
    const bool split = by_position && Rounds(P, all).buffers * all > P.N;
    const int64_t levels = P.total() - (split ? P.others_begin() : 0);
    const int64_t entries = Rounds(P, levels * (P.K + 1)).buffers * levels * (P.K + 1);
    const bool keep = P.session != nullptr && entries <= P.N;
    with_columns(P.K, [&](auto kc) {
        constexpr int KC = decltype(kc)::value;
        if (split && keep)
            setup_rows_k<T, Counts, true, true, true, KC>(P, x, counts, b, sumsq);
        else if (split)
            setup_rows_k<T, Counts, true, false, true, KC>(P, x, counts, b, sumsq);
        else if (keep)
            setup_rows_k<T, Counts, true, true, false, KC>(P, x, counts, b, sumsq);
        else if (P.session != nullptr)
            setup_rows_k<T, Counts, true, false, false, KC>(P, x, counts, b, sumsq);
        else
            setup_rows_k<T, Counts, false, false, false, KC>(P, x, counts, b, sumsq);
    });
}

// closing_pass in row order: x_i -= the sum of its levels' coefficients.
template <class T, int KC>
void closing_rows_k(const Problem &P, double *x, const double *alpha) {
    const int64_t K = KC ? KC : P.K, F = P.slots;
    int64_t off[9];
    for (int64_t s = 0; s < F; ++s) off[s] = P.off[s];
#pragma omp parallel for schedule(static) num_threads(P.threads)
    for (int64_t i = 0; i < P.N; ++i) {
        if (i + prefetch_distance < P.N) prefetch_doubles(alpha + P.row_id<T>(0, i + prefetch_distance) * K, K);
        double *row = x + i * K;
        const double *level[9];
        for (int64_t s = 0; s < F; ++s) level[s] = alpha + (off[s] + P.row_id<T>(s, i)) * K;
        if constexpr (KC != 0) {
            PairedRow<KC> fit;
            fit.zero();
            for (int64_t s = 0; s < F; ++s) fit.add(level[s]);
            fit.subtract_from(row);
        } else {
            for (int64_t j = 0; j < K; ++j) {
                double fit = 0.0;
                for (int64_t s = 0; s < F; ++s) fit += level[s][j];
                row[j] -= fit;
            }
        }
    }
}

template <class T>
void closing_rows(const Problem &P, double *x, const double *alpha) {
    with_columns(P.K, [&](auto kc) { closing_rows_k<T, decltype(kc)::value>(P, x, alpha); });
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

// A session solve's positive thread count holds for that solve alone: it is the calling
// thread's OpenMP default while the solve runs (every region inside, the factors' solves
// too, reads it, as in a fresh solve) and the caller's default is put back afterwards. The
// sessions serve the estimators, which call them with counts of their own (a small solve
// on one thread); left in force, such a count put every later solve with the default (0)
// on one thread too, which doubled the time of a Poisson fit's absorptions.
class ThreadCountScope {
   public:
    explicit ThreadCountScope(int n_threads) : before_(omp_get_max_threads()), set_(n_threads > 0) {}
    ~ThreadCountScope() {
        if (set_) omp_set_num_threads(before_);
    }
    ThreadCountScope(const ThreadCountScope &) = delete;
    ThreadCountScope &operator=(const ThreadCountScope &) = delete;

   private:
    int before_;
    bool set_;
};

// known_counts: counts hold the level counts already (a session's, rows given by level ids).
void first_pass(const Problem &P, const double *x, work_vector<double> &counts, work_vector<double> &b,
                std::vector<long double> &sumsq, bool known_counts = false) {
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
    if (!known_counts) counts.assign(static_cast<size_t>(P.total()), 0.0);
    b.assign(static_cast<size_t>(P.total() * P.K), 0.0);
    sumsq.assign(static_cast<size_t>(P.K), 0.0L);
    if (known_counts && P.by_row->wide)
        setup_rows<int64_t, false>(P, x, counts, b, sumsq);
    else if (known_counts)
        setup_rows<int32_t, false>(P, x, counts, b, sumsq);
    else if (P.by_row->wide)
        setup_rows<int64_t, true>(P, x, counts, b, sumsq);
    else
        setup_rows<int32_t, true>(P, x, counts, b, sumsq);
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

// What a session (CoefSession) keeps of the solves with one weight vector: the level counts,
// and each preconditioner a solve built (or the reason it built none), by the decision that
// built it. A later solve with the same weights that reaches the same decision takes what was
// built instead of building it again: the same numbers, so the same arithmetic from there on.
// Every preconditioner depends on the layout, the weights and the counts alone, never on the
// columns, and the solve is deterministic for a given number of threads.
struct Memo {
    bool have_counts = false;
    work_vector<double> counts;
    // The automatic mode's upgrade after the Jacobi phase: the whole factor, or the pair block,
    // or neither (why: the pair block's reason, full_why: the whole factor's).
    struct Upgrade {
        bool tried = false;
        std::shared_ptr<SchurSolver> full;
        std::shared_ptr<PairBlock> pair;
        std::string why, full_why;
    } upgrade;
    // The pair block requested from the start, by want_exact (null: not built, why says why).
    struct Requested {
        bool tried = false;
        std::shared_ptr<PairBlock> pair;
        std::string why;
    } requested[2];
    // Additive pairs after the pair block (automatic mode, three or more effects); pair_lost:
    // the failed attempt took the pair block with it (as couple_all leaves it).
    struct Additive {
        bool tried = false, built = false, pair_lost = false;
        std::shared_ptr<PairSet> set;
        std::string why;
    } additive;
    std::vector<std::string> reused;  // this solve's, for its report
    double build_seconds = 0.0;       // this solve's time building preconditioners
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

CoefOutcome solve(Problem &P, double *x, const DemeanOptions &opt, PairMode mode, const ProgressFn &progress,
                  const NoteFn &note, Memo *memo = nullptr) {
    const int64_t K = P.K;
    const int threads = P.threads;
    CoefOutcome out;
    auto say = [&](const std::string &text) {
        if (opt.verbose > 0) note(text);
    };
    work_vector<double> own_counts, r;
    work_vector<double> &counts = memo != nullptr ? memo->counts : own_counts;
    std::vector<long double> sumsq;
    const bool known_counts = memo != nullptr && memo->have_counts;
    first_pass(P, x, counts, r, sumsq, known_counts);  // r = b - A 0 = D'W v
    if (P.session != nullptr && P.session->ids_changed) return out;  // nothing written
    if (known_counts) memo->reused.push_back("level counts");
    if (memo != nullptr) memo->have_counts = true;
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
    // Shared: a session keeps them for its later solves (see Memo).
    std::shared_ptr<PairBlock> pair;
    std::shared_ptr<PairSet> pairs;
    std::shared_ptr<SchurSolver> full;
    const std::function<void()> poll = [&] { progress(ProgressEvent::poll, 0, 0.0); };
    // Three or more fixed effects: every pair's cells (the pair block, if built, lends its
    // own), then the exact factor of all of D'WD (if allow_full and within its budget), or
    // else additive pairs (if allow_pairs). On success the pair block is gone and
    // out.preconditioner is set; the reason is in *why either way.
    auto couple_all = [&](bool allow_full, bool allow_pairs, std::string *why) {
        std::unique_ptr<PairSet> set;
        std::string full_why;
        if (allow_full) {
            set = pair_set_cells(P, pair.get(), true, &full_why);
            if (set) full = full_factor(P, counts, *set, &full_why);
            if (full) {
                pair.reset();
                out.preconditioner = "exact full";
                *why = full_why;
                return true;
            }
            full_why = "exact full factor not built: " + full_why;
        }
        if (!allow_pairs) {
            *why = full_why;
            return false;
        }
        if (!set) set = pair_set_cells(P, pair.get(), false, why);
        if (!set) return false;
        const bool built = factor_pair_set(P, counts, *set, pair, poll, why);
        if (!full_why.empty()) *why += " (" + full_why + ")";
        if (!built) return false;
        pair.reset();
        pairs = std::move(set);
        out.preconditioner = "additive pairs";
        return true;
    };
    out.preconditioner = "jacobi";
    out.reason = "diagonal of the normal equations (level counts)";
    if ((mode == PairMode::pairs || mode == PairMode::full) && P.slots >= 3) {
        std::string why;
        out.reason =
            couple_all(mode == PairMode::full, true, &why) ? "requested; " + why : "requested blocks not built: " + why;
    } else if (mode != PairMode::automatic && mode != PairMode::jacobi) {
        // With two fixed effects every pair, and all of D'WD, is the one pair block.
        std::string why;
        const bool want_exact = mode != PairMode::approximate;
        Memo::Requested *kept = memo != nullptr ? &memo->requested[want_exact] : nullptr;
        if (kept != nullptr && kept->tried) {
            pair = kept->pair;
            why = kept->why;
            memo->reused.push_back(pair ? pair->kind : "no pair block (as decided before)");
        } else {
            const auto start = std::chrono::steady_clock::now();
            pair = build_pair(P, counts, 0, largest_other(P), want_exact, false, &why);
            if (kept != nullptr) {
                *kept = {true, pair, why};
                memo->build_seconds += seconds_since(start);
            }
        }
        const bool two = mode == PairMode::pairs || mode == PairMode::full;
        if (pair) {
            out.preconditioner = pair->kind;
            out.reason = std::string(two ? "requested, two fixed effects" : "requested") + "; " + why;
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
        if (full) {
            std::copy(r.begin(), r.end(), z.begin());
            full->solve(z.data(), K);
        } else if (pairs)
            apply_pair_set(P, *pairs, counts, r.data(), z.data(), rhs_parts);
        else if (pair)
            apply_pair(P, *pair, counts, r.data() + P.off[pair->sa] * K, r.data() + P.off[pair->sb] * K,
                       z.data() + P.off[pair->sa] * K, z.data() + P.off[pair->sb] * K, rhs_parts);
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
    // With three or more fixed effects, the pair block's own rate is judged the same way from
    // `judge_pairs_first` iterations after it took over; predicted (see below) to need more
    // than `slow_for_pairs` further iterations, it gives way to additive pairs.
    constexpr int64_t judge_pairs_first = 4;
    constexpr double slow_for_pairs = 300.0;
    bool judged_pairs = mode != PairMode::automatic || P.slots < 3;
    int64_t pair_since = 0;
    std::vector<double> predictions;  // of the pair block's judgements

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
        // The rate over the last four iterations and the further iterations it predicts
        // (NaN when the measure is 0).
        double rate = 0.0;
        auto predict = [&] {
            auto window_max = [&](int64_t from) { return std::max(history[from], history[from + 1]); };
            const int64_t older = count - 4, newer = count - 2;
            const double e_past = window_max(older), e_recent = window_max(newer);
            rate = std::pow(e_recent / e_past, 1.0 / static_cast<double>(newer - older));
            const double more = rate < 1 ? std::log(opt.tol / e_recent) / std::log(rate) : HUGE_VAL;
            return e_recent > 0 && e_past > 0 ? more : std::nan("");
        };
        auto iterations_text = [](double more) {
            return std::isfinite(more) ? std::to_string(static_cast<int64_t>(more)) : std::string("unbounded");
        };
        if (!judged && count >= judge_first && (count - judge_first) % judge_every == 0) {
            const double more = predict();
            if (!std::isnan(more) && !(more <= slow_solve)) {
                std::string why;
                char buf[160];
                std::snprintf(buf, sizeof buf, "Jacobi rate %.4f per iteration predicts %s more iterations", rate,
                              iterations_text(more).c_str());
                judged = true;
                std::string full_why;
                bool to_full = false, to_pair = false;
                if (memo != nullptr && memo->upgrade.tried) {
                    // an earlier solve with these weights made this decision: its outcome
                    const Memo::Upgrade &u = memo->upgrade;
                    why = u.why;
                    full_why = u.full_why;
                    if (u.full) {
                        full = u.full;
                        out.preconditioner = "exact full";
                        to_full = true;
                    } else if (u.pair) {
                        pair = u.pair;
                        to_pair = true;
                    }
                    memo->reused.push_back(to_full ? "exact full" : to_pair ? pair->kind : "no pair block (as decided before)");
                } else {
                    const auto start = std::chrono::steady_clock::now();
                    pair = pair_block_cells(P, 0, largest_other(P), &why);
                    // With three or more effects and an exact pair block, the whole factor is
                    // tried at once: where it fits (every effect's levels meet only neighbouring
                    // levels of the others) it takes 2 iterations, and waiting for the pair
                    // block's own rate cost 4 to 6 more. Where it does not, the attempt mostly
                    // ends after counting the cells of the pairs with the segment effect (the
                    // difficult design's individual-year cells alone exceed the budget).
                    to_full = pair && !judged_pairs && exact_pair_may_fit(P, *pair) && couple_all(true, false, &full_why);
                    to_pair = !to_full && pair && factor_pair(P, counts, *pair, true, false, &why);
                    if (!to_full && !to_pair) pair.reset();
                    if (memo != nullptr) {
                        memo->upgrade = {true, full, pair, why, full_why};
                        // the pair block is the one requested from the start would build (its cells
                        // and exact factor, or the reason it has none), unless the whole factor
                        // came first and the pair block was never factored
                        if (!to_full) memo->requested[1] = {true, pair, why};
                        memo->build_seconds += seconds_since(start);
                    }
                }
                if (to_full) {
                    judged_pairs = true;
                    out.reason = std::string(buf) + "; " + full_why;
                    restart = true;
                    apply(alpha.data(), q.data());
                    fresh_residual(q);
                } else if (to_pair) {
                    out.preconditioner = pair->kind;
                    out.reason = std::string(buf) + "; " + why + (full_why.empty() ? "" : " (" + full_why + ")");
                    restart = true;
                    pair_since = count;
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
        if (!judged_pairs && pair && !restart && count - pair_since >= judge_pairs_first &&
            (count - pair_since - judge_pairs_first) % judge_every == 0) {
            const double more = predict();
            // Additive pairs cost more per iteration than the pair block, and its conjugate
            // gradients converge in bumps: on the grid design at 1e5 rows one window predicted
            // 714 more iterations (the neighbouring ones 180 and 132) where 64 followed. So
            // the median of the last three predictions must call for them; on three effects on
            // 2-D lattices, where the pair block took 1,044 iterations, it did so 22
            // iterations after the pair block came in.
            if (!std::isnan(more)) predictions.push_back(more);
            const size_t np = predictions.size();
            double last[3] = {0.0, 0.0, 0.0};
            if (np >= 3) std::copy(predictions.end() - 3, predictions.end(), last);
            std::sort(last, last + 3);
            if (last[1] > slow_for_pairs) {
                std::string why;
                char buf[160];
                std::snprintf(buf, sizeof buf, "then the %s's rate %.4f per iteration predicts %s more iterations",
                              pair->kind.c_str(), rate, iterations_text(more).c_str());
                judged_pairs = true;
                bool built = false;
                if (memo != nullptr && memo->additive.tried) {
                    const Memo::Additive &a = memo->additive;
                    built = a.built;
                    why = a.why;
                    if (built) {
                        pairs = a.set;
                        out.preconditioner = "additive pairs";
                    }
                    if (built || a.pair_lost) pair.reset();
                    memo->reused.push_back(built ? "additive pairs" : "no additive pairs (as decided before)");
                } else {
                    const auto start = std::chrono::steady_clock::now();
                    built = couple_all(false, true, &why);
                    if (memo != nullptr) {
                        memo->additive = {true, built, !built && !pair, pairs, why};
                        memo->build_seconds += seconds_since(start);
                    }
                }
                if (built) {
                    out.reason += "; " + std::string(buf) + "; " + why;
                    restart = true;
                    apply(alpha.data(), q.data());
                    fresh_residual(q);
                } else {
                    out.reason += "; " + std::string(buf) + "; pair blocks not built: " + why;
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

struct CoefSession::State {
    IdColumns ids;
    Problem P;
    bool laid_out = false;
    // the weights of the last solve and the threads it ran on (the level counts' blocks
    // depend on them), and what its solves kept
    bool have_weights = false, weighted = false;
    uint64_t w_key = 0;
    int threads = 0;
    Memo memo;
    // the first places of the segments' rows by chunk for `starts_threads` threads (see
    // segment_starts), and the first pass's buffers and checks
    work_vector<int64_t> starts;
    int starts_threads = 0;
    Problem::SessionPass pass;
};

CoefSession::CoefSession(const IdColumns &ids, int64_t N) : state_(std::make_unique<State>()) {
    check_sizes(1, ids.columns());
    state_->ids = ids;
    state_->P.N = N;
}

CoefSession::~CoefSession() = default;

int64_t CoefSession::rows() const { return state_->P.N; }

const IdColumns &CoefSession::ids() const { return state_->ids; }

bool CoefSession::holds_weights(const double *w, uint64_t w_key) const {
    const State &S = *state_;
    return S.have_weights && S.weighted == (w != nullptr) && (w == nullptr || S.w_key == w_key);
}

CoefOutcome CoefSession::demean(double *x, int64_t K, const double *w, const DemeanOptions &opt, PairMode mode,
                                const ProgressFn &progress, const NoteFn &note, SessionReport *report,
                                SessionChecks *checks) {
    State &S = *state_;
    check_sizes(K, S.ids.columns());
    checks->ids_changed = checks->bad_weights = false;
    if (opt.maxiter <= 0) return CoefOutcome{};
    const auto start = std::chrono::steady_clock::now();
    const ThreadCountScope scope(opt.n_threads);
    const int threads = solver_threads(opt);
    Problem &P = S.P;
    std::vector<std::string> reused;
    P.session = &S.pass;
    if (!S.laid_out) {
        if (S.ids.wide)
            lay_out<int64_t>(P, P.N, nullptr, S.ids, threads);
        else
            lay_out<int32_t>(P, P.N, nullptr, S.ids, threads);
        S.laid_out = true;
    } else {
        reused.push_back("layout");
    }
    P.threads = threads;
    P.K = K;
    P.w_rows = w;
    P.session = &S.pass;
    S.pass.ids_key = checks->ids_key;
    S.pass.ids_changed = false;
    // The weights by position, their fingerprint and their check in one pass (the places
    // are the layout's, kept for this thread count).
    uint64_t w_key = 0;
    if (w != nullptr) {
        if (S.starts_threads != threads) {
            S.starts = S.ids.wide ? segment_starts<int64_t>(P, threads) : segment_starts<int32_t>(P, threads);
            S.starts_threads = threads;
        }
        const bool good = S.ids.wide ? place_weights_checked<int64_t>(P, w, S.starts, threads, &w_key)
                                     : place_weights_checked<int32_t>(P, w, S.starts, threads, &w_key);
        if (!good) {
            // w_own no longer holds the weights of the last solve: nothing kept for them stays
            S.memo = Memo{};
            S.have_weights = false;
            P.w = nullptr;
            checks->bad_weights = true;
            return CoefOutcome{};
        }
    } else {
        P.w = nullptr;
    }
    if (holds_weights(w, w_key) && S.threads == threads) {
        if (w != nullptr) reused.push_back("weights");
    } else {
        S.memo = Memo{};  // what the former weights built goes
        S.have_weights = true;
        S.weighted = w != nullptr;
        S.w_key = w_key;
        S.threads = threads;
    }
    S.memo.reused = std::move(reused);
    S.memo.build_seconds = 0.0;
    const double setup = seconds_since(start);
    const CoefOutcome out = solve(P, x, opt, mode, progress, note, &S.memo);
    if (S.pass.ids_changed) {
        // the layout, counts and weights' places no longer match the ids: the caller lays
        // them out afresh (a new session); this one keeps nothing
        S.memo = Memo{};
        S.have_weights = false;
        checks->ids_changed = true;
        return CoefOutcome{};
    }
    if (report != nullptr) {
        report->reused = S.memo.reused;
        report->setup_seconds = setup;
        report->build_seconds = S.memo.build_seconds;
        report->solve_seconds = seconds_since(start) - setup - S.memo.build_seconds;
    }
    return out;
}

namespace {

template <class T>
uint64_t ids_sum(const IdColumns &ids, int64_t N, int threads) {
    const T *data = static_cast<const T *>(ids.data);
    const int64_t F = ids.columns();
    uint64_t h = 0;
#pragma omp parallel for schedule(static) reduction(+ : h) num_threads(std::max(threads, 1))
    for (int64_t i = 0; i < N; ++i)
        for (int64_t f = 0; f < F; ++f) {
            const uint64_t v = static_cast<uint64_t>(static_cast<int64_t>(data[i * ids.row_stride + f * ids.col_stride]));
            h += mix(v + static_cast<uint64_t>(i * F + f) * place_step);
        }
    return h;
}

}  // namespace

uint64_t ids_fingerprint(const IdColumns &ids, int64_t N, int threads) {
    const uint64_t h = ids.wide ? ids_sum<int64_t>(ids, N, threads) : ids_sum<int32_t>(ids, N, threads);
    return mix(h ^ static_cast<uint64_t>(N) ^ (static_cast<uint64_t>(ids.columns()) << 40));
}

uint64_t weights_fingerprint(const double *w, int64_t N, int threads) {
    uint64_t h = 0;
#pragma omp parallel for schedule(static) reduction(+ : h) num_threads(std::max(threads, 1))
    for (int64_t i = 0; i < N; ++i) {
        uint64_t bits;
        std::memcpy(&bits, w + i, sizeof bits);
        h += mix(bits + static_cast<uint64_t>(i) * place_step);
    }
    return mix(h ^ static_cast<uint64_t>(N));
}

}  // namespace quarnet
