// SSE2 kernels: each gives exactly the result of its plain twin and reads and
// writes only the bytes the plain one does.
#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "codecs/h264/h264_internal.h"
#include "codecs/h264/x86/h264_deblock_luma.h"
#include "codecs/h264/x86/h264_kernels_x86.h"
#include "codecs/h264/x86/h264_mc_sse2_common.h"

namespace {

// W bytes at p widened to 16-bit lanes.
template <int W>
inline __m128i LoadWide(const uint8_t* p) {
  const __m128i z = _mm_setzero_si128();
  return _mm_unpacklo_epi8(W == 4 ? Load4(p) : Load8(p), z);
}
template <int W>
inline void StoreW(uint8_t* p, __m128i v) {
  if constexpr (W == 4) Store4(p, v);
  else Store8(p, v);
}

// ---------------------------------------------------------------------------
// Luma motion compensation

// (1, -5, 20, 20, -5, 1) over six 16-bit vectors, unrounded.
inline __m128i Tap6(__m128i a, __m128i b, __m128i c, __m128i d, __m128i e, __m128i f) {
  __m128i cd = _mm_add_epi16(c, d), be = _mm_add_epi16(b, e), af = _mm_add_epi16(a, f);
  __m128i v = _mm_sub_epi16(_mm_slli_epi16(cd, 2), be);  // 4cd - be
  v = _mm_add_epi16(v, _mm_slli_epi16(v, 2));             // 20cd - 5be
  return _mm_add_epi16(v, af);
}

template <int W>
inline __m128i HTap(const uint8_t* g) {
  return Tap6(LoadWide<W>(g - 2), LoadWide<W>(g - 1), LoadWide<W>(g), LoadWide<W>(g + 1), LoadWide<W>(g + 2),
              LoadWide<W>(g + 3));
}

template <int W>
inline __m128i VTap(const uint8_t* g, int st) {
  return Tap6(LoadWide<W>(g - 2 * st), LoadWide<W>(g - st), LoadWide<W>(g), LoadWide<W>(g + st),
              LoadWide<W>(g + 2 * st), LoadWide<W>(g + 3 * st));
}

template <int W, int H, int XF, int YF>
void LumaMc(const H264McArgs* a) {
  const int st = a->lumaStride;
  const uint8_t* g = a->lumaSrc + (XF ? 2 : 0) + (YF ? 2 * st : 0);
  uint8_t* dst = a->lumaDst;
  if constexpr (XF == 0 && YF == 0) {
    for (int y = 0; y < H; ++y) StoreW<W>(LumaRow(dst, y), LoadBytes<W>(g + y * st));
    return;
  }
  constexpr bool kNeedJ = (XF == 2 && YF != 0) || (YF == 2 && XF != 0);
  __m128i b1[H + 5];
  if constexpr (kNeedJ) {
    for (int y = 0; y < H + 5; ++y) b1[y] = HTap<W>(g + (y - 2) * st);
  }
  for (int y = 0; y < H; ++y) {
    const uint8_t* G = g + y * st;
    __m128i v;
    if constexpr (XF == 0 && YF == 1) v = _mm_avg_epu8(LoadBytes<W>(G), Round5(VTap<W>(G, st)));
    else if constexpr (XF == 0 && YF == 2) v = Round5(VTap<W>(G, st));
    else if constexpr (XF == 0 && YF == 3) v = _mm_avg_epu8(LoadBytes<W>(G + st), Round5(VTap<W>(G, st)));
    else if constexpr (XF == 1 && YF == 0) v = _mm_avg_epu8(LoadBytes<W>(G), Round5(HTap<W>(G)));
    else if constexpr (XF == 1 && YF == 1) v = _mm_avg_epu8(Round5(HTap<W>(G)), Round5(VTap<W>(G, st)));
    else if constexpr (XF == 1 && YF == 2) v = _mm_avg_epu8(Round5(VTap<W>(G, st)), CentreTap(b1 + y));
    else if constexpr (XF == 1 && YF == 3) v = _mm_avg_epu8(Round5(VTap<W>(G, st)), Round5(HTap<W>(G + st)));
    else if constexpr (XF == 2 && YF == 0) v = Round5(HTap<W>(G));
    else if constexpr (XF == 2 && YF == 1) v = _mm_avg_epu8(Round5(HTap<W>(G)), CentreTap(b1 + y));
    else if constexpr (XF == 2 && YF == 2) v = CentreTap(b1 + y);
    else if constexpr (XF == 2 && YF == 3) v = _mm_avg_epu8(CentreTap(b1 + y), Round5(HTap<W>(G + st)));
    else if constexpr (XF == 3 && YF == 0) v = _mm_avg_epu8(LoadBytes<W>(G + 1), Round5(HTap<W>(G)));
    else if constexpr (XF == 3 && YF == 1) v = _mm_avg_epu8(Round5(HTap<W>(G)), Round5(VTap<W>(G + 1, st)));
    else if constexpr (XF == 3 && YF == 2) v = _mm_avg_epu8(CentreTap(b1 + y), Round5(VTap<W>(G + 1, st)));
    else v = _mm_avg_epu8(Round5(VTap<W>(G + 1, st)), Round5(HTap<W>(G + st)));
    StoreW<W>(LumaRow(dst, y), v);
  }
}

template <int W, int H, int I>
constexpr H264McFn LumaEntry() {
  return &LumaMc<W, H, I / 4, I % 4>;
}

template <int W, int H, int... I>
struct LumaTableOf {
  static constexpr H264McFn kTable[16] = {LumaEntry<W, H, I>()...};
};

template <int W, int H>
using LumaTable = LumaTableOf<W, H, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15>;

// ---------------------------------------------------------------------------
// Chroma motion compensation

template <int W, int H, bool X, bool Y>
void ChromaMc(const H264McArgs* a) {
  const int st = a->chromaStride;
  const int xf = X ? a->chromaFracX : 0, yf = Y ? a->chromaFracY : 0;
  const __m128i wA = _mm_set1_epi16(static_cast<int16_t>((8 - xf) * (8 - yf)));
  const __m128i wB = _mm_set1_epi16(static_cast<int16_t>(xf * (8 - yf)));
  const __m128i wC = _mm_set1_epi16(static_cast<int16_t>((8 - xf) * yf));
  const __m128i wD = _mm_set1_epi16(static_cast<int16_t>(xf * yf));
  const __m128i rnd = _mm_set1_epi16(32);
  for (int plane = 0; plane < 2; ++plane) {
    const uint8_t* src = plane ? a->crSrc : a->cbSrc;
    uint8_t* dst = plane ? a->crDst : a->cbDst;
    for (int y = 0; y < H; ++y) {
      const uint8_t* p = src + y * st;
      __m128i v = _mm_mullo_epi16(LoadWide<W>(p), wA);
      if constexpr (X) v = _mm_add_epi16(v, _mm_mullo_epi16(LoadWide<W>(p + 1), wB));
      if constexpr (Y) v = _mm_add_epi16(v, _mm_mullo_epi16(LoadWide<W>(p + st), wC));
      if constexpr (X && Y) v = _mm_add_epi16(v, _mm_mullo_epi16(LoadWide<W>(p + st + 1), wD));
      v = _mm_srli_epi16(_mm_add_epi16(v, rnd), 6);
      StoreW<W>(dst + 8 * y, _mm_packus_epi16(v, v));
    }
  }
}

constexpr H264McFn kChromaMc4x2[4] = {&ChromaMc<4, 2, false, false>, &ChromaMc<4, 2, true, false>,
                                      &ChromaMc<4, 2, false, true>, &ChromaMc<4, 2, true, true>};
constexpr H264McFn kChromaMc8x4[4] = {&ChromaMc<8, 4, false, false>, &ChromaMc<8, 4, true, false>,
                                      &ChromaMc<8, 4, false, true>, &ChromaMc<8, 4, true, true>};

// ---------------------------------------------------------------------------
// Inverse transforms

inline void Transpose4x4(__m128i& r0, __m128i& r1, __m128i& r2, __m128i& r3) {
  // rows of four 16-bit values in the low halves
  __m128i a = _mm_unpacklo_epi16(r0, r1);  // 00 10 01 11 02 12 03 13
  __m128i b = _mm_unpacklo_epi16(r2, r3);  // 20 30 21 31 22 32 23 33
  __m128i lo = _mm_unpacklo_epi32(a, b);   // 00 10 20 30 01 11 21 31
  __m128i hi = _mm_unpackhi_epi32(a, b);   // 02 12 22 32 03 13 23 33
  r0 = lo;
  r1 = _mm_unpackhi_epi64(lo, lo);
  r2 = hi;
  r3 = _mm_unpackhi_epi64(hi, hi);
}

inline void Idct4Pass(__m128i& d0, __m128i& d1, __m128i& d2, __m128i& d3) {
  __m128i e = _mm_add_epi16(d0, d2), f = _mm_sub_epi16(d0, d2);
  __m128i g = _mm_sub_epi16(_mm_srai_epi16(d1, 1), d3), h = _mm_add_epi16(d1, _mm_srai_epi16(d3, 1));
  d0 = _mm_add_epi16(e, h);
  d1 = _mm_add_epi16(f, g);
  d2 = _mm_sub_epi16(f, g);
  d3 = _mm_sub_epi16(e, h);
}

void Idct4x4(const int16_t* coef, int16_t* residual) {
  __m128i r0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(coef));
  __m128i r1 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(coef + 4));
  __m128i r2 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(coef + 8));
  __m128i r3 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(coef + 12));
  Transpose4x4(r0, r1, r2, r3);
  Idct4Pass(r0, r1, r2, r3);
  Transpose4x4(r0, r1, r2, r3);
  Idct4Pass(r0, r1, r2, r3);
  const __m128i rnd = _mm_set1_epi16(32);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(residual), _mm_srai_epi16(_mm_add_epi16(r0, rnd), 6));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(residual + 8), _mm_srai_epi16(_mm_add_epi16(r1, rnd), 6));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(residual + 16), _mm_srai_epi16(_mm_add_epi16(r2, rnd), 6));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(residual + 24), _mm_srai_epi16(_mm_add_epi16(r3, rnd), 6));
}

inline void Transpose8x8(__m128i* r) {
  __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
  __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
  __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
  __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
  __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  r[0] = _mm_unpacklo_epi64(b0, b4);
  r[1] = _mm_unpackhi_epi64(b0, b4);
  r[2] = _mm_unpacklo_epi64(b1, b5);
  r[3] = _mm_unpackhi_epi64(b1, b5);
  r[4] = _mm_unpacklo_epi64(b2, b6);
  r[5] = _mm_unpackhi_epi64(b2, b6);
  r[6] = _mm_unpacklo_epi64(b3, b7);
  r[7] = _mm_unpackhi_epi64(b3, b7);
}

inline void Idct8Pass(__m128i* d) {
  auto add = [](__m128i x, __m128i y) { return _mm_add_epi16(x, y); };
  auto sub = [](__m128i x, __m128i y) { return _mm_sub_epi16(x, y); };
  auto sr = [](__m128i x, int n) { return _mm_srai_epi16(x, n); };
  __m128i e0 = add(d[0], d[4]);
  __m128i e1 = sub(sub(sub(d[5], d[3]), d[7]), sr(d[7], 1));
  __m128i e2 = sub(d[0], d[4]);
  __m128i e3 = sub(sub(add(d[1], d[7]), d[3]), sr(d[3], 1));
  __m128i e4 = sub(sr(d[2], 1), d[6]);
  __m128i e5 = add(add(sub(d[7], d[1]), d[5]), sr(d[5], 1));
  __m128i e6 = add(d[2], sr(d[6], 1));
  __m128i e7 = add(add(add(d[3], d[5]), d[1]), sr(d[1], 1));
  __m128i f0 = add(e0, e6), f1 = add(e1, sr(e7, 2)), f2 = add(e2, e4), f3 = add(e3, sr(e5, 2));
  __m128i f4 = sub(e2, e4), f5 = sub(sr(e3, 2), e5), f6 = sub(e0, e6), f7 = sub(e7, sr(e1, 2));
  d[0] = add(f0, f7);
  d[1] = add(f2, f5);
  d[2] = add(f4, f3);
  d[3] = add(f6, f1);
  d[4] = sub(f6, f1);
  d[5] = sub(f4, f3);
  d[6] = sub(f2, f5);
  d[7] = sub(f0, f7);
}

void Idct8x8(const int16_t* coef, int16_t* residual) {
  __m128i r[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 8 * i));
  Transpose8x8(r);
  Idct8Pass(r);
  Transpose8x8(r);
  r[0] = _mm_add_epi16(r[0], _mm_set1_epi16(32));
  Idct8Pass(r);
  for (int i = 0; i < 8; ++i)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(residual + 8 * i), _mm_srai_epi16(r[i], 6));
}

// ---------------------------------------------------------------------------
// Edge filter helpers (the luma filters are in h264_deblock_luma.h)

using luma_edge::Abs16;
using luma_edge::Clamp;
using luma_edge::Select;

inline __m128i Narrow(__m128i v) { return _mm_packus_epi16(v, v); }

// ---------------------------------------------------------------------------
// Block moves

void StoreMbLuma(uint8_t* dst, const uint8_t* samples, int pitch) {
  for (int y = 0; y < 16; ++y) {
    const uint8_t* row = samples + 128 * (y >> 3) + 8 * (y & 7);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + y * pitch), _mm_unpacklo_epi64(Load8(row), Load8(row + 64)));
  }
}

void Transpose8x8Bytes(uint8_t* block) {
  __m128i r01 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
  __m128i r23 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16));
  __m128i r45 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 32));
  __m128i r67 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 48));
  // rows 0/1 interleaved byte-wise, and so on
  __m128i a0 = _mm_unpacklo_epi8(r01, _mm_srli_si128(r01, 8));  // 00 10 01 11 ... 07 17
  __m128i a1 = _mm_unpacklo_epi8(r23, _mm_srli_si128(r23, 8));
  __m128i a2 = _mm_unpacklo_epi8(r45, _mm_srli_si128(r45, 8));
  __m128i a3 = _mm_unpacklo_epi8(r67, _mm_srli_si128(r67, 8));
  __m128i b0 = _mm_unpacklo_epi16(a0, a1), b1 = _mm_unpackhi_epi16(a0, a1);  // columns 0-3 / 4-7 of rows 0-3
  __m128i b2 = _mm_unpacklo_epi16(a2, a3), b3 = _mm_unpackhi_epi16(a2, a3);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(block), _mm_unpacklo_epi32(b0, b2));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 16), _mm_unpackhi_epi32(b0, b2));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 32), _mm_unpacklo_epi32(b1, b3));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 48), _mm_unpackhi_epi32(b1, b3));
}

void Transpose8x8Pair(uint8_t* a, uint8_t* b) {
  Transpose8x8Bytes(a);
  Transpose8x8Bytes(b);
}

// ---------------------------------------------------------------------------
// Chroma deblocking: N samples of one plane (8, or 4 for the half edges)

// Lane i carries byte i * 8 / N / 2 of `word` (alpha lanes) or of the tc0
// bytes.
template <int N>
inline __m128i EdgeLanes(uint32_t word) {
  if constexpr (N == 8) return luma_edge::Lanes(word);
  else return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(word)), _mm_setzero_si128());
}

template <int N>
inline __m128i ChromaMask(__m128i a, __m128i b, __m128i p1, __m128i p0, __m128i q0, __m128i q1) {
  __m128i on = _mm_and_si128(_mm_cmpgt_epi16(a, Abs16(p0, q0)),
                             _mm_and_si128(_mm_cmpgt_epi16(b, Abs16(p1, p0)), _mm_cmpgt_epi16(b, Abs16(q1, q0))));
  on = _mm_andnot_si128(_mm_cmpeq_epi16(a, _mm_setzero_si128()), on);
  if constexpr (N == 4) on = _mm_unpacklo_epi64(on, _mm_setzero_si128());
  return on;
}

template <int N>
void ChromaNormal(uint8_t* p, uint8_t* q, int qPitch, uint32_t alpha, uint32_t beta, const uint8_t* tc0Bytes) {
  if (!alpha) return;
  const __m128i z = _mm_setzero_si128();
  __m128i a = EdgeLanes<N>(alpha);
  __m128i b = _mm_set1_epi16(static_cast<int16_t>(beta & 0xFF));
  __m128i p1 = LoadWide<N>(p), p0 = LoadWide<N>(p + 8), q0 = LoadWide<N>(q), q1 = LoadWide<N>(q + qPitch);
  __m128i on = ChromaMask<N>(a, b, p1, p0, q0, q1);
  if (_mm_movemask_epi8(on) == 0) return;
  uint32_t tcWord = 0;
  std::memcpy(&tcWord, tc0Bytes, 4);
  __m128i tc = _mm_add_epi16(EdgeLanes<N>(tcWord), _mm_set1_epi16(1));
  __m128i d = _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1)),
                            _mm_set1_epi16(4));
  d = Clamp(_mm_srai_epi16(d, 3), _mm_sub_epi16(z, tc), tc);
  StoreW<N>(p + 8, Narrow(Select(on, _mm_add_epi16(p0, d), p0)));
  StoreW<N>(q, Narrow(Select(on, _mm_sub_epi16(q0, d), q0)));
}

template <int N>
void ChromaStrong(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta) {
  if (!alpha) return;
  __m128i a = EdgeLanes<N>(alpha);
  __m128i b = _mm_set1_epi16(static_cast<int16_t>(beta & 0xFF));
  __m128i p1 = LoadWide<N>(p), p0 = LoadWide<N>(p + 8), q0 = LoadWide<N>(q), q1 = LoadWide<N>(q + 8);
  __m128i on = ChromaMask<N>(a, b, p1, p0, q0, q1);
  if (_mm_movemask_epi8(on) == 0) return;
  const __m128i two = _mm_set1_epi16(2);
  __m128i np0 = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(p1, 1), p0), _mm_add_epi16(q1, two)), 2);
  __m128i nq0 = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(q1, 1), q0), _mm_add_epi16(p1, two)), 2);
  StoreW<N>(p + 8, Narrow(Select(on, np0, p0)));
  StoreW<N>(q, Narrow(Select(on, nq0, q0)));
}

void ChromaEdgeFilter(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb, uint32_t betaCb,
                      uint32_t alphaCr, uint32_t betaCr, const uint8_t* tc0, int qPitch) {
  ChromaNormal<8>(pCb, qCb, qPitch, alphaCb, betaCb, tc0);
  ChromaNormal<8>(pCr, qCr, qPitch, alphaCr, betaCr, tc0 + 4);
}

void ChromaEdgeFilterStrong(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb,
                            uint32_t betaCb, uint32_t alphaCr, uint32_t betaCr) {
  ChromaStrong<8>(pCb, qCb, alphaCb, betaCb);
  ChromaStrong<8>(pCr, qCr, alphaCr, betaCr);
}

void ChromaEdgeFilterHalf(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb, uint32_t betaCb,
                          uint32_t alphaCr, uint32_t betaCr, const uint8_t* tc0) {
  ChromaNormal<4>(pCb, qCb, 8, alphaCb, betaCb, tc0);
  ChromaNormal<4>(pCr, qCr, 8, alphaCr, betaCr, tc0 + 4);
}

void ChromaEdgeFilterStrongHalf(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb,
                                uint32_t betaCb, uint32_t alphaCr, uint32_t betaCr) {
  ChromaStrong<4>(pCb, qCb, alphaCb, betaCb);
  ChromaStrong<4>(pCr, qCr, alphaCr, betaCr);
}

// ---------------------------------------------------------------------------
// Quadrant reconstruction: residual added with saturation, which is the
// clipping of the plain kernels for any 16-bit residual.

constexpr int kChromaQuadrant[4] = {0, 4, 32, 36};

// Prediction of the list-1 block or of the average of both lists.
enum class Pred { kL0, kL1, kAverage };

template <Pred P>
inline __m128i Predict(__m128i s0, __m128i s1) {
  if constexpr (P == Pred::kL0) return s0;
  else if constexpr (P == Pred::kL1) return s1;
  else return _mm_avg_epu8(s0, s1);
}

inline __m128i AddResidual(__m128i bytes, const int16_t* res) {
  const __m128i z = _mm_setzero_si128();
  __m128i lo = _mm_adds_epi16(_mm_unpacklo_epi8(bytes, z), _mm_loadu_si128(reinterpret_cast<const __m128i*>(res)));
  __m128i hi =
      _mm_adds_epi16(_mm_unpackhi_epi8(bytes, z), _mm_loadu_si128(reinterpret_cast<const __m128i*>(res + 8)));
  return _mm_packus_epi16(lo, hi);
}

template <Pred P>
void Recon(const H264ReconArgs* a, const H264DecContext* ctx) {
  if constexpr (P != Pred::kL0) {
    if (!a->lumaL1 || !a->cbL1 || !a->crL1) return H264ReconKernels[P == Pred::kL1 ? 2 : 3](a, ctx);
  }
  const H264MbWork& w = ctx->mb;
  const int q = a->quadrant;
  const bool lumaRes = (w.cbp >> q) & 1;
  if (P != Pred::kL0 || lumaRes) {
    const int16_t* res = w.residual + 64 * q;
    for (int i = 0; i < 64; i += 16) {
      __m128i s0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a->luma + i));
      __m128i s1 = P == Pred::kL0 ? s0 : _mm_loadu_si128(reinterpret_cast<const __m128i*>(a->lumaL1 + i));
      __m128i v = Predict<P>(s0, s1);
      if (lumaRes) v = AddResidual(v, res + i);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(a->luma + i), v);
    }
  }
  const bool chromaRes = w.cbp >= 16;
  if (P == Pred::kL0 && !chromaRes) return;
  const int16_t* resC[2] = {w.residual + 256 + kChromaQuadrant[q], w.residual + 320 + kChromaQuadrant[q]};
  uint8_t* dstC[2] = {a->cb, a->cr};
  const uint8_t* l1C[2] = {a->cbL1, a->crL1};
  const __m128i z = _mm_setzero_si128();
  for (int c = 0; c < 2; ++c) {
    for (int y = 0; y < 4; y += 2) {
      uint8_t* d = dstC[c] + 8 * y;
      __m128i s0 = _mm_unpacklo_epi32(Load4(d), Load4(d + 8));
      __m128i s1 = s0;
      if constexpr (P != Pred::kL0) s1 = _mm_unpacklo_epi32(Load4(l1C[c] + 8 * y), Load4(l1C[c] + 8 * y + 8));
      __m128i v = Predict<P>(s0, s1);
      if (chromaRes) {
        const int16_t* r = resC[c] + 8 * y;
        __m128i rr = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(r)),
                                        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r + 8)));
        __m128i sum = _mm_adds_epi16(_mm_unpacklo_epi8(v, z), rr);
        v = _mm_packus_epi16(sum, sum);
      }
      Store4(d, v);
      Store4(d + 8, _mm_srli_si128(v, 4));
    }
  }
}

// Weighted prediction: the per-sample formula on 32-bit intermediates,
// (a * wa + b * wb + rnd) >> shift, plus the offset, clipped to 0..255. One
// list weighs b = 0.
struct Weights {
  __m128i w;      // (wa, wb) pairs
  __m128i rnd;    // 32-bit
  __m128i shift;  // count for _mm_sra_epi32
  __m128i off;    // 32-bit
};

inline Weights MakeWeights(int wa, int wb, int rnd, int shift, int off) {
  Weights k;
  k.w = _mm_set1_epi32(static_cast<int>((static_cast<uint32_t>(wb) << 16) | (static_cast<uint32_t>(wa) & 0xFFFF)));
  k.rnd = _mm_set1_epi32(rnd);
  k.shift = _mm_cvtsi32_si128(shift);
  k.off = _mm_set1_epi32(off);
  return k;
}

// Eight samples of each list as bytes in the low half.
inline __m128i Weigh(__m128i a, __m128i b, const Weights& k) {
  const __m128i z = _mm_setzero_si128();
  __m128i ab = _mm_unpacklo_epi8(a, z), bb = _mm_unpacklo_epi8(b, z);
  __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(ab, bb), k.w);
  __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(ab, bb), k.w);
  lo = _mm_add_epi32(_mm_sra_epi32(_mm_add_epi32(lo, k.rnd), k.shift), k.off);
  hi = _mm_add_epi32(_mm_sra_epi32(_mm_add_epi32(hi, k.rnd), k.shift), k.off);
  return Clamp(_mm_packs_epi32(lo, hi), z, _mm_set1_epi16(255));
}

// Weighted prediction of a quadrant with its residual; `useL1` says whether
// the formula reads list 1.
template <bool kUseL1>
void FinishWeighted(const H264ReconArgs* a, const H264DecContext* ctx, const Weights& wy, const Weights& wcb,
                    const Weights& wcr) {
  const H264MbWork& w = ctx->mb;
  const int q = a->quadrant;
  const bool lumaRes = (w.cbp >> q) & 1;
  const __m128i z = _mm_setzero_si128();
  const int16_t* res = w.residual + 64 * q;
  for (int i = 0; i < 64; i += 8) {
    __m128i v = Weigh(Load8(a->luma + i), kUseL1 ? Load8(a->lumaL1 + i) : z, wy);
    if (lumaRes) v = _mm_adds_epi16(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(res + i)));
    Store8(a->luma + i, _mm_packus_epi16(v, v));
  }
  const bool chromaRes = w.cbp >= 16;
  const int16_t* resC[2] = {w.residual + 256 + kChromaQuadrant[q], w.residual + 320 + kChromaQuadrant[q]};
  uint8_t* dstC[2] = {a->cb, a->cr};
  const uint8_t* l1C[2] = {a->cbL1, a->crL1};
  const Weights* wc[2] = {&wcb, &wcr};
  for (int c = 0; c < 2; ++c) {
    for (int y = 0; y < 4; y += 2) {
      uint8_t* d = dstC[c] + 8 * y;
      __m128i s0 = _mm_unpacklo_epi32(Load4(d), Load4(d + 8));
      __m128i s1 = z;
      if constexpr (kUseL1) s1 = _mm_unpacklo_epi32(Load4(l1C[c] + 8 * y), Load4(l1C[c] + 8 * y + 8));
      __m128i v = Weigh(s0, s1, *wc[c]);
      if (chromaRes) {
        const int16_t* r = resC[c] + 8 * y;
        v = _mm_adds_epi16(v, _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(r)),
                                                 _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r + 8))));
      }
      v = _mm_packus_epi16(v, v);
      Store4(d, v);
      Store4(d + 8, _mm_srli_si128(v, 4));
    }
  }
}

inline bool IdentityWeights(const H264SliceHeader& s, int l, int ref) {
  return s.lumaWeight[l][ref] == 1 << s.luma_log2_weight_denom && s.lumaOffset[l][ref] == 0 &&
         s.chromaWeight[l][ref][0] == 1 << s.chroma_log2_weight_denom && s.chromaOffset[l][ref][0] == 0 &&
         s.chromaWeight[l][ref][1] == 1 << s.chroma_log2_weight_denom && s.chromaOffset[l][ref][1] == 0;
}

inline bool HasL1(const H264ReconArgs* a) { return a->lumaL1 && a->cbL1 && a->crL1; }

// Explicit weighting of one list.
template <int L>
void WeightOne(const H264ReconArgs* a, const H264DecContext* ctx) {
  const H264SliceHeader& s = ctx->slice;
  const H264MbMotion* m = ctx->nbMotion[kH264NbCurrent];
  int ref = (L == 0 ? m->refIdxL0[a->quadrant] : m->refIdxL1[a->quadrant]) >> a->fieldMb;
  if (L == 1 && !HasL1(a)) return H264ReconKernels[6](a, ctx);
  if (IdentityWeights(s, L, ref)) return L == 0 ? Recon<Pred::kL0>(a, ctx) : Recon<Pred::kL1>(a, ctx);
  auto one = [](int wt, int off, uint32_t logWD) {
    int ld = static_cast<int>(logWD);
    // With the list-1 samples in lane b, the weight moves there.
    return MakeWeights(L == 0 ? wt : 0, L == 0 ? 0 : wt, ld >= 1 ? 1 << (ld - 1) : 0, ld, off);
  };
  Weights wy = one(s.lumaWeight[L][ref], s.lumaOffset[L][ref], s.luma_log2_weight_denom);
  Weights wcb = one(s.chromaWeight[L][ref][0], s.chromaOffset[L][ref][0], s.chroma_log2_weight_denom);
  Weights wcr = one(s.chromaWeight[L][ref][1], s.chromaOffset[L][ref][1], s.chroma_log2_weight_denom);
  FinishWeighted<L == 1>(a, ctx, wy, wcb, wcr);
}

// Explicit weighting of both lists.
void WeightBi(const H264ReconArgs* a, const H264DecContext* ctx) {
  if (!HasL1(a)) return H264ReconKernels[7](a, ctx);
  const H264SliceHeader& s = ctx->slice;
  const H264MbMotion* m = ctx->nbMotion[kH264NbCurrent];
  int r0 = m->refIdxL0[a->quadrant] >> a->fieldMb, r1 = m->refIdxL1[a->quadrant] >> a->fieldMb;
  if (IdentityWeights(s, 0, r0) && IdentityWeights(s, 1, r1)) return Recon<Pred::kAverage>(a, ctx);
  int ld = static_cast<int>(s.luma_log2_weight_denom), cd = static_cast<int>(s.chroma_log2_weight_denom);
  Weights wy = MakeWeights(s.lumaWeight[0][r0], s.lumaWeight[1][r1], 1 << ld, ld + 1,
                           (s.lumaOffset[0][r0] + s.lumaOffset[1][r1] + 1) >> 1);
  Weights wc[2];
  for (int c = 0; c < 2; ++c)
    wc[c] = MakeWeights(s.chromaWeight[0][r0][c], s.chromaWeight[1][r1][c], 1 << cd, cd + 1,
                        (s.chromaOffset[0][r0][c] + s.chromaOffset[1][r1][c] + 1) >> 1);
  FinishWeighted<true>(a, ctx, wy, wc[0], wc[1]);
}

// Implicit weights come from the slice's table of the two indexes.
void WeightImplicit(const H264ReconArgs* a, const H264DecContext* ctx) {
  if (!HasL1(a)) return H264ReconKernels[11](a, ctx);
  const H264MbMotion* m = ctx->nbMotion[kH264NbCurrent];
  int w1 = ctx->implicitWeight[m->refIdxL0[a->quadrant] & 31][m->refIdxL1[a->quadrant] & 31];
  if (w1 == 32) return Recon<Pred::kAverage>(a, ctx);
  Weights k = MakeWeights(64 - w1, w1, 32, 6, 0);
  FinishWeighted<true>(a, ctx, k, k, k);
}

// ---------------------------------------------------------------------------
// Intra prediction of whole macroblocks (16x16 luma, 8x8 chroma): the
// prediction clipped, the residual added with 16-bit wrap-around like the
// plain kernels, then clipped again.

inline __m128i ClipByte16(__m128i v) { return Clamp(v, _mm_setzero_si128(), _mm_set1_epi16(255)); }

// Row y of a 16x16 prediction (two vectors of eight 16-bit samples) into the
// quadrant layout.
inline void StoreLumaRow(uint8_t* s, const int16_t* res, int y, __m128i lo, __m128i hi) {
  int p = H264MbLumaPos(0, y);
  lo = _mm_add_epi16(lo, _mm_loadu_si128(reinterpret_cast<const __m128i*>(res + p)));
  hi = _mm_add_epi16(hi, _mm_loadu_si128(reinterpret_cast<const __m128i*>(res + p + 64)));
  Store8(s + p, _mm_packus_epi16(lo, lo));
  Store8(s + p + 64, _mm_packus_epi16(hi, hi));
}

template <int kMode>
void Intra16x16(uint8_t* s, const int16_t* residual) {
  const __m128i z = _mm_setzero_si128();
  const uint8_t* top = s + kMbSamplesTop;
  const uint8_t* left = s + kMbSamplesLeft;
  if constexpr (kMode == 0) {
    __m128i lo = _mm_unpacklo_epi8(Load8(top), z), hi = _mm_unpacklo_epi8(Load8(top + 8), z);
    for (int y = 0; y < 16; ++y) StoreLumaRow(s, residual, y, lo, hi);
  } else if constexpr (kMode == 1) {
    for (int y = 0; y < 16; ++y) {
      __m128i v = _mm_set1_epi16(left[y]);
      StoreLumaRow(s, residual, y, v, v);
    }
  } else if constexpr (kMode == 2) {
    bool l = s[kMbSamplesAvailLeft] && s[kMbSamplesAvailLeft + 2];
    bool t = s[kMbSamplesAvailTop] != 0;
    __m128i sumT = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top)), z);
    __m128i sumL = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(left)), z);
    int st = _mm_cvtsi128_si32(sumT) + _mm_extract_epi16(sumT, 4);
    int sl = _mm_cvtsi128_si32(sumL) + _mm_extract_epi16(sumL, 4);
    int dc = l && t ? (st + sl + 16) >> 5 : l ? (sl + 8) >> 4 : t ? (st + 8) >> 4 : 128;
    __m128i v = _mm_set1_epi16(static_cast<int16_t>(dc));
    for (int y = 0; y < 16; ++y) StoreLumaRow(s, residual, y, v, v);
  } else {
    int corner = s[kMbSamplesCorner];
    int h = 0, v = 0;
    for (int i = 0; i < 8; ++i) {
      h += (i + 1) * (top[8 + i] - (6 - i >= 0 ? top[6 - i] : corner));
      v += (i + 1) * (left[8 + i] - (6 - i >= 0 ? left[6 - i] : corner));
    }
    int a = 16 * (left[15] + top[15]);
    int b = (5 * h + 32) >> 6, c = (5 * v + 32) >> 6;
    // Every intermediate stays within 16 bits: |a| <= 8160, |b|, |c| <= 717.
    const __m128i bx = _mm_mullo_epi16(_mm_set1_epi16(static_cast<int16_t>(b)), _mm_set_epi16(0, -1, -2, -3, -4, -5, -6, -7));
    const __m128i b8 = _mm_set1_epi16(static_cast<int16_t>(8 * b));
    for (int y = 0; y < 16; ++y) {
      __m128i base = _mm_add_epi16(bx, _mm_set1_epi16(static_cast<int16_t>(a + c * (y - 7) + 16)));
      __m128i lo = ClipByte16(_mm_srai_epi16(base, 5));
      __m128i hi = ClipByte16(_mm_srai_epi16(_mm_add_epi16(base, b8), 5));
      StoreLumaRow(s, residual, y, lo, hi);
    }
  }
}

// One chroma plane: blk points at the 8x8 block, its left column at +64, top
// row at +72 and corner at +80; rows of the prediction in 16-bit lanes.
inline void StoreChromaRow(uint8_t* blk, const int16_t* res, bool coded, int y, __m128i v) {
  if (coded) v = _mm_add_epi16(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(res + 8 * y)));
  Store8(blk + 8 * y, _mm_packus_epi16(v, v));
}

template <int kMode>
void IntraChromaPlane(const uint8_t* s, uint8_t* blk, const int16_t* res, bool coded) {
  const __m128i z = _mm_setzero_si128();
  const uint8_t* left = blk + 64;
  const uint8_t* top = blk + 72;
  if constexpr (kMode == 0) {
    bool t = s[kMbSamplesAvailTop] != 0;
    int dc[2][2];
    for (int by = 0; by < 2; ++by)
      for (int bx = 0; bx < 2; ++bx) {
        bool l = s[kMbSamplesAvailLeft + 2 * by] != 0;
        int st = top[4 * bx] + top[4 * bx + 1] + top[4 * bx + 2] + top[4 * bx + 3];
        int sl = left[4 * by] + left[4 * by + 1] + left[4 * by + 2] + left[4 * by + 3];
        int d = 128;
        if (bx == by) {
          d = l && t ? (st + sl + 4) >> 3 : l ? (sl + 2) >> 2 : t ? (st + 2) >> 2 : 128;
        } else if (bx == 1) {
          d = t ? (st + 2) >> 2 : l ? (sl + 2) >> 2 : 128;
        } else {
          d = l ? (sl + 2) >> 2 : t ? (st + 2) >> 2 : 128;
        }
        dc[by][bx] = d;
      }
    for (int y = 0; y < 8; ++y) {
      const int* d = dc[y >> 2];
      __m128i v = _mm_unpacklo_epi64(_mm_set1_epi16(static_cast<int16_t>(d[0])), _mm_set1_epi16(static_cast<int16_t>(d[1])));
      StoreChromaRow(blk, res, coded, y, v);
    }
  } else if constexpr (kMode == 1) {
    for (int y = 0; y < 8; ++y) StoreChromaRow(blk, res, coded, y, _mm_set1_epi16(left[y]));
  } else if constexpr (kMode == 2) {
    __m128i v = _mm_unpacklo_epi8(Load8(top), z);
    for (int y = 0; y < 8; ++y) StoreChromaRow(blk, res, coded, y, v);
  } else {
    int corner = blk[80];
    int h = 0, v = 0;
    for (int i = 0; i < 4; ++i) {
      h += (i + 1) * (top[4 + i] - (2 - i >= 0 ? top[2 - i] : corner));
      v += (i + 1) * (left[4 + i] - (2 - i >= 0 ? left[2 - i] : corner));
    }
    int a = 16 * (left[7] + top[7]);
    int b = (34 * h + 32) >> 6, c = (34 * v + 32) >> 6;
    // |a| <= 8160, |b|, |c| <= 1355: the sums stay within 16 bits.
    const __m128i bx = _mm_mullo_epi16(_mm_set1_epi16(static_cast<int16_t>(b)), _mm_set_epi16(4, 3, 2, 1, 0, -1, -2, -3));
    for (int y = 0; y < 8; ++y) {
      __m128i row = _mm_add_epi16(bx, _mm_set1_epi16(static_cast<int16_t>(a + c * (y - 3) + 16)));
      StoreChromaRow(blk, res, coded, y, ClipByte16(_mm_srai_epi16(row, 5)));
    }
  }
}

template <int kMode>
void IntraChroma(uint8_t* s, uint8_t* cb, uint8_t* cr, const int16_t* resCb, const int16_t* resCr,
                 uint32_t chromaCbp) {
  IntraChromaPlane<kMode>(s, cb, resCb, chromaCbp != 0);
  IntraChromaPlane<kMode>(s, cr, resCr, chromaCbp != 0);
}

// Intra_4x4 vertical, horizontal and DC; the other modes stay plain.
template <int kMode>
void Intra4x4(int block, uint8_t* s, const int16_t* residual, uint32_t cbp) {
  const int bx = 4 * (((block >> 2) & 1) * 2 + (block & 1)), by = 4 * ((block >> 3) * 2 + ((block >> 1) & 1));
  const int pos = H264MbLumaPos(bx, by);
  const uint8_t* top = by == 0 ? s + kMbSamplesTop + bx : s + H264MbLumaPos(bx, by - 1);
  // The left column: four bytes apart by 8 inside the macroblock, or in a row.
  auto left = [&](int i) { return bx == 0 ? s[kMbSamplesLeft + by + i] : s[H264MbLumaPos(bx - 1, by + i)]; };
  const __m128i z = _mm_setzero_si128();
  __m128i rows01, rows23;  // rows 0 and 1, rows 2 and 3: four 16-bit samples each
  if constexpr (kMode == 0) {
    rows01 = rows23 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(Load4(top), Load4(top)), z);
  } else if constexpr (kMode == 1) {
    rows01 = _mm_unpacklo_epi64(_mm_set1_epi16(left(0)), _mm_set1_epi16(left(1)));
    rows23 = _mm_unpacklo_epi64(_mm_set1_epi16(left(2)), _mm_set1_epi16(left(3)));
  } else {
    bool l = bx == 0 ? s[kMbSamplesAvailLeft + by / 4] != 0 : true;
    bool t = by == 0 ? s[kMbSamplesAvailTop] != 0 : true;
    int st = top[0] + top[1] + top[2] + top[3];
    int sl = left(0) + left(1) + left(2) + left(3);
    int dc = l && t ? (st + sl + 4) >> 3 : l ? (sl + 2) >> 2 : t ? (st + 2) >> 2 : 128;
    rows01 = rows23 = _mm_set1_epi16(static_cast<int16_t>(dc));
  }
  uint8_t* d = s + pos;
  if ((cbp >> (block >> 2)) & 1) {
    const int16_t* r = residual + pos;
    auto two = [](const int16_t* a, const int16_t* b) {
      return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)),
                                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b)));
    };
    rows01 = _mm_add_epi16(rows01, two(r, r + 8));
    rows23 = _mm_add_epi16(rows23, two(r + 16, r + 24));
  }
  __m128i v = _mm_packus_epi16(rows01, rows23);
  Store4(d, v);
  Store4(d + 8, _mm_srli_si128(v, 4));
  Store4(d + 16, _mm_srli_si128(v, 8));
  Store4(d + 24, _mm_srli_si128(v, 12));
}

const H264Intra4x4Fn kIntra4x4[9] = {Intra4x4<0>,          Intra4x4<1>,          Intra4x4<2>,
                                     H264Intra4x4Kernels[3], H264Intra4x4Kernels[4], H264Intra4x4Kernels[5],
                                     H264Intra4x4Kernels[6], H264Intra4x4Kernels[7], H264Intra4x4Kernels[8]};
const H264Intra16x16Fn kIntra16x16[4] = {Intra16x16<0>, Intra16x16<1>, Intra16x16<2>, Intra16x16<3>};
const H264IntraChromaFn kIntraChroma[4] = {IntraChroma<0>, IntraChroma<1>, IntraChroma<2>, IntraChroma<3>};

// ---------------------------------------------------------------------------
// Column moves of the deblocking: four columns of eight rows, transposed

void GatherLeftColumns(const uint8_t* upper, const uint8_t* lower, uint8_t* out, int pitch) {
  for (int half = 0; half < 2; ++half) {
    const uint8_t* src = half ? lower : upper;
    // rows r as 32-bit values: bytes c0 c1 c2 c3
    __m128i r0 = _mm_unpacklo_epi32(Load4(src), Load4(src + pitch));
    __m128i r1 = _mm_unpacklo_epi32(Load4(src + 2 * pitch), Load4(src + 3 * pitch));
    __m128i r2 = _mm_unpacklo_epi32(Load4(src + 4 * pitch), Load4(src + 5 * pitch));
    __m128i r3 = _mm_unpacklo_epi32(Load4(src + 6 * pitch), Load4(src + 7 * pitch));
    __m128i a = _mm_unpacklo_epi64(r0, r1);  // rows 0..3, 4 bytes each
    __m128i b = _mm_unpacklo_epi64(r2, r3);  // rows 4..7
    // to columns: byte transpose of 8 rows x 4 columns
    __m128i t0 = _mm_unpacklo_epi8(a, b);  // r0c0 r4c0 r0c1 r4c1 r0c2 r4c2 r0c3 r4c3 r1c0 r5c0 ...
    __m128i t1 = _mm_unpackhi_epi8(a, b);  // rows 2/6 then 3/7
    __m128i u0 = _mm_unpacklo_epi8(t0, t1);  // r0c0 r2c0 r4c0 r6c0 r0c1 r2c1 ... (rows 0,2,4,6)
    __m128i u1 = _mm_unpackhi_epi8(t0, t1);  // rows 1,3,5,7
    __m128i v0 = _mm_unpacklo_epi8(u0, u1);  // c0: r0 r1 .. r7, c1: r0 .. r7
    __m128i v1 = _mm_unpackhi_epi8(u0, u1);  // c2, c3
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * half), v0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * half + 16), v1);
  }
}

void ScatterLeftColumns(uint8_t* upper, uint8_t* lower, const uint8_t* in, int pitch) {
  for (int half = 0; half < 2; ++half) {
    uint8_t* dst = half ? lower : upper;
    __m128i c01 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32 * half));  // c0 r0..7, c1 r0..7
    __m128i c23 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32 * half + 16));
    __m128i t0 = _mm_unpacklo_epi8(c01, _mm_srli_si128(c01, 8));  // r0c0 r0c1 r1c0 r1c1 ...
    __m128i t1 = _mm_unpacklo_epi8(c23, _mm_srli_si128(c23, 8));  // r0c2 r0c3 r1c2 r1c3 ...
    __m128i lo = _mm_unpacklo_epi16(t0, t1);                        // rows 0..3, 4 bytes each
    __m128i hi = _mm_unpackhi_epi16(t0, t1);                        // rows 4..7
    for (int r = 0; r < 4; ++r) {
      Store4(dst + r * pitch, lo);
      Store4(dst + (r + 4) * pitch, hi);
      lo = _mm_srli_si128(lo, 4);
      hi = _mm_srli_si128(hi, 4);
    }
  }
}

const H264ReconFn kReconKernels[12] = {
    Recon<Pred::kL0>, Recon<Pred::kL0>, Recon<Pred::kL1>, Recon<Pred::kAverage>,  // default
    Recon<Pred::kL0>, WeightOne<0>,     WeightOne<1>,     WeightBi,               // explicit
    Recon<Pred::kL0>, Recon<Pred::kL0>, Recon<Pred::kL1>, WeightImplicit};        // implicit

}  // namespace

void H264InstallSse2Kernels(H264DecKernelTable* t) {
  t->idct4x4 = Idct4x4;
  t->idct8x8 = Idct8x8;
  t->transpose8x8 = Transpose8x8Bytes;
  t->transpose8x8Pair = Transpose8x8Pair;
  t->lumaEdgeFilter = LumaEdgeFilter;
  t->lumaEdgeFilterWideQ = LumaEdgeFilterWideQ;
  t->lumaEdgeFilterStrong = LumaEdgeFilterStrong;
  t->chromaEdgeFilter = ChromaEdgeFilter;
  t->chromaEdgeFilterSegments = H264ChromaEdgeBySegments<ChromaEdgeFilter>;
  t->chromaEdgeFilterStrong = ChromaEdgeFilterStrong;
  t->chromaEdgeFilterHalf = ChromaEdgeFilterHalf;
  t->chromaEdgeFilterStrongHalf = ChromaEdgeFilterStrongHalf;
  t->gatherLeftColumns = GatherLeftColumns;
  t->scatterLeftColumns = ScatterLeftColumns;
  t->storeMbLuma = StoreMbLuma;
  t->reconKernels = kReconKernels;
  t->intra4x4 = kIntra4x4;
  t->intra16x16 = kIntra16x16;
  t->intraChroma = kIntraChroma;
  t->lumaMc4x4 = LumaTable<4, 4>::kTable;
  t->lumaMc4x8 = LumaTable<4, 8>::kTable;
  t->lumaMc8x16 = LumaTable<8, 16>::kTable;
  t->chromaMc4x2 = kChromaMc4x2;
  t->chromaMc8x4 = kChromaMc8x4;
}
