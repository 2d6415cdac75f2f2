// The luma edge filters of one section of eight samples in 16-bit lanes
// (the table's normal, wide-q and strong luma filters) and their helpers,
// which the SSE2 chroma filters use too; included by the SSE2 and the AVX2
// kernel files: built for AVX2 they take the SSSE3 and SSE4.1 forms of a few
// steps. Each gives exactly the bytes of its plain twin.
#pragma once

#ifdef __AVX2__
#include <immintrin.h>
#else
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cstring>

namespace {
namespace luma_edge {

inline __m128i Load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

// Eight bytes widened to 16-bit lanes.
inline __m128i Wide(const uint8_t* p) {
#ifdef __SSE4_1__
  return _mm_cvtepu8_epi16(Load8(p));
#else
  return _mm_unpacklo_epi8(Load8(p), _mm_setzero_si128());
#endif
}

// Clipped to 0..255 and stored as eight bytes.
inline void Store(uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(v, v)); }

// Byte k of `word` in lanes 2k and 2k + 1.
inline __m128i Lanes(uint32_t word) {
  __m128i v = _mm_cvtsi32_si128(static_cast<int>(word));
  v = _mm_unpacklo_epi8(v, v);
  return _mm_unpacklo_epi8(v, _mm_setzero_si128());
}

inline __m128i Abs16(__m128i a, __m128i b) {
  __m128i d = _mm_sub_epi16(a, b);
#ifdef __SSSE3__
  return _mm_abs_epi16(d);
#else
  return _mm_max_epi16(d, _mm_sub_epi16(_mm_setzero_si128(), d));
#endif
}

// a where the mask is set, else b.
inline __m128i Select(__m128i mask, __m128i a, __m128i b) {
#ifdef __SSE4_1__
  return _mm_blendv_epi8(b, a, mask);
#else
  return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
#endif
}

inline bool None(__m128i mask) {
#ifdef __SSE4_1__
  return _mm_testz_si128(mask, mask);
#else
  return _mm_movemask_epi8(mask) == 0;
#endif
}

inline __m128i Clamp(__m128i v, __m128i lo, __m128i hi) { return _mm_min_epi16(_mm_max_epi16(v, lo), hi); }

// The lanes the filter changes: alpha, beta and the three sample steps.
// Lanes of alpha 0 stay off, as no |p0 - q0| is below 0.
inline __m128i On(__m128i a, __m128i b, __m128i p1, __m128i p0, __m128i q0, __m128i q1) {
  return _mm_and_si128(_mm_cmpgt_epi16(a, Abs16(p0, q0)),
                       _mm_and_si128(_mm_cmpgt_epi16(b, Abs16(p1, p0)), _mm_cmpgt_epi16(b, Abs16(q1, q0))));
}

// bS 1 to 3; q rows QPitch apart.
template <int QPitch>
void Normal(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta, const uint8_t* tc0Bytes) {
  if (!alpha) return;
  const __m128i z = _mm_setzero_si128();
  __m128i b = _mm_set1_epi16(static_cast<int16_t>(beta & 0xFF));
  __m128i p1 = Wide(p + 16), p0 = Wide(p + 24), q0 = Wide(q), q1 = Wide(q + QPitch);
  __m128i on = On(Lanes(alpha), b, p1, p0, q0, q1);
  if (None(on)) return;
  uint32_t tcWord;
  std::memcpy(&tcWord, tc0Bytes, 4);
  __m128i tc0 = Lanes(tcWord);
  __m128i p2 = Wide(p + 8), q2 = Wide(q + 2 * QPitch);
  __m128i ap = _mm_cmpgt_epi16(b, Abs16(p2, p0)), aq = _mm_cmpgt_epi16(b, Abs16(q2, q0));
  __m128i tc = _mm_sub_epi16(_mm_sub_epi16(tc0, ap), aq);
  __m128i d = _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1)),
                            _mm_set1_epi16(4));
  d = _mm_and_si128(on, Clamp(_mm_srai_epi16(d, 3), _mm_sub_epi16(z, tc), tc));
  __m128i avg = _mm_avg_epu16(p0, q0);  // (p0 + q0 + 1) >> 1
  __m128i ntc0 = _mm_sub_epi16(z, tc0);
  __m128i dp1 = Clamp(_mm_srai_epi16(_mm_sub_epi16(_mm_add_epi16(p2, avg), _mm_slli_epi16(p1, 1)), 1), ntc0, tc0);
  __m128i dq1 = Clamp(_mm_srai_epi16(_mm_sub_epi16(_mm_add_epi16(q2, avg), _mm_slli_epi16(q1, 1)), 1), ntc0, tc0);
  // p1 + dp1 lies between p1 and (p2 + avg) >> 1, so inside 0..255; lanes
  // left alone store the bytes they were loaded from.
  Store(p + 24, _mm_add_epi16(p0, d));
  Store(q, _mm_sub_epi16(q0, d));
  Store(p + 16, _mm_add_epi16(p1, _mm_and_si128(_mm_and_si128(on, ap), dp1)));
  Store(q + QPitch, _mm_add_epi16(q1, _mm_and_si128(_mm_and_si128(on, aq), dq1)));
}

// bS 4; q rows 8 apart.
inline void Strong(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta) {
  if (!alpha) return;
  __m128i a = Lanes(alpha);
  __m128i b = _mm_set1_epi16(static_cast<int16_t>(beta & 0xFF));
  __m128i p1 = Wide(p + 16), p0 = Wide(p + 24), q0 = Wide(q), q1 = Wide(q + 8);
  __m128i on = On(a, b, p1, p0, q0, q1);
  if (None(on)) return;
  __m128i p3 = Wide(p), p2 = Wide(p + 8), q2 = Wide(q + 16), q3 = Wide(q + 24);
  __m128i small = _mm_cmpgt_epi16(_mm_add_epi16(_mm_srli_epi16(a, 2), _mm_set1_epi16(2)), Abs16(p0, q0));
  __m128i strongP = _mm_and_si128(small, _mm_cmpgt_epi16(b, Abs16(p2, p0)));
  __m128i strongQ = _mm_and_si128(small, _mm_cmpgt_epi16(b, Abs16(q2, q0)));
  const __m128i two = _mm_set1_epi16(2), four = _mm_set1_epi16(4);
  auto add = [](__m128i x, __m128i y) { return _mm_add_epi16(x, y); };
  auto dbl = [](__m128i x) { return _mm_slli_epi16(x, 1); };
  __m128i pq0 = add(p0, q0);
  __m128i sp0 = _mm_srli_epi16(add(add(add(p2, dbl(add(p1, pq0))), q1), four), 3);
  __m128i sp1 = _mm_srli_epi16(add(add(add(p2, p1), pq0), two), 2);
  __m128i sp2 = _mm_srli_epi16(add(add(add(dbl(p3), add(dbl(p2), p2)), add(p1, pq0)), four), 3);
  __m128i wp0 = _mm_srli_epi16(add(add(add(dbl(p1), p0), q1), two), 2);
  __m128i sq0 = _mm_srli_epi16(add(add(add(q2, dbl(add(q1, pq0))), p1), four), 3);
  __m128i sq1 = _mm_srli_epi16(add(add(add(q2, q1), pq0), two), 2);
  __m128i sq2 = _mm_srli_epi16(add(add(add(dbl(q3), add(dbl(q2), q2)), add(q1, pq0)), four), 3);
  __m128i wq0 = _mm_srli_epi16(add(add(add(dbl(q1), q0), p1), two), 2);
  Store(p + 24, Select(on, Select(strongP, sp0, wp0), p0));
  Store(q, Select(on, Select(strongQ, sq0, wq0), q0));
  __m128i onSP = _mm_and_si128(on, strongP), onSQ = _mm_and_si128(on, strongQ);
  if (!None(onSP)) {
    Store(p + 16, Select(onSP, sp1, p1));
    Store(p + 8, Select(onSP, sp2, p2));
  }
  if (!None(onSQ)) {
    Store(q + 8, Select(onSQ, sq1, q1));
    Store(q + 16, Select(onSQ, sq2, q2));
  }
}

}  // namespace luma_edge

// The table's luma filters.
inline void LumaEdgeFilter(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta, const uint8_t* tc0) {
  luma_edge::Normal<8>(p, q, alpha, beta, tc0);
}
inline void LumaEdgeFilterWideQ(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta, const uint8_t* tc0) {
  luma_edge::Normal<16>(p, q, alpha, beta, tc0);
}
inline void LumaEdgeFilterStrong(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta) {
  luma_edge::Strong(p, q, alpha, beta);
}

}  // namespace
