// The receive thread of an established session: data, acknowledgements,
// unreliable packets, alive messages and the close message, over UDP or the
// session's TCP socket. Over UDP it is also the engine's clock (resends, the
// alive exchange, the sender round when due) and runs the relayed punch
// through which a relayed session switches to a direct path.
#include <cstring>

#include "p2p/cipher.h"
#include "p2p/msg_io.h"
#include "p2p/session_io.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"

using namespace p2p;

namespace {

void MarkClosed(Session& s, std::atomic<char>& why) {
  why.store(1);
  s.closing.store(1);
}

void SendEmpty(int slot, uint8_t type) {
  RVP_Msg m;
  RVP_MsgInit(&m, type);
  RVP_SessionSendRemote(slot, m);
}

void Data(int slot, const RVP_Msg& m) {
  Session& s = Sess(slot);
  if (!m.data_len) return;
  Channel& c = s.channels[m.channel];
  const int after_next = RVP_SeqCmp16(m.seq, c.next_read_seq);
  // A stalled reader: only the packet it waits for still gets in.
  if (c.recv_q.bytes > kRecvQueueLimit && after_next > 0) return;
  if (c.ack_count >= kAckList) return;
  c.acks[c.ack_count++] = m.seq;
  if (c.ack_count > kAckSendAt) {
    RVP_Msg ack;
    RVP_MsgInit(&ack, MsgAck);
    ack.channel = m.channel;
    ack.count = c.ack_count;
    std::memcpy(ack.seqs, c.acks, sizeof(uint16_t) * c.ack_count);
    RVP_SessionSendRemote(slot, ack);
    c.ack_count = 0;
  }
  if (after_next < 0) return;  // a repeat, acknowledged again
  RVP_Packet* p = RVP_PacketNew(m.data_len, m.seq);
  if (!p) {
    MarkClosed(s, s.out_of_memory);
    return;
  }
  std::memcpy(p->data, m.data, m.data_len);
  if (RVP_QueueInsert(p, &c.recv_q) == 1) s.sems[m.channel].Release();
}

void Ack(int slot, const RVP_Msg& m) {
  Session& s = Sess(slot);
  Channel& c = s.channels[m.channel];
  const uint32_t now = TickMs();
  for (int i = 0; i < m.count; ++i) {
    uint16_t seq = m.seqs[i];
    RVP_Packet* p = RVP_QueueRemove(&c.resend_q, seq);
    if (!p) p = RVP_QueueRemove(&c.send_q, seq);
    if (p) {
      if (p->first_send != kNeverSent && p->first_send != kNoRttSample) {
        uint32_t rtt = now - p->first_send;
        if (rtt < s.interval.load()) s.interval.store(rtt + 1);
      }
      RVP_PacketFree(p);
    }
    // Packets sent before an acknowledged one and still unacknowledged are
    // taken for lost: they go again at the next round, in a narrower window.
    while (c.resend_q.head && RVP_SeqCmp16(static_cast<uint16_t>(c.resend_q.head->seq), seq) < 0) {
      RVP_QueueInsert(RVP_QueuePop(&c.resend_q), &c.send_q);
      if (c.allowance) --c.allowance;
    }
  }
}

void Datagram(int slot, const RVP_Msg& m) {
  Session& s = Sess(slot);
  if (!m.data_len) return;
  Channel& c = s.channels[m.channel];
  if (c.unrel_q.count > kUnreliableLimit || RVP_SeqCmp16(m.seq, c.next_unrel_recv) < 0) return;
  RVP_Packet* p = RVP_PacketNew(m.data_len, m.seq);
  if (!p) {
    MarkClosed(s, s.out_of_memory);
    return;
  }
  std::memcpy(p->data, m.data, m.data_len);
  RVP_QueueInsert(p, &c.unrel_q);
  c.next_unrel_recv = static_cast<uint16_t>(m.seq + 1);
  s.sems[m.channel].Release();
}

// --- Relayed punch -------------------------------------------------------

bool FromServer(const Session& s, const sockaddr_in& from) {
  for (const sockaddr_in& a : s.servers)
    if (a.sin_addr.s_addr != 0 && RVP_SameAddr(a, from)) return true;
  return false;
}

bool TokenSet(const Session& s) {
  for (uint8_t b : s.punch_token)
    if (b) return true;
  return false;
}

void SendPunch(int slot, uint8_t kind, uint8_t flag, const sockaddr_in& to) {
  Session& s = Sess(slot);
  RVP_Msg m;
  RVP_SessionMsg(slot, MsgRelayedPunch, &m);
  m.punch_kind = kind;
  m.flag = flag;
  std::memcpy(m.token, s.punch_token, sizeof(m.token));
  m.addr24[0] = RVP_Addr24FromV4(s.wan);
  m.addr24[1] = RVP_Addr24FromV4(s.local);
  RVP_SessionSend(slot, to, m);
}

// Kind 3 toward one of the peer's addresses: once when this side's own
// address of that kind shares its IPv4, else to its port and three either side.
void PunchToward(int slot, const sockaddr_in& peer, const sockaddr_in& own) {
  if (RVP_AddrUnusable(peer)) return;
  if (own.sin_addr.s_addr == peer.sin_addr.s_addr) {
    SendPunch(slot, 3, 0, peer);
    return;
  }
  int port = ntohs(peer.sin_port);
  for (int p = port - 3; p <= port + 3; ++p) {
    if (p < 1 || p > 65535) continue;
    sockaddr_in to = peer;
    to.sin_port = htons(static_cast<uint16_t>(p));
    SendPunch(slot, 3, 0, to);
  }
}

void PunchSwitch(int slot, const sockaddr_in& to) {
  Session& s = Sess(slot);
  s.punch_report_sent = true;
  s.mode.store(kModeRelayedPunch);
  s.punch_state = 0;
  s.remote = to;
  s.remote.sin_family = AF_INET;
  RVP_Msg rep;
  RVP_SessionMsg(slot, MsgRelayedPunchReport, &rep);
  rep.handle = static_cast<uint32_t>(slot);
  rep.role = s.role;
  rep.addr[0] = s.local;
  rep.addr[1] = s.wan;
  rep.addr[2] = s.remote;
  RVP_SessionSendToServers(slot, rep);
}

void RelayedPunch(int slot, const sockaddr_in& from, const RVP_Msg& m) {
  Session& s = Sess(slot);
  if (s.role != kRoleDevice && !s.allow_rp2p.load()) return;
  if (!RVP_DidEqual(m.did, s.did_block)) return;
  const bool token_ok = TokenSet(s) && std::memcmp(m.token, s.punch_token, sizeof(m.token)) == 0;
  switch (m.punch_kind) {
    case 1:
      if (m.punch_len != 48 || !FromServer(s, from) || s.punch_report_sent) return;
      if (NowSec() - s.established_time.load() > kRelayedPunchWindowSec) {
        s.punch_state = 0;
        return;
      }
      std::memcpy(s.punch_token, m.token, sizeof(s.punch_token));
      s.punch_server = from;
      s.wan = RVP_Addr24ToV4(m.addr24[s.role == kRoleClient ? 0 : 1]);
      SendPunch(slot, 2, 0, s.remote);
      s.punch_state = 1;
      return;
    case 2:
      if (m.punch_len != 48 || !token_ok || s.punch_state != 1) return;
      s.punch_peer_wan = RVP_Addr24ToV4(m.addr24[0]);
      s.punch_peer_local = RVP_Addr24ToV4(m.addr24[1]);
      PunchToward(slot, s.punch_peer_local, s.local);
      PunchToward(slot, s.punch_peer_wan, s.wan);
      return;
    case 3:
      if (m.punch_len != 52 || !token_ok) return;
      SendPunch(slot, 4, m.flag, from);
      if (m.flag == 1 && !s.punch_report_sent) PunchSwitch(slot, from);
      return;
    case 4:
      if (m.punch_len != 52 || !token_ok) return;
      if (m.flag == 0)
        SendPunch(slot, 3, 1, from);
      else if (!s.punch_report_sent)
        PunchSwitch(slot, from);
      return;
    default:
      return;
  }
}

// --- The passes ------------------------------------------------------------

void Periodic(int slot, RVP_AliveState* alive) {
  Session& s = Sess(slot);
  if (s.role == kRoleDevice && s.mode.load() == kModeP2P && !alive->repeats_ended) {
    if (alive->misses > 0) {
      RVP_Msg m;
      RVP_SessionMsg(slot, MsgPunchReady, &m);
      RVP_SessionSendRemote(slot, m);
    } else {
      alive->repeats_ended = true;
    }
  }
  // The oldest unacknowledged packet of each channel goes again.
  for (Channel& c : s.channels)
    if (c.resend_q.head) RVP_QueueInsert(RVP_QueuePop(&c.resend_q), &c.send_q);
}

void AliveStep(int slot, RVP_AliveState* alive) {
  Session& s = Sess(slot);
  if (alive->timer_ms > 999) {
    SendEmpty(slot, MsgAlive);
    if (++alive->misses > g_rvs.sess_alive_sec.load()) MarkClosed(s, s.closed_timeout);
    alive->timer_ms = 0;
  }
  // The time that passed, not a pass's wait: a burst of messages that keep
  // nothing alive (punches still arriving after establishment) must not
  // count for seconds.
  const uint32_t now = TickMs();
  alive->timer_ms += now - alive->last_tick;
  alive->last_tick = now;
}

void UdpPass(int slot) {
  Session& s = Sess(slot);
  RVP_AliveState alive;
  alive.misses = g_rvs.sess_alive_sec.load() / 2;
  alive.last_tick = TickMs();
  int64_t last_periodic = NowSec();
  uint8_t payload[kRecvPayload];
  while (!s.closing.load()) {
    sockaddr_in from{};
    uint8_t type = 0;
    uint16_t len = 0;
    int r = RVP_RecvMsg(s.packet_key, &from, s.socket, s.interval.load() + 1, &type, &len, payload,
                        sizeof(payload));
    if (r == -2) SleepMs(s.interval.load() + 1);  // a socket error: no busy loop
    RVP_Held lk(g_rvs.mutex);
    if (TickMs() - s.last_round_tick >= s.interval.load()) RVP_ChannelSend(slot, lk);
    // A message from anyone else counts as none.
    if (r == 0 && RVP_SessionAccepts(slot, from, type))
      RVP_SessionHandleUdp(slot, from, type, payload, len, &alive);
    int64_t now = NowSec();
    if (r == -1 || now - last_periodic >= 2) {
      Periodic(slot, &alive);
      last_periodic = now;
    }
    AliveStep(slot, &alive);
  }
}

// Whether a channel's receive queue is past its cap while the caller still reads (mutex held).
bool TcpBacklog(const Session& s) {
  if (s.closed_caller.load()) return false;
  for (const Channel& c : s.channels)
    if (c.recv_q.bytes > kRecvQueueLimit) return true;
  return false;
}

void TcpPass(int slot) {
  Session& s = Sess(slot);
  const int sock = s.tcp_socket.load();
  uint8_t head[kTcpFrameHeadSize];
  uint8_t body[kTcpFrameBodyMax];
  uint8_t msg[kTcpFrameBodyMax];
  auto fail = [&s] {
    if (!s.closing.load()) MarkClosed(s, s.closed_timeout);
  };
  while (!s.closing.load()) {
    int got = 0;
    RVP_TcpFrameHead h;
    if (RVP_TcpRecvAll(sock, head, kTcpFrameHeadSize, kTcpIoMs, &s.closing, &got) != 0 ||
        RVP_TcpFrameHeadRead(head, &h) != 0) {
      fail();
      break;
    }
    if (h.len && RVP_TcpRecvAll(sock, body, h.len, kTcpIoMs, &s.closing, &got) != 0) {
      fail();
      break;
    }
    if (s.tcp_framing.load() == kFramingSimple) {
      RVP_Unscramble(s.packet_key, body, msg, h.len);
    } else if (RVP_TcpFrameDecode(s.packet_key, h, body, msg) < 0) {
      fail();
      break;
    }
    uint8_t type;
    uint16_t plen;
    if (RVP_MsgHeaderRead(msg, h.len, &type, &plen) != 0 || plen + kMsgHeaderSize != h.len) {
      fail();
      break;
    }
    bool pause;
    {
      std::lock_guard<Mutex> g(g_rvs.mutex);
      pause = RVP_SessionHandleTcp(slot, msg, h.len);
    }
    if (!pause) continue;
    // A stream cannot drop data: while a channel's reader lags its queue's cap, the socket is not read,
    // so the peer's sending is held back by TCP itself.
    do {
      SleepMs(1);
      std::lock_guard<Mutex> g(g_rvs.mutex);
      pause = TcpBacklog(s);
    } while (pause && !s.closing.load());
  }
}

}  // namespace

bool RVP_SessionAccepts(int slot, const sockaddr_in& from, uint8_t type) {
  const Session& s = Sess(slot);
  if (RVP_SameAddr(from, s.remote)) return true;
  // Besides the peer, only the relayed punch speaks to the session: the
  // servers start it; while it runs the peer answers from addresses this side
  // may not know yet (its own were lost when they came before the servers'
  // start), and the token the servers gave both sides is what guards it.
  if (type != MsgRelayedPunch) return false;
  return FromServer(s, from) || s.punch_state == 1;
}

void RVP_SessionHandleUdp(int slot, const sockaddr_in& from, uint8_t type, const uint8_t* payload,
                          uint16_t len, RVP_AliveState* alive) {
  Session& s = Sess(slot);
  RVP_Msg m;
  int r = RVP_MsgParsePayload(type, payload, len, &m, g_rvs.login_key);
  switch (type) {
    case MsgData:
      alive->timer_ms = 0;
      alive->misses = 0;
      // More than a read buffer holds, or a wrong head: refused, nothing copied.
      if (r == kMsgErrChannel) MarkClosed(s, s.closed_remote);
      if (r == kMsgOk) Data(slot, m);
      break;
    case MsgAck:
      alive->timer_ms = 0;
      alive->misses = 0;
      // A list that does not fit its message is dropped; a bad channel or
      // an overlong list breaks the protocol.
      if (r == kMsgErrChannel || (r == kMsgErrCount && m.seq >= kAckList)) MarkClosed(s, s.closed_remote);
      if (r == kMsgOk) Ack(slot, m);
      break;
    case MsgDatagram:
      alive->timer_ms = 0;
      alive->misses = 0;
      if (r == kMsgErrChannel) MarkClosed(s, s.closed_remote);
      if (r == kMsgOk) Datagram(slot, m);
      break;
    case MsgAlive:
      alive->misses = 0;
      SendEmpty(slot, MsgAliveAck);
      break;
    case MsgAliveAck:
      alive->misses = 0;
      break;
    case MsgClose:
      MarkClosed(s, s.closed_remote);
      break;
    case MsgPunchReady:
      if (s.role == kRoleClient) SendEmpty(slot, MsgAlive);
      break;
    case MsgRelayedPunch:
      if (r == kMsgOk) RelayedPunch(slot, from, m);
      break;
    default:
      break;
  }
}

bool RVP_SessionHandleTcp(int slot, const uint8_t* msg, int len) {
  Session& s = Sess(slot);
  RVP_Msg m;
  int r = RVP_MsgParse(msg, static_cast<size_t>(len), &m, g_rvs.login_key);
  if (m.type == MsgClose) {
    MarkClosed(s, s.closed_remote);
    return false;
  }
  if (m.type != MsgData) return false;
  if (r == kMsgErrChannel) {
    MarkClosed(s, s.closed_remote);
    return false;
  }
  // Nobody reads a session its caller closes: its data is not kept.
  if (r != kMsgOk || !m.data_len || s.closed_caller.load()) return false;
  Channel& c = s.channels[m.channel];
  RVP_Packet* p = RVP_PacketNew(m.data_len, m.seq);
  if (!p) {
    MarkClosed(s, s.out_of_memory);
    return false;
  }
  std::memcpy(p->data, m.data, m.data_len);
  // The stream keeps the order: no sequence check, no acknowledgement.
  RVP_QueueAppend(&c.recv_q, p);
  if (c.recv_q.count > 31) s.sems[m.channel].Release();
  return c.recv_q.count > kMaxInFlight || TcpBacklog(s);
}

void RVP_SessionRecvThread(int slot) {
  Session& s = Sess(slot);
  if (s.tcp_socket.load() >= 0)
    TcpPass(slot);
  else
    UdpPass(slot);
  for (int round = 0; round < 2; ++round) {
    if (round) SleepMs(10);
    for (Semaphore& sem : s.sems) sem.Release();
  }
}
