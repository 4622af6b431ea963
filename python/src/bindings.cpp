// The Python module imgnorm._imgnorm: the normalizer tool, the library's
// errors, its pixel operations and the image file readers and writers over
// numpy arrays. The package imgnorm
// wraps it with the method flags.
#include <pybind11/pybind11.h>

#include "errors.h"
#include "image_files.h"
#include "imgnorm/version.h"
#include "normalizer.h"
#include "pixel_functions.h"

PYBIND11_MODULE(_imgnorm, module) {
  module.doc() = "Gray-level normalization of 8-bit images (the compiled part of imgnorm).";
  // Classes and signatures name the package users import, not this module.
  const pybind11::object name = module.attr("__name__");
  module.attr("__name__") = "imgnorm";
  imgnorm_py::addErrors(module);
  imgnorm_py::addNormalizer(module);
  imgnorm_py::addPixelFunctions(module);
  imgnorm_py::addImageFiles(module);
  module.attr("__name__") = name;
  module.attr("__version__") = kfVersion();
}
