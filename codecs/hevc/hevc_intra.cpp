// Intra prediction kernels, reference sample gathering with z-scan
// availability, PCM copy, and the reconstruction of intra coding units.
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/hevc_intra_edge.h"
#include "codecs/hevc/hevc_tables.h"

namespace hevc {
namespace {

template <int kN>
void PredPlanar(const uint8_t* top, const uint8_t* left, int stride, uint8_t* dst) {
  constexpr int log2 = kN == 4 ? 2 : kN == 8 ? 3 : kN == 16 ? 4 : 5;
  for (int y = 0; y < kN; ++y)
    for (int x = 0; x < kN; ++x)
      dst[y * stride + x] = static_cast<uint8_t>(((kN - 1 - x) * left[y] + (x + 1) * top[kN] + (kN - 1 - y) * top[x] +
                                                  (y + 1) * left[kN] + kN) >> (log2 + 1));
}

template <int kN>
void PredDc(int comp, uint8_t* top, uint8_t* left, int stride, uint8_t* dst) {
  constexpr int log2 = kN == 4 ? 2 : kN == 8 ? 3 : kN == 16 ? 4 : 5;
  int sum = kN;
  for (int i = 0; i < kN; ++i) sum += top[i] + left[i];
  const int dc = sum >> (log2 + 1);
  for (int y = 0; y < kN; ++y) std::memset(dst + y * stride, dc, kN);
  if (comp == 0 && kN < 32) {
    dst[0] = static_cast<uint8_t>((left[0] + 2 * dc + top[0] + 2) >> 2);
    for (int x = 1; x < kN; ++x) dst[x] = static_cast<uint8_t>((top[x] + 3 * dc + 2) >> 2);
    for (int y = 1; y < kN; ++y) dst[y * stride] = static_cast<uint8_t>((left[y] + 3 * dc + 2) >> 2);
  }
}

// The general angular predictor (H.265 8.4.4.2.6); the special-mode slots use it too.
template <int kN>
void Angular(int comp, int mode, const uint8_t* top, const uint8_t* left, int stride, uint8_t* dst) {
  const int angle = kHevcIntraPredAngle[mode - 2];
  uint8_t refBuf[3 * kN + 2];
  uint8_t* ref = refBuf + kN;
  const uint8_t* main = mode >= 18 ? top : left;
  const uint8_t* side = mode >= 18 ? left : top;
  for (int x = 0; x <= 2 * kN; ++x) ref[x] = main[x - 1];
  const int last = (kN * angle) >> 5;
  // Negative angles are those of modes 11..25, the inverse-angle table's range.
  if (angle < 0 && last < -1 && mode >= 11 && mode <= 25) {
    const int inv = kHevcInvAngle[mode - 11];
    for (int x = last; x <= -1; ++x) ref[x] = side[-1 + ((x * inv + 128) >> 8)];
  }
  for (int j = 0; j < kN; ++j) {
    const int idx = ((j + 1) * angle) >> 5, fact = ((j + 1) * angle) & 31;
    for (int i = 0; i < kN; ++i) {
      int v = fact ? ((32 - fact) * ref[i + idx + 1] + fact * ref[i + idx + 2] + 16) >> 5 : ref[i + idx + 1];
      if (mode >= 18)
        dst[j * stride + i] = static_cast<uint8_t>(v);
      else
        dst[i * stride + j] = static_cast<uint8_t>(v);
    }
  }
  AngularEdgeFilter<kN>(comp, mode, top, left, stride, dst);
}

template <int kN>
void PredAngular(int comp, int mode, const uint8_t* top, const uint8_t* left, int stride, uint8_t* dst) {
  Angular<kN>(comp, mode, top, left, stride, dst);
}
// The kernels of modes 2, 10, 18, 26 and 34 (their own slots).
template <int kN, int kMode>
void PredFixed(int comp, uint8_t* top, uint8_t* left, int stride, uint8_t* dst) {
  Angular<kN>(comp, kMode, top, left, stride, dst);
}
template <int kN>
void PredVertical(int comp, uint8_t* top, uint8_t* left, int stride, uint8_t* dst) {
  PredFixed<kN, 26>(comp, top, left, stride, dst);
}
template <int kN>
void PredHorizontal(int comp, uint8_t* top, uint8_t* left, int stride, uint8_t* dst) {
  PredFixed<kN, 10>(comp, top, left, stride, dst);
}
template <int kN>
void PredMode34(int comp, uint8_t* top, uint8_t* left, int stride, uint8_t* dst) {
  PredFixed<kN, 34>(comp, top, left, stride, dst);
}
template <int kN>
void PredMode2(int comp, uint8_t* top, uint8_t* left, int stride, uint8_t* dst) {
  PredFixed<kN, 2>(comp, top, left, stride, dst);
}
template <int kN>
void PredMode18(int comp, uint8_t* top, uint8_t* left, int stride, uint8_t* dst) {
  PredFixed<kN, 18>(comp, top, left, stride, dst);
}

// [1 2 1] smoothing or, for 32x32 with the flag, the strong bilinear one.
template <int kN>
void SmoothRefs(int strong, int mode, uint8_t* left, uint8_t* top) {
  const int corner = top[-1];
  if (kN == 32 && strong && std::abs(corner + top[63] - 2 * top[31]) < 8 &&
      std::abs(corner + left[63] - 2 * left[31]) < 8) {
    const int t63 = top[63], l63 = left[63];
    for (int i = 0; i < 63; ++i) {
      top[i] = static_cast<uint8_t>(((63 - i) * corner + (i + 1) * t63 + 32) >> 6);
      left[i] = static_cast<uint8_t>(((63 - i) * corner + (i + 1) * l63 + 32) >> 6);
    }
    return;
  }
  uint8_t t[2 * kN], l[2 * kN];
  std::memcpy(t, top, 2 * kN);
  std::memcpy(l, left, 2 * kN);
  const uint8_t c = static_cast<uint8_t>((l[0] + 2 * corner + t[0] + 2) >> 2);
  top[0] = static_cast<uint8_t>((corner + 2 * t[0] + t[1] + 2) >> 2);
  left[0] = static_cast<uint8_t>((corner + 2 * l[0] + l[1] + 2) >> 2);
  for (int i = 1; i < 2 * kN - 1; ++i) {
    top[i] = static_cast<uint8_t>((t[i - 1] + 2 * t[i] + t[i + 1] + 2) >> 2);
    left[i] = static_cast<uint8_t>((l[i - 1] + 2 * l[i] + l[i + 1] + 2) >> 2);
  }
  top[-1] = left[-1] = c;
  (void)mode;
}

template <int kN>
void CopyPcm(int stride, const int16_t* samples, uint8_t* dst) {
  for (int y = 0; y < kN; ++y)
    for (int x = 0; x < kN; ++x) dst[y * stride + x] = static_cast<uint8_t>(samples[y * kN + x] & 0xFF);
}

// Morton order of a position inside its CTB, in minimum transform blocks
// (at most 16 per side: each coordinate's four bits spread to every other bit).
constexpr uint8_t kSpread[16] = {0, 1, 4, 5, 16, 17, 20, 21, 64, 65, 68, 69, 80, 81, 84, 85};
inline int ZInCtb(int x, int y, int ctbLog2, int minTbLog2) {
  const int mask = (1 << ctbLog2) - 1;
  return kSpread[(x & mask) >> minTbLog2] | (kSpread[(y & mask) >> minTbLog2] << 1);
}

bool Smoothing(int mode, int log2, int strongFlag) {
  if (mode == 1 || log2 == 2) return false;
  int dist = std::min(std::abs(mode - 26), std::abs(mode - 10));
  return dist > kHevcIntraHorVerDistThres[log2 - 3];
}

// Reference samples of one component block (H.265 8.4.4.2.2): availability per
// 4-luma-sample unit, the row above a CTB from the unfiltered line buffer, then
// substitution of what is not available.
void GatherRefs(HevcDecoder* dec, const HevcCtu* ctu, int xL, int yL, int cIdx, int n, uint8_t* top, uint8_t* left) {
  const int sh = cIdx ? 1 : 0;
  const HevcPictureInfo& g = dec->stPic;
  const int stride = cIdx ? g.iStrideC : g.iStride;
  const uint8_t* plane = dec->pCurPic->apucPlane[cIdx];
  const int xC = xL >> sh, yC = yL >> sh;
  const int unit = cIdx ? 2 : 4;
  const bool cip = dec->pPps->constrained_intra_pred_flag != 0;
  const bool ctbTop = (yL & (ctu->iCtbSize - 1)) == 0;
  const uint8_t* lineAbove =
      ctbTop && ctu->iCtbY > 0
          ? dec->apIntraLine[cIdx] + static_cast<size_t>(ctu->iCtbY - 1) * dec->aiIntraLineStride[cIdx] + 1
          : nullptr;
  // inside the CTB, the samples just left of the block and just above it
  // precede it in z-scan: no lookup needed for them
  const int ctbMask = ctu->iCtbSize - 1, nL = n << sh;
  const bool leftInCtb = (xL & ctbMask) != 0, topInCtb = (yL & ctbMask) != 0;
  // Outside this CTB the answer is the same for every position of a
  // neighbouring CTB inside the picture: asked once per CTB, for the 3x3
  // around this one. Inside it, the z-order of the positions decides.
  const int ctbLog2 = dec->pSps->CtbLog2SizeY, minTb = dec->pSps->log2_min_luma_transform_block_size;
  const int ctbX = xL >> ctbLog2, ctbY = yL >> ctbLog2;
  const int zCur = ZInCtb(xL, yL, ctbLog2, minTb);
  int8_t ctbAvail[9] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
  auto avail = [&](int xN, int yN) {
    const bool beside = (xN == xL - 1 && leftInCtb && yN >= yL && yN < yL + nL) ||
                        (yN == yL - 1 && topInCtb && xN >= xL && xN < xL + nL);
    if (!beside) {
      if (xN < 0 || yN < 0 || xN >= g.iWidth || yN >= g.iHeight) return false;
      const int dx = (xN >> ctbLog2) - ctbX, dy = (yN >> ctbLog2) - ctbY;
      if (dx == 0 && dy == 0) {
        if (ZInCtb(xN, yN, ctbLog2, minTb) > zCur) return false;
      } else {
        int8_t& known = ctbAvail[(dy + 1) * 3 + dx + 1];
        if (known < 0) known = static_cast<int8_t>(HevcZscanAvailable(dec, xL, yL, xN, yN) != 0);
        if (!known) return false;
      }
    }
    if (cip && dec->pPredModeMap[static_cast<size_t>(yN >> 2) * dec->iMap4Stride + (xN >> 2)] == 0xFF) return false;
    return true;
  };
  auto above = [&](int x) -> uint8_t {
    return lineAbove ? lineAbove[x] : plane[static_cast<ptrdiff_t>(yC - 1) * stride + x];
  };
  // Availability per unit; the samples of available units are read, then
  // the others are substituted in linear order (left bottom-up, corner, top
  // left-to-right) from the nearest available sample before them, or after
  // them for those before the first available one.
  const int units = 2 * n / unit;
  bool okLeft[32], okTop[32];
  int numOk = 0;
  for (int j = 0; j < units; ++j) {
    okLeft[j] = avail(xL - 1, (yC + j * unit) << sh);
    if (okLeft[j]) {
      const uint8_t* src = plane + static_cast<ptrdiff_t>(yC + j * unit) * stride + xC - 1;
      for (int i = 0; i < unit; ++i) left[j * unit + i] = src[static_cast<ptrdiff_t>(i) * stride];
      ++numOk;
    }
  }
  const bool okCorner = avail(xL - 1, yL - 1);
  if (okCorner) {
    left[-1] = above(xC - 1);
    ++numOk;
  }
  for (int j = 0; j < units; ++j) {
    okTop[j] = avail((xC + j * unit) << sh, yL - 1);
    if (okTop[j]) {
      if (lineAbove)
        std::memcpy(top + j * unit, lineAbove + xC + j * unit, unit);
      else
        std::memcpy(top + j * unit, plane + static_cast<ptrdiff_t>(yC - 1) * stride + xC + j * unit, unit);
      ++numOk;
    }
  }
  if (numOk == 2 * units + 1) {
    top[-1] = left[-1];
    return;
  }
  if (numOk == 0) {
    std::memset(left - 1, 128, 2 * n + 1);
    std::memset(top - 1, 128, 2 * n + 1);
    return;
  }
  // the value carried along the linear order; before the first available
  // sample it is that sample
  int prev = -1;
  for (int j = units - 1; j >= 0 && prev < 0; --j)
    if (okLeft[j]) prev = left[j * unit + unit - 1];
  if (prev < 0 && okCorner) prev = left[-1];
  for (int j = 0; j < units && prev < 0; ++j)
    if (okTop[j]) prev = top[j * unit];
  for (int j = units - 1; j >= 0; --j) {
    if (okLeft[j])
      prev = left[j * unit];
    else
      std::memset(left + j * unit, prev, unit);
  }
  if (okCorner)
    prev = left[-1];
  else
    left[-1] = static_cast<uint8_t>(prev);
  top[-1] = left[-1];
  for (int j = 0; j < units; ++j) {
    if (okTop[j])
      prev = top[j * unit + unit - 1];
    else
      std::memset(top + j * unit, prev, unit);
  }
}

void PredictBlock(HevcDecoder* dec, const HevcCtu* ctu, int xL, int yL, int log2, int cIdx, int mode) {
  const int n = 1 << log2;
  uint8_t topBuf[64 + 1 + 40], leftBuf[64 + 1 + 40];
  uint8_t* top = topBuf + 40;
  uint8_t* left = leftBuf + 40;
  GatherRefs(dec, ctu, xL, yL, cIdx, n, top, left);
  const int strong = dec->pSps->strong_intra_smoothing_enabled_flag;
  if (cIdx == 0 && Smoothing(mode, log2, strong))
    Kernel<SmoothFn>(dec->stDsp, kSlotSmooth + log2)(strong, mode, left, top);
  const HevcPictureInfo& g = dec->stPic;
  const int sh = cIdx ? 1 : 0;
  const int stride = cIdx ? g.iStrideC : g.iStride;
  uint8_t* dst = dec->pCurPic->apucPlane[cIdx] + static_cast<ptrdiff_t>(yL >> sh) * stride + (xL >> sh);
  const int s = log2 - 2;
  const HevcDspTable& t = dec->stDsp;
  switch (mode) {
    case 0: Kernel<PredPlanarFn>(t, kSlotPlanar + s)(top, left, stride, dst); break;
    case 1: Kernel<PredModeFn>(t, kSlotDc + s)(cIdx, top, left, stride, dst); break;
    case 2: Kernel<PredModeFn>(t, kSlotMode2 + s)(cIdx, top, left, stride, dst); break;
    case 10: Kernel<PredModeFn>(t, kSlotHorizontal + s)(cIdx, top, left, stride, dst); break;
    case 18: Kernel<PredModeFn>(t, kSlotMode18 + s)(cIdx, top, left, stride, dst); break;
    case 26: Kernel<PredModeFn>(t, kSlotVertical + s)(cIdx, top, left, stride, dst); break;
    case 34: Kernel<PredModeFn>(t, kSlotMode34 + s)(cIdx, top, left, stride, dst); break;
    default: Kernel<PredAngularFn>(t, kSlotAngular + s)(cIdx, mode, top, left, stride, dst); break;
  }
}

}  // namespace

int HevcZscanAvailable(const HevcDecoder* dec, int xCurr, int yCurr, int xNb, int yNb) {
  const HevcPictureInfo& g = dec->stPic;
  if (xNb < 0 || yNb < 0 || xNb >= g.iWidth || yNb >= g.iHeight) return 0;
  const HevcSps* sps = dec->pSps;
  const HevcPps* pps = dec->pPps;
  const int ctbLog2 = sps->CtbLog2SizeY, minTb = sps->log2_min_luma_transform_block_size;
  const int rsN = (yNb >> ctbLog2) * g.PicWidthInCtbsY + (xNb >> ctbLog2);
  const int rsC = (yCurr >> ctbLog2) * g.PicWidthInCtbsY + (xCurr >> ctbLog2);
  const int tsN = pps->CtbAddrRsToTs[rsN], tsC = pps->CtbAddrRsToTs[rsC];
  if (tsN > tsC) return 0;
  if (tsN == tsC) return ZInCtb(xNb, yNb, ctbLog2, minTb) <= ZInCtb(xCurr, yCurr, ctbLog2, minTb);
  if (dec->pCtbSliceAddrMap[rsN] != dec->SliceAddrRs) return 0;
  if (pps->TileId[tsN] != pps->TileId[tsC]) return 0;
  return 1;
}

void HevcResidualBlock(HevcDecoder* dec, const HevcCu& cu, const HevcTu& tu, int cIdx, int log2,
                       int16_t* coeff, int xL, int yL) {
  HevcResidualParams p{};
  p.ucTransquantBypass = cu.ucTransquantBypass;
  p.ucTransformSkip = tu.aucTransformSkip[cIdx];
  p.iPredMode = cu.iPredMode;
  p.iCIdx = cIdx == 0 ? 0 : cIdx + 1;
  p.iQp = cIdx == 0 ? cu.cQpY : cIdx == 1 ? cu.cQpCb : cu.cQpCr;
  p.iLog2TrafoSize = log2;
  p.iMatrixId = (cu.iPredMode == 1 ? 0 : 3) + cIdx;
  p.iNumCoeffPos = tu.aiNumCoeffPos[cIdx];
  p.iNumCols = tu.aiNumCols[cIdx];
  const HevcPictureInfo& g = dec->stPic;
  const int sh = cIdx ? 1 : 0;
  const int stride = cIdx ? g.iStrideC : g.iStride;
  uint8_t* dst = dec->pCurPic->apucPlane[cIdx] + static_cast<ptrdiff_t>(yL >> sh) * stride + (xL >> sh);
  HevcReconstructResidual(dec, &p, stride, coeff, dst);
}

void HevcMarkCoded(HevcDecoder* dec, int x, int y, int n) {
  for (int yy = y; yy < y + n; yy += 4)
    std::memset(dec->pCodedMap + static_cast<size_t>(yy >> 2) * dec->iMap4Stride + (x >> 2), 1, n >> 2);
}

void HevcSetIntraKernels(HevcDspTable* t) {
#define SET4(base, fn)                                         \
  t->slot[base + 0] = reinterpret_cast<HevcKernel>(&fn<4>);   \
  t->slot[base + 1] = reinterpret_cast<HevcKernel>(&fn<8>);   \
  t->slot[base + 2] = reinterpret_cast<HevcKernel>(&fn<16>);  \
  t->slot[base + 3] = reinterpret_cast<HevcKernel>(&fn<32>)
  SET4(kSlotPlanar, PredPlanar);
  SET4(kSlotAngular, PredAngular);
  SET4(kSlotDc, PredDc);
  SET4(kSlotVertical, PredVertical);
  SET4(kSlotHorizontal, PredHorizontal);
  SET4(kSlotMode34, PredMode34);
  SET4(kSlotMode2, PredMode2);
  SET4(kSlotMode18, PredMode18);
  SET4(kSlotCopyPcm, CopyPcm);
#undef SET4
  t->slot[kSlotSmooth + 3] = reinterpret_cast<HevcKernel>(&SmoothRefs<8>);
  t->slot[kSlotSmooth + 4] = reinterpret_cast<HevcKernel>(&SmoothRefs<16>);
  t->slot[kSlotSmooth + 5] = reinterpret_cast<HevcKernel>(&SmoothRefs<32>);
}

void HevcReconstructIntraCu(HevcDecoder* dec, HevcCtu* ctu, int cuIdx, int lumaOffset, int tuIdx) {
  const HevcCu& cu = ctu->astCu[cuIdx];
  const HevcPictureInfo& g = dec->stPic;
  HevcPicture* pic = dec->pCurPic;
  if (cu.ucPcmFlag) {
    const int log2 = cu.ucLog2CbSize;
    Kernel<CopyPcmFn>(dec->stDsp, kSlotCopyPcm + log2 - 2)(
        g.iStride, ctu->asCoeff + lumaOffset, pic->apucPlane[0] + static_cast<ptrdiff_t>(cu.iY) * g.iStride + cu.iX);
    for (int c = 1; c < 3; ++c)
      Kernel<CopyPcmFn>(dec->stDsp, kSlotCopyPcm + log2 - 3)(
          g.iStrideC, ctu->asCoeff + 4096 + 1024 * (c - 1) + lumaOffset / 4,
          pic->apucPlane[c] + static_cast<ptrdiff_t>(cu.iY / 2) * g.iStrideC + cu.iX / 2);
    return;
  }
  int chromaOffset = lumaOffset / 4;
  const int half = 1 << (cu.ucLog2CbSize - 1);
  for (int i = 0; i < cu.iNumTu; ++i) {
    const HevcTu& tu = ctu->astTu[tuIdx + i];
    int part = 0;
    if (cu.iPartMode == 3) part = ((tu.iX - cu.iX) >= half ? 1 : 0) + ((tu.iY - cu.iY) >= half ? 2 : 0);
    const int modeY = cu.aiIntraPredModeY[part];
    const int log2 = tu.ucLog2TrafoSize;
    const int n = 1 << log2;
    PredictBlock(dec, ctu, tu.iX, tu.iY, log2, 0, modeY);
    if (tu.ucCbfLuma) {
      HevcMarkCoded(dec, tu.iX, tu.iY, n);
      HevcResidualBlock(dec, cu, tu, 0, log2, ctu->asCoeff + lumaOffset, tu.iX, tu.iY);
    }
    lumaOffset += n * n;
    if (log2 > 2) {
      for (int c = 1; c < 3; ++c) {
        PredictBlock(dec, ctu, tu.iX, tu.iY, log2 - 1, c, cu.iIntraPredModeC);
        if (c == 1 ? tu.ucCbfCb : tu.ucCbfCr)
          HevcResidualBlock(dec, cu, tu, c, log2 - 1, ctu->asCoeff + 4096 + 1024 * (c - 1) + chromaOffset,
                            tu.iX, tu.iY);
      }
      chromaOffset += (n / 2) * (n / 2);
    } else if (tu.ucBlkIdx == 3 && i >= 3) {
      const HevcTu& first = ctu->astTu[tuIdx + i - 3];
      for (int c = 1; c < 3; ++c) {
        PredictBlock(dec, ctu, first.iX, first.iY, 2, c, cu.iIntraPredModeC);
        if (c == 1 ? first.ucCbfCb : first.ucCbfCr)
          HevcResidualBlock(dec, cu, first, c, 2, ctu->asCoeff + 4096 + 1024 * (c - 1) + chromaOffset,
                            first.iX, first.iY);
      }
      chromaOffset += 16;
    }
  }
}

}  // namespace hevc
