// COrvelServer against tools/cloudsim on loopback.
#include "sdk/cloud/orvel_server.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sdk/cloud/cloud_config.h"
#include "sdk/net/tls_config.h"
#include "util/log.h"
#include "tests/common/temp_dir.h"
#include "tests/sdk/cloud/cloudsim_harness.h"

namespace {

constexpr char kListPath[] = "/api/app/v1/device/list";
constexpr char kLoginPath[] = "/api/app/auth/login";
constexpr char kTokenPath[] = "/api/device/token";
constexpr char kRecordPath[] = "/api/device/record_info";
constexpr char kServicePath[] = "/service";

// 2024-05-01 00:00:00 UTC; the tests run with TZ=UTC.
constexpr int64_t kDay = 1714521600;

struct Request {
  std::string path;
  JsonHolder body;
  std::string cookie;
  std::string agent;
  std::string type;
  bool secure = false;
};

// What the push-event hooks saw.
struct HookLog {
  std::mutex mu;
  std::vector<std::string> online;
  std::vector<std::string> webrtc;
  int setups = 0;
  int resets = 0;
};
HookLog g_hooks;

void OnOnline(const char* uuid) {
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  g_hooks.online.push_back(uuid);
}
void OnWebrtc(const cJSON* payload) {
  char* text = cJSON_PrintUnformatted(payload);
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  g_hooks.webrtc.push_back(text ? text : "");
  cJSON_free(text);
}
void OnSetup(SockioClient*, const char*, const char*) {
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  ++g_hooks.setups;
}
void OnReset() {
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  ++g_hooks.resets;
}

// Waits up to 10 s for pred().
template <class Pred>
bool WaitFor(Pred pred) {
  for (int i = 0; i < 200; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return pred();
}

// The simulator's push clients as "user_id/uniq_id/platform/sdkver" texts.
std::vector<std::string> PushClients(const CloudSim& sim) {
  std::vector<std::string> out;
  JsonHolder all = sim.Control("/clients");
  JsonHolder list = all.Get("clients");
  for (int i = 0; i < list.Size(); ++i) {
    JsonHolder c = list.At(i);
    out.push_back(std::string(c.Get("user_id").AsString()) + "/" + c.Get("uniq_id").AsString() + "/" +
                  c.Get("platform").AsString() + "/" + c.Get("sdkver").AsString());
  }
  return out;
}

class OrvelServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    ASSERT_TRUE(sim_.Start(CloudFixture("account"), options_));
    CloudSetDeployment(sim_.Deployment());
    CloudSdkHooks hooks;
    hooks.device_online = OnOnline;
    hooks.webrtc_signaling = OnWebrtc;
    hooks.signaling_setup = OnSetup;
    hooks.signaling_reset = OnReset;
    CloudSetHooks(hooks);
    std::lock_guard<std::mutex> lock(g_hooks.mu);
    g_hooks.online.clear();
    g_hooks.webrtc.clear();
    g_hooks.setups = 0;
    g_hooks.resets = 0;
  }
  void TearDown() override {
    server_.Disconnect();
    CloudSetHooks(CloudSdkHooks());
    CloudSetDeployment(CloudDeployment());
  }

  // Discovery on the simulator's test environment, then a log-in.
  int SignIn(const char* name, const char* password) {
    int r = server_.Init("", kEnvTest);
    return r != 0 ? r : server_.Login(name, password);
  }

  // The API requests received, those to path only when one is given.
  std::vector<Request> Requests(const std::string& path = "") {
    std::vector<Request> out;
    JsonHolder all = sim_.Requests();
    for (int i = 0; i < all.Size(); ++i) {
      JsonHolder r = all.At(i);
      if (!path.empty() && path != r.Get("path").AsString()) continue;
      Request q;
      q.path = r.Get("path").AsString();
      q.body = JsonHolder(cJSON_Duplicate(r.Get("body").Item(), 1), false);
      q.cookie = r.Get("headers").Get("cookie").AsString();
      q.agent = r.Get("headers").Get("user-agnent").AsString();
      q.type = r.Get("headers").Get("content-type").AsString();
      q.secure = cJSON_IsTrue(r.Get("secure").Item());
      out.push_back(std::move(q));
    }
    return out;
  }

  void ChangeDeployment(void (*edit)(CloudDeployment*)) {
    CloudDeployment d = sim_.Deployment();
    edit(&d);
    CloudSetDeployment(d);
  }

  CloudSim::Options options_;
  CloudSim sim_;
  COrvelServer server_;
};

// ---- discovery ------------------------------------------------------------------------------------------

TEST_F(OrvelServerTest, DiscoveryFindsTheApiAndPushAddresses) {
  ASSERT_EQ(server_.Init("com.velmora.test", kEnvTest), 0);
  EXPECT_EQ(server_.ApiBase(), sim_.HttpBase() + "/api");  // one trailing "/" removed
  EXPECT_EQ(server_.PushBase(), "ws://127.0.0.1:" + std::to_string(sim_.http_port()));
  EXPECT_EQ(CloudPackageName(), "com.velmora.test");
  auto reqs = Requests(kServicePath);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_STREQ(reqs[0].body.Get("source").AsString(), "app");
  EXPECT_STREQ(reqs[0].body.Get("version").AsString(), "1.0.1.0");
  EXPECT_STREQ(reqs[0].body.Get("pkgname").AsString(), "com.velmora.test");
  EXPECT_FALSE(reqs[0].body.Has("token"));
  EXPECT_EQ(reqs[0].agent, "Orvel PC SDK v2007");
  EXPECT_EQ(reqs[0].type, "application/json;charset=UTF-8");
}

TEST_F(OrvelServerTest, EnvironmentSelectsTheEntryPoint) {
  // Production is the simulator; an index of 3 or more means production.
  ASSERT_EQ(server_.Init("", 7), 0);
  EXPECT_EQ(Requests(kServicePath).size(), 1u);
  // No entry point configured: no request at all.
  ChangeDeployment([](CloudDeployment* d) { d->entry_points[kEnvPreRelease].clear(); });
  EXPECT_EQ(server_.Init("", kEnvPreRelease), -102);
  EXPECT_EQ(Requests(kServicePath).size(), 1u);
}

TEST_F(OrvelServerTest, DiscoveryWithoutDataFails) {
  sim_.Fail(kServicePath, R"({"mode": "nodata"})");
  EXPECT_EQ(server_.Init("", kEnvTest), kCloudBadReply);
  EXPECT_EQ(server_.ApiBase(), "");
  sim_.Fail(kServicePath, R"({"mode": "patch", "patch": {"api": ""}})");
  EXPECT_EQ(server_.Init("", kEnvTest), kCloudBadReply);
}

// ---- log-in ---------------------------------------------------------------------------------------------

TEST_F(OrvelServerTest, SignInWithPhoneEmailAndWrongPassword) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  EXPECT_TRUE(server_.HasToken());
  EXPECT_EQ(server_.UserId(), "1001");
  std::string uniq = server_.UniqId();
  ASSERT_EQ(uniq.size(), 14u);
  for (char c : uniq) EXPECT_TRUE(isalnum(static_cast<unsigned char>(c))) << uniq;

  ASSERT_EQ(server_.Login("bob@example.test", "bob-pass-2"), 0);
  EXPECT_EQ(server_.UserId(), "1002");
  EXPECT_NE(server_.UniqId(), uniq);

  EXPECT_EQ(server_.Login("13800000001", "not-her-password"), 20001);
  EXPECT_FALSE(server_.HasToken());
  EXPECT_EQ(server_.UserId(), "");

  auto logins = Requests(kLoginPath);
  ASSERT_EQ(logins.size(), 3u);
  EXPECT_STREQ(logins[0].body.Get("phone").AsString(), "13800000001");
  EXPECT_FALSE(logins[0].body.Has("email"));
  EXPECT_STREQ(logins[0].body.Get("source").AsString(), "pc");
  EXPECT_STREQ(logins[1].body.Get("email").AsString(), "bob@example.test");
  EXPECT_FALSE(logins[1].body.Has("phone"));
  for (auto& l : logins) EXPECT_FALSE(l.body.Has("token"));
}

TEST_F(OrvelServerTest, LoginWithoutDataIsAFailureAndDropsTheEarlierToken) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  sim_.Fail(kLoginPath, R"({"mode": "nodata"})");
  EXPECT_EQ(server_.Login("13800000002", "bob-pass-2"), kCloudBadReply);
  EXPECT_FALSE(server_.HasToken());
  EXPECT_EQ(server_.UserId(), "");
  EXPECT_EQ(server_.PushClient(), nullptr);
  EXPECT_TRUE(WaitFor([&] { return PushClients(sim_).empty(); }));

  // The next request carries no token, and the first account's credentials are not used to sign in again.
  std::vector<DeviceInfo> devices;
  EXPECT_EQ(server_.GetAllDevices(&devices), kCloudCodeUnauthorized);
  EXPECT_TRUE(devices.empty());
  auto lists = Requests(kListPath);
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_FALSE(lists[0].body.Has("token"));
  EXPECT_EQ(Requests(kLoginPath).size(), 2u);

  // A reply with data but no token is no sign-in either.
  sim_.Fail(kLoginPath, R"({"mode": "patch", "patch": {"token": ""}})");
  EXPECT_EQ(server_.Login("13800000002", "bob-pass-2"), kCloudBadReply);
  EXPECT_FALSE(server_.HasToken());
}

TEST_F(OrvelServerTest, CookiesAreKeptAndSentAsNameValuePairs) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  std::string cookie = server_.Cookie();
  EXPECT_NE(cookie.find("SIMROUTE=plain"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("SIMSESSION="), std::string::npos) << cookie;
  EXPECT_EQ(cookie.find('\t'), std::string::npos) << cookie;

  std::vector<DeviceInfo> devices;
  ASSERT_EQ(server_.GetAllDevices(&devices), 0);
  auto reqs = Requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].cookie, "");
  EXPECT_EQ(reqs[1].cookie, "SIMROUTE=plain");  // set by discovery
  // Both cookies, as "name=value" pairs; the session cookie is the one the log-in set.
  std::string sent = reqs[2].cookie;
  EXPECT_NE(sent.find("SIMROUTE=plain"), std::string::npos) << sent;
  size_t at = cookie.find("SIMSESSION=");
  std::string session = cookie.substr(at, cookie.find(';', at) - at);
  EXPECT_NE(sent.find(session), std::string::npos) << sent << " / " << session;
}

// ---- device list ----------------------------------------------------------------------------------------

TEST_F(OrvelServerTest, PagedDeviceLists) {
  struct Case {
    const char* user;
    const char* password;
    size_t devices;
    int pages;
  } cases[] = {
      {"13800000003", "cat-pass-3", 0, 1},   {"13800000002", "bob-pass-2", 1, 1},
      {"13800000004", "dan-pass-4", 25, 1},  {"13800000006", "fay-pass-6", 100, 1},
      {"13800000005", "eve-pass-5", 450, 3},
  };
  ASSERT_EQ(server_.Init("", kEnvTest), 0);
  for (const Case& c : cases) {
    sim_.Control("/reset");
    ASSERT_EQ(server_.Login(c.user, c.password), 0) << c.user;
    std::vector<DeviceInfo> devices(3);  // emptied first
    ASSERT_EQ(server_.GetAllDevices(&devices), 0) << c.user;
    ASSERT_EQ(devices.size(), c.devices) << c.user;
    for (size_t i = 0; i < devices.size(); ++i) {
      EXPECT_FALSE(devices[i].uuid.empty()) << c.user << " #" << i;
      if (c.devices > 1) {
        EXPECT_EQ(std::stoul(devices[i].id), std::stoul(devices[0].id) + i) << c.user;  // service order
      }
    }
    auto reqs = Requests(kListPath);
    ASSERT_EQ(static_cast<int>(reqs.size()), c.pages) << c.user;
    for (int p = 0; p < c.pages; ++p) {
      const JsonHolder& b = reqs[p].body;
      EXPECT_EQ(b.Get("page").Type(), JsonHolder::kNumber);
      EXPECT_EQ(b.Get("page").AsInt(), p + 1);
      EXPECT_STREQ(b.Get("limit").AsString(), "200");
      EXPECT_STREQ(b.Get("platform").AsString(), "pc");
      EXPECT_FALSE(b.Has("device_id"));
      EXPECT_STRNE(b.Get("token").AsString(), "");
    }
  }
}

TEST_F(OrvelServerTest, DeviceListTotalsThatDoNotMatchTheDevices) {
  // dan has 25 devices on one page.
  struct Case {
    const char* name;
    const char* patch;  // into the first reply's data
    int result;
    size_t devices;
    int requests;
  } cases[] = {
      {"huge total", R"({"total": 2147483647})", 0, 25, 2},
      {"negative total", R"({"total": -5})", 0, 25, 1},
      {"total larger than what arrives", R"({"total": 30})", 0, 25, 2},
      {"total smaller than the list", R"({"total": 10})", 0, 10, 1},
      {"total as text", R"({"total": "25"})", 0, 25, 1},
      {"total missing", R"({"total": null})", 0, 25, 1},
      {"elements that are no objects", R"({"total": 4, "list": [5, null, "x", {"id": 1, "uuid": "ONLY"}]})",
       0, 1, 1},
  };
  ASSERT_EQ(SignIn("13800000004", "dan-pass-4"), 0);
  for (const Case& c : cases) {
    sim_.Control("/reset");
    sim_.Fail(kListPath, std::string(R"({"mode": "patch", "patch": )") + c.patch + "}");
    std::vector<DeviceInfo> devices;
    EXPECT_EQ(server_.GetAllDevices(&devices), c.result) << c.name;
    EXPECT_EQ(devices.size(), c.devices) << c.name;
    for (const auto& d : devices) EXPECT_FALSE(d.uuid.empty()) << c.name;
    EXPECT_EQ(static_cast<int>(Requests(kListPath).size()), c.requests) << c.name;
  }
}

TEST_F(OrvelServerTest, DeviceListRepliesWithoutData) {
  ASSERT_EQ(SignIn("13800000005", "eve-pass-5"), 0);
  // The same page is asked again, so no page's devices are lost ...
  sim_.Fail(kListPath, R"({"mode": "nodata", "count": 2})");
  std::vector<DeviceInfo> devices;
  EXPECT_EQ(server_.GetAllDevices(&devices), 0);
  EXPECT_EQ(devices.size(), 450u);
  auto reqs = Requests(kListPath);
  ASSERT_EQ(reqs.size(), 5u);
  const int pages[] = {1, 1, 1, 2, 3};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(reqs[i].body.Get("page").AsInt(), pages[i]);

  // "data": null or a list in place of the object are no data either.
  sim_.Control("/reset");
  sim_.Fail(kListPath, R"({"mode": "notjson", "body": "{\"ok\":1,\"data\":null}"})");
  sim_.Fail(kListPath, R"({"mode": "notjson", "body": "{\"ok\":1,\"data\":[{\"id\":1}]}"})");
  EXPECT_EQ(server_.GetAllDevices(&devices), 0);
  EXPECT_EQ(devices.size(), 450u);
  EXPECT_EQ(Requests(kListPath).size(), 5u);

  // ... but never forever: without any data it fails ...
  sim_.Control("/reset");
  sim_.Fail(kListPath, R"({"mode": "nodata", "count": 1000})");
  EXPECT_EQ(server_.GetAllDevices(&devices), kCloudBadReply);
  EXPECT_TRUE(devices.empty());
  EXPECT_EQ(static_cast<int>(Requests(kListPath).size()), kDeviceListMaxEmptyReplies);

  // ... and after pages with data the list ends with what arrived.
  sim_.Control("/reset");
  sim_.Fail(kListPath, R"({"mode": "slow", "delay_ms": 1})");
  sim_.Fail(kListPath, R"({"mode": "nodata", "count": 1000})");
  EXPECT_EQ(server_.GetAllDevices(&devices), 0);
  EXPECT_EQ(devices.size(), 200u);
  EXPECT_EQ(static_cast<int>(Requests(kListPath).size()), 1 + kDeviceListMaxEmptyReplies);
}

TEST_F(OrvelServerTest, DeviceListPageThatFailsKeepsTheEarlierPages) {
  ASSERT_EQ(SignIn("13800000005", "eve-pass-5"), 0);
  sim_.Fail(kListPath, R"({"mode": "slow", "delay_ms": 1})");
  sim_.Fail(kListPath, R"({"mode": "status", "status": 500})");
  std::vector<DeviceInfo> devices;
  EXPECT_EQ(server_.GetAllDevices(&devices), 500);
  EXPECT_EQ(devices.size(), 200u);
}

TEST_F(OrvelServerTest, OneDeviceRecord) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  DeviceInfo d;
  ASSERT_EQ(server_.GetDeviceInfo("502", &d), 0);
  EXPECT_EQ(d.id, "502");
  EXPECT_EQ(d.uuid, "VLM-LP-000502");
  EXPECT_EQ(d.current_version, "3.0.10.1");
  EXPECT_EQ(d.transport_flags, kTransportP2p | kTransportWebrtc);
  ASSERT_EQ(d.relay_list.size(), 2u);
  EXPECT_EQ(d.relay_list[1].port, 3479);
  EXPECT_EQ(d.state_servers[0], "127.0.0.1:18081");
  EXPECT_EQ(d.state_servers[1], "127.0.0.2");
  EXPECT_EQ(d.state_servers[2], "127.0.0.3:18090");
  auto reqs = Requests(kListPath);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_STREQ(reqs[0].body.Get("device_id").AsString(), "502");

  // A record without state servers gets the deployment's.
  ASSERT_EQ(server_.GetDeviceInfo("501", &d), 0);
  EXPECT_EQ(d.state_servers[0], "127.0.0.1:18081");
  EXPECT_EQ(d.state_servers[1], "127.0.0.2");
  EXPECT_EQ(d.state_servers[2], "");
  EXPECT_EQ(d.current_version, "2.1.5000");

  ASSERT_EQ(server_.GetDeviceInfo("503", &d), 0);
  EXPECT_EQ(d.transport_flags, kTransportP2p | kTransportWebrtc2);
  EXPECT_EQ(d.ovwebrtc2_id, "W2TOKEN503");

  DeviceInfo kept = d;
  EXPECT_EQ(server_.GetDeviceInfo("999", &d), kCloudBadReply);
  EXPECT_EQ(d.uuid, kept.uuid);
}

// ---- recordings and storage credentials -----------------------------------------------------------------

std::string Show(const std::vector<PlaybackSegment>& list) {
  std::string out;
  for (const auto& s : list) {
    out += std::to_string(s.start - kDay) + "+" + std::to_string(s.duration) + "/k" + std::to_string(s.kind) +
           "/o" + std::to_string(s.ossid) + "/" + s.image_path + "/" + std::to_string(s.is_body) + " ";
  }
  return out;
}

TEST_F(OrvelServerTest, RecordListsOfADayAndAcrossDays) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  std::vector<PlaybackSegment> list;
  ASSERT_EQ(server_.GetVideoRecord("501", kDay, kDay + 86399, &list), 0);
  // 08:00:10-08:00:40 and 08:00:40-08:01:00 (motion) touch, but the body recording kept between them is
  // what the second is compared with; the empty 09:00 recording is dropped; "Motion" is no known tag.
  EXPECT_EQ(Show(list),
            "28810+30/k1/o3//img/a.jpg/0 28820+10/k2/o3//img/c.jpg/1 28840+20/k1/o3//img/b.jpg/1 "
            "36000+300/k0/o4//0 86390+20/k16/o3//0 ");
  auto reqs = Requests(kRecordPath);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_STREQ(reqs[0].body.Get("device_id").AsString(), "501");
  EXPECT_STREQ(reqs[0].body.Get("start_time").AsString(), "2024-05-01 00:00:00");
  EXPECT_STREQ(reqs[0].body.Get("end_time").AsString(), "2024-05-01 23:59:59");

  // Two days: the doorbell recording over midnight absorbs the next day's overlapping one.
  ASSERT_EQ(server_.GetVideoRecord("501", kDay, kDay + 2 * 86400 - 1, &list), 0);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list.back().start, kDay + 86390);
  EXPECT_EQ(list.back().duration, 30);  // 23:59:50 to 00:00:20

  EXPECT_EQ(server_.GetVideoRecord("999", kDay, kDay + 86399, &list), 40004);
  EXPECT_TRUE(list.empty());
}

TEST_F(OrvelServerTest, StorageCredentials) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  JsonHolder creds;
  ASSERT_EQ(server_.GetDeviceToken("501", 3, &creds), 0);
  EXPECT_STREQ(creds.Get("from").AsString(), "aws");
  EXPECT_STREQ(creds.Get("AccessKeySecret").AsString(), "sim-secret-0003");
  EXPECT_STREQ(creds.Get("SecurityToken").AsString(), "sim-security-token-0003");
  EXPECT_STREQ(creds.Get("region_id").AsString(), "sim-region-1");
  auto reqs = Requests(kTokenPath);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].body.Get("ossid").Type(), JsonHolder::kString);
  EXPECT_STREQ(reqs[0].body.Get("ossid").AsString(), "3");

  EXPECT_EQ(server_.GetDeviceToken("501", 99, &creds), 40005);
  EXPECT_FALSE(creds.IsValid());
  sim_.Fail(kTokenPath, R"({"mode": "nodata"})");
  EXPECT_EQ(server_.GetDeviceToken("501", 3, &creds), kCloudBadReply);
  EXPECT_FALSE(creds.IsValid());
}

// ---- expired tokens -------------------------------------------------------------------------------------

TEST_F(OrvelServerTest, ExpiredTokenSignsInAgainOnce) {
  struct Case {
    const char* name;
    const char* failure;  // null: the simulator expires the token itself
  } cases[] = {
      {"expiry code", nullptr},
      {"service code 401", R"({"mode": "code", "code": 401})"},
      {"HTTP status 401", R"({"mode": "status", "status": 401})"},
      {"expiry code injected", R"({"mode": "code", "code": 51023})"},
  };
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  for (const Case& c : cases) {
    sim_.Control("/reset");
    if (c.failure) {
      sim_.Fail(kTokenPath, c.failure);
    } else {
      sim_.Control("/expire");
    }
    JsonHolder creds;
    ASSERT_EQ(server_.GetDeviceToken("501", 4, &creds), 0) << c.name;
    EXPECT_STREQ(creds.Get("from").AsString(), "oss");
    auto reqs = Requests();
    ASSERT_EQ(reqs.size(), 3u) << c.name;
    EXPECT_EQ(reqs[0].path, kTokenPath);
    EXPECT_EQ(reqs[1].path, kLoginPath);
    EXPECT_EQ(reqs[2].path, kTokenPath);
    std::string first = reqs[0].body.Get("token").AsString();
    std::string second = reqs[2].body.Get("token").AsString();
    EXPECT_NE(first, second) << c.name;
    EXPECT_FALSE(second.empty());
    EXPECT_STREQ(reqs[2].body.Get("ossid").AsString(), "4");
  }
}

TEST_F(OrvelServerTest, ExpiredTokenDoesNotLoop) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  sim_.Control("/reset");
  sim_.Fail(kTokenPath, R"({"mode": "code", "code": 51023, "count": 5})");
  JsonHolder creds;
  EXPECT_EQ(server_.GetDeviceToken("501", 3, &creds), 51023);
  EXPECT_EQ(Requests(kLoginPath).size(), 1u);
  EXPECT_EQ(Requests(kTokenPath).size(), 2u);
}

TEST_F(OrvelServerTest, FailingReLoginReturnsItsCode) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  sim_.Control("/expire");
  sim_.Control("/password", R"({"user_id": "1001", "password": "changed"})");
  JsonHolder creds;
  EXPECT_EQ(server_.GetDeviceToken("501", 3, &creds), 20001);
  EXPECT_FALSE(server_.HasToken());
}

TEST_F(OrvelServerTest, ConcurrentRequestsAfterExpiry) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  sim_.Control("/expire");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      JsonHolder creds;
      if (server_.GetDeviceToken("501", 3, &creds) != 0) ++failures;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(Requests(kLoginPath).size(), 5u);
}

// ---- failure modes --------------------------------------------------------------------------------------

TEST_F(OrvelServerTest, FailureModesGiveTheirCodes) {
  struct Case {
    const char* name;
    const char* failure;
    int code;
  } cases[] = {
      {"HTTP 500", R"({"mode": "status", "status": 500})", 500},
      {"HTTP 404", R"({"mode": "status", "status": 404, "body": "{\"ok\":1}"})", 404},
      {"not JSON", R"({"mode": "notjson", "body": "OK"})", kCloudBadReply},
      {"JSON array", R"({"mode": "notjson", "body": "[1,2]"})", kCloudBadReply},
      {"error without code", R"({"mode": "code", "code": 0})", kCloudErrorReply},
      {"service code", R"({"mode": "code", "code": 12345})", 12345},
      {"connection dropped", R"({"mode": "drop"})", -8},
  };
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  for (const Case& c : cases) {
    sim_.Fail(kTokenPath, c.failure);
    JsonHolder creds;
    EXPECT_EQ(server_.GetDeviceToken("501", 3, &creds), c.code) << c.name;
    EXPECT_FALSE(creds.IsValid()) << c.name;
  }
  JsonHolder creds;
  EXPECT_EQ(server_.GetDeviceToken("501", 3, &creds), 0);
}

TEST_F(OrvelServerTest, SlowReplyTimesOut) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  ChangeDeployment([](CloudDeployment* d) { d->request_timeout_ms = 400; });
  sim_.Fail(kTokenPath, R"({"mode": "slow", "delay_ms": 4000})");
  JsonHolder creds;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(server_.GetDeviceToken("501", 3, &creds), -2);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_LT(ms.count(), 3000);
  // A limit of 0 does not mean "no limit".
  ChangeDeployment([](CloudDeployment* d) { d->request_timeout_ms = 0; });
  EXPECT_EQ(CloudGetDeployment().request_timeout_ms, CloudDeployment().request_timeout_ms);
  // A slow reply inside the limit is fine.
  ChangeDeployment([](CloudDeployment* d) { d->request_timeout_ms = 5000; });
  sim_.Fail(kTokenPath, R"({"mode": "slow", "delay_ms": 200})");
  EXPECT_EQ(server_.GetDeviceToken("501", 3, &creds), 0);
}

TEST_F(OrvelServerTest, TransportFailures) {
  // A port nobody listens on.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  static std::string closed;
  closed = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  close(s);
  ChangeDeployment([](CloudDeployment* d) { d->entry_points[kEnvTest] = closed; });
  EXPECT_EQ(server_.Init("", kEnvTest), -6);
  ChangeDeployment([](CloudDeployment* d) { d->entry_points[kEnvTest] = "nosuchscheme://127.0.0.1"; });
  EXPECT_EQ(server_.Init("", kEnvTest), kCloudUnsupportedProtocol);
}

TEST(CurlErrorToCode, Table) {
  struct Case {
    int curl;
    int code;
  } cases[] = {{CURLE_UNSUPPORTED_PROTOCOL, -12},    {CURLE_COULDNT_RESOLVE_HOST, -5},
               {CURLE_COULDNT_CONNECT, -6},          {CURLE_OPERATION_TIMEDOUT, -2},
               {CURLE_SSL_CONNECT_ERROR, -7},        {CURLE_GOT_NOTHING, -8},
               {CURLE_PEER_FAILED_VERIFICATION, -8}, {CURLE_WRITE_ERROR, -8}};
  for (const Case& c : cases) EXPECT_EQ(CurlErrorToCode(c.curl), c.code) << c.curl;
}

TEST(AlarmTags, Table) {
  const char* tags[] = {"motion", "body",     "sound",      "pir",         "smoke",    "tempL",
                        "tempH",  "humidL",   "humidH",     "generic",     "g-sensor", "set-off",
                        "park",   "speed-up", "speed-down", "doorbell",    "passby",   "stay",
                        "lock",   "cry",      "enter",      "bad_posture", "leave"};
  for (int i = 0; i < 23; ++i) EXPECT_EQ(alarmTagToCode(tags[i]), i + 1) << tags[i];
  for (const char* t : {"Motion", "", "motion ", "leaves", "unknown"}) EXPECT_EQ(alarmTagToCode(t), 0) << t;
  EXPECT_EQ(alarmTagToCode(nullptr), 0);
}

TEST(CloudHelpers, CacheRootAndLocalTime) {
  SetCacheRoot("/media/velmora/");
  EXPECT_EQ(CacheRoot(), "/media/velmora");
  SetCacheRoot("D:\\VelmoraData\\");
  EXPECT_EQ(CacheRoot(), "D:\\VelmoraData");
  SetCacheRoot("/a//");
  EXPECT_EQ(CacheRoot(), "/a/");  // one separator only
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FormatLocalTime(kDay + 3 * 3600 + 4 * 60 + 5), "2024-05-01 03:04:05");
}

// ---- https ----------------------------------------------------------------------------------------------

class OrvelServerHttpsTest : public OrvelServerTest {
 protected:
  OrvelServerHttpsTest() { options_.https = true; }
};

TEST_F(OrvelServerHttpsTest, SignsInOverTls) {
  NetTlsConfigure(1, sim_.ca_file().c_str());  // API requests and the push channel alike
  ASSERT_EQ(server_.Init("", kEnvProduction), 0);
  EXPECT_EQ(server_.ApiBase(), sim_.HttpsBase() + "/api");
  EXPECT_EQ(server_.PushBase(), "wss://127.0.0.1:" + std::to_string(sim_.https_port()));
  ASSERT_EQ(server_.Login("13800000002", "bob-pass-2"), 0);
  std::vector<DeviceInfo> devices;
  ASSERT_EQ(server_.GetAllDevices(&devices), 0);
  EXPECT_EQ(devices.size(), 1u);
  auto reqs = Requests();
  ASSERT_EQ(reqs.size(), 3u);
  for (auto& r : reqs) EXPECT_TRUE(r.secure) << r.path;
  EXPECT_NE(reqs[2].cookie.find("SIMROUTE=tls"), std::string::npos);
  // The push channel over wss.
  EXPECT_TRUE(WaitFor([&] { return PushClients(sim_).size() == 1; }));
  NetTlsConfigure(1, nullptr);
}

TEST_F(OrvelServerHttpsTest, UnknownCertificateIsRefused) {
  NetTlsConfigure(1, nullptr);
  EXPECT_LT(server_.Init("", kEnvProduction), 0);
  EXPECT_TRUE(Requests().empty());
  // The one opt-out setting turns the checks off for the API requests too.
  NetTlsConfigure(0, nullptr);
  EXPECT_EQ(server_.Init("", kEnvProduction), 0);
  NetTlsConfigure(1, nullptr);
}

// ---- push events ----------------------------------------------------------------------------------------

int Dispatch(COrvelServer* server, const std::string& message) {
  std::string copy = message;
  return sockio_cb(nullptr, kSockioMessage, copy.data(), static_cast<int>(copy.size()), server);
}

TEST_F(OrvelServerTest, PushEventsReachTheirHandlers) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  const std::string app = "app-1001-" + server_.UniqId();
  struct Case {
    std::string message;
    const char* online;  // the uuid expected at the online hook, or null
    bool webrtc;
  } cases[] = {
      {R"(["ov/user/1001/device_status",{"status":"online","uuid":"U1"}])", "U1", false},
      {R"(["ov/user/)" + app + R"(/device_status",{"status":"online","uuid":"U2"}])", "U2", false},
      {R"(["device_status","{\"status\":\"online\",\"uuid\":\"U3\"}"])", "U3", false},
      {R"(["ov/user/1002/device_status",{"status":"online","uuid":"X1"}])", nullptr, false},
      {R"(["ov/user/app-1001-WRONGUNIQ0000/device_status",{"status":"online","uuid":"X2"}])", nullptr, false},
      {R"(["ov/user/10011/device_status",{"status":"online","uuid":"X3"}])", nullptr, false},
      {R"(["device_status",{"status":"offline","uuid":"X4"}])", nullptr, false},
      {R"(["ov/user/1001/webrtc",{"type":"webrtc","sdp":"v=0"}])", nullptr, true},
      {R"(["webrtc",{"type":"answer"}])", nullptr, false},
      {R"(["bind",{"uuid":"X5"}])", nullptr, false},
      {R"(["ov/user/1001/p2presp/77/x",{"fr":"VLM","dt":"AAAA"}])", nullptr, false},
      {R"(["ov/user/1001"])", nullptr, false},
      {R"(["ov/user/1001",{"status":"online","uuid":"X6"}])", nullptr, false},
      {R"(not json)", nullptr, false},
      {R"([1,{"status":"online","uuid":"X7"}])", nullptr, false},
      {R"({"device_status":{"status":"online","uuid":"X8"}})", nullptr, false},
      {R"(["device_status"])", nullptr, false},
  };
  for (const Case& c : cases) {
    {
      std::lock_guard<std::mutex> lock(g_hooks.mu);
      g_hooks.online.clear();
      g_hooks.webrtc.clear();
    }
    EXPECT_EQ(Dispatch(&server_, c.message), 0);
    std::lock_guard<std::mutex> lock(g_hooks.mu);
    if (c.online) {
      ASSERT_EQ(g_hooks.online.size(), 1u) << c.message;
      EXPECT_EQ(g_hooks.online[0], c.online);
    } else {
      EXPECT_TRUE(g_hooks.online.empty()) << c.message;
    }
    EXPECT_EQ(g_hooks.webrtc.size(), c.webrtc ? 1u : 0u) << c.message;
  }
  // Status calls are not messages.
  char text[] = R"(["device_status",{"status":"online","uuid":"S"}])";
  for (int event = 1; event <= 5; ++event) sockio_cb(nullptr, event, text, 0, &server_);
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  EXPECT_TRUE(g_hooks.online.empty());
}

// ---- the log --------------------------------------------------------------------------------------------

TEST_F(OrvelServerTest, LogCarriesNoSecrets) {
  TempDir dir;
  std::string path = dir / "velmora.log";
  LogOpen(kLogToFile, path.c_str(), 0);
  LogSetLevel(6);
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  std::vector<DeviceInfo> devices;
  ASSERT_EQ(server_.GetAllDevices(&devices), 0);
  JsonHolder creds;
  ASSERT_EQ(server_.GetDeviceToken("501", 3, &creds), 0);
  sim_.Control("/expire");
  ASSERT_EQ(server_.GetDeviceToken("501", 4, &creds), 0);
  sim_.Fail(kTokenPath, R"({"mode": "notjson", "body": "token=abc"})");
  server_.GetDeviceToken("501", 4, &creds);
  Dispatch(&server_, R"(["ov/user/1001/webrtc",{"type":"webrtc","sdp":"a=ice-pwd:SDPSECRET"}])");
  std::vector<PlaybackSegment> list;
  ASSERT_EQ(server_.GetVideoRecord("501", kDay, kDay + 86399, &list), 0);
  LogOpen(0, nullptr, 0);
  LogSetLevel(4);

  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string log = ss.str();
  // Level-5 lines were written, so the check below means something.
  EXPECT_NE(log.find("post: "), std::string::npos);
  EXPECT_NE(log.find("VLM-LP-000502"), std::string::npos);

  std::vector<std::string> secrets = {
      "ann-pass-1",      "dev501pw",        "k501desk",   "sim-secret-0003", "sim-security-token-0003",
      "sim-secret-0004", "SERVERSTRING501", "W2TOKEN503", "SDPSECRET",       "AKIDSIMULATED0003"};
  for (auto& r : Requests()) {
    if (r.body.Has("token")) secrets.push_back(r.body.Get("token").AsString());
  }
  std::string cookie = server_.Cookie();
  size_t at = cookie.find("SIMSESSION=");
  secrets.push_back(cookie.substr(at + 11, cookie.find(';', at) - at - 11));
  for (const auto& s : secrets) {
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(log.find(s), std::string::npos) << "in the log: " << s;
  }
}

// ---- the push channel over the network ------------------------------------------------------------------

size_t OnlineCount() {
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  return g_hooks.online.size();
}

TEST_F(OrvelServerTest, PushChannelOpensAtLoginAndCarriesEvents) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  ASSERT_NE(server_.PushClient(), nullptr);
  const std::string me = "1001/" + server_.UniqId() + "/pc/51";
  ASSERT_TRUE(WaitFor([&] { return PushClients(sim_) == std::vector<std::string>{me}; }));
  {
    std::lock_guard<std::mutex> lock(g_hooks.mu);
    EXPECT_EQ(g_hooks.setups, 1);
  }
  // Another account's event is dropped; ours reaches the device-online hook, also in the per-app form.
  sim_.Control("/push",
               R"({"event": "ov/user/1002/device_status", "payload": {"status": "online", "uuid": "X"}})");
  sim_.Control(
      "/push",
      R"({"event": "ov/user/1001/device_status", "payload": {"status": "online", "uuid": "VLM-LP-000502"}})");
  ASSERT_TRUE(WaitFor([] { return OnlineCount() >= 1; }));
  std::string app = "ov/user/app-1001-" + server_.UniqId() + "/device_status";
  sim_.Control("/push",
               R"({"event": ")" + app + R"(", "payload": "{\"status\":\"online\",\"uuid\":\"U9\"}"})");
  ASSERT_TRUE(WaitFor([] { return OnlineCount() >= 2; }));
  sim_.Control("/push", R"({"event": "webrtc", "payload": {"type": "webrtc", "sdp": "v=0"}})");
  ASSERT_TRUE(WaitFor([] {
    std::lock_guard<std::mutex> lock(g_hooks.mu);
    return !g_hooks.webrtc.empty();
  }));
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  EXPECT_EQ(g_hooks.online, (std::vector<std::string>{"VLM-LP-000502", "U9"}));
  EXPECT_EQ(g_hooks.webrtc[0], R"({"type":"webrtc","sdp":"v=0"})");
}

TEST_F(OrvelServerTest, PushChannelFollowsTheAccount) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  ASSERT_TRUE(WaitFor([&] { return PushClients(sim_).size() == 1; }));
  ASSERT_EQ(server_.Login("bob@example.test", "bob-pass-2"), 0);
  const std::string bob = "1002/" + server_.UniqId() + "/pc/51";
  ASSERT_TRUE(WaitFor([&] { return PushClients(sim_) == std::vector<std::string>{bob}; }));
  server_.Disconnect();
  EXPECT_EQ(server_.PushClient(), nullptr);
  EXPECT_TRUE(WaitFor([&] { return PushClients(sim_).empty(); }));
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  EXPECT_GE(g_hooks.resets, 1);
}

// ---- UUID information service ---------------------------------------------------------------------------

TEST_F(OrvelServerTest, UuidInformation) {
  std::string init, id, password;
  ASSERT_EQ(QueryUuidP2pInfo("VLM-UUID-0001", 1, &init, &id, &password), 0);
  EXPECT_EQ(init, "SIMINITSTRING");
  EXPECT_EQ(id, "VLMA-900001-XYZAB");
  EXPECT_EQ(password, "uuidpw1");
  ASSERT_EQ(QueryUuidP2pInfo("VLM-UUID-0002", 0, &init, &id, &password), 0);
  EXPECT_EQ(init, "NOCOLON");
  auto reqs = Requests("/api/uuid/p2p/info");
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_STREQ(reqs[0].body.Get("uuid").AsString(), "VLM-UUID-0001");
  EXPECT_EQ(reqs[0].type, "application/json;charset=utf-8");

  struct Case {
    const char* name;
    const char* uuid;
    const char* failure;
    int code;
  } cases[] = {
      {"unknown uuid", "VLM-UUID-9999", nullptr, kCloudUuidBadReply},
      {"quote in the uuid", "VLM\"}{", nullptr, kCloudUuidBadReply},
      {"not JSON", "VLM-UUID-0001", R"({"mode": "notjson"})", kCloudUuidBadReply},
      {"HTTP 500", "VLM-UUID-0001", R"({"mode": "status", "status": 500})", kCloudUuidBadReply},
      {"no init string", "VLM-UUID-0001", R"({"mode": "patch", "patch": {"initStr": "x"}})",
       kCloudUuidBadReply},
  };
  for (const Case& c : cases) {
    if (c.failure) sim_.Fail("/api/uuid/p2p/info", c.failure);
    EXPECT_EQ(QueryUuidP2pInfo(c.uuid, 1, &init, &id, &password), c.code) << c.name;
  }
  // The quoted UUID arrived intact as JSON.
  reqs = Requests("/api/uuid/p2p/info");
  EXPECT_STREQ(reqs[3].body.Get("uuid").AsString(), "VLM\"}{");

  ChangeDeployment([](CloudDeployment* d) { d->uuid_service[1].clear(); });
  EXPECT_EQ(QueryUuidP2pInfo("VLM-UUID-0001", 1, &init, &id, &password), -102);
}

// ---- what the simulator refuses -------------------------------------------------------------------------

size_t CollectReply(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// A raw request to the simulator: "<status> <code>" of the reply (code 0 when it has none).
std::string RawRequest(const std::string& url, const char* method, const char* type,
                       const std::string& body) {
  CURL* h = curl_easy_init();
  std::string reply;
  struct curl_slist* headers = type ? curl_slist_append(nullptr, type) : nullptr;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method);
  if (std::string(method) != "GET") curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, CollectReply);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 5000L);
  curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(h);
  curl_slist_free_all(headers);
  JsonHolder j(cJSON_Parse(reply.c_str()), false);
  return std::to_string(status) + " " + std::to_string(j.Get("code").AsInt());
}

TEST_F(OrvelServerTest, SimulatorRefusesWhatTheServiceWould) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  JsonHolder creds;
  ASSERT_EQ(server_.GetDeviceToken("501", 3, &creds), 0);
  // A valid token of ann's.
  std::string token = Requests(kTokenPath).back().body.Get("token").AsString();
  const char* json = "Content-Type: application/json";
  struct Case {
    const char* name;
    std::string path;
    const char* method;
    const char* type;
    std::string body;
    const char* expected;
  } cases[] = {
      {"a proper log-in", kLoginPath, "POST", json,
       R"({"phone":"13800000001","password":"ann-pass-1","source":"pc","pkgname":"t"})", "200 0"},
      {"unknown path", "/api/nothing", "POST", json, R"({"pkgname":"t"})", "404 404"},
      {"GET", kServicePath, "GET", json, "", "405 405"},
      {"form body", kServicePath, "POST", "Content-Type: application/x-www-form-urlencoded", "a=b",
       "415 415"},
      {"body not JSON", kServicePath, "POST", json, "{", "400 400"},
      {"body an array", kServicePath, "POST", json, "[]", "400 400"},
      {"no package name", kServicePath, "POST", json, R"({"source":"app","version":"1"})", "400 400"},
      {"discovery without source", kServicePath, "POST", json, R"({"pkgname":"t"})", "200 10001"},
      {"phone and email", kLoginPath, "POST", json,
       R"({"phone":"1","email":"a@b","password":"x","source":"pc","pkgname":"t"})", "200 10001"},
      {"log-in from another source", kLoginPath, "POST", json,
       R"({"phone":"13800000001","password":"ann-pass-1","source":"app","pkgname":"t"})", "200 10001"},
      {"unknown user", kLoginPath, "POST", json,
       R"({"email":"nobody@example.test","password":"x","source":"pc","pkgname":"t"})", "200 20001"},
      {"list without token", kListPath, "POST", json,
       R"({"page":1,"limit":"200","platform":"pc","pkgname":"t"})", "200 401"},
      {"list with a made-up token", kListPath, "POST", json,
       R"({"page":1,"limit":"200","platform":"pc","pkgname":"t","token":"0123456789abcdef"})", "200 401"},
      {"page as text", kListPath, "POST", json,
       R"({"page":"1","limit":"200","platform":"pc","pkgname":"t","token":")" + token + R"("})", "200 10001"},
      {"page 0", kListPath, "POST", json,
       R"({"page":0,"limit":"200","platform":"pc","pkgname":"t","token":")" + token + R"("})", "200 10001"},
      {"another account's device", kTokenPath, "POST", json,
       R"({"device_id":"601","ossid":"3","pkgname":"t","token":")" + token + R"("})", "200 40004"},
      {"ossid as a number", kTokenPath, "POST", json,
       R"({"device_id":"501","ossid":3,"pkgname":"t","token":")" + token + R"("})", "200 10001"},
      {"malformed day", kRecordPath, "POST", json,
       R"({"device_id":"501","start_time":"2024-05-01","end_time":"2024-05-01 23:59:59","pkgname":"t","token":")" +
           token + R"("})",
       "200 10001"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RawRequest(sim_.HttpBase() + c.path, c.method, c.type, c.body), c.expected) << c.name;
  }
}

struct PushProbe {
  std::atomic<int> failed{0};
  std::atomic<int> connected{0};
};

int ProbeCallback(SockioClient*, int event, char*, int, void* user) {
  auto* p = static_cast<PushProbe*>(user);
  if (event == kSockioConnectFailed) ++p->failed;
  if (event == kSockioConnected) ++p->connected;
  return 0;
}

TEST_F(OrvelServerTest, SimulatorRefusesPushClientsWithoutAValidToken) {
  ASSERT_EQ(SignIn("13800000001", "ann-pass-1"), 0);
  const std::string base = "ws://127.0.0.1:" + std::to_string(sim_.http_port()) + "/?";
  const std::string uniq = "&uniq_id=PROBE&platform=pc&sdkver=51";
  const std::string urls[] = {
      base + "user_id=1001&target=app&EIO=3&transport=websocket&sid=madeuptoken" + uniq,
      base + "user_id=1002&target=app&EIO=3&transport=websocket&sid=" + std::string("x") + uniq,
      base + "user_id=1001&target=app&EIO=4&transport=websocket&sid=madeuptoken" + uniq,
  };
  for (const std::string& url : urls) {
    PushProbe probe;
    SockioClient* client = SockioCltCreate(url.c_str(), ProbeCallback, &probe);
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(WaitFor([&] { return probe.failed.load() >= 1; })) << url;
    SockioCltDestroy(client);
    EXPECT_EQ(probe.connected.load(), 0) << url;
  }
  // Only the client's own channel is there.
  EXPECT_EQ(PushClients(sim_).size(), 1u);
}

}  // namespace
