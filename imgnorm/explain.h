#pragma once

#include <string>
#include <vector>

#include "host/export.h"
#include "host/geometry.h"
#include "host/pel_buffer.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/method.h"

// What a global method or the linear fit does to one run-time image: the
// 256-entry gray-level map that run applies (run is this map applied to
// the region), and what the map was built from.

// Statistics of the pels a map was built from (under the mask).
struct kcGrayLevelStatistics {
  unsigned long count = 0;
  double mean = 0.0;
  double stddev = 0.0;  // population standard deviation
  // The levels at the tool's lower and upper tail percentages (see
  // kcHistoStats::inverseCum).
  long lowerTail = 0;
  long upperTail = 0;
};

// reference ~ gain * run-time + offset, and how many pels follow it: the
// share of the (masked) pels whose reference level lies within
// kNearLineDistance levels of the line. A low share says the image no
// longer looks like the reference (a defect, a wrong part, clutter).
// lineFound is false when the pairs held no line (a run-time image of one
// gray level puts them all on a vertical line): gain and offset are then 0
// and the map sends every level to 0, a black image that is no
// normalization.
struct kcLinearFitExplanation {
  static constexpr double kNearLineDistance = 8.0;
  bool lineFound = false;
  double gain = 0.0;
  double offset = 0.0;
  double nearLineShare = 0.0;  // 0..1
};

struct kcNormalizationExplanation {
  kcImageNormalizerDefs::Method method = kcImageNormalizerDefs::eIdentity;
  // False, with message saying why, when the map cannot be built (as run's
  // success); map is then empty.
  bool success = false;
  std::wstring message;
  std::vector<unsigned char> map;  // 256 entries: result level of each run-time level
  // For a tool of 16-bit images, map is empty and this holds the map, with
  // 2^bits entries (the tool's bits).
  std::vector<unsigned short> wideMap;
  kcGrayLevelStatistics runTime;
  kcGrayLevelStatistics reference;
  kcLinearFitExplanation fit;  // for eLinearlyFitGrayValues only
  // Where the map applies: the region run normalizes, or the whole image.
  kcPelRect region;
};

// The map run would apply to image with method (a trained global method or
// eLinearlyFitGrayValues), over the region run uses and with the tool's
// mask. An image that does not overlap the reference gives success false.
// Throws BadParams for another method, NotTrained and BadImage as run does.
// Reads the tool only.
IMGNORM_API kcNormalizationExplanation
kfExplainNormalization(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned char>& image,
                       kcImageNormalizerDefs::Method method);

// The same for a 16-bit image and a tool of 16-bit images. Throws BadImage
// when a pel the map is built from lies above the tool's bits.
IMGNORM_API kcNormalizationExplanation kfExplainNormalization(
    const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned short>& image,
    kcImageNormalizerDefs::Method method);

// The same for the whole image, of any size, against the whole reference:
// the map is built from the image's whole histogram, and the linear fit
// pairs the two histograms by rank instead of the pels by position. For a
// tool without a mask (BadParams otherwise). Apply the map with kfPelMap
// (through kfWideMapTable for a 16-bit image's wideMap).
IMGNORM_API kcNormalizationExplanation
kfExplainWholeImage(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned char>& image,
                    kcImageNormalizerDefs::Method method);

IMGNORM_API kcNormalizationExplanation
kfExplainWholeImage(const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned short>& image,
                    kcImageNormalizerDefs::Method method);

// image through e's map: its map for an 8-bit image, its wideMap for a
// 16-bit one.
IMGNORM_API kcPelBuffer<unsigned char> kfApplyMap(const kcPelBuffer_const<unsigned char>& image,
                                                  const kcNormalizationExplanation& e);
IMGNORM_API kcPelBuffer<unsigned short> kfApplyMap(const kcPelBuffer_const<unsigned short>& image,
                                                   const kcNormalizationExplanation& e);

// The rule for images of another size: an image of size (width, height),
// placed by no offset, is mapped whole (through kfExplainWholeImage's map)
// when its size differs from the reference's, the method has a map and the
// tool has no mask. Otherwise a run covers its overlap with the reference.
IMGNORM_API bool kfMapsWholeImage(const kcImageNormalizer& tool, const kcPair<long>& size,
                                  kcImageNormalizerDefs::Method method);
