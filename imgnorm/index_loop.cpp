#include "imgnorm/index_loop.h"

namespace imgnorm {

void serialLoop(std::size_t n, const std::function<void(std::size_t)>& work) {
  for (std::size_t i = 0; i < n; ++i) work(i);
}

}  // namespace imgnorm
