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

// The forms of a tool: 8-bit images (0) and 16-bit images (1), whose bits
// and 16-bit reference stand where the 8-bit form has its reference, both
// of the subtractive model; and the tagged form (2), written for any other
// model, which follows keepMaskedPixels with the model's code and a depth
// byte (0 for 8 bits, 1 for 16) that picks the reference's field. Tools
// of the first two forms keep writing them byte for byte.
constexpr unsigned char kWideVersion = 1;
constexpr unsigned char kTaggedVersion = 2;

unsigned char versionOf(const kcImageNormalizer& tool) {
  if (tool.model() != eSubtract) return kTaggedVersion;
  return tool.isWide() ? kWideVersion : 0;
}

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

// The tagged form's model and depth.
void walkTags(kcArchive& ar, Model& model, bool& wide, bool toolIsWide) {
  unsigned char code = model, depth = toolIsWide ? 1 : 0;
  ar || code;
  ar || depth;
  if (!ar.isLoading()) return;
  if (code > eDivide)
    throw kcArchive::Error(L"Corrupt tool file: an unknown model " + kfStr(int{code}) + L".");
  if (depth > 1)
    throw kcArchive::Error(L"Corrupt tool file: an unknown depth " + kfStr(int{depth}) + L".");
  model = static_cast<Model>(code);
  wide = depth == 1;
}

}  // namespace

kcArchive& operator||(kcArchive& ar, kcImageNormalizer& tool) {
  unsigned char version = versionOf(tool);
  ar || version;
  if (ar.isLoading() && version > kTaggedVersion)
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
    bool wide = ar.isLoading() ? version == kWideVersion : tool.isWide();
    if (version == kTaggedVersion) walkTags(ar, tool.model_, wide, tool.isWide());
    ar || tool.maskImage_;
    if (wide)
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
