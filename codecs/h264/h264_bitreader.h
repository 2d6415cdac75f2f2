// RBSP bit reader: u(n), ue(v), se(v) and more_rbsp_data over a unit in the
// NAL buffer. Reads beyond the unit see zero bits; the position stops at the
// reader's limit, so no read leaves the buffer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "codecs/h264/h264_internal.h"

// Sets the reader over a unit of `bytes` bytes whose buffer has at least
// kH264NalGuard zeroed bytes behind it.
inline void H264BitReaderInit(H264DecBitReader* br, const uint8_t* data, uint32_t bytes) {
  br->data = data;
  br->size = bytes + kH264NalGuard;
  br->bitLength = bytes ? (bytes - 1) * 8 : 0;
  br->pos = 0;
  br->limit = (bytes + 8) * 8;
}

// The next 32 bits, most significant first.
// One unaligned 8-byte load: the position never passes the limit, eight
// bytes past the unit, and the guard zone covers the rest.
inline uint32_t H264PeekBits32(const H264DecBitReader* br) {
  uint64_t v;
  std::memcpy(&v, br->data + (br->pos >> 3), sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return static_cast<uint32_t>((v << (br->pos & 7)) >> 32);
}

inline void H264SkipBits(uint32_t n, H264DecBitReader* br) {
  uint32_t pos = br->pos + n;
  br->pos = pos > br->limit || pos < br->pos ? br->limit : pos;
}

// n from 1 to 32.
inline uint32_t H264ReadBits(int n, H264DecBitReader* br) {
  uint32_t v = H264PeekBits32(br) >> (32 - n);
  H264SkipBits(static_cast<uint32_t>(n), br);
  return v;
}

inline uint32_t H264ReadFlag(H264DecBitReader* br) { return H264ReadBits(1, br); }

// ue(v). 32 leading zeros give 0xFFFFFFFF, which every caller refuses.
inline uint32_t H264ReadUe(H264DecBitReader* br) {
  uint32_t bits = H264PeekBits32(br);
  int zeros = std::countl_zero(bits);
  if (zeros >= 16) {
    if (zeros == 32) {
      H264SkipBits(32, br);
      return 0xFFFFFFFFu;
    }
    H264SkipBits(static_cast<uint32_t>(zeros), br);
    uint32_t v = H264ReadBits(zeros + 1, br);
    return v - 1;
  }
  H264SkipBits(static_cast<uint32_t>(2 * zeros + 1), br);
  return (bits >> (31 - 2 * zeros)) - 1;
}

inline int32_t H264ReadSe(H264DecBitReader* br) {
  uint32_t k = H264ReadUe(br);
  return (k & 1) ? static_cast<int32_t>((k >> 1) + 1) : -static_cast<int32_t>(k >> 1);
}

// more_rbsp_data(): the unit's last byte holds the stop bit.
inline int H264MoreRbspData(const H264DecBitReader* br) {
  if (br->pos < br->bitLength) return 1;
  if (br->pos >= br->bitLength + 8) return 0;
  uint32_t left = br->bitLength + 8 - br->pos;  // 1..8 bits of the last byte
  uint32_t bits = H264PeekBits32(br) >> (32 - left);
  return bits != (1u << (left - 1));
}

inline int H264ByteAligned(const H264DecBitReader* br) { return (br->pos & 7) == 0; }
