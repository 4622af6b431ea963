#include "cli_params.h"

#include <array>
#include <charconv>
#include <cmath>
#include <sstream>

#include "host/str.h"
#include "imgio/image_io.h"

namespace cli {

namespace {

using namespace kcImageNormalizerDefs;

std::string knownNames(bool withAll, bool withIdentity) {
  std::string text;
  for (const auto& row : kMethods) text += std::string(text.empty() ? "" : ", ") + row.name;
  if (withAll) text += ", all";
  if (withIdentity) text += ", identity";
  return text;
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The whole text as one number, or nothing.
template <class T>
std::optional<T> parseNumber(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

template <class T>
std::optional<kcPair<T>> parsePair(const std::string& text, char separator) {
  const auto at = text.find(separator);
  if (at == std::string::npos) return std::nullopt;
  const auto x = parseNumber<T>(std::string_view(text).substr(0, at));
  const auto y = parseNumber<T>(std::string_view(text).substr(at + 1));
  if (!x || !y) return std::nullopt;
  return kcPair<T>(*x, *y);
}

// No description: the options name their form with type_name.
CLI::Validator makeValidator(const std::function<bool(const std::string&)>& accepts,
                             const std::string& expected) {
  return CLI::Validator(
      [accepts, expected](std::string& value) -> std::string {
        if (accepts(value)) return {};
        return "'" + value + "' is not " + expected;
      },
      "");
}

}  // namespace

std::optional<Method> methodByName(const std::string& name) {
  if (name == "identity") return eIdentity;
  for (const auto& row : kMethods)
    if (name == row.name) return row.flag;
  return std::nullopt;
}

std::optional<Method> methodsByList(const std::string& list) {
  if (list == "all") return static_cast<Method>(kKnownMethods);
  Method methods = eIdentity;
  std::istringstream items(list);
  std::string item;
  while (std::getline(items, item, ',')) {
    const auto method = methodByName(trimmed(item));
    if (!method || *method == eIdentity) return std::nullopt;
    methods = methods | *method;
  }
  if (methods == eIdentity || list.back() == ',') return std::nullopt;
  return methods;
}

std::string methodName(Method single) {
  if (const MethodInfo* row = methodInfo(single)) return row->name;
  return single == eIdentity ? "identity" : "unknown";
}

std::string methodList(Method set) {
  std::string text;
  for (const auto& row : kMethods)
    if (set & row.flag) text += std::string(text.empty() ? "" : ", ") + row.name;
  return text.empty() ? "none" : text;
}

std::optional<kcPair<long>> parseSize(const std::string& text) {
  auto size = parsePair<long>(text, 'x');
  if (!size) return std::nullopt;
  const auto inRange = [](long v) { return v >= 1 && v <= imgio::kMaxSide; };
  if (!inRange(size->x()) || !inRange(size->y())) return std::nullopt;
  return size;
}

std::optional<kcPair<double>> parseFractionPair(const std::string& text) {
  auto pair = parsePair<double>(text, ',');
  if (!pair || !std::isfinite(pair->x()) || !std::isfinite(pair->y())) return std::nullopt;
  return pair;
}

std::optional<kcPair<long>> parseLongPair(const std::string& text) {
  return parsePair<long>(text, ',');
}

std::string sizeText(const kcPair<long>& size) {
  return std::to_string(size.x()) + "x" + std::to_string(size.y());
}

std::string pairText(const kcPair<long>& pair) {
  return std::to_string(pair.x()) + "," + std::to_string(pair.y());
}

std::string pairText(const kcPair<double>& pair) {
  return kfToUtf8(kfStr(pair.x())) + "," + kfToUtf8(kfStr(pair.y()));
}

CLI::Validator methodNameValidator(bool allowIdentity) {
  return CLI::Validator(
      [allowIdentity](std::string& value) -> std::string {
        const auto method = methodByName(value);
        if (method && (allowIdentity || *method != eIdentity)) return {};
        return "unknown method '" + value + "' (known: " + knownNames(false, allowIdentity) + ")";
      },
      "");
}

CLI::Validator methodListValidator() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        if (methodsByList(value)) return {};
        return "'" + value +
               "' is not a comma-separated list of methods (known: " + knownNames(true, false) +
               ")";
      },
      "");
}

CLI::Validator sizeValidator() {
  return makeValidator(
      [](const std::string& v) { return parseSize(v).has_value(); },
      "WxH with whole numbers from 1 to " + std::to_string(imgio::kMaxSide) + " (e.g. 101x101)");
}

CLI::Validator fractionPairValidator() {
  return makeValidator([](const std::string& v) { return parseFractionPair(v).has_value(); },
                       "LO,HI with two numbers (e.g. 0.05,0.95)");
}

CLI::Validator longPairValidator() {
  return makeValidator([](const std::string& v) { return parseLongPair(v).has_value(); },
                       "LO,HI with two whole numbers (e.g. -40,40)");
}

}  // namespace cli
