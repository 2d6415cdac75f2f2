// The device link over the P2P transport, in one run beside raw UDP on
// loopback: four live 1080p streams at about 4 Mbit/s each from one camsim
// process (four cameras) received by four sessions of this process, with the
// receive rate per stream and the CPU time per stream on both sides; and the
// command round trip (the lens query) idle and under the four streams, beside
// a raw UDP ping-pong. The test stream is made with ffmpeg (libx264) first.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/cpu_time.h"
#include "sdk/device/kivo_p2p.h"
#include "util/log.h"
#include "tests/p2p/child_process.h"
#include "tools/rdvsim/rig.h"

namespace {

using bench::CpuMs;
using bench::ProcCpuMs;

constexpr char kKey[] = "bench-key";
constexpr char kPw[] = "bench-pw";
constexpr int kStreams = 4;
constexpr double kSeconds = 6;

using Clock = std::chrono::steady_clock;

struct Setup {
  std::string error;
  std::string dir, video;
  rdvsim::Rig rig;
  p2ptest::ChildProcess camsim;
  pid_t camsim_pid = 0;
  double file_mbit = 0;

  Setup() {
    char tmpl[] = "/tmp/devlink_bench.XXXXXX";
    dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    video = dir + "/v1080.h264";
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 4 "
                            "-c:v libx264 -preset ultrafast -b:v 4M -minrate 4M -maxrate 4M -bufsize 2M -x264-params nal-hrd=cbr -g 50 -f h264 " +
                            video + " </dev/null";
    if (std::system(cmd.c_str()) != 0) {
      error = "ffmpeg could not make the 1080p stream";
      return;
    }
    std::ifstream f(video, std::ios::binary | std::ios::ate);
    file_mbit = static_cast<double>(f.tellg()) * 8 / 4 / 1e6;
    if (!rig.Start(kKey, 8, &error)) return;
    std::vector<std::string> args = {"--init", rig.sim->InitString(), "--password", kPw, "--video", video,
                                     "--server-ports",
                                     std::to_string(rig.sim->udp_port()) + "," + std::to_string(rig.sim->tcp_port())};
    for (int i = 0; i < kStreams; ++i) {
      args.push_back("--did");
      args.push_back("BEN-00000" + std::to_string(i + 1) + "-CAM");
    }
    std::string line;
    if (!camsim.Start(CAMSIM_PATH, args, "camsim ready", &error, &line, 30000)) return;
    camsim_pid = camsim.Pid();
    LogSetLevel(0);
    KivoP2pInit();
  }
  ~Setup() {
    KivoP2pDeinit();
    camsim.Stop();
    std::system(("rm -rf " + dir).c_str());
  }
};

Setup& TheSetup() {
  static Setup s;
  return s;
}

KivoSession* Open(int i, std::string* why) {
  KivoSession* s = nullptr;
  const std::string did = "BEN-00000" + std::to_string(i + 1) + "-CAM";
  int r = KivoP2pConnect2("rvs:", did.c_str(), 0, &s);
  if (r == 0) r = KivoP2pVerifyPassword(s, kPw);
  if (r != 0) {
    *why = did + ": " + KivoP2pErrorName(r);
    KivoP2pClose(s);
    return nullptr;
  }
  return s;
}

struct Count {
  std::atomic<long long> bytes{0}, frames{0};
  std::atomic<int> error{0};
  static void Cb(const MediaFrameHeader* h, const uint8_t*, int n, void* u) {
    auto* c = static_cast<Count*>(u);
    if (!h) {
      c->error = n;
      return;
    }
    c->bytes += n;
    ++c->frames;
  }
};

std::vector<double> RoundTrips(KivoSession* s, int n) {
  std::vector<double> us;
  uint8_t lens[12];
  for (int i = 0; i < n; ++i) {
    const auto t0 = Clock::now();
    if (KivoP2pGetLensParam(s, lens) < 0) break;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  return us;
}

double Pct(const std::vector<double>& v, double p) {
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// --- Four live streams -------------------------------------------------------

void BM_FourLiveStreams(benchmark::State& st) {
  Setup& su = TheSetup();
  if (!su.error.empty()) {
    st.SkipWithError(su.error.c_str());
    return;
  }
  for (auto _ : st) {
    std::vector<KivoSession*> sessions;
    std::string why;
    for (int i = 0; i < kStreams; ++i) {
      KivoSession* s = Open(i, &why);
      if (!s) break;
      sessions.push_back(s);
    }
    if (sessions.size() != kStreams) {
      for (KivoSession* s : sessions) KivoP2pClose(s);
      st.SkipWithError(why.c_str());
      return;
    }
    Count counts[kStreams];
    for (int i = 0; i < kStreams; ++i) KivoP2pStartVideo(sessions[i], 0, Count::Cb, &counts[i]);
    // The first second fills the pipes; the measure runs after it.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long long b0[kStreams];
    for (int i = 0; i < kStreams; ++i) b0[i] = counts[i].bytes.load();
    const double cpu0 = CpuMs(), dev0 = ProcCpuMs(su.camsim_pid);
    const auto t0 = Clock::now();
    const std::vector<double> rtt = RoundTrips(sessions[0], 100);
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(static_cast<int>(kSeconds * 1000)));
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = CpuMs() - cpu0, dev = ProcCpuMs(su.camsim_pid) - dev0;
    double min_mbit = 1e9, total = 0;
    for (int i = 0; i < kStreams; ++i) {
      const double mbit = (counts[i].bytes.load() - b0[i]) * 8 / secs / 1e6;
      min_mbit = std::min(min_mbit, mbit);
      total += mbit;
    }
    for (int i = 0; i < kStreams; ++i) KivoP2pStopVideo(sessions[i], 0);
    for (KivoSession* s : sessions) KivoP2pClose(s);
    st.SetIterationTime(secs);
    st.counters["file_Mbit_per_s"] = su.file_mbit;
    st.counters["stream_Mbit_per_s_min"] = min_mbit;
    st.counters["total_Mbit_per_s"] = total;
    st.counters["rate_vs_file"] = min_mbit / su.file_mbit;
    st.counters["client_cpu_pct_per_stream"] = cpu / (secs * 1000) * 100 / kStreams;
    st.counters["camsim_cpu_pct_per_stream"] = dev / (secs * 1000) * 100 / kStreams;
    st.counters["rtt_loaded_us_p50"] = Pct(rtt, 0.5);
    st.counters["rtt_loaded_us_p99"] = Pct(rtt, 0.99);
  }
}

// --- Command round trip ---------------------------------------------------------

void BM_CommandRoundTripIdle(benchmark::State& st) {
  Setup& su = TheSetup();
  if (!su.error.empty()) {
    st.SkipWithError(su.error.c_str());
    return;
  }
  std::string why;
  KivoSession* s = Open(0, &why);
  if (!s) {
    st.SkipWithError(why.c_str());
    return;
  }
  for (auto _ : st) {
    const auto t0 = Clock::now();
    const std::vector<double> rtt = RoundTrips(s, 500);
    st.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    st.counters["rtt_us_p50"] = Pct(rtt, 0.5);
    st.counters["rtt_us_p99"] = Pct(rtt, 0.99);
  }
  KivoP2pClose(s);
}

// Raw UDP ping-pong on loopback: the floor under any round trip.
void BM_RawUdpPingPong(benchmark::State& st) {
  for (auto _ : st) {
    int a = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), b = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof(addr);
    bind(b, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    getsockname(b, reinterpret_cast<sockaddr*>(&addr), &l);
    std::atomic<bool> done{false};
    std::thread echo([&] {
      char buf[64];
      sockaddr_in from{};
      pollfd p{b, POLLIN, 0};
      while (!done.load()) {
        if (poll(&p, 1, 50) <= 0) continue;
        socklen_t fl = sizeof(from);
        const ssize_t n = recvfrom(b, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &fl);
        if (n > 0) sendto(b, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), fl);
      }
    });
    std::vector<double> us;
    char msg[20] = "ping", buf[64];
    const auto start = Clock::now();
    for (int i = 0; i < 500; ++i) {
      const auto t0 = Clock::now();
      sendto(a, msg, sizeof(msg), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
      pollfd p{a, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0 || recv(a, buf, sizeof(buf), 0) <= 0) break;
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    done = true;
    echo.join();
    close(a);
    close(b);
    std::sort(us.begin(), us.end());
    st.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    st.counters["rtt_us_p50"] = Pct(us, 0.5);
    st.counters["rtt_us_p99"] = Pct(us, 0.99);
  }
}

BENCHMARK(BM_RawUdpPingPong)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CommandRoundTripIdle)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FourLiveStreams)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
