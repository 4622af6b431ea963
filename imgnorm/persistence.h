#pragma once

#include <string>

#include "host/archive.h"
#include "host/export.h"
#include "imgnorm/image_normalizer.h"

// Stores or loads a tool, by the archive's direction: the configuration and
// the trained set, not the trained data. Loading resets the tool, reads the
// values, refuses parameters its setters would refuse (BadParams with the
// setter's message; the tool is then reset), and trains again for the loaded
// set; a set that training refuses (CanNotTrain, for example unknown methods)
// leaves the loaded configuration in an untrained tool. A truncated or
// corrupt archive throws kcArchive::Error and leaves the tool reset. Until
// training succeeds the tool is trained for nothing, so a load that fails
// part way never leaves a tool that runs a method without its trained data.
IMGNORM_API kcArchive& operator||(kcArchive& ar, kcImageNormalizer& tool);

// Tool files: a short signature followed by the tool's archive. Errors name
// the file.
IMGNORM_API void kfSaveImageNormalizer(const kcImageNormalizer& tool, const std::string& path);
IMGNORM_API kcImageNormalizer kfLoadImageNormalizer(const std::string& path);
IMGNORM_API std::vector<unsigned char> kfImageNormalizerBytes(const kcImageNormalizer& tool);
IMGNORM_API kcImageNormalizer kfImageNormalizerFromBytes(std::vector<unsigned char> bytes);
