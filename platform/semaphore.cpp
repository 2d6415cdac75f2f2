#include "platform/semaphore.h"

#include "platform/wait_util.h"

namespace platform {

Semaphore::Semaphore(int32_t initial_count, int32_t maximum_count)
    : count_(initial_count < 0 ? 0 : initial_count), max_(maximum_count) {}

bool Semaphore::Wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lk(mu_);
  if (!detail::WaitFor(cv_, lk, timeout_ms, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

bool Semaphore::Release(int32_t count, int32_t* previous) {
  std::lock_guard<std::mutex> lk(mu_);
  if (previous) *previous = count_;
  if (count <= 0 || count > max_ - count_) return false;
  count_ += count;
  if (count == 1) {
    cv_.notify_one();
  } else {
    cv_.notify_all();
  }
  return true;
}

int32_t Semaphore::Count() {
  std::lock_guard<std::mutex> lk(mu_);
  return count_;
}

}  // namespace platform
