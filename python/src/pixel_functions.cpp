#include "pixel_functions.h"

#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arrays.h"
#include "pelfuncs/clamped_arithmetic.h"
#include "pelfuncs/flood_fill.h"
#include "pelfuncs/masked_histogram.h"
#include "pelfuncs/smooth_morph.h"

namespace imgnorm_py {

namespace {

unsigned char level(long value, const char* name) {
  if (value < 0 || value > 255)
    throw py::value_error(std::string(name) + " must lie in 0..255, not " + std::to_string(value));
  return static_cast<unsigned char>(value);
}

// A new array holding a copy of the first operand, and a writable view of it.
std::pair<Array, WritableImage> copyOf(const Image& image) {
  Array array = toArray(image);
  WritableImage view = WritableImage::wrap(array.mutable_data(), image.width(), image.height(),
                                           image.width(), nullptr);
  return {std::move(array), std::move(view)};
}

py::array_t<unsigned long> maskedHistogram(const py::array& image,
                                           const std::optional<py::array>& mask) {
  const Image imageView = viewOf(image, "image");
  const Image maskView = mask ? viewOf(*mask, "mask", Accept::Uint8OrBool) : Image();
  std::vector<unsigned long> histogram;
  {
    py::gil_scoped_release release;
    kf_MaskedPelHistogram(imageView, maskView, histogram);
  }
  return py::array_t<unsigned long>(static_cast<py::ssize_t>(histogram.size()), histogram.data());
}

// Applies an in-place operation of two images to a copy of the first.
template <class Operation>
Array combined(const py::array& a, const py::array& b, Operation operation) {
  const Image first = viewOf(a, "a");
  const Image second = viewOf(b, "b");
  auto [result, target] = copyOf(first);
  {
    py::gil_scoped_release release;
    operation(target, second);
  }
  return result;
}

Array subClamp(const py::array& a, const py::array& b, long limit) {
  const unsigned char cap = level(limit, "limit");
  return combined(
      a, b, [cap](const WritableImage& dst, const Image& src) { kf_PelSubClamp(dst, src, cap); });
}

Array subClampSigned(const py::array& a, const py::array& b) {
  return combined(
      a, b, [](const WritableImage& dst, const Image& src) { kf_PelSubClampSigned(dst, src); });
}

Array addClamp(const py::array& a, const py::array& b) {
  return combined(a, b,
                  [](const WritableImage& dst, const Image& src) { kf_PelAddClamp(dst, src); });
}

Array smooth(const py::array& image) {
  auto [result, target] = copyOf(viewOf(image, "image"));
  py::gil_scoped_release release;
  kf_PelSmooth3x3Diamond(target);
  return result;
}

Array morph(const py::array& image, bool dilate) {
  const Image source = viewOf(image, "image");
  auto [result, target] = newImage(source.width(), source.height());
  py::gil_scoped_release release;
  kfBinaryMorph3x3Diamond(source, dilate, target);
  return result;
}

Array floodFill(const py::array& image, const std::pair<long, long>& seed, long value) {
  const unsigned char fill = level(value, "value");
  auto [result, target] = copyOf(viewOf(image, "image"));
  const auto [x, y] = seed;
  if (x < 0 || y < 0 || x >= target.width() || y >= target.height())
    throw py::value_error("seed (" + std::to_string(x) + ", " + std::to_string(y) +
                          ") lies outside the image");
  if (target.get(x, y) == fill)
    throw py::value_error("the seed pel already holds the fill value " + std::to_string(value));
  py::gil_scoped_release release;
  kf_FloodFill(target, kcPair<long>(x, y), fill);
  return result;
}

}  // namespace

void addPixelFunctions(py::module_& module) {
  module.def("masked_histogram", &maskedHistogram, py::arg("image"), py::arg("mask") = py::none(),
             R"(Counts the gray levels of image where mask is non-zero.

Returns 256 uint64 counts indexed by gray level. mask (uint8 or bool) is
paired with the image pel by pel over the part both cover; None counts
every pel.)");
  module.def("sub_clamp", &subClamp, py::arg("a"), py::arg("b"), py::arg("limit") = 127,
             R"(The difference a - b limited to +-min(limit, 127), stored with an offset of 128.

Returns a new array shaped like a; where b does not cover a, a's pels are
kept. limit lies in 0..255.)");
  module.def("sub_clamp_signed", &subClampSigned, py::arg("a"), py::arg("b"),
             R"(a minus an offset-128 difference: clamp(a - (b - 128), 0, 255).

Returns a new array shaped like a; where b does not cover a, a's pels are
kept.)");
  module.def("add_clamp", &addClamp, py::arg("a"), py::arg("b"),
             R"(a plus an offset-128 difference: clamp(a + (b - 128), 0, 255).

Returns a new array shaped like a; where b does not cover a, a's pels are
kept.)");
  module.def("smooth_3x3_diamond", &smooth, py::arg("image"),
             R"(Smooths over the 3x3 diamond: weight 4 for a pel, 1 for each edge neighbour.

Each result is the weighted sum divided by the weights used, truncated; at
the image's edges the diamond is cut to the neighbours inside. Returns a new
array.)");
  module.def("morph_3x3_diamond", &morph, py::arg("image"), py::arg("dilate") = true,
             R"(Binary morphology over the 3x3 diamond: a pel and its edge neighbours.

Dilation ORs, erosion (dilate=False) ANDs the bits of the neighbours inside
the image. Returns a new array.)");
  module.def("flood_fill", &floodFill, py::arg("image"), py::arg("seed"), py::arg("value"),
             R"(Fills the 8-connected region of the seed's gray level with value.

seed is (x, y): column and row. Returns a new array. Raises ValueError for a
seed outside the image or a seed pel that already holds value.)");
}

}  // namespace imgnorm_py
