#include "host/attention.h"

#include <atomic>

namespace {
std::atomic<bool> abortFlag{false};
}

void kcAttention::check() {
  if (abortFlag.load(std::memory_order_relaxed)) throw Aborted();
}
void kcAttention::requestAbort() { abortFlag.store(true); }
void kcAttention::clear() { abortFlag.store(false); }
bool kcAttention::abortRequested() { return abortFlag.load(); }

void kcAttention::Aborted::suicideAndRethrow() {
  Aborted copy(*this);
  delete this;
  throw copy;
}
