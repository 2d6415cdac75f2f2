// A TCP link reading a stream of frames: byte 0 sets the size of the pieces
// the stream arrives in; each complete message is taken (with a small
// capacity when bit 7 of byte 0 is set) before the next is read.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "p2p/cipher.h"
#include "p2p/rvs_api.h"
#include "p2p/session_ops.h"
#include "p2p/tcp_link.h"

using namespace p2p;

namespace {
int g_slot = -1;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  RVS_Initialize(RVP_InitStringEncode("127.0.0.1,127.0.0.2,127.0.0.3,", "fuzzkey").c_str());
  g_slot = RVP_SlotAlloc();
  SessionSetup setup;
  setup.prefix = "A";
  setup.suffix = "B";
  setup.packet_key = "fuzzkey";
  if (RVP_SessionOpen(g_slot, setup) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 16384) return 0;
  size_t piece = 1 + (data[0] & 0x7F) * 11;
  int cap = (data[0] & 0x80) ? 8 : 1280;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  RVP_TcpLink* l = RVP_TcpLinkNew("Server1", "127.0.0.1");
  l->socket = sv[0];
  l->connected = true;
  Sess(g_slot).tcp_links[0].store(l);
  for (size_t at = 1; at < size && l->connected;) {
    size_t n = std::min(piece, size - at);
    if (send(sv[1], data + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) break;
    at += n;
    for (int round = 0; round < 4; ++round) {
      RVP_TcpLinksRecv(g_slot);
      uint8_t type;
      uint16_t len = 0;
      uint8_t payload[1280];
      int r = RVP_TcpLinkTakeMsg(l, nullptr, nullptr, &type, &len, payload, cap);
      if (r < -5 || r > 0 || (r == 0 && len > cap)) std::abort();
    }
  }
  close(sv[1]);
  RVP_TcpLinkFree(Sess(g_slot).tcp_links[0].exchange(nullptr));
  return 0;
}
