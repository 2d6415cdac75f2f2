// Periodic timer thread with the behaviour of a multimedia timer: fixed period, callback on the timer's own
// thread, kill waits for a running callback.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/thread.h"

namespace platform {

class MmTimer {
 public:
  using Callback = std::function<void()>;

  MmTimer() = default;
  // Kills the timer. Must not run on the timer's own thread.
  ~MmTimer();
  MmTimer(const MmTimer&) = delete;
  MmTimer& operator=(const MmTimer&) = delete;

  // Calls cb every period_ms (the first call one period after the start) on a thread named name; ticks keep
  // their phase and ticks missed by a late callback are skipped, not bunched. False when running, period 0 or
  // no cb.
  bool Start(uint32_t period_ms, Callback cb, const std::string& name = "mm_timer");
  // Stops the timer; waits for a callback in progress. From inside the callback it only stops further calls.
  void Kill();
  // True between Start and Kill.
  bool Running();

 private:
  void Loop(uint32_t period_ms);

  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = true;
  Callback cb_;
  Thread thread_;
};

}  // namespace platform
