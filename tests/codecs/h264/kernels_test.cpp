// Edge cases of the kernels: availability handling of the intra predictors,
// clipping, the transforms' rounding, the edge filters' lanes and thresholds,
// and the block moves.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "codecs/h264/h264_kernels.h"

namespace {

struct alignas(16) Buffers {
  uint8_t samples[kMbSamplesSize] = {};
  int16_t residual[384] = {};
};

uint8_t Luma(const Buffers& b, int x, int y) { return b.samples[H264MbLumaPos(x, y)]; }

}  // namespace

TEST(H264IntraKernels, DcWithoutNeighboursIs128) {
  Buffers b;
  std::memset(b.samples + kMbSamplesLeft, 7, kMbSamplesCorner + 1 - kMbSamplesLeft);  // not to be used
  b.samples[kMbSamplesOne] = 1;
  H264Intra4x4Kernels[2](0, b.samples, b.residual, 0);
  EXPECT_EQ(Luma(b, 3, 3), 128);
  H264Intra8x8Kernels[2](0, b.samples, b.residual, 0);
  EXPECT_EQ(Luma(b, 7, 7), 128);
  H264Intra16x16Kernels[2](b.samples, b.residual);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) ASSERT_EQ(Luma(b, x, y), 128);
  H264IntraChromaKernels[0](b.samples, b.samples + kMbSamplesCb, b.samples + kMbSamplesCr, b.residual + 256,
                            b.residual + 320, 0);
  EXPECT_EQ(b.samples[kMbSamplesCb], 128);
  EXPECT_EQ(b.samples[kMbSamplesCr + 63], 128);
}

// Intra_16x16 DC takes the left column only when both of its halves are
// available.
TEST(H264IntraKernels, Intra16x16DcNeedsTheWholeLeftColumn) {
  Buffers b;
  std::memset(b.samples + kMbSamplesLeft, 200, 16);
  std::memset(b.samples + kMbSamplesTop, 40, 16);
  b.samples[kMbSamplesAvailTop] = 1;
  b.samples[kMbSamplesAvailLeft] = b.samples[kMbSamplesAvailLeft + 1] = 1;
  H264Intra16x16Kernels[2](b.samples, b.residual);
  EXPECT_EQ(Luma(b, 5, 5), 40);
  b.samples[kMbSamplesAvailLeft + 2] = b.samples[kMbSamplesAvailLeft + 3] = 1;
  H264Intra16x16Kernels[2](b.samples, b.residual);
  EXPECT_EQ(Luma(b, 5, 5), 120);
}

// Block 3 never has its top-right samples: Diagonal_Down_Left repeats
// p[3, -1], which for block 3 is the bottom row of block 1.
TEST(H264IntraKernels, Block3RepeatsItsLastTopSample) {
  Buffers b;
  for (int x = 0; x < 8; ++x) b.samples[H264MbLumaPos(x, 3)] = static_cast<uint8_t>(10 * x);
  H264Intra4x4Kernels[3](3, b.samples, b.residual, 0);
  // p[4..7, -1] of block 3 all equal p[3, -1] = sample (7, 3) = 70.
  EXPECT_EQ(Luma(b, 7, 7), (70 + 3 * 70 + 2) >> 2);
  EXPECT_EQ(Luma(b, 4, 4), (40 + 2 * 50 + 60 + 2) >> 2);
}

// Intra_8x8 vertical filters the top row; without the corner p[0, -1]
// stands in for it.
TEST(H264IntraKernels, Intra8x8VerticalWithoutCorner) {
  Buffers b;
  for (int x = 0; x < 16; ++x) b.samples[kMbSamplesTop + x] = static_cast<uint8_t>(100 + 8 * x);
  b.samples[kMbSamplesCorner] = 0;
  b.samples[kMbSamplesAvailTop] = 1;
  H264Intra8x8Kernels[0](0, b.samples, b.residual, 0);
  EXPECT_EQ(Luma(b, 0, 7), (3 * 100 + 108 + 2) >> 2);
  EXPECT_EQ(Luma(b, 1, 0), (100 + 2 * 108 + 116 + 2) >> 2);
  b.samples[kMbSamplesAvailTopLeft] = 1;
  H264Intra8x8Kernels[0](0, b.samples, b.residual, 0);
  EXPECT_EQ(Luma(b, 0, 0), (0 + 2 * 100 + 108 + 2) >> 2);
}

TEST(H264IntraKernels, ResidualIsAddedWithClipping) {
  Buffers b;
  std::memset(b.samples + kMbSamplesTop, 250, 16);
  for (int i = 0; i < 256; ++i) b.residual[i] = 10;
  b.residual[H264MbLumaPos(3, 9)] = -300;
  H264Intra16x16Kernels[0](b.samples, b.residual);
  EXPECT_EQ(Luma(b, 0, 0), 255);
  EXPECT_EQ(Luma(b, 3, 9), 0);
  // Intra_4x4 adds only when the block's 8x8 bit is set.
  H264Intra4x4Kernels[0](0, b.samples, b.residual, 0);
  EXPECT_EQ(Luma(b, 0, 0), 250);
  H264Intra4x4Kernels[0](0, b.samples, b.residual, 1);
  EXPECT_EQ(Luma(b, 0, 0), 255);
}

// Chroma DC with only the top row: the lower-left block takes the mean of
// the left half of the top row.
TEST(H264IntraKernels, ChromaDcWithOnlyTheTop) {
  Buffers b;
  uint8_t* cb = b.samples + kMbSamplesCb;
  for (int x = 0; x < 8; ++x) cb[72 + x] = static_cast<uint8_t>(x < 4 ? 20 : 60);
  b.samples[kMbSamplesAvailTop] = 1;
  H264IntraChromaKernels[0](b.samples, cb, b.samples + kMbSamplesCr, b.residual + 256, b.residual + 320, 0);
  EXPECT_EQ(cb[8 * 5 + 1], 20);  // lower left
  EXPECT_EQ(cb[8 * 5 + 6], 60);  // lower right: top only
  EXPECT_EQ(cb[8 * 1 + 6], 60);  // upper right
}

TEST(H264TransformKernels, DcRounding) {
  alignas(16) int16_t coef[64] = {}, res[64] = {};
  coef[0] = 64;
  H264Idct4x4(coef, res);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(res[8 * y + x], 1);
  H264Idct8x8(coef, res);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(res[i], 1);
  coef[0] = 31;
  H264Idct8x8(coef, res);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(res[i], 0);
}

// A 4x4 transform of a single AC coefficient matches the standard's
// equations worked by hand.
TEST(H264TransformKernels, Idct4x4SingleCoefficient) {
  alignas(16) int16_t coef[16] = {}, res[32] = {};
  coef[1] = 128;  // d01
  H264Idct4x4(coef, res);
  const int row[4] = {128, 64, -64, -128};  // e + h, f + g, f - g, e - h of the row pass
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(res[8 * y + x], (row[x] + 32) >> 6) << x << "," << y;
}

TEST(H264DeblockKernels, LumaFilterLanesAndThresholds) {
  alignas(16) uint8_t p[32], q[32];
  auto fill = [&] {
    for (int i = 0; i < 8; ++i) {
      p[i] = p[8 + i] = p[16 + i] = p[24 + i] = 60;
      q[i] = q[8 + i] = q[16 + i] = q[24 + i] = 70;
    }
  };
  fill();
  const uint8_t tc0[4] = {2, 2, 2, 2};
  H264LumaEdgeFilter(p, q, 0x00001414, 8, tc0);  // alpha 20 for samples 0..3 only
  for (int i = 0; i < 4; ++i) {
    EXPECT_NE(p[24 + i], 60) << i;
    EXPECT_NE(q[i], 70) << i;
  }
  for (int i = 4; i < 8; ++i) {
    EXPECT_EQ(p[24 + i], 60) << i;
    EXPECT_EQ(q[i], 70) << i;
  }
  // Strong filter: |p0 - q0| equal to (alpha >> 2) + 2 takes the weak formula.
  fill();
  H264LumaEdgeFilterStrong(p, q, 32u * 0x01010101u, 8);  // (32 >> 2) + 2 = 10 = |60 - 70|
  EXPECT_EQ(p[24], (2 * 60 + 60 + 70 + 2) >> 2);
  EXPECT_EQ(p[16], 60);
  fill();
  H264LumaEdgeFilterStrong(p, q, 36u * 0x01010101u, 8);
  EXPECT_EQ(p[24], (60 + 2 * 60 + 2 * 60 + 2 * 70 + 70 + 4) >> 3);
  EXPECT_EQ(p[8], (2 * 60 + 3 * 60 + 60 + 60 + 70 + 4) >> 3);
}

// The chroma filter below bS 4: each plane with its own alpha word, beta
// and tc0 bytes (Cb 0..3, Cr 4..7); an alpha byte of 0 leaves its samples.
TEST(H264DeblockKernels, ChromaFilterLanesPerPlane) {
  // p1 p0 | q0 q1 = 100 100 | 110 110: the step is 5 before clipping.
  alignas(16) uint8_t pCb[16], qCb[16], pCr[16], qCr[16];
  for (uint8_t* p : {pCb, pCr}) std::memset(p, 100, 16);
  for (uint8_t* q : {qCb, qCr}) std::memset(q, 110, 16);
  const uint8_t tc0[8] = {0, 0, 0, 0, 3, 3, 3, 3};
  H264ChromaEdgeFilter(pCb, qCb, pCr, qCr, 0x00001414u, 4, 0x14141414u, 4, tc0, 8);
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(pCb[8 + i], i < 4 ? 101 : 100);
    EXPECT_EQ(qCb[i], i < 4 ? 109 : 110);
    EXPECT_EQ(pCr[8 + i], 104);
    EXPECT_EQ(qCr[i], 106);
    EXPECT_EQ(pCb[i], 100);  // p1 and q1 stay
    EXPECT_EQ(qCr[8 + i], 110);
  }
}

TEST(H264DeblockKernels, InnerStrengthsFromCoefficients) {
  uint8_t nonZero[16] = {1};
  uint8_t s[40] = {};
  H264InnerStrengthsFromCoeffs(nonZero, s);
  for (int e = 0; e < 3; ++e)
    for (int k = 0; k < 4; ++k) {
      uint8_t want = e == 0 && k == 0 ? 2 : 0;
      EXPECT_EQ(s[16 + 4 * e + k], want);
      EXPECT_EQ(s[28 + 4 * e + k], want);
    }
  H264ClearInnerStrengths(s);
  EXPECT_EQ(std::accumulate(s, s + 40, 0), 0);
}

TEST(H264DeblockKernels, MovesRoundTrip) {
  std::vector<uint8_t> pic(64 * 40);
  std::iota(pic.begin(), pic.end(), 0);
  std::vector<uint8_t> orig = pic;
  alignas(16) uint8_t block[64], other[64];
  for (int i = 0; i < 64; ++i) block[i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 64; ++i) other[i] = static_cast<uint8_t>(100 + i);
  H264Transpose8x8Pair(block, other);
  EXPECT_EQ(block[8 * 2 + 5], 5 * 8 + 2);
  EXPECT_EQ(other[8 * 6 + 1], 100 + 1 * 8 + 6);
  H264Transpose8x8Pair(block, other);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], i);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(other[i], 100 + i);
  H264Transpose8x8(block);
  EXPECT_EQ(block[8 * 2 + 5], 5 * 8 + 2);
  H264Transpose8x8(block);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], i);
  alignas(16) uint8_t cols[64], left[32], right[32];
  H264GatherLeftColumns(&pic[64 * 4 + 12], &pic[64 * 12 + 12], cols, 64);
  EXPECT_EQ(cols[8 * 3 + 2], pic[64 * 6 + 15]);
  H264ScatterLeftColumns(&pic[64 * 4 + 12], &pic[64 * 12 + 12], cols, 64);
  H264GatherTopRows(left, right, &pic[64 * 20 + 16], 64);
  EXPECT_EQ(right[8 * 3 + 1], pic[64 * 23 + 25]);
  H264ScatterTopRows(left, right, &pic[64 * 20 + 16], 64);
  EXPECT_EQ(pic, orig);
}

namespace {

// Clause 8.4.2.2.1 sample by sample: the prediction at fraction (xf, yf) of
// the integer sample at `g`.
int RefLuma(const uint8_t* g, int st, int xf, int yf) {
  auto at = [&](int x, int y) { return static_cast<int>(g[y * st + x]); };
  auto clip = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
  auto b1 = [&](int x, int y) {
    return at(x - 2, y) - 5 * at(x - 1, y) + 20 * at(x, y) + 20 * at(x + 1, y) - 5 * at(x + 2, y) + at(x + 3, y);
  };
  auto h1 = [&](int x, int y) {
    return at(x, y - 2) - 5 * at(x, y - 1) + 20 * at(x, y) + 20 * at(x, y + 1) - 5 * at(x, y + 2) + at(x, y + 3);
  };
  auto b = [&](int x, int y) { return clip((b1(x, y) + 16) >> 5); };
  auto h = [&](int x, int y) { return clip((h1(x, y) + 16) >> 5); };
  auto j = [&](int x, int y) {
    int j1 = h1(x - 2, y) - 5 * h1(x - 1, y) + 20 * h1(x, y) + 20 * h1(x + 1, y) - 5 * h1(x + 2, y) + h1(x + 3, y);
    return clip((j1 + 512) >> 10);
  };
  auto avg = [](int a, int c) { return (a + c + 1) >> 1; };
  int G = at(0, 0);
  switch (4 * xf + yf) {
    case 0: return G;
    case 1: return avg(G, h(0, 0));
    case 2: return h(0, 0);
    case 3: return avg(at(0, 1), h(0, 0));
    case 4: return avg(G, b(0, 0));
    case 5: return avg(b(0, 0), h(0, 0));
    case 6: return avg(h(0, 0), j(0, 0));
    case 7: return avg(h(0, 0), b(0, 1));
    case 8: return b(0, 0);
    case 9: return avg(b(0, 0), j(0, 0));
    case 10: return j(0, 0);
    case 11: return avg(j(0, 0), b(0, 1));
    case 12: return avg(at(1, 0), b(0, 0));
    case 13: return avg(b(0, 0), h(1, 0));
    case 14: return avg(j(0, 0), h(1, 0));
    default: return avg(h(1, 0), b(0, 1));
  }
}

struct LumaShape {
  const H264McFn* table;
  int w, h;
};

// Every kernel of the three luma tables on random windows and on a window
// of alternating 0 and 255 (the extremes of the centre filter); each writes
// exactly its block with rows of 8 (the 8x16 kernel's lower half 128 bytes
// on).
void CheckLuma(const std::vector<uint8_t>& window, int st) {
  const LumaShape shapes[] = {{H264LumaMc4x4Kernels, 4, 4}, {H264LumaMc4x8Kernels, 4, 8}, {H264LumaMc8x16Kernels, 8, 16}};
  for (const LumaShape& s : shapes)
    for (int idx = 0; idx < 16; ++idx) {
      int xf = idx / 4, yf = idx % 4;
      const uint8_t* g = window.data() + 3 * st + 3;  // three samples of margin
      uint8_t out[256 + 16];
      std::memset(out, 0xA5, sizeof out);
      H264McArgs a{};
      a.lumaSrc = g - (xf ? 2 : 0) - (yf ? 2 * st : 0);
      a.lumaStride = st;
      a.lumaDst = out;
      s.table[idx](&a);
      uint8_t want[sizeof out];
      std::memset(want, 0xA5, sizeof want);
      for (int y = 0; y < s.h; ++y)
        for (int x = 0; x < s.w; ++x)
          want[y < 8 ? 8 * y + x : 128 + 8 * (y - 8) + x] = static_cast<uint8_t>(RefLuma(g + y * st + x, st, xf, yf));
      ASSERT_EQ(std::memcmp(out, want, sizeof out), 0) << s.w << "x" << s.h << " fraction " << idx;
    }
}

}  // namespace

TEST(H264McKernels, LumaMatchesTheStandardAtEveryFraction) {
  const int st = 32;
  std::vector<uint8_t> window(st * 28);
  uint32_t seed = 1;
  for (int round = 0; round < 3; ++round) {
    for (auto& v : window) {
      seed = seed * 1103515245u + 12345u;
      v = static_cast<uint8_t>(seed >> 16);
    }
    CheckLuma(window, st);
  }
  for (int y = 0; y < 28; ++y)
    for (int x = 0; x < st; ++x) window[y * st + x] = ((x + y) & 1) ? 255 : 0;
  CheckLuma(window, st);
  for (int y = 0; y < 28; ++y)
    for (int x = 0; x < st; ++x) window[y * st + x] = (x & 1) ? 255 : 0;
  CheckLuma(window, st);
}

// Clause 8.4.2.2.2 for every fraction pair; fraction 0 copies, (4, 0)
// averages neighbours, (7, 7) weights the lower right sample 49/64.
TEST(H264McKernels, ChromaMatchesTheStandard) {
  const int st = 16;
  uint8_t cb[st * 10], cr[st * 10];
  for (int i = 0; i < st * 10; ++i) {
    cb[i] = static_cast<uint8_t>(i * 37 + 11);
    cr[i] = static_cast<uint8_t>(255 - i * 23);
  }
  struct Shape {
    const H264McFn* table;
    int w, h;
  } shapes[] = {{H264ChromaMc8x4Kernels, 8, 4}, {H264ChromaMc4x2Kernels, 4, 2}, {H264Chroma2x2Kernels, 2, 2}};
  for (const Shape& s : shapes)
    for (int xf = 0; xf < 8; ++xf)
      for (int yf = 0; yf < 8; ++yf) {
        uint8_t outCb[64], outCr[64];
        std::memset(outCb, 7, 64);
        std::memset(outCr, 7, 64);
        H264McArgs a{};
        a.cbSrc = cb;
        a.crSrc = cr;
        a.chromaStride = st;
        a.chromaFracX = static_cast<int16_t>(xf);
        a.chromaFracY = static_cast<int16_t>(yf);
        a.cbDst = outCb;
        a.crDst = outCr;
        s.table[(xf ? 1 : 0) + (yf ? 2 : 0)](&a);
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 8; ++x) {
            auto ref = [&](const uint8_t* p) {
              const uint8_t* q = p + y * st + x;
              return ((8 - xf) * (8 - yf) * q[0] + xf * (8 - yf) * q[1] + (8 - xf) * yf * q[st] + xf * yf * q[st + 1] +
                      32) >> 6;
            };
            bool inside = x < s.w && y < s.h;
            ASSERT_EQ(outCb[8 * y + x], inside ? ref(cb) : 7) << s.w << "x" << s.h << " " << xf << "," << yf;
            ASSERT_EQ(outCr[8 * y + x], inside ? ref(cr) : 7);
          }
      }
  uint8_t flat[3 * st] = {};
  flat[0] = 0;
  flat[st + 1] = 64;
  uint8_t out[64] = {}, outCr[64] = {};
  H264McArgs a{};
  a.cbSrc = a.crSrc = flat;
  a.chromaStride = st;
  a.chromaFracX = a.chromaFracY = 7;
  a.cbDst = out;
  a.crDst = outCr;
  H264Chroma2x2Kernels[3](&a);
  EXPECT_EQ(out[0], 49);  // (49 * 64 + 32) >> 6
}
