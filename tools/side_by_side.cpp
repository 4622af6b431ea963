#include "side_by_side.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>
#include <cstdint>
#include <string_view>

namespace cli {

namespace {

using imgio::GrayImage;

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

struct Glyph {
  char letter;
  std::array<std::uint8_t, kGlyphHeight> rows;  // 5 bits each, leftmost pel in bit 4
};

// Just the characters of the labels and of the fit's numbers.
constexpr std::array<Glyph, 30> kGlyphs = {{
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
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

void drawText(GrayImage& canvas, long left, long top, std::string_view text) {
  for (char letter : text) {
    if (const Glyph* glyph = glyphFor(letter))
      for (long gy = 0; gy < kGlyphHeight * kFontScale; ++gy)
        for (long gx = 0; gx < kGlyphWidth * kFontScale; ++gx)
          if (glyph->rows[gy / kFontScale] >> (kGlyphWidth - 1 - gx / kFontScale) & 1)
            canvas.at(left + gx, top + gy) = kInk;
    left += (kGlyphWidth + 1) * kFontScale;
  }
}

// Reduces by the smallest whole factor that fits kMaxPanelSide.
GrayImage reduced(const GrayImage& image) {
  const long factor = (std::max(image.width, image.height) + kMaxPanelSide - 1) / kMaxPanelSide;
  if (factor <= 1) return image;
  GrayImage small{(image.width + factor - 1) / factor, (image.height + factor - 1) / factor, {}};
  small.pels.resize(static_cast<std::size_t>(small.width * small.height));
  for (long y = 0; y < small.height; ++y)
    for (long x = 0; x < small.width; ++x) {
      long sum = 0, count = 0;
      for (long sy = y * factor; sy < std::min(image.height, (y + 1) * factor); ++sy)
        for (long sx = x * factor; sx < std::min(image.width, (x + 1) * factor); ++sx, ++count)
          sum += image.at(sx, sy);
      small.at(x, y) = static_cast<unsigned char>((sum + count / 2) / count);
    }
  return small;
}

std::array<unsigned long, 256> histogramOf(const GrayImage& image, const GrayImage* mask) {
  std::array<unsigned long, 256> bins{};
  const bool masked = mask && mask->width == image.width && mask->height == image.height;
  for (std::size_t i = 0; i < image.pels.size(); ++i)
    if (!masked || mask->pels[i] != 0) ++bins[image.pels[i]];
  return bins;
}

void drawHistogram(GrayImage& canvas, long left, long top, long width,
                   const std::array<unsigned long, 256>& bins) {
  const unsigned long highest = *std::max_element(bins.begin(), bins.end());
  for (long x = 0; x < width; ++x) {
    const long level = x * 256 / width;
    const long bar =
        highest ? static_cast<long>((bins[level] * kHistogramHeight + highest - 1) / highest) : 0;
    for (long y = 0; y < kHistogramHeight; ++y)
      canvas.at(left + x, top + y) =
          y >= kHistogramHeight - bar ? kHistogramBar : kHistogramBackground;
    for (long y = 0; y < kRampHeight; ++y)
      canvas.at(left + x, top + kHistogramHeight + y) = static_cast<unsigned char>(level);
  }
}

void drawImage(GrayImage& canvas, long left, long top, const GrayImage& image) {
  for (long y = 0; y < image.height; ++y)
    std::copy_n(image.pels.begin() + y * image.width, image.width,
                canvas.pels.begin() + (top + y) * canvas.width + left);
}

constexpr long kMapSide = 256;
constexpr unsigned char kDiagonal = 110;
constexpr long kTextLine = kLabelHeight + kGap / 2;

// The map as a curve over the identity diagonal: run-time gray across,
// result gray up; consecutive levels are joined by vertical strokes.
void drawMap(GrayImage& canvas, long left, long top, const std::vector<unsigned char>& map) {
  for (long y = 0; y < kMapSide; ++y)
    std::fill_n(canvas.pels.begin() + (top + y) * canvas.width + left, kMapSide,
                kHistogramBackground);
  for (long level = 0; level < kMapSide; ++level)
    canvas.at(left + level, top + kMapSide - 1 - level) = kDiagonal;
  for (long level = 0; level < kMapSide; ++level) {
    const long value = map[static_cast<std::size_t>(level)];
    const long previous = level ? map[static_cast<std::size_t>(level - 1)] : value;
    for (long v = std::min(value, previous); v <= std::max(value, previous); ++v)
      canvas.at(left + level, top + kMapSide - 1 - v) = kInk;
  }
}

std::string fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::vector<std::string> fitLines(const kcNormalizationExplanation& e) {
  if (!kcImageNormalizerDefs::isFit(e.method)) return {};
  return {"GAIN " + fixed(e.fit.gain, 3), "OFFSET " + fixed(e.fit.offset, 1),
          "SHARE " + fixed(100.0 * e.fit.nearLineShare, 1) + "%"};
}

struct Panel {
  std::string_view label;
  GrayImage picture;
  std::array<unsigned long, 256> bins;
  long width() const { return std::max(picture.width, kMinPanelWidth); }
};

}  // namespace

GrayImage composeSideBySide(const GrayImage& runtime, const GrayImage& reference,
                            const GrayImage& result, const GrayImage* mask,
                            const kcNormalizationExplanation* explanation) {
  const std::array<Panel, 3> panels = {{
      {"RUN-TIME", reduced(runtime), histogramOf(runtime, mask)},
      {"REFERENCE", reduced(reference), histogramOf(reference, mask)},
      {"RESULT", reduced(result), histogramOf(result, mask)},
  }};
  const bool withMap = explanation && explanation->map.size() == kMapSide;
  const std::vector<std::string> lines =
      withMap ? fitLines(*explanation) : std::vector<std::string>();
  long width = kMargin, pictureHeight = 0;
  for (const auto& panel : panels) {
    width += panel.width() + kMargin;
    pictureHeight = std::max(pictureHeight, panel.picture.height);
  }
  if (withMap) width += kMapSide + kMargin;
  const long pictureTop = kMargin + kLabelHeight + kGap;
  const long histogramTop = pictureTop + pictureHeight + kGap;
  const long mapBottom = pictureTop + kMapSide +
                         (lines.empty() ? 0 : kGap + static_cast<long>(lines.size()) * kTextLine);
  const long height =
      std::max(histogramTop + kHistogramHeight + kRampHeight, withMap ? mapBottom : 0) + kMargin;

  GrayImage canvas{
      width, height,
      std::vector<unsigned char>(static_cast<std::size_t>(width * height), kBackground)};
  long left = kMargin;
  for (const auto& panel : panels) {
    drawText(canvas, left, kMargin, panel.label);
    drawImage(canvas, left + (panel.width() - panel.picture.width) / 2, pictureTop, panel.picture);
    drawHistogram(canvas, left, histogramTop, panel.width(), panel.bins);
    left += panel.width() + kMargin;
  }
  if (withMap) {
    drawText(canvas, left, kMargin, "MAP");
    drawMap(canvas, left, pictureTop, explanation->map);
    long top = pictureTop + kMapSide + kGap;
    for (const auto& line : lines) {
      drawText(canvas, left, top, line);
      top += kTextLine;
    }
  }
  return canvas;
}

}  // namespace cli
