#include <memory>

#include "commands.h"

namespace cli {

namespace {

class SynopsisFormatter : public CLI::Formatter {
 public:
  explicit SynopsisFormatter(std::string synopsis) : synopsis_(std::move(synopsis)) {}
  std::string make_usage(const CLI::App*, std::string) const override {
    return "Usage: " + synopsis_ + "\n";
  }

 private:
  std::string synopsis_;
};

constexpr const char* kMethodsHelp =
    "Methods:\n"
    "  histogram       match the cumulative histogram of the reference\n"
    "  mean-stddev     match the reference's mean and standard deviation\n"
    "  tails           match the levels where the tail fractions cut the histograms\n"
    "  linear-fit      fit a robust line between run-time and reference levels\n"
    "  local           remove the local difference (or ratio, --model divide) to the\n"
    "                  reference (Gaussian)\n"
    "  local-enhanced  the same by a median (differences within --range)\n\n";

constexpr const char* kExitCodesHelp =
    "Exit codes: 0 success, 1 a normalization that did not succeed, 2 bad usage,\n"
    "unreadable input or unwritable output, 130 interrupted.";

}  // namespace

void setSynopsis(CLI::App& command, const std::string& synopsis, bool listMethods) {
  command.formatter(std::make_shared<SynopsisFormatter>(synopsis));
  command.footer(std::string(listMethods ? kMethodsHelp : "") + kExitCodesHelp);
}

}  // namespace cli
