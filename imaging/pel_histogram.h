#pragma once

#include <cstdint>
#include <vector>

#include "host/export.h"
#include "host/pel_buffer.h"

// 256 raw counts of the window's gray levels; histogram is resized to 256.
// Throws kcPel::UnboundWindow for an unbound src.
IMGNORM_API void kfPelHistogram(const kcPelBuffer_const<unsigned char>& src,
                                std::vector<unsigned long>& histogram);

// Gray levels counted row by row into eight tables, so that runs of equal
// pels do not serialize on one counter. The 32-bit tables stay in half the
// cache lines; they are added into 64-bit totals before any could wrap.
class IMGNORM_API kcLevelCounter {
 public:
  void addRow(const unsigned char* s, long n);
  // Adds the counts so far to histogram's 256 bins.
  void addTo(std::vector<unsigned long>& histogram);

 private:
  static constexpr int kTables = 8;
  void flush();

  std::uint32_t tables_[kTables][256] = {};
  unsigned long totals_[256] = {};
  long pending_ = 0;
};
