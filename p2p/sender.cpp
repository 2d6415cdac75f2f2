// The sender side of an established session: written bytes become numbered
// packets, packets go out within the window and wait in the resend queue for
// their acknowledgement (UDP) or are freed once sent (TCP), and the
// acknowledgements the receive thread gathered go back to the peer.
#include <algorithm>

#include "p2p/msg_io.h"
#include "p2p/session_io.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"

using namespace p2p;

namespace {

void DataMsg(RVP_Msg* m, uint8_t type, int channel, uint16_t seq, const uint8_t* data, uint32_t len) {
  RVP_MsgInit(m, type);
  m->channel = static_cast<uint8_t>(channel);
  m->seq = seq;
  m->data = data;
  m->data_len = static_cast<uint16_t>(len);
}

void SendAcks(int slot, int channel) {
  Channel& c = Sess(slot).channels[channel];
  RVP_Msg m;
  RVP_MsgInit(&m, MsgAck);
  m.channel = static_cast<uint8_t>(channel);
  // A list never holds more than one message takes.
  m.count = std::min<uint16_t>(c.ack_count, kAckMax);
  std::copy(c.acks, c.acks + m.count, m.seqs);
  RVP_SessionSendRemote(slot, m);
  c.ack_count = 0;
}

void MarkClosed(Session& s, std::atomic<char>& why) {
  why.store(1);
  s.closing.store(1);
}

// The send queue may go on while the window between the oldest packet
// awaiting its acknowledgement and the packet to send is no wider than the
// allowance permits.
bool WindowOpen(const Channel& c) {
  if (!c.resend_q.head) return true;
  const uint16_t limit = static_cast<uint16_t>(c.allowance + kWindowSlack);
  uint16_t sh = static_cast<uint16_t>(c.send_q.head->seq), rh = static_cast<uint16_t>(c.resend_q.head->seq),
           rt = static_cast<uint16_t>(c.resend_q.tail->seq);
  return RVP_SeqGap16(sh, rh) <= limit && RVP_SeqGap16(sh, rt) <= limit && RVP_SeqGap16(rh, rt) <= limit;
}

}  // namespace

int RVP_SessionSendRemote(int slot, const RVP_Msg& m) {
  Session& s = Sess(slot);
  return RVP_SendMsg(s.packet_key, s.socket, s.remote, m, g_rvs.login_key) > 0 ? 0 : -1;
}

int RVP_SessionSendTcp(int slot, const RVP_Msg& m) {
  Session& s = Sess(slot);
  uint8_t msg[kMaxWrittenMsg];
  int n = RVP_MsgBuild(m, msg, sizeof(msg), g_rvs.login_key);
  int sock = s.tcp_socket.load();
  if (n < 0 || sock < 0) return -1;
  // The close goes out even from a session already closing.
  const RVP_BreakFlag* brk = m.type == MsgClose ? nullptr : &s.closing;
  std::lock_guard<Mutex> g(s.tcp_send_mu);
  int r = s.tcp_framing.load() == kFramingSimple
              ? RVP_TcpSendFrameSimple(s.packet_key, n, sock, msg, kTcpIoMs, brk)
              : RVP_TcpSendFrame(s.packet_key, n, sock, msg, kTcpIoMs, brk);
  return r == 0 ? 0 : -1;
}

int RVP_ChannelQueueWrite(int slot, int channel, const uint8_t* bytes, int len) {
  Session& s = Sess(slot);
  Channel& c = s.channels[channel];
  RVP_Packet* p = RVP_PacketNew(static_cast<uint32_t>(len), c.next_write_seq);
  if (!p) return -1;
  std::copy(bytes, bytes + len, p->data);
  ++c.next_write_seq;
  // Written packets are in order by construction: appended, however many a
  // caller queues (a sorted insert would refuse those a third of the
  // sequence circle beyond the head).
  RVP_QueueAppend(s.tcp_socket.load() >= 0 ? &c.send_q : &c.write_q, p);
  return 0;
}

void RVP_ChannelSend(int slot, RVP_Held& lk) {
  Session& s = Sess(slot);
  const uint32_t tick = TickMs();
  const bool tcp = s.tcp_socket.load() >= 0;
  if (tcp && tick - s.last_tcp_alive_tick > kTcpAliveMs) {
    RVP_Msg alive;
    RVP_MsgInit(&alive, MsgAlive);
    lk.unlock();
    int r = RVP_SessionSendTcp(slot, alive);
    lk.lock();
    if (r != 0) {
      MarkClosed(s, s.closed_timeout);
      return;
    }
    s.last_tcp_alive_tick = TickMs();
  }
  for (int ch = 0; ch < kChannels; ++ch) {
    Channel& c = s.channels[ch];
    c.allowance = tcp ? kMaxAllowance : std::min<uint16_t>(c.allowance + 1, kMaxAllowance);
    if (c.window_fill) {
      if (RVP_ChannelQueueWrite(slot, ch, c.window, c.window_fill) == 0) {
        c.window_fill = 0;
      } else {
        MarkClosed(s, s.out_of_memory);
      }
    }
    while (c.send_q.count + c.resend_q.count < kMaxInFlight && c.write_q.head)
      RVP_QueueInsert(RVP_QueuePop(&c.write_q), &c.send_q);

    const uint32_t ch_start = TickMs();
    uint32_t ch_bytes = 0;
    while (c.send_q.head && WindowOpen(c)) {
      RVP_Packet* p = RVP_QueuePop(&c.send_q);
      RVP_Msg m;
      DataMsg(&m, MsgData, ch, static_cast<uint16_t>(p->seq), p->data, p->size);
      if (tcp) {
        lk.unlock();
        int r = RVP_SessionSendTcp(slot, m);
        lk.lock();
        RVP_PacketFree(p);
        if (r != 0) {
          MarkClosed(s, s.closed_timeout);
          break;
        }
        s.last_tcp_alive_tick = TickMs();
        ch_bytes += m.data_len;
        if (TickMs() - ch_start > kTcpRoundMs || ch_bytes > kTcpRoundBytes) break;
      } else {
        if (p->first_send == kNeverSent)
          p->first_send = tick;
        else if (tick == 0)
          p->first_send = kNoRttSample;
        RVP_QueueInsert(p, &c.resend_q);
        RVP_SessionSendRemote(slot, m);
      }
    }
    if (c.ack_count) SendAcks(slot, ch);
  }
  s.last_round_tick = tick;
}

void RVP_SessionSendThread(int slot) {
  Session& s = Sess(slot);
  const int tcp = s.tcp_socket.load();
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    for (Channel& c : s.channels) c.allowance = kMaxAllowance;
    s.interval.store(tcp >= 0 ? kTcpInterval : kUdpInterval);
  }
  while (!s.closing.load()) {
    bool pending = false;
    {
      RVP_Held lk(g_rvs.mutex);
      RVP_ChannelSend(slot, lk);
      if (tcp >= 0)
        for (const Channel& c : s.channels) pending |= c.write_q.count + c.send_q.count > 0;
    }
    if (pending)
      RVP_WaitWritable(tcp, s.interval.load());
    else
      SleepMs(s.interval.load());
  }
}
