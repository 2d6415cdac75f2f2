#include "tests/sdk/cloud/cloudsim_harness.h"

#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr int kStartTimeoutMs = 20000;

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

bool Run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
    std::string key = dir_ / "key.pem";
    ca_file_ = dir_ / "cert.pem";
    if (!Run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", ca_file_,
              "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"})) {
      std::fprintf(stderr, "openssl could not make a certificate\n");
      return false;
    }
    args.insert(args.end(), {"--cert", ca_file_, "--key", key});
  }
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  int rc = posix_spawnp(&pid_, "node", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  stdin_fd_ = in[1];
  if (rc != 0) {
    pid_ = -1;
    close(out[0]);
    std::fprintf(stderr, "cannot start node: %s\n", std::strerror(rc));
    return false;
  }

  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  bool ready = false;
  while (!ready && std::chrono::steady_clock::now() < deadline) {
    pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[512];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, n);
    ready = text.find("READY\n") != std::string::npos;
  }
  close(out[0]);
  if (!ready) {
    std::fprintf(stderr, "cloudsim did not start: %s\n", text.c_str());
    Stop();
    return false;
  }
  std::sscanf(text.c_str() + text.find("HTTP "), "HTTP %d", &http_port_);
  if (text.find("HTTPS ") != std::string::npos)
    std::sscanf(text.c_str() + text.find("HTTPS "), "HTTPS %d", &https_port_);
  std::sscanf(text.c_str() + text.find("CONTROL "), "CONTROL %d", &control_port_);
  return http_port_ > 0 && control_port_ > 0;
}

void CloudSim::Stop() {
  if (stdin_fd_ >= 0) {
    close(stdin_fd_);
    stdin_fd_ = -1;
  }
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
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
  d.tls_verify = 1;
  d.ca_file = ca_file_;
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
