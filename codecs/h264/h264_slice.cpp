// Slice data: the walk through a slice's macroblocks, the neighbour slots,
// the macroblock dispatch and the end-of-macroblock step.
#include <cstring>

#include "codecs/h264/h264_bitreader.h"
#include "codecs/h264/h264_internal.h"

namespace {

// Row arrays are chosen by the parity of the macroblock row.
H264MbInfo* InfoRow(H264DecContext* ctx, uint32_t mbY) { return ctx->infoRows + (mbY & 1) * ctx->widthMbs; }

void SetNeighbours(H264DecContext* ctx) {
  const H264MbWork& w = ctx->mb;
  uint32_t x = static_cast<uint32_t>(w.mbX), y = static_cast<uint32_t>(w.mbY);
  uint32_t width = ctx->slice.PicWidthInMbs;
  H264MbInfo* row = InfoRow(ctx, y);
  H264MbInfo* above = InfoRow(ctx, y + 1);
  // Motion goes straight into the picture's record (read later as the
  // co-located motion); the neighbours are read from there too.
  const H264SliceHeader& s = ctx->slice;
  size_t rowStride = static_cast<size_t>(width) << s.field_pic_flag;
  H264MbMotion* mcur =
      ctx->motion[ctx->curPic->bufferIndex] + x + ((static_cast<size_t>(y) << s.field_pic_flag) + s.bottom_field_flag) * width;
  H264MbMotion* noMotion = &ctx->unavailableMotion[0];
  H264MbMotion* mabove = y > 0 ? mcur - rowStride : noMotion;
  // Worker threads: a neighbour outside the slice may be another worker's,
  // still being written.
  bool own = ctx->deblockMbs != nullptr;
  H264MbInfo* noInfo = &ctx->unavailableInfo[0];
  H264MbInfo** ni = ctx->nbInfo;
  H264MbMotion** nm = ctx->nbMotion;
  ni[kH264NbCurrent] = ni[kH264NbCurrent2] = row + x;
  nm[kH264NbCurrent] = nm[kH264NbCurrent2] = mcur;
  ni[kH264NbLeft] = x > 0 ? row + x - 1 : noInfo;
  nm[kH264NbLeft] = x > 0 && (!own || row[x - 1].available) ? mcur - 1 : noMotion;
  ni[kH264NbTop] = y > 0 ? above + x : noInfo;
  nm[kH264NbTop] = y > 0 && (!own || above[x].available) ? mabove : noMotion;
  ni[kH264NbTopRight] = y > 0 && x + 1 < width ? above + x + 1 : noInfo;
  nm[kH264NbTopRight] = y > 0 && x + 1 < width && (!own || above[x + 1].available) ? mabove + 1 : noMotion;
  ni[kH264NbTopLeft] = y > 0 && x > 0 ? above + x - 1 : noInfo;
  nm[kH264NbTopLeft] = y > 0 && x > 0 && (!own || above[x - 1].available) ? mabove - 1 : noMotion;
  ni[kH264NbUnavailable] = noInfo;
  nm[kH264NbUnavailable] = noMotion;
  row[x].available = 1;
  row[x].fieldMb = static_cast<uint8_t>(ctx->slice.field_pic_flag);
  mcur->fieldPic = static_cast<int32_t>(s.field_pic_flag);
  // The record four macroblocks on is written soon: its lines are asked for
  // now (a hint; past the last record it reads nothing).
  const char* ahead = reinterpret_cast<const char*>(mcur + 4);
  for (size_t at = 0; at < sizeof(H264MbMotion); at += 64) __builtin_prefetch(ahead + at, 1);
  __builtin_prefetch(ahead + sizeof(H264MbMotion) - 1, 1);
  // Likewise the picture lines the macroblocks four (luma) and eight
  // (chroma) on are stored to, once per line.
  if ((x & 3) == 0) {
    size_t pitch = static_cast<size_t>(ctx->activeSps.width) << s.field_pic_flag;
    int buf = ctx->curPic->bufferIndex;
    const uint8_t* y0 = H264DecPlane(ctx, buf, 0) + w.lumaRowOffset + 16 * x + 64;
    for (int r = 0; r < 16; ++r) __builtin_prefetch(y0 + r * pitch, 1);
    if ((x & 7) == 0) {
      const uint8_t* cb0 = H264DecPlane(ctx, buf, 1) + w.chromaRowOffset + 8 * x + 64;
      const uint8_t* cr0 = H264DecPlane(ctx, buf, 2) + w.chromaRowOffset + 8 * x + 64;
      for (int r = 0; r < 8; ++r) {
        __builtin_prefetch(cb0 + r * pitch / 2, 1);
        __builtin_prefetch(cr0 + r * pitch / 2, 1);
      }
    }
  }
}

// Reconstructs one intra macroblock of unified type `mbType` (CAVLC).
int DecodeIntraMbCavlc(H264DecContext* ctx, int mbType) {
  H264MbMotion* motion = ctx->nbMotion[kH264NbCurrent];
  motion->mbType = mbType;
  H264ClearIntraMotion(ctx);
  if (mbType > kH264MbIPcm) return kH264MbSyntaxError;
  if (mbType == kH264MbIPcm) return H264IntraPcmMb(ctx);
  if (mbType == kH264MbINxN) {
    if (H264CavlcParseIntraNxN(ctx)) return kH264MbSyntaxError;
    if (H264ResidualLuma(ctx)) return kH264MbResidualError;
    int r = ctx->nbInfo[kH264NbCurrent]->transform8x8 ? H264IntraMb8x8(ctx) : H264IntraMb4x4(ctx);
    return r ? kH264MbReconError : 0;
  }
  if (H264CavlcParseIntra16x16(ctx)) return kH264MbSyntaxError;
  if (H264ResidualIntra16x16(ctx)) return kH264MbResidualError;
  return H264IntraMb16x16(ctx) ? kH264MbReconError : 0;
}

// One coded macroblock of a CAVLC slice, unified type `mbType`.
int DecodeMbCavlc(H264DecContext* ctx, int mbType) {
  if (mbType > 22) return DecodeIntraMbCavlc(ctx, mbType);
  ctx->nbMotion[kH264NbCurrent]->mbType = mbType;
  H264InterParams p;
  if (H264CavlcParseInter(ctx, &p)) return kH264MbSyntaxError;
  if (H264ResidualLuma(ctx)) return kH264MbResidualError;
  if (mbType == 0 && ctx->slice.slice_type == kH264SliceB)
    H264DirectB16x16(ctx);
  else
    H264InterMb(ctx, &p);
  return 0;
}

}  // namespace

void H264SkipMb(H264DecContext* ctx) {
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  ctx->nbMotion[kH264NbCurrent]->mbType = kH264MbSkip;
  ctx->mb.cbp = 0;
  ctx->lastMbQpDelta = 0;
  H264StoreQp(ctx);
  std::memset(cur->nonZero, 0, sizeof cur->nonZero);
  std::memset(cur->totalCoeffLuma, 0, sizeof cur->totalCoeffLuma);
  std::memset(cur->totalCoeffChroma, 0, sizeof cur->totalCoeffChroma);
  std::memset(cur->absMvd, 0, sizeof cur->absMvd);
  std::memset(cur->refIdxHist, -1, sizeof cur->refIdxHist);
  cur->codedBlockPattern = 0;
  cur->cbfLumaDc = cur->cbfCbDc = cur->cbfCrDc = 0;
  std::memset(cur->cbfCbAc, 0, sizeof cur->cbfCbAc);
  std::memset(cur->cbfCrAc, 0, sizeof cur->cbfCrAc);
  cur->chromaPredMode = 0;
  if (ctx->slice.slice_type == kH264SliceP)
    H264InterPSkip(ctx);
  else
    H264BSkip(ctx);
}

int H264SliceDataInit(H264DecContext* ctx) {
  const H264SliceHeader& s = ctx->slice;
  H264MbWork& w = ctx->mb;
  if (s.first_mb_in_slice >= s.PicSizeInMbs) return kH264SliceOutside;
  w.mbY = static_cast<int32_t>(s.first_mb_in_slice / s.PicWidthInMbs);
  w.mbX = static_cast<int32_t>(s.first_mb_in_slice % s.PicWidthInMbs);
  w.mbAddr = static_cast<int32_t>(s.first_mb_in_slice);
  int64_t lumaStride = ctx->activeSps.width;
  w.lumaRowOffset = lumaStride * ((16 << s.field_pic_flag) * w.mbY + s.bottom_field_flag);
  w.chromaRowOffset = (lumaStride / 2) * ((8 << s.field_pic_flag) * w.mbY + s.bottom_field_flag);
  for (uint32_t i = 0; i < 2 * ctx->widthMbs; ++i) ctx->infoRows[i].available = 0;
  SetNeighbours(ctx);
  ctx->qpY = 26 + ctx->activePps.pic_init_qp_minus26 + s.slice_qp_delta;
  ctx->lastMbQpDelta = 0;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  cur->qp = static_cast<uint8_t>(ctx->qpY);
  cur->qpCb = H264ChromaQp(ctx->qpY, ctx->activePps.chroma_qp_index_offset);
  cur->qpCr = H264ChromaQp(ctx->qpY, ctx->activePps.second_chroma_qp_index_offset);
  H264DirectScaleFactors(ctx);
  H264ImplicitWeights(ctx);
  return 0;
}

int H264MbAdvance(H264DecContext* ctx) {
  H264MbWork& w = ctx->mb;
  const H264SliceHeader& s = ctx->slice;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  const uint8_t* smp = w.samples;
  for (int i = 0; i < 16; ++i) w.leftLuma[i] = smp[H264MbLumaPos(15, i)];
  for (int i = 0; i < 8; ++i) {
    w.leftCb[i] = smp[kMbSamplesCb + 8 * i + 7];
    w.leftCr[i] = smp[kMbSamplesCr + 8 * i + 7];
  }
  // Bottom rows are whole rows of the quadrant layout.
  std::memcpy(cur->bottomLuma, smp + H264MbLumaPos(0, 15), 8);
  std::memcpy(cur->bottomLuma + 8, smp + H264MbLumaPos(8, 15), 8);
  std::memcpy(cur->bottomCb, smp + kMbSamplesCb + 56, 8);
  std::memcpy(cur->bottomCr, smp + kMbSamplesCr + 56, 8);
  if (ctx->deblockMbs && !ctx->deblockInline) {
    // Worker threads: the picture is filtered once all its slices are done,
    // but for its first slice, filtered here (its last row is recorded when
    // it ends).
    H264DecSaveDeblockMb(ctx);
  }
  if (s.disable_deblocking_filter_idc == 1 || (ctx->deblockMbs && !ctx->deblockInline)) {
    int buf = ctx->curPic->bufferIndex;
    int pitch = static_cast<int>(ctx->activeSps.width) << s.field_pic_flag;
    uint8_t* y = H264DecPlane(ctx, buf, 0) + w.lumaRowOffset + 16 * w.mbX;
    uint8_t* cb = H264DecPlane(ctx, buf, 1) + w.chromaRowOffset + 8 * w.mbX;
    uint8_t* cr = H264DecPlane(ctx, buf, 2) + w.chromaRowOffset + 8 * w.mbX;
    ctx->kernels.storeMbLuma(y, smp, pitch);
    ctx->kernels.storeMbChroma(cb, cr, smp + kMbSamplesCb, smp + kMbSamplesCr, pitch / 2);
  } else {
    H264DeblockMacroblock(ctx);
  }
  ++ctx->mbCount;
  ++w.mbAddr;
  if (static_cast<uint32_t>(++w.mbX) == s.PicWidthInMbs) {
    int64_t lumaStride = ctx->activeSps.width;
    w.mbX = 0;
    ++w.mbY;
    w.lumaRowOffset += lumaStride * (16 << s.field_pic_flag);
    w.chromaRowOffset += (lumaStride / 2) * (8 << s.field_pic_flag);
  }
  if (static_cast<uint32_t>(w.mbY) >= s.PicHeightInMbs || static_cast<uint32_t>(w.mbAddr) >= ctx->sliceEnd) return 1;
  SetNeighbours(ctx);
  return 0;
}

int H264SliceDataCavlc(H264DecContext* ctx) {
  if (int r = H264SliceDataInit(ctx)) return r;
  H264DecBitReader* br = &ctx->br;
  const H264SliceHeader& s = ctx->slice;
  bool intra = s.slice_type == kH264SliceI;
  if (!intra && s.slice_type != kH264SliceP && s.slice_type != kH264SliceB) return 0;  // SP and SI
  // Unified types: I mb_type + 23, P + 18, B as read.
  int typeBase = intra ? kH264MbINxN : s.slice_type == kH264SliceP ? 18 : 0;
  for (;;) {
    if (!intra) {
      uint32_t run = H264ReadUe(br);
      if (run > s.PicSizeInMbs - static_cast<uint32_t>(ctx->mb.mbAddr)) return kH264SliceOutside;
      for (; run > 0; --run) {
        H264SkipMb(ctx);
        if (H264MbAdvance(ctx)) return run == 1 ? 0 : kH264SliceOutside;
      }
      if (!H264MoreRbspData(br)) break;
    }
    uint32_t mbType = H264ReadUe(br);
    int type = mbType > 48 ? kH264MbIPcm + 1 : static_cast<int>(mbType) + typeBase;
    if (int r = DecodeMbCavlc(ctx, type)) return r;
    if (H264MbAdvance(ctx)) break;
    if (!H264MoreRbspData(br)) break;
  }
  return 0;
}
