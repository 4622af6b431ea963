#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/export.h"
#include "host/pel_buffer.h"
#include "imgnorm/explain.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/index_loop.h"

// One run split over parts of an image (strips of one image, chunks of an
// array too large for memory), giving
// the pels of one run over the whole image. The global methods and the
// linear fit count every part, build one gray-level map from the summed
// counts and map each part through it; the local methods run each part with
// a margin around it that the caller trims off.
namespace imgnorm {

using Counts = std::vector<std::uint64_t>;

// The window of pels a run of the tool covers in an image whose window is
// window: null when they do not overlap.
IMGNORM_API kcPelRect coveredWindow(const kcImageNormalizer& tool, const kcPelRect& window);

// What a run of method counts in the part of an image: for a global method
// the histogram of the pels inside the mask (2^bits levels: 256 for 8-bit
// tools); for the linear fit the (run-time s, reference t) pairs inside the
// mask on the 8-bit scale, at s * 256 + t, and for a tool of 16-bit images
// the 2^bits-level histogram after them. Counts of parts add up to those of
// their union. The part's depth must be the tool's (BadImage).
IMGNORM_API Counts countPart(const kcImageNormalizer& tool,
                             const kcPelBuffer_const<unsigned char>& part,
                             kcImageNormalizerDefs::Method method);
IMGNORM_API Counts countPart(const kcImageNormalizer& tool,
                             const kcPelBuffer_const<unsigned short>& part,
                             kcImageNormalizerDefs::Method method);

// The gray-level map a run builds from the counts of the whole image; empty,
// with message saying why, when the run would not succeed. The linear fit's
// projections go through loop. mapOfCounts is for tools of 8-bit images,
// wideMapOfCounts for those of 16-bit images (2^bits entries).
IMGNORM_API std::vector<unsigned char> mapOfCounts(const kcImageNormalizer& tool,
                                                   kcImageNormalizerDefs::Method method,
                                                   const Counts& counts, std::wstring& message,
                                                   const IndexLoop& loop = serialLoop);
IMGNORM_API std::vector<unsigned short> wideMapOfCounts(const kcImageNormalizer& tool,
                                                        kcImageNormalizerDefs::Method method,
                                                        const Counts& counts, std::wstring& message,
                                                        const IndexLoop& loop = serialLoop);

// The gray-level map kfExplainWholeImage builds for an image of any size
// whose whole histogram (2^bits levels, every pel, summed over its parts) is
// histogram; empty, with message saying why, when it cannot be built. For a
// tool without a mask (BadParams otherwise), as kfExplainWholeImage.
IMGNORM_API std::vector<unsigned char> mapOfWholeImage(const kcImageNormalizer& tool,
                                                       kcImageNormalizerDefs::Method method,
                                                       const Counts& histogram,
                                                       std::wstring& message);
IMGNORM_API std::vector<unsigned short> wideMapOfWholeImage(const kcImageNormalizer& tool,
                                                            kcImageNormalizerDefs::Method method,
                                                            const Counts& histogram,
                                                            std::wstring& message);

// The same maps with what kfExplainNormalization (over region, the covered
// window of the image) and kfExplainWholeImage tell of them: the map is
// explanation.map for tools of 8-bit images, wideMap for the others.
IMGNORM_API kcNormalizationExplanation explainCounts(const kcImageNormalizer& tool,
                                                     kcImageNormalizerDefs::Method method,
                                                     const Counts& counts, const kcPelRect& region,
                                                     const IndexLoop& loop = serialLoop);
IMGNORM_API kcNormalizationExplanation explainWholeImageCounts(const kcImageNormalizer& tool,
                                                               kcImageNormalizerDefs::Method method,
                                                               const Counts& histogram);

// The covered part of an image through map (2^bits entries), as a run maps
// it: with keepMaskedPixels, pels outside the mask keep their values.
IMGNORM_API kcPelBuffer<unsigned char> mapPart(const kcImageNormalizer& tool,
                                               const kcPelBuffer_const<unsigned char>& part,
                                               const std::vector<unsigned char>& map);
IMGNORM_API kcPelBuffer<unsigned short> mapPart(const kcImageNormalizer& tool,
                                                const kcPelBuffer_const<unsigned short>& part,
                                                const std::vector<unsigned short>& map);

// The same into destination (allocated over the covered part when
// unbound; a bound one receives the common window).
IMGNORM_API void mapPartInto(const kcImageNormalizer& tool,
                             const kcPelBuffer_const<unsigned char>& part,
                             const std::vector<unsigned char>& map,
                             kcPelBuffer<unsigned char>& destination);
IMGNORM_API void mapPartInto(const kcImageNormalizer& tool,
                             const kcPelBuffer_const<unsigned short>& part,
                             const std::vector<unsigned short>& map,
                             kcPelBuffer<unsigned short>& destination);

// How far (x, y) the result of a local method reaches for its input: a part
// run with at least this margin around it gives the whole run's pels inside
// the margin. None when the method works at reduced resolution (granularity
// above 1), whose sampling grid follows the image's size.
IMGNORM_API std::optional<kcPair<long>> localMargin(const kcImageNormalizer& tool,
                                                    kcImageNormalizerDefs::Method method);

// kfRunParallel with exactly strips strips (at most one per row) shared by
// up to threads threads, whatever the image's size; tests reach the split
// on small images through it.
IMGNORM_API kcPelBuffer<unsigned char> runInStrips(
    const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned char>& image,
    kcImageNormalizerDefs::Method method, long strips, unsigned threads, bool& success,
    std::wstring& message, kcNormalizationExplanation* explanation = nullptr);
IMGNORM_API kcPelBuffer<unsigned short> runInStrips(
    const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned short>& image,
    kcImageNormalizerDefs::Method method, long strips, unsigned threads, bool& success,
    std::wstring& message, kcNormalizationExplanation* explanation = nullptr);

}  // namespace imgnorm
