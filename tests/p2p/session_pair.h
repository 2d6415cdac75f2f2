// Sessions of the library set up as an established connect or listen leaves
// them, wired to each other over loopback: directly, through a UDP path the
// test controls, or over one TCP connection. Also a deterministic byte
// stream per channel, written and read back in chunks of varying size.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "p2p/cipher.h"
#include "p2p/msg_io.h"
#include "p2p/rvs_api.h"
#include "p2p/session_io.h"
#include "p2p/session_ops.h"
#include "p2p/sock.h"
#include "p2p/state.h"
#include "tests/p2p/test_util.h"

namespace p2ptest {

inline constexpr char kPairKey[] = "pair-key";

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

// Writes n bytes of the stream; false on an error.
inline bool PumpStream(int h, int ch, uint32_t seed, size_t n) {
  std::vector<char> buf(8192);
  size_t at = 0;
  for (int k = 0; at < n; ++k) {
    size_t len = std::min<size_t>(static_cast<size_t>(ChunkSize(seed, k)), n - at);
    for (size_t i = 0; i < len; ++i) buf[i] = static_cast<char>(StreamByte(seed, at + i));
    int r = RVS_Write(h, static_cast<char>(ch), buf.data(), static_cast<int>(len));
    if (r != static_cast<int>(len)) {
      ADD_FAILURE() << "write on channel " << ch << " gave " << r;
      return false;
    }
    at += len;
  }
  return true;
}

// Reads the stream back in chunks until n bytes came or deadline_ms passed;
// returns the bytes that arrived in order and intact.
inline size_t DrainStream(int h, int ch, uint32_t seed, size_t n, unsigned deadline_ms, int* last_result = nullptr) {
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
        ADD_FAILURE() << "channel " << ch << ": byte " << at + i << " differs";
        return at + i;
      }
    }
    at += static_cast<size_t>(size);
    if (r != 0 && r != RVS_ERR_TIME_OUT) break;
  }
  return at;
}

class PairTest : public ::testing::Test {
 protected:
  void SetUp() override { Init(6); }
  void Init(int alive_sec, int max_sess = 16) {
    std::string init = RVP_InitStringEncode("127.0.0.1,127.0.0.2,127.0.0.3,", kPairKey);
    std::string param = "{\"MaxNumSess\":" + std::to_string(max_sess) + ",\"InitString\":\"" + init +
                        "\",\"SessAliveSec\":" + std::to_string(alive_sec) + "}";
    ASSERT_EQ(RVS_Initialize(param.c_str()), 0);
  }
  void TearDown() override {
    if (p2p::g_rvs.initialized.load()) {
      for (int slot : opened) {
        if (S(slot).handed_out.load())
          RVS_ForceClose(slot);
        else if (S(slot).InUse() || S(slot).socket == p2p::kSlotReserved)
          p2p::RVP_SessionFree(slot);
      }
      RVS_DeInitialize();
    }
    for (int fd : fds) close(fd);
  }

  static p2p::Session& S(int slot) { return p2p::Sess(slot); }

  // A session with its socket bound, not yet established.
  int Open(uint8_t role, const sockaddr_in* servers = nullptr) {
    int slot = p2p::RVP_SlotAlloc();
    EXPECT_GE(slot, 0);
    p2p::SessionSetup s;
    s.role = role;
    s.prefix = "PAIR";
    s.serial = 4711;
    s.suffix = "TEST";
    s.packet_key = kPairKey;
    s.servers = servers;
    EXPECT_EQ(p2p::RVP_SessionOpen(slot, s), 0);
    opened.push_back(slot);
    return slot;
  }
  // Its address on loopback.
  static sockaddr_in Addr(int slot) {
    sockaddr_in a{};
    socklen_t l = sizeof(a);
    getsockname(S(slot).socket, reinterpret_cast<sockaddr*>(&a), &l);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }
  // Established toward remote with its threads running: the handle.
  static void Start(int slot, const sockaddr_in& remote, uint8_t mode = p2p::kModeP2P) {
    p2p::RVP_SessionEstablish(slot, mode, remote);
    ASSERT_EQ(p2p::RVP_SessionStartThreads(slot), 0);
  }
  // Two sessions talking to each other directly.
  void Direct(int* a, int* b) {
    *a = Open(p2p::kRoleClient);
    *b = Open(p2p::kRoleDevice);
    Start(*a, Addr(*b));
    Start(*b, Addr(*a));
  }
  // Two sessions over one TCP connection, in the TCP relay's framing.
  void OverTcp(int* a, int* b) {
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in la = V4("127.0.0.1", 0);
    socklen_t l = sizeof(la);
    ASSERT_EQ(bind(ls, reinterpret_cast<sockaddr*>(&la), sizeof(la)), 0);
    ASSERT_EQ(listen(ls, 1), 0);
    getsockname(ls, reinterpret_cast<sockaddr*>(&la), &l);
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&la), sizeof(la)), 0);
    int d = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    close(ls);
    ASSERT_GE(d, 0);
    for (int fd : {c, d}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    *a = Open(p2p::kRoleClient);
    *b = Open(p2p::kRoleDevice);
    S(*a).tcp_socket.store(c);
    S(*b).tcp_socket.store(d);
    Start(*a, la, p2p::kModeTcpRelay);
    Start(*b, la, p2p::kModeTcpRelay);
  }
  // Sets the channels' sequence numbers of a fresh pair (nothing written yet).
  static void FirstSeq(int a, int b, uint16_t seq) {
    std::lock_guard<p2p::Mutex> g(p2p::g_rvs.mutex);
    for (int ch = 0; ch < p2p::kChannels; ++ch)
      for (int s : {a, b}) {
        uint16_t v = static_cast<uint16_t>(seq + 13 * ch);
        S(s).channels[ch].next_write_seq = S(s).channels[ch].next_read_seq = v;
      }
  }

  // Every byte of n per channel, both ways on all eight channels at once.
  void ExchangeAll(int a, int b, size_t n, unsigned deadline_ms) {
    std::vector<std::thread> readers;
    std::atomic<int> complete{0};
    for (int dir = 0; dir < 2; ++dir)
      for (int ch = 0; ch < p2p::kChannels; ++ch)
        readers.emplace_back([&, dir, ch] {
          uint32_t seed = static_cast<uint32_t>(dir * 100 + ch + 1);
          size_t got = DrainStream(dir ? a : b, ch, seed, n, deadline_ms);
          EXPECT_EQ(got, n) << "direction " << dir << " channel " << ch;
          if (got == n) ++complete;
        });
    for (int dir = 0; dir < 2; ++dir)
      for (int ch = 0; ch < p2p::kChannels; ++ch)
        PumpStream(dir ? b : a, ch, static_cast<uint32_t>(dir * 100 + ch + 1), n);
    for (auto& t : readers) t.join();
    EXPECT_EQ(complete.load(), 2 * p2p::kChannels);
  }

  std::vector<int> opened;
  std::vector<int> fds;
};

}  // namespace p2ptest
