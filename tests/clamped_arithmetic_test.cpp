#include "pelfuncs/clamped_arithmetic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "host/exceptions.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using Rule = std::function<int(int d, int s)>;
using Operation = std::function<void(const Image&, const Image&)>;

// Plain integer formulas of the three operations.
int subClamp(int d, int s, int limit) {
  const int l = std::min(limit, 127);
  return std::clamp(d - s, -l, l) + 128;
}
int subClampSigned(int d, int s) { return std::clamp(d - (s - 128), 0, 255); }
int addClamp(int d, int s) { return std::clamp(d + s - 128, 0, 255); }

struct Case {
  const char* name;
  Operation op;
  Rule rule;
};

std::vector<Case> cases() {
  std::vector<Case> all = {
      {"subClampSigned", [](const Image& d, const Image& s) { kf_PelSubClampSigned(d, s); }, subClampSigned},
      {"addClamp", [](const Image& d, const Image& s) { kf_PelAddClamp(d, s); }, addClamp}};
  for (int limit : {0, 1, 50, 126, 127, 128, 255})
    all.push_back({"subClamp",
                   [limit](const Image& d, const Image& s) { kf_PelSubClamp(d, s, static_cast<unsigned char>(limit)); },
                   [limit](int d, int s) { return subClamp(d, s, limit); }});
  return all;
}

// Every (d, s) pair at once: row d, column s. 256 pels per row exercise the
// blocks of eight; one extra column exercises the remainder.
TEST(ClampedArithmetic, EveryPairFollowsTheFormula) {
  const kcPelRect r(0, 0, 257, 256);
  const Image src = makeImage(r, [](long x, long) { return x % 256; });
  for (const Case& c : cases()) {
    const Image dst = makeImage(r, [](long, long y) { return y; });
    c.op(dst, src);
    for (long d = 0; d < 256; ++d)
      for (long s = 0; s < 257; ++s)
        ASSERT_EQ(dst.get(s, d), c.rule(static_cast<int>(d), static_cast<int>(s % 256)))
            << c.name << " d " << d << " s " << s % 256;
  }
}

TEST(ClampedArithmetic, UnboundThrowsAndDisjointChangesNothing) {
  for (const Case& c : cases()) {
    const Image bound = makeImage(kcPelRect(0, 0, 20, 4), [](long x, long y) { return x + y; });
    EXPECT_THROW(c.op(Image(), bound), kcPel::UnboundWindow);
    EXPECT_THROW(c.op(bound, Image()), kcPel::UnboundWindow);
    c.op(bound, randomImage(kcPelRect(20, 0, 20, 4)));
    c.op(bound, randomImage(kcPelRect(-5, 4, 30, 4)));
    EXPECT_TRUE(pelsAre(bound, bound.window(), [](long x, long y) { return x + y; })) << c.name;
  }
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
