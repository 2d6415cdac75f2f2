// Network detection: resolving the servers of an init string and probing them
// with MsgHello to learn the LAN and WAN addresses and the NAT type.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "p2p/rvs_api.h"

namespace p2p {
inline constexpr unsigned kNetDetectBudgetMs = 5000;
inline constexpr unsigned kNetDetectWaitMs = 200;
}  // namespace p2p

// Resolves the init string's three server names into servers (AF_INET, the
// server port; a name that does not resolve and those after it stay 0) and,
// for the stored init string, into the library's server table. Unless
// resolve_only, probes them from a UDP socket bound to udp_port (0: random).
// 0, or -18 when the socket cannot be bound.
int RVP_NetDetect(RVS_NetInfo* out, bool resolve_only, uint16_t udp_port, const char* init,
                  sockaddr_in servers[3]);
