// Steps shared by the SSE2 kernels and the SSSE3/AVX2 partition kernels:
// loads and stores of exact widths, rounding of six-tap sums, the centre
// half sample and the layout of the macroblock sample buffer.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

namespace {

// ---------------------------------------------------------------------------
// Loads and stores of exact widths

inline __m128i Load2(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return _mm_cvtsi32_si128(v);
}
inline __m128i Load4(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}
inline __m128i Load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
// Eight bytes from p, then eight from q.
inline __m128i Load8x2(const uint8_t* p, const uint8_t* q) {
  return _mm_castpd_si128(_mm_loadh_pd(_mm_castsi128_pd(Load8(p)), reinterpret_cast<const double*>(q)));
}
inline void Store2(uint8_t* p, __m128i v) {
  auto x = static_cast<uint16_t>(_mm_cvtsi128_si32(v));
  std::memcpy(p, &x, 2);
}
inline void Store4(uint8_t* p, __m128i v) {
  int32_t x = _mm_cvtsi128_si32(v);
  std::memcpy(p, &x, 4);
}
inline void Store8(uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }

template <int W>
inline __m128i LoadBytes(const uint8_t* p) {
  if constexpr (W == 2) return Load2(p);
  else if constexpr (W == 4) return Load4(p);
  else return Load8(p);
}
template <int W>
inline void StoreBytes(uint8_t* p, __m128i v) {
  if constexpr (W == 2) Store2(p, v);
  else if constexpr (W == 4) Store4(p, v);
  else Store8(p, v);
}

// Clip1((v + 16) >> 5) as bytes in the low half.
inline __m128i Round5(__m128i v) {
  v = _mm_srai_epi16(_mm_add_epi16(v, _mm_set1_epi16(16)), 5);
  return _mm_packus_epi16(v, v);
}

// The centre half sample from six rows of unrounded horizontal intermediates.
inline __m128i CentreTap(const __m128i* r) {
  const __m128i k0 = _mm_set_epi16(-5, 1, -5, 1, -5, 1, -5, 1);
  const __m128i k1 = _mm_set1_epi16(20);
  const __m128i k2 = _mm_set_epi16(1, -5, 1, -5, 1, -5, 1, -5);
  __m128i lo = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(r[0], r[1]), k0),
                                           _mm_madd_epi16(_mm_unpacklo_epi16(r[2], r[3]), k1)),
                             _mm_madd_epi16(_mm_unpacklo_epi16(r[4], r[5]), k2));
  __m128i hi = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(r[0], r[1]), k0),
                                           _mm_madd_epi16(_mm_unpackhi_epi16(r[2], r[3]), k1)),
                             _mm_madd_epi16(_mm_unpackhi_epi16(r[4], r[5]), k2));
  const __m128i rnd = _mm_set1_epi32(512);
  lo = _mm_srai_epi32(_mm_add_epi32(lo, rnd), 10);
  hi = _mm_srai_epi32(_mm_add_epi32(hi, rnd), 10);
  __m128i v = _mm_packs_epi32(lo, hi);
  return _mm_packus_epi16(v, v);
}

inline uint8_t* LumaRow(uint8_t* dst, int y) { return dst + (y < 8 ? 8 * y : 128 + 8 * (y - 8)); }

}  // namespace
