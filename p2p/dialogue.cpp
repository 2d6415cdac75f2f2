#include "p2p/dialogue.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>
#include <mutex>

#include "p2p/msg_io.h"
#include "p2p/bridge.h"
#include "p2p/services.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"
#include "p2p/tcp_link.h"

using namespace p2p;

namespace {

constexpr uint32_t kLanAnswerFreshMs = 50;
constexpr uint32_t kPortBurstFreshMs = 20;
constexpr int kBurstSpread = 3;
constexpr int kRepeats = 4;

bool DidMatches(const Session& s, const RVP_Msg& m) { return RVP_DidEqual(m.did, s.did_block); }

// The sender's IPv4 is one of the session's servers.
bool FromServer(const Session& s, const sockaddr_in& from) {
  for (const sockaddr_in& a : s.servers)
    if (a.sin_addr.s_addr != 0 && a.sin_addr.s_addr == from.sin_addr.s_addr) return true;
  return false;
}

// Some slot in use has the address as its remote address.
bool InUse(const sockaddr_in& a) {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  for (int i = 0; i < g_rvs.max_num_sess.load(); ++i) {
    const Session& s = g_rvs.sessions[i];
    if (s.InUse() && RVP_SameAddr(s.remote, a)) return true;
  }
  return false;
}

void MoveLinkState(Session& s) {
  uint8_t on = kTcpLinksOn;
  s.tcp_link_state.compare_exchange_strong(on, kTcpLinksUdpAnswered);
}

void SendPunch(int slot, const sockaddr_in& to) {
  RVP_Msg m;
  RVP_SessionMsg(slot, MsgPunch, &m);
  RVP_SessionSend(slot, to, m);
}

void SendPunchPort(int slot, sockaddr_in to, int port) {
  to.sin_port = htons(static_cast<uint16_t>(port));
  SendPunch(slot, to);
}

void SendRepeated(int slot, const sockaddr_in& to, const RVP_Msg& m, unsigned gap_ms) {
  for (int i = 0; i < kRepeats; ++i) {
    if (i && gap_ms) SleepMs(gap_ms);
    RVP_SessionSend(slot, to, m);
  }
}

void PortRangePunch(int slot, const RVP_Msg& m) {
  const sockaddr_in& a = m.addr[0];
  int port = ntohs(a.sin_port);
  int step = m.step ? m.step : 1;
  if (!m.skip_exact) SendPunch(slot, a);
  for (int k = 1; k <= kMaxRangePunchSteps && k * step <= m.range; ++k) {
    if (port - k * step >= 0) SendPunchPort(slot, a, port - k * step);
    if (port + k * step <= 65535) SendPunchPort(slot, a, port + k * step);
  }
}

void PortBurst(int slot, const sockaddr_in& target) {
  Session& s = Sess(slot);
  if (!s.port_burst.exchange(1)) {
    RVP_Msg req;
    sockaddr_in servers[kServers];
    RVP_SessionMsg(slot, s.role == kRoleDevice ? MsgDevLogin : MsgConnectReq, &req);
    req.nat_type = g_rvs.nat_type.load();
    req.addr[0] = RVP_SessionLocal(slot);
    {
      std::lock_guard<Mutex> g(g_rvs.mutex);
      for (int i = 0; i < kServers; ++i) servers[i] = s.role == kRoleDevice ? g_rvs.servers[i] : s.servers[i];
    }
    uint16_t base = ServerUdpPort();
    for (sockaddr_in to : servers) {
      if (to.sin_addr.s_addr == 0) continue;
      to.sin_port = htons(static_cast<uint16_t>(base + 1));
      RVP_SessionSend(slot, to, req);
      SendPunch(slot, target);
      to.sin_port = htons(static_cast<uint16_t>(base + 2));
      RVP_SessionSend(slot, to, req);
    }
  }
  uint32_t now = TickMs();
  s.last_port_burst_tick.store(now ? now : 1);
  SendPunch(slot, target);
  bool same_host = RVP_SessionWan(slot).sin_addr.s_addr == target.sin_addr.s_addr;
  int port = ntohs(target.sin_port);
  for (int round = 0; round < 3; ++round) {
    if (same_host) {
      SendPunch(slot, target);
      continue;
    }
    for (int p = port - kBurstSpread; p <= port + kBurstSpread; ++p)
      if (p >= 0 && p <= 65535) SendPunchPort(slot, target, p);
  }
}

bool Fresh(uint32_t tick, uint32_t within_ms) { return tick != 0 && TickMs() - tick < within_ms; }

// After a punch established a device's session: when the peer answered a LAN
// search or a port burst just now, offer it a direct TCP link; then tell it
// the session is ready (over TCP when it connected).
void DirectTcpAttempt(int slot) {
  Session& s = Sess(slot);
  int tries = Fresh(s.last_lan_answer_tick.load(), kLanAnswerFreshMs)   ? 50
              : Fresh(s.last_port_burst_tick.load(), kPortBurstFreshMs) ? 20
                                                                        : 0;
  sockaddr_in local = RVP_SessionLocal(slot), peer;
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    peer = s.remote;
  }
  int accepted = -1;
  if (tries) {
    int ls = s.listen_tcp_socket.load();
    if (ls < 0) {
      ls = RVP_TcpBoundSocket(ntohs(local.sin_port));
      if (ls >= 0 && listen(ls, 1) != 0) {
        RVP_SocketClose(ls);
        ls = -1;
      }
      s.listen_tcp_socket.store(ls);
    }
    RVP_Msg offer;
    RVP_SessionMsg(slot, MsgTcpDirectOffer, &offer);
    offer.addr24[0] = RVP_Addr24FromV4(local);
    RVP_SessionSend(slot, peer, offer);
    for (int i = 0; i < tries && accepted < 0; ++i) {
      RVP_SessionSend(slot, peer, offer);
      SleepMs(static_cast<unsigned>(tries / 10));
      if (ls >= 0) accepted = accept4(ls, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    }
  }
  s.tcp_framing.store(kFramingFull);
  RVP_Msg ready;
  if (accepted < 0) {
    RVP_SessionMsg(slot, MsgPunchReady, &ready);
    SendRepeated(slot, peer, ready, 10);
    return;
  }
  RVP_Address24 me{}, them{};
  RVP_SockName(accepted, &me);
  RVP_PeerName(accepted, &them);
  s.tcp_socket.store(accepted);
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    s.local = RVP_Addr24ToV4(me);
    s.remote = RVP_Addr24ToV4(them);
  }
  s.tcp_framing.store(kFramingSimple);
  RVP_SessionMsg(slot, MsgTcpDirectReady, &ready);
  SendRepeated(slot, peer, ready, 10);
}

void TakeTcpRelayOffer(Session& s, const RVP_Msg& m) {
  // The first offer counts; the procedure reads it once the flag is set.
  if (!s.tcp_relay_offered.load()) {
    s.tcp_relay_ticket = m.ticket;
    s.tcp_relay_addr = m.addr24[0];
    s.tcp_relay_offered.store(1);
  }
  s.stop_dialogue.store(1);
}

void NoteSecureLogin(Session& s) {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  g_rvs.bridge_did = s.did_block;
}

void Bridge(Session& s, const RVP_Msg& m) {
  if (s.role != kRoleDevice || !DidMatches(s, m)) return;
  std::lock_guard<Mutex> g(g_rvs.mutex);
  RVP_BridgeDeliver(m);
}

void DeviceState(Session& s, const RVP_Msg& m) {
  if (m.state == 255 || m.state == 253 || m.state == 252) {
    s.server_state.store(static_cast<int8_t>(m.state));
    return;
  }
  int8_t waiting = kServerWaiting;
  s.server_state.compare_exchange_strong(waiting, kServerOnline);
  int32_t v = m.value[1] >= 0 ? m.value[1] : m.value[0];
  int32_t cur = s.device_state.load();
  if (v >= 0) {
    if (cur < 0 || cur > v) s.device_state.store(v);
  } else if (cur == -2) {
    s.device_state.store(-1);
  }
}

void RelayList(int slot, const RVP_Msg& m) {
  Session& s = Sess(slot);
  MoveLinkState(s);
  uint8_t st = s.relay_state.load();
  int retry = s.relay_retry.load();
  if (!(st == kRelayWaitList || (st == kRelayHellosSent && retry > 0))) return;
  s.relay_state.store(kRelayHellosSent);
  sockaddr_in history[kRelayHistory];
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    std::memcpy(history, s.relay_history, sizeof(history));
  }
  RVP_Msg hello;
  RVP_MsgInit(&hello, MsgRelayHello);
  for (int i = 0; i < m.count; ++i) {
    const sockaddr_in& r = m.list[i];
    bool later = false;
    for (int j = i + 1; j < m.count && !later; ++j) later = RVP_SameAddr(m.list[j], r);
    bool tried = false;
    for (const sockaddr_in& h : history) tried |= h.sin_addr.s_addr == r.sin_addr.s_addr;
    if (later || tried || RVP_AddrUnusable(r)) continue;
    if (i != m.count - 1 && retry != 0) continue;
    RVP_SessionSend(slot, r, hello);
    SleepMs(10);
  }
}

}  // namespace

bool RVP_ServerOnlyType(uint8_t type) {
  switch (type) {
    case MsgHelloAck:
    case MsgDeviceState:
    case MsgLoginAck:
    case MsgLoginAckSecure:
    case MsgConnectReqAck:
    case MsgPeerListToClient:
    case MsgPeerListToDevice:
    case MsgPortRangePunchReq:
    case MsgPortBurstReq:
    case MsgTcpRelayOffer:
    case MsgRelayList:
    case MsgRelayToAck:
    case MsgRelayPkt:
    case MsgServiceStart:
    case MsgBridge:
      return true;
    default:
      return false;
  }
}

void RVP_DialogueHandleTcp(int slot, int link, uint8_t type, const uint8_t* payload, uint16_t len) {
  Session& s = Sess(slot);
  RVP_Msg m;
  if (RVP_MsgParsePayload(type, payload, len, &m, g_rvs.login_key) != kMsgOk) return;
  switch (type) {
    case MsgLoginAckSecure:
      s.login_result.store(static_cast<int8_t>(m.state));
      if (m.state == 0) {
        NoteSecureLogin(s);
        g_rvs.last_login_ack_tcp.store(NowSec());
      }
      break;
    case MsgTcpRelayOffer:
      if (len == 48) TakeTcpRelayOffer(s, m);
      break;
    case MsgTcpServerState: {
      uint8_t state = m.state;
      if ((state == 0 || state == 250) && m.state_next == 0 && !s.tcp_state_seen.exchange(1)) {
        RVP_TcpLink* l = link >= 0 && link < kTcpLinks ? s.tcp_links[link].load() : nullptr;
        bool keyed = s.did_key[0] != 0;
        if (l && state == 0) (keyed ? l->resend_now_keyed : l->resend_now).store(1);
        if (l && state == 250) (keyed ? l->resend_count_keyed : l->resend_count).store(1);
      }
      if (state == 250 || state == 251) s.server_state.store(kServerOnline);
      int8_t cur = s.server_state.load();
      if (cur == kServerWaiting || cur == kServerNotOnline) s.server_state.store(static_cast<int8_t>(state));
      break;
    }
    case MsgBridge:
      Bridge(s, m);
      break;
    default:
      break;
  }
}

void RVP_DialogueHandleUdp(int slot, const sockaddr_in& from, uint8_t type, const uint8_t* payload,
                           uint16_t len) {
  Session& s = Sess(slot);
  if (RVP_ServerOnlyType(type) && !FromServer(s, from)) return;
  RVP_Msg m;
  if (RVP_MsgParsePayload(type, payload, len, &m, g_rvs.login_key) != kMsgOk) return;
  const bool query = s.query.load() != 0;
  const bool client = s.role == kRoleClient;
  switch (type) {
    case MsgHelloAck: {
      g_rvs.last_hello_answer.store(NowSec());
      {
        std::lock_guard<Mutex> g(g_rvs.mutex);
        s.wan = m.addr[0];
      }
      sockaddr_in local = RVP_SessionLocalAddr(from, slot);
      {
        std::lock_guard<Mutex> g(g_rvs.mutex);
        s.local = local;
      }
      char ip[16];
      RVP_SetNetText(g_rvs.lan_ip, RVP_AddrText(local, ip));
      MoveLinkState(s);
      std::lock_guard<Mutex> g(g_rvs.mutex);
      for (int i = 0; i < kServers; ++i) {
        if (g_rvs.hello_answer_tick[i] == kNoTick &&
            g_rvs.servers[i].sin_addr.s_addr == from.sin_addr.s_addr) {
          g_rvs.hello_answer_tick[i] = TickMs();
          break;
        }
      }
      break;
    }
    case MsgDeviceState:
      DeviceState(s, m);
      break;
    case MsgLoginAck:
      s.login_result.store(static_cast<int8_t>(m.state));
      if (m.state == 0) g_rvs.last_login_ack_udp.store(NowSec());
      MoveLinkState(s);
      break;
    case MsgLoginAckSecure:
      s.login_result.store(static_cast<int8_t>(m.state));
      if (m.state == 0) {
        NoteSecureLogin(s);
        g_rvs.last_login_ack_udp.store(NowSec());
        RVP_SessionRefreshLocal(slot, from);
      }
      MoveLinkState(s);
      break;
    case MsgConnectReqAck: {
      int8_t cur = s.server_state.load();
      if (cur == kServerWaiting || cur == kServerNotOnline) {
        s.server_state.store(static_cast<int8_t>(m.state));
        MoveLinkState(s);
      }
      break;
    }
    case MsgPeerListToClient:
    case MsgPeerListToDevice: {
      bool mine = type == MsgPeerListToClient ? client : !client;
      if (!mine || s.established.load() || !DidMatches(s, m)) break;
      RVP_Msg probe;
      RVP_SessionMsg(slot, client ? MsgPeerProbe : MsgPeerProbeDev, &probe);
      probe.addr[0] = RVP_SessionLocal(slot);
      probe.nat_type = g_rvs.nat_type.load();
      for (int i = 0; i < m.count; ++i)
        if (!RVP_AddrUnusable(m.list[i])) RVP_SessionSend(slot, m.list[i], probe);
      break;
    }
    case MsgPortRangePunchReq:
      if (len != 20) break;
      s.probe.store(1);
      if (RVP_AddrUnusable(m.addr[0]) || query) break;
      PortRangePunch(slot, m);
      break;
    case MsgPortBurstReq:
      if (RVP_AddrUnusable(m.addr[0]) || query) break;
      PortBurst(slot, m.addr[0]);
      break;
    case MsgPunch:
      if (query || InUse(from) || !DidMatches(s, m)) break;
      if (client) {
        SendPunch(slot, from);
      } else if (!s.established.load()) {
        sockaddr_in local = RVP_SessionLocalAddr(from, slot);
        {
          std::lock_guard<Mutex> g(g_rvs.mutex);
          s.local = local;
        }
        if (RVP_SameAddr(local, from)) break;
        RVP_SessionEstablish(slot, kModeP2P, from);
        DirectTcpAttempt(slot);
      }
      break;
    case MsgPunchReady:
      if (query || !DidMatches(s, m)) break;
      RVP_SessionRefreshLocal(slot, from);
      if (client) RVP_SocketClose(s.listen_tcp_socket.exchange(-1));
      RVP_SessionEstablish(slot, kModeP2P, from);
      break;
    case MsgTcpDirectOffer: {
      if (query || !s.accept_direct_tcp.load() || !DidMatches(s, m)) break;
      int sock = s.direct_tcp_socket.load();
      if (sock < 0) {
        sock = RVP_TcpSocket();
        s.direct_tcp_socket.store(sock);
      }
      if (sock >= 0) RVP_TcpConnect(m.addr24[0], sock, 10, nullptr);
      break;
    }
    case MsgTcpDirectReady: {
      if (query || !DidMatches(s, m)) break;
      int sock = s.direct_tcp_socket.load();
      RVP_Address24 me{}, them{};
      // Only a direct socket that reached the peer can carry the session.
      if (sock < 0 || RVP_PeerName(sock, &them) != 0 || RVP_SockName(sock, &me) != 0) break;
      s.direct_tcp_socket.store(-1);
      s.tcp_socket.store(sock);
      {
        std::lock_guard<Mutex> g(g_rvs.mutex);
        s.local = RVP_Addr24ToV4(me);
      }
      s.tcp_framing.store(kFramingSimple);
      RVP_SessionEstablish(slot, kModeP2P, RVP_Addr24ToV4(them));
      break;
    }
    case MsgTcpRelayOffer:
      if (len == 48 && s.tcp_start_time.load() != 0) TakeTcpRelayOffer(s, m);
      break;
    case MsgRelayList:
      RelayList(slot, m);
      break;
    case MsgRelayHelloAck: {
      uint8_t st = s.relay_state.load();
      if (st != kRelayWaitList && st != kRelayHellosSent) break;
      {
        std::lock_guard<Mutex> g(g_rvs.mutex);
        if (s.tcp_resend_claim == kClaimTcpResend) break;
        if (s.tcp_resend_claim == kClaimFree) s.tcp_resend_claim = kClaimUdpRelay;
        s.relay = from;
      }
      s.relay_state.store(kRelayPortAsked);
      RVP_Msg req;
      RVP_MsgInit(&req, MsgRelayPortReq);
      RVP_SessionSend(slot, from, req);
      break;
    }
    case MsgRelayPortAck: {
      uint8_t st = s.relay_state.load();
      if (st != kRelayWaitList && st != kRelayHellosSent && st != kRelayPortAsked) break;
      RVP_Msg to;
      RVP_SessionMsg(slot, MsgRelayTo, &to);
      {
        std::lock_guard<Mutex> g(g_rvs.mutex);
        s.relay.sin_family = AF_INET;
        s.relay.sin_port = htons(m.port);
        to.addr[0] = s.relay;
      }
      s.relay_ticket.store(m.ticket);
      to.ticket = m.ticket;
      s.relay_state.store(kRelayTicketHeld);
      RVP_SessionSendToServers(slot, to);
      break;
    }
    case MsgRelayToAck: {
      uint8_t held = kRelayTicketHeld;
      if (s.relay_state.compare_exchange_strong(held, kRelayServersAcked)) {
        int8_t zero = 0;
        s.relay_retry.compare_exchange_strong(zero, 1);
      }
      break;
    }
    case MsgRelayPkt: {
      const sockaddr_in& relay = m.addr[0];
      if (RVP_AddrUnusable(relay) || InUse(relay)) break;
      RVP_Msg rdy;
      RVP_SessionMsg(slot, MsgRelayRdy, &rdy);
      rdy.ticket = m.ticket;
      rdy.role = s.role;
      SendRepeated(slot, relay, rdy, 0);
      break;
    }
    case MsgRelayReady:
      if (InUse(from) || !DidMatches(s, m)) break;
      RVP_SessionRefreshLocal(slot, from);
      s.relay_state.store(kRelayInUse);
      RVP_SessionEstablish(slot, kModeUdpRelay, from);
      break;
    case MsgServiceStart:
      RVP_ServiceThreadsStart(s.did_block);
      break;
    case MsgBridge:
      Bridge(s, m);
      break;
    default:
      break;
  }
}

void RVP_ServerDialogueThread(int slot) {
  Session& s = Sess(slot);
  uint8_t payload[kDialoguePayload];
  auto running = [&s] { return !s.stop_dialogue.load() && !s.established.load(); };
  while (running()) {
    if (s.tcp_link_state.load() > kTcpLinksOff) {
      for (int i = 0; i < kTcpLinks; ++i) {
        RVP_TcpLink* l = s.tcp_links[i].load();
        uint8_t type;
        uint16_t len;
        if (l && RVP_TcpLinkTakeMsg(l, nullptr, nullptr, &type, &len, payload, sizeof(payload)) == 0)
          RVP_DialogueHandleTcp(slot, i, type, payload, len);
      }
      if (!running()) break;
    }
    sockaddr_in from{};
    uint8_t type;
    uint16_t len;
    if (RVP_RecvMsg(s.packet_key, &from, s.socket, 50, &type, &len, payload, sizeof(payload)) != 0) continue;
    RVP_DialogueHandleUdp(slot, from, type, payload, len);
  }
}
