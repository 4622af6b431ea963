#pragma once

#include <vector>

#include "host/export.h"
#include "host/pel_buffer.h"

// Gray-level mapping through a table: map must hold 256 entries and each pel
// p becomes map[p]. Throws kcPel::UnboundWindow for an unbound src.

// A new buffer over src's window with src's transforms.
IMGNORM_API kcPelBuffer<unsigned char> kfPelMap(const kcPelBuffer_const<unsigned char>& src,
                                                const std::vector<unsigned char>& map);
// Into dst over the common window (dst allocated over src's window when
// unbound). dst may be src itself; any other overlap of their pels gives the
// result of mapping a copy of src.
IMGNORM_API void kfPelMap(const kcPelBuffer_const<unsigned char>& src,
                          const std::vector<unsigned char>& map, kcPelBuffer<unsigned char>& dst);
