// SSE2 Intra_8x8 prediction. Vertical, horizontal and DC: the reference
// samples filtered eight at a time. The directional modes: every predicted
// sample is a three-tap filter (F) or an average of two (V) along the edge
// of reference samples, so both are computed once for the whole edge and the
// block is picked from them by a table. The residual is added in 16-bit lanes
// with the plain kernels' wrap-around, then clipped.
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

// Where an 8x8 block sits and which of its reference samples exist.
struct Block8x8 {
  int bx, by;
  bool left, top, corner;
  int rc;  // the corner sample
};

inline Block8x8 Locate8x8(int block, const uint8_t* s) {
  static constexpr uint16_t kCornerAvail[4] = {kMbSamplesAvailTopLeft, kMbSamplesAvailTop, kMbSamplesAvailLeft8x8,
                                               kMbSamplesOne};
  static constexpr uint16_t kCorner[4] = {kMbSamplesCorner, kMbSamplesTop + 7, kMbSamplesLeft + 7, 63};
  const int bx = (block & 1) * 8, by = (block >> 1) * 8;
  return {bx, by, bx == 0 ? s[kMbSamplesAvailLeft + by / 4] != 0 : true,
          by == 0 ? s[kMbSamplesAvailTop] != 0 : true, s[kCornerAvail[block]] != 0, s[kCorner[block]]};
}

template <int kMode>
void Intra8x8(int block, uint8_t* s, const int16_t* residual, uint32_t cbp) {
  const auto [bx, by, left, top, corner, rc] = Locate8x8(block, s);
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

// The edge A runs L(7) .. L(0), corner, T(0) .. T(15): T(k) is A[9 + k],
// L(k) A[7 - k]; A[-1] repeats L(7) and A[25] repeats T(15). F[i] is the
// three-tap filter centred on A[i] (palette byte i), V[i] the average of
// A[i] and A[i + 1] (palette byte 33 + i).
constexpr int kF = 0, kV = 33;

constexpr uint8_t PaletteIndex(int mode, int x, int y) {
  switch (mode) {
    case 3:  // diagonal down left
      return x == 7 && y == 7 ? kF + 24 : kF + 10 + x + y;
    case 4:  // diagonal down right
      return static_cast<uint8_t>(kF + 8 + x - y);
    case 5: {  // vertical right
      int z = 2 * x - y;
      if (z >= 0) return static_cast<uint8_t>(((z & 1) ? kF : kV) + 8 + x - (y >> 1));
      return static_cast<uint8_t>(z == -1 ? kF + 8 : kF + 9 + 2 * x - y);
    }
    case 6: {  // horizontal down
      int z = 2 * y - x;
      if (z >= 0) return static_cast<uint8_t>((z & 1) ? kF + 8 - y + (x >> 1) : kV + 7 - y + (x >> 1));
      return static_cast<uint8_t>(z == -1 ? kF + 8 : kF + 7 + x - 2 * y);
    }
    case 7:  // vertical left
      return static_cast<uint8_t>((y & 1) ? kF + 10 + x + (y >> 1) : kV + 9 + x + (y >> 1));
    default: {  // horizontal up
      int z = x + 2 * y, k = y + (x >> 1);
      if (z < 13) return static_cast<uint8_t>(((z & 1) ? kF : kV) + 6 - k);
      return z == 13 ? kF + 0 : kV - 1;
    }
  }
}

struct PaletteTable {
  uint8_t index[6][64];
};

constexpr PaletteTable MakePaletteTable() {
  PaletteTable t{};
  for (int m = 0; m < 6; ++m)
    for (int i = 0; i < 64; ++i) t.index[m][i] = PaletteIndex(m + 3, i & 7, i >> 3);
  return t;
}

constexpr PaletteTable kPalette = MakePaletteTable();

template <int kMode>
void Intra8x8Directional(int block, uint8_t* s, const int16_t* residual, uint32_t cbp) {
  const auto [bx, by, left, top, corner, rc] = Locate8x8(block, s);
  // Reference samples as read: top 0..15 (top right included), left 0..7.
  uint8_t rt[16], rl[8];
  const uint8_t* rowAbove = by == 0 ? s + kMbSamplesTop + bx : s + H264MbLumaPos(bx, 7);
  std::memcpy(rt, rowAbove, 8);
  if (block == 0) std::memcpy(rt + 8, s + kMbSamplesTop + 8, 8);
  else if (block == 1) std::memcpy(rt + 8, s + kMbSamplesTopRight, 8);
  else if (block == 2) std::memcpy(rt + 8, s + H264MbLumaPos(8, 7), 8);
  else std::memset(rt + 8, rt[7], 8);
  if (bx == 0) std::memcpy(rl, s + kMbSamplesLeft + by, 8);
  else
    for (int i = 0; i < 8; ++i) rl[i] = s[64 * (block - 1) + 8 * i + 7];
  // The edge, filtered where its samples are available (a[i + 1] is A[i]).
  alignas(16) uint8_t a[48] = {};
  uint8_t* A = a + 1;
  for (int i = 0; i < 16; ++i) A[9 + i] = rt[i];
  for (int i = 0; i < 8; ++i) A[7 - i] = rl[i];
  if (top) {
    A[9] = static_cast<uint8_t>(corner ? (rc + 2 * rt[0] + rt[1] + 2) >> 2 : (3 * rt[0] + rt[1] + 2) >> 2);
    for (int x = 1; x < 15; ++x) A[9 + x] = static_cast<uint8_t>((rt[x - 1] + 2 * rt[x] + rt[x + 1] + 2) >> 2);
    A[24] = static_cast<uint8_t>((rt[14] + 3 * rt[15] + 2) >> 2);
  }
  int c = rc;
  if (corner) {
    if (top && left) c = (rt[0] + 2 * rc + rl[0] + 2) >> 2;
    else if (top) c = (3 * rc + rt[0] + 2) >> 2;
    else if (left) c = (3 * rc + rl[0] + 2) >> 2;
  }
  if (left) {
    A[7] = static_cast<uint8_t>(corner ? (rc + 2 * rl[0] + rl[1] + 2) >> 2 : (3 * rl[0] + rl[1] + 2) >> 2);
    for (int y = 1; y < 7; ++y) A[7 - y] = static_cast<uint8_t>((rl[y - 1] + 2 * rl[y] + rl[y + 1] + 2) >> 2);
    A[0] = static_cast<uint8_t>((rl[6] + 3 * rl[7] + 2) >> 2);
  }
  A[8] = static_cast<uint8_t>(c);
  A[-1] = A[0];
  A[25] = A[24];
  // F[0..31] and V[-1..30].
  alignas(16) uint8_t palette[64];
  const __m128i two = _mm_set1_epi16(2);
  for (int i = 0; i < 32; i += 8) {
    __m128i l = Wide(Load8(a + i)), m = Wide(Load8(a + i + 1)), r = Wide(Load8(a + i + 2));
    __m128i f = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(l, r), _mm_add_epi16(_mm_add_epi16(m, m), two)), 2);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(palette + kF + i), _mm_packus_epi16(f, f));
  }
  for (int i = 0; i < 32; i += 16) {
    __m128i v = _mm_avg_epu8(_mm_load_si128(reinterpret_cast<const __m128i*>(a + i)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i + 1)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(palette + kV - 1 + i), v);
  }
  alignas(16) uint8_t pred[64];
  const uint8_t* index = kPalette.index[kMode - 3];
  for (int i = 0; i < 64; ++i) pred[i] = palette[index[i]];
  uint8_t* dst = s + 64 * block;
  if (!((cbp >> block) & 1)) {
    std::memcpy(dst, pred, 64);
    return;
  }
  const int16_t* res = residual + 64 * block;
  for (int i = 0; i < 64; i += 16) {
    __m128i p = _mm_load_si128(reinterpret_cast<const __m128i*>(pred + i));
    __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(p, _mm_setzero_si128()),
                               _mm_loadu_si128(reinterpret_cast<const __m128i*>(res + i)));
    __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(p, _mm_setzero_si128()),
                               _mm_loadu_si128(reinterpret_cast<const __m128i*>(res + i + 8)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(lo, hi));
  }
}

const H264Intra8x8Fn kIntra8x8[9] = {Intra8x8<0>,
                                     Intra8x8<1>,
                                     Intra8x8<2>,
                                     Intra8x8Directional<3>,
                                     Intra8x8Directional<4>,
                                     Intra8x8Directional<5>,
                                     Intra8x8Directional<6>,
                                     Intra8x8Directional<7>,
                                     Intra8x8Directional<8>};

}  // namespace

void H264InstallSse2IntraKernels(H264DecKernelTable* t) { t->intra8x8 = kIntra8x8; }
