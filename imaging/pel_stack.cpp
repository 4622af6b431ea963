#include "imaging/pel_stack.h"

#include <algorithm>

#include "host/exceptions.h"

namespace {

template <class T>
void requireStackWindow(const kcPelBuffer_const<T>& image, const kcPelRect& window) {
  image.requireBound();
  if (image.window() != window) throw kcPel::BadWindow();
}

// sums[x] += pels[x] for x < width.
template <class T>
void addRow(const T* pels, std::uint32_t* sums, long width) {
  for (long x = 0; x < width; ++x) sums[x] += pels[x];
}

// out[x] <- (sums[x] + n / 2) / n: the mean rounded half up, the rounding
// added in 64 bits.
template <class T>
void meanRow(const std::uint32_t* sums, std::uint32_t n, T* out, long width) {
  const std::uint64_t half = n / 2;
  for (long x = 0; x < width; ++x) out[x] = static_cast<T>((sums[x] + half) / n);
}

}  // namespace

template <class T>
kcPelStackMean<T>::kcPelStackMean(const kcPelRect& window) : window_(window) {
  if (window.isNull()) throw kcPelFunc::BadParams();
  sums_.assign(static_cast<std::size_t>(window.width() * window.height()), 0);
}

template <class T>
void kcPelStackMean<T>::add(const kcPelBuffer_const<T>& image) {
  requireStackWindow(image, window_);
  if (count_ >= maxImages) throw kcPelFunc::BadParams();
  const long w = window_.width();
  for (long y = 0; y < window_.height(); ++y)
    addRow(image.pointToPel(window_.x(), window_.y() + y), sums_.data() + y * w, w);
  ++count_;
}

template <class T>
kcPelBuffer<T> kcPelStackMean<T>::mean() const {
  if (count_ == 0) throw kcPelFunc::BadParams();
  kcPelBuffer<T> out(window_, 32, kcForOverwrite{});
  const long w = window_.width();
  for (long y = 0; y < window_.height(); ++y)
    meanRow(sums_.data() + y * w, static_cast<std::uint32_t>(count_),
            out.pointToPel(window_.x(), window_.y() + y), w);
  return out;
}

template <class T>
kcPelBuffer<T> kfPelStackMedian(const std::vector<kcPelBuffer_const<T>>& images) {
  if (images.empty()) throw kcPelFunc::BadParams();
  const kcPelRect window = images.front().window();
  for (const auto& image : images) requireStackWindow(image, window);
  kcPelBuffer<T> out(window, 32, kcForOverwrite{});
  const std::size_t n = images.size(), rank = (n - 1) / 2;
  std::vector<const T*> rows(n);
  std::vector<T> column(n);
  for (long y = window.y(); y < window.bottom(); ++y) {
    for (std::size_t i = 0; i < n; ++i) rows[i] = images[i].pointToPel(window.x(), y);
    T* result = out.pointToPel(window.x(), y);
    for (long x = 0; x < window.width(); ++x) {
      for (std::size_t i = 0; i < n; ++i) column[i] = rows[i][x];
      std::nth_element(column.begin(), column.begin() + static_cast<long>(rank), column.end());
      result[x] = column[rank];
    }
  }
  return out;
}

template class kcPelStackMean<unsigned char>;
template class kcPelStackMean<unsigned short>;
template IMGNORM_API kcPelBuffer<unsigned char> kfPelStackMedian(
    const std::vector<kcPelBuffer_const<unsigned char>>&);
template IMGNORM_API kcPelBuffer<unsigned short> kfPelStackMedian(
    const std::vector<kcPelBuffer_const<unsigned short>>&);
