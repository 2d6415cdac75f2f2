// Setting up a session for a connect or listen, its dialogue thread, and
// sending from its UDP socket.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "p2p/msg.h"
#include "p2p/session.h"
#include "p2p/state.h"

namespace p2p {

inline Session& Sess(int slot) { return g_rvs.sessions[slot]; }

// What a session needs before its socket is bound.
struct SessionSetup {
  uint8_t role = kRoleClient;
  const char* prefix = "";
  uint32_t serial = 0;
  const char* suffix = "";
  const char* did_key = nullptr;         // up to 23 characters
  const char* packet_key = nullptr;      // up to 20 characters
  const char* wakeup = nullptr;          // up to 16 characters
  const sockaddr_in* servers = nullptr;  // three addresses
  uint16_t udp_port = 0;                 // 0: a random port
};

// Clears the reserved slot, stores DID, keys and servers, makes the UDP socket
// (SO_BROADCAST) and binds it; the local and WAN addresses are the library's
// LAN and WAN IP texts with the bound port; not established. 0, -4 for a DID
// that does not fit, or -18 when the socket cannot be made or bound (the slot
// stays reserved and holds no socket).
int RVP_SessionOpen(int slot, const SessionSetup& setup);
// Starts the server-dialogue thread; false when it cannot be started.
bool RVP_DialogueStart(int slot);
// Sets the stop-dialogue flag and waits for the thread.
void RVP_DialogueStop(int slot);
// Frees the session's TCP links, closes its sockets, empties its channels and
// frees the slot (the dialogue and session threads have ended); the slot's
// generation moves on.
void RVP_SessionFree(int slot);

// Starts the receive and send threads of an established session and hands
// the session out: 0, or -22 when a thread cannot be started (none runs then).
int RVP_SessionStartThreads(int slot);
// The end of a connect or listen whose dialogue has stopped: on success
// starts the session's threads; unless told not to, reports the outcome to
// the session's servers (RVP_SessionReport); closes the listening socket of a
// direct TCP attempt that is not in use; on failure frees the slot. Returns
// the slot, or the (final) error.
int RVP_SessionFinish(int slot, int result, uint8_t mode_byte, bool report = true);
// Sends MsgConnectReport with the result and the mode byte (the connect mode,
// or the login mode of a listen) to the session's servers.
void RVP_SessionReport(int slot, int result, uint8_t mode_byte);
// Closes every session the callers hold without waiting for the peers
// (de-initialisation).
void RVP_SessionCloseAll();

// A record of the type carrying the session's DID block.
void RVP_SessionMsg(int slot, uint8_t type, RVP_Msg* m);
// Sends the record from the session's socket with its packet key.
int RVP_SessionSend(int slot, const sockaddr_in& to, const RVP_Msg& m);
// To each of the session's three servers (those with an address).
void RVP_SessionSendToServers(int slot, const RVP_Msg& m);

// The session's addresses, read under the mutex.
sockaddr_in RVP_SessionLocal(int slot);
sockaddr_in RVP_SessionWan(int slot);
// The session's local address toward the peer: the IPv4 of a UDP socket
// connected to the peer, the port of the session's own socket.
sockaddr_in RVP_SessionLocalAddr(const sockaddr_in& peer, int slot);
// Finds the local address toward the peer again and stores it.
void RVP_SessionRefreshLocal(int slot, const sockaddr_in& peer);
// Marks the session established in the mode with the remote address, and
// stops its dialogue.
void RVP_SessionEstablish(int slot, uint8_t mode, const sockaddr_in& remote);

bool RVP_SameAddr(const sockaddr_in& a, const sockaddr_in& b);
// Zero or the broadcast address: not a peer anyone sends to.
bool RVP_AddrUnusable(const sockaddr_in& a);

}  // namespace p2p
