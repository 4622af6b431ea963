#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "host/geometry.h"
#include "host/pel_buffer.h"

namespace imgnorm_py {

namespace py = pybind11;

using Image = kcPelBuffer_const<unsigned char>;
using WritableImage = kcPelBuffer<unsigned char>;
using Array = py::array_t<unsigned char, py::array::c_style>;

using WideImage = kcPelBuffer_const<unsigned short>;
using WideArray = py::array_t<unsigned short, py::array::c_style>;

// What an array argument may hold besides uint8; Uint8OrUint16 only names
// both in the message of a refusal (a uint16 array takes viewOfWide).
enum class Accept { Uint8, Uint8OrBool, Uint8OrUint16 };

// Whether array holds uint16 pels.
bool isUint16(const py::array& array);

// A view of a 2-D uint8 array whose top-left pel lies at offset. Arrays
// whose rows are contiguous (any row stride) are viewed in place and kept
// alive by the view; others are copied first. Refuses another dtype
// (TypeError), another number of dimensions or an empty array (ValueError),
// naming the argument in the message. Needs the GIL.
Image viewOf(const py::array& array, const char* name, Accept accept = Accept::Uint8,
             const kcPair<long>& offset = kcPair<long>(0, 0));

// The same for a 2-D uint16 array.
WideImage viewOfWide(const py::array& array, const char* name,
                     const kcPair<long>& offset = kcPair<long>(0, 0));

// A new uint16 array holding the view's pels; (0, 0) for an unbound view.
// Needs the GIL; the copy itself runs without it.
WideArray toWideArray(const WideImage& image);

// A new C-contiguous array of height rows of width pels and a writable view
// over it, window at the origin. Needs the GIL.
std::pair<Array, WritableImage> newImage(long width, long height);

// A new array holding the view's pels; (0, 0) for an unbound view. Needs
// the GIL; the copy itself runs without it.
Array toArray(const Image& image);

// The pels of a new image nothing else refers to (the result of a run), as a
// C-contiguous array: the array takes over the image's memory when its rows
// lie side by side and it fills its storage, and gets a copy otherwise.
// Needs the GIL.
Array adoptResult(const WritableImage& image);

}  // namespace imgnorm_py
