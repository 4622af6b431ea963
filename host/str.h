#pragma once

#include <string>

#include "host/export.h"

// Number-to-text conversion of the host:
//   bool:        "true" / "false"
//   int, long:   decimal, with a leading '-' when negative
//   double:      the shortest text that reads back to the same double
//                ("0.5", "1e-07", "100"), "nan", "inf" and "-inf"
IMGNORM_API std::wstring kfStr(bool v);
IMGNORM_API std::wstring kfStr(int v);
IMGNORM_API std::wstring kfStr(long v);
IMGNORM_API std::wstring kfStr(double v);

// UTF-8 <-> wide text (wchar_t holds a code point). Invalid sequences become
// U+FFFD.
IMGNORM_API std::string kfToUtf8(const std::wstring& s);
IMGNORM_API std::wstring kfFromUtf8(const std::string& s);
