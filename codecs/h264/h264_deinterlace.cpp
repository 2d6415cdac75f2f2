// Motion-adaptive deinterlacing of interlaced pictures on output: a field
// pair's odd lines are rebuilt from the even ones, temporally where the
// region has been still for three pictures, else spatially along the best
// of three edge directions.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/h264_internal.h"

namespace {

inline int Avg(int a, int b) { return (a + b + 1) >> 1; }

// Sum of the 2x2 block of the sample pair at x on lines a and b.
inline int PairSum(const uint8_t* a, const uint8_t* b, int x) { return a[x] + a[x + 1] + b[x] + b[x + 1]; }

// Vertical plus horizontal difference at the pair's first sample.
inline int PairTexture(const uint8_t* a, const uint8_t* b, int x) { return std::abs(a[x] - b[x]) + std::abs(a[x] - a[x + 1]); }

}  // namespace

void H264DecDeinterlaceRow(uint8_t* counters, const uint8_t* prev, const uint8_t* src, uint8_t* dst, int stride) {
  const uint8_t* l0 = src;
  const uint8_t* l1 = src + stride;
  const uint8_t* l2 = src + 2 * stride;
  const uint8_t* l3 = src + 3 * stride;
  const uint8_t* p0 = prev;
  const uint8_t* p1 = prev + stride;
  const uint8_t* p2 = prev + 2 * stride;
  const uint8_t* p3 = prev + 3 * stride;
  uint8_t* out = dst + stride;
  std::memcpy(dst, l0, static_cast<size_t>(stride));
  for (int x = 0; x + 1 < stride; x += 2) {
    int texture = std::max(std::max(PairTexture(l1, l3, x), PairTexture(l0, l2, x)),
                           std::max(PairTexture(p1, p3, x), PairTexture(p0, p2, x)));
    int motion = std::max(std::abs(PairSum(l1, l3, x) - PairSum(p1, p3, x)),
                          std::abs(PairSum(l0, l2, x) - PairSum(p0, p2, x)));
    bool still = motion < (texture < 45 ? 40 : 130);
    for (int i = x; i < x + 2; ++i) {
      uint8_t old = counters[i];
      counters[i] = still ? static_cast<uint8_t>(std::min(old + 1, 3)) : 0;
      if (i < 2 || i >= stride - 2) {
        out[i] = l0[i];
      } else if (still && old >= 3) {
        out[i] = static_cast<uint8_t>(Avg(l1[i], p1[i]));
      } else {
        int d0 = std::abs(l2[i] - l0[i]);
        int d2 = std::abs(l2[i - 1] - l0[i + 1]);
        int d1 = std::abs(l2[i + 1] - l0[i - 1]);
        int v = Avg(l2[i], l0[i]);
        if (d2 < d0 && d2 <= d1)
          v = Avg(l2[i - 1], l0[i + 1]);
        else if (d1 < d0 && d1 < d2)
          v = Avg(l2[i + 1], l0[i - 1]);
        out[i] = static_cast<uint8_t>(v);
      }
    }
  }
}

void H264DecDeinterlace(H264DecContext* ctx, H264DecFrame* frame, int bufferIndex, int mode) {
  int w = frame->lumaStride, h = frame->height;
  if (!ctx->deinterlaceState || w < 8 || h < 4) return;
  size_t mbs = ctx->bufferMbs;
  uint8_t* outY = ctx->deinterlaceBuffer;
  uint8_t* outU = outY + mbs * 256;
  uint8_t* outV = outY + mbs * 320;
  const uint8_t* srcY = H264DecPlane(ctx, bufferIndex, 0);
  const uint8_t* srcU = H264DecPlane(ctx, bufferIndex, 1);
  const uint8_t* srcV = H264DecPlane(ctx, bufferIndex, 2);
  uint8_t* prev = ctx->deinterlaceState;
  uint8_t* counters = prev + static_cast<size_t>(w) * h;
  int cw = frame->chromaStride, ch = h / 2;
  size_t lumaSize = static_cast<size_t>(w) * h;
  if (mode == 2) {
    for (int y = 0; y < ch; y += 2)
      for (int c = 0; c < 2; ++c) {
        const uint8_t* src = (c ? srcV : srcU) + static_cast<ptrdiff_t>(y) * cw;
        uint8_t* dst = (c ? outV : outU) + static_cast<ptrdiff_t>(y) * cw;
        std::memcpy(dst, src, static_cast<size_t>(cw));
        if (y + 1 < ch) std::memcpy(dst + cw, src, static_cast<size_t>(cw));
      }
    std::memcpy(outY, srcY, static_cast<size_t>(w));
    std::memcpy(outY + w, srcY, static_cast<size_t>(w));
    for (int k = 1; k <= h / 2 - 2; ++k) {
      ptrdiff_t line = static_cast<ptrdiff_t>(2 * k) * w;
      ctx->kernels.deinterlaceRow(counters + static_cast<ptrdiff_t>(k) * w, prev + line, srcY + line, outY + line, w);
    }
    std::memcpy(outY + static_cast<ptrdiff_t>(h - 2) * w, srcY + static_cast<ptrdiff_t>(h - 2) * w, static_cast<size_t>(w));
    std::memcpy(outY + static_cast<ptrdiff_t>(h - 1) * w, srcY + static_cast<ptrdiff_t>(h - 2) * w, static_cast<size_t>(w));
  } else {
    std::memcpy(outY, srcY, lumaSize);
    std::memcpy(outU, srcU, static_cast<size_t>(cw) * ch);
    std::memcpy(outV, srcV, static_cast<size_t>(cw) * ch);
    for (int k = 1; k <= h / 2 - 2; ++k) {
      uint8_t* line = counters + static_cast<ptrdiff_t>(k) * w;
      for (int x = 0; x + 1 < w; x += 2)
        if (line[x] < 3) {
          ++line[x];
          ++line[x + 1];
        }
    }
  }
  std::memcpy(prev, srcY, lumaSize);
  frame->y = outY;
  frame->u = outU;
  frame->v = outV;
}
