// The listen procedure: a device logs in at the servers under its DID and
// waits, for a bounded time, for one client to reach it by punching, through
// a relay, through a TCP relay or from the LAN. Like a connect it runs on the
// caller's thread in rounds of 100 ms, sending logins and reading the state
// bytes the session's dialogue thread writes; beside it a responder answers
// LAN searches with the device's DID.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "p2p/api_alias.h"
#include "p2p/bridge.h"
#include "p2p/connect.h"
#include "p2p/listen.h"
#include "p2p/msg_io.h"
#include "p2p/netdetect.h"
#include "p2p/rvs_api.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"
#include "p2p/tcp_link.h"

using namespace p2p;

namespace {

constexpr unsigned kRoundMs = 100;
constexpr unsigned kStepMs = 10;
constexpr int kSubRounds = 10;
constexpr int64_t kDetectAgainSec = 86400;
constexpr uint32_t kTcpAfterMs = 2000;
constexpr uint32_t kReloginMs = 60000;
constexpr unsigned kLanWaitMs = 50;

bool LoginRound(int round) { return round == 0 || round == 10 || round == 30 || round % 300 == 0; }

void SendHellos(int slot) {
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    for (int i = 0; i < kServers; ++i)
      if (g_rvs.hello_answer_tick[i] == kNoTick) g_rvs.hello_send_tick[i] = TickMs();
  }
  RVP_Msg hello;
  RVP_MsgInit(&hello, MsgHello);
  RVP_SessionSendToServers(slot, hello);
}

void SendLogin(int slot) {
  const Session& s = Sess(slot);
  RVP_Msg m;
  RVP_SessionMsg(slot, s.did_key[0] ? MsgDevLoginKeyed : MsgDevLogin, &m);
  m.nat_type = g_rvs.nat_type.load();
  m.addr[0] = RVP_SessionLocal(slot);
  std::memcpy(m.did_key, s.did_key, kDidKeyField - 1);
  RVP_SessionSendToServers(slot, m);
}

// Login modes 0 and 1: 100 ms of flushing the server queue.
void QueueRound(int slot, bool flush) {
  const uint32_t start = TickMs();
  for (;;) {
    if (flush) RVP_ServerQueueFlush(slot);
    const uint32_t spent = TickMs() - start;
    if (spent >= kRoundMs) return;
    SleepMs(std::min(kStepMs, kRoundMs - spent));
  }
}

// The TCP links go on when UDP logins stay unanswered, or at once when UDP
// has not answered since the previous TCP-mode listen began.
void TcpLinksOn(Session& s) {
  if (s.tcp_link_state.load() != kTcpLinksOff) return;
  const int64_t since = s.tcp_start_time.load();
  const int64_t udp_ack = g_rvs.last_login_ack_udp.load();
  const int64_t prev = g_rvs.prev_tcp_listen_start.load();
  const bool silent = TickMs() - s.tcp_start_tick > kTcpAfterMs && udp_ack < since;
  const bool silent_before = udp_ack < prev && g_rvs.last_hello_answer.load() < prev;
  if (silent || silent_before) s.tcp_link_state.store(kTcpLinksOn);
}

// Login mode 2: up to ten 10 ms sub-rounds with the TCP links; true when a
// TCP relay was offered and tried, which ends the rounds.
bool TcpRound(int slot, int round, uint32_t* next_relogin) {
  Session& s = Sess(slot);
  const bool keyed = s.did_key[0] != 0;
  if (round == 0) {
    s.tcp_start_time.store(NowSec());
    s.tcp_start_tick = TickMs();
    *next_relogin = kReloginMs;
    RVP_TcpLinksMake(slot);
  }
  TcpLinksOn(s);
  if (TickMs() - s.tcp_start_tick >= *next_relogin) {
    RVP_TcpLinksOweAgain(slot, keyed ? kOweLoginKeyed : kOweLogin);
    *next_relogin += kReloginMs;
  }
  const uint32_t start = TickMs();
  for (int sub = 0; sub < kSubRounds && TickMs() - start < kRoundMs; ++sub) {
    if (s.tcp_link_state.load() == kTcpLinksOn) {
      RVP_TcpLinksConnect(slot, keyed ? kOweLoginKeyed : kOweLogin);
      if (keyed)
        RVP_TcpLinksSendDevLoginEx(slot);
      else
        RVP_TcpLinksSendDevLogin(slot);
      RVP_TcpLinksRecv(slot);
    }
    // A punch that already reached the device keeps its path.
    if (s.tcp_relay_offered.load() && !s.established.load()) {
      RVP_TcpRelayConnect(slot);
      return true;
    }
    RVP_ServerQueueFlush(slot);
    SleepMs(kStepMs);
  }
  return false;
}

int Outcome(int slot, uint8_t login_mode) {
  Session& s = Sess(slot);
  switch (static_cast<uint8_t>(s.login_result.load())) {
    case 252:
      return RVS_ERR_SERVER_REFUSED;
    case 253:
      return RVS_ERR_INVALID_PREFIX;
    case 254:
      return RVS_ERR_LOGIN_REFUSED;
    case 255:
      return RVS_ERR_INVALID_ID;
    default:
      break;
  }
  // Other refusals have no code of their own.
  if (s.login_result.load() < 0) return RVS_ERR_SERVER_REFUSED;
  const bool broken = g_rvs.listen_break.load() != 0;
  if (login_mode == kLoginTcp) {
    const uint8_t relay = s.tcp_relay_state.load();
    if (relay == kTcpRelayConnected) {
      RVP_SessionEstablish(slot, kModeTcpRelay, RVP_Addr24ToV4(s.tcp_relay_addr));
      return slot;
    }
    if (relay >= kTcpRelayNoSocket) return broken ? RVS_ERR_LISTEN_BREAK : RVS_ERR_TCP_RELAY_FAILED;
  }
  if (s.established.load()) return slot;
  return broken ? RVS_ERR_LISTEN_BREAK : RVS_ERR_TIME_OUT;
}

int ListenDo(const char* prefix, int serial, const char* suffix, unsigned timeout_sec, uint16_t udp_port,
             uint8_t login_mode, const char* did_key) {
  const uint32_t start = TickMs();
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  if (timeout_sec < kListenMinSec || timeout_sec > kListenMaxSec) return RVS_ERR_INVALID_PARAMETER;
  if (!prefix || !suffix || strnlen(prefix, 8) > 7 || strnlen(suffix, 8) > 7 || serial < 0)
    return RVS_ERR_INVALID_ID;
  const int slot = RVP_SlotAlloc();
  if (slot < 0) return RVS_ERR_MAX_SESSION;
  g_rvs.listen_break.store(0);
  g_rvs.listen_timeout.store(static_cast<int>(timeout_sec));
  // LAN only contacts no server: no detection, no login, no report.
  const bool servers = login_mode != kLoginLanOnly;
  if (servers && NowSec() - g_rvs.last_net_detect.load() > kDetectAgainSec) {
    RVS_NetInfo info;
    sockaddr_in resolved[kServers];
    if (RVP_NetDetect(&info, false, 0, g_rvs.init_string, resolved) != 0) {
      RVP_SessionFree(slot);
      return RVS_ERR_UDP_PORT_BIND_FAILED;
    }
  }
  std::srand(static_cast<unsigned>(std::time(nullptr) + TickMs()));
  sockaddr_in server_addrs[kServers];
  char key[21];
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    std::memcpy(server_addrs, g_rvs.servers, sizeof(server_addrs));
    std::memcpy(key, g_rvs.packet_key, sizeof(key));
  }
  SessionSetup setup;
  setup.role = kRoleDevice;
  setup.prefix = prefix;
  setup.serial = static_cast<uint32_t>(serial);
  setup.suffix = suffix;
  setup.did_key = did_key;
  setup.packet_key = key;
  setup.servers = server_addrs;
  setup.udp_port = udp_port;
  int r = RVP_SessionOpen(slot, setup);
  if (r != 0) {
    RVP_SessionFree(slot);
    return r;
  }
  Session& s = Sess(slot);
  s.start_tick = start;
  if (!RVP_DialogueStart(slot)) {
    RVP_SessionFree(slot);
    return RVS_ERR_FAIL_TO_CREATE_THREAD;
  }
  if (!s.lan_thread.Start("RVP_LanResp", [slot] { RVP_LanSearchResponderThread(slot); })) {
    RVP_DialogueStop(slot);
    RVP_SessionFree(slot);
    return RVS_ERR_FAIL_TO_CREATE_THREAD;
  }
  s.login_result.store(kServerWaiting);

  uint32_t next_relogin = 0;
  for (int round = 0;; ++round) {
    const int timeout = g_rvs.listen_timeout.load();
    if (round >= timeout * 10 || TickMs() - start >= static_cast<uint32_t>(timeout) * 1000) break;
    if (servers) {
      if (round == 0) SendHellos(slot);
      if (LoginRound(round)) SendLogin(slot);
    }
    if (s.established.load() || s.login_result.load() < 0) break;
    if (login_mode == kLoginTcp) {
      if (TcpRound(slot, round, &next_relogin)) break;
    } else {
      QueueRound(slot, servers);
    }
    if (round % 10 == 0) s.port_burst.store(0);
  }

  const int result = Outcome(slot, login_mode);
  RVP_DialogueStop(slot);
  s.lan_thread.Join();
  if (login_mode == kLoginTcp) RVP_TcpLinksFree(slot);
  // Finishing a failed listen frees its session: the start of its TCP links is kept first.
  const int64_t tcp_start = s.tcp_start_time.load();
  const int handle = RVP_SessionFinish(slot, result, login_mode, servers);
  if (login_mode == kLoginTcp) g_rvs.prev_tcp_listen_start.store(tcp_start);
  return handle;
}

}  // namespace

void RVP_LanSearchResponderThread(int slot) {
  Session& s = Sess(slot);
  const int sock = RVP_LanSearchSocket();
  if (sock < 0) return;
  char key[21];
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    std::memcpy(key, g_rvs.packet_key, sizeof(key));
  }
  RVP_Msg punch;
  RVP_SessionMsg(slot, MsgPunch, &punch);
  uint8_t payload[kMaxPayload];
  while (!s.stop_dialogue.load()) {
    sockaddr_in from{};
    uint8_t type;
    uint16_t len;
    if (RVP_RecvMsg(key, &from, sock, kLanWaitMs, &type, &len, payload, sizeof(payload)) != 0 ||
        type != MsgLanSearch)
      continue;
    RVP_SessionSend(slot, from, punch);
    const uint32_t now = TickMs();
    s.last_lan_answer_tick.store(now ? now : 1);
  }
  RVP_SocketClose(sock);
}

extern "C" {

int RVS_Listen(const char* did, unsigned int timeout_sec, unsigned short udp_port, char login_mode) {
  CallGuard guard;
  if (!did) return RVS_ERR_INVALID_ID;
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  RVP_DidParts parts;
  if (RVP_DidSplit(did, &parts) != 0) return RVS_ERR_INVALID_ID;
  return ListenDo(parts.prefix, parts.serial, parts.suffix, timeout_sec, udp_port,
                  static_cast<uint8_t>(login_mode), parts.key[0] ? parts.key : nullptr);
}

RVS_ALIAS(int, Listen, (const char*, unsigned int, unsigned short, char))

}  // extern "C"

int rvlib_RVP_Listen_Do(char* prefix, int serial, char* suffix, unsigned int timeout_sec, unsigned short udp_port,
                        char login_mode, const char* did_key) {
  CallGuard guard;
  return ListenDo(prefix, serial, suffix, timeout_sec, udp_port, static_cast<uint8_t>(login_mode), did_key);
}
