#include "tools/camsim/signal_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "sdk/net/net_codes.h"
#include "sdk/net/sha1.h"
#include "sdk/net/tcp_conn.h"
#include "sdk/net/ws_client.h"
#include "util/base64.h"
#include "sdk/webrtc/ov_signal2.h"

namespace camsim {
namespace {

constexpr int kFrameCapacity = 256 * 1024;

bool ReadRequest(int fd, std::string* head, std::string* rest) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::string buf;
  char chunk[2048];
  while (std::chrono::steady_clock::now() < end && buf.size() < 16384) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
    if (n <= 0) return false;
    buf.append(chunk, static_cast<size_t>(n));
    const size_t at = buf.find("\r\n\r\n");
    if (at != std::string::npos) {
      *head = buf.substr(0, at);
      *rest = buf.substr(at + 4);
      return true;
    }
  }
  return false;
}

std::string HeaderValue(const std::string& head, const char* name) {
  const std::string want = std::string("\r\n") + name + ":";
  for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
    if (strncasecmp(head.c_str() + at, want.c_str(), want.size()) != 0) continue;
    size_t v = at + want.size();
    while (v < head.size() && head[v] == ' ') ++v;
    const size_t e = head.find("\r\n", v);
    return head.substr(v, e == std::string::npos ? std::string::npos : e - v);
  }
  return "";
}

}  // namespace

// The WebSocket opening handshake on an accepted socket: the connection with *path the request's path, or
// null (the socket is then closed).
static WsConn* AcceptWebSocket(int fd, std::string* path) {
  std::string head, rest;
  const std::string key = ReadRequest(fd, &head, &rest) ? HeaderValue(head, "Sec-WebSocket-Key") : "";
  if (key.empty()) {
    close(fd);
    return nullptr;
  }
  // "GET PATH HTTP/1.1"
  const size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
  *path = sp1 == std::string::npos || sp2 == std::string::npos ? "/" : head.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string src = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  uint8_t digest[kSha1Size];
  Sha1(src.data(), src.size(), digest);
  char accept[64];
  Base64Encode(digest, sizeof(digest), accept, sizeof(accept));
  const std::string reply = std::string("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n") +
                            "Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + "\r\n\r\n";
  if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size())) {
    close(fd);
    return nullptr;
  }
  TcpConn conn;
  TcpConnInit(&conn);
  conn.socket = fd;
  WsConn* ws = WsConnCreate(&conn, 1, kFrameCapacity, rest.data(), static_cast<int>(rest.size()), 0);
  if (!ws) close(fd);
  return ws;
}

int ListenTcp(const std::string& host, int port, int* bound, std::string* why) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      listen(fd, 16) != 0) {
    *why = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *bound = ntohs(a.sin_port);
  return fd;
}

void AcceptWebSockets(int listen_fd, const std::atomic<bool>& stop,
                      const std::function<void(WsConn*, const std::string&)>& take) {
  while (!stop.load()) {
    pollfd p{listen_fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::string path;
    if (WsConn* ws = AcceptWebSocket(fd, &path)) take(ws, path);
  }
}

struct SignalServer::Member {
  std::mutex mu;  // sends, and ws's end
  WsConn* ws = nullptr;
  std::string room, name;  // name: empty until joined

  void Send(const Signal2Message& m) {
    const std::string text = BuildSignal2(m);
    std::lock_guard<std::mutex> g(mu);
    if (ws) WsConnSend(ws, kWsText, text.data(), static_cast<int>(text.size()), 1000);
  }
};

SignalServer::SignalServer(SignalServerConfig cfg, Printer print) : cfg_(std::move(cfg)), print_(std::move(print)) {}

SignalServer::~SignalServer() { Stop(); }

bool SignalServer::Start(std::string* why) {
  int port = 0;
  listen_fd_ = ListenTcp(cfg_.host, cfg_.port, &port, why);
  if (listen_fd_ < 0) return false;
  port_ = port;
  acceptor_ = std::thread([this] {
    AcceptWebSockets(listen_fd_, stop_, [this](WsConn* ws, const std::string& path) {
      auto m = std::make_shared<Member>();
      m->ws = ws;
      m->room = path;
      std::lock_guard<std::mutex> g(mu_);
      threads_.emplace_back([this, m] { Serve(m); });
    });
  });
  return true;
}

std::string SignalServer::Token(const std::string& room) const {
  return "ws://" + cfg_.host + ":" + std::to_string(port_.load()) + room;
}

void SignalServer::Serve(std::shared_ptr<Member> m) {
  while (!stop_.load()) {
    WsFrame f{};
    const int r = WsConnRecv(m->ws, 200, &f);
    if (r == kNetTimeout) continue;
    if (r != 1 || f.opcode == kWsClose) break;
    Signal2Message msg;
    if (f.opcode != kWsText || ParseSignal2(reinterpret_cast<const char*>(f.payload), f.length, &msg) != 0) continue;
    if (msg.type == "join") {
      if (msg.id.empty()) continue;
      if (!cfg_.rooms.empty() && !cfg_.rooms.count(m->room)) {
        if (print_) print_("sigsim unknown room " + m->room);
        Signal2Message e;
        e.type = "error";
        e.reason = "unknown room";
        m->Send(e);
        break;
      }
      {
        std::lock_guard<std::mutex> g(mu_);
        if (!m->name.empty()) rooms_[m->room].erase(m->name);
        m->name = msg.id;
        rooms_[m->room][m->name] = m;
      }
      if (print_) print_("sigsim joined " + m->room + " name=" + msg.id);
      Signal2Message j;
      j.type = "joined";
      j.ice = cfg_.ice;
      m->Send(j);
      continue;
    }
    std::shared_ptr<Member> to;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (m->name.empty()) continue;
      auto room = rooms_.find(m->room);
      auto it = room->second.find(msg.to);
      if (it != room->second.end()) to = it->second;
    }
    if (!to) {
      if (print_) print_("sigsim no member " + msg.to + " for " + msg.type);
      Signal2Message e;
      e.type = "error";
      e.id = msg.id;
      e.reason = "no member named " + msg.to;
      m->Send(e);
      continue;
    }
    msg.from = m->name;
    to->Send(msg);
    ++relayed_;
  }
  {
    std::lock_guard<std::mutex> g(mu_);
    auto room = rooms_.find(m->room);
    if (room != rooms_.end() && !m->name.empty()) {
      auto it = room->second.find(m->name);
      if (it != room->second.end() && it->second == m) room->second.erase(it);
    }
  }
  std::lock_guard<std::mutex> g(m->mu);
  WsConnFree(m->ws);
  m->ws = nullptr;
}

void SignalServer::Stop() {
  if (listen_fd_ < 0) return;
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  close(listen_fd_);
  listen_fd_ = -1;
  std::list<std::thread> threads;
  {
    std::lock_guard<std::mutex> g(mu_);
    threads.swap(threads_);
  }
  for (std::thread& t : threads) t.join();
  std::lock_guard<std::mutex> g(mu_);
  rooms_.clear();
}

}  // namespace camsim
