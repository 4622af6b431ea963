#include "pelfuncs/flood_fill.h"

#include <algorithm>
#include <cstring>

#include "host/assert.h"
#include "host/exceptions.h"

namespace {

using Pel = unsigned char;

// FIFO of pel offsets laid as a ring in the caller's vector. A pel can be
// queued several times before it is filled, so width x height entries do not
// bound the queue: a push that finds the ring full doubles it, keeping the
// entries' order.
class OffsetRing {
 public:
  OffsetRing(std::vector<long>& storage, long minCapacity) : v_(storage) {
    if (static_cast<long>(v_.size()) < minCapacity)
      v_.resize(static_cast<std::size_t>(minCapacity));
  }

  bool empty() const { return head_ == tail_; }

  void push(long offset) {
    if (next(tail_) == head_) grow();
    v_[tail_] = offset;
    tail_ = next(tail_);
  }

  long pop() {
    const long offset = v_[head_];
    head_ = next(head_);
    return offset;
  }

 private:
  std::size_t next(std::size_t i) const { return i + 1 == v_.size() ? 0 : i + 1; }

  // The wrapped part [head, old size) moves to the end of the larger ring, so
  // the order head..tail is kept.
  void grow() {
    const std::size_t oldSize = v_.size();
    v_.resize(oldSize * 2);
    if (tail_ < head_) {
      const std::size_t newHead = v_.size() - (oldSize - head_);
      std::copy(v_.begin() + static_cast<long>(head_), v_.begin() + static_cast<long>(oldSize),
                v_.begin() + static_cast<long>(newHead));
      head_ = newHead;
    }
  }

  std::vector<long>& v_;
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
};

// The fill proper, on a view whose window starts at (0, 0); seed is inside it
// and does not hold fillValue. Filling a run along a row and queueing the
// pels above and below it (diagonals included) reaches the 8-connected region.
// The queue starts with at least minCapacity entries and grows as needed.
void floodFillRegion(const kcPelBuffer<Pel>& view, const kcPair<long>& seed, Pel fillValue,
                     std::vector<long>& work, long minCapacity) {
  const long width = view.width();
  const long height = view.height();
  const long stride = view.rowUpdate();
  Pel* const pels = view.pointToOffset();
  KC_ASSERT(view.window().origin() == kcPair<long>(0, 0));
  KC_ASSERT(seed.x() >= 0 && seed.x() < width && seed.y() >= 0 && seed.y() < height);
  const long seedOffset = seed.y() * stride + seed.x();
  const Pel oldValue = pels[seedOffset];
  KC_ASSERT(oldValue != fillValue);

  OffsetRing queue(work, minCapacity);
  const auto enqueue = [&](long offset) {
    if (pels[offset] == oldValue) queue.push(offset);
  };
  // Queues the pels of the row at rowOffset in columns first-1 .. last, those
  // that lie inside the window.
  const auto enqueueSpan = [&](long rowOffset, long first, long last) {
    if (first > 0) enqueue(rowOffset + first - 1);
    for (long i = first; i < last; ++i) enqueue(rowOffset + i);
    if (last < width) enqueue(rowOffset + last);
  };

  enqueue(seedOffset);
  while (!queue.empty()) {
    const long offset = queue.pop();
    if (pels[offset] == fillValue) continue;
    const long x = offset % stride;
    const long y = offset / stride;
    Pel* const row = pels + y * stride;
    long end = x;
    while (end < width && row[end] == oldValue) row[end++] = fillValue;
    if (x > 0) enqueue(offset - 1);
    if (y > 0) enqueueSpan((y - 1) * stride, x, end);
    if (y + 1 < height) enqueueSpan((y + 1) * stride, x, end);
  }
}

// Position of the first pel equal to value in a w x h region, scanning rows
// top-down and each row left to right.
bool findFirstInRows(const Pel* pels, long stride, long w, long h, Pel value, kcPair<long>& at) {
  for (long y = 0; y < h; ++y) {
    const Pel* row = pels + y * stride;
    const void* hit = std::memchr(row, value, static_cast<std::size_t>(w));
    if (hit) {
      at = kcPair<long>(static_cast<const Pel*>(hit) - row, y);
      return true;
    }
  }
  return false;
}

void fill(const kcPelBuffer<unsigned char>& image, const kcPair<long>& seed,
          unsigned char fillValue, std::vector<long>& work, long minCapacity) {
  if (!image.isBound()) throw kcPel::UnboundWindow();
  if (image.window().isNull()) throw kcPel::BadWindow();
  if (!image.window().contains(seed)) throw kcPelFunc::BadParams();
  if (image.get(seed) == fillValue) throw kcPelFunc::BadParams();
  // Relabel a copy of the view so that its window starts at (0, 0).
  const kcPair<long> origin = image.window().origin();
  kcPelBuffer<Pel> view = image;
  view.offset(view.offset() - origin);
  floodFillRegion(view, seed - origin, fillValue, work, minCapacity);
}

// A scanline fill queues about the region's outline, not its area.
constexpr long kPrivateQueueStart = 4096;

}  // namespace

void kf_FloodFill(const kcPelBuffer<unsigned char>& image, const kcPair<long>& seed,
                  unsigned char fillValue, std::vector<long>& work) {
  fill(image, seed, fillValue, work, image.width() * image.height());
}

void kf_FloodFill(const kcPelBuffer<unsigned char>& image, const kcPair<long>& seed,
                  unsigned char fillValue) {
  std::vector<long> work;
  fill(image, seed, fillValue, work, kPrivateQueueStart);
}

bool kf_FindFirstPel(const kcPelBuffer_const<unsigned char>& image, unsigned char value,
                     kcPair<long>& where) {
  if (!image.isBound()) throw kcPel::UnboundWindow();
  if (image.window().isNull()) return false;
  kcPair<long> at;
  if (!findFirstInRows(image.pointToOffset(), image.rowUpdate(), image.width(), image.height(),
                       value, at))
    return false;
  where = image.window().origin() + at;
  return true;
}
