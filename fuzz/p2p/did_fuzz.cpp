// The connect call's text arguments: a device ID (normalised, checked, split
// with its key) and the connect parameter text. Byte 0 is the connect mode;
// the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "p2p/connect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  char normal[65];
  RVP_DidNormalize(normal, text.c_str());
  if (std::strlen(normal) > 64) __builtin_trap();
  RVP_DidParts parts;
  if (RVP_DidSplit(text.c_str(), &parts) == 0) {
    if (RVP_DidCheck(normal) != 0 || parts.prefix[0] < 'A' || parts.prefix[0] > 'Z') __builtin_trap();
  }
  RVP_ConnectParam param;
  RVP_ConnectParamRead(text.c_str(), data[0], &param);
  if (param.timed_sec < p2p::kTimedModeMinSec || param.timed_sec > p2p::kTimedModeMaxSec) __builtin_trap();
  return 0;
}
