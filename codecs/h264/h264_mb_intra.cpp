// Intra macroblocks: boundary strengths, neighbour samples and availability
// into the sample buffer, prediction modes, and the predict-and-add kernels;
// I_PCM macroblocks.
#include <cstring>

#include "codecs/h264/h264_bitreader.h"
#include "codecs/h264/h264_internal.h"

namespace {

// Neighbours of each 4x4 block: macroblock slot (current or A/B) and block.
struct BlockNeighbour {
  uint8_t slotA, blkA, slotB, blkB;
};

constexpr int kBlkX[16] = {0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3};
constexpr int kBlkY[16] = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};
constexpr uint8_t kBlkAt[4][4] = {{0, 1, 4, 5}, {2, 3, 6, 7}, {8, 9, 12, 13}, {10, 11, 14, 15}};

constexpr BlockNeighbour MakeNeighbour(int b) {
  int x = kBlkX[b], y = kBlkY[b];
  BlockNeighbour n{};
  n.slotA = x > 0 ? kH264NbCurrent : kH264NbLeft;
  n.blkA = x > 0 ? kBlkAt[y][x - 1] : kBlkAt[y][3];
  n.slotB = y > 0 ? kH264NbCurrent : kH264NbTop;
  n.blkB = y > 0 ? kBlkAt[y - 1][x] : kBlkAt[3][x];
  return n;
}

constexpr BlockNeighbour kNeighbours[16] = {
    MakeNeighbour(0),  MakeNeighbour(1),  MakeNeighbour(2),  MakeNeighbour(3),  MakeNeighbour(4),  MakeNeighbour(5),
    MakeNeighbour(6),  MakeNeighbour(7),  MakeNeighbour(8),  MakeNeighbour(9),  MakeNeighbour(10), MakeNeighbour(11),
    MakeNeighbour(12), MakeNeighbour(13), MakeNeighbour(14), MakeNeighbour(15)};

void SetIntraStrengths(H264DecContext* ctx, bool transform8x8) {
  const H264SliceHeader& s = ctx->slice;
  if (s.disable_deblocking_filter_idc == 1) return;
  H264MbWork& w = ctx->mb;
  uint8_t left = 4, top = static_cast<uint8_t>(4 - s.field_pic_flag);
  if (w.mbX == 0 || (s.disable_deblocking_filter_idc == 2 && !ctx->nbInfo[kH264NbLeft]->available)) left = 0;
  if (w.mbY == 0 || (s.disable_deblocking_filter_idc == 2 && !ctx->nbInfo[kH264NbTop]->available)) top = 0;
  std::memset(w.edgeStrength, left, 4);
  std::memset(w.edgeStrength + 8, top, 4);
  if (transform8x8) {
    std::memset(w.edgeStrength + 16, 0, 24);
    std::memset(w.edgeStrength + 20, 3, 4);
    std::memset(w.edgeStrength + 32, 3, 4);
  } else {
    std::memset(w.edgeStrength + 16, 3, 24);
  }
}

struct IntraAvail {
  bool left, top, topRight, topLeft;
};

// Availability for intra prediction: in the slice and, with constrained
// intra prediction, intra coded.
IntraAvail NeighbourAvail(const H264DecContext* ctx) {
  bool cip = ctx->activePps.constrained_intra_pred_flag != 0;
  auto avail = [&](int slot) {
    return ctx->nbInfo[slot]->available && (!cip || ctx->nbMotion[slot]->mbType > 22);
  };
  return {avail(kH264NbLeft), avail(kH264NbTop), avail(kH264NbTopRight), avail(kH264NbTopLeft)};
}

void FillNeighbours(H264DecContext* ctx, const IntraAvail& a, int topRightCount) {
  H264MbWork& w = ctx->mb;
  uint8_t* s = w.samples;
  const H264MbInfo* top = ctx->nbInfo[kH264NbTop];
  const H264MbInfo* topLeft = ctx->nbInfo[kH264NbTopLeft];
  const H264MbInfo* topRight = ctx->nbInfo[kH264NbTopRight];
  std::memcpy(s + kMbSamplesLeft, w.leftLuma, 16);
  std::memcpy(s + kMbSamplesCb + 64, w.leftCb, 8);
  std::memcpy(s + kMbSamplesCr + 64, w.leftCr, 8);
  std::memcpy(s + kMbSamplesTop, top->bottomLuma, 16);
  std::memcpy(s + kMbSamplesCb + 72, top->bottomCb, 8);
  std::memcpy(s + kMbSamplesCr + 72, top->bottomCr, 8);
  s[kMbSamplesCorner] = topLeft->bottomLuma[15];
  s[kMbSamplesCb + 80] = topLeft->bottomCb[7];
  s[kMbSamplesCr + 80] = topLeft->bottomCr[7];
  for (int i = 0; i < topRightCount; ++i)
    s[kMbSamplesTopRight + i] = a.topRight ? topRight->bottomLuma[i] : top->bottomLuma[15];
  s[kMbSamplesOne] = 1;
  std::memset(s + kMbSamplesAvailLeft, a.left, 4);
  s[kMbSamplesAvailTop] = a.top;
  s[kMbSamplesAvailTopLeft] = a.topLeft;
  s[kMbSamplesAvailLeft8x8] = a.left;
}

// Intra4x4PredMode / Intra8x8PredMode of the block whose first 4x4 block is
// `blk` (clauses 8.3.1.1 and 8.3.2.1).
int PredMode(H264DecContext* ctx, int blk, const IntraAvail& a, int prevFlag, int rem) {
  const BlockNeighbour& n = kNeighbours[blk];
  bool availA = n.slotA == kH264NbCurrent || a.left;
  bool availB = n.slotB == kH264NbCurrent || a.top;
  int pred = 2;
  if (availA && availB) {
    int modeA = ctx->nbMotion[n.slotA]->mbType == kH264MbINxN ? ctx->nbInfo[n.slotA]->intraPredMode[n.blkA] : 2;
    int modeB = ctx->nbMotion[n.slotB]->mbType == kH264MbINxN ? ctx->nbInfo[n.slotB]->intraPredMode[n.blkB] : 2;
    pred = modeA < modeB ? modeA : modeB;
  }
  if (prevFlag) return pred;
  return rem < pred ? rem : rem + 1;
}

int Chroma(H264DecContext* ctx, const IntraAvail& a, bool checkPlane) {
  H264MbWork& w = ctx->mb;
  int err = 0;
  uint32_t mode = w.intraChromaPredMode;
  if ((mode == 1 && !a.left) || (mode == 2 && !a.top) || (checkPlane && mode == 3 && !a.topLeft)) err = 1;
  ctx->kernels.intraChroma[mode](w.samples, w.samples + kMbSamplesCb, w.samples + kMbSamplesCr, w.residual + 256,
                                 w.residual + 320, w.cbp >> 4);
  return err;
}

}  // namespace

int H264IntraMb4x4(H264DecContext* ctx) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  SetIntraStrengths(ctx, false);
  IntraAvail a = NeighbourAvail(ctx);
  FillNeighbours(ctx, a, 4);
  int err = 0;
  for (int blk = 0; blk < 16; ++blk) {
    int mode = PredMode(ctx, blk, a, w.prevIntraPredModeFlag[blk], w.remIntraPredMode[blk]);
    cur->intraPredMode[blk] = static_cast<int8_t>(mode);
    const BlockNeighbour& n = kNeighbours[blk];
    bool left = n.slotA == kH264NbCurrent || a.left, top = n.slotB == kH264NbCurrent || a.top;
    if ((!left && (mode == 1 || mode == 4 || mode == 5 || mode == 6 || mode == 8)) ||
        (!top && (mode == 0 || mode == 3 || mode == 4 || mode == 5 || mode == 6 || mode == 7)))
      err = 1;
    ctx->kernels.intra4x4[mode](blk, w.samples, w.residual, w.cbp);
  }
  err |= Chroma(ctx, a, true);
  H264DecCount(ctx, 1);
  return err;
}

int H264IntraMb8x8(H264DecContext* ctx) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  SetIntraStrengths(ctx, true);
  IntraAvail a = NeighbourAvail(ctx);
  FillNeighbours(ctx, a, 8);
  for (int j = 0; j < 4; ++j) {
    int mode = PredMode(ctx, 4 * j, a, w.prevIntraPredModeFlag[j], w.remIntraPredMode[j]);
    std::memset(cur->intraPredMode + 4 * j, mode, 4);
    ctx->kernels.intra8x8[mode](j, w.samples, w.residual, w.cbp);
  }
  int err = Chroma(ctx, a, false);
  H264DecCount(ctx, 2);
  return err;
}

int H264IntraMb16x16(H264DecContext* ctx) {
  H264MbWork& w = ctx->mb;
  SetIntraStrengths(ctx, false);
  IntraAvail a = NeighbourAvail(ctx);
  FillNeighbours(ctx, a, 0);
  int mode = w.intra16x16PredMode, err = 0;
  if ((mode == 0 && !a.top) || (mode == 1 && !a.left) || (mode == 3 && !a.topLeft)) err = 1;
  ctx->kernels.intra16x16[mode](w.samples, w.residual);
  err |= Chroma(ctx, a, true);
  H264DecCount(ctx, 3);
  return err;
}

int H264IntraPcmMb(H264DecContext* ctx) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  H264DecBitReader* br = &ctx->br;
  SetIntraStrengths(ctx, false);
  if (br->pos & 7) H264SkipBits(8 - (br->pos & 7), br);  // pcm_alignment_zero_bit
  // The samples must lie inside the unit (before the byte with the stop bit).
  uint32_t start = br->pos >> 3;
  if (static_cast<uint64_t>(start) + 384 > br->bitLength / 8) return kH264MbSyntaxError;
  const uint8_t* p = br->data + start;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) w.samples[H264MbLumaPos(x, y)] = p[16 * y + x];
  std::memcpy(w.samples + kMbSamplesCb, p + 256, 64);
  std::memcpy(w.samples + kMbSamplesCr, p + 320, 64);
  H264SkipBits(384 * 8, br);
  ctx->lastMbQpDelta = 0;
  cur->qp = 0;
  cur->qpCb = H264ChromaQp(0, ctx->activePps.chroma_qp_index_offset);
  cur->qpCr = H264ChromaQp(0, ctx->activePps.second_chroma_qp_index_offset);
  cur->transform8x8 = 0;
  std::memset(cur->nonZero, 1, 16);
  std::memset(cur->totalCoeffLuma, 16, 16);
  std::memset(cur->totalCoeffChroma, 16, 8);
  H264DecCount(ctx, 9);
  return 0;
}
