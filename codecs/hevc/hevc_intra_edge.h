// What the plain and vector intra predictors share: clipping and the luma edge filter of the pure
// vertical and horizontal modes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hevc {

inline uint8_t Clip8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Luma blocks under 32x32 in mode 26 (vertical) get their left column, in mode 10 (horizontal) their top
// row, corrected by the neighbours' gradient.
template <int kN>
inline void AngularEdgeFilter(int comp, int mode, const uint8_t* top, const uint8_t* left, int stride,
                              uint8_t* dst) {
  if (comp != 0 || kN >= 32) return;
  if (mode == 26)
    for (int y = 0; y < kN; ++y)
      dst[static_cast<ptrdiff_t>(y) * stride] = Clip8(top[0] + ((left[y] - left[-1]) >> 1));
  else if (mode == 10)
    for (int x = 0; x < kN; ++x) dst[x] = Clip8(left[0] + ((top[x] - top[-1]) >> 1));
}

}  // namespace hevc
