// The relays the rendezvous simulator hands out.
//
// UdpRelay: the UDP relay of a relay list. It answers MsgRelayHello with
// MsgRelayHelloAck and each client's MsgRelayPortReq with a port and ticket of
// their own (MsgRelayPortAck); on that port it waits for MsgRelayRdy with the
// ticket from a client (role 0) and a device (role 1), tells both
// MsgRelayReady (the client's DID) and then forwards datagrams between the
// two parties and nobody else. A party that has not spoken yet is told again
// every half second; a relayed session silent for the idle time gets
// MsgClose on both sides and ends.
//
// TcpRelay: the TCP relay of a TCP relay offer. Each connection sends the
// 28-byte request (DID block, ticket, role); a client and a device with the
// same ticket and DID are answered with the 48-byte pair of addresses the
// relay sees (client's first) and then joined byte for byte. A connection that
// does not ask within 5 s, asks for a ticket no offer carried (when tickets
// are checked), repeats a role or names another DID is closed.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "p2p/msg.h"

namespace rdvsim {

struct RelayConfig {
  std::string ip = "127.0.0.1";
  std::string key;  // packet key
  uint32_t idle_ms = 5000;
};

struct RelayStats {
  int hellos = 0;      // UDP: hellos answered
  int tickets = 0;     // UDP: ports given; TCP: requests read
  int paired = 0;      // sessions joined
  long forwarded = 0;  // datagrams (UDP) or bytes (TCP) passed on
  int refused = 0;     // datagrams or connections refused
  int ended = 0;       // relayed sessions that ended
};

class UdpRelay {
 public:
  explicit UdpRelay(RelayConfig config);
  ~UdpRelay();
  UdpRelay(const UdpRelay&) = delete;
  UdpRelay& operator=(const UdpRelay&) = delete;

  bool Start(std::string* why);
  void Stop();
  // The address the servers list.
  sockaddr_in address() const { return addr_; }
  RelayStats stats();

 private:
  struct Leg {
    int fd = -1;
    uint32_t ticket = 0;
    sockaddr_in asker{};  // who asked for the port
    sockaddr_in client{}, device{};
    bool has_client = false, has_device = false, joined = false;
    bool client_spoke = false, device_spoke = false;
    RVP_DidBlock did{};
    uint32_t last_activity = 0, last_ready = 0;
  };
  void Loop();
  void OnMain();
  void OnLeg(Leg& leg);
  void Tick(Leg& leg);
  void Ready(Leg& leg, const sockaddr_in& to);
  void End(Leg& leg);

  RelayConfig config_;
  int fd_ = -1;
  sockaddr_in addr_{};
  std::vector<std::unique_ptr<Leg>> legs_;
  std::mutex mu_;
  RelayStats stats_;
  bool stop_ = false;
  std::thread thread_;
  uint32_t next_ticket_;
};

class TcpRelay {
 public:
  explicit TcpRelay(RelayConfig config);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  bool Start(std::string* why);
  void Stop();
  sockaddr_in address() const { return addr_; }
  // From now on only tickets allowed here are joined.
  void Allow(uint32_t ticket);
  RelayStats stats();

 private:
  struct Conn {
    int fd = -1;
    sockaddr_in peer{};
    uint8_t req[28] = {};
    int got = 0;
    uint32_t since = 0;
    bool asked = false;
    uint32_t ticket = 0;
    uint8_t role = 0;
    RVP_DidBlock did{};
    Conn* other = nullptr;
    std::vector<uint8_t> out;  // bytes waiting to go to this connection
  };
  void Loop();
  void OnAccept();
  void OnRead(Conn* c);
  void Join(Conn* a, Conn* b);
  void Drop(Conn* c);
  bool Flush(Conn* c);

  RelayConfig config_;
  int fd_ = -1;
  sockaddr_in addr_{};
  std::vector<std::unique_ptr<Conn>> conns_;
  std::mutex mu_;
  RelayStats stats_;
  bool check_tickets_ = false;
  std::set<uint32_t> allowed_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace rdvsim
