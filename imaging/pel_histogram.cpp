#include "imaging/pel_histogram.h"

#include <algorithm>
#include <cstring>

#include "host/assert.h"

namespace {

// Below 2^32 pels between flushes, no 32-bit table entry can wrap.
constexpr long kFlushAfterPels = 1L << 31;

}  // namespace

// Eight pels per load, one table each.
void kcLevelCounter::addRow(const unsigned char* s, long n) {
  if (pending_ + n > kFlushAfterPels) flush();
  pending_ += n;
  long i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s + i, sizeof w);
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) ++tables_[k][(w >> (8 * k)) & 0xFF];
  }
  for (; i < n; ++i) ++tables_[0][s[i]];
}

void kcLevelCounter::flush() {
  for (int g = 0; g < 256; ++g)
    for (int k = 0; k < kTables; ++k) totals_[g] += tables_[k][g];
  std::memset(tables_, 0, sizeof tables_);
  pending_ = 0;
}

void kcLevelCounter::addTo(std::vector<unsigned long>& histogram) {
  flush();
  for (std::size_t g = 0; g < 256; ++g) histogram[g] += totals_[g];
}

void kfPelHistogram(const kcPelBuffer_const<unsigned char>& src,
                    std::vector<unsigned long>& histogram) {
  src.requireBound();
  kcLevelCounter counter;
  // A window without pels has no rows worth visiting, however tall it is.
  const long bottom = src.width() > 0 ? src.window().bottom() : src.window().y();
  for (long y = src.window().y(); y < bottom; ++y)
    counter.addRow(src.pointToPel(src.window().x(), y), src.width());
  histogram.assign(256, 0);
  counter.addTo(histogram);
}

kcWideLevelCounter::kcWideLevelCounter(int bits)
    : levels_(1U << bits),
      tables_(static_cast<std::size_t>(kTables) * (levels_ + 1), 0),
      totals_(levels_ + 1, 0) {
  KC_ASSERT(bits >= 1 && bits <= 16);
}

void kcWideLevelCounter::flushIfFull(long n) {
  if (pending_ + n > kFlushAfterPels) flush();
  pending_ += n;
}

// Four pels at a time, one table each; a pel above the bits lands in the
// last bin. The tables are interleaved, the four counts of a level side by
// side in one 16-byte group: images of a few levels (or of levels near each
// other) keep a quarter as many lines in the cache as four tables apart
// would, while pels of one level still go to four counters in turn.
void kcWideLevelCounter::addRow(const unsigned short* s, long n) {
  flushIfFull(n);
  const unsigned top = levels_;
  std::uint32_t* t = tables_.data();
  long i = 0;
  for (; i + kTables <= n; i += kTables) {
#pragma GCC unroll 4
    for (int k = 0; k < kTables; ++k)
      ++t[std::size_t{std::min<unsigned>(s[i + k], top)} * kTables + k];
  }
  for (; i < n; ++i) ++t[std::size_t{std::min<unsigned>(s[i], top)} * kTables];
}

void kcWideLevelCounter::addMaskedRow(const unsigned short* s, const unsigned char* mask, long n) {
  flushIfFull(n);
  const unsigned top = levels_;
  std::uint32_t* t = tables_.data();
  long i = 0;
  for (; i + 8 <= n; i += 8) {
    // Masks come in long runs: eight masked-out pels cost one test.
    std::uint64_t word;
    std::memcpy(&word, mask + i, sizeof word);
    if (word == 0) continue;
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k)
      t[std::size_t{std::min<unsigned>(s[i + k], top)} * kTables + k % kTables] += mask[i + k] != 0;
  }
  for (; i < n; ++i) t[std::size_t{std::min<unsigned>(s[i], top)} * kTables] += mask[i] != 0;
}

void kcWideLevelCounter::flush() {
  const std::uint32_t* t = tables_.data();
  for (std::size_t g = 0; g <= levels_; ++g)
    for (int k = 0; k < kTables; ++k) totals_[g] += t[g * kTables + k];
  std::fill(tables_.begin(), tables_.end(), 0);
  pending_ = 0;
}

unsigned long kcWideLevelCounter::addTo(std::vector<unsigned long>& histogram) {
  flush();
  for (std::size_t g = 0; g < levels_; ++g) histogram[g] += totals_[g];
  return totals_[levels_];
}

unsigned long kfPelHistogram(const kcPelBuffer_const<unsigned short>& src, int bits,
                             std::vector<unsigned long>& histogram) {
  src.requireBound();
  kcWideLevelCounter counter(bits);
  const long bottom = src.width() > 0 ? src.window().bottom() : src.window().y();
  for (long y = src.window().y(); y < bottom; ++y)
    counter.addRow(src.pointToPel(src.window().x(), y), src.width());
  histogram.assign(std::size_t{1} << bits, 0);
  return counter.addTo(histogram);
}
