#pragma once

#include <pybind11/pybind11.h>

namespace imgnorm_py {

namespace py = pybind11;

// Adds the class Normalizer and the hook _set_method_type.
void addNormalizer(py::module_& module);

}  // namespace imgnorm_py
