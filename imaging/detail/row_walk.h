#pragma once

#include <cstdint>
#include <utility>

#include "host/pel_buffer.h"
#include "imaging/pel_copy.h"

// Row walks shared by the whole-buffer routines. Kernels receive row
// pointers and a width; these helpers own the window arithmetic.

// Calls kernel(dstRow, srcRow, width) for each row of r, from the bottom up
// when dst lies below src in shared storage, so that overlapping views of
// one buffer read each source row before it is overwritten.
template <class D, class S, class Kernel>
void kfForEachRowPair(const kcPelBuffer<D>& dst, const kcPelBuffer_const<S>& src,
                      const kcPelRect& r, Kernel&& kernel) {
  if (r.isNull()) return;
  const bool upwards = dst.root() == src.root() && r.y() < r.bottom() &&
                       static_cast<const void*>(dst.pointToPel(r.x(), r.y())) >
                           static_cast<const void*>(src.pointToPel(r.x(), r.y()));
  for (long i = 0; i < r.height(); ++i) {
    const long y = upwards ? r.bottom() - 1 - i : r.y() + i;
    kernel(dst.pointToPel(r.x(), y), src.pointToPel(r.x(), y), r.width());
  }
}

// An unbound dst becomes a new buffer over window with src's transforms;
// the caller writes every pel of it.
template <class D, class S>
void kfAllocateIfUnbound(kcPelBuffer<D>& dst, const kcPelRect& window,
                         const kcPelBuffer_const<S>& src) {
  if (dst.isBound()) return;
  dst = kcPelBuffer<D>(window, 32, kcForOverwrite{});
  dst.copyXforms(src);
}

// Whether the windows of a and b share any byte of memory (views of one
// storage, or wraps of overlapping memory).
template <class A, class B>
bool kfWindowsOverlap(const kcPelBuffer_const<A>& a, const kcPelBuffer_const<B>& b) {
  if (!a.isBound() || !b.isBound() || a.window().isNull() || b.window().isNull()) return false;
  const auto span = [](const auto& v) {
    const auto* first = reinterpret_cast<const unsigned char*>(v.pointToOffset());
    const auto* last = reinterpret_cast<const unsigned char*>(
        v.pointToPel(v.window().x() + v.width() - 1, v.window().y() + v.height() - 1));
    return std::pair<std::uintptr_t, std::uintptr_t>(
        reinterpret_cast<std::uintptr_t>(first),
        reinterpret_cast<std::uintptr_t>(last) + static_cast<std::uintptr_t>(v.pelSize()));
  };
  const auto [a0, a1] = span(a);
  const auto [b0, b1] = span(b);
  return a0 < b1 && b0 < a1;
}

// src itself, or a private copy of its window when it overlaps dst in any
// way but pel for pel at the same image coordinates. Element-wise kernels
// write a dst pel only after reading the src pel at the same coordinates, so
// only a shifted overlap needs the copy.
template <class D, class S>
kcPelBuffer_const<S> kfUnaliasedSource(const kcPelBuffer_const<S>& src, const kcPelBuffer<D>& dst) {
  if (!kfWindowsOverlap<S, D>(src, dst)) return src;
  const kcPelRect common = src.window() & dst.window();
  const bool inPlace = sizeof(S) == sizeof(D) && !common.isNull() &&
                       src.rowUpdate() == dst.rowUpdate() &&
                       static_cast<const void*>(src.pointToPel(common.x(), common.y())) ==
                           static_cast<const void*>(dst.pointToPel(common.x(), common.y()));
  return inPlace ? src : kfPelCopy(src);
}
