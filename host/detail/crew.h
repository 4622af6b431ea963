#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Helper threads kept for the phases of one computation: each phase hands
// them its items, instead of starting and joining threads anew (about 50 us
// a phase on a virtual machine). Between phases the helpers spin briefly,
// then block.
class kcCrew {
 public:
  // Up to threads - 1 helpers (fewer when the system refuses a thread); the
  // calling thread is the last member.
  explicit kcCrew(std::size_t threads);
  kcCrew(const kcCrew&) = delete;
  kcCrew& operator=(const kcCrew&) = delete;
  ~kcCrew();

  // work(i) for i in 0 .. n - 1, items taken in turn by every member; once
  // all are done, the failure of the lowest item that failed is rethrown.
  // Not reentrant: work must not call forEach.
  void forEach(std::size_t n, const std::function<void(std::size_t)>& work);

 private:
  template <class Change>
  void signal(std::condition_variable& waiters, Change change);
  template <class Ready>
  void await(std::condition_variable& waiters, Ready ready);
  void takeItems();
  void serve();

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(std::size_t)>* work_ = nullptr;
  std::size_t items_ = 0;
  std::atomic<std::size_t> next_{0}, phase_{0}, working_{0};
  std::atomic<bool> stopping_{false};
  std::vector<std::exception_ptr> failures_;
  std::vector<std::thread> helpers_;
};
