#include "p2p/sys.h"

#include <system_error>

namespace p2p {

uint32_t TickMs() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int64_t NowSec() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void Semaphore::Release() {
  std::lock_guard<std::mutex> g(m_);
  if (count_ < max_) {
    ++count_;
    cv_.notify_one();
  }
}

bool Semaphore::Wait(unsigned timeout_ms) {
  std::unique_lock<std::mutex> g(m_);
  if (!cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

bool Thread::Start(std::function<void()> fn) {
  Join();
  try {
    t_ = std::thread(std::move(fn));
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void Thread::Join() {
  if (t_.joinable()) t_.join();
}

}  // namespace p2p
