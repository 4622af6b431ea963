#include "side_by_side.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

namespace {

using imgio::ColorImage;
using imgio::GrayImage;
using Rgb = std::array<unsigned char, 3>;

constexpr long kMargin = 12;
constexpr long kGap = 8;
constexpr long kFontScale = 2;
constexpr long kGlyphWidth = 5;
constexpr long kGlyphHeight = 7;
constexpr long kLabelHeight = kGlyphHeight * kFontScale;
constexpr long kHistogramHeight = 80;
constexpr long kRampHeight = 6;
constexpr long kMinPanelWidth = 256;
constexpr long kMaxPanelSide = 512;
constexpr unsigned char kBackground = 48;
constexpr unsigned char kInk = 235;
constexpr unsigned char kHistogramBackground = 0;
constexpr unsigned char kHistogramBar = 200;
// Gray draws in all three channels; red, green and blue in their own, so
// that the bars and curves of the channels mix where they overlap.
constexpr Rgb kWhite = {1, 1, 1};
constexpr Rgb kChannelColours[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

struct Glyph {
  char letter;
  std::array<std::uint8_t, kGlyphHeight> rows;  // 5 bits each, leftmost pel in bit 4
};

// Just the characters of the labels and of the fit's numbers.
constexpr std::array<Glyph, 31> kGlyphs = {{
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
}};

const Glyph* glyphFor(char letter) {
  for (const auto& glyph : kGlyphs)
    if (glyph.letter == letter) return &glyph;
  return nullptr;
}

// The canvas: RGB pels, row after row.
struct Canvas {
  ColorImage image;
  unsigned char* at(long x, long y) {
    return image.pels.data() + static_cast<std::size_t>((y * image.width + x) * 3);
  }
  void set(long x, long y, unsigned char level) { std::fill_n(at(x, y), 3, level); }
  // level in the channels colour holds, keeping the others.
  void add(long x, long y, const Rgb& colour, unsigned char level) {
    for (int c = 0; c < 3; ++c)
      if (colour[c]) at(x, y)[c] = level;
  }
};

void drawText(Canvas& canvas, long left, long top, std::string_view text) {
  for (char letter : text) {
    if (const Glyph* glyph = glyphFor(letter))
      for (long gy = 0; gy < kGlyphHeight * kFontScale; ++gy)
        for (long gx = 0; gx < kGlyphWidth * kFontScale; ++gx)
          if (glyph->rows[gy / kFontScale] >> (kGlyphWidth - 1 - gx / kFontScale) & 1)
            canvas.set(left + gx, top + gy, kInk);
    left += (kGlyphWidth + 1) * kFontScale;
  }
}

// The colour channels of image (gray, or red, green and blue; alpha left
// out), reduced by the smallest whole factor that fits kMaxPanelSide.
std::vector<GrayImage> reducedChannels(const ColorImage& image) {
  const long factor =
      std::max(1L, (std::max(image.width, image.height) + kMaxPanelSide - 1) / kMaxPanelSide);
  std::vector<GrayImage> channels;
  for (int c = 0; c < (image.hasColour() ? 3 : 1); ++c) {
    GrayImage small{(image.width + factor - 1) / factor, (image.height + factor - 1) / factor, {}};
    small.pels.resize(static_cast<std::size_t>(small.width * small.height));
    for (long y = 0; y < small.height; ++y)
      for (long x = 0; x < small.width; ++x) {
        long sum = 0, count = 0;
        for (long sy = y * factor; sy < std::min(image.height, (y + 1) * factor); ++sy)
          for (long sx = x * factor; sx < std::min(image.width, (x + 1) * factor); ++sx, ++count)
            sum +=
                image.pels[static_cast<std::size_t>((sy * image.width + sx) * image.channels + c)];
        small.at(x, y) = static_cast<unsigned char>((sum + count / 2) / count);
      }
    channels.push_back(std::move(small));
  }
  return channels;
}

using Histogram = std::array<unsigned long, 256>;

// One histogram per colour channel, of the pels inside the mask when it is
// of the image's size.
std::vector<Histogram> histogramsOf(const ColorImage& image, const GrayImage* mask) {
  const bool masked = mask && mask->width == image.width && mask->height == image.height;
  std::vector<Histogram> bins(image.hasColour() ? 3 : 1, Histogram{});
  const auto pels = static_cast<std::size_t>(image.width * image.height);
  for (std::size_t i = 0; i < pels; ++i)
    if (!masked || mask->pels[i] != 0)
      for (std::size_t c = 0; c < bins.size(); ++c) ++bins[c][image.pels[i * image.channels + c]];
  return bins;
}

// The colour a plane of count planes draws in.
const Rgb& planeColour(std::size_t plane, std::size_t count) {
  return count == 3 ? kChannelColours[plane] : kWhite;
}

void drawHistograms(Canvas& canvas, long left, long top, long width,
                    const std::vector<Histogram>& histograms) {
  for (long x = 0; x < width; ++x) {
    for (long y = 0; y < kHistogramHeight; ++y) canvas.set(left + x, top + y, kHistogramBackground);
    const long level = x * 256 / width;
    for (std::size_t c = 0; c < histograms.size(); ++c) {
      const Histogram& bins = histograms[c];
      const unsigned long highest = *std::max_element(bins.begin(), bins.end());
      const long bar =
          highest ? static_cast<long>((bins[level] * kHistogramHeight + highest - 1) / highest) : 0;
      for (long y = kHistogramHeight - bar; y < kHistogramHeight; ++y)
        canvas.add(left + x, top + y, planeColour(c, histograms.size()), kHistogramBar);
    }
    for (long y = 0; y < kRampHeight; ++y)
      canvas.set(left + x, top + kHistogramHeight + y, static_cast<unsigned char>(level));
  }
}

void drawPicture(Canvas& canvas, long left, long top, const std::vector<GrayImage>& channels) {
  const GrayImage& first = channels.front();
  for (long y = 0; y < first.height; ++y)
    for (long x = 0; x < first.width; ++x)
      for (int c = 0; c < 3; ++c)
        canvas.at(left + x, top + y)[c] = channels[channels.size() == 3 ? c : 0].at(x, y);
}

constexpr long kMapSide = 256;
constexpr unsigned char kDiagonal = 110;
constexpr long kTextLine = kLabelHeight + kGap / 2;

// The maps as curves over the identity diagonal: run-time gray across,
// result gray up; consecutive levels are joined by vertical strokes. Three
// maps are the channels', in their colours.
void drawMaps(Canvas& canvas, long left, long top,
              const std::vector<kcNormalizationExplanation>& explanations) {
  for (long y = 0; y < kMapSide; ++y)
    for (long x = 0; x < kMapSide; ++x) canvas.set(left + x, top + y, kHistogramBackground);
  for (long level = 0; level < kMapSide; ++level)
    canvas.set(left + level, top + kMapSide - 1 - level, kDiagonal);
  for (std::size_t c = 0; c < explanations.size(); ++c) {
    const std::vector<unsigned char>& map = explanations[c].map;
    for (long level = 0; level < kMapSide; ++level) {
      const long value = map[static_cast<std::size_t>(level)];
      const long previous = level ? map[static_cast<std::size_t>(level - 1)] : value;
      for (long v = std::min(value, previous); v <= std::max(value, previous); ++v)
        canvas.add(left + level, top + kMapSide - 1 - v, planeColour(c, explanations.size()), kInk);
    }
  }
}

std::string fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// The fit's figures, each channel's after its initial.
std::vector<std::string> fitLines(const std::vector<kcNormalizationExplanation>& explanations) {
  std::vector<std::string> lines;
  for (std::size_t c = 0; c < explanations.size(); ++c) {
    const kcNormalizationExplanation& e = explanations[c];
    if (!kcImageNormalizerDefs::isFit(e.method)) continue;
    const std::string prefix = explanations.size() == 3 ? std::string(1, "RGB"[c]) + " " : "";
    lines.insert(lines.end(), {prefix + "GAIN " + fixed(e.fit.gain, 3),
                               prefix + "OFFSET " + fixed(e.fit.offset, 1),
                               prefix + "SHARE " + fixed(100.0 * e.fit.nearLineShare, 1) + "%"});
  }
  return lines;
}

struct Panel {
  std::string_view label;
  std::vector<GrayImage> picture;  // its channels
  std::vector<Histogram> histograms;
  long width() const { return std::max(picture.front().width, kMinPanelWidth); }
  long height() const { return picture.front().height; }
};

bool mapsDrawable(const std::vector<kcNormalizationExplanation>& explanations) {
  if (explanations.empty()) return false;
  for (const auto& e : explanations)
    if (e.map.size() != kMapSide) return false;
  return true;
}

}  // namespace

ColorImage composeSideBySide(const ColorImage& runtime, const ColorImage& reference,
                             const ColorImage& result, const GrayImage* mask,
                             const std::vector<kcNormalizationExplanation>& explanations,
                             const std::vector<std::string>& notes) {
  const std::array<Panel, 3> panels = {{
      {"RUN-TIME", reducedChannels(runtime), histogramsOf(runtime, mask)},
      {"REFERENCE", reducedChannels(reference), histogramsOf(reference, mask)},
      {"RESULT", reducedChannels(result), histogramsOf(result, mask)},
  }};
  const bool withMap = mapsDrawable(explanations);
  std::vector<std::string> lines = withMap ? fitLines(explanations) : std::vector<std::string>();
  if (withMap) lines.insert(lines.end(), notes.begin(), notes.end());
  long width = kMargin, pictureHeight = 0;
  for (const auto& panel : panels) {
    width += panel.width() + kMargin;
    pictureHeight = std::max(pictureHeight, panel.height());
  }
  if (withMap) width += kMapSide + kMargin;
  const long pictureTop = kMargin + kLabelHeight + kGap;
  const long histogramTop = pictureTop + pictureHeight + kGap;
  const long mapBottom = pictureTop + kMapSide +
                         (lines.empty() ? 0 : kGap + static_cast<long>(lines.size()) * kTextLine);
  const long height =
      std::max(histogramTop + kHistogramHeight + kRampHeight, withMap ? mapBottom : 0) + kMargin;

  Canvas canvas{
      {width, height, 3,
       std::vector<unsigned char>(static_cast<std::size_t>(width * height * 3), kBackground)}};
  long left = kMargin;
  for (const auto& panel : panels) {
    drawText(canvas, left, kMargin, panel.label);
    drawPicture(canvas, left + (panel.width() - panel.picture.front().width) / 2, pictureTop,
                panel.picture);
    drawHistograms(canvas, left, histogramTop, panel.width(), panel.histograms);
    left += panel.width() + kMargin;
  }
  if (withMap) {
    drawText(canvas, left, kMargin, "MAP");
    drawMaps(canvas, left, pictureTop, explanations);
    long top = pictureTop + kMapSide + kGap;
    for (const auto& line : lines) {
      drawText(canvas, left, top, line);
      top += kTextLine;
    }
  }
  // A picture of gray images alone stays gray.
  const bool colour =
      explanations.size() > 1 || std::any_of(panels.begin(), panels.end(),
                                             [](const Panel& p) { return p.picture.size() > 1; });
  if (colour) return std::move(canvas.image);
  GrayImage gray = imgio::toGray(canvas.image);  // exact: every pel has three equal channels
  return {gray.width, gray.height, 1, std::move(gray.pels)};
}

}  // namespace cli
