#include "util/ring_buf.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

uint32_t FreeSpace(const RingBuf* rb) { return rb->capacity - RingBufUsed(rb) - 1; }

// Copies n stored bytes starting at the read index, across the wrap.
void CopyOut(const RingBuf* rb, uint8_t* dst, uint32_t n) {
  uint32_t first = std::min(n, rb->capacity - rb->read);
  std::memcpy(dst, rb->data + rb->read, first);
  std::memcpy(dst + first, rb->data, n - first);
}

void CopyIn(RingBuf* rb, const uint8_t* src, uint32_t n) {
  uint32_t first = std::min(n, rb->capacity - rb->write);
  std::memcpy(rb->data + rb->write, src, first);
  std::memcpy(rb->data, src + first, n - first);
  rb->write = static_cast<uint32_t>((static_cast<uint64_t>(rb->write) + n) % rb->capacity);
}

}  // namespace

RingBuf* RingBufCreate(uint32_t capacity) {
  if (capacity == 0) return nullptr;
  RingBuf* rb = static_cast<RingBuf*>(std::malloc(sizeof(RingBuf) + capacity));
  if (!rb) return nullptr;
  rb->data = reinterpret_cast<uint8_t*>(rb + 1);
  rb->capacity = capacity;
  rb->read = 0;
  rb->write = 0;
  return rb;
}

uint32_t RingBufUsed(const RingBuf* rb) {
  return rb->write >= rb->read ? rb->write - rb->read : rb->capacity - rb->read + rb->write;
}

uint32_t RingBufPeek(const RingBuf* rb, void* dst, uint32_t n) {
  n = std::min(n, RingBufUsed(rb));
  if (n) CopyOut(rb, static_cast<uint8_t*>(dst), n);
  return n;
}

uint32_t RingBufRead(RingBuf* rb, void* dst, uint32_t n) {
  n = RingBufPeek(rb, dst, n);
  return RingBufSkip(rb, n);
}

uint32_t RingBufSkip(RingBuf* rb, uint32_t n) {
  uint32_t used = RingBufUsed(rb);
  n = std::min(n, used);
  if (n == used) {
    rb->read = rb->write;
  } else {
    rb->read = static_cast<uint32_t>((static_cast<uint64_t>(rb->read) + n) % rb->capacity);
  }
  return n;
}

int RingBufLacksSpace(const RingBuf* rb, uint32_t n) { return FreeSpace(rb) < n ? 1 : 0; }

void RingBufWrite(RingBuf* rb, const void* src, uint32_t n) {
  if (n == 0 || n > FreeSpace(rb)) return;
  CopyIn(rb, static_cast<const uint8_t*>(src), n);
}

uint32_t RingBufWriteSome(RingBuf* rb, const void* src, uint32_t n) {
  n = std::min(n, FreeSpace(rb));
  if (n) CopyIn(rb, static_cast<const uint8_t*>(src), n);
  return n;
}

int RingBufReadRegions(const RingBuf* rb, RingBufRegion regions[2]) {
  if (rb->write == rb->read) return 0;
  if (rb->write > rb->read) {
    regions[0] = {rb->data + rb->read, rb->write - rb->read};
    return 1;
  }
  regions[0] = {rb->data + rb->read, rb->capacity - rb->read};
  regions[1] = {rb->data, rb->write};
  return 2;
}
