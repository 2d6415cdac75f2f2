#include "tools/camsim/webrtc_side.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "platform/event.h"
#include "sdk/net/net_codes.h"
#include "sdk/net/sha1.h"
#include "sdk/net/sockio_client.h"
#include "sdk/net/tcp_conn.h"
#include "sdk/net/ws_client.h"
#include "util/base64.h"
#include "sdk/webrtc/ov_transport.h"
#include "sdk/webrtc/ov_webrtc.h"
#include "tools/camsim/link.h"

namespace camsim {
namespace {

constexpr int kLanFrameCapacity = 256 * 1024;

std::string B64(const std::string& s) {
  std::string out(s.size() / 3 * 4 + 8, '\0');
  const int n = Base64Encode(s.data(), s.size(), out.data(), out.size());
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

std::string Unb64(const char* text) {
  std::string out(std::strlen(text) / 4 * 3 + 4, '\0');
  const int n = Base64Decode(text, out.data(), out.size());
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

std::string Print(cJSON* item) {
  char* t = cJSON_PrintUnformatted(item);
  std::string s = t ? t : "";
  cJSON_free(t);
  return s;
}

const char* Text(const cJSON* obj, const char* key) {
  const cJSON* v = cJSON_GetObjectItemCaseSensitive(obj, key);
  return cJSON_IsString(v) ? v->valuestring : "";
}

void OnLinkData(int channel, const uint8_t* bytes, int length, void* user) {
  static_cast<DataChannelDemux*>(user)->OnData(channel, bytes, length);
}

// The device link over the seven data channels of an open peer connection.
class WebrtcLink : public Link {
 public:
  explicit WebrtcLink(OvPeerConnection pc) : pc_(pc), demux_(pc) { OvWebrtcSetDataCallback(pc, OnLinkData, &demux_); }
  ~WebrtcLink() override { Close(true); }

  int Read(int channel, char* dst, int* size, int timeout_ms) override {
    const int r = demux_.Recv(channel, dst, *size, timeout_ms);
    if (r >= 0) {
      *size = r;
      return 0;
    }
    *size = 0;
    if (r == -1 || OvWebrtcGetConnStatus(pc_) < 0) return -1;
    return kLinkTimeout;
  }
  int Write(int channel, const char* p, int n) override { return OvWebrtcSend(pc_, channel, p, n); }
  int Pending(int, int* pending) override {
    *pending = 0;
    return OvWebrtcGetConnStatus(pc_) < 0 ? -1 : 0;
  }
  void Close(bool) override {
    if (closed_.exchange(true)) return;
    demux_.StopWriters();
    OvWebrtcDestroyPeerConnection(pc_);
    demux_.FreeQueues();
  }

 private:
  OvPeerConnection pc_;
  DataChannelDemux demux_;
  std::atomic<bool> closed_{false};
};

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

struct WebrtcSide::LanConn {
  std::mutex mu;
  WsConn* ws = nullptr;  // null once the reader ended
};

struct WebrtcSide::Offer {
  WebrtcSide* side = nullptr;
  std::string id, did, user;
  OvPeerConnection pc = nullptr;
  std::shared_ptr<LanConn> lan;  // null: through the push channel

  // Sends one signalling message ({"id", "type", "sdp"}) back the way the offer came.
  void Reply(const char* type, const std::string& sdp) {
    cJSON* m = cJSON_CreateObject();
    cJSON_AddStringToObject(m, "id", id.c_str());
    cJSON_AddStringToObject(m, "type", type);
    cJSON_AddStringToObject(m, "sdp", B64(sdp).c_str());
    const std::string message = Print(m);
    cJSON_Delete(m);
    cJSON* ev = cJSON_CreateObject();
    cJSON_AddStringToObject(ev, "type", "webrtc");
    cJSON_AddStringToObject(ev, "from", did.c_str());
    cJSON_AddStringToObject(ev, "to", user.c_str());
    cJSON_AddStringToObject(ev, "message", message.c_str());
    const std::string obj = Print(ev);
    cJSON_Delete(ev);
    if (lan) {
      const std::string frame = "42[\"message\"," + obj + "]";
      std::lock_guard<std::mutex> g(lan->mu);
      if (lan->ws) WsConnSend(lan->ws, kWsText, frame.data(), static_cast<int>(frame.size()), 1000);
    } else {
      const std::string text = "[\"webrtc\"," + obj + "]";
      std::lock_guard<std::mutex> g(side->push_mu_);
      if (side->push_) SockioCltSendEvent(side->push_, text.data(), static_cast<int>(text.size()), 1000);
    }
  }
};

namespace {

int OnSendMsg(OvPeerConnection, void* user, const char* kind, const char* bytes, int length) {
  auto* o = static_cast<WebrtcSide::Offer*>(user);
  const std::string text(bytes, static_cast<size_t>(length));
  if (std::strcmp(kind, "answer") == 0) {
    o->Reply("answer", text);
  } else if (std::strcmp(kind, "candidate") == 0) {
    cJSON* c = cJSON_CreateObject();
    cJSON_AddStringToObject(c, "candidate", text.c_str());
    cJSON_AddStringToObject(c, "sdpMid", "0");
    cJSON_AddNumberToObject(c, "sdpMLineIndex", 0);
    o->Reply("candidate", Print(c));
    cJSON_Delete(c);
  }
  return 0;
}

}  // namespace

WebrtcSide::WebrtcSide(Simulator* sim, std::vector<std::string> dids, WebrtcConfig cfg, Printer print)
    : sim_(sim), dids_(std::move(dids)), cfg_(std::move(cfg)), print_(std::move(print)) {}

WebrtcSide::~WebrtcSide() { Stop(); }

bool WebrtcSide::Start(std::string* why) {
  if (OvWebrtcInit() != 0) {
    *why = "the WebRTC library did not start (is GStreamer's webrtcbin installed?)";
    return false;
  }
  started_ = true;
  OvWebrtcSetLocalAddress(cfg_.local_ip.c_str());
  OvWebrtcSetRelayOnly(cfg_.relay_only);
  if (cfg_.lan_port >= 0) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(cfg_.lan_port));
    if (inet_pton(AF_INET, cfg_.lan_host.c_str(), &a.sin_addr) != 1 ||
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(listen_fd_, 8) != 0) {
      *why = "cannot listen on " + cfg_.lan_host + ":" + std::to_string(cfg_.lan_port) + ": " + std::strerror(errno);
      Stop();
      return false;
    }
    socklen_t len = sizeof(a);
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    lan_port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { LanAccept(); });
  }
  if (!cfg_.push.empty()) {
    std::string ids;
    for (const std::string& d : dids_) ids += (ids.empty() ? "" : ",") + d;
    const std::string url = cfg_.push + "/?target=device&did=" + ids + "&EIO=3&transport=websocket";
    push_ = SockioCltCreate(url.c_str(), OnSockio, this);
    if (!push_) {
      *why = "cannot start the push client";
      Stop();
      return false;
    }
  }
  return true;
}

bool WebrtcSide::Ready() const { return started_ && (cfg_.push.empty() || push_up_.load()); }

int WebrtcSide::OnSockio(SockioClient*, int event, char* text, int value, void* user) {
  auto* self = static_cast<WebrtcSide*>(user);
  if (event == kSockioConnected) {
    self->push_up_ = true;
    if (self->print_) self->print_("camsim webrtc push connected");
  } else if (event == kSockioLost || event == kSockioConnectFailed) {
    self->push_up_ = false;
  } else if (event == kSockioMessage && text) {
    cJSON* arr = cJSON_ParseWithLength(text, static_cast<size_t>(value));
    const cJSON* name = cJSON_GetArrayItem(arr, 0);
    const cJSON* ev = cJSON_GetArrayItem(arr, 1);
    if (cJSON_IsString(name) && std::strcmp(name->valuestring, "webrtc") == 0 && cJSON_IsObject(ev))
      self->OnEvent(ev, nullptr);
    cJSON_Delete(arr);
  }
  return 0;
}

int ParseDeviceEvent(const cJSON* event, DeviceEvent* out) {
  *out = DeviceEvent();
  if (!cJSON_IsObject(event)) return -1;
  out->to = Text(event, "to");
  out->from = Text(event, "from");
  const cJSON* m = cJSON_GetObjectItemCaseSensitive(event, "message");
  cJSON* parsed = nullptr;
  if (cJSON_IsString(m)) m = parsed = cJSON_Parse(m->valuestring);
  out->type = Text(m, "type");
  out->id = Text(m, "id");
  if (out->type == "call") {
    out->sdp = Unb64(Text(m, "offer"));
    const cJSON* dtls = cJSON_GetObjectItemCaseSensitive(m, "use_dtls");
    if (cJSON_IsNumber(dtls) && dtls->valuedouble >= -1 && dtls->valuedouble <= 1) out->use_dtls = dtls->valueint;
  } else if (out->type == "candidate") {
    out->candidate = Text(m, "candidate");
  }
  cJSON_Delete(parsed);
  return out->type.empty() || out->id.empty() ? -1 : 0;
}

void WebrtcSide::OnEvent(const cJSON* event, std::shared_ptr<LanConn> lan) {
  if (stop_.load()) return;
  DeviceEvent e;
  const bool ok = ParseDeviceEvent(event, &e) == 0;
  const std::string &to = e.to, &from = e.from, &type = e.type, &id = e.id;
  bool known = false;
  for (const std::string& d : dids_) known |= d == to;
  if (!known || !ok) {
    if (print_) print_("camsim webrtc ignored to=" + to + " type=" + type);
    return;
  }
  if (type == "call") {
    const std::string& sdp = e.sdp;
    if (print_)
      print_("camsim webrtc offer did=" + to + " id=" + id + " via=" + (lan ? "lan" : "push") +
             " use_dtls=" + std::to_string(e.use_dtls) + (cfg_.silent ? " (not answered)" : ""));
    if (cfg_.silent) return;
    auto o = std::make_shared<Offer>();
    o->side = this;
    o->id = id;
    o->did = to;
    o->user = from;
    o->lan = lan;
    std::vector<OvIceServer> ice;
    if (!lan)
      for (const IceServerText& s : cfg_.ice)
        ice.push_back({s.turn ? 1u : 0u, static_cast<uint32_t>(s.port), s.host.c_str(), s.user.c_str(), s.pass.c_str()});
    o->pc = OvWebrtcCreatePeerConnection(1, ice.data(), static_cast<int>(ice.size()));
    if (!o->pc) {
      if (print_) print_("camsim webrtc no peer connection id=" + id);
      return;
    }
    OvWebrtcSetSendMsg(o->pc, OnSendMsg, o.get());
    {
      std::lock_guard<std::mutex> g(mu_);
      offers_.push_back(o);
      threads_.emplace_back([this, o] { Waiter(o); });
    }
    if (OvWebrtcSetRemoteDescription(o->pc, 0, sdp.c_str()) != 0 && print_)
      print_("camsim webrtc bad offer id=" + id);
  } else if (type == "candidate") {
    std::lock_guard<std::mutex> g(mu_);
    for (auto& o : offers_)
      if (o->id == id && o->pc) OvWebrtcAddCandidate(o->pc, "0", 0, e.candidate.c_str());
  }
}

void WebrtcSide::Waiter(std::shared_ptr<Offer> o) {
  platform::Event* opened = OvWebrtcGetEventHandle(o->pc);
  bool open = false;
  for (int waited = 0; opened && !stop_.load() && waited < cfg_.open_wait_ms && !open; waited += 100)
    open = opened->Wait(100);
  OvPeerConnection pc;
  {
    std::lock_guard<std::mutex> g(mu_);
    pc = o->pc;
    o->pc = nullptr;  // no more candidates for it
  }
  if (!pc) return;
  OvWebrtcSetSendMsg(pc, nullptr, nullptr);
  if (!open) {
    if (print_) print_("camsim webrtc not open id=" + o->id);
    OvWebrtcDestroyPeerConnection(pc);
    return;
  }
  if (print_) print_("camsim webrtc open did=" + o->did + " id=" + o->id);
  // An unknown camera or a stopped simulator: the link closes the peer connection as it goes.
  sim_->Adopt(o->did, std::make_unique<WebrtcLink>(pc), std::string("via=webrtc-") + (o->lan ? "lan" : "push"));
}

void WebrtcSide::LanAccept() {
  while (!stop_.load()) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::string head, rest;
    const std::string key = ReadRequest(fd, &head, &rest) ? HeaderValue(head, "Sec-WebSocket-Key") : "";
    if (key.empty()) {
      close(fd);
      continue;
    }
    const std::string src = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    uint8_t digest[kSha1Size];
    Sha1(src.data(), src.size(), digest);
    char accept[64];
    Base64Encode(digest, sizeof(digest), accept, sizeof(accept));
    const std::string reply = std::string("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n") +
                              "Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + "\r\n\r\n";
    if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size())) {
      close(fd);
      continue;
    }
    TcpConn conn;
    TcpConnInit(&conn);
    conn.socket = fd;
    auto c = std::make_shared<LanConn>();
    c->ws = WsConnCreate(&conn, 1, kLanFrameCapacity, rest.data(), static_cast<int>(rest.size()), 0);
    if (!c->ws) {
      close(fd);
      continue;
    }
    if (print_) print_("camsim webrtc lan connection");
    std::lock_guard<std::mutex> g(mu_);
    lans_.push_back(c);
    threads_.emplace_back([this, c] { LanRead(c); });
  }
}

// Frames of the client: ["ov/device/<id>/webrtc", "<event object text>"].
void WebrtcSide::LanRead(std::shared_ptr<LanConn> c) {
  while (!stop_.load()) {
    WsFrame f{};
    const int r = WsConnRecv(c->ws, 300, &f);
    if (r == kNetTimeout) continue;
    if (r != 1 || f.opcode == 8) break;
    if (f.opcode != kWsText) continue;
    cJSON* arr = cJSON_ParseWithLength(reinterpret_cast<const char*>(f.payload), f.length);
    const cJSON* ev = cJSON_GetArrayItem(arr, 1);
    cJSON* obj = cJSON_IsString(ev) ? cJSON_Parse(ev->valuestring) : nullptr;
    if (cJSON_IsObject(obj)) OnEvent(obj, c);
    cJSON_Delete(obj);
    cJSON_Delete(arr);
  }
  std::lock_guard<std::mutex> g(c->mu);
  WsConnFree(c->ws);
  c->ws = nullptr;
}

void WebrtcSide::Stop() {
  if (!started_) return;
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
  SockioClient* push = nullptr;
  {
    std::lock_guard<std::mutex> g(push_mu_);
    std::swap(push, push_);
  }
  if (push) SockioCltDestroy(push);
  // A LAN reader may start a waiter while it ends.
  for (;;) {
    std::list<std::thread> threads;
    {
      std::lock_guard<std::mutex> g(mu_);
      threads.swap(threads_);
    }
    if (threads.empty()) break;
    for (std::thread& t : threads) t.join();
  }
  offers_.clear();
  lans_.clear();
  OvWebrtcUninit();
  started_ = false;
}

}  // namespace camsim

namespace camsim {

const char kWebrtcHelp[] =
    "  --webrtc-push URL    answer WebRTC offers arriving through cloudsim's push channel (ws://HOST:PORT)\n"
    "  --webrtc-lan PORT    answer WebRTC offers on a LAN WebSocket on this port (3576 on a camera)\n"
    "  --webrtc-lan-host IP address of the LAN WebSocket (default 127.0.0.1)\n"
    "  --webrtc-ice SERVER  stun:HOST:PORT or turn:USER:PASS@HOST:PORT for push answers; repeatable\n"
    "  --webrtc-ip IP       gather candidates only on IP (default 127.0.0.1; \"any\" for every address)\n"
    "  --webrtc-relay-only  relayed candidates only\n"
    "  --webrtc-silent      take offers and never answer\n"
    "  (with WebRTC options and without --init the camera is reached over WebRTC only)\n";

int ParseWebrtcOption(const std::string& name, const char* value, WebrtcConfig* cfg, bool* used_value,
                      std::string* why) {
  *used_value = false;
  if (name == "--webrtc-relay-only") {
    cfg->relay_only = true;
    return 1;
  }
  if (name == "--webrtc-silent") {
    cfg->silent = true;
    return 1;
  }
  if (name != "--webrtc-push" && name != "--webrtc-lan" && name != "--webrtc-lan-host" && name != "--webrtc-ice" &&
      name != "--webrtc-ip")
    return 0;
  if (!value) {
    *why = "missing value of " + name;
    return -1;
  }
  *used_value = true;
  const std::string v = value;
  if (name == "--webrtc-push") {
    if (v.rfind("ws://", 0) != 0) return *why = "--webrtc-push takes ws://HOST:PORT", -1;
    cfg->push = v;
  } else if (name == "--webrtc-lan") {
    char* end = nullptr;
    const long port = std::strtol(value, &end, 10);
    if (end == value || *end || port < 0 || port > 65535) return *why = "--webrtc-lan takes a port 0-65535", -1;
    cfg->lan_port = static_cast<int>(port);
  } else if (name == "--webrtc-lan-host") {
    cfg->lan_host = v;
  } else if (name == "--webrtc-ip") {
    cfg->local_ip = v == "any" ? "" : v;
  } else {
    IceServerText s;
    std::string hostport;
    if (v.rfind("stun:", 0) == 0) {
      hostport = v.substr(5);
    } else if (v.rfind("turn:", 0) == 0) {
      const size_t at = v.rfind('@'), colon = v.find(':', 5);
      if (at == std::string::npos || colon == std::string::npos || colon > at)
        return *why = "--webrtc-ice turn: takes USER:PASS@HOST:PORT", -1;
      s.turn = true;
      s.user = v.substr(5, colon - 5);
      s.pass = v.substr(colon + 1, at - colon - 1);
      hostport = v.substr(at + 1);
    } else {
      return *why = "--webrtc-ice takes stun:... or turn:...", -1;
    }
    const size_t c = hostport.rfind(':');
    s.port = c == std::string::npos ? 0 : std::atoi(hostport.c_str() + c + 1);
    if (c == std::string::npos || s.port <= 0 || s.port > 65535) return *why = "--webrtc-ice needs HOST:PORT", -1;
    s.host = hostport.substr(0, c);
    cfg->ice.push_back(s);
  }
  return 1;
}

}  // namespace camsim
