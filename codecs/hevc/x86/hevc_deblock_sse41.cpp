// SSE4.1 luma deblocking of one edge's 8 lines: the four samples each side
// of the edge as eight 16-bit lanes (one lane per line), the decisions per
// group of four lines made on the two lines that take them, the filters in
// every lane and the results chosen by lane masks.
#include <smmintrin.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codecs/hevc/x86/hevc_x86.h"

namespace hevc {
namespace {

inline __m128i Clip(__m128i v, __m128i lo, __m128i hi) { return _mm_min_epi16(_mm_max_epi16(v, lo), hi); }
inline __m128i Select(__m128i mask, __m128i a, __m128i b) { return _mm_blendv_epi8(b, a, mask); }
inline __m128i Halves(int a, int b) {
  const auto x = static_cast<int16_t>(a), y = static_cast<int16_t>(b);
  return _mm_setr_epi16(x, x, x, x, y, y, y, y);
}

// s[0..7] = p3, p2, p1, p0, q0, q1, q2, q3, one lane per line; filters them in
// place. Returns false when no line changes.
bool FilterLanes(__m128i* s, const int32_t* beta, const int32_t* tc, const int32_t* noP, const int32_t* noQ) {
  alignas(16) int16_t v[8][8];
  for (int i = 0; i < 8; ++i) _mm_store_si128(reinterpret_cast<__m128i*>(v[i]), s[i]);
  int strongH[2] = {0, 0}, normalH[2] = {0, 0}, dEpH[2] = {0, 0}, dEqH[2] = {0, 0};
  for (int half = 0; half < 2; ++half) {
    const int t = tc[half], b = beta[half];
    if (t <= 0) continue;
    const int l0 = 4 * half, l3 = l0 + 3;
    auto P = [&](int line, int i) { return static_cast<int>(v[3 - i][line]); };
    auto Q = [&](int line, int i) { return static_cast<int>(v[4 + i][line]); };
    const int dp0 = std::abs(P(l0, 2) - 2 * P(l0, 1) + P(l0, 0)), dp3 = std::abs(P(l3, 2) - 2 * P(l3, 1) + P(l3, 0));
    const int dq0 = std::abs(Q(l0, 2) - 2 * Q(l0, 1) + Q(l0, 0)), dq3 = std::abs(Q(l3, 2) - 2 * Q(l3, 1) + Q(l3, 0));
    if (dp0 + dq0 + dp3 + dq3 >= b) continue;
    auto strongLine = [&](int line, int dpq) {
      return 2 * dpq < (b >> 2) && std::abs(P(line, 3) - P(line, 0)) + std::abs(Q(line, 0) - Q(line, 3)) < (b >> 3) &&
             std::abs(P(line, 0) - Q(line, 0)) < ((5 * t + 1) >> 1);
    };
    if (strongLine(l0, dp0 + dq0) && strongLine(l3, dp3 + dq3)) {
      strongH[half] = -1;
    } else {
      normalH[half] = -1;
      const int side = (b + (b >> 1)) >> 3;
      dEpH[half] = dp0 + dp3 < side ? -1 : 0;
      dEqH[half] = dq0 + dq3 < side ? -1 : 0;
    }
  }
  if (!(strongH[0] | strongH[1] | normalH[0] | normalH[1])) return false;
  const __m128i t = Halves(tc[0] > 0 ? tc[0] : 0, tc[1] > 0 ? tc[1] : 0);
  const __m128i keepP = Halves(noP[0] ? -1 : 0, noP[1] ? -1 : 0), keepQ = Halves(noQ[0] ? -1 : 0, noQ[1] ? -1 : 0);
  const __m128i strong = Halves(strongH[0], strongH[1]), normal = Halves(normalH[0], normalH[1]);
  const __m128i p3 = s[0], p2 = s[1], p1 = s[2], p0 = s[3], q0 = s[4], q1 = s[5], q2 = s[6], q3 = s[7];
  const __m128i two = _mm_set1_epi16(2), four = _mm_set1_epi16(4);

  // strong filter
  const __m128i t2 = _mm_add_epi16(t, t);
  const __m128i p0q0 = _mm_add_epi16(p0, q0);
  const __m128i sP0 = Clip(_mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(p2, _mm_slli_epi16(_mm_add_epi16(p1, p0q0), 1)),
                                                        _mm_add_epi16(q1, four)),
                                          3),
                           _mm_sub_epi16(p0, t2), _mm_add_epi16(p0, t2));
  const __m128i sP1 = Clip(_mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(p2, p1), _mm_add_epi16(p0q0, two)), 2),
                           _mm_sub_epi16(p1, t2), _mm_add_epi16(p1, t2));
  const __m128i sP2 =
      Clip(_mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(p3, 1), _mm_add_epi16(_mm_slli_epi16(p2, 1), p2)),
                                        _mm_add_epi16(_mm_add_epi16(p1, p0q0), four)),
                          3),
           _mm_sub_epi16(p2, t2), _mm_add_epi16(p2, t2));
  const __m128i sQ0 = Clip(_mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(p1, _mm_slli_epi16(_mm_add_epi16(p0q0, q1), 1)),
                                                        _mm_add_epi16(q2, four)),
                                          3),
                           _mm_sub_epi16(q0, t2), _mm_add_epi16(q0, t2));
  const __m128i sQ1 = Clip(_mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(q2, q1), _mm_add_epi16(p0q0, two)), 2),
                           _mm_sub_epi16(q1, t2), _mm_add_epi16(q1, t2));
  const __m128i sQ2 =
      Clip(_mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(q3, 1), _mm_add_epi16(_mm_slli_epi16(q2, 1), q2)),
                                        _mm_add_epi16(_mm_add_epi16(q1, p0q0), four)),
                          3),
           _mm_sub_epi16(q2, t2), _mm_add_epi16(q2, t2));

  // normal filter
  const __m128i zero = _mm_setzero_si128(), max = _mm_set1_epi16(255);
  const __m128i dq = _mm_sub_epi16(q0, p0), d1 = _mm_sub_epi16(q1, p1);
  __m128i delta = _mm_sub_epi16(_mm_add_epi16(_mm_slli_epi16(dq, 3), dq), _mm_add_epi16(_mm_add_epi16(d1, d1), d1));
  delta = _mm_srai_epi16(_mm_add_epi16(delta, _mm_set1_epi16(8)), 4);
  const __m128i t10 = _mm_mullo_epi16(t, _mm_set1_epi16(10));
  const __m128i act = _mm_and_si128(normal, _mm_cmpgt_epi16(t10, _mm_abs_epi16(delta)));
  const __m128i nt = _mm_sub_epi16(zero, t);
  delta = Clip(delta, nt, t);
  const __m128i th = _mm_srai_epi16(t, 1), nth = _mm_sub_epi16(zero, th);
  const __m128i nP0 = Clip(_mm_add_epi16(p0, delta), zero, max);
  const __m128i nQ0 = Clip(_mm_sub_epi16(q0, delta), zero, max);
  const __m128i avgP = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(p2, p0), _mm_set1_epi16(1)), 1);
  const __m128i avgQ = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(q2, q0), _mm_set1_epi16(1)), 1);
  const __m128i nP1 =
      Clip(_mm_add_epi16(p1, Clip(_mm_srai_epi16(_mm_add_epi16(_mm_sub_epi16(avgP, p1), delta), 1), nth, th)), zero, max);
  const __m128i nQ1 =
      Clip(_mm_add_epi16(q1, Clip(_mm_srai_epi16(_mm_sub_epi16(_mm_sub_epi16(avgQ, q1), delta), 1), nth, th)), zero, max);
  const __m128i dEp = _mm_and_si128(act, Halves(dEpH[0], dEpH[1])), dEq = _mm_and_si128(act, Halves(dEqH[0], dEqH[1]));

  const __m128i wP = _mm_andnot_si128(keepP, strong), wQ = _mm_andnot_si128(keepQ, strong);
  const __m128i aP = _mm_andnot_si128(keepP, act), aQ = _mm_andnot_si128(keepQ, act);
  s[1] = Select(wP, sP2, p2);
  s[2] = Select(wP, sP1, Select(_mm_andnot_si128(keepP, dEp), nP1, p1));
  s[3] = Select(wP, sP0, Select(aP, nP0, p0));
  s[4] = Select(wQ, sQ0, Select(aQ, nQ0, q0));
  s[5] = Select(wQ, sQ1, Select(_mm_andnot_si128(keepQ, dEq), nQ1, q1));
  s[6] = Select(wQ, sQ2, q2);
  return true;
}

inline __m128i Widen(__m128i v) { return _mm_cvtepu8_epi16(v); }
inline __m128i Load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

// the edge runs along a row: the eight lines are the eight columns
void DeblockLumaH(uint8_t* q0, int stride, const int32_t* beta, const int32_t* tc, const int32_t* noP,
                  const int32_t* noQ) {
  const ptrdiff_t st = stride;
  __m128i s[8];
  for (int i = 0; i < 8; ++i) s[i] = Widen(Load8(q0 + (i - 4) * st));
  if (!FilterLanes(s, beta, tc, noP, noQ)) return;
  for (int i = 1; i < 7; ++i) _mm_storel_epi64(reinterpret_cast<__m128i*>(q0 + (i - 4) * st), _mm_packus_epi16(s[i], s[i]));
}

// the edge runs down a column: eight bytes of each line, transposed
void DeblockLumaV(uint8_t* q0, int stride, const int32_t* beta, const int32_t* tc, const int32_t* noP,
                  const int32_t* noQ) {
  const ptrdiff_t st = stride;
  __m128i r[8];
  for (int l = 0; l < 8; ++l) r[l] = Load8(q0 + l * st - 4);
  // 8x8 byte transpose: row l, column i -> s[i] lane l
  const __m128i a0 = _mm_unpacklo_epi8(r[0], r[1]), a1 = _mm_unpacklo_epi8(r[2], r[3]);
  const __m128i a2 = _mm_unpacklo_epi8(r[4], r[5]), a3 = _mm_unpacklo_epi8(r[6], r[7]);
  const __m128i b0 = _mm_unpacklo_epi16(a0, a1), b1 = _mm_unpackhi_epi16(a0, a1);
  const __m128i b2 = _mm_unpacklo_epi16(a2, a3), b3 = _mm_unpackhi_epi16(a2, a3);
  const __m128i c0 = _mm_unpacklo_epi32(b0, b2), c1 = _mm_unpackhi_epi32(b0, b2);
  const __m128i c2 = _mm_unpacklo_epi32(b1, b3), c3 = _mm_unpackhi_epi32(b1, b3);
  __m128i s[8] = {Widen(c0), Widen(_mm_srli_si128(c0, 8)), Widen(c1), Widen(_mm_srli_si128(c1, 8)),
                  Widen(c2), Widen(_mm_srli_si128(c2, 8)), Widen(c3), Widen(_mm_srli_si128(c3, 8))};
  if (!FilterLanes(s, beta, tc, noP, noQ)) return;
  // back: columns p2..q2 of each line, six bytes
  const __m128i x0 = _mm_packus_epi16(s[1], s[2]), x1 = _mm_packus_epi16(s[3], s[4]), x2 = _mm_packus_epi16(s[5], s[6]);
  // x0: p2 lanes 0-7, p1 lanes 0-7; gather per line
  alignas(16) uint8_t cols[3][16];
  _mm_store_si128(reinterpret_cast<__m128i*>(cols[0]), x0);
  _mm_store_si128(reinterpret_cast<__m128i*>(cols[1]), x1);
  _mm_store_si128(reinterpret_cast<__m128i*>(cols[2]), x2);
  for (int l = 0; l < 8; ++l) {
    const uint8_t line[6] = {cols[0][l], cols[0][8 + l], cols[1][l], cols[1][8 + l], cols[2][l], cols[2][8 + l]};
    std::memcpy(q0 + l * st - 3, line, 6);
  }
}

}  // namespace

void HevcSetDeblockLumaSse41(HevcDspTable* t) {
  t->slot[kSlotDeblockLumaV] = reinterpret_cast<HevcKernel>(&DeblockLumaV);
  t->slot[kSlotDeblockLumaH] = reinterpret_cast<HevcKernel>(&DeblockLumaH);
}

}  // namespace hevc
