#include "image_files.h"

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "arrays.h"
#include "imgio/image_io.h"

namespace imgnorm_py {

namespace {

// The array takes over the pels the reader allocated.
Array adoptPels(imgio::GrayImage image) {
  auto* owner = new imgio::GrayImage(std::move(image));
  const py::capsule base(owner, [](void* p) { delete static_cast<imgio::GrayImage*>(p); });
  return Array({owner->height, owner->width}, {owner->width, 1L}, owner->pels.data(), base);
}

Array readImage(const py::object& path) {
  const std::string file = filePath(path);
  imgio::GrayImage image;
  {
    py::gil_scoped_release release;
    image = imgio::readImage(file);
  }
  return adoptPels(std::move(image));
}

imgio::GrayImage grayImageOf(const py::array& array) {
  const Image view = viewOf(array, "image");
  imgio::GrayImage image{view.width(), view.height(), {}};
  image.pels.resize(static_cast<std::size_t>(image.width * image.height));
  const auto rowBytes = static_cast<std::size_t>(image.width);
  for (long y = 0; y < image.height; ++y)
    std::memcpy(image.pels.data() + static_cast<std::size_t>(y) * rowBytes,
                view.pointToPel(view.window().x(), view.window().y() + y), rowBytes);
  return image;
}

void writeImage(const py::object& path, const py::array& array) {
  const std::string file = filePath(path);
  const imgio::GrayImage image = grayImageOf(array);
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
  module.def("read_image", &readImage, py::arg("path"),
             "Reads an 8-bit gray image from a PNG, TIFF or PGM file (the format is\n"
             "told by the content) as a new 2-D uint8 array. Colour is converted to\n"
             "gray; 16-bit samples are refused. Raises ImageFileError, naming the\n"
             "file, for a missing, unreadable, corrupt or too large file.");
  module.def("write_image", &writeImage, py::arg("path"), py::arg("image"),
             "Writes a 2-D uint8 array as an 8-bit gray image in the format the\n"
             "extension names (.png, .tif, .tiff, .pgm). The file is written under\n"
             "a temporary name and renamed into place once complete, so path holds\n"
             "either its old content or the whole new image. Raises ImageFileError.");
}

}  // namespace imgnorm_py
