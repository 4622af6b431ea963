#include "console.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace cli {

namespace {

constexpr int kBarWidth = 30;

// The one bar that may be on screen, guarded with every write to stderr.
struct BarState {
  std::mutex mutex;
  bool shown = false;
  std::size_t done = 0;
  std::size_t total = 0;
};

BarState& bar() {
  static BarState state;
  return state;
}

void eraseBar() { std::fputs("\r\033[K", stderr); }

void drawBar(const BarState& state) {
  const auto filled = static_cast<int>(state.total ? state.done * kBarWidth / state.total : 0);
  std::string line = "\r[";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(kBarWidth - filled), '.');
  line += "] " + std::to_string(state.done) + "/" + std::to_string(state.total);
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace

bool stderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void printError(const std::string& message) {
  BarState& state = bar();
  std::lock_guard lock(state.mutex);
  if (state.shown) eraseBar();
  std::fprintf(stderr, "imgnorm: %s\n", message.c_str());
  if (state.shown) drawBar(state);
  std::fflush(stderr);
}

ProgressBar::ProgressBar(std::size_t total, bool enabled) : enabled_(enabled) {
  if (!enabled_) return;
  BarState& state = bar();
  std::lock_guard lock(state.mutex);
  state.shown = true;
  state.done = 0;
  state.total = total;
  drawBar(state);
}

ProgressBar::~ProgressBar() {
  if (!enabled_) return;
  BarState& state = bar();
  std::lock_guard lock(state.mutex);
  state.shown = false;
  eraseBar();
  std::fflush(stderr);
}

void ProgressBar::advance() {
  if (!enabled_) return;
  BarState& state = bar();
  std::lock_guard lock(state.mutex);
  ++state.done;
  drawBar(state);
}

}  // namespace cli
