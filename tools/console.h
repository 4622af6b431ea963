#pragma once

// Messages on stderr and the progress bar of a batch. Every function may be
// called from several threads; lines never cut through the bar.

#include <cstddef>
#include <string>

namespace cli {

// "imgnorm: " + message, on its own line.
void printError(const std::string& message);

// A bar on the last line of stderr, shown only when enabled (stderr is a
// terminal and there is more than one item).
class ProgressBar {
 public:
  ProgressBar(std::size_t total, bool enabled);
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  ~ProgressBar();  // erases the bar
  void advance();

 private:
  bool enabled_;
};

bool stderrIsTerminal();

}  // namespace cli
