// The device's features: the query, the JSON reply and the zoom descriptor.
#include <cjson/cJSON.h>
#include <strings.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sdk/device/kivo_session.h"
#include "util/log.h"

namespace {

constexpr int kFeatureReplyCap = 2048;
constexpr int kMaxChannels = 32;  // bits per channel word

const struct {
  const char* name;
  uint32_t bit;
} kExtNames[] = {{"close-device", EXT_CLOSE_DEVICE}, {"pbrate", EXT_PBRATE},       {"alarm-bell", EXT_ALARM_BELL},
                 {"alarmtone", EXT_ALARMTONE},       {"status-led", EXT_STATUS_LED}, {"close-plan", EXT_CLOSE_PLAN},
                 {"ai-switch", EXT_AI_SWITCH},       {"ipconfig", EXT_IPCONFIG}};

std::vector<std::string> Split(const std::string& text, char sep, size_t max) {
  std::vector<std::string> out;
  size_t at = 0;
  while (out.size() + 1 < max) {
    size_t e = text.find(sep, at);
    if (e == std::string::npos) break;
    out.push_back(text.substr(at, e - at));
    at = e + 1;
  }
  out.push_back(text.substr(at));
  return out;
}

bool IsYes(const char* s) { return s && strcasecmp(s, "yes") == 0; }

// Bits of `per` width for channel i; channels past 32 bits are never shifted in.
void SetChannelBits(uint32_t* word, int channel, int per, uint32_t value) {
  const int shift = channel * per;
  if (channel < 0 || shift + per > 32) return;
  const uint32_t mask = ((1u << per) - 1u) << shift;
  *word = (*word & ~mask) | ((value << shift) & mask);
}

uint32_t DoubleLightValue(const char* s) {
  if (!s) return 0;
  uint32_t v = 0;
  if (std::strstr(s, "Yes")) v |= 1;
  if (std::strstr(s, "Dim")) v |= 2;
  if (std::strstr(s, "Timer")) v |= 4;
  if (v) v |= 1;
  return v;
}

uint32_t ExtBits(const char* s) {
  uint32_t v = 0;
  if (!s) return 0;
  for (const auto& e : kExtNames)
    if (std::strstr(s, e.name)) v |= e.bit;
  return v;
}

const char* Text(const cJSON* item) { return cJSON_IsString(item) ? item->valuestring : nullptr; }

// Per-channel yes/no bits from an array or one text for every channel.
void ChannelFlags(const cJSON* item, uint32_t channels, uint32_t* word) {
  if (cJSON_IsArray(item)) {
    int i = 0;
    for (const cJSON* e = item->child; e; e = e->next, ++i)
      if (IsYes(Text(e))) SetChannelBits(word, i, 1, 1);
  } else if (IsYes(Text(item))) {
    for (uint32_t i = 0; i < channels; ++i) SetChannelBits(word, static_cast<int>(i), 1, 1);
  }
}

void CopyType(DeviceFeatures* f, const char* text) {
  std::snprintf(f->device_type, sizeof(f->device_type), "%s", text);
}

void ParseFeatureObject(const cJSON* feat, DeviceFeatures* f) {
  for (const cJSON* it = feat ? feat->child : nullptr; it; it = it->next) {
    const char* key = it->string;
    if (!key) continue;
    const char* text = Text(it);
    if (!std::strcmp(key, "MultiChannels") && text) {
      long n = std::strtol(text, nullptr, 10);
      // A count past the width of the channel words is no channel count at all.
      if (n <= 0 || n > kMaxChannels) n = n <= 0 ? 1 : kMaxChannels;
      f->channel_count = static_cast<uint32_t>(n);
      if (std::strlen(text) > 2 && strcasecmp(text + 2, "independ") == 0) f->combined_streams = 0;
    } else if (!std::strcmp(key, "Cap-Zoom") && text && *text) {
      if (!ParseZoomDesc(text, &f->zoom, 0)) std::memset(&f->zoom, 0, sizeof(f->zoom));
    } else if (!std::strcmp(key, "SupportPTZ")) {
      if (cJSON_IsArray(it)) {
        int i = 0;
        for (const cJSON* e = it->child; e; e = e->next, ++i)
          SetChannelBits(&f->ptz, i, 2, static_cast<uint32_t>(PtzCapFromText(Text(e))));
      } else if (text) {
        const uint32_t v = static_cast<uint32_t>(PtzCapFromText(text));
        for (uint32_t i = 0; i < f->channel_count; ++i) SetChannelBits(&f->ptz, static_cast<int>(i), 2, v);
      }
    } else if (!std::strcmp(key, "AudioFmt") && text) {
      std::vector<std::string> p = Split(text, ':', 4);
      if (p[0] == "g711a") f->audio_codec = MEDIA_CODEC_G711A;
      if (p.size() > 1) f->audio_rate = static_cast<uint32_t>(std::strtoul(p[1].c_str(), nullptr, 10));
      if (p.size() > 2) f->audio_bits = static_cast<uint16_t>(std::strtoul(p[2].c_str(), nullptr, 10));
      if (p.size() > 3) f->audio_channels = static_cast<uint16_t>(std::strtoul(p[3].c_str(), nullptr, 10));
    } else if (!std::strcmp(key, "AutoTracking")) {
      ChannelFlags(it, f->channel_count, &f->auto_tracking);
    } else if (!std::strcmp(key, "Microphone")) {
      ChannelFlags(it, f->channel_count, &f->microphone);
    } else if (!std::strcmp(key, "DoubleLight")) {
      if (cJSON_IsArray(it)) {
        int i = 0;
        for (const cJSON* e = it->child; e; e = e->next, ++i)
          SetChannelBits(&f->double_light, i, 3, DoubleLightValue(Text(e)));
      } else if (text) {
        const uint32_t v = DoubleLightValue(text);
        for (uint32_t i = 0; i < f->channel_count; ++i) SetChannelBits(&f->double_light, static_cast<int>(i), 3, v);
      }
    } else if (!std::strcmp(key, "ExtInstructions")) {
      if (cJSON_IsArray(it)) {
        for (const cJSON* e = it->child; e; e = e->next) f->ext_instructions |= ExtBits(Text(e));
      } else {
        f->ext_instructions |= ExtBits(text);
      }
    } else if (!std::strcmp(key, "4G")) {
      if ((text && *text) || cJSON_IsObject(it)) f->cellular = 1;
    } else if (!std::strcmp(key, "DeviceType") && text) {
      if (!strcasecmp(text, "DriveRec")) f->device_kind = 1;
      else if (!strcasecmp(text, "DoorBell")) f->device_kind = 2;
    } else if (!std::strcmp(key, "BatteryCam") && text && *text) {
      if (!strcasecmp(text, "Dormant")) f->battery_kind = 1;
      else if (!strcasecmp(text, "Yes")) f->battery_kind = 2;
    } else if (!std::strcmp(key, "Screen") && text) {
      std::vector<std::string> p = Split(text, ':', 4);
      if (p[0] == "h264") f->screen_codec = MEDIA_CODEC_H264;
      else if (p[0] == "mjpg" || p[0] == "jpeg") f->screen_codec = MEDIA_CODEC_MJPEG;
      if (p.size() > 1) {
        f->screen_width = static_cast<uint32_t>(std::strtoul(p[1].c_str(), nullptr, 10));
        const size_t x = p[1].find('x');
        f->screen_height = x == std::string::npos ? 0 : static_cast<uint32_t>(std::strtoul(p[1].c_str() + x + 1, nullptr, 10));
      }
      if (p.size() > 3) {
        if (p[3] == "cw90") f->screen_rotation = 1;
        else if (p[3] == "cw180") f->screen_rotation = 2;
        else if (p[3] == "cw270") f->screen_rotation = 3;
      }
      if (!f->screen_width || !f->screen_height) f->screen_codec = 0;
    }
  }
  const char* type;
  if (f->cellular)
    type = f->device_kind == 1 ? "drsim" : f->battery_kind ? "lpsim" : "sim";
  else
    type = f->device_kind == 1 ? "drwifi" : f->battery_kind ? "lpwifi" : "wifi";
  CopyType(f, type);
  const char* d = feat ? Text(cJSON_GetObjectItemCaseSensitive(feat, "D")) : nullptr;
  if (d && *d) CopyType(f, d);
}

}  // namespace

void DeviceFeaturesDefaults(DeviceFeatures* f) {
  std::memset(f, 0, sizeof(*f));
  f->one = 1;
  f->channel_count = 1;
  f->combined_streams = 1;
  f->audio_rate = 8000;
  f->audio_bits = 16;
  f->audio_channels = 1;
  f->audio_codec = MEDIA_CODEC_G711A;
}

bool ParseDeviceFeatures(const char* text, int length, DeviceFeatures* f) {
  DeviceFeaturesDefaults(f);
  if (!text || length <= 0) return false;
  cJSON* root = cJSON_ParseWithLength(text, static_cast<size_t>(length));
  if (!root) return false;
  const cJSON* feat = cJSON_GetObjectItemCaseSensitive(root, "feature");
  if (cJSON_IsObject(feat)) ParseFeatureObject(feat, f);
  const cJSON* setting = cJSON_GetObjectItemCaseSensitive(root, "setting");
  if (cJSON_IsObject(setting)) {
    const cJSON* sd = cJSON_GetObjectItemCaseSensitive(setting, "SDTotal");
    double v = 0;
    if (cJSON_IsNumber(sd)) v = sd->valuedouble;
    else if (cJSON_IsString(sd)) v = std::strtod(sd->valuestring, nullptr);
    if (v > 0) f->sd_card = 1;
  }
  cJSON_Delete(root);
  return true;
}

int KivoP2pGetFeatures(KivoSession* s, DeviceFeatures* out) {
  if (!out) return KIVO_ERR_INVALID_PARAM;
  DeviceFeaturesDefaults(out);
  if (!s) return KIVO_ERR_NO_SESSION;
  // One byte more than the reply may fill, so the text is always terminated.
  std::vector<char> reply(kFeatureReplyCap + 1, 0);
  const int r = KivoP2pCommand(s, CMD_FEATURES, "{}", 2, reply.data(), kFeatureReplyCap, 8000);
  if (r < 0) return r;
  // A reply longer than the buffer is cut to it.
  const int len = r < kFeatureReplyCap ? r : kFeatureReplyCap;
  reply[static_cast<size_t>(len)] = 0;
  LogPrintf(kLogDetail, nullptr, "KivoP2pGetFeatures", "feature: %s\n", reply.data());
  ParseDeviceFeatures(reply.data(), len, out);
  return 0;
}

int PtzCapFromText(const char* text) {
  if (!text) return 0;
  if (!strcasecmp(text, "yes") || !strcasecmp(text, "relative")) return 1;
  if (!strcasecmp(text, "absolute")) return 2;
  if (!strcasecmp(text, "hybrid")) return 3;
  return 0;
}

int ParseZoomDesc(const char* text, ZoomDesc* z, int /*distribute*/) {
  std::memset(z, 0, sizeof(*z));
  z->lens_count = 1;
  if (!text) return 1;
  bool any_steps = false, all_steps = true;
  for (const std::string& item : Split(text, ';', 3)) {
    if (item.size() == 7 && item[0] >= '0' && item[0] <= '9' && item.compare(1, 6, "lenses") == 0) {
      if (z->step_total == 0) z->lens_count = z->step_total = static_cast<uint32_t>(item[0] - '0');
      continue;
    }
    if (item.compare(0, 6, "times:") != 0) continue;
    z->step_total = 0;
    std::string rest = item.substr(6);
    if (rest.compare(0, 7, "unknown") == 0) {
      z->lens_count = 1;
      continue;
    }
    std::vector<std::string> parts;
    for (std::string p : Split(rest, ',', 4)) {
      size_t b = p.find_first_not_of(" \t");
      parts.push_back(b == std::string::npos ? std::string() : p.substr(b));
    }
    if (parts.size() >= 3 && !parts.back().empty() && parts.back()[0] >= '0' && parts.back()[0] <= '9') {
      z->step_total = static_cast<uint32_t>(std::strtoul(parts.back().c_str(), nullptr, 10));
      parts.pop_back();
    }
    int n = 0;
    for (const std::string& p : parts) {
      if (p.empty() || z->lens_used >= 4) continue;
      ZoomLens& l = z->lens[z->lens_used];
      const char* c = p.c_str();
      if (*c == 'L') l.kind = 0;
      else if (*c == 'E') l.kind = 1;
      else if (*c == 'S') l.kind = 2;
      else l.kind = n == 1 ? 1 : 0;
      if (*c && !(*c >= '0' && *c <= '9')) ++c;
      char* end = nullptr;
      l.zoom = std::strtof(c, &end);
      c = end && end != c ? end : c;
      bool steps = false;
      while (*c) {
        if (*c == 'F') {
          l.focal = std::strtof(c + 1, &end);
          c = end != c + 1 ? end : c + 1;
        } else if (*c == '/') {
          const double v = std::strtod(c + 1, &end);
          if (end != c + 1) {
            l.steps = v > 0 && v < 1e9 ? static_cast<uint32_t>(v) : 0;
            steps = true;
          }
          c = end != c + 1 ? end : c + 1;
        } else if (*c == '@') {
          const char* close = std::strchr(c, ')');
          c = close ? close + 1 : c + std::strlen(c);
        } else {
          ++c;
        }
      }
      if (l.focal < 0.0001f) l.focal = l.zoom;
      any_steps |= steps;
      all_steps &= steps;
      ++z->lens_used;
      ++n;
    }
  }
  if (z->lens_used == 0) all_steps = false;
  if (z->lens_used > 1 && any_steps && !all_steps) {
    LogPrintf(kLogWarning, nullptr, "ParseZoomDesc", "Should set or not set nSteps for all ZOOMDESC\n");
    return 0;
  }
  float zp = 1.0f, fp = 1.0f;
  uint32_t steps = 0;
  for (uint32_t i = 0; i < z->lens_used; ++i) {
    zp *= z->lens[i].zoom;
    fp *= z->lens[i].focal;
    steps += z->lens[i].steps;
  }
  z->zoom_product = zp;
  z->focal_product = fp;
  if (any_steps) {
    z->step_total += steps - z->lens_used + 1;
    z->step_mode = 3;
  } else if (z->step_total == 0) {
    const double r = std::lround(static_cast<double>(zp));
    z->step_total = r > 0 && r < 1e9 ? static_cast<uint32_t>(r) : 0;
  }
  return 1;
}
