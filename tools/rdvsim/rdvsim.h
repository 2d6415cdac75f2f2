// A test rendezvous server: the three servers of an init string, each on UDP
// (its port and the two after it) and on framed TCP, speaking the P2P
// library's messages through the library's own builder, parser and
// scrambler. It answers HELLOs with the mapped address, logs devices in,
// answers connect requests (introducing the peers by port-burst requests and
// peer lists), device-state queries, relay requests and relay-to requests
// (relay packets to both parties) and TCP connect requests (server state and
// TCP relay offer), and records every message it gets and the reports.
//
// Scripting (Command): per-DID answers with the failure states, faked mapped
// addresses for each NAT type, silent servers. One text command language
// serves the in-process fixture, the command line and standard input:
//   silent all|1|2|3 on|off       a silent server answers nothing (UDP or TCP)
//   nat 0|1|2|3|4|off              fake HELLO answers that detect as that NAT type
//   state DID N|clear              answer connect requests and queries with state N
//   login DID N|clear              answer device logins with result N
//   devstate DID V52 V56|clear     the two values of a device-state answer
//   tcpstate DID S [NEXT]|clear    the TCP server state answer (and the byte after it)
//   relays [IP:PORT ...]           the UDP relay list (none: an empty list)
//   tcprelay IP:PORT|off           the TCP relay offered after a TCP connect request
//   offer tcp|udp|none             how the TCP relay offer travels
//   ticket N                       the ticket of the next TCP relay offer
//   intro both|burst|list|none     how a connect request introduces the peers
//   forget DID                     log the device out
//   bridge DID KIND PORT PEER [TEXT] a MsgBridge to the device (17: open PEER on local PORT with TEXT;
//                                  34: close PEER)
//   servicestart DID               a MsgServiceStart to the device
//
// The relays it hands out (relay.h) are attached with AttachRelays; the
// program starts them with --relay IP.
#pragma once

#include <netinet/in.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "p2p/msg.h"

namespace rdvsim {

class UdpRelay;
class TcpRelay;

inline constexpr int kServers = 3;
inline constexpr int kUdpPorts = 3;  // the server port and the two after it

struct Config {
  std::string ips[kServers] = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
  uint16_t udp_port = 32100;  // 0: a free port P with P+1 and P+2 free on all three addresses
  uint16_t tcp_port = 443;    // 0: a free port on all three addresses
  std::string key;            // packet key
};

// One message a server received.
struct Received {
  int server = 0;  // 0-2
  bool tcp = false;
  int port_index = 0;  // UDP: 0 the server port, 1 and 2 the ports after it
  uint8_t type = 0;
  sockaddr_in from{};
  bool accepted = false;  // parsed and handled; false for a message refused as malformed
  std::string did;        // the DID text the message carries, if any
  std::vector<uint8_t> payload;
};

// A MsgConnectReport or MsgRelayedPunchReport.
struct Report {
  int server = 0;
  bool relayed_punch = false;
  std::string did;
  int32_t result = 0;  // connect report: the connect's result; relayed-punch report: the session handle
  uint16_t max_sess = 0, in_use = 0, elapsed_ms = 0;
  uint8_t role = 0, session_mode = 0, connect_mode = 0, probe = 0;
  sockaddr_in local{}, wan{}, remote{};
};

class Server {
 public:
  explicit Server(Config config);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds every socket and starts the server thread: true, or false with why.
  bool Start(std::string* why);
  void Stop();

  uint16_t udp_port() const { return udp_port_; }
  uint16_t tcp_port() const { return tcp_port_; }
  // An init string naming the three servers, with the packet key.
  std::string InitString() const;

  // A script command: empty when done, else what was wrong.
  std::string Command(const std::string& line);

  std::vector<Received> Log();
  std::vector<Report> Reports();
  void ClearLog();
  // Waits up to ms for the log to satisfy pred (called under the lock).
  bool WaitFor(const std::function<bool(const std::vector<Received>&)>& pred, unsigned ms);
  // Receives one line per report, and per message with verbose set (from the server thread).
  void SetPrinter(std::function<void(const std::string&)> print, bool verbose);
  // Lists the UDP relay and offers the TCP relay (either may be null), which
  // then joins only the tickets offered. The relays outlive the server's use.
  void AttachRelays(UdpRelay* udp, TcpRelay* tcp);

 private:
  struct Device {
    // As each server saw the UDP login come (behind a NAT that maps per
    // destination, each server sees a port of its own).
    sockaddr_in addr[kServers] = {};
    sockaddr_in local{};  // the local address it reported
    int tcp_fd = -1;      // the TCP link it logged in on, if any
    int64_t since = 0;
    // The address the server saw, else one another server saw (0 when none).
    sockaddr_in At(int server) const {
      if (addr[server].sin_addr.s_addr) return addr[server];
      for (const sockaddr_in& a : addr)
        if (a.sin_addr.s_addr) return a;
      return sockaddr_in{};
    }
  };
  struct Conn {
    int fd = -1;
    int server = 0;
    sockaddr_in peer{};
    std::vector<uint8_t> in;
  };
  struct Script {
    std::optional<uint8_t> state, login, tcp_state;
    uint8_t tcp_next = 0;
    std::optional<std::pair<int32_t, int32_t>> devstate;
  };
  struct Map {
    bool alt_port = false;  // answer a HELLO from the next port
    uint32_t wan = 0;       // reported IPv4 (network order); 0: the sender's
    int port_delta = 0;
  };

  bool Bind(std::string* why);
  void CloseAll();
  void Loop();
  void OnUdp(int server, int port_index);
  void OnAccept(int server);
  void OnConn(Conn& c);
  void HandleTcpMsg(Conn& c, const uint8_t* msg, int len);
  void Note(Received r);
  void Print(const std::string& line);

  const Script* ScriptOf(const std::string& did) const;
  void SendUdp(int server, int port_index, const sockaddr_in& to, const RVP_Msg& m);
  void SendTcp(int fd, const RVP_Msg& m);
  std::string SendBridge(const std::string& did, uint8_t kind, uint16_t port, const std::string& peer,
                         const std::string& data);
  void Introduce(int server, const RVP_DidBlock& did, const sockaddr_in& client,
                 const sockaddr_in& client_local);
  void OfferTcpRelay(int server, const RVP_DidBlock& did, int client_fd);
  void Drop(Conn& c);

  Config config_;
  uint16_t udp_port_ = 0, tcp_port_ = 0;
  int udp_[kServers][kUdpPorts];
  int listen_[kServers];
  std::vector<Conn> conns_;

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Received> log_;
  std::vector<Report> reports_;
  std::map<std::string, Device> devices_;
  std::map<std::string, sockaddr_in> clients_;  // the UDP address of the last connect request per DID
  std::map<std::string, Script> scripts_;
  bool silent_[kServers] = {};
  Map maps_[kServers];
  std::vector<sockaddr_in> relays_;
  std::optional<sockaddr_in> tcp_relay_;
  TcpRelay* tcp_relay_obj_ = nullptr;
  enum class Offer { Tcp, Udp, None } offer_ = Offer::Tcp;
  enum class Intro { Both, Burst, List, None } intro_ = Intro::Both;
  uint32_t next_ticket_ = 0x5EED0001;
  std::function<void(const std::string&)> print_;
  bool verbose_ = false;

  std::thread thread_;
  bool stop_ = false;
};

// "a.b.c.d:port"
std::string AddrText(const sockaddr_in& a);

}  // namespace rdvsim
