// Recorder front and writer core: tracks, timing, chunks, gaps, limits, errors.
#include <gtest/gtest.h>

#include <filesystem>

#include "media/mp4/mp4_params.h"
#include "media/mp4/mp4_reader.h"
#include "media/mp4/mp4_recorder.h"
#include "tests/media/media_test_util.h"
#include "tests/common/bit_writer.h"
#include "tests/media/mp4/mp4_test_util.h"

namespace {

using std::vector;

const vector<uint8_t> kSps = {0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x0B, 0x13, 0x90};
const vector<uint8_t> kPps = {0x68, 0xCE, 0x3C, 0x80};

vector<uint8_t> Frame(std::initializer_list<vector<uint8_t>> nals) {
  vector<uint8_t> f;
  for (const auto& n : nals) {
    f.insert(f.end(), {0, 0, 0, 1});
    f.insert(f.end(), n.begin(), n.end());
  }
  return f;
}

const vector<uint8_t> kKey = Frame({kSps, kPps, {0x65, 0x88, 0x84, 0x00}});
const vector<uint8_t> kInter = Frame({{0x41, 0x9A, 0x00, 0x01}});
const vector<uint8_t> kAlaw(320, 0x44);
const vector<uint8_t> kPcm(640, 0x00);

class Mp4Rec : public ::testing::Test {
 protected:
  void Open() { ASSERT_EQ(Mp4RecOpen(path_.c_str(), nullptr, &h_), 0); }
  int Video(uint32_t ts, const vector<uint8_t>& f, uint32_t key, uint32_t ch = 0) {
    return Mp4RecWrite(ch << 16 | 1, ts, f.data(), static_cast<uint32_t>(f.size()), key, h_);
  }
  int Audio(uint32_t ts, uint32_t codec = 2, uint32_t ch = 0) {
    const vector<uint8_t>& a = codec == 52 ? kPcm : kAlaw;
    return Mp4RecWrite(ch << 16 | codec, ts, a.data(), static_cast<uint32_t>(a.size()), 0, h_);
  }
  vector<uint8_t> Close(Mp4Info* info = nullptr) {
    EXPECT_EQ(Mp4RecClose(info, h_), 0);
    h_ = nullptr;
    return tools::ReadFile(path_);
  }
  void TearDown() override {
    if (h_) Mp4RecClose(nullptr, h_);
  }
  mt::TempDir dir_;
  std::string path_ = dir_ / "rec.mp4";
  void* h_ = nullptr;
};

TEST_F(Mp4Rec, SampleTimesBecomeSttsRuns) {
  struct Case {
    vector<uint32_t> times;
    vector<uint32_t> stts;
    uint32_t duration;
  } cases[] = {
      // Every sample has its entry; the last lasts as long as the one before.
      {{0, 40, 80, 120}, {4, 40}, 160},
      {{0, 40, 100}, {1, 40, 2, 60}, 160},
      {{0}, {1, 0}, 0},
      // A timestamp that steps back lasts no time, rather than 49 days.
      {{0, 40, 20, 60}, {1, 40, 1, 0, 2, 40}, 120},
  };
  for (const Case& c : cases) {
    Open();
    for (size_t i = 0; i < c.times.size(); ++i) ASSERT_EQ(Audio(1000 + c.times[i]), 0);
    Mp4Info info{};
    vector<uint8_t> f = Close(&info);
    EXPECT_EQ(mt::Table(f, mt::Stbl(0, "stts")), c.stts);
    EXPECT_EQ(mt::Table(f, mt::Stbl(0, "stsz")).size(), c.times.size());
    EXPECT_EQ(info.duration, c.duration);
  }
}

TEST_F(Mp4Rec, InterleavedSamplesMakeOneChunkPerRun) {
  Open();
  ASSERT_EQ(Video(0, kKey, 1), 0);
  ASSERT_EQ(Audio(0), 0);
  ASSERT_EQ(Audio(40), 0);
  ASSERT_EQ(Video(40, kInter, 0), 0);
  vector<uint8_t> f = Close();
  EXPECT_EQ(mt::Table(f, mt::Stbl(0, "stsc")), (vector<uint32_t>{1, 1, 1, 2, 1, 1}));
  EXPECT_EQ(mt::Table(f, mt::Stbl(1, "stsc")), (vector<uint32_t>{1, 2, 1}));
  // Each chunk's offset is where its first sample lies.
  uint32_t v1 = 32, a1 = v1 + 28, v2 = a1 + 640;
  EXPECT_EQ(mt::Table(f, mt::Stbl(0, "stco")), (vector<uint32_t>{v1, v2}));
  EXPECT_EQ(mt::Table(f, mt::Stbl(1, "stco")), (vector<uint32_t>{a1}));
  EXPECT_EQ(mt::Be32(&f[v1]), 24u);
  EXPECT_EQ(f[a1], 0x44);
  EXPECT_EQ(mt::Be32(&f[v2]), 4u);
  EXPECT_EQ(mt::Table(f, mt::Stbl(0, "stss")), (vector<uint32_t>{1}));
}

TEST_F(Mp4Rec, SilenceFillsGaps) {
  struct Case {
    const char* what;
    uint32_t codec;  // of the frame after the gap; 1 = video
    uint32_t gap;
    uint32_t silenceFrames;
  } cases[] = {
      // From where the 40 ms PCM frame ends: 40, 60, ... 320, up to the frame after the gap.
      {"pcm after 340 ms", 52, 340, 15}, {"pcm after 100 ms", 52, 100, 0}, {"alaw after 340 ms", 2, 340, 0},
      // None at a video frame 500 ms on, but at close up to where the video
      // track ends (twice the gap): 40 .. 980.
      {"video after 500 ms", 1, 500, 48},
      // 40 .. 580 at the frame, then 600 .. 1180 at close.
      {"video after 600 ms", 1, 600, 28 + 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Open();
    ASSERT_EQ(Video(5000, kKey, 1), 0);
    ASSERT_EQ(Audio(5000, 52), 0);  // last audio at T = 0
    if (c.codec == 1) {
      ASSERT_EQ(Video(5000 + c.gap, kInter, 0), 0);
    } else {
      ASSERT_EQ(Audio(5000 + c.gap, c.codec), 0);
    }
    vector<uint8_t> f = Close();
    vector<uint32_t> sizes = mt::Table(f, mt::Stbl(1, "stsz"));
    size_t frames = 1 + (c.codec == 1 ? 0 : 1);
    if (c.codec == 2) {
      // Recorded PCM is A-law too: one track, no silence between.
      ASSERT_EQ(sizes, (vector<uint32_t>{320, 320}));
      continue;
    }
    ASSERT_EQ(sizes.size(), frames + c.silenceFrames);
    for (uint32_t i = 0; i < c.silenceFrames; ++i) EXPECT_EQ(sizes[1 + i], 160u);
    if (c.silenceFrames) {
      // Silence at T + 40, T + 60, ... : it starts where the real frame ends,
      // so no time appears twice.
      vector<uint32_t> stts = mt::Table(f, mt::Stbl(1, "stts"));
      ASSERT_GE(stts.size(), 4u);
      EXPECT_EQ(stts[0], 1u);
      EXPECT_EQ(stts[1], 40u);
      EXPECT_EQ(stts[3], 20u);
      vector<uint32_t> stco = mt::Table(f, mt::Stbl(1, "stco"));
      size_t alawAt = stco.back() + (stco.size() == 1 ? 320 : 0);
      for (size_t i = 0; i < 160; ++i) ASSERT_EQ(f[alawAt + i], 0xD5);
    }
  }
}

TEST_F(Mp4Rec, SilenceBeforeLateFirstPcmFrame) {
  struct Case {
    uint32_t delay;
    size_t silenceFrames;
  } cases[] = {{340, 17}, {100, 0}, {120, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delay);
    Open();
    ASSERT_EQ(Video(5000, kKey, 1), 0);
    ASSERT_EQ(Audio(5000 + c.delay, 52), 0);
    vector<uint8_t> f = Close();
    vector<uint32_t> sizes = mt::Table(f, mt::Stbl(1, "stsz"));
    ASSERT_EQ(sizes.size(), c.silenceFrames + 1);
    for (size_t i = 0; i < c.silenceFrames; ++i) EXPECT_EQ(sizes[i], 160u);
  }
}

TEST_F(Mp4Rec, VideoGapAfterSilenceMovesLastAudioTime) {
  Open();
  ASSERT_EQ(Video(0, kKey, 1), 0);
  ASSERT_EQ(Audio(0, 52), 0);
  ASSERT_EQ(Video(600, kInter, 0), 0);   // 28 silence frames (40 .. 580), last audio now 600
  ASSERT_EQ(Audio(700, 52), 0);          // 100 ms after: no more silence
  vector<uint8_t> f = Close();           // video ends at 1200: 740 .. 1180 at close
  EXPECT_EQ(mt::Table(f, mt::Stbl(1, "stsz")).size(), 1u + 28u + 1u + 23u);
}

TEST_F(Mp4Rec, TimestampJumpWritesBoundedSilence) {
  Open();
  ASSERT_EQ(Video(0, kKey, 1), 0);
  ASSERT_EQ(Audio(0, 52), 0);
  ASSERT_EQ(Audio(3600u * 1000u, 52), 0);        // an hour later
  ASSERT_EQ(Video(2u * 3600u * 1000u, kInter, 0), 0);  // and another
  vector<uint8_t> f = Close();
  size_t maxBlocks = kMp4MaxSilenceMs / kMp4SilenceBlockMs;
  // Bounded at each jump and at close, where the video's last step is repeated.
  EXPECT_EQ(mt::Table(f, mt::Stbl(1, "stsz")).size(), 2 + 3 * maxBlocks);
  EXPECT_LT(f.size(), 400000u);
}

TEST_F(Mp4Rec, VideoWaitsForKeyFrameAndParameterSets) {
  const vector<uint8_t> keyWithoutSps = Frame({{0x65, 0x88, 0x84, 0x00}});
  const vector<uint8_t> seiFirst = Frame({{0x06, 0x05, 0x01, 0x80}, kSps, kPps, {0x65, 0x88, 0x84, 0x00}});
  const vector<uint8_t> spsOnly = Frame({kSps, {0x65, 0x88}});
  Open();
  ASSERT_EQ(Video(900, kInter, 0), 0);        // before any key frame: dropped
  ASSERT_EQ(Audio(1000), 0);                  // sets the file's time 0
  ASSERT_EQ(Video(1040, keyWithoutSps, 1), 0);  // no SPS and PPS: dropped
  ASSERT_EQ(Video(1080, kInter, 0), 0);         // still dropped
  ASSERT_EQ(Video(1120, seiFirst, 1), 0);       // SEI ahead of the SPS: dropped
  ASSERT_EQ(Video(1160, spsOnly, 1), 0);        // PPS missing: dropped
  ASSERT_EQ(Video(1200, kKey, 1), 0);           // stored: media time 0
  ASSERT_EQ(Video(1240, kInter, 0), 0);
  vector<uint8_t> f = Close();
  // The video track was made first (by the frame at 900).
  EXPECT_EQ(mt::Table(f, mt::Stbl(0, "stsz")), (vector<uint32_t>{28, 8}));
  // The first stored sample lasts until the second: 240 ms after the file's
  // start; the last lasts as long as the one before.
  EXPECT_EQ(mt::Table(f, mt::Stbl(0, "stts")), (vector<uint32_t>{2, 240}));
  mt::Box avcC = mt::FindPath(f, mt::Stbl(0, "stsd"));
  ASSERT_TRUE(avcC.found);
}

TEST_F(Mp4Rec, OtherChannelsKeepTheirStartCodes) {
  Open();
  ASSERT_EQ(Video(0, kKey, 1, 1), 0);
  vector<uint8_t> f = Close();
  EXPECT_EQ(mt::Table(f, mt::Stbl(0, "stsz")), (vector<uint32_t>{28 + 4}));
  uint32_t at = mt::Table(f, mt::Stbl(0, "stco"))[0];
  EXPECT_EQ(mt::Be32(&f[at]), 28u);
  EXPECT_TRUE(std::equal(kKey.begin(), kKey.end(), f.begin() + at + 4));
}

TEST_F(Mp4Rec, TrackLimitAndRefusedCodes) {
  Open();
  for (uint32_t ch = 0; ch < 4; ++ch) {
    ASSERT_EQ(Video(0, kKey, 1, ch), 0);
    ASSERT_EQ(Audio(0, 2, ch), 0);
  }
  EXPECT_EQ(Video(40, kKey, 1, 5), kMp4ErrRefused);  // a ninth track
  EXPECT_EQ(Audio(40, 2, 4), 0);                     // audio on channel 4: dropped
  EXPECT_EQ(Video(40, kInter, 0, 0), 0);             // the others go on
  vector<uint8_t> f = Close();
  EXPECT_TRUE(mt::FindPath(f, "moov/trak#7").found);
  EXPECT_FALSE(mt::FindPath(f, "moov/trak#8").found);
  EXPECT_EQ(mt::Table(f, mt::Stbl(0, "stsz")).size(), 2u);

  // The core refuses audio codes 55 to 58 and unknown codes.
  void* w = nullptr;
  ASSERT_EQ(Mp4WriterCreate((dir_ / "core.mp4").c_str(), nullptr, &w), 0);
  for (uint32_t code : {55u, 58u, 14u, 60u, 0u})
    EXPECT_EQ(Mp4WriterWriteSample(code, 0, kAlaw.data(), 320, 0, w), kMp4ErrRefused) << code;
  EXPECT_EQ(Mp4WriterWriteSample(51, 0, kAlaw.data(), 320, 0, w), 0);
  EXPECT_EQ(Mp4WriterClose(nullptr, w), 0);
}

TEST_F(Mp4Rec, OpenFailures) {
  void* h = nullptr;
  EXPECT_EQ(Mp4RecOpen((dir_ / "no/such/dir.mp4").c_str(), nullptr, &h), kMp4ErrOpen);
  EXPECT_EQ(h, nullptr);
  void* w = reinterpret_cast<void*>(uintptr_t{2});
  EXPECT_EQ(Mp4WriterCreate((dir_ / "no/such/dir.mp4").c_str(), nullptr, &w), kMp4ErrOpen);
  w = reinterpret_cast<void*>(uintptr_t{3});  // not a closed header writer
  EXPECT_EQ(Mp4WriterCreate((dir_ / "x.mp4").c_str(), nullptr, &w), kMp4ErrOpen);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 0);
}

TEST_F(Mp4Rec, WriteErrorsAreReported) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  void* h = nullptr;
  ASSERT_EQ(Mp4RecOpen("/dev/full", nullptr, &h), 0);
  int first = 0;
  for (uint32_t i = 0; i < 400 && first == 0; ++i) {
    int r = Mp4RecWrite(52, i * 40, kPcm.data(), 640, 0, h);
    if (r != 0) first = r;
  }
  EXPECT_EQ(first, kMp4ErrWrite);
  // From then on every frame is refused with the error, and so is the close.
  EXPECT_EQ(Mp4RecWrite(2, 100000, kAlaw.data(), 320, 0, h), kMp4ErrWrite);
  EXPECT_EQ(Mp4RecClose(nullptr, h), kMp4ErrWrite);
}

TEST_F(Mp4Rec, FileIsClosedBeforeOffsetsOverflow) {
  Open();
  Mp4WriterSetSizeLimit(static_cast<Mp4Recording*>(h_)->writer, 30000);
  vector<uint8_t> big(1000, 0x55);
  int r = 0;
  uint32_t written = 0;
  for (uint32_t i = 0; i < 100 && r == 0; ++i) {
    r = Mp4RecWrite(2, i * 125, big.data(), 1000, 0, h_);
    if (r == 0) ++written;
  }
  EXPECT_EQ(r, kMp4ErrFileLimit);
  EXPECT_EQ(Mp4RecWrite(2, 20000, big.data(), 1000, 0, h_), kMp4ErrFileLimit);
  Mp4Info info{};
  vector<uint8_t> f = Close(&info);
  EXPECT_LE(f.size(), 30000u);
  EXPECT_EQ(info.size, f.size());
  EXPECT_GT(written, 20u);
  EXPECT_EQ(mt::Table(f, mt::Stbl(0, "stsz")).size(), written);
  mt::Box moov = mt::FindPath(f, "moov");
  ASSERT_TRUE(moov.found);
  EXPECT_EQ(moov.at + moov.size, f.size());
  EXPECT_EQ(mt::Be32(&f[24]), moov.at - 24);
}

TEST_F(Mp4Rec, GetInfoReportsSizeAndSeconds) {
  Open();
  ASSERT_EQ(Video(0, kKey, 1), 0);
  ASSERT_EQ(Video(2500, kInter, 0), 0);
  Mp4Info info{};
  EXPECT_EQ(g_mp4RecorderOps->GetInfo(&info, h_), 1);
  EXPECT_EQ(info.duration, 2u);
  EXPECT_EQ(g_mp4RecorderOps->Nop(), 0);
}

// Fast start (mode 2) and the two-pass header writer (modes 1 then 3) give the
// same file: ftyp, moov, mdat.
TEST(Mp4WriterModes, FastStartAndTwoPassAgree) {
  Mp4SetClockForTesting(1700000000);
  mt::TempDir dir;
  auto feed = [](void* w) {
    EXPECT_EQ(Mp4WriterWriteSample(1, 0, kInter.data(), 8, 0, w), 0);  // dropped: no key yet
    EXPECT_EQ(Mp4WriterWriteSample(2, 0, kAlaw.data(), 320, 0, w), 0);
    for (uint32_t i = 0; i < 10; ++i) {
      const vector<uint8_t>& v = i % 5 == 0 ? kKey : kInter;
      EXPECT_EQ(Mp4WriterWriteSample(1, 40 * i, v.data(), static_cast<uint32_t>(v.size()), i % 5 == 0, w), 0);
      EXPECT_EQ(Mp4WriterWriteSample(2, 40 * i + 20, kAlaw.data(), 320, 0, w), 0);
    }
  };
  std::string fast = dir / "fast.mp4", twoPass = dir / "two.mp4";
  void* w = reinterpret_cast<void*>(uintptr_t{kMp4ModeFastStart});
  ASSERT_EQ(Mp4WriterCreate(fast.c_str(), nullptr, &w), 0);
  feed(w);
  Mp4Info info{};
  ASSERT_EQ(Mp4WriterClose(&info, w), 0);
  EXPECT_EQ(info.size, std::filesystem::file_size(fast));

  void* header = reinterpret_cast<void*>(uintptr_t{kMp4ModeHeaderMemory});
  ASSERT_EQ(Mp4WriterCreate(nullptr, nullptr, &header), 0);
  feed(header);
  ASSERT_EQ(Mp4WriterClose(nullptr, header), 0);
  void* out = header;
  ASSERT_EQ(Mp4WriterCreate(twoPass.c_str(), nullptr, &out), 0);
  feed(out);
  ASSERT_EQ(Mp4WriterClose(nullptr, out), 0);
  Mp4SetClockForTesting(0);

  vector<uint8_t> a = tools::ReadFile(fast), b = tools::ReadFile(twoPass);
  EXPECT_EQ(a, b);
  mt::Box moov = mt::FindPath(a, "moov"), mdat = mt::FindPath(a, "mdat");
  ASSERT_TRUE(moov.found && mdat.found);
  EXPECT_EQ(moov.at, 24u);
  EXPECT_EQ(mdat.at + mdat.size, a.size());
  // Offsets point into mdat: the first video sample is the key frame.
  uint32_t v1 = mt::Table(a, mt::Stbl(0, "stco"))[0];
  EXPECT_EQ(mt::Be32(&a[v1]), 24u);
  EXPECT_EQ(a[v1 + 4], 0x67);
  // No temporary file is left beside the target.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

}  // namespace

namespace {

TEST_F(Mp4Rec, ChannelZeroSamplesNeedAStartCode) {
  vector<uint8_t> short3 = {0, 0, 1, 0x41, 0x9A, 0x00, 0x01};  // 3-byte start code
  vector<uint8_t> none = {0x41, 0x9A, 0x00, 0x01, 0x02};
  Open();
  ASSERT_EQ(Video(0, kKey, 1), 0);
  EXPECT_EQ(Video(40, short3, 0), 0);
  EXPECT_EQ(Video(80, none, 0), kMp4ErrRefused);
  EXPECT_EQ(Video(120, kInter, 0), 0);
  Close();
  void* r = nullptr;
  ASSERT_EQ(Mp4ReaderOpen(path_.c_str(), &r), 0);
  vector<uint8_t> buf(256);
  vector<vector<uint8_t>> got;
  for (;;) {
    uint32_t type, time, key, size = static_cast<uint32_t>(buf.size());
    if (Mp4ReaderReadSample(&type, &time, buf.data(), &size, &key, r) != 0) break;
    got.emplace_back(buf.begin(), buf.begin() + size);
  }
  Mp4ReaderClose(r);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], kKey);
  EXPECT_EQ(got[1], Frame({{0x41, 0x9A, 0x00, 0x01}}));
  EXPECT_EQ(got[2], kInter);
}

// The picture size in the sample entry, from SPS of several profiles
// (chroma format, bit depth and scaling lists come before the size).
TEST(Mp4WriterSps, PictureSizeFromX264Profiles) {
  struct Case {
    const char* name;
    const char* args;
  } cases[] = {
      {"baseline", "--profile baseline"},
      {"high_cqm", "--profile high --cqm jvt"},
      {"high444", "--profile high444 --output-csp i444 --cqm jvt"},
  };
  mt::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string csp = std::string(c.args).find("i444") != std::string::npos ? "yuv444p" : "yuv420p";
    std::string es = mt::Cached(std::string("x264_sps_") + c.name + ".264",
                                "ffmpeg -v error -f lavfi -i testsrc=size=208x120:rate=25 -frames:v 2 -pix_fmt " + csp +
                                    " -f rawvideo - | x264 --quiet --demuxer raw --input-csp " +
                                    (csp == "yuv444p" ? "i444" : "i420") + " --input-res 208x120 --fps 25 " + c.args +
                                    " -o {} -");
    vector<uint8_t> data = tools::ReadFile(es);
    ASSERT_FALSE(data.empty());
    std::string out = dir / (std::string(c.name) + ".mp4");
    void* h = nullptr;
    ASSERT_EQ(Mp4RecOpen(out.c_str(), nullptr, &h), 0);
    ASSERT_EQ(Mp4RecWrite(1, 0, data.data(), static_cast<uint32_t>(data.size()), 1, h), 0);
    ASSERT_EQ(Mp4RecClose(nullptr, h), 0);
    vector<uint8_t> f = tools::ReadFile(out);
    mt::Box stsd = mt::FindPath(f, mt::Stbl(0, "stsd"));
    ASSERT_TRUE(stsd.found);
    const uint8_t* e = &f[stsd.at + 16];
    EXPECT_EQ((e[32] << 8) | e[33], 208);
    EXPECT_EQ((e[34] << 8) | e[35], 128);  // whole macroblocks: cropping is not applied
  }
}

// The size is read from the SPS without its emulation prevention bytes: the
// zero bits of the largest width and height take one between them.
TEST(Mp4WriterSps, PictureSizeAcrossAnEmulationPreventionByte) {
  testbits::BitWriter w;
  w.U(8, 66);  // profile_idc
  w.U(8, 0);   // constraint flags
  w.U(8, 30);  // level_idc
  w.Ue(0);     // seq_parameter_set_id
  w.Ue(0);     // log2_max_frame_num_minus4
  w.Ue(2);     // pic_order_cnt_type
  w.Ue(1);     // max_num_ref_frames
  w.Bit(0);    // gaps_in_frame_num_value_allowed_flag
  w.Ue(4095);  // pic_width_in_mbs_minus1
  w.Ue(4095);  // pic_height_in_map_units_minus1
  w.Bit(1);    // frame_mbs_only_flag
  w.Bit(1);    // direct_8x8_inference_flag
  w.Bit(0);    // frame_cropping_flag
  w.Bit(0);    // vui_parameters_present_flag
  w.Trailing();
  const vector<uint8_t> unit = testbits::NalUnit({0x67}, w.bytes());
  const vector<uint8_t> nal(unit.begin() + 4, unit.end());  // without the start code
  ASSERT_GT(nal.size(), 1 + w.bytes().size()) << "the case needs an emulation prevention byte";
  uint32_t width = 0, height = 0;
  ASSERT_TRUE(Mp4ParseH264Sps(nal.data(), static_cast<uint32_t>(nal.size()), &width, &height));
  EXPECT_EQ(width, 4096u * 16);
  EXPECT_EQ(height, 4096u * 16);
}

}  // namespace
