// CP2pClient against camsim through rdvsim, run by p2p_client_e2e.sh inside a network namespace. The camera
// is named by VLM_INIT, VLM_DID and VLM_PW; it streams H.264 on lens 0, HEVC on lens 1 and A-law sound, and
// keeps 24 SD-card recordings of 600 s a day (TZ=UTC).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "sdk/device/p2p_client.h"
#include "sdk/device/rvs_transport.h"
#include "tests/sdk/device/fake_sink.h"

namespace {

constexpr AvStreamType kCh0H264 = 0 << 16 | MEDIA_CODEC_H264;
constexpr AvStreamType kCh1Hevc = 1 << 16 | MEDIA_CODEC_HEVC;
constexpr AvStreamType kAlaw = MEDIA_CODEC_G711A;
constexpr int64_t kDay = 1796860800;  // 2026-12-10 00:00 UTC

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

bool WaitFor(const std::function<bool()>& done, int ms = 15000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

size_t IndexOf(const std::vector<std::string>& v, const std::string& s) {
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i] == s) return i;
  return v.size();
}

class P2pClientE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Env("VLM_DID").empty()) << "run through p2p_client_e2e.sh";
    ASSERT_EQ(client.Connect("rvs:", Env("VLM_DID").c_str(), 0), 0);
    ASSERT_EQ(client.VerifyPassword(Env("VLM_PW").c_str()), 0);
  }
  void TearDown() override {
    client.Close();
    EXPECT_TRUE(sink.Faults().empty()) << ::testing::PrintToString(sink.Faults());
  }
  CP2pClient client;
  FakeSink sink;
};

TEST_F(P2pClientE2e, LiveTwoLensesAndSoundWithEventsInOrder) {
  DeviceFeatures f{};
  ASSERT_EQ(client.GetFeatures(&f), 0);
  ASSERT_EQ(f.channel_count, 2u);
  const AvRenderOps* ops = FakeSink::Ops();

  // A lens the camera does not have: refused, and the sink passed with it goes back.
  FakeSink extra;
  EXPECT_EQ(client.StartLiveVideo(2, ops, &extra), KIVO_ERR_INVALID_PARAM);
  EXPECT_EQ(client.StartLiveVideo(4, ops, &extra), KIVO_ERR_INVALID_PARAM);
  EXPECT_EQ(extra.Releases(), 2);

  ASSERT_EQ(client.StartLiveVideo(0, ops, &sink), 0);
  ASSERT_EQ(client.StartLiveVideo(1, nullptr, nullptr), 0);
  ASSERT_EQ(client.StartAudio(ops, &sink), 0);
  EXPECT_EQ(client.StartAudio(ops, &sink), 0);  // already running
  ASSERT_TRUE(WaitFor([&] {
    return sink.Frames(kCh0H264) >= 30 && sink.Frames(kCh1Hevc) >= 30 && sink.Frames(kAlaw) >= 20;
  })) << sink.Frames(kCh0H264)
      << " " << sink.Frames(kCh1Hevc) << " " << sink.Frames(kAlaw);
  EXPECT_EQ(client.GetState(),
            kP2pStateLiveVideo | kP2pStateMultiChannel | kP2pStateLiveAudio | kP2pStateSound);

  {
    std::lock_guard<std::mutex> lk(sink.mu);
    // First picture of lens 0 (value: the client), of lens 1 (value 1), each before that lens's first frame.
    const size_t first0 = IndexOf(sink.order, "event:2"), first1 = IndexOf(sink.order, "event:1");
    ASSERT_LT(first0, sink.order.size());
    ASSERT_LT(first1, sink.order.size());
    EXPECT_LT(first0, IndexOf(sink.order, "frame:" + std::to_string(kCh0H264)));
    EXPECT_LT(first1, IndexOf(sink.order, "frame:" + std::to_string(kCh1Hevc)));
    int firsts = 0;
    for (const auto& e : sink.events) {
      if (e.event == 1) {
        EXPECT_EQ(e.value, 1);
      }
      if (e.event == 1 || e.event == 2) firsts++;
      EXPECT_GE(e.event, 0) << "a receive error while streaming";
    }
    EXPECT_EQ(firsts, 2);
    // Timestamps are on the local tick clock: near now.
    const uint32_t now = P2pLocalTick();
    EXPECT_LT(static_cast<int32_t>(now - sink.last_ts[kCh0H264]), 3000);
    EXPECT_GT(sink.max_in_call, 0);
  }

  // Recording: the mark is set by the first frame delivered while the sink records.
  EXPECT_EQ(client.RecordMarkTime(), 0);
  EXPECT_EQ(client.StartRecord("/tmp/rec.mp4"), 1);
  EXPECT_TRUE(WaitFor([&] { return client.RecordMarkTime() != 0; }));
  EXPECT_NE(client.RecordMarkTimestamp(), 0u);
  EXPECT_NE(client.GetState() & kP2pStateRecording, 0);
  EXPECT_TRUE(client.StopRecord());
  EXPECT_TRUE(client.Snapshot("/tmp/snap.jpg"));

  // Mute and unmute reach the audio sink; GetState follows.
  EXPECT_TRUE(client.MuteAudio());
  EXPECT_TRUE(client.IsMuted());
  EXPECT_EQ(client.GetState() & kP2pStateSound, 0);
  EXPECT_TRUE(client.UnmuteAudio());
  EXPECT_FALSE(client.IsMuted());

  // Stopping the last lens while sound runs keeps the sink; stopping sound then releases it.
  client.StopAllVideo();
  EXPECT_EQ(sink.Releases(), 0);
  EXPECT_EQ(client.GetState() & kP2pStateLiveVideo, 0);
  client.StopAudio();
  EXPECT_EQ(sink.Releases(), 1);
  {
    std::lock_guard<std::mutex> lk(sink.mu);
    EXPECT_EQ(sink.stops, (std::vector<AvStreamType>{kCh0H264, kCh1Hevc, kAlaw}));
  }
  EXPECT_EQ(client.GetState(), 0);
}

TEST_F(P2pClientE2e, PipChannelsAndSwap) {
  const AvRenderOps* ops = FakeSink::Ops();
  EXPECT_FALSE(client.SwapChannels(0, 1));  // nothing runs
  ASSERT_EQ(client.StartLiveVideo(0, ops, &sink), 0);
  ASSERT_EQ(client.StartPipChannels(), 0);
  ASSERT_TRUE(WaitFor([&] { return sink.Frames(kCh1Hevc) >= 5; }));
  EXPECT_EQ(client.GetState() & 0x21, 0x21);
  const int main_before = client.MainChannel();
  EXPECT_TRUE(client.SwapChannels(0, 1));
  EXPECT_EQ(client.MainChannel(), main_before ^ 1);
  EXPECT_EQ(client.SetChannelQuality(5, 1), KIVO_ERR_INVALID_PARAM);
  EXPECT_GE(client.SetVideoQuality(0), 0);
  EXPECT_EQ(client.StopPipChannels(), 0);
  EXPECT_EQ(client.GetState() & 0x21, kP2pStateLiveVideo);
  // Stopping the last lens by itself while its frames flow: unsubscribed before its record goes.
  const int before = sink.Frames(kCh0H264);
  ASSERT_TRUE(WaitFor([&] { return sink.Frames(kCh0H264) > before + 3; }));
  client.StopLiveVideo(0);
  EXPECT_EQ(sink.Releases(), 1);
  EXPECT_EQ(client.GetState(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::lock_guard<std::mutex> lk(sink.mu);
  EXPECT_EQ(sink.swaps, 1);
}

TEST_F(P2pClientE2e, SdCardListPlaybackSeekAndSpeed) {
  std::vector<PlaybackSegment> list;
  ASSERT_EQ(client.GetRecordList(kDay, 86400, &list), 0);
  ASSERT_EQ(list.size(), 24u);
  EXPECT_EQ(list[5].start, kDay + 5 * 3600);
  EXPECT_EQ(list[5].duration, 600);
  EXPECT_EQ(list[5].kind, 2);

  const AvRenderOps* ops = FakeSink::Ops();
  ASSERT_EQ(client.StartPlayback(ops, &sink), 0);
  FakeSink extra;
  EXPECT_EQ(client.StartPlayback(ops, &extra), 0);  // already running: the extra sink goes back
  EXPECT_EQ(extra.Releases(), 1);
  EXPECT_EQ(client.GetState() & kP2pStatePlayback, kP2pStatePlayback);
  const int64_t at = kDay + 5 * 3600 + 1;
  ASSERT_GE(client.PlaybackSeek(at), 0);
  // Playback positions: the seek time plus whole seconds played.
  ASSERT_TRUE(WaitFor([&] { return sink.HasEvent(kAvEventPlaybackPosition); }));
  {
    std::lock_guard<std::mutex> lk(sink.mu);
    for (const auto& e : sink.events)
      if (e.event == kAvEventPlaybackPosition) {
        EXPECT_EQ(e.value, at + 1);
      }
    EXPECT_LT(IndexOf(sink.order, "event:2"), IndexOf(sink.order, "event:9"));
  }
  EXPECT_GT(sink.Frames(kCh0H264), 0);
  ASSERT_TRUE(WaitFor([&] { return sink.Frames(kAlaw) > 0; }));

  // Speed: step 1 once (the second is refused), sound muted while fast, unmuted at normal speed.
  EXPECT_GE(client.SetPlaybackSpeed(1), 0);
  EXPECT_EQ(client.SetPlaybackSpeed(1), -1);
  EXPECT_EQ(client.GetPlaybackSpeed(), 1);
  EXPECT_TRUE(client.IsMuted());
  EXPECT_GE(client.SetPlaybackSpeed(0), 0);
  EXPECT_FALSE(client.IsMuted());

  // A seek to another recording moves the positions there.
  const int64_t later = kDay + 9 * 3600 + 100;
  ASSERT_GE(client.PlaybackSeek(later), 0);
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lk(sink.mu);
    for (const auto& e : sink.events)
      if (e.event == kAvEventPlaybackPosition && e.value > later) return true;
    return false;
  }));

  client.StopPlayback();
  EXPECT_EQ(sink.Releases(), 1);
  EXPECT_EQ(client.GetState(), 0);
}

TEST_F(P2pClientE2e, LiveAndPlaybackShareTheSink) {
  const AvRenderOps* ops = FakeSink::Ops();
  ASSERT_EQ(client.StartLiveVideo(0, ops, &sink), 0);
  ASSERT_EQ(client.StartPlayback(ops, &sink), 0);
  ASSERT_TRUE(WaitFor([&] { return sink.Frames(kCh0H264) > 5; }));
  // The last live stream stops while playback still holds the sink: it stays.
  client.StopAllVideo();
  EXPECT_EQ(sink.Releases(), 0);
  ASSERT_GE(client.PlaybackSeek(kDay + 3600 + 10), 0);
  ASSERT_TRUE(WaitFor([&] { return sink.HasEvent(kAvEventPlaybackPosition); }));
  client.StopPlayback();
  EXPECT_EQ(sink.Releases(), 1);
}

TEST_F(P2pClientE2e, TalkbackPanTiltLensAndNotices) {
  ASSERT_GE(client.StartTalk(), 0);
  std::vector<uint8_t> block(320, 0xD5);
  for (int i = 0; i < 25; ++i) {
    block[0] = static_cast<uint8_t>(i);
    EXPECT_GE(client.SendTalkData(MEDIA_CODEC_G711A, block.data(), static_cast<int>(block.size())), 0);
  }
  EXPECT_EQ(client.SendTalkData(MEDIA_CODEC_AAC, block.data(), 10), -1);
  EXPECT_GE(client.StopTalk(), 0);

  EXPECT_GE(client.PtzControl(3), 0);  // camsim logs the direction
  const uint8_t lens[12] = {7, 0, 0, 0, 8, 0, 0, 0, 9, 0, 0, 0};
  EXPECT_GE(client.SetLensParam(lens), 0);
  uint8_t got[12] = {};
  EXPECT_EQ(client.GetLensParam(got), 0);
  EXPECT_TRUE(client.LensAnswered());
  EXPECT_EQ(std::memcmp(got, lens, 12), 0);
  EXPECT_GE(client.NotifyLiveView(), 0);
  EXPECT_GE(client.NotifySdPlayback(), 0);
  EXPECT_GE(client.SendCommand(CMD_POST_CONNECT, "\0\0\0\0\0\0\0\0", 8, nullptr, 0, 3000), 0);
  EXPECT_GE(client.RestartStreams(), 0);

  // Without a session.
  client.Close();
  EXPECT_EQ(client.PtzControl(1), -1);
  EXPECT_EQ(client.RestartStreams(), -1);
  EXPECT_EQ(client.SetPlaybackSpeed(2), -1);
  EXPECT_EQ(client.NotifyLiveView(), KIVO_ERR_NO_SESSION);
  EXPECT_EQ(client.Close(), 0);
}

TEST_F(P2pClientE2e, CloseAndDestroyWhileStreaming) {
  const AvRenderOps* ops = FakeSink::Ops();
  ASSERT_EQ(client.StartLiveVideo(0, ops, &sink), 0);
  ASSERT_EQ(client.StartLiveVideo(1, ops, &sink), 0);
  ASSERT_EQ(client.StartAudio(ops, &sink), 0);
  ASSERT_TRUE(WaitFor([&] { return sink.Frames(kCh1Hevc) > 3 && sink.Frames(kAlaw) > 3; }));
  EXPECT_EQ(client.Close(), 0);
  EXPECT_FALSE(client.HasSession());
  EXPECT_EQ(sink.Releases(), 1);
  {
    std::lock_guard<std::mutex> lk(sink.mu);
    EXPECT_EQ(sink.stops.size(), 3u);
  }

  // A client destroyed while it streams stops everything and gives the sink back once.
  FakeSink other;
  {
    CP2pClient c2;
    ASSERT_EQ(c2.Connect("rvs:", Env("VLM_DID").c_str(), 0), 0);
    ASSERT_EQ(c2.VerifyPassword(Env("VLM_PW").c_str()), 0);
    ASSERT_EQ(c2.StartLiveVideo(0, ops, &other), 0);
    ASSERT_EQ(c2.StartPlayback(ops, &other), 0);
    ASSERT_GE(c2.PlaybackSeek(kDay + 7200 + 5), 0);
    ASSERT_TRUE(WaitFor([&] { return other.Frames(kCh0H264) > 3; }));
  }
  EXPECT_EQ(other.Releases(), 1);
  EXPECT_TRUE(other.Faults().empty()) << ::testing::PrintToString(other.Faults());
}

// Run alone by the script: it kills camsim when the file "kill" appears in VLM_SIGNAL_DIR and touches
// "restarted" once a new camsim is up.
TEST_F(P2pClientE2e, ReconnectAfterTheCameraWasKilledAndRestarted) {
  const std::string dir = Env("VLM_SIGNAL_DIR");
  if (dir.empty()) GTEST_SKIP() << "needs the script's camera restart";
  const AvRenderOps* ops = FakeSink::Ops();
  ASSERT_EQ(client.StartLiveVideo(0, ops, &sink), 0);
  ASSERT_TRUE(WaitFor([&] { return sink.Frames(kCh0H264) > 5; }));
  FILE* f = std::fopen((dir + "/kill").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  // The dead camera reaches the sink as a receive error with the client as value.
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> lk(sink.mu);
        return !sink.events.empty() && sink.events.back().event < 0;
      },
      30000));
  client.Close();
  EXPECT_EQ(sink.Releases(), 1);
  ASSERT_TRUE(WaitFor([&] { return access((dir + "/restarted").c_str(), F_OK) == 0; }, 30000));
  FakeSink again;
  ASSERT_EQ(client.Connect("rvs:", Env("VLM_DID").c_str(), 0), 0);
  ASSERT_EQ(client.VerifyPassword(Env("VLM_PW").c_str()), 0);
  ASSERT_EQ(client.StartLiveVideo(0, ops, &again), 0);
  EXPECT_TRUE(WaitFor([&] { return again.Frames(kCh0H264) > 5; }));
  client.Close();
  EXPECT_EQ(again.Releases(), 1);
  EXPECT_TRUE(again.Faults().empty()) << ::testing::PrintToString(again.Faults());
}

TEST(P2pClientNoSession, RefusesWithoutAddressAndSession) {
  CP2pClient c;
  EXPECT_EQ(c.Connect("", "VLM-000001-CAM", 0), KIVO_ERR_DEV_PARAM);
  EXPECT_FALSE(c.HasSession());
  EXPECT_EQ(c.VerifyPassword("x"), KIVO_ERR_NO_SESSION);
  EXPECT_EQ(c.GetFeatures(nullptr), KIVO_ERR_NO_SESSION);
  FakeSink s;
  EXPECT_EQ(c.StartLiveVideo(0, FakeSink::Ops(), &s), KIVO_ERR_NO_SESSION);
  EXPECT_EQ(s.Releases(), 1);  // the refused start gives the sink back
  EXPECT_EQ(c.StartAudio(FakeSink::Ops(), &s), KIVO_ERR_NO_SESSION);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  rvsSetInitString(std::getenv("VLM_INIT") ? std::getenv("VLM_INIT") : "");
  KivoP2pInit();
  const int r = RUN_ALL_TESTS();
  KivoP2pDeinit();
  return r;
}
