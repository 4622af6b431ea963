#pragma once

#include "host/pel_buffer.h"
#include "imaging/median.h"
#include "imaging/pel_copy.h"

// The window arithmetic both medians share: which pels a median reads and
// writes, as row pointers and strides for its kernel.

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

// The median of src over the working window work into dst, by
// run(const kcMedianJob<T>&); mask is unbound for the unmasked form. An
// unbound dst is allocated over work with src's transforms; a dst sharing
// storage with src or the mask receives a copy of a fresh result.
template <class T, class Run>
void kfMedianOver(const kcPelBuffer_const<T>& src, const kcPelBuffer_const<unsigned char>& mask,
                  const kcPelRect& work, const kcPelMedianParams& params, kcPelBuffer<T>& dst,
                  Run run) {
  if (!dst.isBound()) {
    dst = kcPelBuffer<T>(work, 32);
    dst.copyXforms(src);
  }
  const kcPelRect r = work & dst.window();
  if (r.isNull()) return;
  const auto shares = [&dst](const kc_PelBuffer& b) {
    return b.isBound() && b.root() == dst.root();
  };
  if (shares(src) || shares(mask)) {
    kcPelBuffer<T> fresh(r, 32);
    kfMedianOver(src, mask, work, params, fresh, run);
    kfPelCopy(kcPelBuffer_const<T>(fresh), dst);
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
