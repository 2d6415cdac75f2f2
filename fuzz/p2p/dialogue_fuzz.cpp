// The server dialogue's handling of every message, on a session whose socket
// sends nowhere (mute_session.h). Byte 0 is the type; byte 1 holds flags: bit 0
// from a server address, bit 1 device role, bit 2 query mode, bit 3 the
// payload is plain and gets its fixed key and login cipher here, bit 4 it came
// on a TCP link, bits 5-7 the relay state (251 + n, 7: none). The rest is the
// payload.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/p2p/mute_session.h"
#include "p2p/cipher.h"
#include "p2p/dialogue.h"
#include "p2p/msg_layout.h"
#include "p2p/rvs_api.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"
#include "p2p/tcp_link.h"
#include "tests/p2p/test_util.h"

using namespace p2p;
using p2ptest::V4;

namespace {

int g_slot = -1;

void Reset(Session& s, uint8_t flags) {
  s.role = (flags & 2) ? kRoleDevice : kRoleClient;
  s.query.store((flags & 4) ? 1 : 0);
  uint8_t relay = flags >> 5;
  s.relay_state.store(relay == 7 ? 0 : static_cast<uint8_t>(251 + relay));
  s.relay_retry.store(static_cast<int8_t>(relay & 1));
  for (auto* f : {&s.established, &s.stop_dialogue, &s.tcp_relay_offered, &s.tcp_state_seen, &s.port_burst,
                  &s.probe, &s.accept_direct_tcp})
    f->store(0);
  s.server_state.store(kServerWaiting);
  s.login_result.store(kServerWaiting);
  s.device_state.store(-2);
  s.tcp_start_time.store(1);
  s.last_port_burst_tick.store(0);
  s.last_lan_answer_tick.store(0);
  for (std::atomic<int>* t : {&s.tcp_socket, &s.listen_tcp_socket, &s.direct_tcp_socket})
    RVP_SocketClose(t->exchange(-1));
  std::lock_guard<Mutex> g(g_rvs.mutex);
  s.tcp_resend_claim = kClaimFree;
  s.remote = sockaddr_in{};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sockaddr_in servers[3] = {V4("127.0.0.1", 32100), V4("127.0.0.2", 32100), V4("127.0.0.3", 32100)};
  g_slot = OpenMuteSession(servers);
  RVP_TcpLinksMake(g_slot);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 2 + kDialoguePayload) return 0;
  uint8_t type = data[0], flags = data[1];
  std::vector<uint8_t> payload(data + 2, data + size);
  const MsgLayout* l = LayoutOf(type);
  if ((flags & 8) && l) {
    if (l->flags & kLoginCipher) {
      std::vector<uint8_t> c(payload.size() + 4);
      RVP_LoginEncrypt(nullptr, payload.data(), static_cast<int>(payload.size()), c.data(),
                       static_cast<int>(c.size()));
      payload = c;
    }
    if (l->flags & kFixedKey)
      RVP_Scramble(kFixedPayloadKey, payload.data(), payload.data(), static_cast<uint16_t>(payload.size()));
  }
  if (payload.size() > static_cast<size_t>(kDialoguePayload)) return 0;
  Session& s = Sess(g_slot);
  Reset(s, flags);
  sockaddr_in from = V4((flags & 1) ? "127.0.0.2" : "127.0.0.9", 40000);
  uint16_t len = static_cast<uint16_t>(payload.size());
  if (flags & 16)
    RVP_DialogueHandleTcp(g_slot, 0, type, payload.data(), len);
  else
    RVP_DialogueHandleUdp(g_slot, from, type, payload.data(), len);
  return 0;
}
