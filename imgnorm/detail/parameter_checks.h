#pragma once

#include "host/geometry.h"
#include "imgnorm/errors.h"
#include "imgnorm/method.h"

// The rules of the tool's parameters, shared by the setters and by loading.
// Each throws kcImageNormalizerDefs::BadParams with the rule as message.
namespace imgnorm {

// The largest sizes the filters take: a neighbourhood's smoothing kernel
// must stay within the Gaussian's, and a granularity's reduction kernel
// (granularity - 1) too.
constexpr long kMaxNeighborhoodSize = 131067;
constexpr long kMaxGranularity = 65536;

inline void checkNeighborhoodSize(const kcPair<long>& v) {
  if (v.x() < 1 || v.y() < 1)
    throw kcImageNormalizerDefs::BadParams(L"Both elements of neighborhoodSize must be >= 1");
  if (v.x() > kMaxNeighborhoodSize || v.y() > kMaxNeighborhoodSize)
    throw kcImageNormalizerDefs::BadParams(L"Both elements of neighborhoodSize must be <= 131067");
}

inline void checkGranularity(const kcPair<long>& v) {
  if (v.x() < 1 || v.y() < 1)
    throw kcImageNormalizerDefs::BadParams(L"Both elements of granularity must be >= 1");
  if (v.x() > kMaxGranularity || v.y() > kMaxGranularity)
    throw kcImageNormalizerDefs::BadParams(L"Both elements of granularity must be <= 65536");
}

// Each comparison fails only when its relation is false, so a NaN passes.
inline void checkTailFractions(const kcPair<double>& v) {
  if (0.0 > v.x() || v.x() > v.y() || v.y() > 1.0)
    throw kcImageNormalizerDefs::BadParams(
        L"Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0");
}

inline void checkIntensityVariationRange(const kcPair<long>& v) {
  if (v.x() > 0 || v.y() < 0)
    throw kcImageNormalizerDefs::BadParams(L"intensityVariationRange must be: x <= 0 and y >= 0");
}

}  // namespace imgnorm

namespace imgnorm {

inline void checkModel(unsigned code) {
  if (code > kcImageNormalizerDefs::eDivide)
    throw kcImageNormalizerDefs::BadParams(L"model must be eSubtract (0) or eDivide (1)");
}

// The significant bits of a 16-bit reference.
inline void checkBits(int bits) {
  if (bits < 1 || bits > 16)
    throw kcImageNormalizerDefs::BadParams(L"The bits of a 16-bit reference must be 1 to 16.");
}

}  // namespace imgnorm
