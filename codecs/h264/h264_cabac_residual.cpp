// CABAC residual blocks: coded block flags with their neighbour contexts,
// significance maps and levels dequantised straight into their places, then
// the inverse transforms (or the DC fill) into the macroblock's residual.
#include <algorithm>
#include <cstring>

#include "codecs/h264/h264_cabac.h"
#include "codecs/h264/h264_inter.h"
#include "codecs/h264/h264_tables.h"

namespace {

// Block categories (ctxBlockCat) of 4:2:0 video.
enum : int { kCatLumaDc = 0, kCatLumaAc = 1, kCatLuma4x4 = 2, kCatChromaDc = 3, kCatChromaAc = 4, kCatLuma8x8 = 5 };

constexpr int kCbfOffset[5] = {0, 4, 8, 12, 16};
constexpr int kSigOffset[5] = {0, 15, 29, 44, 47};
constexpr int kAbsOffset[5] = {0, 10, 20, 30, 39};

inline int LumaBlockPos(int blk) { return H264MbLumaPos(4 * kH264BlkX[blk], 4 * kH264BlkY[blk]); }
inline int ChromaBlockPos(int comp, int b) { return 256 + 64 * comp + 4 * (b & 1) + 32 * (b >> 1); }

[[gnu::always_inline]] inline int CodedBlockFlag(H264Cabac& e, int cat, int condA, int condB) {
  return e.Decision(85 + kCbfOffset[cat] + condA + 2 * condB);
}

// Last contexts (166 frame, 338 field) above significance ones (105, 277).
constexpr uint32_t kLastDelta = 61;
constexpr int kMaxNum[6] = {16, 15, 16, 4, 15, 64};

// The last flag's context, state and rangeTabLPS row over the significance
// flag's when `record` is set: one test for the three conditional moves.
[[gnu::always_inline]] inline void PickLast(uint32_t record, uint32_t ol, uint32_t sl, uint32_t rl, uint32_t* off,
                                            uint32_t* s, uint32_t* row) {
#if defined(__x86_64__) && defined(__GNUC__)
  asm("test %[c], %[c]\n\t"
      "cmovnz %[ol], %[off]\n\t"
      "cmovnz %[sl], %[s]\n\t"
      "cmovnz %[rl], %[row]"
      : [off] "+r"(*off), [s] "+r"(*s), [row] "+r"(*row)
      : [c] "r"(record), [ol] "r"(ol), [sl] "r"(sl), [rl] "r"(rl)
      : "cc");
#else
  *off = H264CabacPick(record, ol, *off);
  *s = H264CabacPick(record, sl, *s);
  *row = H264CabacPick(record, rl, *row);
#endif
}

// Levels of one block: `sink(index, level)` for each coded coefficient, by
// its index in the block's scan; returns the index of the last one. The
// engine is a local copy of its callers (never one behind a pointer), so
// its state stays in registers across the byte stores of context states.
template <int Cat, typename Sink>
[[gnu::always_inline]] inline int DecodeBlock(H264Cabac& e, bool field, Sink&& sink) {
  constexpr int maxNum = kMaxNum[Cat];
  int sigBase, absBase;
  if constexpr (Cat == kCatLuma8x8) {
    sigBase = field ? 436 : 402;  // last: 451, 417 (in the map)
    absBase = 426;
  } else {
    sigBase = (field ? 277 : 105) + kSigOffset[Cat];  // last: + kLastDelta
    absBase = 227 + kAbsOffset[Cat];
  }
  // The significance map as one run of bins without branches on them: a
  // significance flag, or after a set one the last flag of its position.
  // The states of both possible next contexts and their rangeTabLPS rows
  // are loaded before the bin is known (after the store of the current
  // one, which they may share). Contexts are offsets from the first
  // significance context (the last ones lie a fixed distance above), which
  // leaves registers to keep the engine out of memory.
  uint8_t* const st = e.states + sigBase;
  const uint8_t(*map)[2] = kH264CabacStates.sig8x8[field ? 1 : 0];
  auto sigOff = [&](uint32_t j) -> uint32_t {
    if constexpr (Cat == kCatLuma8x8)
      return map[j][0];
    else
      return j;
  };
  auto lastOff = [&](uint32_t j) -> uint32_t {
    if constexpr (Cat == kCatLuma8x8)
      return map[j][1];
    else
      return kLastDelta + j;
  };
  constexpr uint32_t end = maxNum - 1;
  uint8_t pos[64];
  size_t n = 0;
  uint32_t i = 0, phase = 0;
  const uint32_t* lpsRows = kH264CabacStates.lps;
  uint32_t off = sigOff(0), s = st[off], row = lpsRows[s];
  for (;;) {
    uint32_t b = e.DecideAt(st + off, s, row);
    if (b & phase) break;  // last_significant_coeff_flag
    // A set bin here is a significance flag: a last flag of 1 has left.
    uint32_t record = b;
    pos[n] = static_cast<uint8_t>(i);
    n += record;
    // Position i + 1 <= end: its context is loaded (the map has an entry
    // there, and a 4x4 one lies inside the context table) but used only
    // when i + 1 < end.
    uint32_t ol = lastOff(i), os = sigOff(i + 1);
    i += b ^ 1;
    if (i == end) break;
    // After a last flag the last candidate is never picked; its load reads
    // the context below instead, so it does not wait on the store of the
    // state just decoded (the same context).
    uint32_t sl = st[ol - phase], ss = st[os];
    uint32_t rl = lpsRows[sl], rs = lpsRows[ss];
    off = os;
    s = ss;
    row = rs;
    PickLast(record, ol, sl, rl, &off, &s, &row);
    phase = record;
  }
  if (i == end) pos[n++] = static_cast<uint8_t>(end);

  int eq1 = 0, gt1 = 0;
  constexpr int gt1Max = Cat == kCatChromaDc ? 3 : 4;
  for (int j = static_cast<int>(n) - 1; j >= 0; --j) {
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
        if (k > 0) suffix += static_cast<int>(e.BypassBits(k));
        prefix += suffix;
      }
      level = prefix + 1;
      ++gt1;
    }
    sink(pos[j], e.Bypass() ? -level : level);
  }
  return pos[n - 1];
}

// Levels into lv by scan index (the DC blocks).
template <int Cat>
[[gnu::always_inline]] inline void DecodeLevels(H264Cabac& e, bool field, int32_t* lv) {
  DecodeBlock<Cat>(e, field, [lv](int idx, int level) { lv[idx] = level; });
}

// A 4x4 block into the residual at res: the levels dequantised straight into
// their raster places, `first` the scan index of the first coded level, `dc`
// the scaled DC of blocks whose DC comes apart.
template <int Cat>
[[gnu::always_inline]] inline void Decode4x4(H264DecContext* ctx, H264Cabac& e, bool field,
                                             const uint16_t* scale, int q6, int16_t dc, int16_t* res) {
  constexpr int first = Cat == kCatLuma4x4 ? 0 : 1;
  const uint8_t* scan = kH264Scan4x4[field ? 1 : 0] + first;
  alignas(16) int16_t coeff[16] = {};
  coeff[0] = dc;
  int last = DecodeBlock<Cat>(e, field, [&](int idx, int level) {
    int p = scan[idx];
    coeff[p] = H264Dequant(level, scale[p], q6, 4);
  });
  if (first == 0 && last == 0)
    H264FillDc4x4(res, static_cast<int16_t>(static_cast<int16_t>(coeff[0] + 32) >> 6));
  else
    ctx->kernels.idct4x4(coeff, res);
}

inline void FillDc(int16_t* res, int16_t dc) {
  H264FillDc4x4(res, static_cast<int16_t>(static_cast<int16_t>(dc + 32) >> 6));
}

// Coded-block-flag terms of 4x4 luma block blk: the neighbouring block's
// flag, or (no neighbour) 1 for an intra macroblock.
[[gnu::always_inline]] inline void LumaTerms(const H264DecContext* ctx, int blk, bool intra, int* a, int* b) {
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

void Chroma(H264DecContext* ctx, H264Cabac& engine, bool intra) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  const H264MbInfo* left = ctx->nbInfo[kH264NbLeft];
  const H264MbInfo* top = ctx->nbInfo[kH264NbTop];
  int chromaCbp = static_cast<int>(w.cbp >> 4);
  cur->cbfCbDc = cur->cbfCrDc = 0;
  std::memset(cur->cbfCbAc, 0, 4);
  std::memset(cur->cbfCrAc, 0, 4);
  if (chromaCbp == 0) return;
  H264Cabac e = engine;  // in registers: see DecodeBlock
  bool field = cur->fieldMb;
  int16_t dc[2][4];
  for (int comp = 0; comp < 2; ++comp) {
    uint8_t H264MbInfo::*flag = comp ? &H264MbInfo::cbfCrDc : &H264MbInfo::cbfCbDc;
    int cbf = CodedBlockFlag(e, kCatChromaDc, MbTerm(left, flag, intra), MbTerm(top, flag, intra));
    cur->*flag = static_cast<uint8_t>(cbf);
    if (cbf) {
      int32_t lv[4] = {};
      DecodeLevels<kCatChromaDc>(e, field, lv);
      int qp = comp ? cur->qpCr : cur->qpCb;
      H264ChromaDc(lv, ctx->levelScale4x4[(intra ? 1 : 4) + comp][qp % 6][0], qp, dc[comp]);
    } else {
      std::memset(dc[comp], 0, sizeof dc[comp]);
    }
  }
  for (int comp = 0; comp < 2; ++comp) {
    int qp = comp ? cur->qpCr : cur->qpCb;
    const uint16_t* scale = ctx->levelScale4x4[(intra ? 1 : 4) + comp][qp % 6];
    uint8_t* flags = comp ? cur->cbfCrAc : cur->cbfCbAc;
    const uint8_t* leftFlags = comp ? left->cbfCrAc : left->cbfCbAc;
    const uint8_t* topFlags = comp ? top->cbfCrAc : top->cbfCbAc;
    for (int b = 0; b < 4; ++b) {
      int16_t* res = ctx->mb.residual + ChromaBlockPos(comp, b);
      if (chromaCbp == 2) {
        int a = (b & 1) ? flags[b - 1] : left->available ? leftFlags[b + 1] : intra;
        int t = (b & 2) ? flags[b - 2] : top->available ? topFlags[b + 2] : intra;
        flags[b] = static_cast<uint8_t>(CodedBlockFlag(e, kCatChromaAc, a, t));
        if (flags[b]) {
          Decode4x4<kCatChromaAc>(ctx, e, field, scale, qp / 6, dc[comp][b], res);
          continue;
        }
      }
      FillDc(res, dc[comp][b]);
    }
  }
  engine = e;
}

}  // namespace

void H264CabacResidualMb(H264DecContext* ctx, H264Cabac& engine) {
  H264Cabac e = engine;
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
      const uint16_t* scale = ctx->levelScale8x8[intra ? 0 : 1][m];
      const uint8_t* scan = kH264Scan8x8[field ? 1 : 0];
      alignas(16) int16_t coeff[64];
      H264CabacZero<sizeof coeff>(coeff);
      int last = DecodeBlock<kCatLuma8x8>(e, field, [&](int idx, int level) {
        int p = scan[idx];
        coeff[p] = H264Dequant(level, scale[p], q6, 6);
      });
      std::memset(cur->nonZero + 4 * quad, 1, 4);
      int16_t* res = w.residual + 64 * quad;
      if (last == 0)
        H264FillDc8x8(res, coeff[0]);
      else
        ctx->kernels.idct8x8(coeff, res);
      continue;
    }
    const uint16_t* scale = ctx->levelScale4x4[intra ? 0 : 3][m];
    for (int j = 0; j < 4; ++j) {
      int blk = 4 * quad + j, a, b;
      LumaTerms(ctx, blk, intra, &a, &b);
      int cbf = CodedBlockFlag(e, kCatLuma4x4, a, b);
      cur->nonZero[blk] = static_cast<uint8_t>(cbf);
      int16_t* res = w.residual + LumaBlockPos(blk);
      if (cbf)
        Decode4x4<kCatLuma4x4>(ctx, e, field, scale, q6, 0, res);
      else
        H264FillDc4x4(res, 0);
    }
  }
  engine = e;
  Chroma(ctx, engine, intra);
}

void H264CabacResidualIntra16x16(H264DecContext* ctx, H264Cabac& engine) {
  H264Cabac e = engine;
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  bool field = cur->fieldMb;
  int qp = cur->qp, q6 = qp / 6, m = qp % 6;
  const uint16_t* scale = ctx->levelScale4x4[0][m];
  int cbf = CodedBlockFlag(e, kCatLumaDc, MbTerm(ctx->nbInfo[kH264NbLeft], &H264MbInfo::cbfLumaDc, 1),
                           MbTerm(ctx->nbInfo[kH264NbTop], &H264MbInfo::cbfLumaDc, 1));
  cur->cbfLumaDc = static_cast<uint8_t>(cbf);
  int32_t dcLevels[16] = {};
  if (cbf) DecodeLevels<kCatLumaDc>(e, field, dcLevels);
  int16_t dc[16];
  H264LumaDc(ctx, dcLevels, scale, q6, dc);
  for (int blk = 0; blk < 16; ++blk) {
    int16_t* res = w.residual + LumaBlockPos(blk);
    cur->nonZero[blk] = 0;
    if (w.cbp & 15) {
      int a, b;
      LumaTerms(ctx, blk, true, &a, &b);
      cur->nonZero[blk] = static_cast<uint8_t>(CodedBlockFlag(e, kCatLumaAc, a, b));
      if (cur->nonZero[blk]) {
        Decode4x4<kCatLumaAc>(ctx, e, field, scale, q6, dc[blk], res);
        continue;
      }
    }
    FillDc(res, dc[blk]);
  }
  engine = e;
  Chroma(ctx, engine, true);
}
