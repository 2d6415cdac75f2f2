// SSE4.1 motion compensation: the same interpolation, bi-prediction and
// weighted prediction as the plain kernels, eight columns at a time. Rows are
// read as the plain kernels read them; columns may be read up to 16 bytes
// past the block (the reference planes are padded far wider), never written
// past it.
#include <smmintrin.h>

#include <cstring>
#include <type_traits>

#include "codecs/hevc/hevc_tables_inline.h"
#include "codecs/hevc/x86/hevc_x86.h"

namespace hevc {
namespace {

constexpr int kTmpStride = 64;
constexpr int kOffset2D = 8192;

inline __m128i PairCoeff(int a, int b) {
  return _mm_set1_epi16(static_cast<int16_t>((static_cast<uint8_t>(b) << 8) | static_cast<uint8_t>(a)));
}
inline __m128i WordPair(int a, int b) {
  return _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(b)) << 16) |
                                             static_cast<uint16_t>(a)));
}

// Eight 8-tap (or 4-tap) horizontal sums of bytes, as 16-bit values: the
// taps pair up through byte shuffles and multiply-adds.
struct HTaps8 {
  __m128i c[4];
  explicit HTaps8(const int8_t* f) {
    for (int i = 0; i < 4; ++i) c[i] = PairCoeff(f[2 * i], f[2 * i + 1]);
  }
  __m128i operator()(const uint8_t* s) const {  // s: the first tap of column 0
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i sh0 = _mm_setr_epi8(0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8);
    const __m128i sh1 = _mm_setr_epi8(2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10);
    const __m128i sh2 = _mm_setr_epi8(4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12);
    const __m128i sh3 = _mm_setr_epi8(6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14);
    __m128i a = _mm_maddubs_epi16(_mm_shuffle_epi8(v, sh0), c[0]);
    __m128i b = _mm_maddubs_epi16(_mm_shuffle_epi8(v, sh1), c[1]);
    a = _mm_add_epi16(a, _mm_maddubs_epi16(_mm_shuffle_epi8(v, sh2), c[2]));
    b = _mm_add_epi16(b, _mm_maddubs_epi16(_mm_shuffle_epi8(v, sh3), c[3]));
    return _mm_add_epi16(a, b);
  }
};
struct HTaps4 {
  __m128i c[2];
  explicit HTaps4(const int8_t* f) {
    c[0] = PairCoeff(f[0], f[1]);
    c[1] = PairCoeff(f[2], f[3]);
  }
  __m128i operator()(const uint8_t* s) const {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i sh0 = _mm_setr_epi8(0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8);
    const __m128i sh1 = _mm_setr_epi8(2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10);
    return _mm_add_epi16(_mm_maddubs_epi16(_mm_shuffle_epi8(v, sh0), c[0]),
                         _mm_maddubs_epi16(_mm_shuffle_epi8(v, sh1), c[1]));
  }
};

inline __m128i Load8(const uint8_t* s) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s)); }

// Eight vertical sums of bytes, rows s, s + ss, ... (N taps).
template <int N>
struct VTaps {
  __m128i c[N / 2];
  explicit VTaps(const int8_t* f) {
    for (int i = 0; i < N / 2; ++i) c[i] = PairCoeff(f[2 * i], f[2 * i + 1]);
  }
  __m128i operator()(const uint8_t* s, ptrdiff_t ss) const {
    __m128i sum = _mm_setzero_si128();
    for (int i = 0; i < N / 2; ++i) {
      const __m128i r = _mm_unpacklo_epi8(Load8(s + 2 * i * ss), Load8(s + (2 * i + 1) * ss));
      sum = _mm_add_epi16(sum, _mm_maddubs_epi16(r, c[i]));
    }
    return sum;
  }
};

// Eight vertical sums of 16-bit values, as two halves of 32-bit sums.
template <int N>
struct VTaps16 {
  __m128i c[N / 2];
  explicit VTaps16(const int8_t* f) {
    for (int i = 0; i < N / 2; ++i) c[i] = WordPair(f[2 * i], f[2 * i + 1]);
  }
  void operator()(const int16_t* s, ptrdiff_t ss, __m128i* lo, __m128i* hi) const {
    __m128i l = _mm_setzero_si128(), h = _mm_setzero_si128();
    for (int i = 0; i < N / 2; ++i) {
      const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * i * ss));
      const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + (2 * i + 1) * ss));
      l = _mm_add_epi32(l, _mm_madd_epi16(_mm_unpacklo_epi16(r0, r1), c[i]));
      h = _mm_add_epi32(h, _mm_madd_epi16(_mm_unpackhi_epi16(r0, r1), c[i]));
    }
    *lo = _mm_srai_epi32(l, 6);
    *hi = _mm_srai_epi32(h, 6);
  }
};

// Writes n (1..8) bytes or 16-bit values of a vector.
inline void StoreBytes(uint8_t* d, __m128i v, int n) {
  if (n == 8) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d), v);
  } else if (n == 4) {
    const int32_t x = _mm_cvtsi128_si32(v);
    std::memcpy(d, &x, 4);
  } else {
    alignas(16) uint8_t b[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(b), v);
    std::memcpy(d, b, n);
  }
}
inline void StoreWords(int16_t* d, __m128i v, int n) {
  if (n == 8) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
  } else if (n == 4) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d), v);
  } else {
    alignas(16) int16_t b[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(b), v);
    std::memcpy(d, b, n * sizeof(int16_t));
  }
}

// The q values of a block (16-bit, or 32-bit halves for two-dimensional
// positions) handed eight columns at a time to the sink, which stores n of them.
// Sink: put16(x, y, n, q16) and put32(x, y, n, lo, hi).
template <int Taps, typename Sink>
inline void FilterBlock(const uint8_t* src, int ss, int w, int h, const int8_t* fx, const int8_t* fy,
                        int offset2D, Sink& sink) {
  constexpr int back = Taps / 2 - 1;
  if (fx && !fy) {
    const typename std::conditional<Taps == 8, HTaps8, HTaps4>::type hf(fx);
    for (int y = 0; y < h; ++y, src += ss)
      for (int x = 0; x < w; x += 8) sink.put16(x, y, w - x < 8 ? w - x : 8, hf(src + x - back));
  } else if (!fx && fy) {
    const VTaps<Taps> vf(fy);
    for (int y = 0; y < h; ++y, src += ss)
      for (int x = 0; x < w; x += 8) sink.put16(x, y, w - x < 8 ? w - x : 8, vf(src + x - back * ss, ss));
  } else {
    const typename std::conditional<Taps == 8, HTaps8, HTaps4>::type hf(fx);
    const VTaps16<Taps> vf(fy);
    alignas(16) int16_t tmp[(64 + 7) * kTmpStride + 8];
    const uint8_t* s = src - back * ss;
    const __m128i off = _mm_set1_epi16(static_cast<int16_t>(offset2D));
    for (int y = 0; y < h + Taps - 1; ++y, s += ss)
      for (int x = 0; x < w; x += 8)
        _mm_store_si128(reinterpret_cast<__m128i*>(tmp + y * kTmpStride + x), _mm_sub_epi16(hf(s + x - back), off));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; x += 8) {
        __m128i lo, hi;
        vf(tmp + y * kTmpStride + x, kTmpStride, &lo, &hi);
        sink.put32(x, y, w - x < 8 ? w - x : 8, lo, hi);
      }
  }
}

inline __m128i Load8Words(const int16_t* s, int n) {
  if (n == 8) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  if (n == 4) return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s));
  alignas(16) int16_t b[8] = {};
  std::memcpy(b, s, n * sizeof(int16_t));
  return _mm_load_si128(reinterpret_cast<const __m128i*>(b));
}

struct UniSink {
  uint8_t* dst;
  ptrdiff_t ds;
  void put16(int x, int y, int n, __m128i q) const {
    q = _mm_srai_epi16(_mm_add_epi16(q, _mm_set1_epi16(32)), 6);
    StoreBytes(dst + y * ds + x, _mm_packus_epi16(q, q), n);
  }
  void put32(int x, int y, int n, __m128i lo, __m128i hi) const {
    const __m128i r = _mm_set1_epi32(32);
    lo = _mm_srai_epi32(_mm_add_epi32(lo, r), 6);
    hi = _mm_srai_epi32(_mm_add_epi32(hi, r), 6);
    const __m128i q = _mm_packs_epi32(lo, hi);
    StoreBytes(dst + y * ds + x, _mm_packus_epi16(q, q), n);
  }
};

struct InterSink {
  int16_t* dst;
  ptrdiff_t ds;
  void put16(int x, int y, int n, __m128i q) const { StoreWords(dst + y * ds + x, q, n); }
  void put32(int x, int y, int n, __m128i lo, __m128i hi) const {
    StoreWords(dst + y * ds + x, _mm_packs_epi32(lo, hi), n);
  }
};

struct BiSink {
  uint8_t* dst;
  ptrdiff_t ds;
  const int16_t* l0;
  __m128i r;
  void put32(int x, int y, int n, __m128i lo, __m128i hi) const {
    const __m128i a = Load8Words(l0 + y * kTmpStride + x, n);
    lo = _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(lo, _mm_cvtepi16_epi32(a)), r), 7);
    hi = _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(hi, _mm_cvtepi16_epi32(_mm_srli_si128(a, 8))), r), 7);
    const __m128i q = _mm_packs_epi32(lo, hi);
    StoreBytes(dst + y * ds + x, _mm_packus_epi16(q, q), n);
  }
  void put16(int x, int y, int n, __m128i q) const {
    put32(x, y, n, _mm_cvtepi16_epi32(q), _mm_cvtepi16_epi32(_mm_srli_si128(q, 8)));
  }
};

// whole-position source as q = sample << 6, eight columns at a time
template <typename Sink>
inline void CopyBlock(const uint8_t* src, int ss, int w, int h, Sink& sink) {
  for (int y = 0; y < h; ++y, src += ss)
    for (int x = 0; x < w; x += 8)
      sink.put16(x, y, w - x < 8 ? w - x : 8, _mm_slli_epi16(_mm_cvtepu8_epi16(Load8(src + x)), 6));
}

void CopyUni(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
  // rows may overlap (a missing reference stands in as the picture itself):
  // each row is read whole before it is written
  const int n16 = w >> 4, x8 = n16 * 16, x4 = x8 + (w & 8), x2 = x4 + (w & 4), x1 = x2 + (w & 2);
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = src + static_cast<ptrdiff_t>(y) * ss;
    uint8_t* d = dst + static_cast<ptrdiff_t>(y) * ds;
    __m128i v[4];
    uint64_t q = 0;
    uint32_t r = 0;
    uint16_t t = 0;
    uint8_t b = 0;
    // unrolled by hand: a loop here becomes a library call
    switch (n16) {
      case 4: v[3] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48)); [[fallthrough]];
      case 3: v[2] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32)); [[fallthrough]];
      case 2: v[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16)); [[fallthrough]];
      case 1: v[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)); break;
      default: break;
    }
    if (w & 8) std::memcpy(&q, s + x8, 8);
    if (w & 4) std::memcpy(&r, s + x4, 4);
    if (w & 2) std::memcpy(&t, s + x2, 2);
    if (w & 1) b = s[x1];
    switch (n16) {
      case 4: _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 48), v[3]); [[fallthrough]];
      case 3: _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), v[2]); [[fallthrough]];
      case 2: _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), v[1]); [[fallthrough]];
      case 1: _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v[0]); break;
      default: break;
    }
    if (w & 8) std::memcpy(d + x8, &q, 8);
    if (w & 4) std::memcpy(d + x4, &r, 4);
    if (w & 2) std::memcpy(d + x2, &t, 2);
    if (w & 1) d[x1] = b;
  }
}

template <int XF, int YF>
void LumaUni(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
  UniSink k{dst, ds};
  FilterBlock<8>(src, ss, w, h, XF ? kHevcLumaFilter[XF] : nullptr, YF ? kHevcLumaFilter[YF] : nullptr, 0, k);
}

template <int XF, int YF>
void Luma14(int16_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
  InterSink k{dst, ds};
  if constexpr (XF == 0 && YF == 0)
    CopyBlock(src, ss, w, h, k);
  else
    FilterBlock<8>(src, ss, w, h, XF ? kHevcLumaFilter[XF] : nullptr, YF ? kHevcLumaFilter[YF] : nullptr,
                   kOffset2D, k);
}

template <int XF, int YF>
void LumaBi(uint8_t* dst, int ds, const uint8_t* src1, int ss, const int16_t* l0, int w, int h, int l0Offset) {
  constexpr bool twoD = XF != 0 && YF != 0;
  BiSink k{dst, ds, l0, _mm_set1_epi32(64 + (twoD ? kOffset2D : 0) + (l0Offset ? kOffset2D : 0))};
  if constexpr (XF == 0 && YF == 0)
    CopyBlock(src1, ss, w, h, k);
  else
    FilterBlock<8>(src1, ss, w, h, XF ? kHevcLumaFilter[XF] : nullptr, YF ? kHevcLumaFilter[YF] : nullptr,
                   kOffset2D, k);
}

inline const int8_t* Cf(int f) { return f ? kHevcChromaFilter[f] : nullptr; }

void ChromaUniH(uint8_t* d, int ds, const uint8_t* s, int ss, int w, int h, int fx) {
  UniSink k{d, ds};
  FilterBlock<4>(s, ss, w, h, Cf(fx), nullptr, 0, k);
}
void ChromaUniV(uint8_t* d, int ds, const uint8_t* s, int ss, int w, int h, int fy) {
  UniSink k{d, ds};
  FilterBlock<4>(s, ss, w, h, nullptr, Cf(fy), 0, k);
}
void ChromaUni2D(uint8_t* d, int ds, const uint8_t* s, int ss, int w, int h, int fx, int fy) {
  UniSink k{d, ds};
  FilterBlock<4>(s, ss, w, h, Cf(fx), Cf(fy), 0, k);
}
void Chroma14H(int16_t* d, int ds, const uint8_t* s, int ss, int w, int h, int fx) {
  InterSink k{d, ds};
  FilterBlock<4>(s, ss, w, h, Cf(fx), nullptr, 0, k);
}
void Chroma14V(int16_t* d, int ds, const uint8_t* s, int ss, int w, int h, int fy) {
  InterSink k{d, ds};
  FilterBlock<4>(s, ss, w, h, nullptr, Cf(fy), 0, k);
}
void Chroma142D(int16_t* d, int ds, const uint8_t* s, int ss, int w, int h, int fx, int fy) {
  InterSink k{d, ds};
  FilterBlock<4>(s, ss, w, h, Cf(fx), Cf(fy), 0, k);
}
void ChromaBiCopy(uint8_t* d, int ds, const uint8_t* s, int ss, const int16_t* l0, int w, int h) {
  BiSink k{d, ds, l0, _mm_set1_epi32(64)};
  CopyBlock(s, ss, w, h, k);
}
void ChromaBiH(uint8_t* d, int ds, const uint8_t* s, int ss, const int16_t* l0, int w, int h, int fx) {
  BiSink k{d, ds, l0, _mm_set1_epi32(64)};
  FilterBlock<4>(s, ss, w, h, Cf(fx), nullptr, 0, k);
}
void ChromaBiV(uint8_t* d, int ds, const uint8_t* s, int ss, const int16_t* l0, int w, int h, int fy) {
  BiSink k{d, ds, l0, _mm_set1_epi32(64)};
  FilterBlock<4>(s, ss, w, h, nullptr, Cf(fy), 0, k);
}
void ChromaBi2D(uint8_t* d, int ds, const uint8_t* s, int ss, const int16_t* l0, int w, int h, int fx,
                int fy) {
  BiSink k{d, ds, l0, _mm_set1_epi32(64)};
  FilterBlock<4>(s, ss, w, h, Cf(fx), Cf(fy), 0, k);
}

// explicit weighted prediction on intermediates, in 32 bits
void WeightedUni(int denom, int weight, int offset, uint8_t* dst, int ds, const int16_t* src, int ss, int w,
                 int h, int srcOffset) {
  const int log2Wd = denom + 6;
  const int f = srcOffset ? weight * kOffset2D : 0;
  const int round = 1 << (log2Wd - 1);
  const __m128i wv = _mm_set1_epi32(weight), add = _mm_set1_epi32(f + round), ov = _mm_set1_epi32(offset);
  const __m128i sh = _mm_cvtsi32_si128(log2Wd);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; x += 8) {
      const int n = w - x < 8 ? w - x : 8;
      const __m128i a = Load8Words(src + static_cast<ptrdiff_t>(y) * ss + x, n);
      __m128i lo = _mm_add_epi32(_mm_mullo_epi32(_mm_cvtepi16_epi32(a), wv), add);
      __m128i hi = _mm_add_epi32(_mm_mullo_epi32(_mm_cvtepi16_epi32(_mm_srli_si128(a, 8)), wv), add);
      lo = _mm_add_epi32(_mm_sra_epi32(lo, sh), ov);
      hi = _mm_add_epi32(_mm_sra_epi32(hi, sh), ov);
      const __m128i q = _mm_packs_epi32(lo, hi);
      StoreBytes(dst + static_cast<ptrdiff_t>(y) * ds + x, _mm_packus_epi16(q, q), n);
    }
}

void WeightedBi(int denom, int w0, int w1, int o0, int o1, uint8_t* dst, int ds, const int16_t* s0,
                const int16_t* s1, int ss, int w, int h, int offset0, int offset1) {
  const int log2Wd = denom + 6;
  const int f = (offset0 ? w0 * kOffset2D : 0) + (offset1 ? w1 * kOffset2D : 0) + ((o0 + o1 + 1) << log2Wd);
  const __m128i wv = WordPair(w0, w1), add = _mm_set1_epi32(f);
  const __m128i sh = _mm_cvtsi32_si128(log2Wd + 1);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; x += 8) {
      const int n = w - x < 8 ? w - x : 8;
      const ptrdiff_t i = static_cast<ptrdiff_t>(y) * ss + x;
      const __m128i a = Load8Words(s0 + i, n), b = Load8Words(s1 + i, n);
      __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, b), wv), add);
      __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, b), wv), add);
      const __m128i q = _mm_packs_epi32(_mm_sra_epi32(lo, sh), _mm_sra_epi32(hi, sh));
      StoreBytes(dst + static_cast<ptrdiff_t>(y) * ds + x, _mm_packus_epi16(q, q), n);
    }
}

template <int I>
void SetLumaPosition(HevcDspTable* t) {
  constexpr int xf = I >> 2, yf = I & 3;
  if constexpr (I == 0)
    t->slot[kSlotMcLumaUni] = reinterpret_cast<HevcKernel>(&CopyUni);
  else
    t->slot[kSlotMcLumaUni + I] = reinterpret_cast<HevcKernel>(&LumaUni<xf, yf>);
  t->slot[kSlotMcLuma14 + I] = reinterpret_cast<HevcKernel>(&Luma14<xf, yf>);
  t->slot[kSlotMcLumaBi + I] = reinterpret_cast<HevcKernel>(&LumaBi<xf, yf>);
  if constexpr (I < 15) SetLumaPosition<I + 1>(t);
}

}  // namespace

void HevcSetMcSse41(HevcDspTable* t) {
  SetLumaPosition<0>(t);
  auto set = [t](int slot, auto fn) { t->slot[slot] = reinterpret_cast<HevcKernel>(fn); };
  set(kSlotMcChromaUni + 0, &CopyUni);
  set(kSlotMcChromaUni + 1, &ChromaUniH);
  set(kSlotMcChromaUni + 2, &ChromaUniV);
  set(kSlotMcChromaUni + 3, &ChromaUni2D);
  set(kSlotMcChroma14 + 0, &Luma14<0, 0>);
  set(kSlotMcChroma14 + 1, &Chroma14H);
  set(kSlotMcChroma14 + 2, &Chroma14V);
  set(kSlotMcChroma14 + 3, &Chroma142D);
  set(kSlotMcChromaBi + 0, &ChromaBiCopy);
  set(kSlotMcChromaBi + 1, &ChromaBiH);
  set(kSlotMcChromaBi + 2, &ChromaBiV);
  set(kSlotMcChromaBi + 3, &ChromaBi2D);
  set(kSlotWeightedUniY, &WeightedUni);
  set(kSlotWeightedBiY, &WeightedBi);
  set(kSlotWeightedUniC, &WeightedUni);
  set(kSlotWeightedBiC, &WeightedBi);
}

}  // namespace hevc
