#include "methods.h"

#include <cstdint>
#include <string>

namespace imgnorm_py {

namespace {

PyObject* methodType = nullptr;  // lives as long as the interpreter

}  // namespace

void setMethodType(const py::object& type) {
  Py_XDECREF(methodType);
  methodType = type.inc_ref().ptr();
}

py::tuple methodTable() {
  constexpr const char* kKindNames[] = {"global", "fit", "local"};
  py::tuple rows(kcImageNormalizerDefs::kMethods.size());
  std::size_t i = 0;
  for (const auto& row : kcImageNormalizerDefs::kMethods)
    rows[i++] = py::make_tuple(row.name, static_cast<std::uint32_t>(row.flag),
                               kKindNames[static_cast<int>(row.kind)]);
  return rows;
}

py::object methodObject(kcImageNormalizerDefs::Method bits) {
  const py::int_ value(static_cast<std::uint32_t>(bits));
  return methodType ? py::reinterpret_borrow<py::object>(methodType)(value) : py::object(value);
}

kcImageNormalizerDefs::Method methodBits(const py::handle& value) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (!index) {
    PyErr_Clear();
    throw py::type_error("methods must be an imgnorm.Method or an int, not " +
                         py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>());
  }
  const py::int_ number = py::reinterpret_steal<py::int_>(index);
  int overflow = 0;
  const long long bits = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0 || bits < 0 || bits > 0xFFFFFFFFLL)
    return static_cast<kcImageNormalizerDefs::Method>(0x80000000u);
  return static_cast<kcImageNormalizerDefs::Method>(static_cast<std::uint32_t>(bits));
}

}  // namespace imgnorm_py
