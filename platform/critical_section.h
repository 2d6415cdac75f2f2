// Recursive critical section: the owning thread may enter it again.
#pragma once

#include <mutex>

namespace platform {

class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // Enters, waiting while another thread is inside; each Enter needs one Leave.
  void Enter() { mu_.lock(); }
  // Enters only when no other thread is inside; true when entered.
  bool TryEnter() { return mu_.try_lock(); }
  // Leaves once.
  void Leave() { mu_.unlock(); }

  // Lockable names, so std::lock_guard<CriticalSection> and std::unique_lock work.
  void lock() { Enter(); }
  bool try_lock() { return TryEnter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex mu_;
};

}  // namespace platform
