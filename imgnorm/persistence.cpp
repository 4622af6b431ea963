#include "imgnorm/persistence.h"

#include <cstring>

#include "host/exceptions.h"
#include "host/str.h"
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

}  // namespace

kcArchive& operator||(kcArchive& ar, kcImageNormalizer& tool) {
  unsigned char version = 0;
  ar || version;
  if (ar.isLoading() && version > 0) throw kcArchive::UnknownVersion(kModuleName, __LINE__);
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
