#include "sdk/node/device_node.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <list>

#include "sdk/cloud/orvel_server.h"
#include "util/base64.h"
#include "util/log.h"

namespace {

std::atomic<bool> g_lan_only{false};

std::mutex g_waiters_mu;
std::list<WakeUpWaiter*> g_waiters;

bool EndsWith(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

void JsonEscape(const std::string& in, std::string* out) {
  for (unsigned char c : in) {
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out->append(buf);
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
}

std::vector<std::string> NonEmptyServers(const DeviceInfo& info) {
  std::vector<std::string> out;
  for (const std::string& s : info.state_servers)
    if (!s.empty()) out.push_back(s);
  return out;
}

// Wake-up of a low-power device: state servers, then the "device_status" online event.
void WakeAndWait(const DeviceInfo& info) {
  WakeUpWaiter waiter(info.uuid);
  const std::vector<std::string> servers = NonEmptyServers(info);
  WakeUpDevice(servers.data(), static_cast<int>(servers.size()), kStateServerDefaultPort, info.uuid.c_str(),
               200);
  waiter.Wait(kWakeUpWaitMs);
}

}  // namespace

void DeviceNodeSetLanOnly(bool on) { g_lan_only.store(on); }
bool DeviceNodeLanOnly() { return g_lan_only.load(); }

// --- Strategy pieces ---

int DeviceConnectMode(const DeviceInfo& info) {
  const std::string& type = info.device_type;
  const bool low_power = type.rfind("lp", 0) == 0;
  const bool lpsim = low_power && EndsWith(type, "sim");
  if (info.id.empty() && info.webrtc_failed) return 0x1E;
  if (type == "doorbell" || type == "doorbellwifi") return 0x7C;
  if (lpsim) return 0x5E;
  if (low_power) return 0x7E;
  if (type == "drsim" || (type.find("sim") != std::string::npos && info.connect_way == "sim")) return 0x5E;
  return 0x7B;
}

std::string DeviceAuthToken(const std::string& uuid, time_t now) {
  const std::string t = std::to_string(static_cast<long long>(now));
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int mac_len = 0;
  HMAC(EVP_md5(), uuid.data(), static_cast<int>(uuid.size()),
       reinterpret_cast<const unsigned char*>(t.data()), t.size(), mac, &mac_len);
  char b64[64] = {};
  Base64Encode(mac, mac_len, b64, sizeof b64);
  std::string token = t + " " + b64;
  if (token.size() > 79) token.resize(79);
  return token;
}

std::string RelayListJson(const std::vector<TurnServerEntry>& relays) {
  std::string out = "[";
  for (size_t i = 0; i < relays.size(); ++i) {
    const TurnServerEntry& e = relays[i];
    if (i) out += ",";
    out += "{\"ip\":\"";
    JsonEscape(e.host, &out);
    out += "\",\"user\":\"";
    JsonEscape(e.user, &out);
    out += "\",\"pass\":\"";
    JsonEscape(e.password, &out);
    out += "\",\"port\":" + std::to_string(e.port) + ",\"is_turn\":" + std::to_string(e.is_turn) + "}";
  }
  return out + "]";
}

// --- Waiters ---

WakeUpWaiter::WakeUpWaiter(std::string device_id) : device_id_(std::move(device_id)) {
  std::lock_guard<std::mutex> lk(g_waiters_mu);
  g_waiters.push_back(this);
}

WakeUpWaiter::~WakeUpWaiter() {
  std::lock_guard<std::mutex> lk(g_waiters_mu);
  g_waiters.remove(this);
}

bool WakeUpWaiter::Wait(int ms) {
  std::unique_lock<std::mutex> lk(mu_);
  const bool got = cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return signalled_; });
  signalled_ = false;
  return got;
}

void WakeUpWaiter::Signal() {
  std::lock_guard<std::mutex> lk(mu_);
  signalled_ = true;
  cv_.notify_all();
}

void NotifyDeviceOnline(const char* device_id) {
  if (!device_id) return;
  std::lock_guard<std::mutex> lk(g_waiters_mu);
  for (WakeUpWaiter* w : g_waiters)
    if (w->DeviceId() == device_id) w->Signal();
}

// --- Wake-up ---

namespace {

// A non-blocking TCP connect to "host[:port]"; -1 when the text or the host is unusable.
int StartConnect(const std::string& server, int default_port) {
  std::string host = server;
  std::string port = std::to_string(default_port);
  const size_t colon = server.rfind(':');
  if (colon != std::string::npos) {
    host = server.substr(0, colon);
    port = server.substr(colon + 1);
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit) ||
        std::stoi(port) < 1 || std::stoi(port) > 65535)
      return -1;
  }
  if (host.empty()) return -1;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, res->ai_addr, res->ai_addrlen) != 0 && errno != EINPROGRESS) {
    close(fd);
    freeaddrinfo(res);
    return -1;
  }
  freeaddrinfo(res);
  return fd;
}

}  // namespace

int WakeUpDevice(const std::string* servers, int count, int default_port, const char* device_id,
                 int budget_ms) {
  std::string message = device_id ? device_id : "";
  const size_t comma = message.find(',');
  if (comma != std::string::npos) message.resize(comma);
  message += "\n";

  struct Peer {
    int fd;
    bool sent;
  };
  std::vector<Peer> peers;
  for (int i = 0; i < count && i < 3 && servers; ++i) {
    const int fd = StartConnect(servers[i], default_port);
    if (fd >= 0 && fd < FD_SETSIZE) {
      peers.push_back({fd, false});
    } else if (fd >= 0) {
      close(fd);
    }
  }
  bool answered = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(budget_ms);
  while (!answered && !peers.empty()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
    fd_set rd, wr;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    int maxfd = -1;
    for (const Peer& p : peers) {
      FD_SET(p.fd, p.sent ? &rd : &wr);
      maxfd = std::max(maxfd, p.fd);
    }
    timeval tv{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
    const int n = select(maxfd + 1, &rd, &wr, nullptr, &tv);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    for (Peer& p : peers) {
      if (p.fd < 0) continue;
      if (!p.sent && FD_ISSET(p.fd, &wr)) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0 || send(p.fd, message.data(), message.size(), MSG_NOSIGNAL) !=
                            static_cast<ssize_t>(message.size())) {
          close(p.fd);
          p.fd = -1;
        } else {
          p.sent = true;
        }
      } else if (p.sent && FD_ISSET(p.fd, &rd)) {
        char buf[256];
        const ssize_t got = recv(p.fd, buf, sizeof buf, 0);
        if (got > 0) {
          answered = true;
        } else {
          close(p.fd);
          p.fd = -1;
        }
      }
    }
    peers.erase(std::remove_if(peers.begin(), peers.end(), [](const Peer& p) { return p.fd < 0; }),
                peers.end());
  }
  for (const Peer& p : peers) close(p.fd);
  return answered ? 1 : 0;
}

// --- Node ---

DeviceNode::DeviceNode() = default;

DeviceNode::~DeviceNode() {
  JoinConnectThread();
  player_.Release();
  store_.Release();
  client_.Release();
}

void DeviceNode::MakeSegmentStore() {
  store_.Reset(new CsSegmentStore(server_, info_.id, info_.uuid, info_.des_key));
}

CP2pClient* DeviceNode::GetP2pClient() {
  if (!client_) client_.Reset(new CP2pClient());
  return client_.Get();
}

CCsPlayerFw* DeviceNode::GetPlayer() {
  if (!player_) player_.Reset(new CCsPlayerFw(this));
  return player_.Get();
}

int DeviceNode::P2pConnect(CP2pClient* client) {
  const char* address = info_.p2p_platform.c_str();
  const char* peer = info_.p2p_id.c_str();
  const std::string& type = info_.device_type;
  const bool lpsim = type.rfind("lp", 0) == 0 && EndsWith(type, "sim");
  const bool first_rule = info_.id.empty() && info_.webrtc_failed;
  if (lpsim || first_rule) {
    // Probe: a camera that answers is awake; one that does not gets a wake-up line.
    if (client->Connect(address, peer, 0x7F) == 0) {
      client->Close();
    } else {
      const std::vector<std::string> servers = NonEmptyServers(info_);
      WakeUpDevice(servers.data(), static_cast<int>(servers.size()), kStateServerDefaultPort,
                   info_.p2p_id.c_str(), 3000);
    }
    return client->Connect(address, peer, 0x5E);
  }
  return client->Connect(address, peer, DeviceConnectMode(info_));
}

int DeviceNode::ConnectOnly(CP2pClient* client) {
  if (DeviceNodeLanOnly()) {
    last_result_ = KIVO_ERR_OFFLINE;
    return last_result_;
  }
  const bool low_power = info_.device_type.rfind("lp", 0) == 0;
  const int flags = info_.transport_flags;
  int result = KIVO_ERR_NO_CONN_TOKEN;
  const bool webrtc_allowed = !(flags & kTransportP2p) || !info_.webrtc_failed;

  if ((flags & kTransportWebrtc2) && webrtc_allowed) {
    const std::string address = "ovwebrtc2:" + info_.ovwebrtc2_id;
    result = client->Connect(address.c_str(), info_.uuid.c_str(), 0);
  }
  // One attempt per transport, never a spin on a failing one.
  if (result != 0 && (flags & kTransportWebrtc) && webrtc_allowed) {
    try {
      if (low_power) WakeAndWait(info_);
      const std::string address = "ovwebrtc:" + RelayListJson(info_.relay_list);
      result = client->Connect(address.c_str(), info_.uuid.c_str(), 0);
      if (result != 0 && (flags & kTransportP2p)) info_.webrtc_failed = 1;
    } catch (const std::exception&) {
      LogPrintf(kLogInfo, nullptr, "DeviceNode::ConnectOnly", "Connecting of webrtc encounter exception\n");
    }
  }
  if (result != 0 && (flags & kTransportP2p)) result = P2pConnect(client);

  LogPrintf(kLogInfo, nullptr, "DeviceNode::ConnectOnly", "uuid: %s\n", info_.uuid.c_str());
  last_result_ = result;
  return result;
}

int DeviceNode::VerifyPassword() {
  CP2pClient* client = GetP2pClient();
  const bool token = info_.device_type.find("lp") != std::string::npos ||
                     info_.device_type.find("bell") != std::string::npos || info_.des_key.empty();
  const std::string credential = token ? DeviceAuthToken(info_.uuid, time(nullptr)) : info_.password;
  int r = client->VerifyPassword(credential.c_str());
  if (r == KIVO_ERR_AUTH && !info_.id.empty() && server_) {
    DeviceInfo fresh;
    if (server_->GetDeviceInfo(info_.id.c_str(), &fresh) == 0) {
      const uint8_t failed = info_.webrtc_failed;
      info_ = fresh;
      info_.webrtc_failed = failed;
      r = client->VerifyPassword(info_.password.c_str());
    }
  }
  if (r != 0) return r;
  return client->GetFeatures(nullptr);
}

int DeviceNode::Connect() {
  CP2pClient* client = GetP2pClient();
  int r = ConnectOnly(client);
  if (r != 0) return r;
  r = VerifyPassword();
  if (r == 0) r = client->GetFeatures(nullptr);
  if (r != 0) {
    client->Close();
    return r;
  }
  return 0;
}

bool DeviceNode::ConnectAsync(DeviceConnectCallback callback, void* user) {
  JoinConnectThread();
  GetP2pClient();
  std::lock_guard<std::mutex> lk(thread_mu_);
  connect_thread_ = std::thread([this, callback, user] {
    const int r = Connect();
    if (callback) callback(this, r, user);
  });
  return true;
}

int DeviceNode::JoinConnectThread() {
  std::thread t;
  {
    std::lock_guard<std::mutex> lk(thread_mu_);
    t = std::move(connect_thread_);
  }
  if (t.joinable()) t.join();
  return last_result_;
}

void DeviceNode::Disconnect() {
  JoinConnectThread();
  if (client_) client_->Close();
}

COssAccessor* DeviceNode::GetAccessor(uint32_t ossid) {
  return store_ ? store_->GetAccessor(ossid) : nullptr;
}

int DeviceNode::DownloadSegment(uint32_t ossid, const std::string& key, std::string* local_path) {
  if (!store_) return -1;
  return store_->DownloadSegment(ossid, key, local_path);
}

CCsCacher* DeviceNode::Cacher() { return store_ ? store_->Cacher() : nullptr; }

int DeviceNode::DownloadSegmentAt(uint32_t ossid, int64_t t, std::string* local_path) {
  if (!store_) return -1;
  return store_->DownloadSegmentAt(ossid, t, local_path);
}

// --- Device list ---

DeviceNodeList& ProcessDeviceNodes() {
  static DeviceNodeList list;
  return list;
}

int LoadDeviceNodes(DeviceNodeList* list, COrvelServer* server) {
  ClearDeviceNodes(list);
  std::vector<DeviceInfo> records;
  const int r = server->GetAllDevices(&records);
  if (r != 0) return r;
  for (DeviceInfo& rec : records) {
    DeviceNode* node = new DeviceNode();
    node->Info() = std::move(rec);
    node->SetServer(server);
    node->MakeSegmentStore();
    list->push_back(node);
  }
  return r;
}

void ClearDeviceNodes(DeviceNodeList* list) {
  for (DeviceNode* n : *list) delete n;
  list->clear();
}
