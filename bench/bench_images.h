#pragma once

// The inputs every benchmark shares, built once per size and cached, so that
// our operations and the comparison library's see the same pels.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>

#include "host/pel_buffer.h"

namespace bench_images {

using Image = kcPelBuffer<unsigned char>;

// Blobs and strokes with noise; the run-time version adds a gradient of
// -40..+40 and a gain change.
inline Image scene(long side, bool runTime) {
  Image b(side, side, 32);
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> noise(-12, 12);
  for (long y = 0; y < side; ++y) {
    unsigned char* row = b.pointToPel(0, y);
    for (long x = 0; x < side; ++x) {
      double v = 120 + 50 * std::sin(x * 0.013) * std::cos(y * 0.021) +
                 ((x / 37 + y / 29) % 3) * 15 + noise(rng);
      if (runTime) v = 0.9 * v + 80.0 * (x + y) / (2.0 * side) - 30;
      row[x] = static_cast<unsigned char>(std::clamp(v, 0.0, 255.0));
    }
  }
  return b;
}

// A disc covering about three quarters of the image, with a hole.
inline Image disc(long side) {
  Image b(side, side, 32);
  const double c = side / 2.0, outer = 0.49 * side, inner = 0.1 * side;
  for (long y = 0; y < side; ++y)
    for (long x = 0; x < side; ++x) {
      const double r = std::hypot(x - c, y - c);
      b.set(x, y, r < outer && r > inner ? 255 : 0);
    }
  return b;
}

enum Kind { kReference, kRunTime, kMask };

inline const Image& cached(long side, Kind kind) {
  static std::map<std::pair<long, Kind>, Image> images;
  auto it = images.find({side, kind});
  if (it != images.end()) return it->second;
  Image img = kind == kMask ? disc(side) : scene(side, kind == kRunTime);
  return images.emplace(std::make_pair(side, kind), img).first->second;
}

inline const Image& reference(long side) { return cached(side, kReference); }
inline const Image& runTime(long side) { return cached(side, kRunTime); }
inline const Image& mask(long side) { return cached(side, kMask); }

inline void setPels(benchmark::State& state, long side) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * side * side);
}

}  // namespace bench_images
