// SSE2 chroma deblocking of one edge's 8 lines: the two sample pairs next to
// the edge as 16-bit lanes, one tc per group of four lines.
#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "codecs/hevc/x86/hevc_x86.h"

namespace hevc {
namespace {

// p1, p0, q0, q1 as eight 16-bit lanes each; returns the new p0 and q0 as bytes
// (p0 in the low, q0 in the high eight), the exempt sides keeping theirs.
inline void Filter(__m128i p1, __m128i p0, __m128i q0, __m128i q1, const int32_t* tc, const int32_t* noP,
                   const int32_t* noQ, __m128i* outP0, __m128i* outQ0) {
  const int16_t t0 = static_cast<int16_t>(tc[0] > 0 ? tc[0] : 0), t1 = static_cast<int16_t>(tc[1] > 0 ? tc[1] : 0);
  const __m128i tcv = _mm_setr_epi16(t0, t0, t0, t0, t1, t1, t1, t1);
  __m128i delta = _mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1));
  delta = _mm_srai_epi16(_mm_add_epi16(delta, _mm_set1_epi16(4)), 3);
  delta = _mm_min_epi16(_mm_max_epi16(delta, _mm_sub_epi16(_mm_setzero_si128(), tcv)), tcv);
  const int16_t kp0 = noP[0] ? -1 : 0, kp1 = noP[1] ? -1 : 0, kq0 = noQ[0] ? -1 : 0, kq1 = noQ[1] ? -1 : 0;
  const __m128i keepP = _mm_setr_epi16(kp0, kp0, kp0, kp0, kp1, kp1, kp1, kp1);
  const __m128i keepQ = _mm_setr_epi16(kq0, kq0, kq0, kq0, kq1, kq1, kq1, kq1);
  const __m128i np0 = _mm_or_si128(_mm_and_si128(keepP, p0), _mm_andnot_si128(keepP, _mm_add_epi16(p0, delta)));
  const __m128i nq0 = _mm_or_si128(_mm_and_si128(keepQ, q0), _mm_andnot_si128(keepQ, _mm_sub_epi16(q0, delta)));
  *outP0 = _mm_packus_epi16(np0, np0);
  *outQ0 = _mm_packus_epi16(nq0, nq0);
}

inline __m128i Widen(__m128i v) { return _mm_unpacklo_epi8(v, _mm_setzero_si128()); }
inline __m128i Load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

// the edge runs along a row: its samples lie side by side
void DeblockChromaH(uint8_t* q0, int stride, const int32_t* tc, const int32_t* noP, const int32_t* noQ) {
  const ptrdiff_t s = stride;
  __m128i np0, nq0;
  Filter(Widen(Load8(q0 - 2 * s)), Widen(Load8(q0 - s)), Widen(Load8(q0)), Widen(Load8(q0 + s)), tc, noP, noQ,
         &np0, &nq0);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(q0 - s), np0);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(q0), nq0);
}

// the edge runs down a column: four bytes of each line, transposed
void DeblockChromaV(uint8_t* q0, int stride, const int32_t* tc, const int32_t* noP, const int32_t* noQ) {
  const ptrdiff_t s = stride;
  int32_t w[8];
  for (int l = 0; l < 8; ++l) std::memcpy(&w[l], q0 + l * s - 2, 4);
  const __m128i a = _mm_setr_epi32(w[0], w[1], w[2], w[3]), b = _mm_setr_epi32(w[4], w[5], w[6], w[7]);
  const __m128i t0 = _mm_unpacklo_epi8(a, b), t1 = _mm_unpackhi_epi8(a, b);
  const __m128i u0 = _mm_unpacklo_epi8(t0, t1), u1 = _mm_unpackhi_epi8(t0, t1);
  const __m128i v0 = _mm_unpacklo_epi8(u0, u1), v1 = _mm_unpackhi_epi8(u0, u1);  // p1|p0, q0|q1
  __m128i np0, nq0;
  Filter(Widen(v0), Widen(_mm_srli_si128(v0, 8)), Widen(v1), Widen(_mm_srli_si128(v1, 8)), tc, noP, noQ, &np0,
         &nq0);
  const __m128i pairs = _mm_unpacklo_epi8(np0, nq0);  // line by line: p0, q0
  alignas(16) uint8_t out[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(out), pairs);
  for (int l = 0; l < 8; ++l) std::memcpy(q0 + l * s - 1, out + 2 * l, 2);
}

}  // namespace

void HevcSetDeblockChromaSse2(HevcDspTable* t) {
  t->slot[kSlotDeblockChromaV] = reinterpret_cast<HevcKernel>(&DeblockChromaV);
  t->slot[kSlotDeblockChromaH] = reinterpret_cast<HevcKernel>(&DeblockChromaH);
}

}  // namespace hevc
