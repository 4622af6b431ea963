#pragma once

// Run-time choice between the plain and the AVX2 build of a row kernel.
//
// A kernel is written once as a template or inline function; the AVX2 build
// is a thin wrapper marked KC_TARGET_AVX2 that calls it, so the compiler
// vectorizes the same source twice. kfPickKernel returns the AVX2 build when
// the processor has AVX2 (read once per process) and the plain builds are not
// forced. Both builds give the same results: no FMA contraction is enabled.
// On other processors KC_TARGET_AVX2 is empty and the plain build runs.
#if defined(__x86_64__)
#define KC_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define KC_TARGET_AVX2
#endif

// True when AVX2 kernels may run now.
bool kfAvx2Usable();

// Forces the plain builds for the whole process (on) or lets the processor
// decide again (off). For tests and benchmarks that compare both paths; not
// meant to be flipped while kernels run on other threads.
void kfForcePlainKernels(bool on);

template <class Kernel>
Kernel kfPickKernel(Kernel plain, Kernel avx2) {
  return kfAvx2Usable() ? avx2 : plain;
}

// Forces the plain builds for a scope when plain is true; tests and
// benchmarks use it to compare both paths.
class kcPlainKernelsScope {
 public:
  explicit kcPlainKernelsScope(bool plain = true) : plain_(plain) {
    if (plain_) kfForcePlainKernels(true);
  }
  ~kcPlainKernelsScope() {
    if (plain_) kfForcePlainKernels(false);
  }
  kcPlainKernelsScope(const kcPlainKernelsScope&) = delete;
  kcPlainKernelsScope& operator=(const kcPlainKernelsScope&) = delete;

 private:
  bool plain_;
};
