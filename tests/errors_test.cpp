#include "imgnorm/errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/attention.h"
#include "host/str.h"

namespace {

using namespace kcImageNormalizerDefs;
using Bytes = std::vector<unsigned char>;

// --- Numbers, names and registration ---

TEST(NormalizerErrors, ErrorNumbersAreExact) {
  EXPECT_EQ(BadImage().errorNumber(), 268466688);
  EXPECT_EQ(BadParams().errorNumber(), 268466689);
  EXPECT_EQ(NotTrained().errorNumber(), 268466690);
  EXPECT_EQ(CanNotTrain().errorNumber(), 268466691);
  EXPECT_EQ(CanNotRun().errorNumber(), 268466692);
  EXPECT_EQ(NotImplemented().errorNumber(), 268466703);
}

template <class E>
void expectRegisteredAs(const std::string& name) {
  EXPECT_EQ(kc_Instantiator::typeName(typeid(E)), name);
  const kc_Instantiator::Factory make = kc_Instantiator::factory(name);
  ASSERT_NE(make, nullptr) << name;
  const std::unique_ptr<kcPersistent> made(make());
  const auto* e = dynamic_cast<const E*>(made.get());
  ASSERT_NE(e, nullptr) << name;
  EXPECT_EQ(e->text(), L"");
}

TEST(NormalizerErrors, AllSixAreRegisteredUnderTheirNames) {
  expectRegisteredAs<BadImage>("kcImageNormalizerDefs::BadImage");
  expectRegisteredAs<BadParams>("kcImageNormalizerDefs::BadParams");
  expectRegisteredAs<NotTrained>("kcImageNormalizerDefs::NotTrained");
  expectRegisteredAs<CanNotTrain>("kcImageNormalizerDefs::CanNotTrain");
  expectRegisteredAs<CanNotRun>("kcImageNormalizerDefs::CanNotRun");
  expectRegisteredAs<NotImplemented>("kcImageNormalizerDefs::NotImplemented");
  EXPECT_EQ(kc_Instantiator::factory("kcImageNormalizerDefs::Errors"), nullptr);
}

// --- Values ---

TEST(NormalizerErrors, CopyAndAssignmentKeepTheMessage) {
  const CanNotTrain original(L"first");
  CanNotTrain copy(original);
  EXPECT_EQ(copy.text(), L"first");
  CanNotTrain target(L"second");
  CanNotTrain& result = (target = original);
  EXPECT_EQ(&result, &target);
  EXPECT_EQ(target.text(), L"first");
  EXPECT_EQ(original.text(), L"first");
  EXPECT_EQ(BadImage().text(), L"");
}

TEST(NormalizerErrors, CaughtThroughEveryBase) {
  try {
    throw BadParams(L"caf\u00e9 \u4e2d \U0001F600");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80");
    const auto* errors = dynamic_cast<const Errors*>(&e);
    ASSERT_NE(errors, nullptr);
    EXPECT_EQ(errors->errorNumber(), 268466689);
    EXPECT_EQ(errors->message(), L"caf\u00e9 \u4e2d \U0001F600");
  }
  EXPECT_THROW(throw NotTrained(), Errors);
  EXPECT_THROW(throw NotTrained(), kcExceptionWithString);
  EXPECT_THROW(throw NotTrained(), kcException);
  EXPECT_THROW(throw NotTrained(), kcPersistent);
}

TEST(NormalizerErrors, SuicideAndRethrowThrowsItsClassAndFreesTheObject) {
  // The heap object comes from the registry's factory, as a loaded one does;
  // the leak checker of the sanitizer build sees it if it is not freed.
  const kc_Instantiator::Factory make =
      kc_Instantiator::factory("kcImageNormalizerDefs::CanNotRun");
  ASSERT_NE(make, nullptr);
  auto* object = dynamic_cast<kcException*>(make());
  ASSERT_NE(object, nullptr);
  EXPECT_THROW(object->suicideAndRethrow(), CanNotRun);

  Errors* withMessage = new NotImplemented(L"later");
  try {
    withMessage->suicideAndRethrow();
    FAIL() << "nothing thrown";
  } catch (const NotImplemented& e) {
    EXPECT_EQ(e.text(), L"later");
  }
}

// --- Persistence ---

Bytes wideText(const std::wstring& s) {
  Bytes b;
  const unsigned long n = s.size();
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<unsigned char>(n >> (8 * i)));
  for (wchar_t c : s)
    for (int i = 0; i < 4; ++i)
      b.push_back(static_cast<unsigned char>(static_cast<unsigned long>(c) >> (8 * i)));
  return b;
}

Bytes typeHeader(const std::string& name) {
  Bytes b = wideText(L"");
  b[0] = static_cast<unsigned char>(name.size());
  b.insert(b.end(), name.begin(), name.end());
  return b;
}

Bytes storedObject(kcPersistent& object) {
  kcArchive ar;
  ar.storeObject(object);
  return ar.bytes();
}

TEST(NormalizerErrorsPersistence, TwoVersionBytesPrecedeTheHostPart) {
  BadImage empty;
  Bytes expected = typeHeader("kcImageNormalizerDefs::BadImage");
  expected.insert(expected.end(), {0, 0, 0});  // class, Errors, message versions
  const Bytes text = wideText(L"");
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(storedObject(empty), expected);

  BadParams withText(L"x\u00e9");
  Bytes expected2 = typeHeader("kcImageNormalizerDefs::BadParams");
  expected2.insert(expected2.end(), {0, 0, 0});
  const Bytes text2 = wideText(L"x\u00e9");
  expected2.insert(expected2.end(), text2.begin(), text2.end());
  EXPECT_EQ(storedObject(withText), expected2);
}

template <class E>
void expectReloads(const std::wstring& message) {
  E original(message);
  kcArchive in(storedObject(original));
  std::unique_ptr<kcPersistent> loaded = in.loadObject();
  EXPECT_TRUE(in.atEnd());
  auto* e = dynamic_cast<E*>(loaded.get());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->text(), message);
  EXPECT_EQ(e->errorNumber(), original.errorNumber());
  // The loaded object rethrows as its own class.
  try {
    loaded.release();  // suicideAndRethrow frees it
    e->suicideAndRethrow();
    ADD_FAILURE() << "nothing thrown";
  } catch (const E& thrown) {
    EXPECT_EQ(thrown.text(), message);
  }
}

TEST(NormalizerErrorsPersistence, EveryClassReloadsPolymorphically) {
  expectReloads<BadImage>(L"");
  expectReloads<BadParams>(L"Both elements of granularity must be >= 1");
  expectReloads<NotTrained>(L"\u4e2d");
  expectReloads<CanNotTrain>(L"a");
  expectReloads<CanNotRun>(L"b");
  expectReloads<NotImplemented>(L"c");
}

std::string unknownVersionName(const Bytes& bytes) {
  kcArchive in(bytes);
  try {
    in.loadObject();
  } catch (const kcArchive::UnknownVersion& e) {
    return e.name();
  }
  return "(loaded)";
}

TEST(NormalizerErrorsPersistence, UnknownVersionNamesTheLevelThatRefused) {
  BadImage error(L"m");
  const Bytes good = storedObject(error);
  const std::size_t versions = typeHeader("kcImageNormalizerDefs::BadImage").size();
  Bytes first = good, second = good;
  first[versions] = 1;
  second[versions + 1] = 1;
  EXPECT_EQ(unknownVersionName(first), "kcImageNormalizerDefs::BadImage");
  EXPECT_EQ(unknownVersionName(second), "kcImageNormalizerDefs::Errors");
  EXPECT_EQ(unknownVersionName(good), "(loaded)");
}

TEST(NormalizerErrorsPersistence, StoringTheSameObjectTwiceTransfersItOnce) {
  NotTrained error(L"twice");
  kcArchive ar;
  ar.storeObject(error);
  const std::size_t once = ar.bytes().size();
  ar.storeObject(error);
  EXPECT_EQ(ar.bytes().size(), once + typeHeader("kcImageNormalizerDefs::NotTrained").size());
  // A second object of the class is transferred in full.
  NotTrained other(L"twice");
  ar.storeObject(other);
  EXPECT_EQ(ar.bytes().size(), 2 * once + typeHeader("kcImageNormalizerDefs::NotTrained").size());
}

// --- Number texts and UTF-8 ---

TEST(HostStr, NumberForms) {
  EXPECT_EQ(kfStr(true), L"true");
  EXPECT_EQ(kfStr(false), L"false");
  EXPECT_EQ(kfStr(0), L"0");
  EXPECT_EQ(kfStr(-17), L"-17");
  EXPECT_EQ(kfStr(INT_MIN), L"-2147483648");
  EXPECT_EQ(kfStr(LONG_MAX), L"9223372036854775807");
  EXPECT_EQ(kfStr(LONG_MIN), L"-9223372036854775808");
  EXPECT_EQ(kfStr(0.5), L"0.5");
  EXPECT_EQ(kfStr(1e-07), L"1e-07");
  EXPECT_EQ(kfStr(100.0), L"100");
  EXPECT_EQ(kfStr(0.1), L"0.1");
  EXPECT_EQ(kfStr(-2.25), L"-2.25");
  EXPECT_EQ(kfStr(std::numeric_limits<double>::quiet_NaN()), L"nan");
  EXPECT_EQ(kfStr(std::numeric_limits<double>::infinity()), L"inf");
  EXPECT_EQ(kfStr(-std::numeric_limits<double>::infinity()), L"-inf");
}

TEST(HostStr, DoubleTextReadsBackExactly) {
  std::mt19937_64 gen(11);
  for (int i = 0; i < 2000; ++i) {
    double v;
    do {
      const unsigned long long bits = gen();
      std::memcpy(&v, &bits, sizeof v);
    } while (!std::isfinite(v));
    const std::string text = kfToUtf8(kfStr(v));
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
  }
  EXPECT_EQ(std::strtod(kfToUtf8(kfStr(DBL_MIN)).c_str(), nullptr), DBL_MIN);
}

TEST(HostStr, Utf8RoundTripAndInvalidInput) {
  const std::wstring text = L"A\u00e9\u07ff\u0800\uffff\U00010000\U0010FFFF";
  const std::string utf8 = kfToUtf8(text);
  EXPECT_EQ(utf8, "A\xC3\xA9\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
  EXPECT_EQ(kfFromUtf8(utf8), text);
  // Invalid sequences become U+FFFD, one per bad byte.
  EXPECT_EQ(kfFromUtf8("a\xFF"
                       "b"),
            L"a\uFFFDb");
  EXPECT_EQ(kfFromUtf8("\xC3"), L"\uFFFD");
  EXPECT_EQ(kfFromUtf8("\xC3(x"), L"\uFFFD(x");
  EXPECT_EQ(kfToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

TEST(HostStr, Utf8RejectsOverlongSurrogateAndOutOfRangeForms) {
  EXPECT_EQ(kfFromUtf8(std::string("\xC0\x80", 2)), L"\uFFFD\uFFFD");      // overlong NUL
  EXPECT_EQ(kfFromUtf8("\xE0\x80\xAF"), L"\uFFFD\uFFFD\uFFFD");            // overlong '/'
  EXPECT_EQ(kfFromUtf8("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");            // U+D800
  EXPECT_EQ(kfFromUtf8("\xF4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");  // U+110000
  EXPECT_EQ(kfFromUtf8("\xED\x9F\xBF\xEE\x80\x80"), L"\uD7FF\uE000");  // the surrogates' neighbours
}

// Text decoded from arbitrary bytes (a file name, say) must survive an
// archive round trip inside an error message.
TEST(HostStr, DecodedArbitraryBytesPersistInAnErrorMessage) {
  std::mt19937 gen(5);
  std::uniform_int_distribution<int> byte(0, 255), length(0, 12);
  for (int i = 0; i < 3000; ++i) {
    std::string raw(static_cast<std::size_t>(length(gen)), '\0');
    for (char& c : raw) c = static_cast<char>(byte(gen));
    CanNotRun error(kfFromUtf8(raw));
    kcArchive out;
    out.storeObject(error);
    kcArchive in(out.bytes());
    std::unique_ptr<kcPersistent> loaded;
    ASSERT_NO_THROW(loaded = in.loadObject());
    ASSERT_EQ(dynamic_cast<CanNotRun&>(*loaded).text(), error.text());
    ASSERT_EQ(kfFromUtf8(kfToUtf8(error.text())), error.text());
  }
}

// --- Abort from another thread ---

class HostAttention : public ::testing::Test {
 protected:
  void SetUp() override { kcAttention::clear(); }
  void TearDown() override { kcAttention::clear(); }
};

TEST_F(HostAttention, AbortRequestedFromAnotherThreadMakesCheckThrow) {
  EXPECT_NO_THROW(kcAttention::check());
  std::thread requester([] { kcAttention::requestAbort(); });
  requester.join();
  EXPECT_TRUE(kcAttention::abortRequested());
  EXPECT_THROW(kcAttention::check(), kcAttention::Aborted);
  EXPECT_THROW(kcAttention::check(), kcAttention::Aborted);  // until cleared
  kcAttention::clear();
  EXPECT_FALSE(kcAttention::abortRequested());
  EXPECT_NO_THROW(kcAttention::check());
}

TEST_F(HostAttention, PollingWorkerIsStoppedByAnotherThread) {
  std::atomic<bool> started{false};
  std::atomic<bool> aborted{false};
  std::thread worker([&] {
    try {
      for (;;) {
        kcAttention::check();
        started = true;
      }
    } catch (const kcAttention::Aborted& e) {
      aborted = e.errorNumber() == 0x10000401 && !e.message().empty();
    }
  });
  while (!started) std::this_thread::yield();
  kcAttention::requestAbort();
  worker.join();
  EXPECT_TRUE(aborted);
}

}  // namespace
