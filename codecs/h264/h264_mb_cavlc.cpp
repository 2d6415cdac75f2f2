// CAVLC macroblock headers: the prediction syntax, coded_block_pattern,
// transform_size_8x8_flag and mb_qp_delta of intra and inter macroblocks.
// Each parser reads its whole syntax and returns 1 when a value was out of
// range, which ends the slice at this macroblock.
#include <cstring>

#include "codecs/h264/h264_bitreader.h"
#include "codecs/h264/h264_inter.h"
#include "codecs/h264/h264_internal.h"
#include "codecs/h264/h264_tables.h"

namespace {

// mb_qp_delta: outside -26..25 it is refused and QP_Y stays as it was, so no
// table is ever indexed with a QP outside 0..51.
int ReadQpDelta(H264DecContext* ctx) {
  int32_t delta = H264ReadSe(&ctx->br);
  if (delta < -26 || delta > 25) return 1;
  ctx->qpY = (ctx->qpY + delta + 52) % 52;
  ctx->lastMbQpDelta = delta;
  return 0;
}

void StoreQp(H264DecContext* ctx) { H264StoreQp(ctx); }

// te(v) of a reference index with n active entries; an index outside the
// list sets the error flag and reads as 0.
int ReadRefIdx(H264DecBitReader* br, uint32_t n, int* err) {
  if (n <= 1) return 0;
  if (n == 2) return 1 - static_cast<int>(H264ReadFlag(br));
  uint32_t v = H264ReadUe(br);
  if (v >= n) {
    *err = 1;
    return 0;
  }
  return static_cast<int>(v);
}

// coded_block_pattern by the intra or inter column of the table; a code
// above 47 is an error and leaves 0.
int ReadCbp(H264DecContext* ctx, const uint8_t* table) {
  uint32_t code = H264ReadUe(&ctx->br);
  ctx->mb.cbp = code > 47 ? 0 : table[code];
  return code > 47;
}

// coded_block_pattern, transform_size_8x8_flag (when `may8x8`) and
// mb_qp_delta of an inter macroblock.
int InterTail(H264DecContext* ctx, bool may8x8, int err) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  H264DecBitReader* br = &ctx->br;
  err |= ReadCbp(ctx, kH264CbpInter);
  cur->transform8x8 = 0;
  if (ctx->activePps.transform_8x8_mode_flag && (w.cbp & 15) && may8x8)
    cur->transform8x8 = static_cast<int32_t>(H264ReadFlag(br));
  ctx->lastMbQpDelta = 0;
  if (!err && w.cbp) err = ReadQpDelta(ctx);
  StoreQp(ctx);
  return err;
}

}  // namespace

void H264StoreQp(H264DecContext* ctx) {
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  int qp = ctx->qpY;
  cur->qp = static_cast<uint8_t>(qp);
  cur->qpCb = H264ChromaQp(qp, ctx->activePps.chroma_qp_index_offset);
  cur->qpCr = H264ChromaQp(qp, ctx->activePps.second_chroma_qp_index_offset);
}

int H264CavlcParseInter(H264DecContext* ctx, H264InterParams* p) {
  H264MbWork& w = ctx->mb;
  H264DecBitReader* br = &ctx->br;
  const H264SliceHeader& s = ctx->slice;
  const uint32_t n[2] = {s.num_ref_idx_l0_active_minus1 + 1, s.num_ref_idx_l1_active_minus1 + 1};
  int type = ctx->nbMotion[kH264NbCurrent]->mbType;
  bool isP = s.slice_type == kH264SliceP;
  int err = 0;
  std::memset(p, 0, sizeof *p);
  std::memset(p->refIdx, -1, sizeof p->refIdx);
  bool direct8x8 = ctx->activeSps.direct_8x8_inference_flag != 0;
  if (!isP && type == 0) return InterTail(ctx, direct8x8, err);  // B_Direct_16x16

  if (isP ? type >= 21 : type == 22) {  // P_8x8, P_8x8ref0, B_8x8
    bool may8x8 = true;
    for (int b8 = 0; b8 < 4; ++b8) {
      uint32_t sub = H264ReadUe(br);
      // P sub types above 3 and B sub types above 12 do not exist.
      if (sub > (isP ? 3u : 12u)) {
        err = 1;
        sub = 0;
      }
      w.subMbType[b8] = static_cast<int32_t>(sub);
      if (isP ? sub != 0 : (sub == 0 ? !direct8x8 : kH264BSubShape[sub] != 0)) may8x8 = false;
    }
    if (isP) {
      bool ref0 = type == 22;
      for (int b8 = 0; b8 < 4; ++b8) p->refIdx[0][b8] = static_cast<int8_t>(ref0 ? 0 : ReadRefIdx(br, n[0], &err));
      for (int b8 = 0; b8 < 4; ++b8)
        for (int j = 0; j < kH264SubCount[w.subMbType[b8]]; ++j) {
          p->mvd[0][4 * b8 + j][0] = static_cast<int16_t>(H264ReadSe(br));
          p->mvd[0][4 * b8 + j][1] = static_cast<int16_t>(H264ReadSe(br));
        }
    } else {
      for (int l = 0; l < 2; ++l)
        for (int b8 = 0; b8 < 4; ++b8)
          if (kH264BSubLists[w.subMbType[b8]] >> l & 1) p->refIdx[l][b8] = static_cast<int8_t>(ReadRefIdx(br, n[l], &err));
      for (int l = 0; l < 2; ++l)
        for (int b8 = 0; b8 < 4; ++b8) {
          int sub = w.subMbType[b8];
          if (!(kH264BSubLists[sub] >> l & 1)) continue;
          for (int j = 0; j < kH264SubCount[kH264BSubShape[sub]]; ++j) {
            p->mvd[l][4 * b8 + j][0] = static_cast<int16_t>(H264ReadSe(br));
            p->mvd[l][4 * b8 + j][1] = static_cast<int16_t>(H264ReadSe(br));
          }
        }
    }
    return InterTail(ctx, may8x8, err);
  }

  // 16x16, 16x8 and 8x16 types.
  int parts = isP ? (type == 18 ? 1 : 2) : (type <= 3 ? 1 : 2);
  uint8_t lists[2];
  for (int i = 0; i < parts; ++i) lists[i] = isP ? 1 : type <= 3 ? static_cast<uint8_t>(type) : kH264BPartLists[(type - 4) >> 1][i];
  for (int l = 0; l < 2; ++l)
    for (int i = 0; i < parts; ++i)
      if (lists[i] >> l & 1) p->refIdx[l][i] = static_cast<int8_t>(ReadRefIdx(br, n[l], &err));
  for (int l = 0; l < 2; ++l)
    for (int i = 0; i < parts; ++i)
      if (lists[i] >> l & 1) {
        p->mvd[l][i][0] = static_cast<int16_t>(H264ReadSe(br));
        p->mvd[l][i][1] = static_cast<int16_t>(H264ReadSe(br));
      }
  return InterTail(ctx, true, err);
}

int H264CavlcParseIntra16x16(H264DecContext* ctx) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  int t = ctx->nbMotion[kH264NbCurrent]->mbType - kH264MbI16x16First;
  w.intra16x16PredMode = t & 3;
  w.cbp = static_cast<uint32_t>((((t >> 2) % 3) << 4) | (t >= 12 ? 15 : 0));
  cur->transform8x8 = 0;
  int err = 0;
  uint32_t chromaMode = H264ReadUe(&ctx->br);
  if (chromaMode > 3) err = 1;
  w.intraChromaPredMode = chromaMode & 3;
  ctx->lastMbQpDelta = 0;
  if (!err) err = ReadQpDelta(ctx);
  StoreQp(ctx);
  return err;
}

int H264CavlcParseIntraNxN(H264DecContext* ctx) {
  H264MbWork& w = ctx->mb;
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  H264DecBitReader* br = &ctx->br;
  cur->transform8x8 = ctx->activePps.transform_8x8_mode_flag ? static_cast<int32_t>(H264ReadFlag(br)) : 0;
  int n = cur->transform8x8 ? 4 : 16;
  for (int i = 0; i < n; ++i) {
    w.prevIntraPredModeFlag[i] = static_cast<int32_t>(H264ReadFlag(br));
    if (!w.prevIntraPredModeFlag[i]) w.remIntraPredMode[i] = static_cast<int32_t>(H264ReadBits(3, br));
  }
  int err = 0;
  uint32_t chromaMode = H264ReadUe(br);
  if (chromaMode > 3) err = 1;
  w.intraChromaPredMode = chromaMode & 3;
  err |= ReadCbp(ctx, kH264CbpIntra);
  ctx->lastMbQpDelta = 0;
  if (!err && w.cbp) err = ReadQpDelta(ctx);
  StoreQp(ctx);
  return err;
}
