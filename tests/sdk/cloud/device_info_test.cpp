#include "sdk/cloud/device_info.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>

#include "util/json_holder.h"

namespace {

const std::string kDefaults[kStateServerCount] = {"10.0.0.1", "10.0.0.2:9000", "10.0.0.3"};

DeviceInfo Parse(const char* json) {
  JsonHolder e(cJSON_Parse(json), false);
  EXPECT_TRUE(e.IsValid()) << json;
  DeviceInfo info;
  DeviceInfoFromJson(e.Item(), kDefaults, &info);
  return info;
}

TEST(DeviceInfoFromJson, FieldsOfAFullElement) {
  DeviceInfo d = Parse(R"({"id": 4000000001, "name": "Hall \u00e9", "uuid": "U1", "p2p_id": "P1",
      "password": "pw", "image_path": "/i.jpg", "current_version": "1.2.3.4.5", "timezone": "UTC+1",
      "des_key": "12345678", "device_type": "lpwifi", "p2p_platform": "rvs::INIT", "is_online": 1,
      "bind_type": "2", "update_status": 3, "is_upgrade": 7, "connect_way": "wifi"})");
  EXPECT_EQ(d.id, "4000000001");
  EXPECT_EQ(d.name, "Hall \xc3\xa9");
  EXPECT_EQ(d.uuid, "U1");
  EXPECT_EQ(d.p2p_id, "P1");
  EXPECT_EQ(d.password, "pw");
  EXPECT_EQ(d.image_path, "/i.jpg");
  EXPECT_EQ(d.current_version, "1.2.3.4.5");
  EXPECT_EQ(d.timezone, "UTC+1");
  EXPECT_EQ(d.des_key, "12345678");
  EXPECT_EQ(d.device_type, "lpwifi");
  EXPECT_EQ(d.p2p_platform, "INIT");
  EXPECT_EQ(d.is_online, 1);
  EXPECT_EQ(d.bind_type, 2);
  EXPECT_EQ(d.update_status, 3);
  EXPECT_EQ(d.is_upgrade, 1);
  EXPECT_EQ(d.connect_way, "wifi");
  EXPECT_EQ(d.transport_flags, kTransportP2p);
  EXPECT_EQ(d.webrtc_failed, 0);
  for (int i = 0; i < kStateServerCount; ++i) EXPECT_EQ(d.state_servers[i], kDefaults[i]);
}

TEST(DeviceInfoFromJson, VersionAndPlatformTexts) {
  struct Case {
    const char* json;
    const char* version;
    const char* platform;
    int flags;
  } cases[] = {
      {R"({"current_version": "2.1.5"})", "2.1.5000", "", 0},
      {R"({"current_version": "12345678"})", "12345678", "", 0},
      {R"({"current_version": "123456789"})", "123456789", "", 0},
      {R"({})", "00000000", "", 0},
      {R"({"current_version": 5})", "00000000", "", 0},
      {R"({"p2p_platform": "12345"})", "00000000", "", 0},
      {R"({"p2p_platform": "123456"})", "00000000", "6", kTransportP2p},
      {R"({"p2p_platform": 123456})", "00000000", "", 0},
  };
  for (const Case& c : cases) {
    DeviceInfo d = Parse(c.json);
    EXPECT_EQ(d.current_version, c.version) << c.json;
    EXPECT_EQ(d.p2p_platform, c.platform) << c.json;
    EXPECT_EQ(d.transport_flags, c.flags) << c.json;
  }
}

TEST(DeviceInfoFromJson, StateServers) {
  struct Case {
    const char* json;
    const char* servers[3];
  } cases[] = {
      {R"({"p2p_state_server": "a,b,c,d"})", {"a", "b", "c"}},
      {R"({"p2p_state_server": "tcp://1.2.3.4:18081,//5.6.7.8,x//y//z"})",
       {"1.2.3.4:18081", "5.6.7.8", "y//z"}},
      {R"({"p2p_state_server": "only"})", {"only", "", ""}},
      {R"({"p2p_state_server": ""})", {"", "", ""}},
      {R"({"p2p_state_server": "a,,c"})", {"a", "", "c"}},
      {R"({})", {"10.0.0.1", "10.0.0.2:9000", "10.0.0.3"}},
  };
  for (const Case& c : cases) {
    DeviceInfo d = Parse(c.json);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(d.state_servers[i], c.servers[i]) << c.json << " #" << i;
  }
}

TEST(DeviceInfoFromJson, TransportFlagsAndRelayList) {
  struct Case {
    const char* json;
    int flags;
    size_t relays;
    const char* ovwebrtc2;
  } cases[] = {
      {R"({"attrs": "{\"protocol\":\"ovwebrtc\"}", "ov_webrtc": [{}, {}]})", kTransportWebrtc, 2, ""},
      {R"({"attrs": "{\"protocol\":\"ovwebrtc\"}", "ov_webrtc": [{}, {}], "p2p_platform": "rvs::X"})",
       kTransportWebrtc | kTransportP2p, 2, ""},
      {R"({"attrs": "{\"protocol\":\"ovwebrtc\"}", "ov_webrtc": []})", 0, 0, ""},
      {R"({"attrs": "{\"protocol\":\"ovwebrtc\"}", "ov_webrtc": {"ip": "x"}})", 0, 0, ""},
      {R"({"attrs": "{\"protocol\":\"ovwebrtc2\"}", "ovwebrtc2": "TOK"})", kTransportWebrtc2, 0, "TOK"},
      {R"({"attrs": "{\"protocol\":\"ovwebrtc2\"}", "ovwebrtc2": ""})", 0, 0, ""},
      {R"({"attrs": "{\"protocol\":\"ovwebrtc2\"}", "ovwebrtc2": 7})", 0, 0, ""},
      {R"({"attrs": "{\"protocol\":\"ovwebrtc2\"}", "ovwebrtc2": "T", "ov_webrtc": [{}]})",
       kTransportWebrtc2 | kTransportWebrtc, 1, "T"},
      {R"({"attrs": "{\"protocol\":\"p2p\"}", "ovwebrtc2": "T", "ov_webrtc": [{}]})", 0, 0, ""},
      {R"({"attrs": "not json", "ov_webrtc": [{}], "p2p_platform": "rvs::X"})", kTransportP2p, 0, ""},
      {R"({"attrs": {"protocol": "ovwebrtc"}, "ov_webrtc": [{}]})", 0, 0, ""},
      {R"({"ov_webrtc": [{}]})", 0, 0, ""},
  };
  for (const Case& c : cases) {
    DeviceInfo d = Parse(c.json);
    EXPECT_EQ(d.transport_flags, c.flags) << c.json;
    EXPECT_EQ(d.relay_list.size(), c.relays) << c.json;
    EXPECT_EQ(d.ovwebrtc2_id, c.ovwebrtc2) << c.json;
  }
}

TEST(DeviceInfoFromJson, RelayEntries) {
  DeviceInfo d = Parse(R"({"attrs": "{\"protocol\":\"ovwebrtc\"}", "ov_webrtc": [
      {"ip": "turn.test", "port": 3478, "mode": 2, "user": "u", "pass": "p", "is_turn": 5},
      {"ip": "stun.test", "port": "3479", "is_turn": 0}]})");
  ASSERT_EQ(d.relay_list.size(), 2u);
  const TurnServerEntry& t = d.relay_list[0];
  EXPECT_EQ(t.is_turn, 1);
  EXPECT_EQ(t.port, 3478);
  EXPECT_EQ(t.mode, 2);
  EXPECT_EQ(t.host, "turn.test");
  EXPECT_EQ(t.user, "u");
  EXPECT_EQ(t.password, "p");
  EXPECT_EQ(d.relay_list[1].is_turn, 0);
  EXPECT_EQ(d.relay_list[1].port, 3479);
  EXPECT_EQ(d.relay_list[1].host, "stun.test");
  EXPECT_EQ(d.relay_list[1].user, "");
}

TEST(DeviceInfoFromJson, IdsAndMalformedMembers) {
  struct Case {
    const char* json;
    const char* id;
  } cases[] = {
      {R"({"id": 42})", "42"},
      {R"({"id": "77"})", "77"},
      {R"({})", "0"},
      {R"({"id": 4294967295})", "4294967295"},
      {R"({"id": -1})", "4294967295"},
      {R"({"id": [1]})", "0"},
  };
  for (const Case& c : cases) EXPECT_EQ(Parse(c.json).id, c.id) << c.json;

  DeviceInfo d = Parse(R"({"name": 5, "uuid": null, "is_online": "x", "bind_type": {}, "connect_way": []})");
  EXPECT_EQ(d.name, "");
  EXPECT_EQ(d.uuid, "");
  EXPECT_EQ(d.is_online, 0);
  EXPECT_EQ(d.bind_type, 0);
  EXPECT_EQ(d.connect_way, "");

  // Something other than an object is a default record.
  JsonHolder n(cJSON_CreateNumber(3), false);
  DeviceInfoFromJson(n.Item(), nullptr, &d);
  EXPECT_EQ(d.id, "0");
  EXPECT_EQ(d.state_servers[0], "");
}

}  // namespace
