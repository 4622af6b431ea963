#pragma once

// Marks the exported API of libimgnorm. Everything else is built with hidden
// visibility; a static build exports nothing.
#if defined(IMGNORM_STATIC)
#define IMGNORM_API
#else
#define IMGNORM_API __attribute__((visibility("default")))
#endif
