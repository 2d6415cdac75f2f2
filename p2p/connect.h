// The connect procedure's helpers: device IDs, the connect parameter text,
// and asking one LAN address for its device ID.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace p2p {
inline constexpr size_t kDidTextMax = 64;
inline constexpr size_t kConnectInitMax = 319;
inline constexpr int kTimedModeDefaultSec = 10;
inline constexpr int kTimedModeMinSec = 10;
inline constexpr int kTimedModeMaxSec = 60;
}  // namespace p2p

// Upper-case letters, a '-' between each letter group and digit group (the
// input's own '-' dropped), ended by the first other character; at most 64
// characters into out (65 bytes).
void RVP_DidNormalize(char out[65], const char* did);
// 0 when the text begins with 'A'-'Z' and its leading run of capitals,
// digits and '-' holds exactly two '-'; else -1.
int RVP_DidCheck(const char* did);
// A device ID argument taken apart as the connect and listen calls do: the
// key after the first ':' (empty without one), the normalised ID checked, and
// its prefix, serial and suffix (a serial beyond the int range is -1). 0, or
// -4 for an ID that fails the check.
struct RVP_DidParts {
  char prefix[65];
  int serial;
  char suffix[65];
  char key[65];
};
int RVP_DidSplit(const char* arg, RVP_DidParts* out);

// The connect parameter text (RVS_ConnectByServer's server argument).
struct RVP_ConnectParam {
  char init[p2p::kConnectInitMax + 1];  // this connect's init string; empty: the stored one
  bool skip_udp_relay;
  int timed_sec;  // modes 0x7A-0x7E
  bool allow_rp2p;
  char wakeup[17];
  char specific_ip[256];
};
// Reads a JSON-like text (a '{' first or second) by its keys, else takes the
// whole text (at most 319 characters) as the init string. SkipUDPRelay counts
// in modes 0x7A and 0x7B only.
void RVP_ConnectParamRead(const char* text, uint8_t mode, RVP_ConnectParam* out);

// Asks the IPv4 text's LAN-search port for its device ID (up to 15 searches,
// 100 ms apart): 0 with the ID text in did (32 bytes), -1 no answer, -2 a
// null argument, -3 not an IPv4 text, -4 socket error or a wrong answer.
// The port is the LAN-search port unless a test sets another.
int RVP_LanQueryDid(const char* ip, char did[32], uint16_t port = 0);
