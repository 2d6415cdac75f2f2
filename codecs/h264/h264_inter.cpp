// Inter macroblocks of P and B slices: vector prediction from the
// neighbours, the motion record, motion compensation of each partition with
// edge replication, the per-quadrant finish and the boundary strengths.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/h264_inter.h"

namespace {

// Picture identity stored with the motion: order count and structure.
inline uint8_t RefStructure(const H264DecPicture* pic) { return pic->structure == 0 ? 3 : static_cast<uint8_t>(pic->structure); }

// Neighbour block (x, y) in 4x4 units relative to the macroblock; x may be -1
// or 4, y may be -1. `zCur` is the first block of the partition asking: a
// block of the current macroblock is usable only when decoded before it.
// The record is written as three words (no narrow stores under a wide load).
// Without `l1` (P slices, whose neighbours use list 0 alone) list 1 is not
// read.
[[gnu::always_inline]] inline void Neighbour(const H264DecContext* ctx, int x, int y, int zCur, H264NbMotion* n,
                                             bool l1 = true) {
  constexpr uint32_t kUnavailable = 0x0000FFFFu;  // refs -1 and -1, not available
  constexpr uint32_t kIntra = 0x0001FFFFu;        // refs -1 and -1, available
  uint32_t head = kUnavailable, mv0 = 0, mv1 = 0;
  int slot;
  if (y < 0)
    slot = x < 0 ? kH264NbTopLeft : x >= 4 ? kH264NbTopRight : kH264NbTop;
  else if (x < 0)
    slot = kH264NbLeft;
  else if (x >= 4 || kH264BlkAt[y][x] >= zCur)
    slot = -1;  // right of the macroblock, or not decoded yet
  else
    slot = kH264NbCurrent;
  if (slot >= 0 && ctx->nbInfo[slot]->available) {
    const H264MbMotion* m = ctx->nbMotion[slot];
    head = kIntra;
    if (m->mbType <= 22) {
      int blk = kH264BlkAt[y & 3][x & 3];
      int b8 = blk >> 2;
      int r0 = m->refIdxL0[b8], r1 = l1 ? m->refIdxL1[b8] : -1;
      if (r0 >= 0) std::memcpy(&mv0, m->mvL0[blk], 4);
      if (r1 >= 0) std::memcpy(&mv1, m->mvL1[blk], 4);
      head = 0x10000u | static_cast<uint8_t>(r0 < 0 ? -1 : r0) | static_cast<uint32_t>(static_cast<uint8_t>(r1 < 0 ? -1 : r1)) << 8;
    }
  }
  static_assert(std::endian::native == std::endian::little, "the record's first word is refs, then the flag");
  auto* out = reinterpret_cast<uint8_t*>(n);
  std::memcpy(out, &head, 4);
  std::memcpy(out + 4, &mv0, 4);
  std::memcpy(out + 8, &mv1, 4);
}

inline int16_t Median(int a, int b, int c) {
  return static_cast<int16_t>(std::max(std::min(a, b), std::min(std::max(a, b), c)));
}

// ---------------------------------------------------------------------------
// Reference fetch

constexpr int kFetchStride = 24;

// n bytes (1 to 24) from s to d in a few fixed-size moves, none outside the
// n bytes of either.
inline void CopyBytes(uint8_t* d, const uint8_t* s, int n) {
  if (n >= 8) {
    for (int i = 0; i + 8 < n; i += 8) std::memcpy(d + i, s + i, 8);
    std::memcpy(d + n - 8, s + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(d, s, 4);
    std::memcpy(d + n - 4, s + n - 4, 4);
  } else {
    for (int i = 0; i < n; ++i) d[i] = s[i];
  }
}

// Copies the w x h rectangle at (x, y) of a plane into `buf` (rows of 24,
// at least h + 1 of them) with positions outside clamped to the nearest edge
// sample.
[[gnu::noinline]] const uint8_t* FetchEdge(const uint8_t* plane, int stride, int planeW, int planeH, int x, int y,
                                           int w, int h, uint8_t* buf, int* outStride) {
  // Columns [0, inL) lie left of the plane, [inR, w) right of it.
  const int inL = std::clamp(-x, 0, w);
  const int inR = std::clamp(planeW - x, inL, w);
  int lastY = -1;
  for (int r = 0; r < h; ++r) {
    uint8_t* out = buf + r * kFetchStride;
    const int sy = std::clamp(y + r, 0, planeH - 1);
    if (sy == lastY) {  // a row above or below the plane: the one before again
      std::memcpy(out, out - kFetchStride, kFetchStride);
      continue;
    }
    lastY = sy;
    const uint8_t* row = plane + static_cast<ptrdiff_t>(sy) * stride;
    if (inL > 0) {
      // The whole buffer row first (24 bytes), the rest written over it.
      const uint64_t left = row[0] * uint64_t{0x0101010101010101};
      for (int i = 0; i < kFetchStride; i += 8) std::memcpy(out + i, &left, 8);
    }
    if (inR > inL) CopyBytes(out + inL, row + x + inL, inR - inL);
    // Eight-byte stores: the last may run up to 7 bytes into the next buffer
    // row (written after it; `buf` has a row more than h).
    const uint64_t right = row[planeW - 1] * uint64_t{0x0101010101010101};
    for (int i = inR; i < w; i += 8) std::memcpy(out + i, &right, 8);
  }
  *outStride = kFetchStride;
  return buf;
}

// The w x h rectangle at (x, y) of a plane: in place when it lies inside,
// else an edge-extended copy in `buf`.
inline const uint8_t* Fetch(const uint8_t* plane, int stride, int planeW, int planeH, int x, int y, int w, int h,
                            uint8_t* buf, int* outStride) {
  if (x >= 0 && y >= 0 && x + w <= planeW && y + h <= planeH) [[likely]] {
    *outStride = stride;
    return plane + static_cast<ptrdiff_t>(y) * stride + x;
  }
  return FetchEdge(plane, stride, planeW, planeH, x, y, w, h, buf, outStride);
}

constexpr int kChromaQuadrant[4] = {0, 4, 32, 36};

// Edge strengths between two 4x4 blocks without coefficients: whether their
// motion differs (clause 8.7.2.1).
struct BlockMotion {
  int n;  // vectors used
  int32_t poc[2];
  uint8_t st[2];
  const int16_t* mv[2];
};

inline BlockMotion MotionOf(const H264MbMotion* m, int blk) {
  BlockMotion b{};
  int b8 = blk >> 2;
  if (m->refIdxL0[b8] >= 0) {
    b.poc[b.n] = m->refPocL0[b8];
    b.st[b.n] = m->refStructL0[b8];
    b.mv[b.n++] = m->mvL0[blk];
  }
  if (m->refIdxL1[b8] >= 0) {
    b.poc[b.n] = m->refPocL1[b8];
    b.st[b.n] = m->refStructL1[b8];
    b.mv[b.n++] = m->mvL1[blk];
  }
  return b;
}

inline bool SamePic(const BlockMotion& p, int i, const BlockMotion& q, int j) {
  return p.poc[i] == q.poc[j] && p.st[i] == q.st[j];
}

inline bool Far(const int16_t* a, const int16_t* b, int limY) {
  return std::abs(a[0] - b[0]) >= 4 || std::abs(a[1] - b[1]) >= limY;
}

int MotionStrength(const BlockMotion& p, const BlockMotion& q, int limY) {
  if (p.n != q.n) return 1;
  if (p.n == 0) return 0;
  if (p.n == 1) return !SamePic(p, 0, q, 0) || Far(p.mv[0], q.mv[0], limY);
  bool sameStraight = SamePic(p, 0, q, 0) && SamePic(p, 1, q, 1);
  bool sameCross = SamePic(p, 0, q, 1) && SamePic(p, 1, q, 0);
  bool closeStraight = !Far(p.mv[0], q.mv[0], limY) && !Far(p.mv[1], q.mv[1], limY);
  bool closeCross = !Far(p.mv[0], q.mv[1], limY) && !Far(p.mv[1], q.mv[0], limY);
  return !((sameStraight && closeStraight) || (sameCross && closeCross));
}

inline uint32_t Mv32(const int16_t* mv) {
  uint32_t v;
  std::memcpy(&v, mv, 4);
  return v;
}

// Strength between block bp of p and block bq of q from their motion alone:
// blocks with the very same motion (the common case) are settled without
// building the general comparison.
inline int BlockStrength(const H264MbMotion* p, int bp, const H264MbMotion* q, int bq, int limY) {
  int p8 = bp >> 2, q8 = bq >> 2;
  bool p0 = p->refIdxL0[p8] >= 0, p1 = p->refIdxL1[p8] >= 0;
  if (p0 == (q->refIdxL0[q8] >= 0) && p1 == (q->refIdxL1[q8] >= 0)) {
    bool same = !p0 || (p->refPocL0[p8] == q->refPocL0[q8] && p->refStructL0[p8] == q->refStructL0[q8] &&
                        Mv32(p->mvL0[bp]) == Mv32(q->mvL0[bq]));
    if (same && p1)
      same = p->refPocL1[p8] == q->refPocL1[q8] && p->refStructL1[p8] == q->refStructL1[q8] &&
             Mv32(p->mvL1[bp]) == Mv32(q->mvL1[bq]);
    if (same) return 0;
  }
  return MotionStrength(MotionOf(p, bp), MotionOf(q, bq), limY);
}

// Whether every 4x4 block of the macroblock has the same motion (direct and
// 8x8 macroblocks often do): then no inner edge has a motion strength.
inline bool UniformMotion(const H264MbMotion* m) {
  auto same4 = [](const void* bytes) {
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v == (v & 0xFFu) * 0x01010101u;
  };
  if (!same4(m->refIdxL0) || !same4(m->refIdxL1) || !same4(m->refStructL0) || !same4(m->refStructL1)) return false;
  uint32_t diff = 0;
  for (int b8 = 1; b8 < 4; ++b8)
    diff |= static_cast<uint32_t>(m->refPocL0[b8] ^ m->refPocL0[0]) | static_cast<uint32_t>(m->refPocL1[b8] ^ m->refPocL1[0]);
  uint32_t mv0 = Mv32(m->mvL0[0]), mv1 = Mv32(m->mvL1[0]);
  for (int blk = 1; blk < 16; ++blk) diff |= (Mv32(m->mvL0[blk]) ^ mv0) | (Mv32(m->mvL1[blk]) ^ mv1);
  return diff == 0;
}

// Motion compensation of one partition (below).
[[gnu::always_inline]] inline void McPartition(H264DecContext* ctx, int list, int ref, const int16_t* mv, int x, int y,
                                               int w, int h, H264InterPred* pred);

// P and B partition shapes in 4x4 units.
struct Shape {
  uint8_t x, y, w, h;
};
constexpr Shape k16x8[2] = {{0, 0, 4, 2}, {0, 2, 4, 2}};
constexpr Shape k8x16[2] = {{0, 0, 2, 4}, {2, 0, 2, 4}};

// One partition: vectors of the lists it uses from the prediction and the
// differences, stored, then predicted. `dir` picks the directional
// prediction of 16x8 and 8x16 partitions (0 none, 1 16x8, 2 8x16), `part`
// the partition number.
void Partition(H264DecContext* ctx, const Shape& s, int lists, const int8_t* ref, const int16_t (*mvd)[2], int dir,
               int part, H264InterPred* pred) {
  H264NbMotionCache nb;
  H264LoadNeighbourMotion(ctx, s.x, s.y, s.w, &nb);
  int16_t mv[2][2] = {};
  int8_t used[2];
  for (int l = 0; l < 2; ++l) {
    used[l] = lists >> l & 1 ? ref[l] : -1;
    if (!(lists >> l & 1)) continue;
    const H264NbMotion* d = nullptr;
    if (dir == 1) d = part == 0 ? &nb.b : &nb.a;
    if (dir == 2) d = part == 0 ? &nb.a : &nb.c;
    if (d && d->ref[l] == ref[l]) {
      mv[l][0] = d->mv[l][0];
      mv[l][1] = d->mv[l][1];
    } else {
      H264MvPred(nb, l, ref[l], mv[l]);
    }
    mv[l][0] = static_cast<int16_t>(mv[l][0] + mvd[l][0]);
    mv[l][1] = static_cast<int16_t>(mv[l][1] + mvd[l][1]);
  }
  H264StoreMotionPair(ctx, s.x, s.y, s.w, s.h, used, mv);
  // Each list with its number known; the whole macroblock with its sizes.
  if (s.x == 0 && s.y == 0 && s.w == 4 && s.h == 4) {
    if (lists & 1) McPartition(ctx, 0, ref[0], mv[0], 0, 0, 4, 4, pred);
    if (lists & 2) McPartition(ctx, 1, ref[1], mv[1], 0, 0, 4, 4, pred);
  } else {
    if (lists & 1) McPartition(ctx, 0, ref[0], mv[0], s.x, s.y, s.w, s.h, pred);
    if (lists & 2) McPartition(ctx, 1, ref[1], mv[1], s.x, s.y, s.w, s.h, pred);
  }
}

void Stat(H264DecContext* ctx, int index) {
  if (ctx->slice.slice_type == kH264SliceP) H264DecCount(ctx, index);
}

// Whether the slice leaves a list-0 prediction from reference 0 as it is:
// default weighting, or explicit weights and offsets that change nothing.
bool UnweightedFirstRef(const H264SliceHeader& s) {
  if (s.wpMode != 1) return s.wpMode == 0;
  return s.lumaWeight[0][0] == 1 << s.luma_log2_weight_denom && s.lumaOffset[0][0] == 0 &&
         s.chromaWeight[0][0][0] == 1 << s.chroma_log2_weight_denom && s.chromaOffset[0][0][0] == 0 &&
         s.chromaWeight[0][0][1] == 1 << s.chroma_log2_weight_denom && s.chromaOffset[0][0][1] == 0;
}

}  // namespace

namespace {

[[gnu::always_inline]] inline void LoadNeighbours(const H264DecContext* ctx, int x, int y, int w, H264NbMotionCache* nb,
                                                  bool l1 = true) {
  int z = kH264BlkAt[y][x];
  Neighbour(ctx, x - 1, y, z, &nb->a, l1);
  Neighbour(ctx, x, y - 1, z, &nb->b, l1);
  Neighbour(ctx, x + w, y - 1, z, &nb->c, l1);
  if (!nb->c.available) Neighbour(ctx, x - 1, y - 1, z, &nb->c, l1);
}

constexpr int NbKey(int x, int y, int w) { return x << 5 | y << 3 | w; }

}  // namespace

void H264LoadNeighbourMotion(const H264DecContext* ctx, int x, int y, int w, H264NbMotionCache* nb) {
  // The macroblock and its halves and quadrants with constant positions, so
  // that each neighbour's place is known when compiled.
  switch (NbKey(x, y, w)) {
    case NbKey(0, 0, 4):
      if (ctx->slice.slice_type == kH264SliceP) return LoadNeighbours(ctx, 0, 0, 4, nb, false);
      return LoadNeighbours(ctx, 0, 0, 4, nb);
    case NbKey(0, 2, 4): return LoadNeighbours(ctx, 0, 2, 4, nb);
    case NbKey(0, 0, 2): return LoadNeighbours(ctx, 0, 0, 2, nb);
    case NbKey(2, 0, 2): return LoadNeighbours(ctx, 2, 0, 2, nb);
    case NbKey(0, 2, 2): return LoadNeighbours(ctx, 0, 2, 2, nb);
    case NbKey(2, 2, 2): return LoadNeighbours(ctx, 2, 2, 2, nb);
    default: return LoadNeighbours(ctx, x, y, w, nb);
  }
}

void H264MvPred(const H264NbMotionCache& nb, int list, int ref, int16_t* mv) {
  const H264NbMotion &a = nb.a, &b = nb.b, &c = nb.c;
  if (a.available && !b.available && !c.available) {
    mv[0] = a.mv[list][0];
    mv[1] = a.mv[list][1];
    return;
  }
  int matches = (a.ref[list] == ref) + (b.ref[list] == ref) + (c.ref[list] == ref);
  if (matches == 1) {
    const H264NbMotion& m = a.ref[list] == ref ? a : b.ref[list] == ref ? b : c;
    mv[0] = m.mv[list][0];
    mv[1] = m.mv[list][1];
    return;
  }
  mv[0] = Median(a.mv[list][0], b.mv[list][0], c.mv[list][0]);
  mv[1] = Median(a.mv[list][1], b.mv[list][1], c.mv[list][1]);
}

void H264StoreMotion(H264DecContext* ctx, int list, int x, int y, int w, int h, int ref, const int16_t* mv) {
  H264MbMotion* m = ctx->nbMotion[kH264NbCurrent];
  int8_t* refIdx = list ? m->refIdxL1 : m->refIdxL0;
  uint8_t* st = list ? m->refStructL1 : m->refStructL0;
  int32_t* poc = list ? m->refPocL1 : m->refPocL0;
  int16_t(*mvs)[2] = list ? m->mvL1 : m->mvL0;
  const H264DecPicture* pic = ref >= 0 ? ctx->refList[list][ref] : nullptr;
  int8_t r = static_cast<int8_t>(pic ? ref : -1);
  uint8_t structure = pic ? RefStructure(pic) : 255;
  int32_t order = pic ? pic->poc : 0;
  uint32_t packed = 0;
  if (pic) std::memcpy(&packed, mv, 4);
  if (w == 4 && h == 4) {
    // The whole macroblock: every record at once.
    std::memset(refIdx, r, 4);
    std::memset(st, structure, 4);
    for (int b8 = 0; b8 < 4; ++b8) poc[b8] = order;
    for (int blk = 0; blk < 16; ++blk) std::memcpy(mvs[blk], &packed, 4);
    return;
  }
  if (w == 2 && h == 2 && !(x & 1) && !(y & 1)) {
    // One 8x8 block: its four 4x4 blocks follow each other.
    int b8 = y + (x >> 1);
    refIdx[b8] = r;
    st[b8] = structure;
    poc[b8] = order;
    for (int k = 0; k < 4; ++k) std::memcpy(mvs[4 * b8 + k], &packed, 4);
    return;
  }
  for (int by = y >> 1; by <= (y + h - 1) >> 1; ++by)
    for (int bx = x >> 1; bx <= (x + w - 1) >> 1; ++bx) {
      int b8 = 2 * by + bx;
      refIdx[b8] = r;
      st[b8] = structure;
      poc[b8] = order;
    }
  for (int yy = y; yy < y + h; ++yy)
    for (int xx = x; xx < x + w; ++xx) std::memcpy(mvs[kH264BlkAt[yy][xx]], &packed, 4);
}

namespace {

// H264StoreMotionPair, inlined where the shape and lists are constants
// (P_Skip): the unused list's and the partial shapes' paths fold away.
[[gnu::always_inline]] inline void StorePair(H264DecContext* ctx, int x, int y, int w, int h, const int8_t* ref,
                                             const int16_t (*mv)[2]) {
  H264MbMotion* m = ctx->nbMotion[kH264NbCurrent];
  uint32_t r[2], st[2], packed[2];
  int32_t order[2];
  for (int l = 0; l < 2; ++l) {
    const H264DecPicture* pic = ref[l] >= 0 ? ctx->refList[l][ref[l]] : nullptr;
    r[l] = static_cast<uint8_t>(pic ? ref[l] : -1) * 0x01010101u;
    st[l] = (pic ? RefStructure(pic) : 255u) * 0x01010101u;
    order[l] = pic ? pic->poc : 0;
    packed[l] = 0;
    if (pic) std::memcpy(&packed[l], mv[l], 4);
  }
  if (w != 4 || h != 4) {
    bool whole8x8 = !((x | y | w | h) & 1);  // 16x8, 8x16, 8x8: the 4x4 blocks of whole 8x8 blocks
    for (int by = y >> 1; by <= (y + h - 1) >> 1; ++by)
      for (int bx = x >> 1; bx <= (x + w - 1) >> 1; ++bx) {
        int b8 = 2 * by + bx;
        m->refIdxL0[b8] = static_cast<int8_t>(r[0]);
        m->refIdxL1[b8] = static_cast<int8_t>(r[1]);
        m->refStructL0[b8] = static_cast<uint8_t>(st[0]);
        m->refStructL1[b8] = static_cast<uint8_t>(st[1]);
        m->refPocL0[b8] = order[0];
        m->refPocL1[b8] = order[1];
        if (whole8x8) {
          const uint32_t q0[4] = {packed[0], packed[0], packed[0], packed[0]};
          const uint32_t q1[4] = {packed[1], packed[1], packed[1], packed[1]};
          std::memcpy(m->mvL0[4 * b8], q0, 16);
          std::memcpy(m->mvL1[4 * b8], q1, 16);
        }
      }
    if (whole8x8) return;
    for (int yy = y; yy < y + h; ++yy)
      for (int xx = x; xx < x + w; ++xx) {
        std::memcpy(m->mvL0[kH264BlkAt[yy][xx]], &packed[0], 4);
        std::memcpy(m->mvL1[kH264BlkAt[yy][xx]], &packed[1], 4);
      }
    return;
  }
  // The whole macroblock: each field written once, in wide stores.
  uint32_t head[4] = {r[0], r[1], st[0], st[1]};
  static_assert(offsetof(H264MbMotion, refIdxL1) == offsetof(H264MbMotion, refIdxL0) + 4 &&
                offsetof(H264MbMotion, refStructL0) == offsetof(H264MbMotion, refIdxL0) + 8 &&
                offsetof(H264MbMotion, refStructL1) == offsetof(H264MbMotion, refIdxL0) + 12);
  std::memcpy(m->refIdxL0, head, 16);
  int32_t pocs[8] = {order[0], order[0], order[0], order[0], order[1], order[1], order[1], order[1]};
  static_assert(offsetof(H264MbMotion, refPocL1) == offsetof(H264MbMotion, refPocL0) + 16);
  std::memcpy(m->refPocL0, pocs, 32);
  uint32_t mv0[16], mv1[16];
  for (int blk = 0; blk < 16; ++blk) {
    mv0[blk] = packed[0];
    mv1[blk] = packed[1];
  }
  std::memcpy(m->mvL0, mv0, 64);
  std::memcpy(m->mvL1, mv1, 64);
}

}  // namespace

void H264StoreMotionPair(H264DecContext* ctx, int x, int y, int w, int h, const int8_t* ref, const int16_t (*mv)[2]) {
  StorePair(ctx, x, y, w, h, ref, mv);
}

namespace {

// Motion compensation of a partition through the table's kernels, block by
// block, in the order the sizes ask for: 16-high partitions in 8x16 columns,
// others in 4x8 or 4x4 columns; chroma in 8x4, 4x2 or 2x2 blocks.
[[gnu::always_inline]] inline void McBlocks(const H264DecKernelTable& k, const H264McFn* chroma2x2, H264McArgs* a,
                                            uint8_t* lumaBase, uint8_t* cbBase, uint8_t* crBase, int px, int py,
                                            int pw, int ph, int li, int ci) {
  const uint8_t* lumaSrc = a->lumaSrc;
  if (ph == 16) {
    for (int i = 0; i < pw / 8; ++i) {
      a->lumaSrc = lumaSrc + 8 * i;
      a->lumaDst = lumaBase + H264MbLumaPos(px + 8 * i, py);
      k.lumaMc8x16[li](a);
    }
  } else {
    const H264McFn fn = ph == 8 ? k.lumaMc4x8[li] : k.lumaMc4x4[li];
    for (int i = 0; i < pw / 4; ++i) {
      a->lumaSrc = lumaSrc + 4 * i;
      a->lumaDst = lumaBase + H264MbLumaPos(px + 4 * i, py);
      fn(a);
    }
  }
  const H264McFn fn = pw == 16 ? k.chromaMc8x4[ci] : pw == 8 ? k.chromaMc4x2[ci] : chroma2x2[ci];
  int rows = pw == 16 ? 4 : 2;
  const uint8_t* cbSrc = a->cbSrc;
  const uint8_t* crSrc = a->crSrc;
  for (int r = 0; r < ph / 2; r += rows) {
    a->cbSrc = cbSrc + r * a->chromaStride;
    a->crSrc = crSrc + r * a->chromaStride;
    a->cbDst = cbBase + 8 * (py / 2 + r) + px / 2;
    a->crDst = crBase + 8 * (py / 2 + r) + px / 2;
    fn(a);
  }
}

}  // namespace

void H264McByBlocks(const H264DecKernelTable& k, const H264McFn* chroma2x2, H264McArgs* a, uint8_t* lumaBase,
                    uint8_t* cbBase, uint8_t* crBase, int px, int py, int pw, int ph, int li, int ci) {
  McBlocks(k, chroma2x2, a, lumaBase, cbBase, crBase, px, py, pw, ph, li, ci);
}

namespace {

// The reference rectangles of a partition near or over the picture's edge:
// luma (xf/yf: fractions) and both chroma blocks, edge-extended where needed.
[[gnu::noinline]] void FetchNearEdge(const H264RefPlanes& rp, int planeW, int lx, int ly, int pw, int ph, int xf,
                                     int yf, int cx, int cy, int cw, int ch, H264McArgs* a, uint8_t* lumaBuf,
                                     uint8_t* cbBuf, uint8_t* crBuf) {
  const int stride = rp.stride, planeH = rp.height;
  int lumaStride = 0, chromaStride = 0;
  a->lumaSrc = Fetch(rp.luma, stride, planeW, planeH, lx - (xf ? 2 : 0), ly - (yf ? 2 : 0), pw + (xf ? 5 : 0),
                     ph + (yf ? 5 : 0), lumaBuf, &lumaStride);
  a->lumaStride = lumaStride;
  if (cx >= 0 && cy >= 0 && cx + cw <= planeW / 2 && cy + ch <= planeH / 2) {
    chromaStride = stride / 2;
    ptrdiff_t at = static_cast<ptrdiff_t>(cy) * chromaStride + cx;
    a->cbSrc = rp.cb + at;
    a->crSrc = rp.cr + at;
  } else {
    a->cbSrc = FetchEdge(rp.cb, stride / 2, planeW / 2, planeH / 2, cx, cy, cw, ch, cbBuf, &chromaStride);
    a->crSrc = FetchEdge(rp.cr, stride / 2, planeW / 2, planeH / 2, cx, cy, cw, ch, crBuf, &chromaStride);
  }
  a->chromaStride = chromaStride;
}

[[gnu::always_inline]] inline void McPartition(H264DecContext* ctx, int list, int ref, const int16_t* mv, int x, int y,
                                               int w, int h, H264InterPred* pred) {
  // An index without a picture leaves the prediction as it is.
  if (static_cast<uint32_t>(ref) >= kH264MaxRefs) [[unlikely]]
    return;
  const H264RefPlanes& rp = ctx->refPlanes[list][ref];
  if (!rp.luma) return;
  const H264DecKernelTable& k = ctx->kernels;
  H264MbWork& mb = ctx->mb;
  const int px = 4 * x, py = 4 * y, pw = 4 * w, ph = 4 * h;
  const int planeW = static_cast<int>(ctx->activeSps.width);
  // Both components of the vector in one load.
  uint32_t mvWord;
  std::memcpy(&mvWord, mv, 4);
  const int mvx = static_cast<int16_t>(mvWord), mvy = static_cast<int32_t>(mvWord) >> 16;
  const int chromaMvY = mvy + rp.chromaMvY;
  const int xf = mvx & 3, yf = mvy & 3;
  const int lx = 16 * mb.mbX + px + (mvx >> 2);
  const int ly = 16 * mb.mbY + py + (mvy >> 2);
  const int cfx = mvx & 7, cfy = chromaMvY & 7;
  // The chroma column is half the luma one (its origin is even).
  const int cx = lx >> 1, cy = 8 * mb.mbY + py / 2 + (chromaMvY >> 3);

  alignas(16) uint8_t lumaBuf[22 * kFetchStride];
  alignas(16) uint8_t cbBuf[10 * kFetchStride];
  alignas(16) uint8_t crBuf[10 * kFetchStride];
  // The record whole: the vector, the reference and its buffer, no geometry
  // codes (the kernels read only sources, fractions and destinations).
  const H264DecPicture* pic = ctx->refList[list][ref];
  H264McArgs a;
  a.mvx = static_cast<int16_t>(mvx);
  a.mvy = static_cast<int16_t>(mvy);
  a.refStructure = RefStructure(pic);
  a.refBuffer = pic->bufferIndex;
  a.lumaGeometry = a.chromaGeometry = 0;
  a.chromaFracX = static_cast<int16_t>(cfx);
  a.chromaFracY = static_cast<int16_t>(cfy);
  // Inside with two samples to spare on every side: the luma rectangle with
  // its filter taps and (the chroma position following the luma one within
  // a sample, a quarter sample more between fields) both chroma blocks.
  if (lx >= 2 && ly >= 2 && lx + pw + 3 <= planeW && ly + ph + 3 <= rp.height) [[likely]] {
    const int stride = rp.stride;
    a.lumaSrc = rp.luma + static_cast<ptrdiff_t>(ly - (yf ? 2 : 0)) * stride + lx - (xf ? 2 : 0);
    a.lumaStride = stride;
    const ptrdiff_t at = static_cast<ptrdiff_t>(cy) * (stride / 2) + cx;
    a.cbSrc = rp.cb + at;
    a.crSrc = rp.cr + at;
    a.chromaStride = stride / 2;
  } else {
    FetchNearEdge(rp, planeW, lx, ly, pw, ph, xf, yf, cx, cy, pw / 2 + (cfx ? 1 : 0), ph / 2 + (cfy ? 1 : 0), &a,
                  lumaBuf, cbBuf, crBuf);
  }
  uint8_t* lumaBase = list ? pred->l1 : mb.samples;
  uint8_t* cbBase = list ? pred->l1 + 256 : mb.samples + kMbSamplesCb;
  uint8_t* crBase = list ? pred->l1 + 320 : mb.samples + kMbSamplesCr;

  int li = 4 * xf + yf;
  int ci = (cfx ? 1 : 0) + (cfy ? 2 : 0);
  McBlocks(k, ctx->chromaMc2x2, &a, lumaBase, cbBase, crBase, px, py, pw, ph, li, ci);
  // The quadrants the partition covers: columns x / 2 .. (x + w - 1) / 2 as
  // bytes 0 and 1, rows likewise as the two byte pairs.
  uint32_t cols = ((x + w - 1) >> 1 ? 0x100u : 0u) | ((x >> 1) ? 0u : 1u);
  uint32_t quads = ((y + h - 1) >> 1 ? cols << 16 : 0u) | ((y >> 1) ? 0u : cols);
  uint32_t lists;
  std::memcpy(&lists, pred->lists, 4);
  lists |= quads << list;
  std::memcpy(pred->lists, &lists, 4);
}

}  // namespace

void H264McPartition(H264DecContext* ctx, int list, int ref, const int16_t* mv, int x, int y, int w, int h,
                     H264InterPred* pred) {
  // The whole macroblock (skipped and 16x16 ones) with its sizes known when
  // compiled.
  if (x == 0 && y == 0 && w == 4 && h == 4)
    McPartition(ctx, list, ref, mv, 0, 0, 4, 4, pred);
  else
    McPartition(ctx, list, ref, mv, x, y, w, h, pred);
}

void H264FinishQuadrants(H264DecContext* ctx, const H264InterPred& pred) {
  H264MbWork& mb = ctx->mb;
  const H264ReconFn* table = ctx->kernels.reconKernels + 4 * ctx->slice.wpMode;
  const bool plain = ctx->slice.wpMode == 0 && mb.cbp < 16;
  for (int q = 0; q < 4; ++q) {
    // A list-0 prediction without weights or residual is already the result.
    if (plain && (pred.lists[q] & 3) == 1 && !((mb.cbp >> q) & 1)) continue;
    H264ReconArgs a;
    a.luma = mb.samples + 64 * q;
    a.lumaL1 = pred.l1 + 64 * q;
    a.cb = mb.samples + kMbSamplesCb + kChromaQuadrant[q];
    a.cbL1 = pred.l1 + 256 + kChromaQuadrant[q];
    a.cr = mb.samples + kMbSamplesCr + kChromaQuadrant[q];
    a.crL1 = pred.l1 + 320 + kChromaQuadrant[q];
    a.quadrant = q;
    a.fieldMb = 0;
    table[pred.lists[q] & 3](&a, ctx);
  }
}

void H264ClearIntraMotion(H264DecContext* ctx) {
  H264MbMotion* m = ctx->nbMotion[kH264NbCurrent];
  std::memset(m->refIdxL0, -1, 4);
  std::memset(m->refIdxL1, -1, 4);
  std::memset(m->refStructL0, 255, 4);
  std::memset(m->refStructL1, 255, 4);
  std::memset(m->refPocL0, 0, sizeof m->refPocL0);
  std::memset(m->refPocL1, 0, sizeof m->refPocL1);
  std::memset(m->mvL0, 0, sizeof m->mvL0);
  std::memset(m->mvL1, 0, sizeof m->mvL1);
}

void H264MbEdgeStrengths(const H264MbInfo* cur, const H264MbMotion* m, const H264MbInfo* ni, const H264MbMotion* nm,
                         int dir, bool field, uint8_t* out) {
  if (m->mbType > 22 || nm->mbType > 22) {
    std::memset(out, dir && field ? 3 : 4, 4);
    return;
  }
  int limY = field ? 2 : 4;
  for (int k = 0; k < 4; ++k) {
    int bq = dir ? kH264BlkAt[0][k] : kH264BlkAt[k][0];
    int bp = dir ? kH264BlkAt[3][k] : kH264BlkAt[k][3];
    out[k] = cur->nonZero[bq] || ni->nonZero[bp] ? 2 : static_cast<uint8_t>(BlockStrength(nm, bp, m, bq, limY));
  }
}

void H264EdgeStrengthLeft(const H264MbMotion* nb, const H264MbMotion* cur, const H264MbInfo* nbInfo,
                          const H264MbInfo* curInfo, uint8_t* strengths) {
  H264MbEdgeStrengths(curInfo, cur, nbInfo, nb, 0, cur->fieldPic != 0, strengths);
}

void H264EdgeStrengthTop(const H264MbMotion* nb, const H264MbMotion* cur, const H264MbInfo* nbInfo,
                         const H264MbInfo* curInfo, uint8_t* strengths) {
  H264MbEdgeStrengths(curInfo, cur, nbInfo, nb, 1, cur->fieldPic != 0, strengths);
}

void H264InterStrengths(H264DecContext* ctx) {
  const H264SliceHeader& s = ctx->slice;
  if (s.disable_deblocking_filter_idc == 1) return;
  H264MbWork& w = ctx->mb;
  uint8_t* es = w.edgeStrength;
  const H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  const H264MbMotion* m = ctx->nbMotion[kH264NbCurrent];
  int limY = 4 >> s.field_pic_flag;

  // Macroblock edges: left (dir 0), top (dir 1).
  for (int dir = 0; dir < 2; ++dir) {
    int slot = dir ? kH264NbTop : kH264NbLeft;
    uint8_t* out = es + 8 * dir;
    const H264MbInfo* ni = ctx->nbInfo[slot];
    const H264MbMotion* nm = ctx->nbMotion[slot];
    if ((dir ? w.mbY : w.mbX) == 0 || (s.disable_deblocking_filter_idc == 2 && !ni->available))
      std::memset(out, 0, 4);
    else if (nm->mbType > 22)
      std::memset(out, dir && s.field_pic_flag ? 3 : 4, 4);
    else
      (dir ? ctx->kernels.edgeStrengthTop : ctx->kernels.edgeStrengthLeft)(nm, m, ni, cur, out);
  }

  // Inner edges: vertical x = 4, 8, 12 (segment k = row k), then horizontal.
  // Which edges can separate different motion follows from the partition
  // shape: none inside a 16x16 partition, only the middle one between two
  // 16x8 or 8x16 partitions.
  uint8_t* inner = es + 16;
  int t = m->mbType;
  bool isP = s.slice_type == kH264SliceP;
  bool whole = t == kH264MbSkip ? isP : isP ? t == 18 : (t >= 1 && t <= 3);
  bool is16x8 = isP ? t == 19 : (t >= 4 && t <= 21 && !(t & 1));
  bool is8x16 = isP ? t == 20 : (t >= 5 && t <= 21 && (t & 1));
  if (whole || UniformMotion(m)) {
    // One partition (or one motion): only coefficients make inner edges
    // (skipped macroblocks have none).
    if (t == kH264MbSkip)
      ctx->kernels.clearInnerStrengths(es);
    else
      ctx->kernels.innerStrengthsFromCoeffs(cur->nonZero, es);
  } else {
    // Coefficient strengths (2 or 0) from the kernel, motion strengths (1 or
    // 0) beside them; the larger one wins.
    alignas(16) uint8_t motion[24] = {};
    for (int dir = 0; dir < 2; ++dir)
      for (int e = 1; e < 4; ++e) {
        if ((is16x8 && (dir == 0 || e != 2)) || (is8x16 && (dir == 1 || e != 2))) continue;
        if (cur->transform8x8 && e != 2) continue;  // cleared below
        for (int k = 0; k < 4; ++k) {
          int bp = dir ? kH264BlkAt[e - 1][k] : kH264BlkAt[k][e - 1];
          int bq = dir ? kH264BlkAt[e][k] : kH264BlkAt[k][e];
          motion[12 * dir + 4 * (e - 1) + k] = static_cast<uint8_t>(BlockStrength(m, bp, m, bq, limY));
        }
      }
    ctx->kernels.innerStrengthsFromCoeffs(cur->nonZero, es);
    for (int i = 0; i < 24; ++i) inner[i] = std::max(inner[i], motion[i]);
  }
  if (cur->transform8x8) {
    std::memset(es + 16, 0, 4);
    std::memset(es + 24, 0, 4);
    std::memset(es + 28, 0, 4);
    std::memset(es + 36, 0, 4);
  }
}

void H264InterPSkip(H264DecContext* ctx) {
  H264MbInfo* cur = ctx->nbInfo[kH264NbCurrent];
  cur->transform8x8 = 0;
  // A and B first (P slices: list 0 alone); when either is missing or
  // still, the vector is zero and C is not needed.
  H264NbMotionCache nb;
  Neighbour(ctx, -1, 0, 0, &nb.a, false);
  Neighbour(ctx, 0, -1, 0, &nb.b, false);
  int16_t mv[2] = {0, 0};
  auto zero = [](const H264NbMotion& n) { return n.ref[0] == 0 && n.mv[0][0] == 0 && n.mv[0][1] == 0; };
  if (nb.a.available && nb.b.available && !zero(nb.a) && !zero(nb.b)) {
    Neighbour(ctx, 4, -1, 0, &nb.c, false);
    if (!nb.c.available) Neighbour(ctx, -1, -1, 0, &nb.c, false);
    H264MvPred(nb, 0, 0, mv);
  }
  H264InterPred pred;
  std::memset(pred.lists, 0, sizeof pred.lists);
  const int8_t refs[2] = {0, -1};
  const int16_t mvs[2][2] = {{mv[0], mv[1]}, {0, 0}};
  StorePair(ctx, 0, 0, 4, 4, refs, mvs);
  McPartition(ctx, 0, 0, mv, 0, 0, 4, 4, &pred);
  // No residual: the prediction is the result unless weights change it.
  if (!UnweightedFirstRef(ctx->slice)) H264FinishQuadrants(ctx, pred);
  H264InterStrengths(ctx);
  Stat(ctx, 8);
}

void H264InterMb(H264DecContext* ctx, const H264InterParams* p) {
  H264MbWork& w = ctx->mb;
  int type = ctx->nbMotion[kH264NbCurrent]->mbType;
  bool isP = ctx->slice.slice_type == kH264SliceP;
  H264InterPred pred;
  std::memset(pred.lists, 0, sizeof pred.lists);
  auto refs = [&](int i, int8_t* out) {
    out[0] = p->refIdx[0][i];
    out[1] = p->refIdx[1][i];
  };
  int8_t ref[2];
  int16_t mvd[2][2];
  auto mvdOf = [&](int i) {
    for (int l = 0; l < 2; ++l) {
      mvd[l][0] = p->mvd[l][i][0];
      mvd[l][1] = p->mvd[l][i][1];
    }
  };
  if (isP && type <= 20) {  // P_L0_16x16, 16x8, 8x16
    int parts = type == 18 ? 1 : 2;
    for (int i = 0; i < parts; ++i) {
      refs(i, ref);
      mvdOf(i);
      const Shape& s = type == 18 ? Shape{0, 0, 4, 4} : type == 19 ? k16x8[i] : k8x16[i];
      Partition(ctx, s, 1, ref, mvd, type - 18, i, &pred);
    }
    Stat(ctx, type - 14);
  } else if (!isP && type >= 1 && type <= 21) {
    int parts = type <= 3 ? 1 : 2;
    for (int i = 0; i < parts; ++i) {
      refs(i, ref);
      mvdOf(i);
      int lists = type <= 3 ? type : kH264BPartLists[(type - 4) >> 1][i];
      int dir = type <= 3 ? 0 : (type & 1) ? 2 : 1;
      const Shape& s = type <= 3 ? Shape{0, 0, 4, 4} : dir == 1 ? k16x8[i] : k8x16[i];
      Partition(ctx, s, lists, ref, mvd, dir, i, &pred);
    }
  } else {  // P_8x8, P_8x8ref0, B_8x8
    H264DirectState direct{};
    bool anyDirect = false;
    if (!isP)
      for (int b8 = 0; b8 < 4; ++b8) anyDirect |= w.subMbType[b8] == 0;
    if (anyDirect) H264DirectPrepare(ctx, &direct);
    if (isP) {
      // All four reference indexes first: the neighbours inside the
      // macroblock see them.
      for (int b8 = 0; b8 < 4; ++b8) {
        const int16_t zero[2][2] = {};
        const int8_t refs0[2] = {p->refIdx[0][b8], -1};
        H264StoreMotionPair(ctx, 2 * (b8 & 1), 2 * (b8 >> 1), 2, 2, refs0, zero);
      }
    }
    for (int b8 = 0; b8 < 4; ++b8) {
      int sub = w.subMbType[b8];
      if (!isP && sub == 0) {
        H264DirectBlock(ctx, direct, b8, &pred);
        continue;
      }
      int lists = isP ? 1 : kH264BSubLists[sub];
      int shape = isP ? sub : kH264BSubShape[sub];
      refs(b8, ref);
      for (int j = 0; j < kH264SubCount[shape]; ++j) {
        const uint8_t* part = kH264SubParts[shape][j];
        Shape s{static_cast<uint8_t>(part[0] + 2 * (b8 & 1)), static_cast<uint8_t>(part[1] + 2 * (b8 >> 1)), part[2],
                part[3]};
        mvdOf(4 * b8 + j);
        Partition(ctx, s, lists, ref, mvd, 0, 0, &pred);
      }
    }
    if (isP) Stat(ctx, 7);
  }
  H264FinishQuadrants(ctx, pred);
  H264InterStrengths(ctx);
}
