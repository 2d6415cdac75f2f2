// MSB-first bit reader over a bounded buffer, for the parameter-set parsers of
// the MP4 writer, the decode front and the tools. Reading past the end gives zeros and
// sets `failed`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bits {

struct BitReader {
  const uint8_t* data;
  size_t size;
  uint64_t pos = 0;  // in bits
  bool failed = false;

  BitReader(const uint8_t* d, size_t n) : data(d), size(n) {}
  uint32_t Bit() {
    if (pos >= uint64_t{size} * 8) {
      failed = true;
      return 0;
    }
    uint32_t b = (data[pos >> 3] >> (7 - (pos & 7))) & 1;
    ++pos;
    return b;
  }
  uint32_t Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | Bit();
    return v;
  }
  void Skip(uint64_t bits) {
    pos += bits;
    if (pos > uint64_t{size} * 8) failed = true;
  }
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0) {
      if (failed || ++zeros > 31) {
        failed = true;
        return 0;
      }
    }
    if (zeros == 0) return 0;
    return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + Bits(zeros));
  }
  int32_t Se() {
    uint32_t k = Ue();
    return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }
};

// Skips one H.264 scaling list; false for a delta outside -128..127, which no
// valid list holds (and which would overflow the running sum).
inline bool SkipScalingList(BitReader* br, int size) {
  int32_t last = 8, next = 8;
  for (int j = 0; j < size && !br->failed; ++j) {
    if (next != 0) {
      int32_t delta = br->Se();
      if (delta < -128 || delta > 127) return false;
      next = (last + delta + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
  return true;
}

// Skips the sub-layer part of an HEVC profile_tier_level, which follows its general part, for
// maxSubLayersMinus1 (three bits) sub-layers.
inline void SkipHevcSubLayers(BitReader* br, uint32_t maxSubLayersMinus1) {
  const uint32_t n = maxSubLayersMinus1 & 7;
  bool profile[8] = {}, level[8] = {};
  for (uint32_t i = 0; i < n; ++i) {
    profile[i] = br->Bit();
    level[i] = br->Bit();
  }
  if (n > 0) br->Skip(2 * (8 - n));
  for (uint32_t i = 0; i < n; ++i) br->Skip((profile[i] ? 88 : 0) + (level[i] ? 8 : 0));
}

}  // namespace bits
