// Two peer connections of the layer in one process over loopback: signalling by direct calls, all seven
// channels, messages above the channel's limit, a slow reader on one channel, the peer going away.
#include "sdk/webrtc/ov_webrtc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"

namespace {

struct Sink {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<uint8_t> got[kOvChannels];
  std::atomic<bool> stall2{false};

  size_t Size(int ch) {
    std::lock_guard lk(mu);
    return got[ch].size();
  }
  bool WaitFor(int ch, size_t n, int ms) {
    std::unique_lock lk(mu);
    return cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return got[ch].size() >= n; });
  }
};

void OnData(int channel, const uint8_t* bytes, int length, void* user) {
  auto* s = static_cast<Sink*>(user);
  while (channel == 2 && s->stall2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::lock_guard lk(s->mu);
  s->got[channel].insert(s->got[channel].end(), bytes, bytes + length);
  s->cv.notify_all();
}

struct Pair;
struct Side {
  Pair* pair;
  OvPeerConnection pc = nullptr;
  OvPeerConnection other = nullptr;
  std::atomic<int> offers{0}, answers{0}, candidates{0};
  std::string sdp;  // the last offer or answer sent
};

struct Pair {
  Side a{this}, b{this};
  Sink sink_a, sink_b;
  // Also after a failed assertion: nothing delivers into the sinks once they are gone.
  ~Pair() {
    OvWebrtcDestroyPeerConnection(a.pc);
    OvWebrtcDestroyPeerConnection(b.pc);
  }
};

int OnSignal(OvPeerConnection, void* user, const char* kind, const char* bytes, int length) {
  auto* s = static_cast<Side*>(user);
  std::string text(bytes, static_cast<size_t>(length));
  if (std::string(kind) != "candidate") s->sdp = text;
  if (std::string(kind) == "offer") {
    ++s->offers;
    EXPECT_EQ(0, OvWebrtcSetRemoteDescription(s->other, 0, text.c_str()));
  } else if (std::string(kind) == "answer") {
    ++s->answers;
    EXPECT_EQ(0, OvWebrtcSetRemoteDescription(s->other, 1, text.c_str()));
  } else {
    ++s->candidates;
    EXPECT_EQ(0, OvWebrtcAddCandidate(s->other, "0", 0, text.c_str()));
  }
  return 0;
}

class OvWebrtc : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(0, OvWebrtcInit());
    OvWebrtcSetLocalAddress("127.0.0.1");
  }
  static void TearDownTestSuite() { OvWebrtcUninit(); }

  // Connects a (offerer) with b (answerer); false when the channels do not open in time.
  bool Connect(Pair& p) {
    p.a.pc = OvWebrtcCreatePeerConnection(1, nullptr, 0);
    p.b.pc = OvWebrtcCreatePeerConnection(1, nullptr, 0);
    if (!p.a.pc || !p.b.pc) return false;
    p.a.other = p.b.pc;
    p.b.other = p.a.pc;
    OvWebrtcSetSendMsg(p.a.pc, OnSignal, &p.a);
    OvWebrtcSetSendMsg(p.b.pc, OnSignal, &p.b);
    OvWebrtcSetDataCallback(p.a.pc, OnData, &p.sink_a);
    OvWebrtcSetDataCallback(p.b.pc, OnData, &p.sink_b);
    EXPECT_EQ(0, OvWebrtcStartOffer(p.a.pc));
    bool a = OvWebrtcGetEventHandle(p.a.pc)->Wait(10000);
    bool b = OvWebrtcGetEventHandle(p.b.pc)->Wait(10000);
    return a && b;
  }
  static void Close(Pair& p) {
    OvWebrtcDestroyPeerConnection(p.a.pc);
    OvWebrtcDestroyPeerConnection(p.b.pc);
  }
};

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(seed >> 16);
  }
  return v;
}

TEST_F(OvWebrtc, SevenChannelsBothWaysWithLargeMessagesSplit) {
#if defined(__SANITIZE_THREAD__)
  // Under ThreadSanitizer's timing GStreamer's DTLS and SCTP elements lose the fragments of large messages
  // and recover only after long retransmission time-outs: the transfer is checked in the other builds.
  GTEST_SKIP() << "large transfers stall inside GStreamer under ThreadSanitizer";
#endif
  Pair p;
  ASSERT_TRUE(Connect(p));
  EXPECT_EQ(1, p.a.offers.load());
  EXPECT_EQ(1, p.b.answers.load());
  // The media section is named "0", the sdpMid every candidate is sent with, in both descriptions.
  for (const std::string* sdp : {&p.a.sdp, &p.b.sdp}) {
    EXPECT_NE(std::string::npos, sdp->find("a=mid:0\r\n")) << *sdp;
    EXPECT_NE(std::string::npos, sdp->find("a=group:BUNDLE 0\r\n")) << *sdp;
  }
  EXPECT_GT(p.a.candidates + p.b.candidates, 0);
  EXPECT_EQ(0, OvWebrtcGetConnStatus(p.a.pc));
  // Every channel, both ways; channel 2 carries 600000 bytes in one send (above the 64 KiB message limit).
  std::vector<std::vector<uint8_t>> sent(kOvChannels);
  for (int ch = 0; ch < kOvChannels; ++ch) {
    sent[ch] = Pattern(ch == 2 ? 600000 : 100 + ch * 1000, ch + 1);
    ASSERT_EQ(static_cast<int>(sent[ch].size()),
              OvWebrtcSend(p.a.pc, ch, sent[ch].data(), static_cast<int>(sent[ch].size())));
    ASSERT_EQ(static_cast<int>(sent[ch].size()),
              OvWebrtcSend(p.b.pc, ch, sent[ch].data(), static_cast<int>(sent[ch].size())));
  }
  for (int ch = 0; ch < kOvChannels; ++ch) {
    ASSERT_TRUE(p.sink_b.WaitFor(ch, sent[ch].size(), 10000))
        << "channel " << ch << ": " << p.sink_b.Size(ch) << " of " << sent[ch].size();
    ASSERT_TRUE(p.sink_a.WaitFor(ch, sent[ch].size(), 10000))
        << "channel " << ch << ": " << p.sink_a.Size(ch) << " of " << sent[ch].size();
    std::lock_guard la(p.sink_a.mu), lb(p.sink_b.mu);
    EXPECT_EQ(sent[ch], p.sink_b.got[ch]) << "channel " << ch;
    EXPECT_EQ(sent[ch], p.sink_a.got[ch]) << "channel " << ch;
  }
  // Bad arguments.
  uint8_t byte = 1;
  EXPECT_EQ(kOvErrArg, OvWebrtcSend(p.a.pc, 7, &byte, 1));
  EXPECT_EQ(kOvErrArg, OvWebrtcSend(p.a.pc, -1, &byte, 1));
  EXPECT_EQ(kOvErrSdp, OvWebrtcSetRemoteDescription(p.a.pc, 1, "not an sdp"));
  EXPECT_EQ(0, OvWebrtcSend(p.a.pc, 0, &byte, 0));
  Close(p);
  EXPECT_EQ(-1, OvWebrtcGetConnStatus(p.a.pc));
  EXPECT_EQ(kOvErrArg, OvWebrtcSend(p.a.pc, 0, &byte, 1));
}

TEST_F(OvWebrtc, AStalledReaderOnOneChannelDoesNotHoldTheOthersAndCloseDoesNotHang) {
  Pair p;
  ASSERT_TRUE(Connect(p));
  p.sink_b.stall2 = true;
#if defined(__SANITIZE_THREAD__)
  constexpr int kBig = 1000;  // one packet: large transfers stall inside GStreamer under ThreadSanitizer
#else
  constexpr int kBig = 200000;
#endif
  auto big = Pattern(kBig, 7);
  ASSERT_EQ(kBig, OvWebrtcSend(p.a.pc, 2, big.data(), kBig));
  uint8_t cmd[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(8, OvWebrtcSend(p.a.pc, 0, cmd, 8));
  EXPECT_TRUE(p.sink_b.WaitFor(0, 8, 5000));
  EXPECT_EQ(0u, p.sink_b.Size(2));
  // The peer closes while a channel of b is still stalled: b notices and closes without hanging.
  OvWebrtcDestroyPeerConnection(p.a.pc);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (OvWebrtcGetConnStatus(p.b.pc) == 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_NE(0, OvWebrtcGetConnStatus(p.b.pc));
  std::thread unstall([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    p.sink_b.stall2 = false;
  });
  OvWebrtcDestroyPeerConnection(p.b.pc);
  unstall.join();
}

TEST_F(OvWebrtc, ChannelsNeverOpenWithoutAnAnswer) {
  OvPeerConnection pc = OvWebrtcCreatePeerConnection(1, nullptr, 0);
  ASSERT_NE(nullptr, pc);
  EXPECT_EQ(0, OvWebrtcStartOffer(pc));
  EXPECT_FALSE(OvWebrtcGetEventHandle(pc)->Wait(500));
  uint8_t byte = 0;
  EXPECT_EQ(kOvErrState, OvWebrtcSend(pc, 0, &byte, 1));
  EXPECT_NE(0, OvWebrtcGetConnStatus(pc));
  OvWebrtcDestroyPeerConnection(pc);
  OvPeerConnection out = &byte;
  EXPECT_EQ(kOvErrNotSupported, OvWebrtcStartV2("token", "usesr:1", "uuid", &out));
  EXPECT_EQ(nullptr, out);
}

}  // namespace
