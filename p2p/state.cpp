#include "p2p/state.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "p2p/addr.h"
#include "p2p/cipher.h"

namespace p2p {

LibState g_rvs;

void Session::Clear() {
  socket = kSlotFree;
  remote = local = wan = relay = sockaddr_in{};
  device_state.store(-2);
  established_time.store(0);
  established_tick.store(0);
  std::memset(did, 0, sizeof(did));
  did_block = RVP_DidBlock{};
  role = kRoleClient;
  mode.store(kModeP2P);
  for (auto* f : {&stop_dialogue, &closing, &established, &closed_timeout, &closed_remote, &closed_caller,
                  &out_of_memory, &close_started, &handed_out, &query, &port_burst, &probe,
                  &tcp_relay_offered, &tcp_state_seen, &accept_direct_tcp})
    f->store(0);
  relay_retry.store(0);
  std::memset(packet_key, 0, sizeof(packet_key));
  std::memset(did_key, 0, sizeof(did_key));
  std::memset(wakeup, 0, sizeof(wakeup));
  for (sockaddr_in& a : servers) a = sockaddr_in{};
  server_state.store(kServerWaiting);
  login_result.store(kServerWaiting);
  relay_state.store(0);
  relay_ticket.store(0);
  for (sockaddr_in& a : relay_history) a = sockaddr_in{};
  relay_restarts = 0;
  for (auto& l : tcp_links) l.store(nullptr);
  tcp_relay_ticket = 0;
  tcp_relay_addr = RVP_Address24{};
  tcp_start_time.store(0);
  tcp_start_tick = 0;
  tcp_link_state.store(kTcpLinksOff);
  tcp_relay_state.store(kTcpRelayRunning);
  tcp_resend_claim = kClaimFree;
  tcp_socket.store(-1);
  tcp_relay_reported[0] = tcp_relay_reported[1] = RVP_Address24{};
  last_tcp_alive_tick = 0;
  last_lan_answer_tick.store(0);
  last_port_burst_tick.store(0);
  listen_tcp_socket.store(-1);
  direct_tcp_socket.store(-1);
  tcp_framing.store(kFramingFull);
  for (int i = 0; i < kChannels; ++i) {
    ChannelReset(&channels[i]);
    while (sems[i].Wait(0)) {
    }
  }
  interval.store(40);
  last_round_tick = 0;
  start_tick = 0;
  allow_rp2p.store(0);
  punch_state = 0;
  std::memset(punch_token, 0, sizeof(punch_token));
  punch_server = punch_peer_wan = punch_peer_local = sockaddr_in{};
  punch_report_sent = false;
}

void RVP_SetNetText(char* text, const char* value) {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  std::snprintf(text, 16, "%s", value);
}

void RVP_NetTexts(char lan[16], char wan[16]) {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  if (lan) std::memcpy(lan, g_rvs.lan_ip, 16);
  if (wan) std::memcpy(wan, g_rvs.wan_ip, 16);
}

int RVP_ParamGet(const char* text, const char* key, bool is_string, char* out, size_t cap) {
  if (!text || !key || !out || cap == 0) return -1;
  out[0] = 0;
  const char* at = std::strstr(text, key);
  if (!at) return -1;
  char window[256];
  size_t n = strnlen(at, 255);
  std::memcpy(window, at, n);
  window[n] = 0;
  const char* colon = std::strchr(window + std::strlen(key), ':');
  if (!colon) return -1;
  const char* begin;
  const char* end;
  if (is_string) {
    begin = std::strchr(colon + 1, '"');
    if (!begin) return -1;
    ++begin;
    end = std::strchr(begin, '"');
  } else {
    begin = colon + 1;
    end = std::strchr(begin, ',');
    if (!end) end = std::strchr(begin, '}');
  }
  if (!end) return -1;
  size_t len = std::min(static_cast<size_t>(end - begin), cap - 1);
  std::memcpy(out, begin, len);
  out[len] = 0;
  return 0;
}

int RVP_ParamGetInt(const char* text, const char* key, int* out) {
  char v[256];
  if (RVP_ParamGet(text, key, false, v, sizeof(v)) != 0) return -1;
  errno = 0;
  long x = std::strtol(v, nullptr, 10);
  if (x > INT_MAX) x = INT_MAX;
  if (x < INT_MIN) x = INT_MIN;
  *out = static_cast<int>(x);
  return 0;
}

void RVP_PacketKeyOf(const char* init, char out[21]) {
  std::memset(out, 0, 21);
  const char* colon = init ? std::strchr(init, ':') : nullptr;
  if (!colon) return;
  for (size_t i = 0; i < 20; ++i) {
    unsigned char c = static_cast<unsigned char>(colon[1 + i]);
    if (c < '!' || c == 0x7F) break;
    out[i] = static_cast<char>(c);
  }
}

int RVP_ServerNamesOf(const char* init, char names[3][256]) {
  for (int i = 0; i < kServers; ++i) names[i][0] = 0;
  char list[1024];
  RVP_InitStringDecode(list, sizeof(list), init);
  int count = 0;
  const char* p = list;
  while (count < kServers) {
    const char* comma = std::strchr(p, ',');
    if (!comma) break;  // text after the last ',' does not count
    size_t len = std::min(static_cast<size_t>(comma - p), kServerNameMax);
    std::memcpy(names[count], p, len);
    names[count][len] = 0;
    ++count;
    p = comma + 1;
  }
  return count;
}

int RVP_SlotAlloc() {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  int n = g_rvs.max_num_sess.load();
  if (!g_rvs.sessions || n <= 0) return -17;
  for (int k = 1; k <= n; ++k) {
    int i = (g_rvs.cursor + k) % n;
    if (g_rvs.sessions[i].socket == kSlotFree) {
      g_rvs.sessions[i].socket = kSlotReserved;
      g_rvs.cursor = i;
      return i;
    }
  }
  return -17;
}

int RVP_SlotsInUse() {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  int used = 0;
  for (int i = 0; g_rvs.sessions && i < g_rvs.max_num_sess.load(); ++i) used += g_rvs.sessions[i].InUse();
  return used;
}

namespace {

// Appends to a bounded text; the text stays terminated when it runs full.
class Text {
 public:
  Text(char* out, size_t cap) : out_(out), cap_(cap) { out_[0] = 0; }
  __attribute__((format(printf, 2, 3))) void Add(const char* fmt, ...) {
    if (len_ + 1 >= cap_) return;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(out_ + len_, cap_ - len_, fmt, ap);
    va_end(ap);
    if (n > 0) len_ = std::min(len_ + static_cast<size_t>(n), cap_ - 1);
  }

 private:
  char* out_;
  size_t cap_;
  size_t len_ = 0;
};

}  // namespace

void RVP_ApiInfoBuild(char* out, size_t cap) {
  Text t(out, cap);
  bool init = g_rvs.initialized.load() != 0;
  t.Add("{\n\"LibType\":\"c++\"");
  t.Add(",\n\"Version\":\"%d.%d.%d.%d\"", 5, 0, 9, 0);
  t.Add(",\n\"BuiltDate\":\"%s %s\"", "Nov 15 2022", "15:09:56");
  t.Add(",\n\"MaxNumSess\":%d", g_rvs.max_num_sess.load());
  t.Add(",\n\"MaxNumCh\":%d", 8);
  t.Add(",\n\"SessAliveSec\":%d", g_rvs.sess_alive_sec.load());
  t.Add(",\n\"P2PPunchRange\":%d", 3);
  t.Add(",\n\"Initialized\":\"%s\"", init ? "Yes" : "No");
  if (init && g_rvs.sessions) {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    int established = 0, connecting = 0, listening = 0;
    for (int i = 0; i < g_rvs.max_num_sess.load(); ++i) {
      const Session& s = g_rvs.sessions[i];
      if (!s.InUse()) continue;
      if (s.established.load())
        ++established;
      else if (s.role == kRoleClient)
        ++connecting;
      else
        ++listening;
    }
    t.Add(",\n\"NumSess\":%d", established);
    t.Add(",\n\"NumRunningConnect\":%d", connecting);
    t.Add(",\n\"NumRunningListen\":%d", listening);
    if (listening > 0) {
      int64_t last = std::max(g_rvs.last_login_ack_udp.load(), g_rvs.last_login_ack_tcp.load());
      t.Add(",\n\"LastLoginAck\":%d", static_cast<int>(NowSec() - last));
    }
    bool any = false;
    for (int i = 0; i < kServers; ++i) any |= g_rvs.hello_answer_tick[i] != kNoTick;
    if (any) {
      int ms[kServers];
      int order[kServers] = {0, 1, 2};
      for (int i = 0; i < kServers; ++i) {
        uint32_t ans = g_rvs.hello_answer_tick[i], sent = g_rvs.hello_send_tick[i];
        ms[i] = ans == kNoTick ? -1 : static_cast<int>(ans - sent);
        if (ms[i] < 0 || ms[i] > 5000) {
          ms[i] = -1;
          g_rvs.hello_answer_tick[i] = g_rvs.hello_send_tick[i] = kNoTick;
        }
      }
      std::stable_sort(order, order + kServers, [&](int a, int b) {
        return static_cast<unsigned>(ms[a]) < static_cast<unsigned>(ms[b]);
      });
      t.Add(",\n\"ServerInfo\":\"");
      for (int k = 0; k < kServers; ++k) {
        char ip[16];
        RVP_AddrText(g_rvs.servers[order[k]], ip);
        t.Add(k < kServers - 1 ? "%s(%d)," : "%s(%d)\"", ip, ms[order[k]]);
      }
    }
  }
  t.Add("\n}");
}

}  // namespace p2p
