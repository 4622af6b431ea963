#pragma once

#include "imgnorm/method.h"

class kcImageNormalizer;

// The refusals of a run for the method it is asked for, shared by run, its
// parts and the explanations so that each says the same.
namespace imgnorm {

// BadParams for unknown bits, then for more than one method.
void checkOneMethod(kcImageNormalizerDefs::Method method);
// NotTrained for a method not among trained.
void checkTrained(kcImageNormalizerDefs::Method trained, kcImageNormalizerDefs::Method method);
// BadImage for an image (16-bit when wideImage) of the other depth than
// the tool's.
void checkDepth(const kcImageNormalizer& tool, bool wideImage);

}  // namespace imgnorm
