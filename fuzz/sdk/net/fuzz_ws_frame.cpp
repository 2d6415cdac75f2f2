// WebSocket frame decoding over a stream of frames, as the receiver does it.
#include <cstdint>
#include <cstring>
#include <vector>

#include "sdk/net/ws_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> buf(data, data + size);
  size_t pos = 0;
  while (pos < buf.size()) {
    WsFrame f;
    size_t len = 0;
    int r = WsDecodeFrame(buf.data() + pos, buf.size() - pos, &f, &len);
    if (r != 1) break;
    if (len == 0 || pos + len > buf.size()) __builtin_trap();
    if (f.payload < buf.data() || f.payload + f.length > buf.data() + buf.size()) __builtin_trap();
    unsigned sum = 0;  // touches every payload byte
    for (uint32_t i = 0; i < f.length; ++i) sum += f.payload[i];
    if (sum > 255u * f.length) __builtin_trap();
    pos += len;
  }
  return 0;
}
