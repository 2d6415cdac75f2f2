// Counting semaphore with timed waits.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/tick.h"

namespace platform {

class Semaphore {
 public:
  // A semaphore holding initial_count, never more than maximum_count.
  explicit Semaphore(int32_t initial_count = 0, int32_t maximum_count = INT32_MAX);
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Takes one count, waiting up to timeout_ms for one; false on time-out.
  bool Wait(uint32_t timeout_ms = kInfinite);
  // Adds count (> 0); false, changing nothing, when the maximum would be passed. previous gets the count
  // before.
  bool Release(int32_t count = 1, int32_t* previous = nullptr);
  // The current count (for tests and diagnostics).
  int32_t Count();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int32_t count_;
  const int32_t max_;
};

}  // namespace platform
