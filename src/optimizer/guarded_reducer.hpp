// An IncrementalReducer shared between threads: one mutex around it, and a
// poisoned mark once an operation has failed abnormally while holding the
// mutex (the reducer may then be half-changed, so nothing may use it again).
//
// The mutex is always taken before any store lock: operations that read a
// store do so inside `run`, through the store's own short critical sections.
#pragma once

#include <atomic>
#include <mutex>
#include <utility>

#include "error.hpp"
#include "optimizer/incremental.hpp"

namespace korvane {

inline constexpr const char* kReducerPoisonedMessage = "incremental reducer poisoned";

class GuardedReducer {
 public:
  // How a thread waits for the mutex when another thread holds it; must
  // return with the mutex locked. The default simply blocks.
  using Waiter = void (*)(std::mutex& mutex);

  // Runs `work(reducer)` holding the mutex and returns what it returns.
  // Throws InternalError with kReducerPoisonedMessage on a poisoned reducer;
  // an exception leaving `work` poisons the reducer and propagates.
  template <class Work>
  decltype(auto) run(Work&& work, Waiter waiter = nullptr) {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
      if (waiter != nullptr) {
        waiter(mutex_);
        lock = std::unique_lock<std::mutex>(mutex_, std::adopt_lock);
      } else {
        lock.lock();
      }
    }
    if (poisoned_.load(std::memory_order_acquire)) throw InternalError(kReducerPoisonedMessage);
    try {
      return std::forward<Work>(work)(reducer_);
    } catch (...) {
      poisoned_.store(true, std::memory_order_release);
      throw;
    }
  }

  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  IncrementalReducer reducer_;
};

}  // namespace korvane
