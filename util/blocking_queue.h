// BlockingQueue: a byte pipe over a RingBuf for one producer thread and one consumer thread. Time-outs are in
// milliseconds, -1 = no limit; each wait for data or space is bounded by the time-out on its own.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/event.h"
#include "util/ring_buf.h"

class BlockingQueue {
 public:
  BlockingQueue() = default;
  // Destroy().
  ~BlockingQueue();
  BlockingQueue(const BlockingQueue&) = delete;
  BlockingQueue& operator=(const BlockingQueue&) = delete;

  // Makes the ring of capacity bytes (capacity - 1 usable); false when out of memory (the queue then holds no
  // ring and every transfer fails at once).
  bool Init(uint32_t capacity);
  // Frees the ring.
  void Destroy();
  // Waits until a byte is stored, then takes up to n; the count taken, or -1 on time-out.
  int Get(void* dst, uint32_t n, int timeout_ms);
  // Waits until n bytes are stored, then takes exactly n; n, or -1 on time-out or when n can never be stored.
  int GetN(void* dst, uint32_t n, int timeout_ms);
  // Waits until a byte is free, then stores as much of data as fits; the count stored, or 0 on time-out.
  int Put(const void* data, uint32_t n, int timeout_ms);
  // Waits until n bytes are free, then stores all n; n, or 0 on time-out or when n exceeds capacity - 1.
  int PutN(const void* data, uint32_t n, int timeout_ms);

 private:
  // Waits on ev until ready() holds (tested under the lock); false when a wait times out.
  template <class Ready>
  bool WaitUntil(platform::Event& ev, int timeout_ms, Ready ready);

  RingBuf* ring_ = nullptr;
  std::mutex lock_;
  platform::Event space_{false};  // set after every read
  platform::Event data_{false};   // set after every write
};
