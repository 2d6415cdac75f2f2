// mp4rec [--fps N] [--audio FILE] INPUT OUTPUT.mp4
// Records an Annex-B H.264 or HEVC stream, and optionally 8000 Hz mono audio
// (.pcm 16-bit little-endian or .alaw), into an MP4 file through the
// recorder table, as a live view would be recorded.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "media/mp4_recorder.h"
#include "tools/common/read_file.h"
#include "tools/mp4rec/annexb.h"

namespace {

bool EndsWith(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

int Usage() {
  std::fprintf(stderr, "usage: mp4rec [--fps N] [--audio FILE.pcm|FILE.alaw] INPUT.{264,h264,265,hevc} OUTPUT.mp4\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int fps = 25;
  std::string audioPath, input, output;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--fps" && i + 1 < argc) {
      fps = std::atoi(argv[++i]);
    } else if (a == "--audio" && i + 1 < argc) {
      audioPath = argv[++i];
    } else if (input.empty()) {
      input = a;
    } else if (output.empty()) {
      output = a;
    } else {
      return Usage();
    }
  }
  if (input.empty() || output.empty() || fps <= 0 || fps > 1000) return Usage();
  uint32_t codec;
  if (EndsWith(input, ".264") || EndsWith(input, ".h264")) {
    codec = 1;
  } else if (EndsWith(input, ".265") || EndsWith(input, ".hevc")) {
    codec = 13;
  } else {
    std::fprintf(stderr, "mp4rec: %s: not a .264/.h264/.265/.hevc file\n", input.c_str());
    return 2;
  }
  std::vector<uint8_t> stream, audio;
  if (!tools::ReadFile(input, &stream)) {
    std::fprintf(stderr, "mp4rec: cannot read %s\n", input.c_str());
    return 1;
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
      std::fprintf(stderr, "mp4rec: %s: audio must be .pcm or .alaw\n", audioPath.c_str());
      return 2;
    }
    if (!tools::ReadFile(audioPath, &audio)) {
      std::fprintf(stderr, "mp4rec: cannot read %s\n", audioPath.c_str());
      return 1;
    }
  }
  std::vector<AccessUnit> units = SplitAnnexB(stream, codec == 13);

  const Mp4RecorderOps* rec = g_mp4RecorderOps;
  void* handle = nullptr;  // writer mode 0: a plain file
  int r = rec->Open(output.c_str(), nullptr, &handle);
  if (r != 0) {
    std::fprintf(stderr, "mp4rec: cannot create %s (%d)\n", output.c_str(), r);
    return 1;
  }
  size_t v = 0, a = 0, audioFrames = audioFrame ? audio.size() / audioFrame : 0;
  int failed = 0;
  while (v < units.size() || a < audioFrames) {
    uint64_t vt = v < units.size() ? uint64_t{v} * 1000 / fps : UINT64_MAX;
    uint64_t at = a < audioFrames ? uint64_t{a} * 40 : UINT64_MAX;
    if (vt <= at) {
      const AccessUnit& u = units[v++];
      r = rec->Write(codec, static_cast<uint32_t>(vt), u.data.data(), static_cast<uint32_t>(u.data.size()),
                     u.key ? 1 : 0, handle);
    } else {
      r = rec->Write(audioCodec, static_cast<uint32_t>(at), audio.data() + a * audioFrame, audioFrame, 0, handle);
      ++a;
    }
    if (r < kMp4ErrRefused) {
      std::fprintf(stderr, "mp4rec: write failed (%d)\n", r);
      failed = r;
      break;
    }
  }
  Mp4Info info{};
  r = rec->Close(&info, handle);
  if (r != 0 || failed) {
    std::fprintf(stderr, "mp4rec: %s is incomplete (%d)\n", output.c_str(), failed ? failed : r);
    return 1;
  }
  std::printf("%s: %zu video frames, %zu audio frames, %u bytes, %u ms\n", output.c_str(), units.size(),
              audioFrames, info.size, info.duration);
  return 0;
}
