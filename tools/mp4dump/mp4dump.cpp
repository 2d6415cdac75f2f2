// mp4dump: prints one line per sample of a recording. With --recover it first
// rebuilds, in place, a recording whose writer never closed it. Run
// `mp4dump --help` for its arguments.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "media/mp4/mp4_reader.h"
#include "tools/common/cli.h"

namespace {

std::string Code(int r) { return std::string(Mp4ErrorText(r)) + " (" + std::to_string(r) + ")"; }

// The system's reason when the file itself cannot be opened.
std::string Why(const std::string& path, int r) {
  if (r == kMp4ErrOpen) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return std::strerror(errno);
    std::fclose(f);
  }
  return Code(r);
}

// Whether a top-level moof box follows (a fragmented MP4).
bool Fragmented(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bool found = false;
  unsigned char h[16];
  long long at = 0;
  while (!found && std::fseek(f, static_cast<long>(at), SEEK_SET) == 0 && std::fread(h, 1, 8, f) == 8) {
    unsigned long long size = (unsigned long long){h[0]} << 24 | h[1] << 16 | h[2] << 8 | h[3];
    if (size == 1 && std::fread(h + 8, 1, 8, f) == 8) {
      size = 0;
      for (int i = 8; i < 16; ++i) size = size << 8 | h[i];
    }
    found = std::memcmp(h + 4, "moof", 4) == 0;
    if (size < 8) break;
    at += static_cast<long long>(size);
  }
  std::fclose(f);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  bool recover = false;
  std::string path;
  tools::Cli cli("mp4dump",
                 "Prints every sample of an MP4 recording made by the recorder (mp4rec, the desktop\n"
                 "program), in time order, one line each:\n"
                 "  track C:K time T size B key 0|1\n"
                 "C is the channel, K the codec (1 H.264, 13 HEVC, 12 MJPEG, 2 A-law), T the time in ms\n"
                 "from the start of the file, B the sample's size in bytes, key 1 for a key frame.",
                 "  mp4dump clip.mp4\n"
                 "  mp4dump --recover crashed.mp4    # rebuild, then list");
  cli.Flag("--recover",
           "first repair FILE in place: a recording whose writer died before closing it\n"
           "(mdat size 0, no moov) gets its sample tables rebuilt from mdat; a closed file cut\n"
           "afterwards (moov or the end of mdat missing) is rebuilt the same way. A cut last\n"
           "sample is dropped. Video times are rebuilt at 40 ms a frame (or spread over the\n"
           "sound); A-law comes back in 20 ms frames. A whole file, and one without a single\n"
           "whole sample, is left as it is.",
           &recover);
  cli.Arg("FILE", "the MP4 file", &path);
  cli.Notes("Exit status: 0 samples were listed; 1 the file cannot be read or repaired, or holds no\n"
            "sample (fragmented MP4 files, as other programs write, are not read); 2 bad arguments.");
  if (int rc = cli.Parse(argc, argv); rc >= 0) return rc;
  if (recover) {
    // The recorder writes A-law in multiples of 20 ms (160 bytes).
    Mp4Info info{};
    int r = Mp4Recover(path.c_str(), 2, 160, &info);
    if (r != 0) {
      // Only a failed write may have changed the file.
      std::fprintf(stderr, "mp4dump: cannot recover %s: %s%s\n", path.c_str(),
                   r == kMp4ErrNoSample ? "it holds not one whole sample" : Why(path, r).c_str(),
                   r == kMp4ErrMalformed || r == kMp4ErrNoSample ? "; the file is left as it was" : "");
      return 1;
    }
    if (info.size)
      std::fprintf(stderr, "mp4dump: recovered %s in place: %u bytes, %u ms\n", path.c_str(), info.size,
                   info.duration);
    else
      std::fprintf(stderr, "mp4dump: %s is whole; nothing to recover\n", path.c_str());
  }
  void* reader = nullptr;
  int r = Mp4ReaderOpen(path.c_str(), &reader);
  if (r != 0) {
    std::fprintf(stderr, "mp4dump: cannot read %s: %s%s\n", path.c_str(), Why(path, r).c_str(),
                 r == kMp4ErrMalformed && !recover ? "; if its writer died, try --recover" : "");
    return 1;
  }
  std::vector<uint8_t> buf(1 << 16);
  size_t samples = 0;
  for (;;) {
    uint32_t type = 0, time = 0, key = 0, size = static_cast<uint32_t>(buf.size());
    r = Mp4ReaderReadSample(&type, &time, buf.data(), &size, &key, reader);
    if (r == kMp4ErrBufferSmall) {
      buf.resize(size);
      continue;
    }
    if (r == kMp4ErrNoSample) break;
    if (r != 0) {
      std::fprintf(stderr, "mp4dump: %s: bad sample after %zu: %s\n", path.c_str(), samples, Code(r).c_str());
      Mp4ReaderClose(reader);
      return 1;
    }
    ++samples;
    std::printf("track %u:%u time %u size %u key %u\n", type >> 16, type & 0xFFFF, time, size, key);
  }
  Mp4ReaderClose(reader);
  if (samples == 0) {
    std::fprintf(stderr, "mp4dump: %s holds no sample%s\n", path.c_str(),
                 Fragmented(path) ? " (a fragmented MP4 keeps its samples in moof boxes, which are not read)" : "");
    return 1;
  }
  return 0;
}
