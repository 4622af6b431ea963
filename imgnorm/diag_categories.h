#pragma once

namespace kcImageNormalizerDefs {

// Diagnostic record categories of train and run, for their diagFlags and a
// recorder's accepted categories.
// Inputs: the reference, the mask, the run-time image and the parameters.
constexpr unsigned long kDiagInputs = 0x10000;
// The normalized image.
constexpr unsigned long kDiagResult = 0x20000;

}  // namespace kcImageNormalizerDefs
