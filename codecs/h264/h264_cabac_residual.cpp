// CABAC residual blocks (residual_block_cabac, clause 7.3.5.3.3): coded
// block flags with their neighbour contexts, significance maps and levels,
// then dequantisation and the inverse transforms into the macroblock's
// residual.
#include <algorithm>
#include <cstring>

#include "codecs/h264/h264_cabac.h"
#include "codecs/h264/h264_inter.h"

namespace {

// Block categories (ctxBlockCat) of 4:2:0 video.
enum : int { kCatLumaDc = 0, kCatLumaAc = 1, kCatLuma4x4 = 2, kCatChromaDc = 3, kCatChromaAc = 4, kCatLuma8x8 = 5 };

constexpr int kCbfOffset[5] = {0, 4, 8, 12, 16};
constexpr int kSigOffset[5] = {0, 15, 29, 44, 47};
constexpr int kAbsOffset[5] = {0, 10, 20, 30, 39};

inline int LumaBlockPos(int blk) { return H264MbLumaPos(4 * kH264BlkX[blk], 4 * kH264BlkY[blk]); }
inline int ChromaBlockPos(int comp, int b) { return 256 + 64 * comp + 4 * (b & 1) + 32 * (b >> 1); }

inline int CodedBlockFlag(H264DecContext* ctx, int cat, int condA, int condB) {
  return H264CabacDecodeDecision(ctx, 85 + kCbfOffset[cat] + condA + 2 * condB);
}

// Levels of one block into lv (indexed by scan position within the block);
// returns the number of coefficients.
int DecodeBlock(H264DecContext* ctx, int cat, int maxNum, bool field, int32_t* lv) {
  int sigBase, lastBase, absBase;
  if (cat == kCatLuma8x8) {
    sigBase = field ? 436 : 402;
    lastBase = field ? 451 : 417;
    absBase = 426;
  } else {
    sigBase = (field ? 277 : 105) + kSigOffset[cat];
    lastBase = (field ? 338 : 166) + kSigOffset[cat];
    absBase = 227 + kAbsOffset[cat];
  }
  H264CabacLocal e(ctx);
  uint8_t pos[64];
  int n = 0, i = 0;
  if (cat == kCatLuma8x8) {
    const int col = field ? 1 : 0;
    for (; i < maxNum - 1; ++i) {
      if (!e.Decision(sigBase + kH264CabacSig8x8[i][col])) continue;
      pos[n++] = static_cast<uint8_t>(i);
      if (e.Decision(lastBase + kH264CabacSig8x8[i][2])) break;
    }
  } else {
    for (; i < maxNum - 1; ++i) {
      if (!e.Decision(sigBase + i)) continue;
      pos[n++] = static_cast<uint8_t>(i);
      if (e.Decision(lastBase + i)) break;
    }
  }
  if (i == maxNum - 1) pos[n++] = static_cast<uint8_t>(maxNum - 1);

  int eq1 = 0, gt1 = 0;
  const int gt1Max = cat == kCatChromaDc ? 3 : 4;
  for (int j = n - 1; j >= 0; --j) {
    int level;
    if (!e.Decision(absBase + (gt1 ? 0 : std::min(4, 1 + eq1)))) {
      level = 1;
      ++eq1;
    } else {
      int ctxIdx = absBase + 5 + std::min(gt1Max, gt1);
      int prefix = 1;
      while (prefix < 14 && e.Decision(ctxIdx)) ++prefix;
      if (prefix == 14) {  // Exp-Golomb suffix of order 0
        int k = 0;
        while (k < 16 && e.Bypass()) ++k;
        int suffix = (1 << k) - 1;
        while (k-- > 0) suffix += e.Bypass() << k;
        prefix += suffix;
      }
      level = prefix + 1;
      ++gt1;
    }
    lv[pos[j]] = e.Bypass() ? -level : level;
  }
  e.Save(ctx);
  return n;
}

// Coded-block-flag terms of 4x4 luma block blk: the neighbouring block's
// flag, or (no neighbour) 1 for an intra macroblock.
void LumaTerms(const H264DecContext* ctx, int blk, bool intra, int* a, int* b) {
  const H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  int x = kH264BlkX[blk], y = kH264BlkY[blk];
  if (x > 0) {
    *a = cur->nonZero[kH264BlkAt[y][x - 1]];
  } else {
    const H264MbInfo* left = ctx->nbInfo[kH264NbLeft];
    *a = left->available ? left->nonZero[kH264BlkAt[y][3]] : intra;
  }
  if (y > 0) {
    *b = cur->nonZero[kH264BlkAt[y - 1][x]];
  } else {
    const H264MbInfo* top = ctx->nbInfo[kH264NbTop];
    *b = top->available ? top->nonZero[kH264BlkAt[3][x]] : intra;
  }
}

// Terms of a macroblock-level flag (DC blocks): `field` picks the flag.
int MbTerm(const H264MbInfo* nb, uint8_t H264MbInfo::*field, int unavailable) {
  return nb->available ? nb->*field : unavailable;
}

void Chroma(H264DecContext* ctx, bool intra) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  const H264MbInfo* left = ctx->nbInfo[kH264NbLeft];
  const H264MbInfo* top = ctx->nbInfo[kH264NbTop];
  int chromaCbp = static_cast<int>(w.cbp >> 4);
  cur->cbfCbDc = cur->cbfCrDc = 0;
  std::memset(cur->cbfCbAc, 0, 4);
  std::memset(cur->cbfCrAc, 0, 4);
  if (chromaCbp == 0) return;
  bool field = cur->fieldMb;
  int16_t dc[2][4];
  for (int comp = 0; comp < 2; ++comp) {
    uint8_t H264MbInfo::*flag = comp ? &H264MbInfo::cbfCrDc : &H264MbInfo::cbfCbDc;
    int cbf = CodedBlockFlag(ctx, kCatChromaDc, MbTerm(left, flag, intra), MbTerm(top, flag, intra));
    cur->*flag = static_cast<uint8_t>(cbf);
    int32_t lv[4] = {};
    if (cbf) DecodeBlock(ctx, kCatChromaDc, 4, field, lv);
    int qp = comp ? cur->qpCr : cur->qpCb;
    H264ChromaDc(lv, ctx->levelScale4x4[(intra ? 1 : 4) + comp][qp % 6][0], qp, dc[comp]);
  }
  for (int comp = 0; comp < 2; ++comp) {
    int qp = comp ? cur->qpCr : cur->qpCb;
    const uint16_t* scale = ctx->levelScale4x4[(intra ? 1 : 4) + comp][qp % 6];
    uint8_t* flags = comp ? cur->cbfCrAc : cur->cbfCbAc;
    const uint8_t* leftFlags = comp ? left->cbfCrAc : left->cbfCbAc;
    const uint8_t* topFlags = comp ? top->cbfCrAc : top->cbfCbAc;
    for (int b = 0; b < 4; ++b) {
      int32_t lv[16] = {};
      int n = 0;
      if (chromaCbp == 2) {
        int a = (b & 1) ? flags[b - 1] : left->available ? leftFlags[b + 1] : intra;
        int t = (b & 2) ? flags[b - 2] : top->available ? topFlags[b + 2] : intra;
        flags[b] = static_cast<uint8_t>(CodedBlockFlag(ctx, kCatChromaAc, a, t));
        if (flags[b]) n = DecodeBlock(ctx, kCatChromaAc, 15, field, lv + 1);
      }
      H264Reconstruct4x4(ctx, lv, n, 1, scale, qp / 6, true, dc[comp][b], ctx->mb.residual + ChromaBlockPos(comp, b));
    }
  }
}

}  // namespace

void H264CabacResidualMb(H264DecContext* ctx) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  bool intra = ctx->nbMotion[kH264NbCurrent]->mbType > 22;
  bool field = cur->fieldMb;
  int qp = cur->qp, q6 = qp / 6, m = qp % 6;
  cur->cbfLumaDc = 0;
  for (int quad = 0; quad < 4; ++quad) {
    if (!((w.cbp >> quad) & 1)) {
      std::memset(cur->nonZero + 4 * quad, 0, 4);
      continue;
    }
    if (cur->transform8x8) {
      int32_t lv[64] = {};
      DecodeBlock(ctx, kCatLuma8x8, 64, field, lv);
      std::memset(cur->nonZero + 4 * quad, 1, 4);
      H264Reconstruct8x8(ctx, lv, ctx->levelScale8x8[intra ? 0 : 1][m], q6, quad);
      continue;
    }
    const uint16_t* scale = ctx->levelScale4x4[intra ? 0 : 3][m];
    for (int j = 0; j < 4; ++j) {
      int blk = 4 * quad + j, a, b;
      LumaTerms(ctx, blk, intra, &a, &b);
      int cbf = CodedBlockFlag(ctx, kCatLuma4x4, a, b);
      cur->nonZero[blk] = static_cast<uint8_t>(cbf);
      int32_t lv[16] = {};
      int n = cbf ? DecodeBlock(ctx, kCatLuma4x4, 16, field, lv) : 0;
      H264Reconstruct4x4(ctx, lv, n, 0, scale, q6, false, 0, w.residual + LumaBlockPos(blk));
    }
  }
  Chroma(ctx, intra);
}

void H264CabacResidualIntra16x16(H264DecContext* ctx) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  bool field = cur->fieldMb;
  int qp = cur->qp, q6 = qp / 6, m = qp % 6;
  const uint16_t* scale = ctx->levelScale4x4[0][m];
  int cbf = CodedBlockFlag(ctx, kCatLumaDc, MbTerm(ctx->nbInfo[kH264NbLeft], &H264MbInfo::cbfLumaDc, 1),
                           MbTerm(ctx->nbInfo[kH264NbTop], &H264MbInfo::cbfLumaDc, 1));
  cur->cbfLumaDc = static_cast<uint8_t>(cbf);
  int32_t dcLevels[16] = {};
  if (cbf) DecodeBlock(ctx, kCatLumaDc, 16, field, dcLevels);
  int16_t dc[16];
  H264LumaDc(ctx, dcLevels, scale, q6, dc);
  for (int blk = 0; blk < 16; ++blk) {
    int32_t lv[16] = {};
    int n = 0;
    cur->nonZero[blk] = 0;
    if (w.cbp & 15) {
      int a, b;
      LumaTerms(ctx, blk, true, &a, &b);
      cur->nonZero[blk] = static_cast<uint8_t>(CodedBlockFlag(ctx, kCatLumaAc, a, b));
      if (cur->nonZero[blk]) n = DecodeBlock(ctx, kCatLumaAc, 15, field, lv + 1);
    }
    H264Reconstruct4x4(ctx, lv, n, 1, scale, q6, true, dc[blk], w.residual + LumaBlockPos(blk));
  }
  Chroma(ctx, true);
}
