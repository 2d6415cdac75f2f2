#include "tools/impair/impair_proxy.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>
#include <unordered_map>
#include <vector>

namespace impair {
namespace {

enum Dir { kUp = 0, kDown = 1 };

// Datagrams waiting for their time; more are counted as errors rather than held without bound.
constexpr size_t kMaxQueued = 1 << 16;
// Datagrams read from one socket before the others get a turn.
constexpr int kReadBatch = 64;
constexpr size_t kMaxDatagram = 65536;

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool IsLoopback(const sockaddr_in& a) { return (ntohl(a.sin_addr.s_addr) >> 24) == 127; }

std::string FormatAddress(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof(ip));
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

uint64_t FlowKey(const sockaddr_in& a) {
  return (static_cast<uint64_t>(a.sin_addr.s_addr) << 16) | a.sin_port;
}

// Large buffers so that a burst is not lost in the kernel before the relay reads it.
void SetBuffers(int fd) {
  int size = 4 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size)) != 0)
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
}

bool ValidProbability(double p) { return p >= 0 && p <= 1; }  // false for NaN too

struct AtomicCounters {
  std::atomic<uint64_t> received{0}, forwarded{0}, dropped{0}, duplicated{0}, reordered{0}, errors{0};

  DirectionCounters Load() const {
    DirectionCounters c;
    c.received = received.load(std::memory_order_relaxed);
    c.forwarded = forwarded.load(std::memory_order_relaxed);
    c.dropped = dropped.load(std::memory_order_relaxed);
    c.duplicated = duplicated.load(std::memory_order_relaxed);
    c.reordered = reordered.load(std::memory_order_relaxed);
    c.errors = errors.load(std::memory_order_relaxed);
    return c;
  }
};

void Bump(std::atomic<uint64_t>& c) { c.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

// ---- dice ----

ImpairDice::ImpairDice(const Impairment& impairment, uint64_t seed) : imp_(impairment), rng_(seed) {}

double ImpairDice::Unit() { return static_cast<double>(rng_() >> 11) * 0x1.0p-53; }

int64_t ImpairDice::Delay() {
  uint64_t r = rng_();
  int64_t us = static_cast<int64_t>(imp_.delay_ms) * 1000;
  if (imp_.jitter_ms > 0) {
    int64_t j = static_cast<int64_t>(imp_.jitter_ms) * 1000;
    us += static_cast<int64_t>(r % static_cast<uint64_t>(2 * j + 1)) - j;
  }
  return std::max<int64_t>(us, 0);
}

ImpairDice::Decision ImpairDice::Next() {
  Decision d;
  d.drop = Unit() < imp_.drop;
  d.duplicate = Unit() < imp_.duplicate;
  d.reorder = Unit() < imp_.reorder;
  d.delay_us = Delay();
  d.dup_delay_us = Delay();
  return d;
}

// ---- state shared between the owner and the relay thread ----

struct ImpairProxy::Shared {
  AtomicCounters dir[2];
  int listen_fd = -1;
  int wake_fd = -1;
  std::atomic<bool> stop{false};

  ~Shared() {
    if (listen_fd >= 0) close(listen_fd);
    if (wake_fd >= 0) close(wake_fd);
  }
};

// ---- the relay loop, owned by the relay thread ----

struct ImpairProxy::Loop {
  struct Packet {
    int64_t due_us;
    uint64_t seq;
    int dir;
    uint64_t flow;
    std::vector<uint8_t> data;
  };
  // Earliest due first; equal times keep their order.
  struct Later {
    bool operator()(const Packet& a, const Packet& b) const {
      return a.due_us != b.due_us ? a.due_us > b.due_us : a.seq > b.seq;
    }
  };
  struct Held {
    bool active = false;
    int64_t deadline_us = 0;
    int copies = 0;
    int64_t due_us[2] = {0, 0};
    std::vector<uint8_t> data;
  };
  struct Flow {
    sockaddr_in client{};
    int fd = -1;
    int64_t last_us = 0;
    size_t pending = 0;  // packets of this flow in the queue
    Held held[2];
  };

  Loop(const ProxyConfig& config, const sockaddr_in& upstream, Shared& shared, std::atomic<size_t>& mappings)
      : config_(config),
        upstream_(upstream),
        shared_(shared),
        mappings_(mappings),
        dice_{ImpairDice(config.up, config.seed), ImpairDice(config.down, config.seed ^ 0x9E3779B97F4A7C15ull)},
        buf_(kMaxDatagram) {}

  ~Loop() {
    for (auto& [key, flow] : flows_) close(flow.fd);
    mappings_.store(0, std::memory_order_relaxed);
  }

  void Run() {
    std::vector<pollfd> fds;
    std::vector<uint64_t> keys;
    while (!shared_.stop.load(std::memory_order_acquire)) {
      int64_t now = NowUs();
      ReleaseOverdue(now);
      SendDue(now);
      ExpireIdle(now);

      fds.clear();
      keys.clear();
      fds.push_back({shared_.wake_fd, POLLIN, 0});
      fds.push_back({shared_.listen_fd, POLLIN, 0});
      for (auto& [key, flow] : flows_) {
        fds.push_back({flow.fd, POLLIN, 0});
        keys.push_back(key);
      }
      int64_t wake = NextWake();
      timespec ts{};
      timespec* timeout = nullptr;
      if (wake != std::numeric_limits<int64_t>::max()) {
        int64_t wait = std::max<int64_t>(wake - NowUs(), 0);
        ts.tv_sec = wait / 1000000;
        ts.tv_nsec = (wait % 1000000) * 1000;
        timeout = &ts;
      }
      int n = ppoll(fds.data(), fds.size(), timeout, nullptr);
      if (n < 0) {
        if (errno == EINTR) continue;
        std::perror("impair: poll");
        return;
      }
      if (n == 0) continue;
      if (fds[0].revents) {
        uint64_t v;
        [[maybe_unused]] ssize_t r = read(shared_.wake_fd, &v, sizeof(v));
        continue;  // the loop condition sees the stop flag
      }
      if (fds[1].revents) ReadClients();
      for (size_t i = 0; i < keys.size(); ++i)
        if (fds[i + 2].revents) ReadUpstream(keys[i]);
    }
  }

 private:
  AtomicCounters& Count(int dir) { return shared_.dir[dir]; }

  void ReadClients() {
    for (int i = 0; i < kReadBatch; ++i) {
      sockaddr_in from{};
      socklen_t len = sizeof(from);
      ssize_t n = recvfrom(shared_.listen_fd, buf_.data(), buf_.size(), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      Bump(Count(kUp).received);
      if (len != sizeof(from) || from.sin_family != AF_INET) {
        Bump(Count(kUp).errors);
        continue;
      }
      uint64_t key = FlowKey(from);
      Flow* flow = FindOrOpen(key, from);
      if (!flow) {
        Bump(Count(kUp).errors);
        continue;
      }
      int64_t now = NowUs();
      flow->last_us = now;
      Handle(kUp, key, *flow, static_cast<size_t>(n), now);
    }
  }

  void ReadUpstream(uint64_t key) {
    auto it = flows_.find(key);
    if (it == flows_.end()) return;
    Flow& flow = it->second;
    for (int i = 0; i < kReadBatch; ++i) {
      ssize_t n = recv(flow.fd, buf_.data(), buf_.size(), MSG_DONTWAIT);
      if (n < 0) {
        // A refused earlier send (nobody listening upstream) is reported here; carry on.
        if (errno == EINTR || errno == ECONNREFUSED) continue;
        return;
      }
      Bump(Count(kDown).received);
      int64_t now = NowUs();
      flow.last_us = now;
      Handle(kDown, key, flow, static_cast<size_t>(n), now);
    }
  }

  Flow* FindOrOpen(uint64_t key, const sockaddr_in& client) {
    auto it = flows_.find(key);
    if (it != flows_.end()) return &it->second;
    if (flows_.size() >= config_.max_mappings) return nullptr;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    SetBuffers(fd);
    // Connected: the kernel passes only the upstream's replies to this socket.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&upstream_), sizeof(upstream_)) != 0) {
      close(fd);
      return nullptr;
    }
    Flow& flow = flows_[key];
    flow.client = client;
    flow.fd = fd;
    mappings_.store(flows_.size(), std::memory_order_relaxed);
    return &flow;
  }

  void Handle(int dir, uint64_t key, Flow& flow, size_t size, int64_t now) {
    ImpairDice::Decision d = dice_[dir].Next();
    AtomicCounters& c = Count(dir);
    if (d.drop) {
      Bump(c.dropped);
      return;
    }
    if (d.duplicate) Bump(c.duplicated);
    const int copies = d.duplicate ? 2 : 1;
    const int64_t due[2] = {now + d.delay_us, now + d.dup_delay_us};
    Held& held = flow.held[dir];
    if (d.reorder && !held.active) {
      held.active = true;
      held.deadline_us = now + static_cast<int64_t>(config_.hold_ms) * 1000;
      held.copies = copies;
      held.due_us[0] = due[0];
      held.due_us[1] = due[1];
      held.data.assign(buf_.begin(), buf_.begin() + static_cast<ptrdiff_t>(size));
      return;
    }
    int64_t last = due[0];
    for (int i = 0; i < copies; ++i) {
      Enqueue(dir, key, flow, std::vector<uint8_t>(buf_.begin(), buf_.begin() + static_cast<ptrdiff_t>(size)),
              due[i]);
      last = std::max(last, due[i]);
    }
    if (held.active) {
      Bump(c.reordered);
      Release(dir, key, flow, last);
    }
  }

  // Queues the held datagram to leave no earlier than `after`, behind everything queued so far.
  void Release(int dir, uint64_t key, Flow& flow, int64_t after) {
    Held& held = flow.held[dir];
    held.active = false;
    for (int i = 0; i < held.copies; ++i) {
      int64_t due = std::max(held.due_us[i], after);
      if (i + 1 < held.copies)
        Enqueue(dir, key, flow, held.data, due);
      else
        Enqueue(dir, key, flow, std::move(held.data), due);
    }
    held.data.clear();
  }

  void Enqueue(int dir, uint64_t key, Flow& flow, std::vector<uint8_t> data, int64_t due) {
    if (queue_.size() >= kMaxQueued) {
      Bump(Count(dir).errors);
      return;
    }
    queue_.push_back(Packet{due, next_seq_++, dir, key, std::move(data)});
    std::push_heap(queue_.begin(), queue_.end(), Later());
    ++flow.pending;
  }

  void ReleaseOverdue(int64_t now) {
    for (auto& [key, flow] : flows_)
      for (int dir = 0; dir < 2; ++dir)
        if (flow.held[dir].active && flow.held[dir].deadline_us <= now) Release(dir, key, flow, now);
  }

  void SendDue(int64_t now) {
    while (!queue_.empty() && queue_.front().due_us <= now) {
      std::pop_heap(queue_.begin(), queue_.end(), Later());
      Packet p = std::move(queue_.back());
      queue_.pop_back();
      AtomicCounters& c = Count(p.dir);
      auto it = flows_.find(p.flow);
      if (it == flows_.end()) {
        Bump(c.errors);
        continue;
      }
      Flow& flow = it->second;
      --flow.pending;
      ssize_t n;
      do {
        if (p.dir == kUp)
          n = send(flow.fd, p.data.data(), p.data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        else
          n = sendto(shared_.listen_fd, p.data.data(), p.data.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&flow.client), sizeof(flow.client));
      } while (n < 0 && errno == EINTR);
      Bump(n == static_cast<ssize_t>(p.data.size()) ? c.forwarded : c.errors);
    }
  }

  bool Idle(const Flow& flow) const { return flow.pending == 0 && !flow.held[0].active && !flow.held[1].active; }

  int64_t IdleDeadline(const Flow& flow) const {
    return flow.last_us + static_cast<int64_t>(config_.idle_ms) * 1000;
  }

  void ExpireIdle(int64_t now) {
    for (auto it = flows_.begin(); it != flows_.end();) {
      if (Idle(it->second) && IdleDeadline(it->second) <= now) {
        close(it->second.fd);
        it = flows_.erase(it);
      } else {
        ++it;
      }
    }
    mappings_.store(flows_.size(), std::memory_order_relaxed);
  }

  int64_t NextWake() const {
    int64_t wake = std::numeric_limits<int64_t>::max();
    if (!queue_.empty()) wake = queue_.front().due_us;
    for (const auto& [key, flow] : flows_) {
      for (const Held& h : flow.held)
        if (h.active) wake = std::min(wake, h.deadline_us);
      if (Idle(flow)) wake = std::min(wake, IdleDeadline(flow));
    }
    return wake;
  }

  const ProxyConfig& config_;
  const sockaddr_in upstream_;
  Shared& shared_;
  std::atomic<size_t>& mappings_;
  ImpairDice dice_[2];
  std::unordered_map<uint64_t, Flow> flows_;
  std::vector<Packet> queue_;  // a heap under Later
  uint64_t next_seq_ = 0;
  std::vector<uint8_t> buf_;
};

// ---- the proxy ----

ImpairProxy::ImpairProxy(ProxyConfig config) : config_(std::move(config)), shared_(std::make_unique<Shared>()) {}

ImpairProxy::~ImpairProxy() { Stop(); }

bool ImpairProxy::ParseAddress(const std::string& text, sockaddr_in* out, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = "bad address \"" + text + "\": " + why;
    return false;
  };
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return fail("expected A.B.C.D:PORT");
  std::string host = text.substr(0, colon), port = text.substr(colon + 1);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) return fail("not a numeric IPv4 address");
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return fail("bad port");
  unsigned long p = std::strtoul(port.c_str(), nullptr, 10);
  if (p > 65535) return fail("bad port");
  a.sin_port = htons(static_cast<uint16_t>(p));
  *out = a;
  return true;
}

std::string ImpairProxy::CheckAddress(const std::string& text, bool allow_any, bool port_needed, sockaddr_in* out) {
  std::string why;
  if (!ParseAddress(text, out, &why)) return why;
  if (port_needed && out->sin_port == 0) return text + ": port must not be 0";
  if (!allow_any && !IsLoopback(*out)) return text + " is not in 127.0.0.0/8";
  return "";
}

bool ImpairProxy::Start(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (started_) return fail("already started");
  started_ = true;
  sockaddr_in upstream{};
  if (std::string why = CheckAddress(config_.listen, config_.allow_any, false, &listen_addr_); !why.empty())
    return fail("listen address " + why);
  if (std::string why = CheckAddress(config_.upstream, config_.allow_any, true, &upstream); !why.empty())
    return fail("upstream address " + why);
  for (const Impairment* imp : {&config_.up, &config_.down})
    if (!ValidProbability(imp->drop) || !ValidProbability(imp->duplicate) || !ValidProbability(imp->reorder))
      return fail("probabilities must lie between 0 and 1");
  if (config_.max_mappings == 0) return fail("max_mappings must be at least 1");

  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  shared_->listen_fd = fd;
  SetBuffers(fd);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&listen_addr_), sizeof(listen_addr_)) != 0)
    return fail("cannot listen on " + config_.listen + ": " + std::strerror(errno));
  socklen_t len = sizeof(listen_addr_);
  getsockname(fd, reinterpret_cast<sockaddr*>(&listen_addr_), &len);
  shared_->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (shared_->wake_fd < 0) return fail(std::string("eventfd: ") + std::strerror(errno));

  try {
    thread_ = std::thread([this, upstream] {
      pthread_setname_np(pthread_self(), "impair_loop");
      Loop loop(config_, upstream, *shared_, mappings_);
      loop.Run();
    });
  } catch (const std::system_error& e) {
    return fail(std::string("cannot start the relay thread: ") + e.what());
  }
  port_ = ntohs(listen_addr_.sin_port);
  return true;
}

void ImpairProxy::Stop() {
  if (!thread_.joinable()) return;
  shared_->stop.store(true, std::memory_order_release);
  uint64_t one = 1;
  [[maybe_unused]] ssize_t r = write(shared_->wake_fd, &one, sizeof(one));
  thread_.join();
  close(shared_->listen_fd);
  shared_->listen_fd = -1;
}

std::string ImpairProxy::listen_address() const { return FormatAddress(listen_addr_); }

ProxyCounters ImpairProxy::counters() const {
  ProxyCounters c;
  c.up = shared_->dir[kUp].Load();
  c.down = shared_->dir[kDown].Load();
  return c;
}

std::string FormatCounters(const ProxyCounters& counters) {
  std::string out;
  for (int dir = 0; dir < 2; ++dir) {
    const DirectionCounters& c = dir == kUp ? counters.up : counters.down;
    char line[256];
    std::snprintf(line, sizeof(line),
                  "%s received=%llu forwarded=%llu dropped=%llu duplicated=%llu reordered=%llu errors=%llu\n",
                  dir == kUp ? "up" : "down", static_cast<unsigned long long>(c.received),
                  static_cast<unsigned long long>(c.forwarded), static_cast<unsigned long long>(c.dropped),
                  static_cast<unsigned long long>(c.duplicated), static_cast<unsigned long long>(c.reordered),
                  static_cast<unsigned long long>(c.errors));
    out += line;
  }
  return out;
}

}  // namespace impair
