#pragma once

#include <cstddef>
#include <functional>

#include "host/export.h"

namespace imgnorm {

// A schedule for independent work items: loop(n, work) calls work(i) once
// for every i in [0, n), in any order and possibly on several threads at
// once. Operations take one rather than start threads of their own.
using IndexLoop = std::function<void(std::size_t, const std::function<void(std::size_t)>&)>;

// The schedule of one thread: i = 0 .. n - 1 in order.
IMGNORM_API void serialLoop(std::size_t n, const std::function<void(std::size_t)>& work);

}  // namespace imgnorm
