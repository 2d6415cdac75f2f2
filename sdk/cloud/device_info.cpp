#include "sdk/cloud/device_info.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <cstring>

#include "util/json_holder.h"

namespace {

// The service's numeric id as "%u" text; numbers up to 2^32 - 1 keep every digit.
std::string IdText(const JsonHolder& v) {
  uint32_t id;
  const cJSON* item = v.Item();
  if (cJSON_IsNumber(item) && std::isfinite(item->valuedouble) && item->valuedouble >= 0 &&
      item->valuedouble <= 4294967295.0) {
    id = static_cast<uint32_t>(item->valuedouble);
  } else {
    id = static_cast<uint32_t>(v.AsInt());
  }
  return std::to_string(id);
}

void SplitStateServers(const char* text, DeviceInfo* info) {
  int n = 0;
  const char* p = text;
  while (n < kStateServerCount) {
    const char* comma = std::strchr(p, ',');
    std::string item = comma ? std::string(p, comma - p) : std::string(p);
    size_t scheme = item.find("//");
    if (scheme != std::string::npos) item.erase(0, scheme + 2);
    info->state_servers[n++] = item;
    if (!comma) break;
    p = comma + 1;
  }
}

TurnServerEntry TurnFromJson(const JsonHolder& e) {
  TurnServerEntry t;
  t.is_turn = e.Get("is_turn").AsInt() != 0 ? 1 : 0;
  t.port = e.Get("port").AsInt();
  t.mode = e.Get("mode").AsInt();
  t.host = e.Get("ip").AsString();
  t.user = e.Get("user").AsString();
  t.password = e.Get("pass").AsString();
  return t;
}

void ReadTransports(const JsonHolder& e, DeviceInfo* info) {
  JsonHolder attrs_text = e.Get("attrs");
  if (!attrs_text.IsValid()) return;
  JsonHolder attrs(cJSON_Parse(attrs_text.AsString()), false);
  std::string protocol = attrs.Get("protocol").AsString();
  if (protocol.find("ovwebrtc2") != std::string::npos) {
    if (const char* id = e.Get("ovwebrtc2").AsStringOrNull()) {
      info->ovwebrtc2_id = id;
      if (*id) info->transport_flags |= kTransportWebrtc2;
    }
  }
  if (protocol.find("ovwebrtc") != std::string::npos) {
    info->relay_list.clear();
    JsonHolder list = e.Get("ov_webrtc");
    if (list.Type() == JsonHolder::kArray) {
      int n = list.Size();
      for (int i = 0; i < n; ++i) info->relay_list.push_back(TurnFromJson(list.At(i)));
      if (n > 0) info->transport_flags |= kTransportWebrtc;
    }
  }
}

}  // namespace

void DeviceInfoFromJson(const cJSON* element, const std::string* default_state_servers, DeviceInfo* info) {
  *info = DeviceInfo();
  JsonHolder e(const_cast<cJSON*>(element), true);
  if (e.Type() != JsonHolder::kObject) e = JsonHolder();
  info->id = IdText(e.Get("id"));
  info->name = e.Get("name").AsString();
  info->uuid = e.Get("uuid").AsString();
  info->p2p_id = e.Get("p2p_id").AsString();
  info->password = e.Get("password").AsString();
  info->image_path = e.Get("image_path").AsString();
  info->current_version = e.Get("current_version").AsString();
  if (info->current_version.size() < kVersionMinLength) info->current_version.resize(kVersionMinLength, '0');
  info->timezone = e.Get("timezone").AsString();
  info->des_key = e.Get("des_key").AsString();
  info->device_type = e.Get("device_type").AsString();
  const char* platform = e.Get("p2p_platform").AsString();
  if (std::strlen(platform) > 5) info->p2p_platform = platform + 5;

  JsonHolder servers = e.Get("p2p_state_server");
  if (servers.IsValid()) {
    SplitStateServers(servers.AsString(), info);
  } else if (default_state_servers) {
    for (int i = 0; i < kStateServerCount; ++i) info->state_servers[i] = default_state_servers[i];
  }

  info->is_online = e.Get("is_online").AsInt();
  info->bind_type = e.Get("bind_type").AsInt();
  info->update_status = e.Get("update_status").AsInt();
  info->is_upgrade = e.Get("is_upgrade").AsInt() != 0 ? 1 : 0;
  info->connect_way = e.Get("connect_way").AsString();

  info->transport_flags = 0;
  ReadTransports(e, info);
  if (!info->p2p_platform.empty()) info->transport_flags |= kTransportP2p;
  info->webrtc_failed = 0;
}
