// vdec, mp4rec and mp4dump run as a user runs them: exit code, standard output
// and standard error for good runs, bad arguments and inputs that give nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/media/media_test_util.h"
#include "tests/media/mp4/mp4_test_util.h"
#include "tests/tools/cli/run_tool.h"

namespace {

using clitest::Case;
using std::string;
using std::vector;

// A folder holding the inputs the cases name.
class MediaCli : public ::testing::Test {
 protected:
  void SetUp() override {
    const string h264 = mt::H264Stream(25, 10), hevc = mt::HevcStream(25, 10);
    std::filesystem::copy_file(h264, dir_ / "clip.264");
    std::filesystem::copy_file(hevc, dir_ / "clip.265");
    std::filesystem::copy_file(h264, dir_ / "h264.265");  // the wrong extension
    std::filesystem::copy_file(hevc, dir_ / "hevc.264");
    vector<uint8_t> s = tools::ReadFile(h264);
    mt::WriteAll(dir_ / "cut.264", vector<uint8_t>(s.begin(), s.begin() + static_cast<long>(s.size() * 2 / 3)));
    vector<uint8_t> v = tools::ReadFile(hevc);
    mt::WriteAll(dir_ / "cut.265", vector<uint8_t>(v.begin(), v.begin() + static_cast<long>(v.size() * 2 / 3)));
    // The H.264 stream without its parameter sets (NAL types 7 and 8).
    vector<uint8_t> nops;
    vector<size_t> starts;  // first byte of each NAL unit
    for (size_t i = 0; i + 3 < s.size(); ++i)
      if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) starts.push_back(i + 3);
    for (size_t k = 0; k < starts.size(); ++k) {
      size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : s.size();
      int type = s[starts[k]] & 0x1F;
      if (type == 7 || type == 8) continue;
      nops.insert(nops.end(), {0, 0, 1});
      nops.insert(nops.end(), s.begin() + static_cast<long>(starts[k]), s.begin() + static_cast<long>(end));
    }
    mt::WriteAll(dir_ / "nops.264", nops);
    // Streams the decoders do not decode: 10-bit HEVC, 4:2:2 H.264.
    std::filesystem::copy_file(
        mt::Cached("hevc_10bit.265", "ffmpeg -v error -f lavfi -i testsrc=size=64x64:rate=25 -t 0.2 -c:v libx265 "
                                     "-x265-params log-level=error -pix_fmt yuv420p10le -f hevc {}"),
        dir_ / "ten.265");
    std::filesystem::copy_file(
        mt::Cached("h264_422.264", "ffmpeg -v error -f lavfi -i testsrc=size=64x64:rate=25 -t 0.2 -c:v libx264 "
                                   "-pix_fmt yuv422p -f h264 {}"),
        dir_ / "f422.264");
    mt::WriteAll(dir_ / "empty.264", {});
    std::mt19937 rng(7);
    vector<uint8_t> noise(4000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng() | 1);  // no 00 00 01 in it
    mt::WriteAll(dir_ / "noise.264", noise);
    mt::WriteAll(dir_ / "talk.alaw", vector<uint8_t>(3200, 0xD5));
    mt::WriteAll(dir_ / "talk.pcm", vector<uint8_t>(6400, 0));
    std::ofstream(dir_ / "notes.txt") << "not a recording\n";
  }
  void Run(const string& bin, const vector<Case>& cases) {
    for (const Case& c : cases) clitest::Check(bin, c, dir_.path());
  }
  TempDir dir_{"media_cli"};
};

TEST_F(MediaCli, Vdec) {
  const string frame = std::to_string(176 * 144 * 3 / 2);
  vector<Case> cases = clitest::CommonCases("vdec", "--frames");
  vector<Case> more = {
      {{"clip.264", "out.yuv"}, 0, "=", "vdec: 25 pictures 176x144 in "},
      {{"clip.265", "out.yuv"}, 0, "=", "vdec: 25 pictures 176x144 in "},
      {{"--quiet", "--frames", "3", "clip.264", "-"}, 0, "", "="},
      {{"--bench", "--quiet", "clip.265"}, 0, "frames=25 seconds=", "="},
      {{"--threads", "1", "--quiet", "clip.264"}, 0, "=", "="},
      {{"--codec=hevc", "--quiet", "h264.265", "o.yuv"}, 1, "=", "it looks like H.264; try --codec h264", {"o.yuv"}},
      // Nothing decoded: a failure, and no output file is left.
      {{"empty.264", "o.yuv"}, 1, "=", "vdec: empty.264: nothing decoded as h264: the file is empty", {"o.yuv"}},
      {{"noise.264", "o.yuv"}, 1, "=", "no Annex-B start code", {"o.yuv"}},
      {{"nops.264", "o.yuv"}, 1, "=", "no H.264 sequence parameter set in it", {"o.yuv"}},
      {{"h264.265", "o.yuv"}, 1, "=", "it looks like H.264; try --codec h264", {"o.yuv"}},
      {{"hevc.264", "o.yuv"}, 1, "=", "it looks like HEVC; try --codec hevc", {"o.yuv"}},
      {{"--codec", "h264", "clip.265"}, 1, "=", "it looks like HEVC"},
      // Cut streams: the whole pictures before the cut, alike for both codecs.
      {{"--quiet", "cut.264", "o.yuv"}, 0, "=", ""},
      {{"--quiet", "cut.265", "o.yuv"}, 0, "=", ""},
      // Unsupported streams: the same words for both codecs.
      {{"ten.265", "o.yuv"}, 1, "=", "decoder error 0xF0404003: only 8-bit 4:2:0 video is supported (The value of "
                                     "bit_depth_luma is 10", {"o.yuv"}},
      {{"f422.264", "o.yuv"}, 1, "=", "decoder error 0x20000007: only 8-bit 4:2:0 video is supported\n", {"o.yuv"}},
      {{"missing.264"}, 1, "=", "vdec: cannot read missing.264: No such file or directory"},
      {{"clip.264", "no/such/dir/o.yuv"}, 1, "=", "vdec: cannot create no/such/dir/o.yuv: No such file or directory"},
      // Arguments.
      {{"clip.264", "--frames"}, 2, "=", "vdec: --frames needs a value N", {"--frames"}},
      {{"--frames", "0", "clip.264"}, 2, "=", "vdec: --frames: 0 is out of range 1..1000000000"},
      {{"--frames", "abc", "clip.264"}, 2, "=", "vdec: --frames: 'abc' is not a number"},
      {{"--threads", "7", "clip.264"}, 2, "=", "vdec: --threads: 7 is out of range 0..1"},
      {{"--codec", "vp9", "clip.264"}, 2, "=", "vdec: --codec: 'vp9' is not one of h264|hevc"},
      {{"clip.264", "clip.264"}, 2, "=", "vdec: the output clip.264 is the input"},
      {{"clip.264", "a.yuv", "b.yuv"}, 2, "=", "vdec: unexpected argument 'b.yuv'"},
      {{"notes.txt"}, 2, "=", "cannot tell the codec of notes.txt"},
      {{}, 2, "=", "vdec: missing INPUT"},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  Run(VDEC_BIN, cases);
  // The help names every option with its values.
  clitest::Run help = clitest::RunTool(VDEC_BIN, {"--help"}, dir_.path());
  for (const char* o : {"--codec h264|hevc", "--threads 0|1", "--frames N", "--bench", "--quiet", "INPUT", "OUTPUT"})
    EXPECT_NE(help.out.find(o), string::npos) << o;
  EXPECT_EQ(std::filesystem::file_size(dir_ / "out.yuv"), 25u * std::stoul(frame));
}

TEST_F(MediaCli, Mp4rec) {
  vector<Case> cases = clitest::CommonCases("mp4rec", "--fps");
  vector<Case> more = {
      {{"clip.264", "a.mp4"}, 0, "a.mp4: 25 video frames, 0 audio frames, ", "="},
      {{"--fps", "10", "--audio", "talk.alaw", "clip.265", "b.mp4"}, 0, "b.mp4: 25 video frames, 10 audio frames, ", "="},
      {{"--audio=talk.pcm", "clip.264", "c.mp4"}, 0, "c.mp4: 25 video frames, 10 audio frames", "="},
      // No video frame: nothing is recorded and no file is left.
      {{"empty.264", "o.mp4"}, 1, "=", "mp4rec: empty.264: no H.264 key frame in it: nothing to record", {"o.mp4"}},
      {{"noise.264", "o.mp4"}, 1, "=", "no H.264 key frame", {"o.mp4"}},
      {{"nops.264", "o.mp4"}, 1, "=", "no video frame could be recorded", {"o.mp4"}},
      {{"hevc.264", "o.mp4"}, 1, "=", "mp4rec: hevc.264: no H.264 key frame", {"o.mp4"}},
      {{"missing.264", "o.mp4"}, 1, "=", "mp4rec: cannot read missing.264: No such file or directory", {"o.mp4"}},
      {{"clip.264", "no/dir/o.mp4"}, 1, "=", "mp4rec: cannot create no/dir/o.mp4: the file cannot be opened (-1106): No such file or directory"},
      // Arguments.
      {{"clip.264", "o.mp4", "--fps"}, 2, "=", "mp4rec: --fps needs a value N", {"o.mp4", "--fps"}},
      {{"clip.264", "--fps"}, 2, "=", "mp4rec: --fps needs a value N", {"--fps"}},
      {{"--fps", "0", "clip.264", "o.mp4"}, 2, "=", "mp4rec: --fps: 0 is out of range 1..1000", {"o.mp4"}},
      {{"--fps", "x", "clip.264", "o.mp4"}, 2, "=", "mp4rec: --fps: 'x' is not a number", {"o.mp4"}},
      {{"--audio", "talk.wav", "clip.264", "o.mp4"}, 2, "=", "must be a .pcm or .alaw file", {"o.mp4"}},
      {{"clip.264", "clip.264"}, 2, "=", "mp4rec: the output clip.264 is the input"},
      {{"--audio", "talk.alaw", "clip.264", "talk.alaw"}, 2, "=", "is the audio input"},
      {{"notes.txt", "o.mp4"}, 2, "=", "the input must be a .264, .h264, .265 or .hevc file", {"o.mp4"}},
      {{"clip.264"}, 2, "=", "mp4rec: missing OUTPUT"},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  Run(MP4REC_BIN, cases);
}

// Sound shorter than the picture goes on with silence to the picture's end,
// whatever the clip's length: 0.4 s of A-law under 1, 2 and 3 s of video.
TEST_F(MediaCli, Mp4recSilenceLastsToTheVideosEnd) {
  auto duration = [&](const string& file, const char* stream) {
    return mt::Shell(string("ffprobe -v error -select_streams ") + stream +
                     " -show_entries stream=duration -of csv=p=0 '" + (dir_ / file) + "'");
  };
  for (int seconds : {1, 2, 3}) {
    SCOPED_TRACE(std::to_string(seconds) + " s");
    const string clip = "clip" + std::to_string(seconds) + ".264", rec = "rec" + std::to_string(seconds) + ".mp4";
    std::filesystem::copy_file(mt::H264Stream(25 * seconds, 25), dir_ / clip);
    ASSERT_EQ(clitest::RunTool(MP4REC_BIN, {"--audio", "talk.alaw", clip, rec}, dir_.path()).exit, 0);
    const string want = std::to_string(seconds) + ".000000\n";
    EXPECT_EQ(duration(rec, "v:0"), want);
    EXPECT_EQ(duration(rec, "a:0"), want);
  }
}

// Streams with B-frames are decoded in one order and shown in another: the
// recording keeps decode order and gives the times they are shown at, so
// ffmpeg plays it in display order, its pictures those of the stream, and the
// sound lasts to the picture's end.
TEST_F(MediaCli, Mp4recBFramesPlayInDisplayOrder) {
  const vector<std::pair<string, string>> streams = {
      {"b.264", mt::Cached("h264_bframes.264", "ffmpeg -v error -f lavfi -i testsrc=size=96x64:rate=25 -t 2 "
                                               "-c:v libx264 -bf 3 -g 25 -f h264 {}")},
      {"b.265", mt::Cached("hevc_bframes.265", "ffmpeg -v error -f lavfi -i testsrc=size=96x64:rate=25 -t 2 "
                                               "-c:v libx265 -x265-params log-level=error:bframes=3:keyint=25 "
                                               "-f hevc {}")},
  };
  auto shell = [&](const string& cmd) { return mt::Shell("cd '" + dir_.path() + "' && " + cmd + " 2>&1"); };
  auto md5s = [&](const string& in) { return shell("ffmpeg -v error -i " + in + " -map 0:v -f framemd5 - | grep -v '^#' | cut -d, -f6"); };
  for (const auto& [name, path] : streams) {
    SCOPED_TRACE(name);
    std::filesystem::copy_file(path, dir_ / name);
    const string rec = name + ".mp4";
    clitest::Run r = clitest::RunTool(MP4REC_BIN, {"--audio", "talk.alaw", name, rec}, dir_.path());
    ASSERT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(shell("ffmpeg -v warning -i " + rec + " -f null - | grep -i monoton"), "");
    // B-frames were there to reorder: some sample is shown before one decoded ahead of it.
    EXPECT_NE(shell("ffprobe -v error -show_entries packet=pts,dts -select_streams v:0 -of csv=p=0 " + rec +
                    " | awk -F, 'NR > 1 && $1 < last {print; exit} {last = $1}'"),
              "");
    const string want = md5s(name);
    EXPECT_EQ(std::count(want.begin(), want.end(), '\n'), 50);
    EXPECT_EQ(md5s(rec), want);
    for (const char* stream : {"v:0", "a:0"})
      EXPECT_EQ(shell(string("ffprobe -v error -select_streams ") + stream +
                      " -show_entries stream=duration -of csv=p=0 " + rec),
                "2.000000\n")
          << stream;
  }
}

TEST_F(MediaCli, Mp4dump) {
  ASSERT_EQ(clitest::RunTool(MP4REC_BIN, {"--audio", "talk.alaw", "clip.264", "rec.mp4"}, dir_.path()).exit, 0);
  vector<uint8_t> rec = tools::ReadFile(dir_ / "rec.mp4");
  // Closed, then cut inside moov; and a file whose writer died (mdat size 0, no moov).
  mt::WriteAll(dir_ / "cut.mp4", vector<uint8_t>(rec.begin(), rec.end() - 300));
  mt::Box moov = mt::FindPath(rec, "moov");
  vector<uint8_t> open(rec.begin(), rec.begin() + static_cast<long>(moov.at));
  open[24] = open[25] = open[26] = open[27] = 0;
  mt::WriteAll(dir_ / "open.mp4", open);
  ASSERT_EQ(mt::Shell("ffmpeg -v error -f lavfi -i testsrc=size=64x64:rate=25 -t 0.2 -c:v mjpeg -movflags "
                      "frag_keyframe+empty_moov -y '" + (dir_ / "frag.mp4") + "' 2>&1"), "");
  // A file of nothing but ftyp, and a file with a track but no sample.
  mt::WriteAll(dir_ / "nothing.mp4", vector<uint8_t>(rec.begin(), rec.begin() + 24));
  ASSERT_EQ(mt::Shell("ffmpeg -v error -f lavfi -i testsrc=size=64x64:rate=25 -frames:v 0 -c:v libx264 -y '" +
                      (dir_ / "nosamples.mp4") + "' 2>&1"),
            "");

  vector<Case> cases = clitest::CommonCases("mp4dump", "--no-value-option");
  cases.pop_back();  // mp4dump has no option with a value
  vector<Case> more = {
      {{"rec.mp4"}, 0, "track 0:1 time 0 size ", "="},
      {{"rec.mp4"}, 0, "track 0:2 time 40 size 320 key 1\n", "="},
      {{"--recover", "rec.mp4"}, 0, "track 0:1 time 0 ", "=mp4dump: rec.mp4 is whole; nothing to recover\n"},
      {{"open.mp4"}, 1, "=", "mp4dump: cannot read open.mp4: a box is missing or malformed (-1101); if its writer died, try --recover"},
      {{"--recover", "open.mp4"}, 0, "track 0:1 time 0 ", "mp4dump: recovered open.mp4 in place: "},
      {{"open.mp4"}, 0, "track 0:1 time 0 ", "="},  // now whole
      {{"cut.mp4"}, 1, "=", "a box is missing or malformed (-1101)"},
      {{"--recover", "cut.mp4"}, 0, "track 0:1 time 0 ", "mp4dump: recovered cut.mp4 in place: "},
      {{"frag.mp4"}, 1, "=", "mp4dump: frag.mp4 holds no sample (a fragmented MP4"},
      {{"nothing.mp4"}, 1, "=", "mp4dump: cannot read nothing.mp4: "},
      {{"nosamples.mp4"}, 1, "=", "=mp4dump: nosamples.mp4 holds no sample\n"},
      {{"notes.txt"}, 1, "=", "mp4dump: cannot read notes.txt: a box is missing or malformed (-1101)"},
      {{"missing.mp4"}, 1, "=", "mp4dump: cannot read missing.mp4: No such file or directory"},
      {{"--recover", "missing.mp4"}, 1, "=", "mp4dump: cannot recover missing.mp4: No such file or directory"},
      {{"--recover=1", "rec.mp4"}, 2, "=", "mp4dump: --recover takes no value"},
      {{"a.mp4", "b.mp4"}, 2, "=", "mp4dump: unexpected argument 'b.mp4'"},
      {{}, 2, "=", "mp4dump: missing FILE"},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  Run(MP4DUMP_BIN, cases);
  EXPECT_EQ(mt::Shell("ffmpeg -v error -i '" + (dir_ / "cut.mp4") + "' -f null - 2>&1"), "");

  // The recover rule: a file it calls whole, and one it cannot recover (cut
  // before its first whole sample, or without mdat), stay byte for byte.
  mt::WriteAll(dir_ / "short.mp4", vector<uint8_t>(rec.begin(), rec.begin() + 300));
  mt::WriteAll(dir_ / "short_open.mp4", vector<uint8_t>(open.begin(), open.begin() + 300));
  const vector<Case> kept = {
      {{"--recover", "rec.mp4"}, 0, "track 0:1 time 0 ", "=mp4dump: rec.mp4 is whole; nothing to recover\n"},
      {{"--recover", "short.mp4"}, 1, "=",
       "=mp4dump: cannot recover short.mp4: it holds not one whole sample; the file is left as it was\n"},
      {{"--recover", "short_open.mp4"}, 1, "=",
       "=mp4dump: cannot recover short_open.mp4: it holds not one whole sample; the file is left as it was\n"},
      {{"--recover", "nothing.mp4"}, 1, "=",
       "=mp4dump: cannot recover nothing.mp4: a box is missing or malformed (-1101); the file is left as it was\n"},
      {{"--recover", "notes.txt"}, 1, "=", "the file is left as it was\n"},
  };
  for (const Case& c : kept) {
    const vector<uint8_t> before = tools::ReadFile(dir_ / c.args[1]);
    clitest::Check(MP4DUMP_BIN, c, dir_.path());
    EXPECT_TRUE(tools::ReadFile(dir_ / c.args[1]) == before) << c.args[1] << " was changed";
  }
}

}  // namespace
