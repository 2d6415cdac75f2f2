#include "tools/rdvsim/relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "p2p/cipher.h"
#include "p2p/msg_io.h"
#include "p2p/sock.h"
#include "p2p/sys.h"

namespace rdvsim {

namespace {

constexpr int kPollMs = 20;
constexpr uint32_t kReadyAgainMs = 500;
constexpr uint32_t kAskWithinMs = 5000;
constexpr size_t kMaxPending = 1 << 20;

int Bound(int type, const std::string& ip, sockaddr_in* out) {
  int s = socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  socklen_t l = sizeof(a);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      (type == SOCK_STREAM && listen(s, 16) != 0) ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &l) != 0) {
    close(s);
    return -1;
  }
  *out = a;
  return s;
}

bool Same(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

uint32_t Seed() {
  return static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()) | 1u;
}

}  // namespace

// --- UDP relay ---------------------------------------------------------------

UdpRelay::UdpRelay(RelayConfig config) : config_(std::move(config)), next_ticket_(Seed()) {}

UdpRelay::~UdpRelay() { Stop(); }

bool UdpRelay::Start(std::string* why) {
  if (thread_.joinable()) return true;
  fd_ = Bound(SOCK_DGRAM, config_.ip, &addr_);
  if (fd_ < 0) {
    if (why) *why = "cannot bind the UDP relay on " + config_.ip;
    return false;
  }
  stop_ = false;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void UdpRelay::Stop() {
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
  }
  if (thread_.joinable()) thread_.join();
  for (auto& leg : legs_) close(leg->fd);
  legs_.clear();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

RelayStats UdpRelay::stats() {
  std::lock_guard<std::mutex> g(mu_);
  return stats_;
}

void UdpRelay::Ready(Leg& leg, const sockaddr_in& to) {
  RVP_Msg m;
  RVP_MsgInit(&m, MsgRelayReady);
  m.did = leg.did;
  RVP_SendMsg(config_.key.c_str(), leg.fd, to, m);
}

void UdpRelay::End(Leg& leg) {
  RVP_Msg m;
  RVP_MsgInit(&m, MsgClose);
  if (leg.has_client) RVP_SendMsg(config_.key.c_str(), leg.fd, leg.client, m);
  if (leg.has_device) RVP_SendMsg(config_.key.c_str(), leg.fd, leg.device, m);
  close(leg.fd);
  leg.fd = -1;
  ++stats_.ended;
}

void UdpRelay::OnMain() {
  sockaddr_in from{};
  uint8_t type;
  uint16_t len;
  uint8_t payload[p2p::kMaxPayload];
  if (RVP_RecvMsg(config_.key.c_str(), &from, fd_, 0, &type, &len, payload, sizeof(payload)) != 0) return;
  RVP_Msg m;
  if (len != 0 || (type != MsgRelayHello && type != MsgRelayPortReq)) {
    ++stats_.refused;
    return;
  }
  if (type == MsgRelayHello) {
    RVP_MsgInit(&m, MsgRelayHelloAck);
    RVP_SendMsg(config_.key.c_str(), fd_, from, m);
    ++stats_.hellos;
    return;
  }
  // One port per asker while its session is not joined: a repeated request
  // gets the same answer.
  Leg* leg = nullptr;
  for (auto& l : legs_)
    if (!l->joined && Same(l->asker, from)) leg = l.get();
  if (!leg) {
    auto fresh = std::make_unique<Leg>();
    sockaddr_in a;
    fresh->fd = Bound(SOCK_DGRAM, config_.ip, &a);
    if (fresh->fd < 0) {
      ++stats_.refused;
      return;
    }
    fresh->ticket = next_ticket_;
    next_ticket_ = next_ticket_ * 1103515245u + 12345u;
    fresh->asker = from;
    fresh->last_activity = p2p::TickMs();
    leg = fresh.get();
    legs_.push_back(std::move(fresh));
    ++stats_.tickets;
  }
  sockaddr_in port{};
  socklen_t l = sizeof(port);
  getsockname(leg->fd, reinterpret_cast<sockaddr*>(&port), &l);
  RVP_MsgInit(&m, MsgRelayPortAck);
  m.ticket = leg->ticket;
  m.port = ntohs(port.sin_port);
  for (int i = 0; i < 4; ++i) RVP_SendMsg(config_.key.c_str(), fd_, from, m);
}

void UdpRelay::OnLeg(Leg& leg) {
  uint8_t raw[p2p::kMaxDatagram];
  sockaddr_in from{};
  socklen_t fl = sizeof(from);
  ssize_t n = recvfrom(leg.fd, raw, sizeof(raw), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fl);
  if (n <= 0) return;
  // MsgRelayRdy (the only message this port takes itself) is 32 bytes.
  RVP_Msg m;
  bool rdy = false;
  if (n == 4 + 28) {
    uint8_t plain[32];
    RVP_Unscramble(config_.key.c_str(), raw, plain, 32);
    rdy = RVP_MsgParse(plain, 32, &m) == kMsgOk && m.type == MsgRelayRdy && m.ticket == leg.ticket &&
          m.role <= 1;
  }
  const uint32_t now = p2p::TickMs();
  if (rdy) {
    leg.last_activity = now;
    bool client = m.role == 0;
    if (leg.joined) {
      // A party that asks again did not hear the first answer.
      if (Same(from, client ? leg.client : leg.device)) Ready(leg, from);
      return;
    }
    (client ? leg.client : leg.device) = from;
    (client ? leg.has_client : leg.has_device) = true;
    if (client) leg.did = m.did;
    if (leg.has_client && leg.has_device) {
      leg.joined = true;
      leg.last_ready = now;
      Ready(leg, leg.client);
      Ready(leg, leg.device);
      ++stats_.paired;
    }
    return;
  }
  const sockaddr_in* to = nullptr;
  if (leg.joined && Same(from, leg.client)) {
    to = &leg.device;
    leg.client_spoke = true;
  } else if (leg.joined && Same(from, leg.device)) {
    to = &leg.client;
    leg.device_spoke = true;
  }
  if (!to) {
    ++stats_.refused;
    return;
  }
  leg.last_activity = now;
  sendto(leg.fd, raw, static_cast<size_t>(n), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(to),
         sizeof(*to));
  ++stats_.forwarded;
}

void UdpRelay::Tick(Leg& leg) {
  const uint32_t now = p2p::TickMs();
  if (now - leg.last_activity > config_.idle_ms) {
    End(leg);
    return;
  }
  if (leg.joined && now - leg.last_ready >= kReadyAgainMs && (!leg.client_spoke || !leg.device_spoke)) {
    leg.last_ready = now;
    if (!leg.client_spoke) Ready(leg, leg.client);
    if (!leg.device_spoke) Ready(leg, leg.device);
  }
}

void UdpRelay::Loop() {
  for (;;) {
    std::vector<pollfd> fds{{fd_, POLLIN, 0}};
    for (auto& leg : legs_) fds.push_back({leg->fd, POLLIN, 0});
    int r = poll(fds.data(), fds.size(), kPollMs);
    std::lock_guard<std::mutex> g(mu_);
    if (stop_) return;
    if (r > 0 && (fds[0].revents & POLLIN)) OnMain();
    for (size_t i = 1; i < fds.size() && i - 1 < legs_.size(); ++i)
      if (r > 0 && (fds[i].revents & POLLIN)) OnLeg(*legs_[i - 1]);
    for (auto& leg : legs_) Tick(*leg);
    std::erase_if(legs_, [](const std::unique_ptr<Leg>& l) { return l->fd < 0; });
  }
}

// --- TCP relay ---------------------------------------------------------------

TcpRelay::TcpRelay(RelayConfig config) : config_(std::move(config)) {}

TcpRelay::~TcpRelay() { Stop(); }

bool TcpRelay::Start(std::string* why) {
  if (thread_.joinable()) return true;
  fd_ = Bound(SOCK_STREAM, config_.ip, &addr_);
  if (fd_ < 0) {
    if (why) *why = "cannot listen for the TCP relay on " + config_.ip;
    return false;
  }
  stop_ = false;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void TcpRelay::Stop() {
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
  }
  if (thread_.joinable()) thread_.join();
  for (auto& c : conns_)
    if (c->fd >= 0) close(c->fd);
  conns_.clear();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void TcpRelay::Allow(uint32_t ticket) {
  std::lock_guard<std::mutex> g(mu_);
  check_tickets_ = true;
  allowed_.insert(ticket);
}

RelayStats TcpRelay::stats() {
  std::lock_guard<std::mutex> g(mu_);
  return stats_;
}

void TcpRelay::OnAccept() {
  auto c = std::make_unique<Conn>();
  socklen_t l = sizeof(c->peer);
  c->fd = accept4(fd_, reinterpret_cast<sockaddr*>(&c->peer), &l, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (c->fd < 0) return;
  c->since = p2p::TickMs();
  conns_.push_back(std::move(c));
}

void TcpRelay::Drop(Conn* c) {
  if (c->fd >= 0) close(c->fd);
  c->fd = -1;
  if (Conn* o = c->other) {
    o->other = nullptr;
    c->other = nullptr;
    // What is still owed to the other side goes first; then it ends too.
    Flush(o);
    if (o->fd >= 0) close(o->fd);
    o->fd = -1;
    ++stats_.ended;
  }
}

bool TcpRelay::Flush(Conn* c) {
  while (!c->out.empty() && c->fd >= 0) {
    ssize_t n = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    c->out.erase(c->out.begin(), c->out.begin() + n);
  }
  return true;
}

void TcpRelay::Join(Conn* a, Conn* b) {
  Conn* client = a->role == 0 ? a : b;
  Conn* device = a->role == 0 ? b : a;
  uint8_t ans[p2p::kTcpRelayAnsSize];
  RVP_TcpRelayAnsWrite(ans, RVP_Addr24FromV4(client->peer), RVP_Addr24FromV4(device->peer));
  for (Conn* c : {a, b}) c->out.insert(c->out.end(), ans, ans + sizeof(ans));
  a->other = b;
  b->other = a;
  ++stats_.paired;
}

void TcpRelay::OnRead(Conn* c) {
  if (!c->asked) {
    ssize_t n = recv(c->fd, c->req + c->got, sizeof(c->req) - c->got, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      Drop(c);
      return;
    }
    if (n < 0) return;
    c->got += static_cast<int>(n);
    if (c->got < static_cast<int>(sizeof(c->req))) return;
    c->asked = true;
    RVP_TcpRelayReqRead(c->req, &c->did, &c->ticket, &c->role);
    ++stats_.tickets;
    Conn* mate = nullptr;
    bool bad = c->role > 1 || (check_tickets_ && !allowed_.count(c->ticket));
    for (auto& o : conns_) {
      if (o.get() == c || o->fd < 0 || !o->asked || o->other || o->ticket != c->ticket) continue;
      if (o->role == c->role || !RVP_DidEqual(o->did, c->did))
        bad = true;
      else
        mate = o.get();
    }
    if (bad) {
      ++stats_.refused;
      Drop(c);
      return;
    }
    if (mate) Join(mate, c);
    return;
  }
  Conn* o = c->other;
  if (!o) {
    // Bytes before the other side came are not for anyone.
    uint8_t junk[512];
    ssize_t n = recv(c->fd, junk, sizeof(junk), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) Drop(c);
    return;
  }
  if (o->out.size() >= kMaxPending) return;  // the other side reads slowly
  uint8_t buf[16384];
  ssize_t n = recv(c->fd, buf, sizeof(buf), MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    Drop(c);
    return;
  }
  if (n < 0) return;
  o->out.insert(o->out.end(), buf, buf + n);
  stats_.forwarded += n;
  if (!Flush(o)) Drop(o);
}

void TcpRelay::Loop() {
  for (;;) {
    std::vector<pollfd> fds{{fd_, POLLIN, 0}};
    std::vector<Conn*> order;
    for (auto& c : conns_) {
      short ev = 0;
      if (!c->other || c->other->out.size() < kMaxPending) ev |= POLLIN;
      if (!c->out.empty()) ev |= POLLOUT;
      fds.push_back({c->fd, ev, 0});
      order.push_back(c.get());
    }
    int r = poll(fds.data(), fds.size(), kPollMs);
    std::lock_guard<std::mutex> g(mu_);
    if (stop_) return;
    if (r > 0 && (fds[0].revents & POLLIN)) OnAccept();
    for (size_t i = 0; i < order.size(); ++i) {
      Conn* c = order[i];
      short rev = fds[i + 1].revents;
      if (c->fd < 0 || !rev) continue;
      if ((rev & POLLOUT) && !Flush(c)) {
        Drop(c);
        continue;
      }
      if (rev & (POLLIN | POLLHUP | POLLERR)) OnRead(c);
    }
    const uint32_t now = p2p::TickMs();
    // A connection must ask within 5 s, and finds its other side within 10.
    for (auto& c : conns_)
      if (c->fd >= 0 && !c->other && now - c->since > (c->asked ? 2 : 1) * kAskWithinMs) {
        ++stats_.refused;
        Drop(c.get());
      }
    // A joined pair ends together; the other side's pointer is cleared by Drop.
    std::erase_if(conns_, [](const std::unique_ptr<Conn>& c) { return c->fd < 0 && !c->other; });
  }
}

}  // namespace rdvsim
