// Per-macroblock deblocking: filters the macroblock in the sample buffer
// together with the edge samples of its left and upper neighbours in the
// picture, then stores it into the picture.
#include <algorithm>
#include <cstring>

#include "codecs/h264/h264_internal.h"
#include "codecs/h264/h264_tables.h"

namespace {

using Thresholds = H264EdgeThresholds;  // tc0 0 for bS 0

Thresholds MakeThresholds(const H264DecContext* ctx, int qp) {
  int a = std::clamp(qp + 2 * ctx->slice.slice_alpha_c0_offset_div2, 0, 51);
  int b = std::clamp(qp + 2 * ctx->slice.slice_beta_offset_div2, 0, 51);
  const uint8_t* row = kH264Tc0[a];
  return {kH264Alpha[a] * 0x01010101u, kH264Beta[b], {0, row[0], row[1], row[2]}};
}

// The table of the slice's offsets, built when they change.
void PrepareThresholds(H264DecContext* ctx) {
  uint32_t key = static_cast<uint32_t>((ctx->slice.slice_alpha_c0_offset_div2 + 64) << 8 |
                                       (ctx->slice.slice_beta_offset_div2 + 64));
  if (key == ctx->deblockKey) return;
  for (int qp = 0; qp < 52; ++qp) ctx->deblockThresholds[qp] = MakeThresholds(ctx, qp);
  ctx->deblockKey = key;
}

// QPs are 0..51.
inline const Thresholds* LookThresholds(const H264DecContext* ctx, int qp) {
  return &ctx->deblockThresholds[qp < 51 ? qp : 51];
}

struct EdgeQp {
  const Thresholds *y, *cb, *cr;
};

EdgeQp EdgeThresholds(const H264DecContext* ctx, const H264MbInfo* cur, const H264MbInfo* nb) {
  if (!nb)
    return {LookThresholds(ctx, cur->qp), LookThresholds(ctx, cur->qpCb), LookThresholds(ctx, cur->qpCr)};
  return {LookThresholds(ctx, (cur->qp + nb->qp + 1) >> 1), LookThresholds(ctx, (cur->qpCb + nb->qpCb + 1) >> 1),
          LookThresholds(ctx, (cur->qpCr + nb->qpCr + 1) >> 1)};
}

inline bool AnySegment(const uint8_t* seg) {
  uint32_t segs;
  std::memcpy(&segs, seg, 4);
  return segs != 0;
}

// Eight luma samples (two segments with strengths s0 and s1, bS 4 taken as
// tc0 0) unless both strengths are 0: the alpha byte and tc0 per pair of
// samples, 0 where a segment is off.
inline void LumaSection(const H264DecKernelTable& k, uint8_t* p, uint8_t* q, const Thresholds* t, uint32_t s0,
                        uint32_t s1) {
  if (!(s0 | s1)) return;
  static constexpr uint32_t kOn[4] = {0, 0x0000FFFFu, 0xFFFF0000u, 0xFFFFFFFFu};
  const uint32_t alpha = t->alpha & kOn[(s0 != 0) | (s1 != 0) << 1];
  const uint32_t tc = t->tcByBs[s0 & 3] * 0x0101u | t->tcByBs[s1 & 3] * 0x01010000u;
  uint8_t tc0[4];
  std::memcpy(tc0, &tc, 4);
  k.lumaEdgeFilter(p, q, alpha, t->beta, tc0);
}

// A luma edge of four segments with bS below 4: section A (segments 0, 1)
// and section B (segments 2, 3), one filter call per section.
inline void LumaEdge(const H264DecKernelTable& k, uint8_t* pA, uint8_t* qA, uint8_t* pB, uint8_t* qB,
                     const Thresholds* t, const uint8_t* seg) {
  uint32_t segs;
  std::memcpy(&segs, seg, 4);
  if (!segs) return;
  LumaSection(k, pA, qA, t, segs & 0xFF, (segs >> 8) & 0xFF);
  LumaSection(k, pB, qB, t, (segs >> 16) & 0xFF, segs >> 24);
}

// Chroma edge of four segments with bS below 4 (Cb and Cr together).
inline void ChromaEdge(const H264DecKernelTable& k, uint8_t* pCb, uint8_t* qCb, uint8_t* pCr, uint8_t* qCr,
                       const EdgeQp& e, const uint8_t* seg) {
  if (AnySegment(seg)) k.chromaEdgeFilterSegments(pCb, qCb, pCr, qCr, seg, e.cb, e.cr, 8);
}

// The macroblock edge (left or top) in the prepared p and q blocks.
[[gnu::always_inline]] inline void MbEdge(const H264DecKernelTable& k, const EdgeQp& e, const uint8_t* seg,
                                          uint8_t* p0, uint8_t* q0, uint8_t* p1, uint8_t* q1, uint8_t* pCb,
                                          uint8_t* qCb, uint8_t* pCr, uint8_t* qCr) {
  if (seg[0] == 4) {
    k.lumaEdgeFilterStrong(p0, q0, e.y->alpha, e.y->beta);
    k.lumaEdgeFilterStrong(p1, q1, e.y->alpha, e.y->beta);
    k.chromaEdgeFilterStrong(pCb, qCb, pCr, qCr, e.cb->alpha, e.cb->beta, e.cr->alpha, e.cr->beta);
  } else {
    LumaEdge(k, p0, q0, p1, q1, e.y, seg);
    ChromaEdge(k, pCb, qCb, pCr, qCr, e, seg);
  }
}

}  // namespace

void H264DeblockMacroblock(H264DecContext* ctx) {
  const H264DecKernelTable& k = ctx->kernels;
  H264MbWork& w = ctx->mb;
  uint8_t* s = w.samples;
  uint8_t* cb = s + kMbSamplesCb;
  uint8_t* cr = s + kMbSamplesCr;
  const uint8_t* es = w.edgeStrength;
  const H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  int buf = ctx->curPic->bufferIndex;
  int pitch = static_cast<int>(ctx->activeSps.width) << ctx->slice.field_pic_flag;
  int cpitch = pitch / 2;
  uint8_t* Y = H264DecPlane(ctx, buf, 0) + w.lumaRowOffset + 16 * w.mbX;
  uint8_t* U = H264DecPlane(ctx, buf, 1) + w.chromaRowOffset + 8 * w.mbX;
  uint8_t* V = H264DecPlane(ctx, buf, 2) + w.chromaRowOffset + 8 * w.mbX;
  auto word = [](const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  };
  uint32_t innerAny = 0;
  for (int i = 16; i < 40; i += 4) innerAny |= word(es + i);
  if (!(innerAny | word(es) | word(es + 8))) {  // no edge to filter
    k.storeMbLuma(Y, s, pitch);
    k.storeMbChroma(U, V, cb, cr, cpitch);
    return;
  }
  PrepareThresholds(ctx);
  // Inner thresholds only when an inner edge has a strength (sections of
  // zero strength never read them).
  EdgeQp inner = innerAny ? EdgeThresholds(ctx, cur, nullptr) : EdgeQp{};
  alignas(16) uint8_t luma[64], chroma[64];

  // Vertical edges, on transposed blocks: only the blocks that an edge of
  // nonzero strength touches (rows 0..7 are segments 0 and 1, rows 8..15
  // segments 2 and 3; chroma has the left edge and the one at 8).
  uint32_t leftWord = word(es), v8Word = word(es + 20);
  uint32_t vertical = leftWord | word(es + 16) | v8Word | word(es + 24);
  if (vertical) {
    bool upper = (vertical & 0xFFFFu) != 0;
    bool lower = (vertical >> 16) != 0 || es[0] == 4;  // the strong filter takes all rows
    bool chromaV = (leftWord | v8Word) != 0;
    auto transpose = [&] {
      if (upper) k.transpose8x8Pair(s, s + 64);
      if (lower) k.transpose8x8Pair(s + 128, s + 192);
      if (chromaV) k.transpose8x8Pair(cb, cr);
    };
    transpose();
    if (es[0] | es[1] | es[2] | es[3]) {
      EdgeQp e = EdgeThresholds(ctx, cur, ctx->nbInfo[kH264NbLeft]);
      k.gatherLeftColumns(Y - 4, Y - 4 + 8 * pitch, luma, pitch);
      k.gatherLeftColumns(U - 4, V - 4, chroma, cpitch);
      MbEdge(k, e, es, luma, s, luma + 32, s + 128, chroma + 16, cb, chroma + 48, cr);
      k.scatterLeftColumns(Y - 4, Y - 4 + 8 * pitch, luma, pitch);
      k.scatterLeftColumns(U - 4, V - 4, chroma, cpitch);
    }
    const uint8_t* v4 = es + 16;
    const uint8_t* v8 = es + 20;
    const uint8_t* v12 = es + 24;
    LumaEdge(k, s, s + 32, s + 128, s + 160, inner.y, v4);
    LumaEdge(k, s + 32, s + 64, s + 160, s + 192, inner.y, v8);
    ChromaEdge(k, cb + 16, cb + 32, cr + 16, cr + 32, inner, v8);
    LumaEdge(k, s + 64, s + 96, s + 192, s + 224, inner.y, v12);
    transpose();
  }

  // Horizontal edges.
  const uint8_t* top = es + 8;
  if (top[0] | top[1] | top[2] | top[3]) {
    EdgeQp e = EdgeThresholds(ctx, cur, ctx->nbInfo[kH264NbTop]);
    alignas(16) uint8_t right[32];
    k.gatherTopRows(luma, right, Y - 4 * pitch, pitch);
    k.gatherRows2(chroma, U - 2 * cpitch, cpitch);
    k.gatherRows2(chroma + 16, V - 2 * cpitch, cpitch);
    MbEdge(k, e, top, luma, s, right, s + 64, chroma, cb, chroma + 16, cr);
    k.scatterTopRows(luma, right, Y - 4 * pitch, pitch);
    k.copyRow8(chroma + 8, U - cpitch);
    k.copyRow8(chroma + 24, V - cpitch);
  }
  const uint8_t* h4 = es + 28;
  const uint8_t* h8 = es + 32;
  const uint8_t* h12 = es + 36;
  LumaEdge(k, s, s + 32, s + 64, s + 96, inner.y, h4);
  LumaEdge(k, s + 32, s + 128, s + 96, s + 192, inner.y, h8);
  ChromaEdge(k, cb + 16, cb + 32, cr + 16, cr + 32, inner, h8);
  LumaEdge(k, s + 128, s + 160, s + 192, s + 224, inner.y, h12);

  k.storeMbLuma(Y, s, pitch);
  k.storeMbChroma(U, V, cb, cr, cpitch);
}
