// The "ovwebrtc" transport pieces: the demultiplexer's queues, addresses, signalling texts, "ovwebrtc2".
#include "sdk/webrtc/ov_transport.h"
#include "sdk/webrtc/ov_signal2.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "util/base64.h"

TEST(DataChannelDemux, QueuesBurstsDropsAndTimeOuts) {
  DataChannelDemux d(nullptr);
  char buf[16];
  EXPECT_EQ(-1, d.Recv(7, buf, 16, 0));
  EXPECT_EQ(KIVO_ERR_TIMEOUT, d.Recv(2, buf, 16, 200));  // no channel-2 data yet
  uint8_t nine = 9;
  d.OnData(9, &nine, 1);  // dropped
  // A 600000-byte burst on channel 2 arrives whole while the reader drains the 524288-byte queue.
  std::vector<uint8_t> burst(600000);
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<uint8_t>(i * 7);
  std::thread writer([&] { d.OnData(2, burst.data(), static_cast<int>(burst.size())); });
  std::vector<uint8_t> got;
  std::vector<uint8_t> chunk(70000);
  while (got.size() < burst.size()) {
    int n = d.Recv(2, chunk.data(), static_cast<int>(chunk.size()), 2000);
    ASSERT_GT(n, 0);
    got.insert(got.end(), chunk.begin(), chunk.begin() + n);
  }
  writer.join();
  EXPECT_EQ(burst, got);
  // A writer blocked on a full queue gives up once the demultiplexer closes.
  std::thread stuck([&] { d.OnData(3, burst.data(), static_cast<int>(burst.size())); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  d.StopWriters();
  stuck.join();
}

TEST(OvwebrtcSignaling, AddressesEventsAndFrames) {
  std::vector<IceEntry> ice;
  std::string ip;
  EXPECT_EQ(1, ParseOvwebrtcAddress(R"({"ip":"127.0.0.1","stuns":[{"ip":"x","port":1}]})", &ice, &ip));
  EXPECT_EQ("127.0.0.1", ip);
  EXPECT_EQ(
      0, ParseOvwebrtcAddress(R"([{"ip":"h","user":"u","pass":"p","port":"3478","is_turn":1}])", &ice, &ip));
  ASSERT_EQ(1u, ice.size());
  EXPECT_EQ(3478u, ice[0].port);
  EXPECT_EQ(1u, ice[0].is_turn);
  EXPECT_EQ(0, ParseOvwebrtcAddress(R"({"stuns":[{"ip":"s","port":19302,"is_turn":0}]})", &ice, &ip));
  EXPECT_EQ(1u, ice.size());
  EXPECT_EQ(0, ParseOvwebrtcAddress("not json", &ice, &ip));
  EXPECT_TRUE(ice.empty());

  // The call event: an array of two strings, the second the event object's text; an SDP above 2047 bytes
  // and an event above 8192 bytes are carried whole.
  std::string sdp(9000, 'a');
  std::string ev = BuildCallEvent("u1", "dev1", "ABCDEFGHIJKLMNOP", 0, sdp.data(), sdp.size());
  cJSON* arr = cJSON_Parse(ev.c_str());
  ASSERT_TRUE(cJSON_IsArray(arr));
  EXPECT_STREQ("ov/device/dev1/webrtc", cJSON_GetArrayItem(arr, 0)->valuestring);
  cJSON* obj = cJSON_Parse(cJSON_GetArrayItem(arr, 1)->valuestring);
  cJSON* msg = cJSON_GetObjectItem(obj, "message");
  EXPECT_STREQ("call", cJSON_GetObjectItem(msg, "type")->valuestring);
  std::string b64 = cJSON_GetObjectItem(msg, "offer")->valuestring;
  std::string back(sdp.size() + 4, '\0');
  back.resize(static_cast<size_t>(Base64Decode(b64.c_str(), back.data(), back.size())));
  EXPECT_EQ(sdp, back);
  cJSON_Delete(obj);
  cJSON_Delete(arr);

  // Incoming: an answer of 5000 bytes decoded whole; a candidate inside Base64 JSON.
  std::string answer(5000, 'v');
  std::string enc(answer.size() * 2, '\0');
  enc.resize(static_cast<size_t>(Base64Encode(answer.data(), answer.size(), enc.data(), enc.size())));
  std::string inner = R"({"id":"R1","type":"answer","sdp":")" + enc + "\"}";
  cJSON* event = cJSON_CreateObject();
  cJSON_AddStringToObject(event, "message", inner.c_str());
  SignalingMessage m;
  ASSERT_EQ(0, ParseSignalingEvent(event, &m));
  EXPECT_EQ("R1", m.id);
  EXPECT_EQ(answer, m.sdp);
  WebrtcOnSignaling(event);  // unknown request id: reported, nothing changes
  cJSON_Delete(event);
  const std::string cand = R"({"candidate":"candidate:1 1 UDP 1 127.0.0.1 5000 typ host"})";
  enc.assign(cand.size() * 2, '\0');
  enc.resize(static_cast<size_t>(Base64Encode(cand.data(), cand.size(), enc.data(), enc.size())));
  event = cJSON_CreateObject();
  cJSON_AddStringToObject(event, "message",
                          (R"({"id":"R2","type":"candidate","sdp":")" + enc + "\"}").c_str());
  ASSERT_EQ(0, ParseSignalingEvent(event, &m));
  EXPECT_EQ("candidate:1 1 UDP 1 127.0.0.1 5000 typ host", m.candidate);
  cJSON_Delete(event);

  // LAN frames with and without "42"; other messages skipped; other shapes end the reader.
  const std::string frame = R"(["message",{"type":"webrtc","message":"{}"}])";
  for (const std::string& f : {frame, "42" + frame}) {
    cJSON* e = nullptr;
    EXPECT_EQ(1, ParseLanFrame(f.data(), f.size(), &e)) << f;
    cJSON_Delete(e);
  }
  cJSON* e = nullptr;
  const std::string other = R"(42["status",{}])", bad = "{}";
  EXPECT_EQ(0, ParseLanFrame(other.data(), other.size(), &e));
  EXPECT_EQ(-1, ParseLanFrame(bad.data(), bad.size(), &e));

  std::string id = MakeReqId();
  EXPECT_EQ(16u, id.size());
  // Reset twice and signalling after it: no crash, the lock stays usable.
  WebrtcSignalingSetup(nullptr, "u", "x");
  WebrtcSignalingReset();
  WebrtcSignalingReset();
}

// A reader polling a channel whose queue the writer makes at that moment: each byte arrives once, in order.
TEST(DataChannelDemux, QueueMadeWhileAReaderWaits) {
  for (int round = 0; round < 8; ++round) {
    DataChannelDemux d(nullptr);
    std::vector<uint8_t> sent(3000);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 13 + round);
    std::vector<uint8_t> got;
    std::thread reader([&] {
      uint8_t buf[700];
      while (got.size() < sent.size()) {
        const int n = d.Recv(4, buf, sizeof(buf), 2000);
        if (n <= 0) break;
        got.insert(got.end(), buf, buf + n);
      }
    });
    if (round % 2) std::this_thread::sleep_for(std::chrono::milliseconds(round * 10));
    for (size_t at = 0; at < sent.size(); at += 1000) d.OnData(4, sent.data() + at, 1000);
    reader.join();
    EXPECT_EQ(sent, got) << "round " << round;
  }
}

// Transports that can never work here refuse at once with -10003, never with a time-out: the cloud path
// without the push channel, "ovwebrtc2" tokens that are no room URL.
TEST(OvwebrtcTransports, RefuseAtOnceWhereTheyCanNeverWork) {
  WebrtcSignalingReset();
  const struct {
    const TransportOps* ops;
    const char* rest;
  } cases[] = {
      {&kOvwebrtcTransport, R"([{"ip":"127.0.0.1","port":3478,"is_turn":0}])"},
      {&kOvwebrtcTransport, "not json"},
      {&kOvwebrtc2Transport, "token"},
      {&kOvwebrtc2Transport, ""},
      {&kOvwebrtc2Transport, "http://127.0.0.1:1/room"},
      {&kOvwebrtc2Transport, "ws://"},
      {&kOvwebrtc2Transport, "ws:///room"},
      {&kOvwebrtc2Transport, "ws://:80/room"},
  };
  for (const auto& c : cases) {
    TransportHandle h = 0;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(KIVO_ERR_UNSUPPORTED, c.ops->connect(c.rest, "uuid", 0, &h)) << c.ops->name << " " << c.rest;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1)) << c.rest;
    EXPECT_EQ(0, h);
  }
  // A room URL whose server is not there: a failure of this attempt, soon.
  TransportHandle h = 0;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(KIVO_ERR_TIMEOUT, kOvwebrtc2Transport.connect("ws://127.0.0.1:1/room", "uuid", 0, &h));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_STREQ("ovwebrtc2", kOvwebrtc2Transport.name);
  ovwebrtcDeinit();  // the attempt started the library
}

// The second transport's messages survive a round trip; texts that are no message are refused.
TEST(Signal2, MessagesRoundTripAndBadTextIsRefused) {
  Signal2Message m;
  m.type = "candidate";
  m.to = "VLM-1";
  m.id = "ABCDEFGH01234567";
  m.candidate = "candidate:1 1 UDP 2015363327 127.0.0.1 40000 typ host";
  const std::string text = BuildSignal2(m);
  EXPECT_NE(std::string::npos, text.find(R"("sdpMid":"0")")) << text;
  Signal2Message back;
  ASSERT_EQ(0, ParseSignal2(text.data(), text.size(), &back));
  EXPECT_EQ(m.type, back.type);
  EXPECT_EQ(m.to, back.to);
  EXPECT_EQ(m.id, back.id);
  EXPECT_EQ(m.candidate, back.candidate);
  Signal2Message joined;
  joined.type = "joined";
  joined.ice = R"([{"ip":"127.0.0.1","port":3478,"is_turn":1,"user":"u","pass":"p"}])";
  const std::string jt = BuildSignal2(joined);
  ASSERT_EQ(0, ParseSignal2(jt.data(), jt.size(), &back));
  EXPECT_EQ(joined.ice, back.ice);
  for (const std::string bad : {"", "[]", "{}", R"({"type":7})", "{\"type\":\"offer\"", "null"})
    EXPECT_EQ(-1, ParseSignal2(bad.data(), bad.size(), &back)) << bad;
}
