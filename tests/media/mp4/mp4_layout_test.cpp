// The recorder's files, byte for byte.
#include <gtest/gtest.h>

#include "media/mp4/mp4_recorder.h"
#include "tests/media/media_test_util.h"
#include "tests/media/mp4/mp4_test_util.h"

namespace {

constexpr int64_t kNow = 1700000000;
constexpr uint32_t kMp4Now = 0xE179A180;  // kNow + 2082844800: seconds since 1904

const std::vector<uint8_t> kSps = {0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x0B, 0x13, 0x90};  // 176 x 144
const std::vector<uint8_t> kPps = {0x68, 0xCE, 0x3C, 0x80};

std::vector<uint8_t> Frame(std::initializer_list<std::vector<uint8_t>> nals) {
  std::vector<uint8_t> f;
  for (const auto& n : nals) {
    f.insert(f.end(), {0, 0, 0, 1});
    f.insert(f.end(), n.begin(), n.end());
  }
  return f;
}

class Mp4Layout : public ::testing::Test {
 protected:
  void SetUp() override { Mp4SetClockForTesting(kNow); }
  void TearDown() override { Mp4SetClockForTesting(0); }
  mt::TempDir dir_;
};

void PutMatrix(mt::Bytes& b) { b.u32(0x00010000).u32(0).u32(0).u32(0).u32(0x00010000).u32(0).u32(0).u32(0).u32(0x40000000); }

TEST_F(Mp4Layout, H264AndAlawGoldenBytes) {
  std::string path = dir_ / "golden.mp4";
  const Mp4RecorderOps* ops = g_mp4RecorderOps;
  ASSERT_NE(ops, nullptr);
  void* h = nullptr;
  ASSERT_EQ(ops->Open(path.c_str(), nullptr, &h), 0);
  std::vector<uint8_t> key = Frame({kSps, kPps, {0x65, 0x88, 0x84, 0x00}});
  std::vector<uint8_t> inter = Frame({{0x41, 0x9A, 0x00, 0x01}});
  std::vector<uint8_t> a1(160, 0x11), a2(160, 0x22);
  ASSERT_EQ(ops->Write(1, 1000, key.data(), 28, 1, h), 0);
  ASSERT_EQ(ops->Write(2, 1000, a1.data(), 160, 0, h), 0);
  ASSERT_EQ(ops->Write(2, 1020, a2.data(), 160, 0, h), 0);
  ASSERT_EQ(ops->Write(1, 1040, inter.data(), 8, 0, h), 0);
  Mp4Info info{};
  ASSERT_EQ(ops->Close(&info, h), 0);
  EXPECT_EQ(info.size, 1851u);
  EXPECT_EQ(info.duration, 80u);

  mt::Bytes e;
  // ftyp
  e.u32(24).str("ftyp").str("isom").u32(0).str("mp41").str("avc1");
  // mdat: video (length instead of the first start code), audio, audio, video, and at close two
  // blocks of silence carrying the sound on to where the video ends
  e.u32(684).str("mdat");
  e.u32(24).raw(kSps).u32(1).raw(kPps).u32(1).u8(0x65).u8(0x88).u8(0x84).u8(0x00);
  e.fill(160, 0x11).fill(160, 0x22);
  e.u32(4).u8(0x41).u8(0x9A).u8(0x00).u8(0x01);
  e.fill(320, 0xD5);
  // moov
  e.u32(1143).str("moov");
  e.u32(108).str("mvhd").u32(0).u32(kMp4Now).u32(kMp4Now).u32(1000).u32(80).u32(0x00010000).u16(0x0100).zeros(10);
  PutMatrix(e);
  e.zeros(24).u32(3);
  // video trak
  e.u32(562).str("trak");
  e.u32(92).str("tkhd").u32(1).u32(kMp4Now).u32(kMp4Now).u32(1).u32(0).u32(80).zeros(8).u16(0).u16(0).u16(0).u16(0);
  PutMatrix(e);
  e.u32(176 << 16).u32(144 << 16);
  e.u32(36).str("edts").u32(28).str("elst").u32(0).u32(1).u32(80).u32(0).u32(0x00010000);
  e.u32(426).str("mdia");
  e.u32(32).str("mdhd").u32(0).u32(kMp4Now).u32(kMp4Now).u32(1000).u32(80).u32(0);
  e.u32(45).str("hdlr").u32(0).u32(0).str("vide").zeros(12).str("VideoHandler").u8(0);
  e.u32(341).str("minf");
  e.u32(20).str("vmhd").u32(1).u16(0).u16(0).u16(0).u16(0);
  e.u32(36).str("dinf").u32(28).str("dref").u32(0).u32(1).u32(12).str("url ").u32(1);
  e.u32(277).str("stbl");
  e.u32(133).str("stsd").u32(0).u32(1);
  e.u32(117).str("avc1").zeros(6).u16(1).zeros(16).u16(176).u16(144).u32(0x00480000).u32(0x00480000).u32(0).u16(1)
      .zeros(32).u16(0x0010).u16(0xFFFF);
  e.u32(31).str("avcC").u8(1).u8(0x42).u8(0xC0).u8(0x1E).u8(0xFF).u8(0xE1).u16(8).raw(kSps).u8(1).u16(4).raw(kPps);
  e.u32(24).str("stts").u32(0).u32(1).u32(2).u32(40);  // every sample, the last lasting as the one before
  e.u32(20).str("stss").u32(0).u32(1).u32(1);
  e.u32(40).str("stsc").u32(0).u32(2).u32(1).u32(1).u32(1).u32(2).u32(1).u32(1);
  e.u32(28).str("stsz").u32(0).u32(0).u32(2).u32(28).u32(8);
  e.u32(24).str("stco").u32(0).u32(2).u32(32).u32(380);
  // audio trak
  e.u32(465).str("trak");
  e.u32(92).str("tkhd").u32(1).u32(kMp4Now).u32(kMp4Now).u32(2).u32(0).u32(80).zeros(8).u16(0).u16(0).u16(0x0100).u16(0);
  PutMatrix(e);
  e.u32(0).u32(0);
  e.u32(36).str("edts").u32(28).str("elst").u32(0).u32(1).u32(80).u32(0).u32(0x00010000);
  e.u32(329).str("mdia");
  e.u32(32).str("mdhd").u32(0).u32(kMp4Now).u32(kMp4Now).u32(1000).u32(80).u32(0);
  e.u32(45).str("hdlr").u32(0).u32(0).str("soun").zeros(12).str("SoundHandler").u8(0);
  e.u32(244).str("minf");
  e.u32(16).str("smhd").u32(0).u16(0).u16(0);
  e.u32(36).str("dinf").u32(28).str("dref").u32(0).u32(1).u32(12).str("url ").u32(1);
  e.u32(184).str("stbl");
  e.u32(52).str("stsd").u32(0).u32(1);
  e.u32(36).str("alaw").zeros(6).u16(1).zeros(8).u16(1).u16(16).u16(0).u16(0).u32(8000u << 16);
  e.u32(24).str("stts").u32(0).u32(1).u32(4).u32(20);
  e.u32(40).str("stsc").u32(0).u32(2).u32(1).u32(2).u32(1).u32(2).u32(2).u32(1);
  e.u32(36).str("stsz").u32(0).u32(0).u32(4).u32(160).u32(160).u32(160).u32(160);
  e.u32(24).str("stco").u32(0).u32(2).u32(60).u32(388);

  std::vector<uint8_t> got = tools::ReadFile(path);
  ASSERT_EQ(e.v.size(), 1851u);
  size_t n = std::min(got.size(), e.v.size());
  for (size_t i = 0; i < n; ++i) ASSERT_EQ(got[i], e.v[i]) << "first difference at offset " << i;
  EXPECT_EQ(got.size(), e.v.size());
}

TEST_F(Mp4Layout, EmptyRecordingIsFtypAndMoov) {
  std::string path = dir_ / "empty.mp4";
  void* h = nullptr;
  ASSERT_EQ(Mp4RecOpen(path.c_str(), nullptr, &h), 0);
  Mp4Info info{1, 1};
  ASSERT_EQ(Mp4RecClose(&info, h), 0);
  EXPECT_EQ(info.size, 0u);
  EXPECT_EQ(info.duration, 0u);
  mt::Bytes e;
  e.u32(24).str("ftyp").str("isom").u32(0).str("mp41").str("avc1");
  e.u32(116).str("moov").u32(108).str("mvhd").u32(0).u32(0).u32(0).u32(1000).u32(0).u32(0x00010000).u16(0x0100).zeros(10);
  PutMatrix(e);
  e.zeros(24).u32(1);
  EXPECT_EQ(tools::ReadFile(path), e.v);
}

TEST_F(Mp4Layout, MjpegEntryHasNoChildAndNoStss) {
  std::vector<std::vector<uint8_t>> jpegs = mt::SplitJpeg(tools::ReadFile(mt::MjpegStream(3)));
  ASSERT_EQ(jpegs.size(), 3u);
  std::string path = dir_ / "mjpeg.mp4";
  void* h = nullptr;
  ASSERT_EQ(Mp4RecOpen(path.c_str(), nullptr, &h), 0);
  for (size_t i = 0; i < jpegs.size(); ++i)
    ASSERT_EQ(Mp4RecWrite(12, static_cast<uint32_t>(i * 40), jpegs[i].data(), static_cast<uint32_t>(jpegs[i].size()), 1, h), 0);
  ASSERT_EQ(Mp4RecClose(nullptr, h), 0);
  std::vector<uint8_t> f = tools::ReadFile(path);
  mt::Box stsd = mt::FindPath(f, "moov/trak/mdia/minf/stbl/stsd");
  ASSERT_TRUE(stsd.found);
  EXPECT_EQ(stsd.size, 16u + 86u);
  EXPECT_EQ(0, std::memcmp(&f[stsd.at + 20], "jpeg", 4));
  EXPECT_EQ(mt::Be32(&f[stsd.at + 16]), 86u);
  EXPECT_EQ((f[stsd.at + 16 + 32] << 8) | f[stsd.at + 16 + 33], 176);
  EXPECT_EQ((f[stsd.at + 16 + 34] << 8) | f[stsd.at + 16 + 35], 144);
  // Every MJPEG sample is a key sample: no stss (an empty one would say none is).
  EXPECT_FALSE(mt::FindPath(f, "moov/trak/mdia/minf/stbl/stss").found);
  EXPECT_TRUE(mt::FindPath(f, "moov/trak/mdia/minf/stbl/vmhd").found == false);
  EXPECT_TRUE(mt::FindPath(f, "moov/trak/mdia/minf/vmhd").found);
}

TEST_F(Mp4Layout, AudioFormatAndMdatSizeBeforeAndAfterClose) {
  std::string path = dir_ / "open.mp4";
  void* h = nullptr;
  ASSERT_EQ(Mp4RecOpen(path.c_str(), nullptr, &h), 0);
  ASSERT_EQ(Mp4RecSetAudioFormat(16000, 16, 1, h), 0);
  std::vector<uint8_t> a(320, 0x33);
  // Enough to push the header out of the file buffer.
  for (uint32_t i = 0; i < 400; ++i) ASSERT_EQ(Mp4RecWrite(2, i * 20, a.data(), 320, 0, h), 0);
  std::vector<uint8_t> partial = tools::ReadFile(path);
  ASSERT_GE(partial.size(), 32u);
  EXPECT_EQ(mt::Be32(&partial[24]), 0u) << "mdat size of an open recording";
  EXPECT_EQ(0, std::memcmp(&partial[28], "mdat", 4));
  ASSERT_EQ(Mp4RecClose(nullptr, h), 0);
  std::vector<uint8_t> f = tools::ReadFile(path);
  mt::Box moov = mt::FindPath(f, "moov");
  ASSERT_TRUE(moov.found);
  EXPECT_EQ(mt::Be32(&f[24]), moov.at - 24);
  mt::Box stsd = mt::FindPath(f, "moov/trak/mdia/minf/stbl/stsd");
  ASSERT_TRUE(stsd.found);
  const uint8_t* entry = &f[stsd.at + 16];
  EXPECT_EQ(mt::Be32(entry), 36u);
  EXPECT_EQ((entry[24] << 8) | entry[25], 1);
  EXPECT_EQ((entry[26] << 8) | entry[27], 16);
  EXPECT_EQ(mt::Be32(entry + 32), 16000u << 16);
  EXPECT_FALSE(mt::FindPath(f, "moov/trak/mdia/minf/stbl/stss").found);
}

}  // namespace
