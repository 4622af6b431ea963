#include "reference_stack.h"

#include "cli_common.h"
#include "host/exceptions.h"
#include "imaging/pel_stack.h"

namespace cli {

namespace {

// What the combining reads of each kind of image: its samples, and what
// images of one stack share.
struct Shape {
  long width, height;
  int channels, bits;
  bool operator==(const Shape&) const = default;
};

Shape shapeOf(const imgio::GrayImage& image) { return {image.width, image.height, 1, 8}; }
template <class Sample>
Shape shapeOf(const imgio::BasicColorImage<Sample>& image) {
  return {image.width, image.height, image.channels, image.bits};
}
Shape shapeOf(const DeepImage& image) { return shapeOf(image.image); }

std::vector<unsigned char>& samplesOf(imgio::GrayImage& image) { return image.pels; }
std::vector<unsigned char>& samplesOf(imgio::ColorImage& image) { return image.pels; }
std::vector<std::uint16_t>& samplesOf(DeepImage& image) { return image.image.pels; }

std::string shapeText(const Shape& s) {
  return std::to_string(s.width) + "x" + std::to_string(s.height) + ", " +
         std::to_string(s.channels) + " channel" + (s.channels == 1 ? "" : "s") + ", " +
         std::to_string(s.bits) + " bits";
}

// The samples of an image as one plane of width x channels pels.
template <class Sample>
kcPelBuffer_const<Sample> planeOf(std::vector<Sample>& samples, const Shape& s) {
  const long width = s.width * s.channels;
  return kcPelBuffer_const<Sample>::wrap(samples.data(), width, s.height, width, nullptr);
}

// The plane's pels back into samples, row by row (rows may be padded).
template <class Sample>
void copyOut(const kcPelBuffer<Sample>& plane, const Shape& s, std::vector<Sample>& samples) {
  const long width = s.width * s.channels;
  samples.resize(static_cast<std::size_t>(width * s.height));
  for (long y = 0; y < s.height; ++y)
    std::copy_n(plane.pointToPel(0, y), width, samples.begin() + y * width);
}

template <class Image>
Image combine(const std::vector<std::string>& paths, const std::string& how,
              const std::function<Image(const std::string&)>& read) {
  Image first = read(paths.front());
  if (paths.size() == 1) return first;
  using Sample = typename std::decay_t<decltype(samplesOf(first))>::value_type;
  const Shape shape = shapeOf(first);
  const auto checked = [&](const std::string& path, Image image) {
    if (shapeOf(image) != shape)
      failBadInput(path + ": " + shapeText(shapeOf(image)) + ", but the first reference is " +
                   shapeText(shape));
    return image;
  };
  if (how == "median") {
    std::vector<Image> images;
    images.push_back(std::move(first));
    for (std::size_t i = 1; i < paths.size(); ++i)
      images.push_back(checked(paths[i], read(paths[i])));
    std::vector<kcPelBuffer_const<Sample>> planes;
    for (Image& image : images) planes.push_back(planeOf(samplesOf(image), shape));
    const kcPelBuffer<Sample> median = kfPelStackMedian(planes);
    Image result = std::move(images.front());
    copyOut(median, shape, samplesOf(result));
    return result;
  }
  if (static_cast<long>(paths.size()) > kcPelStackMean<Sample>::maxImages)
    failBadInput("--combine mean takes at most " +
                 std::to_string(kcPelStackMean<Sample>::maxImages) + " references of this depth");
  // Only the sums and the image being read are held; the first keeps what
  // the result shares with it (for 16-bit images, the shift of the file).
  kcPelStackMean<Sample> mean(kcPelRect(0, 0, shape.width * shape.channels, shape.height));
  mean.add(planeOf(samplesOf(first), shape));
  std::vector<Sample>().swap(samplesOf(first));
  for (std::size_t i = 1; i < paths.size(); ++i) {
    Image image = checked(paths[i], read(paths[i]));
    mean.add(planeOf(samplesOf(image), shape));
  }
  copyOut(mean.mean(), shape, samplesOf(first));
  return first;
}

}  // namespace

imgio::GrayImage combinedReference(
    const std::vector<std::string>& paths, const std::string& how,
    const std::function<imgio::GrayImage(const std::string&)>& read) {
  return combine(paths, how, read);
}

imgio::ColorImage combinedReference(
    const std::vector<std::string>& paths, const std::string& how,
    const std::function<imgio::ColorImage(const std::string&)>& read) {
  return combine(paths, how, read);
}

DeepImage combinedReference(const std::vector<std::string>& paths, const std::string& how,
                            const std::function<DeepImage(const std::string&)>& read) {
  return combine(paths, how, read);
}

}  // namespace cli
