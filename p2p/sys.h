// Small wrappers over the threading and clock facilities the library uses, so
// that the whole library switches to other primitives in one place.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace p2p {

// Milliseconds of a monotonic clock, wrapping at 2^32 like a system tick count.
uint32_t TickMs();
// Seconds since 1970.
int64_t NowSec();
void SleepMs(unsigned ms);

class Mutex {
 public:
  void Lock() { m_.lock(); }
  void Unlock() { m_.unlock(); }
  // For std::lock_guard / std::unique_lock.
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }

 private:
  std::mutex m_;
};

// A counting semaphore with a maximum count; Release beyond the maximum is
// ignored (the channel semaphores count 0..1).
class Semaphore {
 public:
  explicit Semaphore(int initial = 0, int maximum = 1) : count_(initial), max_(maximum) {}
  void Release();
  // true when taken, false on time-out.
  bool Wait(unsigned timeout_ms);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int count_;
  int max_;
};

// A joinable thread with an owner; never detached.
class Thread {
 public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread() { Join(); }
  // false when the thread could not be started.
  bool Start(std::function<void()> fn);
  void Join();
  bool Running() const { return t_.joinable(); }

 private:
  std::thread t_;
};

}  // namespace p2p
