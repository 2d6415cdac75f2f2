// SSE2 kernels of the deblocking decisions: the strengths of the macroblock
// edges of two inter macroblocks and the inner strengths from the coded
// flags. Each gives exactly the bytes of its plain twin.
#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codecs/h264/h264_internal.h"
#include "codecs/h264/x86/h264_kernels_x86.h"

namespace {

inline __m128i Load8(const void* p) { return _mm_loadl_epi64(static_cast<const __m128i*>(p)); }
inline __m128i Load16(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

inline __m128i Select(__m128i mask, __m128i a, __m128i b) {
  return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

// The four motion vectors (one 32-bit lane each) of the blocks along the
// edge: on the current side (q) the first row or column, on the
// neighbour's side (p) the last one.
template <int Dir>
inline __m128i EdgeMvQ(const int16_t (*mv)[2]) {
  if constexpr (Dir == 1) return _mm_unpacklo_epi64(Load8(mv[0]), Load8(mv[4]));  // blocks 0 1 4 5
  __m128i a = _mm_shuffle_epi32(Load16(mv[0]), _MM_SHUFFLE(3, 3, 2, 0));         // blocks 0 2
  __m128i b = _mm_shuffle_epi32(Load16(mv[8]), _MM_SHUFFLE(3, 3, 2, 0));         // blocks 8 10
  return _mm_unpacklo_epi64(a, b);
}
template <int Dir>
inline __m128i EdgeMvP(const int16_t (*mv)[2]) {
  if constexpr (Dir == 1) return _mm_unpacklo_epi64(Load8(mv[10]), Load8(mv[14]));  // blocks 10 11 14 15
  __m128i a = _mm_shuffle_epi32(Load16(mv[4]), _MM_SHUFFLE(3, 3, 3, 1));           // blocks 5 7
  __m128i b = _mm_shuffle_epi32(Load16(mv[12]), _MM_SHUFFLE(3, 3, 3, 1));          // blocks 13 15
  return _mm_unpacklo_epi64(a, b);
}

// Coded flags along the edge in the low four bytes (0 where neither block
// has coefficients).
template <int Dir>
inline __m128i EdgeCoded(const uint8_t* q, const uint8_t* p) {
  __m128i vq = Load16(q), vp = Load16(p);
  if constexpr (Dir == 1) {
    vq = _mm_shufflelo_epi16(vq, _MM_SHUFFLE(3, 3, 2, 0));                     // bytes 0 1 4 5
    vp = _mm_srli_si128(_mm_shufflehi_epi16(vp, _MM_SHUFFLE(3, 3, 3, 1)), 8);  // bytes 10 11 14 15
  } else {
    const __m128i low = _mm_set1_epi16(0xFF);
    vq = _mm_packus_epi16(_mm_and_si128(vq, low), vq);                     // even bytes
    vq = _mm_shufflelo_epi16(vq, _MM_SHUFFLE(3, 3, 2, 0));                 // bytes 0 2 8 10
    vp = _mm_packus_epi16(_mm_srli_epi16(vp, 8), vp);                      // odd bytes
    vp = _mm_shufflelo_epi16(vp, _MM_SHUFFLE(3, 3, 3, 1));                 // bytes 5 7 13 15
  }
  return _mm_or_si128(vq, vp);
}

// Whether the list-0 pictures of the two 8x8 pairs along the edge agree
// (picture order count and structure): all ones in lanes 0, 1 for the first
// pair and 2, 3 for the second, the lanes of the edge's vectors.
template <int Dir>
inline __m128i SamePicturesL0(const H264MbMotion* cur, const H264MbMotion* nb) {
  const __m128i z = _mm_setzero_si128();
  auto structs = [&](const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(v)), z), z);
  };
  __m128i q = Load16(cur->refPocL0), p = Load16(nb->refPocL0);
  __m128i qs = structs(cur->refStructL0), ps = structs(nb->refStructL0);
  // Line up the neighbour's blocks (1, 3 or 2, 3) with the current ones (0, 2 or 0, 1).
  if constexpr (Dir == 0) {
    p = _mm_srli_si128(p, 4);
    ps = _mm_srli_si128(ps, 4);
  } else {
    p = _mm_srli_si128(p, 8);
    ps = _mm_srli_si128(ps, 8);
  }
  __m128i same = _mm_and_si128(_mm_cmpeq_epi32(q, p), _mm_cmpeq_epi32(qs, ps));
  return Dir == 0 ? _mm_shuffle_epi32(same, _MM_SHUFFLE(2, 2, 0, 0)) : _mm_shuffle_epi32(same, _MM_SHUFFLE(1, 1, 0, 0));
}

// The list flags (all ones where the list is used) and the reference
// structures of the 8x8 blocks of the edge lanes (picked by Lanes): the
// indexes and structures of both lists lie in one row of 16 bytes.
template <int Lanes>
inline void EdgeRefs(const H264MbMotion* m, __m128i* used0, __m128i* used1, __m128i* st0, __m128i* st1) {
  static_assert(offsetof(H264MbMotion, refStructL1) == offsetof(H264MbMotion, refIdxL0) + 12);
  __m128i v = Load16(m->refIdxL0);
  __m128i idx = _mm_unpacklo_epi8(v, v), st = _mm_unpackhi_epi8(v, v);
  const __m128i none = _mm_set1_epi32(-1);
  *used0 = _mm_shuffle_epi32(_mm_cmpgt_epi32(_mm_unpacklo_epi16(idx, idx), none), Lanes);
  *used1 = _mm_shuffle_epi32(_mm_cmpgt_epi32(_mm_unpackhi_epi16(idx, idx), none), Lanes);
  *st0 = _mm_shuffle_epi32(_mm_unpacklo_epi16(st, st), Lanes);
  *st1 = _mm_shuffle_epi32(_mm_unpackhi_epi16(st, st), Lanes);
}

// Strengths of the left (Dir 0) or top (Dir 1) edge.
template <int Dir>
void EdgeStrength(const H264MbMotion* nb, const H264MbMotion* cur, const H264MbInfo* nbInfo,
                  const H264MbInfo* curInfo, uint8_t* out) {
  const bool field = cur->fieldPic != 0;
  if (cur->mbType > 22 || nb->mbType > 22) {
    std::memset(out, Dir && field ? 3 : 4, 4);
    return;
  }
  const __m128i z = _mm_setzero_si128();
  __m128i uncoded = _mm_cmpeq_epi8(EdgeCoded<Dir>(curInfo->nonZero, nbInfo->nonZero), z);
  if ((_mm_movemask_epi8(uncoded) & 15) == 0) {
    std::memset(out, 2, 4);
    return;
  }
  // Largest near difference per vector: x 3, y 3 (1 in field pictures).
  const __m128i lim = _mm_set1_epi32(field ? 0x00010003 : 0x00030003);
  auto refWord = [](const int8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  };
  if (((refWord(cur->refIdxL0) | refWord(nb->refIdxL0)) & 0x80808080u) == 0 &&
      (refWord(cur->refIdxL1) & refWord(nb->refIdxL1) & 0x80808080u) == 0x80808080u) {
    // Both macroblocks predict from list 0 alone: a pair of blocks is 0 when
    // they see the same picture with vectors within the limits, else 1.
    __m128i same = SamePicturesL0<Dir>(cur, nb);
    __m128i mvq = EdgeMvQ<Dir>(cur->mvL0), mvp = EdgeMvP<Dir>(nb->mvL0);
    __m128i diff = _mm_max_epi16(_mm_subs_epi16(mvq, mvp), _mm_subs_epi16(mvp, mvq));
    __m128i near = _mm_cmpeq_epi32(_mm_cmpgt_epi16(diff, lim), z);
    near = _mm_and_si128(near, same);
    __m128i s1 = _mm_andnot_si128(near, _mm_set1_epi32(1));
    s1 = _mm_packs_epi32(s1, s1);
    s1 = _mm_packs_epi16(s1, s1);
    s1 = Select(uncoded, s1, _mm_set1_epi8(2));
    int32_t word1 = _mm_cvtsi128_si32(s1);
    std::memcpy(out, &word1, 4);
    return;
  }
  // Any mix of lists, per edge lane: the per-8x8 facts spread to the lanes
  // of their blocks, each list's picture (order count and structure) and
  // vector compared straight and crosswise.
  constexpr int kQLanes = Dir ? _MM_SHUFFLE(1, 1, 0, 0) : _MM_SHUFFLE(2, 2, 0, 0);
  constexpr int kPLanes = Dir ? _MM_SHUFFLE(3, 3, 2, 2) : _MM_SHUFFLE(3, 3, 1, 1);
  __m128i uq0, uq1, stQ0, stQ1, up0, up1, stP0, stP1;
  EdgeRefs<kQLanes>(cur, &uq0, &uq1, &stQ0, &stQ1);
  EdgeRefs<kPLanes>(nb, &up0, &up1, &stP0, &stP1);
  __m128i pocQ0 = _mm_shuffle_epi32(Load16(cur->refPocL0), kQLanes);
  __m128i pocQ1 = _mm_shuffle_epi32(Load16(cur->refPocL1), kQLanes);
  __m128i pocP0 = _mm_shuffle_epi32(Load16(nb->refPocL0), kPLanes);
  __m128i pocP1 = _mm_shuffle_epi32(Load16(nb->refPocL1), kPLanes);
  auto samePic = [](__m128i pocA, __m128i stA, __m128i pocB, __m128i stB) {
    return _mm_and_si128(_mm_cmpeq_epi32(pocA, pocB), _mm_cmpeq_epi32(stA, stB));
  };
  // Same picture: current list i against neighbour list j.
  __m128i same00 = samePic(pocQ0, stQ0, pocP0, stP0), same01 = samePic(pocQ0, stQ0, pocP1, stP1);
  __m128i same10 = samePic(pocQ1, stQ1, pocP0, stP0), same11 = samePic(pocQ1, stQ1, pocP1, stP1);
  auto close = [&](__m128i a, __m128i b) {
    __m128i diff = _mm_max_epi16(_mm_subs_epi16(a, b), _mm_subs_epi16(b, a));
    return _mm_cmpeq_epi32(_mm_cmpgt_epi16(diff, lim), z);
  };
  __m128i mvq0 = EdgeMvQ<Dir>(cur->mvL0), mvq1 = EdgeMvQ<Dir>(cur->mvL1);
  __m128i mvp0 = EdgeMvP<Dir>(nb->mvL0), mvp1 = EdgeMvP<Dir>(nb->mvL1);
  // The first list used on each side (list 0 when both are).
  __m128i sameA = Select(uq0, Select(up0, same00, same01), Select(up0, same10, same11));
  __m128i closeA = close(Select(uq0, mvq0, mvq1), Select(up0, mvp0, mvp1));
  __m128i two = _mm_and_si128(uq0, uq1);
  __m128i second = _mm_and_si128(same11, close(mvq1, mvp1));
  __m128i straight = _mm_and_si128(_mm_and_si128(sameA, closeA), _mm_or_si128(_mm_xor_si128(two, _mm_set1_epi32(-1)), second));
  __m128i cross = _mm_and_si128(_mm_and_si128(same01, same10), _mm_and_si128(close(mvq0, mvp1), close(mvq1, mvp0)));
  cross = _mm_and_si128(cross, two);
  __m128i none = _mm_cmpeq_epi32(_mm_or_si128(uq0, uq1), z);
  __m128i sameCount = _mm_cmpeq_epi32(_mm_add_epi32(uq0, uq1), _mm_add_epi32(up0, up1));
  __m128i zero = _mm_and_si128(sameCount, _mm_or_si128(none, _mm_or_si128(straight, cross)));
  __m128i s = _mm_andnot_si128(zero, _mm_set1_epi32(1));
  s = _mm_packs_epi32(s, s);
  s = _mm_packs_epi16(s, s);
  s = Select(uncoded, s, _mm_set1_epi8(2));
  int32_t word = _mm_cvtsi128_si32(s);
  std::memcpy(out, &word, 4);
}

// Coded flags to inner strengths with bit masks: raster bit 4y + x of each
// 4x4 block, ORed with its neighbour across each inner edge.
void InnerStrengthsFromCoeffs(const uint8_t* nonZero, uint8_t* strengths) {
  uint32_t m = ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(Load16(nonZero), _mm_setzero_si128()))) & 0xFFFF;
  uint32_t r = (m & 0xC3C3) | ((m >> 2) & 0x0C0C) | ((m << 2) & 0x3030);  // block order to raster
  uint32_t t = r;                                                          // transposed: bit 4x + y
  uint32_t d = (t ^ (t >> 3)) & 0x0A0A;
  t ^= d ^ (d << 3);
  d = (t ^ (t >> 6)) & 0x00CC;
  t ^= d ^ (d << 6);
  uint32_t vertical = t | (t >> 4);  // bit 4(e - 1) + k: edge x = 4e, row k
  uint32_t horizontal = r | (r >> 4);
  // Four mask bits to four bytes of 0 or 2.
  static constexpr uint32_t kSpread[16] = {
      0x00000000, 0x00000002, 0x00000200, 0x00000202, 0x00020000, 0x00020002, 0x00020200, 0x00020202,
      0x02000000, 0x02000002, 0x02000200, 0x02000202, 0x02020000, 0x02020002, 0x02020200, 0x02020202};
  uint32_t words[6];
  for (int e = 0; e < 3; ++e) {
    words[e] = kSpread[(vertical >> (4 * e)) & 15];
    words[3 + e] = kSpread[(horizontal >> (4 * e)) & 15];
  }
  std::memcpy(strengths + 16, words, sizeof words);
}

}  // namespace

void H264InstallSse2DeblockKernels(H264DecKernelTable* t) {
  t->edgeStrengthLeft = EdgeStrength<0>;
  t->edgeStrengthTop = EdgeStrength<1>;
  t->innerStrengthsFromCoeffs = InnerStrengthsFromCoeffs;
}
