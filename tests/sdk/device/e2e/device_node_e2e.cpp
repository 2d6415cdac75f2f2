// DeviceNode against cloudsim, rdvsim, camsim and statesim, run by device_node_e2e.sh inside a network
// namespace. VLM_INIT names the rendezvous servers, VLM_CONF the settings file cloudsim wrote; the account
// (phone 5550001) holds the devices the script's fixture lists (ids 701-707).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>

#include "sdk/cloud/cloud_config.h"
#include "sdk/cloud/orvel_server.h"
#include "sdk/node/device_node.h"
#include "sdk/device/rvs_transport.h"

namespace {

COrvelServer* g_server = nullptr;

class Env : public ::testing::Environment {
 public:
  void SetUp() override {
    CloudDeployment d;
    ASSERT_TRUE(CloudLoadDeployment(std::getenv("VLM_CONF") ? std::getenv("VLM_CONF") : "", &d));
    CloudSetDeployment(d);
    CloudSdkHooks hooks;
    hooks.device_online = NotifyDeviceOnline;
    CloudSetHooks(hooks);
    g_server = new COrvelServer();
    ASSERT_EQ(g_server->Init("", kEnvTest), 0);
    ASSERT_EQ(g_server->Login("5550001", "userpw"), 0);
  }
  void TearDown() override {
    ClearDeviceNodes(&ProcessDeviceNodes());
    delete g_server;
    g_server = nullptr;
    CloudSetHooks(CloudSdkHooks());
  }
};

long long MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

DeviceNode* Node(const char* id) {
  for (DeviceNode* n : ProcessDeviceNodes())
    if (n->Info().id == id) return n;
  return nullptr;
}

class DeviceNodeE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(g_server, nullptr);
    ASSERT_EQ(LoadDeviceNodes(&ProcessDeviceNodes(), g_server), 0);
  }
};

TEST_F(DeviceNodeE2e, LoadsTheAccountsDevicesInOrderAndClears) {
  DeviceNodeList& list = ProcessDeviceNodes();
  ASSERT_EQ(list.size(), 8u);
  const char* ids[] = {"701", "702", "703", "704", "705", "706", "707", "708"};
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(list[i]->Info().id, ids[i]);
    EXPECT_EQ(list[i]->Server(), g_server);
    EXPECT_NE(list[i]->Cacher(), nullptr);
    EXPECT_NE(list[i]->Info().transport_flags & kTransportP2p, 0);
  }
  EXPECT_EQ(list[4]->Info().transport_flags, kTransportP2p | kTransportWebrtc);
  // Loading again replaces the nodes.
  ASSERT_EQ(LoadDeviceNodes(&list, g_server), 0);
  EXPECT_EQ(list.size(), 8u);
  ClearDeviceNodes(&list);
  EXPECT_TRUE(list.empty());
}

TEST_F(DeviceNodeE2e, ConnectsByEveryModeTheRecordSelects) {
  // ipc (0x7B, password), doorbell (0x7C, token refused, record refreshed, password), drsim (0x5E),
  // lpsim (probe 0x7F, then 0x5E, token refused, refreshed).
  for (const char* id : {"701", "702", "703", "704"}) {
    DeviceNode* n = Node(id);
    ASSERT_NE(n, nullptr) << id;
    EXPECT_EQ(n->Connect(), 0) << "device " << id;
    EXPECT_TRUE(n->GetP2pClient()->HasSession()) << id;
    DeviceFeatures f{};
    EXPECT_EQ(n->GetP2pClient()->GetFeatures(&f), 0);
    EXPECT_GE(f.channel_count, 1u);
    n->Disconnect();
    EXPECT_FALSE(n->GetP2pClient()->HasSession());
  }
}

TEST_F(DeviceNodeE2e, WrongPasswordClosesTheSession) {
  DeviceNode* n = Node("707");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->Connect(), KIVO_ERR_AUTH);
  EXPECT_FALSE(n->GetP2pClient()->HasSession());
}

TEST_F(DeviceNodeE2e, ConnectAsyncCallsBackOnItsThread) {
  DeviceNode* n = Node("701");
  ASSERT_NE(n, nullptr);
  std::atomic<int> result{1};
  ASSERT_TRUE(n->ConnectAsync(
      [](DeviceNode*, int r, void* user) { static_cast<std::atomic<int>*>(user)->store(r); }, &result));
  EXPECT_EQ(n->JoinConnectThread(), 0);
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(n->GetP2pClient()->HasSession());
  DeviceNodeSetLanOnly(true);
  n->Disconnect();
  EXPECT_EQ(n->Connect(), KIVO_ERR_OFFLINE);
  DeviceNodeSetLanOnly(false);
}

TEST_F(DeviceNodeE2e, SleepingCameraWokenThroughTheStateServerAndThePushEvent) {
  DeviceNode* n = Node("705");
  ASSERT_NE(n, nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(n->Connect(), 0);
  const long long ms = MsSince(t0);
  EXPECT_LT(ms, 9000) << "the online event should end the wait early";
  EXPECT_TRUE(n->GetP2pClient()->HasSession());
  // The WebRTC attempt failed on a device that has P2P: the next connect skips it.
  EXPECT_EQ(n->Info().webrtc_failed, 1);
  n->Disconnect();
  EXPECT_EQ(n->Connect(), 0);
  n->Disconnect();
}

TEST_F(DeviceNodeE2e, SleepingLpsimCameraWokenOnItsP2pIdAfterAFailedProbe) {
  DeviceNode* n = Node("708");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->Connect(), 0);
  EXPECT_TRUE(n->GetP2pClient()->HasSession());
  n->Disconnect();
}

TEST_F(DeviceNodeE2e, CameraThatNeverWakesEndsAfterItsBudget) {
  DeviceNode* n = Node("706");
  ASSERT_NE(n, nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  const int r = n->Connect();
  EXPECT_EQ(r, KIVO_ERR_OFFLINE);
  EXPECT_GE(MsSince(t0), 10000);
  EXPECT_FALSE(n->GetP2pClient()->HasSession());
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  rvsSetInitString(std::getenv("VLM_INIT") ? std::getenv("VLM_INIT") : "");
  KivoP2pInit();
  ::testing::AddGlobalTestEnvironment(new Env());
  const int r = RUN_ALL_TESTS();
  KivoP2pDeinit();
  return r;
}
