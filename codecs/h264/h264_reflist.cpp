// Reference picture lists of P and B slices of frames and fields: initialisation
// (clause 8.2.4.2) and modification (clause 8.2.4.3).
#include <algorithm>
#include <cstring>

#include "codecs/h264/h264_internal.h"

namespace {

// Frame stores holding a reference frame: both fields short-term, or both
// long-term.
bool ShortTermFrame(const H264DecFrameStore* fs) { return fs->reference == 3 && fs->longTerm == 0; }
bool LongTermFrame(const H264DecFrameStore* fs) { return fs->reference == 3 && fs->longTerm == 3; }

uint32_t Collect(H264DecContext* ctx, bool (*want)(const H264DecFrameStore*), H264DecPicture** out) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i)
    if (want(ctx->dpb[i])) out[n++] = ctx->dpb[i]->frame;
  return n;
}

void SortBy(H264DecPicture** first, uint32_t n, int32_t H264DecPicture::*key, bool descending) {
  std::stable_sort(first, first + n, [key, descending](const H264DecPicture* a, const H264DecPicture* b) {
    return descending ? a->*key > b->*key : a->*key < b->*key;
  });
}

// The initial list 0 (and 1 of B slices) of a frame; returns the lengths.
void InitialLists(H264DecContext* ctx, H264DecPicture* (*lists)[kH264MaxDpb], uint32_t* len) {
  H264DecPicture* shortTerm[kH264MaxDpb];
  H264DecPicture* longTerm[kH264MaxDpb];
  uint32_t ns = Collect(ctx, ShortTermFrame, shortTerm);
  uint32_t nl = Collect(ctx, LongTermFrame, longTerm);
  SortBy(longTerm, nl, &H264DecPicture::longTermPicNum, false);
  if (ctx->slice.slice_type != kH264SliceB) {
    SortBy(shortTerm, ns, &H264DecPicture::picNum, true);
    std::copy(shortTerm, shortTerm + ns, lists[0]);
    std::copy(longTerm, longTerm + nl, lists[0] + ns);
    len[0] = ns + nl;
    len[1] = 0;
    return;
  }
  // B: before the current picture in descending order count, then after it
  // in ascending order (list 1 the other way round); long-term at the end.
  int32_t cur = ctx->curPic->poc;
  SortBy(shortTerm, ns, &H264DecPicture::poc, false);
  uint32_t after = 0;
  while (after < ns && shortTerm[after]->poc <= cur) ++after;
  uint32_t n0 = 0, n1 = 0;
  for (uint32_t i = after; i-- > 0;) lists[0][n0++] = shortTerm[i];
  for (uint32_t i = after; i < ns; ++i) lists[0][n0++] = shortTerm[i];
  for (uint32_t i = after; i < ns; ++i) lists[1][n1++] = shortTerm[i];
  for (uint32_t i = after; i-- > 0;) lists[1][n1++] = shortTerm[i];
  for (uint32_t i = 0; i < nl; ++i) lists[0][n0++] = lists[1][n1++] = longTerm[i];
  if (n1 > 1 && std::equal(lists[0], lists[0] + n0, lists[1], lists[1] + n1)) std::swap(lists[1][0], lists[1][1]);
  len[0] = n0;
  len[1] = n1;
}

// Stores with a short-term field, or with a long-term field.
bool ShortTermStore(const H264DecFrameStore* fs) { return (fs->reference & ~fs->longTerm) != 0; }
bool LongTermStore(const H264DecFrameStore* fs) { return (fs->reference & fs->longTerm) != 0; }

uint32_t CollectStores(H264DecContext* ctx, bool (*want)(const H264DecFrameStore*), H264DecFrameStore** out) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i)
    if (want(ctx->dpb[i])) out[n++] = ctx->dpb[i];
  return n;
}

// Fields of the ordered stores taken alternately, the current parity first
// (clause 8.2.4.2.5); a parity that runs out leaves the rest to the other.
uint32_t AlternateFields(H264DecFrameStore* const* stores, uint32_t n, int parity, bool longTerm,
                         H264DecPicture** out) {
  auto usable = [longTerm](const H264DecFrameStore* fs, int bit) {
    return (fs->reference & bit) && ((fs->longTerm & bit) != 0) == longTerm;
  };
  uint32_t same = 0, other = 0, len = 0;
  int otherBit = 3 ^ parity;
  while (same < n || other < n) {
    for (; same < n; ++same)
      if (usable(stores[same], parity)) {
        out[len++] = parity == 1 ? stores[same]->top : stores[same]->bottom;
        ++same;
        break;
      }
    for (; other < n; ++other)
      if (usable(stores[other], otherBit)) {
        out[len++] = otherBit == 1 ? stores[other]->top : stores[other]->bottom;
        ++other;
        break;
      }
  }
  return len;
}

void SortStores(H264DecFrameStore** first, uint32_t n, int32_t H264DecFrameStore::*key, bool descending) {
  std::stable_sort(first, first + n, [key, descending](const H264DecFrameStore* a, const H264DecFrameStore* b) {
    return descending ? a->*key > b->*key : a->*key < b->*key;
  });
}

// The initial lists of a field (clauses 8.2.4.2.2, 8.2.4.2.4 and 8.2.4.2.5).
void InitialFieldLists(H264DecContext* ctx, H264DecPicture* (*lists)[kH264MaxRefs], uint32_t* len) {
  int parity = static_cast<int>(ctx->slice.structure);
  H264DecFrameStore* shortTerm[kH264MaxDpb];
  H264DecFrameStore* longTerm[kH264MaxDpb];
  uint32_t ns = CollectStores(ctx, ShortTermStore, shortTerm);
  uint32_t nl = CollectStores(ctx, LongTermStore, longTerm);
  SortStores(longTerm, nl, &H264DecFrameStore::longTermFrameIdx, false);
  if (ctx->slice.slice_type != kH264SliceB) {
    SortStores(shortTerm, ns, &H264DecFrameStore::frameNumWrap, true);
    len[0] = AlternateFields(shortTerm, ns, parity, false, lists[0]);
    len[0] += AlternateFields(longTerm, nl, parity, true, lists[0] + len[0]);
    len[1] = 0;
    return;
  }
  int32_t cur = ctx->curPic->poc;
  SortStores(shortTerm, ns, &H264DecFrameStore::poc, false);
  uint32_t after = 0;
  while (after < ns && shortTerm[after]->poc <= cur) ++after;
  H264DecFrameStore* order[2][kH264MaxDpb];
  uint32_t n0 = 0, n1 = 0;
  for (uint32_t i = after; i-- > 0;) order[0][n0++] = shortTerm[i];
  for (uint32_t i = after; i < ns; ++i) order[0][n0++] = shortTerm[i];
  for (uint32_t i = after; i < ns; ++i) order[1][n1++] = shortTerm[i];
  for (uint32_t i = after; i-- > 0;) order[1][n1++] = shortTerm[i];
  for (int l = 0; l < 2; ++l) {
    len[l] = AlternateFields(order[l], l ? n1 : n0, parity, false, lists[l]);
    len[l] += AlternateFields(longTerm, nl, parity, true, lists[l] + len[l]);
  }
  if (len[1] > 1 && std::equal(lists[0], lists[0] + len[0], lists[1], lists[1] + len[1]))
    std::swap(lists[1][0], lists[1][1]);
}

}  // namespace

void H264DecNumberReferences(H264DecContext* ctx, uint32_t cur, int structure) {
  uint32_t maxFrameNum = ctx->activeSps.maxFrameNum;
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i) {
    H264DecFrameStore* fs = ctx->dpb[i];
    if (!fs->reference) continue;
    fs->frameNumWrap = fs->frameNum > cur ? static_cast<int32_t>(fs->frameNum) - static_cast<int32_t>(maxFrameNum)
                                          : static_cast<int32_t>(fs->frameNum);
    if (structure == 0) {
      fs->frame->picNum = fs->frameNumWrap;
      fs->frame->longTermPicNum = fs->longTermFrameIdx;
      continue;
    }
    for (int b = 1; b <= 2; ++b) {
      H264DecPicture* f = b == 1 ? fs->top : fs->bottom;
      int same = b == structure ? 1 : 0;
      f->picNum = 2 * fs->frameNumWrap + same;
      f->longTermPicNum = 2 * fs->longTermFrameIdx + same;
    }
  }
}

namespace {

// The planes of every list entry, read by motion compensation.
void SetRefPlanes(H264DecContext* ctx) {
  const int width = static_cast<int>(ctx->activeSps.width);
  const int height = static_cast<int>(ctx->activeSps.frameHeight);
  const int cur = static_cast<int>(ctx->slice.structure);
  const size_t mbs = ctx->bufferMbs;
  for (int l = 0; l < 2; ++l)
    for (int i = 0; i < kH264MaxRefs; ++i) {
      const H264DecPicture* pic = ctx->refList[l][i];
      H264RefPlanes& r = ctx->refPlanes[l][i];
      if (!pic) {
        r = H264RefPlanes{};
        continue;
      }
      // Planes at fixed offsets of the buffer (as H264DecPlane places them).
      const uint8_t* luma = ctx->frameBuffers[pic->bufferIndex];
      const uint8_t* cb = luma + mbs * 256;
      const uint8_t* cr = luma + mbs * 320;
      int stride = width, lines = height, chromaMvY = 0;
      if (pic->structure == 1 || pic->structure == 2) {
        // Every other line of the buffer. Between fields of opposite parity
        // chroma moves by a quarter sample.
        if (pic->structure == 2) {
          luma += stride;
          cb += stride / 2;
          cr += stride / 2;
        }
        if (cur == 1 && pic->structure == 2) chromaMvY = -2;
        if (cur == 2 && pic->structure == 1) chromaMvY = 2;
        stride *= 2;
        lines /= 2;
      }
      r = H264RefPlanes{luma, cb, cr, stride, lines, chromaMvY};
    }
}

}  // namespace

int H264DecInitRefLists(H264DecContext* ctx) {
  ctx->refListLen[0] = ctx->refListLen[1] = 0;
  for (auto& list : ctx->refList)
    for (auto& p : list) p = nullptr;
  for (auto& list : ctx->refPlanes)
    for (auto& p : list) p = H264RefPlanes{};
  const H264SliceHeader& s = ctx->slice;
  uint32_t type = s.slice_type;
  if (type == kH264SliceI || type == kH264SliceSI) return 0;
  H264DecNumberReferences(ctx, s.frame_num, static_cast<int>(s.structure));
  H264DecPicture* initial[2][kH264MaxRefs] = {};
  uint32_t len[2] = {0, 0};
  if (s.field_pic_flag) {
    InitialFieldLists(ctx, initial, len);
  } else {
    H264DecPicture* frames[2][kH264MaxDpb] = {};
    InitialLists(ctx, frames, len);
    for (int l = 0; l < 2; ++l) std::copy(frames[l], frames[l] + len[l], initial[l]);
  }
  if (len[0] == 0) return -1;
  int lists = type == kH264SliceB ? 2 : 1;
  for (int l = 0; l < lists; ++l) {
    uint32_t active = (l ? s.num_ref_idx_l1_active_minus1 : s.num_ref_idx_l0_active_minus1) + 1;
    // One entry more than the active length: modification shifts into it.
    H264DecPicture* work[kH264MaxRefs + 1] = {};
    std::copy(initial[l], initial[l] + std::min(len[l], active), work);
    if (s.ref_pic_list_modification_flag[l]) H264DecModifyRefList(ctx, l, work, active, s.refListCommands[l]);
    std::copy(work, work + active, ctx->refList[l]);
    ctx->refListLen[l] = active;
  }
  // Entries without a picture repeat the first of list 0, so that every index
  // a macroblock may use names a picture.
  H264DecPicture* first = ctx->refList[0][0] ? ctx->refList[0][0] : initial[0][0];
  for (auto& list : ctx->refList)
    for (auto& p : list)
      if (!p) p = first;
  SetRefPlanes(ctx);
  return 0;
}

void H264DecModifyRefList(H264DecContext* ctx, int list, H264DecPicture** refs, uint32_t length,
                          const H264RefListCommand* cmds) {
  (void)list;
  bool field = ctx->slice.field_pic_flag != 0;
  int32_t maxPicNum = static_cast<int32_t>(ctx->activeSps.maxFrameNum) << (field ? 1 : 0);
  int32_t curPicNum = field ? 2 * static_cast<int32_t>(ctx->slice.frame_num) + 1
                            : static_cast<int32_t>(ctx->slice.frame_num);
  int32_t pred = curPicNum;
  uint32_t index = 0;
  for (int i = 0; i < kH264MaxRefs && cmds[i].idc != 3 && index < length; ++i) {
    H264DecPicture* pic = nullptr;
    bool longTerm = cmds[i].idc == 2;
    int32_t num;
    if (!longTerm) {
      int32_t diff = static_cast<int32_t>(std::min<uint32_t>(cmds[i].value, 1u << 20)) + 1;
      int32_t noWrap;
      if (cmds[i].idc == 0) {
        noWrap = pred - diff;
        if (noWrap < 0) noWrap += maxPicNum;
      } else {
        noWrap = pred + diff;
        if (noWrap >= maxPicNum) noWrap -= maxPicNum;
      }
      pred = noWrap;
      num = noWrap > curPicNum ? noWrap - maxPicNum : noWrap;
      for (uint32_t k = 0; k < ctx->dpbFullness && !pic; ++k) {
        H264DecFrameStore* fs = ctx->dpb[k];
        if (!field) {
          if (fs->reference == 3 && !fs->longTerm && fs->frame->picNum == num) pic = fs->frame;
          continue;
        }
        int shortBits = fs->reference & ~fs->longTerm;
        if ((shortBits & 1) && fs->top->picNum == num) pic = fs->top;
        if ((shortBits & 2) && fs->bottom->picNum == num) pic = fs->bottom;
      }
    } else {
      num = static_cast<int32_t>(std::min<uint32_t>(cmds[i].value, 1u << 20));
      for (uint32_t k = 0; k < ctx->dpbFullness && !pic; ++k) {
        H264DecFrameStore* fs = ctx->dpb[k];
        if (!field) {
          if (fs->reference == 3 && fs->longTerm == 3 && fs->longTermFrameIdx == num) pic = fs->frame;
          continue;
        }
        int longBits = fs->reference & fs->longTerm;
        if ((longBits & 1) && fs->top->longTermPicNum == num) pic = fs->top;
        if ((longBits & 2) && fs->bottom->longTermPicNum == num) pic = fs->bottom;
      }
    }
    if (!pic) continue;  // names no reference picture
    for (uint32_t c = length; c > index; --c) refs[c] = refs[c - 1];
    refs[index++] = pic;
    uint32_t n = index;
    for (uint32_t c = index; c <= length; ++c) {
      H264DecPicture* p = refs[c];
      bool same = p && (longTerm ? p->longTerm && p->longTermPicNum == num : !p->longTerm && p->picNum == num);
      if (!same) refs[n++] = p;
    }
    for (; n <= length; ++n) refs[n] = nullptr;
  }
}
