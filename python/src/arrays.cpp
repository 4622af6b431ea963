#include "arrays.h"

#include <cstring>
#include <memory>
#include <string>

namespace imgnorm_py {

namespace {

// Holds a Python object for as long as a pel buffer shares its memory. The
// last view may be dropped on a thread that has released the GIL.
std::shared_ptr<void> keepAlive(const py::object& owner) {
  return std::shared_ptr<void>(new py::object(owner), [](void* p) {
    py::gil_scoped_acquire gil;
    delete static_cast<py::object*>(p);
  });
}

bool acceptedDtype(const py::dtype& dtype, Accept accept) {
  if (accept == Accept::Uint8OrUint16) return dtype.kind() == 'u' && dtype.itemsize() <= 2;
  if (dtype.itemsize() != 1) return false;
  return dtype.kind() == 'u' || (accept == Accept::Uint8OrBool && dtype.kind() == 'b');
}

std::string expected(const char* name, Accept accept) {
  const char* dtypes = accept == Accept::Uint8OrBool     ? "uint8 or bool"
                       : accept == Accept::Uint8OrUint16 ? "uint8 or uint16"
                                                         : "uint8";
  return std::string(name) + " must be a 2-D " + dtypes + " array";
}

void checkArray(const py::array& array, const char* name, Accept accept) {
  if (!acceptedDtype(array.dtype(), accept))
    throw py::type_error(expected(name, accept) + ", not " +
                         py::str(array.dtype()).cast<std::string>());
  if (array.ndim() != 2)
    throw py::value_error(expected(name, accept) + ", not " + std::to_string(array.ndim()) + "-D");
  if (array.shape(0) == 0 || array.shape(1) == 0)
    throw py::value_error(std::string(name) + " must not be empty, its shape is (" +
                          std::to_string(array.shape(0)) + ", " + std::to_string(array.shape(1)) +
                          ")");
}

// Rows whose pels lie side by side can be viewed in place; the rows
// themselves may lie anywhere after one another. The stride of an axis of
// length 1 means nothing.
bool rowsContiguous(const py::array& array) {
  const long height = array.shape(0), width = array.shape(1), size = array.itemsize();
  return (width == 1 || array.strides(1) == size) &&
         (height == 1 || array.strides(0) >= width * size);
}

// Windows stay far from overflow, and within what the library's archives
// can store.
constexpr long kMaxOffset = 1L << 30;

void checkOffset(const kcPair<long>& offset, const char* name) {
  for (long v : {offset.x(), offset.y()})
    if (v < -kMaxOffset || v > kMaxOffset)
      throw py::value_error(std::string("the offset of ") + name +
                            " must lie within -2**30..2**30, not " + std::to_string(v));
}

// A view of the checked array's pels, in place when its rows are
// contiguous; the row update counts pels.
template <class T>
kcPelBuffer_const<T> wrapPels(const py::array& array, const char* name,
                              const kcPair<long>& offset) {
  checkOffset(offset, name);
  const py::array pels =
      rowsContiguous(array)
          ? array
          : py::array(py::module_::import("numpy").attr("ascontiguousarray")(array));
  const long height = pels.shape(0), width = pels.shape(1);
  const long rowUpdate = height == 1 ? width : pels.strides(0) / static_cast<long>(sizeof(T));
  auto view = kcPelBuffer_const<T>::wrap(static_cast<const T*>(pels.data()), width, height,
                                         rowUpdate, keepAlive(pels));
  view.offset(offset);
  return view;
}

}  // namespace

bool isUint16(const py::array& array) {
  return array.dtype().kind() == 'u' && array.dtype().itemsize() == 2;
}

Image viewOf(const py::array& array, const char* name, Accept accept, const kcPair<long>& offset) {
  checkArray(array, name, accept);
  // A bool pel is one byte holding 0 or 1, which reads as a uint8 mask.
  return wrapPels<unsigned char>(array, name, offset);
}

WideImage viewOfWide(const py::array& array, const char* name, const kcPair<long>& offset) {
  checkArray(array, name, Accept::Uint8OrUint16);
  return wrapPels<unsigned short>(array, name, offset);
}

WideArray toWideArray(const WideImage& image) {
  if (!image.isBound() || image.window().isNull())
    return WideArray(py::array::ShapeContainer{0, 0});
  WideArray array(py::array::ShapeContainer{image.height(), image.width()});
  unsigned short* out = array.mutable_data();
  const auto width = static_cast<std::size_t>(image.width());
  {
    py::gil_scoped_release release;
    for (long y = 0; y < image.height(); ++y)
      std::memcpy(out + static_cast<std::size_t>(y) * width,
                  image.pointToPel(image.window().x(), image.window().y() + y),
                  width * sizeof(unsigned short));
  }
  return array;
}

std::pair<Array, WritableImage> newImage(long width, long height) {
  Array array(py::array::ShapeContainer{height, width});
  WritableImage view =
      WritableImage::wrap(array.mutable_data(), width, height, width, keepAlive(array));
  return {std::move(array), std::move(view)};
}

Array toArray(const Image& image) {
  if (!image.isBound() || image.width() == 0 || image.height() == 0)
    return Array(py::array::ShapeContainer{0, 0});
  auto [array, target] = newImage(image.width(), image.height());
  {
    py::gil_scoped_release release;
    const std::size_t rowBytes = static_cast<std::size_t>(image.width());
    for (long y = 0; y < image.height(); ++y)
      std::memcpy(target.pointToPel(0, y),
                  image.pointToPel(image.window().x(), image.window().y() + y), rowBytes);
  }
  return array;
}

Array adoptResult(const WritableImage& image) {
  const bool adjacentRows = image.height() == 1 || image.rowUpdate() == image.width();
  if (!image.isBound() || image.window().isNull() || image.window() != image.entire() ||
      !adjacentRows)
    return toArray(image);
  auto* owner = new WritableImage(image);
  const py::capsule base(owner, [](void* p) { delete static_cast<WritableImage*>(p); });
  return Array({image.height(), image.width()}, {image.width(), 1L},
               image.pointToPel(image.window().x(), image.window().y()), base);
}

}  // namespace imgnorm_py
