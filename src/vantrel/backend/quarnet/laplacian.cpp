#include "laplacian.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <numeric>
#include <random>

namespace quarnet {

namespace {

// Semidefinite factors: a pivot within this share of its row's scale (either sign) is a
// direction the matrix does not separate, and is dropped. On the normal equations of three and
// four fixed effects in a chain (the banded design at 1e4 and 1e5 rows, weights spread over
// six decades too) the pivots of the null directions came out between 3e-16 and 1.4e-13 of
// their level's count, the smallest kept one at 4e-5.
constexpr double semidefinite_drop = 1e-9;

// A component is singular when its rows sum to zero: no diagonal excess beyond rounding.
// The sums of a Schur complement cancel to about 1e-16 of the diagonal; 1e-10 leaves room
// for long components while any real excess (a row with no level of the first effect
// contributes its whole weight) is far above it.
constexpr double singular_excess = 1e-10;

bool component_is_singular(const SparseSym &S, const std::vector<int32_t> &members) {
    double excess = 0.0, scale = 0.0;
    for (int32_t v : members) {
        double row = S.diag[v];
        for (int64_t e = S.ptr[v]; e < S.ptr[v + 1]; ++e) row += S.val[e];
        excess += row;
        scale += S.scale[v];
    }
    return !(excess > singular_excess * scale);
}

// Reverse Cuthill-McKee order of every connected component, components one after another.
// Each BFS starts from a pseudo-peripheral vertex (the far end of a BFS from a vertex of
// least degree, repeated while that lengthens the BFS), which keeps the levels, and hence
// the envelope, narrow. comp_start marks where each component begins in the order.
void rcm_order(const SparseSym &S, std::vector<int32_t> &order, std::vector<int64_t> &comp_start) {
    const int64_t n = S.n;
    auto degree = [&](int32_t v) { return S.ptr[v + 1] - S.ptr[v]; };
    std::vector<int32_t> by_degree(static_cast<size_t>(n));
    std::iota(by_degree.begin(), by_degree.end(), 0);
    std::stable_sort(by_degree.begin(), by_degree.end(), [&](int32_t a, int32_t b) { return degree(a) < degree(b); });

    std::vector<int32_t> level(static_cast<size_t>(n), -1);  // BFS scratch
    std::vector<char> placed(static_cast<size_t>(n), 0);
    std::vector<int32_t> queue;
    std::vector<int32_t> nbrs;
    order.clear();
    comp_start.clear();

    // BFS over the unplaced vertices from root; returns the vertices in visit order and
    // leaves their levels in `level` (reset by the caller).
    auto bfs = [&](int32_t root, bool sort_by_degree) {
        queue.clear();
        queue.push_back(root);
        level[root] = 0;
        for (size_t head = 0; head < queue.size(); ++head) {
            const int32_t v = queue[head];
            nbrs.clear();
            for (int64_t e = S.ptr[v]; e < S.ptr[v + 1]; ++e) {
                const int32_t u = S.idx[e];
                if (level[u] < 0 && !placed[u]) {
                    level[u] = level[v] + 1;
                    nbrs.push_back(u);
                }
            }
            if (sort_by_degree)
                std::sort(nbrs.begin(), nbrs.end(), [&](int32_t a, int32_t b) {
                    return degree(a) != degree(b) ? degree(a) < degree(b) : a < b;
                });
            queue.insert(queue.end(), nbrs.begin(), nbrs.end());
        }
    };
    auto reset = [&] {
        for (int32_t v : queue) level[v] = -1;
    };

    for (int32_t start : by_degree) {
        if (placed[start]) continue;
        int32_t root = start;
        int32_t depth = -1;
        for (int round = 0; round < 4; ++round) {
            bfs(root, false);
            const int32_t last_level = level[queue.back()];
            int32_t best = queue.back();
            for (int32_t v : queue)
                if (level[v] == last_level && degree(v) < degree(best)) best = v;
            reset();
            if (last_level <= depth) break;
            depth = last_level;
            root = best;
        }
        bfs(root, true);
        comp_start.push_back(static_cast<int64_t>(order.size()));
        // Reversed within the component: the root comes last.
        for (auto it = queue.rbegin(); it != queue.rend(); ++it) {
            order.push_back(*it);
            placed[*it] = 1;
        }
        reset();
    }
    comp_start.push_back(n);
}

class EnvelopeCholesky final : public SchurSolver {
   public:
    work_vector<int32_t> vertex;   // factor row -> vertex
    work_vector<int64_t> first;    // first stored column of each factor row
    work_vector<int64_t> rowptr;   // offset of each row's entries first..row (diagonal last)
    work_vector<double> L;
    work_vector<int32_t> grounded;  // one vertex per singular component: its value is 0
    int64_t dropped = 0;            // semidefinite: pivots at rounding level, their values 0

    // The columns are independent: on a factor of a million entries or more, each thread
    // solves a share of them (smaller ones are not worth a parallel region), with the same
    // arithmetic for each column whatever the number of threads (so the same bits), in a
    // buffer of its own that is kept from call to call (a fresh one of several MiB cost its
    // first touch on every iteration).
    mutable std::vector<work_vector<double>> buffers;

    void solve(double *x, int64_t K) const override {
        const int64_t m = static_cast<int64_t>(vertex.size());
        const int64_t shares = L.size() >= (size_t{1} << 20) ? omp_get_max_threads() : 1;
        const int64_t groups = std::max<int64_t>(1, std::min<int64_t>(K, shares));
        if (static_cast<int64_t>(buffers.size()) < groups) buffers.resize(static_cast<size_t>(groups));
#pragma omp parallel for schedule(static) num_threads(static_cast<int>(groups)) if (groups > 1)
        for (int64_t g = 0; g < groups; ++g) {
            const int64_t c0 = K * g / groups, Kg = K * (g + 1) / groups - c0;
            work_vector<double> &y = buffers[g];
            y.resize(static_cast<size_t>(m * Kg));
            solve_columns(x + c0, K, y.data(), Kg);
        }
    }

   private:
    // Columns c0 .. c0 + Kg - 1 of x (rows of K entries; x points at column c0), through y.
    void solve_columns(double *x, int64_t K, double *y, int64_t Kg) const {
        const int64_t m = static_cast<int64_t>(vertex.size());
        for (int64_t i = 0; i < m; ++i)
            for (int64_t k = 0; k < Kg; ++k) y[i * Kg + k] = x[static_cast<int64_t>(vertex[i]) * K + k];
        // L y' = y, row by row.
        for (int64_t i = 0; i < m; ++i) {
            const double *row = L.data() + rowptr[i];
            double *yi = y + i * Kg;
            for (int64_t j = first[i]; j < i; ++j) {
                const double l = row[j - first[i]];
                const double *yj = y + j * Kg;
                for (int64_t k = 0; k < Kg; ++k) yi[k] -= l * yj[k];
            }
            const double d = row[i - first[i]];
            for (int64_t k = 0; k < Kg; ++k) yi[k] = d > 0 ? yi[k] / d : 0.0;  // 0: a dropped pivot
        }
        // L' x = y', from the last row up, scattering each solved row into the earlier ones.
        for (int64_t i = m - 1; i >= 0; --i) {
            const double *row = L.data() + rowptr[i];
            double *yi = y + i * Kg;
            const double d = row[i - first[i]];
            for (int64_t k = 0; k < Kg; ++k) yi[k] = d > 0 ? yi[k] / d : 0.0;
            for (int64_t j = first[i]; j < i; ++j) {
                const double l = row[j - first[i]];
                double *yj = y + j * Kg;
                for (int64_t k = 0; k < Kg; ++k) yj[k] -= l * yi[k];
            }
        }
        for (int32_t v : grounded)
            for (int64_t k = 0; k < Kg; ++k) x[static_cast<int64_t>(v) * K + k] = 0.0;
        for (int64_t i = 0; i < m; ++i)
            for (int64_t k = 0; k < Kg; ++k) x[static_cast<int64_t>(vertex[i]) * K + k] = y[i * Kg + k];
    }
};

struct EnvelopeCost {
    int64_t entries = 0;
    double flops = 0.0;
};

// Envelope of the factor rows `vertex` of S (factor order; pos: factor row of each vertex,
// -1 if none), known before any value is computed; fills first and rowptr when given.
template <class Vertices>
EnvelopeCost envelope_cost(const SparseSym &S, const Vertices &vertex, const std::vector<int64_t> &pos,
                           int64_t *first, int64_t *rowptr) {
    EnvelopeCost cost;
    const int64_t m = static_cast<int64_t>(vertex.size());
    for (int64_t i = 0; i < m; ++i) {
        const int32_t v = vertex[i];
        int64_t f = i;
        for (int64_t e = S.ptr[v]; e < S.ptr[v + 1]; ++e) {
            const int64_t p = pos[S.idx[e]];
            if (p >= 0 && p < f) f = p;
        }
        if (first) first[i] = f;
        if (rowptr) rowptr[i] = cost.entries;
        cost.entries += i - f + 1;
        cost.flops += 0.5 * static_cast<double>(i - f) * static_cast<double>(i - f + 1);
    }
    if (rowptr) rowptr[m] = cost.entries;
    return cost;
}

bool over_budget(const EnvelopeCost &cost, const FactorBudget &budget, std::string *why) {
    if (cost.entries <= budget.max_entries && cost.flops <= budget.max_flops) return false;
    if (why)
        *why = "the exact factor would hold " + std::to_string(cost.entries) + " entries and take " +
               std::to_string(static_cast<int64_t>(cost.flops)) + " multiply-adds, over the budget of " +
               std::to_string(budget.max_entries) + " and " + std::to_string(static_cast<int64_t>(budget.max_flops));
    return true;
}

}  // namespace

bool envelope_fits(const SparseSym &pattern, const FactorBudget &budget, std::string *why) {
    std::vector<int32_t> order;
    std::vector<int64_t> comp_start;
    rcm_order(pattern, order, comp_start);
    std::vector<int64_t> pos(static_cast<size_t>(pattern.n));
    for (size_t i = 0; i < order.size(); ++i) pos[order[i]] = static_cast<int64_t>(i);
    return !over_budget(envelope_cost(pattern, order, pos, nullptr, nullptr), budget, why);
}

std::unique_ptr<SchurSolver> envelope_cholesky(const SparseSym &S, const FactorBudget &budget, std::string *why,
                                               bool semidefinite) {
    std::vector<int32_t> order;
    std::vector<int64_t> comp_start;
    rcm_order(S, order, comp_start);

    // Ground the last vertex of every singular component (the BFS root); the others keep
    // their place in the order.
    auto fac = std::make_unique<EnvelopeCholesky>();
    std::vector<int64_t> pos(static_cast<size_t>(S.n), -1);
    std::vector<int32_t> members;
    for (size_t c = 0; c + 1 < comp_start.size(); ++c) {
        members.assign(order.begin() + comp_start[c], order.begin() + comp_start[c + 1]);
        const bool ground = !semidefinite && component_is_singular(S, members);
        for (size_t m = 0; m < members.size(); ++m) {
            if (ground && m + 1 == members.size()) {
                fac->grounded.push_back(members[m]);
                break;
            }
            pos[members[m]] = static_cast<int64_t>(fac->vertex.size());
            fac->vertex.push_back(members[m]);
        }
    }

    const int64_t m = static_cast<int64_t>(fac->vertex.size());
    fac->first.resize(static_cast<size_t>(m));
    fac->rowptr.resize(static_cast<size_t>(m + 1));
    const EnvelopeCost cost = envelope_cost(S, fac->vertex, pos, fac->first.data(), fac->rowptr.data());
    if (over_budget(cost, budget, why)) return nullptr;

    fac->L.assign(static_cast<size_t>(cost.entries), 0.0);
    for (int64_t i = 0; i < m; ++i) {
        const int32_t v = fac->vertex[i];
        double *row = fac->L.data() + fac->rowptr[i];
        for (int64_t e = S.ptr[v]; e < S.ptr[v + 1]; ++e) {
            const int64_t p = pos[S.idx[e]];
            if (p >= 0 && p < i) row[p - fac->first[i]] += S.val[e];
        }
        row[i - fac->first[i]] = S.diag[v];
    }
    // Row-by-row Cholesky inside the envelope: L(i, j) needs rows i and j only from
    // max(first[i], first[j]) on, both stored contiguously.
    for (int64_t i = 0; i < m; ++i) {
        const int64_t fi = fac->first[i];
        double *Li = fac->L.data() + fac->rowptr[i];
        for (int64_t j = fi; j < i; ++j) {
            const int64_t fj = fac->first[j];
            const double *Lj = fac->L.data() + fac->rowptr[j];
            const int64_t k0 = std::max(fi, fj);
            double s = Li[j - fi];
            for (int64_t k = k0; k < j; ++k) s -= Li[k - fi] * Lj[k - fj];
            const double dj = Lj[j - fj];
            Li[j - fi] = dj > 0 ? s / dj : 0.0;  // a dropped pivot's column is 0
        }
        double d = Li[i - fi];
        for (int64_t k = fi; k < i; ++k) d -= Li[k - fi] * Li[k - fi];
        const double scale = S.scale[fac->vertex[i]];
        if (semidefinite && !(std::abs(d) > semidefinite_drop * scale)) {
            std::fill(Li, Li + (i - fi + 1), 0.0);
            ++fac->dropped;
            continue;
        }
        // Relative to the row's scale: a grounded Laplacian's pivots stay well above
        // rounding unless the grounding missed a component.
        if (!(d > 1e-12 * scale)) {
            if (why) *why = "a pivot of the exact factor was not positive";
            return nullptr;
        }
        Li[i - fi] = std::sqrt(d);
    }
    return fac;
}

namespace {

class ApproximateCholesky final : public SchurSolver {
   public:
    work_vector<int32_t> order;   // elimination order
    work_vector<int64_t> colptr;  // per eliminated vertex (in order), its column entries
    work_vector<int32_t> colidx;
    work_vector<double> colval;   // w_u / W: the multiplier of each later neighbour u
    work_vector<double> pivot;    // W (0: grounded)

    void solve(double *x, int64_t K) const override {
        const int64_t n = static_cast<int64_t>(order.size());
        // Forward: y_v, then push v's share into its later neighbours.
        for (int64_t t = 0; t < n; ++t) {
            const double *xv = x + static_cast<int64_t>(order[t]) * K;
            for (int64_t e = colptr[t]; e < colptr[t + 1]; ++e) {
                double *xu = x + static_cast<int64_t>(colidx[e]) * K;
                for (int64_t k = 0; k < K; ++k) xu[k] += colval[e] * xv[k];
            }
        }
        for (int64_t t = 0; t < n; ++t) {
            double *xv = x + static_cast<int64_t>(order[t]) * K;
            for (int64_t k = 0; k < K; ++k) xv[k] = pivot[t] > 0 ? xv[k] / pivot[t] : 0.0;
        }
        // Backward: each vertex takes its multipliers' share of the later ones.
        for (int64_t t = n - 1; t >= 0; --t) {
            double *xv = x + static_cast<int64_t>(order[t]) * K;
            for (int64_t e = colptr[t]; e < colptr[t + 1]; ++e) {
                const double *xu = x + static_cast<int64_t>(colidx[e]) * K;
                for (int64_t k = 0; k < K; ++k) xv[k] += colval[e] * xu[k];
            }
        }
    }
};

struct Edge {
    int32_t to;
    double w;
};

// The sampled edges of the vertices not yet eliminated. A vertex gets an edge from every
// elimination among its neighbours, mostly to vertices it is already linked to: on a 2-D
// lattice of firms at 1e7 rows, 230 entries per firm for about 50 neighbours. A list that has
// doubled since it was last merged has its parallel edges merged (each weight summed in list
// order onto the first, exactly as the elimination would sum them, so the factor is the same
// to the bit) and its edges to eliminated vertices dropped.
struct Adjacency {
    std::vector<std::vector<Edge>> list;
    std::vector<int64_t> merge_at;
    std::vector<int32_t> place;  // scratch: -1, or where a vertex's edge is in the list at hand
    const std::vector<char> *gone = nullptr;
    explicit Adjacency(int64_t n)
        : list(static_cast<size_t>(n)), merge_at(static_cast<size_t>(n), 16), place(static_cast<size_t>(n), -1) {}
    void add(int32_t v, Edge e) {
        std::vector<Edge> &l = list[v];
        l.push_back(e);
        if (static_cast<int64_t>(l.size()) < merge_at[v]) return;
        size_t out = 0;
        for (const Edge &f : l) {
            if (gone && (*gone)[f.to]) continue;
            if (place[f.to] < 0) {
                place[f.to] = static_cast<int32_t>(out);
                l[out++] = f;
            } else {
                l[place[f.to]].w += f.w;
            }
        }
        l.resize(out);
        for (const Edge &f : l) place[f.to] = -1;
        merge_at[v] = std::max<int64_t>(16, 2 * static_cast<int64_t>(out));
    }
};

}  // namespace

namespace {

// Eliminates vertex v, whose live neighbours (parallel edges merged) are nb, into the factor:
// its column, the excess it passes on, and the sampled edges among its neighbours, added to
// adj. The clique that eliminating v creates has weight w_i w_j / W on {i, j}. Each neighbour
// i (lighter first) instead links to one later neighbour j, drawn with probability
// w_j / (sum of later weights), with weight w_i * (sum of later weights) / W: the same
// expectation, one edge per neighbour but the heaviest.
void eliminate(ApproximateCholesky &fac, std::vector<Edge> &nb, double excess_v, std::vector<double> &excess,
               Adjacency &adj, std::mt19937_64 &rng, std::vector<double> &csum) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::sort(nb.begin(), nb.end(), [](const Edge &a, const Edge &b) { return a.w != b.w ? a.w < b.w : a.to < b.to; });
    double total = 0.0;
    for (const Edge &e : nb) total += e.w;
    const double W = total + excess_v;
    fac.pivot.push_back(W);
    if (W > 0) {
        for (const Edge &e : nb) {
            fac.colidx.push_back(e.to);
            fac.colval.push_back(e.w / W);
            excess[e.to] += e.w * excess_v / W;  // what v's excess passes on stays on the diagonal
        }
        const size_t d = nb.size();
        csum.resize(d);
        double run = 0.0;
        for (size_t i = 0; i < d; ++i) csum[i] = (run += nb[i].w);
        for (size_t i = 0; i + 1 < d; ++i) {
            const double later = total - csum[i];
            if (!(later > 0)) continue;
            const double r = csum[i] + uniform(rng) * later;
            size_t j = static_cast<size_t>(std::upper_bound(csum.begin() + static_cast<long>(i) + 1, csum.end(), r) -
                                           csum.begin());
            if (j >= d) j = d - 1;
            const double w = nb[i].w * later / W;
            adj.add(nb[i].to, {nb[j].to, w});
            adj.add(nb[j].to, {nb[i].to, w});
        }
    }
    fac.colptr.push_back(static_cast<int64_t>(fac.colidx.size()));
}

}  // namespace

std::unique_ptr<SchurSolver> approximate_cholesky_bipartite(int64_t na, int64_t nb, const int64_t *ptr,
                                                            const uint32_t *idx, const double *val,
                                                            const double *ea, const double *eb, uint64_t seed) {
    const int64_t n = na + nb;
    auto fac = std::make_unique<ApproximateCholesky>();
    Adjacency adj(n);  // edges among b vertices only
    std::vector<double> excess(static_cast<size_t>(n));
    std::copy(ea, ea + na, excess.begin());
    std::copy(eb, eb + nb, excess.begin() + na);
    std::mt19937_64 rng(seed);
    std::vector<Edge> live;
    std::vector<double> csum;
    fac->colptr.push_back(0);
    fac->order.reserve(static_cast<size_t>(n));
    fac->pivot.reserve(static_cast<size_t>(n));
    fac->colptr.reserve(static_cast<size_t>(n + 1));
    // The columns of the a vertices are their cells; those of the b vertices took 0.4-1.9
    // times as many entries again on the lattice of firms. Address space reserved and never
    // written takes no memory, and the columns grow into it without being copied.
    // (Where the system refuses to promise that much memory, they grow as they need.)
    const size_t expected = static_cast<size_t>(4 * ptr[na] + n);
    try {
        fac->colidx.reserve(expected);
        fac->colval.reserve(expected);
    } catch (const std::bad_alloc &) {
        work_vector<int32_t>().swap(fac->colidx);
        work_vector<double>().swap(fac->colval);
    }
    // The a vertices: their edges are exactly their cells (an a vertex gains none, since no
    // elimination before it touches it).
    for (int64_t a = 0; a < na; ++a) {
        fac->order.push_back(static_cast<int32_t>(a));
        live.clear();
        for (int64_t e = ptr[a]; e < ptr[a + 1]; ++e)
            if (val[e] > 0) live.push_back({static_cast<int32_t>(na + idx[e]), val[e]});
        eliminate(*fac, live, excess[a], excess, adj, rng, csum);
    }
    // The b vertices in random order, over the sampled edges.
    std::vector<int32_t> rest(static_cast<size_t>(nb));
    std::iota(rest.begin(), rest.end(), static_cast<int32_t>(na));
    std::shuffle(rest.begin(), rest.end(), rng);
    std::vector<char> gone(static_cast<size_t>(n), 0);
    adj.gone = &gone;
    std::vector<double> merged(static_cast<size_t>(n), 0.0);
    for (int32_t v : rest) {
        fac->order.push_back(v);
        live.clear();
        for (const Edge &e : adj.list[v]) {
            if (gone[e.to]) continue;
            if (merged[e.to] == 0.0) live.push_back({e.to, 0.0});
            merged[e.to] += e.w;
        }
        for (Edge &e : live) {
            e.w = merged[e.to];
            merged[e.to] = 0.0;
        }
        std::vector<Edge>().swap(adj.list[v]);
        gone[v] = 1;
        // Rounding leaves tiny excesses of either sign; only a real one is kept.
        eliminate(*fac, live, excess[v] > 0 ? excess[v] : 0.0, excess, adj, rng, csum);
    }
    return fac;
}

}  // namespace quarnet
