// The pair blocks of the coefficient-space solver: see pairblock.hpp.
#include "pairblock.hpp"

#include <omp.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <tuple>
#include <type_traits>

namespace quarnet::coef {

namespace {

// Cells of each a level, in a order, written straight into their final place: a first pass
// counts each level's cells, a second fills them. The a levels are the segments when a is the
// segment effect; otherwise `groups` lists the positions of each a level (in position
// order), and threads split the levels at equal shares of the positions either way. slot[b]
// remembers where b's cell of the current a level is; a slot below the level's first cell
// belongs to an earlier level, so it needs no clearing. Each level's cells are formed by one
// thread in position order, so they do not depend on the thread count.
struct Groups {
    work_vector<int64_t> ptr;   // positions of level l: pos[ptr[l]] ... pos[ptr[l+1] - 1]
    work_vector<uint32_t> pos;  // positions without a level of the effect are left out
};

// count: cell_ptr from the cells' number per a level; otherwise the cells into the places
// cell_ptr gives them.
// count_above: counting stops, and false is returned, as soon as one thread has counted more
// cells than this (so the pair has more).
bool scan_cells(const Problem &P, PairBlock &pb, const Groups *groups, bool count,
                int64_t count_above = std::numeric_limits<int64_t>::max()) {
    bool over = false;
    const int64_t Ga = P.G[pb.sa], Gb = P.G[pb.sb];
    const bool segments = groups == nullptr;
    const int64_t *start = segments ? P.seg_off.data() : groups->ptr.data();
    const bool fill = !count;
    if (count) {
        pb.cell_ptr.assign(static_cast<size_t>(Ga + 1), 0);
    } else {
        pb.cell_b.resize(static_cast<size_t>(pb.cell_ptr[Ga]));
        pb.cell_w.resize(static_cast<size_t>(pb.cell_ptr[Ga]));
    }
#pragma omp parallel num_threads(P.threads)
    {
        std::vector<int64_t> slot(static_cast<size_t>(Gb), -1);
        const int t = omp_get_thread_num(), nt = omp_get_num_threads();
        int64_t lo, hi;
        if (segments) {
            std::tie(lo, hi) = my_segments(P, t, nt);
        } else {
            auto cut = [&](int u) -> int64_t {
                if (u <= 0) return 0;
                if (u >= nt) return Ga;
                return std::lower_bound(start, start + Ga, start[Ga] * u / nt) - start;
            };
            lo = cut(t);
            hi = cut(t + 1);
        }
        hi = std::max(lo, std::min(hi, Ga));  // the "no level" segment has no cells
        const uint32_t *pos = segments ? nullptr : groups->pos.data();
        bool mine_over = false;
        // The loop compiled for each case (filling or counting, through sorted positions or
        // not, 16 or 32-bit levels, weights or none): the same cells, at half the time.
        auto run = [&](auto fill_c, auto grouped_c, auto ids, auto weighted_c) {
            constexpr bool Fill = decltype(fill_c)::value, Grouped = decltype(grouped_c)::value;
            constexpr bool Weighted = decltype(weighted_c)::value;
            int64_t used = Fill ? pb.cell_ptr[lo] : 0;
            for (int64_t s = lo; s < hi; ++s) {
                const int64_t first = used;
                for (int64_t i = start[s]; i < start[s + 1]; ++i) {
                    const int64_t k = Grouped ? static_cast<int64_t>(pos[i]) : i;
                    const int64_t lb = ids[k];
                    const double wk = Weighted ? P.w[k] : 1.0;
                    if (lb == Gb || !(wk > 0)) continue;
                    int64_t at = slot[lb];
                    if (at < first) {
                        at = slot[lb] = used++;
                        if (Fill) {
                            pb.cell_b[at] = static_cast<uint32_t>(lb);
                            pb.cell_w[at] = 0.0;
                        }
                    }
                    if (Fill) pb.cell_w[at] += wk;
                }
                if (!Fill) pb.cell_ptr[s + 1] = used - first;
                if (used > count_above) {
                    mine_over = true;
                    break;
                }
            }
        };
        using yes = std::true_type;
        using no = std::false_type;
        auto with_weights = [&](auto fill_c, auto grouped_c, auto ids) {
            if (P.w)
                run(fill_c, grouped_c, ids, yes{});
            else
                run(fill_c, grouped_c, ids, no{});
        };
        auto with_ids = [&](auto fill_c, auto grouped_c) {
            if (P.narrow)
                with_weights(fill_c, grouped_c, P.id16[pb.sb]);
            else
                with_weights(fill_c, grouped_c, P.id32[pb.sb]);
        };
        auto with_positions = [&](auto fill_c) {
            if (segments)
                with_ids(fill_c, no{});
            else
                with_ids(fill_c, yes{});
        };
        if (fill)
            with_positions(yes{});
        else
            with_positions(no{});
        if (mine_over) {
#pragma omp atomic write
            over = true;
        }
    }
    if (over) return false;
    if (count)
        for (int64_t a = 0; a < Ga; ++a) pb.cell_ptr[a + 1] += pb.cell_ptr[a];
    return true;
}

// The positions of each level of slot s >= 1 (a stable counting sort, in chunks of positions
// whose places follow one another within a level, so the order is position order for any
// number of threads). Positions number fewer than 2^32 (the caller checks).
Groups group_positions(const Problem &P, int64_t s) {
    const int64_t N = P.N, G = P.G[s];
    const int64_t chunks = P.threads;
    Groups g;
    work_vector<int64_t> next(static_cast<size_t>(chunks * (G + 1)), 0);
#pragma omp parallel for schedule(static) num_threads(P.threads)
    for (int64_t c = 0; c < chunks; ++c) {
        int64_t *mine = next.data() + c * (G + 1);
        for (int64_t k = N * c / chunks, end = N * (c + 1) / chunks; k < end; ++k) ++mine[P.id(s, k)];
    }
    g.ptr.assign(static_cast<size_t>(G + 1), 0);
    int64_t place = 0;
    for (int64_t l = 0; l <= G; ++l) {  // the "no level" positions last, then dropped
        if (l < G) g.ptr[l] = place;
        for (int64_t c = 0; c < chunks; ++c) {
            const int64_t n = next[c * (G + 1) + l];
            next[c * (G + 1) + l] = place;
            place += n;
        }
    }
    g.ptr[G] = next[G];  // chunk 0's first "no level" place: where the levels' positions end
    g.pos.resize(static_cast<size_t>(N));
#pragma omp parallel for schedule(static) num_threads(P.threads)
    for (int64_t c = 0; c < chunks; ++c) {
        int64_t *mine = next.data() + c * (G + 1);
        for (int64_t k = N * c / chunks, end = N * (c + 1) / chunks; k < end; ++k)
            g.pos[mine[P.id(s, k)]++] = static_cast<uint32_t>(k);
    }
    g.pos.resize(static_cast<size_t>(g.ptr[G]));
    return g;
}

// S = Db - C' Da^-1 C on b's levels, rows in parallel: row b1 gathers, over the a levels of
// its cells, those levels' cells scaled by c(a, b1) / d_a.
SparseSym schur_complement(const Problem &P, const PairBlock &pb, const work_vector<double> &counts) {
    const int64_t Ga = P.G[pb.sa], Gb = P.G[pb.sb];
    const double *da = counts.data() + P.off[pb.sa], *db = counts.data() + P.off[pb.sb];
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

}  // namespace

void apply_pair(const Problem &P, const PairBlock &pb, const work_vector<double> &counts, const double *ra,
                const double *rb, double *za, double *zb, std::vector<work_vector<double>> &parts) {
    const int64_t K = P.K, Ga = P.G[pb.sa], Gb = P.G[pb.sb];
    const Rounds rounds(P, Gb * K);
    const int64_t blocks = rounds.blocks;
    if (static_cast<int64_t>(parts.size()) < rounds.buffers) parts.resize(static_cast<size_t>(rounds.buffers));
    const double *da = counts.data() + P.off[pb.sa];
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

namespace {

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

}  // namespace

int64_t largest_other(const Problem &P) {
    int64_t sb = 1;
    for (int64_t s = 2; s < P.slots; ++s)
        if (P.G[s] > P.G[sb]) sb = s;
    return sb;
}

namespace {

// The cells of the block's pair, counted (count) or filled into the places counting gave them:
// formed; over (counting stopped above count_above cells); or failed, with the reason in *why.
enum class Cells { formed, over, failed };

// `groups`, if given, keeps the positions of each slot's levels once sorted, by slot.
Cells pair_cells(const Problem &P, PairBlock &pb, bool count, std::string *why,
                 int64_t count_above = std::numeric_limits<int64_t>::max(),
                 std::vector<std::unique_ptr<Groups>> *groups = nullptr) {
    if (P.from_cells()) {  // the pair's cells by a's levels, as scan_cells leaves them
        for (const Problem::Pair &pr : P.pairs) {
            const bool forward = pr.s1 == pb.sa && pr.s2 == pb.sb;
            if (!forward && !(pr.s2 == pb.sa && pr.s1 == pb.sb)) continue;
            if (count) {
                pb.cell_ptr = forward ? pr.ptr1 : pr.ptr2;
            } else {
                pb.cell_b = forward ? pr.to2 : pr.to1;
                pb.cell_w = forward ? pr.w1 : pr.w2;
            }
        }
        return count && pb.cell_ptr[P.G[pb.sa]] > count_above ? Cells::over : Cells::formed;
    }
    if (pb.sa == 0) return scan_cells(P, pb, nullptr, count, count_above) ? Cells::formed : Cells::over;
    if (P.N >= static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) {
        *why = "the cells of " + fe_name(P, pb.sa) + " x " + fe_name(P, pb.sb) +
               " are formed for fewer than 2^32 - 1 rows only";
        return Cells::failed;
    }
    std::unique_ptr<Groups> own;
    std::unique_ptr<Groups> &slot = groups ? (*groups)[pb.sa] : own;
    if (!slot) slot = std::make_unique<Groups>(group_positions(P, pb.sa));
    return scan_cells(P, pb, slot.get(), count, count_above) ? Cells::formed : Cells::over;
}

// The exact factor of a pair block may hold about as many numbers as its cells (so its memory
// stays within the cells'), and take up to 50 multiply-adds per cell; small problems always fit.
FactorBudget pair_budget(const Problem &P, const PairBlock &pb) {
    const int64_t n_cells = pb.cell_ptr[P.G[pb.sa]];
    return {std::max<int64_t>(n_cells + 4 * P.G[pb.sb], 200000), std::max(50.0 * static_cast<double>(n_cells), 2e7)};
}

// Whether the Schur complement is within its work budget (forming it costs the sum over a
// levels of their cell count squared, which also bounds its entries; within 64 per row of the
// data it costs less than a few passes).
bool schur_within_work(const Problem &P, const PairBlock &pb, std::string *why) {
    double work = 0.0;
    for (int64_t a = 0; a < P.G[pb.sa]; ++a) {
        const double d = static_cast<double>(pb.cell_ptr[a + 1] - pb.cell_ptr[a]);
        work += d * d;
    }
    const double work_budget = std::max(64.0 * static_cast<double>(P.N), 1e7);
    if (work <= work_budget) return true;
    *why = "the Schur complement of " + fe_name(P, pb.sa) + " on " + fe_name(P, pb.sb) + " would take " +
           std::to_string(static_cast<int64_t>(work)) + " multiply-adds, over the budget of " +
           std::to_string(static_cast<int64_t>(work_budget));
    return false;
}

}  // namespace

bool exact_pair_may_fit(const Problem &P, PairBlock &pb) {
    if (pb.may_fit < 0) {
        pb.may_fit_why.clear();
        pb.may_fit = schur_within_work(P, pb, &pb.may_fit_why) &&
                     exact_may_fit(pb, P.G[pb.sb], pair_budget(P, pb), &pb.may_fit_why);
    }
    return pb.may_fit > 0;
}

bool factor_pair(const Problem &P, const work_vector<double> &counts, PairBlock &pb, bool want_exact,
                 bool approximate_over_work, std::string *why) {
    const int64_t sa = pb.sa, sb = pb.sb, Ga = P.G[sa], Gb = P.G[sb];
    const int64_t n_cells = pb.cell_ptr[Ga];
    const std::string names = fe_name(P, sa) + " x " + fe_name(P, sb);
    std::string exact_why;
    if (!schur_within_work(P, pb, &exact_why)) {
        if (!approximate_over_work) {
            *why = exact_why;
            return false;
        }
        want_exact = false;
    }
    const FactorBudget budget = pair_budget(P, pb);
    if (want_exact) {
        if (exact_pair_may_fit(P, pb)) {
            const SparseSym S = schur_complement(P, pb, counts);
            pb.solver = envelope_cholesky(S, budget, &exact_why);
            if (pb.solver) {
                pb.kind = "exact pair";
                *why = names + ": " + std::to_string(n_cells) + " cells, exact factor on " + std::to_string(Gb) +
                       " levels";
                return true;
            }
        } else {
            exact_why = pb.may_fit_why;
        }
    }
    // What the cells do not account for (rows without a level of the other effect) stays on
    // the diagonal; differences at rounding level are no excess.
    const double *da = counts.data() + P.off[sa], *db = counts.data() + P.off[sb];
    work_vector<double> ea(da, da + Ga), eb(db, db + Gb);
    for (int64_t a = 0; a < Ga; ++a)
        for (int64_t e = pb.cell_ptr[a]; e < pb.cell_ptr[a + 1]; ++e) {
            ea[a] -= pb.cell_w[e];
            eb[pb.cell_b[e]] -= pb.cell_w[e];
        }
    for (int64_t a = 0; a < Ga; ++a) ea[a] = ea[a] > 1e-10 * da[a] ? ea[a] : 0.0;
    for (int64_t b = 0; b < Gb; ++b) eb[b] = eb[b] > 1e-10 * db[b] ? eb[b] : 0.0;
    pb.solver = approximate_cholesky_bipartite(Ga, Gb, pb.cell_ptr.data(), pb.cell_b.data(), pb.cell_w.data(),
                                                ea.data(), eb.data(), 0x9e3779b97f4a7c15ULL);
    pb.bipartite = true;
    pb.kind = "approximate pair";
    *why = names + ": " + std::to_string(n_cells) + " cells, approximate factor on " + std::to_string(Ga + Gb) +
           " levels" + (exact_why.empty() ? std::string() : " (" + exact_why + ")");
    return true;
}

std::unique_ptr<PairBlock> pair_block_cells(const Problem &P, int64_t sa, int64_t sb, std::string *why) {
    auto pb = std::make_unique<PairBlock>();
    pb->sa = sa;
    pb->sb = sb;
    if (pair_cells(P, *pb, true, why) != Cells::formed || pair_cells(P, *pb, false, why) != Cells::formed)
        return nullptr;
    return pb;
}

std::unique_ptr<PairBlock> build_pair(const Problem &P, const work_vector<double> &counts, int64_t sa, int64_t sb,
                                      bool want_exact, bool approximate_over_work, std::string *why) {
    auto pb = pair_block_cells(P, sa, sb, why);
    if (!pb || !factor_pair(P, counts, *pb, want_exact, approximate_over_work, why)) return nullptr;
    return pb;
}

namespace {

FactorBudget full_budget(const Problem &P) {
    // The factor may hold as many numbers as there are rows (an eighth of the memory of the
    // input matrix's columns per column) and take 16 multiply-adds per row; a chain of
    // levels (each meeting only its neighbours in every effect) takes about 4 (three
    // effects) to 7 (four) entries per level and a few times as many multiply-adds.
    return {std::max<int64_t>(P.N, 200000), std::max(16.0 * static_cast<double>(P.N), 2e7)};
}

}  // namespace

std::unique_ptr<PairSet> pair_set_cells(const Problem &P, PairBlock *reuse, bool for_full, std::string *why) {
    // Every pair once, a the effect with more levels (the earlier slot on a tie), its cells
    // counted; the block already built keeps its cells. For the whole factor every pair is
    // needed, and the factor holds at least the cells and the diagonal: counting stops as
    // soon as they exceed its budget (the pairs with the segment effect, which need no
    // sorting of the positions, are counted first).
    struct Candidate {
        std::unique_ptr<PairBlock> pb;
        int64_t cells = 0;
    };
    std::vector<Candidate> candidates;
    auto set = std::make_unique<PairSet>();
    set->covered.assign(static_cast<size_t>(P.slots), 0);
    set->complete = true;
    const int64_t full_cells = full_budget(P).max_entries - P.total();
    int64_t counted = 0;
    // The positions sorted by an effect's levels serve its pairs' counting and filling alike;
    // they are kept while they take no more than half the memory of the input matrix (4 bytes
    // a row per effect other than the segment effect and the smallest).
    std::vector<std::unique_ptr<Groups>> groups(static_cast<size_t>(P.slots));
    const bool keep_groups = P.slots - 2 <= P.K;
    auto over_full = [&](int64_t cells) {
        return "the whole factor would hold more than " + std::to_string(cells + P.total()) +
               " entries (the cells and the diagonal), over the budget of " + std::to_string(full_budget(P).max_entries);
    };
    for (int64_t s = 0; s < P.slots; ++s)
        for (int64_t t = s + 1; t < P.slots; ++t) {
            Candidate c;
            if (reuse && std::min(reuse->sa, reuse->sb) == s && std::max(reuse->sa, reuse->sb) == t) {
                c.cells = reuse->cell_ptr[P.G[reuse->sa]];
            } else {
                // The segment effect's levels are its segments, and no level of it is stored
                // by position: a pair with it is always taken by its levels (as the pair
                // block is).
                const bool s_first = s == 0 || P.G[s] >= P.G[t];
                c.pb = std::make_unique<PairBlock>();
                c.pb->sa = s_first ? s : t;
                c.pb->sb = s_first ? t : s;
                std::string not_formed;
                const int64_t above = for_full ? full_cells - counted : std::numeric_limits<int64_t>::max();
                const Cells got = pair_cells(P, *c.pb, true, &not_formed, above, keep_groups ? &groups : nullptr);
                if (got != Cells::formed) {
                    if (for_full) {
                        *why = got == Cells::over ? over_full(counted + above + 1) : not_formed;
                        return nullptr;
                    }
                    set->left_out += "; " + not_formed;
                    set->complete = false;
                    continue;
                }
                c.cells = c.pb->cell_ptr[P.G[c.pb->sa]];
            }
            counted += c.cells;
            if (for_full && counted > full_cells) {
                *why = over_full(counted);
                return nullptr;
            }
            candidates.push_back(std::move(c));
        }
    // Fewest cells first, while all the blocks' cells stay within twice the rows: a pair with
    // few cells per level is a thin graph, where the slow modes live, and its block is cheap
    // to hold and apply; a pair with about a cell per row mixes its levels well (or is held
    // by the other pairs) and would double the memory of the solve.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate &x, const Candidate &y) { return x.cells < y.cells; });
    const int64_t budget = std::max<int64_t>(2 * P.N, int64_t{1} << 20);
    for (Candidate &c : candidates) {
        PairBlock *pb = c.pb ? c.pb.get() : reuse;
        if (set->cells + c.cells > budget) {
            set->left_out += "; " + fe_name(P, pb->sa) + " x " + fe_name(P, pb->sb) + " left out (" +
                             std::to_string(c.cells) + " cells, over the budget of " + std::to_string(budget) +
                             " cells in all)";
            set->complete = false;
            continue;
        }
        std::string unused;
        if (c.pb) {
            pair_cells(P, *pb, false, &unused, std::numeric_limits<int64_t>::max(), keep_groups ? &groups : nullptr);
            set->owned.push_back(std::move(c.pb));
        }
        set->cells += c.cells;
        set->blocks.push_back(pb);
    }
    if (set->blocks.empty()) {
        *why = "no pair's cells" + set->left_out;
        return nullptr;
    }
    return set;
}

namespace {

// The singular components of a block's a-b graph (see PairBlock): union-find over its cells;
// a component is singular when no level in it has weight beyond its cells (rows without a
// level of the other effect), judged as the approximate factor judges an excess.
void null_components(const Problem &P, const work_vector<double> &counts, PairBlock &pb) {
    const int64_t Ga = P.G[pb.sa], Gb = P.G[pb.sb], n = Ga + Gb;
    const double *da = counts.data() + P.off[pb.sa], *db = counts.data() + P.off[pb.sb];
    std::vector<int64_t> parent(static_cast<size_t>(n));
    std::iota(parent.begin(), parent.end(), 0);
    auto root = [&](int64_t v) {
        while (parent[v] != v) v = parent[v] = parent[parent[v]];
        return v;
    };
    std::vector<double> excess(static_cast<size_t>(n));
    for (int64_t a = 0; a < Ga; ++a) excess[a] = da[a];
    for (int64_t b = 0; b < Gb; ++b) excess[Ga + b] = db[b];
    for (int64_t a = 0; a < Ga; ++a)
        for (int64_t e = pb.cell_ptr[a]; e < pb.cell_ptr[a + 1]; ++e) {
            const int64_t b = Ga + pb.cell_b[e];
            excess[a] -= pb.cell_w[e];
            excess[b] -= pb.cell_w[e];
            const int64_t ra = root(a), rb = root(b);
            if (ra != rb) parent[std::max(ra, rb)] = std::min(ra, rb);
        }
    std::vector<char> regular(static_cast<size_t>(n), 0);  // by root: has an excess, or no weight
    for (int64_t v = 0; v < n; ++v) {
        const double d = v < Ga ? da[v] : db[v - Ga];
        if (!(d > 0) || excess[v] > 1e-10 * d) regular[root(v)] = 1;
    }
    std::vector<int32_t> index(static_cast<size_t>(n), -1);
    pb.null_comp.assign(static_cast<size_t>(n), -1);
    pb.null_mass.clear();
    for (int64_t v = 0; v < n; ++v) {
        const int64_t rv = root(v);
        if (regular[rv]) continue;
        if (index[rv] < 0) {
            index[rv] = static_cast<int32_t>(pb.null_mass.size());
            pb.null_mass.push_back(0.0);
        }
        pb.null_comp[v] = index[rv];
        pb.null_mass[index[rv]] += v < Ga ? da[v] : db[v - Ga];
    }
}

}  // namespace

bool factor_pair_set(const Problem &P, const work_vector<double> &counts, PairSet &set,
                     std::shared_ptr<PairBlock> &reuse, const std::function<void()> &poll, std::string *why) {
    if (reuse && std::find(set.blocks.begin(), set.blocks.end(), reuse.get()) != set.blocks.end())
        set.owned.push_back(std::move(reuse));
    std::vector<PairBlock *> kept;
    std::string built, left_out = set.left_out;
    for (PairBlock *pb : set.blocks) {
        // b nested in a (every a level has at most one cell, so b's levels are unions of a's):
        // the block's Schur complement is 0, its inverse the diagonal on a and nothing on b,
        // and in the sum it only adds directions the effects do not separate. With c nested
        // in a and d a copy of b, such blocks left a column the effects absorb at 2e-9 of its
        // size: the steps on it were lost in the rounding of those directions. (Its cells
        // still belong to the whole matrix.)
        bool nested = true;
        for (int64_t a = 0; a < P.G[pb->sa] && nested; ++a) nested = pb->cell_ptr[a + 1] - pb->cell_ptr[a] <= 1;
        if (nested) {
            left_out += "; " + fe_name(P, pb->sb) + " nested in " + fe_name(P, pb->sa) + ": no block";
            null_components(P, counts, *pb);
            // Only the null directions are read from here on; the cells go unless a session
            // keeps this block as its single pair block for later solves.
            const bool shared = std::any_of(set.owned.begin(), set.owned.end(), [&](const auto &own) {
                return own.get() == pb && own.use_count() > 1;
            });
            if (!shared) {
                work_vector<int64_t>().swap(pb->cell_ptr);
                work_vector<uint32_t>().swap(pb->cell_b);
                work_vector<double>().swap(pb->cell_w);
            }
            set.nested.push_back(pb);
            continue;
        }
        std::string one;
        if (pb->solver) {
            one = fe_name(P, pb->sa) + " x " + fe_name(P, pb->sb) + ": " + std::to_string(pb->cell_ptr[P.G[pb->sa]]) +
                  " cells, " + (pb->bipartite ? "approximate" : "exact") + " factor kept";
        } else if (!factor_pair(P, counts, *pb, true, true, &one)) {
            left_out += "; " + one;
            continue;
        }
        null_components(P, counts, *pb);
        poll();
        set.covered[pb->sa] = set.covered[pb->sb] = 1;
        built += (built.empty() ? "" : "; ") + one;
        kept.push_back(pb);
    }
    set.blocks = std::move(kept);
    if (set.blocks.empty()) {
        *why = "no pair block" + left_out;
        return false;
    }
    *why = std::to_string(set.blocks.size()) + " pair blocks: " + built + left_out;
    return true;
}

std::unique_ptr<SchurSolver> full_factor(const Problem &P, const work_vector<double> &counts, const PairSet &set,
                                         std::string *why) {
    if (!set.complete) {
        *why = "not every pair's cells are formed" + set.left_out;
        return nullptr;
    }
    // D'WD on every coefficient row (the "no level" rows have neither count nor cells: their
    // pivots are dropped): the counts on the diagonal, each cell in both directions.
    const int64_t L = P.total();
    SparseSym S;
    S.n = L;
    S.diag.assign(counts.begin(), counts.end());
    S.scale.assign(counts.begin(), counts.end());
    S.ptr.assign(static_cast<size_t>(L + 1), 0);
    for (const PairBlock *pb : set.blocks) {
        const int64_t oa = P.off[pb->sa], ob = P.off[pb->sb];
        for (int64_t a = 0; a < P.G[pb->sa]; ++a) {
            S.ptr[oa + a + 1] += pb->cell_ptr[a + 1] - pb->cell_ptr[a];
            for (int64_t e = pb->cell_ptr[a]; e < pb->cell_ptr[a + 1]; ++e) ++S.ptr[ob + pb->cell_b[e] + 1];
        }
    }
    for (int64_t l = 0; l < L; ++l) S.ptr[l + 1] += S.ptr[l];
    const int64_t entries = S.ptr[L];
    if (entries >= static_cast<int64_t>(std::numeric_limits<int32_t>::max()) ||
        L >= static_cast<int64_t>(std::numeric_limits<int32_t>::max())) {
        *why = "the normal equations have too many levels or cells for the exact factor";
        return nullptr;
    }
    S.idx.resize(static_cast<size_t>(entries));
    S.val.resize(static_cast<size_t>(entries));
    {
        work_vector<int64_t> fill(S.ptr.begin(), S.ptr.end() - 1);
        for (const PairBlock *pb : set.blocks) {
            const int64_t oa = P.off[pb->sa], ob = P.off[pb->sb];
            for (int64_t a = 0; a < P.G[pb->sa]; ++a)
                for (int64_t e = pb->cell_ptr[a]; e < pb->cell_ptr[a + 1]; ++e) {
                    const int64_t u = oa + a, v = ob + pb->cell_b[e];
                    S.idx[fill[u]] = static_cast<int32_t>(v);
                    S.val[fill[u]++] = pb->cell_w[e];
                    S.idx[fill[v]] = static_cast<int32_t>(u);
                    S.val[fill[v]++] = pb->cell_w[e];
                }
        }
    }
    const FactorBudget budget = full_budget(P);
    std::string exact_why;
    auto solver = envelope_cholesky(S, budget, &exact_why, true);
    if (!solver) {
        *why = exact_why;
        return nullptr;
    }
    *why = "exact factor of the normal equations on " + std::to_string(L - P.slots) + " levels, " +
           std::to_string(set.cells) + " cells";
    return solver;
}

namespace {

// za, zb (a's and b's levels, K columns) less their parts along the block's null directions.
void remove_null_parts(const Problem &P, const work_vector<double> &counts, const PairBlock &pb, double *za,
                       double *zb, work_vector<double> &along) {
    if (pb.null_mass.empty()) return;
    const int64_t K = P.K, Ga = P.G[pb.sa], Gb = P.G[pb.sb];
    const double *da = counts.data() + P.off[pb.sa], *db = counts.data() + P.off[pb.sb];
    along.assign(pb.null_mass.size() * static_cast<size_t>(K), 0.0);
    double *t = along.data();
    for (int64_t v = 0; v < Ga + Gb; ++v) {
        const int32_t c = pb.null_comp[v];
        if (c < 0) continue;
        const double *zv = v < Ga ? za + v * K : zb + (v - Ga) * K;
        const double d = v < Ga ? da[v] : -db[v - Ga];
        for (int64_t j = 0; j < K; ++j) t[c * K + j] += d * zv[j];
    }
    for (size_t c = 0; c < pb.null_mass.size(); ++c)
        for (int64_t j = 0; j < K; ++j) t[c * K + j] /= pb.null_mass[c];
    for (int64_t v = 0; v < Ga + Gb; ++v) {
        const int32_t c = pb.null_comp[v];
        if (c < 0) continue;
        double *zv = v < Ga ? za + v * K : zb + (v - Ga) * K;
        const double sign = v < Ga ? 1.0 : -1.0;
        for (int64_t j = 0; j < K; ++j) zv[j] -= sign * t[c * K + j];
    }
}

}  // namespace

void apply_pair_set(const Problem &P, PairSet &set, const work_vector<double> &counts, const double *r, double *z,
                    std::vector<work_vector<double>> &parts) {
    const int64_t K = P.K;
    for (int64_t s = 0; s < P.slots; ++s)
        if (set.covered[s]) std::fill(z + P.off[s] * K, z + (P.off[s] + P.G[s]) * K, 0.0);
    // Each block's solution, added in the blocks' order, entry by entry: the same sums for any
    // number of threads.
    for (const PairBlock *pb : set.blocks) {
        const int64_t Ga = P.G[pb->sa], Gb = P.G[pb->sb];
        set.part.resize(static_cast<size_t>((Ga + Gb) * K));
        double *za = set.part.data(), *zb = za + Ga * K;
        apply_pair(P, *pb, counts, r + P.off[pb->sa] * K, r + P.off[pb->sb] * K, za, zb, parts);
        remove_null_parts(P, counts, *pb, za, zb, set.along);
        double *to_a = z + P.off[pb->sa] * K, *to_b = z + P.off[pb->sb] * K;
#pragma omp parallel for schedule(static) num_threads(P.threads)
        for (int64_t l = 0; l < (Ga + Gb) * K; ++l) {
            if (l < Ga * K)
                to_a[l] += za[l];
            else
                to_b[l - Ga * K] += za[l];
        }
    }
    // A pair with one effect nested in the other has no block, but its null directions (a
    // level of b against its levels of a) are null directions of D'WD too, and the other
    // blocks' solutions have parts along them; they are taken out of the sum.
    for (const PairBlock *pb : set.nested)
        remove_null_parts(P, counts, *pb, z + P.off[pb->sa] * K, z + P.off[pb->sb] * K, set.along);
}

}  // namespace quarnet::coef
