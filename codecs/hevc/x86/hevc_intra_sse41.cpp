// SSE4.1 intra prediction: the angular predictors (the general slots and the
// five fixed modes), planar, DC of 32x32 and the reference smoothing. A row of an angular block is two neighbouring
// reference runs weighted (32 - fact, fact), as byte pairs through maddubs;
// modes below 18 are predicted as rows and stored transposed, 8x8 at a time
// from 8x8 blocks up.
#include <smmintrin.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codecs/hevc/hevc_tables.h"
#include "codecs/hevc/hevc_intra_edge.h"
#include "codecs/hevc/x86/hevc_x86.h"

namespace hevc {
namespace {

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
    if (kN >= 8) {
      for (int by = 0; by < kN; by += 8)
        for (int bx = 0; bx < kN; bx += 8)
          HevcTranspose8x8Bytes(&rows[bx][by], kN, dst + static_cast<ptrdiff_t>(by) * stride + bx, stride);
    } else {
      for (int i = 0; i < kN; ++i)
        for (int j = 0; j < kN; ++j) dst[static_cast<ptrdiff_t>(i) * stride + j] = rows[j][i];
    }
  }
  AngularEdgeFilter<kN>(comp, mode, top, left, stride, dst);
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

// DC of a 32x32 block (no boundary filter at this size)
void PredDc32(int, uint8_t* top, uint8_t* left, int stride, uint8_t* dst) {
  const __m128i z = _mm_setzero_si128();
  __m128i sum = _mm_add_epi64(_mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top)), z),
                              _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top + 16)), z));
  sum = _mm_add_epi64(sum, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(left)), z));
  sum = _mm_add_epi64(sum, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(left + 16)), z));
  const int total = _mm_cvtsi128_si32(sum) + _mm_cvtsi128_si32(_mm_srli_si128(sum, 8));
  const __m128i v = _mm_set1_epi8(static_cast<char>((total + 32) >> 6));
  for (int y = 0; y < 32; ++y) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + static_cast<ptrdiff_t>(y) * stride), v);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + static_cast<ptrdiff_t>(y) * stride + 16), v);
  }
}

// [1 2 1] over samples 1 .. 2kN - 2 of one side, from an unchanged copy
template <int kN>
inline void Smooth121(uint8_t* side) {
  alignas(16) uint8_t in[2 * kN + 16], out[2 * kN + 16];
  std::memcpy(in, side, 2 * kN);
  std::memset(in + 2 * kN, 0, 16);
  const __m128i two = _mm_set1_epi16(2);
  for (int i = 1; i < 2 * kN - 1; i += 8) {
    const __m128i a = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i - 1)));
    const __m128i b = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i)));
    const __m128i c = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i + 1)));
    const __m128i v = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(a, c), _mm_add_epi16(_mm_add_epi16(b, b), two)), 2);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(v, v));
  }
  std::memcpy(side + 1, out + 1, 2 * kN - 2);
}

template <int kN>
void SmoothRefs(int strong, int, uint8_t* left, uint8_t* top) {
  const int corner = top[-1];
  if (kN == 32 && strong && std::abs(corner + top[63] - 2 * top[31]) < 8 &&
      std::abs(corner + left[63] - 2 * left[31]) < 8) {
    const int t63 = top[63], l63 = left[63];
    for (int i = 0; i < 63; ++i) {
      top[i] = static_cast<uint8_t>(((63 - i) * corner + (i + 1) * t63 + 32) >> 6);
      left[i] = static_cast<uint8_t>(((63 - i) * corner + (i + 1) * l63 + 32) >> 6);
    }
    return;
  }
  const int t0 = top[0], l0 = left[0];
  const uint8_t c = static_cast<uint8_t>((l0 + 2 * corner + t0 + 2) >> 2);
  const uint8_t nt0 = static_cast<uint8_t>((corner + 2 * t0 + top[1] + 2) >> 2);
  const uint8_t nl0 = static_cast<uint8_t>((corner + 2 * l0 + left[1] + 2) >> 2);
  Smooth121<kN>(top);
  Smooth121<kN>(left);
  top[0] = nt0;
  left[0] = nl0;
  top[-1] = left[-1] = c;
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
  t->slot[kSlotDc + 3] = reinterpret_cast<HevcKernel>(&PredDc32);
  t->slot[kSlotSmooth + 3] = reinterpret_cast<HevcKernel>(&SmoothRefs<8>);
  t->slot[kSlotSmooth + 4] = reinterpret_cast<HevcKernel>(&SmoothRefs<16>);
  t->slot[kSlotSmooth + 5] = reinterpret_cast<HevcKernel>(&SmoothRefs<32>);
#undef SET4
#undef SETM
}

}  // namespace hevc
