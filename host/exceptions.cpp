#include "host/exceptions.h"

#include <sstream>

#include "host/assert.h"
#include "host/str.h"

kcException::~kcException() = default;

std::wstring kcException::message() const {
  std::wostringstream os;
  message_(os);
  return os.str();
}

const char* kcException::what() const noexcept {
  try {
    what_ = kfToUtf8(message());
  } catch (...) {
    return "kcException";
  }
  return what_.c_str();
}

kcExceptionWithString::~kcExceptionWithString() = default;

void kcExceptionWithString::message_(std::wostream& os) const { os << text_; }

void kcExceptionWithString::dispatchSerialize(kcArchive& ar) {
  if (haveVisited(ar, this, sizeof(*this))) return;
  unsigned char version = 0;
  ar || version;
  if (version != 0) throw kcArchive::UnknownVersion("kcExceptionWithString", 0);
  ar || text_;
  setVisited(ar, this, sizeof(*this));
}

namespace {
template <class T>
[[noreturn]] void rethrowAndDelete(T* self) {
  T copy(*self);
  delete self;
  throw copy;
}
}  // namespace

void kcHostError::suicideAndRethrow() { rethrowAndDelete(this); }

kcAssertionFailure::kcAssertionFailure(const char* file, long line)
    : kcExceptionWithString(L"Internal assertion failed at " + kfFromUtf8(file) + L":" +
                            kfStr(line)) {}
void kcAssertionFailure::suicideAndRethrow() { rethrowAndDelete(this); }

void kfAssertFailed(const char* file, long line) { throw kcAssertionFailure(file, line); }

void kcArchive::Error::suicideAndRethrow() { rethrowAndDelete(this); }

kcArchive::UnknownVersion::UnknownVersion(const std::string& name, long line)
    : kcExceptionWithString(L"Unknown version in archive" +
                            (name.empty() ? std::wstring() : L" (" + kfFromUtf8(name) + L")") +
                            (line ? L" at line " + kfStr(line) : std::wstring())),
      name_(name),
      line_(line) {}
void kcArchive::UnknownVersion::suicideAndRethrow() { rethrowAndDelete(this); }

#define KC_DEFINE_SIMPLE_HOST_ERROR(NS, NAME)                                    \
  void NS::NAME::suicideAndRethrow() { rethrowAndDelete(this); }                 \
  void NS::NAME::message_(std::wostream& os) const { os << L"" #NS "::" #NAME; } \
  void NS::NAME::dispatchSerialize(kcArchive& ar) {                              \
    unsigned char version = 0;                                                   \
    ar || version;                                                               \
    if (version != 0) throw kcArchive::UnknownVersion(#NS "::" #NAME, 0);        \
  }

KC_DEFINE_SIMPLE_HOST_ERROR(kcPel, UnboundWindow)
KC_DEFINE_SIMPLE_HOST_ERROR(kcPel, BadWindow)
KC_DEFINE_SIMPLE_HOST_ERROR(kcPelFunc, BadParams)
