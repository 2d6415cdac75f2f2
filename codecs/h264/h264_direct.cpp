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

// The co-located macroblock: the same address in the picture RefPicList1[0].
// Its motion is only read.
const H264MbMotion* Colocated(const H264DecContext* ctx) {
  const H264DecPicture* col = ctx->refList[1][0];
  const H264MbWork& w = ctx->mb;
  uint32_t index = static_cast<uint32_t>(w.mbX) + static_cast<uint32_t>(w.mbY) * ctx->slice.PicWidthInMbs;
  return &ctx->motion[col->bufferIndex][index];
}

// Co-located 4x4 block of block k of 8x8 block b8: with
// direct_8x8_inference_flag the corner block of the 8x8.
inline int ColBlock(const H264DecContext* ctx, int b8, int k) {
  return ctx->activeSps.direct_8x8_inference_flag ? 5 * b8 : 4 * b8 + k;
}

// Reference (order count, structure) and vector of a co-located block: list 0
// when it uses list 0, else list 1.
struct ColMotion {
  int ref;  // reference index in the co-located picture's list; -1 intra
  int32_t poc;
  uint8_t st;
  const int16_t* mv;
};

ColMotion ColOf(const H264MbMotion* col, int blk) {
  static const int16_t kZero[2] = {0, 0};
  int b8 = blk >> 2;
  if (col->mbType > 22) return {-1, 0, 0, kZero};
  if (col->refIdxL0[b8] >= 0) return {col->refIdxL0[b8], col->refPocL0[b8], col->refStructL0[b8], col->mvL0[blk]};
  if (col->refIdxL1[b8] >= 0) return {col->refIdxL1[b8], col->refPocL1[b8], col->refStructL1[b8], col->mvL1[blk]};
  return {-1, 0, 0, kZero};
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
  for (int l = 0; l < 2; ++l) {
    if (uniform || ref[l] < 0) {
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

void SpatialBlock(H264DecContext* ctx, const H264DirectState& st, int b8, H264InterPred* pred) {
  const H264MbMotion* col = Colocated(ctx);
  const H264DecPicture* colPic = ctx->refList[1][0];
  int16_t mv[4][2][2];
  for (int k = 0; k < 4; ++k) {
    ColMotion c = ColOf(col, ColBlock(ctx, b8, k));
    bool colZero = !colPic->longTerm && c.ref == 0 && c.mv[0] >= -1 && c.mv[0] <= 1 && c.mv[1] >= -1 && c.mv[1] <= 1;
    for (int l = 0; l < 2; ++l) {
      bool zero = st.directZero || st.ref[l] < 0 || (st.ref[l] == 0 && colZero);
      mv[k][l][0] = zero ? 0 : st.mvp[l][0];
      mv[k][l][1] = zero ? 0 : st.mvp[l][1];
    }
  }
  PredictDirect8x8(ctx, b8, st.ref, mv, pred);
}

void TemporalBlock(H264DecContext* ctx, int b8, H264InterPred* pred) {
  const H264MbMotion* col = Colocated(ctx);
  int8_t ref[2] = {0, 0};
  int16_t mv[4][2][2] = {};
  ColMotion first = ColOf(col, ColBlock(ctx, b8, 0));
  if (first.ref >= 0) {
    // The first list-0 entry showing the co-located block's reference.
    int found = -1;
    uint32_t n = ctx->slice.num_ref_idx_l0_active_minus1 + 1;
    for (uint32_t i = 0; i < n && found < 0; ++i) {
      const H264DecPicture* p = ctx->refList[0][i];
      if (p && p->poc == first.poc && (p->structure == 0 ? 3 : p->structure) == first.st) found = static_cast<int>(i);
    }
    if (found >= 0) {
      ref[0] = static_cast<int8_t>(found);
      const H264DecPicture* p0 = ctx->refList[0][found];
      int dsf = ctx->distScaleFactor[found];
      bool unscaled = dsf == 9999 || p0->longTerm;
      for (int k = 0; k < 4; ++k) {
        ColMotion c = ColOf(col, ColBlock(ctx, b8, k));
        for (int comp = 0; comp < 2; ++comp) {
          int v = c.mv[comp];
          int16_t l0 = unscaled ? static_cast<int16_t>(v) : static_cast<int16_t>((dsf * v + 128) >> 8);
          mv[k][0][comp] = l0;
          mv[k][1][comp] = unscaled ? 0 : static_cast<int16_t>(l0 - v);
        }
      }
    }
  }
  PredictDirect8x8(ctx, b8, ref, mv, pred);
}

void DirectMacroblock(H264DecContext* ctx) {
  H264InterPred pred;
  std::memset(pred.lists, 0, sizeof pred.lists);
  H264DirectState st{};
  H264DirectPrepare(ctx, &st);
  for (int b8 = 0; b8 < 4; ++b8) H264DirectBlock(ctx, st, b8, &pred);
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
  st->ref[0] = st->ref[1] = 0;
  st->mvp[0][0] = st->mvp[0][1] = st->mvp[1][0] = st->mvp[1][1] = 0;
  if (!ctx->slice.direct_spatial_mv_pred_flag) return;
  H264NbMotionCache nb;
  H264LoadNeighbourMotion(ctx, 0, 0, 4, &nb);
  for (int l = 0; l < 2; ++l)
    st->ref[l] = static_cast<int8_t>(MinPositive(nb.a.ref[l], MinPositive(nb.b.ref[l], nb.c.ref[l])));
  if (st->ref[0] < 0 && st->ref[1] < 0) {
    st->ref[0] = st->ref[1] = 0;
    st->directZero = true;
    return;
  }
  for (int l = 0; l < 2; ++l)
    if (st->ref[l] >= 0) H264MvPred(nb, l, st->ref[l], st->mvp[l]);
}

void H264DirectBlock(H264DecContext* ctx, const H264DirectState& st, int b8, H264InterPred* pred) {
  if (ctx->slice.direct_spatial_mv_pred_flag)
    SpatialBlock(ctx, st, b8, pred);
  else
    TemporalBlock(ctx, b8, pred);
}

void H264BSkip(H264DecContext* ctx) {
  ctx->nbInfo[kH264NbCurrent]->transform8x8 = 0;
  DirectMacroblock(ctx);
}

void H264DirectB16x16(H264DecContext* ctx) { DirectMacroblock(ctx); }
