#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/geometry.h"
#include "host/pel_buffer.h"

// Robust linear gray-value fit: finds gain and offset with
// reference ~ gain * run-time + offset. A log-scaled 33 x 33 joint histogram
// of (reference, run-time) bins is projected along 57 directions; the
// strongest smoothed peak gives the dominant ridge, and only pels whose pair
// lies in a band around it reach a least-squares line fit.
//
// Images are paired by image coordinates over the intersection of the
// run-time, template and (bound) mask windows.
namespace imgnorm {

kcPelBuffer<unsigned char> linearlyFitGrayValues(const kcPelBuffer_const<unsigned char>& runTime,
                                                 const kcPelBuffer_const<unsigned char>& templ,
                                                 const kcPelBuffer_const<unsigned char>& mask,
                                                 const std::vector<kcDegree>& angles);

// Bins of the joint histogram along each axis: gray level g falls in bin
// (g + 4) / 8.
constexpr long kJointBins = 33;
// Joint histogram cells, row (template bin) after row.
using JointCells = std::array<std::uint32_t, kJointBins * kJointBins>;

// Joint histogram (row: template bin, column: run-time bin), each pel adding
// its mask value (1 without a mask), then log-scaled to 0..255 when its
// largest cell reaches 256.
kcPelBuffer<unsigned char> jointLogHistogram(const kcPelBuffer_const<unsigned char>& templ,
                                             const kcPelBuffer_const<unsigned char>& mask,
                                             const kcPelBuffer_const<unsigned char>& runTime);
// The log scaling of jointLogHistogram, for cells counted elsewhere (in
// parts of an image, say).
kcPelBuffer<unsigned char> logScaledJointHistogram(const JointCells& cells);

// The band around the strongest ridge of the log histogram, over the fit
// angles: the cells whose pels reach the line fit.
kcPelBuffer<unsigned char> dominantBand(const kcPelBuffer_const<unsigned char>& logHistogram,
                                        const std::vector<kcDegree>& angles);

void projectAtAngles(const kcPelBuffer_const<unsigned char>& logHistogram,
                     const std::vector<kcDegree>& angles, std::size_t first, std::size_t last,
                     std::vector<kcPelBuffer<unsigned long>>& projections);

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

bool fitGainOffset(const kcPelBuffer_const<unsigned char>& templ,
                   const kcPelBuffer_const<unsigned char>& mask,
                   const kcPelBuffer_const<unsigned char>& runTime,
                   const kcPelBuffer_const<unsigned char>& band, kcPair<double>& gainOffset);

// The least-squares line through the (run-time, template) gray pairs whose
// cells the band keeps; pairs[s * 256 + t] counts the pels of pair (s, t).
// False when the line is vertical (gainOffset is then left alone).
bool fitPairsInBand(const std::vector<std::uint32_t>& pairs,
                    const kcPelBuffer_const<unsigned char>& band, kcPair<double>& gainOffset);

// map[i] = round(offset + i * gain), clamped to 0..255.
std::vector<unsigned char> gainOffsetMap(const kcPair<double>& gainOffset);

// The run-time image mapped through round(offset + i * gain), clamped.
kcPelBuffer<unsigned char> applyGainOffset(const kcPelBuffer_const<unsigned char>& runTime,
                                           const kcPair<double>& gainOffset);

}  // namespace imgnorm
