#include "platform/mm_timer.h"

#include <chrono>

namespace platform {

MmTimer::~MmTimer() { Kill(); }

bool MmTimer::Start(uint32_t period_ms, Callback cb, const std::string& name) {
  if (period_ms == 0 || !cb) return false;
  if (thread_.IsCurrent()) return false;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (!stop_) return false;
  }
  thread_.Join();  // a timer killed from its own callback is joined here
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = false;
    cb_ = std::move(cb);
  }
  if (!thread_.Start(name, [this, period_ms] {
        Loop(period_ms);
        return 0u;
      })) {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    return false;
  }
  return true;
}

void MmTimer::Kill() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (!thread_.IsCurrent()) thread_.Join();
}

bool MmTimer::Running() {
  std::lock_guard<std::mutex> lk(mu_);
  return !stop_;
}

void MmTimer::Loop(uint32_t period_ms) {
  using Clock = std::chrono::steady_clock;
  const auto period = std::chrono::milliseconds(period_ms);
  auto next = Clock::now() + period;
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    if (cv_.wait_until(lk, next, [this] { return stop_; })) return;
    lk.unlock();
    cb_();
    lk.lock();
    next += period;
    auto now = Clock::now();
    if (next <= now) next += ((now - next) / period + 1) * period;
  }
}

}  // namespace platform
