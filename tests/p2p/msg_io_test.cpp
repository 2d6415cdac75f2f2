#include "p2p/msg_io.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "p2p/cipher.h"
#include "tests/p2p/test_util.h"

using p2ptest::Hex;
using p2ptest::ToHex;

namespace {

struct UdpPair {
  int a = -1, b = -1;
  sockaddr_in to_b{};
  UdpPair() {
    a = RVP_UdpSocket();
    b = RVP_UdpSocket();
    to_b.sin_family = AF_INET;
    to_b.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(b, reinterpret_cast<sockaddr*>(&to_b), sizeof(to_b));
    socklen_t l = sizeof(to_b);
    getsockname(b, reinterpret_cast<sockaddr*>(&to_b), &l);
  }
  ~UdpPair() {
    RVP_SocketClose(a);
    RVP_SocketClose(b);
  }
  // Sends raw bytes, scrambled with key.
  void Send(const char* key, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(RVP_UdpSend(key, to_b, bytes.data(), static_cast<int>(bytes.size()), a),
              static_cast<int>(bytes.size()));
  }
};

TEST(p2pRecvMsg, ChecksEveryDatagram) {
  UdpPair u;
  uint8_t type;
  uint16_t len;
  sockaddr_in from;
  std::vector<uint8_t> payload(8, 0xEE);
  struct Case {
    const char* what;
    std::string bytes;
    int result;
  } cases[] = {
      {"a message", "F1 41 00 02 AA BB", 0},
      {"three bytes", "F1 41 00", -4},
      {"one byte", "F1", -4},
      {"three bytes not starting with F1", "F0 41 00", -3},
      {"wrong first byte", "F0 41 00 02 AA BB", -3},
      {"length field says more", "F1 41 00 03 AA BB", -4},
      {"length field says less", "F1 41 00 01 AA BB", -4},
      {"payload of exactly the capacity", "F1 D0 00 08 01 02 03 04 05 06 07 08", 0},
      {"payload one byte over the capacity", "F1 D0 00 09 01 02 03 04 05 06 07 08 09", -5},
  };
  for (const Case& c : cases) {
    std::fill(payload.begin(), payload.end(), 0xEE);
    type = 0;
    len = 0;
    u.Send("pk", Hex(c.bytes));
    int r = RVP_RecvMsg("pk", &from, u.b, 1000, &type, &len, payload.data(), static_cast<int>(payload.size()));
    EXPECT_EQ(r, c.result) << c.what;
    std::vector<uint8_t> raw = Hex(c.bytes);
    if (r == 0 || r == -5) {
      EXPECT_EQ(type, raw[1]) << c.what;
      EXPECT_EQ(len, raw.size() - 4) << c.what;
      size_t copied = std::min<size_t>(len, payload.size());
      EXPECT_EQ(ToHex(payload.data(), copied), ToHex(raw.data() + 4, copied)) << c.what;
    } else {
      EXPECT_EQ(payload, std::vector<uint8_t>(8, 0xEE)) << c.what << ": nothing may be copied";
    }
  }
  EXPECT_EQ(RVP_RecvMsg("pk", &from, u.b, 20, &type, &len, payload.data(), 8), -1);
  EXPECT_EQ(RVP_RecvMsg("pk", &from, -1, 20, &type, &len, payload.data(), 8), -2);
}

TEST(p2pRecvMsg, SendMsgArrivesScrambledAndParses) {
  UdpPair u;
  RVP_Msg m;
  RVP_MsgInit(&m, MsgPunch);
  RVP_DidMake(&m.did, "ABC", 42, "XYZ");
  ASSERT_EQ(RVP_SendMsg("pk", u.a, u.to_b, m), 24);
  uint8_t type;
  uint16_t len;
  uint8_t payload[64];
  sockaddr_in from;
  ASSERT_EQ(RVP_RecvMsg("pk", &from, u.b, 1000, &type, &len, payload, sizeof(payload)), 0);
  RVP_Msg back;
  ASSERT_EQ(RVP_MsgParsePayload(type, payload, len, &back), kMsgOk);
  EXPECT_TRUE(RVP_DidEqual(back.did, m.did));
  // The same datagram read with another key fails its header check.
  ASSERT_EQ(RVP_SendMsg("pk", u.a, u.to_b, m), 24);
  EXPECT_NE(RVP_RecvMsg("other", &from, u.b, 1000, &type, &len, payload, sizeof(payload)), 0);
  RVP_MsgInit(&m, MsgData);
  m.channel = 9;
  EXPECT_EQ(RVP_SendMsg("pk", u.a, u.to_b, m), kMsgErrChannel);
}

// Frame of the message F1 E0 00 00 with the packet key "abc" and key bytes 12 34.
const char kGoldenFrame[] = "00 04 68 00 12 34 A5 83 62 84 46 96";

TEST(p2pTcpFrame, MatchesGoldenFrameAndDecodes) {
  const std::vector<uint8_t> msg = Hex("F1 E0 00 00");
  uint8_t frame[64];
  ASSERT_EQ(RVP_TcpFrameEncode("abc", msg.data(), 4, 0x12, 0x34, frame, sizeof(frame)), 12);
  EXPECT_EQ(ToHex(frame, 12), kGoldenFrame);
  RVP_TcpFrameHead h;
  ASSERT_EQ(RVP_TcpFrameHeadRead(frame, &h), 0);
  EXPECT_EQ(h.len, 4);
  EXPECT_EQ(h.k0, 0x12);
  EXPECT_EQ(h.k1, 0x34);
  uint8_t out[64];
  ASSERT_EQ(RVP_TcpFrameDecode("abc", h, frame + 8, out), 4);
  EXPECT_EQ(ToHex(out, 4), "F1 E0 00 00");

  // Simple framing: zero key and checksum bytes, packet key only.
  ASSERT_EQ(RVP_TcpFrameSimpleEncode("abc", msg.data(), 4, frame, sizeof(frame)), 12);
  EXPECT_EQ(ToHex(frame, 12), "00 04 68 00 00 00 00 00 3B F0 85 67");
  size_t used;
  ASSERT_EQ(RVP_TcpFrameTake("abc", true, frame, 12, out, sizeof(out), &used), 4);
  EXPECT_EQ(used, 12u);
  EXPECT_EQ(ToHex(out, 4), "F1 E0 00 00");
}

TEST(p2pTcpFrame, RefusesBadFrames) {
  std::vector<uint8_t> good = Hex(kGoldenFrame);
  uint8_t out[2048];
  size_t used = 99;
  ASSERT_EQ(RVP_TcpFrameTake("abc", false, good.data(), good.size(), out, sizeof(out), &used), 4);

  std::vector<uint8_t> swapped = good;
  std::swap(swapped[6], swapped[7]);
  EXPECT_EQ(RVP_TcpFrameTake("abc", false, swapped.data(), swapped.size(), out, sizeof(out), &used), -4);
  EXPECT_EQ(used, 0u);
  std::vector<uint8_t> flipped = good;
  flipped[9] ^= 1;
  EXPECT_EQ(RVP_TcpFrameTake("abc", false, flipped.data(), flipped.size(), out, sizeof(out), &used), -4);
  std::vector<uint8_t> mark = good;
  mark[2] = 'g';
  EXPECT_EQ(RVP_TcpFrameTake("abc", false, mark.data(), mark.size(), out, sizeof(out), &used), -1);
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_EQ(RVP_TcpFrameTake("abc", false, good.data(), n, out, sizeof(out), &used), -3) << n;
  EXPECT_EQ(RVP_TcpFrameTake("abc", false, good.data(), good.size(), out, 3, &used), -5);

  // A body of 1281 bytes is refused by its header alone; 1280 is taken.
  std::vector<uint8_t> msg(1281, 0);
  std::vector<uint8_t> frame(8 + 1281);
  EXPECT_EQ(RVP_TcpFrameEncode("abc", msg.data(), 1281, 1, 2, frame.data(), static_cast<int>(frame.size())), -1);
  frame[0] = 0x05;
  frame[1] = 0x01;
  frame[2] = 'h';
  RVP_TcpFrameHead h;
  EXPECT_EQ(RVP_TcpFrameHeadRead(frame.data(), &h), -2);
  EXPECT_EQ(RVP_TcpFrameTake("abc", false, frame.data(), frame.size(), out, sizeof(out), &used), -2);
  ASSERT_EQ(RVP_TcpFrameEncode("abc", msg.data(), 1280, 1, 2, frame.data(), static_cast<int>(frame.size())), 1288);
  EXPECT_EQ(RVP_TcpFrameTake("abc", false, frame.data(), 1288, out, sizeof(out), &used), 1280);
}

TEST(p2pTcpFrame, FramesTravelOverTcp) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  socklen_t l = sizeof(a);
  getsockname(ls, reinterpret_cast<sockaddr*>(&a), &l);
  listen(ls, 1);
  int c = RVP_TcpSocket();
  RVP_Address24 to = RVP_Addr24FromV4(a);
  ASSERT_EQ(RVP_TcpConnect(to, c, 2000, nullptr), 0);
  int s = accept(ls, nullptr, nullptr);

  RVP_Msg m;
  RVP_MsgInit(&m, MsgTcpConnectReq);
  RVP_DidMake(&m.did, "ABC", 1, "XYZ");
  uint8_t msg[128];
  int n = RVP_MsgBuild(m, msg, sizeof(msg));
  ASSERT_EQ(n, 56);
  ASSERT_EQ(RVP_TcpSendFrame("pk", n, c, msg, 2000, nullptr), 0);
  ASSERT_EQ(RVP_TcpSendFrameSimple("pk", n, c, msg, 0, nullptr), 0);
  uint8_t buf[256];
  int got = 0;
  ASSERT_EQ(RVP_TcpRecvAll(s, buf, 2 * (8 + n), 2000, nullptr, &got), 0);
  uint8_t out[128];
  size_t used;
  ASSERT_EQ(RVP_TcpFrameTake("pk", false, buf, static_cast<size_t>(got), out, sizeof(out), &used), n);
  EXPECT_EQ(std::memcmp(out, msg, static_cast<size_t>(n)), 0);
  ASSERT_EQ(RVP_TcpFrameTake("pk", true, buf + used, static_cast<size_t>(got) - used, out, sizeof(out), &used), n);
  EXPECT_EQ(std::memcmp(out, msg, static_cast<size_t>(n)), 0);
  close(s);
  close(ls);
  RVP_SocketClose(c);
}

TEST(p2pTcpRelay, HandshakeLayouts) {
  RVP_DidBlock did;
  RVP_DidMake(&did, "ABC", 123456, "XYZ");
  uint8_t req[28];
  ASSERT_EQ(RVP_TcpRelayReqWrite(req, did, 0xDEADBEEF, 1), 0);
  EXPECT_EQ(ToHex(req, 28),
            "41 42 43 00 00 00 00 00 00 01 E2 40 58 59 5A 00 00 00 00 00 DE AD BE EF 01 00 00 00");
  RVP_DidBlock d2;
  uint32_t ticket;
  uint8_t role;
  RVP_TcpRelayReqRead(req, &d2, &ticket, &role);
  EXPECT_TRUE(RVP_DidEqual(d2, did));
  EXPECT_EQ(ticket, 0xDEADBEEF);
  EXPECT_EQ(role, 1);

  RVP_Address24 c, d;
  RVP_AddrMake(&c, "10.0.0.2", 443);
  RVP_AddrMake(&d, "1.2.3.4", 5);
  uint8_t ans[48];
  RVP_TcpRelayAnsWrite(ans, c, d);
  EXPECT_EQ(ToHex(ans, 48),
            "00 02 BB 01 02 00 00 0A 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
            "00 02 05 00 04 03 02 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  RVP_Address24 c2, d2a;
  RVP_TcpRelayAnsRead(ans, &c2, &d2a);
  EXPECT_EQ(c2.v4, c.v4);
  EXPECT_EQ(d2a.port, d.port);
}

}  // namespace
