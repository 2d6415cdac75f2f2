// Manual- and auto-reset events with timed waits and wait-for-multiple.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "platform/tick.h"

namespace platform {

namespace detail {
struct MultiWaiter;
}

class Event {
 public:
  // A manual-reset event stays set until Reset; an auto-reset event is reset by the one wait it releases.
  explicit Event(bool manual_reset, bool initially_set = false);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Sets the event: releases every waiter (manual) or one waiter (auto-reset).
  void Set();
  // Clears the event.
  void Reset();
  // Waits until the event is set or timeout_ms pass; true when it was set (an auto-reset event is then
  // clear).
  bool Wait(uint32_t timeout_ms = kInfinite);

 private:
  friend int WaitForEvents(Event* const* events, size_t count, bool wait_all, uint32_t timeout_ms);
  std::mutex mu_;
  std::condition_variable cv_;
  bool set_;
  const bool manual_;
  std::vector<detail::MultiWaiter*> waiters_;  // threads in WaitForEvents on this event
};

// Results of WaitForEvents besides an index.
constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;

// Waits for any (the lowest set index is returned and only that event consumed) or all of the events (all
// consumed at once, 0 returned); kWaitTimeout after timeout_ms, kWaitFailed for no events, a null or a
// repeated event.
int WaitForEvents(Event* const* events, size_t count, bool wait_all, uint32_t timeout_ms);
// The same over a braced list of events.
inline int WaitForEvents(std::initializer_list<Event*> events, bool wait_all, uint32_t timeout_ms) {
  return WaitForEvents(events.begin(), events.size(), wait_all, timeout_ms);
}

}  // namespace platform
