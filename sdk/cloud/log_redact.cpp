#include "sdk/cloud/log_redact.h"

#include <cjson/cJSON.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "util/json_holder.h"

namespace {

constexpr size_t kMaxPlainText = 200;
constexpr int kMaxDepth = 64;

bool ContainsNoCase(const char* text, const char* word) {
  size_t n = std::strlen(word);
  for (const char* p = text; *p; ++p) {
    if (strncasecmp(p, word, n) == 0) return true;
  }
  return false;
}

void Mask(cJSON* item, int depth) {
  if (depth > kMaxDepth) return;
  for (cJSON* c = item ? item->child : nullptr; c; c = c->next) {
    if (c->string && IsSecretName(c->string) && !cJSON_IsNull(c)) {
      cJSON* mask = cJSON_CreateString(kRedacted);
      if (mask) cJSON_ReplaceItemViaPointer(item, c, mask), c = mask;
      continue;
    }
    if (cJSON_IsArray(c) || cJSON_IsObject(c)) {
      Mask(c, depth + 1);
    } else if (cJSON_IsString(c) && c->valuestring &&
               (c->valuestring[0] == '{' || c->valuestring[0] == '[')) {
      // JSON carried inside a text member (for example a device's "attrs").
      JsonHolder inner(cJSON_Parse(c->valuestring), false);
      if (inner.IsValid()) {
        Mask(inner.Item(), depth + 1);
        char* printed = cJSON_PrintUnformatted(inner.Item());
        if (printed) {
          cJSON_SetValuestring(c, printed);
          cJSON_free(printed);
        }
      }
    }
  }
}

}  // namespace

bool IsSecretName(const char* name) {
  static const char* const kWords[] = {"token", "secret", "pass", "key", "sdp", "cookie"};
  static const char* const kNames[] = {"sid", "initstr", "p2p_platform", "ovwebrtc2", "signature"};
  if (!name) return false;
  for (const char* w : kWords) {
    if (ContainsNoCase(name, w)) return true;
  }
  for (const char* n : kNames) {
    if (strcasecmp(name, n) == 0) return true;
  }
  return false;
}

std::string RedactedJson(const cJSON* item) {
  if (!item) return "";
  JsonHolder copy(cJSON_Duplicate(item, 1), false);
  if (!copy.IsValid()) return "";
  Mask(copy.Item(), 0);
  char* printed = cJSON_PrintUnformatted(copy.Item());
  if (!printed) return "";
  std::string out = printed;
  cJSON_free(printed);
  return out;
}

std::string RedactedText(const char* text, size_t length) {
  if (!text) return "";
  JsonHolder parsed(cJSON_ParseWithLength(text, length), false);
  if (parsed.Type() == JsonHolder::kObject || parsed.Type() == JsonHolder::kArray)
    return RedactedJson(parsed.Item());
  std::string out = "(";  // appended, not "(" + text: GCC 12 warns (-Wrestrict) on that insert
  out += std::to_string(length);
  out += " bytes) ";
  size_t n = length < kMaxPlainText ? length : kMaxPlainText;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    out += (c < 0x20 || c == 0x7F) ? '.' : static_cast<char>(c);
  }
  return out;
}
