// Solvers for the Schur complement of a pair of fixed effects: a symmetric, diagonally
// dominant matrix whose off-diagonal entries are <= 0 (a weighted graph Laplacian, plus a
// non-negative diagonal excess where some rows of the second effect have no level of the
// first). Each connected component of a Laplacian is singular by one dimension; both solvers
// ground one vertex per such component (its value is 0), which yields a symmetric positive
// semi-definite generalised inverse, exact on the range of the matrix.
//
// Conventions: n vertices; right-hand sides and solutions are n x K row-major.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "workmem.hpp"

namespace quarnet {

// Symmetric sparse matrix: off-diagonal entries of each row (both directions stored) and the
// diagonal separately.
struct SparseSym {
    int64_t n = 0;
    work_vector<int64_t> ptr;  // n + 1 row offsets into idx / val
    work_vector<int32_t> idx;  // column of each off-diagonal entry (never the row itself)
    work_vector<double> val;   // its value (<= 0 in a Laplacian)
    work_vector<double> diag;
    // Size of the terms each row's diagonal was formed from (for a Schur complement, the
    // level's own count): rounding is judged against it, since a diagonal that cancels to
    // almost nothing is exactly what a singular row looks like.
    work_vector<double> scale;
};

class SchurSolver {
   public:
    virtual ~SchurSolver() = default;
    // x := an (approximate) generalised inverse of the matrix applied to x, column by column.
    virtual void solve(double *x, int64_t K) const = 0;
};

struct FactorBudget {
    int64_t max_entries;  // stored entries of the factor
    double max_flops;     // multiply-adds of the factorisation
};

// Exact Cholesky factor in a reverse Cuthill-McKee order, stored by envelope (profile).
// Returns null, with the reason in *why, when the envelope or the work of factoring exceeds
// the budget (both known before any value is computed) or a pivot is not positive.
// semidefinite: S is any symmetric positive semi-definite matrix (off-diagonal entries of
// either sign; `scale` its diagonal), whose null space is not known in advance (the normal
// equations of three or more fixed effects): no component is grounded, and a pivot that
// cancels to rounding level instead is dropped (its value 0, its column of the factor 0),
// which yields a generalised inverse on the directions kept; a pivot clearly negative fails.
std::unique_ptr<SchurSolver> envelope_cholesky(const SparseSym &S, const FactorBudget &budget, std::string *why,
                                               bool semidefinite = false);

// Whether the exact factor of a matrix with this pattern (only ptr and idx are read) fits the
// budget, in the order envelope_cholesky would use. Run on a sparse subgraph of a matrix's
// graph it is a cheap guide to whether forming that matrix is worth it: in any one order a
// subgraph's envelope is no larger, so a subgraph over budget means the matrix is too.
bool envelope_fits(const SparseSym &pattern, const FactorBudget &budget, std::string *why);

// Approximate Cholesky by randomised elimination (each eliminated vertex's clique is replaced
// by an unbiased sample of as many edges as it had neighbours, less one, so the number of
// edges never grows), of the Laplacian of a bipartite graph: na vertices on one side, nb on
// the other, edges (a, b) of weight w > 0 given per a vertex (ptr over a, idx the b vertex,
// val the weight), and non-negative diagonal excesses ea, eb. The a vertices are eliminated
// first (they share no edge, so exactly where each is taken the sample stays unbiased), then
// the b vertices in random order. Vertices are numbered a first, then na + b. Fixed seed: the
// same input gives the same factor.
std::unique_ptr<SchurSolver> approximate_cholesky_bipartite(int64_t na, int64_t nb, const int64_t *ptr,
                                                            const uint32_t *idx, const double *val,
                                                            const double *ea, const double *eb, uint64_t seed);

}  // namespace quarnet
