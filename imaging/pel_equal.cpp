#include "imaging/pel_equal.h"

#include <algorithm>

template <class A, class B>
bool kfPelEqual(const kcPelBuffer_const<A>& a, const kcPelBuffer_const<B>& b) {
  a.requireBound();
  b.requireBound();
  if (a.width() != b.width() || a.height() != b.height()) return false;
  for (long i = 0; i < a.height(); ++i) {
    const A* ra = a.pointToPel(a.window().x(), a.window().y() + i);
    const B* rb = b.pointToPel(b.window().x(), b.window().y() + i);
    if (!std::equal(ra, ra + a.width(), rb)) return false;
  }
  return true;
}

#define KC_INSTANTIATE_FOR(T)                                               \
  template IMGNORM_API bool kfPelEqual<T, T>(const kcPelBuffer_const<T>&, \
                                             const kcPelBuffer_const<T>&);

KC_INSTANTIATE_FOR(unsigned char)
KC_INSTANTIATE_FOR(unsigned short)
KC_INSTANTIATE_FOR(unsigned long)
