#include "image_files.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "arrays.h"
#include "imgio/image_io.h"

namespace imgnorm_py {

namespace {

// The array takes over the pels the reader allocated: rows x columns for
// gray, rows x columns x channels otherwise.
template <typename Sample>
py::array adoptPels(imgio::BasicColorImage<Sample> image) {
  using Owned = imgio::BasicColorImage<Sample>;
  auto* owner = new Owned(std::move(image));
  const py::capsule base(owner, [](void* p) { delete static_cast<Owned*>(p); });
  const long c = owner->channels, size = sizeof(Sample);
  if (c == 1)
    return py::array_t<Sample>({owner->height, owner->width}, {owner->width * size, size},
                               owner->pels.data(), base);
  return py::array_t<Sample>({owner->height, owner->width, c},
                             {owner->width * c * size, c * size, size}, owner->pels.data(), base);
}

// An image of either depth as read_image returns it, with its bits when
// asked for.
template <typename Sample>
py::object resultOf(imgio::BasicColorImage<Sample> image, bool returnBits) {
  const int bits = image.bits;
  py::array array = adoptPels(std::move(image));
  if (returnBits) return py::make_tuple(array, bits);
  return array;
}

// Gray by the luma weights, at the image's depth.
imgio::ColorImage grayOf(const imgio::ColorImage& image) {
  imgio::GrayImage gray = imgio::toGray(image);
  return {gray.width, gray.height, 1, std::move(gray.pels)};
}
imgio::ColorImage16 grayOf(const imgio::ColorImage16& image) { return imgio::toGray(image); }

py::object readImage(const py::object& path, bool asGray, bool returnBits) {
  const std::string file = filePath(path);
  imgio::AnyDepthImage image;
  {
    py::gil_scoped_release release;
    image = imgio::readAnyDepthImage(file);
    if (asGray) std::visit([](auto& any) { any = grayOf(any); }, image);
  }
  return std::visit([&](auto& any) { return resultOf(std::move(any), returnBits); }, image);
}

[[noreturn]] void refuseDtype(const py::array& array) {
  throw py::type_error("image must be a uint8 or uint16 array, not " +
                       py::str(array.dtype()).cast<std::string>());
}

// The pels of a 2-D array (gray) or of a 3-D one whose last axis holds 1
// to 4 channels (gray, gray and alpha, RGB, RGBA), interleaved.
template <typename Sample>
imgio::BasicColorImage<Sample> colorImageOf(const py::array& array) {
  if (array.ndim() != 2 && (array.ndim() != 3 || array.shape(2) < 1 || array.shape(2) > 4))
    throw py::value_error(
        "image must be 2-D (gray) or 3-D with 1 to 4 channels on its last axis, not of shape " +
        py::str(array.attr("shape")).cast<std::string>());
  const auto pels = py::array_t<Sample, py::array::c_style>::ensure(array);
  const int channels = array.ndim() == 2 ? 1 : static_cast<int>(pels.shape(2));
  return {static_cast<long>(pels.shape(1)), static_cast<long>(pels.shape(0)), channels,
          std::vector<Sample>(pels.data(), pels.data() + pels.size())};
}

// A uint16 image holds 0 .. 2^bits - 1.
imgio::ColorImage16 deepImageOf(const py::array& array, int bits) {
  if (bits < 1 || bits > 16)
    throw py::value_error("bits must be 1 to 16 for a uint16 image, not " + std::to_string(bits));
  imgio::ColorImage16 image = colorImageOf<std::uint16_t>(array);
  image.bits = bits;
  if (const auto above = imgio::sampleAboveBits(image))
    throw py::value_error("image holds " + std::to_string(*above) + ", above " +
                          std::to_string(image.maxValue()) + ", the largest value of " +
                          std::to_string(bits) + " bits");
  return image;
}

void writeImage(const py::object& path, const py::array& array, const std::optional<int>& bits) {
  const std::string file = filePath(path);
  const bool deep = array.dtype().kind() == 'u' && array.dtype().itemsize() == 2;
  if (!deep && (array.dtype().kind() != 'u' || array.dtype().itemsize() != 1)) refuseDtype(array);
  if (!deep && bits && *bits != 8)
    throw py::value_error("bits must be 8 for a uint8 image, not " + std::to_string(*bits));
  if (deep) {
    const imgio::ColorImage16 image = deepImageOf(array, bits.value_or(16));
    py::gil_scoped_release release;
    imgio::writeImage(file, image);
    return;
  }
  const imgio::ColorImage image = colorImageOf<unsigned char>(array);
  py::gil_scoped_release release;
  imgio::writeImage(file, image);
}

}  // namespace

std::string filePath(const py::object& path, const char* name) {
  std::string bytes = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
  if (bytes.find('\0') != std::string::npos)
    throw py::value_error(std::string(name) + " must not contain a NUL character: " +
                          py::repr(path).cast<std::string>());
  return bytes;
}

void addImageFiles(py::module_& module) {
  module.def("read_image", &readImage, py::arg("path"), py::kw_only(), py::arg("as_gray") = false,
             py::arg("return_bits") = false,
             "Reads an image from a PNG, TIFF or PGM/PPM file (the format is told by\n"
             "the content) as a new array, as the file holds it: (rows, columns) for\n"
             "gray, (rows, columns, 2) for gray and alpha, (rows, columns, 3) for RGB\n"
             "and (rows, columns, 4) for RGBA. Files of 8 bits a sample or fewer\n"
             "give uint8 (lower depths scaled to 0..255); 16-bit files give uint16,\n"
             "low-aligned: a file of 12 significant bits (PNG sBIT, PGM maximum\n"
             "value, TIFF SMaxSampleValue) gives 0..4095. as_gray=True gives gray\n"
             "always: colour by the luma weights 0.299, 0.587 and 0.114, alpha\n"
             "dropped. return_bits=True returns (array, bits), bits being the\n"
             "significant bits (8 for uint8). Raises ImageFileError, naming the\n"
             "file, for a missing, unreadable, corrupt or too large file.");
  module.def("write_image", &writeImage, py::arg("path"), py::arg("image"), py::kw_only(),
             py::arg("bits") = py::none(),
             "Writes a uint8 or uint16 array, (rows, columns) gray or (rows, columns,\n"
             "C) with C = 1 to 4 (gray, gray and alpha, RGB, RGBA), in the format the\n"
             "extension names (.png, .tif, .tiff, .pgm; PGM holds gray only). bits\n"
             "(uint16 only; default 16) are the significant bits of the low-aligned\n"
             "samples, which the file records and read_image gives back (PGM: 9 to\n"
             "16 bits); a sample above 2**bits - 1 raises ValueError. Another dtype\n"
             "raises TypeError.\n"
             "The file is written under a temporary name and renamed into place once\n"
             "complete, so path holds either its old content or the whole new image.\n"
             "Raises ImageFileError.");
}

}  // namespace imgnorm_py
