#include "p2p/services.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "p2p/msg_io.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"
#include "p2p/state.h"

using namespace p2p;

namespace {

constexpr unsigned kWaitMs = 100;
constexpr uint32_t kSmartLoginEveryMs = 30000;
constexpr uint32_t kProbeMatchMs = 2000;
constexpr uint32_t kProbeKeepMs = 40000;
constexpr uint32_t kSmartSerialMax = 10000000;
constexpr int kRegisterEvery = 300;
constexpr int kIdleRounds = 50;
constexpr int kRepeats = 4;
constexpr unsigned kRepeatGapMs = 10;

// Serialises starting and stopping the two threads (never held by them).
std::mutex g_svc_mu;

struct Probe {
  bool used = false;
  uint32_t tick = 0;
  uint32_t serial = 0;
  sockaddr_in sender{}, carried{};
};

// A process that ends without de-initialising the library does not wait for
// a service thread forever: the destructors ask it to stop first.
struct SmartDevice {
  ~SmartDevice() {
    int running = kSmartRunning;
    state.compare_exchange_strong(running, kSmartStopAsked);
    thread.Join();
  }
  std::atomic<int> state{kSmartIdle};
  std::atomic<int> sock{-1};
  Thread thread;
  RVP_DidBlock did{};
  Probe probes[2][kSmartProbes];  // [0] device probes, [1] client probes
};

struct ShareBandwidth {
  ~ShareBandwidth() {
    state.store(kShareStopAsked);
    thread.Join();
  }
  std::atomic<int> state{kShareIdle};
  std::atomic<int> sock{-1};
  std::atomic<uint32_t> ticket{0};
  Thread thread;
  RVP_DidBlock did{};
  sockaddr_in public_addr{};
  sockaddr_in client{}, device{};
  RVP_DidBlock client_did{};
  bool has_client = false, has_device = false;
};

SmartDevice g_smart;
ShareBandwidth g_share;

void Servers(sockaddr_in out[kServers]) {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  std::memcpy(out, g_rvs.servers, sizeof(g_rvs.servers));
}

bool FromServer(const sockaddr_in& from) {
  sockaddr_in servers[kServers];
  Servers(servers);
  for (const sockaddr_in& a : servers)
    if (a.sin_addr.s_addr != 0 && a.sin_addr.s_addr == from.sin_addr.s_addr) return true;
  return false;
}

// A UDP socket with SO_BROADCAST on a random port; -1 when none.
int OpenSocket() {
  int sock = RVP_UdpSocket();
  if (sock < 0) return -1;
  RVP_SetBroadcast(sock);
  if (RVP_UdpBind(sock, 0, nullptr) < 0) {
    RVP_SocketClose(sock);
    return -1;
  }
  return sock;
}

void Send(int sock, const sockaddr_in& to, const RVP_Msg& m) {
  if (!RVP_AddrUnusable(to)) RVP_SendMsg(g_rvs.packet_key, sock, to, m, g_rvs.login_key);
}

void SendToServers(int sock, const RVP_Msg& m) {
  sockaddr_in servers[kServers];
  Servers(servers);
  for (const sockaddr_in& to : servers)
    if (to.sin_addr.s_addr != 0) Send(sock, to, m);
}

void SendEmpty(int sock, const sockaddr_in& to, uint8_t type) {
  RVP_Msg m;
  RVP_MsgInit(&m, type);
  Send(sock, to, m);
}

// One message within the wait: true with its sender and record.
bool Receive(int sock, sockaddr_in* from, RVP_Msg* m, uint16_t* len) {
  uint8_t type;
  uint8_t payload[kMaxPayload];
  if (RVP_RecvMsg(g_rvs.packet_key, from, sock, kWaitMs, &type, len, payload, sizeof(payload)) != 0) return false;
  return RVP_MsgParsePayload(type, payload, *len, m, g_rvs.login_key) == kMsgOk;
}

uint16_t PortOf(const std::atomic<int>& sock) {
  sockaddr_in a{};
  socklen_t l = sizeof(a);
  int s = sock.load();
  if (s < 0 || getsockname(s, reinterpret_cast<sockaddr*>(&a), &l) != 0) return 0;
  return ntohs(a.sin_port);
}

// --- Smart device ------------------------------------------------------------

// Tells each of two probing peers about the other: a port-range punch
// toward the other's sender address and a port burst with the address it
// carried.
void Introduce(int sock, const Probe& a, const Probe& b) {
  for (const auto& [to, other] : {std::pair<const Probe&, const Probe&>{a, b}, {b, a}}) {
    RVP_Msg m;
    RVP_MsgInit(&m, MsgPortRangePunchReq);
    m.addr[0] = other.sender;
    m.range = 2;
    m.step = 1;
    m.skip_exact = 0;
    Send(sock, to.sender, m);
    RVP_MsgInit(&m, MsgPortBurstReq);
    m.addr[0] = other.carried;
    Send(sock, to.sender, m);
  }
}

void OnProbe(int sock, int side, const sockaddr_in& from, const RVP_Msg& m) {
  const uint32_t now = TickMs();
  Probe* own = g_smart.probes[side];
  Probe* other = g_smart.probes[1 - side];
  Probe probe;
  probe.used = true;
  probe.tick = now;
  probe.serial = m.did.serial;
  probe.sender = from;
  probe.carried = m.addr[0];
  for (int i = 0; i < kSmartProbes; ++i)
    if (other[i].used && now - other[i].tick > kProbeMatchMs) other[i] = Probe{};
  for (int i = 0; i < kSmartProbes; ++i) {
    if (other[i].used && other[i].serial == probe.serial) {
      Introduce(sock, probe, other[i]);
      return;
    }
  }
  int at = -1;
  for (int i = 0; i < kSmartProbes && at < 0; ++i)
    if (own[i].used && own[i].serial == probe.serial) at = i;
  for (int i = 0; i < kSmartProbes && at < 0; ++i)
    if (!own[i].used || now - own[i].tick > kProbeKeepMs) at = i;
  if (at < 0) {
    at = 0;
    for (int i = 1; i < kSmartProbes; ++i)
      if (now - own[i].tick > now - own[at].tick) at = i;
  }
  own[at] = probe;
}

void SmartLoop(int sock) {
  RVP_Msg login;
  RVP_MsgInit(&login, MsgSmartLogin);
  login.did = g_smart.did;
  uint32_t last_login = 0;
  bool logged = false;
  while (g_rvs.smart_device_flag.load() && g_smart.state.load() == kSmartRunning) {
    if (!logged || TickMs() - last_login >= kSmartLoginEveryMs) {
      SendToServers(sock, login);
      last_login = TickMs();
      logged = true;
    }
    sockaddr_in from{};
    RVP_Msg m;
    uint16_t len = 0;
    if (!Receive(sock, &from, &m, &len)) continue;
    switch (m.type) {
      case MsgSmartPeer:
        // Only the servers name peers to probe.
        if (len != 52 || !FromServer(from)) break;
        if (m.did.prefix[0] && m.did.suffix[0] && m.did.serial <= kSmartSerialMax) {
          SendEmpty(sock, m.addr[0], MsgPunchProbe);
          SendEmpty(sock, m.addr[1], MsgPunchProbe);
        }
        break;
      case MsgPeerProbe:
        if (len == 36) OnProbe(sock, 1, from, m);
        break;
      case MsgPeerProbeDev:
        if (len == 40) OnProbe(sock, 0, from, m);
        break;
      default:
        break;
    }
  }
}

// --- Bandwidth sharing ---------------------------------------------------------

void SendRepeated(int sock, const sockaddr_in& to, const RVP_Msg& m) {
  for (int i = 0; i < kRepeats; ++i) {
    if (i) SleepMs(kRepeatGapMs);
    Send(sock, to, m);
  }
}

void PunchPair(int sock, const RVP_Msg& m) {
  RVP_Msg probe;
  RVP_MsgInit(&probe, MsgPunchProbe);
  for (int i = 0; i < kRepeats; ++i) {
    if (i) SleepMs(kRepeatGapMs);
    Send(sock, m.addr[0], probe);
    Send(sock, m.addr[1], probe);
  }
}

void ReadyTo(int sock, const sockaddr_in& to) {
  RVP_Msg m;
  RVP_MsgInit(&m, MsgRelayReady);
  m.did = g_share.client_did;
  Send(sock, to, m);
}

bool Stopping() { return !g_rvs.share_bandwidth_flag.load() || g_share.state.load() == kShareStopAsked; }

// Registered: answers the clients that look for a relay until one asks for
// a port. True when one did.
bool Register(int sock) {
  RVP_Msg reg;
  RVP_MsgInit(&reg, MsgRelayRegister);
  reg.did = g_share.did;
  for (int round = 0; !Stopping(); ++round) {
    if (round % kRegisterEvery == 0) SendToServers(sock, reg);
    sockaddr_in from{};
    RVP_Msg m;
    uint16_t len = 0;
    if (!Receive(sock, &from, &m, &len)) continue;
    switch (m.type) {
      case MsgPunchPair:
        if (FromServer(from)) PunchPair(sock, m);
        break;
      case MsgRelayHello:
        SendEmpty(sock, from, MsgRelayHelloAck);
        break;
      case MsgRelayPortReq: {
        RVP_Msg ack;
        RVP_MsgInit(&ack, MsgRelayPortAck);
        ack.ticket = g_share.ticket.load();
        ack.port = g_share.public_addr.sin_port ? ntohs(g_share.public_addr.sin_port) : PortOf(g_share.sock);
        SendRepeated(sock, from, ack);
        return true;
      }
      case MsgRelayAddr:
        if (FromServer(from)) g_share.public_addr = m.addr[0];
        break;
      case MsgRelayRegister:
        if (m.flag == 1 && FromServer(from)) g_share.public_addr = m.addr[0];
        break;
      default:
        break;
    }
  }
  return false;
}

// Waits for both parties' MsgRelayRdy with the ticket: true when both came.
bool WaitParties(int sock) {
  for (int idle = 0; idle <= kIdleRounds;) {
    if (Stopping()) {
      if (g_share.has_client) ReadyTo(sock, g_share.client);
      if (g_share.has_device) ReadyTo(sock, g_share.device);
      return false;
    }
    sockaddr_in from{};
    RVP_Msg m;
    uint16_t len = 0;
    bool useful = false;
    if (Receive(sock, &from, &m, &len)) {
      if (m.type == MsgPunchPair && FromServer(from)) {
        PunchPair(sock, m);
        useful = true;
      } else if (m.type == MsgRelayRdy && len == 28 && m.ticket == g_share.ticket.load()) {
        if (m.role == kRoleClient) {
          g_share.client = from;
          g_share.client_did = m.did;
          g_share.has_client = true;
          useful = true;
        } else if (m.role == kRoleDevice) {
          g_share.device = from;
          g_share.has_device = true;
          useful = true;
        }
      }
    }
    if (g_share.has_client && g_share.has_device) {
      ReadyTo(sock, g_share.client);
      ReadyTo(sock, g_share.device);
      return true;
    }
    idle = useful ? 0 : idle + 1;
  }
  return false;
}

// Passes datagrams between the two parties, and from nobody else, until the
// relayed session falls silent.
void Forward(int sock) {
  uint8_t buf[kMaxDatagram];
  bool client_spoke = false, device_spoke = false;
  for (int silent = 0; !Stopping();) {
    sockaddr_in from{};
    int n = RVP_UdpRecv(sock, buf, g_rvs.packet_key, sizeof(buf), &from, kWaitMs);
    if (n < 0) return;
    if (n > 0) {
      if (RVP_SameAddr(from, g_share.client)) {
        client_spoke = true;
        RVP_UdpSend(g_rvs.packet_key, g_share.device, buf, n, sock);
        silent = 0;
      } else if (RVP_SameAddr(from, g_share.device)) {
        device_spoke = true;
        RVP_UdpSend(g_rvs.packet_key, g_share.client, buf, n, sock);
        silent = 0;
      }
      continue;
    }
    if (++silent > kIdleRounds) return;
    if (silent % 5 == 0) {
      if (!client_spoke) ReadyTo(sock, g_share.client);
      if (!device_spoke) ReadyTo(sock, g_share.device);
    }
  }
}

void ShareLoop(int sock) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  uint32_t ticket = 0;
  for (int i = 0; i < 4; ++i) ticket = ticket << 8 | static_cast<uint32_t>(std::rand() & 0xFF);
  g_share.ticket.store(ticket);
  g_share.public_addr = g_share.client = g_share.device = sockaddr_in{};
  g_share.client_did = RVP_DidBlock{};
  g_share.has_client = g_share.has_device = false;
  if (!Register(sock)) return;
  int registered = kShareRegistered;
  if (!g_share.state.compare_exchange_strong(registered, kShareRelaying)) return;
  if (WaitParties(sock)) Forward(sock);
}

}  // namespace

int RVP_SmartDeviceThread() {
  int sock = OpenSocket();
  if (sock >= 0) {
    g_smart.sock.store(sock);
    for (auto& side : g_smart.probes)
      for (Probe& p : side) p = Probe{};
    SmartLoop(sock);
    g_smart.sock.store(-1);
    RVP_SocketClose(sock);
  }
  g_smart.state.store(kSmartIdle);
  return 0;
}

int RVP_ShareBandwidthThread() {
  int sock = OpenSocket();
  if (sock >= 0) {
    g_share.sock.store(sock);
    ShareLoop(sock);
    g_share.state.store(kShareStopAsked);
    if (g_share.has_client) SendEmpty(sock, g_share.client, MsgClose);
    if (g_share.has_device) SendEmpty(sock, g_share.device, MsgClose);
    g_share.sock.store(-1);
    RVP_SocketClose(sock);
  }
  g_share.state.store(kShareIdle);
  return 0;
}

void RVP_ServiceThreadsStart(const RVP_DidBlock& did) {
  std::lock_guard<std::mutex> g(g_svc_mu);
  if (g_rvs.share_bandwidth_flag.load() && g_share.state.load() == kShareIdle) {
    g_share.thread.Join();
    g_share.did = did;
    g_share.state.store(kShareRegistered);
    if (!g_share.thread.Start("RVP_ShareBw", [] { RVP_ShareBandwidthThread(); }))
      g_share.state.store(kShareIdle);
  }
  if (g_rvs.smart_device_flag.load() && g_smart.state.load() == kSmartIdle) {
    g_smart.thread.Join();
    g_smart.did = did;
    g_smart.state.store(kSmartRunning);
    if (!g_smart.thread.Start("RVP_SmartDev", [] { RVP_SmartDeviceThread(); })) g_smart.state.store(kSmartIdle);
  }
}

void RVP_SmartDeviceStop() {
  std::lock_guard<std::mutex> g(g_svc_mu);
  int running = kSmartRunning;
  g_smart.state.compare_exchange_strong(running, kSmartStopAsked);
  g_smart.thread.Join();
}

void RVP_ShareBandwidthStop() {
  std::lock_guard<std::mutex> g(g_svc_mu);
  for (int st : {kShareRegistered, kShareRelaying}) {
    int expected = st;
    if (g_share.state.compare_exchange_strong(expected, kShareStopAsked)) break;
  }
  g_share.thread.Join();
}

int RVP_SmartDeviceState() { return g_smart.state.load(); }
int RVP_ShareBandwidthState() { return g_share.state.load(); }
uint16_t RVP_SmartDevicePort() { return PortOf(g_smart.sock); }
uint16_t RVP_ShareBandwidthPort() { return PortOf(g_share.sock); }
uint32_t RVP_ShareBandwidthTicket() { return g_share.ticket.load(); }
