#pragma once

#include <array>
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

constexpr Method operator|(Method a, Method b) {
  return static_cast<Method>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
constexpr Method operator&(Method a, Method b) {
  return static_cast<Method>(static_cast<std::uint32_t>(a) & static_cast<std::uint32_t>(b));
}

// How a method works: a gray-level map from the run-time histogram (global),
// a map from the fitted line between run-time and reference levels (fit),
// or a correction that varies over the image (local).
enum class MethodKind : unsigned char { eGlobal, eFit, eLocal };

// One row per method: everything the library, the command line and Python
// know of it apart from its code. Python's name is the command line's in
// capitals with '_' for '-' (MEAN_STDDEV).
struct MethodInfo {
  Method flag;
  const char* name;         // on the command line: "mean-stddev"
  const wchar_t* flagName;  // in the tool's records: "eMatchMeanAndStddev"
  MethodKind kind;
  constexpr bool hasMap() const { return kind != MethodKind::eLocal; }
};

inline constexpr std::array<MethodInfo, 6> kMethods = {{
    {eMatchHistogram, "histogram", L"eMatchHistogram", MethodKind::eGlobal},
    {eMatchMeanAndStddev, "mean-stddev", L"eMatchMeanAndStddev", MethodKind::eGlobal},
    {eMatchHistogramTails, "tails", L"eMatchHistogramTails", MethodKind::eGlobal},
    {eLinearlyFitGrayValues, "linear-fit", L"eLinearlyFitGrayValues", MethodKind::eFit},
    {eLocalCorrection, "local", L"eLocalCorrection", MethodKind::eLocal},
    {eLocalCorrectionEnhanced, "local-enhanced", L"eLocalCorrectionEnhanced", MethodKind::eLocal},
}};

// The row of exactly one method's flag; null for eIdentity, for a set of
// several and for unknown bits.
constexpr const MethodInfo* methodInfo(std::uint32_t method) {
  for (const MethodInfo& row : kMethods)
    if (row.flag == method) return &row;
  return nullptr;
}

// The flags of the methods of a kind, or of every method.
constexpr std::uint32_t methodsOfKind(MethodKind kind) {
  std::uint32_t set = 0;
  for (const MethodInfo& row : kMethods)
    if (row.kind == kind) set |= row.flag;
  return set;
}
constexpr std::uint32_t allMethods() {
  std::uint32_t set = 0;
  for (const MethodInfo& row : kMethods) set |= row.flag;
  return set;
}

constexpr std::uint32_t kKnownMethods = allMethods();
constexpr std::uint32_t kGlobalMethods = methodsOfKind(MethodKind::eGlobal);
constexpr std::uint32_t kLocalMethods = methodsOfKind(MethodKind::eLocal);

// Whether method is exactly one method whose run applies a gray-level map.
constexpr bool hasMap(std::uint32_t method) {
  const MethodInfo* row = methodInfo(method);
  return row && row->hasMap();
}
constexpr bool isOfKind(std::uint32_t method, MethodKind kind) {
  const MethodInfo* row = methodInfo(method);
  return row && row->kind == kind;
}
constexpr bool isLocal(std::uint32_t method) { return isOfKind(method, MethodKind::eLocal); }
constexpr bool isFit(std::uint32_t method) { return isOfKind(method, MethodKind::eFit); }

static_assert(kKnownMethods == 63 && kGlobalMethods == 7, "the flags are persisted");

// How the local methods relate a run-time image to the reference:
//  eSubtract  the smoothed difference image - reference is subtracted (an
//             offset: stray light, a gradient);
//  eDivide    the image is divided by the smoothed ratio image / reference
//             (a gain: vignetting, an uneven lamp).
// The codes are persisted.
enum Model : unsigned char { eSubtract = 0, eDivide = 1 };

// The names of the models on the command line and in Python, by code.
inline constexpr std::array<const char*, 2> kModelNames = {"subtract", "divide"};

}  // namespace kcImageNormalizerDefs
