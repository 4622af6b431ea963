#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace cli {

void forEachInParallel(std::size_t count, unsigned threads,
                       const std::function<void(std::size_t)>& work,
                       const std::function<bool()>& stop) {
  std::atomic<std::size_t> next{0};
  const auto drain = [&] {
    for (std::size_t i = next++; i < count && !stop(); i = next++) work(i);
  };
  const std::size_t helpers = std::min<std::size_t>(std::max(threads, 1U), count);
  std::vector<std::jthread> pool;
  for (std::size_t t = 1; t < helpers; ++t) pool.emplace_back(drain);
  drain();  // the calling thread is one of the workers
}

unsigned defaultThreadCount() { return std::max(std::thread::hardware_concurrency(), 1U); }

}  // namespace cli
