// Address forms of the library: IPv4 socket addresses, the family-neutral
// Address24, and their wire forms inside message payloads.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

// sockaddr_in6 without its scope word. Family is the platform's (AF_INET or
// AF_INET6); port and IPv4 word are in network order.
struct RVP_Address24 {
  uint16_t family;
  uint16_t port;
  uint32_t v4;  // IPv4 address, or the IPv6 flow word
  uint8_t v6[16];
};
static_assert(sizeof(RVP_Address24) == 24);

inline constexpr size_t kWireAddrSize = 16;
inline constexpr size_t kWireAddr24Size = 24;
// Family numbers of the wire forms.
inline constexpr uint16_t kWireFamilyV4 = 2;
inline constexpr uint16_t kWireFamilyV6 = 23;

void RVP_AddrToWire(const sockaddr_in& a, uint8_t out[16]);
void RVP_AddrFromWire(const uint8_t in[16], sockaddr_in* a);
void RVP_Addr24ToWire(const RVP_Address24& a, uint8_t out[24]);
void RVP_Addr24FromWire(const uint8_t in[24], RVP_Address24* a);

// Family AF_INET, the port in network order, the parsed IPv4 text (0 when it does not parse).
void RVP_AddrMake(RVP_Address24* out, const char* ip, uint16_t port);
// The IPv4 form of an Address24 (any family field is taken as IPv4).
sockaddr_in RVP_Addr24ToV4(const RVP_Address24& a);
// 127.0.0.1 and the port (host order).
sockaddr_in RVP_LoopbackAddr(uint16_t port);
RVP_Address24 RVP_Addr24FromV4(const sockaddr_in& a);
// Fills a sockaddr for connect/bind; returns its length (16 for IPv4, 28 otherwise).
socklen_t RVP_Addr24ToSockaddr(const RVP_Address24& a, sockaddr_storage* out);

// Text to address for AF_INET or AF_INET6 (at most 65 characters): 1 on success, 0 otherwise.
int RVP_InetPton(const char* text, void* out, int family);
// Address to numeric text (out holds 48 characters); null for another family.
const char* RVP_InetNtop(const void* addr, char* out, int family);
// IPv4 text when the IPv4 word is not zero, else the IPv6 text.
const char* RVP_Addr24ToText(const RVP_Address24& a, char out[48]);
// "a.b.c.d" of an IPv4 socket address (out holds 16 characters).
const char* RVP_AddrText(const sockaddr_in& a, char out[16]);
