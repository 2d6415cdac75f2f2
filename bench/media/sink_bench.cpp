// Nine 1080p25 channels through media sinks into offscreen panes, fed from a file at real pace, for H.264 and
// HEVC; beside ffmpeg decoding the same file in the same run. Three passes per codec split the process CPU:
// decode only (the decoders alone), decode + convert (sinks on hidden panes: pictures are converted and
// scaled but never painted) and decode + convert + draw (shown panes painted by the presenter).
//
// Usage: sink_bench [seconds of clip, 1..20, default 2]
#include <sys/resource.h>

#include <QApplication>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "media/sink/av_render.h"
#include "media/video/video_decoder.h"
#include "tools/common/read_file.h"
#include "tools/common/shell.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int kChannels = 9;

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long RssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

std::string Run(const std::string& cmd) { return tools::ShellOutput(cmd); }

std::vector<Bytes> AccessUnits(const Bytes& s, bool hevc) {
  std::vector<std::pair<size_t, size_t>> nals;
  size_t start = SIZE_MAX;
  for (size_t i = 0; i + 3 <= s.size();) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      if (start != SIZE_MAX) {
        size_t end = i;
        while (end > start && s[end - 1] == 0) --end;
        nals.push_back({start, end});
      }
      start = i += 3;
    } else {
      ++i;
    }
  }
  if (start != SIZE_MAX) nals.push_back({start, s.size()});
  std::vector<Bytes> units;
  Bytes cur;
  bool vclSeen = false;
  for (auto [a, b] : nals) {
    int type = hevc ? (s[a] >> 1) & 0x3F : s[a] & 0x1F;
    bool vcl = hevc ? type < 32 : (type >= 1 && type <= 5);
    bool first = vcl && (s[a + (hevc ? 2 : 1)] & 0x80);
    if (vclSeen && (!vcl || first)) {
      units.push_back(cur);
      cur.clear();
      vclSeen = false;
    }
    cur.insert(cur.end(), {0, 0, 0, 1});
    cur.insert(cur.end(), s.begin() + long(a), s.begin() + long(b));
    vclSeen = vclSeen || vcl;
  }
  if (!cur.empty()) units.push_back(cur);
  return units;
}

enum Pass { kDecodeOnly, kConvert, kDraw };

struct PassResult {
  double cpu = 0;
  long rssKb = 0;
  long frames = 0;
  double wall = 0;
};

// Feeds every channel from its own thread at 25 frames/s while the GUI thread runs its events.
PassResult RunPass(QApplication& app, const std::vector<Bytes>& units, uint32_t codec, Pass pass) {
  std::vector<std::unique_ptr<QWidget>> panes;
  std::vector<RenderTarget> targets(kChannels);
  std::vector<CAvRender*> sinks;
  std::vector<std::unique_ptr<CVideoDecoder>> decoders;
  for (int i = 0; i < kChannels; ++i) {
    if (pass == kDecodeOnly) {
      decoders.push_back(std::make_unique<CVideoDecoder>());
      decoders.back()->SetCodec(int32_t(codec));
      continue;
    }
    panes.push_back(std::make_unique<QWidget>());
    panes.back()->resize(640, 360);
    if (pass == kDraw) panes.back()->show();
    targets[i].window = panes.back().get();
    sinks.push_back(new CAvRender(&targets[i], 1, 0, 0, 0));
    sinks.back()->SetNewWindowDelayMs(0);
  }
  app.processEvents();
  long rss0 = RssKb();
  double cpu0 = CpuSeconds();
  auto t0 = std::chrono::steady_clock::now();
  std::atomic<int> running{kChannels};
  std::atomic<long> frames{0};
  std::vector<std::thread> feeders;
  for (int c = 0; c < kChannels; ++c) {
    feeders.emplace_back([&, c] {
      auto next = std::chrono::steady_clock::now();
      uint32_t ts = 0;
      for (const Bytes& au : units) {
        if (pass == kDecodeOnly) {
          VideoPicture p;
          decoders[c]->Decode(au.data(), uint32_t(au.size()), &p);
        } else {
          AvRenderOpsTable().OnFrame(codec, ts, au.data(), int32_t(au.size()), 0, sinks[c]);
        }
        frames.fetch_add(1);
        ts += 40;
        next += std::chrono::milliseconds(40);
        std::this_thread::sleep_until(next);
      }
      running.fetch_sub(1);
    });
  }
  long peak = rss0;
  while (running.load() > 0) {
    app.processEvents(QEventLoop::AllEvents, 10);
    peak = std::max(peak, RssKb());
  }
  for (auto& t : feeders) t.join();
  app.processEvents();
  PassResult r;
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.cpu = CpuSeconds() - cpu0;
  r.rssKb = peak - rss0;
  r.frames = frames.load();
  for (CAvRender* s : sinks) AvRenderOpsTable().Release(s);
  decoders.clear();
  app.processEvents();
  return r;
}

// ffmpeg's CPU seconds to decode the file once (bench: utime + stime), or -1.
double FfmpegDecodeCpu(const fs::path& file) {
  std::string out =
      Run("ffmpeg -hide_banner -nostdin -benchmark -threads 4 -i '" + file.string() + "' -f null - 2>&1");
  size_t at = out.rfind("bench: utime=");
  if (at == std::string::npos) return -1;
  double user = std::atof(out.c_str() + at + 13);
  size_t st = out.find("stime=", at);
  double sys = st == std::string::npos ? 0 : std::atof(out.c_str() + st + 6);
  return user + sys;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 2;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::printf(
          "sink_bench [SECONDS]\n  SECONDS  length of the 1080p25 clip each channel plays, 1..20 (default "
          "2)\n"
          "Example: sink_bench 4\n");
      return 0;
    }
    char* end = nullptr;
    long v = std::strtol(a.c_str(), &end, 10);
    if (a.empty() || *end || v < 1 || v > 20) {
      std::fprintf(stderr, "sink_bench: SECONDS must be 1..20, got '%s'\n", a.c_str());
      return 2;
    }
    seconds = int(v);
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  fs::path dir = fs::temp_directory_path() / ("sink_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  int framesPerClip = seconds * 25;
  std::string src = "ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v " +
                    std::to_string(framesPerClip) + " -pix_fmt yuv420p -f rawvideo - | ";
  struct Codec {
    const char* name;
    uint32_t id;
    fs::path file;
    std::string make;
  } codecs[] = {
      {"H.264", 1, dir / "clip.264",
       src +
           "x264 --quiet --demuxer raw --input-res 1920x1080 --fps 25 --preset veryfast --bframes 0 "
           "--keyint 50 -o '" +
           (dir / "clip.264").string() + "' - 2>/dev/null"},
      {"HEVC", 13, dir / "clip.265",
       src +
           "x265 --log-level error --input - --input-res 1920x1080 --fps 25 --preset ultrafast --bframes 0 "
           "--keyint 50 --output '" +
           (dir / "clip.265").string() + "' 2>/dev/null"},
  };
  int rc = 0;
  std::printf(
      "sink_bench: %d channels of 1080p25, %d s each, into 640x360 offscreen panes (shared machine: "
      "figures are noisy)\n",
      kChannels, seconds);
  for (const Codec& c : codecs) {
    if (std::system(c.make.c_str()) != 0 || !fs::exists(c.file)) {
      std::fprintf(stderr, "sink_bench: cannot make the %s clip\n", c.name);
      rc = 1;
      continue;
    }
    std::vector<Bytes> units = AccessUnits(tools::ReadFile(c.file.string()), c.id == 13);
    PassResult p[3];
    for (int pass = 0; pass < 3; ++pass) p[pass] = RunPass(app, units, c.id, Pass(pass));
    double perFrame[3];
    for (int i = 0; i < 3; ++i) perFrame[i] = p[i].cpu * 1000 / double(std::max(1L, p[i].frames));
    double ff = FfmpegDecodeCpu(c.file);
    double ffPerFrame = ff > 0 ? ff * 1000 / units.size() : -1;
    std::printf(
        "%s, CPU ms per picture per channel: decode %.2f, convert %.2f, draw %.2f (total %.2f; %.0f%% "
        "of a core per channel at 25/s)\n",
        c.name, perFrame[0], perFrame[1] - perFrame[0], perFrame[2] - perFrame[1], perFrame[2],
        perFrame[2] * 25 / 10);
    std::printf(
        "  wall per pass %.1f/%.1f/%.1f s for %.0f s of video; memory growth (peak RSS) decode %.1f MB, "
        "with panes %.1f MB, drawn %.1f MB (all nine channels)\n",
        p[0].wall, p[1].wall, p[2].wall, double(seconds), p[0].rssKb / 1e3, p[1].rssKb / 1e3,
        p[2].rssKb / 1e3);
    if (ffPerFrame > 0)
      std::printf("  ffmpeg decode (4 threads): %.2f ms CPU per picture; ratio ours/ffmpeg decode %.2f\n",
                  ffPerFrame, perFrame[0] / ffPerFrame);
    else
      std::printf("  ffmpeg not measured\n");
  }
  fs::remove_all(dir);
  return rc;
}
