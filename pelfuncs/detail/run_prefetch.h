#pragma once

#include "host/pel_buffer.h"
#include "pelfuncs/mask_runs.h"

// Asks the cache ahead for the first kilobyte of each run of row y (cut to
// the columns [x0, x1)) in image, a row of both. A run starts away from
// where the last one ended, and the hardware's prefetcher follows it only
// after missing its first lines: a walk over runs calls this for the next
// row. Only a hint; it reads and changes nothing.
void kfPrefetchRunStarts(const kcMaskRuns& runs, const kcPelBuffer_const<unsigned char>& image,
                         long y, long x0, long x1);
