// The loopback bridge and the server datagram queue. On a device, the
// servers pass short exchanges between a remote party (a peer text) and a
// local program on 127.0.0.1 as MsgBridge messages; the bridge thread owns the
// UDP socket that talks to the local programs and wraps what they send into
// MsgBridge messages for the servers. Those wait in the server datagram
// queue, which only a listen empties toward the servers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "p2p/msg.h"

namespace p2p {
inline constexpr int kBridgePeers = 10;
// The head of a datagram to or from a local program: the peer text's first
// 32 bytes, zero-padded.
inline constexpr int kBridgeLocalHead = 32;
inline constexpr int kBridgeRecvMax = 1280;
// The longest local datagram the bridge wraps.
inline constexpr int kBridgeLocalMax = 992;
// Messages the queue holds at most; a push beyond fails as when memory runs
// out (on a client nothing ever empties the queue).
inline constexpr size_t kServerQueueMax = 256;
}  // namespace p2p

// Clears the peer table and the stop state and starts the bridge thread
// (initialisation). A thread that cannot start leaves the bridge closed.
void RVP_BridgeStart();
// Asks the thread to stop and waits for it (de-initialisation).
void RVP_BridgeStop();
// The thread routine: runs the bridge loop until a stop is asked.
void RVP_BridgeThread();
// The port of the bridge socket on 127.0.0.1, 0 while it is closed.
uint16_t RVP_BridgePort();

// Delivers a MsgBridge that carries a device session's DID to the local
// program it names (called under the global mutex). Nothing happens while the
// bridge socket is closed.
void RVP_BridgeDeliver(const RVP_Msg& bridge);

// Appends a copy of a message (header and payload, not scrambled): 0, or -1
// when memory runs out or the queue is full.
int RVP_ServerQueuePush(const uint8_t* bytes, int length);
// Sends every queued message to the servers from the session: over the
// session's connected TCP links while its TCP link state is on, and by UDP to
// the library's three servers; each is freed once sent.
void RVP_ServerQueueFlush(int slot);
// Frees every queued message (de-initialisation).
void RVP_ServerQueueClear();
// Messages waiting.
size_t RVP_ServerQueueCount();
