#pragma once

#include "host/export.h"

// The version of the library that is loaded, "MAJOR.MINOR.PATCH": the one
// number the project declares, shared by the program, the packages and the
// Python module. Programs built against one version run with any later
// library of the same MAJOR.
IMGNORM_API const char* kfVersion() noexcept;
