#pragma once

// Run-time choice between the plain, the AVX2 and the AVX-512 VBMI builds of
// a row kernel.
//
// A kernel is written once as a template or inline function; the AVX2 build
// is a thin wrapper marked KC_TARGET_AVX2 that calls it, so the compiler
// vectorizes the same source twice. Kernels that need byte shuffles the
// compiler does not find on its own (the table look-up) are written with
// intrinsics under the same markers. kfPickKernel returns the widest build
// the processor runs (read once per process) within the cap that tests and
// benchmarks may set. All builds give the same results: no FMA contraction
// is enabled. On other processors the markers are empty and the plain build
// runs.
#if defined(__x86_64__)
#define KC_TARGET_AVX2 __attribute__((target("avx2")))
#define KC_TARGET_AVX512VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#else
#define KC_TARGET_AVX2
#define KC_TARGET_AVX512VBMI
#endif

// Kernel builds, narrowest first.
enum class kcKernelSet { ePlain, eAvx2, eAvx512Vbmi };

// The widest kernel build that may run now: what the processor has, within
// the cap.
kcKernelSet kfUsableKernelSet();

// Caps the kernel builds for the whole process (eAvx512Vbmi lifts the cap).
// For tests and benchmarks that compare the paths; not meant to be changed
// while kernels run on other threads.
void kfCapKernelSet(kcKernelSet widest);

// True when AVX2 kernels may run now.
inline bool kfAvx2Usable() { return kfUsableKernelSet() >= kcKernelSet::eAvx2; }

// Forces the plain builds (on) or lifts the cap (off).
inline void kfForcePlainKernels(bool on) {
  kfCapKernelSet(on ? kcKernelSet::ePlain : kcKernelSet::eAvx512Vbmi);
}

template <class Kernel>
Kernel kfPickKernel(Kernel plain, Kernel avx2) {
  return kfAvx2Usable() ? avx2 : plain;
}

template <class Kernel>
Kernel kfPickKernel(Kernel plain, Kernel avx2, Kernel avx512vbmi) {
  switch (kfUsableKernelSet()) {
    case kcKernelSet::eAvx512Vbmi: return avx512vbmi;
    case kcKernelSet::eAvx2: return avx2;
    case kcKernelSet::ePlain: break;
  }
  return plain;
}

// Caps the kernel builds for a scope.
class kcKernelSetScope {
 public:
  explicit kcKernelSetScope(kcKernelSet widest) { kfCapKernelSet(widest); }
  ~kcKernelSetScope() { kfCapKernelSet(kcKernelSet::eAvx512Vbmi); }
  kcKernelSetScope(const kcKernelSetScope&) = delete;
  kcKernelSetScope& operator=(const kcKernelSetScope&) = delete;
};

// Forces the plain builds for a scope when plain is true.
class kcPlainKernelsScope : public kcKernelSetScope {
 public:
  explicit kcPlainKernelsScope(bool plain = true)
      : kcKernelSetScope(plain ? kcKernelSet::ePlain : kcKernelSet::eAvx512Vbmi) {}
};
