// WebSocket frames (RFC 6455): header building and parsing, masking.
#pragma once

#include <cstddef>
#include <cstdint>

enum WsOpcode { kWsContinuation = 0, kWsText = 1, kWsBinary = 2, kWsClose = 8, kWsPing = 9, kWsPong = 10 };

// The largest frame payload accepted from a peer; a longer one fails with kNetProtocol.
inline constexpr uint32_t kWsMaxFrame = 64u * 1024 * 1024;
// The longest frame header: 2 bytes, a 64-bit length, a mask key.
inline constexpr int kWsMaxHeader = 14;

struct WsFrameHeader {
  int fin;
  int opcode;
  int masked;
  uint8_t mask[4];
  uint64_t payload_length;
  int header_length;  // bytes before the payload
};

// A received frame; payload points into the connection's buffer.
struct WsFrame {
  uint16_t fin;
  uint16_t opcode;
  uint16_t close_code;  // for a close frame: its code, or 1005 when it carries none
  uint8_t* payload;
  uint32_t length;
};

// Parses a frame header: 1 with *out filled, 0 when more bytes are needed, or
// kNetProtocol when the payload exceeds kWsMaxFrame.
int WsParseFrameHeader(const uint8_t* data, size_t length, WsFrameHeader* out);
// Writes a frame header (mask key included when masked); returns its length.
int WsBuildFrameHeader(uint8_t* out, int fin, int opcode, int masked, const uint8_t mask[4], uint64_t payload_length);
// XORs data with the key, starting at key position offset % 4.
void WsMask(uint8_t* data, size_t length, const uint8_t mask[4], size_t offset);
// Decodes the frame at the start of data (unmasking it in place): 1 with
// *frame and *frame_length (header + payload) set, 0 when incomplete (then
// *frame_length is the whole frame's size when the header is known, else 0),
// or kNetProtocol.
int WsDecodeFrame(uint8_t* data, size_t length, WsFrame* frame, size_t* frame_length);
