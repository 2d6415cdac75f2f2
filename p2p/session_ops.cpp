#include "p2p/session_ops.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "p2p/dialogue.h"
#include "p2p/msg_io.h"
#include "p2p/session_io.h"
#include "p2p/sock.h"
#include "p2p/tcp_link.h"

namespace p2p {

namespace {

void CopyText(char* out, size_t field, const char* text, size_t keep) {
  std::memset(out, 0, field);
  if (text) std::memcpy(out, text, strnlen(text, keep));
}

sockaddr_in WithPort(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

}  // namespace

int RVP_SessionOpen(int slot, const SessionSetup& setup) {
  Session& s = Sess(slot);
  RVP_DidBlock did;
  if (RVP_DidMake(&did, setup.prefix, setup.serial, setup.suffix) != 0) return -4;
  std::unique_lock<Mutex> g(g_rvs.mutex);
  s.Clear();
  s.socket = kSlotReserved;
  s.role = setup.role;
  s.did_block = did;
  RVP_DidText(did, s.did, sizeof(s.did));
  CopyText(s.did_key, sizeof(s.did_key), setup.did_key, kDidKeyField - 1);
  CopyText(s.packet_key, sizeof(s.packet_key), setup.packet_key, 20);
  CopyText(s.wakeup, sizeof(s.wakeup), setup.wakeup, kWakeupField);
  if (setup.servers)
    for (int i = 0; i < kServers; ++i) s.servers[i] = setup.servers[i];
  g.unlock();

  int sock = RVP_UdpSocket();
  if (sock < 0) {
    std::printf("socket create failed!!, errno=%d\n", errno);
    std::fflush(stdout);
    return -18;
  }
  RVP_SetBroadcast(sock);
  int port = RVP_UdpBind(sock, setup.udp_port, nullptr);
  if (port < 0) {
    RVP_SocketClose(sock);
    return -18;
  }
  char lan[16], wan[16];
  RVP_NetTexts(lan, wan);
  g.lock();
  s.local = WithPort(lan, static_cast<uint16_t>(port));
  s.wan = WithPort(wan, static_cast<uint16_t>(port));
  s.socket = sock;
  return 0;
}

bool RVP_DialogueStart(int slot) {
  return Sess(slot).dialogue_thread.Start("RVP_Dialogue", [slot] { RVP_ServerDialogueThread(slot); });
}

void RVP_DialogueStop(int slot) {
  Session& s = Sess(slot);
  s.stop_dialogue.store(1);
  s.dialogue_thread.Join();
}

void RVP_SessionFree(int slot) {
  Session& s = Sess(slot);
  RVP_TcpLinksFree(slot);
  for (std::atomic<int>* f : {&s.tcp_socket, &s.listen_tcp_socket, &s.direct_tcp_socket})
    RVP_SocketClose(f->exchange(-1));
  std::lock_guard<Mutex> g(g_rvs.mutex);
  if (s.socket >= 0) RVP_SocketClose(s.socket);
  s.Clear();
  s.generation.fetch_add(1);
}

int RVP_SessionStartThreads(int slot) {
  Session& s = Sess(slot);
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    s.closing.store(0);
    for (Channel& c : s.channels) ChannelReset(&c);
    s.interval.store(s.tcp_socket.load() >= 0 ? kTcpInterval : kUdpInterval);
    s.last_round_tick = s.last_tcp_alive_tick = TickMs();
  }
  if (!s.recv_thread.Start("RVP_SessRecv", [slot] { RVP_SessionRecvThread(slot); })) return -22;
  if (!s.send_thread.Start("RVP_SessSend", [slot] { RVP_SessionSendThread(slot); })) {
    s.closing.store(1);
    s.recv_thread.Join();
    return -22;
  }
  s.handed_out.store(1);
  return 0;
}

int RVP_SessionFinish(int slot, int result, uint8_t mode_byte, bool report) {
  Session& s = Sess(slot);
  if (result >= 0 && RVP_SessionStartThreads(slot) != 0) result = -22;
  if (report) RVP_SessionReport(slot, result, mode_byte);
  if (s.tcp_framing.load() != kFramingSimple) RVP_SocketClose(s.listen_tcp_socket.exchange(-1));
  // A direct TCP socket the peer never confirmed carries nothing.
  RVP_SocketClose(s.direct_tcp_socket.exchange(-1));
  if (result < 0) {
    RVP_SessionFree(slot);
    return result;
  }
  return slot;
}

void RVP_SessionReport(int slot, int result, uint8_t mode_byte) {
  Session& s = Sess(slot);
  RVP_Msg rep;
  RVP_SessionMsg(slot, MsgConnectReport, &rep);
  rep.result = result;
  rep.max_sess = static_cast<uint16_t>(g_rvs.max_num_sess.load());
  rep.in_use = static_cast<uint16_t>(RVP_SlotsInUse());
  rep.elapsed_ms = static_cast<uint16_t>(TickMs() - s.start_tick);
  rep.role = s.role;
  rep.session_mode = s.mode.load();
  rep.connect_mode = mode_byte;
  rep.probe = static_cast<uint8_t>(s.probe.load());
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    rep.addr[0] = s.local;
    rep.addr[1] = s.wan;
    rep.addr[2] = s.remote;
  }
  RVP_SessionSendToServers(slot, rep);
}

void RVP_SessionMsg(int slot, uint8_t type, RVP_Msg* m) {
  RVP_MsgInit(m, type);
  m->did = Sess(slot).did_block;
}

int RVP_SessionSend(int slot, const sockaddr_in& to, const RVP_Msg& m) {
  const Session& s = Sess(slot);
  return RVP_SendMsg(s.packet_key, s.socket, to, m, g_rvs.login_key);
}

void RVP_SessionSendToServers(int slot, const RVP_Msg& m) {
  for (const sockaddr_in& to : Sess(slot).servers)
    if (to.sin_addr.s_addr != 0) RVP_SessionSend(slot, to, m);
}

sockaddr_in RVP_SessionLocal(int slot) {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  return Sess(slot).local;
}

sockaddr_in RVP_SessionWan(int slot) {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  return Sess(slot).wan;
}

sockaddr_in RVP_SessionLocalAddr(const sockaddr_in& peer, int slot) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  int t = RVP_UdpSocket();
  if (t >= 0) {
    sockaddr_in to = peer;
    to.sin_family = AF_INET;
    socklen_t l = sizeof(out);
    if (connect(t, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 ||
        getsockname(t, reinterpret_cast<sockaddr*>(&out), &l) != 0)
      out.sin_addr.s_addr = 0;
    RVP_SocketClose(t);
  }
  sockaddr_in own{};
  socklen_t l = sizeof(own);
  if (getsockname(Sess(slot).socket, reinterpret_cast<sockaddr*>(&own), &l) == 0) out.sin_port = own.sin_port;
  out.sin_family = AF_INET;
  return out;
}

void RVP_SessionRefreshLocal(int slot, const sockaddr_in& peer) {
  sockaddr_in local = RVP_SessionLocalAddr(peer, slot);
  std::lock_guard<Mutex> g(g_rvs.mutex);
  Sess(slot).local = local;
}

void RVP_SessionEstablish(int slot, uint8_t mode, const sockaddr_in& remote) {
  Session& s = Sess(slot);
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    s.remote = remote;
    s.remote.sin_family = AF_INET;
  }
  s.mode.store(mode);
  s.established_time.store(NowSec());
  s.established_tick.store(TickMs());
  s.established.store(1);
  s.stop_dialogue.store(1);
}

bool RVP_SameAddr(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

bool RVP_AddrUnusable(const sockaddr_in& a) {
  return a.sin_addr.s_addr == htonl(INADDR_ANY) || a.sin_addr.s_addr == htonl(INADDR_BROADCAST);
}

}  // namespace p2p
