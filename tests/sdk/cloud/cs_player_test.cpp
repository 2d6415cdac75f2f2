// The cloud player against segment files in a cache folder, a scripted segment source and a recording sink.
#include "sdk/cloudplay/cs_player.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/cloudplay/cloud_segment.h"
#include "sdk/cloud/orvel_server.h"
#include "util/crypto.h"
#include "tests/common/temp_dir.h"
#include "tools/cssegs/cssegs_lib.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kT0 = 1714996800;  // 2024-05-06 12:00:00 UTC
const char kUuid[] = "CAM01";
const char kKey[] = "deskey01";

// A sink that records every call; two threads may call it at once.
class FakeSink {
 public:
  struct Frame {
    uint32_t type, ts;
    int32_t len, flags;
    uint8_t first;
    Clock::time_point at;
    size_t events_before;  // events recorded before this frame
  };
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Frame> frames;
  std::vector<std::pair<int32_t, int32_t>> events;
  int releases = 0;
  bool muted = false, recording = false;
  int stop_records = 0;
  int bad_calls = 0;  // calls with another sink than this one

  IAvRender* AsSink() { return reinterpret_cast<IAvRender*>(this); }
  static FakeSink* From(IAvRender* s) { return reinterpret_cast<FakeSink*>(s); }

  // Waits until pred holds (under the lock) or 10 s pass.
  bool WaitFor(const std::function<bool()>& pred) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(10), pred);
  }
  std::vector<int32_t> Positions() {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<int32_t> out;
    for (auto& e : events)
      if (e.first == int32_t{kAvEventPlaybackRestart}) out.push_back(e.second);
    return out;
  }
  size_t VideoFrames() {
    std::lock_guard<std::mutex> lock(mu);
    size_t n = 0;
    for (auto& f : frames) n += (f.type & 0xFFFF) == 1;
    return n;
  }
};

FakeSink* g_expected = nullptr;
FakeSink* Check(IAvRender* s) {
  FakeSink* f = FakeSink::From(s);
  if (f != g_expected) {
    std::lock_guard<std::mutex> lock(g_expected->mu);
    g_expected->bad_calls++;
  }
  return g_expected;
}

const AvRenderOps kOps = {
    [](IAvRender* s) {
      FakeSink* f = Check(s);
      std::lock_guard<std::mutex> l(f->mu);
      f->releases++;
      f->cv.notify_all();
    },
    [](int32_t ev, int32_t v, IAvRender* s) {
      FakeSink* f = Check(s);
      std::lock_guard<std::mutex> l(f->mu);
      f->events.emplace_back(ev, v);
      f->cv.notify_all();
    },
    [](AvStreamType t, uint32_t ts, const void* d, int32_t len, int32_t p, IAvRender* s) -> int32_t {
      FakeSink* f = Check(s);
      std::lock_guard<std::mutex> l(f->mu);
      f->frames.push_back({t, ts, len, p, len > 0 ? *static_cast<const uint8_t*>(d) : uint8_t(0), Clock::now(),
                           f->events.size()});
      f->cv.notify_all();
      return 0;
    },
    [](AvStreamType, IAvRender* s) { Check(s); },
    [](IAvRender* s) {
      FakeSink* f = Check(s);
      std::lock_guard<std::mutex> l(f->mu);
      f->muted = true;
    },
    [](IAvRender* s) {
      FakeSink* f = Check(s);
      std::lock_guard<std::mutex> l(f->mu);
      f->muted = false;
    },
    [](IAvRender* s) {
      FakeSink* f = Check(s);
      std::lock_guard<std::mutex> l(f->mu);
      return f->muted;
    },
    [](const char*, IAvRender* s) {
      Check(s);
      return true;
    },
    [](int32_t, int32_t, IAvRender* s) { Check(s); },
    [](const char*, IAvRender* s) -> int32_t {
      FakeSink* f = Check(s);
      std::lock_guard<std::mutex> l(f->mu);
      f->recording = true;
      return 0;
    },
    [](IAvRender* s) {
      FakeSink* f = Check(s);
      std::lock_guard<std::mutex> l(f->mu);
      f->recording = false;
      f->stop_records++;
    },
    [](IAvRender* s) {
      FakeSink* f = Check(s);
      std::lock_guard<std::mutex> l(f->mu);
      return f->recording;
    },
};

// Segments come from the cache folder; a script may give other results per segment time.
class FakeSource : public CsSegmentSource {
 public:
  FakeSource() : cacher_(kUuid, kKey) {}
  CCsCacher* Cacher() override { return &cacher_; }
  int DownloadSegmentAt(uint32_t, int64_t t, std::string* local_path) override {
    std::lock_guard<std::mutex> lock(mu_);
    calls_[t]++;
    auto it = script_.find(t);
    if (it != script_.end()) return it->second;
    std::string key, path;
    cacher_.KeyForTime(t, &key);
    cacher_.LocalPath(key, &path);
    if (local_path) *local_path = path;
    return cacher_.CheckLocal(path) == 0 ? 0 : kCsMissing;
  }
  void Script(int64_t t, int result) {
    std::lock_guard<std::mutex> lock(mu_);
    script_[t] = result;
  }
  int Calls(int64_t t) {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_[t];
  }

 private:
  COssCacher cacher_;
  std::mutex mu_;
  std::map<int64_t, int> script_;
  std::map<int64_t, int> calls_;
};

std::vector<AccessUnit> Units(size_t n, size_t gop) {
  std::vector<AccessUnit> units(n);
  for (size_t i = 0; i < n; ++i) {
    units[i].key = i % gop == 0;
    units[i].data.assign(100 + i, static_cast<uint8_t>(i));
  }
  return units;
}

class PlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    SetCacheRoot(dir_.path().c_str());
    g_expected = &sink_;
  }
  void TearDown() override { g_expected = nullptr; }

  // Segments of 10 frames per second from kT0; skip lists segment indexes left out.
  void WriteSegments(int count, std::vector<int> skip = {}) {
    CsSegOptions o;
    o.out_dir = dir_.path();
    o.uuid = kUuid;
    o.des_key = kKey;
    o.start = kT0;
    o.segments = count;
    o.fps = 10;
    o.skip = std::move(skip);
    CsSegResult r;
    ASSERT_TRUE(CsSegWriteUnits(Units(20, 10), o, &r)) << r.error;
  }
  std::string SegmentPath(int64_t t) {
    std::string key, path;
    COssCacher c(kUuid, kKey);
    c.KeyForTime(t, &key);
    c.LocalPath(key, &path);
    return path;
  }
  void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  // Waits for the first position event, then for the player to fall idle at the end of the recording.
  bool PlayToEnd(CCsPlayerFw& p) {
    return sink_.WaitFor([&] { return !sink_.events.empty(); }) && WaitState(p, kCsIdle);
  }
  bool WaitState(CCsPlayerFw& p, int32_t state) {
    for (int i = 0; i < 1000; ++i) {
      if (p.PlayerState() == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  TempDir dir_{"velmora_player"};
  FakeSink sink_;
  FakeSource source_;
  std::vector<PlaybackSegment> list_;
};

PlaybackSegment Seg(int64_t start, int32_t duration, uint32_t ossid = 3) {
  PlaybackSegment s;
  s.start = start;
  s.duration = duration;
  s.ossid = ossid;
  return s;
}

TEST_F(PlayerTest, PlaylistFromAChosenTime) {
  CCsPlayerFw p(&source_);
  struct Case {
    std::vector<PlaybackSegment> list;
    int64_t t;
    int result;
    size_t items;
    int64_t first, last;
  } cases[] = {
      {{Seg(kT0, 60)}, kT0 + 12, 1, 10, kT0 + 10, kT0 + 55},        // 12 s in: the item of 10 s
      {{Seg(kT0, 60)}, kT0 - 3, 1, 12, kT0, kT0 + 55},              // before: the segment's start
      {{Seg(kT0, 20), Seg(kT0 + 24, 10)}, kT0, 1, 6, kT0, kT0 + 29},  // a 4 s gap is bridged
      {{Seg(kT0, 20), Seg(kT0 + 26, 10)}, kT0, 1, 4, kT0, kT0 + 15},  // a 6 s gap ends the list
      {{Seg(kT0, 7200)}, kT0, 2, 720, kT0, kT0 + 3595},             // two hours: one hour of items
      {{Seg(kT0, 60)}, kT0 + 60, 0, 0, 0, 0},                       // at the end
      {{}, kT0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    list_ = c.list;
    p.SetRecordList(&list_);
    EXPECT_EQ(p.BuildPlaylist(c.t), c.result) << c.t - kT0;
    auto times = p.PlaylistTimes();
    ASSERT_EQ(times.size(), c.items) << c.t - kT0;
    if (!times.empty()) {
      EXPECT_EQ(times.front(), c.first);
      EXPECT_EQ(times.back(), c.last);
    }
  }
}

TEST_F(PlayerTest, PlaysFromAChosenTimeSkippingAMissingSegmentUnpaced) {
  WriteSegments(12, {3});
  list_ = {Seg(kT0, 60)};
  {
    CCsPlayerFw p(&source_);
    p.SetRecordList(&list_);
    ASSERT_TRUE(p.Start(&kOps, sink_.AsSink()));
    EXPECT_EQ(p.SetSpeed(3), 0);
    {
      std::lock_guard<std::mutex> l(sink_.mu);
      EXPECT_TRUE(sink_.muted);  // muted at a speed step other than 0
    }
    p.Locate(kT0 + 7);
    // The end of the playlist re-locates past the recording: idle.
    ASSERT_TRUE(sink_.WaitFor([&] { return sink_.frames.size() > 0; }));
    ASSERT_TRUE(WaitState(p, kCsIdle));
    auto pos = sink_.Positions();
    ASSERT_FALSE(pos.empty());
    EXPECT_EQ(pos.front(), kT0 + 5);
    EXPECT_EQ(pos.back(), kT0 + 59);
    for (size_t i = 1; i < pos.size(); ++i) {
      EXPECT_GT(pos[i], pos[i - 1]);
      EXPECT_FALSE(pos[i] >= kT0 + 15 && pos[i] < kT0 + 20) << pos[i] - kT0;
    }
    EXPECT_EQ(sink_.VideoFrames(), 10u * 50u);  // items 1..11 without item 3
    {
      std::lock_guard<std::mutex> l(sink_.mu);
      EXPECT_EQ(sink_.frames.front().flags, 1);  // starts at a key frame
      EXPECT_EQ(sink_.frames.front().type, 1u);
      size_t audio = 0;
      for (auto& f : sink_.frames) audio += f.type == 2u;
      EXPECT_GT(audio, 10u * 120u);
    }
    // The re-locate past the end rebuilds an empty playlist.
    bool emptied = false;
    for (int i = 0; i < 500 && !emptied; ++i) {
      emptied = p.PlaylistStates().empty();
      if (!emptied) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(emptied);
    p.Stop();
    EXPECT_EQ(p.GetState(), 0);
  }
  std::lock_guard<std::mutex> l(sink_.mu);
  EXPECT_EQ(sink_.releases, 1);
  EXPECT_EQ(sink_.bad_calls, 0);
}

TEST_F(PlayerTest, SeekAndSpeedStepsWhilePlaying) {
  WriteSegments(12);
  list_ = {Seg(kT0, 60)};
  CCsPlayerFw p(&source_);
  p.SetRecordList(&list_);
  p.Start(&kOps, sink_.AsSink());
  p.Locate(kT0);
  // Step 1 plays twice as fast: 20 frames of 100 ms in about one second.
  p.SetSpeed(1);
  ASSERT_TRUE(sink_.WaitFor([&] { return sink_.frames.size() > 0; }));
  ASSERT_TRUE(sink_.WaitFor([&] {
    size_t n = 0;
    for (auto& f : sink_.frames) n += f.type == 1u;
    return n >= 21;
  }));
  {
    std::lock_guard<std::mutex> l(sink_.mu);
    std::vector<Clock::time_point> video;
    for (auto& f : sink_.frames)
      if (f.type == 1u) video.push_back(f.at);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(video[20] - video[0]).count();
    EXPECT_GE(ms, 900);   // 2000 ms of video at double speed
    EXPECT_LT(ms, 1900);  // and faster than real time
  }
  EXPECT_EQ(p.GetSpeed(), 1);
  // Pause takes effect while playing (not while buffering between items).
  for (int i = 0; i < 500 && p.PlayerState() != kCsPaused; ++i) {
    p.Pause();
    if (p.PlayerState() != kCsPaused) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(p.PlayerState(), kCsPaused);
  size_t frozen = sink_.VideoFrames();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_LE(sink_.VideoFrames(), frozen + 1);  // at most the frame on its way
  p.Resume();
  EXPECT_EQ(p.PlayerState(), kCsPlaying);
  // A seek: positions jump to the new time and video resumes at a key frame.
  size_t mark = 0;
  {
    std::lock_guard<std::mutex> l(sink_.mu);
    mark = sink_.events.size();
  }
  p.SetSpeed(3);
  p.Locate(kT0 + 42);
  ASSERT_TRUE(sink_.WaitFor([&] {
    for (size_t i = mark; i < sink_.events.size(); ++i)
      if (sink_.events[i] == std::make_pair(int32_t{kAvEventPlaybackRestart}, int32_t(kT0 + 40))) return true;
    return false;
  }));
  ASSERT_TRUE(WaitState(p, kCsIdle));
  {
    std::lock_guard<std::mutex> l(sink_.mu);
    // The first frame after the jump's position event is a video key frame.
    size_t jump = mark;
    while (jump < sink_.events.size() &&
           sink_.events[jump] != std::make_pair(int32_t{kAvEventPlaybackRestart}, int32_t(kT0 + 40)))
      ++jump;
    bool found = false;
    for (auto& f : sink_.frames) {
      if (f.events_before > jump) {
        EXPECT_EQ(f.type, 1u);
        EXPECT_EQ(f.flags, 1);
        found = true;
        break;
      }
    }
    EXPECT_TRUE(found);
  }
  p.SetSpeed(0);
  {
    std::lock_guard<std::mutex> l(sink_.mu);
    EXPECT_FALSE(sink_.muted);
  }
  p.Stop();
  EXPECT_EQ(p.SetSpeed(1), -1);
  EXPECT_EQ(p.GetSpeed(), 0);
}

TEST_F(PlayerTest, StuckDownloadIsRetriedOnceThenSkipped) {
  WriteSegments(4);
  list_ = {Seg(kT0, 20)};
  source_.Script(kT0 + 5, 500);  // a failure that is neither missing nor a storage error
  CCsPlayerFw p(&source_);
  p.SetRecordList(&list_);
  p.Start(&kOps, sink_.AsSink());
  p.SetSpeed(3);
  p.Locate(kT0);
  ASSERT_TRUE(PlayToEnd(p));
  EXPECT_EQ(source_.Calls(kT0 + 5), 2);
  auto pos = sink_.Positions();
  ASSERT_FALSE(pos.empty());
  EXPECT_EQ(pos.back(), kT0 + 19);
  for (int32_t s : pos) EXPECT_FALSE(s >= kT0 + 5 && s < kT0 + 10);
}

// Two hours without a single stored segment: the player skips every missing item past the first prefetch
// batch, reaches the end of the one-hour playlist and re-locates one hour on.
TEST_F(PlayerTest, RunsOfMissingSegmentsNeverStall) {
  list_ = {Seg(kT0, 7200)};
  CCsPlayerFw p(&source_);
  p.SetRecordList(&list_);
  p.Start(&kOps, sink_.AsSink());
  p.Locate(kT0);
  bool relocated = false;
  for (int i = 0; i < 1000 && !relocated; ++i) {
    auto times = p.PlaylistTimes();
    relocated = !times.empty() && times.front() == kT0 + 3600;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(relocated);
  EXPECT_EQ(source_.Calls(kT0 + 3595), 1);
  p.Stop();
}

TEST_F(PlayerTest, StorageErrorReachesTheSink) {
  WriteSegments(2);
  list_ = {Seg(kT0, 10)};
  source_.Script(kT0, kCsCredentials);
  CCsPlayerFw p(&source_);
  p.SetRecordList(&list_);
  p.Start(&kOps, sink_.AsSink());
  p.Locate(kT0);
  ASSERT_TRUE(sink_.WaitFor([&] {
    for (auto& e : sink_.events)
      if (e == std::make_pair(int32_t{kAvEventCloudProblem}, int32_t(kCsCredentials))) return true;
    return false;
  }));
  EXPECT_EQ(p.PlayerState(), kCsBuffering);
  EXPECT_EQ(p.IsItemReady(0), 0);
  p.Stop();
}

// Hand-made segments: large frames, bad padding, a key-frame wait, a sync frame ahead of the position and a
// file cut short.
TEST_F(PlayerTest, HostileAndOddFramesInASegment) {
  WriteSegments(2);
  std::vector<uint8_t> seg;
  auto add = [&](uint16_t type, uint16_t flags, uint32_t ts, size_t n, uint8_t fill) {
    std::vector<uint8_t> d(n, fill);
    ASSERT_TRUE(CloudFrameAppend(type, flags, ts, d.data(), d.size(), kKey, &seg));
  };
  uint32_t sync_time = static_cast<uint32_t>(kT0 + 3);  // 3 s ahead of the item's time
  uint8_t sync[4] = {uint8_t(sync_time), uint8_t(sync_time >> 8), uint8_t(sync_time >> 16),
                     uint8_t(sync_time >> 24)};
  ASSERT_TRUE(CloudFrameAppend(0, 0, 1000, sync, 4, kKey, &seg));
  add(2, 7, 1000, 320, 0xA1);      // audio with non-zero flags: does not end the key-frame wait
  add(1, 0, 1000, 50, 0xB1);       // a video frame that is not a key frame: dropped
  add(1, 1, 1040, 400000, 0xC1);   // a key frame larger than the initial buffers
  add(1, 0, 1080, 300000, 0xC2);
  // A frame whose padding count is 0: dropped.
  {
    std::vector<uint8_t> plain(16, 0xD1);
    plain[15] = 0;
    uint8_t h[16] = {0, 1, 0, 0, 0, 0, 0, 16, 0, 0, 0x04, 0x56, 0, 0, 0, 0};
    std::vector<uint8_t> enc(16);
    CryptoDesEncrypt(plain.data(), 16, kKey, enc.data());
    seg.insert(seg.end(), h, h + 16);
    seg.insert(seg.end(), enc.begin(), enc.end());
  }
  add(0, 0, 1200, 2, 0);           // a sync frame too short to carry a time: position from the timestamp
  add(1, 0, 1200, 60, 0xE1);
  size_t full = seg.size();
  add(1, 0, 1240, 5000, 0xF1);
  seg.resize(full + 16 + 100);     // the last frame is cut short
  WriteFile(SegmentPath(kT0), seg);

  list_ = {Seg(kT0, 10)};
  CCsPlayerFw p(&source_);
  p.SetRecordList(&list_);
  p.Start(&kOps, sink_.AsSink());
  p.SetSpeed(3);
  p.Locate(kT0);
  ASSERT_TRUE(PlayToEnd(p));
  p.Stop();
  std::lock_guard<std::mutex> l(sink_.mu);
  ASSERT_GE(sink_.frames.size(), 3u);
  EXPECT_EQ(sink_.frames[0].type, 1u);
  EXPECT_EQ(sink_.frames[0].len, 400000);
  EXPECT_EQ(sink_.frames[0].first, 0xC1);
  EXPECT_EQ(sink_.frames[1].len, 300000);
  EXPECT_EQ(sink_.frames[2].first, 0xE1);  // the badly padded frame is gone
  for (auto& f : sink_.frames) {
    EXPECT_NE(f.first, 0xA1);
    EXPECT_NE(f.first, 0xB1);
    EXPECT_NE(f.first, 0xD1);
    EXPECT_NE(f.first, 0xF1);
  }
  ASSERT_FALSE(sink_.events.empty());
  EXPECT_EQ(sink_.events.front(), std::make_pair(int32_t{kAvEventPlaybackRestart}, int32_t(kT0 + 3)));
  EXPECT_EQ(sink_.bad_calls, 0);
}

TEST_F(PlayerTest, StartTwiceReleasesTheSecondSinkAndHelpersForward) {
  CCsPlayerFw p(&source_);
  EXPECT_EQ(p.Pause(), -1);
  EXPECT_EQ(p.Resume(), -1);
  EXPECT_EQ(p.GetState(), 0);
  p.Start(&kOps, sink_.AsSink());
  p.Start(&kOps, sink_.AsSink());
  {
    std::lock_guard<std::mutex> l(sink_.mu);
    EXPECT_EQ(sink_.releases, 1);
  }
  EXPECT_EQ(p.StartRecord("/x.mp4"), 1);
  EXPECT_EQ(p.GetState(), 3 | 4);
  p.Mute();
  EXPECT_EQ(p.GetState(), 1 | 4);
  p.StopRecord();
  EXPECT_TRUE(p.Snapshot("/x.jpg"));
  p.Stop();
  {
    std::lock_guard<std::mutex> l(sink_.mu);
    EXPECT_EQ(sink_.releases, 2);
  }
  // StartSink takes the process-wide table.
  AvRenderOpsInstall(&kOps);
  p.StartSink(sink_.AsSink());
  EXPECT_EQ(p.GetState(), 1);  // still muted, not recording
  p.Stop();
  AvRenderOpsInstall(nullptr);
  std::lock_guard<std::mutex> l(sink_.mu);
  EXPECT_EQ(sink_.releases, 3);
  EXPECT_EQ(sink_.bad_calls, 0);
}

}  // namespace
