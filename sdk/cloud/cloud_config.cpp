#include "sdk/cloud/cloud_config.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/ini.h"

namespace {

std::mutex g_mutex;
CloudDeployment g_deployment;

constexpr char kSection[] = "servers";

std::string StripSlash(std::string s) {
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

// Copies the key's value into *value; false (value unchanged) when the key is missing.
bool ReadText(const char* path, const char* key, std::string* value) {
  static const char kAbsent[] =
      "\x01"
      "absent";
  std::vector<char> buf(4096);
  platform::IniGetString(kSection, key, kAbsent, buf.data(), static_cast<uint32_t>(buf.size()), path);
  if (std::strcmp(buf.data(), kAbsent) == 0) return false;
  *value = buf.data();
  return true;
}

void ReadInt(const char* path, const char* key, int* value) {
  *value = platform::IniGetInt(kSection, key, *value, path);
}

}  // namespace

void CloudSetDeployment(const CloudDeployment& deployment) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_deployment = deployment;
  for (auto& e : g_deployment.entry_points) e = StripSlash(e);
  // Every request keeps a limit: nothing or a negative value means the default.
  const CloudDeployment defaults;
  if (g_deployment.connect_timeout_ms <= 0) g_deployment.connect_timeout_ms = defaults.connect_timeout_ms;
  if (g_deployment.request_timeout_ms <= 0) g_deployment.request_timeout_ms = defaults.request_timeout_ms;
}

CloudDeployment CloudGetDeployment() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_deployment;
}

bool CloudLoadDeployment(const char* ini_path, CloudDeployment* out) {
  char probe[8];
  if (platform::IniGetSection(kSection, probe, sizeof probe, ini_path) == 0) return false;
  ReadText(ini_path, "production", &out->entry_points[kEnvProduction]);
  ReadText(ini_path, "test", &out->entry_points[kEnvTest]);
  ReadText(ini_path, "pre_release", &out->entry_points[kEnvPreRelease]);
  ReadText(ini_path, "uuid_production", &out->uuid_service[0]);
  ReadText(ini_path, "uuid_test", &out->uuid_service[1]);
  std::string servers;
  if (ReadText(ini_path, "state_servers", &servers)) {
    for (auto& s : out->state_servers) s.clear();
    size_t pos = 0;
    for (int i = 0; i < kStateServerCount; ++i) {
      size_t comma = servers.find(',', pos);
      std::string item = servers.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
      while (!item.empty() && item.front() == ' ') item.erase(0, 1);
      while (!item.empty() && item.back() == ' ') item.pop_back();
      out->state_servers[i] = item;
      if (comma == std::string::npos) break;
      pos = comma + 1;
    }
  }
  ReadInt(ini_path, "connect_timeout_ms", &out->connect_timeout_ms);
  ReadInt(ini_path, "request_timeout_ms", &out->request_timeout_ms);
  for (auto& e : out->entry_points) e = StripSlash(e);
  return true;
}

std::string CloudEntryPoint(const CloudDeployment& deployment, int environment) {
  if (environment < 0 || environment >= kEnvCount) environment = kEnvProduction;
  return deployment.entry_points[environment];
}

std::string CloudUuidServiceUrl(const CloudDeployment& deployment, int test) {
  std::string base = StripSlash(deployment.uuid_service[test ? 1 : 0]);
  if (base.empty()) return "";
  size_t scheme = base.find("://");
  if (scheme == std::string::npos) {
    base = "http://" + base;
    scheme = 4;
  }
  size_t host = scheme + 3;
  size_t path = base.find('/', host);
  std::string authority = base.substr(host, path == std::string::npos ? std::string::npos : path - host);
  if (authority.find(':') == std::string::npos) {
    int port = test ? kUuidServicePortTest : kUuidServicePortProduction;
    std::string suffix = ":";  // appended, not ":" + text: GCC 12 warns (-Wrestrict) on that insert
    suffix += std::to_string(port);
    base.insert(path == std::string::npos ? base.size() : path, suffix);
  }
  return base + "/api/uuid/p2p/info";
}
