// Internal: a condition-variable wait bounded by a millisecond time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/tick.h"

namespace platform::detail {

// Waits on cv (lk held) until pred() holds or timeout_ms pass (kInfinite: no limit); returns pred().
template <class Lock, class Pred>
bool WaitFor(std::condition_variable& cv, Lock& lk, uint32_t timeout_ms, Pred pred) {
  if (timeout_ms == kInfinite) {
    cv.wait(lk, pred);
    return true;
  }
  return cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), pred);
}

}  // namespace platform::detail
