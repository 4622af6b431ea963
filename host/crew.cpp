#include "host/detail/crew.h"

#include <system_error>

namespace {

// Phases follow each other within a few tens of microseconds, about what
// waking a blocked thread takes: a waiter spins this long before it blocks.
constexpr std::chrono::microseconds kSpin{200};

}  // namespace

kcCrew::kcCrew(std::size_t threads) {
  try {
    for (std::size_t t = 1; t < threads; ++t) helpers_.emplace_back([this] { serve(); });
  } catch (const std::system_error&) {  // work with the helpers there are
  }
}

kcCrew::~kcCrew() {
  signal(wake_, [this] { stopping_ = true; });
  for (std::thread& t : helpers_) t.join();
}

void kcCrew::forEach(std::size_t n, const std::function<void(std::size_t)>& work) {
  // The helpers are waiting: they read these only once the phase changes.
  failures_.assign(n, nullptr);
  work_ = &work;
  items_ = n;
  next_ = 0;
  working_ = helpers_.size();
  signal(wake_, [this] { ++phase_; });
  takeItems();
  await(done_, [this] { return working_ == 0; });
  for (const std::exception_ptr& failure : failures_)
    if (failure) std::rethrow_exception(failure);
}

// change() under the lock, so that no blocked waiter misses it, then the
// wake-up.
template <class Change>
void kcCrew::signal(std::condition_variable& waiters, Change change) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    change();
  }
  waiters.notify_all();
}

template <class Ready>
void kcCrew::await(std::condition_variable& waiters, Ready ready) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > until) {
      std::unique_lock<std::mutex> lock(mutex_);
      waiters.wait(lock, ready);
      return;
    }
    std::this_thread::yield();
  }
}

void kcCrew::takeItems() {
  for (std::size_t i = next_++; i < items_; i = next_++) {
    try {
      (*work_)(i);
    } catch (...) {
      failures_[i] = std::current_exception();
    }
  }
}

void kcCrew::serve() {
  for (std::size_t seen = 0;;) {
    await(wake_, [&] { return stopping_ || phase_ != seen; });
    if (stopping_) return;
    seen = phase_;
    takeItems();
    if (--working_ == 0) signal(done_, [] {});
  }
}
