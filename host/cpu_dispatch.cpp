#include "host/detail/cpu_dispatch.h"

#include <algorithm>
#include <atomic>

namespace {

kcKernelSet processorKernelSet() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi"))
    return kcKernelSet::eAvx512Vbmi;
  if (__builtin_cpu_supports("avx2")) return kcKernelSet::eAvx2;
#endif
  return kcKernelSet::ePlain;
}

std::atomic<kcKernelSet> cap{kcKernelSet::eAvx512Vbmi};

}  // namespace

kcKernelSet kfUsableKernelSet() {
  static const kcKernelSet processor = processorKernelSet();
  return std::min(processor, cap.load(std::memory_order_relaxed));
}

void kfCapKernelSet(kcKernelSet widest) { cap.store(widest, std::memory_order_relaxed); }
