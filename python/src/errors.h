#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace imgnorm_py {

namespace py = pybind11;

// Creates the module's exception classes and translates the library's
// exceptions into them: the tool's errors into classes of their own, every
// other library exception into HostError (a RuntimeError), both carrying
// the library's message and error number.
void addErrors(py::module_& module);

// Raises NormalizationFailed with message: a run that did not succeed.
[[noreturn]] void throwNormalizationFailed(const std::wstring& message);

}  // namespace imgnorm_py
