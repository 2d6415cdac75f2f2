// The data calls on an established session: write, read, buffer check,
// unreliable packets, session record, and the two closes.
#include <algorithm>
#include <cstring>

#include "p2p/api_alias.h"
#include "p2p/rvs_api.h"
#include "p2p/session_io.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"

using namespace p2p;

namespace {

constexpr unsigned kReadStepMs = 10;
constexpr unsigned kCloseStepMs = 10;

bool SlotIndexOk(int session) { return session >= 0 && session < g_rvs.max_num_sess.load(); }

// The session checks after the argument checks, mutex held: -11, -14, -20,
// and (unless only_local) -13, -12.
int StateCheck(const Session& s, bool only_local = false) {
  if (!s.InUse() || !s.handed_out.load()) return RVS_ERR_INVALID_SESSION_HANDLE;
  if (s.closed_caller.load()) return RVS_ERR_SESSION_CLOSED_CALLED;
  if (s.out_of_memory.load()) return RVS_ERR_SESSION_OUT_OF_MEMORY;
  if (only_local) return 0;
  if (s.closed_timeout.load()) return RVS_ERR_SESSION_CLOSED_TIMEOUT;
  if (s.closed_remote.load()) return RVS_ERR_SESSION_CLOSED_REMOTE;
  return 0;
}

// -1, the argument check, then the slot index. 0 when the call may go on.
int EntryCheck(int session, bool args_ok) {
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  if (!args_ok) return RVS_ERR_INVALID_PARAMETER;
  if (!SlotIndexOk(session)) return RVS_ERR_INVALID_SESSION_HANDLE;
  return 0;
}

bool ChannelOk(char channel) { return static_cast<uint8_t>(channel) < kChannels; }

// The entry checks of the two reads; a refused read reports no bytes.
int ReadEntryCheck(int session, char channel, const char* buf, int* size) {
  int r = EntryCheck(session, ChannelOk(channel) && buf && size && *size >= 1);
  if (r && size) *size = 0;
  return r;
}

// Counts a caller waiting on the session outside the mutex; the close frees
// the slot only once every waiter has left.
class Waiter {
 public:
  explicit Waiter(Session& s) : s_(s) { ++s_.waiters; }
  ~Waiter() { --s_.waiters; }  // mutex held
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

 private:
  Session& s_;
};

// Whether the slot still holds the session a call began with (mutex held).
bool Same(const Session& s, uint32_t generation) { return s.generation.load() == generation && s.InUse(); }

uint32_t Left(uint32_t start, unsigned timeout_ms) {
  uint32_t spent = TickMs() - start;
  return spent >= timeout_ms ? 0 : timeout_ms - spent;
}

bool WriteFailed(Session& s) {
  s.out_of_memory.store(1);
  s.closing.store(1);
  return false;
}

// Appends len bytes to the channel: into the window while it has room; a full
// window becomes a packet and whole packets are taken straight from the data.
bool Append(int slot, int ch, const uint8_t* data, int len) {
  Session& s = Sess(slot);
  Channel& c = s.channels[ch];
  int room = kDataMax - c.window_fill;
  if (len <= room) {
    std::memcpy(c.window + c.window_fill, data, static_cast<size_t>(len));
    c.window_fill = static_cast<uint16_t>(c.window_fill + len);
    return true;
  }
  std::memcpy(c.window + c.window_fill, data, static_cast<size_t>(room));
  if (RVP_ChannelQueueWrite(slot, ch, c.window, kDataMax) != 0) return WriteFailed(s);
  c.window_fill = 0;
  int at = room;
  for (; len - at >= kDataMax; at += kDataMax)
    if (RVP_ChannelQueueWrite(slot, ch, data + at, kDataMax) != 0) return WriteFailed(s);
  std::memcpy(c.window, data + at, static_cast<size_t>(len - at));
  c.window_fill = static_cast<uint16_t>(len - at);
  return true;
}

// Copies what the read buffer holds, up to want - got bytes.
void Serve(Channel& c, char* buf, int want, int* got) {
  int n = std::min(c.read_len - c.read_pos, want - *got);
  if (n <= 0) return;
  std::memcpy(buf + *got, c.read_buf + c.read_pos, static_cast<size_t>(n));
  c.read_pos = static_cast<uint16_t>(c.read_pos + n);
  *got += n;
}

// The next packet in order into the read buffer; false when it is not there.
bool NextPacket(Channel& c) {
  RVP_Packet* p = c.recv_q.head;
  if (!p || static_cast<uint16_t>(p->seq) != c.next_read_seq) return false;
  RVP_QueuePop(&c.recv_q);
  // Packets hold at most a read buffer (longer data is refused on receipt).
  uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(p->size, kDataMax));
  std::memcpy(c.read_buf, p->data, n);
  c.read_pos = 0;
  c.read_len = n;
  RVP_PacketFree(p);
  ++c.next_read_seq;
  c.stall_time = 0;
  return true;
}

int Close(int session, bool force) {
  if (!SlotIndexOk(session)) return RVS_ERR_INVALID_SESSION_HANDLE;
  Session& s = Sess(session);
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    if (!s.InUse() || !s.handed_out.load() || s.close_started.load()) return RVS_ERR_INVALID_SESSION_HANDLE;
    s.close_started.store(1);
    s.closed_caller.store(1);
    if (force) s.closing.store(1);
  }
  // What the caller wrote goes out and is acknowledged first, unless the
  // session ends meanwhile.
  auto pending = [&s](int ch, bool window) {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    const Channel& c = s.channels[ch];
    if (window) return c.window_fill > 0;
    return c.write_q.count + c.send_q.count + c.resend_q.count > 0;
  };
  for (int ch = 0; ch < kChannels; ++ch)
    for (bool window : {true, false})
      while (!s.closing.load() && pending(ch, window)) SleepMs(kCloseStepMs);

  RVP_Msg bye;
  RVP_MsgInit(&bye, MsgClose);
  if (s.tcp_socket.load() >= 0) {
    RVP_SessionSendTcp(session, bye);
    while (!s.closed_remote.load() && !s.closing.load()) SleepMs(kCloseStepMs);
  } else {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    RVP_SessionSendRemote(session, bye);
  }
  s.closing.store(1);
  s.recv_thread.Join();
  s.send_thread.Join();
  // Readers still inside see the close and leave; the slot is freed after.
  for (;;) {
    {
      std::lock_guard<Mutex> g(g_rvs.mutex);
      if (s.waiters == 0) break;
    }
    for (Semaphore& sem : s.sems) sem.Release();
    SleepMs(1);
  }
  RVP_SessionFree(session);
  return RVS_ERR_SUCCESS;
}

}  // namespace

void p2p::RVP_SessionCloseAll() {
  for (int i = 0; g_rvs.sessions && i < g_rvs.max_num_sess.load(); ++i) {
    bool open;
    {
      std::lock_guard<Mutex> g(g_rvs.mutex);
      open = Sess(i).InUse() && Sess(i).handed_out.load() && !Sess(i).close_started.load();
    }
    if (open) Close(i, true);
  }
}

extern "C" {

int RVS_Write(int session, char channel, const char* data, int len) {
  CallGuard guard;
  int r = EntryCheck(session, ChannelOk(channel) && data && len >= 1 && len <= 0x200000);
  if (r) return r;
  std::lock_guard<Mutex> g(g_rvs.mutex);
  Session& s = Sess(session);
  if ((r = StateCheck(s)) != 0) return r;
  if (!Append(session, static_cast<uint8_t>(channel), reinterpret_cast<const uint8_t*>(data), len))
    return RVS_ERR_SESSION_OUT_OF_MEMORY;
  return len;
}

int RVS_Read(int session, char channel, char* buf, int* size, unsigned int timeout_ms) {
  CallGuard guard;
  int r = ReadEntryCheck(session, channel, buf, size);
  if (r) return r;
  Session& s = Sess(session);
  Channel& c = s.channels[static_cast<uint8_t>(channel)];
  Semaphore& sem = s.sems[static_cast<uint8_t>(channel)];
  RVP_Held lk(g_rvs.mutex);
  // Bytes that arrived before the peer closed or the session timed out are
  // still read; those flags end a read only when it would wait.
  if ((r = StateCheck(s, true)) != 0) {
    *size = 0;
    return r;
  }
  const uint32_t generation = s.generation.load();
  const int want = *size;
  const uint32_t start = TickMs();
  int got = 0;
  int result = RVS_ERR_SUCCESS;
  Waiter waiter(s);
  for (int pass = 0;; ++pass) {
    Serve(c, buf, want, &got);
    if (got == want) {
      c.stall_time = 0;
      break;
    }
    if (NextPacket(c)) continue;
    if (s.closed_caller.load() || s.out_of_memory.load() || g_rvs.deinitializing.load()) break;
    if (s.closed_timeout.load() || s.closed_remote.load()) break;
    if (pass > 0 && Left(start, timeout_ms) == 0) {
      result = RVS_ERR_TIME_OUT;
      break;
    }
    // A gap before the queue's head that stays open as long as the alive
    // time ends the session.
    const int64_t now = NowSec();
    if (c.recv_q.head) {
      if (c.stall_time && now - c.stall_time >= g_rvs.sess_alive_sec.load()) {
        s.closed_timeout.store(1);
        s.closing.store(1);
        break;
      }
      if (!c.stall_time)
        for (Channel& each : s.channels) each.stall_time = now;
    } else {
      c.stall_time = 0;
    }
    lk.unlock();
    sem.Wait(std::min<uint32_t>(kReadStepMs, Left(start, timeout_ms)));
    lk.lock();
    // Never the slot's next session; a close waits for this reader.
    if (!Same(s, generation)) {
      *size = 0;
      return RVS_ERR_INVALID_SESSION_HANDLE;
    }
    if (s.closed_caller.load() || s.out_of_memory.load()) {
      *size = 0;
      return s.closed_caller.load() ? RVS_ERR_SESSION_CLOSED_CALLED : RVS_ERR_SESSION_OUT_OF_MEMORY;
    }
  }
  if (got == want) return RVS_ERR_SUCCESS;
  *size = got;
  if (g_rvs.deinitializing.load()) return RVS_ERR_NOT_INITIALIZED;
  if (result == RVS_ERR_TIME_OUT) return result;
  if (s.closed_timeout.load()) return RVS_ERR_SESSION_CLOSED_TIMEOUT;
  if (s.closed_remote.load()) return RVS_ERR_SESSION_CLOSED_REMOTE;
  if (s.closed_caller.load()) return RVS_ERR_SESSION_CLOSED_CALLED;
  if (s.out_of_memory.load()) return RVS_ERR_SESSION_OUT_OF_MEMORY;
  return RVS_ERR_SUCCESS;
}

int RVS_Check_Buffer(int session, char channel, int* write_size, int* read_size) {
  CallGuard guard;
  int r = EntryCheck(session, ChannelOk(channel));
  if (r) return r;
  std::lock_guard<Mutex> g(g_rvs.mutex);
  Session& s = Sess(session);
  if ((r = StateCheck(s)) != 0) return r;
  const Channel& c = s.channels[static_cast<uint8_t>(channel)];
  if (write_size) *write_size = static_cast<int>(c.write_q.bytes + c.send_q.bytes + c.resend_q.bytes);
  if (read_size) *read_size = static_cast<int>(c.read_len - c.read_pos + c.recv_q.bytes);
  return RVS_ERR_SUCCESS;
}

int RVS_PktSend(int session, char channel, const char* data, int len) {
  CallGuard guard;
  int r = EntryCheck(session, ChannelOk(channel) && len >= 0 && len <= kDatagramMax && (data || len == 0));
  if (r) return r;
  RVP_Held lk(g_rvs.mutex);
  Session& s = Sess(session);
  if ((r = StateCheck(s)) != 0) return r;
  if (len == 0) return 0;
  Channel& c = s.channels[static_cast<uint8_t>(channel)];
  RVP_Msg m;
  RVP_MsgInit(&m, MsgDatagram);
  m.channel = static_cast<uint8_t>(channel);
  m.seq = c.next_unrel_send++;
  m.data = reinterpret_cast<const uint8_t*>(data);
  m.data_len = static_cast<uint16_t>(len);
  if (s.tcp_socket.load() >= 0) {
    lk.unlock();
    RVP_SessionSendTcp(session, m);
  } else {
    RVP_SessionSendRemote(session, m);
  }
  return len;
}

int RVS_PktRecv(int session, char channel, char* buf, int* size, unsigned int timeout_ms) {
  CallGuard guard;
  int r = ReadEntryCheck(session, channel, buf, size);
  if (r) return r;
  Session& s = Sess(session);
  Channel& c = s.channels[static_cast<uint8_t>(channel)];
  Semaphore& sem = s.sems[static_cast<uint8_t>(channel)];
  const int cap = *size;
  *size = 0;
  RVP_Held lk(g_rvs.mutex);
  if ((r = StateCheck(s, true)) != 0) return r;
  const uint32_t generation = s.generation.load();
  const uint32_t start = TickMs();
  Waiter waiter(s);
  for (;;) {
    if (RVP_Packet* p = RVP_QueuePop(&c.unrel_q)) {
      // The part beyond the buffer is dropped.
      int n = std::min<int>(cap, static_cast<int>(p->size));
      std::memcpy(buf, p->data, static_cast<size_t>(n));
      *size = n;
      RVP_PacketFree(p);
      return RVS_ERR_SUCCESS;
    }
    if (s.closed_caller.load()) return RVS_ERR_SESSION_CLOSED_CALLED;
    if (s.out_of_memory.load()) return RVS_ERR_SESSION_OUT_OF_MEMORY;
    if (s.closed_timeout.load()) return RVS_ERR_SESSION_CLOSED_TIMEOUT;
    if (s.closed_remote.load()) return RVS_ERR_SESSION_CLOSED_REMOTE;
    if (g_rvs.deinitializing.load()) return RVS_ERR_NOT_INITIALIZED;
    uint32_t left = Left(start, timeout_ms);
    if (left == 0) return RVS_ERR_TIME_OUT;
    lk.unlock();
    sem.Wait(std::min<uint32_t>(kReadStepMs, left));
    lk.lock();
    if (!Same(s, generation)) return RVS_ERR_INVALID_SESSION_HANDLE;
  }
}

int RVS_Check(int session, RVS_SessionInfo* out) {
  CallGuard guard;
  int r = EntryCheck(session, out != nullptr);
  if (r) return r;
  std::lock_guard<Mutex> g(g_rvs.mutex);
  Session& s = Sess(session);
  if ((r = StateCheck(s)) != 0) return r;
  std::memset(out, 0, sizeof(*out));
  const int tcp = s.tcp_socket.load();
  out->Skt = tcp >= 0 ? tcp : s.socket;
  out->RemoteAddr = s.remote;
  out->MyLocalAddr = s.local;
  out->MyWanAddr = s.wan;
  if (tcp >= 0) {
    RVP_Address24 me{};
    if (RVP_SockName(tcp, &me) == 0) out->MyLocalAddr = RVP_Addr24ToV4(me);
    if (s.mode.load() == kModeTcpRelay)
      out->MyWanAddr = RVP_Addr24ToV4(s.tcp_relay_reported[s.role == kRoleClient ? 0 : 1]);
  }
  out->ConnectTime = static_cast<uint32_t>(NowSec() - s.established_time.load());
  std::memcpy(out->DID, s.did, sizeof(out->DID));
  out->Role = s.role;
  out->Mode = s.mode.load();
  return RVS_ERR_SUCCESS;
}

int RVS_Close(int session) {
  CallGuard guard;
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  return Close(session, false);
}

int RVS_ForceClose(int session) {
  CallGuard guard;
  if (!CallGuard::Usable()) return RVS_ERR_NOT_INITIALIZED;
  return Close(session, true);
}

RVS_ALIAS(int, Check, (int, RVS_SessionInfo*))
RVS_ALIAS(int, Close, (int))
RVS_ALIAS(int, ForceClose, (int))
RVS_ALIAS(int, Write, (int, char, const char*, int))
RVS_ALIAS(int, Read, (int, char, char*, int*, unsigned int))
RVS_ALIAS(int, Check_Buffer, (int, char, int*, int*))
RVS_ALIAS(int, PktSend, (int, char, const char*, int))
RVS_ALIAS(int, PktRecv, (int, char, char*, int*, unsigned int))

}  // extern "C"
