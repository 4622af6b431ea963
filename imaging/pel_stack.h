#pragma once

#include <cstdint>
#include <vector>

#include "host/export.h"
#include "host/geometry.h"
#include "host/pel_buffer.h"

// Per-pel statistics of a stack of images of one window, such as many
// frames of one scene, for 8-bit (unsigned char) and 16-bit (unsigned
// short) pels.

// The per-pel mean of images added one at a time: one 32-bit sum a pel,
// whatever the number of images, so a stack never needs to be held whole.
template <class T>
class IMGNORM_API kcPelStackMean {
 public:
  // The most images the sums hold: 2^32 / 2^(8 sizeof(T)).
  static constexpr long maxImages = 1L << (32 - 8 * sizeof(T));

  // Throws kcPelFunc::BadParams for a window without pels.
  explicit kcPelStackMean(const kcPelRect& window);

  // Adds the pels of image's window, which must be the stack's:
  // kcPel::UnboundWindow for an unbound image, kcPel::BadWindow for another
  // window, kcPelFunc::BadParams past maxImages (the sums are unchanged).
  void add(const kcPelBuffer_const<T>& image);
  long count() const { return count_; }
  // The mean of each pel, rounded half up, over the stack's window.
  // kcPelFunc::BadParams before any image was added.
  kcPelBuffer<T> mean() const;

 private:
  kcPelRect window_;
  std::vector<std::uint32_t> sums_;
  long count_ = 0;
};

// The per-pel median of images of one window: the pel of rank (n - 1) / 2
// in ascending order, the lower of the two middle ones for an even count.
// Throws as kcPelStackMean::add does, and kcPelFunc::BadParams for no
// image.
template <class T>
IMGNORM_API kcPelBuffer<T> kfPelStackMedian(const std::vector<kcPelBuffer_const<T>>& images);
