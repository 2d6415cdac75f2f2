// What camsim's WebRTC side takes from the network and its command line: signalling events (object or
// text message, Base64 offer) and the --webrtc-* options.
#include <cjson/cJSON.h>

#include <cstdint>
#include <string>

#include "tools/camsim/webrtc_side.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (cJSON* ev = cJSON_ParseWithLength(text.data(), text.size())) {
    camsim::DeviceEvent e;
    camsim::ParseDeviceEvent(ev, &e);
    cJSON_Delete(ev);
  }
  // "NAME VALUE": one option.
  const size_t sp = text.find(' ');
  const std::string name = text.substr(0, sp);
  const std::string value = sp == std::string::npos ? "" : text.substr(sp + 1);
  camsim::WebrtcConfig cfg;
  bool used = false;
  std::string why;
  camsim::ParseWebrtcOption(name, sp == std::string::npos ? nullptr : value.c_str(), &cfg, &used, &why);
  return 0;
}
