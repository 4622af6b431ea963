#pragma once

#include "host/exceptions.h"
#include "host/export.h"

// Cooperative abort of long computations. The application calls
// requestAbort() from any thread; the next check() on any thread throws
// kcAttention::Aborted until clear() is called.
class IMGNORM_API kcAttention {
 public:
  class Aborted;
  static void check();
  static void requestAbort();
  static void clear();
  static bool abortRequested();
};

class IMGNORM_API kcAttention::Aborted : public kcExceptionWithString {
 public:
  Aborted() : kcExceptionWithString(L"The operation was aborted.") {}
  long errorNumber() const override { return 0x10000401; }
  void suicideAndRethrow() override;
};
