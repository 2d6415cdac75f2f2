#include "sdk/cloud/cloud_config.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/common/temp_dir.h"

namespace {

TEST(CloudDeployment, LoadsTheServersSection) {
  TempDir dir;
  std::string path = dir / "app.conf";
  std::ofstream(path)
      << "[ui]\noem=x\n[servers]\nproduction=https://api.example.test/\ntest=http://127.0.0.1:8080\n"
         "uuid_test=127.0.0.1:9\nstate_servers= 1.1.1.1:1 ,2.2.2.2,3.3.3.3,4.4.4.4\n"
         "connect_timeout_ms=1500\n";
  CloudDeployment d;
  d.entry_points[kEnvPreRelease] = "https://kept.example.test";
  d.uuid_service[0] = "kept";
  ASSERT_TRUE(CloudLoadDeployment(path.c_str(), &d));
  EXPECT_EQ(d.entry_points[kEnvProduction], "https://api.example.test");
  EXPECT_EQ(d.entry_points[kEnvTest], "http://127.0.0.1:8080");
  EXPECT_EQ(d.entry_points[kEnvPreRelease], "https://kept.example.test");  // missing keys keep their value
  EXPECT_EQ(d.uuid_service[0], "kept");
  EXPECT_EQ(d.uuid_service[1], "127.0.0.1:9");
  EXPECT_EQ(d.state_servers[0], "1.1.1.1:1");
  EXPECT_EQ(d.state_servers[1], "2.2.2.2");
  EXPECT_EQ(d.state_servers[2], "3.3.3.3");
  EXPECT_EQ(d.connect_timeout_ms, 1500);
  EXPECT_EQ(d.request_timeout_ms, 20000);

  CloudDeployment untouched;
  EXPECT_FALSE(CloudLoadDeployment((dir / "missing.conf").c_str(), &untouched));
  EXPECT_EQ(untouched.entry_points[0], "");
}

TEST(CloudDeployment, NothingIsBuiltIn) {
  CloudDeployment d;
  for (const auto& e : d.entry_points) EXPECT_EQ(e, "");
  for (const auto& e : d.uuid_service) EXPECT_EQ(e, "");
  for (const auto& e : d.state_servers) EXPECT_EQ(e, "");
  EXPECT_EQ(CloudUuidServiceUrl(d, 0), "");
}

TEST(CloudDeployment, EntryPointOfAnEnvironment) {
  CloudDeployment d;
  d.entry_points[0] = "P";
  d.entry_points[1] = "T";
  d.entry_points[2] = "R";
  EXPECT_EQ(CloudEntryPoint(d, 0), "P");
  EXPECT_EQ(CloudEntryPoint(d, 1), "T");
  EXPECT_EQ(CloudEntryPoint(d, 2), "R");
  EXPECT_EQ(CloudEntryPoint(d, 3), "P");
  EXPECT_EQ(CloudEntryPoint(d, -1), "P");
}

TEST(CloudDeployment, UuidServiceUrls) {
  struct Case {
    const char* configured;
    int test;
    const char* url;
  } cases[] = {
      {"uuid.example.test", 0, "http://uuid.example.test:3602/api/uuid/p2p/info"},
      {"uuid.example.test", 1, "http://uuid.example.test:3605/api/uuid/p2p/info"},
      {"127.0.0.1:4000", 1, "http://127.0.0.1:4000/api/uuid/p2p/info"},
      {"https://uuid.example.test/", 0, "https://uuid.example.test:3602/api/uuid/p2p/info"},
      {"https://uuid.example.test:443/base", 0, "https://uuid.example.test:443/base/api/uuid/p2p/info"},
      {"http://h/base", 1, "http://h:3605/base/api/uuid/p2p/info"},
  };
  for (const Case& c : cases) {
    CloudDeployment d;
    d.uuid_service[c.test] = c.configured;
    EXPECT_EQ(CloudUuidServiceUrl(d, c.test), c.url) << c.configured;
  }
}

}  // namespace
