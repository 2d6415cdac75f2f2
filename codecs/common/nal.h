// NAL units of Annex B streams, for the parameter-set parsers outside the decoders (the decoders keep
// their own, tuned readers).
#pragma once

#include <cstdint>

namespace bits {

// Copies src into dst with every 00 00 03 turned into 00 00; returns the new length (at most len).
inline uint32_t RemoveEmulation(const uint8_t* src, uint32_t len, uint8_t* dst) {
  uint32_t out = 0;
  int zeros = 0;
  for (uint32_t i = 0; i < len; ++i) {
    const uint8_t b = src[i];
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    dst[out++] = b;
  }
  return out;
}

// Walks the NAL units of a sample, each after a 4-byte start code 00 00 00 01. On entry *pos is where to
// search from; on success the unit is [*nal, *nal + *nalLen) and *pos is moved past it.
inline bool NextNal(const uint8_t* data, uint32_t len, uint32_t* pos, uint32_t* nal, uint32_t* nalLen) {
  auto isStart = [&](uint32_t i) {
    return data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1;
  };
  uint32_t i = *pos;
  while (i + 4 <= len && !isStart(i)) ++i;
  if (i + 4 > len) return false;
  const uint32_t start = i + 4;
  uint32_t j = start;
  while (j + 4 <= len && !isStart(j)) ++j;
  const uint32_t end = j + 4 <= len ? j : len;
  *nal = start;
  *nalLen = end - start;
  *pos = end;
  return true;
}

}  // namespace bits
