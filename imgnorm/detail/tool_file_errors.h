#pragma once

#include <string>

#include "host/archive.h"
#include "host/str.h"
#include "imgnorm/errors.h"

namespace imgnorm {

// load() with its failures renamed to name the tool file: the tool's own
// refusals keep their class, every other failure becomes kcArchive::Error.
template <class Load>
auto loadNamingTheFile(const std::string& path, Load&& load) {
  const std::wstring prefix = L"Cannot load tool file \"" + kfFromUtf8(path) + L"\": ";
  try {
    return load();
  } catch (const kcImageNormalizerDefs::BadParams& e) {
    throw kcImageNormalizerDefs::BadParams(prefix + e.message());
  } catch (const kcImageNormalizerDefs::CanNotTrain& e) {
    throw kcImageNormalizerDefs::CanNotTrain(prefix + e.message());
  } catch (const kcException& e) {
    throw kcArchive::Error(prefix + e.message());
  }
}

}  // namespace imgnorm
