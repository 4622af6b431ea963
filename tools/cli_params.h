#pragma once

// The readable forms of the tool's methods and parameters on the command
// line, with CLI11 validators that refuse malformed values while parsing.

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "host/geometry.h"
#include "imgnorm/errors.h"
#include "imgnorm/method.h"

namespace cli {

using Method = kcImageNormalizerDefs::Method;

// "histogram", "mean-stddev", "tails", "linear-fit", "local",
// "local-enhanced"; "identity" for running only.
std::optional<Method> methodByName(const std::string& name);
// A comma-separated list of method names or "all".
std::optional<Method> methodsByList(const std::string& list);
std::string methodName(Method single);
// The names of a set, comma-separated; "none" for the empty set.
std::string methodList(Method set);

// "WxH" with positive integers, e.g. "101x101".
std::optional<kcPair<long>> parseSize(const std::string& text);
// "LO,HI" with finite numbers, e.g. "0.05,0.95".
std::optional<kcPair<double>> parseFractionPair(const std::string& text);
// "LO,HI" with integers, e.g. "-40,40".
std::optional<kcPair<long>> parseLongPair(const std::string& text);

std::string sizeText(const kcPair<long>& size);
std::string pairText(const kcPair<long>& pair);
std::string pairText(const kcPair<double>& pair);

CLI::Validator methodNameValidator(bool allowIdentity);
CLI::Validator methodListValidator();
CLI::Validator sizeValidator();
CLI::Validator fractionPairValidator();
CLI::Validator longPairValidator();

}  // namespace cli
