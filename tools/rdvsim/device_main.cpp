// rdvsim_device: a scripted device for connect tests and benchmarks against
// rdvsim, run as its own process (a client and a device in one process would
// share one library and its sessions). It sets its session up the way the
// listen side does: network detection, the UDP socket, the server dialogue
// and a login at the servers; optionally it answers LAN searches and takes
// TCP relay offers. Once a client reached it, it starts the session's threads
// and echoes every channel back.
//
//   rdvsim_device --init INIT --did DID [--udp-port N] [--tcp-port N] [--lan] [--tcp-relay] [--wait-ms N]
//
// Prints "device ready" once logged in (at once with --lan and no servers
// answering), "device established mode=M tick=T" (T the moment as a
// millisecond tick of the monotonic clock) and, at the end, "device ended
// result=R". Ends at the end of its standard input, or when the session ends.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "p2p/connect.h"
#include "p2p/dialogue.h"
#include "p2p/msg_io.h"
#include "p2p/rvs_api.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"
#include "p2p/state.h"
#include "p2p/tcp_link.h"

using namespace p2p;

namespace {

std::atomic<bool> g_stop{false};

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Ends the device when its standard input closes.
void WatchInput() {
  for (;;) {
    pollfd p{0, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char b[64];
      if (read(0, b, sizeof(b)) <= 0) break;
    }
    if (g_stop.load()) return;
  }
  g_stop = true;
}

// Answers each LAN search with the device's DID, from the session's socket.
void AnswerLanSearches(int slot) {
  int sock = RVP_LanSearchSocket();
  if (sock < 0) {
    Say("device lan-search socket failed");
    return;
  }
  Session& s = Sess(slot);
  while (!g_stop.load() && !s.established.load()) {
    sockaddr_in from{};
    uint8_t type;
    uint16_t len;
    uint8_t payload[kMaxPayload];
    if (RVP_RecvMsg(g_rvs.packet_key, &from, sock, 50, &type, &len, payload, sizeof(payload)) != 0 ||
        type != MsgLanSearch)
      continue;
    RVP_Msg punch;
    RVP_SessionMsg(slot, MsgPunch, &punch);
    RVP_SessionSend(slot, from, punch);
    uint32_t now = TickMs();
    s.last_lan_answer_tick.store(now ? now : 1);
  }
  RVP_SocketClose(sock);
}

void Echo(int h, int ch, std::atomic<int>* end) {
  std::vector<char> buf(4096);
  for (;;) {
    int size = static_cast<int>(buf.size());
    int r = RVS_Read(h, static_cast<char>(ch), buf.data(), &size, 200);
    if (size > 0 && RVS_Write(h, static_cast<char>(ch), buf.data(), size) != size) r = -1000;
    if (r != 0 && r != RVS_ERR_TIME_OUT) {
      end->store(r);
      return;
    }
    if (g_stop.load()) return;
  }
}

int Usage() {
  std::fprintf(
      stderr,
      "usage: rdvsim_device --init INIT --did DID [--udp-port N] [--tcp-port N] [--lan] [--tcp-relay] "
      "[--wait-ms N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string init, did;
  int udp_port = 0, tcp_port = 0;
  bool lan = false, tcp_relay = false;
  unsigned wait_ms = 30000;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--lan") {
      lan = true;
    } else if (a == "--tcp-relay") {
      tcp_relay = true;
    } else if (v && a == "--init") {
      init = v, ++i;
    } else if (v && a == "--did") {
      did = v, ++i;
    } else if (v && a == "--udp-port") {
      udp_port = std::atoi(v), ++i;
    } else if (v && a == "--tcp-port") {
      tcp_port = std::atoi(v), ++i;
    } else if (v && a == "--wait-ms") {
      wait_ms = static_cast<unsigned>(std::atoi(v)), ++i;
    } else {
      return Usage();
    }
  }
  RVP_DidParts parts;
  if (init.empty() || RVP_DidSplit(did.c_str(), &parts) != 0) return Usage();
  signal(SIGPIPE, SIG_IGN);
  RVP_TestSetServerPorts(static_cast<uint16_t>(udp_port), static_cast<uint16_t>(tcp_port));
  if (RVS_Initialize(("{\"InitString\":\"" + init + "\",\"SessAliveSec\":6}").c_str()) != 0) return 1;
  RVS_NetInfo net;
  RVS_NetworkDetect(&net, 0);

  int slot = RVP_SlotAlloc();
  sockaddr_in servers[kServers];
  {
    std::lock_guard<Mutex> g(g_rvs.mutex);
    std::memcpy(servers, g_rvs.servers, sizeof(servers));
  }
  SessionSetup setup;
  setup.role = kRoleDevice;
  setup.prefix = parts.prefix;
  setup.serial = static_cast<uint32_t>(parts.serial);
  setup.suffix = parts.suffix;
  setup.packet_key = g_rvs.packet_key;
  setup.servers = servers;
  if (RVP_SessionOpen(slot, setup) != 0) return 1;
  Session& s = Sess(slot);
  if (tcp_relay) s.tcp_start_time.store(NowSec());
  if (!RVP_DialogueStart(slot)) return 1;
  RVP_Msg m;
  RVP_MsgInit(&m, MsgHello);
  RVP_SessionSendToServers(slot, m);
  RVP_SessionMsg(slot, MsgDevLogin, &m);
  m.nat_type = g_rvs.nat_type.load();
  m.addr[0] = RVP_SessionLocal(slot);
  RVP_SessionSendToServers(slot, m);
  std::thread input(WatchInput);
  std::thread responder;
  if (lan) responder = std::thread(AnswerLanSearches, slot);

  const uint32_t start = TickMs();
  bool ready = false;
  while (!g_stop.load() && TickMs() - start < wait_ms && !s.established.load()) {
    if (!ready && (s.login_result.load() == 0 || (lan && net.Internet == 0))) {
      ready = true;
      Say("device ready");
    }
    if (s.tcp_relay_offered.load()) {
      RVP_TcpRelayConnect(slot);
      if (s.tcp_relay_state.load() == kTcpRelayConnected)
        RVP_SessionEstablish(slot, kModeTcpRelay, RVP_Addr24ToV4(s.tcp_relay_addr));
      else
        s.tcp_relay_offered.store(0);
    }
    SleepMs(10);
  }
  RVP_DialogueStop(slot);
  std::atomic<int> end{0};
  int result = RVS_ERR_TIME_OUT;
  if (s.established.load() && RVP_SessionStartThreads(slot) == 0) {
    Say("device established mode=" + std::to_string(s.mode.load()) +
        " tick=" + std::to_string(s.established_tick.load()));
    std::vector<std::thread> echo;
    for (int ch = 0; ch < kChannels; ++ch) echo.emplace_back(Echo, slot, ch, &end);
    for (auto& t : echo) t.join();
    result = end.load();
    RVS_ForceClose(slot);
  } else {
    RVP_SessionFree(slot);
  }
  Say("device ended result=" + std::to_string(result));
  g_stop = true;
  if (responder.joinable()) responder.join();
  input.join();
  RVS_DeInitialize();
  return 0;
}
