// The threading and clock facilities the library uses, over the platform
// layer, so that the whole library switches primitives in one place.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/semaphore.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace p2p {

// Milliseconds of a monotonic clock, wrapping at 2^32 like a system tick count.
inline uint32_t TickMs() { return platform::GetTickCount(); }
// Seconds since 1970.
int64_t NowSec();
inline void SleepMs(unsigned ms) { platform::Sleep(ms); }

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

// A counting semaphore with a maximum count (the channel semaphores count 0..1);
// a release beyond the maximum is ignored.
class Semaphore : public platform::Semaphore {
 public:
  explicit Semaphore(int initial = 0, int maximum = 1) : platform::Semaphore(initial, maximum) {}
};

// Test hook: whether the next start of a thread of this name is to fail (and
// the hook is used up).
bool TestThreadStartFails(const char* name);

// A joinable, named thread with an owner; never detached.
class Thread {
 public:
  // false when the thread could not be started.
  bool Start(const char* name, std::function<void()> fn) {
    Join();
    if (TestThreadStartFails(name)) return false;
    return t_.Start(name, [fn = std::move(fn)] {
      fn();
      return 0u;
    });
  }
  void Join() { t_.Join(); }
  bool Running() const { return t_.Joinable(); }

 private:
  platform::Thread t_;
};

}  // namespace p2p

// Test hook: the next start of a library thread with this name fails, as when
// the system can make no more threads (null: none fails).
void RVP_TestFailThreadStart(const char* name);
