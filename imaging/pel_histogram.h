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

// The levels of 16-bit pels of bits significant bits (1 to 16) counted row
// by row into four tables of 2^bits + 1 bins: the last bin takes every pel
// above the bits, so that no pel indexes past the tables. Like
// kcLevelCounter, the 32-bit tables are added into 64-bit totals before any
// could wrap.
class IMGNORM_API kcWideLevelCounter {
 public:
  explicit kcWideLevelCounter(int bits);
  void addRow(const unsigned short* s, long n);
  // Only the pels whose mask byte is not 0.
  void addMaskedRow(const unsigned short* s, const unsigned char* mask, long n);
  // Adds the counts so far to histogram's 2^bits bins and returns how many
  // pels lay above the bits (counted nowhere).
  unsigned long addTo(std::vector<unsigned long>& histogram);

 private:
  static constexpr int kTables = 4;
  void flushIfFull(long n);
  void flush();

  unsigned levels_;
  std::vector<std::uint32_t> tables_;  // (levels_ + 1) x kTables: level g, table k at g kTables + k
  std::vector<unsigned long> totals_;  // levels_ + 1
  long pending_ = 0;
};

// 2^bits raw counts of the window's 16-bit levels; histogram is resized to
// 2^bits. Returns how many pels lay above the bits (not counted). Throws
// kcPel::UnboundWindow for an unbound src.
IMGNORM_API unsigned long kfPelHistogram(const kcPelBuffer_const<unsigned short>& src, int bits,
                                         std::vector<unsigned long>& histogram);
