#include "sdk/webrtc/ov_signal2.h"

#include <cjson/cJSON.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/event.h"
#include "sdk/net/net_codes.h"
#include "sdk/net/ws_client.h"
#include "util/json_holder.h"
#include "util/log.h"
#include "sdk/webrtc/ov_transport.h"
#include "sdk/webrtc/ov_webrtc.h"

int ParseSignal2(const char* text, size_t length, Signal2Message* out) {
  *out = Signal2Message();
  JsonHolder root(cJSON_ParseWithLength(text, length), false);
  if (root.Type() != JsonHolder::kObject) return -1;
  const auto field = [&](const char* key) { return std::string(root.Get(key).AsString()); };
  out->type = field("type");
  out->id = field("id");
  out->from = field("from");
  out->to = field("to");
  out->sdp = field("sdp");
  out->candidate = field("candidate");
  out->reason = field("reason");
  if (root.Get("ice").Type() == JsonHolder::kArray) {
    char* ice = cJSON_PrintUnformatted(root.Get("ice").Item());
    out->ice = ice ? ice : "";
    cJSON_free(ice);
  }
  return out->type.empty() ? -1 : 0;
}

std::string BuildSignal2(const Signal2Message& m) {
  cJSON* o = cJSON_CreateObject();
  const auto add = [&](const char* key, const std::string& v) {
    if (!v.empty()) cJSON_AddStringToObject(o, key, v.c_str());
  };
  add("type", m.type);
  add("id", m.id);
  add("from", m.from);
  add("to", m.to);
  add("sdp", m.sdp);
  add("candidate", m.candidate);
  add("reason", m.reason);
  if (m.type == "candidate") {
    cJSON_AddStringToObject(o, "sdpMid", "0");
    cJSON_AddNumberToObject(o, "sdpMLineIndex", 0);
  }
  if (!m.ice.empty()) {
    cJSON* ice = cJSON_Parse(m.ice.c_str());
    if (ice) cJSON_AddItemToObject(o, "ice", ice);
  }
  char* text = cJSON_PrintUnformatted(o);
  cJSON_Delete(o);
  std::string s = text ? text : "";
  cJSON_free(text);
  return s;
}

int Signal2RoomUrl(const char* token, std::string* url) {
  const std::string t = token ? token : "";
  size_t host = 0;
  if (t.rfind("ws://", 0) == 0)
    host = 5;
  else if (t.rfind("wss://", 0) == 0)
    host = 6;
  else
    return -1;
  if (host >= t.size() || t[host] == '/' || t[host] == ':') return -1;
  *url = t;
  return 0;
}

namespace {

// The signalling socket of each connect in progress, by peer connection: the library's threads send the
// offer and candidates through it while the connecting thread reads.
std::mutex g_v2_mu;
struct V2Conn {
  WsConn* ws;
  std::string to, req_id;
};
std::map<OvPeerConnection, V2Conn> g_v2;

int SendFrame(WsConn* ws, const Signal2Message& m) {
  const std::string text = BuildSignal2(m);
  return WsConnSend(ws, kWsText, text.data(), static_cast<int>(text.size()), 1000);
}

int OnV2SendMsg(OvPeerConnection pc, void*, const char* kind, const char* bytes, int length) {
  std::lock_guard lk(g_v2_mu);
  auto it = g_v2.find(pc);
  if (it == g_v2.end()) return 0;
  Signal2Message m;
  m.to = it->second.to;
  m.id = it->second.req_id;
  m.type = std::strcmp(kind, "offer") == 0 ? "offer" : "candidate";
  (m.type == "offer" ? m.sdp : m.candidate).assign(bytes, static_cast<size_t>(length));
  SendFrame(it->second.ws, m);
  return 0;
}

// The next message of the socket within timeout_ms: 1 with *m, 0 on a time-out, -1 when the socket ended.
int ReadSignal2(WsConn* ws, int timeout_ms, Signal2Message* m) {
  WsFrame f{};
  const int r = WsConnRecv(ws, timeout_ms, &f);
  if (r == kNetTimeout) return 0;
  if (r != 1 || f.opcode == kWsClose) return -1;
  if (f.opcode != kWsText) return 0;
  return ParseSignal2(reinterpret_cast<const char*>(f.payload), f.length, m) == 0 ? 1 : 0;
}

}  // namespace

int OvWebrtcStartV2(const char* rest, const char* user, const char* peer_id, OvPeerConnection* out) {
  using Clock = std::chrono::steady_clock;
  if (out) *out = nullptr;
  std::string url;
  if (!out || Signal2RoomUrl(rest, &url) != 0) return kOvErrNotSupported;
  if (!peer_id || !*peer_id || !user) return kOvErrArg;
  WsConn* ws = nullptr;
  if (WsCltCreateEx(url.c_str(), nullptr, &ws, 1500, 0) != 0) return kOvErrState;
  Signal2Message m;
  m.type = "join";
  m.id = user;
  SendFrame(ws, m);
  // The server's reply to the join: the ICE servers, or why not.
  int r = 0;
  const auto join_end = Clock::now() + std::chrono::milliseconds(kSignal2JoinWaitMs);
  Signal2Message reply;
  while (r == 0 && Clock::now() < join_end) {
    r = ReadSignal2(ws, 100, &reply);
    if (r == 1 && reply.type != "joined" && reply.type != "error") r = 0;
  }
  if (r != 1 || reply.type != "joined") {
    LogPrintf(kLogWarning, nullptr, "OvWebrtcStartV2", "%s refused the join: %s\n", url.c_str(),
              r == 1 ? reply.reason.c_str() : "no reply");
    WsConnFree(ws);
    return r == 1 ? kOvErrNotSupported : kOvErrState;
  }
  std::vector<IceEntry> ice;
  std::string unused;
  ParseOvwebrtcAddress(reply.ice.c_str(), &ice, &unused);
  const std::vector<OvIceServer> recs = IceRecords(ice);
  OvPeerConnection pc = OvWebrtcCreatePeerConnection(1, recs.data(), static_cast<int>(recs.size()));
  if (!pc) {
    WsConnFree(ws);
    return kOvErrState;
  }
  const std::string req_id = MakeReqId();
  {
    std::lock_guard lk(g_v2_mu);
    g_v2[pc] = V2Conn{ws, peer_id, req_id};
  }
  OvWebrtcSetSendMsg(pc, OnV2SendMsg, nullptr);
  OvWebrtcStartOffer(pc);
  platform::Event* opened = OvWebrtcGetEventHandle(pc);
  bool open = false;
  const auto end = Clock::now() + std::chrono::milliseconds(kSignal2OpenWaitMs);
  std::string why = "not open in time";
  while (!(open = opened->Wait(0)) && Clock::now() < end) {
    Signal2Message in;
    const int k = ReadSignal2(ws, 50, &in);
    if (k < 0) {
      why = "the signalling socket closed";
      break;
    }
    if (k == 0 || in.id != req_id) continue;
    if (in.type == "answer") {
      OvWebrtcSetRemoteDescription(pc, 1, in.sdp.c_str());
    } else if (in.type == "candidate") {
      OvWebrtcAddCandidate(pc, "0", 0, in.candidate.c_str());
    } else if (in.type == "error") {
      why = in.reason;
      break;
    }
  }
  {
    std::lock_guard lk(g_v2_mu);
    g_v2.erase(pc);
  }
  OvWebrtcSetSendMsg(pc, nullptr, nullptr);
  WsConnFree(ws);
  if (!open) {
    LogPrintf(kLogWarning, nullptr, "OvWebrtcStartV2", "%s: %s\n", peer_id, why.c_str());
    OvWebrtcDestroyPeerConnection(pc);
    return kOvErrState;
  }
  *out = pc;
  return 0;
}
