#pragma once

#include <string>
#include <vector>

#include "host/geometry.h"
#include "imaging/histo_stats.h"

// Builders of the gray-level maps of the three global methods, for 8-bit
// levels (unsigned char maps of 256 entries) and for 16-bit ones (unsigned
// short maps of 2^bits entries, the size of the histograms). Each fills map
// with one output level per input level; on failure it clears map and sets
// message, and it never throws.
namespace imgnorm {

// Cumulative-count matching: map[i] is the lowest reference level whose
// cumulative count reaches the run-time cumulative count at level i.
template <class Level>
void matchHistogram(const std::vector<unsigned long>& referenceHistogram,
                    const std::vector<unsigned long>& runHistogram, std::vector<Level>& map,
                    std::wstring& message);

// The same for histograms of any totals: the cumulative fractions are
// compared (in 64-bit products of the counts).
template <class Level>
void matchHistogramFractions(const std::vector<unsigned long>& referenceHistogram,
                             const std::vector<unsigned long>& runHistogram,
                             std::vector<Level>& map, std::wstring& message);

// Linear map giving the run-time image the reference's mean and deviation.
template <class Level>
void matchMeanAndStddev(const kcHistoStats& reference, const kcHistoStats& run,
                        std::vector<Level>& map, std::wstring& message);

// Linear map through the levels at which the tail percentages cut both
// histograms.
template <class Level>
void matchHistogramTails(const kcHistoStats& reference, const kcHistoStats& run,
                         const kcPair<long>& tailPercentages, std::vector<Level>& map,
                         std::wstring& message);

// Whole percentages of the tail fractions, rounded half away from zero.
kcPair<long> tailPercentages(const kcPair<double>& tailFractions);

// v rounded to the nearest integer, halves away from zero; 0 for a NaN.
long roundHalfAwayFromZero(double v);

}  // namespace imgnorm
