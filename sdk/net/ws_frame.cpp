// WebSocket frame headers.
#include "sdk/net/ws_frame.h"

#include "sdk/net/net_codes.h"

int WsParseFrameHeader(const uint8_t* data, size_t length, WsFrameHeader* out) {
  if (length < 2) return 0;
  out->fin = data[0] >> 7;
  out->opcode = data[0] & 0x0F;
  out->masked = data[1] >> 7;
  uint64_t len = data[1] & 0x7F;
  size_t pos = 2;
  if (len == 126) {
    if (length < 4) return 0;
    len = uint64_t{data[2]} << 8 | data[3];
    pos = 4;
  } else if (len == 127) {
    if (length < 10) return 0;
    len = 0;
    for (int i = 0; i < 8; ++i) len = len << 8 | data[2 + i];
    pos = 10;
  }
  if (len > kWsMaxFrame) return kNetProtocol;
  if (out->masked) {
    if (length < pos + 4) return 0;
    for (int i = 0; i < 4; ++i) out->mask[i] = data[pos + i];
    pos += 4;
  }
  out->payload_length = len;
  out->header_length = static_cast<int>(pos);
  return 1;
}

int WsBuildFrameHeader(uint8_t* out, int fin, int opcode, int masked, const uint8_t mask[4], uint64_t n) {
  out[0] = static_cast<uint8_t>((fin ? 0x80 : 0) | (opcode & 0x0F));
  const uint8_t m = masked ? 0x80 : 0;
  int pos;
  if (n <= 125) {
    out[1] = static_cast<uint8_t>(m | n);
    pos = 2;
  } else if (n <= 65535) {
    out[1] = m | 126;
    out[2] = static_cast<uint8_t>(n >> 8);
    out[3] = static_cast<uint8_t>(n);
    pos = 4;
  } else {
    out[1] = m | 127;
    for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<uint8_t>(n >> (56 - 8 * i));
    pos = 10;
  }
  if (masked) {
    for (int i = 0; i < 4; ++i) out[pos + i] = mask[i];
    pos += 4;
  }
  return pos;
}

void WsMask(uint8_t* data, size_t length, const uint8_t mask[4], size_t offset) {
  for (size_t i = 0; i < length; ++i) data[i] ^= mask[(offset + i) & 3];
}

int WsDecodeFrame(uint8_t* data, size_t length, WsFrame* frame, size_t* frame_length) {
  *frame_length = 0;
  WsFrameHeader h;
  int r = WsParseFrameHeader(data, length, &h);
  if (r <= 0) return r;
  const size_t total = static_cast<size_t>(h.header_length) + static_cast<size_t>(h.payload_length);
  *frame_length = total;
  if (length < total) return 0;
  uint8_t* payload = data + h.header_length;
  uint32_t n = static_cast<uint32_t>(h.payload_length);
  if (h.masked) WsMask(payload, n, h.mask, 0);
  frame->fin = static_cast<uint16_t>(h.fin);
  frame->opcode = static_cast<uint16_t>(h.opcode);
  frame->close_code = 0;
  frame->payload = payload;
  frame->length = n;
  if (h.opcode == kWsClose) {
    if (n >= 2) {
      frame->close_code = static_cast<uint16_t>(payload[0] << 8 | payload[1]);
      frame->payload += 2;
      frame->length -= 2;
    } else {
      frame->close_code = 1005;
    }
  }
  return 1;
}
