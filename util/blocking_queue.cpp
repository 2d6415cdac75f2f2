#include "util/blocking_queue.h"

#include <cstdlib>

BlockingQueue::~BlockingQueue() { Destroy(); }

bool BlockingQueue::Init(uint32_t capacity) {
  Destroy();
  space_.Reset();
  data_.Reset();
  ring_ = RingBufCreate(capacity);
  return ring_ != nullptr;
}

void BlockingQueue::Destroy() {
  std::free(ring_);
  ring_ = nullptr;
}

template <class Ready>
bool BlockingQueue::WaitUntil(platform::Event& ev, int timeout_ms, Ready ready) {
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(lock_);
      if (ready()) return true;
    }
    if (!ev.Wait(static_cast<uint32_t>(timeout_ms))) return false;
  }
}

int BlockingQueue::Get(void* dst, uint32_t n, int timeout_ms) {
  if (!ring_) return -1;
  if (!WaitUntil(data_, timeout_ms, [this] { return RingBufUsed(ring_) > 0; })) return -1;
  uint32_t got;
  {
    std::lock_guard<std::mutex> lk(lock_);
    got = RingBufRead(ring_, dst, n);
  }
  space_.Set();
  return static_cast<int>(got);
}

int BlockingQueue::GetN(void* dst, uint32_t n, int timeout_ms) {
  if (!ring_ || n > ring_->capacity - 1) return -1;
  if (!WaitUntil(data_, timeout_ms, [this, n] { return RingBufUsed(ring_) >= n; })) return -1;
  {
    std::lock_guard<std::mutex> lk(lock_);
    RingBufRead(ring_, dst, n);
  }
  space_.Set();
  return static_cast<int>(n);
}

int BlockingQueue::Put(const void* data, uint32_t n, int timeout_ms) {
  if (!ring_) return 0;
  if (!WaitUntil(space_, timeout_ms, [this] { return !RingBufLacksSpace(ring_, 1); })) return 0;
  uint32_t put;
  {
    std::lock_guard<std::mutex> lk(lock_);
    put = RingBufWriteSome(ring_, data, n);
  }
  data_.Set();
  return static_cast<int>(put);
}

int BlockingQueue::PutN(const void* data, uint32_t n, int timeout_ms) {
  if (!ring_ || n > ring_->capacity - 1) return 0;
  if (!WaitUntil(space_, timeout_ms, [this, n] { return !RingBufLacksSpace(ring_, n); })) return 0;
  {
    std::lock_guard<std::mutex> lk(lock_);
    RingBufWrite(ring_, data, n);
  }
  data_.Set();
  return static_cast<int>(n);
}
