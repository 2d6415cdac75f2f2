// Dispatch of the push channel's socket.io events.
#include <cjson/cJSON.h>

#include <cstring>
#include <string>

#include "sdk/cloud/log_redact.h"
#include "sdk/cloud/orvel_server.h"
#include "util/log.h"

namespace {

constexpr char kUserPrefix[] = "ov/user/";

// The event name of a message for this user: "ov/user/<user id or app-<user id>-<uniq id>>/<name>" gives
// <name>; other names stay as they are. False for a message meant for someone else.
bool EventForUser(const std::string& full, const std::string& user_id, const std::string& uniq_id,
                  std::string* name) {
  const size_t prefix = sizeof kUserPrefix - 1;
  if (full.compare(0, prefix, kUserPrefix) != 0) {
    *name = full;
    return true;
  }
  size_t slash = full.find('/', prefix);
  std::string target = full.substr(prefix, slash == std::string::npos ? std::string::npos : slash - prefix);
  if (user_id.empty() || (target != user_id && target != "app-" + user_id + "-" + uniq_id)) return false;
  *name = slash == std::string::npos ? "" : full.substr(slash + 1);
  return true;
}

}  // namespace

int sockio_cb(SockioClient* client, int event, char* text, int value, void* user) {
  static const char kTag[] = "sockio_cb";
  if (event != kSockioMessage || !text || value <= 0 || !user) return 0;
  auto* server = static_cast<COrvelServer*>(user);
  JsonHolder root(cJSON_ParseWithLength(text, static_cast<size_t>(value)), false);
  JsonHolder first = root.At(0);
  if (root.Type() != JsonHolder::kArray || root.Size() < 2 || first.Type() != JsonHolder::kString) {
    LogPrintf(kLogError, nullptr, kTag, "unexpected data: %s\n", RedactedText(text, value).c_str());
    return 0;
  }
  std::string message = RedactedJson(root.Item());
  LogWrite(kLogInfo, nullptr, kTag, message.data(), message.size());

  JsonHolder payload = root.At(1);
  JsonHolder parsed;
  if (payload.Type() == JsonHolder::kString) {
    parsed.Attach(cJSON_Parse(payload.AsString()), false);
    payload = JsonHolder(parsed.Item(), true);
  }

  std::string user_id, uniq_id, name;
  {
    std::lock_guard<std::mutex> lock(server->mu_);
    user_id = server->user_id_;
    uniq_id = server->uniq_id_;
  }
  if (!EventForUser(first.AsString(), user_id, uniq_id, &name)) return 0;

  CloudSdkHooks hooks = CloudGetHooks();
  if (name.compare(0, 8, "p2presp/") == 0) {
    size_t end = name.find('/', 8);
    std::string id = name.substr(8, end == std::string::npos ? std::string::npos : end - 8);
    LogPrintf(kLogInfo, nullptr, kTag, "Response from: %s, message id: %s, base64 enoced data: %s\n",
              payload.Get("fr").AsString(), id.c_str(), payload.Get("dt").AsString());
  } else if (name == "device_status") {
    if (std::strcmp(payload.Get("status").AsString(), "online") == 0 && hooks.device_online)
      hooks.device_online(payload.Get("uuid").AsString());
  } else if (name == "webrtc") {
    if (std::strcmp(payload.Get("type").AsString(), "webrtc") == 0 && hooks.webrtc_signaling)
      hooks.webrtc_signaling(payload.Item());
  }
  // "bind" and any other event: nothing to do.
  return 0;
}
