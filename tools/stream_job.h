#pragma once

// Images normalized a band of rows at a time: read, normalized and written
// band after band, so that memory follows the image's width and the bands'
// height, never the image's height.

#include <cstdint>
#include <string>

#include "image_job.h"
#include "imgio/image_rows.h"

namespace cli {

// How one image is normalized.
struct ImagePlan {
  imgio::ImageLayout layout;
  bool streamed = false;
  std::string reason;  // why it is streamed, or why it is not
  long bandRows = 0;   // result rows of a band
  long margin = 0;     // rows read above and below a band (local methods)
  unsigned bands = 1;  // bands at work at once
  int passes = 1;      // reads of the file
  // The pels held at once: the image and its working copies in memory, or
  // the bands, the file's own strips or tiles and the output's; the tool
  // (its reference and mask) comes on top.
  std::uint64_t peakBytes = 0;
};

// The plan for job's input: streamed when asked (--stream) or when the
// image has more pels than the in-memory limit, where it can be; else in
// memory. An image it cannot read fails as a read in memory does. Throws
// Failure (kExitBadInput) for an image too large for memory that cannot be
// streamed, or that is streamed with outputs that need the whole image
// (the compare picture, the records, the field), saying why.
ImagePlan planImage(const JobContext& context, const ImageJob& job);

// The plan as lines of "label: value".
std::string planText(const ImagePlan& plan, const std::string& path);

// Normalizes job's input by plan (a streamed one) and writes the result:
// complete, or, after a failure or an interrupt, nothing. Throws Failure as
// runJob does; record, when given, gets the maps applied.
void runStreamedJob(const JobContext& context, const ImageJob& job, const ImagePlan& plan,
                    ReportRecord* record);

}  // namespace cli
