#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "arrays.h"
#include "imgnorm/explain.h"

namespace imgnorm_py {

namespace py = pybind11;

// The explanations of a run as the dict of Normalizer.explain: the fields
// of the command line's report record, one map per plane.
py::dict explanationDict(kcImageNormalizerDefs::Method method, const std::string& color,
                         const std::vector<std::string>& planes,
                         const std::vector<kcNormalizationExplanation>& explanations);

}  // namespace imgnorm_py
