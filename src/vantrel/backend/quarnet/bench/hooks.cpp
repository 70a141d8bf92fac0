// The benchmark hooks: a second, private extension module (vantrel.backend._bench_hooks)
// for benchmarks/ and the tests, so that the module users import (quarnet, module.cpp)
// holds only what they call. It is built and installed with quarnet (see CMakeLists.txt)
// from the same kernel sources, and takes its arguments like quarnet's demeaning functions
// (bindings.hpp): checked once per call, no conversion or copy, the GIL kept throughout.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>

#include <cstdint>
#include <optional>

#include "../bindings.hpp"
#include "../demean.hpp"
#include "touch.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace quarnet::bindings;

NB_MODULE(_bench_hooks, m) {
    m.doc() = "Benchmark hooks of the absorption kernel: single sweeps, the memory floor, iteration counts.";

    // repeat > 1 runs that many sweeps after one validation, so that a benchmark can tell
    // the kernels' time from the per-call index checks.
    m.def(
        "sweep",
        [](Matrix x, std::optional<Weights> w, nb::handle A, int n_threads, int64_t repeat) {
            check_thread_count(n_threads);
            const FixedEffects fes = demeaning_index(x, w, A);
            for (int64_t i = 0; i < repeat; ++i)
                quarnet::MAP_NH_iter(x.data(), static_cast<int64_t>(x.shape(0)), static_cast<int64_t>(x.shape(1)),
                                     w ? w->data() : nullptr, fes.views, n_threads);
            return x;
        },
        "x"_a.noconvert(), "w"_a.noconvert().none(), "A"_a, "n_threads"_a, "repeat"_a = 1,
        "One symmetric sweep of group demeanings over the fixed effects of A, in place (repeat times).");

    m.def(
        "demean_count",
        [](Matrix x, std::optional<Weights> w, nb::handle A, double tol, int64_t miniter, int64_t maxiter,
           int n_threads, bool accelerated) {
            return accelerated ? run_demeaning<quarnet::MAP_NH_CG_accel>(x, w, A, tol, miniter, maxiter, 0, n_threads)
                               : run_demeaning<quarnet::MAP_NH_noaccel>(x, w, A, tol, miniter, maxiter, 0, n_threads);
        },
        "x"_a.noconvert(), "w"_a.noconvert().none(), "A"_a, "tol"_a, "miniter"_a, "maxiter"_a, "n_threads"_a,
        "accelerated"_a,
        "Demean x in place like MAP_NH_CG_accel (accelerated) or MAP_NH_noaccel, silently, and "
        "return the number of iterations made.");

    m.def(
        "touch_sweep",
        [](Matrix x, nb::handle A, int n_threads, int64_t repeat) {
            check_thread_count(n_threads);
            const FixedEffects fes = demeaning_index(x, std::nullopt, A);
            for (int64_t i = 0; i < repeat; ++i)
                quarnet::bench::touch_sweep(x.data(), static_cast<int64_t>(x.shape(1)), fes.views, n_threads);
        },
        "x"_a.noconvert(), "A"_a, "n_threads"_a, "repeat"_a = 1,
        "The memory traffic of one sweep (loads and stores through sortvec) without arithmetic "
        "(repeat times).");
}
