#include "host/str.h"

#include <charconv>
#include <cmath>

namespace {
std::wstring widen(const char* begin, const char* end) { return std::wstring(begin, end); }
}  // namespace

std::wstring kfStr(bool v) { return v ? L"true" : L"false"; }
std::wstring kfStr(int v) { return std::to_wstring(v); }
std::wstring kfStr(long v) { return std::to_wstring(v); }

std::wstring kfStr(double v) {
  if (std::isnan(v)) return L"nan";
  if (std::isinf(v)) return v < 0 ? L"-inf" : L"inf";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return widen(buf, res.ptr);
}

std::string kfToUtf8(const std::wstring& s) {
  std::string out;
  out.reserve(s.size());
  for (wchar_t wc : s) {
    auto c = static_cast<unsigned long>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring kfFromUtf8(const std::string& s) {
  std::wstring out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + static_cast<std::size_t>(len) > s.size()) {
      out += L'\uFFFD';
      ++i;
      continue;
    }
    unsigned long c = len == 1 ? b : b & (0x7F >> len);
    bool ok = true;
    for (int k = 1; k < len; ++k) {
      const auto cb = static_cast<unsigned char>(s[i + k]);
      ok = ok && (cb >> 6) == 2;
      c = (c << 6) | (cb & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are invalid too.
    static constexpr unsigned long kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && c >= kSmallest[len] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    out += ok ? static_cast<wchar_t>(c) : L'\uFFFD';
    i += ok ? static_cast<std::size_t>(len) : 1;
  }
  return out;
}
