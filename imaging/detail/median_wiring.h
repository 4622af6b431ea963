#pragma once

#include "host/pel_buffer.h"
#include "imaging/median.h"
#include "imaging/pel_copy.h"

// What the 8-bit and the wide median share: the job a strip filter runs,
// and the wiring of source, mask and destination windows into it.

// Row pointers and strides of one median run, pels of type T.
template <class T>
struct kcMedianJob {
  const T* src;
  long srcStride;
  const unsigned char* mask;  // null: unmasked
  long maskStride;
  long width, height;          // working window
  long left, right, up, down;  // kernel reach from the output pel
  unsigned lo, hi;
  long x0, x1, y0, y1;  // output pels, relative to the working window
  T* dst;               // output pel (x0, y0)
  long dstStride;
};

// The wide median's job where its range spans at most 8192 levels, by
// the three-tier histograms of 12-bit codes with twice the coarse bins;
// false, with nothing done, for wider ranges.
bool kfRunThirteenBitMedian(const kcMedianJob<unsigned>& job);

inline bool kfSharesStorage(const kc_PelBuffer& a, const kc_PelBuffer& b) {
  return a.isBound() && a.root() == b.root();
}

// The wiring of both forms over the working window work (mask is unbound for
// the unmasked form): allocates an unbound dst, goes through a fresh buffer
// when dst shares storage with an input, and hands run the job of the pels
// common to work and dst.
template <class T, class Run>
void kfMedianOver(const kcPelBuffer_const<T>& src, const kcPelBuffer_const<unsigned char>& mask,
                  const kcPelRect& work, const kcPelMedianParams& params, kcPelBuffer<T>& dst,
                  const Run& run) {
  // Fresh storage is never zeroed: the run writes each of its pels.
  if (!dst.isBound()) {
    dst = kcPelBuffer<T>(work, 32, kcForOverwrite{});
    dst.copyXforms(src);
  }
  const kcPelRect r = work & dst.window();
  if (r.isNull()) return;
  if (kfSharesStorage(dst, src) || kfSharesStorage(dst, mask)) {
    kcPelBuffer<T> fresh(r, 32, kcForOverwrite{});
    kfMedianOver(src, mask, work, params, fresh, run);
    kfPelCopy(fresh, dst);
    return;
  }
  kcMedianJob<T> job{};
  job.src = src.pointToPel(work.x(), work.y());
  job.srcStride = src.rowUpdate();
  if (mask.isBound()) {
    job.mask = mask.pointToPel(work.x(), work.y());
    job.maskStride = mask.rowUpdate();
  }
  job.width = work.width();
  job.height = work.height();
  job.left = params.kernel().x() / 2;
  job.right = (params.kernel().x() - 1) / 2;
  job.up = params.kernel().y() / 2;
  job.down = (params.kernel().y() - 1) / 2;
  job.lo = static_cast<unsigned>(params.valueRange().x());
  job.hi = static_cast<unsigned>(params.valueRange().y());
  job.x0 = r.x() - work.x();
  job.x1 = r.right() - work.x();
  job.y0 = r.y() - work.y();
  job.y1 = r.bottom() - work.y();
  job.dst = dst.pointToPel(r.x(), r.y());
  job.dstStride = dst.rowUpdate();
  run(job);
}

// Both forms of a median over pels of type T: checks the inputs and picks
// the working window.
template <class T, class Run>
void kfMedianForms(const kcPelBuffer_const<T>& src, const kcPelBuffer_const<unsigned char>* mask,
                   const kcPelMedianParams& params, kcPelBuffer<T>& dst, const Run& run) {
  src.requireBound();
  if (!mask) {
    kfMedianOver(src, kcPelBuffer_const<unsigned char>(), src.window(), params, dst, run);
    return;
  }
  mask->requireBound();
  kfMedianOver(src, *mask, src.window() & mask->window(), params, dst, run);
}
