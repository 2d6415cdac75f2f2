// AVX2 edge filters in 16-bit lanes: the luma filters of one section built
// for AVX2 (h264_deblock_luma.h), the chroma filters on Cb and Cr together
// (Cb in the low 128 bits, Cr in the high ones). Each gives exactly the bytes
// of its plain twin.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "codecs/h264/h264_kernels.h"
#include "codecs/h264/x86/h264_deblock_luma.h"
#include "codecs/h264/x86/h264_kernels_x86.h"

namespace {

inline __m128i Load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline void Store8(uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }

// Eight bytes from a and eight from b widened: a's in the low half, b's in the high.
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
  t->lumaEdgeFilterWideQ = LumaEdgeFilterWideQ;
  t->lumaEdgeFilterStrong = LumaEdgeFilterStrong;
  t->transpose8x8Pair = Transpose8x8Pair;
  t->storeMbLuma = StoreMbLuma;
  t->chromaEdgeFilterSegments = ChromaEdgeFilterSegments;
  t->chromaEdgeFilterStrong = ChromaEdgeFilterStrong;
}
