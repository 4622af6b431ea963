#pragma once

// Bands of an image through three stages at once: reading on the calling
// thread, working on up to threads threads, writing behind them on a thread
// of its own, in the order they were read.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

namespace cli {

// Calls read(k) for k = 0 .. count - 1 in order on the calling thread,
// work(band) for each band on a thread of its own, up to threads at once,
// and write(band) for each band in the order of k on one writer thread.
// At most threads + 2 bands exist at any time (threads at work, one being
// read and one being written), which bounds the memory. The first exception
// of any stage stops the reading and is rethrown here once every thread has
// stopped; bands not yet written are dropped.
template <class Band, class Read, class Work, class Write>
void runBands(long count, unsigned threads, Read read, Work work, Write write) {
  const std::size_t limit = threads > 0 ? threads : 1;
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::future<Band>> queue;
  bool readingDone = false;
  std::atomic<bool> failed{false};
  std::exception_ptr writeError;

  std::thread writer([&] {
    for (;;) {
      std::future<Band> next;
      {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return !queue.empty() || readingDone; });
        if (queue.empty()) return;
        next = std::move(queue.front());
        queue.pop_front();
      }
      changed.notify_all();
      try {
        Band band = next.get();
        if (!failed) write(band);
      } catch (...) {
        std::lock_guard<std::mutex> hold(lock);
        if (!writeError) writeError = std::current_exception();
        failed = true;
      }
    }
  });

  std::exception_ptr readError;
  try {
    for (long k = 0; k < count; ++k) {
      {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return queue.size() < limit || failed; });
        if (failed) break;
      }
      Band band = read(k);
      std::future<Band> done =
          std::async(std::launch::async, [&work, b = std::move(band)]() mutable {
            work(b);
            return std::move(b);
          });
      {
        std::lock_guard<std::mutex> hold(lock);
        queue.push_back(std::move(done));
      }
      changed.notify_all();
    }
  } catch (...) {
    readError = std::current_exception();
    std::lock_guard<std::mutex> hold(lock);
    failed = true;
  }
  {
    std::lock_guard<std::mutex> hold(lock);
    readingDone = true;
  }
  changed.notify_all();
  writer.join();
  if (readError) std::rethrow_exception(readError);
  if (writeError) std::rethrow_exception(writeError);
}

}  // namespace cli
