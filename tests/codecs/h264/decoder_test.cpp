// The decoder through its interface: create and decode calls, the limits of
// every parser (table-driven, from small hostile streams), output orders and
// the picture buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "codecs/h264/h264_bitreader.h"
#include "codecs/h264/h264_internal.h"
#include "codecs/h264/h264dec.h"
#include "tests/codecs/h264/stream_builder.h"

using namespace h264test;

namespace {

// What the decoder handed out; the records' pointers are only valid while
// the decoder lives, so the data behind them is copied.
struct Output {
  std::vector<H264DecFrame> frames;
  std::vector<std::vector<uint8_t>> luma;      // the visible luma of each picture
  std::vector<std::vector<uint32_t>> stats;    // pictureInfo
  std::vector<std::vector<uint8_t>> userData;  // SEI type-240 payload, if any
  int error = 0;                               // first unit error of the stream
};

struct Decoder {
  explicit Decoder(uint32_t flags = H264DEC_FLAG_DISPLAY_ORDER, uint32_t widthMbs = 8, uint32_t heightMbs = 8,
                   uint32_t refFrames = 4) {
    H264DecParam p{};
    p.widthMbs = widthMbs;
    p.heightMbs = heightMbs;
    p.refFrames = refFrames;
    p.flags = flags;
    ctx = H264Dec_Create(&p);
  }
  ~Decoder() { H264Dec_Destroy(ctx); }
  H264DecContext* ctx;
};

void Collect(H264DecContext* ctx, const H264DecFrame& f, Output& out) {
  out.frames.push_back(f);
  std::vector<uint8_t> y;
  int w = f.width - f.cropLeft - f.cropRight, h = f.height - f.cropTop - f.cropBottom;
  for (int r = 0; r < h; ++r) {
    const uint8_t* row = f.y + static_cast<ptrdiff_t>(f.cropTop + r) * f.lumaStride + f.cropLeft;
    y.insert(y.end(), row, row + w);
  }
  out.luma.push_back(std::move(y));
  out.stats.emplace_back(f.pictureInfo, f.pictureInfo + 10);
  std::vector<uint8_t> user;
  if (f.userData) {
    auto* u = static_cast<const H264DecUserData*>(f.userData);
    EXPECT_EQ(u->marker, 240u);
    user.assign(u->payload, u->payload + u->length);
  }
  out.userData.push_back(std::move(user));
  int e = H264Dec_GetError(ctx);
  if (!out.error) out.error = e;
}

// Feeds the whole stream in one call and drains.
Output DecodeAll(H264DecContext* ctx, const std::vector<uint8_t>& stream) {
  Output out;
  H264DecFrame f;
  int rc = H264Dec_Decode(ctx, stream.data(), static_cast<uint32_t>(stream.size()), 0, 0, &f, 0);
  while (rc == H264DEC_PICTURE) {
    Collect(ctx, f, out);
    rc = H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 0);
  }
  EXPECT_EQ(rc, H264DEC_NEED_INPUT);
  while ((rc = H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 1)) == H264DEC_PICTURE) Collect(ctx, f, out);
  EXPECT_EQ(rc, H264DEC_NO_MORE);
  int e = H264Dec_GetError(ctx);
  if (!out.error) out.error = e;
  return out;
}

Output DecodeAll(const std::vector<uint8_t>& stream, uint32_t flags = H264DEC_FLAG_DISPLAY_ORDER) {
  Decoder d(flags);
  return DecodeAll(d.ctx, stream);
}

std::vector<uint8_t> Stream(const Sps& sps, const Pps& pps, const std::vector<std::vector<uint8_t>>& slices) {
  std::vector<uint8_t> s;
  Append(s, sps.Build());
  Append(s, pps.Build());
  for (const auto& sl : slices) Append(s, sl);
  return s;
}

// One IDR picture whose slice header fits the SPS.
std::vector<uint8_t> Simple(const Sps& sps, const Pps& pps) {
  SliceHeader h;
  h.pocType = static_cast<int>(sps.pocType);
  h.frameNumBits = static_cast<int>(sps.log2MaxFrameNumMinus4 + 4);
  h.pocLsbBits = static_cast<int>(sps.log2MaxPocLsbMinus4 + 4);
  return Stream(sps, pps, {DcPicture(h)});
}

}  // namespace

TEST(H264Decoder, CreateClampsSizesAndRefusesBadRecords) {
  H264DecParam p{};
  p.widthMbs = 1;
  p.heightMbs = 1100;
  p.refFrames = 0;
  H264DecContext* ctx = H264Dec_Create(&p);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->widthMbs, 120u);
  EXPECT_EQ(ctx->heightMbs, 68u);
  EXPECT_EQ(ctx->refFrames, 4u);
  EXPECT_EQ(ctx->numBuffers, 12u);
  H264Dec_Destroy(ctx);
  p.refFrames = 40;
  ctx = H264Dec_Create(&p);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->refFrames, 16u);
  H264Dec_Destroy(ctx);

  EXPECT_EQ(H264Dec_Create(nullptr), nullptr);
  p.reserved1 = 1;
  EXPECT_EQ(H264Dec_Create(&p), nullptr);
  H264Dec_Destroy(nullptr);
}

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer a picture-sized buffer ends where its size says:
// one byte past it is reported, not lost in the slack of a larger mapping.
TEST(H264DecoderDeathTest, BufferOverrunIsReported) {
  EXPECT_DEATH(
      {
        auto* block = static_cast<volatile uint8_t*>(H264DecMapBuffer(64 * 384));
        block[64 * 384] = 1;
      },
      "heap-buffer-overflow");
}
#endif

TEST(H264Decoder, BadArgumentsGiveMinusThree) {
  Decoder d;
  H264DecFrame f;
  uint8_t byte = 0;
  EXPECT_EQ(H264Dec_Decode(nullptr, &byte, 1, 0, 0, &f, 0), H264DEC_BAD_ARG);
  EXPECT_EQ(H264Dec_Decode(d.ctx, &byte, 1, 0, 0, nullptr, 0), H264DEC_BAD_ARG);
  EXPECT_EQ(H264Dec_Decode(d.ctx, &byte, 1, 0, 0, &f, 2), H264DEC_BAD_ARG);
  EXPECT_EQ(H264Dec_GetFrame(d.ctx, nullptr), H264DEC_BAD_ARG);
  EXPECT_EQ(H264Dec_GetFrame(d.ctx, &f), H264DEC_NO_MORE);
}

// The last unit of the input has no start code behind it: it waits for more
// input or a drain.
TEST(H264Decoder, LastUnitWaitsForDrain) {
  Decoder d;
  std::vector<uint8_t> s = Simple(Sps{}, Pps{});
  H264DecFrame f;
  EXPECT_EQ(H264Dec_Decode(d.ctx, s.data(), static_cast<uint32_t>(s.size()), 7, 0, &f, 0), H264DEC_NEED_INPUT);
  // Input with the drain flag is decoded as a normal call.
  uint8_t aud[] = {0, 0, 0, 1, 9, 0x10};
  EXPECT_EQ(H264Dec_Decode(d.ctx, aud, sizeof aud, 8, 0, &f, 1), H264DEC_NEED_INPUT);
  ASSERT_EQ(H264Dec_Decode(d.ctx, nullptr, 0, 9, 0, &f, 1), H264DEC_PICTURE);
  EXPECT_EQ(f.timeStampLow, 8u);  // the call during which its slice was parsed
  EXPECT_EQ(f.width, 32);
  EXPECT_EQ(f.idr, 1);
  EXPECT_EQ(H264Dec_Decode(d.ctx, nullptr, 0, 0, 0, &f, 1), H264DEC_NO_MORE);
  // A second drain finds nothing more.
  EXPECT_EQ(H264Dec_Decode(d.ctx, nullptr, 0, 0, 0, &f, 1), H264DEC_NO_MORE);
  EXPECT_EQ(H264Dec_GetError(d.ctx), 0);
}

// A drain that comes while input is still pending decodes that input first
// and closes its last unit; nothing is lost.
TEST(H264Decoder, DrainContinuesPendingInput) {
  Decoder d(0);
  std::vector<uint8_t> s;
  Append(s, Sps{}.Build());
  Append(s, Pps{}.Build());
  for (int n = 0; n < 3; ++n) {
    SliceHeader h;
    h.idr = n == 0;
    h.frameNum = static_cast<uint64_t>(n);
    Append(s, DcPicture(h));
  }
  H264DecFrame f;
  ASSERT_EQ(H264Dec_Decode(d.ctx, s.data(), static_cast<uint32_t>(s.size()), 0, 0, &f, 0), H264DEC_PICTURE);
  std::vector<int> pocs = {f.poc};
  while (H264Dec_Decode(d.ctx, nullptr, 0, 0, 0, &f, 1) == H264DEC_PICTURE) pocs.push_back(f.poc);
  EXPECT_EQ(pocs, (std::vector<int>{0, 2, 4}));
}

TEST(H264Decoder, ResetStartsANewStream) {
  Decoder d;
  std::vector<uint8_t> s = Simple(Sps{}, Pps{});
  Output first = DecodeAll(d.ctx, s);
  H264Dec_Reset(d.ctx);
  // After a reset the parameter sets are gone.
  std::vector<uint8_t> slice = DcPicture(SliceHeader{});
  Output none = DecodeAll(d.ctx, slice);
  EXPECT_TRUE(none.frames.empty());
  EXPECT_EQ(none.error, H264DEC_ERR_NO_PARAMETER_SETS);
  H264Dec_Reset(d.ctx);
  Output again = DecodeAll(d.ctx, s);
  ASSERT_EQ(first.frames.size(), 1u);
  ASSERT_EQ(again.frames.size(), 1u);
  EXPECT_EQ(first.luma[0], again.luma[0]);
}

// Emulation-prevention bytes are removed (00 00 03 00 00 03 loses both), as
// the private user-data SEI shows; it stays attached to later pictures.
TEST(H264Decoder, EmulationPreventionAndUserDataSei) {
  const std::vector<uint8_t> payload = {0, 0, 1, 0, 0, 0, 0, 0, 2, 0xAB};
  BitWriter w;
  w.U(8, 240);
  w.U(8, payload.size());
  w.Bytes(payload.data(), payload.size());
  w.Trailing();
  std::vector<uint8_t> sei = Nal(0, 6, w.bytes());
  int inserted = 0;
  for (size_t i = 0; i + 2 < sei.size(); ++i)
    if (sei[i] == 0 && sei[i + 1] == 0 && sei[i + 2] == 3) ++inserted;
  EXPECT_GE(inserted, 2);
  std::vector<uint8_t> s;
  Append(s, Sps{}.Build());
  Append(s, Pps{}.Build());
  Append(s, sei);
  Append(s, DcPicture(SliceHeader{}));
  SliceHeader second;
  second.idrPicId = 1;
  Append(s, DcPicture(second));
  Output out = DecodeAll(s);
  ASSERT_EQ(out.frames.size(), 2u);
  for (const auto& user : out.userData) EXPECT_EQ(user, payload);
}

// A unit longer than the NAL buffer is dropped whole; decoding goes on with
// the next unit.
TEST(H264Decoder, UnitLongerThanTheBufferIsDropped) {
  for (size_t padding : {size_t{1000}, size_t{40000}}) {
    Decoder d;
    BitWriter w;
    w.U(8, 240);
    w.U(8, 4);
    for (int i = 0; i < 4; ++i) w.U(8, 0x11);
    for (size_t i = 0; i < padding; ++i) w.U(8, 0x55);
    w.Trailing();
    std::vector<uint8_t> s;
    Append(s, Sps{}.Build());
    Append(s, Pps{}.Build());
    Append(s, Nal(0, 6, w.bytes()));
    Append(s, DcPicture(SliceHeader{}));
    Output out = DecodeAll(d.ctx, s);
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.error, 0);
    EXPECT_EQ(out.userData[0].size(), padding < d.ctx->nalBufferSize ? 4u : 0u) << padding;
  }
}

// Reads beyond the unit see zero bits and stop at the reader's limit, inside
// the zeroed guard behind the unit.
TEST(H264BitReader, NeverLeavesTheBuffer) {
  const uint32_t bytes = 5;
  std::vector<uint8_t> buf(bytes + kH264NalGuard, 0);
  const uint8_t unit[bytes] = {0xFF, 0x00, 0x00, 0x01, 0x80};
  std::memcpy(buf.data(), unit, bytes);
  H264DecBitReader br;
  H264BitReaderInit(&br, buf.data(), bytes);
  EXPECT_EQ(br.bitLength, 32u);
  EXPECT_EQ(H264ReadBits(8, &br), 0xFFu);
  // 23 zeros, then 24 bits that run past the stop bit into zeros.
  EXPECT_EQ(H264ReadUe(&br), (1u << 23) + (1u << 22) - 1);
  EXPECT_EQ(H264MoreRbspData(&br), 0);
  for (int i = 0; i < 10000; ++i) {
    H264ReadUe(&br);
    H264ReadBits(32, &br);
    ASSERT_LE(br.pos, br.limit);
  }
  EXPECT_EQ(br.pos, br.limit);
  EXPECT_LE(br.limit / 8 + 8, br.size);  // a peek loads eight bytes
  EXPECT_EQ(H264ReadUe(&br), 0xFFFFFFFFu);
  EXPECT_EQ(H264ReadBits(32, &br), 0u);
  EXPECT_EQ(H264MoreRbspData(&br), 0);
}

TEST(H264BitReader, ExpGolombAndMoreRbspData) {
  BitWriter w;
  const uint32_t values[] = {0, 1, 2, 3, 254, 255, 65535, 1u << 20, 0xFFFFFFFEu};
  for (uint32_t v : values) w.Ue(v);
  for (int32_t v : {0, 1, -1, 25, -26, 2147483647}) w.Se(v);
  w.Trailing();
  std::vector<uint8_t> buf = w.bytes();
  uint32_t bytes = static_cast<uint32_t>(buf.size());
  buf.resize(bytes + kH264NalGuard, 0);
  H264DecBitReader br;
  H264BitReaderInit(&br, buf.data(), bytes);
  for (uint32_t v : values) EXPECT_EQ(H264ReadUe(&br), v);
  for (int32_t v : {0, 1, -1, 25, -26, 2147483647}) EXPECT_EQ(H264ReadSe(&br), v);
  EXPECT_EQ(H264MoreRbspData(&br), 0);
}

TEST(H264Decoder, Sei224MarksFramePhaseUntilTheNextSps) {
  std::vector<uint8_t> s;
  Append(s, Sps{}.Build());
  Append(s, Pps{}.Build());
  BitWriter w;
  w.U(8, 224);
  w.U(8, 1);
  w.U(8, 1);
  w.Trailing();
  Append(s, Nal(0, 6, w.bytes()));
  for (int n = 0; n < 3; ++n) {
    SliceHeader h;
    h.idr = n == 0;
    h.frameNum = static_cast<uint64_t>(n);
    Append(s, DcPicture(h));
  }
  Append(s, Sps{}.Build());
  SliceHeader idr;
  idr.idrPicId = 1;
  Append(s, DcPicture(idr));
  Output out = DecodeAll(s);
  ASSERT_EQ(out.frames.size(), 4u);
  EXPECT_EQ(out.frames[0].sei224Phase, 1);
  EXPECT_EQ(out.frames[1].sei224Phase, 2);
  EXPECT_EQ(out.frames[2].sei224Phase, 1);
  EXPECT_EQ(out.frames[3].sei224Phase, 0);
  EXPECT_EQ(out.error, 0);
}

struct LimitCase {
  const char* name;
  std::function<std::vector<uint8_t>()> stream;
  int error;  // first unit error; 0: the stream decodes into one picture or more
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

class H264Limits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(H264Limits, FirstErrorOfTheStream) {
  Output out = DecodeAll(GetParam().stream());
  EXPECT_EQ(out.error, GetParam().error) << std::hex << out.error;
  if (GetParam().error == 0) {
    EXPECT_FALSE(out.frames.empty());
  }
}

std::vector<uint8_t> WithSps(std::function<void(Sps&)> edit) {
  Sps sps;
  edit(sps);
  return Simple(sps, Pps{});
}

std::vector<uint8_t> WithPps(std::function<void(Pps&)> edit, int profile = 66) {
  Sps sps;
  sps.profile = profile;
  Pps pps;
  edit(pps);
  return Simple(sps, pps);
}

std::vector<uint8_t> WithSlice(std::function<void(SliceHeader&, Pps&)> edit) {
  SliceHeader h;
  Pps pps;
  edit(h, pps);
  return Stream(Sps{}, pps, {DcPicture(h)});
}

INSTANTIATE_TEST_SUITE_P(
    SequenceParameterSet, H264Limits,
    ::testing::Values(
        LimitCase{"valid", [] { return WithSps([](Sps&) {}); }, 0},
        LimitCase{"id 32", [] { return WithSps([](Sps& s) { s.id = 32; }); }, 0x20000001},
        LimitCase{"log2_max_frame_num 17", [] { return WithSps([](Sps& s) { s.log2MaxFrameNumMinus4 = 13; }); },
                  0x20000002},
        LimitCase{"17 reference frames", [] { return WithSps([](Sps& s) { s.maxRefFrames = 17; }); }, 0x20000003},
        LimitCase{"more reference frames than the context", [] { return WithSps([](Sps& s) { s.maxRefFrames = 5; }); },
                  0x2000000a},
        LimitCase{"POC type 3", [] { return WithSps([](Sps& s) { s.pocType = 3; }); }, 0x20000004},
        LimitCase{"log2_max_pic_order_cnt_lsb 17",
                  [] {
                    return WithSps([](Sps& s) {
                      s.pocType = 0;
                      s.log2MaxPocLsbMinus4 = 13;
                    });
                  },
                  0x20000007},
        LimitCase{"POC cycle of 255", [] {
                    return WithSps([](Sps& s) {
                      s.pocType = 1;
                      s.pocCycle.assign(255, 2);
                    });
                  },
                  0},
        LimitCase{"POC cycle of 256", [] {
                    return WithSps([](Sps& s) {
                      s.pocType = 1;
                      s.pocCycle.assign(256, 2);
                    });
                  },
                  0x20000005},
        LimitCase{"cropping the whole height", [] {
                    return WithSps([](Sps& s) {
                      s.crop = true;
                      s.cropTop = 8;
                      s.cropBottom = 8;
                    });
                  },
                  0x20000006},
        LimitCase{"4:2:2", [] {
                    return WithSps([](Sps& s) {
                      s.profile = 122;
                      s.chromaFormat = 2;
                    });
                  },
                  0x20000007},
        LimitCase{"9-bit luma", [] {
                    return WithSps([](Sps& s) {
                      s.profile = 110;
                      s.bitDepthLuma = 1;
                    });
                  },
                  0x20000007},
        LimitCase{"lossless", [] {
                    return WithSps([](Sps& s) {
                      s.profile = 244;
                      s.losslessFlag = 1;
                    });
                  },
                  H264DEC_ERR_LOSSLESS},
        LimitCase{"High 4:4:4 profile without lossless", [] { return WithSps([](Sps& s) { s.profile = 244; }); }, 0},
        LimitCase{"Extended profile", [] { return WithSps([](Sps& s) { s.profile = 88; }); }, 0x20000009},
        LimitCase{"wider than the context", [] { return WithSps([](Sps& s) { s.widthMbsMinus1 = 8; }); }, 0x2000000c},
        LimitCase{"one macroblock wide", [] { return WithSps([](Sps& s) { s.widthMbsMinus1 = 0; }); }, 0x2000000c},
        LimitCase{"huge width", [] { return WithSps([](Sps& s) { s.widthMbsMinus1 = 0xFFFFFFFEull; }); }, 0x2000000c},
        LimitCase{"MBAFF", [] {
                    return WithSps([](Sps& s) {
                      s.frameMbsOnly = 0;
                      s.mbaff = 1;
                    });
                  },
                  0x2000000b}));

INSTANTIATE_TEST_SUITE_P(
    PictureParameterSet, H264Limits,
    ::testing::Values(
        LimitCase{"id 256", [] { return WithPps([](Pps& p) { p.id = 256; }); }, 0x20000011},
        LimitCase{"missing SPS", [] { return WithPps([](Pps& p) { p.spsId = 3; }); }, 0x20000012},
        LimitCase{"SPS id 32", [] { return WithPps([](Pps& p) { p.spsId = 32; }); }, 0x20000012},
        LimitCase{"slice groups", [] { return WithPps([](Pps& p) { p.sliceGroupsMinus1 = 1; }); }, 0x2000001a},
        LimitCase{"32 default list-0 references", [] { return WithPps([](Pps& p) { p.refIdxL0Minus1 = 32; }); },
                  0x20000016},
        LimitCase{"32 default list-1 references", [] { return WithPps([](Pps& p) { p.refIdxL1Minus1 = 32; }); },
                  0x20000017},
        LimitCase{"pic_init_qp -1", [] { return WithPps([](Pps& p) { p.initQpMinus26 = -27; }); }, 0x20000013},
        LimitCase{"pic_init_qp 52", [] { return WithPps([](Pps& p) { p.initQpMinus26 = 26; }); }, 0x20000013},
        LimitCase{"pic_init_qs 52", [] { return WithPps([](Pps& p) { p.initQsMinus26 = 26; }); }, 0x20000014},
        LimitCase{"chroma offset 13", [] { return WithPps([](Pps& p) { p.chromaQpOffset = 13; }); }, 0x20000015},
        LimitCase{"second chroma offset -13",
                  [] {
                    return WithPps(
                        [](Pps& p) {
                          p.high = true;
                          p.secondChromaQpOffset = -13;
                        },
                        100);
                  },
                  0x20000015},
        LimitCase{"extreme chroma offsets", [] {
                    return WithPps(
                        [](Pps& p) {
                          p.high = true;
                          p.chromaQpOffset = 12;
                          p.secondChromaQpOffset = -12;
                        },
                        100);
                  },
                  0}));

// A picture of a sequence with field coding allowed; field_pic_flag as given.
std::vector<uint8_t> Interlaced(int fieldPic) {
  Sps sps;
  sps.frameMbsOnly = 0;
  SliceHeader h;
  h.fieldPic = fieldPic;
  return Stream(sps, Pps{}, {DcPicture(h)});
}

INSTANTIATE_TEST_SUITE_P(
    SliceHeader, H264Limits,
    ::testing::Values(
        LimitCase{"slice_type 10", [] { return WithSlice([](SliceHeader& h, Pps&) { h.sliceType = 10; }); },
                  0x30000001},
        LimitCase{"PPS never sent", [] { return WithSlice([](SliceHeader& h, Pps&) { h.ppsId = 5; }); }, 0x30000002},
        LimitCase{"IDR with frame_num 1", [] { return WithSlice([](SliceHeader& h, Pps&) { h.frameNum = 1; }); },
                  0x30000003},
        LimitCase{"slice QP 52", [] { return WithSlice([](SliceHeader& h, Pps&) { h.qpDelta = 26; }); },
                  H264DEC_ERR_SLICE_QP},
        LimitCase{"slice QP -1", [] { return WithSlice([](SliceHeader& h, Pps&) { h.qpDelta = -27; }); },
                  H264DEC_ERR_SLICE_QP},
        LimitCase{"slice QP 0 and 51", [] {
                    Sps sps;
                    Pps pps;
                    SliceHeader a, b;
                    a.qpDelta = -26;
                    b.qpDelta = 25;
                    b.idrPicId = 1;
                    return Stream(sps, pps, {DcPicture(a), DcPicture(b)});
                  },
                  0},
        LimitCase{"alpha offset 7", [] { return WithSlice([](SliceHeader& h, Pps&) { h.alphaDiv2 = 7; }); },
                  0x3000000a},
        LimitCase{"beta offset -7", [] { return WithSlice([](SliceHeader& h, Pps&) { h.betaDiv2 = -7; }); },
                  0x3000000a},
        LimitCase{"redundant slice", [] {
                    return WithSlice([](SliceHeader& h, Pps& p) {
                      p.redundantPicCnt = 1;
                      h.redundantPicCntPresent = 1;
                      h.redundantPicCnt = 1;
                    });
                  },
                  H264DEC_ERR_REDUNDANT},
        LimitCase{"P slice without a reference picture", [] {
                    return WithSlice([](SliceHeader& h, Pps&) {
                      h.idr = false;
                      h.sliceType = 5;
                      h.frameNum = 1;
                    });
                  },
                  0x30000005},
        LimitCase{"field picture", [] { return Interlaced(1); }, 0},
        LimitCase{"frame picture of an interlaced sequence", [] { return Interlaced(0); }, 0},
        LimitCase{"SP slice", [] { return WithSlice([](SliceHeader& h, Pps&) { h.sliceType = 8; }); },
                  H264DEC_ERR_NOT_SUPPORTED},
        LimitCase{"slice before its parameter sets", [] { return DcPicture(SliceHeader{}); },
                  H264DEC_ERR_NO_PARAMETER_SETS},
        LimitCase{"data partition", [] {
                    std::vector<uint8_t> s = Simple(Sps{}, Pps{});
                    Append(s, Nal(2, 2, {0x12, 0x34, 0x80}));
                    return s;
                  },
                  H264DEC_ERR_NAL_TYPE}));

// Macroblock syntax of the first macroblock of a 2x2-macroblock IDR picture;
// `rest` macroblocks of DC prediction follow.
std::vector<uint8_t> WithMacroblock(std::function<void(BitWriter&)> mb, int rest = 3, int profile = 66) {
  SliceHeader h;
  BitWriter w;
  h.Write(w);
  mb(w);
  for (int i = 0; i < rest; ++i) WriteDcMacroblock(w);
  Sps sps;
  sps.profile = profile;
  return Stream(sps, Pps{}, {SliceNal(h, w)});
}

// Intra_16x16 DC prediction with every luma AC block coded; `ac0` writes the
// first AC block, the other fifteen are empty.
void I16x16WithAc(BitWriter& w, std::function<void(BitWriter&)> ac0) {
  w.Ue(15);  // I_16x16_2_0_1
  w.Ue(0);
  w.Se(0);
  w.Bit(1);  // DC: no coefficients
  ac0(w);
  for (int i = 1; i < 16; ++i) w.Bit(1);
}

constexpr int kSyntax = 0x40000000 + kH264MbSyntaxError;
constexpr int kResidual = 0x40000000 + kH264MbResidualError;
constexpr int kRecon = 0x40000000 + kH264MbReconError;

INSTANTIATE_TEST_SUITE_P(
    Macroblock, H264Limits,
    ::testing::Values(
        LimitCase{"mb_qp_delta 25", [] { return WithMacroblock([](BitWriter& w) { WriteDcMacroblock(w, 25); }); }, 0},
        LimitCase{"mb_qp_delta -26", [] { return WithMacroblock([](BitWriter& w) { WriteDcMacroblock(w, -26); }); },
                  0},
        LimitCase{"mb_qp_delta 26", [] { return WithMacroblock([](BitWriter& w) { WriteDcMacroblock(w, 26); }); },
                  kSyntax},
        LimitCase{"mb_qp_delta -27", [] { return WithMacroblock([](BitWriter& w) { WriteDcMacroblock(w, -27); }); },
                  kSyntax},
        LimitCase{"mb_qp_delta of 32 leading zeros",
                  [] {
                    return WithMacroblock(
                        [](BitWriter& w) {
                          w.Ue(3);
                          w.Ue(0);
                          w.U(32, 0);
                          w.U(8, 0xFF);
                        },
                        0);
                  },
                  kSyntax},
        LimitCase{"mb_type 26 in an I slice", [] { return WithMacroblock([](BitWriter& w) { w.Ue(26); }, 0); },
                  kSyntax},
        LimitCase{"coded_block_pattern 48", [] {
                    return WithMacroblock(
                        [](BitWriter& w) {
                          w.Ue(0);  // I_NxN
                          for (int i = 0; i < 16; ++i) w.Bit(1);
                          w.Ue(0);
                          w.Ue(48);
                        },
                        0);
                  },
                  kSyntax},
        LimitCase{"intra_chroma_pred_mode 4", [] {
                    return WithMacroblock(
                        [](BitWriter& w) {
                          w.Ue(3);
                          w.Ue(4);
                          w.Se(0);
                          w.Bit(1);
                        },
                        0);
                  },
                  kSyntax},
        LimitCase{"total_zeros 14 in a 15-coefficient block", [] {
                    return WithMacroblock([](BitWriter& w) {
                      I16x16WithAc(w, [](BitWriter& b) {
                        b.U(2, 1);  // TotalCoeff 1, TrailingOnes 1
                        b.Bit(0);
                        b.U(9, 2);  // total_zeros 14
                      });
                    });
                  },
                  0},
        LimitCase{"total_zeros 15 in a 15-coefficient block", [] {
                    return WithMacroblock([](BitWriter& w) {
                      I16x16WithAc(w, [](BitWriter& b) {
                        b.U(2, 1);
                        b.Bit(0);
                        b.U(9, 1);  // total_zeros 15
                      });
                    });
                  },
                  kResidual},
        LimitCase{"TotalCoeff 16 in a 15-coefficient block", [] {
                    return WithMacroblock([](BitWriter& w) {
                      I16x16WithAc(w, [](BitWriter& b) { b.U(16, 4); });
                    });
                  },
                  kResidual},
        LimitCase{"level_prefix 15 in Baseline", [] {
                    return WithMacroblock([](BitWriter& w) {
                      I16x16WithAc(w, [](BitWriter& b) {
                        b.U(6, 5);   // TotalCoeff 1, TrailingOnes 0
                        b.U(16, 1);  // level_prefix 15
                        b.U(12, 7);
                        b.U(1, 1);  // total_zeros 0
                      });
                    });
                  },
                  0},
        LimitCase{"level_prefix 16 in Baseline", [] {
                    return WithMacroblock([](BitWriter& w) {
                      I16x16WithAc(w, [](BitWriter& b) {
                        b.U(6, 5);
                        b.U(17, 1);  // level_prefix 16
                        b.U(13, 7);
                        b.U(1, 1);
                      });
                    });
                  },
                  kResidual},
        LimitCase{"level_prefix 20 in High", [] {
                    return WithMacroblock(
                        [](BitWriter& w) {
                          I16x16WithAc(w, [](BitWriter& b) {
                            b.U(6, 5);
                            b.U(21, 1);  // level_prefix 20
                            b.U(17, 7);
                            b.U(1, 1);
                          });
                        },
                        3, 100);
                  },
                  kResidual},
        LimitCase{"level_prefix of 32 zeros", [] {
                    return WithMacroblock(
                        [](BitWriter& w) {
                          I16x16WithAc(w, [](BitWriter& b) {
                            b.U(6, 5);
                            b.U(32, 0);
                            b.U(8, 0xFF);
                          });
                        },
                        0);
                  },
                  kResidual},
        LimitCase{"run_before beyond the zeros left", [] {
                    return WithMacroblock(
                        [](BitWriter& w) {
                          w.Ue(3);
                          w.Ue(0);
                          w.Se(0);
                          w.U(3, 1);   // DC block: TotalCoeff 2, TrailingOnes 2
                          w.U(2, 0);   // signs
                          w.U(4, 3);   // total_zeros 7
                          w.U(11, 1);  // run_before 14
                        },
                        0);
                  },
                  kResidual},
        LimitCase{"vertical prediction without a top neighbour", [] {
                    return WithMacroblock(
                        [](BitWriter& w) {
                          w.Ue(0);
                          w.Bit(0);  // block 0: rem_intra4x4_pred_mode 0 (vertical)
                          w.U(3, 0);
                          for (int i = 1; i < 16; ++i) w.Bit(1);
                          w.Ue(0);
                          w.Ue(3);  // coded_block_pattern 0
                        },
                        0);
                  },
                  kRecon},
        LimitCase{"I_PCM cut short", [] {
                    return WithMacroblock(
                        [](BitWriter& w) {
                          w.Ue(25);
                          w.Align();
                          for (int i = 0; i < 300; ++i) w.U(8, 0x55);
                        },
                        0);
                  },
                  kSyntax}));

// The all-intra CAVLC 8x8 transform: a block whose only coefficient is in
// its first interleaved 4x4 block marks all four 4x4 blocks coded for the
// deblocking filter, while each keeps its own count for nC.
TEST(H264Decoder, Cavlc8x8BlockMarksAllFourBlocksCoded) {
  Sps sps;
  sps.profile = 100;
  Pps pps;
  pps.high = true;
  pps.transform8x8 = 1;
  SliceHeader h;
  BitWriter w;
  h.Write(w);
  w.Ue(0);   // I_NxN
  w.Bit(1);  // transform_size_8x8_flag
  for (int i = 0; i < 4; ++i) w.Bit(1);
  w.Ue(0);
  w.Ue(29);  // coded_block_pattern 1: the first 8x8 block
  w.Se(0);
  w.U(2, 1);  // 4x4 block 0: TotalCoeff 1, TrailingOnes 1
  w.Bit(0);
  w.Bit(1);  // total_zeros 0
  w.Bit(1);  // blocks 1 to 3: nothing
  w.Bit(1);
  w.Bit(1);
  std::vector<uint8_t> s = Stream(sps, pps, {SliceNal(h, w)});
  Decoder d;
  Output out = DecodeAll(d.ctx, s);
  ASSERT_EQ(out.frames.size(), 1u);
  EXPECT_EQ(out.frames[0].incomplete, 1);
  EXPECT_EQ(out.stats[0][2], 1u);  // one Intra_8x8 macroblock
  const H264MbInfo& mb0 = d.ctx->infoRows[0];
  EXPECT_EQ(mb0.transform8x8, 1);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(mb0.nonZero[i], 1) << i;
  for (int i = 4; i < 16; ++i) EXPECT_EQ(mb0.nonZero[i], 0) << i;
  EXPECT_EQ(mb0.totalCoeffLuma[0], 1);
  EXPECT_EQ(mb0.totalCoeffLuma[1], 0);
}

// I_PCM samples land in the picture unchanged.
TEST(H264Decoder, PcmMacroblockSamples) {
  SliceHeader h;
  h.disableDeblocking = 1;
  BitWriter w;
  h.Write(w);
  for (int i = 0; i < 3; ++i) WriteDcMacroblock(w);
  w.Ue(25);
  w.Align();
  for (int i = 0; i < 256; ++i) w.U(8, (i * 7) & 255);
  for (int i = 0; i < 128; ++i) w.U(8, 200);
  Output out = DecodeAll(Stream(Sps{}, Pps{}, {SliceNal(h, w)}));
  ASSERT_EQ(out.frames.size(), 1u);
  EXPECT_EQ(out.error, 0);
  EXPECT_EQ(out.stats[0][3], 3u);
  EXPECT_EQ(out.stats[0][9], 1u);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) ASSERT_EQ(out.luma[0][32 * (16 + y) + 16 + x], ((16 * y + x) * 7) & 255);
  EXPECT_EQ(out.luma[0][0], 128);
}

// A legal slice of 1920x1088 all-I_PCM macroblocks (386 bytes each with its
// header and alignment) fits the NAL buffer of a 1080p context.
TEST(H264Decoder, AllPcm1080pSliceFits) {
  Sps sps;
  sps.widthMbsMinus1 = 119;
  sps.heightMapUnitsMinus1 = 67;
  sps.level = 40;
  SliceHeader h;
  h.disableDeblocking = 1;
  BitWriter w;
  h.Write(w);
  for (int mb = 0; mb < 120 * 68; ++mb) {
    w.Ue(25);
    w.Align();
    for (int i = 0; i < 384; ++i) w.U(8, static_cast<uint8_t>(mb + i));
  }
  std::vector<uint8_t> nal = SliceNal(h, w);
  EXPECT_GT(nal.size(), 120u * 68 * 386);
  Decoder d(H264DEC_FLAG_DISPLAY_ORDER, 120, 68, 1);
  Output out = DecodeAll(d.ctx, Stream(sps, Pps{}, {nal}));
  ASSERT_EQ(out.frames.size(), 1u);
  EXPECT_EQ(out.error, 0);
  EXPECT_EQ(out.frames[0].incomplete, 0);
  EXPECT_EQ(out.stats[0][9], 120u * 68);
  // Last macroblock, sample (15, 15).
  int mb = 120 * 68 - 1;
  EXPECT_EQ(out.luma[0][1920 * 1087 + 1919], static_cast<uint8_t>(mb + 255));
}

// A broken macroblock ends the first slice; the next slice still belongs to
// the same picture.
TEST(H264Decoder, BrokenFirstSliceDoesNotSplitThePicture) {
  SliceHeader a;
  BitWriter wa;
  a.Write(wa);
  WriteDcMacroblock(wa);
  WriteDcMacroblock(wa, 30);  // out of range: the slice ends here
  SliceHeader b;
  b.firstMb = 2;
  BitWriter wb;
  b.Write(wb);
  WriteDcMacroblock(wb);
  WriteDcMacroblock(wb);
  Output out = DecodeAll(Stream(Sps{}, Pps{}, {SliceNal(a, wa), SliceNal(b, wb)}));
  EXPECT_EQ(out.frames.size(), 1u);
  EXPECT_EQ(out.error, kSyntax);
  ASSERT_EQ(out.frames.size(), 1u);
  EXPECT_EQ(out.frames[0].incomplete, 1);
}

// POC type 1 reads all 255 offsets of the cycle: the picture with
// frame_num 255 has the sum of all of them as its order count.
TEST(H264Decoder, PocCycleOf255Offsets) {
  Sps sps;
  sps.pocType = 1;
  sps.log2MaxFrameNumMinus4 = 4;
  for (int i = 0; i < 255; ++i) sps.pocCycle.push_back(i == 254 ? 100 : 2);
  SliceHeader idr;
  idr.pocType = 1;
  idr.frameNumBits = 8;
  SliceHeader last = idr;
  last.idr = false;
  last.frameNum = 255;
  Output out = DecodeAll(Stream(sps, Pps{}, {DcPicture(idr), DcPicture(last)}));
  ASSERT_EQ(out.frames.size(), 2u);
  EXPECT_EQ(out.frames[0].poc, 0);
  EXPECT_EQ(out.frames[1].poc, 2 * 254 + 100);
}

TEST(H264Decoder, DpbSizeFollowsTheLevel) {
  H264Sps sps{};
  sps.widthMbs = 136;
  sps.frameHeightMbs = 64;  // 8704 macroblocks
  sps.level_idc = 42;
  EXPECT_EQ(H264DecMaxDpbFrames(&sps), 4u);  // MaxDpbMbs 34816
  sps.level_idc = 40;
  EXPECT_EQ(H264DecMaxDpbFrames(&sps), 3u);  // MaxDpbMbs 32768
  sps.widthMbs = 120;
  sps.frameHeightMbs = 68;
  EXPECT_EQ(H264DecMaxDpbFrames(&sps), 4u);
  sps.level_idc = 9;
  EXPECT_EQ(H264DecMaxDpbFrames(&sps), 16u);
  sps.level_idc = 52;
  EXPECT_EQ(H264DecMaxDpbFrames(&sps), 16u);
  sps.level_idc = 30;
  sps.widthMbs = sps.frameHeightMbs = 2;
  EXPECT_EQ(H264DecMaxDpbFrames(&sps), 16u);
}

// Non-IDR I pictures sent out of order count: display order sorts them by
// POC, decoding order hands them out as they come.
TEST(H264Decoder, DisplayAndDecodingOrder) {
  Sps sps;
  sps.pocType = 0;
  const int pocs[] = {0, 8, 4, 2, 6};
  std::vector<std::vector<uint8_t>> slices;
  for (int n = 0; n < 5; ++n) {
    SliceHeader h;
    h.idr = n == 0;
    h.frameNum = static_cast<uint64_t>(n);
    h.pocType = 0;
    h.pocLsb = static_cast<uint64_t>(pocs[n]);
    h.qpDelta = n;  // different pictures
    slices.push_back(DcPicture(h));
  }
  std::vector<uint8_t> s = Stream(sps, Pps{}, slices);
  Output display = DecodeAll(s, H264DEC_FLAG_DISPLAY_ORDER);
  Output decoding = DecodeAll(s, 0);
  ASSERT_EQ(display.frames.size(), 5u);
  ASSERT_EQ(decoding.frames.size(), 5u);
  const int sorted[] = {0, 2, 4, 6, 8};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(display.frames[i].poc, sorted[i]);
    EXPECT_EQ(decoding.frames[i].poc, pocs[i]);
  }
}

// In decoding order a picture leaves as soon as it is finished, that is when
// the next picture's first slice has been parsed; in display order it waits
// for room in the picture buffer or the drain.
TEST(H264Decoder, DecodingOrderOutputsAtOnce) {
  for (uint32_t flags : {0u, uint32_t{H264DEC_FLAG_DISPLAY_ORDER}}) {
    Decoder d(flags);
    std::vector<std::vector<uint8_t>> units = {Sps{}.Build(), Pps{}.Build()};
    for (int n = 0; n < 3; ++n) {
      SliceHeader h;
      h.idr = n == 0;
      h.frameNum = static_cast<uint64_t>(n);
      units.push_back(DcPicture(h));
    }
    H264DecFrame f;
    std::vector<int> early;
    for (const auto& u : units) {
      int rc = H264Dec_Decode(d.ctx, u.data(), static_cast<uint32_t>(u.size()), 0, 0, &f, 0);
      for (; rc == H264DEC_PICTURE; rc = H264Dec_Decode(d.ctx, nullptr, 0, 0, 0, &f, 0)) early.push_back(f.poc);
      EXPECT_EQ(rc, H264DEC_NEED_INPUT);
    }
    std::vector<int> all = early;
    while (H264Dec_Decode(d.ctx, nullptr, 0, 0, 0, &f, 1) == H264DEC_PICTURE) all.push_back(f.poc);
    EXPECT_EQ(all, (std::vector<int>{0, 2, 4}));
    EXPECT_EQ(early, flags ? std::vector<int>{} : std::vector<int>{0});
  }
}

// An IDR with no_output_of_prior_pics_flag drops the pictures still waiting
// in display order.
TEST(H264Decoder, NoOutputOfPriorPictures) {
  Sps sps;
  sps.pocType = 0;
  std::vector<std::vector<uint8_t>> slices;
  for (int n = 0; n < 3; ++n) {
    SliceHeader h;
    h.idr = n == 0;
    h.frameNum = static_cast<uint64_t>(n);
    h.pocType = 0;
    h.pocLsb = static_cast<uint64_t>(2 * n);
    slices.push_back(DcPicture(h));
  }
  // IDR with no_output_of_prior_pics_flag 1, written by hand.
  BitWriter w;
  w.Ue(0);
  w.Ue(7);
  w.Ue(0);
  w.U(4, 0);
  w.Ue(1);     // idr_pic_id
  w.U(6, 0);   // pic_order_cnt_lsb
  w.Bit(1);    // no_output_of_prior_pics_flag
  w.Bit(0);
  w.Se(0);
  w.Ue(0);
  w.Se(0);
  w.Se(0);
  for (int i = 0; i < 4; ++i) WriteDcMacroblock(w);
  w.Trailing();
  slices.push_back(Nal(3, 5, w.bytes()));
  Output display = DecodeAll(Stream(sps, Pps{}, slices), H264DEC_FLAG_DISPLAY_ORDER);
  ASSERT_EQ(display.frames.size(), 1u);
  EXPECT_EQ(display.frames[0].idr, 1);
  EXPECT_EQ(display.error, 0);
  Output decoding = DecodeAll(Stream(sps, Pps{}, slices), 0);
  EXPECT_EQ(decoding.frames.size(), 4u);
}

TEST(H264Decoder, FrameNumRules) {
  // A stream may start with a non-IDR picture; frame_num may jump forward.
  SliceHeader a;
  a.idr = false;
  a.frameNum = 3;
  SliceHeader b = a;
  b.frameNum = 7;
  SliceHeader back = a;
  back.frameNum = 5;  // backwards without gaps allowed
  Output out = DecodeAll(Stream(Sps{}, Pps{}, {DcPicture(a), DcPicture(b), DcPicture(back)}));
  EXPECT_EQ(out.frames.size(), 2u);
  EXPECT_EQ(out.error, 0x30000006);
}

// Two IDR pictures with identical headers are still two pictures once the
// first has all its macroblocks.
TEST(H264Decoder, IdenticalIdrPicturesAreTwoPictures) {
  Output out = DecodeAll(Stream(Sps{}, Pps{}, {DcPicture(SliceHeader{}), DcPicture(SliceHeader{})}));
  EXPECT_EQ(out.frames.size(), 2u);
  EXPECT_EQ(out.error, 0);
}

// Cropping is reported, not applied.
TEST(H264Decoder, CroppingIsReported) {
  Sps sps;
  sps.crop = true;
  sps.cropLeft = 1;
  sps.cropRight = 2;
  sps.cropTop = 3;
  sps.cropBottom = 4;
  Output out = DecodeAll(Simple(sps, Pps{}));
  ASSERT_EQ(out.frames.size(), 1u);
  const H264DecFrame& f = out.frames[0];
  EXPECT_EQ(f.width, 32);
  EXPECT_EQ(f.height, 32);
  EXPECT_EQ(f.cropLeft, 2);
  EXPECT_EQ(f.cropRight, 4);
  EXPECT_EQ(f.cropTop, 6);
  EXPECT_EQ(f.cropBottom, 8);
  EXPECT_EQ(f.lumaStride, 32);
  EXPECT_EQ(f.chromaStride, 16);
}
