#include "host/cpu_dispatch.h"

#include <atomic>

namespace {

bool processorHasAvx2() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

std::atomic<bool> plainForced{false};

}  // namespace

bool kfAvx2Usable() {
  static const bool hasAvx2 = processorHasAvx2();
  return hasAvx2 && !plainForced.load(std::memory_order_relaxed);
}

void kfForcePlainKernels(bool on) { plainForced.store(on, std::memory_order_relaxed); }
