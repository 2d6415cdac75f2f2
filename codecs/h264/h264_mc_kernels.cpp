// Motion-compensation kernels: quarter-sample luma and eighth-sample chroma
// interpolation from a reference window into rows of 8, and the kernels that
// finish an inter quadrant (list averaging or weighting, residual, clipping).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "codecs/h264/h264_internal.h"

namespace {

inline uint8_t Clip1(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }
inline uint8_t Avg(int a, int b) { return static_cast<uint8_t>((a + b + 1) >> 1); }

// 6-tap filter (1, -5, 20, 20, -5, 1) over p[-2 * step] .. p[3 * step].
inline int Tap6(const uint8_t* p, int step) {
  return p[-2 * step] - 5 * p[-step] + 20 * p[0] + 20 * p[step] - 5 * p[2 * step] + p[3 * step];
}

// Destination of row y of a luma block: 8x16 blocks continue in the quadrant
// below after their eighth row.
inline uint8_t* LumaRow(uint8_t* dst, int y) { return dst + (y < 8 ? 8 * y : 128 + 8 * (y - 8)); }

// Luma prediction of a W x H block at fraction (XF, YF), clause 8.4.2.2.1.
template <int W, int H, int XF, int YF>
void LumaMc(const H264McArgs* a) {
  const int st = a->lumaStride;
  // G, the integer sample of the block's top-left position.
  const uint8_t* g = a->lumaSrc + (XF ? 2 : 0) + (YF ? 2 * st : 0);
  uint8_t* dst = a->lumaDst;
  if constexpr (XF == 0 && YF == 0) {
    for (int y = 0; y < H; ++y) std::memcpy(LumaRow(dst, y), g + y * st, W);
    return;
  }
  // Half samples needed by the position: b (horizontal) on rows 0..H (row H
  // for s), h (vertical) on columns 0..W (column W for m), j (centre).
  constexpr bool kNeedB = XF != 0 && YF != 2;
  constexpr bool kNeedH = YF != 0 && XF != 2;
  constexpr bool kNeedJ = (XF == 2 && YF != 0) || (YF == 2 && XF != 0);
  uint8_t b[H + 1][W + 1];
  uint8_t h[H + 1][W + 1];
  uint8_t j[H][W];
  if constexpr (kNeedB) {
    for (int y = 0; y < H + (YF == 3 ? 1 : 0); ++y)
      for (int x = 0; x < W; ++x) b[y][x] = Clip1((Tap6(g + y * st + x, 1) + 16) >> 5);
  }
  if constexpr (kNeedH) {
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W + (XF == 3 ? 1 : 0); ++x) h[y][x] = Clip1((Tap6(g + y * st + x, st) + 16) >> 5);
  }
  if constexpr (kNeedJ) {
    int b1[H + 5][W];  // unrounded horizontal intermediates, rows -2 .. H + 2
    for (int y = 0; y < H + 5; ++y)
      for (int x = 0; x < W; ++x) b1[y][x] = Tap6(g + (y - 2) * st + x, 1);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        int v = b1[y][x] - 5 * b1[y + 1][x] + 20 * b1[y + 2][x] + 20 * b1[y + 3][x] - 5 * b1[y + 4][x] + b1[y + 5][x];
        j[y][x] = Clip1((v + 512) >> 10);
      }
  }
  for (int y = 0; y < H; ++y) {
    uint8_t* out = LumaRow(dst, y);
    const uint8_t* G = g + y * st;
    for (int x = 0; x < W; ++x) {
      uint8_t v;
      if constexpr (XF == 0 && YF == 1) v = Avg(G[x], h[y][x]);
      else if constexpr (XF == 0 && YF == 2) v = h[y][x];
      else if constexpr (XF == 0 && YF == 3) v = Avg(G[x + st], h[y][x]);
      else if constexpr (XF == 1 && YF == 0) v = Avg(G[x], b[y][x]);
      else if constexpr (XF == 1 && YF == 1) v = Avg(b[y][x], h[y][x]);
      else if constexpr (XF == 1 && YF == 2) v = Avg(h[y][x], j[y][x]);
      else if constexpr (XF == 1 && YF == 3) v = Avg(h[y][x], b[y + 1][x]);
      else if constexpr (XF == 2 && YF == 0) v = b[y][x];
      else if constexpr (XF == 2 && YF == 1) v = Avg(b[y][x], j[y][x]);
      else if constexpr (XF == 2 && YF == 2) v = j[y][x];
      else if constexpr (XF == 2 && YF == 3) v = Avg(j[y][x], b[y + 1][x]);
      else if constexpr (XF == 3 && YF == 0) v = Avg(G[x + 1], b[y][x]);
      else if constexpr (XF == 3 && YF == 1) v = Avg(b[y][x], h[y][x + 1]);
      else if constexpr (XF == 3 && YF == 2) v = Avg(j[y][x], h[y][x + 1]);
      else v = Avg(h[y][x + 1], b[y + 1][x]);
      out[x] = v;
    }
  }
}

// Chroma prediction of a W x H block of Cb and of Cr, clause 8.4.2.2.2; the
// samples right of and below A are read only when their weight can be
// non-zero.
template <int W, int H, bool X, bool Y>
void ChromaMc(const H264McArgs* a) {
  const int st = a->chromaStride;
  const int xf = X ? a->chromaFracX : 0, yf = Y ? a->chromaFracY : 0;
  const int wA = (8 - xf) * (8 - yf), wB = xf * (8 - yf), wC = (8 - xf) * yf, wD = xf * yf;
  for (int plane = 0; plane < 2; ++plane) {
    const uint8_t* src = plane ? a->crSrc : a->cbSrc;
    uint8_t* dst = plane ? a->crDst : a->cbDst;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const uint8_t* p = src + y * st + x;
        int v = wA * p[0];
        if constexpr (X) v += wB * p[1];
        if constexpr (Y) v += wC * p[st];
        if constexpr (X && Y) v += wD * p[st + 1];
        dst[8 * y + x] = static_cast<uint8_t>((v + 32) >> 6);
      }
  }
}

template <int W, int H, int I>
constexpr H264McFn LumaEntry() {
  return &LumaMc<W, H, I / 4, I % 4>;
}

template <int W, int H>
struct LumaTable {
  static constexpr H264McFn kTable[16] = {
      LumaEntry<W, H, 0>(),  LumaEntry<W, H, 1>(),  LumaEntry<W, H, 2>(),  LumaEntry<W, H, 3>(),
      LumaEntry<W, H, 4>(),  LumaEntry<W, H, 5>(),  LumaEntry<W, H, 6>(),  LumaEntry<W, H, 7>(),
      LumaEntry<W, H, 8>(),  LumaEntry<W, H, 9>(),  LumaEntry<W, H, 10>(), LumaEntry<W, H, 11>(),
      LumaEntry<W, H, 12>(), LumaEntry<W, H, 13>(), LumaEntry<W, H, 14>(), LumaEntry<W, H, 15>()};
};

// ---------------------------------------------------------------------------
// Quadrant reconstruction

constexpr int kChromaQuadrant[4] = {0, 4, 32, 36};

// Writes a prediction computed per sample by `pred(p0, p1)` into the
// quadrant's luma and chroma targets, adding the residual where the coded
// block pattern has one.
template <typename Pred>
inline void Finish(const H264ReconArgs* a, const H264DecContext* ctx, Pred lumaPred, Pred cbPred, Pred crPred) {
  const H264MbWork& w = ctx->mb;
  int q = a->quadrant;
  const int16_t* res = w.residual + 64 * q;
  bool lumaRes = (w.cbp >> q) & 1;
  for (int i = 0; i < 64; ++i) {
    int v = lumaPred(a->luma[i], a->lumaL1 ? a->lumaL1[i] : 0);
    a->luma[i] = lumaRes ? Clip1(v + res[i]) : static_cast<uint8_t>(v);
  }
  bool chromaRes = w.cbp >= 16;
  const int16_t* resCb = w.residual + 256 + kChromaQuadrant[q];
  const int16_t* resCr = w.residual + 320 + kChromaQuadrant[q];
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) {
      int i = 8 * y + x;
      int cb = cbPred(a->cb[i], a->cbL1 ? a->cbL1[i] : 0);
      int cr = crPred(a->cr[i], a->crL1 ? a->crL1[i] : 0);
      a->cb[i] = chromaRes ? Clip1(cb + resCb[i]) : static_cast<uint8_t>(cb);
      a->cr[i] = chromaRes ? Clip1(cr + resCr[i]) : static_cast<uint8_t>(cr);
    }
}

void ReconAdd(const H264ReconArgs* a, const H264DecContext* ctx) {
  const H264MbWork& w = ctx->mb;
  int q = a->quadrant;
  if ((w.cbp >> q) & 1) {
    const int16_t* res = w.residual + 64 * q;
    for (int i = 0; i < 64; ++i) a->luma[i] = Clip1(a->luma[i] + res[i]);
  }
  if (w.cbp >= 16) {
    const int16_t* resCb = w.residual + 256 + kChromaQuadrant[q];
    const int16_t* resCr = w.residual + 320 + kChromaQuadrant[q];
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) {
        int i = 8 * y + x;
        a->cb[i] = Clip1(a->cb[i] + resCb[i]);
        a->cr[i] = Clip1(a->cr[i] + resCr[i]);
      }
  }
}

void ReconCopyAdd(const H264ReconArgs* a, const H264DecContext* ctx) {
  auto p1 = [](int, int s1) { return s1; };
  Finish(a, ctx, p1, p1, p1);
}

void ReconAverageAdd(const H264ReconArgs* a, const H264DecContext* ctx) {
  auto avg = [](int s0, int s1) { return (s0 + s1 + 1) >> 1; };
  Finish(a, ctx, avg, avg, avg);
}

// Explicit weighting of one list (clause 8.4.2.3.2).
struct OneList {
  int w, o, logWD;
  bool l1;
  int operator()(int s0, int s1) const {
    int p = l1 ? s1 : s0;
    int v = logWD >= 1 ? ((p * w + (1 << (logWD - 1))) >> logWD) + o : p * w + o;
    return Clip1(v);
  }
};

struct BothLists {
  int w0, w1, o, logWD;
  int operator()(int s0, int s1) const { return Clip1(((s0 * w0 + s1 * w1 + (1 << logWD)) >> (logWD + 1)) + o); }
};

// Whether a list's weights and offsets of a reference leave samples as
// they are (the weights of references without a weight table entry).
inline bool Identity(const H264SliceHeader& s, int l, int ref) {
  return s.lumaWeight[l][ref] == 1 << s.luma_log2_weight_denom && s.lumaOffset[l][ref] == 0 &&
         s.chromaWeight[l][ref][0] == 1 << s.chroma_log2_weight_denom && s.chromaOffset[l][ref][0] == 0 &&
         s.chromaWeight[l][ref][1] == 1 << s.chroma_log2_weight_denom && s.chromaOffset[l][ref][1] == 0;
}

template <int L>
void WeightOne(const H264ReconArgs* a, const H264DecContext* ctx) {
  const H264SliceHeader& s = ctx->slice;
  const H264MbMotion* m = ctx->nbMotion[kH264NbCurrent];
  int ref = (L == 0 ? m->refIdxL0[a->quadrant] : m->refIdxL1[a->quadrant]) >> a->fieldMb;
  if (Identity(s, L, ref)) return L == 0 ? ReconAdd(a, ctx) : ReconCopyAdd(a, ctx);
  int ld = static_cast<int>(s.luma_log2_weight_denom), cd = static_cast<int>(s.chroma_log2_weight_denom);
  OneList y{s.lumaWeight[L][ref], s.lumaOffset[L][ref], ld, L == 1};
  OneList cb{s.chromaWeight[L][ref][0], s.chromaOffset[L][ref][0], cd, L == 1};
  OneList cr{s.chromaWeight[L][ref][1], s.chromaOffset[L][ref][1], cd, L == 1};
  Finish(a, ctx, y, cb, cr);
}

void WeightBi(const H264ReconArgs* a, const H264DecContext* ctx) {
  const H264SliceHeader& s = ctx->slice;
  const H264MbMotion* m = ctx->nbMotion[kH264NbCurrent];
  int r0 = m->refIdxL0[a->quadrant] >> a->fieldMb, r1 = m->refIdxL1[a->quadrant] >> a->fieldMb;
  if (Identity(s, 0, r0) && Identity(s, 1, r1)) return ReconAverageAdd(a, ctx);
  int ld = static_cast<int>(s.luma_log2_weight_denom), cd = static_cast<int>(s.chroma_log2_weight_denom);
  BothLists y{s.lumaWeight[0][r0], s.lumaWeight[1][r1], (s.lumaOffset[0][r0] + s.lumaOffset[1][r1] + 1) >> 1, ld};
  BothLists cb{s.chromaWeight[0][r0][0], s.chromaWeight[1][r1][0],
               (s.chromaOffset[0][r0][0] + s.chromaOffset[1][r1][0] + 1) >> 1, cd};
  BothLists cr{s.chromaWeight[0][r0][1], s.chromaWeight[1][r1][1],
               (s.chromaOffset[0][r0][1] + s.chromaOffset[1][r1][1] + 1) >> 1, cd};
  Finish(a, ctx, y, cb, cr);
}

// Implicit weights come from the slice's table of the two indexes.
void WeightImplicit(const H264ReconArgs* a, const H264DecContext* ctx) {
  const H264MbMotion* m = ctx->nbMotion[kH264NbCurrent];
  int w1 = ctx->implicitWeight[m->refIdxL0[a->quadrant] & 31][m->refIdxL1[a->quadrant] & 31];
  if (w1 == 32) return ReconAverageAdd(a, ctx);  // (32 p0 + 32 p1 + 32) >> 6
  BothLists p{64 - w1, w1, 0, 5};
  Finish(a, ctx, p, p, p);
}

}  // namespace

const H264McFn H264LumaMc4x4Kernels[16] = {
    LumaTable<4, 4>::kTable[0],  LumaTable<4, 4>::kTable[1],  LumaTable<4, 4>::kTable[2],  LumaTable<4, 4>::kTable[3],
    LumaTable<4, 4>::kTable[4],  LumaTable<4, 4>::kTable[5],  LumaTable<4, 4>::kTable[6],  LumaTable<4, 4>::kTable[7],
    LumaTable<4, 4>::kTable[8],  LumaTable<4, 4>::kTable[9],  LumaTable<4, 4>::kTable[10], LumaTable<4, 4>::kTable[11],
    LumaTable<4, 4>::kTable[12], LumaTable<4, 4>::kTable[13], LumaTable<4, 4>::kTable[14], LumaTable<4, 4>::kTable[15]};
const H264McFn H264LumaMc4x8Kernels[16] = {
    LumaTable<4, 8>::kTable[0],  LumaTable<4, 8>::kTable[1],  LumaTable<4, 8>::kTable[2],  LumaTable<4, 8>::kTable[3],
    LumaTable<4, 8>::kTable[4],  LumaTable<4, 8>::kTable[5],  LumaTable<4, 8>::kTable[6],  LumaTable<4, 8>::kTable[7],
    LumaTable<4, 8>::kTable[8],  LumaTable<4, 8>::kTable[9],  LumaTable<4, 8>::kTable[10], LumaTable<4, 8>::kTable[11],
    LumaTable<4, 8>::kTable[12], LumaTable<4, 8>::kTable[13], LumaTable<4, 8>::kTable[14], LumaTable<4, 8>::kTable[15]};
const H264McFn H264LumaMc8x16Kernels[16] = {
    LumaTable<8, 16>::kTable[0],  LumaTable<8, 16>::kTable[1],  LumaTable<8, 16>::kTable[2],
    LumaTable<8, 16>::kTable[3],  LumaTable<8, 16>::kTable[4],  LumaTable<8, 16>::kTable[5],
    LumaTable<8, 16>::kTable[6],  LumaTable<8, 16>::kTable[7],  LumaTable<8, 16>::kTable[8],
    LumaTable<8, 16>::kTable[9],  LumaTable<8, 16>::kTable[10], LumaTable<8, 16>::kTable[11],
    LumaTable<8, 16>::kTable[12], LumaTable<8, 16>::kTable[13], LumaTable<8, 16>::kTable[14],
    LumaTable<8, 16>::kTable[15]};
const H264McFn H264ChromaMc4x2Kernels[4] = {&ChromaMc<4, 2, false, false>, &ChromaMc<4, 2, true, false>,
                                             &ChromaMc<4, 2, false, true>, &ChromaMc<4, 2, true, true>};
const H264McFn H264ChromaMc8x4Kernels[4] = {&ChromaMc<8, 4, false, false>, &ChromaMc<8, 4, true, false>,
                                             &ChromaMc<8, 4, false, true>, &ChromaMc<8, 4, true, true>};
const H264McFn H264Chroma2x2Kernels[4] = {&ChromaMc<2, 2, false, false>, &ChromaMc<2, 2, true, false>,
                                           &ChromaMc<2, 2, false, true>, &ChromaMc<2, 2, true, true>};

const H264ReconFn H264ReconKernels[12] = {
    ReconAdd, ReconAdd,       ReconCopyAdd,   ReconAverageAdd,  // default
    ReconAdd, WeightOne<0>,   WeightOne<1>,   WeightBi,         // explicit
    ReconAdd, ReconAdd,       ReconCopyAdd,   WeightImplicit};  // implicit
