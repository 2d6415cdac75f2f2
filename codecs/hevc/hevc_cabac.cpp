// Arithmetic decoding engine, context initialisation and the substream
// starts at slices, tiles and wavefront rows.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/hevc_tables.h"

namespace hevc {
namespace {

// n (0..25) bits at the engine's position; bytes past the end read as 0.
inline uint32_t ReadBits(HevcCabac* c, int n) {
  if (n == 0) return 0;
  const uint64_t pos = c->uiBitPos;
  const uint64_t byte = pos >> 3;
  const uint64_t size = static_cast<uint64_t>(c->pucEnd - c->pucStart);
  uint32_t v = 0;
  if (byte + 4 <= size) {
    const uint8_t* p = c->pucStart + byte;
    v = (static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
  } else {
    for (int i = 0; i < 4; ++i) v = (v << 8) | (byte + i < size ? c->pucStart[byte + i] : 0u);
  }
  c->uiBitPos = pos + n;
  return (v << (pos & 7)) >> (32 - n);
}

// the shift that brings a range below 256 back to 256..510; a range is never
// 0 here (after an LPS it is at least 6)
inline int NormShift(uint32_t range) { return __builtin_clz(range) - 23; }

}  // namespace

void HevcCabacStart(HevcCabac* c, const uint8_t* start, const uint8_t* end) {
  c->pucStart = start;
  c->pucEnd = end < start ? start : end;
  c->uiBitPos = 0;
  c->uiRange = 510;
  c->uiOffset = ReadBits(c, 9);
}

void HevcCabacInitContexts(HevcCabac* c, int sliceType, int cabacInitFlag, int sliceQpY) {
  int initType = sliceType == 2 ? 0 : sliceType == 1 ? (cabacInitFlag ? 2 : 1) : (cabacInitFlag ? 1 : 2);
  int qp = sliceQpY < 0 ? 0 : sliceQpY > 51 ? 51 : sliceQpY;
  const uint8_t* init = kHevcCabacInitTable + initType * 183;
  for (int i = 0; i < 183; ++i) {
    int v = init[i];
    int m = (v >> 4) * 5 - 45, n = ((v & 15) << 3) - 16;
    int pre = ((m * qp) >> 4) + n;
    pre = pre < 1 ? 1 : pre > 126 ? 126 : pre;
    int mps = pre <= 63 ? 0 : 1;
    int state = mps ? pre - 64 : 63 - pre;
    c->aucCtxState[i] = static_cast<uint8_t>((state << 1) | mps);
  }
}

int HevcCabacDecodeBin(HevcCabac* c, uint8_t* ctx) {
  int s = *ctx >> 1, mps = *ctx & 1;
  uint32_t lps = kHevcRangeTabLps[s * 4 + ((c->uiRange >> 6) & 3)];
  c->uiRange -= lps;
  int bin;
  if (c->uiOffset >= c->uiRange) {
    bin = !mps;
    c->uiOffset -= c->uiRange;
    c->uiRange = lps;
    if (s == 0) mps = 1 - mps;
    s = kHevcTransIdxLps[s];
  } else {
    bin = mps;
    s = kHevcTransIdxMps[s];
  }
  *ctx = static_cast<uint8_t>((s << 1) | mps);
  if (c->uiRange < 256) {
    int n = NormShift(c->uiRange);
    c->uiRange <<= n;
    c->uiOffset = (c->uiOffset << n) | ReadBits(c, n);
  }
  return bin;
}

int HevcCabacDecodeBypass(HevcCabac* c) {
  c->uiOffset = (c->uiOffset << 1) | ReadBits(c, 1);
  if (c->uiOffset >= c->uiRange) {
    c->uiOffset -= c->uiRange;
    return 1;
  }
  return 0;
}

uint32_t HevcCabacDecodeBypassBits(HevcCabac* c, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 1) | static_cast<uint32_t>(HevcCabacDecodeBypass(c));
  return v;
}

int HevcCabacDecodeTerminate(HevcCabac* c) {
  c->uiRange -= 2;
  if (c->uiOffset >= c->uiRange) return 1;
  if (c->uiRange < 256) {
    c->uiRange <<= 1;
    c->uiOffset = (c->uiOffset << 1) | ReadBits(c, 1);
  }
  return 0;
}

// After a terminating bin of 1 the codeword has been read up to its last bit;
// what follows starts at the next byte boundary.
const uint8_t* HevcCabacRestart(HevcCabac* c, int64_t n) {
  const uint8_t* p = c->pucStart + ((c->uiBitPos + 7) >> 3);
  if (p > c->pucEnd || c->pucEnd - p < n) return nullptr;
  HevcCabacStart(c, p + n, c->pucEnd);
  return p;
}

void HevcInitCtuCabac(HevcDecoder* dec, int ts) {
  const HevcPps* pps = dec->pPps;
  const HevcSliceHeader& sh = dec->stSh;
  const HevcPictureInfo& g = dec->stPic;
  HevcCabac* c = dec->pCabac;
  const int W = g.PicWidthInCtbsY;
  const int rs = pps->CtbAddrTsToRs[ts];
  const bool first = ts == pps->CtbAddrRsToTs[sh.slice_segment_address];
  const bool tileStart = pps->tiles_enabled_flag && ts > 0 && pps->TileId[ts] != pps->TileId[ts - 1];
  const bool rowStart = pps->entropy_coding_sync_enabled_flag && rs % W == 0;
  if (!first && (tileStart || rowStart)) {
    if (!HevcCabacRestart(c, 0)) HevcCabacStart(c, c->pucEnd, c->pucEnd);
  }
  auto init = [&] { HevcCabacInitContexts(c, sh.slice_type, sh.cabac_init_flag, sh.SliceQpY); };
  if (tileStart || (first && ts == 0)) {
    init();
  } else if (rowStart) {
    // The saved contexts belong to the row above only when its second CTB is
    // available to this one (inside the picture, same slice, same tile);
    // otherwise, as for a slice that starts later in the row above, start afresh.
    bool above = false;
    if (rs >= W && W > 1) {
      int tr = rs - W + 1;
      above = dec->pCtbSliceAddrMap[tr] == dec->SliceAddrRs &&
              pps->TileId[pps->CtbAddrRsToTs[tr]] == pps->TileId[ts] && pps->CtbAddrRsToTs[tr] < ts;
    }
    if (above)
      std::memcpy(c->aucCtxState, dec->pWppCtx, kNumCtx);
    else
      init();
  } else if (first && !sh.dependent_slice_segment_flag) {
    init();
  }
}

void HevcSaveWppContexts(HevcDecoder* dec, int ts) {
  const HevcPps* pps = dec->pPps;
  const int W = dec->stPic.PicWidthInCtbsY;
  if (pps->entropy_coding_sync_enabled_flag && W > 1 && pps->CtbAddrTsToRs[ts] % W == 1)
    std::memcpy(dec->pWppCtx, dec->pCabac->aucCtxState, kNumCtx);
}

}  // namespace hevc
