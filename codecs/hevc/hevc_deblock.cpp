// Deblocking filter (H.265 8.7.2), CTU by CTU: boundary strengths of the 8x8
// grid inside the CTU, then its vertical edges and the horizontal edges of a
// window shifted 8 samples left (the last 8 columns wait for the next CTU).
// The result equals filtering every vertical edge of the picture first.
#include <cstdlib>
#include <cstring>

#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/hevc_tables.h"

namespace hevc {
namespace {

inline uint8_t Clip8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }
inline int Clip3(int lo, int hi, int v) { return v < lo ? lo : v > hi ? hi : v; }

// Both kernels take q0 of the first of 8 lines; xs steps across the edge, ys along it.
void LumaEdge(uint8_t* q0, ptrdiff_t xs, ptrdiff_t ys, const int32_t* betaArr, const int32_t* tcArr,
              const int32_t* noP, const int32_t* noQ) {
  for (int half = 0; half < 2; ++half) {
    const int tc = tcArr[half], beta = betaArr[half];
    uint8_t* b = q0 + 4 * half * ys;
    if (tc <= 0) continue;
    auto P = [&](int line, int i) -> uint8_t& { return b[line * ys - (i + 1) * xs]; };
    auto Q = [&](int line, int i) -> uint8_t& { return b[line * ys + i * xs]; };
    const int dp0 = std::abs(P(0, 2) - 2 * P(0, 1) + P(0, 0)),
              dp3 = std::abs(P(3, 2) - 2 * P(3, 1) + P(3, 0));
    const int dq0 = std::abs(Q(0, 2) - 2 * Q(0, 1) + Q(0, 0)),
              dq3 = std::abs(Q(3, 2) - 2 * Q(3, 1) + Q(3, 0));
    const int d = dp0 + dq0 + dp3 + dq3;
    if (d >= beta) continue;
    auto strongLine = [&](int line, int dpq) {
      return 2 * dpq < (beta >> 2) &&
             std::abs(P(line, 3) - P(line, 0)) + std::abs(Q(line, 0) - Q(line, 3)) < (beta >> 3) &&
             std::abs(P(line, 0) - Q(line, 0)) < ((5 * tc + 1) >> 1);
    };
    const bool strong = strongLine(0, dp0 + dq0) && strongLine(3, dp3 + dq3);
    const bool skipP = noP[half] != 0, skipQ = noQ[half] != 0;
    if (strong) {
      for (int l = 0; l < 4; ++l) {
        const int p0 = P(l, 0), p1 = P(l, 1), p2 = P(l, 2), p3 = P(l, 3);
        const int q0v = Q(l, 0), q1 = Q(l, 1), q2 = Q(l, 2), q3 = Q(l, 3);
        if (!skipP) {
          P(l, 0) = static_cast<uint8_t>(
              Clip3(p0 - 2 * tc, p0 + 2 * tc, (p2 + 2 * p1 + 2 * p0 + 2 * q0v + q1 + 4) >> 3));
          P(l, 1) = static_cast<uint8_t>(Clip3(p1 - 2 * tc, p1 + 2 * tc, (p2 + p1 + p0 + q0v + 2) >> 2));
          P(l, 2) = static_cast<uint8_t>(
              Clip3(p2 - 2 * tc, p2 + 2 * tc, (2 * p3 + 3 * p2 + p1 + p0 + q0v + 4) >> 3));
        }
        if (!skipQ) {
          Q(l, 0) = static_cast<uint8_t>(
              Clip3(q0v - 2 * tc, q0v + 2 * tc, (p1 + 2 * p0 + 2 * q0v + 2 * q1 + q2 + 4) >> 3));
          Q(l, 1) = static_cast<uint8_t>(Clip3(q1 - 2 * tc, q1 + 2 * tc, (p0 + q0v + q1 + q2 + 2) >> 2));
          Q(l, 2) = static_cast<uint8_t>(
              Clip3(q2 - 2 * tc, q2 + 2 * tc, (p0 + q0v + q1 + 3 * q2 + 2 * q3 + 4) >> 3));
        }
      }
      continue;
    }
    const int side = (beta + (beta >> 1)) >> 3;
    const bool dEp = dp0 + dp3 < side, dEq = dq0 + dq3 < side;
    for (int l = 0; l < 4; ++l) {
      const int p0 = P(l, 0), p1 = P(l, 1), p2 = P(l, 2);
      const int q0v = Q(l, 0), q1 = Q(l, 1), q2 = Q(l, 2);
      int delta = (9 * (q0v - p0) - 3 * (q1 - p1) + 8) >> 4;
      if (std::abs(delta) >= tc * 10) continue;
      delta = Clip3(-tc, tc, delta);
      if (!skipP) {
        P(l, 0) = Clip8(p0 + delta);
        if (dEp) P(l, 1) = Clip8(p1 + Clip3(-(tc >> 1), tc >> 1, (((p2 + p0 + 1) >> 1) - p1 + delta) >> 1));
      }
      if (!skipQ) {
        Q(l, 0) = Clip8(q0v - delta);
        if (dEq) Q(l, 1) = Clip8(q1 + Clip3(-(tc >> 1), tc >> 1, (((q2 + q0v + 1) >> 1) - q1 - delta) >> 1));
      }
    }
  }
}

void ChromaEdge(uint8_t* q0, ptrdiff_t xs, ptrdiff_t ys, const int32_t* tcArr, const int32_t* noP,
                const int32_t* noQ) {
  for (int half = 0; half < 2; ++half) {
    const int tc = tcArr[half];
    if (tc <= 0) continue;
    uint8_t* b = q0 + 4 * half * ys;
    for (int l = 0; l < 4; ++l) {
      uint8_t* q = b + l * ys;
      const int p0 = q[-xs], p1 = q[-2 * xs], q0v = q[0], q1 = q[xs];
      const int delta = Clip3(-tc, tc, ((((q0v - p0) * 4) + p1 - q1 + 4) >> 3));
      if (!noP[half]) q[-xs] = Clip8(p0 + delta);
      if (!noQ[half]) q[0] = Clip8(q0v - delta);
    }
  }
}

void DeblockLumaV(uint8_t* q0, int stride, const int32_t* beta, const int32_t* tc, const int32_t* noP,
                  const int32_t* noQ) {
  LumaEdge(q0, 1, stride, beta, tc, noP, noQ);
}
void DeblockLumaH(uint8_t* q0, int stride, const int32_t* beta, const int32_t* tc, const int32_t* noP,
                  const int32_t* noQ) {
  LumaEdge(q0, stride, 1, beta, tc, noP, noQ);
}
void DeblockChromaV(uint8_t* q0, int stride, const int32_t* tc, const int32_t* noP, const int32_t* noQ) {
  ChromaEdge(q0, 1, stride, tc, noP, noQ);
}
void DeblockChromaH(uint8_t* q0, int stride, const int32_t* tc, const int32_t* noP, const int32_t* noQ) {
  ChromaEdge(q0, stride, 1, tc, noP, noQ);
}

// Bs 1 by motion (H.265 8.7.2.4): different pictures or vector counts, or a
// vector component 4 quarter samples apart or more.
int HevcBsMotionDiffers(const HevcMotionInfo* q, const HevcMotionInfo* p) {
  auto far = [](const int16_t* a, const int16_t* b) {
    return std::abs(a[0] - b[0]) >= 4 || std::abs(a[1] - b[1]) >= 4;
  };
  const int nq = q->predFlagL0 + q->predFlagL1, np = p->predFlagL0 + p->predFlagL1;
  if (nq != np) return 1;
  if (nq == 1) {
    const int16_t* mq = q->predFlagL0 ? q->mvL0 : q->mvL1;
    const int16_t* mp = p->predFlagL0 ? p->mvL0 : p->mvL1;
    const int rq = q->predFlagL0 ? q->bufIdxL0 : q->bufIdxL1;
    const int rp = p->predFlagL0 ? p->bufIdxL0 : p->bufIdxL1;
    return rq != rp || far(mq, mp);
  }
  if (nq == 0) return 1;
  const int q0 = q->bufIdxL0, q1 = q->bufIdxL1, p0 = p->bufIdxL0, p1 = p->bufIdxL1;
  if (!((q0 == p0 && q1 == p1) || (q0 == p1 && q1 == p0))) return 1;
  if (q0 != q1) {
    if (q0 == p0) return far(q->mvL0, p->mvL0) || far(q->mvL1, p->mvL1);
    return far(q->mvL0, p->mvL1) || far(q->mvL1, p->mvL0);
  }
  return (far(q->mvL0, p->mvL0) || far(q->mvL1, p->mvL1)) && (far(q->mvL0, p->mvL1) || far(q->mvL1, p->mvL0));
}

struct BsPass {
  HevcDecoder* dec;
  const HevcCtu* ctu;
  uint8_t* bsV;  // column-major: u * W4 + v
  uint8_t* bsH;  // row-major: v * W4 + u
  int w4;
  bool pSlice;

  size_t Map4(int x, int y) const { return static_cast<size_t>(y >> 2) * dec->iMap4Stride + (x >> 2); }
  bool Intra(int x, int y) const { return dec->pPredModeMap[Map4(x, y)] != 0xFF; }
  int Motion(int xq, int yq, int xp, int yp) const {
    return Kernel<BsMotionFn>(dec->stDsp, kSlotBsMotion)(HevcMotionAt(dec, xq, yq),
                                                         HevcMotionAt(dec, xp, yp));
  }
  // Bs of the edge between the 4x4 units holding (xq, yq) and (xp, yp).
  uint8_t Strength(int xq, int yq, int xp, int yp) const {
    if (Intra(xq, yq) || Intra(xp, yp)) return 2;
    if (dec->pCodedMap[Map4(xq, yq)] || dec->pCodedMap[Map4(xp, yp)]) return 1;
    return static_cast<uint8_t>(Motion(xq, yq, xp, yp));
  }
  uint8_t InnerStrength(int xq, int yq, int xp, int yp) const {
    if (!pSlice) return static_cast<uint8_t>(Motion(xq, yq, xp, yp));
    const HevcMotionInfo* q = HevcMotionAt(dec, xq, yq);
    const HevcMotionInfo* p = HevcMotionAt(dec, xp, yp);
    return q->bufIdxL0 != p->bufIdxL0 || std::abs(q->mvL0[0] - p->mvL0[0]) >= 4 ||
           std::abs(q->mvL0[1] - p->mvL0[1]) >= 4;
  }
  uint8_t& V(int x, int y) { return bsV[((x - ctu->iPixX) >> 2) * w4 + ((y - ctu->iPixY) >> 2)]; }
  uint8_t& H(int x, int y) { return bsH[((y - ctu->iPixY) >> 2) * w4 + ((x - ctu->iPixX) >> 2)]; }

  // The top and left edges of a block (HevcBsBlockEdges).
  void BlockEdges(int x, int y, int n) {
    const HevcPictureInfo& g = dec->stPic;
    const HevcSliceHeader& sh = dec->stSh;
    const bool tilesOff = !dec->pPps->loop_filter_across_tiles_enabled_flag;
    const int xe = x + n < g.iWidth ? x + n : g.iWidth, ye = y + n < g.iHeight ? y + n : g.iHeight;
    // an edge on the 8x8 grid, not at the picture edge, nor at a CTB edge
    // towards a slice or tile that the filter may not cross
    auto open = [&](int pos, int ctbPos, bool otherSlice, bool otherTile) {
      return pos > 0 && (pos & 7) == 0 &&
             !(pos == ctbPos &&
               ((otherSlice && !sh.slice_loop_filter_across_slices_enabled_flag) || (otherTile && tilesOff)));
    };
    if (open(y, ctu->iPixY, ctu->bUpOtherSlice, ctu->bUpOtherTile))
      for (int xs = x; xs < xe; xs += 4) H(xs, y) = Strength(xs, y, xs, y - 1);
    if (open(x, ctu->iPixX, ctu->bLeftOtherSlice, ctu->bLeftOtherTile))
      for (int ys = y; ys < ye; ys += 4) V(x, ys) = Strength(x, ys, x - 1, ys);
  }

  // Block edges plus, in an inter block above 8x8, the inner edges of the
  // 8x8 grid from the motion alone (HevcBsTuEdges).
  void TuEdges(int x, int y, int n) {
    BlockEdges(x, y, n);
    if (n <= 8 || Intra(x, y)) return;
    const HevcPictureInfo& g = dec->stPic;
    const int xe = x + n < g.iWidth ? x + n : g.iWidth, ye = y + n < g.iHeight ? y + n : g.iHeight;
    for (int yy = y + 8; yy < ye; yy += 8)
      for (int xs = x; xs < xe; xs += 4) H(xs, yy) = InnerStrength(xs, yy, xs, yy - 1);
    for (int xx = x + 8; xx < xe; xx += 8)
      for (int ys = y; ys < ye; ys += 4) V(xx, ys) = InnerStrength(xx, ys, xx - 1, ys);
  }
};

int ChromaQpForDeblock(int qPi) { return qPi < 0 ? qPi : qPi >= 58 ? qPi - 6 : kHevcQpCTable[qPi]; }

}  // namespace

void HevcDeblockCtuEdges(const HevcCtu* ctu, HevcDecoder* dec, uint8_t* bsV, uint8_t* bsH) {
  if (dec->stSh.slice_deblocking_filter_disabled_flag) return;
  BsPass b{dec, ctu, bsV, bsH, ctu->iCtbSize >> 2, dec->stSh.slice_type == 1};
  int tuIdx = 0;
  for (int i = 0; i < ctu->iNumCu; ++i) {
    const HevcCu& cu = ctu->astCu[i];
    const int n = 1 << cu.ucLog2CbSize;
    const bool whole = cu.iPartMode == 0;
    if (cu.ucSkipFlag) {
      b.BlockEdges(cu.iX, cu.iY, n);
    } else if (!cu.ucRqtRootCbf || cu.ucPcmFlag || cu.iNumTu == 0) {
      whole ? b.BlockEdges(cu.iX, cu.iY, n) : b.TuEdges(cu.iX, cu.iY, n);
    } else {
      for (int k = 0; k < cu.iNumTu; ++k) {
        const HevcTu& tu = ctu->astTu[tuIdx + k];
        const int s = 1 << tu.ucLog2TrafoSize;
        whole ? b.BlockEdges(tu.iX, tu.iY, s) : b.TuEdges(tu.iX, tu.iY, s);
      }
    }
    tuIdx += cu.iNumTu;
  }
}

void HevcDeblockCtu(HevcDecoder* dec, const HevcCtu* ctu, int x, int y, const uint8_t* bsV,
                    const uint8_t* bsH) {
  const HevcPictureInfo& g = dec->stPic;
  const HevcSps* sps = dec->pSps;
  const HevcPps* pps = dec->pPps;
  HevcPicture* pic = dec->pCurPic;
  const HevcDspTable& t = dec->stDsp;
  const int S = ctu->iCtbSize, w4 = S >> 2;
  const int W = g.iWidth, Hh = g.iHeight;
  const int xe = x + S < W ? x + S : W, ye = y + S < Hh ? y + S : Hh;
  const bool pcmExempt = sps->pcm_enabled_flag && sps->pcm_loop_filter_disabled_flag;
  const bool exempt = pcmExempt || pps->transquant_bypass_enabled_flag;
  const int wCtb = g.PicWidthInCtbsY;
  const int rs = ctu->iCtbY * wCtb + ctu->iCtbX;
  const int8_t* offs = dec->pDeblockParamMap;
  const int betaOff = offs[2 * rs], tcOff = offs[2 * rs + 1];
  const int betaOffL = ctu->iCtbX > 0 ? offs[2 * (rs - 1)] : betaOff;
  const int tcOffL = ctu->iCtbX > 0 ? offs[2 * (rs - 1) + 1] : tcOff;
  uint8_t* saved = dec->pSavedBs + 32 * ctu->iCtbY;
  auto qp = [&](int xx, int yy) {
    return static_cast<int>(dec->pQpYMap[static_cast<size_t>(yy >> 2) * dec->iMap4Stride + (xx >> 2)]);
  };
  auto exemptAt = [&](int xx, int yy) -> int32_t {
    if (!exempt || xx < 0 || xx >= W || yy >= Hh) return 0;
    const uint8_t v = dec->pPcmBypassMap[static_cast<size_t>(yy >> 3) * (dec->iMap4Stride / 2) + (xx >> 3)];
    return (v & 2) || (pcmExempt && (v & 1)) ? 1 : 0;
  };
  auto lumaParams = [&](int xq, int yq, int xp, int yp, const int* bs, int bo, int to, int32_t* beta,
                        int32_t* tc) {
    const int qpl = (qp(xq, yq) + qp(xp, yp) + 1) >> 1;
    beta[0] = beta[1] = kHevcBetaTable[Clip3(0, 51, qpl + bo)];
    for (int k = 0; k < 2; ++k) tc[k] = bs[k] ? kHevcTcTable[Clip3(0, 53, qpl + 2 * (bs[k] - 1) + to)] : 0;
  };
  auto chromaTc = [&](int xq, int yq, int xp, int yp, int c, int to) -> int32_t {
    const int qpi =
        ((qp(xq, yq) + qp(xp, yp) + 1) >> 1) + (c == 1 ? pps->pps_cb_qp_offset : pps->pps_cr_qp_offset);
    const int q = ChromaQpForDeblock(qpi) + 2 + to;
    return q < 1 ? 0 : kHevcTcTable[q > 53 ? 53 : q];
  };
  const int stride = g.iStride, strideC = g.iStrideC;
  uint8_t* Y = pic->apucPlane[0];
  const int slotLV = exempt ? kSlotDeblockLumaVEx : kSlotDeblockLumaV;
  const int slotLH = exempt ? kSlotDeblockLumaHEx : kSlotDeblockLumaH;
  const int slotCV = exempt ? kSlotDeblockChromaVEx : kSlotDeblockChromaV;
  const int slotCH = exempt ? kSlotDeblockChromaHEx : kSlotDeblockChromaH;

  // luma vertical edges
  for (int yy = y; yy < ye; yy += 8) {
    const int v = (yy - y) >> 2;
    for (int xx = x == 0 ? 8 : x; xx < xe; xx += 8) {
      const int u = (xx - x) >> 2;
      const int bs[2] = {bsV[u * w4 + v], bsV[u * w4 + v + 1]};
      if (!bs[0] && !bs[1]) continue;
      int32_t beta[2], tc[2];
      lumaParams(xx, yy, xx - 1, yy, bs, betaOff, tcOff, beta, tc);
      if (!tc[0] && !tc[1]) continue;
      const int32_t noP[2] = {exemptAt(xx - 1, yy), exemptAt(xx - 1, yy)},
                    noQ[2] = {exemptAt(xx, yy), exemptAt(xx, yy)};
      Kernel<DeblockLumaFn>(t, slotLV)(Y + static_cast<ptrdiff_t>(yy) * stride + xx, stride, beta, tc, noP,
                                       noQ);
    }
  }
  // chroma vertical edges, on the 16-sample luma grid, Bs 2 only
  for (int yy = y; yy < ye; yy += 16) {
    const int v = (yy - y) >> 2;
    for (int xx = x == 0 ? 16 : x; xx < xe; xx += 16) {
      const int u = (xx - x) >> 2;
      const int bs[2] = {bsV[u * w4 + v], v + 2 < w4 ? bsV[u * w4 + v + 2] : 0};
      if (bs[0] != 2 && bs[1] != 2) continue;
      for (int c = 1; c < 3; ++c) {
        int32_t tc[2];
        for (int k = 0; k < 2; ++k)
          tc[k] = bs[k] == 2 ? chromaTc(xx, yy + 8 * k, xx - 1, yy + 8 * k, c, tcOff) : 0;
        if (!tc[0] && !tc[1]) continue;
        const int32_t noP[2] = {exemptAt(xx - 1, yy), exemptAt(xx - 1, yy + 8)};
        const int32_t noQ[2] = {exemptAt(xx, yy), exemptAt(xx, yy + 8)};
        Kernel<DeblockChromaFn>(t, slotCV)(
            pic->apucPlane[c] + static_cast<ptrdiff_t>(yy / 2) * strideC + xx / 2, strideC, tc, noP, noQ);
      }
    }
  }
  // horizontal edges over the window shifted 8 samples left
  const int wx0 = x > 8 ? x - 8 : 0, wx1 = xe == W ? W : xe - 8;
  auto hbs = [&](int xx, int yy) -> int {
    if (xx < 0 || xx >= W) return 0;
    if (xx < x) return saved[((yy - y) >> 1) + ((xx - (x - 8)) >> 2)];
    return bsH[((yy - y) >> 2) * w4 + ((xx - x) >> 2)];
  };
  for (int yy = y == 0 ? 8 : y; yy < ye; yy += 8) {
    for (int xx = wx0; xx < wx1; xx += 8) {
      const int bs[2] = {hbs(xx, yy), hbs(xx + 4, yy)};
      if (!bs[0] && !bs[1]) continue;
      int32_t beta[2], tc[2];
      const bool leftCtb = xx < x;
      lumaParams(xx, yy, xx, yy - 1, bs, leftCtb ? betaOffL : betaOff, leftCtb ? tcOffL : tcOff, beta, tc);
      if (!tc[0] && !tc[1]) continue;
      const int32_t noP[2] = {exemptAt(xx, yy - 1), exemptAt(xx, yy - 1)},
                    noQ[2] = {exemptAt(xx, yy), exemptAt(xx, yy)};
      Kernel<DeblockLumaFn>(t, slotLH)(Y + static_cast<ptrdiff_t>(yy) * stride + xx, stride, beta, tc, noP,
                                       noQ);
    }
  }
  for (int yy = y == 0 ? 16 : y; yy < ye; yy += 16) {
    for (int xx = x - 8; xx < wx1; xx += 16) {
      const int bs[2] = {xx >= 0 ? hbs(xx, yy) : 0, hbs(xx + 8, yy)};
      if (bs[0] != 2 && bs[1] != 2) continue;
      for (int c = 1; c < 3; ++c) {
        int32_t tc[2];
        for (int k = 0; k < 2; ++k) {
          const int xh = xx + 8 * k;
          tc[k] = bs[k] == 2 ? chromaTc(xh, yy, xh, yy - 1, c, xh < x ? tcOffL : tcOff) : 0;
        }
        if (!tc[0] && !tc[1]) continue;
        const int xs = xx < 0 ? 0 : xx;
        const int32_t noP[2] = {exemptAt(xs, yy - 1), exemptAt(xx + 8, yy - 1)};
        const int32_t noQ[2] = {exemptAt(xs, yy), exemptAt(xx + 8, yy)};
        Kernel<DeblockChromaFn>(t, slotCH)(
            pic->apucPlane[c] + static_cast<ptrdiff_t>(yy / 2) * strideC + xx / 2, strideC, tc, noP, noQ);
      }
    }
  }
  // the last 8 columns' horizontal-edge Bs wait for the next CTU
  for (int v = 0; v < w4; ++v) {
    saved[2 * v] = bsH[v * w4 + w4 - 2];
    saved[2 * v + 1] = bsH[v * w4 + w4 - 1];
  }
}

void HevcSetDeblockKernels(HevcDspTable* t) {
  t->slot[kSlotDeblockLumaV] = t->slot[kSlotDeblockLumaVEx] = reinterpret_cast<HevcKernel>(&DeblockLumaV);
  t->slot[kSlotDeblockLumaH] = t->slot[kSlotDeblockLumaHEx] = reinterpret_cast<HevcKernel>(&DeblockLumaH);
  t->slot[kSlotDeblockChromaV] = t->slot[kSlotDeblockChromaVEx] =
      reinterpret_cast<HevcKernel>(&DeblockChromaV);
  t->slot[kSlotDeblockChromaH] = t->slot[kSlotDeblockChromaHEx] =
      reinterpret_cast<HevcKernel>(&DeblockChromaH);
  t->slot[kSlotBsMotion] = reinterpret_cast<HevcKernel>(&HevcBsMotionDiffers);
}

}  // namespace hevc
