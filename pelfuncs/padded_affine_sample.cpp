#include "pelfuncs/padded_affine_sample.h"

#include "host/assert.h"
#include "imaging/affine_sample.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_set.h"

namespace {

template <class T>
kcPelBuffer<T> viewOf(const kcPelBuffer<T>& buffer, const kcPelRect& r) {
  kcPelBuffer<T> view = buffer;
  view.window(r, false);
  return view;
}

// Copies the pels of rectangle from onto rectangle to (same size) of the same
// buffer. kfPelCopy pairs pels by coordinates, so the source view is
// relabelled to lie over the destination.
template <class T>
void copyBlock(const kcPelBuffer<T>& buffer, const kcPelRect& from, const kcPelRect& to) {
  kcPelBuffer<T> src = viewOf(buffer, from);
  src.offset(src.offset() + (to.origin() - from.origin()));
  kcPelBuffer<T> dst = viewOf(buffer, to);
  kfPelCopy<T>(src, dst);
}

template <class T>
void setBlock(const kcPelBuffer<T>& buffer, const kcPelRect& r, T value) {
  kfPelSet(viewOf(buffer, r), value);
}

// Fills the border of width b of buffer from its inner rectangle: every
// border pel takes the value of the nearest inner pel.
template <class T>
void duplicateBorderPixels(kcPelBuffer<T>& buffer, long b) {
  KC_ASSERT(buffer.isBound());
  const kcPelRect w = buffer.window();
  const long iw = w.width() - 2 * b;
  const long ih = w.height() - 2 * b;
  KC_ASSERT(b >= 0 && iw >= 1 && ih >= 1);
  if (b == 0) return;
  // Image coordinates of the inner rectangle's first and last columns and
  // rows, and of the first column and row of the far border.
  const long x0 = w.x(), y0 = w.y();
  const long left = x0 + b, right = x0 + b + iw - 1, farX = x0 + b + iw;
  const long top = y0 + b, bottom = y0 + b + ih - 1, farY = y0 + b + ih;
  auto pel = [&buffer](long x, long y) { return buffer.get(x, y); };
  auto row = [iw, left](long y) { return kcPelRect(left, y, iw, 1); };
  auto column = [ih, top](long x) { return kcPelRect(x, top, 1, ih); };

  setBlock(buffer, kcPelRect(x0, y0, b, b), pel(left, top));
  for (long y = y0; y < top; ++y) copyBlock(buffer, row(top), row(y));
  setBlock(buffer, kcPelRect(farX, y0, b, b), pel(right, top));
  for (long x = x0; x < left; ++x) copyBlock(buffer, column(left), column(x));
  for (long x = farX; x < farX + b; ++x) copyBlock(buffer, column(right), column(x));
  setBlock(buffer, kcPelRect(x0, farY, b, b), pel(left, bottom));
  for (long y = farY; y < farY + b; ++y) copyBlock(buffer, row(bottom), row(y));
  setBlock(buffer, kcPelRect(farX, farY, b, b), pel(right, bottom));
}

kcPelRect grown(const kcPelRect& r, long b) { return r.trim(-b, -b, -b, -b, false); }

}  // namespace

kcPelBuffer<unsigned char> kf_ExpandByDuplicatingBorderPixels(
    const kcPelBuffer_const<unsigned char>& src) {
  KC_ASSERT(src.isBound() && !src.window().isNull());
  kcPelBuffer<unsigned char> result(grown(src.window(), 1), 32);
  result.copyXforms(src);
  kfPelCopy(src, result);
  duplicateBorderPixels(result, 1);
  return result;
}

namespace {

// The sampling of src's whole window at xSize x ySize, and src copied into
// a buffer whose border gives every interpolation tap at and beyond the
// edges a replicated pel to read.
template <class T>
struct PaddedSampling {
  kcPelBuffer<T> padded;
  kcAffineSamplingParams params;
};

template <class T>
PaddedSampling<T> paddedSampling(const kcPelBuffer<T>& src, long xSize, long ySize, bool bicubic) {
  const kcPelRect w = src.window();
  const kc2XformBase& clientFromImage = *src.clientFromImageXformBase();
  const kcAffineRectangle rect(clientFromImage * kcVector<2>(w.ul()),
                               clientFromImage * kcVector<2>(w.ur()),
                               clientFromImage * kcVector<2>(w.ll()));
  const kcAffineSamplingParams params(
      rect, xSize, ySize,
      bicubic ? kcAffineSamplingParams::eBicubic : kcAffineSamplingParams::eBilinear);
  const long b = bicubic ? 3 : 2;
  kcPelBuffer<T> padded(grown(w, b), 32);
  kfPelCopy<T>(src, padded);
  padded.copyXforms(src);
  duplicateBorderPixels(padded, b);
  return {padded, params};
}

}  // namespace

kcPelBuffer<unsigned char> kf_PaddedAffineSample(const kcPelBuffer<unsigned char>& src, long xSize,
                                                 long ySize, bool bicubic) {
  const PaddedSampling<unsigned char> s = paddedSampling(src, xSize, ySize, bicubic);
  return kfAffineTransformImage<unsigned char>(s.padded, s.params);
}

namespace {

template <class T>
void paddedSampleRows(const kcPelBuffer<T>& src, long xSize, long ySize, bool bicubic,
                      const std::function<void(long, const T*)>& rowDone) {
  const PaddedSampling<T> s = paddedSampling(src, xSize, ySize, bicubic);
  kfAffineSampleRows<T>(s.padded, s.params, rowDone);
}

}  // namespace

void kf_PaddedAffineSampleRows(const kcPelBuffer<unsigned char>& src, long xSize, long ySize,
                               bool bicubic,
                               const std::function<void(long, const unsigned char*)>& rowDone) {
  paddedSampleRows(src, xSize, ySize, bicubic, rowDone);
}

void kf_PaddedAffineSampleRows(const kcPelBuffer<unsigned short>& src, long xSize, long ySize,
                               bool bicubic,
                               const std::function<void(long, const unsigned short*)>& rowDone) {
  paddedSampleRows(src, xSize, ySize, bicubic, rowDone);
}

void kf_PaddedAffineSampleRows(const kcPelBuffer<unsigned int>& src, long xSize, long ySize,
                               bool bicubic,
                               const std::function<void(long, const unsigned int*)>& rowDone) {
  paddedSampleRows(src, xSize, ySize, bicubic, rowDone);
}
