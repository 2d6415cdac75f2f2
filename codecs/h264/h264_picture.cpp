// Pictures: starting a picture in a free buffer, picture order counts,
// reference marking (IDR and sliding window), the decoded picture buffer and
// the two output orders.
#include <algorithm>
#include <climits>
#include <cstring>

#include "codecs/h264/h264_internal.h"

namespace {

void PushOutput(H264DecContext* ctx, H264DecPicture* frame) {
  if (!frame->nonExisting && frame->outputFlag && ctx->ringWrite - ctx->ringRead < kH264RingSize) {
    ctx->ring[ctx->ringWrite % kH264RingSize] = frame->bufferIndex;
    ++ctx->ringWrite;
    frame->outputState = kH264OutputQueued;
  } else {
    frame->outputState = kH264OutputFree;
  }
}

void SetReference(H264DecPicture* pic, int isRef, int longTerm) {
  if (pic->structure == 1 || pic->structure == 2) {
    pic->isReference = isRef;
    pic->longTerm = longTerm ? pic->structure : 0;
    return;
  }
  for (H264DecPicture* p : {pic, pic->top, pic->bottom}) {
    p->isReference = isRef;
    p->longTerm = longTerm;
  }
}

// Copies a store's marking bits into its picture records: each field its
// own bit, the frame record set when both fields are references.
void SyncRecords(H264DecFrameStore* fs) {
  H264DecPicture* f = fs->frame;
  f->top->isReference = fs->reference & 1;
  f->top->longTerm = fs->longTerm & 1;
  f->bottom->isReference = (fs->reference >> 1) & 1;
  f->bottom->longTerm = fs->longTerm & 2;
  f->isReference = fs->reference == 3;
  f->longTerm = fs->longTerm == 3 ? 3 : 0;
  f->top->longTermFrameIdx = f->bottom->longTermFrameIdx = f->longTermFrameIdx = fs->longTermFrameIdx;
}

inline int ParityBit(const H264DecPicture* pic) { return pic->structure == 1 || pic->structure == 2 ? pic->structure : 3; }

void RebuildRefLists(H264DecContext* ctx) {
  ctx->numShortTerm = ctx->numLongTerm = 0;
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i) {
    H264DecFrameStore* fs = ctx->dpb[i];
    if (fs->reference & ~fs->longTerm) ctx->shortTermRefs[ctx->numShortTerm++] = fs;
    if (fs->reference & fs->longTerm) ctx->longTermRefs[ctx->numLongTerm++] = fs;
  }
  for (uint32_t i = ctx->numShortTerm; i < kH264MaxDpb; ++i) ctx->shortTermRefs[i] = nullptr;
  for (uint32_t i = ctx->numLongTerm; i < kH264MaxDpb; ++i) ctx->longTermRefs[i] = nullptr;
}

void Unmark(H264DecFrameStore* fs) {
  fs->reference = 0;
  fs->longTerm = 0;
  SyncRecords(fs);
}

// Unmarks the fields of `bits` only.
void UnmarkFields(H264DecFrameStore* fs, int bits) {
  fs->reference &= ~bits;
  fs->longTerm &= ~bits;
  if (!fs->longTerm) fs->longTermFrameIdx = 0;
  SyncRecords(fs);
}

// Unmarks the short-term fields of a store.
void UnmarkShortTerm(H264DecFrameStore* fs) { UnmarkFields(fs, fs->reference & ~fs->longTerm); }

void RemoveStoreAt(H264DecContext* ctx, uint32_t index) {
  H264DecFrameStore* fs = ctx->dpb[index];
  H264DecPicture* frame = fs->frame;
  frame->inUse = frame->top->inUse = frame->bottom->inUse = 0;
  Unmark(fs);
  if (frame->outputState == kH264OutputHeld) frame->outputState = kH264OutputFree;
  if (ctx->pendingField == fs) ctx->pendingField = nullptr;
  std::memset(fs, 0, sizeof *fs);
  for (uint32_t i = index + 1; i < ctx->dpbFullness; ++i) ctx->dpb[i - 1] = ctx->dpb[i];
  ctx->dpb[--ctx->dpbFullness] = nullptr;
}

H264DecFrameStore* Holder(H264DecContext* ctx) { return &ctx->frameStores[kH264MaxDpb]; }

// Queues the unpaired field waiting in the output holder, if any.
void FlushHolder(H264DecContext* ctx, const H264DecFrameStore* keep = nullptr) {
  H264DecFrameStore* h = Holder(ctx);
  if (!h->frame || h == keep) return;
  H264DecPicture* frame = h->frame;
  frame->inUse = frame->top->inUse = frame->bottom->inUse = 0;
  PushOutput(ctx, frame);
  ctx->lastOutputPoc = h->poc;
  if (ctx->pendingField == h) ctx->pendingField = nullptr;
  std::memset(h, 0, sizeof *h);
}

void OutputStore(H264DecContext* ctx, H264DecFrameStore* fs) {
  FlushHolder(ctx, fs);
  PushOutput(ctx, fs->frame);
  fs->outputDone = 1;
  ctx->lastOutputPoc = fs->poc;
}

// Index of the waiting store with the smallest order count, or -1.
int SmallestWaiting(const H264DecContext* ctx) {
  int best = -1;
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i) {
    const H264DecFrameStore* fs = ctx->dpb[i];
    if (!fs->outputDone && (best < 0 || fs->poc < ctx->dpb[best]->poc)) best = static_cast<int>(i);
  }
  return best;
}

bool RemoveOneUnused(H264DecContext* ctx) {
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i)
    if (ctx->dpb[i]->outputDone && !ctx->dpb[i]->reference) {
      RemoveStoreAt(ctx, i);
      return true;
    }
  return false;
}

void SlidingWindow(H264DecContext* ctx) {
  RebuildRefLists(ctx);
  uint32_t maxRef = std::max<uint32_t>(ctx->activeSps.max_num_ref_frames, 1);
  while (ctx->numLongTerm > 0 && ctx->numLongTerm >= maxRef) {
    Unmark(ctx->longTermRefs[0]);
    RebuildRefLists(ctx);
  }
  for (int round = 0; round < kH264MaxDpb && ctx->numShortTerm > 0 && ctx->numShortTerm + ctx->numLongTerm > maxRef;
       ++round) {
    UnmarkShortTerm(ctx->shortTermRefs[0]);
    RebuildRefLists(ctx);
  }
  if (ctx->numShortTerm > 0 && ctx->numShortTerm + ctx->numLongTerm == maxRef) {
    UnmarkShortTerm(ctx->shortTermRefs[0]);
    RebuildRefLists(ctx);
  }
}

void IdrMarking(H264DecContext* ctx, H264DecPicture* pic) {
  if (pic->no_output_of_prior_pics_flag) {
    while (ctx->dpbFullness > 0) RemoveStoreAt(ctx, ctx->dpbFullness - 1);
    ctx->lastOutputPoc = INT_MIN;
  } else {
    H264DecClearReferences(ctx);
  }
  if (pic->long_term_reference_flag) {
    SetReference(pic, 1, 3);
    pic->longTermFrameIdx = 0;
    ctx->maxLongTermFrameIdx = 0;
  } else {
    ctx->maxLongTermFrameIdx = -1;
  }
}

// A short-term field (or, for frames, frame) with PicNum picNum, as numbered
// for the picture `pic`; sets *bit to the fields it covers.
H264DecFrameStore* ShortTermByPicNum(H264DecContext* ctx, const H264DecPicture* pic, int64_t picNum, int* bit) {
  bool field = pic->structure == 1 || pic->structure == 2;
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i) {
    H264DecFrameStore* fs = ctx->dpb[i];
    int shortBits = fs->reference & ~fs->longTerm;
    if (!field) {
      if (shortBits == 3 && fs->frame->picNum == picNum) return *bit = 3, fs;
      continue;
    }
    for (int b = 1; b <= 2; ++b) {
      const H264DecPicture* f = b == 1 ? fs->top : fs->bottom;
      if ((shortBits & b) && f->picNum == picNum) return *bit = b, fs;
    }
  }
  return nullptr;
}

H264DecFrameStore* LongTermByPicNum(H264DecContext* ctx, const H264DecPicture* pic, int64_t num, int* bit) {
  bool field = pic->structure == 1 || pic->structure == 2;
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i) {
    H264DecFrameStore* fs = ctx->dpb[i];
    int longBits = fs->reference & fs->longTerm;
    if (!field) {
      if (longBits == 3 && fs->frame->longTermPicNum == num) return *bit = 3, fs;
      continue;
    }
    for (int b = 1; b <= 2; ++b) {
      const H264DecPicture* f = b == 1 ? fs->top : fs->bottom;
      if ((longBits & b) && f->longTermPicNum == num) return *bit = b, fs;
    }
  }
  return nullptr;
}

// Unmarks what holds LongTermFrameIdx idx, except the fields of `keep` (the
// frame of the field that takes the index).
void FreeLongTermIndex(H264DecContext* ctx, int32_t idx, const H264DecPicture* keepFrame) {
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i) {
    H264DecFrameStore* fs = ctx->dpb[i];
    if (fs->frame == keepFrame) continue;
    if ((fs->reference & fs->longTerm) && fs->longTermFrameIdx == idx) UnmarkFields(fs, fs->longTerm);
  }
}

// Memory management control operations of a reference picture (clause
// 8.2.5.4). Commands that name no stored picture, or a long-term index above
// MaxLongTermFrameIdx, do nothing. Returns 1 when command 5 was among them.
int ApplyMmco(H264DecContext* ctx, H264DecPicture* pic) {
  int hadMmco5 = 0;
  bool field = pic->structure == 1 || pic->structure == 2;
  H264DecNumberReferences(ctx, pic->frameNum, field ? pic->structure : 0);
  int64_t curPicNum = field ? 2 * static_cast<int64_t>(pic->frameNum) + 1 : pic->frameNum;
  for (uint32_t i = 0; i < pic->mmcoCount && i < kH264MaxMmco; ++i) {
    const H264Mmco& m = pic->mmco[i];
    switch (m.op) {
      case 1:
      case 3: {
        int64_t picNumX = curPicNum - (static_cast<int64_t>(m.difference_of_pic_nums_minus1) + 1);
        int bit = 0;
        H264DecFrameStore* fs = ShortTermByPicNum(ctx, pic, picNumX, &bit);
        if (!fs) break;
        if (m.op == 1) {
          UnmarkFields(fs, bit);
          break;
        }
        if (static_cast<int64_t>(m.long_term_frame_idx) > ctx->maxLongTermFrameIdx) break;
        int32_t idx = static_cast<int32_t>(m.long_term_frame_idx);
        // The other field of the same frame keeps the index it shares.
        bool partnerHasIdx = (fs->longTerm & fs->reference) && fs->longTermFrameIdx == idx;
        FreeLongTermIndex(ctx, idx, partnerHasIdx ? fs->frame : nullptr);
        if (!partnerHasIdx && (fs->longTerm & fs->reference)) UnmarkFields(fs, fs->longTerm);
        fs->longTerm |= bit;
        fs->longTermFrameIdx = idx;
        SyncRecords(fs);
        break;
      }
      case 2: {
        int bit = 0;
        H264DecFrameStore* fs = LongTermByPicNum(ctx, pic, m.long_term_pic_num, &bit);
        if (fs) UnmarkFields(fs, bit);
        break;
      }
      case 4: {
        int64_t max = static_cast<int64_t>(m.max_long_term_frame_idx_plus1) - 1;
        ctx->maxLongTermFrameIdx = static_cast<int32_t>(std::min<int64_t>(max, kH264MaxDpb - 1));
        for (uint32_t k = 0; k < ctx->dpbFullness; ++k) {
          H264DecFrameStore* fs = ctx->dpb[k];
          if ((fs->reference & fs->longTerm) && fs->longTermFrameIdx > ctx->maxLongTermFrameIdx)
            UnmarkFields(fs, fs->longTerm);
        }
        break;
      }
      case 5:
        for (uint32_t k = 0; k < ctx->dpbFullness; ++k) Unmark(ctx->dpb[k]);
        ctx->maxLongTermFrameIdx = -1;
        hadMmco5 = 1;
        break;
      case 6: {
        if (static_cast<int64_t>(m.long_term_frame_idx) > ctx->maxLongTermFrameIdx) break;
        int32_t idx = static_cast<int32_t>(m.long_term_frame_idx);
        // A second field keeps its first field when that holds the index.
        const H264DecFrameStore* first = ctx->pendingField;
        bool keep = field && first && first->frame == pic->frame && (first->longTerm & first->reference) &&
                    first->longTermFrameIdx == idx;
        FreeLongTermIndex(ctx, idx, keep ? pic->frame : nullptr);
        SetReference(pic, 1, 3);
        pic->longTermFrameIdx = idx;
        break;
      }
      default:
        break;
    }
  }
  RebuildRefLists(ctx);
  return hadMmco5;
}

// After command 5 the picture counts as frame_num 0 with its order counts
// taken relative to its own (clause 8.2.1); everything before it is output.
void AfterMmco5(H264DecContext* ctx, H264DecPicture* pic) {
  H264DecClearReferences(ctx);
  if (pic->structure == 1 || pic->structure == 2) {
    pic->topPoc = pic->bottomPoc = pic->poc = pic->framePoc = 0;
    pic->frame->poc = pic->frame->framePoc = 0;
    if (pic->structure == 1)
      pic->frame->topPoc = 0;
    else
      pic->frame->bottomPoc = 0;
  } else {
    int32_t temp = std::min(pic->topPoc, pic->bottomPoc);
    pic->topPoc -= temp;
    pic->bottomPoc -= temp;
    pic->poc = pic->framePoc = std::min(pic->topPoc, pic->bottomPoc);
    pic->top->poc = pic->top->topPoc = pic->topPoc;
    pic->bottom->poc = pic->bottom->bottomPoc = pic->bottomPoc;
  }
  pic->frameNum = pic->frame->frameNum = 0;
  ctx->prevHadMmco5 = 1;
  ctx->prevRefHadMmco5 = 1;
  ctx->prevRefWasBottomField = pic->structure == 2;
  ctx->prevRefTopPoc = pic->structure == 2 ? 0 : pic->topPoc;
  ctx->prevFrameNum = 0;
}

H264DecFrameStore* FreeStore(H264DecContext* ctx) {
  for (int i = 0; i < kH264MaxDpb; ++i)
    if (!ctx->frameStores[i].frame) return &ctx->frameStores[i];
  return nullptr;
}

// Fills store fs with picture pic (a frame or a first field).
void FillStore(H264DecFrameStore* fs, H264DecPicture* pic) {
  int bit = ParityBit(pic);
  fs->frame = pic->frame;
  fs->top = pic->frame->top;
  fs->bottom = pic->frame->bottom;
  fs->outputDone = 0;
  fs->inUse = bit;
  fs->reference = pic->isReference ? bit : 0;
  fs->longTerm = pic->longTerm ? bit : 0;
  fs->storedAsRef = fs->reference;
  fs->frameNum = pic->frameNum;
  fs->frameNumWrap = static_cast<int32_t>(pic->frameNum);
  fs->longTermFrameIdx = pic->longTermFrameIdx;
  fs->poc = pic->poc;
  pic->frame->frameNum = pic->frameNum;
  SyncRecords(fs);
}

// Stores a frame or first field in the next frame store; returns it, or null
// when the picture left at once for want of room.
H264DecFrameStore* Store(H264DecContext* ctx, H264DecPicture* pic) {
  H264DecFrameStore* fs = ctx->dpbFullness < kH264MaxDpb ? FreeStore(ctx) : nullptr;
  if (!fs) {
    // No room even beyond the DPB size (a stream that breaks its limits):
    // the picture leaves at once.
    H264DecPicture* frame = pic->frame;
    frame->inUse = frame->top->inUse = frame->bottom->inUse = 0;
    SetReference(frame, 0, 0);
    PushOutput(ctx, frame);
    return nullptr;
  }
  FillStore(fs, pic);
  ctx->dpb[ctx->dpbFullness++] = fs;
  return fs;
}

// A non-reference picture that leaves at once: a frame is queued, a field
// waits in the output holder for its partner.
void OutputDirect(H264DecContext* ctx, H264DecPicture* pic) {
  if (pic->structure == 1 || pic->structure == 2) {
    FlushHolder(ctx);
    H264DecFrameStore* h = Holder(ctx);
    FillStore(h, pic);
    ctx->pendingField = h;
    return;
  }
  FlushHolder(ctx);
  pic->inUse = pic->top->inUse = pic->bottom->inUse = 0;
  PushOutput(ctx, pic);
  ctx->lastOutputPoc = pic->poc;
}

// The second field of the pending store joins it.
void JoinSecondField(H264DecContext* ctx, H264DecPicture* pic) {
  H264DecFrameStore* fs = ctx->pendingField;
  int bit = pic->structure;
  H264DecPicture* frame = pic->frame;
  fs->inUse = 3;
  if (pic->isReference) fs->reference |= bit;
  fs->storedAsRef |= pic->isReference ? bit : 0;
  if (pic->longTerm) {
    fs->longTerm |= bit;
    fs->longTermFrameIdx = pic->longTermFrameIdx;
  }
  frame->topPoc = frame->top->poc;
  frame->bottomPoc = frame->bottom->poc;
  frame->poc = frame->framePoc = std::min(frame->topPoc, frame->bottomPoc);
  fs->poc = frame->poc;
  SyncRecords(fs);
  ctx->pendingField = nullptr;
  if (fs == Holder(ctx)) {
    FlushHolder(ctx);
  } else if (!(ctx->flags & H264DEC_FLAG_DISPLAY_ORDER) && !fs->outputDone) {
    OutputStore(ctx, fs);
  }
}

}  // namespace

void H264DecClearReferences(H264DecContext* ctx) {
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i) Unmark(ctx->dpb[i]);
  for (uint32_t i = 0; i < ctx->dpbFullness;) {
    if (ctx->dpb[i]->outputDone)
      RemoveStoreAt(ctx, i);
    else
      ++i;
  }
  while (ctx->dpbFullness > 0) {
    int best = SmallestWaiting(ctx);
    OutputStore(ctx, ctx->dpb[best]);
    RemoveStoreAt(ctx, static_cast<uint32_t>(best));
  }
  FlushHolder(ctx);
  ctx->pendingField = nullptr;
  ctx->lastOutputPoc = INT_MIN;
  RebuildRefLists(ctx);
}

void H264DecComputePoc(H264DecContext* ctx, H264DecPicture* pic) {
  const H264SliceHeader& s = ctx->slice;
  const H264Sps& sps = ctx->activeSps;
  int64_t top = 0, bottom = 0;
  if (sps.pic_order_cnt_type == 0) {
    int64_t prevMsb = ctx->prevPicOrderCntMsb, prevLsb = ctx->prevPicOrderCntLsb;
    if (s.idrPicFlag) {
      prevMsb = prevLsb = 0;
    } else if (ctx->prevRefHadMmco5) {
      prevMsb = 0;
      prevLsb = ctx->prevRefWasBottomField ? 0 : ctx->prevRefTopPoc;
    }
    int64_t lsb = s.pic_order_cnt_lsb, max = sps.maxPicOrderCntLsb, msb = prevMsb;
    if (lsb < prevLsb && prevLsb - lsb >= max / 2)
      msb = prevMsb + max;
    else if (lsb > prevLsb && lsb - prevLsb > max / 2)
      msb = prevMsb - max;
    top = msb + lsb;
    bottom = s.structure == 0 ? top + s.delta_pic_order_cnt_bottom : msb + lsb;
    if (s.nal_ref_idc) {
      ctx->prevPicOrderCntMsb = msb;
      ctx->prevPicOrderCntLsb = lsb;
    }
  } else {
    int64_t prevOffset = ctx->prevHadMmco5 ? 0 : ctx->prevFrameNumOffset;
    int64_t offset = 0;
    if (!s.idrPicFlag) offset = ctx->prevFrameNum > s.frame_num ? prevOffset + sps.maxFrameNum : prevOffset;
    if (sps.pic_order_cnt_type == 1) {
      int64_t cycle = sps.num_ref_frames_in_pic_order_cnt_cycle;
      int64_t absFrameNum = cycle ? offset + s.frame_num : 0;
      if (s.nal_ref_idc == 0 && absFrameNum > 0) --absFrameNum;
      int64_t expected = 0;
      if (absFrameNum > 0) {
        int64_t deltaPerCycle = 0;
        for (int64_t i = 0; i < cycle; ++i) deltaPerCycle += sps.offset_for_ref_frame[i];
        int64_t cycleCnt = (absFrameNum - 1) / cycle, inCycle = (absFrameNum - 1) % cycle;
        expected = cycleCnt * deltaPerCycle;
        for (int64_t i = 0; i <= inCycle; ++i) expected += sps.offset_for_ref_frame[i];
      }
      if (s.nal_ref_idc == 0) expected += sps.offset_for_non_ref_pic;
      if (s.structure == 0) {
        top = expected + s.delta_pic_order_cnt[0];
        bottom = top + sps.offset_for_top_to_bottom_field + s.delta_pic_order_cnt[1];
      } else if (s.structure == 1) {
        top = expected + s.delta_pic_order_cnt[0];
      } else {
        bottom = expected + sps.offset_for_top_to_bottom_field + s.delta_pic_order_cnt[0];
      }
    } else {
      int64_t temp = 0;
      if (!s.idrPicFlag) temp = s.nal_ref_idc == 0 ? 2 * (offset + s.frame_num) - 1 : 2 * (offset + s.frame_num);
      top = bottom = temp;
    }
    ctx->prevFrameNumOffset = offset;
    ctx->prevFrameNum = s.frame_num;
  }
  pic->topPoc = static_cast<int32_t>(top);
  pic->bottomPoc = static_cast<int32_t>(bottom);
  if (s.structure == 0) {
    pic->poc = std::min(pic->topPoc, pic->bottomPoc);
    // The fields of a frame are references of later field pictures.
    pic->top->poc = pic->top->topPoc = pic->topPoc;
    pic->bottom->poc = pic->bottom->bottomPoc = pic->bottomPoc;
  } else {
    pic->poc = s.structure == 1 ? pic->topPoc : pic->bottomPoc;
  }
  pic->framePoc = pic->poc;
}

namespace {

H264DecPicture* FreeBuffer(H264DecContext* ctx) {
  for (uint32_t b = 0; b < ctx->numBuffers; ++b) {
    H264DecPicture* f = &ctx->pictures[b][0];
    if (f->outputState == kH264OutputFree && f->inUse == 0 && !f->isReference) return f;
  }
  return nullptr;
}

// Takes buffer `pic` for a frame of the active sequence.
void BeginFrame(H264DecContext* ctx, H264DecPicture* pic) {
  const H264Sps& sps = ctx->activeSps;
  H264DecPrepareBuffer(ctx, pic->bufferIndex);
  pic->outputState = kH264OutputHeld;
  pic->nonExisting = 0;
  pic->timeStampLow = ctx->timeStampLow;
  pic->timeStampHigh = ctx->timeStampHigh;
  std::memset(pic->stats, 0, sizeof pic->stats);
  pic->inUse = pic->top->inUse = pic->bottom->inUse = 3;
  pic->structure = 0;
  pic->top->structure = 1;
  pic->bottom->structure = 2;
  pic->width = static_cast<int32_t>(sps.width);
  pic->height = static_cast<int32_t>(sps.frameHeight);
  pic->lumaStride = pic->width;
  pic->chromaStride = pic->width / 2;
  pic->frame_mbs_only_flag = sps.frame_mbs_only_flag;
  pic->longTermFrameIdx = 0;
  pic->incomplete = 0;
  pic->cropLeft = static_cast<int32_t>(sps.cropLeft);
  pic->cropRight = static_cast<int32_t>(sps.cropRight);
  pic->cropTop = static_cast<int32_t>(sps.cropTop);
  pic->cropBottom = static_cast<int32_t>(sps.cropBottom);
}

// Non-existing reference frames for the frame_num values skipped before the
// current picture (clause 8.2.5.2); they are marked and stored but never
// output. Stops early when no buffer is free.
void FillFrameNumGap(H264DecContext* ctx) {
  H264SliceHeader& s = ctx->slice;
  const H264Sps& sps = ctx->activeSps;
  H264SliceHeader saved = s;
  s.nal_ref_idc = 1;
  s.idrPicFlag = 0;
  s.field_pic_flag = s.bottom_field_flag = s.structure = 0;
  s.delta_pic_order_cnt[0] = s.delta_pic_order_cnt[1] = 0;
  for (uint32_t num = (ctx->prevRefFrameNum + 1) % sps.maxFrameNum; num != saved.frame_num;
       num = (num + 1) % sps.maxFrameNum) {
    H264DecPicture* pic = FreeBuffer(ctx);
    if (!pic) break;
    BeginFrame(ctx, pic);
    pic->nonExisting = 1;
    pic->outputFlag = 0;
    pic->sliceType = kH264SliceP;
    pic->nal_unit_type = 1;
    pic->idr = 0;
    pic->adaptive_ref_pic_marking_mode_flag = 0;
    pic->mmcoCount = 0;
    pic->no_output_of_prior_pics_flag = pic->long_term_reference_flag = 0;
    pic->frameNum = num;
    pic->sei224Phase = 0;
    pic->interlaceMode = 0;
    pic->picSizeInMbs = s.PicSizeInMbs;
    pic->userData = nullptr;
    SetReference(pic, 1, 0);
    s.frame_num = num;
    if (sps.pic_order_cnt_type == 0) {
      // Order counts of type 0 come with the slices; the last ones stay.
      pic->topPoc = pic->bottomPoc = pic->poc = pic->framePoc = pic->top->poc = pic->bottom->poc =
          static_cast<int32_t>(ctx->prevPicOrderCntMsb + ctx->prevPicOrderCntLsb);
    } else {
      H264DecComputePoc(ctx, pic);
    }
    ctx->prevRefFrameNum = num;
    ctx->prevHadMmco5 = ctx->prevRefHadMmco5 = 0;
    H264DecFinishPicture(pic, ctx);
  }
  s = saved;
}

// The buffer of a field that completes the pending first field, or null.
H264DecPicture* SecondFieldBuffer(H264DecContext* ctx) {
  const H264SliceHeader& s = ctx->slice;
  const H264DecFrameStore* fs = ctx->pendingField;
  if (!s.field_pic_flag || !fs || !fs->frame) return nullptr;
  int bit = static_cast<int>(s.structure);
  bool firstIsRef = fs->storedAsRef != 0;
  if (fs->inUse != (3 ^ bit) || fs->frameNum != s.frame_num || firstIsRef != (s.nal_ref_idc != 0)) return nullptr;
  return fs->frame;
}

}  // namespace

int H264DecStartPicture(H264DecContext* ctx) {
  H264DecFinishCurrentPicture(ctx);
  const H264SliceHeader& s = ctx->slice;
  const H264Sps& sps = ctx->activeSps;
  if (ctx->prevRefHadMmco5) ctx->prevRefFrameNum = 0;
  H264DecPicture* frame = SecondFieldBuffer(ctx);
  if (!frame && !s.idrPicFlag && s.frame_num != ctx->prevRefFrameNum &&
      s.frame_num != (ctx->prevRefFrameNum + 1) % sps.maxFrameNum) {
    if (sps.gaps_in_frame_num_value_allowed_flag)
      FillFrameNumGap(ctx);
    else if (s.frame_num < (ctx->prevRefFrameNum + 1) % sps.maxFrameNum)
      return -1;  // backwards; a jump forward is taken as it is
  }
  ctx->curIsSecondField = frame != nullptr;
  if (!frame) {
    frame = FreeBuffer(ctx);
    if (!frame) return -1;
    BeginFrame(ctx, frame);
    frame->sliceType = static_cast<int32_t>(s.slice_type);
    frame->outputFlag = s.outputFlag;
    frame->idr = static_cast<int32_t>(s.idrPicFlag);
    frame->sei224Phase = ctx->sei224Mark ? ((s.frame_num & 1) ? 2 : 1) : 0;
    frame->interlaceMode = sps.frame_mbs_only_flag ? 0 : (s.field_pic_flag ? 2 : 1);
    frame->userData = ctx->userData.marker == 240 ? &ctx->userData : nullptr;
    frame->frameNum = s.frame_num;
  } else {
    frame->idr |= static_cast<int32_t>(s.idrPicFlag);
  }
  H264DecPicture* pic = frame;
  if (s.field_pic_flag) {
    pic = s.structure == 1 ? frame->top : frame->bottom;
    frame->structure = 3;
    pic->structure = static_cast<int32_t>(s.structure);
    pic->inUse = pic->structure;
    if (ctx->curIsSecondField) {
      frame->inUse |= pic->structure;
    } else {
      frame->inUse = pic->structure;
      (s.structure == 1 ? frame->bottom : frame->top)->inUse = 0;
    }
  }
  pic->outputFlag = s.outputFlag;
  pic->nal_unit_type = s.nal_unit_type;
  SetReference(pic, s.nal_ref_idc != 0, 0);
  pic->idr = static_cast<int32_t>(s.idrPicFlag);
  pic->no_output_of_prior_pics_flag = s.no_output_of_prior_pics_flag;
  pic->long_term_reference_flag = s.long_term_reference_flag;
  pic->adaptive_ref_pic_marking_mode_flag = s.adaptive_ref_pic_marking_mode_flag;
  pic->mmcoCount = s.mmcoCount;
  std::memcpy(pic->mmco, s.mmco, sizeof pic->mmco);
  pic->frameNum = s.frame_num;
  pic->longTermFrameIdx = 0;
  pic->picSizeInMbs = s.PicSizeInMbs;
  // The order counts read the state a command 5 of the previous picture
  // left; only then does this picture replace it.
  H264DecComputePoc(ctx, pic);
  if (s.field_pic_flag) {
    if (s.structure == 1)
      frame->topPoc = pic->poc;
    else
      frame->bottomPoc = pic->poc;
    frame->poc = frame->framePoc = ctx->curIsSecondField ? std::min(frame->topPoc, frame->bottomPoc) : pic->poc;
  }
  if (s.nal_ref_idc) ctx->prevRefFrameNum = s.frame_num;
  ctx->prevHadMmco5 = 0;
  if (s.nal_ref_idc) ctx->prevRefHadMmco5 = 0;
  if (s.nal_ref_idc) ctx->prevRefWasBottomField = s.structure == 2;
  ctx->curPic = pic;
  ctx->mbCount = 0;
  ++ctx->picSerial;
  return 0;
}

void H264DecFinishPicture(H264DecPicture* pic, H264DecContext* ctx) {
  RebuildRefLists(ctx);
  bool field = pic->structure == 1 || pic->structure == 2;
  bool second = field && ctx->curIsSecondField && ctx->pendingField && ctx->pendingField->frame == pic->frame;
  ctx->curIsSecondField = 0;
  if (pic->idr && !second) {
    IdrMarking(ctx, pic);
  } else if (pic->isReference && pic->adaptive_ref_pic_marking_mode_flag) {
    if (ApplyMmco(ctx, pic)) AfterMmco5(ctx, pic);
    // Commands that leave no room for the picture itself (a stream beyond
    // its limits) fall back to the sliding window.
    uint32_t maxRef = std::max<uint32_t>(ctx->activeSps.max_num_ref_frames, 1);
    if (!second && ctx->numShortTerm + ctx->numLongTerm >= maxRef) SlidingWindow(ctx);
  } else if (pic->isReference && !second) {
    SlidingWindow(ctx);
  }
  if (second && ctx->pendingField && ctx->pendingField->frame == pic->frame) {
    JoinSecondField(ctx, pic);
    RebuildRefLists(ctx);
    return;
  }
  // A first field that found no partner stays alone.
  if (ctx->pendingField) {
    H264DecFrameStore* lone = ctx->pendingField;
    ctx->pendingField = nullptr;
    if (lone == Holder(ctx))
      FlushHolder(ctx);
    else if (!(ctx->flags & H264DEC_FLAG_DISPLAY_ORDER) && !lone->outputDone)
      OutputStore(ctx, lone);
  }
  if (ctx->dpbFullness >= ctx->dpbSize) RemoveOneUnused(ctx);
  H264DecFrameStore* stored = nullptr;
  if (!(ctx->flags & H264DEC_FLAG_DISPLAY_ORDER)) {
    if (!pic->isReference) {
      OutputDirect(ctx, pic);
    } else {
      stored = Store(ctx, pic);
      if (stored && !field) OutputStore(ctx, stored);
    }
  } else {
    bool store = true;
    while (ctx->dpbFullness >= ctx->dpbSize) {
      int w = SmallestWaiting(ctx);
      if (!pic->isReference && (w < 0 || pic->poc < ctx->dpb[w]->poc)) {
        OutputDirect(ctx, pic);
        store = false;
        break;
      }
      if (w < 0) break;
      H264DecFrameStore* fs = ctx->dpb[w];
      OutputStore(ctx, fs);
      if (!fs->reference) RemoveStoreAt(ctx, static_cast<uint32_t>(w));
    }
    if (store) stored = Store(ctx, pic);
  }
  if (field && stored) ctx->pendingField = stored;
  RebuildRefLists(ctx);
}

void H264DecFinishCurrentPicture(H264DecContext* ctx) {
  H264DecPicture* pic = ctx->curPic;
  if (!pic) return;
  if (ctx->workers) {
    H264DecWaitWorkers(ctx);
    H264DecDeblockPicture(ctx);
  }
  if (ctx->mbCount != pic->picSizeInMbs) pic->frame->incomplete = 1;
  H264DecFinishPicture(pic, ctx);
  ctx->mbCount = 0;
  ctx->curPic = nullptr;
}
