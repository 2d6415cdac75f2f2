#include "p2p/bridge.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

#include "p2p/addr.h"
#include "p2p/msg_io.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"
#include "p2p/state.h"
#include "p2p/tcp_link.h"

using namespace p2p;

namespace {

constexpr int kBridgeWaitMs = 100;
constexpr uint8_t kKindOpen = 17;
constexpr uint8_t kKindStatus = 18;
constexpr uint8_t kKindData = 33;
constexpr uint8_t kKindClose = 34;

enum StopState { kRunning = 0, kStopAsked = 1, kEnded = 2 };

struct PeerEntry {
  char peer[kBridgePeerField] = {};  // up to 39 characters
  uint16_t port = 0;
};

struct Bridge {
  // A process that ends without de-initialising the library must not wait
  // for the thread forever.
  ~Bridge() {
    int running = kRunning;
    stop.compare_exchange_strong(running, kStopAsked);
    thread.Join();
  }
  std::atomic<int> sock{-1};
  std::atomic<int> stop{kEnded};
  Thread thread;
  // Under the global mutex.
  PeerEntry peers[kBridgePeers];
  int counter = 0;
  std::deque<std::vector<uint8_t>> queue;
};

Bridge g_bridge;

// Queues the built message (global mutex held).
int PushLocked(const uint8_t* bytes, int length) {
  if (length <= 0 || g_bridge.queue.size() >= kServerQueueMax) return -1;
  try {
    g_bridge.queue.emplace_back(bytes, bytes + length);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

// Builds a MsgBridge and queues it (global mutex held).
void QueueBridge(const RVP_DidBlock& did, uint8_t kind, const char* peer, uint8_t status, const uint8_t* data,
                 uint16_t n) {
  RVP_Msg m;
  RVP_MsgInit(&m, MsgBridge);
  m.did = did;
  m.bridge_kind = kind;
  std::memcpy(m.peer, peer, strnlen(peer, kBridgePeerField - 1));
  m.status = status;
  m.data = data;
  m.data_len = n;
  uint8_t msg[kMaxWrittenMsg];
  int len = RVP_MsgBuild(m, msg, sizeof(msg));
  if (len > 0) PushLocked(msg, len);
}

// The 32-byte head of a peer text.
void LocalHead(const char* peer, uint8_t head[kBridgeLocalHead]) {
  std::memset(head, 0, kBridgeLocalHead);
  std::memcpy(head, peer, strnlen(peer, kBridgeLocalHead));
}

PeerEntry* FindPeer(const char* peer) {
  for (PeerEntry& e : g_bridge.peers)
    if (e.peer[0] && std::strncmp(e.peer, peer, kBridgePeerField) == 0) return &e;
  return nullptr;
}

// A socket on 127.0.0.1 only: what arrives on it can come from this host's
// programs alone.
int OpenBridgeSocket() {
  int sock = RVP_UdpSocket();
  if (sock < 0) return -1;
  sockaddr_in a = RVP_LoopbackAddr(0);
  if (bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    RVP_SocketClose(sock);
    return -1;
  }
  return sock;
}

void BridgeLoop() {
  int sock = OpenBridgeSocket();
  if (sock < 0) {
    g_bridge.stop.store(kEnded);
    return;
  }
  g_bridge.sock.store(sock);
  uint8_t buf[kBridgeRecvMax];
  while (g_bridge.stop.load() == kRunning) {
    pollfd p{sock, POLLIN, 0};
    int ready = poll(&p, 1, kBridgeWaitMs);
    if (ready < 0 && errno != EINTR) break;  // the wait itself failed
    if (ready <= 0) continue;
    sockaddr_in from{};
    socklen_t fl = sizeof(from);
    ssize_t n = recvfrom(sock, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n < kBridgeLocalHead || n > kBridgeLocalMax) continue;
    if ((ntohl(from.sin_addr.s_addr) >> 24) != 127) continue;
    char peer[kBridgePeerField + 1] = {};
    std::memcpy(peer, buf, kBridgeLocalHead);
    std::lock_guard<Mutex> g(g_rvs.mutex);
    if (n == kBridgeLocalHead)
      QueueBridge(g_rvs.bridge_did, kKindStatus, peer, 1, nullptr, 0);
    else
      QueueBridge(g_rvs.bridge_did, kKindData, peer, 0, buf + kBridgeLocalHead,
                  static_cast<uint16_t>(n - kBridgeLocalHead));
  }
  g_bridge.sock.store(-1);
  RVP_SocketClose(sock);
  g_bridge.stop.store(kEnded);
}

}  // namespace

void RVP_BridgeThread() { BridgeLoop(); }

void RVP_BridgeStart() {
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    for (PeerEntry& e : g_bridge.peers) e = PeerEntry{};
    g_bridge.counter = 0;
  }
  g_bridge.stop.store(kRunning);
  if (!g_bridge.thread.Start("RVP_Bridge", RVP_BridgeThread)) g_bridge.stop.store(kEnded);
}

void RVP_BridgeStop() {
  int running = kRunning;
  g_bridge.stop.compare_exchange_strong(running, kStopAsked);
  g_bridge.thread.Join();
}

uint16_t RVP_BridgePort() {
  int sock = g_bridge.sock.load();
  sockaddr_in a{};
  socklen_t l = sizeof(a);
  if (sock < 0 || getsockname(sock, reinterpret_cast<sockaddr*>(&a), &l) != 0) return 0;
  return ntohs(a.sin_port);
}

void RVP_BridgeDeliver(const RVP_Msg& m) {
  const int sock = g_bridge.sock.load();
  if (sock < 0) return;
  if (m.bridge_kind == kKindOpen) {
    if (m.data_len + 8 != m.bridge_len) return;
    if (FindPeer(m.peer)) {
      QueueBridge(m.did, kKindStatus, m.peer, 0, nullptr, 0);
      return;
    }
    uint8_t out[kBridgeLocalHead + kMaxPayload];
    LocalHead(m.peer, out);
    if (m.data_len) std::memcpy(out + kBridgeLocalHead, m.data, m.data_len);
    if (RVP_UdpSend(nullptr, RVP_LoopbackAddr(m.port), out, kBridgeLocalHead + m.data_len, sock) < 0) return;
    QueueBridge(m.did, kKindStatus, m.peer, 0, nullptr, 0);
    g_bridge.counter = (g_bridge.counter + 1) % kBridgePeers;
    PeerEntry& e = g_bridge.peers[g_bridge.counter];
    e = PeerEntry{};
    std::memcpy(e.peer, m.peer, strnlen(m.peer, kBridgePeerField - 1));
    e.port = m.port;
  } else if (m.bridge_kind == kKindClose) {
    if (const PeerEntry* e = FindPeer(m.peer)) {
      uint8_t head[kBridgeLocalHead];
      LocalHead(e->peer, head);
      RVP_UdpSend(nullptr, RVP_LoopbackAddr(e->port), head, kBridgeLocalHead, sock);
    }
  }
}

int RVP_ServerQueuePush(const uint8_t* bytes, int length) {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  return PushLocked(bytes, length);
}

void RVP_ServerQueueFlush(int slot) {
  Session& s = Sess(slot);
  for (;;) {
    std::vector<uint8_t> msg;
    sockaddr_in servers[kServers];
    {
      std::lock_guard<Mutex> g(g_rvs.mutex);
      if (g_bridge.queue.empty()) return;
      msg.swap(g_bridge.queue.front());
      g_bridge.queue.pop_front();
      std::memcpy(servers, g_rvs.servers, sizeof(servers));
    }
    const int len = static_cast<int>(msg.size());
    if (s.tcp_link_state.load() == kTcpLinksOn) RVP_TcpLinksSendRaw(slot, msg.data(), len);
    for (const sockaddr_in& to : servers)
      if (to.sin_addr.s_addr != 0) RVP_UdpSend(s.packet_key, to, msg.data(), len, s.socket);
  }
}

void RVP_ServerQueueClear() {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  g_bridge.queue.clear();
  g_bridge.queue.shrink_to_fit();
}

size_t RVP_ServerQueueCount() {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  return g_bridge.queue.size();
}
