// CABAC slices: context initialisation, the slice loop, and the macroblock
// layer (mb_skip_flag, mb_type, sub_mb_type, prediction syntax,
// coded_block_pattern, transform_size_8x8_flag, mb_qp_delta) with the
// context index increments derived from the neighbours A (left) and B (top).
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/h264_cabac.h"
#include "codecs/h264/h264_inter.h"

namespace {

// `f(e)` on a local copy of the engine, written back after: the copy's
// state stays in registers, which the stores of the byte-sized context
// states could otherwise alias. For the syntax elements of several bins.
template <typename F>
[[gnu::always_inline]] inline auto Local(H264Cabac& engine, F f) {
  H264Cabac e = engine;
  auto r = f(e);
  engine = e;
  return r;
}

inline const H264MbInfo* InfoA(const H264DecContext* ctx) { return ctx->nbInfo[kH264NbLeft]; }
inline const H264MbInfo* InfoB(const H264DecContext* ctx) { return ctx->nbInfo[kH264NbTop]; }

// condTermFlagA + condTermFlagB of a macroblock-level test on `mbType`.
template <typename Test>
int MbTypeTerms(const H264DecContext* ctx, Test test) {
  int n = 0;
  for (int slot : {kH264NbLeft, kH264NbTop})
    if (ctx->nbInfo[slot]->available && test(ctx->nbMotion[slot]->mbType)) ++n;
  return n;
}

int MbSkipFlag(H264DecContext* ctx, H264Cabac& e) {
  int base = ctx->slice.slice_type == kH264SliceP ? 11 : 24;
  return e.Decision(base + MbTypeTerms(ctx, [](int t) { return t != kH264MbSkip; }));
}

// The intra part of mb_type: the I-slice binarization, whose bins use the
// given contexts (bin 0; luma; chroma; second chroma; the two mode bins).
int IntraMbType(H264DecContext* ctx, H264Cabac& e, int c0, int cLuma, int cChroma, int cChroma2, int cMode0,
                int cMode1) {
  if (!e.Decision(c0)) return kH264MbINxN;
  if (e.Terminate()) return kH264MbIPcm;
  int t = kH264MbI16x16First + 12 * e.Decision(cLuma);
  if (e.Decision(cChroma)) t += 4 + 4 * e.Decision(cChroma2);
  t += 2 * e.Decision(cMode0);
  return t + e.Decision(cMode1);
}

int MbTypeI(H264DecContext* ctx, H264Cabac& engine) {
  return Local(engine, [&](H264Cabac& e) {
    int inc = MbTypeTerms(ctx, [](int t) { return t != kH264MbINxN; });
    return IntraMbType(ctx, e, 3 + inc, 6, 7, 8, 9, 10);
  });
}

int MbTypeP(H264DecContext* ctx, H264Cabac& engine) {
  return Local(engine, [&](H264Cabac& e) {
    if (e.Decision(14)) return IntraMbType(ctx, e, 17, 18, 19, 19, 20, 20);
    int b1 = e.Decision(15);
    int b2 = e.Decision(16 + b1);
    return 18 + b2 + 2 * (b1 ^ b2);
  });
}

int MbTypeB(H264DecContext* ctx, H264Cabac& engine) {
  return Local(engine, [&](H264Cabac& e) {
    int inc = MbTypeTerms(ctx, [](int t) { return t != kH264MbSkip && t != 0; });
    if (!e.Decision(27 + inc)) return 0;
    if (!e.Decision(30)) return 1 + e.Decision(32);
    static const uint8_t kTypes[16] = {3, 4, 5, 6, 7, 8, 9, 10, 12, 14, 16, 18, 20, 23, 11, 22};
    int bits = e.Decision(31) << 3;
    bits |= e.Decision(32) << 2;
    bits |= e.Decision(32) << 1;
    bits |= e.Decision(32);
    int t = kTypes[bits];
    if (t == kH264MbINxN) return IntraMbType(ctx, e, 32, 33, 34, 34, 35, 35);
    if (t >= 12 && t <= 20) t += e.Decision(32);
    return t;
  });
}

int SubMbTypeP(H264DecContext* ctx, H264Cabac& engine) {
  return Local(engine, [&](H264Cabac& e) {
    if (e.Decision(21)) return 0;
    if (!e.Decision(22)) return 1;
    return e.Decision(23) ? 2 : 3;
  });
}

int SubMbTypeB(H264DecContext* ctx, H264Cabac& engine) {
  return Local(engine, [&](H264Cabac& e) {
    if (!e.Decision(36)) return 0;
    if (!e.Decision(37)) return 1 + e.Decision(39);
    if (e.Decision(38)) {
      if (e.Decision(39)) return 11 + e.Decision(39);
      int t = 7 + 2 * e.Decision(39);
      return t + e.Decision(39);
    }
    int t = 3 + 2 * e.Decision(39);
    return t + e.Decision(39);
  });
}

// The 4x4 block at (x, y) in 4x4 units seen from the current macroblock
// (x = -1: left neighbour, y = -1: top neighbour).
struct NbBlock {
  const H264MbInfo* info;
  const H264MbMotion* motion;
  int blk;
};

inline NbBlock BlockAt(const H264DecContext* ctx, int x, int y) {
  int slot = x < 0 ? kH264NbLeft : y < 0 ? kH264NbTop : kH264NbCurrent;
  return {ctx->nbInfo[slot], ctx->nbMotion[slot], kH264BlkAt[y & 3][x & 3]};
}

int RefIdx(H264DecContext* ctx, H264Cabac& engine, int list, int x, int y) {
  return Local(engine, [&](H264Cabac& e) {
    int inc = 0;
    for (int k = 0; k < 2; ++k) {
      NbBlock n = k ? BlockAt(ctx, x, y - 1) : BlockAt(ctx, x - 1, y);
      int t = n.motion->mbType;
      if (n.info->available && t >= 1 && t <= 22 && n.info->refIdxHist[4 * list + (n.blk >> 2)] > 0)
        inc += k ? 2 : 1;
    }
    if (!e.Decision(54 + inc)) return 0;
    if (!e.Decision(58)) return 1;
    int v = 2;
    while (v < 32 && e.Decision(59)) ++v;  // at most 32 bins
    return std::min(v, 31);
  });
}

// One motion vector difference component from the sum of its neighbours'
// magnitudes; `absOut` gets its magnitude.
[[gnu::always_inline]] inline int MvdComponent(H264Cabac& e, int comp, int sum, int* absOut) {
  int base = comp ? 47 : 40;
  *absOut = 0;
  if (!e.Decision(base + (sum < 3 ? 0 : sum <= 32 ? 1 : 2))) return 0;
  int v = 1, inc = 3;
  while (v < 9 && e.Decision(base + inc)) {
    ++v;
    if (inc < 6) ++inc;
  }
  if (v == 9) {  // Exp-Golomb suffix of order 3
    int k = 3;
    while (k < 16 && e.Bypass()) {
      v += 1 << k;
      ++k;
    }
    v += static_cast<int>(e.BypassBits(k));  // k is 3..16
  }
  *absOut = v;
  return e.Bypass() ? -v : v;
}

// Both components of a motion vector difference of the partition whose
// first block is (x, y); `absOut` gets their magnitudes.
void Mvd(H264DecContext* ctx, H264Cabac& engine, int list, int x, int y, int16_t* mvd, int* absOut) {
  int sum[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    NbBlock n = k ? BlockAt(ctx, x, y - 1) : BlockAt(ctx, x - 1, y);
    if (n.info->available) {
      const uint8_t* a = n.info->absMvd[list][n.blk];
      sum[0] += a[0];
      sum[1] += a[1];
    }
  }
  Local(engine, [&](H264Cabac& e) {
    mvd[0] = static_cast<int16_t>(MvdComponent(e, 0, sum[0], &absOut[0]));
    mvd[1] = static_cast<int16_t>(MvdComponent(e, 1, sum[1], &absOut[1]));
    return 0;
  });
}

int CodedBlockPattern(H264DecContext* ctx, H264Cabac& engine) {
  return Local(engine, [&](H264Cabac& e) {
    const H264MbInfo* a = InfoA(ctx);
    const H264MbInfo* b = InfoB(ctx);
    int cbp = 0;
    for (int b8 = 0; b8 < 4; ++b8) {
      // A term is 1 when the neighbouring 8x8 block has no coded luma.
      int condA =
          (b8 & 1) ? !((cbp >> (b8 - 1)) & 1) : a->available && !((a->codedBlockPattern >> (b8 + 1)) & 1);
      int condB =
          (b8 & 2) ? !((cbp >> (b8 - 2)) & 1) : b->available && !((b->codedBlockPattern >> (b8 + 2)) & 1);
      cbp |= e.Decision(73 + condA + 2 * condB) << b8;
    }
    int ca = a->available && (a->codedBlockPattern >> 4) != 0;
    int cb = b->available && (b->codedBlockPattern >> 4) != 0;
    if (e.Decision(77 + ca + 2 * cb)) {
      ca = a->available && (a->codedBlockPattern >> 4) == 2;
      cb = b->available && (b->codedBlockPattern >> 4) == 2;
      cbp |= (1 + e.Decision(81 + ca + 2 * cb)) << 4;
    }
    return cbp;
  });
}

// mb_qp_delta and the QP update; 1 when it lies outside -26..25.
int QpDelta(H264DecContext* ctx, H264Cabac& engine) {
  return Local(engine, [&](H264Cabac& e) {
    int k = 0;
    if (e.Decision(60 + (ctx->lastMbQpDelta != 0))) {
      k = 1;
      if (e.Decision(62)) {
        k = 2;
        while (k < 102 && e.Decision(63)) ++k;
        k = std::min(k, 101);
      }
    }
    int delta = (k & 1) ? (k + 1) / 2 : -(k / 2);
    ctx->lastMbQpDelta = delta;
    if (delta < -26 || delta > 25) return 1;
    ctx->qpY = (ctx->qpY + delta + 52) % 52;
    return 0;
  });
}

int ChromaPredMode(H264DecContext* ctx, H264Cabac& engine) {
  return Local(engine, [&](H264Cabac& e) {
    const H264MbInfo* a = InfoA(ctx);
    const H264MbInfo* b = InfoB(ctx);
    int inc = (a->available && a->chromaPredMode) + (b->available && b->chromaPredMode);
    if (!e.Decision(64 + inc)) return 0;
    if (!e.Decision(67)) return 1;
    return e.Decision(67) ? 3 : 2;
  });
}

int Transform8x8Flag(H264DecContext* ctx, H264Cabac& e) {
  const H264MbInfo* a = InfoA(ctx);
  const H264MbInfo* b = InfoB(ctx);
  int inc = (a->available && a->transform8x8) + (b->available && b->transform8x8);
  return e.Decision(399 + inc);
}

// coded_block_pattern, transform_size_8x8_flag and mb_qp_delta of inter and
// I_NxN macroblocks (I_NxN reads its transform flag earlier).
int Tail(H264DecContext* ctx, H264Cabac& e, bool inter, bool may8x8) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  w.cbp = static_cast<uint32_t>(CodedBlockPattern(ctx, e));
  cur->codedBlockPattern = static_cast<uint8_t>(w.cbp);
  if (inter) {
    cur->transform8x8 = 0;
    if (ctx->activePps.transform_8x8_mode_flag && (w.cbp & 15) && may8x8)
      cur->transform8x8 = Transform8x8Flag(ctx, e);
  }
  int err = 0;
  if (w.cbp)
    err = QpDelta(ctx, e);
  else
    ctx->lastMbQpDelta = 0;
  H264StoreQp(ctx);
  return err;
}

// Reference index of a partition at (x, y), w x h, for list l: read when the
// list has several entries; recorded in the history of its 8x8 blocks.
int PartRef(H264DecContext* ctx, H264Cabac& e, int l, int x, int y, int w, int h, int* err) {
  uint32_t n = (l ? ctx->slice.num_ref_idx_l1_active_minus1 : ctx->slice.num_ref_idx_l0_active_minus1) + 1;
  int ref = n > 1 ? RefIdx(ctx, e, l, x, y) : 0;
  if (ref >= static_cast<int>(n)) {
    *err = 1;
    ref = 0;
  }
  // The 8x8 blocks the partition covers: its corners' (some the same).
  int8_t* hist = ctx->nbInfo[kH264NbCurrent]->refIdxHist + 4 * l;
  int x0 = x >> 1, x1 = (x + w - 1) >> 1, y0 = y >> 1, y1 = (y + h - 1) >> 1;
  hist[2 * y0 + x0] = hist[2 * y0 + x1] = hist[2 * y1 + x0] = hist[2 * y1 + x1] = static_cast<int8_t>(ref);
  return ref;
}

void PartMvd(H264DecContext* ctx, H264Cabac& e, int l, int x, int y, int w, int h, int16_t* mvd) {
  int abs[2];
  Mvd(ctx, e, l, x, y, mvd, abs);
  int ax = abs[0], ay = abs[1];
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  uint16_t pair = static_cast<uint16_t>(std::min(ax, 255) | std::min(ay, 255) << 8);
  if (!((x | y | w | h) & 1)) {
    // Whole 8x8 blocks, whose four 4x4 blocks follow each other: those at
    // the partition's corners (some the same).
    uint64_t quad = pair * uint64_t{0x0001000100010001};
    int x0 = x >> 1, x1 = (x + w - 1) >> 1, y0 = y >> 1, y1 = (y + h - 1) >> 1;
    uint8_t(*a)[2] = cur->absMvd[l];
    std::memcpy(a[4 * (2 * y0 + x0)], &quad, 8);
    std::memcpy(a[4 * (2 * y0 + x1)], &quad, 8);
    std::memcpy(a[4 * (2 * y1 + x0)], &quad, 8);
    std::memcpy(a[4 * (2 * y1 + x1)], &quad, 8);
    return;
  }
  for (int yy = y; yy < y + h; ++yy)
    for (int xx = x; xx < x + w; ++xx) std::memcpy(cur->absMvd[l][kH264BlkAt[yy][xx]], &pair, 2);
}

void ClearHistory(H264MbInfo* cur) {
  std::memset(cur->refIdxHist, -1, sizeof cur->refIdxHist);
  std::memset(cur->absMvd, 0, sizeof cur->absMvd);
}

int ParseInter(H264DecContext* ctx, H264Cabac& e, H264InterParams* p) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  bool isP = ctx->slice.slice_type == kH264SliceP;
  int type = ctx->nbMotion[kH264NbCurrent]->mbType;
  bool direct8x8 = ctx->activeSps.direct_8x8_inference_flag != 0;
  std::memset(p->refIdx, -1, sizeof p->refIdx);
  H264CabacZero<sizeof p->mvd>(p->mvd);
  ClearHistory(cur);
  int err = 0;
  if (!isP && type == 0) return Tail(ctx, e, true, direct8x8);  // B_Direct_16x16

  if (isP ? type >= 21 : type == 22) {
    bool may8x8 = true;
    for (int b8 = 0; b8 < 4; ++b8) {
      int sub = isP ? SubMbTypeP(ctx, e) : SubMbTypeB(ctx, e);
      w.subMbType[b8] = sub;
      if (isP ? sub != 0 : (sub == 0 ? !direct8x8 : kH264BSubShape[sub] != 0)) may8x8 = false;
    }
    for (int l = 0; l < (isP ? 1 : 2); ++l)
      for (int b8 = 0; b8 < 4; ++b8) {
        int sub = w.subMbType[b8];
        if (isP || kH264BSubLists[sub] >> l & 1)
          p->refIdx[l][b8] = static_cast<int8_t>(PartRef(ctx, e, l, 2 * (b8 & 1), 2 * (b8 >> 1), 2, 2, &err));
      }
    for (int l = 0; l < (isP ? 1 : 2); ++l)
      for (int b8 = 0; b8 < 4; ++b8) {
        int sub = w.subMbType[b8];
        if (!isP && !(kH264BSubLists[sub] >> l & 1)) continue;
        int shape = isP ? sub : kH264BSubShape[sub];
        for (int j = 0; j < kH264SubCount[shape]; ++j) {
          const uint8_t* s = kH264SubParts[shape][j];
          PartMvd(ctx, e, l, 2 * (b8 & 1) + s[0], 2 * (b8 >> 1) + s[1], s[2], s[3], p->mvd[l][4 * b8 + j]);
        }
      }
    return Tail(ctx, e, true, may8x8) | err;
  }

  // 16x16, 16x8 (x, y, w, h of the two partitions) and 8x16.
  static const uint8_t kShapes[3][2][4] = {
      {{0, 0, 4, 4}}, {{0, 0, 4, 2}, {0, 2, 4, 2}}, {{0, 0, 2, 4}, {2, 0, 2, 4}}};
  int kind = isP ? type - 18 : type <= 3 ? 0 : (type & 1) ? 2 : 1;
  int parts = kind == 0 ? 1 : 2;
  uint8_t lists[2];
  for (int i = 0; i < parts; ++i)
    lists[i] = isP ? 1 : type <= 3 ? static_cast<uint8_t>(type) : kH264BPartLists[(type - 4) >> 1][i];
  for (int l = 0; l < 2; ++l)
    for (int i = 0; i < parts; ++i)
      if (lists[i] >> l & 1) {
        const uint8_t* s = kShapes[kind][i];
        p->refIdx[l][i] = static_cast<int8_t>(PartRef(ctx, e, l, s[0], s[1], s[2], s[3], &err));
      }
  for (int l = 0; l < 2; ++l)
    for (int i = 0; i < parts; ++i)
      if (lists[i] >> l & 1) {
        const uint8_t* s = kShapes[kind][i];
        PartMvd(ctx, e, l, s[0], s[1], s[2], s[3], p->mvd[l][i]);
      }
  return Tail(ctx, e, true, true) | err;
}

int ParseIntraNxN(H264DecContext* ctx, H264Cabac& e) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  cur->transform8x8 = ctx->activePps.transform_8x8_mode_flag ? Transform8x8Flag(ctx, e) : 0;
  int n = cur->transform8x8 ? 4 : 16;
  for (int i = 0; i < n; ++i) {
    w.prevIntraPredModeFlag[i] = e.Decision(68);
    if (!w.prevIntraPredModeFlag[i]) {
      int rem = e.Decision(69);
      rem |= e.Decision(69) << 1;
      w.remIntraPredMode[i] = rem | e.Decision(69) << 2;
    }
  }
  w.intraChromaPredMode = static_cast<uint32_t>(ChromaPredMode(ctx, e));
  cur->chromaPredMode = static_cast<uint8_t>(w.intraChromaPredMode);
  return Tail(ctx, e, false, false);
}

int ParseIntra16x16(H264DecContext* ctx, H264Cabac& e) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  int t = ctx->nbMotion[kH264NbCurrent]->mbType - kH264MbI16x16First;
  w.intra16x16PredMode = t & 3;
  w.cbp = static_cast<uint32_t>((((t >> 2) % 3) << 4) | (t >= 12 ? 15 : 0));
  cur->codedBlockPattern = static_cast<uint8_t>(w.cbp);
  cur->transform8x8 = 0;
  w.intraChromaPredMode = static_cast<uint32_t>(ChromaPredMode(ctx, e));
  cur->chromaPredMode = static_cast<uint8_t>(w.intraChromaPredMode);
  int err = QpDelta(ctx, e);
  H264StoreQp(ctx);
  return err;
}

int DecodeMb(H264DecContext* ctx, H264Cabac& e) {
  const H264SliceHeader& s = ctx->slice;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  H264MbMotion* motion = ctx->nbMotion[kH264NbCurrent];
  int type = s.slice_type == kH264SliceI   ? MbTypeI(ctx, e)
             : s.slice_type == kH264SliceP ? MbTypeP(ctx, e)
                                           : MbTypeB(ctx, e);
  motion->mbType = type;
  if (type <= 22) {
    H264InterParams p;
    if (ParseInter(ctx, e, &p)) return kH264MbSyntaxError;
    H264CabacResidualMb(ctx, e);
    if (type == 0 && s.slice_type == kH264SliceB)
      H264DirectB16x16(ctx);
    else
      H264InterMb(ctx, &p);
    return 0;
  }
  H264ClearIntraMotion(ctx);
  ClearHistory(cur);
  if (type == kH264MbIPcm) {
    std::memset(cur->nonZero, 1, 16);
    cur->codedBlockPattern = 47;
    cur->cbfLumaDc = cur->cbfCbDc = cur->cbfCrDc = 1;
    std::memset(cur->cbfCbAc, 1, 4);
    std::memset(cur->cbfCrAc, 1, 4);
    // The samples start at the byte boundary after the bits the nine-bit
    // engine would have read.
    ctx->br.pos = e.Consumed();
    int r = H264IntraPcmMb(ctx);
    e.Init(ctx);
    return r;
  }
  if (type == kH264MbINxN) {
    if (ParseIntraNxN(ctx, e)) return kH264MbSyntaxError;
    H264CabacResidualMb(ctx, e);
    int r = cur->transform8x8 ? H264IntraMb8x8(ctx) : H264IntraMb4x4(ctx);
    return r ? kH264MbReconError : 0;
  }
  if (ParseIntra16x16(ctx, e)) return kH264MbSyntaxError;
  H264CabacResidualIntra16x16(ctx, e);
  return H264IntraMb16x16(ctx) ? kH264MbReconError : 0;
}

}  // namespace

void H264CabacInitContexts(H264DecContext* ctx) {
  int qp = std::clamp(ctx->qpY, 0, 51);
  const int8_t(*table)[2] = ctx->slice.slice_type == kH264SliceI
                                ? kH264CabacInitI
                                : kH264CabacInitPB[ctx->slice.cabac_init_idc % 3];
  for (int i = 0; i < 460; ++i) {
    int pre = std::clamp(((table[i][0] * qp) >> 4) + table[i][1], 1, 126);
    ctx->cabacCtx[i] = static_cast<uint8_t>(pre <= 63 ? (63 - pre) << 1 : (pre - 64) << 1 | 1);
  }
}

int H264SliceDataCabac(H264DecContext* ctx) {
  if (int r = H264SliceDataInit(ctx)) return r;
  const H264SliceHeader& s = ctx->slice;
  if (s.slice_type != kH264SliceI && s.slice_type != kH264SliceP && s.slice_type != kH264SliceB) return 0;
  H264DecBitReader* br = &ctx->br;
  // Motion-vector difference history from before the slice counts as zero.
  for (uint32_t i = 0; i < 2 * ctx->widthMbs; ++i)
    std::memset(ctx->infoRows[i].absMvd, 0, sizeof ctx->infoRows[i].absMvd);
  for (H264MbInfo& u : ctx->unavailableInfo) std::memset(u.absMvd, 0, sizeof u.absMvd);
  if (br->pos & 7) H264SkipBits(8 - (br->pos & 7), br);  // cabac_alignment_one_bit
  H264CabacInitContexts(ctx);
  H264Cabac e(ctx);
  e.Init(ctx);
  int r = 0;
  for (;;) {
    ctx->nbInfo[kH264NbCurrent]->chromaPredMode = 0;
    if (s.slice_type != kH264SliceI && MbSkipFlag(ctx, e)) {
      H264SkipMb(ctx);
    } else if ((r = DecodeMb(ctx, e)) != 0) {
      break;
    }
    int endOfSlice = e.Terminate();
    if (H264MbAdvance(ctx) || endOfSlice) break;
    if (e.Consumed() > br->bitLength + 16) {  // ran past the slice data
      r = kH264MbResidualError;
      break;
    }
  }
  e.Save(ctx);
  return r;
}
