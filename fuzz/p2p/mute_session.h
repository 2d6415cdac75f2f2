// The library initialised for a fuzz target, with one session whose socket
// sends nowhere (a local datagram socket refuses IPv4 destinations), so that
// no fuzz input makes traffic.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "p2p/cipher.h"
#include "p2p/rvs_api.h"
#include "p2p/session_ops.h"

// The session's slot; DID A-000001-B, packet key "fuzz".
inline int OpenMuteSession(const sockaddr_in servers[3]) {
  using namespace p2p;
  std::string init = RVP_InitStringEncode("127.0.0.1,127.0.0.2,127.0.0.3,", "fuzz");
  RVS_Initialize(("{\"MaxNumSess\":4,\"InitString\":\"" + init + "\"}").c_str());
  int slot = RVP_SlotAlloc();
  SessionSetup setup;
  setup.prefix = "A";
  setup.serial = 1;
  setup.suffix = "B";
  setup.packet_key = "fuzz";
  setup.servers = servers;
  if (RVP_SessionOpen(slot, setup) != 0) std::abort();
  Session& s = Sess(slot);
  std::lock_guard<Mutex> g(g_rvs.mutex);
  close(s.socket);
  s.socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return slot;
}
