// Deblocking kernels: boundary strengths from coded flags, the luma and
// chroma edge filters (on horizontal edges between rows of 8), the 8x8
// transpose and the block moves between the picture and the sample buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/h264_kernels.h"

namespace {

inline uint8_t Clip1(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }
inline int Clip3(int lo, int hi, int v) { return v < lo ? lo : v > hi ? hi : v; }
inline int Lane(uint32_t word, int sample) { return static_cast<int>((word >> (8 * (sample >> 1))) & 0xFF); }

// Normal luma filter on sample column i; q rows are qPitch apart.
inline void LumaNormal(uint8_t* p, uint8_t* q, int qPitch, int i, int alpha, int beta, int tc0) {
  int p0 = p[24 + i], p1 = p[16 + i], p2 = p[8 + i];
  int q0 = q[i], q1 = q[qPitch + i], q2 = q[2 * qPitch + i];
  if (!(std::abs(p0 - q0) < alpha && std::abs(p1 - p0) < beta && std::abs(q1 - q0) < beta)) return;
  int ap = std::abs(p2 - p0), aq = std::abs(q2 - q0);
  int tc = tc0 + (ap < beta) + (aq < beta);
  int delta = Clip3(-tc, tc, (((q0 - p0) << 2) + (p1 - q1) + 4) >> 3);
  p[24 + i] = Clip1(p0 + delta);
  q[i] = Clip1(q0 - delta);
  if (ap < beta) p[16 + i] = static_cast<uint8_t>(p1 + Clip3(-tc0, tc0, (p2 + ((p0 + q0 + 1) >> 1) - (p1 << 1)) >> 1));
  if (aq < beta)
    q[qPitch + i] = static_cast<uint8_t>(q1 + Clip3(-tc0, tc0, (q2 + ((p0 + q0 + 1) >> 1) - (q1 << 1)) >> 1));
}

inline void LumaFilterRows(uint8_t* p, uint8_t* q, int qPitch, uint32_t alpha, uint32_t beta, const uint8_t* tc0) {
  for (int i = 0; i < 8; ++i) {
    int a = Lane(alpha, i);
    if (a) LumaNormal(p, q, qPitch, i, a, static_cast<int>(beta & 0xFF), tc0[i >> 1]);
  }
}

// Chroma filters on one plane: p rows p1 (0), p0 (8); q rows q0 (0), q1 (qPitch).
void ChromaNormalPlane(uint8_t* p, uint8_t* q, int qPitch, int n, uint32_t alpha, int beta, const uint8_t* tc0) {
  for (int i = 0; i < n; ++i) {
    int a = Lane(alpha, i * 8 / n);
    if (!a) continue;
    int p0 = p[8 + i], p1 = p[i], q0 = q[i], q1 = q[qPitch + i];
    if (!(std::abs(p0 - q0) < a && std::abs(p1 - p0) < beta && std::abs(q1 - q0) < beta)) continue;
    int tc = tc0[(i * 8 / n) >> 1] + 1;
    int delta = Clip3(-tc, tc, (((q0 - p0) << 2) + (p1 - q1) + 4) >> 3);
    p[8 + i] = Clip1(p0 + delta);
    q[i] = Clip1(q0 - delta);
  }
}

void ChromaStrongPlane(uint8_t* p, uint8_t* q, int n, uint32_t alpha, int beta) {
  for (int i = 0; i < n; ++i) {
    int a = Lane(alpha, i * 8 / n);
    if (!a) continue;
    int p0 = p[8 + i], p1 = p[i], q0 = q[i], q1 = q[8 + i];
    if (!(std::abs(p0 - q0) < a && std::abs(p1 - p0) < beta && std::abs(q1 - q0) < beta)) continue;
    p[8 + i] = static_cast<uint8_t>((2 * p1 + p0 + q1 + 2) >> 2);
    q[i] = static_cast<uint8_t>((2 * q1 + q0 + p1 + 2) >> 2);
  }
}

}  // namespace

void H264ClearInnerStrengths(uint8_t* strengths) { std::memset(strengths + 16, 0, 24); }

void H264InnerStrengthsFromCoeffs(const uint8_t* nonZero, uint8_t* strengths) {
  // nonZero is in 4x4 block index order; blk(x, y) maps raster 4x4 positions.
  static const uint8_t kBlk[4][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};
  for (int e = 1; e < 4; ++e)
    for (int k = 0; k < 4; ++k) {
      // vertical edge x = 4e, segment k (row k); horizontal edge y = 4e, segment k (column k)
      strengths[16 + 4 * (e - 1) + k] = (nonZero[kBlk[k][e - 1]] || nonZero[kBlk[k][e]]) ? 2 : 0;
      strengths[28 + 4 * (e - 1) + k] = (nonZero[kBlk[e - 1][k]] || nonZero[kBlk[e][k]]) ? 2 : 0;
    }
}

void H264Transpose8x8(uint8_t* block) {
  for (int y = 0; y < 8; ++y)
    for (int x = y + 1; x < 8; ++x) {
      uint8_t t = block[y * 8 + x];
      block[y * 8 + x] = block[x * 8 + y];
      block[x * 8 + y] = t;
    }
}

void H264Transpose8x8Pair(uint8_t* a, uint8_t* b) {
  H264Transpose8x8(a);
  H264Transpose8x8(b);
}

void H264LumaEdgeFilter(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta, const uint8_t* tc0) {
  LumaFilterRows(p, q, 8, alpha, beta, tc0);
}

void H264LumaEdgeFilterWideQ(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta, const uint8_t* tc0) {
  LumaFilterRows(p, q, 16, alpha, beta, tc0);
}

void H264EdgeLanes(const uint8_t* bS, const H264EdgeThresholds* t, uint32_t* alpha, uint8_t* tc0) {
  *alpha = 0;
  for (int k = 0; k < 4; ++k) {
    if (bS[k]) *alpha |= (t->alpha & 0xFF) << (8 * k);
    tc0[k] = bS[k] < 4 ? t->tcByBs[bS[k]] : 0;
  }
}

void H264LumaEdgeFilterStrong(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta) {
  int b = static_cast<int>(beta & 0xFF);
  for (int i = 0; i < 8; ++i) {
    int a = Lane(alpha, i);
    if (!a) continue;
    int p0 = p[24 + i], p1 = p[16 + i], p2 = p[8 + i], p3 = p[i];
    int q0 = q[i], q1 = q[8 + i], q2 = q[16 + i], q3 = q[24 + i];
    if (!(std::abs(p0 - q0) < a && std::abs(p1 - p0) < b && std::abs(q1 - q0) < b)) continue;
    bool small = std::abs(p0 - q0) < ((a >> 2) + 2);
    if (std::abs(p2 - p0) < b && small) {
      p[24 + i] = static_cast<uint8_t>((p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3);
      p[16 + i] = static_cast<uint8_t>((p2 + p1 + p0 + q0 + 2) >> 2);
      p[8 + i] = static_cast<uint8_t>((2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3);
    } else {
      p[24 + i] = static_cast<uint8_t>((2 * p1 + p0 + q1 + 2) >> 2);
    }
    if (std::abs(q2 - q0) < b && small) {
      q[i] = static_cast<uint8_t>((p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3);
      q[8 + i] = static_cast<uint8_t>((p0 + q0 + q1 + q2 + 2) >> 2);
      q[16 + i] = static_cast<uint8_t>((2 * q3 + 3 * q2 + q1 + q0 + p0 + 4) >> 3);
    } else {
      q[i] = static_cast<uint8_t>((2 * q1 + q0 + p1 + 2) >> 2);
    }
  }
}

void H264ChromaEdgeFilter(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb, uint32_t betaCb,
                          uint32_t alphaCr, uint32_t betaCr, const uint8_t* tc0, int qPitch) {
  ChromaNormalPlane(pCb, qCb, qPitch, 8, alphaCb, static_cast<int>(betaCb & 0xFF), tc0);
  ChromaNormalPlane(pCr, qCr, qPitch, 8, alphaCr, static_cast<int>(betaCr & 0xFF), tc0 + 4);
}

void H264ChromaEdgeFilterSegments(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, const uint8_t* bS,
                                  const H264EdgeThresholds* tCb, const H264EdgeThresholds* tCr, int qPitch) {
  H264ChromaEdgeBySegments<H264ChromaEdgeFilter>(pCb, qCb, pCr, qCr, bS, tCb, tCr, qPitch);
}

void H264ChromaEdgeFilterStrong(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb,
                                uint32_t betaCb, uint32_t alphaCr, uint32_t betaCr) {
  ChromaStrongPlane(pCb, qCb, 8, alphaCb, static_cast<int>(betaCb & 0xFF));
  ChromaStrongPlane(pCr, qCr, 8, alphaCr, static_cast<int>(betaCr & 0xFF));
}

void H264ChromaEdgeFilterHalf(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb,
                              uint32_t betaCb, uint32_t alphaCr, uint32_t betaCr, const uint8_t* tc0) {
  ChromaNormalPlane(pCb, qCb, 8, 4, alphaCb, static_cast<int>(betaCb & 0xFF), tc0);
  ChromaNormalPlane(pCr, qCr, 8, 4, alphaCr, static_cast<int>(betaCr & 0xFF), tc0 + 4);
}

void H264ChromaEdgeFilterStrongHalf(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb,
                                    uint32_t betaCb, uint32_t alphaCr, uint32_t betaCr) {
  ChromaStrongPlane(pCb, qCb, 4, alphaCb, static_cast<int>(betaCb & 0xFF));
  ChromaStrongPlane(pCr, qCr, 4, alphaCr, static_cast<int>(betaCr & 0xFF));
}

void H264SplitFieldBytes4Rows(uint8_t* out, uint8_t* in) {
  static const int kRows[4] = {0, 16, 128, 144};
  for (int r = 0; r < 4; ++r)
    for (int i = 0; i < 8; ++i) {
      out[kRows[r] + i] = in[kRows[r] + 2 * i];
      out[kRows[r] + 8 + i] = in[kRows[r] + 2 * i + 1];
    }
}

void H264InterleaveFieldRows(uint8_t* in, uint8_t* out) {
  for (int r = 0; r < 3; ++r)
    for (int i = 0; i < 8; ++i) {
      uint8_t a = in[8 * r + i], b = in[8 * (r + 4) + i];
      uint8_t* dst = i < 4 ? out + 16 * r + 2 * i : out + 128 + 16 * r + 2 * (i - 4);
      dst[0] = a;
      dst[1] = b;
    }
}

void H264SplitFieldBytes(uint8_t* out, uint8_t* in) {
  uint8_t tmp[16];
  for (int g = 0; g < 2; ++g)
    for (int i = 0; i < 4; ++i) {
      tmp[8 * g + i] = in[8 * g + 2 * i];
      tmp[8 * g + 4 + i] = in[8 * g + 2 * i + 1];
    }
  std::memcpy(out, tmp, 16);
}

void H264InterleaveBytes4(uint8_t* in, uint8_t* out) {
  uint8_t tmp[8];
  for (int i = 0; i < 4; ++i) {
    tmp[2 * i] = in[i];
    tmp[2 * i + 1] = in[4 + i];
  }
  std::memcpy(out, tmp, 8);
}

void H264GatherLeftColumns(const uint8_t* upper, const uint8_t* lower, uint8_t* out, int pitch) {
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 8; ++r) {
      out[8 * c + r] = upper[r * pitch + c];
      out[32 + 8 * c + r] = lower[r * pitch + c];
    }
}

void H264ScatterLeftColumns(uint8_t* upper, uint8_t* lower, const uint8_t* in, int pitch) {
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 8; ++r) {
      upper[r * pitch + c] = in[8 * c + r];
      lower[r * pitch + c] = in[32 + 8 * c + r];
    }
}

void H264GatherRows2(uint8_t* out, const uint8_t* src, int pitch) {
  std::memcpy(out, src, 8);
  std::memcpy(out + 8, src + pitch, 8);
}

void H264CopyRow8(const uint8_t* src, uint8_t* dst) { std::memcpy(dst, src, 8); }

void H264GatherTopRows(uint8_t* left, uint8_t* right, const uint8_t* src, int pitch) {
  for (int r = 0; r < 4; ++r) {
    std::memcpy(left + 8 * r, src + r * pitch, 8);
    std::memcpy(right + 8 * r, src + r * pitch + 8, 8);
  }
}

void H264ScatterTopRows(const uint8_t* left, const uint8_t* right, uint8_t* dst, int pitch) {
  for (int r = 0; r < 4; ++r) {
    std::memcpy(dst + r * pitch, left + 8 * r, 8);
    std::memcpy(dst + r * pitch + 8, right + 8 * r, 8);
  }
}

void H264StoreMbLuma(uint8_t* dst, const uint8_t* samples, int pitch) {
  for (int y = 0; y < 16; ++y) {
    const uint8_t* row = samples + 64 * 2 * (y >> 3) + 8 * (y & 7);
    std::memcpy(dst + y * pitch, row, 8);
    std::memcpy(dst + y * pitch + 8, row + 64, 8);
  }
}

void H264StoreMbChroma(uint8_t* dstCb, uint8_t* dstCr, const uint8_t* cb, const uint8_t* cr, int pitch) {
  for (int y = 0; y < 8; ++y) {
    std::memcpy(dstCb + y * pitch, cb + 8 * y, 8);
    std::memcpy(dstCr + y * pitch, cr + 8 * y, 8);
  }
}

void H264InstallKernels(H264DecKernelTable* t) {
  *t = H264DecKernelTable{};
  t->idct4x4 = H264Idct4x4;
  t->idct8x8 = H264Idct8x8;
  t->edgeStrengthLeft = H264EdgeStrengthLeft;
  t->edgeStrengthTop = H264EdgeStrengthTop;
  t->clearInnerStrengths = H264ClearInnerStrengths;
  t->innerStrengthsFromCoeffs = H264InnerStrengthsFromCoeffs;
  t->transpose8x8 = H264Transpose8x8;
  t->lumaEdgeFilter = H264LumaEdgeFilter;
  t->lumaEdgeFilterWideQ = H264LumaEdgeFilterWideQ;
  t->lumaEdgeFilterStrong = H264LumaEdgeFilterStrong;
  t->chromaEdgeFilter = H264ChromaEdgeFilter;
  t->chromaEdgeFilterStrong = H264ChromaEdgeFilterStrong;
  t->chromaEdgeFilterHalf = H264ChromaEdgeFilterHalf;
  t->chromaEdgeFilterStrongHalf = H264ChromaEdgeFilterStrongHalf;
  t->splitFieldBytes4Rows = H264SplitFieldBytes4Rows;
  t->interleaveFieldRows = H264InterleaveFieldRows;
  t->splitFieldBytes = H264SplitFieldBytes;
  t->interleaveBytes4 = H264InterleaveBytes4;
  t->gatherLeftColumns = H264GatherLeftColumns;
  t->scatterLeftColumns = H264ScatterLeftColumns;
  t->gatherRows2 = H264GatherRows2;
  t->copyRow8 = H264CopyRow8;
  t->gatherTopRows = H264GatherTopRows;
  t->scatterTopRows = H264ScatterTopRows;
  t->storeMbLuma = H264StoreMbLuma;
  t->storeMbChroma = H264StoreMbChroma;
  t->deinterlaceRow = H264DecDeinterlaceRow;
  t->intra4x4 = H264Intra4x4Kernels;
  t->intra8x8 = H264Intra8x8Kernels;
  t->intra16x16 = H264Intra16x16Kernels;
  t->intraChroma = H264IntraChromaKernels;
  t->lumaMc4x4 = H264LumaMc4x4Kernels;
  t->lumaMc4x8 = H264LumaMc4x8Kernels;
  t->lumaMc8x16 = H264LumaMc8x16Kernels;
  t->chromaMc4x2 = H264ChromaMc4x2Kernels;
  t->chromaMc8x4 = H264ChromaMc8x4Kernels;
  t->reconKernels = H264ReconKernels;
  t->transpose8x8Pair = H264Transpose8x8Pair;
  t->chromaEdgeFilterSegments = H264ChromaEdgeFilterSegments;
}
