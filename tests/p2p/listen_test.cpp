// The listen side against servers made of plain sockets: what a listening
// device sends (hello, login, keyed login, its answer to a LAN search and its
// report) compared byte for byte with messages written by hand from the wire
// layouts; refusals end a listen with their codes; and, inside a network
// namespace of the test's own, a LAN-only listen contacts no server yet takes
// a session from a client that searches the LAN.
#include "p2p/listen.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "p2p/cipher.h"
#include "p2p/rvs_api.h"
#include "p2p/state.h"
#include "tests/p2p/fake_servers.h"
#include "tests/p2p/netns.h"
#include "tools/rdvsim/wiring.h"

using namespace p2ptest;

namespace {

constexpr char kDidText[] = "ABC-123456-XYZ";
const std::string kDidHex = "41 42 43 00 00 00 00 00 | 00 01 E2 40 | 58 59 5A 00 00 00 00 00";
const std::string kVersion = "05 00 09";

// A listen on a thread of its own; its result arrives in the future.
std::future<int> ListenAsync(const char* did, unsigned timeout, char login_mode) {
  return std::async(std::launch::async,
                    [did = std::string(did), timeout, login_mode] {
                      return RVS_Listen(did.c_str(), timeout, 0, login_mode);
                    });
}

// The plain 40- or 64-byte block of a login.
std::vector<uint8_t> LoginBlock(const Datagram& d) {
  std::vector<uint8_t> p = d.payload();
  std::vector<uint8_t> out(p.size());
  int n = RVP_LoginDecrypt(static_cast<int>(p.size()), p.data(), out.data(), static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

class p2pListen : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(servers.Start(&why)) << why;
  }
  FakeServers servers;
};

TEST_F(p2pListen, HelloLoginsAndReportAreByteExact) {
  p2p::g_rvs.nat_type.store(3);
  std::future<int> listen = ListenAsync(kDidText, 60, 1);
  for (int i = 0; i < 3; ++i) {
    Datagram hello, login;
    ASSERT_TRUE(servers.Expect(i, MsgHello, 3000, &hello)) << "server " << i;
    EXPECT_EQ(ToHex(hello.bytes), "F1 00 00 00");
    ASSERT_TRUE(servers.Expect(i, MsgDevLogin, 3000, &login)) << "server " << i;
    ASSERT_EQ(ToHex(login.bytes.data(), 4), "F1 12 00 2C");
    // The local address carries the library's LAN address and the port the
    // login came from.
    EXPECT_EQ(ToHex(LoginBlock(login)),
              ToHex(Hex(kDidHex + "03" + kVersion + WireHex("127.0.0.1", ntohs(login.from.sin_port)))));
  }
  // The logins go again at rounds 10 and 30 (about 1 s and 3 s).
  Datagram again;
  EXPECT_TRUE(servers.Expect(0, MsgDevLogin, 3000, &again));
  // A break ends the listen with -16 and the servers hear of it.
  RVS_Listen_Break();
  ASSERT_EQ(listen.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(listen.get(), RVS_ERR_LISTEN_BREAK);
  for (int i = 0; i < 3; ++i) {
    Datagram rep;
    ASSERT_TRUE(servers.Expect(i, MsgConnectReport, 3000, &rep)) << "server " << i;
    std::vector<uint8_t> p = rep.payload();
    ASSERT_EQ(p.size(), 84u);
    std::vector<uint8_t> plain(p.size());
    RVP_Unscramble(kFixedPayloadKey, p.data(), plain.data(), static_cast<uint16_t>(p.size()));
    // The elapsed milliseconds at 28 vary: compare the rest.
    plain[28] = plain[29] = 0;
    const int max_sess = p2p::g_rvs.max_num_sess.load();
    char sess[16];
    std::snprintf(sess, sizeof(sess), "%02X %02X", max_sess >> 8, max_sess & 0xFF);
    const uint16_t port = ntohs(rep.from.sin_port);
    EXPECT_EQ(ToHex(plain),
              ToHex(Hex(kDidHex + "FF FF FF F0" + sess + "00 01 | 00 00 | 01 00 01 00 00 00" +
                        WireHex("127.0.0.1", port) + WireHex("203.0.113.7", port) + std::string(32, '0'))))
        << "result -16, one slot in use, a device, no session mode, login mode 1, no remote address";
  }
  EXPECT_EQ(p2p::RVP_SlotsInUse(), 0);
}

TEST_F(p2pListen, KeyedLoginCarriesTheDidKey) {
  std::future<int> listen = ListenAsync("abc-123456-xyz:Secret", 60, 1);
  Datagram login;
  ASSERT_TRUE(servers.Expect(1, MsgDevLoginKeyed, 3000, &login));
  ASSERT_EQ(ToHex(login.bytes.data(), 4), "F1 16 00 44");
  EXPECT_EQ(ToHex(LoginBlock(login)),
            ToHex(Hex(kDidHex + "00" + kVersion + WireHex("127.0.0.1", ntohs(login.from.sin_port)) +
                      "53 65 63 72 65 74 00 00 | 00 00 00 00 00 00 00 00 | 00 00 00 00 00 00 00 00")));
  RVS_Listen_Break();
  EXPECT_EQ(listen.get(), RVS_ERR_LISTEN_BREAK);
}

// Each refusal ends the listen at once with its code; the slot is freed.
TEST_F(p2pListen, RefusalsEndTheListenWithTheirCodes) {
  const struct {
    uint8_t result;
    int code;
  } cases[] = {
      {252, RVS_ERR_SERVER_REFUSED}, {253, RVS_ERR_INVALID_PREFIX}, {254, RVS_ERR_LOGIN_REFUSED},
      {255, RVS_ERR_INVALID_ID},     {0x90, RVS_ERR_SERVER_REFUSED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.result));
    const uint32_t start = p2p::TickMs();
    std::future<int> listen = ListenAsync(kDidText, 60, 1);
    Datagram login;
    ASSERT_TRUE(servers.Expect(0, MsgDevLogin, 3000, &login));
    RVP_Msg ack;
    RVP_MsgInit(&ack, MsgLoginAck);
    ack.state = c.result;
    servers.Send(0, login.from, ack);
    ASSERT_EQ(listen.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(listen.get(), c.code);
    EXPECT_LT(p2p::TickMs() - start, 3000u);
    EXPECT_EQ(p2p::RVP_SlotsInUse(), 0);
    servers.Drain(50);
  }
  // An answer from any other address refuses nothing.
  std::future<int> listen = ListenAsync(kDidText, 60, 1);
  Datagram login;
  ASSERT_TRUE(servers.Expect(0, MsgDevLogin, 3000, &login));
  Peer stranger("127.0.0.9");
  RVP_Msg ack;
  RVP_MsgInit(&ack, MsgLoginAck);
  ack.state = 255;
  stranger.Send(login.from, ack);
  EXPECT_EQ(listen.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
  RVS_Listen_Break();
  EXPECT_EQ(listen.get(), RVS_ERR_LISTEN_BREAK);
}

// A failed TCP-mode listen hands the start of its TCP links to the next
// listen, which then opens them at once when UDP stayed silent since.
TEST_F(p2pListen, FailedTcpModeListenKeepsItsTcpStart) {
  p2p::g_rvs.prev_tcp_listen_start.store(0);
  const int64_t before = p2p::NowSec();
  std::future<int> listen = ListenAsync(kDidText, 60, 2);
  Datagram login;
  ASSERT_TRUE(servers.Expect(0, MsgDevLogin, 3000, &login));
  RVP_Msg ack;
  RVP_MsgInit(&ack, MsgLoginAck);
  ack.state = 254;
  servers.Send(0, login.from, ack);
  ASSERT_EQ(listen.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(listen.get(), RVS_ERR_LOGIN_REFUSED);
  EXPECT_EQ(p2p::RVP_SlotsInUse(), 0);
  const int64_t kept = p2p::g_rvs.prev_tcp_listen_start.load();
  EXPECT_GE(kept, before);
  EXPECT_LE(kept, p2p::NowSec());
  servers.Drain(50);
}

TEST_F(p2pListen, ArgumentChecks) {
  EXPECT_EQ(RVS_Listen(nullptr, 600, 0, 1), RVS_ERR_INVALID_ID);
  EXPECT_EQ(RVS_Listen(kDidText, 59, 0, 1), RVS_ERR_INVALID_PARAMETER);
  EXPECT_EQ(RVS_Listen(kDidText, 86401, 0, 1), RVS_ERR_INVALID_PARAMETER);
  EXPECT_EQ(RVS_Listen("ABCDEFGH-1-XYZ", 600, 0, 1), RVS_ERR_INVALID_ID) << "prefix above 7 characters";
  char prefix[] = "ABC", suffix[] = "XYZ";
  EXPECT_EQ(rvlib_RVP_Listen_Do(prefix, -1, suffix, 600, 0, 1, nullptr), RVS_ERR_INVALID_ID);
  EXPECT_EQ(p2p::RVP_SlotsInUse(), 0);
  RVS_DeInitialize();
  EXPECT_EQ(RVS_Listen(kDidText, 600, 0, 1), RVS_ERR_NOT_INITIALIZED);
}

// LAN searches broadcast and the LAN-search port is fixed: inside a network
// namespace the test made.
TEST(p2pListenLan, LanOnlyListenAnswersSearchesAndTakesASession) {
  const std::vector<std::string> setup = LanSetup();
  bool ran = false;
  std::string why = RunInNetns(setup, [&] {
    ran = true;
    FakeServers servers;
    std::string err;
    ASSERT_TRUE(servers.Start(&err)) << err;
    std::future<int> listen = ListenAsync(kDidText, 60, 0);
    // A search from a plain socket gets the device's DID from its session socket.
    Peer searcher("127.0.0.1");
    RVP_Msg search;
    RVP_MsgInit(&search, MsgLanSearch);
    Datagram answer;
    for (int i = 0; i < 40 && answer.bytes.empty(); ++i) {
      searcher.Send(V4("127.0.0.1", p2p::kLanSearchPort), search);
      RecvDatagram(searcher.fd, 50, &answer);
    }
    EXPECT_EQ(ToHex(answer.bytes), ToHex(Hex("F1 41 00 14" + kDidHex)));
    const uint16_t device_port = ntohs(answer.from.sin_port);
    for (const Datagram& g : servers.Drain(300)) ADD_FAILURE() << "sent to a server: " << ToHex(g.bytes);
    // A client in the same process searches the LAN and establishes.
    const int h = RVS_Connect(kDidText, 0x3F, 0);
    ASSERT_GE(h, 0) << "connect gave " << h;
    ASSERT_EQ(listen.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const int d = listen.get();
    ASSERT_GE(d, 0) << "listen gave " << d;
    EXPECT_NE(d, h);
    RVS_SessionInfo info;
    ASSERT_EQ(RVS_Check(d, &info), 0);
    EXPECT_EQ(info.Role, p2p::kRoleDevice);
    EXPECT_EQ(info.Mode, p2p::kModeP2P);
    EXPECT_STREQ(info.DID, kDidText);
    // Both ways, on two channels.
    for (int ch : {0, 7}) {
      EXPECT_EQ(rdvsim::PumpStream(h, ch, 11u + ch, 20000), 0);
      EXPECT_EQ(rdvsim::PumpStream(d, ch, 21u + ch, 20000), 0);
    }
    for (int ch : {0, 7}) {
      EXPECT_EQ(rdvsim::DrainStream(d, ch, 11u + ch, 20000, 10000), 20000u) << "to the device, channel " << ch;
      EXPECT_EQ(rdvsim::DrainStream(h, ch, 21u + ch, 20000, 10000), 20000u) << "to the client, channel " << ch;
    }
    EXPECT_EQ(RVS_Close(h), 0);
    char b[4];
    int size = sizeof(b);
    EXPECT_EQ(RVS_Read(d, 0, b, &size, 5000), RVS_ERR_SESSION_CLOSED_REMOTE);
    EXPECT_EQ(RVS_Close(d), 0);
    // Nothing of the device ever went to the servers: no hello, no login, no
    // report (the client reports its connect).
    for (const Datagram& g : servers.Drain(300))
      if (ntohs(g.from.sin_port) == device_port) ADD_FAILURE() << "the device sent a server " << ToHex(g.bytes);
  });
  if (!ran) GTEST_SKIP() << "needs a network namespace of its own: " << why;
  EXPECT_TRUE(why.empty()) << why;
}

}  // namespace
