#pragma once

#include <cstdint>

namespace kcImageNormalizerDefs {

// A set of normalization methods. Training takes any combination; running
// takes exactly one flag or eIdentity.
enum Method : std::uint32_t {
  eIdentity = 0,
  eMatchHistogram = 1,
  eMatchMeanAndStddev = 2,
  eMatchHistogramTails = 4,
  eLinearlyFitGrayValues = 8,
  eLocalCorrection = 16,
  eLocalCorrectionEnhanced = 32,
};

constexpr std::uint32_t kKnownMethods = 63;
constexpr std::uint32_t kGlobalMethods = 7;

constexpr Method operator|(Method a, Method b) {
  return static_cast<Method>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
constexpr Method operator&(Method a, Method b) {
  return static_cast<Method>(static_cast<std::uint32_t>(a) & static_cast<std::uint32_t>(b));
}

}  // namespace kcImageNormalizerDefs
