// Partialling fixed effects out in coefficient space.
//
// Demeaning the columns v of an N x K matrix by fixed effects D (N x G dummies, G levels in
// all) is taking the residual e = v - D alpha of weighted least squares, where alpha solves
// the normal equations (D'WD) alpha = D'W v. This solver iterates on those G x K unknowns by
// preconditioned conjugate gradients instead of sweeping the N x K matrix: D'WD is never
// formed, each product with it is one pass over the id columns, and only the closing pass
// writes the caller's matrix. The preconditioner starts as the diagonal (level counts) and,
// when the measured rate predicts a slow solve, is upgraded to the exact (or, over a size
// budget, approximate) inverse of the block of the two fixed effects with most levels; with
// three or more fixed effects, when that block's own rate still predicts a slow solve, to the
// exact factor of all of D'WD within a size budget and beyond it to the sum of the inverses of
// every pair's block (additive pairs; see pairblock.hpp).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "demean.hpp"
#include "groupindex.hpp"

namespace quarnet {

enum class PairMode {
    automatic,    // Jacobi, upgraded to the pair block when the rate predicts a slow solve
    jacobi,       // never upgrade
    exact,        // pair block from the start, exact factor (approximate if over budget)
    approximate,  // pair block from the start, approximate factor
    pairs,        // additive pairs from the start (the pair block with two fixed effects)
    full,         // exact factor of all of D'WD from the start, additive pairs if over budget
};

struct CoefOutcome {
    int64_t iterations = 0;  // conjugate-gradient iterations made
    bool converged = false;
    // "closed form", "jacobi", "exact pair", "approximate pair", "additive pairs", "exact full"
    std::string preconditioner;
    std::string reason;          // why that preconditioner
};

using NoteFn = std::function<void(const std::string &)>;

// x: N x K row-major, demeaned in place (K >= 1); w: N non-negative weights or null; fes:
// group indexes that passed check_disjoint_groups. The convergence measure, miniter,
// maxiter and the progress events are those of MAP_NH_CG_accel; `note` receives the
// preconditioner decisions when verbose > 0.
CoefOutcome COEF_PCG_demean(double *x, int64_t N, int64_t K, const double *w, const std::vector<GroupIndex> &fes,
                            const DemeanOptions &opt, PairMode mode, const ProgressFn &progress, const NoteFn &note);

// The fixed effects as dense level ids by row instead of group indexes: entry (i, f) of an
// N x F int64 (wide) or int32 array at data[i * row_stride + f * col_stride], in [0, G[f]).
// No group index is needed, and the first and the closing pass read and write the caller's
// matrix in row order.
struct IdColumns {
    const void *data = nullptr;
    bool wide = true;
    int64_t row_stride = 0, col_stride = 0;
    std::vector<int64_t> G;

    int64_t columns() const { return static_cast<int64_t>(G.size()); }
};

CoefOutcome COEF_PCG_demean(double *x, int64_t N, int64_t K, const double *w, const IdColumns &ids,
                            const DemeanOptions &opt, PairMode mode, const ProgressFn &progress, const NoteFn &note);

// One sample's fixed effects (level ids as above) held for many solves: each solve is that of
// COEF_PCG_demean with the same arguments, to the last bit, but what it would rebuild is kept.
// The layout (the rows ordered by the segment effect, the other effects' narrow ids by
// position, the segment offsets and level sizes) is made by the first solve and serves every
// later one; for the weights of the last solve (null: none), the rows' weights by position,
// the level counts and every preconditioner a solve built (the pair block, the whole factor,
// additive pairs, or the finding that none could be built), taken by a later solve with those
// weights when it reaches the same decision. New weights keep the layout and rebuild the rest.
// `ids` is copied, its data is not: it must stay alive and unchanged while the session is used.
struct SessionReport {
    std::vector<std::string> reused;  // what this solve took from earlier ones
    double setup_seconds = 0.0;       // layout and weights by position (when made by this solve)
    double build_seconds = 0.0;       // building preconditioners
    double solve_seconds = 0.0;       // everything else: the passes and the iterations
};

// What a session's solve checks on the way, in the passes that read the ids and the weights
// anyway (rather than in passes of their own before it).
struct SessionChecks {
    uint64_t ids_key = 0;      // in: the ids' fingerprint (ids_fingerprint) when the session took them
    bool ids_changed = false;  // out: they no longer have it; nothing was written (lay them out afresh)
    bool bad_weights = false;  // out: a weight is negative or not finite; nothing was written
};

class CoefSession {
   public:
    CoefSession(const IdColumns &ids, int64_t N);
    ~CoefSession();
    CoefSession(const CoefSession &) = delete;
    CoefSession &operator=(const CoefSession &) = delete;

    int64_t rows() const;
    const IdColumns &ids() const;
    // Whether w (null: none) with this fingerprint (weights_fingerprint) is the weight vector
    // the session holds, i.e. that of its last solve.
    bool holds_weights(const double *w, uint64_t w_key) const;
    // x: N x K row-major, demeaned in place (K >= 1); w: the weights (or null), whose
    // fingerprint the solve forms as it places them by position; the rest as for
    // COEF_PCG_demean. When checks reports changed ids or a bad weight, x is untouched and
    // the outcome is empty (not converged).
    CoefOutcome demean(double *x, int64_t K, const double *w, const DemeanOptions &opt, PairMode mode,
                       const ProgressFn &progress, const NoteFn &note, SessionReport *report, SessionChecks *checks);

   private:
    struct State;
    std::unique_ptr<State> state_;
};

// A 64-bit fingerprint of the N weights' bit patterns and places (one parallel pass): equal
// for the same values, and for different values equal only by a 2^-64 chance.
uint64_t weights_fingerprint(const double *w, int64_t N, int threads);

// The same of the N x F level ids (their values and places, whatever their layout).
uint64_t ids_fingerprint(const IdColumns &ids, int64_t N, int threads);

// The fixed effects as aggregates instead of rows, for data that are aggregated elsewhere (a
// database, a cluster): per fixed effect f its G[f] weighted level counts and the K sums
// D_f'W v of its levels (G[f] x K row-major), per pair of fixed effects f < g the cells of
// their cross-tabulation (level of f, level of g, weighted count; a pair may repeat), and
// the weighted sums of squares of the K columns. D'WD is applied from the counts and cells
// alone, so the solve never sees a row. N is the number of rows behind the aggregates (it
// sizes the budgets of the pair block as for row data).
struct CellPair {
    int f = 0, g = 0;
    const int64_t *level_f = nullptr, *level_g = nullptr;
    const double *weight = nullptr;
    int64_t n = 0;
};

struct CellInput {
    int64_t N = 0;
    std::vector<int64_t> G;
    std::vector<const double *> counts, sums;
    std::vector<CellPair> pairs;  // every f < g once
    const double *sumsq = nullptr;
};

// alpha[f]: G[f] x K row-major, receives the coefficients of fixed effect f, so that the
// demeaned columns are v - sum_f alpha[f][level_f]. Same options and outcome as above.
CoefOutcome COEF_PCG_cells(const CellInput &in, int64_t K, const std::vector<double *> &alpha, const DemeanOptions &opt,
                           PairMode mode, const ProgressFn &progress, const NoteFn &note);

// The rows behind the aggregates, when their cells are too many to hold: sorted by the levels
// of one fixed effect (the segment effect), its number of rows per level, and every other
// effect's level of each row in that order, all in 16 bits (narrow) or all in 32, with the
// rows' weights in the same order (or null). D'WD is then applied by passes over these rows
// (as for data in memory) instead of through cells; counts, sums and sums of squares still
// come from the aggregates, and `in.pairs` is not read.
struct RowInput {
    int segment = 0;
    const int64_t *segment_rows = nullptr;  // G[segment] counts summing to N
    bool narrow = true;
    std::vector<const void *> levels;  // by fixed effect; the segment's entry is not read
    const double *w = nullptr;
};

CoefOutcome COEF_PCG_rows(const CellInput &in, const RowInput &rows, int64_t K, const std::vector<double *> &alpha,
                          const DemeanOptions &opt, PairMode mode, const ProgressFn &progress, const NoteFn &note);

}  // namespace quarnet
