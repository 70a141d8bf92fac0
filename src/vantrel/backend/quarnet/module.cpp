// Python bindings of the absorption kernel (the module users import): argument checks and
// array views, with what they share with the benchmark hooks (bench/hooks.cpp) in
// bindings.cpp. All computation lives in the other files of this folder.
//
// Every array argument is taken with .noconvert(): an array of another element type,
// dimension or layout raises TypeError instead of being silently copied. Non-const element
// types make nanobind reject read-only arrays; arrays that are only read are const
// (read-only accepted: the weights `w`, and the columns, rows and factors of the row
// passes), and `w` and `rows` may be None. Twelve functions release the GIL and the others keep
// it; which and why is written next to the module definition below.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "cluster.hpp"
#include "coefsolve.hpp"
#include "common.hpp"
#include "demean.hpp"
#include "glmpasses.hpp"
#include "idsort.hpp"
#include "rowpasses.hpp"
#include "screening.hpp"
#include "slopesolve.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace quarnet::bindings;

namespace {

void python_note(const std::string &text) { nb::module_::import_("builtins").attr("print")(text); }

quarnet::PairMode pair_mode(const std::string &name) {
    if (name == "auto") return quarnet::PairMode::automatic;
    if (name == "jacobi") return quarnet::PairMode::jacobi;
    if (name == "exact") return quarnet::PairMode::exact;
    if (name == "approx") return quarnet::PairMode::approximate;
    if (name == "pairs") return quarnet::PairMode::pairs;
    if (name == "full") return quarnet::PairMode::full;
    throw nb::value_error(
        ("preconditioner must be one of 'auto', 'jacobi', 'exact', 'approx', 'pairs', 'full', got '" + name + "'")
            .c_str());
}

// A block's weights: one per row of x, and apart from it (the solvers write x in place).
void check_weights_of(const Matrix &x, const std::optional<Weights> &w) {
    if (!w) return;
    if (w->shape(0) != x.shape(0))
        throw nb::value_error(("w has length " + std::to_string(w->shape(0)) + ", x has " +
                               std::to_string(x.shape(0)) + " rows")
                                  .c_str());
    quarnet::check_no_overlap(x.data(), x.nbytes(), "x", w->data(), w->nbytes(), "w");
}

// The coefficient solver weighs the normal equations by w: a negative or non-finite weight
// would make them indefinite or NaN.
void check_weights(const std::optional<Weights> &w) {
    if (!w) return;
    const double *v = w->data();
    for (size_t i = 0; i < w->shape(0); ++i)
        if (!(v[i] >= 0.0) || !std::isfinite(v[i]))
            throw nb::value_error(("w[" + std::to_string(i) + "] = " + std::to_string(v[i]) +
                                   ": weights must be finite and non-negative")
                                      .c_str());
}

template <class T>
using IdArray = nb::ndarray<const T, nb::ndim<2>, nb::device::cpu>;

// Level ids given instead of a group index: an N x F int64 or int32 array in any layout, every
// entry in [0, G_f) with G_f - 1 the largest of its column. Dense ids are the caller's
// promise, checked as make_pointer checks them: a column's largest id may not exceed 4 ids
// per row, which sparse codes (firm numbers such as 1e12) would, and a level without rows
// costs only its place in the coefficient vectors.
// The byte span of the ids, however they are strided, must not meet x, which is written.
template <class T>
void check_ids_apart(const Matrix &x, const T *data, int64_t N, int64_t F, int64_t row_stride, int64_t col_stride) {
    int64_t low = 0, high = 0;
    const int64_t shape[2] = {N, F}, stride[2] = {row_stride, col_stride};
    for (int d = 0; d < 2; ++d) {
        const int64_t reach = (shape[d] - 1) * stride[d];
        (reach < 0 ? low : high) += reach;
    }
    if (N > 0 && F > 0)
        quarnet::check_no_overlap(x.data(), x.nbytes(), "x", data + low, static_cast<size_t>(high - low + 1) * sizeof(T),
                                  "A");
}

template <class T>
void add_level_counts(const IdArray<T> &ids, quarnet::IdColumns &out);

template <class T>
quarnet::IdColumns id_columns(const IdArray<T> &ids, const Matrix &x) {
    const int64_t N = static_cast<int64_t>(x.shape(0)), F = static_cast<int64_t>(ids.shape(1));
    if (static_cast<int64_t>(ids.shape(0)) != N)
        throw nb::value_error(("A has " + std::to_string(ids.shape(0)) + " rows of ids, x has " + std::to_string(N) +
                               " rows")
                                  .c_str());
    quarnet::IdColumns out;
    out.data = ids.data();
    out.wide = sizeof(T) == 8;
    out.row_stride = ids.stride(0);
    out.col_stride = ids.stride(1);
    check_ids_apart(x, ids.data(), N, F, out.row_stride, out.col_stride);
    add_level_counts(ids, out);
    return out;
}

// G_f of every column, checking that the ids are dense.
template <class T>
void add_level_counts(const IdArray<T> &ids, quarnet::IdColumns &out) {
    const int64_t N = static_cast<int64_t>(ids.shape(0)), F = static_cast<int64_t>(ids.shape(1));
    for (int64_t f = 0; f < F; ++f) {
        int64_t largest = -1;
        for (int64_t i = 0; i < N; ++i) {
            const int64_t v = ids.data()[i * out.row_stride + f * out.col_stride];
            if (v < 0)
                throw nb::value_error(("A[" + std::to_string(i) + ", " + std::to_string(f) + "] = " + std::to_string(v) +
                                       ": level ids must be dense ids 0 .. G-1")
                                          .c_str());
            largest = std::max(largest, v);
        }
        if (largest >= 4 * std::max<int64_t>(N, 1))
            throw nb::value_error(("A[:, " + std::to_string(f) + "] holds the id " + std::to_string(largest) + " for " +
                                   std::to_string(N) + " rows: level ids must be dense ids 0 .. G-1")
                                      .c_str());
        out.G.push_back(largest + 1);
    }
}

// Whether numpy lets a writable array be made writable again once frozen: not an array over a
// read-only buffer (one unpickled from bytes is writable, but not once frozen).
bool can_thaw(nb::handle array) {
    nb::module_ np = nb::module_::import_("numpy");
    nb::object at = nb::borrow(array);
    while (!nb::cast<bool>(at.attr("flags").attr("owndata"))) {
        nb::object base = at.attr("base");
        if (base.is_none()) return true;
        if (!nb::isinstance(base, np.attr("ndarray"))) {
            try {
                return !nb::cast<bool>(nb::module_::import_("builtins").attr("memoryview")(base).attr("readonly"));
            } catch (const nb::python_error &) {
                return false;
            }
        }
        at = base;
    }
    return true;
}

// The id array a call freezes (FrozenArray): the caller's, or a copy when the caller's could
// not be made writable again (an array over a read-only buffer that numpy still calls
// writable, as unpickled from bytes): freezing that one would leave it read-only for good.
nb::object freezable(nb::handle A) {
    nb::module_ np = nb::module_::import_("numpy");
    const bool writable = nb::isinstance(A, np.attr("ndarray")) && nb::cast<bool>(A.attr("flags").attr("writeable"));
    return writable && !can_thaw(A) ? np.attr("array")(A, "order"_a = "K") : nb::borrow(A);
}

// An id array read during the call is read-only for its duration, for the reason FrozenIndex
// gives.
class FrozenArray {
   public:
    explicit FrozenArray(nb::handle array) {
        nb::object flags = array.attr("flags");
        if (nb::cast<bool>(flags.attr("writeable"))) {
            flags.attr("writeable") = false;
            frozen_ = nb::borrow(array);
        }
    }
    ~FrozenArray() {
        if (!frozen_.is_valid()) return;
        try {  // never an exception out of a destructor (it would end the process)
            frozen_.attr("flags").attr("writeable") = true;
        } catch (const nb::python_error &) {
        }
    }
    FrozenArray(const FrozenArray &) = delete;
    FrozenArray &operator=(const FrozenArray &) = delete;

   private:
    nb::object frozen_;
};

nb::dict coef_report(const quarnet::CoefOutcome &outcome) {
    if (!outcome.converged) throw nb::value_error("demeaning did not converge");
    nb::dict report;
    report["iterations"] = outcome.iterations;
    report["preconditioner"] = outcome.preconditioner;
    report["reason"] = outcome.reason;
    return report;
}

// Every value of an aggregate must be finite, and counts and weights non-negative: the
// normal equations would be indefinite or NaN otherwise.
void check_values(const std::string &name, const double *v, size_t n, bool non_negative) {
    for (size_t i = 0; i < n; ++i)
        if (!std::isfinite(v[i]) || (non_negative && !(v[i] >= 0.0)))
            throw nb::value_error((name + "[" + std::to_string(i) + "] = " + std::to_string(v[i]) + ": must be finite" +
                                   (non_negative ? " and non-negative" : ""))
                                      .c_str());
}

template <class T>
void check_levels(const std::string &name, const T *v, size_t n, int64_t G) {
    for (size_t i = 0; i < n; ++i)
        if (v[i] < 0 || static_cast<int64_t>(v[i]) >= G)
            throw nb::value_error((name + "[" + std::to_string(i) + "] = " + std::to_string(v[i]) + " is not a level in [0, " +
                                   std::to_string(G) + ")")
                                      .c_str());
}

using ConstVector = Contiguous<const double, 1>;
using ConstMatrix = Contiguous<const double, 2>;
using ConstLevels = Contiguous<const int64_t, 1>;

// The aggregates common to COEF_PCG_cells and COEF_PCG_rows, checked before any work:
// counts[f] (G_f,), sums[f] (G_f, K), sumsq (K,), N >= 0. The arrays stay referenced by
// the caller's lists for the whole call.
quarnet::CellInput aggregate_input(nb::list counts, nb::list sums, const ConstVector &sumsq, int64_t N) {
    const size_t F = nb::len(counts);
    if (nb::len(sums) != F)
        throw nb::value_error(("counts has " + std::to_string(F) + " fixed effects, sums " +
                               std::to_string(nb::len(sums)))
                                  .c_str());
    if (N < 0) throw nb::value_error(("N = " + std::to_string(N) + " must not be negative").c_str());
    const int64_t K = static_cast<int64_t>(sumsq.shape(0));
    check_values("sumsq", sumsq.data(), sumsq.shape(0), true);
    quarnet::CellInput in;
    in.N = N;
    in.sumsq = sumsq.data();
    for (size_t f = 0; f < F; ++f) {
        const std::string cf = "counts[" + std::to_string(f) + "]", sf = "sums[" + std::to_string(f) + "]";
        ConstVector c;
        ConstMatrix m;
        if (!nb::try_cast(counts[f], c, false))
            throw nb::type_error((cf + " must be a C-contiguous float64 1-D array").c_str());
        if (!nb::try_cast(sums[f], m, false))
            throw nb::type_error((sf + " must be a C-contiguous float64 2-D array").c_str());
        if (m.shape(0) != c.shape(0) || static_cast<int64_t>(m.shape(1)) != K)
            throw nb::value_error((sf + " has shape (" + std::to_string(m.shape(0)) + ", " + std::to_string(m.shape(1)) +
                                   "), expected (" + std::to_string(c.shape(0)) + ", " + std::to_string(K) + ")")
                                      .c_str());
        check_values(cf, c.data(), c.shape(0), true);
        check_values(sf, m.data(), m.size(), false);
        in.G.push_back(static_cast<int64_t>(c.shape(0)));
        in.counts.push_back(c.data());
        in.sums.push_back(m.data());
    }
    return in;
}

// Zeroed coefficient arrays (G_f x K) for the aggregated entry points to fill.
nb::list coefficient_arrays(const quarnet::CellInput &in, int64_t K, std::vector<double *> &out) {
    nb::module_ np = nb::module_::import_("numpy");
    nb::list alphas;
    for (int64_t G : in.G) {
        nb::object a = np.attr("zeros")(nb::make_tuple(G, K));
        out.push_back(nb::cast<Matrix>(a).data());
        alphas.append(a);
    }
    return alphas;
}

// One (f, g, level_f, level_g, weight) per pair f < g.
nb::tuple coef_cells(nb::list counts, nb::list sums, nb::list pairs, ConstVector sumsq, int64_t N, double tol,
                     int64_t miniter, int64_t maxiter, int64_t verbose, int n_threads, const std::string &preconditioner) {
    const quarnet::PairMode mode = pair_mode(preconditioner);
    check_thread_count(n_threads);
    quarnet::CellInput in = aggregate_input(counts, sums, sumsq, N);
    const size_t F = in.G.size();
    const int64_t K = static_cast<int64_t>(sumsq.shape(0));
    std::vector<char> seen(F * F, 0);
    std::vector<ConstLevels> keep_levels;
    std::vector<ConstVector> keep_weights;
    for (size_t e = 0; e < nb::len(pairs); ++e) {
        const std::string name = "pairs[" + std::to_string(e) + "]";
        nb::tuple t;
        if (!nb::try_cast(pairs[e], t, false) || nb::len(t) != 5)
            throw nb::type_error((name + " must be a tuple (f, g, level_f, level_g, weight)").c_str());
        const int64_t f = nb::cast<int64_t>(t[0]), g = nb::cast<int64_t>(t[1]);
        if (!(0 <= f && f < g && g < static_cast<int64_t>(F)))
            throw nb::value_error((name + " joins fixed effects " + std::to_string(f) + " and " + std::to_string(g) +
                                   "; needs 0 <= f < g < " + std::to_string(F))
                                      .c_str());
        if (seen[f * F + g]++) throw nb::value_error((name + " repeats the pair (" + std::to_string(f) + ", " +
                                                      std::to_string(g) + ")")
                                                         .c_str());
        ConstLevels a, b;
        ConstVector w;
        if (!nb::try_cast(t[2], a, false) || !nb::try_cast(t[3], b, false))
            throw nb::type_error((name + ": the levels must be C-contiguous int64 1-D arrays").c_str());
        if (!nb::try_cast(t[4], w, false))
            throw nb::type_error((name + ": the weights must be a C-contiguous float64 1-D array").c_str());
        if (a.shape(0) != b.shape(0) || a.shape(0) != w.shape(0))
            throw nb::value_error((name + ": levels and weights differ in length").c_str());
        check_levels(name + " level_f", a.data(), a.shape(0), in.G[f]);
        check_levels(name + " level_g", b.data(), b.shape(0), in.G[g]);
        check_values(name + " weight", w.data(), w.shape(0), true);
        in.pairs.push_back({static_cast<int>(f), static_cast<int>(g), a.data(), b.data(), w.data(),
                            static_cast<int64_t>(a.shape(0))});
        keep_levels.push_back(a);
        keep_levels.push_back(b);
        keep_weights.push_back(w);
    }
    if (in.pairs.size() != F * (F - 1) / 2)
        throw nb::value_error(("pairs holds " + std::to_string(in.pairs.size()) + " pairs; " + std::to_string(F) +
                               " fixed effects need all " + std::to_string(F * (F - 1) / 2))
                                  .c_str());
    std::vector<double *> out;
    nb::list alphas = coefficient_arrays(in, K, out);
    const quarnet::DemeanOptions opt{tol, miniter, maxiter, verbose, n_threads};
    nb::dict report = coef_report(quarnet::COEF_PCG_cells(in, K, out, opt, mode, quarnet::ProgressFn(python_progress),
                                                          quarnet::NoteFn(python_note)));
    return nb::make_tuple(alphas, report);
}

// The rows sorted by the levels of fixed effect `segment`: segment_rows (G_segment,) int64
// rows per level, levels[f] (N,) the level of each row of every other effect, all uint16 or
// all uint32 (levels[segment] is None), w (N,) the rows' weights in that order or None.
nb::tuple coef_rows(nb::list counts, nb::list sums, ConstVector sumsq, int64_t segment, ConstLevels segment_rows,
                    nb::list levels, std::optional<Weights> w, double tol, int64_t miniter, int64_t maxiter,
                    int64_t verbose, int n_threads, const std::string &preconditioner) {
    using Narrow = Contiguous<const uint16_t, 1>;
    using Wide = Contiguous<const uint32_t, 1>;
    const quarnet::PairMode mode = pair_mode(preconditioner);
    check_thread_count(n_threads);
    int64_t N = 0;
    const int64_t F = static_cast<int64_t>(nb::len(counts));
    if (!(0 <= segment && segment < F))
        throw nb::value_error(("segment = " + std::to_string(segment) + " is not a fixed effect in [0, " +
                               std::to_string(F) + ")")
                                  .c_str());
    for (size_t g = 0; g < segment_rows.shape(0); ++g) {
        if (segment_rows(g) < 0)
            throw nb::value_error(("segment_rows[" + std::to_string(g) + "] = " + std::to_string(segment_rows(g)) +
                                   " must not be negative")
                                      .c_str());
        N += segment_rows(g);
    }
    quarnet::CellInput in = aggregate_input(counts, sums, sumsq, N);
    const int64_t K = static_cast<int64_t>(sumsq.shape(0));
    if (static_cast<int64_t>(segment_rows.shape(0)) != in.G[segment])
        throw nb::value_error(("segment_rows has " + std::to_string(segment_rows.shape(0)) + " entries; fixed effect " +
                               std::to_string(segment) + " has " + std::to_string(in.G[segment]) + " levels")
                                  .c_str());
    if (static_cast<int64_t>(nb::len(levels)) != F)
        throw nb::value_error(("levels has " + std::to_string(nb::len(levels)) + " entries, counts " +
                               std::to_string(F))
                                  .c_str());
    quarnet::RowInput rows;
    rows.segment = static_cast<int>(segment);
    rows.segment_rows = segment_rows.data();
    rows.levels.assign(static_cast<size_t>(F), nullptr);
    int narrow = -1;  // not known before the first array
    for (int64_t f = 0; f < F; ++f) {
        if (f == segment) continue;
        const std::string name = "levels[" + std::to_string(f) + "]";
        Narrow a16;
        Wide a32;
        const bool is16 = nb::try_cast(levels[f], a16, false);
        if (!is16 && !nb::try_cast(levels[f], a32, false))
            throw nb::type_error((name + " must be a C-contiguous uint16 or uint32 1-D array").c_str());
        if (narrow >= 0 && narrow != static_cast<int>(is16))
            throw nb::type_error((name + " is " + (is16 ? "uint16" : "uint32") +
                                  ": the levels of the other fixed effects must all be uint16 or all uint32")
                                     .c_str());
        narrow = is16;
        const size_t n = is16 ? a16.shape(0) : a32.shape(0);
        if (static_cast<int64_t>(n) != N)
            throw nb::value_error((name + " has " + std::to_string(n) + " rows; segment_rows sums to " +
                                   std::to_string(N))
                                      .c_str());
        if (is16)
            check_levels(name, a16.data(), n, in.G[f]);
        else
            check_levels(name, a32.data(), n, in.G[f]);
        rows.levels[f] = is16 ? static_cast<const void *>(a16.data()) : static_cast<const void *>(a32.data());
    }
    rows.narrow = narrow != 0;
    if (w) {
        if (static_cast<int64_t>(w->shape(0)) != N)
            throw nb::value_error(("w has length " + std::to_string(w->shape(0)) + "; segment_rows sums to " +
                                   std::to_string(N))
                                      .c_str());
        check_values("w", w->data(), w->shape(0), true);
        rows.w = w->data();
    }
    std::vector<double *> out;
    nb::list alphas = coefficient_arrays(in, K, out);
    const quarnet::DemeanOptions opt{tol, miniter, maxiter, verbose, n_threads};
    nb::dict report = coef_report(quarnet::COEF_PCG_rows(in, rows, K, out, opt, mode,
                                                         quarnet::ProgressFn(python_progress),
                                                         quarnet::NoteFn(python_note)));
    return nb::make_tuple(alphas, report);
}

nb::dict coef_demean(Matrix x, std::optional<Weights> w, nb::handle A_given, double tol, int64_t miniter,
                     int64_t maxiter, int64_t verbose, int n_threads, const std::string &preconditioner) {
    const quarnet::PairMode mode = pair_mode(preconditioner);
    check_thread_count(n_threads);
    nb::module_ np = nb::module_::import_("numpy");
    if (nb::isinstance(A_given, np.attr("ndarray")) && !A_given.attr("dtype").equal(np.attr("dtype")("O"))) {
        const nb::object A = freezable(A_given);
        IdArray<int64_t> wide;
        IdArray<int32_t> narrow;
        const bool is_wide = nb::try_cast(A, wide, false);
        if (!is_wide && !nb::try_cast(A, narrow, false))
            throw nb::type_error(("A must be the group index (a numpy object array) or a 2-D int64 or int32 array of "
                                  "level ids, got an array of dtype " +
                                  std::string(nb::repr(A.attr("dtype")).c_str()) + " and shape " +
                                  std::string(nb::repr(A.attr("shape")).c_str()))
                                     .c_str());
        check_weights_of(x, w);
        const quarnet::IdColumns ids = is_wide ? id_columns(wide, x) : id_columns(narrow, x);
        check_weights(w);
        const FrozenArray frozen(A);
        const quarnet::DemeanOptions opt{tol, miniter, maxiter, verbose, n_threads};
        return coef_report(quarnet::COEF_PCG_demean(
            x.data(), static_cast<int64_t>(x.shape(0)), static_cast<int64_t>(x.shape(1)), w ? w->data() : nullptr, ids,
            opt, mode, quarnet::ProgressFn(python_progress), quarnet::NoteFn(python_note)));
    }
    const FixedEffects fes = demeaning_index(x, w, A_given);
    check_weights(w);
    const FrozenIndex frozen(A_given);
    const quarnet::DemeanOptions opt{tol, miniter, maxiter, verbose, n_threads};
    const quarnet::CoefOutcome outcome =
        quarnet::COEF_PCG_demean(x.data(), static_cast<int64_t>(x.shape(0)), static_cast<int64_t>(x.shape(1)),
                                 w ? w->data() : nullptr, fes.views, opt, mode, quarnet::ProgressFn(python_progress),
                                 quarnet::NoteFn(python_note));
    return coef_report(outcome);
}

// Fixed effects with varying slopes: level ids as for COEF_PCG_demean (an N x F int64 array),
// per effect whether it has an intercept and its slope variables (an N x S float64 array, or
// None for none). Returns the coefficients of every effect (G_f x (intercept + S_f) x K) and
// the report, with the level coefficients the factor of each level block left out.
nb::tuple coef_slopes(Matrix x, std::optional<Weights> w, nb::handle A_given, nb::list intercepts, nb::list slopes,
                      double tol, int64_t miniter, int64_t maxiter, int64_t verbose, int n_threads) {
    check_thread_count(n_threads);
    const nb::object A = freezable(A_given);
    IdArray<int64_t> ids;
    if (!nb::try_cast(A, ids, false))
        throw nb::type_error(("A must be a 2-D int64 array of level ids, got " + std::string(nb::repr(A).c_str()).substr(0, 80))
                                 .c_str());
    const int64_t N = static_cast<int64_t>(x.shape(0)), K = static_cast<int64_t>(x.shape(1));
    check_weights_of(x, w);
    check_weights(w);
    const quarnet::IdColumns columns = id_columns(ids, x);
    const size_t F = columns.G.size();
    if (nb::len(intercepts) != F || nb::len(slopes) != F)
        throw nb::value_error(("intercepts and slopes need one entry per fixed effect (" + std::to_string(F) +
                               "), got " + std::to_string(nb::len(intercepts)) + " and " +
                               std::to_string(nb::len(slopes)))
                                  .c_str());
    quarnet::SlopeEffects fe;
    fe.ids = static_cast<const int64_t *>(columns.data);
    fe.row_stride = columns.row_stride;
    fe.col_stride = columns.col_stride;
    fe.G = columns.G;
    std::vector<Contiguous<const double, 2>> held;
    for (size_t f = 0; f < F; ++f) {
        fe.intercept.push_back(nb::cast<bool>(intercepts[f]));
        nb::handle given = slopes[f];
        if (given.is_none()) {
            fe.S.push_back(0);
            fe.slopes.push_back(nullptr);
            continue;
        }
        Contiguous<const double, 2> values;
        if (!nb::try_cast(given, values, false))
            throw nb::type_error(("slopes[" + std::to_string(f) +
                                  "] must be None or a C-contiguous 2-D float64 array (rows x variables)")
                                     .c_str());
        if (static_cast<int64_t>(values.shape(0)) != N)
            throw nb::value_error(("slopes[" + std::to_string(f) + "] has " + std::to_string(values.shape(0)) +
                                   " rows, x has " + std::to_string(N))
                                      .c_str());
        const double *v = values.data();
        for (size_t e = 0; e < values.size(); ++e)
            if (!std::isfinite(v[e]))
                throw nb::value_error(("slopes[" + std::to_string(f) + "] has the non-finite value " +
                                       std::to_string(v[e]) + " in row " + std::to_string(e / values.shape(1)))
                                          .c_str());
        held.push_back(values);
        fe.S.push_back(static_cast<int64_t>(values.shape(1)));
        fe.slopes.push_back(values.data());
    }
    nb::module_ np = nb::module_::import_("numpy");
    int64_t total = 0;
    for (size_t f = 0; f < F; ++f) total += fe.G[f] * fe.width(static_cast<int64_t>(f));
    nb::object flat = np.attr("zeros")(nb::make_tuple(total, K), "dtype"_a = np.attr("float64"));
    double *alpha = nb::cast<Matrix>(flat).data();
    const FrozenArray frozen(A);
    const quarnet::DemeanOptions opt{tol, miniter, maxiter, verbose, n_threads};
    const quarnet::SlopeOutcome outcome = quarnet::COEF_PCG_slopes(x.data(), N, K, w ? w->data() : nullptr, fe, alpha,
                                                                   opt, quarnet::ProgressFn(python_progress));
    nb::dict report = coef_report(outcome.solve);
    nb::list dropped, alphas;
    int64_t start = 0;
    for (size_t f = 0; f < F; ++f) {
        const int64_t p = fe.width(static_cast<int64_t>(f));
        dropped.append(outcome.dropped.empty() ? 0 : outcome.dropped[f]);
        alphas.append(flat[nb::slice(start, start + fe.G[f] * p)].attr("reshape")(fe.G[f], p, K));
        start += fe.G[f] * p;
    }
    report["dropped"] = dropped;
    return nb::make_tuple(alphas, report);
}

template <Method method>
Matrix demean(Matrix x, std::optional<Weights> w, nb::handle A, double tol, int64_t miniter,
              int64_t maxiter, int64_t verbose, int n_threads) {
    run_demeaning<method>(x, w, A, tol, miniter, maxiter, verbose, n_threads);
    return x;
}

template <class T>
quarnet::Strided2D<T> strided(const Strided<std::remove_const_t<T>, 2> &a) {
    return {a.data(), static_cast<int64_t>(a.shape(0)), static_cast<int64_t>(a.shape(1)), a.stride(0),
            a.stride(1)};
}


// The bytes a 1-D array of any stride spans, from its lowest address.
template <class A>
std::pair<const void *, size_t> span_of(const A &a) {
    using T = std::remove_const_t<typename A::Scalar>;
    if (a.shape(0) == 0) return {a.data(), 0};
    const int64_t reach = (static_cast<int64_t>(a.shape(0)) - 1) * a.stride(0);
    const T *low = a.data() + std::min<int64_t>(reach, 0);
    return {low, (static_cast<size_t>(std::abs(reach)) + 1) * sizeof(T)};
}

using Rows = std::optional<Contiguous<const int64_t, 1>>;

// Every row position in [0, n): the passes follow them without bounds checks.
void check_rows(const Rows &rows, int64_t n, const std::string &what) {
    if (!rows) return;
    const int64_t *r = rows->data();
    for (size_t i = 0; i < rows->shape(0); ++i)
        if (r[i] < 0 || r[i] >= n)
            quarnet::reject("rows[" + std::to_string(i) + "] = " + std::to_string(r[i]) + " is not a row of " + what +
                            " (0 .. " + std::to_string(n - 1) + ")");
}

// dense_codes for values of type V into codes of type Out; the counts, or None when the
// values span more than 4 per row (out is then untouched).
template <class V, class Out>
nb::object dense_codes(Strided<const V, 1> values, Rows rows, Contiguous<Out, 1> out, int n_threads) {
    check_thread_count(n_threads);
    const int64_t n = rows ? static_cast<int64_t>(rows->shape(0)) : static_cast<int64_t>(values.shape(0));
    if (static_cast<int64_t>(out.shape(0)) != n)
        quarnet::reject("out has " + std::to_string(out.shape(0)) + " entries for " + std::to_string(n) + " rows read");
    if (n - 1 > static_cast<int64_t>(std::numeric_limits<Out>::max()))
        quarnet::reject("out: " + std::to_string(n) + " rows need codes wider than " +
                        std::to_string(8 * sizeof(Out)) + " bits");
    const auto [read, read_bytes] = span_of(values);
    quarnet::check_no_overlap(out.data(), out.nbytes(), "out", read, read_bytes, "values");
    if (rows) quarnet::check_no_overlap(out.data(), out.nbytes(), "out", rows->data(), rows->nbytes(), "rows");
    check_rows(rows, static_cast<int64_t>(values.shape(0)), "values");
    const quarnet::IntegerColumn<V> column{values.data(), values.stride(0), rows ? rows->data() : nullptr, n};
    std::vector<int64_t> counts;
    bool coded;
    {
        nb::gil_scoped_release release;
        coded = quarnet::dense_codes(column, out.data(), counts, n_threads);
    }
    if (!coded) return nb::none();
    nb::module_ np = nb::module_::import_("numpy");
    nb::object result = np.attr("empty")(counts.size(), "dtype"_a = np.attr("int64"));
    std::copy(counts.begin(), counts.end(), nb::cast<IdVector>(result).data());
    return result;
}

void fill_standardised(Matrix out, nb::list columns, Rows rows, Contiguous<const double, 1> centre,
                       Contiguous<const double, 1> inverse, int n_threads) {
    check_thread_count(n_threads);
    const size_t K = out.shape(1);
    const int64_t N = static_cast<int64_t>(out.shape(0));
    if (nb::len(columns) != K || centre.shape(0) != K || inverse.shape(0) != K)
        quarnet::reject("out has " + std::to_string(K) + " columns, columns " + std::to_string(nb::len(columns)) +
                        ", centre " + std::to_string(centre.shape(0)) + " and inverse " +
                        std::to_string(inverse.shape(0)) + " entries");
    quarnet::check_no_overlap(out.data(), out.nbytes(), "out", centre.data(), centre.nbytes(), "centre");
    quarnet::check_no_overlap(out.data(), out.nbytes(), "out", inverse.data(), inverse.nbytes(), "inverse");
    if (rows) {
        if (static_cast<int64_t>(rows->shape(0)) != N)
            quarnet::reject("rows has " + std::to_string(rows->shape(0)) + " entries, out " + std::to_string(N) +
                            " rows");
        quarnet::check_no_overlap(out.data(), out.nbytes(), "out", rows->data(), rows->nbytes(), "rows");
    }
    quarnet::DoubleColumns views;
    views.rows = rows ? rows->data() : nullptr;
    std::vector<Strided<const double, 1>> held;
    int64_t length = -1;
    for (size_t j = 0; j < K; ++j) {
        const std::string name = "columns[" + std::to_string(j) + "]";
        if (columns[j].is_none()) {
            views.data.push_back(nullptr);
            views.stride.push_back(0);
            continue;
        }
        Strided<const double, 1> column;
        if (!nb::try_cast(columns[j], column, false))
            throw nb::type_error((name + " must be None or a 1-D float64 array").c_str());
        const int64_t L = static_cast<int64_t>(column.shape(0));
        if (length >= 0 && L != length)
            quarnet::reject(name + " has " + std::to_string(L) + " rows, the columns before it " +
                            std::to_string(length));
        if (!rows && L != N)
            quarnet::reject(name + " has " + std::to_string(L) + " rows, out " + std::to_string(N));
        length = L;
        const auto [read, read_bytes] = span_of(column);
        quarnet::check_no_overlap(out.data(), out.nbytes(), "out", read, read_bytes, name);
        views.data.push_back(column.data());
        views.stride.push_back(column.stride(0));
        held.push_back(column);
    }
    if (length >= 0) check_rows(rows, length, "the columns");
    nb::gil_scoped_release release;
    quarnet::fill_standardised(out.data(), N, views, centre.data(), inverse.data(), n_threads);
}

quarnet::Strided2D<const double> read_view(const Strided<const double, 2> &a) {
    return {a.data(), static_cast<int64_t>(a.shape(0)), static_cast<int64_t>(a.shape(1)), a.stride(0), a.stride(1)};
}

// Rejects a written array that shares memory with the bytes a 2-D view of any strides reaches.
void check_not_written(const void *written, size_t written_bytes, const std::string &written_name,
                       const quarnet::Strided2D<const double> &view, const std::string &name) {
    if (view.rows == 0 || view.cols == 0) return;
    int64_t low = 0, high = 0;  // element offsets from the data pointer
    for (const int64_t reach : {(view.rows - 1) * view.row_stride, (view.cols - 1) * view.col_stride})
        (reach < 0 ? low : high) += reach;
    quarnet::check_no_overlap(written, written_bytes, written_name, view.data + low,
                              static_cast<size_t>(high - low + 1) * sizeof(double), name);
}

// cluster_meat for ids of type Id: checks as calc_B's (shapes, ids in [0, G), no aliasing of
// result), then the sums without the GIL.
template <class Id>
void cluster_meat(Contiguous<double, 2> result, Strided<const double, 2> x, Strided<const double, 2> u,
                  Contiguous<const Id, 1> ids, int64_t G) {
    const int64_t K = static_cast<int64_t>(result.shape(0)), N = static_cast<int64_t>(x.shape(0));
    if (static_cast<int64_t>(result.shape(1)) != K)
        quarnet::reject("result is " + std::to_string(result.shape(0)) + " x " + std::to_string(result.shape(1)) +
                        ", a K x K matrix is needed");
    if (static_cast<int64_t>(x.shape(1)) < K + 1)
        quarnet::reject("x has " + std::to_string(x.shape(1)) + " columns, K + 1 = " + std::to_string(K + 1) +
                        " are needed");
    if (u.shape(1) < 1) quarnet::reject("u has no column");
    if (static_cast<int64_t>(u.shape(0)) != N || static_cast<int64_t>(ids.shape(0)) != N)
        quarnet::reject("x has " + std::to_string(N) + " rows, u " + std::to_string(u.shape(0)) + " and ids " +
                        std::to_string(ids.shape(0)));
    if (G < 0) quarnet::reject("G = " + std::to_string(G) + " must not be negative");
    for (int64_t i = 0; i < N; ++i)
        if (ids.data()[i] < 0 || ids.data()[i] >= G)
            quarnet::reject("ids[" + std::to_string(i) + "] = " + std::to_string(ids.data()[i]) + " is not in [0, " +
                            std::to_string(G) + ")");
    const quarnet::Strided2D<const double> x_view = read_view(x), u_view = read_view(u);
    check_not_written(result.data(), result.nbytes(), "result", x_view, "x");
    check_not_written(result.data(), result.nbytes(), "result", u_view, "u");
    quarnet::check_no_overlap(result.data(), result.nbytes(), "result", ids.data(), ids.nbytes(), "ids");
    const quarnet::Strided2D<double> out{result.data(), K, K, K, 1};
    nb::gil_scoped_release release;
    quarnet::cluster_meat(out, x_view, u_view, ids.data(), G, K);
}

// The reweighted least squares' row passes (glmpasses.hpp): shapes and aliasing checked
// here, then the pass without the GIL.
using Column = Contiguous<const double, 1>;

// One array a binding reads or writes, for check_apart (data null: an argument not given).
struct Buffer {
    const void *data;
    size_t bytes;
    const char *name;
};

template <class A>
Buffer buffer(const A &a, const char *name) {
    return {a.data(), a.nbytes(), name};
}

template <class A>
Buffer buffer(const std::optional<A> &a, const char *name) {
    return a ? buffer(*a, name) : Buffer{nullptr, 0, name};
}

// Rejects a written array that shares memory with another written one or with one the call
// reads: the passes would read values they have already overwritten.
void check_apart(std::initializer_list<Buffer> written, std::initializer_list<Buffer> read) {
    for (auto a = written.begin(); a != written.end(); ++a) {
        for (auto b = a + 1; b != written.end(); ++b)
            quarnet::check_no_overlap(a->data, a->bytes, a->name, b->data, b->bytes, b->name);
        for (const Buffer &b : read)
            if (b.data != nullptr) quarnet::check_no_overlap(a->data, a->bytes, a->name, b.data, b.bytes, b.name);
    }
}

void check_length(size_t n, int64_t N, const std::string &name) {
    if (static_cast<int64_t>(n) != N)
        quarnet::reject(name + " has " + std::to_string(n) + " entries, the block " + std::to_string(N) + " rows");
}

nb::tuple log_link_predict(Vector eta, Vector mu, Contiguous<const double, 2> block, Column coef, Column z,
                           std::optional<Column> offset, Column wy, std::optional<Column> w, int n_threads) {
    check_thread_count(n_threads);
    const int64_t N = static_cast<int64_t>(block.shape(0)), K = static_cast<int64_t>(block.shape(1));
    check_length(coef.shape(0), K, "coef");  // one per column
    check_length(eta.shape(0), N, "eta");
    check_length(mu.shape(0), N, "mu");
    check_length(z.shape(0), N, "z");
    check_length(wy.shape(0), N, "wy");
    if (offset) check_length(offset->shape(0), N, "offset");
    if (w) check_length(w->shape(0), N, "w");
    check_apart({buffer(eta, "eta"), buffer(mu, "mu")},
                {buffer(block, "block"), buffer(coef, "coef"), buffer(z, "z"), buffer(wy, "wy"),
                 buffer(offset, "offset"), buffer(w, "w")});
    const quarnet::LogLinkRows rows{block.data(), K, coef.data(), z.data(), offset ? offset->data() : nullptr,
                                    wy.data(), w ? w->data() : nullptr};
    std::pair<double, double> sums;
    {
        nb::gil_scoped_release release;
        sums = quarnet::log_link_predict(eta.data(), mu.data(), N, rows, n_threads);
    }
    return nb::make_tuple(sums.first, sums.second);
}

void log_link_rework(Vector z, Matrix block, Column y, Column eta, Column mu, std::optional<Column> offset,
                     double inverse_size, int n_threads) {
    check_thread_count(n_threads);
    const int64_t N = static_cast<int64_t>(block.shape(0)), K = static_cast<int64_t>(block.shape(1));
    if (K < 1) quarnet::reject("block has no column");
    check_length(z.shape(0), N, "z");
    check_length(y.shape(0), N, "y");
    check_length(eta.shape(0), N, "eta");
    check_length(mu.shape(0), N, "mu");
    if (offset) check_length(offset->shape(0), N, "offset");
    check_apart({buffer(z, "z"), buffer(block, "block")},
                {buffer(y, "y"), buffer(eta, "eta"), buffer(mu, "mu"), buffer(offset, "offset")});
    nb::gil_scoped_release release;
    quarnet::log_link_rework(z.data(), block.data(), K, N, y.data(), eta.data(), mu.data(),
                             offset ? offset->data() : nullptr, inverse_size, n_threads);
}

void weighted_cross_products(Contiguous<double, 2> gram, Strided<const double, 2> x, std::optional<Column> w,
                             int n_threads) {
    check_thread_count(n_threads);
    const int64_t N = static_cast<int64_t>(x.shape(0)), K = static_cast<int64_t>(x.shape(1));
    if (K > quarnet::widest_cross_products)
        quarnet::reject("x has " + std::to_string(K) + " columns; at most " +
                        std::to_string(quarnet::widest_cross_products) + " are taken");
    if (static_cast<int64_t>(gram.shape(0)) != K || static_cast<int64_t>(gram.shape(1)) != K)
        quarnet::reject("gram is " + std::to_string(gram.shape(0)) + " x " + std::to_string(gram.shape(1)) +
                        ", x has " + std::to_string(K) + " columns");
    if (w) check_length(w->shape(0), N, "w");
    const quarnet::Strided2D<const double> view = read_view(x);
    check_not_written(gram.data(), gram.nbytes(), "gram", view, "x");
    if (w) quarnet::check_no_overlap(gram.data(), gram.nbytes(), "gram", w->data(), w->nbytes(), "w");
    nb::gil_scoped_release release;
    quarnet::weighted_cross_products(gram.data(), view, w ? w->data() : nullptr, n_threads);
}

// bipartite_components for heads of type H: shapes and ids checked, then the search
// without the GIL into a fresh array.
template <class H>
nb::object bipartite_components(Contiguous<const H, 1> heads, Contiguous<const int64_t, 1> tails, int64_t levels,
                                int64_t keys, std::optional<Contiguous<const bool, 1>> mask) {
    const int64_t n = static_cast<int64_t>(heads.shape(0));
    if (levels < 0 || keys < 0)
        quarnet::reject("levels = " + std::to_string(levels) + " and keys = " + std::to_string(keys) +
                        " must not be negative");
    if (static_cast<int64_t>(tails.shape(0)) != n)
        quarnet::reject("tails has " + std::to_string(tails.shape(0)) + " entries, heads " + std::to_string(n));
    if (mask && static_cast<int64_t>(mask->shape(0)) != n)
        quarnet::reject("mask has " + std::to_string(mask->shape(0)) + " entries, heads " + std::to_string(n));
    const bool *m = mask ? mask->data() : nullptr;
    for (int64_t i = 0; i < n; ++i) {
        if (m != nullptr && !m[i]) continue;
        const int64_t h = static_cast<int64_t>(heads.data()[i]), t = tails.data()[i];
        if (h < 0 || h >= levels)
            quarnet::reject("heads[" + std::to_string(i) + "] = " + std::to_string(h) + " is not in [0, " +
                            std::to_string(levels) + ")");
        if (t < 0 || t >= keys)
            quarnet::reject("tails[" + std::to_string(i) + "] = " + std::to_string(t) + " is not in [0, " +
                            std::to_string(keys) + ")");
    }
    nb::module_ np = nb::module_::import_("numpy");
    nb::object out = np.attr("empty")(levels + keys, "dtype"_a = np.attr("int64"));
    int64_t *labels = nb::cast<IdVector>(out).data();
    {
        nb::gil_scoped_release release;
        quarnet::bipartite_components(heads.data(), tails.data(), reinterpret_cast<const uint8_t *>(m), n, levels,
                                      keys, labels);
    }
    return out;
}

// zero_groups for ids of type Id: the ids checked (non-negative; their levels counted)
// before any write, then the passes without the GIL into a fresh bool array.
template <class Id>
nb::object zero_groups(Column y, Strided<const Id, 2> ids, int n_threads) {
    check_thread_count(n_threads);
    const int64_t N = static_cast<int64_t>(ids.shape(0)), F = static_cast<int64_t>(ids.shape(1));
    check_length(y.shape(0), N, "y");
    const quarnet::Strided2D<const Id> view{ids.data(), N, F, ids.stride(0), ids.stride(1)};
    std::vector<int64_t> G(static_cast<size_t>(F), 0);
    for (int64_t f = 0; f < F; ++f) {
        // the range in parallel; the first negative id, for the message, only when there is one
        int64_t low = 0, high = -1;
        {
            nb::gil_scoped_release release;
#pragma omp parallel for schedule(static) reduction(min : low) reduction(max : high) \
    num_threads(quarnet::team_size(n_threads, N))
            for (int64_t i = 0; i < N; ++i) {
                const int64_t v = static_cast<int64_t>(view(i, f));
                low = std::min(low, v);
                high = std::max(high, v);
            }
        }
        if (low < 0)
            for (int64_t i = 0; i < N; ++i)
                if (view(i, f) < 0)
                    quarnet::reject("ids[" + std::to_string(i) + ", " + std::to_string(f) + "] = " +
                                    std::to_string(static_cast<int64_t>(view(i, f))) +
                                    ": level ids must be non-negative");
        G[static_cast<size_t>(f)] = high + 1;
    }
    nb::module_ np = nb::module_::import_("numpy");
    nb::object out = np.attr("empty")(N, "dtype"_a = np.attr("bool_"));
    uint8_t *mask = reinterpret_cast<uint8_t *>(nb::cast<Contiguous<bool, 1>>(out).data());
    {
        nb::gil_scoped_release release;
        quarnet::zero_groups(mask, y.data(), view, G.data(), n_threads);
    }
    return out;
}

}  // namespace

// One sample's level ids held for many coefficient solves (quarnet::CoefSession): the ids
// are checked once, and the array is kept alive by the session (it must not change).
class CoefSessionBinding {
   public:
    explicit CoefSessionBinding(nb::handle given) {
        nb::module_ np = nb::module_::import_("numpy");
        // The ids are read-only during each call (FrozenArray): ids that could not be made
        // writable again are copied instead (the session's own, which nothing else writes).
        nb::object A = freezable(given);
        IdArray<int64_t> wide;
        IdArray<int32_t> narrow;
        const bool is_wide = nb::isinstance(A, np.attr("ndarray")) && nb::try_cast(A, wide, false);
        if (!is_wide && !(nb::isinstance(A, np.attr("ndarray")) && nb::try_cast(A, narrow, false)))
            throw nb::type_error(("A must be a 2-D int64 or int32 array of level ids, got " +
                                  std::string(nb::repr(A).c_str()).substr(0, 80))
                                     .c_str());
        quarnet::IdColumns ids;
        if (is_wide) {
            ids.data = wide.data();
            ids.row_stride = wide.stride(0);
            ids.col_stride = wide.stride(1);
            add_level_counts(wide, ids);
        } else {
            ids.data = narrow.data();
            ids.row_stride = narrow.stride(0);
            ids.col_stride = narrow.stride(1);
            add_level_counts(narrow, ids);
        }
        ids.wide = is_wide;
        rows_ = static_cast<int64_t>(is_wide ? wide.shape(0) : narrow.shape(0));
        array_ = nb::borrow(A);
        session_ = std::make_unique<quarnet::CoefSession>(ids, rows_);
        ids_key_ = quarnet::ids_fingerprint(ids, rows_, omp_get_max_threads());
    }

    nb::dict demean(Matrix x, std::optional<Weights> w, double tol, int64_t miniter, int64_t maxiter, int64_t verbose,
                    int n_threads, const std::string &preconditioner) {
        const quarnet::PairMode mode = pair_mode(preconditioner);
        check_thread_count(n_threads);
        const auto start = std::chrono::steady_clock::now();
        const int threads = n_threads > 0 ? n_threads : omp_get_max_threads();
        const quarnet::IdColumns &ids = session_->ids();
        if (static_cast<int64_t>(x.shape(0)) != rows_)
            throw nb::value_error(("x has " + std::to_string(x.shape(0)) + " rows, the session's ids " +
                                   std::to_string(rows_))
                                      .c_str());
        check_weights_of(x, w);
        if (ids.wide)
            check_ids_apart(x, static_cast<const int64_t *>(ids.data), rows_, ids.columns(), ids.row_stride,
                            ids.col_stride);
        else
            check_ids_apart(x, static_cast<const int32_t *>(ids.data), rows_, ids.columns(), ids.row_stride,
                            ids.col_stride);
        const double *wp = w ? w->data() : nullptr;
        const double fingerprint_seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const FrozenArray frozen(array_);
        const quarnet::DemeanOptions opt{tol, miniter, maxiter, verbose, n_threads};
        quarnet::SessionReport extra;
        // The ids were checked when the session took them, and its layout was made from them;
        // the weights are checked (finite, non-negative) as the solve places them. The solve's
        // first pass forms the ids' fingerprint as it reads them: ids changed since (in place)
        // end it before it writes anything, and they are checked again and laid out afresh.
        auto run = [&] {
            quarnet::SessionChecks checks;
            checks.ids_key = ids_key_;
            const quarnet::CoefOutcome outcome =
                session_->demean(x.data(), static_cast<int64_t>(x.shape(1)), wp, opt, mode,
                                 quarnet::ProgressFn(python_progress), quarnet::NoteFn(python_note), &extra, &checks);
            if (checks.bad_weights) {
                // changed ids are reported first, as when they were checked before the weights
                if (quarnet::ids_fingerprint(session_->ids(), rows_, threads) != ids_key_) renew();
                check_weights(w);
            }
            return std::make_pair(outcome, checks.ids_changed);
        };
        auto [outcome, ids_changed] = run();
        if (ids_changed) {
            renew();
            std::tie(outcome, ids_changed) = run();
            if (ids_changed) throw nb::value_error("A changed while the session demeaned x");
        }
        nb::dict report = coef_report(outcome);
        nb::list reused;
        for (const std::string &item : extra.reused) reused.append(item);
        report["reused"] = reused;
        // the ids and weights recognised too
        report["setup_seconds"] = extra.setup_seconds + fingerprint_seconds;
        report["build_seconds"] = extra.build_seconds;
        report["solve_seconds"] = extra.solve_seconds;
        return report;
    }

    int64_t rows() const { return rows_; }
    // A fresh session over the ids as they are now (checked again; raises for invalid ids).
    void renew() {
        CoefSessionBinding fresh(array_);
        std::swap(session_, fresh.session_);
        ids_key_ = fresh.ids_key_;
    }
    nb::list levels() const {
        nb::list out;
        for (int64_t g : session_->ids().G) out.append(g);
        return out;
    }

   private:
    nb::object array_;
    int64_t rows_ = 0;
    uint64_t ids_key_ = 0;
    std::unique_ptr<quarnet::CoefSession> session_;
};

// The GIL. panelsetup, calc_B, counting_sort and pair_ranks release it while they
// compute: they work on array views alone (nanobind holds the arrays for the whole call;
// counting_sort and pair_ranks allocate their results before they release it). The
// driver relies on that to run them side by side in Python threads: the covariance
// (vantrel/tolvane/covariance.py) computes the meat of each cluster subset in its own
// thread (counting sort, panelsetup, calc_B), and make_pointer (vantrel/backend/morlisk.py)
// sorts several id columns at once. pair_ranks, which the driver's id combination calls
// from one thread, releases it too, so that other Python threads run during a long sort.
// dense_codes and fill_standardised (the row passes) release it for the same reason, after
// their checks; they run their own OpenMP threads and allocate dense_codes' counts after.
// cluster_meat, calc_B's sums without the sort, releases it as calc_B does, for the same
// cluster subsets side by side. The reweighted least squares' passes (log_link_predict,
// log_link_rework, weighted_cross_products, zero_groups) and bipartite_components release it too: they
// touch only array views.
// Every other function keeps the GIL throughout: the screening functions are
// single-threaded passes over the fixed-effect table's objects; the demeaning functions
// make the index read-only through numpy, poll for signals and print progress through
// Python between iterations, and only their OpenMP workers, which touch no Python object,
// run in parallel.
NB_MODULE(quarnet, m) {
    m.doc() = "Absorption kernel: group indexes, demeaning, screening and cluster cross-products.";
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("widest_cross_products") = quarnet::widest_cross_products;

    m.def(
        "panelsetup",
        [](IdMatrix result, IdVector x, int64_t N, int64_t N2) {
            quarnet::panelsetup(result.data(), static_cast<int64_t>(result.shape(0)),
                                static_cast<int64_t>(result.shape(1)), x.data(),
                                static_cast<int64_t>(x.shape(0)), N, N2);
        },
        "result"_a.noconvert(), "x"_a.noconvert(), "N"_a, "N2"_a, nb::call_guard<nb::gil_scoped_release>(),
        "Fill the [start, end] table `result` (N2 x 2, zero-filled) of the sorted ids x[0:N].");

    m.def(
        "drop_singletons",
        [](Vector x, nb::handle A, IdVector touse) {
            const FixedEffects fes = screening_index(x, A, touse);
            if (!quarnet::drop_singletons(static_cast<int64_t>(x.shape(0)), fes.views, touse.data()))
                throw nb::value_error("All obs can be explained by fe");
            return touse;
        },
        "x"_a.noconvert(), "A"_a, "touse"_a.noconvert(),
        "Drop observations that can be fully explained by fixed effects, that is a single "
        "observation per group.");

    m.def(
        "sep",
        [](Vector x, nb::handle A, IdVector touse) {
            const FixedEffects fes = screening_index(x, A, touse);
            if (!quarnet::sep(x.data(), static_cast<int64_t>(x.shape(0)), fes.views, touse.data()))
                throw nb::value_error("All obs can be explained by fe");
            return touse;
        },
        "x"_a.noconvert(), "A"_a, "touse"_a.noconvert(),
        "Drop separated values, that is groups without variation in the dependent variable.");

    m.def(
        "calc_B",
        [](Strided<double, 2> result, Strided<double, 2> x, Strided<double, 2> u,
           Strided<int64_t, 1> sortvec, Strided<int64_t, 2> panelmat, int64_t N_panelmat, int64_t K) {
            quarnet::check_panelmat_shape(static_cast<int64_t>(panelmat.shape(0)),
                                          static_cast<int64_t>(panelmat.shape(1)), N_panelmat, "panelmat",
                                          "N_panelmat");
            quarnet::GroupIndex index{sortvec.data(), static_cast<int64_t>(sortvec.shape(0)),
                                      panelmat.data(), N_panelmat, "sortvec", "panelmat",
                                      sortvec.stride(0), panelmat.stride(0), panelmat.stride(1)};
            quarnet::calc_B(strided<double>(result), strided<const double>(x), strided<const double>(u),
                            index, K);
        },
        "result"_a.noconvert(), "x"_a.noconvert(), "u"_a.noconvert(), "sortvec"_a.noconvert(),
        "panelmat"_a.noconvert(), "N_panelmat"_a, "K"_a,
        // only array views inside: the driver computes the meats of several cluster subsets at once
        nb::call_guard<nb::gil_scoped_release>(),
        "Return the \"meat\" of the cluster robust covariance sandwich estimate, given by "
        "\\sum_{g=1}^{G} X_g' u_g u_g' X_g.");

    m.def("MAP_NH_noaccel", &demean<quarnet::MAP_NH_noaccel>, "x"_a.noconvert(), "w"_a.noconvert().none(),
          "A"_a, "tol"_a, "miniter"_a, "maxiter"_a, "verbose"_a, "n_threads"_a,
          "Partial the fixed effects of A out of the columns of x in place by alternating projections.");

    m.def("MAP_NH_CG_accel", &demean<quarnet::MAP_NH_CG_accel>, "x"_a.noconvert(),
          "w"_a.noconvert().none(), "A"_a, "tol"_a, "miniter"_a, "maxiter"_a, "verbose"_a, "n_threads"_a,
          "Partial the fixed effects of A out of the columns of x in place by conjugate gradients "
          "on the symmetric sweep.");

    m.def("COEF_PCG_demean", &coef_demean, "x"_a.noconvert(), "w"_a.noconvert().none(), "A"_a, "tol"_a,
          "miniter"_a, "maxiter"_a, "verbose"_a, "n_threads"_a, "preconditioner"_a = "auto",
          "Partial the fixed effects of A out of the columns of x in place by preconditioned conjugate "
          "gradients on the normal equations of the fixed-effect coefficients; returns a dict with the "
          "iterations made, the preconditioner used and why.");

    nb::class_<CoefSessionBinding>(
        m, "CoefSession",
        "One sample's fixed effects (A: N x F int64 or int32 level ids, kept and never changed) for many "
        "solves of COEF_PCG_demean: each demean() gives that function's result to the last bit, while the "
        "layout of the rows, and for the weights of the last call the level counts and the preconditioners "
        "built, are kept for later calls.")
        .def(nb::init<nb::handle>(), "A"_a)
        .def("demean", &CoefSessionBinding::demean, "x"_a.noconvert(), "w"_a.noconvert().none(), "tol"_a,
             "miniter"_a, "maxiter"_a, "verbose"_a, "n_threads"_a, "preconditioner"_a = "auto",
             "COEF_PCG_demean(x, w, A, ...) on the session's A; the report adds what was reused and the "
             "seconds of set-up, preconditioner building and the rest of the solve.")
        .def_prop_ro("n_rows", &CoefSessionBinding::rows)
        .def_prop_ro("levels", &CoefSessionBinding::levels);

    m.def("COEF_PCG_slopes", &coef_slopes, "x"_a.noconvert(), "w"_a.noconvert().none(), "A"_a, "intercepts"_a,
          "slopes"_a, "tol"_a, "miniter"_a, "maxiter"_a, "verbose"_a, "n_threads"_a,
          "Partial fixed effects with varying slopes out of the columns of x in place: A the N x F int64 "
          "level ids, intercepts whether each effect has its intercept, slopes each effect's N x S float64 "
          "slope variables (or None); conjugate gradients on the normal equations with every level's "
          "block exact in the preconditioner. Returns the coefficients of every effect (levels x "
          "(intercept + slopes) x K) and a dict of the iterations, preconditioner and dropped level "
          "coefficients.");

    m.def("COEF_PCG_cells", &coef_cells, "counts"_a, "sums"_a, "pairs"_a, "sumsq"_a.noconvert(), "N"_a, "tol"_a,
          "miniter"_a, "maxiter"_a, "verbose"_a, "n_threads"_a, "preconditioner"_a = "auto",
          "The coefficient solve of COEF_PCG_demean from aggregates: per fixed effect its weighted level "
          "counts and level sums of the K columns, per pair of fixed effects the cells of their "
          "cross-tabulation, and the columns' weighted sums of squares; returns the coefficients of every "
          "fixed effect (G_f x K arrays) and the report.");

    m.def("COEF_PCG_rows", &coef_rows, "counts"_a, "sums"_a, "sumsq"_a.noconvert(), "segment"_a,
          "segment_rows"_a.noconvert(), "levels"_a, "w"_a.noconvert().none(), "tol"_a, "miniter"_a, "maxiter"_a,
          "verbose"_a, "n_threads"_a, "preconditioner"_a = "auto",
          "COEF_PCG_cells with D'WD applied by passes over the rows instead of the pairs' cells, for "
          "cells too many to hold: the rows sorted by the levels of fixed effect `segment` (segment_rows "
          "rows per level), every other effect's level of each row in that order (uint16 or uint32), and "
          "their weights (or None); returns the coefficients of every fixed effect and the report.");

    // Row sorts by dense ids, for the group indexes (morlisk) and the driver's id columns.
    m.def(
        "counting_sort",
        [](Contiguous<const int64_t, 1> keys, int64_t n_groups) {
            nb::module_ np = nb::module_::import_("numpy");
            nb::object out = np.attr("empty")(keys.shape(0), "dtype"_a = np.attr("int64"));
            int64_t *positions = nb::cast<IdVector>(out).data();
            {
                // the sort touches no Python object: let the caller sort several id
                // columns at once from threads
                nb::gil_scoped_release release;
                quarnet::counting_sort(keys.data(), static_cast<int64_t>(keys.shape(0)), n_groups, positions);
            }
            return out;
        },
        "keys"_a.noconvert(), "n_groups"_a,
        "Row positions ordered by the dense keys in [0, n_groups), stable, in O(N + n_groups).");

    m.def(
        "pair_ranks",
        [](Contiguous<const int64_t, 1> a, int64_t G_a, Contiguous<const int64_t, 1> b, int64_t G_b) {
            if (a.shape(0) != b.shape(0))
                quarnet::reject("a and b differ in length: " + std::to_string(a.shape(0)) + " and " +
                                std::to_string(b.shape(0)));
            nb::module_ np = nb::module_::import_("numpy");
            nb::object ranks = np.attr("empty")(a.shape(0), "dtype"_a = np.attr("int64"));
            nb::object order = np.attr("empty")(a.shape(0), "dtype"_a = np.attr("int64"));
            int64_t *ranks_data = nb::cast<IdVector>(ranks).data(), *order_data = nb::cast<IdVector>(order).data();
            {
                nb::gil_scoped_release release;
                quarnet::pair_ranks(a.data(), G_a, b.data(), G_b, static_cast<int64_t>(a.shape(0)), ranks_data,
                                    order_data);
            }
            return nb::make_tuple(ranks, order);
        },
        "a"_a.noconvert(), "G_a"_a, "b"_a.noconvert(), "G_b"_a,
        "Dense lexicographic ids of the pairs (a, b) of dense ids, and the rows sorted by pair (stably).");

    // Passes over the rows of the estimation sample (rowpasses.hpp), in parallel.
    m.def("dense_codes", &dense_codes<int64_t, int32_t>, "values"_a.noconvert(), "rows"_a.noconvert().none(),
          "out"_a.noconvert(), "n_threads"_a,
          "Dense codes 0 .. G-1 (ascending value order) of the integers values[rows] into out; returns the rows "
          "per code, or None (out untouched) when the values span more than 4 per row.");
    m.def("dense_codes", &dense_codes<int64_t, int64_t>, "values"_a.noconvert(), "rows"_a.noconvert().none(),
          "out"_a.noconvert(), "n_threads"_a);
    m.def("dense_codes", &dense_codes<int32_t, int32_t>, "values"_a.noconvert(), "rows"_a.noconvert().none(),
          "out"_a.noconvert(), "n_threads"_a);
    m.def("dense_codes", &dense_codes<int32_t, int64_t>, "values"_a.noconvert(), "rows"_a.noconvert().none(),
          "out"_a.noconvert(), "n_threads"_a);
    m.def("fill_standardised", &fill_standardised, "out"_a.noconvert(), "columns"_a, "rows"_a.noconvert().none(),
          "centre"_a.noconvert(), "inverse"_a.noconvert(), "n_threads"_a,
          "Fill the row-major N x K block out with (columns[j][rows] - centre[j]) * inverse[j] (ones for a None "
          "column).");
    // The cluster score cross-products without sorting (rowpasses.hpp), one subset per call.
    m.def("cluster_meat", &cluster_meat<int64_t>, "result"_a.noconvert(), "x"_a.noconvert(), "u"_a.noconvert(),
          "ids"_a.noconvert(), "G"_a,
          "Write into result the meat sum_g X_g' u_g u_g' X_g of the clusters of the dense ids, the bits of calc_B "
          "over their sorted group index, without the sort.");
    m.def("cluster_meat", &cluster_meat<int32_t>, "result"_a.noconvert(), "x"_a.noconvert(), "u"_a.noconvert(),
          "ids"_a.noconvert(), "G"_a);
    // The reweighted least squares' row passes (glmpasses.hpp); they release the GIL.
    m.def("log_link_predict", &log_link_predict, "eta"_a.noconvert(), "mu"_a.noconvert(), "block"_a.noconvert(),
          "coef"_a.noconvert(), "z"_a.noconvert(), "offset"_a.noconvert().none(), "wy"_a.noconvert(),
          "w"_a.noconvert().none(), "n_threads"_a,
          "Write eta = block @ coef + z (+ offset) and mu = exp(eta); return (wy @ eta, sum of w * mu).");
    m.def("log_link_rework", &log_link_rework, "z"_a.noconvert(), "block"_a.noconvert(), "y"_a.noconvert(),
          "eta"_a.noconvert(), "mu"_a.noconvert(), "offset"_a.noconvert().none(), "inverse_size"_a, "n_threads"_a,
          "Replace z by the log link's working variable (y - mu) / mu + eta - offset, adding its change times "
          "inverse_size to the block's column 0.");
    m.def("weighted_cross_products", &weighted_cross_products, "gram"_a.noconvert(), "x"_a.noconvert(),
          "w"_a.noconvert().none(), "n_threads"_a,
          "Write x' W x (W = diag(w); None: x' x) of an N x K block (K <= 16) into gram, in the same bits for any "
          "number of threads.");
    // The separation certificate's links (idsort.hpp); releases the GIL.
    m.def("bipartite_components", &bipartite_components<int64_t>, "heads"_a.noconvert(), "tails"_a.noconvert(),
          "levels"_a, "keys"_a, "mask"_a.noconvert().none() = nb::none(),
          "Connected components of the bipartite graph with an edge heads[i] - (levels + tails[i]) for each row i "
          "(where mask): a label per node, the smallest node of its component.");
    m.def("bipartite_components", &bipartite_components<int32_t>, "heads"_a.noconvert(), "tails"_a.noconvert(),
          "levels"_a, "keys"_a, "mask"_a.noconvert().none() = nb::none());
    // The "fe" separation check (glmpasses.hpp); releases the GIL.
    m.def("zero_groups", &zero_groups<int64_t>, "y"_a.noconvert(), "ids"_a.noconvert(), "n_threads"_a,
          "The rows in a fixed-effect group (a column of the dense level ids) whose y is zero in every row.");
    m.def("zero_groups", &zero_groups<int32_t>, "y"_a.noconvert(), "ids"_a.noconvert(), "n_threads"_a);
}
