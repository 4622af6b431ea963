// Every operation that writes a destination gives, for a source that views
// the destination's own pels shifted by a row or a column, the result it
// gives on a private copy of that source.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <vector>

#include "imaging/pel_copy.h"
#include "imaging/pel_equal.h"
#include "imaging/pel_map.h"
#include "imaging/pel_min.h"
#include "pelfuncs/clamped_arithmetic.h"
#include "pelfuncs/masked_copy_divide.h"
#include "pelfuncs/threshold.h"
#include "test_support.h"

namespace {

using namespace testing_support;
using ConstImage = kcPelBuffer_const<unsigned char>;
using Operation = std::function<void(const ConstImage& src, Image& dst)>;

const std::vector<unsigned char>& reversal() {
  static const std::vector<unsigned char> map = [] {
    std::vector<unsigned char> m(256);
    std::iota(m.rbegin(), m.rend(), 0);
    return m;
  }();
  return map;
}

const Image& someMask() {
  static const Image mask = randomImage(kcPelRect(0, 0, 12, 10), 0, 1);
  return mask;
}

struct Case {
  const char* name;
  Operation run;
};

const Case kCases[] = {
    {"PelSubClamp", [](const ConstImage& s, Image& d) { kf_PelSubClamp(d, s, 40); }},
    {"PelSubClampSigned", [](const ConstImage& s, Image& d) { kf_PelSubClampSigned(d, s); }},
    {"PelAddClamp", [](const ConstImage& s, Image& d) { kf_PelAddClamp(d, s); }},
    {"MaskedPelCopy", [](const ConstImage& s, Image& d) { kf_MaskedPelCopy(s, someMask(), d, false); }},
    {"MaskedPelCopyMaskAliased",
     [](const ConstImage& s, Image& d) { kf_MaskedPelCopy(someMask(), s, d, true); }},
    {"MaskedPelThreshold",
     [](const ConstImage& s, Image& d) { kf_MaskedPelThreshold(s, someMask(), 100, d); }},
    {"MaskedPelThresholdMaskAliased",
     [](const ConstImage& s, Image& d) { kf_MaskedPelThreshold(someMask(), s, 100, d); }},
    {"PelMin", [](const ConstImage& s, Image& d) { kfPelMin(s, someMask(), d); }},
    {"PelMap", [](const ConstImage& s, Image& d) { kfPelMap(s, reversal(), d); }},
    {"PelCopy", [](const ConstImage& s, Image& d) { kfPelCopy(s, d); }},
};

class Aliasing : public ::testing::TestWithParam<Case> {};

TEST_P(Aliasing, ShiftedViewsOfOneStorageActLikeACopy) {
  const kcPelRect region(1, 1, 10, 8);
  for (const kcPair<long> shift : {kcPair<long>(0, 1), kcPair<long>(1, 0), kcPair<long>(0, -1),
                                   kcPair<long>(-1, 0), kcPair<long>(1, 1), kcPair<long>(0, 0)}) {
    const Image storage = randomImage(kcPelRect(0, 0, 12, 10));
    Image expected = kfPelCopy<unsigned char>(storage);
    Image dst = storage, expectedDst = expected;
    dst.window(region, false);
    expectedDst.window(region, false);
    // src pel (x, y) is the storage's pel (x + shift.x, y + shift.y).
    Image src = storage;
    src.offset(-shift.x(), -shift.y());
    src.window(region, false);
    Image srcCopy = kfPelCopy<unsigned char>(src);

    GetParam().run(srcCopy, expectedDst);
    GetParam().run(src, dst);
    EXPECT_TRUE((kfPelEqual<unsigned char, unsigned char>(storage, expected)))
        << "shift " << shift.x() << "," << shift.y();
  }
}

INSTANTIATE_TEST_SUITE_P(EveryWritingOperation, Aliasing, ::testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
