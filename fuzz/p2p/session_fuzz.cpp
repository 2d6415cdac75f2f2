// The receive thread's handling of what arrives on an established session, on
// a session whose socket sends nowhere (mute_session.h). Byte 0 is the type;
// byte 1 holds flags: bit 0 device role, bit 1 relayed punch allowed, bit 2 a
// relayed punch runs, bits 3-4 the sender (0 the remote address, 1 a server,
// 2 the peer's punch address, 3 a stranger), bit 5 the message came over the
// session's TCP socket (type and payload become a whole message). The rest is
// the payload.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz/p2p/mute_session.h"
#include "p2p/cipher.h"
#include "p2p/rvs_api.h"
#include "p2p/session_io.h"
#include "p2p/session_ops.h"
#include "tests/p2p/test_util.h"

using namespace p2p;
using p2ptest::V4;

namespace {

int g_slot = -1;
const sockaddr_in kRemote = V4("127.0.0.7", 40000);
const sockaddr_in kServer = V4("127.0.0.1", 32100);
const sockaddr_in kPunchPeer = V4("127.0.0.8", 41000);
const sockaddr_in kStranger = V4("127.0.0.9", 42000);

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sockaddr_in servers[3] = {kServer, V4("127.0.0.2", 32100), V4("127.0.0.3", 32100)};
  g_slot = OpenMuteSession(servers);
  Session& s = Sess(g_slot);
  std::lock_guard<Mutex> g(g_rvs.mutex);
  s.remote = kRemote;
  s.established.store(1);
  s.established_time.store(NowSec());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 2 + static_cast<size_t>(kRecvPayload)) return 0;
  const uint8_t type = data[0], flags = data[1];
  std::vector<uint8_t> payload(data + 2, data + size);
  Session& s = Sess(g_slot);
  std::lock_guard<Mutex> g(g_rvs.mutex);
  // Every input starts from empty channels and a clear session.
  for (Channel& c : s.channels) {
    ChannelReset(&c);
    c.allowance = kMaxAllowance;
  }
  for (auto* f : {&s.closing, &s.closed_remote, &s.closed_timeout, &s.out_of_memory}) f->store(0);
  s.role = (flags & 1) ? kRoleDevice : kRoleClient;
  s.allow_rp2p.store((flags & 2) ? 1 : 0);
  s.punch_state = (flags & 4) ? 1 : 0;
  s.punch_peer_wan = kPunchPeer;
  s.punch_report_sent = false;
  s.remote = kRemote;
  s.mode.store(kModeUdpRelay);
  std::memcpy(s.punch_token, "0123456789abcdef", 16);
  if (flags & 32) {
    std::vector<uint8_t> msg(4 + payload.size());
    RVP_MsgHeaderWrite(msg.data(), type, static_cast<uint16_t>(payload.size()));
    if (!payload.empty()) std::memcpy(msg.data() + 4, payload.data(), payload.size());
    RVP_SessionHandleTcp(g_slot, msg.data(), static_cast<int>(msg.size()));
    return 0;
  }
  const sockaddr_in* from[] = {&kRemote, &kServer, &kPunchPeer, &kStranger};
  const sockaddr_in& sender = *from[(flags >> 3) & 3];
  RVP_AliveState alive;
  if (RVP_SessionAccepts(g_slot, sender, type))
    RVP_SessionHandleUdp(g_slot, sender, type, payload.data(), static_cast<uint16_t>(payload.size()), &alive);
  return 0;
}
