#pragma once

#include "host/export.h"

// Reports a broken invariant by throwing kcAssertionFailure naming the file
// and line. Active in every build type: a production line must hear of it.
[[noreturn]] IMGNORM_API void kfAssertFailed(const char* file, long line);

#define KC_ASSERT(cond)                                \
  do {                                                 \
    if (!(cond)) ::kfAssertFailed(__FILE__, __LINE__); \
  } while (false)
