#include "p2p/netdetect.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>
#include <mutex>

#include "p2p/msg_io.h"
#include "p2p/sock.h"
#include "p2p/state.h"

using namespace p2p;

namespace {

void SendHellos(const char* key, int sock, const sockaddr_in* servers, const bool* answered) {
  RVP_Msg hello;
  RVP_MsgInit(&hello, MsgHello);
  for (int i = 0; i < kServers; ++i)
    if (!answered[i] && servers[i].sin_addr.s_addr != 0) RVP_SendMsg(key, sock, servers[i], hello);
}

int ServerOf(const sockaddr_in* servers, const sockaddr_in& from) {
  for (int i = 0; i < kServers; ++i)
    if (servers[i].sin_addr.s_addr != 0 && servers[i].sin_addr.s_addr == from.sin_addr.s_addr) return i;
  return -1;
}

}  // namespace

int RVP_NetDetect(RVS_NetInfo* out, bool resolve_only, uint16_t udp_port, const char* init,
                  sockaddr_in servers[3]) {
  char key[21];
  RVP_PacketKeyOf(init, key);
  RVS_NetInfo info{};
  info.ServerNameResolved = 1;
  std::strcpy(info.LanIP, "0.0.0.0");
  std::strcpy(info.WanIP, "0.0.0.0");

  char names[kServers][256];
  RVP_ServerNamesOf(init, names);
  sockaddr_in addrs[kServers] = {};
  for (int i = 0; i < kServers; ++i) {
    addrs[i].sin_family = AF_INET;
    addrs[i].sin_port = htons(ServerUdpPort());
  }
  for (int i = 0; i < kServers; ++i) {
    if (RVP_Resolve(names[i], &addrs[i].sin_addr) != 0) {
      addrs[i].sin_addr.s_addr = 0;
      info.ServerNameResolved = 0;
      break;
    }
  }
  const bool stored = std::strncmp(init, g_rvs.init_string, kInitStringKeep) == 0;
  std::memcpy(servers, addrs, sizeof(addrs));
  if (stored) {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    std::memcpy(g_rvs.servers, addrs, sizeof(addrs));
  }
  *out = info;
  if (resolve_only) return 0;

  int sock = RVP_UdpSocket();
  if (sock < 0) return -18;
  RVP_SetBroadcast(sock);
  if (RVP_UdpBind(sock, udp_port, nullptr) < 0) {
    RVP_SocketClose(sock);
    return -18;
  }

  bool answered[kServers] = {};
  bool have_port[kServers] = {};
  uint16_t mapped_port[kServers] = {};
  int count = 0;
  bool several_wan = false, other_port = false;
  in_addr wan{};
  sockaddr_in last{};
  int budget = static_cast<int>(kNetDetectBudgetMs);
  const uint32_t start = TickMs();
  SendHellos(key, sock, addrs, answered);
  // The budget is spent by waits; the clock also bounds a detection that
  // keeps receiving stray datagrams.
  while (budget > 0 && TickMs() - start < kNetDetectBudgetMs) {
    sockaddr_in from{};
    uint8_t type;
    uint16_t len;
    uint8_t payload[kMaxPayload];
    int r = RVP_RecvMsg(key, &from, sock, kNetDetectWaitMs, &type, &len, payload, sizeof(payload));
    if (r == -1) {
      budget -= static_cast<int>(kNetDetectWaitMs) * (1 + count);
      if (count >= 2) break;
      SendHellos(key, sock, addrs, answered);
      continue;
    }
    if (r == -2) break;
    if (r != 0 || type != MsgHelloAck || len != kWireAddrSize) continue;
    // Only the servers answer a HELLO.
    int i = ServerOf(addrs, from);
    if (i < 0) continue;
    RVP_Msg m;
    if (RVP_MsgParsePayload(type, payload, len, &m) != kMsgOk) continue;
    const sockaddr_in& mapped = m.addr[0];
    g_rvs.last_hello_answer.store(NowSec());
    last = from;
    if (!answered[i]) ++count;
    answered[i] = true;
    have_port[i] = true;
    mapped_port[i] = ntohs(mapped.sin_port);
    char ip[16];
    if (wan.s_addr == 0) {
      wan = mapped.sin_addr;
      RVP_AddrText(mapped, ip);
      std::memcpy(info.WanIP, ip, sizeof(ip));
      RVP_SetNetText(g_rvs.wan_ip, ip);
    }
    info.Internet = 1;
    info.ServerReply = 1;
    if (mapped.sin_addr.s_addr != wan.s_addr) {
      several_wan = true;
      break;
    }
    if (ntohs(from.sin_port) != ServerUdpPort()) {
      other_port = true;
      break;
    }
    if (count == kServers) break;
  }

  if (count > 0) {
    sockaddr_in local{};
    socklen_t l = sizeof(local);
    if (connect(sock, reinterpret_cast<sockaddr*>(&last), sizeof(last)) == 0 &&
        getsockname(sock, reinterpret_cast<sockaddr*>(&local), &l) == 0) {
      char ip[16];
      RVP_AddrText(local, ip);
      std::memcpy(info.LanIP, ip, sizeof(ip));
      RVP_SetNetText(g_rvs.lan_ip, ip);
    }
  }
  uint8_t nat;
  if (several_wan) {
    nat = 4;
  } else if (other_port) {
    nat = 1;
  } else if (count < 2) {
    nat = 0;
  } else {
    nat = 2;
    for (int a = 0; a < kServers; ++a)
      for (int b = a + 1; b < kServers; ++b)
        if (have_port[a] && have_port[b] && mapped_port[a] != mapped_port[b]) nat = 3;
  }
  info.NatType = nat;
  g_rvs.nat_type.store(nat);
  if (stored) g_rvs.last_net_detect.store(NowSec());
  RVP_SocketClose(sock);
  *out = info;
  return 0;
}
