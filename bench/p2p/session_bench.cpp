// Sessions over loopback, in one run beside a raw UDP blast of 1 KB
// datagrams: one session's throughput on 1 and 8 channels, clean and through
// the impairment proxy at 1% loss each way, with the process's CPU time per
// MB carried (both ends of the session run in this process); and the connect
// latency per path against the simulator and a scripted device process, with
// the fixed waits shown apart: the device's direct TCP offers before it
// confirms a punch (fixed_device_ms), and the client's round waits and 50 ms
// pause after its establishment (fixed_client_ms). Last, process to process:
// a device process and a client process per path, with the client's connect
// time and the rate of a 32 MB stream from the device.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/resource.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/cpu_time.h"
#include "p2p/rvs_api.h"
#include "p2p/session_ops.h"
#include "tests/p2p/child_process.h"
#include "tests/p2p/netns.h"
#include "tools/impair/impair_proxy.h"
#include "tools/rdvsim/rig.h"
#include "tools/rdvsim/wiring.h"

namespace {

using bench::CpuMs;

constexpr char kKey[] = "bench-key";
constexpr char kDid[] = "BEN-000001-DEV";
constexpr size_t kMB = 1 << 20;

double Seconds(uint32_t from_tick) { return (p2p::TickMs() - from_tick) / 1e3; }

// The rendezvous simulator with its relays, and the library as a client of it.
struct Rig : rdvsim::Rig {
  std::string error;
  Rig() { Start(kKey, 8, &error); }
  bool ok() const { return error.empty(); }
};

// The rig of the benchmarks outside a namespace, made at first use.
Rig& TheRig() {
  static Rig rig;
  return rig;
}

// --- Raw UDP ---------------------------------------------------------------

void BM_RawUdpBlast(benchmark::State& st) {
  const size_t total = 64 * kMB, size = 1024;
  for (auto _ : st) {
    int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0),
        tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = RVP_LoopbackAddr(0);
    socklen_t l = sizeof(to);
    bind(rx, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    getsockname(rx, reinterpret_cast<sockaddr*>(&to), &l);
    std::atomic<bool> done{false};
    std::atomic<size_t> got{0};
    std::atomic<uint32_t> last{0};
    std::thread reader([&] {
      std::vector<char> buf(2048);
      pollfd p{rx, POLLIN, 0};
      while (!done.load() || poll(&p, 1, 100) > 0) {
        if (poll(&p, 1, 10) <= 0) continue;
        ssize_t n = recv(rx, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n > 0) {
          got += static_cast<size_t>(n);
          last = p2p::TickMs();
        }
      }
    });
    std::vector<char> msg(size, 'u');
    const double cpu0 = CpuMs();
    const uint32_t start = p2p::TickMs();
    for (size_t sent = 0; sent < total; sent += size)
      sendto(tx, msg.data(), size, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    done = true;
    reader.join();
    const double secs = (last.load() - start) / 1e3, mb = got.load() / double(kMB);
    st.SetIterationTime(secs > 0 ? secs : 1e-3);
    st.counters["MB_per_s"] = mb / secs;
    st.counters["delivered_pct"] = 100.0 * got.load() / total;
    st.counters["cpu_ms_per_MB"] = (CpuMs() - cpu0) / mb;
    close(rx);
    close(tx);
  }
}

// --- One session ---------------------------------------------------------------

void BM_SessionThroughput(benchmark::State& st) {
  Rig& rig = TheRig();
  if (!rig.ok()) {
    st.SkipWithError(rig.error.c_str());
    return;
  }
  const int channels = static_cast<int>(st.range(0));
  const double loss = st.range(1) / 100.0;
  const size_t total = (loss > 0 ? 16 : 64) * kMB, per_channel = total / channels;
  for (auto _ : st) {
    int a = rdvsim::WireOpen(p2p::kRoleClient, kKey), b = rdvsim::WireOpen(p2p::kRoleDevice, kKey);
    std::unique_ptr<impair::ImpairProxy> proxy;
    sockaddr_in a_to = rdvsim::WireAddr(b), b_to = rdvsim::WireAddr(a);
    if (loss > 0) {
      impair::ProxyConfig pc;
      pc.upstream = "127.0.0.1:" + std::to_string(ntohs(a_to.sin_port));
      pc.seed = 1;
      pc.up.drop = pc.down.drop = loss;
      proxy = std::make_unique<impair::ImpairProxy>(pc);
      std::string why;
      if (!proxy->Start(&why)) {
        st.SkipWithError(why.c_str());
        return;
      }
      a_to = RVP_LoopbackAddr(proxy->port());
      if (!rdvsim::WireLearnPath(a, b, a_to, &b_to)) {
        st.SkipWithError("no path through the proxy");
        return;
      }
    }
    rdvsim::WireStart(a, a_to);
    rdvsim::WireStart(b, b_to);
    std::atomic<size_t> got{0};
    std::vector<std::thread> readers;
    const double cpu0 = CpuMs();
    const uint32_t start = p2p::TickMs();
    for (int ch = 0; ch < channels; ++ch)
      readers.emplace_back([&, ch] {
        std::vector<char> buf(64 * 1024);
        size_t mine = 0;
        while (mine < per_channel) {
          int size = static_cast<int>(std::min(buf.size(), per_channel - mine));
          int r = RVS_Read(b, static_cast<char>(ch), buf.data(), &size, 1000);
          mine += static_cast<size_t>(size);
          if (r != 0 && r != RVS_ERR_TIME_OUT) break;
        }
        got += mine;
      });
    std::vector<char> chunk(64 * 1024, 's');
    for (size_t at = 0; at < per_channel; at += chunk.size())
      for (int ch = 0; ch < channels; ++ch)
        RVS_Write(a, static_cast<char>(ch), chunk.data(),
                  static_cast<int>(std::min(chunk.size(), per_channel - at)));
    for (auto& t : readers) t.join();
    const double secs = Seconds(start), mb = got.load() / double(kMB);
    st.SetIterationTime(secs);
    st.counters["MB_per_s"] = mb / secs;
    st.counters["cpu_ms_per_MB"] = (CpuMs() - cpu0) / mb;
    if (got.load() != total) st.SkipWithError("not every byte arrived");
    if (proxy) {
      impair::ProxyCounters c = proxy->counters();
      st.counters["dropped"] = static_cast<double>(c.up.dropped + c.down.dropped);
    }
    RVS_ForceClose(a);
    RVS_ForceClose(b);
  }
}

// --- Connect latency ---------------------------------------------------------

struct Path {
  const char* name;
  char mode;
  std::vector<std::string> device_args;
};

// One connect to a freshly started device: false with why.
// The parts of a connect's time: the whole call; the device's wait between
// its own establishment and the message that establishes the client (its
// direct TCP offers); the client's rounds and pause after its establishment.
struct ConnectTimes {
  double total = 0, device_wait = 0, client_after = 0;
};

bool TimeConnect(Rig& rig, const Path& path, ConnectTimes* t, std::string* why) {
  p2ptest::ChildProcess device;
  std::vector<std::string> args = rig.DeviceArgs(kDid);
  args.insert(args.end(), path.device_args.begin(), path.device_args.end());
  if (!device.Start(RDVSIM_DEVICE_PATH, args, "device ready", why, nullptr, 15000)) return false;
  const uint32_t start = p2p::TickMs();
  int h = RVS_Connect(kDid, path.mode, 0);
  const uint32_t end = p2p::TickMs();
  if (h < 0) {
    *why = std::string(path.name) + ": connect gave " + std::to_string(h);
    return false;
  }
  const uint32_t client_est = p2p::Sess(h).established_tick.load();
  std::string line;
  device.WaitLine("device established", 5000, &line);
  const uint32_t device_est =
      static_cast<uint32_t>(std::stoul("0" + p2ptest::ChildProcess::Field(line, "tick=")));
  t->total = end - start;
  t->client_after = end - client_est;
  const int32_t wait = static_cast<int32_t>(client_est - device_est);
  t->device_wait = device_est && wait > 0 ? wait : 0;
  RVS_Close(h);
  device.WaitLine("device ended", 5000);
  device.Stop(5000);
  return true;
}

void ConnectLatency(benchmark::State& st, Rig& rig, const Path& path) {
  ConnectTimes sum;
  for (auto _ : st) {
    ConnectTimes t;
    std::string why;
    if (!TimeConnect(rig, path, &t, &why)) {
      st.SkipWithError(why.c_str());
      return;
    }
    st.SetIterationTime(t.total / 1e3);
    sum.total += t.total;
    sum.device_wait += t.device_wait;
    sum.client_after += t.client_after;
  }
  auto avg = [](double v) { return benchmark::Counter(v, benchmark::Counter::kAvgIterations); };
  st.counters["connect_ms"] = avg(sum.total);
  st.counters["fixed_device_ms"] = avg(sum.device_wait);
  st.counters["fixed_client_ms"] = avg(sum.client_after);
  st.counters["exchange_ms"] = avg(sum.total - sum.device_wait - sum.client_after);
}

void BM_Connect(benchmark::State& st) {
  Rig& rig = TheRig();
  if (!rig.ok()) {
    st.SkipWithError(rig.error.c_str());
    return;
  }
  static const Path paths[] = {
      {"punch", 12, {}}, {"udp-relay", 30, {}}, {"tcp-relay", 0x7C, {"--tcp-relay"}}};
  const Path& path = paths[st.range(0)];
  st.SetLabel(path.name);
  ConnectLatency(st, rig, path);
}

// The LAN search broadcasts and uses a fixed port: inside a network namespace
// of its own, with its own simulator and library (so it runs first, before
// the other benchmarks initialise the library).
void BM_ConnectLan(benchmark::State& st) {
  st.SetLabel("lan-search");
  const std::vector<std::string> setup = p2ptest::LanSetup();
  bool ran = false;
  std::string why = p2ptest::RunInNetns(setup, [&] {
    ran = true;
    Rig rig;
    if (!rig.ok()) {
      st.SkipWithError(rig.error.c_str());
      return;
    }
    ConnectLatency(st, rig, {"lan-search", 0x3F, {"--lan"}});
  });
  if (!ran) st.SkipWithError(("needs a network namespace of its own: " + why).c_str());
}

// --- Process to process ----------------------------------------------------------

// A device process (p2pdev --bulk) and a client process (p2pcli --recv) meet
// through the simulator of this process: the client's connect time and the
// rate at which the device's stream reaches it, per path.
void BM_ProcessSession(benchmark::State& st) {
  Rig& rig = TheRig();
  if (!rig.ok()) {
    st.SkipWithError(rig.error.c_str());
    return;
  }
  static const Path paths[] = {{"punch", 12, {"--login-mode", "1"}},
                               {"udp-relay", 30, {"--login-mode", "1"}},
                               {"tcp-relay", 0x7C, {"--login-mode", "2"}}};
  const Path& path = paths[st.range(0)];
  st.SetLabel(path.name);
  const std::string bytes = std::to_string(32 * kMB);
  const std::vector<std::string> common = {
      "--init", rig.sim->InitString(), "--did", kDid,
      "--server-ports", std::to_string(rig.sim->udp_port()) + "," + std::to_string(rig.sim->tcp_port())};
  double connect_ms = 0, mbps = 0;
  for (auto _ : st) {
    std::string why, line;
    p2ptest::ChildProcess device, client;
    std::vector<std::string> dev_args = common;
    dev_args.insert(dev_args.end(), {"--bulk", bytes, "--sessions", "1"});
    dev_args.insert(dev_args.end(), path.device_args.begin(), path.device_args.end());
    std::vector<std::string> cli_args = common;
    cli_args.insert(cli_args.end(), {"--mode", std::to_string(static_cast<uint8_t>(path.mode)), "--recv", bytes});
    if (!device.Start(P2PDEV_PATH, dev_args, "device ready", &why, nullptr, 15000) ||
        !client.Start(P2PCLI_PATH, cli_args, "cli connect result=", &why, &line, 30000)) {
      st.SkipWithError(why.c_str());
      return;
    }
    const double ms = std::stod("0" + p2ptest::ChildProcess::Field(line, "ms="));
    if (!client.WaitLine("cli recv ok", 120000, &line)) {
      st.SkipWithError((std::string(path.name) + ": the stream did not arrive").c_str());
      return;
    }
    const double secs = std::stod("0" + p2ptest::ChildProcess::Field(line, " ms=")) / 1e3;
    st.SetIterationTime(secs > 0 ? secs : 1e-3);
    connect_ms += ms;
    mbps += std::stod("0" + p2ptest::ChildProcess::Field(line, "MBps="));
    client.Stop(10000);
    device.Stop(10000);
  }
  auto avg = [](double v) { return benchmark::Counter(v, benchmark::Counter::kAvgIterations); };
  st.counters["connect_ms"] = avg(connect_ms);
  st.counters["MB_per_s"] = avg(mbps);
}

}  // namespace

BENCHMARK(BM_ConnectLan)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_RawUdpBlast)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SessionThroughput)
    ->ArgNames({"channels", "loss_pct"})
    ->Args({1, 0})
    ->Args({8, 0})
    ->Args({1, 1})
    ->Args({8, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_Connect)
    ->ArgName("path")
    ->DenseRange(0, 2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_ProcessSession)
    ->ArgName("path")
    ->DenseRange(0, 2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
// The whole benchmark, with the processes it starts, runs in a network
// namespace of its own with only loopback up (own_netns.sh), so no punch
// reaches an interface of the host.
int main(int argc, char** argv) {
  if (!std::getenv("VELMORA_OWN_NETNS")) {
    setenv("VELMORA_OWN_NETNS", "1", 1);
    std::vector<char*> args{const_cast<char*>(OWN_NETNS_PATH)};
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(OWN_NETNS_PATH, args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", OWN_NETNS_PATH, std::strerror(errno));
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
