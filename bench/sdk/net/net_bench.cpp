// HTTP client against the curl command on one nginx in the same run (a 100 MB
// body, 1000 small keep-alive requests), and WebSocket receive speed from a
// node sender. Prints the ratios at the end (target: ours within 1.5x of curl).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "sdk/net/http_client.h"
#include "sdk/net/ws_client.h"
#include "tests/sdk/net/net_test_util.h"

extern char** environ;

using namespace nettest;

namespace {

constexpr long kBigBody = 100L * 1024 * 1024;
constexpr int kSmallRequests = 1000;
constexpr long kWsTotal = 200L * 1024 * 1024;

struct Env {
  nettest::TempDir dir;
  Nginx nginx;
  NodePeer ws;
  std::string base;
  bool ok = false;

  Env() {
    std::string www = dir / "www";
    mkdir(www.c_str(), 0755);
    {
      std::string block(1 << 20, 'b');
      FILE* f = std::fopen((www + "/big.bin").c_str(), "wb");
      for (long i = 0; i < kBigBody / (1 << 20); ++i) std::fwrite(block.data(), 1, block.size(), f);
      std::fclose(f);
    }
    WriteFile(www + "/small.txt", std::string(200, 's'));
    ok = nginx.Start(dir.path(),
                     "  sendfile on;\n  tcp_nopush on;\n  server {\n    listen 127.0.0.1:%PORT%;\n"
                     "    root %DIR%/www;\n  }\n") &&
         ws.Start("ws_peer.js");
    base = "http://127.0.0.1:" + std::to_string(nginx.port());
    if (!ok) std::fprintf(stderr, "cannot start the peers:\n%s\n", nginx.ErrorLog().c_str());
  }
};

Env* g_env = nullptr;

int RunCurl(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int CountBody(int event, const char*, int64_t value, void* user) {
  if (event == kHttpEvBody) *static_cast<int64_t*>(user) += value;
  return 0;
}

// One GET through our client, the body counted and dropped.
int64_t OurGet(TcpConn* conn, const std::string& url) {
  int64_t got = 0;
  if (HttpWriteRequest(conn, kHttpGet, url.c_str(), nullptr, nullptr, 0, 30000) < 0) return -1;
  HttpResponse resp;
  if (HttpReadResponse(conn, &resp, CountBody, &got, 30000) != 0 || resp.status != 200) got = -1;
  HttpRespFree(&resp);
  return got;
}

void BM_Body100MB_Ours(benchmark::State& state) {
  for (auto _ : state) {
    TcpConn conn;
    TcpConnInit(&conn);
    int64_t got = OurGet(&conn, g_env->base + "/big.bin");
    TcpConnReset(&conn);
    if (got != kBigBody) state.SkipWithError("short body");
  }
  state.SetBytesProcessed(state.iterations() * kBigBody);
}

void BM_Body100MB_Curl(benchmark::State& state) {
  for (auto _ : state)
    if (RunCurl({"curl", "-s", "-o", "/dev/null", g_env->base + "/big.bin"}) != 0) state.SkipWithError("curl failed");
  state.SetBytesProcessed(state.iterations() * kBigBody);
}

void BM_Small1000_Ours(benchmark::State& state) {
  for (auto _ : state) {
    TcpConn conn;
    TcpConnInit(&conn);
    for (int i = 0; i < kSmallRequests; ++i)
      if (OurGet(&conn, g_env->base + "/small.txt") != 200) {
        state.SkipWithError("request failed");
        break;
      }
    TcpConnReset(&conn);
  }
}

void BM_Small1000_Curl(benchmark::State& state) {
  // One curl process, one connection reused for every URL of the glob.
  const std::string url = g_env->base + "/small.txt?[1-" + std::to_string(kSmallRequests) + "]";
  for (auto _ : state)
    if (RunCurl({"curl", "-s", "-o", "/dev/null", url}) != 0) state.SkipWithError("curl failed");
}

void BM_WsReceive(benchmark::State& state) {
  const long chunk = state.range(0);
  const std::string url = "ws://127.0.0.1:" + std::to_string(g_env->ws.port()) +
                          "/stream?total=" + std::to_string(kWsTotal) + "&chunk=" + std::to_string(chunk);
  for (auto _ : state) {
    WsConn* ws = nullptr;
    if (WsCltCreateEx(url.c_str(), nullptr, &ws, 5000, 0) != 0) {
      state.SkipWithError("connect failed");
      break;
    }
    long got = 0;
    WsFrame f;
    while (WsConnRecv(ws, 5000, &f) == 1 && f.opcode != kWsClose) got += f.length;
    WsConnFree(ws);
    if (got != kWsTotal) state.SkipWithError("short stream");
  }
  state.SetBytesProcessed(state.iterations() * kWsTotal);
}

BENCHMARK(BM_Body100MB_Ours)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_Body100MB_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_Small1000_Ours)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_Small1000_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_WsReceive)->Arg(16 * 1024)->Arg(1024 * 1024)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Console output plus the real time of every run, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio(const char* what, const std::string& ours, const std::string& curl) {
    auto a = times_.find(ours), b = times_.find(curl);
    if (a == times_.end() || b == times_.end() || b->second <= 0) return;
    double ratio = a->second / b->second;
    std::printf("%-24s ours/curl = %.2f  (%s)\n", what, ratio, ratio <= 1.5 ? "within 1.5x" : "ABOVE 1.5x");
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Env env;
  if (!env.ok) return 1;
  g_env = &env;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("100 MB body", "BM_Body100MB_Ours/iterations:5/real_time",
                      "BM_Body100MB_Curl/iterations:5/real_time");
  reporter.PrintRatio("1000 keep-alive requests", "BM_Small1000_Ours/iterations:5/real_time",
                      "BM_Small1000_Curl/iterations:5/real_time");
  benchmark::Shutdown();
  return 0;
}
