// An in-memory transport for the device link: bytes the test (the "device")
// queues per channel are what the session reads; what the session sends is
// kept per channel and may be answered by a scripted device function.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/byte_order.h"
#include "sdk/device/kivo_p2p.h"

namespace fake {

struct Conn {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<uint8_t> in[8];
  std::vector<uint8_t> out[8];
  bool dead = false;        // recv and send fail with -10004
  bool drain_dead = false;  // recv fails once its channel is empty (fuzzing: no waits)
  int send_error = 0;       // non-zero: every send fails with it
  bool full = false;        // the send-buffer check says full
  int alive = 1;
  int sends = 0;
  int max_chunk = 1 << 30;  // recv hands out at most this many bytes at once
  // Called (without the lock) for every packet sent on channel 0: command, payload.
  std::function<void(uint32_t, const uint8_t*, int)> on_cmd;

  void Push(int ch, const void* p, size_t n) {
    std::lock_guard<std::mutex> g(mu);
    const uint8_t* b = static_cast<const uint8_t*>(p);
    in[ch].insert(in[ch].end(), b, b + n);
    cv.notify_all();
  }
  void PushCmd(uint32_t command, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> pkt(8 + payload.size());
    platform::PutLe32(pkt.data(), command);
    platform::PutLe32(pkt.data() + 4, static_cast<uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), pkt.begin() + 8);
    Push(0, pkt.data(), pkt.size());
  }
  std::vector<uint8_t> Sent(int ch) {
    std::lock_guard<std::mutex> g(mu);
    return out[ch];
  }
  void Kill() {
    std::lock_guard<std::mutex> g(mu);
    dead = true;
    cv.notify_all();
  }
};

inline std::mutex g_mu;
inline std::map<TransportHandle, Conn*> g_conns;
inline TransportHandle g_next = 1;
inline Conn* g_pending = nullptr;  // handed to the next connect

inline Conn* Find(TransportHandle h) {
  std::lock_guard<std::mutex> g(g_mu);
  auto it = g_conns.find(h);
  return it == g_conns.end() ? nullptr : it->second;
}

inline int Connect(const char* rest, const char* peer, int flags, TransportHandle* out) {
  std::lock_guard<std::mutex> g(g_mu);
  if (!g_pending) return KIVO_ERR_OFFLINE;
  *out = g_next++;
  g_conns[*out] = g_pending;
  g_pending = nullptr;
  return 0;
}
inline void Close(TransportHandle h) {
  std::lock_guard<std::mutex> g(g_mu);
  g_conns.erase(h);
}
inline int Alive(TransportHandle h) {
  Conn* c = Find(h);
  if (!c) return 0;
  std::lock_guard<std::mutex> g(c->mu);
  return c->dead ? 0 : c->alive;
}
inline int Send(TransportHandle h, int ch, const void* bytes, int len) {
  Conn* c = Find(h);
  if (!c) return KIVO_ERR_CLOSED;
  {
    std::lock_guard<std::mutex> g(c->mu);
    ++c->sends;
    if (c->dead) return KIVO_ERR_CLOSED;
    if (c->send_error) return c->send_error;
    const uint8_t* b = static_cast<const uint8_t*>(bytes);
    c->out[ch].insert(c->out[ch].end(), b, b + len);
  }
  if (ch == 0 && c->on_cmd && len >= 8) {
    const uint8_t* b = static_cast<const uint8_t*>(bytes);
    c->on_cmd(platform::GetLe32(b), b + 8, len - 8);
  }
  return len;
}
inline int Recv(TransportHandle h, int ch, void* buf, int len, int timeout_ms) {
  Conn* c = Find(h);
  if (!c) return KIVO_ERR_CLOSED;
  std::unique_lock<std::mutex> g(c->mu);
  c->cv.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return c->dead || !c->in[ch].empty() || c->drain_dead; });
  if (c->in[ch].empty()) return c->dead || c->drain_dead ? KIVO_ERR_CLOSED : KIVO_ERR_TIMEOUT;
  const int n = std::min<int>({len, static_cast<int>(c->in[ch].size()), c->max_chunk});
  std::copy(c->in[ch].begin(), c->in[ch].begin() + n, static_cast<uint8_t*>(buf));
  c->in[ch].erase(c->in[ch].begin(), c->in[ch].begin() + n);
  return n;
}
inline int CheckSendBuf(TransportHandle h, int, int, int* load) {
  Conn* c = Find(h);
  if (load) *load = 0;
  return c && c->full ? 1 : 0;
}

inline const TransportOps kOps = {"fake", Connect, Close, Alive, Send, Recv, CheckSendBuf, nullptr, nullptr, nullptr};

}  // namespace fake
