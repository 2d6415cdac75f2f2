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
#include "sdk/net/sockio_client.h"
#include "sdk/net/ws_client.h"
#include "util/base64.h"
#include "sdk/webrtc/ov_signal2.h"
#include "sdk/webrtc/ov_transport.h"
#include "sdk/webrtc/ov_webrtc.h"
#include "tools/camsim/link.h"
#include "tools/camsim/signal_server.h"

namespace camsim {
namespace {

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

}  // namespace

struct WebrtcSide::LanConn {
  std::mutex mu;
  WsConn* ws = nullptr;  // null once the reader ended
};

// A camera's membership of its "ovwebrtc2" room.
struct WebrtcSide::RoomConn {
  std::mutex mu;
  WsConn* ws = nullptr;  // null once the reader ended
  std::string did;
  std::string ice;  // the server's ICE list, JSON text

  void Send(const Signal2Message& m) {
    const std::string text = BuildSignal2(m);
    std::lock_guard<std::mutex> g(mu);
    if (ws) WsConnSend(ws, kWsText, text.data(), static_cast<int>(text.size()), 1000);
  }
};

struct WebrtcSide::Offer {
  WebrtcSide* side = nullptr;
  std::string id, did, user;
  OvPeerConnection pc = nullptr;
  std::shared_ptr<LanConn> lan;    // null: through the push channel or the room
  std::shared_ptr<RoomConn> room;  // "ovwebrtc2": answers go back through the room

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
  if (o->room) {
    Signal2Message m;
    m.type = std::strcmp(kind, "answer") == 0 ? "answer" : "candidate";
    m.to = o->user;
    m.id = o->id;
    (m.type == "answer" ? m.sdp : m.candidate) = text;
    o->room->Send(m);
  } else if (std::strcmp(kind, "answer") == 0) {
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
    int port = 0;
    listen_fd_ = ListenTcp(cfg_.lan_host, cfg_.lan_port, &port, why);
    if (listen_fd_ < 0) {
      Stop();
      return false;
    }
    lan_port_ = port;
    acceptor_ = std::thread([this] {
      AcceptWebSockets(listen_fd_, stop_, [this](WsConn* ws, const std::string&) {
        auto c = std::make_shared<LanConn>();
        c->ws = ws;
        if (print_) print_("camsim webrtc lan connection");
        std::lock_guard<std::mutex> g(mu_);
        lans_.push_back(c);
        threads_.emplace_back([this, c] { LanRead(c); });
      });
    });
  }
  if (!cfg_.webrtc2.empty()) {
    std::lock_guard<std::mutex> g(mu_);
    for (const std::string& d : dids_) threads_.emplace_back([this, d] { RoomLoop(d); });
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

bool WebrtcSide::Ready() const {
  return started_ && (cfg_.push.empty() || push_up_.load()) &&
         (cfg_.webrtc2.empty() || rooms_joined_.load() == static_cast<int>(dids_.size()));
}

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
    if (print_)
      print_("camsim webrtc offer did=" + to + " id=" + id + " via=" + (lan ? "lan" : "push") +
             " use_dtls=" + std::to_string(e.use_dtls) + (cfg_.silent ? " (not answered)" : ""));
    if (cfg_.silent) return;
    auto o = std::make_shared<Offer>();
    o->id = id;
    o->did = to;
    o->user = from;
    o->lan = lan;
    std::vector<OvIceServer> ice;
    if (!lan)
      for (const IceServerText& s : cfg_.ice)
        ice.push_back({s.turn ? 1u : 0u, static_cast<uint32_t>(s.port), s.host.c_str(), s.user.c_str(), s.pass.c_str()});
    TakeOffer(o, e.sdp, ice);
  } else if (type == "candidate") {
    TakeCandidate(id, e.candidate);
  }
}

void WebrtcSide::TakeOffer(std::shared_ptr<Offer> o, const std::string& sdp, const std::vector<OvIceServer>& ice) {
  o->side = this;
  o->pc = OvWebrtcCreatePeerConnection(1, ice.data(), static_cast<int>(ice.size()));
  if (!o->pc) {
    if (print_) print_("camsim webrtc no peer connection id=" + o->id);
    return;
  }
  OvWebrtcSetSendMsg(o->pc, OnSendMsg, o.get());
  std::vector<std::string> early;
  {
    std::lock_guard<std::mutex> g(mu_);
    offers_.push_back(o);
    threads_.emplace_back([this, o] { Waiter(o); });
    auto it = early_.find(o->id);
    if (it != early_.end()) {
      early.swap(it->second);
      early_.erase(it);
    }
  }
  if (OvWebrtcSetRemoteDescription(o->pc, 0, sdp.c_str()) != 0 && print_)
    print_("camsim webrtc bad offer id=" + o->id);
  // Candidates that came before the offer (the library holds them until the offer is applied).
  if (!early.empty() && print_)
    print_("camsim webrtc candidates ahead of the offer id=" + o->id + " n=" + std::to_string(early.size()));
  for (const std::string& c : early) OvWebrtcAddCandidate(o->pc, "0", 0, c.c_str());
}

void WebrtcSide::TakeCandidate(const std::string& id, const std::string& candidate) {
  std::lock_guard<std::mutex> g(mu_);
  for (auto& o : offers_)
    if (o->id == id) {
      if (o->pc) OvWebrtcAddCandidate(o->pc, "0", 0, candidate.c_str());
      return;
    }
  // Ahead of its offer: kept until the offer comes (a few connects' worth).
  if (!early_.count(id) && early_.size() >= kEarlyConnects) early_.erase(early_.begin());
  std::vector<std::string>& list = early_[id];
  if (list.size() < kEarlyCandidates) list.push_back(candidate);
}

// One camera's membership of the "ovwebrtc2" room, joined again whenever the socket drops.
void WebrtcSide::RoomLoop(const std::string& did) {
  while (!stop_.load()) {
    WsConn* ws = nullptr;
    if (WsCltCreateEx(cfg_.webrtc2.c_str(), nullptr, &ws, 1500, 0) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      continue;
    }
    auto room = std::make_shared<RoomConn>();
    room->ws = ws;
    room->did = did;
    Signal2Message join;
    join.type = "join";
    join.id = did;
    room->Send(join);
    bool joined = false;
    while (!stop_.load()) {
      WsFrame f{};
      const int r = WsConnRecv(ws, 200, &f);
      if (r == kNetTimeout) continue;
      if (r != 1 || f.opcode == kWsClose) break;
      Signal2Message m;
      if (f.opcode != kWsText || ParseSignal2(reinterpret_cast<const char*>(f.payload), f.length, &m) != 0) continue;
      if (m.type == "joined" && !joined) {
        joined = true;
        room->ice = m.ice;
        ++rooms_joined_;
        if (print_) print_("camsim webrtc2 joined did=" + did);
      } else if (m.type == "offer") {
        if (print_) print_("camsim webrtc offer did=" + did + " id=" + m.id + " via=webrtc2" +
                           (cfg_.silent ? " (not answered)" : ""));
        if (cfg_.silent) continue;
        auto o = std::make_shared<Offer>();
        o->id = m.id;
        o->did = did;
        o->user = m.from;
        o->room = room;
        std::vector<IceEntry> entries;
        std::string unused;
        ParseOvwebrtcAddress(room->ice.c_str(), &entries, &unused);
        TakeOffer(o, m.sdp, IceRecords(entries));
      } else if (m.type == "candidate") {
        TakeCandidate(m.id, m.candidate);
      } else if (m.type == "error" && print_) {
        print_("camsim webrtc2 error did=" + did + ": " + m.reason);
      }
    }
    if (joined) --rooms_joined_;
    {
      std::lock_guard<std::mutex> g(room->mu);
      WsConnFree(room->ws);
      room->ws = nullptr;
    }
    // Joined again after a pause: a server that refuses the room is not hammered.
    for (int i = 0; i < 5 && !stop_.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
  const char* via = o->lan ? "lan" : o->room ? "webrtc2" : "push";
  sim_->Adopt(o->did, std::make_unique<WebrtcLink>(pc), std::string("via=webrtc-") + via);
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
  early_.clear();
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
    "  --webrtc2 TOKEN      answer \"ovwebrtc2\" offers: join the room TOKEN (ws://HOST:PORT/ROOM, see sigsim)\n"
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
  if (name != "--webrtc-push" && name != "--webrtc2" && name != "--webrtc-lan" && name != "--webrtc-lan-host" && name != "--webrtc-ice" &&
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
  } else if (name == "--webrtc2") {
    std::string url;
    if (Signal2RoomUrl(value, &url) != 0) return *why = "--webrtc2 takes ws://HOST:PORT/ROOM", -1;
    cfg->webrtc2 = url;
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
