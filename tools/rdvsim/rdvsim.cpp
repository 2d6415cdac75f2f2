#include "tools/rdvsim/rdvsim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>

#include "p2p/cipher.h"
#include "p2p/connect.h"
#include "p2p/msg_io.h"
#include "p2p/sock.h"
#include "p2p/sys.h"
#include "tools/rdvsim/relay.h"

namespace rdvsim {

namespace {

constexpr int kPollMs = 20;
constexpr size_t kMaxConnBytes = 64 * 1024;

sockaddr_in Make(const std::string& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

int BindSocket(int type, const std::string& ip, uint16_t port, uint16_t* bound) {
  int s = socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return -1;
  int on = 1;
  if (type == SOCK_STREAM) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in a = Make(ip, port);
  socklen_t l = sizeof(a);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      (type == SOCK_STREAM && listen(s, 16) != 0) ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &l) != 0) {
    close(s);
    return -1;
  }
  if (bound) *bound = ntohs(a.sin_port);
  return s;
}

bool ParseAddr(const std::string& text, sockaddr_in* out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  *out = Make(text.substr(0, colon), 0);
  int port = std::atoi(text.c_str() + colon + 1);
  if (out->sin_addr.s_addr == 0 || port <= 0 || port > 65535) return false;
  out->sin_port = htons(static_cast<uint16_t>(port));
  return true;
}

std::string DidText(const RVP_DidBlock& did) {
  char text[32];
  return RVP_DidText(did, text, sizeof(text)) < 0 ? std::string() : std::string(text);
}

// The DID text a message carries, for the types that carry one.
std::string DidOf(const RVP_Msg& m) {
  if (m.did.prefix[0] == 0 && m.did.suffix[0] == 0) return {};
  return DidText(m.did);
}

bool IsTcpConnectReq(uint8_t t) {
  return t == MsgTcpConnectReq || t == MsgTcpConnectReqKeyed || t == MsgTcpConnectReqWakeup ||
         t == MsgTcpConnectReqKeyedWakeup;
}

}  // namespace

std::string AddrText(const sockaddr_in& a) {
  char ip[16];
  return std::string(RVP_AddrText(a, ip)) + ":" + std::to_string(ntohs(a.sin_port));
}

Server::Server(Config config) : config_(std::move(config)) {
  for (auto& row : udp_)
    for (int& fd : row) fd = -1;
  for (int& fd : listen_) fd = -1;
}

Server::~Server() { Stop(); }

bool Server::Bind(std::string* why) {
  std::mt19937 rng(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 200; ++attempt) {
    CloseAll();
    uint16_t p = config_.udp_port ? config_.udp_port : static_cast<uint16_t>(30000 + rng() % 30000);
    bool ok = true;
    for (int i = 0; i < kServers && ok; ++i)
      for (int k = 0; k < kUdpPorts && ok; ++k)
        ok =
            (udp_[i][k] = BindSocket(SOCK_DGRAM, config_.ips[i], static_cast<uint16_t>(p + k), nullptr)) >= 0;
    uint16_t t = config_.tcp_port;
    for (int i = 0; i < kServers && ok; ++i)
      ok = (listen_[i] = BindSocket(SOCK_STREAM, config_.ips[i], t, &t)) >= 0;
    if (ok) {
      udp_port_ = p;
      tcp_port_ = t;
      return true;
    }
    if (config_.udp_port && config_.tcp_port) break;  // fixed ports: no other choice
  }
  CloseAll();
  if (why) *why = std::string("cannot bind the server ports: ") + std::strerror(errno);
  return false;
}

void Server::CloseAll() {
  for (auto& row : udp_)
    for (int& fd : row) {
      if (fd >= 0) close(fd);
      fd = -1;
    }
  for (int& fd : listen_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  for (Conn& c : conns_) close(c.fd);
  conns_.clear();
}

bool Server::Start(std::string* why) {
  if (thread_.joinable()) return true;
  if (!Bind(why)) return false;
  stop_ = false;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void Server::Stop() {
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
  }
  if (thread_.joinable()) thread_.join();
  CloseAll();
}

std::string Server::InitString() const {
  std::string list;
  for (const std::string& ip : config_.ips) list += ip + ",";
  return RVP_InitStringEncode(list, config_.key);
}

void Server::SetPrinter(std::function<void(const std::string&)> print, bool verbose) {
  std::lock_guard<std::mutex> g(mu_);
  print_ = std::move(print);
  verbose_ = verbose;
}

void Server::AttachRelays(UdpRelay* udp, TcpRelay* tcp) {
  std::lock_guard<std::mutex> g(mu_);
  relays_.clear();
  if (udp) relays_.push_back(udp->address());
  tcp_relay_obj_ = tcp;
  if (tcp)
    tcp_relay_ = tcp->address();
  else
    tcp_relay_.reset();
}

void Server::Print(const std::string& line) {
  if (print_) print_(line);
}

std::vector<Received> Server::Log() {
  std::lock_guard<std::mutex> g(mu_);
  return log_;
}

std::vector<Report> Server::Reports() {
  std::lock_guard<std::mutex> g(mu_);
  return reports_;
}

void Server::ClearLog() {
  std::lock_guard<std::mutex> g(mu_);
  log_.clear();
  reports_.clear();
}

bool Server::WaitFor(const std::function<bool(const std::vector<Received>&)>& pred, unsigned ms) {
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return pred(log_); });
}

void Server::Note(Received r) {
  if (verbose_) {
    char line[160];
    std::snprintf(line, sizeof(line), "rx server=%d %s port+%d type=0x%02X from=%s%s%s%s", r.server + 1,
                  r.tcp ? "tcp" : "udp", r.port_index, r.type, AddrText(r.from).c_str(),
                  r.did.empty() ? "" : " did=", r.did.c_str(), r.accepted ? "" : " refused");
    Print(line);
  }
  log_.push_back(std::move(r));
  cv_.notify_all();
}

const Server::Script* Server::ScriptOf(const std::string& did) const {
  auto it = scripts_.find(did);
  return it == scripts_.end() ? nullptr : &it->second;
}

std::string Server::Command(const std::string& line) {
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  std::vector<std::string> args;
  for (std::string a; in >> a;) args.push_back(a);
  auto number = [](const std::string& s, long* v) {
    char* end = nullptr;
    *v = std::strtol(s.c_str(), &end, 0);
    return !s.empty() && *end == 0;
  };
  std::lock_guard<std::mutex> g(mu_);
  long v = 0, w = 0;
  if (cmd.empty() || cmd[0] == '#') return {};
  if (cmd == "silent" && args.size() == 2 && (args[1] == "on" || args[1] == "off")) {
    bool on = args[1] == "on";
    if (args[0] == "all") {
      for (bool& s : silent_) s = on;
      return {};
    }
    if (number(args[0], &v) && v >= 1 && v <= kServers) {
      silent_[v - 1] = on;
      return {};
    }
  } else if (cmd == "nat" && args.size() == 1) {
    for (Map& m : maps_) m = Map{};
    for (bool& s : silent_) s = false;
    uint32_t wan = inet_addr("203.0.113.10");
    if (args[0] == "off") return {};
    if (number(args[0], &v) && v >= 0 && v <= 4) {
      switch (v) {
        case 0:  // one server answers
          silent_[1] = silent_[2] = true;
          break;
        case 1:  // an answer from another port
          maps_[0].alt_port = true;
          break;
        case 2:  // one mapping for every server
          for (Map& m : maps_) m.wan = wan;
          break;
        case 3:  // a mapped port per server
          for (int i = 0; i < kServers; ++i) {
            maps_[i].wan = wan;
            maps_[i].port_delta = 1000 * i;
          }
          break;
        case 4:  // a WAN address per server
          for (int i = 0; i < kServers; ++i) maps_[i].wan = htonl(ntohl(wan) + 10 * static_cast<uint32_t>(i));
          break;
      }
      return {};
    }
  } else if ((cmd == "state" || cmd == "login") && args.size() == 2) {
    Script& s = scripts_[args[0]];
    std::optional<uint8_t>& slot = cmd == "state" ? s.state : s.login;
    if (args[1] == "clear") {
      slot.reset();
      return {};
    }
    if (number(args[1], &v) && v >= 0 && v <= 255) {
      slot = static_cast<uint8_t>(v);
      return {};
    }
  } else if (cmd == "devstate" && (args.size() == 3 || (args.size() == 2 && args[1] == "clear"))) {
    Script& s = scripts_[args[0]];
    if (args.size() == 2) {
      s.devstate.reset();
      return {};
    }
    if (number(args[1], &v) && number(args[2], &w)) {
      s.devstate = std::make_pair(static_cast<int32_t>(v), static_cast<int32_t>(w));
      return {};
    }
  } else if (cmd == "tcpstate" && (args.size() == 2 || args.size() == 3)) {
    Script& s = scripts_[args[0]];
    if (args[1] == "clear") {
      s.tcp_state.reset();
      return {};
    }
    if (number(args[1], &v) && v >= 0 && v <= 255 &&
        (args.size() == 2 || (number(args[2], &w) && w >= 0 && w <= 255))) {
      s.tcp_state = static_cast<uint8_t>(v);
      s.tcp_next = args.size() == 3 ? static_cast<uint8_t>(w) : 0;
      return {};
    }
  } else if (cmd == "relays") {
    std::vector<sockaddr_in> list;
    for (const std::string& a : args) {
      sockaddr_in r;
      if (!ParseAddr(a, &r)) return "bad address " + a;
      list.push_back(r);
    }
    if (list.size() > p2p::kMaxListAddrs) return "too many relays";
    relays_ = list;
    return {};
  } else if (cmd == "tcprelay" && args.size() == 1) {
    sockaddr_in r;
    if (args[0] == "off") {
      tcp_relay_.reset();
      return {};
    }
    if (ParseAddr(args[0], &r)) {
      tcp_relay_ = r;
      return {};
    }
  } else if (cmd == "offer" && args.size() == 1 &&
             (args[0] == "tcp" || args[0] == "udp" || args[0] == "none")) {
    offer_ = args[0] == "tcp" ? Offer::Tcp : args[0] == "udp" ? Offer::Udp : Offer::None;
    return {};
  } else if (cmd == "ticket" && args.size() == 1 && number(args[0], &v)) {
    next_ticket_ = static_cast<uint32_t>(v);
    return {};
  } else if (cmd == "intro" && args.size() == 1) {
    const std::string& a = args[0];
    if (a == "both" || a == "burst" || a == "list" || a == "none") {
      intro_ = a == "both"    ? Intro::Both
               : a == "burst" ? Intro::Burst
               : a == "list"  ? Intro::List
                              : Intro::None;
      return {};
    }
  } else if (cmd == "bridge" && args.size() >= 4 && number(args[1], &v) && v >= 0 && v <= 255 &&
             number(args[2], &w) && w >= 0 && w <= 65535) {
    std::string data;
    for (size_t i = 4; i < args.size(); ++i) data += (i > 4 ? " " : "") + args[i];
    return SendBridge(args[0], static_cast<uint8_t>(v), static_cast<uint16_t>(w), args[3], data);
  } else if (cmd == "servicestart" && args.size() == 1) {
    auto dev = devices_.find(args[0]);
    if (dev == devices_.end() || dev->second.At(0).sin_addr.s_addr == 0) return "no device " + args[0];
    RVP_Msg m;
    RVP_MsgInit(&m, MsgServiceStart);
    SendUdp(0, 0, dev->second.At(0), m);
    return {};
  } else if (cmd == "forget" && args.size() == 1) {
    devices_.erase(args[0]);
    return {};
  }
  return "cannot do: " + line;
}

std::string Server::SendBridge(const std::string& did, uint8_t kind, uint16_t port, const std::string& peer,
                               const std::string& data) {
  auto dev = devices_.find(did);
  if (dev == devices_.end()) return "no device " + did;
  RVP_Msg m;
  RVP_MsgInit(&m, MsgBridge);
  RVP_DidParts parts;
  if (RVP_DidSplit(did.c_str(), &parts) != 0 ||
      RVP_DidMake(&m.did, parts.prefix, static_cast<uint32_t>(parts.serial), parts.suffix) != 0)
    return "bad DID " + did;
  if (peer.size() > p2p::kBridgePeerField - 1) return "peer text too long";
  std::memcpy(m.peer, peer.data(), peer.size());
  m.bridge_kind = kind;
  m.port = port;
  m.data = reinterpret_cast<const uint8_t*>(data.data());
  m.data_len = static_cast<uint16_t>(data.size());
  const sockaddr_in to = dev->second.At(0);
  if (to.sin_addr.s_addr != 0)
    SendUdp(0, 0, to, m);
  else if (dev->second.tcp_fd >= 0)
    SendTcp(dev->second.tcp_fd, m);
  else
    return "no way to " + did;
  return {};
}

void Server::SendUdp(int server, int port_index, const sockaddr_in& to, const RVP_Msg& m) {
  RVP_SendMsg(config_.key.c_str(), udp_[server][port_index], to, m);
}

void Server::SendTcp(int fd, const RVP_Msg& m) {
  uint8_t msg[p2p::kMaxWrittenMsg];
  int n = RVP_MsgBuild(m, msg, sizeof(msg));
  if (n > 0) RVP_TcpSendFrame(config_.key.c_str(), n, fd, msg, 1000, nullptr);
}

void Server::Introduce(int server, const RVP_DidBlock& did_block, const sockaddr_in& client,
                       const sockaddr_in& client_local) {
  auto it = devices_.find(DidText(did_block));
  if (it == devices_.end() || intro_ == Intro::None) return;
  const sockaddr_in dev_addr = it->second.At(server);
  if (dev_addr.sin_addr.s_addr == 0) return;
  const Device& dev = it->second;
  RVP_Msg m;
  if (intro_ == Intro::Both || intro_ == Intro::List) {
    RVP_MsgInit(&m, MsgPeerListToClient);
    m.did = did_block;
    m.count = 2;
    m.list[0] = dev_addr;
    m.list[1] = dev.local;
    SendUdp(server, 0, client, m);
    RVP_MsgInit(&m, MsgPeerListToDevice);
    m.did = did_block;
    m.count = 2;
    m.list[0] = client;
    m.list[1] = client_local;
    SendUdp(server, 0, dev_addr, m);
  }
  if (intro_ == Intro::Both || intro_ == Intro::Burst) {
    RVP_MsgInit(&m, MsgPortBurstReq);
    m.addr[0] = dev_addr;
    SendUdp(server, 0, client, m);
    m.addr[0] = client;
    SendUdp(server, 0, dev_addr, m);
  }
}

void Server::OfferTcpRelay(int server, const RVP_DidBlock& did_block, int client_fd) {
  if (!tcp_relay_ || offer_ == Offer::None) return;
  const std::string did = DidText(did_block);
  RVP_Msg m;
  RVP_MsgInit(&m, MsgTcpRelayOffer);
  m.did = did_block;
  m.ticket = next_ticket_++;
  m.addr24[0] = RVP_Addr24FromV4(*tcp_relay_);
  // A relay of ours joins only the tickets offered (one set by command instead is not ours).
  if (tcp_relay_obj_ && tcp_relay_->sin_port == tcp_relay_obj_->address().sin_port &&
      tcp_relay_->sin_addr.s_addr == tcp_relay_obj_->address().sin_addr.s_addr)
    tcp_relay_obj_->Allow(m.ticket);
  // The client over its link (or by UDP), the device over its own link or by UDP.
  auto client = clients_.find(did);
  if (offer_ == Offer::Tcp) {
    SendTcp(client_fd, m);
  } else if (client != clients_.end()) {
    SendUdp(server, 0, client->second, m);
  }
  auto dev = devices_.find(did);
  if (dev == devices_.end()) return;
  if (offer_ == Offer::Tcp && dev->second.tcp_fd >= 0)
    SendTcp(dev->second.tcp_fd, m);
  else if (dev->second.At(server).sin_addr.s_addr != 0)
    SendUdp(server, 0, dev->second.At(server), m);
}

void Server::OnUdp(int server, int port_index) {
  sockaddr_in from{};
  uint8_t type;
  uint16_t len;
  uint8_t payload[p2p::kMaxPayload];
  int r = RVP_RecvMsg(config_.key.c_str(), &from, udp_[server][port_index], 0, &type, &len, payload,
                      sizeof(payload));
  if (r != 0) return;  // not a message of ours (or nothing)
  RVP_Msg m;
  bool ok = RVP_MsgParsePayload(type, payload, len, &m) == kMsgOk;
  Received rec;
  rec.server = server;
  rec.port_index = port_index;
  rec.type = type;
  rec.from = from;
  rec.accepted = ok;
  rec.did = ok ? DidOf(m) : std::string();
  rec.payload.assign(payload, payload + len);
  const std::string did = rec.did;
  Note(std::move(rec));
  if (!ok || silent_[server]) return;

  const Script* sc = ScriptOf(did);
  auto dev = devices_.find(did);
  bool online = dev != devices_.end();
  RVP_Msg a;
  switch (type) {
    case MsgHello: {
      RVP_MsgInit(&a, MsgHelloAck);
      a.addr[0] = from;
      const Map& map = maps_[server];
      if (map.wan) a.addr[0].sin_addr.s_addr = map.wan;
      a.addr[0].sin_port = htons(static_cast<uint16_t>(ntohs(from.sin_port) + map.port_delta));
      SendUdp(server, map.alt_port ? 1 : port_index, from, a);
      break;
    }
    case MsgDevLogin:
    case MsgDevLoginKeyed: {
      uint8_t result = sc && sc->login ? *sc->login : 0;
      if (result == 0) {
        Device& d = devices_[did];
        d.addr[server] = from;
        d.local = m.addr[0];
        d.since = p2p::NowSec();
      }
      RVP_MsgInit(&a, type == MsgDevLogin ? MsgLoginAck : MsgLoginAckSecure);
      a.state = result;
      SendUdp(server, port_index, from, a);
      break;
    }
    case MsgConnectReq:
    case MsgConnectReqWakeup:
    case MsgConnectReqKeyed:
    case MsgConnectReqKeyedWakeup: {
      clients_[did] = from;
      RVP_MsgInit(&a, MsgConnectReqAck);
      a.state = sc && sc->state ? *sc->state : online ? 0 : 254;
      SendUdp(server, port_index, from, a);
      if (a.state == 0) Introduce(server, m.did, from, m.addr[0]);
      break;
    }
    case MsgQueryDevice:
    case MsgQueryDeviceKeyed: {
      RVP_MsgInit(&a, MsgDeviceState);
      a.did = m.did;
      if (online) {
        a.addr[0] = dev->second.At(server);
        a.addr[1] = dev->second.local;
      }
      a.value[0] = -1;
      a.value[1] = online ? static_cast<int32_t>(p2p::NowSec() - dev->second.since) : -1;
      if (sc && sc->devstate) {
        a.value[0] = sc->devstate->first;
        a.value[1] = sc->devstate->second;
      }
      a.state = sc && sc->state ? *sc->state : online ? 0 : 254;
      SendUdp(server, port_index, from, a);
      break;
    }
    case MsgRelayReq:
    case MsgRelayReqWakeup:
    case MsgRelayReqKeyed:
    case MsgRelayReqKeyedWakeup:
      if (sc && sc->state && *sc->state != 0) break;
      RVP_MsgInit(&a, MsgRelayList);
      a.count = static_cast<uint16_t>(relays_.size());
      for (size_t i = 0; i < relays_.size(); ++i) a.list[i] = relays_[i];
      SendUdp(server, port_index, from, a);
      break;
    case MsgRelayTo: {
      RVP_MsgInit(&a, MsgRelayToAck);
      SendUdp(server, port_index, from, a);
      RVP_MsgInit(&a, MsgRelayPkt);
      a.addr[0] = m.addr[0];
      a.ticket = m.ticket;
      SendUdp(server, 0, from, a);
      if (online && dev->second.At(server).sin_addr.s_addr != 0) SendUdp(server, 0, dev->second.At(server), a);
      break;
    }
    case MsgConnectReport:
    case MsgRelayedPunchReport: {
      Report rep;
      rep.server = server;
      rep.relayed_punch = type == MsgRelayedPunchReport;
      rep.did = did;
      rep.result = rep.relayed_punch ? static_cast<int32_t>(m.handle) : m.result;
      rep.max_sess = m.max_sess;
      rep.in_use = m.in_use;
      rep.elapsed_ms = m.elapsed_ms;
      rep.role = m.role;
      rep.session_mode = m.session_mode;
      rep.connect_mode = m.connect_mode;
      rep.probe = m.probe;
      rep.local = m.addr[0];
      rep.wan = m.addr[1];
      rep.remote = m.addr[2];
      char line[256];
      std::snprintf(line, sizeof(line),
                    "report server=%d kind=%s did=%s result=%d role=%u mode=%u connect_mode=%u probe=%u "
                    "local=%s wan=%s remote=%s",
                    server + 1, rep.relayed_punch ? "relayed-punch" : "connect", did.c_str(), rep.result,
                    rep.role, rep.session_mode, rep.connect_mode, rep.probe, AddrText(rep.local).c_str(),
                    AddrText(rep.wan).c_str(), AddrText(rep.remote).c_str());
      reports_.push_back(rep);
      Print(line);
      break;
    }
    default:
      break;
  }
}

void Server::OnAccept(int server) {
  sockaddr_in peer{};
  socklen_t l = sizeof(peer);
  int fd = accept4(listen_[server], reinterpret_cast<sockaddr*>(&peer), &l, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  Conn c;
  c.fd = fd;
  c.server = server;
  c.peer = peer;
  conns_.push_back(std::move(c));
}

void Server::HandleTcpMsg(Conn& c, const uint8_t* msg, int len) {
  uint8_t type = 0;
  uint16_t plen = 0;
  RVP_Msg m;
  bool ok = RVP_MsgHeaderRead(msg, static_cast<size_t>(len), &type, &plen) == 0 && plen + 4 == len &&
            RVP_MsgParsePayload(type, msg + 4, plen, &m) == kMsgOk;
  Received rec;
  rec.server = c.server;
  rec.tcp = true;
  rec.type = type;
  rec.from = c.peer;
  rec.accepted = ok;
  rec.did = ok ? DidOf(m) : std::string();
  if (len > 4) rec.payload.assign(msg + 4, msg + len);
  const std::string did = rec.did;
  Note(std::move(rec));
  if (!ok || silent_[c.server]) return;
  const Script* sc = ScriptOf(did);
  bool online = devices_.count(did) != 0;
  RVP_Msg a;
  if (type == MsgDevLogin || type == MsgDevLoginKeyed) {
    uint8_t result = sc && sc->login ? *sc->login : 0;
    if (result == 0) {
      Device& d = devices_[did];
      d.tcp_fd = c.fd;
      d.local = m.addr[0];
      d.since = p2p::NowSec();
    }
    RVP_MsgInit(&a, MsgLoginAckSecure);
    a.state = result;
    SendTcp(c.fd, a);
  } else if (IsTcpConnectReq(type)) {
    RVP_MsgInit(&a, MsgTcpServerState);
    a.state = sc && sc->tcp_state ? *sc->tcp_state : sc && sc->state ? *sc->state : online ? 0 : 254;
    a.state_next = sc && sc->tcp_state ? sc->tcp_next : 0;
    SendTcp(c.fd, a);
    if (a.state == 0 || a.state == 250 || a.state == 251) OfferTcpRelay(c.server, m.did, c.fd);
  }
}

void Server::Drop(Conn& c) {
  for (auto& entry : devices_)
    if (entry.second.tcp_fd == c.fd) entry.second.tcp_fd = -1;
  close(c.fd);
  c.fd = -1;
}

void Server::OnConn(Conn& c) {
  uint8_t buf[4096];
  ssize_t n = recv(c.fd, buf, sizeof(buf), MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    Drop(c);
    return;
  }
  if (n > 0) c.in.insert(c.in.end(), buf, buf + n);
  for (;;) {
    uint8_t msg[p2p::kTcpFrameBodyMax];
    size_t used = 0;
    int r = RVP_TcpFrameTake(config_.key.c_str(), false, c.in.data(), c.in.size(), msg, sizeof(msg), &used);
    if (r == -3 && c.in.size() < kMaxConnBytes) return;
    if (r < 0) {
      // A frame no server would take: drop the connection.
      Received rec;
      rec.server = c.server;
      rec.tcp = true;
      rec.from = c.peer;
      Note(std::move(rec));
      Drop(c);
      return;
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(used));
    HandleTcpMsg(c, msg, r);
  }
}

void Server::Loop() {
  for (;;) {
    std::vector<pollfd> fds;
    for (int i = 0; i < kServers; ++i) {
      for (int k = 0; k < kUdpPorts; ++k) fds.push_back({udp_[i][k], POLLIN, 0});
      fds.push_back({listen_[i], POLLIN, 0});
    }
    for (const Conn& c : conns_) fds.push_back({c.fd, POLLIN, 0});
    int r = poll(fds.data(), fds.size(), kPollMs);
    std::lock_guard<std::mutex> g(mu_);
    if (stop_) return;
    if (r <= 0) continue;
    size_t at = 0;
    for (int i = 0; i < kServers; ++i) {
      for (int k = 0; k < kUdpPorts; ++k)
        if (fds[at++].revents & POLLIN) OnUdp(i, k);
      if (fds[at++].revents & POLLIN) OnAccept(i);
    }
    size_t nconn = fds.size() - at;
    for (size_t j = 0; j < nconn && j < conns_.size(); ++j)
      if (fds[at + j].revents & (POLLIN | POLLHUP | POLLERR)) OnConn(conns_[j]);
    std::erase_if(conns_, [](const Conn& c) { return c.fd < 0; });
  }
}

}  // namespace rdvsim
