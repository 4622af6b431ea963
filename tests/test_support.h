#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "host/pel_buffer.h"

// Helpers shared by the tests: deterministic random images and small
// builders.
namespace testing_support {

inline std::mt19937& rng() {
  static std::mt19937 generator(12345);
  return generator;
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

// A buffer over window r filled by f(x, y) in image coordinates.
template <class T = unsigned char, class F>
kcPelBuffer<T> makeImage(const kcPelRect& r, F&& f) {
  kcPelBuffer<T> b(r, 32);
  for (long y = r.y(); y < r.bottom(); ++y)
    for (long x = r.x(); x < r.right(); ++x) b.set(x, y, static_cast<T>(f(x, y)));
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

}  // namespace testing_support
