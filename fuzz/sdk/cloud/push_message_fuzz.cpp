// Push-channel messages of any shape through the dispatch.
#include <cstdint>
#include <string>

#include "sdk/cloud/orvel_server.h"
#include "util/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static COrvelServer* server = [] {
    LogSetLevel(0);  // the dispatch logs every message
    return new COrvelServer();
  }();
  std::string text(reinterpret_cast<const char*>(data), size);
  sockio_cb(nullptr, kSockioMessage, text.data(), static_cast<int>(text.size()), server);
  return 0;
}
