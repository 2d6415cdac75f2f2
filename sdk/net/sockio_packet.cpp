// Engine.IO 3 / socket.io packet classification and the open packet.
#include "sdk/net/sockio_packet.h"

#include <cjson/cJSON.h>

int SockioParsePacket(const char* text, size_t length, SockioPacket* out) {
  out->type = kSioIgnored;
  out->data = text;
  out->length = length;
  if (length == 0) return out->type;
  switch (text[0]) {
    case '0':
      out->type = kSioOpen;
      out->data = text + 1;
      out->length = length - 1;
      break;
    case '1':
      out->type = kSioClose;
      break;
    case '3':
      out->type = kSioPong;
      break;
    case '4':
      if (length >= 2 && (text[1] == '2' || text[1] == '5')) {
        out->type = kSioEvent;
        out->data = text + 2;
        out->length = length - 2;
      }
      break;
    default:
      break;
  }
  return out->type;
}

int SockioApplyOpen(const char* json, size_t length, int* interval_s, int* timeout_s, std::string* sid) {
  cJSON* root = cJSON_ParseWithLength(json, length);
  if (!root || !cJSON_IsObject(root)) {
    cJSON_Delete(root);
    return -1;
  }
  int interval = *interval_s;
  int timeout = *timeout_s;
  const cJSON* pi = cJSON_GetObjectItemCaseSensitive(root, "pingInterval");
  const cJSON* pt = cJSON_GetObjectItemCaseSensitive(root, "pingTimeout");
  // Values are clamped so a hostile open packet cannot make the client spin.
  auto seconds = [](const cJSON* v, int current) {
    if (!cJSON_IsNumber(v)) return current;
    double ms = v->valuedouble;
    if (!(ms >= 1000)) return 1;
    if (ms > 3600.0 * 1000) return 3600;
    return static_cast<int>(ms / 1000);
  };
  interval = seconds(pi, interval);
  timeout = seconds(pt, timeout);
  if (timeout < interval / 2) {
    timeout = interval / 2;
    if (interval <= 25) interval -= 2;
  }
  if (interval < 1) interval = 1;
  if (timeout < 1) timeout = 1;
  *interval_s = interval;
  *timeout_s = timeout;
  const cJSON* s = cJSON_GetObjectItemCaseSensitive(root, "sid");
  // The id goes into the next URL: only URL-safe characters are taken.
  if (sid && cJSON_IsString(s) && s->valuestring) {
    std::string v = s->valuestring;
    bool safe = !v.empty() && v.size() <= 128;
    for (char c : v)
      if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_' ||
            c == '.' || c == '~'))
        safe = false;
    if (safe) *sid = v;
  }
  cJSON_Delete(root);
  return 0;
}
