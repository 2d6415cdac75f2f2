// The 3x3 grid end to end: nine camsim cameras (1080p25 H.264) through rdvsim, the device sessions, the
// media sinks (decode, convert) and the panes (paint). Reports per pane the pictures presented per second,
// the CPU by thread kind (receive, decode and convert, paint on the GUI thread), the memory, and the time
// from a frame's arrival to the pane's next paint; beside it ffmpeg decoding the same stream with one
// thread, in the same run.
//
// Run by grid_bench.sh (namespace, rdvsim, camsim, Xvfb). Usage: grid_bench SECONDS
// Environment: VLM_INIT, VLM_PW, VLM_MEDIA (the camera's stream file, for ffmpeg).
#include <dirent.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QWidget>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/device_open.h"
#include "sdk/node/device_node.h"
#include "sdk/device/p2p_client.h"
#include "sdk/device/rvs_transport.h"
#include "tools/common/shell.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPanes = 9;

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// ---- frames in, paints out ----

struct PaneStats {
  std::atomic<int64_t> frames{0};
  std::atomic<int64_t> paints{0};
  std::atomic<bool> pending{false};
  std::atomic<int64_t> first_unpainted_us{0};
};
std::array<PaneStats, kPanes> g_stats;
std::mutex g_map_mu;
std::map<IAvRender*, int> g_sink_pane;  // sink -> pane, learnt from the first-picture event
std::map<int32_t, int> g_session_pane;  // session event value -> pane
std::vector<int64_t> g_latency_us;      // GUI thread only
std::atomic<bool> g_measuring{false};
const AvRenderOps* g_base = nullptr;
AvRenderOps g_table;

int PaneOfSink(IAvRender* sink) {
  std::lock_guard<std::mutex> lk(g_map_mu);
  auto it = g_sink_pane.find(sink);
  return it == g_sink_pane.end() ? -1 : it->second;
}

void WrappedEvent(int32_t event, int32_t value, IAvRender* sink) {
  if (event == 2) {
    std::lock_guard<std::mutex> lk(g_map_mu);
    auto it = g_session_pane.find(value);
    if (it != g_session_pane.end()) g_sink_pane[sink] = it->second;
  }
  g_base->OnEvent(event, value, sink);
}

int32_t WrappedFrame(AvStreamType type, uint32_t ts, const void* data, int32_t length, int32_t param,
                     IAvRender* sink) {
  if ((type >> 16) == 0 && (type & 0xFFFF) != 0 && (type & 0xFFFF) < 50) {
    const int p = PaneOfSink(sink);
    if (p >= 0) {
      g_stats[p].frames++;
      if (!g_stats[p].pending.exchange(true)) g_stats[p].first_unpainted_us = NowUs();
    }
  }
  return g_base->OnFrame(type, ts, data, length, param, sink);
}

class PaintCounter : public QObject {
 public:
  std::map<QObject*, int> panes;

 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Paint) {
      auto it = panes.find(o);
      if (it != panes.end()) {
        PaneStats& s = g_stats[it->second];
        s.paints++;
        if (s.pending.exchange(false) && g_measuring) g_latency_us.push_back(NowUs() - s.first_unpainted_us);
      }
    }
    return QObject::eventFilter(o, e);
  }
};

// ---- CPU by thread, memory ----

struct ThreadCpu {
  std::string name;
  double seconds;
};

std::map<int, ThreadCpu> ReadThreads() {
  std::map<int, ThreadCpu> out;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  DIR* d = opendir("/proc/self/task");
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    const int tid = std::atoi(e->d_name);
    if (tid <= 0) continue;
    std::ifstream f("/proc/self/task/" + std::string(e->d_name) + "/stat");
    std::string line;
    std::getline(f, line);
    const size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    std::vector<std::string> fields;
    while (rest >> field) fields.push_back(field);
    if (fields.size() < 13) continue;
    out[tid] = {line.substr(open + 1, close - open - 1),
                (std::stod(fields[11]) + std::stod(fields[12])) / tick};
  }
  closedir(d);
  return out;
}

long StatusKb(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  return -1;
}

// ffmpeg decoding the stream with one thread: CPU seconds per frame, or -1.
double FfmpegDecodeCpuPerFrame(const std::string& media, int* frames) {
  const std::string cmd =
      "ffmpeg -hide_banner -nostdin -benchmark -threads 1 -stream_loop 4 -i '" + media + "' -f null - 2>&1";
  const std::string out = tools::ShellOutput(cmd);
  const size_t b = out.find("bench: utime=");
  const size_t fr = out.rfind("frame=");
  if (b == std::string::npos || fr == std::string::npos) return -1;
  const double utime = std::atof(out.c_str() + b + 13);
  const size_t st = out.find("stime=", b);
  const double stime = st == std::string::npos ? 0 : std::atof(out.c_str() + st + 6);
  *frames = std::atoi(out.c_str() + fr + 6);
  return *frames > 0 ? (utime + stime) / *frames : -1;
}

bool Pump(const std::function<bool()>& done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

std::string Kind(const std::string& name, bool gui) {
  if (gui) return "GUI (paint)";
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  if (Env("VLM_INIT").empty()) {
    std::fprintf(stderr, "grid_bench: run through grid_bench.sh (VLM_INIT is not set)\n");
    return 2;
  }
  rvsSetInitString(Env("VLM_INIT").c_str());
  KivoP2pInit();
  InstallMediaSinks();
  g_base = AvRenderOpsProcessTable();
  g_table = *g_base;
  g_table.OnEvent = WrappedEvent;
  g_table.OnFrame = WrappedFrame;
  AvRenderOpsInstall(&g_table);

  QWidget window;
  window.setGeometry(0, 0, 1922, 1082);
  CDeviceOpener opener(&window, nullptr);
  opener.grid()->setGeometry(0, 0, 1922, 1082);
  opener.set_grid_size(3);
  window.show();
  PaintCounter counter;
  app.installEventFilter(&counter);

  std::vector<std::unique_ptr<DeviceNode>> nodes;
  for (int i = 0; i < kPanes; ++i) {
    auto n = std::make_unique<DeviceNode>();
    char did[32];
    std::snprintf(did, sizeof did, "VLM-%06d-CAM", 31 + i);
    DeviceInfo& info = n->Info();
    info.uuid = info.p2p_id = did;
    info.password = Env("VLM_PW");
    info.des_key = std::string("k");
    info.device_type = std::string("ipc");
    info.p2p_platform = std::string("rvs:");
    info.transport_flags = kTransportP2p;
    info.is_online = 1;
    {
      std::lock_guard<std::mutex> lk(g_map_mu);
      g_session_pane[SessionEventValue(n->GetP2pClient())] = i;
    }
    if (opener.OpenDeviceInPane(n.get(), i) != 0) {
      std::fprintf(stderr, "grid_bench: camera %s did not open\n", did);
      return 1;
    }
    nodes.push_back(std::move(n));
  }
  for (int i = 0; i < kPanes; ++i) counter.panes[opener.grid()->Pane(i)] = i;
  if (!Pump(
          [&] {
            for (int i = 0; i < kPanes; ++i)
              if (opener.grid()->Pane(i)->GetState() != kPanePlaying) return false;
            return true;
          },
          30000)) {
    std::fprintf(stderr, "grid_bench: not every pane got a picture\n");
    return 1;
  }
  Pump([] { return false; }, 2000);  // warm-up

  const int gui_tid = static_cast<int>(gettid());
  std::array<int64_t, kPanes> f0{}, p0{};
  for (int i = 0; i < kPanes; ++i) {
    f0[i] = g_stats[i].frames;
    p0[i] = g_stats[i].paints;
  }
  const auto t0 = ReadThreads();
  const auto w0 = Clock::now();
  g_measuring = true;
  Pump([] { return false; }, seconds * 1000);
  g_measuring = false;
  const double wall = std::chrono::duration<double>(Clock::now() - w0).count();
  const auto t1 = ReadThreads();

  std::printf("grid_bench: 3x3 grid, 9 cameras of 1080p25 H.264 through rdvsim and camsim, %.1f s measured\n",
              wall);
  std::printf("  pane  received/s  presented/s\n");
  double min_fps = 1e9;
  for (int i = 0; i < kPanes; ++i) {
    const double rx = (g_stats[i].frames - f0[i]) / wall, px = (g_stats[i].paints - p0[i]) / wall;
    min_fps = std::min(min_fps, px);
    std::printf("  %4d  %10.1f  %11.1f\n", i, rx, px);
  }
  std::map<std::string, double> by_kind;
  double total = 0;
  for (const auto& [tid, end] : t1) {
    auto it = t0.find(tid);
    const double used = end.seconds - (it == t0.end() ? 0 : it->second.seconds);
    if (used <= 0) continue;
    by_kind[Kind(end.name, tid == gui_tid)] += used;
    total += used;
  }
  std::printf("  CPU by thread (cores; per pane = / 9):\n");
  for (const auto& [kind, used] : by_kind)
    std::printf("    %-18s %.3f cores  (%.3f per pane)\n", kind.c_str(), used / wall, used / wall / kPanes);
  std::printf("    %-18s %.3f cores  (%.3f per pane)\n", "total", total / wall, total / wall / kPanes);
  std::printf("  memory: VmRSS %ld kB, VmHWM %ld kB\n", StatusKb("VmRSS:"), StatusKb("VmHWM:"));
  if (!g_latency_us.empty()) {
    std::sort(g_latency_us.begin(), g_latency_us.end());
    const auto at = [](double q) {
      return g_latency_us[static_cast<size_t>(q * (g_latency_us.size() - 1))] / 1000.0;
    };
    std::printf("  frame received -> pane painted: p50 %.1f ms, p95 %.1f ms, max %.1f ms (%zu samples)\n",
                at(0.5), at(0.95), at(1.0), g_latency_us.size());
  }
  int frames = 0;
  const double ff = Env("VLM_MEDIA").empty() ? -1 : FfmpegDecodeCpuPerFrame(Env("VLM_MEDIA"), &frames);
  if (ff > 0) {
    const double ff_core = ff * 25;
    std::printf(
        "  ffmpeg (1 thread) decoding the same 1080p stream: %.3f cores per 25 fps stream (%d frames)\n",
        ff_core, frames);
    std::printf("  ratio: our whole road per pane / ffmpeg decode per stream = %.2f\n",
                total / wall / kPanes / ff_core);
  } else {
    std::printf("  ffmpeg not measured\n");
  }
  std::printf("  slowest pane presents %.1f of 25 pictures per second\n", min_fps);
  opener.StopAllPanes(kStopClose);
  for (auto& n : nodes) n->Disconnect();
  return 0;
}
