// AVX2 edge filters in 16-bit lanes: the luma filters on one section of
// eight samples (with the AVX2 encodings and the SSSE3 and SSE4.1 forms they
// bring), the chroma filters on Cb and Cr together (Cb in the low 128 bits,
// Cr in the high ones). Each gives exactly the bytes of its plain twin.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "codecs/h264/h264_kernels.h"
#include "codecs/h264/x86/h264_kernels_x86.h"

namespace {

inline __m128i Load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline void Store8(uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }

// Row `off` of both sections widened: A in the low half, B in the high.
inline __m256i LoadPair(const uint8_t* a, const uint8_t* b) {
  return _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(Load8(a), Load8(b)));
}

// Byte k of each word in lanes 2k and 2k + 1 of its half.
inline __m256i PairLanes(uint32_t lo, uint32_t hi) {
  __m128i v = _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(lo)), _mm_cvtsi32_si128(static_cast<int>(hi)));
  v = _mm_unpacklo_epi8(v, v);  // A's bytes doubled, then B's
  return _mm256_cvtepu8_epi16(v);
}

inline __m256i Abs16(__m256i a, __m256i b) { return _mm256_abs_epi16(_mm256_sub_epi16(a, b)); }
inline __m256i Select(__m256i mask, __m256i a, __m256i b) { return _mm256_blendv_epi8(b, a, mask); }
inline __m256i Clamp(__m256i v, __m256i lo, __m256i hi) { return _mm256_min_epi16(_mm256_max_epi16(v, lo), hi); }

// Stores both halves, clipped to 0..255. Every filtered sample lies in that
// range but p0 and q0 before their clipping; lanes left alone store the
// bytes they were loaded from.
inline void StorePair(uint8_t* a, uint8_t* b, __m256i v) {
  __m256i n = _mm256_packus_epi16(v, v);
  Store8(a, _mm256_castsi256_si128(n));
  Store8(b, _mm256_extracti128_si256(n, 1));
}

inline __m128i Word(const void* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(static_cast<int>(v));
}

// Per sample lane (bytes) of the bS: `spread` picks each lane's segment.
// tc0 by bS from the bytes of `tcs` (zero from byte 4 on, so bS 4 gives 0).
inline __m128i TcLanes(__m128i tcs, __m128i seg) { return _mm_shuffle_epi8(tcs, seg); }

// One section of eight samples in 16-bit lanes (slots 7 and 9).
inline __m128i Wide(const uint8_t* p) { return _mm_cvtepu8_epi16(Load8(p)); }
inline __m128i Lanes(uint32_t word) {
  __m128i v = _mm_cvtsi32_si128(static_cast<int>(word));
  return _mm_cvtepu8_epi16(_mm_unpacklo_epi8(v, v));
}
inline void StoreWide(uint8_t* p, __m128i v) { Store8(p, _mm_packus_epi16(v, v)); }
inline __m128i Abs16(__m128i a, __m128i b) { return _mm_abs_epi16(_mm_sub_epi16(a, b)); }
inline __m128i Clamp(__m128i v, __m128i lo, __m128i hi) { return _mm_min_epi16(_mm_max_epi16(v, lo), hi); }

void LumaEdgeFilter(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta, const uint8_t* tc0Bytes) {
  if (!alpha) return;
  const __m128i z = _mm_setzero_si128();
  __m128i a = Lanes(alpha);
  __m128i b = _mm_set1_epi16(static_cast<int16_t>(beta & 0xFF));
  uint32_t tcWord;
  std::memcpy(&tcWord, tc0Bytes, 4);
  __m128i tc0 = Lanes(tcWord);
  __m128i p1 = Wide(p + 16), p0 = Wide(p + 24), q0 = Wide(q), q1 = Wide(q + 8);
  // Lanes of alpha 0 stay off: no |p0 - q0| is below 0.
  __m128i on = _mm_and_si128(_mm_cmpgt_epi16(a, Abs16(p0, q0)),
                             _mm_and_si128(_mm_cmpgt_epi16(b, Abs16(p1, p0)), _mm_cmpgt_epi16(b, Abs16(q1, q0))));
  if (_mm_testz_si128(on, on)) return;
  __m128i p2 = Wide(p + 8), q2 = Wide(q + 16);
  __m128i ap = _mm_cmpgt_epi16(b, Abs16(p2, p0)), aq = _mm_cmpgt_epi16(b, Abs16(q2, q0));
  __m128i tc = _mm_sub_epi16(_mm_sub_epi16(tc0, ap), aq);
  __m128i d = _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1)),
                            _mm_set1_epi16(4));
  d = _mm_and_si128(on, Clamp(_mm_srai_epi16(d, 3), _mm_sub_epi16(z, tc), tc));
  __m128i avg = _mm_avg_epu16(p0, q0);
  __m128i ntc0 = _mm_sub_epi16(z, tc0);
  __m128i dp1 = Clamp(_mm_srai_epi16(_mm_sub_epi16(_mm_add_epi16(p2, avg), _mm_slli_epi16(p1, 1)), 1), ntc0, tc0);
  __m128i dq1 = Clamp(_mm_srai_epi16(_mm_sub_epi16(_mm_add_epi16(q2, avg), _mm_slli_epi16(q1, 1)), 1), ntc0, tc0);
  StoreWide(p + 24, _mm_add_epi16(p0, d));
  StoreWide(q, _mm_sub_epi16(q0, d));
  StoreWide(p + 16, _mm_add_epi16(p1, _mm_and_si128(_mm_and_si128(on, ap), dp1)));
  StoreWide(q + 8, _mm_add_epi16(q1, _mm_and_si128(_mm_and_si128(on, aq), dq1)));
}

void LumaEdgeFilterStrong(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta) {
  if (!alpha) return;
  __m128i a = Lanes(alpha);
  __m128i b = _mm_set1_epi16(static_cast<int16_t>(beta & 0xFF));
  __m128i p3 = Wide(p), p2 = Wide(p + 8), p1 = Wide(p + 16), p0 = Wide(p + 24);
  __m128i q0 = Wide(q), q1 = Wide(q + 8), q2 = Wide(q + 16), q3 = Wide(q + 24);
  __m128i apq = Abs16(p0, q0);
  __m128i on = _mm_and_si128(_mm_cmpgt_epi16(a, apq),
                             _mm_and_si128(_mm_cmpgt_epi16(b, Abs16(p1, p0)), _mm_cmpgt_epi16(b, Abs16(q1, q0))));
  if (_mm_testz_si128(on, on)) return;
  __m128i small = _mm_cmpgt_epi16(_mm_add_epi16(_mm_srli_epi16(a, 2), _mm_set1_epi16(2)), apq);
  __m128i strongP = _mm_and_si128(small, _mm_cmpgt_epi16(b, Abs16(p2, p0)));
  __m128i strongQ = _mm_and_si128(small, _mm_cmpgt_epi16(b, Abs16(q2, q0)));
  const __m128i two = _mm_set1_epi16(2), four = _mm_set1_epi16(4);
  auto add = [](__m128i x, __m128i y) { return _mm_add_epi16(x, y); };
  auto dbl = [](__m128i x) { return _mm_slli_epi16(x, 1); };
  auto sel = [](__m128i m, __m128i x, __m128i y) { return _mm_blendv_epi8(y, x, m); };
  __m128i pq0 = add(p0, q0);
  __m128i sp0 = _mm_srli_epi16(add(add(add(p2, dbl(add(p1, pq0))), q1), four), 3);
  __m128i sp1 = _mm_srli_epi16(add(add(add(p2, p1), pq0), two), 2);
  __m128i sp2 = _mm_srli_epi16(add(add(add(dbl(p3), add(dbl(p2), p2)), add(p1, pq0)), four), 3);
  __m128i wp0 = _mm_srli_epi16(add(add(add(dbl(p1), p0), q1), two), 2);
  __m128i sq0 = _mm_srli_epi16(add(add(add(q2, dbl(add(q1, pq0))), p1), four), 3);
  __m128i sq1 = _mm_srli_epi16(add(add(add(q2, q1), pq0), two), 2);
  __m128i sq2 = _mm_srli_epi16(add(add(add(dbl(q3), add(dbl(q2), q2)), add(q1, pq0)), four), 3);
  __m128i wq0 = _mm_srli_epi16(add(add(add(dbl(q1), q0), p1), two), 2);
  StoreWide(p + 24, sel(on, sel(strongP, sp0, wp0), p0));
  StoreWide(q, sel(on, sel(strongQ, sq0, wq0), q0));
  __m128i onSP = _mm_and_si128(on, strongP), onSQ = _mm_and_si128(on, strongQ);
  if (!_mm_testz_si128(onSP, onSP)) {
    StoreWide(p + 16, sel(onSP, sp1, p1));
    StoreWide(p + 8, sel(onSP, sp2, p2));
  }
  if (!_mm_testz_si128(onSQ, onSQ)) {
    StoreWide(q + 8, sel(onSQ, sq1, q1));
    StoreWide(q + 16, sel(onSQ, sq2, q2));
  }
}

// Chroma: Cb in the low half, Cr in the high one; p rows p1 (0), p0 (8), q
// rows q0 (0), q1 (qPitch).
inline __m256i BetaPair(uint32_t betaCb, uint32_t betaCr) {
  return _mm256_set_m128i(_mm_set1_epi16(static_cast<int16_t>(betaCr & 0xFF)),
                          _mm_set1_epi16(static_cast<int16_t>(betaCb & 0xFF)));
}

// Lanes of alpha 0 stay off: no |p0 - q0| is below 0.
inline __m256i ChromaOn(__m256i a, __m256i b, __m256i p1, __m256i p0, __m256i q0, __m256i q1) {
  return _mm256_and_si256(
      _mm256_cmpgt_epi16(a, Abs16(p0, q0)),
      _mm256_and_si256(_mm256_cmpgt_epi16(b, Abs16(p1, p0)), _mm256_cmpgt_epi16(b, Abs16(q1, q0))));
}

void ChromaEdgeFilterSegments(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, const uint8_t* bS,
                              const H264EdgeThresholds* tCb, const H264EdgeThresholds* tCr, int qPitch) {
  uint32_t segs;
  std::memcpy(&segs, bS, 4);
  if (!segs) return;
  const __m256i z = _mm256_setzero_si256();
  // Cb's samples in bytes 0..7, Cr's in 8..15; Cr's tc0 bytes from byte 8 on.
  __m128i seg = _mm_shuffle_epi8(_mm_cvtsi32_si128(static_cast<int>(segs)),
                                 _mm_setr_epi8(0, 0, 1, 1, 2, 2, 3, 3, 0, 0, 1, 1, 2, 2, 3, 3));
  __m256i segLanes = _mm256_cvtepu8_epi16(seg);
  __m256i a = _mm256_andnot_si256(_mm256_cmpeq_epi16(segLanes, z),
                                  _mm256_set_m128i(_mm_set1_epi16(static_cast<int16_t>(tCr->alpha & 0xFF)),
                                                   _mm_set1_epi16(static_cast<int16_t>(tCb->alpha & 0xFF))));
  __m256i b = BetaPair(tCb->beta, tCr->beta);
  __m256i p1 = LoadPair(pCb, pCr), p0 = LoadPair(pCb + 8, pCr + 8);
  __m256i q0 = LoadPair(qCb, qCr), q1 = LoadPair(qCb + qPitch, qCr + qPitch);
  __m256i on = ChromaOn(a, b, p1, p0, q0, q1);
  if (_mm256_testz_si256(on, on)) return;
  __m128i tcs = _mm_unpacklo_epi64(Word(tCb->tcByBs), Word(tCr->tcByBs));
  __m128i idx = _mm_add_epi8(seg, _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 8, 8, 8, 8, 8, 8, 8, 8));
  __m256i tc = _mm256_add_epi16(_mm256_cvtepu8_epi16(TcLanes(tcs, idx)), _mm256_set1_epi16(1));
  __m256i d = _mm256_add_epi16(
      _mm256_add_epi16(_mm256_slli_epi16(_mm256_sub_epi16(q0, p0), 2), _mm256_sub_epi16(p1, q1)),
      _mm256_set1_epi16(4));
  d = _mm256_and_si256(on, Clamp(_mm256_srai_epi16(d, 3), _mm256_sub_epi16(z, tc), tc));
  StorePair(pCb + 8, pCr + 8, _mm256_add_epi16(p0, d));
  StorePair(qCb, qCr, _mm256_sub_epi16(q0, d));
}

void ChromaEdgeFilterStrong(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb,
                            uint32_t betaCb, uint32_t alphaCr, uint32_t betaCr) {
  if (!(alphaCb | alphaCr)) return;
  __m256i a = PairLanes(alphaCb, alphaCr), b = BetaPair(betaCb, betaCr);
  __m256i p1 = LoadPair(pCb, pCr), p0 = LoadPair(pCb + 8, pCr + 8);
  __m256i q0 = LoadPair(qCb, qCr), q1 = LoadPair(qCb + 8, qCr + 8);
  __m256i on = ChromaOn(a, b, p1, p0, q0, q1);
  if (_mm256_testz_si256(on, on)) return;
  const __m256i two = _mm256_set1_epi16(2);
  __m256i np0 = _mm256_srli_epi16(
      _mm256_add_epi16(_mm256_add_epi16(_mm256_slli_epi16(p1, 1), p0), _mm256_add_epi16(q1, two)), 2);
  __m256i nq0 = _mm256_srli_epi16(
      _mm256_add_epi16(_mm256_add_epi16(_mm256_slli_epi16(q1, 1), q0), _mm256_add_epi16(p1, two)), 2);
  StorePair(pCb + 8, pCr + 8, Select(on, np0, p0));
  StorePair(qCb, qCr, Select(on, nq0, q0));
}

// Block moves: both 8x8 blocks at once, A in the low 128 bits, B in the high.
inline __m256i LoadTwo(const uint8_t* a, const uint8_t* b) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a))),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), 1);
}

inline void StoreTwo(uint8_t* a, uint8_t* b, __m256i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(a), _mm256_castsi256_si128(v));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(b), _mm256_extracti128_si256(v, 1));
}

void Transpose8x8Pair(uint8_t* a, uint8_t* b) {
  __m256i r01 = LoadTwo(a, b), r23 = LoadTwo(a + 16, b + 16);
  __m256i r45 = LoadTwo(a + 32, b + 32), r67 = LoadTwo(a + 48, b + 48);
  // rows 0/1 interleaved byte-wise, and so on
  __m256i a0 = _mm256_unpacklo_epi8(r01, _mm256_srli_si256(r01, 8));
  __m256i a1 = _mm256_unpacklo_epi8(r23, _mm256_srli_si256(r23, 8));
  __m256i a2 = _mm256_unpacklo_epi8(r45, _mm256_srli_si256(r45, 8));
  __m256i a3 = _mm256_unpacklo_epi8(r67, _mm256_srli_si256(r67, 8));
  __m256i b0 = _mm256_unpacklo_epi16(a0, a1), b1 = _mm256_unpackhi_epi16(a0, a1);
  __m256i b2 = _mm256_unpacklo_epi16(a2, a3), b3 = _mm256_unpackhi_epi16(a2, a3);
  StoreTwo(a, b, _mm256_unpacklo_epi32(b0, b2));
  StoreTwo(a + 16, b + 16, _mm256_unpackhi_epi32(b0, b2));
  StoreTwo(a + 32, b + 32, _mm256_unpacklo_epi32(b1, b3));
  StoreTwo(a + 48, b + 48, _mm256_unpackhi_epi32(b1, b3));
}

// Rows y and y + 2 of the macroblock from four rows of the left and the
// right quadrant.
void StoreMbLuma(uint8_t* dst, const uint8_t* samples, int pitch) {
  for (int y = 0; y < 16; y += 4) {
    const uint8_t* row = samples + 128 * (y >> 3) + 8 * (y & 7);
    __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row));
    __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 64));
    StoreTwo(dst + y * pitch, dst + (y + 2) * pitch, _mm256_unpacklo_epi64(l, r));
    StoreTwo(dst + (y + 1) * pitch, dst + (y + 3) * pitch, _mm256_unpackhi_epi64(l, r));
  }
}

}  // namespace

void H264InstallAvx2DeblockKernels(H264DecKernelTable* t) {
  t->lumaEdgeFilter = LumaEdgeFilter;
  t->lumaEdgeFilterStrong = LumaEdgeFilterStrong;
  t->transpose8x8Pair = Transpose8x8Pair;
  t->storeMbLuma = StoreMbLuma;
  t->chromaEdgeFilterSegments = ChromaEdgeFilterSegments;
  t->chromaEdgeFilterStrong = ChromaEdgeFilterStrong;
}
