#include "p2p/addr.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "p2p/bytes.h"

using namespace p2p;

void RVP_AddrToWire(const sockaddr_in& a, uint8_t out[16]) {
  std::memset(out, 0, 16);
  PutBe16(out, a.sin_family);
  PutLe16(out + 2, ntohs(a.sin_port));
  PutLe32(out + 4, ntohl(a.sin_addr.s_addr));
}

void RVP_AddrFromWire(const uint8_t in[16], sockaddr_in* a) {
  std::memset(a, 0, sizeof(*a));
  a->sin_family = AF_INET;
  a->sin_port = htons(GetLe16(in + 2));
  a->sin_addr.s_addr = htonl(GetLe32(in + 4));
}

void RVP_Addr24ToWire(const RVP_Address24& a, uint8_t out[24]) {
  PutBe16(out, a.family == AF_INET6 ? kWireFamilyV6 : a.family);
  PutLe16(out + 2, ntohs(a.port));
  PutLe32(out + 4, ntohl(a.v4));
  std::memcpy(out + 8, a.v6, 16);
}

void RVP_Addr24FromWire(const uint8_t in[24], RVP_Address24* a) {
  a->port = htons(GetLe16(in + 2));
  a->v4 = htonl(GetLe32(in + 4));
  a->family = a->v4 != 0 ? AF_INET : AF_INET6;
  std::memcpy(a->v6, in + 8, 16);
}

void RVP_AddrMake(RVP_Address24* out, const char* ip, uint16_t port) {
  std::memset(out, 0, sizeof(*out));
  out->family = AF_INET;
  out->port = htons(port);
  in_addr v{};
  if (ip && RVP_InetPton(ip, &v, AF_INET) == 1) out->v4 = v.s_addr;
}

sockaddr_in RVP_LoopbackAddr(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

sockaddr_in RVP_Addr24ToV4(const RVP_Address24& a) {
  sockaddr_in s{};
  s.sin_family = AF_INET;
  s.sin_port = a.port;
  s.sin_addr.s_addr = a.v4;
  return s;
}

RVP_Address24 RVP_Addr24FromV4(const sockaddr_in& a) {
  RVP_Address24 r{};
  r.family = AF_INET;
  r.port = a.sin_port;
  r.v4 = a.sin_addr.s_addr;
  return r;
}

socklen_t RVP_Addr24ToSockaddr(const RVP_Address24& a, sockaddr_storage* out) {
  std::memset(out, 0, sizeof(*out));
  if (a.family == AF_INET) {
    auto* s = reinterpret_cast<sockaddr_in*>(out);
    *s = RVP_Addr24ToV4(a);
    return sizeof(sockaddr_in);
  }
  auto* s = reinterpret_cast<sockaddr_in6*>(out);
  s->sin6_family = AF_INET6;
  s->sin6_port = a.port;
  s->sin6_flowinfo = a.v4;
  std::memcpy(&s->sin6_addr, a.v6, 16);
  return sizeof(sockaddr_in6);
}

int RVP_InetPton(const char* text, void* out, int family) {
  if (!text || !out || (family != AF_INET && family != AF_INET6)) return 0;
  char buf[66];
  size_t n = strnlen(text, 65);
  std::memcpy(buf, text, n);
  buf[n] = 0;
  return inet_pton(family, buf, out) == 1 ? 1 : 0;
}

const char* RVP_InetNtop(const void* addr, char* out, int family) {
  if (!addr || !out || (family != AF_INET && family != AF_INET6)) return nullptr;
  return inet_ntop(family, addr, out, 48);
}

const char* RVP_Addr24ToText(const RVP_Address24& a, char out[48]) {
  if (a.v4 != 0) {
    in_addr v{a.v4};
    return RVP_InetNtop(&v, out, AF_INET);
  }
  return RVP_InetNtop(a.v6, out, AF_INET6);
}

const char* RVP_AddrText(const sockaddr_in& a, char out[16]) {
  uint32_t v = ntohl(a.sin_addr.s_addr);
  std::snprintf(out, 16, "%u.%u.%u.%u", v >> 24, (v >> 16) & 255, (v >> 8) & 255, v & 255);
  return out;
}
