#pragma once

#include "host/export.h"
#include "host/pel_buffer.h"

// Largest pel of src's window (0 for an empty window). Throws
// kcPel::UnboundWindow for an unbound src.
IMGNORM_API unsigned long kfPelMax(const kcPelBuffer_const<unsigned long>& src);
