// Sessions over an in-memory transport: connecting by address, reply
// matching, error replies, the command catalogue's bytes, record lists, the
// AV slots and talkback, and what a broken device sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/byte_order.h"
#include "sdk/device/kivo_session.h"
#include "sdk/device/kivo_wire.h"
#include "tests/sdk/device/fake_transport.h"

using platform::GetLe32;
using platform::PutLe32;

namespace {

std::vector<uint8_t> Le32s(std::initializer_list<uint32_t> v) {
  std::vector<uint8_t> out;
  for (uint32_t x : v) {
    uint8_t b[4];
    PutLe32(b, x);
    out.insert(out.end(), b, b + 4);
  }
  return out;
}

// The packets a session sent on channel 0.
struct Pkt {
  uint32_t command;
  std::vector<uint8_t> payload;
};
std::vector<Pkt> Packets(const std::vector<uint8_t>& bytes) {
  std::vector<Pkt> out;
  for (size_t at = 0; at + 8 <= bytes.size();) {
    const uint32_t c = GetLe32(&bytes[at]), n = GetLe32(&bytes[at + 4]);
    out.push_back({c, std::vector<uint8_t>(bytes.begin() + at + 8, bytes.begin() + at + 8 + n)});
    at += 8 + n;
  }
  return out;
}

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    static const TransportOps* const list[] = {&fake::kOps};
    kivo::SetTransportList(list, 1);
    {
      std::lock_guard<std::mutex> g(fake::g_mu);
      fake::g_pending = &conn_;
    }
    ASSERT_EQ(KivoP2pConnect2("fake:server", "DID-1,extra", 0, &s_), 0);
  }
  void TearDown() override {
    conn_.Kill();
    KivoP2pClose(s_);
    kivo::SetTransportList(nullptr, 0);
  }
  // Subscribers live in the fixture, so a receive thread still running when a
  // test ends early never calls into a test's freed locals: TearDown closes first.
  struct Frames& frames(int i);
  std::shared_ptr<void> frames_[3];
  fake::Conn conn_;
  KivoSession* s_ = nullptr;
};

TEST(KivoConnect, AddressesChooseTheirTransport) {
  static fake::Conn c;
  static const TransportOps rvs_like = {"rvs", fake::Connect, fake::Close, fake::Alive, fake::Send,
                                        fake::Recv, fake::CheckSendBuf, nullptr, nullptr, nullptr};
  static const TransportOps* const list[] = {&fake::kOps, &rvs_like};
  kivo::SetTransportList(list, 2);
  const struct {
    const char* address;
    int result;
    const TransportOps* ops;
  } cases[] = {
      {"fake:x", 0, &fake::kOps},
      {"ovwebrtc2:DID", KIVO_ERR_DEV_PARAM, nullptr},  // the WebRTC transports are not in the list
      {"nosuch:x", KIVO_ERR_DEV_PARAM, nullptr},
      {"no-colon-goes-to-rvs", 0, &rvs_like},
      {"a-server-name-longer-than-16:1234", 0, &rvs_like},
      {nullptr, KIVO_ERR_DEV_PARAM, nullptr},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.address ? t.address : "(null)");
    {
      std::lock_guard<std::mutex> g(fake::g_mu);
      fake::g_pending = &c;
    }
    KivoSession* s = nullptr;
    EXPECT_EQ(KivoP2pConnect2(t.address, "D", 0, &s), t.result);
    if (s) {
      EXPECT_EQ(KivoP2pTransport(s), t.ops);
      EXPECT_EQ(KivoP2pConnType(s), KIVO_CONN_UNKNOWN);
      c.Kill();
      KivoP2pClose(s);
      c.dead = false;
    }
    std::lock_guard<std::mutex> g(fake::g_mu);
    fake::g_pending = nullptr;
  }
  kivo::SetTransportList(nullptr, 0);
  EXPECT_EQ(KivoP2pClose(nullptr), 0);
  EXPECT_EQ(KivoP2pIsAlive(nullptr), 0);
  EXPECT_EQ(KivoP2pPtzCtrl(nullptr, 1), KIVO_ERR_NO_SESSION);
  DeviceFeatures f;
  EXPECT_EQ(KivoP2pGetFeatures(nullptr, &f), KIVO_ERR_NO_SESSION);
  EXPECT_EQ(f.channel_count, 1u);
}

TEST_F(Session, RepliesAndErrorRepliesCompleteTheirRequest) {
  // Each request is answered by the packet the script gives for its command.
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> script;
  std::mutex mu;
  conn_.on_cmd = [&](uint32_t cmd, const uint8_t*, int) {
    std::lock_guard<std::mutex> g(mu);
    for (auto& [c, p] : script)
      if ((c | 1u) == (cmd | 1u) || (c == CMD_ERROR_REPLY && GetLe32(p.data()) == cmd)) conn_.PushCmd(c, p);
  };
  int result = -7;
  script = {{0x8003, Le32s({0, 0})}};
  EXPECT_EQ(KivoP2pSendPassword(s_, "secret", &result), 8);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(KivoP2pVerifyPassword(s_, "secret"), 0);
  script = {{0x8003, Le32s({1, 0})}};
  EXPECT_EQ(KivoP2pVerifyPassword(s_, "wrong"), KIVO_ERR_AUTH);
  // A result shorter than its word is no answer.
  script = {{0x8003, {0, 0}}};
  EXPECT_EQ(KivoP2pVerifyPassword(s_, "secret"), KIVO_ERR_FORMAT);
  script = {{CMD_ERROR_REPLY, Le32s({0x8002, 3})}};
  EXPECT_EQ(KivoP2pVerifyPassword(s_, "secret"), KIVO_ERR_DEV_UNSUPPORTED);
  script = {{CMD_ERROR_REPLY, Le32s({0x43E, 9})}};
  EXPECT_EQ(KivoP2pSetMainChannel(s_, 0, 1), -1);
  // A reply longer than the buffer is cut, its full length returned.
  script = {{0x40B, std::vector<uint8_t>(20, 0xAB)}};
  uint8_t lens[16] = {};
  EXPECT_EQ(KivoP2pGetLensParam(s_, lens), 20);
  EXPECT_EQ(lens[11], 0xAB);
  EXPECT_EQ(lens[12], 0);
  // Talk start refused as unsupported falls back to the old command.
  script = {{CMD_ERROR_REPLY, Le32s({0x332, 3})}};
  EXPECT_EQ(KivoP2pStartTalk(s_), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::vector<Pkt> sent = Packets(conn_.Sent(0));
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent.back().command, CMD_TALK_START_OLD);
  EXPECT_EQ(sent.back().payload, Le32s({3, 0}));
}

TEST_F(Session, TwoRequestsOfOneCommandAreServedOldestFirst) {
  // The device answers only once both requests are out, with two different replies.
  std::atomic<int> asked{0};
  conn_.on_cmd = [&](uint32_t cmd, const uint8_t*, int) {
    if (cmd == CMD_GET_LENS && ++asked == 2) {
      conn_.PushCmd(CMD_GET_LENS ^ 1u, std::vector<uint8_t>(12, 1));
      conn_.PushCmd(CMD_GET_LENS ^ 1u, std::vector<uint8_t>(12, 2));
    }
  };
  uint8_t first[12] = {}, second[12] = {};
  std::thread older([&] { EXPECT_EQ(KivoP2pGetLensParam(s_, first), 12); });
  while (asked.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(KivoP2pGetLensParam(s_, second), 12);
  older.join();
  EXPECT_EQ(first[0], 1);
  EXPECT_EQ(second[0], 2);
}

TEST_F(Session, ShortErrorReplyAndUnansweredRequestTimeOut) {
  conn_.on_cmd = [&](uint32_t cmd, const uint8_t*, int) {
    if (cmd == CMD_SET_MAIN_CHANNEL) conn_.PushCmd(CMD_ERROR_REPLY, {0x3E, 0x04});  // 2 bytes: names nothing
  };
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(KivoP2pCommand(s_, CMD_SET_MAIN_CHANNEL, "\0\0\0\0\0\0\0\0", 8, nullptr, 0, 300), KIVO_ERR_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(280));
  // The command thread still serves later requests.
  conn_.on_cmd = [&](uint32_t cmd, const uint8_t*, int) { conn_.PushCmd(cmd ^ 1u, {1, 2}); };
  uint8_t r[8];
  EXPECT_EQ(KivoP2pCommand(s_, CMD_POST_CONNECT, "\0\0\0\0\0\0\0\0", 8, r, 8, 1000), 2);
}

TEST_F(Session, FailedSendReturnsAtOnce) {
  conn_.send_error = KIVO_ERR_CLOSED;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(KivoP2pVerifyPassword(s_, "x"), KIVO_ERR_CLOSED);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
  conn_.send_error = 0;
}

TEST_F(Session, CatalogueBytes) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(KivoP2pSetVideoQuality(s_, 1, 1), 16);
  EXPECT_EQ(KivoP2pStopTalk(s_), 8);
  KivoP2pNotifyLiveView(s_);
  KivoP2pNotifySdPlayback(s_);
  KivoP2pPlaybackSeek(s_, 1765400000);
  KivoP2pSetPlaybackSpeed(s_, 2);
  const uint8_t lens[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  KivoP2pSetLensParam(s_, lens);
  KivoP2pPtzCtrl(s_, 4);
  const std::vector<Pkt> p = Packets(conn_.Sent(0));
  ASSERT_EQ(p.size(), 8u);
  EXPECT_EQ(p[0].command, CMD_STREAM_QUALITY);
  EXPECT_EQ(p[0].payload, Le32s({1, 5}));
  EXPECT_EQ(p[1].command, CMD_TALK_STOP);
  EXPECT_TRUE(p[1].payload.empty());
  EXPECT_EQ(p[2].command, CMD_LIVE_NOTICE);
  EXPECT_EQ(p[3].command, CMD_SD_PLAYBACK_NOTICE);
  EXPECT_EQ(p[4].command, CMD_PLAYBACK_CONTROL);
  ASSERT_EQ(p[4].payload.size(), 24u);
  EXPECT_EQ(GetLe32(&p[4].payload[0]), 3u);
  EXPECT_EQ(GetLe32(&p[4].payload[4]), 16u);
  EXPECT_EQ(kivo::GetDeviceTime(&p[4].payload[12]).hour, 20);
  EXPECT_EQ(p[5].payload, std::vector<uint8_t>({0, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(p[6].payload, std::vector<uint8_t>(lens, lens + 12));
  EXPECT_EQ(p[7].payload, std::vector<uint8_t>({4, 0, 0, 0, 0, 0, 0, 0}));
}

std::vector<uint8_t> RecordPacket(uint32_t total, bool last, int count, int carried, int first) {
  std::vector<uint8_t> p(12 + 16 * carried);
  kivo::PutRecordListHead(p.data(), total, last, count);
  for (int i = 0; i < carried; ++i)
    kivo::PutRecordEntry(p.data() + 12 + 16 * i, {{2026, 12, 10, 4, 0, 0, 0}, static_cast<uint32_t>(first + i), 1});
  return p;
}

TEST_F(Session, RecordListOverSeveralPacketsAndRefusals) {
  int mode = 0;
  conn_.on_cmd = [&](uint32_t cmd, const uint8_t*, int len) {
    if (cmd != CMD_RECORD_LIST || len != 24) return;
    if (mode == 0) {
      conn_.PushCmd(0x8001, RecordPacket(5, false, 2, 2, 0));
      conn_.PushCmd(CMD_EVENT, {'{', '}'});
      conn_.PushCmd(0x8001, RecordPacket(5, false, 2, 2, 2));
      conn_.PushCmd(0x8001, RecordPacket(5, true, 1, 1, 4));
    } else if (mode == 1) {
      conn_.PushCmd(0x8001, RecordPacket(5, true, 3, 1, 0));  // three announced, one carried
    } else if (mode == 2) {
      conn_.PushCmd(0x8001, RecordPacket(2, true, 3, 3, 0));  // more than the announced total
    } else if (mode == 3) {
      conn_.PushCmd(0x8001, RecordPacket(0xFFFFFFFF, true, 0, 0, 0));  // a total past any sane size
    }
  };
  RecordEntry* e = nullptr;
  int n = -1;
  ASSERT_EQ(KivoP2pGetRecordList(s_, 1765400000, 86400, &e, &n), 0);
  ASSERT_EQ(n, 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(e[i].duration, static_cast<uint32_t>(i));
  std::free(e);
  mode = 1;
  EXPECT_EQ(KivoP2pGetRecordList(s_, 0, 60, &e, &n), KIVO_ERR_FORMAT);
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(n, 0);
  mode = 2;
  ASSERT_EQ(KivoP2pGetRecordList(s_, 0, 60, &e, &n), 0);
  EXPECT_EQ(n, 2);
  std::free(e);
  mode = 3;
  EXPECT_EQ(KivoP2pGetRecordList(s_, 0, 60, &e, &n), KIVO_ERR_FORMAT);
}

struct Frames {
  std::mutex mu;
  std::vector<MediaFrameHeader> headers;
  std::vector<std::vector<uint8_t>> payloads;
  std::vector<int> errors;
  static void Cb(const MediaFrameHeader* h, const uint8_t* p, int n, void* user) {
    auto* f = static_cast<Frames*>(user);
    std::lock_guard<std::mutex> g(f->mu);
    if (!h) {
      f->errors.push_back(n);
      return;
    }
    f->headers.push_back(*h);
    f->payloads.emplace_back(p, p + n);
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(mu);
    return headers.size() + errors.size();
  }
  bool WaitFor(size_t n) {
    for (int i = 0; i < 300 && Count() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Count() >= n;
  }
};

Frames& Session::frames(int i) {
  if (!frames_[i]) frames_[i] = std::make_shared<Frames>();
  return *static_cast<Frames*>(frames_[i].get());
}

void PushFrame(fake::Conn& c, int ch, uint8_t codec, uint8_t channel, const std::vector<uint8_t>& payload) {
  MediaFrameHeader h{codec, channel, 1, 0, 0, static_cast<uint32_t>(payload.size()), 40};
  uint8_t b[16];
  kivo::PutFrameHeader(b, h);
  c.Push(ch, b, 16);
  c.Push(ch, payload.data(), payload.size());
}

TEST_F(Session, SlotsDeliverFramesToTheirSubscribers) {
  Frames &ch0 = frames(0), &ch1 = frames(1), &ch2 = frames(2);
  ASSERT_EQ(KivoP2pStartVideo(s_, 0, Frames::Cb, &ch0), 0);
  ASSERT_EQ(KivoP2pStartVideo(s_, 2, Frames::Cb, &ch2), 0);
  ASSERT_EQ(KivoP2pStartVideo(s_, 1, Frames::Cb, &ch1), 0);
  conn_.max_chunk = 7;  // frames arrive in pieces
  PushFrame(conn_, 2, 0x50, 0, {1, 2, 3});
  PushFrame(conn_, 2, 0x4E, 2, std::vector<uint8_t>(70000, 9));  // grows the buffer
  PushFrame(conn_, 3, 0x4E, 0, {5});                              // avIndex 3: rewritten to channel 1
  ASSERT_TRUE(ch0.WaitFor(1));
  ASSERT_TRUE(ch2.WaitFor(1));
  ASSERT_TRUE(ch1.WaitFor(1));
  EXPECT_EQ(ch0.headers[0].codec, MEDIA_CODEC_HEVC);
  EXPECT_EQ(ch0.payloads[0], std::vector<uint8_t>({1, 2, 3}));
  EXPECT_EQ(ch2.payloads[0].size(), 70000u);
  EXPECT_EQ(ch1.headers[0].channel, 1);
  // Stopping one of two leaves avIndex 2 running; the last stop joins it.
  EXPECT_EQ(KivoP2pStopVideo(s_, 2), 0);
  EXPECT_TRUE(kivo::Slot(s_, 2)->run.load());
  PushFrame(conn_, 2, 0x50, 0, {4});
  ASSERT_TRUE(ch0.WaitFor(2));
  EXPECT_EQ(KivoP2pStopVideo(s_, 0), 0);
  EXPECT_FALSE(kivo::Slot(s_, 2)->run.load());
  EXPECT_FALSE(kivo::Slot(s_, 2)->thread.joinable());
  const std::vector<Pkt> p = Packets(conn_.Sent(0));
  ASSERT_EQ(p.size(), 5u);
  EXPECT_EQ(p[0].command, CMD_START_VIDEO);
  EXPECT_EQ(p[0].payload, Le32s({2, 0}));
  EXPECT_EQ(p[2].payload, Le32s({3, 1}));
  EXPECT_EQ(p[3].command, CMD_STOP_VIDEO);
  EXPECT_EQ(p[3].payload, Le32s({2, 2}));
}

TEST_F(Session, AudioAndPlaybackSlots) {
  Frames &audio = frames(0), &pv = frames(1), &pa = frames(2);
  ASSERT_EQ(KivoP2pStartAudio(s_, Frames::Cb, &audio), 0);
  PushFrame(conn_, 1, 0x8A, 0, std::vector<uint8_t>(320, 0xD5));
  ASSERT_TRUE(audio.WaitFor(1));
  EXPECT_EQ(audio.headers[0].codec, MEDIA_CODEC_G711A);
  EXPECT_EQ(KivoP2pResubscribe(s_), 16);
  KivoP2pStopAudio(s_);
  ASSERT_EQ(KivoP2pStartPlaybackRecv(s_, Frames::Cb, &pv, Frames::Cb, &pa), 0);
  PushFrame(conn_, 3, 0x50, 0, {7});
  PushFrame(conn_, 4, 0x8A, 0, {8});
  ASSERT_TRUE(pv.WaitFor(1));
  ASSERT_TRUE(pa.WaitFor(1));
  EXPECT_EQ(KivoP2pStopPlayback(s_), 0);
  EXPECT_FALSE(kivo::Slot(s_, 3)->thread.joinable());
  const std::vector<Pkt> p = Packets(conn_.Sent(0));
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[0].payload, Le32s({1, 0xFFFFFFFF}));
  EXPECT_EQ(p[1].command, CMD_START_AUDIO);
  EXPECT_EQ(p[2].command, CMD_STOP_AUDIO);
  EXPECT_EQ(p[2].payload, Le32s({1, 0}));
  EXPECT_EQ(p[3].command, CMD_PLAYBACK_CONTROL);
  EXPECT_EQ(GetLe32(&p[3].payload[4]), PLAYBACK_STOP);
}

// A stop that lands in the middle of a frame: the frame is read to its end, so a later start of the same
// slot reads whole frames (once a stream cut there and the next reader took payload bytes for a header).
TEST_F(Session, StopInTheMiddleOfAFrameKeepsTheChannelInStep) {
  Frames& f = frames(0);
  ASSERT_EQ(KivoP2pStartVideo(s_, 0, Frames::Cb, &f), 0);
  conn_.max_chunk = 7;  // the rest of the frame arrives in pieces
  const std::vector<uint8_t> big(1000, 0xAB);
  MediaFrameHeader h{0x50, 0, 1, 0, 0, static_cast<uint32_t>(big.size()), 40};
  uint8_t b[16];
  kivo::PutFrameHeader(b, h);
  conn_.Push(2, b, 16);
  conn_.Push(2, big.data(), 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the thread now waits inside the payload
  std::thread stop([&] { KivoP2pStopVideo(s_, 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  conn_.Push(2, big.data() + 100, big.size() - 100);
  stop.join();
  Frames& again = frames(1);
  ASSERT_EQ(KivoP2pStartVideo(s_, 0, Frames::Cb, &again), 0);
  PushFrame(conn_, 2, 0x50, 0, {1, 2, 3});
  ASSERT_TRUE(again.WaitFor(1));
  ASSERT_TRUE(again.errors.empty()) << again.errors.at(0);
  EXPECT_EQ(again.payloads.at(0), std::vector<uint8_t>({1, 2, 3}));
  EXPECT_EQ(KivoP2pStopVideo(s_, 0), 0);
}

TEST_F(Session, BrokenStreamsEndTheSlotWithAnError) {
  Frames& f = frames(0);
  ASSERT_EQ(KivoP2pStartVideo(s_, 0, Frames::Cb, &f), 0);
  // A length no frame may have: refused without an allocation.
  MediaFrameHeader h{0x50, 0, 1, 0, 0, 0xFFFFFFF0u, 0};
  uint8_t b[16];
  kivo::PutFrameHeader(b, h);
  conn_.Push(2, b, 16);
  ASSERT_TRUE(f.WaitFor(1));
  EXPECT_EQ(f.errors.at(0), KIVO_ERR_FORMAT);
  EXPECT_EQ(s_->last_recv_error.load(), KIVO_ERR_FORMAT);
  // The thread ended on its own; the stop joins it.
  EXPECT_EQ(KivoP2pStopVideo(s_, 0), 0);
  EXPECT_FALSE(kivo::Slot(s_, 2)->thread.joinable());
}

TEST_F(Session, CommandStreamWithAnOversizedLengthEndsTheThread) {
  std::atomic<int> hook_error{0};
  KivoP2pSetEventCallback(
      s_, nullptr,
      [](const uint8_t* pkt, int n, KivoSession*, void* user) {
        if (!pkt) static_cast<std::atomic<int>*>(user)->store(n);
      },
      &hook_error);
  conn_.Push(0, Le32s({0x8003, 0x7FFFFFFF}).data(), 8);
  for (int i = 0; i < 200 && !hook_error.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(hook_error.load(), KIVO_ERR_FORMAT);
}

TEST_F(Session, EventsAndPacketHook) {
  struct Seen {
    std::atomic<int> events{0}, packets{0};
  } seen;
  KivoP2pSetEventCallback(
      s_, [](const uint8_t* p, int n, KivoSession*, void* u) { static_cast<Seen*>(u)->events += n; },
      [](const uint8_t* p, int n, KivoSession*, void* u) {
        if (p) static_cast<Seen*>(u)->packets += 1;
      },
      &seen);
  conn_.PushCmd(CMD_EVENT, {'a', 'b', 'c'});
  conn_.PushCmd(0x9999, {1});  // matches nothing: dropped, still hooked
  for (int i = 0; i < 200 && seen.packets.load() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(seen.events.load(), 3);
  EXPECT_EQ(seen.packets.load(), 2);
}

// The callbacks are replaced while the command thread is inside one: the replacement waits for it, so the
// caller may free the old user value once it returns, and the next packet goes to the new callback only.
TEST_F(Session, ReplacingTheCallbacksWaitsForTheOneRunning) {
  struct Seen {
    std::atomic<bool> inside{false}, release{false};
    std::atomic<int> events{0};
  } old_user, new_user;
  auto on_event = [](const uint8_t*, int, KivoSession*, void* u) {
    auto* seen = static_cast<Seen*>(u);
    seen->events++;
    seen->inside = true;
    while (!seen->release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  ASSERT_EQ(KivoP2pSetEventCallback(s_, on_event, nullptr, &old_user), 0);
  conn_.PushCmd(CMD_EVENT, {1});
  for (int i = 0; i < 400 && !old_user.inside.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(old_user.inside.load());
  std::atomic<bool> replaced{false};
  new_user.release = true;
  std::thread t([&] {
    KivoP2pSetEventCallback(s_, on_event, nullptr, &new_user);
    replaced = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(replaced.load()) << "replaced while the old callback still ran";
  old_user.release = true;
  t.join();
  conn_.PushCmd(CMD_EVENT, {2});
  for (int i = 0; i < 400 && !new_user.events.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(new_user.events.load(), 1);
  EXPECT_EQ(old_user.events.load(), 1);
}

TEST_F(Session, TalkbackSendsFramesAndDropsWhenFull) {
  std::vector<uint8_t> block(320, 0x55);
  EXPECT_EQ(KivoRawSendMedia(s_, MEDIA_CODEC_G711U, 0, 0, block.data(), 320), KIVO_ERR_INVALID_PARAM);
  EXPECT_EQ(KivoRawSendMedia(s_, MEDIA_CODEC_H264, 9, 0xFF, block.data(), 320), 336);
  std::vector<uint8_t> out = conn_.Sent(3);
  ASSERT_EQ(out.size(), 336u);
  MediaFrameHeader h = kivo::GetFrameHeader(out.data());
  EXPECT_EQ(h.codec, 0x4E);
  EXPECT_EQ(h.flags, 1);  // video keeps only the key-frame bit
  EXPECT_EQ(h.timestamp, 9u);
  EXPECT_EQ(KivoP2pSendMedia(s_, block.data(), 320), 0);
  EXPECT_EQ(conn_.Sent(3).size(), 336u * 2);
  EXPECT_EQ(conn_.Sent(3)[336], 0x8A);
  conn_.full = true;
  EXPECT_EQ(KivoP2pSendMedia(s_, block.data(), 320), 1);
  EXPECT_EQ(s_->talk_drop.load(), 1);
  EXPECT_EQ(KivoP2pSendMedia(s_, block.data(), 320), 1);
  conn_.full = false;
  KivoP2pStopTalk(s_);
  EXPECT_EQ(s_->talk_drop.load(), 0);
  // A dead link, found at the sixth block, silences the sender.
  conn_.alive = 0;
  const size_t before = conn_.Sent(3).size();
  for (int i = 0; i < 8; ++i) KivoP2pSendMedia(s_, block.data(), 320);
  EXPECT_EQ(s_->talk_drop.load(), 2);
  EXPECT_EQ(conn_.Sent(3).size(), before + 5 * 336);
}

TEST_F(Session, FeaturesReplyLongerThanItsBufferIsCut) {
  // A valid object, then padding past the 2048-byte buffer: the cut text is no JSON, the defaults stay.
  std::string reply = R"({"feature":{"MultiChannels":"3"}})";
  conn_.on_cmd = [&](uint32_t cmd, const uint8_t* p, int len) {
    if (cmd == CMD_FEATURES && len == 2 && p[0] == '{' && p[1] == '}')
      conn_.PushCmd(CMD_FEATURES ^ 1u, std::vector<uint8_t>(reply.begin(), reply.end()));
  };
  DeviceFeatures f;
  ASSERT_EQ(KivoP2pGetFeatures(s_, &f), 0);
  EXPECT_EQ(f.channel_count, 3u);
  reply = "{\"feature\":{\"MultiChannels\":\"3\",\"D\":\"" + std::string(3000, 'x') + "\"}}";
  ASSERT_EQ(KivoP2pGetFeatures(s_, &f), 0);
  EXPECT_EQ(f.channel_count, 1u);
  reply = "{\"feature\":{\"MultiChannels\":\"2\"}}" + std::string(3000, ' ');
  ASSERT_EQ(KivoP2pGetFeatures(s_, &f), 0);
  EXPECT_EQ(f.channel_count, 2u);
}

TEST_F(Session, CloseWhileFramesArrive) {
  Frames& f = frames(0);
  ASSERT_EQ(KivoP2pStartVideo(s_, 0, Frames::Cb, &f), 0);
  ASSERT_EQ(KivoP2pStartVideo(s_, 3, Frames::Cb, &f), 0);
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    while (!stop.load()) {
      PushFrame(conn_, 2, 0x50, 0, std::vector<uint8_t>(1000, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  ASSERT_TRUE(f.WaitFor(5));
  KivoP2pClose(s_);  // channel 3 was not stopped by the caller: still joined
  s_ = nullptr;
  stop = true;
  feeder.join();
}

// The packet readers on a session without threads: a header that claims the largest payload, followed by
// a few bytes and the end of the stream, costs no more than those bytes; a long payload that really comes
// arrives whole across the buffer's growth.
TEST(KivoReaders, TheBufferGrowsOnlyWithTheBytesThatArrive) {
  using Reader = int (*)(KivoSession*, int, kivo::GrowBuf*);
  const Reader cmd = [](KivoSession* s, int, kivo::GrowBuf* b) { return kivo::ReadCmdPkt(s, b, 0, nullptr); };
  const Reader frame = [](KivoSession* s, int ch, kivo::GrowBuf* b) {
    return kivo::RecvFramePkt(s, ch, b, 0, nullptr);
  };
  const struct {
    const char* name;
    Reader read;
    int channel, header;
    uint32_t claimed, sent;
  } cases[] = {
      {"command, claimed", cmd, 0, 8, kivo::kMaxPayload, 100},
      {"frame, claimed", frame, 2, 16, kivo::kMaxPayload, 100},
      {"command, whole", cmd, 0, 8, 300001, 300001},
      {"frame, whole", frame, 2, 16, 300001, 300001},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    fake::Conn conn;
    conn.drain_dead = true;
    conn.max_chunk = 777;  // a transport that hands out pieces
    KivoSession s;
    {
      std::lock_guard<std::mutex> g(fake::g_mu);
      s.transport = fake::g_next++;
      fake::g_conns[s.transport] = &conn;
    }
    s.ops = &fake::kOps;
    std::vector<uint8_t> head(static_cast<size_t>(t.header));
    if (t.header == 8) {
      kivo::PutCmdHeader(head.data(), 0x8003, t.claimed);
    } else {
      kivo::PutFrameHeader(head.data(), MediaFrameHeader{0x4E, 0, 1, 0, 0, t.claimed, 40});
    }
    std::vector<uint8_t> payload(t.sent);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + i / 251);
    conn.Push(t.channel, head.data(), head.size());
    conn.Push(t.channel, payload.data(), payload.size());
    kivo::GrowBuf buf;
    const int r = t.read(&s, t.channel, &buf);
    if (t.sent < t.claimed) {
      EXPECT_EQ(r, KIVO_ERR_CLOSED);
      EXPECT_LT(buf.bytes.capacity(), 64u * 1024u);
    } else {
      ASSERT_EQ(r, t.header + static_cast<int>(t.sent));
      EXPECT_TRUE(std::equal(payload.begin(), payload.end(), buf.bytes.begin() + t.header));
    }
    std::lock_guard<std::mutex> g(fake::g_mu);
    fake::g_conns.erase(s.transport);
  }
}

}  // namespace
