// SSE4.1 intra prediction: the angular predictors (the general slots and the
// five fixed modes) and planar. A row of an angular block is two neighbouring
// reference runs weighted (32 - fact, fact), as byte pairs through maddubs;
// modes below 18 are predicted as rows and stored transposed.
#include <smmintrin.h>

#include <cstdint>
#include <cstring>

#include "codecs/hevc/hevc_tables.h"
#include "codecs/hevc/x86/hevc_x86.h"

namespace hevc {
namespace {

inline uint8_t Clip8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// kN samples of ((32 - f) * r[i] + f * r[i + 1] + 16) >> 5 into out (16-byte chunks)
template <int kN>
inline void WeightRow(const uint8_t* r, int f, uint8_t* out) {
  if (f == 0) {
    std::memcpy(out, r, kN);
    return;
  }
  const __m128i w = _mm_set1_epi16(static_cast<int16_t>((f << 8) | (32 - f)));
  const __m128i rnd = _mm_set1_epi16(16);
  for (int i = 0; i < kN; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + i + 1));
    const __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(_mm_unpacklo_epi8(a, b), w), rnd), 5);
    const __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(_mm_unpackhi_epi8(a, b), w), rnd), 5);
    const __m128i v = _mm_packus_epi16(lo, hi);
    if (kN >= 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
    } else {
      alignas(16) uint8_t tmp[16];
      _mm_store_si128(reinterpret_cast<__m128i*>(tmp), v);
      std::memcpy(out + i, tmp, kN);
    }
  }
}

template <int kN>
void Angular(int comp, int mode, const uint8_t* top, const uint8_t* left, int stride, uint8_t* dst) {
  const int angle = kHevcIntraPredAngle[mode - 2];
  // room for the 16-byte reads past the last reference of a small block
  alignas(16) uint8_t refBuf[kN + 2 * kN + 1 + 32];
  uint8_t* ref = refBuf + kN;
  const uint8_t* main = mode >= 18 ? top : left;
  const uint8_t* side = mode >= 18 ? left : top;
  std::memcpy(ref, main - 1, 2 * kN + 1);
  std::memset(ref + 2 * kN + 1, 0, 32);
  const int last = (kN * angle) >> 5;
  if (angle < 0 && last < -1 && mode >= 11 && mode <= 25) {
    const int inv = kHevcInvAngle[mode - 11];
    for (int x = last; x <= -1; ++x) ref[x] = side[-1 + ((x * inv + 128) >> 8)];
  }
  if (mode >= 18) {
    for (int j = 0; j < kN; ++j) {
      const int idx = ((j + 1) * angle) >> 5, fact = ((j + 1) * angle) & 31;
      WeightRow<kN>(ref + idx + 1, fact, dst + static_cast<ptrdiff_t>(j) * stride);
    }
  } else {
    alignas(16) uint8_t rows[kN][kN];
    for (int j = 0; j < kN; ++j) {
      const int idx = ((j + 1) * angle) >> 5, fact = ((j + 1) * angle) & 31;
      WeightRow<kN>(ref + idx + 1, fact, rows[j]);
    }
    for (int i = 0; i < kN; ++i)
      for (int j = 0; j < kN; ++j) dst[static_cast<ptrdiff_t>(i) * stride + j] = rows[j][i];
  }
  if (comp == 0 && kN < 32) {
    if (mode == 26)
      for (int y = 0; y < kN; ++y) dst[static_cast<ptrdiff_t>(y) * stride] = Clip8(top[0] + ((left[y] - left[-1]) >> 1));
    else if (mode == 10)
      for (int x = 0; x < kN; ++x) dst[x] = Clip8(left[0] + ((top[x] - top[-1]) >> 1));
  }
}

template <int kN>
void PredAngular(int comp, int mode, const uint8_t* top, const uint8_t* left, int stride, uint8_t* dst) {
  Angular<kN>(comp, mode, top, left, stride, dst);
}
template <int kN, int kMode>
void PredFixed(int comp, uint8_t* top, uint8_t* left, int stride, uint8_t* dst) {
  Angular<kN>(comp, kMode, top, left, stride, dst);
}

// planar: per row, (kN-1-x) * left[y] + (x+1) * top[kN] + (kN-1-y) * top[x] + (y+1) * left[kN] + kN
template <int kN>
void PredPlanar(const uint8_t* top, const uint8_t* left, int stride, uint8_t* dst) {
  constexpr int shift = (kN == 4 ? 2 : kN == 8 ? 3 : kN == 16 ? 4 : 5) + 1;
  constexpr int kV = kN < 8 ? 8 : kN;  // lanes computed per row (the extra ones dropped)
  alignas(16) int16_t topv[kV], xl[kV], xr[kV];
  for (int x = 0; x < kV; ++x) {
    topv[x] = static_cast<int16_t>(x < kN ? top[x] : 0);
    xl[x] = static_cast<int16_t>(kN - 1 - x);
    xr[x] = static_cast<int16_t>((x + 1) * top[kN]);
  }
  for (int y = 0; y < kN; ++y) {
    const __m128i l = _mm_set1_epi16(static_cast<int16_t>(left[y]));
    const __m128i wy = _mm_set1_epi16(static_cast<int16_t>(kN - 1 - y));
    const __m128i c = _mm_set1_epi16(static_cast<int16_t>((y + 1) * left[kN] + kN));
    uint8_t* row = dst + static_cast<ptrdiff_t>(y) * stride;
    for (int x = 0; x < kV; x += 8) {
      const __m128i t = _mm_load_si128(reinterpret_cast<const __m128i*>(topv + x));
      __m128i v = _mm_mullo_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(xl + x)), l);
      v = _mm_add_epi16(v, _mm_load_si128(reinterpret_cast<const __m128i*>(xr + x)));
      v = _mm_add_epi16(v, _mm_mullo_epi16(wy, t));
      v = _mm_srli_epi16(_mm_add_epi16(v, c), shift);
      const __m128i b = _mm_packus_epi16(v, v);
      if (kN >= 8) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(row + x), b);
      } else {
        const int32_t w = _mm_cvtsi128_si32(b);
        std::memcpy(row, &w, 4);
      }
    }
  }
}

}  // namespace

void HevcSetIntraSse41(HevcDspTable* t) {
#define SET4(base, fn)                                         \
  t->slot[base + 0] = reinterpret_cast<HevcKernel>(&fn<4>);   \
  t->slot[base + 1] = reinterpret_cast<HevcKernel>(&fn<8>);   \
  t->slot[base + 2] = reinterpret_cast<HevcKernel>(&fn<16>);  \
  t->slot[base + 3] = reinterpret_cast<HevcKernel>(&fn<32>)
#define SETM(base, m)                                              \
  t->slot[base + 0] = reinterpret_cast<HevcKernel>(&PredFixed<4, m>);  \
  t->slot[base + 1] = reinterpret_cast<HevcKernel>(&PredFixed<8, m>);  \
  t->slot[base + 2] = reinterpret_cast<HevcKernel>(&PredFixed<16, m>); \
  t->slot[base + 3] = reinterpret_cast<HevcKernel>(&PredFixed<32, m>)
  SET4(kSlotPlanar, PredPlanar);
  SET4(kSlotAngular, PredAngular);
  SETM(kSlotVertical, 26);
  SETM(kSlotHorizontal, 10);
  SETM(kSlotMode34, 34);
  SETM(kSlotMode2, 2);
  SETM(kSlotMode18, 18);
#undef SET4
#undef SETM
}

}  // namespace hevc
