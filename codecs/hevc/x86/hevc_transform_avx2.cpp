// AVX2 16- and 32-point inverse transforms: the SSE4.1 kernels with the first
// stage sixteen columns at a time (each 128-bit lane holds the same columns
// as the SSE4.1 registers, so the packs restore the column order); the second
// stage is theirs.
#include <immintrin.h>

#include "codecs/hevc/hevc_tables.h"
#include "codecs/hevc/x86/hevc_x86.h"

namespace hevc {
namespace {

// the pairs of the butterfly, as in the SSE4.1 kernel, in both lanes
template <int N>
struct OddCols256 {
  static constexpr int kPairs = N >= 4 ? N / 4 : 1;
  static constexpr int kOut = N >= 4 ? N / 2 : 2;
  __m256i c[kPairs][kOut];
  OddCols256() {
    auto m = [](int k, int i) { return static_cast<uint16_t>(kHevcDctMatrix[(k * (32 / N)) * 32 + i]); };
    for (int q = 0; q < kPairs; ++q)
      for (int i = 0; i < kOut; ++i) {
        const int a = N >= 4 ? 4 * q + 1 : 0, b = N >= 4 ? 4 * q + 3 : 1;
        c[q][i] = _mm256_set1_epi32(static_cast<int32_t>(m(a, i) | static_cast<uint32_t>(m(b, i)) << 16));
      }
  }
};

template <int N>
const OddCols256<N>& OddColsFor() {
  static const OddCols256<N> k;
  return k;
}

// The N-point transform down sixteen columns: input j is r[j * step], zero
// from `count` on; lo[i] holds columns 0-3 and 8-11, hi[i] 4-7 and 12-15.
template <int N>
inline void Columns1D(const __m256i* r, int step, int count, __m256i* lo, __m256i* hi) {
  const OddCols256<N>& K = OddColsFor<N>();
  if constexpr (N == 2) {
    (void)count;
    const __m256i pl = _mm256_unpacklo_epi16(r[0], r[step]), ph = _mm256_unpackhi_epi16(r[0], r[step]);
    for (int i = 0; i < 2; ++i) {
      lo[i] = _mm256_madd_epi16(pl, K.c[0][i]);
      hi[i] = _mm256_madd_epi16(ph, K.c[0][i]);
    }
  } else {
    Columns1D<N / 2>(r, 2 * step, (count + 1) / 2, lo, hi);
    const int nq = (count + 2) / 4;
    __m256i pl[N / 4], ph[N / 4];
    for (int q = 0; q < nq; ++q) {
      const __m256i a = r[(4 * q + 1) * step], b = r[(4 * q + 3) * step];
      pl[q] = _mm256_unpacklo_epi16(a, b);
      ph[q] = _mm256_unpackhi_epi16(a, b);
    }
    for (int i = 0; i < N / 2; ++i) {
      __m256i ol = _mm256_setzero_si256(), oh = _mm256_setzero_si256();
      for (int q = 0; q < nq; ++q) {
        ol = _mm256_add_epi32(ol, _mm256_madd_epi16(pl[q], K.c[q][i]));
        oh = _mm256_add_epi32(oh, _mm256_madd_epi16(ph[q], K.c[q][i]));
      }
      const __m256i el = lo[i], eh = hi[i];
      lo[i] = _mm256_add_epi32(el, ol);
      hi[i] = _mm256_add_epi32(eh, oh);
      lo[N - 1 - i] = _mm256_sub_epi32(el, ol);
      hi[N - 1 - i] = _mm256_sub_epi32(eh, oh);
    }
  }
}

template <int N>
void FirstStage(int16_t* coeff, int numCols, int rows) {
  const __m256i r7 = _mm256_set1_epi32(64);
  // columns past numCols are zero in the rows read; their outputs are 0
  for (int x = 0; x < numCols; x += 16) {
    __m256i r[N], lo[N], hi[N];
    for (int k = 0; k < N; ++k)
      r[k] = k < rows ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coeff + k * N + x))
                      : _mm256_setzero_si256();
    Columns1D<N>(r, 1, rows, lo, hi);
    for (int i = 0; i < N; ++i) {
      const __m256i sl = _mm256_srai_epi32(_mm256_add_epi32(lo[i], r7), 7);
      const __m256i sh = _mm256_srai_epi32(_mm256_add_epi32(hi[i], r7), 7);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(coeff + i * N + x), _mm256_packs_epi32(sl, sh));
    }
  }
}

template <int N>
void DctAdd(int stride, int16_t* coeff, uint8_t* dst, int numCols, int rows) {
  if (numCols > N) numCols = N;
  if (rows > N) rows = N;
  bool dcOnly = rows == 1;
  for (int x = 1; x < numCols && dcOnly; ++x) dcOnly = coeff[x] == 0;
  // a lone DC level, and blocks of eight columns, as the SSE4.1 kernel does them
  if (dcOnly || numCols <= 8) return HevcDctAddSse41(N, stride, coeff, dst, numCols, rows);
  FirstStage<N>(coeff, numCols, rows);
  HevcDctRowsSse41(N, stride, coeff, dst, numCols);
}

void Dct16Add(int stride, int16_t* coeff, uint8_t* dst, int cols, int rows) { DctAdd<16>(stride, coeff, dst, cols, rows); }
void Dct32Add(int stride, int16_t* coeff, uint8_t* dst, int cols, int rows) { DctAdd<32>(stride, coeff, dst, cols, rows); }

}  // namespace

void HevcSetTransformAvx2(HevcDspTable* t) {
  t->slot[kSlotDct + 2] = reinterpret_cast<HevcKernel>(&Dct16Add);
  t->slot[kSlotDct + 3] = reinterpret_cast<HevcKernel>(&Dct32Add);
}

}  // namespace hevc
