#pragma once

#include <pybind11/pybind11.h>

namespace imgnorm_py {

namespace py = pybind11;

// Adds read_image and write_image: the command line's PNG, TIFF and PGM
// readers and atomic writers over numpy arrays.
void addImageFiles(py::module_& module);

}  // namespace imgnorm_py
