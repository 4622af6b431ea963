#include "imaging/pel_set.h"

#include <algorithm>

template <class T>
void kfPelSet(const kcPelBuffer<T>& buffer, T value) {
  buffer.requireBound();
  for (long y = buffer.window().y(); y < buffer.window().bottom(); ++y)
    std::fill_n(buffer.pointToPel(buffer.window().x(), y), buffer.width(), value);
}

template IMGNORM_API void kfPelSet<unsigned char>(const kcPelBuffer<unsigned char>&, unsigned char);
template IMGNORM_API void kfPelSet<unsigned short>(const kcPelBuffer<unsigned short>&,
                                                   unsigned short);
template IMGNORM_API void kfPelSet<unsigned int>(const kcPelBuffer<unsigned int>&, unsigned int);
template IMGNORM_API void kfPelSet<unsigned long>(const kcPelBuffer<unsigned long>&, unsigned long);
