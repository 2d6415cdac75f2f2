// The device link over the "ovwebrtc" transport (signalled on the LAN WebSocket, host candidates on
// loopback) and the "ovwebrtc2" transport (signalled through a room of sigsim) beside the P2P transport, in
// one run against one camsim process that serves all three: the connect time (connect and password check,
// median and slowest of 10), and the receive rate of one live stream sent faster than real time
// (a 720p stream at a high bit rate played at 120 frames a second) with the CPU time per MB on both sides.
// The test stream is made with ffmpeg (libx264) first. Everything stays on loopback.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/cpu_time.h"
#include "sdk/device/kivo_p2p.h"
#include "util/log.h"
#include "sdk/webrtc/ov_transport.h"
#include "tests/p2p/child_process.h"
#include "tools/rdvsim/rig.h"

namespace {

using bench::CpuMs;
using bench::ProcCpuMs;

constexpr char kKey[] = "bench-key";
constexpr char kPw[] = "bench-pw";
constexpr char kDid[] = "BEN-000001-CAM";
constexpr int kConnects = 10;
constexpr double kSeconds = 5;

using Clock = std::chrono::steady_clock;

int FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t l = sizeof(a);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
  close(fd);
  return ntohs(a.sin_port);
}

struct Setup {
  std::string error;
  std::string dir, video;
  rdvsim::Rig rig;
  p2ptest::ChildProcess camsim, sigsim;
  pid_t camsim_pid = 0;
  std::string token;  // camsim's "ovwebrtc2" room

  Setup() {
    char tmpl[] = "/tmp/webrtc_bench.XXXXXX";
    dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    video = dir + "/v720.h264";
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -t 4 "
                            "-c:v libx264 -preset ultrafast -b:v 40M -minrate 40M -maxrate 40M -bufsize 10M -x264-params nal-hrd=cbr -g 25 -f h264 " + video + " </dev/null";
    if (std::system(cmd.c_str()) != 0) {
      error = "ffmpeg could not make the stream";
      return;
    }
    if (!rig.Start(kKey, 8, &error)) return;
    const int lan = FreeTcpPort(), sig = FreeTcpPort();
    std::string line;
    if (!sigsim.Start(SIGSIM_PATH, {"--port", std::to_string(sig), "--room", "/bench"}, "sigsim ready", &error,
                      &line, 10000))
      return;
    token = "ws://127.0.0.1:" + std::to_string(sig) + "/bench";
    std::vector<std::string> args = {"--init", rig.sim->InitString(), "--password", kPw, "--video", video,
                                     "--did", kDid, "--fps", "120", "--webrtc-lan", std::to_string(lan),
                                     "--webrtc2", token, "--server-ports",
                                     std::to_string(rig.sim->udp_port()) + "," + std::to_string(rig.sim->tcp_port())};
    if (!camsim.Start(CAMSIM_PATH, args, "camsim ready", &error, &line, 30000)) return;
    camsim_pid = camsim.Pid();
    setenv("VELMORA_WEBRTC_LOCAL_IP", "127.0.0.1", 1);
    LogSetLevel(0);
    KivoP2pInit();
    ovwebrtcSetLanPort(lan);
  }
  ~Setup() {
    KivoP2pDeinit();
    camsim.Stop();
    sigsim.Stop();
    std::system(("rm -rf " + dir).c_str());
  }
};

Setup& TheSetup() {
  static Setup s;
  return s;
}

// 0 P2P, 1 "ovwebrtc", 2 "ovwebrtc2".
std::string Address(int transport) {
  return transport == 0 ? "rvs:" : transport == 1 ? R"(ovwebrtc:{"ip":"127.0.0.1"})" : "ovwebrtc2:" + TheSetup().token;
}
const char* Name(int transport) { return transport == 0 ? "p2p" : transport == 1 ? "ovwebrtc" : "ovwebrtc2"; }

KivoSession* Open(int transport, std::string* why) {
  KivoSession* s = nullptr;
  int r = KivoP2pConnect2(Address(transport).c_str(), kDid, 0, &s);
  if (r == 0) r = KivoP2pVerifyPassword(s, kPw);
  if (r != 0) {
    *why = std::string(Name(transport)) + ": " + KivoP2pErrorName(r);
    KivoP2pClose(s);
    return nullptr;
  }
  return s;
}

double Pct(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// Connect and password check, kConnects times; arg: the transport.
void BM_Connect(benchmark::State& st) {
  Setup& su = TheSetup();
  if (!su.error.empty()) {
    st.SkipWithError(su.error.c_str());
    return;
  }
  const int transport = static_cast<int>(st.range(0));
  st.SetLabel(Name(transport));
  for (auto _ : st) {
    std::vector<double> ms;
    const auto start = Clock::now();
    for (int i = 0; i < kConnects; ++i) {
      std::string why;
      const auto t0 = Clock::now();
      KivoSession* s = Open(transport, &why);
      if (!s) {
        st.SkipWithError(why.c_str());
        return;
      }
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      KivoP2pClose(s);
    }
    st.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    st.counters["connect_ms_p50"] = Pct(ms, 0.5);
    st.counters["connect_ms_max"] = Pct(ms, 1.0);
  }
}

struct Count {
  std::atomic<long long> bytes{0};
  static void Cb(const MediaFrameHeader* h, const uint8_t*, int n, void* u) {
    if (h && n > 0) static_cast<Count*>(u)->bytes += n;
  }
};

// One live stream at 120 frames a second; arg: the transport.
void BM_Receive(benchmark::State& st) {
  Setup& su = TheSetup();
  if (!su.error.empty()) {
    st.SkipWithError(su.error.c_str());
    return;
  }
  const int transport = static_cast<int>(st.range(0));
  st.SetLabel(Name(transport));
  for (auto _ : st) {
    std::string why;
    KivoSession* s = Open(transport, &why);
    if (!s) {
      st.SkipWithError(why.c_str());
      return;
    }
    Count count;
    KivoP2pStartVideo(s, 0, Count::Cb, &count);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long long b0 = count.bytes.load();
    const double cpu0 = CpuMs(), dev0 = ProcCpuMs(su.camsim_pid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(kSeconds * 1000)));
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    const double mb = static_cast<double>(count.bytes.load() - b0) / 1e6;
    const double cpu = CpuMs() - cpu0, dev = ProcCpuMs(su.camsim_pid) - dev0;
    KivoP2pStopVideo(s, 0);
    KivoP2pClose(s);
    st.SetIterationTime(secs);
    st.counters["MB_per_s"] = mb / secs;
    st.counters["client_cpu_ms_per_MB"] = mb > 0 ? cpu / mb : 0;
    st.counters["camsim_cpu_ms_per_MB"] = mb > 0 ? dev / mb : 0;
  }
}

BENCHMARK(BM_Connect)->Arg(0)->Arg(1)->Arg(2)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Receive)->Arg(0)->Arg(1)->Arg(2)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
