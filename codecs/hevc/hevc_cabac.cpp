// Arithmetic decoding engine, context initialisation and the substream
// starts at slices, tiles and wavefront rows.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/hevc_tables.h"

namespace hevc {

void HevcCabacStart(HevcCabac* c, const uint8_t* start, const uint8_t* end) {
  c->pucEnd = end < start ? start : end;
  HevcCabacEngineStart(&c->stEngine, start, static_cast<uint64_t>(c->pucEnd - start));
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

// After a terminating bin of 1 the codeword has been read up to its last bit;
// what follows starts at the next byte boundary.
const uint8_t* HevcCabacRestart(HevcCabac* c, int64_t n) {
  const HevcCabacEngine& e = c->stEngine;
  const uint64_t pos = (HevcCabacBitPos(&e) + 7) >> 3;
  if (pos > e.uiSize || n < 0 || e.uiSize - pos < static_cast<uint64_t>(n)) return nullptr;
  const uint8_t* p = e.pucStart + pos;
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
