// Motion-compensation kernels: fractional-sample interpolation of luma
// (8 taps, quarter samples) and chroma (4 taps, eighth samples), default
// bi-prediction and explicit weighted prediction, one block of one component
// per call. Intermediates are the 14-bit values of H.265; luma
// two-dimensional positions keep theirs minus 8192 so that they fit 16 bits.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/hevc_tables_inline.h"

namespace hevc {
namespace {

constexpr int kTmpStride = 64;
constexpr int kOffset2D = 8192;

inline uint8_t Clip8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// The chroma members take their fraction as an argument: fC rows 1..7.
struct ChromaCoeff {
  int32_t c[7][4];
  constexpr ChromaCoeff() : c() {
    for (int f = 1; f < 8; ++f)
      for (int i = 0; i < 4; ++i) c[f - 1][i] = kHevcChromaFilter[f][i];
  }
};
constexpr ChromaCoeff kChroma;

template <int F, typename T>
inline int LumaTaps(const T* s, ptrdiff_t step) {
  int sum = 0;
  for (int i = 0; i < 8; ++i) sum += kHevcLumaFilter[F][i] * s[(i - 3) * step];
  return sum;
}

template <typename T>
inline int ChromaTaps(const T* s, ptrdiff_t step, const int32_t* c) {
  return c[0] * s[-step] + c[1] * s[0] + c[2] * s[step] + c[3] * s[2 * step];
}

// The luma value q at every position of the block, in the convention of the
// intermediate members (two-dimensional ones minus 8192), handed to Put(x, y, q).
template <int XF, int YF, typename Put>
inline void LumaBlock(const uint8_t* src, int ss, int w, int h, int offset2D, Put put) {
  if constexpr (XF == 0 && YF == 0) {
    for (int y = 0; y < h; ++y, src += ss)
      for (int x = 0; x < w; ++x) put(x, y, src[x] << 6);
  } else if constexpr (YF == 0) {
    for (int y = 0; y < h; ++y, src += ss)
      for (int x = 0; x < w; ++x) put(x, y, LumaTaps<XF>(src + x, 1));
  } else if constexpr (XF == 0) {
    for (int y = 0; y < h; ++y, src += ss)
      for (int x = 0; x < w; ++x) put(x, y, LumaTaps<YF>(src + x, ss));
  } else {
    int16_t tmp[(64 + 7) * kTmpStride];
    const uint8_t* s = src - 3 * ss;
    for (int y = 0; y < h + 7; ++y, s += ss)
      for (int x = 0; x < w; ++x)
        tmp[y * kTmpStride + x] = static_cast<int16_t>(LumaTaps<XF>(s + x, 1) - offset2D);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) put(x, y, LumaTaps<YF>(tmp + (y + 3) * kTmpStride + x, kTmpStride) >> 6);
  }
}

template <int XF, int YF>
void LumaUni(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
  if constexpr (XF == 0 && YF == 0) {
    // a missing reference stands in as the current picture itself: rows may overlap
    for (int y = 0; y < h; ++y)
      std::memmove(dst + static_cast<ptrdiff_t>(y) * ds, src + static_cast<ptrdiff_t>(y) * ss, w);
  } else {
    LumaBlock<XF, YF>(src, ss, w, h, 0, [&](int x, int y, int q) {
      dst[static_cast<ptrdiff_t>(y) * ds + x] = Clip8((q + 32) >> 6);
    });
  }
}

template <int XF, int YF>
void Luma14(int16_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
  LumaBlock<XF, YF>(src, ss, w, h, kOffset2D, [&](int x, int y, int q) {
    dst[static_cast<ptrdiff_t>(y) * ds + x] = static_cast<int16_t>(q);
  });
}

template <int XF, int YF>
void LumaBi(uint8_t* dst, int ds, const uint8_t* src1, int ss, const int16_t* l0, int w, int h,
            int l0Offset) {
  constexpr bool twoD = XF != 0 && YF != 0;
  const int r = 64 + (twoD ? kOffset2D : 0) + (l0Offset ? kOffset2D : 0);
  LumaBlock<XF, YF>(src1, ss, w, h, kOffset2D, [&](int x, int y, int q) {
    dst[static_cast<ptrdiff_t>(y) * ds + x] = Clip8((l0[y * kTmpStride + x] + q + r) >> 7);
  });
}

// Chroma: kind 1 horizontal, 2 vertical, 3 two-dimensional; q as for luma
// but never offset.
template <int Kind, typename Put>
inline void ChromaBlock(const uint8_t* src, int ss, int w, int h, int fx, int fy, Put put) {
  if constexpr (Kind == 1) {
    const int32_t* c = kChroma.c[fx - 1];
    for (int y = 0; y < h; ++y, src += ss)
      for (int x = 0; x < w; ++x) put(x, y, ChromaTaps(src + x, 1, c));
  } else if constexpr (Kind == 2) {
    const int32_t* c = kChroma.c[fy - 1];
    for (int y = 0; y < h; ++y, src += ss)
      for (int x = 0; x < w; ++x) put(x, y, ChromaTaps(src + x, ss, c));
  } else {
    const int32_t* ch = kChroma.c[fx - 1];
    const int32_t* cv = kChroma.c[fy - 1];
    int16_t tmp[(64 + 3) * kTmpStride];
    const uint8_t* s = src - ss;
    for (int y = 0; y < h + 3; ++y, s += ss)
      for (int x = 0; x < w; ++x) tmp[y * kTmpStride + x] = static_cast<int16_t>(ChromaTaps(s + x, 1, ch));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) put(x, y, ChromaTaps(tmp + (y + 1) * kTmpStride + x, kTmpStride, cv) >> 6);
  }
}

template <int Kind>
void ChromaUniK(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h, int fx, int fy) {
  ChromaBlock<Kind>(src, ss, w, h, fx, fy, [&](int x, int y, int q) {
    dst[static_cast<ptrdiff_t>(y) * ds + x] = Clip8((q + 32) >> 6);
  });
}
void ChromaUniH(uint8_t* d, int ds, const uint8_t* s, int ss, int w, int h, int fx) {
  ChromaUniK<1>(d, ds, s, ss, w, h, fx, 0);
}
void ChromaUniV(uint8_t* d, int ds, const uint8_t* s, int ss, int w, int h, int fy) {
  ChromaUniK<2>(d, ds, s, ss, w, h, 0, fy);
}
void ChromaUni2D(uint8_t* d, int ds, const uint8_t* s, int ss, int w, int h, int fx, int fy) {
  ChromaUniK<3>(d, ds, s, ss, w, h, fx, fy);
}

template <int Kind>
void Chroma14K(int16_t* dst, int ds, const uint8_t* src, int ss, int w, int h, int fx, int fy) {
  ChromaBlock<Kind>(src, ss, w, h, fx, fy, [&](int x, int y, int q) {
    dst[static_cast<ptrdiff_t>(y) * ds + x] = static_cast<int16_t>(q);
  });
}
void Chroma14H(int16_t* d, int ds, const uint8_t* s, int ss, int w, int h, int fx) {
  Chroma14K<1>(d, ds, s, ss, w, h, fx, 0);
}
void Chroma14V(int16_t* d, int ds, const uint8_t* s, int ss, int w, int h, int fy) {
  Chroma14K<2>(d, ds, s, ss, w, h, 0, fy);
}
void Chroma142D(int16_t* d, int ds, const uint8_t* s, int ss, int w, int h, int fx, int fy) {
  Chroma14K<3>(d, ds, s, ss, w, h, fx, fy);
}

template <int Kind>
void ChromaBiK(uint8_t* dst, int ds, const uint8_t* src1, int ss, const int16_t* l0, int w, int h, int fx,
               int fy) {
  ChromaBlock<Kind>(src1, ss, w, h, fx, fy, [&](int x, int y, int q) {
    dst[static_cast<ptrdiff_t>(y) * ds + x] = Clip8((l0[y * kTmpStride + x] + q + 64) >> 7);
  });
}
void ChromaBiCopy(uint8_t* dst, int ds, const uint8_t* src1, int ss, const int16_t* l0, int w, int h) {
  for (int y = 0; y < h; ++y, src1 += ss)
    for (int x = 0; x < w; ++x)
      dst[static_cast<ptrdiff_t>(y) * ds + x] = Clip8((l0[y * kTmpStride + x] + (src1[x] << 6) + 64) >> 7);
}
void ChromaBiH(uint8_t* d, int ds, const uint8_t* s, int ss, const int16_t* l0, int w, int h, int fx) {
  ChromaBiK<1>(d, ds, s, ss, l0, w, h, fx, 0);
}
void ChromaBiV(uint8_t* d, int ds, const uint8_t* s, int ss, const int16_t* l0, int w, int h, int fy) {
  ChromaBiK<2>(d, ds, s, ss, l0, w, h, 0, fy);
}
void ChromaBi2D(uint8_t* d, int ds, const uint8_t* s, int ss, const int16_t* l0, int w, int h, int fx,
                int fy) {
  ChromaBiK<3>(d, ds, s, ss, l0, w, h, fx, fy);
}

// Explicit weighted prediction (H.265 8.5.3.3.4.3) on intermediates; an
// intermediate with its offset flag set is 8192 below its value.
void WeightedUni(int denom, int weight, int offset, uint8_t* dst, int ds, const int16_t* src, int ss, int w,
                 int h, int srcOffset) {
  const int log2Wd = denom + 6;
  const int f = srcOffset ? weight * kOffset2D : 0;
  const int round = log2Wd >= 1 ? 1 << (log2Wd - 1) : 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int v = src[static_cast<ptrdiff_t>(y) * ss + x] * weight + f;
      dst[static_cast<ptrdiff_t>(y) * ds + x] =
          Clip8(log2Wd >= 1 ? ((v + round) >> log2Wd) + offset : v + offset);
    }
}

void WeightedBi(int denom, int w0, int w1, int o0, int o1, uint8_t* dst, int ds, const int16_t* s0,
                const int16_t* s1, int ss, int w, int h, int offset0, int offset1) {
  const int log2Wd = denom + 6;
  const int f = (offset0 ? w0 * kOffset2D : 0) + (offset1 ? w1 * kOffset2D : 0) + ((o0 + o1 + 1) << log2Wd);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const ptrdiff_t i = static_cast<ptrdiff_t>(y) * ss + x;
      dst[static_cast<ptrdiff_t>(y) * ds + x] = Clip8((s0[i] * w0 + s1[i] * w1 + f) >> (log2Wd + 1));
    }
}

template <int I>
void SetLumaPosition(HevcDspTable* t) {
  constexpr int xf = I >> 2, yf = I & 3;
  t->slot[kSlotMcLumaUni + I] = reinterpret_cast<HevcKernel>(&LumaUni<xf, yf>);
  t->slot[kSlotMcLuma14 + I] = reinterpret_cast<HevcKernel>(&Luma14<xf, yf>);
  t->slot[kSlotMcLumaBi + I] = reinterpret_cast<HevcKernel>(&LumaBi<xf, yf>);
  if constexpr (I < 15) SetLumaPosition<I + 1>(t);
}

}  // namespace

void HevcSetInterKernels(HevcDspTable* t) {
  SetLumaPosition<0>(t);
  auto set = [t](int slot, auto fn) { t->slot[slot] = reinterpret_cast<HevcKernel>(fn); };
  set(kSlotMcChromaUni + 0, &LumaUni<0, 0>);
  set(kSlotMcChromaUni + 1, &ChromaUniH);
  set(kSlotMcChromaUni + 2, &ChromaUniV);
  set(kSlotMcChromaUni + 3, &ChromaUni2D);
  set(kSlotMcChroma14 + 0, &Luma14<0, 0>);
  set(kSlotMcChroma14 + 1, &Chroma14H);
  set(kSlotMcChroma14 + 2, &Chroma14V);
  set(kSlotMcChroma14 + 3, &Chroma142D);
  set(kSlotMcChromaBi + 0, &ChromaBiCopy);
  set(kSlotMcChromaBi + 1, &ChromaBiH);
  set(kSlotMcChromaBi + 2, &ChromaBiV);
  set(kSlotMcChromaBi + 3, &ChromaBi2D);
  set(kSlotWeightedUniY, &WeightedUni);
  set(kSlotWeightedBiY, &WeightedBi);
  set(kSlotWeightedUniC, &WeightedUni);
  set(kSlotWeightedBiC, &WeightedBi);
}

}  // namespace hevc
