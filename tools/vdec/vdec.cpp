// vdec: decodes an H.264 or HEVC Annex-B stream and writes every picture as
// 8-bit planar I420. Run `vdec --help` for its arguments.
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/common/cli.h"
#include "tools/common/read_file.h"
#include "tools/vdec/backend.h"

namespace {

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

// What the stream holds, to say why nothing came out of it.
struct Scan {
  size_t units = 0;     // NAL units (after a 00 00 01 start code)
  size_t h264Sps = 0;   // units that read as an H.264 sequence parameter set
  size_t hevcSps = 0;   // units that read as an HEVC sequence parameter set
};

Scan ScanStream(const tools::FileBytes& s) {
  Scan r;
  for (size_t i = 0; i + 4 < s.size(); ++i) {
    const uint8_t* p = s.data() + i;
    if (p[0] != 0 || p[1] != 0 || p[2] != 1) continue;
    const uint8_t b0 = p[3], b1 = p[4];
    ++r.units;
    if ((b0 & 0x9F) == 7) ++r.h264Sps;
    if (b0 == 0x42 && b1 == 0x01) ++r.hevcSps;
    i += 2;
  }
  return r;
}

std::string WhyNothing(const tools::FileBytes& stream, const std::string& codec) {
  if (stream.empty()) return "the file is empty";
  Scan s = ScanStream(stream);
  if (s.units == 0) return "no Annex-B start code (00 00 01) in it: not an H.264 or HEVC elementary stream";
  const bool h264 = codec == "h264";
  const size_t own = h264 ? s.h264Sps : s.hevcSps, other = h264 ? s.hevcSps : s.h264Sps;
  if (own == 0 && other > 0)
    return std::string("it looks like ") + (h264 ? "HEVC" : "H.264") + "; try --codec " + (h264 ? "hevc" : "h264");
  if (own == 0) return std::string("no ") + (h264 ? "H.264" : "HEVC") + " sequence parameter set in it";
  return "no picture could be decoded";
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return a == b || std::filesystem::equivalent(a, b, ec);
}

}  // namespace

int main(int argc, char** argv) {
  std::string codec, input, output;
  vdec::Options options;
  long max_frames = -1;
  int threads = 0;
  bool bench = false, quiet = false;
  tools::Cli cli("vdec", "Decodes an H.264 or HEVC Annex-B stream and writes every picture, cropped, as 8-bit\n"
                         "planar I420 (Y, then U, then V, no headers) in display order.",
                 "  vdec clip.264 clip.yuv                  # then: ffplay -f rawvideo -pixel_format yuv420p\n"
                 "                                          #   -video_size WxH clip.yuv\n"
                 "  vdec --codec hevc --frames 10 cam.bin -  # the first 10 pictures to standard output\n"
                 "  vdec --bench clip.265                   # decode only; prints frames=N seconds=S fps=F");
  // One line per option (decoder options land in `options` after parsing).
  cli.Choice("--codec", {"h264", "hevc"}, "the stream's codec (default: from the file name's extension:\n"
             ".264 .h264 .avc .jsv .jvt .26l are H.264, .265 .h265 .hevc .bit .bin HEVC)", &codec);
  cli.Number("--threads", "0|1", "1: the decoder's own worker threads; 0: one thread (default)", 0, 1, &threads);
  cli.Number("--frames", "N", "stop after N pictures (1..1000000000)", 1, 1000000000, &max_frames);
  cli.Flag("--deinterlace", "H.264: deinterlace interlaced pictures on output", &options.deinterlace);
  cli.Flag("--bench", "decode without writing; print frames=N seconds=S fps=F on standard output", &bench);
  cli.Flag("--quiet", "no summary line on standard error", &quiet);
  cli.Arg("INPUT", "the Annex-B stream (start codes 00 00 01 or 00 00 00 01)", &input);
  cli.Arg("OUTPUT", "the I420 file to write, or - for standard output (default: decode only)", &output, false);
  cli.Notes("At the end it prints a summary on standard error: pictures, size and time.\n"
            "Exit status: 0 pictures were decoded; 1 nothing decoded, a decoder error or a file error\n"
            "(the output file is removed, but for the pictures before a decoder error, which are kept\n"
            "and said so); 2 bad arguments.");
  if (int rc = cli.Parse(argc, argv); rc >= 0) return rc;
  options.threads = threads == 1;
  if (codec.empty()) codec = CodecFromName(input);
  if (codec.empty()) return cli.Error("cannot tell the codec of " + input + " from its name; use --codec h264|hevc");
  if (!output.empty() && output != "-" && SameFile(input, output))
    return cli.Error("the output " + output + " is the input");
  if (bench && !output.empty()) return cli.Error("--bench writes no output; leave out " + output);
  tools::FileBytes stream;
  errno = 0;
  if (!stream.Open(input)) {
    std::fprintf(stderr, "vdec: cannot read %s: %s\n", input.c_str(), std::strerror(errno ? errno : EIO));
    return 1;
  }
  auto backend = codec == "h264" ? vdec::MakeH264Backend(options) : vdec::MakeHevcBackend(options);
  if (!backend) {
    std::fprintf(stderr, "vdec: the %s decoder is not built in\n", codec.c_str());
    return 1;
  }
  FILE* out = nullptr;
  const bool to_file = !output.empty() && output != "-";
  if (!output.empty()) {
    out = to_file ? std::fopen(output.c_str(), "wb") : stdout;
    if (!out) {
      std::fprintf(stderr, "vdec: cannot create %s: %s\n", output.c_str(), std::strerror(errno));
      return 1;
    }
  }
  long frames = 0;
  int width = 0, height = 0;
  bool write_failed = false;
  int write_errno = 0;
  auto sink = [&](const vdec::Picture& p) {
    ++frames;
    width = p.width;
    height = p.height;
    if (out) {
      for (int c = 0; c < 3 && !write_failed; ++c) {
        int w = c ? (p.width + 1) / 2 : p.width;
        int h = c ? (p.height + 1) / 2 : p.height;
        for (int y = 0; y < h; ++y)
          if (std::fwrite(p.plane[c] + static_cast<ptrdiff_t>(y) * p.stride[c], 1, w, out) != static_cast<size_t>(w)) {
            write_failed = true;
            write_errno = errno;
            break;
          }
      }
    }
    return !write_failed && (max_frames < 0 || frames < max_frames);
  };
  std::string error;
  auto t0 = std::chrono::steady_clock::now();
  int rc = backend->Run(stream.data(), stream.size(), sink, error);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (to_file && std::fclose(out) != 0 && !write_failed) {
    write_failed = true;
    write_errno = errno;
  }
  if (out == stdout && std::fflush(stdout) != 0 && !write_failed) {
    write_failed = true;
    write_errno = errno;
  }
  auto fail = [&](const std::string& why) {
    std::fprintf(stderr, "vdec: %s\n", why.c_str());
    if (to_file) std::remove(output.c_str());
    return 1;
  };
  if (write_failed)
    return fail("cannot write " + output + ": " + std::strerror(write_errno ? write_errno : EIO));
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(rc));
  if (rc != 0 && frames == 0) return fail(input + ": decoder error " + code + ": " + error);
  if (rc != 0) {
    // Pictures before the fault are good and kept.
    std::fprintf(stderr, "vdec: %s: decoder error %s: %s; the %ld pictures before it are kept%s%s\n", input.c_str(),
                 code, error.c_str(), frames, to_file ? " in " : "", to_file ? output.c_str() : "");
    return 1;
  }
  if (frames == 0) return fail(input + ": nothing decoded as " + codec + ": " + WhyNothing(stream, codec));
  if (!error.empty()) std::fprintf(stderr, "vdec: warning: %s: %s\n", input.c_str(), error.c_str());
  if (bench)
    std::printf("frames=%ld seconds=%.3f fps=%.2f\n", frames, seconds, seconds > 0 ? frames / seconds : 0.0);
  if (!quiet)
    std::fprintf(stderr, "vdec: %ld pictures %dx%d in %.3f s (%.1f fps)%s%s\n", frames, width, height, seconds,
                 seconds > 0 ? frames / seconds : 0.0, to_file ? " to " : "", to_file ? output.c_str() : "");
  return 0;
}
