// The TCP frame decoder over a stream of frames; the first byte picks the
// framing and whether the input gets a valid header and checksum first.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>

#include "p2p/cipher.h"
#include "p2p/msg_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t mode = data[0];
  bool simple = mode & 1;
  std::vector<uint8_t> stream(data + 1, data + size);
  if ((mode & 2) && stream.size() >= 8) {
    // Make the head agree with the body so decoding gets past the checks.
    size_t body = std::min<size_t>(stream.size() - 8, 1280);
    stream[0] = static_cast<uint8_t>(body >> 8);
    stream[1] = static_cast<uint8_t>(body);
    stream[2] = 'h';
    if (!simple) RVP_Checksum(&stream[6], stream.data() + 8, body);
  }
  uint8_t out[1280];
  size_t at = 0;
  while (at < stream.size()) {
    size_t used = 0;
    int n = RVP_TcpFrameTake("fuzzkey", simple, stream.data() + at, stream.size() - at, out,
                             (mode & 4) ? 16 : static_cast<int>(sizeof(out)), &used);
    if (n < 0) break;
    if (used < 8 || used > stream.size() - at) std::abort();
    at += used;
  }
  // A message framed and taken again comes back unchanged.
  size_t len = std::min<size_t>(stream.size(), 1280);
  std::vector<uint8_t> frame(len + 8);
  int fl = RVP_TcpFrameEncode("fuzzkey", stream.data(), static_cast<int>(len), mode, static_cast<uint8_t>(len),
                              frame.data(), static_cast<int>(frame.size()));
  size_t used;
  if (fl != static_cast<int>(len + 8) ||
      RVP_TcpFrameTake("fuzzkey", false, frame.data(), frame.size(), out, sizeof(out), &used) != static_cast<int>(len) ||
      (len && std::memcmp(out, stream.data(), len) != 0))
    std::abort();
  return 0;
}
