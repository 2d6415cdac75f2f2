// Device node pieces without a camera: connect modes, the time-based token (checked against openssl's
// HMAC-MD5), the relay JSON, wake-up lines to local state servers, waiters, LAN-only mode.
#include "sdk/node/device_node.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "util/base64.h"

namespace {

TEST(DeviceNodeMode, RecordSelectsTheConnectMode) {
  struct Case {
    const char* type;
    const char* way;
    const char* id;
    uint8_t webrtc_failed;
    int mode;
  } cases[] = {
      {"ipc", "wifi", "7", 0, 0x7B},   {"doorbell", "", "7", 0, 0x7C},  {"doorbellwifi", "", "7", 0, 0x7C},
      {"lpwifi", "", "7", 0, 0x7E},    {"lp4g", "", "7", 0, 0x7E},      {"lpsim", "sim", "7", 0, 0x5E},
      {"drsim", "wifi", "7", 0, 0x5E}, {"ipcsim", "sim", "7", 0, 0x5E}, {"ipcsim", "wifi", "7", 0, 0x7B},
      {"ipc", "wifi", "", 1, 0x1E},    {"ipc", "wifi", "", 0, 0x7B},    {"doorbell", "", "", 1, 0x1E},
  };
  for (const Case& c : cases) {
    DeviceInfo info;
    info.device_type = c.type;
    info.connect_way = c.way;
    info.id = c.id;
    info.webrtc_failed = c.webrtc_failed;
    EXPECT_EQ(DeviceConnectMode(info), c.mode) << c.type << " " << c.way << " id=" << c.id;
  }
}

std::string OpensslHmacMd5Base64(const std::string& key, const std::string& data) {
  const std::string cmd =
      "printf '%s' '" + data + "' | openssl dgst -md5 -hmac '" + key + "' -binary | base64";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return "";
  char buf[128] = {};
  const size_t n = fread(buf, 1, sizeof buf - 1, p);
  pclose(p);
  std::string out(buf, n);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

TEST(DeviceNodeToken, TimeBlankAndHmacMd5OfTheTimeUnderTheUuid) {
  const time_t now = time(nullptr);
  const std::string token = DeviceAuthToken("VLM-LP-000502", now);
  ASSERT_EQ(token.size(), 35u) << token;
  for (size_t i = 0; i < 10; ++i) EXPECT_TRUE(isdigit(static_cast<unsigned char>(token[i]))) << token;
  EXPECT_EQ(token[10], ' ');
  for (size_t i = 11; i < 33; ++i)
    EXPECT_TRUE(isalnum(static_cast<unsigned char>(token[i])) || token[i] == '+' || token[i] == '/') << token;
  EXPECT_EQ(token.substr(33), "==");
  EXPECT_LE(token.size(), 79u);
  const std::string t = std::to_string(now);
  EXPECT_EQ(token.substr(0, t.size()), t);
  const std::string peer = OpensslHmacMd5Base64("VLM-LP-000502", t);
  if (peer.empty()) GTEST_SKIP() << "no openssl command";
  EXPECT_EQ(token.substr(t.size() + 1), peer);
}

TEST(DeviceNodeRelay, JsonInOrderEscapedAndNeverCut) {
  std::vector<TurnServerEntry> relays;
  for (int i = 0; i < 60; ++i) {
    TurnServerEntry e;
    e.is_turn = i % 2;
    e.port = 3478 + i;
    e.host = "turn" + std::to_string(i) + ".example.test";
    e.user = "user\"" + std::to_string(i);
    e.password = "pa\\ss";
    relays.push_back(e);
  }
  const std::string json = RelayListJson(relays);
  EXPECT_GT(json.size(), 2048u);
  EXPECT_EQ(json.substr(0, json.find('}') + 1),
            "[{\"ip\":\"turn0.example.test\",\"user\":\"user\\\"0\",\"pass\":\"pa\\\\ss\",\"port\":3478,\"is_"
            "turn\":0}");
  cJSON* root = cJSON_Parse(json.c_str());
  ASSERT_NE(root, nullptr) << json;
  ASSERT_EQ(cJSON_GetArraySize(root), 60);
  const cJSON* last = cJSON_GetArrayItem(root, 59);
  EXPECT_STREQ(cJSON_GetObjectItem(last, "ip")->valuestring, "turn59.example.test");
  EXPECT_STREQ(cJSON_GetObjectItem(last, "user")->valuestring, "user\"59");
  EXPECT_EQ(cJSON_GetObjectItem(last, "port")->valueint, 3537);
  EXPECT_EQ(cJSON_GetObjectItem(last, "is_turn")->valueint, 1);
  cJSON_Delete(root);
  EXPECT_EQ(RelayListJson({}), "[]");
}

// A one-shot local state server: reads one line, answers (or not), notes what it read.
class StateServer {
 public:
  explicit StateServer(bool answer) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    listen(fd_, 4);
    socklen_t len = sizeof sa;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this, answer] {
      const int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      char buf[256];
      std::string got;
      while (got.find('\n') == std::string::npos) {
        const ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
      }
      line_ = got;
      if (answer) send(c, "ok\n", 3, MSG_NOSIGNAL);
      close(c);
    });
  }
  ~StateServer() {
    shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  int port() const { return port_; }
  std::string Line() {
    shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    return line_;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string line_;
};

// A loopback port with nothing listening on it.
int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

TEST(DeviceNodeWakeUp, LineToTheServersAnAnswerIsSuccess) {
  StateServer answering(true);
  const std::string servers[] = {"127.0.0.1:" + std::to_string(ClosedPort()),
                                 "localhost:" + std::to_string(answering.port())};
  EXPECT_EQ(WakeUpDevice(servers, 2, 18081, "VLM-LP-000502,extra", 3000), 1);
  EXPECT_EQ(answering.Line(), "VLM-LP-000502\n");
}

TEST(DeviceNodeWakeUp, SilentOrUnreachableServersCostOnlyTheBudget) {
  StateServer silent(false);
  const std::string servers[] = {"127.0.0.1:" + std::to_string(silent.port()), "127.0.0.1:99999",
                                 "127.0.0.1:" + std::to_string(ClosedPort())};
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(WakeUpDevice(servers, 3, 18081, "VLM-X", 300), 0);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(ms, 2000);
  EXPECT_EQ(silent.Line(), "VLM-X\n");
  EXPECT_EQ(WakeUpDevice(nullptr, 0, 18081, "VLM-X", 100), 0);
}

TEST(DeviceNodeWakeUp, WaitersAreSignalledByExactDeviceId) {
  WakeUpWaiter a("VLM-LP-1"), b("VLM-LP-10");
  NotifyDeviceOnline("VLM-LP-1");
  NotifyDeviceOnline(nullptr);
  EXPECT_TRUE(a.Wait(1000));
  EXPECT_FALSE(a.Wait(20));  // auto-reset
  EXPECT_FALSE(b.Wait(20));
  std::thread later([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    NotifyDeviceOnline("VLM-LP-10");
  });
  EXPECT_TRUE(b.Wait(5000));
  later.join();
}

TEST(DeviceNodeConnect, LanOnlyAndNoTransportRefuseBeforeAnyAttempt) {
  DeviceNode node;
  node.Info().device_type = "ipc";
  node.Info().uuid = "VLM-1";
  EXPECT_EQ(node.ConnectOnly(node.GetP2pClient()), KIVO_ERR_NO_CONN_TOKEN);
  EXPECT_EQ(node.Connect(), KIVO_ERR_NO_CONN_TOKEN);
  node.Info().transport_flags = kTransportP2p;
  DeviceNodeSetLanOnly(true);
  EXPECT_EQ(node.Connect(), KIVO_ERR_OFFLINE);
  EXPECT_EQ(node.LastResult(), KIVO_ERR_OFFLINE);
  DeviceNodeSetLanOnly(false);
  // P2P with an empty server text: the device link refuses it.
  EXPECT_EQ(node.ConnectOnly(node.GetP2pClient()), KIVO_ERR_DEV_PARAM);
  EXPECT_FALSE(node.GetP2pClient()->HasSession());

  std::atomic<int> called{0}, result{0};
  struct Ctx {
    std::atomic<int>* called;
    std::atomic<int>* result;
  } ctx{&called, &result};
  EXPECT_TRUE(node.ConnectAsync(
      [](DeviceNode*, int r, void* user) {
        auto* c = static_cast<Ctx*>(user);
        c->result->store(r);
        c->called->fetch_add(1);
      },
      &ctx));
  EXPECT_EQ(node.JoinConnectThread(), KIVO_ERR_DEV_PARAM);
  EXPECT_EQ(called.load(), 1);
  EXPECT_EQ(result.load(), KIVO_ERR_DEV_PARAM);
  // Segment hooks without a store.
  EXPECT_EQ(node.GetAccessor(1), nullptr);
  EXPECT_EQ(node.Cacher(), nullptr);
}

TEST(DeviceNodeConnect, SegmentStoreAnswersFromTheCache) {
  DeviceNode node;
  node.Info().id = "601";
  node.Info().uuid = "VLM-CS-000601";
  node.MakeSegmentStore();
  ASSERT_NE(node.Cacher(), nullptr);
  std::string key;
  EXPECT_EQ(node.Cacher()->KeyForTime(1796860800, &key), 0);
  EXPECT_FALSE(key.empty());
  EXPECT_NE(node.GetPlayer(), nullptr);
  EXPECT_EQ(node.GetPlayer(), node.GetPlayer());
}

}  // namespace
