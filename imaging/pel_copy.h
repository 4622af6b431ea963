#pragma once

#include "host/export.h"
#include "host/pel_buffer.h"

// A new buffer with a private copy of src's window (allocation argument 32,
// src's transforms). Throws kcPel::UnboundWindow for an unbound src.
template <class T>
IMGNORM_API kcPelBuffer<T> kfPelCopy(const kcPelBuffer_const<T>& src);

// Copies src into dst at the same coordinates. An unbound dst becomes a copy
// of src (window and transforms); a bound one receives the pels of the
// common window and keeps its transforms. Views of one storage may overlap
// in any direction: the result is that of copying a copy of src.
template <class T>
IMGNORM_API void kfPelCopy(const kcPelBuffer_const<T>& src, kcPelBuffer<T>& dst);
