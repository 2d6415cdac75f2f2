// Device records from hostile device-list elements, and the log's masking of them.
#include <cjson/cJSON.h>

#include <cstdint>
#include <string>

#include "sdk/cloud/device_info.h"
#include "sdk/cloud/log_redact.h"
#include "util/json_holder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string kDefaults[kStateServerCount] = {"127.0.0.1", "127.0.0.2:1", ""};
  const char* text = reinterpret_cast<const char*>(data);
  JsonHolder root(cJSON_ParseWithLength(text, size), false);
  JsonHolder list = root.Get("list");
  if (list.Type() != JsonHolder::kArray) list = JsonHolder(root.Item(), true);
  int n = list.Type() == JsonHolder::kArray ? list.Size() : 1;
  for (int i = 0; i < n && i < 256; ++i) {
    JsonHolder e = list.Type() == JsonHolder::kArray ? list.At(i) : JsonHolder(root.Item(), true);
    DeviceInfo info;
    DeviceInfoFromJson(e.Item(), kDefaults, &info);
    if (info.current_version.size() < kVersionMinLength) __builtin_trap();
    if ((info.transport_flags & kTransportWebrtc) && info.relay_list.empty()) __builtin_trap();
    if ((info.transport_flags & kTransportP2p) && info.p2p_platform.empty()) __builtin_trap();
    DeviceInfo copy = info;
    (void)copy;
  }
  (void)RedactedText(text, size);
  return 0;
}
