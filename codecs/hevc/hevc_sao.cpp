// The per-CTU loop-filter driver, sample adaptive offset (H.265 8.7.3), and
// the row copy and border kernels. SAO runs one CTB row and one CTB column
// behind the deblocking: a CTB is offset once the CTU below-right of it is
// deblocked, reading deblocked samples from the SAO source, where every CTB
// keeps a copy of its own before it is offset.
#include <cstring>

#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/hevc_tables_inline.h"

namespace hevc {

void HevcDeblockCtuEdges(const HevcCtu* ctu, HevcDecoder* dec, uint8_t* bsV, uint8_t* bsH);
void HevcDeblockCtu(HevcDecoder* dec, const HevcCtu* ctu, int x, int y, const uint8_t* bsV,
                    const uint8_t* bsH);
void HevcSetDeblockKernels(HevcDspTable* t);

namespace {

inline uint8_t Clip8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }
inline int Sign(int v) { return (v > 0) - (v < 0); }

void SaoBand(uint8_t* block, int stride, const HevcSaoParams* sao, int w, int h, int comp) {
  int offset[32] = {};
  for (int k = 0; k < 4; ++k)
    offset[(k + sao->aucSaoBandPosition[comp]) & 31] = sao->acSaoOffsetVal[comp][k + 1];
  for (int y = 0; y < h; ++y) {
    uint8_t* row = block + static_cast<ptrdiff_t>(y) * stride;
    for (int x = 0; x < w; ++x) row[x] = Clip8(row[x] + offset[row[x] >> 3]);
  }
}

// edges: the block touches the picture's left, top, right, bottom edge.
void SaoEdge(uint8_t* dst, const uint8_t* src, int stride, int srcStride, const HevcSaoParams* sao,
             const int32_t* edges, int w, int h, int comp) {
  const int cls = sao->aucSaoEoClass[comp];
  const int8_t* pos = kHevcSaoEoPos[cls];
  const ptrdiff_t a = pos[1] * static_cast<ptrdiff_t>(srcStride) + pos[0];
  const ptrdiff_t b = pos[3] * static_cast<ptrdiff_t>(srcStride) + pos[2];
  const int8_t* off = sao->acSaoOffsetVal[comp];
  const int x0 = edges[0] && cls != 1 ? 1 : 0, x1 = edges[2] && cls != 1 ? w - 1 : w;
  const int y0 = edges[1] && cls != 0 ? 1 : 0, y1 = edges[3] && cls != 0 ? h - 1 : h;
  for (int y = y0; y < y1; ++y) {
    const uint8_t* s = src + static_cast<ptrdiff_t>(y) * srcStride;
    uint8_t* d = dst + static_cast<ptrdiff_t>(y) * stride;
    for (int x = x0; x < x1; ++x) {
      const int v = s[x];
      d[x] = Clip8(v + off[kHevcSaoEdgeIdx[2 + Sign(v - s[x + a]) + Sign(v - s[x + b])]]);
    }
  }
}

void CopyRows(const uint8_t* src, uint8_t* dst, int width, int rows, int stride) {
  for (int y = 0; y < rows; ++y)
    std::memcpy(dst + static_cast<ptrdiff_t>(y) * stride, src + static_cast<ptrdiff_t>(y) * stride, width);
}

void ExtendBorders(int sidesDone, uint8_t* plane, int width, int height, int stride, int padX, int padY) {
  if (sidesDone != 1)
    for (int y = 0; y < height; ++y) {
      uint8_t* row = plane + static_cast<ptrdiff_t>(y) * stride;
      std::memset(row - padX, row[0], padX);
      std::memset(row + width, row[width - 1], padX);
    }
  const uint8_t* first = plane - padX;
  const uint8_t* last = plane + static_cast<ptrdiff_t>(height - 1) * stride - padX;
  for (int y = 1; y <= padY; ++y) {
    std::memcpy(plane - padX - static_cast<ptrdiff_t>(y) * stride, first, width + 2 * padX);
    std::memcpy(plane - padX + static_cast<ptrdiff_t>(height - 1 + y) * stride, last, width + 2 * padX);
  }
}

}  // namespace

// Side margins of luma rows [first, first + count) and of the chroma rows below them.
void HevcPadBorders(HevcDecoder* dec, int count, int first) {
  const HevcPictureInfo& g = dec->stPic;
  for (int c = 0; c < 3; ++c) {
    const int sh = c ? 1 : 0, pad = kPadX >> sh, w = c ? g.iWidthC : g.iWidth;
    const int stride = c ? g.iStrideC : g.iStride;
    for (int y = first >> sh; y < (first + count) >> sh; ++y) {
      uint8_t* row = dec->pCurPic->apucPlane[c] + static_cast<ptrdiff_t>(y) * stride;
      std::memset(row - pad, row[0], pad);
      std::memset(row + w, row[w - 1], pad);
    }
  }
}

namespace {

// The SAO source keeps, of every CTB offset so far, what its neighbours
// read: its first and last rows in place, and its first and last columns
// laid out as its second and third rows (a CTB is at least 4 samples high
// and, when narrower than high, ends the picture, where the margin takes the
// rest). The block and the source share the picture's stride.
void SaveSaoBorder(CopyRowsFn copy, const uint8_t* block, uint8_t* src, int stride, int w, int h) {
  const ptrdiff_t last = static_cast<ptrdiff_t>(h - 1) * stride;
  copy(block, src, w, 1, stride);
  copy(block + last, src + last, w, 1, stride);
  uint8_t* left = src + stride;
  uint8_t* right = src + 2 * static_cast<ptrdiff_t>(stride);
  const uint8_t* row = block;
  for (int y = 0; y < h; ++y, row += stride) {
    left[y] = row[0];
    right[y] = row[w - 1];
  }
}

// The SAO of one CTB at luma position (xL, yL).
void HevcSaoCtu(HevcDecoder* dec, const HevcCtu* ctu, int xL, int yL) {
  const HevcSps* sps = dec->pSps;
  const HevcPps* pps = dec->pPps;
  if (!sps->sample_adaptive_offset_enabled_flag) return;
  const HevcPictureInfo& g = dec->stPic;
  const int log2 = ctu->iLog2CtbSize, S = ctu->iCtbSize;
  const int wc = g.PicWidthInCtbsY, hc = g.PicHeightInCtbsY;
  const int cx = xL >> log2, cy = yL >> log2, rs = cy * wc + cx;
  const HevcSaoParams* sao = &dec->pSaoParamMap[rs];
  if (!sao->aucSaoTypeIdx[0] && !sao->aucSaoTypeIdx[1] && !sao->aucSaoTypeIdx[2]) return;
  const HevcDspTable& t = dec->stDsp;
  // the neighbours, dx and dy from -1 to 1; blocked: no filtering across
  int nrs[3][3];
  bool blocked[3][3] = {};
  bool anyBlocked = false;
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      const int nx = cx + dx, ny = cy + dy;
      nrs[dy + 1][dx + 1] = (nx < 0 || ny < 0 || nx >= wc || ny >= hc || (!dx && !dy)) ? -1 : ny * wc + nx;
      const int n = nrs[dy + 1][dx + 1];
      if (n < 0) continue;
      const int ts = pps->CtbAddrRsToTs[rs], tsN = pps->CtbAddrRsToTs[n];
      bool b = false;
      if (dec->pCtbSliceAddrMap[n] != dec->pCtbSliceAddrMap[rs])
        b = !dec->pCtbLfAcrossSlicesMap[tsN > ts ? n : rs];
      if (pps->tiles_enabled_flag && !pps->loop_filter_across_tiles_enabled_flag &&
          pps->TileId[ts] != pps->TileId[tsN])
        b = true;
      blocked[dy + 1][dx + 1] = b;
      anyBlocked |= b;
    }
  // PCM with the loop filter off and transquant-bypass blocks keep their deblocked samples
  const bool pcm = sps->pcm_enabled_flag && sps->pcm_loop_filter_disabled_flag;
  const bool keep = pcm || pps->transquant_bypass_enabled_flag;
  const int stride8 = dec->iMap4Stride / 2;
  HevcPicture* pic = dec->pCurPic;
  const auto copy = Kernel<CopyRowsFn>(t, kSlotCopyRows);
  for (int c = 0; c < 3; ++c) {
    const int type = sao->aucSaoTypeIdx[c];
    if (!type) continue;
    const int sh = c ? 1 : 0, s = S >> sh, stride = c ? g.iStrideC : g.iStride;
    // the CTB's deblocked samples with a ring of neighbours, at the picture's stride
    uint8_t* const tmp = dec->pSaoScratch + stride + 16;
    const int pw = c ? g.iWidthC : g.iWidth, ph = c ? g.iHeightC : g.iHeight;
    const int x0 = xL >> sh, y0 = yL >> sh;
    const int w = x0 + s < pw ? s : pw - x0, h = y0 + s < ph ? s : ph - y0;
    uint8_t* dst = pic->apucPlane[c] + static_cast<ptrdiff_t>(y0) * stride + x0;
    uint8_t* src = dec->apSaoPlane[c] + static_cast<ptrdiff_t>(y0) * stride + x0;
    const uint8_t bit = static_cast<uint8_t>(1 << c);
    // offset already: its deblocked border is in the SAO source; otherwise
    // (or outside the picture, never read) the picture holds it
    auto done = [&](int dy, int dx) {
      const int n = nrs[dy + 1][dx + 1];
      return n >= 0 && (dec->pSaoDoneMap[n] & bit);
    };
    const bool edge = type == 2;
    const ptrdiff_t up = -static_cast<ptrdiff_t>(stride), down = static_cast<ptrdiff_t>(h) * stride;
    if (edge || keep) {
      // the picture's margins hold the ring outside the picture; the rows
      // above and below exactly
      std::memcpy(tmp + up - 1, dst + up - 1, w + 2);
      std::memcpy(tmp + down - 1, dst + down - 1, w + 2);
      // the CTB's rows in whole sixteens, reading past the ring into the
      // right neighbour or the margin (whose samples no other thread writes
      // meanwhile): from one sample left where a left CTB has not been
      // offset, else from the CTB (its left column comes from the SAO source,
      // or at the picture's edge is never read)
      if (cx > 0 && !done(0, -1))
        Kernel<CopyRowsFn>(t, kSlotCopyRowsLeft)(dst - 1, tmp - 1, (w + 2 + 15) & ~15, h, stride);
      else
        copy(dst, tmp, (w + 1 + 15) & ~15, h, stride);
      if (done(0, -1)) {
        const uint8_t* col = src - s + 2 * static_cast<ptrdiff_t>(stride);  // the left one's last column
        uint8_t* to = tmp - 1;
        for (int y = 0; y < h; ++y, to += stride) *to = col[y];
      }
      if (done(0, 1)) {
        const uint8_t* col = src + w + stride;  // the right one's first column
        uint8_t* to = tmp + w;
        for (int y = 0; y < h; ++y, to += stride) *to = col[y];
      }
      if (done(-1, 0)) std::memcpy(tmp + up, src + up, w);
      if (done(1, 0)) std::memcpy(tmp + down, src + down, w);
      if (done(-1, -1)) tmp[up - 1] = src[up - 1];
      if (done(-1, 1)) tmp[up + w] = src[up + w];
      if (done(1, -1)) tmp[down - 1] = src[down - 1];
      if (done(1, 1)) tmp[down + w] = src[down + w];
      SaveSaoBorder(copy, tmp, src, stride, w, h);
    } else {
      SaveSaoBorder(copy, dst, src, stride, w, h);
    }
    dec->pSaoDoneMap[rs] |= bit;
    if (!edge) {
      Kernel<SaoBandFn>(t, kSlotSaoBand)(dst, stride, sao, w, h, c);
    } else {
      const int32_t edges[4] = {x0 == 0, y0 == 0, x0 + w == pw, y0 + h == ph};
      Kernel<SaoEdgeFn>(t, kSlotSaoEdge)(dst, tmp, stride, stride, sao, edges, w, h, c);
      // samples whose class reaches into a neighbour across a blocked
      // boundary keep their deblocked values; only the border can
      if (anyBlocked) {
        const int8_t* pos = kHevcSaoEoPos[sao->aucSaoEoClass[c]];
        auto restore = [&](int xx, int yy) {
          for (int k = 0; k < 2; ++k) {
            const int nx = xx + pos[2 * k], ny = yy + pos[2 * k + 1];
            const int dx = nx < 0 ? -1 : nx >= w ? 1 : 0, dy = ny < 0 ? -1 : ny >= h ? 1 : 0;
            if ((dx || dy) && blocked[dy + 1][dx + 1]) {
              dst[static_cast<ptrdiff_t>(yy) * stride + xx] = tmp[static_cast<ptrdiff_t>(yy) * stride + xx];
              return;
            }
          }
        };
        for (int xx = 0; xx < w; ++xx) {
          restore(xx, 0);
          restore(xx, h - 1);
        }
        for (int yy = 1; yy < h - 1; ++yy) {
          restore(0, yy);
          restore(w - 1, yy);
        }
      }
    }
    if (!keep) continue;
    for (int y = yL; y < yL + S && y + 8 <= g.iHeight; y += 8)
      for (int x = xL; x < xL + S && x + 8 <= g.iWidth; x += 8) {
        const uint8_t v = dec->pPcmBypassMap[static_cast<size_t>(y >> 3) * stride8 + (x >> 3)];
        if (!((v & 2) || (pcm && (v & 1)))) continue;
        const ptrdiff_t at = static_cast<ptrdiff_t>((y - yL) >> sh) * stride + ((x - xL) >> sh);
        copy(tmp + at, dst + at, 8 >> sh, 8 >> sh, stride);
      }
  }
}

}  // namespace

void HevcFilterCtu(HevcDecoder* dec, const HevcCtu* ctu) {
  uint8_t bsV[256], bsH[256];
  std::memset(bsV, 0, sizeof bsV);
  std::memset(bsH, 0, sizeof bsH);
  HevcDeblockCtuEdges(ctu, dec, bsV, bsH);
  const int x = ctu->iPixX, y = ctu->iPixY, S = ctu->iCtbSize;
  HevcDeblockCtu(dec, ctu, x, y, bsV, bsH);
  const int W = dec->stPic.iWidth, H = dec->stPic.iHeight;
  const bool threads = dec->eThreadType == 1;
  if (y > 0) {
    if (x > 0) HevcSaoCtu(dec, ctu, x - S, y - S);
    if (x >= W - S) {
      HevcSaoCtu(dec, ctu, x, y - S);
      if (threads && ctu->iCtbY > 1) HevcPadBorders(dec, S, y - 2 * S);
    }
  }
  if (x > 0 && y >= H - S) HevcSaoCtu(dec, ctu, x - S, y);
  if (x >= W - S && y >= H - S) {
    HevcSaoCtu(dec, ctu, x, y);
    if (threads) HevcPadBorders(dec, S, y - S);
  }
}

void HevcSetLoopFilterKernels(HevcDspTable* t) {
  HevcSetDeblockKernels(t);
  t->slot[kSlotSaoBand] = reinterpret_cast<HevcKernel>(&SaoBand);
  t->slot[kSlotSaoEdge] = reinterpret_cast<HevcKernel>(&SaoEdge);
}

void HevcSetCopyKernels(HevcDspTable* t) {
  t->slot[kSlotCopyRows] = t->slot[kSlotCopyRowsLeft] = reinterpret_cast<HevcKernel>(&CopyRows);
  t->slot[kSlotBorder] = reinterpret_cast<HevcKernel>(&ExtendBorders);
}

}  // namespace hevc
