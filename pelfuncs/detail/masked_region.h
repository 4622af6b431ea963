#pragma once

#include "host/pel_buffer.h"
#include "imaging/detail/row_walk.h"

// Wiring shared by the operations that write a destination under a mask:
// the region is source ∩ mask ∩ destination. An unbound destination becomes
// a new buffer over source ∩ mask with the source's transforms (only when
// that is not empty). The three views come back narrowed to the region; a
// source or mask that overlaps the destination at another place comes back
// as a private copy, so the kernels see the inputs as they were.
template <class T>
struct kcMaskedViews {
  kcPelBuffer_const<T> source;
  kcPelBuffer_const<unsigned char> mask;
  kcPelBuffer<T> destination;
};

// False, and nothing narrowed, when the region is empty.
template <class T>
bool kfNarrowMaskedViews(const kcPelBuffer_const<T>& source,
                         const kcPelBuffer_const<unsigned char>& mask, kcPelBuffer<T>& destination,
                         kcMaskedViews<T>& views) {
  kcPelRect region = source.window() & mask.window();
  if (destination.isBound()) {
    region &= destination.window();
  } else if (!region.isNull()) {
    destination = kcPelBuffer<T>(region, 32);
    destination.copyXforms(source);
  }
  if (region.isNull()) return false;
  views = {source, mask, destination};
  views.source.window(region, false);
  views.mask.window(region, false);
  views.destination.window(region, false);
  views.source = kfUnaliasedSource(views.source, views.destination);
  views.mask = kfUnaliasedSource(views.mask, views.destination);
  return true;
}
