// Engine.IO 3 packets and the open packet's ping timing.
#include <gtest/gtest.h>

#include <string>

#include "sdk/net/sockio_packet.h"

namespace {

TEST(SockioPacket, Classification) {
  struct {
    std::string text;
    int type;
    std::string data;
  } cases[] = {
      {"0{\"sid\":\"a\"}", kSioOpen, "{\"sid\":\"a\"}"},
      {"1", kSioClose, "1"},
      {"3", kSioPong, "3"},
      {"3probe", kSioPong, "3probe"},
      {"42[\"ev\",{\"a\":1}]", kSioEvent, "[\"ev\",{\"a\":1}]"},
      {"45[\"bin\"]", kSioEvent, "[\"bin\"]"},
      {"40", kSioIgnored, "40"},
      {"41", kSioIgnored, "41"},
      {"4", kSioIgnored, "4"},
      {"2", kSioIgnored, "2"},
      {"", kSioIgnored, ""},
  };
  for (const auto& c : cases) {
    SockioPacket p;
    EXPECT_EQ(c.type, SockioParsePacket(c.text.data(), c.text.size(), &p)) << c.text;
    EXPECT_EQ(c.data, std::string(p.data, p.length)) << c.text;
  }
}

TEST(SockioPacket, OpenTiming) {
  struct {
    const char* json;
    int interval, timeout;
  } cases[] = {
      {"{\"pingInterval\":25000,\"pingTimeout\":5000}", 23, 12},
      {"{\"pingInterval\":25000,\"pingTimeout\":60000}", 25, 60},
      {"{\"pingInterval\":25000,\"pingTimeout\":20000}", 25, 20},
      {"{\"pingInterval\":60000,\"pingTimeout\":5000}", 60, 30},  // above 25 s the interval stays
      {"{\"pingInterval\":2000,\"pingTimeout\":1000}", 2, 1},
      {"{\"pingInterval\":0,\"pingTimeout\":0}", 1, 1},          // clamped, never a busy loop
      {"{\"pingInterval\":-5,\"pingTimeout\":1e300}", 1, 3600},
      {"{}", 23, 12},                                            // the defaults 25 and 5, adjusted
  };
  for (const auto& c : cases) {
    int interval = 25, timeout = 5;
    std::string sid;
    ASSERT_EQ(0, SockioApplyOpen(c.json, strlen(c.json), &interval, &timeout, &sid)) << c.json;
    EXPECT_EQ(c.interval, interval) << c.json;
    EXPECT_EQ(c.timeout, timeout) << c.json;
  }
}

TEST(SockioPacket, OpenSidAndJunk) {
  int interval = 25, timeout = 5;
  std::string sid;
  const std::string open = "{\"sid\":\"Ab-9_x\",\"upgrades\":[],\"pingInterval\":25000,\"pingTimeout\":5000}";
  ASSERT_EQ(0, SockioApplyOpen(open.data(), open.size(), &interval, &timeout, &sid));
  EXPECT_EQ("Ab-9_x", sid);
  // An id that would break the next URL is not taken.
  const std::string bad = "{\"sid\":\"x HTTP/1.1\\r\\nEvil: 1\"}";
  ASSERT_EQ(0, SockioApplyOpen(bad.data(), bad.size(), &interval, &timeout, &sid));
  EXPECT_EQ("Ab-9_x", sid);
  for (std::string junk : {"", "[1,2]", "{\"a\":", "nope"}) {
    int i = 7, t = 3;
    EXPECT_EQ(-1, SockioApplyOpen(junk.data(), junk.size(), &i, &t, &sid)) << junk;
    EXPECT_EQ(7, i);
    EXPECT_EQ(3, t);
  }
}

}  // namespace
