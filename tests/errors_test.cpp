#include "imgnorm/errors.h"

#include <gtest/gtest.h>

#include <algorithm>
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

#include "host/attention.h"
#include "host/str.h"
#include "test_support.h"

namespace {

using namespace kcImageNormalizerDefs;
using testing_support::Bytes;
using testing_support::wideText;

// --- One typed test over the six error classes ---

template <class E>
struct ErrorClass;
template <> struct ErrorClass<BadImage> { static constexpr long number = 268466688; static constexpr const char* name = "kcImageNormalizerDefs::BadImage"; };
template <> struct ErrorClass<BadParams> { static constexpr long number = 268466689; static constexpr const char* name = "kcImageNormalizerDefs::BadParams"; };
template <> struct ErrorClass<NotTrained> { static constexpr long number = 268466690; static constexpr const char* name = "kcImageNormalizerDefs::NotTrained"; };
template <> struct ErrorClass<CanNotTrain> { static constexpr long number = 268466691; static constexpr const char* name = "kcImageNormalizerDefs::CanNotTrain"; };
template <> struct ErrorClass<CanNotRun> { static constexpr long number = 268466692; static constexpr const char* name = "kcImageNormalizerDefs::CanNotRun"; };
template <> struct ErrorClass<NotImplemented> { static constexpr long number = 268466703; static constexpr const char* name = "kcImageNormalizerDefs::NotImplemented"; };

template <class E>
class NormalizerErrors : public ::testing::Test {};
using ErrorTypes = ::testing::Types<BadImage, BadParams, NotTrained, CanNotTrain, CanNotRun, NotImplemented>;
TYPED_TEST_SUITE(NormalizerErrors, ErrorTypes);

Bytes typeHeader(const std::string& name) {
  Bytes b(8 + name.size());
  testing_support::putU64(b, 0, name.size());
  std::copy(name.begin(), name.end(), b.begin() + 8);
  return b;
}

Bytes storedObject(kcPersistent& object) {
  kcArchive ar;
  ar.storeObject(object);
  return ar.bytes();
}

TYPED_TEST(NormalizerErrors, NumberNameAndRegistration) {
  using E = TypeParam;
  EXPECT_EQ(E().errorNumber(), ErrorClass<E>::number);
  EXPECT_EQ(E().text(), L"");
  EXPECT_EQ(kc_Instantiator::typeName(typeid(E)), ErrorClass<E>::name);
  const kc_Instantiator::Factory make = kc_Instantiator::factory(ErrorClass<E>::name);
  ASSERT_NE(make, nullptr);
  const std::unique_ptr<kcPersistent> made(make());
  ASSERT_NE(dynamic_cast<const E*>(made.get()), nullptr);
  EXPECT_THROW(throw E(), Errors);
  EXPECT_THROW(throw E(), kcExceptionWithString);
  EXPECT_THROW(throw E(), kcPersistent);
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

// Layout: type header, three version bytes (class, Errors, message), text. An unknown version
// names the level that refused it.
TYPED_TEST(NormalizerErrors, StoresReloadsAndRethrowsAsItsClass) {
  using E = TypeParam;
  const std::wstring message = L"x\u00e9\u4e2d";
  E original(message);
  Bytes expected = typeHeader(ErrorClass<E>::name);
  expected.insert(expected.end(), {0, 0, 0});
  const Bytes text = wideText(message);
  expected.insert(expected.end(), text.begin(), text.end());
  ASSERT_EQ(storedObject(original), expected);
  const std::size_t versions = typeHeader(ErrorClass<E>::name).size();
  Bytes first = expected, second = expected;
  first[versions] = second[versions + 1] = 1;
  EXPECT_EQ(unknownVersionName(first), ErrorClass<E>::name);
  EXPECT_EQ(unknownVersionName(second), "kcImageNormalizerDefs::Errors");

  kcArchive in(expected);
  std::unique_ptr<kcPersistent> loaded = in.loadObject();
  EXPECT_TRUE(in.atEnd());
  auto* e = dynamic_cast<E*>(loaded.get());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->errorNumber(), ErrorClass<E>::number);
  try {
    loaded.release();  // suicideAndRethrow frees it; the leak checker sees it if not
    e->suicideAndRethrow();
    ADD_FAILURE() << "nothing thrown";
  } catch (const E& thrown) {
    EXPECT_EQ(thrown.text(), message);
  }
}

TEST(NormalizerErrorsValues, Utf8WhatAndNoRegisteredBase) {
  try {
    throw BadParams(L"caf\u00e9 \u4e2d \U0001F600");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80");
    EXPECT_EQ(dynamic_cast<const Errors&>(e).message(), L"caf\u00e9 \u4e2d \U0001F600");
  }
  EXPECT_EQ(kc_Instantiator::factory("kcImageNormalizerDefs::Errors"), nullptr);
}

// --- Number texts and UTF-8 ---

TEST(HostStr, NumberForms) {
  EXPECT_EQ(kfStr(true), L"true");
  EXPECT_EQ(kfStr(false), L"false");
  EXPECT_EQ(kfStr(-17), L"-17");
  EXPECT_EQ(kfStr(INT_MIN), L"-2147483648");
  EXPECT_EQ(kfStr(LONG_MAX), L"9223372036854775807");
  EXPECT_EQ(kfStr(LONG_MIN), L"-9223372036854775808");
  EXPECT_EQ(kfStr(1e-07), L"1e-07");
  EXPECT_EQ(kfStr(100.0), L"100");
  EXPECT_EQ(kfStr(0.1), L"0.1");
  EXPECT_EQ(kfStr(-2.25), L"-2.25");
  EXPECT_EQ(kfStr(std::numeric_limits<double>::quiet_NaN()), L"nan");
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
  EXPECT_EQ(kfFromUtf8("a\xFF" "b"), L"a\uFFFDb");
  EXPECT_EQ(kfFromUtf8("\xC3"), L"\uFFFD");
  EXPECT_EQ(kfFromUtf8("\xC3(x"), L"\uFFFD(x");
  EXPECT_EQ(kfToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(kfFromUtf8(std::string("\xC0\x80", 2)), L"\uFFFD\uFFFD");      // overlong NUL
  EXPECT_EQ(kfFromUtf8("\xE0\x80\xAF"), L"\uFFFD\uFFFD\uFFFD");            // overlong '/'
  EXPECT_EQ(kfFromUtf8("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");            // U+D800
  EXPECT_EQ(kfFromUtf8("\xED\xBF\xBF"), L"\uFFFD\uFFFD\uFFFD");            // U+DFFF
  EXPECT_EQ(kfFromUtf8("\xF4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");  // U+110000
  EXPECT_EQ(kfFromUtf8("\xED\x9F\xBF\xEE\x80\x80"), L"\uD7FF\uE000");  // the surrogates' neighbours
}

// --- Abort requests ---

TEST(Attention, AnAbortRequestStopsEveryCheckUntilCleared) {
  kcAttention::requestAbort();
  EXPECT_THROW(kcAttention::check(), kcAttention::Aborted);
  kcAttention::clear();
  EXPECT_NO_THROW(kcAttention::check());
}

}  // namespace
