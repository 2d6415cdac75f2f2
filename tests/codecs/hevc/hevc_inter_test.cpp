// Inter prediction and in-loop filters: the motion-compensation, deblocking
// and SAO kernels on their edge cases, and whole streams from the stream
// writer where ffmpeg cannot be the judge (it departs from H.265 there) or
// where the decoder's own bookkeeping is at stake.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "codecs/hevc/hevc_tables.h"
#include "codecs/hevc/hevc_tables_inline.h"
#include "tests/codecs/hevc/hevc_test_util.h"
#include "tests/codecs/hevc/stream_writer.h"

namespace hevc_test {
namespace {

using namespace hevc;

// ------------------------------------------------------------------ kernels

struct Kernels {
  Decoder d;
  const HevcDspTable& t() { return d.dec()->stDsp; }
  template <typename F>
  F K(int slot) {
    return Kernel<F>(t(), slot);
  }
};

// A padded source plane: 64 + 16 columns and rows around a block origin.
struct Source {
  static constexpr int kStride = 96;
  std::vector<uint8_t> buf = std::vector<uint8_t>(kStride * kStride);
  uint8_t* at() { return buf.data() + 8 * kStride + 8; }
  void Random(uint32_t seed) {
    std::mt19937 r(seed);
    for (auto& v : buf) v = static_cast<uint8_t>(r());
  }
};

TEST(HevcMcKernels, HalfHalfExtremesFitTheirIntermediates) {
  // Half-sample taps in both directions over a source that is 255 where the
  // two taps share their sign: the largest second-pass value, and its inverse.
  Kernels k;
  for (int invert = 0; invert < 2; ++invert) {
    Source s;
    const int8_t* f = kHevcLumaFilter[2];
    for (int y = -3; y <= 4; ++y)
      for (int x = -3; x <= 4; ++x) {
        const bool same = (f[y + 3] > 0) == (f[x + 3] > 0);
        s.at()[y * Source::kStride + x] = (same != (invert != 0)) ? 255 : 0;
      }
    int16_t mid[64 * 64];
    k.K<Mc14Fn>(kSlotMcLuma14 + 10)(mid, 64, s.at(), Source::kStride, 1, 1);
    uint8_t out = 7;
    k.K<McUniFn>(kSlotMcLumaUni + 10)(&out, 1, s.at(), Source::kStride, 1, 1);
    EXPECT_EQ(mid[0], invert ? -25022 : 24958);
    EXPECT_EQ(out, invert ? 0 : 255);
  }
}

TEST(HevcMcKernels, BiPredictionAddsBackTheTwoDimensionalOffsets) {
  // Every pair of luma positions: the fused member equals the rounded mean
  // of the two intermediates with their offsets restored.
  Kernels k;
  Source a, b;
  a.Random(1);
  b.Random(2);
  const int w = 8, h = 4;
  for (int p0 = 0; p0 < 16; ++p0)
    for (int p1 = 0; p1 < 16; ++p1) {
      int16_t m0[64 * 64], m1[64 * 64];
      k.K<Mc14Fn>(kSlotMcLuma14 + p0)(m0, 64, a.at(), Source::kStride, w, h);
      k.K<Mc14Fn>(kSlotMcLuma14 + p1)(m1, 64, b.at(), Source::kStride, w, h);
      const int f0 = (p0 >> 2) && (p0 & 3), f1 = (p1 >> 2) && (p1 & 3);
      uint8_t out[4 * 8];
      k.K<McLumaBiFn>(kSlotMcLumaBi + p1)(out, 8, b.at(), Source::kStride, m0, w, h, f0);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const int v = (m0[y * 64 + x] + 8192 * f0 + m1[y * 64 + x] + 8192 * f1 + 64) >> 7;
          ASSERT_EQ(out[y * 8 + x], v < 0 ? 0 : v > 255 ? 255 : v) << p0 << " " << p1;
        }
    }
}

TEST(HevcMcKernels, TheSameVectorTwiceIsTheOneListPrediction) {
  Kernels k;
  Source a;
  a.Random(3);
  for (int p = 0; p < 16; ++p) {
    int16_t m[64 * 64];
    k.K<Mc14Fn>(kSlotMcLuma14 + p)(m, 64, a.at(), Source::kStride, 16, 8);
    uint8_t bi[16 * 8], uni[16 * 8];
    k.K<McLumaBiFn>(kSlotMcLumaBi + p)(bi, 16, a.at(), Source::kStride, m, 16, 8, (p >> 2) && (p & 3));
    k.K<McUniFn>(kSlotMcLumaUni + p)(uni, 16, a.at(), Source::kStride, 16, 8);
    EXPECT_EQ(std::memcmp(bi, uni, sizeof bi), 0) << p;
  }
  for (int fx = 0; fx < 8; ++fx)
    for (int fy = 0; fy < 8; ++fy) {
      if (!fx && !fy) continue;
      int16_t m[64 * 64];
      uint8_t bi[8 * 4], uni[8 * 4];
      if (!fy) {
        k.K<Mc14_1Fn>(kSlotMcChroma14 + 1)(m, 64, a.at(), Source::kStride, 8, 4, fx);
        k.K<McChromaBi1Fn>(kSlotMcChromaBi + 1)(bi, 8, a.at(), Source::kStride, m, 8, 4, fx);
        k.K<McUni1Fn>(kSlotMcChromaUni + 1)(uni, 8, a.at(), Source::kStride, 8, 4, fx);
      } else if (!fx) {
        k.K<Mc14_1Fn>(kSlotMcChroma14 + 2)(m, 64, a.at(), Source::kStride, 8, 4, fy);
        k.K<McChromaBi1Fn>(kSlotMcChromaBi + 2)(bi, 8, a.at(), Source::kStride, m, 8, 4, fy);
        k.K<McUni1Fn>(kSlotMcChromaUni + 2)(uni, 8, a.at(), Source::kStride, 8, 4, fy);
      } else {
        k.K<Mc14_2Fn>(kSlotMcChroma14 + 3)(m, 64, a.at(), Source::kStride, 8, 4, fx, fy);
        k.K<McChromaBi2Fn>(kSlotMcChromaBi + 3)(bi, 8, a.at(), Source::kStride, m, 8, 4, fx, fy);
        k.K<McUni2Fn>(kSlotMcChromaUni + 3)(uni, 8, a.at(), Source::kStride, 8, 4, fx, fy);
      }
      EXPECT_EQ(std::memcmp(bi, uni, sizeof bi), 0) << fx << " " << fy;
    }
}

TEST(HevcMcKernels, UnitWeightsGiveTheDefaultPrediction) {
  // Weight 1 << denominator and offset 0: one list rounds like the plain
  // kernel, two lists like the average; the two-dimensional flag restores the
  // offset the same way in both.
  Kernels k;
  Source a, b;
  a.Random(4);
  b.Random(5);
  for (int denom = 0; denom < 8; ++denom)
    for (int p : {0, 2, 5, 10, 15}) {
      const int flag = (p >> 2) && (p & 3);
      int16_t m0[64 * 64], m1[64 * 64];
      k.K<Mc14Fn>(kSlotMcLuma14 + p)(m0, 64, a.at(), Source::kStride, 12, 6);
      k.K<Mc14Fn>(kSlotMcLuma14 + p)(m1, 64, b.at(), Source::kStride, 12, 6);
      uint8_t wu[12 * 6], plain[12 * 6], wb[12 * 6], avg[12 * 6];
      k.K<WeightedUniFn>(kSlotWeightedUniY)(denom, 1 << denom, 0, wu, 12, m0, 64, 12, 6, flag);
      k.K<McUniFn>(kSlotMcLumaUni + p)(plain, 12, a.at(), Source::kStride, 12, 6);
      EXPECT_EQ(std::memcmp(wu, plain, sizeof wu), 0) << denom << " " << p;
      k.K<WeightedBiFn>(kSlotWeightedBiY)(denom, 1 << denom, 1 << denom, 0, 0, wb, 12, m0, m1, 64, 12, 6,
                                          flag, flag);
      k.K<McLumaBiFn>(kSlotMcLumaBi + p)(avg, 12, b.at(), Source::kStride, m0, 12, 6, flag);
      EXPECT_EQ(std::memcmp(wb, avg, sizeof wb), 0) << denom << " " << p;
    }
}

TEST(HevcMcKernels, NarrowBlocksWriteNothingBesideThem) {
  Kernels k;
  Source a;
  a.Random(6);
  struct Case {
    int slot, w, h, kind;  // kind 0 luma 8-bit, 1 luma 14, 2 chroma 8-bit 2-D, 3 weighted
  };
  const Case cases[] = {{kSlotMcLumaUni + 5, 4, 8, 0},   {kSlotMcLumaUni + 15, 12, 4, 0},
                        {kSlotMcLuma14 + 6, 4, 4, 1},    {kSlotMcLuma14 + 9, 12, 8, 1},
                        {kSlotMcChromaUni + 3, 2, 4, 2}, {kSlotMcChromaUni + 3, 6, 2, 2},
                        {kSlotWeightedUniC, 2, 2, 3},    {kSlotWeightedUniY, 6, 4, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slot);
    uint8_t out[16 * 16];
    int16_t mid[16 * 16];
    std::memset(out, 0xA5, sizeof out);
    for (auto& v : mid) v = 0x5A5A;
    int16_t src14[64 * 64] = {};
    switch (c.kind) {
      case 0:
        k.K<McUniFn>(c.slot)(out, 16, a.at(), Source::kStride, c.w, c.h);
        break;
      case 1:
        k.K<Mc14Fn>(c.slot)(mid, 16, a.at(), Source::kStride, c.w, c.h);
        break;
      case 2:
        k.K<McUni2Fn>(c.slot)(out, 16, a.at(), Source::kStride, c.w, c.h, 3, 5);
        break;
      default:
        k.K<WeightedUniFn>(c.slot)(2, 5, -3, out, 16, src14, 64, c.w, c.h, 0);
        break;
    }
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        if (x < c.w && y < c.h) continue;
        if (c.kind == 1)
          ASSERT_EQ(mid[y * 16 + x], 0x5A5A) << x << "," << y;
        else
          ASSERT_EQ(out[y * 16 + x], 0xA5) << x << "," << y;
      }
  }
}

// ------------------------------------------------------------------ filters

TEST(HevcLoopFilterKernels, MotionBoundaryStrength) {
  Kernels k;
  auto bs = k.K<BsMotionFn>(kSlotBsMotion);
  auto one = [](int buf, int x, int y) {
    HevcMotionInfo m{};
    m.predFlagL0 = 1;
    m.bufIdxL0 = static_cast<uint8_t>(buf);
    m.mvL0[0] = static_cast<int16_t>(x);
    m.mvL0[1] = static_cast<int16_t>(y);
    return m;
  };
  auto two = [](int b0, int x0, int b1, int x1) {
    HevcMotionInfo m{};
    m.predFlagL0 = m.predFlagL1 = 1;
    m.bufIdxL0 = static_cast<uint8_t>(b0);
    m.bufIdxL1 = static_cast<uint8_t>(b1);
    m.mvL0[0] = static_cast<int16_t>(x0);
    m.mvL1[0] = static_cast<int16_t>(x1);
    return m;
  };
  HevcMotionInfo l1only{};
  l1only.predFlagL1 = 1;
  l1only.bufIdxL1 = 2;
  l1only.mvL1[1] = 3;
  struct Case {
    const char* what;
    HevcMotionInfo q, p;
    int want;
  };
  const Case cases[] = {
      {"same picture, 3 apart", one(2, 0, 0), one(2, 3, -3), 0},
      {"same picture, 4 apart", one(2, 0, 0), one(2, 0, 4), 1},
      {"other picture", one(2, 0, 0), one(3, 0, 0), 1},
      {"the same picture through list 1", one(2, 0, 0), l1only, 0},
      {"one vector against two", one(2, 0, 0), two(2, 0, 3, 0), 1},
      {"two pictures crossed", two(2, 8, 3, -8), two(3, -8, 2, 8), 0},
      {"two pictures crossed, far", two(2, 8, 3, -8), two(3, -4, 2, 8), 1},
      {"one picture twice, one pairing near", two(2, 0, 2, 40), two(2, 40, 2, 1), 0},
      {"one picture twice, no pairing near", two(2, 0, 2, 40), two(2, 20, 2, 20), 1},
      {"different pairs", two(2, 0, 3, 0), two(2, 0, 4, 0), 1},
  };
  for (const Case& c : cases) EXPECT_EQ(bs(&c.q, &c.p), c.want) << c.what;
}

TEST(HevcLoopFilterKernels, SaoBandAndEdgeAtTheirLimits) {
  Kernels k;
  // band position 30: bands 30, 31, 0 and 1 take offsets 1 to 4
  HevcSaoParams sao{};
  sao.aucSaoTypeIdx[0] = 1;
  sao.aucSaoBandPosition[0] = 30;
  for (int i = 1; i <= 4; ++i) sao.acSaoOffsetVal[0][i] = static_cast<int8_t>(i);
  uint8_t block[6] = {240, 248, 0, 8, 16, 255};
  k.K<SaoBandFn>(kSlotSaoBand)(block, 6, &sao, 6, 1, 0);
  const uint8_t band[6] = {241, 250, 3, 12, 16, 255};
  EXPECT_EQ(std::memcmp(block, band, 6), 0);
  // edge class 0 leaves the first column at the left picture edge; class 1 does not
  for (int cls = 0; cls < 2; ++cls) {
    HevcSaoParams e{};
    e.aucSaoTypeIdx[0] = 2;
    e.aucSaoEoClass[0] = static_cast<uint8_t>(cls);
    for (int i = 1; i <= 4; ++i) e.acSaoOffsetVal[0][i] = static_cast<int8_t>(i < 3 ? 5 : -5);
    uint8_t src[5 * 8], dst[5 * 8];
    for (int i = 0; i < 40; ++i) src[i] = static_cast<uint8_t>((i * 37) % 200);
    std::memcpy(dst, src, sizeof dst);
    const int32_t edges[4] = {1, 0, 0, 0};
    k.K<SaoEdgeFn>(kSlotSaoEdge)(dst + 8 + 1, src + 8 + 1, 8, 8, &e, edges, 4, 3, 0);
    bool firstColumnChanged = false;
    for (int y = 1; y < 4; ++y) firstColumnChanged |= dst[y * 8 + 1] != src[y * 8 + 1];
    EXPECT_EQ(firstColumnChanged, cls == 1) << cls;
  }
}

// ------------------------------------------------------------------ streams

// Every picture the stream gives, as cropped I420 bytes, and the first error.
int32_t DecodeAll(const std::vector<uint8_t>& s, int maxW, int maxH, int maxRef,
                  std::vector<std::vector<uint8_t>>* pics, std::vector<int>* strides = nullptr,
                  void (*prepare)(HevcDecoder*) = nullptr) {
  Decoder d(maxW, maxH, 1, maxRef);
  if (prepare) prepare(d.dec());
  int32_t first = 0;
  auto take = [&](const IH265D_OutArgs& o) {
    std::vector<uint8_t> p;
    for (int c = 0; c < 3; ++c) {
      const uint8_t* plane = c == 0 ? o.pPlaneY : c == 1 ? o.pPlaneU : o.pPlaneV;
      const int w = c ? (o.iPicWidth + 1) / 2 : o.iPicWidth, h = c ? (o.iPicHeight + 1) / 2 : o.iPicHeight;
      const int stride = c ? o.iChromaStride : o.iLumaStride;
      for (int y = 0; y < h; ++y)
        p.insert(p.end(), plane + static_cast<ptrdiff_t>(y) * stride, plane + y * stride + w);
    }
    pics->push_back(p);
    if (strides) strides->push_back(o.iLumaStride);
  };
  size_t done = 0;
  for (int guard = 0; guard < 100000; ++guard) {
    IH265D_InArgs in{s.data() + done, static_cast<uint32_t>(s.size() - done), 0, 0};
    IH265D_OutArgs out{};
    const int32_t rc = IH265D_Decode(d.handle(), &in, &out);
    done += out.iBytesTaken;
    if (rc == 0 && out.DecodeStatus == IH265D_GETDISPLAY) take(out);
    if (rc != 0 && rc != IH265D_NEED_MORE && !first) first = rc;
    if (rc == IH265D_NEED_MORE) break;
  }
  for (int guard = 0; guard < 64; ++guard) {
    IH265D_InArgs in{nullptr, 0, 0, 1};
    IH265D_OutArgs out{};
    if (IH265D_Decode(d.handle(), &in, &out) != 0 || out.DecodeStatus != IH265D_GETDISPLAY) break;
    take(out);
  }
  return first;
}

StreamPlan Case(const char* name) {
  StreamPlan s;
  EXPECT_TRUE(WriterCase(name, &s)) << name;
  return s;
}

TEST(HevcWriterStreams, FifteenReferencesNeedTheCallersFifteen) {
  const StreamPlan plan = Case("refs15");
  const std::vector<uint8_t> s = WriteStream(plan);
  std::vector<std::vector<uint8_t>> pics;
  EXPECT_EQ(DecodeAll(s, 64, 64, 15, &pics), 0) << Decoder::All();
  EXPECT_EQ(pics.size(), plan.pictures.size());
  // with 4, every picture that names more than 4 is refused cleanly
  pics.clear();
  EXPECT_EQ(DecodeAll(s, 64, 64, 4, &pics), IH265D_ERR_REFNUM);
  EXPECT_TRUE(Decoder::Said("The value of RefPic is 5, should be less than or equal to 4!"))
      << Decoder::All();
  EXPECT_EQ(pics.size(), 5u);
}

TEST(HevcWriterStreams, WavefrontRowsAfterAMidRowSliceStartAfresh) {
  // Slices that begin at the third CTB of a row or later: the next row's
  // above-right CTB belongs to another slice, so the row starts with fresh
  // contexts (H.265 9.3.1). The same stream without wavefronts must give the
  // same pictures. (ffmpeg restores the other slice's contexts here.)
  StreamPlan plan = Case("wpp-midrow");
  for (auto& p : plan.pictures) p.slices = {};
  for (auto& p : plan.pictures) {
    for (int ts : {0, 5, 11, 21, 26}) {
      SlicePlan sl;
      sl.firstTs = ts;
      sl.dependent = ts == 11 || ts == 26;
      p.slices.push_back(sl);
    }
  }
  std::vector<std::vector<uint8_t>> wpp, plain;
  ASSERT_EQ(DecodeAll(WriteStream(plan), 256, 128, 4, &wpp), 0) << Decoder::All();
  plan.pps.wpp = false;
  ASSERT_EQ(DecodeAll(WriteStream(plan), 256, 128, 4, &plain), 0) << Decoder::All();
  ASSERT_EQ(wpp.size(), plan.pictures.size());
  EXPECT_TRUE(wpp == plain);
}

// SAO of a whole picture, the plain way (H.265 8.7.3) from the deblocked
// picture, with the decoder's per-CTB parameters and maps.
std::vector<uint8_t> ReferenceSao(HevcDecoder* dec, const std::vector<uint8_t>& deblocked) {
  const HevcPictureInfo& g = dec->stPic;
  const HevcPps* pps = dec->pPps;
  const HevcSps* sps = dec->pSps;
  std::vector<uint8_t> out = deblocked;
  const int log2 = sps->CtbLog2SizeY;
  size_t planeOff = 0;
  for (int c = 0; c < 3; ++c) {
    const int sh = c ? 1 : 0, w = g.iWidth >> sh, h = g.iHeight >> sh;
    auto in = [&](int x, int y) { return deblocked[planeOff + static_cast<size_t>(y) * w + x]; };
    auto ctb = [&](int x, int y) { return ((y << sh) >> log2) * g.PicWidthInCtbsY + ((x << sh) >> log2); };
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int rs = ctb(x, y);
        const HevcSaoParams& sao = dec->pSaoParamMap[rs];
        const int type = sao.aucSaoTypeIdx[c];
        if (!type) continue;
        const uint8_t pb = dec->pPcmBypassMap[static_cast<size_t>((y << sh) >> 3) * (dec->iMap4Stride / 2) +
                                              ((x << sh) >> 3)];
        if ((pb & 2) || ((pb & 1) && sps->pcm_enabled_flag && sps->pcm_loop_filter_disabled_flag)) continue;
        const int v = in(x, y);
        int off = 0;
        if (type == 1) {
          const int k = ((v >> 3) - sao.aucSaoBandPosition[c] + 32) & 31;
          if (k < 4) off = sao.acSaoOffsetVal[c][k + 1];
        } else {
          int sum = 2;
          bool skip = false;
          for (int n = 0; n < 2 && !skip; ++n) {
            const int nx = x + kHevcSaoEoPos[sao.aucSaoEoClass[c]][2 * n];
            const int ny = y + kHevcSaoEoPos[sao.aucSaoEoClass[c]][2 * n + 1];
            if (nx < 0 || ny < 0 || nx >= w || ny >= h) {
              skip = true;
              break;
            }
            const int nrs = ctb(nx, ny);
            const int ts = pps->CtbAddrRsToTs[rs], tsN = pps->CtbAddrRsToTs[nrs];
            if (dec->pCtbSliceAddrMap[nrs] != dec->pCtbSliceAddrMap[rs] &&
                !dec->pCtbLfAcrossSlicesMap[tsN > ts ? nrs : rs])
              skip = true;
            if (pps->tiles_enabled_flag && !pps->loop_filter_across_tiles_enabled_flag &&
                pps->TileId[ts] != pps->TileId[tsN])
              skip = true;
            const int nv = in(nx, ny);
            sum += (v > nv) - (v < nv);
          }
          if (skip) continue;
          static const int kRemap[5] = {1, 2, 0, 3, 4};
          off = sao.acSaoOffsetVal[c][kRemap[sum]];
        }
        const int r = v + off;
        out[planeOff + static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
      }
    planeOff += static_cast<size_t>(w) * h;
  }
  return out;
}

TEST(HevcWriterStreams, SaoMatchesAWholePictureReference) {
  // The CTU-pipelined SAO (one CTB row and column behind the deblocking,
  // reading deblocked samples from the SAO source) against SAO of the whole
  // deblocked picture: at CTBs of 16 (whose chroma corners ffmpeg offsets
  // before their deblocking ends), in PCM and bypass blocks (whose chroma
  // ffmpeg offsets), and across slice and tile boundaries that the later
  // slice closes (which ffmpeg crosses).
  struct Variant {
    const char* name;
    void (*tweak)(StreamPlan*);
  };
  const Variant variants[] = {
      {"ctb16-deblock", [](StreamPlan* s) { s->pictures[0].saoLuma = s->pictures[0].saoChroma = true; }},
      {"pcm-nofilter", [](StreamPlan* s) { s->pictures[0].saoChroma = true; }},
      {"bypass", [](StreamPlan* s) { s->pictures[0].saoChroma = true; }},
      {"deblock-slices",
       [](StreamPlan* s) {
         s->pictures[0] = s->pictures[3];
         s->pictures[0].nalType = 19;
         s->pictures[0].sliceType = 2;
         s->pictures[0].poc = 0;
         s->pictures[0].stRefs.clear();
         s->pictures[0].saoLuma = s->pictures[0].saoChroma = true;
       }},
      {"tiles-explicit-nolf", [](StreamPlan*) {}},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    StreamPlan plan = Case(v.name);
    v.tweak(&plan);
    plan.pictures.resize(1);
    const int w = static_cast<int>(plan.sps.width), h = static_cast<int>(plan.sps.height);
    std::vector<std::vector<uint8_t>> full, deblocked;
    Decoder d(w, h);
    int n = 0;
    ASSERT_EQ(d.Stream(WriteStream(plan), &n), 0) << Decoder::All();
    ASSERT_EQ(DecodeAll(WriteStream(plan), w, h, 4, &full), 0);
    plan.saoTypesOff = true;
    ASSERT_EQ(DecodeAll(WriteStream(plan), w, h, 4, &deblocked), 0);
    ASSERT_EQ(full.size(), 1u);
    ASSERT_EQ(deblocked.size(), 1u);
    ASSERT_NE(full[0], deblocked[0]) << "SAO changed nothing";
    const std::vector<uint8_t> want = ReferenceSao(d.dec(), deblocked[0]);
    size_t diff = 0;
    for (size_t i = 0; i < want.size(); ++i) diff += want[i] != full[0][i];
    EXPECT_EQ(diff, 0u);
  }
}

// Row copies counted on their way to the plain kernel: [0] slot 128, [1] slot 129.
int g_rowCopies[2];
CopyRowsFn g_plainCopy;
void CountCopy(const uint8_t* src, uint8_t* dst, int width, int rows, int stride) {
  ++g_rowCopies[0];
  g_plainCopy(src, dst, width, rows, stride);
}
void CountCopyLeft(const uint8_t* src, uint8_t* dst, int width, int rows, int stride) {
  ++g_rowCopies[1];
  g_plainCopy(src, dst, width, rows, stride);
}

TEST(HevcWriterStreams, SaoCopiesRowsThroughTheCopySlots) {
  // SAO copies the rows of a CTB through slot 128, or slot 129 when they
  // start one sample left of it, and so do the saved borders and the
  // restored PCM blocks: the same pictures with the slots counting.
  for (const char* name : {"ctb16-sao", "pcm-nofilter", "tiles-explicit-nolf"}) {
    SCOPED_TRACE(name);
    const StreamPlan plan = Case(name);
    const auto s = WriteStream(plan);
    const int w = static_cast<int>(plan.sps.width), h = static_cast<int>(plan.sps.height);
    std::vector<std::vector<uint8_t>> plain, counted;
    ASSERT_EQ(DecodeAll(s, w, h, 4, &plain), 0) << Decoder::All();
    g_rowCopies[0] = g_rowCopies[1] = 0;
    ASSERT_EQ(DecodeAll(s, w, h, 4, &counted, nullptr,
                        [](HevcDecoder* dec) {
                          g_plainCopy = Kernel<CopyRowsFn>(dec->stDsp, kSlotCopyRows);
                          dec->stDsp.slot[kSlotCopyRows] = reinterpret_cast<HevcKernel>(&CountCopy);
                          dec->stDsp.slot[kSlotCopyRowsLeft] = reinterpret_cast<HevcKernel>(&CountCopyLeft);
                        }),
              0);
    EXPECT_EQ(counted.size(), plan.pictures.size());
    EXPECT_TRUE(counted == plain);
    EXPECT_GT(g_rowCopies[0], 0);
    EXPECT_GT(g_rowCopies[1], 0);
  }
}

TEST(HevcWriterStreams, ChromaEdgesTakeTheOffsetsOfTheSliceBelowOrRight) {
  // Two slices with opposite tc offsets in an all-PCM picture (PCM filtered):
  // a chroma edge between them is filtered with the tc of the slice that
  // holds its q0 sample (ffmpeg takes the other slice's here).
  StreamPlan plan = Case("deblock-slices");
  plan.pictures.resize(1);
  PicturePlan& p = plan.pictures[0];
  p.saoLuma = p.saoChroma = false;
  p.slices.clear();
  for (int ts : {0, 3}) {
    SlicePlan sl;
    sl.firstTs = ts;
    sl.deblockingOverride = true;
    sl.betaDiv2 = sl.tcDiv2 = ts ? -6 : 6;
    p.slices.push_back(sl);
  }
  plan.pcmPercent = 100;
  std::vector<std::vector<uint8_t>> filtered, raw;
  ASSERT_EQ(DecodeAll(WriteStream(plan), 256, 128, 4, &filtered), 0) << Decoder::All();
  for (auto& sl : plan.pictures[0].slices) sl.deblockingDisabled = true;
  ASSERT_EQ(DecodeAll(WriteStream(plan), 256, 128, 4, &raw), 0) << Decoder::All();
  ASSERT_EQ(filtered.size(), 1u);
  ASSERT_EQ(raw.size(), 1u);
  // Cb of the first CTB row, rows 0..14 (the CTB row edge below touches 15):
  // the edge at chroma x 16 lies in the first slice, the one at 48 in the second
  const size_t cb = 256 * 128;
  const int cw = 128;
  const int qpc = kHevcQpCTable[p.qp];
  for (int edge : {16, 48}) {
    const int tcOffset = edge == 16 ? 12 : -12;
    const int q = qpc + 2 + tcOffset;
    const int tc = kHevcTcTable[q < 0 ? 0 : q > 53 ? 53 : q];
    for (int y = 0; y < 15; ++y) {
      const uint8_t* r = raw[0].data() + cb + y * cw + edge;
      int delta = (((r[0] - r[-1]) * 4) + r[-2] - r[1] + 4) >> 3;
      delta = delta < -tc ? -tc : delta > tc ? tc : delta;
      const uint8_t* f = filtered[0].data() + cb + y * cw + edge;
      EXPECT_EQ(f[-1], std::clamp(r[-1] + delta, 0, 255)) << edge << " row " << y;
      EXPECT_EQ(f[0], std::clamp(r[0] - delta, 0, 255)) << edge << " row " << y;
    }
  }
}

TEST(HevcWriterStreams, ForeignReferencesAreNeverReadWithTheWrongGeometry) {
  // Regression: a P picture that activates a wider SPS without a random-access
  // point names references laid out with the old, smaller stride; motion
  // compensation read them with the new one, before their buffers. Now such a
  // reference is replaced by the current picture.
  StreamPlan a = Case("ctb16-sao");
  a.sps.width = 64;
  a.sps.height = 64;
  a.pictures.resize(2);
  StreamPlan b = Case("ctb16-sao");
  b.sps.width = 256;
  b.sps.height = 64;
  b.bigMvPercent = 60;
  b.skipPercent = 0;
  b.pictures = {a.pictures[1]};
  b.pictures[0].poc = 2;
  b.pictures[0].stRefs = {{-1, true}, {-2, true}};
  b.pictures[0].numRefL0 = 2;
  std::vector<uint8_t> s = WriteStream(a), tail = WriteStream(b);
  s.insert(s.end(), tail.begin(), tail.end());
  std::vector<std::vector<uint8_t>> pics;
  DecodeAll(s, 256, 64, 4, &pics);
  EXPECT_EQ(pics.size(), 3u) << Decoder::All();
}

TEST(HevcStreams, PicturesLeftFromAnOlderSequenceKeepTheirStride) {
  // Regression: pictures still waiting for output when a sequence with
  // another CTB size (and so another stride) began left with the new
  // sequence's stride. Decoding the two sequences one after the other must
  // equal decoding each alone.
  const std::string corpus = HEVC_CORPUS;
  const std::vector<uint8_t> sa = ReadFile(corpus + "/inter_ctu16_80x48.265");
  const std::vector<uint8_t> sb = ReadFile(corpus + "/inter_ctu32_80x48.265");
  ASSERT_FALSE(sa.empty());
  ASSERT_FALSE(sb.empty());
  std::vector<uint8_t> both = sa;
  both.insert(both.end(), sb.begin(), sb.end());
  std::vector<std::vector<uint8_t>> pa, pb, pboth;
  std::vector<int> strides;
  ASSERT_EQ(DecodeAll(sa, 80, 48, 4, &pa), 0) << Decoder::All();
  ASSERT_EQ(DecodeAll(sb, 80, 48, 4, &pb), 0) << Decoder::All();
  ASSERT_EQ(DecodeAll(both, 80, 48, 4, &pboth, &strides), 0) << Decoder::All();
  pa.insert(pa.end(), pb.begin(), pb.end());
  EXPECT_TRUE(pa == pboth);
  EXPECT_NE(strides.front(), strides.back());
}

}  // namespace
}  // namespace hevc_test
