// Sessions of the library wired to each other without a connect, for tests
// and benchmarks: a session is opened and established toward a remote
// address the way a connect or listen leaves it, over loopback directly,
// through a UDP path in between (an impairment proxy), or over one TCP
// connection. Also a deterministic byte stream per channel, written and read
// back in chunks of varying size.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "p2p/addr.h"
#include "p2p/msg_io.h"
#include "p2p/rvs_api.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"
#include "p2p/state.h"

namespace rdvsim {

// A session with its socket bound, not yet established: its slot, or -1.
inline int WireOpen(uint8_t role, const char* key, const sockaddr_in* servers = nullptr) {
  int slot = p2p::RVP_SlotAlloc();
  if (slot < 0) return -1;
  p2p::SessionSetup s;
  s.role = role;
  s.prefix = "PAIR";
  s.serial = 4711;
  s.suffix = "TEST";
  s.packet_key = key;
  s.servers = servers;
  if (p2p::RVP_SessionOpen(slot, s) != 0) {
    p2p::RVP_SessionFree(slot);
    return -1;
  }
  return slot;
}

// The session's address on loopback.
inline sockaddr_in WireAddr(int slot) {
  sockaddr_in a{};
  socklen_t l = sizeof(a);
  getsockname(p2p::Sess(slot).socket, reinterpret_cast<sockaddr*>(&a), &l);
  return RVP_LoopbackAddr(ntohs(a.sin_port));
}

// Established toward remote with its threads running: 0, or -22.
inline int WireStart(int slot, const sockaddr_in& remote, uint8_t mode = p2p::kModeP2P) {
  p2p::RVP_SessionEstablish(slot, mode, remote);
  return p2p::RVP_SessionStartThreads(slot);
}

// Where datagrams that a sends to `via` come from at b: a sends alive
// messages there until one reaches b's socket (the path may drop them). Both
// sessions must not be started yet.
inline bool WireLearnPath(int a, int b, const sockaddr_in& via, sockaddr_in* seen_at_b, unsigned ms = 5000) {
  p2p::Session& sa = p2p::Sess(a);
  p2p::Session& sb = p2p::Sess(b);
  RVP_Msg alive;
  RVP_MsgInit(&alive, MsgAlive);
  uint32_t start = p2p::TickMs();
  while (p2p::TickMs() - start < ms) {
    RVP_SendMsg(sa.packet_key, sa.socket, via, alive);
    uint8_t type;
    uint16_t len;
    uint8_t payload[p2p::kMaxPayload];
    if (RVP_RecvMsg(sb.packet_key, seen_at_b, sb.socket, 50, &type, &len, payload, sizeof(payload)) == 0) {
      // Copies still on the way are taken off the socket.
      sockaddr_in from;
      while (RVP_RecvMsg(sb.packet_key, &from, sb.socket, 100, &type, &len, payload, sizeof(payload)) != -1) {
      }
      return true;
    }
  }
  return false;
}

// A connected pair of non-blocking TCP sockets on loopback.
inline bool TcpPair(int* c, int* d) {
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in la = RVP_LoopbackAddr(0);
  socklen_t l = sizeof(la);
  bool ok = ls >= 0 && bind(ls, reinterpret_cast<sockaddr*>(&la), sizeof(la)) == 0 && listen(ls, 1) == 0 &&
            getsockname(ls, reinterpret_cast<sockaddr*>(&la), &l) == 0;
  *c = ok ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
  ok = ok && *c >= 0 && connect(*c, reinterpret_cast<sockaddr*>(&la), sizeof(la)) == 0;
  *d = ok ? accept4(ls, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  if (ls >= 0) close(ls);
  if (!ok || *d < 0) {
    if (*c >= 0) close(*c);
    return false;
  }
  for (int fd : {*c, *d}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return true;
}

// Byte i of the stream with the seed.
inline uint8_t StreamByte(uint32_t seed, uint64_t i) {
  uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(seed) << 32 | seed);
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ull;
  return static_cast<uint8_t>(x >> 32);
}

// Chunk sizes that vary: 1 byte, odd sizes, exactly a packet, several packets.
inline int ChunkSize(uint32_t seed, int k) {
  static const int sizes[] = {1, 7, 1023, 1024, 1025, 3000, 512, 4096, 100, 2048, 65};
  return sizes[(seed + static_cast<uint32_t>(k) * 7) % (sizeof(sizes) / sizeof(sizes[0]))];
}

// Writes n bytes of the stream: 0, or the first failing write's result.
inline int PumpStream(int h, int ch, uint32_t seed, size_t n) {
  std::vector<char> buf(8192);
  size_t at = 0;
  for (int k = 0; at < n; ++k) {
    size_t len = std::min<size_t>(static_cast<size_t>(ChunkSize(seed, k)), n - at);
    for (size_t i = 0; i < len; ++i) buf[i] = static_cast<char>(StreamByte(seed, at + i));
    int r = RVS_Write(h, static_cast<char>(ch), buf.data(), static_cast<int>(len));
    if (r != static_cast<int>(len)) return r < 0 ? r : -1000;
    at += len;
  }
  return 0;
}

// Reads the stream back in chunks until n bytes came, a byte differs, a read
// fails or deadline_ms passed; returns the bytes that arrived in order and
// intact (*bad set when one differed, *last_result the last read's result).
inline size_t DrainStream(int h, int ch, uint32_t seed, size_t n, unsigned deadline_ms, bool* bad = nullptr,
                          int* last_result = nullptr) {
  std::vector<char> buf(8192);
  size_t at = 0;
  uint32_t start = p2p::TickMs();
  for (int k = 0; at < n && p2p::TickMs() - start < deadline_ms; ++k) {
    int want = static_cast<int>(std::min<size_t>(static_cast<size_t>(ChunkSize(seed + 5, k)), n - at));
    int size = want;
    int r = RVS_Read(h, static_cast<char>(ch), buf.data(), &size, 1000);
    if (last_result) *last_result = r;
    for (int i = 0; i < size; ++i) {
      if (static_cast<uint8_t>(buf[i]) != StreamByte(seed, at + i)) {
        if (bad) *bad = true;
        return at + i;
      }
    }
    at += static_cast<size_t>(size);
    if (r != 0 && r != RVS_ERR_TIME_OUT) break;
  }
  return at;
}

}  // namespace rdvsim
