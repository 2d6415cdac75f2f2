// The WebRTC transports of the device link: "ovwebrtc" (signalling done here, over the push channel or a
// WebSocket to the device on the LAN) and "ovwebrtc2" (the library's own signalling, ovwebrtc2.md).
// Data of the seven channels is split into byte queues (DataChannelDemux) from which the device link reads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/device/kivo_p2p.h"
#include "sdk/webrtc/ov_webrtc.h"

struct cJSON;
struct WsConn;
class BlockingQueue;
struct SockioClient;

extern const TransportOps kOvwebrtcTransport;
extern const TransportOps kOvwebrtc2Transport;

// Queue sizes: channel 0 (commands), channel 1, channels 2..6 (media).
constexpr uint32_t kDemuxQueue0 = 4096;
constexpr uint32_t kDemuxQueue1 = 65536;
constexpr uint32_t kDemuxQueueMedia = 524288;
constexpr int kOvwebrtcCloudWaitMs = 12000;
constexpr int kOvwebrtcLanWaitMs = 6000;
constexpr int kOvwebrtcLanPort = 3576;

// The transport handle of both WebRTC transports.
class DataChannelDemux {
 public:
  explicit DataChannelDemux(OvPeerConnection pc);
  ~DataChannelDemux();
  DataChannelDemux(const DataChannelDemux&) = delete;
  DataChannelDemux& operator=(const DataChannelDemux&) = delete;

  // Writes the bytes into the channel's queue (made on first use), waiting while it is full until all are in
  // or the demultiplexer closes; channel 7 and above are dropped. Runs on the layer's per-channel delivery
  // thread, so a full queue holds only its own channel.
  void OnData(int channel, const uint8_t* bytes, int length);
  // Up to length bytes of the channel: the count, -1 for a channel above 6, -10005 when nothing came within
  // the time-out (queue not made yet: waits in 100 ms steps).
  int Recv(int channel, void* buffer, int length, int timeout_ms);
  // Writers waiting on a full queue give up (before the peer connection is destroyed).
  void StopWriters() { closing_ = true; }
  void FreeQueues();

  OvPeerConnection pc;

 private:
  BlockingQueue* Queue(int channel, bool create);

  std::mutex queues_mu_;  // creation and release of the queues
  std::atomic<BlockingQueue*> queues_[kOvChannels] = {};
  std::atomic<bool> closing_{false};
};

// One connect in progress.
struct SignalConn {
  OvPeerConnection pc = nullptr;
  char req_id[17] = {};
  std::string device_id;
  int lan = 0;
  WsConn* ws = nullptr;
  std::atomic<uint8_t> run{0};
  std::thread reader;
  int use_dtls = 0;
};

// An ICE server of the address text.
struct IceEntry {
  uint32_t is_turn = 0;
  uint32_t port = 0;
  std::string ip, user, pass;
};

// An incoming signalling message, decoded.
struct SignalingMessage {
  std::string id;
  std::string type;       // "answer", "offer", "candidate" or another (ignored)
  std::string sdp;        // decoded SDP ("answer", "offer")
  std::string candidate;  // the candidate line ("candidate")
};

// The library's records of the entries (pointing into them).
std::vector<OvIceServer> IceRecords(const std::vector<IceEntry>& entries);
// The "ovwebrtc" address rest: 1 and *lan_ip for an object with "ip" (LAN); else 0 with the ICE list
// ("stuns" of an object, or the array itself; anything else an empty list).
int ParseOvwebrtcAddress(const char* rest, std::vector<IceEntry>* ice, std::string* lan_ip);
// The event object of an incoming "webrtc" event: 0 with *out, -1 when it holds no message with an id.
int ParseSignalingEvent(const cJSON* event, SignalingMessage* out);
// A LAN frame's text ("42" prefix optional): 1 with *event (a copy the caller deletes) for a "message" whose
// element 1 is a "webrtc" object, 0 for another message to skip, -1 for anything else (the reader ends).
int ParseLanFrame(const char* text, size_t length, cJSON** event);
// The outgoing events: the JSON array text ["ov/device/<id>/webrtc", "<event object text>"], whole.
std::string BuildCallEvent(const char* user_id, const char* device_id, const char* req_id, int use_dtls,
                           const char* sdp, size_t sdp_length);
std::string BuildCandidateEvent(const char* user_id, const char* device_id, const char* req_id,
                                const char* candidate);
// 16 characters of 0-9, A-Z, a-z.
std::string MakeReqId();

// Signalling context, kept while the push channel is open.
void WebrtcSignalingSetup(SockioClient* client, const char* user_id, const char* second);
void WebrtcSignalingReset();
// An incoming "webrtc" event object (push channel or LAN reader).
void WebrtcOnSignaling(const cJSON* event);

int ovwebrtcInit();
void ovwebrtcDeinit();
int ovwebrtcConnect(const char* rest, const char* peer_id, int flags, TransportHandle* out);
int ovwebrtcConnectCloud(const char* device_id, const OvIceServer* records, int count, TransportHandle* out);
int ovwebrtcConnectLan(const char* ip, const char* device_id, TransportHandle* out);
// Tests: the port of the device's LAN WebSocket (kOvwebrtcLanPort when 0 or out of range).
void ovwebrtcSetLanPort(int port);
int ovwebrtc2Connect(const char* rest, const char* peer_id, int flags, TransportHandle* out);
void ovwebrtcClose(TransportHandle h);
int ovwebrtcIsAlive(TransportHandle h);
int ovwebrtcSend(TransportHandle h, int channel, const void* bytes, int length);
int ovwebrtcRecv(TransportHandle h, int channel, void* buffer, int length, int timeout_ms);
int ovwebrtcCheckSendBuf(TransportHandle h, int reserved, int bytes, int* load);
