// Reader: samples back in time order, parameter sets, seeking, filters,
// hostile files; recovery of recordings that were never closed.
#include "media/mp4/mp4_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "media/mp4/mp4_recorder.h"
#include "tests/media/media_test_util.h"
#include "tests/media/mp4/mp4_test_util.h"
#include "tools/mp4rec/annexb.h"

namespace {

using std::vector;

struct Sample {
  uint32_t type, time, key;
  vector<uint8_t> data;
  bool operator==(const Sample& o) const { return type == o.type && time == o.time && key == o.key && data == o.data; }
};

vector<Sample> ReadAllSamples(void* r) {
  vector<Sample> out;
  vector<uint8_t> buf(16);
  for (;;) {
    uint32_t type = 0, time = 0, key = 0, size = static_cast<uint32_t>(buf.size());
    uint32_t ptype = 0, ptime = 0, pkey = 0, psize = 0;
    int pr = Mp4ReaderPeekSample(&ptype, &ptime, &pkey, &psize, r);
    int res = Mp4ReaderReadSample(&type, &time, buf.data(), &size, &key, r);
    if (res == kMp4ErrBufferSmall) {
      EXPECT_EQ(size, psize);
      buf.resize(size);
      continue;
    }
    if (res == kMp4ErrNoSample) {
      EXPECT_EQ(pr, kMp4ErrNoSample);
      break;
    }
    EXPECT_EQ(res, 0);
    if (res != 0) break;
    EXPECT_EQ(pr, 0);
    EXPECT_EQ(ptype, type);
    EXPECT_EQ(ptime, time);
    EXPECT_EQ(pkey, key);
    EXPECT_EQ(psize, size);
    out.push_back(Sample{type, time, key, vector<uint8_t>(buf.begin(), buf.begin() + size)});
  }
  return out;
}

vector<Sample> ReadFileSamples(const std::string& path, uint32_t filter = 0) {
  void* r = nullptr;
  EXPECT_EQ(Mp4ReaderOpen(path.c_str(), &r), 0);
  if (!r) return {};
  Mp4ReaderSetTrackFilter(filter, 0, 0, r);
  vector<Sample> s = ReadAllSamples(r);
  Mp4ReaderClose(r);
  return s;
}

vector<Sample> OfType(const vector<Sample>& all, uint32_t type) {
  vector<Sample> out;
  for (const Sample& s : all)
    if (s.type == type) out.push_back(s);
  return out;
}

vector<uint8_t> AlawFrame(uint32_t k, uint32_t size = 320) { return vector<uint8_t>(size, static_cast<uint8_t>(0x80 + k % 64)); }

// Records frames of an x264 stream on channel 0 (and optionally channel 1)
// with 40 ms A-law frames; returns what went in, as the reader should give it back.
vector<Sample> Record(const std::string& path, const vector<AccessUnit>& units, uint32_t codec, bool secondChannel,
                      uint32_t audioFrames) {
  void* h = nullptr;
  EXPECT_EQ(g_mp4RecorderOps->Open(path.c_str(), nullptr, &h), 0);
  vector<Sample> in;
  size_t v = 0, a = 0;
  while (v < units.size() || a < audioFrames) {
    uint32_t vt = v < units.size() ? static_cast<uint32_t>(v * 40) : UINT32_MAX;
    uint32_t at = a < audioFrames ? static_cast<uint32_t>(a * 40) : UINT32_MAX;
    if (vt <= at) {
      const AccessUnit& u = units[v++];
      EXPECT_EQ(g_mp4RecorderOps->Write(codec, 5000 + vt, u.data.data(), static_cast<uint32_t>(u.data.size()), u.key, h), 0);
      in.push_back(Sample{codec, vt, u.key ? 1u : 0u, u.data});
      if (secondChannel) {
        EXPECT_EQ(g_mp4RecorderOps->Write(1 << 16 | codec, 5000 + vt, u.data.data(), static_cast<uint32_t>(u.data.size()), u.key, h), 0);
        in.push_back(Sample{1 << 16 | codec, vt, u.key ? 1u : 0u, u.data});
      }
    } else {
      vector<uint8_t> f = AlawFrame(static_cast<uint32_t>(a++));
      EXPECT_EQ(g_mp4RecorderOps->Write(2, 5000 + at, f.data(), 320, 0, h), 0);
      in.push_back(Sample{2, at, 1, f});
    }
  }
  EXPECT_EQ(g_mp4RecorderOps->Close(nullptr, h), 0);
  return in;
}

vector<AccessUnit> H264Units(int frames, int keyint) {
  return SplitAnnexB(tools::ReadFile(mt::H264Stream(frames, keyint)), false);
}

TEST(Mp4Reader, GivesBackEverySample) {
  mt::TempDir dir;
  vector<AccessUnit> units = H264Units(30, 10);
  ASSERT_EQ(units.size(), 30u);
  std::string path = dir / "rt.mp4";
  vector<Sample> in = Record(path, units, 1, true, 30);
  vector<Sample> out = ReadFileSamples(path);
  ASSERT_EQ(out.size(), in.size());
  for (uint32_t type : {1u, 1u << 16 | 1u, 2u}) EXPECT_EQ(OfType(out, type), OfType(in, type)) << type;
  // In time order.
  for (size_t i = 1; i < out.size(); ++i) EXPECT_LE(out[i - 1].time, out[i].time);
  // The decoder configuration of the H.264 track.
  void* r = nullptr;
  ASSERT_EQ(Mp4ReaderOpen(path.c_str(), &r), 0);
  const uint8_t* cfg = nullptr;
  int n = Mp4ReaderGetDecoderConfig(1, &cfg, r);
  ASSERT_GT(n, 8);
  EXPECT_EQ(cfg[4] & 0x1F, 7);
  EXPECT_EQ(Mp4ReaderGetDecoderConfig(13, &cfg, r), -1);
  Mp4StreamInfo info{};
  EXPECT_EQ(Mp4ReaderGetInfo(&info, r), 0);
  EXPECT_EQ(info.duration, 1200u);
  EXPECT_EQ(info.audioRate, 8000u);
  Mp4ReaderClose(r);
}

TEST(Mp4Reader, KeySamplesWithoutOwnParameterSetsGetTheConfiguration) {
  mt::TempDir dir;
  const vector<uint8_t> sps = {0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x0B, 0x13, 0x90}, pps = {0x68, 0xCE, 0x3C, 0x80};
  auto frame = [](std::initializer_list<vector<uint8_t>> nals) {
    vector<uint8_t> f;
    for (const auto& n : nals) {
      f.insert(f.end(), {0, 0, 0, 1});
      f.insert(f.end(), n.begin(), n.end());
    }
    return f;
  };
  const vector<uint8_t> aud = {0x09, 0xF0}, idr = {0x65, 0x88, 0x84}, p = {0x41, 0x9A};
  vector<vector<uint8_t>> frames = {frame({aud, sps, pps, idr}), frame({aud, p}), frame({aud, idr}), frame({aud, p})};
  std::string path = dir / "aud.mp4";
  void* h = nullptr;
  ASSERT_EQ(Mp4RecOpen(path.c_str(), nullptr, &h), 0);
  for (size_t i = 0; i < frames.size(); ++i)
    ASSERT_EQ(Mp4RecWrite(1, static_cast<uint32_t>(40 * i), frames[i].data(), static_cast<uint32_t>(frames[i].size()), i % 2 == 0, h), 0);
  ASSERT_EQ(Mp4RecClose(nullptr, h), 0);
  vector<uint8_t> config = frame({sps, pps});
  void* r = nullptr;
  ASSERT_EQ(Mp4ReaderOpen(path.c_str(), &r), 0);
  // Too small a buffer: the needed size, and nothing consumed.
  uint8_t small[8];
  uint32_t type, time, key, size = sizeof(small);
  EXPECT_EQ(Mp4ReaderReadSample(&type, &time, small, &size, &key, r), kMp4ErrBufferSmall);
  EXPECT_EQ(size, config.size() + frames[0].size());
  vector<Sample> out = ReadAllSamples(r);
  Mp4ReaderClose(r);
  ASSERT_EQ(out.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    vector<uint8_t> want = frames[i];
    if (i % 2 == 0) want.insert(want.begin(), config.begin(), config.end());
    EXPECT_EQ(out[i].data, want) << i;
    EXPECT_EQ(out[i].key, i % 2 == 0 ? 1u : 0u);
  }
}

TEST(Mp4Reader, SeekLandsOnEarlierSyncSample) {
  mt::TempDir dir;
  std::string path = dir / "seek.mp4";
  Record(path, H264Units(30, 10), 1, false, 30);
  void* r = nullptr;
  ASSERT_EQ(Mp4ReaderOpen(path.c_str(), &r), 0);
  struct Case {
    uint32_t to, reached;
  } cases[] = {{600, 400}, {399, 0}, {400, 400}, {1190, 800}, {5000, 800}, {0, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(Mp4ReaderSeek(c.to, r), static_cast<int>(c.reached)) << c.to;
    uint32_t type, time, key, size;
    ASSERT_EQ(Mp4ReaderPeekSample(&type, &time, &key, &size, r), 0);
    EXPECT_EQ(time, c.reached);
    vector<Sample> rest = ReadAllSamples(r);
    vector<Sample> video = OfType(rest, 1), audio = OfType(rest, 2);
    ASSERT_FALSE(video.empty());
    EXPECT_EQ(video[0].time, c.reached);
    EXPECT_EQ(video[0].key, 1u);
    EXPECT_EQ(video.size(), 30 - c.reached / 40);
    ASSERT_FALSE(audio.empty());
    EXPECT_EQ(audio[0].time, c.reached);
  }
  Mp4ReaderClose(r);
}

TEST(Mp4Reader, TrackFilters) {
  mt::TempDir dir;
  std::string path = dir / "two.mp4";
  Record(path, H264Units(10, 5), 1, true, 10);
  struct Case {
    uint32_t filter;
    vector<uint32_t> types;
  } cases[] = {{0, {1, 1 << 16 | 1, 2}}, {1, {1, 2}}, {2, {1 << 16 | 1, 2}}, {3, {1 << 16 | 1}}};
  for (const Case& c : cases) {
    vector<Sample> out = ReadFileSamples(path, c.filter);
    std::map<uint32_t, int> seen;
    for (const Sample& s : out) seen[s.type]++;
    EXPECT_EQ(seen.size(), c.types.size()) << c.filter;
    for (uint32_t t : c.types) EXPECT_EQ(seen[t], 10) << c.filter << " " << t;
  }
}

TEST(Mp4Reader, ProbeAndOpenErrors) {
  mt::TempDir dir;
  Mp4SetClockForTesting(1700000000);
  std::string path = dir / "p.mp4";
  Record(path, H264Units(10, 5), 1, false, 0);
  Mp4SetClockForTesting(0);
  Mp4StreamInfo info{};
  ASSERT_EQ(Mp4ReaderGetOps()->Probe(path.c_str(), &info), 0);
  EXPECT_EQ(info.startTime, 1700000000u);
  EXPECT_EQ(info.duration, 400u);
  EXPECT_EQ(info.endTime, 1700000000u);
  EXPECT_EQ(info.fileSize, std::filesystem::file_size(path));
  void* r = nullptr;
  EXPECT_EQ(Mp4ReaderOpen((dir / "none.mp4").c_str(), &r), kMp4ErrOpen);
  EXPECT_EQ(Mp4ReaderProbe((dir / "none.mp4").c_str(), &info), kMp4ErrOpen);
  vector<uint8_t> f = tools::ReadFile(path);
  // Without moov (an unclosed recording) and without ftyp.
  mt::Box moov = mt::FindPath(f, "moov");
  mt::WriteAll(dir / "cut.mp4", vector<uint8_t>(f.begin(), f.begin() + static_cast<long>(moov.at)));
  EXPECT_EQ(Mp4ReaderOpen((dir / "cut.mp4").c_str(), &r), kMp4ErrMalformed);
  mt::WriteAll(dir / "noftyp.mp4", vector<uint8_t>(f.begin() + 24, f.end()));
  EXPECT_EQ(Mp4ReaderOpen((dir / "noftyp.mp4").c_str(), &r), kMp4ErrMalformed);
  // A count larger than its box.
  vector<uint8_t> bad = f;
  mt::Box stsz = mt::FindPath(bad, mt::Stbl(0, "stsz"));
  bad[stsz.at + 16] = 0x7F;
  mt::WriteAll(dir / "bad.mp4", bad);
  EXPECT_EQ(Mp4ReaderOpen((dir / "bad.mp4").c_str(), &r), kMp4ErrMalformed);
  // A box larger than the file.
  bad = f;
  bad[moov.at] = 0x7F;
  mt::WriteAll(dir / "bad2.mp4", bad);
  EXPECT_EQ(Mp4ReaderOpen((dir / "bad2.mp4").c_str(), &r), kMp4ErrMalformed);
}

TEST(Mp4Reader, SurvivesCutAndCorruptedFiles) {
  mt::TempDir dir;
  std::string path = dir / "h.mp4";
  Record(path, H264Units(6, 3), 1, true, 6);
  vector<uint8_t> f = tools::ReadFile(path);
  std::mt19937 rng(7);
  std::string t = dir / "t.mp4";
  auto exercise = [&](const vector<uint8_t>& bytes) {
    mt::WriteAll(t, bytes);
    void* r = nullptr;
    if (Mp4ReaderOpen(t.c_str(), &r) != 0) return;
    Mp4ReaderSetTrackFilter(rng() % 4, 0, 0, r);
    Mp4ReaderSeek(rng() % 400, r);
    ReadAllSamples(r);
    Mp4ReaderClose(r);
  };
  for (size_t cut = 0; cut < f.size(); cut += 1 + f.size() / 300) exercise(vector<uint8_t>(f.begin(), f.begin() + static_cast<long>(cut)));
  mt::Box moov = mt::FindPath(f, "moov");
  for (int i = 0; i < 300; ++i) {
    vector<uint8_t> g = f;
    for (int k = 0; k < 4; ++k) g[moov.at + rng() % moov.size] = static_cast<uint8_t>(rng());
    testing::ScopedTrace trace(__FILE__, __LINE__, i);
    // Hostile tables must not make the reader fail its own checks.
    mt::WriteAll(t, g);
    void* r = nullptr;
    if (Mp4ReaderOpen(t.c_str(), &r) != 0) continue;
    vector<uint8_t> buf(1 << 16);
    for (int n = 0; n < 200; ++n) {
      uint32_t type, time, key, size = static_cast<uint32_t>(buf.size());
      int res = Mp4ReaderReadSample(&type, &time, buf.data(), &size, &key, r);
      if (res == kMp4ErrNoSample) break;
    }
    Mp4ReaderClose(r);
  }
}

TEST(Mp4Reader, ReadsFilesOfAnotherWriter) {
  // An MP4 file muxed by ffmpeg from the same stream: one length per NAL unit.
  std::string es = mt::H264Stream(20, 10);
  std::string mp4 = mt::Cached("ffmpeg_copy_20.mp4", "ffmpeg -v error -f h264 -r 25 -i '" + es + "' -c copy -f mp4 {}");
  vector<AccessUnit> units = SplitAnnexB(tools::ReadFile(es), false);
  vector<Sample> out = ReadFileSamples(mp4);
  ASSERT_EQ(out.size(), units.size());
  for (size_t i = 0; i < out.size(); ++i) {
    // Same NAL units (ffmpeg may move the parameter sets into the sample entry).
    vector<AccessUnit> got = SplitAnnexB(out[i].data, false);
    ASSERT_EQ(got.size(), 1u);
    auto tail = [](const vector<uint8_t>& v) {
      // From the first slice on.
      for (size_t k = 0; k + 4 < v.size(); ++k)
        if (v[k] == 0 && v[k + 1] == 0 && v[k + 2] == 0 && v[k + 3] == 1 && ((v[k + 4] & 0x1F) == 5 || (v[k + 4] & 0x1F) == 1))
          return vector<uint8_t>(v.begin() + static_cast<long>(k), v.end());
      return v;
    };
    EXPECT_EQ(tail(out[i].data), tail(units[i].data)) << i;
    EXPECT_EQ(out[i].key, units[i].key ? 1u : 0u) << i;
    EXPECT_EQ(out[i].time, i * 40) << i;
  }
}

// --- Recovery ---

// The file as it is on disk while the recording is open: no moov, mdat size 0.
vector<uint8_t> Unclosed(const vector<uint8_t>& f) {
  mt::Box moov = mt::FindPath(f, "moov");
  vector<uint8_t> u(f.begin(), f.begin() + static_cast<long>(moov.at));
  u[24] = u[25] = u[26] = u[27] = 0;
  return u;
}

std::string Ffmpeg(const std::string& path) {
  return mt::Shell("ffmpeg -v error -i '" + path + "' -f null - 2>&1");
}

int FfprobeFrames(const std::string& path, const char* stream) {
  std::string out = mt::Shell(std::string("ffprobe -v error -select_streams ") + stream +
                              " -count_frames -show_entries stream=nb_read_frames -of csv=p=0 '" + path + "'");
  return out.empty() ? -1 : std::atoi(out.c_str());
}

TEST(Mp4Recover, FileCutAtRandomPointsIsRebuilt) {
  mt::TempDir dir;
  std::string path = dir / "full.mp4";
  vector<AccessUnit> units = H264Units(40, 10);
  Record(path, units, 1, true, 40);
  vector<uint8_t> full = tools::ReadFile(path);
  vector<uint8_t> open = Unclosed(full);
  // Sample ends in mdat, from the complete file's tables.
  struct End { uint64_t end; bool video; };
  vector<End> ends;
  for (int trak = 0; trak < 3; ++trak) {
    vector<uint32_t> sizes = mt::Table(full, mt::Stbl(trak, "stsz"));
    vector<uint32_t> chunks = mt::Table(full, mt::Stbl(trak, "stco"));
    vector<uint32_t> stsc = mt::Table(full, mt::Stbl(trak, "stsc"));
    bool video = mt::FindPath(full, mt::Stbl(trak, "stss")).found;
    size_t s = 0;
    for (size_t c = 0; c < chunks.size(); ++c) {
      uint64_t at = chunks[c];
      for (uint32_t k = 0; k < stsc[3 * c + 1]; ++k, ++s) {
        at += sizes[s];
        ends.push_back({at, video});
      }
    }
  }
  std::mt19937 rng(12345);
  vector<size_t> cuts = {open.size(), 32, 40};
  for (int i = 0; i < 5; ++i) cuts.push_back(32 + rng() % (open.size() - 32));
  for (size_t cut : cuts) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    std::string p = dir / ("cut" + std::to_string(cut) + ".mp4");
    mt::WriteAll(p, vector<uint8_t>(open.begin(), open.begin() + static_cast<long>(cut)));
    Mp4Info info{};
    const int r = Mp4Recover(p.c_str(), 2, 320, &info);
    size_t whole = std::count_if(ends.begin(), ends.end(), [&](const End& e) { return e.end <= cut; });
    size_t wholeVideo = std::count_if(ends.begin(), ends.end(), [&](const End& e) { return e.end <= cut && e.video; });
    if (whole == 0) {
      // Not one whole sample: nothing is rebuilt and the file stays as it was.
      EXPECT_EQ(r, kMp4ErrNoSample);
      EXPECT_TRUE(tools::ReadFile(p) == vector<uint8_t>(open.begin(), open.begin() + static_cast<long>(cut)));
      continue;
    }
    ASSERT_EQ(r, 0);
    vector<Sample> out = ReadFileSamples(p);
    EXPECT_EQ(out.size(), whole);
    EXPECT_EQ(info.size, std::filesystem::file_size(p));
    EXPECT_EQ(Ffmpeg(p), "");
    if (wholeVideo >= 2) {
      EXPECT_EQ(FfprobeFrames(p, "v:0"), static_cast<int>((wholeVideo + 1) / 2));
    }
    // The recovered samples are the recorded ones.
    vector<Sample> ref = ReadFileSamples(path);
    for (uint32_t type : {1u, 2u}) {
      vector<Sample> a = OfType(out, type), b = OfType(ref, type);
      for (size_t k = 0; k < a.size() && k < b.size(); ++k) EXPECT_EQ(a[k].data, b[k].data);
    }
  }
}

TEST(Mp4Recover, VideoTimingFollowsSoundOrStays40ms) {
  mt::TempDir dir;
  vector<AccessUnit> units = H264Units(20, 10);
  struct Case {
    uint32_t audioFrames;
    uint32_t delta;
  } cases[] = {{0, 40}, {40, 80}};
  for (const Case& c : cases) {
    std::string p = dir / ("a" + std::to_string(c.audioFrames) + ".mp4");
    // Audio at 40 ms steps over twice the video's time when there is audio.
    void* h = nullptr;
    ASSERT_EQ(Mp4RecOpen(p.c_str(), nullptr, &h), 0);
    for (uint32_t i = 0; i < 20; ++i)
      Mp4RecWrite(1, i * 40, units[i].data.data(), static_cast<uint32_t>(units[i].data.size()), units[i].key, h);
    for (uint32_t k = 0; k < c.audioFrames; ++k) {
      vector<uint8_t> a = AlawFrame(k);
      Mp4RecWrite(2, 800 + k * 40, a.data(), 320, 0, h);
    }
    ASSERT_EQ(Mp4RecClose(nullptr, h), 0);
    mt::WriteAll(p, Unclosed(tools::ReadFile(p)));
    Mp4Info info{};
    ASSERT_EQ(Mp4Recover(p.c_str(), 2, 320, &info), 0);
    vector<uint8_t> f = tools::ReadFile(p);
    EXPECT_EQ(mt::Table(f, mt::Stbl(0, "stts")), (vector<uint32_t>{20, c.delta})) << c.audioFrames;
    EXPECT_EQ(info.duration, 20 * c.delta);
    EXPECT_EQ(Ffmpeg(p), "");
  }
}

TEST(Mp4Recover, HevcAndSecondChannel) {
  mt::TempDir dir;
  vector<AccessUnit> units = SplitAnnexB(tools::ReadFile(mt::HevcStream(12, 6)), true);
  ASSERT_EQ(units.size(), 12u);
  std::string p = dir / "hevc.mp4";
  vector<Sample> in = Record(p, units, 13, true, 12);
  mt::WriteAll(p, Unclosed(tools::ReadFile(p)));
  ASSERT_EQ(Mp4Recover(p.c_str(), 2, 320, nullptr), 0);
  vector<Sample> out = ReadFileSamples(p);
  // Recovery marks as key only samples that begin with their parameter sets.
  vector<Sample> a = OfType(out, 13), b = OfType(in, 13);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].data, b[i].data) << i;
    EXPECT_EQ(a[i].time, b[i].time) << i;
  }
  EXPECT_EQ(a[0].key, 1u);
  EXPECT_EQ(OfType(out, 1 << 16 | 13).size(), 12u);
  EXPECT_EQ(OfType(out, 2).size(), 12u);
  EXPECT_EQ(Ffmpeg(p), "");
  EXPECT_EQ(FfprobeFrames(p, "v:0"), 12);
}

TEST(Mp4Recover, LeavesCompleteAndForeignFilesAlone) {
  mt::TempDir dir;
  std::string p = dir / "done.mp4";
  Record(p, H264Units(6, 3), 1, false, 6);
  vector<uint8_t> before = tools::ReadFile(p);
  EXPECT_EQ(Mp4Recover(p.c_str(), 2, 320, nullptr), 0);
  EXPECT_EQ(tools::ReadFile(p), before);
  vector<uint8_t> noMdat(before.begin(), before.begin() + 24);
  mt::WriteAll(p, noMdat);
  EXPECT_EQ(Mp4Recover(p.c_str(), 2, 320, nullptr), kMp4ErrMalformed);
  EXPECT_EQ(tools::ReadFile(p), noMdat);
  vector<uint8_t> junk(100, 0x42);
  mt::WriteAll(p, junk);
  EXPECT_EQ(Mp4Recover(p.c_str(), 2, 320, nullptr), kMp4ErrMalformed);
  EXPECT_EQ(tools::ReadFile(p), junk);
  EXPECT_EQ(Mp4Recover((dir / "none.mp4").c_str(), 2, 320, nullptr), kMp4ErrOpen);
}

}  // namespace
