#include "stream_job.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "band_pipeline.h"
#include "cli_common.h"
#include "console.h"
#include "deep_images.h"
#include "host/attention.h"
#include "imaging/pel_histogram.h"
#include "imaging/pel_map.h"
#include "imgnorm/run_parts.h"

namespace cli {

namespace {

using Method = kcImageNormalizerDefs::Method;
using imgnorm::Counts;

// The bands held at once (at work, being read and being written) and the
// rows the file's reader and the writer keep stay within about this many
// bytes: a global method near 100 MB, a local one, whose bands also hold
// their margins, near 200 MB.
constexpr std::uint64_t kGlobalBudget = 64ULL << 20;
constexpr std::uint64_t kLocalBudget = 192ULL << 20;
// A local run works in strips of its own: beyond its input and result it
// holds about one plane of the image's samples (4000 x 4000, 101 x 101:
// 16 MB more for the median, nothing measurable for the smoothing).
constexpr std::uint64_t kLocalWorkPlanes = 1;
// Rows the file's reader and the TIFF writer hold at most: one row of
// 512-row tiles, one of the 256-row tiles written.
constexpr long kReaderRows = 512;
constexpr long kWriterRows = 256;
// The tiles the TIFF writer gathers to deflate at once, and what they
// become.
constexpr std::uint64_t kDeflateBytes = 16ULL << 20;
// Bands shorter than this pay more for their margins and calls than for
// their pels.
constexpr long kMinBandRows = 16;
constexpr long kBandsPerThread = 4;

// What the plan and the run need to know of the tool and the image.
struct Geometry {
  kcPelRect out;       // the result's pels in the image
  bool whole = false;  // mapped whole (another size, no mask)
  bool local = false;
  long margin = 0;
};

// The image's result rows and how far a band reaches; refuses what a run
// in memory refuses for the image's size.
Geometry geometryOf(const JobContext& context, const imgio::ImageLayout& layout,
                    const std::string& path) {
  const kcImageNormalizer& tool = context.tool.grayTool();
  Geometry g;
  g.local = kcImageNormalizerDefs::isLocal(context.method);
  g.whole = kfMapsWholeImage(tool, {layout.width, layout.height}, context.method);
  if (!g.whole)
    checkSameSize(layout.width, layout.height, path, context.referenceWidth,
                  context.referenceHeight);
  const kcPelRect image(0, 0, layout.width, layout.height);
  g.out = g.whole ? image : imgnorm::coveredWindow(tool, image);
  return g;
}

// Why the image cannot be streamed, if it cannot.
std::optional<std::string> unstreamable(const JobContext& context, const ImageJob& job,
                                        Geometry& g) {
  if (!job.sideBySide.empty()) return "the compare picture needs the whole image";
  if (!job.diagFolder.empty()) return "the diagnostic records need the whole image";
  if (!job.fieldOut.empty()) return "the correction field needs the whole image";
  if (context.method == kcImageNormalizerDefs::eIdentity) return "identity is not streamed";
  if (g.out.isNull()) return "the image does not overlap the reference";
  if (!g.local) return std::nullopt;
  const auto margin =
      libraryCall([&] { return imgnorm::localMargin(context.tool.grayTool(), context.method); });
  if (!margin) return "a local method at granularity above 1 works on the whole image";
  g.margin = margin->y();
  return std::nullopt;
}

// Bytes of one row of the image: as read (samples), at work (the samples,
// the planes the tools see and give, a local run's own) and as written.
struct RowBytes {
  std::uint64_t read = 0, work = 0, written = 0;
};

RowBytes rowBytesOf(const JobContext& context, const imgio::ImageLayout& layout, bool local) {
  const std::uint64_t sample = layout.deep ? 2 : 1;
  const std::uint64_t width = static_cast<std::uint64_t>(layout.width);
  const std::uint64_t tools = context.tool.planeNames().size();
  const std::uint64_t planes = layout.channels + 2 * tools;
  const std::uint64_t channelsOut = layout.channels;
  RowBytes b;
  b.read = width * layout.channels * sample;
  b.written = width * channelsOut * sample;
  b.work = b.read + width * planes * sample + b.written +
           (local ? width * tools * kLocalWorkPlanes * sample : 0);
  return b;
}

// The pels held with bands of rows result rows, bands of them at work.
std::uint64_t bandBytes(const RowBytes& b, long rows, unsigned bands, long margin) {
  const auto read = static_cast<std::uint64_t>(rows + 2 * margin);
  return bands * read * b.work + read * b.read + static_cast<std::uint64_t>(rows) * b.written +
         static_cast<std::uint64_t>(kReaderRows + 2 * margin) * b.read + kWriterRows * b.written +
         kDeflateBytes;
}

// Band height and bands at once within the budget: a local band is made at
// least twice as high as its margins while it can be, since each band
// reads them again, and fewer bands run at once rather than shorter ones.
void sizeBands(const JobContext& context, const Geometry& g, ImagePlan& plan) {
  const RowBytes b = rowBytesOf(context, plan.layout, g.local);
  const std::uint64_t budget = g.local ? kLocalBudget : kGlobalBudget;
  const long wanted = g.local ? std::max(2 * g.margin, kMinBandRows) : kMinBandRows;
  unsigned bands = std::max(1U, context.threadsPerImage);
  long rows = 0;
  for (;; --bands) {
    const std::uint64_t fixed = bandBytes(b, 0, bands, g.margin);
    const std::uint64_t perRow = bandBytes(b, 1, bands, g.margin) - fixed;
    rows = fixed < budget ? static_cast<long>((budget - fixed) / perRow) : 0;
    if (rows >= wanted || bands == 1) break;
  }
  // Each thread gets a few bands, so that none waits long for the last.
  const long shared = (g.out.height() + kBandsPerThread * bands - 1) / (kBandsPerThread * bands);
  rows = std::min(rows, std::max(shared, wanted));
  plan.bands = bands;
  plan.bandRows =
      std::min(context.stream.bandRows > 0 ? context.stream.bandRows : std::max(rows, kMinBandRows),
               g.out.height());
  plan.peakBytes = bandBytes(b, plan.bandRows, plan.bands, g.margin);
}

std::string megabytes(std::uint64_t bytes) {
  return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MB";
}

// Opens the file's rows; a file the rows cannot be read from is read whole,
// and so is what is not a regular file (a pipe is read once).
std::unique_ptr<imgio::RowReader> openRows(const std::string& path, std::string& why) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    why = "not a regular file";
    return nullptr;
  }
  try {
    return imgio::RowReader::open(path);
  } catch (const imgio::NotStreamable& e) {
    why = e.what();
  } catch (const imgio::ImageError& e) {
    why = e.what();
  }
  return nullptr;
}

// The file's rows as the bands ask for them, read once and in order: a
// band's rows are copied out, and rows no later band reaches are dropped.
template <class Sample>
class HeldRows {
 public:
  explicit HeldRows(imgio::RowReader& reader)
      : reader_(reader),
        rowSamples_(static_cast<std::size_t>(reader.layout().width) * reader.layout().channels) {}

  // Image rows top .. bottom - 1; later calls ask for no row above keepFrom.
  std::vector<Sample> take(long top, long bottom, long keepFrom) {
    skipTo(top);
    if (heldTop_ + heldRows() < bottom) {
      const long more = bottom - heldTop_ - heldRows();
      held_.resize(held_.size() + static_cast<std::size_t>(more) * rowSamples_);
      reader_.read(more,
                   held_.data() + held_.size() - static_cast<std::size_t>(more) * rowSamples_);
    }
    if (top == heldTop_ && bottom == heldTop_ + heldRows() && keepFrom >= bottom) {
      heldTop_ = bottom;  // the band is every row held: handed over whole
      return std::exchange(held_, {});
    }
    const auto at = [&](long row) {
      return held_.begin() + static_cast<std::ptrdiff_t>((row - heldTop_) * rowSamples_);
    };
    std::vector<Sample> band(at(top), at(bottom));
    const long drop = std::clamp(keepFrom, heldTop_, heldTop_ + heldRows()) - heldTop_;
    held_.erase(held_.begin(), at(heldTop_ + drop));
    heldTop_ += drop;
    return band;
  }

 private:
  long heldRows() const { return static_cast<long>(held_.size() / rowSamples_); }

  // Rows above top that no band needs are read a few at a time and dropped.
  void skipTo(long top) {
    if (heldTop_ + heldRows() >= top) return;
    held_.clear();
    constexpr long kSkipRows = 64;  // small against any band, large against a call
    std::vector<Sample> scratch;
    for (long row = heldTop_; row < top; row += kSkipRows) {
      const long n = std::min(kSkipRows, top - row);
      scratch.resize(static_cast<std::size_t>(n) * rowSamples_);
      reader_.read(n, scratch.data());
    }
    heldTop_ = top;
  }

  imgio::RowReader& reader_;
  std::size_t rowSamples_;
  std::vector<Sample> held_;
  long heldTop_ = 0;
};

// One band: the image rows it read (its result rows and their margins),
// then its result's samples, or what it counted.
template <class Sample>
struct Band {
  long top = 0, rows = 0;        // the rows read
  long outTop = 0, outRows = 0;  // the result rows it gives
  std::vector<Sample> samples;
  std::vector<Counts> counts;
  unsigned topLevel = 0, anyBits = 0;  // of a scan of 16-bit samples
};

// The band's interleaved samples as planes over its rows of the image.
template <class Sample>
kcPlanesOf<Sample> planesOf(const Band<Sample>& band, const imgio::ImageLayout& layout) {
  return toPlanes(band.samples.data(), layout.width, band.rows, layout.channels, band.top);
}

// The result's rows of the band, its planes interleaved, colour shifted up
// by shift (alpha, the last of 2 or 4 planes, as it is).
template <class Pel>
std::vector<Pel> interleaved(const kcResultOf<Pel>& planes, const Band<Pel>& band,
                             const kcPelRect& out, int shift) {
  const auto channels = static_cast<long>(planes.size());
  const bool alpha = channels == 2 || channels == 4;
  std::vector<Pel> samples(static_cast<std::size_t>(out.width() * band.outRows * channels));
  for (long c = 0; c < channels; ++c) {
    const int by = alpha && c == channels - 1 ? 0 : shift;
    for (long y = 0; y < band.outRows; ++y) {
      const Pel* in = planes[static_cast<std::size_t>(c)].pointToPel(out.x(), band.outTop + y);
      Pel* dst = samples.data() + y * out.width() * channels + c;
      for (long x = 0; x < out.width(); ++x) dst[x * channels] = static_cast<Pel>(in[x] << by);
    }
  }
  return samples;
}

Counts histogramOf(const kcPelBuffer_const<unsigned char>& plane, int) {
  std::vector<unsigned long> h;
  kfPelHistogram(plane, h);
  return {h.begin(), h.end()};
}

Counts histogramOf(const kcPelBuffer_const<unsigned short>& plane, int bits) {
  std::vector<unsigned long> h;
  kfPelHistogram(plane, bits, h);
  return {h.begin(), h.end()};
}

void addCounts(std::vector<Counts>& totals, const std::vector<Counts>& counts) {
  totals.resize(counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i) {
    totals[i].resize(counts[i].size());
    for (std::size_t j = 0; j < counts[i].size(); ++j) totals[i][j] += counts[i][j];
  }
}

// A streamed run of one image: passes over the file's rows in bands.
template <class Sample>
class StreamedRun {
 public:
  StreamedRun(const JobContext& context, const ImageJob& job, const ImagePlan& plan)
      : context_(context),
        job_(job),
        plan_(plan),
        g_(geometryOf(context, plan.layout, job.input)),
        tools_(context.tool.planar().grayTools()) {
    g_.margin = plan.margin;
  }

  void run(ReportRecord* record) {
    if constexpr (kDeep) findShift();
    std::unique_ptr<imgio::RowWriter> writer = createWriter();
    if (!g_.local) buildMaps();
    pass(
        g_.out.y(), g_.out.bottom(), g_.margin,
        [this](Band<Sample>& band) { band.samples = resultOf(band); },
        [&](Band<Sample>& band) { writer->write(band.outRows, band.samples.data()); });
    if (kcAttention::abortRequested()) throw Failure(kExitInterrupted, "interrupted");
    try {
      writer->commit();
    } catch (const imgio::ImageError& e) {
      failBadInput(e.what());
    }
    if (kcImageNormalizerDefs::isFit(context_.method))
      warnOfMissingLines(context_, job_, explanations_);
    if (record) record->explanations = std::move(explanations_);
  }

 private:
  static constexpr bool kDeep = sizeof(Sample) == 2;

  // One pass over the image rows first .. last - 1 in bands of the plan's
  // height, each read with margin rows above and below.
  template <class Work, class Write>
  void pass(long first, long last, long margin, Work work, Write write) {
    std::unique_ptr<imgio::RowReader> reader;
    try {
      reader = imgio::RowReader::open(job_.input);
    } catch (const imgio::ImageError& e) {
      failBadInput(e.what());
    }
    HeldRows<Sample> rows(*reader);
    const long height = plan_.layout.height;
    const long count = (last - first + plan_.bandRows - 1) / plan_.bandRows;
    const auto read = [&](long k) {
      if (kcAttention::abortRequested()) throw Failure(kExitInterrupted, "interrupted");
      Band<Sample> band;
      band.outTop = first + k * plan_.bandRows;
      band.outRows = std::min(plan_.bandRows, last - band.outTop);
      band.top = std::max(0L, band.outTop - margin);
      const long bottom = std::min(height, band.outTop + band.outRows + margin);
      band.rows = bottom - band.top;
      try {
        band.samples = rows.take(band.top, bottom, band.outTop + band.outRows - margin);
      } catch (const imgio::ImageError& e) {
        failBadInput(e.what());
      }
      return band;
    };
    const auto guardedWork = [&](Band<Sample>& band) {
      try {
        libraryCall([&] { work(band); });
      } catch (const Failure& failure) {
        if (failure.code() == kExitInterrupted) throw;
        throw Failure(failure.code(), job_.input + ": " + failure.what());
      }
    };
    runBands<Band<Sample>>(count, plan_.bands, read, guardedWork, write);
  }

  std::unique_ptr<imgio::RowWriter> createWriter() const {
    imgio::ImageLayout out = plan_.layout;
    out.width = g_.out.width();
    out.height = g_.out.height();
    out.format = *imgio::formatForPath(job_.output);
    const bool alpha = out.channels == 2 || out.channels == 4;
    out.channels = (context_.tool.mode() == kcPlanarNormalizer::eGray ? 1 : 3) + (alpha ? 1 : 0);
    if constexpr (kDeep)
      out.bits = outputBits(context_.tool.bits(), shift_, out.channels, plan_.layout.bits);
    try {
      imgio::RowWriterOptions options;
      options.bigTiff = context_.stream.bigTiff;
      options.threads = context_.threadsPerImage;
      return imgio::RowWriter::create(job_.output, out.format, out, options);
    } catch (const imgio::ImageError& e) {
      failBadInput(e.what());
    }
  }

  // How far the samples are shifted down to the tool's bits: only a file
  // of more bits may hold samples above them, so only such a file is read
  // once more to see.
  void findShift() {
    const int stated = context_.tool.bits();
    if (plan_.layout.bits <= stated) return;
    SampleBits found;
    pass(
        0, plan_.layout.height, 0,
        [this](Band<Sample>& band) {
          const SampleBits bits = colourSampleBits(band.samples, plan_.layout.channels);
          band.topLevel = bits.top;
          band.anyBits = bits.any;
        },
        [&](Band<Sample>& band) {
          found.top = std::max(found.top, band.topLevel);
          found.any |= band.anyBits;
        });
    shift_ = storedShift(job_.input, stated, plan_.layout.bits, found.top, found.any);
  }

  // The first pass of a method with a map: the counts of every band, and
  // the maps built from their sums.
  void buildMaps() {
    std::vector<Counts> totals;
    pass(
        g_.out.y(), g_.out.bottom(), 0,
        [this](Band<Sample>& band) { band.counts = countsOf(band); },
        [&](Band<Sample>& band) { addCounts(totals, band.counts); });
    for (std::size_t i = 0; i < tools_.size(); ++i) {
      const kcImageNormalizer& tool = *tools_[i];
      explanations_.push_back(libraryCall([&] {
        return g_.whole ? imgnorm::explainWholeImageCounts(tool, context_.method, totals[i])
                        : imgnorm::explainCounts(tool, context_.method, totals[i], g_.out);
      }));
      if (!explanations_.back().success)
        throw Failure(kExitNotNormalized, job_.input + ": " + narrow(explanations_.back().message));
    }
  }

  // The planes of a band's samples, its colour brought to the tool's bits.
  kcPlanesOf<Sample> toolPlanesOf(Band<Sample>& band) const {
    if constexpr (kDeep) shiftColourDown(band.samples, plan_.layout.channels, shift_);
    return planesOf(band, plan_.layout);
  }

  std::vector<Counts> countsOf(Band<Sample>& band) const {
    const kcPlanesOf<Sample> gray = context_.tool.planar().grayPlanes(toolPlanesOf(band));
    std::vector<Counts> counts;
    for (std::size_t i = 0; i < tools_.size(); ++i)
      counts.push_back(g_.whole ? histogramOf(gray[i], context_.tool.bits())
                                : imgnorm::countPart(*tools_[i], gray[i], context_.method));
    return counts;
  }

  std::vector<Sample> resultOf(Band<Sample>& band) const {
    const kcPlanesOf<Sample> planes = toolPlanesOf(band);
    if (g_.local) return interleaved(localRun(planes), band, g_.out, shift_);
    const kcPlanesOf<Sample> gray = context_.tool.planar().grayPlanes(planes);
    kcResultOf<Sample> results;
    for (std::size_t i = 0; i < tools_.size(); ++i) {
      const kcNormalizationExplanation& e = explanations_[i];
      results.push_back(g_.whole ? kfApplyMap(gray[i], e)
                                 : imgnorm::mapPart(*tools_[i], gray[i], mapOf(e)));
    }
    return interleaved(context_.tool.planar().compose(planes, results), band, g_.out, shift_);
  }

  static const auto& mapOf(const kcNormalizationExplanation& e) {
    if constexpr (kDeep)
      return e.wideMap;
    else
      return e.map;
  }

  // A local run of a band placed in the image, on the band's thread.
  kcResultOf<Sample> localRun(const kcPlanesOf<Sample>& planes) const {
    kcPlanarRunOptions options;
    options.placed = true;
    kcPlanarRunOf<Sample> run = context_.tool.planar().run(planes, context_.method, options);
    if (!run.success) throw Failure(kExitNotNormalized, narrow(run.message));
    return std::move(run.planes);
  }

  const JobContext& context_;
  const ImageJob& job_;
  const ImagePlan& plan_;
  Geometry g_;
  std::vector<const kcImageNormalizer*> tools_;
  int shift_ = 0;
  std::vector<kcNormalizationExplanation> explanations_;
};

}  // namespace

ImagePlan planImage(const JobContext& context, const ImageJob& job) {
  ImagePlan plan;
  std::string unreadable;
  const std::unique_ptr<imgio::RowReader> reader = openRows(job.input, unreadable);
  // What the rows cannot read, the whole file's reader reads or refuses.
  if (!reader) {
    plan.reason = unreadable;
    return plan;
  }
  plan.layout = reader->layout();
  const long pels = plan.layout.width * plan.layout.height;
  const bool tooLarge = pels > context.maxPels;
  const bool local = kcImageNormalizerDefs::isLocal(context.method);
  plan.peakBytes =
      static_cast<std::uint64_t>(plan.layout.height) * rowBytesOf(context, plan.layout, local).work;
  if (!tooLarge && !context.stream.force) {
    plan.reason = "within --max-pixels";
    return plan;
  }
  if (plan.layout.deep != context.tool.isDeep()) return plan;  // the run in memory says why
  Geometry g = geometryOf(context, plan.layout, job.input);
  if (const auto why = unstreamable(context, job, g)) {
    if (tooLarge)
      failBadInput(
          job.input + ": " + std::to_string(pels) +
          " pels, more than --max-pixels allows in memory, and it cannot be streamed: " + *why);
    plan.reason = "not streamed: " + *why;
    return plan;
  }
  plan.streamed = true;
  plan.reason = tooLarge ? "more pels than --max-pixels" : "--stream";
  plan.margin = g.margin;
  plan.passes = g.local ? 1 : 2;
  if (plan.layout.deep && plan.layout.bits > context.tool.bits()) ++plan.passes;
  sizeBands(context, g, plan);
  return plan;
}

std::string planText(const ImagePlan& plan, const std::string& path) {
  const imgio::ImageLayout& l = plan.layout;
  std::string text = "image:            " + path + "\n";
  if (l.width == 0) return text + "read:             in memory (" + plan.reason + ")\n";
  text += "size:             " + std::to_string(l.width) + " x " + std::to_string(l.height) + ", " +
          std::to_string(l.channels) + (l.channels == 1 ? " channel" : " channels") + ", " +
          std::to_string(l.bits) + " bits (" + imgio::formatName(l.format) + ")\n";
  if (!plan.streamed)
    return text + "read:             in memory (" + plan.reason + ")\npeak memory:      about " +
           megabytes(plan.peakBytes) + " for the pels, besides the tool\n";
  text += "read:             streamed (" + plan.reason + ")\n";
  text += "bands:            " + std::to_string(plan.bandRows) + " rows";
  if (plan.margin > 0) text += " and " + std::to_string(plan.margin) + " above and below";
  text += ", " + std::to_string(plan.bands) + " at once; " + std::to_string(plan.passes) +
          (plan.passes == 1 ? " pass" : " passes") + " over the file\n";
  return text + "peak memory:      about " + megabytes(plan.peakBytes) +
         " for the pels, besides the tool\n";
}

void runStreamedJob(const JobContext& context, const ImageJob& job, const ImagePlan& plan,
                    ReportRecord* record) {
  if (context.tool.mode() == kcPlanarNormalizer::eGray && plan.layout.channels >= 3)
    noteColourConverted(job.input);
  if (plan.layout.deep)
    StreamedRun<std::uint16_t>(context, job, plan).run(record);
  else
    StreamedRun<unsigned char>(context, job, plan).run(record);
}

}  // namespace cli
