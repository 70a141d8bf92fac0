// Python bindings of the absorption kernel (placeholder until the kernels land).
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(quarnet, m) {
    nb::module_::import_("numpy");
    m.attr("np") = nb::module_::import_("numpy");
}
