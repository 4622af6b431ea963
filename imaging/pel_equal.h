#pragma once

#include "host/export.h"
#include "host/pel_buffer.h"

// True when a and b have windows of the same size holding the same pels,
// compared position by position (the windows' coordinates may differ).
// Throws kcPel::UnboundWindow for an unbound input. Instantiated for pairs of
// 8, 16 and 32-bit pels of one type.
template <class A, class B>
IMGNORM_API bool kfPelEqual(const kcPelBuffer_const<A>& a, const kcPelBuffer_const<B>& b);
