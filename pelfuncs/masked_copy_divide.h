#pragma once

#include "host/export.h"
#include "host/pel_buffer.h"

// Copies source pels into destination where the mask selects them: with
// outsideMask true where the mask pel is 0, otherwise where it is non-zero
// (any value). Works on source window & mask window, and on the
// destination's window too when the destination is bound; an unbound
// destination becomes a new buffer over that overlap with the source's
// transforms (and stays unbound when there is no overlap). An unbound mask
// copies the whole source with kfPelCopy, whatever outsideMask says.
// Unselected destination pels keep their values. Source and mask may share
// the destination's pels in any way: the result is that of copying from
// copies of them. Throws kcPel::UnboundWindow for an unbound source.
IMGNORM_API void kf_MaskedPelCopy(const kcPelBuffer_const<unsigned char>& source,
                                  const kcPelBuffer_const<unsigned char>& mask,
                                  kcPelBuffer<unsigned char>& destination, bool outsideMask);
IMGNORM_API void kf_MaskedPelCopy(const kcPelBuffer_const<unsigned short>& source,
                                  const kcPelBuffer_const<unsigned char>& mask,
                                  kcPelBuffer<unsigned short>& destination, bool outsideMask);

// destination <- (numerator * scale + divisor / 2) / divisor, rounded to
// nearest (halves up), in unsigned 32-bit arithmetic (the product wraps
// modulo 2^32) and stored as its low 8 bits, at every pel of the region
// where the mask is non-zero (or everywhere when the mask is unbound).
// The region is numerator window & divisor window (& mask window when the
// mask is bound). An unbound destination becomes a new buffer over the
// region with the numerator's transforms, even when the region is null. A
// bound destination restricts the region to its own window: nothing is
// written outside it. Inputs that share the destination's memory are read
// as they were before the call.
// Throws kcPel::UnboundWindow for an unbound numerator or divisor. A zero
// divisor at a pel that takes part is a broken precondition (KC_ASSERT),
// reported before anything is written.
IMGNORM_API void kf_MaskedPelDivide(const kcPelBuffer_const<unsigned short>& numerator,
                                    const kcPelBuffer_const<unsigned short>& divisor,
                                    const kcPelBuffer_const<unsigned char>& mask,
                                    kcPelBuffer<unsigned char>& destination, unsigned long scale);

// The row kernel of kf_MaskedPelDivide: width pels of one row, mask null
// when every pel takes part. Same precondition on the divisors.
IMGNORM_API void kf_MaskedPelDivideRow(const unsigned short* numerator,
                                       const unsigned short* divisor, const unsigned char* mask,
                                       long width, unsigned long scale, unsigned char* destination);

// The row kernel for wide numerators (up to 2^24 times the scale fits the
// 64-bit arithmetic it uses): destination <- (numerator * scale + divisor /
// 2) / divisor where the mask is non-zero, stored whole.
IMGNORM_API void kf_MaskedPelDivideRow(const unsigned* numerator, const unsigned short* divisor,
                                       const unsigned char* mask, long width, unsigned long scale,
                                       unsigned* destination);
// The same stored in 16 bits (the quotients must fit: codes up to 4095).
IMGNORM_API void kf_MaskedPelDivideRow(const unsigned* numerator, const unsigned short* divisor,
                                       const unsigned char* mask, long width, unsigned long scale,
                                       unsigned short* destination);

// destination <- value at every pel of destination window & mask window
// whose mask pel is 0; the other pels keep theirs. Throws
// kcPel::UnboundWindow for an unbound destination or mask.
IMGNORM_API void kf_PelSetOutsideMask(const kcPelBuffer<unsigned short>& destination,
                                      const kcPelBuffer_const<unsigned char>& mask,
                                      unsigned short value);
IMGNORM_API void kf_PelSetOutsideMask(const kcPelBuffer<unsigned>& destination,
                                      const kcPelBuffer_const<unsigned char>& mask, unsigned value);
IMGNORM_API void kf_PelSetOutsideMask(const kcPelBuffer<int>& destination,
                                      const kcPelBuffer_const<unsigned char>& mask, int value);
IMGNORM_API void kf_PelSetOutsideMask(const kcPelBuffer<float>& destination,
                                      const kcPelBuffer_const<unsigned char>& mask, float value);
