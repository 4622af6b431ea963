#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace imgnorm_py {

namespace py = pybind11;

// Adds read_image and write_image: the command line's PNG, TIFF and PGM
// readers and atomic writers over numpy arrays.
void addImageFiles(py::module_& module);

// The bytes of a path argument (str, bytes or os.PathLike) as the file
// functions take them. Refuses a NUL (ValueError naming name), as open()
// does: the operating system would end the name there.
std::string filePath(const py::object& path, const char* name = "path");

}  // namespace imgnorm_py
