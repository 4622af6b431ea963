#pragma once

#include <string>

#include "host/export.h"
#include "host/pel_buffer.h"
#include "imgnorm/explain.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/method.h"

// Runs one method of a trained tool on one image with up to threads threads
// and gives exactly what tool.run gives (pels, window, transforms, success
// and message; the same exceptions, thrown before any thread starts). The
// rows of the covered region are split into strips: the global methods and
// the linear fit count each strip (counts are integers, so their sum does
// not depend on the split), build one map and map the strips; the local
// methods run each strip with the margin their filter reaches and keep its
// inner rows. Local methods at reduced resolution (granularity above 1),
// whose sampling grid follows the whole region, and images too small to
// gain run on the calling thread. No diagnostic records are made.
IMGNORM_API kcPelBuffer<unsigned char> kfRunParallel(const kcImageNormalizer& tool,
                                                     const kcPelBuffer_const<unsigned char>& image,
                                                     kcImageNormalizerDefs::Method method,
                                                     unsigned threads, bool& success,
                                                     std::wstring& message);

// The same run, and for a method with a map (a global method or the linear
// fit) the explanation of the map it applied, as kfExplainNormalization
// gives it for image, made from the run's own counts: nothing is counted
// twice. For another method explanation is left as it is.
IMGNORM_API kcPelBuffer<unsigned char> kfRunParallel(const kcImageNormalizer& tool,
                                                     const kcPelBuffer_const<unsigned char>& image,
                                                     kcImageNormalizerDefs::Method method,
                                                     unsigned threads, bool& success,
                                                     std::wstring& message,
                                                     kcNormalizationExplanation& explanation);

// The same two runs for 16-bit images and a tool of 16-bit images.
IMGNORM_API kcPelBuffer<unsigned short> kfRunParallel(
    const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned short>& image,
    kcImageNormalizerDefs::Method method, unsigned threads, bool& success, std::wstring& message);
IMGNORM_API kcPelBuffer<unsigned short> kfRunParallel(
    const kcImageNormalizer& tool, const kcPelBuffer_const<unsigned short>& image,
    kcImageNormalizerDefs::Method method, unsigned threads, bool& success, std::wstring& message,
    kcNormalizationExplanation& explanation);
