#pragma once

#include "host/export.h"
#include "host/pel_buffer.h"

// Neighbourhood operations over the 3x3 diamond: a pel and its four edge
// neighbours. Neither reads pels outside the region it works on; at the
// region's edges the diamond is cut to the neighbours that lie inside.

// Smooths the window in place with weight 4 for the centre and 1 for each
// edge neighbour, dividing by the weights used (truncating). Every output is
// computed from the original pels. An empty or unbound window is left as is.
IMGNORM_API void kf_PelSmooth3x3Diamond(kcPelBuffer<unsigned char>& image);

// Writes the dilation (bitwise OR over the cut diamond) or erosion (bitwise
// AND) of src into dst. An unbound dst is allocated over src's window and
// takes src's transforms; a bound one receives the common window only, whose
// edges count as image edges. Throws kcPel::BadWindow for an unbound src or a
// dst sharing src's storage or memory (refused rather than copied: a bound
// dst over src's pels is always a caller's slip here).
IMGNORM_API void kfBinaryMorph3x3Diamond(const kcPelBuffer_const<unsigned char>& src, bool dilate,
                                         kcPelBuffer<unsigned char>& dst);
