// Reconstruction of inter and skipped coding units: prediction units by
// partition mode, their motion stored as they are derived, motion
// compensation through the kernel table (plain, bi-predicted or weighted),
// then the residual of the coding unit's transform units.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"

namespace hevc {
namespace {

// A vector clamped so that the block's integer reference position stays
// within 71 samples before and 7 after the picture: the padded reference
// planes hold everything the filters read from there, and farther vectors
// only read more of the same replicated border.
void HevcClipMv(const HevcPictureInfo& g, int mv[2], int xPb, int yPb) {
  auto clamp = [](int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; };
  mv[0] = clamp(mv[0], -4 * (xPb + 71), 4 * (g.iWidth - xPb + 7));
  mv[1] = clamp(mv[1], -4 * (yPb + 71), 4 * (g.iHeight - yPb + 7));
}

struct McBlock {
  HevcDecoder* dec;
  const HevcDspTable& t;
  int xPb, yPb, w, h;  // luma
  int stride, strideC;

  uint8_t* Dst(int c) const {
    return c ? dec->pCurPic->apucPlane[c] + static_cast<ptrdiff_t>(yPb / 2) * strideC + xPb / 2
             : dec->pCurPic->apucPlane[0] + static_cast<ptrdiff_t>(yPb) * stride + xPb;
  }
  const uint8_t* LumaSrc(const HevcPicture* ref, const int* mv) const {
    return ref->apucPlane[0] + static_cast<ptrdiff_t>(yPb + (mv[1] >> 2)) * stride + xPb + (mv[0] >> 2);
  }
  const uint8_t* ChromaSrc(const HevcPicture* ref, const int* mv, int c) const {
    return ref->apucPlane[c] + static_cast<ptrdiff_t>(yPb / 2 + (mv[1] >> 3)) * strideC + xPb / 2 +
           (mv[0] >> 3);
  }
  static int LumaPos(const int* mv) { return ((mv[0] & 3) << 2) | (mv[1] & 3); }
  static bool TwoD(const int* mv) { return (mv[0] & 3) && (mv[1] & 3); }

  void ChromaUni(uint8_t* dst, const uint8_t* src, int fx, int fy) const {
    const int cw = w / 2, ch = h / 2;
    if (!fx && !fy)
      Kernel<McUniFn>(t, kSlotMcChromaUni)(dst, strideC, src, strideC, cw, ch);
    else if (!fy)
      Kernel<McUni1Fn>(t, kSlotMcChromaUni + 1)(dst, strideC, src, strideC, cw, ch, fx);
    else if (!fx)
      Kernel<McUni1Fn>(t, kSlotMcChromaUni + 2)(dst, strideC, src, strideC, cw, ch, fy);
    else
      Kernel<McUni2Fn>(t, kSlotMcChromaUni + 3)(dst, strideC, src, strideC, cw, ch, fx, fy);
  }
  void Chroma14(int16_t* dst, const uint8_t* src, int fx, int fy) const {
    const int cw = w / 2, ch = h / 2;
    if (!fx && !fy)
      Kernel<Mc14Fn>(t, kSlotMcChroma14)(dst, 64, src, strideC, cw, ch);
    else if (!fy)
      Kernel<Mc14_1Fn>(t, kSlotMcChroma14 + 1)(dst, 64, src, strideC, cw, ch, fx);
    else if (!fx)
      Kernel<Mc14_1Fn>(t, kSlotMcChroma14 + 2)(dst, 64, src, strideC, cw, ch, fy);
    else
      Kernel<Mc14_2Fn>(t, kSlotMcChroma14 + 3)(dst, 64, src, strideC, cw, ch, fx, fy);
  }
  void ChromaBi(uint8_t* dst, const uint8_t* src1, const int16_t* l0, int fx, int fy) const {
    const int cw = w / 2, ch = h / 2;
    if (!fx && !fy)
      Kernel<McChromaBiFn>(t, kSlotMcChromaBi)(dst, strideC, src1, strideC, l0, cw, ch);
    else if (!fy)
      Kernel<McChromaBi1Fn>(t, kSlotMcChromaBi + 1)(dst, strideC, src1, strideC, l0, cw, ch, fx);
    else if (!fx)
      Kernel<McChromaBi1Fn>(t, kSlotMcChromaBi + 2)(dst, strideC, src1, strideC, l0, cw, ch, fy);
    else
      Kernel<McChromaBi2Fn>(t, kSlotMcChromaBi + 3)(dst, strideC, src1, strideC, l0, cw, ch, fx, fy);
  }
  // One list's luma into an intermediate array; 1 when it carries the
  // two-dimensional offset.
  int Luma14(const HevcPicture* ref, const int* mv, int16_t* dst) const {
    Kernel<Mc14Fn>(t, kSlotMcLuma14 + LumaPos(mv))(dst, 64, LumaSrc(ref, mv), stride, w, h);
    return TwoD(mv) ? 1 : 0;
  }
  void Chroma14(const HevcPicture* ref, const int* mv, int c, int16_t* dst) const {
    Chroma14(dst, ChromaSrc(ref, mv, c), mv[0] & 7, mv[1] & 7);
  }
};

void HevcPredictPuSamples(HevcDecoder* dec, const HevcMotionInfo& m, int xPb, int yPb, int w, int h) {
  const HevcPictureInfo& g = dec->stPic;
  const HevcSliceHeader& sh = dec->stSh;
  const HevcPps* pps = dec->pPps;
  McBlock b{dec, dec->stDsp, xPb, yPb, w, h, g.iStride, g.iStrideC};
  int mv[2][2] = {{m.mvL0[0], m.mvL0[1]}, {m.mvL1[0], m.mvL1[1]}};
  const HevcPicture* ref[2] = {&dec->astPic[m.bufIdxL0], &dec->astPic[m.bufIdxL1]};
  const bool weighted =
      (sh.slice_type == 1 && pps->weighted_pred_flag) || (sh.slice_type == 0 && pps->weighted_bipred_flag);
  int lists = (m.predFlagL0 ? 1 : 0) | (m.predFlagL1 ? 2 : 0);
  // the same picture twice with the same vector averages to list 0 alone
  if (lists == 3 && !weighted && m.bufIdxL0 == m.bufIdxL1 && mv[0][0] == mv[1][0] && mv[0][1] == mv[1][1])
    lists = 1;
  for (int x = 0; x < 2; ++x)
    if (lists & (1 << x)) HevcClipMv(g, mv[x], xPb, yPb);
  int16_t* const* s = dec->apPredScratch;  // A, B, C, D
  const int fx[2] = {mv[0][0] & 7, mv[1][0] & 7}, fy[2] = {mv[0][1] & 7, mv[1][1] & 7};
  if (lists != 3 && !weighted) {
    const int x = lists == 1 ? 0 : 1;
    Kernel<McUniFn>(b.t, kSlotMcLumaUni + McBlock::LumaPos(mv[x]))(b.Dst(0), b.stride,
                                                                   b.LumaSrc(ref[x], mv[x]), b.stride, w, h);
    for (int c = 1; c < 3; ++c) b.ChromaUni(b.Dst(c), b.ChromaSrc(ref[x], mv[x], c), fx[x], fy[x]);
    return;
  }
  if (!weighted) {
    const int flag0 = b.Luma14(ref[0], mv[0], s[0]);
    Kernel<McLumaBiFn>(b.t, kSlotMcLumaBi + McBlock::LumaPos(mv[1]))(
        b.Dst(0), b.stride, b.LumaSrc(ref[1], mv[1]), b.stride, s[0], w, h, flag0);
    for (int c = 1; c < 3; ++c) b.Chroma14(ref[0], mv[0], c, s[c - 1]);
    for (int c = 1; c < 3; ++c) b.ChromaBi(b.Dst(c), b.ChromaSrc(ref[1], mv[1], c), s[c - 1], fx[1], fy[1]);
    return;
  }
  const int dY = sh.luma_log2_weight_denom, dC = sh.ChromaLog2WeightDenom;
  if (lists != 3) {
    const int x = lists == 1 ? 0 : 1;
    const int r = (x ? m.refIdxL1 : m.refIdxL0) & 15;
    // weight 1 << denom and offset 0 give exactly the default prediction:
    // the samples go straight to 8 bits
    if (sh.LumaWeight[x][r] == (1 << dY) && sh.LumaOffset[x][r] == 0) {
      Kernel<McUniFn>(b.t, kSlotMcLumaUni + McBlock::LumaPos(mv[x]))(b.Dst(0), b.stride, b.LumaSrc(ref[x], mv[x]),
                                                                     b.stride, w, h);
    } else {
      const int flag = b.Luma14(ref[x], mv[x], s[0]);
      Kernel<WeightedUniFn>(b.t, kSlotWeightedUniY)(dY, sh.LumaWeight[x][r], sh.LumaOffset[x][r], b.Dst(0),
                                                    b.stride, s[0], 64, w, h, flag);
    }
    for (int c = 1; c < 3; ++c) {
      if (sh.ChromaWeight[x][r][c - 1] == (1 << dC) && sh.ChromaOffset[x][r][c - 1] == 0) {
        b.ChromaUni(b.Dst(c), b.ChromaSrc(ref[x], mv[x], c), fx[x], fy[x]);
        continue;
      }
      b.Chroma14(ref[x], mv[x], c, s[c - 1]);
      Kernel<WeightedUniFn>(b.t, kSlotWeightedUniC)(dC, sh.ChromaWeight[x][r][c - 1],
                                                    sh.ChromaOffset[x][r][c - 1], b.Dst(c), b.strideC,
                                                    s[c - 1], 64, w / 2, h / 2, 0);
    }
    return;
  }
  const int r0 = m.refIdxL0 & 15, r1 = m.refIdxL1 & 15;
  const int f0 = b.Luma14(ref[0], mv[0], s[0]), f1 = b.Luma14(ref[1], mv[1], s[1]);
  Kernel<WeightedBiFn>(b.t, kSlotWeightedBiY)(dY, sh.LumaWeight[0][r0], sh.LumaWeight[1][r1],
                                              sh.LumaOffset[0][r0], sh.LumaOffset[1][r1], b.Dst(0), b.stride,
                                              s[0], s[1], 64, w, h, f0, f1);
  for (int c = 1; c < 3; ++c) {
    b.Chroma14(ref[0], mv[0], c, s[c - 1]);
    b.Chroma14(ref[1], mv[1], c, s[c + 1]);
  }
  for (int c = 1; c < 3; ++c)
    Kernel<WeightedBiFn>(b.t, kSlotWeightedBiC)(
        dC, sh.ChromaWeight[0][r0][c - 1], sh.ChromaWeight[1][r1][c - 1], sh.ChromaOffset[0][r0][c - 1],
        sh.ChromaOffset[1][r1][c - 1], b.Dst(c), b.strideC, s[c - 1], s[c + 1], 64, w / 2, h / 2, 0, 0);
}

// Derives, stores and compensates one prediction unit.
void HevcPredictPu(HevcDecoder* dec, const HevcCtu* ctu, const HevcCu* cu, int xPb, int yPb, int w, int h,
                   int partIdx) {
  const int row = ctu->iCtbY;
  int32_t& count = dec->pRowPuCount[row];
  const int idx = count < dec->iPuAreaSize ? count : dec->iPuAreaSize - 1;
  HevcMotionInfo* rec = dec->pPuMotionStore + static_cast<size_t>(row) * dec->iPuAreaSize + idx;
  HevcDeriveMotion(dec, ctu, cu, xPb, yPb, w, h, partIdx, rec);
  for (int y = yPb; y < yPb + h; y += 4) {
    int32_t* map = dec->pPuIndexMap + static_cast<size_t>(y >> 2) * dec->iMap4Stride + (xPb >> 2);
    for (int k = 0; k < w >> 2; ++k) map[k] = idx;
  }
  if (count < dec->iPuAreaSize) ++count;
  HevcPredictPuSamples(dec, *rec, xPb, yPb, w, h);
}

// The residual of the coding unit's transform units, added in place.
void HevcInterResidual(HevcDecoder* dec, HevcCtu* ctu, int cuIdx, int lumaOffset, int tuIdx) {
  const HevcCu& cu = ctu->astCu[cuIdx];
  int chromaOffset = lumaOffset / 4;
  for (int i = 0; i < cu.iNumTu; ++i) {
    const HevcTu& tu = ctu->astTu[tuIdx + i];
    const int log2 = tu.ucLog2TrafoSize, n = 1 << log2;
    if (tu.ucCbfLuma) {
      HevcMarkCoded(dec, tu.iX, tu.iY, n);
      HevcResidualBlock(dec, cu, tu, 0, log2, ctu->asCoeff + lumaOffset, tu.iX, tu.iY);
    }
    lumaOffset += n * n;
    // chroma with the unit above 4x4, or after the fourth 4x4 unit for their
    // 8x8 area, from the first unit's flags
    const HevcTu* owner = log2 > 2                       ? &tu
                          : (tu.ucBlkIdx == 3 && i >= 3) ? &ctu->astTu[tuIdx + i - 3]
                                                         : nullptr;
    if (!owner) continue;
    const int log2C = log2 > 2 ? log2 - 1 : 2;
    for (int c = 1; c < 3; ++c)
      if (c == 1 ? owner->ucCbfCb : owner->ucCbfCr)
        HevcResidualBlock(dec, cu, *owner, c, log2C, ctu->asCoeff + 3072 + 1024 * c + chromaOffset, owner->iX,
                          owner->iY);
    chromaOffset += 1 << (2 * log2C);
  }
}

}  // namespace

void HevcReconstructInterCu(HevcDecoder* dec, HevcCtu* ctu, int cuIdx, int lumaOffset, int tuIdx) {
  const HevcCu* cu = &ctu->astCu[cuIdx];
  const int x0 = cu->iX, y0 = cu->iY, n = 1 << cu->ucLog2CbSize;
  const int h = n / 2, q = n / 4;
  struct Pb {
    int x, y, w, h;
  };
  Pb pbs[4];
  int num = 1;
  pbs[0] = {x0, y0, n, n};
  switch (cu->iPredMode == 2 ? 0 : cu->iPartMode) {
    case 1:
      pbs[0] = {x0, y0, n, h}, pbs[1] = {x0, y0 + h, n, h}, num = 2;
      break;
    case 2:
      pbs[0] = {x0, y0, h, n}, pbs[1] = {x0 + h, y0, h, n}, num = 2;
      break;
    case 3:
      pbs[0] = {x0, y0, h, h}, pbs[1] = {x0 + h, y0, h, h}, pbs[2] = {x0, y0 + h, h, h},
      pbs[3] = {x0 + h, y0 + h, h, h};
      num = 4;
      break;
    case 4:
      pbs[0] = {x0, y0, n, q}, pbs[1] = {x0, y0 + q, n, n - q}, num = 2;
      break;
    case 5:
      pbs[0] = {x0, y0, n, n - q}, pbs[1] = {x0, y0 + n - q, n, q}, num = 2;
      break;
    case 6:
      pbs[0] = {x0, y0, q, n}, pbs[1] = {x0 + q, y0, n - q, n}, num = 2;
      break;
    case 7:
      pbs[0] = {x0, y0, n - q, n}, pbs[1] = {x0 + n - q, y0, q, n}, num = 2;
      break;
    default:
      break;
  }
  for (int i = 0; i < num; ++i) HevcPredictPu(dec, ctu, cu, pbs[i].x, pbs[i].y, pbs[i].w, pbs[i].h, i);
  if (cu->iPredMode != 2) HevcInterResidual(dec, ctu, cuIdx, lumaOffset, tuIdx);
}

}  // namespace hevc
