// vdec [--codec h264|hevc] [--threads 0|1] [--deinterlace] [--frames N] [--bench] INPUT [OUTPUT.yuv|-]
// Decodes an Annex-B stream and writes every picture as 8-bit planar I420.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/common/read_file.h"
#include "tools/vdec/backend.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: vdec [--codec h264|hevc] [--threads 0|1] [--deinterlace] [--frames N] [--bench] INPUT "
               "[OUTPUT.yuv|-]\n");
  return 2;
}

std::string CodecFromName(const std::string& path) {
  auto dot = path.rfind('.');
  if (dot == std::string::npos) return "";
  std::string ext = path.substr(dot + 1);
  for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "264" || ext == "h264" || ext == "avc" || ext == "jsv" || ext == "jvt" || ext == "26l")
    return "h264";
  if (ext == "265" || ext == "h265" || ext == "hevc" || ext == "bit" || ext == "bin") return "hevc";
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  std::string codec, input, output;
  vdec::Options options;
  long max_frames = -1;
  bool bench = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--codec" && i + 1 < argc) {
      codec = argv[++i];
    } else if (a == "--threads" && i + 1 < argc) {
      options.threads = std::strcmp(argv[++i], "0") != 0;
    } else if (a == "--frames" && i + 1 < argc) {
      max_frames = std::strtol(argv[++i], nullptr, 10);
    } else if (a == "--deinterlace") {
      options.deinterlace = true;
    } else if (a == "--bench") {
      bench = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return Usage();
    } else if (input.empty()) {
      input = a;
    } else if (output.empty()) {
      output = a;
    } else {
      return Usage();
    }
  }
  if (input.empty()) return Usage();
  if (codec.empty()) codec = CodecFromName(input);
  if (codec != "h264" && codec != "hevc") {
    std::fprintf(stderr, "vdec: cannot tell the codec of %s; use --codec h264|hevc\n", input.c_str());
    return 2;
  }
  std::vector<uint8_t> stream;
  if (!tools::ReadFile(input, &stream)) {
    std::fprintf(stderr, "vdec: cannot read %s\n", input.c_str());
    return 1;
  }
  auto backend = codec == "h264" ? vdec::MakeH264Backend(options) : vdec::MakeHevcBackend(options);
  if (!backend) {
    std::fprintf(stderr, "vdec: the %s decoder is not built in\n", codec.c_str());
    return 1;
  }
  FILE* out = nullptr;
  if (!bench && !output.empty()) {
    out = output == "-" ? stdout : std::fopen(output.c_str(), "wb");
    if (!out) {
      std::fprintf(stderr, "vdec: cannot create %s\n", output.c_str());
      return 1;
    }
  }
  long frames = 0;
  bool write_failed = false;
  auto sink = [&](const vdec::Picture& p) {
    ++frames;
    if (out) {
      for (int c = 0; c < 3; ++c) {
        int w = c ? (p.width + 1) / 2 : p.width;
        int h = c ? (p.height + 1) / 2 : p.height;
        for (int y = 0; y < h; ++y)
          if (std::fwrite(p.plane[c] + static_cast<ptrdiff_t>(y) * p.stride[c], 1, w, out) != static_cast<size_t>(w))
            write_failed = true;
      }
    }
    return !write_failed && (max_frames < 0 || frames < max_frames);
  };
  std::string error;
  auto t0 = std::chrono::steady_clock::now();
  int rc = backend->Run(stream.data(), stream.size(), sink, error);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (out && out != stdout && std::fclose(out) != 0) write_failed = true;
  if (out == stdout && std::fflush(stdout) != 0) write_failed = true;
  if (write_failed) {
    std::fprintf(stderr, "vdec: write to %s failed\n", output.c_str());
    return 1;
  }
  if (rc != 0) {
    std::fprintf(stderr, "vdec: decoder error 0x%08X: %s\n", static_cast<unsigned>(rc), error.c_str());
    return 1;
  }
  if (bench)
    std::printf("frames=%ld seconds=%.3f fps=%.2f\n", frames, seconds, seconds > 0 ? frames / seconds : 0.0);
  return 0;
}
