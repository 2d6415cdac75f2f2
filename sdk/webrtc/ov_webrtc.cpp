#include "sdk/webrtc/ov_webrtc.h"

#define GST_USE_UNSTABLE_API 1
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"

namespace {

constexpr guint64 kHighWater = 1u << 20;  // wait above this many buffered bytes
constexpr guint64 kLowWater = 256u << 10;
constexpr int kCloseWaitMs = 1000;

struct Loop {
  std::mutex mu;
  int users = 0;
  GMainContext* ctx = nullptr;
  GMainLoop* loop = nullptr;
  std::thread thread;
  std::string local_ip;
  bool relay_only = false;
};
Loop g_loop;

struct Delivery {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::vector<uint8_t>> pending;
  std::thread thread;
};

struct Peer : std::enable_shared_from_this<Peer> {
  GstElement* pipe = nullptr;
  GstElement* wb = nullptr;
  GstWebRTCDataChannel* ch[kOvChannels] = {};
  std::vector<std::pair<gpointer, gulong>> handlers;
  // Held by every signal handler while it runs, and taken once after the handlers are disconnected: a
  // handler's last touch of the peer is then ordered before the peer's release.
  std::mutex handler_mu;
  std::atomic<bool> closed{false};
  std::atomic<int> opened_count{0};
  std::atomic<int> closed_count{0};
  std::atomic<int> state{1};
  platform::Event opened{true};

  std::mutex cb_mu;  // callbacks and pending candidates
  OvSendMsgFn send_fn = nullptr;
  void* send_user = nullptr;
  OvDataFn data_fn = nullptr;
  void* data_user = nullptr;
  bool remote_set = false;
  std::vector<std::string> pending_candidates;

  std::mutex flow_mu;  // send flow control
  std::condition_variable flow_cv;

  Delivery delivery[kOvChannels];
};

std::mutex g_peers_mu;
std::vector<std::shared_ptr<Peer>> g_peers;

std::shared_ptr<Peer> FindPeer(OvPeerConnection pc) {
  std::lock_guard lk(g_peers_mu);
  for (auto& p : g_peers)
    if (p.get() == pc) return p;
  return nullptr;
}

// Runs fn on the loop thread, without waiting.
void Post(std::function<void()> fn) {
  auto* f = new std::function<void()>(std::move(fn));
  g_main_context_invoke_full(
      g_loop.ctx, G_PRIORITY_DEFAULT,
      [](gpointer d) -> gboolean {
        (*static_cast<std::function<void()>*>(d))();
        return G_SOURCE_REMOVE;
      },
      f, [](gpointer d) { delete static_cast<std::function<void()>*>(d); });
}

// Runs fn on the loop thread and waits for it (runs it at once on the loop thread itself).
void RunSync(const std::function<void()>& fn) {
  if (g_main_context_is_owner(g_loop.ctx)) {
    fn();
    return;
  }
  std::promise<void> done;
  auto fut = done.get_future();
  Post([&] {
    fn();
    done.set_value();
  });
  fut.wait();
}

template <class Fn>
void Connect(const std::shared_ptr<Peer>& p, gpointer obj, const char* sig, Fn cb) {
  auto* ref = new std::shared_ptr<Peer>(p);
  gulong id = g_signal_connect_data(
      obj, sig, G_CALLBACK(cb), ref,
      [](gpointer d, GClosure*) { delete static_cast<std::shared_ptr<Peer>*>(d); }, GConnectFlags(0));
  p->handlers.emplace_back(obj, id);
}

Peer* Of(gpointer d) { return static_cast<std::shared_ptr<Peer>*>(d)->get(); }

// A promise whose reply is handed to fn on the loop thread.
GstPromise* MakePromise(const std::shared_ptr<Peer>& p, std::function<void(Peer*, const GstStructure*)> fn) {
  struct Ctx {
    std::shared_ptr<Peer> peer;
    std::function<void(Peer*, const GstStructure*)> fn;
  };
  auto* c = new Ctx{p, std::move(fn)};
  return gst_promise_new_with_change_func(
      [](GstPromise* promise, gpointer d) {
        auto* c = static_cast<Ctx*>(d);
        GstStructure* reply = nullptr;
        if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED && gst_promise_get_reply(promise))
          reply = gst_structure_copy(gst_promise_get_reply(promise));
        auto peer = c->peer;
        auto fn = c->fn;
        Post([peer, fn, reply] {
          if (!peer->closed) fn(peer.get(), reply);
          if (reply) gst_structure_free(reply);
        });
      },
      c, [](gpointer d) { delete static_cast<Ctx*>(d); });
}

void SendSignal(Peer* p, const char* kind, const std::string& text) {
  OvSendMsgFn fn;
  void* user;
  {
    std::lock_guard lk(p->cb_mu);
    fn = p->send_fn;
    user = p->send_user;
  }
  if (fn) fn(p, user, kind, text.data(), static_cast<int>(text.size()));
}

// The offer's media sections are named by their index ("0"), the name every candidate carries as its
// sdpMid; webrtcbin would name them "application0". The bundle group follows.
void NameMediaByIndex(GstSDPMessage* sdp) {
  std::string group = "BUNDLE";
  const guint medias = gst_sdp_message_medias_len(sdp);
  for (guint i = 0; i < medias; ++i) {
    GstSDPMedia* m = const_cast<GstSDPMedia*>(gst_sdp_message_get_media(sdp, i));
    const std::string mid = std::to_string(i);
    group += " " + mid;
    for (guint a = 0; a < gst_sdp_media_attributes_len(m); ++a) {
      const GstSDPAttribute* attr = gst_sdp_media_get_attribute(m, a);
      if (g_strcmp0(attr->key, "mid") != 0) continue;
      GstSDPAttribute named;
      gst_sdp_attribute_set(&named, "mid", mid.c_str());
      gst_sdp_media_replace_attribute(m, a, &named);
    }
  }
  for (guint a = 0; a < gst_sdp_message_attributes_len(sdp); ++a) {
    const GstSDPAttribute* attr = gst_sdp_message_get_attribute(sdp, a);
    if (g_strcmp0(attr->key, "group") != 0 || !attr->value || std::strncmp(attr->value, "BUNDLE", 6) != 0)
      continue;
    GstSDPAttribute named;
    gst_sdp_attribute_set(&named, "group", group.c_str());
    gst_sdp_message_replace_attribute(sdp, a, &named);
  }
}

// Takes the local description of the given type from a promise reply, hands it out, then applies it.
void OnLocalDescription(Peer* p, const GstStructure* reply, const char* field, const char* kind) {
  GstWebRTCSessionDescription* desc = nullptr;
  if (!reply || !gst_structure_get(reply, field, GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &desc, nullptr) ||
      !desc) {
    fprintf(stderr, "[ov_webrtc]: creating the %s failed\n", kind);
    p->state = -1;
    return;
  }
  if (std::strcmp(kind, "offer") == 0) NameMediaByIndex(desc->sdp);
  gchar* text = gst_sdp_message_as_text(desc->sdp);
  SendSignal(p, kind, text);
  g_free(text);
  g_signal_emit_by_name(p->wb, "set-local-description", desc, nullptr);
  gst_webrtc_session_description_free(desc);
}

void FlushCandidates(Peer* p) {
  std::vector<std::string> cands;
  {
    std::lock_guard lk(p->cb_mu);
    p->remote_set = true;
    cands.swap(p->pending_candidates);
  }
  for (auto& c : cands) g_signal_emit_by_name(p->wb, "add-ice-candidate", 0u, c.c_str());
}

void DeliveryLoop(std::shared_ptr<Peer> p, int channel) {
  Delivery& d = p->delivery[channel];
  for (;;) {
    std::vector<uint8_t> msg;
    {
      std::unique_lock lk(d.mu);
      // Held until a data callback is registered, so nothing sent right after the open is lost.
      d.cv.wait(lk, [&] {
        if (p->closed) return true;
        if (d.pending.empty()) return false;
        std::lock_guard cl(p->cb_mu);
        return p->data_fn != nullptr;
      });
      if (p->closed) return;
      msg = std::move(d.pending.front());
      d.pending.pop_front();
    }
    OvDataFn fn;
    void* user;
    {
      std::lock_guard lk(p->cb_mu);
      fn = p->data_fn;
      user = p->data_user;
    }
    if (fn) fn(channel, msg.data(), static_cast<int>(msg.size()), user);
  }
}

void Queue(Peer* p, int channel, const void* data, size_t n) {
  if (channel < 0 || channel >= kOvChannels || p->closed) return;
  Delivery& d = p->delivery[channel];
  {
    std::lock_guard lk(d.mu);
    auto* b = static_cast<const uint8_t*>(data);
    d.pending.emplace_back(b, b + n);
  }
  d.cv.notify_one();
}

int ChannelOf(Peer* p, GstWebRTCDataChannel* dc) {
  for (int i = 0; i < kOvChannels; ++i)
    if (p->ch[i] == dc) return i;
  return -1;
}

void SetUpPeer(const std::shared_ptr<Peer>& p, const OvIceServer* servers, int count, bool* ok) {
  *ok = false;
  p->pipe = gst_pipeline_new(nullptr);
  p->wb = gst_element_factory_make("webrtcbin", nullptr);
  if (!p->pipe || !p->wb) {
    if (p->wb) gst_object_unref(p->wb);
    p->wb = nullptr;
    return;
  }
  gst_bin_add(GST_BIN(p->pipe), p->wb);
  g_object_set(p->wb, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, nullptr);
  bool stun_set = false;
  for (int i = 0; i < count && servers; ++i) {
    const OvIceServer& s = servers[i];
    if (!s.host || !*s.host || s.port == 0 || s.port > 65535) continue;
    if (s.is_turn) {
      gchar* u = g_uri_escape_string(s.user ? s.user : "", nullptr, FALSE);
      gchar* w = g_uri_escape_string(s.pass ? s.pass : "", nullptr, FALSE);
      std::string url = std::string("turn://") + u + ":" + w + "@" + s.host + ":" + std::to_string(s.port);
      g_free(u);
      g_free(w);
      gboolean added = FALSE;
      g_signal_emit_by_name(p->wb, "add-turn-server", url.c_str(), &added);
    } else if (!stun_set) {
      std::string url = std::string("stun://") + s.host + ":" + std::to_string(s.port);
      g_object_set(p->wb, "stun-server", url.c_str(), nullptr);
      stun_set = true;
    }
  }
  if (g_loop.relay_only)
    g_object_set(p->wb, "ice-transport-policy", GST_WEBRTC_ICE_TRANSPORT_POLICY_RELAY, nullptr);
  GObject* ice = nullptr;
  g_object_get(p->wb, "ice-agent", &ice, nullptr);
  if (ice) {
    if (!g_loop.local_ip.empty()) {
      gboolean added = FALSE;
      g_signal_emit_by_name(ice, "add-local-ip-address", g_loop.local_ip.c_str(), &added);
    }
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "ice-tcp"))
      g_object_set(ice, "ice-tcp", FALSE, nullptr);
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent")) {
      GObject* agent = nullptr;
      g_object_get(ice, "agent", &agent, nullptr);
      if (agent) {
        // No UPnP (it multicasts SSDP), and connectivity checks as keep-alives so a dead peer is noticed.
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(agent), "upnp"))
          g_object_set(agent, "upnp", FALSE, nullptr);
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(agent), "keepalive-conncheck"))
          g_object_set(agent, "keepalive-conncheck", TRUE, nullptr);
        g_object_unref(agent);
      }
    }
    g_object_unref(ice);
  }
  Connect(
      p, p->wb, "on-ice-candidate", +[](GstElement*, guint, gchar* cand, gpointer d) {
        Peer* self = Of(d);
        std::lock_guard hl(self->handler_mu);
        if (self->closed || !cand) return;
        auto peer = self->shared_from_this();
        std::string text = cand;
        Post([peer, text] {
          if (!peer->closed) SendSignal(peer.get(), "candidate", text);
        });
      });
  Connect(
      p, p->wb, "notify::connection-state", +[](GObject* obj, GParamSpec*, gpointer d) {
        GstWebRTCPeerConnectionState st;
        g_object_get(obj, "connection-state", &st, nullptr);
        Peer* self = Of(d);
        std::lock_guard hl(self->handler_mu);
        if (st == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED)
          self->state = self->opened_count == kOvChannels ? 0 : 1;
        else if (st == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED ||
                 st == GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED ||
                 st == GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED)
          self->state = -1;
        self->flow_cv.notify_all();
      });
  if (gst_element_set_state(p->pipe, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) return;
  for (int i = 0; i < kOvChannels; ++i) {
    GstStructure* opts = gst_structure_new("application/data-channel", "negotiated", G_TYPE_BOOLEAN, TRUE,
                                           "id", G_TYPE_INT, i, "ordered", G_TYPE_BOOLEAN, TRUE, nullptr);
    std::string label = "ch" + std::to_string(i);
    GstWebRTCDataChannel* dc = nullptr;
    g_signal_emit_by_name(p->wb, "create-data-channel", label.c_str(), opts, &dc);
    gst_structure_free(opts);
    if (!dc) return;
    p->ch[i] = dc;
    g_object_set(dc, "buffered-amount-low-threshold", kLowWater, nullptr);
    Connect(
        p, dc, "on-open", +[](GstWebRTCDataChannel*, gpointer d) {
          Peer* self = Of(d);
          std::lock_guard hl(self->handler_mu);
          if (++self->opened_count == kOvChannels) {
            self->state = 0;
            self->opened.Set();
          }
        });
    Connect(
        p, dc, "on-close", +[](GstWebRTCDataChannel*, gpointer d) {
          Peer* self = Of(d);
          std::lock_guard hl(self->handler_mu);
          ++self->closed_count;
          self->state = -1;
          self->flow_cv.notify_all();
        });
    Connect(
        p, dc, "on-error", +[](GstWebRTCDataChannel*, GError*, gpointer d) {
          Peer* self = Of(d);
          std::lock_guard hl(self->handler_mu);
          self->state = -1;
          self->flow_cv.notify_all();
        });
    Connect(
        p, dc, "on-message-data", +[](GstWebRTCDataChannel* c, GBytes* b, gpointer d) {
          Peer* self = Of(d);
          std::lock_guard hl(self->handler_mu);
          if (!b) return;
          gsize n = 0;
          const void* data = g_bytes_get_data(b, &n);
          Queue(self, ChannelOf(self, c), data, n);
        });
    Connect(
        p, dc, "on-message-string", +[](GstWebRTCDataChannel* c, gchar* s, gpointer d) {
          Peer* self = Of(d);
          std::lock_guard hl(self->handler_mu);
          if (s) Queue(self, ChannelOf(self, c), s, strlen(s));
        });
    Connect(
        p, dc, "on-buffered-amount-low", +[](GstWebRTCDataChannel*, gpointer d) {
          Peer* self = Of(d);
          std::lock_guard hl(self->handler_mu);
          std::lock_guard lk(self->flow_mu);
          self->flow_cv.notify_all();
        });
  }
  *ok = true;
}

// Closes the open channels so the peer learns of the end at once rather than after ICE gives up.
void CloseChannels(Peer* p) {
  if (p->opened_count < kOvChannels) return;
  for (auto* dc : p->ch)
    if (dc) gst_webrtc_data_channel_close(dc);
}

void TearDown(Peer* p) {
  for (auto& [obj, id] : p->handlers) g_signal_handler_disconnect(obj, id);
  p->handlers.clear();
  { std::lock_guard hl(p->handler_mu); }
  if (p->pipe) {
    gst_element_set_state(p->pipe, GST_STATE_NULL);
  }
  for (auto*& dc : p->ch) {
    if (dc) gst_object_unref(dc);
    dc = nullptr;
  }
  if (p->pipe)
    gst_object_unref(p->pipe);
  else if (p->wb)
    gst_object_unref(p->wb);
  p->pipe = p->wb = nullptr;
}

}  // namespace

int OvWebrtcInit() {
  std::lock_guard lk(g_loop.mu);
  if (g_loop.users++ > 0) return 0;
  gst_init(nullptr, nullptr);
  GstElementFactory* f = gst_element_factory_find("webrtcbin");
  if (!f) {
    fprintf(stderr, "[ov_webrtc]: GStreamer has no webrtcbin\n");
    --g_loop.users;
    return -1;
  }
  gst_object_unref(f);
  g_loop.ctx = g_main_context_new();
  g_loop.loop = g_main_loop_new(g_loop.ctx, FALSE);
  g_loop.thread = std::thread([] {
    g_main_context_push_thread_default(g_loop.ctx);
    g_main_loop_run(g_loop.loop);
    g_main_context_pop_thread_default(g_loop.ctx);
  });
  return 0;
}

void OvWebrtcUninit() {
  std::vector<std::shared_ptr<Peer>> left;
  {
    std::lock_guard lk(g_loop.mu);
    if (g_loop.users == 0 || --g_loop.users > 0) return;
  }
  {
    std::lock_guard lk(g_peers_mu);
    left = g_peers;
  }
  for (auto& p : left) OvWebrtcDestroyPeerConnection(p.get());
  std::lock_guard lk(g_loop.mu);
  if (g_loop.users > 0 || !g_loop.loop) return;
  GMainLoop* loop = g_loop.loop;
  Post([loop] { g_main_loop_quit(loop); });
  g_loop.thread.join();
  g_main_loop_unref(g_loop.loop);
  g_main_context_unref(g_loop.ctx);
  g_loop.loop = nullptr;
  g_loop.ctx = nullptr;
}

void OvWebrtcSetLocalAddress(const char* ip) {
  std::lock_guard lk(g_loop.mu);
  g_loop.local_ip = ip ? ip : "";
}

void OvWebrtcSetRelayOnly(bool relay_only) {
  std::lock_guard lk(g_loop.mu);
  g_loop.relay_only = relay_only;
}

OvPeerConnection OvWebrtcCreatePeerConnection(int /*flags*/, const OvIceServer* servers, int count) {
  {
    std::lock_guard lk(g_loop.mu);
    if (g_loop.users == 0) return nullptr;
  }
  auto p = std::make_shared<Peer>();
  bool ok = false;
  RunSync([&] {
    SetUpPeer(p, servers, count, &ok);
    if (!ok) {
      p->closed = true;
      TearDown(p.get());
    }
  });
  if (!ok) return nullptr;
  for (int i = 0; i < kOvChannels; ++i) p->delivery[i].thread = std::thread(DeliveryLoop, p, i);
  std::lock_guard lk(g_peers_mu);
  g_peers.push_back(p);
  return p.get();
}

void OvWebrtcDestroyPeerConnection(OvPeerConnection pc) {
  std::shared_ptr<Peer> p;
  {
    std::lock_guard lk(g_peers_mu);
    for (auto it = g_peers.begin(); it != g_peers.end(); ++it)
      if (it->get() == pc) {
        p = *it;
        g_peers.erase(it);
        break;
      }
  }
  if (!p) return;
  p->closed = true;
  p->state = -1;
  {
    std::lock_guard lk(p->flow_mu);
    p->flow_cv.notify_all();
  }
  for (auto& d : p->delivery) {
    { std::lock_guard lk(d.mu); }
    d.cv.notify_all();
  }
  RunSync([&] { CloseChannels(p.get()); });
  // The peer learns of the end once the channels' closing is through (it answers the stream resets).
  if (p->opened_count == kOvChannels)
    for (int waited = 0; p->closed_count < kOvChannels && waited < kCloseWaitMs; waited += 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  RunSync([&] { TearDown(p.get()); });
  for (auto& d : p->delivery)
    if (d.thread.joinable()) {
      if (d.thread.get_id() == std::this_thread::get_id())
        d.thread.detach();
      else
        d.thread.join();
    }
}

int OvWebrtcSetSendMsg(OvPeerConnection pc, OvSendMsgFn fn, void* user) {
  auto p = FindPeer(pc);
  if (!p) return kOvErrArg;
  std::lock_guard lk(p->cb_mu);
  p->send_fn = fn;
  p->send_user = user;
  return 0;
}

int OvWebrtcSetDataCallback(OvPeerConnection pc, OvDataFn fn, void* user) {
  auto p = FindPeer(pc);
  if (!p) return kOvErrArg;
  {
    std::lock_guard lk(p->cb_mu);
    p->data_fn = fn;
    p->data_user = user;
  }
  for (auto& d : p->delivery) {
    { std::lock_guard lk(d.mu); }
    d.cv.notify_all();
  }
  return 0;
}

int OvWebrtcStartOffer(OvPeerConnection pc) {
  auto p = FindPeer(pc);
  if (!p) return kOvErrArg;
  Post([p] {
    if (p->closed) return;
    GstPromise* promise = MakePromise(
        p, [](Peer* self, const GstStructure* reply) { OnLocalDescription(self, reply, "offer", "offer"); });
    g_signal_emit_by_name(p->wb, "create-offer", nullptr, promise);
    gst_promise_unref(promise);
  });
  return 0;
}

int OvWebrtcSetRemoteDescription(OvPeerConnection pc, int is_answer, const char* sdp) {
  auto p = FindPeer(pc);
  if (!p || !sdp) return kOvErrArg;
  GstSDPMessage* msg = nullptr;
  if (gst_sdp_message_new_from_text(sdp, &msg) != GST_SDP_OK || !msg ||
      gst_sdp_message_medias_len(msg) == 0) {
    if (msg) gst_sdp_message_free(msg);
    return kOvErrSdp;
  }
  GstWebRTCSessionDescription* desc = gst_webrtc_session_description_new(
      is_answer ? GST_WEBRTC_SDP_TYPE_ANSWER : GST_WEBRTC_SDP_TYPE_OFFER, msg);
  Post([p, desc, is_answer] {
    if (p->closed) {
      gst_webrtc_session_description_free(desc);
      return;
    }
    GstPromise* promise = MakePromise(p, [is_answer](Peer* self, const GstStructure*) {
      FlushCandidates(self);
      if (is_answer) return;
      auto peer = self->shared_from_this();
      GstPromise* answer = MakePromise(
          peer, [](Peer* s, const GstStructure* reply) { OnLocalDescription(s, reply, "answer", "answer"); });
      g_signal_emit_by_name(self->wb, "create-answer", nullptr, answer);
      gst_promise_unref(answer);
    });
    g_signal_emit_by_name(p->wb, "set-remote-description", desc, promise);
    gst_promise_unref(promise);
    gst_webrtc_session_description_free(desc);
  });
  return 0;
}

int OvWebrtcAddCandidate(OvPeerConnection pc, const char* /*mid*/, int /*mline*/, const char* candidate) {
  auto p = FindPeer(pc);
  if (!p || !candidate) return kOvErrArg;
  std::string text = candidate;
  if (text.empty()) return 0;  // end of candidates
  Post([p, text] {
    if (p->closed) return;
    {
      std::lock_guard lk(p->cb_mu);
      if (!p->remote_set) {
        p->pending_candidates.push_back(text);
        return;
      }
    }
    g_signal_emit_by_name(p->wb, "add-ice-candidate", 0u, text.c_str());
  });
  return 0;
}

int OvWebrtcSend(OvPeerConnection pc, int channel, const void* bytes, int length) {
  if (channel < 0 || channel >= kOvChannels || length < 0 || (!bytes && length > 0)) return kOvErrArg;
  auto p = FindPeer(pc);
  if (!p) return kOvErrArg;
  if (p->closed || p->opened_count < kOvChannels) return kOvErrState;
  GstWebRTCDataChannel* dc = p->ch[channel];
  auto* b = static_cast<const uint8_t*>(bytes);
  int done = 0;
  while (done < length) {
    {
      std::unique_lock lk(p->flow_mu);
      for (;;) {
        if (p->closed || p->state < 0) return kOvErrState;
        guint64 buffered = 0;
        g_object_get(dc, "buffered-amount", &buffered, nullptr);
        if (buffered <= kHighWater) break;
        p->flow_cv.wait_for(lk, std::chrono::milliseconds(100));
      }
    }
    int n = std::min(length - done, kOvMaxMessage);
    GBytes* chunk = g_bytes_new(b + done, static_cast<gsize>(n));
    GError* err = nullptr;
    gboolean ok = gst_webrtc_data_channel_send_data_full(dc, chunk, &err);
    g_bytes_unref(chunk);
    if (!ok) {
      fprintf(stderr, "[ov_webrtc]: send on channel %d failed: %s\n", channel, err ? err->message : "?");
      if (err) g_error_free(err);
      return kOvErrSend;
    }
    done += n;
  }
  return length;
}

int OvWebrtcGetConnStatus(OvPeerConnection pc) {
  auto p = FindPeer(pc);
  if (!p || p->closed) return -1;
  return p->state.load();
}

platform::Event* OvWebrtcGetEventHandle(OvPeerConnection pc) {
  auto p = FindPeer(pc);
  return p ? &p->opened : nullptr;
}
