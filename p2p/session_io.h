// An established session's traffic: the sender round that turns written bytes
// into numbered packets and sends them within the window, the send and
// receive threads, and the handling of what the peer sends.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <mutex>

#include "p2p/session.h"

namespace p2p {
inline constexpr uint32_t kUdpInterval = 40;
inline constexpr uint32_t kTcpInterval = 10;
// Payload buffer of the receive thread.
inline constexpr int kRecvPayload = 1600;
// Blocking sends and frame reads on a session's TCP socket.
inline constexpr unsigned kTcpIoMs = 6000;
inline constexpr uint32_t kTcpAliveMs = 1000;
// Bytes and time one channel may send over TCP in one round.
inline constexpr uint32_t kTcpRoundBytes = 256000;
inline constexpr uint32_t kTcpRoundMs = 10;
// A relayed punch is taken up only this long after establishment.
inline constexpr int64_t kRelayedPunchWindowSec = 60;
}  // namespace p2p

using RVP_Held = std::unique_lock<p2p::Mutex>;

// One packet of len bytes with the channel's next write sequence, into the
// write queue (UDP) or straight into the send queue (TCP socket present).
// 0, or -1 when memory runs out. Mutex held.
int RVP_ChannelQueueWrite(int slot, int channel, const uint8_t* bytes, int len);
// The sender round. Called with the mutex held (lk); over TCP the mutex is
// released around each blocking send.
void RVP_ChannelSend(int slot, RVP_Held& lk);

// Sends a message to the peer as a datagram to the remote address (mutex
// held). 0 when it went.
int RVP_SessionSendRemote(int slot, const RVP_Msg& m);
// Sends a message to the peer as a frame on the session's TCP socket, in the
// session's framing (mutex not held; 6000 ms, ended early by the closing flag
// unless the message is the close itself). 0 when it went.
int RVP_SessionSendTcp(int slot, const RVP_Msg& m);

void RVP_SessionSendThread(int slot);
void RVP_SessionRecvThread(int slot);

// Handles one message of the receive thread's UDP pass (mutex held). The
// alive counters are the thread's own.
struct RVP_AliveState {
  int misses = 0;
  uint32_t timer_ms = 0;
  uint32_t last_tick = 0;  // when the timer last advanced
  bool repeats_ended = false;
};
void RVP_SessionHandleUdp(int slot, const sockaddr_in& from, uint8_t type, const uint8_t* payload,
                          uint16_t len, RVP_AliveState* alive);
// Whether the UDP pass takes a message of the type from the sender (mutex held).
bool RVP_SessionAccepts(int slot, const sockaddr_in& from, uint8_t type);
// Handles one message of the TCP pass (mutex held); true when the caller
// should pause (the receive queue is long). The pass then stops reading the
// socket while a channel's queue is past its cap.
bool RVP_SessionHandleTcp(int slot, const uint8_t* msg, int len);
