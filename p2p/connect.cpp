// The connect procedure: a client opens a session to a device named by its
// device ID. It runs on the caller's thread in fixed rounds, sending LAN
// searches and requests to the servers and reading the state bytes that the
// session's dialogue thread writes; two query modes only ask about the device.
#include "p2p/connect.h"

#include <arpa/inet.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "p2p/api_alias.h"
#include "p2p/msg_io.h"
#include "p2p/netdetect.h"
#include "p2p/rvs_api.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"
#include "p2p/tcp_link.h"

using namespace p2p;

namespace {

constexpr uint8_t kModeQuery = 0x79;
constexpr uint8_t kModeTcpA = 0x7A;
constexpr uint8_t kModeTcpB = 0x7B;
constexpr uint8_t kModeTcpOnly = 0x7C;
constexpr uint8_t kModeTimedD = 0x7D;
constexpr uint8_t kModeTimedE = 0x7E;
constexpr uint8_t kModeStateQuery = 0x7F;
constexpr uint8_t kModeLanOnly = 0x3F;
constexpr unsigned kRoundMs = 100;
constexpr unsigned kTimedRoundMs = 10;
constexpr int kQueryUnits = 50;
constexpr int kRelayBudget = 44;
constexpr uint8_t kRemembered0 = 250;
constexpr int64_t kResolveAgainSec = 86400;

bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool Broken() { return g_rvs.connect_break.load() != 0; }
bool Deinit() { return g_rvs.deinitializing.load() != 0; }

bool Refused(int8_t state) {
  return state == kServerInvalidId || state == kServerBadPrefix || state == kServerRefused;
}

// What the procedure knows besides the session record.
struct Run {
  int slot;
  uint8_t mode;
  RVP_ConnectParam param;
  bool specific = false;
  sockaddr_in specific_addr{};
};

void SendLanSearch(const Run& run) {
  Session& s = Sess(run.slot);
  uint8_t msg[kMsgHeaderSize];
  RVP_MsgHeaderWrite(msg, MsgLanSearch, 0);
  std::lock_guard<Mutex> g(g_rvs.mutex);
  if (!RVP_LanBroadcast(s.packet_key, msg, s.socket)) RVP_LanBroadcastV4(s.packet_key, msg, s.socket);
  sockaddr_in all{};
  all.sin_family = AF_INET;
  all.sin_port = htons(kLanSearchPort);
  all.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  RVP_UdpSend4(s.packet_key, msg, all, s.socket);
  if (run.specific) RVP_UdpSend4(s.packet_key, msg, run.specific_addr, s.socket);
}

// A request in its plain, keyed and wake-up forms.
uint8_t Variant(const Session& s, uint8_t plain, uint8_t wakeup, uint8_t keyed, uint8_t keyed_wakeup) {
  bool keyed_form = s.did_key[0] != 0, wake = s.wakeup[0] != 0;
  return keyed_form ? (wake ? keyed_wakeup : keyed) : (wake ? wakeup : plain);
}

void FillRequest(int slot, RVP_Msg* m) {
  const Session& s = Sess(slot);
  m->addr[0] = RVP_SessionLocal(slot);
  m->nat_type = g_rvs.nat_type.load();
  std::memcpy(m->did_key, s.did_key, kDidKeyField - 1);
  std::memcpy(m->wakeup, s.wakeup, kWakeupField);
}

void SendConnectReq(int slot) {
  Session& s = Sess(slot);
  RVP_Msg m;
  RVP_SessionMsg(
      slot, Variant(s, MsgConnectReq, MsgConnectReqWakeup, MsgConnectReqKeyed, MsgConnectReqKeyedWakeup), &m);
  FillRequest(slot, &m);
  RVP_SessionSendToServers(slot, m);
}

void SendRelayReq(int slot) {
  Session& s = Sess(slot);
  RVP_Msg m;
  RVP_SessionMsg(slot, Variant(s, MsgRelayReq, MsgRelayReqWakeup, MsgRelayReqKeyed, MsgRelayReqKeyedWakeup),
                 &m);
  FillRequest(slot, &m);
  RVP_SessionSendToServers(slot, m);
}

void SendQuery(int slot) {
  Session& s = Sess(slot);
  RVP_Msg m;
  RVP_SessionMsg(slot, s.did_key[0] ? MsgQueryDeviceKeyed : MsgQueryDevice, &m);
  FillRequest(slot, &m);
  RVP_SessionSendToServers(slot, m);
}

void SendRelayTo(int slot) {
  Session& s = Sess(slot);
  RVP_Msg m;
  RVP_SessionMsg(slot, MsgRelayTo, &m);
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    m.addr[0] = s.relay;
  }
  m.ticket = s.relay_ticket.load();
  RVP_SessionSendToServers(slot, m);
}

// One more relay restart; from the second on, the relay in use joins the
// history of relays not to greet again.
void CountRelayRestart(Session& s) {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  ++s.relay_restarts;
  if (s.relay_restarts >= 2) s.relay_history[(s.relay_restarts - 2) % kRelayHistory] = s.relay;
}

// Rounds of 100 ms: LAN searches, then connect requests while the servers
// introduce the peers.
void P2PPhase(Run& run) {
  Session& s = Sess(run.slot);
  const int n = (run.mode >> 1) & 15;
  const int limit = n == 0 ? 45 : n == 15 ? 0 : n * 10;
  int round = (run.mode & 1) ? -14 : 0;
  while (round < limit && !Broken() && !Deinit()) {
    if (run.mode & 1) SendLanSearch(run);
    if (round >= 0 && round % 10 == 0) {
      SendConnectReq(run.slot);
      s.port_burst.store(0);
    }
    int8_t st = s.server_state.load();
    if (s.established.load() || Refused(st)) break;
    round += (st == kServerOnline || st == kServerNotOnline) ? 2 : 1;
    SleepMs(kRoundMs);
  }
}

// Rounds of 100 ms through the relay hand-shake, restarting it when it stalls.
void RelayPhase(Run& run) {
  Session& s = Sess(run.slot);
  s.relay_retry.store((run.mode & 0x40) ? 1 : 0);
  s.relay_state.store(kRelayWaitList);
  uint8_t remembered = kRemembered0;
  int stable = 0, budget = kRelayBudget, fallbacks = 0;
  auto restart = [&] {
    s.relay_state.store(kRelayWaitList);
    remembered = kRemembered0;
    stable = 0;
  };
  while (!s.established.load() && !Broken() && !Deinit() && s.server_state.load() >= 0 && budget >= 1) {
    int8_t retry = s.relay_retry.load();
    if (retry > 0) {
      s.relay_retry.store(++retry);
      if (retry % 20 == 0) {
        CountRelayRestart(s);
        restart();
      }
    }
    if (budget < 25 && s.relay_retry.load() == 0) s.relay_retry.store(1);
    const uint8_t state = s.relay_state.load();
    const uint8_t before = remembered;
    bool restarted = false;
    switch (state) {
      case kRelayWaitList:
        if (stable > 4) restart();
        if (remembered == kRemembered0) SendRelayReq(run.slot);
        break;
      case kRelayHellosSent:
      case kRelayPortAsked:
        if (stable > 4) {
          restart();
          restarted = true;
        }
        break;
      case kRelayTicketHeld:
        if (before != kRelayTicketHeld) SendRelayTo(run.slot);
        if (before == kRelayServersAcked) ++fallbacks;
        break;
      case kRelayServersAcked:
        if (before == kRelayServersAcked && stable > 0) {
          if (fallbacks > 0) {
            restart();
            restarted = true;
          } else {
            s.relay_state.store(kRelayTicketHeld);
          }
        }
        break;
      default:
        break;
    }
    --budget;
    SleepMs(kRoundMs);
    if (restarted) continue;  // the next round asks for relays again
    stable = state == before ? stable + 1 : 0;
    remembered = state;
  }
}

bool LinksGone(int slot) {
  for (int i = 0; i < kTcpLinks; ++i) {
    RVP_TcpLink* l = Sess(slot).tcp_links[i].load();
    if (!l) continue;
    std::lock_guard<std::mutex> g(l->m);
    if (l->socket >= 0 || !l->attempted) return false;
  }
  return true;
}

void DriveTcpLinks(int slot) {
  const bool keyed = Sess(slot).did_key[0] != 0;
  RVP_TcpLinksConnect(slot, keyed ? kOweReqKeyed : kOweReq);
  if (keyed) {
    RVP_TcpLinksSendP2PReqKeyed(slot);
    RVP_TcpLinksResendP2PReqKeyed(slot);
  } else {
    RVP_TcpLinksSendP2PReq(slot);
    RVP_TcpLinksResendP2PReq(slot);
  }
  RVP_TcpLinksRecv(slot);
}

// Modes 0x7A-0x7E: rounds of 10 ms for up to T seconds, with UDP requests, a
// relay trigger once the device is known online, and in 0x7A-0x7C the TCP
// links to the servers and their TCP relay.
void TimedPhase(Run& run) {
  Session& s = Sess(run.slot);
  const int t = run.param.timed_sec;
  const bool tcp = run.mode >= kModeTcpA && run.mode <= kModeTcpOnly;
  if (tcp) s.accept_direct_tcp.store(1);
  const unsigned link_delay = run.mode == kModeTcpOnly ? 0 : run.mode == kModeTcpB ? 100 : 1500;
  const uint32_t start = TickMs();
  int online = 0, trigger = 0, passes = 0;
  in_addr_t last_local = RVP_SessionLocal(run.slot).sin_addr.s_addr;
  for (int round = 0; round < t * 100 && TickMs() - start < static_cast<uint32_t>(t + 1) * 1000; ++round) {
    if (s.established.load() || Broken() || Deinit() || Refused(s.server_state.load())) return;
    if (run.mode != kModeTcpOnly) {
      in_addr_t local = RVP_SessionLocal(run.slot).sin_addr.s_addr;
      if (round % 100 == 0 || local != last_local) {
        SendConnectReq(run.slot);
        s.port_burst.store(0);
      }
      last_local = local;
    }
    if (run.mode == kModeTcpOnly) {
      online = 0;
    } else if (s.server_state.load() == kServerOnline && online == 0) {
      online = (run.mode == kModeTcpB || run.mode == kModeTimedD) ? 25 : 1;
    } else if (online > 24 && trigger == 0) {
      trigger = 1;
    } else if (online > 0) {
      ++online;
    }
    if (run.mode == kModeTcpOnly && round % 10 == 9 && LinksGone(run.slot)) return;
    if (tcp) {
      if (round == 0) {
        s.tcp_start_time.store(NowSec());
        s.tcp_start_tick = TickMs();
        RVP_TcpLinksMake(run.slot);
      }
      if (s.tcp_link_state.load() == kTcpLinksOff && TickMs() - s.tcp_start_tick >= link_delay)
        s.tcp_link_state.store(kTcpLinksOn);
      if (s.tcp_link_state.load() >= kTcpLinksOn) {
        DriveTcpLinks(run.slot);
        if (s.tcp_relay_offered.load()) {
          s.server_state.store(kServerOnline);
          RVP_TcpRelayConnect(run.slot);
          return;
        }
      }
    }
    if (round % 10 == 0) {
      if (run.mode & 1) SendLanSearch(run);
      if (trigger > 0) ++trigger;
      if (trigger == 3 || trigger == 5 || trigger == 7) {
        if (++passes % 10 == 1) {
          CountRelayRestart(s);
          s.relay_state.store(kRelayWaitList);
          s.relay_retry.store(0);
          if (!run.param.skip_udp_relay) SendRelayReq(run.slot);
        }
        uint8_t st = s.relay_state.load();
        if (st == kRelayTicketHeld || st == kRelayServersAcked) SendRelayTo(run.slot);
      }
      if (trigger == 10) trigger = 1;
    }
    SleepMs(kTimedRoundMs);
  }
}

int QueryEnd(int slot, int result) {
  RVP_DialogueStop(slot);
  RVP_SessionFree(slot);
  return result;
}

// Mode 0x79: the servers' device-state value.
int QueryDevice(Run& run) {
  Session& s = Sess(run.slot);
  s.query.store(1);
  SendQuery(run.slot);
  for (int units = kQueryUnits; units > 0;) {
    if (s.server_state.load() < 0 || Deinit() || Broken()) break;
    SleepMs(kRoundMs);
    units -= 1 + (s.device_state.load() != -2 ? 2 : 0);
  }
  int result;
  int8_t st = s.server_state.load();
  int32_t v = s.device_state.load();
  if (Deinit())
    result = RVS_ERR_NOT_INITIALIZED;
  else if (Broken())
    result = RVS_ERR_CONNECT_BREAK;
  else if (st == kServerInvalidId)
    result = RVS_ERR_INVALID_ID;
  else if (st == kServerBadPrefix)
    result = RVS_ERR_INVALID_PREFIX;
  else if (st == kServerRefused)
    result = RVS_ERR_SERVER_REFUSED;
  else if (v == -2)
    result = RVS_ERR_TIME_OUT;
  else if (v < 0)
    result = v;
  else
    result =
        RVS_QUERY_RESULT_BASE + (v > INT_MAX - RVS_QUERY_RESULT_BASE ? INT_MAX - RVS_QUERY_RESULT_BASE : v);
  return QueryEnd(run.slot, result);
}

// Mode 0x7F: whether the servers know the device online.
int QueryState(Run& run) {
  Session& s = Sess(run.slot);
  s.query.store(1);
  SendConnectReq(run.slot);
  for (int units = kQueryUnits; units > 0 && !Deinit() && !Broken();) {
    int8_t st = s.server_state.load();
    uint8_t u = static_cast<uint8_t>(st);
    if (st == kServerNotOnline)
      units -= 2;
    else if (st == kServerWaiting || (u >= 0x80 && u <= 0xFB))
      units -= 1;
    else
      break;
    SleepMs(kRoundMs);
  }
  int result = RVS_QUERY_RESULT_BASE;
  const int8_t st = s.server_state.load();
  if (Deinit())
    result = RVS_ERR_NOT_INITIALIZED;
  else if (Broken())
    result = RVS_ERR_CONNECT_BREAK;
  else if (st == kServerRefused)
    result = RVS_ERR_SERVER_REFUSED;
  else if (st == kServerBadPrefix)
    result = RVS_ERR_INVALID_PREFIX;
  else if (st == kServerNotOnline)
    result = RVS_ERR_DEVICE_NOT_ONLINE;
  else if (st == kServerInvalidId)
    result = RVS_ERR_INVALID_ID;
  else if (st == kServerWaiting)
    result = RVS_ERR_TIME_OUT;
  return QueryEnd(run.slot, result);
}

int Outcome(const Run& run) {
  Session& s = Sess(run.slot);
  if (Deinit()) return RVS_ERR_NOT_INITIALIZED;
  const int8_t st = s.server_state.load();
  if (s.established.load() || st >= 0) {
    const uint8_t relay = s.tcp_relay_state.load();
    if (relay == kTcpRelayConnected) {
      RVP_SessionEstablish(run.slot, kModeTcpRelay, RVP_Addr24ToV4(s.tcp_relay_addr));
      return run.slot;
    }
    if (relay < kTcpRelayNoSocket && s.established.load()) return run.slot;
    if (Broken()) return RVS_ERR_CONNECT_BREAK;
    return relay < kTcpRelayNoSocket ? RVS_ERR_TIME_OUT : RVS_ERR_TCP_RELAY_FAILED;
  }
  switch (st) {
    case kServerBadPrefix:
      return RVS_ERR_INVALID_PREFIX;
    case kServerNotOnline:
      return RVS_ERR_DEVICE_NOT_ONLINE;
    case kServerInvalidId:
      return RVS_ERR_INVALID_ID;
    default:  // 252, and states that have no code of their own
      return RVS_ERR_SERVER_REFUSED;
  }
}

// The servers of this connect: the library's table, or those of its own init string.
int Servers(const RVP_ConnectParam& param, uint8_t mode, sockaddr_in out[3]) {
  if (mode != kModeLanOnly && NowSec() - g_rvs.last_net_detect.load() > kResolveAgainSec) {
    RVS_NetInfo info;
    sockaddr_in resolved[kServers];
    RVP_NetDetect(&info, true, 0, g_rvs.init_string, resolved);
  }
  if (param.init[0] && std::strncmp(param.init, g_rvs.init_string, kInitStringKeep) != 0) {
    char names[kServers][256];
    RVP_ServerNamesOf(param.init, names);
    for (int i = 0; i < kServers; ++i) {
      out[i] = sockaddr_in{};
      out[i].sin_family = AF_INET;
      out[i].sin_port = htons(ServerUdpPort());
      if (RVP_Resolve(names[i], &out[i].sin_addr) != 0) return RVS_ERR_FAIL_TO_RESOLVE_NAME;
    }
    return 0;
  }
  std::lock_guard<Mutex> g(g_rvs.mutex);
  std::memcpy(out, g_rvs.servers, sizeof(g_rvs.servers));
  return 0;
}

int ConnectDo(const char* prefix, int serial, const char* suffix, uint8_t mode, uint16_t udp_port,
              const char* server, const char* did_key) {
  const uint32_t start_tick = TickMs();
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  if (!prefix || !suffix || strnlen(prefix, 8) > 7 || strnlen(suffix, 8) > 7 || serial < 0)
    return RVS_ERR_INVALID_ID;
  const int slot = RVP_SlotAlloc();
  if (slot < 0) return RVS_ERR_MAX_SESSION;
  Run run{slot, mode, {}};
  RVP_ConnectParamRead(server, mode, &run.param);
  const char* init = run.param.init[0] ? run.param.init : g_rvs.init_string;
  char key[21];
  RVP_PacketKeyOf(init, key);
  if (run.param.specific_ip[0]) {
    char found[32], mine[32];
    RVP_DidBlock did;
    if (RVP_DidMake(&did, prefix, static_cast<uint32_t>(serial), suffix) == 0 &&
        RVP_DidText(did, mine, sizeof(mine)) > 0 && RVP_LanQueryDid(run.param.specific_ip, found) == 0 &&
        std::strcmp(found, mine) == 0) {
      run.specific = true;
      run.specific_addr.sin_family = AF_INET;
      run.specific_addr.sin_port = htons(kLanSearchPort);
      inet_pton(AF_INET, run.param.specific_ip, &run.specific_addr.sin_addr);
    }
  }
  g_rvs.connect_break.store(0);

  sockaddr_in servers[kServers];
  int r = Servers(run.param, mode, servers);
  SessionSetup setup;
  setup.role = kRoleClient;
  setup.prefix = prefix;
  setup.serial = static_cast<uint32_t>(serial);
  setup.suffix = suffix;
  setup.did_key = did_key;
  setup.packet_key = key;
  setup.wakeup = run.param.wakeup;
  setup.servers = servers;
  setup.udp_port = udp_port;
  if (r == 0) r = RVP_SessionOpen(slot, setup);
  if (r != 0) {
    RVP_SessionFree(slot);
    return r;
  }
  Session& s = Sess(slot);
  s.start_tick = start_tick;
  s.allow_rp2p.store(run.param.allow_rp2p ? 1 : 0);
  if (!RVP_DialogueStart(slot)) {
    RVP_SessionFree(slot);
    return RVS_ERR_FAIL_TO_CREATE_THREAD;
  }
  RVP_Msg hello;
  RVP_MsgInit(&hello, MsgHello);
  RVP_SessionSendToServers(slot, hello);
  s.server_state.store(kServerWaiting);

  if (mode == kModeQuery) return QueryDevice(run);
  if (mode == kModeStateQuery) return QueryState(run);
  if (mode >= kModeTcpA && mode <= kModeTimedE) {
    TimedPhase(run);
  } else {
    P2PPhase(run);
    if (!(mode & 0x20) && !s.established.load() && !Broken() && s.server_state.load() >= 0) RelayPhase(run);
  }
  const int result = Outcome(run);
  RVP_DialogueStop(slot);
  RVP_TcpLinksFree(slot);
  if (result >= 0) SleepMs(50);
  return RVP_SessionFinish(slot, result, mode);
}

// RVS_Connect and RVS_ConnectByServer (server null: the stored init string).
int Connect(const char* did, char mode, unsigned short udp_port, const char* server) {
  RVP_DidParts parts;
  if (RVP_DidSplit(did, &parts) != 0) return RVS_ERR_INVALID_ID;
  return ConnectDo(parts.prefix, parts.serial, parts.suffix, static_cast<uint8_t>(mode), udp_port, server,
                   parts.key[0] ? parts.key : nullptr);
}

}  // namespace

void RVP_DidNormalize(char out[65], const char* did) {
  size_t n = 0;
  int last = 0;  // 1 letters, 2 digits
  for (size_t i = 0; did && i < kDidTextMax && did[i]; ++i) {
    char c = did[i];
    if (c == '-') continue;
    if (IsLower(c)) c = static_cast<char>(c - 'a' + 'A');
    int kind = IsUpper(c) ? 1 : IsDigit(c) ? 2 : 0;
    if (!kind) break;
    if (last && kind != last && n < kDidTextMax) out[n++] = '-';
    if (n < kDidTextMax) out[n++] = c;
    last = kind;
  }
  out[n] = 0;
}

int RVP_DidCheck(const char* did) {
  if (!did || !IsUpper(did[0])) return -1;
  int dashes = 0;
  for (const char* p = did; IsUpper(*p) || IsDigit(*p) || *p == '-'; ++p) dashes += *p == '-';
  return dashes == 2 ? 0 : -1;
}

int RVP_DidSplit(const char* arg, RVP_DidParts* out) {
  std::memset(out, 0, sizeof(*out));
  if (!arg) return -4;
  if (const char* colon = std::strchr(arg, ':')) std::snprintf(out->key, sizeof(out->key), "%s", colon + 1);
  char did[kDidTextMax + 1];
  RVP_DidNormalize(did, arg);
  if (RVP_DidCheck(did) != 0) return -4;
  const char* d1 = std::strchr(did, '-');
  const char* d2 = std::strchr(d1 + 1, '-');
  std::snprintf(out->prefix, sizeof(out->prefix), "%.*s", static_cast<int>(d1 - did), did);
  std::snprintf(out->suffix, sizeof(out->suffix), "%s", d2 + 1);
  long long serial = 0;
  for (const char* p = d1 + 1; p < d2 && serial <= INT_MAX; ++p) serial = serial * 10 + (*p - '0');
  out->serial = serial > INT_MAX ? -1 : static_cast<int>(serial);
  return 0;
}

void RVP_ConnectParamRead(const char* text, uint8_t mode, RVP_ConnectParam* out) {
  std::memset(out, 0, sizeof(*out));
  out->timed_sec = kTimedModeDefaultSec;
  if (!text) return;
  if (text[0] != '{' && !(text[0] && text[1] == '{')) {
    std::snprintf(out->init, sizeof(out->init), "%s", text);
    return;
  }
  int v;
  if ((mode == kModeTcpA || mode == kModeTcpB) && RVP_ParamGetInt(text, "SkipUDPRelay", &v) == 0)
    out->skip_udp_relay = v == 1;
  if (RVP_ParamGetInt(text, "0x7X_Timeout", &v) == 0 && v >= kTimedModeMinSec && v <= kTimedModeMaxSec)
    out->timed_sec = v;
  if (RVP_ParamGetInt(text, "AllowRP2P", &v) == 0) out->allow_rp2p = v == 1;
  RVP_ParamGet(text, "WakeupInfo", true, out->wakeup, sizeof(out->wakeup));
  RVP_ParamGet(text, "SpecificIP", true, out->specific_ip, sizeof(out->specific_ip));
  RVP_ParamGet(text, "InitString", true, out->init, sizeof(out->init));
}

int RVP_LanQueryDid(const char* ip, char did[32], uint16_t port) {
  if (!ip || !did) return -2;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port ? port : kLanSearchPort);
  if (inet_pton(AF_INET, ip, &to.sin_addr) != 1) return -3;
  int sock = RVP_UdpSocket();
  if (sock < 0) return -4;
  RVP_SetBroadcast(sock);
  char key[21];
  std::memcpy(key, g_rvs.packet_key, sizeof(key));
  uint8_t search[kMsgHeaderSize];
  RVP_MsgHeaderWrite(search, MsgLanSearch, 0);
  int result = -1;
  for (int i = 0; i < 15 && result == -1; ++i) {
    if (RVP_UdpSend4(key, search, to, sock) != kMsgHeaderSize) {
      result = -4;
      break;
    }
    const uint32_t sent = TickMs();
    while (result == -1 && TickMs() - sent < 100) {
      sockaddr_in from{};
      uint8_t type;
      uint16_t len;
      uint8_t payload[kMaxPayload];
      int r = RVP_RecvMsg(key, &from, sock, 100 - (TickMs() - sent), &type, &len, payload, sizeof(payload));
      if (r == -1) break;
      if (r == 0 && from.sin_addr.s_addr != to.sin_addr.s_addr) continue;  // not the address asked
      RVP_Msg m;
      if (r != 0 || type != MsgPunch || len != kDidBlockSize ||
          RVP_MsgParsePayload(type, payload, len, &m) != kMsgOk || RVP_DidText(m.did, did, 32) < 0) {
        result = -4;
      } else {
        result = 0;
      }
    }
  }
  RVP_SocketClose(sock);
  return result;
}

extern "C" {

int RVS_Connect(const char* did, char mode, unsigned short udp_port) {
  CallGuard guard;
  if (!did) return RVS_ERR_INVALID_ID;
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  return Connect(did, mode, udp_port, nullptr);
}

int RVS_ConnectByServer(const char* did, char mode, unsigned short udp_port, const char* server) {
  CallGuard guard;
  if (!did) return RVS_ERR_INVALID_ID;
  if (!server) return RVS_ERR_INVALID_PARAMETER;
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  return Connect(did, mode, udp_port, server);
}

RVS_ALIAS(int, Connect, (const char*, char, unsigned short))
RVS_ALIAS(int, ConnectByServer, (const char*, char, unsigned short, const char*))

}  // extern "C"

int rvlib_RVP_Connect_Do(char* prefix, int serial, char* suffix, char mode, unsigned short udp_port,
                         char* server, const char* did_key) {
  CallGuard guard;
  return ConnectDo(prefix, serial, suffix, static_cast<uint8_t>(mode), udp_port, server, did_key);
}
