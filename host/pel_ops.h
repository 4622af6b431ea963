#pragma once

#include <vector>

#include "host/export.h"
#include "host/pel_buffer.h"

// Whole-buffer pel routines of the host. Every routine throws
// kcPel::UnboundWindow for an unbound input. Operations on several buffers
// work on the intersection of their windows, pairing pels by image
// coordinates. New buffers cover the stated window with allocation argument
// 32 and take the transforms of the first input.

// A new buffer with a private copy of src's window.
template <class T>
IMGNORM_API kcPelBuffer<T> kfPelCopy(const kcPelBuffer_const<T>& src);
// Copies src into dst at the same coordinates. An unbound dst becomes a copy
// of src (window and transforms); a bound one receives the pels of the
// common window and keeps its transforms.
template <class T>
IMGNORM_API void kfPelCopy(const kcPelBuffer_const<T>& src, kcPelBuffer<T>& dst);

// map must hold 256 entries; each pel p becomes map[p].
IMGNORM_API kcPelBuffer<unsigned char> kfPelMap(const kcPelBuffer_const<unsigned char>& src,
                                                const std::vector<unsigned char>& map);
// Into dst (allocated over src's window when unbound); dst may be src.
IMGNORM_API void kfPelMap(const kcPelBuffer_const<unsigned char>& src,
                          const std::vector<unsigned char>& map, kcPelBuffer<unsigned char>& dst);

IMGNORM_API kcPelBuffer<unsigned char> kfPelMin(const kcPelBuffer_const<unsigned char>& a,
                                                const kcPelBuffer_const<unsigned char>& b);
IMGNORM_API void kfPelMin(const kcPelBuffer_const<unsigned char>& a,
                          const kcPelBuffer_const<unsigned char>& b,
                          kcPelBuffer<unsigned char>& dst);

// Largest pel of the window (0 for an empty window).
IMGNORM_API unsigned long kfPelMax(const kcPelBuffer_const<unsigned long>& src);

template <class T>
IMGNORM_API void kfPelSet(const kcPelBuffer<T>& buffer, T value);

// 256 raw counts of the window's gray levels; histogram is resized to 256.
IMGNORM_API void kfPelHistogram(const kcPelBuffer_const<unsigned char>& src,
                                std::vector<unsigned long>& histogram);

// Same window size and the same pels, compared position by position.
template <class A, class B>
IMGNORM_API bool kfPelEqual(const kcPelBuffer_const<A>& a, const kcPelBuffer_const<B>& b);

template <class T>
constexpr T kfILimit(T value, T low, T high) {
  return value < low ? low : (value > high ? high : value);
}
