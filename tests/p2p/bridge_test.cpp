// The loopback bridge of a listening device: bridge messages from the servers
// reach local programs on 127.0.0.1, what the local programs send goes back
// to the servers as bridge messages, byte for byte as written by hand from
// the layouts; the peer table; and the mends: only the servers' bridge
// messages count, the bridge socket takes datagrams on 127.0.0.1 only, and
// the server queue is capped and emptied at de-initialisation.
#include "p2p/bridge.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "p2p/connect.h"
#include "p2p/rvs_api.h"
#include "tests/p2p/fake_servers.h"
#include "tests/p2p/netns.h"

using namespace p2ptest;

namespace {

constexpr char kDidText[] = "ABC-123456-XYZ";
const std::string kDidHex = "41 42 43 00 00 00 00 00 | 00 01 E2 40 | 58 59 5A 00 00 00 00 00";

// A peer text's 40-byte field, or its 32-byte local head.
std::string PeerHex(const std::string& peer, size_t width = 40) {
  std::vector<uint8_t> b(width, 0);
  std::memcpy(b.data(), peer.data(), std::min(peer.size(), width));
  return ToHex(b);
}
std::string TextHex(const std::string& t) { return ToHex(reinterpret_cast<const uint8_t*>(t.data()), t.size()); }

class p2pBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(servers.Start(&why)) << why;
    listen = std::async(std::launch::async, [] { return RVS_Listen(kDidText, 60, 0, 1); });
    Datagram login;
    ASSERT_TRUE(servers.Expect(0, MsgDevLogin, 3000, &login));
    device = login.from;
    // A secure login acknowledgement makes the session's DID the bridge's identity.
    RVP_Msg ack;
    RVP_MsgInit(&ack, MsgLoginAckSecure);
    ack.state = 0;
    servers.Send(0, device, ack);
    ASSERT_TRUE(WaitUntil([] { return RVP_BridgePort() != 0; }, 2000));
    bridge = V4("127.0.0.1", RVP_BridgePort());
    servers.Drain(200);
  }
  void TearDown() override {
    RVS_Listen_Break();
    if (listen.valid()) {
      EXPECT_EQ(listen.get(), RVS_ERR_LISTEN_BREAK);
    }
  }

  // A MsgBridge from server i (or from another socket) to the device.
  void Bridge(uint8_t kind, const std::string& peer, uint16_t port, const std::string& data,
              const Peer* from = nullptr, const char* did = kDidText) {
    RVP_Msg m;
    RVP_MsgInit(&m, MsgBridge);
    RVP_DidParts parts;
    ASSERT_EQ(RVP_DidSplit(did, &parts), 0);
    RVP_DidMake(&m.did, parts.prefix, static_cast<uint32_t>(parts.serial), parts.suffix);
    m.bridge_kind = kind;
    std::strcpy(m.peer, peer.c_str());
    m.port = port;
    m.data = reinterpret_cast<const uint8_t*>(data.data());
    m.data_len = static_cast<uint16_t>(data.size());
    if (from)
      from->Send(device, m);
    else
      servers.Send(0, device, m);
  }
  // The next bridge message at server 1 (the queue goes to all three), as hex.
  std::string NextAtServer(unsigned ms = 2000) {
    Datagram d;
    return servers.Expect(1, MsgBridge, ms, &d) ? ToHex(d.bytes) : "none";
  }
  // What a local program received, as hex ("none" within ms).
  static std::string LocalGot(const Peer& local, unsigned ms = 1000, sockaddr_in* from = nullptr) {
    Datagram d;
    if (!RecvDatagram(local.fd, ms, &d, nullptr)) return "none";
    if (from) *from = d.from;
    return ToHex(d.bytes);
  }
  void SendLocal(const Peer& local, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(sendto(local.fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&bridge),
                     sizeof(bridge)),
              static_cast<ssize_t>(bytes.size()));
  }
  static std::vector<uint8_t> Head(const std::string& peer, const std::string& data = {}) {
    std::vector<uint8_t> b = Hex(PeerHex(peer, 32));
    b.insert(b.end(), data.begin(), data.end());
    return b;
  }

  FakeServers servers;
  std::future<int> listen;
  sockaddr_in device{}, bridge{};
};

TEST_F(p2pBridge, ExchangesBetweenServersAndALocalProgram) {
  Peer local("127.0.0.1");
  const uint16_t port = ntohs(local.addr.sin_port);
  const std::string status0 = "F1 DC 00 48 D1 12 00 08" + PeerHex("peer-1") + kDidHex + "00 00 00 00 00 00 00 00";
  // Open: the local program gets the 32-byte head and the data from the
  // bridge socket on 127.0.0.1; the servers get status 0.
  Bridge(17, "peer-1", port, "hello");
  sockaddr_in from{};
  EXPECT_EQ(LocalGot(local, 2000, &from), ToHex(Head("peer-1", "hello")));
  EXPECT_EQ(ntohs(from.sin_port), ntohs(bridge.sin_port));
  EXPECT_EQ(NextAtServer(), ToHex(Hex(status0)));
  // The local program's data goes to the servers as kind 33 with the bridge's identity.
  SendLocal(local, Head("peer-1", "world"));
  EXPECT_EQ(NextAtServer(), ToHex(Hex("F1 DC 00 4D D1 21 00 0D" + PeerHex("peer-1") + kDidHex +
                                      "00 05 00 00 00 00 00 00" + TextHex("world"))));
  // A head alone is status 1; 31 and 993 bytes are dropped, 992 go.
  SendLocal(local, std::vector<uint8_t>(31, 'x'));
  SendLocal(local, Head("peer-1", std::string(993 - 32, 'y')));
  SendLocal(local, Head("peer-1"));
  EXPECT_EQ(NextAtServer(),
            ToHex(Hex("F1 DC 00 48 D1 12 00 08" + PeerHex("peer-1") + kDidHex + "00 01 00 00 00 00 00 00")));
  SendLocal(local, Head("peer-2", std::string(992 - 32, 'z')));
  const std::string big = NextAtServer();
  EXPECT_EQ(big.substr(0, 3 * 8), "F1 DC 04 08 D1 21 03 C8 ") << "960 bytes of data";
  // A second open for a known peer is answered, not delivered; a close
  // sends the local program the head alone.
  Bridge(17, "peer-1", port, "again");
  EXPECT_EQ(NextAtServer(), ToHex(Hex(status0)));
  EXPECT_EQ(LocalGot(local, 300), "none");
  Bridge(34, "peer-1", 0, "");
  EXPECT_EQ(LocalGot(local), ToHex(Head("peer-1")));
  // Kind 34 for an unknown peer, and kinds without a meaning, do nothing.
  Bridge(34, "nobody", 0, "");
  Bridge(40, "peer-1", port, "x");
  EXPECT_EQ(LocalGot(local, 300), "none");
  EXPECT_EQ(NextAtServer(300), "none");
}

TEST_F(p2pBridge, AnEleventhPeerReplacesTheOldest) {
  Peer local("127.0.0.1");
  const uint16_t port = ntohs(local.addr.sin_port);
  for (int i = 0; i <= 10; ++i) {
    const std::string peer = "p" + std::to_string(i);
    Bridge(17, peer, port, "open");
    ASSERT_EQ(LocalGot(local), ToHex(Head(peer, "open"))) << peer;
  }
  Bridge(34, "p0", 0, "");
  EXPECT_EQ(LocalGot(local, 300), "none") << "p0 left the table";
  Bridge(34, "p1", 0, "");
  EXPECT_EQ(LocalGot(local), ToHex(Head("p1")));
  Bridge(17, "p0", port, "back");
  EXPECT_EQ(LocalGot(local), ToHex(Head("p0", "back"))) << "delivered again as a new peer";
}

// Only the servers pass bridge messages, and only for this device's DID.
TEST_F(p2pBridge, BridgeMessagesFromOthersAreIgnored) {
  Peer local("127.0.0.1");
  const uint16_t port = ntohs(local.addr.sin_port);
  Peer stranger("127.0.0.9");
  Bridge(17, "peer-1", port, "hello", &stranger);
  Bridge(17, "peer-1", port, "hello", nullptr, "ABC-123457-XYZ");
  EXPECT_EQ(LocalGot(local, 500), "none");
  EXPECT_EQ(NextAtServer(300), "none");
  Bridge(17, "peer-1", port, "hello");
  EXPECT_EQ(LocalGot(local), ToHex(Head("peer-1", "hello")));
}

TEST(p2pBridgeQueue, IsCappedAndEmptiedAtDeInitialisation) {
  FakeServers servers;
  std::string why;
  ASSERT_TRUE(servers.Start(&why)) << why;
  const uint8_t msg[] = {0xF1, 0xE0, 0x00, 0x00};
  for (size_t i = 0; i < p2p::kServerQueueMax; ++i) ASSERT_EQ(RVP_ServerQueuePush(msg, sizeof(msg)), 0);
  EXPECT_EQ(RVP_ServerQueuePush(msg, sizeof(msg)), -1) << "full";
  EXPECT_EQ(RVP_ServerQueueCount(), p2p::kServerQueueMax);
  ASSERT_EQ(RVS_DeInitialize(), 0);
  EXPECT_EQ(RVP_ServerQueueCount(), 0u);
  EXPECT_EQ(RVP_BridgePort(), 0) << "the bridge socket is closed";
}

// The bridge socket is bound to 127.0.0.1: a datagram to another address of
// the host never reaches it. Inside a namespace with such an address.
TEST(p2pBridgeSocket, TakesDatagramsOnLoopbackOnly) {
  const std::vector<std::string> setup = LanSetup();
  bool ran = false;
  std::string why = RunInNetns(setup, [&] {
    ran = true;
    FakeServers servers;
    std::string err;
    ASSERT_TRUE(servers.Start(&err)) << err;
    ASSERT_TRUE(WaitUntil([] { return RVP_BridgePort() != 0; }, 2000));
    const uint16_t port = RVP_BridgePort();
    Peer local("127.0.0.1");
    std::vector<uint8_t> head(32, 'a');
    for (const char* ip : {"10.9.0.1", "127.0.0.1"}) {
      sockaddr_in to = V4(ip, port);
      sendto(local.fd, head.data(), head.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    EXPECT_TRUE(WaitUntil([] { return RVP_ServerQueueCount() >= 1; }, 2000));
    p2p::SleepMs(200);
    EXPECT_EQ(RVP_ServerQueueCount(), 1u) << "only the datagram to 127.0.0.1";
  });
  if (!ran) GTEST_SKIP() << "needs a network namespace of its own: " << why;
  EXPECT_TRUE(why.empty()) << why;
}

}  // namespace
