#include "p2p/tcp_link.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "p2p/bytes.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"

using namespace p2p;

namespace {

constexpr uint32_t kRetryMs = 10000;
constexpr int kResendAfter = 101;
constexpr unsigned kRelayStepMs = 5000;

void ResetLocked(RVP_TcpLink* l) {
  RVP_SocketClose(l->socket);
  l->socket = -1;
  l->connected = false;
  l->head_got = 0;
  l->frame = RVP_TcpFrameHead{};
  l->body_got = 0;
  l->complete = false;
  l->owe_login = l->owe_login_keyed = l->owe_req = l->owe_req_keyed = false;
  l->resend_now.store(0);
  l->resend_now_keyed.store(0);
  l->resend_count.store(0);
  l->resend_count_keyed.store(0);
}

RVP_TcpLink* LinkOf(int slot, int i) { return Sess(slot).tcp_links[i].load(); }

// The local address of the link's socket.
RVP_Address24 LinkLocal(const RVP_TcpLink* l) {
  RVP_Address24 a{};
  RVP_SockName(l->socket, &a);
  return a;
}

// Builds one of the owed messages for the link.
void BuildOwed(int slot, const RVP_TcpLink* l, int kind, uint8_t resend, RVP_Msg* m) {
  const Session& s = Sess(slot);
  bool wake = s.wakeup[0] != 0;
  uint8_t type = 0;
  switch (kind) {
    case kOweLogin:
      type = MsgDevLogin;
      break;
    case kOweLoginKeyed:
      type = MsgDevLoginKeyed;
      break;
    case kOweReq:
      type = wake ? MsgTcpConnectReqWakeup : MsgTcpConnectReq;
      break;
    case kOweReqKeyed:
      type = wake ? MsgTcpConnectReqKeyedWakeup : MsgTcpConnectReqKeyed;
      break;
  }
  RVP_SessionMsg(slot, type, m);
  RVP_Address24 local = LinkLocal(l);
  m->addr[0] = RVP_Addr24ToV4(local);
  m->addr24[0] = local;
  m->nat_type = g_rvs.nat_type.load();
  m->resend = resend;
  std::memcpy(m->did_key, s.did_key, sizeof(s.did_key) - 1);
  std::memcpy(m->wakeup, s.wakeup, kWakeupField);
}

// Sends message bytes as a frame on the link (lock held); a failure resets it.
bool SendBytesLocked(int slot, RVP_TcpLink* l, const uint8_t* msg, int n) {
  if (n > 0 && RVP_TcpSendFrame(Sess(slot).packet_key, n, l->socket, msg, 0, nullptr) == 0) return true;
  ResetLocked(l);
  return false;
}

bool SendLocked(int slot, RVP_TcpLink* l, const RVP_Msg& m) {
  uint8_t msg[kMaxWrittenMsg];
  return SendBytesLocked(slot, l, msg, RVP_MsgBuild(m, msg, sizeof(msg), g_rvs.login_key));
}

bool& OwedFlag(RVP_TcpLink* l, int kind) {
  switch (kind) {
    case kOweLogin:
      return l->owe_login;
    case kOweLoginKeyed:
      return l->owe_login_keyed;
    case kOweReq:
      return l->owe_req;
    default:
      return l->owe_req_keyed;
  }
}

void SendOwed(int slot, int kind) {
  for (int i = 0; i < kTcpLinks; ++i) {
    RVP_TcpLink* l = LinkOf(slot, i);
    if (!l) continue;
    std::lock_guard<std::mutex> g(l->m);
    bool& owed = OwedFlag(l, kind);
    if (!l->connected || !owed) continue;
    RVP_Msg m;
    BuildOwed(slot, l, kind, 0, &m);
    if (SendLocked(slot, l, m)) owed = false;
  }
}

void Resend(int slot, bool keyed) {
  Session& s = Sess(slot);
  for (int i = 0; i < kTcpLinks; ++i) {
    RVP_TcpLink* l = LinkOf(slot, i);
    if (!l) continue;
    std::lock_guard<std::mutex> g(l->m);
    if (!l->connected) continue;
    std::atomic<int>& count = keyed ? l->resend_count_keyed : l->resend_count;
    std::atomic<char>& now = keyed ? l->resend_now_keyed : l->resend_now;
    if (count.load() >= 1) {
      if (count.fetch_add(1) + 1 < kResendAfter) continue;
      count.store(0);
      now.store(1);
    }
    if (!now.load()) continue;
    {
      std::lock_guard<Mutex> lock(g_rvs.mutex);
      if (s.tcp_resend_claim == kClaimFree) s.tcp_resend_claim = kClaimTcpResend;
    }
    RVP_Msg m;
    BuildOwed(slot, l, keyed ? kOweReqKeyed : kOweReq, 1, &m);
    if (SendLocked(slot, l, m)) now.store(0);
  }
}

// One receive step of a connected link (lock held): the rest of the frame
// header, then the rest of the body. false when the link was reset.
bool RecvLocked(const char* key, RVP_TcpLink* l) {
  if (l->head_got < kTcpFrameHeadSize) {
    ssize_t n = recv(l->socket, l->head + l->head_got, static_cast<size_t>(kTcpFrameHeadSize - l->head_got),
                     MSG_DONTWAIT);
    if (n <= 0) {
      if (RVP_RecvError(n) < 0) {
        ResetLocked(l);
        return false;
      }
      return true;
    }
    l->head_got += static_cast<int>(n);
    if (l->head_got < kTcpFrameHeadSize) return true;
    if (RVP_TcpFrameHeadRead(l->head, &l->frame) != 0 || l->frame.len > l->cap) {
      ResetLocked(l);
      return false;
    }
    l->body_got = 0;
  }
  if (l->body_got < l->frame.len) {
    ssize_t n =
        recv(l->socket, l->buf + l->body_got, static_cast<size_t>(l->frame.len - l->body_got), MSG_DONTWAIT);
    if (n <= 0) {
      if (RVP_RecvError(n) < 0) {
        ResetLocked(l);
        return false;
      }
      return true;
    }
    l->body_got = static_cast<uint16_t>(l->body_got + n);
    if (l->body_got < l->frame.len) return true;
  }
  if (RVP_TcpFrameDecode(key, l->frame, l->buf, l->buf) < 0) {
    ResetLocked(l);
    return false;
  }
  l->complete = true;
  return true;
}

}  // namespace

RVP_TcpLink* RVP_TcpLinkNew(const char* name, const char* address) {
  if (!address) return nullptr;
  RVP_TcpLink* l = new (std::nothrow) RVP_TcpLink;
  if (!l) return nullptr;
  std::snprintf(l->name, sizeof(l->name), "%s", name ? name : "");
  RVP_AddrMake(&l->server, address, TcpLinkPort());
  return l;
}

void RVP_TcpLinkReset(RVP_TcpLink* link) {
  if (!link) return;
  std::lock_guard<std::mutex> g(link->m);
  ResetLocked(link);
}

void RVP_TcpLinkFree(RVP_TcpLink* link) {
  if (!link) return;
  RVP_TcpLinkReset(link);
  delete link;
}

void RVP_TcpLinksMake(int slot) {
  Session& s = Sess(slot);
  for (int i = 0; i < kTcpLinks; ++i) {
    if (s.tcp_links[i].load()) continue;
    char name[8], ip[16];
    std::snprintf(name, sizeof(name), "Server%d", i + 1);
    sockaddr_in server;
    {
      std::lock_guard<Mutex> g(g_rvs.mutex);
      server = s.servers[i];
    }
    // A server without an address gets no link (0.0.0.0 would reach this host).
    if (server.sin_addr.s_addr == 0) continue;
    s.tcp_links[i].store(RVP_TcpLinkNew(name, RVP_AddrText(server, ip)));
  }
}

void RVP_TcpLinksFree(int slot) {
  for (auto& l : Sess(slot).tcp_links) RVP_TcpLinkFree(l.exchange(nullptr));
}

void RVP_TcpLinksConnect(int slot, int kind) {
  for (int i = 0; i < kTcpLinks; ++i) {
    RVP_TcpLink* l = LinkOf(slot, i);
    if (!l) continue;
    std::lock_guard<std::mutex> g(l->m);
    if (l->socket < 0) {
      if (l->attempted && TickMs() - l->last_attempt < kRetryMs) continue;
      int sock = RVP_TcpSocket();
      if (sock < 0) continue;
      ResetLocked(l);
      l->socket = sock;
    }
    if (l->connected) continue;
    int r = RVP_TcpConnectStart(l->server, l->socket);
    if (r == -1) continue;
    l->last_attempt = TickMs();
    l->attempted = true;
    if (r == 0) {
      l->connected = true;
      OwedFlag(l, kind) = true;
    } else {
      ResetLocked(l);
    }
  }
}

void RVP_TcpLinksOweAgain(int slot, int kind) {
  for (int i = 0; i < kTcpLinks; ++i) {
    RVP_TcpLink* l = LinkOf(slot, i);
    if (!l) continue;
    std::lock_guard<std::mutex> g(l->m);
    if (l->connected) OwedFlag(l, kind) = true;
  }
}

void RVP_TcpLinksSendRaw(int slot, const uint8_t* msg, int len) {
  for (int i = 0; i < kTcpLinks; ++i) {
    RVP_TcpLink* l = LinkOf(slot, i);
    if (!l) continue;
    std::lock_guard<std::mutex> g(l->m);
    if (l->connected) SendBytesLocked(slot, l, msg, len);
  }
}

void RVP_TcpLinksSendDevLogin(int slot) { SendOwed(slot, kOweLogin); }
void RVP_TcpLinksSendDevLoginEx(int slot) { SendOwed(slot, kOweLoginKeyed); }
void RVP_TcpLinksSendP2PReq(int slot) { SendOwed(slot, kOweReq); }
void RVP_TcpLinksSendP2PReqKeyed(int slot) { SendOwed(slot, kOweReqKeyed); }
void RVP_TcpLinksResendP2PReq(int slot) { Resend(slot, false); }
void RVP_TcpLinksResendP2PReqKeyed(int slot) { Resend(slot, true); }

void RVP_TcpLinksRecv(int slot) {
  const char* key = Sess(slot).packet_key;
  for (int i = 0; i < kTcpLinks; ++i) {
    RVP_TcpLink* l = LinkOf(slot, i);
    if (!l) continue;
    std::lock_guard<std::mutex> g(l->m);
    // A message not yet taken stays where it is; the socket holds the next.
    if (l->connected && !l->complete) RecvLocked(key, l);
  }
}

int RVP_TcpLinkTakeMsg(RVP_TcpLink* link, int* sock, RVP_Address24* server, uint8_t* type, uint16_t* length,
                       uint8_t* payload, int cap) {
  std::lock_guard<std::mutex> g(link->m);
  if (!link->complete) return -1;
  int result = 0;
  uint16_t len = link->frame.len;
  uint8_t t;
  uint16_t plen = 0;
  if (RVP_MsgHeaderRead(link->buf, len, &t, &plen) != 0) {
    result = -3;
  } else if (plen + kMsgHeaderSize != len) {
    result = -4;
  } else if (plen > cap) {
    result = -5;
  } else {
    if (sock) *sock = link->socket;
    if (server) *server = link->server;
    *type = t;
    *length = plen;
    if (plen) std::memcpy(payload, link->buf + kMsgHeaderSize, plen);
  }
  link->complete = false;
  link->head_got = 0;
  link->body_got = 0;
  return result;
}

void RVP_TcpRelayConnect(int slot) {
  Session& s = Sess(slot);
  const RVP_BreakFlag* brk = s.role == kRoleDevice ? &g_rvs.listen_break : &g_rvs.connect_break;
  s.tcp_relay_state.store(kTcpRelayRunning);
  uint32_t start = TickMs();
  int sock = -1;
  while (TickMs() - start < kRelayStepMs) {
    sock = RVP_TcpSocket();
    if (sock < 0) {
      s.tcp_relay_state.store(kTcpRelayNoSocket);
      return;
    }
    uint32_t spent = TickMs() - start;
    int r = RVP_TcpConnect(s.tcp_relay_addr, sock, spent < kRelayStepMs ? kRelayStepMs - spent : 0, brk);
    if (r == 0) break;
    s.tcp_relay_state.store(kTcpRelayRetrying);
    RVP_SocketClose(sock);
    sock = -1;
    if (r == -2) return;  // a break ends the attempt
    if (r == -1) SleepMs(10);
  }
  if (sock < 0) {
    s.tcp_relay_state.store(kTcpRelayRetrying);
    return;
  }
  uint8_t req[kTcpRelayReqSize];
  uint8_t ans[kTcpRelayAnsSize];
  int got = 0;
  if (RVP_TcpRelayReqWrite(req, s.did_block, s.tcp_relay_ticket, s.role) != 0 ||
      RVP_TcpSendAll(sock, req, kTcpRelayReqSize, kRelayStepMs, brk) != 0 ||
      RVP_TcpRecvAll(sock, ans, kTcpRelayAnsSize, kRelayStepMs, brk, &got) != 0) {
    RVP_SocketClose(sock);
    s.tcp_relay_state.store(kTcpRelayFailed);
    return;
  }
  RVP_TcpRelayAnsRead(ans, &s.tcp_relay_reported[0], &s.tcp_relay_reported[1]);
  s.tcp_socket.store(sock);
  s.established_time.store(NowSec());
  s.established_tick.store(TickMs());
  s.tcp_relay_state.store(kTcpRelayConnected);
}
