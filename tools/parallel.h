#pragma once

#include <cstddef>
#include <functional>

namespace cli {

// Calls work(i) for every i below count on up to threads threads (at least
// one). Items not yet started are skipped once stop() returns true. work must
// not throw.
void forEachInParallel(std::size_t count, unsigned threads,
                       const std::function<void(std::size_t)>& work,
                       const std::function<bool()>& stop);

// The number of threads to use when the user does not say: all cores.
unsigned defaultThreadCount();

}  // namespace cli
