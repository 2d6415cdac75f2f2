// MP4 recording: throughput, and the time and memory to close a one-hour
// 1080p recording, beside `ffmpeg -c copy` of the same stream in the same run
// (into a QuickTime file: ffmpeg puts no A-law into an MP4 file).
// The hour is synthesised: a 2-second 1080p x264 clip (one key frame, its
// parameter sets in front) repeated with advancing timestamps, with 40 ms
// A-law frames beside it, as a camera's live view arrives.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "media/mp4/mp4_recorder.h"
#include "tools/mp4rec/annexb.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kClipFrames = 50;
constexpr uint32_t kHourFrames = 3600 * 25;
constexpr uint32_t kAlawFrame = 320;

struct Material {
  std::vector<AccessUnit> clip;
  fs::path dir;
  uint64_t hourVideoBytes = 0;
};

std::vector<uint8_t> ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

const Material& Get() {
  static Material m = [] {
    Material m;
    m.dir = fs::temp_directory_path() / ("mp4bench" + std::to_string(getpid()));
    fs::create_directories(m.dir);
    fs::path clip = m.dir / "clip.264";
    std::string cmd =
        "ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v " + std::to_string(kClipFrames) +
        " -pix_fmt yuv420p -f rawvideo - | x264 --quiet --demuxer raw --input-res 1920x1080 --fps 25 --preset veryfast"
        " --bitrate 4000 --bframes 0 --keyint 50 -o '" + clip.string() + "' - 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "mp4_bench: cannot make the 1080p clip\n");
      std::exit(1);
    }
    m.clip = SplitAnnexB(ReadFile(clip), false);
    for (uint32_t i = 0; i < kHourFrames; ++i) m.hourVideoBytes += m.clip[i % m.clip.size()].data.size();
    return m;
  }();
  return m;
}

// Records `frames` video frames (and their audio) into path; returns bytes handed over.
uint64_t Record(const fs::path& path, uint32_t frames, void** handleOut) {
  const Material& m = Get();
  static const std::vector<uint8_t> alaw(kAlawFrame, 0xD5);
  void* h = nullptr;
  if (g_mp4RecorderOps->Open(path.c_str(), nullptr, &h) != 0) std::abort();
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < frames; ++i) {
    const AccessUnit& u = m.clip[i % m.clip.size()];
    uint32_t t = 100000 + i * 40;
    if (g_mp4RecorderOps->Write(1, t, u.data.data(), static_cast<uint32_t>(u.data.size()), u.key, h) != 0) std::abort();
    if (g_mp4RecorderOps->Write(2, t, alaw.data(), kAlawFrame, 0, h) != 0) std::abort();
    bytes += u.data.size() + kAlawFrame;
  }
  *handleOut = h;
  return bytes;
}

// Size of the moov box of a mode-0 file (it follows mdat).
uint64_t MoovSize(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  uint8_t b[4];
  auto be32 = [&] { return (uint64_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3]; };
  in.seekg(24);
  in.read(reinterpret_cast<char*>(b), 4);
  in.seekg(static_cast<std::streamoff>(24 + be32()));
  in.read(reinterpret_cast<char*>(b), 4);
  return in ? be32() : 0;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_Mp4RecordThroughput(benchmark::State& state) {
  const Material& m = Get();
  uint32_t frames = static_cast<uint32_t>(state.range(0));
  fs::path out = m.dir / "throughput.mp4";
  uint64_t total = 0;
  for (auto _ : state) {
    void* h = nullptr;
    total += Record(out, frames, &h);
    g_mp4RecorderOps->Close(nullptr, h);
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
  fs::remove(out);
}
BENCHMARK(BM_Mp4RecordThroughput)->Arg(1500)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Mp4RecordOneHour(benchmark::State& state) {
  const Material& m = Get();
  fs::path out = m.dir / "hour.mp4";
  for (auto _ : state) {
    auto t0 = Clock::now();
    void* h = nullptr;
    uint64_t bytes = Record(out, kHourFrames, &h);
    auto t1 = Clock::now();
    size_t heapBefore = mallinfo2().uordblks;
    Mp4Info info{};
    if (g_mp4RecorderOps->Close(&info, h) != 0) std::abort();
    auto t2 = Clock::now();
    state.SetIterationTime(Seconds(t2 - t0));
    state.counters["record_MBps"] = bytes / 1e6 / Seconds(t1 - t0);
    state.counters["close_ms"] = Seconds(t2 - t1) * 1000;
    // What close holds: the heap before close (sample tables, and the 1080p
    // clip the bench keeps) and the moov it builds from the tables.
    state.counters["heap_MB"] = heapBefore / 1e6;
    state.counters["file_MB"] = info.size / 1e6;
    state.counters["moov_MB"] = MoovSize(out) / 1e6;
    state.counters["duration_s"] = info.duration / 1000.0;
  }
  fs::remove(out);
}
BENCHMARK(BM_Mp4RecordOneHour)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_FfmpegCopyOneHour(benchmark::State& state) {
  const Material& m = Get();
  fs::path es = m.dir / "hour.264", au = m.dir / "hour.alaw", out = m.dir / "ffmpeg.mp4";
  {
    std::ofstream v(es, std::ios::binary), a(au, std::ios::binary);
    std::vector<char> alaw(kAlawFrame, static_cast<char>(0xD5));
    for (uint32_t i = 0; i < kHourFrames; ++i) {
      const AccessUnit& u = m.clip[i % m.clip.size()];
      v.write(reinterpret_cast<const char*>(u.data.data()), static_cast<std::streamsize>(u.data.size()));
      a.write(alaw.data(), kAlawFrame);
    }
  }
  for (auto _ : state) {
    auto t0 = Clock::now();
    std::string cmd = "ffmpeg -v error -y -f h264 -r 25 -i '" + es.string() + "' -f alaw -ar 8000 -ac 1 -i '" +
                      au.string() + "' -c copy -f mov '" + out.string() + "'";
    if (std::system(cmd.c_str()) != 0) std::abort();
    auto t1 = Clock::now();
    state.SetIterationTime(Seconds(t1 - t0));
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    state.counters["record_MBps"] = (m.hourVideoBytes + uint64_t{kHourFrames} * kAlawFrame) / 1e6 / Seconds(t1 - t0);
    state.counters["peak_rss_MB"] = ru.ru_maxrss / 1e3;
    state.counters["file_MB"] = fs::file_size(out) / 1e6;
  }
  fs::remove(es);
  fs::remove(au);
  fs::remove(out);
}
BENCHMARK(BM_FfmpegCopyOneHour)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  std::printf("mp4_bench peak RSS (whole run, clip in memory): %.1f MB\n", self.ru_maxrss / 1e3);
  fs::remove_all(Get().dir);
  return 0;
}
