// The CABAC arithmetic decoder (clause 9.3.3.2) with a scaled range: the
// range is codIRange << k with 256 <= range <= 65535, and the offset holds
// exactly the slice data bits up to the reader's byte position, so a byte is
// taken only when the range falls below 256.
#pragma once

#include <bit>
#include <cstdint>

#include "codecs/h264/h264_bitreader.h"
#include "codecs/h264/h264_internal.h"

extern const int8_t kH264CabacInitI[460][2];
extern const int8_t kH264CabacInitPB[3][460][2];
extern const uint8_t kH264CabacRangeLps[64][4];
extern const uint8_t kH264CabacTransIdx[64][2];  // transIdxLPS, transIdxMPS
extern const uint8_t kH264CabacSig8x8[63][3];    // significance frame, field; last

// The next byte of the slice data; past the unit the reader's guard zone
// gives zeros.
// Bits of the scale of a range (256..65535): 0..7.
inline int H264CabacScale(uint32_t range) { return 31 - __builtin_clz((range >> 8) | 1); }

inline uint32_t H264CabacByte(H264DecContext* ctx) {
  H264DecBitReader* br = &ctx->br;
  uint32_t b = br->data[br->pos >> 3];
  H264SkipBits(8, br);
  return b;
}

inline void H264CabacInitEngine(H264DecContext* ctx) {
  ctx->cabacRange = 510 << 7;
  ctx->cabacOffset = H264CabacByte(ctx) << 8;
  ctx->cabacOffset |= H264CabacByte(ctx);
}

inline int H264CabacDecodeDecision(H264DecContext* ctx, int ctxIdx) {
  uint8_t* c = ctx->cabacCtx[ctxIdx];
  uint32_t range = ctx->cabacRange, offset = ctx->cabacOffset;
  int k = H264CabacScale(range);
  uint32_t lps = static_cast<uint32_t>(kH264CabacRangeLps[c[0]][(range >> (k + 6)) & 3]) << k;
  range -= lps;
  int bin;
  if (offset < range) {
    bin = c[1];
    c[0] = kH264CabacTransIdx[c[0]][1];
  } else {
    offset -= range;
    range = lps;
    bin = 1 - c[1];
    if (c[0] == 0) c[1] = static_cast<uint8_t>(1 - c[1]);
    c[0] = kH264CabacTransIdx[c[0]][0];
  }
  if (range < 256) {
    range <<= 8;
    offset = (offset << 8) | H264CabacByte(ctx);
  }
  ctx->cabacRange = range;
  ctx->cabacOffset = offset;
  return bin;
}

// Bypass bins halve the range instead of doubling the offset.
inline int H264CabacDecodeBypass(H264DecContext* ctx) {
  if (ctx->cabacRange < 512) {
    ctx->cabacRange <<= 8;
    ctx->cabacOffset = (ctx->cabacOffset << 8) | H264CabacByte(ctx);
  }
  ctx->cabacRange >>= 1;
  if (ctx->cabacOffset >= ctx->cabacRange) {
    ctx->cabacOffset -= ctx->cabacRange;
    return 1;
  }
  return 0;
}

inline int H264CabacDecodeTerminate(H264DecContext* ctx) {
  int k = H264CabacScale(ctx->cabacRange);
  ctx->cabacRange -= 2u << k;
  if (ctx->cabacOffset >= ctx->cabacRange) return 1;
  if (ctx->cabacRange < 256) {
    ctx->cabacRange <<= 8;
    ctx->cabacOffset = (ctx->cabacOffset << 8) | H264CabacByte(ctx);
  }
  return 0;
}

// The engine's state in locals for a run of bins: the context's copy is
// taken at construction and given back by Save, so the range and offset stay
// in registers (writes to the byte-sized context variables could otherwise
// alias them).
struct H264CabacLocal {
  uint32_t range, offset, pos, limit;
  const uint8_t* data;
  uint8_t (*states)[2];

  explicit H264CabacLocal(H264DecContext* ctx)
      : range(ctx->cabacRange), offset(ctx->cabacOffset), pos(ctx->br.pos), limit(ctx->br.limit),
        data(ctx->br.data), states(ctx->cabacCtx) {}
  void Save(H264DecContext* ctx) const {
    ctx->cabacRange = range;
    ctx->cabacOffset = offset;
    ctx->br.pos = pos;
  }
  uint32_t Byte() {
    uint32_t b = data[pos >> 3];
    pos = pos + 8 > limit ? limit : pos + 8;
    return b;
  }
  // Without branches on the decoded bin, which the significance maps make
  // hard to predict.
  int Decision(int ctxIdx) {
    uint8_t* c = states[ctxIdx];
    uint32_t state = c[0], mps = c[1];
    int k = H264CabacScale(range);
    uint32_t lps = static_cast<uint32_t>(kH264CabacRangeLps[state][(range >> (k + 6)) & 3]) << k;
    range -= lps;
    uint32_t isLps = offset >= range ? 1u : 0u;
    uint32_t mask = 0u - isLps;
    offset -= range & mask;
    range = isLps ? lps : range;
    c[0] = kH264CabacTransIdx[state][1 - isLps];
    c[1] = static_cast<uint8_t>(mps ^ (isLps & (state == 0 ? 1u : 0u)));
    int bin = static_cast<int>(mps ^ isLps);
    if (range < 256) {
      range <<= 8;
      offset = (offset << 8) | Byte();
    }
    return bin;
  }
  int Bypass() {
    if (range < 512) {
      range <<= 8;
      offset = (offset << 8) | Byte();
    }
    range >>= 1;
    if (offset >= range) {
      offset -= range;
      return 1;
    }
    return 0;
  }
};

// Context variables for the slice from its QP (clause 9.3.1.1).
void H264CabacInitContexts(H264DecContext* ctx);

// Residual of a macroblock (all but Intra_16x16) and of an Intra_16x16 one.
void H264CabacResidualMb(H264DecContext* ctx);
void H264CabacResidualIntra16x16(H264DecContext* ctx);
