// RingBuf: a byte ring in one allocation (header, then the data). One byte is always kept free, so a ring of
// capacity C holds at most C - 1 bytes and read == write means empty. No locking: callers serialise.
#pragma once

#include <cstdint>

struct RingBuf {
  uint8_t* data;  // the bytes right after this header
  uint32_t capacity;
  uint32_t read;   // 0 .. capacity - 1
  uint32_t write;  // 0 .. capacity - 1
};

// One contiguous run of stored bytes.
struct RingBufRegion {
  uint8_t* data;
  uint32_t len;
};

// A new empty ring (released with free), or null when out of memory or capacity is 0.
RingBuf* RingBufCreate(uint32_t capacity);
// Bytes stored.
uint32_t RingBufUsed(const RingBuf* rb);
// Copies min(n, stored) bytes from the read side without consuming them; returns the count.
uint32_t RingBufPeek(const RingBuf* rb, void* dst, uint32_t n);
// Like RingBufPeek, then consumes the bytes copied.
uint32_t RingBufRead(RingBuf* rb, void* dst, uint32_t n);
// Drops min(n, stored) bytes; returns the count.
uint32_t RingBufSkip(RingBuf* rb, uint32_t n);
// 1 when the free space is smaller than n.
int RingBufLacksSpace(const RingBuf* rb, uint32_t n);
// Stores all n bytes; n must fit the free space (when it does not, nothing is stored and the ring is
// unchanged).
void RingBufWrite(RingBuf* rb, const void* src, uint32_t n);
// Stores min(n, free space) bytes; returns the count.
uint32_t RingBufWriteSome(RingBuf* rb, const void* src, uint32_t n);
// The stored bytes as regions[0..result): 0 when empty, 1 when they do not wrap, 2 when they do.
int RingBufReadRegions(const RingBuf* rb, RingBufRegion regions[2]);
