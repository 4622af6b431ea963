#pragma once

#include <pybind11/pybind11.h>

namespace imgnorm_py {

namespace py = pybind11;

// Adds the library's pixel operations as functions over arrays.
void addPixelFunctions(py::module_& module);

}  // namespace imgnorm_py
