// What the bindings of the two extension modules share (module.cpp: quarnet; bench/hooks.cpp:
// the benchmark hooks): the array types they take, the fixed-effect table `A` and its checks,
// the read-only freeze of the group index during a demeaning, the progress callback, the
// thread-count limit, and the demeaning call that validates, runs and counts iterations.
// See module.cpp for the conventions of the Python-callable functions.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "demean.hpp"
#include "groupindex.hpp"

namespace quarnet::bindings {

namespace nb = nanobind;

template <class T, size_t D>
using Contiguous = nb::ndarray<T, nb::ndim<D>, nb::c_contig, nb::device::cpu>;
template <class T, size_t D>
using Strided = nb::ndarray<T, nb::ndim<D>, nb::device::cpu>;

using Matrix = Contiguous<double, 2>;
using Vector = Contiguous<double, 1>;
using Weights = Contiguous<const double, 1>;
using IdVector = Contiguous<int64_t, 1>;
using IdMatrix = Contiguous<int64_t, 2>;

// The arrays of the fixed-effect table `A`, held for the whole call, and their views.
struct FixedEffects {
    std::vector<IdVector> sortvecs;
    std::vector<IdMatrix> panelmats;
    std::vector<quarnet::GroupIndex> views;
};

// The demeaning functions check the group index once and then follow it without bounds
// checks, while Python code may run between iterations (a signal handler, the print of a
// progress line through a replaced sys.stdout). Such code could rewrite an index entry
// after the check and send the next pass out of bounds. For the duration of the call the
// index arrays are therefore read-only (numpy then refuses writes through them), and they
// are made writable again when the call ends, however it ends. Copying the index instead
// would cost 8 bytes per row and fixed effect; checking it again after every callback, a
// pass over it (about half a sweep at 1e7 rows) per iteration.
class FrozenIndex {
   public:
    explicit FrozenIndex(nb::handle A);
    ~FrozenIndex();
    FrozenIndex(const FrozenIndex &) = delete;
    FrozenIndex &operator=(const FrozenIndex &) = delete;

   private:
    std::vector<nb::object> frozen_;
};

// The screening functions follow sortvec into touse: entries in [0, N), groups inside sortvec.
FixedEffects screening_index(const Vector &x, nb::handle A, const IdVector &touse);

// The demeaning writes the rows of all groups in parallel, so besides the ranges every
// sortvec must be a permutation of the rows and the groups of one fixed effect disjoint.
// Checked once per call, not once per sweep.
FixedEffects demeaning_index(const Matrix &x, const std::optional<Weights> &w, nb::handle A);

// Progress goes through the interpreter's own print, so it interleaves with Python output
// and follows a redirected sys.stdout. Between iterations a pending Ctrl-C (or another
// signal whose handler raises) aborts the call with the matrix holding the last iterate.
void python_progress(quarnet::ProgressEvent event, int64_t count, double update_error);

// A thread count far above the machine's makes the OpenMP runtime allocate per-thread state
// for every thread it is asked for (and fail, or crash, for absurd counts): reject it.
void check_thread_count(int n_threads);

using Method = quarnet::DemeanOutcome (*)(double *, int64_t, int64_t, const double *,
                                         const std::vector<quarnet::GroupIndex> &,
                                         const quarnet::DemeanOptions &, const quarnet::ProgressFn &);

// Validates, runs the iteration and returns how many iterations it made.
template <Method method>
int64_t run_demeaning(const Matrix &x, const std::optional<Weights> &w, nb::handle A, double tol,
                      int64_t miniter, int64_t maxiter, int64_t verbose, int n_threads) {
    check_thread_count(n_threads);
    const FixedEffects fes = demeaning_index(x, w, A);
    const FrozenIndex frozen(A);
    const quarnet::DemeanOptions opt{tol, miniter, maxiter, verbose, n_threads};
    const quarnet::DemeanOutcome outcome =
        method(x.data(), static_cast<int64_t>(x.shape(0)), static_cast<int64_t>(x.shape(1)),
               w ? w->data() : nullptr, fes.views, opt, quarnet::ProgressFn(python_progress));
    if (!outcome.converged) throw nb::value_error("demeaning did not converge");
    return outcome.iterations;
}

}  // namespace quarnet::bindings
