// AVX plane copies and border extension: rows of a block copied between
// two planes of one stride, and a plane's edge samples replicated outwards.
#include <immintrin.h>

#include <cstring>

#include "codecs/hevc/x86/hevc_x86.h"

namespace hevc {
namespace {

// 32-byte pieces, then one of 16 and one of 8 where they fit, then bytes
inline void CopyRow(uint8_t* d, const uint8_t* s, int n) {
  int x = 0;
  for (; x + 32 <= n; x += 32)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + x), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + x)));
  if (x + 16 <= n) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x)));
    x += 16;
  }
  if (x + 8 <= n) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + x), _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + x)));
    x += 8;
  }
  for (; x < n; ++x) d[x] = s[x];
}

inline void FillRow(uint8_t* d, uint8_t v, int n) {
  const __m256i f = _mm256_set1_epi8(static_cast<char>(v));
  int x = 0;
  for (; x + 32 <= n; x += 32) _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + x), f);
  if (x < n) std::memset(d + x, v, n - x);
}

void CopyRows(const uint8_t* src, uint8_t* dst, int width, int rows, int stride) {
  for (int y = 0; y < rows; ++y)
    CopyRow(dst + static_cast<ptrdiff_t>(y) * stride, src + static_cast<ptrdiff_t>(y) * stride, width);
}

// sidesDone 1: the left and right borders are in place already
void ExtendBorders(int sidesDone, uint8_t* plane, int width, int height, int stride, int padX, int padY) {
  if (sidesDone != 1)
    for (int y = 0; y < height; ++y) {
      uint8_t* row = plane + static_cast<ptrdiff_t>(y) * stride;
      FillRow(row - padX, row[0], padX);
      FillRow(row + width, row[width - 1], padX);
    }
  const uint8_t* first = plane - padX;
  const uint8_t* last = plane + static_cast<ptrdiff_t>(height - 1) * stride - padX;
  for (int y = 1; y <= padY; ++y) {
    CopyRow(plane - padX - static_cast<ptrdiff_t>(y) * stride, first, width + 2 * padX);
    CopyRow(plane - padX + static_cast<ptrdiff_t>(height - 1 + y) * stride, last, width + 2 * padX);
  }
}

}  // namespace

void HevcSetCopyAvx(HevcDspTable* t) { t->slot[kSlotCopyRows] = reinterpret_cast<HevcKernel>(&CopyRows); }

void HevcSetBorderAvx(HevcDspTable* t) { t->slot[kSlotBorder] = reinterpret_cast<HevcKernel>(&ExtendBorders); }

}  // namespace hevc
