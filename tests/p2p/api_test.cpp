// The exported interface: initialisation from its parameter text, the status
// text, the flag calls, slot allocation, and the checks of every export.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "p2p/cipher.h"
#include "p2p/rvs_api.h"
#include "p2p/state.h"

using p2p::g_rvs;

namespace {

const std::string kServers = "127.0.0.1,127.0.0.2,127.0.0.3,";

std::string Init(const std::string& key = "pk") { return RVP_InitStringEncode(kServers, key); }

std::string Json(const std::string& init, int alive) {
  return "{\"InitString\":\"" + init + "\", \"SessAliveSec\":" + std::to_string(alive) + "}";
}

class p2pLib : public ::testing::Test {
 protected:
  void TearDown() override {
    if (g_rvs.initialized.load()) RVS_DeInitialize();
  }
};

TEST_F(p2pLib, InitParameterTable) {
  const std::string init = Init();
  const std::string long_init = Init() + std::string(300, 'x');
  struct Case {
    const char* what;
    const char* param;
    int result;
  };
  std::vector<std::string> keep;
  auto s = [&](std::string v) { return keep.emplace_back(std::move(v)).c_str(); };
  keep.reserve(64);
  const Case cases[] = {
      {"null", nullptr, -5},
      {"empty text", s(""), -5},
      {"bare init string of 17 characters", s("ABCDEFGHIJKLMNOPA"), -5},
      {"bare init string of 18 characters", s("ABCDEFGHIJKLMNOPAB"), 0},
      {"bare init string", s(init), 0},
      {"the caller's form", s(Json(init, 8)), 0},
      {"brace as second character", s(" " + Json(init, 8)), 0},
      {"no InitString", s("{\"SessAliveSec\":8}"), -5},
      {"InitString without its closing quote", s("{\"InitString\":\"" + init), -5},
      {"InitString of 17 characters", s("{\"InitString\":\"ABCDEFGHIJKLMNOPA\"}"), -5},
      {"InitString beyond the 255-character window", s("{\"InitString\":\"" + long_init + "\"}"), -5},
      {"SessAliveSec 5", s(Json(init, 5)), -5},
      {"SessAliveSec 6", s(Json(init, 6)), 0},
      {"SessAliveSec 30", s(Json(init, 30)), 0},
      {"SessAliveSec 31", s(Json(init, 31)), -5},
      {"SessAliveSec not a number", s("{\"InitString\":\"" + init + "\",\"SessAliveSec\":x}"), -5},
      {"MaxNumSess 0", s("{\"MaxNumSess\":0, \"InitString\":\"" + init + "\"}"), -5},
      {"MaxNumSess 1", s("{\"MaxNumSess\":1, \"InitString\":\"" + init + "\"}"), 0},
      {"MaxNumSess 256", s("{\"MaxNumSess\":256, \"InitString\":\"" + init + "\"}"), 0},
      {"MaxNumSess 257", s("{\"MaxNumSess\":257, \"InitString\":\"" + init + "\"}"), -5},
      {"MaxNumSess far out of range", s("{\"MaxNumSess\":99999999999999, \"InitString\":\"" + init + "\"}"),
       -5},
      {"a lone brace", s("{"), -5},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RVS_Initialize(c.param), c.result) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(RVS_Initialize(c.param), -2) << c.what << ": already initialised";
      EXPECT_EQ(RVS_DeInitialize(), 0) << c.what;
    } else {
      EXPECT_EQ(g_rvs.initialized.load(), 0) << c.what << ": a refused parameter changes nothing";
    }
  }
}

TEST_F(p2pLib, InitialisationFillsTheState) {
  ASSERT_EQ(
      RVS_Initialize(("{\"MaxNumSess\":16, " + Json(Init("0123456789abcdefghijXYZ"), 12).substr(1)).c_str()),
      0);
  EXPECT_EQ(g_rvs.max_num_sess.load(), 16);
  EXPECT_EQ(g_rvs.sess_alive_sec.load(), 12);
  EXPECT_STREQ(g_rvs.server_names[0], "127.0.0.1");
  EXPECT_STREQ(g_rvs.server_names[1], "127.0.0.2");
  EXPECT_STREQ(g_rvs.server_names[2], "127.0.0.3");
  EXPECT_STREQ(g_rvs.packet_key, "0123456789abcdefghij");
  EXPECT_EQ(std::string(g_rvs.init_string), Init("0123456789abcdefghijXYZ"));
  for (const sockaddr_in& a : g_rvs.servers) {
    EXPECT_EQ(a.sin_family, AF_INET);
    EXPECT_EQ(a.sin_port, htons(32100));
    EXPECT_EQ(a.sin_addr.s_addr, 0u);
  }
  EXPECT_STREQ(g_rvs.lan_ip, "0.0.0.0");
  EXPECT_STREQ(g_rvs.wan_ip, "0.0.0.0");
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(g_rvs.sessions[i].socket, -1);
    EXPECT_EQ(g_rvs.sessions[i].server_state.load(), 1);
    EXPECT_EQ(g_rvs.sessions[i].login_result.load(), 1);
  }
  ASSERT_EQ(RVS_DeInitialize(), 0);
  EXPECT_EQ(g_rvs.sessions, nullptr);
  EXPECT_EQ(g_rvs.max_num_sess.load(), 256);
  EXPECT_EQ(g_rvs.sess_alive_sec.load(), 6);
  EXPECT_EQ(RVS_DeInitialize(), -1);

  // A bare init string: its first 256 characters are kept.
  std::string bare = Init("key with space") + std::string(400, 'z');
  ASSERT_EQ(RVS_Initialize(bare.c_str()), 0);
  EXPECT_EQ(std::string(g_rvs.init_string), bare.substr(0, 256));
  EXPECT_STREQ(g_rvs.packet_key, "key");
  EXPECT_EQ(g_rvs.max_num_sess.load(), 256);
}

TEST(p2pParam, ParamGetFollowsItsRules) {
  char v[256];
  struct Case {
    const char* text;
    const char* key;
    bool str;
    int result;
    const char* value;
  } cases[] = {
      {"{\"SessAliveSec\":8}", "SessAliveSec", false, 0, "8"},
      {"{\"SessAliveSec\": 12 , \"x\":1}", "SessAliveSec", false, 0, " 12 "},
      {"{\"SessAliveSec\":8", "SessAliveSec", false, -1, ""},
      {"{\"SessAliveSec\"8}", "SessAliveSec", false, -1, ""},
      {"{\"InitString\":\"abc\"}", "InitString", true, 0, "abc"},
      {"{\"InitString\": \"a:b,c\", \"k\":1}", "InitString", true, 0, "a:b,c"},
      {"{\"InitString\":\"abc}", "InitString", true, -1, ""},
      {"{\"Other\":1}", "InitString", true, -1, ""},
      {"{\"InitString\":\"\"}", "InitString", true, 0, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(p2p::RVP_ParamGet(c.text, c.key, c.str, v, sizeof(v)), c.result) << c.text;
    if (c.result == 0) {
      EXPECT_STREQ(v, c.value) << c.text;
    }
  }
  EXPECT_EQ(p2p::RVP_ParamGet(nullptr, "k", false, v, sizeof(v)), -1);
  // A small output holds what fits.
  char small[3];
  EXPECT_EQ(p2p::RVP_ParamGet("{\"k\":\"abcdef\"}", "k", true, small, sizeof(small)), 0);
  EXPECT_STREQ(small, "ab");
}

TEST(p2pParam, PacketKeyAndServerNames) {
  char key[21];
  struct Case {
    const char* init;
    const char* key;
  } keys[] = {
      {"ABCD:key", "key"}, {"ABCD:0123456789abcdefghijklmn", "0123456789abcdefghij"},
      {"ABCD:ke y", "ke"}, {"ABCD:ke\x7fy", "ke"},
      {"ABCD:a:b", "a:b"}, {"ABCD", ""},
      {"ABCD:", ""},
  };
  for (const auto& c : keys) {
    p2p::RVP_PacketKeyOf(c.init, key);
    EXPECT_STREQ(key, c.key) << c.init;
  }

  char names[3][256];
  EXPECT_EQ(p2p::RVP_ServerNamesOf(RVP_InitStringEncode("a.test,b.test,c.test,d.test,").c_str(), names), 3);
  EXPECT_STREQ(names[2], "c.test");
  EXPECT_EQ(p2p::RVP_ServerNamesOf(RVP_InitStringEncode("a.test,b.test,tail").c_str(), names), 2);
  EXPECT_STREQ(names[1], "b.test");
  EXPECT_STREQ(names[2], "");
  std::string longname(300, 'n');
  EXPECT_EQ(p2p::RVP_ServerNamesOf(RVP_InitStringEncode(longname + ",x,").c_str(), names), 2);
  EXPECT_EQ(std::strlen(names[0]), 255u);
  EXPECT_STREQ(names[1], "x");
}

const char kInfoBefore[] =
    "{\n\"LibType\":\"c++\",\n\"Version\":\"5.0.9.0\",\n\"BuiltDate\":\"Nov 15 2022 15:09:56\",\n"
    "\"MaxNumSess\":256,\n\"MaxNumCh\":8,\n\"SessAliveSec\":6,\n\"P2PPunchRange\":3,\n\"Initialized\":"
    "\"No\"\n}";

TEST_F(p2pLib, StatusTextByteForByte) {
  EXPECT_STREQ(RVS_GetAPIInformation(), kInfoBefore);
  ASSERT_EQ(RVS_Initialize(("{\"MaxNumSess\":16, " + Json(Init(), 12).substr(1)).c_str()), 0);
  EXPECT_STREQ(
      RVS_GetAPIInformation(),
      "{\n\"LibType\":\"c++\",\n\"Version\":\"5.0.9.0\",\n\"BuiltDate\":\"Nov 15 2022 15:09:56\",\n"
      "\"MaxNumSess\":16,\n\"MaxNumCh\":8,\n\"SessAliveSec\":12,\n\"P2PPunchRange\":3,\n"
      "\"Initialized\":\"Yes\",\n\"NumSess\":0,\n\"NumRunningConnect\":0,\n\"NumRunningListen\":0\n}");
  ASSERT_EQ(RVS_DeInitialize(), 0);
  EXPECT_STREQ(RVS_GetAPIInformation(), kInfoBefore);
  EXPECT_STREQ(rvlib_RVP_GetAPIInformation(), kInfoBefore);
  EXPECT_EQ(RVS_GetAPIVersion(), 0x05000900u);
  EXPECT_EQ(rvlib_RVP_GetAPIVersion(), 0x05000900u);
}

TEST_F(p2pLib, StatusTextCountsSessionsAndServers) {
  ASSERT_EQ(RVS_Initialize(Init().c_str()), 0);
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    g_rvs.sessions[3].socket = 5;  // established
    g_rvs.sessions[3].established = 1;
    g_rvs.sessions[4].socket = 6;  // connecting
    g_rvs.sessions[5].socket = 7;  // listening
    g_rvs.sessions[5].role = p2p::kRoleDevice;
    g_rvs.sessions[6].socket = p2p::kSlotReserved;  // not in use
    const char* ips[3] = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
    for (int i = 0; i < 3; ++i) inet_pton(AF_INET, ips[i], &g_rvs.servers[i].sin_addr);
    g_rvs.hello_send_tick[0] = 1000, g_rvs.hello_answer_tick[0] = 1300;
    g_rvs.hello_send_tick[1] = 1000;
    g_rvs.hello_send_tick[2] = 1000, g_rvs.hello_answer_tick[2] = 1100;
  }
  g_rvs.last_login_ack_udp = p2p::NowSec() - 42;
  g_rvs.last_login_ack_tcp = p2p::NowSec() - 100;
  std::string info = RVS_GetAPIInformation();
  EXPECT_NE(
      info.find("\"NumSess\":1,\n\"NumRunningConnect\":1,\n\"NumRunningListen\":1,\n\"LastLoginAck\":4"),
      std::string::npos)
      << info;
  EXPECT_NE(info.find(",\n\"ServerInfo\":\"127.0.0.3(100),127.0.0.1(300),127.0.0.2(-1)\"\n}"),
            std::string::npos)
      << info;

  // An answer after more than 5000 ms shows -1 and clears both ticks.
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    g_rvs.hello_answer_tick[0] = 7000;
  }
  info = RVS_GetAPIInformation();
  EXPECT_NE(info.find("\"ServerInfo\":\"127.0.0.3(100),127.0.0.1(-1),127.0.0.2(-1)\""), std::string::npos)
      << info;
  EXPECT_EQ(g_rvs.hello_send_tick[0], p2p::kNoTick);
  EXPECT_EQ(g_rvs.hello_answer_tick[0], p2p::kNoTick);
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    g_rvs.hello_answer_tick[2] = p2p::kNoTick;
    g_rvs.sessions[5].socket = -1;
  }
  info = RVS_GetAPIInformation();
  EXPECT_EQ(info.find("ServerInfo"), std::string::npos) << info;
  EXPECT_EQ(info.find("LastLoginAck"), std::string::npos) << info;
}

// Calls of every export, through both name families.
struct Call {
  const char* name;
  std::function<int()> rvs, rvlib;
};

std::vector<Call> AllCalls() {
  // Outputs of the calls, one set per calling thread.
  static thread_local char buf[16];
  static thread_local int size;
  static thread_local RVS_SessionInfo info;
  static thread_local RVS_NetInfo net;
  static thread_local char flag;
  static thread_local int w, r;
  char p[] = "ABC", s[] = "XYZ";
#define CALL(name, ...)                                          \
  {                                                              \
#name, [=]() mutable { return RVS_##name(__VA_ARGS__); }, [= \
    ]() mutable { return rvlib_RVP_##name(__VA_ARGS__); }        \
  }
  return {
      CALL(DeInitialize),
      // A whole detection takes up to 5 s: these stop at their argument checks.
      CALL(NetworkDetect, nullptr, 0),
      CALL(NetworkDetectByServer, &net, 0, nullptr),
      CALL(Connect, "ABC-123456-XYZ", 12, 0),
      CALL(ConnectByServer, "ABC-123456-XYZ", 12, 0, "x"),
      {"Connect_Do", [=]() mutable { return rvlib_RVP_Connect_Do(p, 1, s, 12, 0, nullptr, nullptr); },
       [=]() mutable { return rvlib_RVP_Connect_Do(p, 1, s, 12, 0, nullptr, nullptr); }},
      CALL(Connect_Break),
      CALL(Listen, "ABC-123456-XYZ", 600, 0, 1),
      {"Listen_Do", [=]() mutable { return rvlib_RVP_Listen_Do(p, 1, s, 600, 0, 1, nullptr); },
       [=]() mutable { return rvlib_RVP_Listen_Do(p, 1, s, 600, 0, 1, nullptr); }},
      CALL(Listen_Break),
      CALL(LoginStatus_Check, &flag),
      CALL(Check, 0, &info),
      CALL(Close, 0),
      CALL(ForceClose, 0),
      CALL(Write, 0, 0, "x", 1),
      CALL(Read, 0, 0, buf, (size = 4, &size), 10),
      CALL(Check_Buffer, 0, 0, &w, &r),
      CALL(PktSend, 0, 0, "x", 1),
      CALL(PktRecv, 0, 0, buf, (size = 4, &size), 10),
      CALL(Share_Bandwidth, 1),
      CALL(Enable_SmartDevice, 1),
  };
#undef CALL
}

TEST_F(p2pLib, EveryExportRefusesWhileUninitialised) {
  for (const Call& c : AllCalls()) {
    EXPECT_EQ(c.rvs(), -1) << "RVS_" << c.name;
    EXPECT_EQ(c.rvlib(), -1) << "rvlib_RVP_" << c.name;
  }
  ASSERT_EQ(RVS_Initialize(Init().c_str()), 0);
  ASSERT_EQ(RVS_DeInitialize(), 0);
  for (const Call& c : AllCalls()) EXPECT_EQ(c.rvs(), -1) << "after de-initialisation: RVS_" << c.name;
  // These three work in every state.
  testing::internal::CaptureStdout();
  EXPECT_EQ(RVS_QueryDID(), 0);
  EXPECT_EQ(rvlib_RVP_QueryDID(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "rvlib_RVP_QueryDID is not supported since Version 3.0.0\n"
            "rvlib_RVP_QueryDID is not supported since Version 3.0.0\n");
}

TEST_F(p2pLib, ArgumentAndHandleChecksOfEveryCall) {
  ASSERT_EQ(RVS_Initialize(("{\"MaxNumSess\":4, " + Json(Init(), 8).substr(1)).c_str()), 0);
  char buf[16];
  int size = 4, w, r;
  RVS_SessionInfo info;
  RVS_NetInfo net;
  char p[] = "ABC", s[] = "XYZ", p8[] = "ABCDEFGH";
  std::string big(0x200001, 'x');
  struct Case {
    const char* what;
    std::function<int()> call;
    int result;
  } cases[] = {
      {"NetworkDetect null", [&] { return RVS_NetworkDetect(nullptr, 0); }, -5},
      {"NetworkDetectByServer null server", [&] { return RVS_NetworkDetectByServer(&net, 0, nullptr); }, -5},
      {"Connect null DID", [&] { return RVS_Connect(nullptr, 12, 0); }, -4},
      {"ConnectByServer null DID", [&] { return RVS_ConnectByServer(nullptr, 12, 0, "x"); }, -4},
      {"ConnectByServer null server", [&] { return RVS_ConnectByServer("ABC-1-XYZ", 12, 0, nullptr); }, -5},
      {"Connect_Do prefix of 8", [&] { return rvlib_RVP_Connect_Do(p8, 1, s, 12, 0, nullptr, nullptr); }, -4},
      {"Connect_Do negative serial", [&] { return rvlib_RVP_Connect_Do(p, -1, s, 12, 0, nullptr, nullptr); },
       -4},
      {"Listen null DID", [&] { return RVS_Listen(nullptr, 600, 0, 1); }, -4},
      {"Listen_Do time-out 59", [&] { return rvlib_RVP_Listen_Do(p, 1, s, 59, 0, 1, nullptr); }, -5},
      {"Listen_Do time-out 86401", [&] { return rvlib_RVP_Listen_Do(p, 1, s, 86401, 0, 1, nullptr); }, -5},
      {"Listen_Do suffix of 8", [&] { return rvlib_RVP_Listen_Do(p, 1, p8, 600, 0, 1, nullptr); }, -4},
      {"LoginStatus_Check null", [&] { return RVS_LoginStatus_Check(nullptr); }, -5},
      {"Write channel 8", [&] { return RVS_Write(0, 8, "x", 1); }, -5},
      {"Write channel 0xFF", [&] { return RVS_Write(0, static_cast<char>(0xFF), "x", 1); }, -5},
      {"Write 0 bytes", [&] { return RVS_Write(0, 0, "x", 0); }, -5},
      {"Write 0x200001 bytes", [&] { return RVS_Write(0, 0, big.data(), 0x200001); }, -5},
      {"Write null", [&] { return RVS_Write(0, 0, nullptr, 1); }, -5},
      {"Read size 0", [&] { return size = 0, RVS_Read(0, 0, buf, &size, 10); }, -5},
      {"Read channel 8", [&] { return size = 4, RVS_Read(0, 8, buf, &size, 10); }, -5},
      {"Check_Buffer channel 8", [&] { return RVS_Check_Buffer(0, 8, &w, &r); }, -5},
      {"PktSend 1241 bytes", [&] { return RVS_PktSend(0, 0, big.data(), 1241); }, -5},
      {"PktRecv null size", [&] { return RVS_PktRecv(0, 0, buf, nullptr, 10); }, -5},
      {"Check null", [&] { return RVS_Check(0, nullptr); }, -5},
      {"Check handle -1", [&] { return RVS_Check(-1, &info); }, -11},
      {"Check handle 4", [&] { return RVS_Check(4, &info); }, -11},
      {"Close free slot", [&] { return RVS_Close(0); }, -11},
      {"ForceClose free slot", [&] { return RVS_ForceClose(3); }, -11},
      {"Write free slot", [&] { return RVS_Write(1, 7, "x", 1); }, -11},
      {"Write 0x200000 bytes to a free slot", [&] { return RVS_Write(1, 7, big.data(), 0x200000); }, -11},
      {"Read free slot", [&] { return size = 4, RVS_Read(2, 0, buf, &size, 10); }, -11},
      {"Check_Buffer free slot, no outs", [&] { return RVS_Check_Buffer(2, 0, nullptr, nullptr); }, -11},
      {"PktSend 0 bytes to a free slot", [&] { return RVS_PktSend(2, 0, nullptr, 0); }, -11},
      {"PktRecv free slot", [&] { return size = 4, RVS_PktRecv(2, 0, buf, &size, 10); }, -11},
      {"Listen DID with three dashes", [&] { return RVS_Listen("ab-12-cd-7", 600, 0, 1); }, -4},
      {"Listen time-out 59", [&] { return RVS_Listen("ABC-123456-XYZ:key", 59, 0, 1); }, -5},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(), c.result) << c.what;
  size = 4;
  EXPECT_EQ(RVS_Read(0, 8, buf, &size, 10), -5);
  EXPECT_EQ(size, 0) << "a refused read reports no bytes";

  // A slot in use by a connect or listen that has not handed it out yet is
  // nobody's handle: the data calls leave it alone.
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    g_rvs.sessions[2].socket = 9;
  }
  EXPECT_EQ(RVS_Check(2, &info), -11);
  EXPECT_EQ(rvlib_RVP_Write(2, 0, "x", 1), -11);
  EXPECT_EQ(RVS_Close(2), -11);
  EXPECT_EQ(RVS_ForceClose(2), -11);
  EXPECT_EQ(g_rvs.sessions[2].close_started.load(), 0);
  std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
  g_rvs.sessions[2].socket = -1;
}

TEST_F(p2pLib, FlagCalls) {
  ASSERT_EQ(RVS_Initialize(Init().c_str()), 0);
  char on = 7;
  EXPECT_EQ(RVS_LoginStatus_Check(&on), 0);
  EXPECT_EQ(on, 0) << "no login acknowledgement was ever received";
  g_rvs.last_login_ack_tcp = p2p::NowSec() - 60;
  EXPECT_EQ(RVS_LoginStatus_Check(&on), 0);
  EXPECT_EQ(on, 1);
  g_rvs.last_login_ack_tcp = p2p::NowSec() - 61;
  g_rvs.last_login_ack_udp = p2p::NowSec() - 70;
  EXPECT_EQ(rvlib_RVP_LoginStatus_Check(&on), 0);
  EXPECT_EQ(on, 0);

  g_rvs.listen_timeout = 600;
  EXPECT_EQ(RVS_Listen_Break(), 0);
  EXPECT_EQ(g_rvs.listen_timeout.load(), 0);
  EXPECT_EQ(g_rvs.listen_break.load(), 1);
  EXPECT_EQ(RVS_Connect_Break(), 0);
  EXPECT_EQ(g_rvs.connect_break.load(), 1);

  EXPECT_EQ(RVS_Share_Bandwidth(1), 0);
  EXPECT_EQ(g_rvs.share_bandwidth_flag.load(), 1);
  EXPECT_EQ(RVS_Enable_SmartDevice(1), 0);
  EXPECT_EQ(g_rvs.smart_device_flag.load(), 1);
  EXPECT_EQ(rvlib_RVP_Share_Bandwidth(0), 0);
  EXPECT_EQ(g_rvs.share_bandwidth_flag.load(), 0);
  // Initialising again clears the flags.
  ASSERT_EQ(RVS_DeInitialize(), 0);
  ASSERT_EQ(RVS_Initialize(Init().c_str()), 0);
  EXPECT_EQ(g_rvs.smart_device_flag.load(), 0);
  EXPECT_EQ(g_rvs.connect_break.load(), 0);
}

TEST_F(p2pLib, SlotsAreTakenRoundRobin) {
  ASSERT_EQ(RVS_Initialize(("{\"MaxNumSess\":3, " + Json(Init(), 8).substr(1)).c_str()), 0);
  // The search starts after the slot taken last (cursor 0 at start).
  EXPECT_EQ(p2p::RVP_SlotAlloc(), 1);
  EXPECT_EQ(p2p::RVP_SlotAlloc(), 2);
  EXPECT_EQ(p2p::RVP_SlotAlloc(), 0);
  EXPECT_EQ(p2p::RVP_SlotAlloc(), -17);
  EXPECT_EQ(g_rvs.sessions[1].socket, p2p::kSlotReserved);
  {
    std::lock_guard<p2p::Mutex> g(g_rvs.mutex);
    g_rvs.sessions[1].socket = -1;
    g_rvs.sessions[2].socket = 12;
  }
  EXPECT_EQ(p2p::RVP_SlotsInUse(), 1);
  EXPECT_EQ(p2p::RVP_SlotAlloc(), 1);
  EXPECT_EQ(p2p::RVP_SlotAlloc(), -17);
}

// De-initialisation does not free the session table under a call still
// running; it waits for it.
TEST_F(p2pLib, DeInitialisationWaitsForCallsInFlight) {
  ASSERT_EQ(RVS_Initialize(Init().c_str()), 0);
  std::atomic<bool> done{false};
  std::thread deinit;
  {
    p2p::CallGuard running;  // a call inside the library
    ASSERT_TRUE(p2p::CallGuard::Usable());
    deinit = std::thread([&] {
      EXPECT_EQ(RVS_DeInitialize(), 0);
      done = true;
    });
    p2p::SleepMs(400);
    EXPECT_FALSE(done.load());
    EXPECT_NE(g_rvs.sessions, nullptr);
    EXPECT_EQ(g_rvs.initialized.load(), 1);
    // New calls are refused meanwhile, and a second de-initialisation too.
    EXPECT_EQ(RVS_Close(0), -1);
    EXPECT_EQ(RVS_DeInitialize(), -1);
  }
  deinit.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(g_rvs.sessions, nullptr);
}

// Threads call every export while the library is initialised and
// de-initialised over and over; run under the sanitizers.
TEST_F(p2pLib, CallsRaceInitialisationCycles) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> callers;
  std::atomic<long> calls{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      std::vector<Call> all = AllCalls();
      while (!stop.load()) {
        for (size_t i = 0; i < all.size(); ++i) {
          if (std::string(all[i].name) == "DeInitialize") continue;
          int r = (t & 1) ? all[i].rvlib() : all[i].rvs();
          EXPECT_LE(r, 0) << all[i].name;
          const char* info = RVS_GetAPIInformation();
          EXPECT_EQ(info[std::strlen(info) - 1], '}');
          calls.fetch_add(1);
        }
      }
    });
  }
  for (int cycle = 0; cycle < 5; ++cycle) {
    ASSERT_EQ(RVS_Initialize(("{\"MaxNumSess\":8, " + Json(Init(), 8).substr(1)).c_str()), 0);
    p2p::SleepMs(20);
    ASSERT_EQ(RVS_DeInitialize(), 0);
  }
  stop = true;
  for (auto& c : callers) c.join();
  EXPECT_GT(calls.load(), 0);
}

TEST(p2pApiInfo, EachThreadHasItsOwnText) {
  const char* mine = RVS_GetAPIInformation();
  const char* theirs = nullptr;
  std::thread([&] { theirs = RVS_GetAPIInformation(); }).join();
  EXPECT_NE(mine, theirs);
  EXPECT_STREQ(mine, kInfoBefore);
}

}  // namespace
