#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "host/geometry.h"
#include "host/pel_buffer.h"
#include "imgnorm/index_loop.h"
#include "pelfuncs/mask_runs.h"

// Robust linear gray-value fit: finds gain and offset with
// reference ~ gain * run-time + offset. A log-scaled 33 x 33 joint histogram
// of (reference, run-time) bins is projected along 57 directions; the
// strongest smoothed peak gives the dominant ridge, and only pels whose pair
// lies in a band around it reach a least-squares line fit.
//
// Pels are paired by image coordinates (countPairs) or, for images of
// different sizes, by rank (rankPairs); the fit works on the pair counts.
namespace imgnorm {

// Counts of (run-time level s, reference level t) pairs at s * 256 + t, in
// 64 bits: one cell of a flat 4096 x 4096 background under a mask of 255s
// already passes 2^32 in the joint histogram, and parts of larger images
// add up.
using PairCounts = std::vector<std::uint64_t>;

// The cells of pair counts: 256 run-time by 256 reference levels.
constexpr std::size_t kPairCells = 256 * 256;

// The pels of the common window of the run-time, template and (bound) mask
// windows, where the mask is not 0; visited by the mask's runs when they are
// bound (made from mask). Throws BadImage for an unbound image.
PairCounts countPairs(const kcPelBuffer_const<unsigned char>& runTime,
                      const kcPelBuffer_const<unsigned char>& templ,
                      const kcPelBuffer_const<unsigned char>& mask,
                      const kcMaskRuns& maskRuns = kcMaskRuns());

// Two histograms of images of any sizes paired by rank: the k-th darkest
// run-time pel meets the reference level at the same cumulative fraction.
// The counts are in run-time pels and add up to the run-time count.
PairCounts rankPairs(const std::vector<unsigned long>& runHistogram,
                     const std::vector<unsigned long>& referenceHistogram);

// (gain, offset) of the fitted line; none when the band holds no line (its
// pairs lie on one vertical line, as a constant run-time image's do), which
// the map takes as (0, 0). weight is what each pel adds to the joint
// histogram: the tool's binary masks add 255, unmasked pels 1.
std::optional<kcPair<double>> fitLine(const PairCounts& pairs, std::uint64_t weight,
                                      const std::vector<kcDegree>& angles,
                                      const IndexLoop& loop = serialLoop);

// The share of the pairs whose reference level lies within distance levels
// of the line; 0 without pairs.
double shareNearLine(const PairCounts& pairs, const kcPair<double>& gainOffset, double distance);

// Bins of the joint histogram along each axis: gray level g falls in bin
// (g + 4) / 8.
constexpr long kJointBins = 33;
// Joint histogram cells, row (template bin) after row.
using JointCells = std::array<std::uint64_t, kJointBins * kJointBins>;

// Joint histogram (row: template bin, column: run-time bin), each pair
// adding weight per count, then log-scaled to 0..255 when its largest cell
// reaches 256.
kcPelBuffer<unsigned char> jointLogHistogram(const PairCounts& pairs, std::uint64_t weight);
// The log scaling of jointLogHistogram, for cells counted elsewhere (in
// parts of an image, say).
kcPelBuffer<unsigned char> logScaledJointHistogram(const JointCells& cells);

// The band around the strongest ridge of the log histogram, over the fit
// angles: the cells whose pels reach the line fit. The projections at the
// angles go through loop.
kcPelBuffer<unsigned char> dominantBand(const kcPelBuffer_const<unsigned char>& logHistogram,
                                        const std::vector<kcDegree>& angles,
                                        const IndexLoop& loop = serialLoop);

void projectAtAngles(const kcPelBuffer_const<unsigned char>& logHistogram,
                     const std::vector<kcDegree>& angles, std::size_t first, std::size_t last,
                     std::vector<kcPelBuffer<unsigned long>>& projections,
                     const IndexLoop& loop = serialLoop);

void projectAtAngle(const kcPelBuffer_const<unsigned char>& logHistogram, kcDegree angle,
                    kcPelBuffer<unsigned long>& projection);

void strongestProjection(const std::vector<kcPelBuffer<unsigned long>>& projections,
                         double& peakPosition, long& chosen);

// (position, value) of the largest mirrored box sum; the first maximum wins.
void smoothedPeak(const std::vector<unsigned long>& profile, long halfWidth, kcPair<double>& peak);

// Box sums of half width h over the sequence mirrored about its first and
// last element, in 32-bit unsigned arithmetic.
void boxSumMirrored(const std::vector<unsigned long>& values, long halfWidth,
                    std::vector<unsigned long>& sums);

kcPelBuffer<unsigned char> ridgeBand(const kcPelBuffer_const<unsigned char>& logHistogram,
                                     const kcPelBuffer_const<unsigned long>& projection,
                                     double peakPosition);

// The least-squares line through the (run-time, template) gray pairs whose
// cells the band keeps. False when the line is vertical (gainOffset is then
// left alone).
bool fitPairsInBand(const PairCounts& pairs, const kcPelBuffer_const<unsigned char>& band,
                    kcPair<double>& gainOffset);

// round(offset + i * gain), halves away from zero, clamped to 0..255.
std::vector<unsigned char> gainOffsetMap(const kcPair<double>& gainOffset);

// The same line on the scale of 16-bit levels of bits significant bits: the
// offset, in 8-bit levels, times (2^bits - 1) / 255, and the gain as it is.
// round(offset + i * gain), halves away from zero, clamped to
// 0..2^bits - 1; 2^bits entries.
std::vector<unsigned short> wideGainOffsetMap(const kcPair<double>& gainOffset, int bits);

}  // namespace imgnorm
