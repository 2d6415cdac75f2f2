// camsim's media files against streams ffmpeg writes: access units counted
// and laid end to end give the file back, the stated frame rate is read for
// both codecs, A-law blocks and ADTS frames; refusals name the file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/common/temp_dir.h"
#include "tools/camsim/media_source.h"

namespace {

bool Ffmpeg(const std::string& args) {
  return std::system(("ffmpeg -hide_banner -loglevel error -y " + args + " </dev/null").c_str()) == 0;
}

TEST(CamsimMedia, VideoFilesOfBothCodecs) {
  TempDir dir("camsim_media");
  const struct {
    const char* name;
    const char* encoder;
    int rate;
    int frames;
  } cases[] = {
      {"a.h264", "-c:v libx264 -preset ultrafast -bf 2 -f h264", 30, 15},
      {"b.h265", "-c:v libx265 -preset ultrafast -x265-params log-level=none -f hevc", 15, 15},
      {"c.264", "-c:v libx264 -preset ultrafast -f h264", 12, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / c.name;
    if (!Ffmpeg("-f lavfi -i testsrc2=size=160x120:rate=" + std::to_string(c.rate) + " -frames:v " +
                std::to_string(c.frames) + " " + c.encoder + " " + path))
      GTEST_SKIP() << "ffmpeg cannot make " << c.name;
    camsim::MediaTrack t;
    std::string why;
    ASSERT_TRUE(camsim::LoadVideo(path, "", 0, &t, &why)) << why;
    EXPECT_EQ(t.frames.size(), static_cast<size_t>(c.frames));
    EXPECT_DOUBLE_EQ(t.fps, c.rate);
    EXPECT_TRUE(t.frames[0].key);
    size_t at = 0;
    for (const camsim::MediaFrame& f : t.frames) {
      EXPECT_EQ(f.offset, at);
      at += f.size;
    }
    EXPECT_EQ(at, t.bytes.size());
    // A rate given wins over the stream's.
    ASSERT_TRUE(camsim::LoadVideo(path, "", 50, &t, &why)) << why;
    EXPECT_EQ(t.frames[0].duration_ms, 20u);
  }
  camsim::MediaTrack t;
  std::string why;
  EXPECT_FALSE(camsim::LoadVideo(dir / "a.mp4", "", 0, &t, &why));
  EXPECT_NE(why.find("a.mp4"), std::string::npos);
  EXPECT_FALSE(camsim::LoadVideo(dir / "none.h264", "", 0, &t, &why));
  EXPECT_NE(why.find("cannot open"), std::string::npos);
}

TEST(CamsimMedia, AudioFiles) {
  TempDir dir("camsim_media");
  if (!Ffmpeg("-f lavfi -i sine=sample_rate=8000 -t 1 -ar 8000 -ac 1 -f alaw " + dir / "s.alaw") ||
      !Ffmpeg("-f lavfi -i sine=sample_rate=16000 -t 1 -ac 1 -c:a aac -f adts " + dir / "s.aac"))
    GTEST_SKIP() << "ffmpeg cannot make the audio";
  camsim::MediaTrack t;
  std::string why;
  ASSERT_TRUE(camsim::LoadAudio(dir / "s.alaw", &t, &why)) << why;
  EXPECT_EQ(t.frames.size(), 25u);  // 8000 bytes in 40 ms blocks
  EXPECT_EQ(t.frames[0].duration_ms, 40u);
  EXPECT_EQ(t.wire_codec, 0x8A);
  ASSERT_TRUE(camsim::LoadAudio(dir / "s.aac", &t, &why)) << why;
  EXPECT_GE(t.frames.size(), 15u);
  EXPECT_EQ(t.frames[0].duration_ms, 64u);  // 1024 samples at 16000 Hz
  EXPECT_EQ(t.wire_codec, 0x88);
  const uint8_t broken[] = {0xFF, 0xF1, 0x50, 0x80, 0xFF, 0xFF, 0xFC, 1, 2};
  std::vector<camsim::MediaFrame> frames;
  EXPECT_FALSE(camsim::SplitAdts(broken, sizeof(broken), &frames, &why));
  EXPECT_NE(why.find("broken"), std::string::npos);
}

}  // namespace
