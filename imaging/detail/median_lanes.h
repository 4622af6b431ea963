#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>

// What the sliding-histogram medians of 8-bit pels and of 12-bit codes
// share: counters in vectors of sixteen, cumulative buckets of sixteen
// levels, and the kernel's buckets kept aside until the median comes back
// to them.
namespace kcMedianLanes {

using Count = std::uint16_t;
// Real counts never exceed 32767, so they compare correctly as signed
// numbers, which the hardware compares directly; the spare counters below
// may wrap, harmlessly.
typedef Count Half __attribute__((vector_size(16)));
typedef std::int16_t SignedHalf __attribute__((vector_size(16)));
typedef Count Whole __attribute__((vector_size(32)));
typedef std::int16_t SignedWhole __attribute__((vector_size(32)));
typedef std::uint32_t Words __attribute__((vector_size(16)));
typedef std::uint64_t Quads __attribute__((vector_size(16)));

// steps[b][k] = 1 for k >= b: what one pel of bin b adds to a cumulative
// histogram. steps[16] is all zero.
struct StepTable {
  alignas(32) Count steps[17][16];
  constexpr StepTable() : steps() {
    for (int b = 0; b < 16; ++b)
      for (int k = b; k < 16; ++k) steps[b][k] = 1;
  }
};
constexpr StepTable kSteps;

[[gnu::always_inline]] inline int sumAcross(SignedHalf v) {
  const auto q = std::bit_cast<Quads>(v);
  v += std::bit_cast<SignedHalf>(__builtin_shufflevector(q, q, 1, 1));
  v += std::bit_cast<SignedHalf>(std::bit_cast<Quads>(v) >> 32);
  v += std::bit_cast<SignedHalf>(std::bit_cast<Words>(v) >> 16);
  return v[0];
}

// Sixteen counters as two vectors of eight, what every x86-64 processor
// handles natively. Loads and stores go half by half, so that the values
// stay in registers.
struct HalvesLanes {
  Half lo, hi;

  [[gnu::always_inline]] static HalvesLanes load(const Count* p) {
    HalvesLanes l;
    std::memcpy(&l.lo, p, sizeof l.lo);
    std::memcpy(&l.hi, p + 8, sizeof l.hi);
    return l;
  }
  [[gnu::always_inline]] void store(Count* p) const {
    std::memcpy(p, &lo, sizeof lo);
    std::memcpy(p + 8, &hi, sizeof hi);
  }
  [[gnu::always_inline]] void operator+=(const HalvesLanes& o) {
    lo += o.lo;
    hi += o.hi;
  }
  [[gnu::always_inline]] void operator-=(const HalvesLanes& o) {
    lo -= o.lo;
    hi -= o.hi;
  }
  [[gnu::always_inline]] unsigned last() const { return hi[7]; }
  // In rising counts, the position of the first count above r (one must
  // be): the bin or level that holds the pel of rank r.
  [[gnu::always_inline]] int firstAbove(unsigned r) const {
    const SignedHalf limit = SignedHalf{} + static_cast<std::int16_t>(r + 1);
    const SignedHalf notAbove =  // -1 for each count not above r
        (limit > std::bit_cast<SignedHalf>(lo)) + (limit > std::bit_cast<SignedHalf>(hi));
    return -sumAcross(notAbove);
  }
};

// Sixteen counters as one vector, for processors with AVX2.
struct WholeLanes {
  Whole v;

  [[gnu::always_inline]] static WholeLanes load(const Count* p) {
    WholeLanes l;
    std::memcpy(&l.v, p, sizeof l.v);
    return l;
  }
  [[gnu::always_inline]] void store(Count* p) const { std::memcpy(p, &v, sizeof v); }
  [[gnu::always_inline]] void operator+=(const WholeLanes& o) { v += o.v; }
  [[gnu::always_inline]] void operator-=(const WholeLanes& o) { v -= o.v; }
  [[gnu::always_inline]] unsigned last() const { return v[15]; }
  [[gnu::always_inline]] int firstAbove(unsigned r) const {
    const SignedWhole limit = SignedWhole{} + static_cast<std::int16_t>(r + 1);
    // The builtin, not std::bit_cast: a function returning a 32-byte vector
    // would be compiled for processors without AVX too.
    const SignedWhole notAbove = limit > __builtin_bit_cast(SignedWhole, v);
    return -sumAcross(__builtin_shufflevector(notAbove, notAbove, 0, 1, 2, 3, 4, 5, 6, 7) +
                      __builtin_shufflevector(notAbove, notAbove, 8, 9, 10, 11, 12, 13, 14, 15));
  }
};

template <class L>
[[gnu::always_inline]] inline void addTo(Count* p, const Count* a) {
  L v = L::load(p);
  v += L::load(a);
  v.store(p);
}

template <class L>
[[gnu::always_inline]] inline void subFrom(Count* p, const Count* a) {
  L v = L::load(p);
  v -= L::load(a);
  v.store(p);
}

// The buckets of the kernel's histogram that the median is not in at the
// moment, Buckets of them; bucket b of column c lies at first + (c - c0)
// columnStep + b bucketStep. Each is brought up to date when the median
// falls into it, by adding and removing the columns that entered and left
// since, or by summing afresh when that is cheaper.
template <class L, int Buckets>
struct CachedBuckets {
  const Count* first;  // bucket 0 of column c0
  long c0, columnStep, bucketStep;
  alignas(32) Count counts[Buckets][16];
  // The columns [from, to) each bucket's counts cover; to = 0, at or
  // before every kernel's first column, for none.
  int from[Buckets] = {};
  int to[Buckets] = {};

  CachedBuckets(const Count* f, long c, long columns, long buckets)
      : first(f), c0(c), columnStep(columns), bucketStep(buckets) {}

  [[gnu::always_inline]] void keep(int b, const L& current, long lo, long hi) {
    current.store(counts[b]);
    from[b] = static_cast<int>(lo);
    to[b] = static_cast<int>(hi);
  }

  // Bucket b over the columns [lo, hi); both ends only move forward. The
  // sum stays in registers: adding into counts[b] in memory would chain
  // every addition through a store and a load.
  [[gnu::always_inline]] L update(int b, long lo, long hi) {
    auto bucket = [&](long c) { return first + (c - c0) * columnStep + b * bucketStep; };
    L v{};
    if (to[b] <= lo || (hi - to[b]) + (lo - from[b]) >= hi - lo) {
      for (long c = lo; c < hi; ++c) v += L::load(bucket(c));
    } else {
      v = L::load(counts[b]);
      for (long c = to[b]; c < hi; ++c) v += L::load(bucket(c));
      for (long c = from[b]; c < lo; ++c) v -= L::load(bucket(c));
    }
    return v;
  }
};

}  // namespace kcMedianLanes
