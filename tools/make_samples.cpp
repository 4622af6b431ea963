// Writes the sample images of the demo: a textured reference scene, a mask
// that leaves out the border and the printed label (which differs from
// part to part), and run-time images of the same scene under uneven
// illumination, with another gain and offset, and with defects. A small
// colour reference and a run-time image under a colour cast show the
// colour modes; a small 12-bit reference and a run-time frame under
// vignetting, 16-bit images.
//
// Usage: imgnorm_make_samples [FOLDER]   (default: samples)
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "imgio/image_io.h"

namespace {

constexpr int kWidth = 256;
constexpr int kHeight = 192;

// The label box, where the strokes change from part to part.
constexpr int kLabelLeft = 16, kLabelTop = 16, kLabelRight = 96, kLabelBottom = 72;
constexpr int kBorder = 6;

// A small generator with the same sequence on every platform (the
// standard distributions differ between libraries).
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
  // Roughly normal: the sum of four uniforms, scaled to unit variance.
  double normal() { return (uniform() + uniform() + uniform() + uniform() - 2.0) * std::sqrt(3.0); }

 private:
  std::uint64_t state_;
};

using Scene = std::vector<double>;

double& at(Scene& scene, int x, int y) { return scene[static_cast<std::size_t>(y * kWidth + x)]; }

bool inDisc(int x, int y, double cx, double cy, double r) {
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
}

bool inTriangle(int x, int y) {
  // Apex (184, 100), base from (128, 180) to (240, 180).
  if (y < 100 || y > 180) return false;
  const double half = (y - 100) * 56.0 / 80.0;
  return x >= 184 - half && x <= 184 + half;
}

// Rows of glyph-like strokes: each glyph is a few random bars in a 6x9 cell.
void drawStrokes(Scene& scene, std::uint64_t seed) {
  Random random(seed);
  for (int line = 0; line < 3; ++line)
    for (int glyph = 0; glyph < 7; ++glyph) {
      const int left = kLabelLeft + 8 + glyph * 10, top = kLabelTop + 8 + line * 16;
      for (int bar = 0; bar < 3; ++bar) {
        const bool vertical = random.below(2) == 0;
        const int offset = random.below(vertical ? 6 : 9);
        for (int t = 0; t < (vertical ? 9 : 6); ++t) {
          const int x = vertical ? left + offset : left + t;
          const int y = vertical ? top + t : top + offset;
          at(scene, x, y) = 30;
        }
      }
    }
}

Scene cleanScene(std::uint64_t labelSeed) {
  Scene scene(static_cast<std::size_t>(kWidth * kHeight));
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      double v = 110 + 12 * std::sin(x / 7.0) * std::cos(y / 9.0);
      if (x >= kLabelLeft && x < kLabelRight && y >= kLabelTop && y < kLabelBottom) v = 205;
      if (inDisc(x, y, 176, 56, 34)) v = 40 + 10 * std::sin((x + y) / 4.0);
      if (inDisc(x, y, 64, 136, 30) && !inDisc(x, y, 64, 136, 18)) v = 175;
      if (inTriangle(x, y)) v = 150 - (y - 100) * 0.4;
      at(scene, x, y) = v;
    }
  drawStrokes(scene, labelSeed);
  return scene;
}

imgio::GrayImage render(const Scene& scene, std::uint64_t noiseSeed, double noise,
                        const std::function<double(int, int, double)>& light) {
  Random random(noiseSeed);
  imgio::GrayImage image{kWidth, kHeight, std::vector<unsigned char>(scene.size())};
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const double v =
          light(x, y, scene[static_cast<std::size_t>(y * kWidth + x)]) + noise * random.normal();
      image.at(x, y) = static_cast<unsigned char>(std::clamp(std::lround(v), 0L, 255L));
    }
  return image;
}

void addDefects(Scene& scene) {
  for (int t = 0; t <= 80; ++t)  // a dark scratch
    for (int w = -1; w <= 1; ++w) at(scene, 30 + t + w, 100 + t) = 20;
  for (int y = 0; y < kHeight; ++y)  // a bright spot
    for (int x = 0; x < kWidth; ++x)
      if (inDisc(x, y, 214, 150, 9)) at(scene, x, y) = 250;
}

imgio::GrayImage maskImage() {
  imgio::GrayImage mask{kWidth, kHeight, std::vector<unsigned char>(kWidth * kHeight, 255)};
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const bool border =
          x < kBorder || y < kBorder || x >= kWidth - kBorder || y >= kHeight - kBorder;
      const bool label = x >= kLabelLeft && x < kLabelRight && y >= kLabelTop && y < kLabelBottom;
      if (border || label) mask.at(x, y) = 0;
    }
  return mask;
}

using Rgb = std::array<double, 3>;

// The colour of the scene's parts, as gains on its gray level: a greenish
// background, a blue disc, an orange ring, a red triangle, a white label.
Rgb tint(int x, int y) {
  if (x >= kLabelLeft && x < kLabelRight && y >= kLabelTop && y < kLabelBottom) return {1, 1, 1};
  if (inDisc(x, y, 176, 56, 34)) return {0.6, 0.9, 1.6};
  if (inDisc(x, y, 64, 136, 30) && !inDisc(x, y, 64, 136, 18)) return {1.3, 0.8, 0.4};
  if (inTriangle(x, y)) return {1.4, 0.6, 0.6};
  return {0.85, 1.1, 0.9};
}

// The scene at half size in colour, each channel through gain and offset
// (a colour cast). Half size keeps the bundled files small.
imgio::ColorImage renderColor(const Scene& scene, std::uint64_t noiseSeed, const Rgb& gain,
                              const Rgb& offset) {
  Random random(noiseSeed);
  constexpr int width = kWidth / 2, height = kHeight / 2;
  imgio::ColorImage image{width, height, 3, std::vector<unsigned char>(width * height * 3)};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const double v = scene[static_cast<std::size_t>(2 * y * kWidth + 2 * x)];
      const Rgb t = tint(2 * x, 2 * y);
      for (std::size_t c = 0; c < 3; ++c) {
        const double level = gain[c] * t[c] * v + offset[c] + 2.0 * random.normal();
        image.pels[static_cast<std::size_t>((y * width + x) * 3) + c] =
            static_cast<unsigned char>(std::clamp(std::lround(level), 0L, 255L));
      }
    }
  return image;
}

// The scene at half size as a 12-bit camera frame in 16-bit samples (0 ..
// 4095, the file saying 12 bits), through a light field on the 8-bit
// scale. Half size keeps the bundled files small.
imgio::ColorImage16 renderTwelveBit(const Scene& scene, std::uint64_t noiseSeed,
                                    const std::function<double(int, int, double)>& light) {
  constexpr int width = kWidth / 2, height = kHeight / 2;
  constexpr double kScale = 4095.0 / 255.0;
  Random random(noiseSeed);
  imgio::ColorImage16 image{width, height, 1, std::vector<std::uint16_t>(width * height)};
  image.bits = 12;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const double v = light(2 * x, 2 * y, scene[static_cast<std::size_t>(2 * y * kWidth + 2 * x)]);
      const double level = kScale * v + 24.0 * random.normal();
      image.pels[static_cast<std::size_t>(y * width + x)] =
          static_cast<std::uint16_t>(std::clamp(std::lround(level), 0L, 4095L));
    }
  return image;
}

// Vignetting: a gain of 1 at the centre falling to 0.6 at the corners.
double vignetting(int x, int y, double v) {
  const double dx = (x - kWidth / 2.0) / (kWidth / 2.0), dy = (y - kHeight / 2.0) / (kHeight / 2.0);
  return v * (1.0 - 0.2 * (dx * dx + dy * dy));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: imgnorm_make_samples [FOLDER]\n");
    return 2;
  }
  const std::filesystem::path folder = argc == 2 ? argv[1] : "samples";
  const auto same = [](int, int, double v) { return v; };
  try {
    std::filesystem::create_directories(folder);
    const auto write = [&](const char* name, const auto& image) {
      imgio::writeImage((folder / name).string(), image);
      std::printf("%s\n", (folder / name).string().c_str());
    };
    write("reference.png", render(cleanScene(1), 101, 3.0, same));
    write("mask.png", maskImage());
    write("runtime_gradient.png", render(cleanScene(2), 102, 3.0, [](int x, int y, double v) {
            return v * (0.45 + 0.9 * x / (kWidth - 1.0)) * (0.9 + 0.2 * y / (kHeight - 1.0));
          }));
    write("runtime_gain_offset.png",
          render(cleanScene(3), 103, 3.0, [](int, int, double v) { return 0.55 * v + 70; }));
    Scene defective = cleanScene(4);
    addDefects(defective);
    write("runtime_defect.png",
          render(defective, 104, 3.0, [](int, int, double v) { return 0.9 * v + 12; }));
    write("color_reference.png", renderColor(cleanScene(1), 105, {1, 1, 1}, {0, 0, 0}));
    write("color_runtime_cast.png", renderColor(cleanScene(5), 106, {1.1, 0.95, 0.7}, {14, 0, -6}));
    write("twelve_bit_reference.png", renderTwelveBit(cleanScene(1), 107, same));
    write("twelve_bit_vignetting.png", renderTwelveBit(cleanScene(6), 108, vignetting));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "imgnorm_make_samples: %s\n", e.what());
    return 1;
  }
  return 0;
}
