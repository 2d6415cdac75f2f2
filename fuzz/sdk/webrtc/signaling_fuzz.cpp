// WebRTC signalling texts of any shape: LAN frames, incoming events, "ovwebrtc" addresses.
#include <cjson/cJSON.h>

#include <cstdint>
#include <string>
#include <vector>

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
  return 0;
}
