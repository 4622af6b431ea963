#include "host/archive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

// Stores through `walk` into a new archive and returns the bytes.
Bytes stored(const std::function<void(kcArchive&)>& walk) {
  kcArchive ar;
  walk(ar);
  return ar.bytes();
}

template <class T>
T roundTrip(T value) {
  const Bytes bytes = stored([&](kcArchive& ar) { ar || value; });
  kcArchive in(bytes);
  T loaded{};
  in || loaded;
  EXPECT_TRUE(in.atEnd());
  return loaded;
}

// --- Plain values ---

TEST(ArchiveValues, RoundTripEveryKind) {
  for (unsigned char v : {0, 1, 127, 128, 255})
    EXPECT_EQ(roundTrip(static_cast<unsigned char>(v)), v);
  EXPECT_TRUE(roundTrip(true));
  EXPECT_FALSE(roundTrip(false));
  for (long v : {0L, 1L, -1L, -1234567890123L, LONG_MIN, LONG_MAX}) EXPECT_EQ(roundTrip(v), v);
  for (unsigned long v : {0UL, 1UL, 0xFFFFFFFFUL, 0x100000000UL, ULONG_MAX})
    EXPECT_EQ(roundTrip(v), v);
  for (double v :
       {0.0, 1.5, -2.25e300, std::numeric_limits<double>::denorm_min(),
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()})
    EXPECT_EQ(roundTrip(v), v);
  EXPECT_TRUE(std::signbit(roundTrip(-0.0)));
  EXPECT_TRUE(std::isnan(roundTrip(std::numeric_limits<double>::quiet_NaN())));
}

TEST(ArchiveValues, RoundTripWideText) {
  for (const std::wstring& s : {std::wstring(), std::wstring(L"plain ASCII"),
                                std::wstring(L"caf\u00e9 \u4e2d\u6587 \U0001F600 \u00ff\u0100"),
                                std::wstring(L"nul\0inside", 10)})
    EXPECT_EQ(roundTrip(s), s);
}

TEST(ArchiveValues, FixedLittleEndianWidths) {
  long l = -2;
  bool flag = true;
  std::wstring text = L"\u00e9";
  EXPECT_EQ(stored([&](kcArchive& ar) { ar || l; }), (Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(stored([](kcArchive& ar) { ar << 0x0102UL; }), (Bytes{2, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(stored([&](kcArchive& ar) { ar || flag; }), (Bytes{1}));
  EXPECT_EQ(stored([&](kcArchive& ar) { ar || text; }), wideText(text));
  EXPECT_EQ(wideText(text), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0xE9, 0, 0, 0}));
}

TEST(ArchiveValues, DirectionIsEnforced) {
  kcArchive out;
  EXPECT_TRUE(out.isStoring());
  unsigned long v = 0;
  EXPECT_THROW(out >> v, kcHostError);
  EXPECT_THROW(out.readBytes(&v, 1), kcHostError);
  kcArchive in(Bytes{1, 2, 3});
  EXPECT_TRUE(in.isLoading());
  EXPECT_THROW(in.writeBytes("x", 1), kcHostError);
  EXPECT_EQ(in.remaining(), 3u);
}

TEST(ArchiveValues, TextAndBoolCorruptionIsRefused) {
  {
    kcArchive in(Bytes{2});
    bool b = false;
    EXPECT_THROW(in || b, kcArchive::Error);
  }
  // A count far beyond the stream must be refused before allocating for it.
  for (std::uint64_t count :
       {std::uint64_t{1} << 62, std::uint64_t{0xFFFFFFFFFFFFFFFF}, std::uint64_t{3}}) {
    Bytes b(8 + 8, 0);
    putU64(b, 0, count);
    kcArchive in(b);
    std::wstring s = L"kept";
    EXPECT_THROW(in || s, kcArchive::Error) << count;
    EXPECT_EQ(s, L"kept");
  }
  for (std::uint32_t bad : {0xD800u, 0xDFFFu, 0x110000u}) {
    Bytes b(8 + 4, 0);
    putU64(b, 0, 1);
    for (int i = 0; i < 4; ++i) b[8 + i] = static_cast<unsigned char>(bad >> (8 * i));
    kcArchive in(b);
    std::wstring s;
    EXPECT_THROW(in || s, kcArchive::Error) << bad;
  }
}

// --- Pel buffers ---

template <class T>
class ArchivePelBuffer : public ::testing::Test {};
using PelTypes = ::testing::Types<unsigned char, unsigned short, unsigned long>;
TYPED_TEST_SUITE(ArchivePelBuffer, PelTypes);

template <class T>
kcPelBuffer<T> patterned(const kcPelRect& r) {
  return makeImage<T>(r, [](long x, long y) {
    // Uses the high bytes of wide pels too.
    return static_cast<T>(static_cast<unsigned long>(x * 7919 + y * 104729) * 0x9E3779B97F4A7C15UL);
  });
}

template <class T>
void expectSamePels(const kcPelBuffer_const<T>& a, const kcPelBuffer_const<T>& b) {
  ASSERT_EQ(a.window(), b.window());
  for (long y = a.window().y(); y < a.window().bottom(); ++y)
    for (long x = a.window().x(); x < a.window().right(); ++x) ASSERT_EQ(a.get(x, y), b.get(x, y));
}

template <class T>
kcPelBuffer<T> bufferRoundTrip(kcPelBuffer<T> src) {
  const Bytes bytes = stored([&](kcArchive& ar) { ar || src; });
  kcArchive in(bytes);
  kcPelBuffer<T> loaded;
  in || loaded;
  EXPECT_TRUE(in.atEnd());
  return loaded;
}

TYPED_TEST(ArchivePelBuffer, RoundTripsWindowPelsAndTransform) {
  using T = TypeParam;
  kcPelBuffer<T> src = patterned<T>(kcPelRect(-7, 3, 13, 5));
  src.clientFromImageXformBase(
      kc2XformLinear::handle(kcXform<2>::fromMatrix(2, 0.5, -1, 3, 10, -20)));
  const kcPelBuffer<T> loaded = bufferRoundTrip(src);
  expectSamePels<T>(loaded, src);
  EXPECT_NE(loaded.root(), src.root());
  EXPECT_EQ(loaded.clientFromImageXform(), src.clientFromImageXform());
}

// A narrowed view stores its window only, at its own coordinates.
TYPED_TEST(ArchivePelBuffer, RoundTripsNarrowedOffsetWindow) {
  using T = TypeParam;
  kcPelBuffer<T> storage = patterned<T>(kcPelRect(0, 0, 40, 9));
  storage.offset(100, 200);
  kcPelBuffer<T> view = storage;
  view.window(kcPelRect(103, 202, 29, 4), false);
  const kcPelBuffer<T> loaded = bufferRoundTrip(view);
  expectSamePels<T>(loaded, view);
  EXPECT_EQ(loaded.entire(), view.window());
}

TYPED_TEST(ArchivePelBuffer, UnboundStaysUnbound) {
  using T = TypeParam;
  const Bytes bytes = stored([](kcArchive& ar) {
    kcPelBuffer<T> unbound;
    ar || unbound;
  });
  EXPECT_EQ(bytes, (Bytes{0, 0}));
  kcArchive in(bytes);
  kcPelBuffer<T> target(3, 3, 32);  // loading an unbound buffer unbinds the target
  in || target;
  EXPECT_FALSE(target.isBound());
}

TEST(ArchivePelBuffer, EmptyWindowRoundTrips) {
  kcPelBuffer<unsigned char> storage(5, 5, 32);
  storage.window(kcPelRect(2, 3, 0, 2), false);
  const kcPelBuffer<unsigned char> loaded = bufferRoundTrip(storage);
  EXPECT_TRUE(loaded.isBound());
  EXPECT_EQ(loaded.window(), kcPelRect(2, 3, 0, 2));
}

TEST(ArchivePelBuffer, DocumentedLayout) {
  kcPelBuffer<unsigned short> b(kcPelRect(1, -1, 2, 1), 32);
  b.set(1, -1, 0x0102);
  b.set(2, -1, 0x0304);
  const Bytes bytes = stored([&](kcArchive& ar) { ar || b; });
  Bytes expected{0, 1, 2};
  for (long v : {1L, -1L, 2L, 1L}) appendU64(expected, static_cast<std::uint64_t>(v));
  for (double d : {1.0, 0.0, 0.0, 1.0, 0.0, 0.0}) appendDouble(expected, d);
  expected.insert(expected.end(), {0x02, 0x01, 0x04, 0x03});
  EXPECT_EQ(bytes, expected);
}

// Window fields may reach the archive's limit of 2^30 in magnitude.
TEST(ArchivePelBuffer, WindowAtTheArchivedLimitLoads) {
  const kcPelRect edge(-(1L << 30), 1L << 30, 2, 1);
  EXPECT_EQ(bufferRoundTrip(patterned<unsigned char>(edge)).window(), edge);
}

// Offsets in the documented layout of a bound pel buffer.
constexpr std::size_t kPelSizeAt = 2, kWindowAt = 3, kXformAt = kWindowAt + 32;

Bytes storedBuffer(const kcPelBuffer<unsigned char>& b) {
  kcPelBuffer<unsigned char> copy = b;
  return stored([&](kcArchive& ar) { ar || copy; });
}

template <class T = unsigned char>
void expectLoadThrowsArchiveError(const Bytes& bytes) {
  kcArchive in(bytes);
  kcPelBuffer<T> target(2, 2, 32);
  target.set(0, 0, 9);
  EXPECT_THROW(in || target, kcArchive::Error);
  // The target is untouched by a refused load.
  EXPECT_EQ(target.window(), kcPelRect(0, 0, 2, 2));
  EXPECT_EQ(target.get(0, 0), 9);
}

TEST(ArchivePelBuffer, CorruptFieldsAreRefused) {
  const Bytes good = storedBuffer(patterned<unsigned char>(kcPelRect(0, 0, 3, 2)));
  {
    Bytes b = good;
    b[0] = 1;  // version
    kcArchive in(b);
    kcPelBuffer<unsigned char> target;
    EXPECT_THROW(in || target, kcArchive::UnknownVersion);
  }
  {
    Bytes b = good;
    b[1] = 2;  // bound flag
    expectLoadThrowsArchiveError(b);
  }
  expectLoadThrowsArchiveError<unsigned short>(good);  // pel size mismatch
  {
    // A huge window that the stream cannot hold: refused before allocating.
    Bytes b = good;
    putU64(b, kWindowAt + 16, 1UL << 30);
    putU64(b, kWindowAt + 24, 1UL << 30);
    expectLoadThrowsArchiveError(b);
  }
  {
    Bytes b = good;
    putU64(b, kWindowAt + 16, static_cast<std::uint64_t>(-1L));  // negative width
    expectLoadThrowsArchiveError(b);
  }
  {
    Bytes b = good;
    putU64(b, kWindowAt, (1UL << 30) + 1);  // x out of range
    expectLoadThrowsArchiveError(b);
  }
  {
    Bytes b = good;
    putDouble(b, kXformAt, 0.0);  // a = 0 with b = 0: singular matrix
    expectLoadThrowsArchiveError(b);
  }
  {
    Bytes b = good;
    putDouble(b, kXformAt + 32, std::numeric_limits<double>::quiet_NaN());  // translation x
    expectLoadThrowsArchiveError(b);
  }
  EXPECT_EQ(good[kPelSizeAt], 1);
}

// --- Truncation ---

// An archive of every kind; every proper prefix of it must fail cleanly.
Bytes everyKindArchive() {
  return stored([](kcArchive& ar) {
    unsigned char c = 200;
    bool flag = true;
    long l = -42;
    unsigned long u = 7;
    double d = 2.5;
    std::wstring s = L"t\u00e9xt";
    kcPelBuffer<unsigned char> b8 = patterned<unsigned char>(kcPelRect(1, 2, 3, 2));
    kcPelBuffer<unsigned short> b16 = patterned<unsigned short>(kcPelRect(0, 0, 2, 2));
    kcPelBuffer<unsigned long> b32 = patterned<unsigned long>(kcPelRect(-1, -1, 2, 1));
    kcPelBuffer<unsigned char> unbound;
    ar || c || flag || l || u || d || s || b8 || b16 || b32 || unbound;
    kcImageNormalizerDefs::CanNotRun error(L"msg");
    ar.storeObject(error);
  });
}

// The plain values are left uninitialized: loading must not read its target.
void loadEveryKind(kcArchive& ar) {
  unsigned char c;
  bool flag;
  long l;
  unsigned long u;
  double d;
  std::wstring s;
  kcPelBuffer<unsigned char> b8, unbound;
  kcPelBuffer<unsigned short> b16;
  kcPelBuffer<unsigned long> b32;
  ar || c || flag || l || u || d || s || b8 || b16 || b32 || unbound;
  ar.loadObject();
}

TEST(ArchiveTruncation, EveryPrefixThrowsArchiveError) {
  const Bytes full = everyKindArchive();
  {
    kcArchive in(full);
    loadEveryKind(in);
    EXPECT_TRUE(in.atEnd());
  }
  for (std::size_t n = 0; n < full.size(); ++n) {
    kcArchive in(Bytes(full.begin(), full.begin() + static_cast<long>(n)));
    try {
      loadEveryKind(in);
      ADD_FAILURE() << "prefix of " << n << " bytes loaded";
    } catch (const kcArchive::Error& e) {
      EXPECT_NE(e.message().find(L"Truncated archive"), std::wstring::npos) << n;
    } catch (...) {
      ADD_FAILURE() << "prefix of " << n << " bytes threw something else";
    }
  }
}

// --- Polymorphic objects ---

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

class Unregistered : public kcPersistent {
 protected:
  void dispatchSerialize(kcArchive&) override {}
};

TEST(ArchiveObjects, RegisteredObjectRoundTripsAsItsDynamicType) {
  EXPECT_EQ(kc_Instantiator::typeName(typeid(Probe)), "(anonymous namespace)::Probe");
  Probe p;
  p.number = -9;
  p.text = L"\u00fcber";
  kcArchive out;
  out.storeObject(p);
  kcArchive in(out.bytes());
  std::unique_ptr<kcPersistent> loaded = in.loadObject();
  const auto* probe = dynamic_cast<const Probe*>(loaded.get());
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(probe->number, -9);
  EXPECT_EQ(probe->text, L"\u00fcber");
  EXPECT_TRUE(in.atEnd());
}

TEST(ArchiveObjects, UnregisteredAndUnknownTypesAreRefused) {
  Unregistered u;
  kcArchive out;
  EXPECT_THROW(out.storeObject(u), kcHostError);
  EXPECT_TRUE(out.bytes().empty());

  // A type name no one registered.
  Probe p;
  kcArchive good;
  good.storeObject(p);
  Bytes b = good.bytes();
  b[8] = 'X';
  kcArchive in(b);
  EXPECT_THROW(in.loadObject(), kcArchive::Error);

  for (std::uint64_t length : {std::uint64_t{0}, std::uint64_t{257}, std::uint64_t{1} << 60}) {
    Bytes bad = good.bytes();
    putU64(bad, 0, length);
    kcArchive badIn(bad);
    EXPECT_THROW(badIn.loadObject(), kcArchive::Error) << length;
  }
}

TEST(ArchiveObjects, VisitedObjectsAreTransferredOncePerArchive) {
  Probe p;
  p.text = L"abc";
  kcArchive out;
  out.storeObject(p);
  const std::size_t once = out.bytes().size();
  out.storeObject(p);
  const std::size_t header = 8 + kc_Instantiator::typeName(typeid(Probe)).size();
  EXPECT_EQ(out.bytes().size(), once + header);
  // Another object, or another archive, transfers again.
  Probe q;
  q.text = L"abc";
  out.storeObject(q);
  EXPECT_EQ(out.bytes().size(), 2 * once + header);
  kcArchive fresh;
  fresh.storeObject(p);
  EXPECT_EQ(fresh.bytes().size(), once);
  EXPECT_FALSE(kcPersistent::haveVisited(fresh, &q, sizeof q));
  EXPECT_TRUE(kcPersistent::haveVisited(fresh, &p, sizeof p));
  EXPECT_FALSE(kcPersistent::haveVisited(fresh, &p, 1));  // the size is part of the mark
}

// --- Files ---

TEST(ArchiveFiles, WriteAndReadBack) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("imgnorm_archive_test_" + std::to_string(::getpid())))
                               .string();
  kcArchive out;
  std::wstring s = L"file \u00e9";
  out || s;
  out.writeFile(path);
  EXPECT_EQ(kcArchive::readFile(path), out.bytes());
  std::remove(path.c_str());
  EXPECT_THROW(kcArchive::readFile(path), kcArchive::Error);
  EXPECT_THROW(out.writeFile("/nonexistent-dir/x/y"), kcArchive::Error);
}

}  // namespace
