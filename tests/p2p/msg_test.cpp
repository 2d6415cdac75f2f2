// Every message type built from a record, compared with bytes written by hand
// from the payload layouts, parsed back and rebuilt; then hostile payloads.
#include "p2p/msg.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "p2p/cipher.h"
#include "tests/p2p/test_util.h"

using p2ptest::Hex;
using p2ptest::ToHex;
using p2ptest::V4;

namespace {

// Blocks of the hand-written payloads.
const std::string kDid = "41 42 43 00 00 00 00 00 | 00 01 E2 40 | 58 59 5A 00 00 00 00 00";  // ABC-123456-XYZ
const std::string kZero8 = "00 00 00 00 00 00 00 00";
const std::string kAddrA = "00 02 64 7D 0A 01 A8 C0 " + kZero8;  // 192.168.1.10:32100
const std::string kAddrB = "00 02 BB 01 02 00 00 0A " + kZero8;  // 10.0.0.2:443
const std::string kAddrC = "00 02 05 00 04 03 02 01 " + kZero8;  // 1.2.3.4:5
const std::string kA24A = kAddrA + " " + kZero8;
const std::string kA24B = kAddrB + " " + kZero8;
const std::string kDidKey = "6B 65 79 " + kZero8 + kZero8 + "00 00 00 00 00";  // "key", 24 bytes
const std::string kWakeup = "77 61 6B 65 " + kZero8 + "00 00 00 00";           // "wake", 16 bytes
const std::string kToken = "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F";
const std::string kPeer = "70 65 65 72 2D 31 00 00 " + kZero8 + kZero8 + kZero8 + kZero8;  // "peer-1", 40 bytes
const std::string kVersion = "05 00 09";

const uint8_t kHello[] = {'h', 'e', 'l', 'l', 'o'};
const uint8_t kAbc[] = {'a', 'b', 'c'};
const uint8_t kXy[] = {'x', 'y'};

enum Wrap { kPlain, kFixed, kLogin, kLoginFixed };

struct Case {
  uint8_t type;
  Wrap wrap;
  std::function<void(RVP_Msg&)> fill;
  std::string payload;  // the plain payload, by hand
};

std::vector<Case> Cases() {
  auto did = [](RVP_Msg& m) { RVP_DidMake(&m.did, "ABC", 123456, "XYZ"); };
  auto key = [](RVP_Msg& m) { std::strcpy(m.did_key, "key"); };
  auto wake = [](RVP_Msg& m) { std::strcpy(m.wakeup, "wake"); };
  auto a = [](RVP_Msg& m, int i, const char* ip, uint16_t port) { m.addr[i] = V4(ip, port); };
  auto a24 = [](RVP_Msg& m, int i, const char* ip, uint16_t port) { m.addr24[i] = RVP_Addr24FromV4(V4(ip, port)); };
  auto tcpreq = [=](RVP_Msg& m) {
    did(m);
    a24(m, 0, "10.0.0.2", 443);
    m.nat_type = 3;
    m.resend = 1;
  };
  const std::string tcpreq_bytes = kDid + kA24B + "03" + kVersion + "01 00 00 00";
  auto report = [=](RVP_Msg& m) {
    did(m);
    a(m, 0, "192.168.1.10", 32100);
    a(m, 1, "10.0.0.2", 443);
    a(m, 2, "1.2.3.4", 5);
  };
  auto bridge = [=](RVP_Msg& m, uint8_t kind) {
    did(m);
    m.bridge_kind = kind;
    std::strcpy(m.peer, "peer-1");
  };
  return {
      {MsgHello, kPlain, [](RVP_Msg&) {}, ""},
      {MsgHelloAck, kPlain, [=](RVP_Msg& m) { a(m, 0, "192.168.1.10", 32100); }, kAddrA},
      {MsgPunchPair, kPlain, [=](RVP_Msg& m) { a(m, 0, "192.168.1.10", 32100), a(m, 1, "10.0.0.2", 443); },
       kAddrA + kAddrB},
      {MsgPunchProbe, kPlain, [](RVP_Msg&) {}, ""},
      {MsgQueryDevice, kPlain, did, kDid + "00 00 00 00"},
      {MsgQueryDeviceKeyed, kPlain, [=](RVP_Msg& m) { did(m), key(m); }, kDid + "00 00 00 00" + kDidKey},
      {MsgDeviceState, kPlain,
       [=](RVP_Msg& m) {
         did(m), a(m, 0, "192.168.1.10", 32100), a(m, 1, "10.0.0.2", 443);
         m.value[0] = -1, m.value[1] = 30, m.state = 0;
       },
       kDid + kAddrA + kAddrB + "FF FF FF FF 00 00 00 1E 00 00 00 00 00"},
      {MsgLoginAck, kPlain, [](RVP_Msg& m) { m.state = 0xFE; }, "FE"},
      {MsgDevLogin, kLogin, [=](RVP_Msg& m) { did(m), m.nat_type = 3, a(m, 0, "192.168.1.10", 32100); },
       kDid + "03" + kVersion + kAddrA},
      {MsgLoginAckSecure, kLogin, [](RVP_Msg& m) { m.state = 0; }, "00"},
      {MsgDevLoginKeyed, kLogin, [=](RVP_Msg& m) { did(m), m.nat_type = 3, a(m, 0, "192.168.1.10", 32100), key(m); },
       kDid + "03" + kVersion + kAddrA + kDidKey},
      {MsgConnectReq, kPlain, [=](RVP_Msg& m) { did(m), a(m, 0, "192.168.1.10", 32100); }, kDid + kAddrA},
      {MsgConnectReqAck, kPlain, [](RVP_Msg& m) { m.state = 0xFE; }, "FE"},
      {MsgConnectReqWakeup, kPlain, [=](RVP_Msg& m) { did(m), a(m, 0, "192.168.1.10", 32100), wake(m); },
       kDid + kAddrA + kWakeup},
      {MsgConnectReqKeyed, kPlain,
       [=](RVP_Msg& m) { did(m), a(m, 0, "192.168.1.10", 32100), m.nat_type = 2, key(m); },
       kDid + kAddrA + "02" + kVersion + kDidKey},
      {MsgConnectReqKeyedWakeup, kPlain,
       [=](RVP_Msg& m) { did(m), a(m, 0, "192.168.1.10", 32100), m.nat_type = 2, key(m), wake(m); },
       kDid + kAddrA + "02" + kVersion + kDidKey + kWakeup},
      {MsgRelayedPunch, kPlain,
       [=](RVP_Msg& m) {
         did(m), m.punch_kind = 1, a24(m, 0, "10.0.0.2", 443), a24(m, 1, "192.168.1.10", 32100);
         for (int i = 0; i < 16; ++i) m.token[i] = static_cast<uint8_t>(i);
       },
       "A1 01 00 30" + kToken + kDid + kA24B + kA24A},
      {MsgRelayedPunch, kPlain,
       [=](RVP_Msg& m) {
         did(m), m.punch_kind = 3, m.flag = 1, a24(m, 0, "10.0.0.2", 443), a24(m, 1, "192.168.1.10", 32100);
         for (int i = 0; i < 16; ++i) m.token[i] = static_cast<uint8_t>(i);
       },
       "A1 03 00 34" + kToken + kDid + kA24B + kA24A + "01 00 00 00"},
      {MsgLanSearch, kPlain, [](RVP_Msg&) {}, ""},
      {MsgSmartLogin, kLoginFixed, did, kDid},
      {MsgSmartPeer, kFixed, [=](RVP_Msg& m) { did(m), a(m, 0, "192.168.1.10", 32100), a(m, 1, "10.0.0.2", 443); },
       kDid + kAddrA + kAddrB},
      {MsgPeerListToClient, kFixed,
       [=](RVP_Msg& m) {
         did(m), m.count = 2, m.list[0] = V4("192.168.1.10", 32100), m.list[1] = V4("10.0.0.2", 443);
       },
       kDid + "00 02 00 00" + kAddrA + kAddrB},
      {MsgPeerListToDevice, kFixed, [=](RVP_Msg& m) { did(m), m.count = 1, m.list[0] = V4("1.2.3.4", 5); },
       kDid + "00 01 00 00" + kAddrC},
      {MsgPeerProbe, kFixed, [=](RVP_Msg& m) { did(m), a(m, 0, "192.168.1.10", 32100); }, kDid + kAddrA},
      {MsgPeerProbeDev, kFixed, [=](RVP_Msg& m) { did(m), m.nat_type = 3, a(m, 0, "192.168.1.10", 32100); },
       kDid + "03" + kVersion + kAddrA},
      {MsgPortRangePunchReq, kFixed,
       [=](RVP_Msg& m) { a(m, 0, "1.2.3.4", 5), m.range = 2, m.step = 1, m.skip_exact = 0; }, kAddrC + "00 02 01 00"},
      {MsgPortBurstReq, kPlain, [=](RVP_Msg& m) { a(m, 0, "1.2.3.4", 5); }, kAddrC},
      {MsgPunch, kPlain, did, kDid},
      {MsgPunchReady, kPlain, did, kDid},
      {MsgTcpDirectOffer, kPlain, [=](RVP_Msg& m) { did(m), a24(m, 0, "10.0.0.2", 443); }, kDid + kA24B},
      {MsgTcpDirectReady, kPlain, did, kDid},
      {MsgTcpRelayOffer, kPlain, [=](RVP_Msg& m) { did(m), m.ticket = 0xDEADBEEF, a24(m, 0, "10.0.0.2", 443); },
       kDid + "DE AD BE EF" + kA24B},
      {MsgTcpConnectReq, kPlain, tcpreq, tcpreq_bytes},
      {MsgTcpConnectReqKeyed, kPlain, [=](RVP_Msg& m) { tcpreq(m), key(m); }, tcpreq_bytes + kDidKey},
      {MsgTcpServerState, kPlain, [](RVP_Msg& m) { m.state = 250; }, "FA 00"},
      {MsgTcpConnectReqWakeup, kPlain, [=](RVP_Msg& m) { tcpreq(m), wake(m); }, tcpreq_bytes + kWakeup},
      {MsgTcpConnectReqKeyedWakeup, kPlain, [=](RVP_Msg& m) { tcpreq(m), key(m), wake(m); },
       tcpreq_bytes + kDidKey + kWakeup},
      {MsgRelayReqWakeup, kPlain, [=](RVP_Msg& m) { did(m), wake(m); }, kDid + kWakeup},
      {MsgRelayReq, kPlain, did, kDid},
      {MsgRelayList, kPlain,
       [=](RVP_Msg& m) { m.count = 2, m.list[0] = V4("192.168.1.10", 32100), m.list[1] = V4("10.0.0.2", 443); },
       "02 00 00 00" + kAddrA + kAddrB},
      {MsgRelayReqKeyed, kPlain, [=](RVP_Msg& m) { did(m), key(m); }, kDid + kDidKey},
      {MsgRelayReqKeyedWakeup, kPlain, [=](RVP_Msg& m) { did(m), key(m), wake(m); }, kDid + kDidKey + kWakeup},
      {MsgRelayHello, kPlain, [](RVP_Msg&) {}, ""},
      {MsgRelayHelloAck, kPlain, [](RVP_Msg&) {}, ""},
      {MsgRelayPortReq, kPlain, [](RVP_Msg&) {}, ""},
      {MsgRelayPortAck, kPlain, [](RVP_Msg& m) { m.ticket = 0x12345678, m.port = 32101; }, "12 34 56 78 7D 65 00 00"},
      {MsgRelayTo, kPlain, [=](RVP_Msg& m) { did(m), a(m, 0, "10.0.0.2", 443), m.ticket = 0x12345678; },
       kDid + kAddrB + "12 34 56 78"},
      {MsgRelayToAck, kPlain, [](RVP_Msg&) {}, ""},
      {MsgRelayPkt, kPlain, [=](RVP_Msg& m) { a(m, 0, "10.0.0.2", 443), m.ticket = 0x12345678; },
       kAddrB + "12 34 56 78"},
      {MsgRelayRdy, kPlain, [=](RVP_Msg& m) { m.ticket = 0x12345678, did(m), m.role = 1; },
       "12 34 56 78" + kDid + "01 00 00 00"},
      {MsgRelayReady, kPlain, did, kDid},
      {MsgServiceStart, kPlain, [](RVP_Msg&) {}, ""},
      {MsgRelayAddr, kPlain, [=](RVP_Msg& m) { a(m, 0, "1.2.3.4", 5); }, kAddrC},
      {MsgRelayRegister, kLogin, did, kDid},
      {MsgRelayRegister, kLogin, [=](RVP_Msg& m) { m.flag = 1, a(m, 0, "1.2.3.4", 5); }, kAddrC},
      {MsgData, kPlain,
       [](RVP_Msg& m) { m.channel = 3, m.seq = 0xFFFE, m.data = kHello, m.data_len = sizeof(kHello); },
       "D1 03 FF FE 68 65 6C 6C 6F"},
      {MsgAck, kPlain, [](RVP_Msg& m) { m.channel = 7, m.count = 2, m.seqs[0] = 1, m.seqs[1] = 0xFFFF; },
       "D1 07 00 02 00 01 FF FF"},
      {MsgDatagram, kPlain, [](RVP_Msg& m) { m.channel = 0, m.seq = 5, m.data = kAbc, m.data_len = 3; },
       "D1 00 00 05 61 62 63"},
      {MsgBridge, kPlain, [=](RVP_Msg& m) { bridge(m, 18), m.status = 1; },
       "D1 12 00 08" + kPeer + kDid + "00 01 00 00 00 00 00 00"},
      {MsgBridge, kPlain, [=](RVP_Msg& m) { bridge(m, 33), m.data = kAbc, m.data_len = 3; },
       "D1 21 00 0B" + kPeer + kDid + "00 03 00 00 00 00 00 00 61 62 63"},
      {MsgBridge, kPlain, [=](RVP_Msg& m) { bridge(m, 17), m.port = 8080, m.data = kXy, m.data_len = 2; },
       "D1 11 00 0A" + kPeer + kDid + "1F 90 00 02 00 00 00 00 78 79"},
      {MsgAlive, kPlain, [](RVP_Msg&) {}, ""},
      {MsgAliveAck, kPlain, [](RVP_Msg&) {}, ""},
      {MsgClose, kPlain, [](RVP_Msg&) {}, ""},
      {MsgConnectReport, kFixed,
       [=](RVP_Msg& m) {
         report(m);
         m.result = -3, m.max_sess = 256, m.in_use = 2, m.elapsed_ms = 1234;
         m.role = 0, m.session_mode = 1, m.connect_mode = 12, m.probe = 1;
       },
       kDid + "FF FF FF FD 01 00 00 02 04 D2 00 01 0C 01 00 00" + kAddrA + kAddrB + kAddrC},
      {MsgRelayedPunchReport, kFixed, [=](RVP_Msg& m) { report(m), m.handle = 7, m.role = 1; },
       kDid + "00 00 00 07 01 00 00 00" + kAddrA + kAddrB + kAddrC},
  };
}

// The wire payload of a hand-written plain payload.
std::vector<uint8_t> Wrapped(Wrap w, std::vector<uint8_t> plain) {
  if (w == kLogin || w == kLoginFixed) {
    std::vector<uint8_t> c(plain.size() + 4);
    RVP_LoginEncrypt(nullptr, plain.data(), static_cast<int>(plain.size()), c.data(), static_cast<int>(c.size()));
    plain = c;
  }
  if (w == kFixed || w == kLoginFixed)
    RVP_Scramble(p2p::kFixedPayloadKey, plain.data(), plain.data(), static_cast<uint16_t>(plain.size()));
  return plain;
}

std::vector<uint8_t> Build(const RVP_Msg& m, int* result = nullptr) {
  std::vector<uint8_t> out(2048);
  int n = RVP_MsgBuild(m, out.data(), out.size());
  if (result) *result = n;
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

TEST(p2pMsg, EveryTypeMatchesItsHandWrittenLayout) {
  std::vector<bool> covered(256);
  for (const Case& c : Cases()) {
    SCOPED_TRACE(RVP_MsgInfoOf(c.type) ? RVP_MsgInfoOf(c.type)->name : "unknown");
    RVP_Msg m;
    RVP_MsgInit(&m, c.type);
    c.fill(m);
    int n;
    std::vector<uint8_t> built = Build(m, &n);
    ASSERT_GT(n, 0);
    std::vector<uint8_t> payload = Wrapped(c.wrap, Hex(c.payload));
    std::vector<uint8_t> expect = {0xF1, c.type, static_cast<uint8_t>(payload.size() >> 8),
                                   static_cast<uint8_t>(payload.size())};
    expect.insert(expect.end(), payload.begin(), payload.end());
    EXPECT_EQ(ToHex(built), ToHex(expect));

    // Parse back from an exact-size copy and build again.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[built.size()]);
    std::memcpy(exact.get(), built.data(), built.size());
    RVP_Msg back;
    ASSERT_EQ(RVP_MsgParse(exact.get(), built.size(), &back), kMsgOk);
    EXPECT_EQ(back.type, c.type);
    EXPECT_EQ(ToHex(Build(back)), ToHex(built));
    covered[c.type] = true;
  }
  for (int t = 0; t < 256; ++t)
    if (RVP_MsgInfoOf(static_cast<uint8_t>(t))) {
      EXPECT_TRUE(covered[t]) << "no golden case for type " << t;
    }
}

TEST(p2pMsg, ParsedRecordsCarryTheirFields) {
  RVP_Msg m;
  ASSERT_EQ(RVP_MsgParsePayload(MsgDeviceState, Hex(kDid + kAddrA + kAddrB + "FF FF FF FF 00 00 00 1E 01").data(),
                                61, &m),
            kMsgOk);
  EXPECT_STREQ(m.did.prefix, "ABC");
  EXPECT_EQ(m.did.serial, 123456u);
  EXPECT_STREQ(m.did.suffix, "XYZ");
  EXPECT_EQ(m.value[0], -1);
  EXPECT_EQ(m.value[1], 30);
  EXPECT_EQ(m.state, 1);
  EXPECT_EQ(m.addr[0].sin_port, htons(32100));
  EXPECT_EQ(m.addr[1].sin_addr.s_addr, htonl(0x0A000002));

  std::vector<uint8_t> tss = Hex("FA");
  ASSERT_EQ(RVP_MsgParsePayload(MsgTcpServerState, tss.data(), 1, &m), kMsgOk);
  EXPECT_EQ(m.state, 250);
  EXPECT_EQ(m.state_next, 0);

  std::vector<uint8_t> data = Hex("D1 02 00 09 AA BB");
  ASSERT_EQ(RVP_MsgParsePayload(MsgData, data.data(), data.size(), &m), kMsgOk);
  EXPECT_EQ(m.channel, 2);
  EXPECT_EQ(m.seq, 9);
  ASSERT_EQ(m.data_len, 2);
  EXPECT_EQ(m.data, data.data() + 4);
}

TEST(p2pMsg, AckWithSeventeenEntriesHasA38BytePayload) {
  RVP_Msg m;
  RVP_MsgInit(&m, MsgAck);
  m.channel = 1;
  m.count = 17;
  for (int i = 0; i < 17; ++i) m.seqs[i] = static_cast<uint16_t>(100 + i);
  std::vector<uint8_t> b = Build(m);
  EXPECT_EQ(b.size(), 4u + 38u);
  RVP_Msg back;
  ASSERT_EQ(RVP_MsgParse(b.data(), b.size(), &back), kMsgOk);
  EXPECT_EQ(back.count, 17);
  EXPECT_EQ(back.seqs[16], 116);
}

// Every prefix of every valid message: no read out of bounds, and an error
// wherever the payload is below the type's minimum.
TEST(p2pMsg, TruncatedPayloadsAreRefused) {
  for (const Case& c : Cases()) {
    RVP_Msg m;
    RVP_MsgInit(&m, c.type);
    c.fill(m);
    std::vector<uint8_t> b = Build(m);
    size_t full = b.size() - 4;
    for (size_t len = 0; len < full; ++len) {
      std::unique_ptr<uint8_t[]> exact(new uint8_t[len + 1]);
      std::memcpy(exact.get(), b.data() + 4, len);
      RVP_Msg out;
      int r = RVP_MsgParsePayload(c.type, exact.get(), len, &out);
      if (len < RVP_MsgInfoOf(c.type)->min) {
        EXPECT_EQ(r, kMsgErrShort) << RVP_MsgInfoOf(c.type)->name << " " << len;
      }
    }
  }
}

TEST(p2pMsg, HostilePayloads) {
  struct Hostile {
    const char* what;
    uint8_t type;
    std::string payload;
    int result;
  } cases[] = {
      {"data on channel 8", MsgData, "D1 08 00 01 AA", kMsgErrChannel},
      {"data with a wrong head", MsgData, "D2 00 00 01 AA", kMsgErrHead},
      {"ack on channel 9", MsgAck, "D1 09 00 00", kMsgErrChannel},
      {"ack announcing 82 entries", MsgAck, "D1 00 00 52", kMsgErrCount},
      {"ack count beyond its payload", MsgAck, "D1 00 00 03 00 01 00 02", kMsgErrCount},
      {"datagram on channel 255", MsgDatagram, "D1 FF 00 00", kMsgErrChannel},
      {"relayed punch with a wrong head", MsgRelayedPunch, "A2 01 00 30" + kToken + kDid + kA24A + kA24B,
       kMsgErrHead},
      {"relayed punch kind 3 without its flag", MsgRelayedPunch, "A1 03 00 34" + kToken + kDid + kA24A + kA24B,
       kMsgErrShort},
      {"bridge whose length field lies", MsgBridge, "D1 12 00 09" + kPeer + kDid + "00 01 00 00 00 00 00 00",
       kMsgErrHead},
      {"bridge kind 33 whose count lies", MsgBridge,
       "D1 21 00 0B" + kPeer + kDid + "00 04 00 00 00 00 00 00 61 62 63", kMsgErrCount},
      {"bridge kind 18 without a status", MsgBridge, "D1 12 00 00" + kPeer + kDid, kMsgErrShort},
      {"login block that does not decipher", MsgDevLogin, kDid + "03" + kVersion + kAddrA + "00 00 00 00",
       kMsgErrCipher},
      {"relay register below its minimum", MsgRelayRegister, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
       kMsgErrShort},
  };
  for (const Hostile& h : cases) {
    std::vector<uint8_t> p = Hex(h.payload);
    std::unique_ptr<uint8_t[]> exact(new uint8_t[p.size() + 1]);
    std::memcpy(exact.get(), p.data(), p.size());
    RVP_Msg m;
    EXPECT_EQ(RVP_MsgParsePayload(h.type, exact.get(), p.size(), &m), h.result) << h.what;
  }

  // Data longer than a packet's buffer.
  std::vector<uint8_t> big(4 + 1025, 0);
  big[0] = 0xD1;
  RVP_Msg m;
  EXPECT_EQ(RVP_MsgParsePayload(MsgData, big.data(), big.size(), &m), kMsgErrLong);
  EXPECT_EQ(RVP_MsgParsePayload(MsgData, big.data(), big.size() - 1, &m), kMsgOk);
  big.resize(4 + 1241);
  EXPECT_EQ(RVP_MsgParsePayload(MsgDatagram, big.data(), big.size(), &m), kMsgErrLong);
  EXPECT_EQ(RVP_MsgParsePayload(MsgDatagram, big.data(), big.size() - 1, &m), kMsgOk);
  EXPECT_EQ(RVP_MsgParsePayload(0x04, big.data(), 0, &m), kMsgErrUnknown);

  // A relay register whose plain block is neither an address nor a DID block.
  uint8_t plain[18] = {}, ciphered[22];
  ASSERT_EQ(RVP_LoginEncrypt(nullptr, plain, 18, ciphered, sizeof(ciphered)), 22);
  EXPECT_EQ(RVP_MsgParsePayload(MsgRelayRegister, ciphered, 22, &m), kMsgErrShort);
}

TEST(p2pMsg, CountsAreBoundedByThePayload) {
  // A peer list announcing 1000 addresses that carries two.
  std::vector<uint8_t> p = Wrapped(kFixed, Hex(kDid + "03 E8 00 00" + kAddrA + kAddrB));
  RVP_Msg m;
  ASSERT_EQ(RVP_MsgParsePayload(MsgPeerListToClient, p.data(), p.size(), &m), kMsgOk);
  EXPECT_EQ(m.count, 2);
  // A relay list announcing 255 that carries one and a half.
  std::vector<uint8_t> r = Hex("FF 00 00 00" + kAddrC + "00 02 05 00");
  ASSERT_EQ(RVP_MsgParsePayload(MsgRelayList, r.data(), r.size(), &m), kMsgOk);
  EXPECT_EQ(m.count, 1);
  EXPECT_EQ(m.list[0].sin_port, htons(5));
}

TEST(p2pMsg, MessageHeaderChecks) {
  RVP_Msg m;
  std::vector<uint8_t> three = Hex("F1 00 00");
  EXPECT_EQ(RVP_MsgParse(three.data(), three.size(), &m), kMsgErrHeader);
  std::vector<uint8_t> wrong = Hex("F0 00 00 00");
  EXPECT_EQ(RVP_MsgParse(wrong.data(), wrong.size(), &m), kMsgErrHeader);
  std::vector<uint8_t> longer = Hex("F1 E0 00 01");
  EXPECT_EQ(RVP_MsgParse(longer.data(), longer.size(), &m), kMsgErrLength);
  std::vector<uint8_t> shorter = Hex("F1 E0 00 00 00");
  EXPECT_EQ(RVP_MsgParse(shorter.data(), shorter.size(), &m), kMsgErrLength);
  uint8_t type;
  uint16_t len;
  EXPECT_EQ(RVP_MsgHeaderRead(three.data(), 3, &type, &len), -1);
  std::vector<uint8_t> ok = Hex("F1 D0 01 02");
  ASSERT_EQ(RVP_MsgHeaderRead(ok.data(), 4, &type, &len), 0);
  EXPECT_EQ(type, 0xD0);
  EXPECT_EQ(len, 0x0102);
}

TEST(p2pMsg, DidFieldsWithoutTerminatorAreSafe) {
  // Eight letters fill the prefix field with no terminator.
  std::vector<uint8_t> p = Hex("41 42 43 44 45 46 47 48 | 00 00 00 01 | 53 54 55 56 57 58 59 5A");
  RVP_Msg m;
  ASSERT_EQ(RVP_MsgParsePayload(MsgPunch, p.data(), p.size(), &m), kMsgOk);
  EXPECT_STREQ(m.did.prefix, "ABCDEFGH");
  EXPECT_STREQ(m.did.suffix, "STUVWXYZ");
  char text[24];
  EXPECT_EQ(RVP_DidText(m.did, text, sizeof(text)), -1);
  EXPECT_STREQ(text, "");
  char wide[32];
  EXPECT_EQ(RVP_DidText(m.did, wide, sizeof(wide)), 24);
  EXPECT_STREQ(wide, "ABCDEFGH-000001-STUVWXYZ");
  // Such a DID cannot be sent again: the fields hold 7 characters.
  EXPECT_EQ(RVP_MsgBuild(m, std::vector<uint8_t>(64).data(), 64), kMsgErrField);
}

TEST(p2pMsg, TextsThatDoNotFitTheirFieldsAreRefused) {
  RVP_DidBlock did;
  EXPECT_EQ(RVP_DidMake(&did, "ABCDEFGH", 1, "XYZ"), -1);
  EXPECT_EQ(RVP_DidMake(&did, "ABC", 1, "ABCDEFGH"), -1);
  ASSERT_EQ(RVP_DidMake(&did, "ABCDEFG", 2000000000, "HIJKLMN"), 0);
  char text[24];
  EXPECT_EQ(RVP_DidText(did, text, sizeof(text)), -1) << "26 characters do not fit a 24-byte DID text";
  char wide[32];
  EXPECT_EQ(RVP_DidText(did, wide, sizeof(wide)), 26);
  EXPECT_STREQ(wide, "ABCDEFG-2000000000-HIJKLMN");

  RVP_Msg m;
  RVP_MsgInit(&m, MsgRelayReqKeyed);
  RVP_DidMake(&m.did, "ABC", 1, "XYZ");
  std::memset(m.did_key, 'k', 24);
  uint8_t out[128];
  EXPECT_EQ(RVP_MsgBuild(m, out, sizeof(out)), kMsgErrField);
  m.did_key[23] = 0;
  EXPECT_GT(RVP_MsgBuild(m, out, sizeof(out)), 0);
  EXPECT_EQ(RVP_MsgBuild(m, out, 10), kMsgErrSpace);

  RVP_MsgInit(&m, MsgData);
  m.channel = 8;
  EXPECT_EQ(RVP_MsgBuild(m, out, sizeof(out)), kMsgErrChannel);
  RVP_MsgInit(&m, MsgAck);
  m.count = 82;
  EXPECT_EQ(RVP_MsgBuild(m, out, sizeof(out)), kMsgErrCount);
  RVP_MsgInit(&m, MsgBridge);
  std::memset(m.peer, 'p', 40);
  EXPECT_EQ(RVP_MsgBuild(m, out, sizeof(out)), kMsgErrField);
}

TEST(p2pMsg, TableSizesAgreeWithTheBuilder) {
  for (const Case& c : Cases()) {
    const RVP_MsgInfo* info = RVP_MsgInfoOf(c.type);
    ASSERT_NE(info, nullptr);
    EXPECT_LE(info->min, std::max<uint16_t>(info->size, info->min)) << info->name;
    RVP_Msg m;
    RVP_MsgInit(&m, c.type);
    c.fill(m);
    std::vector<uint8_t> b = Build(m);
    EXPECT_GE(b.size() - 4, info->min) << info->name << ": the builder writes less than a receiver needs";
    EXPECT_LE(b.size(), static_cast<size_t>(p2p::kMaxWrittenMsg)) << info->name;
  }
}

}  // namespace
