#include "platform/event.h"

#include <algorithm>
#include <chrono>

#include "platform/wait_util.h"

namespace platform {

namespace detail {
// One thread inside WaitForEvents; registered with each event it waits on so that Set can wake it.
struct MultiWaiter {
  std::mutex mu;
  std::condition_variable cv;
  bool woken = false;
};
}  // namespace detail

Event::Event(bool manual_reset, bool initially_set) : set_(initially_set), manual_(manual_reset) {}

void Event::Set() {
  std::lock_guard<std::mutex> lk(mu_);
  set_ = true;
  if (manual_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
  for (detail::MultiWaiter* w : waiters_) {
    std::lock_guard<std::mutex> wl(w->mu);
    w->woken = true;
    w->cv.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> lk(mu_);
  set_ = false;
}

bool Event::Wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lk(mu_);
  if (!detail::WaitFor(cv_, lk, timeout_ms, [this] { return set_; })) return false;
  if (!manual_) set_ = false;
  return true;
}

namespace {

// Locks a set of events in address order so that concurrent multi-waits cannot deadlock.
class LockAll {
 public:
  explicit LockAll(const std::vector<Event*>& sorted, std::mutex Event::*mu) : sorted_(sorted), mu_(mu) {}
  void lock() {
    for (Event* e : sorted_) (e->*mu_).lock();
  }
  void unlock() {
    for (auto it = sorted_.rbegin(); it != sorted_.rend(); ++it) ((*it)->*mu_).unlock();
  }

 private:
  const std::vector<Event*>& sorted_;
  std::mutex Event::*mu_;
};

}  // namespace

int WaitForEvents(Event* const* events, size_t count, bool wait_all, uint32_t timeout_ms) {
  if (!events || count == 0) return kWaitFailed;
  std::vector<Event*> sorted(events, events + count);
  std::sort(sorted.begin(), sorted.end());
  if (sorted.front() == nullptr || std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
    return kWaitFailed;

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  detail::MultiWaiter waiter;
  bool registered = false;
  bool last_try = false;
  LockAll all(sorted, &Event::mu_);
  for (;;) {
    std::unique_lock<LockAll> lk(all);
    int result = kWaitTimeout;
    if (wait_all) {
      if (std::all_of(sorted.begin(), sorted.end(), [](Event* e) { return e->set_; })) {
        for (Event* e : sorted)
          if (!e->manual_) e->set_ = false;
        result = 0;
      }
    } else {
      for (size_t i = 0; i < count; ++i) {
        if (events[i]->set_) {
          if (!events[i]->manual_) events[i]->set_ = false;
          result = static_cast<int>(i);
          break;
        }
      }
    }
    if (result != kWaitTimeout || last_try) {
      if (registered) {
        for (Event* e : sorted) std::erase(e->waiters_, &waiter);
      }
      return result;
    }
    if (!registered) {
      for (Event* e : sorted) e->waiters_.push_back(&waiter);
      registered = true;
    }
    {
      // Cleared while every event is locked, so a Set from now on is seen.
      std::lock_guard<std::mutex> wl(waiter.mu);
      waiter.woken = false;
    }
    lk.unlock();

    std::unique_lock<std::mutex> wl(waiter.mu);
    if (timeout_ms == kInfinite) {
      waiter.cv.wait(wl, [&] { return waiter.woken; });
    } else if (!waiter.cv.wait_until(wl, deadline, [&] { return waiter.woken; })) {
      last_try = true;  // one more look under the locks, then time out
    }
  }
}

}  // namespace platform
