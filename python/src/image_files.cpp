#include "image_files.h"

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "arrays.h"
#include "imgio/image_io.h"

namespace imgnorm_py {

namespace {

// The array takes over the pels the reader allocated: rows x columns for
// gray, rows x columns x channels otherwise.
Array adoptPels(imgio::ColorImage image) {
  auto* owner = new imgio::ColorImage(std::move(image));
  const py::capsule base(owner, [](void* p) { delete static_cast<imgio::ColorImage*>(p); });
  const long c = owner->channels;
  if (c == 1)
    return Array({owner->height, owner->width}, {owner->width, 1L}, owner->pels.data(), base);
  return Array({owner->height, owner->width, c}, {owner->width * c, c, 1L}, owner->pels.data(),
               base);
}

Array readImage(const py::object& path, bool asGray) {
  const std::string file = filePath(path);
  imgio::ColorImage image;
  {
    py::gil_scoped_release release;
    if (asGray) {
      imgio::GrayImage gray = imgio::readImage(file);
      image = {gray.width, gray.height, 1, std::move(gray.pels)};
    } else {
      image = imgio::readColorImage(file);
    }
  }
  return adoptPels(std::move(image));
}

// The pels of a 2-D array (gray) or of a 3-D one whose last axis holds 1
// to 4 channels (gray, gray and alpha, RGB, RGBA), interleaved.
imgio::ColorImage colorImageOf(const py::array& array) {
  if (array.ndim() == 2) {
    const Image view = viewOf(array, "image");
    imgio::ColorImage image{view.width(), view.height(), 1, {}};
    image.pels.resize(static_cast<std::size_t>(image.width * image.height));
    const auto rowBytes = static_cast<std::size_t>(image.width);
    for (long y = 0; y < image.height; ++y)
      std::memcpy(image.pels.data() + static_cast<std::size_t>(y) * rowBytes,
                  view.pointToPel(view.window().x(), view.window().y() + y), rowBytes);
    return image;
  }
  if (array.dtype().kind() != 'u' || array.dtype().itemsize() != 1)
    throw py::type_error("image must be a uint8 array, not " +
                         py::str(array.dtype()).cast<std::string>());
  if (array.ndim() != 3 || array.shape(2) < 1 || array.shape(2) > 4)
    throw py::value_error(
        "image must be 2-D (gray) or 3-D with 1 to 4 channels on its last axis, not of shape " +
        py::str(array.attr("shape")).cast<std::string>());
  const auto pels = py::array_t<unsigned char, py::array::c_style>::ensure(array);
  imgio::ColorImage image{static_cast<long>(pels.shape(1)), static_cast<long>(pels.shape(0)),
                          static_cast<int>(pels.shape(2)),
                          std::vector<unsigned char>(pels.data(), pels.data() + pels.size())};
  return image;
}

void writeImage(const py::object& path, const py::array& array) {
  const std::string file = filePath(path);
  const imgio::ColorImage image = colorImageOf(array);
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
             "Reads an image of 8 bits a sample or fewer from a PNG, TIFF or PGM/PPM\n"
             "file (the format is told by the content) as a new uint8 array, as the\n"
             "file holds it: (rows, columns) for gray, (rows, columns, 2) for gray\n"
             "and alpha, (rows, columns, 3) for RGB and (rows, columns, 4) for RGBA.\n"
             "as_gray=True gives gray always: colour by the luma weights 0.299,\n"
             "0.587 and 0.114, alpha dropped. 16-bit samples are refused. Raises\n"
             "ImageFileError, naming the file, for a missing, unreadable, corrupt or\n"
             "too large file.");
  module.def("write_image", &writeImage, py::arg("path"), py::arg("image"),
             "Writes a uint8 array, (rows, columns) gray or (rows, columns, C) with\n"
             "C = 1 to 4 (gray, gray and alpha, RGB, RGBA), in the format the\n"
             "extension names (.png, .tif, .tiff, .pgm; PGM holds gray or RGB only).\n"
             "The file is written under a temporary name and renamed into place once\n"
             "complete, so path holds either its old content or the whole new image.\n"
             "Raises ImageFileError.");
}

}  // namespace imgnorm_py
