#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "host/pel_buffer.h"
#include "imaging/pel_copy.h"
#include "imaging/pel_equal.h"
#include "imgnorm/image_normalizer.h"

// Helpers shared by the tests: deterministic random images and windows,
// image makers, byte writers for archives and message capture.
namespace testing_support {

using Image = kcPelBuffer<unsigned char>;
using Bytes = std::vector<unsigned char>;

inline std::mt19937& rng() {
  static std::mt19937 generator(12345);
  return generator;
}

inline long uniform(long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng()); }
inline double uniformReal(double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(rng());
}

// A window at a random position within +-spread, sized 1..maxW x 1..maxH.
inline kcPelRect randomWindow(long maxW, long maxH, long spread = 10) {
  return {uniform(-spread, spread), uniform(-spread, spread), uniform(1, maxW), uniform(1, maxH)};
}

// A buffer over window r whose pels are uniform random in lo..hi.
template <class T = unsigned char>
kcPelBuffer<T> randomImage(const kcPelRect& r, unsigned lo = 0, unsigned hi = 255) {
  kcPelBuffer<T> b(r, 32);
  std::uniform_int_distribution<unsigned> d(lo, hi);
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x) b.set(x, y, static_cast<T>(d(rng())));
  return b;
}

// A view of exactly `window` inside larger random storage, so that pels
// outside the window would show if they were read or written.
inline Image randomView(const kcPelRect& window, unsigned lo = 0, unsigned hi = 255) {
  Image b = randomImage(window.trim(-uniform(0, 5), -uniform(0, 5), -uniform(0, 5), -uniform(0, 5),
                                    false),
                        lo, hi);
  b.window(window, false);
  return b;
}

// A buffer over window r filled by f(x, y) in image coordinates.
template <class T = unsigned char, class F>
kcPelBuffer<T> makeImage(const kcPelRect& r, F&& f) {
  kcPelBuffer<T> b(r, 32);
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x) b.set(x, y, static_cast<T>(f(x, y)));
  return b;
}

template <class T = unsigned char>
kcPelBuffer<T> constant(const kcPelRect& r, unsigned long value) {
  return makeImage<T>(r, [value](long, long) { return value; });
}

inline bool inside(const kcPelRect& r, long x, long y) { return r.contains(kcPair<long>(x, y)); }

// A histogram of 256 levels holding the given counts.
inline std::vector<unsigned long> histogramOf(
    std::initializer_list<std::pair<int, unsigned long>> counts) {
  std::vector<unsigned long> h(256, 0);
  for (const auto& [level, count] : counts) h[level] = count;
  return h;
}

// b widened to the whole storage it views.
template <class T>
kcPelBuffer<T> entireOf(kcPelBuffer<T> b) {
  b.setEntire();
  return b;
}

// A private copy of the whole storage of b, to see afterwards what changed around its window.
inline Image snapshotOf(const Image& b) { return kfPelCopy<unsigned char>(entireOf(b)); }

// Whether b(x, y) == expected(x, y) at every pel of r; a failure names the first pel that
// differs.
template <class B, class F>
testing::AssertionResult pelsAre(const B& b, const kcPelRect& r, F&& expected) {
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x) {
      const long actual = static_cast<long>(b.get(x, y)), want = static_cast<long>(expected(x, y));
      if (actual != want)
        return testing::AssertionFailure()
               << "pel " << x << "," << y << " is " << actual << ", expected " << want;
    }
  return testing::AssertionSuccess();
}

inline bool samePels(const kcPelBuffer_const<unsigned char>& a,
                     const kcPelBuffer_const<unsigned char>& b) {
  return kfPelEqual<unsigned char, unsigned char>(a, b);
}

inline void setXform(kc_PelBuffer& b, const kcXform<2>& x) {
  b.clientFromImageXformBase(kc2XformLinear::handle(x));
}

// Little-endian writers over archive bytes.
inline void putU64(Bytes& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void putDouble(Bytes& b, std::size_t at, double v) {
  std::uint64_t u;
  std::memcpy(&u, &v, 8);
  putU64(b, at, u);
}
inline void appendU64(Bytes& b, std::uint64_t v) {
  b.resize(b.size() + 8);
  putU64(b, b.size() - 8, v);
}
inline void appendDouble(Bytes& b, double v) {
  b.resize(b.size() + 8);
  putDouble(b, b.size() - 8, v);
}
// A wide string as an archive holds it: its length, then 32-bit characters.
inline Bytes wideText(const std::wstring& s) {
  Bytes b;
  appendU64(b, s.size());
  for (wchar_t c : s)
    for (int i = 0; i < 4; ++i)
      b.push_back(static_cast<unsigned char>(static_cast<unsigned long>(c) >> (8 * i)));
  return b;
}

// The message of the exception of class E that f throws.
template <class E, class F>
std::wstring messageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.message();
  }
  return L"<no exception>";
}

// A tool over `reference` (and `mask` when bound) trained for `methods`.
inline kcImageNormalizer trainedTool(const Image& reference, kcImageNormalizerDefs::Method methods,
                                     const Image& mask = Image()) {
  kcImageNormalizer tool;
  tool.referenceImage(reference, true);
  if (mask.isBound()) tool.maskImage(mask, true);
  tool.train(methods);
  return tool;
}

// What a run gives back.
struct RunOutcome {
  Image result;
  bool success = false;
  std::wstring message;
};
inline RunOutcome runTool(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned char>& image,
                          kcImageNormalizerDefs::Method m, kcDiagObject* diag = nullptr,
                          unsigned long flags = 0) {
  RunOutcome r;
  r.result = tool.run(image, m, r.success, r.message, diag, flags);
  return r;
}

// Whether e is of class E, for tables of refusals.
template <class E>
bool isA(const std::exception& e) {
  return dynamic_cast<const E*>(&e) != nullptr;
}

}  // namespace testing_support
