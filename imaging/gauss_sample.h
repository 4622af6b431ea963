#pragma once

#include <functional>

#include "host/export.h"
#include "host/geometry.h"
#include "host/pel_buffer.h"

// Gaussian-like smoothing and reduction of 8-bit images, and of unsigned
// short and unsigned int images of small values (such as 12-bit codes and
// 17-bit differences).
//
// Kernel. A kernel size k in one direction (k >= 0) stands for three
// successive box filters, each k + 1 pels wide: a smooth, symmetric,
// quadratic-spline kernel of 3k + 1 taps with weights summing to
// (k + 1)^3 and a variance of k (k + 2) / 4. k = 0 is a single tap: no
// smoothing in that direction (but see the centring for even sampling
// factors). The 2-D kernel is the product of the two 1-D kernels.
//
// Centring. Output pel i of a direction sampled by g is centred on the centre
// of the source block of g pels starting at i * g, i.e. on source position
// i * g + (g - 1) / 2. When that position lies on a pel (g odd) the kernel
// needs an odd tap count (k even), when it lies between two pels (g even) an
// even one (k odd). Where the parity does not fit, a fourth box two pels wide
// is added, which keeps the kernel exactly symmetric about the block centre
// at the price of a quarter pel squared more variance; its weights then sum
// to 2 (k + 1)^3.
//
// Edges. The source's window is extended by replicating its border pels, so
// a constant image gives that constant times the scale everywhere.
//
// Arithmetic. Weighted sums are exact integers (64 or 128 bits as the kernel
// requires); the only division is the final one by the kernel's total
// weight, which rounds half up with doRounding(true) and truncates
// otherwise. Results above the output type's range saturate.
//
// Cost. The boxes are applied as running sums, so the cost per pel does not
// depend on the kernel size as long as the kernel is not longer than the
// image (beyond that it grows with the kernel's length per row and column).
// Kernels whose total weight times the largest pel (255 for 8-bit images,
// read from the window for unsigned int ones) and the scale passes 2^52
// take wider arithmetic and run somewhat slower, as do those of unsigned
// int sources whose total weight times the largest pel passes 2^32. Results are 32-bit
// quotients: an unsigned int source whose largest pel times the scale
// passes 2^32 - 1 throws kcPelFunc::BadParams.

class IMGNORM_API kcGaussSampleParams {
 public:
  // sampling: the reduction factors (gx, gy), each >= 1. kernel: the kernel
  // sizes (kx, ky), each 0..maxKernel. scale: the factor applied to the
  // smoothed values, a whole number 1..maxScale. Rounding is off by
  // default.
  // Throws kcPelFunc::BadParams for values out of range.
  kcGaussSampleParams(const kcPair<long>& sampling, const kcPair<long>& kernel, double scale);

  static constexpr long maxKernel = 65535;
  static constexpr double maxScale = 65535.0;

  const kcPair<long>& sampling() const { return sampling_; }
  const kcPair<long>& kernel() const { return kernel_; }
  double scale() const { return scale_; }
  bool doRounding() const { return rounding_; }
  void doRounding(bool on) { rounding_ = on; }
  // For unsigned int sources: a bound on their pels that the caller knows
  // (such as a difference's limit), which spares reading the window for it.
  // 0, the default, has it read. Pels above a given bound give wrong sums.
  unsigned largestPel() const { return largestPel_; }
  void largestPel(unsigned bound) { largestPel_ = bound; }

 private:
  kcPair<long> sampling_;
  kcPair<long> kernel_;
  double scale_;
  bool rounding_ = false;
  unsigned largestPel_ = 0;
};

// Smooths src and reduces it by the sampling factors. The result is
// ceil(width / gx) by ceil(height / gy) pels, its window starts at (0, 0),
// and output pel (i, j) is the kernel-weighted mean centred on the centre of
// the source block of gx by gy pels whose first pel is (i gx, j gy) from the
// window's origin; a partial last block reads replicated edge pels. The
// result's client-from-image transform is src's composed with the map from
// reduced to source image coordinates, x -> origin.x + gx x and
// y -> origin.y + gy y (pel edges onto block edges, pel centres onto block
// centres), so the reduced image lies over the full one in client
// coordinates. Throws kcPel::UnboundWindow when src is unbound.
template <class S>
IMGNORM_API kcPelBuffer<S> kfGaussSample(const kcPelBuffer_const<S>& src,
                                         const kcGaussSampleParams& params);

// The reduction above of a source that is never stored whole: shape gives
// its window and transforms (its pels are not read), and makeRow(j, pels)
// writes source row j (0 .. height - 1 of the window, width pels) when the
// smoothing first needs it: in rising order, each row at most once (rows
// that no output's kernel reaches are not made). The rows live
// in a ring of a few times the vertical kernel's rows, so a source computed
// row by row (such as codes of two images) costs no pass over a stored
// copy. The largest pel must be given (params.largestPel()):
// kcPelFunc::BadParams otherwise. Results are those of the form above over
// the stored rows.
template <class S>
IMGNORM_API kcPelBuffer<S> kfGaussSampleMadeRows(const kc_PelBuffer& shape,
                                                 const kcGaussSampleParams& params,
                                                 const std::function<void(long, S*)>& makeRow);

// Full-size smoothing times the scale. The sampling factors must be (1, 1)
// (kcPelFunc::BadParams otherwise). An unbound dst is allocated over src's
// window and takes src's transforms; a bound one receives the pels of the
// common window and keeps its transforms. The edges are those of src's
// window whatever dst covers. Throws kcPel::UnboundWindow when src is
// unbound.
template <class S, class D>
IMGNORM_API void kfGaussSample(const kcPelBuffer_const<S>& src, kcPelBuffer<D>& dst,
                               const kcGaussSampleParams& params);

// The full-size smoothing of the form above handed to rowDone(j, pels) one
// row at a time (j = 0 .. height - 1 of src's window, pels pointing to its
// width of values, valid only during the call) instead of being stored.
// Same exceptions as above, thrown before the first call.
template <class S, class D>
IMGNORM_API void kfGaussSampleRows(const kcPelBuffer_const<S>& src,
                                   const kcGaussSampleParams& params,
                                   const std::function<void(long, const D*)>& rowDone);

// The row-by-row smoothing above of a source that is never stored whole,
// its rows made by makeRow as for kfGaussSampleMadeRows (the largest pel
// given, the pels of shape not read). The rows are made ahead of those
// handed over by up to the vertical kernel's reach; rowDone is handed what
// the form above gives the stored rows.
template <class S, class D>
IMGNORM_API void kfGaussSampleRows(const kc_PelBuffer& shape, const kcGaussSampleParams& params,
                                   const std::function<void(long, S*)>& makeRow,
                                   const std::function<void(long, const D*)>& rowDone);

// Two 16-bit images read as their clamped differences: the pel at (x, y)
// stands for offset + clamp(a(x, y) - b(x, y), -limit, limit), over a's
// window, which b's must cover (pels paired by image coordinates).
// limit <= 65535, offset >= limit and offset + limit < 2^32, so that every
// such pel is a 32-bit unsigned number.
struct kcPelDifference {
  kcPelBuffer_const<unsigned short> a, b;
  unsigned limit = 0;
  unsigned offset = 0;
};

// The reduction and the row-by-row smoothing above of an unsigned int image
// of those pels, with a's window and transforms, each difference worked
// out from a and b where the smoothing reads it, so that none is stored:
// the same results as those forms give an image of the differences.
// params.largestPel() is not read (offset + limit bounds the pels). Throws
// kcPel::UnboundWindow when a or b is unbound, kcPelFunc::BadParams for a
// b that does not cover a's window, a limit or offset out of range, or
// (rows) sampling factors other than (1, 1); always before any row is
// handed over.
IMGNORM_API kcPelBuffer<unsigned> kfGaussSample(const kcPelDifference& src,
                                                const kcGaussSampleParams& params);
IMGNORM_API void kfGaussSampleRows(const kcPelDifference& src, const kcGaussSampleParams& params,
                                   const std::function<void(long, const unsigned*)>& rowDone);

// How far the source rows kfGaussSampleRows still reads trail behind the
// rows it hands over: once rowDone has been called for row j, no row of
// src's window above j - lag is read again (the edges included), so a caller
// may overwrite those rows. The cascade reads at most 3 k / 2 + 3 rows
// behind its output row for a vertical kernel size k; lag leaves margin.
inline long kfGaussSampleRowsLag(const kcGaussSampleParams& params) {
  return 2 * params.kernel().y() + 4;
}
