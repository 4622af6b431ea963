#pragma once

#include <pybind11/pybind11.h>

#include "imgnorm/errors.h"
#include "imgnorm/method.h"

namespace imgnorm_py {

namespace py = pybind11;

// A set of method flags as it crosses into Python: an imgnorm.Method (an
// IntFlag) or an int.
struct MethodSet {
  kcImageNormalizerDefs::Method bits = kcImageNormalizerDefs::eIdentity;
};

// The library's methods as (command-line name, flag, kind: "global", "fit"
// or "local") tuples, from which the package builds imgnorm.Method.
py::tuple methodTable();

// Registers the flag type that methods come back as (ints until then).
void setMethodType(const py::object& type);

// The flags as an imgnorm.Method.
py::object methodObject(kcImageNormalizerDefs::Method bits);

// The flags of an int-like value; TypeError for anything else. A value that
// does not fit 32 bits has bits beyond the known ones: the library is handed
// one unknown bit for it, so that it refuses the value with its own message.
kcImageNormalizerDefs::Method methodBits(const py::handle& value);

}  // namespace imgnorm_py

namespace pybind11::detail {

template <>
struct type_caster<imgnorm_py::MethodSet> {
  PYBIND11_TYPE_CASTER(imgnorm_py::MethodSet, const_name("imgnorm.Method"));

  bool load(handle source, bool /*convert*/) {
    value.bits = imgnorm_py::methodBits(source);
    return true;
  }
  static handle cast(const imgnorm_py::MethodSet& methods, return_value_policy, handle) {
    return imgnorm_py::methodObject(methods.bits).release();
  }
};

}  // namespace pybind11::detail
