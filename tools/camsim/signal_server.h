// sigsim: a simulator of the "ovwebrtc2" signalling server (sdk/webrtc/ovwebrtc2.md). Members join a room
// (the path of the WebSocket URL) under a name; each message goes to the member its "to" names, stamped
// with the sender's name in "from".
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tools/camsim/camsim.h"

struct WsConn;

namespace camsim {

// A listening TCP socket on host:port (0: any free port): the socket with *bound its port, or -1 with why.
int ListenTcp(const std::string& host, int port, int* bound, std::string* why);
// Takes WebSocket connections on a listening socket until stop is set: each (server side) goes to take with
// the request's path.
void AcceptWebSockets(int listen_fd, const std::atomic<bool>& stop,
                      const std::function<void(WsConn*, const std::string&)>& take);

struct SignalServerConfig {
  std::string host = "127.0.0.1";
  int port = 0;                 // 0: any free port
  std::set<std::string> rooms;  // room paths ("/ROOM") it knows; empty: every path
  std::string ice = "[]";       // the ICE server list handed to members as they join (JSON array text)
};

class SignalServer {
 public:
  SignalServer(SignalServerConfig cfg, Printer print);
  ~SignalServer();
  SignalServer(const SignalServer&) = delete;
  SignalServer& operator=(const SignalServer&) = delete;

  bool Start(std::string* why);
  void Stop();
  int Port() const { return port_.load(); }
  // The token of a room: "ws://HOST:PORT" + room.
  std::string Token(const std::string& room) const;
  // Messages relayed so far.
  int Relayed() const { return relayed_.load(); }

  struct Member;

 private:
  void Serve(std::shared_ptr<Member> m);

  SignalServerConfig cfg_;
  Printer print_;
  int listen_fd_ = -1;
  std::atomic<int> port_{0};
  std::atomic<bool> stop_{false};
  std::atomic<int> relayed_{0};
  std::thread acceptor_;
  std::mutex mu_;  // everything below
  std::list<std::thread> threads_;
  std::map<std::string, std::map<std::string, std::shared_ptr<Member>>> rooms_;  // room -> name -> member
};

}  // namespace camsim
