// A test fixture of sessions wired to each other without a connect
// (tools/rdvsim/wiring.h), and the byte streams checked as test expectations.
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
#include "tools/rdvsim/wiring.h"

namespace p2ptest {

inline constexpr char kPairKey[] = "pair-key";

using rdvsim::StreamByte;

// Writes n bytes of the stream; false on an error.
inline bool PumpStream(int h, int ch, uint32_t seed, size_t n) {
  int r = rdvsim::PumpStream(h, ch, seed, n);
  if (r != 0) ADD_FAILURE() << "write on channel " << ch << " gave " << r;
  return r == 0;
}

// Reads the stream back; the bytes that arrived in order and intact.
inline size_t DrainStream(int h, int ch, uint32_t seed, size_t n, unsigned deadline_ms,
                          int* last_result = nullptr) {
  bool bad = false;
  size_t got = rdvsim::DrainStream(h, ch, seed, n, deadline_ms, &bad, last_result);
  if (bad) ADD_FAILURE() << "channel " << ch << ": byte " << got << " differs";
  return got;
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
    int slot = rdvsim::WireOpen(role, kPairKey, servers);
    EXPECT_GE(slot, 0);
    opened.push_back(slot);
    return slot;
  }
  // Its address on loopback.
  static sockaddr_in Addr(int slot) { return rdvsim::WireAddr(slot); }
  // Established toward remote with its threads running.
  static void Start(int slot, const sockaddr_in& remote, uint8_t mode = p2p::kModeP2P) {
    ASSERT_EQ(rdvsim::WireStart(slot, remote, mode), 0);
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
    int c, d;
    ASSERT_TRUE(rdvsim::TcpPair(&c, &d));
    sockaddr_in la{};
    socklen_t l = sizeof(la);
    getsockname(d, reinterpret_cast<sockaddr*>(&la), &l);
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
