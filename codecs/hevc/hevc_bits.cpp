// RBSP bit reader, start codes and emulation prevention.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"

namespace hevc {

void HevcBitReaderInit(HevcBitReader* br, const uint8_t* data, int32_t length, int32_t unitLength) {
  br->data = data;
  br->length = length < 0 ? 0 : length;
  br->pos = 0;
  br->overrun = 0;
  br->unitLength = unitLength;
}

uint32_t HevcReadBits(HevcBitReader* br, int n) {
  uint64_t v = 0;
  int64_t bits = static_cast<int64_t>(br->length) * 8;
  int64_t byte = br->pos >> 3;
  // five bytes cover any 32-bit field at any bit offset; bytes past the end read as 0
  for (int i = 0; i < 5; ++i) {
    int64_t b = byte + i;
    v = (v << 8) | (b < br->length ? br->data[b] : 0u);
  }
  int shift = 40 - static_cast<int>(br->pos & 7) - n;
  uint32_t r = static_cast<uint32_t>((v >> shift) & ((n == 32) ? 0xFFFFFFFFull : ((1ull << n) - 1)));
  br->pos += n;
  if (br->pos > bits) br->overrun = 1;
  return r;
}

void HevcSkipBits(HevcBitReader* br, int64_t n) {
  br->pos += n;
  if (br->pos > static_cast<int64_t>(br->length) * 8) br->overrun = 1;
}

uint32_t HevcReadBit(HevcBitReader* br) { return HevcReadBits(br, 1); }

uint32_t HevcReadUe(HevcBitReader* br) {
  int k = 0;
  while (HevcReadBit(br) == 0) {
    ++k;
    if (br->overrun || k > 32) return 0xFFFFFFFFu;
  }
  if (k == 0) return 0;
  uint64_t v = (1ull << k) - 1 + (k == 32 ? (static_cast<uint64_t>(HevcReadBits(br, 16)) << 16 | HevcReadBits(br, 16))
                                          : HevcReadBits(br, k));
  if (br->overrun || v > 0xFFFFFFFEull) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(v);
}

int32_t HevcReadSe(HevcBitReader* br) {
  uint32_t ue = HevcReadUe(br);
  if (ue == 0xFFFFFFFFu) return 0x7FFFFFFF;
  uint64_t b = static_cast<uint64_t>(ue) + 1;
  int64_t v = (b & 1) ? -static_cast<int64_t>(b >> 1) : static_cast<int64_t>(b >> 1);
  return static_cast<int32_t>(v);
}

int HevcMoreRbspData(HevcBitReader* br) {
  int64_t bits = static_cast<int64_t>(br->length) * 8;
  if (br->overrun || br->pos >= bits) return 0;
  // the last 1 bit of the RBSP is the stop bit
  int64_t last = br->length - 1;
  while (last >= 0 && br->data[last] == 0) --last;
  if (last < 0) return 0;
  int tz = 0;
  while (!((br->data[last] >> tz) & 1)) ++tz;
  int64_t stopPos = last * 8 + (7 - tz);
  return br->pos < stopPos ? 1 : 0;
}

// The first 00 00 01 or 00 00 00 01; zero bytes are rare in coded data, so
// the search goes from zero byte to zero byte.
const uint8_t* HevcFindStartCode(const uint8_t* p, int64_t len, int64_t* offset, int* scLen) {
  const uint8_t* end = p + len;
  const uint8_t* q = p;
  while (len >= 3 && end - q >= 3) {
    q = static_cast<const uint8_t*>(std::memchr(q, 0, static_cast<size_t>(end - 2 - q)));
    if (!q) break;
    if (q[1] != 0) {
      q += 2;
      continue;
    }
    if (end - q >= 4 && q[2] == 0 && q[3] == 1) {
      *offset = q - p;
      *scLen = 4;
      return q;
    }
    if (q[2] == 1) {
      *offset = q - p;
      *scLen = 3;
      return q;
    }
    ++q;
  }
  *offset = -1;
  *scLen = 0;
  return nullptr;
}

// In place (dst at most at unit + 2): the bytes from unit[2] on without the
// 03 that follows two zero bytes. The bytes between zero bytes are copied as
// runs.
int32_t HevcRemoveEmulationBytes(uint8_t* unit, int32_t len, uint8_t* dst) {
  int zeros = 0;
  int32_t n = 0;
  int32_t i = 2;
  while (i < len) {
    if (zeros == 0) {
      const void* z = std::memchr(unit + i, 0, static_cast<size_t>(len - i));
      const int32_t stop = z ? static_cast<int32_t>(static_cast<const uint8_t*>(z) - unit) : len;
      if (stop > i) {
        std::memmove(dst + n, unit + i, static_cast<size_t>(stop - i));
        n += stop - i;
        i = stop;
        continue;
      }
    }
    const uint8_t b = unit[i++];
    if (b == 3 && zeros == 2) {
      zeros = 0;
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    dst[n++] = b;
  }
  return n;
}

int HevcCeilLog2(uint32_t n) {
  int r = 0;
  while ((1ull << r) < n) ++r;
  return r;
}

}  // namespace hevc
