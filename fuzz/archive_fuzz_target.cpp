#include "fuzz/archive_fuzz_target.h"

#include <new>
#include <vector>

#include "host/archive.h"
#include "host/exceptions.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/persistence.h"

namespace {

void loadTool(std::vector<unsigned char> bytes) {
  kcArchive ar(std::move(bytes));
  kcImageNormalizer tool;
  ar || tool;
  // A loaded tool must be usable: run every trained method once.
  if (!tool.referenceImage().isBound()) return;
  for (std::uint32_t bit = 1; bit < 64; bit <<= 1) {
    const auto method = static_cast<kcImageNormalizerDefs::Method>(bit);
    if (!(tool.trainedMethods() & method)) continue;
    bool success = false;
    std::wstring message;
    tool.run(tool.referenceImage(), method, success, message);
  }
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
