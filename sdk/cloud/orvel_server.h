// COrvelServer: the client of the service's HTTP JSON API (every request a POST with a JSON body through
// libcurl) and the owner of the push channel. The process has one; it discovers the API and push addresses,
// signs the user in, keeps the token fresh, lists devices, fetches recording indexes and storage
// credentials, and dispatches push events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/cloud/device_info.h"
#include "sdk/cloud/record_list.h"
#include "sdk/net/curl_loader.h"
#include "sdk/net/sockio_client.h"
#include "util/json_holder.h"

struct cJSON;

// Result codes besides 0, positive service codes, HTTP statuses and the networking kit's codes.
constexpr int kCloudErrorReply = -1;    // an error reply without a code
constexpr int kCloudBadReply = -10012;  // a 2xx reply that is not a JSON object, or lacks the data asked for
constexpr int kCloudUuidBadReply = -100;  // the UUID information service's reply is not usable
constexpr int kCloudUnsupportedProtocol = -12;
// Service codes that mean the token is no longer valid.
constexpr int kCloudCodeUnauthorized = 401;
constexpr int kCloudCodeTokenExpired = 51023;

constexpr int kCloudSdkRevision = 51;
// Devices asked for per page of the device list.
constexpr int kDeviceListLimit = 200;
// The device list gives up after this many replies without data in a row ...
constexpr int kDeviceListMaxEmptyReplies = 3;
// ... and after this many pages in all.
constexpr int kDeviceListMaxPages = 100;
// Largest reply kept in memory; a longer one fails as a transfer error.
constexpr size_t kCloudMaxReply = 64u << 20;
// Longest push-channel URL.
constexpr size_t kPushUrlMax = 511;
// Characters of a uniq id.
constexpr int kUniqIdLength = 14;

// Calls into the parts of the SDK that the service client drives or notifies (device link, device nodes,
// WebRTC signalling). Unset entries are skipped.
struct CloudSdkHooks {
  int (*p2p_init)() = nullptr;                               // at COrvelServer::Init
  void (*p2p_deinit)() = nullptr;                            // at COrvelServer::Uninit and destruction
  void (*device_online)(const char* uuid) = nullptr;         // "device_status" online push event
  void (*webrtc_signaling)(const cJSON* payload) = nullptr;  // "webrtc" push event
  void (*signaling_setup)(SockioClient* client, const char* user_id, const char* uniq_id) = nullptr;
  void (*signaling_reset)() = nullptr;  // at COrvelServer::Disconnect
};
void CloudSetHooks(const CloudSdkHooks& hooks);
CloudSdkHooks CloudGetHooks();

class COrvelServer {
 public:
  // Loads libcurl.
  COrvelServer();
  // Closes the push channel, releases libcurl, de-initialises the device link.
  virtual ~COrvelServer();
  COrvelServer(const COrvelServer&) = delete;
  COrvelServer& operator=(const COrvelServer&) = delete;

  // Discovery on the environment's entry point (CloudGetDeployment); a non-empty package name becomes the
  // process-wide one. 0 or an error code.
  int Init(const char* package_name, int environment);
  // Signs in ("email" for a name with "@", else "phone") and opens the push channel. A failure signs out:
  // no token or user id is kept, the push channel is closed, and the stored credentials of another name are
  // forgotten.
  int Login(const char* name, const char* password);
  // Closes the push channel and resets the signalling; 0.
  int Disconnect();
  // De-initialises the device link.
  void Uninit();

  // The day's cloud recordings between start and end (seconds), sorted and merged.
  int GetVideoRecord(const char* device_id, int64_t start, int64_t end, std::vector<PlaybackSegment>* out);
  // Storage credentials of a recording's storage account: 0 with the reply's "data" object in *out.
  int GetDeviceToken(const char* device_id, uint32_t ossid, JsonHolder* out);
  // The account's devices (or one device), page by page. On an error the records of earlier pages stay.
  int QueryDeviceList(std::vector<DeviceInfo>* out, const char* device_id);
  int GetAllDevices(std::vector<DeviceInfo>* out) { return QueryDeviceList(out, nullptr); }
  // The record of one device; kCloudBadReply when the listing has none.
  int GetDeviceInfo(const char* device_id, DeviceInfo* out);

  // One request: 0 with the reply's "data" (none when the reply has none), or an error code.
  int _init_mc_curl(const char* url, cJSON* body, JsonHolder* out);
  // _init_mc_curl with the token, and one silent re-log-in and retry when the token has expired.
  int PostWithToken(const char* url, cJSON* body, JsonHolder* out);
  // (Re)opens the push channel for the signed-in user.
  void ConnectPush();

  // Snapshots of the state, for callers and tests.
  std::string ApiBase() const;
  std::string PushBase() const;
  std::string UserId() const;
  std::string UniqId() const;
  bool HasToken() const;
  // Cookies kept from the service, "name=value" pairs joined by "; ".
  std::string Cookie() const;
  // The push client, or null.
  SockioClient* PushClient() const;

 private:
  friend int sockio_cb(SockioClient* client, int event, char* text, int value, void* server);
  int LoginLocked(const std::string& name, const std::string& password);
  void StoreCookies(CURL* handle);
  void ClosePush();

  const CurlApi* curl_ = nullptr;
  mutable std::mutex mu_;  // guards every member below
  std::mutex login_mu_;    // one log-in at a time (also inside retries)
  std::string api_base_;
  std::string push_base_;
  std::string cookie_;
  std::vector<std::string> cookie_lines_;  // libcurl's cookie list, fed back into each request
  std::string token_;
  std::string login_name_;
  std::string login_password_;
  std::string user_id_;
  std::string uniq_id_;
  SockioClient* push_ = nullptr;
};

// The UUID information request: P2P init string, P2P id and password of a device by its UUID from the
// production (test 0) or test service. 0, kCloudUuidBadReply, or a networking code.
int QueryUuidP2pInfo(const char* uuid, int test, std::string* init_string, std::string* p2p_id,
                     std::string* p2p_password);

// The segments of a recording index (the "data" array of the reply), sorted and merged; elements without a
// positive start and duration are left out.
void ParseRecordIndex(const cJSON* data, std::vector<PlaybackSegment>* out);

// The push channel's callback: dispatches socket.io events; 0.
int sockio_cb(SockioClient* client, int event, char* text, int value, void* server);

// Alarm kind of a recording's "tag" (exact match), 1 to 23; 0 for anything else.
int alarmTagToCode(const char* tag);
// libcurl result to the networking kit's codes.
int CurlErrorToCode(int curl_result);
// libcurl write callback appending to a std::string; stops the transfer past kCloudMaxReply.
size_t CurlWriteToMemory(char* data, size_t size, size_t count, void* buffer);
// kUniqIdLength characters of [0-9A-Za-z].
std::string MakeUniqId();
// "YYYY-MM-DD hh:mm:ss" in local time.
std::string FormatLocalTime(int64_t t);
// The root folder of the cloud segment and thumbnail cache; one trailing "/" or "\" is removed.
void SetCacheRoot(const char* folder);
std::string CacheRoot();
// The package name sent with every request ("velmora" until Init is given one).
std::string CloudPackageName();
