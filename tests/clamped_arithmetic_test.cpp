#include "pelfuncs/clamped_arithmetic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "host/exceptions.h"
#include "imaging/pel_copy.h"
#include "tests/test_support.h"

namespace {

using testing_support::makeImage;
using testing_support::randomImage;
using testing_support::rng;

using Image = kcPelBuffer<unsigned char>;
using Rule = std::function<int(int d, int s)>;
using Operation = std::function<void(const Image&, const Image&)>;

// Plain integer formulas of the three operations.
int subClamp(int d, int s, int limit) {
  const int l = std::min(limit, 127);
  return std::clamp(d - s, -l, l) + 128;
}
int subClampSigned(int d, int s) { return std::clamp(d - (s - 128), 0, 255); }
int addClamp(int d, int s) { return std::clamp(d + s - 128, 0, 255); }

// Runs op on a 1 x 1 destination d with source s.
int applyToOne(const Operation& op, int d, int s) {
  const Image dst = makeImage(kcPelRect(0, 0, 1, 1), [d](long, long) { return d; });
  op(dst, makeImage(kcPelRect(0, 0, 1, 1), [s](long, long) { return s; }));
  return dst.get(0, 0);
}

// Every (d, s) pair at once: row d, column s. 256 pels per row exercise the
// blocks of eight; one extra column exercises the remainder.
void expectEveryPair(const Operation& op, const Rule& rule) {
  const kcPelRect r(0, 0, 257, 256);
  const Image dst = makeImage(r, [](long, long y) { return y; });
  const Image src = makeImage(r, [](long x, long) { return x % 256; });
  op(dst, src);
  for (long d = 0; d < 256; ++d)
    for (long s = 0; s < 257; ++s)
      ASSERT_EQ(dst.get(s, d), rule(static_cast<int>(d), static_cast<int>(s % 256)))
          << "d " << d << " s " << s % 256;
}

// Random partly overlapping windows: the overlap follows rule pel by pel in
// image coordinates, everything else of the destination stays.
void expectRandomOverlaps(const Operation& op, const Rule& rule) {
  std::uniform_int_distribution<long> pos(-12, 12), size(1, 45);
  for (int trial = 0; trial < 80; ++trial) {
    const Image dst = randomImage(kcPelRect(pos(rng()), pos(rng()), size(rng()), size(rng())));
    const Image src = randomImage(kcPelRect(pos(rng()), pos(rng()), size(rng()), size(rng())));
    const Image before = kfPelCopy<unsigned char>(dst);
    op(dst, src);
    for (long y = dst.window().y(); y < dst.window().bottom(); ++y)
      for (long x = dst.window().x(); x < dst.window().right(); ++x) {
        const int d = before.get(x, y);
        const int expected = src.window().contains(kcPair<long>(x, y)) ? rule(d, src.get(x, y)) : d;
        ASSERT_EQ(dst.get(x, y), expected) << "trial " << trial << " at " << x << "," << y;
      }
  }
}

void expectUnboundThrowsAndWritesNothing(const Operation& op) {
  const Image bound = makeImage(kcPelRect(0, 0, 9, 3), [](long x, long) { return 10 * x; });
  EXPECT_THROW(op(Image(), bound), kcPel::UnboundWindow);
  EXPECT_THROW(op(bound, Image()), kcPel::UnboundWindow);
  EXPECT_THROW(op(Image(), Image()), kcPel::UnboundWindow);
  for (long x = 0; x < 9; ++x) EXPECT_EQ(bound.get(x, 0), 10 * x);
}

void expectDisjointWindowsChangeNothing(const Operation& op) {
  const Image dst = makeImage(kcPelRect(0, 0, 20, 4), [](long x, long y) { return x + y; });
  op(dst, randomImage(kcPelRect(20, 0, 20, 4)));
  op(dst, randomImage(kcPelRect(-5, 4, 30, 4)));
  for (long y = 0; y < 4; ++y)
    for (long x = 0; x < 20; ++x) EXPECT_EQ(dst.get(x, y), x + y);
}

Operation subClampOp(unsigned char limit) {
  return [limit](const Image& d, const Image& s) { kf_PelSubClamp(d, s, limit); };
}
const Operation subClampSignedOp = [](const Image& d, const Image& s) {
  kf_PelSubClampSigned(d, s);
};
const Operation addClampOp = [](const Image& d, const Image& s) { kf_PelAddClamp(d, s); };

TEST(PelSubClamp, LimitsTheOffsetDifference) {
  EXPECT_EQ(applyToOne(subClampOp(50), 200, 10), 178);
  EXPECT_EQ(applyToOne(subClampOp(50), 10, 200), 78);
  EXPECT_EQ(applyToOne(subClampOp(50), 90, 60), 158);
  EXPECT_EQ(applyToOne(subClampOp(200), 255, 0), 255);
  EXPECT_EQ(applyToOne(subClampOp(200), 0, 255), 1);
  EXPECT_EQ(applyToOne(subClampOp(127), 0, 255), 1);
  EXPECT_EQ(applyToOne(subClampOp(126), 0, 255), 2);
}

TEST(PelSubClamp, LimitZeroGives128Everywhere) {
  const Image dst = randomImage(kcPelRect(0, 0, 37, 5));
  kf_PelSubClamp(dst, randomImage(kcPelRect(0, 0, 37, 5)), 0);
  for (long y = 0; y < 5; ++y)
    for (long x = 0; x < 37; ++x) EXPECT_EQ(dst.get(x, y), 128);
}

TEST(PelSubClamp, EveryPairFollowsTheFormula) {
  for (int limit : {0, 1, 50, 126, 127, 128, 255})
    expectEveryPair(subClampOp(static_cast<unsigned char>(limit)),
                    [limit](int d, int s) { return subClamp(d, s, limit); });
}

TEST(PelSubClamp, PartialOverlapsWriteOnlyTheOverlap) {
  expectRandomOverlaps(subClampOp(60), [](int d, int s) { return subClamp(d, s, 60); });
}

TEST(PelSubClamp, UnboundAndDisjoint) {
  expectUnboundThrowsAndWritesNothing(subClampOp(10));
  expectDisjointWindowsChangeNothing(subClampOp(10));
}

TEST(PelSubClampSigned, SubtractsTheOffsetDifference) {
  EXPECT_EQ(applyToOne(subClampSignedOp, 100, 128), 100);
  EXPECT_EQ(applyToOne(subClampSignedOp, 100, 0), 228);
  EXPECT_EQ(applyToOne(subClampSignedOp, 100, 255), 0);
  EXPECT_EQ(applyToOne(subClampSignedOp, 200, 0), 255);
  EXPECT_EQ(applyToOne(subClampSignedOp, 127, 255), 0);
  EXPECT_EQ(applyToOne(subClampSignedOp, 128, 255), 1);
}

TEST(PelSubClampSigned, EveryPairFollowsTheFormula) {
  expectEveryPair(subClampSignedOp, subClampSigned);
}

TEST(PelSubClampSigned, PartialOverlapsWriteOnlyTheOverlap) {
  expectRandomOverlaps(subClampSignedOp, subClampSigned);
}

TEST(PelSubClampSigned, UnboundAndDisjoint) {
  expectUnboundThrowsAndWritesNothing(subClampSignedOp);
  expectDisjointWindowsChangeNothing(subClampSignedOp);
}

TEST(PelAddClamp, AddsTheOffsetDifference) {
  EXPECT_EQ(applyToOne(addClampOp, 250, 200), 255);
  EXPECT_EQ(applyToOne(addClampOp, 10, 20), 0);
  EXPECT_EQ(applyToOne(addClampOp, 10, 128), 10);
  EXPECT_EQ(applyToOne(addClampOp, 10, 130), 12);
  EXPECT_EQ(applyToOne(addClampOp, 0, 255), 127);
}

TEST(PelAddClamp, EveryPairFollowsTheFormula) { expectEveryPair(addClampOp, addClamp); }

TEST(PelAddClamp, PartialOverlapsWriteOnlyTheOverlap) {
  expectRandomOverlaps(addClampOp, addClamp);
}

TEST(PelAddClamp, UnboundAndDisjoint) {
  expectUnboundThrowsAndWritesNothing(addClampOp);
  expectDisjointWindowsChangeNothing(addClampOp);
}

TEST(PelSubClampSignedRow, EveryPairFollowsTheFormulaAlsoInPlaceOfEitherInput) {
  // Row a = d for every d, b = 0..255 plus a remainder after the blocks.
  for (int d = 0; d < 256; ++d) {
    std::vector<unsigned char> a(259, static_cast<unsigned char>(d)), b(259), out(259, 7);
    for (int s = 0; s < 259; ++s) b[s] = static_cast<unsigned char>(s % 256);
    std::vector<unsigned char> inB = b;
    kf_PelSubClampSignedRow(a.data(), b.data(), out.data(), 259);
    kf_PelSubClampSignedRow(a.data(), inB.data(), inB.data(), 259);
    kf_PelSubClampSignedRow(a.data(), b.data(), a.data(), 259);
    for (int s = 0; s < 259; ++s) {
      ASSERT_EQ(out[s], subClampSigned(d, s % 256)) << d << " " << s;
      ASSERT_EQ(a[s], out[s]);
      ASSERT_EQ(inB[s], out[s]);
    }
  }
}

}  // namespace
