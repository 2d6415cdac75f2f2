// The arithmetic decoding engine, inline for the syntax parsers. The offset is
// kept scaled: ulValue holds the 9-bit offset followed by iBits bits read ahead,
// so renormalising only lowers iBits and the stream is read 32 bits at a time.
#pragma once

#include <cstdint>

#include "codecs/hevc/hevc_tables.h"

namespace hevc {

struct HevcCabacEngine {
  const uint8_t* pucStart;
  uint64_t uiSize;     // bytes from pucStart; bytes past it read as 0
  uint64_t uiBytePos;  // bytes loaded into ulValue
  uint64_t ulValue;
  int32_t iBits;       // bits of ulValue below the offset
  uint32_t uiRange;
};

// keeps at least 8 bits below the offset
inline void HevcCabacRefill(HevcCabacEngine* e) {
  uint32_t v;
  const uint64_t pos = e->uiBytePos;
  if (pos + 4 <= e->uiSize) {
    const uint8_t* p = e->pucStart + pos;
    v = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
        (static_cast<uint32_t>(p[2]) << 8) | p[3];
  } else {
    v = 0;
    for (uint64_t i = 0; i < 4; ++i) v = (v << 8) | (pos + i < e->uiSize ? e->pucStart[pos + i] : 0u);
  }
  e->ulValue = (e->ulValue << 32) | v;
  e->iBits += 32;
  e->uiBytePos = pos + 4;
}

// bits consumed from pucStart, the 9 offset bits included
inline uint64_t HevcCabacBitPos(const HevcCabacEngine* e) { return e->uiBytePos * 8 - e->iBits; }

inline void HevcCabacEngineStart(HevcCabacEngine* e, const uint8_t* start, uint64_t size) {
  e->pucStart = start;
  e->uiSize = size;
  e->uiBytePos = 0;
  e->ulValue = 0;
  e->iBits = -9;
  e->uiRange = 510;
  HevcCabacRefill(e);
}

inline int HevcCabacEngineBin(HevcCabacEngine* e, uint8_t* ctx) {
  if (e->iBits < 8) HevcCabacRefill(e);
  const unsigned state = *ctx;  // state << 1 | valMps
  const uint32_t lps = (kHevcRangeLpsPacked[state] >> ((e->uiRange >> 3) & 24)) & 0xff;
  uint32_t range = e->uiRange - lps;
  const uint64_t scaled = static_cast<uint64_t>(range) << e->iBits;
  int bin = static_cast<int>(state & 1);
  if (e->ulValue >= scaled) {
    bin ^= 1;
    e->ulValue -= scaled;
    *ctx = kHevcNextCtxState[128 + state];
    // an LPS range is at least 6
    const int n = __builtin_clz(lps) - 23;
    e->uiRange = lps << n;
    e->iBits -= n;
  } else {
    *ctx = kHevcNextCtxState[state];
    // after an MPS the range is at least 128: one doubling at most
    const int n = range < 256;
    e->uiRange = range << n;
    e->iBits -= n;
  }
  return bin;
}

inline int HevcCabacEngineBypass(HevcCabacEngine* e) {
  if (e->iBits < 8) HevcCabacRefill(e);
  --e->iBits;
  const uint64_t scaled = static_cast<uint64_t>(e->uiRange) << e->iBits;
  if (e->ulValue >= scaled) {
    e->ulValue -= scaled;
    return 1;
  }
  return 0;
}

inline int HevcCabacEngineTerminate(HevcCabacEngine* e) {
  if (e->iBits < 8) HevcCabacRefill(e);
  e->uiRange -= 2;
  if (e->ulValue >= static_cast<uint64_t>(e->uiRange) << e->iBits) return 1;
  if (e->uiRange < 256) {
    e->uiRange <<= 1;
    --e->iBits;
  }
  return 0;
}

}  // namespace hevc
