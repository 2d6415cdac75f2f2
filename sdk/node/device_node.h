// DeviceNode: what the client keeps for one device of the account (its record, its session facade, its cloud
// player and segment store, a background connect thread), the connection strategy that picks the transport
// and connect mode from the record, the wake-up of sleeping low-power cameras, authentication with the
// password or a time-based token, and the process-wide device list.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/cloudplay/cs_player.h"
#include "sdk/cloud/device_info.h"
#include "sdk/storage/oss_cacher.h"
#include "sdk/device/p2p_client.h"
#include "util/shared_ref.h"

class COrvelServer;
class DeviceNode;

constexpr int kStateServerDefaultPort = 18081;
constexpr int kWakeUpWaitMs = 10000;

// (node, result, user value), called on the connect thread.
using DeviceConnectCallback = void (*)(DeviceNode* node, int result, void* user);

// LAN-only mode (the application's "lan_only" setting): every connect is refused with -10008.
void DeviceNodeSetLanOnly(bool on);
bool DeviceNodeLanOnly();

class DeviceNode : public CsSegmentSource {
 public:
  DeviceNode();
  ~DeviceNode() override;
  DeviceNode(const DeviceNode&) = delete;
  DeviceNode& operator=(const DeviceNode&) = delete;

  DeviceInfo& Info() { return info_; }
  const DeviceInfo& Info() const { return info_; }
  COrvelServer* Server() const { return server_; }
  void SetServer(COrvelServer* server) { server_ = server; }
  // Makes the node's segment store (cacher and storage accessors) from the record.
  void MakeSegmentStore();

  CP2pClient* GetP2pClient();
  // The session the node holds now, without making one; null when none was made.
  CP2pClient* PeekP2pClient() const { return client_.Get(); }
  CCsPlayerFw* GetPlayer();

  int ConnectOnly(CP2pClient* client);
  int VerifyPassword();
  int Connect();
  bool ConnectAsync(DeviceConnectCallback callback, void* user);
  int JoinConnectThread();
  void Disconnect();
  int LastResult() const { return last_result_; }

  // Cloud storage: the accessor of a storage id (made on first use; null when the service refuses), and the
  // segments of the node's cloud recordings.
  COssAccessor* GetAccessor(uint32_t ossid);
  int DownloadSegment(uint32_t ossid, const std::string& key, std::string* local_path);
  CCsCacher* Cacher() override;
  int DownloadSegmentAt(uint32_t ossid, int64_t t, std::string* local_path) override;

 private:
  int P2pConnect(CP2pClient* client);

  DeviceInfo info_;
  SharedRef<CP2pClient> client_;
  SharedRef<CCsPlayerFw> player_;
  COrvelServer* server_ = nullptr;
  SharedRef<CsSegmentStore> store_;
  std::mutex thread_mu_;
  std::thread connect_thread_;
  int last_result_ = 0;
};

// The P2P connect mode the record selects (the "lpsim" kind probes first with 0x7F, then uses this).
int DeviceConnectMode(const DeviceInfo& info);
// The time-based credential of low-power and doorbell devices: "<t> <Base64(HMAC-MD5(uuid, t))>".
std::string DeviceAuthToken(const std::string& uuid, time_t now);
// The JSON array of the relay list handed to the WebRTC transport.
std::string RelayListJson(const std::vector<TurnServerEntry>& relays);

// Waits for a "device_status" online event of one device.
class WakeUpWaiter {
 public:
  explicit WakeUpWaiter(std::string device_id);
  ~WakeUpWaiter();
  WakeUpWaiter(const WakeUpWaiter&) = delete;
  WakeUpWaiter& operator=(const WakeUpWaiter&) = delete;
  // True when the device came online within ms (auto-reset).
  bool Wait(int ms);
  void Signal();
  const std::string& DeviceId() const { return device_id_; }

 private:
  const std::string device_id_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

// Signals every waiter of exactly this device id. The push channel's "device_status" online hook.
void NotifyDeviceOnline(const char* device_id);
// Sends "<device id up to its first ','>\n" to up to three state servers ("host[:port]"; a host name is
// resolved), waiting up to budget_ms; 1 when one answered with some bytes, else 0.
int WakeUpDevice(const std::string* servers, int count, int default_port, const char* device_id,
                 int budget_ms);

// The account's devices.
using DeviceNodeList = std::vector<DeviceNode*>;
DeviceNodeList& ProcessDeviceNodes();
int LoadDeviceNodes(DeviceNodeList* list, COrvelServer* server);
void ClearDeviceNodes(DeviceNodeList* list);
