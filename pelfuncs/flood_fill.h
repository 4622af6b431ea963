#pragma once

#include <vector>

#include "host/export.h"
#include "host/geometry.h"
#include "host/pel_buffer.h"

// Replaces the 8-connected region of the seed's gray value around seed (image
// coordinates) by fillValue, in place: the view is const, its pels are not.
// work holds the queue: it is grown to at least width x height entries, and
// further as needed, and never shrunk, so reusing one vector avoids
// reallocation. Its contents afterwards have no meaning.
// Throws kcPel::UnboundWindow for an unbound image, kcPel::BadWindow for an
// empty window, and kcPelFunc::BadParams for a seed outside the window or a
// seed pel that already holds fillValue.
IMGNORM_API void kf_FloodFill(const kcPelBuffer<unsigned char>& image, const kcPair<long>& seed,
                              unsigned char fillValue, std::vector<long>& work);
// The same with a private queue that starts small and grows with the fill's
// frontier, so a large image costs no queue of its area.
IMGNORM_API void kf_FloodFill(const kcPelBuffer<unsigned char>& image, const kcPair<long>& seed,
                              unsigned char fillValue);

// The first pel equal to value in raster order: true and where set to its
// image coordinates when there is one; false, where untouched, otherwise
// (also for an empty window). Throws kcPel::UnboundWindow when unbound.
IMGNORM_API bool kf_FindFirstPel(const kcPelBuffer_const<unsigned char>& image, unsigned char value,
                                 kcPair<long>& where);
