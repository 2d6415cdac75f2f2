#include "tests/sdk/cloud/cloudsim_harness.h"

#include <cjson/cJSON.h>
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kStartTimeoutMs = 20000;

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// The number after "<name> " in the simulator's start-up lines, or 0.
int PortOf(const std::string& text, const std::string& name) {
  size_t at = text.find(name + " ");
  return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + name.size() + 1);
}

}  // namespace

std::string CloudFixture(const std::string& name) { return std::string(CLOUD_TEST_DATA) + "/" + name; }

bool CloudSim::Start(const std::string& fixture, Options options) {
  // Loopback requests never go through a proxy of the environment.
  for (const char* v : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
    unsetenv(v);
  std::vector<std::string> args = {"node", std::string(CLOUDSIM_DIR) + "/cloudsim.js", "--fixture", fixture,
                                   "--watch-stdin"};
  if (options.https) {
    if (!ca_.Make(dir_.path())) {
      std::fprintf(stderr, "openssl could not make the test certificates\n");
      return false;
    }
    args.insert(args.end(), {"--cert", ca_.server_cert, "--key", ca_.server_key});
  }
  for (const std::string& s : options.storage) args.insert(args.end(), {"--storage", s});
  if (!process_.Start(args)) return false;
  if (process_.WaitForLine("READY", kStartTimeoutMs).empty()) {
    std::fprintf(stderr, "cloudsim did not start: %s\n", process_.Output().c_str());
    Stop();
    return false;
  }
  std::string text = process_.Output();
  http_port_ = PortOf(text, "HTTP");
  https_port_ = PortOf(text, "HTTPS");
  control_port_ = PortOf(text, "CONTROL");
  return http_port_ > 0 && control_port_ > 0;
}

CloudDeployment CloudSim::Deployment() const {
  CloudDeployment d;
  d.entry_points[kEnvProduction] = https_port_ ? HttpsBase() : HttpBase();
  d.entry_points[kEnvTest] = HttpBase();
  d.entry_points[kEnvPreRelease] = HttpBase();
  d.uuid_service[0] = HttpBase();
  d.uuid_service[1] = "127.0.0.1:" + std::to_string(http_port_);
  d.state_servers[0] = "127.0.0.1:18081";
  d.state_servers[1] = "127.0.0.2";
  d.state_servers[2] = "";
  d.connect_timeout_ms = 3000;
  d.request_timeout_ms = 10000;
  return d;
}

JsonHolder CloudSim::Control(const std::string& path, const std::string& body) const {
  CURL* h = curl_easy_init();
  std::string url = "http://127.0.0.1:" + std::to_string(control_port_) + path;
  std::string reply;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 5000L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  CURLcode rc = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(h);
  if (rc != CURLE_OK || status != 200) {
    std::fprintf(stderr, "cloudsim control %s failed: %d %ld %s\n", path.c_str(), rc, status, reply.c_str());
    return JsonHolder();
  }
  return JsonHolder(cJSON_Parse(reply.c_str()), false);
}

JsonHolder CloudSim::Requests() const {
  JsonHolder all = Control("/requests");
  JsonHolder out(cJSON_DetachItemFromObject(all.Item(), "requests"), false);
  return out;
}

void CloudSim::Fail(const std::string& path, const std::string& failure_json) const {
  JsonHolder f(cJSON_Parse(failure_json.c_str()), false);
  cJSON_AddStringToObject(f.Item(), "path", path.c_str());
  char* text = cJSON_PrintUnformatted(f.Item());
  Control("/fail", text);
  cJSON_free(text);
}
