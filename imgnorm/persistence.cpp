#include "imgnorm/persistence.h"

#include <cstring>

#include "host/exceptions.h"
#include "host/str.h"
#include "imaging/pel_histogram.h"
#include "imgnorm/detail/parameter_checks.h"
#include "imgnorm/detail/tool_file_errors.h"
#include "pelfuncs/buffer_compare.h"

using namespace kcImageNormalizerDefs;

namespace {

// Name of the module in version errors.
constexpr const char* kModuleName = "imgnorm";

// Signature at the start of a tool file.
constexpr unsigned char kFileSignature[8] = {'k', 'c', 'I', 'm', 'g', 'N', 'r', 'm'};

template <class T>
void walkPair(kcArchive& ar, kcPair<T>& pair) {
  unsigned char version = 0;
  ar || version;
  if (ar.isLoading() && version != 0) throw kcArchive::UnknownVersion("", 0);
  T x = pair.x(), y = pair.y();
  ar || x;
  ar || y;
  pair = kcPair<T>(x, y);
}

// The form of a tool of 16-bit images: its bits and its 16-bit reference
// where the 8-bit form has the 8-bit reference.
constexpr unsigned char kWideVersion = 1;

void walkWideReference(kcArchive& ar, kcPelBuffer_const<unsigned short>& reference, int& bits) {
  unsigned char stored = static_cast<unsigned char>(bits);
  ar || stored;
  ar || reference;
  if (!ar.isLoading()) return;
  if (stored < 1 || stored > 16 || !reference.isBound())
    throw kcArchive::Error(L"Corrupt tool file: a 16-bit reference of " + kfStr(int{stored}) +
                           L" bits.");
  std::vector<unsigned long> histogram;
  if (kfPelHistogram(reference, stored, histogram) != 0)
    throw kcArchive::Error(L"Corrupt tool file: the reference has levels above its bits.");
  bits = stored;
}

}  // namespace

kcArchive& operator||(kcArchive& ar, kcImageNormalizer& tool) {
  unsigned char version = tool.isWide() ? kWideVersion : 0;
  ar || version;
  if (ar.isLoading() && version > kWideVersion)
    throw kcArchive::UnknownVersion(kModuleName, __LINE__);
  if (ar.isLoading()) tool.untrain();

  unsigned long methods = tool.trainedMethods_;
  try {
    if (ar.isStoring())
      ar << methods;
    else
      ar >> methods;
    walkPair(ar, tool.tailFractions_);
    walkPair(ar, tool.neighborhoodSize_);
    walkPair(ar, tool.granularity_);
    walkPair(ar, tool.intensityVariationRange_);
    ar || tool.keepMaskedPixels_;
    ar || tool.maskImage_;
    if (version == kWideVersion)
      walkWideReference(ar, tool.wideReferenceImage_, tool.bits_);
    else
      ar || tool.referenceImage_;
    if (ar.isLoading()) {
      imgnorm::checkTailFractions(tool.tailFractions_);
      imgnorm::checkNeighborhoodSize(tool.neighborhoodSize_);
      imgnorm::checkGranularity(tool.granularity_);
      imgnorm::checkIntensityVariationRange(tool.intensityVariationRange_);
    }
  } catch (const kcArchive::UnknownVersion&) {
    throw;  // the fields read so far stay
  } catch (...) {
    if (ar.isLoading()) tool.untrain();
    throw;
  }
  // The trained set is the loaded one only once training made its data: a
  // load that stops early, or a set training refuses (unknown methods), leaves
  // a tool that is trained for nothing.
  if (ar.isLoading()) tool.train(static_cast<Method>(methods & 0xFFFFFFFFUL), nullptr, 0);
  return ar;
}

namespace {

void storeWithSignature(kcArchive& ar, const kcImageNormalizer& tool) {
  ar.writeBytes(kFileSignature, sizeof kFileSignature);
  kcImageNormalizer copy = tool;
  ar || copy;
}

}  // namespace

std::vector<unsigned char> kfImageNormalizerBytes(const kcImageNormalizer& tool) {
  kcArchive ar;
  storeWithSignature(ar, tool);
  return ar.bytes();
}

kcImageNormalizer kfImageNormalizerFromBytes(std::vector<unsigned char> bytes) {
  kcArchive ar(std::move(bytes));
  unsigned char signature[sizeof kFileSignature] = {};
  if (ar.remaining() < sizeof signature) throw kcArchive::Error(L"Not a tool file: too short.");
  ar.readBytes(signature, sizeof signature);
  if (std::memcmp(signature, kFileSignature, sizeof signature) != 0)
    throw kcArchive::Error(L"Not a tool file: the signature is missing.");
  kcImageNormalizer tool;
  ar || tool;
  if (!ar.atEnd()) throw kcArchive::Error(L"Corrupt tool file: bytes follow the tool.");
  return tool;
}

void kfSaveImageNormalizer(const kcImageNormalizer& tool, const std::string& path) {
  kcArchive ar;
  storeWithSignature(ar, tool);
  ar.writeFile(path);
}

kcImageNormalizer kfLoadImageNormalizer(const std::string& path) {
  return imgnorm::loadNamingTheFile(
      path, [&] { return kfImageNormalizerFromBytes(kcArchive::readFile(path)); });
}
