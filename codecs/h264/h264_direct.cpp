// Direct prediction in B slices (spatial and temporal, clause 8.4.1.2),
// B_Skip and B_Direct_16x16, the per-slice DistScaleFactor table and the
// implicit bi-prediction weights.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/h264_inter.h"

namespace {

inline int Clip3(int lo, int hi, int v) { return v < lo ? lo : v > hi ? hi : v; }

// DistScaleFactor of two pictures seen from the current one, before its
// clipping to -1024..1023; td must not be 0.
inline int ScaleFactor(int curPoc, int poc0, int poc1) {
  int tb = Clip3(-128, 127, curPoc - poc0);
  int td = Clip3(-128, 127, poc1 - poc0);
  int tx = (16384 + std::abs(td / 2)) / td;
  return Clip3(-1024, 1023, (tb * tx + 32) >> 6);
}

inline int MinPositive(int x, int y) { return x >= 0 && y >= 0 ? std::min(x, y) : std::max(x, y); }

// How the co-located picture's vectors are scaled vertically.
enum ColScale { kOneToOne, kFrameToField, kFieldToFrame };

// Where a co-located block lies (clause 8.4.1.2.1): the macroblock record in
// the motion array of the picture RefPicList1[0], the 4x4 block in it and
// the vertical scaling. A field picture reads the same field's rows, or the
// frame rows around it when the reference was coded as a frame; a frame
// reads the field nearer in order count when the reference was coded as
// two fields.
struct ColLocation {
  const H264MbMotion* mb;
  int blk;
  ColScale scale;
};

ColLocation Colocated(const H264DecContext* ctx, int b8, int k) {
  const H264DecPicture* col = ctx->refList[1][0];
  const H264MbWork& w = ctx->mb;
  uint32_t width = ctx->slice.PicWidthInMbs;
  const H264MbMotion* motion = ctx->motion[col->bufferIndex];
  int blk = ctx->activeSps.direct_8x8_inference_flag ? 5 * b8 : 4 * b8 + k;
  int xCol = kH264BlkX[blk], yCol = 4 * kH264BlkY[blk];
  uint32_t mbX = static_cast<uint32_t>(w.mbX), mbY = static_cast<uint32_t>(w.mbY);
  bool codedAsFields = col->frame->structure == 3;
  if (ctx->slice.field_pic_flag) {
    if (codedAsFields) {
      uint32_t row = 2 * mbY + static_cast<uint32_t>(col->structure - 1);
      return {&motion[mbX + row * width], blk, kOneToOne};
    }
    uint32_t row = 2 * mbY + (yCol >= 8 ? 1 : 0);
    int yM = (2 * yCol) % 16;
    return {&motion[mbX + row * width], kH264BlkAt[yM / 4][xCol], kFrameToField};
  }
  if (!codedAsFields) return {&motion[mbX + mbY * width], blk, kOneToOne};
  int64_t cur = ctx->curPic->poc;
  int64_t topDiff = std::llabs(static_cast<int64_t>(col->top->poc) - cur);
  int64_t bottomDiff = std::llabs(static_cast<int64_t>(col->bottom->poc) - cur);
  uint32_t parity = topDiff < bottomDiff ? 0 : 1;
  uint32_t row = 2 * (mbY / 2) + parity;
  int yM = 8 * static_cast<int>(mbY % 2) + 4 * (yCol / 8);
  return {&motion[mbX + row * width], kH264BlkAt[yM / 4][xCol], kFieldToFrame};
}

// Reference (order count, structure) and vector of a co-located block: list 0
// when it uses list 0, else list 1.
struct ColMotion {
  int ref;  // reference index in the co-located picture's list; -1 intra
  int32_t poc;
  uint8_t st;
  int16_t mv[2];
};

ColMotion ColOf(const ColLocation& loc) {
  const H264MbMotion* col = loc.mb;
  int blk = loc.blk;
  int b8 = blk >> 2;
  if (col->mbType > 22) return {-1, 0, 0, {0, 0}};
  if (col->refIdxL0[b8] >= 0)
    return {col->refIdxL0[b8], col->refPocL0[b8], col->refStructL0[b8], {col->mvL0[blk][0], col->mvL0[blk][1]}};
  if (col->refIdxL1[b8] >= 0)
    return {col->refIdxL1[b8], col->refPocL1[b8], col->refStructL1[b8], {col->mvL1[blk][0], col->mvL1[blk][1]}};
  return {-1, 0, 0, {0, 0}};
}

// The first list-0 entry showing the picture a co-located block refers to:
// the same picture, the field of a frame with the current parity, or the
// frame holding a field.
int MapColToList0(const H264DecContext* ctx, const ColMotion& c, ColScale scale) {
  uint32_t n = ctx->slice.num_ref_idx_l0_active_minus1 + 1;
  for (uint32_t i = 0; i < n; ++i) {
    const H264DecPicture* p = ctx->refList[0][i];
    if (!p) continue;
    bool match;
    if (scale == kFrameToField)
      match = c.st == 3 && p->structure == static_cast<int32_t>(ctx->slice.structure) && p->frame->poc == c.poc;
    else if (scale == kFieldToFrame)
      match = (c.st == 1 ? p->top->poc : p->bottom->poc) == c.poc && (c.st == 1 || c.st == 2);
    else
      match = p->poc == c.poc && (p->structure == 0 ? 3 : p->structure) == c.st;
    if (match) return static_cast<int>(i);
  }
  return -1;
}

void PredictDirect4x4(H264DecContext* ctx, int b8, int k, const int8_t* ref, const int16_t (*mv)[2],
                      H264InterPred* pred) {
  int blk = 4 * b8 + k;
  int x = kH264BlkX[blk], y = kH264BlkY[blk];
  for (int l = 0; l < 2; ++l)
    if (ref[l] >= 0) H264McPartition(ctx, l, ref[l], mv[l], x, y, 1, 1, pred);
}

// Stores and predicts an 8x8 block whose four 4x4 blocks have the vectors
// mv[k]; equal vectors are predicted as one 8x8 block.
void PredictDirect8x8(H264DecContext* ctx, int b8, const int8_t* ref, int16_t (*mv)[2][2], H264InterPred* pred) {
  int x = 2 * (b8 & 1), y = 2 * (b8 >> 1);
  bool uniform = true;
  for (int k = 1; k < 4; ++k) uniform &= std::memcmp(mv[k], mv[0], sizeof mv[0]) == 0;
  if (uniform) H264StoreMotionPair(ctx, x, y, 2, 2, ref, mv[0]);
  for (int l = 0; l < 2 && !uniform; ++l) {
    if (ref[l] < 0) {
      H264StoreMotion(ctx, l, x, y, 2, 2, ref[l], mv[0][l]);
      continue;
    }
    for (int k = 0; k < 4; ++k) {
      int blk = 4 * b8 + k;
      H264StoreMotion(ctx, l, kH264BlkX[blk], kH264BlkY[blk], 1, 1, ref[l], mv[k][l]);
    }
  }
  if (uniform) {
    for (int l = 0; l < 2; ++l)
      if (ref[l] >= 0) H264McPartition(ctx, l, ref[l], mv[0][l], x, y, 2, 2, pred);
    return;
  }
  for (int k = 0; k < 4; ++k) PredictDirect4x4(ctx, b8, k, ref, mv[k], pred);
}

// The direct motion of 8x8 block b8: reference indexes and the vectors of
// its four 4x4 blocks.
struct DirectMotion {
  int8_t ref[2];
  int16_t mv[4][2][2];
};

// A vector as one word, read as its two halves: it was stored as halves.
inline uint32_t MvWord(const int16_t* mv) {
  uint32_t x = static_cast<uint16_t>(mv[0]);
#if defined(__GNUC__)
  asm("" : "+r"(x));  // keeps the two loads apart
#endif
  return x | static_cast<uint32_t>(static_cast<uint16_t>(mv[1])) << 16;
}

// The record is written in whole words: the readers compare and copy it in
// words, and a word read over narrower stores waits for them to reach the
// cache.
void SpatialMotion(const H264DecContext* ctx, const H264DirectState& st, int b8, DirectMotion* d) {
  const H264DecPicture* colPic = ctx->refList[1][0];
  std::memcpy(d->ref, st.ref, sizeof d->ref);
  const uint32_t mvp[2] = {MvWord(st.mvp[0]), MvWord(st.mvp[1])};
  // With direct_8x8_inference every 4x4 block reads the same corner block.
  int blocks = ctx->activeSps.direct_8x8_inference_flag ? 1 : 4;
  uint32_t both[2] = {0, 0};
  for (int k = 0; k < blocks; ++k) {
    ColMotion c = ColOf(Colocated(ctx, b8, k));
    bool colZero = !colPic->longTerm && c.ref == 0 && c.mv[0] >= -1 && c.mv[0] <= 1 && c.mv[1] >= -1 && c.mv[1] <= 1;
    for (int l = 0; l < 2; ++l) {
      bool zero = st.directZero || st.ref[l] < 0 || (st.ref[l] == 0 && colZero);
      both[l] = zero ? 0 : mvp[l];
    }
    std::memcpy(d->mv[k], both, sizeof both);
  }
  for (int k = blocks; k < 4; ++k) std::memcpy(d->mv[k], both, sizeof both);
}

// SpatialMotion for the four 8x8 blocks of a macroblock: the co-located
// macroblock found once when all blocks read the same one, and read only
// when an index of 0 would take its zero test.
void SpatialMotionMb(const H264DecContext* ctx, const H264DirectState& st, DirectMotion* d) {
  const H264DecPicture* colPic = ctx->refList[1][0];
  const uint32_t mvp[2] = {MvWord(st.mvp[0]), MvWord(st.mvp[1])};
  bool needCol = !st.directZero && !colPic->longTerm && (st.ref[0] == 0 || st.ref[1] == 0);
  bool inference = ctx->activeSps.direct_8x8_inference_flag != 0;
  ColLocation first{};
  if (needCol) first = Colocated(ctx, 0, 0);
  for (int b8 = 0; b8 < 4; ++b8) {
    std::memcpy(d[b8].ref, st.ref, sizeof d[b8].ref);
    uint32_t both[2] = {0, 0};
    int blocks = inference ? 1 : 4;
    for (int k = 0; k < blocks; ++k) {
      bool colZero = false;
      if (needCol) {
        ColLocation loc = first.scale == kOneToOne ? ColLocation{first.mb, inference ? 5 * b8 : 4 * b8 + k, kOneToOne}
                                                   : Colocated(ctx, b8, k);
        ColMotion c = ColOf(loc);
        colZero = c.ref == 0 && c.mv[0] >= -1 && c.mv[0] <= 1 && c.mv[1] >= -1 && c.mv[1] <= 1;
      }
      for (int l = 0; l < 2; ++l) {
        bool zero = st.directZero || st.ref[l] < 0 || (st.ref[l] == 0 && colZero);
        both[l] = zero ? 0 : mvp[l];
      }
      std::memcpy(d[b8].mv[k], both, sizeof both);
    }
    for (int k = blocks; k < 4; ++k) std::memcpy(d[b8].mv[k], both, sizeof both);
  }
}

void TemporalMotion(const H264DecContext* ctx, int b8, DirectMotion* d) {
  std::memset(d, 0, sizeof *d);
  ColLocation loc0 = Colocated(ctx, b8, 0);
  ColMotion first = ColOf(loc0);
  if (first.ref < 0) return;
  // A reference missing from list 0 (a stream beyond the rules) is taken as
  // its first entry, as other decoders do.
  int found = std::max(MapColToList0(ctx, first, loc0.scale), 0);
  d->ref[0] = static_cast<int8_t>(found);
  const H264DecPicture* p0 = ctx->refList[0][found];
  int dsf = ctx->distScaleFactor[found];
  bool unscaled = dsf == 9999 || p0->longTerm;
  for (int k = 0; k < 4; ++k) {
    ColLocation loc = Colocated(ctx, b8, k);
    ColMotion c = ColOf(loc);
    if (loc.scale == kFrameToField) c.mv[1] = static_cast<int16_t>(c.mv[1] / 2);
    if (loc.scale == kFieldToFrame) c.mv[1] = static_cast<int16_t>(c.mv[1] * 2);
    for (int comp = 0; comp < 2; ++comp) {
      int v = c.mv[comp];
      int16_t l0 = unscaled ? static_cast<int16_t>(v) : static_cast<int16_t>((dsf * v + 128) >> 8);
      d->mv[k][0][comp] = l0;
      d->mv[k][1][comp] = unscaled ? 0 : static_cast<int16_t>(l0 - v);
    }
  }
}

void DirectMotionOf(const H264DecContext* ctx, const H264DirectState& st, int b8, DirectMotion* d) {
  if (ctx->slice.direct_spatial_mv_pred_flag)
    SpatialMotion(ctx, st, b8, d);
  else
    TemporalMotion(ctx, b8, d);
}

// Whether the four 4x4 blocks of d share one motion.
inline bool Uniform8x8(const DirectMotion& d) {
  for (int k = 1; k < 4; ++k)
    if (std::memcmp(d.mv[k], d.mv[0], sizeof d.mv[0]) != 0) return false;
  return true;
}

// A direct macroblock whose sixteen blocks share one motion (the usual
// case) is stored and predicted as one 16x16 partition.
void DirectMacroblock(H264DecContext* ctx) {
  H264InterPred pred;
  std::memset(pred.lists, 0, sizeof pred.lists);
  H264DirectState st{};
  H264DirectPrepare(ctx, &st);
  // The next macroblock's co-located record, which a direct macroblock
  // there reads first.
  const auto* colNext = reinterpret_cast<const char*>(Colocated(ctx, 0, 0).mb + 1);
  for (size_t off = 0; off < sizeof(H264MbMotion); off += 64) __builtin_prefetch(colNext + off);
  DirectMotion d[4];
  if (ctx->slice.direct_spatial_mv_pred_flag)
    SpatialMotionMb(ctx, st, d);
  else
    for (int b8 = 0; b8 < 4; ++b8) TemporalMotion(ctx, b8, &d[b8]);
  bool whole = true;
  for (int b8 = 0; b8 < 4; ++b8) {
    whole = whole && Uniform8x8(d[b8]) &&
            (b8 == 0 || (std::memcmp(d[b8].ref, d[0].ref, sizeof d[0].ref) == 0 &&
                         std::memcmp(d[b8].mv[0], d[0].mv[0], sizeof d[0].mv[0]) == 0));
  }
  if (whole) {
    H264StoreMotionPair(ctx, 0, 0, 4, 4, d[0].ref, d[0].mv[0]);
    for (int l = 0; l < 2; ++l)
      if (d[0].ref[l] >= 0) H264McPartition(ctx, l, d[0].ref[l], d[0].mv[0][l], 0, 0, 4, 4, &pred);
  } else {
    for (int b8 = 0; b8 < 4; ++b8) PredictDirect8x8(ctx, b8, d[b8].ref, d[b8].mv, &pred);
  }
  H264FinishQuadrants(ctx, pred);
  H264InterStrengths(ctx);
}

}  // namespace

void H264DirectScaleFactors(H264DecContext* ctx) {
  const H264SliceHeader& s = ctx->slice;
  if (s.slice_type != kH264SliceB || s.direct_spatial_mv_pred_flag) return;
  const H264DecPicture* p1 = ctx->refList[1][0];
  for (uint32_t i = 0; i < 32; ++i) {
    const H264DecPicture* p0 = ctx->refList[0][i];
    ctx->distScaleFactor[i] = 9999;
    if (i > s.num_ref_idx_l0_active_minus1 || !p0 || !p1 || p1->poc == p0->poc) continue;
    ctx->distScaleFactor[i] = static_cast<int16_t>(ScaleFactor(ctx->curPic->poc, p0->poc, p1->poc));
  }
}

void H264ImplicitWeights(H264DecContext* ctx) {
  const H264SliceHeader& s = ctx->slice;
  if (s.wpMode != 2) return;
  for (uint32_t i = 0; i <= s.num_ref_idx_l0_active_minus1 && i < 32; ++i)
    for (uint32_t j = 0; j <= s.num_ref_idx_l1_active_minus1 && j < 32; ++j) {
      const H264DecPicture* p0 = ctx->refList[0][i];
      const H264DecPicture* p1 = ctx->refList[1][j];
      int w1 = 32;
      if (p0 && p1 && p1->poc != p0->poc && !p0->longTerm && !p1->longTerm) {
        int v = ScaleFactor(ctx->curPic->poc, p0->poc, p1->poc) >> 2;
        if (v >= -64 && v <= 128) w1 = v;
      }
      ctx->implicitWeight[i][j] = static_cast<int16_t>(w1);
    }
}

void H264DirectPrepare(H264DecContext* ctx, H264DirectState* st) {
  st->directZero = false;
  std::memset(st->ref, 0, sizeof st->ref);
  st->mvp[0][0] = st->mvp[0][1] = st->mvp[1][0] = st->mvp[1][1] = 0;
  if (!ctx->slice.direct_spatial_mv_pred_flag) return;
  H264NbMotionCache nb;
  H264LoadNeighbourMotion(ctx, 0, 0, 4, &nb);
  int8_t ref[2];
  for (int l = 0; l < 2; ++l)
    ref[l] = static_cast<int8_t>(MinPositive(nb.a.ref[l], MinPositive(nb.b.ref[l], nb.c.ref[l])));
  if (ref[0] < 0 && ref[1] < 0) {
    st->directZero = true;
    return;
  }
  // Both indexes in one store: SpatialMotion reads them as one word.
  std::memcpy(st->ref, ref, sizeof ref);
  for (int l = 0; l < 2; ++l)
    if (ref[l] >= 0) H264MvPred(nb, l, ref[l], st->mvp[l]);
}

void H264DirectBlock(H264DecContext* ctx, const H264DirectState& st, int b8, H264InterPred* pred) {
  DirectMotion d;
  DirectMotionOf(ctx, st, b8, &d);
  PredictDirect8x8(ctx, b8, d.ref, d.mv, pred);
}

void H264BSkip(H264DecContext* ctx) {
  ctx->nbInfo[kH264NbCurrent]->transform8x8 = 0;
  DirectMacroblock(ctx);
}

void H264DirectB16x16(H264DecContext* ctx) { DirectMacroblock(ctx); }
