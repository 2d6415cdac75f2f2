// mp4rec: records an Annex-B H.264 or HEVC stream, and optionally 8000 Hz mono
// audio, into an MP4 file through the recorder table, as a live view would be
// recorded. Run `mp4rec --help` for its arguments.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "media/mp4/mp4_reader.h"
#include "media/mp4/mp4_recorder.h"
#include "tools/common/cli.h"
#include "tools/common/read_file.h"
#include "tools/mp4rec/annexb.h"
#include "tools/mp4rec/display_order.h"

namespace {

bool EndsWith(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return a == b || std::filesystem::equivalent(a, b, ec);
}

std::string Code(int r) { return std::string(Mp4ErrorText(r)) + " (" + std::to_string(r) + ")"; }

// Video samples in the closed recording (the recorder stores none before a
// key frame that carries its parameter sets).
size_t VideoSamples(const std::string& path) {
  void* reader = nullptr;
  if (Mp4ReaderOpen(path.c_str(), &reader) != 0) return 0;
  size_t n = 0;
  for (;;) {
    uint32_t type = 0, time = 0, key = 0, size = 0;
    if (Mp4ReaderPeekSample(&type, &time, &key, &size, reader) != 0) break;
    std::vector<uint8_t> buf(size ? size : 1);
    if (Mp4ReaderReadSample(&type, &time, buf.data(), &size, &key, reader) != 0) break;
    uint32_t codec = type & 0xFFFF;
    if (codec == 1 || codec == 13) ++n;
  }
  Mp4ReaderClose(reader);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  int fps = 25;
  std::string audioPath, input, output;
  tools::Cli cli("mp4rec",
                 "Records an H.264 or HEVC Annex-B stream, and optionally 8000 Hz mono audio, into an MP4\n"
                 "file through the recorder, as a live view is recorded: video frames at 1000/FPS ms in\n"
                 "display order (the slices' picture order counts give it, so B-frames play in order),\n"
                 "audio frames every 40 ms, PCM turned into A-law, gaps in the sound filled with silence.",
                 "  mp4rec --fps 25 --audio talk.alaw clip.264 clip.mp4\n"
                 "  ffmpeg -i in.wav -f s16le -ar 8000 -ac 1 talk.pcm   # makes a .pcm file");
  cli.Number("--fps", "N", "video frames per second (1..1000, default 25)", 1, 1000, &fps);
  cli.Text("--audio", "FILE", "8000 Hz mono audio: FILE.pcm 16-bit little-endian PCM (640-byte frames)\n"
           "or FILE.alaw G.711 A-law (320-byte frames); a short last frame is left out", &audioPath);
  cli.Arg("INPUT", "the video: .264 or .h264 (H.264), .265 or .hevc (HEVC), Annex-B", &input);
  cli.Arg("OUTPUT", "the MP4 file to write (replaced if it exists)", &output);
  cli.Notes("On success it prints: OUTPUT: V video frames, A audio frames, B bytes, D ms.\n"
            "Exit status: 0 recorded; 1 nothing recorded or a file error (no output file is left);\n"
            "2 bad arguments.");
  if (int rc = cli.Parse(argc, argv); rc >= 0) return rc;
  uint32_t codec;
  if (EndsWith(input, ".264") || EndsWith(input, ".h264")) {
    codec = 1;
  } else if (EndsWith(input, ".265") || EndsWith(input, ".hevc")) {
    codec = 13;
  } else {
    return cli.Error(input + ": the input must be a .264, .h264, .265 or .hevc file");
  }
  uint32_t audioCodec = 0, audioFrame = 0;
  if (!audioPath.empty()) {
    if (EndsWith(audioPath, ".pcm")) {
      audioCodec = 52;
      audioFrame = 640;
    } else if (EndsWith(audioPath, ".alaw")) {
      audioCodec = 2;
      audioFrame = 320;
    } else {
      return cli.Error("--audio: " + audioPath + " must be a .pcm or .alaw file");
    }
  }
  if (SameFile(input, output)) return cli.Error("the output " + output + " is the input");
  if (!audioPath.empty() && SameFile(audioPath, output)) return cli.Error("the output " + output + " is the audio input");
  std::vector<uint8_t> stream, audio;
  errno = 0;
  if (!tools::ReadFile(input, &stream)) {
    std::fprintf(stderr, "mp4rec: cannot read %s: %s\n", input.c_str(), std::strerror(errno ? errno : EIO));
    return 1;
  }
  if (!audioPath.empty()) {
    errno = 0;
    if (!tools::ReadFile(audioPath, &audio)) {
      std::fprintf(stderr, "mp4rec: cannot read %s: %s\n", audioPath.c_str(), std::strerror(errno ? errno : EIO));
      return 1;
    }
  }
  std::vector<AccessUnit> units = SplitAnnexB(stream, codec == 13);
  bool anyKey = false;
  for (const AccessUnit& u : units) anyKey |= u.key;
  if (!anyKey) {
    std::fprintf(stderr, "mp4rec: %s: no %s key frame in it: nothing to record\n", input.c_str(),
                 codec == 1 ? "H.264" : "HEVC");
    return 1;
  }

  const Mp4RecorderOps* rec = g_mp4RecorderOps;
  void* handle = nullptr;  // writer mode 0: a plain file
  errno = 0;
  int r = rec->Open(output.c_str(), nullptr, &handle);
  if (r != 0) {
    std::fprintf(stderr, "mp4rec: cannot create %s: %s: %s\n", output.c_str(), Code(r).c_str(),
                 std::strerror(errno ? errno : EIO));
    return 1;
  }
  // Each frame is written in decode order with the time it is shown at. Pictures shown before the first
  // one (leading pictures of a stream that starts mid-way) cannot be decoded and are left out.
  const std::vector<uint32_t> ranks = display_order::Ranks(units, codec == 13);
  auto shown = [&](size_t i) { return ranks.empty() ? i : ranks[i]; };
  size_t v = 0, a = 0, audioFrames = audioFrame ? audio.size() / audioFrame : 0;
  int failed = 0;
  while (v < units.size() || a < audioFrames) {
    uint64_t vt = v < units.size() ? uint64_t{v} * 1000 / fps : UINT64_MAX;
    uint64_t at = a < audioFrames ? uint64_t{a} * 40 : UINT64_MAX;
    if (vt <= at) {
      const size_t i = v++;
      if (shown(i) < shown(0)) continue;
      const AccessUnit& u = units[i];
      const uint64_t pts = uint64_t{shown(i) - shown(0)} * 1000 / fps;
      r = rec->Write(codec, static_cast<uint32_t>(pts), u.data.data(), static_cast<uint32_t>(u.data.size()),
                     u.key ? 1 : 0, handle);
    } else {
      r = rec->Write(audioCodec, static_cast<uint32_t>(at), audio.data() + a * audioFrame, audioFrame, 0, handle);
      ++a;
    }
    if (r < kMp4ErrRefused) {
      failed = r;
      break;
    }
  }
  Mp4Info info{};
  r = rec->Close(&info, handle);
  if (failed || r != 0) {
    std::fprintf(stderr, "mp4rec: writing %s failed: %s\n", output.c_str(), Code(failed ? failed : r).c_str());
    std::remove(output.c_str());
    return 1;
  }
  size_t recorded = VideoSamples(output);
  if (recorded == 0) {
    std::fprintf(stderr, "mp4rec: %s: no video frame could be recorded (no key frame with its parameter sets)\n",
                 input.c_str());
    std::remove(output.c_str());
    return 1;
  }
  std::printf("%s: %zu video frames, %zu audio frames, %u bytes, %u ms\n", output.c_str(), recorded, audioFrames,
              info.size, info.duration);
  return 0;
}
