#pragma once

#include "host/affine_sample.h"
#include "host/export.h"
#include "host/pel_buffer.h"

// Scope marker that callers hold around kfProjectImage. Projection needs no
// global setup here, so the guard only marks the scope: it keeps no state
// and changes nothing. The arguments (a context number, a mode and a level)
// are accepted for the callers' sake.
class IMGNORM_API kcProjectionGuard {
 public:
  kcProjectionGuard(long /*context*/, int /*mode*/, int /*level*/) noexcept {}
  kcProjectionGuard(const kcProjectionGuard&) = delete;
  kcProjectionGuard& operator=(const kcProjectionGuard&) = delete;
};

// Projects src along the y side of the sampling rectangle. src is sampled
// exactly as kfAffineTransformImage does (same grid, interpolation, rounding
// and edge replication), and the xSize x ySize samples are summed column by
// column.
//
// projection: replaced by a new one-row buffer of xSize sums (window at
// origin (0, 0), allocation argument 32). Its image-from-client transform
// maps a pel position of src, given as the pel's image coordinates (x, y)
// and standing for that pel's centre, to the position on the profile: x lies
// in [i, i + 1) when the pel's centre lies in the strip of rectangle cells
// summed into projection pel i (y likewise counts sample rows along the y
// side).
// scratch: not used; left unchanged.
// count: set to the number of samples summed per column (ySize).
// flag: set to true once the projection is made.
// Throws kcPel::UnboundWindow / kcPel::BadWindow for an unbound or empty src
// and kcPelFunc::BadParams for a zero-area rectangle; on a throw the outputs
// are unchanged. Instantiated for unsigned char.
template <class T>
IMGNORM_API void kfProjectImage(const kcPelBuffer_const<T>& src,
                                kcPelBuffer<unsigned long>& projection,
                                kcPelBuffer<unsigned long>& scratch,
                                const kcAffineSamplingParams& params, unsigned long& count,
                                bool& flag);
