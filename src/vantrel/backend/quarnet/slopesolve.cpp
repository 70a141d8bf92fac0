// Fixed effects with varying slopes in coefficient space: see slopesolve.hpp for the method.
//
// Layout. Coefficient c of level g of effect f sits at row off[f] + g * p_f + j of a
// (coefficients x K) row-major array, j = 0 the intercept when the effect has one. Sums over
// the rows by coefficient are formed in fixed blocks of rows (as in coefproblem.hpp), each
// block with its own accumulator, and the blocks added in block order: the result is the
// same, to the last bit, for 1 to 4 threads.
#include "slopesolve.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "coefproblem.hpp"
#include "common.hpp"

namespace quarnet {

namespace {

// At most this many unknowns per row (all effects' intercepts and slopes): the passes keep a
// row's design values on the stack.
constexpr int64_t kMaxRowWidth = 64;

// Loops over the coefficients (not the rows) run on several threads only from about this
// many operations: below it a parallel region costs more than it saves, and on a loaded
// machine each of an iteration's regions waits for every thread to be scheduled. Each
// entry's value does not depend on the threads, so the results are the same either way.
constexpr int64_t kThreadedWork = int64_t{1} << 18;

// One effect's fields as a pass over the rows reads them, gathered once outside its loop:
// the level of each row, its slope values, its coefficients (levels x width x K), the width
// of a level (intercept and slopes), the number of slopes, and whether it has an intercept.
struct EffectFields {
    const int64_t *ids;
    const double *z;
    const double *coef;
    int64_t width, S;
    bool intercept;
};

struct Layout {
    const SlopeEffects *fe = nullptr;
    int64_t N = 0, K = 0, F = 0;
    std::vector<int64_t> off, width;  // first coefficient row and unknowns per level, by effect
    std::vector<char> intercept;
    std::vector<int64_t> S;
    std::vector<const double *> slopes;
    const int64_t *ids = nullptr;
    int64_t row_stride = 0, col_stride = 0;
    int64_t total = 0, row_width = 0;
    int threads = 1;

    int64_t id(int64_t f, int64_t i) const { return ids[i * row_stride + f * col_stride]; }
};

Layout layout(const SlopeEffects &fe, int64_t N, int64_t K, int threads) {
    Layout L;
    L.fe = &fe;
    L.N = N;
    L.K = K;
    L.F = fe.effects();
    L.threads = threads;
    L.ids = fe.ids;
    L.row_stride = fe.row_stride;
    L.col_stride = fe.col_stride;
    for (int64_t f = 0; f < L.F; ++f) {
        L.off.push_back(L.total);
        L.width.push_back(fe.width(f));
        L.intercept.push_back(fe.intercept[f] ? 1 : 0);
        L.S.push_back(fe.S[f]);
        L.slopes.push_back(fe.slopes[f]);
        L.total += fe.G[f] * fe.width(f);
        L.row_width += fe.width(f);
    }
    if (L.row_width > kMaxRowWidth)
        reject("the fixed effects carry " + num(L.row_width) + " intercepts and slopes per row; at most " +
               num(kMaxRowWidth) + " are supported");
    return L;
}

// Sums over rows into `out` (entries values): `row(i, acc)` adds row i's terms to the
// accumulator acc; fixed blocks of rows, added in block order.
template <class RowFn>
void block_sums(const Layout &L, int64_t entries, std::vector<double> &out, const RowFn &row) {
    const int64_t blocks = coef::row_blocks(L.threads);
    std::vector<std::vector<double>> acc(static_cast<size_t>(blocks));
#pragma omp parallel for schedule(static, 1) num_threads(L.threads)
    for (int64_t b = 0; b < blocks; ++b) {
        std::vector<double> &mine = acc[b];
        mine.assign(static_cast<size_t>(entries), 0.0);
        for (int64_t i = L.N * b / blocks, end = L.N * (b + 1) / blocks; i < end; ++i) row(i, mine.data());
    }
    out.assign(static_cast<size_t>(entries), 0.0);
#pragma omp parallel for schedule(static) num_threads(L.threads) if (entries * blocks >= kThreadedWork)
    for (int64_t e = 0; e < entries; ++e) {
        double s = 0.0;
        for (int64_t b = 0; b < blocks; ++b) s += acc[b][e];
        out[e] = s;
    }
}

// x -= D a, row by row in the rows' own order: each effect's fields read once, outside the
// rows' loop, and the column count known when compiling for the usual few (KC > 0).
template <int KC>
void subtract_fitted_columns(const Layout &L, const double *a, double *x) {
    const int64_t K = KC > 0 ? KC : L.K, F = L.F, stride = L.row_stride;
    std::vector<EffectFields> effects;
    for (int64_t f = 0; f < F; ++f)
        effects.push_back({L.ids + f * L.col_stride, L.slopes[f], a + L.off[f] * K, L.width[f], L.S[f],
                           L.intercept[f] != 0});
#pragma omp parallel num_threads(L.threads)
    {
        double t[KC > 0 ? KC : 1];
        std::vector<double> any(static_cast<size_t>(KC > 0 ? 0 : K));
        double *ti = KC > 0 ? t : any.data();
#pragma omp for schedule(static)
        for (int64_t i = 0; i < L.N; ++i) {
            for (int64_t k = 0; k < K; ++k) ti[k] = 0.0;
            for (int64_t f = 0; f < F; ++f) {
                const EffectFields &e = effects[f];
                const double *c = e.coef + e.ids[i * stride] * e.width * K;
                if (e.intercept) {
                    for (int64_t k = 0; k < K; ++k) ti[k] += c[k];
                    c += K;
                }
                for (int64_t s = 0; s < e.S; ++s) {
                    const double zv = e.z[i * e.S + s];
                    for (int64_t k = 0; k < K; ++k) ti[k] += zv * c[s * K + k];
                }
            }
            for (int64_t k = 0; k < K; ++k) x[i * K + k] -= ti[k];
        }
    }
}

void subtract_fitted(const Layout &L, const double *a, double *x) {
    switch (L.K) {
        case 1: return subtract_fitted_columns<1>(L, a, x);
        case 2: return subtract_fitted_columns<2>(L, a, x);
        case 3: return subtract_fitted_columns<3>(L, a, x);
        case 4: return subtract_fitted_columns<4>(L, a, x);
        default: return subtract_fitted_columns<0>(L, a, x);
    }
}

// The rows in the order of a stable counting sort by the levels of the effect with most
// levels (`seg`), with the other effects' levels, the slope variables and the weights copied
// in that order; the sorted effect's levels are implied by the segments `start`. The copy
// is a scatter from the rows in their own order (`put`, block of rows by block of rows, on
// as many threads), so that the reads are in order and each level's writes go to one run of
// consecutive rows: at 1e6 rows and 1e4 levels it took about a quarter of the time of the
// gather in sorted order (a random read per row) it replaces. The sort is stable: a level's
// rows keep their order, block after block.
struct Sorted {
    int64_t seg = 0, G = 0, blocks = 0;
    std::vector<int64_t> start;   // G + 1: the first sorted row of each level of seg
    std::vector<int64_t> first;   // blocks + 1: the first level of each block of the passes
    std::vector<int64_t> cursor;  // blocks x G: where the next row of (block, level) goes
    std::vector<std::vector<int64_t>> ids;    // by effect (empty for seg): level by sorted row
    std::vector<std::vector<double>> slopes;  // by effect: sorted rows x S_f
    std::vector<double> weights;
    const double *w() const { return weights.empty() ? nullptr : weights.data(); }

    Sorted(const Layout &L, const double *w_rows) {
        const int64_t N = L.N, F = L.F;
        for (int64_t f = 1; f < F; ++f)
            if (L.fe->G[f] > L.fe->G[seg]) seg = f;
        G = L.fe->G[seg];
        blocks = coef::row_blocks(L.threads);
        // the rows of each level by block of rows (the blocks of block_sums)
        cursor.assign(static_cast<size_t>(blocks * G), 0);
#pragma omp parallel for schedule(static, 1) num_threads(L.threads)
        for (int64_t b = 0; b < blocks; ++b) {
            int64_t *count = cursor.data() + b * G;
            for (int64_t i = N * b / blocks, end = N * (b + 1) / blocks; i < end; ++i) ++count[L.id(seg, i)];
        }
        start.assign(static_cast<size_t>(G + 1), N);
        int64_t pos = 0;
        for (int64_t g = 0; g < G; ++g) {
            start[g] = pos;
            for (int64_t b = 0; b < blocks; ++b) {
                const int64_t c = cursor[b * G + g];
                cursor[b * G + g] = pos;
                pos += c;
            }
        }
        // the passes' blocks: whole levels, about N / blocks rows each
        first.assign(static_cast<size_t>(blocks + 1), G);
        for (int64_t b = 0; b < blocks; ++b)
            first[b] = std::lower_bound(start.begin(), start.end() - 1, N * b / blocks) - start.begin();
        first[0] = 0;
        ids.resize(static_cast<size_t>(F));
        slopes.resize(static_cast<size_t>(F));
        for (int64_t f = 0; f < F; ++f) {
            if (f != seg) ids[f].resize(static_cast<size_t>(N));
            slopes[f].resize(static_cast<size_t>(N * L.S[f]));
        }
        if (w_rows != nullptr) weights.resize(static_cast<size_t>(N));
#pragma omp parallel for schedule(static, 1) num_threads(L.threads)
        for (int64_t b = 0; b < blocks; ++b)
            for (int64_t i = N * b / blocks, end = N * (b + 1) / blocks; i < end; ++i) put(L, w_rows, b, i);
    }

    // Row i of block b to its sorted place; each block's rows from one thread only.
    void put(const Layout &L, const double *w_rows, int64_t b, int64_t i) {
        const int64_t k = cursor[b * G + L.id(seg, i)]++;
        for (int64_t f = 0; f < L.F; ++f) {
            if (f != seg) ids[f][k] = L.id(f, i);
            const int64_t S = L.S[f];
            for (int64_t s = 0; s < S; ++s) slopes[f][k * S + s] = L.slopes[f][i * S + s];
        }
        if (w_rows != nullptr) weights[k] = w_rows[i];
    }
};

// q = D'WD p, one pass over the sorted rows. Level by level of the sorted effect: its
// coefficients are read once and its sums kept in registers over the level's run of rows,
// then written to q (each level's run lies in one block, so its sum does not depend on the
// threads); the other effects' sums go to the block's accumulator, the blocks added in
// block order. KC > 0: the number of columns known when compiling (the usual few), which
// lets the compiler unroll the loops over them; KC = 0: any number.
struct Accumulators {
    std::vector<std::vector<double>> block;
    std::vector<std::pair<int64_t, int64_t>> ranges;  // q's entries of the effects other than seg
};

template <int KC, int PC>
void apply_columns(const Layout &L, const Sorted &S, const double *p, std::vector<double> &q, Accumulators &A) {
    const int64_t K = KC > 0 ? KC : L.K, seg = S.seg;
    const int64_t ps = PC > 0 ? PC : L.width[seg], Ss = ps - L.intercept[seg];
    const bool si = L.intercept[seg] != 0;
    const double *w = S.w();
    const double *zseg = S.slopes[seg].data();
    // the other effects, their fields read once (the rows' loop reads only these)
    std::vector<EffectFields> others;
    for (int64_t f = 0; f < L.F; ++f)
        if (f != seg)
            others.push_back({S.ids[f].data(), S.slopes[f].data(), p + L.off[f] * K, L.width[f], L.S[f],
                              L.intercept[f] != 0});
    const int64_t O = static_cast<int64_t>(others.size());
    q.resize(static_cast<size_t>(L.total * K));
    A.block.resize(static_cast<size_t>(S.blocks));
#pragma omp parallel for schedule(static, 1) num_threads(L.threads)
    for (int64_t b = 0; b < S.blocks; ++b) {
        std::vector<double> &acc = A.block[b];
        acc.resize(static_cast<size_t>(L.total * K));
        for (const auto &range : A.ranges) std::fill(acc.begin() + range.first, acc.begin() + range.second, 0.0);
        std::vector<double *> sums(static_cast<size_t>(O));
        for (int64_t o = 0; o < O; ++o) sums[o] = acc.data() + (others[o].coef - p);
        // the sorted effect's coefficients and sums of the level, on the stack when their
        // size is known when compiling
        constexpr int fixed = KC > 0 && PC > 0 ? KC * PC : 1;
        double cs_fixed[fixed], as_fixed[fixed];
        std::vector<double> own(static_cast<size_t>(fixed > 1 ? 0 : 2 * ps * K));
        double *cs = fixed > 1 ? cs_fixed : own.data(), *as = fixed > 1 ? as_fixed : own.data() + ps * K;
        double t[KC > 0 ? KC : 1];
        std::vector<double> any(static_cast<size_t>(KC > 0 ? 0 : K));
        double *ti = KC > 0 ? t : any.data();
        double zs[kMaxRowWidth];
        for (int64_t g = S.first[b]; g < S.first[b + 1]; ++g) {
            const double *pg = p + (L.off[seg] + g * ps) * K;
            for (int64_t e = 0; e < ps * K; ++e) {
                cs[e] = pg[e];
                as[e] = 0.0;
            }
            for (int64_t i = S.start[g], end = S.start[g + 1]; i < end; ++i) {
                // the row's values of the sorted effect's columns, and its fitted part
                int64_t m = 0;
                if (si) zs[m++] = 1.0;
                for (int64_t s = 0; s < Ss; ++s) zs[m++] = zseg[i * Ss + s];
                for (int64_t k = 0; k < K; ++k) ti[k] = 0.0;
                for (int64_t j = 0; j < ps; ++j)
                    for (int64_t k = 0; k < K; ++k) ti[k] += zs[j] * cs[j * K + k];
                for (int64_t o = 0; o < O; ++o) {
                    const EffectFields &e = others[o];
                    const double *c = e.coef + e.ids[i] * e.width * K;
                    if (e.intercept) {
                        for (int64_t k = 0; k < K; ++k) ti[k] += c[k];
                        c += K;
                    }
                    for (int64_t s = 0; s < e.S; ++s) {
                        const double zv = e.z[i * e.S + s];
                        for (int64_t k = 0; k < K; ++k) ti[k] += zv * c[s * K + k];
                    }
                }
                const double wi = w != nullptr ? w[i] : 1.0;
                for (int64_t k = 0; k < K; ++k) ti[k] *= wi;
                for (int64_t j = 0; j < ps; ++j)
                    for (int64_t k = 0; k < K; ++k) as[j * K + k] += zs[j] * ti[k];
                for (int64_t o = 0; o < O; ++o) {
                    const EffectFields &e = others[o];
                    double *a = sums[o] + e.ids[i] * e.width * K;
                    if (e.intercept) {
                        for (int64_t k = 0; k < K; ++k) a[k] += ti[k];
                        a += K;
                    }
                    for (int64_t s = 0; s < e.S; ++s) {
                        const double zv = e.z[i * e.S + s];
                        for (int64_t k = 0; k < K; ++k) a[s * K + k] += zv * ti[k];
                    }
                }
            }
            double *qg = q.data() + (L.off[seg] + g * ps) * K;
            for (int64_t e = 0; e < ps * K; ++e) qg[e] = as[e];
        }
    }
    for (const auto &range : A.ranges) {
#pragma omp parallel for schedule(static) num_threads(L.threads) if (S.blocks * (range.second - range.first) >= kThreadedWork)
        for (int64_t e = range.first; e < range.second; ++e) {
            double s = 0.0;
            for (int64_t b = 0; b < S.blocks; ++b) s += A.block[b][e];
            q[e] = s;
        }
    }
}

void apply(const Layout &L, const Sorted &S, const double *p, std::vector<double> &q, Accumulators &A) {
    if (A.ranges.empty())
        for (int64_t f = 0; f < L.F; ++f)
            if (f != S.seg) A.ranges.emplace_back(L.off[f] * L.K, (L.off[f] + L.fe->G[f] * L.width[f]) * L.K);
    // the usual widths of the sorted effect's levels (an intercept and a slope, or either)
    // known when compiling, with the usual few columns
    const int64_t width = L.width[S.seg];
    if (width == 1 || width == 2) {
        const bool one = width == 1;
        switch (L.K) {
            case 1: return one ? apply_columns<1, 1>(L, S, p, q, A) : apply_columns<1, 2>(L, S, p, q, A);
            case 2: return one ? apply_columns<2, 1>(L, S, p, q, A) : apply_columns<2, 2>(L, S, p, q, A);
            case 3: return one ? apply_columns<3, 1>(L, S, p, q, A) : apply_columns<3, 2>(L, S, p, q, A);
            case 4: return one ? apply_columns<4, 1>(L, S, p, q, A) : apply_columns<4, 2>(L, S, p, q, A);
            default: break;
        }
    }
    switch (L.K) {
        case 1: return apply_columns<1, 0>(L, S, p, q, A);
        case 2: return apply_columns<2, 0>(L, S, p, q, A);
        case 3: return apply_columns<3, 0>(L, S, p, q, A);
        case 4: return apply_columns<4, 0>(L, S, p, q, A);
        default: return apply_columns<0, 0>(L, S, p, q, A);
    }
}

// The blocks of D'WD by level (p x p each, full), effect after effect.
struct Blocks {
    std::vector<int64_t> off;    // first entry of each effect's blocks
    std::vector<double> factor;  // lower Cholesky factor of each block, dropped columns zero
    std::vector<char> kept;      // by coefficient: whether its column is in the factor
};

// A column whose part not spanned by the level's earlier columns is below this fraction of
// its own weighted sum of squares is left out of the factor (and its coefficient stays 0):
// the earlier columns fit it to within rounding.
constexpr double kDropTolerance = 1e-10;

// The sums of the first pass into `gram`: the level blocks (lower triangles, from entry
// block_off[f] for effect f), then D'W x (from `entries`), then the columns' weighted sums of
// squares. Each effect's fields are read once, outside the rows' loop; KC > 0: the column
// count known when compiling.
template <int KC>
void gram_sums(const Layout &L, const double *x, const double *w, const std::vector<int64_t> &block_off,
               int64_t entries, std::vector<double> &gram) {
    const int64_t K = KC > 0 ? KC : L.K, F = L.F, stride = L.row_stride;
    struct Effect {
        const int64_t *ids;
        const double *z;
        int64_t off, width, S, block_off;
        bool intercept;
    };
    std::vector<Effect> effects;
    for (int64_t f = 0; f < F; ++f)
        effects.push_back({L.ids + f * L.col_stride, L.slopes[f], L.off[f], L.width[f], L.S[f], block_off[f],
                           L.intercept[f] != 0});
    block_sums(L, entries + L.total * K + K, gram, [&](int64_t i, double *acc) {
        const double wi = w != nullptr ? w[i] : 1.0;
        const double *xi = x + i * K;
        double *b = acc + entries;
        double *squares = b + L.total * K;
        for (int64_t k = 0; k < K; ++k) squares[k] += wi * xi[k] * xi[k];
        double v[kMaxRowWidth];
        for (int64_t f = 0; f < F; ++f) {
            const Effect &e = effects[f];
            const int64_t p = e.width, g = e.ids[i * stride];
            int64_t m = 0;
            if (e.intercept) v[m++] = 1.0;
            for (int64_t s = 0; s < e.S; ++s) v[m++] = e.z[i * e.S + s];
            double *a = b + (e.off + g * p) * K;
            for (int64_t j = 0; j < p; ++j) {
                const double zw = wi * v[j];
                for (int64_t k = 0; k < K; ++k) a[j * K + k] += zw * xi[k];
            }
            double *blk = acc + e.block_off + g * p * p;
            for (int64_t j = 0; j < p; ++j) {
                const double zw = wi * v[j];
                for (int64_t c = 0; c <= j; ++c) blk[j * p + c] += zw * v[c];
            }
        }
    });
}

// The first pass over the rows: the level blocks, factored, and in the same pass D'W x
// (`rhs`) and the columns' weighted sums of squares (`ss`).
Blocks level_blocks(const Layout &L, const double *x, const double *w, std::vector<int64_t> &dropped,
                    std::vector<double> &rhs, std::vector<double> &ss) {
    Blocks B;
    const int64_t K = L.K;
    int64_t entries = 0;
    for (int64_t f = 0; f < L.F; ++f) {
        B.off.push_back(entries);
        entries += L.fe->G[f] * L.width[f] * L.width[f];
    }
    std::vector<double> gram;
    switch (K) {
        case 1: gram_sums<1>(L, x, w, B.off, entries, gram); break;
        case 2: gram_sums<2>(L, x, w, B.off, entries, gram); break;
        case 3: gram_sums<3>(L, x, w, B.off, entries, gram); break;
        case 4: gram_sums<4>(L, x, w, B.off, entries, gram); break;
        default: gram_sums<0>(L, x, w, B.off, entries, gram); break;
    }
    rhs.assign(gram.begin() + entries, gram.begin() + entries + L.total * K);
    ss.assign(gram.begin() + entries + L.total * K, gram.end());
    B.factor.assign(static_cast<size_t>(entries), 0.0);
    B.kept.assign(static_cast<size_t>(L.total), 0);
    dropped.assign(static_cast<size_t>(L.F), 0);
    for (int64_t f = 0; f < L.F; ++f) {
        const int64_t p = L.width[f], G = L.fe->G[f];
        int64_t lost = 0;
#pragma omp parallel for schedule(static) num_threads(L.threads) if (G * p * p * p >= kThreadedWork) reduction(+ : lost)
        for (int64_t g = 0; g < G; ++g) {
            const double *A = gram.data() + B.off[f] + g * p * p;
            double *R = B.factor.data() + B.off[f] + g * p * p;
            char *keep = B.kept.data() + L.off[f] + g * p;
            for (int64_t j = 0; j < p; ++j) {
                double d = A[j * p + j];
                for (int64_t m = 0; m < j; ++m) d -= R[j * p + m] * R[j * p + m];
                if (!(A[j * p + j] > 0.0) || !(d > kDropTolerance * A[j * p + j])) {
                    ++lost;
                    continue;  // row and column j of the factor stay zero
                }
                keep[j] = 1;
                const double djj = std::sqrt(d);
                R[j * p + j] = djj;
                for (int64_t i = j + 1; i < p; ++i) {
                    double s = A[i * p + j];
                    for (int64_t m = 0; m < j; ++m) s -= R[i * p + m] * R[j * p + m];
                    R[i * p + j] = s / djj;
                }
            }
        }
        dropped[f] = lost;
    }
    return B;
}

// z = (block-diagonal D'WD)^+ r, level block by level block.
void precondition(const Layout &L, const Blocks &B, const double *r, double *z) {
    const int64_t K = L.K;
    for (int64_t f = 0; f < L.F; ++f) {
        const int64_t p = L.width[f], G = L.fe->G[f];
#pragma omp parallel for schedule(static) num_threads(L.threads) if (G * p * p * K >= kThreadedWork)
        for (int64_t g = 0; g < G; ++g) {
            const double *R = B.factor.data() + B.off[f] + g * p * p;
            const char *keep = B.kept.data() + L.off[f] + g * p;
            const double *rg = r + (L.off[f] + g * p) * K;
            double *zg = z + (L.off[f] + g * p) * K;
            for (int64_t k = 0; k < K; ++k) {
                // forward: R y = r, then back: R' z = y, over the kept columns
                for (int64_t j = 0; j < p; ++j) {
                    if (!keep[j]) {
                        zg[j * K + k] = 0.0;
                        continue;
                    }
                    double s = rg[j * K + k];
                    for (int64_t m = 0; m < j; ++m) s -= R[j * p + m] * zg[m * K + k];
                    zg[j * K + k] = s / R[j * p + j];
                }
                for (int64_t j = p - 1; j >= 0; --j) {
                    if (!keep[j]) continue;
                    double s = zg[j * K + k];
                    for (int64_t m = j + 1; m < p; ++m) s -= R[m * p + j] * zg[m * K + k];
                    zg[j * K + k] = s / R[j * p + j];
                }
            }
        }
    }
}

void check_effects(const SlopeEffects &fe, int64_t K) {
    if (K < 1) reject("x must have at least one column, got " + num(K));
    if (fe.effects() < 1) reject("at least one fixed effect is needed, got none");
    for (int64_t f = 0; f < fe.effects(); ++f)
        if (fe.width(f) < 1)
            reject("fixed effect " + num(f) + " has neither an intercept nor a slope: give it one or both");
}

}  // namespace

SlopeOutcome COEF_PCG_slopes(double *x, int64_t N, int64_t K, const double *w, const SlopeEffects &fe,
                             double *alpha, const DemeanOptions &opt, const ProgressFn &progress) {
    check_effects(fe, K);
    SlopeOutcome out;
    if (opt.n_threads > 0) omp_set_num_threads(opt.n_threads);
    const Layout L = layout(fe, N, K, std::max(1, omp_get_max_threads()));
    const int64_t T = L.total * K;
    std::fill(alpha, alpha + T, 0.0);
    if (opt.maxiter <= 0) return out;

    // With several effects the iterations' passes visit the rows sorted by the effect with
    // most levels: its coefficients are read and its sums formed level by level, not
    // scattered (at 1e6 rows and 1e4 levels a pass took about a third of the time of the
    // unsorted one).
    std::unique_ptr<Sorted> sorted;
    if (L.F > 1) sorted = std::make_unique<Sorted>(L, w);
    std::vector<double> r, ss;
    const Blocks B = level_blocks(L, x, w, out.dropped, r, ss);
    std::vector<double> z(static_cast<size_t>(T)), p, q;
    precondition(L, B, r.data(), z.data());

    auto closing_pass = [&]() { subtract_fitted(L, alpha, x); };

    if (L.F == 1) {  // the level blocks are all of D'WD: one solve
        std::copy(z.begin(), z.end(), alpha);
        closing_pass();
        out.solve.iterations = 1;
        out.solve.converged = true;
        out.solve.preconditioner = "closed form";
        out.solve.reason = "one fixed effect: its level blocks are the whole system";
        if (opt.verbose > 0) progress(ProgressEvent::converged, 1, 0.0);
        return out;
    }
    Accumulators accumulators;
    out.solve.preconditioner = "level blocks";
    out.solve.reason = "the intercept and slopes of every level solved exactly";

    std::vector<double> rho(static_cast<size_t>(K), 0.0), rho_first;
    for (int64_t c = 0; c < L.total; ++c)
        for (int64_t k = 0; k < K; ++k) rho[k] += r[c * K + k] * z[c * K + k];
    rho_first = rho;
    p = z;
    std::vector<char> done(static_cast<size_t>(K), 0);
    for (int64_t k = 0; k < K; ++k)
        if (!(rho[k] > 0.0)) done[k] = 1;  // nothing for the fixed effects to fit
    int64_t count = 0;
    while (true) {
        bool all_done = true;
        for (int64_t k = 0; k < K; ++k) all_done = all_done && done[k];
        if (all_done && count > opt.miniter) break;
        if (count == opt.maxiter) {
            out.solve.iterations = count;
            return out;  // not converged; x untouched
        }
        progress(ProgressEvent::poll, count, 0.0);
        apply(L, *sorted, p.data(), q, accumulators);
        std::vector<double> pq(static_cast<size_t>(K), 0.0), step(static_cast<size_t>(K), 0.0);
        for (int64_t c = 0; c < L.total; ++c)
            for (int64_t k = 0; k < K; ++k) pq[k] += p[c * K + k] * q[c * K + k];
        double m = 0.0;
        for (int64_t k = 0; k < K; ++k) {
            if (done[k] || !(pq[k] > 0.0)) {
                done[k] = 1;
                continue;
            }
            step[k] = rho[k] / pq[k];
            // a step of length a along p lowers the weighted residual sum of squares by a rho
            const double decrease = step[k] * rho[k] / std::max(ss[k], machine_epsilon);
            if (decrease > m) m = decrease;
        }
#pragma omp parallel for schedule(static) num_threads(L.threads) if (T >= kThreadedWork)
        for (int64_t c = 0; c < L.total; ++c)
            for (int64_t k = 0; k < K; ++k) {
                alpha[c * K + k] += step[k] * p[c * K + k];
                r[c * K + k] -= step[k] * q[c * K + k];
            }
        ++count;
        const double update_error = std::sqrt(m);
        if (opt.verbose > 1 && count % 10 == 0) progress(ProgressEvent::line, count, update_error);
        if (update_error < opt.tol && count > opt.miniter) break;
        precondition(L, B, r.data(), z.data());
        std::vector<double> rho_new(static_cast<size_t>(K), 0.0);
        for (int64_t c = 0; c < L.total; ++c)
            for (int64_t k = 0; k < K; ++k) rho_new[k] += r[c * K + k] * z[c * K + k];
        for (int64_t k = 0; k < K; ++k) {
            // the residual is at rounding level: the column has what double precision gives
            if (!(rho_new[k] > 100.0 * machine_epsilon * machine_epsilon * rho_first[k])) done[k] = 1;
        }
#pragma omp parallel for schedule(static) num_threads(L.threads) if (T >= kThreadedWork)
        for (int64_t c = 0; c < L.total; ++c)
            for (int64_t k = 0; k < K; ++k) {
                const double beta = rho[k] > 0.0 ? rho_new[k] / rho[k] : 0.0;
                p[c * K + k] = z[c * K + k] + beta * p[c * K + k];
            }
        rho.swap(rho_new);
    }
    closing_pass();
    if (opt.verbose > 0) progress(ProgressEvent::converged, count, 0.0);
    out.solve.iterations = count;
    out.solve.converged = true;
    return out;
}

}  // namespace quarnet
