// Coding tree unit syntax: SAO parameters, coding quadtree, coding and
// prediction units, transform tree, QP derivation, PCM samples; and the
// hand-off of a parsed CTU to reconstruction.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/hevc_tables.h"

namespace hevc {
namespace {

enum Ctx {
  kCtxSaoMerge = 0, kCtxSaoType = 1, kCtxSplitCu = 2, kCtxBypassFlag = 5, kCtxSkip = 6, kCtxQpDelta = 9,
  kCtxPredMode = 12, kCtxPartMode = 13, kCtxPrevIntra = 17, kCtxChromaMode = 18, kCtxMergeFlag = 20,
  kCtxMergeIdx = 21, kCtxInterPred = 22, kCtxRefIdx = 27, kCtxMvdGt0 = 31, kCtxMvdGt1 = 34, kCtxMvp = 35,
  kCtxRqtRootCbf = 36, kCtxSplitTransform = 37, kCtxCbfLuma = 40, kCtxCbfChroma = 42,
};

enum PartMode { k2Nx2N = 0, k2NxN, kNx2N, kNxN, k2NxnU, k2NxnD, knLx2N, knRx2N };

struct Parser {
  HevcDecoder* dec;
  HevcCtu* ctu;
  HevcCabac* c;
  const HevcSps* sps;
  const HevcPps* pps;
  const HevcSliceHeader* sh;
  int picW, picH, ctbMask;

  int Bin(int ctx) { return HevcCabacDecodeBin(c, &c->aucCtxState[ctx]); }
  int Bypass() { return HevcCabacDecodeBypass(c); }
  size_t Map4(int x, int y) const { return static_cast<size_t>(y >> 2) * dec->iMap4Stride + (x >> 2); }
  bool AvailLeft(int x) const { return (x & ctbMask) ? true : ctu->bAvailLeft != 0; }
  bool AvailUp(int y) const { return (y & ctbMask) ? true : ctu->bAvailUp != 0; }
  void Fill4(uint8_t* map, int x, int y, int w, int h, uint8_t v) const {
    const int n = ((x + w > picW ? picW : x + w) - x + 3) >> 2;
    const int end = y + h < picH ? y + h : picH;
    uint8_t* row = map + Map4(x, y);
    // block widths of 1 to 16 entries as stores of a fixed size
    auto fill = [&](auto size) {
      for (int yy = y; yy < end; yy += 4, row += dec->iMap4Stride) std::memset(row, v, decltype(size)::value);
    };
    switch (n) {
      case 1: fill(std::integral_constant<int, 1>()); break;
      case 2: fill(std::integral_constant<int, 2>()); break;
      case 4: fill(std::integral_constant<int, 4>()); break;
      case 8: fill(std::integral_constant<int, 8>()); break;
      case 16: fill(std::integral_constant<int, 16>()); break;
      default:
        for (int yy = y; yy < end; yy += 4, row += dec->iMap4Stride) std::memset(row, v, n);
    }
  }
  // The depth and skip flag of a CU (inside the picture), read only from the
  // left and from above: its right column and bottom row are enough.
  void CuEdges4(int x, int y, int n, uint8_t depth, uint8_t skip) const {
    const size_t stride = dec->iMap4Stride;
    const int m = n >> 2;
    size_t col = Map4(x + n - 4, y);
    for (int k = 1; k < m; ++k, col += stride) {
      dec->pCtDepthMap[col] = depth;
      dec->pSkipFlagMap[col] = skip;
    }
    const size_t row = Map4(x, y + n - 4);
    auto fill = [&](auto size) {
      std::memset(dec->pCtDepthMap + row, depth, decltype(size)::value);
      std::memset(dec->pSkipFlagMap + row, skip, decltype(size)::value);
    };
    switch (m) {
      case 2: fill(std::integral_constant<int, 2>()); break;
      case 4: fill(std::integral_constant<int, 4>()); break;
      case 8: fill(std::integral_constant<int, 8>()); break;
      default: fill(std::integral_constant<int, 16>()); break;
    }
  }
};

void ParseSao(Parser& p) {
  HevcDecoder* dec = p.dec;
  HevcCtu* ctu = p.ctu;
  const int W = dec->stPic.PicWidthInCtbsY;
  const int rs = ctu->iCtbY * W + ctu->iCtbX;
  HevcSaoParams* sao = &dec->pSaoParamMap[rs];
  int mergeLeft = 0, mergeUp = 0;
  if (ctu->iCtbX > 0 && ctu->bAvailLeft) mergeLeft = p.Bin(kCtxSaoMerge);
  if (!mergeLeft && ctu->iCtbY > 0 && ctu->bAvailUp) mergeUp = p.Bin(kCtxSaoMerge);
  if (mergeLeft || mergeUp) {
    *sao = dec->pSaoParamMap[mergeLeft ? rs - 1 : rs - W];
    return;
  }
  std::memset(sao, 0, sizeof *sao);
  for (int cIdx = 0; cIdx < 3; ++cIdx) {
    if (!(cIdx == 0 ? p.sh->slice_sao_luma_flag : p.sh->slice_sao_chroma_flag)) continue;
    if (cIdx == 2) {
      sao->aucSaoTypeIdx[2] = sao->aucSaoTypeIdx[1];
      sao->aucSaoEoClass[2] = sao->aucSaoEoClass[1];
    } else {
      int t = 0;
      if (p.Bin(kCtxSaoType)) t = p.Bypass() ? 2 : 1;
      sao->aucSaoTypeIdx[cIdx] = static_cast<uint8_t>(t);
    }
    const int type = sao->aucSaoTypeIdx[cIdx];
    if (!type) continue;
    int abs[4];
    for (int i = 0; i < 4; ++i) {
      int v = 0;
      while (v < 7 && p.Bypass()) ++v;
      abs[i] = v;
    }
    if (type == 1) {
      for (int i = 0; i < 4; ++i)
        if (abs[i] && p.Bypass()) abs[i] = -abs[i];
      sao->aucSaoBandPosition[cIdx] = static_cast<uint8_t>(HevcCabacDecodeBypassBits(p.c, 5));
      for (int i = 0; i < 4; ++i) sao->acSaoOffsetVal[cIdx][i + 1] = static_cast<int8_t>(abs[i]);
    } else {
      if (cIdx == 0) sao->aucSaoEoClass[0] = static_cast<uint8_t>(HevcCabacDecodeBypassBits(p.c, 2));
      if (cIdx == 1) sao->aucSaoEoClass[1] = static_cast<uint8_t>(HevcCabacDecodeBypassBits(p.c, 2));
      sao->acSaoOffsetVal[cIdx][1] = static_cast<int8_t>(abs[0]);
      sao->acSaoOffsetVal[cIdx][2] = static_cast<int8_t>(abs[1]);
      sao->acSaoOffsetVal[cIdx][3] = static_cast<int8_t>(-abs[2]);
      sao->acSaoOffsetVal[cIdx][4] = static_cast<int8_t>(-abs[3]);
    }
  }
}

// qPY_PRED of the quantisation group that holds (xCb, yCb): the previous
// group's last QP and the left and upper neighbours inside the CTB (H.265 8.6.1).
void PredictQpY(Parser& p, int xCb, int yCb) {
  HevcCabac* c = p.c;
  const int mask = (1 << (p.sps->CtbLog2SizeY - p.pps->diff_cu_qp_delta_depth)) - 1;
  const int xQg = xCb & ~mask, yQg = yCb & ~mask;
  if (xQg == c->iQgX && yQg == c->iQgY) return;
  c->iQgX = xQg;
  c->iQgY = yQg;
  int prev = c->iQpY;
  if (c->iFirstQgFlag) {
    prev = p.sh->SliceQpY;
    c->iFirstQgFlag = 0;
  }
  int a = (xQg & p.ctbMask) ? p.dec->pQpYMap[p.Map4(xQg - 1, yQg)] : prev;
  int b = (yQg & p.ctbMask) ? p.dec->pQpYMap[p.Map4(xQg, yQg - 1)] : prev;
  c->iQpYPred = (a + b + 1) >> 1;
}

void UpdateQpY(Parser& p) {
  HevcCabac* c = p.c;
  if (!p.pps->cu_qp_delta_enabled_flag) return;
  c->iQpY = ((c->iQpYPred + c->iCuQpDeltaVal + 52) % 52 + 52) % 52;
}

void DeriveChromaQp(Parser& p, HevcCu* cu) {
  const int qpY = p.c->iQpY;
  cu->cQpY = static_cast<int8_t>(qpY);
  for (int k = 0; k < 2; ++k) {
    int qpi = qpY + (k ? p.pps->pps_cr_qp_offset + p.sh->slice_cr_qp_offset
                       : p.pps->pps_cb_qp_offset + p.sh->slice_cb_qp_offset);
    qpi = qpi < 0 ? 0 : qpi > 57 ? 57 : qpi;
    int qpc = kHevcQpCTable[qpi];
    (k ? cu->cQpCr : cu->cQpCb) = static_cast<int8_t>(qpc);
  }
}

int32_t ParsePcm(Parser& p, HevcCu* cu, int lumaOffset) {
  const int n = 1 << cu->ucLog2CbSize;
  const int dY = p.sps->PcmBitDepthY, dC = p.sps->PcmBitDepthC;
  const int64_t bits = static_cast<int64_t>(dY) * n * n + 2ll * dC * (n * n / 4);
  const uint8_t* src = HevcCabacRestart(p.c, bits / 8);
  if (!src) {
    HEVC_ERR(p.dec, "IH265D_Decode : the pcm is enable but it is empty!\n");
    return IH265D_ERR_SLICEDATA;
  }
  int64_t pos = 0;
  auto read = [&](int d) {
    int v = 0;
    for (int i = 0; i < d; ++i, ++pos) v = (v << 1) | ((src[pos >> 3] >> (7 - (pos & 7))) & 1);
    return v;
  };
  int16_t* y = p.ctu->asCoeff + lumaOffset;
  for (int i = 0; i < n * n; ++i) y[i] = static_cast<int16_t>(read(dY) << (8 - dY));
  for (int k = 0; k < 2; ++k) {
    int16_t* ch = p.ctu->asCoeff + 4096 + 1024 * k + lumaOffset / 4;
    for (int i = 0; i < n * n / 4; ++i) ch[i] = static_cast<int16_t>(read(dC) << (8 - dC));
  }
  return 0;
}

int DeriveIntraLumaMode(Parser& p, int x, int y, int prevFlag, int mpmIdx, int rem) {
  int a = 1, b = 1;
  if (p.AvailLeft(x)) {
    uint8_t m = p.dec->pPredModeMap[p.Map4(x - 1, y)];
    if (m != 0xFF) a = m;
  }
  if ((y & p.ctbMask) != 0) {
    uint8_t m = p.dec->pPredModeMap[p.Map4(x, y - 1)];
    if (m != 0xFF) b = m;
  }
  int cand[3];
  if (a == b) {
    if (a < 2) {
      cand[0] = 0;
      cand[1] = 1;
      cand[2] = 26;
    } else {
      cand[0] = a;
      cand[1] = 2 + ((a + 29) % 32);
      cand[2] = 2 + ((a - 2 + 1) % 32);
    }
  } else {
    cand[0] = a;
    cand[1] = b;
    cand[2] = (a != 0 && b != 0) ? 0 : (a != 1 && b != 1) ? 1 : 26;
  }
  if (prevFlag) return cand[mpmIdx];
  if (cand[0] > cand[1]) std::swap(cand[0], cand[1]);
  if (cand[0] > cand[2]) std::swap(cand[0], cand[2]);
  if (cand[1] > cand[2]) std::swap(cand[1], cand[2]);
  int mode = rem;
  for (int i = 0; i < 3; ++i)
    if (mode >= cand[i]) ++mode;
  return mode;
}

void ParseIntraModes(Parser& p, HevcCu* cu) {
  const int n = 1 << cu->ucLog2CbSize;
  const int parts = cu->iPartMode == kNxN ? 4 : 1;
  const int pb = parts == 4 ? n / 2 : n;
  int prev[4], mpm[4] = {}, rem[4] = {};
  for (int j = 0; j < parts; ++j) prev[j] = p.Bin(kCtxPrevIntra);
  for (int j = 0; j < parts; ++j) {
    if (prev[j]) {
      mpm[j] = 0;
      if (p.Bypass()) mpm[j] = p.Bypass() ? 2 : 1;
    } else {
      rem[j] = static_cast<int>(HevcCabacDecodeBypassBits(p.c, 5));
    }
    int x = cu->iX + (j & 1) * pb, y = cu->iY + (j >> 1) * pb;
    int mode = DeriveIntraLumaMode(p, x, y, prev[j], mpm[j], rem[j]);
    cu->aiIntraPredModeY[j] = mode;
    p.Fill4(p.dec->pPredModeMap, x, y, pb, pb, static_cast<uint8_t>(mode));
  }
  int icm = 4;
  if (p.Bin(kCtxChromaMode)) icm = static_cast<int>(HevcCabacDecodeBypassBits(p.c, 2));
  const int luma = cu->aiIntraPredModeY[0];
  int col = luma == 0 ? 0 : luma == 26 ? 1 : luma == 10 ? 2 : luma == 1 ? 3 : 4;
  int m = kHevcChromaModeTable[icm * 5 + col];
  cu->iIntraPredModeC = m < 0 ? luma : m;
}

int32_t ParseMvd(Parser& p, int16_t* mvd) {
  int gt0[2], gt1[2] = {0, 0};
  gt0[0] = p.Bin(kCtxMvdGt0);
  gt0[1] = p.Bin(kCtxMvdGt0);
  if (gt0[0]) gt1[0] = p.Bin(kCtxMvdGt1);
  if (gt0[1]) gt1[1] = p.Bin(kCtxMvdGt1);
  for (int k = 0; k < 2; ++k) {
    int64_t v = 0;
    if (gt0[k]) {
      v = 1;
      if (gt1[k]) {
        // Exp-Golomb of order 1; a prefix past 31 one-bins cannot be a valid value
        int kk = 1;
        int64_t base = 0;
        while (p.Bypass()) {
          base += 1ll << kk;
          if (++kk > 31) {
            HEVC_ERR(p.dec, "IH265D_Decode : the value of stMvd is %d,it should be in the range of -32768~32767!\n",
                     0x7FFFFFFF);
            return IH265D_ERR_SLICEDATA;
          }
        }
        v = 2 + base + HevcCabacDecodeBypassBits(p.c, kk);
      }
      if (p.Bypass()) v = -v;
    }
    if (v < -32768 || v > 32767) {
      HEVC_ERR(p.dec, "IH265D_Decode : the value of stMvd is %d,it should be in the range of -32768~32767!\n",
               static_cast<int>(v));
      return IH265D_ERR_SLICEDATA;
    }
    mvd[k] = static_cast<int16_t>(v);
  }
  return 0;
}

int32_t ParsePredictionUnit(Parser& p, HevcCu* cu, HevcPu* pu, int w, int h, int forcedMerge) {
  pu->iMergeIdx = 0;
  pu->iInterPredIdc = 0;
  pu->iMergeFlag = forcedMerge ? 1 : p.Bin(kCtxMergeFlag);
  if (pu->iMergeFlag) {
    if (p.sh->MaxNumMergeCand > 1) {
      int idx = p.Bin(kCtxMergeIdx);
      if (idx)
        while (idx < p.sh->MaxNumMergeCand - 1 && p.Bypass()) ++idx;
      pu->iMergeIdx = idx;
    }
    return 0;
  }
  if (p.sh->slice_type == 0) {
    if (w + h != 12 && p.Bin(kCtxInterPred + p.c->iCtDepth))
      pu->iInterPredIdc = 2;
    else
      pu->iInterPredIdc = p.Bin(kCtxInterPred + 4);
  }
  auto refIdx = [&](int active) {
    if (active <= 1) return 0;
    int i = 0;
    while (i < active - 1) {
      int bin = i < 2 ? p.Bin(kCtxRefIdx + i) : p.Bypass();
      if (!bin) break;
      ++i;
    }
    return i;
  };
  if (pu->iInterPredIdc != 1) {
    pu->iRefIdxL0 = refIdx(p.sh->num_ref_idx_l0_active);
    if (ParseMvd(p, pu->asMvdL0)) return IH265D_ERR_SLICEDATA;
    pu->iMvpL0Flag = p.Bin(kCtxMvp);
  }
  if (pu->iInterPredIdc != 0) {
    pu->iRefIdxL1 = refIdx(p.sh->num_ref_idx_l1_active);
    if (p.sh->mvd_l1_zero_flag && pu->iInterPredIdc == 2) {
      pu->asMvdL1[0] = pu->asMvdL1[1] = 0;
    } else if (ParseMvd(p, pu->asMvdL1)) {
      return IH265D_ERR_SLICEDATA;
    }
    pu->iMvpL1Flag = p.Bin(kCtxMvp);
  }
  (void)cu;
  return 0;
}

struct TreeState {
  HevcCu* cu;
  int lumaOffset;
  int chromaOffset;
};

int32_t ParseTransformUnit(Parser& p, TreeState& t, HevcTu* tu, int blkIdx, HevcTu* groupFirst) {
  HevcCu* cu = t.cu;
  const int log2 = tu->ucLog2TrafoSize;
  const int cbfChroma = tu->ucCbfCb | tu->ucCbfCr;
  if ((tu->ucCbfLuma || cbfChroma) && p.pps->cu_qp_delta_enabled_flag && !p.c->iIsCuQpDeltaCoded) {
    int prefix = 0;
    while (prefix < 5 && p.Bin(kCtxQpDelta + (prefix ? 1 : 0))) ++prefix;
    int64_t v = prefix;
    if (prefix == 5) {
      int k = 0;
      while (p.Bypass()) {
        v += 1ll << k;
        if (++k > 31) break;
      }
      v += HevcCabacDecodeBypassBits(p.c, k > 31 ? 31 : k);
    }
    if (v > 26) {
      HEVC_ERR(p.dec, "IH265D_Decode : the value of cu_qp_delta is %d, it should be in the range of 0~26!\n",
               static_cast<int>(v > 0x7FFFFFFF ? 0x7FFFFFFF : v));
      return IH265D_ERR_SLICEDATA;
    }
    int delta = static_cast<int>(v);
    if (delta && p.Bypass()) delta = -delta;
    p.c->iIsCuQpDeltaCoded = 1;
    p.c->iCuQpDeltaVal = delta;
    UpdateQpY(p);
    DeriveChromaQp(p, cu);
  }
  auto scanIdx = [&](int mode, int log2Size, bool chroma) {
    if (cu->iPredMode != 1 || log2Size > (chroma ? 2 : 3)) return 0;
    if (mode >= 6 && mode <= 14) return 2;
    if (mode >= 22 && mode <= 30) return 1;
    return 0;
  };
  HevcCtu* ctu = p.ctu;
  const int bypass = cu->ucTransquantBypass;
  const int n = 1 << log2;
  if (tu->ucCbfLuma) {
    int32_t r = HevcResidualCoding(p.dec, tu, log2, bypass, 0, ctu->asCoeff + t.lumaOffset,
                                   scanIdx(p.c->iIntraPredModeY, log2, false));
    if (r) return r;
  }
  t.lumaOffset += n * n;
  // chroma: with the TU above 4x4, or after the fourth 4x4 luma block for the
  // 8x8 area (with the flags and records of the group's first TU)
  if (log2 > 2 || blkIdx == 3) {
    const int log2C = log2 > 2 ? log2 - 1 : 2;
    HevcTu* owner = log2 > 2 ? tu : groupFirst;
    const int sIdx = scanIdx(cu->iIntraPredModeC, log2C, true);
    for (int c = 1; c < 3; ++c) {
      if (!(c == 1 ? owner->ucCbfCb : owner->ucCbfCr)) continue;
      int32_t r = HevcResidualCoding(p.dec, owner, log2C, bypass, c, ctu->asCoeff + 3072 + 1024 * c + t.chromaOffset, sIdx);
      if (r) return r;
    }
    t.chromaOffset += 1 << (2 * log2C);
  }
  return 0;
}

int32_t ParseTransformTree(Parser& p, TreeState& t, int x0, int y0, int log2, int depth, int blkIdx, int parentCb,
                           int parentCr, HevcTu* groupFirst) {
  HevcCu* cu = t.cu;
  p.c->iIntraPredModeY = (cu->ucIntraSplitFlag && depth == 1) ? cu->aiIntraPredModeY[blkIdx] : cu->aiIntraPredModeY[0];
  if (cu->ucIntraSplitFlag && depth > 1) {
    // deeper levels keep the mode of their depth-1 ancestor
    int half = 1 << (cu->ucLog2CbSize - 1);
    int part = ((x0 - cu->iX) >= half ? 1 : 0) + ((y0 - cu->iY) >= half ? 2 : 0);
    p.c->iIntraPredModeY = cu->aiIntraPredModeY[part];
  }
  const int maxTb = p.sps->Log2MaxTrafoSize, minTb = p.sps->log2_min_luma_transform_block_size;
  const int interSplit = p.sps->max_transform_hierarchy_depth_inter == 0 && cu->iPredMode == 0 &&
                         cu->iPartMode != k2Nx2N && depth == 0;
  int split;
  if (log2 <= maxTb && log2 > minTb && depth < cu->ucMaxTrafoDepth && !(cu->ucIntraSplitFlag && depth == 0))
    split = p.Bin(kCtxSplitTransform + 5 - log2);
  else
    split = log2 > maxTb || (cu->ucIntraSplitFlag && depth == 0) || interSplit;
  int cbfCb = 0, cbfCr = 0;
  if (log2 > 2) {
    if (depth == 0 || parentCb) cbfCb = p.Bin(kCtxCbfChroma + depth);
    if (depth == 0 || parentCr) cbfCr = p.Bin(kCtxCbfChroma + depth);
  } else {
    cbfCb = parentCb;
    cbfCr = parentCr;
  }
  if (split) {
    const int h = 1 << (log2 - 1);
    HevcTu* first = nullptr;
    for (int i = 0; i < 4; ++i) {
      if (log2 - 1 == 2 && i == 0) first = &p.ctu->astTu[p.ctu->iNumTu < 256 ? p.ctu->iNumTu : 255];
      int32_t r = ParseTransformTree(p, t, x0 + (i & 1) * h, y0 + (i >> 1) * h, log2 - 1, depth + 1, i, cbfCb, cbfCr,
                                     first);
      if (r) return r;
    }
    return 0;
  }
  int cbfLuma = 1;
  if (cu->iPredMode == 1 || depth != 0 || cbfCb || cbfCr) cbfLuma = p.Bin(kCtxCbfLuma + (depth == 0 ? 1 : 0));
  HevcCtu* ctu = p.ctu;
  if (ctu->iNumTu >= 256) return IH265D_ERR_SLICEDATA;
  HevcTu* tu = &ctu->astTu[ctu->iNumTu];
  std::memset(tu, 0, sizeof *tu);
  tu->iX = x0;
  tu->iY = y0;
  tu->ucLog2TrafoSize = static_cast<uint8_t>(log2);
  tu->ucCbfLuma = static_cast<uint8_t>(cbfLuma);
  tu->ucCbfCb = static_cast<uint8_t>(cbfCb);
  tu->ucCbfCr = static_cast<uint8_t>(cbfCr);
  tu->ucBlkIdx = static_cast<uint8_t>(blkIdx);
  if (log2 > 2 || !groupFirst) groupFirst = tu;
  int32_t r = ParseTransformUnit(p, t, tu, blkIdx, groupFirst);
  if (r) return r;
  ++cu->iNumTu;
  ++ctu->iNumTu;
  return 0;
}

int32_t ParseCodingUnit(Parser& p, int x0, int y0, int log2, int depth, int& lumaOffset) {
  HevcCtu* ctu = p.ctu;
  if (ctu->iNumCu >= 64) return IH265D_ERR_SLICEDATA;
  HevcCu* cu = &ctu->astCu[ctu->iNumCu];
  // cleared in pieces of a fixed size: vector stores, not a string store
  static_assert(sizeof *cu > 192 && sizeof *cu <= 256);
  char* const cuBytes = reinterpret_cast<char*>(cu);
  std::memset(cuBytes, 0, 64);
  std::memset(cuBytes + 64, 0, 64);
  std::memset(cuBytes + 128, 0, 64);
  std::memset(cuBytes + 192, 0, sizeof *cu - 192);
  cu->iX = x0;
  cu->iY = y0;
  cu->ucLog2CbSize = static_cast<uint8_t>(log2);
  cu->iPredMode = 1;
  cu->ucRqtRootCbf = 1;
  const int n = 1 << log2;
  if (p.pps->transquant_bypass_enabled_flag) cu->ucTransquantBypass = static_cast<uint8_t>(p.Bin(kCtxBypassFlag));
  if (p.sh->slice_type != 2) {
    int ctx = kCtxSkip;
    if (p.AvailLeft(x0) && p.dec->pSkipFlagMap[p.Map4(x0 - 1, y0)]) ++ctx;
    if (p.AvailUp(y0) && p.dec->pSkipFlagMap[p.Map4(x0, y0 - 1)]) ++ctx;
    cu->ucSkipFlag = static_cast<uint8_t>(p.Bin(ctx));
  }
  TreeState t{cu, lumaOffset, lumaOffset / 4};
  if (p.pps->cu_qp_delta_enabled_flag) PredictQpY(p, x0, y0);
  UpdateQpY(p);
  DeriveChromaQp(p, cu);
  int counter;
  const int sizeIdx = log2 - 3;
  if (cu->ucSkipFlag) {
    cu->iPredMode = 2;
    if (ParsePredictionUnit(p, cu, &cu->astPu[0], n, n, 1)) return IH265D_ERR_SLICEDATA;
    counter = 14 + sizeIdx;
  } else {
    if (p.sh->slice_type != 2) cu->iPredMode = p.Bin(kCtxPredMode);
    if (cu->iPredMode != 1 || log2 == p.sps->MinCbLog2SizeY) {
      int pm;
      if (p.Bin(kCtxPartMode)) {
        pm = k2Nx2N;
      } else if (cu->iPredMode == 1) {
        pm = kNxN;
      } else if (log2 == p.sps->MinCbLog2SizeY) {
        if (p.Bin(kCtxPartMode + 1))
          pm = k2NxN;
        else if (log2 == 3)
          pm = kNx2N;
        else
          pm = p.Bin(kCtxPartMode + 2) ? kNx2N : kNxN;
      } else {
        int hor = p.Bin(kCtxPartMode + 1);
        if (!p.sps->amp_enabled_flag || p.Bin(kCtxPartMode + 3))
          pm = hor ? k2NxN : kNx2N;
        else
          pm = hor ? (p.Bypass() ? k2NxnD : k2NxnU) : (p.Bypass() ? knRx2N : knLx2N);
      }
      cu->iPartMode = pm;
    }
    cu->ucIntraSplitFlag = cu->iPredMode == 1 && cu->iPartMode == kNxN;
    if (cu->iPredMode == 1) {
      if (cu->iPartMode == k2Nx2N && p.sps->pcm_enabled_flag && log2 >= p.sps->Log2MinIpcmCbSizeY &&
          log2 <= p.sps->Log2MaxIpcmCbSizeY)
        cu->ucPcmFlag = static_cast<uint8_t>(HevcCabacDecodeTerminate(p.c));
      if (cu->ucPcmFlag) {
        int32_t r = ParsePcm(p, cu, lumaOffset);
        if (r) return r;
        p.Fill4(p.dec->pPredModeMap, x0, y0, n, n, 1);
        counter = 6 + sizeIdx;
      } else {
        ParseIntraModes(p, cu);
        counter = (log2 == 3 && cu->iPartMode == kNxN) ? 0 : 1 + sizeIdx;
      }
    } else {
      static const int kParts[8] = {1, 2, 2, 4, 2, 2, 2, 2};
      for (int i = 0; i < kParts[cu->iPartMode]; ++i) {
        int w = n, h = n;
        switch (cu->iPartMode) {
          case k2NxN: h = n / 2; break;
          case kNx2N: w = n / 2; break;
          case kNxN: w = h = n / 2; break;
          case k2NxnU: h = i == 0 ? n / 4 : 3 * n / 4; break;
          case k2NxnD: h = i == 0 ? 3 * n / 4 : n / 4; break;
          case knLx2N: w = i == 0 ? n / 4 : 3 * n / 4; break;
          case knRx2N: w = i == 0 ? 3 * n / 4 : n / 4; break;
          default: break;
        }
        if (ParsePredictionUnit(p, cu, &cu->astPu[i], w, h, 0)) return IH265D_ERR_SLICEDATA;
      }
      counter = 10 + sizeIdx;
    }
    if (!cu->ucPcmFlag) {
      if (cu->iPredMode != 1 && !(cu->iPartMode == k2Nx2N && cu->astPu[0].iMergeFlag))
        cu->ucRqtRootCbf = static_cast<uint8_t>(p.Bin(kCtxRqtRootCbf));
      if (cu->ucRqtRootCbf) {
        cu->ucMaxTrafoDepth = static_cast<uint8_t>(cu->iPredMode == 1
                                                       ? p.sps->max_transform_hierarchy_depth_intra + cu->ucIntraSplitFlag
                                                       : p.sps->max_transform_hierarchy_depth_inter);
        int32_t r = ParseTransformTree(p, t, x0, y0, log2, 0, 0, 0, 0, nullptr);
        if (r) return r;
      }
    }
  }
  p.CuEdges4(x0, y0, n, static_cast<uint8_t>(depth), cu->ucSkipFlag);
  p.Fill4(reinterpret_cast<uint8_t*>(p.dec->pQpYMap), x0, y0, n, n, static_cast<uint8_t>(p.c->iQpY));
  if (cu->ucPcmFlag || cu->ucTransquantBypass) {
    const uint8_t v = static_cast<uint8_t>(cu->ucPcmFlag + 2 * cu->ucTransquantBypass);
    const int stride8 = p.dec->iMap4Stride / 2;
    for (int y = y0; y < y0 + n && y < p.picH; y += 8)
      for (int x = x0; x < x0 + n && x < p.picW; x += 8) p.dec->pPcmBypassMap[(y >> 3) * stride8 + (x >> 3)] = v;
  }
  // counter 0 counts 4x4 parts: four of an 8x8 NxN CU
  if (p.dec->pCurPic) p.dec->pCurPic->piCuCount[counter] += counter == 0 ? 4 : 1;
  lumaOffset += n * n;
  ++ctu->iNumCu;
  return 0;
}

int32_t ParseCodingQuadtree(Parser& p, int x0, int y0, int log2, int depth, int& lumaOffset) {
  p.c->iCtDepth = depth;
  const int n = 1 << log2;
  int split;
  if (x0 + n <= p.picW && y0 + n <= p.picH && log2 > p.sps->MinCbLog2SizeY) {
    int ctx = kCtxSplitCu;
    if (p.AvailLeft(x0) && p.dec->pCtDepthMap[p.Map4(x0 - 1, y0)] > depth) ++ctx;
    if (p.AvailUp(y0) && p.dec->pCtDepthMap[p.Map4(x0, y0 - 1)] > depth) ++ctx;
    split = p.Bin(ctx);
  } else {
    split = log2 > p.sps->MinCbLog2SizeY;
  }
  if (p.pps->cu_qp_delta_enabled_flag && log2 >= p.sps->CtbLog2SizeY - p.pps->diff_cu_qp_delta_depth) {
    p.c->iIsCuQpDeltaCoded = 0;
    p.c->iCuQpDeltaVal = 0;
  }
  if (split) {
    const int h = n / 2;
    for (int i = 0; i < 4; ++i) {
      int x = x0 + (i & 1) * h, y = y0 + (i >> 1) * h;
      if (x < p.picW && y < p.picH) {
        int32_t r = ParseCodingQuadtree(p, x, y, log2 - 1, depth + 1, lumaOffset);
        if (r) return r;
      }
    }
    return 0;
  }
  return ParseCodingUnit(p, x0, y0, log2, depth, lumaOffset);
}

}  // namespace

int32_t HevcMvdCoding(HevcDecoder* dec, int16_t* mvd) {
  Parser p{dec, dec->pCtu, dec->pCabac, dec->pSps, dec->pPps, &dec->stSh,
           dec->stPic.iWidth, dec->stPic.iHeight, dec->pSps ? dec->pSps->CtbSizeY - 1 : 15};
  return ParseMvd(p, mvd);
}

void HevcResetCtuState(HevcDecoder* dec, HevcCtu* ctu) {
  const HevcPps* pps = dec->pPps;
  const HevcPictureInfo& g = dec->stPic;
  const int W = g.PicWidthInCtbsY;
  const int rs = ctu->iCtbY * W + ctu->iCtbX;
  const int ts = pps->CtbAddrRsToTs[rs];
  dec->pCtbSliceAddrMap[rs] = dec->SliceAddrRs;
  dec->pCtbLfAcrossSlicesMap[rs] = static_cast<uint8_t>(dec->stSh.slice_loop_filter_across_slices_enabled_flag);
  ctu->bAvailUp = ctu->bAvailLeft = ctu->bAvailUpLeft = ctu->bAvailUpRight = 0;
  ctu->bLeftOtherTile = ctu->bLeftOtherSlice = ctu->bUpOtherTile = ctu->bUpOtherSlice = 0;
  auto same = [&](int other, uint8_t* otherSlice, uint8_t* otherTile) {
    bool s = dec->pCtbSliceAddrMap[other] == dec->SliceAddrRs;
    bool t = pps->TileId[pps->CtbAddrRsToTs[other]] == pps->TileId[ts];
    bool decoded = pps->CtbAddrRsToTs[other] < ts;
    if (otherSlice) *otherSlice = !s;
    if (otherTile) *otherTile = pps->tiles_enabled_flag && !t;
    return static_cast<uint8_t>(s && t && decoded);
  };
  if (ctu->iCtbX > 0) ctu->bAvailLeft = same(rs - 1, &ctu->bLeftOtherSlice, &ctu->bLeftOtherTile);
  if (ctu->iCtbY > 0) {
    ctu->bAvailUp = same(rs - W, &ctu->bUpOtherSlice, &ctu->bUpOtherTile);
    if (ctu->iCtbX > 0) ctu->bAvailUpLeft = same(rs - W - 1, nullptr, nullptr);
    if (ctu->iCtbX + 1 < W) ctu->bAvailUpRight = same(rs - W + 1, nullptr, nullptr);
  }
  HevcCabac* c = dec->pCabac;
  if (pps->entropy_coding_sync_enabled_flag && ctu->iCtbX == 0) c->iFirstQgFlag = 1;
  ctu->iTileEndX = g.iWidth;
  if (pps->tiles_enabled_flag) {
    if (ts > 0 && pps->TileId[ts] != pps->TileId[ts - 1]) c->iFirstQgFlag = 1;
    const int col = pps->TileId[ts] % pps->num_tile_columns;
    ctu->iTileStartX = pps->colBd[col] << ctu->iLog2CtbSize;
    int end = pps->colBd[col + 1] << ctu->iLog2CtbSize;
    ctu->iTileEndX = end > g.iWidth ? g.iWidth : end;
  }
  int endY = ctu->iPixY + ctu->iCtbSize;
  ctu->iCtbEndY = endY > g.iHeight ? g.iHeight : endY;
}

int32_t HevcDecodeCtu(HevcDecoder* dec, HevcCtu* ctu) {
  Parser p{dec, ctu, dec->pCabac, dec->pSps, dec->pPps, &dec->stSh,
           dec->stPic.iWidth, dec->stPic.iHeight, dec->pSps->CtbSizeY - 1};
  const int W = dec->stPic.PicWidthInCtbsY;
  const int rs = ctu->iCtbY * W + ctu->iCtbX;
  if (p.sh->slice_sao_luma_flag || p.sh->slice_sao_chroma_flag)
    ParseSao(p);
  else
    std::memset(dec->pSaoParamMap[rs].aucSaoTypeIdx, 0, 3);
  dec->pDeblockParamMap[2 * rs] = static_cast<int8_t>(p.sh->slice_beta_offset);
  dec->pDeblockParamMap[2 * rs + 1] = static_cast<int8_t>(p.sh->slice_tc_offset);
  ctu->iNumCu = ctu->iNumTu = 0;
  int lumaOffset = 0;
  int32_t r = ParseCodingQuadtree(p, ctu->iPixX, ctu->iPixY, ctu->iLog2CtbSize, 0, lumaOffset);
  if (r) return r;
  ctu->iEndOfSliceSegment = HevcCabacDecodeTerminate(p.c);
  if (!ctu->iEndOfSliceSegment) {
    const HevcPps* pps = dec->pPps;
    const int ts = pps->CtbAddrRsToTs[rs];
    const int next = ts + 1;
    if (next < dec->stPic.PicSizeInCtbsY) {
      bool tile = pps->tiles_enabled_flag && pps->TileId[next] != pps->TileId[ts];
      bool row = pps->entropy_coding_sync_enabled_flag && (pps->CtbAddrTsToRs[next] % W) == 0;
      if (tile || row) HevcCabacDecodeTerminate(p.c);  // end_of_subset_one_bit
    }
  }
  return 0;
}

void HevcReconstructCtu(HevcDecoder* dec, HevcCtu* ctu) {
  int lumaOffset = 0, tuIdx = 0;
  for (int i = 0; i < ctu->iNumCu; ++i) {
    const HevcCu& cu = ctu->astCu[i];
    if (cu.iPredMode == 1)
      HevcReconstructIntraCu(dec, ctu, i, lumaOffset, tuIdx);
    else
      HevcReconstructInterCu(dec, ctu, i, lumaOffset, tuIdx);
    lumaOffset += 1 << (2 * cu.ucLog2CbSize);
    tuIdx += cu.iNumTu;
  }
  // keep the CTU's last unfiltered rows for the intra prediction of the row below
  const HevcPictureInfo& g = dec->stPic;
  const HevcPicture* pic = dec->pCurPic;
  for (int c = 0; c < 3; ++c) {
    const int sh = c ? 1 : 0;
    const int stride = c ? g.iStrideC : g.iStride;
    const int x = ctu->iPixX >> sh;
    int w = ctu->iCtbSize >> sh;
    const int planeW = c ? g.iWidthC : g.iWidth;
    if (x + w > planeW) w = planeW - x;
    const int lastRow = (ctu->iCtbEndY >> sh) - 1;
    uint8_t* line = dec->apIntraLine[c] + static_cast<size_t>(ctu->iCtbY) * dec->aiIntraLineStride[c];
    if (ctu->iCtbY > 0) {
      const uint8_t* above = line - dec->aiIntraLineStride[c];
      line[0] = above[x + (ctu->iCtbSize >> sh)];
    }
    std::memcpy(line + x + 1, pic->apucPlane[c] + static_cast<ptrdiff_t>(lastRow) * stride + x, w);
  }
}

}  // namespace hevc
