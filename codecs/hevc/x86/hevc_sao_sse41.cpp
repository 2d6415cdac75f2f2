// SSE4.1 sample adaptive offset, sixteen samples at a time: edge classes by
// signed compares of the two neighbours, band and edge offsets by byte shuffles.
#include <smmintrin.h>

#include "codecs/hevc/hevc_tables_inline.h"
#include "codecs/hevc/x86/hevc_x86.h"

namespace hevc {
namespace {

inline uint8_t Clip8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }
inline int Sign(int v) { return (v > 0) - (v < 0); }

inline __m128i Load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// the offset of sixteen samples at s, written to d
inline void Edge16(uint8_t* d, const uint8_t* s, ptrdiff_t a, ptrdiff_t b, __m128i table) {
  const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i v = Load16(s), vs = _mm_xor_si128(v, flip);
  const __m128i na = _mm_xor_si128(Load16(s + a), flip), nb = _mm_xor_si128(Load16(s + b), flip);
  // sign(v - n) = (n > v) - (v > n) with masks of -1
  const __m128i sa = _mm_sub_epi8(_mm_cmpgt_epi8(na, vs), _mm_cmpgt_epi8(vs, na));
  const __m128i sb = _mm_sub_epi8(_mm_cmpgt_epi8(nb, vs), _mm_cmpgt_epi8(vs, nb));
  const __m128i idx = _mm_add_epi8(_mm_set1_epi8(2), _mm_add_epi8(sa, sb));
  const __m128i off = _mm_shuffle_epi8(table, idx);
  const __m128i lo = _mm_add_epi16(_mm_cvtepu8_epi16(v), _mm_cvtepi8_epi16(off));
  const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(v, _mm_setzero_si128()),
                                   _mm_cvtepi8_epi16(_mm_srli_si128(off, 8)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_packus_epi16(lo, hi));
}

void SaoEdge(uint8_t* dst, const uint8_t* src, int stride, int srcStride, const HevcSaoParams* sao,
             const int32_t* edges, int w, int h, int comp) {
  const int cls = sao->aucSaoEoClass[comp];
  const int8_t* pos = kHevcSaoEoPos[cls];
  const ptrdiff_t a = pos[1] * static_cast<ptrdiff_t>(srcStride) + pos[0];
  const ptrdiff_t b = pos[3] * static_cast<ptrdiff_t>(srcStride) + pos[2];
  const int8_t* off = sao->acSaoOffsetVal[comp];
  const int x0 = edges[0] && cls != 1 ? 1 : 0, x1 = edges[2] && cls != 1 ? w - 1 : w;
  const int y0 = edges[1] && cls != 0 ? 1 : 0, y1 = edges[3] && cls != 0 ? h - 1 : h;
  alignas(16) int8_t t[16] = {};
  for (int e = 0; e < 5; ++e) t[e] = off[kHevcSaoEdgeIdx[e]];
  const __m128i table = _mm_load_si128(reinterpret_cast<const __m128i*>(t));
  const int n = x1 - x0;
  for (int y = y0; y < y1; ++y) {
    const uint8_t* s = src + static_cast<ptrdiff_t>(y) * srcStride;
    uint8_t* d = dst + static_cast<ptrdiff_t>(y) * stride;
    int x = x0;
    if (n >= 16) {
      for (; x + 16 <= x1; x += 16) Edge16(d + x, s + x, a, b, table);
      // the last samples as a sixteen ending at x1 (dst is a plane apart from src)
      if (x < x1) Edge16(d + x1 - 16, s + x1 - 16, a, b, table);
      continue;
    }
    for (; x < x1; ++x) {
      const int v = s[x];
      d[x] = Clip8(v + off[kHevcSaoEdgeIdx[2 + Sign(v - s[x + a]) + Sign(v - s[x + b])]]);
    }
  }
}

// Band offset in place: the band of each sample (its top five bits) less the
// first offset band, modulo 32, looks up the four offsets; other bands add 0.
void SaoBand(uint8_t* block, int stride, const HevcSaoParams* sao, int w, int h, int comp) {
  alignas(16) int8_t t[16] = {};
  for (int k = 0; k < 4; ++k) t[k] = sao->acSaoOffsetVal[comp][k + 1];
  const __m128i table = _mm_load_si128(reinterpret_cast<const __m128i*>(t));
  const __m128i first = _mm_set1_epi8(static_cast<char>(sao->aucSaoBandPosition[comp] & 31));
  const __m128i five = _mm_set1_epi8(31), high = _mm_set1_epi8(0x70);
  int offset[32] = {};
  for (int k = 0; k < 4; ++k) offset[(k + sao->aucSaoBandPosition[comp]) & 31] = sao->acSaoOffsetVal[comp][k + 1];
  for (int y = 0; y < h; ++y) {
    uint8_t* row = block + static_cast<ptrdiff_t>(y) * stride;
    int x = 0;
    for (; x + 16 <= w; x += 16) {
      const __m128i v = Load16(row + x);
      const __m128i band = _mm_and_si128(_mm_srli_epi16(v, 3), five);
      // k = (band - first) & 31; k >= 16 turns the lookup index negative (0)
      const __m128i k = _mm_and_si128(_mm_sub_epi8(band, first), five);
      const __m128i off = _mm_shuffle_epi8(table, _mm_adds_epu8(k, high));
      const __m128i lo = _mm_add_epi16(_mm_cvtepu8_epi16(v), _mm_cvtepi8_epi16(off));
      const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(v, _mm_setzero_si128()),
                                       _mm_cvtepi8_epi16(_mm_srli_si128(off, 8)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), _mm_packus_epi16(lo, hi));
    }
    for (; x < w; ++x) row[x] = Clip8(row[x] + offset[row[x] >> 3]);
  }
}

}  // namespace

void HevcSetSaoSse41(HevcDspTable* t) {
  t->slot[kSlotSaoBand] = reinterpret_cast<HevcKernel>(&SaoBand);
  t->slot[kSlotSaoEdge] = reinterpret_cast<HevcKernel>(&SaoEdge);
}

}  // namespace hevc
