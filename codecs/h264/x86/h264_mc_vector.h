// Vector motion compensation, included by the SSSE3 and the AVX2 kernel
// files: the six-tap and bilinear filters as byte-pair multiply-adds (with
// AVX2, both halves of an 8 x 16 luma block in one register). Each kernel
// gives exactly the result of the plain kernels and reads only the bytes they
// read.
#pragma once

#ifdef __AVX2__
#include <immintrin.h>
#else
#include <tmmintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codecs/h264/h264_internal.h"
#include "codecs/h264/x86/h264_kernels_x86.h"
#include "codecs/h264/x86/h264_mc_sse2_common.h"

namespace {

// ---------------------------------------------------------------------------
// Luma

// Tap pairs as signed bytes, first sample in the low byte.
inline __m128i TapsA() { return _mm_set1_epi16(static_cast<int16_t>(0xFB01)); }  // 1, -5
inline __m128i TapsB() { return _mm_set1_epi16(0x1414); }                          // 20, 20
inline __m128i TapsC() { return _mm_set1_epi16(0x01FB); }                          // -5, 1

// Horizontal six-tap of the W samples from G (W 4 or 8), unrounded in 16-bit
// lanes. The sources g - 2 .. g + W + 2 sit in one vector: eight bytes from
// g - 2, then the rest from g + 3, so byte k of the window is at k, or k + 3
// from k = 8 on.
template <int W>
inline __m128i HTap(const uint8_t* g) {
  __m128i v = W == 8 ? Load8x2(g - 2, g + 3) : _mm_unpacklo_epi64(Load8(g - 2), Load4(g + 3));
  const __m128i m0 = _mm_setr_epi8(0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 11);
  const __m128i m1 = _mm_setr_epi8(2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 11, 11, 12, 12, 13);
  const __m128i m2 = _mm_setr_epi8(4, 5, 5, 6, 6, 7, 7, 11, 11, 12, 12, 13, 13, 14, 14, 15);
  __m128i s = _mm_maddubs_epi16(_mm_shuffle_epi8(v, m0), TapsA());
  s = _mm_add_epi16(s, _mm_maddubs_epi16(_mm_shuffle_epi8(v, m1), TapsB()));
  return _mm_add_epi16(s, _mm_maddubs_epi16(_mm_shuffle_epi8(v, m2), TapsC()));
}

// Vertical six-tap over six rows already loaded, unrounded.
inline __m128i VTapRows(const __m128i* r) {
  __m128i s = _mm_maddubs_epi16(_mm_unpacklo_epi8(r[0], r[1]), TapsA());
  s = _mm_add_epi16(s, _mm_maddubs_epi16(_mm_unpacklo_epi8(r[2], r[3]), TapsB()));
  return _mm_add_epi16(s, _mm_maddubs_epi16(_mm_unpacklo_epi8(r[4], r[5]), TapsC()));
}

// Operations on a strip of W samples (4 or 8) in one 128-bit register.
template <int W>
struct Ops128 {
  using Vec = __m128i;
  static Vec H(const uint8_t* g) { return HTap<W>(g); }
  static Vec VRows(const Vec* r) { return VTapRows(r); }
  static Vec Load(const uint8_t* g) { return LoadBytes<W>(g); }
  static Vec R5(Vec v) { return Round5(v); }
  static Vec Centre(const Vec* r) { return CentreTap(r); }
  static Vec Avg(Vec a, Vec b) { return _mm_avg_epu8(a, b); }
  static void Store(uint8_t* row, Vec v) { StoreBytes<W>(row, v); }
  static void Ahead(const uint8_t* p) { __builtin_prefetch(p); }
};

#ifdef __AVX2__
// An 8-wide strip of 16 rows as two of 8 in one 256-bit register: rows y and
// y + 8 in the low and the high lane, the bytes of a row in the low half of
// its lane.
struct Ops256Rows {
  using Vec = __m256i;
  ptrdiff_t lower;  // bytes from a source row to the row 8 below
  static Vec Pair(__m128i upper, __m128i lower) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(upper), lower, 1);
  }
  // Reads g - 2 .. g + 10 of both rows, as HTap<8>.
  Vec H(const uint8_t* g) const {
    __m256i v = Pair(Load8x2(g - 2, g + 3), Load8x2(g - 2 + lower, g + 3 + lower));
    const __m256i m0 = _mm256_setr_epi8(0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 11,  //
                                        0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 11);
    const __m256i m1 = _mm256_setr_epi8(2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 11, 11, 12, 12, 13,  //
                                        2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 11, 11, 12, 12, 13);
    const __m256i m2 = _mm256_setr_epi8(4, 5, 5, 6, 6, 7, 7, 11, 11, 12, 12, 13, 13, 14, 14, 15,  //
                                        4, 5, 5, 6, 6, 7, 7, 11, 11, 12, 12, 13, 13, 14, 14, 15);
    __m256i s = _mm256_maddubs_epi16(_mm256_shuffle_epi8(v, m0), _mm256_set1_epi16(static_cast<int16_t>(0xFB01)));
    s = _mm256_add_epi16(s, _mm256_maddubs_epi16(_mm256_shuffle_epi8(v, m1), _mm256_set1_epi16(0x1414)));
    return _mm256_add_epi16(s, _mm256_maddubs_epi16(_mm256_shuffle_epi8(v, m2), _mm256_set1_epi16(0x01FB)));
  }
  Vec Load(const uint8_t* p) const { return Pair(Load8(p), Load8(p + lower)); }
  void Ahead(const uint8_t* p) const {
    __builtin_prefetch(p);
    __builtin_prefetch(p + lower);
  }
  static Vec VRows(const Vec* r) {
    __m256i s = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(r[0], r[1]), _mm256_set1_epi16(static_cast<int16_t>(0xFB01)));
    s = _mm256_add_epi16(s, _mm256_maddubs_epi16(_mm256_unpacklo_epi8(r[2], r[3]), _mm256_set1_epi16(0x1414)));
    return _mm256_add_epi16(s, _mm256_maddubs_epi16(_mm256_unpacklo_epi8(r[4], r[5]), _mm256_set1_epi16(0x01FB)));
  }
  static Vec R5(Vec v) {
    v = _mm256_srai_epi16(_mm256_add_epi16(v, _mm256_set1_epi16(16)), 5);
    return _mm256_packus_epi16(v, v);
  }
  static Vec Centre(const Vec* r) {
    const __m256i k0 = _mm256_set1_epi32(static_cast<int32_t>(0xFFFB0001u));  // 1, -5
    const __m256i k1 = _mm256_set1_epi16(20);
    const __m256i k2 = _mm256_set1_epi32(0x0001FFFB);  // -5, 1
    __m256i lo = _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(r[0], r[1]), k0),
                                                   _mm256_madd_epi16(_mm256_unpacklo_epi16(r[2], r[3]), k1)),
                                  _mm256_madd_epi16(_mm256_unpacklo_epi16(r[4], r[5]), k2));
    __m256i hi = _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(r[0], r[1]), k0),
                                                   _mm256_madd_epi16(_mm256_unpackhi_epi16(r[2], r[3]), k1)),
                                  _mm256_madd_epi16(_mm256_unpackhi_epi16(r[4], r[5]), k2));
    const __m256i rnd = _mm256_set1_epi32(512);
    lo = _mm256_srai_epi32(_mm256_add_epi32(lo, rnd), 10);
    hi = _mm256_srai_epi32(_mm256_add_epi32(hi, rnd), 10);
    __m256i v = _mm256_packs_epi32(lo, hi);
    return _mm256_packus_epi16(v, v);
  }
  static Vec Avg(Vec a, Vec b) { return _mm256_avg_epu8(a, b); }
  // Row y to the row, row y + 8 to the quadrant below.
  static void Store(uint8_t* row, Vec v) {
    Store8(row, _mm256_castsi256_si128(v));
    Store8(row + 128, _mm256_extracti128_si256(v, 1));
  }
};
#endif

// A column strip H high at fraction (XF, YF) with the operations O; g is the
// integer sample of its top-left position, dst its first row (rows of 8,
// row 8 on 128 bytes after row 0). Each source row read is asked for 64
// bytes on, where the macroblocks four on will read it.
template <class O, int H, int XF, int YF>
[[gnu::always_inline]] inline void LumaStrip(const uint8_t* g, ptrdiff_t st, uint8_t* dst, const O& o = O{}) {
  using Vec = typename O::Vec;
  auto ahead = [&](int row) {
    o.Ahead(g + row * st + (XF ? 62 : 64));
  };
  if constexpr (XF == 0 && YF == 0) {
    for (int y = 0; y < H; ++y) {
      ahead(y);
      o.Store(LumaRow(dst, y), o.Load(g + y * st));
    }
    return;
  }
  constexpr bool kNeedJ = (XF == 2 && YF != 0) || (YF == 2 && XF != 0);
  Vec b1[H + 5];  // horizontal intermediates of rows -2 .. H + 2
  if constexpr (kNeedJ) {
    for (int y = 0; y < H + 5; ++y) {
      ahead(y - 2);
      b1[y] = o.H(g + (y - 2) * st);
    }
  }
  // The vertical six-tap's column (G, or G + 1 for XF 3): six rows slide
  // down it, each row loaded once.
  constexpr bool kNeedV = YF != 0 && XF != 2;
  [[maybe_unused]] const uint8_t* vc = g + (XF == 3 ? 1 : 0);
  [[maybe_unused]] Vec r[6];
  if constexpr (kNeedV) {
    for (int k = 1; k < 6; ++k) {
      if constexpr (!kNeedJ) ahead(k - 3);
      r[k] = o.Load(vc + (k - 3) * st);
    }
  }
  for (int y = 0; y < H; ++y) {
    const uint8_t* G = g + y * st;
    Vec v;
    [[maybe_unused]] Vec vt;
    if constexpr (kNeedV) {
      if constexpr (!kNeedJ) ahead(y + 3);
      for (int k = 0; k < 5; ++k) r[k] = r[k + 1];
      r[5] = o.Load(vc + (y + 3) * st);
      vt = o.VRows(r);
    }
    if constexpr (YF == 0) ahead(y);
    if constexpr (XF == 0 && YF == 1) v = o.Avg(r[2], o.R5(vt));
    else if constexpr (XF == 0 && YF == 2) v = o.R5(vt);
    else if constexpr (XF == 0 && YF == 3) v = o.Avg(r[3], o.R5(vt));
    else if constexpr (XF == 1 && YF == 0) v = o.Avg(o.Load(G), o.R5(o.H(G)));
    else if constexpr (XF == 1 && YF == 1) v = o.Avg(o.R5(o.H(G)), o.R5(vt));
    else if constexpr (XF == 1 && YF == 2) v = o.Avg(o.R5(vt), o.Centre(b1 + y));
    else if constexpr (XF == 1 && YF == 3) v = o.Avg(o.R5(vt), o.R5(o.H(G + st)));
    else if constexpr (XF == 2 && YF == 0) v = o.R5(o.H(G));
    else if constexpr (XF == 2 && YF == 1) v = o.Avg(o.R5(b1[y + 2]), o.Centre(b1 + y));
    else if constexpr (XF == 2 && YF == 2) v = o.Centre(b1 + y);
    else if constexpr (XF == 2 && YF == 3) v = o.Avg(o.Centre(b1 + y), o.R5(b1[y + 3]));
    else if constexpr (XF == 3 && YF == 0) v = o.Avg(o.Load(G + 1), o.R5(o.H(G)));
    else if constexpr (XF == 3 && YF == 1) v = o.Avg(o.R5(o.H(G)), o.R5(vt));
    else if constexpr (XF == 3 && YF == 2) v = o.Avg(o.Centre(b1 + y), o.R5(vt));
    else v = o.Avg(o.R5(vt), o.R5(o.H(G + st)));
    o.Store(LumaRow(dst, y), v);
  }
}

template <int XF, int YF>
inline const uint8_t* LumaOrigin(const H264McArgs* a) {
  return a->lumaSrc + (XF ? 2 : 0) + (YF ? 2 * a->lumaStride : 0);
}

// One kernel table entry: a W x H block (with AVX2, 8 x 16 as two halves
// side by side).
template <int W, int H, int XF, int YF>
void LumaMc(const H264McArgs* a) {
#ifdef __AVX2__
  if constexpr (W == 8 && H == 16 && (XF | YF)) {
    LumaStrip<Ops256Rows, 8, XF, YF>(LumaOrigin<XF, YF>(a), a->lumaStride, a->lumaDst,
                                     Ops256Rows{8 * static_cast<ptrdiff_t>(a->lumaStride)});
    return;
  }
#endif
  LumaStrip<Ops128<W>, H, XF, YF>(LumaOrigin<XF, YF>(a), a->lumaStride, a->lumaDst);
}

template <int W, int H, int... I>
struct LumaTableOf {
  static constexpr H264McFn kTable[16] = {&LumaMc<W, H, I / 4, I % 4>...};
};
template <int W, int H>
using LumaTable = LumaTableOf<W, H, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15>;

// ---------------------------------------------------------------------------
// Chroma: (A, B) and (C, D) weights as byte pairs over sample pairs. With
// one fraction zero only the pair along the other one is read.

// Each source row read is asked for 32 bytes on (see LumaStrip).
template <int W, int H, bool X, bool Y>
inline void ChromaPlane(const uint8_t* src, ptrdiff_t st, uint8_t* dst, __m128i w0, __m128i w1) {
  const __m128i rnd = _mm_set1_epi16(32);
  auto ahead = [&](const uint8_t* row) {
    __builtin_prefetch(row + 32);
  };
  if constexpr (!X && !Y) {
    for (int y = 0; y < H; ++y) {
      ahead(src + y * st);
      StoreBytes<W>(dst + 8 * y, LoadBytes<W>(src + y * st));
    }
    return;
  }
  // Pairs along x of row r (X), or of rows r and r + 1 (Y only).
  auto pairs = [&](int r) {
    const uint8_t* p = src + r * st;
    ahead(X ? p : p + st);
    return X ? _mm_unpacklo_epi8(LoadBytes<W>(p), LoadBytes<W>(p + 1))
             : _mm_unpacklo_epi8(LoadBytes<W>(p), LoadBytes<W>(p + st));
  };
  if constexpr (!X) ahead(src);
  __m128i top = pairs(0);
#ifdef __AVX2__
  if constexpr (W == 8) {
    // Two rows per step, one in each lane; four rows stored at once.
    static_assert(H % 4 == 0);
    const __m256i w0x2 = _mm256_broadcastsi128_si256(w0), w1x2 = _mm256_broadcastsi128_si256(w1);
    const __m256i rnd2 = _mm256_set1_epi16(32);
    auto twoRows = [&](int y) {
      __m128i mid = pairs(y + 1);
      __m256i v = _mm256_maddubs_epi16(_mm256_inserti128_si256(_mm256_castsi128_si256(top), mid, 1), w0x2);
      if constexpr (X && Y) {
        __m128i below = pairs(y + 2);
        v = _mm256_add_epi16(
            v, _mm256_maddubs_epi16(_mm256_inserti128_si256(_mm256_castsi128_si256(mid), below, 1), w1x2));
        top = below;
      } else if (y + 2 < H) {
        top = pairs(y + 2);
      }
      return _mm256_srli_epi16(_mm256_add_epi16(v, rnd2), 6);
    };
    for (int y = 0; y < H; y += 4) {
      __m256i v01 = twoRows(y);
      __m256i v23 = twoRows(y + 2);
      // Lanes hold rows (y, y + 2) and (y + 1, y + 3): back in order.
      __m256i rows = _mm256_permute4x64_epi64(_mm256_packus_epi16(v01, v23), 0xD8);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 8 * y), rows);
    }
    return;
  }
#endif
  for (int y = 0; y < H; ++y) {
    __m128i v = _mm_maddubs_epi16(top, w0);
    if constexpr (X && Y) {
      __m128i below = pairs(y + 1);
      v = _mm_add_epi16(v, _mm_maddubs_epi16(below, w1));
      top = below;
    } else if (y + 1 < H) {
      top = pairs(y + 1);
    }
    v = _mm_srli_epi16(_mm_add_epi16(v, rnd), 6);
    StoreBytes<W>(dst + 8 * y, _mm_packus_epi16(v, v));
  }
}

inline __m128i BytePair(int a, int b) { return _mm_set1_epi16(static_cast<int16_t>((b << 8) | a)); }

template <int W, int H, bool X, bool Y>
inline void ChromaBoth(const H264McArgs* a) {
  const int xf = X ? a->chromaFracX : 0, yf = Y ? a->chromaFracY : 0;
  __m128i w0, w1 = _mm_setzero_si128();
  if constexpr (X && Y) {
    w0 = BytePair((8 - xf) * (8 - yf), xf * (8 - yf));
    w1 = BytePair((8 - xf) * yf, xf * yf);
  } else if constexpr (X) {
    w0 = BytePair(8 * (8 - xf), 8 * xf);
  } else {
    w0 = BytePair(8 * (8 - yf), 8 * yf);
  }
  ChromaPlane<W, H, X, Y>(a->cbSrc, a->chromaStride, a->cbDst, w0, w1);
  ChromaPlane<W, H, X, Y>(a->crSrc, a->chromaStride, a->crDst, w0, w1);
}

template <int W, int H, bool X, bool Y>
void ChromaMc(const H264McArgs* a) {
  ChromaBoth<W, H, X, Y>(a);
}

constexpr H264McFn kChromaMc4x2[4] = {&ChromaMc<4, 2, false, false>, &ChromaMc<4, 2, true, false>,
                                      &ChromaMc<4, 2, false, true>, &ChromaMc<4, 2, true, true>};
constexpr H264McFn kChromaMc8x4[4] = {&ChromaMc<8, 4, false, false>, &ChromaMc<8, 4, true, false>,
                                      &ChromaMc<8, 4, false, true>, &ChromaMc<8, 4, true, true>};

constexpr H264McFn kChromaMc2x2[4] = {&ChromaMc<2, 2, false, false>, &ChromaMc<2, 2, true, false>,
                                      &ChromaMc<2, 2, false, true>, &ChromaMc<2, 2, true, true>};

inline void InstallMc(H264DecKernelTable* t) {
  t->lumaMc4x4 = LumaTable<4, 4>::kTable;
  t->lumaMc4x8 = LumaTable<4, 8>::kTable;
  t->lumaMc8x16 = LumaTable<8, 16>::kTable;
  t->chromaMc4x2 = kChromaMc4x2;
  t->chromaMc8x4 = kChromaMc8x4;
}

}  // namespace
