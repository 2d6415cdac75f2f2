// SSE2 Intra_8x8 prediction, vertical, horizontal and DC: the reference
// samples filtered eight at a time, the residual added in 16-bit lanes with
// the plain kernels' wrap-around, then clipped. The other modes stay plain.
#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "codecs/h264/h264_kernels.h"
#include "codecs/h264/x86/h264_kernels_x86.h"

namespace {

inline __m128i Load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline __m128i Wide(__m128i bytes) { return _mm_unpacklo_epi8(bytes, _mm_setzero_si128()); }

// Eight reference samples r[0..7] with r[-1] = before and r[8] = after,
// filtered (r[i - 1] + 2 r[i] + r[i + 1] + 2) >> 2 when `filter`, else as
// read; 16-bit lanes.
inline __m128i Reference(const uint8_t* r, int before, int after, bool filter) {
  alignas(16) uint8_t b[16] = {};
  b[0] = static_cast<uint8_t>(before);
  std::memcpy(b + 1, r, 8);
  b[9] = static_cast<uint8_t>(after);
  __m128i cur = Wide(Load8(b + 1));
  if (!filter) return cur;
  __m128i sum = _mm_add_epi16(_mm_add_epi16(Wide(Load8(b)), Wide(Load8(b + 2))), _mm_add_epi16(cur, cur));
  return _mm_srli_epi16(_mm_add_epi16(sum, _mm_set1_epi16(2)), 2);
}

inline int Sum8(__m128i v) {
  __m128i s = _mm_sad_epu8(_mm_packus_epi16(v, _mm_setzero_si128()), _mm_setzero_si128());
  return _mm_cvtsi128_si32(s);
}

template <int kMode>
void Intra8x8(int block, uint8_t* s, const int16_t* residual, uint32_t cbp) {
  static constexpr uint16_t kCornerAvail[4] = {kMbSamplesAvailTopLeft, kMbSamplesAvailTop, kMbSamplesAvailLeft8x8,
                                               kMbSamplesOne};
  static constexpr uint16_t kCorner[4] = {kMbSamplesCorner, kMbSamplesTop + 7, kMbSamplesLeft + 7, 63};
  const int bx = (block & 1) * 8, by = (block >> 1) * 8;
  const bool left = bx == 0 ? s[kMbSamplesAvailLeft + by / 4] != 0 : true;
  const bool top = by == 0 ? s[kMbSamplesAvailTop] != 0 : true;
  const bool corner = s[kCornerAvail[block]] != 0;
  const int rc = s[kCorner[block]];
  __m128i t{}, l{};
  if constexpr (kMode != 1) {
    const uint8_t* rt = by == 0 ? s + kMbSamplesTop + bx : s + H264MbLumaPos(bx, 7);
    int after = block == 0 ? s[kMbSamplesTop + 8] : block == 1 ? s[kMbSamplesTopRight] : block == 2 ? s[H264MbLumaPos(8, 7)] : rt[7];
    t = Reference(rt, corner ? rc : rt[0], after, top);
  }
  if constexpr (kMode != 0) {
    uint8_t rl[8];
    if (bx == 0) std::memcpy(rl, s + kMbSamplesLeft + by, 8);
    else
      for (int i = 0; i < 8; ++i) rl[i] = s[64 * (block - 1) + 8 * i + 7];
    l = Reference(rl, corner ? rc : rl[0], rl[7], left);
  }
  alignas(16) int16_t rows[8][8];
  if constexpr (kMode == 0) {
    for (auto& r : rows) _mm_store_si128(reinterpret_cast<__m128i*>(r), t);
  } else if constexpr (kMode == 1) {
    alignas(16) int16_t lv[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lv), l);
    for (int y = 0; y < 8; ++y) _mm_store_si128(reinterpret_cast<__m128i*>(rows[y]), _mm_set1_epi16(lv[y]));
  } else {
    int dc = left && top ? (Sum8(t) + Sum8(l) + 8) >> 4 : left ? (Sum8(l) + 4) >> 3 : top ? (Sum8(t) + 4) >> 3 : 128;
    for (auto& r : rows) _mm_store_si128(reinterpret_cast<__m128i*>(r), _mm_set1_epi16(static_cast<int16_t>(dc)));
  }
  uint8_t* dst = s + 64 * block;
  const int16_t* res = residual + 64 * block;
  const bool coded = (cbp >> block) & 1;
  for (int y = 0; y < 8; ++y) {
    __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(rows[y]));
    if (coded) v = _mm_add_epi16(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(res + 8 * y)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 8 * y), _mm_packus_epi16(v, v));
  }
}

const H264Intra8x8Fn kIntra8x8[9] = {Intra8x8<0>,           Intra8x8<1>,           Intra8x8<2>,
                                     H264Intra8x8Kernels[3], H264Intra8x8Kernels[4], H264Intra8x8Kernels[5],
                                     H264Intra8x8Kernels[6], H264Intra8x8Kernels[7], H264Intra8x8Kernels[8]};

}  // namespace

void H264InstallSse2IntraKernels(H264DecKernelTable* t) { t->intra8x8 = kIntra8x8; }
