// A UDP relay that drops, duplicates, delays and reorders datagrams on purpose, for loopback tests.
//
// Clients send to the listening address; each client source address gets its own socket towards the
// fixed upstream address, and replies from upstream go back to the client they belong to. Decisions come
// from a seeded generator per direction: the same seed and the same order of datagrams in a direction give
// the same decisions.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>

namespace impair {

// What happens to the datagrams of one direction.
struct Impairment {
  double drop = 0;          // probability that a datagram is discarded
  double duplicate = 0;     // probability that a datagram is sent twice
  double reorder = 0;       // probability that a datagram is held back and sent after the next one
  uint32_t delay_ms = 0;    // fixed delay added to every datagram
  uint32_t jitter_ms = 0;   // each datagram's delay varies by up to this much either way (never below 0)
};

struct ProxyConfig {
  std::string listen = "127.0.0.1:0";  // port 0: the system chooses
  std::string upstream;                // where client datagrams go
  uint64_t seed = 0;
  Impairment up;    // client -> upstream
  Impairment down;  // upstream -> client
  // Addresses outside 127.0.0.0/8 are refused unless this is set (for tests inside a network namespace).
  bool allow_any = false;
  // A client mapping with no traffic in either direction for this long is closed.
  uint32_t idle_ms = 60000;
  // A held-back datagram goes out after this long even when no next one comes.
  uint32_t hold_ms = 50;
  // Client mappings beyond this many are refused (their datagrams count as errors).
  uint32_t max_mappings = 1024;
};

struct DirectionCounters {
  uint64_t received = 0;    // datagrams read
  uint64_t forwarded = 0;   // datagrams sent on, copies included
  uint64_t dropped = 0;     // datagrams discarded on purpose
  uint64_t duplicated = 0;  // extra copies made
  uint64_t reordered = 0;   // datagrams sent after a later one on purpose
  uint64_t errors = 0;      // datagrams lost otherwise (send failed, too many mappings)
};

struct ProxyCounters {
  DirectionCounters up;
  DirectionCounters down;
};

// One direction's dice. Every datagram takes the same number of draws whatever the outcome, so a
// decision depends only on the seed and the datagram's place in the sequence.
class ImpairDice {
 public:
  struct Decision {
    bool drop = false;
    bool duplicate = false;
    bool reorder = false;
    int64_t delay_us = 0;      // for the datagram
    int64_t dup_delay_us = 0;  // for its copy
  };

  ImpairDice(const Impairment& impairment, uint64_t seed);
  Decision Next();

 private:
  double Unit();
  int64_t Delay();

  Impairment imp_;
  std::mt19937_64 rng_;
};

class ImpairProxy {
 public:
  explicit ImpairProxy(ProxyConfig config);
  // Stops a running proxy.
  ~ImpairProxy();
  ImpairProxy(const ImpairProxy&) = delete;
  ImpairProxy& operator=(const ImpairProxy&) = delete;

  // Checks the configuration, binds the listening socket and starts the relay thread. On failure returns
  // false and says why in *error (when given). A proxy starts once.
  bool Start(std::string* error = nullptr);
  // Ends the relay thread and closes every socket; datagrams still waiting are discarded. Safe to repeat.
  void Stop();

  // The listening port (the chosen one when 0 was asked for); 0 before Start.
  uint16_t port() const { return port_; }
  // "A.B.C.D:PORT" of the listening socket.
  std::string listen_address() const;
  ProxyCounters counters() const;
  // Client mappings open now.
  size_t mappings() const { return mappings_.load(std::memory_order_relaxed); }

  // "A.B.C.D:PORT" -> address. Only numeric IPv4.
  static bool ParseAddress(const std::string& text, sockaddr_in* out, std::string* error);
  // Parses an address and checks it is in 127.0.0.0/8 (unless allow_any) and, when port_needed, has a
  // port; "" or why it is refused.
  static std::string CheckAddress(const std::string& text, bool allow_any, bool port_needed, sockaddr_in* out);

 private:
  struct Shared;
  struct Loop;

  ProxyConfig config_;
  std::unique_ptr<Shared> shared_;
  std::thread thread_;
  sockaddr_in listen_addr_{};
  uint16_t port_ = 0;
  bool started_ = false;
  std::atomic<size_t> mappings_{0};
};

// One line per direction: "up received=N forwarded=N dropped=N duplicated=N reordered=N errors=N".
std::string FormatCounters(const ProxyCounters& counters);

}  // namespace impair
