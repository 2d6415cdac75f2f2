// residual_coding(): CABAC bins to the coefficient levels of one transform block.
#include <algorithm>
#include <cstring>

#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/hevc_tables.h"

namespace hevc {
namespace {

constexpr int kCtxTransformSkip = 46, kCtxLastX = 48, kCtxLastY = 66, kCtxCsbf = 84, kCtxSig = 88;
constexpr int kCtxGt1 = 130, kCtxGt2 = 154;

// coeff_abs_level_remaining, in 64 bits: the prefix stops after 32 one-bins,
// so no stream can push the value (or the shifts that build it) past 64 bits.
int64_t DecodeRemaining(HevcCabac* c, int rice) {
  int prefix = 0;
  while (prefix < 32 && HevcCabacDecodeBypass(c)) ++prefix;
  if (prefix <= 3) return (static_cast<int64_t>(prefix) << rice) + HevcCabacDecodeBypassBits(c, rice);
  const int len = prefix - 3 + rice;
  uint64_t suffix = 0;
  for (int i = 0; i < len; ++i) suffix = (suffix << 1) | static_cast<uint64_t>(HevcCabacDecodeBypass(c));
  return static_cast<int64_t>((((1ull << (prefix - 3)) + 2) << rice) + suffix);
}

}  // namespace

int32_t HevcResidualCoding(HevcDecoder* dec, HevcTu* tu, int log2, int bypass, int cIdx, int16_t* coeff, int scanIdx) {
  HevcCabac* c = dec->pCabac;
  uint8_t* ctx = c->aucCtxState;
  const HevcPps* pps = dec->pPps;
  const int n = 1 << log2;
  tu->aucTransformSkip[cIdx] = 0;
  if (pps->transform_skip_enabled_flag && !bypass && log2 == 2)
    tu->aucTransformSkip[cIdx] = static_cast<uint8_t>(HevcCabacDecodeBin(c, &ctx[kCtxTransformSkip + (cIdx ? 1 : 0)]));
  // last significant position
  int ctxOffset, ctxShift;
  if (cIdx == 0) {
    ctxOffset = 3 * (log2 - 2) + ((log2 - 1) >> 2);
    ctxShift = (log2 + 1) >> 2;
  } else {
    ctxOffset = 15;
    ctxShift = log2 - 2;
  }
  const int cMax = 2 * log2 - 1;
  int px = 0, py = 0;
  while (px < cMax && HevcCabacDecodeBin(c, &ctx[kCtxLastX + ctxOffset + (px >> ctxShift)])) ++px;
  while (py < cMax && HevcCabacDecodeBin(c, &ctx[kCtxLastY + ctxOffset + (py >> ctxShift)])) ++py;
  int lastX = px, lastY = py;
  if (px > 3) lastX = (1 << ((px >> 1) - 1)) * (2 + (px & 1)) + static_cast<int>(HevcCabacDecodeBypassBits(c, (px >> 1) - 1));
  if (py > 3) lastY = (1 << ((py >> 1) - 1)) * (2 + (py & 1)) + static_cast<int>(HevcCabacDecodeBypassBits(c, (py >> 1) - 1));
  if (scanIdx == 2) std::swap(lastX, lastY);

  const uint8_t* scan4 = scanIdx == 0 ? kHevcScan4x4Diag : scanIdx == 1 ? kHevcScan4x4Hor : kHevcScan4x4Ver;
  const int log2Sb = log2 - 2;  // sub-blocks per side, log2
  const uint8_t* scanSb;
  if (log2Sb == 0) {
    static const uint8_t kOne[1] = {0};
    scanSb = kOne;
  } else if (log2Sb == 1) {
    scanSb = scanIdx == 0 ? kHevcScan2x2Diag : scanIdx == 1 ? kHevcScan2x2Hor : kHevcScan2x2Ver;
  } else if (log2Sb == 2) {
    scanSb = kHevcScan4x4Diag;
  } else {
    scanSb = kHevcScan8x8Diag;
  }
  const int sbPerSide = 1 << log2Sb;
  const int numSb = sbPerSide * sbPerSide;
  // locate the last sub-block and position in scan order
  int lastSb = numSb - 1, lastPos = 15;
  {
    const int sbx = lastX >> 2, sby = lastY >> 2, pos = (lastX & 3) + 4 * (lastY & 3);
    for (lastSb = numSb - 1; lastSb > 0; --lastSb)
      if (scanSb[lastSb] == sbx + sbPerSide * sby) break;
    for (lastPos = 15; lastPos > 0; --lastPos)
      if (scan4[lastPos] == pos) break;
  }
  std::memset(coeff, 0, sizeof(int16_t) * n * n);
  uint8_t csbf[8][8];
  std::memset(csbf, 0, sizeof csbf);
  int maxIdx = 0, maxCol = 0;
  int greater1Ctx = 1;
  bool firstSbWithLevels = true;
  const bool signHidingEnabled = pps->sign_data_hiding_enabled_flag && !bypass;
  for (int i = lastSb; i >= 0; --i) {
    const int xS = scanSb[i] & (sbPerSide - 1), yS = scanSb[i] >> log2Sb;
    int inferDc = 0;
    if (i < lastSb && i > 0) {
      int right = xS + 1 < sbPerSide ? csbf[xS + 1][yS] : 0;
      int below = yS + 1 < sbPerSide ? csbf[xS][yS + 1] : 0;
      int inc = (right | below) ? 1 : 0;
      csbf[xS][yS] = static_cast<uint8_t>(HevcCabacDecodeBin(c, &ctx[kCtxCsbf + inc + (cIdx ? 2 : 0)]));
      inferDc = 1;
    } else {
      csbf[xS][yS] = 1;
    }
    int sigPos[16], numSig = 0;
    int start = 15;
    if (i == lastSb) {
      start = lastPos - 1;
      sigPos[numSig++] = lastPos;
    }
    if (csbf[xS][yS]) {
      const int right = xS + 1 < sbPerSide ? csbf[xS + 1][yS] : 0;
      const int below = yS + 1 < sbPerSide ? csbf[xS][yS + 1] : 0;
      const int prevCsbf = right + 2 * below;
      for (int p = start; p >= 0; --p) {
        const int xP = scan4[p] & 3, yP = scan4[p] >> 2;
        const int xC = (xS << 2) + xP, yC = (yS << 2) + yP;
        if (p == 0 && inferDc) {
          sigPos[numSig++] = 0;
          break;
        }
        int sigCtx;
        if (log2 == 2) {
          sigCtx = kHevcCtxIdxMap4x4[(yC << 2) + xC];
        } else if (xC + yC == 0) {
          sigCtx = 0;
        } else {
          switch (prevCsbf) {
            case 0: sigCtx = (xP + yP == 0) ? 2 : (xP + yP < 3) ? 1 : 0; break;
            case 1: sigCtx = yP == 0 ? 2 : yP == 1 ? 1 : 0; break;
            case 2: sigCtx = xP == 0 ? 2 : xP == 1 ? 1 : 0; break;
            default: sigCtx = 2; break;
          }
          if (cIdx == 0) {
            if (xS > 0 || yS > 0) sigCtx += 3;
            sigCtx += log2 == 3 ? (scanIdx == 0 ? 9 : 15) : 21;
          } else {
            sigCtx += log2 == 3 ? 9 : 12;
          }
        }
        if (HevcCabacDecodeBin(c, &ctx[kCtxSig + (cIdx ? 27 : 0) + sigCtx])) {
          sigPos[numSig++] = p;
          inferDc = 0;
        }
      }
    }
    if (!numSig) continue;
    int ctxSet = (i == 0 || cIdx > 0) ? 0 : 2;
    if (!firstSbWithLevels && greater1Ctx == 0) ++ctxSet;
    firstSbWithLevels = false;
    greater1Ctx = 1;
    int gt1[16] = {}, gt2[16] = {};
    int firstGt1 = -1;
    const int numGt1 = numSig < 8 ? numSig : 8;
    for (int k = 0; k < numGt1; ++k) {
      const int inc = ctxSet * 4 + (greater1Ctx < 3 ? greater1Ctx : 3) + (cIdx ? 16 : 0);
      gt1[k] = HevcCabacDecodeBin(c, &ctx[kCtxGt1 + inc]);
      if (gt1[k]) {
        greater1Ctx = 0;
        if (firstGt1 < 0) firstGt1 = k;
      } else if (greater1Ctx > 0 && greater1Ctx < 3) {
        ++greater1Ctx;
      }
    }
    if (firstGt1 >= 0) gt2[firstGt1] = HevcCabacDecodeBin(c, &ctx[kCtxGt2 + ctxSet + (cIdx ? 4 : 0)]);
    const bool signHidden = signHidingEnabled && sigPos[0] - sigPos[numSig - 1] > 3;
    const int numSigns = signHidden ? numSig - 1 : numSig;
    uint32_t signs = HevcCabacDecodeBypassBits(c, numSigns) << (32 - numSigns);
    if (numSigns == 0) signs = 0;
    int rice = 0;
    int64_t sum = 0;
    for (int k = 0; k < numSig; ++k) {
      const int base = k < 8 ? 1 + gt1[k] + gt2[k] : 1;
      int64_t level = base;
      if (base == (k < 8 ? (k == firstGt1 ? 3 : 2) : 1)) {
        level += DecodeRemaining(c, rice);
        if (level > 3 * (1 << rice) && rice < 4) ++rice;
      }
      sum += level;
      int64_t v = level;
      if (k < numSigns) {
        if (signs & 0x80000000u) v = -v;
        signs <<= 1;
      } else if (sum & 1) {
        v = -v;
      }
      if (v < -32768 || v > 32767) {
        HEVC_ERR(dec, "IH265D_Decode : the value of trans_coeff_level is %d, it should be in the range of -32768~32767!\n",
                 static_cast<int>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v));
        return IH265D_ERR_SLICEDATA;
      }
      int xC = (xS << 2) + (scan4[sigPos[k]] & 3), yC = (yS << 2) + (scan4[sigPos[k]] >> 2);
      coeff[xC + yC * n] = static_cast<int16_t>(v);
      if (xC + yC * n > maxIdx) maxIdx = xC + yC * n;
      if (xC > maxCol) maxCol = xC;
    }
  }
  tu->aiNumCoeffPos[cIdx] = maxIdx + 1;
  tu->aiNumCols[cIdx] = (maxCol + 4) & ~3;
  return 0;
}

}  // namespace hevc
