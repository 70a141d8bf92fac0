// Preconditioners of the coefficient-space solver built from blocks of D'WD that belong to
// pairs of fixed effects (internal to the kernel).
//
// The block of a pair (a, b) is the normal equations of those two effects alone: their level
// counts Da, Db on the diagonal and the weighted counts C = Da'W Db of their cells. Flipping
// the sign of b's coefficients makes it a weighted graph Laplacian, so it is inverted exactly
// (Schur complement on b's levels, envelope Cholesky) or approximately (randomised
// elimination), whatever the data. Three preconditioners are made of such blocks:
//
// - the pair block: the two fixed effects with most levels, inverted, and the diagonal for
//   every other effect. It captures the slow modes of a weakly connected pair (workers and
//   firms) and leaves the others to the conjugate gradients.
// - the whole factor ("exact full"): with three or more effects D'WD is no Laplacian under
//   any change of signs (every row closes a triangle of its levels), but it is symmetric
//   positive semi-definite, and its pattern is the union of the pairs' cells: one envelope
//   Cholesky of it, dropping the pivots of the directions the effects do not separate, is a
//   generalised inverse. Where every effect's levels meet only neighbouring levels of the
//   others (a chain) the envelope is narrow (about 5 entries a level with three effects, 7
//   with four) and the solve takes 2 iterations after the switch; where the graph spreads in
//   two dimensions it fills in, and the budget refuses it.
// - additive pairs: the sum, over pairs of effects, of each pair block's inverse (additive
//   Schwarz with overlapping blocks). With three or more large effects whose levels meet
//   only neighbouring levels of the others, the slow modes pass through every effect: a
//   smooth vector f on a, -f on b, 0 on c is nearly annihilated by D, and so is any smooth
//   vector whose parts on a row's levels nearly cancel, which no single pair holds. Such a
//   mode splits into pieces that each live on one pair and are each smooth there (f on a and
//   -f on b, then the rest on b and c), so the sum of the pair inverses bounds the condition
//   number whatever the graph's length.
//
// Measured on the banded design (SciPy prototypes, tolerance 1e-9; three effects at 1e5 / 1e6
// rows): the pair block 3,697 / 36,870 iterations; additive pairs with every pair 22 / 25,
// with the largest effect's pairs only 18 / 20, with consecutive pairs 27 / 32 (four effects:
// 36 / 38, 22 / 24, 50 / 53); symmetric multiplicative sweeps over every pair 8 (1e5), at five
// pair solves and four passes over the cells per iteration; the whole factor 5 / 15 with a
// diagonal shift of 1e-8, 2 with its null pivots dropped. The largest effect's pairs alone
// fail where the slow coupling avoids it (a random a, b and c a chain of their own: 2,652
// iterations, every pair 18, consecutive pairs 13), so additive pairs take every pair, within
// a budget of cells. In this kernel: the whole factor 2 iterations (8 in all, from Jacobi's
// first judgement on, at 1e6 rows; 6 with four effects); additive pairs on three effects on
// 2-D lattices (whole factor over budget) 35 iterations where the pair block took 1,044.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "coefproblem.hpp"
#include "laplacian.hpp"
#include "workmem.hpp"

namespace quarnet::coef {

// The block of D'WD that belongs to effects a and b (slots sa and sb, a with at least as many
// levels as b), inverted through the Schur complement on b's levels:
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
    int64_t sa = 0, sb = 1;            // slots of a and b
    work_vector<int64_t> cell_ptr;     // cells of a level: [cell_ptr[a], cell_ptr[a+1])
    work_vector<uint32_t> cell_b;
    work_vector<double> cell_w;
    // Exact: a solver of S on b's levels. Approximate: a solver of the whole pair block with
    // b's sign flipped (then a graph Laplacian on the a and b levels), vertices a then Ga + b.
    std::unique_ptr<SchurSolver> solver;
    bool bipartite = false;
    std::string kind;  // "exact pair" or "approximate pair"
    // Additive pairs: the connected components of the a-b graph that the block leaves singular
    // (their rows all have a level of both effects), by level (a's, then b's; -1: none), and
    // each one's total count.
    work_vector<int32_t> null_comp;
    work_vector<double> null_mass;
    // Whether the exact factor may fit its budget (-1: not yet judged), and why not.
    int may_fit = -1;
    std::string may_fit_why;
};

// The slot the single pair block pairs with the segment effect: most levels among the others.
int64_t largest_other(const Problem &P);

// Builds the block of slots (sa, sb), or returns null with the reason in *why. The exact
// factor is tried when want_exact and its size and work fit their budgets, the approximate
// one otherwise. Forming the Schur complement of a pair whose cells are too dense (over a
// work budget) is never tried: then the single pair block is not built at all (as it never
// was), while a block of additive pairs (approximate_over_work) takes the approximate
// factor, whose work grows only with the cells.
std::unique_ptr<PairBlock> build_pair(const Problem &P, const work_vector<double> &counts, int64_t sa, int64_t sb,
                                      bool want_exact, bool approximate_over_work, std::string *why);

// The block of slots (sa, sb) with its cells formed but no factor yet (null, with the reason in
// *why, if the cells cannot be formed); then its factor, as build_pair makes it (false, with
// the reason, if none is made). build_pair is the two in one.
std::unique_ptr<PairBlock> pair_block_cells(const Problem &P, int64_t sa, int64_t sb, std::string *why);
bool factor_pair(const Problem &P, const work_vector<double> &counts, PairBlock &pb, bool want_exact,
                 bool approximate_over_work, std::string *why);

// Whether the block's exact factor may fit its budget: the Schur complement within its work
// budget and a sparse subgraph of its graph within the factor's (a cheap necessary check; the
// answer is kept in the block, and factor_pair uses it).
bool exact_pair_may_fit(const Problem &P, PairBlock &pb);

// za, zb := the pair block's inverse applied to (r_a, r_b), where r, za and zb point at the
// first level of a and b in coefficient arrays of K columns. `parts` holds buffers of b's
// levels for blocks of a levels (fixed blocks, taken in rounds as Rounds says).
void apply_pair(const Problem &P, const PairBlock &pb, const work_vector<double> &counts, const double *ra,
                const double *rb, double *za, double *zb, std::vector<work_vector<double>> &parts);

// The cells of pairs of fixed effects, and (for additive pairs) their blocks' factors.
struct PairSet {
    std::vector<PairBlock *> blocks;  // with cells (then factored), fewest cells first
    std::vector<PairBlock *> nested;  // b nested in a: null directions only
    // Shared: a session (CoefSession) keeps the single pair block for later solves while the set
    // holds it too.
    std::vector<std::shared_ptr<PairBlock>> owned;
    std::vector<char> covered;  // by slot: in a factored block
    bool complete = false;      // every pair's cells are here
    int64_t cells = 0;          // in all
    std::string left_out;       // pairs without cells or factor, and why ("; ..." each)
    work_vector<double> part;   // one block's solution on its two effects' levels
    work_vector<double> along;  // its parts along its null directions
};

// The cells of every pair of fixed effects, those with fewest cells first, while all of them
// stay within a budget of twice the rows; `reuse`, if given, is the pair block already built
// for its pair (its cells are read, it stays the caller's). for_full: every pair is needed,
// within the budget of the whole factor, or the set is not made. Returns null, with the reason
// in *why, when no pair's cells could be formed.
std::unique_ptr<PairSet> pair_set_cells(const Problem &P, PairBlock *reuse, bool for_full, std::string *why);

// The factor of every block of the set, exact where its budget allows (`reuse`, if it is one
// of them, is taken over with its factor); `poll` runs between two blocks (Ctrl-C). Blocks
// that cannot be factored are left out; false, with the reason in *why, when none is left.
// A nested block's cells are freed unless another owner (a session) still holds the block.
bool factor_pair_set(const Problem &P, const work_vector<double> &counts, PairSet &set,
                     std::shared_ptr<PairBlock> &reuse, const std::function<void()> &poll, std::string *why);

// z := the sum of the blocks' inverses applied to r on the covered slots; the other slots'
// entries of z are left as they are. Each block's solution is taken without its part along the
// block's own null directions (1 on the a levels of a singular component, -1 on its b levels,
// in the metric of the level counts): those directions are null directions of D'WD too, and
// the grounding of each block puts an arbitrary amount on them; summed over the blocks, on
// the banded design on a 2-D lattice with weights over eight decades, they outweighed the
// rest of the conjugate gradients' directions 1e8 to 1, and the steps were lost in their
// rounding. Since the residuals of the normal equations have no part along null directions,
// the block's operator stays symmetric: (I - P) B^+ (I - P)' r = (I - P) B^+ r.
void apply_pair_set(const Problem &P, PairSet &set, const work_vector<double> &counts, const double *r, double *z,
                    std::vector<work_vector<double>> &parts);

// The exact factor of the whole of D'WD (counts and every pair's cells; `set` complete) as
// one semidefinite envelope Cholesky over all coefficient rows, or null, with the reason in
// *why, when it is over its budget. When the levels of every effect meet only neighbouring
// levels of the others (a chain) its envelope is narrow, and the solve takes 2 iterations;
// in any graph that spreads in two dimensions its fill explodes, and additive pairs serve.
std::unique_ptr<SchurSolver> full_factor(const Problem &P, const work_vector<double> &counts, const PairSet &set,
                                         std::string *why);

}  // namespace quarnet::coef
