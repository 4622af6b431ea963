#pragma once

// Normalizing one image file with a trained tool and writing what the user
// asked for: the result, the compare picture, the diagnostic records and
// the report's record.

#include <optional>
#include <string>

#include "imgio/image_io.h"
#include "report.h"
#include "trained_tool.h"

namespace cli {

struct ImageJob {
  std::string input;
  std::string output;
  std::string sideBySide;  // empty: no compare picture
  std::string diagFolder;  // empty: no records
  std::string fieldOut;    // empty: no correction field
};

// When and how images are read a band of rows at a time (stream_job.h).
struct StreamOptions {
  bool force = false;    // every image, whatever its size
  long bandRows = 0;     // result rows a band; 0: as many as the memory budget allows
  bool bigTiff = false;  // TIFF results as BigTIFF whatever their size
  bool dryRun = false;   // print each image's plan and normalize nothing
};

// What every job of a batch shares; only read while jobs run.
struct JobContext {
  // The reference and mask pictures are copied out of the tool only when
  // compare pictures are asked for.
  JobContext(const TrainedTool& tool, kcImageNormalizerDefs::Method method, bool report,
             long maxPels, bool comparePictures);
  const TrainedTool& tool;
  kcImageNormalizerDefs::Method method;
  bool report;
  long maxPels;  // the largest input image accepted
  // Threads one image may use; its records, when asked for, need one.
  unsigned threadsPerImage = 1;
  long referenceWidth, referenceHeight;
  bool masked;
  imgio::ColorImage reference;
  std::optional<imgio::ColorImage16> deepReference;  // for a tool of 16-bit images
  std::optional<imgio::GrayImage> mask;
  StreamOptions stream;
};

// The warning that a linear fit found no line in a plane (every pel became
// 0), one per such plane.
void warnOfMissingLines(const JobContext& context, const ImageJob& job,
                        const std::vector<kcNormalizationExplanation>& explanations);

// --field-out asks for a local method and a gray tool (a colour tool applies
// a field per channel); anything else fails with kExitBadInput. target is
// the option's value, which must name a TIFF unless it is a folder.
void checkFieldRequest(kcImageNormalizerDefs::Method method, ColorMode mode,
                       const std::string& target, bool folder);

// Reads, normalizes and writes one image: all its outputs or none. An image
// of another size than the reference is mapped whole when the method has a
// map and the tool no mask. Throws Failure: kExitBadInput for an unreadable
// or mismatched image or an unwritable output, kExitNotNormalized when the
// tool cannot normalize it, kExitInterrupted after an interrupt (nothing is
// written but the records). recorder may already hold records of training.
// record, when given, is filled in either case.
void runJob(const JobContext& context, const ImageJob& job, kcDiagObject& recorder,
            ReportRecord* record = nullptr);

}  // namespace cli
