// Inside the inter macroblock code: neighbour motion, vector prediction,
// motion storage, motion compensation of one partition and the per-quadrant
// finish, shared by the inter and direct prediction units.
#pragma once

#include <cstdint>

#include "codecs/h264/h264_internal.h"

// Motion of one neighbouring 4x4 block for both lists. An intra or
// unavailable neighbour has reference indexes -1 and zero vectors.
struct H264NbMotion {
  int8_t ref[2];
  uint8_t available;
  uint8_t pad;
  int16_t mv[2][2];
};

// Neighbours A, B and C of a partition; C is D when C cannot be used.
struct H264NbMotionCache {
  H264NbMotion a, b, c;
};

// 4x4 block index (luma4x4BlkIdx) at column x, row y of the macroblock, in
// 4x4 units.
constexpr uint8_t kH264BlkAt[4][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};
constexpr uint8_t kH264BlkX[16] = {0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3};
constexpr uint8_t kH264BlkY[16] = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};

// B sub_mb_type 0..12: the lists it predicts from (bit 0 list 0, bit 1 list
// 1; 0 for direct) and its sub-partition shape (0 8x8, 1 8x4, 2 4x8, 3 4x4).
constexpr uint8_t kH264BSubLists[13] = {0, 1, 2, 3, 1, 1, 2, 2, 3, 3, 1, 2, 3};
constexpr uint8_t kH264BSubShape[13] = {0, 0, 0, 0, 1, 2, 1, 2, 1, 2, 3, 3, 3};

// Sub-partitions of an 8x8 block by shape (P sub_mb_type is the shape):
// x, y, width, height in 4x4 units.
constexpr uint8_t kH264SubParts[4][4][4] = {{{0, 0, 2, 2}},
                                           {{0, 0, 2, 1}, {0, 1, 2, 1}},
                                           {{0, 0, 1, 2}, {1, 0, 1, 2}},
                                           {{0, 0, 1, 1}, {1, 0, 1, 1}, {0, 1, 1, 1}, {1, 1, 1, 1}}};
constexpr int kH264SubCount[4] = {1, 2, 2, 4};

// Lists of the two partitions of the B 16x8 and 8x16 types 4..21, by
// (type - 4) / 2.
constexpr uint8_t kH264BPartLists[9][2] = {{1, 1}, {2, 2}, {1, 2}, {2, 1}, {1, 3}, {2, 3}, {3, 1}, {3, 2}, {3, 3}};

// Prediction of one macroblock: list-1 samples (luma in the quadrant layout,
// then Cb and Cr with rows of 8) and the lists each quadrant used.
struct alignas(16) H264InterPred {
  uint8_t l1[384];
  uint8_t lists[4];
};

// Neighbours of the partition at (x, y), w wide, in 4x4 units.
void H264LoadNeighbourMotion(const H264DecContext* ctx, int x, int y, int w, H264NbMotionCache* nb);

// Median prediction (clause 8.4.1.3.1) of list `list` for reference index ref.
void H264MvPred(const H264NbMotionCache& nb, int list, int ref, int16_t* mv);

// Records reference index `ref` of `list` (with its picture) for the 8x8
// blocks the partition covers and `mv` for its 4x4 blocks; ref < 0 clears.
void H264StoreMotion(H264DecContext* ctx, int list, int x, int y, int w, int h, int ref, const int16_t* mv);

// Both lists of the partition at once: ref[l] < 0 clears list l (mv[l] is
// then not read).
void H264StoreMotionPair(H264DecContext* ctx, int x, int y, int w, int h, const int8_t* ref, const int16_t (*mv)[2]);

// Predicts the partition at (x, y), w x h in 4x4 units, from reference ref of
// `list` with vector mv, into the sample buffer (list 0) or pred.l1 (list 1).
void H264McPartition(H264DecContext* ctx, int list, int ref, const int16_t* mv, int x, int y, int w, int h,
                     H264InterPred* pred);

// Motion compensation of the partition at (px, py), pw x ph in samples,
// through the table's kernels block by block (luma fraction index li, chroma
// index ci; chroma2x2 the 2x2 chroma kernels): luma into lumaBase in the
// quadrant layout, chroma into the 8x8 blocks at cbBase and crBase. Changes
// the pointers in `a`.
void H264McByBlocks(const H264DecKernelTable& k, const H264McFn* chroma2x2, H264McArgs* a, uint8_t* lumaBase,
                    uint8_t* cbBase, uint8_t* crBase, int px, int py, int pw, int ph, int li, int ci);

// Runs the quadrant kernels of the slice's weighting mode.
void H264FinishQuadrants(H264DecContext* ctx, const H264InterPred& pred);

// B_8x8 with direct blocks: prepares the direct derivation for the
// macroblock; then predicts direct block b8.
struct H264DirectState {
  int8_t ref[2];
  bool directZero;
  int16_t mvp[2][2];
};
void H264DirectPrepare(H264DecContext* ctx, H264DirectState* st);
void H264DirectBlock(H264DecContext* ctx, const H264DirectState& st, int b8, H264InterPred* pred);
