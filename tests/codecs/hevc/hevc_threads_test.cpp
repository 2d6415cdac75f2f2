// Threaded decoding (eThreadType 1): the same pictures as single-threaded
// decoding for the writer's tiles, slices, dependent-slice and wavefront
// streams, pictures with fewer CTB rows than workers, a size change, access
// unit delimiters, a picture given up in its middle, and the worker pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "codecs/hevc/hevc_internal.h"
#include "tests/codecs/hevc/hevc_test_util.h"
#include "tests/codecs/hevc/stream_writer.h"

using namespace hevc_test;

namespace {

struct Decoded {
  int32_t firstError = 0;
  std::vector<std::vector<uint8_t>> pictures;  // cropped I420
  int workers = 0;                             // worker count left in the handle
  int32_t threadType = 0;                      // threading flag left in the handle
};

std::vector<uint8_t> Cropped(const IH265D_OutArgs& o) {
  std::vector<uint8_t> p;
  for (int c = 0; c < 3; ++c) {
    const uint8_t* plane = c == 0 ? o.pPlaneY : c == 1 ? o.pPlaneU : o.pPlaneV;
    const int w = c ? (o.iPicWidth + 1) / 2 : o.iPicWidth, h = c ? (o.iPicHeight + 1) / 2 : o.iPicHeight;
    const int stride = c ? o.iChromaStride : o.iLumaStride;
    for (int y = 0; y < h; ++y)
      p.insert(p.end(), plane + static_cast<ptrdiff_t>(y) * stride, plane + y * stride + w);
  }
  return p;
}

// Feeds the given pieces one call each (a piece may be cut further when the
// decoder hands out a picture first), then drains.
Decoded DecodePieces(const std::vector<std::vector<uint8_t>>& pieces, int maxW, int maxH, int threadType) {
  Decoded r;
  Decoder d(maxW, maxH, 1, 15, threadType);
  EXPECT_EQ(d.created(), 0);
  if (d.created() != 0) return r;
  auto note = [&](int32_t rc) {
    if (rc != 0 && rc != IH265D_NEED_MORE && !r.firstError) r.firstError = rc;
  };
  for (const auto& s : pieces) {
    size_t done = 0;
    for (int guard = 0; guard < 10000; ++guard) {
      IH265D_InArgs in{s.data() + done, static_cast<uint32_t>(s.size() - done), 0, 0};
      IH265D_OutArgs out{};
      const int32_t rc = IH265D_Decode(d.handle(), &in, &out);
      done += out.iBytesTaken;
      note(rc);
      if (rc == 0 && out.DecodeStatus == IH265D_GETDISPLAY) r.pictures.push_back(Cropped(out));
      if (rc == IH265D_NEED_MORE) break;
    }
  }
  for (int guard = 0; guard < 64; ++guard) {
    IH265D_InArgs in{nullptr, 0, 0, 1};
    IH265D_OutArgs out{};
    const int32_t rc = IH265D_Decode(d.handle(), &in, &out);
    note(rc);
    if (rc != 0 || out.DecodeStatus != IH265D_GETDISPLAY) break;
    r.pictures.push_back(Cropped(out));
  }
  r.workers = d.dec()->ucWorkers;
  r.threadType = d.dec()->eThreadType;
  return r;
}

Decoded DecodeStream(const std::vector<uint8_t>& s, int maxW, int maxH, int threadType) {
  return DecodePieces({s}, maxW, maxH, threadType);
}

// Both thread types give the same pictures, without an error.
void ExpectSameBothWays(const std::vector<uint8_t>& s, int maxW, int maxH, size_t pictures,
                        const std::string& what) {
  const Decoded one = DecodeStream(s, maxW, maxH, 0);
  const Decoded mt = DecodeStream(s, maxW, maxH, 1);
  EXPECT_EQ(one.firstError, 0) << what << Decoder::All();
  EXPECT_EQ(mt.firstError, 0) << what << Decoder::All();
  EXPECT_EQ(one.pictures.size(), pictures) << what;
  ASSERT_EQ(mt.pictures.size(), one.pictures.size()) << what;
  for (size_t i = 0; i < one.pictures.size(); ++i)
    EXPECT_TRUE(mt.pictures[i] == one.pictures[i]) << what << " picture " << i;
}

StreamPlan Plan(const std::string& name) {
  StreamPlan plan;
  EXPECT_TRUE(WriterCase(name, &plan)) << name;
  return plan;
}

// Splits a stream into its NAL units (each with its start code).
std::vector<std::vector<uint8_t>> Units(const std::vector<uint8_t>& s) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 3 <= s.size(); ++i)
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) at.push_back(i > 0 && s[i - 1] == 0 ? i - 1 : i);
  std::vector<std::vector<uint8_t>> u;
  for (size_t k = 0; k < at.size(); ++k)
    u.emplace_back(s.begin() + at[k], k + 1 < at.size() ? s.begin() + at[k + 1] : s.end());
  return u;
}

int TypeOf(const std::vector<uint8_t>& unit) {
  const size_t h = unit[2] == 1 ? 3 : 4;
  return (unit[h] >> 1) & 0x3F;
}

bool StartsPicture(const std::vector<uint8_t>& unit) {
  const size_t h = unit[2] == 1 ? 3 : 4;
  return TypeOf(unit) <= 21 && (unit[h + 2] & 0x80);
}

}  // namespace

TEST(HevcThreads, WriterStreamsGiveTheSinglethreadedPictures) {
  // every writer case: tiles, several slices with and without tiles,
  // dependent slice segments, wavefront rows, and the rest
  for (const std::string& name : WriterCaseNames()) {
    const StreamPlan plan = Plan(name);
    ExpectSameBothWays(WriteStream(plan), static_cast<int>(plan.sps.width), static_cast<int>(plan.sps.height),
                       plan.pictures.size(), name);
  }
}

TEST(HevcThreads, RowsTilesAndSlicesRunOnTheWorkers) {
  // one slice per picture (rows, wavefront rows, tiles) and several slice
  // segments without tiles: decoded by the workers, threading stays on
  struct Case {
    const char* name;
    bool oneSlice;
  };
  for (const Case& c : {Case{"tiles", true}, Case{"wpp-midrow", true}, Case{"wpp-midrow", false},
                        Case{"dependent", false}, Case{"deblock-slices", false}}) {
    StreamPlan plan = Plan(c.name);
    if (c.oneSlice)
      for (auto& p : plan.pictures) p.slices = {SlicePlan{}};
    const std::string what = std::string(c.name) + (c.oneSlice ? " in one slice" : "");
    const auto s = WriteStream(plan);
    const int w = static_cast<int>(plan.sps.width), h = static_cast<int>(plan.sps.height);
    const Decoded mt = DecodeStream(s, w, h, 1);
    EXPECT_EQ(mt.firstError, 0) << what;
    EXPECT_EQ(mt.threadType, 1) << what;
    EXPECT_EQ(mt.workers, std::min(4, h / 32)) << what;
    ExpectSameBothWays(s, w, h, plan.pictures.size(), what);
  }
}

TEST(HevcThreads, FewerCtbRowsThanWorkers) {
  // CTBs of 32: one, two and three rows; the worker count drops for good
  for (int rows : {1, 2, 3}) {
    StreamPlan plan = Plan("tiles");
    plan.pps.tiles = false;
    plan.sps.width = 256;
    plan.sps.height = 32 * rows;
    const auto s = WriteStream(plan);
    const Decoded mt = DecodeStream(s, 256, 96, 1);
    EXPECT_EQ(mt.workers, rows);
    EXPECT_EQ(mt.threadType, 1);
    ExpectSameBothWays(s, 256, 96, plan.pictures.size(), "rows " + std::to_string(rows));
  }
}

TEST(HevcThreads, MoreCtbRowsThanRowContexts) {
  // CTBs of 32: the rows parsed ahead of their reconstruction reuse the
  // worker contexts once a picture is taller than hevc::kRowContexts rows
  for (int rows : {hevc::kRowContexts, hevc::kRowContexts + 1, 2 * hevc::kRowContexts + 3}) {
    StreamPlan plan = Plan("tiles");
    plan.pps.tiles = false;
    plan.sps.width = 128;
    plan.sps.height = 32 * rows;
    const auto s = WriteStream(plan);
    const int h = static_cast<int>(plan.sps.height);
    const Decoded mt = DecodeStream(s, 128, h, 1);
    EXPECT_EQ(mt.firstError, 0) << rows;
    EXPECT_EQ(mt.threadType, 1) << rows;
    ExpectSameBothWays(s, 128, h, plan.pictures.size(), "rows " + std::to_string(rows));
  }
}

TEST(HevcThreads, NarrowPicturesAndParameterSetsBetweenSlicesSwitchThreadingOff) {
  StreamPlan narrow = Plan("tiles");
  narrow.pps.tiles = false;
  narrow.sps.width = 96;  // three CTBs of 32
  Decoded mt = DecodeStream(WriteStream(narrow), 96, 128, 1);
  EXPECT_EQ(mt.threadType, 0);
  ExpectSameBothWays(WriteStream(narrow), 96, 128, narrow.pictures.size(), "three CTBs wide");
  // a PPS again between the two slices of the second picture
  StreamPlan two = Plan("dependent");
  const auto s = WriteStream(two);
  auto units = Units(s);
  std::vector<uint8_t> pps, withPps;
  for (const auto& u : units)
    if (TypeOf(u) == 34) pps = u;
  int pictureStarts = 0;
  bool inserted = false;
  for (const auto& u : units) {
    if (StartsPicture(u)) ++pictureStarts;
    if (pictureStarts == 2 && TypeOf(u) <= 21 && !StartsPicture(u) && !inserted) {
      withPps.insert(withPps.end(), pps.begin(), pps.end());
      inserted = true;
    }
    withPps.insert(withPps.end(), u.begin(), u.end());
  }
  ASSERT_TRUE(inserted);
  mt = DecodeStream(withPps, 256, 128, 1);
  EXPECT_EQ(mt.threadType, 0);
  ExpectSameBothWays(withPps, 256, 128, two.pictures.size(), "PPS between slices");
}

TEST(HevcThreads, SizeChangeMidStream) {
  // a wide picture sequence, then a smaller one with other CTB rows, then the first again
  StreamPlan big = Plan("tiles");
  big.pps.tiles = false;
  big.sps.width = 256;
  big.sps.height = 128;
  StreamPlan small = Plan("tiles");
  small.pps.tiles = false;
  small.sps.width = 128;
  small.sps.height = 96;
  small.seed = 5;
  std::vector<uint8_t> s = WriteStream(big);
  const auto b = WriteStream(small);
  s.insert(s.end(), b.begin(), b.end());
  const auto c = WriteStream(big);
  s.insert(s.end(), c.begin(), c.end());
  const Decoded mt = DecodeStream(s, 256, 128, 1);
  EXPECT_EQ(mt.threadType, 1);
  ExpectSameBothWays(s, 256, 128, 2 * big.pictures.size() + small.pictures.size(), "size change");
}

TEST(HevcThreads, ALostFirstPictureIsReadAsGreyOnEveryPath) {
  // The first picture's slices cut out: its pictures predict the missing
  // picture from a grey one, on one thread and on the workers (rows, tiles,
  // slices), exactly as when that first picture was coded all grey. Regression:
  // the picture stood in for its own missing reference (the first free buffer
  // is the one the lookup gave) and was read while it was being written.
  struct Case {
    const char* name;
    bool oneTile;
  };
  for (const Case& c : {Case{"tiles", true}, Case{"tiles", false}, Case{"tiles-slices", false}}) {
    const std::string what = std::string(c.name) + (c.oneTile ? " in one tile" : "");
    SCOPED_TRACE(what);
    StreamPlan plan = Plan(c.name);
    if (c.oneTile) {
      plan.pps.tiles = false;
      plan.sps.width = 256;
    }
    // the same parameter sets, an intra picture without PCM, residual or SAO: all 128
    StreamPlan grey = plan;
    grey.pcmPercent = 0;
    grey.pictures.resize(1);
    grey.pictures[0].saoLuma = grey.pictures[0].saoChroma = false;
    std::vector<uint8_t> greyFirst;
    for (const auto& u : Units(WriteStream(grey)))
      if (TypeOf(u) <= 21) greyFirst.insert(greyFirst.end(), u.begin(), u.end());
    std::vector<uint8_t> lost, withGrey;
    int starts = 0;
    for (const auto& u : Units(WriteStream(plan))) {
      if (StartsPicture(u) && ++starts == 2) withGrey.insert(withGrey.end(), greyFirst.begin(), greyFirst.end());
      if (starts == 1 && TypeOf(u) <= 21) continue;
      lost.insert(lost.end(), u.begin(), u.end());
      withGrey.insert(withGrey.end(), u.begin(), u.end());
    }
    const int w = static_cast<int>(plan.sps.width), h = static_cast<int>(plan.sps.height);
    const Decoded truth = DecodeStream(withGrey, w, h, 0);
    ASSERT_EQ(truth.pictures.size(), plan.pictures.size());
    for (uint8_t v : truth.pictures[0]) ASSERT_EQ(v, 128);
    for (int threadType : {0, 1}) {
      const Decoded d = DecodeStream(lost, w, h, threadType);
      ASSERT_EQ(d.pictures.size(), truth.pictures.size() - 1) << threadType;
      for (size_t i = 0; i < d.pictures.size(); ++i)
        EXPECT_TRUE(d.pictures[i] == truth.pictures[i + 1]) << "threads " << threadType << " picture " << i;
    }
  }
}

TEST(HevcThreads, AccessUnitDelimitersAreNoFailure) {
  // Regression: a delimiter made the call that carried the next unit return
  // 0xF0404001 although every picture decoded. One access unit per call, a
  // delimiter at the head of each, as the media pipeline feeds them.
  StreamPlan plan = Plan("tiles");
  const auto units = Units(WriteStream(plan));
  const std::vector<uint8_t> aud = {0, 0, 0, 1, 0x46, 0x01, 0x50};
  std::vector<std::vector<uint8_t>> aus;
  for (const auto& u : units) {
    if (aus.empty() || StartsPicture(u)) {
      aus.emplace_back(aud);
      if (aus.size() == 1) aus.back().clear();  // the parameter sets go before the first delimiter
    }
    aus.back().insert(aus.back().end(), u.begin(), u.end());
  }
  const Decoded plain = DecodeStream(WriteStream(plan), 192, 128, 0);
  for (int threadType : {0, 1}) {
    const Decoded d = DecodePieces(aus, 192, 128, threadType);
    EXPECT_EQ(d.firstError, 0) << threadType << Decoder::All();
    ASSERT_EQ(d.pictures.size(), plan.pictures.size()) << threadType;
    for (size_t i = 0; i < d.pictures.size(); ++i) EXPECT_TRUE(d.pictures[i] == plain.pictures[i]) << i;
    EXPECT_TRUE(Decoder::Said("The NAL type 35 is not support", 1));
  }
}

TEST(HevcThreads, AfterAPictureCutInItsMiddleTheNextIdrDecodes) {
  // the slice data of the second picture cut after a third of its bytes (what
  // the cut picture and those that refer to it show is left to each path),
  // then a stream of its own: its pictures come out as when decoded alone;
  // 4 CTB rows, and 30 (the cut falls after the row contexts were reused)
  for (int height : {128, 960}) {
    SCOPED_TRACE("height " + std::to_string(height));
    StreamPlan plan = Plan("tiles");
    plan.pps.tiles = false;
    plan.sps.width = 256;
    plan.sps.height = height;
    const auto units = Units(WriteStream(plan));
    std::vector<uint8_t> s;
    int starts = 0;
    for (auto u : units) {
      if (StartsPicture(u)) ++starts;
      if (starts == 2 && TypeOf(u) <= 21) u.resize(u.size() / 3);
      s.insert(s.end(), u.begin(), u.end());
    }
    plan.seed = 7;
    const auto next = WriteStream(plan);
    s.insert(s.end(), next.begin(), next.end());
    const Decoded alone = DecodeStream(next, 256, height, 0);
    ASSERT_EQ(alone.pictures.size(), plan.pictures.size());
    for (int threadType : {0, 1}) {
      const Decoded d = DecodeStream(s, 256, height, threadType);
      EXPECT_EQ(d.threadType, threadType);
      ASSERT_GE(d.pictures.size(), alone.pictures.size() + 1) << threadType;
      const size_t at = d.pictures.size() - alone.pictures.size();
      for (size_t i = 0; i < alone.pictures.size(); ++i)
        EXPECT_TRUE(d.pictures[at + i] == alone.pictures[i]) << threadType << " picture " << i;
    }
  }
}

TEST(HevcThreads, AnAccessUnitOfTooManyUnitsIsRefusedAndDecodingGoesOn) {
  // 600 delimiters after the slices of the first picture: the batch cannot
  // hold them, the call that closes it returns -1. Regression: the unit that
  // closed the failing batch (the second picture's first slice) was dropped
  // with it, and the second picture lost.
  StreamPlan plan = Plan("tiles");
  plan.pps.tiles = false;
  plan.sps.width = 256;
  const auto units = Units(WriteStream(plan));
  std::vector<uint8_t> s;
  int starts = 0;
  for (const auto& u : units) {
    if (StartsPicture(u) && ++starts == 2)
      for (int k = 0; k < 600; ++k) s.insert(s.end(), {0, 0, 1, 0x46, 0x01, 0x50});
    s.insert(s.end(), u.begin(), u.end());
  }
  plan.seed = 9;
  const auto next = WriteStream(plan);
  s.insert(s.end(), next.begin(), next.end());
  const Decoded alone = DecodeStream(next, 256, 128, 0);
  const Decoded one = DecodeStream(s, 256, 128, 0);
  EXPECT_EQ(one.firstError, 0);
  EXPECT_EQ(one.pictures.size(), 2 * plan.pictures.size());
  const Decoded mt = DecodeStream(s, 256, 128, 1);
  EXPECT_EQ(mt.firstError, -1);
  // only the first picture is lost: the unit that closed its batch opens the next
  EXPECT_EQ(mt.pictures.size(), one.pictures.size() - 1);
  ASSERT_GE(mt.pictures.size(), alone.pictures.size());
  const size_t at = mt.pictures.size() - alone.pictures.size();
  for (size_t i = 0; i < alone.pictures.size(); ++i)
    EXPECT_TRUE(mt.pictures[at + i] == alone.pictures[i]) << i;
}

TEST(HevcThreads, UnitsThatOutgrowTheBatchAreDroppedAndTheStreamAfterThemDecodes) {
  // Regression: filler data without a picture start that left the batch
  // buffer (the size of the stream buffer, 3,133,440 bytes here) 8 bytes of
  // room made every later unit fail with 0xF0401000, for good.
  std::vector<uint8_t> s;
  auto filler = [&](size_t stored) {  // a unit of `stored` bytes without its start code
    s.insert(s.end(), {0, 0, 1, 0x4C, 0x01});
    s.insert(s.end(), stored - 3, 0xFF);
    s.push_back(0x80);
  };
  size_t room = 3133440;
  while (room - 8 > 65539) {
    filler(65539);
    room -= 65539;
  }
  filler(room - 8);
  StreamPlan plan = Plan("tiles");
  const auto stream = WriteStream(plan);
  s.insert(s.end(), stream.begin(), stream.end());
  const Decoded alone = DecodeStream(stream, 192, 128, 0);
  for (int threadType : {0, 1}) {
    const Decoded d = DecodeStream(s, 192, 128, threadType);
    EXPECT_EQ(d.firstError, threadType ? IH265D_ERR_ARG : 0) << threadType;
    ASSERT_EQ(d.pictures.size(), alone.pictures.size()) << threadType;
    for (size_t i = 0; i < d.pictures.size(); ++i) EXPECT_TRUE(d.pictures[i] == alone.pictures[i]) << i;
  }
}

namespace {
struct PoolJob {
  int index;
  std::atomic<int>* order;
  int started;
};
int32_t RunPoolJob(void* arg) {
  auto* j = static_cast<PoolJob*>(arg);
  j->started = j->order->fetch_add(1);
  // later jobs of a round finish first
  std::this_thread::sleep_for(std::chrono::microseconds(200 * (3 - j->index % 4)));
  return j->index + 100;
}
}  // namespace

namespace {

// Memory handed to the decoder full of one byte value: what a decoder reads
// without writing first shows as a difference between two values.
int g_fillByte = 0;
void* FilledAlloc(int32_t, uint32_t n) {
  void* p = std::malloc(n);
  if (p) std::memset(p, g_fillByte, n);
  return p;
}

std::vector<std::vector<uint8_t>> DecodeOnFilledMemory(const std::vector<uint8_t>& s, int w, int h,
                                                       int threadType, int fill) {
  g_fillByte = fill;
  IH265D_InitParam init{};
  init.iMaxWidth = w;
  init.iMaxHeight = h;
  init.iMaxRefNum = 15;
  init.eOutputOrder = 1;
  init.eThreadType = threadType;
  init.MallocFxn = FilledAlloc;
  init.FreeFxn = Decoder::Free;
  init.MessageFxn = Decoder::Record;
  IH265D_HANDLE handle = nullptr;
  std::vector<std::vector<uint8_t>> pictures;
  EXPECT_EQ(IH265D_Create(&handle, &init), 0);
  if (!handle) return pictures;
  size_t done = 0;
  for (int guard = 0; guard < 10000; ++guard) {
    IH265D_InArgs in{s.data() + done, static_cast<uint32_t>(s.size() - done), 0, 0};
    IH265D_OutArgs out{};
    const int32_t rc = IH265D_Decode(handle, &in, &out);
    done += out.iBytesTaken;
    if (rc == 0 && out.DecodeStatus == IH265D_GETDISPLAY) pictures.push_back(Cropped(out));
    if (rc == IH265D_NEED_MORE) break;
  }
  for (int guard = 0; guard < 64; ++guard) {
    IH265D_InArgs in{nullptr, 0, 0, 1};
    IH265D_OutArgs out{};
    const int32_t rc = IH265D_Decode(handle, &in, &out);
    if (rc != 0 || out.DecodeStatus != IH265D_GETDISPLAY) break;
    pictures.push_back(Cropped(out));
  }
  IH265D_Delete(handle);
  return pictures;
}

}  // namespace

TEST(HevcThreads, BrokenStreamsShowTheSameWhateverTheMemoryHeld) {
  // Picture buffers and the SAO source are not cleared when taken: a whole
  // stream with SAO that stops at tile edges, a picture cut in its middle
  // and then referred to, or a first picture whose references are missing,
  // must still come out the same on memory that held zeros and on memory
  // that held 0xFF.
  StreamPlan plan = Plan("tiles");
  plan.pps.tiles = false;
  plan.sps.width = 256;
  plan.sps.height = 128;
  const auto units = Units(WriteStream(plan));
  std::vector<uint8_t> cut, headless;
  int starts = 0;
  for (auto u : units) {
    if (StartsPicture(u)) ++starts;
    const bool slice = TypeOf(u) <= 21;
    if (starts != 1 || !slice) headless.insert(headless.end(), u.begin(), u.end());
    if (starts == 2 && slice) u.resize(u.size() / 3);
    cut.insert(cut.end(), u.begin(), u.end());
  }
  struct Case {
    const char* what;
    const std::vector<uint8_t>& stream;
    int threadType;
  };
  StreamPlan nolf = Plan("tiles-explicit-nolf");
  const auto whole = WriteStream(nolf);
  const Case cases[] = {{"cut", cut, 0},           {"cut", cut, 1},     {"headless", headless, 0},
                        {"headless", headless, 1}, {"whole", whole, 0}, {"whole", whole, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " threads " + std::to_string(c.threadType));
    const auto zeros = DecodeOnFilledMemory(c.stream, 256, 128, c.threadType, 0x00);
    const auto ones = DecodeOnFilledMemory(c.stream, 256, 128, c.threadType, 0xFF);
    EXPECT_GE(zeros.size(), plan.pictures.size() - 2);
    ASSERT_EQ(ones.size(), zeros.size());
    for (size_t i = 0; i < zeros.size(); ++i) EXPECT_TRUE(ones[i] == zeros[i]) << "picture " << i;
  }
}

TEST(HevcWorkerPool, JobsStartInQueueOrderAndResultsAreCollectedByArgument) {
  hevc::HevcWorkerPool* pool = nullptr;
  ASSERT_EQ(hevc::HevcWorkerPoolCreate(&pool, 4, 4, nullptr, nullptr), 0);
  std::atomic<int> order{0};
  std::vector<PoolJob> jobs(17);
  for (int i = 0; i < 17; ++i) jobs[i] = {i, &order, -1};
  for (int first = 0; first < 17; first += 4) {
    const int end = std::min(first + 4, 17);
    for (int i = first; i < end; ++i) hevc::HevcWorkerPoolQueue(pool, RunPoolJob, &jobs[i]);
    for (int i = first; i < end; ++i) EXPECT_EQ(hevc::HevcWorkerPoolWait(pool, &jobs[i]), i + 100);
  }
  // a round's jobs start before the next round's
  for (int i = 0; i < 17; ++i) EXPECT_EQ(jobs[i].started / 4, i / 4) << i;
  hevc::HevcWorkerPoolDelete(pool);
  EXPECT_EQ(hevc::HevcWorkerPoolCreate(&pool, 0, 4, nullptr, nullptr), -1);
  EXPECT_EQ(hevc::HevcWorkerPoolCreate(&pool, 4, 3, nullptr, nullptr), -1);
}

// More job records than threads: all of them queued at once, collected in any order.
TEST(HevcWorkerPool, QueuesAsManyJobsAsRecordsOnFewerThreads) {
  hevc::HevcWorkerPool* pool = nullptr;
  ASSERT_EQ(hevc::HevcWorkerPoolCreate(&pool, 2, 8, nullptr, nullptr), 0);
  std::atomic<int> order{0};
  std::vector<PoolJob> jobs(8);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 8; ++i) jobs[i] = {i, &order, -1};
    for (int i = 0; i < 8; ++i) hevc::HevcWorkerPoolQueue(pool, RunPoolJob, &jobs[i]);
    for (int i = 7; i >= 0; --i) EXPECT_EQ(hevc::HevcWorkerPoolWait(pool, &jobs[i]), i + 100);
  }
  hevc::HevcWorkerPoolDelete(pool);
}

namespace {
int32_t RunShortJob(void* arg) {
  auto* n = static_cast<std::atomic<int>*>(arg);
  return n->fetch_add(1) >= 0 ? 7 : 0;
}
}  // namespace

// Jobs finish while the dispatcher decides to sleep on them: thousands of
// jobs too short to wait for, collected first-queued, last-queued or one at a
// time; a finish it misses hangs the test. The pool is then deleted with
// finished jobs nobody collected (each record freed once).
TEST(HevcWorkerPool, CollectsJobsThatFinishAsItGoesToSleep) {
  struct Case {
    int threads, records, batch;
    bool lastFirst;
  };
  const Case cases[] = {{4, 8, 8, false}, {4, 8, 8, true}, {1, 1, 1, false}, {4, 4, 1, false}, {2, 8, 5, true}};
  for (const Case& c : cases) {
    hevc::HevcWorkerPool* pool = nullptr;
    ASSERT_EQ(hevc::HevcWorkerPoolCreate(&pool, c.threads, c.records, nullptr, nullptr), 0);
    std::vector<std::atomic<int>> counts(c.batch);
    for (int round = 0; round < 400; ++round) {
      for (int i = 0; i < c.batch; ++i) hevc::HevcWorkerPoolQueue(pool, RunShortJob, &counts[i]);
      for (int i = 0; i < c.batch; ++i) {
        const int j = c.lastFirst ? c.batch - 1 - i : i;
        ASSERT_EQ(hevc::HevcWorkerPoolWait(pool, &counts[j]), 7) << c.threads << " " << round;
      }
    }
    for (int i = 0; i < c.batch; ++i) EXPECT_EQ(counts[i].load(), 400);
    // left uncollected
    for (int i = 0; i < c.batch; ++i) hevc::HevcWorkerPoolQueue(pool, RunShortJob, &counts[i]);
    hevc::HevcWorkerPoolDelete(pool);
  }
}
