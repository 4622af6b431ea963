#pragma once

// Marks the exported API of libimgnorm. Everything else is built with hidden
// visibility.
#if defined(IMGNORM_STATIC)
#define IMGNORM_API
#elif defined(IMGNORM_BUILDING)
#define IMGNORM_API __attribute__((visibility("default")))
#else
#define IMGNORM_API __attribute__((visibility("default")))
#endif
