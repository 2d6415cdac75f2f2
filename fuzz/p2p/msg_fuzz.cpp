// The datagram path: unscramble, check the header, parse the payload; a
// message that parses must build again and parse to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "p2p/cipher.h"
#include "p2p/msg.h"

namespace {

void CheckRoundTrip(const RVP_Msg& m) {
  uint8_t out[2048];
  int n = RVP_MsgBuild(m, out, sizeof(out));
  if (n < 0) return;  // e.g. an 8-character DID field cannot be sent again
  RVP_Msg again;
  if (RVP_MsgParse(out, static_cast<size_t>(n), &again) != kMsgOk) std::abort();
  uint8_t out2[2048];
  if (RVP_MsgBuild(again, out2, sizeof(out2)) != n || std::memcmp(out, out2, static_cast<size_t>(n)) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As received: a whole datagram.
  RVP_Msg m;
  if (RVP_MsgParse(data, size, &m) == kMsgOk) CheckRoundTrip(m);

  // As a payload of the type in the first byte, in an exact-size buffer, also
  // after undoing a packet key.
  if (size >= 1) {
    std::vector<uint8_t> payload(data + 1, data + size);
    if (RVP_MsgParsePayload(data[0], payload.data(), payload.size(), &m) == kMsgOk) CheckRoundTrip(m);
    if (payload.size() <= 1440) {
      RVP_Unscramble("fuzzkey", payload.data(), payload.data(), static_cast<uint16_t>(payload.size()));
      if (RVP_MsgParsePayload(data[0], payload.data(), payload.size(), &m) == kMsgOk) CheckRoundTrip(m);
    }
  }
  return 0;
}
