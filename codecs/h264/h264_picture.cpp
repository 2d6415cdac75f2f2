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

void SetReference(H264DecPicture* frame, int isRef, int longTerm) {
  for (H264DecPicture* p : {frame, frame->top, frame->bottom}) {
    p->isReference = isRef;
    p->longTerm = longTerm;
  }
}

void RebuildRefLists(H264DecContext* ctx) {
  ctx->numShortTerm = ctx->numLongTerm = 0;
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i) {
    H264DecFrameStore* fs = ctx->dpb[i];
    if (!fs->reference) continue;
    if (fs->longTerm)
      ctx->longTermRefs[ctx->numLongTerm++] = fs;
    else
      ctx->shortTermRefs[ctx->numShortTerm++] = fs;
  }
  for (uint32_t i = ctx->numShortTerm; i < kH264MaxDpb; ++i) ctx->shortTermRefs[i] = nullptr;
  for (uint32_t i = ctx->numLongTerm; i < kH264MaxDpb; ++i) ctx->longTermRefs[i] = nullptr;
}

void Unmark(H264DecFrameStore* fs) {
  fs->reference = 0;
  fs->longTerm = 0;
  SetReference(fs->frame, 0, 0);
}

void RemoveStoreAt(H264DecContext* ctx, uint32_t index) {
  H264DecFrameStore* fs = ctx->dpb[index];
  H264DecPicture* frame = fs->frame;
  frame->inUse = frame->top->inUse = frame->bottom->inUse = 0;
  SetReference(frame, 0, 0);
  if (frame->outputState == kH264OutputHeld) frame->outputState = kH264OutputFree;
  std::memset(fs, 0, sizeof *fs);
  for (uint32_t i = index + 1; i < ctx->dpbFullness; ++i) ctx->dpb[i - 1] = ctx->dpb[i];
  ctx->dpb[--ctx->dpbFullness] = nullptr;
}

void OutputStore(H264DecContext* ctx, H264DecFrameStore* fs) {
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
    Unmark(ctx->shortTermRefs[0]);
    RebuildRefLists(ctx);
  }
  if (ctx->numShortTerm > 0 && ctx->numShortTerm + ctx->numLongTerm == maxRef) {
    Unmark(ctx->shortTermRefs[0]);
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

// PicNum of a short-term frame store seen from frame_num `cur`.
int32_t PicNumOf(const H264DecContext* ctx, const H264DecFrameStore* fs, uint32_t cur) {
  return fs->frameNum > cur ? static_cast<int32_t>(fs->frameNum) - static_cast<int32_t>(ctx->activeSps.maxFrameNum)
                            : static_cast<int32_t>(fs->frameNum);
}

H264DecFrameStore* ShortTermByPicNum(H264DecContext* ctx, int64_t picNum, uint32_t cur) {
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i) {
    H264DecFrameStore* fs = ctx->dpb[i];
    if (fs->reference == 3 && !fs->longTerm && PicNumOf(ctx, fs, cur) == picNum) return fs;
  }
  return nullptr;
}

// Unmarks the long-term frame holding LongTermFrameIdx idx, except `keep`.
void FreeLongTermIndex(H264DecContext* ctx, int32_t idx, const H264DecFrameStore* keep) {
  for (uint32_t i = 0; i < ctx->dpbFullness; ++i) {
    H264DecFrameStore* fs = ctx->dpb[i];
    if (fs != keep && fs->reference && fs->longTerm && fs->longTermFrameIdx == idx) Unmark(fs);
  }
}

// Memory management control operations of a reference frame (clause
// 8.2.5.4). Commands that name no stored picture, or a long-term index above
// MaxLongTermFrameIdx, do nothing. Returns 1 when command 5 was among them.
int ApplyMmco(H264DecContext* ctx, H264DecPicture* pic) {
  int hadMmco5 = 0;
  uint32_t cur = pic->frameNum;
  for (uint32_t i = 0; i < pic->mmcoCount && i < kH264MaxMmco; ++i) {
    const H264Mmco& m = pic->mmco[i];
    switch (m.op) {
      case 1:
      case 3: {
        int64_t picNumX = static_cast<int64_t>(cur) - (static_cast<int64_t>(m.difference_of_pic_nums_minus1) + 1);
        H264DecFrameStore* fs = ShortTermByPicNum(ctx, picNumX, cur);
        if (!fs) break;
        if (m.op == 1) {
          Unmark(fs);
          break;
        }
        if (static_cast<int64_t>(m.long_term_frame_idx) > ctx->maxLongTermFrameIdx) break;
        int32_t idx = static_cast<int32_t>(m.long_term_frame_idx);
        FreeLongTermIndex(ctx, idx, fs);
        fs->longTerm = 3;
        fs->longTermFrameIdx = idx;
        SetReference(fs->frame, 1, 3);
        fs->frame->longTermFrameIdx = idx;
        break;
      }
      case 2:
        for (uint32_t k = 0; k < ctx->dpbFullness; ++k) {
          H264DecFrameStore* fs = ctx->dpb[k];
          if (fs->reference == 3 && fs->longTerm == 3 &&
              static_cast<uint32_t>(fs->longTermFrameIdx) == m.long_term_pic_num) {
            Unmark(fs);
            break;
          }
        }
        break;
      case 4: {
        int64_t max = static_cast<int64_t>(m.max_long_term_frame_idx_plus1) - 1;
        ctx->maxLongTermFrameIdx = static_cast<int32_t>(std::min<int64_t>(max, kH264MaxDpb - 1));
        for (uint32_t k = 0; k < ctx->dpbFullness; ++k) {
          H264DecFrameStore* fs = ctx->dpb[k];
          if (fs->reference && fs->longTerm && fs->longTermFrameIdx > ctx->maxLongTermFrameIdx) Unmark(fs);
        }
        break;
      }
      case 5:
        for (uint32_t k = 0; k < ctx->dpbFullness; ++k) Unmark(ctx->dpb[k]);
        ctx->maxLongTermFrameIdx = -1;
        hadMmco5 = 1;
        break;
      case 6:
        if (static_cast<int64_t>(m.long_term_frame_idx) > ctx->maxLongTermFrameIdx) break;
        FreeLongTermIndex(ctx, static_cast<int32_t>(m.long_term_frame_idx), nullptr);
        SetReference(pic, 1, 3);
        pic->longTermFrameIdx = static_cast<int32_t>(m.long_term_frame_idx);
        break;
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
  int32_t temp = std::min(pic->topPoc, pic->bottomPoc);
  pic->topPoc -= temp;
  pic->bottomPoc -= temp;
  pic->poc = pic->framePoc = std::min(pic->topPoc, pic->bottomPoc);
  pic->frameNum = 0;
  ctx->prevHadMmco5 = 1;
  ctx->prevRefHadMmco5 = 1;
  ctx->prevRefWasBottomField = 0;
  ctx->prevRefTopPoc = pic->topPoc;
  ctx->prevFrameNum = 0;
}

H264DecFrameStore* FreeStore(H264DecContext* ctx) {
  for (int i = 0; i < kH264MaxDpb; ++i)
    if (!ctx->frameStores[i].frame) return &ctx->frameStores[i];
  return nullptr;
}

void Store(H264DecContext* ctx, H264DecPicture* pic) {
  H264DecFrameStore* fs = ctx->dpbFullness < kH264MaxDpb ? FreeStore(ctx) : nullptr;
  if (!fs) {
    // No room even beyond the DPB size (a stream that breaks its limits):
    // the picture leaves at once.
    pic->inUse = pic->top->inUse = pic->bottom->inUse = 0;
    SetReference(pic, 0, 0);
    PushOutput(ctx, pic);
    return;
  }
  fs->frame = pic;
  fs->top = pic->top;
  fs->bottom = pic->bottom;
  fs->outputDone = 0;
  fs->inUse = 3;
  fs->reference = pic->isReference ? 3 : 0;
  fs->longTerm = pic->longTerm ? 3 : 0;
  fs->storedAsRef = fs->reference;
  fs->frameNum = pic->frameNum;
  fs->frameNumWrap = static_cast<int32_t>(pic->frameNum);
  fs->longTermFrameIdx = pic->longTermFrameIdx;
  fs->poc = pic->poc;
  ctx->dpb[ctx->dpbFullness++] = fs;
}

void OutputDirect(H264DecContext* ctx, H264DecPicture* pic) {
  pic->inUse = pic->top->inUse = pic->bottom->inUse = 0;
  PushOutput(ctx, pic);
  ctx->lastOutputPoc = pic->poc;
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
  if (s.structure == 0)
    pic->poc = std::min(pic->topPoc, pic->bottomPoc);
  else
    pic->poc = s.structure == 1 ? pic->topPoc : pic->bottomPoc;
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
  pic->outputState = kH264OutputHeld;
  pic->nonExisting = 0;
  pic->timeStampLow = ctx->timeStampLow;
  pic->timeStampHigh = ctx->timeStampHigh;
  std::memset(pic->stats, 0, sizeof pic->stats);
  pic->inUse = pic->top->inUse = pic->bottom->inUse = 3;
  pic->structure = 0;
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
      pic->topPoc = pic->bottomPoc = pic->poc = pic->framePoc =
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

}  // namespace

int H264DecStartPicture(H264DecContext* ctx) {
  H264DecFinishCurrentPicture(ctx);
  const H264SliceHeader& s = ctx->slice;
  const H264Sps& sps = ctx->activeSps;
  if (ctx->prevRefHadMmco5) ctx->prevRefFrameNum = 0;
  if (!s.idrPicFlag && s.frame_num != ctx->prevRefFrameNum &&
      s.frame_num != (ctx->prevRefFrameNum + 1) % sps.maxFrameNum) {
    if (sps.gaps_in_frame_num_value_allowed_flag)
      FillFrameNumGap(ctx);
    else if (s.frame_num < (ctx->prevRefFrameNum + 1) % sps.maxFrameNum)
      return -1;  // backwards; a jump forward is taken as it is
  }
  H264DecPicture* pic = FreeBuffer(ctx);
  if (!pic) return -1;
  BeginFrame(ctx, pic);
  pic->sliceType = static_cast<int32_t>(s.slice_type);
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
  pic->sei224Phase = ctx->sei224Mark ? ((s.frame_num & 1) ? 2 : 1) : 0;
  pic->interlaceMode = sps.frame_mbs_only_flag ? 0 : (s.field_pic_flag ? 2 : 1);
  pic->picSizeInMbs = s.PicSizeInMbs;
  pic->userData = ctx->userData.marker == 240 ? &ctx->userData : nullptr;
  // The order counts read the state a command 5 of the previous picture
  // left; only then does this picture replace it.
  H264DecComputePoc(ctx, pic);
  if (s.nal_ref_idc) ctx->prevRefFrameNum = s.frame_num;
  ctx->prevHadMmco5 = 0;
  if (s.nal_ref_idc) ctx->prevRefHadMmco5 = 0;
  ctx->curPic = pic;
  ctx->mbCount = 0;
  return 0;
}

void H264DecFinishPicture(H264DecPicture* pic, H264DecContext* ctx) {
  RebuildRefLists(ctx);
  if (pic->idr) {
    IdrMarking(ctx, pic);
  } else if (pic->isReference && pic->adaptive_ref_pic_marking_mode_flag) {
    if (ApplyMmco(ctx, pic)) AfterMmco5(ctx, pic);
    // Commands that leave no room for the picture itself (a stream beyond
    // its limits) fall back to the sliding window.
    uint32_t maxRef = std::max<uint32_t>(ctx->activeSps.max_num_ref_frames, 1);
    if (ctx->numShortTerm + ctx->numLongTerm >= maxRef) SlidingWindow(ctx);
  } else if (pic->isReference) {
    SlidingWindow(ctx);
  }
  if (ctx->dpbFullness >= ctx->dpbSize) RemoveOneUnused(ctx);
  if (!(ctx->flags & H264DEC_FLAG_DISPLAY_ORDER)) {
    if (!pic->isReference) {
      OutputDirect(ctx, pic);
    } else {
      Store(ctx, pic);
      if (ctx->dpbFullness && ctx->dpb[ctx->dpbFullness - 1]->frame == pic) OutputStore(ctx, ctx->dpb[ctx->dpbFullness - 1]);
    }
  } else {
    bool stored = true;
    while (ctx->dpbFullness >= ctx->dpbSize) {
      int w = SmallestWaiting(ctx);
      if (!pic->isReference && (w < 0 || pic->poc < ctx->dpb[w]->poc)) {
        OutputDirect(ctx, pic);
        stored = false;
        break;
      }
      if (w < 0) break;
      H264DecFrameStore* fs = ctx->dpb[w];
      OutputStore(ctx, fs);
      if (!fs->reference) RemoveStoreAt(ctx, static_cast<uint32_t>(w));
    }
    if (stored) Store(ctx, pic);
  }
  RebuildRefLists(ctx);
}

void H264DecFinishCurrentPicture(H264DecContext* ctx) {
  H264DecPicture* pic = ctx->curPic;
  if (!pic) return;
  if (!(ctx->flags & H264DEC_FLAG_THREADS)) pic->incomplete = ctx->mbCount != pic->picSizeInMbs;
  H264DecFinishPicture(pic, ctx);
  ctx->mbCount = 0;
  ctx->curPic = nullptr;
}
