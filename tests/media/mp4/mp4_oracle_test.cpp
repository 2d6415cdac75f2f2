// Recordings checked by ffprobe and ffmpeg, and the mp4rec and mp4dump tools.
#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "media/mp4/mp4_recorder.h"
#include "tests/media/media_test_util.h"
#include "tests/media/mp4/mp4_test_util.h"
#include "tools/mp4rec/annexb.h"

namespace {

using std::string;
using std::vector;

vector<string> Lines(const string& s) {
  vector<string> out;
  std::istringstream in(s);
  for (string l; std::getline(in, l);)
    if (!l.empty()) out.push_back(l);
  return out;
}

vector<string> Fields(const string& line) {
  vector<string> out;
  std::istringstream in(line);
  for (string f; std::getline(in, f, ',');) out.push_back(f);
  return out;
}

string Probe(const string& path, const string& args) {
  return mt::Shell("ffprobe -v error " + args + " -of csv=p=0 '" + path + "' 2>&1");
}

struct StreamCase {
  const char* name;
  uint32_t codec;
  const char* ffname;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class RecordedStream : public ::testing::TestWithParam<StreamCase> {};

// 25 frames at 40 ms with 40 ms PCM frames recorded as A-law.
TEST_P(RecordedStream, PassesFfprobeAndDecodesCleanly) {
  const StreamCase& c = GetParam();
  vector<vector<uint8_t>> frames;
  vector<bool> keys;
  if (c.codec == 12) {
    frames = mt::SplitJpeg(tools::ReadFile(mt::MjpegStream(25)));
    keys.assign(frames.size(), true);
  } else {
    string es = c.codec == 1 ? mt::H264Stream(25, 10) : mt::HevcStream(25, 10);
    for (AccessUnit& u : SplitAnnexB(tools::ReadFile(es), c.codec == 13)) {
      frames.push_back(std::move(u.data));
      keys.push_back(u.key);
    }
  }
  ASSERT_EQ(frames.size(), 25u);
  mt::TempDir dir;
  string path = dir / "rec.mp4";
  void* h = nullptr;
  ASSERT_EQ(g_mp4RecorderOps->Open(path.c_str(), nullptr, &h), 0);
  vector<uint8_t> pcm(640);
  for (uint32_t i = 0; i < 25; ++i) {
    ASSERT_EQ(g_mp4RecorderOps->Write(c.codec, 90000 + i * 40, frames[i].data(), static_cast<uint32_t>(frames[i].size()),
                                      keys[i], h), 0);
    for (size_t k = 0; k < 320; ++k) {
      int16_t v = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * (i * 320 + k) / 8000.0));
      pcm[2 * k] = static_cast<uint8_t>(v);
      pcm[2 * k + 1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
    }
    ASSERT_EQ(g_mp4RecorderOps->Write(52, 90000 + i * 40, pcm.data(), 640, 0, h), 0);
  }
  Mp4Info info{};
  ASSERT_EQ(g_mp4RecorderOps->Close(&info, h), 0);
  EXPECT_EQ(info.duration, 1000u);

  EXPECT_EQ(Probe(path, "-select_streams v:0 -show_entries stream=codec_name,width,height,nb_frames,duration"),
            string(c.ffname) + ",176,144,1.000000,25\n");
  EXPECT_EQ(Probe(path, "-select_streams a:0 -show_entries stream=codec_name,sample_rate,channels,nb_frames,duration"),
            "pcm_alaw,8000,1,1.000000,25\n");
  vector<string> vf = Lines(Probe(path, "-select_streams v:0 -show_frames -show_entries frame=key_frame,pts_time,pkt_duration_time"));
  ASSERT_EQ(vf.size(), 25u);
  for (size_t i = 0; i < vf.size(); ++i) {
    vector<string> f = Fields(vf[i]);
    ASSERT_GE(f.size(), 3u) << vf[i];  // side data may follow
    EXPECT_EQ(f[0], keys[i] ? "1" : "0") << i;
    EXPECT_NEAR(std::stod(f[1]), 0.04 * i, 1e-6) << i;
    EXPECT_EQ(f[2], "0.040000") << i;
  }
  vector<string> af = Lines(Probe(path, "-select_streams a:0 -show_frames -show_entries frame=nb_samples"));
  int samples = 0;
  for (const string& l : af) samples += std::stoi(l);
  EXPECT_EQ(samples, 8000);
  EXPECT_EQ(mt::Shell("ffmpeg -v error -i '" + path + "' -f null - 2>&1"), "");
}

INSTANTIATE_TEST_SUITE_P(Codecs, RecordedStream,
                         ::testing::Values(StreamCase{"x264", 1, "h264"}, StreamCase{"x265", 13, "hevc"},
                                           StreamCase{"mjpeg", 12, "mjpeg"}),
                         [](const auto& info) { return string(info.param.name); });

// Sound that stops early: silence carries it on from where it ends, every
// timestamp once, up to the end of the video.
TEST(Mp4Tools, ShortAudioIsFilledToTheVideosEnd) {
  mt::TempDir dir;
  string es = mt::H264Stream(100, 25);
  string alaw = mt::Cached("sine_400ms.alaw",
                           "ffmpeg -v error -f lavfi -i sine=frequency=440:sample_rate=8000 -t 0.4 -f alaw {}");
  string out = dir / "short.mp4";
  int st = 0;
  string log = mt::Shell(string(MP4REC_PATH) + " --audio '" + alaw + "' '" + es + "' '" + out + "' 2>&1", &st);
  ASSERT_EQ(st, 0) << log;
  EXPECT_EQ(Probe(out, "-select_streams v:0 -show_entries stream=duration"), "4.000000\n");
  EXPECT_EQ(Probe(out, "-select_streams a:0 -show_entries stream=duration"), "4.000000\n");
  vector<string> pts = Lines(Probe(out, "-select_streams a:0 -show_entries packet=pts"));
  ASSERT_GT(pts.size(), 10u);
  for (size_t i = 1; i < pts.size(); ++i) ASSERT_LT(std::stol(pts[i - 1]), std::stol(pts[i])) << i;
}

TEST(Mp4Tools, RecordDumpAndRecover) {
  mt::TempDir dir;
  string es = mt::H264Stream(25, 10);
  string pcm = mt::Cached("sine_1s.pcm", "ffmpeg -v error -f lavfi -i sine=frequency=440:sample_rate=8000 -t 1 -f s16le {}");
  string alaw = mt::Cached("sine_1s.alaw", "ffmpeg -v error -f s16le -ar 8000 -ac 1 -i '" + pcm + "' -f alaw {}");
  int st = 0;
  for (const string& audio : {pcm, alaw}) {
    string out = dir / "tool.mp4";
    string log = mt::Shell(string(MP4REC_PATH) + " --fps 20 --audio '" + audio + "' '" + es + "' '" + out + "' 2>&1", &st);
    ASSERT_EQ(st, 0) << log;
    EXPECT_EQ(Probe(out, "-select_streams v:0 -show_entries stream=codec_name,nb_frames,duration"), "h264,1.250000,25\n");
    // 1 s of sound, then silence in 20 ms blocks up to the picture's end.
    EXPECT_EQ(Probe(out, "-select_streams a:0 -show_entries stream=codec_name,nb_frames,duration"), "pcm_alaw,1.240000,37\n");
    vector<string> dump = Lines(mt::Shell(string(MP4DUMP_PATH) + " '" + out + "'", &st));
    ASSERT_EQ(st, 0);
    ASSERT_EQ(dump.size(), 62u);
    EXPECT_EQ(dump[0].rfind("track 0:1 time 0 size ", 0), 0u) << dump[0];
    EXPECT_NE(std::find(dump.begin(), dump.end(), "track 0:2 time 40 size 320 key 1"), dump.end());
  }
  // A recording that was never closed, cut in its last sample (before the
  // twelve 160-byte blocks of silence written at close).
  vector<uint8_t> f = tools::ReadFile(dir / "tool.mp4");
  mt::Box moov = mt::FindPath(f, "moov");
  vector<uint8_t> open(f.begin(), f.begin() + static_cast<long>(moov.at) - 12 * 160 - 100);
  open[24] = open[25] = open[26] = open[27] = 0;
  mt::WriteAll(dir / "open.mp4", open);
  mt::Shell(string(MP4DUMP_PATH) + " '" + (dir / "open.mp4") + "' 2>&1", &st);
  EXPECT_NE(st, 0);
  vector<string> dump = Lines(mt::Shell(string(MP4DUMP_PATH) + " --recover '" + (dir / "open.mp4") + "'", &st));
  EXPECT_EQ(st, 0);
  // A-law comes back in 20 ms frames; the video up to the cut.
  size_t video = std::count_if(dump.begin(), dump.end(), [](const string& l) { return l.rfind("track 0:1 ", 0) == 0; });
  EXPECT_GE(video, 22u);
  EXPECT_LT(video, 25u);
  EXPECT_EQ(dump.size() - video, 50u);
  EXPECT_EQ(mt::Shell("ffmpeg -v error -i '" + (dir / "open.mp4") + "' -f null - 2>&1"), "");
  // Bad arguments.
  mt::Shell(string(MP4REC_PATH) + " '" + es + "' 2>&1", &st);
  EXPECT_NE(st, 0);
  mt::Shell(string(MP4REC_PATH) + " '" + pcm + "' '" + (dir / "x.mp4") + "' 2>&1", &st);
  EXPECT_NE(st, 0);
}

}  // namespace
