#pragma once

#include "imaging/affine_sample.h"
#include "host/export.h"
#include "host/pel_buffer.h"

// Projects src along the y side of the sampling rectangle. src is sampled
// exactly as kfAffineTransformImage does (same grid, interpolation, rounding
// and edge replication), and the xSize x ySize samples are summed column by
// column.
//
// Returns a new one-row buffer of xSize sums (window at origin (0, 0),
// allocation argument 32). Its image-from-client transform
// maps a pel position of src, given as the pel's image coordinates (x, y)
// and standing for that pel's centre, to the position on the profile: x lies
// in [i, i + 1) when the pel's centre lies in the strip of rectangle cells
// summed into projection pel i (y likewise counts sample rows along the y
// side).
// Throws kcPel::UnboundWindow / kcPel::BadWindow for an unbound or empty src
// and kcPelFunc::BadParams for a zero-area rectangle. Instantiated for
// unsigned char.
template <class T>
IMGNORM_API kcPelBuffer<unsigned long> kfProjectImage(const kcPelBuffer_const<T>& src,
                                                      const kcAffineSamplingParams& params);
