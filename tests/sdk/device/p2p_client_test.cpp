// CP2pClient over an in-memory transport: the frame-to-event logic (first pictures, key-frame gate, playback
// positions, restart packets and a running recording, device status, receive errors) and the record list's
// filtering, with frames and replies a camera could not be made to send on demand.
#include "sdk/device/p2p_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/byte_order.h"
#include "sdk/device/kivo_session.h"
#include "sdk/device/kivo_wire.h"
#include "tests/sdk/device/fake_sink.h"
#include "tests/sdk/device/fake_transport.h"

namespace {

bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void PushFrame(fake::Conn& c, int av, uint8_t wire_codec, uint8_t channel, uint8_t flags, uint32_t ts,
               uint8_t reserved = 0, uint32_t reserved2 = 0, std::vector<uint8_t> payload = {1, 2, 3}) {
  MediaFrameHeader h{wire_codec, channel, flags, reserved, reserved2, static_cast<uint32_t>(payload.size()),
                     ts};
  uint8_t b[16];
  kivo::PutFrameHeader(b, h);
  c.Push(av, b, 16);
  c.Push(av, payload.data(), payload.size());
}

constexpr uint8_t kWireH264 = 0x4E, kWireHevc = 0x50, kWireControl = 0x4D, kWireAlaw = 0x8A;

class P2pClientFake : public ::testing::Test {
 protected:
  void SetUp() override {
    static const TransportOps* const list[] = {&fake::kOps};
    kivo::SetTransportList(list, 1);
    {
      std::lock_guard<std::mutex> g(fake::g_mu);
      fake::g_pending = &conn_;
    }
    ASSERT_EQ(client_.Connect("fake:server", "DID-1", 0), 0);
  }
  void TearDown() override {
    conn_.Kill();
    client_.Close();
    kivo::SetTransportList(nullptr, 0);
    EXPECT_TRUE(sink_.Faults().empty()) << ::testing::PrintToString(sink_.Faults());
  }
  size_t EventCount(int32_t e) {
    std::lock_guard<std::mutex> lk(sink_.mu);
    size_t n = 0;
    for (const auto& ev : sink_.events) n += ev.event == e ? 1 : 0;
    return n;
  }
  FakeSink::Event LastEvent() {
    std::lock_guard<std::mutex> lk(sink_.mu);
    return sink_.events.empty() ? FakeSink::Event{0, 0} : sink_.events.back();
  }
  fake::Conn conn_;
  CP2pClient client_;
  FakeSink sink_;
};

TEST_F(P2pClientFake, FirstPictureBeforeTheKeyFrameGateAndOneReceiveError) {
  ASSERT_EQ(client_.StartLiveVideo(0, FakeSink::Ops(), &sink_), 0);
  ASSERT_EQ(client_.StartLiveVideo(1, nullptr, nullptr), 0);
  PushFrame(conn_, 2, kWireH264, 0, 0, 1000);  // a delta frame first: the event, not the frame
  PushFrame(conn_, 3, kWireHevc, 0, 0, 1000);  // avIndex 3 carries lens 1
  ASSERT_TRUE(WaitFor(
      [&] { return EventCount(kAvEventFirstPicture) == 1 && EventCount(kAvEventChannelFirstPicture) == 1; }));
  EXPECT_EQ(sink_.Frames(1 << 16 | MEDIA_CODEC_HEVC), 0);
  EXPECT_EQ(sink_.Frames(MEDIA_CODEC_H264), 0);
  PushFrame(conn_, 2, kWireH264, 0, 1, 1040);
  PushFrame(conn_, 2, kWireH264, 0, 0, 1080);
  PushFrame(conn_, 3, kWireHevc, 0, 1, 1040);
  PushFrame(conn_, 2, kWireH264, 7, 1, 1100);  // a channel past 3: ignored
  PushFrame(conn_, 2, kWireAlaw, 0, 1, 1120);  // audio on a video slot: passed on
  // Lens 1 has its own receive thread: wait for its frame as well as slot 2's last.
  ASSERT_TRUE(WaitFor([&] {
    return sink_.Frames(MEDIA_CODEC_G711A) == 1 && sink_.Frames(1 << 16 | MEDIA_CODEC_HEVC) >= 1;
  }));
  EXPECT_EQ(sink_.Frames(MEDIA_CODEC_H264), 2);
  EXPECT_EQ(sink_.Frames(1 << 16 | MEDIA_CODEC_HEVC), 1);
  {
    std::lock_guard<std::mutex> lk(sink_.mu);
    // Timestamps on the local tick: the first frame's device time maps to about now.
    const int32_t d = static_cast<int32_t>(sink_.last_ts[MEDIA_CODEC_H264] - 80 - P2pLocalTick());
    EXPECT_LT(d < 0 ? -d : d, 2000);
  }
  // A fatal receive error: each subscription reports it once, with the client as value.
  conn_.Kill();
  ASSERT_TRUE(WaitFor([&] { return LastEvent().event < 0; }));
  EXPECT_EQ(LastEvent().event, KIVO_ERR_CLOSED);
  EXPECT_EQ(LastEvent().value, static_cast<int32_t>(reinterpret_cast<intptr_t>(&client_)));
}

TEST_F(P2pClientFake, PlaybackPositionsRestartsAndTheRecordingTheyStop) {
  ASSERT_EQ(client_.StartPlayback(FakeSink::Ops(), &sink_), 0);
  const int64_t t0 = 1796878800;
  ASSERT_GE(client_.PlaybackSeek(t0), 0);
  PushFrame(conn_, 3, kWireH264, 0, 1, 500000);
  PushFrame(conn_, 3, kWireH264, 0, 0, 501000);  // one second in
  ASSERT_TRUE(WaitFor([&] { return EventCount(kAvEventPlaybackPosition) == 1; }));
  EXPECT_EQ(LastEvent().value, t0 + 1);
  ASSERT_EQ(client_.StartRecord("/tmp/pb.mp4"), 1);
  PushFrame(conn_, 3, kWireH264, 0, 0, 501040);
  ASSERT_TRUE(WaitFor([&] { return client_.RecordMarkTime() != 0; }));
  EXPECT_EQ(client_.RecordMarkTimestamp(), 501040u);

  // A restart 10 s after the position keeps the recording; the position base moves.
  PushFrame(conn_, 3, kWireControl, 0, 2, static_cast<uint32_t>(t0 + 11));
  ASSERT_TRUE(WaitFor([&] { return EventCount(kAvEventPlaybackRestart) == 1; }));
  EXPECT_EQ(LastEvent().value, t0 + 11);
  EXPECT_EQ(client_.GetState() & kP2pStateRecording, kP2pStateRecording);
  // First pictures are reported again after a restart.
  PushFrame(conn_, 3, kWireH264, 0, 1, 600000);
  ASSERT_TRUE(WaitFor([&] { return EventCount(kAvEventFirstPicture) == 2; }));
  PushFrame(conn_, 3, kWireH264, 0, 0, 602000);
  ASSERT_TRUE(WaitFor([&] { return EventCount(kAvEventPlaybackPosition) == 2; }));
  EXPECT_EQ(LastEvent().value, t0 + 11 + 2);

  // 20 s past the position: the recording stops. Kind 0 works as kind 2.
  PushFrame(conn_, 3, kWireControl, 0, 0, static_cast<uint32_t>(t0 + 13 + 20));
  ASSERT_TRUE(WaitFor([&] { return EventCount(kAvEventPlaybackRestart) == 2; }));
  EXPECT_EQ(client_.GetState() & kP2pStateRecording, 0);
  // Before the position: stops a recording too.
  ASSERT_EQ(client_.StartRecord("/tmp/pb2.mp4"), 1);
  PushFrame(conn_, 3, kWireControl, 0, 2, static_cast<uint32_t>(t0));
  ASSERT_TRUE(WaitFor([&] { return EventCount(kAvEventPlaybackRestart) == 3; }));
  EXPECT_EQ(client_.GetState() & kP2pStateRecording, 0);

  // Device status (kind 5) with its 32-bit value; other kinds are ignored.
  PushFrame(conn_, 3, kWireControl, 0, 7, 0, 0, 0x1234);
  PushFrame(conn_, 3, kWireControl, 0, 5, 0, 0, 0xBEEF);
  ASSERT_TRUE(WaitFor([&] { return EventCount(kAvEventDeviceStatus) == 1; }));
  EXPECT_EQ(LastEvent().value, 0xBEEF);

  // Playback sound: the first audio frame fixes the codec.
  PushFrame(conn_, 4, kWireH264, 0, 0, 100);  // not audio: dropped
  PushFrame(conn_, 4, kWireAlaw, 0, 0x25, 100);
  PushFrame(conn_, 4, kWireAlaw, 0, 0x25, 140);
  ASSERT_TRUE(WaitFor([&] { return sink_.Frames(MEDIA_CODEC_G711A) == 2; }));
  client_.StopPlayback();
  EXPECT_EQ(sink_.Releases(), 1);
}

// Frames keep coming on both live receive threads (lens 1 and lens 0) while the caller's thread gives the
// record its sink and swaps the lenses: each thread's view of the record stays whole (ThreadSanitizer shows
// any unguarded access), and a sink given after lens 1 began gets that lens from a key frame on.
TEST_F(P2pClientFake, SinkAndSwapsChangeWhileBothReceiveThreadsDeliver) {
  conn_.on_cmd = [&](uint32_t cmd, const uint8_t*, int) {
    if (cmd == CMD_SET_MAIN_CHANNEL) conn_.PushCmd(CMD_SET_MAIN_CHANNEL ^ 1u, std::vector<uint8_t>(8, 0));
  };
  ASSERT_EQ(client_.StartLiveVideo(1, nullptr, nullptr), 0);  // lens 1 first, without a sink
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    for (uint32_t i = 0; feeding.load(); ++i) {
      const uint8_t key = i % 8 == 0 ? 1 : 0;
      PushFrame(conn_, 2, kWireH264, 0, key, 1000 + 40 * i);
      PushFrame(conn_, 3, kWireHevc, 0, key, 1000 + 40 * i);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_EQ(client_.StartLiveVideo(0, FakeSink::Ops(), &sink_), 0);
  EXPECT_TRUE(WaitFor(
      [&] { return sink_.Frames(MEDIA_CODEC_H264) > 0 && sink_.Frames(1 << 16 | MEDIA_CODEC_HEVC) > 0; }));
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(client_.SwapChannels(0, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  feeding = false;
  feeder.join();
  EXPECT_EQ(client_.GetState() & (kP2pStateLiveVideo | kP2pStateMultiChannel),
            kP2pStateLiveVideo | kP2pStateMultiChannel);
  client_.StopAllVideo();
  EXPECT_EQ(sink_.Releases(), 1);
}

// A seek on the caller's thread while playback frames arrive: the position base moves under the record's
// lock, and the positions reported after it count from the new base.
TEST_F(P2pClientFake, SeekWhilePlaybackFramesArrive) {
  ASSERT_EQ(client_.StartPlayback(FakeSink::Ops(), &sink_), 0);
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    for (uint32_t i = 0; feeding.load(); ++i) {
      PushFrame(conn_, 3, kWireH264, 0, i == 0 ? 1 : 0, 500000 + 250 * i);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  const int64_t t0 = 1796878800;
  for (int i = 0; i < 20; ++i) {
    ASSERT_GE(client_.PlaybackSeek(t0 + 100 * i), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const size_t before = EventCount(kAvEventPlaybackPosition);
  EXPECT_TRUE(WaitFor([&] { return EventCount(kAvEventPlaybackPosition) > before; }));
  feeding = false;
  feeder.join();
  EXPECT_GE(LastEvent().value, t0 + 1900);
  client_.StopPlayback();
}

// The window's thread asks whether the session is there and alive (its toolbar and device rows do, on
// timers) while the thread that runs device operations closes it.
TEST_F(P2pClientFake, TheWindowAsksWhileTheSessionCloses) {
  std::atomic<bool> asking{true};
  std::atomic<int> asked{0};
  std::thread window([&] {
    while (asking.load()) {
      if (client_.HasSession()) client_.IsAlive();
      asked.fetch_add(1);
    }
  });
  EXPECT_TRUE(WaitFor([&] { return asked.load() > 100; }));
  conn_.Kill();
  EXPECT_EQ(client_.Close(), 0);
  EXPECT_FALSE(client_.HasSession());
  EXPECT_FALSE(client_.IsAlive());
  const int after_close = asked.load();
  EXPECT_TRUE(WaitFor([&] { return asked.load() > after_close + 100; }));
  asking = false;
  window.join();
}

std::vector<uint8_t> RecordReply(const std::vector<RecordEntry>& entries) {
  std::vector<uint8_t> p(12 + 16 * entries.size());
  kivo::PutRecordListHead(p.data(), static_cast<uint32_t>(entries.size()), true,
                          static_cast<int>(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) kivo::PutRecordEntry(p.data() + 12 + 16 * i, entries[i]);
  return p;
}

TEST_F(P2pClientFake, RecordListKeepsSaneEntriesSortedAndMerged) {
  setenv("TZ", "UTC", 1);
  tzset();
  conn_.on_cmd = [&](uint32_t cmd, const uint8_t*, int) {
    if (cmd != CMD_RECORD_LIST) return;
    conn_.PushCmd(CMD_RECORD_LIST ^ 1u,
                  RecordReply({
                      {{2026, 12, 10, 4, 5, 0, 0}, 600, 2},
                      {{2026, 12, 10, 4, 1, 0, 0}, 600, 2},
                      {{2026, 12, 10, 4, 1, 10, 0}, 600, 2},    // overlaps: merged
                      {{2009, 12, 31, 4, 1, 0, 0}, 600, 2},     // before 2010
                      {{2026, 12, 10, 4, 2, 0, 0}, 1, 2},       // one second
                      {{2026, 12, 10, 4, 3, 0, 0}, 200000, 2},  // longer than twice the span
                  }));
  };
  std::vector<PlaybackSegment> list;
  ASSERT_EQ(client_.GetRecordList(1796860800, 86400, &list), 0);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].start, 1796860800 + 3600);
  EXPECT_EQ(list[0].End(), 1796860800 + 3600 + 600 + 600);
  EXPECT_EQ(list[1].start, 1796860800 + 5 * 3600);
  EXPECT_EQ(list[1].kind, 2);
  conn_.on_cmd = [&](uint32_t cmd, const uint8_t*, int) {
    if (cmd != CMD_RECORD_LIST) return;
    std::vector<uint8_t> p(12);
    kivo::PutRecordListHead(p.data(), 0xFFFFFFFF, true, 0);  // a total past any sane size
    conn_.PushCmd(CMD_RECORD_LIST ^ 1u, p);
  };
  EXPECT_EQ(client_.GetRecordList(1796860800, 86400, &list), KIVO_ERR_FORMAT);
  EXPECT_TRUE(list.empty());
}

}  // namespace
