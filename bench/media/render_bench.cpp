// Pictures out: convert-and-scale of 1080p pictures into a 640x360 and a 1920x1080 pane, beside ffmpeg's
// swscale doing the same conversion in the same run (one thread each); then nine panes fed 1080p pictures at
// 25 per second each through the presenter, with the CPU of the GUI thread (drawing) and of the feeders.
//
// Runs on Qt's offscreen platform (set QT_QPA_PLATFORM to use another). Usage: render_bench [seconds]
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QGridLayout>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "media/video/video_render.h"
#include "tools/common/shell.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double ThreadCpu() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double ProcessCpu() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

struct Frame {
  int w = 1920, h = 1080;
  std::vector<uint8_t> data;  // I420
  VideoPicture Picture() const {
    VideoPicture p;
    p.format = kPictureI420;
    p.valid = 1;
    p.y = data.data();
    p.u = p.y + size_t(w) * h;
    p.v = p.u + size_t(w / 2) * (h / 2);
    p.width = w;
    p.height = h;
    p.lumaStride = w;
    p.chromaStride = w / 2;
    return p;
  }
};

std::string Run(const std::string& cmd) { return tools::ShellOutput(cmd); }

// CPU seconds ffmpeg reports for converting the frame n times (bench: utime + stime), or -1. A width of 0
// passes the frames through unconverted: ffmpeg's own cost of reading and handing them on.
double FfmpegCpu(const fs::path& yuv, int n, int w, int h) {
  std::string vf = w == 0                     ? "null"
                   : (w == 1920 && h == 1080) ? "format=bgra"
                                              : "scale=" + std::to_string(w) + ":" + std::to_string(h) +
                                                    ":flags=bilinear,format=bgra";
  std::string cmd = "ffmpeg -hide_banner -nostdin -benchmark -threads 1 -filter_threads 1 -stream_loop " +
                    std::to_string(n - 1) + " -f rawvideo -pix_fmt yuv420p -s 1920x1080 -i '" + yuv.string() +
                    "' -vf " + vf + " -f null - 2>&1";
  std::string out = Run(cmd);
  size_t u = out.find("utime="), s = out.find("stime=");
  if (u == std::string::npos || s == std::string::npos) return -1;
  return std::strtod(out.c_str() + u + 6, nullptr) + std::strtod(out.c_str() + s + 6, nullptr);
}

void ConvertAndScale(const Frame& f, const fs::path& yuv, int w, int h, int n) {
  QWidget pane;
  pane.resize(w, h);
  CDDrawVideoRender render(&pane);
  VideoPicture pic = f.Picture();
  render.DrawPicture(pic, kDisplayStretch);  // warm-up: surface and buffers
  double cpu0 = ThreadCpu();
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) render.DrawPicture(pic, kDisplayStretch);
  double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  double cpu = ThreadCpu() - cpu0;
  QCoreApplication::processEvents();
  double ff = FfmpegCpu(yuv, n, w, h), base = FfmpegCpu(yuv, n, 0, 0);
  std::printf(
      "convert+scale 1920x1080 -> %dx%d: %.0f pictures/s, %.2f ms CPU per picture (with the copy kept for "
      "zoom)\n",
      w, h, n / wall, 1000 * cpu / n);
  if (ff > 0 && base >= 0 && ff > base)
    std::printf(
        "  ffmpeg swscale: %.2f ms CPU per picture, %.2f without its pass-through cost; ratio ours/ffmpeg "
        "%.2f\n",
        1000 * ff / n, 1000 * (ff - base) / n, cpu / (ff - base));
  else
    std::printf("  ffmpeg not measured\n");
}

void NinePanes(const Frame& f, double seconds) {
  QWidget window;
  auto* grid = new QGridLayout(&window);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setSpacing(0);
  std::vector<QWidget*> panes;
  for (int i = 0; i < 9; ++i) {
    panes.push_back(new QWidget(&window));
    grid->addWidget(panes.back(), i / 3, i % 3);
  }
  window.resize(1920, 1080);
  window.show();
  QCoreApplication::processEvents();
  std::vector<std::unique_ptr<CDDrawVideoRender>> renders;
  for (QWidget* p : panes) renders.push_back(std::make_unique<CDDrawVideoRender>(p));
  QCoreApplication::processEvents();

  auto& presenter = VideoPresenter::Instance();
  auto s0 = presenter.GetStats();
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> drawn{0};
  std::vector<double> feederCpu(9, 0);
  std::vector<std::thread> feeders;
  double gui0 = ThreadCpu(), proc0 = ProcessCpu();
  auto t0 = Clock::now();
  for (int i = 0; i < 9; ++i)
    feeders.emplace_back([&, i] {
      double c0 = ThreadCpu();
      VideoPicture pic = f.Picture();
      auto next = Clock::now() + std::chrono::milliseconds(4 * i);
      while (!stop.load()) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(40);
        if (renders[i]->DrawPicture(pic, kDisplayStretch) == 0) drawn.fetch_add(1);
      }
      feederCpu[i] = ThreadCpu() - c0;
    });
  QTimer::singleShot(static_cast<int>(seconds * 1000), [&] { QCoreApplication::quit(); });
  QCoreApplication::exec();
  stop = true;
  double gui = ThreadCpu() - gui0;
  for (auto& t : feeders) t.join();
  double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  double proc = ProcessCpu() - proc0;
  auto s1 = presenter.GetStats();
  double feeders_cpu = 0;
  for (double c : feederCpu) feeders_cpu += c;
  std::printf(
      "nine 640x360 panes, 1080p at 25/s each, %.1f s: %.1f pictures/s drawn, %.1f present passes/s, %.1f "
      "pane "
      "repaints/s;\n  GUI thread (presenting and painting) %.3f cores, feeders (convert+scale) %.3f cores, "
      "whole "
      "process %.3f cores\n",
      wall, drawn.load() / wall, (s1.passes - s0.passes) / wall, (s1.repaints - s0.repaints) / wall,
      gui / wall, feeders_cpu / wall, proc / wall);
  renders.clear();
  QCoreApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 4;
  if (argc > 1) {
    std::string a = argv[1];
    if (a == "-h" || a == "--help") {
      std::printf(
          "usage: render_bench [seconds]\n  seconds: length of the nine-pane run, 1 to 60 (default 4)\n"
          "example: render_bench 10\n");
      return 0;
    }
    char* end = nullptr;
    seconds = std::strtod(a.c_str(), &end);
    if (!end || *end || !(seconds >= 1 && seconds <= 60)) {
      std::fprintf(stderr, "render_bench: seconds must be a number from 1 to 60, not '%s'\n", a.c_str());
      return 2;
    }
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  fs::path dir = fs::temp_directory_path() / ("render_bench" + std::to_string(getpid()));
  fs::create_directories(dir);
  fs::path yuv = dir / "frame.yuv";
  Frame f;
  std::string cmd =
      "ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v 1 -pix_fmt yuv420p -f "
      "rawvideo '" +
      yuv.string() + "'";
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "render_bench: ffmpeg cannot make the test picture\n");
    return 1;
  }
  {
    std::ifstream in(yuv, std::ios::binary);
    f.data.assign(std::istreambuf_iterator<char>(in), {});
  }
  if (f.data.size() != size_t(1920) * 1080 * 3 / 2) {
    std::fprintf(stderr, "render_bench: the test picture has %zu bytes\n", f.data.size());
    return 1;
  }
  std::printf("(figures from a shared machine: noisy)\n");
  ConvertAndScale(f, yuv, 640, 360, 300);
  ConvertAndScale(f, yuv, 1920, 1080, 100);
  NinePanes(f, seconds);
  fs::remove_all(dir);
  return 0;
}
