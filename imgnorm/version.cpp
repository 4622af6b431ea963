#include "imgnorm/version.h"

// IMGNORM_VERSION is defined for this file alone by the build, from the
// project's version, so a new version recompiles one file.
const char* kfVersion() noexcept { return IMGNORM_VERSION; }
