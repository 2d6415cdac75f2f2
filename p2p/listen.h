// The listen side: the library as a device that logs in at the servers,
// answers LAN searches and accepts one session per listen.
#pragma once

namespace p2p {
inline constexpr unsigned kListenMinSec = 60;
inline constexpr unsigned kListenMaxSec = 86400;
// Login modes of a listen: LAN only (no server is contacted), login by UDP,
// login by UDP and over TCP links to the servers with a TCP relay.
inline constexpr unsigned char kLoginLanOnly = 0;
inline constexpr unsigned char kLoginUdp = 1;
inline constexpr unsigned char kLoginTcp = 2;
}  // namespace p2p

// The LAN-search responder of a listening session: answers each MsgLanSearch
// on the LAN-search port with a MsgPunch carrying the device's DID, from the
// session's own socket, until the session's dialogue stops.
void RVP_LanSearchResponderThread(int slot);
