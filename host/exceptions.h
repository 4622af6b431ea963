#pragma once

#include <exception>
#include <iosfwd>
#include <string>

#include "host/archive.h"
#include "host/export.h"

// Root of the host's exceptions. Also a std::exception, whose what() gives
// the message in UTF-8.
class IMGNORM_API kcException : public kcPersistent, public std::exception {
 public:
  ~kcException() override;
  virtual long errorNumber() const = 0;
  // Throws a copy of the object as its dynamic class and deletes the object,
  // which must have been allocated with new.
  virtual void suicideAndRethrow() = 0;
  std::wstring message() const;
  const char* what() const noexcept override;

 protected:
  kcException() = default;
  kcException(const kcException&) = default;
  kcException& operator=(const kcException&) = default;
  virtual void message_(std::wostream& os) const = 0;

 private:
  mutable std::string what_;
};

// An exception carrying a wide message; copyable and persistent.
class IMGNORM_API kcExceptionWithString : public kcException {
 public:
  ~kcExceptionWithString() override;
  kcExceptionWithString(const kcExceptionWithString&) = default;
  kcExceptionWithString& operator=(const kcExceptionWithString&) = default;
  const std::wstring& text() const { return text_; }

 protected:
  explicit kcExceptionWithString(const std::wstring& message = std::wstring()) : text_(message) {}
  void message_(std::wostream& os) const override;
  void dispatchSerialize(kcArchive& ar) override;

 private:
  std::wstring text_;
};

// Generic host failure with a message (archive corruption, line fitting, ...).
class IMGNORM_API kcHostError : public kcExceptionWithString {
 public:
  explicit kcHostError(const std::wstring& message) : kcExceptionWithString(message) {}
  long errorNumber() const override { return 0x10000001; }
  void suicideAndRethrow() override;
};

// Thrown by the assertion routine.
class IMGNORM_API kcAssertionFailure : public kcExceptionWithString {
 public:
  kcAssertionFailure(const char* file, long line);
  long errorNumber() const override { return 0x10000002; }
  void suicideAndRethrow() override;
};

// The host exceptions of the pixel-buffer operations carry no message of
// their own; what() names the class.
#define KC_DECLARE_SIMPLE_HOST_ERROR(NS, NAME, NUMBER)   \
  namespace NS {                                         \
  class IMGNORM_API NAME : public kcException {          \
   public:                                               \
    NAME() = default;                                    \
    long errorNumber() const override { return NUMBER; } \
    void suicideAndRethrow() override;                   \
                                                         \
   protected:                                            \
    void message_(std::wostream& os) const override;     \
    void dispatchSerialize(kcArchive& ar) override;      \
  };                                                     \
  }

KC_DECLARE_SIMPLE_HOST_ERROR(kcPel, UnboundWindow, 0x10000101)
KC_DECLARE_SIMPLE_HOST_ERROR(kcPel, BadWindow, 0x10000102)
KC_DECLARE_SIMPLE_HOST_ERROR(kcPelFunc, BadParams, 0x10000201)

// A truncated, corrupt or unreadable archive.
class IMGNORM_API kcArchive::Error : public kcExceptionWithString {
 public:
  explicit Error(const std::wstring& message) : kcExceptionWithString(message) {}
  long errorNumber() const override { return 0x10000301; }
  void suicideAndRethrow() override;
};

// A persisted block with a version this code does not know. Carries the name
// of what refused it (a type name or a source file, may be empty) and a line.
class IMGNORM_API kcArchive::UnknownVersion : public kcExceptionWithString {
 public:
  UnknownVersion(const std::string& name, long line);
  const std::string& name() const { return name_; }
  long line() const { return line_; }
  long errorNumber() const override { return 0x10000302; }
  void suicideAndRethrow() override;

 private:
  std::string name_;
  long line_;
};
