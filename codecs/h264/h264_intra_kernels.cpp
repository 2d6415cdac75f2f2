// Intra prediction kernels (Intra_4x4, Intra_8x8, Intra_16x16, chroma): they
// predict from the neighbour samples and availability bytes of the
// macroblock sample buffer, add the residual with clipping and store.
#include <array>
#include <cstdint>

#include "codecs/h264/h264_kernels.h"

namespace {

constexpr int kBlkX[16] = {0, 4, 0, 4, 8, 12, 8, 12, 0, 4, 0, 4, 8, 12, 8, 12};
constexpr int kBlkY[16] = {0, 0, 4, 4, 0, 0, 4, 4, 8, 8, 12, 12, 8, 8, 12, 12};

constexpr int BlkIdxAt(int x, int y) {
  for (int i = 0; i < 16; ++i)
    if (kBlkX[i] == (x & ~3) && kBlkY[i] == (y & ~3)) return i;
  return -1;
}

// Byte positions of a block's neighbours in the sample buffer.
struct BlockNeighbours {
  uint16_t pos;          // top-left sample of the block
  uint16_t left[8];      // p[-1, y]
  uint16_t top[16];      // p[x, -1], top-right included
  uint16_t corner;       // p[-1, -1]
  uint16_t availLeft;    // availability bytes
  uint16_t availTop;
  uint16_t availCorner;
};

constexpr std::array<BlockNeighbours, 16> MakeBlock4() {
  std::array<BlockNeighbours, 16> t{};
  for (int b = 0; b < 16; ++b) {
    int bx = kBlkX[b], by = kBlkY[b];
    BlockNeighbours& n = t[b];
    n.pos = static_cast<uint16_t>(H264MbLumaPos(bx, by));
    for (int i = 0; i < 4; ++i) {
      n.left[i] = static_cast<uint16_t>(bx == 0 ? kMbSamplesLeft + by + i : H264MbLumaPos(bx - 1, by + i));
      n.top[i] = static_cast<uint16_t>(by == 0 ? kMbSamplesTop + bx + i : H264MbLumaPos(bx + i, by - 1));
    }
    for (int i = 0; i < 4; ++i) {
      int pos;
      if (by == 0)
        pos = bx + 4 < 16 ? kMbSamplesTop + bx + 4 + i : kMbSamplesTopRight + i;
      else if (bx + 4 < 16 && BlkIdxAt(bx + 4, by - 4) < b)
        pos = H264MbLumaPos(bx + 4 + i, by - 1);
      else
        pos = n.top[3];  // never available: repeat p[3, -1]
      n.top[4 + i] = static_cast<uint16_t>(pos);
    }
    if (bx == 0 && by == 0)
      n.corner = kMbSamplesCorner;
    else if (by == 0)
      n.corner = static_cast<uint16_t>(kMbSamplesTop + bx - 1);
    else if (bx == 0)
      n.corner = static_cast<uint16_t>(kMbSamplesLeft + by - 1);
    else
      n.corner = static_cast<uint16_t>(H264MbLumaPos(bx - 1, by - 1));
    n.availLeft = static_cast<uint16_t>(bx == 0 ? kMbSamplesAvailLeft + by / 4 : kMbSamplesOne);
    n.availTop = static_cast<uint16_t>(by == 0 ? kMbSamplesAvailTop : kMbSamplesOne);
    n.availCorner = kMbSamplesOne;
  }
  return t;
}

constexpr std::array<BlockNeighbours, 4> MakeBlock8() {
  std::array<BlockNeighbours, 4> t{};
  constexpr uint16_t kCornerAvail[4] = {kMbSamplesAvailTopLeft, kMbSamplesAvailTop, kMbSamplesAvailLeft8x8,
                                        kMbSamplesOne};
  for (int b = 0; b < 4; ++b) {
    int bx = (b & 1) * 8, by = (b >> 1) * 8;
    BlockNeighbours& n = t[b];
    n.pos = static_cast<uint16_t>(64 * b);
    for (int i = 0; i < 8; ++i) {
      n.left[i] = static_cast<uint16_t>(bx == 0 ? kMbSamplesLeft + by + i : H264MbLumaPos(bx - 1, by + i));
      n.top[i] = static_cast<uint16_t>(by == 0 ? kMbSamplesTop + bx + i : H264MbLumaPos(bx + i, by - 1));
    }
    for (int i = 0; i < 8; ++i) {
      int pos;
      if (b == 0)
        pos = kMbSamplesTop + 8 + i;
      else if (b == 1)
        pos = kMbSamplesTopRight + i;
      else if (b == 2)
        pos = H264MbLumaPos(8 + i, 7);
      else
        pos = n.top[7];
      n.top[8 + i] = static_cast<uint16_t>(pos);
    }
    if (b == 0)
      n.corner = kMbSamplesCorner;
    else if (b == 1)
      n.corner = kMbSamplesTop + 7;
    else if (b == 2)
      n.corner = kMbSamplesLeft + 7;
    else
      n.corner = static_cast<uint16_t>(H264MbLumaPos(7, 7));
    n.availLeft = static_cast<uint16_t>(bx == 0 ? kMbSamplesAvailLeft + by / 4 : kMbSamplesOne);
    n.availTop = static_cast<uint16_t>(by == 0 ? kMbSamplesAvailTop : kMbSamplesOne);
    n.availCorner = kCornerAvail[b];
  }
  return t;
}

constexpr std::array<BlockNeighbours, 16> kBlock4 = MakeBlock4();
constexpr std::array<BlockNeighbours, 4> kBlock8 = MakeBlock8();

inline uint8_t Clip1(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Adds the residual (when coded) and stores an n x n prediction into rows of 8.
inline void StoreBlock(const int* pred, int n, uint8_t* dst, const int16_t* res, bool coded) {
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      int v = pred[y * n + x];
      if (coded) v = static_cast<int16_t>(v + res[y * 8 + x]);
      dst[y * 8 + x] = Clip1(v);
    }
}

// The directional modes shared by Intra_4x4 and Intra_8x8. t[x + 1] is
// p[x, -1] for x = -1..2n-1 and l[y + 1] is p[-1, y] for y = -1..n-1.
template <int N>
void PredictDirectional(int mode, const int* t, const int* l, int* out) {
  auto T = [t](int x) { return t[x + 1]; };
  auto L = [l](int y) { return l[y + 1]; };
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x) {
      int v = 0;
      switch (mode) {
        case 0:
          v = T(x);
          break;
        case 1:
          v = L(y);
          break;
        case 3:
          if (x == N - 1 && y == N - 1)
            v = (T(2 * N - 2) + 3 * T(2 * N - 1) + 2) >> 2;
          else
            v = (T(x + y) + 2 * T(x + y + 1) + T(x + y + 2) + 2) >> 2;
          break;
        case 4:
          if (x > y)
            v = (T(x - y - 2) + 2 * T(x - y - 1) + T(x - y) + 2) >> 2;
          else if (x < y)
            v = (L(y - x - 2) + 2 * L(y - x - 1) + L(y - x) + 2) >> 2;
          else
            v = (T(0) + 2 * T(-1) + L(0) + 2) >> 2;
          break;
        case 5: {
          int z = 2 * x - y;
          if (z >= 0 && (z & 1) == 0)
            v = (T(x - (y >> 1) - 1) + T(x - (y >> 1)) + 1) >> 1;
          else if (z >= 0)
            v = (T(x - (y >> 1) - 2) + 2 * T(x - (y >> 1) - 1) + T(x - (y >> 1)) + 2) >> 2;
          else if (z == -1)
            v = (L(0) + 2 * L(-1) + T(0) + 2) >> 2;
          else
            v = (L(y - 2 * x - 1) + 2 * L(y - 2 * x - 2) + L(y - 2 * x - 3) + 2) >> 2;
          break;
        }
        case 6: {
          int z = 2 * y - x;
          if (z >= 0 && (z & 1) == 0)
            v = (L(y - (x >> 1) - 1) + L(y - (x >> 1)) + 1) >> 1;
          else if (z >= 0)
            v = (L(y - (x >> 1) - 2) + 2 * L(y - (x >> 1) - 1) + L(y - (x >> 1)) + 2) >> 2;
          else if (z == -1)
            v = (L(0) + 2 * L(-1) + T(0) + 2) >> 2;
          else
            v = (T(x - 2 * y - 1) + 2 * T(x - 2 * y - 2) + T(x - 2 * y - 3) + 2) >> 2;
          break;
        }
        case 7:
          if ((y & 1) == 0)
            v = (T(x + (y >> 1)) + T(x + (y >> 1) + 1) + 1) >> 1;
          else
            v = (T(x + (y >> 1)) + 2 * T(x + (y >> 1) + 1) + T(x + (y >> 1) + 2) + 2) >> 2;
          break;
        case 8: {
          int z = x + 2 * y;
          if (z < 2 * N - 3 && (z & 1) == 0)
            v = (L(y + (x >> 1)) + L(y + (x >> 1) + 1) + 1) >> 1;
          else if (z < 2 * N - 3)
            v = (L(y + (x >> 1)) + 2 * L(y + (x >> 1) + 1) + L(y + (x >> 1) + 2) + 2) >> 2;
          else if (z == 2 * N - 3)
            v = (L(N - 2) + 3 * L(N - 1) + 2) >> 2;
          else
            v = L(N - 1);
          break;
        }
        default:
          break;
      }
      out[y * N + x] = v;
    }
}

// DC of an n x n block from its n top and n left samples.
template <int N, int kShift>
int DcValue(const int* t, const int* l, bool left, bool top) {
  int sum = 0;
  if (left && top) {
    for (int i = 0; i < N; ++i) sum += t[i + 1] + l[i + 1];
    return (sum + N) >> (kShift + 1);
  }
  if (left) {
    for (int i = 0; i < N; ++i) sum += l[i + 1];
    return (sum + N / 2) >> kShift;
  }
  if (top) {
    for (int i = 0; i < N; ++i) sum += t[i + 1];
    return (sum + N / 2) >> kShift;
  }
  return 128;
}

template <int kMode>
void Intra4x4(int block, uint8_t* s, const int16_t* residual, uint32_t cbp) {
  const BlockNeighbours& n = kBlock4[block];
  // One spare element in front of each array keeps every index the
  // directional formulas can form (down to p[-2]) inside it.
  int tb[10], lb[6], pred[16];
  int *t = tb + 1, *l = lb + 1;
  t[0] = l[0] = s[n.corner];
  for (int i = 0; i < 8; ++i) t[i + 1] = s[n.top[i]];
  for (int i = 0; i < 4; ++i) l[i + 1] = s[n.left[i]];
  if (kMode == 2) {
    int dc = DcValue<4, 2>(t, l, s[n.availLeft] != 0, s[n.availTop] != 0);
    for (int& v : pred) v = dc;
  } else {
    PredictDirectional<4>(kMode, t, l, pred);
  }
  StoreBlock(pred, 4, s + n.pos, residual + n.pos, (cbp >> (block >> 2)) & 1);
}

template <int kMode>
void Intra8x8(int block, uint8_t* s, const int16_t* residual, uint32_t cbp) {
  const BlockNeighbours& n = kBlock8[block];
  bool left = s[n.availLeft] != 0, top = s[n.availTop] != 0, corner = s[n.availCorner] != 0;
  int rt[16], rl[8], rc = s[n.corner];
  for (int i = 0; i < 16; ++i) rt[i] = s[n.top[i]];
  for (int i = 0; i < 8; ++i) rl[i] = s[n.left[i]];
  // Reference sample filtering; samples that are not available stay as read.
  int tb[18], lb[10], pred[64];
  int *t = tb + 1, *l = lb + 1;
  for (int i = 0; i < 16; ++i) t[i + 1] = rt[i];
  for (int i = 0; i < 8; ++i) l[i + 1] = rl[i];
  if (top) {
    t[1] = corner ? (rc + 2 * rt[0] + rt[1] + 2) >> 2 : (3 * rt[0] + rt[1] + 2) >> 2;
    for (int x = 1; x < 15; ++x) t[x + 1] = (rt[x - 1] + 2 * rt[x] + rt[x + 1] + 2) >> 2;
    t[16] = (rt[14] + 3 * rt[15] + 2) >> 2;
  }
  int c = rc;
  if (corner) {
    if (top && left)
      c = (rt[0] + 2 * rc + rl[0] + 2) >> 2;
    else if (top)
      c = (3 * rc + rt[0] + 2) >> 2;
    else if (left)
      c = (3 * rc + rl[0] + 2) >> 2;
  }
  if (left) {
    l[1] = corner ? (rc + 2 * rl[0] + rl[1] + 2) >> 2 : (3 * rl[0] + rl[1] + 2) >> 2;
    for (int y = 1; y < 7; ++y) l[y + 1] = (rl[y - 1] + 2 * rl[y] + rl[y + 1] + 2) >> 2;
    l[8] = (rl[6] + 3 * rl[7] + 2) >> 2;
  }
  t[0] = l[0] = c;
  if (kMode == 2) {
    int dc = DcValue<8, 3>(t, l, left, top);
    for (int& v : pred) v = dc;
  } else {
    PredictDirectional<8>(kMode, t, l, pred);
  }
  StoreBlock(pred, 8, s + n.pos, residual + n.pos, (cbp >> block) & 1);
}

template <int kMode>
void Intra16x16(uint8_t* s, const int16_t* residual) {
  const uint8_t* top = s + kMbSamplesTop;
  const uint8_t* left = s + kMbSamplesLeft;
  int pred[256];
  switch (kMode) {
    case 0:
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) pred[y * 16 + x] = top[x];
      break;
    case 1:
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) pred[y * 16 + x] = left[y];
      break;
    case 2: {
      bool l = s[kMbSamplesAvailLeft] && s[kMbSamplesAvailLeft + 2];
      bool t = s[kMbSamplesAvailTop] != 0;
      int sum = 0, dc = 128;
      if (l && t) {
        for (int i = 0; i < 16; ++i) sum += top[i] + left[i];
        dc = (sum + 16) >> 5;
      } else if (l) {
        for (int i = 0; i < 16; ++i) sum += left[i];
        dc = (sum + 8) >> 4;
      } else if (t) {
        for (int i = 0; i < 16; ++i) sum += top[i];
        dc = (sum + 8) >> 4;
      }
      for (int& v : pred) v = dc;
      break;
    }
    default: {
      int corner = s[kMbSamplesCorner];
      int h = 0, v = 0;
      for (int i = 0; i < 8; ++i) {
        h += (i + 1) * (top[8 + i] - (6 - i >= 0 ? top[6 - i] : corner));
        v += (i + 1) * (left[8 + i] - (6 - i >= 0 ? left[6 - i] : corner));
      }
      int a = 16 * (left[15] + top[15]);
      int b = (5 * h + 32) >> 6, c = (5 * v + 32) >> 6;
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) pred[y * 16 + x] = Clip1((a + b * (x - 7) + c * (y - 7) + 16) >> 5);
      break;
    }
  }
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      int p = H264MbLumaPos(x, y);
      s[p] = Clip1(static_cast<int16_t>(pred[y * 16 + x] + residual[p]));
    }
}

// One chroma plane: blk points at the 8x8 block, its left column at +64, top
// row at +72 and corner at +80.
template <int kMode>
void IntraChromaPlane(const uint8_t* s, uint8_t* blk, const int16_t* res, bool coded) {
  const uint8_t* left = blk + 64;
  const uint8_t* top = blk + 72;
  int corner = blk[80];
  int pred[64];
  switch (kMode) {
    case 0: {
      bool t = s[kMbSamplesAvailTop] != 0;
      for (int by = 0; by < 2; ++by)
        for (int bx = 0; bx < 2; ++bx) {
          bool l = s[kMbSamplesAvailLeft + 2 * by] != 0;
          int st = 0, sl = 0;
          for (int i = 0; i < 4; ++i) {
            st += top[4 * bx + i];
            sl += left[4 * by + i];
          }
          int dc = 128;
          if (bx == by) {  // top-left and bottom-right: both sides
            if (l && t)
              dc = (st + sl + 4) >> 3;
            else if (l)
              dc = (sl + 2) >> 2;
            else if (t)
              dc = (st + 2) >> 2;
          } else if (bx == 1) {  // top-right prefers the top row
            if (t)
              dc = (st + 2) >> 2;
            else if (l)
              dc = (sl + 2) >> 2;
          } else {  // bottom-left prefers the left column
            if (l)
              dc = (sl + 2) >> 2;
            else if (t)
              dc = (st + 2) >> 2;
          }
          for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) pred[(4 * by + y) * 8 + 4 * bx + x] = dc;
        }
      break;
    }
    case 1:
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) pred[y * 8 + x] = left[y];
      break;
    case 2:
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) pred[y * 8 + x] = top[x];
      break;
    default: {
      int h = 0, v = 0;
      for (int i = 0; i < 4; ++i) {
        h += (i + 1) * (top[4 + i] - (2 - i >= 0 ? top[2 - i] : corner));
        v += (i + 1) * (left[4 + i] - (2 - i >= 0 ? left[2 - i] : corner));
      }
      int a = 16 * (left[7] + top[7]);
      int b = (34 * h + 32) >> 6, c = (34 * v + 32) >> 6;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) pred[y * 8 + x] = Clip1((a + b * (x - 3) + c * (y - 3) + 16) >> 5);
      break;
    }
  }
  StoreBlock(pred, 8, blk, res, coded);
}

template <int kMode>
void IntraChroma(uint8_t* s, uint8_t* cb, uint8_t* cr, const int16_t* resCb, const int16_t* resCr,
                 uint32_t chromaCbp) {
  IntraChromaPlane<kMode>(s, cb, resCb, chromaCbp != 0);
  IntraChromaPlane<kMode>(s, cr, resCr, chromaCbp != 0);
}

}  // namespace

const H264Intra4x4Fn H264Intra4x4Kernels[9] = {Intra4x4<0>, Intra4x4<1>, Intra4x4<2>, Intra4x4<3>, Intra4x4<4>,
                                               Intra4x4<5>, Intra4x4<6>, Intra4x4<7>, Intra4x4<8>};
const H264Intra8x8Fn H264Intra8x8Kernels[9] = {Intra8x8<0>, Intra8x8<1>, Intra8x8<2>, Intra8x8<3>, Intra8x8<4>,
                                               Intra8x8<5>, Intra8x8<6>, Intra8x8<7>, Intra8x8<8>};
const H264Intra16x16Fn H264Intra16x16Kernels[4] = {Intra16x16<0>, Intra16x16<1>, Intra16x16<2>, Intra16x16<3>};
const H264IntraChromaFn H264IntraChromaKernels[4] = {IntraChroma<0>, IntraChroma<1>, IntraChroma<2>,
                                                     IntraChroma<3>};
