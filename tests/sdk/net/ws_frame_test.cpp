// WebSocket frame headers: builder and parser round trips, close codes, limits.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sdk/net/net_codes.h"
#include "sdk/net/ws_frame.h"

namespace {

TEST(WsFrame, HeaderRoundTrip) {
  const uint64_t lengths[] = {0, 1, 125, 126, 65535, 65536, 70000, kWsMaxFrame};
  const int expected_len[] = {2, 2, 2, 4, 4, 10, 10, 10};
  const uint8_t key[4] = {0xA1, 0xB2, 0xC3, 0xD4};
  for (int masked = 0; masked < 2; ++masked) {
    for (size_t i = 0; i < sizeof(lengths) / sizeof(lengths[0]); ++i) {
      uint8_t buf[kWsMaxHeader];
      int n = WsBuildFrameHeader(buf, 1, kWsBinary, masked, key, lengths[i]);
      EXPECT_EQ(expected_len[i] + 4 * masked, n);
      for (int cut = 0; cut < n; ++cut) {
        WsFrameHeader h;
        EXPECT_EQ(0, WsParseFrameHeader(buf, static_cast<size_t>(cut), &h)) << lengths[i] << " cut " << cut;
      }
      WsFrameHeader h;
      ASSERT_EQ(1, WsParseFrameHeader(buf, static_cast<size_t>(n), &h));
      EXPECT_EQ(1, h.fin);
      EXPECT_EQ(kWsBinary, h.opcode);
      EXPECT_EQ(masked, h.masked);
      EXPECT_EQ(lengths[i], h.payload_length);
      EXPECT_EQ(n, h.header_length);
      if (masked) {
        EXPECT_EQ(0, memcmp(key, h.mask, 4));
      }
    }
  }
  uint8_t buf[kWsMaxHeader];
  WsBuildFrameHeader(buf, 1, kWsText, 1, (const uint8_t[4]){1, 2, 3, 4}, 70000);
  EXPECT_EQ(0xFF, buf[1]);  // mask bit and length code 127
  const uint8_t big[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x11, 0x70};
  EXPECT_EQ(0, memcmp(buf + 2, big, 8));
}

TEST(WsFrame, OversizedLengthsAreRefusedBeforeAnyPayload) {
  const uint8_t beyond_cap[] = {0x82, 0x7F, 0, 0, 0, 0, 0x04, 0, 0, 1};     // 64 MiB + 1
  const uint8_t high_word[] = {0x82, 0x7F, 0, 0, 0, 1, 0, 0, 0, 5};          // 2^32 + 5
  const uint8_t max64[] = {0x82, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  for (const uint8_t* f : {beyond_cap, high_word, max64}) {
    WsFrameHeader h;
    EXPECT_EQ(kNetProtocol, WsParseFrameHeader(f, 10, &h));
    std::vector<uint8_t> copy(f, f + 10);
    WsFrame frame;
    size_t len;
    EXPECT_EQ(kNetProtocol, WsDecodeFrame(copy.data(), copy.size(), &frame, &len));
  }
}

TEST(WsFrame, DecodeUnmasksAndReadsCloseCodes) {
  // A masked text frame "Hello" (RFC 6455 section 5.7).
  uint8_t masked[] = {0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58};
  WsFrame f;
  size_t len;
  ASSERT_EQ(1, WsDecodeFrame(masked, sizeof(masked), &f, &len));
  EXPECT_EQ(sizeof(masked), len);
  EXPECT_EQ(kWsText, f.opcode);
  EXPECT_EQ(1, f.fin);
  EXPECT_EQ("Hello", std::string(reinterpret_cast<char*>(f.payload), f.length));

  uint8_t close_code[] = {0x88, 0x02, 0x0F, 0xA1};  // 4001
  ASSERT_EQ(1, WsDecodeFrame(close_code, sizeof(close_code), &f, &len));
  EXPECT_EQ(kWsClose, f.opcode);
  EXPECT_EQ(4001, f.close_code);
  EXPECT_EQ(0u, f.length);

  uint8_t close_reason[] = {0x88, 0x05, 0x03, 0xE8, 'b', 'y', 'e'};  // 1000 "bye"
  ASSERT_EQ(1, WsDecodeFrame(close_reason, sizeof(close_reason), &f, &len));
  EXPECT_EQ(1000, f.close_code);
  EXPECT_EQ("bye", std::string(reinterpret_cast<char*>(f.payload), f.length));

  uint8_t close_empty[] = {0x88, 0x00};
  ASSERT_EQ(1, WsDecodeFrame(close_empty, sizeof(close_empty), &f, &len));
  EXPECT_EQ(1005, f.close_code);

  uint8_t partial[] = {0x01, 0x7E, 0x00, 0xC8, 'a'};  // continuation-less text, 200 bytes announced
  EXPECT_EQ(0, WsDecodeFrame(partial, sizeof(partial), &f, &len));
  EXPECT_EQ(204u, len);
}

TEST(WsFrame, MaskOffsetContinuesAcrossPieces) {
  const uint8_t key[4] = {1, 2, 4, 8};
  uint8_t whole[7] = {0, 0, 0, 0, 0, 0, 0};
  WsMask(whole, 7, key, 0);
  uint8_t a[3] = {0, 0, 0}, b[4] = {0, 0, 0, 0};
  WsMask(a, 3, key, 0);
  WsMask(b, 4, key, 3);
  EXPECT_EQ(0, memcmp(whole, a, 3));
  EXPECT_EQ(0, memcmp(whole + 3, b, 4));
}

}  // namespace
