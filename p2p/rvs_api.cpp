// The exported interface: initialisation, status, flags, and the argument and
// state checks of every call.
#include "p2p/rvs_api.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "p2p/api_alias.h"
#include "p2p/bridge.h"
#include "p2p/cipher.h"
#include "p2p/msg.h"
#include "p2p/netdetect.h"
#include "p2p/services.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"
#include "p2p/state.h"

using namespace p2p;

static_assert(sizeof(RVS_SessionInfo) == 84, "session record layout");
static_assert(sizeof(RVS_NetInfo) == 36, "network record layout");

namespace {

// Serialises RVS_Initialize and RVS_DeInitialize.
std::mutex g_lifecycle;

void ConnectBreak() { g_rvs.connect_break.store(1); }

void ListenBreak() {
  g_rvs.listen_timeout.store(0);
  g_rvs.listen_break.store(1);
}

}  // namespace

extern "C" {

unsigned int RVS_GetAPIVersion(void) { return kApiVersion; }

const char* RVS_GetAPIInformation(void) {
  // One buffer per thread, so that concurrent callers never see each other's text half written.
  static thread_local char info[kApiInfoSize];
  for (;;) {
    {
      CallGuard guard;
      if (!g_rvs.deinitializing.load()) {
        RVP_ApiInfoBuild(info, sizeof(info));
        return info;
      }
    }
    SleepMs(10);
  }
}

int RVS_Initialize(const char* param) {
  std::lock_guard<std::mutex> lifecycle(g_lifecycle);
  if (g_rvs.initialized.load()) return RVS_ERR_ALREADY_INITIALIZED;
  if (!param) return RVS_ERR_INVALID_PARAMETER;

  int max_sess = kDefaultMaxNumSess, alive = kDefaultSessAliveSec;
  std::string init;
  if (param[0] == '{' || (param[0] != 0 && param[1] == '{')) {
    int v;
    if (RVP_ParamGetInt(param, "MaxNumSess", &v) == 0) {
      if (v < 1 || v > kDefaultMaxNumSess) return RVS_ERR_INVALID_PARAMETER;
      max_sess = v;
    }
    if (RVP_ParamGetInt(param, "SessAliveSec", &v) == 0) {
      if (v < kMinSessAliveSec || v > kMaxSessAliveSec) return RVS_ERR_INVALID_PARAMETER;
      alive = v;
    }
    char s[256];
    if (RVP_ParamGet(param, "InitString", true, s, sizeof(s)) != 0) return RVS_ERR_INVALID_PARAMETER;
    init = s;
  } else {
    init = param;
  }
  if (init.size() <= 17) return RVS_ERR_INVALID_PARAMETER;

  Session* table = new (std::nothrow) Session[static_cast<size_t>(max_sess)];
  if (!table) return RVS_ERR_INIT_OUT_OF_MEMORY;

  RVP_ServerQueueClear();
  {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  g_rvs.max_num_sess.store(max_sess);
  g_rvs.sess_alive_sec.store(alive);
  g_rvs.sessions = table;
  g_rvs.cursor = 0;
  g_rvs.last_login_ack_udp.store(0);
  g_rvs.last_login_ack_tcp.store(0);
  g_rvs.last_net_detect.store(0);
  g_rvs.prev_tcp_listen_start.store(0);
  g_rvs.smart_device_flag.store(0);
  g_rvs.share_bandwidth_flag.store(0);
  std::memset(g_rvs.init_string, 0, sizeof(g_rvs.init_string));
  std::memcpy(g_rvs.init_string, init.data(), std::min(init.size(), kInitStringKeep));
  RVP_ServerNamesOf(init.c_str(), g_rvs.server_names);
  for (sockaddr_in& a : g_rvs.servers) {
    a = sockaddr_in{};
    a.sin_family = AF_INET;
    a.sin_port = htons(ServerUdpPort());
  }
  for (int i = 0; i < max_sess; ++i) table[i].Clear();
  std::strcpy(g_rvs.lan_ip, "0.0.0.0");
  std::strcpy(g_rvs.wan_ip, "0.0.0.0");
  g_rvs.nat_type.store(0);
  g_rvs.bridge_did = RVP_DidBlock{};
  RVP_PacketKeyOf(init.c_str(), g_rvs.packet_key);
  for (int i = 0; i < kServers; ++i) g_rvs.hello_send_tick[i] = g_rvs.hello_answer_tick[i] = kNoTick;
  g_rvs.connect_break.store(0);
  g_rvs.listen_break.store(0);
  g_rvs.initialized.store(1);
  }
  RVP_BridgeStart();
  SleepMs(2);
  return RVS_ERR_SUCCESS;
}

int RVS_DeInitialize(void) {
  if (!g_rvs.initialized.load()) return RVS_ERR_NOT_INITIALIZED;
  char expected = 0;
  if (!g_rvs.deinitializing.compare_exchange_strong(expected, 1)) return RVS_ERR_NOT_INITIALIZED;
  std::lock_guard<std::mutex> lifecycle(g_lifecycle);
  if (!g_rvs.initialized.load()) {
    g_rvs.deinitializing.store(0);
    return RVS_ERR_NOT_INITIALIZED;
  }
  RVP_BridgeStop();
  SleepMs(10);
  // New calls now return at their entry; a close that waits for its data to
  // go finishes at once; end the running connects and listens.
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    for (int i = 0; i < g_rvs.max_num_sess.load(); ++i) {
      Session& s = g_rvs.sessions[i];
      if (s.InUse() && s.close_started.load()) s.closing.store(1);
    }
  }
  ListenBreak();
  ConnectBreak();
  SleepMs(100);
  ListenBreak();
  ConnectBreak();
  SleepMs(100);
  // Calls still inside the library finish before the table goes away.
  while (g_rvs.calls_in_flight.load() > 0) SleepMs(10);

  // Sessions still open are closed without waiting for their peers; no
  // thread outlives the table.
  RVP_SessionCloseAll();
  for (int i = 0; i < g_rvs.max_num_sess.load(); ++i) RVP_DialogueStop(i);
  RVP_SmartDeviceStop();
  RVP_ShareBandwidthStop();
  RVP_ServerQueueClear();
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    delete[] g_rvs.sessions;
    g_rvs.sessions = nullptr;
    std::memset(g_rvs.login_key, 0, sizeof(g_rvs.login_key));
    g_rvs.max_num_sess.store(kDefaultMaxNumSess);
    g_rvs.sess_alive_sec.store(kDefaultSessAliveSec);
  }
  g_rvs.initialized.store(0);
  g_rvs.deinitializing.store(0);
  return RVS_ERR_SUCCESS;
}

int RVS_NetworkDetect(RVS_NetInfo* out, unsigned short udp_port) {
  CallGuard guard;
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  if (!out) return RVS_ERR_INVALID_PARAMETER;
  sockaddr_in servers[kServers];
  return RVP_NetDetect(out, false, udp_port, g_rvs.init_string, servers);
}

int RVS_NetworkDetectByServer(RVS_NetInfo* out, unsigned short udp_port, const char* server) {
  CallGuard guard;
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  if (!out || !server) return RVS_ERR_INVALID_PARAMETER;
  sockaddr_in servers[kServers];
  return RVP_NetDetect(out, false, udp_port, server, servers);
}

int RVS_Connect_Break(void) {
  if (!g_rvs.initialized.load()) return RVS_ERR_NOT_INITIALIZED;
  ConnectBreak();
  return RVS_ERR_SUCCESS;
}

int RVS_Listen_Break(void) {
  if (!g_rvs.initialized.load()) return RVS_ERR_NOT_INITIALIZED;
  ListenBreak();
  return RVS_ERR_SUCCESS;
}

int RVS_LoginStatus_Check(char* out) {
  CallGuard guard;
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  if (!out) return RVS_ERR_INVALID_PARAMETER;
  int64_t last = std::max(g_rvs.last_login_ack_udp.load(), g_rvs.last_login_ack_tcp.load());
  *out = static_cast<uint64_t>(NowSec() - last) < 61 ? 1 : 0;
  return RVS_ERR_SUCCESS;
}

int RVS_QueryDID(void) {
  std::printf("rvlib_RVP_QueryDID is not supported since Version 3.0.0\n");
  std::fflush(stdout);
  return 0;
}

int RVS_Share_Bandwidth(char on) {
  CallGuard guard;
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  g_rvs.share_bandwidth_flag.store(on);
  if (!on) RVP_ShareBandwidthStop();
  return RVS_ERR_SUCCESS;
}

int RVS_Enable_SmartDevice(char on) {
  CallGuard guard;
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  g_rvs.smart_device_flag.store(on);
  if (!on) RVP_SmartDeviceStop();
  return RVS_ERR_SUCCESS;
}

RVS_ALIAS(unsigned int, GetAPIVersion, (void))
RVS_ALIAS(const char*, GetAPIInformation, (void))
RVS_ALIAS(int, Initialize, (const char*))
RVS_ALIAS(int, DeInitialize, (void))
RVS_ALIAS(int, NetworkDetect, (RVS_NetInfo*, unsigned short))
RVS_ALIAS(int, NetworkDetectByServer, (RVS_NetInfo*, unsigned short, const char*))
RVS_ALIAS(int, Connect_Break, (void))
RVS_ALIAS(int, Listen_Break, (void))
RVS_ALIAS(int, LoginStatus_Check, (char*))
RVS_ALIAS(int, QueryDID, (void))
RVS_ALIAS(int, Share_Bandwidth, (char))
RVS_ALIAS(int, Enable_SmartDevice, (char))

}  // extern "C"
