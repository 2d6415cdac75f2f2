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

int H264DecStartPicture(H264DecContext* ctx) {
  H264DecFinishCurrentPicture(ctx);
  const H264SliceHeader& s = ctx->slice;
  const H264Sps& sps = ctx->activeSps;
  if (ctx->prevRefHadMmco5) ctx->prevRefFrameNum = 0;
  if (!s.idrPicFlag && s.frame_num != ctx->prevRefFrameNum &&
      s.frame_num != (ctx->prevRefFrameNum + 1) % sps.maxFrameNum) {
    // Filling gaps with non-existing frames comes with inter prediction; a
    // jump forward is taken as it is.
    if (!sps.gaps_in_frame_num_value_allowed_flag && s.frame_num < (ctx->prevRefFrameNum + 1) % sps.maxFrameNum)
      return -1;
  }
  H264DecPicture* pic = nullptr;
  for (uint32_t b = 0; b < ctx->numBuffers && !pic; ++b) {
    H264DecPicture* f = &ctx->pictures[b][0];
    if (f->outputState == kH264OutputFree && f->inUse == 0 && !f->isReference) pic = f;
  }
  if (!pic) return -1;
  if (s.nal_ref_idc) ctx->prevRefFrameNum = s.frame_num;
  ctx->prevHadMmco5 = 0;
  if (s.nal_ref_idc) ctx->prevRefHadMmco5 = 0;

  pic->outputState = kH264OutputHeld;
  pic->nonExisting = 0;
  pic->timeStampLow = ctx->timeStampLow;
  pic->timeStampHigh = ctx->timeStampHigh;
  pic->sliceType = static_cast<int32_t>(s.slice_type);
  pic->outputFlag = s.outputFlag;
  std::memset(pic->stats, 0, sizeof pic->stats);
  pic->inUse = pic->top->inUse = pic->bottom->inUse = 3;
  pic->structure = 0;
  pic->width = static_cast<int32_t>(sps.width);
  pic->height = static_cast<int32_t>(sps.frameHeight);
  pic->lumaStride = pic->width;
  pic->chromaStride = pic->width / 2;
  pic->nal_unit_type = s.nal_unit_type;
  SetReference(pic, s.nal_ref_idc != 0, 0);
  pic->idr = static_cast<int32_t>(s.idrPicFlag);
  pic->frame_mbs_only_flag = sps.frame_mbs_only_flag;
  pic->no_output_of_prior_pics_flag = s.no_output_of_prior_pics_flag;
  pic->long_term_reference_flag = s.long_term_reference_flag;
  pic->adaptive_ref_pic_marking_mode_flag = s.adaptive_ref_pic_marking_mode_flag;
  pic->mmcoCount = s.mmcoCount;
  std::memcpy(pic->mmco, s.mmco, sizeof pic->mmco);
  pic->frameNum = s.frame_num;
  pic->longTermFrameIdx = 0;
  pic->sei224Phase = ctx->sei224Mark ? ((s.frame_num & 1) ? 2 : 1) : 0;
  pic->interlaceMode = sps.frame_mbs_only_flag ? 0 : (s.field_pic_flag ? 2 : 1);
  pic->incomplete = 0;
  pic->picSizeInMbs = s.PicSizeInMbs;
  pic->cropLeft = static_cast<int32_t>(sps.cropLeft);
  pic->cropRight = static_cast<int32_t>(sps.cropRight);
  pic->cropTop = static_cast<int32_t>(sps.cropTop);
  pic->cropBottom = static_cast<int32_t>(sps.cropBottom);
  pic->userData = ctx->userData.marker == 240 ? &ctx->userData : nullptr;
  H264DecComputePoc(ctx, pic);
  ctx->curPic = pic;
  ctx->mbCount = 0;
  return 0;
}

void H264DecFinishPicture(H264DecPicture* pic, H264DecContext* ctx) {
  RebuildRefLists(ctx);
  if (pic->idr) {
    IdrMarking(ctx, pic);
  } else if (pic->isReference) {
    // Memory management commands are applied together with inter
    // prediction; until then the sliding window keeps the references bounded.
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

int H264DecInitRefLists(H264DecContext* ctx) {
  ctx->refListLen[0] = ctx->refListLen[1] = 0;
  for (auto& list : ctx->refList)
    for (auto& p : list) p = nullptr;
  uint32_t type = ctx->slice.slice_type;
  if (type == kH264SliceI || type == kH264SliceSI) return 0;
  // Lists of P and B slices are built together with inter prediction.
  return -1;
}
