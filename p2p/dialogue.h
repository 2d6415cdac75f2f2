// The server-dialogue thread of a session that connects or listens: the only
// receiver on the session's UDP socket until the session is established. It
// turns the answers of servers, relays and the peer, and the messages of the
// session's TCP links, into the session's state bytes, addresses and flags,
// and sends the immediate replies.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace p2p {
// One port-range punch request makes at most this many punches on each side
// of its port.
inline constexpr int kMaxRangePunchSteps = 10;
// Payload buffer of the dialogue.
inline constexpr int kDialoguePayload = 1280;
}  // namespace p2p

// The thread routine; ends when the session's stop-dialogue or established
// flag is set.
void RVP_ServerDialogueThread(int slot);

// Handles one message as the thread does: from the UDP socket, or from TCP
// link `link` (0-2).
void RVP_DialogueHandleUdp(int slot, const sockaddr_in& from, uint8_t type, const uint8_t* payload,
                           uint16_t len);
void RVP_DialogueHandleTcp(int slot, int link, uint8_t type, const uint8_t* payload, uint16_t len);

// Types that only a server sends; the dialogue takes them only from one of
// the session's server addresses or from its TCP links.
bool RVP_ServerOnlyType(uint8_t type);
