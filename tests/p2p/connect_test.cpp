// The connect procedure against the rendezvous simulator, its relays and a
// scripted device in a process of its own: hole punching, UDP relay, TCP relay
// and (inside a network namespace of the test's own) LAN search each reach
// the device and carry data both ways; breaks, refusals and bad arguments
// give their codes; the query modes keep nothing.
#include "p2p/connect.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/p2p/child_process.h"
#include "tests/p2p/netns.h"
#include "tests/p2p/rdv_fixture.h"
#include "tests/p2p/session_pair.h"
#include "tools/rdvsim/rig.h"

using namespace p2ptest;
using p2p::g_rvs;

namespace {

// The device of each test process has an ID of its own: ctest runs the test
// cases side by side, and a device of one must never be taken for another's.
const std::string kDidText = [] {
  char t[32];
  std::snprintf(t, sizeof(t), "DEV-%06d-XYZ", static_cast<int>(getpid() % 1000000));
  return std::string(t);
}();
const char* const kDid = kDidText.c_str();

// --- Device IDs and parameters -------------------------------------------

TEST(p2pDid, NormaliseCheckAndSplit) {
  struct Case {
    const char* arg;
    const char* normal;
    int split;  // RVP_DidSplit
    const char* prefix;
    int serial;
    const char* suffix;
    const char* key;
  } cases[] = {
      {"abc123def", "ABC-123-DEF", 0, "ABC", 123, "DEF", ""},
      {"ABC-000123-XYZ", "ABC-000123-XYZ", 0, "ABC", 123, "XYZ", ""},
      {"abc-000123xyz:Secret:2", "ABC-000123-XYZ", 0, "ABC", 123, "XYZ", "Secret:2"},
      {"a--b-c1", "ABC-1", -4, "", 0, "", ""},
      {"ab-12-cd-7", "AB-12-CD-7", -4, "", 0, "", ""},
      {"1abc-2-x", "1-ABC-2-X", -4, "", 0, "", ""},
      {"ABC-123-XYZ DEF", "ABC-123-XYZ", 0, "ABC", 123, "XYZ", ""},
      {"ABCDEFGH-1-X", "ABCDEFGH-1-X", 0, "ABCDEFGH", 1, "X", ""},
      {"AB-99999999999-C", "AB-99999999999-C", 0, "AB", -1, "C", ""},
      {"", "", -4, "", 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    char out[65];
    RVP_DidNormalize(out, c.arg);
    EXPECT_STREQ(out, c.normal);
    RVP_DidParts parts;
    ASSERT_EQ(RVP_DidSplit(c.arg, &parts), c.split);
    if (c.split) continue;
    EXPECT_STREQ(parts.prefix, c.prefix);
    EXPECT_EQ(parts.serial, c.serial);
    EXPECT_STREQ(parts.suffix, c.suffix);
    EXPECT_STREQ(parts.key, c.key);
  }
  // At most 64 characters are read and kept.
  std::string longer = "A" + std::string(100, '1');
  char out[65];
  RVP_DidNormalize(out, longer.c_str());
  EXPECT_EQ(std::strlen(out), 64u);
  EXPECT_EQ(RVP_DidCheck("ABC-1-XYZ-"), -1);
  EXPECT_EQ(RVP_DidCheck("ABC-1-X?-"), 0) << "only the leading run counts";
}

TEST(p2pDid, ConnectParameterText) {
  RVP_ConnectParam p;
  RVP_ConnectParamRead(
      "{\"InitString\":\"ABCDEFGHIJKLMNOPQRS:key\", \"SkipUDPRelay\":1, \"0x7X_Timeout\":30, "
      "\"AllowRP2P\":1, "
      "\"WakeupInfo\":\"wake-me\", \"SpecificIP\":\"10.1.2.3\"}",
      0x7B, &p);
  EXPECT_STREQ(p.init, "ABCDEFGHIJKLMNOPQRS:key");
  EXPECT_TRUE(p.skip_udp_relay);
  EXPECT_EQ(p.timed_sec, 30);
  EXPECT_TRUE(p.allow_rp2p);
  EXPECT_STREQ(p.wakeup, "wake-me");
  EXPECT_STREQ(p.specific_ip, "10.1.2.3");
  // SkipUDPRelay counts only in modes 0x7A and 0x7B; a time-out out of range is 10.
  RVP_ConnectParamRead(" {\"SkipUDPRelay\":1, \"0x7X_Timeout\":61}", 0x7C, &p);
  EXPECT_FALSE(p.skip_udp_relay);
  EXPECT_EQ(p.timed_sec, 10);
  EXPECT_STREQ(p.init, "") << "no InitString: the stored one is used";
  RVP_ConnectParamRead("{\"0x7X_Timeout\":9}", 0x7A, &p);
  EXPECT_EQ(p.timed_sec, 10);
  // A bare init string, cut at 319 characters; a wake-up text at 16.
  std::string bare(400, 'A');
  RVP_ConnectParamRead(bare.c_str(), 12, &p);
  EXPECT_EQ(std::strlen(p.init), 319u);
  RVP_ConnectParamRead("{\"WakeupInfo\":\"0123456789abcdefXYZ\"}", 12, &p);
  EXPECT_STREQ(p.wakeup, "0123456789abcdef");
}

// RVP_LanQueryDid against a responder on a port of the test's own.
TEST(p2pDid, AskingOneLanAddressForItsDid) {
  ASSERT_EQ(RVS_Initialize(RVP_InitStringEncode("127.0.0.1,127.0.0.2,127.0.0.3,", kKey).c_str()), 0);
  Peer device;
  const uint16_t port = ntohs(device.addr.sin_port);
  char did[32];
  EXPECT_EQ(RVP_LanQueryDid(nullptr, did, port), -2);
  EXPECT_EQ(RVP_LanQueryDid("127.0.0.1", nullptr, port), -2);
  EXPECT_EQ(RVP_LanQueryDid("localhost", did, port), -3);
  auto answer = [&](uint8_t type, size_t extra) {
    sockaddr_in from;
    ASSERT_EQ(device.Recv(3000, nullptr, &from), MsgLanSearch);
    RVP_Msg m;
    RVP_MsgInit(&m, type);
    RVP_DidMake(&m.did, "ABC", 123, "XYZ");
    std::vector<uint8_t> raw(64);
    int n = RVP_MsgBuild(m, raw.data(), raw.size());
    raw.resize(static_cast<size_t>(n) + extra);
    raw[3] = static_cast<uint8_t>(raw[3] + extra);
    device.SendRaw(from, raw);
  };
  std::thread t([&] { answer(MsgPunch, 0); });
  EXPECT_EQ(RVP_LanQueryDid("127.0.0.1", did, port), 0);
  t.join();
  EXPECT_STREQ(did, "ABC-000123-XYZ");
  t = std::thread([&] { answer(MsgPunchReady, 0); });
  EXPECT_EQ(RVP_LanQueryDid("127.0.0.1", did, port), -4) << "another message";
  t.join();
  t = std::thread([&] { answer(MsgPunch, 4); });
  EXPECT_EQ(RVP_LanQueryDid("127.0.0.1", did, port), -4) << "a punch of another size";
  t.join();
  uint32_t start = p2p::TickMs();
  EXPECT_EQ(RVP_LanQueryDid("127.0.0.1", did, static_cast<uint16_t>(port ^ 1)), -1);
  EXPECT_GE(p2p::TickMs() - start, 1400u) << "fifteen searches, 100 ms apart";
  RVS_DeInitialize();
}

// --- Against the simulator ---------------------------------------------------

// The simulator with its relays in this process, the library as the client,
// and a scripted device in a process of its own.
class ConnectRig : public rdvsim::Rig {
 public:
  bool Start(std::string* why) { return Rig::Start(kKey, 6, why); }
  // The scripted device, logged in.
  bool StartDevice(const std::vector<std::string>& extra, std::string* why) {
    std::vector<std::string> args = DeviceArgs(kDid);
    args.insert(args.end(), extra.begin(), extra.end());
    return device.Start(TEST_DEVICE_PATH, args, "device ready", why, nullptr, 15000);
  }
  void Stop() {
    device.Stop(5000);
    Rig::Stop();
  }
  ~ConnectRig() { Stop(); }

  // The client's report at the three servers.
  std::vector<rdvsim::Report> ClientReports(unsigned ms) {
    std::vector<rdvsim::Report> out;
    WaitUntil(
        [&] {
          out.clear();
          for (const rdvsim::Report& r : sim->Reports())
            if (r.role == p2p::kRoleClient && !r.relayed_punch) out.push_back(r);
          return out.size() >= 3;
        },
        ms);
    return out;
  }

  ChildProcess device;
};

// Data both ways on every channel: the device echoes it.
void ExpectEcho(int h, size_t n) {
  for (int ch = 0; ch < p2p::kChannels; ++ch) PumpStream(h, ch, static_cast<uint32_t>(40 + ch), n);
  for (int ch = 0; ch < p2p::kChannels; ++ch)
    EXPECT_EQ(DrainStream(h, ch, static_cast<uint32_t>(40 + ch), n, 30000), n) << "channel " << ch;
}

class p2pConnect : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(rig.Start(&why)) << why;
  }
  void TearDown() override { rig.Stop(); }

  // Connects, checks the session and its report, exchanges data and closes.
  void ConnectAndEcho(char mode, uint8_t session_mode) {
    uint32_t start = p2p::TickMs();
    int h = RVS_Connect(kDid, mode, 0);
    uint32_t ms = p2p::TickMs() - start;
    ASSERT_GE(h, 0) << "connect gave " << h;
    ASSERT_LT(h, g_rvs.max_num_sess.load());
    RVS_SessionInfo info;
    ASSERT_EQ(RVS_Check(h, &info), 0);
    EXPECT_EQ(info.Mode, session_mode);
    EXPECT_EQ(info.Role, p2p::kRoleClient);
    EXPECT_STREQ(info.DID, kDid);
    EXPECT_TRUE(rig.device.WaitLine("device established mode=" + std::to_string(session_mode), 10000));
    std::vector<rdvsim::Report> reports = rig.ClientReports(3000);
    ASSERT_EQ(reports.size(), 3u);
    for (const rdvsim::Report& r : reports) {
      EXPECT_EQ(r.did, kDid);
      EXPECT_EQ(r.result, h);
      EXPECT_EQ(r.session_mode, session_mode);
      EXPECT_EQ(r.connect_mode, static_cast<uint8_t>(mode));
      EXPECT_LE(r.elapsed_ms, ms + 100);
    }
    ExpectEcho(h, 16 * 1024);
    EXPECT_EQ(RVS_Close(h), 0);
    EXPECT_TRUE(rig.device.WaitLine("device ended result=-12", 10000));
  }

  ConnectRig rig;
};

TEST_F(p2pConnect, HolePunchingReachesTheDeviceAndCarriesData) {
  std::string why;
  ASSERT_TRUE(rig.StartDevice({}, &why)) << why;
  ConnectAndEcho(12, p2p::kModeP2P);
}

TEST_F(p2pConnect, TheUdpRelayReachesTheDeviceAndCarriesData) {
  std::string why;
  ASSERT_TRUE(rig.StartDevice({}, &why)) << why;
  ConnectAndEcho(30, p2p::kModeUdpRelay);
  EXPECT_EQ(rig.udp_relay->stats().paired, 1);
  EXPECT_GT(rig.udp_relay->stats().forwarded, 100);
}

TEST_F(p2pConnect, TheTcpRelayReachesTheDeviceAndCarriesData) {
  std::string why;
  ASSERT_TRUE(rig.StartDevice({"--tcp-relay"}, &why)) << why;
  ConnectAndEcho(0x7C, p2p::kModeTcpRelay);
  EXPECT_EQ(rig.tcp_relay->stats().paired, 1);
  EXPECT_GT(rig.tcp_relay->stats().forwarded, 16 * 1024 * 8);
}

TEST_F(p2pConnect, ABreakDuringTheRelayPhaseGives19AndIsReported) {
  ASSERT_EQ(rig.sim->Command(std::string("state ") + kDid + " 0"), "");
  ASSERT_EQ(rig.sim->Command("relays"), "");  // no relay serves: the phase runs its 4.4 s
  std::atomic<int> result{1};
  std::thread t([&] { result = RVS_Connect(kDid, 30, 0); });
  ASSERT_TRUE(WaitUntil([&] { return rig.sim->Log().size() > 0 && p2p::RVP_SlotsInUse() == 1; }, 3000));
  p2p::SleepMs(700);
  uint32_t start = p2p::TickMs();
  EXPECT_EQ(RVS_Connect_Break(), 0);
  t.join();
  EXPECT_EQ(result.load(), RVS_ERR_CONNECT_BREAK);
  EXPECT_LT(p2p::TickMs() - start, 2000u);
  std::vector<rdvsim::Report> reports = rig.ClientReports(3000);
  ASSERT_EQ(reports.size(), 3u);
  for (const rdvsim::Report& r : reports) {
    EXPECT_EQ(r.result, RVS_ERR_CONNECT_BREAK);
    EXPECT_EQ(r.connect_mode, 30);
  }
  EXPECT_EQ(p2p::RVP_SlotsInUse(), 0);
  // A later connect is not ended by the old break.
  ASSERT_EQ(rig.sim->Command(std::string("state ") + kDid + " 255"), "");
  EXPECT_EQ(RVS_Connect(kDid, 12, 0), RVS_ERR_INVALID_ID);
}

TEST_F(p2pConnect, RefusalsAndBadIdsGiveTheirCodes) {
  ASSERT_EQ(rig.sim->Command("state ABC-000001-XYZ 255"), "");
  ASSERT_EQ(rig.sim->Command("state ABC-000002-XYZ 253"), "");
  ASSERT_EQ(rig.sim->Command("state ABC-000003-XYZ 252"), "");
  struct Case {
    const char* did;
    char mode;
    int result;
    bool reported;
  } cases[] = {
      {"ABC-000001-XYZ", 12, RVS_ERR_INVALID_ID, true},      // the servers know no such device
      {"ABC-000002-XYZ", 12, RVS_ERR_INVALID_PREFIX, true},  // nor its prefix
      {"ABC-000003-XYZ", 12, RVS_ERR_SERVER_REFUSED, true},  // another refusal
      {"ABC-000004-XYZ", 0x22, RVS_ERR_DEVICE_NOT_ONLINE, true},
      {"ab-12-cd-7", 12, RVS_ERR_INVALID_ID, false},
      {"12-AB-3", 12, RVS_ERR_INVALID_ID, false},
      {"ABCDEFGH-1-XYZ", 12, RVS_ERR_INVALID_ID, false},
      {"AB-99999999999-XYZ", 12, RVS_ERR_INVALID_ID, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.did);
    rig.sim->ClearLog();
    EXPECT_EQ(RVS_Connect(c.did, c.mode, 0), c.result);
    EXPECT_EQ(p2p::RVP_SlotsInUse(), 0);
    if (c.reported) {
      std::vector<rdvsim::Report> reports = rig.ClientReports(3000);
      ASSERT_EQ(reports.size(), 3u);
      EXPECT_EQ(reports[0].result, c.result);
    } else {
      EXPECT_TRUE(rig.sim->Log().empty()) << "nothing is sent for an ID that fails the check";
    }
  }
}

int OpenFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

TEST_F(p2pConnect, QueryModesReturnNoHandleAndKeepNoSocket) {
  ASSERT_EQ(rig.sim->Command("state ABC-000001-XYZ 0"), "");
  ASSERT_EQ(rig.sim->Command("devstate ABC-000005-XYZ 30 7"), "");
  ASSERT_EQ(rig.sim->Command("state ABC-000006-XYZ 255"), "");
  const int fds = OpenFds();
  struct Case {
    const char* did;
    char mode;
    int result;
  } cases[] = {
      {"ABC-000001-XYZ", 0x7F, RVS_QUERY_RESULT_BASE},      // online
      {"ABC-000002-XYZ", 0x7F, RVS_ERR_DEVICE_NOT_ONLINE},  // the servers know it offline
      {"ABC-000006-XYZ", 0x7F, RVS_ERR_INVALID_ID},
      {"ABC-000005-XYZ", 0x79, RVS_QUERY_RESULT_BASE + 7},  // the device-state value
      {"ABC-000006-XYZ", 0x79, RVS_ERR_INVALID_ID},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.did) + " mode " + std::to_string(static_cast<uint8_t>(c.mode)));
    rig.sim->ClearLog();
    int r = RVS_Connect(c.did, c.mode, 0);
    EXPECT_EQ(r, c.result);
    RVS_SessionInfo info;
    for (int h = 0; h < g_rvs.max_num_sess.load(); ++h) EXPECT_EQ(RVS_Check(h, &info), -11);
    EXPECT_EQ(RVS_Close(r), -11) << "the result is no handle";
    EXPECT_EQ(p2p::RVP_SlotsInUse(), 0);
    EXPECT_EQ(OpenFds(), fds) << "the socket is closed";
    EXPECT_TRUE(rig.sim->Reports().empty()) << "queries are not reported";
  }
}

TEST_F(p2pConnect, RequestsTakeTheirKeyedAndWakeUpForms) {
  ASSERT_EQ(rig.sim->Command("state ABC-000001-XYZ 0"), "");
  struct Case {
    const char* did;
    const char* param;  // null: RVS_Connect
    uint8_t type;
  } cases[] = {
      {"ABC-000001-XYZ", nullptr, MsgConnectReq},
      {"ABC-000001-XYZ:k3y", nullptr, MsgConnectReqKeyed},
      {"ABC-000001-XYZ", "{\"WakeupInfo\":\"wake\"}", MsgConnectReqWakeup},
      {"ABC-000001-XYZ:k3y", "{\"WakeupInfo\":\"wake\"}", MsgConnectReqKeyedWakeup},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.did + std::string(c.param ? c.param : ""));
    rig.sim->ClearLog();
    int r = c.param ? RVS_ConnectByServer(c.did, 0x7F, 0, c.param) : RVS_Connect(c.did, 0x7F, 0);
    EXPECT_EQ(r, RVS_QUERY_RESULT_BASE);
    std::vector<rdvsim::Received> got;
    for (const rdvsim::Received& m : rig.sim->Log())
      if (m.type != MsgHello) got.push_back(m);
    ASSERT_EQ(got.size(), 3u);
    for (const rdvsim::Received& m : got) {
      EXPECT_EQ(m.type, c.type);
      EXPECT_TRUE(m.accepted);
      RVP_Msg req;
      ASSERT_EQ(RVP_MsgParsePayload(m.type, m.payload.data(), m.payload.size(), &req), kMsgOk);
      EXPECT_STREQ(req.did_key,
                   c.type == MsgConnectReqKeyed || c.type == MsgConnectReqKeyedWakeup ? "k3y" : "");
      if (c.type == MsgConnectReqWakeup || c.type == MsgConnectReqKeyedWakeup) {
        EXPECT_STREQ(req.wakeup, "wake");
      }
    }
  }
}

TEST_F(p2pConnect, AThreadThatCannotStartIsReported) {
  RVP_TestFailThreadStart("RVP_Dialogue");
  EXPECT_EQ(RVS_Connect(kDid, 12, 0), RVS_ERR_FAIL_TO_CREATE_THREAD);
  RVP_TestFailThreadStart(nullptr);
  EXPECT_EQ(p2p::RVP_SlotsInUse(), 0);
  // The session threads: the connect is reported as failed and frees its slot.
  std::string why;
  ASSERT_TRUE(rig.StartDevice({}, &why)) << why;
  RVP_TestFailThreadStart("RVP_SessSend");
  EXPECT_EQ(RVS_Connect(kDid, 12, 0), RVS_ERR_FAIL_TO_CREATE_THREAD);
  RVP_TestFailThreadStart(nullptr);
  EXPECT_EQ(p2p::RVP_SlotsInUse(), 0);
  std::vector<rdvsim::Report> reports = rig.ClientReports(3000);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].result, RVS_ERR_FAIL_TO_CREATE_THREAD);
}

// --- Inside a network namespace of the test's own ---------------------------

// LAN searches broadcast, and the LAN-search port is fixed: both only in a
// namespace the test made, so nothing leaves it and nothing clashes.
TEST(p2pConnectLan, LanSearchReachesTheDeviceAndCarriesData) {
  const std::vector<std::string> setup = LanSetup();
  bool ran = false;
  std::string why = RunInNetns(setup, [&] {
    ran = true;
    ConnectRig rig;
    std::string err;
    ASSERT_TRUE(rig.Start(&err)) << err;
    ASSERT_TRUE(rig.StartDevice({"--lan"}, &err)) << err;
    uint32_t start = p2p::TickMs();
    int h = RVS_Connect(kDid, 0x3F, 0);  // LAN search only
    ASSERT_GE(h, 0) << "connect gave " << h;
    EXPECT_LT(p2p::TickMs() - start, 1400u + 2000u) << "found within the 14 LAN rounds";
    RVS_SessionInfo info;
    ASSERT_EQ(RVS_Check(h, &info), 0);
    EXPECT_EQ(info.Mode, p2p::kModeP2P);
    char ip[16];
    EXPECT_STREQ(RVP_AddrText(info.RemoteAddr, ip), "10.9.0.1");
    EXPECT_TRUE(rig.device.WaitLine("device established mode=0", 10000));
    ExpectEcho(h, 16 * 1024);
    EXPECT_EQ(RVS_Close(h), 0);
    EXPECT_TRUE(rig.device.WaitLine("device ended result=-12", 10000));
    // A TCP-assisted mode takes the device's offer of a direct TCP link on
    // the LAN; the session then runs over it. The device offers only when the
    // punch comes within 50 ms of its LAN answer: on a loaded machine that can
    // be missed, and the session rightly stays on UDP, so a few tries are allowed.
    rig.device.Stop(5000);
    ASSERT_EQ(rig.sim->Command("intro none"), "");
    ASSERT_EQ(rig.sim->Command("offer none"), "");
    bool over_tcp = false;
    for (int attempt = 0; attempt < 5 && !over_tcp; ++attempt) {
      ASSERT_TRUE(rig.StartDevice({"--lan"}, &err)) << err;
      h = RVS_Connect(kDid, 0x7B, 0);
      ASSERT_GE(h, 0) << "connect gave " << h;
      ASSERT_EQ(RVS_Check(h, &info), 0);
      EXPECT_EQ(info.Mode, p2p::kModeP2P);
      over_tcp = info.Skt == p2p::Sess(h).tcp_socket.load();
      if (over_tcp) {
        EXPECT_EQ(p2p::Sess(h).tcp_framing.load(), p2p::kFramingSimple);
      }
      ExpectEcho(h, 16 * 1024);
      EXPECT_EQ(RVS_Close(h), 0);
      EXPECT_TRUE(rig.device.WaitLine("device ended result=-12", 10000));
      if (!over_tcp) rig.device.Stop(5000);
    }
    EXPECT_TRUE(over_tcp) << "the direct TCP link was never taken";
    // Without a device on the LAN: 14 rounds, then a time-out.
    rig.device.Stop(5000);
    start = p2p::TickMs();
    EXPECT_EQ(RVS_Connect(kDid, 0x3F, 0), RVS_ERR_TIME_OUT);
    EXPECT_GE(p2p::TickMs() - start, 1300u);
  });
  if (!ran) GTEST_SKIP() << "needs a network namespace of its own: " << why;
  EXPECT_TRUE(why.empty()) << why;
}

TEST(p2pConnectLan, AServerNameThatDoesNotResolveGives7) {
  bool ran = false;
  std::string why = RunInNetns({"ip link set lo up"}, [&] {
    ran = true;
    std::string init = RVP_InitStringEncode("127.0.0.1,127.0.0.2,127.0.0.3,", kKey);
    ASSERT_EQ(RVS_Initialize(init.c_str()), 0);
    std::string other = RVP_InitStringEncode("127.0.0.1,no-such-server.invalid,127.0.0.3,", kKey);
    EXPECT_EQ(RVS_ConnectByServer(kDid, 12, 0, other.c_str()), RVS_ERR_FAIL_TO_RESOLVE_NAME);
    EXPECT_EQ(RVS_ConnectByServer(kDid, 12, 0, ("{\"InitString\":\"" + other + "\"}").c_str()),
              RVS_ERR_FAIL_TO_RESOLVE_NAME);
    EXPECT_EQ(p2p::RVP_SlotsInUse(), 0);
    RVS_DeInitialize();
  });
  if (!ran) GTEST_SKIP() << "needs a network namespace of its own: " << why;
  EXPECT_TRUE(why.empty()) << why;
}

}  // namespace
