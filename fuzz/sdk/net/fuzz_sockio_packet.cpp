// Engine.IO / socket.io packets and the open packet's JSON.
#include <cstdint>
#include <string>

#include "sdk/net/sockio_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  SockioPacket p;
  int type = SockioParsePacket(text, size, &p);
  if (p.data < text || p.data + p.length > text + size) __builtin_trap();
  if (type == kSioOpen) {
    int interval = 25, timeout = 5;
    std::string sid;
    SockioApplyOpen(p.data, p.length, &interval, &timeout, &sid);
    if (interval < 1 || timeout < 1) __builtin_trap();
  }
  return 0;
}
