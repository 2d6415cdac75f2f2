// Reference pictures from synthetic slice sequences: list initialisation of
// P and B slices (frame_num wrap, long-term references, the list-1 swap),
// list modification, marking by the sliding window and by memory management
// commands 1 to 6, frame_num gaps, and a hostile command flood.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "codecs/h264/h264_internal.h"
#include "codecs/h264/h264dec.h"
#include "tests/codecs/h264/stream_builder.h"

using namespace h264test;

namespace {

// A decoder whose state the tests look into after each stream.
struct Session {
  explicit Session(uint32_t flags = H264DEC_FLAG_DISPLAY_ORDER) {
    H264DecParam p{};
    p.widthMbs = 8;
    p.heightMbs = 8;
    p.refFrames = 16;
    p.flags = flags;
    ctx = H264Dec_Create(&p);
  }
  ~Session() { H264Dec_Destroy(ctx); }

  // Decodes the units and closes the last one with the start code of an
  // access unit delimiter, so that the last slice's lists stay in place.
  void Feed(std::vector<uint8_t> units) {
    Append(units, {0, 0, 0, 1, 9, 0x10});
    H264DecFrame f;
    int rc = H264Dec_Decode(ctx, units.data(), static_cast<uint32_t>(units.size()), 0, 0, &f, 0);
    for (; rc == H264DEC_PICTURE; rc = H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 0)) pocs.push_back(f.poc);
    Note();
  }
  void Drain() {
    H264DecFrame f;
    while (H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 1) == H264DEC_PICTURE) pocs.push_back(f.poc);
    Note();
  }
  void Note() {
    int e = H264Dec_GetError(ctx);
    if (!error) error = e;
  }

  // frame_num (or POC) of the active entries of a list of the last slice.
  std::vector<int> List(int l, bool poc = false) const {
    std::vector<int> out;
    for (uint32_t i = 0; i < ctx->refListLen[l]; ++i)
      out.push_back(poc ? ctx->refList[l][i]->poc : static_cast<int>(ctx->refList[l][i]->frameNum));
    return out;
  }
  // Stored reference frames as (frame_num, long-term index or -1).
  std::vector<std::pair<int, int>> References() const {
    std::vector<std::pair<int, int>> out;
    for (uint32_t i = 0; i < ctx->dpbFullness; ++i) {
      const H264DecFrameStore* fs = ctx->dpb[i];
      if (fs->reference) out.emplace_back(static_cast<int>(fs->frameNum), fs->longTerm ? fs->longTermFrameIdx : -1);
    }
    return out;
  }

  H264DecContext* ctx;
  std::vector<int> pocs;
  int error = 0;
};

SliceHeader Idr(int pocType = 2) {
  SliceHeader h;
  h.pocType = pocType;
  return h;
}

SliceHeader P(uint64_t frameNum, int pocType = 2) {
  SliceHeader h;
  h.idr = false;
  h.sliceType = 5;
  h.frameNum = frameNum;
  h.pocType = pocType;
  return h;
}

SliceHeader PPoc(uint64_t frameNum, uint64_t pocLsb) {
  SliceHeader h = P(frameNum, 0);
  h.pocLsb = pocLsb;
  return h;
}

SliceHeader B(uint64_t frameNum, uint64_t pocLsb, int refIdc = 0) {
  SliceHeader h;
  h.idr = false;
  h.sliceType = 6;
  h.frameNum = frameNum;
  h.pocType = 0;
  h.pocLsb = pocLsb;
  h.refIdc = refIdc;
  return h;
}

// A picture of 2x2 macroblocks: intra DC macroblocks for I slices, all
// skipped for P and B slices.
std::vector<uint8_t> Picture(const SliceHeader& h) {
  if (h.sliceType % 5 == 2) return DcPicture(h);
  BitWriter w;
  h.Write(w);
  w.Ue(4);  // mb_skip_run over the whole picture
  return SliceNal(h, w);
}

std::vector<uint8_t> Start(const Sps& sps, const Pps& pps = Pps{}) {
  std::vector<uint8_t> s;
  Append(s, sps.Build());
  Append(s, pps.Build());
  return s;
}

// Parameter sets with POC type 0 and up to 4 references, and an IDR picture.
std::vector<uint8_t> PocStart() {
  Sps sps;
  sps.pocType = 0;
  sps.maxRefFrames = 4;
  std::vector<uint8_t> s = Start(sps);
  Append(s, Picture(Idr(0)));
  return s;
}

using Refs = std::vector<std::pair<int, int>>;

}  // namespace

// An IDR picture and P pictures of frame_num 1 to 15, 0 (four references
// kept), then `last`, a P picture of frame_num 1 with `entries` active
// entries.
std::vector<uint8_t> AcrossTheWrap(SliceHeader last, uint64_t entries) {
  Sps sps;
  sps.maxRefFrames = 4;
  std::vector<uint8_t> s = Start(sps);
  Append(s, Picture(Idr()));
  for (uint64_t fn = 1; fn <= 16; ++fn) Append(s, Picture(P(fn % 16)));
  last.overrideRefs = true;
  last.refsL0Minus1 = entries - 1;
  Append(s, Picture(last));
  return s;
}

// PicNum descends from the current frame_num, counting frames of the
// previous frame_num cycle as negative.
TEST(H264RefLists, PListFollowsPicNumAcrossTheFrameNumWrap) {
  Session d;
  d.Feed(AcrossTheWrap(P(1), 6));  // more entries than references
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(d.List(0), (std::vector<int>{0, 15, 14, 13, 0, 0}));
  EXPECT_EQ(d.ctx->refList[0][4], d.ctx->refList[0][0]);  // the extra entries repeat the first
}

TEST(H264RefLists, ModificationMovesPicturesForward) {
  struct Case {
    std::vector<std::array<uint64_t, 2>> mods;
    std::vector<int> list;
  } cases[] = {
      {{}, {0, 15, 14, 13}},
      {{{0, 1}}, {15, 0, 14, 13}},                  // PicNum 1 - 2 = -1: frame_num 15
      {{{0, 2}, {1, 0}}, {14, 15, 0, 13}},          // then the one after 14
      {{{0, 0}, {0, 0}, {0, 0}}, {0, 15, 14, 13}},  // 0, 15, 14 in that order
      {{{1, 0}, {0, 3}}, {14, 0, 15, 13}},          // PicNum 2 is not stored: skipped, but counts
  };
  for (const Case& c : cases) {
    SliceHeader last = P(1);
    last.modL0 = c.mods;
    Session d;
    d.Feed(AcrossTheWrap(last, 4));
    EXPECT_EQ(d.List(0), c.list) << c.mods.size();
  }
}

// Long-term frames follow the short-term ones by LongTermPicNum; commands 4,
// 6 and 3 make them, 1 and 2 unmark pictures again, and modification idc 2
// names a long-term picture.
TEST(H264RefLists, LongTermReferencesAndCommandsOneToFourAndSix) {
  Sps sps;
  sps.maxRefFrames = 4;
  std::vector<uint8_t> s = Start(sps);
  Append(s, Picture(Idr()));
  SliceHeader p1 = P(1);
  p1.mmco = {{4, 2, 0}, {6, 1, 0}};  // MaxLongTermFrameIdx 1; this picture long-term index 1
  Append(s, Picture(p1));
  Append(s, Picture(P(2)));
  SliceHeader p3 = P(3);
  p3.mmco = {{3, 0, 0}};  // frame_num 2 becomes long-term index 0
  Append(s, Picture(p3));
  // Marking happens when the next picture starts.
  SliceHeader p4 = P(4);
  p4.overrideRefs = true;
  p4.refsL0Minus1 = 3;
  Session d;
  d.Feed(s);
  d.Feed(Picture(p4));
  EXPECT_EQ(d.References(), (Refs{{0, -1}, {1, 1}, {2, 0}, {3, -1}}));
  EXPECT_EQ(d.List(0), (std::vector<int>{3, 0, 2, 1}));

  p4.modL0 = {{2, 1}};
  Session e;
  e.Feed(s);
  e.Feed(Picture(p4));
  EXPECT_EQ(e.List(0), (std::vector<int>{1, 3, 0, 2}));

  // The sliding window drops frame_num 0 for 4; then command 1 unmarks
  // frame_num 3 (PicNum 5 - 2) and command 2 the long-term picture 0; command
  // 4 with 1 drops long-term index 1 too.
  SliceHeader p5 = P(5);
  p5.mmco = {{1, 1, 0}, {2, 0, 0}};
  SliceHeader p6 = P(6);
  p6.mmco = {{4, 1, 0}};
  Session f;
  f.Feed(s);
  f.Feed(Picture(P(4)));
  f.Feed(Picture(p5));
  EXPECT_EQ(f.References(), (Refs{{1, 1}, {2, 0}, {3, -1}, {4, -1}}));
  f.Feed(Picture(p6));
  EXPECT_EQ(f.References(), (Refs{{1, 1}, {4, -1}, {5, -1}}));
  f.Feed(Picture(P(7)));
  EXPECT_EQ(f.References(), (Refs{{4, -1}, {5, -1}, {6, -1}}));
  EXPECT_EQ(f.error, 0);
}

// A long-term index already taken moves to the picture that command 3 or 6
// names; an index above MaxLongTermFrameIdx is not given.
TEST(H264RefLists, LongTermIndexIsReassigned) {
  Sps sps;
  sps.maxRefFrames = 4;
  std::vector<uint8_t> s = Start(sps);
  Append(s, Picture(Idr()));
  SliceHeader p1 = P(1);
  p1.mmco = {{4, 1, 0}, {6, 0, 0}};
  Append(s, Picture(p1));
  SliceHeader p2 = P(2);
  p2.mmco = {{6, 0, 0}};  // takes index 0 from frame_num 1
  Append(s, Picture(p2));
  SliceHeader p3 = P(3);
  p3.mmco = {{6, 3, 0}};  // above MaxLongTermFrameIdx 0: stays short-term
  Append(s, Picture(p3));
  Append(s, Picture(P(4)));
  Session d;
  d.Feed(s);
  EXPECT_EQ(d.References(), (Refs{{0, -1}, {2, 0}, {3, -1}}));
}

// Command 5 unmarks every reference, outputs what waits, and restarts
// frame_num and the order count at the picture.
TEST(H264RefLists, CommandFiveRestartsOrderAndFrameNum) {
  std::vector<uint8_t> s = PocStart();
  Append(s, Picture(PPoc(1, 8)));
  SliceHeader p2 = PPoc(2, 16);
  p2.mmco = {{5, 0, 0}};
  Append(s, Picture(p2));
  SliceHeader p3 = PPoc(1, 4);  // frame_num counts on from 0
  p3.overrideRefs = true;
  p3.refsL0Minus1 = 1;
  Append(s, Picture(p3));
  Session d;
  d.Feed(s);
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(d.List(0), (std::vector<int>{0, 0}));  // only the picture of command 5
  EXPECT_EQ(d.ctx->refList[0][0]->poc, 0);
  d.Drain();
  // POC 16 became 0, the next picture has 4: it comes after it.
  EXPECT_EQ(d.pocs, (std::vector<int>{0, 8, 0, 4}));
}

// B lists: before the current picture by descending POC, then after it by
// ascending POC (list 1 the other way round); long-term ones last in both;
// list 1 equal to list 0 has its first two entries swapped.
TEST(H264RefLists, BListsByOrderCount) {
  std::vector<uint8_t> s = PocStart();
  Append(s, Picture(PPoc(1, 24)));
  SliceHeader b2 = B(2, 8, 2);  // a reference B picture
  Append(s, Picture(b2));
  SliceHeader b3 = B(3, 16);
  b3.overrideRefs = true;
  b3.refsL0Minus1 = b3.refsL1Minus1 = 2;
  Session d;
  d.Feed(s);
  d.Feed(Picture(b3));
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(d.List(0, true), (std::vector<int>{8, 0, 24}));
  EXPECT_EQ(d.List(1, true), (std::vector<int>{24, 8, 0}));

  SliceHeader b4 = B(3, 30);  // after every reference: list 1 would equal list 0
  b4.overrideRefs = true;
  b4.refsL0Minus1 = b4.refsL1Minus1 = 2;
  Session e;
  e.Feed(s);
  e.Feed(Picture(b4));
  EXPECT_EQ(e.List(0, true), (std::vector<int>{24, 8, 0}));
  EXPECT_EQ(e.List(1, true), (std::vector<int>{8, 24, 0}));

  SliceHeader p3 = PPoc(3, 32);
  p3.mmco = {{4, 1, 0}, {3, 2, 0}};  // PicNum 3 - 3: the IDR picture becomes long-term index 0
  SliceHeader b5 = B(4, 20);
  b5.overrideRefs = true;
  b5.refsL0Minus1 = b5.refsL1Minus1 = 3;
  Session f;
  f.Feed(s);
  f.Feed(Picture(p3));
  f.Feed(Picture(b5));
  EXPECT_EQ(f.List(0, true), (std::vector<int>{8, 24, 32, 0}));
  EXPECT_EQ(f.List(1, true), (std::vector<int>{24, 32, 8, 0}));
}

// With gaps allowed, skipped frame_num values become non-existing reference
// frames that enter the lists but are never output.
TEST(H264RefLists, FrameNumGapInsertsNonExistingFrames) {
  Sps sps;
  sps.maxRefFrames = 4;
  sps.gaps = 1;
  std::vector<uint8_t> s = Start(sps);
  Append(s, Picture(Idr()));
  Append(s, Picture(P(1)));
  SliceHeader p5 = P(5);
  p5.overrideRefs = true;
  p5.refsL0Minus1 = 3;
  Append(s, Picture(p5));
  Session d;
  d.Feed(s);
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(d.List(0), (std::vector<int>{4, 3, 2, 1}));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(d.ctx->refList[0][i]->nonExisting);
  d.Drain();
  EXPECT_EQ(d.pocs.size(), 3u);

  // Without gaps allowed the jump forward is taken as it is.
  sps.gaps = 0;
  std::vector<uint8_t> t = Start(sps);
  Append(t, Picture(Idr()));
  Append(t, Picture(P(1)));
  Append(t, Picture(p5));
  Session e;
  e.Feed(t);
  EXPECT_EQ(e.error, 0);
  EXPECT_EQ(e.List(0), (std::vector<int>{1, 0, 1, 1}));
}

// A stream that marks a long-term picture with every frame, moves indexes
// around and names pictures that are gone never holds more than 16 stores,
// and every picture still comes out.
TEST(H264RefLists, CommandFloodStaysWithinTheBuffer) {
  Sps sps;
  sps.maxRefFrames = 16;
  sps.log2MaxFrameNumMinus4 = 4;
  std::vector<uint8_t> s = Start(sps);
  SliceHeader i0 = Idr();
  i0.frameNumBits = 8;
  Append(s, Picture(i0));
  Session d;
  d.Feed(s);
  for (uint64_t n = 1; n < 60; ++n) {
    SliceHeader p = P(n);
    p.frameNumBits = 8;
    p.mmco = {{4, 17, 0}, {6, n % 16, 0}, {3, n % 5, (n * 7) % 16}, {1, 40, 0}, {2, 9, 0}};
    if (n % 13 == 0) p.mmco = {{4, 0, 0}};
    d.Feed(Picture(p));
    ASSERT_LE(d.ctx->dpbFullness, 16u);
    ASSERT_LE(d.References().size(), 16u);
  }
  d.Drain();
  EXPECT_EQ(d.error, 0);
  EXPECT_EQ(d.pocs.size(), 60u);
}
