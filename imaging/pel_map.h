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

// The same for 16-bit pels through a table of 65536 entries, so that every
// pel has one whatever its bits: into 16-bit levels, or into 8-bit ones
// (to bring 16-bit pels to a coarser scale).
IMGNORM_API kcPelBuffer<unsigned short> kfPelMap(const kcPelBuffer_const<unsigned short>& src,
                                                 const std::vector<unsigned short>& map);
IMGNORM_API kcPelBuffer<unsigned char> kfPelMap(const kcPelBuffer_const<unsigned short>& src,
                                                const std::vector<unsigned char>& map);
IMGNORM_API void kfPelMap(const kcPelBuffer_const<unsigned short>& src,
                          const std::vector<unsigned short>& map, kcPelBuffer<unsigned short>& dst);

// A table of 2^bits entries made the 65536 of the 16-bit kfPelMap: the
// levels above the bits take the top entry's value.
template <class Level>
std::vector<Level> kfWideMapTable(std::vector<Level> map) {
  map.resize(65536, map.empty() ? Level{0} : map.back());
  return map;
}
