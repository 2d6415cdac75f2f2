// The device link's bytes: payload layouts both ways, the refusals of short
// and overfull packets, headers, dates and the code tables.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <atomic>
#include <cstring>
#include <vector>

#include "sdk/device/kivo_wire.h"
#include "sdk/device/rvs_transport.h"

using namespace kivo;

TEST(KivoWire, EveryLayoutRoundTripsAndRefusesShortPayloads) {
  const uint32_t commands[] = {CMD_ERROR_REPLY,     CMD_START_VIDEO,  CMD_STOP_VIDEO,      CMD_START_AUDIO,
                               CMD_STOP_AUDIO,      CMD_PLAYBACK_CONTROL, CMD_STREAM_QUALITY, CMD_TALK_START,
                               CMD_TALK_START_OLD,  CMD_SET_LENS,     CMD_SET_MAIN_CHANNEL, CMD_PTZ,
                               CMD_RECORD_LIST,     CMD_PASSWORD,     CMD_DOORBELL_START,  CMD_POST_CONNECT,
                               CMD_PASSWORD ^ 1u,   CMD_GET_LENS ^ 1u};
  const uint8_t lens[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (uint32_t c : commands) {
    SCOPED_TRACE(c);
    const CmdLayout* l = FindLayout(c);
    ASSERT_NE(l, nullptr);
    CmdFields f;
    for (int i = 0; i < 4; ++i) f.word[i] = 0x01020304u * (i + 1);
    f.byte[0] = 7;
    f.time[0] = {2026, 12, 10, 4, 20, 15, 59};
    f.time[1] = {2026, 12, 11, 5, 0, 0, 1};
    f.blob = lens;
    f.blob_len = 12;
    uint8_t buf[64];
    const int n = BuildPayload(c, f, buf, sizeof(buf));
    ASSERT_EQ(n, l->size);
    CmdFields g;
    ASSERT_EQ(ParsePayload(c, buf, n, &g), 0);
    for (int i = 0; i < l->nfields; ++i) {
      const FieldSpec& s = l->fields[i];
      if (s.kind == FieldKind::U32) {
        EXPECT_EQ(g.word[s.index], f.word[s.index]);
      } else if (s.kind == FieldKind::U8) {
        EXPECT_EQ(g.byte[s.index], f.byte[s.index]);
      } else if (s.kind == FieldKind::Time) {
        EXPECT_EQ(std::memcmp(&g.time[s.index], &f.time[s.index], sizeof(DeviceTime)), 0);
      } else if (s.kind == FieldKind::Blob) {
        EXPECT_EQ(std::memcmp(g.blob, lens, std::min<int>(12, s.index)), 0);
      }
    }
    if (l->min > 0) {
      EXPECT_EQ(ParsePayload(c, buf, l->min - 1, &g), KIVO_ERR_FORMAT);
    }
  }
  EXPECT_EQ(BuildPayload(0x7777, CmdFields{}, nullptr, 0), KIVO_ERR_INVALID_PARAM);
  CmdFields g;
  EXPECT_EQ(ParsePayload(0x7777, nullptr, 0, &g), KIVO_ERR_UNSUPPORTED);
}

TEST(KivoWire, FixedBytesOfPasswordPtzAndPlayback) {
  CmdFields f;
  const char pw[] = "0123456789012345678901234567890123456789012345678901234567";  // 58 characters
  f.blob = reinterpret_cast<const uint8_t*>(pw);
  f.blob_len = 48;
  uint8_t buf[64];
  ASSERT_EQ(BuildPayload(CMD_PASSWORD, f, buf, sizeof(buf)), 60);
  for (int i : {0, 7, 56, 59}) EXPECT_EQ(buf[i], 0) << i;
  EXPECT_EQ(std::memcmp(buf + 8, pw, 48), 0);

  CmdFields p;
  p.byte[0] = 3;
  ASSERT_EQ(BuildPayload(CMD_PTZ, p, buf, sizeof(buf)), 8);
  const uint8_t ptz[8] = {3, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(buf, ptz, 8), 0);

  CmdFields s;
  s.word[0] = 3;
  s.word[1] = PLAYBACK_START_AT;
  s.time[0] = {2026, 1, 2, 5, 3, 4, 5};
  ASSERT_EQ(BuildPayload(CMD_PLAYBACK_CONTROL, s, buf, sizeof(buf)), 24);
  const uint8_t want[24] = {3, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0xEA, 0x07, 1, 2, 5, 3, 4, 5, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(buf, want, 24), 0);
}

TEST(KivoWire, HeadersAndRecordPackets) {
  uint8_t h[16];
  PutCmdHeader(h, 0x8003, 0x01020304);
  EXPECT_EQ(h[0], 0x03);
  EXPECT_EQ(h[1], 0x80);
  EXPECT_EQ(GetCmdHeader(h).length, 0x01020304u);

  MediaFrameHeader m{0x50, 1, 1, 0, 0, 1234, 0xA0B0C0D0};
  PutFrameHeader(h, m);
  const MediaFrameHeader r = GetFrameHeader(h);
  EXPECT_EQ(r.codec, 0x50);
  EXPECT_EQ(r.channel, 1);
  EXPECT_EQ(r.length, 1234u);
  EXPECT_EQ(r.timestamp, 0xA0B0C0D0u);
  EXPECT_EQ(h[8], 0xD2);  // 1234 little-endian

  std::vector<uint8_t> pkt(12 + 2 * 16);
  PutRecordListHead(pkt.data(), 5, true, 2);
  RecordEntry e{{2026, 12, 1, 2, 10, 0, 0}, 60, 1};
  PutRecordEntry(pkt.data() + 12, e);
  PutRecordEntry(pkt.data() + 28, e);
  RecordListPacket p;
  ASSERT_EQ(ParseRecordListPacket(pkt.data(), static_cast<int>(pkt.size()), &p), 0);
  EXPECT_EQ(p.total, 5u);
  EXPECT_TRUE(p.last);
  EXPECT_EQ(p.count, 2);
  EXPECT_EQ(GetRecordEntry(p.entries + 16).duration, 60u);
  // More entries announced than the packet carries, or a short head: refused.
  EXPECT_EQ(ParseRecordListPacket(pkt.data(), static_cast<int>(pkt.size()) - 1, &p), KIVO_ERR_FORMAT);
  pkt[10] = 200;
  EXPECT_EQ(ParseRecordListPacket(pkt.data(), static_cast<int>(pkt.size()), &p), KIVO_ERR_FORMAT);
  EXPECT_EQ(ParseRecordListPacket(pkt.data(), 11, &p), KIVO_ERR_FORMAT);
}

TEST(KivoWire, CodeTables) {
  const struct {
    uint32_t device;
    int mapped;
  } errors[] = {{0, 0}, {1, -10100}, {3, -10102}, {7, -10106}, {8, -1}, {9, -1}, {0xFFFFFFFF, -1}};
  for (auto e : errors) EXPECT_EQ(MapDeviceError(e.device), e.mapped) << e.device;

  EXPECT_STREQ(KivoP2pErrorName(0), "OK");
  EXPECT_STREQ(KivoP2pErrorName(-10009), "Cann't resolv host");
  EXPECT_STREQ(KivoP2pErrorName(-10103), "Inalid command parameter");
  EXPECT_STREQ(KivoP2pErrorName(-10019), "Other error");
  EXPECT_STREQ(KivoP2pErrorName(-42), "Other error");
  EXPECT_STREQ(KivoP2pGetErrorText(-10002), "Authentication failed");

  const int wire[][2] = {{0x50, 13}, {0x4E, 1}, {0x4F, 12}, {0x8A, 2}, {0x88, 59}, {0x8F, 55}, {0x4D, 0}, {0x51, 0}};
  for (auto w : wire) EXPECT_EQ(WireCodecToMediaCodec(w[0]), w[1]) << w[0];
  EXPECT_EQ(MediaCodecToWireCodec(13), 0x50);
  EXPECT_EQ(MediaCodecToWireCodec(51), -1);

  const int rvs[][2] = {{0, 0},      {5, 0},       {-3, -10005}, {-4, -10006}, {-8, -10006}, {-5, -10007},
                        {-6, -10008}, {-7, -10009}, {-10, -10010}, {-12, -10004}, {-13, -10011}, {-17, -10014},
                        {-22, -10016}, {-20, -10017}, {-1, -10017}, {-25, -25}};
  for (auto m : rvs) EXPECT_EQ(rvsMapError(m[0]), m[1]) << m[0];
  EXPECT_STREQ(rvsErrorText(-6), "Device is not on line now, nor login in the past 5 minutes");
  EXPECT_STREQ(rvsErrorText(-99), "Error: -99");
}

TEST(KivoWire, DeviceTimeRoundTripAndInitParameter) {
  setenv("TZ", "UTC", 1);
  tzset();
  for (time_t t : {time_t{0}, time_t{1765400000}, time_t{951782400}}) {
    const DeviceTime d = TimeToDeviceTime(t);
    EXPECT_EQ(DeviceTimeToTime(d), t);
  }
  const DeviceTime d = TimeToDeviceTime(1765400000);  // 2025-12-10 20:53:20 UTC, a Wednesday
  EXPECT_EQ(d.year, 2025);
  EXPECT_EQ(d.weekday, 3);
  char param[512];
  unsetenv("RVS_SESS_ALIVE_SEC");
  rvsFormatInitParam(param, sizeof(param));
  EXPECT_NE(std::strstr(param, "\"SessAliveSec\":8}"), nullptr) << param;
  setenv("RVS_SESS_ALIVE_SEC", "12", 1);
  rvsFormatInitParam(param, sizeof(param));
  EXPECT_NE(std::strstr(param, "\"SessAliveSec\":12}"), nullptr) << param;
  unsetenv("RVS_SESS_ALIVE_SEC");
}

TEST(KivoWire, ErrorTextsOfUnlistedResultsAreNotShared) {
  // Each thread sees its own number in the "Error: %d" text, however the calls interleave.
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      const int code = -100 - t;
      const std::string want = "Error: " + std::to_string(code);
      for (int i = 0; i < 20000; ++i)
        if (want != rvsErrorText(code)) ++wrong;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}
