#pragma once

#include <functional>

#include "host/export.h"
#include "host/pel_buffer.h"
#include "host/xform.h"

// What to sample and how: an affine rectangle, the number of samples along
// its x and y sides, and the interpolation.
//
// Sample grid: the rectangle is given in client coordinates and its corners
// are pel edges (the ul corner of a window is the outer corner of its first
// pel). The rectangle is cut into xSize by ySize equal cells and sample (i, j)
// lies at the centre of cell (i, j), i.e. at unit-square coordinates
// ((i + 0.5) / xSize, (j + 0.5) / ySize) with (0, 0) at the rectangle's origin,
// (1, 0) at the end of its x side and (0, 1) at the end of its y side. That
// point is mapped to the source's image coordinates through the source's
// imageFromClientXform; the pel at image (x, y) has its centre at
// (x + 0.5, y + 0.5). Sampling a window's own rectangle at its own size thus
// hits every pel centre exactly.
class IMGNORM_API kcAffineSamplingParams {
 public:
  // Most samples along a side: sizes are passed on as signed 16-bit values.
  static constexpr long kMaxSamples = 32767;

  enum Interpolation {
    eBilinear = 2,
    eBicubic = 3,  // cubic convolution, Keys' kernel with a = -0.5
  };

  // Throws kcPelFunc::BadParams for a size outside 1..kMaxSamples, an unknown
  // interpolation or a rectangle with a non-finite coordinate. A degenerate
  // (zero-area) rectangle is allowed: it samples along a line or at a point.
  kcAffineSamplingParams(const kcAffineRectangle& rect, long xSize, long ySize, int interpolation);

  const kcAffineRectangle& rectangle() const { return rect_; }
  long xSize() const { return xSize_; }
  long ySize() const { return ySize_; }
  Interpolation interpolation() const { return interpolation_; }

 private:
  kcAffineRectangle rect_;
  long xSize_;
  long ySize_;
  Interpolation interpolation_;
};

// A new xSize x ySize buffer (window at origin (0, 0), identity transforms,
// allocation argument 32) holding src sampled on the grid above. Taps that
// fall outside src's window read the nearest pel of the window's edge.
// Results are rounded to nearest (halves up) and clamped to the pel range,
// so a constant image stays exactly constant. Throws kcPel::UnboundWindow
// for an unbound src and kcPel::BadWindow for an empty window.
// Instantiated for unsigned char; the row form also for unsigned int.
template <class T>
IMGNORM_API kcPelBuffer<T> kfAffineTransformImage(const kcPelBuffer_const<T>& src,
                                                  const kcAffineSamplingParams& params);

// The same samples, handed to rowDone(j, pels) one output row at a time
// (j = 0 .. ySize - 1, pels pointing to xSize samples that stay valid only
// during the call) instead of being stored: for callers that combine them
// with other images at once and need no image of them. Throws as above
// before the first call.
template <class T>
IMGNORM_API void kfAffineSampleRows(const kcPelBuffer_const<T>& src,
                                    const kcAffineSamplingParams& params,
                                    const std::function<void(long, const T*)>& rowDone);
