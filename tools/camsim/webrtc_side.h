// camsim's WebRTC side: it answers the client's offers arriving as "webrtc" events through cloudsim's push
// channel, on a LAN WebSocket (port 3576 on a camera) and through an "ovwebrtc2" room, and once the seven
// data channels are open hands the peer connection to the simulator, which serves the same device link over
// it as over P2P.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/webrtc/ov_webrtc.h"
#include "tools/camsim/camsim.h"

struct SockioClient;
struct cJSON;

namespace camsim {

struct IceServerText {
  bool turn = false;
  std::string host;
  int port = 0;
  std::string user, pass;
};

struct WebrtcConfig {
  std::string push;                   // cloudsim's push channel, "ws://HOST:PORT"; empty: none
  std::string webrtc2;                // the "ovwebrtc2" room each camera joins (its token); empty: none
  int lan_port = -1;                  // LAN WebSocket port (3576 on a camera); -1: none
  std::string lan_host = "127.0.0.1";
  std::vector<IceServerText> ice;     // servers of the answers through the push channel
  std::string local_ip = "127.0.0.1"; // candidates only on this address; empty: every address
  bool relay_only = false;            // relayed candidates only
  bool silent = false;                // take offers and never answer (tests of the client's time-out)
  int open_wait_ms = 15000;           // how long an answered offer may take to open its channels
};

class WebrtcSide {
 public:
  WebrtcSide(Simulator* sim, std::vector<std::string> dids, WebrtcConfig cfg, Printer print);
  ~WebrtcSide();
  WebrtcSide(const WebrtcSide&) = delete;
  WebrtcSide& operator=(const WebrtcSide&) = delete;

  // Starts the WebRTC library, the push connection and the LAN listener; false with why.
  bool Start(std::string* why);
  // True once the push channel (when asked for) is connected and the LAN listener (when asked for) listens.
  bool Ready() const;
  // The LAN listener's port (useful with port 0).
  int LanPort() const { return lan_port_.load(); }
  void Stop();

  struct Offer;
  struct LanConn;
  struct RoomConn;

 private:
  static constexpr size_t kEarlyConnects = 8, kEarlyCandidates = 32;

  void OnEvent(const cJSON* event, std::shared_ptr<LanConn> lan);
  void TakeOffer(std::shared_ptr<Offer> o, const std::string& sdp, const std::vector<OvIceServer>& ice);
  void TakeCandidate(const std::string& id, const std::string& candidate);
  void RoomLoop(const std::string& did);
  void LanRead(std::shared_ptr<LanConn> c);
  void Waiter(std::shared_ptr<Offer> o);
  static int OnSockio(SockioClient* client, int event, char* text, int value, void* user);

  Simulator* sim_;
  std::vector<std::string> dids_;
  WebrtcConfig cfg_;
  Printer print_;
  bool started_ = false;
  std::atomic<bool> stop_{false};
  std::mutex push_mu_;  // push_
  SockioClient* push_ = nullptr;
  std::atomic<bool> push_up_{false};
  int listen_fd_ = -1;
  std::atomic<int> lan_port_{0};
  std::atomic<int> rooms_joined_{0};
  std::thread acceptor_;
  std::mutex mu_;  // everything below
  std::list<std::thread> threads_;
  std::list<std::shared_ptr<LanConn>> lans_;
  std::list<std::shared_ptr<Offer>> offers_;
  std::map<std::string, std::vector<std::string>> early_;  // request id -> candidates ahead of its offer
};

}  // namespace camsim

namespace camsim {

// A signalling event the camera receives ({"type":"webrtc","from","to","message": object or its text}).
struct DeviceEvent {
  std::string from, to, type, id;
  std::string sdp;        // "call": the decoded offer
  std::string candidate;  // "candidate": the candidate line
  int use_dtls = -1;      // "call": the number given, -1 without one
};
// 0 with *out, -1 for an event without a message of a type and an id.
int ParseDeviceEvent(const cJSON* event, DeviceEvent* out);

// The program's WebRTC options (see kWebrtcHelp): 1 when name is one of them (with *used_value telling
// whether value was taken), 0 when not, -1 with why for a bad value.
int ParseWebrtcOption(const std::string& name, const char* value, WebrtcConfig* cfg, bool* used_value,
                      std::string* why);
extern const char kWebrtcHelp[];

}  // namespace camsim
