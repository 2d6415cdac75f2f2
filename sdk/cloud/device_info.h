// The device records of the account as the service's device list describes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct cJSON;

// One ICE server of a device's WebRTC transport.
struct TurnServerEntry {
  int32_t is_turn = 0;  // 1 TURN, 0 STUN
  int32_t port = 0;
  int32_t mode = 0;
  std::string host;
  std::string user;
  std::string password;
};

// Transport flags of DeviceInfo.
enum : int32_t {
  kTransportP2p = 1,      // P2P library with the p2p_platform server text
  kTransportWebrtc = 2,   // WebRTC with the relay list
  kTransportWebrtc2 = 4,  // the second WebRTC transport with the ovwebrtc2 id
};

constexpr int kStateServerCount = 3;
// A firmware version text is completed with "0" to at least this many characters.
constexpr size_t kVersionMinLength = 8;

struct DeviceInfo {
  std::string id;  // the service's device id ("device_id" of service requests)
  std::string name;
  std::string uuid;
  std::string p2p_id;
  std::string password;
  std::string image_path;
  std::string current_version;
  std::string timezone;
  std::string des_key;
  std::string device_type;
  std::string p2p_platform;                      // P2P server text for the P2P transport
  std::string state_servers[kStateServerCount];  // wake-up servers: host with an optional ":port"
  int32_t is_online = 0;
  int32_t bind_type = 0;
  int32_t update_status = 0;
  uint8_t is_upgrade = 0;
  std::string connect_way;
  int32_t transport_flags = 0;
  std::vector<TurnServerEntry> relay_list;
  std::string ovwebrtc2_id;
  uint8_t webrtc_failed = 0;  // set by the connection strategy after a failed WebRTC attempt
};

// Fills info from one element of a device-list reply (an object; anything else gives a default record with
// the default state servers). default_state_servers stands in when the element has no "p2p_state_server";
// null means empty texts.
void DeviceInfoFromJson(const cJSON* element, const std::string* default_state_servers, DeviceInfo* info);
