#pragma once

#include "host/export.h"
#include "host/geometry.h"
#include "host/pel_buffer.h"

// Makes buffer's window exactly rectangle. When its storage is at least as
// large as the rectangle in both directions, the storage is kept: its first
// pel gets the rectangle's upper-left image coordinates and the pel values
// are left as they were. Otherwise (or when unbound) the handle is rebound to
// a new buffer over the rectangle.
IMGNORM_API void kf_AdjustWindow(kcPelBuffer<unsigned char>& buffer, const kcPelRect& rectangle);
