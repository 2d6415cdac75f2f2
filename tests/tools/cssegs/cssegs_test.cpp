// The segment writer tool on streams made by ffmpeg: its files read back through the segment reader to the
// very access units of the stream, with A-law audio and a sync frame per segment; and its command line.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sdk/cloudplay/cloud_segment.h"
#include "sdk/cloud/orvel_server.h"
#include "util/crypto.h"
#include "tests/common/temp_dir.h"
#include "tools/common/read_file.h"
#include "tools/cssegs/cssegs_lib.h"

namespace {

struct ToolRun {
  int code;
  std::string out;
};

ToolRun Cssegs(const std::string& args) {
  std::string cmd = std::string(CSSEGS_BIN) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ToolRun r{-1, ""};
  if (!p) return r;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

struct Frame {
  uint32_t type, ts, flags;
  std::vector<uint8_t> data;
};

std::vector<Frame> ReadSegment(const std::string& path, const char* key) {
  std::vector<Frame> out;
  const Mp4ReaderOps* r = CloudFileReaderOps();
  void* h = nullptr;
  if (r->Open(path.c_str(), &h) != 0) return out;
  std::vector<uint8_t> enc(1 << 20), plain(1 << 20);
  for (;;) {
    uint32_t type, ts, flags, n = static_cast<uint32_t>(enc.size());
    if (r->ReadSample(&type, &ts, enc.data(), &n, &flags, h) != 0) break;
    CryptoDesDecrypt(enc.data(), static_cast<int>(n), key, plain.data());
    int len = CloudFrameUnpad(plain.data(), static_cast<int>(n));
    if (len < 0) break;
    out.push_back({type, ts, flags, std::vector<uint8_t>(plain.begin(), plain.begin() + len)});
  }
  r->Close(h);
  return out;
}

TEST(Cssegs, SegmentsCarryTheStreamsAccessUnits) {
  setenv("TZ", "UTC", 1);
  tzset();
  TempDir dir("velmora_cssegs");
  struct Case {
    const char* file;
    const char* codec;
    bool hevc;
  } cases[] = {{"clip.h264", "libx264", false}, {"clip.hevc", "libx265", true}};
  for (const Case& c : cases) {
    std::string in = dir / c.file;
    std::string cmd = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=10 -t 3 -c:v " +
                      std::string(c.codec) + " -g 10 -bf 0 " +
                      (c.hevc ? "-x265-params log-level=none " : "") + in;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::vector<uint8_t> alaw(8000);
    for (size_t i = 0; i < alaw.size(); ++i) alaw[i] = static_cast<uint8_t>(i * 7);
    FILE* f = std::fopen((dir / "a.alaw").c_str(), "wb");
    std::fwrite(alaw.data(), 1, alaw.size(), f);
    std::fclose(f);
    std::string out = dir / (std::string("out_") + c.codec);
    ToolRun r = Cssegs("--uuid CAM9 --key abcdefgh --start '2024-05-06 12:00:02' --segments 3 --fps 10 --skip 1 "
                   "--audio " + (dir / "a.alaw") + " " + in + " " + out);
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("2 segments"), std::string::npos) << r.out;

    std::vector<uint8_t> stream;
    ASSERT_TRUE(tools::ReadFile(in, &stream));
    std::vector<AccessUnit> units = SplitAnnexB(stream, c.hevc);
    ASSERT_EQ(units.size(), 30u);
    std::vector<Frame> seg = ReadSegment(out + "/CAM9/2024/05/06/12/00-00.data", "abcdefgh");
    ASSERT_FALSE(seg.empty());
    // A sync frame with the segment's time.
    EXPECT_EQ(seg[0].type, 0u);
    ASSERT_EQ(seg[0].data.size(), 4u);
    uint32_t t = seg[0].data[0] | seg[0].data[1] << 8 | seg[0].data[2] << 16 | uint32_t(seg[0].data[3]) << 24;
    EXPECT_EQ(t, 1714996800u);
    size_t video = 0, audio = 0;
    for (const Frame& fr : seg) {
      if (fr.type == (c.hevc ? 13u : 1u)) {
        const AccessUnit& au = units[video % units.size()];  // the stream repeats
        EXPECT_TRUE(fr.data == au.data) << video;
        EXPECT_EQ(fr.flags, au.key ? 1u : 0u);
        EXPECT_EQ(fr.ts, video * 100);
        ++video;
      } else if (fr.type == 2u) {
        EXPECT_EQ(fr.data.size(), kCsSegAudioBytes);
        EXPECT_EQ(fr.data[0], alaw[(audio * kCsSegAudioBytes) % alaw.size()]);
        ++audio;
      }
    }
    EXPECT_EQ(video, 50u);
    EXPECT_EQ(audio, 125u);  // 40 ms each over five seconds
    // The skipped segment is absent; the third one starts at a key frame.
    EXPECT_FALSE(std::fopen((out + "/CAM9/2024/05/06/12/00-05.data").c_str(), "rb"));
    std::vector<Frame> third = ReadSegment(out + "/CAM9/2024/05/06/12/00-10.data", "abcdefgh");
    ASSERT_GT(third.size(), 2u);
    for (const Frame& fr : third) {
      if (fr.type == (c.hevc ? 13u : 1u)) {
        EXPECT_EQ(fr.flags, 1u);
        break;
      }
    }
  }
}

TEST(Cssegs, CommandLine) {
  ToolRun help = Cssegs("--help");
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("example:"), std::string::npos);
  EXPECT_EQ(Cssegs("-h").code, 0);
  struct Case {
    std::string args;
    int code;
    const char* says;
  } cases[] = {
      {"--frobnicate", 2, "unknown option: --frobnicate"},
      {"--uuid", 2, "missing value for: --uuid"},
      {"--uuid U --key k --start 5 --segments 0 a.h264 out", 2, "--segments must be 1..100000"},
      {"--uuid U --key k --start 5 --fps 500 a.h264 out", 2, "--fps must be 1..120"},
      {"--uuid U --key k --start yesterday a.h264 out", 2, "--start needs"},
      {"--key k --start 5 a.h264 out", 2, "missing --uuid"},
      {"--uuid U --key k a.h264 out", 2, "missing --start"},
      // A uuid that cannot name a folder is refused before anything is read, in the tool's own words.
      {"--uuid ../x --key k --start 5 a.h264 out", 2, "=cssegs: --uuid must name a folder"},
      {"--uuid a/b --key k --start 5 a.h264 out", 2, "=cssegs: --uuid must name a folder"},
      {"--uuid '..' --key k --start 5 a.h264 out", 2, "=cssegs: --uuid must name a folder"},
      {"--uuid 'x\\y' --key k --start 5 a.h264 out", 2, "=cssegs: --uuid must name a folder"},
      {"--uuid " + std::string(129, 'u') + " --key k --start 5 a.h264 out", 2,
       "=cssegs: --uuid must name a folder"},
      {"--uuid U --key k --start 5 a.mp4 out", 2, "must end in"},
      {"--uuid U --key k --start 5 /nonexistent/a.h264 out", 1, "cannot read"},
      {"--uuid U --key k --start 5 a.h264", 2, "need INPUT and OUTDIR"},
  };
  for (const Case& c : cases) {
    ToolRun r = Cssegs(c.args);
    EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.out;
    // A leading '=': the output starts with the rest (no log line before it).
    if (c.says[0] == '=')
      EXPECT_EQ(r.out.rfind(c.says + 1, 0), 0u) << c.args << "\n" << r.out;
    else
      EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
  }
}

}  // namespace
