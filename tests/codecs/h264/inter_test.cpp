// Inter pictures from hand-made streams: the limits the macroblock parsers
// and the weight table keep (reference indexes against the list length, B
// sub-macroblock types, weights and denominators, CABAC mb_qp_delta), and
// that decoding a B picture leaves the co-located picture's motion alone.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "codecs/h264/h264_inter.h"
#include "codecs/h264/h264_internal.h"
#include "codecs/h264/h264dec.h"
#include "tests/codecs/h264/cabac_writer.h"
#include "tests/codecs/h264/stream_builder.h"

using namespace h264test;

namespace {

constexpr int kSyntax = 0x40000000 + kH264MbSyntaxError;
constexpr int kWeights = 0x3000000e;

struct Result {
  int pictures = 0;
  int incomplete = 0;
  int error = 0;
};

Result Decode(const std::vector<uint8_t>& stream) {
  H264DecParam p{};
  p.widthMbs = 8;
  p.heightMbs = 8;
  p.refFrames = 4;
  p.flags = H264DEC_FLAG_DISPLAY_ORDER;
  H264DecContext* ctx = H264Dec_Create(&p);
  Result r;
  H264DecFrame f;
  int rc = H264Dec_Decode(ctx, stream.data(), static_cast<uint32_t>(stream.size()), 0, 0, &f, 0);
  for (; rc == H264DEC_PICTURE; rc = H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 0)) {
    ++r.pictures;
    r.incomplete += f.incomplete;
  }
  r.error = H264Dec_GetError(ctx);
  while (H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 1) == H264DEC_PICTURE) {
    ++r.pictures;
    r.incomplete += f.incomplete;
  }
  if (!r.error) r.error = H264Dec_GetError(ctx);
  H264Dec_Destroy(ctx);
  return r;
}

SliceHeader PHeader(uint64_t refsMinus1) {
  SliceHeader h;
  h.idr = false;
  h.sliceType = 5;
  h.frameNum = 1;
  h.overrideRefs = true;
  h.refsL0Minus1 = refsMinus1;
  return h;
}

// An IDR picture, then a P picture of 2x2 macroblocks whose first macroblock
// `mb` writes (after the skip run before it); the other three are skipped.
std::vector<uint8_t> PStream(uint64_t refsMinus1, std::function<void(BitWriter&)> mb, Pps pps = Pps{},
                             std::function<void(SliceHeader&)> edit = nullptr) {
  std::vector<uint8_t> s;
  Sps sps;
  sps.maxRefFrames = 2;
  Append(s, sps.Build());
  Append(s, pps.Build());
  Append(s, DcPicture(SliceHeader{}));
  SliceHeader h = PHeader(refsMinus1);
  if (edit) edit(h);
  BitWriter w;
  h.Write(w);
  w.Ue(0);  // mb_skip_run
  mb(w);
  w.Ue(3);
  Append(s, SliceNal(h, w));
  return s;
}

// P_L0_16x16 with reference index `ref` written as te(v) for `refs` active
// entries, a zero difference and no residual.
std::function<void(BitWriter&)> P16x16(uint64_t refs, uint64_t ref) {
  return [=](BitWriter& w) {
    w.Ue(0);
    if (refs == 2) w.Bit(1 - static_cast<int>(ref));
    if (refs > 2) w.Ue(ref);
    w.Se(0);
    w.Se(0);
    w.Ue(0);  // coded_block_pattern 0
  };
}

// Parameter sets (POC type 0), an IDR picture of POC 0 and a P picture of
// POC 8 whose macroblocks `pMbs` writes.
std::vector<uint8_t> IdrAndP(std::function<void(BitWriter&)> pMbs) {
  std::vector<uint8_t> s;
  Sps sps;
  sps.pocType = 0;
  sps.maxRefFrames = 2;
  Append(s, sps.Build());
  Append(s, Pps{}.Build());
  SliceHeader i0;
  i0.pocType = 0;
  Append(s, DcPicture(i0));
  SliceHeader p;
  p.idr = false;
  p.sliceType = 5;
  p.frameNum = 1;
  p.pocType = 0;
  p.pocLsb = 8;
  BitWriter w;
  p.Write(w);
  pMbs(w);
  Append(s, SliceNal(p, w));
  return s;
}

// A non-reference B picture of POC 4 between them.
SliceHeader BHeader() {
  SliceHeader b;
  b.idr = false;
  b.sliceType = 6;
  b.frameNum = 2;
  b.pocType = 0;
  b.pocLsb = 4;
  b.refIdc = 0;
  return b;
}

// A B picture after an IDR and a P picture: its first macroblock is B_8x8
// with the given sub-macroblock types, list-0 indexes 0, zero differences.
std::vector<uint8_t> BStream(std::vector<uint64_t> subTypes) {
  std::vector<uint8_t> s = IdrAndP([](BitWriter& w) { w.Ue(4); });
  SliceHeader b = BHeader();
  BitWriter w;
  b.Write(w);
  w.Ue(0);
  w.Ue(22);  // B_8x8
  for (uint64_t t : subTypes) w.Ue(t);
  // One active entry per list: no reference indexes; differences of 0.
  static const int kDiffs[13] = {0, 1, 1, 2, 2, 2, 2, 2, 4, 4, 4, 4, 8};
  for (uint64_t t : subTypes)
    for (int i = 0; i < (t < 13 ? kDiffs[t] : 0); ++i) {
      w.Se(0);
      w.Se(0);
    }
  w.Ue(0);  // coded_block_pattern
  w.Ue(3);
  Append(s, SliceNal(b, w));
  return s;
}

struct Case {
  const char* name;
  std::function<std::vector<uint8_t>()> stream;
  int error;
  int pictures;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class H264InterLimits : public ::testing::TestWithParam<Case> {};

TEST_P(H264InterLimits, ErrorAndPictures) {
  Result r = Decode(GetParam().stream());
  EXPECT_EQ(r.error, GetParam().error) << std::hex << r.error;
  EXPECT_EQ(r.pictures, GetParam().pictures);
  // A stream without errors decodes every macroblock.
  if (GetParam().error == 0) {
    EXPECT_EQ(r.incomplete, 0);
  }
}

Pps WeightedPps() {
  Pps pps;
  pps.weightedPred = 1;
  return pps;
}

std::function<void(SliceHeader&)> WithWeights(uint64_t lumaDenom, SliceHeader::Weight wt) {
  return [=](SliceHeader& h) {
    h.weightTable = true;
    h.lumaDenom = lumaDenom;
    h.chromaDenom = 0;
    h.weightsL0 = {wt, wt};
  };
}

SliceHeader::Weight Luma(int64_t w, int64_t o) {
  SliceHeader::Weight e;
  e.luma = true;
  e.lumaWeight = w;
  e.lumaOffset = o;
  return e;
}

SliceHeader::Weight Chroma(int64_t w, int64_t o) {
  SliceHeader::Weight e;
  e.chroma = true;
  e.chromaWeight = w;
  e.chromaOffset = o;
  return e;
}

INSTANTIATE_TEST_SUITE_P(
    Cavlc, H264InterLimits,
    ::testing::Values(
        Case{"one active reference reads no index", [] { return PStream(0, P16x16(1, 0)); }, 0, 2},
        Case{"two active references, index 1", [] { return PStream(1, P16x16(2, 1)); }, 0, 2},
        Case{"three active references, index 2", [] { return PStream(2, P16x16(3, 2)); }, 0, 2},
        Case{"index 3 of three", [] { return PStream(2, P16x16(3, 3)); }, kSyntax, 2},
        Case{"index 31 of three", [] { return PStream(2, P16x16(3, 31)); }, kSyntax, 2},
        Case{"B_8x8 of 8x8 sub-macroblocks", [] { return BStream({1, 2, 3, 1}); }, 0, 3},
        Case{"B_8x8 of direct and 4x4 sub-macroblocks", [] { return BStream({0, 12, 0, 10}); }, 0, 3},
        Case{"B sub_mb_type 13", [] { return BStream({1, 13, 1, 1}); }, kSyntax, 3},
        Case{"B sub_mb_type 15", [] { return BStream({15, 1, 1, 1}); }, kSyntax, 3}));

INSTANTIATE_TEST_SUITE_P(
    WeightTable, H264InterLimits,
    ::testing::Values(
        Case{"weights -128 and 127", [] { return PStream(1, P16x16(2, 1), WeightedPps(), WithWeights(5, Luma(-128, 127))); },
             0, 2},
        Case{"weight 128 sent", [] { return PStream(1, P16x16(2, 1), WeightedPps(), WithWeights(7, Luma(128, 0))); },
             kWeights, 1},
        Case{"offset -129", [] { return PStream(1, P16x16(2, 1), WeightedPps(), WithWeights(0, Luma(1, -129))); },
             kWeights, 1},
        Case{"chroma weight 200", [] { return PStream(1, P16x16(2, 1), WeightedPps(), WithWeights(0, Chroma(200, 0))); },
             kWeights, 1},
        Case{"denominator 8", [] { return PStream(1, P16x16(2, 1), WeightedPps(), WithWeights(8, Luma(1, 0))); },
             kWeights, 1},
        // 1 << 7 is the weight a reference gets when none is sent.
        Case{"denominator 7 with inferred weights",
             [] { return PStream(1, P16x16(2, 1), WeightedPps(), WithWeights(7, SliceHeader::Weight{})); }, 0, 2}));

// A CABAC P picture after a CAVLC IDR picture (a second PPS): the first
// macroblock P_L0_16x16 with two active references and index `ref`, the
// rest skipped. With `qpDeltaOnes` the first macroblock has coded luma and an
// mb_qp_delta of that many one bins.
std::vector<uint8_t> CabacPStream(int ref, int qpDeltaOnes = 0) {
  std::vector<uint8_t> s;
  Sps sps;
  sps.profile = 77;
  sps.maxRefFrames = 2;
  Append(s, sps.Build());
  Append(s, Pps{}.Build());
  Pps cabac;
  cabac.id = 1;
  cabac.cabac = 1;
  cabac.refIdxL0Minus1 = 1;
  Append(s, cabac.Build());
  Append(s, DcPicture(SliceHeader{}));
  SliceHeader h;
  h.idr = false;
  h.sliceType = 5;
  h.frameNum = 1;
  h.ppsId = 1;
  h.cabac = 1;
  BitWriter w;
  h.Write(w);
  CabacWriter c(w, 26, 0);
  c.Decision(11, 0);  // mb_skip_flag
  c.Decision(14, 0);  // P_L0_16x16
  c.Decision(15, 0);
  c.Decision(16, 0);
  for (int i = 0; i < ref; ++i) c.Decision(i == 0 ? 54 : i == 1 ? 58 : 59, 1);
  if (ref < 32) c.Decision(ref == 0 ? 54 : ref == 1 ? 58 : 59, 0);
  c.Decision(40, 0);  // mvd
  c.Decision(47, 0);
  int luma0 = qpDeltaOnes ? 1 : 0;
  c.Decision(73, luma0);               // coded_block_pattern: 8x8 block 0
  c.Decision(luma0 ? 73 : 74, 0);      // block 1: left neighbour coded or not
  c.Decision(luma0 ? 73 : 75, 0);      // block 2
  c.Decision(76, 0);                   // block 3
  c.Decision(77, 0);                   // chroma
  if (qpDeltaOnes) {
    for (int i = 0; i < qpDeltaOnes; ++i) c.Decision(i == 0 ? 60 : i == 1 ? 62 : 63, 1);
    if (qpDeltaOnes < 102) c.Decision(63, 0);
    c.Terminate(1);  // the macroblock fails before its residual
  } else {
    c.Terminate(0);
    c.Decision(12, 1);  // the other three macroblocks are skipped
    c.Terminate(0);
    c.Decision(12, 1);
    c.Terminate(0);
    c.Decision(11, 1);
    c.Terminate(1);
  }
  w.Align();
  Append(s, Nal(h.refIdc, 1, w.bytes()));
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cabac, H264InterLimits,
    ::testing::Values(Case{"index 0 of two", [] { return CabacPStream(0); }, 0, 2},
                      Case{"index 1 of two", [] { return CabacPStream(1); }, 0, 2},
                      Case{"index 2 of two", [] { return CabacPStream(2); }, kSyntax, 2},
                      Case{"32 one bins give index 31", [] { return CabacPStream(32); }, kSyntax, 2},
                      // 101 ones and a zero, or 102 ones, give +51.
                      Case{"mb_qp_delta +51", [] { return CabacPStream(0, 101); }, kSyntax, 2},
                      Case{"mb_qp_delta of 102 one bins", [] { return CabacPStream(0, 102); }, kSyntax, 2},
                      // 51 ones and a zero: +26.
                      Case{"mb_qp_delta +26", [] { return CabacPStream(0, 51); }, kSyntax, 2}));

}  // namespace

// Temporal direct reads the motion of RefPicList1[0]; it never writes it.
TEST(H264Direct, CoLocatedMotionIsOnlyRead) {
  std::vector<uint8_t> s = IdrAndP([](BitWriter& w) {
    w.Ue(0);
    w.Ue(0);  // P_L0_16x16 with a vector for the B picture to scale
    w.Se(5);
    w.Se(-3);
    w.Ue(0);
    w.Ue(3);
  });
  Append(s, {0, 0, 0, 1, 9, 0x10});

  H264DecParam prm{};
  prm.widthMbs = 8;
  prm.heightMbs = 8;
  prm.refFrames = 4;
  prm.flags = H264DEC_FLAG_DISPLAY_ORDER;
  H264DecContext* ctx = H264Dec_Create(&prm);
  H264DecFrame f;
  int rc = H264Dec_Decode(ctx, s.data(), static_cast<uint32_t>(s.size()), 0, 0, &f, 0);
  while (rc == H264DEC_PICTURE) rc = H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 0);
  ASSERT_NE(ctx->curPic, nullptr);
  int colBuffer = ctx->curPic->bufferIndex;
  std::vector<H264MbMotion> before(ctx->motion[colBuffer], ctx->motion[colBuffer] + 4);

  SliceHeader b = BHeader();
  b.directSpatial = 0;
  BitWriter wb;
  b.Write(wb);
  wb.Ue(4);  // all B_Skip
  std::vector<uint8_t> t = SliceNal(b, wb);
  Append(t, {0, 0, 0, 1, 9, 0x10});
  rc = H264Dec_Decode(ctx, t.data(), static_cast<uint32_t>(t.size()), 0, 0, &f, 0);
  while (rc == H264DEC_PICTURE) rc = H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 0);
  EXPECT_EQ(H264Dec_GetError(ctx), 0);
  ASSERT_EQ(ctx->refList[1][0]->bufferIndex, colBuffer);
  EXPECT_EQ(std::memcmp(before.data(), ctx->motion[colBuffer], 4 * sizeof(H264MbMotion)), 0);
  H264Dec_Destroy(ctx);
}

namespace {

// A context whose current macroblock and neighbours are local records.
struct MbFixture : ::testing::Test {
  MbFixture() {
    H264DecParam p{};
    p.widthMbs = 8;
    p.heightMbs = 8;
    ctx = H264Dec_Create(&p);
    std::memset(&cur, 0, sizeof cur);
    std::memset(&left, 0, sizeof left);
    std::memset(&top, 0, sizeof top);
    std::memset(&curInfo, 0, sizeof curInfo);
    std::memset(&leftInfo, 0, sizeof leftInfo);
    std::memset(&topInfo, 0, sizeof topInfo);
    for (H264MbMotion* m : {&cur, &left, &top}) {
      std::memset(m->refIdxL0, -1, 4);
      std::memset(m->refIdxL1, -1, 4);
    }
    leftInfo.available = topInfo.available = curInfo.available = 1;
    ctx->nbMotion[kH264NbCurrent] = &cur;
    ctx->nbMotion[kH264NbLeft] = &left;
    ctx->nbMotion[kH264NbTop] = &top;
    ctx->nbInfo[kH264NbCurrent] = &curInfo;
    ctx->nbInfo[kH264NbLeft] = &leftInfo;
    ctx->nbInfo[kH264NbTop] = &topInfo;
    ctx->mb.mbX = ctx->mb.mbY = 1;
    ctx->slice.slice_type = kH264SliceB;
  }
  ~MbFixture() override { H264Dec_Destroy(ctx); }

  // Block blk uses reference (POC) r0 / r1 of its 8x8 (-1: list unused)
  // with vectors v0, v1.
  static void Set(H264MbMotion& m, int blk, int r0, int r1, int16_t v0x = 0, int16_t v0y = 0, int16_t v1x = 0,
                  int16_t v1y = 0) {
    int b8 = blk >> 2;
    m.refIdxL0[b8] = static_cast<int8_t>(r0 < 0 ? -1 : 0);
    m.refPocL0[b8] = r0;
    m.refStructL0[b8] = 3;
    m.refIdxL1[b8] = static_cast<int8_t>(r1 < 0 ? -1 : 0);
    m.refPocL1[b8] = r1;
    m.refStructL1[b8] = 3;
    m.mvL0[blk][0] = v0x;
    m.mvL0[blk][1] = v0y;
    m.mvL1[blk][0] = v1x;
    m.mvL1[blk][1] = v1y;
  }
  // The whole macroblock with one motion.
  static void SetAll(H264MbMotion& m, int r0, int r1, int16_t v0x = 0, int16_t v0y = 0, int16_t v1x = 0,
                     int16_t v1y = 0) {
    for (int blk = 0; blk < 16; ++blk) Set(m, blk, r0, r1, v0x, v0y, v1x, v1y);
  }
  const uint8_t* Strengths() {
    H264InterStrengths(ctx);
    return ctx->mb.edgeStrength;
  }

  H264DecContext* ctx;
  H264MbMotion cur, left, top;
  H264MbInfo curInfo, leftInfo, topInfo;
};

using H264InterStrengthsTest = MbFixture;
using H264ReconTest = MbFixture;

constexpr int kY8 = 32;  // the horizontal edge between the upper and lower halves
constexpr int kX8 = 20;  // the vertical edge between the left and right halves

TEST_F(H264InterStrengthsTest, SameMotionEverywhereGivesZero) {
  SetAll(cur, 8, 16, 3, -3, 5, 1);
  SetAll(left, 8, 16, 3, -3, 5, 1);
  SetAll(top, 16, 8, 5, 1, 3, -3);  // the same pictures in the other lists
  const uint8_t* s = Strengths();
  for (int i : {0, 1, 2, 3, 8, 9, 10, 11}) EXPECT_EQ(s[i], 0) << i;
  for (int i = 16; i < 40; ++i) EXPECT_EQ(s[i], 0) << i;
}

TEST_F(H264InterStrengthsTest, VectorLimitsAndReferences) {
  // Upper half (0, 0), lower half (0, 3): below the vertical limit of 4.
  SetAll(cur, 8, -1);
  for (int blk : {8, 9, 10, 11, 12, 13, 14, 15}) Set(cur, blk, 8, -1, 0, 3);
  EXPECT_EQ(Strengths()[kY8], 0);
  for (int blk : {8, 9, 10, 11, 12, 13, 14, 15}) Set(cur, blk, 8, -1, 0, 4);
  EXPECT_EQ(Strengths()[kY8], 1);
  ctx->slice.field_pic_flag = 1;  // the vertical limit of field pictures is 2
  for (int blk : {8, 9, 10, 11, 12, 13, 14, 15}) Set(cur, blk, 8, -1, 0, 3);
  EXPECT_EQ(Strengths()[kY8], 1);
  ctx->slice.field_pic_flag = 0;
  // 8x8 blocks 0 and 1 use different pictures with equal vectors.
  SetAll(cur, 8, -1);
  for (int blk : {4, 5, 6, 7}) Set(cur, blk, 12, -1);
  const uint8_t* s = Strengths();
  EXPECT_EQ(s[kX8], 1);
  EXPECT_EQ(s[kX8 + 1], 1);
  EXPECT_EQ(s[kX8 + 2], 0);
}

TEST_F(H264InterStrengthsTest, NumberOfVectorsAndSwappedLists) {
  SetAll(cur, 8, 16, 1, 1, 2, 2);
  // Lower half with one vector: 1 whatever its value.
  for (int blk : {8, 9, 10, 11, 12, 13, 14, 15}) Set(cur, blk, 8, -1, 1, 1);
  EXPECT_EQ(Strengths()[kY8], 1);
  // Lower half bi-predicted from the same pictures in swapped lists, with
  // the crossed vectors equal: 0; with them apart: 1.
  for (int blk : {8, 9, 10, 11, 12, 13, 14, 15}) Set(cur, blk, 16, 8, 2, 2, 1, 1);
  EXPECT_EQ(Strengths()[kY8], 0);
  for (int blk : {8, 9, 10, 11, 12, 13, 14, 15}) Set(cur, blk, 16, 8, 6, 2, 1, 1);
  EXPECT_EQ(Strengths()[kY8], 1);
  // Both lists on one picture: either pairing close enough gives 0.
  SetAll(cur, 8, 8, 0, 0, 8, 0);
  for (int blk : {8, 9, 10, 11, 12, 13, 14, 15}) Set(cur, blk, 8, 8, 8, 0, 0, 0);
  EXPECT_EQ(Strengths()[kY8], 0);
}

TEST_F(H264InterStrengthsTest, CoefficientsEdgesAndTransform8x8) {
  SetAll(cur, 8, -1);
  SetAll(left, 8, -1);
  SetAll(top, 8, -1);
  Set(cur, 1, 8, -1, 16, 0);  // motion across x = 4 and x = 8 in row 0
  curInfo.nonZero[2] = 1;                              // a coded block at (0, 1)
  const uint8_t* s = Strengths();
  EXPECT_EQ(s[0 + 1], 2);   // left edge, row 1
  EXPECT_EQ(s[8 + 0], 0);   // top edge, column 0
  EXPECT_EQ(s[16 + 0], 1);  // x = 4, row 0
  EXPECT_EQ(s[16 + 1], 2);  // x = 4, row 1
  EXPECT_EQ(s[28 + 0], 2);  // y = 4, column 0
  curInfo.transform8x8 = 1;
  s = Strengths();
  EXPECT_EQ(s[16 + 0], 0);  // edges inside an 8x8 transform are not filtered
  EXPECT_EQ(s[16 + 1], 0);
  EXPECT_EQ(s[28 + 0], 0);
  EXPECT_EQ(s[kX8], 1);  // x = 8 is
  top.mbType = 30;       // an intra neighbour
  EXPECT_EQ(Strengths()[8], 4);
  ctx->slice.field_pic_flag = 1;
  EXPECT_EQ(Strengths()[8], 3);
  ctx->slice.field_pic_flag = 0;
  ctx->mb.mbY = 0;
  EXPECT_EQ(Strengths()[8], 0);
  ctx->slice.disable_deblocking_filter_idc = 2;
  leftInfo.available = 0;  // in another slice
  leftInfo.nonZero[5] = 1;
  EXPECT_EQ(Strengths()[0], 0);
}

// The quadrant kernels: average rounding, clipping, list-1 copies with
// chroma residual only, explicit weights (clipped before the residual), and
// implicit weights.
TEST_F(H264ReconTest, QuadrantKernels) {
  alignas(16) uint8_t l1[384];
  H264MbWork& w = ctx->mb;
  auto run = [&](int entry, uint8_t p0, uint8_t p1, int16_t res, uint32_t cbp) {
    std::memset(w.samples, p0, sizeof w.samples);
    std::memset(l1, p1, sizeof l1);
    for (int16_t& r : w.residual) r = res;
    w.cbp = cbp;
    H264ReconArgs a{w.samples, l1, w.samples + kMbSamplesCb, l1 + 256, w.samples + kMbSamplesCr, l1 + 320, 0, 0};
    H264ReconKernels[entry](&a, ctx);
    return std::make_pair(w.samples[9], w.samples[kMbSamplesCb + 9]);  // luma and Cb at (1, 1)
  };
  using P = std::pair<uint8_t, uint8_t>;
  EXPECT_EQ(run(3, 100, 101, 0, 0), P(101, 101));
  EXPECT_EQ(run(1, 250, 0, 10, 1 | 16), P(255, 255));
  EXPECT_EQ(run(1, 3, 0, -10, 1 | 16), P(0, 0));
  EXPECT_EQ(run(1, 3, 0, -10, 0), P(3, 3));
  EXPECT_EQ(run(2, 3, 90, 7, 16), P(90, 97));  // list 1 only: luma copied, chroma residual added

  cur.refIdxL0[0] = 1;
  cur.refIdxL1[0] = 0;
  H264SliceHeader& s = ctx->slice;
  s.luma_log2_weight_denom = 0;
  s.chroma_log2_weight_denom = 5;
  s.lumaWeight[0][1] = 2;
  s.lumaOffset[0][1] = -5;
  s.chromaWeight[0][1][0] = 48;
  s.chromaOffset[0][1][0] = 3;
  EXPECT_EQ(run(5, 100, 0, 0, 0), P(195, ((100 * 48 + 16) >> 5) + 3));
  s.lumaWeight[0][1] = -128;
  EXPECT_EQ(run(5, 100, 0, 20, 1), P(20, 153));  // clipped to 0, then the residual (luma only)
  s.lumaWeight[0][1] = 3;
  s.lumaWeight[1][0] = 1;
  s.lumaOffset[0][1] = 4;
  s.lumaOffset[1][0] = 1;
  EXPECT_EQ(run(7, 100, 40, 0, 0).first, ((100 * 3 + 40 + 1) >> 1) + 3);
  ctx->implicitWeight[1][0] = 16;
  EXPECT_EQ(run(11, 100, 40, 0, 0), P((100 * 48 + 40 * 16 + 32) >> 6, (100 * 48 + 40 * 16 + 32) >> 6));
}

// Implicit weights from the distances of the two references: equal
// distances give 32/32, as do equal order counts, a long-term reference or a
// scale factor out of range.
TEST_F(H264ReconTest, ImplicitWeights) {
  H264DecPicture pics[4] = {};
  int32_t pocs[4] = {0, 8, 1, 8};
  for (int i = 0; i < 4; ++i) pics[i].poc = pocs[i];
  pics[3].longTerm = 3;
  H264DecPicture current{};
  ctx->curPic = &current;
  ctx->slice.wpMode = 2;
  ctx->slice.num_ref_idx_l0_active_minus1 = 1;
  ctx->slice.num_ref_idx_l1_active_minus1 = 2;
  ctx->refList[0][0] = &pics[0];
  ctx->refList[0][1] = &pics[1];
  ctx->refList[1][0] = &pics[1];
  ctx->refList[1][1] = &pics[2];
  ctx->refList[1][2] = &pics[3];
  struct Case {
    int cur, i0, i1, w1;
  } cases[] = {
      {4, 0, 0, 32},   // halfway
      {2, 0, 0, 16},   // a quarter of the way: w0 48
      {14, 0, 0, 112},  // (14 * 2048 + 32) >> 6 = 448: w1 112, w0 -48
      {20, 0, 0, 32},   // 640 >> 2 = 160: above 128
      {-3, 0, 0, -24},  // -96 >> 2
      {-10, 0, 0, 32},  // -320 >> 2 = -80: below -64
      {4, 1, 0, 32},   // the same picture in both lists
      {4, 0, 2, 32},   // long-term
      {-4, 0, 2, 32},
      {3, 0, 1, 32},   // td = 1, tb = 3: 3 * 16384 out of range
  };
  for (const Case& c : cases) {
    current.poc = c.cur;
    H264ImplicitWeights(ctx);
    EXPECT_EQ(ctx->implicitWeight[c.i0][c.i1], c.w1) << c.cur << " " << c.i0 << " " << c.i1;
  }
  // Temporal direct scaling: tb beyond 127 is clipped, the factor to 1023.
  ctx->slice.wpMode = 0;
  ctx->slice.direct_spatial_mv_pred_flag = 0;
  ctx->refList[1][0] = &pics[2];  // POC 1
  current.poc = 300;
  H264DirectScaleFactors(ctx);
  EXPECT_EQ(ctx->distScaleFactor[0], 1023);  // tb 127, td 1
  ctx->refList[1][0] = &pics[0];
  EXPECT_EQ((H264DirectScaleFactors(ctx), ctx->distScaleFactor[0]), 9999);  // td 0: unscaled
}

}  // namespace

// A reference index without a picture in the list (a broken or overlapping
// stream can produce one) predicts nothing: no read outside the list.
TEST_F(H264ReconTest, ReferenceIndexOutsideTheListPredictsNothing) {
  for (int ref : {-1, static_cast<int>(kH264MaxRefs), 127}) {
    SCOPED_TRACE(ref);
    H264InterPred pred{};
    std::memset(ctx->mb.samples, 77, 384);
    const int16_t mv[2] = {3, -5};
    H264McPartition(ctx, 0, ref, mv, 0, 0, 4, 4, &pred);
    H264McPartition(ctx, 1, ref, mv, 2, 0, 2, 4, &pred);
    for (int i = 0; i < 384; ++i) ASSERT_EQ(ctx->mb.samples[i], 77) << i;
    for (uint8_t l : pred.lists) EXPECT_EQ(l, 0);
  }
}
