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
// n bypass bins, first bin most significant. Bin by bin they are the digits
// of a long division of the offset by the range: from four bins on, one
// division gives them all.
inline uint32_t BypassBits(HevcCabacEngine* e, int n) {
  if (n < 4 || n > 16) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | static_cast<uint32_t>(HevcCabacEngineBypass(e));
    return v;
  }
  if (e->iBits < n) HevcCabacRefill(e);
  e->iBits -= n;
  const uint64_t scaled = static_cast<uint64_t>(e->uiRange) << e->iBits;
  const uint64_t q = e->ulValue / scaled;
  e->ulValue -= q * scaled;
  return static_cast<uint32_t>(q);
}

int64_t DecodeRemaining(HevcCabacEngine* e, int rice) {
  int prefix = 0;
  while (prefix < 32 && HevcCabacEngineBypass(e)) ++prefix;
  if (prefix <= 3) return (static_cast<int64_t>(prefix) << rice) + BypassBits(e, rice);
  const int len = prefix - 3 + rice;
  uint64_t suffix = 0;
  for (int i = 0; i < len; ++i) suffix = (suffix << 1) | static_cast<uint64_t>(HevcCabacEngineBypass(e));
  return static_cast<int64_t>((((1ull << (prefix - 3)) + 2) << rice) + suffix);
}

// Tables derived once from the scan orders: for every scan (diagonal,
// horizontal, vertical) the scan index of each position, the raster offset of
// each scan position inside a block of each size, and the significance
// context base of each scan position for the four coded-neighbour patterns
// (larger blocks) or for 4x4 blocks.
struct ScanTables {
  uint8_t invPos[3][16];     // position x + 4y -> scan index in a sub-block
  uint8_t invSb[3][4][64];   // [scan][log2 - 2][sub-block x + S y] -> sub-block index
  uint8_t offset[3][4][16];  // [scan][log2 - 2][scan index] -> x + y n inside a sub-block
  uint8_t sigBase[3][4][16];  // [scan][prevCsbf][scan index]
  uint8_t sig4x4[3][16];      // [scan][scan index]
  ScanTables() {
    const uint8_t* s4[3] = {kHevcScan4x4Diag, kHevcScan4x4Hor, kHevcScan4x4Ver};
    for (int t = 0; t < 3; ++t) {
      for (int p = 0; p < 16; ++p) {
        const int pos = s4[t][p], x = pos & 3, y = pos >> 2;
        invPos[t][pos] = static_cast<uint8_t>(p);
        for (int l = 0; l < 4; ++l) offset[t][l][p] = static_cast<uint8_t>(x + (y << (l + 2)));
        sigBase[t][0][p] = static_cast<uint8_t>(x + y == 0 ? 2 : x + y < 3 ? 1 : 0);
        sigBase[t][1][p] = static_cast<uint8_t>(y == 0 ? 2 : y == 1 ? 1 : 0);
        sigBase[t][2][p] = static_cast<uint8_t>(x == 0 ? 2 : x == 1 ? 1 : 0);
        sigBase[t][3][p] = 2;
        sig4x4[t][p] = kHevcCtxIdxMap4x4[pos];
      }
      for (int l = 0; l < 4; ++l) {
        const uint8_t* order = SubBlockOrder(t, l);
        for (int i = 0; i < (1 << (2 * l)); ++i) invSb[t][l][order[i]] = static_cast<uint8_t>(i);
      }
    }
  }
  static const uint8_t* SubBlockOrder(int scanIdx, int log2Sb) {
    static const uint8_t kOne[1] = {0};
    if (log2Sb == 0) return kOne;
    if (log2Sb == 1) return scanIdx == 0 ? kHevcScan2x2Diag : scanIdx == 1 ? kHevcScan2x2Hor : kHevcScan2x2Ver;
    return log2Sb == 2 ? kHevcScan4x4Diag : kHevcScan8x8Diag;
  }
};

const ScanTables& Tables() {
  static const ScanTables t;
  return t;
}

}  // namespace

int32_t HevcResidualCoding(HevcDecoder* dec, HevcTu* tu, int log2, int bypass, int cIdx, int16_t* coeff, int scanIdx) {
  HevcCabac* cabac = dec->pCabac;
  uint8_t* ctx = cabac->aucCtxState;
  // the engine in a local, so that it stays in registers across the
  // context-state stores; written back on every return
  HevcCabacEngine engine = cabac->stEngine;
  HevcCabacEngine* const c = &engine;
  const HevcPps* pps = dec->pPps;
  const ScanTables& T = Tables();
  tu->aucTransformSkip[cIdx] = 0;
  if (pps->transform_skip_enabled_flag && !bypass && log2 == 2)
    tu->aucTransformSkip[cIdx] = static_cast<uint8_t>(HevcCabacEngineBin(c, &ctx[kCtxTransformSkip + (cIdx ? 1 : 0)]));
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
  {
    uint8_t* cx = &ctx[kCtxLastX + ctxOffset];
    while (px < cMax && HevcCabacEngineBin(c, &cx[px >> ctxShift])) ++px;
    uint8_t* cy = &ctx[kCtxLastY + ctxOffset];
    while (py < cMax && HevcCabacEngineBin(c, &cy[py >> ctxShift])) ++py;
  }
  int lastX = px, lastY = py;
  if (px > 3) lastX = (1 << ((px >> 1) - 1)) * (2 + (px & 1)) + static_cast<int>(BypassBits(c, (px >> 1) - 1));
  if (py > 3) lastY = (1 << ((py >> 1) - 1)) * (2 + (py & 1)) + static_cast<int>(BypassBits(c, (py >> 1) - 1));
  if (scanIdx == 2) std::swap(lastX, lastY);

  const int log2Sb = log2 - 2;  // sub-blocks per side, log2
  const int sizeIdx = log2 - 2;
  const uint8_t* scanSb = ScanTables::SubBlockOrder(scanIdx, log2Sb);
  const int sbPerSide = 1 << log2Sb;
  const int lastSb = T.invSb[scanIdx][sizeIdx][(lastX >> 2) + ((lastY >> 2) << log2Sb)];
  const int lastPos = T.invPos[scanIdx][(lastX & 3) + 4 * (lastY & 3)];
  // Only sub-blocks up to the last one in scan order can hold levels: clear
  // the rows of sub-blocks they reach, no further.
  {
    const int xL = scanSb[lastSb] & (sbPerSide - 1), yL = scanSb[lastSb] >> log2Sb;
    int sbRows;
    if (scanIdx == 0)
      sbRows = std::min(xL + yL, sbPerSide - 1) + 1;
    else if (scanIdx == 1)
      sbRows = yL + 1;
    else
      sbRows = lastSb > 0 ? sbPerSide : 1;
    std::memset(coeff, 0, sizeof(int16_t) * (static_cast<size_t>(sbRows) << (log2 + 2)));
  }
  // coded sub-blocks: bit xS of row yS; row 8 stays zero
  uint16_t csbfRow[9] = {};
  int maxIdx = 0, maxCol = 0;
  int greater1Ctx = 1;
  bool firstSbWithLevels = true;
  const bool signHidingEnabled = pps->sign_data_hiding_enabled_flag && !bypass;
  const uint8_t* offsets = T.offset[scanIdx][sizeIdx];
  uint8_t* const sigCtx = &ctx[kCtxSig + (cIdx ? 27 : 0)];
  // context offset of the sub-blocks other than the first (larger blocks)
  int sigAdd;
  if (cIdx == 0)
    sigAdd = log2 == 3 ? (scanIdx == 0 ? 9 : 15) : 21;
  else
    sigAdd = log2 == 3 ? 9 : 12;
  uint8_t* const gt1Ctx = &ctx[kCtxGt1 + (cIdx ? 16 : 0)];
  uint8_t* const gt2Ctx = &ctx[kCtxGt2 + (cIdx ? 4 : 0)];
  for (int i = lastSb; i >= 0; --i) {
    const int xS = scanSb[i] & (sbPerSide - 1), yS = scanSb[i] >> log2Sb;
    const int right = (csbfRow[yS] >> (xS + 1)) & 1, below = (csbfRow[yS + 1] >> xS) & 1;
    int inferDc = 0;
    if (i < lastSb && i > 0) {
      const int inc = right | below;
      if (!HevcCabacEngineBin(c, &ctx[kCtxCsbf + inc + (cIdx ? 2 : 0)])) continue;
      inferDc = 1;
    }
    csbfRow[yS] = static_cast<uint16_t>(csbfRow[yS] | (1u << xS));
    uint8_t sigPos[16];
    int numSig = 0;
    int p = 15;
    if (i == lastSb) {
      p = lastPos - 1;
      sigPos[numSig++] = static_cast<uint8_t>(lastPos);
    }
    // significance, positions p .. 1, then position 0
    const uint8_t* base;
    uint8_t* sc;
    if (log2 == 2) {
      base = T.sig4x4[scanIdx];
      sc = sigCtx;
    } else {
      base = T.sigBase[scanIdx][right + 2 * below];
      sc = sigCtx + sigAdd + (cIdx == 0 && i > 0 ? 3 : 0);
    }
    for (; p > 0; --p) {
      sigPos[numSig] = static_cast<uint8_t>(p);
      numSig += HevcCabacEngineBin(c, &sc[base[p]]);
    }
    if (p == 0) {
      if (inferDc && numSig == 0) {
        sigPos[numSig++] = 0;
      } else {
        // the block's first position has a context of its own
        uint8_t* c0 = (i == 0 && log2 > 2) ? sigCtx : &sc[base[0]];
        if (HevcCabacEngineBin(c, c0)) sigPos[numSig++] = 0;
      }
    }
    if (!numSig) continue;
    int ctxSet = (i == 0 || cIdx > 0) ? 0 : 2;
    if (!firstSbWithLevels && greater1Ctx == 0) ++ctxSet;
    firstSbWithLevels = false;
    greater1Ctx = 1;
    // base levels: 1, +1 for a greater1 flag, +1 for the greater2 flag
    int level[16];
    int firstGt1 = -1;
    const int numGt1 = numSig < 8 ? numSig : 8;
    uint8_t* g1 = gt1Ctx + ctxSet * 4;
    // bit k: remaining level is read for entry k
    uint32_t escape = numSig > 8 ? (0xFFFFu << 8) & ((1u << numSig) - 1) : 0;
    for (int k = 0; k < numGt1; ++k) {
      const int b = HevcCabacEngineBin(c, &g1[greater1Ctx]);
      level[k] = 1 + b;
      if (b) {
        greater1Ctx = 0;
        if (firstGt1 < 0) firstGt1 = k;
        else escape |= 1u << k;
      } else if (greater1Ctx > 0 && greater1Ctx < 3) {
        ++greater1Ctx;
      }
    }
    for (int k = numGt1; k < numSig; ++k) level[k] = 1;
    if (firstGt1 >= 0) {
      if (HevcCabacEngineBin(c, &gt2Ctx[ctxSet])) {
        level[firstGt1] = 3;
        escape |= 1u << firstGt1;
      }
    }
    const bool signHidden = signHidingEnabled && sigPos[0] - sigPos[numSig - 1] > 3;
    const int numSigns = signHidden ? numSig - 1 : numSig;
    uint32_t signs = numSigns ? BypassBits(c, numSigns) << (32 - numSigns) : 0;
    const int sbOffset = (xS << 2) + (yS << (log2 + 2));
    // the largest raster offset in the sub-block: the first listed position
    // has the highest scan index, not always the highest raster index
    int maxOff = 0;
    if (!escape) {
      // no remaining levels: every value is 1 or 2 (3 at most once); a
      // hidden sign is the parity of the levels' sum
      int sum = 0;
      for (int k = 0; k < numSig; ++k) {
        sum += level[k];
        const int v = (signs & 0x80000000u) ? -level[k] : level[k];
        signs <<= 1;
        const int off = offsets[sigPos[k]];
        if (off > maxOff) maxOff = off;
        coeff[sbOffset + off] = static_cast<int16_t>(v);
      }
      if (signHidden && (sum & 1)) coeff[sbOffset + offsets[sigPos[numSig - 1]]] = static_cast<int16_t>(-level[numSig - 1]);
    } else {
      int rice = 0;
      int64_t sum = 0;
      for (int k = 0; k < numSig; ++k) {
        int64_t lv = level[k];
        if ((escape >> k) & 1) {
          lv += DecodeRemaining(c, rice);
          if (lv > 3 * (1 << rice) && rice < 4) ++rice;
        }
        sum += lv;
        int64_t v = lv;
        if (k < numSigns) {
          if (signs & 0x80000000u) v = -v;
          signs <<= 1;
        } else if (sum & 1) {
          v = -v;
        }
        if (v < -32768 || v > 32767) {
          HEVC_ERR(dec, "IH265D_Decode : the value of trans_coeff_level is %d, it should be in the range of -32768~32767!\n",
                   static_cast<int>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v));
          cabac->stEngine = engine;
          return IH265D_ERR_SLICEDATA;
        }
        const int off = offsets[sigPos[k]];
        if (off > maxOff) maxOff = off;
        coeff[sbOffset + off] = static_cast<int16_t>(v);
      }
    }
    if (sbOffset + maxOff > maxIdx) maxIdx = sbOffset + maxOff;
    // the columns are counted in whole sub-blocks
    if ((xS << 2) > maxCol) maxCol = xS << 2;
  }
  tu->aiNumCoeffPos[cIdx] = maxIdx + 1;
  tu->aiNumCols[cIdx] = (maxCol + 4) & ~3;
  cabac->stEngine = engine;
  return 0;
}

}  // namespace hevc
