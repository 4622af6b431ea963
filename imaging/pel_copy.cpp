#include "imaging/pel_copy.h"

#include <cstring>

#include "imaging/detail/row_walk.h"

template <class T>
kcPelBuffer<T> kfPelCopy(const kcPelBuffer_const<T>& src) {
  src.requireBound();
  kcPelBuffer<T> dst;
  kfPelCopy(src, dst);
  return dst;
}

template <class T>
void kfPelCopy(const kcPelBuffer_const<T>& src, kcPelBuffer<T>& dst) {
  src.requireBound();
  kfAllocateIfUnbound(dst, src.window(), src);
  // memmove: a row may overlap itself when the views are shifted sideways.
  kfForEachRowPair(dst, src, src.window() & dst.window(), [](T* d, const T* s, long n) {
    std::memmove(d, s, static_cast<std::size_t>(n) * sizeof(T));
  });
}

#define KC_INSTANTIATE_FOR(T)                                                    \
  template IMGNORM_API kcPelBuffer<T> kfPelCopy<T>(const kcPelBuffer_const<T>&); \
  template IMGNORM_API void kfPelCopy<T>(const kcPelBuffer_const<T>&, kcPelBuffer<T>&);

KC_INSTANTIATE_FOR(unsigned char)
KC_INSTANTIATE_FOR(unsigned short)
KC_INSTANTIATE_FOR(unsigned int)
KC_INSTANTIATE_FOR(unsigned long)
