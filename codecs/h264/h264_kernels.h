// The H.264 kernel table: every sample-level operation of the decoder is
// called through it. Kernels are plain functions without state that touch
// only the memory their arguments name.
#pragma once

#include <cstdint>

struct H264MbInfo;
struct H264MbMotion;
struct H264DecContext;

// Layout of the 512-byte macroblock sample buffer (H264MbSamples).
enum : int {
  kMbSamplesLuma = 0,         // four 8x8 quadrants, rows of 8
  kMbSamplesLeft = 256,       // p[-1, 0..15]
  kMbSamplesTop = 272,        // p[0..15, -1]
  kMbSamplesTopRight = 288,   // p[16..23, -1]
  kMbSamplesCorner = 296,     // p[-1, -1]
  kMbSamplesOne = 298,        // constant 1
  kMbSamplesAvailTopLeft = 301,
  kMbSamplesAvailTop = 302,
  kMbSamplesAvailLeft8x8 = 303,
  kMbSamplesAvailLeft = 304,  // 304..307, one per band of four rows
  kMbSamplesCb = 320,         // 8x8, then left column (+64), top row (+72), corner (+80)
  kMbSamplesCr = 416,
  kMbSamplesSize = 512,
};

// Offset of luma sample (x, y) in the quadrant layout.
constexpr int H264MbLumaPos(int x, int y) { return 64 * (2 * (y >> 3) + (x >> 3)) + 8 * (y & 7) + (x & 7); }

using H264IdctFn = void (*)(const int16_t* coef, int16_t* residual);
using H264EdgeStrengthFn = void (*)(const H264MbMotion* nb, const H264MbMotion* cur, const H264MbInfo* nbInfo,
                                    const H264MbInfo* curInfo, uint8_t* strengths);
using H264ClearInnerStrengthsFn = void (*)(uint8_t* strengths);
using H264InnerStrengthsFromCoeffsFn = void (*)(const uint8_t* nonZero, uint8_t* strengths);
// Transposes an 8x8 block (rows of 8) in place; the pair form two blocks.
using H264Transpose8x8Fn = void (*)(uint8_t* block);
using H264Transpose8x8PairFn = void (*)(uint8_t* a, uint8_t* b);
using H264LumaEdgeFilterFn = void (*)(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta, const uint8_t* tc0);
// Thresholds of an edge: alpha (the same byte four times), beta (low byte)
// and tc0 by bS 0..3.
struct H264EdgeThresholds {
  uint32_t alpha;
  uint32_t beta;
  uint8_t tcByBs[4];
};
using H264LumaEdgeFilterStrongFn = void (*)(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta);
// A chroma edge with bS below 4 in Cb and Cr: an alpha word and a beta per
// plane (alpha byte k for samples 2k and 2k + 1, 0 leaves them), tc0 bytes
// 0..3 for Cb and 4..7 for Cr.
using H264ChromaEdgeFilterFn = void (*)(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb,
                                        uint32_t betaCb, uint32_t alphaCr, uint32_t betaCr, const uint8_t* tc0,
                                        int qPitch);
// A chroma edge of four segments (two samples each) in Cb and Cr with bS
// 0..4 per segment (0 leaves it as it is, 4 filters it with tc0 0).
using H264ChromaEdgeFilterSegmentsFn = void (*)(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr,
                                                const uint8_t* bS, const H264EdgeThresholds* tCb,
                                                const H264EdgeThresholds* tCr, int qPitch);
using H264ChromaEdgeFilterStrongFn = void (*)(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr,
                                              uint32_t alphaCb, uint32_t betaCb, uint32_t alphaCr,
                                              uint32_t betaCr);
using H264ChromaEdgeFilterHalfFn = void (*)(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr,
                                            uint32_t alphaCb, uint32_t betaCb, uint32_t alphaCr, uint32_t betaCr,
                                            const uint8_t* tc0);
using H264ByteShuffleFn = void (*)(uint8_t* a, uint8_t* b);
using H264GatherColumnsFn = void (*)(const uint8_t* upper, const uint8_t* lower, uint8_t* out, int pitch);
using H264ScatterColumnsFn = void (*)(uint8_t* upper, uint8_t* lower, const uint8_t* in, int pitch);
using H264GatherRows2Fn = void (*)(uint8_t* out, const uint8_t* src, int pitch);
using H264CopyRow8Fn = void (*)(const uint8_t* src, uint8_t* dst);
using H264GatherTopRowsFn = void (*)(uint8_t* left, uint8_t* right, const uint8_t* src, int pitch);
using H264ScatterTopRowsFn = void (*)(const uint8_t* left, const uint8_t* right, uint8_t* dst, int pitch);
using H264StoreMbLumaFn = void (*)(uint8_t* dst, const uint8_t* samples, int pitch);
using H264StoreMbChromaFn = void (*)(uint8_t* dstCb, uint8_t* dstCr, const uint8_t* cb, const uint8_t* cr,
                                     int pitch);
using H264DeinterlaceRowFn = void (*)(uint8_t* counters, const uint8_t* prev, const uint8_t* src, uint8_t* dst,
                                      int stride);
using H264Intra4x4Fn = void (*)(int block, uint8_t* samples, const int16_t* residual, uint32_t cbp);
using H264Intra8x8Fn = void (*)(int block, uint8_t* samples, const int16_t* residual, uint32_t cbp);
using H264Intra16x16Fn = void (*)(uint8_t* samples, const int16_t* residual);
using H264IntraChromaFn = void (*)(uint8_t* samples, uint8_t* cb, uint8_t* cr, const int16_t* resCb,
                                   const int16_t* resCr, uint32_t chromaCbp);

// One prediction call: where the reference samples are (set by the reference
// fetch) and where the predicted block goes. Luma sources point at the top-left
// of the interpolation window: two columns left of the block when the vector
// has a horizontal fraction, two rows above when it has a vertical one.
// Destinations have rows of 8 bytes.
struct H264McArgs {
  const uint8_t* lumaSrc;
  const uint8_t* cbSrc;
  const uint8_t* crSrc;
  int32_t lumaStride;
  int32_t chromaStride;
  int16_t mvx;  // quarter luma samples
  int16_t mvy;
  int32_t refStructure;  // 1 top field, 2 bottom field, 3 frame
  int32_t refBuffer;
  int32_t lumaGeometry;
  int32_t chromaGeometry;
  int16_t chromaFracX;  // eighth samples, 0..7
  int16_t chromaFracY;
  uint8_t* lumaDst;
  uint8_t* cbDst;
  uint8_t* crDst;
};

using H264McFn = void (*)(const H264McArgs* args);

// Finishing one 8x8 quadrant of an inter macroblock: the list-0 prediction is
// already in the target blocks, list 1 (when used) in the caller's area.
struct H264ReconArgs {
  uint8_t* luma;          // quadrant in the sample buffer, rows of 8
  const uint8_t* lumaL1;  // 8x8, rows of 8
  uint8_t* cb;            // 4x4 block, rows of 8
  const uint8_t* cbL1;
  uint8_t* cr;
  const uint8_t* crL1;
  int32_t quadrant;
  int32_t fieldMb;
};

using H264ReconFn = void (*)(const H264ReconArgs* args, const H264DecContext* ctx);

// 39 slots in this order; slots 27 to 36 point at constant tables of kernels.
struct H264DecKernelTable {
  H264IdctFn idct4x4;                                    // 0
  H264IdctFn idct8x8;                                    // 1
  H264EdgeStrengthFn edgeStrengthLeft;                   // 2
  H264EdgeStrengthFn edgeStrengthTop;                    // 3
  H264ClearInnerStrengthsFn clearInnerStrengths;         // 4
  H264InnerStrengthsFromCoeffsFn innerStrengthsFromCoeffs;  // 5
  H264Transpose8x8Fn transpose8x8;                       // 6
  H264LumaEdgeFilterFn lumaEdgeFilter;                   // 7
  H264LumaEdgeFilterFn lumaEdgeFilterWideQ;              // 8
  H264LumaEdgeFilterStrongFn lumaEdgeFilterStrong;       // 9
  H264ChromaEdgeFilterFn chromaEdgeFilter;               // 10
  H264ChromaEdgeFilterStrongFn chromaEdgeFilterStrong;   // 11
  H264ChromaEdgeFilterHalfFn chromaEdgeFilterHalf;       // 12
  H264ChromaEdgeFilterStrongFn chromaEdgeFilterStrongHalf;  // 13
  H264ByteShuffleFn splitFieldBytes4Rows;                // 14
  H264ByteShuffleFn interleaveFieldRows;                 // 15
  H264ByteShuffleFn splitFieldBytes;                     // 16
  H264ByteShuffleFn interleaveBytes4;                    // 17
  H264GatherColumnsFn gatherLeftColumns;                 // 18
  H264ScatterColumnsFn scatterLeftColumns;               // 19
  H264GatherRows2Fn gatherRows2;                         // 20
  H264CopyRow8Fn copyRow8;                               // 21
  H264GatherTopRowsFn gatherTopRows;                     // 22
  H264ScatterTopRowsFn scatterTopRows;                   // 23
  H264StoreMbLumaFn storeMbLuma;                         // 24
  H264StoreMbChromaFn storeMbChroma;                     // 25
  H264DeinterlaceRowFn deinterlaceRow;                   // 26
  const H264Intra4x4Fn* intra4x4;                        // 27: 9 by Intra4x4PredMode
  const H264Intra8x8Fn* intra8x8;                        // 28: 9 by Intra8x8PredMode
  const H264Intra16x16Fn* intra16x16;                    // 29: 4 by Intra16x16PredMode
  const H264IntraChromaFn* intraChroma;                  // 30: 4 by intra_chroma_pred_mode
  const H264McFn* lumaMc4x4;                             // 31: 16 by xFrac * 4 + yFrac
  const H264McFn* lumaMc4x8;                             // 32
  const H264McFn* lumaMc8x16;                            // 33: rows 8..15 go 128 bytes on
  const H264McFn* chromaMc4x2;                           // 34: 4 by (xFrac != 0) + 2 (yFrac != 0)
  const H264McFn* chromaMc8x4;                           // 35
  const H264ReconFn* reconKernels;                       // 36: 12 by 4 * wpMode + lists used
  H264Transpose8x8PairFn transpose8x8Pair;               // 37
  H264ChromaEdgeFilterSegmentsFn chromaEdgeFilterSegments;  // 38
};
static_assert(sizeof(H264DecKernelTable) == 39 * sizeof(void*), "the kernel table has 39 slots");

// Fills the table with the plain kernels.
void H264InstallKernels(H264DecKernelTable* table);

// Plain kernels (reference versions).
void H264Idct4x4(const int16_t* coef, int16_t* residual);
void H264Idct8x8(const int16_t* coef, int16_t* residual);
// Strengths of the left and top macroblock edge of an inter macroblock (four
// bytes at strengths); the vertical vector limit follows the current
// macroblock's picture structure.
void H264EdgeStrengthLeft(const H264MbMotion* nb, const H264MbMotion* cur, const H264MbInfo* nbInfo,
                          const H264MbInfo* curInfo, uint8_t* strengths);
void H264EdgeStrengthTop(const H264MbMotion* nb, const H264MbMotion* cur, const H264MbInfo* nbInfo,
                         const H264MbInfo* curInfo, uint8_t* strengths);
void H264ClearInnerStrengths(uint8_t* strengths);
void H264InnerStrengthsFromCoeffs(const uint8_t* nonZero, uint8_t* strengths);
void H264Transpose8x8(uint8_t* block);
void H264Transpose8x8Pair(uint8_t* a, uint8_t* b);
void H264LumaEdgeFilter(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta, const uint8_t* tc0);
void H264LumaEdgeFilterWideQ(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta, const uint8_t* tc0);
void H264LumaEdgeFilterStrong(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta);
void H264ChromaEdgeFilter(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb, uint32_t betaCb,
                          uint32_t alphaCr, uint32_t betaCr, const uint8_t* tc0, int qPitch);
void H264ChromaEdgeFilterSegments(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, const uint8_t* bS,
                                  const H264EdgeThresholds* tCb, const H264EdgeThresholds* tCr, int qPitch);
// The alpha word (alpha in the bytes of segments with bS > 0) and the tc0
// bytes of four segments.
void H264EdgeLanes(const uint8_t* bS, const H264EdgeThresholds* t, uint32_t* alpha, uint8_t* tc0);
// The chroma filter by strengths through a filter by lanes.
template <H264ChromaEdgeFilterFn Filter>
void H264ChromaEdgeBySegments(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, const uint8_t* bS,
                              const H264EdgeThresholds* tCb, const H264EdgeThresholds* tCr, int qPitch) {
  uint32_t alphaCb, alphaCr;
  uint8_t tc0[8];
  H264EdgeLanes(bS, tCb, &alphaCb, tc0);
  H264EdgeLanes(bS, tCr, &alphaCr, tc0 + 4);
  Filter(pCb, qCb, pCr, qCr, alphaCb, tCb->beta, alphaCr, tCr->beta, tc0, qPitch);
}
void H264ChromaEdgeFilterStrong(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb,
                                uint32_t betaCb, uint32_t alphaCr, uint32_t betaCr);
void H264ChromaEdgeFilterHalf(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb,
                              uint32_t betaCb, uint32_t alphaCr, uint32_t betaCr, const uint8_t* tc0);
void H264ChromaEdgeFilterStrongHalf(uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr, uint32_t alphaCb,
                                    uint32_t betaCb, uint32_t alphaCr, uint32_t betaCr);
void H264SplitFieldBytes4Rows(uint8_t* out, uint8_t* in);
void H264InterleaveFieldRows(uint8_t* in, uint8_t* out);
void H264SplitFieldBytes(uint8_t* out, uint8_t* in);
void H264InterleaveBytes4(uint8_t* in, uint8_t* out);
void H264GatherLeftColumns(const uint8_t* upper, const uint8_t* lower, uint8_t* out, int pitch);
void H264ScatterLeftColumns(uint8_t* upper, uint8_t* lower, const uint8_t* in, int pitch);
void H264GatherRows2(uint8_t* out, const uint8_t* src, int pitch);
void H264CopyRow8(const uint8_t* src, uint8_t* dst);
void H264GatherTopRows(uint8_t* left, uint8_t* right, const uint8_t* src, int pitch);
void H264ScatterTopRows(const uint8_t* left, const uint8_t* right, uint8_t* dst, int pitch);
void H264StoreMbLuma(uint8_t* dst, const uint8_t* samples, int pitch);
void H264StoreMbChroma(uint8_t* dstCb, uint8_t* dstCr, const uint8_t* cb, const uint8_t* cr, int pitch);
// Output line pair k of the deinterlacer: line 2k copied from the source,
// line 2k + 1 rebuilt; counters, prev, src and dst point at line (pair) k.
void H264DecDeinterlaceRow(uint8_t* counters, const uint8_t* prev, const uint8_t* src, uint8_t* dst, int stride);

extern const H264Intra4x4Fn H264Intra4x4Kernels[9];
extern const H264Intra8x8Fn H264Intra8x8Kernels[9];
extern const H264Intra16x16Fn H264Intra16x16Kernels[4];
extern const H264IntraChromaFn H264IntraChromaKernels[4];
extern const H264McFn H264LumaMc4x4Kernels[16];
extern const H264McFn H264LumaMc4x8Kernels[16];
extern const H264McFn H264LumaMc8x16Kernels[16];
extern const H264McFn H264ChromaMc4x2Kernels[4];
extern const H264McFn H264ChromaMc8x4Kernels[4];
extern const H264McFn H264Chroma2x2Kernels[4];  // the 2x2 chroma blocks of 4-wide partitions (not a slot)
extern const H264ReconFn H264ReconKernels[12];
