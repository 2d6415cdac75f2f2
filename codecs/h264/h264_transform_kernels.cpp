// Inverse transforms: coefficients (raster order, already scaled) to a
// residual block with rows of 8 values. All arithmetic wraps at 16 bits.
#include <cstdint>

#include "codecs/h264/h264_kernels.h"

namespace {

inline int16_t W(int v) { return static_cast<int16_t>(v); }

}  // namespace

void H264Idct4x4(const int16_t* coef, int16_t* residual) {
  int16_t t[16];
  for (int i = 0; i < 4; ++i) {
    const int16_t* d = coef + 4 * i;
    int16_t e = W(d[0] + d[2]), f = W(d[0] - d[2]);
    int16_t g = W((d[1] >> 1) - d[3]), h = W(d[1] + (d[3] >> 1));
    t[4 * i + 0] = W(e + h);
    t[4 * i + 1] = W(f + g);
    t[4 * i + 2] = W(f - g);
    t[4 * i + 3] = W(e - h);
  }
  for (int j = 0; j < 4; ++j) {
    int16_t d0 = t[j], d1 = t[4 + j], d2 = t[8 + j], d3 = t[12 + j];
    int16_t e = W(d0 + d2), f = W(d0 - d2);
    int16_t g = W((d1 >> 1) - d3), h = W(d1 + (d3 >> 1));
    residual[0 * 8 + j] = W(W(W(e + h) + 32) >> 6);
    residual[1 * 8 + j] = W(W(W(f + g) + 32) >> 6);
    residual[2 * 8 + j] = W(W(W(f - g) + 32) >> 6);
    residual[3 * 8 + j] = W(W(W(e - h) + 32) >> 6);
  }
}

namespace {

// One 8-point pass of the 8x8 transform over d[0], d[s], ..., d[7s].
inline void Idct8Pass(const int16_t* d, int s, int16_t* out, int os) {
  int16_t e0 = W(d[0] + d[4 * s]);
  int16_t e1 = W(-d[3 * s] + d[5 * s] - d[7 * s] - (d[7 * s] >> 1));
  int16_t e2 = W(d[0] - d[4 * s]);
  int16_t e3 = W(d[1 * s] + d[7 * s] - d[3 * s] - (d[3 * s] >> 1));
  int16_t e4 = W((d[2 * s] >> 1) - d[6 * s]);
  int16_t e5 = W(-d[1 * s] + d[7 * s] + d[5 * s] + (d[5 * s] >> 1));
  int16_t e6 = W(d[2 * s] + (d[6 * s] >> 1));
  int16_t e7 = W(d[3 * s] + d[5 * s] + d[1 * s] + (d[1 * s] >> 1));
  int16_t f0 = W(e0 + e6), f1 = W(e1 + (e7 >> 2)), f2 = W(e2 + e4), f3 = W(e3 + (e5 >> 2));
  int16_t f4 = W(e2 - e4), f5 = W((e3 >> 2) - e5), f6 = W(e0 - e6), f7 = W(e7 - (e1 >> 2));
  out[0 * os] = W(f0 + f7);
  out[1 * os] = W(f2 + f5);
  out[2 * os] = W(f4 + f3);
  out[3 * os] = W(f6 + f1);
  out[4 * os] = W(f6 - f1);
  out[5 * os] = W(f4 - f3);
  out[6 * os] = W(f2 - f5);
  out[7 * os] = W(f0 - f7);
}

}  // namespace

void H264Idct8x8(const int16_t* coef, int16_t* residual) {
  int16_t t[64], u[64];
  for (int i = 0; i < 8; ++i) Idct8Pass(coef + 8 * i, 1, t + 8 * i, 1);
  for (int j = 0; j < 8; ++j) t[j] = W(t[j] + 32);  // rounding, once for every column
  for (int j = 0; j < 8; ++j) Idct8Pass(t + j, 8, u + j, 8);
  for (int k = 0; k < 64; ++k) residual[k] = W(u[k] >> 6);
}
