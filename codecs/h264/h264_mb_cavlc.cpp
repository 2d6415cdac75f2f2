// CAVLC macroblock headers: the prediction syntax, coded_block_pattern and
// mb_qp_delta of intra macroblocks. Each parser returns 1 when a value is out
// of range, which ends the slice at this macroblock.
#include "codecs/h264/h264_bitreader.h"
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

void StoreQp(H264DecContext* ctx) {
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  cur->qp = static_cast<uint8_t>(ctx->qpY);
  cur->qpCb = H264ChromaQp(ctx->qpY, ctx->activePps.chroma_qp_index_offset);
  cur->qpCr = H264ChromaQp(ctx->qpY, ctx->activePps.second_chroma_qp_index_offset);
}

}  // namespace

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
  uint32_t code = H264ReadUe(br);
  if (code > 47) {
    w.cbp = 0;
    err = 1;
  } else {
    w.cbp = kH264CbpIntra[code];
  }
  ctx->lastMbQpDelta = 0;
  if (!err && w.cbp) err = ReadQpDelta(ctx);
  StoreQp(ctx);
  return err;
}
