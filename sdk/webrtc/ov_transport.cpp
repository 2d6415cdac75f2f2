#include "sdk/webrtc/ov_transport.h"

#include <cjson/cJSON.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include "platform/event.h"
#include "sdk/net/sockio_client.h"
#include "sdk/net/ws_client.h"
#include "util/base64.h"
#include "util/blocking_queue.h"
#include "util/json_holder.h"
#include "util/log.h"

namespace {

// Never destroyed: a reset while a lookup runs cannot free it under the lookup.
std::mutex g_sig_mu;
std::map<std::string, SignalConn*> g_conns;
SockioClient* g_push = nullptr;
std::atomic<int> g_lan_port{kOvwebrtcLanPort};
std::string g_user_id, g_second;

SignalConn* FindConnByReqId(const std::string& id) {
  auto it = g_conns.find(id);
  return it == g_conns.end() ? nullptr : it->second;
}

SignalConn* FindConnByPc(OvPeerConnection pc) {
  for (auto& [id, c] : g_conns)
    if (c->pc == pc) return c;
  return nullptr;
}

std::string EventFor(const SignalConn* c, const char* kind, const char* bytes, int length) {
  if (std::strcmp(kind, "offer") == 0)
    return BuildCallEvent(g_user_id.c_str(), c->device_id.c_str(), c->req_id, c->use_dtls, bytes,
                          static_cast<size_t>(length));
  std::string cand(bytes, static_cast<size_t>(length));
  return BuildCandidateEvent(g_user_id.c_str(), c->device_id.c_str(), c->req_id, cand.c_str());
}

int OnWebrtcMsgSockio(OvPeerConnection pc, void*, const char* kind, const char* bytes, int length) {
  std::lock_guard lk(g_sig_mu);
  SignalConn* c = FindConnByPc(pc);
  if (!c || !g_push) return 0;
  std::string ev = EventFor(c, kind, bytes, length);
  SockioCltSendEvent(g_push, ev.data(), static_cast<int>(ev.size()), 1000);
  return 0;
}

int OnWebrtcMsgLan(OvPeerConnection pc, void*, const char* kind, const char* bytes, int length) {
  std::lock_guard lk(g_sig_mu);
  SignalConn* c = FindConnByPc(pc);
  if (!c || !c->ws) return 0;
  std::string ev = EventFor(c, kind, bytes, length);
  WsConnSend(c->ws, kWsText, ev.data(), static_cast<int>(ev.size()), 1000);
  return 0;
}

void ovwebrtcOnData(int channel, const uint8_t* bytes, int length, void* user) {
  static_cast<DataChannelDemux*>(user)->OnData(channel, bytes, length);
}

void LanSignalingThread(SignalConn* c) {
  while (c->run) {
    WsFrame frame{};
    int r = WsConnRecv(c->ws, 300, &frame);
    if (r == kNetTimeout) continue;
    if (r != 1) break;
    if (frame.opcode != kWsText) continue;
    LogPrintf(kLogDetail, nullptr, "LanSignalingThread", "%.*s\n", static_cast<int>(frame.length),
              reinterpret_cast<const char*>(frame.payload));
    cJSON* ev = nullptr;
    int k = ParseLanFrame(reinterpret_cast<const char*>(frame.payload), frame.length, &ev);
    if (k < 0) break;
    if (k == 1) {
      WebrtcOnSignaling(ev);
      cJSON_Delete(ev);
    }
  }
}

DataChannelDemux* Demux(TransportHandle h) { return reinterpret_cast<DataChannelDemux*>(h); }

int Finish(OvPeerConnection pc, TransportHandle* out) {
  auto* d = new DataChannelDemux(pc);
  OvWebrtcSetDataCallback(pc, ovwebrtcOnData, d);
  *out = reinterpret_cast<TransportHandle>(d);
  return 0;
}

}  // namespace

DataChannelDemux::DataChannelDemux(OvPeerConnection p) : pc(p) { Queue(0, true); }
DataChannelDemux::~DataChannelDemux() { FreeQueues(); }

BlockingQueue* DataChannelDemux::Queue(int channel, bool create) {
  BlockingQueue* q = queues_[channel].load();
  if (q || !create) return q;
  std::lock_guard lk(queues_mu_);
  q = queues_[channel].load();
  if (q) return q;
  q = new BlockingQueue();
  q->Init(channel == 0 ? kDemuxQueue0 : channel == 1 ? kDemuxQueue1 : kDemuxQueueMedia);
  queues_[channel].store(q);
  return q;
}

void DataChannelDemux::OnData(int channel, const uint8_t* bytes, int length) {
  if (channel < 0 || channel >= kOvChannels || length <= 0) return;
  BlockingQueue* q = Queue(channel, true);
  int done = 0;
  while (done < length && !closing_) done += q->Put(bytes + done, static_cast<uint32_t>(length - done), 100);
}

int DataChannelDemux::Recv(int channel, void* buffer, int length, int timeout_ms) {
  if (channel < 0 || channel >= kOvChannels) return -1;
  int waited = 0;
  BlockingQueue* q = Queue(channel, false);
  while (!q) {
    if (waited >= timeout_ms) return KIVO_ERR_TIMEOUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    waited += 100;
    q = Queue(channel, false);
  }
  if (length <= 0) return 0;
  int r = q->Get(buffer, static_cast<uint32_t>(length), timeout_ms);
  return r < 0 ? KIVO_ERR_TIMEOUT : r;
}

void DataChannelDemux::FreeQueues() {
  std::lock_guard lk(queues_mu_);
  for (auto& slot : queues_) delete slot.exchange(nullptr);
}

std::vector<OvIceServer> IceRecords(const std::vector<IceEntry>& entries) {
  std::vector<OvIceServer> recs;
  for (const IceEntry& e : entries) recs.push_back({e.is_turn, e.port, e.ip.c_str(), e.user.c_str(), e.pass.c_str()});
  return recs;
}

int ParseOvwebrtcAddress(const char* rest, std::vector<IceEntry>* ice, std::string* lan_ip) {
  ice->clear();
  JsonHolder root(cJSON_Parse(rest ? rest : ""), false);
  JsonHolder list;
  if (root.Type() == JsonHolder::kObject) {
    if (root.Has("ip")) {
      *lan_ip = root.Get("ip").AsString();
      return 1;
    }
    list = root.Get("stuns");
  } else if (root.Type() == JsonHolder::kArray) {
    list = std::move(root);
  }
  for (int i = 0; i < list.Size() && list.Type() == JsonHolder::kArray; ++i) {
    JsonHolder e = list.At(i);
    IceEntry s;
    s.is_turn = static_cast<uint32_t>(e.Get("is_turn").AsInt());
    s.port = static_cast<uint32_t>(e.Get("port").AsInt());
    s.ip = e.Get("ip").AsString();
    s.user = e.Get("user").AsString();
    s.pass = e.Get("pass").AsString();
    ice->push_back(std::move(s));
  }
  return 0;
}

int ParseSignalingEvent(const cJSON* event, SignalingMessage* out) {
  const cJSON* m = cJSON_GetObjectItemCaseSensitive(event, "message");
  if (!cJSON_IsString(m)) return -1;
  JsonHolder msg(cJSON_Parse(m->valuestring), false);
  const char* id = msg.Get("id").AsStringOrNull();
  if (!id) return -1;
  out->id = id;
  out->type = msg.Get("type").AsString();
  const char* b64 = msg.Get("sdp").AsString();
  // As long as the text needs, not cut at a fixed size.
  std::string decoded(std::strlen(b64) / 4 * 3 + 4, '\0');
  int n = Base64Decode(b64, decoded.data(), decoded.size());
  decoded.resize(n > 0 ? static_cast<size_t>(n) : 0);
  out->sdp.clear();
  out->candidate.clear();
  if (out->type == "candidate") {
    JsonHolder c(cJSON_ParseWithLength(decoded.data(), decoded.size()), false);
    out->candidate = c.Get("candidate").AsString();
  } else {
    out->sdp = decoded;
  }
  return 0;
}

int ParseLanFrame(const char* text, size_t length, cJSON** event) {
  *event = nullptr;
  if (length >= 2 && text[0] == '4' && text[1] == '2') text += 2, length -= 2;
  JsonHolder root(cJSON_ParseWithLength(text, length), false);
  if (root.Type() != JsonHolder::kArray || root.Size() < 2 || root.At(0).Type() != JsonHolder::kString)
    return -1;
  JsonHolder ev = root.At(1);
  if (std::strcmp(root.At(0).AsString(), "message") != 0 || ev.Type() != JsonHolder::kObject ||
      std::strcmp(ev.Get("type").AsString(), "webrtc") != 0)
    return 0;
  *event = cJSON_Duplicate(ev.Item(), 1);
  return *event ? 1 : 0;
}

namespace {
std::string Wrap(const char* device_id, cJSON* obj) {
  char* inner = cJSON_PrintUnformatted(obj);
  cJSON_Delete(obj);
  cJSON* arr = cJSON_CreateArray();
  std::string topic = std::string("ov/device/") + device_id + "/webrtc";
  cJSON_AddItemToArray(arr, cJSON_CreateString(topic.c_str()));
  cJSON_AddItemToArray(arr, cJSON_CreateString(inner ? inner : ""));
  cJSON_free(inner);
  char* text = cJSON_PrintUnformatted(arr);
  cJSON_Delete(arr);
  std::string out = text ? text : "";
  cJSON_free(text);
  return out;
}
cJSON* Head(const char* user_id, const char* device_id) {
  cJSON* o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "type", "webrtc");
  cJSON_AddStringToObject(o, "from", user_id);
  cJSON_AddStringToObject(o, "to", device_id);
  return o;
}
}  // namespace

std::string BuildCallEvent(const char* user_id, const char* device_id, const char* req_id, int use_dtls,
                           const char* sdp, size_t sdp_length) {
  cJSON* o = Head(user_id, device_id);
  cJSON* m = cJSON_AddObjectToObject(o, "message");
  cJSON_AddStringToObject(m, "type", "call");
  cJSON_AddNumberToObject(m, "use_dtls", use_dtls);
  cJSON_AddStringToObject(m, "id", req_id);
  std::string b64(sdp_length / 3 * 4 + 8, '\0');
  int n = Base64Encode(sdp, sdp_length, b64.data(), b64.size());
  b64.resize(n > 0 ? static_cast<size_t>(n) : 0);
  cJSON_AddStringToObject(m, "offer", b64.c_str());
  return Wrap(device_id, o);
}

std::string BuildCandidateEvent(const char* user_id, const char* device_id, const char* req_id,
                                const char* candidate) {
  cJSON* o = Head(user_id, device_id);
  cJSON* m = cJSON_AddObjectToObject(o, "message");
  cJSON_AddStringToObject(m, "type", "candidate");
  cJSON_AddStringToObject(m, "id", req_id);
  cJSON_AddStringToObject(m, "candidate", candidate);
  cJSON_AddStringToObject(m, "sdpMid", "0");
  cJSON_AddNumberToObject(m, "sdpMLineIndex", 0);
  return Wrap(device_id, o);
}

std::string MakeReqId() {
  static std::once_flag seeded;
  std::call_once(seeded, [] { std::srand(static_cast<unsigned>(std::time(nullptr))); });
  static const char kChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string id(16, '0');
  for (char& ch : id) ch = kChars[std::rand() % 62];
  return id;
}

void WebrtcSignalingSetup(SockioClient* client, const char* user_id, const char* second) {
  std::lock_guard lk(g_sig_mu);
  g_push = client;
  g_user_id = user_id ? user_id : "";
  g_second = second ? second : "";
}

void WebrtcSignalingReset() {
  std::lock_guard lk(g_sig_mu);
  g_push = nullptr;
  g_user_id.clear();
}

void WebrtcOnSignaling(const cJSON* event) {
  SignalingMessage msg;
  if (ParseSignalingEvent(event, &msg) != 0) return;
  std::lock_guard lk(g_sig_mu);
  SignalConn* c = FindConnByReqId(msg.id);
  if (!c) {
    fprintf(stderr, "[webrtc_signaling]: no connection with reqid '%s'\n", msg.id.c_str());
    return;
  }
  if (msg.type == "answer")
    OvWebrtcSetRemoteDescription(c->pc, 1, msg.sdp.c_str());
  else if (msg.type == "offer")
    OvWebrtcSetRemoteDescription(c->pc, 0, msg.sdp.c_str());
  else if (msg.type == "candidate")
    OvWebrtcAddCandidate(c->pc, "0", 0, msg.candidate.c_str());
}

namespace {
// GStreamer starts at the first WebRTC connect, not at init: processes that never use WebRTC never load it.
std::mutex g_init_mu;
bool g_wanted = false, g_started = false;

bool EnsureStarted() {
  std::lock_guard lk(g_init_mu);
  if (g_started) return true;
  if (OvWebrtcInit() != 0) return false;
  if (const char* ip = std::getenv("VELMORA_WEBRTC_LOCAL_IP")) OvWebrtcSetLocalAddress(ip);
  if (const char* r = std::getenv("VELMORA_WEBRTC_RELAY_ONLY")) OvWebrtcSetRelayOnly(std::atoi(r) != 0);
  g_started = true;
  return true;
}
}  // namespace

int ovwebrtcInit() {
  std::lock_guard lk(g_init_mu);
  g_wanted = true;
  return 0;
}

void ovwebrtcDeinit() {
  std::lock_guard lk(g_init_mu);
  if (g_started) OvWebrtcUninit();
  g_started = g_wanted = false;
}

int ovwebrtcConnect(const char* rest, const char* peer_id, int, TransportHandle* out) {
  std::vector<IceEntry> ice;
  std::string ip;
  if (ParseOvwebrtcAddress(rest, &ice, &ip) == 1) {
    if (!EnsureStarted()) return KIVO_ERR_UNSUPPORTED;
    return ovwebrtcConnectLan(ip.c_str(), peer_id, out);
  }
  {
    // Without the push channel the offer cannot reach the device: refuse now rather than time out.
    std::lock_guard lk(g_sig_mu);
    if (!g_push) {
      LogPrintf(kLogWarning, nullptr, "ovwebrtcConnect", "no push channel for the signalling of %s\n",
                peer_id ? peer_id : "");
      return KIVO_ERR_UNSUPPORTED;
    }
  }
  if (!EnsureStarted()) return KIVO_ERR_UNSUPPORTED;
  const std::vector<OvIceServer> recs = IceRecords(ice);
  return ovwebrtcConnectCloud(peer_id, recs.data(), static_cast<int>(recs.size()), out);
}

int ovwebrtcConnectCloud(const char* device_id, const OvIceServer* records, int count, TransportHandle* out) {
  OvPeerConnection pc = OvWebrtcCreatePeerConnection(1, records, count);
  if (!pc) return -1;
  OvWebrtcSetSendMsg(pc, OnWebrtcMsgSockio, nullptr);
  auto* c = new SignalConn;
  c->pc = pc;
  std::string id = MakeReqId();
  std::memcpy(c->req_id, id.c_str(), 16);
  c->device_id = device_id ? device_id : "";
  {
    std::lock_guard lk(g_sig_mu);
    g_conns[id] = c;
  }
  OvWebrtcStartOffer(pc);
  bool opened = OvWebrtcGetEventHandle(pc)->Wait(kOvwebrtcCloudWaitMs);
  {
    std::lock_guard lk(g_sig_mu);
    g_conns.erase(id);
  }
  delete c;
  if (!opened) {
    LogPrintf(kLogWarning, nullptr, "ovwebrtcConnectCloud", "data channel of %s not open in %d ms\n",
              device_id ? device_id : "", kOvwebrtcCloudWaitMs);
    OvWebrtcDestroyPeerConnection(pc);
    return KIVO_ERR_TIMEOUT;
  }
  return Finish(pc, out);
}

void ovwebrtcSetLanPort(int port) { g_lan_port = port > 0 && port < 65536 ? port : kOvwebrtcLanPort; }

int ovwebrtcConnectLan(const char* ip, const char* device_id, TransportHandle* out) {
  std::string url = std::string("ws://") + (ip ? ip : "") + ":" + std::to_string(g_lan_port.load());
  WsConn* ws = nullptr;
  int r = WsCltCreateEx(url.c_str(), nullptr, &ws, 1500, 0);
  if (r != 0) return r;
  OvPeerConnection pc = OvWebrtcCreatePeerConnection(1, nullptr, 0);
  if (!pc) {
    WsConnFree(ws);
    return -1;
  }
  OvWebrtcSetSendMsg(pc, OnWebrtcMsgLan, nullptr);
  auto* c = new SignalConn;
  c->pc = pc;
  std::string id = MakeReqId();
  std::memcpy(c->req_id, id.c_str(), 16);
  c->device_id = device_id ? device_id : "";
  c->use_dtls = 1;
  c->lan = 1;
  c->ws = ws;
  c->run = 1;
  try {
    c->reader = std::thread(LanSignalingThread, c);
  } catch (...) {
    OvWebrtcDestroyPeerConnection(pc);
    WsConnFree(ws);
    delete c;
    return KIVO_ERR_RESOURCE;
  }
  {
    std::lock_guard lk(g_sig_mu);
    g_conns[id] = c;
  }
  OvWebrtcStartOffer(pc);
  bool opened = OvWebrtcGetEventHandle(pc)->Wait(kOvwebrtcLanWaitMs);
  c->run = 0;
  WsConnShutdown(ws);  // the reader ends now rather than at its next read time-out
  c->reader.join();
  {
    std::lock_guard lk(g_sig_mu);
    g_conns.erase(id);
  }
  WsConnFree(ws);
  delete c;
  if (!opened) {
    OvWebrtcDestroyPeerConnection(pc);
    return KIVO_ERR_TIMEOUT;
  }
  return Finish(pc, out);
}

int ovwebrtc2Connect(const char* rest, const char* peer_id, int, TransportHandle* out) {
  if (!EnsureStarted()) return KIVO_ERR_UNSUPPORTED;
  OvPeerConnection pc = nullptr;
  std::string user;
  {
    std::lock_guard lk(g_sig_mu);
    user = "usesr:" + g_user_id;
  }
  const int r = OvWebrtcStartV2(rest, user.c_str(), peer_id, &pc);
  if (r == kOvErrNotSupported) {
    LogPrintf(kLogWarning, nullptr, "ovwebrtc2Connect", "token \"%s\" can never be used\n", rest ? rest : "");
    return KIVO_ERR_UNSUPPORTED;
  }
  if (r != 0 || !pc) return KIVO_ERR_TIMEOUT;
  return Finish(pc, out);
}

void ovwebrtcClose(TransportHandle h) {
  DataChannelDemux* d = Demux(h);
  if (!d) return;
  d->StopWriters();
  OvWebrtcDestroyPeerConnection(d->pc);
  d->FreeQueues();
  delete d;
}

int ovwebrtcIsAlive(TransportHandle h) {
  return Demux(h) && OvWebrtcGetConnStatus(Demux(h)->pc) == 0 ? 1 : 0;
}

int ovwebrtcSend(TransportHandle h, int channel, const void* bytes, int length) {
  return OvWebrtcSend(Demux(h)->pc, channel, bytes, length);
}

int ovwebrtcRecv(TransportHandle h, int channel, void* buffer, int length, int timeout_ms) {
  const int r = Demux(h)->Recv(channel, buffer, length, timeout_ms);
  // Once the peer has gone and its data is read, readers learn of the end instead of waiting forever.
  if (r == KIVO_ERR_TIMEOUT && OvWebrtcGetConnStatus(Demux(h)->pc) < 0) return KIVO_ERR_CLOSED;
  return r;
}

int ovwebrtcCheckSendBuf(TransportHandle, int, int, int* load) {
  if (load) *load = 0;
  return 0;
}

const TransportOps kOvwebrtcTransport = {"ovwebrtc",   ovwebrtcConnect, ovwebrtcClose,        ovwebrtcIsAlive,
                                         ovwebrtcSend, ovwebrtcRecv,    ovwebrtcCheckSendBuf, nullptr,
                                         ovwebrtcInit, ovwebrtcDeinit};
const TransportOps kOvwebrtc2Transport = {
    "ovwebrtc2",  ovwebrtc2Connect,     ovwebrtcClose, ovwebrtcIsAlive, ovwebrtcSend,
    ovwebrtcRecv, ovwebrtcCheckSendBuf, nullptr,       nullptr,         nullptr};
