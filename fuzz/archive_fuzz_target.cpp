#include "fuzz/archive_fuzz_target.h"

#include <new>
#include <vector>

#include "host/archive.h"
#include "host/exceptions.h"
#include "imgnorm/color_normalizer.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/persistence.h"

namespace {

constexpr std::uint32_t kLastMethod = 64;  // every method flag lies below

// A loaded tool must be usable: run every trained method once on its reference.
void runEveryMethod(const kcImageNormalizer& tool) {
  if (!tool.referenceImage().isBound()) return;
  for (std::uint32_t bit = 1; bit < kLastMethod; bit <<= 1) {
    const auto method = static_cast<kcImageNormalizerDefs::Method>(bit);
    if (!(tool.trainedMethods() & method)) continue;
    bool success = false;
    std::wstring message;
    tool.run(tool.referenceImage(), method, success, message);
  }
}

// The same for a colour tool, whose run composes its channels' results.
void runEveryMethod(const kcColorImageNormalizer& tool) {
  const kcImageNormalizer& first = tool.grayTools().front();
  if (!first.referenceImage().isBound()) return;
  kcColorPlanes planes;
  for (std::size_t c = 0; c < 3; ++c)
    planes.push_back(tool.grayTools()[c % tool.grayTools().size()].referenceImage());
  for (std::uint32_t bit = 1; bit < kLastMethod; bit <<= 1) {
    const auto method = static_cast<kcImageNormalizerDefs::Method>(bit);
    if (!(first.trainedMethods() & method)) continue;
    bool success = false;
    std::wstring message;
    tool.run(planes, method, success, message);
  }
}

// Gray and colour tool files, told apart by their signatures as the program does.
void loadTool(std::vector<unsigned char> bytes) {
  if (kfIsColorToolFile(bytes)) {
    runEveryMethod(kfColorImageNormalizerFromBytes(std::move(bytes)));
    return;
  }
  kcArchive ar(std::move(bytes));
  kcImageNormalizer tool;
  ar || tool;
  runEveryMethod(tool);
}

void loadError(std::vector<unsigned char> bytes) {
  kcArchive ar(std::move(bytes));
  std::unique_ptr<kcPersistent> object = ar.loadObject();
  if (auto* e = dynamic_cast<kcException*>(object.get())) (void)e->message();
}

}  // namespace

void fuzzArchiveInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  std::vector<unsigned char> bytes(data + 1, data + size);
  try {
    if (data[0] % 2 == 0)
      loadTool(std::move(bytes));
    else
      loadError(std::move(bytes));
  } catch (const kcException&) {
    // refused cleanly
  }
}
