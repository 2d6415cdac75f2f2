// Picture order counts, reference picture sets and lists, the picture
// buffer and the choice of the picture to output.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"

namespace hevc {
namespace {

int Mod(int a, int m) {
  int r = a % m;
  return r < 0 ? r + m : r;
}

int FindShortTerm(HevcDecoder* dec, int poc) {
  for (int i = 0; i < dec->iNumPics; ++i) {
    const HevcPicture& p = dec->astPic[i];
    if (p.iSeqNum == dec->iSeqCount && (p.iMarking & 2) && p.iPoc == poc) return i;
  }
  return kStandIn;
}

int HevcFindLongTermRef(HevcDecoder* dec, int poc, int msbPresent) {
  const int maxLsb = 1 << dec->pSps->log2_max_pic_order_cnt_lsb;
  for (int i = 0; i < dec->iNumPics; ++i) {
    const HevcPicture& p = dec->astPic[i];
    if (p.iSeqNum != dec->iSeqCount || !(p.iMarking & 2)) continue;
    if (msbPresent ? p.iPoc == poc : Mod(p.iPoc, maxLsb) == poc) return i;
  }
  return kStandIn;
}

void Append(HevcRefList* l, int poc, int lt, int idx) {
  if (l->iNum >= 16) return;  // never beyond the list
  l->aiPoc[l->iNum] = poc;
  l->aiLongTerm[l->iNum] = lt;
  l->aucIdx[l->iNum] = static_cast<uint8_t>(idx);
  ++l->iNum;
}

}  // namespace

// The small per-picture records now; the sample planes and the motion field of
// a buffer only when it first holds a picture, so a stream that needs few
// buffers never touches the memory of the others.
int HevcAllocDpb(HevcDecoder* dec) {
  HevcMemPool* pool = &dec->stPool;
  dec->iNumPics = dec->iMaxRefNum + 2;
  std::memset(dec->astPic, 0, sizeof dec->astPic);
  for (int i = 0; i < dec->iNumPics; ++i) {
    HevcPicture& p = dec->astPic[i];
    p.piCuCount = static_cast<int32_t*>(HevcPoolAlloc(pool, 18 * 4, 64));
    p.pUserData = static_cast<uint8_t*>(HevcPoolAlloc(pool, kUserDataMax, 64));
    if (!p.piCuCount || !p.pUserData) return -1;
    p.iMinSliceType = 2;
  }
  return 0;
}

int HevcAllocPictureMemory(HevcDecoder* dec, HevcPicture* p) {
  if (p->apucPlaneBase[0]) return 0;
  HevcMemPool* pool = &dec->stPool;
  const size_t W = dec->iMaxWidth, H = dec->iMaxHeight;
  const size_t L = (W + 2 * kPadX) * (H + 2 * kPadY);
  const size_t planes = (L * 3 / 2 + 63) / 64 * 64;
  const size_t bytes = planes + (W / 16) * (H / 16) * sizeof(HevcColMotion);
  // not zeroed: a picture that ends incomplete is settled before anyone
  // reads it (the grey stand-in is filled whole)
  auto* block = static_cast<uint8_t*>(HevcPoolAllocLarge(pool, bytes));
  if (!block) {
    pool->iOk = 1;  // a picture that does not fit fails alone; the pool stays usable
    return -1;
  }
  p->apucPlaneBase[0] = block;
  p->apucPlaneBase[1] = block + L;
  p->apucPlaneBase[2] = block + L + L / 4;
  p->pstColMotion = reinterpret_cast<HevcColMotion*>(block + planes);
  p->aiSettled[0] = p->aiSettled[1] = p->aiSettled[2] = 0;
  return 0;
}

bool HevcNeedsStandIn(const HevcDecoder* dec, int idx, int curIdx) {
  if (idx == curIdx || idx >= dec->iNumPics) return true;
  const HevcPicture& r = dec->astPic[idx];
  const HevcPicture& cur = dec->astPic[curIdx];
  return !r.apucPlane[0] || r.iPicWidth != cur.iPicWidth || r.iPicHeight != cur.iPicHeight ||
         r.iPicStride != cur.iPicStride;
}

namespace {

// The stand-in's memory, grey (128) in every sample of every plane and
// padding and without motion, so that it reads the same at any layout.
int AllocStandIn(HevcDecoder* dec) {
  HevcPicture* g = &dec->astPic[kStandIn];
  if (g->apucPlaneBase[0]) return 0;
  if (HevcAllocPictureMemory(dec, g)) return -1;
  const size_t W = dec->iMaxWidth, H = dec->iMaxHeight;
  const size_t L = (W + 2 * kPadX) * (H + 2 * kPadY);
  std::memset(g->apucPlaneBase[0], 128, L * 3 / 2);
  std::memset(static_cast<void*>(g->pstColMotion), 0, (W / 16) * (H / 16) * sizeof(HevcColMotion));
  return 0;
}

// The plane origins and geometry of a picture laid out at a stride.
void LayOutPlanes(HevcPicture* p, int width, int height, int stride, int ctbLog2) {
  const int strideC = stride / 2;
  p->apucPlane[0] = p->apucPlaneBase[0] + kPadY * stride + kPadX;
  p->apucPlane[1] = p->apucPlaneBase[1] + (kPadY / 2) * strideC + kPadX / 2;
  p->apucPlane[2] = p->apucPlaneBase[2] + (kPadY / 2) * strideC + kPadX / 2;
  p->iPicWidth = width;
  p->iPicHeight = height;
  p->iPicStride = stride;
  p->iCtbLog2 = ctbLog2;
}

// The stand-in takes the current picture's layout; its samples never change.
void LayOutStandIn(HevcDecoder* dec) {
  HevcPicture* g = &dec->astPic[kStandIn];
  const HevcPicture* cur = dec->pCurPic;
  if (!g->apucPlaneBase[0]) return;
  LayOutPlanes(g, cur->iPicWidth, cur->iPicHeight, cur->iPicStride, cur->iCtbLog2);
  g->iPoc = cur->iPoc;
  g->iSeqNum = cur->iSeqNum;
  g->iDecoded = 1;
}

}  // namespace

void HevcSettlePicture(HevcDecoder* dec, HevcPicture* p, bool useDoneMap) {
  if (!p->apucPlane[0] || p->iPicWidth <= 0 || p->iPicHeight <= 0) return;
  if (p->aiSettled[0] == p->iPicWidth && p->aiSettled[1] == p->iPicHeight && p->aiSettled[2] == p->iPicStride)
    return;
  const int w = p->iPicWidth, h = p->iPicHeight, stride = p->iPicStride, strideC = stride / 2;
  const int log2 = p->iCtbLog2, S = 1 << log2;
  const int wc = (w + S - 1) >> log2, hc = (h + S - 1) >> log2, w16 = (w + 15) >> 4;
  for (int cy = 0; cy < hc; ++cy)
    for (int cx = 0; cx < wc; ++cx) {
      if (useDoneMap && dec->pCtbDoneMap[cy * wc + cx]) continue;
      const int x0 = cx * S, y0 = cy * S;
      const int bw = x0 + S <= w ? S : w - x0, bh = y0 + S <= h ? S : h - y0;
      for (int y = y0; y < y0 + bh; ++y) std::memset(p->apucPlane[0] + static_cast<ptrdiff_t>(y) * stride + x0, 0, bw);
      for (int c = 1; c < 3; ++c)
        for (int y = y0 / 2; y < (y0 + bh) / 2; ++y)
          std::memset(p->apucPlane[c] + static_cast<ptrdiff_t>(y) * strideC + x0 / 2, 0, bw / 2);
      for (int y = y0; y < y0 + bh; y += 16)
        std::memset(static_cast<void*>(p->pstColMotion + static_cast<size_t>(y >> 4) * w16 + (x0 >> 4)), 0,
                    static_cast<size_t>((bw + 15) >> 4) * sizeof(HevcColMotion));
    }
  auto border = Kernel<BorderFn>(dec->stDsp, kSlotBorder);
  border(0, p->apucPlane[0], w, h, stride, kPadX, kPadY);
  border(0, p->apucPlane[1], w / 2, h / 2, strideC, kPadX / 2, kPadY / 2);
  border(0, p->apucPlane[2], w / 2, h / 2, strideC, kPadX / 2, kPadY / 2);
  p->aiSettled[0] = w;
  p->aiSettled[1] = h;
  p->aiSettled[2] = stride;
}

void HevcUpdatePrevTid0Pic(HevcDecoder* dec) {
  const int type = dec->stNal.nal_unit_type;
  const HevcPicture* prev = dec->pCurPic;
  if (type == 19 || type == 20 || !prev) {
    dec->iPrevTid0Poc = 0;
    dec->iPrevNalType = type;
    return;
  }
  const int pt = dec->iPrevNalType;
  if (prev->iTemporalId == 0 && pt != 0 && !(pt >= 6 && pt <= 14)) dec->iPrevTid0Poc = prev->iPoc;
}

int32_t HevcComputePoc(HevcDecoder* dec) {
  const HevcSps* sps = dec->pSps;
  const int type = dec->stNal.nal_unit_type;
  const int maxLsb = 1 << sps->log2_max_pic_order_cnt_lsb;
  const int lsb = dec->stSh.slice_pic_order_cnt_lsb;
  const int prevLsb = Mod(dec->iPrevTid0Poc, maxLsb);
  const int prevMsb = dec->iPrevTid0Poc - prevLsb;
  int msb;
  if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2)
    msb = prevMsb + maxLsb;
  else if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2)
    msb = prevMsb - maxLsb;
  else
    msb = prevMsb;
  if ((type >= 16 && type <= 23) || dec->iSeqStart) {
    int noRasl = (dec->iSeqStart || (type >= 16 && type <= 20)) ? 1 : 0;
    if (type >= 16 && type <= 23) {
      dec->NoRaslOutputFlag = noRasl;
      if (noRasl) msb = 0;
    }
  }
  return msb + lsb;
}

void HevcApplyRps(HevcDecoder* dec, int32_t poc, HevcRpsLists* out) {
  std::memset(out, 0, sizeof *out);
  const HevcSliceHeader& sh = dec->stSh;
  const HevcStRps* st = sh.pShortTermRps;
  if (st) {
    for (int i = 0; i < st->NumNegativePics; ++i) {
      int p = poc + st->DeltaPocS0[i];
      Append(&out->list[st->UsedByCurrPicS0[i] ? 0 : 2], p, 0, FindShortTerm(dec, p));
    }
    for (int i = 0; i < st->NumPositivePics; ++i) {
      int p = poc + st->DeltaPocS1[i];
      Append(&out->list[st->UsedByCurrPicS1[i] ? 1 : 2], p, 0, FindShortTerm(dec, p));
    }
  }
  const HevcSps* sps = dec->pSps;
  const int maxLsb = 1 << sps->log2_max_pic_order_cnt_lsb;
  const int n = sh.num_long_term_sps + sh.num_long_term_pics;
  int msbCycle = 0;
  for (int i = 0; i < n; ++i) {
    int pocLt, used;
    if (i < sh.num_long_term_sps) {
      pocLt = sps->lt_ref_pic_poc_lsb_sps[sh.lt_idx_sps[i]];
      used = sps->used_by_curr_pic_lt_sps_flag[sh.lt_idx_sps[i]];
    } else {
      pocLt = sh.poc_lsb_lt[i];
      used = sh.used_by_curr_pic_lt_flag[i];
    }
    if (i == 0 || i == sh.num_long_term_sps)
      msbCycle = sh.delta_poc_msb_cycle_lt[i];
    else
      msbCycle += sh.delta_poc_msb_cycle_lt[i];
    if (sh.delta_poc_msb_present_flag[i])
      pocLt += poc - static_cast<int>(static_cast<int64_t>(msbCycle) * maxLsb) - Mod(poc, maxLsb);
    int idx = HevcFindLongTermRef(dec, pocLt, sh.delta_poc_msb_present_flag[i]);
    Append(&out->list[used ? 3 : 4], idx == kStandIn ? pocLt : dec->astPic[idx].iPoc, 1, idx);
  }
}

int32_t HevcBuildRefLists(HevcDecoder* dec, const HevcRpsLists* rps, int32_t poc) {
  const HevcSliceHeader& sh = dec->stSh;
  HevcRefList cand[2];
  std::memset(cand, 0, sizeof cand);
  const int order[2][3] = {{0, 1, 3}, {1, 0, 3}};
  int32_t result = 0;
  for (int x = 0; x < 2; ++x) {
    for (int k = 0; k < 3; ++k) {
      const HevcRefList& l = rps->list[order[x][k]];
      for (int i = 0; i < l.iNum; ++i) Append(&cand[x], l.aiPoc[i], l.aiLongTerm[i], l.aucIdx[i]);
    }
    HevcRefList& out = dec->stRefList[x];
    out.iNum = 0;
    const int active = x == 0 ? sh.num_ref_idx_l0_active : sh.num_ref_idx_l1_active;
    const int mod = x == 0 ? sh.ref_pic_list_modification_flag_l0 : sh.ref_pic_list_modification_flag_l1;
    const int32_t* entry = x == 0 ? sh.list_entry_l0 : sh.list_entry_l1;
    if (cand[x].iNum == 0) continue;
    for (int i = 0; i < active && i < 15; ++i) {
      int c = mod ? entry[i] : i % cand[x].iNum;
      if (c >= cand[x].iNum) c = 0;
      Append(&out, cand[x].aiPoc[c], cand[x].aiLongTerm[c], cand[x].aucIdx[c]);
      const HevcPicture& p = dec->astPic[cand[x].aucIdx[c]];
      if (cand[x].aiPoc[c] == poc || cand[x].aucIdx[c] == kStandIn || p.iDecoded != 1) result = IH265D_ERR_SLICEHEADER;
    }
  }
  return result;
}

void HevcStartPicture(HevcDecoder* dec, int32_t poc, const HevcRpsLists* rps) {
  // the picture before keeps what it reconstructed; any other unsettled
  // buffer lost its map and is settled whole
  for (int i = 0; i < dec->iNumPics; ++i)
    if (dec->astPic[i].iDecoded != 1) HevcSettlePicture(dec, &dec->astPic[i], &dec->astPic[i] == dec->pCurPic);
  const int type = dec->stNal.nal_unit_type;
  const HevcSliceHeader& sh = dec->stSh;
  const HevcSps* sps = dec->pSps;
  dec->iPrevNalType = type;
  if ((type >= 16 && type <= 23) || dec->iSeqStart) {
    dec->NoRaslOutputFlag = (dec->iSeqStart || (type >= 16 && type <= 20)) ? 1 : 0;
    if (dec->NoRaslOutputFlag) {
      dec->iSeqStart = 0;
      ++dec->iSeqCount;
      for (int i = 0; i < dec->iNumPics; ++i) {
        if (sh.no_output_of_prior_pics_flag || type == 21)
          dec->astPic[i].iMarking = 0;
        else
          dec->astPic[i].iMarking &= ~2;
      }
    }
  }
  int marking = 3;
  if (!sh.pic_output_flag || dec->stNal.TemporalId > dec->HighestTid) marking = 2;
  if ((type == 8 || type == 9) && dec->NoRaslOutputFlag) marking = 0;
  for (int i = 0; i < dec->iNumPics; ++i) {
    HevcPicture& p = dec->astPic[i];
    bool inRps = false;
    for (int l = 0; l < 5 && !inRps; ++l)
      for (int k = 0; k < rps->list[l].iNum; ++k)
        if (rps->list[l].aucIdx[k] == i && p.iMarking) {
          // only a picture of this sequence counts: the count may have grown since the lookup
          if (p.iSeqNum == dec->iSeqCount && (rps->list[l].aiLongTerm[k] || p.iPoc == rps->list[l].aiPoc[k])) inRps = true;
        }
    if (!inRps) p.iMarking &= ~2;
    if (p.iDecoded != 1) p.iMarking = 0;
  }
  bool allTaken = true;
  for (int i = 0; i < dec->iNumPics; ++i)
    if (!dec->astPic[i].iMarking) allTaken = false;
  if (allTaken) dec->astPic[0].iMarking = 0;
  dec->pCurPic = nullptr;
  for (int i = 0; i < dec->iNumPics; ++i)
    if (!dec->astPic[i].iMarking) {
      dec->pCurPic = &dec->astPic[i];
      break;
    }
  HevcPicture* pic = dec->pCurPic;
  if (!pic) return;
  if (HevcAllocPictureMemory(dec, pic)) {
    dec->pCurPic = nullptr;
    return;
  }
  pic->iDecoded = 0;
  pic->llPicTimeStamp = dec->llCurTimeStamp;
  pic->iSeqNum = dec->iSeqCount;
  pic->iTemporalId = dec->stNal.TemporalId;
  pic->iPoc = poc;
  pic->iMarking = marking;
  pic->iCropWidth = sps->pic_width_in_luma_samples - 2 * (sps->conf_win_left_offset + sps->conf_win_right_offset);
  pic->iCropHeight = sps->pic_height_in_luma_samples - 2 * (sps->conf_win_top_offset + sps->conf_win_bottom_offset);
  const int ctb = sps->CtbSizeY;
  const int stride = (sps->pic_width_in_luma_samples + ctb + 255) / ctb * ctb, strideC = stride / 2;
  LayOutPlanes(pic, sps->pic_width_in_luma_samples, sps->pic_height_in_luma_samples, stride, sps->CtbLog2SizeY);
  std::memset(dec->pCtbDoneMap, 0, static_cast<size_t>(dec->iMaxCtbs));
  pic->apucOutPlane[0] = pic->apucPlane[0] + 2 * sps->conf_win_top_offset * stride + 2 * sps->conf_win_left_offset;
  for (int c = 1; c < 3; ++c)
    pic->apucOutPlane[c] = pic->apucPlane[c] + sps->conf_win_top_offset * strideC + sps->conf_win_left_offset;
  pic->stRpsLists = *rps;
  pic->iPicBytes = dec->iVclBytes;
  dec->iVclBytes = 0;
  pic->iErrorFlag = dec->iErrorPending;
  pic->iErrorLatched = dec->iErrorLatched;
  dec->iErrorPending = dec->iErrorLatched = 0;
  std::memset(pic->piCuCount, 0, 18 * 4);
  int32_t len;
  std::memcpy(&len, dec->pUserData + kUserDataMax, 4);
  if (len < 0 || len > kUserDataMax) len = 0;
  std::memcpy(pic->pUserData, dec->pUserData, len);
  std::memset(dec->pUserData, 0, kUserDataMax);
  pic->iUserDataLen = len;
  len = 0;
  std::memcpy(dec->pUserData + kUserDataMax, &len, 4);
  pic->iAspectRatioIdc = sps->aspect_ratio_idc;
  pic->iSarWidth = sps->sar_width;
  pic->iSarHeight = sps->sar_height;
  pic->iNumUnitsInTick = static_cast<int32_t>(dec->pVps->vps_num_units_in_tick);
  pic->iTimeScale = static_cast<int32_t>(dec->pVps->vps_time_scale);
  // a reference that is missing, laid out otherwise or this very buffer is
  // read from the grey stand-in: never from the picture being written
  bool standIn = false;
  for (int l = 0; l < 5; ++l)
    for (int k = 0; k < rps->list[l].iNum; ++k)
      if (HevcNeedsStandIn(dec, rps->list[l].aucIdx[k], static_cast<int>(pic - dec->astPic))) standIn = true;
  if (standIn && AllocStandIn(dec)) {
    pic->iMarking = 0;
    dec->pCurPic = nullptr;
    return;
  }
  LayOutStandIn(dec);
}

int HevcOutputPicture(HevcDecoder* dec, int outputNow, IH265D_OutArgs* out) {
  int n = 0;
  HevcPicture* best = nullptr;
  for (int i = 0; i < dec->iNumPics; ++i) {
    HevcPicture* p = &dec->astPic[i];
    if (!(p->iMarking & 1)) continue;
    ++n;
    if (!best || p->iSeqNum < best->iSeqNum || (p->iSeqNum == best->iSeqNum && p->iPoc < best->iPoc)) best = p;
  }
  if (!dec->pSps) return -1;
  if (n == 0) return -1;
  if (!(outputNow || best->iSeqNum < dec->iSeqCount || n > dec->pSps->sps_max_num_reorder_pics[dec->HighestTid]))
    return -1;
  best->iMarking &= ~1;
  if (best->iDecoded != 1) return -1;
  out->iChannel = dec->iChannel;
  out->llTimeStamp = best->llPicTimeStamp;
  out->ePicType = 2 - best->iMinSliceType;
  best->iMinSliceType = 2;
  out->DecodeStatus = IH265D_GETDISPLAY;
  out->iPicWidth = best->iCropWidth;
  out->iPicHeight = best->iCropHeight;
  // its own stride: a picture left from a sequence with another CTB size leaves after the new one began
  out->iLumaStride = best->iPicStride;
  out->iChromaStride = best->iPicStride / 2;
  out->pPlaneY = best->apucOutPlane[0];
  out->pPlaneU = best->apucOutPlane[1];
  out->pPlaneV = best->apucOutPlane[2];
  out->iPicBytes = best->iPicBytes;
  out->iUserDataLen = best->iUserDataLen;
  out->pUserData = best->pUserData;
  out->iAspectRatioIdc = best->iAspectRatioIdc;
  out->iSarWidth = best->iSarWidth;
  out->iSarHeight = best->iSarHeight;
  out->iNumUnitsInTick = best->iNumUnitsInTick;
  out->iTimeScale = best->iTimeScale;
  std::memcpy(out->aiCuCount, best->piCuCount, sizeof out->aiCuCount);
  out->iErrorFlag = best->iErrorFlag;
  return 0;
}

}  // namespace hevc
