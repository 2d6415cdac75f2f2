// WebRTC signalling texts of any shape: LAN frames, incoming events, "ovwebrtc" addresses, "ovwebrtc2"
// messages and tokens.
#include <cjson/cJSON.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sdk/webrtc/ov_signal2.h"
#include "sdk/webrtc/ov_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  cJSON* ev = nullptr;
  if (ParseLanFrame(text.data(), text.size(), &ev) == 1) {
    SignalingMessage m;
    ParseSignalingEvent(ev, &m);
    cJSON_Delete(ev);
  }
  if (cJSON* obj = cJSON_ParseWithLength(text.data(), text.size())) {
    SignalingMessage m;
    ParseSignalingEvent(obj, &m);
    cJSON_Delete(obj);
  }
  std::vector<IceEntry> ice;
  std::string ip;
  ParseOvwebrtcAddress(text.c_str(), &ice, &ip);
  Signal2Message m2;
  if (ParseSignal2(text.data(), text.size(), &m2) == 0) {
    const std::string again = BuildSignal2(m2);
    Signal2Message back;
    if (ParseSignal2(again.data(), again.size(), &back) != 0) __builtin_trap();
    ParseOvwebrtcAddress(m2.ice.c_str(), &ice, &ip);
  }
  std::string url;
  Signal2RoomUrl(text.c_str(), &url);
  return 0;
}
