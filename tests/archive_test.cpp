#include "host/archive.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "host/exceptions.h"
#include "host/pel_buffer.h"
#include "imgnorm/errors.h"
#include "test_support.h"

namespace {

using namespace testing_support;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Bytes stored(const std::function<void(kcArchive&)>& walk) {
  kcArchive ar;
  walk(ar);
  return ar.bytes();
}

template <class T>
T roundTrip(T value) {
  kcArchive in(stored([&](kcArchive& ar) { ar || value; }));
  T loaded{};
  in || loaded;
  EXPECT_TRUE(in.atEnd());
  return loaded;
}

template <class T>
kcPelBuffer<T> patterned(const kcPelRect& r) {  // uses the high bytes of wide pels too
  return makeImage<T>(r, [](long x, long y) {
    return static_cast<T>(static_cast<unsigned long>(x * 7919 + y * 104729) * 0x9E3779B97F4A7C15UL);
  });
}

// Round trips of every value type, over its edges; buffers keep window, pels and transform.
template <class T>
class ArchiveRoundTrip : public ::testing::Test {};
using ValueTypes = ::testing::Types<unsigned char, bool, long, unsigned long, double, std::wstring,
                                    kcPelBuffer<unsigned char>, kcPelBuffer<unsigned short>,
                                    kcPelBuffer<unsigned long>>;
TYPED_TEST_SUITE(ArchiveRoundTrip, ValueTypes);

template <class T>
struct PelOf {};
template <class P>
struct PelOf<kcPelBuffer<P>> {
  using type = P;
};

template <class T>
std::vector<T> edges() {
  if constexpr (std::is_same_v<T, unsigned char>)
    return {0, 1, 127, 128, 255};
  else if constexpr (std::is_same_v<T, bool>)
    return {true, false};
  else if constexpr (std::is_same_v<T, long>)
    return {0, 1, -1, -1234567890123L, LONG_MIN, LONG_MAX};
  else if constexpr (std::is_same_v<T, unsigned long>)
    return {0, 0xFFFFFFFFUL, 1UL << 32, ULONG_MAX};
  else if constexpr (std::is_same_v<T, double>)
    return {0.0,  1.5,   -2.25e300, std::numeric_limits<double>::denorm_min(),
            kInf, -kInf, -0.0,      kNaN};
  else if constexpr (std::is_same_v<T, std::wstring>)
    return {L"", L"plain", L"caf\u00e9 \u4e2d\u6587 \U0001F600 \u00ff\u0100", {L"nul\0in", 6}};
  else {
    T offset = patterned<typename PelOf<T>::type>(kcPelRect(-7, 3, 13, 5)), view;
    setXform(offset, kcXform<2>::fromMatrix(2, 0.5, -1, 3, 10, -20));
    view = patterned<typename PelOf<T>::type>(kcPelRect(0, 0, 40, 9));
    view.offset(100, 200);
    view.window(kcPelRect(103, 202, 29, 4), false);  // stores its window only
    return {offset, view,
            patterned<typename PelOf<T>::type>(kcPelRect(-(1L << 30), 1L << 30, 2, 1))};
  }
}

TYPED_TEST(ArchiveRoundTrip, EveryEdgeComesBackEqual) {
  using T = TypeParam;
  for (const T& v : edges<T>()) {
    const T loaded = roundTrip(v);
    if constexpr (std::is_same_v<T, double>) {
      EXPECT_EQ(std::isnan(loaded), std::isnan(v));
      EXPECT_EQ(std::signbit(loaded), std::signbit(v));
      EXPECT_TRUE(std::isnan(v) || loaded == v);
    } else if constexpr (std::is_same_v<T, std::wstring> || std::is_arithmetic_v<T>) {
      EXPECT_EQ(loaded, v);
    } else {
      ASSERT_EQ(loaded.window(), v.window());
      EXPECT_EQ(loaded.entire(), v.window());
      EXPECT_NE(loaded.root(), v.root());
      EXPECT_EQ(loaded.clientFromImageXform(), v.clientFromImageXform());
      EXPECT_TRUE(pelsAre(loaded, v.window(), [&](long x, long y) { return v.get(x, y); }));
      // Unbound stays unbound, and unbinds the target.
      const Bytes bytes = stored([](kcArchive& ar) {
        T unbound;
        ar || unbound;
      });
      EXPECT_EQ(bytes, (Bytes{0, 0}));
      kcArchive in(bytes);
      T target(3, 3, 32);
      in || target;
      EXPECT_FALSE(target.isBound());
    }
  }
}

TEST(ArchiveLayout, FixedLittleEndianWidthsAndDirection) {
  long l = -2;
  bool flag = true;
  std::wstring text = L"\u00e9";
  EXPECT_EQ(stored([&](kcArchive& ar) { ar || l; }),
            (Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(stored([](kcArchive& ar) { ar << 0x0102UL; }), (Bytes{2, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(stored([&](kcArchive& ar) { ar || flag; }), (Bytes{1}));
  EXPECT_EQ(stored([&](kcArchive& ar) { ar || text; }),
            (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0xE9, 0, 0, 0}));
  kcPelBuffer<unsigned short> b(kcPelRect(1, -1, 2, 1), 32);
  b.set(1, -1, 0x0102);
  b.set(2, -1, 0x0304);
  Bytes expected{0, 1, 2};
  for (long v : {1L, -1L, 2L, 1L}) appendU64(expected, static_cast<std::uint64_t>(v));
  for (double d : {1.0, 0.0, 0.0, 1.0, 0.0, 0.0}) appendDouble(expected, d);
  expected.insert(expected.end(), {0x02, 0x01, 0x04, 0x03});
  EXPECT_EQ(stored([&](kcArchive& ar) { ar || b; }), expected);
  kcPelBuffer<unsigned char> empty(5, 5, 32);
  empty.window(kcPelRect(2, 3, 0, 2), false);
  EXPECT_EQ(roundTrip(empty).window(), kcPelRect(2, 3, 0, 2));

  kcArchive out;
  unsigned long v = 0;
  EXPECT_TRUE(out.isStoring());
  EXPECT_THROW(out >> v, kcHostError);
  EXPECT_THROW(out.readBytes(&v, 1), kcHostError);
  kcArchive in(Bytes{1, 2, 3});
  EXPECT_TRUE(in.isLoading());
  EXPECT_THROW(in.writeBytes("x", 1), kcHostError);
  EXPECT_EQ(in.remaining(), 3u);
}

// Every corruption is refused with an archive error and leaves the target untouched.
TEST(ArchiveCorruption, BadFieldsAreRefused) {
  const auto refused = [](const Bytes& bytes, auto target) {
    const auto before = target;
    kcArchive in(bytes);
    EXPECT_THROW(in || target, kcArchive::Error);
    EXPECT_TRUE(target == before);
  };
  refused(Bytes{2}, false);
  for (std::uint64_t count : {std::uint64_t{1} << 62, ~std::uint64_t{0}, std::uint64_t{3}}) {
    Bytes b(16, 0);  // a count beyond the stream is refused before allocating for it
    putU64(b, 0, count);
    refused(b, std::wstring(L"kept"));
  }
  for (std::uint32_t bad : {0xD800u, 0xDFFFu, 0x110000u}) {
    Bytes b = wideText(L"x");
    for (int i = 0; i < 4; ++i) b[8 + i] = static_cast<unsigned char>(bad >> (8 * i));
    refused(b, std::wstring());
  }
  const Bytes good = stored([](kcArchive& ar) {
    auto b = patterned<unsigned char>(kcPelRect(0, 0, 3, 2));
    ar || b;
  });
  const auto refusedBuffer = [&](std::function<void(Bytes&)> damage) {
    Bytes b = good;
    damage(b);
    kcArchive in(b);
    kcPelBuffer<unsigned char> target(2, 2, 32);
    target.set(0, 0, 9);
    EXPECT_THROW(in || target, kcArchive::Error);
    EXPECT_EQ(target.window(), kcPelRect(0, 0, 2, 2));
    EXPECT_EQ(target.get(0, 0), 9);
  };
  constexpr std::size_t kWindowAt = 3, kXformAt = kWindowAt + 32;
  refusedBuffer([](Bytes& b) { b[1] = 2; });  // bound flag
  refusedBuffer([](Bytes& b) { b[2] = 2; });  // pel size
  refusedBuffer([&](Bytes& b) {
    putU64(b, kWindowAt + 16, 1UL << 30), putU64(b, kWindowAt + 24, 1UL << 30);
  });
  refusedBuffer([&](Bytes& b) { putU64(b, kWindowAt + 16, static_cast<std::uint64_t>(-1L)); });
  refusedBuffer([&](Bytes& b) { putU64(b, kWindowAt, (1UL << 30) + 1); });
  refusedBuffer([&](Bytes& b) { putDouble(b, kXformAt, 0.0); });  // singular
  refusedBuffer([&](Bytes& b) { putDouble(b, kXformAt + 32, kNaN); });
  Bytes version = good;
  version[0] = 1;
  kcArchive in(version);
  kcPelBuffer<unsigned char> target;
  EXPECT_THROW(in || target, kcArchive::UnknownVersion);
}

// A persistent class of the test's own, registered for loading.
class Probe : public kcPersistent {
 public:
  long number = 0;
  std::wstring text;
  static kcPersistent* make() { return new Probe(); }

 protected:
  void dispatchSerialize(kcArchive& ar) override {
    if (haveVisited(ar, this, sizeof(*this))) return;
    ar || number || text;
    setVisited(ar, this, sizeof(*this));
  }
};
const kc_Instantiator probeRegistration(typeid(Probe), &Probe::make);

TEST(ArchiveObjects, RegisteredObjectsRoundTripOncePerArchive) {
  EXPECT_EQ(kc_Instantiator::typeName(typeid(Probe)), "(anonymous namespace)::Probe");
  Probe p, q;
  p.number = -9;
  p.text = q.text = L"\u00fcber";
  kcArchive out;
  out.storeObject(p);
  const std::size_t once = out.bytes().size();
  kcArchive in(out.bytes());
  std::unique_ptr<kcPersistent> loaded = in.loadObject();
  const auto* probe = dynamic_cast<const Probe*>(loaded.get());
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(probe->number, -9);
  EXPECT_EQ(probe->text, L"\u00fcber");
  EXPECT_TRUE(in.atEnd());
  out.storeObject(p);  // visited: only the header again
  const std::size_t header = 8 + kc_Instantiator::typeName(typeid(Probe)).size();
  EXPECT_EQ(out.bytes().size(), once + header);
  out.storeObject(q);  // another object transfers again
  EXPECT_EQ(out.bytes().size(), 2 * once + header);
  EXPECT_FALSE(kcPersistent::haveVisited(out, &p, 1));  // the size is part of the mark

  class Unregistered : public kcPersistent {
    void dispatchSerialize(kcArchive&) override {}
  } u;
  kcArchive refused;
  EXPECT_THROW(refused.storeObject(u), kcHostError);
  EXPECT_TRUE(refused.bytes().empty());
  for (std::uint64_t length :
       {std::uint64_t{0}, std::uint64_t{257}, std::uint64_t{1} << 60, ~std::uint64_t{0}}) {
    Bytes bad(out.bytes().begin(), out.bytes().begin() + once);
    if (length == ~std::uint64_t{0})
      bad[8] = 'X';  // a type name no one registered
    else
      putU64(bad, 0, length);
    kcArchive badIn(bad);
    EXPECT_THROW(badIn.loadObject(), kcArchive::Error) << length;
  }
}

}  // namespace
