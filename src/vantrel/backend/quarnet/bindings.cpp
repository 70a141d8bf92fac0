#include "bindings.hpp"

#include <Python.h>
#include <omp.h>

#include <algorithm>
#include <string>

namespace quarnet::bindings {

namespace {

// A must be a writable F x 2 numpy object array whose row n holds (sortvec, panelmat) of
// fixed effect n. Only shapes and types are checked here; index ranges are checked by the
// callers, which know the number of rows.
FixedEffects fetch_fixed_effects(nb::handle A) {
    nb::module_ np = nb::module_::import_("numpy");
    if (!nb::isinstance(A, np.attr("ndarray")))
        throw nb::type_error(("A must be a numpy object array of shape (F, 2), got " +
                              std::string(nb::repr(A.type()).c_str()))
                                 .c_str());
    if (!A.attr("dtype").equal(np.attr("dtype")("O")))
        throw nb::type_error(("A must be a numpy object array, got " +
                              std::string(nb::repr(A.attr("dtype")).c_str()))
                                 .c_str());
    const nb::tuple shape = nb::borrow<nb::tuple>(A.attr("shape"));
    if (shape.size() != 2 || nb::cast<int64_t>(shape[1]) != 2)
        throw nb::value_error(("A must have shape (F, 2), got " + std::string(nb::repr(shape).c_str())).c_str());
    if (!nb::cast<bool>(A.attr("flags").attr("writeable"))) throw nb::type_error("A must be writable");

    FixedEffects fes;
    const int64_t F = nb::cast<int64_t>(shape[0]);
    for (int64_t n = 0; n < F; ++n) {
        const std::string sv_name = "A[" + std::to_string(n) + ", 0]";
        const std::string pm_name = "A[" + std::to_string(n) + ", 1]";
        IdVector sortvec;
        IdMatrix panelmat;
        if (!nb::try_cast(A[nb::make_tuple(n, 0)], sortvec, false))
            throw nb::type_error((sv_name + " (sortvec) must be a writable C-contiguous int64 1-D array").c_str());
        if (!nb::try_cast(A[nb::make_tuple(n, 1)], panelmat, false))
            throw nb::type_error((pm_name + " (panelmat) must be a writable C-contiguous int64 2-D array").c_str());
        const int64_t G = static_cast<int64_t>(panelmat.shape(0));
        quarnet::check_panelmat_shape(G, static_cast<int64_t>(panelmat.shape(1)), G, pm_name, pm_name);
        fes.views.push_back({sortvec.data(), static_cast<int64_t>(sortvec.shape(0)), panelmat.data(), G,
                             sv_name, pm_name});
        fes.sortvecs.push_back(sortvec);
        fes.panelmats.push_back(panelmat);
    }
    return fes;
}

}  // namespace

FrozenIndex::FrozenIndex(nb::handle A) {
    const int64_t F = nb::cast<int64_t>(A.attr("shape")[0]);
    for (int64_t n = 0; n < F; ++n)
        for (int c = 0; c < 2; ++c) {
            nb::object array = A[nb::make_tuple(n, c)];
            nb::object flags = array.attr("flags");
            if (nb::cast<bool>(flags.attr("writeable"))) {
                flags.attr("writeable") = false;
                frozen_.push_back(array);
            }
        }
}

FrozenIndex::~FrozenIndex() {
    for (nb::object &array : frozen_) array.attr("flags").attr("writeable") = true;
}

FixedEffects screening_index(const Vector &x, nb::handle A, const IdVector &touse) {
    FixedEffects fes = fetch_fixed_effects(A);
    const int64_t N = static_cast<int64_t>(x.shape(0));
    if (static_cast<int64_t>(touse.shape(0)) != N)
        throw nb::value_error(("touse has length " + std::to_string(touse.shape(0)) + ", x has length " +
                               std::to_string(N))
                                  .c_str());
    for (const quarnet::GroupIndex &fe : fes.views) {
        quarnet::check_index_ranges(fe, N);
        quarnet::check_index_not_written(fe, touse.data(), touse.nbytes(), "touse");
    }
    return fes;
}

FixedEffects demeaning_index(const Matrix &x, const std::optional<Weights> &w, nb::handle A) {
    FixedEffects fes = fetch_fixed_effects(A);
    const int64_t N = static_cast<int64_t>(x.shape(0));
    if (w && static_cast<int64_t>(w->shape(0)) != N)
        throw nb::value_error(("w has length " + std::to_string(w->shape(0)) + ", x has " +
                               std::to_string(N) + " rows")
                                  .c_str());
    if (w) quarnet::check_no_overlap(x.data(), x.nbytes(), "x", w->data(), w->nbytes(), "w");
    for (const quarnet::GroupIndex &fe : fes.views) {
        quarnet::check_disjoint_groups(fe, N);
        quarnet::check_index_not_written(fe, x.data(), x.nbytes(), "x");
    }
    return fes;
}

void python_progress(quarnet::ProgressEvent event, int64_t count, double update_error) {
    switch (event) {
        case quarnet::ProgressEvent::poll:
            if (PyErr_CheckSignals() != 0) throw nb::python_error();
            break;
        case quarnet::ProgressEvent::line:
            nb::module_::import_("builtins").attr("print")(count, update_error);
            break;
        case quarnet::ProgressEvent::converged:
            nb::module_::import_("builtins").attr("print")("demeaning converged");
            break;
    }
}

void check_thread_count(int n_threads) {
    const int limit = std::max(256, 4 * omp_get_num_procs());
    if (n_threads > limit)
        throw nb::value_error(("n_threads = " + std::to_string(n_threads) + " exceeds the limit of " +
                               std::to_string(limit) + " threads (4 per processor, at least 256)")
                                  .c_str());
}

}  // namespace quarnet::bindings
