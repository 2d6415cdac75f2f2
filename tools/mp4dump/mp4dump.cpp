// mp4dump [--recover] FILE.mp4
// Prints one line per sample of a recording: track type, time in ms, size
// and key flag. With --recover, first rebuilds a file that was never closed.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "media/mp4_reader.h"

int main(int argc, char** argv) {
  bool recover = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--recover") == 0) {
      recover = true;
    } else if (!path) {
      path = argv[i];
    } else {
      path = nullptr;
      break;
    }
  }
  if (!path) {
    std::fprintf(stderr, "usage: mp4dump [--recover] FILE.mp4\n");
    return 2;
  }
  if (recover) {
    // The recorder writes A-law in multiples of 20 ms (160 bytes).
    Mp4Info info{};
    int r = Mp4Recover(path, 2, 160, &info);
    if (r != 0) {
      std::fprintf(stderr, "mp4dump: cannot recover %s (%d)\n", path, r);
      return 1;
    }
  }
  void* reader = nullptr;
  int r = Mp4ReaderOpen(path, &reader);
  if (r != 0) {
    std::fprintf(stderr, "mp4dump: cannot read %s (%d)\n", path, r);
    return 1;
  }
  std::vector<uint8_t> buf(1 << 16);
  for (;;) {
    uint32_t type = 0, time = 0, key = 0, size = static_cast<uint32_t>(buf.size());
    r = Mp4ReaderReadSample(&type, &time, buf.data(), &size, &key, reader);
    if (r == kMp4ErrBufferSmall) {
      buf.resize(size);
      continue;
    }
    if (r == kMp4ErrNoSample) break;
    if (r != 0) {
      std::fprintf(stderr, "mp4dump: bad sample (%d)\n", r);
      Mp4ReaderClose(reader);
      return 1;
    }
    std::printf("track %u:%u time %u size %u key %u\n", type >> 16, type & 0xFFFF, time, size, key);
  }
  Mp4ReaderClose(reader);
  return 0;
}
