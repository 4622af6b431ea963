#pragma once

// Normalizing one image file with a trained tool and writing what the user
// asked for: the result, the compare picture and the diagnostic records.

#include <optional>
#include <string>

#include "image_io.h"
#include "imgnorm/image_normalizer.h"

namespace cli {

struct ImageJob {
  std::string input;
  std::string output;
  std::string sideBySide;  // empty: no compare picture
  std::string diagFolder;  // empty: no records
};

// What every job of a batch shares; only read while jobs run.
struct JobContext {
  JobContext(const kcImageNormalizer& tool, kcImageNormalizerDefs::Method method, long maxPels);
  const kcImageNormalizer& tool;
  kcImageNormalizerDefs::Method method;
  long maxPels;  // the largest input image accepted
  // Threads one image may use; its records, when asked for, need one.
  unsigned threadsPerImage = 1;
  imgio::GrayImage reference;
  std::optional<imgio::GrayImage> mask;
};

// Reads, normalizes and writes one image: all its outputs or none. Throws
// Failure: kExitBadInput for an unreadable or mismatched image or an
// unwritable output, kExitNotNormalized when the tool cannot normalize it,
// kExitInterrupted after an interrupt (nothing is written but the records).
// recorder may already hold records of training.
void runJob(const JobContext& context, const ImageJob& job, kcDiagObject& recorder);

}  // namespace cli
