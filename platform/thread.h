// Named threads with start, timed wait and join. Every thread has an owner that joins it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/tick.h"

namespace platform {

class Event;

// Longest thread name the system keeps (Linux: 15 bytes); longer names are cut.
constexpr size_t kMaxThreadName = 15;

class Thread {
 public:
  using Func = std::function<uint32_t()>;

  Thread();
  // Joins a thread that was started and not yet joined.
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Runs fn on a new thread named name; false when a thread is already held or none can be made.
  bool Start(const std::string& name, Func fn);
  // Waits up to timeout_ms for the thread function to return; true when it has (or nothing was started).
  bool Wait(uint32_t timeout_ms = kInfinite);
  // Waits for the thread to end and returns fn's result; 0 when no thread is held.
  uint32_t Join();
  // True between Start and Join.
  bool Joinable() const { return thread_.joinable(); }
  // True when called on this object's thread.
  bool IsCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

 private:
  std::thread thread_;
  std::unique_ptr<Event> done_;
  uint32_t result_ = 0;
};

// Names the calling thread (cut to kMaxThreadName bytes).
void SetCurrentThreadName(const std::string& name);
// The calling thread's name.
std::string CurrentThreadName();

}  // namespace platform
