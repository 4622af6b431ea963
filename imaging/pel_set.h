#pragma once

#include "host/export.h"
#include "host/pel_buffer.h"

// Sets every pel of buffer's window to value. Throws kcPel::UnboundWindow
// for an unbound buffer. Instantiated for 8, 16 and 32-bit pels.
template <class T>
IMGNORM_API void kfPelSet(const kcPelBuffer<T>& buffer, T value);
