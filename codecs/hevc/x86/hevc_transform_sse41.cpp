// SSE4.1 flat dequantisation and inverse transforms with the add: the plain
// kernels' sums done as 16x16->32-bit multiply-adds of coefficient pairs,
// with the same shifts and clips, leaving the same first-stage values in
// the coefficient block.
#include <smmintrin.h>

#include <cstring>

#include "codecs/hevc/hevc_tables.h"
#include "codecs/hevc/x86/hevc_x86.h"

namespace hevc {
namespace {

inline int16_t Sat16(int64_t v) { return static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

template <int kLog2>
void DequantFlat(int count, int factor, int16_t* coeff) {
  constexpr int s = kLog2 - 1;
  int i = 0;
  if (factor >= 0 && factor < 65536) {  // the products fit 32 bits
    const __m128i f = _mm_set1_epi32(factor), r = _mm_set1_epi32(1 << (s - 1));
    for (; i + 8 <= count; i += 8) {
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coeff + i));
      const __m128i lo = _mm_srai_epi32(_mm_add_epi32(_mm_mullo_epi32(_mm_cvtepi16_epi32(c), f), r), s);
      const __m128i hi =
          _mm_srai_epi32(_mm_add_epi32(_mm_mullo_epi32(_mm_cvtepi16_epi32(_mm_srli_si128(c, 8)), f), r), s);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(coeff + i), _mm_packs_epi32(lo, hi));
    }
  }
  for (; i < count; ++i) coeff[i] = Sat16((static_cast<int64_t>(factor) * coeff[i] + (1 << (s - 1))) >> s);
}

// The matrix of an N-point inverse transform, M[k][i] (input k, output i),
// arranged for multiply-adds: by column, the pair (M[2p][i], M[2p+1][i])
// repeated; by row, the pairs of four outputs i..i+3 side by side.
template <int N>
struct Matrix {
  __m128i byCol[N / 2][N];
  __m128i byRow[N / 2][N / 4];
  // The even/odd halves for N >= 8 (M[k][N-1-i] = (-1)^k M[k][i]): pairs of
  // inputs (4q, 4q + 2) and (4q + 1, 4q + 3) for outputs i < N / 2.
  static constexpr int kHalf = N >= 8 ? N / 8 : 1;
  __m128i evenRow[N / 4][kHalf];
  __m128i oddRow[N / 4][kHalf];
  explicit Matrix(bool dst) {
    auto m = [dst](int k, int i) -> int16_t {
      return dst ? kHevcDstMatrix[k * 4 + i] : kHevcDctMatrix[(k * (32 / N)) * 32 + i];
    };
    for (int p = 0; p < N / 2; ++p) {
      for (int i = 0; i < N; ++i) {
        const uint32_t a = static_cast<uint16_t>(m(2 * p, i)), b = static_cast<uint16_t>(m(2 * p + 1, i));
        byCol[p][i] = _mm_set1_epi32(static_cast<int32_t>(a | b << 16));
      }
      for (int g = 0; g < N / 4; ++g)
        byRow[p][g] = _mm_setr_epi16(m(2 * p, 4 * g), m(2 * p + 1, 4 * g), m(2 * p, 4 * g + 1), m(2 * p + 1, 4 * g + 1),
                                     m(2 * p, 4 * g + 2), m(2 * p + 1, 4 * g + 2), m(2 * p, 4 * g + 3),
                                     m(2 * p + 1, 4 * g + 3));
    }
    if (N >= 8)
      for (int q = 0; q < N / 4; ++q)
        for (int g = 0; g < N / 8; ++g) {
          auto pairs = [&](int k) {
            return _mm_setr_epi16(m(k, 4 * g), m(k + 2, 4 * g), m(k, 4 * g + 1), m(k + 2, 4 * g + 1), m(k, 4 * g + 2),
                                  m(k + 2, 4 * g + 2), m(k, 4 * g + 3), m(k + 2, 4 * g + 3));
          };
          evenRow[q][g] = pairs(4 * q);
          oddRow[q][g] = pairs(4 * q + 1);
        }
  }
};

template <int N, bool Dst>
const Matrix<N>& MatrixFor() {
  static const Matrix<N> m(Dst);
  return m;
}

// A lone level at (0, 0): one residual for the whole block.
template <int N>
void DcAdd(int stride, int16_t dc, uint8_t* dst) {
  const int first = Sat16((64 * static_cast<int64_t>(dc) + 64) >> 7);
  const int r = static_cast<int>((64 * static_cast<int64_t>(first) + 2048) >> 12);
  // |r| <= 512: a 16-bit add before the unsigned pack clips as the plain add
  const __m128i v = _mm_set1_epi16(static_cast<int16_t>(r)), zero = _mm_setzero_si128();
  for (int y = 0; y < N; ++y) {
    uint8_t* row = dst + static_cast<ptrdiff_t>(y) * stride;
    if constexpr (N == 4) {
      int32_t px;
      std::memcpy(&px, row, 4);
      const __m128i sum = _mm_add_epi16(_mm_cvtepu8_epi16(_mm_cvtsi32_si128(px)), v);
      px = _mm_cvtsi128_si32(_mm_packus_epi16(sum, sum));
      std::memcpy(row, &px, 4);
    } else if constexpr (N == 8) {
      const __m128i sum = _mm_add_epi16(_mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row))), v);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(row), _mm_packus_epi16(sum, sum));
    } else {
      for (int x = 0; x < N; x += 16) {
        const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(px, zero), v);
        const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(px, zero), v);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), _mm_packus_epi16(lo, hi));
      }
    }
  }
}

// Column coefficients of the butterfly: for the N-point transform (N >= 4)
// the odd inputs in pairs (4q + 1, 4q + 3) for the outputs i < N / 2, each
// pair repeated; for N = 2 the pair (0, 1) for both outputs.
template <int N>
struct OddCols {
  static constexpr int kPairs = N >= 4 ? N / 4 : 1;
  static constexpr int kOut = N >= 4 ? N / 2 : 2;
  __m128i c[kPairs][kOut];
  OddCols() {
    auto m = [](int k, int i) { return static_cast<uint16_t>(kHevcDctMatrix[(k * (32 / N)) * 32 + i]); };
    for (int q = 0; q < kPairs; ++q)
      for (int i = 0; i < kOut; ++i) {
        const int a = N >= 4 ? 4 * q + 1 : 0, b = N >= 4 ? 4 * q + 3 : 1;
        c[q][i] = _mm_set1_epi32(static_cast<int32_t>(m(a, i) | static_cast<uint32_t>(m(b, i)) << 16));
      }
  }
};

template <int N>
const OddCols<N>& OddColsFor() {
  static const OddCols<N> k;
  return k;
}

// The N-point inverse transform down eight columns: input j is r[j * step]
// (16-bit, eight columns), zero from `count` on; the sums of columns 0-3 go
// to lo[i], of columns 4-7 to hi[i]. The even inputs are the N/2-point
// transform of the first N/2 outputs; the odd ones add to them and, mirrored,
// subtract from the last N/2.
template <int N>
inline void Columns1D(const __m128i* r, int step, int count, __m128i* lo, __m128i* hi) {
  const OddCols<N>& K = OddColsFor<N>();
  if constexpr (N == 2) {
    (void)count;
    const __m128i pl = _mm_unpacklo_epi16(r[0], r[step]), ph = _mm_unpackhi_epi16(r[0], r[step]);
    for (int i = 0; i < 2; ++i) {
      lo[i] = _mm_madd_epi16(pl, K.c[0][i]);
      hi[i] = _mm_madd_epi16(ph, K.c[0][i]);
    }
  } else {
    Columns1D<N / 2>(r, 2 * step, (count + 1) / 2, lo, hi);
    const int nq = (count + 2) / 4;  // pairs with an odd input below count
    __m128i pl[N / 4], ph[N / 4];
    for (int q = 0; q < nq; ++q) {
      const __m128i a = r[(4 * q + 1) * step], b = r[(4 * q + 3) * step];
      pl[q] = _mm_unpacklo_epi16(a, b);
      ph[q] = _mm_unpackhi_epi16(a, b);
    }
    for (int i = 0; i < N / 2; ++i) {
      __m128i ol = _mm_setzero_si128(), oh = _mm_setzero_si128();
      for (int q = 0; q < nq; ++q) {
        ol = _mm_add_epi32(ol, _mm_madd_epi16(pl[q], K.c[q][i]));
        oh = _mm_add_epi32(oh, _mm_madd_epi16(ph[q], K.c[q][i]));
      }
      const __m128i el = lo[i], eh = hi[i];
      lo[i] = _mm_add_epi32(el, ol);
      hi[i] = _mm_add_epi32(eh, oh);
      lo[N - 1 - i] = _mm_sub_epi32(el, ol);
      hi[N - 1 - i] = _mm_sub_epi32(eh, oh);
    }
  }
}

template <int N, bool Dst>
void Rows(int stride, const int16_t* coeff, uint8_t* dst, int numCols);

template <int N, bool Dst>
void Transform2D(int stride, int16_t* coeff, uint8_t* dst, int numCols, int rows) {
  const Matrix<N>& M = MatrixFor<N, Dst>();
  if (numCols > N) numCols = N;
  if (rows > N) rows = N;
  if (!Dst && rows == 1) {
    bool dcOnly = true;
    for (int x = 1; x < numCols && dcOnly; ++x) dcOnly = coeff[x] == 0;
    if (dcOnly) return DcAdd<N>(stride, coeff[0], dst);
  }
  const __m128i r7 = _mm_set1_epi32(64);
  if constexpr (N == 4) {
    // columns, all four at a time: first stage, 7-bit shift, 16-bit clip
    const int pairs = (rows + 1) / 2;
    __m128i lo[2];
    for (int p = 0; p < pairs; ++p) {
      // rows from `rows` on are not read
      const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(coeff + 2 * p * N));
      const __m128i b = 2 * p + 1 < rows ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(coeff + (2 * p + 1) * N))
                                         : _mm_setzero_si128();
      lo[p] = _mm_unpacklo_epi16(a, b);
    }
    for (int i = 0; i < N; ++i) {
      __m128i sl = _mm_setzero_si128();
      for (int p = 0; p < pairs; ++p) sl = _mm_add_epi32(sl, _mm_madd_epi16(lo[p], M.byCol[p][i]));
      sl = _mm_srai_epi32(_mm_add_epi32(sl, r7), 7);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(coeff + i * N), _mm_packs_epi32(sl, sl));
    }
  } else {
    // columns, eight at a time: first stage by butterflies, 7-bit shift, 16-bit clip
    for (int x = 0; x < numCols; x += 8) {
      __m128i r[N], lo[N], hi[N];
      // rows from `rows` on are not read
      for (int k = 0; k < N; ++k)
        r[k] = k < rows ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(coeff + k * N + x)) : _mm_setzero_si128();
      Columns1D<N>(r, 1, rows, lo, hi);
      for (int i = 0; i < N; ++i) {
        const __m128i sl = _mm_srai_epi32(_mm_add_epi32(lo[i], r7), 7);
        const __m128i sh = _mm_srai_epi32(_mm_add_epi32(hi[i], r7), 7);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(coeff + i * N + x), _mm_packs_epi32(sl, sh));
      }
    }
  }
  Rows<N, Dst>(stride, coeff, dst, numCols);
}

// rows: second stage, 12-bit shift, add and clip
template <int N, bool Dst>
void Rows(int stride, const int16_t* coeff, uint8_t* dst, int numCols) {
  const Matrix<N>& M = MatrixFor<N, Dst>();
  const int rowPairs = (numCols + 1) / 2, quads = (numCols + 3) / 4;
  const __m128i r12 = _mm_set1_epi32(2048);
  for (int y = 0; y < N; ++y) {
    const int16_t* in = coeff + y * N;
    __m128i acc[N / 4];
    if constexpr (N == 4) {
      for (int g = 0; g < N / 4; ++g) acc[g] = r12;
      for (int p = 0; p < rowPairs; ++p) {
        int32_t two;
        std::memcpy(&two, in + 2 * p, 4);
        const __m128i b = _mm_set1_epi32(two);
        for (int g = 0; g < N / 4; ++g) acc[g] = _mm_add_epi32(acc[g], _mm_madd_epi16(b, M.byRow[p][g]));
      }
    } else {
      // even and odd inputs apart; numCols is a multiple of 4, so every
      // quad of inputs lies before it
      __m128i e[N / 8], o[N / 8];
      for (int g = 0; g < N / 8; ++g) {
        e[g] = r12;
        o[g] = _mm_setzero_si128();
      }
      for (int q = 0; q < quads; ++q) {
        // inputs 4q..4q+3 as the pairs (4q, 4q+2) and (4q+1, 4q+3), each repeated
        const __m128i quad = _mm_shufflelo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 4 * q)), 0xD8);
        const __m128i be = _mm_shuffle_epi32(quad, 0x00), bo = _mm_shuffle_epi32(quad, 0x55);
        for (int g = 0; g < N / 8; ++g) {
          e[g] = _mm_add_epi32(e[g], _mm_madd_epi16(be, M.evenRow[q][g]));
          o[g] = _mm_add_epi32(o[g], _mm_madd_epi16(bo, M.oddRow[q][g]));
        }
      }
      for (int g = 0; g < N / 8; ++g) {
        acc[g] = _mm_add_epi32(e[g], o[g]);
        acc[N / 4 - 1 - g] = _mm_shuffle_epi32(_mm_sub_epi32(e[g], o[g]), 0x1B);
      }
    }
    uint8_t* row = dst + static_cast<ptrdiff_t>(y) * stride;
    if constexpr (N == 4) {
      const __m128i res = _mm_packs_epi32(_mm_srai_epi32(acc[0], 12), _mm_srai_epi32(acc[0], 12));
      int32_t px;
      std::memcpy(&px, row, 4);
      const __m128i sum = _mm_add_epi16(_mm_cvtepu8_epi16(_mm_cvtsi32_si128(px)), res);
      px = _mm_cvtsi128_si32(_mm_packus_epi16(sum, sum));
      std::memcpy(row, &px, 4);
    } else {
      for (int g = 0; g < N / 4; g += 2) {
        const __m128i res = _mm_packs_epi32(_mm_srai_epi32(acc[g], 12), _mm_srai_epi32(acc[g + 1], 12));
        const __m128i px = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + 4 * g));
        const __m128i sum = _mm_add_epi16(_mm_cvtepu8_epi16(px), res);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(row + 4 * g), _mm_packus_epi16(sum, sum));
      }
    }
  }
}

void Dst4Add(int stride, int16_t* coeff, uint8_t* dst, int, int rows) { Transform2D<4, true>(stride, coeff, dst, 4, rows); }
void Dct4Add(int stride, int16_t* coeff, uint8_t* dst, int, int rows) { Transform2D<4, false>(stride, coeff, dst, 4, rows); }
void Dct8Add(int stride, int16_t* coeff, uint8_t* dst, int, int rows) { Transform2D<8, false>(stride, coeff, dst, 8, rows); }
void Dct16Add(int stride, int16_t* coeff, uint8_t* dst, int cols, int rows) {
  Transform2D<16, false>(stride, coeff, dst, cols, rows);
}
void Dct32Add(int stride, int16_t* coeff, uint8_t* dst, int cols, int rows) {
  Transform2D<32, false>(stride, coeff, dst, cols, rows);
}

void TransformSkipAdd(int stride, int16_t* coeff, uint8_t* dst, int, int) {
  for (int y = 0; y < 4; ++y) {
    uint8_t* row = dst + static_cast<ptrdiff_t>(y) * stride;
    const __m128i c = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(coeff + 4 * y));
    // (c + 16) >> 5 in 32 bits: c + 16 may pass 32767
    const __m128i v = _mm_srai_epi32(_mm_add_epi32(_mm_cvtepi16_epi32(c), _mm_set1_epi32(16)), 5);
    int32_t px;
    std::memcpy(&px, row, 4);
    const __m128i sum = _mm_add_epi16(_mm_cvtepu8_epi16(_mm_cvtsi32_si128(px)), _mm_packs_epi32(v, v));
    px = _mm_cvtsi128_si32(_mm_packus_epi16(sum, sum));
    std::memcpy(row, &px, 4);
  }
}

}  // namespace

void HevcTranspose8x8Bytes(const uint8_t* src, int srcStride, uint8_t* dst, int dstStride) {
  __m128i r[8];
  for (int i = 0; i < 8; ++i)
    r[i] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + static_cast<ptrdiff_t>(i) * srcStride));
  // rows paired byte by byte, then the pairs by twos and fours: column c of
  // the source ends as the eight bytes of row c
  const __m128i p01 = _mm_unpacklo_epi8(r[0], r[1]), p23 = _mm_unpacklo_epi8(r[2], r[3]);
  const __m128i p45 = _mm_unpacklo_epi8(r[4], r[5]), p67 = _mm_unpacklo_epi8(r[6], r[7]);
  const __m128i q0 = _mm_unpacklo_epi16(p01, p23), q1 = _mm_unpackhi_epi16(p01, p23);
  const __m128i q2 = _mm_unpacklo_epi16(p45, p67), q3 = _mm_unpackhi_epi16(p45, p67);
  const __m128i c[4] = {_mm_unpacklo_epi32(q0, q2), _mm_unpackhi_epi32(q0, q2), _mm_unpacklo_epi32(q1, q3),
                        _mm_unpackhi_epi32(q1, q3)};
  for (int k = 0; k < 4; ++k) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + static_cast<ptrdiff_t>(2 * k) * dstStride), c[k]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + static_cast<ptrdiff_t>(2 * k + 1) * dstStride),
                     _mm_srli_si128(c[k], 8));
  }
}

void HevcDctAddSse41(int n, int stride, int16_t* coeff, uint8_t* dst, int numCols, int rows) {
  if (n == 16)
    Transform2D<16, false>(stride, coeff, dst, numCols, rows);
  else
    Transform2D<32, false>(stride, coeff, dst, numCols, rows);
}

void HevcDctRowsSse41(int n, int stride, const int16_t* coeff, uint8_t* dst, int numCols) {
  if (n == 16)
    Rows<16, false>(stride, coeff, dst, numCols);
  else
    Rows<32, false>(stride, coeff, dst, numCols);
}

void HevcSetTransformSse41(HevcDspTable* t) {
  t->slot[kSlotDequantFlat + 0] = reinterpret_cast<HevcKernel>(&DequantFlat<2>);
  t->slot[kSlotDequantFlat + 1] = reinterpret_cast<HevcKernel>(&DequantFlat<3>);
  t->slot[kSlotDequantFlat + 2] = reinterpret_cast<HevcKernel>(&DequantFlat<4>);
  t->slot[kSlotDequantFlat + 3] = reinterpret_cast<HevcKernel>(&DequantFlat<5>);
  t->slot[kSlotDst4] = reinterpret_cast<HevcKernel>(&Dst4Add);
  t->slot[kSlotDct + 0] = reinterpret_cast<HevcKernel>(&Dct4Add);
  t->slot[kSlotDct + 1] = reinterpret_cast<HevcKernel>(&Dct8Add);
  t->slot[kSlotDct + 2] = reinterpret_cast<HevcKernel>(&Dct16Add);
  t->slot[kSlotDct + 3] = reinterpret_cast<HevcKernel>(&Dct32Add);
  t->slot[kSlotTransformSkip] = reinterpret_cast<HevcKernel>(&TransformSkipAdd);
}

}  // namespace hevc
